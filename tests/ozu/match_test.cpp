// Wildcard matching of single names.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ozu_match.h"

namespace {

struct matchCase {
  const char *name;
  const char *pattern;
  int expected;
};

TEST(Match, Table)
{
  const matchCase cases[] = {
      {"abc", "abc", 1},       {"abc", "ab", 0},          {"ab", "abc", 0},
      {".profile", "*", 1},    {".", "*", 0},             {"..", "*", 0},
      {".", ".*", 1},          {"..", ".*", 1},           {"abc", "a?c", 1},
      {"ac", "a?c", 0},        {"a", "a*", 1},            {"abcd", "a*d", 1},
      {"abcd", "a*c", 0},      {"a", "[a-c]", 1},         {"b", "[a-c]", 1},
      {"c", "[a-c]", 1},       {"d", "[a-c]", 0},         {"[", "[", 1},
      {"[x", "[x", 1},         {"x", "[x", 0},            {"-", "[-a]", 0},
      {"a", "[-a]", 1},        {"b", "[-a]", 0},          {"]", "[\\]]", 1},
      {"*", "\\*", 1},         {"a", "\\*", 0},           {"b", "{b,a}", 1},
      {"a", "{b,a}", 1},       {"c", "{b,a}", 0},         {"xac", "x{b,a}c", 1},
      {"xabc", "x{b,a{b,d}}c", 1}, {"xadc", "x{b,a{b,d}}c", 1}, {"xaec", "x{b,a{b,d}}c", 0},
      {"a,b", "{a\\,b}", 1},   {"x", "{a,[xy]}", 1},      {"", "*", 1},
      {"abc", "*b*", 1},       {"abc", "*d*", 0},         {"a/b", "a/b", 0},
  };
  for (const matchCase &c : cases)
    EXPECT_EQ(match(c.name, c.pattern), c.expected) << c.name << " vs " << c.pattern;
}

std::vector<std::string> errors;
void keepError(const char *msg, int code)
{
  errors.push_back(std::string(msg) + " " + std::to_string(code));
}

TEST(Match, UnclosedBracesAndClassesAreReported)
{
  ozu_matchError = keepError;
  errors.clear();
  EXPECT_EQ(match("ab", "{a,b"), 0);
  EXPECT_EQ(match("ab", "{a[,b}"), 0);
  ozu_matchError = nullptr;
  ASSERT_EQ(errors.size(), 2u);
  EXPECT_EQ(errors[0], "*** Error-missing }: {a,b 64");
  EXPECT_EQ(errors[1], "*** Missing ] 64");
}

std::vector<std::string> descents;
void keepDescent(const char *name, const char *rest)
{
  descents.push_back(std::string(name) + "|" + rest);
}

TEST(Match, SlashHandsTheRestToTheDescent)
{
  ozu_matchDescent = keepDescent;
  descents.clear();
  EXPECT_EQ(match("dir", "d*/c*"), 0);
  EXPECT_EQ(match("dir", "dir/"), 0);
  EXPECT_EQ(match("xir", "d*/c*"), 0);
  ozu_matchDescent = nullptr;
  ASSERT_EQ(descents.size(), 2u);
  EXPECT_EQ(descents[0], "dir|c*");
  EXPECT_EQ(descents[1], "dir|");
}

TEST(Match, PathologicalStarsEndWithinTheBound)
{
  std::string name(4000, 'a');
  std::string pattern;
  for (int i = 0; i < 40; ++i)
    pattern += "*a";
  pattern += "b";
  EXPECT_EQ(match(name.c_str(), pattern.c_str()), 0);
  EXPECT_EQ(match("aaab", pattern.c_str()), 0);
  EXPECT_EQ(match(nullptr, "*"), 0);
}

}  // namespace
