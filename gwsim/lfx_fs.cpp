// The lfx file-system calls on the served host directory; see lfx.h.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <stdio.h>
#include <string.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <memory>

#include "config_values.h"
#include "dataconn.h"
#include "reply.h"
#include "lfx.h"
#include "msg_lfx.h"
#include "session.h"
#include "store.h"

#define CODEC(f) reinterpret_cast<xdrproc_t>(f)

namespace {

const int kMaxLinks = 40;
const size_t kNameMax = 255;

typedef struct lfx_dir {
  int inUse = 0;
  std::vector<std::string> comps;  // the directory
  std::vector<std::string> names;  // ".", "..", then its names in byte order
  size_t next = 0;
} lfx_dir_t;

}  // namespace

// What one connection keeps of the lfx file system (request loop only).
struct gw_lfx_state {
  int cwdSet = 0;
  std::vector<std::string> cwd;
  std::vector<lfx_dir_t> dirs;
};

namespace {

gw_lfx_state* state_of(gw_conn_t* conn) {
  std::shared_ptr<void>& slot = gw_DataSlot(conn, GW_SLOT_LFX);
  if (!slot) slot = std::make_shared<gw_lfx_state>();
  return static_cast<gw_lfx_state*>(slot.get());
}

std::vector<std::string> split(const char* path) {
  std::vector<std::string> out;
  std::string cur;
  for (const char* p = path;; p++) {
    if (*p == '/' || *p == '\0') {
      if (!cur.empty() && cur != ".") out.push_back(cur);
      cur.clear();
      if (*p == '\0') break;
    } else {
      cur += *p;
    }
  }
  return out;
}

std::string join(const std::vector<std::string>& comps) {
  if (comps.empty()) return "/";
  std::string s;
  for (const std::string& c : comps) s += "/" + c;
  return s;
}

bool in_group(const gw_conn_t* conn, uint32_t gid) {
  if (gid == gw_SessionGid(conn)) return true;
  if (conn->idSet || !conn->user) return false;
  const std::vector<uint32_t>& g = conn->user->groups;
  return std::find(g.begin(), g.end(), gid) != g.end();
}

int lstat_comps(const gw_conn_t* conn, const std::vector<std::string>& comps, struct stat* st) {
  if (lstat(gw_LfxHostPath(conn, comps).c_str(), st) < 0) return gw_LfxErr(errno);
  return 0;
}

std::vector<std::string> parent(std::vector<std::string> comps) {
  if (!comps.empty()) comps.pop_back();
  return comps;
}

// The parent of comps is a directory the session may add to or remove from.
int may_change_parent(const gw_conn_t* conn, const std::vector<std::string>& comps) {
  struct stat pst;
  int rc = lstat_comps(conn, parent(comps), &pst);
  if (rc < 0) return rc;
  if (!S_ISDIR(pst.st_mode)) return -20;
  return gw_LfxMay(conn, &pst, 3) ? 0 : -13;
}

// In a sticky directory only the owner of an entry or of the directory may
// remove or rename it.
int sticky_allows(const gw_conn_t* conn, const std::vector<std::string>& comps,
                  const struct stat* st) {
  struct stat pst;
  int rc = lstat_comps(conn, parent(comps), &pst);
  if (rc < 0) return rc;
  uint32_t uid = gw_SessionUid(conn);
  if (!(pst.st_mode & S_ISVTX) || uid == 0 || uid == st->st_uid || uid == pst.st_uid) return 0;
  return -1;
}

// What gwsim makes for the user belongs to the user.
void give_to_session(const gw_conn_t* conn, const std::string& host) {
  if (geteuid() == 0 &&
      lchown(host.c_str(), gw_SessionUid(conn), gw_SessionGid(conn)) < 0) {
    // The object stays gwsim's; the checks then treat the user as a stranger.
  }
}

void fill_stat(const struct stat* st, ozu_lfx_stat_t* out) {
  memset(out, 0, sizeof *out);
  out->hst_mode = uint32_t(st->st_mode);
  out->hst_nlink = uint32_t(st->st_nlink);
  out->hst_uid = st->st_uid;
  out->hst_gid = st->st_gid;
  out->hst_mtime = st->st_mtime;
  out->hst_atime = st->st_atime;
  out->hst_ctime = st->st_ctime;
  out->hst_size = uint64_t(st->st_size);
}

// Readiness and the resolved path of a one-path request.
int start(gw_conn_t* conn, const char* path, int follow, std::vector<std::string>* comps) {
  int rc = gw_LfxReady(conn);
  if (rc < 0) return rc;
  return gw_LfxResolve(conn, path, follow, comps);
}

int stat_call(gw_conn_t* conn, void* req, gw_reply_t* reply, int follow) {
  const api_lfx_Stat_req_t* rq = static_cast<const api_lfx_Stat_req_t*>(req);
  std::vector<std::string> comps;
  struct stat st;
  int rc = start(conn, rq->Path, follow, &comps);
  if (rc == 0) rc = lstat_comps(conn, comps, &st);
  reply->errorcode = rc;
  if (rc < 0) return 0;
  api_lfx_Stat_rply_t r;
  fill_stat(&st, &r.LfxStat);
  gw_ReplyWithBody(reply, CODEC(qel_xdr_lfx_Stat_rply_t), &r);
  return 0;
}

int read_names(gw_conn_t* conn, lfx_dir_t* d) {
  std::vector<std::string> names;
  DIR* dir = opendir(gw_LfxHostPath(conn, d->comps).c_str());
  if (!dir) return gw_LfxErr(errno);
  while (struct dirent* de = readdir(dir)) {
    std::string n = de->d_name;
    if (n != "." && n != "..") names.push_back(n);
  }
  closedir(dir);
  std::sort(names.begin(), names.end());
  d->names = {".", ".."};
  d->names.insert(d->names.end(), names.begin(), names.end());
  d->next = 0;
  return 0;
}

lfx_dir_t* dir_of(gw_conn_t* conn, int32_t dirdes) {
  gw_lfx_state* s = state_of(conn);
  if (dirdes < 0 || size_t(dirdes) >= s->dirs.size() || !s->dirs[size_t(dirdes)].inUse)
    return nullptr;
  return &s->dirs[size_t(dirdes)];
}

}  // namespace

