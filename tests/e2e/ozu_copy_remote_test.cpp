// ozu's cp between two connections, each on its own gwsim: the server
// method (the source's movers send straight to the sink gateway) with the
// stripe settings, the local method (chosen, or forced by firewall mode),
// sparse sources, the user's interrupt, and failures on either side that
// leave an old target as it was.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "gwsim_config.h"
#include "gwsim_fixture.h"
#include "journal_text.h"
#include "ozu_run.h"

namespace {

std::string pattern(size_t n, unsigned seed)
{
  std::string s(n, '\0');
  uint32_t x = seed * 2654435761u + 7;
  for (char &ch : s) {
    x = x * 1103515245u + 12345u;
    ch = char(x >> 16);
  }
  return s;
}

std::string config(const std::string &extra = "")
{
  GwsimConfig c = aliceConfig();
  c.dir("/data").set("Uid", 1001).set("Mode", "0755");
  return c.text() + extra;
}

void hostWrite(const GwsimFixture &gw, const std::string &path, const std::string &data,
               off_t at = 0)
{
  int fd = open((gw.rootDir() + path).c_str(), O_WRONLY | O_CREAT, 0644);
  ASSERT_GE(fd, 0) << path;
  ASSERT_EQ(pwrite(fd, data.data(), data.size(), at), ssize_t(data.size()));
  close(fd);
}

std::string hostRead(const GwsimFixture &gw, const std::string &path)
{
  std::string s;
  int fd = open((gw.rootDir() + path).c_str(), O_RDONLY);
  if (fd < 0)
    return "<missing>";
  char b[65536];
  ssize_t n;
  while ((n = read(fd, b, sizeof b)) > 0)
    s.append(b, size_t(n));
  close(fd);
  return s;
}

// ozu logged in to src, with dst opened as drive b, running cmds.
std::vector<std::string> twoConnections(const GwsimFixture &src, const GwsimFixture &dst,
                                        const std::string &cmds)
{
  // On a terminal open would ask for the method.
  return ozuArgs(src, {"open -q -A combo -d b -h 127.0.0.1 -p " + std::to_string(dst.port()) +
                           " -l alice; " + cmds});
}

// The sink gwsim's ozu home shares the password file: both log in as alice.
void sameHome(const GwsimFixture &src, const GwsimFixture &dst)
{
  ozuHome(src);
  ozuHome(dst);
}

}  // namespace

// The stripe settings decide how many listen addresses the sink is asked
// for and how many stripes the source's movers use; every setting copies
// the same bytes.
TEST(OzuCopyRemote, TheServerMethodCopiesAlikeAtEveryStripeSetting)
{
  GwsimFixture src(config());
  GwsimFixture dst(config());
  ASSERT_TRUE(src.running() && dst.running()) << src.stderrText() << dst.stderrText();
  sameHome(src, dst);
  const std::string data = pattern((3u << 20) + 12345, 1);
  hostWrite(src, "/data/x", data);
  struct Case {
    const char *width;  // nullptr: unset
    const char *block;
    int listen;          // addresses asked of the sink
    int movers;          // stripes the source's read used
  } cases[] = {
      {nullptr, nullptr, 1, 1},   {nullptr, "0", 1, 1},       {nullptr, "65536", 1, 1},
      {nullptr, "33554433", 1, 1}, {"4", nullptr, 4, 4},      {"4", "0", 4, 4},
      {"4", "65536", 4, 4},       {"4", "33554433", 4, 4},    {"40", nullptr, 32, 32},
      {"40", "0", 32, 32},        {"40", "65536", 32, 32},    {"40", "33554433", 32, 32},
      {"0", nullptr, 1, 1},       {"-3", nullptr, 1, 1},      {"4", "4194304", 4, 1},
  };
  int n = 0;
  for (const Case &c : cases) {
    std::string sink = "/data/y" + std::to_string(n++);
    std::vector<std::string> env;
    env.push_back(c.width ? std::string("QUOR_STRIPE_WIDTH=") + c.width : "QUOR_STRIPE_WIDTH");
    env.push_back(c.block ? std::string("QUOR_BLOCKSIZE=") + c.block : "QUOR_BLOCKSIZE");
    std::string what = std::string("width ") + (c.width ? c.width : "unset") + ", block " +
                       (c.block ? c.block : "unset");
    OzuResult r = runOzu(src, twoConnections(src, dst, "cp a:/data/x b:" + sink), "", env);
    EXPECT_EQ(r.status, 0) << what << "\n" << r.out << r.err;
    EXPECT_TRUE(hostRead(dst, sink) == data) << what;
    auto j = dst.journalLines();
    EXPECT_EQ(countLines(j, "fn=0x0300", " listen=" + std::to_string(c.listen) + " "), 1) << what;
    // The sink said so once: to a poll that saw every byte in, or to the
    // completion notice after the read.
    EXPECT_EQ(countLines(j, "fn=0x0301", " state=6 bytes=" + std::to_string(data.size())), 1)
        << what;
    EXPECT_EQ(countLines(src.journalLines(), "fn=0x1207",
                         " movers=" + std::to_string(c.movers) + " moved=" +
                             std::to_string(data.size())),
              1)
        << what;
    ASSERT_TRUE(dst.restart() && src.restart());  // fresh journals
  }
}

