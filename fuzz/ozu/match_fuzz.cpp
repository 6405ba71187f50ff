// The wildcard matcher on a name (as a gateway or a local directory lists
// it) and a pattern: the input is the name, a NUL, then the pattern. The
// descent hook checks it gets the whole name and less than the pattern;
// the match of a name against itself with no special characters must hold.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "ozu_match.h"

namespace {

std::string pattern;
std::string name;

void descent(const char *entryName, const char *rest)
{
  if (name != entryName || strlen(rest) >= pattern.size())
    abort();
}

void quiet(const char *, int) {}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
  ozu_matchDescent = descent;
  ozu_matchError = quiet;
  std::string in(reinterpret_cast<const char *>(data), size);
  size_t nul = in.find('\0');
  if (nul == std::string::npos)
    return 0;
  name = in.substr(0, nul);
  pattern = in.substr(nul + 1);
  pattern = pattern.substr(0, pattern.find('\0'));
  int r = match(name.c_str(), pattern.c_str());
  if (r != 0 && r != 1)
    abort();
  if (name != "." && name != ".." && name.find_first_of("*?[]{},\\/") == std::string::npos &&
      match(name.c_str(), name.c_str()) != 1)
    abort();
  return 0;
}
