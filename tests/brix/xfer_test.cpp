// The transfer control record's buffer pool and queues, and the progress
// text.
#include <gtest/gtest.h>
#include <string.h>

#include <string>
#include <vector>

#include "brix_xfer.h"
#include "brix_test_util.h"

namespace {

class Xfer : public ::testing::Test {
 protected:
  void SetUp() override {
    resetBrixState();
    ctl = new transfer_t();
    ASSERT_EQ(brix_InitXferLocks(ctl), 0);
  }
  void TearDown() override {
    brix_CleanupIoBuffers(ctl);
    brix_FreeXferLocks(ctl);
    delete ctl;
  }
  std::vector<io_buffer_t*> queue(io_buffer_t* head) {
    std::vector<io_buffer_t*> v;
    for (; head; head = head->next) v.push_back(head);
    return v;
  }
  transfer_t* ctl = nullptr;
};

}  // namespace

TEST_F(Xfer, PoolIsTwoBuffersPerStripeOfWholeBlocks) {
  brix_iobufsize = 524289;
  brix_archive_stripewidth = 1;
  ASSERT_EQ(brix_AllocateIoBuffers(ctl), 0);
  auto bufs = queue(ctl->bufEmptyQueue);
  ASSERT_EQ(bufs.size(), 2u);
  for (io_buffer_t* b : bufs) {
    EXPECT_EQ(b->bufSizeBlocks, 1025);
    EXPECT_EQ(b->bufSize, 524800);
    EXPECT_EQ(b->state, IOB_STATE_READING);
    EXPECT_EQ(b->bufFlags & 3u, 3u);
  }
  brix_CleanupIoBuffers(ctl);
  brix_archive_stripewidth = 3;
  ASSERT_EQ(brix_AllocateIoBuffers(ctl), 0);
  EXPECT_EQ(queue(ctl->bufEmptyQueue).size(), 6u);
  brix_archive_stripewidth = 1;
}

TEST_F(Xfer, ReturningBuffersKeepsQueueOrder) {
  brix_archive_stripewidth = 3;
  ASSERT_EQ(brix_AllocateIoBuffers(ctl), 0);
  brix_archive_stripewidth = 1;
  auto all = queue(ctl->bufEmptyQueue);
  ASSERT_EQ(all.size(), 6u);
  for (auto* b : all) b->next = nullptr;
  // empty: 0; ready: 1 2 (by offset); fill: 3 4 5
  ctl->bufEmptyQueue = all[0];
  ctl->bufReadyQueue = nullptr;
  all[2]->fileOffset = 100;
  all[1]->fileOffset = 100;
  brix_InsertReadyQueue(ctl, all[2]);
  brix_InsertReadyQueue(ctl, all[1]);  // equal offset: goes first
  EXPECT_EQ(queue(ctl->bufReadyQueue), (std::vector<io_buffer_t*>{all[1], all[2]}));
  ctl->bufFillQueue = all[3];
  all[3]->next = all[4];
  all[4]->next = all[5];
  ctl->bufFillQueueTail = all[5];
  all[4]->bufFlags |= IOB_FLAG_RESET | IOB_FLAG_END_OF_RANGE;
  all[4]->dataLength = 77;
  all[4]->ioCount = 2;
  all[4]->fileOffset = 4096;
  brix_MoveBuffersToEmptyQueue(ctl);
  EXPECT_EQ(queue(ctl->bufEmptyQueue), all);
  EXPECT_EQ(ctl->bufReadyQueue, nullptr);
  EXPECT_EQ(ctl->bufFillQueue, nullptr);
  EXPECT_EQ(all[4]->bufFlags, IOB_FLAG_LOCK | IOB_FLAG_COND);
  EXPECT_EQ(all[4]->dataLength, 0u);
  EXPECT_EQ(all[4]->ioCount, 0);
  EXPECT_EQ(all[4]->fileOffset, 4096u);
}

TEST_F(Xfer, SharedMemoryIsRefusedAndEmptyBuffersCleanUp) {
  io_buffer_t b;
  memset(static_cast<void*>(&b), 0, sizeof b);
  EXPECT_EQ(brix_InitRwBuf(&b, 1), -1);
  EXPECT_EQ(brix_CleanIoBuf(&b), 0);
  EXPECT_EQ(brix_CleanupIoBuffers(nullptr), 0);
}

TEST(XferProgress, Texts) {
  char t[96];
  brix_FormatXferProgress(1500000, 3000000, t, sizeof t);
  EXPECT_STREQ(t, "1.5 MB transferred (50.0%)");
  brix_FormatXferProgress(5000000, 3000000, t, sizeof t);
  EXPECT_STREQ(t, "3.0 MB transferred (100.0%)");
  brix_FormatXferProgress(0, 0, t, sizeof t);
  EXPECT_STREQ(t, "0.0 MB transferred ");
}
