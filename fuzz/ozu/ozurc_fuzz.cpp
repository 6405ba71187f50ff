// The ozu rc file reader on arbitrary file contents.
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>

#include "ozurc.h"
#include "ozuvars.h"

namespace {

std::string dir;

void setUp()
{
  if (!dir.empty())
    return;
  char tmpl[] = "/tmp/ozurc_fuzz_XXXXXX";
  if (mkdtemp(tmpl) == nullptr)
    abort();
  dir = tmpl;
  setenv("QUOR_CFG_FILE_PATH", dir.c_str(), 1);
  localHomeDir = strdup(dir.c_str());  // no private file there
  FILE *null = fopen("/dev/null", "w");
  errFile = listF = ttyOut = null;
  atexit([] {
    unlink((dir + "/ozurc").c_str());
    rmdir(dir.c_str());
  });
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
  setUp();
  FILE *f = fopen((dir + "/ozurc").c_str(), "w");
  if (f == nullptr)
    return 0;
  fwrite(data, 1, size, f);
  fclose(f);
  ozu_InitGlobals();
  ozu_ReadRcFile(0);
  ozu_RcReset();
  return 0;
}
