// The consistency record: an index and the archive it was made with agree;
// a changed archive, a wrong offset or a different record is refused. The
// archive comes from the create operation itself, run in a child process.
#include <fcntl.h>
#include <sys/stat.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "brix_blockio.h"
#include "brix_ustar.h"
#include "brix_test_util.h"
#include "client_process.h"

namespace {

// Runs create for dir/src into dir/a.tar in a child; its exit status.
int createArchive(const TempDir& dir) {
  ChildResult r = runInChild([&] {
    resetBrixState();
    if (chdir(dir.path.c_str()) != 0) return 1;
    static std::vector<std::string> args = {"brix", "src"};
    static std::vector<char*> argv = {args[0].data(), args[1].data(), nullptr};
    brix_argv = argv.data();
    brix_argc = 2;
    brix_optind = 1;
    brix_function = BOP_CREATE;
    brix_filetype = BRIX_LOCAL_FILE;
    brix_archive = strdup("a.tar");
    brix_archive_abs_path = strdup((dir.path + "/a.tar").c_str());
    brix_index_filename = strdup("a.tar.idx");
    setenv("TMPDIR", dir.path.c_str(), 1);
    int rc = brix_Create();
    brix_ExitCleanFiles();
    return rc == 0 ? 0 : 1;
  });
  return r.status;
}

class Consistency : public ::testing::Test {
 protected:
  void SetUp() override {
    resetBrixState();
    writeFileAt(dir / "src/a", "alpha");
    writeFileAt(dir / "src/b", std::string(1000, 'b'));
    ASSERT_EQ(createArchive(dir), 0);
    archive = dir / "a.tar";
    brix_archive = archive.data();
    brix_filetype = BRIX_LOCAL_FILE;
  }
  // The globals point into this fixture's strings: they must not outlive it.
  void TearDown() override {
    brix_archive = nullptr;
    brix_index_filename = nullptr;
  }
  // Opens both and checks them as verify and delete do.
  int verify() {
    brix_index_filename = indexName.data();
    int ix = brix_OpenIndexFile((dir / "a.tar.idx").c_str(), O_RDONLY, BRIX_LOCAL_FILE);
    EXPECT_GE(ix, 0);
    int ar = open(archive.c_str(), O_RDONLY);
    struct stat st;
    fstat(ar, &st);
    brix_archive_blocks = uint64_t(st.st_size) / 512;
    int rc = brix_VerifyConsistencyFile(ar, BRIX_LOCAL_FILE, ix, BRIX_LOCAL_FILE);
    close(ar);
    close(ix);
    return rc;
  }
  TempDir dir;
  std::string archive;
  std::string indexName = "a.tar.idx";
};

}  // namespace

TEST_F(Consistency, IndexAndArchiveAgree) {
  EXPECT_EQ(verify(), 0);
  const bif_consistency_t& cf = brix_index_hdr.bif_cfinfo;
  EXPECT_EQ(std::string(cf.bif_inx_sanity, 8), "BRIX_INX");
  EXPECT_EQ(cf.bif_cf_version, 1u);
  // src, src/a (2 blocks), src/b (3 blocks), the consistency member (2), the end block.
  EXPECT_EQ(cf.bif_tarsize, 9u * 512);
  EXPECT_EQ(cf.bif_brix_filecount, 4u);
  EXPECT_EQ(brix_index_hdr.obj_count, 4u);
  EXPECT_EQ(cf.bif_create_time, cf.bif_cf_rewrite_time);
  // Nothing of the run is left beside the archive and its index.
  std::vector<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(dir.path)) names.push_back(e.path().filename());
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"a.tar", "a.tar.idx", "src"}));
}

TEST_F(Consistency, ChangedArchivesAreRefused) {
  // Another record in the archive's consistency member (its data, block 7).
  std::string tar = readFile(archive);
  tar[7 * 512 + 130] ^= 1;  // inside bif_tarsize
  writeFileAt(archive, tar);
  EXPECT_EQ(verify(), -1);
  // An archive one block longer: the index's last entry no longer fits.
  writeFileAt(archive, readFile(archive) + std::string(512, '\0'));
  EXPECT_EQ(verify(), -1);
}

TEST(ConsistencyRecords, ComparedFieldsOnly) {
  bif_consistency_t a;
  memset(&a, 0, sizeof a);
  memcpy(a.bif_inx_sanity, "BRIX_INX", 8);
  a.bif_cf_version = 1;
  a.bif_cf_rewrite_time = 100;
  a.bif_tarsize = 3072;
  a.bif_brix_filecount = 4;
  bif_consistency_t b = a;
  strcpy(b.bif_chost, "elsewhere");
  b.bif_create_time = 5;
  b.bif_update_time = 6;
  EXPECT_EQ(brix_CheckConsistency(&a, &b), 1);
  for (int field = 0; field < 4; field++) {
    bif_consistency_t c = a;
    if (field == 0) c.bif_cf_version = 2;
    if (field == 1) c.bif_cf_rewrite_time = 101;
    if (field == 2) c.bif_tarsize = 3073;
    if (field == 3) c.bif_brix_filecount = 5;
    EXPECT_EQ(brix_CheckConsistency(&a, &c), 0) << field;
  }
}
