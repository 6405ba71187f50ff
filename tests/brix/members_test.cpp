// Member bookkeeping: outcome marks and counts, the missing list, CRCs and
// the fault on an ordinal out of range.
#include <gtest/gtest.h>
#include <signal.h>

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
