// Word splitting, keyword options, option/object parsing and flag words.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "ozu_context.h"
#include "ozu_tokens.h"
#include "ozuvars.h"

namespace {

std::vector<std::string> words(const std::string &text)
{
  std::vector<char> buf(text.begin(), text.end());
  buf.push_back('\0');
  int argc = -1;
  char **argv = ozu_MakeArgv(buf.data(), &argc);
  std::vector<std::string> out;
  for (int i = 0; i < argc; ++i)
    out.push_back(argv[i]);
  EXPECT_EQ(argv == nullptr, argc == 0);
  if (argv) {
    EXPECT_EQ(argv[argc], nullptr);
  }
  ozu_FreeArgv(argv);
  return out;
}

using W = std::vector<std::string>;

TEST(MakeArgv, SplitsQuotesAndEscapes)
{
  EXPECT_EQ(words(""), W{});
  EXPECT_EQ(words("  \t "), W{});
  EXPECT_EQ(words("ls -l  dir"), (W{"ls", "-l", "dir"}));
  EXPECT_EQ(words("A\\ B"), W{"A\\ B"});
  EXPECT_EQ(words("'it''s'"), (W{"it", "s"}));
  EXPECT_EQ(words("abc\""), (W{"abc", ""}));
  EXPECT_EQ(words("cos=\"a b\""), (W{"cos=", "a b"}));
  EXPECT_EQ(words("\"x y\"z"), (W{"x y", "z"}));
  EXPECT_EQ(words("\"it's\" ok"), (W{"it's", "ok"}));
}

TEST(MakeArgv, EmptyQuotesKeepWhatFollows)
{
  EXPECT_EQ(words("a \"\" b"), (W{"a", "", "b"}));
  EXPECT_EQ(words("'' tail"), (W{"", "tail"}));
  EXPECT_EQ(words("x\"\"y"), (W{"x", "", "y"}));
}

std::vector<std::string> calls;
int record(char *k, char *v)
{
  calls.push_back(std::string(k) + "|" + v);
  return 7;
}

struct kwCase {
  std::string text;
  int index;
  int result;
  int next;
  std::string call;
};

TEST(ParseKeyword, AllFourFormsAndRefusals)
{
  const kwCase cases[] = {
      {"cos = 5", 0, 7, 3, "cos|5"},   {"cos =5", 0, 7, 2, "cos|5"},
      {"cos= 5", 0, 7, 2, "cos|5"},    {"cos=5 x", 0, 7, 1, "cos|5"},
      {"cos=", 0, -2, 1, ""},          {"cos =", 0, -2, 0, ""},
      {"=5", 0, 1, 0, ""},             {"a\\=b", 0, 1, 0, ""},
      {"ls dir", 0, 1, 0, ""},         {"x cos=1", 1, 7, 2, "cos|1"},
  };
  for (const kwCase &c : cases) {
    std::vector<char> buf(c.text.begin(), c.text.end());
    buf.push_back('\0');
    int argc = 0;
    char **argv = ozu_MakeArgv(buf.data(), &argc);
    calls.clear();
    std::string before = argv && c.index < argc ? argv[c.index] : "";
    int next = -1;
    int rc = ozu_ParseKeyword(argc, argv, c.index, record, &next);
    EXPECT_EQ(rc, c.result) << c.text;
    EXPECT_EQ(next, c.next) << c.text;
    EXPECT_EQ(calls.empty() ? "" : calls[0], c.call) << c.text;
    if (argv && c.index < argc) {
      EXPECT_EQ(before, argv[c.index]) << "the word is put back: " << c.text;
    }
    ozu_FreeArgv(argv);
  }
}

struct parsed {
  int rc;
  W options, objects;
};

parsed parse(const std::string &text)
{
  std::vector<char> buf(text.begin(), text.end());
  buf.push_back('\0');
  char **opts = nullptr, **objs = nullptr;
  parsed p;
  p.rc = ozuparse(buf.data(), &opts, &objs);
  for (int i = 0; opts && opts[i]; ++i)
    p.options.push_back(opts[i]);
  for (int i = 0; objs && objs[i]; ++i)
    p.objects.push_back(objs[i]);
  if (p.rc < 0) {
    EXPECT_EQ(opts, nullptr);
    EXPECT_EQ(objs, nullptr);
  }
  ozuFreeStringList(opts);
  ozuFreeStringList(objs);
  return p;
}

class OzuParse : public ::testing::Test {
 protected:
  void SetUp() override
  {
    saved = keyset;
    local = Keyset{};
    local.fs_char = ':';
    keyset = &local;
    listF = stderr;
    errFile = stderr;
  }
  void TearDown() override { keyset = saved; }
  Keyset local;
  Keyset *saved = nullptr;
};

TEST_F(OzuParse, OptionsObjectsAndPairs)
{
  parsed p = parse("cos=5 a : /x");
  EXPECT_EQ(p.rc, 0);
  EXPECT_EQ(p.options, W{"cos=5"});
  EXPECT_EQ(p.objects, W{"a:/x"});
  p = parse("x = y");
  EXPECT_EQ(p.options, W{"x=y"});
  p = parse("a:b c: d e :f");
  EXPECT_EQ(p.objects, (W{"a:b", "c:d", "e:f"}));
  p = parse("name='two words' \"q d\"");
  EXPECT_EQ(p.options, W{"name=two words"});
  EXPECT_EQ(p.objects, W{"q d"});
  p = parse("x=");
  EXPECT_EQ(p.rc, 0);
  EXPECT_TRUE(p.options.empty());
}

TEST_F(OzuParse, IllegalSeparatorFailsWithBothListsNull)
{
  int before = exitcode.load();
  parsed p = parse("a : b = c");
  EXPECT_EQ(p.rc, -1);
  EXPECT_GE(exitcode.load(), 64);
  exitcode = before;
}

TEST_F(OzuParse, ParseOptionsTakesFlagWords)
{
  static const Option table[] = {{'p', 1}, {'r', 4}, {0, 0}};
  char a[] = "-p", b[] = "dir", c[] = "-", d[] = "-x:y", e[] = "-rp";
  char *objs[] = {a, b, c, d, e, nullptr};
  int value = 0;
  EXPECT_EQ(ozu_ParseOptions(objs, table, &value), 0);
  EXPECT_EQ(value, 5);
  EXPECT_STREQ(a, "");
  EXPECT_STREQ(b, "dir");
  EXPECT_STREQ(c, "-");
  EXPECT_STREQ(d, "-x:y");
  int before = exitcode.load();
  char q[] = "-pq";
  char *bad[] = {q, nullptr};
  EXPECT_EQ(ozu_ParseOptions(bad, table, &value), -1);
  EXPECT_EQ(value, 1) << "the other letters still count";
  exitcode = before;
}

}  // namespace
