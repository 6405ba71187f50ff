// The command relay and the gateway log against gwsim: replies streamed to
// the callback in order, commands left to the client, a stream cut short,
// the standard-error flag, interrupts of a waiting command, and log lines
// reaching the gateway's journal.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "client_env.h"
#include "client_process.h"
#include "gwsim_config.h"
#include "gwsim_fixture.h"
#include "journal_text.h"
#include "quor_api.h"
#include "quor_api_internal.h"

namespace {

const std::string kConfig = [] {
  GwsimConfig c;
  c.user("alice", "wonderland").set("Uid", 1001).set("Gid", 100);
  c.section("Commands").block("ls -l").set("Listing", "alpha").set("Error", "beta failed")
      .set("Status", "2 files").set("Chdir", "/home/alice/sub").set("Exit", 3);
  c.section("Commands").block("slow").set("Listing", "started").flag("WaitInterrupt")
      .set("Status", "interrupted").set("Exit", 130);
  c.section("Commands").block("crash").set("Listing", "partial").flag("Drop");
  c.section("Commands").block("help").set("NotHandled", "0 see the local help");
  return c.text();
}();

// What the callback was handed, in order (one child process each).
struct Seen {
  uint32_t flags;
  uint32_t sync;
  std::string text;
};
std::vector<Seen> seen;
// Called from inside the callback once, after the first reply (0: never).
int (*afterFirst)(void) = nullptr;

int record(uint32_t* flags, uint32_t* sync, int32_t* len, char** msg) {
  std::string text = *msg && *len > 0 ? std::string(*msg, size_t(*len)) : "";
  seen.push_back(Seen{*flags, *sync, text});
  free(*msg);
  *msg = nullptr;
  if (seen.size() == 1 && afterFirst) afterFirst();
  return 0;
}

int relay(const std::string& line, int* exitCode, uint32_t* flags) {
  return ozugw_cli_SendCommand(1, int(line.size()) + 1, line.c_str(), record, exitCode, flags);
}

}  // namespace

// Every reply reaches the callback in the order sent, the last one too; the
// last reply's exit code and flags come back.
TEST(Relay, StreamsRepliesInOrder) {
  GwsimFixture gw(kConfig);
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  ChildResult r = runInChild([&] {
    int failures = 0;
    clientEnvAs(gw, "alice", "wonderland");
    int exitCode = -1;
    uint32_t flags = 0;
    int rc = relay("ls -l", &exitCode, &flags);
    CHILD_CHECK(failures, rc == 0);
    CHILD_CHECK(failures, exitCode == 3);
    CHILD_CHECK(failures, flags == 1);
    const Seen want[] = {{0x2, 0, "alpha"},
                         {0x4, 0, "beta failed"},
                         {0x10, 0, "2 files"},
                         {0x20000000, 1, "/home/alice/sub"},
                         {0x1, 0, ""}};
    CHILD_CHECK(failures, seen.size() == 5);
    for (size_t i = 0; i < seen.size() && i < 5; i++) {
      CHILD_CHECK(failures, seen[i].flags == want[i].flags);
      CHILD_CHECK(failures, seen[i].sync == want[i].sync);
      CHILD_CHECK(failures, seen[i].text == want[i].text);
    }
    // The connection is still in step for the next exchange.
    seen.clear();
    CHILD_CHECK(failures, relay("ls -l", &exitCode, &flags) == 0 && seen.size() == 5);
    return failures;
  });
  EXPECT_EQ(r.status, 0) << r.stderrText;
  EXPECT_EQ(countLines(gw.journalLines(), "len=6 cmd=ls -l"), 2);
}

