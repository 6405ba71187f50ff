// The test runner, configuration builder and environment holder every
// end-to-end test stands on: a fault here would pass or fail tests for
// reasons of its own.
#include <gtest/gtest.h>
#include <stdlib.h>

#include "gwsim_config.h"
#include "gwsim_fixture.h"
#include "program_run.h"
#include "scoped_env.h"

namespace {

ProgramSpec shell(const std::string& script) {
  ProgramSpec s;
  s.argv = {"/bin/sh", "-c", script};
  return s;
}

}  // namespace

TEST(ProgramRun, CollectsOutputsStatusAndInput) {
  struct Case {
    const char* script;
    std::string input;
    int status;
    std::string out, err;
  } cases[] = {
      {"echo out; echo err >&2; exit 3", "", 3, "out\n", "err\n"},
      {"cat", "typed\n", 0, "typed\n", ""},
      {"kill -TERM $$", "", 128 + 15, "", ""},
      // More input than a pipe holds while the child also writes: fed and
      // read together, so neither side waits for the other.
      {"cat; cat >&2 </dev/null", std::string(1 << 20, 'x'), 0, std::string(1 << 20, 'x'), ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.script);
    ProgramSpec s = shell(c.script);
    s.stdinPipe = true;
    s.input = c.input;
    ProgramResult r = runProgram(s);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.out, c.out);
    EXPECT_EQ(r.err, c.err);
    EXPECT_FALSE(r.timedOut);
  }
}

TEST(ProgramRun, TimeOutKillsAndKeepsWhatCame) {
  ProgramSpec s = shell("echo before; exec sleep 30");
  s.timeoutSec = 1;
  ProgramResult r = runProgram(s);
  EXPECT_TRUE(r.timedOut);
  EXPECT_EQ(r.status, 128 + 9);
  EXPECT_EQ(r.out, "before\n");
  EXPECT_LT(r.seconds, 10);
  // A child that closed its outputs still has its time limit.
  s = shell("exec >&- 2>&-; sleep 30");
  s.timeoutSec = 1;
  r = runProgram(s);
  EXPECT_TRUE(r.timedOut);
  EXPECT_EQ(r.status, 128 + 9);
}

TEST(ProgramRun, StopReadingClosesTheOutputEarly) {
  ProgramSpec s = shell("trap '' PIPE; while echo 0123456789; do :; done; echo gone >&2");
  s.stopReadingAfter = 100;
  ProgramResult r = runProgram(s);
  EXPECT_EQ(r.status, 0);
  EXPECT_GE(r.out.size(), 100u);
  EXPECT_LT(r.out.size(), 1u << 20);
  EXPECT_NE(r.err.find("gone\n"), std::string::npos) << r.err;
}

TEST(ProgramRun, StdinWithoutPipeIsEmptyAndOutputsMayGoToFiles) {
  ProgramSpec s = shell("cat; echo done; echo note >&2; pwd >&2");
  s.cwd = "/";
  s.errPath = "/dev/null";
  ProgramResult r = runProgram(s);
  EXPECT_EQ(r.out, "done\n");
  EXPECT_EQ(r.err, "");
  s.errPath.clear();
  s.mergeErr = true;
  r = runProgram(s);
  EXPECT_EQ(r.out, "done\nnote\n/\n");
}

TEST(ProgramRun, NewSessionHasNoTerminalAndMissingProgramsAreSaid) {
  ProgramSpec s = shell("(: </dev/tty) 2>/dev/null && echo terminal || echo none");
  s.newSession = true;
  EXPECT_EQ(runProgram(s).out, "none\n");
  s.argv = {"/nonexistent/program"};
  ProgramResult r = runProgram(s);
  EXPECT_EQ(r.status, -1);
  EXPECT_NE(r.err.find("/nonexistent/program"), std::string::npos) << r.err;
}

