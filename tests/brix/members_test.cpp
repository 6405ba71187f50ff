// Member bookkeeping: outcome marks and counts, the missing list, CRCs and
// the fault on an ordinal out of range.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include "brix_test_util.h"
#include "client_process.h"

namespace {

class Members : public ::testing::Test {
 protected:
  void SetUp() override { resetBrixState(); }
  void TearDown() override { brix_FreeMemberFileLists(); }
};

}  // namespace

TEST_F(Members, OutcomesAndCounts) {
  ASSERT_EQ(brix_InitMemberFileLists(10, 0), 0);
  brix_SetMemberFileXferSuccess(2, 0);
  brix_SetMemberFileXferSuccess(2, 1);
  brix_SetMemberFileXferSuccess(3, 0);
  int64_t ok = 0, bad = 0;
  brix_GetMemberFileXferSummary(&ok, &bad);
  EXPECT_EQ(ok, 1);
  EXPECT_EQ(bad, 2);
  brix_FinalizeMemberLists();
  EXPECT_EQ(brix_GetMemberFileXferSuccess(2), 0);
  EXPECT_EQ(brix_GetMemberFileXferSuccess(3), 1);
  EXPECT_EQ(brix_GetMemberFileXferSuccess(10), 0);  // never set: a notice, counted as done
}

TEST_F(Members, MissingListIsDeduplicatedSortedAndGrows) {
  ASSERT_EQ(brix_InitMemberFileLists(200, 0), 0);
  for (int64_t o : {9, 3, 5, 3, 9}) EXPECT_EQ(brix_SetMissingMemberFile(o), 0);
  for (int64_t o = 100; o < 151; o++) EXPECT_EQ(brix_SetMissingMemberFile(o), 0);
  brix_FinalizeMemberLists();
  for (int64_t o : {3, 5, 9, 100, 150}) EXPECT_EQ(brix_GetMemberFileXferSuccess(o), 1) << o;
  brix_SetMemberFileXferSuccess(4, 1);
  EXPECT_EQ(brix_GetMemberFileXferSuccess(4), 0);
  // Asked again, out of order, the answers stay the same.
  EXPECT_EQ(brix_GetMemberFileXferSuccess(9), 1);
  EXPECT_EQ(brix_GetMemberFileXferSuccess(3), 1);
}

TEST_F(Members, CrcsOnlyWithTheCrcOption) {
  brix_option_flags = BRIX_OPT_CRC;
  ASSERT_EQ(brix_InitMemberFileLists(5, 0), 0);
  brix_SetMemberFileXferCRC(4, 0xDEADBEEF);
  EXPECT_EQ(brix_GetMemberFileXferCRC(4), 0xDEADBEEFu);
  EXPECT_EQ(brix_GetMemberFileXferCRC(5), 0u);
  EXPECT_EQ(brix_InitMemberFileLists(2, 5), -1);
  EXPECT_EQ(brix_exit_code, 64);
}

TEST_F(Members, OrdinalOutOfRangeAborts) {
  ChildResult r = runInChild([] {
    resetBrixState();
    brix_InitMemberFileLists(3, 0);
    brix_SetMemberFileXferSuccess(4, 1);
    return 0;
  });
  EXPECT_EQ(r.status, 128 + SIGABRT);
}

// rmlocal removes a file only while it is what was archived: the size its
// member holds, and the size and mtime (to the nanosecond) it had once read.
TEST_F(Members, RmlocalKeepsFilesThatChanged) {
  TempDir dir;
  brix_option_flags = BRIX_OPT_RMLOCAL;
  enum Change { NONE, APPENDED, SAME_SECOND, MARKED, SHORT_MEMBER, FAILED, NOT_READ };
  struct row {
    const char* name;
    Change change;
    bool removed;
  } rows[] = {
      {"kept-as-read", NONE, true},
      {"appended", APPENDED, false},
      {"touched-same-second", SAME_SECOND, false},
      {"changed-while-read", MARKED, false},
      {"member-shorter", SHORT_MEMBER, false},
      {"failed", FAILED, false},
      {"never-read", NOT_READ, false},
  };
  const int n = int(sizeof rows / sizeof rows[0]);
  std::string idx = dir / "x.idx";
  int fd = open(idx.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
  ASSERT_GE(fd, 0);
  brix_index_entries = uint64_t(n);
  memset(&brix_index_hdr, 0, sizeof brix_index_hdr);
  brix_BuildIndexHeader();
  ASSERT_EQ(brix_WriteIndexHeader(fd, BRIX_LOCAL_FILE, idx.c_str(), &brix_index_hdr), 0);
  ASSERT_EQ(brix_InitMemberFileLists(n - 1, 0), 0);
  for (int i = 0; i < n; i++) {
    std::string path = dir / rows[i].name;
    writeFileAt(path, "0123456789");
    struct timespec ts[2] = {{1700000000, 100}, {1700000000, 100}};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), ts, 0), 0);
    bif_entry_t e;
    memset(&e, 0, sizeof e);
    memcpy(e.bent_sanity, "BRIX_IDX", 8);
    e.bent_type = BTO_FILE;
    e.bent_fsize = rows[i].change == SHORT_MEMBER ? 4 : 10;
    e.bent_blocks = 2;
    ASSERT_EQ(brix_SplitMemberPath(path.c_str(), e.bent_name, e.bent_prefix), 0);
    brix_SwapIndexEntry(&e);
    ASSERT_EQ(write(fd, &e, sizeof e), ssize_t(sizeof e));
    brix_SetMemberFileXferSuccess(i, rows[i].change != FAILED);
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    if (rows[i].change != NOT_READ) brix_SetMemberFileReadState(i, &st);
    if (rows[i].change == MARKED) brix_SetMemberFileChanged(i);
    if (rows[i].change == APPENDED) {
      writeFileAt(path, "0123456789+");
      ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), ts, 0), 0);
    }
    ts[1].tv_nsec = 200;
    if (rows[i].change == SAME_SECOND) {
      ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), ts, 0), 0);
    }
  }
  brix_FinalizeMemberLists();
  EXPECT_EQ(brix_RemoveMemberFiles(fd, BRIX_LOCAL_FILE), 0);
  close(fd);
  for (const row& w : rows) EXPECT_EQ(access((dir / w.name).c_str(), F_OK) != 0, w.removed) << w.name;
  EXPECT_EQ(brix_exit_code, 1) << "files kept because they changed are reported";
}
