// Opening a gateway connection, logging in, and many threads exchanging
// messages on one connection, against the gateway simulator.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>

#include <atomic>
#include <latch>
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
#include "quor_api_msgdefs.h"
#include "msg_cli.h"

namespace {

const std::string kUsers = [] {
  GwsimConfig c;
  c.user("alice", "wonderland").set("Uid", 1001).set("Gid", 100).set("Home", "/home/alice");
  return c.text();
}();

// One home-directory lookup on the thread's connection; the reply's text.
int lookupHome(qelapi_tcontext_t* ts, const char* who, std::string* home) {
  api_lookup_homedir_req_t req{const_cast<char*>(who)};
  api_lookup_homedir_rply_t reply{nullptr};
  api_msghdr_t hdr;
  int rc = qelapi_send_msg(QEL_CAT_LOOKUP, QEL_FN_LOOKUP_LookupHomeDir, &req,
                           reinterpret_cast<xdrproc_t>(qel_xdr_api_lookup_homedir_req_t), 0, 0,
                           nullptr, ts);
  if (rc == 0)
    rc = qelapi_get_msg(ts, &hdr, &reply,
                        reinterpret_cast<xdrproc_t>(qel_xdr_api_lookup_homedir_rply_t), nullptr);
  if (rc == 0) rc = hdr.errorcode;
  if (rc == 0 && home) *home = reply.homeDir ? reply.homeDir : "";
  xdr_free(reinterpret_cast<xdrproc_t>(qel_xdr_api_lookup_homedir_rply_t),
           reinterpret_cast<char*>(&reply));
  return rc;
}

}  // namespace

TEST(Connection, LogsInWithStoredPasswordUnderSessionKey) {
  GwsimFixture gw(std::string("Server = {\n umask = 027\n port_min = 20000\n port_max = 20100\n}\n") +
                  kUsers);
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  ChildResult r = runInChild([&] {
    int failures = 0;
    clientEnv(gw);
    CHILD_CHECK(failures, quor_SetCombo("alice", "wonderland") == 0);
    qelapi_tcontext_t* ts = nullptr;
    CHILD_CHECK(failures, qelapi_init(&ts) == 0);
    quor_connection_t* c = qelapi_getCurConnection();
    CHILD_CHECK(failures, c != nullptr && c->state == CONNECTION_OPEN);
    if (c == nullptr) return failures + 1;
    CHILD_CHECK(failures, c->site_info.umask == 027);
    CHILD_CHECK(failures, c->site_info.port_min == 20000 && c->site_info.port_max == 20100);
    CHILD_CHECK(failures, c->site_info.sv_prot_major == 67 && c->site_info.sv_prot_minor == 2);
    CHILD_CHECK(failures, c->sess_key_len > 16);
    std::string home;
    CHILD_CHECK(failures, lookupHome(ts, "alice", &home) == 0 && home == "/home/alice");
    CHILD_CHECK(failures, lookupHome(ts, "nobody", nullptr) == -2);
    quor_reqid_t id = quor_GetUniqueRequestID();
    quor_reqid_t zero;
    memset(&zero, 0, sizeof zero);
    CHILD_CHECK(failures, memcmp(&id, &zero, sizeof id) != 0);
    // A second open of an open connection is refused.
    CHILD_CHECK(failures, quorex_OpenConnection(c->handle) == -16);
    return failures;
  });
  EXPECT_EQ(r.status, 0) << r.stderrText;
  auto j = gw.journalLines();
  EXPECT_EQ(countLines(j, "cat=0x0100 fn=0x0001"), 1);
  EXPECT_EQ(countLines(j, "fn=0x0104 id="), 1);
  EXPECT_EQ(countLines(j, "user=alice"), 1);
  EXPECT_EQ(countLines(j, "cat=0x0200 fn=0x0012"), 1);
  EXPECT_EQ(countLines(j, "cat=0x0200 fn=0x0014"), 1);
  EXPECT_EQ(countLines(j, "cat=0x0200 fn=0x0130"), 1);
  EXPECT_EQ(countLines(j, "cat=0x0500 fn=0x0711"), 1);
}

