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
