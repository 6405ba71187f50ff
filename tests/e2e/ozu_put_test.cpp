// ozu's put family end to end against gwsim: local files are stored byte
// for byte through the movers (both message forms, several stripe widths),
// through the gateway for pipes and in firewall mode; a failed store leaves
// the stored file as it was; restarts append; digests are stored and
// checked; partial gets touch only their pieces.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utime.h>

#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "gwsim_config.h"
#include "test_data.h"
#include "gwsim_fixture.h"
#include "journal_text.h"
#include "ozu_run.h"
#include "program_run.h"
#include "pty_process.h"

namespace {

void writeBytes(const std::string& path, const std::string& data)
{
  std::ofstream(path, std::ios::binary | std::ios::trunc) << data;
}

std::string joinLines(const std::vector<std::string>& lines)
{
  std::string all;
  for (const std::string& l : lines)
    all += l + "\n";
  return all;
}

bool same(const std::string& a, const std::string& b) { return a == b; }

bool exists(const std::string& path)
{
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

GwsimConfig stripedConfig(int width, const char* protocol)
{
  GwsimConfig c = aliceConfig();
  c.server().set("startupCOS", 4);
  c.cos(4).set("Name", "wide").set("StripeWidth", width).set("StripeLength", width * 65536);
  c.movers().set("Protocol", protocol).set("PacketSize", 65536);
  return c;
}

std::string storedPath(const GwsimFixture& gw, const std::string& name)
{
  return gw.rootDir() + "/home/alice/" + name;
}

std::string localDir(const GwsimFixture& gw)
{
  ozuHome(gw);
  std::string d = gw.dir() + "/local";
  mkdir(d.c_str(), 0755);
  return d;
}

// Entries of alice's stored home, to see that nothing was left behind.
std::vector<std::string> storedNames(const GwsimFixture& gw)
{
  std::vector<std::string> names;
  std::string cmd = "ls -a " + gw.rootDir() + "/home/alice";
  FILE* p = popen(cmd.c_str(), "r");
  char line[4096];
  while (p && fgets(line, sizeof line, p)) {
    std::string n = line;
    if (!n.empty() && n.back() == '\n')
      n.pop_back();
    if (n != "." && n != "..")
      names.push_back(n);
  }
  if (p)
    pclose(p);
  return names;
}

std::string sha256(const std::string& path)
{
  std::string cmd = "sha256sum " + path;
  FILE* p = popen(cmd.c_str(), "r");
  char line[256] = "";
  if (p && fgets(line, sizeof line, p) == nullptr)
    line[0] = '\0';
  if (p)
    pclose(p);
  std::string s = line;
  return s.substr(0, s.find(' '));
}

struct PutCase {
  int width;
  const char* protocol;
};

class OzuPutRoundTrip : public ::testing::TestWithParam<PutCase> {};

// put then get: every size at a page or buffer edge comes back identical;
// one transfer record per stored file.
TEST_P(OzuPutRoundTrip, EverySizeStoresAndComesBackIdentical)
{
  const PutCase c = GetParam();
  GwsimFixture gw(stripedConfig(c.width, c.protocol).text());
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  const long page = sysconf(_SC_PAGESIZE);
  const std::vector<size_t> sizes = {0, 1, size_t(page - 1), size_t(page + 1), 8u << 20, (16u << 20) + 1};
  std::string local = localDir(gw);
  std::string cmd;
  for (size_t i = 0; i < sizes.size(); ++i) {
    std::string name = "s" + std::to_string(i);
    writeBytes(local + "/" + name, randomBytes(sizes[i], unsigned(i + 11 * c.width)));
    cmd += "put " + local + "/" + name + " : " + name + "; ";
  }
  for (size_t i = 0; i < sizes.size(); ++i) {
    std::string name = "s" + std::to_string(i);
    cmd += "get " + local + "/" + name + ".back : " + name + "; ";
  }
  OzuResult r = runOzu(gw, ozuArgs(gw, {cmd}));
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  auto j = gw.journalLines();
  for (size_t i = 0; i < sizes.size(); ++i) {
    std::string name = "s" + std::to_string(i);
    std::string orig = readFile(local + "/" + name);
    EXPECT_EQ(orig.size(), sizes[i]);
    EXPECT_TRUE(same(readFile(storedPath(gw, name)), orig)) << name << " of " << sizes[i] << " bytes";
    EXPECT_TRUE(same(readFile(local + "/" + name + ".back"), orig)) << name;
  }
  // The 16 MiB file: one list write, one mover per stripe.
  EXPECT_EQ(countLines(j, "fn=0x1701", " len=16777217 movers=" + std::to_string(c.width) +
                                           " moved=16777217"),
            1)
      << joinLines(j);
}

INSTANTIATE_TEST_SUITE_P(WidthsAndForms, OzuPutRoundTrip,
                         ::testing::Values(PutCase{1, "pdata"}, PutCase{4, "pdata"}, PutCase{8, "pdata"},
                                           PutCase{1, "mover"}, PutCase{4, "mover"}, PutCase{8, "mover"}),
                         [](const ::testing::TestParamInfo<PutCase>& i) {
                           return std::string(i.param.protocol) + "_w" + std::to_string(i.param.width);
                         });

// Standard input, a command's output and firewall mode go through the
// gateway (no list write) and store the same bytes.
TEST(OzuPut, PipesAndFirewallModeStoreThroughTheGateway)
{
  GwsimFixture gw(stripedConfig(4, "pdata").text());
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  std::string local = localDir(gw);
  std::string data = randomBytes((9u << 20) + 77, 5);
  writeBytes(local + "/data", data);
  OzuResult r = runOzu(gw, ozuArgs(gw, {"put - : fromstdin"}), data);
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_TRUE(same(readFile(storedPath(gw, "fromstdin")), data));
  r = runOzu(gw, ozuArgs(gw, {"put \"|cat " + local + "/data\" : frompipe"}));
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_TRUE(same(readFile(storedPath(gw, "frompipe")), data));
  r = runOzu(gw, ozuArgs(gw, {"firewall -on; put " + local + "/data : fw"}));
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_TRUE(same(readFile(storedPath(gw, "fw")), data));
  r = runOzu(gw, ozuArgs(gw, {"put - : empty"}), "");
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_TRUE(exists(storedPath(gw, "empty")));
  EXPECT_EQ(readFile(storedPath(gw, "empty")).size(), 0u);
  // The library's own list writes use one address; none is striped.
  auto j = gw.journalLines();
  EXPECT_EQ(countLines(j, "fn=0x1701", "movers=4"), 0) << joinLines(j);
}

// A store onto an existing file whose transfer fails (a mover dies, moves
// short, or the gateway overstates what it stored) leaves the old file
// byte for byte, nothing else behind, exit 74; with -B likewise and no
// backup is left either.
TEST(OzuPut, FailedStoreKeepsTheExistingFile)
{
  struct Fault {
    const char* rule;
    const char* protocol;
    const char* options;
  } faults[] = {
      {"Die = write 1", "pdata", ""},
      {"Die = write 1", "mover", ""},
      {"Overstate = write 1 4096", "mover", ""},
      {"Die = write 1", "pdata", "-B "},
      {"Status = write 1 -5", "mover", "-B "},
  };
  for (const Fault& t : faults) {
    SCOPED_TRACE(std::string(t.rule) + " " + t.protocol + " " + t.options);
    GwsimConfig cfg = stripedConfig(4, t.protocol);
    std::string rule = t.rule;
    cfg.movers().set(rule.substr(0, rule.find(" = ")), rule.substr(rule.find(" = ") + 3));
    GwsimFixture gw(cfg.text());
    ASSERT_TRUE(gw.running()) << gw.stderrText();
    std::string old = randomBytes(1u << 20, 1);
    writeBytes(storedPath(gw, "f"), old);
    std::string local = localDir(gw);
    writeBytes(local + "/f", randomBytes(3u << 20, 2));
    OzuResult r = runOzu(gw, ozuArgs(gw, {std::string("put ") + t.options + local + "/f : f"}), "", {}, 60);
    EXPECT_EQ(r.status, 74) << r.out << r.err;
    EXPECT_TRUE(same(readFile(storedPath(gw, "f")), old)) << "the stored file as before";
    EXPECT_EQ(storedNames(gw), std::vector<std::string>{"f"}) << "nothing else left";
  }
}

// One mover of four connects from an address the client's restricted list
// leaves out: the store fails rather than report a short file as done, and
// the refusal reaches the gateway's log once, as for a get. The next store,
// with no such mover, succeeds.
TEST(OzuPut, RefusedMoverFailsTheStoreAndIsLogged)
{
  for (const char* protocol : {"pdata", "mover"}) {
    SCOPED_TRACE(protocol);
    GwsimConfig cfg = stripedConfig(4, protocol);
    cfg.movers().set("OneFrom", "write 1 127.0.0.2");
    GwsimFixture gw(cfg.text());
    ASSERT_TRUE(gw.running()) << gw.stderrText();
    std::ofstream(gw.dir() + "/QUOR.conf") << "Restricted Addresses = {\n  Default = {\n    127.0.0.1\n  }\n}\n";
    std::string local = localDir(gw);
    std::string data = randomBytes(3u << 20, 9);
    writeBytes(local + "/f", data);
    OzuResult r = runOzu(gw, ozuArgs(gw, {"put " + local + "/f : f; put " + local + "/f : g"}), "", {}, 120);
    EXPECT_EQ(r.status, 74) << r.out << r.err;
    EXPECT_TRUE(same(readFile(storedPath(gw, "g")), data)) << "the next store has no refused mover";
    int refusals = 0;
    for (const std::string& line : gw.journalLines())
      refusals += line.find("restricted connection failed from 127.0.0.2") != std::string::npos;
    EXPECT_EQ(refusals, 1);
  }
}

// A mover asking again for its first packet after the small buffers that
// held it were released is served from a re-read of the local file: the
// stored file and its digest are those of the local file.
TEST(OzuPut, ReaskedDataIsReadAgain)
{
  // With a digest and without one (the bytes hashed once, in order, or not
  // at all): the re-asked bytes are re-read all the same.
  for (bool digest : {true, false}) {
    SCOPED_TRACE(digest ? "digest" : "plain");
    GwsimConfig cfg = stripedConfig(2, "pdata");
    cfg.movers().set("Repeat", "write 1");
    GwsimFixture gw(cfg.text());
    ASSERT_TRUE(gw.running()) << gw.stderrText();
    std::string local = localDir(gw);
    std::string data = randomBytes((2u << 20) + 5, 12);
    writeBytes(local + "/f", data);
    std::string put = digest ? "put -c on -H sha256 " + local + "/f : f; hashverify f" : "put " + local + "/f : f";
    OzuResult r = runOzu(gw, ozuArgs(gw, {"set iobufsize=1048576; " + put}));
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_TRUE(same(readFile(storedPath(gw, "f")), data));
    if (digest) {
      EXPECT_NE((r.out + r.err).find("/home/alice/f: (sha256) OK"), std::string::npos) << r.out << r.err;
    }
  }
}

// Local read errors while several buffers are read side by side (no
// digest) or in order by one thread (digest): a few are retried and the
// store completes with the local bytes and a warning; errors that persist
// fail the store with the place they struck, and nothing waits for ever.
TEST(OzuPut, LocalReadErrorsAreRetriedOrFailTheStore)
{
  struct {
    bool digest;
    const char* fault;  // errno, count of failing local reads
    bool stores;
    const char* message;
  } cases[] = {
      {false, "5 2", true, "*** Warning: recovered I/O error reading local file at file offset "},
      {true, "5 2", true, "*** Warning: recovered I/O error reading local file at file offset "},
      {false, "5 100000", false, "*** ERROR: fatal I/O error reading local file at file offset "},
      {true, "5 100000", false, "*** ERROR: fatal I/O error reading local file at file offset "},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.digest ? "digest " : "plain ") + c.fault);
    GwsimFixture gw(stripedConfig(4, "pdata").text());
    ASSERT_TRUE(gw.running()) << gw.stderrText();
    std::string local = localDir(gw);
    std::string data = randomBytes((6u << 20) + 3, 21);
    writeBytes(local + "/f", data);
    std::string put = std::string("set iobufsize=1048576; put ") + (c.digest ? "-c on -H sha256 " : "") + local +
                      "/f : f";
    OzuResult r = runOzu(gw, ozuArgs(gw, {put}), "", {std::string("OZU_TEST_LOCAL_IO_FAULT=") + c.fault});
    EXPECT_LT(r.status, 128) << "killed by a signal\n" << r.out << r.err;
    EXPECT_NE(r.err.find(c.message), std::string::npos) << r.out << r.err;
    if (c.stores) {
      EXPECT_EQ(r.status, 0) << r.out << r.err;
      EXPECT_TRUE(same(readFile(storedPath(gw, "f")), data));
    } else {
      EXPECT_NE(r.status, 0) << r.out << r.err;
      EXPECT_FALSE(exists(storedPath(gw, "f")) && same(readFile(storedPath(gw, "f")), data)) << r.out << r.err;
    }
  }
}

