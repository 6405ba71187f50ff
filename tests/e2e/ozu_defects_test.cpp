// ozu where a new user and a review found it failing: Ctrl-C outside a
// running command, a gateway that stops answering or is gone, lines longer
// than the reader's buffer.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "gwsim_config.h"
#include "gwsim_fixture.h"
#include "journal_text.h"
#include "ozu_run.h"

namespace {

std::string gatewayConfig()
{
  GwsimConfig c = aliceConfig();
  c.section("Commands").block("one").set("Line", "ONE");
  c.section("Commands").block("three").set("Line", "THREE");
  c.section("Commands").block("big256").set("Exit", 256);
  c.section("Commands").block("big300").set("Exit", 300);
  return c.text();
}

int occurrences(const std::string &text, const std::string &needle)
{
  int n = 0;
  for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1))
    ++n;
  return n;
}

class OzuDefects : public ::testing::Test {
 protected:
  void SetUp() override
  {
    ASSERT_TRUE(gw.running()) << gw.stderrText();
    ozuHome(gw);
    writeFile(gw, ".ozurc", "PS1 = 'ozu> '\n");
  }
  int journalCount(const std::string &text) { return countLines(gw.journalLines(), text); }
  GwsimFixture gw{gatewayConfig()};
};

// Ctrl-C at the prompt drops what was typed and gives a new prompt; the
// session, its history and its exit code go on as before. With the line
// editor, and with plain terminal input (-P, whose idle time-out is left
// at its real length here).
TEST_F(OzuDefects, CtrlCAtThePromptClearsTheLine)
{
  struct {
    const char *name;
    std::vector<std::string> args;
    const char *typed;
  } cases[] = {
      {"editor, empty line", {"-q"}, ""},
      {"editor, typed text", {"-q"}, "one"},
      {"editor, continuation", {"-q"}, "one \\\n"},
      {"plain input, typed text", {"-q", "-P"}, "one"},
  };
  for (const auto &c : cases) {
    std::string hist = gw.dir() + "/history";
    unlink(hist.c_str());
    auto p = startOzuOnPty(gw, ozuArgs(gw, c.args),
                           {"TERM=vt100", "QUOR_TEST_TIMESCALE=1", "OZU_HISTFILE=" + hist});
    ASSERT_TRUE(p->waitFor("ozu> ", 15000)) << c.name << p->screen;
    p->type(c.typed);
    usleep(200000);
    p->type("\x03");
    ASSERT_TRUE(p->waitFor("*** interrupted ***")) << c.name << p->screen;
    ASSERT_TRUE(p->waitFor("ozu> ")) << c.name << p->screen;
    p->type("three\n");
    ASSERT_TRUE(p->waitFor("THREE")) << c.name << p->screen;
    ASSERT_TRUE(p->waitFor("ozu> ")) << c.name << p->screen;
    p->type("quit\n");
    EXPECT_EQ(p->finish(), 0) << c.name << p->screen;
    EXPECT_EQ(journalCount("cmd=one"), 0) << c.name << ": the interrupted line never ran";
    if (c.args.size() == 1) {
      struct stat st;
      EXPECT_EQ(stat(hist.c_str(), &st), 0) << c.name << ": the history was saved at the end";
    }
  }
  unlink((gw.dir() + "/history").c_str());
}

// Three interrupts within 3 seconds end the shell with 69 wherever they
// come: at the prompt, and in the wait for the no-login file to go, where
// one alone only reports itself.
TEST_F(OzuDefects, ThreeCtrlCOutsideACommandEndTheShellWith69)
{
  auto p = startOzuOnPty(gw, ozuArgs(gw, {"-q"}), {"TERM=vt100"});
  ASSERT_TRUE(p->waitFor("ozu> ", 15000)) << p->screen;
  for (int i = 0; i < 3; ++i) {
    p->type("\x03");
    ASSERT_TRUE(p->waitFor("*** interrupted ***")) << p->screen;
  }
  EXPECT_EQ(p->finish(), 69) << p->screen;
  EXPECT_NE(p->screen.find("*** killed due to 3 consecutive interrupts ***"), std::string::npos);

  std::string nologin = gw.dir() + "/nologin";
  writeFile(gw, nologin, "closed for the night\n");
  std::vector<std::string> env = {"TERM=vt100", "OZU_NOLOGIN_FILE=" + nologin};
  auto w = startOzuOnPty(gw, ozuArgs(gw, {"-q"}), env);
  ASSERT_TRUE(w->waitFor("Waiting for <QUOR disabled> flag to clear", 15000)) << w->screen;
  w->type("\x03");
  ASSERT_TRUE(w->waitFor("*** interrupted ***")) << w->screen;
  ASSERT_EQ(unlink(nologin.c_str()), 0);
  ASSERT_TRUE(w->waitFor("ozu> ", 60000)) << "one interrupt leaves the wait going\n" << w->screen;
  w->type("quit\n");
  EXPECT_EQ(w->finish(), 0) << w->screen;

  writeFile(gw, nologin, "closed for the night\n");
  auto x = startOzuOnPty(gw, ozuArgs(gw, {"-q"}), env);
  ASSERT_TRUE(x->waitFor("Waiting for <QUOR disabled> flag to clear", 15000)) << x->screen;
  for (int i = 0; i < 3; ++i) {
    x->type("\x03");
    ASSERT_TRUE(x->waitFor("*** interrupted ***")) << x->screen;
  }
  EXPECT_EQ(x->finish(10000), 69) << x->screen;
  unlink(nologin.c_str());
}

