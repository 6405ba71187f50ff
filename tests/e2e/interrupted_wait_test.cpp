// A wait for a gateway reply and an interrupt: with the gateway stopped
// (SIGSTOP), an interrupt ends the wait of a thread that allowed it, after
// the grace period, and leaves every other thread's wait alone, which then
// gets its reply once the gateway goes on.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <string>
#include <thread>

#include "client_env.h"
#include "client_process.h"
#include "gwsim_config.h"
#include "gwsim_fixture.h"
#include "quor_api.h"

TEST(InterruptedWait, OnlyAThreadThatAllowedItGivesUp) {
  // When the interrupt comes: while the call waits, after the thread
  // allowed interrupts but before it called, or before it allowed them.
  enum When { kDuringWait, kBeforeWait, kBeforeAllowing };
  struct {
    const char* name;
    int allowed;
    When when;
    bool endsWhileStopped;
    int rc;
  } cases[] = {
      {"interruptible thread", 1, kDuringWait, true, -5000},
      {"background thread", 0, kDuringWait, false, 0},
      {"interrupt between allowing and the call", 1, kBeforeWait, true, -5000},
      {"interrupt before allowing", 1, kBeforeAllowing, false, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    GwsimFixture gw(userConfig("alice", "wonderland").text());
    ASSERT_TRUE(gw.running()) << gw.stderrText();
    ChildResult r = runInChild(
        [&] {
          int failures = 0;
          clientEnvNetrc(gw, "alice", "wonderland");
          setenv("QUOR_TEST_TIMESCALE", "10", 1);  // a grace of 0.2 s
          char cwd[64] = "";
          CHILD_EQ(failures, quor_Getcwd(cwd, sizeof cwd), 0);
          CHILD_EQ(failures, gw.pause(), true);
          std::atomic<int> rc{1};
          std::atomic<bool> done{false};
          std::atomic<bool> allowed{false}, interruptSent{false};
          if (c.when == kBeforeAllowing) quorex_InterruptWaits();
          std::thread caller([&] {
            quorex_WaitsInterruptible(c.allowed);
            allowed = true;
            if (c.when == kBeforeWait)
              while (!interruptSent) usleep(1000);
            char where[64] = "";
            rc = quor_Getcwd(where, sizeof where);
            done = true;
          });
          while (!allowed) usleep(1000);
          if (c.when == kBeforeWait) {
            quorex_InterruptWaits();
            interruptSent = true;
          }
          usleep(200000);
          if (c.when == kDuringWait) quorex_InterruptWaits();
          usleep(1500000);
          CHILD_EQ(failures, done.load(), c.endsWhileStopped);
          gw.resume();
          caller.join();
          CHILD_EQ(failures, rc.load(), c.rc);
          return failures;
        },
        30);
    gw.resume();
    EXPECT_EQ(r.status, 0) << r.stderrText;
  }
}
