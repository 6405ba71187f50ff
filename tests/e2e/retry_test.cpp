// Log-ins the gateway turns away, against the gateway simulator: a retry
// answer followed by the reconnect log-in with the saved certificate, a
// failed answer, a certificate whose HMAC does not hold; and a log-in whose
// name and password come from the user's .netrc.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <string>
#include <vector>

#include "client_env.h"
#include "client_process.h"
#include "gwsim_config.h"
#include "gwsim_fixture.h"
#include "journal_text.h"
#include "quor_api.h"
#include "quor_api_internal.h"

namespace {

// The shared environment, COMBO only.
void comboEnv(const GwsimFixture& gw) {
  clientEnv(gw);
  setenv("QUOR_AUTH_METHOD", "combo", 1);
}

std::string unableLine(const GwsimFixture& gw) {
  return "*** quorex_OpenConnection: Unable to authenticate user with remote gateway at 127.0.0.1." +
         std::to_string(gw.port()) + "\n";
}

// Whether text holds the retry line the client must write for a retry time
// of `until`. Seconds are counted from the client's own clock, which may have
// moved on by one.
bool hasRetryLine(const std::string& text, time_t until) {
  char buf[32] = "";
  ctime_r(&until, buf);
  std::string when(buf, 20);
  for (const char* secs : {"29", "30"})
    if (text.find("\r*** Retrying in " + std::string(secs) + " seconds at " + when + " \r") !=
        std::string::npos)
      return true;
  return false;
}

time_t untilOf(const std::string& journalLine) {
  size_t p = journalLine.find(" until=");
  if (p == std::string::npos) return 0;
  return time_t(std::stoll(journalLine.substr(p + 7)));
}

const char kMessage[] = "Gateway busy - try again soon";

GwsimConfig retryUsers(int times) {
  GwsimConfig c;
  c.user("alice", "wonderland")
      .set("RetryAfter", 30)
      .set("RetryTimes", times)
      .set("UserMessage", kMessage);
  return c;
}

}  // namespace

TEST(LoginRetry, WaitsReconnectsOnceWithTheCertificateAndLogsIn) {
  GwsimFixture gw(retryUsers(1).text());
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  ChildResult r = runInChild([&] {
    int failures = 0;
    comboEnv(gw);
    CHILD_CHECK(failures, quor_SetCombo("alice", "wonderland") == 0);
    auto t0 = std::chrono::steady_clock::now();
    CHILD_CHECK(failures, clientStartup() == 0);
    double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    // 30 s at a thousandth of the time: waited, but not for real.
    CHILD_CHECK(failures, secs >= 0.02 && secs < 5);
    quor_connection_t* c = qelapi_getCurConnection();
    CHILD_CHECK(failures, c != nullptr && c->state == CONNECTION_OPEN);
    // From now on this process logs in by reconnect only.
    CHILD_CHECK(failures, quor_GetAuthType(nullptr) == QUOR_AUTH_RECONNECT);
    return failures;
  });
  EXPECT_EQ(r.status, 0) << r.stderrText;

  auto j = gw.journalLines();
  auto combo = linesWith(j, "fn=0x0104");
  ASSERT_EQ(combo.size(), 1u);
  EXPECT_NE(combo[0].find("conn=1 "), std::string::npos);
  EXPECT_NE(combo[0].find(" user=alice retry=1 until="), std::string::npos) << combo[0];
  auto reconnect = linesWith(j, "fn=0x0080");
  ASSERT_EQ(reconnect.size(), 1u);
  EXPECT_NE(reconnect[0].find("conn=2 "), std::string::npos) << reconnect[0];
  EXPECT_NE(reconnect[0].find(" packet=ok user=alice"), std::string::npos) << reconnect[0];
  EXPECT_EQ(reconnect[0].find(" retry="), std::string::npos) << reconnect[0];
  // The password was never asked for.
  EXPECT_TRUE(linesWith(j, "fn=0x0130").empty());

  EXPECT_EQ(countText(r.stderrText, "*** Retrying in "), 1) << r.stderrText;
  EXPECT_TRUE(hasRetryLine(r.stderrText, untilOf(combo[0]))) << r.stderrText;
  // Standard error is a pipe here: the gateway's message is not shown.
  EXPECT_EQ(r.stderrText.find(kMessage), std::string::npos) << r.stderrText;
  EXPECT_EQ(r.stderrText.find("Unable to authenticate"), std::string::npos) << r.stderrText;
}