TEST(ProgramRun, EnvironmentFilterDropsAndChanges) {
  ScopedEnv keep;
  keep.set("PRT_A", "1");
  keep.set("PRT_B", "2");
  keep.set("PRTHOME", "3");
  keep.set("PRT", "4");
  std::vector<std::string> env = programEnv({"PRT_", "PRT="}, {"NEW=x", "PRTHOME=y", "PRTHOME", "Z=1", "Z=2"});
  auto count = [&](const std::string& entry) {
    int n = 0;
    for (const std::string& e : env) n += e == entry;
    return n;
  };
  EXPECT_EQ(count("PRT_A=1") + count("PRT_B=2") + count("PRT=4"), 0);
  EXPECT_EQ(count("PRTHOME=3") + count("PRTHOME=y"), 0) << "set, then unset";
  EXPECT_EQ(count("NEW=x"), 1);
  EXPECT_EQ(count("Z=2"), 1);
  EXPECT_EQ(count("Z=1"), 0);
  ProgramSpec s = shell("echo \"$PRT_A/$NEW/$Z\"");
  s.env = env;
  EXPECT_EQ(runProgram(s).out, "/x/2\n");
}

TEST(ScopedEnvTest, PutsBackValuesAndAbsence) {
  setenv("SCOPED_SET", "old", 1);
  unsetenv("SCOPED_UNSET");
  {
    ScopedEnv env{"SCOPED_SET"};
    setenv("SCOPED_SET", "changed", 1);
    env.set("SCOPED_UNSET", "new");
    env.set("SCOPED_UNSET", "newer");  // kept once: its absence comes back
    env.unset("SCOPED_SET");
    EXPECT_EQ(getenv("SCOPED_SET"), nullptr);
  }
  ASSERT_NE(getenv("SCOPED_SET"), nullptr);
  EXPECT_STREQ(getenv("SCOPED_SET"), "old");
  EXPECT_EQ(getenv("SCOPED_UNSET"), nullptr);
  unsetenv("SCOPED_SET");
}

TEST(GwsimConfigTest, RendersNestedBlocksInOrder) {
  GwsimConfig c;
  c.user("alice", "wonderland").set("Uid", 1001);
  c.fault("Error", "0x0500 0x0711 2 -11");
  GwsimBlock& pam = c.user("alice").child("Pam");
  pam.block("Batch").set("Message", "1 Password:").set("Answer", "wonderland");
  pam.block("Batch").set("Message", "2 Code:").flag("NoZero");
  c.user("bob").set("Uid", 0);
  c.dir("/data").set("Mode", "0755");
  EXPECT_EQ(c.text(),
            "Users = {\n"
            "  alice = {\n"
            "    Password = wonderland\n"
            "    Uid = 1001\n"
            "    Pam = {\n"
            "      Batch = {\n"
            "        Message = 1 Password:\n"
            "        Answer = wonderland\n"
            "      }\n"
            "      Batch = {\n"
            "        Message = 2 Code:\n"
            "        NoZero\n"
            "      }\n"
            "    }\n"
            "  }\n"
            "  bob = {\n"
            "    Uid = 0\n"
            "  }\n"
            "}\n"
            "Faults = {\n"
            "  Error = 0x0500 0x0711 2 -11\n"
            "}\n"
            "Files = {\n"
            "  \"/data\" = {\n"
            "    Type = directory\n"
            "    Mode = 0755\n"
            "  }\n"
            "}\n");
}

// What the builder writes, gwsim reads: it refuses unknown keys, so a
// misspelt or misplaced line fails here.
TEST(GwsimConfigTest, GatewayAcceptsWhatItBuilds) {
  GwsimConfig c = aliceConfig();
  c.runMode(1);
  c.server().set("umask", "022");
  c.user("bob", "builder").set("Groups", "100, 200").set("Accounts", "7 8");
  c.group("staff", 100);
  c.account("research", 7);
  c.file("/home/alice/a").set("Data", "hello").set("Uid", 1001).flag("Disk");
  c.cos(1).set("Name", "small").set("MaxFileSize", 1048576);
  c.movers().set("PerAddress", 2);
  c.fault("Delay", "* * * 1");
  c.section("Commands").block("ls -l").set("Listing", "alpha").set("Exit", 0);
  GwsimFixture gw(c.text());
  ASSERT_TRUE(gw.running()) << gw.stderrText() << c.text();
  GwsimConfig wrong = aliceConfig();
  wrong.user("alice").set("NoSuchKey", 1);
  GwsimFixture bad(wrong.text());
  EXPECT_FALSE(bad.running()) << "a gateway that takes anything proves nothing";
}
