// su and sudo of ozu against gwsim: granted, refused, and the identity and
// working directories restored afterwards, in the shell and in the gateway;
// sudo sessions, option errors, and a switch the shell cannot take up.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "gwsim_config.h"
#include "gwsim_fixture.h"
#include "journal_text.h"
#include "ozu_run.h"

namespace {

std::string config(const std::string &errorRule = "")
{
  GwsimConfig c;
  c.server().set("SuPolicy", "allow").set("SudoPolicy", "allow");
  c.user("alice", "wonderland").set("Uid", 1001).set("Gid", 100).set("Home", "/home/alice");
  c.user("bob", "builder").set("Uid", 1002).set("Gid", 100).set("Home", "/home/bob");
  c.user("carol", "lewis").set("Uid", 1003).set("Gid", 100).set("Home", "/home/carol")
      .set("SuPolicy", "deny").set("SudoPolicy", "deny");
  c.user("dave", "drawer").set("Uid", 1004).set("Gid", 100).set("Home", "/home/bob")
      .set("SuPolicy", "challenge").set("SudoPolicy", "challenge");
  c.user("root", "toor").set("Uid", 0).set("Gid", 0).set("Home", "/");
  c.dir("/home");
  c.dir("/home/alice").set("Uid", 1001).set("Mode", "0755");
  c.dir("/home/bob").set("Uid", 1002).set("Mode", "0755");
  c.dir("/home/carol").set("Uid", 1003).set("Mode", "0755");
  if (!errorRule.empty())
    c.fault("Error", errorRule);
  return c.text();
}

class OzuSu : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(gw.running()) << gw.stderrText(); }
  OzuResult as(const std::string &user, const std::string &password, const std::string &commands)
  {
    ozuHome(gw, user, password);
    return runOzu(gw, ozuArgs(gw, {"-P", commands}, user));
  }
  GwsimFixture gw{config()};
};

// After su the gateway acts as bob and keysets go to bob's home; after
// quit alice is back, in the shell and in the gateway (bob may not write
// alice's home).
TEST_F(OzuSu, SuGrantedAndTheIdentityComesBack)
{
  OzuResult r = as("alice", "wonderland",
                   "set dir3=/home; su bob; showcon; keep inbob; quit; showcon; keep inalice");
  EXPECT_EQ(r.status, 0) << r.out;
  size_t bob = r.out.find("HomeDir: /home/bob\n         pwd0: /home/bob");
  ASSERT_NE(bob, std::string::npos) << r.out;
  EXPECT_NE(r.out.find("HomeDir: /home/alice\n         pwd0: /home/alice", bob), std::string::npos)
      << r.out;
  EXPECT_EQ(objectColumn(gw, "uid", "/home/bob/.ozukeysets/inbob"), "1002");
  EXPECT_EQ(objectColumn(gw, "uid", "/home/alice/.ozukeysets/inalice"), "1001");
  std::string kept = readFile(gw.rootDir() + "/home/alice/.ozukeysets/inalice");
  EXPECT_NE(kept.find("dir3 = \"/home\""), std::string::npos) << "slot 3 came back\n" << kept;
  auto j = gw.journalLines();
  EXPECT_EQ(countLines(j, "fn=0x0110", "runas=bob"), 1);
  EXPECT_EQ(countLines(j, "end_session=1"), 1);
}