// ---- configuration, identity and paths ----

int gw_LfxLoad(quor_cfg_stanza_t* block, gw_config_t* cfg, std::string* why) {
  for (quor_cfg_stanza_t* e = block->substanzaList; e; e = e->next) {
    const char* v = e->type == CFG_SIMPLE_TYPE ? e->KeyValue : nullptr;
    std::string key = e->KeyString ? e->KeyString : "";
    auto bad = [&](const char* what) {
      *why = std::to_string(e->LineNum) + ": " + what + " " + key;
      return -22;
    };
    if (!v) return bad("Lfx key needs a value:");
    int64_t n = 0;
    if (strcasecmp(key.c_str(), "Root") == 0) {
      cfg->data.lfxRoot = v;
      continue;
    }
    if (strcasecmp(key.c_str(), "From") == 0) {
      cfg->data.lfxFrom = v;
      continue;
    }
    if (gw_ParseNumber(v, 0, INT64_MAX, &n) < 0) return bad("bad number for");
    if (strcasecmp(key.c_str(), "InlineMax") == 0)
      cfg->data.lfxInlineMax = uint64_t(n);
    else if (strcasecmp(key.c_str(), "AcceptMs") == 0 && n <= 3600000)
      cfg->data.acceptMs = uint32_t(n);
    else if (strcasecmp(key.c_str(), "IdleMs") == 0 && n <= 3600000)
      cfg->data.idleMs = uint32_t(n);
    else if (strcasecmp(key.c_str(), "DropCompletion") == 0 && n <= UINT32_MAX)
      cfg->data.dropCompletion = unsigned(n);
    else if (strcasecmp(key.c_str(), "EmptyCompletion") == 0 && n <= UINT32_MAX)
      cfg->data.emptyCompletion = unsigned(n);
    else if (strcasecmp(key.c_str(), "FailStatus") == 0 && n <= UINT32_MAX)
      cfg->data.lfxFailStatus = unsigned(n);
    else if (strcasecmp(key.c_str(), "NoConnect") == 0 && n <= UINT32_MAX)
      cfg->data.lfxNoConnect = unsigned(n);
    else if (strcasecmp(key.c_str(), "UnknownPool") == 0 && n <= UINT32_MAX)
      cfg->data.lfxUnknownPool = unsigned(n);
    else if (strcasecmp(key.c_str(), "MiscountCompletion") == 0 && n <= UINT32_MAX)
      cfg->data.lfxMiscount = unsigned(n);
    else if (strcasecmp(key.c_str(), "CloseEarly") == 0 && n <= UINT32_MAX)
      cfg->data.lfxCloseEarly = unsigned(n);
    else if (strcasecmp(key.c_str(), "ShortCompletion") == 0 && n <= UINT32_MAX)
      cfg->data.lfxShortCompletion = unsigned(n);
    else if (strcasecmp(key.c_str(), "InlineShort") == 0 && n <= UINT32_MAX)
      cfg->data.lfxInlineShort = unsigned(n);
    else if (strcasecmp(key.c_str(), "ForgetPool") == 0 && n <= UINT32_MAX)
      cfg->data.lfxForgetPool = unsigned(n);
    else
      return bad("unknown or out-of-range Lfx key");
  }
  return 0;
}

