// Storage and local path shorthands, working directories, the prompt
// template and keyword values that need no gateway.
#include <gtest/gtest.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "ozu_context.h"
#include "ozu_keyset.h"
#include "ozu_paths.h"
#include "ozu_prompt.h"
#include "ozurc.h"
#include "ozuvars.h"

namespace {

// A connection of our own with working directories, in force for a test.
class Slots : public ::testing::Test {
 protected:
  void SetUp() override
  {
    memset(&ctx, 0, sizeof ctx);
    ctx.handle = 2;
    ctx.driveLetter = 'B';
    ctx.quor_name = const_cast<char *>("gw.example.org");
    ctx.curLogin.homeDir = const_cast<char *>("/home/u");
    ctx.wd[0] = strdup("/home/u");
    ctx.relflag[0] = 1;
    ctx.wd[3] = strdup("/proj/data");
    ctx.relflag[3] = 1;
    savedSess = sesskeyset;
    savedKeyset = keyset;
    sesskeyset = Keyset{};
    sesskeyset.curContext = &ctx;
    sesskeyset.fs_char = ':';
    keyset = &sesskeyset;
    errFile = listF = ttyOut = stderr;
    before = exitcode.load();
  }
  void TearDown() override
  {
    for (int i = 0; i < OZU_NWD; ++i)
      if (ctx.relflag[i])
        free(ctx.wd[i]);
    sesskeyset = savedSess;
    keyset = savedKeyset;
    exitcode = before;
  }
  std::string expand(const std::string &name, int *rc = nullptr)
  {
    char buf[4096];
    int r = expandQUORpath(name.c_str(), buf, sizeof buf);
    if (rc)
      *rc = r;
    return r == 1 ? buf : (r == 0 ? "<none>" : "<error>");
  }
  ozu_context_t ctx;
  Keyset savedSess, *savedKeyset = nullptr;
  int before = 0;
};

TEST_F(Slots, StorageShorthands)
{
  struct {
    const char *in, *out;
  } cases[] = {
      {".", "/home/u"},          {"..", "/home"},         {"../x", "/home/x"},
      {"./a", "/home/u/a"},      {"-", "/home/u"},        {"-1", "/home"},
      {"-2x", "/x"},             {"3'", "/proj/data"},    {"3'x", "/proj/data/x"},
      {"3'../y", "/proj/y"},     {"~", "/home/u"},        {"~/f", "/home/u/f"},
      {"plain", "<none>"},       {"/abs", "<none>"},      {"-0", "<error>"},
      {"../../..", "<error>"},   {"..x", "<error>"},      {"5'", "<error>"},
      {"3'-", "<error>"},        {"-x", "<error>"},
  };
  for (const auto &c : cases)
    EXPECT_EQ(expand(c.in), c.out) << c.in;
}

TEST_F(Slots, TypedPathsOfCommands)
{
  char buf[4096];
  struct {
    const char *in, *out;
  } cases[] = {
      {".", "/home/u"},         {"..", "/home"},           {"../x", "/home/x"},
      {"./a/../b", "/home/u/b"}, {"./../x", "/home/u/../x"}, {"3'../y", "/proj/y"},
      {"-", "/home/u"},         {"-2", "-2"},
  };
  for (const auto &c : cases) {
    ASSERT_EQ(ozu_ExpandQUORPath(c.in, buf, sizeof buf), 0) << c.in;
    EXPECT_STREQ(buf, c.out) << c.in;
  }
}

TEST_F(Slots, AbsolutePathsAndSlots)
{
  char buf[4097];
  EXPECT_STREQ(makeQUORpath_r(0, "f", buf), "/home/u/f");
  EXPECT_STREQ(makeQUORpath_r(3, "f/", buf), "/proj/data/f");
  EXPECT_STREQ(makeQUORpath_r(0, "/x/", buf), "/x");
  EXPECT_EQ(setcwdQUOR(&sesskeyset, 5, "sub//", 0), 0);
  EXPECT_STREQ(getcwdQUOR(5), "/home/u/sub") << "a relative path joins slot 0";
  EXPECT_EQ(setcwdQUOR(&sesskeyset, 5, "deeper", 0), 0);
  EXPECT_STREQ(getcwdQUOR(5), "/home/u/sub/deeper");
}

TEST_F(Slots, LocalShorthands)
{
  char cwd[PATH_MAX];
  ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
  ASSERT_EQ(chdir("/usr/share"), 0);
  char buf[4096];
  EXPECT_EQ(expandWorkerPath(".", buf, sizeof buf), 0);
  EXPECT_EQ(expandWorkerPath("..", buf, sizeof buf), 1);
  EXPECT_STREQ(buf, "/usr");
  EXPECT_EQ(expandWorkerPath("../x", buf, sizeof buf), 1);
  EXPECT_STREQ(buf, "/usr/x");
  EXPECT_EQ(expandWorkerPath("./.profile", buf, sizeof buf), 1);
  EXPECT_STREQ(buf, "/usr/share/.profile");
  EXPECT_EQ(expandWorkerPath("../../..", buf, sizeof buf), -1);
  ASSERT_EQ(chdir(cwd), 0);
}

TEST_F(Slots, PromptEscapes)
{
  globalDefs.promptLen = 1024;
  globalDefs.promptDirLen = 50;
  EXPECT_STREQ(ozu_FormatPrompt("%c:%d> "), "2:B:> ");
  EXPECT_STREQ(ozu_FormatPrompt("%H|%h|%x|end%"), "gw|gw.example.org|%x|end%");
  free(ctx.wd[0]);
  ctx.wd[0] = strdup("/home/user/projects/alpha/data");
  EXPECT_STREQ(ozu_FormatPrompt("%W2"), "alpha/data");
  EXPECT_STREQ(ozu_FormatPrompt("%W9"), "/home/user/projects/alpha/data");
  globalDefs.promptDirLen = 20;
  EXPECT_STREQ(ozu_FormatPrompt("%w"), "/home.../data");
  EXPECT_STREQ(ozu_FormatPrompt("%w2"), "/home.../alpha/data");
  globalDefs.promptLen = 5;
  EXPECT_STREQ(ozu_FormatPrompt("abcdefgh"), "abcde");
  globalDefs.promptLen = 1024;
}

TEST_F(Slots, KeywordValuesAndTheirLimits)
{
  struct {
    const char *kw, *value;
    int rc;
  } cases[] = {
      {"lines", "10", 0},        {"lines", "2047", 0},     {"lines", "9", -1},
      {"lines", "2048", -1},     {"lines", "1k", 0},       {"col", "1", 0},
      {"dcreate", "8", -1},      {"dcreatemode", "0755", 0}, {"fcreate", "01000", -1},
      {"cop", "15", 0},          {"cop", "16", -1},        {"pwid", "auto", 0},
      {"pwid", "AUTO", -1},      {"iob", "AUTO", 0},       {"iob", "1m", 0},
      {"iob", "1000", -1},       {"ba", "on", 0},          {"ba", "yes", -1},
      {"wait", "anything", 0},   {"family", "-1", -1},     {"nonsense", "1", -1},
      {"promptl", "9", -1},      {"PS1", "x> ", 0},        {"family", "2147483648", -1},
      {"agentc", "99999999999", -1}, {"agentc", "4", 0},
  };
  for (const auto &c : cases)
    EXPECT_EQ(setKeyword(c.kw, c.value, &sesskeyset), c.rc) << c.kw << "=" << c.value;
  EXPECT_EQ(sesskeyset.lines_per_page, 1024) << "1k is 1024";
  EXPECT_EQ(ctx.dcreateMode, mode_t(0755));
  EXPECT_EQ(sesskeyset.copies, 15);
  EXPECT_STREQ(sesskeyset.PS1, "x> ");
  free(sesskeyset.PS1);
  EXPECT_GE(exitcode.load(), 64);
}

}  // namespace

