// Reading archives back: the two-buffer range reader, the ranges of
// back-to-back entries, member paths on extraction and pax records.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "brix_extract.h"
#include "brix_xfer.h"
#include "brix_test_util.h"

namespace {

std::vector<std::string> delivered;
int failAtCall = -1;

int collect(io_buffer_t* b) {
  if (int(delivered.size()) == failAtCall) return -1;
  delivered.emplace_back(reinterpret_cast<const char*>(b->buffer), b->dataLength);
  return 0;
}

class RangeReader : public ::testing::Test {
 protected:
  void SetUp() override {
    resetBrixState();
    brix_iobufsize = 1024;
    delivered.clear();
    failAtCall = -1;
    data.resize(10 * 512);
    for (size_t i = 0; i < data.size(); i++) data[i] = char('a' + (i * 7 + i / 512) % 26);
    path = dir / "archive";
    writeFileAt(path, data);
    fd = open(path.c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
  }
  void TearDown() override { close(fd); }
  TempDir dir;
  std::string data, path;
  int fd = -1;
};

}  // namespace

TEST_F(RangeReader, DeliversTheRangeInOrderBufferByBuffer) {
  struct row {
    uint64_t start, length;
    std::vector<size_t> pieces;
  } rows[] = {
      {0, 0, {}},                       // nothing asked: no call
      {512, 512, {512}},                // shorter than a buffer
      {512, 2560, {1024, 1024, 512}},   // the last call gets the rest
      {0, 5120, {1024, 1024, 1024, 1024, 1024}},
  };
  for (const row& w : rows) {
    delivered.clear();
    double t = -1;
    ASSERT_EQ(brix_CopyFromLocalArchive(fd, w.start, w.length, collect, &t), 0) << w.start << "+" << w.length;
    EXPECT_GE(t, 0);
    std::string joined;
    std::vector<size_t> sizes;
    for (const std::string& d : delivered) {
      joined += d;
      sizes.push_back(d.size());
    }
    EXPECT_EQ(sizes, w.pieces);
    EXPECT_EQ(joined, data.substr(size_t(w.start), size_t(w.length)));
  }
  EXPECT_EQ(brix_exit_code, 0);
}

TEST_F(RangeReader, AnArchiveShorterThanTheRangeFails) {
  EXPECT_EQ(brix_CopyFromLocalArchive(fd, 4096, 2048, collect, nullptr), -1);
  EXPECT_EQ(brix_exit_code, 72);
  std::string joined;
  for (const std::string& d : delivered) joined += d;
  EXPECT_EQ(joined, data.substr(4096, joined.size()));
  EXPECT_LT(joined.size(), 2048u);
}

TEST_F(RangeReader, AConsumerThatFailsStopsTheRead) {
  failAtCall = 1;
  EXPECT_EQ(brix_CopyFromLocalArchive(fd, 0, 5120, collect, nullptr), -1);
  EXPECT_EQ(delivered.size(), 1u);
  // The reader is usable again at once.
  failAtCall = -1;
  delivered.clear();
  EXPECT_EQ(brix_CopyFromLocalArchive(fd, 0, 1024, collect, nullptr), 0);
  EXPECT_EQ(delivered.size(), 1u);
}

TEST(ExtractPaths, MemberPathsStayBelowTheCurrentDirectory) {
  struct row {
    const char* in;
    int result;
    const char* out;
    int slash;
  } rows[] = {
      {"a/b/c", BSP_OK, "a/b/c", 0},
      {"/etc/passwd", BSP_OK, "etc/passwd", 1},
      {"//x//y/", BSP_OK, "x/y", 1},
      {"./a/./b", BSP_OK, "a/b", 0},
      {"/", BSP_EMPTY, "", 1},
      {".", BSP_EMPTY, "", 0},
      {"../x", BSP_DOTDOT, "", 0},
      {"a/../../x", BSP_DOTDOT, "", 0},
      {"/a/..", BSP_DOTDOT, "", 1},
      {"a/..b/c..", BSP_OK, "a/..b/c..", 0},
  };
  for (const row& w : rows) {
    char out[BRIX_MAX_PATH + 1];
    int slash = -1;
    EXPECT_EQ(brix_SafeMemberPath(w.in, out, &slash), w.result) << w.in;
    if (w.result != BSP_DOTDOT) {
      EXPECT_STREQ(out, w.out) << w.in;
    }
    EXPECT_EQ(slash, w.slash) << w.in;
  }
}

TEST(ExtractRanges, EntriesThatFollowOneAnotherShareARange) {
  ix_List_t list;
  auto entry = [](uint64_t offset, uint32_t blocks) {
    bif_entry_t e = {};
    e.bent_offset = offset;
    e.bent_blocks = blocks;
    return e;
  };
  bif_entry_t a = entry(0, 1), b = entry(1, 3), c = entry(4, 2), d = entry(9, 1), f = entry(10, 1);
  ASSERT_EQ(brix_AddIxListEntry(&list, &a, 0, 0), 0);
  ASSERT_EQ(brix_AddIxListEntry(&list, &b, 1, 0), 0);
  ASSERT_EQ(brix_AddIxListEntry(&list, &c, 3, 0), 0);  // entry 2 was left out
  ASSERT_EQ(brix_AddIxListEntry(&list, &d, 4, 0), 0);  // blocks 6-8 lie between
  ASSERT_EQ(brix_AddIxListEntry(&list, &f, 5, 0), 0);
  EXPECT_EQ(brix_AddIxListEntry(&list, &f, 5, 0), -1);  // entries must rise
  ASSERT_EQ(list.count, 3);
  ix_ListEntry_t* r = list.head;
  EXPECT_EQ(r->ixStart, 0u);
  EXPECT_EQ(r->ixCount, 2u);
  EXPECT_EQ(r->ixEndBlock, 4u);
  r = r->next;
  EXPECT_EQ(r->ixStart, 3u);
  EXPECT_EQ(r->ixStartBlock, 4u);
  EXPECT_EQ(r->ixEndBlock, 6u);
  r = r->next;
  EXPECT_EQ(r->ixStart, 4u);
  EXPECT_EQ(r->ixEnd, 5u);
  EXPECT_EQ(r->ixEndBlock, 11u);
  brix_FreeIxList(&list);

  bif_entry_t far = entry(UINT64_MAX / 256, 4);
  EXPECT_EQ(brix_MemberInsideArchive(&far, 1 << 20), 0);
  bif_entry_t last = entry(2046, 2);
  EXPECT_EQ(brix_MemberInsideArchive(&last, 2048 * 512), 1);
  last.bent_blocks = 3;
  EXPECT_EQ(brix_MemberInsideArchive(&last, 2048 * 512), 0);
}

TEST(PaxRecords, OnlyRecordsThatChangeTheMemberMatter) {
  struct row {
    std::string records;
    int matters;
    const char* key;
  } rows[] = {
      {"30 mtime=1796932143.629649466\n20 atime=1796932143\n", 0, ""},
      {"33 SCHILY.xattr.user.x=something\n", 0, ""},
      {"15 path=a/long\n", 1, "path"},
      {"20 atime=1796932143\n12 size=123\n", 1, "size"},
      {"22 GNU.sparse.major=1\n", 1, "GNU.sparse.major"},
      {"99 path=short\n", 1, "(unreadable records)"},  // length past the end
      {"5 x\n", 1, "(unreadable records)"},            // no '='
      {"nonsense", 1, "(unreadable records)"},
      {std::string("15 path=a/long\n\0\0\0", 18), 1, "path"},
      {std::string("20 atime=1796932143\n\0\0", 22), 0, ""},
  };
  for (const row& w : rows) {
    char key[64] = "";
    EXPECT_EQ(brix_PaxRecordsMatter(w.records.data(), w.records.size(), key, sizeof key), w.matters) << w.records;
    EXPECT_STREQ(key, w.key) << w.records;
  }
}

// Records held against the member header they describe: only a value that
// differs from the header (or cannot be read) leaves the member out.
TEST(PaxRecords, RecordsAgainstTheirHeader) {
  posix_header_t hdr;
  memset(&hdr, 0, sizeof hdr);
  memcpy(hdr.thb_prefix, "deep/dir", 8);
  memcpy(hdr.thb_name, "f\xc3\xa9", 3);
  memcpy(hdr.thb_linkname, "target", 6);
  memcpy(hdr.thb_uid, "0001750", 7);  // 1000
  hdr.thb_gid[0] = char(0x80);        // base-256 3000000
  hdr.thb_gid[5] = 0x2D;
  hdr.thb_gid[6] = char(0xC6);
  hdr.thb_gid[7] = char(0xC0);
  memcpy(hdr.thb_uname, "alice", 5);
  auto rec = [](const std::string& k, const std::string& v) {
    std::string r = " " + k + "=" + v + "\n";
    size_t n = r.size() + 1;
    while (std::to_string(n).size() + r.size() != n) n++;
    return std::to_string(n) + r;
  };
  struct row {
    std::string records;
    int differs;
    const char* key;
    uint64_t size;
  } rows[] = {
      {rec("path", "deep/dir/f\xc3\xa9"), 0, "", UINT64_MAX},
      {rec("path", "deep/dir/f\xc3\xa9/"), 0, "", UINT64_MAX},
      {rec("path", "deep/dir/f?"), 1, "path", UINT64_MAX},
      {rec("path", "f\xc3\xa9"), 1, "path", UINT64_MAX},
      {rec("linkpath", "target"), 0, "", UINT64_MAX},
      {rec("linkpath", "other"), 1, "linkpath", UINT64_MAX},
      {rec("uid", "1000") + rec("uname", "alice") + rec("gid", "3000000"), 0, "", UINT64_MAX},
      {rec("uid", "1001"), 1, "uid", UINT64_MAX},
      {rec("uid", "1e3"), 1, "uid", UINT64_MAX},
      {rec("uname", ""), 1, "uname", UINT64_MAX},
      {rec("gname", ""), 0, "", UINT64_MAX},
      {rec("size", "8589934597") + rec("mtime", "1796932143.629649466"), 0, "", 8589934597ull},
      {rec("size", "-12"), 1, "size", UINT64_MAX},
      {rec("GNU.sparse.major", "1"), 1, "GNU.sparse.major", UINT64_MAX},
      {"99 path=short\n", 1, "(unreadable records)", UINT64_MAX},  // length past the end
      {rec("uid", "1000") + std::string(3, '\0'), 0, "", UINT64_MAX},
  };
  for (const row& w : rows) {
    char key[64] = "";
    uint64_t size = UINT64_MAX;
    EXPECT_EQ(brix_PaxRecordsDiffer(w.records.data(), w.records.size(), &hdr, &size, key, sizeof key), w.differs)
        << w.records;
    EXPECT_STREQ(key, w.key) << w.records;
    EXPECT_EQ(size, w.size) << w.records;
  }
}