// A line the gateway does not run: one -9000 reply, never shown to the
// callback.
TEST(Relay, LineWithoutScriptIsLeftToTheClient) {
  GwsimFixture gw(kConfig);
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  ChildResult r = runInChild([&] {
    int failures = 0;
    clientEnvAs(gw, "alice", "wonderland");
    int exitCode = 55;
    uint32_t flags = 0;
    int rc = relay("lcd /tmp", &exitCode, &flags);
    CHILD_CHECK(failures, rc == OZUGW_CLI_NOT_HANDLED);
    CHILD_CHECK(failures, (flags & 1u) != 0);
    CHILD_CHECK(failures, seen.empty());
    return failures;
  });
  EXPECT_EQ(r.status, 0) << r.stderrText;
  EXPECT_EQ(countLines(gw.journalLines(), "cmd=lcd /tmp"), 1);
}

// A -9000 reply ends the relay even when it carries text and lacks the
// last-reply flag: nothing more is coming for that command, and the
// connection goes on.
TEST(Relay, AnyNotHandledReplyEndsTheRelay) {
  GwsimFixture gw(kConfig);
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  ChildResult r = runInChild(
      [&] {
        int failures = 0;
        clientEnvAs(gw, "alice", "wonderland");
        int exitCode = 55;
        uint32_t flags = 0;
        CHILD_EQ(failures, relay("help", &exitCode, &flags), OZUGW_CLI_NOT_HANDLED);
        CHILD_CHECK(failures, (flags & 1u) != 0);
        CHILD_CHECK(failures, seen.empty());
        CHILD_EQ(failures, relay("ls -l", &exitCode, &flags), 0);
        CHILD_EQ(failures, exitCode, 3);
        return failures;
      },
      20);
  EXPECT_EQ(r.status, 0) << r.stderrText;
  auto j = gw.journalLines();
  EXPECT_EQ(countLines(j, "cmd=help"), 1);
  EXPECT_EQ(countLines(j, "fn=0x0104"), 1);
}

// A refusal without a body ends the relay instead of leaving it waiting for
// a last reply that cannot come.
TEST(Relay, RefusalWithoutBodyEndsTheRelay) {
  GwsimFixture gw(std::string(kConfig) + "Faults = {\n  Error = 0x1500 0x0200 1 -5\n}\n");
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  ChildResult r = runInChild([&] {
    int failures = 0;
    clientEnvAs(gw, "alice", "wonderland");
    int exitCode = 55;
    uint32_t flags = 0;
    int rc = relay("ls -l", &exitCode, &flags);
    CHILD_CHECK(failures, rc == -5 && exitCode == -5 && flags == 1);
    CHILD_CHECK(failures, seen.size() == 1 && seen[0].text.empty());
    // The next command is answered in step.
    seen.clear();
    CHILD_CHECK(failures, relay("ls -l", &exitCode, &flags) == 0 && exitCode == 3);
    CHILD_CHECK(failures, seen.size() == 5);
    return failures;
  }, 20);
  EXPECT_EQ(r.status, 0) << r.stderrText;
  EXPECT_EQ(countLines(gw.journalLines(), "fault=error"), 1);
}

// The gateway goes away after one reply: what arrived was handed over, the
// result and exit code are the receive's failure, the flags 1.
TEST(Relay, ConnectionDroppedMidStream) {
  GwsimFixture gw(kConfig);
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  ChildResult r = runInChild([&] {
    int failures = 0;
    clientEnvAs(gw, "alice", "wonderland");
    int exitCode = 55;
    uint32_t flags = 0;
    int rc = relay("crash", &exitCode, &flags);
    CHILD_CHECK(failures, rc < 0);
    CHILD_CHECK(failures, exitCode == rc);
    CHILD_CHECK(failures, flags == 1);
    CHILD_CHECK(failures, seen.size() == 1 && seen[0].text == "partial");
    return failures;
  });
  EXPECT_EQ(r.status, 0) << r.stderrText;
  EXPECT_EQ(countLines(gw.journalLines(), "relay-drop"), 1);
}

