// Operations whose archive-reading pipelines this build does not have:
// extract, verify, delete, undelete and build-index. Each says so and fails,
// so nothing is reported done that was not.
#include "brix.h"

namespace {

int notAvailable(const char* what) {
  brix_Log(BRIX_MSG_ERROR, "%s is not available in this build of brix\n", what);
  brix_SetExitCode(64);
  fprintf(stdout, "%s: BRIX FAILED\n", "BRIX");
  fflush(stdout);
  return -1;
}

}  // namespace

int brix_Extract(void) { return notAvailable("Extract (-x)"); }
int brix_Verify(void) { return notAvailable("Verify (-K)"); }
int brix_Delete(void) { return notAvailable("Delete (-D)"); }
int brix_Undelete(void) { return notAvailable("Undelete (-U)"); }
int brix_BuildIndex(void) { return notAvailable("Build-index (-X)"); }
