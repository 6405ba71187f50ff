// brix creates archives in the storage service: the real brix binary
// against gwsim, whose movers fetch the archive through list writes. What
// lands in gwsim's root must be the archive GNU tar and Python read as the
// files were, with its index beside it; write faults along the way must
// either be recovered into the same archive or end in a failure.
#include <gtest/gtest.h>
#include <signal.h>
#include <time.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <thread>
#include <sstream>
#include <string>
#include <vector>

#include "brix_corpus.h"
#include "brix_session.h"

namespace {

std::string storeConfig(const std::string& movers = "", const std::string& extra = "") {
  return "Files = {\n"
         "  /home = {\n    Type = directory\n  }\n"
         "  /home/alice = {\n    Type = directory\n    Uid = 1001\n    Gid = 100\n  }\n"
         "}\n"
         "COS = {\n"
         "  11 = {\n    Name = archive\n  }\n"
         "  4 = {\n    Name = wide\n    StripeWidth = 4\n  }\n"
         "  5 = {\n    Name = five\n    Uids = 1\n  }\n"
         "  6 = {\n    Name = six\n  }\n"
         "}\n"
         "Movers = {\n  Protocol = mover\n" +
         movers + "}\n" + extra;
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

struct StoreCreate {
  explicit StoreCreate(const std::string& movers = "", const std::string& extra = "")
      : s(storeConfig(movers, extra)) {}
  BrixSession s;
  std::string corpus() const { return s.work + "/p"; }
  std::string stored(const std::string& name) const { return s.gw.rootDir() + "/home/alice/" + name; }
};

// The same corpus written locally with -E: the archive the store must hold.
std::string localArchive(BrixSession& s, const std::vector<std::string>& extra = {}) {
  std::vector<std::string> args = {"-c", "-E", "-f", s.work + "/local.tar"};
  args.insert(args.end(), extra.begin(), extra.end());
  args.push_back("p");
  BrixResult r = s.run(args);
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  return slurp(s.work + "/local.tar");
}

}  // namespace

TEST(BrixStoreCreate, CorpusGoesIntoTheStoreAndReadsBack) {
  StoreCreate t;
  ASSERT_TRUE(t.s.ready()) << t.s.gw.stderrText();
  makeCorpus(t.corpus());
  std::string local = localArchive(t.s);
  BrixResult r = t.s.run({"-c", "-H", "crc", "-f", "/home/alice/p.tar", "p"});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("BRIX: BRIX SUCCESSFUL\n"), std::string::npos) << r.out;
  for (const std::string& f : t.s.leftoverTempFiles()) ADD_FAILURE() << "left behind: " << f;
  ASSERT_TRUE(exists(t.stored("p.tar")));
  ASSERT_TRUE(exists(t.stored("p.tar.idx")));
  std::string out;
  EXPECT_EQ(shellRun("tar -tf " + t.stored("p.tar") + " > /dev/null", &out), 0) << out;
  std::string checker = t.s.gw.dir() + "/check.py";
  writeFileAt(checker, kChecker);
  EXPECT_EQ(shellRun("python3 " + checker + " tarfile " + t.stored("p.tar") + " " + t.corpus(), &out), 0) << out;
  // Byte for byte what the local create writes, up to the consistency
  // member and closing block at the end (which name the run's own files).
  std::string remote = slurp(t.stored("p.tar"));
  ASSERT_EQ(local.size(), remote.size());
  ASSERT_GT(local.size(), 4096u);
  EXPECT_TRUE(local.compare(0, local.size() - 2048, remote, 0, local.size() - 2048) == 0);
}

