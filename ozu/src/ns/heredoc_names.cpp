// Here-document names of the namespace commands.
#include <stdlib.h>
#include <string.h>

#include "ns_heredoc.h"
#include "ozu_cmdframe.h"
#include "ozu_heredoc.h"
#include "ozu_log.h"
#include "ozuvars.h"

int ns_HereDocNames(ozu_cmd_t *cmd, std::vector<std::string> *store)
{
  std::vector<char *> &names = cmd->names;
  size_t at = 0;
  while (at < names.size() && strncmp(names[at], "<<", 2) != 0)
    ++at;
  if (at == names.size())
    return 0;
  std::string marker = names[at] + 2;
  size_t markerWord = at;
  if (marker.empty()) {
    if (at + 1 >= names.size()) {
      setExitResult(64, "*** Missing marker string after here-document sentinel (<<)", 6);
      return -1;
    }
    marker = names[++markerWord];
  }
  if (markerWord + 1 != names.size()) {
    setExitResult(64, "*** here-document marker must be the last token on the cmd line", 6);
    return -1;
  }
  int count = 0;
  char **read = ozu_GetHDTokenList(marker.c_str(), &count);
  if (interrupted) {
    for (int i = 0; read && i < count; ++i)
      free(read[i]);
    free(read);
    return -1;
  }
  store->clear();
  for (int i = 0; read && i < count; ++i) {
    store->push_back(read[i]);
    free(read[i]);
  }
  free(read);
  names.resize(at);
  for (std::string &s : *store)
    names.push_back(s.data());
  return 0;
}
