// Buffers kept across transfers: a buffer is never held twice at once,
// however many movers take and give back together, and one given back is
// what the next taker gets rather than fresh memory.
#include <gtest/gtest.h>
#include <string.h>

#include <atomic>
#include <thread>
#include <vector>

#include "buffers.h"

namespace {

TEST(GwsimBuffers, NoBufferIsHeldTwiceAndGivenBackOnesAreTakenAgain) {
  char* first = nullptr;
  {
    gw_Buffer b;
    ASSERT_NE(b.data(), nullptr);
    first = b.data();
  }
  {
    gw_Buffer again;
    EXPECT_EQ(again.data(), first);
  }

  std::atomic<int> clashes{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 12; t++)
    threads.emplace_back([t, &clashes] {
      const char mine = char('A' + t);
      for (int round = 0; round < 200; round++) {
        gw_Buffer a, b;
        if (!a.data() || !b.data() || a.data() == b.data()) {
          clashes++;
          continue;
        }
        // A buffer shared with another holder shows its bytes here.
        memset(a.data(), mine, gw_Buffer::size());
        memset(b.data(), mine, 4096);
        std::this_thread::yield();
        for (size_t at = 0; at < gw_Buffer::size(); at += 4096)
          if (a.data()[at] != mine) clashes++;
        if (b.data()[4095] != mine) clashes++;
      }
    });
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(clashes.load(), 0);
}

}  // namespace
