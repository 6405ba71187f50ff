// brix creates archives in the storage service: the real brix binary
// against gwsim, whose movers fetch the archive through list writes. What
// lands in gwsim's root must be the archive GNU tar and Python read as the
// files were, with its index beside it; write faults along the way must
// either be recovered into the same archive or end in a failure.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
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
