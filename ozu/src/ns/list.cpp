// Listings: ls, list and dir, the directory cache, and the long-format and
// tape-position lines that find -ls shares.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>

#include <algorithm>
#include <string>
#include <vector>

#include "ns_commands.h"
#include "ozu_cmdframe.h"
#include "ozurc.h"
#include "ozu_walk.h"
#include "ns_heredoc.h"
#include "ns_list.h"
#include "ozu_context.h"
#include "ozu_errors.h"
#include "ozu_getopt.h"
#include "ozu_glob.h"
#include "ozu_keyset.h"
#include "ozu_log.h"
#include "ozu_login.h"
#include "ozu_misc.h"
#include "ozu_paths.h"
#include "ozu_tokens.h"
#include "ozu_util.h"
#include "ozuvars.h"
#include "quor_api.h"

int ls_line_opts = 0;
LS_TIME_DISPLAY_TYPE lstype_Flag = TIME_LAST_WRITTEN;
int ls_P_level = 0;

namespace {

const long kOldAge = 15552000;  // 180 days: older times show the year

// The account of the previous extended line: a name is looked up only when
// the connection or the account changes.
int account_handle = -1;
int64_t account_id = -1;
char acct_string[130];

void storageError(int rc, const char *routine, const char *path, int code)
{
  setExitResult(code, quor_perror(rc, routine, path, nullptr), 7);
}

std::string baseName(const std::string &path)
{
  size_t cut = path.rfind('/');
  if (cut == std::string::npos)
    return path;
  if (cut == 0)
    return path.size() == 1 ? "/" : path;
  return path.substr(cut + 1);
}

char typeLetter(unsigned type)
{
  switch (type) {
  case 132: return 'd';
  case 130: return 'l';
  case 133: return 'J';
  case 134: return 'F';
  default: return '-';
  }
}

// Link text of path into target; 0, or a negative result after the report
// (routine names the call for the listing that failed).
int readLinkText(const char *path, std::string *target, const char *routine)
{
  char buf[1025];
  int rc = ozu_EioRetry([&] { return quor_Readlink(path, buf, 1024); });
  if (rc < 0) {
    storageError(rc, routine, path, 74);
    return rc;
  }
  buf[std::min(rc, 1024)] = '\0';
  *target = buf;
  return 0;
}

void volumeTable(const quor_xfileattr_t &x, bool everyLevel)
{
  fprintf(listF, "\nStorage   VV   Stripe  \n Level   Count  Width  Bytes at Level\n");
  fprintf(listF, "%s\n", std::string(76, '-').c_str());
  int toShow = everyLevel ? 5 : 1;
  for (int level = 0; level < QUOR_MAX_LEVELS && toShow > 0; ++level) {
    const bf_sc_attrib_t &sc = x.SCAttrib[level];
    bool disk = (sc.Flags & 0x1) != 0;
    if (!everyLevel && disk)
      continue;
    --toShow;
    fprintf(listF, " %d %s %3d    %4d  ", level, disk ? "(disk)" : "(tape)", int(sc.NumberOfVVs),
            int(sc.StripeWidth));
    if (!(sc.Flags & 0x4)) {
      fprintf(listF, "%31s(no data at this level)\n", "");
      continue;
    }
    fprintf(listF, "%llu\n", (unsigned long long)sc.BytesAtLevel);
    unsigned nvv = std::min<unsigned>(sc.NumberOfVVs, QUOR_MAX_LEVEL_VVS);
    for (unsigned v = 0; v < nvv; ++v) {
      const bf_vv_attrib_t &vv = sc.VVAttrib[v];
      char *id = nullptr;
      SOID_ToString(&vv.VVID, &id);
      fprintf(listF, "  VV[%2d]:   VVID: %s\n", int(v), id ? id : "");
      free(id);
      fprintf(listF, "  Pos:%5d   PV List: ", int(vv.RelPosition));
      unsigned npv = vv.PVList ? vv.PVList->List_len : 0;
      for (unsigned p = 0; p < npv; ++p) {
        if (p > 0 && p % 4 == 0)
          fprintf(listF, "\n%21s", "");
        const pv_list_element_t &pv = vv.PVList->List_val[p];
        fprintf(listF, "%.8s%s ", pv.Name, (pv.Flags & 0x8) ? "/S" : "  ");
      }
      fprintf(listF, "\n");
    }
  }
}

}  // namespace

