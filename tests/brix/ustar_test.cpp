// The ustar member header: the bytes of each field as written, the checksum,
// ids too large for octal, and the checks applied when a header is read.
#include <gtest/gtest.h>
#include <string.h>

#include <string>

#include "brix_ustar.h"
#include "brix_test_util.h"

namespace {

bif_entry_t fileEntry(const char* name, uint64_t size) {
  bif_entry_t e;
  memset(&e, 0, sizeof e);
  memcpy(e.bent_sanity, "BRIX_IDX", 8);
  strncpy(e.bent_name, name, sizeof e.bent_name);
  e.bent_type = BTO_FILE;
  e.bent_fsize = size;
  e.bent_mode = 0644;
  e.bent_uid = 1001;
  e.bent_gid = 100;
  e.bent_mtime = 1700000000;
  strcpy(e.bent_uname, "alice");
  strcpy(e.bent_gname, "users");
  return e;
}

std::string field(const unsigned char* b, size_t off, size_t len) {
  return std::string(reinterpret_cast<const char*>(b) + off, len);
}

unsigned checksumOf(const unsigned char* b) {
  unsigned sum = 0;
  for (int i = 0; i < 512; i++) sum += (i >= 148 && i < 156) ? ' ' : b[i];
  return sum;
}

class Ustar : public ::testing::Test {
 protected:
  void SetUp() override { resetBrixState(); }
};

}  // namespace

TEST_F(Ustar, FileHeaderFieldsAsWritten) {
  bif_entry_t e = fileEntry("dir/file.txt", 513);
  strcpy(e.bent_prefix, "top");
  unsigned char b[512];
  brix_BuildPosixHeader(&e, b);
  EXPECT_EQ(field(b, 0, 13), std::string("dir/file.txt\0", 13));
  EXPECT_EQ(field(b, 100, 8), std::string("0000644\0", 8));
  EXPECT_EQ(field(b, 108, 8), std::string("0001751\0", 8));
  EXPECT_EQ(field(b, 116, 8), std::string("0000144\0", 8));
  EXPECT_EQ(field(b, 124, 12), "000000001001");
  EXPECT_EQ(field(b, 136, 12), std::string("14524770400\0", 12));
  EXPECT_EQ(b[156], '0');
  EXPECT_EQ(field(b, 257, 6), std::string("ustar\0", 6));
  EXPECT_EQ(field(b, 263, 2), "00");
  EXPECT_EQ(field(b, 265, 6), std::string("alice\0", 6));
  EXPECT_EQ(field(b, 297, 6), std::string("users\0", 6));
  EXPECT_EQ(field(b, 329, 8), std::string("0000000\0", 8));
  EXPECT_EQ(field(b, 337, 8), std::string("0000000\0", 8));
  EXPECT_EQ(field(b, 345, 4), std::string("top\0", 4));
  EXPECT_EQ(field(b, 500, 12), std::string(12, '\0'));
  char chk[8];
  snprintf(chk, sizeof chk, "%6o", checksumOf(b));
  EXPECT_EQ(field(b, 148, 8), std::string(chk, 6) + std::string("\0 ", 2));
  posix_header_t hdr;
  EXPECT_EQ(brix_GetTarHeader(b, &hdr), 0);
}

TEST_F(Ustar, TypeflagsAndSizes) {
  struct row {
    uint32_t type;
    char flag;
  } rows[] = {{BTO_FILE, '0'}, {BTO_HARDLINK, '0'}, {BTO_DIRECTORY, '5'}, {BTO_SYMLINK, '2'}};
  for (const row& r : rows) {
    bif_entry_t e = fileEntry("x", 0);
    e.bent_type = r.type;
    unsigned char b[512];
    brix_BuildPosixHeader(&e, b);
    EXPECT_EQ(b[156], r.flag) << r.type;
  }
  bif_entry_t e = fileEntry("x", 0);
  unsigned char b[512];
  brix_BuildPosixHeader(&e, b);
  EXPECT_EQ(field(b, 124, 12), "000000000000");
  e.bent_fsize = BRIX_MAX_MEMBER_SIZE;
  brix_BuildPosixHeader(&e, b);
  EXPECT_EQ(field(b, 124, 12), "777777777777");
}

// An id past seven octal digits is written whole in the base-256 form, never
// cut to its low digits (which could turn it into root on extract).
TEST_F(Ustar, LargeIdsUseBase256) {
  bif_entry_t e = fileEntry("x", 0);
  e.bent_uid = 2097151;
  e.bent_gid = 3000000;
  unsigned char b[512];
  brix_BuildPosixHeader(&e, b);
  EXPECT_EQ(field(b, 108, 8), std::string("7777777\0", 8));
  EXPECT_EQ(b[116], 0x80);
  uint64_t v = 0;
  for (int i = 1; i < 8; i++) v = (v << 8) | b[116 + i];
  EXPECT_EQ(v, 3000000u);
  EXPECT_EQ(brix_exit_code, 0);
  posix_header_t hdr;
  EXPECT_EQ(brix_GetTarHeader(b, &hdr), 0);
}

