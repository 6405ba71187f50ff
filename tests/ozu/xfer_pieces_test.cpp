// Pieces of partial transfers and digest text, away from any gateway: the
// text form of a piece, offset files, and the three digest styles.
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "temp_dir.h"
#include "xfer_digest.h"
#include "xfer_offsets.h"

namespace {

TEST(XferPieces, TextFormsAndRefusals)
{
  const uint64_t cur = uint64_t(-1);
  struct Case {
    const char *text;
    int rc;
    uint64_t src, sink, length;
  } cases[] = {
      {"1k:0:4k", 0, 1024, 0, 4096},
      {"2MB::", 0, 2097152, cur, 0},
      {"CP:100:10", 0, cur, 100, 10},
      {"0cp:1g:1", 0, cur, 1ull << 30, 1},
      {"::", 0, cur, cur, 0},
      {":::", 0, cur, cur, 0},
      {"", 0, cur, cur, 0},
      {"100:5000:300", 0, 100, 5000, 300},
      {"4294967296:1TB:2pb", 0, 1ull << 32, 1ull << 40, 2ull << 50},
      {"1:2:3:4", -1, 0, 0, 0},
      {"10:cp:0cp", -1, 0, 0, 0},
      {"1.5k", -1, 0, 0, 0},
      {"k", -1, 0, 0, 0},
      {"10kib", -1, 0, 0, 0},
      {"-1:0:0", -1, 0, 0, 0},
      {"99999999999999999999", -1, 0, 0, 0},
      {"16777216tb", -1, 0, 0, 0},            // beyond 64 bits
      {"9223372036854775808", -1, 0, 0, 0},   // beyond a signed offset
      {"0:0:18446744073709551615", 0, 0, 0, UINT64_MAX},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.text);
    xfer_offset_t p = {7, 7, 7};
    ASSERT_EQ(ozu_ParseXferOffsetSpec(c.text, &p), c.rc);
    if (c.rc == 0) {
      EXPECT_EQ(uint64_t(p.srcOffset), c.src);
      EXPECT_EQ(uint64_t(p.sinkOffset), c.sink);
      EXPECT_EQ(p.length, c.length);
    } else {
      EXPECT_EQ(p.srcOffset, 7) << "a refused text leaves the piece alone";
    }
  }
}

TEST(XferPieces, OffsetFilesKeepTheirOrderAndStopAtABadWord)
{
  std::string dir = make_temp_dir("pieces");
  ASSERT_FALSE(dir.empty());
  std::string path = dir + "/offsets";
  FILE *f = fopen(path.c_str(), "w");
  ASSERT_NE(f, nullptr);
  fputs("0:0:100 200:200:100\n\n300::\nabc:0:1 5:5:5\n6:6:6\n", f);
  fclose(f);
  std::vector<xfer_offset_t> list = {{1, 1, 1}};
  EXPECT_EQ(ozu_ReadXferOffsetFile(path.c_str(), &list), -1);
  ASSERT_EQ(list.size(), 4u) << "the pieces before the bad word stay, after the one before";
  EXPECT_EQ(list[1].srcOffset, 0);
  EXPECT_EQ(list[2].srcOffset, 200);
  EXPECT_EQ(list[3].srcOffset, 300);
  EXPECT_EQ(list[3].sinkOffset, -1);
  std::vector<xfer_offset_t> none;
  EXPECT_EQ(ozu_ReadXferOffsetFile((dir + "/missing").c_str(), &none), -1);
  EXPECT_TRUE(none.empty());
  unlink(path.c_str());
  rmdir(dir.c_str());
}

TEST(XferDigest, ThreeTextStyles)
{
  const unsigned char b[] = {0xAB, 0x01};
  struct Case {
    int style;
    const char *want;
  } cases[] = {{LOWERCASE_HEX, "ab01"}, {UPPERCASE_HEX, "AB01"}, {SQL_UPPERCASE_HEX, "X'AB01'"}};
  for (const Case &c : cases) {
    char *s = ozu_FDigestToString(c.style, b, 2);
    ASSERT_NE(s, nullptr);
    EXPECT_STREQ(s, c.want);
    free(s);
  }
  char *e = ozu_FDigestToString(LOWERCASE_HEX, b, 0);
  ASSERT_NE(e, nullptr);
  EXPECT_STREQ(e, "");
  free(e);
}

}  // namespace
