// The rc files: search, logical lines, sections, the global keys and the
// checks after both files are read.
#include <ctype.h>
#include <errno.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "ozu_drive.h"
#include "ozu_log.h"
#include "ozu_misc.h"
#include "ozu_util.h"
#include "ozurc.h"
#include "ozurc_internal.h"
#include "ozuvars.h"
#include "quor_api.h"
#include "quor_convert.h"

const char *ozurcPath = "";
int rcLineNumber = 0;

namespace {

enum GLOBAL_OPTS {
  GOPT_AUTO_BACKUP = 1, GOPT_AUTHMETHOD, GOPT_AUTOSCHEDULE, GOPT_COLUMNS, GOPT_CKSUM_ENABLED,
  GOPT_CKSUM_TYPE, GOPT_COPIES, GOPT_COS, GOPT_DCREATE_MODE, GOPT_DISABLE_GETS,
  GOPT_DISABLE_GETS_MSG, GOPT_DISABLE_PUTS, GOPT_DISABLE_PUTS_MSG, GOPT_DRIVE,
  GOPT_ENABLE_EXPIRATION, GOPT_EXPIRE_CFG_PATH, GOPT_ENABLE_LFMIO, GOPT_ENABLE_SAN3P,
  GOPT_ENABLE_SHMEM, GOPT_ENABLE_TAIO, GOPT_ENABLE_LOCAL_TAIO, GOPT_FAMILYID, GOPT_FIREWALL,
  GOPT_FCREATE_MODE, GOPT_HELPFILE, GOPT_QUORCONF_PATH, GOPT_KEYTAB, GOPT_LINES,
  GOPT_MAX_READDIR, GOPT_MAX_SMALLFILE_SIZE, GOPT_MAX_XFER_THREADS, GOPT_NOLOGIN_PATH,
  GOPT_PROMPT_LEN, GOPT_PROMPT_DIRLEN, GOPT_PS1, GOPT_PS2, GOPT_PRINCIPAL, GOPT_PWFILE,
  GOPT_SITE, GOPT_THREAD_SSIZE, GOPT_UMASK,
};

const ozurc_option global_options[] = {
    {"autobackup", 1, GOPT_AUTO_BACKUP, 15},
    {"authmethod", 1, GOPT_AUTHMETHOD, 12},
    {"autoschedule", 1, GOPT_AUTOSCHEDULE, 15},
    {"cksum_enabled", 1, GOPT_CKSUM_ENABLED, 15},
    {"cksum_type", 1, GOPT_CKSUM_TYPE, 15},
    {"columns", 1, GOPT_COLUMNS, 15},
    {"copies", 1, GOPT_COPIES, 15},
    {"cos", 1, GOPT_COS, 15},
    {"disable_gets", 1, GOPT_DISABLE_GETS, 12},
    {"disable_puts", 1, GOPT_DISABLE_PUTS, 12},
    {"dcreate_mode", 1, GOPT_DCREATE_MODE, 15},
    {"drive", 1, GOPT_DRIVE, 12},
    {"enable_expiration", 1, GOPT_ENABLE_EXPIRATION, 5},
    {"expire_cfg_path", 1, GOPT_EXPIRE_CFG_PATH, 5},
    {"enable_san3p", 1, GOPT_ENABLE_SAN3P, 15},
    {"enable_ta_io", 1, GOPT_ENABLE_TAIO, 15},
    {"enable_local_ta_io", 1, GOPT_ENABLE_LOCAL_TAIO, 15},
    {"enable_lfm_io", 1, GOPT_ENABLE_LFMIO, 15},
    {"enable_sharedmem", 1, GOPT_ENABLE_SHMEM, 15},
    {"family_id", 1, GOPT_FAMILYID, 15},
    {"fcreate_mode", 1, GOPT_FCREATE_MODE, 15},
    {"firewall", 1, GOPT_FIREWALL, 15},
    {"helpfile", 1, GOPT_HELPFILE, 15},
    {"quorconf_path", 1, GOPT_QUORCONF_PATH, 4},
    {"keytab", 1, GOPT_KEYTAB, 12},
    {"lines", 1, GOPT_LINES, 15},
    {"max_readdir", 1, GOPT_MAX_READDIR, 15},
    {"max_smallfile_size", 1, GOPT_MAX_SMALLFILE_SIZE, 15},
    {"max_xfer_threads", 1, GOPT_MAX_XFER_THREADS, 15},
    {"nologin_path", 1, GOPT_NOLOGIN_PATH, 5},
    {"promptlen", 1, GOPT_PROMPT_LEN, 15},
    {"promptdirlen", 1, GOPT_PROMPT_DIRLEN, 15},
    {"PS1", 1, GOPT_PS1, 15},
    {"PS2", 1, GOPT_PS2, 15},
    {"principal", 1, GOPT_PRINCIPAL, 15},
    {"pwfile", 1, GOPT_PWFILE, 15},
    {"read_disable_msg", 1, GOPT_DISABLE_GETS_MSG, 12},
    {"site", 1, GOPT_SITE, 12},
    {"thread_ssize", 1, GOPT_THREAD_SSIZE, 15},
    {"umask", 1, GOPT_UMASK, 15},
    {"write_disable_msg", 1, GOPT_DISABLE_PUTS_MSG, 12},
    {nullptr, 0, 0, 0},
};

const char *fileKind(int resident) { return resident ? "QUOR-resident" : "local"; }

void illegalValue(const char *value, const char *key)
{
  fprintf(errFile, "warning: illegal value '%s' for '%s' in ozurc file %s\n", value, key,
          ozurcPath);
}

// "on" 1, "off" 0, else -1 after the illegal-value warning.
int onOff(const char *value, const char *key)
{
  if (strcmp(value, "on") == 0)
    return 1;
  if (strcmp(value, "off") == 0)
    return 0;
  illegalValue(value, key);
  return -1;
}

void setFlag(int *field, const char *value, const char *key)
{
  int v = onOff(value, key);
  if (v >= 0)
    *field = v;
}

void replaceText(char **field, const char *value, const char *fn)
{
  char *copy = strdup(value);
  if (copy == nullptr)
    fprintf(errFile, "*** %s: strdup error on '%s' (%s, line %d)\n", fn, value, __FILE__,
            __LINE__);
  free(*field);
  *field = copy;
}

void badWarning(int resident, const char *what, const char *value)
{
  fprintf(errFile, "*** Warning: in %s file `%s' - bad %s parameter `%s'\n", fileKind(resident),
          ozurcPath, what, value);
}

uint32_t locationBit(int resident, int isHomeDir)
{
  if (resident)
    return isHomeDir ? RC_QUOR_PRIVATE : RC_QUOR_GLOBAL;
  return isHomeDir ? RC_LOCAL_PRIVATE : RC_LOCAL_GLOBAL;
}

struct rcReader {
  FILE *f = nullptr;
  bool eof = false;
};

// The next logical line (at most bufSize - 1 characters): 1, or -1 at the
// end of the file with nothing collected.
int readRCLine(rcReader &r, char *out, int bufSize, int *eofFlag)
{
  std::string logical;
  bool collected = false, continuing = false;
  const size_t cap = size_t(bufSize - 1);
  char phys[8192];
  for (;;) {
    if (r.eof || fgets(phys, sizeof phys, r.f) == nullptr) {
      r.eof = true;
      *eofFlag = 1;
      break;
    }
    ++rcLineNumber;
    size_t n = strlen(phys);
    while (n > 0 && (phys[n - 1] == '\n' || phys[n - 1] == '\r'))
      phys[--n] = '\0';
    char *p = phys;
    while (*p == ' ' || *p == '\t')
      ++p;
    if (*p == '\0' || *p == '#') {
      if (continuing)
        break;
      continue;
    }
    size_t len = strlen(p);
    bool cont = p[len - 1] == '\\';
    if (cont) {
      p[--len] = '\0';
      size_t end = len;
      while (end > 0 && (p[end - 1] == ' ' || p[end - 1] == '\t'))
        --end;
      if (end < len) {
        if (end > 0 && p[end - 1] == ',')
          p[end] = '\0';
        else {
          p[end] = ' ';
          p[end + 1] = '\0';
        }
      }
    }
    collected = true;
    for (char *c = p; *c && logical.size() < cap; ++c)
      logical += *c;
    if (!cont)
      break;
    continuing = true;
  }
  if (!collected)
    return -1;
  snprintf(out, size_t(bufSize), "%s", logical.c_str());
  return 1;
}

void freeNameList(int count, char **names)
{
  for (int i = 0; i < count; ++i)
    free(names[i]);
  free(names);
}

int getStanzaNames(int resident, const char *header, int *count, char ***names)
{
  *count = 0;
  *names = nullptr;
  std::vector<std::string> parts;
  std::string cur;
  for (const char *p = header;; ++p) {
    if (*p == ',' || *p == '\0') {
      if (!cur.empty())
        parts.push_back(cur);
      cur.clear();
      if (*p == '\0')
        break;
    } else {
      cur += *p;
    }
  }
  if (parts.size() >= 2) {
    for (const std::string &s : parts) {
      if (strcasecmp(s.c_str(), "global") == 0) {
        fprintf(stderr, "*** %s: error in %s file %s, line %d\n", "getStanzaNames",
                fileKind(resident), ozurcPath, rcLineNumber);
        fprintf(stderr, " <global> stanza line may not contain alias stanza names\n");
        return -22;
      }
    }
  }
  if (parts.empty())
    return 0;
  char **list = static_cast<char **>(calloc(parts.size(), sizeof(char *)));
  if (list == nullptr) {
    ozu_MallocError(long(parts.size() * sizeof(char *)), "getStanzaNames", __FILE__, __LINE__);
    return -12;
  }
  for (size_t i = 0; i < parts.size(); ++i) {
    list[i] = strdup(parts[i].c_str());
    if (list[i] == nullptr) {
      freeNameList(int(i), list);
      ozu_MallocError(long(parts[i].size() + 1), "getStanzaNames", __FILE__, __LINE__);
      return -12;
    }
  }
  *count = int(parts.size());
  *names = list;
  return 0;
}

int checkStanzaNames(int resident, int count, char **names)
{
  int clashes = 0;
  for (site_connection_t *s = siteList; s; s = s->next) {
    if (s->aliasCount > 0 && strcasecmp(s->aliasNames[0], names[0]) == 0)
      continue;
    for (int a = 1; a < count; ++a) {
      for (int k = 0; k < s->aliasCount; ++k) {
        if (strcasecmp(names[a], s->aliasNames[k]) != 0)
          continue;
        fprintf(stderr,
                "*** %s: alias stanza name '%s' at line %d of %s file %s\n was already "
                "specified for primary stanza '%s'\n",
                "checkStanzaNames", names[a], rcLineNumber, fileKind(resident), ozurcPath,
                s->aliasNames[0]);
        ++clashes;
      }
    }
  }
  return clashes ? -22 : 0;
}

int mergeStanzaAliases(int, site_connection_t *site, int count, char **names)
{
  for (int a = 1; a < count; ++a) {
    bool known = false;
    for (int k = 0; k < site->aliasCount && !known; ++k)
      known = strcasecmp(site->aliasNames[k], names[a]) == 0;
    if (known) {
      free(names[a]);
      names[a] = nullptr;
      continue;
    }
    // siteName points into the array: keep its index across the move.
    int cur = 0;
    for (int k = 0; k < site->aliasCount; ++k)
      if (site->aliasNames[k] == site->siteName)
        cur = k;
    char **grown = static_cast<char **>(
        realloc(site->aliasNames, sizeof(char *) * size_t(site->aliasCount + 1)));
    if (grown == nullptr) {
      ozu_MallocError(long(sizeof(char *) * size_t(site->aliasCount + 1)), "mergeStanzaAliases",
                      __FILE__, __LINE__);
      for (int r = a; r < count; ++r)
        free(names[r]);
      free(names[0]);
      free(names);
      return -12;
    }
    site->aliasNames = grown;
    site->siteName = grown[cur];
    grown[site->aliasCount++] = names[a];
    names[a] = nullptr;
  }
  free(names[0]);
  free(names);
  return 0;
}

site_connection_t *newStanza(int count, char **names, const char *line)
{
  auto *s = static_cast<site_connection_t *>(calloc(1, sizeof(site_connection_t)));
  if (s == nullptr) {
    fprintf(errFile, "*** Fatal error allocating space for site connection entry: %s\n", line);
    return nullptr;
  }
  s->aliasNames = names;
  s->aliasCount = count;
  s->siteName = names[0];
  s->startupCOS = -1;
  s->hostSelectInx = -1;
  s->firewallMode = globalDefs.firewallMode;
  s->cksumEnabled = globalDefs.cksumEnabled;
  s->cksumHashType = globalDefs.cksumHashType;
  if (globalDefs.defaultAuthMethodCount > 0) {
    s->defaultAuthMethod =
        static_cast<int *>(malloc(sizeof(int) * size_t(globalDefs.defaultAuthMethodCount)));
    if (s->defaultAuthMethod == nullptr) {
      fprintf(errFile, "*** ozu: malloc error (%s, line %d)\n", __FILE__, __LINE__);
      free(s);
      return nullptr;
    }
    memcpy(s->defaultAuthMethod, globalDefs.defaultAuthMethod,
           sizeof(int) * size_t(globalDefs.defaultAuthMethodCount));
    s->defaultAuthMethodCount = globalDefs.defaultAuthMethodCount;
  }
  site_connection_t **tail = &siteList;
  while (*tail)
    tail = &(*tail)->next;
  *tail = s;
  return s;
}

int globalRcOption(const ozurc_option *opt, const char *value, int resident, int isHomeDir)
{
  if (!(opt->locations & locationBit(resident, isHomeDir)))
    return -1;
  const char *key = opt->option;
  switch (opt->enumVal) {
    case GOPT_AUTO_BACKUP: setFlag(&globalDefs.enableAutoBackup, value, key); break;
    case GOPT_AUTOSCHEDULE: setFlag(&globalDefs.enableAutoScheduling, value, key); break;
    case GOPT_CKSUM_ENABLED: setFlag(&globalDefs.cksumEnabled, value, key); break;
    case GOPT_DISABLE_GETS: setFlag(&globalDefs.disableReads, value, key); break;
    case GOPT_DISABLE_PUTS: setFlag(&globalDefs.disableWrites, value, key); break;
    case GOPT_ENABLE_EXPIRATION: setFlag(&globalDefs.enableFileExpiration, value, key); break;
    case GOPT_ENABLE_SAN3P: setFlag(&globalDefs.enableSanIo, value, key); break;
    case GOPT_ENABLE_LFMIO: setFlag(&globalDefs.enableLfmIo, value, key); break;
    case GOPT_ENABLE_SHMEM: setFlag(&globalDefs.enableSharedMem, value, key); break;
    case GOPT_FIREWALL: setFlag(&globalDefs.firewallMode, value, key); break;
    case GOPT_ENABLE_TAIO:
    case GOPT_ENABLE_LOCAL_TAIO: {
      int v = onOff(value, key);
      if (v == 1 && isHomeDir)
        fprintf(errFile, "Warning: OZU was built without Transfer Agent support. (%s,line %d)\n",
                ozurcPath, rcLineNumber);
      break;
    }
    case GOPT_AUTHMETHOD: {
      int count = 0;
      int *list = nullptr;
      if (parseAuthMethodList(value, &count, &list) != 0) {
        fprintf(errFile, "*** ozu: missing or unknown authentication method [%s] in %s file %s\n",
                value, fileKind(resident), ozurcPath);
        break;
      }
      free(globalDefs.defaultAuthMethod);
      globalDefs.defaultAuthMethod = list;
      globalDefs.defaultAuthMethodCount = count;
      break;
    }
    case GOPT_CKSUM_TYPE: {
      int t = ozu_ConvertCksumType(value);
      if (t < 0)
        illegalValue(value, key);
      else
        globalDefs.cksumHashType = t;
      break;
    }
    case GOPT_COLUMNS: {
      long v = strtol(value, nullptr, 10);
      page_width = v < 50 ? 50 : (v > INT_MAX ? INT_MAX : int(v));
      break;
    }
    case GOPT_COPIES: {
      long v = strtol(value, nullptr, 10);
      if (v < 0 || v > 4) {
        badWarning(resident, "<copies>", value);
        fprintf(errFile, "         Legal values are 1 <= copies <= 4\n");
        break;
      }
      globalDefs.defaultCopies = int(v);
      if (debug >= 1)
        fprintf(listF, "default number of copies set to %d\n", int(v));
      break;
    }
    case GOPT_COS: {
      if (strcasecmp(value, "auto") == 0) {
        globalDefs.startupCOS = 0;
        if (debug >= 1)
          fprintf(listF, "default COS set to 0 (auto)\n");
        break;
      }
      long v = strtol(value, nullptr, 10);
      if (isalpha(static_cast<unsigned char>(value[0])) || v < 0 || v > INT_MAX) {
        badWarning(resident, "<cos>", value);
        break;
      }
      globalDefs.startupCOS = int(v);
      if (debug >= 1)
        fprintf(listF, "default COS set to %d\n", int(v));
      break;
    }
    case GOPT_DCREATE_MODE: {
      int m = atooctal(value);
      if (m < 0 || m > 01777) {
        badWarning(resident, "octal <dcreate_mode>", value);
        fprintf(errFile, "         Legal values are <= 01777 \n");
        break;
      }
      globalDefs.dir_create_mode = m;
      break;
    }
    case GOPT_FCREATE_MODE: {
      int m = atooctal(value);
      if (m < 0 || m > 0777) {
        badWarning(resident, "octal <fcreate_mode>", value);
        fprintf(errFile, "         Legal values are <= 0777\n");
        break;
      }
      globalDefs.file_create_mode = m;
      break;
    }
    case GOPT_UMASK: {
      int m = atooctal(value);
      if (m < 0 || m > 0777) {
        badWarning(resident, "octal <umask>", value);
        fprintf(errFile, "         Legal values are <= 0777\n");
        break;
      }
      globalDefs.umask = m;
      break;
    }
    case GOPT_DRIVE: {
      int d = ozu_GetDriveLetter(value);
      if (d == 0)
        illegalValue(value, key);
      else
        globalDefs.defaultDrive = char(d);
      break;
    }
    case GOPT_FAMILYID: {
      long v = strtol(value, nullptr, 10);
      if (v < 0 || v > INT_MAX)
        illegalValue(value, key);
      else
        globalDefs.defaultFamilyID = int(v);
      break;
    }
    case GOPT_EXPIRE_CFG_PATH: replaceText(&globalDefs.expireCfgFile, value, "globalRcOption"); break;
    case GOPT_HELPFILE: replaceText(&globalDefs.helpFile, value, "globalRcOption"); break;
    case GOPT_QUORCONF_PATH: replaceText(&globalDefs.quorConfPath, value, "globalRcOption"); break;
    case GOPT_KEYTAB: replaceText(&ozurcKeytabPath, value, "globalRcOption"); break;
    case GOPT_NOLOGIN_PATH: replaceText(&globalDefs.noLoginPath, value, "globalRcOption"); break;
    case GOPT_PS1: replaceText(&globalDefs.PS1, value, "globalRcOption"); break;
    case GOPT_PS2: replaceText(&globalDefs.PS2, value, "globalRcOption"); break;
    case GOPT_DISABLE_GETS_MSG:
      replaceText(&globalDefs.disableReadsMsg, value, "globalRcOption");
      break;
    case GOPT_DISABLE_PUTS_MSG:
      replaceText(&globalDefs.disableWritesMsg, value, "globalRcOption");
      break;
    case GOPT_LINES: {
      long v = strtol(value, nullptr, 10);
      page_length = v > INT_MAX ? INT_MAX : (v < INT_MIN ? INT_MIN : int(v));
      break;
    }
    case GOPT_MAX_READDIR: {
      long v = strtol(value, nullptr, 10);
      if (v > 0 && v <= INT_MAX)
        globalDefs.maxReaddirEntries = int(v);
      break;
    }
    case GOPT_MAX_SMALLFILE_SIZE: {
      int64_t v = atobytes(value);
      if (v > 0)
        globalDefs.maxSmallFileSize = v;
      break;
    }
    case GOPT_MAX_XFER_THREADS: {
      long v = strtol(value, nullptr, 10);
      globalDefs.maxXferThreads = v > INT_MAX ? INT_MAX : (v < INT_MIN ? INT_MIN : int(v));
      break;
    }
    case GOPT_PROMPT_LEN: {
      long v = strtol(value, nullptr, 10);
      globalDefs.promptLen = (v < 10 || v > 1024) ? 1024 : int(v);
      break;
    }
    case GOPT_PROMPT_DIRLEN: {
      long v = strtol(value, nullptr, 10);
      globalDefs.promptDirLen = v > 1024 ? 1024 : (v < 0 ? 0 : int(v));
      break;
    }
    case GOPT_PRINCIPAL:
      if (!resident) {
        char *p = ozu_ExpandPrincipal(value, nullptr);
        if (p != nullptr) {
          free(ozurcPrincipal);
          ozurcPrincipal = p;
        }
      }
      break;
    case GOPT_PWFILE:
      if (!resident && isHomeDir && pwPathname == nullptr)
        pwPathname = strdup(value);
      break;
    case GOPT_SITE: {
      char *copy = strdup(value);
      if (copy == nullptr) {
        fprintf(stderr, "%s: strdup error on [site] option for [%s]\n", "globalRcOption", value);
        break;
      }
      auto *grown = static_cast<startupSite_t *>(realloc(
          globalDefs.startupSites, sizeof(startupSite_t) * size_t(globalDefs.startupSiteCount + 1)));
      if (grown == nullptr) {
        free(copy);
        fprintf(stderr, "%s: realloc error expanding site table for %s\n", "globalRcOption",
                value);
        break;
      }
      grown[globalDefs.startupSiteCount].siteName = copy;
      grown[globalDefs.startupSiteCount].userRcFile = isHomeDir ? 1 : 0;
      globalDefs.startupSites = grown;
      globalDefs.startupSiteCount++;
      break;
    }
    case GOPT_THREAD_SSIZE: {
      if (clThreadStacksize > 0)
        break;
      int64_t v = atobytes(value);
      if (v >= 262144) {
        globalDefs.threadStackSize = v;
      } else {
        globalDefs.threadStackSize = 1048576;
        fprintf(errFile,
                "*** Warning: in %s file `%s' - bad <thread stacksize> parameter `%s' ignored\n",
                fileKind(resident), ozurcPath, value);
        fprintf(errFile, "         Legal values are >= %ld\n", 262144L);
      }
      break;
    }
    default:
      break;
  }
  return 0;
}

// Splits "key  = value" (blanks, '=' or both) into the value text.
bool takeValue(const char *rest, std::string *value)
{
  const char *p = rest;
  while (*p == ' ' || *p == '\t' || *p == '=')
    ++p;
  if (*p == '\0')
    return false;
  if (*p == '\'' || *p == '"') {
    char q = *p++;
    const char *e = strchr(p, q);
    *value = e ? std::string(p, e) : std::string(p);
    return true;
  }
  const char *e = p;
  while (*e && *e != ' ' && *e != '\t')
    ++e;
  *value = std::string(p, e);
  return true;
}

int readRCfile(const char *path, int quorResident, int isHomeDir)
{
  ozurcPath = path;
  rcLineNumber = 0;
  if (debug >= 2)
    fprintf(errFile, "readRCfile: reading %s file [%s]\n", fileKind(quorResident), path);
  if (quorResident)
    return 0;  // storage-resident rc files need the record streams
  rcReader r;
  r.f = fopen(path, "r");
  if (r.f == nullptr) {
    if (debug >= 2)
      fprintf(errFile, "      error opening the file\n");
    return 0;
  }
  site_connection_t *section = nullptr;
  int result = 0;
  char line[1025];
  int eofFlag = 0;
  while (readRCLine(r, line, sizeof line, &eofFlag) == 1) {
    if (debug >= 2)
      fprintf(errFile, "readRCfile: (line %d) parsing [%s]\n", rcLineNumber, line);
    size_t w = strcspn(line, "=: \t");
    std::string word(line, w);
    if (line[w] == ':') {
      std::string header = word;
      int count = 0;
      char **names = nullptr;
      int rc = getStanzaNames(quorResident, header.c_str(), &count, &names);
      if (rc < 0) {
        result = rc;
        break;
      }
      if (count == 0 || (count == 1 && strcasecmp(names[0], "global") == 0)) {
        freeNameList(count, names);
        section = nullptr;
        if (debug >= 2)
          fprintf(listF, "/debug/found 'global' section header - line %d\n", rcLineNumber);
        continue;
      }
      if (count > 1 && checkStanzaNames(quorResident, count, names) < 0) {
        freeNameList(count, names);
        break;
      }
      site_connection_t *found = ozu_RcLookupSiteByName(names[0]);
      if (found != nullptr) {
        if (mergeStanzaAliases(quorResident, found, count, names) < 0) {
          result = -12;
          break;
        }
        section = found;
        continue;
      }
      section = newStanza(count, names, line);
      if (section == nullptr) {
        freeNameList(count, names);
        result = -12;
        break;
      }
      continue;
    }
    const ozurc_option *table = section ? siteconn_options : global_options;
    const ozurc_option *opt = table;
    while (opt->option && strcmp(opt->option, word.c_str()) != 0)
      ++opt;
    if (opt->option == nullptr) {
      fprintf(listF, "/debug/ignoring unknown option '%s' on line %d of %s file %s\n",
              word.c_str(), rcLineNumber, quorResident ? "QUOR" : "local", path);
      continue;
    }
    std::string value;
    if (!takeValue(line + w, &value)) {
      fprintf(errFile, "Error in %s, line %d: '%s' - missing value\n", path, rcLineNumber,
              word.c_str());
      continue;
    }
    if (section)
      siteConnectionOption(section, opt, value.c_str(), quorResident, isHomeDir);
    else
      globalRcOption(opt, value.c_str(), quorResident, isHomeDir);
  }
  fclose(r.f);
  return result;
}

void checkStanzas(int resident)
{
  for (site_connection_t *s = siteList; s; s = s->next) {
    int keep = 0;
    for (int i = 0; i < s->defaultAuthMethodCount; ++i) {
      int m = s->defaultAuthMethod[i];
      bool defined = false;
      for (authmethod_info_t *a = s->authMethodList; a && !defined; a = a->next)
        defined = a->authMethodType == m;
      if (defined) {
        s->defaultAuthMethod[keep++] = m;
        continue;
      }
      fprintf(stderr,
              " *  *** Warning: default auth method [%s] for site stanza '%s' was not found in\n",
              ozu_AuthTypeToString(m), s->siteName ? s->siteName : "(null)");
      fprintf(stderr, " *  the list of defined authmethods for this stanza and will not be used\n");
    }
    s->defaultAuthMethodCount = keep;
  }
  for (site_connection_t *s = siteList; s; s = s->next) {
    if (s->drive == 0)
      continue;
    bool first = true;
    for (site_connection_t *t = s->next; t; t = t->next) {
      if (t->drive != s->drive || (s->siteID != 0 && s->siteID == t->siteID))
        continue;
      if (first) {
        fprintf(stderr, " *  *** Warning: duplicate drive letter '%c' detected in site stanzas:\n",
                s->drive);
        fprintf(stderr, " *      %s (drive letter will be assigned to this site)\n", s->siteName);
        first = false;
      }
      fprintf(stderr, " *      %s\n", t->siteName);
      t->drive = 0;
    }
    if (!first)
      fprintf(stderr, " *  2nd and subsequent sites will use OZU-assigned drive ID\n");
  }
  if (debug >= 5) {
    fprintf(stderr, "[After reading %s OZURC file(s)]\n", fileKind(resident));
    dumpGlobalSettings();
    dumpSiteConnections();
  }
}

}  // namespace

