// The COMBO password prompt of a real log-in: asked on the controlling
// terminal with the principal in brackets and echo off, and the passcode
// forms of a card site; without a terminal the stored password is used,
// and a missing one ends the log-in without sending anything.
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "client_env.h"
#include "client_process.h"
#include "gwsim_config.h"
#include "gwsim_fixture.h"
#include "journal_text.h"
#include "pty_process.h"
#include "quor_api.h"
#include "quor_api_internal.h"

namespace {

// A COMBO-only log-in as alice, the debug log kept: the log-in's result.
int comboLogIn(const GwsimFixture& gw, const char* password) {
  clientEnv(gw);
  clientDebugLog(gw);
  quor_SetAuthType(QUOR_AUTH_COMBO);
  quor_SetCombo("alice", password);
  return clientStartup();
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
    GwsimConfig config = userConfig("alice", "wonderland");
    config.server().set("auth_crypto_card", c.card);
    GwsimFixture gw(config.text());
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
  GwsimFixture gw(userConfig("alice", "wonderland").text());
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
  GwsimFixture gw(userConfig("alice", "wonderland").text());
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
  EXPECT_NE(readFile(clientLogPath(gw))
                .find("Not running interactively - can't get authorization combo!"),
            std::string::npos);
  auto j = gw.journalLines();
  EXPECT_EQ(countLines(j, "fn=0x0104"), 0);
  EXPECT_EQ(countLines(j, "fn=0x0130"), 0);
}
