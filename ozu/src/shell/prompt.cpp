// The prompt template and the yes/no question.
#include "ozu_prompt.h"

#include <ctype.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <string>

#include "ozu_context.h"
#include "ozu_log.h"
#include "ozurc.h"
#include "ozuvars.h"
#include "quor_api.h"

namespace {

char *promptBuf = nullptr;
int promptBufSize = 0;

void copyPromptParm(char **curPtr, char *stringEnd, const char *srcString)
{
  char *p = *curPtr;
  while (p < stringEnd && *srcString)
    *p++ = *srcString++;
  *p = '\0';
  *curPtr = p;
}

// The last n components of a path ("/" stays "/").
std::string lastComponents(const std::string &path, int n)
{
  if (n < 1)
    n = 1;
  if (path == "/")
    return path;
  size_t pos = path.size();
  for (int i = 0; i < n; ++i) {
    size_t slash = pos == 0 ? std::string::npos : path.rfind('/', pos - 1);
    if (slash == std::string::npos)
      return path;
    pos = slash;
  }
  return path.substr(pos + 1);
}

std::string shortened(const std::string &path, int n, int room)
{
  if (n < 1)
    n = 1;
  if (int(path.size()) <= room)
    return path;
  size_t last = path.rfind('/');
  if (last == std::string::npos || last == 0)
    return path;
  std::string tail = path.substr(last);
  if (int(tail.size()) + 3 >= room)
    return "..." + tail;
  size_t firstEnd = path.find('/', 1);
  std::string first = path.substr(0, firstEnd);
  std::string out = first;
  room -= int(first.size());
  if (room > 2) {
    out += "...";
    room -= 3;
  }
  room -= int(tail.size()) + 1;
  size_t pos = last;
  for (int k = 1; k < n; ++k) {
    size_t i = pos;
    bool added = false;
    while (i > firstEnd) {
      --i;
      --room;
      if (room < 0)
        break;
      if (path[i] == '/') {
        tail = path.substr(i, pos - i) + tail;
        pos = i;
        added = true;
        break;
      }
    }
    if (!added)
      break;
  }
  return out + tail;
}

}  // namespace

const char *ozu_FormatPrompt(const char *promptString)
{
  static char fixed[] = "? ";
  int len = globalDefs.promptLen > 0 ? globalDefs.promptLen : 1024;
  if (promptBuf == nullptr || len > promptBufSize) {
    if (debug > 0)
      fprintf(listF, "/debug/allocating prompt string: %d chars\n", len + 1);
    char *grown = static_cast<char *>(realloc(promptBuf, size_t(len) + 1));
    if (grown == nullptr) {
      ozu_MallocError(len + 1, "ozu_FormatPrompt", __FILE__, __LINE__);
      return promptBuf ? promptBuf : fixed;
    }
    promptBuf = grown;
    promptBufSize = len;
  }
  char *cur = promptBuf;
  char *end = promptBuf + len;
  *cur = '\0';
  const ozu_context_t *c = sesskeyset.curContext;
  const char *t = promptString ? promptString : "";
  while (*t && cur < end) {
    if (*t != '%') {
      *cur++ = *t++;
      *cur = '\0';
      continue;
    }
    if (t[1] == '\0') {
      copyPromptParm(&cur, end, "%");
      ++t;
      continue;
    }
    char e = t[1];
    t += 2;
    char buf[64];
    time_t now = time(nullptr);
    struct tm tmv;
    localtime_r(&now, &tmv);
    switch (e) {
      case 'D':
        snprintf(buf, sizeof buf, "%4.4d/%2.2d/%2.2d", tmv.tm_year + 1900, tmv.tm_mon + 1,
                 tmv.tm_mday);
        copyPromptParm(&cur, end, buf);
        break;
      case 'T':
        snprintf(buf, sizeof buf, "%2.2d:%2.2d:%2.2d", tmv.tm_hour, tmv.tm_min, tmv.tm_sec);
        copyPromptParm(&cur, end, buf);
        break;
      case 'H':
      case 'h': {
        if (c == nullptr || c->quor_name == nullptr) {
          copyPromptParm(&cur, end, "[unknownhost]");
          break;
        }
        std::string h = c->quor_name;
        if (e == 'H' && h.find('.') != std::string::npos)
          h.erase(h.find('.'));
        copyPromptParm(&cur, end, h.c_str());
        break;
      }
      case 'I': {
        char *addr = nullptr;
        if (c && quorex_GetConnectionInfo(c->handle, nullptr, &addr, nullptr, nullptr, nullptr,
                                          nullptr, nullptr) == 0 && addr)
          copyPromptParm(&cur, end, addr);
        free(addr);
        break;
      }
      case 'L':
        copyPromptParm(&cur, end, c && c->curLogin.principal ? c->curLogin.principal : "");
        break;
      case 'N':
        snprintf(buf, sizeof buf, "%d", c ? c->commandCount : 0);
        copyPromptParm(&cur, end, buf);
        break;
      case 'c':
        snprintf(buf, sizeof buf, "%d", c ? c->handle : 0);
        copyPromptParm(&cur, end, buf);
        break;
      case 'd':
        snprintf(buf, sizeof buf, "%c:", c && c->driveLetter ? c->driveLetter : ' ');
        copyPromptParm(&cur, end, buf);
        break;
      case 's':
        copyPromptParm(&cur, end,
                       c && c->siteEntry && c->siteEntry->siteName ? c->siteEntry->siteName : "");
        break;
      case 'W':
      case 'w': {
        int n = e == 'W' ? 0 : 1;
        bool given = false;
        if (isdigit(static_cast<unsigned char>(*t))) {
          n = *t++ - '0';
          given = true;
        }
        std::string wd = c && c->wd[0] ? c->wd[0] : "";
        if (e == 'W') {
          copyPromptParm(&cur, end, given ? lastComponents(wd, n).c_str() : wd.c_str());
        } else {
          int room = globalDefs.promptDirLen;
          if (int(end - cur) < room)
            room = int(end - cur);
          copyPromptParm(&cur, end, shortened(wd, n, room).c_str());
        }
        break;
      }
      default: {
        char two[3] = {'%', e, 0};
        copyPromptParm(&cur, end, two);
        break;
      }
    }
  }
  *cur = '\0';
  return promptBuf;
}

int ozu_GetYesNo(const char *prompt, const char *object)
{
  static int inputIsTty = -1;
  if (inputIsTty < 0)
    inputIsTty = ttyIn != nullptr && isatty(fileno(ttyIn)) ? 1 : 0;
  if (!inputIsTty)
    return -1;
  if (!promptFlag)
    return 0;
  char line[8192];
  for (;;) {
    fprintf(ttyOut, "%s '%s'? ([Y]es,[N]o,[A]ll,[Q]uit) ", prompt, object);
    fflush(ttyOut);
    if (fgets(line, sizeof line, ttyIn) == nullptr)
      return -1;
    switch (toupper(static_cast<unsigned char>(line[0]))) {
      case 'Y': return 0;
      case 'A': return 1;
      case 'N': return 2;
      case 'Q': return 3;
      default: break;
    }
  }
}
