// ozu's get on a gateway serving its own file system (lfx), recursive
// retrieval of directory trees with their links, and retrieval in tape
// order through the stage scheduler; the real ozu against gwsim each time.
// Small files travel inline, larger ones over a data connection that the
// next file of the command reuses; every gateway-side failure, a lost or
// miscounted completion among them, ends in an error and never in a short
// file reported as done.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "gwsim_config.h"
#include "test_data.h"
#include "gwsim_fixture.h"
#include "journal_text.h"
#include "ozu_run.h"

namespace {

// The gateway's connections are awaited 60 s of the library's clock: 3 s
// here, so a loaded machine still connects in time.
const std::vector<std::string> kWaits = {"QUOR_TEST_TIMESCALE=20"};

const size_t kInline = 1 << 20;  // max_smallfile_size unless an ozurc says otherwise

std::string joinLines(const std::vector<std::string>& lines)
{
  std::string all;
  for (const std::string& l : lines)
    all += l + "\n";
  return all;
}

bool same(const std::string& a, const std::string& b) { return a == b; }

std::vector<std::string> grep(const std::vector<std::string>& lines, const std::string& a,
                              const std::string& b = "")
{
  std::vector<std::string> out;
  for (const std::string& l : lines)
    if (l.find(a) != std::string::npos && (b.empty() || l.find(b) != std::string::npos))
      out.push_back(l);
  return out;
}

// The value of " key=VALUE" in a journal line.
std::string field(const std::string& line, const std::string& key)
{
  size_t p = line.find(" " + key + "=");
  if (p == std::string::npos)
    return "";
  p += key.size() + 2;
  size_t e = line.find(' ', p);
  return line.substr(p, e == std::string::npos ? std::string::npos : e - p);
}

// A gateway serving <dir>/lfx as its own file system, alice at home in it.
GwsimConfig lfxConfig(const std::string& lfxLines = "")
{
  GwsimConfig c = aliceConfig();
  c.section("Lfx").set("Root", "@DIR@/lfx").set("AcceptMs", 3000).set("IdleMs", 5000).lines(lfxLines);
  return c;
}

std::string lfxHome(const GwsimFixture& gw) { return gw.dir() + "/lfx/home/alice"; }

void mkdirs(const std::string& path)
{
  std::string cur;
  for (size_t p = 1; p != std::string::npos;) {
    p = path.find('/', p + 1);
    cur = path.substr(0, p);
    mkdir(cur.c_str(), 0755);
  }
}

// A file of alice's on the gateway's file system.
void putRemote(const GwsimFixture& gw, const std::string& rel, const std::string& data)
{
  std::string p = lfxHome(gw) + "/" + rel;
  mkdirs(p.substr(0, p.rfind('/')));
  std::ofstream(p, std::ios::binary) << data;
  chmod(p.c_str(), 0644);
}

std::string localDir(const GwsimFixture& gw)
{
  ozuHome(gw);
  std::string d = gw.dir() + "/local";
  mkdir(d.c_str(), 0755);
  return d;
}

// The lfx init lines of the journal, one per transfer.
std::vector<std::string> inits(const std::vector<std::string>& j) { return grep(j, "cat=0x1600 fn=0x0100"); }

std::string modeCmd(bool clientConnect) { return clientConnect ? "firewall -on; " : ""; }

// Sizes at the inline limit both ways of it, an empty and a large file, in
// both data-connection set-ups: identical bytes, inline exactly up to the
// limit, and one completion for each file that moved over a connection.
TEST(OzuLfxGet, SizesAroundTheInlineLimitInBothModes)
{
  for (bool cc : {false, true}) {
    SCOPED_TRACE(cc ? "client-connect" : "listen");
    GwsimFixture gw(lfxConfig().text());
    ASSERT_TRUE(gw.running()) << gw.stderrText();
    const std::vector<size_t> sizes = {0, kInline, kInline + 1, size_t(100) << 20};
    std::string local = localDir(gw);
    std::string cmd = modeCmd(cc);
    for (size_t i = 0; i < sizes.size(); ++i) {
      putRemote(gw, "f" + std::to_string(i), randomBytes(sizes[i], unsigned(i + 1)));
      cmd += "get " + local + "/f" + std::to_string(i) + " : f" + std::to_string(i) + "; ";
    }
    OzuResult r = runOzu(gw, ozuArgs(gw, {cmd}), "", kWaits, 120);
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    auto j = gw.journalLines();
    for (size_t i = 0; i < sizes.size(); ++i) {
      std::string name = "f" + std::to_string(i);
      EXPECT_TRUE(same(readFile(local + "/" + name), readFile(lfxHome(gw) + "/" + name))) << name;
      auto in = grep(inits(j), "path=/home/alice/" + name + " ");
      // An empty file needs no transfer at all.
      ASSERT_EQ(in.size(), sizes[i] == 0 ? 0u : 1u) << joinLines(j);
      if (sizes[i] == 0)
        continue;
      // The line's first flags word is the message's; the init's follows filedes.
      size_t second = in[0].find("flags=", in[0].find("filedes="));
      unsigned long flags = std::stoul(in[0].substr(second + 8, 8), nullptr, 16);
      bool inlined = sizes[i] <= kInline;
      EXPECT_EQ((flags & 0x40000000u) != 0, inlined) << in[0];
      EXPECT_EQ((flags & 0x1u) != 0, cc) << in[0];
      if (!inlined) {
        EXPECT_EQ(countLines(j, "lfx-complete serial=" + field(in[0], "serial"),
                             "status=0 bytes=" + std::to_string(sizes[i])),
                  1)
            << joinLines(j);
      }
    }
  }
}

// One worker at a time: the second file of a command is offered the
// connection the first one used (same pool id, preConnected), and the
// command's end tells the gateway to drop it, so the next command starts
// afresh.
TEST(OzuLfxGet, SecondFileReusesThePooledConnection)
{
  for (bool cc : {false, true}) {
    SCOPED_TRACE(cc ? "client-connect" : "listen");
    GwsimFixture gw(lfxConfig().text());
    ASSERT_TRUE(gw.running()) << gw.stderrText();
    std::string local = localDir(gw);
    for (const char* n : {"a", "b", "c"})
      putRemote(gw, n, randomBytes(kInline + 4096, unsigned(n[0])));
    OzuResult r = runOzu(gw, ozuArgs(gw, {"lcd " + local + "; " + modeCmd(cc) + "get -X 1 a b; get c"}), "", kWaits);
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    for (const char* n : {"a", "b", "c"})
      EXPECT_TRUE(same(readFile(local + "/" + n), readFile(lfxHome(gw) + "/" + n))) << n;
    auto j = gw.journalLines();
    auto in = inits(j);
    ASSERT_EQ(in.size(), 3u) << joinLines(j);
    EXPECT_EQ(field(in[0], "pre"), "0") << in[0];
    EXPECT_EQ(field(in[1], "pre"), "1") << in[1];
    EXPECT_EQ(field(in[1], "pool"), field(in[0], "pool"));
    EXPECT_EQ(field(in[2], "pre"), "0") << in[2];
    auto cleans = grep(j, "cat=0x1600 fn=0x0105");
    ASSERT_EQ(cleans.size(), 2u) << joinLines(j);
    EXPECT_EQ(field(cleans[0], "closed"), "1") << cleans[0];
  }
}

// Every failure the gateway can cause ends the file in an error with its
// exit code: the data phase's own status, a completion lost or counting
// other bytes than moved, a pool id the shell never made, and no data
// connection at all (the one-minute accept wait runs on the library's
// clock, shortened here).
TEST(OzuLfxGet, GatewayFailuresFailTheTransfer)
{
  struct Case {
    const char* rule;
    bool clientConnect;
    int exit;
    const char* says;
  } cases[] = {
      {"FailStatus = 1", false, 74, "Error"},
      {"DropCompletion = 1", false, 74, "ozugw_LfxGetXferReply"},
      {"EmptyCompletion = 1", false, 74, "ozugw_LfxGetXferReply"},
      {"MiscountCompletion = 1", false, 74, "gateway reports"},
      {"MiscountCompletion = 1", true, 74, "gateway reports"},
      {"UnknownPool = 1", true, 71, "Cannot find pool entry ID"},
      {"NoConnect = 1", false, 71, "accepting 1 connections from server"},
      {"NoConnect = 1", true, 71, "<connect>"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.rule) + (c.clientConnect ? " client-connect" : " listen"));
    GwsimFixture gw(lfxConfig(c.rule).text());
    ASSERT_TRUE(gw.running()) << gw.stderrText();
    std::string local = localDir(gw);
    putRemote(gw, "f", randomBytes(kInline + 100000, 5));
    OzuResult r = runOzu(gw, ozuArgs(gw, {modeCmd(c.clientConnect) + "get " + local + "/f : f"}), "", kWaits);
    EXPECT_EQ(r.status, c.exit) << r.out << r.err;
    EXPECT_NE((r.out + r.err).find(c.says), std::string::npos) << r.out << r.err;
    EXPECT_EQ((r.out + r.err).find("get  'f'"), std::string::npos) << r.out << r.err;
  }
}

