// The installed package: `cmake --install` of this build into a temporary
// prefix, then the example programs built against that tree alone, through
// pkg-config (shared library, and static archive) and through the CMake
// package, each run against the installed gwsim. Also the project taken
// into another one through FetchContent and add_subdirectory. Everything
// is removed afterwards.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "example_run.h"
#include "gwsim_fixture.h"
#include "run_command.h"

namespace fs = std::filesystem;

namespace {

// Where the suite's files go: the prefix and the example builds.
std::string gWork;
std::string gPrefix;
bool gInstalled = false;

std::string libDir() { return gPrefix + "/" PKG_INSTALL_LIBDIR; }

EnvChanges pkgEnv() {
  return {{"PKG_CONFIG_PATH", libDir() + "/pkgconfig"}, {"PKG_CONFIG_SYSROOT_DIR", std::nullopt}};
}

// Runs a build step; a failure names the command and shows its output.
bool step(const std::vector<std::string>& argv, const EnvChanges& env = {},
          std::string* output = nullptr) {
  CommandResult r = runCommand(argv, env);
  if (output) *output = r.output;
  EXPECT_EQ(r.status, 0) << commandLine(argv) << "\n" << r.output;
  return r.status == 0;
}

std::string pkgConfig(const std::vector<std::string>& args) {
  std::vector<std::string> argv = {PKG_CONFIG};
  argv.insert(argv.end(), args.begin(), args.end());
  argv.push_back("qelapi");
  std::string out;
  step(argv, pkgEnv(), &out);
  return out;
}

// The libraries a program needs at run time, as its dynamic section names
// them.
std::set<std::string> needed(const std::string& binary) {
  std::string out;
  step({PKG_OBJDUMP, "-p", binary}, {}, &out);
  std::set<std::string> libs;
  std::vector<std::string> words = splitWords(out);
  for (size_t i = 0; i + 1 < words.size(); i++)
    if (words[i] == "NEEDED") libs.insert(words[i + 1]);
  return libs;
}

class InstalledPackage : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    const char* tmp = getenv("TMPDIR");
    std::string templ = std::string(tmp && *tmp ? tmp : "/tmp") + "/qelapi-install-XXXXXX";
    std::vector<char> buf(templ.begin(), templ.end());
    buf.push_back('\0');
    ASSERT_NE(mkdtemp(buf.data()), nullptr) << strerror(errno);
    gWork = buf.data();
    gPrefix = gWork + "/prefix";
    gInstalled = step({PKG_CMAKE, "--install", PKG_BUILD_DIR, "--prefix", gPrefix});
  }
  static void TearDownTestSuite() {
    std::error_code ec;
    if (!gWork.empty()) fs::remove_all(gWork, ec);
  }
  void SetUp() override { ASSERT_TRUE(gInstalled) << "cmake --install failed"; }
};

TEST_F(InstalledPackage, TreeHoldsLibrariesHeadersPackagesAndPrograms) {
  for (const std::string& f :
       {libDir() + "/libqelapi.a", libDir() + "/libqelapi.so", libDir() + "/libqelapi.so.1",
        libDir() + "/pkgconfig/qelapi.pc", libDir() + "/cmake/qelapi/qelapiConfig.cmake",
        libDir() + "/cmake/qelapi/qelapiConfigVersion.cmake",
        gPrefix + "/" PKG_INSTALL_BINDIR "/gwsim", gPrefix + "/" PKG_INSTALL_BINDIR "/ozu",
        gPrefix + "/" PKG_INSTALL_BINDIR "/brix"})
    EXPECT_TRUE(fs::exists(f)) << f;
  // The development link goes through the soname.
  EXPECT_EQ(fs::read_symlink(libDir() + "/libqelapi.so"), "libqelapi.so.1");
  // Exactly the public headers, in one directory.
  std::set<std::string> installed, source;
  for (const auto& e : fs::directory_iterator(gPrefix + "/" PKG_INSTALL_INCLUDEDIR "/qelapi"))
    installed.insert(e.path().filename());
  for (const auto& e : fs::directory_iterator(PKG_PUBLIC_HEADER_DIR))
    if (e.path().extension() == ".h") source.insert(e.path().filename());
  EXPECT_EQ(installed, source);
  EXPECT_TRUE(installed.count("quor_api.h"));
  // Nothing of the build tree's internal headers.
  EXPECT_FALSE(fs::exists(gPrefix + "/" PKG_INSTALL_INCLUDEDIR "/qelapi/msg_conn.h"));
}

