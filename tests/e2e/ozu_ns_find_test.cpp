// ozu's own find end to end: predicates against a small tree whose times
// are set relative to gwsim's start, depth-first order, and the parse
// errors that end the command before any search.
#include <gtest/gtest.h>
#include <signal.h>

#include <string>

#include "gwsim_config.h"
#include "gwsim_fixture.h"
#include "journal_text.h"
#include "ozu_run.h"
#include "program_run.h"

namespace {

std::string afterBanner(const std::string &out)
{
  size_t at = out.find("Username: ");
  if (at == std::string::npos)
    return out;
  size_t nl = out.find('\n', at);
  return nl == std::string::npos ? "" : out.substr(0, at) + out.substr(nl + 1);
}

GwsimConfig findConfig()
{
  GwsimConfig c;
  c.user("alice", "wonderland").set("Uid", 1001).set("Gid", 100).set("Home", "/a");
  c.user("bob", "builder").set("Uid", 1002);
  c.group("staff", 100);
  c.dir("/a").set("Uid", 1001).set("Mtime", "now-864000");
  c.file("/a/x.c").set("Uid", 1001).set("Data", "int x;").set("Mtime", "now-3600")
      .set("Mode", "0644");
  c.file("/a/y.h").set("Uid", 1002).set("Mtime", "now-129600").set("Mode", "0600");
  c.file("/a/old").set("Uid", 1001).set("Size", 10).set("Mtime", "now-864000")
      .set("Mode", "0644");
  c.file("/a/l").set("Type", "symlink").set("Target", "/a/x.c").set("Uid", 1001)
      .set("Mtime", "now-864000");
  c.dir("/a/j").set("Type", "junction").set("Uid", 1001).set("Mtime", "now-864000");
  c.dir("/a/sub.c").set("Uid", 1001).set("Mtime", "now-864000");
  c.file("/a/sub.c/z.c").set("Uid", 1001).set("Mtime", "now-864000").set("Mode", "0644");
  c.dir("/a/sub.c/deep").set("Uid", 1001).set("Mtime", "now-864000");
  c.file("/a/sub.c/deep/w").set("Uid", 1001).set("Mtime", "now-864000");
  return c;
}

TEST(OzuFind, PredicatesAndMessages)
{
  GwsimFixture gw(findConfig().text());
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  ozuHome(gw);
  const struct {
    const char *command;
    const char *want;
    int status;
  } cases[] = {
      {"find /a -name '*.c'", "/a/x.c\n/a/sub.c/\n/a/sub.c/z.c\n", 0},
      // Links carry "@", junctions nothing; a junction is not entered.
      {"find /a -type l", "/a/j\n/a/l@\n", 0},
      {"find /a -type f -mtime -1", "/a/x.c\n", 0},
      {"find /a -type f -mtime 1", "/a/y.h\n", 0},
      {"find /a -type f -mtime +1", "/a/old\n/a/sub.c/z.c\n/a/sub.c/deep/w\n", 0},
      {"find /a -type f -size +0", "/a/old\n/a/x.c\n", 0},
      {"find /a/sub.c -size 0", "/a/sub.c/z.c\n/a/sub.c/deep/\n/a/sub.c/deep/w\n", 0},
      {"find /a -newer /a/y.h -type f", "/a/x.c\n/a/y.h\n", 0},
      {"find /a -perm 600", "/a/y.h\n", 0},
      {"find /a -user bob", "/a/y.h\n", 0},
      {"find /a -prune", "/a/j\n/a/l@\n/a/old\n/a/x.c\n/a/y.h\n/a/sub.c/\n", 0},
      {"find /a -depth -name w", "/a/sub.c/deep/w\n", 0},
      {"find /a -nouser", "", 0},
      {"find /a/sub.c/deep -ls", "/a/sub.c/deep:\n-rw-r--r--   1 alice    ", 0},
      {"find -name x /a", "*** syntax error - path [/a] must precede options\n", 64},
      {"find /a -mtime", "*** missing option for [-mtime]\n", 64},
      {"find /a -size 1x", "*** illegal integer value [1x]\n", 64},
      {"find /a -user nosuchuser", "*** No such QUOR user name [nosuchuser]\n", 64},
      {"find /a -name a/b", "*** illegal search pattern [a/b]\n", 64},
      {"find /a name=x", "*** unrecognized option(s) starting with [name=x]\n"
                         "usage:    find pathname-list expression-list\n", 64},
      {"find /a -frob", "*** unknown option [-frob]\n", 64},
  };
  for (const auto &k : cases) {
    size_t opensBefore = countLines(gw.journalLines(), "fn=0x0f02");
    OzuResult r = runOzu(gw, ozuArgs(gw, {k.command}), "", {"TZ=UTC"});
    std::string out = afterBanner(r.out + r.err);
    EXPECT_EQ(out.substr(0, std::string(k.want).size()), k.want) << k.command << "\n" << out;
    if (std::string(k.command) != "find /a/sub.c/deep -ls") {
      EXPECT_EQ(out.size(), std::string(k.want).size()) << k.command << "\n" << out;
    }
    EXPECT_EQ(r.status, k.status) << k.command << "\n" << out;
    if (k.status == 64) {
      EXPECT_EQ(size_t(countLines(gw.journalLines(), "fn=0x0f02")), opensBefore)
          << "nothing searched after " << k.command;
    }
  }
}

}  // namespace

namespace {

TEST(OzuFindInterrupt, AnInterruptStopsADeepSearch)
{
  GwsimConfig c = findConfig();
  std::string path = "/deep";
  c.dir("/deep").set("Uid", 1001);
  for (int i = 0; i < 40; ++i) {
    path += "/d" + std::to_string(i);
    c.dir(path).set("Uid", 1001);
  }
  c.fault("Delay", "0x0500 0x0f02 * 150");  // every directory opens slowly
  GwsimFixture gw(c.text());
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  std::string home = ozuHome(gw);
  ProgramSpec prog;
  prog.argv = ozuArgs(gw, {"find /deep -name nothing; pwd"});
  prog.argv.insert(prog.argv.begin(), std::string(OZU_BUILD_DIR) + "/ozu/ozu");
  prog.env = programEnv({"QUOR_", "OZU_", "HOME="},
                        {"HOME=" + home, "QUOR_USE_NETRC_FILE=1", "QUOR_CFG_FILE_PATH=" + gw.dir(),
                         "QUOR_HOSTNAME=localhost"});
  prog.stdinPipe = true;
  prog.newSession = true;
  RunningProgram running = startProgram(prog);
  ASSERT_GT(running.pid, 0) << running.startError;
  ASSERT_TRUE(gw.waitForJournal("path=/deep/d0/d1/d2", 15000));
  kill(running.pid, SIGINT);
  ProgramResult r = finishProgram(running, prog);
  int opened = countLines(gw.journalLines(), "fn=0x0f02", "path=/deep");
  EXPECT_LT(opened, 20) << "the search stopped well before the bottom of 40 levels";
  EXPECT_NE(r.err.find("*** interrupted ***"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("pwd0: /a"), std::string::npos) << "the next command runs\n" << r.err;
}

}  // namespace