namespace {

TEST_F(Slots, PerCommandCopiesOwnTheirStrings)
{
  sesskeyset.PS1 = strdup("sess> ");
  sesskeyset.PS2 = strdup("more> ");
  ctx.namedCosList = strdup("fast");
  for (int round = 0; round < 3; ++round) {
    ozu_MakeCommandCopies();
    ASSERT_EQ(keyset, &cmdkeyset);
    ASSERT_EQ(cmdkeyset.curContext, &cmdContext);
    EXPECT_EQ(setKeyword("PS1", "cmd> ", &cmdkeyset), 0);
    EXPECT_EQ(setKeyword("coslist", "none", &cmdkeyset), 0);
    EXPECT_EQ(setcwdQUOR(&cmdkeyset, 0, "/elsewhere", 0), 0);
    EXPECT_EQ(setKeyword("dir4", "-", &cmdkeyset), 0);
    freeKeysetStrings(&cmdkeyset);
    EXPECT_STREQ(sesskeyset.PS1, "sess> ") << "the session's prompt is untouched";
    EXPECT_STREQ(ctx.namedCosList, "fast");
    EXPECT_STREQ(ctx.wd[0], "/home/u");
  }
  keyset = &sesskeyset;
  free(sesskeyset.PS1);
  free(sesskeyset.PS2);
  free(ctx.namedCosList);
}

}  // namespace

namespace {

// Lists of allocated strings as the commands hand them over.
std::vector<std::string> expandList(const std::vector<std::string> &in, int colallowed, int which,
                                    int *rc)
{
  std::vector<char *> l;
  for (const std::string &s : in)
    l.push_back(strdup(s.c_str()));
  l.push_back(nullptr);
  *rc = expandUPaths(l.data(), colallowed, which);
  std::vector<std::string> out;
  for (char *s : l)
    if (s) {
      out.push_back(s);
      free(s);
    }
  return out;
}

TEST_F(Slots, LocalAndStoragePairs)
{
  char cwd[PATH_MAX];
  ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
  ASSERT_EQ(chdir("/usr/share"), 0);
  int rc = 0;
  sesskeyset.fs_char = '#';
  // Each side by its own rules, rejoined with the keyset's separator; an
  // escaped separator and one in the first place separate nothing.
  std::vector<std::string> got =
      expandList({"../a#3'b", "plain", "x\\#y", "#-", "./f#g", "-"}, 1, 1, &rc);
  EXPECT_EQ(rc, 0);
  EXPECT_EQ(got, (std::vector<std::string>{"/usr/a#/proj/data/b", "plain", "x\\#y", "#-",
                                           "/usr/share/f#g", "/home/u"}));
  // Whole local strings with which 0.
  got = expandList({"../z", "-"}, 1, 0, &rc);
  EXPECT_EQ(got, (std::vector<std::string>{"/usr/z", "-"}));
  // colallowed 0 refuses a pair; a failed side stays as it was.
  got = expandList({"a#b"}, 0, 1, &rc);
  EXPECT_EQ(rc, -1);
  got = expandList({"7'x#..", "..#7'x"}, 1, 1, &rc);
  EXPECT_EQ(got, (std::vector<std::string>{"7'x#/home", "/usr#7'x"}));
  sesskeyset.fs_char = ':';
  ASSERT_EQ(chdir(cwd), 0);
}

}  // namespace