// The gateway's data connection comes from an address the site does not
// allow: it is refused and logged, and the transfer fails once the accept
// wait is over; from an allowed address the same file comes whole.
TEST(OzuLfxGet, DataConnectionFromRestrictedAddressIsRefused)
{
  const char onlyLoopback[] = "Restricted Addresses = {\n  Default = {\n    127.0.0.1\n  }\n}\n";
  for (bool restricted : {true, false}) {
    SCOPED_TRACE(restricted ? "restricted" : "open");
    GwsimFixture gw(lfxConfig("From = 127.0.0.2").text());
    ASSERT_TRUE(gw.running()) << gw.stderrText();
    if (restricted)
      std::ofstream(gw.dir() + "/QUOR.conf") << onlyLoopback;
    std::string local = localDir(gw);
    std::string f = randomBytes(kInline + 5000, 8);
    putRemote(gw, "f", f);
    OzuResult r = runOzu(gw, ozuArgs(gw, {"get " + local + "/f : f"}), "", kWaits);
    auto j = gw.journalLines();
    if (restricted) {
      EXPECT_EQ(r.status, 71) << r.out << r.err;
      EXPECT_FALSE(same(readFile(local + "/f"), f));
      EXPECT_GE(countLines(j, "restricted connection failed from 127.0.0.2"), 1) << joinLines(j);
    } else {
      EXPECT_EQ(r.status, 0) << r.out << r.err;
      EXPECT_TRUE(same(readFile(local + "/f"), f));
      EXPECT_EQ(countLines(j, "restricted connection failed"), 0) << joinLines(j);
    }
  }
}

