// The index file: path splitting and block counts, the on-disk byte order
// of header and entries, opening and reading an index sequentially and at
// random, and member selection.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "brix_blockio.h"
#include "brix_test_util.h"

namespace {

class Index : public ::testing::Test {
 protected:
  void SetUp() override { resetBrixState(); }
  TempDir dir;
};

bif_entry_t entryNamed(const std::string& path, uint32_t type = BTO_FILE) {
  bif_entry_t e;
  memset(&e, 0, sizeof e);
  memcpy(e.bent_sanity, "BRIX_IDX", 8);
  EXPECT_EQ(brix_SplitMemberPath(path.c_str(), e.bent_name, e.bent_prefix), 0) << path;
  e.bent_type = type;
  return e;
}

// Writes an index of n numbered entries (bent_offset = number) and returns
// its path.
std::string writeIndex(const TempDir& dir, uint32_t n, size_t extraBytes = 0) {
  std::string path = dir / "test.idx";
  int fd = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
  brix_index_entries = n;
  brix_index_flags = 0;
  brix_BuildIndexHeader();
  EXPECT_EQ(brix_WriteIndexHeader(fd, BRIX_LOCAL_FILE, path.c_str(), &brix_index_hdr), 0);
  for (uint32_t i = 0; i < n; i++) {
    bif_entry_t e = entryNamed("m" + std::to_string(i));
    e.bent_offset = i;
    brix_SwapIndexEntry(&e);
    EXPECT_EQ(write(fd, &e, sizeof e), ssize_t(sizeof e));
  }
  std::string junk(extraBytes, 'x');
  if (extraBytes) {
    EXPECT_EQ(write(fd, junk.data(), junk.size()), ssize_t(junk.size()));
  }
  close(fd);
  return path;
}

}  // namespace

TEST_F(Index, SplittingMemberPaths) {
  struct row {
    std::string path;
    bool ok;
    std::string prefix;
  };
  std::string a99(99, 'a');
  std::string slash100 = "/" + std::string(99, 'b');
  std::string split154 = std::string(154, 'p') + "/" + std::string(99, 'n');   // 254 characters
  std::string split155 = std::string(155, 'p') + "/" + std::string(10, 'n');  // '/' at 155
  std::string only160 = std::string(160, 'q') + "/" + std::string(39, 'r');   // 200 characters
  std::string name100 = "d/" + std::string(100, 'n');                          // name part too long
  std::vector<row> rows = {
      {a99, true, ""},
      {slash100, true, ""},
      {std::string(50, 'x') + "/" + std::string(60, 'y'), true, std::string(50, 'x')},
      {split154, true, std::string(154, 'p')},
      {split155, false, ""},
      {only160, false, ""},
      {name100, false, ""},
  };
  for (const row& r : rows) {
    char name[100], prefix[156];
    int rc = brix_SplitMemberPath(r.path.c_str(), name, prefix);
    EXPECT_EQ(rc == 0, r.ok) << r.path.size();
    if (rc != 0) continue;
    EXPECT_EQ(std::string(prefix, strnlen(prefix, 156)), r.prefix);
    bif_entry_t e;
    memset(&e, 0, sizeof e);
    memcpy(e.bent_name, name, 100);
    memcpy(e.bent_prefix, prefix, 156);
    char back[300];
    brix_FormIxEntryPathname(&e, back);
    EXPECT_EQ(std::string(back), r.path);
  }
  EXPECT_EQ(brix_MemberBlocks(BTO_FILE, 0), 1u);
  EXPECT_EQ(brix_MemberBlocks(BTO_FILE, 512), 2u);
  EXPECT_EQ(brix_MemberBlocks(BTO_FILE, 513), 3u);
  EXPECT_EQ(brix_MemberBlocks(BTO_HARDLINK, 1), 2u);
  EXPECT_EQ(brix_MemberBlocks(BTO_DIRECTORY, 4096), 1u);
  EXPECT_EQ(brix_MemberBlocks(BTO_SYMLINK, 10), 1u);
}

