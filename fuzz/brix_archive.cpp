// brix reading archives back: the build-index header scan, then verify and
// extract (to standard output, so nothing is written) walking the archive
// against that index. The input is a 2-byte little-endian index length, the
// index bytes and the archive bytes; with no index bytes the index is the
// one the scan builds, else the given bytes stand as the index.
#include <fcntl.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "brix_extract.h"
#include "brix_filespec.h"

namespace {

std::string dir;

bool writeAll(const std::string& path, const uint8_t* p, size_t n) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  if (fd < 0) return false;
  bool ok = write(fd, p, n) == ssize_t(n);
  close(fd);
  return ok;
}

void resetRun(uint32_t options) {
  brix_exit_code = 0;
  brix_option_flags = options;
  brix_verify_flags = BRIX_VERIFY_INFO | BRIX_VERIFY_CRC;
  brix_annotation_size = 0;
  brix_index_entries = 0;
  brix_archive_blocks = 0;
}

// The run's directory goes when the fuzzer exits, whatever ends it.
void removeDir() {
  if (dir.empty()) return;
  unlink((dir + "/fuzz.tar").c_str());
  unlink((dir + "/fuzz.tar.idx").c_str());
  if (chdir("/") == 0) rmdir(dir.c_str());
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // Messages and extracted data would only slow the search down.
  if (!freopen("/dev/null", "w", stdout)) return 0;
  const char* t = getenv("TMPDIR");
  std::string templ = std::string(t && *t ? t : "/tmp") + "/brix_fuzz_XXXXXX";
  if (!mkdtemp(templ.data())) abort();
  dir = templ;
  atexit(removeDir);
  if (chdir(dir.c_str()) != 0) abort();
  static char archive[] = "fuzz.tar", index[] = "fuzz.tar.idx";
  brix_archive = archive;
  brix_archive_abs_path = archive;
  brix_index_filename = index;
  brix_filetype = BRIX_LOCAL_FILE;
  brix_zeroblock = static_cast<unsigned char*>(calloc(1, 512));
  brix_max_files = 4096;
  brix_iobufsize = 524288;
  brix_argc = 0;
  brix_optind = 0;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  size_t ixLen = data[0] | size_t(data[1]) << 8;
  if (ixLen > size - 2) ixLen = size - 2;
  const uint8_t* ix = data + 2;
  const uint8_t* ar = ix + ixLen;
  size_t arLen = size - 2 - ixLen;
  if (!writeAll(brix_archive, ar, arLen)) return 0;
  int built = 0;
  if (ixLen == 0) {
    resetRun(BRIX_OPT_LOCAL);
    brix_function = BOP_BUILD_INDEX;
    built = brix_BuildIndex();
    brix_FreeMemberFileLists();
  } else if (!writeAll(brix_index_filename, ix, ixLen)) {
    return 0;
  }
  if (built == 0) {
    resetRun(BRIX_OPT_LOCAL | BRIX_OPT_CRC);
    brix_function = BOP_VERIFY;
    brix_Verify();
    resetRun(BRIX_OPT_LOCAL | BRIX_OPT_CRC | BRIX_OPT_TO_STDOUT);
    brix_function = BOP_EXTRACT;
    brix_Extract();
  }
  unlink(brix_index_filename);
  return 0;
}
