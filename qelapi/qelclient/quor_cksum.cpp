// CRC-32, Adler-32 and the ECMA-319 CRC; see quor_cksum.h.
//
// CRC-32 is zlib's, which runs about twice as fast as a table of our own
// (bench_brix_crc). The ECMA-319 CRC, being linear over GF(2), runs on
// sliced tables: table k gives a byte's contribution k bytes further on,
// and one step folds 8 bytes with independent look-ups instead of a chain
// of dependent ones.
#include "quor_cksum.h"

#include <string.h>
#include <zlib.h>

#include <array>

namespace {

using Table = std::array<uint32_t, 256>;

// Product in GF(2^8) with the field polynomial x^8 + x^4 + x^3 + x^2 + 1.
constexpr uint8_t gfMul(uint8_t a, uint8_t b) {
  unsigned r = 0, x = a;
  for (int i = 0; i < 8; i++) {
    if (b & (1u << i)) r ^= x;
    x <<= 1;
    if (x & 0x100) x ^= 0x11D;
  }
  return uint8_t(r);
}

constexpr std::array<Table, 8> makeEcmaTables() {
  std::array<Table, 8> t{};
  for (unsigned v = 0; v < 256; v++)
    t[0][v] = (uint32_t(gfMul(uint8_t(v), 0x38)) << 24) | (uint32_t(gfMul(uint8_t(v), 0xCF)) << 16) |
              (uint32_t(gfMul(uint8_t(v), 0x38)) << 8) | gfMul(uint8_t(v), 0x01);
  for (size_t k = 1; k < 8; k++)
    for (unsigned v = 0; v < 256; v++) t[k][v] = (t[k - 1][v] << 8) ^ t[0][t[k - 1][v] >> 24];
  return t;
}

constexpr std::array<Table, 8> ecmaT = makeEcmaTables();

inline uint32_t load32(const unsigned char* p) {
  uint32_t v;
  memcpy(&v, p, 4);
  return v;
}

inline uint32_t be32(const unsigned char* p) {
#if __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
  return load32(p);
#else
  return __builtin_bswap32(load32(p));
#endif
}

}  // namespace

uint32_t quor_crc32_update(uint32_t crc, const unsigned char* p, size_t len) {
  // zlib takes and gives the complemented check; the state is the register.
  return ~uint32_t(crc32_z(~crc, p, len));
}

uint32_t quor_adler32_update(uint32_t state, const unsigned char* p, size_t len) {
  // 5552 is the longest run whose sums cannot overflow 32 bits before the
  // reduction (as in zlib), so the modulo is taken once per run.
  const uint32_t base = 65521;
  uint32_t a = state & 0xffff, b = state >> 16;
  while (len > 0) {
    size_t n = len < 5552 ? len : 5552;
    len -= n;
    while (n-- > 0) {
      a += *p++;
      b += a;
    }
    a %= base;
    b %= base;
  }
  return (b << 16) | a;
}

uint32_t quor_ecma319_update(uint32_t s, const unsigned char* p, size_t len) {
  while (len >= 8) {
    uint32_t a = s ^ be32(p), b = be32(p + 4);
    s = ecmaT[7][a >> 24] ^ ecmaT[6][(a >> 16) & 0xff] ^ ecmaT[5][(a >> 8) & 0xff] ^
        ecmaT[4][a & 0xff] ^ ecmaT[3][b >> 24] ^ ecmaT[2][(b >> 16) & 0xff] ^
        ecmaT[1][(b >> 8) & 0xff] ^ ecmaT[0][b & 0xff];
    p += 8;
    len -= 8;
  }
  while (len-- > 0) s = (s << 8) ^ ecmaT[0][(s >> 24) ^ *p++];
  return s;
}

uint32_t quor_ecma319_table(unsigned v) { return ecmaT[0][v & 0xff]; }
