// The member CRC-32 against the published check values and against a plain
// bit-by-bit CRC over many lengths and alignments (the table method must
// agree with it everywhere, not only on whole 16-byte steps).
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "brix_index.h"

namespace {

uint32_t bitwiseCrc(const unsigned char* p, size_t n) {
  uint32_t c = 0xFFFFFFFFu;
  for (size_t i = 0; i < n; i++) {
    c ^= p[i];
    for (int k = 0; k < 8; k++) c = (c & 1) ? (c >> 1) ^ 0xEDB88320u : c >> 1;
  }
  return ~c;
}

uint32_t crcOf(const void* p, size_t n) {
  uint32_t c;
  brix_ChecksumInit(&c);
  brix_ChecksumBuffer(p, n, &c);
  brix_ChecksumFinalize(&c);
  return c;
}

}  // namespace

TEST(Crc32, PublishedValues) {
  EXPECT_EQ(crcOf("", 0), 0u);
  EXPECT_EQ(crcOf("abc", 3), 0x352441C2u);
  EXPECT_EQ(crcOf("123456789", 9), 0xCBF43926u);
}

TEST(Crc32, AgreesWithBitwiseAtEveryLengthAndAlignment) {
  std::mt19937 rng(7);
  std::vector<unsigned char> data(4096 + 64);
  for (auto& b : data) b = static_cast<unsigned char>(rng());
  for (size_t offset = 0; offset < 8; offset++)
    for (size_t len = 0; len <= 300; len++)
      ASSERT_EQ(crcOf(data.data() + offset, len), bitwiseCrc(data.data() + offset, len))
          << "offset " << offset << " length " << len;
  EXPECT_EQ(crcOf(data.data(), 4096), bitwiseCrc(data.data(), 4096));
}

TEST(Crc32, PiecesGiveTheSameAsWhole) {
  std::vector<unsigned char> data(100000);
  for (size_t i = 0; i < data.size(); i++) data[i] = static_cast<unsigned char>(i * 31 + 7);
  uint32_t c;
  brix_ChecksumInit(&c);
  for (size_t at = 0; at < data.size();) {
    size_t take = std::min<size_t>(data.size() - at, 1 + at % 997);
    brix_ChecksumBuffer(data.data() + at, take, &c);
    at += take;
  }
  brix_ChecksumFinalize(&c);
  EXPECT_EQ(c, bitwiseCrc(data.data(), data.size()));
}
