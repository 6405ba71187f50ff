// The command frame of the handlers: option words, keyword settings taken
// out of the words, names until an interrupt, wildcard results, drive
// words and the switch back to the connection a command began on.
#include <gtest/gtest.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "ozu_cmdframe.h"
#include "ozu_context.h"
#include "ozu_getopt.h"
#include "ozu_glob.h"
#include "ozuvars.h"
#include "temp_dir.h"

namespace {

std::string drain(FILE *f)
{
  fflush(f);
  std::string text;
  rewind(f);
  char buf[512];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0)
    text.append(buf, n);
  rewind(f);
  if (ftruncate(fileno(f), 0) != 0)
    text += "<truncate failed>";
  return text;
}

// Two connections of our own (A: handle 1, B: handle 2), A current, the
// command's keyset a copy of the session's; the listing and error streams
// go to files the test reads.
class Frame : public ::testing::Test {
 protected:
  void SetUp() override
  {
    memset(ctx, 0, sizeof ctx);
    for (int i = 0; i < 2; ++i) {
      ctx[i].handle = i + 1;
      ctx[i].driveLetter = char('A' + i);
      ctx[i].next = i == 0 ? &ctx[1] : nullptr;
    }
    savedList = ozu_connectList;
    ozu_connectList = &ctx[0];
    savedSess = sesskeyset;
    savedKeyset = keyset;
    savedList2 = listF;
    savedErr = errFile;
    savedVerb = verb;
    sesskeyset = Keyset{};
    sesskeyset.curContext = &ctx[0];
    sesskeyset.cols_per_line = 80;
    sesskeyset.copies = 1;
    cmd = sesskeyset;
    keyset = &cmd;
    out = tmpfile();
    err = tmpfile();
    listF = out;
    errFile = err;
    verb = "frame";
    before = exitcode.load();
    exitcode = 0;
    interrupted = 0;
  }
  void TearDown() override
  {
    ozu_connectList = savedList;
    sesskeyset = savedSess;
    keyset = savedKeyset;
    listF = savedList2;
    errFile = savedErr;
    verb = savedVerb;
    exitcode = before;
    interrupted = 0;
    fclose(out);
    fclose(err);
  }
  ozu_context_t ctx[2];
  Keyset cmd;
  ozu_context_t *savedList = nullptr;
  Keyset savedSess, *savedKeyset = nullptr;
  FILE *savedList2 = nullptr, *savedErr = nullptr, *out = nullptr, *err = nullptr;
  const char *savedVerb = nullptr;
  int before = 0;
};

std::string joined(const std::vector<char *> &names)
{
  std::string s;
  for (char *n : names)
    s += (s.empty() ? "" : "|") + std::string(n);
  return s;
}

TEST_F(Frame, KeywordSettingsLeaveTheOtherWordsAsNames)
{
  struct {
    const char *tail;
    int unknown;
    int rc;
    const char *names;
    int columns, copies, exit;
    const char *message;
  } cases[] = {
      {"a b", OZU_KW_UNKNOWN_IS_NAME, 0, "a|b", 80, 1, 0, nullptr},
      {"columns=90 a", OZU_KW_UNKNOWN_IS_NAME, 0, "a", 90, 1, 0, nullptr},
      {"a columns = 91 b copies= 2", OZU_KW_UNKNOWN_IS_NAME, 0, "a|b", 91, 2, 0, nullptr},
      {"a col =92", OZU_KW_UNKNOWN_IS_NAME, 0, "a", 92, 1, 0, nullptr},
      // A setting the keyset does not know is a name, all of its words.
      {"x=1 a", OZU_KW_UNKNOWN_IS_NAME, 0, "x=1|a", 80, 1, 0, nullptr},
      {"x = 1", OZU_KW_UNKNOWN_IS_NAME, 0, "x|=|1", 80, 1, 0, nullptr},
      {"a\\=b", OZU_KW_UNKNOWN_IS_NAME, 0, "a\\=b", 80, 1, 0, nullptr},
      // ... or ends the command where the handler says so.
      {"a x=1", OZU_KW_UNKNOWN_ENDS, -1, "a", 80, 1, 64, "*** `frame': unrecognized keyword x=1"},
      // Missing and bad values end the command; earlier settings stay made.
      {"columns=93 a copies=", OZU_KW_UNKNOWN_IS_NAME, -1, "a", 93, 1, 64,
       "*** `frame': missing value for keyword copies"},
      {"a columns=wide b", OZU_KW_UNKNOWN_IS_NAME, -1, "a", 80, 1, 64,
       "*** `frame': bad value for keyword columns"},
  };
  for (const auto &c : cases) {
    cmd = sesskeyset;
    exitcode = 0;
    std::string line = std::string("verb ") + c.tail;
    {
      ozu_cmd_t f(line.data(), 4);
      EXPECT_EQ(ozu_CmdKeywords(&f, c.unknown), c.rc) << c.tail;
      EXPECT_EQ(joined(f.names), c.names) << c.tail;
    }
    EXPECT_EQ(cmd.cols_per_line, c.columns) << c.tail;
    EXPECT_EQ(cmd.copies, c.copies) << c.tail;
    EXPECT_EQ(sesskeyset.cols_per_line, 80) << "the session keyset is never touched: " << c.tail;
    EXPECT_EQ(exitcode.load(), c.exit) << c.tail;
    std::string text = drain(out);
    if (c.message)
      EXPECT_NE(text.find(c.message), std::string::npos) << c.tail << "\n" << text;
    else
      EXPECT_EQ(text, "") << c.tail;
  }
}

