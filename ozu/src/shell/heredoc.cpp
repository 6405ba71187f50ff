// Here-document name lists.
#include "ozu_heredoc.h"

#include <stdlib.h>
#include <string.h>

#include <string>

#include "ozu_cmdread.h"
#include "ozu_log.h"
#include "ozu_misc.h"

char **ozu_GetHDTokenList(const char *marker, int *tokenCount)
{
  ozu_ConsoleMessage("");
  *tokenCount = 0;
  char *line = static_cast<char *>(malloc(3073));
  if (line == nullptr) {
    ozu_MallocError(3073, "ozu_GetHDTokenList", __FILE__, __LINE__);
    return nullptr;
  }
  char **names = nullptr;
  int count = 0;
  for (;;) {
    int eof = 0;
    int got = ozu_GetCommandLine("FILENAMES: ", line, 3073, &eof);
    if (eof)
      break;
    if (got < 0)
      continue;  // refused as too long

    const char *p = line;
    while (*p == ' ' || *p == '\t')
      ++p;
    if (*p == '#')
      continue;
    if (strcmp(p, marker) == 0)
      break;
    while (*p) {
      std::string name;
      char quote = 0;
      if (*p == '"' || *p == '\'')
        quote = *p++;
      while (*p) {
        if (*p == '\\' && p[1]) {
          name += p[1];
          p += 2;
          continue;
        }
        if (quote ? *p == quote : (*p == ' ' || *p == '\t'))
          break;
        name += *p++;
      }
      if (quote && *p == quote)
        ++p;
      char *copy = strdup(name.c_str());
      if (copy == nullptr) {
        ozu_MallocError(long(name.size() + 1), "ozu_GetHDTokenList", __FILE__, __LINE__);
        break;
      }
      char **grown = static_cast<char **>(realloc(names, sizeof(char *) * size_t(count + 1)));
      if (grown == nullptr) {
        free(copy);
        ozu_MallocError(long(sizeof(char *) * size_t(count + 1)), "ozu_GetHDTokenList", __FILE__,
                        __LINE__);
        break;
      }
      names = grown;
      names[count++] = copy;
      while (*p == ' ' || *p == '\t')
        ++p;
    }
  }
  *tokenCount = count;
  free(line);
  ozu_ConsoleMessage("");
  return names;
}