// The local method moves the same bytes through the shell; firewall mode
// forces it.
TEST(OzuCopyRemote, TheLocalMethodAndFirewallModeCopyThroughTheShell)
{
  GwsimFixture src(config());
  GwsimFixture dst(config());
  ASSERT_TRUE(src.running() && dst.running());
  sameHome(src, dst);
  const std::string data = pattern((5u << 20) + 7, 2);
  hostWrite(src, "/data/x", data);
  struct Case {
    const char *name;
    std::string cmds;
  } cases[] = {
      {"-m local", "cp -m local a:/data/x b:/data/l1"},
      {"firewall on the sink", "firewall -on b:; cp a:/data/x b:/data/l2"},
  };
  int n = 1;
  for (const Case &c : cases) {
    OzuResult r = runOzu(src, twoConnections(src, dst, c.cmds));
    EXPECT_EQ(r.status, 0) << c.name << "\n" << r.out << r.err;
    EXPECT_TRUE(hostRead(dst, "/data/l" + std::to_string(n++)) == data) << c.name;
  }
  // No copy was asked of the sink gateway: the shell moved every byte.
  EXPECT_EQ(countLines(dst.journalLines(), "fn=0x0300"), 0);
}

// A sink copy that aborts, a source mover that dies, a sink that refuses the
// completion: the copy fails with 74 and the old target stays as it was.
TEST(OzuCopyRemote, AFailureOnEitherSideLeavesTheOldTarget)
{
  struct Case {
    const char *name;
    std::string srcExtra, dstExtra;
    const char *says;
  } cases[] = {
      // Whichever the shell sees first: the sink's state, or the read that
      // failed when the sink closed its sockets.
      {"the sink aborts mid-copy", "", "Copies = {\n AbortAt = 1\n AbortBytes = 65536\n}\n",
       nullptr},
      {"the sink detaches mid-copy", "",
       "Copies = {\n AbortAt = 1\n AbortBytes = 65536\n AbortState = 7\n}\n", nullptr},
      {"the sink refuses a complete read", "", "Copies = {\n RefuseCompletion = 1\n}\n",
       "*** Transfer cancelled by write side after normal read...\n"},
      {"a source mover dies", "Movers = {\n Die = read 1\n}\n", "", "read_control_thread"},
      // Asked again, it would move nothing again: the copy ends instead.
      {"the source moves nothing", "Movers = {\n ShortMove = read * 0\n}\n", "",
       "*** Error -5: no data moved at offset 0\n"},
      {"the sink refuses the copy", "", "Faults = {\n Error = 0x0800 0x0300 1 -5\n}\n",
       "*** Error -5 trying to initiate write side of transfer\n"},
  };
  const std::string data = pattern(2u << 20, 3), old = "the old target\n";
  for (const Case &c : cases) {
    GwsimFixture src(config(c.srcExtra));
    GwsimFixture dst(config(c.dstExtra));
    ASSERT_TRUE(src.running() && dst.running()) << c.name << dst.stderrText();
    sameHome(src, dst);
    hostWrite(src, "/data/x", data);
    hostWrite(dst, "/data/y", old);
    OzuResult r = runOzu(src, twoConnections(src, dst, "cp -f a:/data/x b:/data/y"), "",
                         {"QUOR_STRIPE_WIDTH=2"});
    EXPECT_EQ(r.status, 74) << c.name << "\n" << r.out << r.err;
    if (c.says) {
      EXPECT_NE((r.out + r.err).find(c.says), std::string::npos) << c.name << "\n" << r.out << r.err;
    }
    EXPECT_NE((r.out + r.err).find("*** cp: Error -1 on transfer. A:/data/x to B:/data/y"),
              std::string::npos)
        << c.name << "\n" << r.out << r.err;
    EXPECT_EQ(hostRead(dst, "/data/y"), old) << c.name;
  }
}

