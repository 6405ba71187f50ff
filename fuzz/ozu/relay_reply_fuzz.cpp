// One relayed-command reply as the gateway sends it: flags, sync type and
// text, handed to ozu's reply handler (listing, error, status and working-
// directory lines).
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "ozu_context.h"
#include "ozu_dispatch.h"
#include "ozuvars.h"

namespace {

ozu_context_t ctx;

void setUp()
{
  static bool done = false;
  if (done)
    return;
  done = true;
  FILE *null = fopen("/dev/null", "w");
  errFile = listF = ttyOut = null;
  ctx.handle = 1;
  ctx.wd[0] = strdup("/home/u");
  ctx.relflag[0] = 1;
  sesskeyset.curContext = &ctx;
  keyset = &sesskeyset;
  quietFlag = 1;  // no terminal status lines
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
  setUp();
  if (size < 8)
    return 0;
  uint32_t flags, sync;
  memcpy(&flags, data, 4);
  memcpy(&sync, data + 4, 4);
  int32_t len = int32_t(size - 8);
  // The library hands over exactly len bytes, without a terminator.
  char *text = len > 0 ? static_cast<char *>(malloc(size_t(len))) : nullptr;
  if (len > 0)
    memcpy(text, data + 8, size_t(len));
  ozu_OzugwdRespHandler(&flags, &sync, &len, &text);
  return 0;
}