namespace {

// A corpus with a file large enough for faults a megabyte into the archive.
void makeBigCorpus(const std::string& dir) {
  std::string big;
  big.reserve(3 << 20);
  uint32_t x = 12345;
  for (size_t i = 0; i < (3u << 20) + 777; i++) {
    x = x * 1103515245u + 12345u;
    big.push_back(char(x >> 24));
  }
  writeFileAt(dir + "/big.bin", big);
  writeFileAt(dir + "/small.txt", "small\n");
  writeFileAt(dir + "/sub/after.txt", repeat('z', 70000));
}

struct knobCase {
  const char* name;
  const char* movers;  // Movers block lines
  int status;          // brix's exit status
  bool success;        // "BRIX SUCCESSFUL" expected
  const char* logged;  // text brix must print (out or err), or ""
};

}  // namespace

TEST(BrixStoreCreate, WriteFaultsResumeIntoTheSameArchiveOrFail) {
  const knobCase cases[] = {
      {"EIO after 1000000 bytes", "  ShortMove = write 1 1000000\n  Code = write 1 -5\n", 0, true,
       "Truncating archive file by 64 bytes"},
      {"EIO six times at one offset", "  ShortMove = write 1 1000000\n  Code = write 1 -5\n  ShortMove = write 2+ 0\n  Code = write 2+ -5\n",
       72, false, "quor_WriteList error -5, file offset 999936 - aborting"},
      {"EIO five times at one offset",
       "  ShortMove = write 1 1000000\n  Code = write 1 -5\n  ShortMove = write 2 0\n  Code = write 2 -5\n"
       "  ShortMove = write 3 0\n  Code = write 3 -5\n  ShortMove = write 4 0\n  Code = write 4 -5\n"
       "  ShortMove = write 5 0\n  Code = write 5 -5\n  ShortMove = write 6 0\n  Code = write 6 -5\n",
       0, true, "Retrying after I/O error at archive file offset 999936"},
      {"end of media after 1000000 bytes", "  ShortMove = write 1 1000000\n  Code = write 1 -9000\n", 0, true,
       "end-of-media detected at archive offset 1000000"},
      {"no space three times", "  ShortMove = write 1 0\n  Code = write 1 -28\n  ShortMove = write 2 0\n  Code = write 2 -28\n"
       "  ShortMove = write 3 0\n  Code = write 3 -28\n",
       0, true, "OUT OF SPACE writing QUOR archive - delaying/retrying"},
      {"a failure the pipeline does not retry", "  ShortMove = write 1 600000\n  Code = write 1 -13\n", 72, false,
       "quor_WriteList error -13"},
  };
  for (const knobCase& c : cases) {
    SCOPED_TRACE(c.name);
    StoreCreate t(c.movers);
    ASSERT_TRUE(t.s.ready()) << t.s.gw.stderrText();
    makeBigCorpus(t.corpus());
    std::string local = localArchive(t.s);
    BrixResult r = t.s.run({"-c", "-f", "/home/alice/p.tar", "p"});
    EXPECT_EQ(r.status, c.status) << r.out << r.err;
    bool ok = r.out.find("BRIX: BRIX SUCCESSFUL\n") != std::string::npos;
    EXPECT_EQ(ok, c.success) << r.out << r.err;
    EXPECT_NE((r.out + r.err).find(c.logged), std::string::npos) << r.out << r.err;
    for (const std::string& f : t.s.leftoverTempFiles()) ADD_FAILURE() << "left behind: " << f;
    if (!c.success) {
      EXPECT_NE(r.out.find("BRIX: BRIX FAILED\n"), std::string::npos) << r.out;
      EXPECT_FALSE(exists(t.stored("p.tar.idx")));
      continue;
    }
    std::string remote = slurp(t.stored("p.tar"));
    ASSERT_EQ(local.size(), remote.size());
    EXPECT_TRUE(local.compare(0, local.size() - 2048, remote, 0, local.size() - 2048) == 0);
    EXPECT_TRUE(exists(t.stored("p.tar.idx")));
  }
}

