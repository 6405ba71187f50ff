// The COMBO password prompt of a real log-in: asked on the controlling
// terminal with the principal in brackets and echo off, and the passcode
// forms of a card site; without a terminal the stored password is used,
// and a missing one ends the log-in without sending anything.
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "client_process.h"
#include "gwsim_fixture.h"
#include "pty_process.h"
#include "quor_api.h"
#include "quor_api_internal.h"

namespace {

void clientEnv(const GwsimFixture& gw) {
  std::string server = "127.0.0.1/" + std::to_string(gw.port());
  setenv("QUOR_SERVER_HOST", server.c_str(), 1);
  setenv("QUOR_HOSTNAME", "localhost", 1);
  setenv("QUOR_CFG_FILE_PATH", gw.dir().c_str(), 1);
  setenv("QUOR_TEST_TIMESCALE", "1000", 1);
  setenv("QUOR_API_DEBUG", "127", 1);
  setenv("QUOR_API_DEBUG_FLAGS", "f", 1);  // the child ends with _exit
  setenv("QUOR_API_DEBUG_PATH", (gw.dir() + "/client.log").c_str(), 1);
  unsetenv("QUOR_AUTH_METHOD");
  unsetenv("QUOR_NET_FAMILY");
  unsetenv("QUOR_USE_NETRC_FILE");
  unsetenv("QUOR_PRINCIPAL");
}

int comboLogIn(const GwsimFixture& gw, const char* password) {
  clientEnv(gw);
  quor_SetAuthType(QUOR_AUTH_COMBO);
  quor_SetCombo("alice", password);
  if (qel_LibInit() != 0) return 1;
  return quorex_OpenConnection(quorex_GetCurConHandle());
}

int countLines(const std::vector<std::string>& lines, const std::string& text) {
  int n = 0;
  for (const auto& l : lines) n += l.find(text) != std::string::npos;
  return n;
}

std::string readFile(const std::string& path) {
  std::ifstream in(path);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

const std::string kBlank = "\r" + std::string(50, ' ');

}  // namespace

// No stored password: the prompt shows the principal in brackets (or the
// passcode text of a card site, without the principal when bit 0 is set);
// a refused answer is asked again; nothing typed is echoed.
TEST(Prompt, ComboAsksOnTheTerminal) {
  struct Case {
    int card;
    std::string prompt;
  } cases[] = {
      {0, "\r[alice]Password: "},
      {2, "\r[alice]Enter PASSCODE: "},
      {1, "\rEnter PASSCODE: "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.prompt);
    GwsimFixture gw("Server = {\n auth_crypto_card = " + std::to_string(c.card) +
                    "\n}\nUsers = {\n alice = {\n  Password = wonderland\n }\n}\n");
    ASSERT_TRUE(gw.running()) << gw.stderrText();
    PtyProcess p([&] {
      int failures = 0;
      int rc = comboLogIn(gw, nullptr);
      if (rc != 0) fprintf(stderr, "log-in returned %d\n", rc);
      CHILD_CHECK(failures, rc == 0);
      return failures;
    });
    ASSERT_TRUE(p.started());
    ASSERT_TRUE(p.waitFor(kBlank + c.prompt)) << p.screen;
    p.type("looking-glass\n");
    ASSERT_TRUE(p.waitFor(kBlank + c.prompt)) << p.screen;
    p.type("wonderland\n");
    EXPECT_EQ(p.finish(), 0) << p.errText;
    EXPECT_EQ(p.screen.find("looking-glass"), std::string::npos) << p.screen;
    EXPECT_EQ(p.screen.find("wonderland"), std::string::npos) << p.screen;
    if (c.card & 1) {
      EXPECT_EQ(p.screen.find("[alice]"), std::string::npos);
    }
    EXPECT_EQ(p.outText.find("Password"), std::string::npos);
    EXPECT_EQ(p.outText.find("PASSCODE"), std::string::npos);
    auto j = gw.journalLines();
    EXPECT_EQ(countLines(j, "fn=0x0104 id="), 1);
    EXPECT_EQ(countLines(j, "fn=0x0130"), 2);
  }
}

// Without a terminal the stored password is the one try, without a prompt.
TEST(Prompt, WithoutTerminalTheStoredPasswordIsUsed) {
  GwsimFixture gw("Users = {\n alice = {\n  Password = wonderland\n }\n}\n");
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  ChildResult r = runInChild([&] {
    int failures = 0;
    CHILD_CHECK(failures, comboLogIn(gw, "wonderland") == 0);
    return failures;
  });
  EXPECT_EQ(r.status, 0) << r.stderrText;
  EXPECT_EQ(r.stderrText.find("Password"), std::string::npos) << r.stderrText;
  EXPECT_EQ(r.stderrText.find("control terminal"), std::string::npos) << r.stderrText;
  auto j = gw.journalLines();
  EXPECT_EQ(countLines(j, "user=alice"), 1);
  EXPECT_EQ(countLines(j, "fn=0x0130"), 1);
}

// Without a terminal and without a stored password COMBO fails locally: no
// log-in request leaves, and the log-in ends with the authentication
// failure and its texts.
TEST(Prompt, WithoutTerminalAMissingPasswordFails) {
  GwsimFixture gw("Users = {\n alice = {\n  Password = wonderland\n }\n}\n");
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  ChildResult r = runInChild([&] {
    int failures = 0;
    int rc = comboLogIn(gw, nullptr);
    if (rc != -10003) fprintf(stderr, "log-in returned %d\n", rc);
    CHILD_CHECK(failures, rc == -10003);
    return failures;
  });
  EXPECT_EQ(r.status, 0) << r.stderrText;
  std::string where = "127.0.0.1." + std::to_string(gw.port()) + "\n";
  EXPECT_NE(r.stderrText.find("result = -10003, errno = "), std::string::npos) << r.stderrText;
  EXPECT_NE(r.stderrText.find("*** quorex_OpenConnection: Unable to authenticate user with remote "
                              "gateway at " + where),
            std::string::npos)
      << r.stderrText;
  EXPECT_NE(readFile(gw.dir() + "/client.log")
                .find("Not running interactively - can't get authorization combo!"),
            std::string::npos);
  auto j = gw.journalLines();
  EXPECT_EQ(countLines(j, "fn=0x0104"), 0);
  EXPECT_EQ(countLines(j, "fn=0x0130"), 0);
}