void ozu_LsModeField(unsigned type, const quor_Attrs_t *attrs, char out[11])
{
  int owner = 0, group = 0, other = 0;
  ozu_NsPermsToMode_t(attrs, nullptr, &owner, &group, &other);
  out[0] = typeLetter(type);
  out[1] = (owner & 0400) ? 'r' : '-';
  out[2] = (owner & 0200) ? 'w' : '-';
  out[3] = (owner & 04000) ? ((owner & 0100) ? 's' : 'S') : ((owner & 0100) ? 'x' : '-');
  out[4] = (group & 040) ? 'r' : '-';
  out[5] = (group & 020) ? 'w' : '-';
  out[6] = (group & 02000) ? ((group & 010) ? 's' : 'S') : ((group & 010) ? 'x' : '-');
  out[7] = (other & 04) ? 'r' : '-';
  out[8] = (other & 02) ? 'w' : '-';
  out[9] = (other & 01000) ? ((other & 01) ? 't' : 'T') : ((other & 01) ? 'x' : '-');
  out[10] = '\0';
}

std::string ozu_LsTimeField(time_t when, time_t now, int fullDate, const char *name)
{
  char ct[64];
  struct tm tmv;
  if (localtime_r(&when, &tmv) == nullptr || asctime_r(&tmv, ct) == nullptr)
    snprintf(ct, sizeof ct, "%-24s", "???");
  char buf[1400];
  // Signed 64-bit differences: no wrap for times past 2038 or far back.
  int64_t age = int64_t(now) - int64_t(when);
  if (fullDate)
    snprintf(buf, sizeof buf, "%-24.24s %s", ct, name);
  else if (age < 0 || age > kOldAge)
    snprintf(buf, sizeof buf, "%-7.7s %-4.4s %s", ct + 4, ct + 20, name);
  else
    snprintf(buf, sizeof buf, "%-12.12s %s", ct + 4, name);
  return buf;
}

const char *ozu_LsAccountText(int handle, acct_rec_t account, quor_id_t site)
{
  if (handle == account_handle && int64_t(account) == account_id)
    return acct_string;
  account_handle = handle;
  account_id = account;
  char name[256] = "";
  int rc = ozu_EioRetry([&] { return quor_AcctCodeToName(account, &site, name); });
  name[sizeof name - 1] = '\0';
  if (rc < 0 || strlen(name) > 12)
    snprintf(acct_string, sizeof acct_string, "%12d", int(account));
  else
    snprintf(acct_string, sizeof acct_string, "%.128s", name);
  return acct_string;
}

void ozu_LsForgetAccount(void)
{
  account_handle = -1;
  account_id = -1;
  acct_string[0] = '\0';
}

void list_TapePositionInfo(const char *path, quor_xfileattr_t *x)
{
  unsigned type = x->Attrs.Type;
  const char *word = "UNKNOWN";
  switch (type) {
  case 129: word = "FILE"; break;
  case 130: word = "SYMLINK"; break;
  case 131: word = "HARDLINK"; break;
  case 132: word = "DIRECTORY"; break;
  case 133: word = "JUNCTION"; break;
  case 134: word = "FILESET_ROOT"; break;
  }
  fprintf(listF, "%s\t%s", word, path);
  if (type != 129 && type != 131)
    return;
  fprintf(listF, "\t%llu", (unsigned long long)x->Attrs.DataLength);
  int level = -1;
  uint64_t bytes = 0;
  if (ls_line_opts & LS_L) {
    const bf_sc_attrib_t &sc = x->SCAttrib[ls_P_level];
    if (sc.Flags & 0x4)
      bytes = sc.BytesAtLevel;
    if (!(sc.Flags & 0x1))
      level = ls_P_level;
  } else {
    for (int l = 0; l < QUOR_MAX_LEVELS; ++l)
      if (!(x->SCAttrib[l].Flags & 0x1) && (x->SCAttrib[l].Flags & 0x4)) {
        level = l;
        bytes = x->SCAttrib[l].BytesAtLevel;
        break;
      }
  }
  if (level >= 0 && bytes != 0 && x->SCAttrib[level].NumberOfVVs > 0) {
    const bf_vv_attrib_t &vv = x->SCAttrib[level].VVAttrib[0];
    fprintf(listF, "\t%llu\t%d\t", (unsigned long long)bytes, int(vv.RelPosition));
    unsigned npv = vv.PVList ? vv.PVList->List_len : 0;
    for (unsigned p = 0; p < npv; ++p)
      fprintf(listF, "%s%.8s", p ? "," : "", vv.PVList->List_val[p].Name);
  } else {
    fprintf(listF, "\t%llu\t0\t ", (unsigned long long)bytes);
  }
  fprintf(listF, "\t%u\t%u\t%u", unsigned(x->Attrs.COSId), unsigned(x->Attrs.FamilyId),
          unsigned(x->Attrs.SubSystemId));
  for (timestamp_sec_t t : {x->Attrs.TimeCreated, x->Attrs.TimeModified}) {
    time_t tt = time_t(t);
    struct tm tmv;
    memset(&tmv, 0, sizeof tmv);
    localtime_r(&tt, &tmv);
    fprintf(listF, "\t%2.2d/%2.2d/%4.4d\t%2.2d:%2.2d:%2.2d", tmv.tm_mon + 1, tmv.tm_mday,
            tmv.tm_year + 1900, tmv.tm_hour, tmv.tm_min, tmv.tm_sec);
  }
}

