// A SAN disk label as the device holds it: the input is the start of the
// disk (a memory file standing in for it). A label that decodes keeps at
// most 16 partitions and, once written back as version 2, reads back the
// same.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#include "quor_san3p.h"

#define FUZZ_CHECK(cond)                                                       \
  do {                                                                         \
    if (!(cond)) {                                                             \
      fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
      abort();                                                                 \
    }                                                                          \
  } while (0)

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  int fd = memfd_create("san3p_label", 0);
  if (fd < 0) abort();
  if (size > 0 && write(fd, data, size) != ssize_t(size)) abort();
  san3p_part_tbl_t t;
  int rc = quor_SAN3PGetPartTable(fd, &t);
  if (rc == 0) {
    FUZZ_CHECK(t.NumParts <= SAN3P_MAX_PARTS);
    int version = 0;
    FUZZ_CHECK(quor_SAN3PGetTableVersion(&t, &version) == 0 && (version == 1 || version == 2));
    if (version == 2) {
      FUZZ_CHECK(quor_SAN3PUpdatePartTable(fd, &t) == 0);
      san3p_part_tbl_t back;
      FUZZ_CHECK(quor_SAN3PGetPartTable(fd, &back) == 0);
      FUZZ_CHECK(memcmp(&back, &t, sizeof t) == 0);
    }
  }
  close(fd);
  return 0;
}
