// ozu at a terminal: the prompt, line editing and history, r, interrupts
// forwarded to the gateway, three interrupts ending the shell, and the idle
// time-out of plain terminal input (through the library's time seam), the
// quit signal, and the no-login gate.
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

const std::string kConfig = [] {
  GwsimConfig c;
  c.user("alice", "wonderland").set("Uid", 1001).set("Gid", 100).set("Home", "/home/alice");
  c.section("Commands").block("one").set("Line", "ONE");
  c.section("Commands").block("three").set("Line", "THREE");
  c.section("Commands").block("tail").set("Stream", "0 50 tick").set("Exit", 130);
  // Not "slow": "s" is save's abbreviation, which the shell runs itself.
  c.section("Commands").block("zlow").set("Stream", "20 50 s");
  c.section("Commands").block("tail3").set("Stream", "0 50 a").set("Stream", "0 50 b")
      .set("Stream", "0 50 c").set("Exit", 130);
  return c.text();
}();

class OzuTerminal : public ::testing::Test {
 protected:
  void SetUp() override
  {
    ASSERT_TRUE(gw.running()) << gw.stderrText();
    mkdir((gw.rootDir() + "/home").c_str(), 0755);
    mkdir((gw.rootDir() + "/home/alice").c_str(), 0755);
    ozuHome(gw);
    writeFile(gw, ".ozurc", "PS1 = 'ozu> '\n");
  }
  GwsimFixture gw{kConfig};
};

TEST_F(OzuTerminal, PromptEditingHistoryAndR)
{
  auto p = startOzuOnPty(gw, ozuArgs(gw, {"-q"}), {"TERM=vt100"});
  ASSERT_TRUE(p->started());
  ASSERT_TRUE(p->waitFor("ozu> ", 15000)) << p->screen;
  p->type("one\n");
  ASSERT_TRUE(p->waitFor("ONE")) << p->screen;
  ASSERT_TRUE(p->waitFor("ozu> "));
  p->type("thrx\x7f" "ee\n");  // a typo rubbed out
  ASSERT_TRUE(p->waitFor("THREE")) << p->screen;
  ASSERT_TRUE(p->waitFor("ozu> "));
  p->type("r one\n");
  ASSERT_TRUE(p->waitFor("ONE")) << p->screen;
  ASSERT_TRUE(p->waitFor("ozu> "));
  p->type("hist\n");
  ASSERT_TRUE(p->waitFor("   5 hist")) << p->screen;
  ASSERT_TRUE(p->waitFor("ozu> "));
  p->type("r 99999999999999999999\n");  // no event number wraps into a real one
  ASSERT_TRUE(p->waitFor("hist -s  [ old=new ] [ command ]")) << p->screen;
  ASSERT_TRUE(p->waitFor("ozu> "));
  p->type("quit\n");
  EXPECT_EQ(p->finish(), 0) << p->screen;
  EXPECT_NE(p->screen.find("   1 one"), std::string::npos) << p->screen;
  EXPECT_NE(p->screen.find("   2 three"), std::string::npos);
  EXPECT_NE(p->screen.find("   4 one"), std::string::npos) << "the line r ran is history too";
  auto j = gw.journalLines();
  EXPECT_EQ(countLines(j, "cmd=one"), 2) << "r ran it again";
  EXPECT_EQ(countLines(j, "cmd=three"), 1) << "the edited line went out";
}

TEST_F(OzuTerminal, AnInterruptStopsTheRunningCommand)
{
  auto p = startOzuOnPty(gw, ozuArgs(gw, {"-q"}), {"TERM=vt100"});
  ASSERT_TRUE(p->waitFor("ozu> ", 15000)) << p->screen;
  p->type("tail\n");
  ASSERT_TRUE(p->waitFor("tick 2")) << p->screen;
  p->type("\x03");
  ASSERT_TRUE(p->waitFor("*** interrupted ***")) << p->screen;
  ASSERT_TRUE(p->waitFor("ozu> ")) << p->screen;
  EXPECT_TRUE(gw.waitForJournal("relay-interrupted"));
  p->type("one\n");
  ASSERT_TRUE(p->waitFor("ONE")) << "the session goes on";
  p->type("quit\n");
  EXPECT_EQ(p->finish(), 130) << "the gateway's exit code of the interrupted command";
}

TEST_F(OzuTerminal, ThreeInterruptsEndTheShellWith69)
{
  auto p = startOzuOnPty(gw, ozuArgs(gw, {"-q"}), {"TERM=vt100"});
  ASSERT_TRUE(p->waitFor("ozu> ", 15000)) << p->screen;
  p->type("tail3\n");
  // One interrupt at a time: the terminal drops what follows an interrupt
  // in the same write.
  ASSERT_TRUE(p->waitFor("a 1")) << p->screen;
  p->type("\x03");
  ASSERT_TRUE(p->waitFor("b 1")) << p->screen;
  p->type("\x03");
  ASSERT_TRUE(p->waitFor("c 1")) << p->screen;
  p->type("\x03");
  EXPECT_EQ(p->finish(), 69) << p->screen;
  EXPECT_NE(p->screen.find("*** killed due to 3 consecutive interrupts ***"), std::string::npos);
}