void listQUORnode(const char *pathIn)
{
  std::string path = pathIn;
  if (path.size() > 1 && path.back() == '/')
    path.pop_back();
  const int opts = ls_line_opts;
  const bool extended = (opts & (LS_U | LS_V | LS_X | LS_P)) != 0;
  quor_xfileattr_t x;
  memset(&x, 0, sizeof x);
  quor_Attrs_t *a = &x.Attrs;
  int rc;
  if (extended) {
    uint32_t flags = (opts & (LS_P | LS_V | LS_X)) ? 8 : 1;
    rc = ozu_EioRetry([&] { return quor_FileGetXAttributes(path.c_str(), flags, 0, &x); });
  } else {
    rc = ozu_EioRetry([&] { return quor_GetListAttrs(path.c_str(), a); });
    if (rc == 0 && a->Type == 133) {
      quor_fileattr_t full;
      rc = ozu_EioRetry([&] { return quor_FileGetAttributes(path.c_str(), &full); });
      if (rc == 0) {
        *a = full.Attrs;
        a->Type = 133;
      }
    }
  }
  if (rc < 0) {
    storageError(rc, verb, path.c_str(), 72);
    return;
  }
  struct Release {
    quor_xfileattr_t *x;
    bool on;
    ~Release()
    {
      if (on)
        quor_FreeXAttributes(x);
    }
  } release{&x, extended};
  if (opts & LS_P) {
    list_TapePositionInfo(path.c_str(), &x);
    return;
  }
  const unsigned type = a->Type;
  const bool fileLike = type == 129 || type == 131;
  char modes[11];
  ozu_LsModeField(type, a, modes);
  fprintf(listF, "%s %3d ", modes, int(a->LinkCount));
  fprintf(listF, "%-8s  ", lookupUname(long(a->UID)));
  fprintf(listF, "%-8s ", lookupGname(long(a->GID)));
  if (opts & (LS_U | LS_V | LS_X)) {
    int handle = keyset && keyset->curContext ? keyset->curContext->handle : -1;
    const char *acct = ozu_LsAccountText(handle, a->Account, a->RealmId);
    if (fileLike) {
      fprintf(listF, " %5d %12s", int(a->COSId), acct);
      if (a->DataLength == 0)
        fprintf(listF, " EMPTY");
      else
        fprintf(listF, " %4s ", (x.SCAttrib[0].Flags & 5) == 5 ? "DISK" : "TAPE");
      fprintf(listF, "%s", (a->OptionFlags & 0x1) ? "-L" : "  ");
    } else {
      fprintf(listF, "       %12s        ", acct);
    }
  }
  if (opts & LS_S) {
    char human[32];
    u64_to_decflt(a->DataLength, 0, human);
    fprintf(listF, "%-11s ", human);
  } else {
    fprintf(listF, "%11llu ", (unsigned long long)a->DataLength);
  }
  timestamp_sec_t when;
  if (opts & LS_T) {
    switch (lstype_Flag) {
    case TIME_LAST_READ: when = a->TimeLastRead; break;
    case TIME_CREATED: when = a->TimeCreated; break;
    case TIME_METADATA_UPDATED: when = a->TimeModified; break;
    default: when = a->TimeLastWritten; break;
    }
  } else if (fileLike) {
    when = a->TimeLastWritten ? a->TimeLastWritten : a->TimeCreated;
  } else {
    when = a->TimeModified;
  }
  fprintf(listF, "%s",
          ozu_LsTimeField(time_t(when), time(nullptr), (opts & LS_D) != 0,
                          baseName(path).c_str())
              .c_str());
  if (type == 130) {
    std::string target;
    if (readLinkText(pathIn, &target, "read symbolic link") < 0)
      return;
    fprintf(listF, "@ -> %s", target.c_str());
  }
  if (opts & LS_A)
    fprintf(listF, "\nAnnotation: %.*s\n", int(sizeof a->Comment), a->Comment);
  if ((opts & (LS_V | LS_X)) && fileLike)
    volumeTable(x, (opts & LS_X) != 0);
}

// ---- node lists ----

quorDNode *ozu_LinkSortedDNodes(std::vector<quorDNode *> &nodes)
{
  std::stable_sort(nodes.begin(), nodes.end(), [](const quorDNode *a, const quorDNode *b) {
    return strcmp(a->nodename, b->nodename) < 0;
  });
  quorDNode *prev = nullptr;
  for (quorDNode *n : nodes) {
    n->prev = prev;
    n->next = nullptr;
    if (prev)
      prev->next = n;
    prev = n;
  }
  return nodes.empty() ? nullptr : nodes.front();
}