// The gateway's retry time is its clock, not the client's: one already
// past waits a few seconds rather than none (no reconnecting as fast as the
// gateway answers), one ten days ahead waits a quarter of an hour at most.
TEST(LoginRetry, RetryTimeIsHeldToASaneWait) {
  struct Case {
    int after;
    const char* line;
  } cases[] = {{-300, "\r*** Retrying in 5 seconds at "},
               {864000, "\r*** Retrying in 900 seconds at "}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.after);
    GwsimConfig config = userConfig("alice", "wonderland");
    config.user("alice").set("RetryAfter", c.after);
    GwsimFixture gw(config.text());
    ASSERT_TRUE(gw.running()) << gw.stderrText();
    ChildResult r = runInChild([&] {
      int failures = 0;
      comboEnv(gw);
      CHILD_CHECK(failures, quor_SetCombo("alice", "wonderland") == 0);
      CHILD_EQ(failures, clientStartup(), 0);
      return failures;
    });
    EXPECT_EQ(r.status, 0) << r.stderrText;
    EXPECT_EQ(countText(r.stderrText, c.line), 1) << r.stderrText;
    EXPECT_EQ(linesWith(gw.journalLines(), "fn=0x0080").size(), 1u);
  }
}

// A reconnect reply that asks to retry again is no log-in even when its
// code is 0: the client waits and reconnects once more.
TEST(LoginRetry, RetryAnswerWithCodeZeroIsNotALogIn) {
  GwsimConfig config;
  config.user("alice", "wonderland").set("RetryAfter", 30).set("RetryTimes", 2).set("RetryCode", 0);
  GwsimFixture gw(config.text());
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  ChildResult r = runInChild([&] {
    int failures = 0;
    comboEnv(gw);
    CHILD_CHECK(failures, quor_SetCombo("alice", "wonderland") == 0);
    CHILD_CHECK(failures, clientStartup() == 0);
    return failures;
  });
  EXPECT_EQ(r.status, 0) << r.stderrText;
  auto reconnect = linesWith(gw.journalLines(), "fn=0x0080");
  ASSERT_EQ(reconnect.size(), 2u);
  EXPECT_NE(reconnect[0].find(" retry="), std::string::npos) << reconnect[0];
  EXPECT_EQ(reconnect[1].find(" retry="), std::string::npos) << reconnect[1];
  EXPECT_EQ(countText(r.stderrText, "*** Retrying in "), 2) << r.stderrText;
}

// Two retry answers with the same message on a terminal: the message once,
// a retry line per wait, and a reconnect per answer.
TEST(LoginRetry, OnATerminalTheMessageIsShownOnce) {
  GwsimFixture gw(retryUsers(2).text());
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  ChildResult r = runInChild([&] {
    int failures = 0;
    comboEnv(gw);
    quor_SetCombo("alice", "wonderland");
    int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) return 100;
    int slave = open(ptsname(master), O_RDWR | O_NOCTTY);
    if (slave < 0) return 100;
    struct termios tio;
    tcgetattr(slave, &tio);
    cfmakeraw(&tio);
    tcsetattr(slave, TCSANOW, &tio);
    fflush(stderr);
    int saved = dup(STDERR_FILENO);
    dup2(slave, STDERR_FILENO);
    int rc = clientStartup();
    fflush(stderr);
    dup2(saved, STDERR_FILENO);
    close(saved);
    std::string shown;
    char buf[1024];
    struct pollfd p = {master, POLLIN, 0};
    while (poll(&p, 1, 200) > 0) {
      ssize_t n = read(master, buf, sizeof buf);
      if (n <= 0) break;
      shown.append(buf, size_t(n));
    }
    CHILD_CHECK(failures, rc == 0);
    CHILD_CHECK(failures, countText(shown, kMessage) == 1);
    CHILD_CHECK(failures, countText(shown, std::string(kMessage) + "\n\r*** Retrying in ") == 1);
    CHILD_CHECK(failures, countText(shown, "\r*** Retrying in ") == 2);
    if (failures) fprintf(stderr, "terminal showed: %s\n", shown.c_str());
    return failures;
  });
  EXPECT_EQ(r.status, 0) << r.stderrText;
  auto reconnect = linesWith(gw.journalLines(), "fn=0x0080");
  ASSERT_EQ(reconnect.size(), 2u);
  EXPECT_NE(reconnect[0].find(" packet=ok user=alice retry=2 until="), std::string::npos)
      << reconnect[0];
  EXPECT_NE(reconnect[1].find(" packet=ok user=alice"), std::string::npos) << reconnect[1];
  EXPECT_EQ(reconnect[1].find(" retry="), std::string::npos) << reconnect[1];
}

