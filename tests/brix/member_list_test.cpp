// Member list generation: name normalisation, the walk and its order, the
// filters, list files and the table limit.
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "brix_test_util.h"

namespace {

class FileSpec : public ::testing::Test {
 protected:
  void SetUp() override { resetBrixState(); }
  // Generates the member list from names, as the command line would give them.
  int generate(std::vector<std::string> args) {
    args.insert(args.begin(), "brix");
    argStore = args;
    argv.clear();
    for (std::string& a : argStore) argv.push_back(a.data());
    argv.push_back(nullptr);
    brix_argv = argv.data();
    brix_argc = int(argStore.size());
    brix_optind = 1;
    return brix_GenFilelist();
  }
  std::vector<std::string> listed() {
    std::vector<std::string> v;
    for (int64_t i = 0; i < brix_FileListEntries; i++) {
      std::string n = brix_FileList[i].filename;
      if (n.rfind(dir.path, 0) == 0) n = n.substr(dir.path.size() + 1);
      v.push_back(n);
    }
    return v;
  }
  TempDir dir;
  std::vector<std::string> argStore;
  std::vector<char*> argv;
};

using names = std::vector<std::string>;

}  // namespace

TEST(CopyPathname, Normalisation) {
  struct row {
    const char* in;
    const char* out;
  } rows[] = {{"a//b///c/", "a/b/c"}, {"/", "/"}, {"//", "/"}, {"a\\*b", "a*b"}, {"a\\", "a"},
              {"\\//x", "//x"}, {"./a/", "./a"}, {"..", ".."}};
  for (const row& r : rows) {
    char* s = brix_CopyPathname(r.in);
    EXPECT_STREQ(s, r.out) << r.in;
    free(s);
  }
}


TEST_F(FileSpec, WalkIsSortedByBytes) {
  writeFileAt(dir / "d/a", "1");
  writeFileAt(dir / "d/a-b", "2");
  writeFileAt(dir / "d/a.d/b", "3");
  writeFileAt(dir / "d/z", "");
  symlink("a", (dir / "d/ln").c_str());
  mkfifo((dir / "d/fifo").c_str(), 0644);
  ASSERT_EQ(generate({dir / "d"}), 0);
  EXPECT_EQ(listed(), (names{"d", "d/a", "d/a-b", "d/a.d", "d/a.d/b", "d/ln", "d/z"}));
  EXPECT_EQ(brix_FileList[0].objectType, BTO_DIRECTORY);
  EXPECT_EQ(brix_FileList[5].objectType, BTO_SYMLINK);
  EXPECT_EQ(brix_FileList[1].objectType, BTO_FILE);
  EXPECT_EQ(brix_FileList[1].size, 1u);
  EXPECT_EQ(brix_exit_code, 0);
}

TEST_F(FileSpec, NamesKeepTheirOrderAndMissingOnesAreReported) {
  writeFileAt(dir / "b", "x");
  writeFileAt(dir / "a", "x");
  ASSERT_EQ(generate({dir / "b", dir / "missing", dir / "a", dir / "b"}), 0);
  EXPECT_EQ(listed(), (names{"b", "a", "b"}));
  EXPECT_EQ(brix_exit_code, 72);
}

TEST_F(FileSpec, NoRecurseAndNewerThan) {
  writeFileAt(dir / "d/old", "x");
  writeFileAt(dir / "d/new", "x");
  writeFileAt(dir / "d/sub/new2", "x");
  struct timeval old[2] = {{1000000, 0}, {1000000, 0}};
  utimes((dir / "d/old").c_str(), old);
  utimes((dir / "d/sub").c_str(), old);
  utimes((dir / "d").c_str(), old);
  brix_option_flags = BRIX_OPT_NORECURSE;
  ASSERT_EQ(generate({dir / "d"}), 0);
  EXPECT_EQ(listed(), (names{"d"}));
  resetBrixState();
  brix_option_flags = BRIX_OPT_NEWER;
  brix_time_opt = 86400;
  ASSERT_EQ(generate({dir / "d"}), 0);
  // Old directories are not listed, but newer files below them are.
  EXPECT_EQ(listed(), (names{"d/new", "d/sub/new2"}));
}