// The pipeline's knobs change how the archive is cut, never what it holds.
TEST(BrixStoreCreate, OneReaderAndSmallBuffersWriteTheSameArchive) {
  const std::vector<std::vector<std::string>> variants = {{"-T", "1"}, {"-S", "524288"}, {"-T", "3", "-S", "524288"}};
  StoreCreate t("  MaxRequest = 1000000\n");
  ASSERT_TRUE(t.s.ready()) << t.s.gw.stderrText();
  makeBigCorpus(t.corpus());
  makeCorpus(t.corpus() + "/c");
  std::string local = localArchive(t.s);
  for (const auto& v : variants) {
    SCOPED_TRACE(v[1]);
    std::vector<std::string> args = {"-c", "-f", "/home/alice/p.tar"};
    args.insert(args.end(), v.begin(), v.end());
    args.push_back("p");
    BrixResult r = t.s.run(args);
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    std::string remote = slurp(t.stored("p.tar"));
    ASSERT_EQ(local.size(), remote.size());
    EXPECT_TRUE(local.compare(0, local.size() - 2048, remote, 0, local.size() - 2048) == 0);
  }
}

// SIGUSR1 while list writes go on: the run fails as forced, and neither the
// partial archive nor an index stays in the store.
TEST(BrixStoreCreate, ForcedShutdownRemovesArchiveAndIndexFromTheStore) {
  StoreCreate t("  MaxRequest = 65536\n", "Faults = {\n  Delay = 0x0500 0x1701 3 3000\n}\n");
  ASSERT_TRUE(t.s.ready()) << t.s.gw.stderrText();
  makeBigCorpus(t.corpus());
  t.s.env["QUOR_TEST_TIMESCALE"] = "1";
  BrixRunning run = t.s.start({"-c", "-f", "/home/alice/p.tar", "p"});
  struct stat st;
  for (int i = 0; i < 400; i++) {
    if (stat(t.stored("p.tar").c_str(), &st) == 0 && st.st_size >= 3 * 65536) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(25));
  }
  ASSERT_EQ(stat(t.stored("p.tar").c_str(), &st), 0);
  kill(run.pid, SIGUSR1);
  BrixResult r = t.s.finish(run, 60);
  EXPECT_EQ(r.status, 72) << r.out << r.err;
  EXPECT_NE(r.out.find("BRIX: BRIX FAILED DUE TO FORCED SHUTDOWN\n"), std::string::npos) << r.out << r.err;
  EXPECT_FALSE(exists(t.stored("p.tar")));
  EXPECT_FALSE(exists(t.stored("p.tar.idx")));
  for (const std::string& f : t.s.leftoverTempFiles()) ADD_FAILURE() << "left behind: " << f;
}

namespace {

// The journal lines of list writes (put = true) or list reads of a
// megabyte or more since line `from` (smaller ones are the index's), and
// whether every one of them brought `movers` movers.
bool listRequestsUsed(const BrixSession& s, size_t from, bool put, int movers, std::string* seen) {
  std::vector<std::string> lines = s.gw.journalLines();
  bool any = false, all = true;
  const std::string fn = put ? "fn=0x1701" : "fn=0x1207";
  for (size_t i = from; i < lines.size(); i++) {
    size_t len = lines[i].find(" len=");
    if (lines[i].find(fn) == std::string::npos || len == std::string::npos ||
        std::stoull(lines[i].substr(len + 5)) < (1u << 20))
      continue;
    any = true;
    *seen += lines[i] + "\n";
    if (lines[i].find(" movers=" + std::to_string(movers) + " ") == std::string::npos) all = false;
  }
  return any && all;
}

}  // namespace

