// The SAN3P device-id file: the input is the file, read afresh for each
// input from a private directory, then one device looked up. A path that
// comes back is terminated and no longer than a field may be.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>

#include "quor_convert.h"
#include "quor_san3p.h"
#include "san3p_internal.h"

#define FUZZ_CHECK(cond)                                                       \
  do {                                                                         \
    if (!(cond)) {                                                             \
      fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
      abort();                                                                 \
    }                                                                          \
  } while (0)

namespace {

std::string dir;

void removeDir(void) {
  if (!dir.empty()) {
    unlink((dir + "/quor_san3p.0.ids").c_str());
    rmdir(dir.c_str());
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (dir.empty()) {
    const char* tmp = getenv("TMPDIR");
    std::string tmpl = std::string(tmp && *tmp ? tmp : "/tmp") + "/san3p_ids_fuzz.XXXXXX";
    if (!mkdtemp(tmpl.data())) abort();
    dir = tmpl;
    setenv("QUOR_TEST_SAN3P_DIR", dir.c_str(), 1);
    atexit(removeDir);
  }
  FILE* f = fopen((dir + "/quor_san3p.0.ids").c_str(), "wb");
  if (!f) abort();
  fwrite(data, 1, size, f);
  fclose(f);
  san3p_ResetCacheForTest();
  quor_uuid_t id;
  memset(&id, 0, sizeof id);
  quor_uuid_from_string("6f1c2a3b-4d5e-4f60-8172-93a4b5c6d7e8", &id);
  char path[65];
  memset(path, 'x', sizeof path);
  int rc = quor_SAN3PGetDevicePath(id, sizeof path, path);
  if (rc == 0) FUZZ_CHECK(strnlen(path, sizeof path) <= 63);
  return 0;
}
