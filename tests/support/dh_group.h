// The 2048-bit MODP group (RFC 3526 group 14, generator 2) that the gateway
// hands out, for tests that play the gateway's side of the key exchange.
#ifndef TESTS_SUPPORT_DH_GROUP_H
#define TESTS_SUPPORT_DH_GROUP_H

#include <vector>

extern const char kModp2048Hex[];

// Big-endian bytes of a hexadecimal text.
std::vector<unsigned char> fromHex(const char* hex);

#endif
