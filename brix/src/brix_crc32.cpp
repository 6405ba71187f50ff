// CRC-32 of member data: IEEE 802.3, reflected polynomial 0xEDB88320, started
// at all ones and complemented at the end; the client library's.
#include <stdint.h>

#include "brix_index.h"
#include "quor_cksum.h"

void brix_ChecksumInit(uint32_t* crc) { *crc = 0xFFFFFFFFu; }

void brix_ChecksumBuffer(const void* data, size_t length, uint32_t* crc) {
  *crc = quor_crc32_update(*crc, static_cast<const unsigned char*>(data), length);
}

void brix_ChecksumFinalize(uint32_t* crc) { *crc = ~*crc; }
