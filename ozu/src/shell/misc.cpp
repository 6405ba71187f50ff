// Status line, template expansion, password files, storage links, message
// of the day and the internal-error notice.
#include "ozu_misc.h"

#include <errno.h>
#include <pwd.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>

#include "ozu_errors.h"
#include "ozu_locks.h"
#include "ozu_log.h"
#include "ozu_paths.h"
#include "ozurc.h"
#include "ozuvars.h"
#include "quor_api.h"

namespace {

int previousSize = 0;

// Appends src to out while room is left; room counts every character.
void appendLimited(std::string &out, const std::string &src, size_t limit)
{
  for (char c : src) {
    if (out.size() >= limit)
      return;
    out += c;
  }
}

}  // namespace

void ozu_ShortHostName(char *buf, int size)
{
  char host[256];
  if (gethostname(host, sizeof host) != 0) {
    snprintf(buf, size_t(size), "%s", "unknown_host");
    return;
  }
  host[sizeof host - 1] = '\0';
  char *dot = strchr(host, '.');
  if (dot)
    *dot = '\0';
  snprintf(buf, size_t(size), "%s", host);
}

void ozu_ConsoleMessage(const char *theMsg)
{
  if (!isatty2 || theMsg == nullptr)
    return;
  ozu_LockListingFile();
  int L = int(strlen(theMsg)) + 2;
  int n = L;
  if (page_width < n)
    n = page_width;
  if (200 < n)
    n = 200;
  char line[202];
  int len;
  if (L < previousSize) {
    len = snprintf(line, sizeof line, "\r%s%*s", theMsg, previousSize - L, "");
    n = previousSize;
  } else {
    len = snprintf(line, sizeof line, "\r%s", theMsg);
  }
  if (len > 200)
    len = 200;
  if (n < 1)
    n = 1;
  while (len < n - 1)
    line[len++] = ' ';
  line[n - 1] = '\r';
  line[n] = '\0';
  fputs(line, stderr);
  fflush(stderr);
  previousSize = L < 200 ? L : 200;
  ozu_UnlockListingFile();
}

char *ozu_ExpandKeytabPath(const char *templatePath, const char *homeDirParam,
                           const char *loginParam)
{
  if (templatePath == nullptr)
    return nullptr;
  struct passwd *pw = getpwuid(geteuid());
  if (pw == nullptr) {
    fprintf(errFile, "*** ozu_ExpandKeytabPath - getpwuid failed");
    return nullptr;
  }
  const size_t limit = 4096;
  std::string out;
  for (const char *p = templatePath; *p && out.size() < limit; ++p) {
    if (*p != '%' || p[1] == '\0') {
      out += *p;
      continue;
    }
    ++p;
    switch (*p) {
      case 'H': appendLimited(out, homeDirParam ? homeDirParam : pw->pw_dir, limit); break;
      case 'U': appendLimited(out, loginParam ? loginParam : pw->pw_name, limit); break;
      case 'N': {
        char host[256];
        ozu_ShortHostName(host, sizeof host);
        appendLimited(out, host, limit);
        break;
      }
      case 'P': appendLimited(out, std::to_string(getpid()), limit); break;
      default:
        appendLimited(out, std::string("%") + *p, limit);
        break;
    }
  }
  char *result = static_cast<char *>(malloc(4101));
  if (result == nullptr) {
    fprintf(errFile, "*** ozu_ExpandKeytabPath - malloc failure\n");
    return nullptr;
  }
  snprintf(result, 4101, "FILE:%s", out.c_str());
  if (debug > 1)
    fprintf(errFile, "ozu_ExpandKeytabPath: returning keytab filename `%s'\n", result);
  return result;
}

char *ozu_ExpandPrincipal(const char *templateName, const char *principalParam)
{
  if (templateName == nullptr)
    return nullptr;
  struct passwd *pw = getpwuid(geteuid());
  if (pw == nullptr) {
    fprintf(errFile, "*** ozu_ExpandPrincipal - getpwuid failed");
    return nullptr;
  }
  const size_t limit = 128;
  std::string out;
  for (const char *p = templateName; *p && out.size() < limit; ++p) {
    if (p[0] == '%' && p[1] == 'U') {
      appendLimited(out, principalParam ? principalParam : pw->pw_name, limit);
      ++p;
    } else {
      out += *p;
    }
  }
  char *result = strdup(out.c_str());
  if (result == nullptr) {
    fprintf(errFile, "*** ozu_ExpandPrincipal - malloc failure\n");
    return nullptr;
  }
  if (debug > 1)
    fprintf(errFile, "ozu_ExpandPrincipal: returning principal: `%s'\n", result);
  return result;
}