TEST(Connection, WrongPasswordFailsWithTextsAndDropsTheRecord) {
  GwsimFixture gw(kUsers);
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  ChildResult r = runInChild([&] {
    int failures = 0;
    clientEnv(gw);
    CHILD_CHECK(failures, qel_LibInit() == 0);
    // COMBO alone: later methods of the default list would set the result.
    CHILD_CHECK(failures, quor_SetAuthType(QUOR_AUTH_COMBO) == 0);
    for (int i = 0; i < 3; i++) {
      int h = -1;
      CHILD_CHECK(failures, quorex_SetupConnection("127.0.0.1", nullptr, gw.port(), 0, 0, &h) == 0);
      CHILD_CHECK(failures, quor_SetCombo("alice", "looking-glass") == 0);
      CHILD_CHECK(failures, quorex_OpenConnection(h) == -10003);
      CHILD_CHECK(failures, quorex_GetConnectionInfo(h, nullptr, nullptr, nullptr, nullptr,
                                                     nullptr, nullptr, nullptr) == -2);
    }
    return failures;
  });
  EXPECT_EQ(r.status, 0) << r.stderrText;
  std::string where = "with remote gateway at 127.0.0.1." + std::to_string(gw.port()) + "\n";
  EXPECT_EQ(countText(r.stderrText, "result = -10003, errno = "), 3) << r.stderrText;
  EXPECT_EQ(countText(r.stderrText, "*** quorex_OpenConnection: Unable to authenticate user " + where), 3)
      << r.stderrText;
  // A stored password is tried once per log-in, without prompting.
  EXPECT_EQ(countLines(gw.journalLines(), "cat=0x0200 fn=0x0130"), 3);
}

// With the default list (COMBO, KEYTAB, PAM) and no terminal, a wrong
// stored password is refused by COMBO; KEYTAB (no keytab) and PAM (nobody
// to answer) are not tried at all and must not hide that refusal.
TEST(Connection, DefaultMethodListReportsTheRefusalOfTheMethodTried) {
  GwsimFixture gw(kUsers);
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  ChildResult r = runInChild([&] {
    int failures = 0;
    clientEnvAs(gw, "alice", "looking-glass");
    CHILD_EQ(failures, clientStartup(), -10003);
    return failures;
  });
  EXPECT_EQ(r.status, 0) << r.stderrText;
  EXPECT_NE(r.stderrText.find("result = -10003, errno = "), std::string::npos) << r.stderrText;
  auto j = gw.journalLines();
  EXPECT_EQ(countLines(j, "fn=0x0104"), 1);
  EXPECT_EQ(countLines(j, "fn=0x0100"), 0);
  EXPECT_EQ(countLines(j, "fn=0x0103"), 0);
}

TEST(Connection, GatewayAtOlderProtocolLevelIsRefused) {
  GwsimFixture gw(std::string("Faults = {\n ProtocolLevel = 67.1\n}\n") + kUsers);
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  ChildResult r = runInChild([&] {
    int failures = 0;
    clientEnvAs(gw, "alice", "wonderland");
    CHILD_CHECK(failures, qel_LibInit() == 0);
    int h = quorex_GetCurConHandle();
    CHILD_CHECK(failures, quorex_OpenConnection(h) == -42002);
    CHILD_CHECK(failures, quorex_GetCurConHandle() == -2);
    return failures;
  });
  EXPECT_EQ(r.status, 0) << r.stderrText;
  EXPECT_NE(r.stderrText.find("client and server are at different protocol levels\n*** "
                              "quorex_OpenConnection: Unable to authenticate user"),
            std::string::npos)
      << r.stderrText;
  EXPECT_EQ(countLines(gw.journalLines(), "fn=0x0104"), 0);
}

TEST(Connection, WaitsWhileTheServiceIsDown) {
  GwsimFixture gw(std::string("Faults = {\n Down = 2\n}\n") + kUsers);
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  ChildResult r = runInChild([&] {
    int failures = 0;
    CHILD_CHECK(failures, clientLogin(gw, "alice", "wonderland") == 0);
    return failures;
  });
  EXPECT_EQ(r.status, 0) << r.stderrText;
  EXPECT_EQ(countText(r.stderrText, " QUOR is down.  Delaying/retrying until it is back up. \n"), 2)
      << r.stderrText;
  auto j = gw.journalLines();
  EXPECT_EQ(countLines(j, "open down"), 2);
  EXPECT_EQ(countLines(j, "fn=0x0104"), 1);
}

