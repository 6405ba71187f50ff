// ozu with several connections and identities against gwsim: open with a
// drive letter, drive and connection prefixes, showcon, switch, close of
// the current and of another connection, a failed open, setdrive, su and
// sudo granted and refused with the identity restored.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "gwsim_config.h"
#include "gwsim_fixture.h"
#include "journal_text.h"
#include "ozu_run.h"

namespace {

const std::string kConfig = [] {
  GwsimConfig c;
  c.server().set("SuPolicy", "allow");
  c.user("alice", "wonderland").set("Uid", 1001).set("Gid", 100).set("Home", "/home/alice");
  c.user("bob", "builder").set("Uid", 1002).set("Gid", 100).set("Home", "/home/bob");
  c.section("Commands").block("pwd").set("Line", "somewhere");
  return c.text();
}();

class OzuConnections : public ::testing::Test {
 protected:
  void SetUp() override
  {
    ASSERT_TRUE(gw.running()) << gw.stderrText();
    for (const char *d : {"/home", "/home/alice", "/home/bob"})
      mkdir((gw.rootDir() + d).c_str(), 0755);
    ozuHome(gw);
  }
  GwsimFixture gw{kConfig};
};

TEST_F(OzuConnections, OpenPrefixesShowconAndClose)
{
  std::string port = std::to_string(gw.port());
  OzuResult r = runOzu(gw, ozuArgs(gw, {"-P", "open -q -d c -h 127.0.0.1 -p " + port +
                                                    " -l alice; showcon; a: pwd; c:; pwd; "
                                                    "setdrive c e; close e:; showcon; "
                                                    "k: pwd; 9: pwd; close"}));
  EXPECT_EQ(r.status, 64) << r.out;
  const std::string &o = r.out;
  EXPECT_NE(o.find("->C:"), std::string::npos) << "the new connection is current\n" << o;
  EXPECT_NE(o.find("Connection ID "), std::string::npos);
  EXPECT_NE(o.find("Replaced drive letter 'C' with 'E'"), std::string::npos) << o;
  EXPECT_NE(o.find("*** Connection not open for drive: 'k: pwd'"), std::string::npos);
  EXPECT_NE(o.find("*** Connection not open for ID: '9: pwd'"), std::string::npos);
  EXPECT_NE(o.find("*** Cannot use <close> for the only open connection."), std::string::npos);
  auto j = gw.journalLines();
  EXPECT_EQ(countLines(j, "conn=1 ", "cmd=pwd"), 1) << "a: ran on the first connection";
  EXPECT_EQ(countLines(j, "conn=2 ", "cmd=pwd"), 1) << "c: then made the second current";
  EXPECT_EQ(countLines(j, "conn=2 close"), 1) << "close e: closed it";
}

TEST_F(OzuConnections, SuSwitchesIdentityUntilQuit)
{
  OzuResult r = runOzu(gw, ozuArgs(gw, {"-P", "su bob; showcon; quit; showcon"}));
  EXPECT_EQ(r.status, 0) << r.out;
  auto j = gw.journalLines();
  EXPECT_EQ(countLines(j, "fn=0x0110", "runas=bob"), 1) << "su went to the gateway";
  EXPECT_NE(r.out.find("HomeDir: /home/bob"), std::string::npos) << r.out;
  size_t bob = r.out.find("HomeDir: /home/bob");
  size_t alice = r.out.find("HomeDir: /home/alice", bob == std::string::npos ? 0 : bob);
  EXPECT_NE(alice, std::string::npos) << "quit ended the su identity, not the session\n" << r.out;
  EXPECT_EQ(countLines(j, "cmd=showcon"), 0) << "showcon is the shell's own";
}

// A second gateway: its own pwd line tells which gateway ran a command.
std::string secondConfig(const std::string &faultRule = "")
{
  GwsimConfig c = aliceConfig();
  c.section("Commands").block("pwd").set("Line", "second-gateway");
  if (!faultRule.empty())
    c.fault("Error", faultRule);
  return c.text();
}

class TwoGateways : public OzuConnections {
 protected:
  void SetUp() override
  {
    OzuConnections::SetUp();
    ASSERT_TRUE(second.running()) << second.stderrText();
  }
  std::string openSecond(const std::string &more = "")
  {
    return "open -q " + more + " -h 127.0.0.1 -p " + std::to_string(second.port()) + " -l alice";
  }
  GwsimFixture second{secondConfig()};
};

TEST_F(TwoGateways, SwitchPrefixesAndCloseEither)
{
  OzuResult r = runOzu(gw, ozuArgs(gw, {"-P", openSecond() + "; pwd; showcon; switch 1; pwd; "
                                                 "B: pwd; pwd; 1:pwd; close 2; showcon; pwd"}));
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  const std::string &o = r.out;
  // The new connection gets the first free letter and is current at once.
  size_t list = o.find("List of Currently Active Connections");
  ASSERT_NE(list, std::string::npos) << o;
  EXPECT_NE(o.find("->B:   2 127.0.0.1", list), std::string::npos) << o;
  EXPECT_NE(o.find("  A:   1 127.0.0.1", list), std::string::npos) << o;
  // pwd: second (just opened), somewhere (switch 1), second (B:), second
  // (the prefix stays), somewhere (1:), then close 2 from connection 1.
  std::vector<std::string> order;
  for (size_t p = 0; (p = o.find_first_of("s", p)) != std::string::npos; ++p) {
    if (o.compare(p, 14, "second-gateway") == 0)
      order.push_back("2");
    else if (o.compare(p, 9, "somewhere") == 0)
      order.push_back("1");
  }
  EXPECT_EQ(order, (std::vector<std::string>{"2", "1", "2", "2", "1", "1"})) << o;
  size_t last = o.rfind("List of Currently Active Connections");
  EXPECT_NE(o.find("->A:", last), std::string::npos) << "closing 2 kept 1 current\n" << o;
  EXPECT_EQ(o.find("B:", last), std::string::npos) << o;
  EXPECT_EQ(countLines(second.journalLines(), "conn=1 close"), 1);
}

TEST_F(TwoGateways, ClosingAnotherConnectionKeepsTheCurrentOne)
{
  // 3 is current after the opens; closing 2 (which has a neighbour
  // before it) and then 1 must leave it current.
  OzuResult r = runOzu(gw, ozuArgs(gw, {"-P", openSecond() + "; " + openSecond() +
                                                 "; close 2; pwd; close A:; showcon; close; "
                                                 "close 3"}));
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("second-gateway"), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find("somewhere"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("Current default connection handle: 3"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("->C:   3"), std::string::npos) << r.out;
  EXPECT_EQ(countText(r.out, "*** Cannot use <close> for the only open connection."), 2) << r.out;
  // gwsim notes a close once it sees the connection end, which may be
  // after ozu has already exited.
  EXPECT_TRUE(gw.waitForJournal("conn=1 close"));
  EXPECT_TRUE(second.waitForJournal("conn=1 close"));
  EXPECT_EQ(countLines(gw.journalLines(), "conn=1 close"), 1);
  EXPECT_EQ(countLines(second.journalLines(), "conn=1 close"), 1);
  EXPECT_EQ(countLines(second.journalLines(), "conn=2 ", "cmd=pwd"), 1);
}

TEST_F(TwoGateways, ClosingTheCurrentHandsOverToItsNeighbour)
{
  OzuResult r = runOzu(gw, ozuArgs(gw, {"-P", openSecond("-d q") + "; close; pwd; showcon"}));
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("somewhere"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("->A:"), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find("Q:"), std::string::npos) << r.out;
}

TEST_F(TwoGateways, UnknownConnectionsAndLetters)
{
  OzuResult r = runOzu(gw, ozuArgs(gw, {"-P", openSecond() + "; switch A; switch 7; close 9; "
                                                 "close z:; setdrive 2 a; setdrive b: Z; "
                                                 "setdrive ab e; showcon; open -q -d z -h x"}));
  EXPECT_EQ(r.status, 64) << r.out << r.err;
  const std::string &o = r.out;
  EXPECT_NE(o.find("*** switch - invalid or inactive handle: A"), std::string::npos) << o;
  EXPECT_NE(o.find("*** switch - invalid or inactive handle: 7"), std::string::npos) << o;
  EXPECT_NE(o.find("*** 9: Specified connection not established ***"), std::string::npos) << o;
  EXPECT_NE(o.find("z: Specified connection not established ***"), std::string::npos) << o;
  EXPECT_NE(o.find("*** Drive A is in-use. Use \"showcon\" to see connection list"),
            std::string::npos)
      << o;
  EXPECT_NE(o.find("Connection ID 2: Replaced drive letter 'B' with 'Z'"), std::string::npos);
  EXPECT_NE(o.find("*** illegal drive letter: ab"), std::string::npos) << o;
  EXPECT_NE(o.find("->Z:   2"), std::string::npos) << o;
  EXPECT_NE(o.find("Drive letter 'Z' is already in-use."), std::string::npos) << o;
  EXPECT_EQ(countLines(second.journalLines(), "cmd=setdrive"), 3) << "the gateway is asked first";
}

// The option checks of open end the command before anything is opened;
// without a terminal the questions get no answer and the command ends at
// the first value it cannot do without. Each failed open is a failure (64
// for its options, 69 for the connection) and drops the rest of its line,
// so each one stands on a line of its own here.
TEST_F(OzuConnections, OpenOptionErrorsAndMissingValues)
{
  OzuResult r = runOzu(gw, ozuArgs(gw, {"-P"}),
                       "open\nconnect\nopen -A nosuch -h x\n"
                       "open -A gsi -h x\nopen -a 1 -a 2 -h x\n"
                       "open -g 1 -g 2 -h x\nopen -d 1 -h x\n"
                       "open -d a: -h x\nopen -s nosuch\n"
                       "open -h 127.0.0.1 -p " +
                           std::to_string(gw.port()) + "\nshowcon\n");
  EXPECT_EQ(r.status, 69) << r.out << r.err;
  const std::string o = r.out + r.err;
  EXPECT_EQ(countText(o, "Usage:       open (or connect) \n"), 2) << o;
  EXPECT_NE(o.find("[-p portnumber] (default: 1217) \n"), std::string::npos) << o;
  EXPECT_NE(o.find("*** Bad authentication method - [nosuch]"), std::string::npos) << o;
  EXPECT_NE(o.find("*** OZU was not built with this authmethod enabled  [gsi]"), std::string::npos)
      << o;
  EXPECT_NE(o.find(" *** Following authentication methods are available on the client: "),
            std::string::npos)
      << o;
  EXPECT_NE(o.find("*** multiple occurrences of -a option"), std::string::npos) << o;
  EXPECT_NE(o.find("*** multiple occurrences of -g option"), std::string::npos) << o;
  EXPECT_NE(o.find("Bad drive letter: 1 - must be a-z or A-Z,optionally followed by \":\""),
            std::string::npos)
      << o;
  EXPECT_NE(o.find("Drive letter 'A' is already in-use. Please choose a different letter"),
            std::string::npos)
      << o;
  EXPECT_NE(o.find("*** Cannot locate site entry for 'nosuch'"), std::string::npos) << o;
  EXPECT_NE(o.find("[NULL hostname - command ignored]"), std::string::npos) << o;
  EXPECT_NE(o.find("[NULL principal name - command ignored]"), std::string::npos) << o;
  // Only the first connection is left, and the gateway saw one log-in.
  EXPECT_NE(o.find("->A:   1 127.0.0.1"), std::string::npos) << o;
  EXPECT_EQ(o.find("   2 127.0.0.1"), std::string::npos) << o;
  EXPECT_EQ(countLines(gw.journalLines(), "cat=0x0100 fn=0x0001"), 1) << "no second session was set up";
}

// The keytab question is asked again after an empty answer, but not once
// the terminal's input has ended.
TEST_F(OzuConnections, KeytabQuestionEndsWithTheTerminalInput)
{
  writeFile(gw, ".ozurc", "PS1 = 'ozu> '\n");
  auto p = startOzuOnPty(gw, ozuArgs(gw, {"-q"}), {"TERM=vt100"});
  ASSERT_TRUE(p->started());
  ASSERT_TRUE(p->waitFor("ozu> ", 15000)) << p->screen;
  p->type("open -q -A keytab -h 127.0.0.1 -p " + std::to_string(gw.port()) + " -l alice\n");
  ASSERT_TRUE(p->waitFor("Keytab file (or template filename): : ")) << p->screen;
  p->type("\n");
  ASSERT_TRUE(p->waitFor("Keytab file (or template filename): : ")) << "asked again\n" << p->screen;
  p->type("\x04");
  ASSERT_TRUE(p->waitFor("ozu> ")) << "the open ended, the shell reads on\n" << p->screen;
  p->type("quit\n");
  EXPECT_EQ(p->finish(), 69) << "the open failed\n" << p->screen;
  EXPECT_EQ(countLines(gw.journalLines(), "cat=0x0100 fn=0x0001"), 1) << "nothing was opened";
}

// The prompt follows the current connection: its id, drive letter, login
// and working directory, as the connection changes.
TEST_F(TwoGateways, PromptShowsTheCurrentConnection)
{
  writeFile(gw, ".ozurc", "PS1 = '[%c %d %L %W1 %q]> '\n");
  auto p = startOzuOnPty(gw, ozuArgs(gw, {"-q"}), {"TERM=vt100"});
  ASSERT_TRUE(p->started());
  ASSERT_TRUE(p->waitFor("[1 A: alice alice %q]> ", 15000)) << p->screen;
  p->type(openSecond("-A combo -d k") + "\n");
  ASSERT_TRUE(p->waitFor("[2 K: alice alice %q]> ")) << p->screen;
  p->type("set dir0=/home\n");
  ASSERT_TRUE(p->waitFor("[2 K: alice home %q]> ")) << p->screen;
  p->type("switch 1\n");
  ASSERT_TRUE(p->waitFor("[1 A: alice alice %q]> ")) << "connection 1 kept its own\n" << p->screen;
  p->type("quit\n");
  EXPECT_EQ(p->finish(), 0) << p->screen;
}

// A site stanza supplies host, port, drive letter and principal; its
// letter taken already, open picks another. switch reads only ids.
TEST_F(TwoGateways, OpenThroughASiteStanza)
{
  writeFile(gw, gw.dir() + "/ozurc",
            "sec:\n  host localhost\n  port " + std::to_string(second.port()) +
                "\n  drive s:\n  principal alice\n");
  writeFile(gw, ".netrc",
            "machine 127.0.0.1 login alice password wonderland\n"
            "machine sec login alice password wonderland\n");
  OzuResult r = runOzu(gw, ozuArgs(gw, {"-P", "open -q -s sec; pwd; open -d x -s sec; "
                                                    "lsconnections; setcon 1; pwd; switch S:; "
                                                    "pwd; connect -q -s sec; showcon"}));
  EXPECT_EQ(r.status, 64) << "switch S: is refused\n" << r.out << r.err;
  const std::string &o = r.out;
  EXPECT_NE(o.find("*** Warning: drive letter 'X' doesn't match drive letter 'S' for site entry sec"),
            std::string::npos)
      << o;
  EXPECT_NE(o.find("*** switch - invalid or inactive handle: S:"), std::string::npos) << o;
  EXPECT_NE(o.find("*** Warning: drive letter 'S:' from ozurc setting for site 'sec' is already in-use"),
            std::string::npos)
      << o;
  EXPECT_NE(o.find("*** Drive letter 'B:' was assigned for this connection"), std::string::npos) << o;
  size_t last = o.rfind("List of Currently Active Connections");
  ASSERT_NE(last, std::string::npos) << o;
  for (const char *line : {"  A:   1 127.0.0.1", "  S:   2 127.0.0.1", "  X:   3 127.0.0.1",
                           "->B:   4 127.0.0.1"})
    EXPECT_NE(o.find(line, last), std::string::npos) << line << "\n" << o;
  // pwd ran on the stanza's gateway, then on the first (setcon 1) twice.
  EXPECT_EQ(countText(o, "second-gateway"), 1) << o;
  EXPECT_EQ(countText(o, "somewhere"), 2) << o;
  EXPECT_EQ(countLines(second.journalLines(), "cat=0x0100 fn=0x0001"), 3) << "three sessions on the stanza's gateway";
}

// An open that fails after the log-in (no password entry) leaves no
// connection behind and the one before it current, in the shell and in
// the library.
TEST(OzuOpenFailure, FailedOpenKeepsTheCurrentConnection)
{
  GwsimFixture gw{kConfig};
  GwsimFixture second{secondConfig("0x0600 0x0100 * -5")};
  ASSERT_TRUE(gw.running() && second.running());
  for (const char *d : {"/home", "/home/alice"})
    mkdir((gw.rootDir() + d).c_str(), 0755);
  ozuHome(gw);
  std::string open = "open -q -h 127.0.0.1 -p " + std::to_string(second.port()) + " -l alice";
  // One command a line: a failed open drops the rest of its line.
  OzuResult r = runOzu(gw, ozuArgs(gw, {"-P"}), open + "\npwd\nshowcon\n" + open + "\npwd\n");
  EXPECT_EQ(r.status, 69) << r.out;
  EXPECT_EQ(countText(r.out, "*** Error getting login info for new connection"), 2) << r.out;
  EXPECT_EQ(countText(r.out, "somewhere"), 2) << r.out;
  EXPECT_EQ(r.out.find("second-gateway"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("->A:   1"), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find("   2 127.0.0.1"), std::string::npos) << r.out;
  auto j = second.journalLines();
  EXPECT_EQ(countLines(j, "close"), 2) << "each failed connection was closed";
  EXPECT_EQ(countLines(j, "cmd=pwd"), 0);
  OzuResult same = runOzu(gw, ozuArgs(gw, {"-P", open + "; pwd"}));
  EXPECT_EQ(countText(same.out, "somewhere"), 0) << "nothing after it on its line ran\n" << same.out;
  EXPECT_EQ(countLines(second.journalLines(), "cmd=pwd"), 0);
}

}  // namespace