// A local file cut short while it is being stored fails the put with a
// message saying where it ended, with a digest being computed or not; the
// shell is not killed and does not wait for bytes that never come.
TEST(OzuPut, LocalFileCutShortMidStoreFailsTheStore)
{
  for (bool digest : {true, false}) {
    SCOPED_TRACE(digest ? "digest" : "plain");
    GwsimFixture gw(stripedConfig(1, "pdata").text());
    ASSERT_TRUE(gw.running()) << gw.stderrText();
    std::string local = localDir(gw);
    const size_t window = 1u << 20;  // the smallest buffer ozu takes
    writeBytes(local + "/f", randomBytes(6 * window, 5));
    // Cut to four and a half windows a little after the stored file
    // exists: the transfer has started by then and its pool (two windows)
    // is filled, while the fifth window waits for the first to go to the
    // mover, which is accepted only three seconds after it connects (room
    // for a loaded machine).
    std::thread cutter([&] {
      for (int i = 0; i < 2000 && !exists(storedPath(gw, "f")); ++i)
        usleep(2000);
      usleep(200000);
      EXPECT_EQ(truncate((local + "/f").c_str(), off_t(9 * window / 2)), 0);
    });
    std::string put = std::string("set iobufsize=") + std::to_string(window) + "; put " + (digest ? "-c on " : "") +
                      local + "/f : f";
    OzuResult r = runOzu(gw, ozuArgs(gw, {put}), "", {"OZU_TEST_MOVER_ACCEPT_DELAY_MS=3000"});
    cutter.join();
    EXPECT_NE(r.status, 0) << r.out << r.err;
    EXPECT_LT(r.status, 128) << "killed by a signal\n" << r.out << r.err;
    EXPECT_NE(r.err.find("*** local file " + local + "/f ended at "), std::string::npos) << r.out << r.err;
  }
}