// A class four stripes wide: every list write and read of the archive
// brings four movers, one per stripe, whose pieces the buffers cut (also
// with one reader and with buffers half a stripe long); the archive is the
// one the local create writes and reads back whole.
TEST(BrixStoreCreate, WidthFourClassStripesOverFourMovers) {
  StoreCreate t;
  ASSERT_TRUE(t.s.ready()) << t.s.gw.stderrText();
  makeBigCorpus(t.corpus());
  makeCorpus(t.corpus() + "/c");
  std::string local = localArchive(t.s);
  std::string checker = t.s.gw.dir() + "/check.py";
  writeFileAt(checker, kChecker);
  const std::vector<std::vector<std::string>> variants = {{}, {"-T", "1"}, {"-S", "524288"}};
  int n = 0;
  for (const auto& v : variants) {
    SCOPED_TRACE(v.empty() ? "defaults" : v[0]);
    size_t mark = t.s.gw.journalLines().size();
    std::vector<std::string> args = {"-c", "-Y", "4", "-H", "crc", "-f", "/home/alice/p.tar"};
    args.insert(args.end(), v.begin(), v.end());
    args.push_back("p");
    BrixResult r = t.s.run(args);
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("BRIX: BRIX SUCCESSFUL\n"), std::string::npos) << r.out;
    std::string seen;
    EXPECT_TRUE(listRequestsUsed(t.s, mark, true, 4, &seen)) << seen;
    std::string remote = slurp(t.stored("p.tar"));
    ASSERT_EQ(local.size(), remote.size());
    EXPECT_TRUE(local.compare(0, local.size() - 2048, remote, 0, local.size() - 2048) == 0);

    mark = t.s.gw.journalLines().size();
    std::string out = t.s.work + "/out" + std::to_string(n++);
    ASSERT_EQ(mkdir(out.c_str(), 0755), 0);
    std::vector<std::string> x = {"-x", "-p", "-H", "crc", "-f", "/home/alice/p.tar"};
    x.insert(x.end(), v.begin(), v.end());
    t.s.cwd = out;
    r = t.s.run(x);
    t.s.cwd.clear();
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    seen.clear();
    EXPECT_TRUE(listRequestsUsed(t.s, mark, false, 4, &seen)) << seen;
    std::string diff;
    EXPECT_EQ(shellRun("python3 " + checker + " tree " + out + "/p " + t.corpus(), &diff), 0) << diff;
  }
  BrixResult r = t.s.run({"-K", "-H", "verify=2", "-f", "/home/alice/p.tar"});
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  for (const std::string& f : t.s.leftoverTempFiles()) ADD_FAILURE() << "left behind: " << f;
}

// A striped list write fails with nothing moved while the other stripes
// grew the file past the request's start: only what the reply reports
// counts, so the archive is sent again from there and comes out whole,
// also when the failure is one that is retried without a resync (no
// space) and the buffers those stripes emptied were refilled meanwhile.
TEST(BrixStoreCreate, StripeHoleIsNotCreditedToTheArchive) {
  struct {
    const char* movers;
    const char* logged;
  } const cases[] = {
      {"  StripeHole = write 1\n", "Retrying after I/O error at archive file offset 0"},
      {"  StripeHole = write 1\n  Code = write 1 -28\n", "OUT OF SPACE writing QUOR archive - delaying/retrying"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.movers);
    StoreCreate t(c.movers);
    ASSERT_TRUE(t.s.ready()) << t.s.gw.stderrText();
    makeBigCorpus(t.corpus());
    std::string local = localArchive(t.s);
    BrixResult r = t.s.run({"-c", "-Y", "4", "-f", "/home/alice/p.tar", "p"});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("BRIX: BRIX SUCCESSFUL\n"), std::string::npos) << r.out;
    EXPECT_NE((r.out + r.err).find(c.logged), std::string::npos) << r.out << r.err;
    bool held = false;
    for (const std::string& l : t.s.gw.journalLines())
      held = held || (l.find("fn=0x1701") != std::string::npos && l.find("failed=stripe hole") != std::string::npos &&
                      l.find(" moved=0 ") != std::string::npos);
    EXPECT_TRUE(held);
    std::string remote = slurp(t.stored("p.tar"));
    ASSERT_EQ(local.size(), remote.size());
    EXPECT_TRUE(local.compare(0, local.size() - 2048, remote, 0, local.size() - 2048) == 0);
  }
}

