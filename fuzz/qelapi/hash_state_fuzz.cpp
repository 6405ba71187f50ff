// Saved digest states read back: the portable form (quor_HashDecode) and
// the raw image (quor_HashLoad). The first byte chooses the reader and, for
// the raw image, the type; the rest is the saved state and then data fed to
// a handle that came back. A state that is accepted must keep working: it
// takes more data, finishes, and its portable form reads back to the same
// digest.
#include <stdlib.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "quor_hash.h"

// A promise the code makes that does not hold: libFuzzer keeps the input.
#define FUZZ_CHECK(cond)                                                       \
  do {                                                                         \
    if (!(cond)) {                                                             \
      fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
      abort();                                                                 \
    }                                                                          \
  } while (0)

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const uint8_t how = data[0];
  const uint8_t* state = data + 1;
  size_t stateLen = size - 1;
  // The state's own length for its type, when the input holds more.
  quor_hash_t h = nullptr;
  if (how & 1) {
    quor_hash_type_t type = quor_hash_type_t(1 + (how >> 1) % 9);
    uint32_t need = uint32_t(quor_HashEncodedLength(type) + 3);
    h = quor_HashLoad(state, uint32_t(stateLen < need ? stateLen : need), type);
    if (h) stateLen = need;
  } else {
    h = quor_HashDecode(state, uint32_t(stateLen));
    if (h) {
      quor_hash_type_t type;
      FUZZ_CHECK(quor_HashType(h, &type) == 0);
      stateLen = size_t(quor_HashEncodedLength(type));
    }
  }
  if (!h) return 0;
  const uint8_t* rest = state + stateLen;
  size_t restLen = size - 1 - stateLen;
  FUZZ_CHECK(quor_HashAppendBuf(h, rest, uint32_t(restLen)) == 0);

  unsigned char saved[256];
  FUZZ_CHECK(quor_HashEncode(h, saved, sizeof saved) == 0);
  quor_hash_t again = quor_HashDecode(saved, sizeof saved);
  FUZZ_CHECK(again != nullptr);
  unsigned char a[64], b[64];
  int na = quor_HashFinishDigest(h, a, sizeof a);
  int nb = quor_HashFinishDigest(again, b, sizeof b);
  FUZZ_CHECK(na == nb);
  if (na > 0) FUZZ_CHECK(memcmp(a, b, size_t(na)) == 0);
  FUZZ_CHECK(quor_HashDelete(again) == 0);
  FUZZ_CHECK(quor_HashDelete(h) == 0);
  return 0;
}
