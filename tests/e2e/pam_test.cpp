// The PAM log-in against the gateway simulator: questions answered on a
// pseudo terminal with echo off and on, texts for the terminal and for
// standard error, answers packed as the gateway unpacks them (checked
// byte by byte from the simulator's journal), PAM after a COMBO that fails
// locally, no terminal, and malformed batches that must end the log-in
// with -22 and nothing shown.
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

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

// The shared environment and the debug log, whose texts some cases check.
void pamEnv(const GwsimFixture& gw) {
  clientEnv(gw);
  clientDebugLog(gw);
}

// The value of "key=" in a journal line, up to the next blank.
std::string field(const std::string& line, const std::string& key) {
  size_t at = line.find(" " + key + "=");
  if (at == std::string::npos) return "";
  at += key.size() + 2;
  return line.substr(at, line.find(' ', at) - at);
}

// The log-in request's id and the thread id the gateway used: every
// conversation message and every answer must carry both.
void expectIdsEchoed(const std::vector<std::string>& j, size_t batches) {
  auto login = linesWith(j, "cat=0x0200 fn=0x0100 ");
  auto convs = linesWith(j, " pam-conv ");
  auto answers = linesWith(j, "cat=0x0200 fn=0x0021 ");
  ASSERT_EQ(login.size(), 1u);
  ASSERT_EQ(convs.size(), batches);
  ASSERT_EQ(answers.size(), batches);
  std::string id = field(login[0], "id");
  for (size_t i = 0; i < batches; i++) {
    EXPECT_EQ(field(convs[i], "id"), id);
    EXPECT_EQ(field(answers[i], "id"), id);
    EXPECT_EQ(field(answers[i], "thread"), field(convs[i], "thread"));
    EXPECT_NE(field(answers[i], "thread"), "0");
    // A task message expects no reply.
    EXPECT_EQ(field(answers[i], "flags"), "0x90000000");
  }
}

const std::string kAliceScript = [] {
  GwsimConfig c;
  GwsimBlock& pam = c.user("alice", "wonderland").child("Pam");
  pam.block("Batch")
      .set("Message", "4 Welcome to the gateway")
      .set("Message", "1 Password:")
      .set("Answer", "wonderland");
  pam.block("Batch")
      .set("Message", "2 Code:")
      .set("Answer", 4711)
      .set("Message", "3 Your token expires soon");
  return c.text();
}();

}  // namespace

// Two batches under a terminal: the text of style 4 on the terminal, the
// echo-off answer not shown, the echo-on answer shown, the error text on
// standard error; each answer batch exactly as the record layout says.
TEST(Pam, QuestionsAndTextsOnTheTerminal) {
  GwsimFixture gw(kAliceScript);
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  PtyProcess p([&] {
    int failures = 0;
    pamEnv(gw);
    quor_SetAuthType(QUOR_AUTH_PAM);
    quor_SetCombo("alice", nullptr);
    int rc = clientStartup();
    if (rc != 0) fprintf(stderr, "log-in returned %d\n", rc);
    CHILD_CHECK(failures, rc == 0);
    return failures;
  });
  ASSERT_TRUE(p.started());
  EXPECT_TRUE(p.waitFor("Welcome to the gateway\r\n")) << p.screen;
  ASSERT_TRUE(p.waitFor("\rPassword:")) << p.screen;
  p.type("wonderland\n");
  ASSERT_TRUE(p.waitFor("\rCode:")) << p.screen;
  p.type("4711\n");
  EXPECT_EQ(p.finish(), 0) << p.errText;
  EXPECT_EQ(p.screen.find("wonderland"), std::string::npos) << p.screen;
  EXPECT_NE(p.screen.find("4711"), std::string::npos) << p.screen;
  EXPECT_NE(p.errText.find("Your token expires soon\n"), std::string::npos) << p.errText;
  EXPECT_EQ(p.screen.find("expires"), std::string::npos);
  // Prompts never reach standard output.
  EXPECT_EQ(p.outText.find("Password"), std::string::npos);

  auto j = gw.journalLines();
  EXPECT_EQ(countLines(j, "fn=0x0100 id="), 1);
  EXPECT_EQ(countLines(j, "user=alice"), 1);
  auto answers = linesWith(j, "fn=0x0021");
  ASSERT_EQ(answers.size(), 2u);
  // Batch 1: the text asks nothing (length 0, no data), the password
  // follows right after with its length + 1 and its zero byte.
  EXPECT_EQ(field(answers[0], "answers"),
            "00000000" "00000000"
            "0000000b" "00000000" "776f6e6465726c616e64" "00");
  // Batch 2: the code, then the error text's empty record.
  EXPECT_EQ(field(answers[1], "answers"),
            "00000005" "00000000" "34373131" "00"
            "00000000" "00000000");
  EXPECT_EQ(field(answers[0], "count"), "2");
  EXPECT_EQ(countLines(j, "wrong-"), 0);
  EXPECT_EQ(countLines(j, "bad-batch"), 0);
  expectIdsEchoed(j, 2);
}

