// Saved keysets against gwsim: keep, show, adopt and free, in the storage
// home directory (written and read through the movers) and in the local
// home directory; bad lines, bad names and a keep that cannot write.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "gwsim_config.h"
#include "gwsim_fixture.h"
#include "journal_text.h"
#include "ozu_run.h"

namespace {

const std::string kConfig = [] {
  GwsimConfig c;
  c.server().set("startupCOS", 0);
  c.user("alice", "wonderland").set("Uid", 1001).set("Gid", 100).set("Home", "/home/alice");
  c.user("bob", "builder").set("Uid", 1002).set("Home", "/home/bob");
  c.dir("/home").set("Mode", "0755");
  c.dir("/home/alice").set("Uid", 1001).set("Gid", 100).set("Mode", "0755");
  c.dir("/home/bob").set("Uid", 1002);
  c.dir("/home/alice/work").set("Uid", 1001).set("Gid", 100).set("Mode", "0755");
  return c.text();
}();

class OzuKeysets : public ::testing::Test {
 protected:
  void SetUp() override
  {
    ASSERT_TRUE(gw.running()) << gw.stderrText();
    home = ozuHome(gw);
  }
  OzuResult ozu(const std::string &commands)
  {
    return runOzu(gw, ozuArgs(gw, {"-P", commands}));
  }
  GwsimFixture gw{kConfig};
  std::string home;
};

TEST_F(OzuKeysets, StorageKeepShowAdoptFree)
{
  OzuResult r = ozu("set PS1=\"saved> \"; set dir0=/home/alice/work; keep mine; keep; show");
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  std::string file = readFile(gw.rootDir() + "/home/alice/.ozukeysets/mine");
  EXPECT_EQ(file.rfind(".OZUKEYSET.\nbackup  = \"off\"\ncosid = \"auto\"\ntalk  = ", 0), 0u)
      << file;
  EXPECT_NE(file.find("PS1 = \"saved> \"\n"), std::string::npos) << file;
  EXPECT_NE(file.find("dir0 = \"/home/alice/work\"\n"), std::string::npos) << file;
  EXPECT_EQ(countText(file, "\n"), 21) << "magic line and 20 settings\n" << file;
  EXPECT_NE(r.out.find("Available QUOR keysets:\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("    mine\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("   (system default: -)\n"), std::string::npos) << r.out;

  // A new session adopts it: working directory 0 comes back from the file.
  r = ozu("show mine; adopt mine; showcon; set PS1=\"again> \"; keep mine; show");
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("   PS1 = saved> \n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("pwd0: /home/alice/work"), std::string::npos) << r.out;
  // Kept again under the same name: replaced whole, nothing left beside it.
  file = readFile(gw.rootDir() + "/home/alice/.ozukeysets/mine");
  EXPECT_NE(file.find("PS1 = \"again> \"\n"), std::string::npos) << file;
  EXPECT_EQ(countText(file, "\n"), 21) << file;
  size_t listing = r.out.rfind("Available QUOR keysets:\n");
  ASSERT_NE(listing, std::string::npos) << r.out;
  EXPECT_EQ(countText(r.out.substr(listing), "    mine\n"), 1) << r.out;
  EXPECT_EQ(r.out.find(".#", listing), std::string::npos) << r.out;
  EXPECT_FALSE(access((gw.rootDir() + "/home/alice/.ozukeysets/.#mine").c_str(), F_OK) == 0);

  r = ozu("free mine nosuch; show");
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("freed keyset `mine'"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("*** Warning: no such keyset - `nosuch'"), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find("    mine\n"), std::string::npos) << r.out;
  EXPECT_FALSE(access((gw.rootDir() + "/home/alice/.ozukeysets/mine").c_str(), F_OK) == 0);
  auto j = gw.journalLines();
  EXPECT_GE(countLines(j, "log ", "FU"), 1) << "the removal is in the transfer log";
}

TEST_F(OzuKeysets, LocalKeepAdoptsBackWhatItWrote)
{
  OzuResult r = ozu("set PS2=\"more> \"; keep -l loc; show -l; show -h -l loc");
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  std::string file = readFile(home + "/.ozukeysets/loc");
  EXPECT_EQ(file.rfind(".OZUKEYSET.\n", 0), 0u) << file;
  EXPECT_EQ(countText(file, "\n"), 30) << "magic line and 29 settings\n" << file;
  EXPECT_NE(file.find("hier  = \""), std::string::npos);
  EXPECT_NE(r.out.find("Available local keysets:\n    loc\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("   PS2 = more> \n"), std::string::npos) << "with -h and -l, -l wins\n" << r.out;

  // Every line keep -l wrote is accepted again, automatic sizes included.
  r = ozu("adopt -l loc; keep -l again");
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(r.out.find("ADOPT"), std::string::npos) << r.out;
  EXPECT_EQ(readFile(home + "/.ozukeysets/again"), file);

  r = ozu("free -l loc; free -l loc; free -l; free");
  EXPECT_EQ(r.status, 64) << "free without any word" << r.out;
  EXPECT_NE(r.out.find("freed keyset `loc'"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("*** Warning: no such keyset - `loc'"), std::string::npos) << r.out;
  EXPECT_EQ(countText(r.out, "*** FREE: missing keyset name"), 1) << r.out;
}

// A local keep that cannot write the whole file (a file size limit that
// ozu inherits) fails with 73 and leaves the old keyset and nothing else.
TEST_F(OzuKeysets, ALocalWriteThatFailsKeepsTheOldFile)
{
  OzuResult r = ozu("set PS1=\"first> \"; keep -l k");
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  std::string before = readFile(home + "/.ozukeysets/k");
  ASSERT_NE(before.find("first> "), std::string::npos) << before;
  struct rlimit old;
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
  struct rlimit small = old;
  small.rlim_cur = 100;
  auto oldHandler = signal(SIGXFSZ, SIG_IGN);
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  r = ozu("set PS1=\"second> \"; keep -l k");
  setrlimit(RLIMIT_FSIZE, &old);
  signal(SIGXFSZ, oldHandler);
  EXPECT_EQ(r.status, 73) << r.out << r.err;
  EXPECT_NE(r.out.find("*** KEEP: error writing keyset file `"), std::string::npos) << r.out;
  EXPECT_EQ(readFile(home + "/.ozukeysets/k"), before);
  EXPECT_FALSE(access((home + "/.ozukeysets/.#k").c_str(), F_OK) == 0);
}

// The working-directory slots a keyset saves take the path shorthands.
TEST_F(OzuKeysets, SlotsTakePathShorthands)
{
  OzuResult r = ozu("set dir0=/home/alice/work; set dir1=..; set dir2=~bob/x; set dir3=/home/b{x,o}*; "
                    "set dir4=1'work/../w2; set dir5=./a/b; set dir6=/home/al*; set dir7=~nosuch; "
                    "keep -l slots");
  EXPECT_EQ(r.status, 64) << "~nosuch\n" << r.out;
  std::string file = readFile(home + "/.ozukeysets/slots");
  for (const char *line :
       {"dir0 = \"/home/alice/work\"", "dir1 = \"/home/alice\"", "dir2 = \"/home/bob/x\"",
        "dir3 = \"/home/bob\"", "dir4 = \"/home/alice/work/../w2\"",
        "dir5 = \"/home/alice/work/a/b\"", "dir6 = \"/home/alice\"", "dir7 = \"\""})
    EXPECT_NE(file.find(std::string(line) + "\n"), std::string::npos) << line << "\n" << file;
  EXPECT_NE(r.out.find("*** Unknown user name [nosuch]"), std::string::npos) << r.out;
}

TEST_F(OzuKeysets, BadLinesAreReportedAndTheRestApplied)
{
  mkdir((home + "/.ozukeysets").c_str(), 0700);
  writeFile(gw, home + "/.ozukeysets/odd",
            ".OZUKEYSET.\n"
            "# a comment\n"
            "PS1 = \"say \"hi\" > \"\n"
            "PS2 = unquoted\n"
            "nonsense = \"1\"\n"
            "columns = \"100\"\n");
  writeFile(gw, home + "/.ozukeysets/notone", "something else\nPS1 = \"x\"\n");
  OzuResult r = ozu("adopt -l odd; keep -l after; adopt -l notone; show -l");
  EXPECT_EQ(r.status, 72) << r.out;
  EXPECT_NE(r.out.find("Warning: bad keyset line encountered:\n     [PS2 = unquoted]"),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("*** ADOPT: error parsing line 3 of keyset `odd'"), std::string::npos);
  EXPECT_NE(r.out.find("*** ADOPT: error in keyset `odd', line 4 (`nonsense = 1')"),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("*** Error opening keyset file `notone'"), std::string::npos) << r.out;
  std::string after = readFile(home + "/.ozukeysets/after");
  EXPECT_NE(after.find("PS1 = \"say \"hi\" > \"\n"), std::string::npos) << "quotes inside stay";
  EXPECT_NE(after.find("columns = \"100\"\n"), std::string::npos) << "lines after bad ones apply";
  EXPECT_EQ(r.out.find("    notone\n"), std::string::npos) << "no keyset file, not listed";

  r = ozu("adopt -l odd");
  EXPECT_EQ(r.status, 65) << r.out;
}

TEST_F(OzuKeysets, NamesAndFailuresToWrite)
{
  OzuResult r = ozu("keep ../escape; keep -l a/b; free ..; show -l .");
  EXPECT_EQ(r.status, 64) << r.out;
  EXPECT_EQ(countText(r.out, "*** illegal keyset name: "), 4) << r.out;
  EXPECT_FALSE(access((gw.rootDir() + "/home/alice/escape").c_str(), F_OK) == 0);

  // A keyset directory that is a file: nothing can be kept there, and what
  // was there stays.
  writeFile(gw, home + "/.ozukeysets", "not a directory\n");
  r = ozu("keep -l x");
  EXPECT_EQ(r.status, 73) << r.out;
  EXPECT_EQ(readFile(home + "/.ozukeysets"), "not a directory\n");

}

// A keep whose data cannot be written fails with 73 and leaves the keyset
// it was to replace as it was.
TEST(OzuKeysetWrites, AFailedWriteKeepsTheOldFile)
{
  GwsimFixture gw{std::string(kConfig) + "Faults = {\n  Error = 0x0500 0x1701 2+ -28\n}\n"};
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  ozuHome(gw);
  OzuResult r = runOzu(gw, ozuArgs(gw, {"-P", "set PS1=\"first> \"; keep k"}));
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  std::string path = gw.rootDir() + "/home/alice/.ozukeysets/k";
  std::string before = readFile(path);
  ASSERT_NE(before.find("first> "), std::string::npos) << before;
  r = runOzu(gw, ozuArgs(gw, {"-P", "set PS1=\"second> \"; keep k; show"}));
  EXPECT_EQ(r.status, 73) << r.out << r.err;
  EXPECT_NE(r.out.find("*** KEEP: error writing QUOR keyset file `"), std::string::npos) << r.out;
  EXPECT_EQ(readFile(path), before);
  EXPECT_NE(r.out.find("Available QUOR keysets:\n    k\n"), std::string::npos)
      << "nothing half-written is left beside it\n" << r.out;
}

}  // namespace
