// Wildcard expansion into globv: literal fronts onto a work path, one
// directory read per wildcard component, descents into matched
// directories, brace alternatives.
#include "ozu_glob.h"

#include <dirent.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include <algorithm>
#include <string>
#include <vector>

#include "ozu_context.h"
#include "ozu_errors.h"
#include "ozu_log.h"
#include "ozu_match.h"
#include "ozu_misc.h"
#include "ozu_paths.h"
#include "ozu_walk.h"
#include "ozurc.h"
#include "ozuvars.h"
#include "qel_threads.h"
#include "quor_api.h"

globstruct_t *globv = nullptr;
int globInx = 0;
int maxGlobCount = 0;

namespace {

const size_t kWpathMax = 4094;
const size_t kRemotePathMax = 4095;  // what the lfx calls accept
int pattype = 0;
// Storage names live on the gateway's own file system (server run mode 2).
bool localRunmode = false;
std::string wpath;

struct nodeInfo {
  int type;  // S_IFDIR, S_IFLNK, S_IFREG, 0 other, -1 not known yet
  uint32_t uid, gid;
};

void expand(const std::string &pattern);

void reportExpandError(const char *message, int code) { setExitResult(code, message, 7); }

int statTarget(const std::string &path, nodeInfo *info, bool follow)
{
  if (pattype == 0) {
    struct stat st;
    if ((follow ? stat(path.c_str(), &st) : lstat(path.c_str(), &st)) != 0)
      return -1;
    info->type = int(st.st_mode & S_IFMT);
    info->uid = st.st_uid;
    info->gid = st.st_gid;
    return 0;
  }
  if (localRunmode) {
    struct stat64 st;
    int rc = follow ? ozugw_LfxStat(path.c_str(), &st) : ozugw_LfxLstat(path.c_str(), &st);
    if (rc < 0)
      return rc;
    info->type = int(st.st_mode & S_IFMT);
    info->uid = st.st_uid;
    info->gid = st.st_gid;
    return 0;
  }
  quor_stat_t st;
  int rc = ozu_EioRetry(
      [&] { return follow ? quor_Stat(path.c_str(), &st) : quor_Lstat(path.c_str(), &st); });
  if (rc < 0)
    return rc;
  info->type = int(st.st_mode & S_IFMT);
  info->uid = st.st_uid;
  info->gid = st.st_gid;
  return 0;
}

void addname(const std::string &pth1, const char *pth2, int nodetype, uint32_t uid, uint32_t gid)
{
  if (globInx >= maxGlobCount) {
    int grown = maxGlobCount + 500;
    auto *nv = static_cast<globstruct_t *>(realloc(globv, sizeof(globstruct_t) * size_t(grown)));
    if (nv == nullptr) {
      char msg[128];
      snprintf(msg, sizeof msg, "*** addname: realloc error expanding <globv> to %d entries", grown);
      setExitResult(78, msg, 7);
      exit(1);
    }
    globv = nv;
    maxGlobCount = grown;
  }
  std::string name = pth1 + pth2;
  char *copy = strdup(name.c_str());
  if (copy == nullptr) {
    char msg[4200];
    snprintf(msg, sizeof msg, "*** (addname) out of memory adding %s%s, aborting", pth1.c_str(),
             pth2);
    setExitResult(78, msg, 7);
    exit(1);
  }
  globstruct_t &g = globv[globInx];
  memset(&g, 0, sizeof g);
  g.name = copy;
  g.globbed = globbed ? 1 : 0;
  bool statFailed = false;
  if (nodetype == -1) {
    nodeInfo info{-1, uid, gid};
    if (statTarget(name, &info, false) == 0) {
      nodetype = info.type;
      uid = info.uid;
      gid = info.gid;
    } else {
      statFailed = true;
    }
  }
  g.dir = nodetype == S_IFDIR;
  g.symlink = nodetype == S_IFLNK;
  g.uid = uid;
  g.gid = gid;
  // Devices, FIFOs and sockets never come out of local wildcards.
  if (globbed && pattype == 0 &&
      (statFailed || !(nodetype == S_IFREG || nodetype == S_IFDIR || nodetype == S_IFLNK))) {
    free(copy);
    g.name = nullptr;
    return;
  }
  if (debug >= 2)
    fprintf(ttyOut, "%s: adding [%s], <globbed>=%d \n", "addname", copy, int(g.globbed));
  ++globInx;
}

// The rest of a pattern behind a matched directory entry.
void descend(const char *entryName, const char *rest)
{
  size_t mark = wpath.size();
  wpath += entryName;
  wpath += '/';
  nodeInfo info{-1, 0, 0};
  if (wpath.size() <= kWpathMax && statTarget(wpath, &info, true) == 0 && info.type == S_IFDIR) {
    if (rest != nullptr && rest[0] != '\0')
      expand(rest);
    else
      addname(wpath, "", S_IFDIR, info.uid, info.gid);
  }
  wpath.resize(mark);
}

bool isWildcard(const std::string &p, size_t i)
{
  char c = p[i];
  if (c == '*' || c == '?' || c == '{')
    return true;
  if (c != '[')
    return false;
  for (size_t j = i + 1; j < p.size(); ++j) {
    if (p[j] == '\\') {
      ++j;
      continue;
    }
    if (p[j] == ']')
      return true;
  }
  return false;
}

void matchLocalDir(const std::string &sub)
{
  std::string dir = wpath.empty() ? "." : wpath;
  DIR *d = opendir(dir.c_str());
  if (d == nullptr) {
    if (!globbed) {
      char msg[4200];
      snprintf(msg, sizeof msg, "*** Error trying to read directory %s", dir.c_str());
      setExitResult(64, msg, 7);
    }
    return;
  }
  std::vector<std::string> names;
  while (struct dirent *e = readdir(d))
    if (e->d_ino != 0 && e->d_name[0] != '\0')
      names.push_back(e->d_name);
  closedir(d);
  for (const std::string &n : names) {
    if (!match(n.c_str(), sub.c_str()))
      continue;
    struct stat st;
    std::string full = wpath + n;
    if (lstat(full.c_str(), &st) == 0)
      addname(wpath, n.c_str(), int(st.st_mode & S_IFMT), st.st_uid, st.st_gid);
  }
}

void matchQUORdir(const std::string &sub)
{
  std::string dir = wpath.empty() ? std::string(makeQUORpath(0, "")) : wpath;
  if (wpath.empty() && debug >= 2)
    fprintf(errFile, "/debug/ %s:- pattern='%s' search dir='%s'\n", "matchQUORdir", sub.c_str(),
            dir.c_str());
  quor_Attrs_t attrs;
  int rc = ozu_EioRetry([&] { return quor_GetListAttrs(dir.c_str(), &attrs); });
  if (rc < 0) {
    if (!globbed)
      setExitResult(64, quor_perror(rc, "quor_GetListAttrs (matchQUORdir)", dir.c_str(), nullptr),
                    7);
    return;
  }
  int dirdes = ozu_EioRetry([&] { return quor_Opendir(dir.c_str()); });
  if (dirdes < 0) {
    if (!globbed)
      setExitResult(70, quor_perror(dirdes, "quor_Opendir", dir.c_str(), nullptr), 7);
    return;
  }
  long n = long(attrs.EntryCount) + 1;
  if (n > globalDefs.maxReaddirEntries)
    n = globalDefs.maxReaddirEntries;
  if (n < 1)
    n = 1;
  std::vector<ns_DirEntry_t> batch(static_cast<size_t>(n));
  std::vector<std::string> subdirs;
  std::vector<std::pair<uint32_t, uint32_t>> subdirIds;
  uint64_t offset = 0;
  uint32_t end = 0;
  bool busyShown = false;
  while (!end) {
    uint64_t next = 0;
    int got = ozu_EioRetry([&] {
      return quor_ReadAttrs(dirdes, offset, uint32_t(sizeof(ns_DirEntry_t) * batch.size()), 1,
                            &end, &next, batch.data());
    });
    if (got == -16) {
      // Busy for as long as it takes, but an interrupt ends the wait.
      if (interrupted)
        break;
      char msg[1100];
      snprintf(msg, sizeof msg, "[directory %s busy...waiting]", dir.c_str());
      ozu_ConsoleMessage(msg);
      busyShown = true;
      end = 0;
      ozugw_ThreadSleep(1, 0);
      continue;
    }
    if (busyShown) {
      ozu_ConsoleMessage("");
      busyShown = false;
    }
    if (got < 0) {
      setExitResult(72, quor_perror(got, "quor_ReadAttrs", dir.c_str(), nullptr), 7);
      break;
    }
    offset = next;
    for (int i = 0; i < got && i < int(batch.size()); ++i) {
      ns_DirEntry_t &e = batch[size_t(i)];
      e.Name[sizeof e.Name - 1] = '\0';
      int type = e.ObjHandle.Type;
      if (type == 132 || type == 133) {
        if (debug >= 2)
          fprintf(errFile, "%s: found directory or junction: '%s' - caching for 2nd pass\n",
                  "matchQUORdir", e.Name);
        subdirs.push_back(e.Name);
        subdirIds.push_back({e.Attrs.UID, e.Attrs.GID});
        continue;
      }
      if (debug >= 2)
        fprintf(errFile, "matchQUORdir: matching '%s' and pattern '%s'\n", e.Name, sub.c_str());
      if (match(e.Name, sub.c_str()))
        addname(wpath, e.Name, type == 130 ? S_IFLNK : S_IFREG, e.Attrs.UID, e.Attrs.GID);
    }
  }
  // Subdirectories are matched only after the directory is closed, so a
  // descent never holds two directories of one level open.
  rc = ozu_EioRetry([&] { return quor_Closedir(dirdes); });
  if (rc < 0)
    setExitResult(72, quor_perror(rc, "quor_Closedir", dir.c_str(), nullptr), 7);
  if (!end)
    return;  // a read that failed or was interrupted matches no directory
  for (size_t i = 0; i < subdirs.size(); ++i) {
    if (debug >= 2)
      fprintf(errFile, "%s: matching directory name '%s' and pattern '%s'\n", "matchQUORdir",
              subdirs[i].c_str(), sub.c_str());
    if (match(subdirs[i].c_str(), sub.c_str()))
      addname(wpath, subdirs[i].c_str(), S_IFDIR, subdirIds[i].first, subdirIds[i].second);
  }
}

// The directory of the work path on the gateway's own file system.
void matchRemoteDir(const std::string &sub)
{
  std::string dir = wpath.empty() ? std::string(makeQUORpath(0, "")) : wpath;
  if (debug >= 2)
    fprintf(errFile, "/debug/ %s: pattern='%s' search dir='%s'\n", "matchRemoteDir", sub.c_str(),
            dir.c_str());
  struct stat64 st;
  int rc = ozugw_LfxLstat(dir.c_str(), &st);
  if (rc < 0) {
    if (!globbed)
      setExitResult(64, quor_perror(rc, "ozugw_LfxLstat (matchRemoteDir)", dir.c_str(), nullptr),
                    7);
    return;
  }
  int dirdes = ozugw_LfxOpendir(dir.c_str());
  if (dirdes < 0) {
    if (!globbed)
      setExitResult(70, quor_perror(dirdes, "ozugw_LfxOpendir", dir.c_str(), nullptr), 7);
    return;
  }
  int n = globalDefs.maxReaddirEntries > 0 ? globalDefs.maxReaddirEntries : 1;
  std::vector<ozu_lfx_attrs_t> batch(static_cast<size_t>(n));
  int end = 0;
  while (!end && !interrupted) {
    int got = ozugw_LfxReadattrs(dirdes, n, &end, batch.data());
    if (got < 0) {
      setExitResult(72, quor_perror(got, "ozugw_LfxReadattrs", dir.c_str(), nullptr), 7);
      break;
    }
    for (int i = 0; i < got && i < n; ++i) {
      ozu_lfx_attrs_t &e = batch[size_t(i)];
      e.Filename[sizeof e.Filename - 1] = '\0';
      if (debug >= 2)
        fprintf(errFile, "%s: matching '%s' and pattern '%s'\n", "matchRemoteDir", e.Filename,
                sub.c_str());
      if (!match(e.Filename, sub.c_str()))
        continue;
      if (wpath.size() + strlen(e.Filename) > kRemotePathMax) {
        std::string whole = wpath + e.Filename;
        setExitResult(64, quor_perror(-86, "matchRemoteDir", whole.c_str(), nullptr), 7);
        continue;
      }
      struct stat64 es;
      memset(&es, 0, sizeof es);
      ozugw_LfxStatToStat(&e.LfxAttrs, &es);
      addname(wpath, e.Filename, int(es.st_mode & S_IFMT), es.st_uid, es.st_gid);
    }
  }
  rc = ozugw_LfxClosedir(dirdes);
  if (rc < 0)
    setExitResult(72, quor_perror(rc, "ozugw_LfxClosedir", dir.c_str(), nullptr), 7);
}

int expandAlternative(const char *alternative, void *)
{
  size_t mark = wpath.size();
  expand(alternative);
  wpath.resize(mark);
  return 0;
}

void expand(const std::string &pattern)
{
  if (debug >= 2)
    fprintf(errFile, "<Expand> called for pattern='%s', pattype = %s\n", pattern.c_str(),
            pattype ? "QUOR-pathname" : "Local-file-pathname");
  size_t mark = wpath.size();
  size_t componentStart = mark;
  size_t patComponent = 0;
  size_t i = 0;
  for (; i < pattern.size(); ++i) {
    if (globFlag && isWildcard(pattern, i))
      break;
    char c = pattern[i];
    if (globFlag && c == '\\' && i + 1 < pattern.size())
      c = pattern[++i];
    if (wpath.size() >= kWpathMax) {
      // Never cut: a cut path names something else.
      setExitResult(64, quor_perror(-86, "ozu_Glob", pattern.c_str(), nullptr), 7);
      wpath.resize(mark);
      return;
    }
    wpath += c;
    if (c == '/' && pattern[i] == '/') {
      componentStart = wpath.size();
      patComponent = i + 1;
    }
  }
  if (i >= pattern.size()) {
    if (!globbed) {
      addname(wpath, "", -1, 0, 0);
    } else {
      nodeInfo info{-1, 0, 0};
      if (statTarget(wpath, &info, true) == 0)
        addname(wpath, "", info.type, info.uid, info.gid);
    }
    wpath.resize(mark);
    return;
  }
  // The sub-pattern starts at the wildcard's component.
  size_t subStart = patComponent;
  std::string sub = pattern.substr(subStart);
  wpath.resize(componentStart);
  if (pattern[i] == '{') {
    ozu_BraceExpand(sub.c_str(), expandAlternative, nullptr);
  } else if (pattype == 0) {
    matchLocalDir(sub);
  } else if (localRunmode) {
    matchRemoteDir(sub);
  } else {
    matchQUORdir(sub);
  }
  wpath.resize(mark);
}

int sortnames(const globstruct_t &a, const globstruct_t &b)
{
  return strcmp(a.name, b.name) < 0;
}

int collectedBefore = 0;

void matchAllCallback(ns_DirEntry_t *entry, const char *base)
{
  int type = entry->Attrs.Type;
  int t = type == 132 ? S_IFDIR : (type == 130 ? S_IFLNK : S_IFREG);
  if (debug >= 2)
    fprintf(errFile, "matchAllQUORdir: adding path=%s, type=%s\n", entry->Name,
            t == S_IFDIR ? "directory" : (t == S_IFLNK ? "symlink" : "regular file"));
  addname(base, entry->Name, t, entry->Attrs.UID, entry->Attrs.GID);
}

std::string matchAllBase;

int matchAllEntry(ns_DirEntry_t *entry, int, const char *, const char *)
{
  matchAllCallback(entry, matchAllBase.c_str());
  return 0;
}

}  // namespace

