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
  return 0;
}
