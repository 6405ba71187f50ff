// Exclusion rules during a create's member list: option patterns, pattern
// files, ignore files of directories and of version-control tools, cache
// directory tags and tag files.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "brix_test_util.h"

namespace {

class Exclude : public ::testing::Test {
 protected:
  void SetUp() override {
    resetBrixState();
    brix_config_opts.DisplayExcludedObjects = 0;
    brix_ExcVcs = brix_ExcVcsIgnores = brix_ExcCaches = brix_ExcCachesUnder = brix_ExCachesAll = 0;
    for (brix_exclude_Flist_t* l : {&brix_ExcTagFile, &brix_ExcTagUnderFile, &brix_ExcTagAllFile,
                                    &brix_ExcIgnoreFiles, &brix_ExcIgnoreRecurseFiles}) {
      for (int i = 0; i < l->count; i++) free(l->excludeFiles[i]);
      l->count = 0;
    }
  }
  void TearDown() override { SetUp(); }
  std::vector<std::string> generate(const std::vector<std::string>& rel) {
    std::vector<std::string> args = {"brix"};
    for (const std::string& r : rel) args.push_back(dir / r);
    store = args;
    argv.clear();
    for (std::string& a : store) argv.push_back(a.data());
    argv.push_back(nullptr);
    brix_argv = argv.data();
    brix_argc = int(store.size());
    brix_optind = 1;
    EXPECT_EQ(brix_GenFilelist(), 0);
    std::vector<std::string> v;
    for (int64_t i = 0; i < brix_FileListEntries; i++)
      v.push_back(std::string(brix_FileList[i].filename).substr(dir.path.size() + 1));
    return v;
  }
  void option(const char* name, const char* value = nullptr) {
    static const std::vector<std::string> order = {
        "acct", "cix", "copies", "crc", "exclude", "exclude-from", "exclude-vcs-ignores", "exclude-vcs",
        "exclude-ignore", "exclude-ignore-recursive", "exclude-backups", "exclude-caches",
        "exclude-caches-under", "exclude-caches-all", "exclude-tag", "exclude-tag-under", "exclude-tag-all"};
    for (size_t i = 0; i < order.size(); i++)
      if (order[i] == name) {
        ASSERT_EQ(parseOption(name, int(i), value), 0);
      }
  }
  TempDir dir;
  std::vector<std::string> store;
  std::vector<char*> argv;
};

using names = std::vector<std::string>;
const std::string kSignature = "Signature: 8a477f597d28d172789f06886806bc55";

}  // namespace

TEST_F(Exclude, OptionPatternsApplyToWalkAndNames) {
  writeFileAt(dir / "src/a.o", "x");
  writeFileAt(dir / "src/a.c", "x");
  writeFileAt(dir / "src/sub/b.o", "x");
  option("exclude", "*.o");
  EXPECT_EQ(generate({"src", "src/a.o"}), (names{"src", "src/a.c", "src/sub"}));
  resetBrixState();
  brix_ExcludePopTo(nullptr);
  option("exclude", "a.o");
  // A command-line name is tested whole, so a.o does not match src/a.o.
  EXPECT_EQ(generate({"src/a.o"}), (names{"src/a.o"}));
}

TEST_F(Exclude, VcsAndBackups) {
  writeFileAt(dir / "proj/.git/HEAD", "x");
  writeFileAt(dir / "proj/file~", "x");
  writeFileAt(dir / "proj/keep", "x");
  writeFileAt(dir / "proj/{arch}/x", "x");
  option("exclude-vcs");
  option("exclude-backups");
  EXPECT_EQ(generate({"proj", "proj/.git"}), (names{"proj", "proj/keep", "proj/.git", "proj/.git/HEAD"}));
}

TEST_F(Exclude, PatternFilesKeepTrailingBlanks) {
  writeFileAt(dir / "pats", "*.o \n*.tmp\n");
  writeFileAt(dir / "d/a.o", "x");
  writeFileAt(dir / "d/b.tmp", "x");
  option("exclude-from", (dir / "pats").c_str());
  EXPECT_EQ(generate({"d"}), (names{"d", "d/a.o"}));
}

