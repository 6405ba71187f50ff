// The expiration-times file: load the rules, then look up a few files.
// Names of users, groups and accounts need the gateway; with no gateway
// configured they fail to convert at once, and the rule is skipped.
#include <stdlib.h>
#include <string.h>

#include "fuzz_support.h"
#include "quor_api.h"
#include "quorex_expire.h"

namespace {

quor_Attrs_t attrs(uint32_t family, uint32_t cos, uint32_t subsys, uint32_t uid, uint32_t gid,
                   uint32_t account) {
  quor_Attrs_t a;
  memset(&a, 0, sizeof a);
  a.FamilyId = family;
  a.COSId = cos;
  a.SubSystemId = subsys;
  a.UID = uid;
  a.GID = gid;
  a.Account = account;
  a.TimeCreated = 1700000000;
  return a;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  setenv("QUOR_SERVER_HOST", "", 1);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz_memfile file(data, size);
  int rc = quorex_ExpireInitTable(file.path());
  FUZZ_CHECK(rc == 0 || rc == -1 || rc == -12);
  const quor_Attrs_t files[] = {attrs(0, 0, 0, 0, 0, 0), attrs(1, 2, 3, 100, 200, 300),
                                attrs(7, 7, 7, 7, 7, 7), attrs(~0u, ~0u, ~0u, ~0u, ~0u, ~0u)};
  for (const quor_Attrs_t& a : files) {
    uint64_t when = 1;
    int r = quorex_ExpireLookupTime(&a, &when);
    FUZZ_CHECK(r == 0 || r == -2);
    if (r != 0) FUZZ_CHECK(when == 0);
  }
  return 0;
}