int parseAuthMethodList(const char *value, int *count, int **list)
{
  *count = 0;
  *list = nullptr;
  std::vector<int> codes;
  std::string v = value ? value : "";
  size_t start = 0;
  for (;;) {
    size_t colon = v.find(':', start);
    std::string piece = v.substr(start, colon == std::string::npos ? std::string::npos
                                                                  : colon - start);
    if (piece.empty())
      break;
    int code = ozu_ConvertAuthMethod(piece.c_str());
    if (code < 0) {
      fprintf(errFile, "%s: unrecognized authentication method: %s\n", "parseAuthMethodList",
              piece.c_str());
      return -1;
    }
    codes.push_back(code);
    if (colon == std::string::npos)
      break;
    start = colon + 1;
  }
  if (codes.empty())
    return 0;
  int *arr = static_cast<int *>(malloc(sizeof(int) * codes.size()));
  if (arr == nullptr) {
    ozu_MallocError(long(sizeof(int) * codes.size()), "parseAuthMethodList", __FILE__, __LINE__);
    return -12;
  }
  memcpy(arr, codes.data(), sizeof(int) * codes.size());
  *count = int(codes.size());
  *list = arr;
  return 0;
}

void ozu_InitGlobals(void)
{
  memset(&globalDefs, 0, sizeof globalDefs);
  globalDefs.cksumHashType = ozu_ConvertCksumType("MD5");
  globalDefs.startupCOS = -1;
  globalDefs.defaultDrive = 'A';
  globalDefs.disableReadsMsg =
      strdup("Read operations disabled until further notice\nSee site wiki for more info\n");
  globalDefs.disableWritesMsg =
      strdup("Write operations disabled until further notice\nSee site wiki for more info\n");
  globalDefs.dir_create_mode = 0777;
  globalDefs.enableAutoScheduling = 1;
  globalDefs.enableLfmIo = 1;
  globalDefs.file_create_mode = 0666;
  globalDefs.helpFile = strdup("/usr/local/lib/ozu.help.data");
  globalDefs.iobufSize = 8388608;
  globalDefs.maxSmallFileSize = 1048576;
  globalDefs.maxReaddirEntries = 4000;
  globalDefs.noLoginPath = strdup("/var/quor/etc/nologin");
  globalDefs.promptLen = 1024;
  globalDefs.promptDirLen = 50;
  globalDefs.threadStackSize = clThreadStacksize >= 1 ? clThreadStacksize : 1048576;
  globalDefs.umask = -1;
}