TEST_F(Frame, OptionsThenKeywordsFromTheFirstOtherWord)
{
  static const char *const kw[] = {"on", "off", nullptr};
  std::string line = "fire -cs -off -xyz -q -on a: columns=70 -c";
  ozu_cmd_t f(line.data(), 4);
  std::vector<int> seen;
  int c;
  while ((c = ozu_CmdOption(&f, "cs", kw)) != OZU_OPT_END)
    seen.push_back(c);
  std::vector<int> want = {'c', 's', OZU_OPT_KEYWORD + 1, OZU_OPT_REJECTED, '?', OZU_OPT_KEYWORD};
  EXPECT_EQ(seen, want);
  EXPECT_EQ(ozu_CmdKeywords(&f, OZU_KW_UNKNOWN_IS_NAME), 0);
  EXPECT_EQ(joined(f.names), "a:|-c");
  EXPECT_EQ(cmd.cols_per_line, 70);
}

TEST_F(Frame, StartsEveryCommandAfresh)
{
  minus_opt = 0x7f;
  ozu_optind = 5;
  std::string line = "ls -R";
  ozu_cmd_t f(line.data(), 2);
  EXPECT_EQ(minus_opt, 0);
  EXPECT_EQ(f.argc, 1);
  EXPECT_EQ(ozu_CmdOption(&f, "R", nullptr), 'R');
  EXPECT_EQ(ozu_CmdOption(&f, "R", nullptr), OZU_OPT_END);
  std::string empty = "ls";
  ozu_cmd_t g(empty.data(), 2);
  EXPECT_EQ(g.argc, 0);
  EXPECT_EQ(ozu_CmdKeywords(&g, OZU_KW_UNKNOWN_IS_NAME), 0);
  EXPECT_EQ(ozu_CmdNextName(&g), nullptr);
}

TEST_F(Frame, NamesStopAtAnInterrupt)
{
  std::string line = "x a b c";
  ozu_cmd_t f(line.data(), 1);
  ASSERT_EQ(ozu_CmdKeywords(&f, OZU_KW_UNKNOWN_IS_NAME), 0);
  ASSERT_STREQ(ozu_CmdNextName(&f), "a");
  interrupted = 1;
  EXPECT_EQ(ozu_CmdNextName(&f), nullptr);
  interrupted = 0;
  EXPECT_STREQ(ozu_CmdNextName(&f), "b");
  EXPECT_STREQ(ozu_CmdNextName(&f), "c");
  EXPECT_EQ(ozu_CmdNextName(&f), nullptr);
}

TEST_F(Frame, DriveWords)
{
  struct {
    const char *word;
    int letter;
  } cases[] = {{"a:", 'a'}, {"B:rest", 'B'}, {"ab", 0}, {":", 0}, {"1:", 0}, {"", 0}};
  for (const auto &c : cases) {
    exitcode = 0;
    EXPECT_EQ(ozu_CmdDriveWord(c.word), c.letter) << c.word;
    std::string text = drain(out);
    EXPECT_EQ(exitcode.load(), 0) << c.word;
    if (c.letter == 0)
      EXPECT_NE(text.find(std::string("*** Not a logical drive: ") + c.word), std::string::npos)
          << c.word << "\n" << text;
    else
      EXPECT_EQ(text, "") << c.word;
  }
}

// A drive prefix leaves its connection current; the end of the command
// brings the first one back, and says so when it cannot (here the library
// knows neither connection, so every switch fails).
TEST_F(Frame, SwitchesBackAtTheEndAndSaysWhenItCannot)
{
  {
    std::string line = "x";
    ozu_cmd_t f(line.data(), 1);
    EXPECT_EQ(f.startHandle, 1);
  }
  EXPECT_EQ(drain(err), "") << "no switch, nothing to restore";
  {
    std::string line = "x";
    ozu_cmd_t f(line.data(), 1);
    sesskeyset.curContext = keyset->curContext = &ctx[1];
  }
  EXPECT_EQ(drain(err), "*** Unable to switch back to previous connection! \n");
  EXPECT_EQ(sesskeyset.curContext, &ctx[1]) << "a failed switch changes nothing";
  sesskeyset.curContext = nullptr;
  {
    std::string line = "x";
    ozu_cmd_t f(line.data(), 1);
    EXPECT_EQ(f.startHandle, -1);
    sesskeyset.curContext = &ctx[1];
    EXPECT_EQ(ozu_CmdSwitchBack(&f), 0) << "nothing remembered, nothing to restore";
  }
  EXPECT_EQ(drain(err), "");
}