// Flag 0x80000000 goes with the caller's flags exactly when standard error
// is no terminal.
TEST(Relay, StandardErrorFlag) {
  struct Case {
    bool terminal;
    const char* journal;
  } cases[] = {
      {false, "cmdflags=0x80000001 "},
      {true, "cmdflags=0x00000001 "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.journal);
    GwsimFixture gw(kConfig);
    ASSERT_TRUE(gw.running()) << gw.stderrText();
    ChildResult r = runInChild([&] {
      int failures = 0;
      clientEnvAs(gw, "alice", "wonderland");
      if (c.terminal) {
        int master = posix_openpt(O_RDWR | O_NOCTTY);
        CHILD_CHECK(failures, master >= 0 && grantpt(master) == 0 && unlockpt(master) == 0);
        if (master < 0) return failures;
        int slave = open(ptsname(master), O_RDWR | O_NOCTTY);
        CHILD_CHECK(failures, slave >= 0 && dup2(slave, 2) == 2);
      } else {
        int f = open("/dev/null", O_WRONLY);
        CHILD_CHECK(failures, f >= 0 && dup2(f, 2) == 2);
      }
      int exitCode = 0;
      uint32_t flags = 0;
      CHILD_CHECK(failures, relay("ls -l", &exitCode, &flags) == 0);
      return failures;
    });
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(countLines(gw.journalLines(), c.journal), 1);
  }
}

// A command that waits for the interrupt: the notice goes out while the
// relay waits, from the callback's thread (as a signal handler would) or
// from another thread, and the relay then receives the rest.
TEST(Relay, InterruptOfAWaitingCommand) {
  for (bool otherThread : {false, true}) {
    SCOPED_TRACE(otherThread ? "other thread" : "same thread");
    GwsimFixture gw(kConfig);
    ASSERT_TRUE(gw.running()) << gw.stderrText();
    ChildResult r = runInChild([&] {
      int failures = 0;
      clientEnvAs(gw, "alice", "wonderland");
      // Set before the notice goes: the relay may receive the rest before
      // the sending call has returned.
      static std::atomic<int> sent{0};
      static int sendRc = -99;
      std::thread helper;
      if (otherThread) {
        helper = std::thread([&] {
          if (gw.waitForJournal("cmd=slow")) {
            sent = 1;
            sendRc = ozugw_cli_SendInterrupt(1, 0);
          }
        });
      } else {
        afterFirst = [] {
          sent = 1;
          sendRc = ozugw_cli_SendInterrupt(1, 0);
          return 0;
        };
      }
      int exitCode = 0;
      uint32_t flags = 0;
      int rc = relay("slow", &exitCode, &flags);
      int sentWhenDone = sent;
      if (helper.joinable()) helper.join();
      CHILD_CHECK(failures, rc == 0);
      CHILD_CHECK(failures, sendRc == 0);
      CHILD_CHECK(failures, sentWhenDone == 1);
      CHILD_CHECK(failures, exitCode == 130 && flags == 1);
      CHILD_CHECK(failures, seen.size() == 3);
      if (seen.size() == 3) {
        CHILD_CHECK(failures, seen[0].text == "started" && seen[1].text == "interrupted");
        CHILD_CHECK(failures, seen[1].flags == 0x10 && seen[2].flags == 0x1);
      }
      return failures;
    }, 60);
    EXPECT_EQ(r.status, 0) << r.stderrText;
    // gwsim may act on the interrupt before its journal line is written.
    EXPECT_TRUE(gw.waitForJournal("flags=0xa0000000 intflags=0x1 sig=0"));
    auto j = gw.journalLines();
    EXPECT_EQ(countLines(j, "cat=0x1500 fn=0x0202"), 1);
    EXPECT_EQ(countLines(j, "flags=0xa0000000 intflags=0x1 sig=0"), 1);
  }
}