// A list write that stores less than asked is followed by one for the
// rest, re-offering the data still buffered: the file is complete.
TEST(OzuPut, ShortListWriteIsFollowedByOneForTheRest)
{
  // With a digest the bytes are read in order by one thread; without one
  // several read side by side, and the rest is re-offered all the same.
  for (bool digest : {true, false})
  for (const char* protocol : {"pdata", "mover"}) {
    SCOPED_TRACE(std::string(protocol) + (digest ? " digest" : " plain"));
    GwsimConfig cfg = stripedConfig(1, protocol);
    cfg.movers().set("ShortMove", "write 1 100000");
    GwsimFixture gw(cfg.text());
    ASSERT_TRUE(gw.running()) << gw.stderrText();
    std::string local = localDir(gw);
    std::string data = randomBytes(3u << 20, 2);
    writeBytes(local + "/f", data);
    std::string put = digest ? "put -c on -H sha256 " + local + "/f : f; hashverify f" : "put " + local + "/f : f";
    OzuResult r = runOzu(gw, ozuArgs(gw, {put}));
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_TRUE(same(readFile(storedPath(gw, "f")), data));
    auto j = gw.journalLines();
    EXPECT_EQ(countLines(j, "fn=0x1701", "moved=100000"), 1) << joinLines(j);
    EXPECT_EQ(countLines(j, "fn=0x1701", "len=3045728 movers=1 moved=3045728"), 1) << joinLines(j);
    if (digest) {
      EXPECT_NE((r.out + r.err).find("/home/alice/f: (sha256) OK"), std::string::npos) << r.out << r.err;
    }
  }
}