void RealReleasequorDNodes(quorDNode *head)
{
  // Remember the allocations first: a node inside a block must not be read
  // once the block is gone.
  std::vector<quorDNode *> blocks;
  for (quorDNode *n = head; n; n = n->next) {
    free(n->nodename);
    n->nodename = nullptr;
    if (n->malloced)
      blocks.push_back(n);
  }
  for (quorDNode *b : blocks)
    free(b);
}

// ---- the cache ----

namespace {

struct cacheEnt {
  char *path;
  int allNames;
  quorDNode *dnode;
  uint64_t reftime;  // when stored or last found, in uses of the cache
};
const int kCacheSize = 15;
cacheEnt cache[kCacheSize];
// A count rather than the clock: the entry used longest ago is known even
// within one second.
uint64_t cacheTick = 0;

void dropEntry(cacheEnt &e)
{
  RealReleasequorDNodes(e.dnode);
  free(e.path);
  e = cacheEnt{nullptr, 0, nullptr, 0};
}

bool cacheHolds(const quorDNode *list)
{
  for (const cacheEnt &e : cache)
    if (e.dnode && e.dnode == list)
      return true;
  return false;
}

}  // namespace

quorDNode *listCacheLookup(const char *path, int allNames)
{
  if (!cacheFlag)
    return nullptr;
  for (cacheEnt &e : cache)
    if (e.dnode && e.allNames == allNames && strcmp(e.path, path) == 0) {
      e.reftime = ++cacheTick;
      return e.dnode;
    }
  return nullptr;
}

void pushListCache(const char *path, int allNames, quorDNode *list)
{
  if (!cacheFlag || list == nullptr)
    return;
  int slot = -1;
  for (int i = 0; i < kCacheSize && slot < 0; ++i)
    if (cache[i].dnode == nullptr)
      slot = i;
  if (slot < 0) {
    slot = 0;
    for (int i = 1; i < kCacheSize; ++i)
      if (cache[i].reftime < cache[slot].reftime)
        slot = i;
    dropEntry(cache[slot]);
  }
  char *copy = strdup(path);
  if (copy == nullptr)
    return;
  cache[slot] = cacheEnt{copy, allNames, list, ++cacheTick};
}

void listVoidPath(const char *pathIn)
{
  std::string path = pathIn ? pathIn : "";
  if (path.size() > 1 && path.back() == '/')
    path.pop_back();
  for (cacheEnt &e : cache)
    if (e.dnode && path == e.path)
      dropEntry(e);
}

void listVoidCache(void)
{
  for (cacheEnt &e : cache)
    if (e.dnode)
      dropEntry(e);
}

int listCacheCount(void)
{
  int n = 0;
  for (const cacheEnt &e : cache)
    n += e.dnode != nullptr;
  return n;
}

void ReleasequorDNodes(quorDNode *head)
{
  if (!cacheHolds(head))
    RealReleasequorDNodes(head);
}

std::vector<std::vector<int>> ozu_ColumnRows(int n, int k, bool across)
{
  std::vector<std::vector<int>> rows;
  if (n <= 0)
    return rows;
  if (k < 1)
    k = 1;
  if (across || n < k) {
    for (int i = 0; i < n; ++i) {
      if (i % k == 0)
        rows.emplace_back();
      rows.back().push_back(i);
    }
    return rows;
  }
  // Every column takes n / k cells and the first n % k one more.
  int per = n / k, extra = n % k;
  int nrows = per + (extra ? 1 : 0);
  for (int r = 0; r < nrows; ++r) {
    rows.emplace_back();
    for (int c = 0; c < k; ++c)
      if (r < per + (c < extra ? 1 : 0))
        rows.back().push_back(c * per + std::min(c, extra) + r);
  }
  return rows;
}

// ---- the ls command ----

