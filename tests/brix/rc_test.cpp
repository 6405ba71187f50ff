// The rc files: the line syntax, value types, bad values, and which of the
// global files is read and in what order. Each case reads in a child
// process, whose standard error is kept.
#include <gtest/gtest.h>
#include <pwd.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>

#include "brix_test_util.h"
#include "client_process.h"

TEST(RcFiles, LinesAndValues) {
  TempDir dir;
  std::string rc = dir / "rc";
  writeFileAt(rc,
              "# comment\n"
              "; another\n"
              "   \n"
              "disable_puts=yes\n"
              "DISABLE_GETS YES\n"
              "DisplayExcludedObjects maybe\n"
              "read_disable_msg Reads are off today\n"
              "max_small_file_size 2m\n"
              "okfile %H/brix.%P.ok extra\n"
              "foo bar\n"
              "statefile\n"
              "max_member_files 12\n"
              "max_archive_size 0\n"
              "enable_expiration on\n");
  ChildResult r = runInChild([&] {
    int failures = 0;
    setDefaultOptions();
    CHILD_EQ(failures, readRcFile(rc.c_str()), -1);
    brix_rc_t& o = brix_config_opts;
    CHILD_EQ(failures, o.DisablePuts, 1);
    CHILD_EQ(failures, o.DisableGets, 1);
    CHILD_EQ(failures, o.DisplayExcludedObjects, 1);
    CHILD_CHECK(failures, std::string(o.DisableGetsMsg) == "Reads are off today\n");
    CHILD_EQ(failures, o.MaxSmallFileSize, 2097152);
    std::string ok = std::string(getpwuid(geteuid())->pw_dir) + "/brix." + std::to_string(getpid()) + ".ok";
    CHILD_CHECK(failures, o.Okfile && ok == o.Okfile);
    CHILD_EQ(failures, o.MaxMembersPerArchive, 12);
    // The bad size stopped the file: the line after it was not read.
    CHILD_EQ(failures, o.EnableFileExpiration, 0);
    return failures;
  });
  EXPECT_EQ(r.status, 0) << r.stderrText;
  const std::string& e = r.stderrText;
  EXPECT_NE(e.find("INFO: (readRcFile) bad value [maybe] for DisplayExcludedObjects (file " + rc + " line 6) ignored"),
            std::string::npos) << e;
  EXPECT_NE(e.find("WARNING: (readRcFile) extra token(s) on line 9 of file " + rc + " ignored"), std::string::npos);
  EXPECT_NE(e.find("INFO: (readRcFile) unrecognized option foo on line 10 of " + rc), std::string::npos);
  EXPECT_NE(e.find("INFO: (readRcFile) missing value for <statefile> option on line 11 of " + rc),
            std::string::npos);
  EXPECT_NE(e.find("ERROR: (readRcFile) problem converting max_archive_size [0] (file " + rc + ", line 13)"),
            std::string::npos);
}

TEST(RcFiles, WhichFilesAreRead) {
  TempDir dir;
  writeFileAt(dir / "second/brixrc", "statefile STDERR\nmax_small_file_size 1k\ndisable_puts on\n");
  writeFileAt(dir / "third/brixrc", "statefile STDOUT\n");
  writeFileAt(dir / "home/.brixrc", "max_small_file_size 3k\n");
  ChildResult r = runInChild([&] {
    int failures = 0;
    std::string list = (dir / "first") + ":" + (dir / "second") + ":" + (dir / "third");
    setenv("QUOR_CFG_FILE_PATH", list.c_str(), 1);
    setenv("HOME", (dir / "home").c_str(), 1);
    CHILD_EQ(failures, brix_ReadConfig(), 0);
    CHILD_CHECK(failures, std::string(brix_config_opts.Statefile) == "STDERR");
    CHILD_EQ(failures, brix_config_opts.MaxSmallFileSize, 3072);
    CHILD_EQ(failures, brix_config_opts.DisablePuts, 1);
    CHILD_EQ(failures, brix_config_opts.AbortOnOversizeFile, 1);
    return failures;
  });
  EXPECT_EQ(r.status, 0) << r.stderrText;
}

TEST(PathTemplates, Expansion) {
  ChildResult r = runInChild([] {
    int failures = 0;
    char* a = brix_ExpandTemplatePath("%H/log.%P", "/home/x", nullptr);
    CHILD_CHECK(failures, a && std::string(a) == "/home/x/log." + std::to_string(getpid()));
    char* b = brix_ExpandTemplatePath("%U-%Q-%", nullptr, "bob");
    CHILD_CHECK(failures, b && std::string(b) == "bob-%Q-%");
    std::string longHome(3000, 'h');
    char* c = brix_ExpandTemplatePath("%H/%H", longHome.c_str(), nullptr);
    CHILD_CHECK(failures, c && strlen(c) == 4096);
    CHILD_CHECK(failures, brix_ExpandTemplatePath(nullptr, nullptr, nullptr) == nullptr);
    free(a);
    free(b);
    free(c);
    return failures;
  });
  EXPECT_EQ(r.status, 0) << r.stderrText;
}