TEST_F(Ustar, OctalWriterOverflowKeepsLowDigitsAndSaysSo) {
  char f[8];
  EXPECT_EQ(Uint32_tToOctal(2097152, f, 8, 1, "thb_uid"), -1);
  EXPECT_EQ(std::string(f, 8), std::string("0000000\0", 8));
  char g[12];
  EXPECT_EQ(Uint64_tToOctal(8, g, 12, 0, "thb_size"), 0);
  EXPECT_EQ(std::string(g, 12), "000000000010");
}

TEST_F(Ustar, CheckingHeadersRead) {
  unsigned char zero[512] = {};
  posix_header_t hdr;
  EXPECT_EQ(brix_GetTarHeader(zero, &hdr), BRIX_TAR_EOF);
  EXPECT_EQ(brix_exit_code, 0);

  unsigned char one[512] = {};
  one[10] = 1;
  EXPECT_EQ(brix_GetTarHeader(one, &hdr), -1);
  EXPECT_EQ(brix_exit_code, 72);

  // Another tar program that summed signed bytes: its header is accepted.
  resetBrixState();
  bif_entry_t e = fileEntry("\xc3\xa9t\xc3\xa9", 0);
  unsigned char b[512];
  brix_BuildPosixHeader(&e, b);
  int ssum = 0;
  for (int i = 0; i < 512; i++) ssum += (i >= 148 && i < 156) ? ' ' : static_cast<signed char>(b[i]);
  char chk[8];
  snprintf(chk, sizeof chk, "%06o", ssum);
  memcpy(b + 148, chk, 7);
  EXPECT_EQ(brix_GetTarHeader(b, &hdr), 0);

  struct row {
    char flag;
    int result;
  } rows[] = {{'\0', 0}, {'0', 0}, {'1', 0}, {'2', 0}, {'5', 0}, {'3', -1}, {'4', -1}, {'6', -1},
              {'7', -1}, {'g', -1}};
  for (const row& r : rows) {
    resetBrixState();
    brix_BuildPosixHeader(&e, b);
    b[156] = static_cast<unsigned char>(r.flag);
    unsigned sum = checksumOf(b);
    snprintf(chk, sizeof chk, "%6o", sum);
    memcpy(b + 148, chk, 7);
    EXPECT_EQ(brix_GetTarHeader(b, &hdr), r.result) << int(r.flag);
    EXPECT_EQ(brix_exit_code, r.result ? 72 : 0) << int(r.flag);
  }
}

TEST_F(Ustar, SizeAndOctalReaders) {
  posix_header_t hdr;
  memset(&hdr, 0, sizeof hdr);
  memcpy(hdr.thb_size, "00000000012 ", 12);
  EXPECT_EQ(brix_GetMemberFilesize(&hdr), 10u);
  memset(hdr.thb_size, 0, 12);
  memcpy(hdr.thb_size, "12", 2);
  EXPECT_EQ(brix_GetMemberFilesize(&hdr), 10u);
  memset(hdr.thb_size, 0, 12);
  // Base-256, as GNU tar writes 8 GiB and more; a negative one is no size.
  hdr.thb_size[0] = char(0x80);
  EXPECT_EQ(brix_GetMemberFilesize(&hdr), 0u);
  hdr.thb_size[7] = 0x02;
  hdr.thb_size[11] = 0x05;
  EXPECT_EQ(brix_GetMemberFilesize(&hdr), (8ull << 30) + 5);
  memset(hdr.thb_size, 0xFF, 12);
  EXPECT_EQ(brix_GetMemberFilesize(&hdr), 0u);
  memset(hdr.thb_size, 0x7F, 12);
  hdr.thb_size[0] = char(0x81);
  EXPECT_EQ(brix_GetMemberFilesize(&hdr), UINT64_MAX) << "past 64 bits";

  uint32_t v32 = 99;
  uint64_t v64 = 99;
  EXPECT_EQ(OctalToUint32_t(&v32, 3, "0 7", "t"), 0);
  EXPECT_EQ(OctalToUint64_t(&v64, 3, "0 7", "t"), 0);
  EXPECT_EQ(v32, 7u);
  EXPECT_EQ(v64, 0u);
  EXPECT_EQ(OctalToUint32_t(&v32, 4, "128x", "t"), -1);
  EXPECT_EQ(v32, 10u);
}
