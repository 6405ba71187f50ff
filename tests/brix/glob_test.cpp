// Wildcard expansion of local names and the one-name matcher.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "brix_test_util.h"

namespace {

class Glob : public ::testing::Test {
 protected:
  void SetUp() override {
    resetBrixState();
    for (const char* f : {"a", "b.txt", ".profile", "x1/y", "x2/z", "abc", "[abc", "a*b"})
      writeFileAt(dir / f, "data");
    mkfifo((dir / "fifo").c_str(), 0644);
    symlink("x1", (dir / "lx").c_str());
  }
  // The results of one pattern, relative to the test directory, sorted.
  std::vector<std::string> glob(const std::string& pattern) {
    brix_GlobInit();
    brix_Glob((dir.path + "/" + pattern).c_str(), BRIX_LOCAL_FILE);
    brix_GlobSort();
    std::vector<std::string> names;
    for (long i = 0; i < brix_glob_inx; i++) names.push_back(std::string(brix_globv[i].filename).substr(dir.path.size() + 1));
    kinds.clear();
    for (long i = 0; i < brix_glob_inx; i++) {
      kinds[brix_globv[i].filename] = brix_globv[i].object_type;
      free(brix_globv[i].filename);  // results belong to whoever takes them
    }
    return names;
  }
  uint32_t typeOf(const std::string& rel) {
    auto it = kinds.find(dir.path + "/" + rel);
    return it == kinds.end() ? 99 : it->second;
  }
  TempDir dir;
  std::map<std::string, uint32_t> kinds;
};

using names = std::vector<std::string>;

}  // namespace

TEST(Match, Table) {
  struct row {
    const char* str;
    const char* pat;
    int want;
  } rows[] = {
      {".profile", "*", 1}, {".", "*", 0}, {"..", "*", 0}, {".", ".*", 1}, {"..", ".*", 1},
      {"b", "[a-c]", 1}, {"d", "[a-c]", 0}, {"-", "[-a]", 0}, {"a", "[-a]", 1}, {"[abc", "[abc", 1},
      {"a", "a*", 1}, {"a", "a**", 0}, {"abc", "a**", 1}, {"ab", "a?", 1}, {"a", "a?", 0},
      {"x.c", "*.{c,h}", 1}, {"x.h", "*.{c,h}", 1}, {"x.o", "*.{c,h}", 0}, {"a{b", "a\\{b", 1},
      {"abc", "{a,x}{b,y}c", 1}, {"xyc", "{a,x}{b,y}c", 1}, {"]", "[]]", 0},
  };
  for (const row& r : rows) EXPECT_EQ(brix_Match(r.str, r.pat), r.want) << r.str << " " << r.pat;
  // A pattern built to backtrack without end gives up rather than hang.
  std::string s(60, 'a');
  EXPECT_EQ(brix_Match(s.c_str(), "*a*a*a*a*a*a*a*a*a*a*a*a*a*a*a*a*b"), 0);
}

TEST_F(Glob, Expansion) {
  EXPECT_EQ(glob("*"), (names{".profile", "[abc", "a", "a*b", "abc", "b.txt", "lx", "x1", "x2"}));
  EXPECT_EQ(typeOf("x1"), BTO_DIRECTORY);
  EXPECT_EQ(typeOf("lx"), BTO_SYMLINK);
  EXPECT_EQ(glob("x*/y"), (names{"x1/y"}));
  EXPECT_EQ(glob("[abc"), (names{"[abc"}));
  EXPECT_EQ(glob("a"), (names{"a"}));
  EXPECT_EQ(brix_exit_code, 0);
  EXPECT_EQ(glob("fifo"), (names{"fifo"}));
  EXPECT_EQ(typeOf("fifo"), BTO_UNKNOWN);
  EXPECT_EQ(glob("f*"), names{});  // a FIFO matched by a wildcard is dropped
}

TEST_F(Glob, MissingAlternativeIsReported) {
  EXPECT_EQ(glob("{a,nothere}"), (names{"a"}));
  EXPECT_EQ(brix_exit_code, 72);
  resetBrixState();
  EXPECT_EQ(glob("{a,b"), names{});
  EXPECT_EQ(brix_exit_code, 64);
}

TEST_F(Glob, FollowingLinksAndNoGlob) {
  brix_option_flags = BRIX_OPT_FOLLOW_LINKS;
  glob("l*");
  EXPECT_EQ(typeOf("lx"), BTO_DIRECTORY);
  brix_option_flags = BRIX_OPT_NOGLOB;
  EXPECT_EQ(glob("a*b"), (names{"a*b"}));
}

TEST_F(Glob, OverlongPatternIsRefusedNotOverrun) {
  std::string deep;
  for (int i = 0; i < 600; i++) deep += "dirname/";
  EXPECT_EQ(glob(deep + "*"), names{});
  EXPECT_EQ(brix_exit_code, 70);
}
