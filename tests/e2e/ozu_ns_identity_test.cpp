// ozu's own lsfileset, lsjunctions, groups, newgrp, id and whoami end to
// end: paged fileset and junction listings, the group layout at a width of
// 100 and the identity lines.
#include <gtest/gtest.h>

#include <string>

#include "gwsim_config.h"
#include "gwsim_fixture.h"
#include "journal_text.h"
#include "ozu_run.h"

namespace {

std::string afterBanner(const std::string &out)
{
  size_t at = out.find("Username: ");
  if (at == std::string::npos)
    return out;
  size_t nl = out.find('\n', at);
  return nl == std::string::npos ? "" : out.substr(0, at) + out.substr(nl + 1);
}

GwsimConfig identityConfig(int filesets)
{
  GwsimConfig c;
  c.user("alice", "wonderland").set("Uid", 1001).set("Gid", 100).set("Home", "/")
      .set("Groups", "100 200 300 400 500 600 700");
  c.user("bob", "builder").set("Uid", 1002);
  c.group("staff", 100).group("g2", 200).group("g3", 300).group("g4", 400).group("group", 500)
      .group("g6", 600);  // 700 has no name
  c.group("wheel", 900);
  for (int i = 1; i <= filesets; ++i) {
    char name[16];
    snprintf(name, sizeof name, "fs%03d", i);
    c.section("Filesets").block(name).set("Id", i).set("SubsystemId", 1).set("COS", 2)
        .set("FileCount", 10 * i).set("StateFlags", 3);
  }
  c.section("Junctions").block("/j1").set("Subsystem", 2).set("Fileset", "fs001");
  c.section("Junctions").block("/j2").set("Subsystem", 2).set("Fileset", "fs002");
  c.section("Junctions").block("/j3").set("Subsystem", 1).set("Fileset", "fs003");
  return c;
}

OzuResult run(const GwsimFixture &gw, const std::string &commands)
{
  OzuResult r = runOzu(gw, ozuArgs(gw, {commands}), "", {"TZ=UTC"});
  r.out = afterBanner(r.out + r.err);
  return r;
}

TEST(OzuIdentity, FilesetPagesAndLongLines)
{
  for (int count : {120, 100}) {
    GwsimFixture gw(identityConfig(count).text());
    ASSERT_TRUE(gw.running()) << gw.stderrText();
    ozuHome(gw);
    OzuResult r = run(gw, "lsfileset");
    std::string want;
    for (int i = 1; i <= count; ++i) {
      char line[32];
      snprintf(line, sizeof line, "%6d fs%03d\n", i, i);
      want += line;
    }
    EXPECT_EQ(r.out, want) << count;
    // Pages of 50: 50, 50, 20 for 120; for 100 a third call finds none.
    EXPECT_EQ(countLines(gw.journalLines(), "fn=0x0608"), 3) << count;
    EXPECT_EQ(r.status, 0);
  }
  GwsimFixture gw(identityConfig(3).text());
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  ozuHome(gw);
  OzuResult r = run(gw, "lsfileset -l; lsfileset fs002 nosuch");
  EXPECT_EQ(r.out,
            " Entry      Fileset Name\n"
            " Number Type       COS    Family Subsys   State   Files     Dirs   Symlinks "
            "HardLinks Junctions\n"
            "     1 fs001\n     QUOR_ONLY      2       0       1   RW          10         0"
            "        0         0        0\n"
            "     2 fs002\n     QUOR_ONLY      2       0       1   RW          20         0"
            "        0         0        0\n"
            "     3 fs003\n     QUOR_ONLY      2       0       1   RW          30         0"
            "        0         0        0\n"
            "     3 fs002\n"
            "*** Error -2 getting fileset info for 'nosuch'\n");
}

TEST(OzuIdentity, JunctionsOfASubsystemOnTwoConnections)
{
  GwsimFixture gw(identityConfig(3).text());
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  ozuHome(gw);
  const std::string open =
      "open -q -h 127.0.0.1 -p " + std::to_string(gw.port()) + " -l alice; switch 1; ";
  OzuResult r = run(gw, open + "lsjunctions -s 2 A: B:; lsjunctions; lsjunctions nodrive");
  const std::string two = "Junction Name: /j1\nFileset Name: fs001\nFileset Type: QUOR_ONLY\n"
                          "Class of Service:  2\nDirectories: 0  Files: 10  Symlinks: 0 Hard "
                          "Links: 0 Junctions: 0\n"
                          "Junction Name: /j2\nFileset Name: fs002\nFileset Type: QUOR_ONLY\n"
                          "Class of Service:  2\nDirectories: 0  Files: 20  Symlinks: 0 Hard "
                          "Links: 0 Junctions: 0\n";
  EXPECT_EQ(r.out, "--------------------------\nQUOR Junctions for connection A, subsystem 2:\n" +
                       two +
                       "--------------------------\nQUOR Junctions for connection B, subsystem 2:\n" +
                       two +
                       "Junction Name: /j3\nFileset Name: fs003\nFileset Type: QUOR_ONLY\n"
                       "Class of Service:  2\nDirectories: 0  Files: 30  Symlinks: 0 Hard "
                       "Links: 0 Junctions: 0\n"
                       "*** Not a logical drive: nodrive\n");
  EXPECT_EQ(r.status, 0);
}

TEST(OzuIdentity, ListingsThatFailRaiseTheExitCode)
{
  GwsimConfig c = identityConfig(3);
  c.fault("Error", "0x0500 0x0608 1 -13");
  c.fault("Error", "0x0500 0x0708 1 -64");
  GwsimFixture gw(c.text());
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  ozuHome(gw);
  OzuResult r = run(gw, "lsfileset; lsjunctions");
  EXPECT_NE(r.out.find("*** listAllFilesets: "), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("*** List Junctions call not supported yet\n"), std::string::npos) << r.out;
  EXPECT_EQ(r.status, 72);
}

TEST(OzuIdentity, GroupsNewgrpIdWhoami)
{
  GwsimFixture gw(identityConfig(1).text());
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  ozuHome(gw);
  const struct {
    const char *commands;
    const char *want;
    int status;
  } cases[] = {
      // Seven groups, 100 columns: 6 a line. A gid without a name reads
      // as the shell's id text, six wide, which sets the width here.
      {"groups", "A:QUOR Group List:\n"
                 "   100: staff      200: g2         300: g3         400: g4         500: group "
                 "     600: g6  \n   700:    700  \n", 0},
      {"newgrp", "Current group is: 100(staff)\n", 0},
      {"newgrp g2 x; newgrp", "*** Warning: extra parameter(s) starting with `x' ignored\n"
                              "Current Active Group ID is now 200(g2)\nCurrent group is: 200(g2)\n",
       0},
      {"newgrp wheel", "*** ozu_NewGrpCommand: you are not authorized to use group ID 900 "
                       "(wheel)\n", 64},
      {"newgrp nosuch", "*** Unable to lookup GID for Group Name: `nosuch'\n", 64},
      {"id", "uid=1001(alice) gid=100(staff) 200(g2) 300(g3) 400(g4) 500(group) 600(g6) "
             "700(   700)\n", 0},
      {"id -G -n", "staff g2 g3 g4 group g6    700\n", 0},
      {"id -G", "100 200 300 400 500 600 700\n", 0},
      {"id -g -n", "staff\n", 0},
      {"id -u", "1001\n", 0},
      {"id bob", "1002(bob)\n", 0},
      {"id -G bob", "*** G and g options only available for current login user\n", 0},
      {"id nosuch", "?\?(UNKNOWN)\n", 0},
      {"whoami", "alice\n", 0},
  };
  for (const auto &k : cases) {
    OzuResult r = run(gw, k.commands);
    EXPECT_EQ(r.out, k.want) << k.commands;
    EXPECT_EQ(r.status, k.status) << k.commands;
  }
}

}  // namespace
