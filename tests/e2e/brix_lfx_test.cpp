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

std::string joinLines(const std::vector<std::string>& lines) {
  std::string all;
  for (const std::string& l : lines) all += l + "\n";
  return all;
}

// The value of " key=VALUE" in a journal line.
std::string field(const std::string& line, const std::string& key) {
  size_t p = line.find(" " + key + "=");
  if (p == std::string::npos) return "";
  p += key.size() + 2;
  size_t e = line.find(' ', p);
  return line.substr(p, e == std::string::npos ? std::string::npos : e - p);
}

// The init's own flags word (the line's first one is the message's).
unsigned long initFlags(const std::string& line) {
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
    // The gateway's connections are awaited 60 s of the library's clock:
    // 3 s here, so a loaded machine still connects in time.
    s.env["QUOR_TEST_TIMESCALE"] = "20";
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
bool failed(const BrixResult& r) { return r.out.find("BRIX FAILED") != std::string::npos; }

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

namespace {

// Five members whose data lie apart: selecting the 1st, 3rd and 5th reads
// three ranges of the archive.
void makeFive(const std::string& dir) {
  for (int i = 1; i <= 5; i++) writeFileAt(dir + "/f" + std::to_string(i), repeat(char('a' + i), 5000 + 700 * size_t(i)));
}

// The init lines of the data transfers that went over a connection.
std::vector<std::string> dataInits(const std::vector<std::string>& inits) {
  std::vector<std::string> out;
  for (const std::string& l : inits)
    if (field(l, "addrs") == "1") out.push_back(l);
  return out;
}

}  // namespace

// An index of exactly the small-file size travels inline, one byte over
// it over a data connection; either way the index on the gateway host is
// the one written, and reads back.
TEST(BrixLfx, IndexInlineUpToTheSmallFileSize) {
  LfxBrix t;
  ASSERT_TRUE(t.s.ready()) << t.s.gw.stderrText();
  makeFive(t.s.work + "/d");
  ASSERT_EQ(t.s.run({"-c", "-f", "/home/alice/a.tar", "d"}).status, 0);
  struct stat st;
  ASSERT_EQ(stat(t.remote("a.tar.idx").c_str(), &st), 0);
  const long long size = st.st_size;
  for (long long limit : {size, size - 1}) {
    SCOPED_TRACE("max_small_file_size " + std::to_string(limit));
    writeFileAt(t.s.home + "/.brixrc", "max_small_file_size " + std::to_string(limit) + "\n");
    size_t before = t.lfxInits().size();
    BrixResult r = t.s.run({"-c", "-f", "/home/alice/b.tar", "d"});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    std::vector<std::string> in = t.lfxInits();
    std::vector<std::string> idx = grep(std::vector<std::string>(in.begin() + long(before), in.end()),
                                        "path=/home/alice/b.tar.idx ");
    ASSERT_EQ(idx.size(), 1u) << joinLines(in);
    EXPECT_EQ(field(idx[0], "len"), std::to_string(size));
    bool inlined = limit >= size;
    EXPECT_EQ((initFlags(idx[0]) & 0x80000000u) != 0, inlined) << idx[0];
    EXPECT_EQ(field(idx[0], "addrs"), inlined ? "0" : "1") << idx[0];
    ASSERT_EQ(stat(t.remote("b.tar.idx").c_str(), &st), 0);
    EXPECT_EQ(st.st_size, size);
    // The fetch of the index for a listing goes the same way.
    before = t.lfxInits().size();
    r = t.s.run({"-t", "-f", "/home/alice/b.tar"});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("d/f5"), std::string::npos) << r.out;
    in = t.lfxInits();
    idx = grep(std::vector<std::string>(in.begin() + long(before), in.end()), "path=/home/alice/b.tar.idx ");
    ASSERT_EQ(idx.size(), 1u);
    EXPECT_EQ((initFlags(idx[0]) & 0x40000000u) != 0, inlined) << idx[0];
    t.noLeftovers();
  }
}