// Storage write failures through the gateway (firewall mode): ENOSPC and
// EAGAIN wait 2 s and retry; EIO retries after 10, 20, 30 s (the time
// seam shortens them) from the unwritten offset, and a sixth EIO fails the
// file with exit 74 and keeps the old one.
TEST(OzuPut, StorageWriteErrorsRetryFromTheUnwrittenOffset)
{
  struct Case {
    int err;
    int count;
    int status;
  } cases[] = {{5, 3, 0}, {28, 2, 0}, {11, 4, 0}, {5, 6, 74}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.err) + " x" + std::to_string(c.count));
    GwsimConfig cfg = stripedConfig(2, "pdata");
    cfg.section("Xio").set("WriteFailErr", c.err).set("WriteFailCount", c.count);
    GwsimFixture gw(cfg.text());
    ASSERT_TRUE(gw.running()) << gw.stderrText();
    std::string local = localDir(gw);
    std::string old = randomBytes(1000, 1), data = randomBytes((10u << 20) + 9, 2);
    writeBytes(storedPath(gw, "f"), old);
    writeBytes(local + "/f", data);
    OzuResult r = runOzu(gw, ozuArgs(gw, {"firewall -on; put " + local + "/f : f"}));
    EXPECT_EQ(r.status, c.status) << r.out << r.err;
    auto j = gw.journalLines();
    int failed = countLines(j, "xio-write", "offset=0 bytes=0 result=-" + std::to_string(c.err));
    if (c.status == 0) {
      EXPECT_TRUE(same(readFile(storedPath(gw, "f")), data));
      EXPECT_EQ(failed, c.count) << joinLines(j);
      EXPECT_EQ(countLines(j, "xio-write", "offset=0 bytes=8388608 result=0"), 1) << joinLines(j);
    } else {
      EXPECT_TRUE(same(readFile(storedPath(gw, "f")), old));
      EXPECT_EQ(failed, 6) << joinLines(j);
      EXPECT_NE((r.out + r.err).find("Fatal EIO error on write, file offset=0"), std::string::npos)
          << r.out << r.err;
    }
  }
}

// With -B a successful store keeps the previous file as f~; without it the
// file moved aside is gone.
TEST(OzuPut, BackupStaysOnlyWhenAskedFor)
{
  GwsimFixture gw(stripedConfig(2, "pdata").text());
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  std::string local = localDir(gw);
  std::string v1 = randomBytes(70000, 1), v2 = randomBytes(90000, 2), v3 = randomBytes(50000, 3);
  writeBytes(storedPath(gw, "f"), v1);
  writeBytes(local + "/f", v2);
  OzuResult r = runOzu(gw, ozuArgs(gw, {"put -B " + local + "/f : f"}));
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_TRUE(same(readFile(storedPath(gw, "f")), v2));
  EXPECT_TRUE(same(readFile(storedPath(gw, "f~")), v1));
  writeBytes(local + "/f", v3);
  r = runOzu(gw, ozuArgs(gw, {"put " + local + "/f : f"}));
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_TRUE(same(readFile(storedPath(gw, "f")), v3));
  EXPECT_EQ(storedNames(gw), (std::vector<std::string>{"f", "f~"}));
}

// cput stores only what changed; -t appends what the stored copy lacks;
// -d removes the local file only when the stored size matches.
TEST(OzuPut, UpdateRestartAndDeleteAfter)
{
  GwsimFixture gw(stripedConfig(2, "pdata").text());
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  std::string local = localDir(gw);
  std::string data = randomBytes(3u << 20, 8);
  writeBytes(local + "/f", data);
  OzuResult r = runOzu(gw, ozuArgs(gw, {"cput " + local + "/f : f"}));
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_TRUE(same(readFile(storedPath(gw, "f")), data));
  size_t writes = countLines(gw.journalLines(), "fn=0x1701");
  r = runOzu(gw, ozuArgs(gw, {"cput " + local + "/f : f"}));
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(countLines(gw.journalLines(), "fn=0x1701"), writes) << "an unchanged file stores nothing";

  // A stored copy cut short: -t appends the rest in place.
  writeBytes(local + "/g", data.substr(0, 1000000));
  r = runOzu(gw, ozuArgs(gw, {"put " + local + "/g : g"}));
  EXPECT_EQ(readFile(storedPath(gw, "g")).size(), 1000000u);
  writeBytes(local + "/g", data);
  r = runOzu(gw, ozuArgs(gw, {"put -t " + local + "/g : g"}));
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_TRUE(same(readFile(storedPath(gw, "g")), data));
  // A stored copy longer than the local file is left as it is.
  writeBytes(local + "/short", data.substr(0, 20));
  r = runOzu(gw, ozuArgs(gw, {"put " + local + "/short : short"}));
  writeBytes(local + "/short", data.substr(0, 10));
  r = runOzu(gw, ozuArgs(gw, {"put -t " + local + "/short : short"}));
  EXPECT_NE((r.out + r.err).find("local file size=10, QUOR file size=20. retransmit not performed"),
            std::string::npos)
      << r.out << r.err;
  EXPECT_EQ(readFile(storedPath(gw, "short")), data.substr(0, 20));

  r = runOzu(gw, ozuArgs(gw, {"put -d " + local + "/g : g2"}));
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_FALSE(exists(local + "/g")) << "removed after a store of the same size";
  EXPECT_TRUE(same(readFile(storedPath(gw, "g2")), data));
}