TEST_F(Exclude, VersionControlIgnoreFiles) {
  writeFileAt(dir / "p/.gitignore", "# comment\nbuild/\n!keep\n*.log\n");
  writeFileAt(dir / "p/x.log", "x");
  writeFileAt(dir / "p/!keep", "x");
  writeFileAt(dir / "p/sub/y.log", "x");
  writeFileAt(dir / "p/.cvsignore", "#x\n");
  writeFileAt(dir / "p/#x", "x");
  writeFileAt(dir / "p/sub/#x", "x");
  writeFileAt(dir / "p/.bzrignore", "RE:^tmp\nRE:\n");
  writeFileAt(dir / "p/tmpfile", "x");
  writeFileAt(dir / "p/.hgignore", "core\nsyntax: glob\n*.bak\n");
  writeFileAt(dir / "p/score", "x");
  writeFileAt(dir / "p/z.bak", "x");
  writeFileAt(dir / "p/other", "x");
  option("exclude-vcs-ignores");
  names got = generate({"p"});
  EXPECT_EQ(got, (names{"p", "p/.bzrignore", "p/.cvsignore", "p/.gitignore", "p/.hgignore", "p/other", "p/sub",
                        "p/sub/#x"}));
}

TEST_F(Exclude, IgnoreFilesRecursiveOrNot) {
  writeFileAt(dir / "t/.ign", "*.x\n");
  writeFileAt(dir / "t/a.x", "x");
  writeFileAt(dir / "t/sub/b.x", "x");
  writeFileAt(dir / "u/.rign", "*.x\n");
  writeFileAt(dir / "u/a.x", "x");
  writeFileAt(dir / "u/sub/b.x", "x");
  writeFileAt(dir / "v/c.x", "x");
  option("exclude-ignore", ".ign");
  option("exclude-ignore-recursive", ".rign");
  EXPECT_EQ(generate({"t", "u", "v"}),
            (names{"t", "t/.ign", "t/sub", "t/sub/b.x", "u", "u/.rign", "u/sub", "v", "v/c.x"}));
}

TEST_F(Exclude, CacheDirectoryTags) {
  writeFileAt(dir / "c/cache/CACHEDIR.TAG", kSignature + "\n# a comment\n");
  writeFileAt(dir / "c/cache/data", "x");
  writeFileAt(dir / "c/short/CACHEDIR.TAG", kSignature.substr(0, 42));
  writeFileAt(dir / "c/short/data", "x");
  writeFileAt(dir / "real", kSignature);
  mkdir((dir / "c/link").c_str(), 0755);
  symlink((dir / "real").c_str(), (dir / "c/link/CACHEDIR.TAG").c_str());
  writeFileAt(dir / "c/link/data", "x");
  names common = {"c", "c/link", "c/link/CACHEDIR.TAG", "c/link/data", "c/short", "c/short/CACHEDIR.TAG",
                  "c/short/data"};
  option("exclude-caches");
  names got = generate({"c"});
  names want = common;
  want.insert(want.begin() + 1, {"c/cache", "c/cache/CACHEDIR.TAG"});
  EXPECT_EQ(got, want);
  SetUp();
  option("exclude-caches-under");
  want = common;
  want.insert(want.begin() + 1, "c/cache");
  EXPECT_EQ(generate({"c"}), want);
  SetUp();
  option("exclude-caches-all");
  EXPECT_EQ(generate({"c"}), common);
}

TEST_F(Exclude, TagFiles) {
  writeFileAt(dir / "a/tagged/.tag", "");
  writeFileAt(dir / "a/tagged/data", "x");
  writeFileAt(dir / "a/plain/data", "x");
  option("exclude-tag", ".tag");
  EXPECT_EQ(generate({"a"}), (names{"a", "a/plain", "a/plain/data", "a/tagged", "a/tagged/.tag"}));
  SetUp();
  option("exclude-tag-under", ".tag");
  EXPECT_EQ(generate({"a"}), (names{"a", "a/plain", "a/plain/data", "a/tagged"}));
  SetUp();
  option("exclude-tag-all", ".tag");
  EXPECT_EQ(generate({"a"}), (names{"a", "a/plain", "a/plain/data"}));
}

TEST_F(Exclude, OtherOperationsExcludeNothing) {
  option("exclude", "*");
  brix_function = BOP_LIST;
  EXPECT_EQ(brix_ExcludeCheckName("anything", 0, nullptr, 0), 0);
  brix_function = BOP_CREATE;
  char msg[256];
  EXPECT_EQ(brix_ExcludeCheckName("anything", 0, msg, sizeof msg), 1);
  EXPECT_STREQ(msg, "Exclude pattern '*' found for anything - file not dumped");
}