void ozu_RcReset(void)
{
  while (siteList != nullptr) {
    site_connection_t *s = siteList;
    siteList = s->next;
    for (int i = 0; i < s->aliasCount; ++i)
      free(s->aliasNames[i]);
    free(s->aliasNames);
    free(s->disableReadsMsg);
    free(s->disableWritesMsg);
    for (int i = 0; i < s->hostListCount; ++i)
      free(s->hostList[i].theHost);
    free(s->hostList);
    for (authmethod_info_t *a = s->retiredAuthMethods; a;) {
      authmethod_info_t *n = a->next;
      free(a);
      a = n;
    }
    for (authmethod_info_t *a = s->authMethodList; a;) {
      authmethod_info_t *n = a->next;
      free(a->localFile);
      free(a->credFile);
      free(a);
      a = n;
    }
    for (principal_info_t *p = s->principalList; p;) {
      principal_info_t *n = p->next;
      for (principal_auth_info_t *x = p->authList; x;) {
        principal_auth_info_t *nx = x->next;
        free(x);
        x = nx;
      }
      free(p->loginName);
      free(p);
      p = n;
    }
    free(s->defaultAuthMethod);
    free(s);
  }
  free(globalDefs.defaultAuthMethod);
  free(globalDefs.disableReadsMsg);
  free(globalDefs.disableWritesMsg);
  free(globalDefs.expireCfgFile);
  free(globalDefs.helpFile);
  free(globalDefs.quorConfPath);
  free(globalDefs.noLoginPath);
  free(globalDefs.PS1);
  free(globalDefs.PS2);
  for (int i = 0; i < globalDefs.startupSiteCount; ++i)
    free(globalDefs.startupSites[i].siteName);
  free(globalDefs.startupSites);
  memset(&globalDefs, 0, sizeof globalDefs);
  free(ozurcPrincipal);
  free(ozurcKeytabPath);
  free(pwPathname);
  ozurcPrincipal = ozurcKeytabPath = pwPathname = nullptr;
}