// The header and entries are big-endian at the offsets other tools read.
TEST_F(Index, OnDiskBytes) {
  std::string path = writeIndex(dir, 1);
  std::string bytes = readFile(path);
  ASSERT_EQ(bytes.size(), 288u + 512u);
  EXPECT_EQ(bytes.substr(0, 12), std::string("BrixIndex\0\0\0", 12));
  EXPECT_EQ(bytes.substr(12, 4), std::string("\x00\x00\x07\xd1", 4));
  EXPECT_EQ(bytes.substr(20, 4), std::string("\x00\x00\x00\x01", 4));
  bif_entry_t e = entryNamed("name");
  e.bent_flags = 0x10000000;
  e.bent_blocks = 3;
  e.bent_offset = 0x0102030405ull;
  e.bent_fsize = 513;
  e.bent_crc32 = 0xCAFEBABE;
  e.bent_mode = 04755;
  bif_entry_t disk = e;
  brix_SwapIndexEntry(&disk);
  const unsigned char* p = reinterpret_cast<const unsigned char*>(&disk);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(p), 8), "BRIX_IDX");
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(p + 8), 4), std::string("\x10\0\0\0", 4));
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(p + 12), 4), std::string("\0\0\0\x03", 4));
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(p + 28), 8), std::string("\0\0\0\x01\x02\x03\x04\x05", 8));
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(p + 36), 8), std::string("\0\0\0\0\0\0\x02\x01", 8));
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(p + 52), 4), "\xca\xfe\xba\xbe");
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(p + 56), 5), std::string("name\0", 5));
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(p + 412), 4), std::string("\0\0\x09\xed", 4));
}

TEST_F(Index, OpeningCountsWholeEntriesFromTheSize) {
  struct row {
    uint32_t entries;
    size_t extra;
    uint32_t expected;
  } rows[] = {{0, 0, 0}, {3, 100, 3}, {10000, 0, 10000}};
  for (const row& r : rows) {
    resetBrixState();
    std::string path = writeIndex(dir, r.entries, r.extra);
    int fd = brix_OpenIndexFile(path.c_str(), O_RDONLY, BRIX_LOCAL_FILE);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(brix_index_entries, r.expected);
    ASSERT_EQ(brix_IndexReadInit(), 0);
    uint32_t seen = 0;
    for (;;) {
      bif_entry_t* e = nullptr;
      int end = 0;
      ASSERT_EQ(brix_IndexFileRead(fd, BRIX_LOCAL_FILE, 0, &e, &end), 0);
      if (end) break;
      ASSERT_EQ(e->bent_offset, seen);
      char p[300];
      brix_FormIxEntryPathname(e, p);
      ASSERT_EQ(std::string(p), "m" + std::to_string(seen));
      seen++;
    }
    EXPECT_EQ(seen, r.expected);
    bif_entry_t last;
    if (r.expected > 0) {
      EXPECT_EQ(brix_IndexReadRandomEntry(fd, BRIX_LOCAL_FILE, r.expected - 1, &last), 0);
      EXPECT_EQ(last.bent_offset, r.expected - 1);
    }
    EXPECT_EQ(brix_IndexReadRandomEntry(fd, BRIX_LOCAL_FILE, r.expected, &last), -1);
    close(fd);
  }
}

// A file that shrinks after it was opened: the reader hands out only the
// whole entries it read and then ends, never stale buffer contents.
TEST_F(Index, ShortReadCountsWholeEntriesOnly) {
  std::string path = writeIndex(dir, 20);
  int fd = brix_OpenIndexFile(path.c_str(), O_RDONLY, BRIX_LOCAL_FILE);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(truncate(path.c_str(), 288 + 512 * 5 + 200), 0);
  ASSERT_EQ(brix_IndexReadInit(), 0);
  int count = 0;
  for (;;) {
    bif_entry_t* e = nullptr;
    int end = 0;
    ASSERT_EQ(brix_IndexFileRead(fd, BRIX_LOCAL_FILE, 0, &e, &end), 0);
    if (end) break;
    EXPECT_EQ(e->bent_offset, uint64_t(count));
    count++;
  }
  EXPECT_EQ(count, 5);
  close(fd);
}

