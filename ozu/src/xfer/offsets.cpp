// Pieces of partial transfers and the offset files that hold them.
#include <ctype.h>
#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <strings.h>

#include <string>

#include "ozu_log.h"
#include "xfer_offsets.h"

namespace {

struct suffix {
  const char *name;
  int shift;
};
const suffix suffixTab[] = {{"k", 10}, {"kb", 10}, {"m", 20}, {"mb", 20}, {"g", 30},
                            {"gb", 30}, {"t", 40}, {"tb", 40}, {"p", 50}, {"pb", 50}};

// One field: 0 with *value, -1 refused. current: "cp" words allowed.
int parseField(const std::string &f, bool current, int64_t *value, bool *set)
{
  *set = false;
  if (f.empty())
    return 0;
  if (strcasecmp(f.c_str(), "cp") == 0 || strcasecmp(f.c_str(), "0cp") == 0) {
    if (!current)
      return -1;
    *value = -1;
    *set = true;
    return 0;
  }
  if (!isdigit(static_cast<unsigned char>(f[0])))
    return -1;
  size_t i = 0;
  uint64_t v = 0;
  for (; i < f.size() && isdigit(static_cast<unsigned char>(f[i])); ++i) {
    if (v > (UINT64_MAX - 9) / 10)
      return -1;
    v = v * 10 + uint64_t(f[i] - '0');
  }
  if (i < f.size()) {
    int shift = -1;
    for (const suffix &s : suffixTab)
      if (strcasecmp(f.c_str() + i, s.name) == 0)
        shift = s.shift;
    if (shift < 0 || (shift > 0 && (v >> (64 - shift)) != 0))
      return -1;
    v <<= shift;
  }
  *value = int64_t(v);
  *set = true;
  return 0;
}

}  // namespace

int ozu_ParseXferOffsetSpec(const char *text, xfer_offset_t *piece)
{
  xfer_offset_t p = {-1, -1, 0};
  std::string s = text ? text : "";
  std::vector<std::string> fields;
  size_t start = 0;
  for (;;) {
    size_t c = s.find(':', start);
    fields.push_back(s.substr(start, c == std::string::npos ? std::string::npos : c - start));
    if (c == std::string::npos)
      break;
    start = c + 1;
  }
  for (size_t i = 3; i < fields.size(); ++i)
    if (!fields[i].empty())
      return -1;
  int64_t v;
  bool set;
  if (parseField(fields[0], true, &v, &set) < 0)
    return -1;
  if (set)
    p.srcOffset = v;
  if (fields.size() > 1) {
    if (parseField(fields[1], true, &v, &set) < 0)
      return -1;
    if (set)
      p.sinkOffset = v;
  }
  if (fields.size() > 2) {
    if (parseField(fields[2], false, &v, &set) < 0)
      return -1;
    if (set)
      p.length = uint64_t(v);
  }
  *piece = p;
  return 0;
}

int ozu_ReadXferOffsetFile(const char *path, std::vector<xfer_offset_t> *list)
{
  FILE *f = fopen(path, "r");
  if (f == nullptr) {
    int e = errno;
    perror("fopen");
    char msg[4200];
    snprintf(msg, sizeof msg, "*** Error %d opening offset file: %s\n", e, path);
    setExitResult(72, msg, 7);
    return -1;
  }
  char line[4096];
  int lineNo = 0, result = 0;
  while (result == 0 && fgets(line, sizeof line, f) != nullptr) {
    lineNo++;
    size_t n = strlen(line);
    if (n > 0 && line[n - 1] == '\n')
      line[n - 1] = '\0';
    char *save = nullptr;
    for (char *w = strtok_r(line, " \t", &save); w != nullptr; w = strtok_r(nullptr, " \t", &save)) {
      xfer_offset_t p;
      if (ozu_ParseXferOffsetSpec(w, &p) < 0) {
        char msg[4200];
        snprintf(msg, sizeof msg, "*** Bad offset entry starting with \"%4.4s\" on line %d of offset file %s", w,
                 lineNo, path);
        setExitResult(64, msg, 7);
        result = -1;
        break;
      }
      list->push_back(p);
    }
  }
  fclose(f);
  return result;
}