int ozu_ReadRcFile(int fileResidence)
{
  if (fileResidence == 1) {
    readRCfile("/var/adm/config/ozurc", 1, 0);
    checkStanzas(1);
    return 0;
  }
  std::string globalPath;
  const char *env = getenv("QUOR_CFG_FILE_PATH");
  if (env != nullptr) {
    std::string dirs = env;
    size_t start = 0;
    while (start <= dirs.size()) {
      size_t colon = dirs.find(':', start);
      std::string dir = dirs.substr(start, colon == std::string::npos ? std::string::npos
                                                                      : colon - start);
      start = colon == std::string::npos ? dirs.size() + 1 : colon + 1;
      if (dir.empty() || dir[0] != '/' || dir.size() + 7 > 4096)
        continue;
      std::string candidate = dir + "/ozurc";
      struct stat st;
      if (stat(candidate.c_str(), &st) == 0) {
        globalPath = candidate;
        break;
      }
    }
  } else {
    struct stat st;
    if (stat("/opt/ozu/etc/ozurc", &st) == 0)
      globalPath = "/opt/ozu/etc/ozurc";
  }
  if (globalPath.empty()) {
    if (debug >= 1)
      fprintf(listF, "/debug/no global %s ozurc file found\n", "local");
  } else {
    readRCfile(globalPath.c_str(), 0, 0);
  }
  std::string privatePath = std::string(localHomeDir ? localHomeDir : "") + "/.ozurc";
  struct stat st;
  if (stat(privatePath.c_str(), &st) == 0) {
    readRCfile(privatePath.c_str(), 0, 1);
  } else if (debug >= 1) {
    fprintf(listF, "/debug/no private .ozurc file found (%s)\n", privatePath.c_str());
  }
  ozurcPath = "";
  checkStanzas(0);
  return 0;
}

