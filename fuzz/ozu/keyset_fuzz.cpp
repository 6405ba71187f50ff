// The keyset file reader on arbitrary file contents: the magic line check
// and every line through the line parser, as show and adopt read them.
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "fuzz_support.h"
#include "ozu_keysetfile.h"
#include "ozuvars.h"

namespace {

std::string dir;

void setUp()
{
  if (!dir.empty())
    return;
  // Under $TMPDIR, removed with what is in it when the run ends.
  dir = fuzz_workdir();
  mkdir((dir + "/" OZU_KEYSET_DIR).c_str(), 0700);
  localHomeDir = strdup(dir.c_str());
  FILE *null = fopen("/dev/null", "w");
  errFile = listF = ttyOut = null;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
  setUp();
  FILE *f = fopen((dir + "/" OZU_KEYSET_DIR "/k").c_str(), "w");
  if (f == nullptr)
    return 0;
  fwrite(data, 1, size, f);
  fclose(f);
  ozu_kstream_t *k = openKeysetFile("k");
  if (k != nullptr) {
    listKeysetFile(k);
    ozu_ksClose(k);
  }
  // Every piece the reader would hand out, parsed in place.
  std::string text(reinterpret_cast<const char *>(data), size);
  for (size_t at = 0; at < text.size();) {
    size_t nl = text.find('\n', at);
    size_t len = (nl == std::string::npos ? text.size() : nl + 1) - at;
    if (len > OZU_KEYSET_LINE - 1)
      len = OZU_KEYSET_LINE - 1;
    std::string line = text.substr(at, len);
    char *kw = nullptr, *val = nullptr;
    if (parseKeysetLine(line.data(), &kw, &val) == 0 && (strlen(kw) > len || strlen(val) > len))
      abort();
    at += len;
  }
  return 0;
}
