// ozu's put on a gateway serving its own file system (lfx) and put -R of
// directory trees with their links, in the storage namespace and on the
// gateway's file system; the real ozu against gwsim each time. Files up to
// the inline limit travel inside the init exchange; larger ones and pipes
// over a data connection; a pipe ends its data by shutting the socket's
// write side. A failed store keeps the file that was there.
#include <dirent.h>
#include <gtest/gtest.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
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

const size_t kInline = 1 << 20;

std::string joinLines(const std::vector<std::string>& lines)
{
  std::string all;
  for (const std::string& l : lines)
    all += l + "\n";
  return all;
}

bool same(const std::string& a, const std::string& b) { return a == b; }

std::vector<std::string> grep(const std::vector<std::string>& lines, const std::string& a)
{
  std::vector<std::string> out;
  for (const std::string& l : lines)
    if (l.find(a) != std::string::npos)
      out.push_back(l);
  return out;
}

// The init record's own flags (the line's first flags word is the message's).
unsigned long initFlags(const std::string& line)
{
  size_t p = line.find("flags=", line.find("filedes="));
  return p == std::string::npos ? 0 : std::stoul(line.substr(p + 8, 8), nullptr, 16);
}

GwsimConfig lfxConfig(const std::string& lfxLines = "")
{
  GwsimConfig c = aliceConfig();
  c.section("Lfx").set("Root", "@DIR@/lfx").set("AcceptMs", 3000).set("IdleMs", 5000).lines(lfxLines);
  return c;
}

std::string lfxHome(const GwsimFixture& gw) { return gw.dir() + "/lfx/home/alice"; }

std::string localDir(const GwsimFixture& gw)
{
  ozuHome(gw);
  std::string d = gw.dir() + "/local";
  mkdir(d.c_str(), 0755);
  return d;
}

void writeLocal(const std::string& path, const std::string& data)
{
  std::ofstream(path, std::ios::binary) << data;
}

std::string modeCmd(bool clientConnect) { return clientConnect ? "firewall -on; " : ""; }

// Sizes around the inline limit and a large file, then a pipe, in both
// data-connection set-ups: every stored file is byte-identical, inline
// exactly up to the limit, the pipe announced as one (0x40) and never
// inline.
TEST(OzuLfxPut, SizesAndAPipeInBothModes)
{
  for (bool cc : {false, true}) {
    SCOPED_TRACE(cc ? "client-connect" : "listen");
    GwsimFixture gw(lfxConfig().text());
    ASSERT_TRUE(gw.running()) << gw.stderrText();
    mkdir((gw.dir() + "/lfx/home").c_str(), 0755);
    mkdir(lfxHome(gw).c_str(), 0755);
    chown(lfxHome(gw).c_str(), 1001, 100);
    std::string local = localDir(gw);
    const std::vector<size_t> sizes = {0, kInline, kInline + 1, size_t(100) << 20};
    std::string cmd = modeCmd(cc);
    for (size_t i = 0; i < sizes.size(); ++i) {
      writeLocal(local + "/p" + std::to_string(i), randomBytes(sizes[i], unsigned(40 + i)));
      cmd += "put " + local + "/p" + std::to_string(i) + " : p" + std::to_string(i) + "; ";
    }
    cmd += "put \"|cat " + local + "/p3\" : piped";
    OzuResult r = runOzu(gw, ozuArgs(gw, {cmd}), "", kWaits, 120);
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    auto j = gw.journalLines();
    auto inits = grep(j, "cat=0x1600 fn=0x0100");
    for (size_t i = 0; i < sizes.size(); ++i) {
      std::string name = "p" + std::to_string(i);
      EXPECT_TRUE(same(readFile(lfxHome(gw) + "/" + name), readFile(local + "/" + name))) << name;
      auto in = grep(inits, "path=/home/alice/" + name + " ");
      ASSERT_EQ(in.size(), 1u) << joinLines(j);
      EXPECT_EQ((initFlags(in[0]) & 0x80000000u) != 0, sizes[i] <= kInline) << in[0];
    }
    EXPECT_TRUE(same(readFile(lfxHome(gw) + "/piped"), readFile(local + "/p3")));
    auto in = grep(inits, "path=/home/alice/piped ");
    ASSERT_EQ(in.size(), 1u) << joinLines(j);
    EXPECT_EQ(initFlags(in[0]) & 0x800000c0u, 0x40u) << in[0];
    // The piped transfer's socket ended with it: never offered again.
    EXPECT_EQ(countLines(j, "lfx-complete serial=", "status=0 bytes=" + std::to_string(sizes[3])), 2)
        << joinLines(j);
  }
}

// A store that fails at the gateway, or whose completion never comes,
// leaves the file that was there byte for byte and nothing beside it.
TEST(OzuLfxPut, FailedStoreKeepsTheOldFile)
{
  for (const char* rule : {"FailStatus = 1", "DropCompletion = 1", "MiscountCompletion = 1"}) {
    SCOPED_TRACE(rule);
    GwsimFixture gw(lfxConfig(rule).text());
    ASSERT_TRUE(gw.running()) << gw.stderrText();
    mkdir((gw.dir() + "/lfx/home").c_str(), 0755);
    mkdir(lfxHome(gw).c_str(), 0755);
    chown(lfxHome(gw).c_str(), 1001, 100);
    std::string old = randomBytes(5000, 1);
    writeLocal(lfxHome(gw) + "/f", old);
    chown((lfxHome(gw) + "/f").c_str(), 1001, 100);
    std::string local = localDir(gw);
    writeLocal(local + "/f", randomBytes(kInline + 70000, 2));
    OzuResult r = runOzu(gw, ozuArgs(gw, {"put " + local + "/f : f"}), "", kWaits);
    EXPECT_EQ(r.status, 74) << r.out << r.err;
    EXPECT_TRUE(same(readFile(lfxHome(gw) + "/f"), old));
    std::vector<std::string> names;
    if (DIR* d = opendir(lfxHome(gw).c_str())) {
      while (struct dirent* e = readdir(d))
        if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0)
          names.push_back(e->d_name);
      closedir(d);
    }
    EXPECT_EQ(names, std::vector<std::string>{"f"}) << joinLines(names);
  }
}