// An extract of three ranges: the first data socket (pool id 0) is closed
// after its transfer, the second (id 1) is kept and offered again,
// connected, for the third.
TEST(BrixLfx, DataSocketsArePooledAfterTheFirst) {
  LfxBrix t;
  ASSERT_TRUE(t.s.ready()) << t.s.gw.stderrText();
  makeFive(t.s.work + "/d");
  ASSERT_EQ(t.s.run({"-c", "-f", "/home/alice/a.tar", "d"}).status, 0);
  std::string dest = t.s.work + "/x";
  mkdir(dest.c_str(), 0755);
  t.s.cwd = dest;
  size_t before = t.lfxInits().size();
  BrixResult r = t.s.run({"-x", "-f", "/home/alice/a.tar", "d/f1", "d/f3", "d/f5"});
  t.s.cwd.clear();
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  for (const char* f : {"f1", "f3", "f5"})
    EXPECT_TRUE(slurp(dest + "/d/" + f) == slurp(t.s.work + "/d/" + f)) << f;
  EXPECT_FALSE(exists(dest + "/d/f2"));
  std::vector<std::string> in = t.lfxInits();
  std::vector<std::string> data = dataInits(std::vector<std::string>(in.begin() + long(before), in.end()));
  ASSERT_EQ(data.size(), 3u) << joinLines(in);
  EXPECT_EQ(field(data[0], "pool"), "0");
  EXPECT_EQ(field(data[0], "pre"), "0");
  EXPECT_EQ(field(data[1], "pool"), "1");
  EXPECT_EQ(field(data[1], "pre"), "0");
  EXPECT_EQ(field(data[2], "pool"), "1");
  EXPECT_EQ(field(data[2], "pre"), "1");
  for (const std::string& l : data) EXPECT_EQ(l.find("reused-id"), std::string::npos) << l;
  for (const std::string& l : grep(t.s.gw.journalLines(), "lfx-complete")) EXPECT_NE(l.find("status=0 "), std::string::npos) << l;
  t.noLeftovers();
}

namespace {

struct ruleCase {
  const char* name;
  const char* rule;  // Lfx block line
  const char* op;    // "create", "extract" or "list"
  const char* says;  // text brix must print (out or err); alternatives split by '|'
};

bool saysAny(const std::string& text, const std::string& alternatives) {
  size_t from = 0;
  for (;;) {
    size_t bar = alternatives.find('|', from);
    if (text.find(alternatives.substr(from, bar == std::string::npos ? bar : bar - from)) != std::string::npos)
      return true;
    if (bar == std::string::npos) return false;
    from = bar + 1;
  }
}

}  // namespace

