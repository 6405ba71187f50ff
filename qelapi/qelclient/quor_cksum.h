// The library's own 32-bit checks, as running states that the digest
// module (quor_hash.cpp) keeps in its handles.
//
// quor_crc32_update    CRC-32 of IEEE 802.3 (reflected polynomial
//                      0xEDB88320). The state starts at 0xFFFFFFFF and the
//                      check is its complement; the update itself neither
//                      inverts nor finalises, so a saved state continues.
// quor_adler32_update  Adler-32 of RFC 1950; the state starts at 1 and is
//                      the check itself.
// quor_ecma319_update  the four-byte Reed-Solomon CRC of ECMA-319, most
//                      significant byte first; starts at 0, no final XOR.
// quor_ecma319_table   the table entry T[v] (for tests).
#ifndef QUOR_CKSUM_H
#define QUOR_CKSUM_H

#include <stddef.h>
#include <stdint.h>

uint32_t quor_crc32_update(uint32_t state, const unsigned char* data, size_t len);
uint32_t quor_adler32_update(uint32_t state, const unsigned char* data, size_t len);
uint32_t quor_ecma319_update(uint32_t state, const unsigned char* data, size_t len);
uint32_t quor_ecma319_table(unsigned v);

#endif
