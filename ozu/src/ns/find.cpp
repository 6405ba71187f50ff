// Search: find. Predicates form one conjunction in command-line order; a
// directory is read twice, its other entries first, then its
// subdirectories, each searched as soon as it is met.
#include <ctype.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <algorithm>
#include <string>
#include <vector>

#include "ns_commands.h"
#include "ns_find.h"
#include "ns_list.h"
#include "ozu_cmdframe.h"
#include "ozu_connect.h"
#include "ozu_context.h"
#include "ozu_errors.h"
#include "ozu_glob.h"
#include "ozu_log.h"
#include "ozu_login.h"
#include "ozu_match.h"
#include "ozu_misc.h"
#include "ozu_paths.h"
#include "ozu_tokens.h"
#include "ozurc.h"
#include "ozuvars.h"
#include "qel_threads.h"
#include "quor_api.h"

namespace {

const int64_t kDay = 86400;

struct kwRow {
  const char *word;
  findKW kwtype;
  findVT kwvtype;
};
const kwRow kwtable[] = {
    {"-name", KW_NAME, KV_STRING},       {"-cos", KW_COSID, KV_INT},
    {"-perm", KW_PERM, KV_OCTAL},        {"-prune", KW_PRUNE, KV_NONE},
    {"-type", KW_TYPE, KV_STRING},       {"-user", KW_USER, KV_OTHER},
    {"-nouser", KW_NOUSER, KV_NONE},     {"-group", KW_GROUP, KV_OTHER},
    {"-nogroup", KW_NOGROUP, KV_NONE},   {"-size", KW_SIZE, KV_UNSIGNED64},
    {"-atime", KW_ATIME, KV_INT},        {"-mtime", KW_MTIME, KV_INT},
    {"-ctime", KW_CTIME, KV_INT},        {"-print", KW_PRINT, KV_NONE},
    {"-ls", KW_LS, KV_NONE},             {"-newer", KW_NEWER, KV_TIME_T},
    {"-depth", KW_DEPTH, KV_NONE},
};

std::vector<predicate> preds;
int prune = 0;
int64_t now = 0;
int progsub = 0;

void badArg(const char *text, const char *value)
{
  std::string msg = std::string("*** ") + text + " [" + value + "]";
  setExitResult(64, msg.c_str(), 7);
}

void missingArg(const char *option)
{
  std::string msg = std::string("*** missing option for [") + option + "]";
  setExitResult(64, msg.c_str(), 7);
}

void usage() { fprintf(listF, "usage:    find pathname-list expression-list\n"); }

// A sign, then digits: 0 with the value and flags, -1 after the message.
int getSigned(const char *keyword, const char *text, const char *what, uint64_t *value,
              uint32_t *flags, bool wide)
{
  const char *p = text;
  while (*p == ' ' || *p == '\t')
    ++p;
  *flags = 1;
  if (*p == '+' || *p == '-') {
    *flags = *p == '+' ? 2 : 4;
    ++p;
  }
  if (!isdigit(static_cast<unsigned char>(*p))) {
    if (*p == '\0')
      missingArg(keyword);
    else
      badArg(what, text);
    return -1;
  }
  uint64_t v = 0;
  for (; isdigit(static_cast<unsigned char>(*p)); ++p) {
    uint64_t digit = uint64_t(*p - '0');
    if (v > (UINT64_MAX - digit) / 10) {
      badArg(what, text);
      return -1;
    }
    v = v * 10 + digit;
  }
  if (*p != '\0' && *p != ' ') {
    badArg(what, text);
    return -1;
  }
  if (!wide && v > uint64_t(INT64_MAX)) {
    badArg(what, text);
    return -1;
  }
  *value = v;
  return 0;
}

bool timeHolds(const predicate &p, uint32_t t)
{
  // 64-bit signed arithmetic: large day counts and times past 2038 never wrap.
  // Beyond a hundred billion days every time compares alike; the cap keeps
  // n * d inside 64 bits.
  int64_t n = std::min<int64_t>(p.kwval.i, 100000000000LL), tt = int64_t(t);
  int64_t edge = now - n * kDay;
  if (p.flags == 2)
    return tt + kDay <= edge;
  if (p.flags == 4)
    return tt > edge;
  return edge - kDay <= tt && tt <= edge;
}

// The nine permission bits of the storage permission words.
int permBits(const quor_Attrs_t &a)
{
  auto three = [](uint32_t w) {
    return ((w & 0x20) ? 4 : 0) | ((w & 0x40) ? 2 : 0) | ((w & 0x80) ? 1 : 0);
  };
  return (three(a.UserPerms) << 6) | (three(a.GroupPerms) << 3) | three(a.OtherPerms);
}

}  // namespace