namespace {

int lsOpts = 0;

const char *const lsUsageText[] = {
    "Usage: ls [options] [path ...]",
    "  -a  list names beginning with '.'",
    "  -c  sort by time of last change (deferred)",
    "  -d  list a directory as an entry, not its contents",
    "  -l  long form",
    "  -p  mark directories (deferred)",
    "  -r  reverse the order of names (deferred)",
    "  -s  with -1: a size column before each path",
    "  -u  sort by time of last access (deferred)",
    "  -x  names across the lines (deferred)",
    "  -A  long form with each object's annotation",
    "  -C  names down the columns",
    "  -D  long form with the full date and time",
    "  -F  mark object types (deferred)",
    "  -H  a heading before a long listing",
    "  -O  directories listed unordered",
    "  -P  tape-position form",
    "  -R  list subdirectories recursively",
    "  -S  long form with sizes for people",
    "  -T  long form with the time w (written), r (read), c (created) or m (metadata)",
    "  -U  print QUOR-specific information",
    "  -V  as -U, with the volume table of the first tape level",
    "  -X  as -U, with the volume table of every level",
    "  -1  one path per line",
};

void lsUsage()
{
  for (const char *line : lsUsageText)
    fprintf(listF, "%s\n", line);
}

std::string joinPath(const std::string &dir, const char *name)
{
  return dir == "/" ? "/" + std::string(name) : dir + "/" + name;
}

int perLineFor(int width)
{
  if (lsOpts & (LS_1 | LS_LONG))
    return 1;
  int cols = keyset ? keyset->cols_per_line : 80;
  int n = cols / (width + 2);
  return n < 1 ? 1 : n;
}

// The target of a link for a one-per-line listing; false ends the listing.
bool showLinkTarget(const char *path, const char *routine)
{
  std::string target;
  if (readLinkText(path, &target, routine) < 0)
    return false;
  fprintf(listF, "@ -> %s", target.c_str());
  return true;
}

void sizeColumn(const char *path, const char *routine)
{
  quor_Attrs_t a;
  int rc = ozu_EioRetry([&] { return quor_GetListAttrs(path, &a); });
  if (rc < 0) {
    storageError(rc, routine, path, 72);
    return;
  }
  if (lsOpts & LS_S) {
    char human[32];
    u64_to_decflt(a.DataLength, 0, human);
    fprintf(listF, " %s ", human);
  } else {
    fprintf(listF, " %llu ", (unsigned long long)a.DataLength);
  }
}

void spinner(int *turn)
{
  static const char *const inprog[] = {"|", "/", "-", "\\"};
  if (progressFlag)
    ozu_ConsoleMessage(inprog[(*turn)++ % 4]);
}

}  // namespace

// The sorted names of one directory, from the cache or read from storage;
// null when there are none or it could not be read.
quorDNode *list_QUOR_Dir_Short(const char *pathIn)
{
  std::string path = pathIn;
  if (path.size() > 1 && path.back() == '/')
    path.pop_back();
  const int allNames = (lsOpts & LS_a) ? 1 : 0;
  quorDNode *cached = listCacheLookup(path.c_str(), allNames);
  if (cached) {
    if (progressFlag)
      ozu_ConsoleMessage("");
    return cached;
  }
  quor_stat_t st;
  int rc = ozu_EioRetry([&] { return quor_Lstat(path.c_str(), &st); });
  if (rc < 0) {
    setExitResult(72, quor_perror(rc, verb, path.c_str(), nullptr), 6);
    return nullptr;
  }
  if (!S_ISDIR(st.st_mode)) {
    std::string msg = "*** Not a directory: " + path;
    setExitResult(72, msg.c_str(), 6);
    return nullptr;
  }
  int dirdes = ozu_EioRetry([&] { return quor_Opendir(path.c_str()); });
  if (dirdes < 0) {
    setExitResult(72, quor_perror(dirdes, "quor_Opendir", path.c_str(), nullptr), 6);
    return nullptr;
  }
  // Batches start small and double while they come back full, up to the
  // configured size: a small directory costs little memory, a big one few
  // requests. (A directory's link count says nothing of its entries.)
  const long maxBatch = globalDefs.maxReaddirEntries > 0 ? globalDefs.maxReaddirEntries : 1000;
  std::vector<ns_DirEntry_t> batch(size_t(std::min(maxBatch, 64L)));
  std::vector<quorDNode *> nodes;
  uint64_t offset = 0;
  uint32_t end = 0;
  int turn = 0;
  size_t taken = 0;
  bool failed = false;
  while (!interrupted && !end && !failed) {
    uint64_t next = 0;
    int got = ozu_EioRetry([&] {
      return quor_ReadAttrs(dirdes, offset, uint32_t(sizeof(ns_DirEntry_t) * batch.size()), 0,
                            &end, &next, batch.data());
    });
    if (got < 0) {
      storageError(got, "read QUOR directory", path.c_str(), 74);
      break;
    }
    offset = next;
    got = std::min(got, int(batch.size()));
    const bool full = got == int(batch.size());
    // One allocation for the nodes of a batch; its first node frees it.
    quorDNode *block = got > 0 ? static_cast<quorDNode *>(calloc(size_t(got), sizeof(quorDNode)))
                               : nullptr;
    if (got > 0 && block == nullptr) {
      std::string msg = "out of memory listing directory `" + path + "'";
      setExitResult(78, msg.c_str(), 7);
      break;
    }
    int used = 0;
    for (int i = 0; i < got; ++i) {
      ns_DirEntry_t &e = batch[size_t(i)];
      e.Name[sizeof e.Name - 1] = '\0';
      if (taken % 100 == 0)
        spinner(&turn);
      if (e.Name[0] == '.' && !allNames)
        continue;
      quorDNode *n = &block[used++];
      n->nodename = strdup(e.Name);
      if (n->nodename == nullptr) {
        --used;
        std::string msg = "out of memory copying QUOR nodename '" + std::string(e.Name) + "'";
        setExitResult(78, msg.c_str(), 7);
        failed = true;
        break;
      }
      switch (e.ObjHandle.Type) {
      case 129:
      case 131: n->mode = 0x8000; break;
      case 132: n->mode = 0x4000; break;
      case 130: n->mode = 0xA000; break;
      default: n->mode = 0; break;
      }
      ++taken;
      nodes.push_back(n);
    }
    if (used > 0)
      block[0].malloced = 1;
    else
      free(block);
    if (full && long(batch.size()) < maxBatch)
      batch.resize(size_t(std::min(maxBatch, long(batch.size()) * 2)));
  }
  if (progressFlag)
    ozu_ConsoleMessage("");
  quorDNode *list = ozu_LinkSortedDNodes(nodes);
  pushListCache(path.c_str(), allNames, list);
  rc = ozu_EioRetry([&] { return quor_Closedir(dirdes); });
  if (rc < 0)
    setExitResult(71, quor_perror(rc, "quor_Closedir", path.c_str(), nullptr), 7);
  return list;
}

