// The handlers' option scanner.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ozu_getopt.h"
#include "ozu_tokens.h"

namespace {

struct step {
  int result;
  int type;  // 0: not checked
  std::string arg;
  int optind;
};

// Runs a scan to its end over the words of text.
std::vector<step> scan(const std::string &text, const char *flags, const char *const *kw)
{
  std::vector<char> buf(text.begin(), text.end());
  buf.push_back('\0');
  int argc = 0;
  char **argv = ozu_MakeArgv(buf.data(), &argc);
  ozu_GetoptReset();
  ozu_optind = 0;
  ozu_opterr = 0;
  std::vector<step> out;
  for (int guard = 0; guard < 20; ++guard) {
    ozu_optarg = nullptr;
    int c = ozu_Getopt(argc, argv, flags, kw);
    out.push_back({c, ozu_opttype, ozu_optarg ? ozu_optarg : "(null)", ozu_optind});
    if (c == -1 && ozu_opterr == 0)
      break;
  }
  ozu_FreeArgv(argv);
  return out;
}

TEST(Getopt, LettersArgumentsAndEnd)
{
  auto s = scan("-ds x y", "ds:", nullptr);
  ASSERT_EQ(s.size(), 3u);
  EXPECT_EQ(s[0].result, 'd');
  EXPECT_EQ(s[1].result, 's');
  EXPECT_EQ(s[1].arg, "x");
  EXPECT_EQ(s[2].result, -1);
  EXPECT_EQ(s[2].optind, 2);

  s = scan("-sx", "ds:", nullptr);
  EXPECT_EQ(s[0].arg, "x");

  s = scan("-s", "ds:", nullptr);
  EXPECT_EQ(s[0].result, '?');
  EXPECT_EQ(s[0].arg, "(null)");
  s = scan("-s", ":ds:", nullptr);
  EXPECT_EQ(s[0].result, ':');

  s = scan("-- -d", "d", nullptr);
  EXPECT_EQ(s[0].result, -1);
  EXPECT_EQ(s[0].optind, 1);
  s = scan("- -d", "d", nullptr);
  EXPECT_EQ(s[0].optind, 0);
}

TEST(Getopt, KeywordsAndRejectedWords)
{
  static const char *const kw[] = {"ic", "io", nullptr};
  const char *flags = "BcCfhim:n:PpQqrRSUxX:";
  auto s = scan("-ic", flags, kw);
  EXPECT_EQ(s[0].result, 0);
  EXPECT_EQ(s[0].type, 1);
  s = scan("-icx", flags, kw);
  EXPECT_EQ(s[0].result, 0);
  s = scan("-cB", flags, kw);
  EXPECT_EQ(s[0].result, 'c');
  EXPECT_EQ(s[1].result, 'B');
  s = scan("-cZ next", flags, kw);
  EXPECT_EQ(s[0].result, -1);
  EXPECT_EQ(s[0].type, 1);
  EXPECT_EQ(s[0].optind, 1) << "the rejected word is skipped";
  s = scan("-cZ", flags, nullptr);
  EXPECT_EQ(s[0].result, 'c');
  EXPECT_EQ(s[1].result, '?');
  s = scan("-i", "x", kw);
  EXPECT_EQ(s[0].result, '?') << "one letter is never a keyword";
  static const char *const argkw[] = {"name:", nullptr};
  s = scan("-name", "x", argkw);
  EXPECT_EQ(s[0].result, 0);
  EXPECT_EQ(s[0].arg, "(null)");
}

TEST(Getopt, NoGroupSurvivesIntoANewScan)
{
  // A scan stopped inside "-ds" must not continue in the next vector.
  std::string first = "-ds";
  std::vector<char> a(first.begin(), first.end());
  a.push_back('\0');
  int argc = 0;
  char **argv = ozu_MakeArgv(a.data(), &argc);
  ozu_optind = 0;
  EXPECT_EQ(ozu_Getopt(argc, argv, "ds", nullptr), 'd');
  ozu_FreeArgv(argv);
  auto s = scan("-q", "q", nullptr);
  EXPECT_EQ(s[0].result, 'q');
}

}  // namespace