int findParse(int argc, char **argv, int64_t when, std::vector<std::string> *paths)
{
  preds.clear();
  prune = 0;
  now = when;
  paths->clear();
  bool keywordSeen = false;
  for (int i = 0; i < argc; ++i) {
    const char *w = argv[i];
    if (w[0] != '-') {
      if (keywordSeen) {
        std::string msg = std::string("*** syntax error - path [") + w + "] must precede options";
        setExitResult(64, msg.c_str(), 7);
        return -1;
      }
      paths->push_back(w);
      continue;
    }
    keywordSeen = true;
    const kwRow *row = nullptr;
    for (const kwRow &r : kwtable)
      if (strcmp(r.word, w) == 0)
        row = &r;
    if (row == nullptr) {
      std::string msg = std::string("*** unknown option [") + w + "]";
      setExitResult(64, msg.c_str(), 7);
      return -1;
    }
    predicate p;
    memset(&p, 0, sizeof p);
    p.kwtype = row->kwtype;
    p.kwvtype = row->kwvtype;
    p.flags = 1;
    if (row->kwvtype == KV_NONE) {
      preds.push_back(p);
      continue;
    }
    if (i + 1 >= argc) {
      missingArg(w);
      return -1;
    }
    const char *v = argv[++i];
    switch (row->kwvtype) {
    case KV_STRING:
      if (row->kwtype == KW_NAME && strchr(v, '/')) {
        std::string msg = std::string("*** illegal search pattern [") + v + "]";
        setExitResult(64, msg.c_str(), 7);
        return -1;
      }
      p.kwval.s = v;
      break;
    case KV_INT:
    case KV_UNSIGNED64: {
      uint64_t n;
      const bool wide = row->kwvtype == KV_UNSIGNED64;
      if (getSigned(w, v, "illegal integer value", &n, &p.flags, wide) < 0)
        return -1;
      if (wide)
        p.kwval.u = n;
      else
        p.kwval.i = int64_t(n);
      break;
    }
    case KV_OCTAL: {
      char *end = nullptr;
      long n = strtol(v, &end, 8);
      if (*v == '\0' || *end != '\0' || strspn(v, "01234567") != strlen(v)) {
        badArg("illegal octal value", v);
        return -1;
      }
      p.kwval.i = n;
      break;
    }
    case KV_OTHER: {
      const bool user = row->kwtype == KW_USER;
      while (*v == ' ' || *v == '\t')
        ++v;
      long id;
      if (isdigit(static_cast<unsigned char>(*v))) {
        id = strtol(v, nullptr, 10);
        // An id must have a name: the lookup gives the number back otherwise.
        const char *name = user ? lookupUname(id) : lookupGname(id);
        if (strcmp(name, std::to_string(id).c_str()) == 0) {
          badArg(user ? "No such QUOR user ID" : "No such QUOR group ID", v);
          return -1;
        }
      } else {
        id = user ? lookupUid(v) : lookupGid(v);
        if (id < 0) {
          badArg(user ? "No such QUOR user name" : "No such QUOR group name", v);
          return -1;
        }
      }
      p.kwval.i = id;
      break;
    }
    case KV_TIME_T: {
      char *path = nullptr;
      if (expandSingleNodeDir(v, &path) < 0 || path == nullptr) {
        free(path);
        badArg("Ambiguous or invalid path: ", v);
        return -1;
      }
      quor_stat_t st;
      int rc = ozu_EioRetry([&] { return quor_Stat(path, &st); });
      free(path);
      if (rc < 0) {
        const ozu_error_t *e = quor_strerror(rc);
        badArg(e ? e->quor_error_text : "?? unknown error from quor_Stat", v);
        return -1;
      }
      p.kwval.t = int64_t(st.quor_st_mtime);
      break;
    }
    default: break;
    }
    preds.push_back(p);
  }
  return 0;
}