int ozu_GlobAllocate(void)
{
  globv = static_cast<globstruct_t *>(calloc(1000, sizeof(globstruct_t)));
  if (globv == nullptr)
    return -1;
  maxGlobCount = 1000;
  globInx = 0;
  globbed = 0;
  return 0;
}

void ozu_GlobInit(void)
{
  globInx = 0;
  globbed = 0;
}

int ozu_Glob(const char *pattern, int, int pathtype)
{
  if (globv == nullptr && ozu_GlobAllocate() < 0)
    return 0;
  pattype = pathtype ? 1 : 0;
  localRunmode = keyset && keyset->curContext && keyset->curContext->siteInfo.server_runmode == 2;
  if (debug >= 2)
    fprintf(errFile, "Globbing '%s', type = %d\n", pattern, pathtype);
  ozu_matchDescent = descend;
  ozu_matchError = reportExpandError;
  // A backslash drops itself and keeps the next character as it is; only
  // a doubled one reaches the matcher as a quoting backslash.
  if (strlen(pattern) > 8191) {
    // Never cut: a cut pattern names something else.
    setExitResult(64, quor_perror(-86, "ozu_Glob", pattern, nullptr), 7);
    return 0;
  }
  std::string copy;
  for (const char *p = pattern; *p; ++p) {
    if (*p == '\\') {
      if (p[1] == '\0')
        break;
      copy += *++p;
      continue;
    }
    copy += *p;
  }
  collectedBefore = globInx;
  wpath.clear();
  globbed = 0;
  expand(copy);
  if (globInx == collectedBefore) {
    char msg[4200];
    snprintf(msg, sizeof msg, "*** Warning: No matching names located for '%s'", pattern);
    setExitResult(0, msg, 6);
  }
  if (debug >= 2) {
    fprintf(errFile, "...glob count after call: %d\n", globInx);
    for (int i = 0; i < globInx; ++i)
      fprintf(errFile, "      [%s]\n", globv[i].name);
  }
  return 0;
}

