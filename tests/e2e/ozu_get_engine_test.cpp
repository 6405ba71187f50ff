// More of ozu's get engine end to end against gwsim: transfers whose names
// lie on different connections, faults of single messages of the mover
// protocol, tape recalls, large and sparse files, interrupts, the progress
// line and the usage and refusal texts.
#include <fcntl.h>
#include <string.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utime.h>

#include <fstream>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "gwsim_config.h"
#include "test_data.h"
#include "gwsim_fixture.h"
#include "journal_text.h"
#include "ozu_run.h"
#include "scoped_env.h"

namespace {

std::string joinLines(const std::vector<std::string>& lines)
{
  std::string all;
  for (const std::string& l : lines)
    all += l + "\n";
  return all;
}

// Compares without printing the bytes of a failure.
bool same(const std::string& a, const std::string& b) { return a == b; }

[[maybe_unused]] bool exists(const std::string& path)
{
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

GwsimConfig stripedConfig(int width, const char* protocol)
{
  GwsimConfig c = aliceConfig();
  c.server().set("startupCOS", 4);
  c.cos(4).set("Name", "wide").set("StripeWidth", width).set("StripeLength", width * 65536);
  c.movers().set("Protocol", protocol).set("PacketSize", 65536);
  return c;
}

void store(const GwsimFixture& gw, const std::string& name, const std::string& data)
{
  std::ofstream(gw.rootDir() + "/home/alice/" + name, std::ios::binary) << data;
}

std::string localDir(const GwsimFixture& gw)
{
  ozuHome(gw);
  std::string d = gw.dir() + "/local";
  mkdir(d.c_str(), 0755);
  return d;
}

// Names on two gateways in one command: the path of the second name makes
// its connection current while the first file's transfer is still opening
// it (its gateway answers the open late). Each file comes from the gateway
// its name was found on, and its transfer record goes there too.
TEST(OzuGetConnections, EachTransferRunsOnTheConnectionOfItsName)
{
  GwsimConfig first = stripedConfig(2, "pdata");
  first.fault("Delay", "0x0500 0x0F00 1 800");
  GwsimFixture a(first.text());
  GwsimFixture b(stripedConfig(2, "pdata").text());
  ASSERT_TRUE(a.running()) << a.stderrText();
  ASSERT_TRUE(b.running()) << b.stderrText();
  std::string fa = randomBytes(300000, 11), fb = randomBytes(300000, 12);
  store(a, "f", fa);
  store(b, "f", fb);
  std::string local = localDir(a);
  std::string open = "open -q -h 127.0.0.1 -p " + std::to_string(b.port()) + " -l alice";
  OzuResult r = runOzu(a, ozuArgs(a, {open + "; get " + local + "/one : A:f " + local + "/two : B:f"}));
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_TRUE(same(readFile(local + "/one"), fa)) << "A:f from the first gateway";
  EXPECT_TRUE(same(readFile(local + "/two"), fb)) << "B:f from the second gateway";
  auto ja = a.journalLines(), jb = b.journalLines();
  EXPECT_EQ(countLines(ja, "select=0x6000000", "A:/home/alice/f"), 1) << joinLines(ja);
  EXPECT_EQ(countLines(jb, "select=0x6000000", "B:/home/alice/f"), 1) << joinLines(jb);
  EXPECT_EQ(countLines(ja, "select=0x6000000", "B:/home/alice/f"), 0) << joinLines(ja);
}

}  // namespace

namespace {

// One mover of four connects from an address the client's restricted list
// leaves out: that one alone is refused (logged once), the other three
// move their shares and end, and the get fails rather than hang or report
// a short file as done. The next get, with no such mover, succeeds.
TEST(OzuGetMovers, OneRefusedMoverFailsTheGetWhileTheOthersFinish)
{
  for (const char* protocol : {"pdata", "mover"}) {
    SCOPED_TRACE(protocol);
    GwsimConfig cfg = stripedConfig(4, protocol);
    cfg.movers().set("OneFrom", "read 1 127.0.0.2");
    GwsimFixture gw(cfg.text());
    ASSERT_TRUE(gw.running()) << gw.stderrText();
    std::ofstream(gw.dir() + "/QUOR.conf") << "Restricted Addresses = {\n  Default = {\n    127.0.0.1\n  }\n}\n";
    std::string f = randomBytes(3u << 20, 8);
    store(gw, "f", f);
    std::string local = localDir(gw);
    OzuResult r = runOzu(gw, ozuArgs(gw, {"get " + local + "/f : f; get " + local + "/g : f"}), "", {}, 120);
    EXPECT_EQ(r.status, 74) << r.out << r.err;
    EXPECT_FALSE(same(readFile(local + "/f"), f));
    EXPECT_TRUE(same(readFile(local + "/g"), f)) << "the next list read has no refused mover";
    auto j = gw.journalLines();
    EXPECT_EQ(countLines(j, "restricted connection failed from 127.0.0.2"), 1) << joinLines(j);
    // A parallel-data mover may have all its bytes in the socket's buffers
    // before it is refused: only the client knows they never arrived.
    // Through the mover protocol the refused one's exchange fails at once.
    if (std::string(protocol) == "mover")
      EXPECT_EQ(linesWithAll(j, {"fn=0x1207", "onefrom=127.0.0.2 broken=1"}).size(), 1u) << joinLines(j);
    else
      EXPECT_EQ(countLines(j, "fn=0x1207", "onefrom=127.0.0.2"), 1) << joinLines(j);
  }
}

}  // namespace

namespace {

// Files whose data lies on tape only: each open waits out its volume's
// recall (a minute and more, shortened by the library's clock in gwsim),
// and the get succeeds. With one transfer at a time the recalls come in
// the order of the names, each on its own volume; afterwards the files are
// on disk and a second get waits for no recall.
TEST(OzuGetTape, GetWaitsOutTheRecallOfEachVolumeInTurn)
{
  ScopedEnv env{"QUOR_TEST_TIMESCALE"};
  env.set("QUOR_TEST_TIMESCALE", "1000");
  GwsimConfig c = stripedConfig(1, "pdata");
  c.server().set("StageDelay", 600000);
  c.section("Recall").set("Volume", "VOL002 90000");
  const char* volumes[] = {"VOL003:4", "VOL001:7", "VOL002:1"};
  for (int i = 0; i < 3; ++i)
    c.file("/home/alice/t" + std::to_string(i))
        .set("Size", 200000 + i)
        .set("Tape", volumes[i])
        .set("Uid", 1001)
        .set("Mode", "0644");
  GwsimFixture gw(c.text());
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  std::vector<std::string> data;
  for (int i = 0; i < 3; ++i) {
    data.push_back(randomBytes(size_t(200000 + i), unsigned(30 + i)));
    store(gw, "t" + std::to_string(i), data.back());
  }
  std::string local = localDir(gw);
  OzuResult r = runOzu(gw, ozuArgs(gw, {"lcd " + local + "; mget -N -X 1 t0 t1 t2"}));
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  for (int i = 0; i < 3; ++i)
    EXPECT_TRUE(same(readFile(local + "/t" + std::to_string(i)), data[size_t(i)])) << i;
  auto j = gw.journalLines();
  std::vector<std::string> order;
  for (const std::string& l : linesWithAll(j, {"fn=0x0f00", " staged"})) {
    size_t at = l.find(" recall=");
    order.push_back(at == std::string::npos ? "?" : l.substr(at + 8, 6));
  }
  EXPECT_EQ(order, (std::vector<std::string>{"VOL003", "VOL001", "VOL002"})) << joinLines(j);

  OzuResult again = runOzu(gw, ozuArgs(gw, {"get " + local + "/again : t1"}));
  EXPECT_EQ(again.status, 0) << again.out << again.err;
  EXPECT_TRUE(same(readFile(local + "/again"), data[1]));
  auto j2 = gw.journalLines();
  EXPECT_EQ(countLines(j2, "fn=0x0f00", " recall="), 3) << "on disk now: no fourth recall\n" << joinLines(j2);
}

}  // namespace

namespace {

std::set<std::string> linesOf(const std::string& path)
{
  std::set<std::string> out;
  std::ifstream in(path);
  for (std::string l; std::getline(in, l);)
    out.insert(l);
  return out;
}

// At a terminal, a get whose gateway answers slowly shows the progress
// line while the transfer runs, and the line is wiped (overwritten with
// blanks) before the transfer's own line is written.
TEST(OzuGetTerminal, ProgressLineShowsAndIsClearedAtTheEnd)
{
  GwsimConfig c = stripedConfig(2, "pdata");
  c.fault("Delay", "0x0500 0x1207 1 1800");
  GwsimFixture gw(c.text());
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  std::string f = randomBytes(3u << 20, 21);
  store(gw, "f", f);
  std::string local = localDir(gw);
  auto p = startOzuOnPty(gw, ozuArgs(gw, {"get " + local + "/f : f"}), {"TERM=vt100"});
  ASSERT_TRUE(p->waitFor("get  '", 20000)) << p->screen;
  EXPECT_EQ(p->finish(), 0) << p->screen;
  EXPECT_TRUE(same(readFile(local + "/f"), f));
  const std::string& s = p->screen;
  EXPECT_NE(s.find("\rActive:   1, Queued     0 [In-flight: 3.15MB Xferred: "), std::string::npos)
      << testing::PrintToString(s);
  size_t done = s.find("get  '");
  ASSERT_NE(done, std::string::npos) << s;
  // Before the transfer's line: a carriage return, as many blanks as the
  // last progress line showed characters, and the carriage return that
  // brings the cursor back.
  size_t wipe = s.rfind("\r ", done);
  size_t last = s.rfind("\rActive:", wipe);
  ASSERT_NE(last, std::string::npos) << testing::PrintToString(s);
  size_t blanks = s.find_first_not_of(' ', wipe + 1);
  EXPECT_EQ(s[blanks], '\r') << testing::PrintToString(s);
  std::string shownText = s.substr(last + 1, wipe - last - 1);
  shownText.erase(shownText.find_last_not_of(" \r") + 1);
  EXPECT_GE(blanks - wipe - 1, shownText.size()) << testing::PrintToString(s);
}

// An interrupt during an mget of 200 files stops the queueing: files not
// yet begun are never fetched, the ones in flight end whole, and the shell
// has exactly the descriptors open that it had before the command.
TEST(OzuGetTerminal, InterruptDuringMgetStopsQueueingAndLeavesNothingOpen)
{
  GwsimConfig c = stripedConfig(2, "pdata");
  c.fault("Delay", "0x0500 0x1207 * 60");
  GwsimFixture gw(c.text());
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  std::vector<std::string> data;
  for (int i = 0; i < 200; ++i) {
    data.push_back(randomBytes(size_t(70000 + i), unsigned(100 + i)));
    char name[16];
    snprintf(name, sizeof name, "m%03d", i);
    store(gw, name, data.back());
  }
  std::string local = localDir(gw);
  std::string out = local + "/out";
  mkdir(out.c_str(), 0755);
  writeFile(gw, ".ozurc", "PS1 = 'ozu> '\n");
  auto p = startOzuOnPty(gw, ozuArgs(gw, {"-q"}), {"TERM=vt100"});
  ASSERT_TRUE(p->waitFor("ozu> ", 15000)) << p->screen;
  p->type("!ls /proc/$PPID/fd > " + local + "/before\n");
  ASSERT_TRUE(p->waitFor("ozu> ")) << p->screen;
  p->type("lcd " + out + "\n");
  ASSERT_TRUE(p->waitFor("ozu> ")) << p->screen;
  p->type("mget -N m*\n");
  ASSERT_TRUE(p->waitFor("[A]ll,[Q]uit)")) << p->screen;
  p->type("a\n");
  for (int k = 0; k < 6; ++k)
    ASSERT_TRUE(p->waitFor("get  '", 20000)) << testing::PrintToString(p->screen);
  p->type("\x03");
  ASSERT_TRUE(p->waitFor("ozu> ", 20000)) << p->screen;
  p->type("!ls /proc/$PPID/fd > " + local + "/after\n");
  ASSERT_TRUE(p->waitFor("ozu> ")) << p->screen;
  p->type("quit\n");
  p->finish();
  std::set<std::string> before = linesOf(local + "/before"), after = linesOf(local + "/after");
  EXPECT_FALSE(before.empty());
  EXPECT_EQ(before, after) << "descriptors the interrupted command left open";
  int fetched = 0;
  for (int i = 0; i < 200; ++i) {
    char name[16];
    snprintf(name, sizeof name, "m%03d", i);
    if (!exists(out + "/" + name))
      continue;
    fetched++;
    EXPECT_TRUE(same(readFile(out + "/" + name), data[size_t(i)])) << name << " ended whole\n" << p->screen;
  }
  EXPECT_GE(fetched, 6);
  EXPECT_LT(fetched, 200) << "the queueing stopped";
  auto j = gw.journalLines();
  EXPECT_EQ(countLines(j, "select=0x6000000"), fetched) << "one record per file fetched";
}

}  // namespace

namespace {

// Two files compared a block at a time, without holding either whole.
bool sameFiles(const std::string& a, const std::string& b)
{
  std::ifstream x(a, std::ios::binary), y(b, std::ios::binary);
  if (!x || !y)
    return false;
  std::vector<char> p(1 << 20), q(1 << 20);
  for (;;) {
    x.read(p.data(), std::streamsize(p.size()));
    y.read(q.data(), std::streamsize(q.size()));
    if (x.gcount() != y.gcount() || memcmp(p.data(), q.data(), size_t(x.gcount())) != 0)
      return false;
    if (x.gcount() == 0)
      return true;
  }
}

void storeRandom(const GwsimFixture& gw, const std::string& name, size_t size, unsigned seed)
{
  std::ofstream o(gw.rootDir() + "/home/alice/" + name, std::ios::binary);
  std::mt19937_64 rng(seed);
  std::vector<uint64_t> block(1 << 17);
  for (size_t done = 0; done < size;) {
    for (uint64_t& w : block)
      w = rng();
    size_t n = std::min(size - done, block.size() * 8);
    o.write(reinterpret_cast<const char*>(block.data()), std::streamsize(n));
    done += n;
  }
}

// 100 MiB through eight stripes of the mover protocol and through one
// parallel-data mover: many pool cycles and list reads, identical bytes.
TEST(OzuGetSlow, HundredMiBComesBackIdentical)
{
  struct Case {
    int width;
    const char* protocol;
  } cases[] = {{1, "pdata"}, {8, "mover"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.protocol) + " width " + std::to_string(c.width));
    GwsimConfig cfg = stripedConfig(c.width, c.protocol);
    cfg.server().set("max_mbytes_per_iod", 32);
    GwsimFixture gw(cfg.text());
    ASSERT_TRUE(gw.running()) << gw.stderrText();
    storeRandom(gw, "big", 100u << 20, unsigned(c.width));
    std::string local = localDir(gw);
    OzuResult r = runOzu(gw, ozuArgs(gw, {"get " + local + "/big : big"}), "", {}, 240);
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_TRUE(sameFiles(local + "/big", gw.rootDir() + "/home/alice/big"));
    auto j = gw.journalLines();
    EXPECT_EQ(countLines(j, "fn=0x1207", " movers=" + std::to_string(c.width) + " moved=33554432"), 3)
        << joinLines(j);
    EXPECT_EQ(countLines(j, "select=0x6000000", "?104857600?"), 1) << joinLines(j);
  }
}

// A mover that asks for SAN3P: each piece is read from the SAN disk the
// mover names (the client opens it by path) instead of a data connection.
TEST(OzuGetSan3p, PiecesComeThroughTheSanDisk)
{
  GwsimConfig cfg = stripedConfig(2, "mover");
  cfg.section("San3p").set("Disk", "@DIR@/sandisk").set("BlockSize", 512).set("Block", 2).set("BlockOffset", 100);
  GwsimFixture gw(cfg.text());
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  {
    std::ofstream disk(gw.dir() + "/sandisk", std::ios::binary);
    disk << std::string(4u << 20, '\0');
  }
  std::string f = randomBytes((1u << 20) + 4097, 40);
  store(gw, "f", f);
  std::string local = localDir(gw);
  OzuResult r = runOzu(gw, ozuArgs(gw, {"get " + local + "/f : f"}));
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_TRUE(same(readFile(local + "/f"), f));
  // The bytes went by the disk: they lie there at the area's start.
  std::string disk = readFile(gw.dir() + "/sandisk");
  ASSERT_GE(disk.size(), 1024 + 100 + f.size());
  EXPECT_TRUE(same(disk.substr(1024 + 100, f.size()), f));
  auto j = gw.journalLines();
  EXPECT_EQ(countLines(j, "fn=0x1207", " movers=2 moved=" + std::to_string(f.size())), 1) << joinLines(j);
}

// A 5 GiB stored file, sparse, with data across the 4 GiB mark and at its
// end: the copy is 5 GiB long, its data identical, its holes still holes
// (the offsets past 2^32 are neither cut nor wrapped).
TEST(OzuGetSparse, FiveGiBAcrossFourGiB)
{
  GwsimFixture gw(stripedConfig(2, "pdata").text());
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  const uint64_t total = 5ull << 30, across = (4ull << 30) - (512u << 10);
  std::string head = randomBytes(70000, 50), middle = randomBytes(1u << 20, 51), tail = randomBytes(65536, 52);
  std::string path = gw.rootDir() + "/home/alice/sparse";
  {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(pwrite(fd, head.data(), head.size(), 0), ssize_t(head.size()));
    ASSERT_EQ(pwrite(fd, middle.data(), middle.size(), off_t(across)), ssize_t(middle.size()));
    ASSERT_EQ(pwrite(fd, tail.data(), tail.size(), off_t(total - tail.size())), ssize_t(tail.size()));
    close(fd);
  }
  struct stat st;
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  if (uint64_t(st.st_blocks) * 512 >= (1ull << 30))
    GTEST_SKIP() << "the file system keeps no holes";
  std::string local = localDir(gw);
  OzuResult r = runOzu(gw, ozuArgs(gw, {"get " + local + "/sparse : sparse"}), "", {}, 240);
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  std::string copy = local + "/sparse";
  ASSERT_EQ(stat(copy.c_str(), &st), 0);
  EXPECT_EQ(uint64_t(st.st_size), total);
  EXPECT_LT(uint64_t(st.st_blocks) * 512, 256ull << 20) << "the holes stay holes";
  int fd = open(copy.c_str(), O_RDONLY);
  ASSERT_GE(fd, 0);
  auto at = [&](uint64_t off, size_t n) {
    std::string s(n, '\0');
    EXPECT_EQ(pread(fd, s.data(), n, off_t(off)), ssize_t(n));
    return s;
  };
  EXPECT_TRUE(same(at(0, head.size()), head));
  EXPECT_TRUE(same(at(across, middle.size()), middle)) << "the data across 2^32";
  EXPECT_TRUE(same(at(total - tail.size(), tail.size()), tail)) << "the data at the end";
  EXPECT_EQ(at(3ull << 30, 4096), std::string(4096, '\0'));
  EXPECT_EQ(at(across + middle.size() + 12345, 4096), std::string(4096, '\0'));
  off_t hole = lseek(fd, off_t(head.size()), SEEK_HOLE);
  EXPECT_GE(hole, off_t(head.size()));
  EXPECT_LT(hole, off_t(across)) << "a hole before the data across 2^32";
  close(fd);
  auto j = gw.journalLines();
  EXPECT_GE(countLines(j, "fn=0x1207", " gap="), 2) << joinLines(j);
  EXPECT_EQ(countLines(j, "select=0x6000000", "?5368709120?"), 1) << joinLines(j);
}

}  // namespace

