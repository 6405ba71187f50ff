// Command lines as typed or read from a pipe or an in-file: the word
// splitter, keyword options, the option/object parser and set lines.
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "ozu_context.h"
#include "ozu_dispatch.h"
#include "ozu_getopt.h"
#include "ozu_tokens.h"
#include "ozuvars.h"

namespace {

int accept(char *, char *) { return 0; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
  static Keyset k;
  static bool ready = false;
  if (!ready) {
    FILE *null = fopen("/dev/null", "w");
    errFile = listF = ttyOut = null;
    k.fs_char = ':';
    keyset = &k;
    ready = true;
  }
  std::string text(reinterpret_cast<const char *>(data), size);
  text = text.c_str();  // a line holds no NUL
  std::string copy = text;
  int argc = 0;
  char **argv = ozu_MakeArgv(copy.data(), &argc);
  for (int i = 0; i < argc;) {
    int next = i;
    int rc = ozu_ParseKeyword(argc, argv, i, accept, &next);
    i = rc == 1 || next <= i ? i + 1 : next;
  }
  ozu_GetoptReset();
  ozu_optind = 0;
  static const char *const kw[] = {"ic", "name:", nullptr};
  for (int n = 0; n < 64; ++n) {
    int c = ozu_Getopt(argc, argv, "ab:c", kw);
    if (c == -1 && ozu_opterr == 0)
      break;
  }
  ozu_FreeArgv(argv);
  copy = text;
  char **opts = nullptr, **objs = nullptr;
  if (ozuparse(copy.data(), &opts, &objs) == 0) {
    ozuFreeStringList(opts);
    ozuFreeStringList(objs);
  }
  isSetCmd(text.c_str());
  return 0;
}