int gw_LfxSetUp(gw_config_t* cfg, std::string* err) {
  const std::string& dir = cfg->data.lfxRoot;
  if (mkdir(dir.c_str(), 0755) < 0 && errno != EEXIST) {
    *err = "cannot make the lfx directory " + dir + ": " + strerror(errno);
    return -1;
  }
  char real[PATH_MAX];
  if (!realpath(dir.c_str(), real)) {
    *err = "cannot resolve the lfx directory " + dir + ": " + strerror(errno);
    return -1;
  }
  cfg->data.lfxRoot = real;
  cfg->site.server_runmode = 2;
  return 0;
}

int gw_LfxReady(const gw_conn_t* conn) {
  if (conn->cfg->data.lfxRoot.empty()) return -5;
  if (!conn->loggedIn) return -13;
  return 0;
}

int gw_LfxErr(int err) { return gw_StoreErr(err); }

std::string gw_LfxHostPath(const gw_conn_t* conn, const std::vector<std::string>& comps) {
  std::string p = conn->cfg->data.lfxRoot;
  for (const std::string& c : comps) p += "/" + c;
  return p;
}

bool gw_LfxMay(const gw_conn_t* conn, const struct stat* st, int want) {
  uint32_t uid = gw_SessionUid(conn);
  if (uid == 0) {
    // Root reads and writes anything, but executes only what someone may.
    return !(want & 1) || S_ISDIR(st->st_mode) || (st->st_mode & 0111);
  }
  mode_t bits;
  if (uid == st->st_uid)
    bits = (st->st_mode >> 6) & 7;
  else if (in_group(conn, st->st_gid))
    bits = (st->st_mode >> 3) & 7;
  else
    bits = st->st_mode & 7;
  return (int(bits) & want) == want;
}

int gw_LfxResolve(gw_conn_t* conn, const char* path, int follow, std::vector<std::string>* out) {
  if (path == nullptr || path[0] == '\0') return -2;
  if (strlen(path) >= OZU_LFX_PATH_MAX) return -86;
  gw_lfx_state* s = state_of(conn);
  if (!s->cwdSet) {
    // The session starts in the user's home when the served tree has it.
    s->cwdSet = 1;
    s->cwd.clear();
    if (conn->user && !conn->user->home.empty()) {
      std::vector<std::string> home;
      struct stat st;
      if (gw_LfxResolve(conn, conn->user->home.c_str(), 1, &home) == 0 &&
          lstat_comps(conn, home, &st) == 0 && S_ISDIR(st.st_mode))
        s->cwd = home;
    }
  }
  std::vector<std::string> comps = path[0] == '/' ? std::vector<std::string>() : s->cwd;
  std::vector<std::string> todo = split(path);
  std::reverse(todo.begin(), todo.end());  // a stack: the next component last
  int links = 0;
  while (!todo.empty()) {
    std::string c = todo.back();
    todo.pop_back();
    if (c.size() > kNameMax) return -86;
    // The directory the component lies in must be one the session may search.
    struct stat dst;
    int rc = lstat_comps(conn, comps, &dst);
    if (rc < 0) return rc;
    if (!S_ISDIR(dst.st_mode)) return -20;
    if (!gw_LfxMay(conn, &dst, 1)) return -13;
    if (c == "..") {
      if (!comps.empty()) comps.pop_back();
      continue;
    }
    bool last = todo.empty();
    std::vector<std::string> next = comps;
    next.push_back(c);
    struct stat st;
    rc = lstat_comps(conn, next, &st);
    if (rc == -2 && last) {
      comps = next;
      break;
    }
    if (rc < 0) return rc;
    if (S_ISLNK(st.st_mode) && (!last || follow)) {
      if (++links > kMaxLinks) return -40;
      char target[PATH_MAX + 1];
      ssize_t n = readlink(gw_LfxHostPath(conn, next).c_str(), target, PATH_MAX);
      if (n < 0) return gw_LfxErr(errno);
      target[n] = '\0';
      if (n == 0) return -2;
      if (target[0] == '/') comps.clear();
      std::vector<std::string> more = split(target);
      for (auto it = more.rbegin(); it != more.rend(); ++it) todo.push_back(*it);
      continue;
    }
    comps = next;
  }
  if (join(comps).size() >= OZU_LFX_PATH_MAX) return -86;
  *out = comps;
  return 0;
}