// A gateway that stops answering holds the shell in its wait for a reply
// until Ctrl-C: the wait then gives up, the user is back at the prompt with
// a message, and the shell's own commands run without the gateway.
TEST_F(OzuDefects, CtrlCLeavesAGatewayThatStoppedAnswering)
{
  auto p = startOzuOnPty(gw, ozuArgs(gw, {"-q"}), {"TERM=vt100"});
  ASSERT_TRUE(p->waitFor("ozu> ", 15000)) << p->screen;
  p->type("one\n");
  ASSERT_TRUE(p->waitFor("ONE")) << p->screen;
  ASSERT_TRUE(p->waitFor("ozu> ")) << p->screen;
  ASSERT_TRUE(gw.pause());
  p->type("one\n");
  usleep(300000);
  p->type("\x03");
  bool back = p->waitFor("*** No answer from the gateway: the command was not run", 10000);
  bool prompt = back && p->waitFor("ozu> ");
  if (back && prompt) {
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    p->type("lpwd\n");
    EXPECT_TRUE(p->waitFor(std::string(cwd) + "\r\n")) << p->screen;
    EXPECT_TRUE(p->waitFor("ozu> ")) << p->screen;
    p->type("version\n");
    EXPECT_TRUE(p->waitFor("OZUGW Client Version")) << p->screen;
    EXPECT_TRUE(p->waitFor("ozu> ")) << p->screen;
    p->type("quit\n");
  }
  gw.resume();
  EXPECT_TRUE(back) << p->screen;
  EXPECT_TRUE(prompt) << p->screen;
  EXPECT_EQ(p->finish(), 69) << p->screen;
}

// With the gateway gone, the shell's own commands run at once and the
// shell says once that the gateway is down; no library reconnect messages
// come with them.
TEST_F(OzuDefects, TheShellsOwnCommandsRunWithTheGatewayDown)
{
  std::string killer = "!kill -9 " + std::to_string(gw.pid()) + "; sleep 0.2\n";
  std::string input = "one\n" + killer +
                      "version\nhelp lpwd\nlcd /tmp\nlpwd\n!echo local shell\nquit\n";
  OzuResult r = runOzu(gw, ozuArgs(gw, {"-q"}), input);
  gw.stop();
  std::string all = r.out + r.err;
  struct {
    const char *command;
    const char *shows;
  } cases[] = {
      {"version", "OZUGW Client Version"},
      {"help lpwd", "lpwd"},
      {"lcd, lpwd", "/tmp\n"},
      {"!", "local shell\n"},
  };
  for (const auto &c : cases)
    EXPECT_NE(all.find(c.shows), std::string::npos) << c.command << "\n" << all;
  EXPECT_EQ(occurrences(all, "*** The gateway is not answering"), 1) << all;
  EXPECT_EQ(all.find("Unable to setup communication"), std::string::npos) << all;
  EXPECT_EQ(all.find("Error(s) sending or receiving"), std::string::npos) << all;
}

