// The send callback of a remote archive write: it hands the buffers the
// create side fills to the lfx send strictly in archive order, waiting for
// the one at its position however the others arrive, and gives up when the
// transfer stops.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "brix_lfx.h"
#include "brix_test_util.h"

namespace {

class LfxFeed : public ::testing::Test {
 protected:
  void SetUp() override {
    resetBrixState();
    brix_iobufsize = 4096;
    brix_archive_stripewidth = 2;
    ctl = new transfer_t();
    ASSERT_EQ(brix_InitXferLocks(ctl), 0);
    ASSERT_EQ(brix_AllocateIoBuffers(ctl), 0);
    ASSERT_EQ(brix_InitConReqEntry(&ctl->lfxFileInfo.lfxBufRequest), 0);
    ctl->transfer_active = 1;
    xfer_ctl = ctl;
    for (io_buffer_t* b = ctl->bufEmptyQueue; b; b = b->next) bufs.push_back(b);
    ctl->bufEmptyQueue = nullptr;
  }
  void TearDown() override {
    xfer_ctl = nullptr;
    brix_CleanReqQueueEntry(&ctl->lfxFileInfo.lfxBufRequest);
    brix_CleanupIoBuffers(ctl);
    brix_FreeXferLocks(ctl);
    delete ctl;
    brix_archive_stripewidth = 1;
  }
  // What the create side does with a filled buffer: onto the ready queue
  // in offset order, waking a send waiting for an address it covers.
  void deliver(io_buffer_t* b, uint64_t offset) {
    pthread_mutex_lock(&ctl->bufQueueLock);
    b->fileOffset = offset;
    b->dataLength = 4096;
    b->state = IOB_STATE_FILLED;
    brix_InsertReadyQueue(ctl, b);
    io_bufreq_t* q = ctl->requestQueue;
    if (q && q->dataAddress >= offset && q->dataAddress < offset + b->dataLength) {
      pthread_mutex_lock(&q->reqLock);
      ctl->requestQueue = q->next;
      q->next = nullptr;
      pthread_cond_signal(&q->reqCond);
      pthread_mutex_unlock(&q->reqLock);
    }
    pthread_mutex_unlock(&ctl->bufQueueLock);
  }
  transfer_t* ctl = nullptr;
  std::vector<io_buffer_t*> bufs;
};

}  // namespace

TEST_F(LfxFeed, BuffersGoOutInArchiveOrderWhateverOrderTheyArrive) {
  // Arrival orders of four buffers at 0, 4096, 8192 and 12288.
  const std::vector<std::vector<int>> orders = {{0, 1, 2, 3}, {3, 2, 1, 0}, {1, 0, 3, 2}, {2, 3, 0, 1}};
  for (const auto& order : orders) {
    ctl->lfxFileInfo.currentFillPos = 0;
    std::vector<uint64_t> sent;
    std::atomic<int> rc{0};
    std::thread sender([&] {
      for (int i = 0; i < 4; i++) {
        io_buffer_t* b = nullptr;
        if (RemoteDataCallback(&b) != 0 || !b) {
          rc = -1;
          return;
        }
        sent.push_back(b->fileOffset);
      }
    });
    for (int i : order) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
      deliver(bufs[size_t(i)], uint64_t(i) * 4096);
    }
    sender.join();
    ASSERT_EQ(rc.load(), 0);
    EXPECT_EQ(sent, (std::vector<uint64_t>{0, 4096, 8192, 12288}));
    EXPECT_EQ(ctl->lfxFileInfo.currentFillPos, 16384u);
    EXPECT_EQ(ctl->bufReadyQueue, nullptr);
    EXPECT_EQ(ctl->requestQueue, nullptr);
  }
}

TEST_F(LfxFeed, AWaitingSendGivesUpWhenTheTransferStops) {
  for (const char* how : {"abort", "inactive"}) {
    SCOPED_TRACE(how);
    ctl->abortSignalled = 0;
    ctl->transfer_active = 1;
    ctl->lfxFileInfo.currentFillPos = 0;
    // A buffer further on is there; the one at the position never comes.
    deliver(bufs[1], 4096);
    std::atomic<int> rc{1};
    io_buffer_t* got = reinterpret_cast<io_buffer_t*>(&rc);
    std::thread sender([&] { rc = RemoteDataCallback(&got); });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    if (std::string(how) == "abort") ctl->abortSignalled = 1;
    else ctl->transfer_active = 0;
    sender.join();
    EXPECT_EQ(rc.load(), -1);
    EXPECT_EQ(got, nullptr);
    EXPECT_EQ(ctl->requestQueue, nullptr);
    pthread_mutex_lock(&ctl->bufQueueLock);
    ctl->bufReadyQueue = nullptr;
    pthread_mutex_unlock(&ctl->bufQueueLock);
  }
}