// A quit signal from the terminal notes itself and raises the exit code to
// 69, unless a higher one was recorded; the session goes on either way.
TEST_F(OzuTerminal, QuitSignalRaisesTheExitCodeOnly)
{
  struct {
    const char *first;
    int status;
  } cases[] = {{"one\n", 69}, {"set dir0=/nonexistent\n", 72}};
  for (const auto &c : cases) {
    auto p = startOzuOnPty(gw, ozuArgs(gw, {"-q"}), {"TERM=vt100"});
    ASSERT_TRUE(p->waitFor("ozu> ", 15000)) << p->screen;
    p->type(c.first);
    ASSERT_TRUE(p->waitFor("ozu> ")) << p->screen;
    p->type("zlow\n");
    ASSERT_TRUE(p->waitFor("s 2")) << p->screen;
    p->type("\x1c");
    ASSERT_TRUE(p->waitFor("<QUIT> signal received")) << p->screen;
    ASSERT_TRUE(p->waitFor("s 20")) << "the command runs to its end\n" << p->screen;
    ASSERT_TRUE(p->waitFor("ozu> ")) << p->screen;
    p->type("one\n");
    ASSERT_TRUE(p->waitFor("ONE")) << "the session goes on";
    p->type("quit\n");
    EXPECT_EQ(p->finish(), c.status) << c.first << p->screen;
  }
}

TEST_F(OzuTerminal, IdleTimeoutOfPlainTerminalInput)
{
  // -P leaves the line editor off: lines are read from the terminal as is.
  auto q = startOzuOnPty(gw, ozuArgs(gw, {"-P"}), {"TERM=vt100", "QUOR_TEST_TIMESCALE=1000"});
  ASSERT_TRUE(q->waitFor("*** Timeout waiting for input from terminal ***", 15000)) << q->screen;
  EXPECT_EQ(q->finish(), 0) << q->screen;
  EXPECT_NE(q->screen.find("EOF detected on TTY - ending OZU session"), std::string::npos);
}

}  // namespace

namespace {

const std::string kClosedConfig = [] {
  GwsimConfig c;
  c.user("alice", "wonderland").set("Uid", 1001).set("Gid", 100).set("Home", "/home/alice");
  c.dir("/var").set("Mode", "0755");
  c.dir("/var/adm").set("Mode", "0755");
  c.dir("/var/adm/config").set("Mode", "0755");
  c.file("/var/adm/config/nologin").set("Data", "gateway-closed").set("Mode", "0644");
  return c.text();
}();

// The local no-login file holds the shell before the log-in, the gateway's
// own one after it; each is shown once and the shell goes on when it is
// gone. -o skips both.
TEST(OzuNologin, LocalThenGatewayFileHoldTheSessionUntilRemoved)
{
  GwsimFixture gw{kClosedConfig};
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  mkdir((gw.rootDir() + "/home").c_str(), 0755);
  mkdir((gw.rootDir() + "/home/alice").c_str(), 0755);
  ozuHome(gw);
  writeFile(gw, ".ozurc", "PS1 = 'ozu> '\n");
  std::string local = gw.dir() + "/nologin";
  writeFile(gw, local, "local-closed\n");
  std::vector<std::string> env = {"TERM=vt100", "OZU_NOLOGIN_FILE=" + local};

  auto o = startOzuOnPty(gw, ozuArgs(gw, {"-o"}), env);
  ASSERT_TRUE(o->waitFor("ozu> ", 15000)) << o->screen;
  o->type("quit\n");
  EXPECT_EQ(o->finish(), 0);
  EXPECT_EQ(o->screen.find("closed"), std::string::npos) << o->screen;

  auto p = startOzuOnPty(gw, ozuArgs(gw, {}), env);
  ASSERT_TRUE(p->waitFor("local-closed", 15000)) << p->screen;
  ASSERT_EQ(unlink(local.c_str()), 0);
  ASSERT_TRUE(p->waitFor("gateway-closed", 15000)) << p->screen;
  ASSERT_EQ(unlink((gw.rootDir() + "/var/adm/config/nologin").c_str()), 0);
  ASSERT_TRUE(p->waitFor("ozu> ", 15000)) << p->screen;
  p->type("quit\n");
  EXPECT_EQ(p->finish(), 0) << p->screen;
  const std::string &s = p->screen;
  size_t a = s.find("local-closed"), b = s.find("gateway-closed"), c = s.find("Username: alice");
  ASSERT_NE(c, std::string::npos) << s;
  EXPECT_LT(a, b);
  EXPECT_LT(b, c) << "the banner waits for the gateway's file";
  EXPECT_EQ(s.find("local-closed", a + 1), std::string::npos) << "shown once";
  EXPECT_EQ(s.find("gateway-closed", b + 1), std::string::npos) << "shown once";
}

}  // namespace