// A line longer than the reader's buffer (3071 characters) is refused whole
// with the overflow message wherever it comes from: none of its tail runs
// as a command (here a comment whose tail would have run "one"), and the
// continuation lines it asks for go with it.
TEST_F(OzuDefects, OverlongLinesAreRefusedWhole)
{
  const std::string comment = "# " + std::string(3069, 'x') + "; one";
  const std::string continued = "lpwd " + std::string(3080, 'y') + " \\\n" + "one\n";
  const std::string body = comment + "\n" + continued + "three\n";
  writeFile(gw, gw.dir() + "/commands", body);

  struct {
    const char *source;
    std::vector<std::string> args;
    std::string input;
  } cases[] = {
      {"pipe", {"-q"}, body},
      {"in file", {"-q"}, "in " + gw.dir() + "/commands\n"},
  };
  for (const auto &c : cases) {
    int before = journalCount("cmd=one");
    OzuResult r = runOzu(gw, ozuArgs(gw, c.args), c.input);
    EXPECT_EQ(r.status, 64) << c.source << "\n" << r.err;
    EXPECT_NE((r.out + r.err).find("THREE"), std::string::npos) << c.source << ": the next line runs";
    EXPECT_EQ(journalCount("cmd=one"), before) << c.source << "\n" << r.out << r.err;
    EXPECT_EQ(occurrences(r.err, "(command buffer overflow-input truncated..."), 2)
        << c.source << "\n" << r.err;
    EXPECT_EQ(r.out.find("yyyy"), std::string::npos) << c.source;
  }

  auto p = startOzuOnPty(gw, ozuArgs(gw, {"-q"}), {"TERM=vt100"});
  ASSERT_TRUE(p->waitFor("ozu> ", 15000)) << p->screen;
  int before = journalCount("cmd=one");
  p->type(comment + "\n");
  ASSERT_TRUE(p->waitFor("(command buffer overflow-input truncated...")) << p->screen;
  ASSERT_TRUE(p->waitFor("ozu> ")) << p->screen;
  p->type("three\n");
  ASSERT_TRUE(p->waitFor("THREE")) << p->screen;
  p->type("quit\n");
  EXPECT_EQ(p->finish(), 64) << p->screen;
  EXPECT_EQ(journalCount("cmd=one"), before) << "the pasted line's tail never ran";
  unlink((gw.dir() + "/commands").c_str());
}

// A failure never ends as a success: write failures, a gateway exit code
// that does not fit 8 bits, a failed open (and what follows it on the
// line), bad options and values of the shell's own commands.
TEST_F(OzuDefects, FailuresEndWithTheirExitCode)
{
  std::string keysets = gw.dir() + "/home/.ozukeysets";
  ASSERT_EQ(mkdir(keysets.c_str(), 0755), 0);
  // keep writes through a file beside the keyset; this one cannot be written.
  ASSERT_EQ(symlink("/dev/full", (keysets + "/.#full").c_str()), 0);
  const std::string refused = "127.0.0.1 -p 1 -l alice";
  struct {
    std::string commands;
    int status;
    const char *shows;
  } cases[] = {
      {"big256", 255, ""},
      {"big300", 255, ""},
      {"keep -l full", 73, "*** KEEP: error writing keyset file"},
      {"out /dev/full; one", 73, "*** error writing listing output to `/dev/full'"},
      {"open -h " + refused + "; three", 69, ""},
      {"sudo -x pwd", 64, "Usage: sudo"},
      {"setdrive 9 b", 64, "*** bad connection ID: 9"},
      {"setdrive a 1", 64, "*** illegal replacement drive letter: 1"},
      {"idletime 60; idletime 1h; idletime", 64, "*** usage:   idle[time] [value]"},
      {"idletime abc", 64, "*** usage:   idle[time] [value]"},
      {"idletime 60; idletime", 0, "Idle timeout setting is 60 seconds\n"
                                   "Idle timeout setting is 60 seconds\n"},
      {"idletime -1", 0, "Idle timeout setting is unlimited"},
  };
  for (const auto &c : cases) {
    OzuResult r = runOzu(gw, ozuArgs(gw, {"-q", c.commands}));
    std::string all = r.out + r.err;
    EXPECT_EQ(r.status, c.status) << c.commands << "\n" << all;
    EXPECT_NE(all.find(c.shows), std::string::npos) << c.commands << "\n" << all;
  }
  EXPECT_EQ(journalCount("cmd=three"), 0) << "nothing after a failed open ran on the old gateway";
  OzuResult again = runOzu(gw, ozuArgs(gw, {"-q", "idletime 60; idletime 1h; idletime"}));
  std::string after = again.out + again.err;
  EXPECT_EQ(occurrences(after, "Idle timeout setting is 60 seconds"), 2) << "1h changed nothing\n"
                                                                          << after;
  unlink((keysets + "/.#full").c_str());
  rmdir(keysets.c_str());

  // A port that is no number is refused before anything starts.
  int ones = journalCount("cmd=one");
  OzuResult p = runOzu(gw, {"-h", "127.0.0.1", "-p", "abc", "-l", "alice", "one"});
  EXPECT_EQ(p.status, 64) << p.err;
  EXPECT_NE(p.err.find("*** ozu: bad <port> parameter: abc"), std::string::npos) << p.err;
  EXPECT_EQ(journalCount("cmd=one"), ones);
}

}  // namespace
