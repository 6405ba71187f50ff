// The escape expansion of annotation texts: each escape, the backslashes
// that stay, a lone backslash at the end and the cut at the sink's size.
#include <gtest/gtest.h>
#include <string.h>

#include <string>

#include "ns_commands.h"

TEST(AnnotationText, EscapesAndCuts)
{
  const struct {
    std::string source;
    int sinkSize;
    int result;
    std::string want;
  } cases[] = {
      {"plain", 255, 0, "plain"},
      {"a\\tb\\nc", 255, 0, "a\tb\nc"},
      {"\\\"\\'\\?\\\\", 255, 0, "\"'?\\"},
      {"\\a\\f\\r\\v", 255, 0, "\a\f\r\v"},
      {"a\\qb", 255, 0, "a\\qb"},      // an unknown escape keeps its backslash
      {"a\\\\tb", 255, 0, "a\\tb"},    // an escaped backslash, then a plain t
      {"ends\\", 255, -1, "ends"},     // what came before the lone backslash stays
      {std::string(300, 'z'), 255, 0, std::string(254, 'z')},
      {"abcdef", 4, 0, "abc"},
      {"ab\\t", 4, 0, "ab\t"},
      {"abc\\t", 4, 0, "abc"},         // no room left for the escape
  };
  for (const auto &k : cases) {
    char sink[300];
    memset(sink, 'X', sizeof sink);
    int rc = ozu_ExpandAnnotationString(k.source.c_str(), "/p", sink, k.sinkSize);
    EXPECT_EQ(rc, k.result) << k.source;
    EXPECT_EQ(std::string(sink), k.want) << k.source;
    EXPECT_EQ(sink[k.sinkSize], 'X') << "nothing past the sink is touched: " << k.source;
  }
}