// A class the user may not use: the service places the archive in another,
// and brix says so and goes on.
TEST(BrixStoreCreate, ClassRefusedPlacesTheArchiveElsewhereWithAWarning) {
  StoreCreate t;
  ASSERT_TRUE(t.s.ready()) << t.s.gw.stderrText();
  makeBigCorpus(t.corpus());
  BrixResult r = t.s.run({"-c", "-Y", "5", "-f", "/home/alice/p.tar", "p"});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_NE((r.out + r.err).find("[warning] File '/home/alice/p.tar' created on COS 6 [six] instead of specified COS 5"),
            std::string::npos)
      << r.out << r.err;
  EXPECT_TRUE(exists(t.stored("p.tar")));
}

// With expirations enabled in the rc file, the archive and its index both
// get the expiration their owner's entry gives.
TEST(BrixStoreCreate, ExpirationsSetOnArchiveAndIndex) {
  StoreCreate t;
  ASSERT_TRUE(t.s.ready()) << t.s.gw.stderrText();
  makeBigCorpus(t.corpus());
  std::string table = t.s.work + "/expire.cfg";
  writeFileAt(table, "ExpirationByUserId = {\n 1001 = 3d\n}\n");
  writeFileAt(t.s.home + "/.brixrc", "enable_expiration on\nexpire_cfg_path " + table + "\n");
  time_t before = time(nullptr);
  BrixResult r = t.s.run({"-c", "-f", "/home/alice/p.tar", "p"});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  int set = 0;
  for (const std::string& l : t.s.gw.journalLines()) {
    size_t at = l.find(" expire=");
    if (at == std::string::npos) continue;
    bool archive = l.find("path=/home/alice/p.tar ") != std::string::npos;
    bool index = l.find("path=/home/alice/p.tar.idx ") != std::string::npos;
    if (!archive && !index) continue;
    long long when = std::stoll(l.substr(at + 8));
    EXPECT_GE(when, before + 3 * 86400 - 5) << l;
    EXPECT_LE(when, time(nullptr) + 3 * 86400 + 5) << l;
    set |= archive ? 1 : 2;
  }
  EXPECT_EQ(set, 3);
}

// A 5 GiB sparse member: the archive goes out in list writes of at most
// 2 GiB, so three of them (2, 2 and the last 1 GiB and its headers). The
// movers keep nothing (the memory store), so the run's cost is the
// network's alone.
TEST(BrixStoreCreateSlow, FiveGiBSparseArchiveTakesThreeListWrites) {
  StoreCreate t("  Store = memory\n");
  ASSERT_TRUE(t.s.ready()) << t.s.gw.stderrText();
  const uint64_t five = 5ull << 30;
  ASSERT_EQ(mkdir(t.corpus().c_str(), 0755), 0);
  std::string big = t.corpus() + "/sparse.bin";
  writeFileAt(big, "");
  ASSERT_EQ(truncate(big.c_str(), off_t(five)), 0);
  BrixResult r = t.s.run({"-c", "-f", "/home/alice/p.tar", "p"}, "", 600);
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("BRIX: BRIX SUCCESSFUL\n"), std::string::npos) << r.out;
  std::vector<uint64_t> moved;
  for (const std::string& l : t.s.gw.journalLines()) {
    size_t at = l.find(" moved=");
    // (the index's own list write is the small one)
    if (l.find("fn=0x1701") != std::string::npos && at != std::string::npos &&
        std::stoull(l.substr(at + 7)) >= (1u << 20))
      moved.push_back(std::stoull(l.substr(at + 7)));
  }
  ASSERT_EQ(moved.size(), 3u);
  EXPECT_EQ(moved[0], 2ull << 30);
  EXPECT_EQ(moved[1], 2ull << 30);
  EXPECT_GT(moved[2], 1ull << 30);
  EXPECT_LT(moved[2], (1ull << 30) + (1u << 20));
  struct stat st;
  ASSERT_EQ(stat(t.stored("p.tar").c_str(), &st), 0);
  EXPECT_EQ(uint64_t(st.st_size), moved[0] + moved[1] + moved[2]);
}