void list_dir_short(const char *dirpath)
{
  std::string dir = dirpath;
  if (dir.size() > 1 && dir.back() == '/')
    dir.pop_back();
  quorDNode *list = list_QUOR_Dir_Short(dir.c_str());
  if (interrupted || list == nullptr) {
    if (!(lsOpts & (LS_1 | LS_P)))
      fprintf(listF, "\r%s:\n", dir.c_str());
    if (list)
      ReleasequorDNodes(list);
    return;
  }
  std::vector<quorDNode *> nodes;
  size_t longest = 0;
  bool marked = false;
  for (quorDNode *n = list; n; n = n->next) {
    nodes.push_back(n);
    longest = std::max(longest, strlen(n->nodename));
    marked = marked || n->mode == 0x4000 || n->mode == 0xA000;
  }
  int width = longest == 0 ? 16 : int(longest) + (marked ? 1 : 0);
  int perLine = perLineFor(width);
  if (lsOpts & LS_r)
    std::reverse(nodes.begin(), nodes.end());
  bool across = (lsOpts & LS_x) && !(lsOpts & LS_C);
  if (!(lsOpts & (LS_1 | LS_P)))
    fprintf(listF, "\n%s:\n", dir.c_str());
  bool stop = false;
  for (const std::vector<int> &row : ozu_ColumnRows(int(nodes.size()), perLine, across)) {
    for (int i : row) {
      if (interrupted || stop)
        break;
      quorDNode *n = nodes[size_t(i)];
      std::string full = joinPath(dir, n->nodename);
      if (lsOpts & LS_1) {
        if (lsOpts & LS_s) {
          if (n->mode == 0xA000)
            fprintf(listF, "l         ");
          else if (n->mode == 0x4000)
            fprintf(listF, "-         ");
          else
            sizeColumn(full.c_str(), "quor_GetListAttrs");
        }
        fprintf(listF, "%s", full.c_str());
        if (n->mode == 0xA000 && !showLinkTarget(full.c_str(), "read symbolic link")) {
          stop = true;
          break;
        }
        if (n->mode == 0x4000)
          fprintf(listF, "/");
      } else if (lsOpts & LS_LONG) {
        listQUORnode(full.c_str());
      } else {
        std::string cell = n->nodename;
        if (n->mode == 0x4000)
          cell += "/";
        else if (n->mode == 0xA000)
          cell += "@";
        fprintf(listF, "%-*s  ", width, cell.c_str());
      }
    }
    fprintf(listF, "\n");
    if (interrupted || stop)
      break;
  }
  // The subdirectories are taken out before the list is let go: listing
  // them may evict this list from the cache and free it.
  std::vector<std::string> subdirs;
  if ((lsOpts & LS_R) && !interrupted && !stop) {
    for (quorDNode *n = list; n; n = n->next)
      if (n->mode == 0x4000 && strcmp(n->nodename, ".") != 0 && strcmp(n->nodename, "..") != 0)
        subdirs.push_back(joinPath(dir, n->nodename));
  }
  ReleasequorDNodes(list);
  for (const std::string &sub : subdirs) {
    if (interrupted)
      break;
    list_dir_short(sub.c_str());
  }
}

namespace {

int fastListEntry(ns_DirEntry_t *entry, int isdir, const char *, const char *fullPath)
{
  if (entry->Name[0] == '.' && !(lsOpts & LS_a))
    return 0;
  if (lsOpts & LS_1) {
    if (lsOpts & LS_s) {
      if (isdir)
        fprintf(listF, "-          ");
      else
        fprintf(listF, "%-17llu ", (unsigned long long)entry->Attrs.DataLength);
    }
    fprintf(listF, "%s%s\n", fullPath, isdir ? "/" : "");
  } else {
    listQUORnode(fullPath);
    fprintf(listF, "\n");
  }
  return 0;
}

int fastNewSubdir(const char *, const char *fullPath, ns_DirEntry_t *)
{
  if (!(lsOpts & LS_P))
    fprintf(listF, "\r%s:\n", fullPath);
  return 0;
}

}  // namespace