int ozu_SetPasswordFromFile(const char *theFile)
{
  if (theFile == nullptr)
    return -1;
  if (debug > 1)
    fprintf(errFile, "/debug/reading pw file %s\n", theFile);
  FILE *f = fopen(theFile, "r");
  if (f == nullptr) {
    fprintf(errFile, "*** Error %d opening password file: %s\n", errno, theFile);
    return -1;
  }
  char line[40];
  int rc = -1;
  if (fgets(line, sizeof line, f) == nullptr) {
    fprintf(errFile, "*** Error %d reading password file: %s\n", errno, theFile);
  } else {
    size_t n = strlen(line);
    while (n > 1 && (line[n - 1] == '\n' || line[n - 1] == '\r' || line[n - 1] == ' ' ||
                     line[n - 1] == '\t'))
      line[--n] = '\0';
    if (n == 1 && (line[0] == '\n' || line[0] == '\r'))
      line[0] = '\0';
    char *p = line;
    while (*p == ' ' || *p == '\t')
      ++p;
    if (*p == '\0') {
      fprintf(errFile, "*** Error: null password in file %s\n", theFile);
    } else {
      quor_SetCombo(nullptr, p);
      rc = 0;
    }
  }
  explicit_bzero(line, sizeof line);
  fclose(f);
  return rc;
}

int ozu_SymlinkToAbsPath(const char *linkPath, char **absPath, quor_Attrs_t *objAttrs)
{
  std::string link = linkPath;
  for (int left = 50; left > 0; --left) {
    char text[1025];
    int rc = ozu_EioRetry([&] { return quor_Readlink(link.c_str(), text, sizeof text); });
    if (rc < 0) {
      setExitResult(72, quor_perror(rc, "quor_Readlink", link.c_str(), nullptr), 7);
      return rc;
    }
    text[rc < int(sizeof text) ? rc : int(sizeof text) - 1] = '\0';
    if (debug)
      fprintf(listF, "/debug/ read symlink contents for %s. Contents= [%s]\n", link.c_str(), text);
    // The link itself may be relative to working directory 0; its text is
    // relative to the link's directory.
    std::string target = makeQUORpath(0, ozu_LinkTarget(makeQUORpath(0, link.c_str()), text).c_str());
    quor_fileattr_t attrs;
    rc = ozu_EioRetry([&] { return quor_FileGetAttributes(target.c_str(), &attrs); });
    if (rc < 0) {
      if (debug)
        fprintf(listF, "/debug/got error %d trying to get attrs for %s\n", rc, target.c_str());
      return rc;
    }
    if (attrs.Attrs.Type != 130) {
      *absPath = strdup(target.c_str());
      if (*absPath == nullptr) {
        ozu_MallocError(long(target.size() + 1), "ozu_SymlinkToAbsPath", __FILE__, __LINE__);
        return -1;
      }
      if (objAttrs)
        *objAttrs = attrs.Attrs;
      return 0;
    }
    if (debug)
      fprintf(listF, "/debug/following symlink chain for %s\n", link.c_str());
    link = target;
  }
  char msg[4200];
  snprintf(msg, sizeof msg, "*** Too many links - could not resolve path: %s", linkPath);
  setExitResult(64, msg, 7);
  return -1;
}

int ozu_PrintMOTD(void)
{
  uint32_t len = 0;
  char *text = nullptr;
  int rc = quorex_GetMotd(0, &len, &text);
  if (rc < 0 || len == 0 || text == nullptr) {
    free(text);
    return 0;
  }
  fwrite(text, 1, len, errFile);
  if (text[len - 1] != '\n')
    fputc('\n', errFile);
  fflush(errFile);
  free(text);
  return 0;
}

void ozu_InternalError(const char *funcName, const char *srcFile, int srcLine)
{
  fprintf(errFile,
          " *** ozu (%s.%s.%s) internal error detected. Function: %s File: %s Line: %d\n",
          OZU_VERSION_MAJOR, OZU_VERSION_MINOR, OZU_VERSION_PATCH, funcName, srcFile, srcLine);
  fflush(errFile);
}
