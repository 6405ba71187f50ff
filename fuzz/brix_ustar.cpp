// brix's ustar header decoder: checks a 512-byte block read from an archive,
// turns a good header into an index entry, and writes that entry back as a
// header, which must itself check out.
#include <stdint.h>
#include <string.h>

#include <cstdio>
#include <cstdlib>

#include "brix_ustar.h"
#include "brix_index.h"

namespace {

[[noreturn]] void fail(const char* what) {
  fprintf(stderr, "property failed: %s\n", what);
  abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // Messages of rejected headers would only slow the search down.
  if (!freopen("/dev/null", "w", stdout)) return 0;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  unsigned char block[512] = {};
  memcpy(block, data, size < sizeof block ? size : sizeof block);
  brix_exit_code = 0;
  posix_header_t hdr;
  int rc = brix_GetTarHeader(block, &hdr);
  if (rc != 0 && rc != -1 && rc != BRIX_TAR_EOF) fail("header result");
  if (rc != 0) return 0;
  uint64_t size64 = brix_GetMemberFilesize(&hdr);
  if (size64 > BRIX_MAX_MEMBER_SIZE && !(static_cast<unsigned char>(hdr.thb_size[0]) & 0x80))
    fail("size beyond twelve octal digits");
  bif_entry_t entry;
  uint64_t blocks = 0, dataSize = 0;
  if (brix_IndexFromTarHdr(7, &hdr, &entry, &blocks, &dataSize) != 0) return 0;
  if (blocks != 1 + (dataSize + 511) / 512) fail("block count");
  if (entry.bent_offset != 7 || entry.bent_fsize != dataSize) fail("entry fields");
  char path[300];
  brix_FormIxEntryPathname(&entry, path);
  if (strlen(path) > 256) fail("path length");
  if (entry.bent_uname[31] != '\0' || entry.bent_gname[31] != '\0') fail("names terminated");
  unsigned char again[512];
  brix_BuildPosixHeader(&entry, again);
  posix_header_t hdr2;
  if (brix_GetTarHeader(again, &hdr2) != 0) fail("rebuilt header rejected");
  if (entry.bent_fsize <= BRIX_MAX_MEMBER_SIZE && brix_GetMemberFilesize(&hdr2) != entry.bent_fsize)
    fail("rebuilt size");
  return 0;
}