TEST_F(FileSpec, ListFilesAreTrimmedAndKeepNonAsciiNames) {
  writeFileAt(dir / "caf\xc3\xa9", "x");
  writeFileAt(dir / "\xc3\xa9t\xc3\xa9", "x");
  writeFileAt(dir / "plain", "x");
  writeFileAt(dir / "list", "  " + (dir / "caf\xc3\xa9") + " \r\n\n   \n" + (dir / "\xc3\xa9t\xc3\xa9") +
                                "\n" + (dir / "plain") + "\n");
  ASSERT_EQ(generate({"-L", dir / "list"}), 0);
  EXPECT_EQ(listed(), (names{"caf\xc3\xa9", "\xc3\xa9t\xc3\xa9", "plain"}));
  EXPECT_EQ(brix_exit_code, 0);
  resetBrixState();
  EXPECT_EQ(generate({"-L"}), -1);
}

TEST_F(FileSpec, MemberNamesAndOrdinals) {
  brix_function = BOP_LIST;
  ASSERT_EQ(generate({"d*/x", "../up", "plain/"}), 0);
  EXPECT_EQ(listed(), (names{"d*/x", "../up", "plain"}));
  EXPECT_TRUE(brix_FileList[0].hasWildcards);
  EXPECT_FALSE(brix_FileList[1].hasWildcards);
  EXPECT_EQ(brix_FileList[0].objectType, BTO_UNKNOWN);
  resetBrixState();
  brix_function = BOP_LIST;
  brix_option_flags = BRIX_OPT_ORDINALS;
  ASSERT_EQ(generate({"3", "17"}), 0);
  EXPECT_EQ(brix_FileList[1].indexOrd, 17u);
  resetBrixState();
  brix_function = BOP_LIST;
  brix_option_flags = BRIX_OPT_ORDINALS;
  EXPECT_EQ(generate({"3x"}), -1);
  EXPECT_EQ(brix_exit_code, 64);
}

TEST_F(FileSpec, TableLimit) {
  for (const char* f : {"a", "b", "c"}) writeFileAt(dir / f, "x");
  brix_max_files = 2;
  EXPECT_EQ(generate({dir / "a", dir / "b", dir / "c"}), -1);
  EXPECT_EQ(brix_FileListEntries, 2);
  EXPECT_EQ(brix_exit_code, 78);
}

TEST_F(FileSpec, HomeExpansion) {
  char buf[4097];
  std::string home = getpwuid(getuid())->pw_dir;
  ASSERT_EQ(brix_ExpandLocalPath("~/a", buf, sizeof buf), 0);
  EXPECT_EQ(std::string(buf), home + "//a");
  ASSERT_EQ(brix_ExpandLocalPath("~root/a", buf, sizeof buf), 0);
  EXPECT_EQ(std::string(buf), std::string(getpwnam("root")->pw_dir) + "/a");
  ASSERT_EQ(brix_ExpandLocalPath("plain", buf, sizeof buf), 0);
  EXPECT_STREQ(buf, "plain");
  EXPECT_EQ(brix_ExpandLocalPath("~nosuchuserxyz/a", buf, sizeof buf), -1);
  EXPECT_EQ(brix_exit_code, 71);
  char small[4];
  EXPECT_EQ(brix_ExpandLocalPath("~/a", small, sizeof small), -1);
}

// Times outside the index's unsigned 32-bit field are kept at its ends, not
// wrapped: a file from before 1970 must not appear to come from 2106.
TEST(BuildFileSpec, TimesAreClampedToTheIndexField) {
  struct stat st;
  memset(&st, 0, sizeof st);
  st.st_mode = S_IFREG | 0644;
  char name[] = "x";
  brix_FileSpec_t spec;
  st.st_mtime = -5;
  brix_BuildFileSpec(BTO_FILE, 0, name, nullptr, 0, &st, &spec);
  EXPECT_EQ(spec.mtime, 0u);
  st.st_mtime = time_t(1) << 33;
  brix_BuildFileSpec(BTO_FILE, 0, name, nullptr, 0, &st, &spec);
  EXPECT_EQ(spec.mtime, 0xFFFFFFFFu);
  st.st_mtime = 2200000000;
  brix_BuildFileSpec(BTO_FILE, 0, name, nullptr, 0, &st, &spec);
  EXPECT_EQ(spec.mtime, 2200000000u);
}