// The user's interrupt during a server copy, answered yes: the cancel goes
// to the sink with flags 2 and the copy fails.
TEST(OzuCopyRemote, AnInterruptAnsweredYesCancelsTheSinksCopy)
{
  // The movers stop early and the reply comes late: the copy waits on the
  // sink long enough to be interrupted.
  GwsimFixture src(config("Movers = {\n ShortMove = read 1 1000\n}\n"
                          "Faults = {\n Delay = 0x0500 0x1207 1 4000\n}\n"));
  GwsimFixture dst(config());
  ASSERT_TRUE(src.running() && dst.running());
  sameHome(src, dst);
  hostWrite(src, "/data/x", pattern(1u << 20, 4));
  auto p = startOzuOnPty(src, twoConnections(src, dst, "cp a:/data/x b:/data/y; pwd"),
                         {"TERM=vt100", "QUOR_TEST_TIMESCALE=1"});
  ASSERT_TRUE(p->started());
  ASSERT_TRUE(dst.waitForJournal("fn=0x0301", 15000)) << p->screen;
  ASSERT_TRUE(p->type("\x03"));
  ASSERT_TRUE(p->waitFor("[xqcp] Abort Transfer'? ([Y]es,[N]o ", 10000)) << p->screen;
  ASSERT_TRUE(p->type("y\n"));
  int status = p->finish(30000);
  std::string all = p->screen + p->outText + p->errText;
  EXPECT_NE(all.find("Sending <cancel copy> request"), std::string::npos) << all;
  EXPECT_EQ(countLines(dst.journalLines(), "fn=0x0302", " flags=2 "), 1) << all;
  EXPECT_EQ(status, 74) << all;
  EXPECT_NE(all.find("*** cp: Error -1 on transfer. A:/data/x to B:/data/y"), std::string::npos)
      << all;
  EXPECT_NE(all.find("pwd0: /"), std::string::npos) << "the next command runs\n" << all;
}

