// The pax record reader of build-index: whatever the bytes, it answers 0 or
// 1, names a key of at most the room given, and reads no byte past them.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <cstdio>
#include <vector>

#include "brix_extract.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // A copy of exactly the input's size, so any read past it is caught.
  std::vector<char> copy(data, data + size);
  char key[16];
  memset(key, 'Z', sizeof key);
  int rc = brix_PaxRecordsMatter(copy.data(), copy.size(), key, sizeof key);
  if (rc != 0 && rc != 1) abort();
  if (rc == 1 && memchr(key, '\0', sizeof key) == nullptr) abort();
  if (rc == 0 && key[0] != 'Z') abort();
  // The same records against a header: the answer, the key and the size.
  posix_header_t hdr;
  memset(&hdr, 0, sizeof hdr);
  memcpy(hdr.thb_name, "a/b", 3);
  memcpy(hdr.thb_uid, "0000000", 7);
  uint64_t paxSize = UINT64_MAX;
  memset(key, 'Z', sizeof key);
  rc = brix_PaxRecordsDiffer(copy.data(), copy.size(), &hdr, &paxSize, key, sizeof key);
  if (rc != 0 && rc != 1) abort();
  if (rc == 1 && memchr(key, '\0', sizeof key) == nullptr) abort();
  if (rc == 0 && key[0] != 'Z') abort();
  return 0;
}
