// The yes/no question on a real pseudo terminal, and prompt escapes the
// path tests leave out. The question decides once per process whether its
// input is a terminal, so each case runs in a child of its own.
#include <gtest/gtest.h>
#include <pty.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <string>

#include "client_process.h"
#include "ozu_context.h"
#include "ozu_prompt.h"
#include "ozurc.h"
#include "ozuvars.h"

namespace {

// Runs body with ttyIn the slave side of a new pseudo terminal whose
// master has been given typed; ttyOut collects into a pipe.
ChildResult withTerminal(const std::string &typed, const std::function<int()> &body)
{
  return runInChild([&] {
    int master = -1, slave = -1;
    if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0)
      return 99;
    if (write(master, typed.data(), typed.size()) != ssize_t(typed.size()))
      return 98;
    ttyIn = fdopen(slave, "r");
    ttyOut = fopen("/dev/null", "w");
    int failures = body();
    // The end of the input: the terminal's other side goes away.
    close(master);
    return failures;
  });
}

}  // namespace

TEST(Question, AnswersByFirstLetter)
{
  ChildResult r = withTerminal("all\nq\n\nmaybe\nYes\nn\n", [] {
    int f = 0;
    CHILD_EQ(f, ozu_GetYesNo("remove", "a"), 1);
    CHILD_EQ(f, ozu_GetYesNo("remove", "b"), 3);
    // An empty and an unknown line ask again.
    CHILD_EQ(f, ozu_GetYesNo("remove", "c"), 0);
    CHILD_EQ(f, ozu_GetYesNo("remove", "d"), 2);
    promptFlag = 0;
    CHILD_EQ(f, ozu_GetYesNo("remove", "e"), 0);
    promptFlag = 1;
    return f;
  });
  EXPECT_EQ(r.status, 0) << r.stderrText;
}

TEST(Question, EndOfInputAndNoTerminal)
{
  ChildResult r = withTerminal("\x04", [] {
    int f = 0;
    CHILD_EQ(f, ozu_GetYesNo("overwrite", "x"), -1);
    return f;
  });
  EXPECT_EQ(r.status, 0) << r.stderrText;
  r = runInChild([] {
    int f = 0;
    ttyIn = fopen("/dev/null", "r");
    promptFlag = 0;
    CHILD_EQ(f, ozu_GetYesNo("overwrite", "x"), -1);
    return f;
  });
  EXPECT_EQ(r.status, 0) << r.stderrText;
}

TEST(Prompt, EscapesOfTheConnection)
{
  ChildResult r = runInChild([] {
    int f = 0;
    ozu_context_t ctx;
    memset(&ctx, 0, sizeof ctx);
    ctx.handle = 77;  // no library connection has it
    ctx.driveLetter = 'C';
    ctx.commandCount = 12;
    ctx.curLogin.principal = const_cast<char *>("alice");
    ctx.wd[0] = const_cast<char *>("/");
    sesskeyset.curContext = &ctx;
    globalDefs.promptLen = 1024;
    globalDefs.promptDirLen = 50;
    std::string p = ozu_FormatPrompt("[%I]%L#%N %d%W2 %w %H");
    if (p != "[]alice#12 C:/ / [unknownhost]") {
      fprintf(stderr, "prompt [%s]\n", p.c_str());
      ++f;
    }
    std::string t = ozu_FormatPrompt("%D %T");
    CHILD_EQ(f, t.size(), 19);
    CHILD_EQ(f, t[4] == '/' && t[7] == '/' && t[13] == ':' && t[16] == ':', 1);
    return f;
  });
  EXPECT_EQ(r.status, 0) << r.stderrText;
}