// A tree on the gateway's file system (local run mode) or in the storage
// namespace: two levels below d, a link to a file and a link to a
// directory. Without -h the file link is read through and the directory
// link recreated as a link; with -h both stay links. The working
// directory is where it was before.
struct TreeCase {
  bool lfx;
  bool dashH;
};

class OzuGetTree : public ::testing::TestWithParam<TreeCase> {};

GwsimConfig storageTree()
{
  GwsimConfig c = aliceConfig();
  c.dir("/home/alice/d").set("Uid", 1001).set("Mode", "0750");
  c.dir("/home/alice/d/s").set("Uid", 1001).set("Mode", "0755");
  c.dir("/home/alice/d/s/t").set("Uid", 1001).set("Mode", "0755");
  c.file("/home/alice/d/a").set("Data", "file a").set("Uid", 1001);
  c.file("/home/alice/d/s/b").set("Data", "file b").set("Uid", 1001);
  c.file("/home/alice/d/s/t/c").set("Data", "file c").set("Uid", 1001);
  c.file("/home/alice/d/la").set("Type", "symlink").set("Target", "/home/alice/d/a");
  c.file("/home/alice/d/ld").set("Type", "symlink").set("Target", "/home/alice/d/s");
  return c;
}

void remoteTree(const GwsimFixture& gw)
{
  putRemote(gw, "d/a", "file a");
  putRemote(gw, "d/s/b", "file b");
  putRemote(gw, "d/s/t/c", "file c");
  symlink("a", (lfxHome(gw) + "/d/la").c_str());
  symlink("s", (lfxHome(gw) + "/d/ld").c_str());
}

std::string linkText(const std::string& path)
{
  char buf[4096];
  ssize_t n = readlink(path.c_str(), buf, sizeof buf);
  return n < 0 ? "" : std::string(buf, size_t(n));
}