// Each gateway-side failure of an lfx transfer ends the operation in its
// error and FAILED: never SUCCESSFUL with a short archive or member.
TEST(BrixLfx, EveryTransferFailureEndsInFailed) {
  const ruleCase cases[] = {
      {"create, failing status", "FailStatus = 1", "create", "status -5"},
      {"create, gateway never connects", "NoConnect = 1", "create", "error -110 accepting 1 connections from server"},
            // The archive's tail may still be in flight, or already sent, when
      // the gateway closes: the send fails, or the archive is found short.
      {"create, connection closed early", "CloseEarly = 1", "create", "bytes of|unrecovered error"},
      {"create, short count with status 0", "ShortCompletion = 1", "create", "gateway reports"},
      {"create, count one too many", "MiscountCompletion = 1", "create", "gateway reports"},
      {"extract, failing status", "FailStatus = 1", "extract", "status -5"},
      {"extract, connection closed early", "CloseEarly = 1", "extract", "still to come"},
      {"extract, short count with status 0", "ShortCompletion = 1", "extract", "gateway reports"},
      {"extract, gateway never connects", "NoConnect = 1", "extract", "error -110 accepting 1 connections from server"},
      {"extract, pooled socket forgotten", "ForgetPool = 3", "extract", "refused by the gateway (error -9)"},
      {"list, inline index short", "InlineShort = 1", "list", "came inline"},
  };
  for (const ruleCase& k : cases) {
    SCOPED_TRACE(k.name);
    std::string op = k.op;
    // The rule counts from the first transfer of the operation under test:
    // the archive a read needs is made by a gateway without it.
    LfxBrix t(op == "create" ? std::string("  ") + k.rule + "\n" : "");
    ASSERT_TRUE(t.s.ready()) << t.s.gw.stderrText();
    makeFive(t.s.work + "/d");
    writeFileAt(t.s.work + "/d/big", repeat('q', 3 << 20));
    BrixResult r;
    if (op == "create") {
      r = t.s.run({"-c", "-f", "/home/alice/a.tar", "d"});
    } else {
      BrixResult made = t.s.run({"-c", "-f", "/home/alice/a.tar", "d"});
      ASSERT_EQ(made.status, 0) << made.out << made.err;
      LfxBrix again(std::string("  ") + k.rule + "\n");
      ASSERT_TRUE(again.s.ready());
      ASSERT_EQ(shellRun("cp -p " + t.remote("a.tar") + " " + t.remote("a.tar.idx") + " " + again.remote("")), 0);
      std::string dest = again.s.work + "/x";
      mkdir(dest.c_str(), 0755);
      again.s.cwd = dest;
      if (op == "extract")
        r = again.s.run({"-x", "-f", "/home/alice/a.tar", "d/big", "d/f2", "d/f4"});
      else
        r = again.s.run({"-t", "-f", "/home/alice/a.tar"});
      if (op == "extract") {
        // Whatever was restored is never a short member passed off whole.
        std::string got = slurp(dest + "/d/big");
        EXPECT_TRUE(got.empty() || got == slurp(t.s.work + "/d/big") || r.status != 0);
      }
      again.noLeftovers();
    }
    std::string both = r.out + r.err;
    EXPECT_NE(r.status, 0) << both;
    EXPECT_LT(r.status, 128) << "no crash: " << both;
    EXPECT_TRUE(failed(r)) << both;
    EXPECT_FALSE(succeeded(r)) << both;
    EXPECT_TRUE(saysAny(both, k.says)) << both;
  }
}

// A delete whose changed index cannot be sent back to the gateway host
// fails, and the index there stays as it was; a quit at the prompt sends
// nothing either. No local copy is left behind.
TEST(BrixLfx, DeleteWhoseIndexCannotGoBackFails) {
  LfxBrix t;
  ASSERT_TRUE(t.s.ready()) << t.s.gw.stderrText();
  makeFive(t.s.work + "/d");
  ASSERT_EQ(t.s.run({"-c", "-f", "/home/alice/a.tar", "d"}).status, 0);
  std::string before = slurp(t.remote("a.tar.idx"));
  // Readable, but alice can neither replace nor rewrite it.
  ASSERT_EQ(chmod(t.remote("").c_str(), 0555), 0);
  ASSERT_EQ(chmod(t.remote("a.tar.idx").c_str(), 0444), 0);
  BrixResult r = t.s.run({"-D", "-f", "/home/alice/a.tar", "d/f2"});
  chmod(t.remote("").c_str(), 0755);
  EXPECT_NE(r.status, 0) << r.out << r.err;
  EXPECT_TRUE(failed(r)) << r.out << r.err;
  EXPECT_FALSE(succeeded(r)) << r.out;
  EXPECT_NE((r.out + r.err).find("Error on brix_LocalFileSend for temp index file"), std::string::npos)
      << r.out << r.err;
  EXPECT_TRUE(slurp(t.remote("a.tar.idx")) == before);
  t.noLeftovers();
  r = t.s.run({"-t", "-f", "/home/alice/a.tar"});
  EXPECT_EQ(grep(split(r.out), " D root/root").size(), 0u) << r.out;
}