int testPredicates(ns_DirEntry_t *e, const char *fullpath, int *printed)
{
  const quor_Attrs_t &a = e->Attrs;
  for (const predicate &p : preds) {
    bool ok = true;
    switch (p.kwtype) {
    case KW_NAME: ok = match(e->Name, p.kwval.s) != 0; break;
    case KW_COSID:
      ok = (a.Type == 129 || a.Type == 131) && int64_t(a.COSId) == p.kwval.i;
      break;
    case KW_PERM: ok = permBits(a) == int(p.kwval.i); break;
    case KW_PRUNE: prune = 1; break;
    case KW_TYPE: {
      const char *letter = (a.Type == 129 || a.Type == 131) ? "f" : (a.Type == 132 ? "d" : "l");
      ok = strcmp(letter, p.kwval.s) == 0;
      break;
    }
    case KW_USER: ok = int64_t(a.UID) == p.kwval.i; break;
    case KW_GROUP: ok = int64_t(a.GID) == p.kwval.i; break;
    case KW_NOUSER:
    case KW_NOGROUP: ok = false; break;  // the lookups always give a text
    case KW_SIZE:
      ok = p.flags == 2 ? a.DataLength > p.kwval.u
                        : (p.flags == 4 ? a.DataLength < p.kwval.u : a.DataLength == p.kwval.u);
      break;
    case KW_ATIME: ok = timeHolds(p, a.TimeLastRead); break;
    case KW_MTIME: ok = timeHolds(p, a.TimeLastWritten); break;
    case KW_CTIME: ok = timeHolds(p, a.TimeModified); break;
    case KW_PRINT: prune = 0; break;
    case KW_LS: {
      std::string dir = fullpath;
      size_t cut = dir.rfind('/');
      dir = cut == 0 ? "/" : dir.substr(0, cut);
      fprintf(listF, "%s:\n", dir.c_str());
      listQUORnode(fullpath);
      fprintf(listF, "\n");
      *printed = 1;
      break;
    }
    case KW_NEWER: ok = int64_t(a.TimeLastWritten) >= p.kwval.t; break;
    case KW_DEPTH: break;
    }
    if (!ok)
      return -1;
  }
  return 0;
}

