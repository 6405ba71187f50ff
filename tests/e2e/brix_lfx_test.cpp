// brix with archives on a gateway that serves its own file system: the real
// brix against gwsim in its lfx run mode. The archive and its index live in
// gwsim's lfx directory; their bytes move over the gateway's direct data
// connections (small indexes inline), and every failure of such a transfer
// ends in FAILED, never in a short archive or member reported as done.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "brix_corpus.h"
#include "brix_session.h"

namespace {

std::string lfxConfig(const std::string& lfxLines = "") {
  return "Lfx = {\n  Root = @DIR@/lfx\n  AcceptMs = 3000\n  IdleMs = 5000\n" + lfxLines + "}\n";
}

std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

bool exists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

std::vector<std::string> grep(const std::vector<std::string>& lines, const std::string& a,
                              const std::string& b = "") {
  std::vector<std::string> out;
  for (const std::string& l : lines)
    if (l.find(a) != std::string::npos && (b.empty() || l.find(b) != std::string::npos)) out.push_back(l);
  return out;
}

std::vector<std::string> split(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string l; std::getline(in, l);) lines.push_back(l);
  return lines;
}

[[maybe_unused]] std::string joinLines(const std::vector<std::string>& lines) {
  std::string all;
  for (const std::string& l : lines) all += l + "\n";
  return all;
}

// The value of " key=VALUE" in a journal line.
[[maybe_unused]] std::string field(const std::string& line, const std::string& key) {
  size_t p = line.find(" " + key + "=");
  if (p == std::string::npos) return "";
  p += key.size() + 2;
  size_t e = line.find(' ', p);
  return line.substr(p, e == std::string::npos ? std::string::npos : e - p);
}

// The init's own flags word (the line's first one is the message's).
[[maybe_unused]] unsigned long initFlags(const std::string& line) {
  size_t second = line.find("flags=", line.find("filedes="));
  return std::stoul(line.substr(second + 8, 8), nullptr, 16);
}

struct LfxBrix {
  explicit LfxBrix(const std::string& lfxLines = "") : s(lfxConfig(lfxLines)) {
    std::string home = s.gw.dir() + "/lfx/home";
    mkdir((s.gw.dir() + "/lfx").c_str(), 0755);
    mkdir(home.c_str(), 0755);
    mkdir(remote("").c_str(), 0755);
    if (chown(remote("").c_str(), 1001, 100) != 0) ADD_FAILURE() << "chown";
  }
  BrixSession s;
  // A path in alice's home on the gateway host, as the test sees it.
  std::string remote(const std::string& name) const {
    return s.gw.dir() + "/lfx/home/alice" + (name.empty() ? "" : "/" + name);
  }
  std::string corpus() const { return s.work + "/p"; }
  std::vector<std::string> lfxInits() const { return grep(s.gw.journalLines(), "cat=0x1600 fn=0x0100"); }
  void noLeftovers() {
    for (const std::string& f : s.leftoverTempFiles()) ADD_FAILURE() << "left behind: " << f;
  }
};

bool succeeded(const BrixResult& r) { return r.out.find("BRIX: BRIX SUCCESSFUL\n") != std::string::npos; }
[[maybe_unused]] bool failed(const BrixResult& r) { return r.out.find("BRIX FAILED") != std::string::npos; }

}  // namespace

// Every operation on an archive on the gateway host: the archive is what
// GNU tar and Python read as the corpus, an extract gives the tree back, and
// delete, undelete and build-index change the index there.
TEST(BrixLfx, EveryOperationOnTheGatewaysDisk) {
  LfxBrix t;
  ASSERT_TRUE(t.s.ready()) << t.s.gw.stderrText();
  makeCorpus(t.corpus());
  // The check after the create reads the archive back through lfx.
  BrixResult r = t.s.run({"-c", "-V", "-H", "crc:verify=all", "-f", "/home/alice/p.tar", "p"});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("BRIX: Verify complete. 0 total errors"), std::string::npos) << r.out;
  EXPECT_TRUE(succeeded(r)) << r.out;
  t.noLeftovers();
  ASSERT_TRUE(exists(t.remote("p.tar")));
  ASSERT_TRUE(exists(t.remote("p.tar.idx")));
  std::string out;
  EXPECT_EQ(shellRun("tar -tf " + t.remote("p.tar") + " > /dev/null", &out), 0) << out;
  std::string checker = t.s.gw.dir() + "/check.py";
  writeFileAt(checker, kChecker);
  EXPECT_EQ(shellRun("python3 " + checker + " tarfile " + t.remote("p.tar") + " " + t.corpus(), &out), 0) << out;
  // Python's tarfile restores the consistency member at its absolute path.
  shellRun("rm -f " + t.s.tmp + "/BRIX_CF_CHK_*");
  // The same corpus written locally gives the same archive, up to the
  // consistency member and closing block (which name the run's files).
  ASSERT_EQ(t.s.run({"-c", "-E", "-H", "crc", "-f", t.s.work + "/local.tar", "p"}).status, 0);
  std::string local = slurp(t.s.work + "/local.tar"), remote = slurp(t.remote("p.tar"));
  ASSERT_EQ(local.size(), remote.size());
  EXPECT_TRUE(local.compare(0, local.size() - 2048, remote, 0, local.size() - 2048) == 0);

  r = t.s.run({"-t", "-f", "/home/alice/p.tar"});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("p/"), std::string::npos) << r.out;
  t.noLeftovers();

  r = t.s.run({"-K", "-f", "/home/alice/p.tar"});
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_TRUE(succeeded(r)) << r.out;

  std::string dest = t.s.work + "/x";
  mkdir(dest.c_str(), 0755);
  t.s.cwd = dest;
  r = t.s.run({"-x", "-p", "-H", "crc", "-f", "/home/alice/p.tar"});
  t.s.cwd.clear();
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_TRUE(succeeded(r)) << r.out;
  EXPECT_EQ(r.out, "BRIX: BRIX SUCCESSFUL\n");
  EXPECT_EQ(shellRun("python3 " + checker + " tree " + dest + "/p " + t.corpus(), &out), 0) << out;
  t.noLeftovers();

  // Delete, then undelete: the change reaches the index on the gateway host.
  std::string before = slurp(t.remote("p.tar.idx"));
  r = t.s.run({"-D", "-f", "/home/alice/p.tar", "p/one"});
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("BRIX: d  p/one"), std::string::npos) << r.out;
  EXPECT_TRUE(slurp(t.remote("p.tar.idx")) != before);
  r = t.s.run({"-t", "-f", "/home/alice/p.tar"});
  EXPECT_EQ(grep(split(r.out), " D root/root", " p/one").size(), 1u) << r.out;
  r = t.s.run({"-U", "-f", "/home/alice/p.tar", "p/one"});
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("BRIX: u  p/one"), std::string::npos) << r.out;
  EXPECT_TRUE(slurp(t.remote("p.tar.idx")) == before);
  t.noLeftovers();

  // Build-index writes an index that lists the same members.
  std::string listed = t.s.run({"-t", "-f", "/home/alice/p.tar"}).out;
  ASSERT_EQ(unlink(t.remote("p.tar.idx").c_str()), 0);
  r = t.s.run({"-X", "-f", "/home/alice/p.tar"});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_TRUE(exists(t.remote("p.tar.idx")));
  r = t.s.run({"-t", "-f", "/home/alice/p.tar"});
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(r.out, listed);
  t.noLeftovers();
}
