// The ozu shell against gwsim: start-up and banner, commands from the
// arguments, a pipe and an in-file, the relay with its output, exit codes
// and failures, usage errors, and storage errors.
#include <gtest/gtest.h>
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
  c.server().set("app_copies", 2).set("startupCOS", 0);
  c.user("alice", "wonderland").set("Uid", 1001).set("Gid", 100).set("Home", "/home/alice")
      .set("Accounts", 7);
  c.account("research", 7);
  c.section("Motd").set("Text", "Welcome to the test gateway");
  c.section("Commands").block("pwd").set("Line", "/home/alice");
  c.section("Commands").block("one").set("Line", "ONE");
  c.section("Commands").block("two").set("Line", "TWO");
  c.section("Commands").block("three").set("Line", "THREE");
  c.section("Commands").block("four").set("Line", "FOUR");
  c.section("Commands").block("fails").set("ErrorLine", "it went wrong").set("Exit", 3);
  c.section("Commands").block("cd /home/alice/sub").set("Chdir", "/home/alice/sub");
  c.section("Commands").block("zzcrash").set("Line", "partial").flag("Drop");
  c.section("Commands").block("many").set("Stream", "200 0 row");
  return c.text();
}();

class OzuShell : public ::testing::Test {
 protected:
  void SetUp() override
  {
    ASSERT_TRUE(gw.running()) << gw.stderrText();
    mkdir((gw.rootDir() + "/home").c_str(), 0755);
    mkdir((gw.rootDir() + "/home/alice").c_str(), 0755);
    ozuHome(gw);
  }
  GwsimFixture gw{kConfig};
};

size_t position(const std::string &text, const std::string &what)
{
  size_t at = text.find(what);
  return at == std::string::npos ? std::string::npos : at;
}