// An empty answer goes as one zero byte; an answer of 600 characters is cut
// at 511 and the rest of its line is not taken as the next answer.
TEST(Pam, EmptyAndOverLongAnswers) {
  GwsimConfig config;
  GwsimBlock& pam = config.user("alice").child("Pam");
  pam.block("Batch").set("Message", "1 First:").set("Message", "1 Second:");
  pam.block("Batch").set("Message", "2 Third:").set("Answer", "after");
  GwsimFixture gw(config.text());
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  PtyProcess p([&] {
    int failures = 0;
    pamEnv(gw);
    quor_SetAuthType(QUOR_AUTH_PAM);
    quor_SetCombo("alice", nullptr);
    CHILD_CHECK(failures, clientStartup() == 0);
    return failures;
  });
  ASSERT_TRUE(p.started());
  ASSERT_TRUE(p.waitFor("\rFirst:")) << p.screen;
  p.type("\n");
  ASSERT_TRUE(p.waitFor("\rSecond:")) << p.screen;
  p.type(std::string(600, 'x') + "\n");
  ASSERT_TRUE(p.waitFor("\rThird:")) << p.screen;
  p.type("after\n");
  EXPECT_EQ(p.finish(), 0) << p.errText;

  auto j = gw.journalLines();
  auto answers = linesWith(j, "fn=0x0021");
  ASSERT_EQ(answers.size(), 2u);
  std::string xs;
  for (int i = 0; i < 511; i++) xs += "78";
  EXPECT_EQ(field(answers[0], "answers"),
            "00000001" "00000000" "00"
            "00000200" "00000000" + xs + "00");
  EXPECT_EQ(field(answers[1], "answers"), "00000006" "00000000" "6166746572" "00");
  EXPECT_EQ(countLines(j, "wrong-"), 0);
  expectIdsEchoed(j, 2);
}

// Without a principal the name is asked on the terminal, again while it is
// blank; a user without a script is asked for the password once.
TEST(Pam, PrincipalAskedUntilGiven) {
  GwsimFixture gw(userConfig("alice", "wonderland").text());
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  PtyProcess p([&] {
    int failures = 0;
    pamEnv(gw);
    quor_SetAuthType(QUOR_AUTH_PAM);
    CHILD_CHECK(failures, clientStartup() == 0);
    return failures;
  });
  ASSERT_TRUE(p.started());
  std::string ask = "\r" + std::string(50, ' ') + "\rPrincipal: ";
  ASSERT_TRUE(p.waitFor(ask)) << p.screen;
  p.type("   \n");
  ASSERT_TRUE(p.waitFor(ask)) << p.screen;
  p.type("alice \t\n");
  ASSERT_TRUE(p.waitFor("\rPassword: ")) << p.screen;
  p.type("wonderland\n");
  EXPECT_EQ(p.finish(), 0) << p.errText;
  auto j = gw.journalLines();
  EXPECT_EQ(countLines(j, "fn=0x0100 id="), 1);
  EXPECT_EQ(countLines(j, "user=alice"), 1);
  EXPECT_EQ(countLines(j, "wrong-"), 0);
  expectIdsEchoed(j, 1);
}

// The driver's list COMBO, PAM: COMBO fails locally (its key exchange is
// refused), keeps the stored password and leaves the result to PAM, which
// runs the exchange again and logs in without a terminal.
TEST(Pam, AfterComboFailsLocally) {
  GwsimConfig config;
  config.fault("Error", "0x0200 0x0012 1 -5");
  config.user("alice", "wonderland").child("Pam").block("Batch").set("Message", "4 Access granted");
  GwsimFixture gw(config.text());
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  ChildResult r = runInChild([&] {
    int failures = 0;
    pamEnv(gw);
    setenv("QUOR_AUTH_METHOD", "combo:pam", 1);
    quor_SetCombo("alice", "wonderland");
    int rc = clientStartup();
    CHILD_CHECK(failures, rc == 0);
    int count = 0;
    CHILD_CHECK(failures, quor_GetAuthType(&count) == QUOR_AUTH_PAM && count == 2);
    return failures;
  });
  EXPECT_EQ(r.status, 0) << r.stderrText;
  // The text for the terminal is not shown anywhere else.
  EXPECT_NE(r.stderrText.find("opening control terminal"), std::string::npos) << r.stderrText;
  EXPECT_EQ(r.stderrText.find("Access granted"), std::string::npos);
  auto j = gw.journalLines();
  EXPECT_EQ(countLines(j, "fn=0x0104 id="), 1);
  EXPECT_EQ(countLines(j, "fn=0x0012 id="), 2);
  EXPECT_EQ(countLines(j, "fn=0x0130"), 0);
  EXPECT_EQ(countLines(j, "fn=0x0100 id="), 1);
  EXPECT_EQ(field(linesWith(j, "fn=0x0021")[0], "answers"), "00000000" "00000000");
  expectIdsEchoed(j, 1);
}