void list_dir_fast(const char *path)
{
  readQUORdir(path, (lsOpts & LS_R) ? 1 : 0, fastListEntry, fastNewSubdir, nullptr);
}

namespace {

struct lsEntry {
  std::string base;
  std::string parent;  // directory part, empty when the name has no "/"
  bool dropped = false;
  bool hidden = false;
  bool dir = false;
  bool link = false;
};

void globList(int expanded)
{
  const int keepHidden = (lsOpts & LS_a) ||
                         (expanded && (lsOpts & (LS_l | LS_D | LS_S | LS_T | LS_V | LS_X)));
  std::vector<lsEntry> ents(static_cast<size_t>(globInx));
  size_t widest = 0;
  bool marked = false;
  bool anyShown = false;
  for (int i = 0; i < globInx && !interrupted; ++i) {
    globstruct_t &g = globv[i];
    lsEntry &e = ents[size_t(i)];
    std::string name = g.name ? g.name : "";
    e.base = baseName(name);
    size_t cut = name.rfind('/');
    if (cut != std::string::npos)
      e.parent = cut == 0 ? "/" : name.substr(0, cut);
    e.dir = g.dir;
    e.link = g.symlink;
    if ((g.statflag || g.globbed) && !keepHidden && e.base[0] == '.' && name != "/")
      e.hidden = true;
    if (!g.statflag && !g.globbed && !e.hidden) {
      quor_stat_t st;
      int rc = ozu_EioRetry([&] { return quor_Lstat(name.c_str(), &st); });
      if (rc < 0) {
        storageError(rc, "quor_Lstat", name.c_str(), 70);
        e.dropped = true;
      } else {
        e.dir = S_ISDIR(st.st_mode);
        e.link = S_ISLNK(st.st_mode);
      }
    }
    if (!e.hidden) {
      widest = std::max(widest, e.base.size());
      marked = marked || e.dir || e.link;
      anyShown = anyShown || !e.dropped;
    }
  }
  bool allHidden = true;
  for (const lsEntry &e : ents)
    allHidden = allHidden && e.hidden;
  if (ents.empty() || allHidden)
    return;
  int width = int(widest) + (marked ? 1 : 0);
  int perLine = perLineFor(width);
  const bool longForm = (lsOpts & LS_LONG) != 0;
  if (longForm && (lsOpts & LS_H)) {
    if (lsOpts & LS_P)
      fprintf(listF, "Fields: 0:type 1:object name 2:size 3:bytes at 1st tape level 4:tape pos "
                     "5: vsn list \n        6:cos 7:family 8:subsys 9:create date 10:create "
                     "time 11:modification time\n");
    else if (lsOpts & (LS_U | LS_V | LS_X))
      fprintf(listF, "Mode     Links Owner     Group       COS       Acct   Where     Size    "
                     "Date   Time  Entry\n");
    else
      fprintf(listF, "Mode     Links Owner     Group       Size    Date   Time  Entry\n");
  }
  const bool expandDirs = (expanded && !(lsOpts & LS_d)) || (lsOpts & LS_R);
  std::vector<int> order;
  for (int i = 0; i < globInx; ++i)
    order.push_back(i);
  if (lsOpts & LS_r)
    std::reverse(order.begin(), order.end());
  // The first entry shown in sorted order opens its group without a blank
  // line, also under -r where it comes last.
  int firstShown = -1;
  for (int i = 0; i < globInx && firstShown < 0; ++i)
    if (!ents[size_t(i)].dropped && !ents[size_t(i)].hidden)
      firstShown = i;
  std::string prevParent;
  int inLine = 0;
  bool stop = false;
  for (int i : order) {
    if (interrupted || stop)
      break;
    lsEntry &e = ents[size_t(i)];
    if (e.dropped || e.hidden || (expanded && expandDirs && e.dir))
      continue;
    const char *full = globv[i].name;
    if (lsOpts & LS_1) {
      if (lsOpts & LS_s) {
        if (e.dir)
          fprintf(listF, "-         ");
        else if (e.link)
          fprintf(listF, "l         ");
        else
          sizeColumn(full, verb);
      }
      fprintf(listF, "%s", full);
      if (e.link && !showLinkTarget(full, "quor_Readlink")) {
        fprintf(listF, "\n");
        stop = true;
        break;
      }
      if (e.dir)
        fprintf(listF, "/");
      fprintf(listF, "\n");
      continue;
    }
    if (!e.parent.empty() && e.parent != prevParent) {
      if (inLine) {
        fprintf(listF, "\n");
        inLine = 0;
      }
      if (i != firstShown)
        fprintf(listF, "\n");
      if (!(lsOpts & LS_P))
        fprintf(listF, "%s:\n", e.parent.c_str());
      prevParent = e.parent;
    }
    if (longForm) {
      listQUORnode(full);
    } else {
      std::string cell = e.base + (e.link ? "@" : (e.dir ? "/" : ""));
      fprintf(listF, "%-*s  ", width, cell.c_str());
    }
    if (++inLine >= perLine) {
      fprintf(listF, "\n");
      inLine = 0;
    }
  }
  if (inLine)
    fprintf(listF, "\n");
  if (interrupted || !expandDirs || stop)
    return;
  for (int i = 0; i < globInx && !interrupted; ++i) {
    const lsEntry &e = ents[size_t(i)];
    if (!e.dir || e.dropped || e.hidden)
      continue;
    if (lsOpts & LS_O)
      list_dir_fast(globv[i].name);
    else
      list_dir_short(globv[i].name);
  }
}

struct lsLetter {
  char letter;
  int bit;
};
const lsLetter lsLetters[] = {
    {'a', LS_a}, {'d', LS_d}, {'l', LS_l}, {'r', LS_r}, {'s', LS_s}, {'x', LS_x},
    {'A', LS_A}, {'C', LS_C}, {'D', LS_D}, {'H', LS_H}, {'O', LS_O}, {'P', LS_P},
    {'R', LS_R}, {'S', LS_S}, {'U', LS_U}, {'V', LS_V}, {'X', LS_X}, {'1', LS_1},
    {'c', 0},    {'p', 0},    {'u', 0},    {'F', 0},
};

}  // namespace