// 5 GiB with two holes and data across 2^32: each pass starts past the
// bytes moved and the holes met; the sink has the same bytes and the same
// holes.
TEST(OzuCopyRemoteSlow, AFiveGiBSparseSourceKeepsItsHoles)
{
  GwsimFixture src(config());
  GwsimFixture dst(config());
  ASSERT_TRUE(src.running() && dst.running());
  sameHome(src, dst);
  const uint64_t kSize = 5ull << 30, kMiB = 1 << 20;
  const std::string a = pattern(kMiB, 5), b = pattern(2 * kMiB, 6), c = pattern(kMiB, 7);
  const uint64_t atB = (4ull << 30) - kMiB, atC = kSize - kMiB;
  hostWrite(src, "/data/sparse", a);
  hostWrite(src, "/data/sparse", b, off_t(atB));
  hostWrite(src, "/data/sparse", c, off_t(atC));
  {
    int fd = open((src.rootDir() + "/data/sparse").c_str(), O_RDONLY);
    bool holes = lseek(fd, 0, SEEK_HOLE) == off_t(kMiB);
    close(fd);
    if (!holes)
      GTEST_SKIP() << "the file system keeps no holes";
  }
  OzuResult r = runOzu(src, twoConnections(src, dst, "cp a:/data/sparse b:/data/sparse"), "",
                       {"QUOR_STRIPE_WIDTH=4"}, 600);
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  std::string sink = dst.rootDir() + "/data/sparse";
  int fd = open(sink.c_str(), O_RDONLY);
  ASSERT_GE(fd, 0);
  struct stat st;
  ASSERT_EQ(fstat(fd, &st), 0);
  EXPECT_EQ(uint64_t(st.st_size), kSize);
  // Where the data lies, and what it is.
  EXPECT_EQ(lseek(fd, 0, SEEK_HOLE), off_t(kMiB));
  EXPECT_EQ(lseek(fd, off_t(kMiB), SEEK_DATA), off_t(atB));
  EXPECT_EQ(lseek(fd, off_t(atB), SEEK_HOLE), off_t(atB + 2 * kMiB));
  EXPECT_EQ(lseek(fd, off_t(atB + 2 * kMiB), SEEK_DATA), off_t(atC));
  auto at = [&](uint64_t off, size_t len) {
    std::string s(len, '\0');
    EXPECT_EQ(pread(fd, s.data(), len, off_t(off)), ssize_t(len));
    return s;
  };
  EXPECT_TRUE(at(0, a.size()) == a);
  EXPECT_TRUE(at(atB, b.size()) == b);
  EXPECT_TRUE(at(atC, c.size()) == c);
  EXPECT_LT(uint64_t(st.st_blocks) * 512, 64 * kMiB);
  close(fd);
  // Three passes: to the first hole, to the second, to the end; none asked
  // for a byte twice.
  auto j = dst.journalLines();
  EXPECT_EQ(countLines(j, "fn=0x0300", " offset=0 length=" + std::to_string(kSize)), 1);
  EXPECT_EQ(countLines(j, "fn=0x0300", " offset=" + std::to_string(atB) + " length=" +
                                           std::to_string(kSize - atB)),
            1);
  EXPECT_EQ(countLines(j, "fn=0x0300", " offset=" + std::to_string(atC) + " length=" +
                                           std::to_string(kMiB)),
            1);
  EXPECT_EQ(countLines(j, "fn=0x0300"), 3);
}

// Holes in the middle and at the end of a small source: the passes step over
// them, and the sink gets the source's length even though nothing is sent
// for the last hole.
TEST(OzuCopyRemote, HolesAreSteppedOverAndTheSinkKeepsTheLength)
{
  GwsimFixture src(config());
  GwsimFixture dst(config());
  ASSERT_TRUE(src.running() && dst.running());
  sameHome(src, dst);
  const uint64_t kMiB = 1 << 20;
  const std::string a = pattern(kMiB + 100, 8), b = pattern(kMiB, 9);
  hostWrite(src, "/data/holes", a);
  hostWrite(src, "/data/holes", b, off_t(4 * kMiB));
  {
    int fd = open((src.rootDir() + "/data/holes").c_str(), O_RDWR);
    ASSERT_EQ(ftruncate(fd, off_t(9 * kMiB)), 0);
    bool holes = lseek(fd, 0, SEEK_HOLE) < off_t(4 * kMiB);
    close(fd);
    if (!holes)
      GTEST_SKIP() << "the file system keeps no holes";
  }
  OzuResult r = runOzu(src, twoConnections(src, dst, "cp a:/data/holes b:/data/holes"), "",
                       {"QUOR_STRIPE_WIDTH=3", "QUOR_BLOCKSIZE=65536"});
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_TRUE(hostRead(dst, "/data/holes") == hostRead(src, "/data/holes"));
  struct stat st;
  ASSERT_EQ(stat((dst.rootDir() + "/data/holes").c_str(), &st), 0);
  EXPECT_EQ(uint64_t(st.st_size), 9 * kMiB);
  EXPECT_LT(uint64_t(st.st_blocks) * 512, 4 * kMiB);
  // Two passes with data; none for the hole at the end.
  EXPECT_EQ(countLines(dst.journalLines(), "fn=0x0300"), 2);
}