// With the socket dead, the notice fails at once, and a relay fails with
// flags 1 and the exit code untouched.
TEST(Relay, SendFailures) {
  GwsimFixture gw(kConfig);
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  ChildResult r = runInChild([&] {
    int failures = 0;
    clientEnvAs(gw, "alice", "wonderland");
    CHILD_CHECK(failures, ozugw_cli_SetWindowSize(24, 80) == 0);
    quor_connection_t* c = qelapi_getCurConnection();
    CHILD_CHECK(failures, c != nullptr);
    if (!c) return failures;
    shutdown(c->ctl_fd, SHUT_RDWR);
    auto t0 = std::chrono::steady_clock::now();
    CHILD_CHECK(failures, ozugw_cli_SendInterrupt(1, 0) < 0);
    auto waited = std::chrono::steady_clock::now() - t0;
    CHILD_CHECK(failures, waited < std::chrono::seconds(2));
    int exitCode = 77;
    uint32_t flags = 0;
    CHILD_CHECK(failures, relay("ls -l", &exitCode, &flags) < 0);
    CHILD_CHECK(failures, flags == 1 && exitCode == 77);
    CHILD_CHECK(failures, seen.empty());
    return failures;
  });
  EXPECT_EQ(r.status, 0) << r.stderrText;
  auto j = gw.journalLines();
  EXPECT_EQ(countLines(j, "cat=0x1500 fn=0x0201 id="), 1);
  EXPECT_EQ(countLines(j, "rows=24 cols=80"), 1);
  EXPECT_EQ(countLines(j, "cat=0x1500 fn=0x0202"), 0);
  EXPECT_EQ(countLines(j, "cat=0x1500 fn=0x0200"), 0);
}

// Log lines reach the gateway's journal under the subsystem they were
// opened as; refused names and texts send nothing.
TEST(Relay, GatewayLog) {
  GwsimFixture gw(kConfig);
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  const std::string longest(2047, 'x');
  ChildResult r = runInChild([&] {
    int failures = 0;
    clientEnvAs(gw, "alice", "wonderland");
    CHILD_CHECK(failures, quor_Openlog(nullptr, 0) == -14);
    CHILD_CHECK(failures, quor_Openlog("", 0) == -2);
    CHILD_CHECK(failures, quor_Openlog("ninechars", 0) == -86);
    CHILD_CHECK(failures, quor_Openlog("eightchr", 0x60000) == 0);
    CHILD_CHECK(failures, quor_Openlog("ozu", 0x60000) == 0);
    CHILD_CHECK(failures, quor_Logmsg(0x6000, 0x2000000, nullptr) == -14);
    CHILD_CHECK(failures, quor_Logmsg(0x6000, 0x2000000, "") == -2);
    CHILD_CHECK(failures, quor_Logmsg(0x6000, 0x2000000, (longest + "y").c_str()) == -86);
    CHILD_CHECK(failures, quor_Logmsg(0x6000, 0x2000000, "put\tf1\t1024") == 0);
    CHILD_CHECK(failures, quor_Logmsg(0x3000, 0x6000000, longest.c_str()) == 0);
    CHILD_CHECK(failures, quor_Closelog(0x60000) == 0);
    return failures;
  });
  EXPECT_EQ(r.status, 0) << r.stderrText;
  auto j = gw.journalLines();
  EXPECT_EQ(countLines(j, "cat=0x0700 fn=0x0100"), 2);
  EXPECT_EQ(countLines(j, "cat=0x0700 fn=0x0101"), 2);
  EXPECT_EQ(countLines(j, "cat=0x0700 fn=0x0102"), 1);
  EXPECT_EQ(countLines(j, "log-open subsys=eightchr options=0x60000"), 1);
  EXPECT_EQ(countLines(j, "log subsys=ozu prio=0x6000 select=0x2000000 text=put?f1?1024"), 1);
  EXPECT_EQ(countLines(j, "log subsys=ozu prio=0x3000 select=0x6000000 text=" + longest), 1);
  EXPECT_EQ(countLines(j, "log-close select=0x60000"), 1);
}