int gw_LfxOpenForXfer(gw_conn_t* conn, const char* path, int write, int truncate,
                      uint32_t mode) {
  std::vector<std::string> comps;
  int rc = gw_LfxResolve(conn, path, 1, &comps);
  if (rc < 0) return rc;
  std::string host = gw_LfxHostPath(conn, comps);
  struct stat st;
  rc = lstat_comps(conn, comps, &st);
  if (rc == -2 && write) {
    rc = may_change_parent(conn, comps);
    if (rc < 0) return rc;
    mode_t m = mode_t(mode & 07777 & ~conn->umask);
    int fd = open(host.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, m);
    if (fd < 0) return gw_LfxErr(errno);
    give_to_session(conn, host);
    return fd;
  }
  if (rc < 0) return rc;
  if (S_ISDIR(st.st_mode)) return -21;
  if (!S_ISREG(st.st_mode)) return -22;
  if (!gw_LfxMay(conn, &st, write ? 2 : 4)) return -13;
  int flags = (write ? O_WRONLY : O_RDONLY) | O_CLOEXEC | O_NOFOLLOW;
  if (write && truncate) flags |= O_TRUNC;
  int fd = open(host.c_str(), flags);
  if (fd < 0) return gw_LfxErr(errno);
  return fd;
}

// ---- handlers ----

int gw_HandleLfxStat(gw_conn_t* conn, const api_msghdr_t*, void* req, gw_reply_t* reply) {
  return stat_call(conn, req, reply, 1);
}

int gw_HandleLfxLstat(gw_conn_t* conn, const api_msghdr_t*, void* req, gw_reply_t* reply) {
  return stat_call(conn, req, reply, 0);
}

int gw_HandleLfxOpendir(gw_conn_t* conn, const api_msghdr_t*, void* req, gw_reply_t* reply) {
  const api_lfx_Opendir_req_t* rq = static_cast<const api_lfx_Opendir_req_t*>(req);
  std::vector<std::string> comps;
  int rc = start(conn, rq->Path, 1, &comps);
  struct stat st;
  if (rc == 0) rc = lstat_comps(conn, comps, &st);
  if (rc == 0 && !S_ISDIR(st.st_mode)) rc = -20;
  if (rc == 0 && !gw_LfxMay(conn, &st, 4)) rc = -13;
  if (rc < 0) {
    reply->errorcode = rc;
    return 0;
  }
  lfx_dir_t d;
  d.inUse = 1;
  d.comps = comps;
  rc = read_names(conn, &d);
  if (rc < 0) {
    reply->errorcode = rc;
    return 0;
  }
  gw_lfx_state* s = state_of(conn);
  size_t i = 0;
  while (i < s->dirs.size() && s->dirs[i].inUse) i++;
  if (i == s->dirs.size()) s->dirs.emplace_back();
  s->dirs[i] = std::move(d);
  reply->errorcode = int32_t(i);
  return 0;
}

