// Pieces of partial transfers as typed after -O and read from -L offset
// files: a piece that is accepted prints back to a text giving the same
// piece, and a file yields no more pieces than it has words.
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "fuzz_support.h"
#include "ozuvars.h"
#include "xfer_offsets.h"

namespace {

std::string field(int64_t v) { return v == -1 ? std::string("cp") : std::to_string(v); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
  static std::string path;
  if (path.empty()) {
    FILE *null = fopen("/dev/null", "w");
    errFile = listF = ttyOut = null;
    const char *tmp = getenv("TMPDIR");
    std::string tmpl = std::string(tmp && *tmp ? tmp : "/tmp") + "/offsets-fuzz-XXXXXX";
    int fd = mkstemp(tmpl.data());
    if (fd < 0)
      return 0;
    close(fd);
    path = tmpl;
    atexit([] { unlink(path.c_str()); });
  }
  std::string text(reinterpret_cast<const char *>(data), size);
  std::string word = text.c_str();
  xfer_offset_t p;
  if (ozu_ParseXferOffsetSpec(word.c_str(), &p) == 0) {
    std::string again = field(p.srcOffset) + ":" + field(p.sinkOffset) + ":" + std::to_string(p.length);
    xfer_offset_t q;
    FUZZ_CHECK(ozu_ParseXferOffsetSpec(again.c_str(), &q) == 0);
    FUZZ_CHECK(q.srcOffset == p.srcOffset && q.sinkOffset == p.sinkOffset && q.length == p.length);
  }
  FILE *f = fopen(path.c_str(), "w");
  if (f == nullptr)
    return 0;
  fwrite(data, 1, size, f);
  fclose(f);
  size_t words = 0;
  bool inWord = false;
  for (size_t i = 0; i < size; ++i) {
    bool blank = data[i] == ' ' || data[i] == '\t' || data[i] == '\n';
    if (!blank && !inWord)
      words++;
    inWord = !blank;
  }
  std::vector<xfer_offset_t> list;
  ozu_ReadXferOffsetFile(path.c_str(), &list);
  // Lines longer than the reader's buffer arrive in parts: a word may be
  // cut in two, never more pieces than that.
  FUZZ_CHECK(list.size() <= words + size / 4095 + 1);
  return 0;
}