int ozu_ListCommand(char *cc, int cclen)
{
  ozu_cmd_t cmd(cc, cclen);
  ls_P_level = 0;
  lsOpts = 0;
  bool usageShown = false;
  bool end = false;
  ozu_optind = 0;
  ozu_opterr = 0;
  for (int c; (c = ozu_CmdOption(&cmd, "?acdlprsuxACDFHL:OPRST:UVX1", nullptr)) != OZU_OPT_END;) {
    bool known = false;
    for (const lsLetter &l : lsLetters)
      if (c == l.letter) {
        lsOpts |= l.bit;
        known = true;
      }
    if (known)
      continue;
    if (c == 'L') {
      char *stopAt = nullptr;
      long level = strtol(ozu_optarg ? ozu_optarg : "", &stopAt, 10);
      if (ozu_optarg == nullptr || *ozu_optarg == '\0' || *stopAt != '\0' || level < 0 ||
          level > 4) {
        char msg[1200];
        snprintf(msg, sizeof msg, "*** Bad option '%s' for -L parameter (must be between 0 and %d)",
                 ozu_optarg ? ozu_optarg : "", 4);
        setExitResult(64, msg, 7);
        end = true;
        break;
      }
      ls_P_level = int(level);
      lsOpts |= LS_L;
    } else if (c == 'T') {
      static const struct {
        char letter;
        LS_TIME_DISPLAY_TYPE t;
      } kinds[] = {{'w', TIME_LAST_WRITTEN}, {'r', TIME_LAST_READ},
                   {'c', TIME_CREATED}, {'m', TIME_METADATA_UPDATED}};
      bool ok = false;
      for (const auto &k : kinds)
        if (ozu_optarg && ozu_optarg[0] == k.letter && ozu_optarg[1] == '\0') {
          lstype_Flag = k.t;
          lsOpts |= LS_T;
          ok = true;
        }
      if (!ok)
        fprintf(listF, "Bad option '%s' for -T ignored (must be w,r,c or m)\n",
                ozu_optarg ? ozu_optarg : "");
    } else if (!usageShown) {
      lsUsage();
      usageShown = true;
    }
  }
  std::vector<std::string> hereDoc;
  if (!end && ozu_CmdKeywords(&cmd, OZU_KW_UNKNOWN_IS_NAME) < 0)
    end = true;
  if (!end && ns_HereDocNames(&cmd, &hereDoc) < 0)
    end = true;
  ls_line_opts = lsOpts;
  if (!end) {
    bool anyPath = false;
    for (char *word; (word = ozu_CmdNextName(&cmd)) != nullptr;) {
      anyPath = true;
      char path[OZU_CMD_PATHLEN];
      if (ozu_CmdExpandPath(&cmd, word, path) < 0)
        continue;
      int n = ozu_CmdGlob(&cmd, path, 1);
      if (n < 0)
        break;
      if (n > 0)
        globList(1);
      ozu_CmdGlobDone(&cmd);
    }
    if (!anyPath && !usageShown && !interrupted) {
      const char *cwd = getcwdQUOR(0);
      matchAllQUORdir(cwd && *cwd ? cwd : "/");
      for (int i = 0; i < globInx; ++i)
        globv[i].statflag = 1;
      globList(0);
      ozu_GlobCleanup();
    }
  }
  ls_line_opts = 0;
  lsOpts = 0;
  lstype_Flag = TIME_LAST_WRITTEN;
  return 1;
}