TEST_F(OzuShell, ArgumentsRelayBannerAndUnrecognized)
{
  OzuResult r = runOzu(gw, ozuArgs(gw, {"pwd; xyzzy"}));
  EXPECT_EQ(r.status, 64) << r.err;
  EXPECT_NE(r.err.find("Welcome to the test gateway\n"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("Username: alice  UID: 1001  Acct: 7(research) Copies: 2 COS: 0 "
                       "Firewall: off"),
            std::string::npos)
      << r.err;
  size_t pwd = position(r.err, "/home/alice\n");
  size_t unknown = position(r.err, "*** unrecognized command: 'xyzzy'\n");
  ASSERT_NE(pwd, std::string::npos) << r.err;
  ASSERT_NE(unknown, std::string::npos) << r.err;
  EXPECT_LT(pwd, unknown);
  auto j = gw.journalLines();
  EXPECT_EQ(countLines(j, "cmd=pwd"), 1);
  EXPECT_EQ(countLines(j, "cmd=xyzzy"), 1);
  EXPECT_EQ(countLines(j, "cmd=set "), 18) << "the session's settings go first, once";
  EXPECT_EQ(countLines(j, " log subsys=ozu ", "*** unrecognized command: 'xyzzy'"), 1)
      << "messages reach the gateway log";
}

TEST_F(OzuShell, PipeWithContinuationSemicolonsAndLastLineWithoutNewline)
{
  OzuResult r = runOzu(gw, ozuArgs(gw, {"-P"}), "one; two \\\n ; three\n# comment\nfour");
  EXPECT_EQ(r.status, 0) << r.err << r.out;
  size_t a = position(r.out, "ONE\n"), b = position(r.out, "TWO\n"),
         c = position(r.out, "THREE\n"), d = position(r.out, "FOUR\n");
  ASSERT_NE(d, std::string::npos) << r.out;
  EXPECT_LT(a, b);
  EXPECT_LT(b, c);
  EXPECT_LT(c, d);
  EXPECT_NE(r.out.find("EOF detected on TTY - ending OZU session"), std::string::npos);
  EXPECT_EQ(countLines(gw.journalLines(), "cmd=# comment"), 0);
}

TEST_F(OzuShell, InFileRunsEveryLineThenEnds)
{
  writeFile(gw, "cmds", "one\ntwo \\\n ; three\nin cmds\nfour");
  OzuResult r = runOzu(gw, ozuArgs(gw, {"-P", "in " + gw.dir() + "/home/cmds; pwd"}));
  EXPECT_EQ(r.status, 0) << r.out;
  size_t a = position(r.out, "ONE\n"), b = position(r.out, "TWO\n"),
         c = position(r.out, "THREE\n");
  ASSERT_NE(c, std::string::npos) << r.out;
  EXPECT_LT(a, b);
  EXPECT_LT(b, c);
  EXPECT_NE(r.out.find("Warning: IN not allowed from IN-file"), std::string::npos);
  EXPECT_NE(r.out.find("FOUR\n"), std::string::npos) << "the last line has no newline";
  EXPECT_EQ(r.out.find("/home/alice\n"), std::string::npos)
      << "in drops the rest of its command line";
  EXPECT_NE(r.out.find("one\n"), std::string::npos) << "lines of the file are echoed";
}

TEST_F(OzuShell, HighestExitCodeWinsAndGatewayCodesCount)
{
  OzuResult r = runOzu(gw, ozuArgs(gw, {"fails"}));
  EXPECT_EQ(r.status, 3) << r.err;
  EXPECT_NE(r.err.find("it went wrong\n"), std::string::npos);
  r = runOzu(gw, ozuArgs(gw, {"frob; fails; one"}));
  EXPECT_EQ(r.status, 64);
}

TEST_F(OzuShell, RelayThatDropsEndsWith69)
{
  OzuResult r = runOzu(gw, ozuArgs(gw, {"zzcrash"}));
  EXPECT_EQ(r.status, 69) << r.err;
  EXPECT_NE(r.err.find("partial\n"), std::string::npos);
  EXPECT_NE(r.err.find("*** Error(s) sending or receiving CLI protocol message(s)"),
            std::string::npos);
}

TEST_F(OzuShell, FailedStorageCallPrintsTheErrorLineAnd72)
{
  OzuResult r = runOzu(gw, ozuArgs(gw, {"set dir0=/nonexistent"}));
  EXPECT_EQ(r.status, 72) << r.err;
  EXPECT_NE(r.err.find("*** quor_Chdir: No such file or directory [-2: QUOR_ENOENT] \n    "
                       "/nonexistent"),
            std::string::npos)
      << r.err;
}

TEST_F(OzuShell, UsageErrors)
{
  struct {
    std::vector<std::string> args;
    int status;
    std::string text;
  } cases[] = {
      {{"-d"}, 64, "*** ozu: missing <debug level (0-5)> parameter"},
      {{"-p", "99999999999999999999999"}, 64, "*** ozu: bad <port> parameter"},
      {{"-d", "99999999999999999999999"}, 64, "*** ozu: bad <debug> level: 9999"},
      {{"-T", "99999999999999999999999"}, 64, "*** ozu: bad <thread stacksize> parameter"},
      {{"-a", "99999999999999999999999"}, 64, "*** ozu: bad <account ID> parameter"},
      {{"-g", "99999999999"}, 64, "*** ozu: bad <group ID> parameter"},
      {{"-Z"}, 64, "ozu: Z: unknown option"},
      {{"-V"}, 255, "OZUGW Client Version:"},
      {{"-?"}, 255, "Usage: ozu -help (or -?) "},
      {{"-A", "krb5"}, 64, "ozu: missing or unknown authentication method [krb5]"},
  };
  for (const auto &c : cases) {
    OzuResult r = runOzu(gw, c.args);
    EXPECT_EQ(r.status, c.status) << c.args[0];
    EXPECT_NE(r.err.find(c.text), std::string::npos) << c.args[0] << "\n" << r.err;
    if (c.status == 64) {
      EXPECT_NE(r.err.find("Usage: ozu -help (or -?) "), std::string::npos) << c.args[0];
    }
  }
  std::string longCmd(3072, 'x');
  OzuResult r = runOzu(gw, {longCmd});
  EXPECT_EQ(r.status, 64);
  EXPECT_NE(r.err.find("argument list too long (>3072 characters)"), std::string::npos);
}

TEST_F(OzuShell, ControlCommandsAndGatewayDirectorySync)
{
  OzuResult r = runOzu(gw, ozuArgs(gw, {"-P", "glob; glob; idletime 0; idletime a b; vers; "
                                              "idletime 99999999999999999999; "
                                              "cd /home/alice/sub; set; debug 9"}));
  EXPECT_EQ(r.status, 64) << "a refused idletime is a usage error\n" << r.out;
  EXPECT_NE(r.out.find("filename globbing turned off\nfilename globbing turned on\n"),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("Idle timeout setting is unlimited (no idle timeout)\n"),
            std::string::npos);
  size_t usage = r.out.find("*** usage:   idle[time] [value]");
  ASSERT_NE(usage, std::string::npos);
  EXPECT_NE(r.out.find("*** usage:   idle[time] [value]", usage + 1), std::string::npos)
      << "an overflowing value is refused\n" << r.out;
  EXPECT_EQ(r.out.find("Idle timeout setting is 2147483647"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("OZUGW Client Version: "), std::string::npos);
  EXPECT_NE(r.out.find("Usage: debug level|on|off"), std::string::npos);
  auto j = gw.journalLines();
  // The directory the gateway announced is the session's: cd is relayed,
  // and the following set sends nothing that names another one.
  EXPECT_EQ(countLines(j, "cmd=cd /home/alice/sub"), 1);
}

// A connection number that does not fit an int names no connection: it
// never wraps around to the first one (handle 1).
TEST_F(OzuShell, OverflowingConnectionNumbersNameNoConnection)
{
  OzuResult r = runOzu(gw, ozuArgs(gw, {"-P", "4294967297: one; switch 4294967297; "
                                              "setdrive 4294967297 X:; close 4294967297; one"}));
  EXPECT_EQ(r.status, 64) << r.out;
  const std::string &o = r.out;
  EXPECT_NE(o.find("*** Connection not open for ID: '4294967297: one'"), std::string::npos) << o;
  EXPECT_NE(o.find("invalid or inactive handle: 4294967297"), std::string::npos) << o;
  EXPECT_NE(o.find("*** bad connection ID: 4294967297."), std::string::npos) << o;
  EXPECT_NE(o.find("Specified connection not established"), std::string::npos) << o;
  auto j = gw.journalLines();
  EXPECT_EQ(countLines(j, "cmd=one"), 1) << "only the last line ran, on the open connection";
}

TEST_F(OzuShell, BrokenPipeOnTheListingOutput)
{
  OzuResult r = runOzu(gw, ozuArgs(gw, {"-P", "many; one"}), "", {}, 60, 20);
  EXPECT_EQ(r.status, 0) << "a reader that went away does not kill the shell";
  EXPECT_NE(countLines(gw.journalLines(), "cmd=one"), 0) << "the next command still runs";
}

}  // namespace
