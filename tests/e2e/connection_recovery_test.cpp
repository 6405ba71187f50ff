// The connection table under a gateway that misbehaves: a close while an
// open waits, a call while another thread opens the same record, a broken
// connection opened again by the next call, and a reply nobody awaits. The
// waits are the real ones (no time scaling) where a fault would show as a
// hang, so each case ends well inside its child's time limit only when the
// library does the right thing.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>

#include <atomic>
#include <string>
#include <thread>

#include "client_env.h"
#include "client_process.h"
#include "gwsim_config.h"
#include "gwsim_fixture.h"
#include "journal_text.h"
#include "quor_api.h"
#include "quor_api_internal.h"

// A close while the opener waits (service down: 60 s; retry later: 30 s)
// ends the open at once with -2; the opener never touches the freed record
// (AddressSanitizer would see it) and nothing of the connection stays.
TEST(ConnectionRecovery, CloseWhileAnOpenWaits) {
  struct Case {
    const char* name;
    int downConnections;  // Down = N, or 0 for none
    const char* waitingLine;  // the journal line after which the opener waits
  } cases[] = {
      {"service down", 1, "open down"},
      {"retry later", 0, "retry="},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    GwsimConfig config;
    if (c.downConnections) config.fault("Down", std::to_string(c.downConnections));
    config.user("alice", "wonderland").set("RetryAfter", 30);
    GwsimFixture gw(config.text());
    ASSERT_TRUE(gw.running()) << gw.stderrText();
    ChildResult r = runInChild(
        [&] {
          int failures = 0;
          clientEnvAs(gw, "alice", "wonderland");
          setenv("QUOR_TEST_TIMESCALE", "1", 1);
          if (qel_LibInit() != 0) return 1;
          int h = quorex_GetCurConHandle();
          std::atomic<int> openRc{1};
          std::thread opener([&] { openRc = quorex_OpenConnection(h); });
          CHILD_CHECK(failures, gw.waitForJournal(c.waitingLine));
          CHILD_EQ(failures, quorex_CloseConnection(h), 0);
          opener.join();
          CHILD_EQ(failures, openRc.load(), -2);
          CHILD_EQ(failures, quorex_GetConnectionInfo(h, nullptr, nullptr, nullptr, nullptr,
                                                      nullptr, nullptr, nullptr),
                   -2);
          CHILD_EQ(failures, quorex_GetCurConHandle(), -2);
          return failures;
        },
        20);
    EXPECT_EQ(r.status, 0) << r.stderrText;
    // The opener went no further: one connection, no reconnect log-in.
    auto j = gw.journalLines();
    EXPECT_EQ(countLines(j, " open"), 1);
    EXPECT_EQ(countLines(j, "fn=0x0080"), 0);
  }
}

// A call whose start-up finds the connection closed while another thread
// opens it (here waiting out a retry answer) waits for that open instead of
// logging in a second time on the same record; both then work on one
// session.
TEST(ConnectionRecovery, ACallWaitsForTheOpenInProgress) {
  GwsimConfig config;
  config.user("alice", "wonderland").set("RetryAfter", 5);
  GwsimFixture gw(config.text());
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  ChildResult r = runInChild(
      [&] {
        int failures = 0;
        clientEnvAs(gw, "alice", "wonderland");
        setenv("QUOR_TEST_TIMESCALE", "10", 1);
        if (qel_LibInit() != 0) return 1;
        int h = quorex_GetCurConHandle();
        std::atomic<int> openRc{1};
        std::thread opener([&] { openRc = quorex_OpenConnection(h); });
        CHILD_CHECK(failures, gw.waitForJournal("retry="));
        char cwd[64] = "";
        CHILD_EQ(failures, quor_Getcwd(cwd, sizeof cwd), 0);
        CHILD_CHECK(failures, strcmp(cwd, "/") == 0);
        opener.join();
        CHILD_EQ(failures, openRc.load(), 0);
        CHILD_EQ(failures, quor_Getcwd(cwd, sizeof cwd), 0);
        return failures;
      },
      20);
  EXPECT_EQ(r.status, 0) << r.stderrText;
  auto j = gw.journalLines();
  EXPECT_EQ(countLines(j, "fn=0x0104"), 1);
  EXPECT_EQ(countLines(j, "fn=0x0080"), 1);
  EXPECT_EQ(countLines(j, "fn=0x0707"), 2);
  EXPECT_EQ(countLines(j, "garbage"), 0);
}

// A gateway that breaks the stream (a cut reply, a wrong header, a reply
// nobody awaits): the call that meets it fails with -5000, and the next call
// opens the connection again and logs in, without the program doing
// anything.
TEST(ConnectionRecovery, TheNextCallReopensABrokenConnection) {
  for (const char* kind : {"DropHeader", "DropBody", "BadSanity"}) {
    SCOPED_TRACE(kind);
    GwsimConfig config = userConfig("alice", "wonderland");
    config.fault(kind, "0x0500 0x0707 1");
    GwsimFixture gw(config.text());
    ASSERT_TRUE(gw.running()) << gw.stderrText();
    ChildResult r = runInChild(
        [&] {
          int failures = 0;
          clientEnvNetrc(gw, "alice", "wonderland");
          char cwd[64] = "";
          CHILD_EQ(failures, quor_Getcwd(cwd, sizeof cwd), -5000);
          CHILD_EQ(failures, quor_Getcwd(cwd, sizeof cwd), 0);
          CHILD_CHECK(failures, strcmp(cwd, "/") == 0);
          CHILD_EQ(failures, quor_Getcwd(cwd, sizeof cwd), 0);
          return failures;
        },
        20);
    EXPECT_EQ(r.status, 0) << r.stderrText;
    auto j = gw.journalLines();
    EXPECT_EQ(countLines(j, "fn=0x0104"), 2);
    EXPECT_EQ(countLines(j, "fn=0x0707"), 3);
  }
}

// A reply that comes twice: the copy is awaited by nobody, not even by the
// thread whose reply it repeats. The reader that meets it fails at once
// with -5000 instead of sleeping for ever, and the next call reopens.
TEST(ConnectionRecovery, AReplyNobodyAwaitsBreaksTheConnectionAtOnce) {
  GwsimConfig config = userConfig("alice", "wonderland");
  config.fault("Duplicate", "0x0500 0x0711 1");
  GwsimFixture gw(config.text());
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  ChildResult r = runInChild(
      [&] {
        int failures = 0;
        clientEnvNetrc(gw, "alice", "wonderland");
        char cwd[64] = "";
        CHILD_EQ(failures, quor_Getcwd(cwd, sizeof cwd), 0);
        // Another thread takes its reply; the copy stays in the stream.
        std::thread other([&] {
          quor_reqid_t id = quor_GetUniqueRequestID();
          quor_reqid_t zero;
          memset(&zero, 0, sizeof zero);
          CHILD_CHECK(failures, memcmp(&id, &zero, sizeof id) != 0);
        });
        other.join();
        CHILD_EQ(failures, quor_Getcwd(cwd, sizeof cwd), -5000);
        CHILD_EQ(failures, quor_Getcwd(cwd, sizeof cwd), 0);
        return failures;
      },
      20);
  EXPECT_EQ(r.status, 0) << r.stderrText;
  EXPECT_EQ(countLines(gw.journalLines(), "fn=0x0104"), 2);
}