// Without a terminal: a question cannot be asked and is answered empty, so
// the gateway refuses; without a stored password nothing is sent at all; an
// unknown user is refused before any conversation; a gateway error without
// a body ends the log-in instead of leaving it waiting.
TEST(Pam, WithoutTerminal) {
  struct Case {
    const char* name;
    const char* principal;
    const char* password;
    const char* errorRule;  // a fault rule Error = ..., or ""
    int rc;
    int loginRequests;
    int conversations;
  } cases[] = {
      {"question unanswered", "alice", "any", "", -10003, 1, 1},
      {"no password stored", "alice", nullptr, "", -22, 0, 0},
      {"no principal stored", nullptr, "any", "", -22, 0, 0},
      {"unknown user", "mallory", "any", "", -10003, 1, 0},
      {"gateway error", "alice", "any", "0x0200 0x0100 1 -13", -13, 1,
       0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    GwsimConfig config;
    if (*c.errorRule) config.fault("Error", c.errorRule);
    config.user("alice", "wonderland");
    GwsimFixture gw(config.text());
    ASSERT_TRUE(gw.running()) << gw.stderrText();
    ChildResult r = runInChild(
        [&] {
          int failures = 0;
          pamEnv(gw);
          quor_SetAuthType(QUOR_AUTH_PAM);
          quor_SetCombo(c.principal, c.password);
          int rc = clientStartup();
          if (rc != c.rc) fprintf(stderr, "log-in returned %d\n", rc);
          CHILD_CHECK(failures, rc == c.rc);
          return failures;
        },
        30);
    EXPECT_EQ(r.status, 0) << r.stderrText;
    EXPECT_NE(r.stderrText.find("*** quorex_OpenConnection: Unable to authenticate user"),
              std::string::npos)
        << r.stderrText;
    auto j = gw.journalLines();
    EXPECT_EQ(countLines(j, "fn=0x0100 id="), c.loginRequests);
    EXPECT_EQ(countLines(j, "fn=0x0021"), c.conversations);
    std::string log = readFile(clientLogPath(gw));
    if (c.rc == -22) {
      EXPECT_NE(log.find("*** Not running interactively & username not set - PAM "
                         "authentication failed\n!"),
                std::string::npos)
          << log;
    }
    if (c.conversations) {
      EXPECT_NE(r.stderrText.find("*** pamOpenDevTTY:  error "), std::string::npos)
          << r.stderrText;
      auto answers = linesWith(j, "fn=0x0021");
      EXPECT_EQ(field(answers[0], "answers"), "00000001" "00000000" "00");
      EXPECT_NE(answers[0].find(" wrong-answer"), std::string::npos);
    }
  }
}

// Batches that cannot be walked end the log-in with -22, show nothing of
// themselves (an error text before the bad record stays unshown) and send
// no answer; the simulator survives every one of them.
TEST(Pam, MalformedBatchesAreRefused) {
  std::vector<std::string> many;
  for (int i = 0; i < 33; i++) many.push_back("Message = 4 line " + std::to_string(i));
  struct Case {
    std::string name;
    std::vector<std::string> batch;  // the lines of its one Batch
    std::string logText;
  } cases[] = {
      {"33 messages", many, "invalid PAM message count 33 received - aborting \n"},
      {"count 0", {"Message = 3 shown", "Count = 0"},
       "invalid PAM message count 0 received - aborting \n"},
      {"count -1", {"Message = 3 shown", "Count = -1"},
       "invalid PAM message count -1 received - aborting \n"},
      {"style 5", {"Message = 3 shown", "Message = 5 odd"},
       "Bad PAM conversation msg style received: 5 Aborting PAM auth\n"},
      {"style 0", {"Message = 0 odd"},
       "Bad PAM conversation msg style received: 0 Aborting PAM auth\n"},
      {"huge msg_len", {"Message = 3 shown", "Message = 3 long", "MsgLen = 0xffffffff"},
       "PAM message 2 runs past the end of its batch - aborting\n"},
      {"msg_len one past the end", {"Message = 3 shown", "MsgLen = 7"},
       "PAM message 1 runs past the end of its batch - aborting\n"},
      {"more records than bytes", {"Message = 3 shown", "Count = 2"},
       "PAM message 2 runs past the end of its batch - aborting\n"},
      {"undecryptable", {"Message = 3 shown", "Undecryptable"},
       "decrypting PAM conversation - aborting\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    GwsimConfig config;
    GwsimBlock& batch = config.user("alice").child("Pam").block("Batch");
    for (const std::string& line : c.batch) batch.lines(line);
    GwsimFixture gw(config.text());
    ASSERT_TRUE(gw.running()) << gw.stderrText();
    ChildResult r = runInChild(
        [&] {
          int failures = 0;
          pamEnv(gw);
          quor_SetAuthType(QUOR_AUTH_PAM);
          quor_SetCombo("alice", "unused");
          int rc = clientStartup();
          if (rc != -22) fprintf(stderr, "log-in returned %d\n", rc);
          CHILD_CHECK(failures, rc == -22);
          return failures;
        },
        30);
    EXPECT_EQ(r.status, 0) << r.stderrText;
    EXPECT_EQ(r.stderrText.find("shown\n"), std::string::npos) << r.stderrText;
    EXPECT_EQ(r.stderrText.find("line 0"), std::string::npos);
    EXPECT_NE(readFile(clientLogPath(gw)).find(c.logText), std::string::npos)
        << readFile(clientLogPath(gw));
    auto j = gw.journalLines();
    EXPECT_EQ(countLines(j, " pam-conv "), 1);
    EXPECT_EQ(countLines(j, "fn=0x0021"), 0);
    EXPECT_EQ(gw.stop(), 0) << gw.stderrText();
  }
}

// A conversation the client gives up on leaves the gateway waiting for an
// answer: the method list stops there instead of sending the next method's
// log-in into that conversation, and the open fails with PAM's code.
TEST(Pam, AbandonedConversationEndsTheMethodList) {
  GwsimConfig config;
  config.user("alice", "wonderland").child("Pam").block("Batch").set("Message", "5 odd");
  GwsimFixture gw(config.text());
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  ChildResult r = runInChild(
      [&] {
        int failures = 0;
        pamEnv(gw);
        const int methods[] = {QUOR_AUTH_PAM, QUOR_AUTH_COMBO};
        CHILD_EQ(failures, quor_SetAuthMethodList(2, methods), 0);
        quor_SetCombo("alice", "wonderland");
        CHILD_EQ(failures, clientStartup(), -22);
        return failures;
      },
      30);
  EXPECT_EQ(r.status, 0) << r.stderrText;
  // The log-in's line is written once gwsim stops waiting for the answer,
  // which may be after the client is gone.
  EXPECT_TRUE(gw.waitForJournal("fn=0x0100 id="));
  auto j = gw.journalLines();
  EXPECT_EQ(countLines(j, "fn=0x0100 id="), 1);
  EXPECT_EQ(countLines(j, "fn=0x0104"), 0);
}

// A text that arrives without its zero byte ends with its record: what the
// decryption buffer still holds from the longer batch before is not shown.
TEST(Pam, UnterminatedTextEndsWithItsRecord) {
  GwsimConfig config;
  GwsimBlock& pam = config.user("alice").child("Pam");
  pam.block("Batch").set("Message", "3 " + std::string(48, 'A'));
  pam.block("Batch").set("Message", "3 Last words").flag("NoZero");
  GwsimFixture gw(config.text());
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  ChildResult r = runInChild([&] {
    int failures = 0;
    pamEnv(gw);
    quor_SetAuthType(QUOR_AUTH_PAM);
    quor_SetCombo("alice", "unused");
    CHILD_CHECK(failures, clientStartup() == 0);
    return failures;
  });
  EXPECT_EQ(r.status, 0) << r.stderrText;
  EXPECT_NE(r.stderrText.find("AAAAAAAA\nLast words\n"), std::string::npos) << r.stderrText;
  auto j = gw.journalLines();
  EXPECT_EQ(countLines(j, "fn=0x0021"), 2);
  EXPECT_EQ(countLines(j, "wrong-"), 0);
}