TEST_F(Frame, GlobResultsSortedAndReleased)
{
  std::string dir = make_temp_dir("cmdframe");
  ASSERT_FALSE(dir.empty());
  for (const char *n : {"b.txt", "a.txt", "c.dat", "B.txt"})
    std::ofstream(dir + "/" + n) << "x";
  std::string line = "x";
  {
    ozu_cmd_t f(line.data(), 1);
    int n = ozu_CmdGlob(&f, (dir + "/*.txt").c_str(), 0);
    ASSERT_EQ(n, 3);
    std::vector<std::string> names;
    for (int i = 0; i < n; ++i)
      names.push_back(globv[i].name);
    EXPECT_EQ(names, (std::vector<std::string>{dir + "/B.txt", dir + "/a.txt", dir + "/b.txt"}));
    // A second expansion replaces the first.
    EXPECT_EQ(ozu_CmdGlob(&f, (dir + "/*.dat").c_str(), 0), 1);
    EXPECT_EQ(globInx, 1);
  }
  EXPECT_EQ(globInx, 0) << "the frame releases the last result";
  std::filesystem::remove_all(dir);
}

// Each name's matches in sorted order, names in the order typed, a bare
// drive word refused, and nothing more once the command is interrupted.
TEST_F(Frame, EachMatchInOrderUntilInterrupted)
{
  std::string dir = make_temp_dir("cmdframe");
  ASSERT_FALSE(dir.empty());
  for (const char *n : {"b2", "b1", "a3", "a1", "a2", "c1"})
    std::ofstream(dir + "/" + n) << "x";
  std::string line = "x " + dir + "/b* A: " + dir + "/a* " + dir + "/c*";
  struct Case {
    int stopAfter;  // matches seen before an interrupt arrives, -1 none
    bool copyOut;
    std::string want;
  };
  const Case cases[] = {
      {-1, false, "b1 b2 |a1 a2 a3 |c1 |"},
      {-1, true, "b1 b2 |a1 a2 a3 |c1 |"},
      {3, false, "b1 b2 |a1 |"},
      {3, true, "b1 b2 |a1 |"},
      {2, false, "b1 b2 |"},
  };
  for (const Case &c : cases) {
    std::string buf = line;
    ozu_cmd_t f(buf.data(), 1);
    ASSERT_EQ(ozu_CmdKeywords(&f, OZU_KW_UNKNOWN_IS_NAME), 0);
    std::string seen;
    int count = 0;
    ozu_each_t how;
    how.pathtype = 0;
    how.copyOut = c.copyOut;
    how.match = [&](const globstruct_t &g) {
      seen += std::filesystem::path(g.name).filename().string() + " ";
      // The work may expand names again meanwhile.
      if (c.copyOut) {
        EXPECT_EQ(ozu_CmdGlob(&f, (dir + "/c*").c_str(), 0), 1);
      }
      if (++count == c.stopAfter)
        interrupted = 1;
    };
    how.done = [&] { seen += "|"; };
    EXPECT_EQ(ozu_CmdEachMatch(&f, ozu_CmdNextName(&f), how), 0);
    EXPECT_EQ(seen, c.want) << "stop after " << c.stopAfter;
    interrupted = 0;
  }
  EXPECT_EQ(globInx, 0) << "the frame releases the last result";
  std::string said = drain(out) + drain(err);
  EXPECT_NE(said.find("missing path for A:"), std::string::npos) << said;
  EXPECT_EQ(exitcode.load(), 64);
  std::filesystem::remove_all(dir);
}

// A flag of the handler's own ends the command as an interrupt does, and
// the steps around the wildcard can skip a name.
TEST_F(Frame, EachMatchStopsOnTheHandlersFlagAndSkipsNames)
{
  std::string dir = make_temp_dir("cmdframe");
  ASSERT_FALSE(dir.empty());
  for (const char *n : {"a1", "a2", "b1", "c1", "d1"})
    std::ofstream(dir + "/" + n) << "x";
  std::string line = "x " + dir + "/a* " + dir + "/b* " + dir + "/c* " + dir + "/d*";
  int stop = 0;
  std::string seen;
  ozu_cmd_t f(line.data(), 1);
  ASSERT_EQ(ozu_CmdKeywords(&f, OZU_KW_UNKNOWN_IS_NAME), 0);
  ozu_each_t how;
  how.pathtype = 0;
  how.stop = &stop;
  how.expanded = [&](const char *word) { return std::string(word).find("/b*") == std::string::npos; };
  how.globbed = [&](const char *, int n) { return n == 1; };
  how.match = [&](const globstruct_t &g) {
    seen += std::filesystem::path(g.name).filename().string() + " ";
    stop = 1;
  };
  EXPECT_EQ(ozu_CmdEachMatch(&f, ozu_CmdNextName(&f), how), 0);
  EXPECT_EQ(seen, "c1 ") << "a* has two matches, b* is skipped before the wildcard, d* "
                            "comes after the stop";
  EXPECT_EQ(ozu_CmdNextName(&f), nullptr);
  std::filesystem::remove_all(dir);
}

}  // namespace
