// brix's index reader: opens an index file, reads every entry in order and
// some at random, selects members by name, and reads the consistency member
// out of the same bytes taken as an archive.
#include <fcntl.h>
#include <stdint.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "brix_blockio.h"
#include "brix_filespec.h"
#include "brix_index.h"

namespace {

[[noreturn]] void fail(const char* what) {
  fprintf(stderr, "property failed: %s\n", what);
  abort();
}

int memfd = -1;
std::string memPath;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  if (!freopen("/dev/null", "w", stdout)) return 0;
  memfd = memfd_create("brix_index", 0);
  memPath = "/proc/self/fd/" + std::to_string(memfd);
  brix_function = BOP_LIST;
  brix_filetype = BRIX_LOCAL_FILE;
  static char name[] = "fuzz.idx";
  brix_index_filename = name;
  brix_archive = memPath.data();
  // A few member names, plain and with wildcards.
  static char a[] = "a", b[] = "d*/x", c[] = "{x,y}*[a-z]";
  brix_AddFileSpec(BTO_UNKNOWN, 0, a, nullptr, 0, nullptr);
  brix_AddFileSpec(BTO_UNKNOWN, 0, b, nullptr, 0, nullptr);
  brix_AddFileSpec(BTO_UNKNOWN, 0, c, nullptr, 0, nullptr);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (ftruncate(memfd, 0) != 0 || pwrite(memfd, data, size, 0) != ssize_t(size)) return 0;
  brix_exit_code = 0;
  brix_annotation_size = 0;
  int fd = brix_OpenIndexFile(memPath.c_str(), O_RDONLY, BRIX_LOCAL_FILE);
  if (fd < 0) return 0;
  uint64_t expected = (size - BIF_HDR_SIZE - brix_annotation_size) / BIF_ENTRY_SIZE;
  if (brix_index_entries != expected) fail("entry count from the size");
  if (brix_IndexReadInit() != 0) fail("read init");
  uint64_t seen = 0;
  for (;;) {
    bif_entry_t* e = nullptr;
    int end = 0;
    if (brix_IndexFileRead(fd, BRIX_LOCAL_FILE, int(seen % 3), &e, &end) != 0) break;
    if (end) break;
    char path[300];
    brix_FormIxEntryPathname(e, path);
    if (strlen(path) > 256) fail("path length");
    brix_IndexEntryWasSelected(e);
    seen++;
  }
  if (seen > brix_index_entries) fail("more entries than the file holds");
  if (brix_index_entries > 0) {
    bif_entry_t last;
    if (brix_IndexReadRandomEntry(fd, BRIX_LOCAL_FILE, brix_index_entries - 1, &last) == 0 &&
        last.bent_offset < (1u << 20)) {
      bif_consistency_t cf;
      if (brix_ReadArchiveCF(fd, BRIX_LOCAL_FILE, last.bent_offset * 512, &cf) == 0)
        brix_CheckConsistency(&brix_index_hdr.bif_cfinfo, &cf);
    }
  }
  bif_entry_t any;
  brix_IndexReadRandomEntry(fd, BRIX_LOCAL_FILE, brix_index_entries, &any);
  close(fd);
  return 0;
}