void dumpGlobalSettings(void)
{
  FILE *f = stderr;
  fprintf(f, " ---------------------------------\n");
  fprintf(f, "Global Settings:\n");
  fprintf(f, "default principal.................. %s\n", ozurcPrincipal ? ozurcPrincipal : "[none]");
  fprintf(f, "default authmethod(s) ............. ");
  if (globalDefs.defaultAuthMethodCount == 0)
    fprintf(f, "none");
  for (int i = 0; i < globalDefs.defaultAuthMethodCount; ++i)
    fprintf(f, "%s ", quorex_AuthTypesToString(globalDefs.defaultAuthMethod[i]));
  fprintf(f, "\n");
  fprintf(f, "default # of copies................ %d\n", globalDefs.defaultCopies);
  fprintf(f, "default COS ....................... %d %s\n", globalDefs.startupCOS,
          globalDefs.startupCOS == -1 ? "(set from gateway)"
                                      : (globalDefs.startupCOS == 0 ? "(auto)" : ""));
  const char *ck = ozu_CksumTypeToString(globalDefs.cksumHashType);
  fprintf(f, "default checksum hash type......... %s\n", ck ? ck : "(null)");
  fprintf(f, "default drive...................... %c\n", globalDefs.defaultDrive);
  fprintf(f, "directory creation mode ........... 0%o\n", unsigned(globalDefs.dir_create_mode));
  fprintf(f, "disable reads.................. %s\n", globalDefs.disableReads ? "yes" : "no");
  fprintf(f, "read_disable_msg............... [%s]\n",
          globalDefs.disableReadsMsg ? globalDefs.disableReadsMsg : "");
  fprintf(f, "disable writes .................. %s\n", globalDefs.disableWrites ? "yes" : "no");
  fprintf(f, "write_disable_msg............... [%s]\n",
          globalDefs.disableWritesMsg ? globalDefs.disableWritesMsg : "");
  fprintf(f, "enable file expiration ............ %s\n",
          globalDefs.enableFileExpiration ? "yes" : "no");
  fprintf(f, "file expiration cfg filename ...... %s\n",
          globalDefs.expireCfgFile ? globalDefs.expireCfgFile : "[not set]");
  fprintf(f, "enable autobackup.................. %s\n", globalDefs.enableAutoBackup ? "yes" : "no");
  fprintf(f, "enable autoscheduling ............. %s\n",
          globalDefs.enableAutoScheduling ? "yes" : "no");
  fprintf(f, "enable 3rd party SAN I/O ......... %s\n", globalDefs.enableSanIo ? "yes" : "no");
  fprintf(f, "enable Local File Mover I/O ...... %s\n", globalDefs.enableLfmIo ? "yes" : "no");
  fprintf(f, "enable shared memory I/O ......... %s\n", globalDefs.enableSharedMem ? "yes" : "no");
  fprintf(f, "enable Transfer Agent I/O ........ %s\n", globalDefs.enableTAIo ? "on" : "off");
  fprintf(f, "enable local file Transfer Agent I/O ........ %s\n",
          globalDefs.enable_local_TA_xfer ? "on" : "off");
  fprintf(f, "family ID ........................ %d\n", globalDefs.defaultFamilyID);
  fprintf(f, "file creation mode .............. 0%o\n", unsigned(globalDefs.file_create_mode));
  fprintf(f, "firewall mode       ............. %s\n", globalDefs.firewallMode ? "on" : "off");
  fprintf(f, "help file......................... %s\n",
          globalDefs.helpFile ? globalDefs.helpFile : "(none)");
  fprintf(f, "help file residence .............. %s\n",
          globalDefs.helpFileResidence == 1 ? "QUOR" : "local");
  fprintf(f, "QUOR.conf path.............. %s\n",
          globalDefs.quorConfPath ? globalDefs.quorConfPath : "(none)");
  fprintf(f, "io buffer size.................... %d\n", globalDefs.iobufSize);
  fprintf(f, "<no-login> path................... %s\n",
          globalDefs.noLoginPath ? globalDefs.noLoginPath : "(none)");
  fprintf(f, "dir entries to read at a time.... %d\n", globalDefs.maxReaddirEntries);
  fprintf(f, "max \"small file\" size ......... %ld\n", long(globalDefs.maxSmallFileSize));
  fprintf(f, "max concurrent transfer threads.. %d\n", globalDefs.maxXferThreads);
  fprintf(f, "Prompt string..................... %s\n", globalDefs.PS1 ? globalDefs.PS1 : "(none)");
  fprintf(f, "Continuation prompt string........ %s\n", globalDefs.PS2 ? globalDefs.PS2 : "(none)");
  fprintf(f, "Startup site...................... ");
  if (globalDefs.startupSiteCount == 0)
    fprintf(f, "(none)\n");
  for (int i = 0; i < globalDefs.startupSiteCount; ++i)
    fprintf(f, "%s%s  %s\n", i ? "                                   " : "",
            globalDefs.startupSites[i].siteName,
            globalDefs.startupSites[i].userRcFile ? "[private .ozurc]" : "[global ozurc]");
  fprintf(f, "thread stack size ................ %ld\n", long(globalDefs.threadStackSize));
  fprintf(f, "umask ............................ 0%o\n", unsigned(globalDefs.umask));
}