TEST_F(Index, BadIndexesAreRefused) {
  std::string path = dir / "bad.idx";
  writeFileAt(path, std::string(288 + 512, 'z'));
  EXPECT_EQ(brix_OpenIndexFile(path.c_str(), O_RDONLY, BRIX_LOCAL_FILE), -1);
  EXPECT_EQ(brix_exit_code, 72);

  resetBrixState();
  writeFileAt(path, "BrixIndex");
  EXPECT_EQ(brix_OpenIndexFile(path.c_str(), O_RDONLY, BRIX_LOCAL_FILE), -1);
  EXPECT_EQ(brix_exit_code, 72);

  resetBrixState();
  path = writeIndex(dir, 2);
  int fd = brix_OpenIndexFile(path.c_str(), O_RDWR, BRIX_LOCAL_FILE);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(pwrite(fd, "XXXX", 4, 288 + 512), 4);
  bif_entry_t e;
  EXPECT_EQ(brix_IndexReadRandomEntry(fd, BRIX_LOCAL_FILE, 1, &e), -1);
  EXPECT_EQ(brix_exit_code, 72);
  close(fd);
}

TEST_F(Index, MemberSelection) {
  brix_function = BOP_LIST;
  struct row {
    std::vector<std::string> specs;
    bool norecurse;
    std::vector<std::pair<std::string, bool>> paths;
  };
  std::vector<row> rows = {
      {{"dir"}, false, {{"dir", true}, {"dir/x/y", true}, {"dirx", false}, {"di", false}}},
      {{"dir"}, true, {{"dir", true}, {"dir/x", false}}},
      {{"d*/x"}, false, {{"da/x", true}, {"da/x/y", true}, {"da/y", false}, {"da", false}}},
      {{"d*/x"}, true, {{"da/x", true}, {"da/x/y", false}}},
      {{}, true, {{"top", true}, {"a/b", false}}},
      {{}, false, {{"a/b/c", true}}},
      {{"*.txt", "b"}, false, {{"a.txt", true}, {"b/c", true}, {"c", false}}},
      {{"/"}, false, {{"/a/b", true}, {"a", false}}},
      {{"dir/"}, false, {{"dir/x", true}, {"dir/", true}, {"dir", false}, {"dirx/y", false}}},
      {{"dir/"}, true, {{"dir/x", false}, {"dir/", true}}},
      {{"a/b", "c", "a/bc"}, false, {{"a/b/c", true}, {"a", false}, {"c/d", true}, {"a/bcd", false}, {"x/c", false}}},
  };
  // Many plain names: each selects itself and what is below it only.
  row many{{}, false, {}};
  for (int i = 0; i < 3000; i += 2) many.specs.push_back("t/f" + std::to_string(i));
  for (int i = 0; i < 3000; i += 7) many.paths.push_back({"t/f" + std::to_string(i), i % 2 == 0});
  many.paths.push_back({"t/f10/under", true});
  many.paths.push_back({"t", false});
  rows.push_back(many);
  for (const row& r : rows) {
    brix_ResetFileList();
    brix_option_flags = r.norecurse ? BRIX_OPT_NORECURSE : 0;
    for (const std::string& s : r.specs) brix_AddFileSpec(BTO_UNKNOWN, 0, strdup(s.c_str()), nullptr, 0, nullptr);
    for (const auto& [path, want] : r.paths) {
      bif_entry_t e = entryNamed(path);
      EXPECT_EQ(brix_IndexEntryWasSelected(&e), want ? 1 : 0)
          << (r.specs.empty() ? "(none)" : r.specs[0]) << " " << path << " norecurse=" << r.norecurse;
    }
  }
}