int globSort(void)
{
  if (globInx > 0)
    std::sort(globv, globv + globInx, sortnames);
  return globInx;
}

void ozu_GlobCleanup(void)
{
  for (int i = 0; i < globInx; ++i) {
    free(globv[i].name);
    globv[i].name = nullptr;
  }
  globInx = 0;
}

int expandSingleNodeDir(const char *dirstring, char **resstring)
{
  *resstring = nullptr;
  if (debug >= 2)
    fprintf(errFile, "expandSingleNodeDir: expanding '%s'\n", dirstring);
  char buf[4096];
  int rc = expandQUORpath(dirstring, buf, sizeof buf);
  if (rc < 0)
    return rc;
  const char *path = dirstring;
  if (rc > 0) {
    path = buf;
    if (debug >= 2)
      fprintf(errFile, "expandSingleNodeDir...Expanded '%s' to '%s'\n", dirstring, buf);
  }
  int before = globInx;
  ozu_Glob(path, -1, 1);
  int added = globInx - before;
  int result = -1;
  if (added == 1) {
    *resstring = globv[before].name;
    globv[before].name = nullptr;
    if (debug >= 2)
      fprintf(errFile, "expandSingleNodeDir...Globbed '%s' to '%s'\n", dirstring, *resstring);
    result = 0;
  } else if (added > 1) {
    char msg[4200];
    snprintf(msg, sizeof msg, "*** Ambiguous path: '%s'", dirstring);
    setExitResult(64, msg, 7);
  }
  for (int i = before; i < globInx; ++i) {
    free(globv[i].name);
    globv[i].name = nullptr;
  }
  globInx = before;
  return result;
}

void matchAllQUORdir(const char *path)
{
  std::string base = path ? path : "";
  if (base.empty() || base.back() != '/')
    base += '/';
  if (base.size() > 1024) {
    setExitResult(64, quor_perror(-86, "matchAllQUORdir", path, nullptr), 7);
    ozu_GlobInit();
    return;
  }
  ozu_GlobInit();
  pattype = 1;
  localRunmode = false;
  globbed = 0;
  matchAllBase = base;
  readQUORdir(path, 0, matchAllEntry, nullptr, nullptr);
  globSort();
}