int searchDir(const char *pathIn)
{
  static const char *const inprog[] = {"|", "/", "-", "\\"};
  if (progressFlag)
    ozu_ConsoleMessage(inprog[progsub++ % 4]);
  std::string dir = pathIn;
  if (dir.size() > 1 && dir.back() == '/')
    dir.pop_back();
  const std::string prefix = dir == "/" ? "/" : dir + "/";
  int dirdes = ozu_EioRetry([&] { return quor_Opendir(dir.c_str()); });
  if (dirdes < 0) {
    setExitResult(72, quor_perror(dirdes, "quor_Opendir", dir.c_str(), nullptr), 7);
    return -1;
  }
  int errors = 0;
  quor_Attrs_t da;
  int rc = ozu_EioRetry([&] { return quor_GetListAttrs(dir.c_str(), &da); });
  if (rc < 0) {
    setExitResult(66, quor_perror(rc, "quor_GetListAttrs", dir.c_str(), nullptr), 7);
    ozu_EioRetry([&] { return quor_Closedir(dirdes); });
    return -1;
  }
  long n = std::min<long>(long(da.EntryCount) + 1,
                          globalDefs.maxReaddirEntries > 0 ? globalDefs.maxReaddirEntries : 1000);
  std::vector<ns_DirEntry_t> batch(size_t(std::max(n, 1L)));
  bool sawDir = false;
  for (int pass = 0; pass < 2 && !interrupted && errors == 0; ++pass) {
    if (pass == 1 && !sawDir)
      break;
    uint64_t offset = 0;
    uint32_t end = 0;
    while (!end && !interrupted && errors == 0) {
      uint64_t next = 0;
      int got = ozu_EioRetry([&] {
        return quor_ReadAttrs(dirdes, offset, uint32_t(sizeof(ns_DirEntry_t) * batch.size()), 1,
                              &end, &next, batch.data());
      });
      if (got == -16) {
        std::string msg = "[directory " + dir + " busy...waiting]";
        ozu_ConsoleMessage(msg.c_str());
        end = 0;
        ozugw_ThreadSleep(1, 0);
        continue;
      }
      if (got < 0) {
        setExitResult(72, quor_perror(got, "quor_ReadAttrs", dir.c_str(), nullptr), 7);
        ++errors;
        break;
      }
      offset = next;
      for (int i = 0; i < got && i < int(batch.size()) && !interrupted; ++i) {
        ns_DirEntry_t &e = batch[size_t(i)];
        e.Name[sizeof e.Name - 1] = '\0';
        if (strcmp(e.Name, ".") == 0 || strcmp(e.Name, "..") == 0)
          continue;
        const bool isDir = e.Attrs.Type == 132;
        sawDir = sawDir || isDir;
        if (isDir != (pass == 1))
          continue;
        std::string full = prefix + e.Name;
        int printed = 0;
        bool holds = testPredicates(&e, full.c_str(), &printed) == 0;
        if (holds && !printed)
          fprintf(listF, isDir ? "%s/\n" : "%s%s\n", full.c_str(),
                  isDir ? "" : (e.Attrs.Type == 130 ? "@" : ""));
        if (isDir && !prune && searchDir(full.c_str()) < 0)
          ++errors;
      }
    }
  }
  rc = ozu_EioRetry([&] { return quor_Closedir(dirdes); });
  if (rc < 0) {
    setExitResult(72, quor_perror(rc, "quor_Closedir", dir.c_str(), nullptr), 7);
    ++errors;
  }
  return errors ? -1 : 0;
}

int ozu_FindCommand(char *cc, int cclen)
{
  minus_opt = 0;
  progsub = 0;
  const int startHandle = sesskeyset.curContext ? sesskeyset.curContext->handle : -1;
  char **options = nullptr, **objects = nullptr;
  if (ozuparse(cc + cclen, &options, &objects) < 0) {
    usage();
    return 1;
  }
  struct Lists {
    char ***o, ***w;
    ~Lists()
    {
      ozuFreeStringList(*o);
      ozuFreeStringList(*w);
      preds.clear();
    }
  } lists{&options, &objects};
  if (options && options[0]) {
    fprintf(listF, "*** unrecognized option(s) starting with [%s]\n", options[0]);
    usage();
    setExitResult(64, nullptr, 0);
    return 1;
  }
  int argc = 0;
  while (objects && objects[argc])
    ++argc;
  std::vector<std::string> paths;
  if (findParse(argc, objects, int64_t(time(nullptr)), &paths) < 0)
    return 1;
  for (const std::string &p : paths) {
    if (interrupted)
      break;
    char expanded[OZU_CMD_PATHLEN];
    if (ozu_ExpandQUORPath(p.c_str(), expanded, sizeof expanded) < 0)
      continue;
    ozu_GlobInit();
    ozu_Glob(expanded, 0, 1);
    globSort();
    std::vector<std::string> matches;
    for (int i = 0; i < globInx; ++i)
      matches.push_back(makeQUORpath(0, globv[i].name));
    ozu_GlobCleanup();
    for (const std::string &m : matches) {
      if (interrupted)
        break;
      searchDir(m.c_str());
    }
  }
  ozu_SwitchBack(startHandle);
  return 1;
}