TEST(Connection, SixteenThreadsShareOneConnection) {
  GwsimConfig config;
  config.fault("Shuffle", "12 2").fault("Delay", "0x0600 0x0106 5000 30");
  for (int t = 0; t < 16; t++)
    config.user("u" + std::to_string(t), "p").set("Home", "/home/u" + std::to_string(t));
  config.user("alice", "wonderland");
  GwsimFixture gw(config.text());
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  ChildResult r = runInChild([&] {
    if (clientLogin(gw, "alice", "wonderland") != 0) return 1;
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 16; t++)
      threads.emplace_back([t, &wrong] {
        qelapi_tcontext_t* mine = nullptr;
        if (qelapi_init(&mine) != 0) {
          wrong += 1000;
          return;
        }
        std::string who = "u" + std::to_string(t), want = "/home/" + who, got;
        for (int i = 0; i < 1000; i++) {
          got.clear();
          if (lookupHome(mine, who.c_str(), &got) != 0 || got != want) wrong++;
        }
      });
    for (auto& th : threads) th.join();
    if (wrong != 0) fprintf(stderr, "%d replies wrong or lost\n", wrong.load());
    return wrong == 0 ? 0 : 1;
  });
  EXPECT_EQ(r.status, 0) << r.stderrText;
  EXPECT_EQ(countLines(gw.journalLines(), "fn=0x0106"), 16000);
}

// Each way the gateway can break the stream: the failing call gets -5000,
// every later exchange fails at once, and no waiting thread hangs. (The
// threads start before the first request: a later start-up would open the
// broken connection again.)
TEST(Connection, ProtocolErrorsMakeTheConnectionUnusable) {
  for (const char* rule : {"DropHeader = 0x0600 0x0106 40", "DropBody = 0x0600 0x0106 40",
                           "BadSanity = 0x0600 0x0106 40", "Unsolicited = 0x0600 0x0106 40"}) {
    SCOPED_TRACE(rule);
    GwsimFixture gw(std::string("Faults = {\n ") + rule + "\n}\n" + kUsers);
    ASSERT_TRUE(gw.running()) << gw.stderrText();
    ChildResult r = runInChild(
        [&] {
          int failures = 0;
          qelapi_tcontext_t* ts = nullptr;
          if (clientLogin(gw, "alice", "wonderland", &ts) != 0) return 1;
          std::atomic<int> errors{0}, ok{0};
          std::latch started(4);
          std::vector<std::thread> threads;
          for (int t = 0; t < 4; t++)
            threads.emplace_back([&] {
              qelapi_tcontext_t* mine = nullptr;
              qelapi_init(&mine);
              started.arrive_and_wait();
              for (int i = 0; i < 100; i++) {
                int rc = lookupHome(mine, "alice", nullptr);
                if (rc == 0) ok++;
                // A send can meet the closed socket first (-1).
                else if (rc == -5000 || rc == -1) errors++;
              }
            });
          for (auto& th : threads) th.join();
          if (ok != 39) fprintf(stderr, "ok=%d errors=%d\n", ok.load(), errors.load());
          CHILD_CHECK(failures, ok == 39);
          CHILD_CHECK(failures, ok + errors == 400);
          CHILD_CHECK(failures, lookupHome(ts, "alice", nullptr) == -5000);
          return failures;
        },
        60);
    EXPECT_EQ(r.status, 0) << r.stderrText;
  }
}

// A body that fails to encode sends nothing at all, so the stream stays in
// step for the next message.
TEST(Connection, FailedEncodeSendsNothing) {
  GwsimFixture gw(kUsers);
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  ChildResult r = runInChild([&] {
    int failures = 0;
    qelapi_tcontext_t* ts = nullptr;
    if (clientLogin(gw, "alice", "wonderland", &ts) != 0) return 1;
    std::string tooLong(200, 'x');  // a principal travels as at most 128 characters
    CHILD_CHECK(failures, lookupHome(ts, tooLong.c_str(), nullptr) == -1);
    std::string home;
    CHILD_CHECK(failures, lookupHome(ts, "alice", &home) == 0 && home == "/home/alice");
    return failures;
  });
  EXPECT_EQ(r.status, 0) << r.stderrText;
  auto j = gw.journalLines();
  EXPECT_EQ(countLines(j, "fn=0x0106"), 1);
  EXPECT_EQ(countLines(j, "garbage"), 0);
  EXPECT_EQ(countLines(j, "bad-body"), 0);
}