namespace {

// The get family's answers to unusual words: the usage text, ignored
// options, a pair whose pattern is ambiguous or matches nothing, a
// directory, update mode into a pipe, an empty here-document, a stored
// file of no bytes. Each row: the command, its exit code, a text it must
// show, and the local files that must (+) or must not (-) exist after it.
TEST(OzuGetWords, UsageWarningsAndRefusals)
{
  GwsimFixture gw(stripedConfig(1, "pdata").text());
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  store(gw, "f", "the f file\n");
  store(gw, "b1", "b one\n");
  store(gw, "b2", "b two\n");
  store(gw, "empty", "");
  mkdir((gw.rootDir() + "/home/alice/dir").c_str(), 0755);
  std::string local = localDir(gw);
  struct Row {
    std::string line;
    int status;
    std::string text;
    std::vector<std::string> files;  // "+name" exists afterwards, "-name" does not
  } rows[] = {
      {"get", 0, "Usage: g[et] [-A] [-B | -b] [-C] [-c on|off] [-F on|off] [-h] [-N] [-o] \n", {}},
      {"recv", 0, "  or\n    rec[v] [-A] [-B | -b] [-C] [-c on|off] [-F on|off] [-h] [-N] [-L ofs path] [-o]\n",
       {}},
      {"get -o f", 0, "Unknown option or missing argument: 'o' ignored", {"+f"}},
      {"get -n f", 0, "Unknown option ignored: n", {"+f"}},
      {"get a : b*", 64, "*** Ambiguous path: b*", {"-a", "-b1", "-b2"}},
      {"get a : zz*", 64, "*** No such file: zz*", {"-a"}},
      {"get dir", 0, "*** Warning: `dir' is a directory - ignored", {"-dir"}},
      {"get -U - : f", 0, "*** WARNING: cget (or get -U) is disabled for piped output files.", {}},
      {"mget <<END", 0, "", {}},
      {"get empty", 0, "get  '", {"+empty"}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.line);
    std::string input = row.line.find("<<END") != std::string::npos ? "END\n" : "";
    OzuResult r = runOzu(gw, ozuArgs(gw, {"lcd " + local + "; " + row.line}), input);
    EXPECT_EQ(r.status, row.status) << r.out << r.err;
    EXPECT_NE((r.out + r.err).find(row.text), std::string::npos) << r.out << r.err;
    for (const std::string& f : row.files) {
      EXPECT_EQ(exists(local + "/" + f.substr(1)), f[0] == '+') << f;
      if (f[0] == '+')
        unlink((local + "/" + f.substr(1)).c_str());
    }
    EXPECT_EQ(countLines(gw.journalLines(), "select=0x6000000", "?-"), 0) << "no failed transfer";
  }
  struct stat st;
  EXPECT_EQ(stat((local + "/empty").c_str(), &st), -1) << "removed by its row";
}

// mget asks per file: answered Quit at the second it retrieves the first
// alone; answered All at the first it asks no more. cget leaves a local
// file whose time equals the stored file's last write, and replaces one
// that differs.
TEST(OzuGetWords, MgetAnswersAndCgetTimes)
{
  GwsimFixture gw(stripedConfig(1, "pdata").text());
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  for (const char* n : {"q1", "q2", "q3"})
    store(gw, n, std::string("stored ") + n + "\n");
  std::string local = localDir(gw);
  writeFile(gw, ".ozurc", "PS1 = 'ozu> '\n");
  {
    auto p = startOzuOnPty(gw, ozuArgs(gw, {"-q"}), {"TERM=vt100"});
    ASSERT_TRUE(p->waitFor("ozu> ", 15000)) << p->screen;
    p->type("lcd " + local + "\n");
    ASSERT_TRUE(p->waitFor("ozu> ")) << p->screen;
    p->type("mget q1 q2 q3\n");
    ASSERT_TRUE(p->waitFor("mget '/home/alice/q1'? ([Y]es,[N]o,[A]ll,[Q]uit)")) << p->screen;
    p->type("y\n");
    ASSERT_TRUE(p->waitFor("mget '/home/alice/q2'? ([Y]es,[N]o,[A]ll,[Q]uit)")) << p->screen;
    p->type("q\n");
    ASSERT_TRUE(p->waitFor("ozu> ")) << p->screen;
    EXPECT_TRUE(exists(local + "/q1")) << p->screen;
    EXPECT_FALSE(exists(local + "/q2"));
    EXPECT_FALSE(exists(local + "/q3"));
    unlink((local + "/q1").c_str());
    p->type("mget q1 q2 q3\n");
    ASSERT_TRUE(p->waitFor("[A]ll,[Q]uit)")) << p->screen;
    p->type("a\n");
    ASSERT_TRUE(p->waitFor("ozu> ")) << p->screen;
    p->type("quit\n");
    EXPECT_EQ(p->finish(), 0) << p->screen;
    for (const char* n : {"q1", "q2", "q3"})
      EXPECT_EQ(readFile(local + "/" + n), std::string("stored ") + n + "\n");
    EXPECT_EQ(countText(p->screen, "([Y]es,[N]o,[A]ll,[Q]uit)"), 3) << "All asks no more\n" << p->screen;
  }

  struct stat st;
  ASSERT_EQ(stat((gw.rootDir() + "/home/alice/q1").c_str(), &st), 0);
  std::ofstream(local + "/q1") << "local one\n";
  std::ofstream(local + "/q2") << "local two\n";
  struct utimbuf same = {st.st_mtime, st.st_mtime}, other = {st.st_mtime - 3600, st.st_mtime - 3600};
  ASSERT_EQ(utime((local + "/q1").c_str(), &same), 0);
  ASSERT_EQ(utime((local + "/q2").c_str(), &other), 0);
  OzuResult c = runOzu(gw, ozuArgs(gw, {"lcd " + local + "; cget q1 q2"}));
  EXPECT_EQ(c.status, 0) << c.out << c.err;
  EXPECT_EQ(readFile(local + "/q1"), "local one\n") << "same time: left alone";
  EXPECT_EQ(readFile(local + "/q2"), "stored q2\n") << "another time: replaced";
}

}  // namespace