TEST_F(OzuSu, SuTargets)
{
  // No target: the site's root user; #0 and 0 are uid 0; two targets: the
  // first, with a complaint.
  OzuResult r = as("alice", "wonderland", "su; quit; su #0; quit; su 0; quit; su bob alice; "
                                          "showcon; quit");
  EXPECT_EQ(r.status, 64) << r.out;
  EXPECT_NE(r.out.find("Extra argument(s) following bob ignored"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("HomeDir: /home/bob"), std::string::npos) << r.out;
  EXPECT_EQ(countLines(gw.journalLines(), "fn=0x0110", "runas=root"), 3);
  EXPECT_EQ(countLines(gw.journalLines(), "end_session=1"), 4);
}

// A lone "-" is a mode like -l and -m; keyword options are the command's
// own, and a bad one stops it before anything reaches the gateway.
TEST_F(OzuSu, ModesAndKeywordOptions)
{
  OzuResult r = as("alice", "wonderland", "su - bob; showcon; quit; su -l bob; quit; "
                                          "su nosuchkw=1 bob; showcon");
  EXPECT_EQ(r.status, 64) << r.out;
  EXPECT_NE(r.out.find("HomeDir: /home/bob"), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find("Usage: su"), std::string::npos) << r.out;
  EXPECT_NE(r.out.rfind("HomeDir: /home/alice"), std::string::npos) << r.out;
  EXPECT_GT(r.out.rfind("HomeDir: /home/alice"), r.out.find("HomeDir: /home/bob")) << r.out;
  EXPECT_NE(r.out.find("*** `su': unrecognized keyword nosuchkw=1"), std::string::npos) << r.out;
  EXPECT_EQ(countLines(gw.journalLines(), "fn=0x0110", "runas=bob"), 2);
}

// The gateway keeps only the log-in identity to go back to: a su or sudo
// while a su is in force is refused, so that the gateway stays bob (keep
// writes as bob) and quit brings alice back on both sides.
TEST_F(OzuSu, NoSwitchOnTopOfASu)
{
  struct {
    const char *second;
    const char *what;
  } cases[] = {
      {"su root", "*** su: not allowed while su to bob is in force"},
      {"sudo -u root showcon", "*** sudo: not allowed while su to bob is in force"},
  };
  int n = 0;
  for (const auto &c : cases) {
    std::string k1 = "k" + std::to_string(++n), k2 = "a" + std::to_string(n);
    OzuResult r = as("alice", "wonderland",
                     std::string("su bob; ") + c.second + "; showcon; keep " + k1 +
                         "; quit; showcon; keep " + k2);
    EXPECT_EQ(r.status, 64) << c.second << "\n" << r.out;
    EXPECT_NE(r.out.find(c.what), std::string::npos) << c.second << "\n" << r.out;
    size_t bob = r.out.find("HomeDir: /home/bob\n");
    ASSERT_NE(bob, std::string::npos) << c.second << "\n" << r.out;
    EXPECT_NE(r.out.find("HomeDir: /home/alice\n", bob), std::string::npos) << r.out;
    EXPECT_EQ(objectColumn(gw, "uid", "/home/bob/.ozukeysets/" + k1), "1002") << c.second;
    EXPECT_EQ(objectColumn(gw, "uid", "/home/alice/.ozukeysets/" + k2), "1001") << c.second;
  }
  auto j = gw.journalLines();
  EXPECT_EQ(countLines(j, "fn=0x0110", "runas=root"), 0);
  EXPECT_EQ(countLines(j, "fn=0x0112"), 0);
}

TEST_F(OzuSu, RefusedAndBadSuExitWith72Or64)
{
  struct {
    const char *commands;
    int status;
    const char *text;
  } cases[] = {
      {"su alice; showcon", 72, "(SU) Not authorized"},
      {"sudo pwd; showcon", 72, "(SUDO) Not authorized"},
      {"su nosuch; showcon", 72, "Error looking up UID for 'nosuch'"},
      {"su -l -m bob; showcon", 64, "Cannot specify both -m and -l options"},
  };
  for (const auto &c : cases) {
    OzuResult r = as("carol", "lewis", c.commands);
    EXPECT_EQ(r.status, c.status) << c.commands << "\n" << r.out;
    EXPECT_NE(r.out.find(c.text), std::string::npos) << c.commands << "\n" << r.out;
    EXPECT_NE(r.out.find("HomeDir: /home/carol"), std::string::npos) << "identity kept\n" << r.out;
  }
}

TEST_F(OzuSu, SudoRunsOneCommandAsTheTarget)
{
  OzuResult r = as("alice", "wonderland", "sudo keep -l z; showcon; sudo -u bob showcon; showcon");
  EXPECT_EQ(r.status, 0) << r.out;
  std::vector<std::string> homes;
  for (size_t p = 0; (p = r.out.find("HomeDir: ", p)) != std::string::npos; ++p)
    homes.push_back(r.out.substr(p + 9, r.out.find('\n', p) - p - 9));
  EXPECT_EQ(homes, (std::vector<std::string>{"/home/alice", "/home/bob", "/home/alice"})) << r.out;
  auto j = gw.journalLines();
  EXPECT_EQ(countLines(j, "fn=0x0112", "runas=root cmd=keep -l z"), 1);
  EXPECT_EQ(countLines(j, "fn=0x0112", "runas=bob cmd=showcon"), 1);
  EXPECT_EQ(countLines(j, "end_session=1"), 2);
}

TEST_F(OzuSu, SudoOptionErrors)
{
  struct {
    const char *commands;
    int status;
    const char *text;
  } cases[] = {
      {"sudo -k pwd", 64, "*** -K,-k,-l,-v options do not permit command string"},
      {"sudo -m pwd", 64, "Unknown option: m"},
      {"sudo -x pwd", 64, "Usage: sudo  -K | -k | -l -v"},
      {"sudo -u bob -x showcon", 64, "Usage: sudo  -K | -k | -l -v"},
      {"sudo -?", 0, "Usage: sudo  -K | -k | -l -v"},
      {"sudo", 0, "Usage: sudo  -K | -k | -l -v"},
  };
  for (const auto &c : cases) {
    OzuResult r = as("alice", "wonderland", c.commands);
    EXPECT_EQ(r.status, c.status) << c.commands << "\n" << r.out;
    EXPECT_NE(r.out.find(c.text), std::string::npos) << c.commands << "\n" << r.out;
    EXPECT_EQ(countLines(gw.journalLines(), "fn=0x0112"), 0) << c.commands;
  }
  // An option that takes a value does not swallow the command.
  OzuResult r = as("alice", "wonderland", "sudo -a x -u bob showcon");
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(countLines(gw.journalLines(), "fn=0x0112", "runas=bob cmd=showcon"), 1);
}

// A sudo shell: each command authorised first, a refusal runs nothing and
// exits 72, sudo inside is refused, exit ends the session.
TEST(OzuSudoShell, EveryCommandIsAuthorised)
{
  // The fourth sudo start of the run (the third command) is refused.
  GwsimFixture gw{config("0x0200 0x0112 4 -1")};
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  ozuHome(gw);
  OzuResult r = runOzu(gw, ozuArgs(gw, {"-P", "sudo -u bob -s; keep -l one; ls; keep -l two; "
                                                 "sudo pwd; exit; showcon"}));
  EXPECT_EQ(r.status, 72) << r.out;
  EXPECT_NE(r.out.find("*** Not authorized to run command: 'keep -l two'"), std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("*** SUDO is not allowed while a sudo-shell session is active"),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("HomeDir: /home/alice"), std::string::npos) << "exit ended it\n" << r.out;
  std::string home = gw.dir() + "/home/.ozukeysets/";
  EXPECT_EQ(access((home + "one").c_str(), F_OK), 0);
  EXPECT_NE(access((home + "two").c_str(), F_OK), 0);
  auto j = gw.journalLines();
  EXPECT_EQ(countLines(j, "fn=0x0112", "runas=bob cmd=keep -l one"), 1);
  EXPECT_EQ(countLines(j, "fn=0x0112", "runas=bob cmd=ls"), 1) << "relayed ones too";
  EXPECT_EQ(countLines(j, "fn=0x0112", "cmd=exit"), 0) << "leaving needs no authorisation";
  EXPECT_EQ(countLines(j, "end_session=1"), 1);
}

// A gateway that wants a password: su asks for the target's at the
// terminal (again after a wrong one), sudo for the caller's own; neither
// echoes it, and both switches end as usual.
TEST(OzuSuChallenge, PasswordsAskedAtTheTerminal)
{
  GwsimFixture gw{config()};
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  ozuHome(gw, "dave", "drawer");
  writeFile(gw, ".ozurc", "PS1 = 'ozu> '\n");
  auto p = startOzuOnPty(gw, ozuArgs(gw, {"-q"}, "dave"), {"TERM=vt100"});
  ASSERT_TRUE(p->started());
  ASSERT_TRUE(p->waitFor("ozu> ", 15000)) << p->screen;
  p->type("su alice\n");
  ASSERT_TRUE(p->waitFor("[alice]Password: ")) << p->screen;
  p->type("looking-glass\n");
  ASSERT_TRUE(p->waitFor("[alice]Password: ")) << p->screen;
  p->type("wonderland\n");
  ASSERT_TRUE(p->waitFor("ozu> ")) << p->screen;
  p->type("showcon\n");
  ASSERT_TRUE(p->waitFor("HomeDir: /home/alice")) << p->screen;
  ASSERT_TRUE(p->waitFor("ozu> ")) << p->screen;
  p->type("quit\n");
  ASSERT_TRUE(p->waitFor("ozu> ")) << p->screen;
  p->type("sudo -u alice showcon\n");
  ASSERT_TRUE(p->waitFor("[dave]Password: ")) << p->screen;
  p->type("drawer\n");
  ASSERT_TRUE(p->waitFor("HomeDir: /home/alice")) << p->screen;
  ASSERT_TRUE(p->waitFor("ozu> ")) << p->screen;
  p->type("showcon\n");
  ASSERT_TRUE(p->waitFor("HomeDir: /home/bob")) << "sudo ended after its command\n" << p->screen;
  ASSERT_TRUE(p->waitFor("ozu> ")) << p->screen;
  p->type("quit\n");
  EXPECT_EQ(p->finish(), 0) << p->screen;
  for (const char *secret : {"wonderland", "looking-glass", "drawer\r"})
    EXPECT_EQ(p->screen.find(secret), std::string::npos) << secret << " was echoed\n" << p->screen;
  auto j = gw.journalLines();
  EXPECT_EQ(countLines(j, "for=su "), 2);
  EXPECT_EQ(countLines(j, "for=sudo"), 1);
  EXPECT_EQ(countLines(j, "fn=0x0112", "runas=alice cmd=showcon"), 1);
  EXPECT_EQ(countLines(j, "end_session=1"), 2);
}

// su granted by the gateway, but the target's password entry cannot be
// read: the switch is ended and the identity before it comes back.
TEST(OzuSuRollback, NoPasswordEntryAfterTheSwitch)
{
  GwsimFixture gw{config("0x0600 0x0100 2 -5")};
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  ozuHome(gw);
  OzuResult r = runOzu(gw, ozuArgs(gw, {"-P", "su bob; showcon; keep back"}));
  EXPECT_EQ(r.status, 72) << r.out;
  EXPECT_NE(r.out.find("quor_Getpwent call failed for runas user <bob>"), std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("HomeDir: /home/alice\n         pwd0: /home/alice"), std::string::npos)
      << r.out;
  EXPECT_EQ(access((gw.rootDir() + "/home/alice/.ozukeysets/back").c_str(), F_OK), 0)
      << "the gateway acts as alice again\n" << r.out;
  EXPECT_EQ(countLines(gw.journalLines(), "end_session=1"), 1);
}

}  // namespace