int gw_HandleLfxReadattrs(gw_conn_t* conn, const api_msghdr_t*, void* req, gw_reply_t* reply) {
  const api_lfx_ReadAttrs_req_t* rq = static_cast<const api_lfx_ReadAttrs_req_t*>(req);
  int rc = gw_LfxReady(conn);
  lfx_dir_t* d = rc == 0 ? dir_of(conn, rq->Dirdes) : nullptr;
  if (rc == 0 && !d) rc = -9;
  if (rc == 0 && rq->EntryCount < 0) rc = -22;
  if (rc < 0) {
    reply->errorcode = rc;
    return 0;
  }
  std::vector<ozu_lfx_attrs_t> out;
  while (d->next < d->names.size() && out.size() < size_t(rq->EntryCount)) {
    const std::string& name = d->names[d->next++];
    std::vector<std::string> comps = d->comps;
    if (name == "..")
      comps = parent(comps);
    else if (name != ".")
      comps.push_back(name);
    struct stat st;
    // An entry removed since the directory was opened is passed over.
    if (lstat_comps(conn, comps, &st) < 0) continue;
    ozu_lfx_attrs_t a;
    memset(&a, 0, sizeof a);
    memcpy(a.Filename, name.data(), std::min(name.size(), sizeof a.Filename - 1));
    fill_stat(&st, &a.LfxAttrs);
    out.push_back(a);
  }
  api_lfx_ReadAttrs_rply_t r;
  r.EntryCount = int32_t(out.size());
  r.End = d->next >= d->names.size() ? 1 : 0;
  r.Entries = out.empty() ? nullptr : out.data();
  reply->errorcode = 0;
  gw_ReplyWithBody(reply, CODEC(qel_xdr_lfx_ReadAttrs_rply_t), &r);
  return 0;
}

int gw_HandleLfxRewinddir(gw_conn_t* conn, const api_msghdr_t*, void* req, gw_reply_t* reply) {
  const api_lfx_Rewinddir_req_t* rq = static_cast<const api_lfx_Rewinddir_req_t*>(req);
  int rc = gw_LfxReady(conn);
  lfx_dir_t* d = rc == 0 ? dir_of(conn, rq->Dirdes) : nullptr;
  if (rc == 0 && !d) rc = -9;
  // A rewound directory shows what it holds now.
  if (rc == 0) rc = read_names(conn, d);
  reply->errorcode = rc;
  return 0;
}

int gw_HandleLfxClosedir(gw_conn_t* conn, const api_msghdr_t*, void* req, gw_reply_t* reply) {
  const api_lfx_Closedir_req_t* rq = static_cast<const api_lfx_Closedir_req_t*>(req);
  int rc = gw_LfxReady(conn);
  lfx_dir_t* d = rc == 0 ? dir_of(conn, rq->Dirdes) : nullptr;
  if (rc == 0 && !d) rc = -9;
  if (rc == 0) *d = lfx_dir_t();
  reply->errorcode = rc;
  return 0;
}

int gw_HandleLfxMkdir(gw_conn_t* conn, const api_msghdr_t*, void* req, gw_reply_t* reply) {
  const api_lfx_Mkdir_req_t* rq = static_cast<const api_lfx_Mkdir_req_t*>(req);
  std::vector<std::string> comps;
  int rc = start(conn, rq->Path, 0, &comps);
  struct stat st;
  if (rc == 0 && lstat_comps(conn, comps, &st) == 0) rc = -17;
  if (rc == 0) rc = may_change_parent(conn, comps);
  if (rc == 0) {
    std::string host = gw_LfxHostPath(conn, comps);
    if (mkdir(host.c_str(), mode_t(rq->Mode) & 07777 & ~mode_t(conn->umask)) < 0)
      rc = gw_LfxErr(errno);
    else
      give_to_session(conn, host);
  }
  reply->errorcode = rc;
  return 0;
}

int gw_HandleLfxChmod(gw_conn_t* conn, const api_msghdr_t*, void* req, gw_reply_t* reply) {
  const api_lfx_Chmod_req_t* rq = static_cast<const api_lfx_Chmod_req_t*>(req);
  std::vector<std::string> comps;
  int rc = start(conn, rq->Path, 1, &comps);
  struct stat st;
  if (rc == 0) rc = lstat_comps(conn, comps, &st);
  uint32_t uid = gw_SessionUid(conn);
  if (rc == 0 && uid != 0 && uid != st.st_uid) rc = -1;
  if (rc == 0 && chmod(gw_LfxHostPath(conn, comps).c_str(), mode_t(rq->Mode) & 07777) < 0)
    rc = gw_LfxErr(errno);
  reply->errorcode = rc;
  return 0;
}