TEST_F(InstalledPackage, ExamplesBuiltThroughPkgConfigRun) {
  std::vector<std::string> cflags = splitWords(pkgConfig({"--cflags"}));
  std::vector<std::string> libs = splitWords(pkgConfig({"--libs"}));
  // The .pc file finds the prefix from where it lies.
  std::string include = gPrefix + "/" PKG_INSTALL_INCLUDEDIR "/qelapi";
  EXPECT_TRUE(std::any_of(cflags.begin(), cflags.end(), [&](const std::string& f) {
    return f.rfind("-I", 0) == 0 && fs::equivalent(f.substr(2), include);
  })) << commandLine(cflags);
  // The library alone: its dependencies are linked into it.
  ASSERT_EQ(libs.size(), 2u) << commandLine(libs);
  EXPECT_TRUE(libs[0].rfind("-L", 0) == 0 && fs::equivalent(libs[0].substr(2), libDir()))
      << libs[0];
  EXPECT_EQ(libs[1], "-lqelapi");

  struct Build {
    std::string compiler, std, source, out;
  };
  const Build builds[] = {
      {PKG_CC, "-std=c11", PKG_EXAMPLES_DIR "/quor_example.c", gWork + "/pc_example_c"},
      {PKG_CXX, "-std=c++17", PKG_EXAMPLES_DIR "/quor_example.cpp", gWork + "/pc_example_cxx"},
  };
  for (const Build& b : builds) {
    std::vector<std::string> argv = {b.compiler, b.std, "-Wall", "-Wextra", "-Werror", "-o", b.out,
                                     b.source};
    argv.insert(argv.end(), cflags.begin(), cflags.end());
    argv.insert(argv.end(), libs.begin(), libs.end());
    ASSERT_TRUE(step(argv));
    EXPECT_TRUE(needed(b.out).count("libqelapi.so.1")) << b.out;
  }

  // The static archive with the private requirements that --static adds.
  std::vector<std::string> staticLibs = splitWords(pkgConfig({"--static", "--libs"}));
  for (const char* dep : {"-ltirpc", "-lcrypto", "-lz", "-lstdc++"})
    EXPECT_NE(std::find(staticLibs.begin(), staticLibs.end(), dep), staticLibs.end()) << dep;
  staticLibs.erase(std::remove(staticLibs.begin(), staticLibs.end(), "-lqelapi"), staticLibs.end());
  std::string staticOut = gWork + "/pc_example_static";
  std::vector<std::string> argv = {PKG_CC, "-std=c11", "-o", staticOut,
                                   PKG_EXAMPLES_DIR "/quor_example.c"};
  argv.insert(argv.end(), cflags.begin(), cflags.end());
  argv.push_back(libDir() + "/libqelapi.a");
  argv.insert(argv.end(), staticLibs.begin(), staticLibs.end());
  ASSERT_TRUE(step(argv));
  EXPECT_FALSE(needed(staticOut).count("libqelapi.so.1"));

  GwsimFixture gw(kExampleGateway, gPrefix + "/" PKG_INSTALL_BINDIR "/gwsim");
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  writeNetrc(gw, "wonderland");
  EnvChanges run = {{"LD_LIBRARY_PATH", libDir()}};
  expectExampleMakesDirectory(gw, builds[0].out, "/pc-c", {}, run);
  expectExampleMakesDirectory(gw, builds[1].out, "/pc-cxx", {"alice"}, run);
  expectExampleMakesDirectory(gw, staticOut, "/pc-static");
}

TEST_F(InstalledPackage, ExamplesBuiltThroughFindPackageRun) {
  std::string build = gWork + "/cmake-build";
  ASSERT_TRUE(step({PKG_CMAKE, "-S", PKG_EXAMPLES_DIR, "-B", build, "-G", PKG_GENERATOR,
                    "-DCMAKE_MAKE_PROGRAM=" PKG_MAKE_PROGRAM, "-DCMAKE_PREFIX_PATH=" + gPrefix,
                    "-DCMAKE_C_COMPILER=" PKG_CC, "-DCMAKE_CXX_COMPILER=" PKG_CXX,
                    "-DCMAKE_BUILD_TYPE=Release"}));
  ASSERT_TRUE(step({PKG_CMAKE, "--build", build}));
  for (const char* name : {"quor_example_c", "quor_example_cxx"})
    EXPECT_TRUE(needed(build + "/" + name).count("libqelapi.so.1")) << name;

  GwsimFixture gw(kExampleGateway, gPrefix + "/" PKG_INSTALL_BINDIR "/gwsim");
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  writeNetrc(gw, "wonderland");
  // The programs find the library through the path CMake built into them.
  expectExampleMakesDirectory(gw, build + "/quor_example_c", "/cmake-c");
  expectExampleMakesDirectory(gw, build + "/quor_example_cxx", "/cmake-cxx", {"alice"});
}