bool isLink(const std::string& path)
{
  struct stat st;
  return lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

TEST_P(OzuGetTree, MirrorsTheTreeAndItsLinks)
{
  const TreeCase tc = GetParam();
  GwsimFixture gw(tc.lfx ? lfxConfig().text() : storageTree().text());
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  if (tc.lfx)
    remoteTree(gw);
  std::string local = localDir(gw);
  OzuResult r = runOzu(gw, ozuArgs(gw, {"lcd " + local + "; get -R" + std::string(tc.dashH ? " -h" : "") +
                                            " d; lpwd"}), "", kWaits);
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(readFile(local + "/d/a"), "file a");
  EXPECT_EQ(readFile(local + "/d/s/b"), "file b");
  EXPECT_EQ(readFile(local + "/d/s/t/c"), "file c");
  EXPECT_TRUE(isLink(local + "/d/ld"));
  EXPECT_FALSE(isLink(local + "/d/ld/b")) << "the linked directory was walked";
  EXPECT_EQ(isLink(local + "/d/la"), tc.dashH);
  EXPECT_EQ(readFile(local + "/d/la"), tc.dashH && !tc.lfx ? "" : "file a");
  if (tc.dashH) {
    EXPECT_NE(linkText(local + "/d/la"), "");
  }
  // lpwd after the command: where the command started.
  EXPECT_NE(r.out.find(local + "\n"), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find(local + "/d\n"), std::string::npos) << r.out;
}

INSTANTIATE_TEST_SUITE_P(Walks, OzuGetTree,
                         ::testing::Values(TreeCase{false, false}, TreeCase{false, true}, TreeCase{true, false},
                                           TreeCase{true, true}),
                         [](const ::testing::TestParamInfo<TreeCase>& i) {
                           return std::string(i.param.lfx ? "lfx" : "storage") + (i.param.dashH ? "_h" : "");
                         });

// An existing local directory is entered as it is: its mode and owner
// stay, also with -Q as root; a file where a subdirectory should be skips
// that subtree with exit 70 while the rest still comes.
TEST(OzuGetTreeEdges, ExistingDirectoryKeptAndFileInPlaceOfDirectory)
{
  GwsimFixture gw(storageTree().text());
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  std::string local = localDir(gw);
  mkdir((local + "/d").c_str(), 0710);
  chmod((local + "/d").c_str(), 0710);
  bool root = geteuid() == 0;
  if (root) {
    ASSERT_EQ(chown((local + "/d").c_str(), 4321, 4321), 0);
  }
  std::ofstream(local + "/d/s") << "in the way";
  OzuResult r = runOzu(gw, ozuArgs(gw, {"lcd " + local + "; get -R -Q d"}), "", kWaits);
  EXPECT_EQ(r.status, 70) << r.out << r.err;
  EXPECT_NE((r.out + r.err).find("changing to local directory `s'"), std::string::npos) << r.out << r.err;
  struct stat st;
  ASSERT_EQ(stat((local + "/d").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0710u);
  if (root) {
    EXPECT_EQ(st.st_uid, 4321u);
  }
  EXPECT_EQ(readFile(local + "/d/a"), "file a");
  EXPECT_EQ(readFile(local + "/d/s"), "in the way");
}

// Files on three tape volumes, named out of order: the scheduler recalls
// one volume after another, each in tape position order, and every file
// arrives whole in the local directory current when it was named.
TEST(OzuGetScheduled, StagesInVolumeAndPositionOrder)
{
  GwsimConfig c = aliceConfig();
  c.server().set("StageDelay", 5).set("max_bg_vvs", 1).set("max_bg_stages", 15);
  struct F {
    const char* name;
    const char* tape;
  } files[] = {{"v2p9", "VOLB:9"}, {"v1p5", "VOLA:5"}, {"v3p1", "VOLC:1"}, {"v1p2", "VOLA:2"},
               {"v2p3", "VOLB:3"}, {"v3p7", "VOLC:7"}, {"v1p8", "VOLA:8"}, {"v2p4", "VOLB:4"}};
  std::string names;
  for (const F& f : files) {
    c.file(std::string("/home/alice/") + f.name).set("Data", std::string("data of ") + f.name).set("Uid", 1001)
        .set("Tape", f.tape);
    names += std::string(" ") + f.name;
  }
  GwsimFixture gw(c.text());
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  std::string local = localDir(gw);
  OzuResult r = runOzu(gw, ozuArgs(gw, {"lcd " + local + "; get -A" + names}), "", kWaits);
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  for (const F& f : files)
    EXPECT_EQ(readFile(local + "/" + f.name), std::string("data of ") + f.name) << f.name;
  auto j = gw.journalLines();
  std::vector<std::string> order;
  for (const std::string& l : j)
    if (l.rfind("stage-recalled ", 0) == 0)
      order.push_back(field(l, "path"));
  ASSERT_EQ(order.size(), 8u) << joinLines(j);
  // Volume by volume (each volume's files together), positions ascending.
  std::map<char, std::vector<int>> byVol;
  std::string volSeq;
  for (const std::string& p : order) {
    std::string n = p.substr(p.rfind('/') + 1);
    char v = n[1];
    if (volSeq.empty() || volSeq.back() != v)
      volSeq += v;
    byVol[v].push_back(std::stoi(n.substr(3)));
  }
  EXPECT_EQ(volSeq.size(), 3u) << joinLines(order);
  for (auto& [v, pos] : byVol)
    EXPECT_TRUE(std::is_sorted(pos.begin(), pos.end())) << v << ": " << joinLines(order);
}

}  // namespace