// A local tree: two levels below tree, a link to a file and one to a
// directory. Without -h the file link is read through; the directory link
// is recreated as a link either way and never walked. The storage working
// directory is where it was.
struct PutTreeCase {
  bool lfx;
  bool dashH;
};

class OzuPutTree : public ::testing::TestWithParam<PutTreeCase> {};

void localTree(const std::string& local)
{
  mkdir((local + "/tree").c_str(), 0755);
  mkdir((local + "/tree/s").c_str(), 0755);
  mkdir((local + "/tree/s/t").c_str(), 0755);
  writeLocal(local + "/tree/a", "file a");
  writeLocal(local + "/tree/s/b", "file b");
  writeLocal(local + "/tree/s/t/c", "file c");
  symlink("a", (local + "/tree/la").c_str());
  symlink("s", (local + "/tree/ld").c_str());
}

bool isLink(const std::string& path)
{
  struct stat st;
  return lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

TEST_P(OzuPutTree, MirrorsTheTreeAndItsLinks)
{
  const PutTreeCase tc = GetParam();
  GwsimFixture gw(tc.lfx ? lfxConfig().text() : aliceConfig().text());
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  std::string home = tc.lfx ? lfxHome(gw) : gw.rootDir() + "/home/alice";
  if (tc.lfx) {
    mkdir((gw.dir() + "/lfx/home").c_str(), 0755);
    mkdir(home.c_str(), 0755);
    chown(home.c_str(), 1001, 100);
  }
  std::string local = localDir(gw);
  localTree(local);
  OzuResult r = runOzu(gw, ozuArgs(gw, {"lcd " + local + "; put -R" + std::string(tc.dashH ? " -h" : "") +
                                            " tree; pwd"}), "", kWaits);
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(readFile(home + "/tree/a"), "file a");
  EXPECT_EQ(readFile(home + "/tree/s/b"), "file b");
  EXPECT_EQ(readFile(home + "/tree/s/t/c"), "file c");
  EXPECT_TRUE(isLink(home + "/tree/ld"));
  EXPECT_EQ(isLink(home + "/tree/la"), tc.dashH);
  std::string all = r.out + r.err;
  size_t at = all.find("pwd0: /home/alice");
  ASSERT_NE(at, std::string::npos) << all;
  EXPECT_NE(all.compare(at, 22, "pwd0: /home/alice/tree"), 0) << all;
}

INSTANTIATE_TEST_SUITE_P(Walks, OzuPutTree,
                         ::testing::Values(PutTreeCase{false, false}, PutTreeCase{false, true},
                                           PutTreeCase{true, false}, PutTreeCase{true, true}),
                         [](const ::testing::TestParamInfo<PutTreeCase>& i) {
                           return std::string(i.param.lfx ? "lfx" : "storage") + (i.param.dashH ? "_h" : "");
                         });

// An existing storage directory is entered and filled as it is (its mode
// stays, also with -Q); a stored file where a subdirectory belongs stops
// the whole command with exit 70 and nothing below it is stored; a link
// text over 1024 characters is refused whole (exit 72), never cut.
TEST(OzuPutTreeEdges, ExistingDirectoryFileInTheWayAndLongLinks)
{
  GwsimConfig c = aliceConfig();
  c.dir("/home/alice/tree").set("Uid", 1001).set("Mode", "0750");
  c.file("/home/alice/tree/s").set("Data", "in the way").set("Uid", 1001);
  GwsimFixture gw(c.text());
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  std::string local = localDir(gw);
  localTree(local);
  std::string home = gw.rootDir() + "/home/alice";
  struct stat before;
  ASSERT_EQ(stat((home + "/tree").c_str(), &before), 0);
  OzuResult r = runOzu(gw, ozuArgs(gw, {"lcd " + local + "; put -R -Q tree; pwd"}), "", kWaits);
  EXPECT_EQ(r.status, 70) << r.out << r.err;
  EXPECT_NE((r.out + r.err).find("Existing QUOR object s is not a directory. Command aborted"), std::string::npos)
      << r.out << r.err;
  EXPECT_EQ(readFile(home + "/tree/s"), "in the way");
  EXPECT_EQ(readFile(home + "/tree/a"), "file a");
  struct stat after;
  ASSERT_EQ(stat((home + "/tree").c_str(), &after), 0);
  EXPECT_EQ(after.st_mode & 07777, before.st_mode & 07777);
  EXPECT_EQ(after.st_uid, before.st_uid);

  std::string longText(1100, 'x');
  ASSERT_EQ(symlink(longText.c_str(), (local + "/long").c_str()), 0);
  std::string ok(1024, 'y');
  ASSERT_EQ(symlink(ok.c_str(), (local + "/edge").c_str()), 0);
  OzuResult l = runOzu(gw, ozuArgs(gw, {"lcd " + local + "; put -h long; put -h edge"}), "", kWaits);
  EXPECT_EQ(l.status, 72) << l.out << l.err;
  struct stat st;
  EXPECT_NE(lstat((home + "/long").c_str(), &st), 0) << "a cut link was made";
  char buf[2048];
  ssize_t n = readlink((home + "/edge").c_str(), buf, sizeof buf);
  EXPECT_EQ(n, 1024);
}

}  // namespace

