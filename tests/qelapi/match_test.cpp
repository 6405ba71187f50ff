// Glob matcher: wildcards, sets, escapes, braces, error counting and bounds.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "quor_match.h"

namespace {

struct matchCase {
  const char *pattern;
  std::string subject;
  int expectMatch;
  int expectErrors;
};

void PrintTo(const matchCase &c, std::ostream *os)
{
  *os << "pattern [" << c.pattern << "] string [" << c.subject << "]";
}

class MatchTable : public testing::TestWithParam<matchCase> {};

TEST_P(MatchTable, MatchesWholeStringAndCountsErrors)
{
  const matchCase &c = GetParam();
  int errors = 0;
  EXPECT_EQ(quorcfgx_PatternMatch(c.subject.c_str(), c.pattern, &errors), c.expectMatch);
  EXPECT_EQ(errors, c.expectErrors);
}

const matchCase kWildcards[] = {
    {"node[0-9]*", "node7", 1, 0},
    {"node[0-9]*", "node12x", 1, 0},
    {"node[0-9]*", "node", 0, 0},
    {"node[0-9]*", "nodeA", 0, 0},
    {"Node*", "node1", 0, 0},
    {"*", "", 1, 0},
    {"*", "anything.at.all", 1, 0},
    {"a*", "a", 1, 0},
    {"*a", "", 0, 0},
    {"*b", "ab", 1, 0},
    {"a*b*c", "abxbc", 1, 0},
    {"a*b*c", "abxbcd", 0, 0},
    {"*.lan", "gw.site.lan", 1, 0},
    {"*.lan", "gw.site.la", 0, 0},
    // A '*' with more pattern after it never matches the empty end.
    {"a**", "a", 0, 0},
    {"**", "", 0, 0},
    {"**", "x", 1, 0},
    {"?", "", 0, 0},
    {"?", "a", 1, 0},
    {"??", "a", 0, 0},
    {"a?c", "abc", 1, 0},
    {"", "", 1, 0},
    {"", "a", 0, 0},
    {"a", "ab", 0, 0},
    {"ab", "a", 0, 0},
    {"x}", "x}", 1, 0},
    {"x,y", "x,y", 1, 0},
};
INSTANTIATE_TEST_SUITE_P(MatchWildcards, MatchTable, testing::ValuesIn(kWildcards));

const matchCase kEscapes[] = {
    {"\\*", "*", 1, 0},
    {"\\*", "a", 0, 0},
    {"\\*", "", 0, 0},
    {"\\*", "**", 0, 0},
    {"a\\?", "a?", 1, 0},
    {"a\\?", "ab", 0, 0},
    {"\\[x]", "[x]", 1, 0},
    {"\\\\", "\\", 1, 0},
    // A pattern ending in a lone backslash is malformed wherever the string stands.
    {"a\\", "a", 0, 1},
    {"a\\", "a\\", 0, 1},
    {"\\", "", 0, 1},
};
INSTANTIATE_TEST_SUITE_P(MatchEscapes, MatchTable, testing::ValuesIn(kEscapes));

const matchCase kSets[] = {
    {"[abc]", "b", 1, 0},
    {"[abc]", "d", 0, 0},
    {"[abc]", "", 0, 0},
    {"[a-c-e]", "d", 1, 0},  // the second range also starts at a
    {"[a-c-e]", "a", 1, 0},
    {"[a-c-e]", "e", 1, 0},
    {"[a-c-e]", "f", 0, 0},
    {"[a-c-e]", "-", 0, 0},
    {"[a-cx-z]", "y", 1, 0},
    {"[a-cx-z]", "m", 0, 0},
    {"[z-a]", "m", 0, 0},
    {"[-a]", "-", 0, 0},  // a '-' with nothing before it is skipped
    {"[-a]", "a", 1, 0},
    {"[a-]", "a", 1, 0},
    {"[a-]", "-", 0, 0},
    {"[a\\-z]", "m", 1, 0},  // the backslash does not protect '-'
    {"[a-\\z]", "m", 1, 0},
    {"[\\]]", "]", 0, 0},  // nor ']': the set is empty and a ']' follows
    {"[]a", "a", 0, 0},
    {"[\\\\]", "\\", 1, 0},
    {"[*?]", "?", 1, 0},
    {"[*?]", "x", 0, 0},
    {"[\x80-\xff]", "\xe9", 1, 0},  // bytes above 127 compare unsigned
    {"[a-z]", "\xe9", 0, 0},
    {"[abc", "a", 0, 1},
    {"[abc", "x", 0, 1},
    {"[abc", "", 0, 1},
    {"x[a\\", "xa", 0, 1},
    {"[a-", "a", 0, 1},
};
INSTANTIATE_TEST_SUITE_P(MatchSets, MatchTable, testing::ValuesIn(kSets));

const matchCase kBraces[] = {
    {"{gw,mover}[12].*", "gw1.a", 1, 0},
    {"{gw,mover}[12].*", "mover2.b", 1, 0},
    {"{gw,mover}[12].*", "gw3.a", 0, 0},
    {"{gw,mover}[12].*", "mover", 0, 0},
    {"{a,{b,c}}x", "ax", 1, 0},
    {"{a,{b,c}}x", "bx", 1, 0},
    {"{a,{b,c}}x", "cx", 1, 0},
    {"{a,{b,c}}x", "dx", 0, 0},
    {"{a,{b,c}}x", "x", 0, 0},
    {"{a,b}{c,d}", "bd", 1, 0},
    {"{a,b}{c,d}", "bb", 0, 0},
    {"a{,b}c", "ac", 1, 0},
    {"a{,b}c", "abc", 1, 0},
    {"{}a", "a", 1, 0},
    {"{a,b}}", "a}", 1, 0},
    {"{a\\,b}", "a,b", 1, 0},  // an escaped comma does not split
    {"{a\\,b}", "a", 0, 0},
    {"{[,]x,y}", ",x", 1, 0},  // nor does a comma inside a set
    {"{[,]x,y}", "y", 1, 0},
    {"{[,]x,y}", "]x", 0, 0},
    {"{a\\}b,c}", "a}b", 1, 0},
    {"{a\\}b,c}", "c", 1, 0},
    {"{x*,y}.lan", "xyz.lan", 1, 0},
    // Braces expand only while some of the string is left.
    {"a{,b}", "a", 0, 0},
    {"a{,b}", "ab", 1, 0},
    {"a*{,b}", "a", 0, 0},
    {"a*{,b}", "ab", 1, 0},
    {"{a,b", "a", 0, 1},
    {"{a,b", "c", 0, 1},
    {"{a,{b,c}", "b", 0, 1},
    {"{a,[b}", "a", 0, 1},  // the '}' is inside an open set
    {"{a\\}", "a", 0, 1},
    {"x{a,b", "y", 0, 0},  // never reached
};
INSTANTIATE_TEST_SUITE_P(MatchBraceTable, MatchTable, testing::ValuesIn(kBraces));

TEST(MatchErrors, CountAddsToCallersValue)
{
  int errors = 5;
  EXPECT_EQ(quorcfgx_PatternMatch("a", "[a", &errors), 0);
  EXPECT_EQ(errors, 6);
}

TEST(MatchErrors, EachMalformedPartMetCounts)
{
  // The '*' tries the set at each of the three positions.
  int errors = 0;
  EXPECT_EQ(quorcfgx_PatternMatch("xyz", "*[ab", &errors), 0);
  EXPECT_EQ(errors, 3);
}

TEST(MatchErrors, NullArgumentsNeverMatch)
{
  int errors = 0;
  EXPECT_EQ(quorcfgx_PatternMatch(nullptr, "*", &errors), 0);
  EXPECT_EQ(quorcfgx_PatternMatch("a", nullptr, &errors), 0);
  EXPECT_EQ(errors, 2);
  EXPECT_EQ(quorcfgx_PatternMatch("a", "[a", nullptr), 0);
  EXPECT_EQ(quorcfgx_PatternMatch("ab", "a*", nullptr), 1);
}

TEST(MatchBraces, CandidateMustFitItsBuffer)
{
  // Alternative plus the text after '}' must stay under 1024 bytes.
  const std::string fits(QUOR_MATCH_CANDIDATE_SIZE - 1 - 3, 'x');
  const std::string tooLong(QUOR_MATCH_CANDIDATE_SIZE - 3, 'x');
  int errors = 0;
  EXPECT_EQ(quorcfgx_PatternMatch((fits + "abc").c_str(), ("{" + fits + ",y}abc").c_str(), &errors), 1);
  EXPECT_EQ(quorcfgx_PatternMatch((tooLong + "abc").c_str(), ("{" + tooLong + ",y}abc").c_str(), &errors), 0);
  // The long alternative is skipped, the next one still tried.
  EXPECT_EQ(quorcfgx_PatternMatch("yabc", ("{" + tooLong + ",y}abc").c_str(), &errors), 1);
  EXPECT_EQ(errors, 0);
}

TEST(MatchBraces, DeepNestingWithinCandidateSize)
{
  std::string pattern = std::string(400, '{') + "a" + std::string(400, '}');
  int errors = 0;
  EXPECT_EQ(quorcfgx_PatternMatch("a", pattern.c_str(), &errors), 1);
  EXPECT_EQ(quorcfgx_PatternMatch("b", pattern.c_str(), &errors), 0);
  EXPECT_EQ(errors, 0);
}

TEST(MatchBounds, ManyStarsStopWithoutCrashing)
{
  // Unbounded, this recursion would run once per star and overflow the stack.
  std::string pattern(200000, '*');
  pattern += "b";
  int errors = 0;
  EXPECT_EQ(quorcfgx_PatternMatch("aab", pattern.c_str(), &errors), 0);
  EXPECT_GE(errors, 1);
}

TEST(MatchBounds, ExponentialBacktrackingIsCut)
{
  // Would take on the order of 10^12 steps when tried in full.
  std::string pattern;
  for (int i = 0; i < 12; ++i)
    pattern += "*a";
  pattern += "*b";
  const std::string subject(60, 'a');
  int errors = 0;
  EXPECT_EQ(quorcfgx_PatternMatch(subject.c_str(), pattern.c_str(), &errors), 0);
  EXPECT_EQ(errors, 1);
}

TEST(MatchBounds, ModerateStarPatternsStillMatch)
{
  std::string pattern;
  for (int i = 0; i < 12; ++i)
    pattern += "*a";
  pattern += "*b";
  const std::string subject = std::string(60, 'a') + "b";
  int errors = 0;
  EXPECT_EQ(quorcfgx_PatternMatch(subject.c_str(), pattern.c_str(), &errors), 1);
  EXPECT_EQ(errors, 0);
}

}  // namespace