int gw_HandleLfxChown(gw_conn_t* conn, const api_msghdr_t*, void* req, gw_reply_t* reply) {
  const api_lfx_Chown_req_t* rq = static_cast<const api_lfx_Chown_req_t*>(req);
  std::vector<std::string> comps;
  int rc = start(conn, rq->Path, 1, &comps);
  struct stat st;
  if (rc == 0) rc = lstat_comps(conn, comps, &st);
  uint32_t uid = gw_SessionUid(conn);
  const uint32_t keep = 0xFFFFFFFFu;
  if (rc == 0 && uid != 0) {
    // An owner may hand the file to one of its own groups, nothing more.
    bool ownerKept = rq->Owner == keep || rq->Owner == st.st_uid;
    bool groupOk = rq->Group == keep || rq->Group == st.st_gid || in_group(conn, rq->Group);
    if (uid != st.st_uid || !ownerKept || !groupOk) rc = -1;
  }
  if (rc == 0 && chown(gw_LfxHostPath(conn, comps).c_str(), rq->Owner, rq->Group) < 0)
    rc = gw_LfxErr(errno);
  reply->errorcode = rc;
  return 0;
}

int gw_HandleLfxRename(gw_conn_t* conn, const api_msghdr_t*, void* req, gw_reply_t* reply) {
  const api_lfx_Rename_req_t* rq = static_cast<const api_lfx_Rename_req_t*>(req);
  std::vector<std::string> from, to;
  int rc = start(conn, rq->Old, 0, &from);
  if (rc == 0) rc = gw_LfxResolve(conn, rq->New, 0, &to);
  struct stat st, tst;
  if (rc == 0) rc = lstat_comps(conn, from, &st);
  if (rc == 0 && (from.empty() || to.empty())) rc = -16;
  if (rc == 0) rc = may_change_parent(conn, from);
  if (rc == 0) rc = may_change_parent(conn, to);
  if (rc == 0) rc = sticky_allows(conn, from, &st);
  if (rc == 0 && lstat_comps(conn, to, &tst) == 0) rc = sticky_allows(conn, to, &tst);
  if (rc == 0 && rename(gw_LfxHostPath(conn, from).c_str(), gw_LfxHostPath(conn, to).c_str()) < 0)
    rc = gw_LfxErr(errno);
  reply->errorcode = rc;
  return 0;
}

int gw_HandleLfxUnlink(gw_conn_t* conn, const api_msghdr_t*, void* req, gw_reply_t* reply) {
  const api_lfx_Unlink_req_t* rq = static_cast<const api_lfx_Unlink_req_t*>(req);
  std::vector<std::string> comps;
  int rc = start(conn, rq->Path, 0, &comps);
  struct stat st;
  if (rc == 0) rc = lstat_comps(conn, comps, &st);
  if (rc == 0 && S_ISDIR(st.st_mode)) rc = -21;
  if (rc == 0) rc = may_change_parent(conn, comps);
  if (rc == 0) rc = sticky_allows(conn, comps, &st);
  if (rc == 0 && unlink(gw_LfxHostPath(conn, comps).c_str()) < 0) rc = gw_LfxErr(errno);
  reply->errorcode = rc;
  return 0;
}

int gw_HandleLfxSymlink(gw_conn_t* conn, const api_msghdr_t*, void* req, gw_reply_t* reply) {
  const api_lfx_Symlink_req_t* rq = static_cast<const api_lfx_Symlink_req_t*>(req);
  std::vector<std::string> comps;
  int rc = start(conn, rq->Path, 0, &comps);
  struct stat st;
  if (rc == 0 && rq->Contents[0] == '\0') rc = -2;
  if (rc == 0 && lstat_comps(conn, comps, &st) == 0) rc = -17;
  if (rc == 0) rc = may_change_parent(conn, comps);
  if (rc == 0) {
    std::string host = gw_LfxHostPath(conn, comps);
    if (symlink(rq->Contents, host.c_str()) < 0)
      rc = gw_LfxErr(errno);
    else
      give_to_session(conn, host);
  }
  reply->errorcode = rc;
  return 0;
}