// Closing a connection while another thread waits on it for a reply wakes
// that thread with an error; the record outlives its last user.
TEST(Connection, CloseWhileAThreadWaitsForItsReply) {
  GwsimFixture gw(std::string("Faults = {\n Delay = 0x0600 0x0106 1 400\n}\n") + kUsers);
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  ChildResult r = runInChild([&] {
    int failures = 0;
    qelapi_tcontext_t* ts = nullptr;
    if (clientLogin(gw, "alice", "wonderland", &ts) != 0) return 1;
    int handle = quorex_GetCurConHandle();
    std::atomic<int> waiterRc{1};
    std::thread waiter([&] {
      qelapi_tcontext_t* mine = nullptr;
      qelapi_init(&mine);
      waiterRc = lookupHome(mine, "alice", nullptr);
    });
    usleep(100000);
    CHILD_CHECK(failures, quorex_CloseConnection(handle) == 0);
    waiter.join();
    CHILD_CHECK(failures, waiterRc == -50 || waiterRc == -5000);
    CHILD_CHECK(failures, quorex_GetCurConHandle() == -2);
    // The closing thread still holds its binding; its next call fails cleanly.
    CHILD_CHECK(failures, lookupHome(ts, "alice", nullptr) < 0);
    return failures;
  });
  EXPECT_EQ(r.status, 0) << r.stderrText;
}

// A thread held to one connection speaks to that gateway whichever
// connection the others make current; let go, it follows the current one
// again. Held to a connection that is then closed, its calls fail instead
// of going to another gateway.
TEST(Connection, AThreadHeldToAConnectionKeepsToIt) {
  GwsimConfig second;
  second.user("alice", "wonderland").set("Uid", 1001).set("Gid", 100).set("Home", "/home/second");
  GwsimFixture a(kUsers), b(second.text());
  ASSERT_TRUE(a.running()) << a.stderrText();
  ASSERT_TRUE(b.running()) << b.stderrText();
  ChildResult r = runInChild([&] {
    int failures = 0;
    clientEnvNetrc(a, "alice", "wonderland");  // the password again for the second log-in
    if (clientStartup() != 0) return 1;
    int first = quorex_GetCurConHandle(), other = -1;
    CHILD_CHECK(failures, quorex_SetupConnection("127.0.0.1", nullptr, b.port(), 0, 0, &other) == 0);
    CHILD_CHECK(failures, quorex_OpenConnection(other) == 0);
    CHILD_CHECK(failures, quorex_GetCurConHandle() == other);
    auto homeHere = [](std::string* home) {
      qelapi_tcontext_t* ts = nullptr;
      int rc = qelapi_init(&ts);
      return rc < 0 ? rc : lookupHome(ts, "alice", home);
    };
    std::string mine, held, after, closed;
    int prev = 7, heldRc = -1, afterRc = -1, closedRc = 0, unknownRc = 0;
    std::thread t([&] {
      unknownRc = qelapi_PinThreadConnection(9999, nullptr);
      qelapi_PinThreadConnection(first, &prev);
      heldRc = homeHere(&held);
      qelapi_PinThreadConnection(-1, nullptr);
      afterRc = homeHere(&after);
      qelapi_PinThreadConnection(first, nullptr);
      quorex_CloseConnection(first);
      closedRc = homeHere(&closed);
      qelapi_PinThreadConnection(-1, nullptr);
    });
    t.join();
    CHILD_CHECK(failures, unknownRc == -2);
    CHILD_CHECK(failures, prev == -1);
    CHILD_CHECK(failures, heldRc == 0 && held == "/home/alice");
    CHILD_CHECK(failures, afterRc == 0 && after == "/home/second");
    CHILD_CHECK(failures, closedRc == -50 && closed.empty());
    CHILD_CHECK(failures, homeHere(&mine) == 0 && mine == "/home/second");
    return failures;
  });
  EXPECT_EQ(r.status, 0) << r.stderrText;
  EXPECT_EQ(countLines(a.journalLines(), "fn=0x0106"), 1);
  EXPECT_EQ(countLines(b.journalLines(), "fn=0x0106"), 2);
}