TEST(LoginRetry, FailedAnswerEndsTheLogIn) {
  GwsimConfig config;
  config.user("alice", "wonderland")
      .set("LoginFailed", -50220)
      .set("UserMessage", "Locked by the operator");
  GwsimFixture gw(config.text());
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  ChildResult r = runInChild([&] {
    int failures = 0;
    comboEnv(gw);
    quor_SetCombo("alice", "wonderland");
    CHILD_CHECK(failures, clientStartup() == -50220);
    CHILD_CHECK(failures, quorex_GetCurConHandle() == -2);
    return failures;
  });
  EXPECT_EQ(r.status, 0) << r.stderrText;
  EXPECT_NE(r.stderrText.find("Locked by the operator\nClient user is locked\n" + unableLine(gw)),
            std::string::npos)
      << r.stderrText;
  EXPECT_EQ(r.stderrText.find("Retrying"), std::string::npos) << r.stderrText;
  auto j = gw.journalLines();
  auto combo = linesWith(j, "fn=0x0104");
  ASSERT_EQ(combo.size(), 1u);
  EXPECT_NE(combo[0].find(" user=alice failed=-50220"), std::string::npos) << combo[0];
  EXPECT_TRUE(linesWith(j, "fn=0x0080").empty());
  EXPECT_TRUE(linesWith(j, "fn=0x0130").empty());
}

TEST(LoginRetry, TamperedCertificateIsRefused) {
  GwsimFixture gw(retryUsers(1).fault("BadHmac", "0x0200 0x0104 1").text());
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  ChildResult r = runInChild([&] {
    int failures = 0;
    comboEnv(gw);
    quor_SetCombo("alice", "wonderland");
    CHILD_CHECK(failures, clientStartup() == -51030);
    return failures;
  });
  EXPECT_EQ(r.status, 0) << r.stderrText;
  EXPECT_EQ(countText(r.stderrText, "*** Retrying in "), 1) << r.stderrText;
  EXPECT_NE(r.stderrText.find("OGS retry certificate invalid\n" + unableLine(gw)),
            std::string::npos)
      << r.stderrText;
  auto j = gw.journalLines();
  auto combo = linesWith(j, "fn=0x0104");
  ASSERT_EQ(combo.size(), 1u);
  EXPECT_NE(combo[0].find(" bad-hmac"), std::string::npos) << combo[0];
  auto reconnect = linesWith(j, "fn=0x0080");
  ASSERT_EQ(reconnect.size(), 1u);
  EXPECT_NE(reconnect[0].find(" packet=bad-hmac"), std::string::npos) << reconnect[0];
}

// The user's .netrc gives the name and password of a log-in when the
// environment asks for it; a file others may read gives nothing.
TEST(LoginNetrc, EntryForTheGatewayLogsIn) {
  GwsimFixture gw(userConfig("alice", "wonderland").text());
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  // The gateway's name, as the client will find it from its address.
  quor_sockaddr_t addr = loopback();
  char gwName[NI_MAXHOST] = "";
  ASSERT_EQ(getnameinfo(reinterpret_cast<const sockaddr*>(&addr.hs_addr), addr.hs_addrlen, gwName,
                        sizeof gwName, nullptr, 0, 0),
            0);
  std::string netrc = gw.dir() + "/.netrc";
  {
    std::ofstream(netrc) << "machine elsewhere login bob password nothing\n"
                         << "machine " << gwName << " login alice password wonderland\n";
  }
  for (mode_t mode : {mode_t(0600), mode_t(0644)}) {
    SCOPED_TRACE(mode);
    ASSERT_EQ(chmod(netrc.c_str(), mode), 0);
    ChildResult r = runInChild([&] {
      int failures = 0;
      comboEnv(gw);
      setenv("HOME", gw.dir().c_str(), 1);
      setenv("QUOR_USE_NETRC_FILE", "", 1);
      int rc = clientStartup();
      CHILD_CHECK(failures, rc == (mode == 0600 ? 0 : -10003));
      return failures;
    });
    EXPECT_EQ(r.status, 0) << r.stderrText;
    if (mode == 0644) {
      EXPECT_NE(r.stderrText.find("Error: .netrc file is readable by others.Remove password or "
                                  "make file unreadable by others.qelapi_authenticate: Attempting "
                                  "to use .netrc failed.\n"),
                std::string::npos)
          << r.stderrText;
    } else {
      EXPECT_EQ(r.stderrText.find(".netrc"), std::string::npos) << r.stderrText;
      EXPECT_EQ(r.stderrText.find("Unable to authenticate"), std::string::npos) << r.stderrText;
    }
  }
  auto j = gw.journalLines();
  // Only the log-in with the private file reached the gateway.
  EXPECT_EQ(linesWith(j, "fn=0x0104").size(), 1u);
  EXPECT_EQ(linesWith(j, "user=alice").size(), 1u);
  EXPECT_EQ(linesWith(j, "fn=0x0130").size(), 1u);
}