int gw_HandleLfxReadlink(gw_conn_t* conn, const api_msghdr_t*, void* req, gw_reply_t* reply) {
  const api_lfx_Readlink_req_t* rq = static_cast<const api_lfx_Readlink_req_t*>(req);
  std::vector<std::string> comps;
  int rc = start(conn, rq->Path, 0, &comps);
  struct stat st;
  if (rc == 0) rc = lstat_comps(conn, comps, &st);
  if (rc == 0 && !S_ISLNK(st.st_mode)) rc = -22;
  api_lfx_Readlink_rply_t r;
  memset(&r, 0, sizeof r);
  if (rc == 0) {
    ssize_t n = readlink(gw_LfxHostPath(conn, comps).c_str(), r.Contents, OZU_LFX_PATH_MAX - 1);
    rc = n < 0 ? gw_LfxErr(errno) : int(n);
  }
  reply->errorcode = rc;
  if (rc > 0) gw_ReplyWithBody(reply, CODEC(qel_xdr_lfx_Readlink_rply_t), &r);
  return 0;
}

int gw_HandleLfxGetcwd(gw_conn_t* conn, const api_msghdr_t*, void*, gw_reply_t* reply) {
  int rc = gw_LfxReady(conn);
  std::vector<std::string> here;
  // Resolving "." settles the starting directory.
  if (rc == 0) rc = gw_LfxResolve(conn, ".", 1, &here);
  std::string text = join(here);
  if (rc == 0 && text.size() >= OZU_LFX_GETCWD_MAX) rc = -34;
  reply->errorcode = rc;
  if (rc < 0) return 0;
  api_lfx_Getcwd_rply_t r;
  r.Buf = const_cast<char*>(text.c_str());
  gw_ReplyWithBody(reply, CODEC(qel_xdr_api_lfx_Getcwd_rply_t), &r);
  return 0;
}

void gw_NoteLfx(const api_msghdr_t* hdr, const void* req, std::string* note) {
  switch (hdr->function) {
    case QEL_FN_LFX_Symlink: {
      const api_lfx_Symlink_req_t* r = static_cast<const api_lfx_Symlink_req_t*>(req);
      *note += std::string(" path=") + r->Path + " contents=" + r->Contents;
      break;
    }
    case QEL_FN_LFX_Rename: {
      const api_lfx_Rename_req_t* r = static_cast<const api_lfx_Rename_req_t*>(req);
      *note += std::string(" path=") + r->Old + " new=" + r->New;
      break;
    }
    case QEL_FN_LFX_Chmod:
    case QEL_FN_LFX_Mkdir: {
      const api_lfx_Mkdir_req_t* r = static_cast<const api_lfx_Mkdir_req_t*>(req);
      char m[32];
      snprintf(m, sizeof m, " mode=0%o", unsigned(r->Mode));
      *note += std::string(" path=") + r->Path + m;
      break;
    }
    case QEL_FN_LFX_Chown: {
      const api_lfx_Chown_req_t* r = static_cast<const api_lfx_Chown_req_t*>(req);
      *note += std::string(" path=") + r->Path + " owner=" + std::to_string(int32_t(r->Owner)) +
               " group=" + std::to_string(int32_t(r->Group));
      break;
    }
    case QEL_FN_LFX_Stat:
    case QEL_FN_LFX_Lstat:
    case QEL_FN_LFX_Opendir:
    case QEL_FN_LFX_Readlink:
    case QEL_FN_LFX_Unlink:
      *note += std::string(" path=") + static_cast<const api_lfx_Unlink_req_t*>(req)->Path;
      break;
    case QEL_FN_LFX_Readattrs: {
      const api_lfx_ReadAttrs_req_t* r = static_cast<const api_lfx_ReadAttrs_req_t*>(req);
      *note += " dirdes=" + std::to_string(r->Dirdes) + " count=" + std::to_string(r->EntryCount);
      break;
    }
    case QEL_FN_LFX_Rewinddir:
    case QEL_FN_LFX_Closedir:
      *note += " dirdes=" + std::to_string(static_cast<const api_lfx_Closedir_req_t*>(req)->Dirdes);
      break;
    default:
      break;
  }
}