// A put killed mid-transfer leaves part of the file (a restart keeps it);
// put -t then appends the rest.
TEST(OzuPut, RestartAfterKillCompletesTheFile)
{
  GwsimConfig cfg = stripedConfig(1, "pdata");
  cfg.server().set("max_mbytes_per_iod", 1);
  GwsimFixture gw(cfg.text());
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  std::string local = localDir(gw);
  std::string data = randomBytes(48u << 20, 3);
  writeBytes(local + "/f", data);
  OzuResult r = runOzu(gw, ozuArgs(gw, {"put " + local + "/f : f"}), "",
                       {"OZU_TEST_MOVER_ACCEPT_DELAY_MS=60"}, 1);
  EXPECT_NE(r.status, 0) << "killed before its end";
  size_t partial = readFile(storedPath(gw, "f")).size();
  EXPECT_LT(partial, data.size());
  r = runOzu(gw, ozuArgs(gw, {"put -t " + local + "/f : f"}));
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_TRUE(same(readFile(storedPath(gw, "f")), data));
}

// Digests: put -c on stores the file's sha256; hashcreate prints what
// sha256sum prints; hashverify says OK, and after a flipped stored byte the
// comparison fails with exit 72; a sparse file's digest covers its zeros
// and an empty file has one too.
TEST(OzuPut, DigestsStoredCreatedAndVerified)
{
  GwsimFixture gw(stripedConfig(4, "pdata").text());
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  std::string local = localDir(gw);
  writeBytes(local + "/f", randomBytes((5u << 20) + 3, 4));
  writeBytes(local + "/empty", "");
  {
    int fd = open((local + "/sparse").c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(pwrite(fd, "tail", 4, (40 << 20)), 4);
    close(fd);
  }
  OzuResult r = runOzu(gw, ozuArgs(gw, {"put -c on -H sha256 " + local + "/f : f; put -c on -H sha256 " +
                                           local + "/sparse : sparse; put -c on -H sha256 " + local +
                                           "/empty : empty; hashverify f sparse empty"}));
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  for (const char* n : {"f", "sparse", "empty"}) {
    EXPECT_NE((r.out + r.err).find(std::string("/home/alice/") + n + ": (sha256) OK"), std::string::npos)
        << n << "\n" << r.out << r.err;
  }
  r = runOzu(gw, ozuArgs(gw, {"hashcreate -H sha256 f sparse empty"}));
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  for (const char* n : {"f", "sparse", "empty"}) {
    std::string line = sha256(storedPath(gw, n)) + " (sha256) /home/alice/" + n;
    EXPECT_NE((r.out + r.err).find(line), std::string::npos) << line << "\n" << r.out << r.err;
  }
  // A flipped byte of the stored file: the stored digest no longer matches.
  {
    int fd = open(storedPath(gw, "f").c_str(), O_RDWR);
    char b = 0;
    ASSERT_EQ(pread(fd, &b, 1, 12345), 1);
    b = char(b ^ 0x5a);
    ASSERT_EQ(pwrite(fd, &b, 1, 12345), 1);
    close(fd);
    struct utimbuf old = {1000000000, 1000000000};
    utime(storedPath(gw, "f").c_str(), &old);
  }
  r = runOzu(gw, ozuArgs(gw, {"hashverify f"}));
  EXPECT_EQ(r.status, 72) << r.out << r.err;
  EXPECT_NE((r.out + r.err).find("CHECKSUM COMPARISON failed"), std::string::npos) << r.out << r.err;
  // get -c on of the changed file: the local copy stays, the file counts
  // as failed.
  r = runOzu(gw, ozuArgs(gw, {"get -c on " + local + "/f.back : f"}));
  EXPECT_EQ(r.status, 72) << r.out << r.err;
  EXPECT_TRUE(exists(local + "/f.back"));
  auto j = gw.journalLines();
  EXPECT_GE(countLines(j, "select=0x6000000", "?-"), 1u) << joinLines(j);
}

// get -O and -L write only their pieces into a longer local file; a piece
// across 2^32 lands there.
TEST(OzuGetPieces, OnlyThePiecesChange)
{
  GwsimFixture gw(stripedConfig(2, "pdata").text());
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  std::string local = localDir(gw);
  std::string stored = randomBytes(20000, 6);
  writeBytes(storedPath(gw, "f"), stored);
  std::string before = randomBytes(30000, 7);
  writeBytes(local + "/f", before);
  writeBytes(local + "/offsets", "0:10000:50 20:20:10\n\n7000:0:1k\n");
  OzuResult r = runOzu(gw, ozuArgs(gw, {"get -O 100:5000:300 " + local + "/f : f"}));
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  std::string want = before;
  want.replace(5000, 300, stored.substr(100, 300));
  EXPECT_TRUE(same(readFile(local + "/f"), want));
  r = runOzu(gw, ozuArgs(gw, {"get -L " + local + "/offsets " + local + "/f : f"}));
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  want.replace(10000, 50, stored.substr(0, 50));
  want.replace(20, 10, stored.substr(20, 10));
  want.replace(0, 1024, stored.substr(7000, 1024));
  EXPECT_TRUE(same(readFile(local + "/f"), want));

  struct Bad {
    const char* option;
    int status;
  } bad[] = {{"-O 1:2:3:4", 0}, {"-O 10:cp:0cp", 0}, {"-O 1.5k", 0}, {"-O 10kib", 0}, {"-t -O 1:1:1", 64}};
  for (const Bad& b : bad) {
    SCOPED_TRACE(b.option);
    r = runOzu(gw, ozuArgs(gw, {std::string("get ") + b.option + " " + local + "/f : f"}));
    EXPECT_EQ(r.status, b.status) << r.out << r.err;
    EXPECT_TRUE(same(readFile(local + "/f"), want)) << "nothing moved";
  }
  r = runOzu(gw, ozuArgs(gw, {"get -O 1:2:3:4 " + local + "/f : f"}));
  EXPECT_NE(r.err.find("*** Bad partial offset spec: 1:2:3:4"), std::string::npos) << r.err;

  // Across 2^32: a stored file with data on both sides of the boundary.
  {
    int fd = open(storedPath(gw, "big").c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    std::string edge = randomBytes(8192, 9);
    ASSERT_EQ(pwrite(fd, edge.data(), edge.size(), (off_t(1) << 32) - 4096), ssize_t(edge.size()));
    close(fd);
    writeBytes(local + "/big", std::string(100, 'x'));
    r = runOzu(gw, ozuArgs(gw, {"get -O 4294963200:10:8192 " + local + "/big : big"}));
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    std::string got = readFile(local + "/big");
    ASSERT_EQ(got.size(), 10u + 8192u);
    EXPECT_EQ(got.substr(0, 10), std::string(10, 'x'));
    EXPECT_TRUE(same(got.substr(10), edge));
  }
}

// A get whose mover died leaves a partial local file (exit 74); get -t
// then continues it from its size and the file is complete.
TEST(OzuGetPieces, RestartAfterMoverDiedCompletesTheFile)
{
  GwsimConfig cfg = stripedConfig(1, "pdata");
  cfg.movers().set("Die", "read 1");
  GwsimFixture gw(cfg.text());
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  std::string local = localDir(gw);
  std::string data = randomBytes((3u << 20) + 17, 14);
  writeBytes(storedPath(gw, "f"), data);
  OzuResult r = runOzu(gw, ozuArgs(gw, {"get " + local + "/f : f"}));
  EXPECT_EQ(r.status, 74) << r.out << r.err;
  std::string partial = readFile(local + "/f");
  ASSERT_LT(partial.size(), data.size());
  EXPECT_TRUE(same(partial, data.substr(0, partial.size())));
  r = runOzu(gw, ozuArgs(gw, {"get -t " + local + "/f : f"}));
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_TRUE(same(readFile(local + "/f"), data));
}

// mput asks before each file: Yes stores, No skips, All stores the rest
// without asking; Quit stores nothing more.
TEST(OzuPut, MputAsksAndHonoursAllAndQuit)
{
  GwsimFixture gw(stripedConfig(1, "pdata").text());
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  std::string local = localDir(gw);
  for (const char* n : {"a", "b", "c", "d", "e", "f"})
    writeBytes(local + "/" + n, std::string(1000, n[0]));
  writeFile(gw, ".ozurc", "PS1 = 'ozu> '\n");
  auto p = startOzuOnPty(gw, ozuArgs(gw, {"-q"}), {"TERM=vt100"});
  ASSERT_TRUE(p->started());
  ASSERT_TRUE(p->waitFor("ozu> ", 15000)) << p->screen;
  p->type("lcd " + local + "\n");
  ASSERT_TRUE(p->waitFor("ozu> ")) << p->screen;
  p->type("mput a b c\n");
  ASSERT_TRUE(p->waitFor("mput 'a'? ([Y]es,[N]o,[A]ll,[Q]uit) ")) << p->screen;
  p->type("n\n");
  ASSERT_TRUE(p->waitFor("mput 'b'? ([Y]es,[N]o,[A]ll,[Q]uit) ")) << p->screen;
  p->type("a\n");
  ASSERT_TRUE(p->waitFor("ozu> ")) << "c stored without a question\n" << p->screen;
  p->type("mput d e f\n");
  ASSERT_TRUE(p->waitFor("mput 'd'? ([Y]es,[N]o,[A]ll,[Q]uit) ")) << p->screen;
  p->type("y\n");
  ASSERT_TRUE(p->waitFor("mput 'e'? ([Y]es,[N]o,[A]ll,[Q]uit) ")) << p->screen;
  p->type("q\n");
  ASSERT_TRUE(p->waitFor("ozu> ")) << p->screen;
  p->type("quit\n");
  EXPECT_EQ(p->finish(), 0) << p->screen;
  EXPECT_EQ(storedNames(gw), (std::vector<std::string>{"b", "c", "d"}));
}

// With the automatic class of service, a piped input that fits its first
// buffer gets the class of its real size before the first write; a longer
// one and a regular file (whose size is known at the create) do not ask.
TEST(OzuPut, SmallPipedInputGetsItsClassBeforeTheFirstWrite)
{
  GwsimConfig cfg = aliceConfig();
  cfg.cos(1).set("Name", "small").set("MaxFileSize", 4096);
  cfg.cos(2).set("Name", "big").set("MaxFileSize", 0);
  GwsimFixture gw(cfg.text());
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  std::string local = localDir(gw);
  writeBytes(local + "/regular", randomBytes(10000, 1));
  std::string big = randomBytes((9u << 20) + 1, 2);
  writeBytes(local + "/big", big);
  OzuResult r = runOzu(gw, ozuArgs(gw, {"set cos=auto; put - : small"}), std::string(100, 's'));
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  auto j = gw.journalLines();
  EXPECT_EQ(countLines(j, "fn=0x130e"), 1) << joinLines(j);
  r = runOzu(gw, ozuArgs(gw, {"set cos=auto; put \"|cat " + local + "/big\" : big; put " + local +
                                 "/regular : regular"}));
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(countLines(gw.journalLines(), "fn=0x130e"), 1) << "no other asked";
  EXPECT_EQ(readFile(storedPath(gw, "small")), std::string(100, 's'));
  EXPECT_TRUE(same(readFile(storedPath(gw, "big")), big));
}

}  // namespace

namespace {

// The rc file's family id is set on every stored file right after its
// create, and the expiration rules give the file its time once stored;
// a refused family id fails the open and leaves nothing behind.
TEST(OzuPut, FamilyIdAndExpirationAreSetOnTheStoredFile)
{
  GwsimFixture gw(stripedConfig(1, "pdata").text());
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  std::string local = localDir(gw);
  writeBytes(local + "/f", randomBytes(70000, 3));
  writeFile(gw, gw.dir() + "/expire.cfg", "ExpirationByFamilyId = {\n 7 = 1d\n}\n");
  writeFile(gw, gw.dir() + "/ozurc",
            "family_id 7\nenable_expiration on\nexpire_cfg_path " + gw.dir() + "/expire.cfg\n");
  const long before = long(time(nullptr));
  OzuResult r = runOzu(gw, ozuArgs(gw, {"put " + local + "/f : f; put - : piped"}), "abc");
  const long after = long(time(nullptr));
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  for (const char* name : {"/home/alice/f", "/home/alice/piped"}) {
    EXPECT_EQ(objectColumn(gw, "family", name), "7") << name;
    long when = atol(objectColumn(gw, "expiration", name).c_str());
    EXPECT_GE(when, before + 86400) << name;
    EXPECT_LE(when, after + 86400) << name;
  }
  EXPECT_TRUE(same(readFile(storedPath(gw, "f")), readFile(local + "/f")));

  // Without a rule for the family nothing is set and nothing fails.
  writeFile(gw, gw.dir() + "/ozurc",
            "family_id 8\nenable_expiration on\nexpire_cfg_path " + gw.dir() + "/expire.cfg\n");
  r = runOzu(gw, ozuArgs(gw, {"put " + local + "/f : g"}));
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(objectColumn(gw, "family", "/home/alice/g"), "8");
  EXPECT_EQ(atol(objectColumn(gw, "expiration", "/home/alice/g").c_str()), 0);
}

TEST(OzuPut, RefusedFamilyIdFailsTheStore)
{
  GwsimConfig cfg = stripedConfig(1, "pdata");
  cfg.fault("Error", "0x0500 0x0604 1 -13");
  GwsimFixture gw(cfg.text());
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  std::string local = localDir(gw);
  writeBytes(local + "/f", randomBytes(5000, 4));
  writeFile(gw, gw.dir() + "/ozurc", "family_id 7\n");
  OzuResult r = runOzu(gw, ozuArgs(gw, {"put " + local + "/f : f"}));
  EXPECT_EQ(r.status, 74) << r.out << r.err;
  EXPECT_NE((r.out + r.err).find("*** Error -13 trying to set file family ID 7 for file </home/alice/f>"),
            std::string::npos)
      << r.out << r.err;
  EXPECT_TRUE(storedNames(gw).empty()) << joinLines(storedNames(gw));
  EXPECT_TRUE(exists(local + "/f"));
}

}  // namespace

namespace {

// A 5 GiB sparse local file with data across the 4 GiB mark and at its end
// is stored and read back identical; the stored copy keeps its holes, so
// the round trip costs little disk.
TEST(OzuPutSparseSlow, FiveGiBRoundTripIsIdentical)
{
  GwsimFixture gw(stripedConfig(2, "pdata").text());
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  const uint64_t total = 5ull << 30, across = (4ull << 30) - (300u << 10);
  const std::string head = randomBytes(70000, 60), middle = randomBytes(1u << 20, 61),
                    tail = randomBytes(65536, 62);
  std::string local = localDir(gw);
  std::string src = local + "/sparse";
  {
    int fd = open(src.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(pwrite(fd, head.data(), head.size(), 0), ssize_t(head.size()));
    ASSERT_EQ(pwrite(fd, middle.data(), middle.size(), off_t(across)), ssize_t(middle.size()));
    ASSERT_EQ(pwrite(fd, tail.data(), tail.size(), off_t(total - tail.size())), ssize_t(tail.size()));
    close(fd);
  }
  struct stat st;
  ASSERT_EQ(stat(src.c_str(), &st), 0);
  if (uint64_t(st.st_blocks) * 512 >= (1ull << 30))
    GTEST_SKIP() << "the file system keeps no holes";
  OzuResult r = runOzu(gw, ozuArgs(gw, {"put " + src + " : sparse; get " + local + "/back : sparse"}), "", {},
                       600);
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  const std::string stored = storedPath(gw, "sparse");
  ASSERT_EQ(stat(stored.c_str(), &st), 0);
  EXPECT_EQ(uint64_t(st.st_size), total);
  EXPECT_LT(uint64_t(st.st_blocks) * 512, 64ull << 20) << "the stored zeros are holes";
  for (const std::string& copy : {stored, local + "/back"}) {
    std::string out;
    EXPECT_EQ(shellRun("cmp " + src + " " + copy, &out), 0) << copy << ": " << out;
  }
  auto j = gw.journalLines();
  EXPECT_GE(countLines(j, "fn=0x1701", " len="), 1) << joinLines(j);
}

}  // namespace

namespace {

std::vector<std::string> namesIn(const std::string& file)
{
  std::vector<std::string> lines;
  std::ifstream in(file);
  for (std::string l; std::getline(in, l);)
    lines.push_back(l);
  return lines;
}

// An interrupt during an mput of 200 files stops the queueing: files not
// yet begun are never stored, the ones in flight end whole, nothing
// half-stored or moved aside is left, and the shell has exactly the
// descriptors open that it had before the command.
TEST(OzuPutTerminal, InterruptDuringMputStopsQueueingAndLeavesNothingBehind)
{
  GwsimConfig c = stripedConfig(2, "pdata");
  c.fault("Delay", "0x0500 0x1701 * 60");
  GwsimFixture gw(c.text());
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  std::string local = localDir(gw);
  std::string in = local + "/in";
  mkdir(in.c_str(), 0755);
  std::vector<std::string> data;
  for (int i = 0; i < 200; ++i) {
    data.push_back(randomBytes(size_t(70000 + i), unsigned(300 + i)));
    char name[16];
    snprintf(name, sizeof name, "m%03d", i);
    writeBytes(in + "/" + name, data.back());
  }
  writeFile(gw, ".ozurc", "PS1 = 'ozu> '\n");
  auto p = startOzuOnPty(gw, ozuArgs(gw, {"-q"}), {"TERM=vt100"});
  ASSERT_TRUE(p->waitFor("ozu> ", 15000)) << p->screen;
  p->type("!ls /proc/$PPID/fd > " + local + "/before\n");
  ASSERT_TRUE(p->waitFor("ozu> ")) << p->screen;
  p->type("lcd " + in + "\n");
  ASSERT_TRUE(p->waitFor("ozu> ")) << p->screen;
  p->type("mput m*\n");
  ASSERT_TRUE(p->waitFor("[A]ll,[Q]uit)")) << p->screen;
  p->type("a\n");
  for (int k = 0; k < 6; ++k)
    ASSERT_TRUE(p->waitFor("put  '", 20000)) << testing::PrintToString(p->screen);
  p->type("\x03");
  ASSERT_TRUE(p->waitFor("ozu> ", 20000)) << p->screen;
  p->type("!ls /proc/$PPID/fd > " + local + "/after\n");
  ASSERT_TRUE(p->waitFor("ozu> ")) << p->screen;
  p->type("quit\n");
  p->finish();
  std::vector<std::string> before = namesIn(local + "/before"), after = namesIn(local + "/after");
  EXPECT_FALSE(before.empty());
  EXPECT_EQ(before, after) << "descriptors the interrupted command left open";
  int stored = 0;
  for (const std::string& name : storedNames(gw)) {
    ASSERT_EQ(name.size(), 4u) << "left behind: " << name;
    int i = atoi(name.c_str() + 1);
    ASSERT_TRUE(name[0] == 'm' && i >= 0 && i < 200) << "left behind: " << name;
    stored++;
    EXPECT_TRUE(same(readFile(storedPath(gw, name)), data[size_t(i)])) << name << " ended whole\n" << p->screen;
  }
  EXPECT_GE(stored, 6);
  EXPECT_LT(stored, 200) << "the queueing stopped";
  auto j = gw.journalLines();
  EXPECT_EQ(countLines(j, "fn=0x1701", " moved="), stored) << "one list write per file stored";
}

}  // namespace

namespace {

// A backup name the library cannot send (over 1023 characters) is refused
// before anything moves: exit 72, the stored file as it was, no other name.
TEST(OzuPut, OverlongBackupPathIsRefusedNotCut)
{
  GwsimFixture gw(stripedConfig(1, "pdata").text());
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  std::string local = localDir(gw);
  std::string dir = "/home/alice";
  for (int i = 0; i < 4; ++i) {
    dir += "/" + std::string(250, char('a' + i));
    ASSERT_EQ(mkdir((gw.rootDir() + dir).c_str(), 0755), 0);
  }
  std::string path = dir + "/" + std::string(1023 - dir.size() - 1, 'f');
  ASSERT_EQ(path.size(), 1023u);
  const std::string old = randomBytes(3000, 8);
  writeBytes(gw.rootDir() + path, old);
  writeBytes(local + "/f", randomBytes(5000, 9));
  OzuResult r = runOzu(gw, ozuArgs(gw, {"put -B " + local + "/f : " + path}));
  EXPECT_EQ(r.status, 72) << r.out << r.err;
  EXPECT_NE((r.out + r.err).find("backup path for " + path + " is longer than 1023 characters - not stored"),
            std::string::npos)
      << r.out << r.err;
  EXPECT_TRUE(same(readFile(gw.rootDir() + path), old));
  std::string ls;
  shellRun("ls -a " + gw.rootDir() + dir, &ls);
  EXPECT_EQ(ls, ".\n..\n" + std::string(1023 - dir.size() - 1, 'f') + "\n");
}

}  // namespace