// A C project that takes the library from the source tree. It must get
// the library alone (no tests, programs or examples) and a shared and a
// static library it can link. Configuring is what depends on how the
// project names its paths, so FetchContent only configures; add_subdirectory
// also builds the C example against both libraries (the static one is C++
// that a C link must still complete) and runs them.
std::string tempDir(const char* name) {
  const char* tmp = getenv("TMPDIR");
  std::string templ = std::string(tmp && *tmp ? tmp : "/tmp") + "/" + name + "-XXXXXX";
  std::vector<char> buf(templ.begin(), templ.end());
  buf.push_back('\0');
  if (!mkdtemp(buf.data())) return "";
  return buf.data();
}

TEST(SourceTree, AnotherProjectGetsTheLibraryAlone) {
  struct Way {
    const char* name;
    const char* take;  // the consumer's lines that take the project in
    const char* subBuild;  // the project's build directory, under the consumer's
    bool build;
  };
  const Way ways[] = {
      {"FetchContent",
       "include(FetchContent)\n"
       "FetchContent_Declare(ozu_client SOURCE_DIR \"" PKG_SOURCE_DIR "\")\n"
       "FetchContent_MakeAvailable(ozu_client)\n",
       "_deps/ozu_client-build", false},
      {"add_subdirectory", "add_subdirectory(\"" PKG_SOURCE_DIR "\" ozu_client)\n", "ozu_client",
       true},
  };
  for (const Way& way : ways) {
    SCOPED_TRACE(way.name);
    std::string work = tempDir("qelapi-consumer");
    ASSERT_FALSE(work.empty()) << strerror(errno);
    std::ofstream(work + "/CMakeLists.txt")
        << "cmake_minimum_required(VERSION 3.25)\n"
           "project(consumer C)\n"
        << way.take
        << "add_executable(example_shared \"" PKG_EXAMPLES_DIR "/quor_example.c\")\n"
           "target_link_libraries(example_shared PRIVATE qelapi::qelapi)\n"
           "add_executable(example_static \"" PKG_EXAMPLES_DIR "/quor_example.c\")\n"
           "target_link_libraries(example_static PRIVATE qelapi)\n";
    std::string build = work + "/build";
    // qelapi::qelapi, being a name with "::", must be a target: the
    // configure fails without it.
    bool ok = step({PKG_CMAKE, "-S", work, "-B", build, "-G", PKG_GENERATOR,
                    "-DCMAKE_MAKE_PROGRAM=" PKG_MAKE_PROGRAM, "-DCMAKE_C_COMPILER=" PKG_CC,
                    "-DCMAKE_CXX_COMPILER=" PKG_CXX});
    std::string sub = build + "/" + way.subBuild;
    EXPECT_TRUE(!ok || fs::exists(sub + "/CMakeFiles")) << sub;
    std::vector<std::string> extra;
    for (const char* d : {"gwsim", "ozu", "brix", "tests", "bench", "examples"})
      if (fs::exists(sub + "/" + d)) extra.push_back(d);
    EXPECT_TRUE(extra.empty()) << "built as well: " << commandLine(extra);

    if (ok && way.build && step({PKG_CMAKE, "--build", build})) {
      EXPECT_TRUE(needed(build + "/example_shared").count("libqelapi.so.1"));
      EXPECT_FALSE(needed(build + "/example_static").count("libqelapi.so.1"));
      GwsimFixture gw(kExampleGateway, PKG_GWSIM);
      EXPECT_TRUE(gw.running()) << gw.stderrText();
      if (gw.running()) {
        writeNetrc(gw, "wonderland");
        expectExampleMakesDirectory(gw, build + "/example_shared", "/sub-shared");
        expectExampleMakesDirectory(gw, build + "/example_static", "/sub-static", {"alice"});
      }
    }
    std::error_code ec;
    fs::remove_all(work, ec);
    EXPECT_TRUE(ok);
  }
}

}  // namespace
