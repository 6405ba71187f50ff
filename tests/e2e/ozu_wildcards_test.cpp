// ozu's wildcards end to end: working-directory slots set from patterns
// on a gateway in local run mode (its own file system, read through the
// lfx calls, never the storage namespace) and on the second of two
// gateways reached through its drive letter.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <string>

#include "gwsim_fixture.h"
#include "journal_text.h"
#include "ozu_run.h"

namespace {

std::string uidText() { return std::to_string(geteuid() == 0 ? 1001 : geteuid()); }

// The gateway's own tree at <dir>/lfx: d/{a,b}, d/s0..s2/in, d/s1/deep.
// The storage namespace holds a decoy of the same names.
class OzuLfxWildcards : public ::testing::Test {
 protected:
  void SetUp() override
  {
    ASSERT_TRUE(gw.running()) << gw.stderrText();
    std::string d = gw.dir() + "/lfx/d";
    mkdir((gw.dir() + "/lfx").c_str(), 0755);
    mkdir(d.c_str(), 0755);
    for (const char *n : {"/a", "/b"})
      std::ofstream(d + n) << "x";
    for (const char *s : {"/s0", "/s1", "/s2"}) {
      mkdir((d + s).c_str(), 0755);
      std::ofstream(d + s + "/in") << "x";
    }
    mkdir((d + "/s1/deep").c_str(), 0755);
    mkdir((gw.rootDir() + "/d").c_str(), 0755);
    mkdir((gw.rootDir() + "/d/s7decoy").c_str(), 0755);
    home = ozuHome(gw);
  }
  GwsimFixture gw{"Users = {\n alice = {\n  Password = wonderland\n  Uid = " + uidText() +
                  "\n  Home = /d\n }\n}\nLfx = {\n Root = @DIR@/lfx\n}\n"};
  std::string home;
};

TEST_F(OzuLfxWildcards, SlotPatternsMatchTheGatewaysOwnFiles)
{
  OzuResult r = runOzu(gw, ozuArgs(gw, {"-P", "set dir1=/d/s1/d*; set dir2=/d/s{9,1}*/de?p; "
                                              "set dir3=/d/s[02-5]; set dir4=/d/zz*; "
                                              "set dir5=/d/s?; set dir6=/d/s7*; glob; set dir7=/d/s?; "
                                              "keep -l w"}));
  EXPECT_EQ(r.status, 64) << "the slots that match nothing or too much\n" << r.out << r.err;
  std::string file;
  {
    std::ifstream in(home + "/.ozukeysets/w");
    file.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  for (const char *line : {"dir1 = \"/d/s1/deep\"", "dir2 = \"/d/s1/deep\"", "dir4 = \"\"",
                           "dir5 = \"\"", "dir6 = \"\"",
                           "dir7 = \"/d/s?\""})
    EXPECT_NE(file.find(std::string(line) + "\n"), std::string::npos) << line << "\n" << file;
  // [02-5] matches s0 and s2: two names for one slot. With glob off, s?
  // is a name like any other.
  EXPECT_NE(file.find("dir3 = \"\"\n"), std::string::npos) << file;
  const std::string o = r.out + r.err;
  EXPECT_NE(o.find("*** Warning: No matching names located for '/d/zz*'"), std::string::npos) << o;
  EXPECT_NE(o.find("*** Warning: No matching names located for '/d/s7*'"), std::string::npos)
      << "the storage namespace's decoy is not looked at\n" << o;
  EXPECT_NE(o.find("*** Ambiguous path: '/d/s?'"), std::string::npos) << o;
  EXPECT_NE(o.find("*** Ambiguous path: '/d/s[02-5]'"), std::string::npos) << o;
  auto j = gw.journalLines();
  EXPECT_GT(countLines(j, "cat=0x1600"), 5) << "directories read through lfx";
  EXPECT_EQ(countLines(j, "cat=0x0500 fn=0x1201"), 0) << "no storage directory was read";
}

// A slot pattern that matches nothing warns, is refused, and leaves the
// slot as it was.
TEST_F(OzuLfxWildcards, NoMatchLeavesTheSlotAsItWas)
{
  OzuResult r = runOzu(gw, ozuArgs(gw, {"-P", "set dir1=/d/s0; set dir1=/d/nothing*; keep -l n"}));
  const std::string o = r.out + r.err;
  EXPECT_NE(o.find("*** Warning: No matching names located for '/d/nothing*'"), std::string::npos)
      << o;
  // The failed set is the command's own refusal (64), not the warning's.
  EXPECT_NE(o.find("*** Error expanding directory string: `/d/nothing*'"), std::string::npos) << o;
  std::ifstream in(home + "/.ozukeysets/n");
  std::string file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_NE(file.find("dir1 = \"/d/s0\"\n"), std::string::npos) << "the slot kept its value\n"
                                                                << file;
}

// alice's home and /proj holding one directory of the given name.
std::string projectGateway(const std::string &leaf)
{
  GwsimConfig c = aliceConfig();
  c.dir("/proj");
  c.dir("/proj/" + leaf);
  return c.text();
}

// The same pattern names another directory on each gateway: the drive
// letter chooses where it is matched, and each connection keeps its own
// slots.
TEST(OzuTwoGatewayWildcards, DriveLetterChoosesWherePatternsMatch)
{
  GwsimFixture first{projectGateway("one")};
  GwsimFixture second{projectGateway("two")};
  ASSERT_TRUE(first.running() && second.running());
  std::string home = ozuHome(first);
  std::string open = "open -q -h 127.0.0.1 -p " + std::to_string(second.port()) + " -l alice";
  OzuResult r = runOzu(first, ozuArgs(first, {"-P", "set dir1=/proj/*; " + open +
                                                        "; set dir1=/proj/*; keep -l b; A:; "
                                                        "keep -l a; B:; set dir2=/proj/o*"}));
  EXPECT_EQ(r.status, 64) << "/proj/o* matches nothing on B\n" << r.out << r.err;
  auto slot = [&](const std::string &name) {
    std::ifstream in(home + "/.ozukeysets/" + name);
    std::string file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    size_t p = file.find("dir1 = \"");
    return p == std::string::npos ? std::string("?")
                                  : file.substr(p + 8, file.find('"', p + 8) - p - 8);
  };
  EXPECT_EQ(slot("a"), "/proj/one");
  EXPECT_EQ(slot("b"), "/proj/two");
  EXPECT_NE((r.out + r.err).find("*** Warning: No matching names located for '/proj/o*'"),
            std::string::npos)
      << r.out << r.err;
}

}  // namespace
