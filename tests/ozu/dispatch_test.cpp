// The command table's order, set lines, and the reading of command lines:
// ";" splitting, quotes, continuation, the in-file.
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "ozu_cmdread.h"
#include "ozu_context.h"
#include "ozu_dispatch.h"
#include "ozu_help.h"
#include "ozu_heredoc.h"
#include "ozu_keyset.h"
#include "ozuvars.h"

namespace {

// The first row whose abbreviation the word starts with, as the
// dispatcher searches.
const CCmdtab *firstRow(const std::string &word)
{
  for (const CCmdtab &e : OZUCmds)
    if (word.compare(0, strlen(e.abbrev), e.abbrev) == 0)
      return &e;
  return nullptr;
}

TEST(CommandTable, EveryFullNameReachesItsOwnRow)
{
  int clientOnly = 0;
  for (const CCmdtab &e : OZUCmds) {
    std::string full = e.fullcmd;
    if (!full.empty() && full.back() == '\'')
      full.pop_back();
    EXPECT_EQ(firstRow(full), &e) << full;
    EXPECT_EQ(full.compare(0, strlen(e.abbrev), e.abbrev), 0) << full;
    clientOnly += e.clientOnly;
  }
  EXPECT_EQ(clientOnly, 29) << "get mget cget recv put store send replace save in out log lcd "
                               "lcdls lls lmkdir lmd lpwd history r quit exit end bye connect "
                               "close firewall showcon lssites";
  EXPECT_STREQ(firstRow("suni")->fullcmd, "su");
  EXPECT_STREQ(firstRow("cdls")->fullcmd, "cdls");
  EXPECT_EQ(firstRow("mput")->clientOnly, 0);
  EXPECT_EQ(firstRow("get")->clientOnly, 1);
}

TEST(SetLines, RecognisedBeforeTheTable)
{
  EXPECT_EQ(isSetCmd("cos=5"), 1);
  EXPECT_EQ(isSetCmd("cos =5"), 1);
  EXPECT_EQ(isSetCmd("  cos = 5"), 1);
  EXPECT_EQ(isSetCmd("ls a=b"), 0);
  EXPECT_EQ(isSetCmd("ls"), 0);
  EXPECT_EQ(isSetCmd(""), 0);
}

TEST(Keywords, Lookup)
{
  struct {
    const char *word;
    int type;
  } cases[] = {{"cos", 2},    {"cosi", 2},  {"cosid", 2},  {"coslist", 4}, {"co", -1},
               {"cosidx", -1}, {"d", 8},     {"di", 8},     {"dir", 8},     {"dir0", 8},
               {"d7", 8},      {"dir10", -1}, {"dcreatemode", 7}, {"iob", 16}, {"pbufsize", 16},
               {"PS1", 17},    {"ps1", -1},  {"lines", 19}, {"line", -1},   {"wait", 13}};
  for (const auto &c : cases)
    EXPECT_EQ(lookupKW(c.word), c.type) << c.word;
}

// Hands out the commands of one start-up command line.
std::vector<std::string> commandsOf(const std::string &line)
{
  snprintf(cmdbuf, sizeof cmdbuf, "%s", line.c_str());
  pcmdbuf = cmdbuf;
  cbuflen = startupCmdlen = int(line.size());
  infileFlag = 0;
  std::vector<std::string> out;
  for (int i = 0; i < 20; ++i) {
    ozu_GetNextCommand();
    out.push_back(loccmdLine);
    if (out.back() == "end")
      break;
  }
  return out;
}

using V = std::vector<std::string>;

TEST(CommandReading, SplitsAtSemicolonsOutsideGroups)
{
  listF = errFile = ttyOut = stderr;
  verboseFlag = 0;
  debug = 0;
  EXPECT_EQ(commandsOf("ls; cd /a;pwd"), (V{"ls", "cd /a", "pwd", "end"}));
  EXPECT_EQ(commandsOf("echo \"a;b\"; x (1;2) {3;4}"),
            (V{"echo \"a;b\"", "x (1;2) {3;4}", "end"}));
  EXPECT_EQ(commandsOf("!ls; pwd"), (V{"!ls; pwd", "end"}));
  EXPECT_EQ(commandsOf("a\\;b; c  "), (V{"a\\;b", "c", "end"}));
}

class InFile : public ::testing::Test {
 protected:
  void SetUp() override
  {
    const char *base = getenv("TMPDIR");
    std::string tmpl = std::string(base && *base ? base : "/tmp") + "/ozu_infile_XXXXXX";
    int fd = mkstemp(tmpl.data());
    ASSERT_GE(fd, 0);
    close(fd);
    path = tmpl;
    listF = errFile = stderr;
    ttyOut = fopen("/dev/null", "w");
  }
  void TearDown() override
  {
    unlink(path.c_str());
    fclose(ttyOut);
    ttyOut = stderr;
  }
  void feed(const std::string &text)
  {
    FILE *f = fopen(path.c_str(), "w");
    fputs(text.c_str(), f);
    fclose(f);
    fdIn = fopen(path.c_str(), "r");
    infileFlag = 1;
    infileName = strdup(path.c_str());
    echoSave = echoFlag;
  }
  std::vector<std::string> drain()
  {
    std::vector<std::string> out;
    cbuflen = 0;
    startupCmdlen = 0;
    altListF = ttyOut;  // as with -O: the end of the file ends the session
    for (int i = 0; i < 20; ++i) {
      ozu_GetNextCommand();
      out.push_back(loccmdLine);
      if (out.back() == "end")
        break;
    }
    altListF = nullptr;
    return out;
  }
  std::string path;
};

TEST_F(InFile, ContinuationAndALastLineWithoutNewline)
{
  feed("ls \\\n  -l; pwd\n# note\nversion");
  EXPECT_EQ(drain(), (V{"ls   -l", "pwd", "# note", "version", "end"}));
  EXPECT_EQ(infileFlag, 0);
}

TEST_F(InFile, HereDocumentNames)
{
  feed("a b\n\"c d\"e\n  # x\nf\\ g 'h'\nEOF trailing\n  EOF\nafter\n");
  int count = 0;
  char **names = ozu_GetHDTokenList("EOF", &count);
  std::vector<std::string> got;
  for (int i = 0; i < count; ++i) {
    got.push_back(names[i]);
    free(names[i]);
  }
  free(names);
  EXPECT_EQ(got, (V{"a", "b", "c d", "e", "f g", "h", "EOF", "trailing"}));
  char line[100];
  int eof = 0;
  ozu_GetCommandLine("", line, sizeof line, &eof);
  EXPECT_STREQ(line, "after");
  fclose(fdIn);
  infileFlag = 0;
}

TEST(HelpText, ColumnsOfTheRows)
{
  FILE *f = tmpfile();
  FILE *saved = ttyOut;
  ttyOut = f;
  ozu_HelpSummary();
  ttyOut = saved;
  rewind(f);
  char line[256];
  int rows = 0;
  bool lastSection = false;
  while (fgets(line, sizeof line, f)) {
    std::string s = line;
    if (s.rfind("OZU control commands", 0) == 0)
      lastSection = true;
    if (s.rfind("+++", 0) == 0)
      break;
    size_t dash = s.find("- ");
    if (dash == std::string::npos || s[0] == '-' || s[0] == ' ')
      continue;
    ++rows;
    if (s.rfind("put, cput", 0) == 0) {
      EXPECT_EQ(s.substr(0, dash), "put, cput, mput, replace, save, store, send ");
    } else {
      EXPECT_EQ(dash, lastSection ? 34u : 33u) << s;
    }
  }
  fclose(f);
  EXPECT_EQ(rows, 17 + 2 + 4 + 5 + 2 + 9 + 10 + 12 + 5 + 4 + 14);
}

}  // namespace
