// CRC-32 of member data: IEEE 802.3, reflected polynomial 0xEDB88320, started
// at all ones and complemented at the end. Sixteen bytes per step through
// sixteen tables (slice-by-16); the tables are built at compile time.
#include <stdint.h>
#include <string.h>

#include <array>

#include "brix_index.h"

namespace {

using crcTables = std::array<std::array<uint32_t, 256>, 16>;

constexpr crcTables makeTables() {
  crcTables t{};
  for (uint32_t i = 0; i < 256; i++) {
    uint32_t c = i;
    for (int k = 0; k < 8; k++) c = (c & 1) ? (c >> 1) ^ 0xEDB88320u : c >> 1;
    t[0][i] = c;
  }
  for (uint32_t i = 0; i < 256; i++)
    for (int s = 1; s < 16; s++) t[s][i] = (t[s - 1][i] >> 8) ^ t[0][t[s - 1][i] & 0xFF];
  return t;
}

constexpr crcTables crc32tbl = makeTables();

inline uint32_t load32(const unsigned char* p) {
  uint32_t v;
  memcpy(&v, p, 4);
#if __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
  v = __builtin_bswap32(v);
#endif
  return v;
}

}  // namespace

void brix_ChecksumInit(uint32_t* crc) { *crc = 0xFFFFFFFFu; }

void brix_ChecksumBuffer(const void* data, size_t length, uint32_t* crc) {
  const unsigned char* p = static_cast<const unsigned char*>(data);
  uint32_t c = *crc;
  const auto& t = crc32tbl;
  while (length >= 16) {
    uint32_t a = load32(p) ^ c;
    uint32_t b = load32(p + 4);
    uint32_t d = load32(p + 8);
    uint32_t e = load32(p + 12);
    c = t[15][a & 0xFF] ^ t[14][(a >> 8) & 0xFF] ^ t[13][(a >> 16) & 0xFF] ^ t[12][a >> 24] ^
        t[11][b & 0xFF] ^ t[10][(b >> 8) & 0xFF] ^ t[9][(b >> 16) & 0xFF] ^ t[8][b >> 24] ^
        t[7][d & 0xFF] ^ t[6][(d >> 8) & 0xFF] ^ t[5][(d >> 16) & 0xFF] ^ t[4][d >> 24] ^
        t[3][e & 0xFF] ^ t[2][(e >> 8) & 0xFF] ^ t[1][(e >> 16) & 0xFF] ^ t[0][e >> 24];
    p += 16;
    length -= 16;
  }
  while (length--) c = (c >> 8) ^ t[0][(c ^ *p++) & 0xFF];
  *crc = c;
}

void brix_ChecksumFinalize(uint32_t* crc) { *crc = ~*crc; }
