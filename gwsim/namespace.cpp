// Namespace handlers of gwsim. Every change to the namespace holds the
// store's lock over the host change and the matching row change, so other
// connections never see one without the other.
#include "namespace.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <random>
#include <memory>
#include <mutex>

#include "journal.h"
#include "reply.h"
#include "access.h"
#include "session.h"
#include "store.h"

#define GW_MAX_DIRS 1024  // open directories per connection

typedef std::lock_guard<std::recursive_mutex> store_guard;

static bool is_dir_type(uint32_t type) {
  return type == GW_TYPE_DIRECTORY || type == GW_TYPE_JUNCTION || type == GW_TYPE_FILESET_ROOT;
}

// The existing object at a client path: 0 with *ns and *meta, or a code.
static int existing(gw_conn_t* conn, const char* path, int follow, std::string* ns,
                    gw_meta_t* meta) {
  int rc = gw_SessionResolve(conn, path, follow, ns);
  if (rc < 0) return rc;
  return gw_StoreGetMeta(*ns, meta);
}

static int fail(gw_reply_t* reply, int code) {
  reply->errorcode = code;
  return 0;
}

// ---- attributes ----

static int stat_reply(gw_conn_t* conn, void* req, gw_reply_t* reply, int follow) {
  api_quor_ns_path_req_t* r = static_cast<api_quor_ns_path_req_t*>(req);
  std::string ns;
  int rc = gw_SessionResolve(conn, r->Path, follow, &ns);
  quor_stat_t st;
  if (rc == 0) rc = gw_StoreStat(ns, &st);
  if (rc < 0) return fail(reply, rc);
  api_quor_Stat_rply_t out;
  out.StatBuf = &st;
  reply->errorcode = 0;
  return gw_ReplyWithBody(reply, (xdrproc_t)qel_xdr_api_quor_Stat_rply_t, &out);
}

int gw_HandleStat(gw_conn_t* conn, const api_msghdr_t*, void* req, gw_reply_t* reply) {
  return stat_reply(conn, req, reply, 1);
}

int gw_HandleLstat(gw_conn_t* conn, const api_msghdr_t*, void* req, gw_reply_t* reply) {
  return stat_reply(conn, req, reply, 0);
}

int gw_HandleGetListAttrs(gw_conn_t* conn, const api_msghdr_t*, void* req, gw_reply_t* reply) {
  api_quor_GetListAttrs_req_t* r = static_cast<api_quor_GetListAttrs_req_t*>(req);
  std::string ns;
  int rc = gw_SessionResolve(conn, r->Path, 0, &ns);
  std::unique_ptr<api_quor_GetListAttrs_rply_t> out(new api_quor_GetListAttrs_rply_t());
  if (rc == 0) rc = gw_StoreAttrs(ns, &out->AttrOut, nullptr);
  if (rc < 0) return fail(reply, rc);
  reply->errorcode = 0;
  return gw_ReplyWithBody(reply, (xdrproc_t)qel_xdr_api_quor_GetListAttrs_rply_t, out.get());
}

static int fileattr_reply(const std::string& ns, gw_reply_t* reply) {
  std::unique_ptr<api_quor_ns_fileattr_rply_t> out(new api_quor_ns_fileattr_rply_t());
  int rc = gw_StoreAttrs(ns, &out->AttrOut.Attrs, &out->AttrOut.ObjectHandle);
  if (rc < 0) return fail(reply, rc);
  reply->errorcode = 0;
  return gw_ReplyWithBody(reply, (xdrproc_t)qel_xdr_api_quor_FileGetAttributes_rply_t, out.get());
}

int gw_HandleFileGetAttributes(gw_conn_t* conn, const api_msghdr_t*, void* req, gw_reply_t* reply) {
  api_quor_FileGetAttributes_req_t* r = static_cast<api_quor_FileGetAttributes_req_t*>(req);
  std::string ns;
  int rc = gw_SessionResolve(conn, r->Path, 1, &ns);
  if (rc < 0) return fail(reply, rc);
  return fileattr_reply(ns, reply);
}

int gw_HandleFileGetXAttributes(gw_conn_t* conn, const api_msghdr_t*, void* req,
                                gw_reply_t* reply) {
  api_quor_FileGetXAttributes_req_t* r = static_cast<api_quor_FileGetXAttributes_req_t*>(req);
  std::string ns;
  int rc = gw_SessionResolve(conn, r->Path, 1, &ns);
  if (rc < 0) return fail(reply, rc);
  std::unique_ptr<api_quor_FileGetXAttributes_rply_t> out(new api_quor_FileGetXAttributes_rply_t());
  rc = gw_StoreXAttrs(ns, r->Flags, r->StorageLevel, &out->AttrOut);
  if (rc < 0) return fail(reply, rc);
  reply->errorcode = 0;
  int sent =
      gw_ReplyWithBody(reply, (xdrproc_t)qel_xdr_api_quor_FileGetXAttributes_rply_t, out.get());
  gw_StoreFreeXAttrs(&out->AttrOut);
  return sent;
}

static uint32_t mode_bits(uint32_t perms) {
  return (perms & GW_PERM_READ ? 4 : 0) | (perms & GW_PERM_WRITE ? 2 : 0) |
         (perms & GW_PERM_EXEC ? 1 : 0);
}

// Fields that a set-attributes request may change.
static const quor_fileattrbits_t settable =
    GW_SEL_Account | GW_SEL_Comment | GW_SEL_COSId | GW_SEL_ExtendedACLs | GW_SEL_FamilyId |
    GW_SEL_GID | GW_SEL_GroupPerms | GW_SEL_ModePerms | GW_SEL_OptionFlags | GW_SEL_OtherPerms |
    GW_SEL_RealmId | GW_SEL_SubSystemId | GW_SEL_TimeCreated | GW_SEL_TimeLastRead |
    GW_SEL_TimeLastWritten | GW_SEL_UID | GW_SEL_UserPerms;

int gw_HandleFileSetAttributes(gw_conn_t* conn, const api_msghdr_t*, void* req, gw_reply_t* reply) {
  api_quor_FileSetAttributes_req_t* r = static_cast<api_quor_FileSetAttributes_req_t*>(req);
  quor_fileattrbits_t sel = r->SelFlags;
  if (sel & ~settable) return fail(reply, -22);
  const quor_Attrs_t& in = r->AttrIn.Attrs;
  store_guard g(gw_StoreLock());
  std::string ns;
  gw_meta_t m;
  int rc = existing(conn, r->Path, 1, &ns, &m);
  if (rc == 0) rc = gw_AccessOwner(conn, &m);
  if (rc == 0 && (sel & (GW_SEL_UID | GW_SEL_GID)))
    rc = gw_AccessChown(conn, &m, sel & GW_SEL_UID ? in.UID : uint32_t(-1),
                        sel & GW_SEL_GID ? in.GID : uint32_t(-1));
  if (rc < 0) return fail(reply, rc);
  if (sel & GW_SEL_Account) m.Account = in.Account;
  if (sel & GW_SEL_Comment) m.Comment.assign(in.Comment, strnlen(in.Comment, QUOR_COMMENT_LEN - 1));
  if (sel & GW_SEL_COSId) m.COSId = in.COSId;
  if (sel & GW_SEL_ExtendedACLs) m.ExtendedACLs = in.ExtendedACLs;
  if (sel & GW_SEL_FamilyId) m.FamilyId = in.FamilyId;
  if (sel & GW_SEL_GID) m.GID = in.GID;
  if (sel & GW_SEL_UID) m.UID = in.UID;
  if (sel & GW_SEL_OptionFlags) m.OptionFlags = in.OptionFlags;
  if (sel & GW_SEL_RealmId) m.RealmId = in.RealmId;
  if (sel & GW_SEL_SubSystemId) m.SubSystemId = in.SubSystemId;
  if (sel & GW_SEL_TimeCreated) m.TimeCreated = in.TimeCreated;
  if (sel & GW_SEL_UserPerms) m.Mode = (m.Mode & ~0700u) | (mode_bits(in.UserPerms) << 6);
  if (sel & GW_SEL_GroupPerms) m.Mode = (m.Mode & ~0070u) | (mode_bits(in.GroupPerms) << 3);
  if (sel & GW_SEL_OtherPerms) m.Mode = (m.Mode & ~0007u) | mode_bits(in.OtherPerms);
  if (sel & GW_SEL_ModePerms)
    m.Mode = (m.Mode & ~07000u) | (in.ModePerms & 0x20 ? 04000 : 0) |
             (in.ModePerms & 0x40 ? 02000 : 0) | (in.ModePerms & 0x80 ? 01000 : 0);
  // The times live on the host: set after the rows, put back if the rows
  // cannot be kept.
  gw_store_txn txn;
  rc = gw_StorePutMeta(ns, &m);
  if (rc < 0) return fail(reply, rc);
  std::string host = gw_StoreHostPath(ns);
  struct stat before;
  bool times = (sel & (GW_SEL_TimeLastRead | GW_SEL_TimeLastWritten)) != 0;
  if (times) {
    struct timespec ts[2];
    ts[0].tv_nsec = ts[1].tv_nsec = UTIME_OMIT;
    if (sel & GW_SEL_TimeLastRead) ts[0] = {time_t(in.TimeLastRead), 0};
    if (sel & GW_SEL_TimeLastWritten) ts[1] = {time_t(in.TimeLastWritten), 0};
    if (lstat(host.c_str(), &before) < 0 ||
        utimensat(AT_FDCWD, host.c_str(), ts, AT_SYMLINK_NOFOLLOW) < 0)
      return fail(reply, gw_StoreErr(errno));
  }
  rc = txn.commit();
  if (rc < 0) {
    if (times) {
      struct timespec old[2] = {before.st_atim, before.st_mtim};
      utimensat(AT_FDCWD, host.c_str(), old, AT_SYMLINK_NOFOLLOW);
    }
    return fail(reply, rc);
  }
  return fileattr_reply(ns, reply);
}

// ---- working directory and mask ----

int gw_HandleChdir(gw_conn_t* conn, const api_msghdr_t*, void* req, gw_reply_t* reply) {
  api_quor_Chdir_req_t* r = static_cast<api_quor_Chdir_req_t*>(req);
  std::string ns;
  gw_meta_t m;
  int rc = existing(conn, r->Path, 1, &ns, &m);
  if (rc < 0) return fail(reply, rc);
  if (!is_dir_type(m.Type)) return fail(reply, -20);
  rc = gw_AccessObject(conn, &m, GW_MAY_SEARCH);
  if (rc < 0) return fail(reply, rc);
  conn->cwd = ns;
  return fail(reply, 0);
}

int gw_HandleGetcwd(gw_conn_t* conn, const api_msghdr_t*, void*, gw_reply_t* reply) {
  api_quor_Getcwd_rply_t out;
  std::string cwd = conn->cwd.empty() ? "/" : conn->cwd;
  out.Buf = cwd.data();
  reply->errorcode = 0;
  return gw_ReplyWithBody(reply, (xdrproc_t)qel_xdr_api_quor_Getcwd_rply_t, &out);
}

int gw_HandleUmask(gw_conn_t* conn, const api_msghdr_t*, void* req, gw_reply_t* reply) {
  api_quor_Umask_req_t* r = static_cast<api_quor_Umask_req_t*>(req);
  api_quor_Umask_rply_t out;
  out.OMask = mode_t(conn->umask);
  conn->umask = uint32_t(r->CMask) & 0777;
  reply->errorcode = 0;
  return gw_ReplyWithBody(reply, (xdrproc_t)qel_xdr_api_quor_Umask_rply_t, &out);
}

// ---- host changes with their rows ----

// Removes a name: its rows change first and are kept only once the host
// removal succeeded, so a refused removal (a directory not empty) loses
// nothing. Should the commit fail after that, the rows left behind belong
// to an inode that no longer exists under this name; the birth-time check
// and the start-up check keep them from reaching another object.
static int remove_name(const std::string& ns, bool dir) {
  std::string host = gw_StoreHostPath(ns);
  gw_store_txn txn;
  struct stat before;
  if (lstat(host.c_str(), &before) < 0) return gw_StoreErr(errno);
  int rc = gw_StoreUnlinked(ns, &before);
  if (rc < 0) return rc;
  if ((dir ? rmdir(host.c_str()) : unlink(host.c_str())) < 0) return gw_StoreErr(errno);
  txn.commit();
  return 0;
}

// Renames a name, replacing what new named. The host rename is undone when
// the rows cannot follow it: the source goes back, and a replaced file comes
// back from a hard link kept beside the root until the rows are safe (a
// replaced directory, which was empty, is made again).
static int rename_name(const std::string& from, const std::string& to) {
  std::string fromHost = gw_StoreHostPath(from), toHost = gw_StoreHostPath(to);
  gw_store_txn txn;
  struct stat src, dst;
  if (lstat(fromHost.c_str(), &src) < 0) return gw_StoreErr(errno);
  bool replaces = lstat(toHost.c_str(), &dst) == 0;
  // Two names of one object: nothing happens, as rename(2) has it.
  if (replaces && src.st_ino == dst.st_ino && src.st_dev == dst.st_dev) return 0;
  std::string keep;
  if (replaces && !S_ISDIR(dst.st_mode)) {
    keep = gw_StoreScratchPath();
    unlink(keep.c_str());
    if (link(toHost.c_str(), keep.c_str()) < 0) keep.clear();
  }
  if (rename(fromHost.c_str(), toHost.c_str()) < 0) {
    int e = errno;
    if (!keep.empty()) unlink(keep.c_str());
    return gw_StoreErr(e);
  }
  int rc = replaces ? gw_StoreUnlinked(to, &dst) : 0;
  if (rc == 0) rc = gw_StoreRename(from, to);
  if (rc == 0) rc = txn.commit();
  if (rc < 0) {
    rename(toHost.c_str(), fromHost.c_str());
    if (!keep.empty())
      rename(keep.c_str(), toHost.c_str());
    else if (replaces && S_ISDIR(dst.st_mode))
      mkdir(toHost.c_str(), 0700);
  }
  if (!keep.empty()) unlink(keep.c_str());
  return rc;
}

// ---- directories ----

int gw_HandleMkdir(gw_conn_t* conn, const api_msghdr_t*, void* req, gw_reply_t* reply) {
  api_quor_Mkdir_req_t* r = static_cast<api_quor_Mkdir_req_t*>(req);
  store_guard g(gw_StoreLock());
  std::string ns;
  int rc = gw_SessionResolve(conn, r->Path, 0, &ns);
  struct stat st;
  if (rc == 0 && gw_StoreLstat(ns, &st) == 0) rc = -17;
  if (rc == 0) rc = gw_AccessAddName(conn, ns);
  if (rc < 0) return fail(reply, rc);
  std::string host = gw_StoreHostPath(ns);
  gw_store_txn txn;
  if (mkdir(host.c_str(), 0700) < 0) return fail(reply, gw_StoreErr(errno));
  uint32_t mode = uint32_t(r->Mode) & 07777 & ~conn->umask;
  rc = gw_StoreNewObject(ns, GW_TYPE_DIRECTORY, gw_SessionUid(conn), gw_SessionGid(conn), mode,
                         gw_SessionAccount(conn), 0);
  if (rc == 0) rc = txn.commit();
  if (rc < 0) rmdir(host.c_str());
  return fail(reply, rc);
}

int gw_HandleRmdir(gw_conn_t* conn, const api_msghdr_t*, void* req, gw_reply_t* reply) {
  api_quor_Rmdir_req_t* r = static_cast<api_quor_Rmdir_req_t*>(req);
  store_guard g(gw_StoreLock());
  std::string ns;
  gw_meta_t m;
  int rc = existing(conn, r->Path, 0, &ns, &m);
  if (rc < 0) return fail(reply, rc);
  if (!is_dir_type(m.Type)) return fail(reply, -20);
  if (ns == "/") return fail(reply, -16);
  rc = gw_AccessDropName(conn, ns, &m);
  if (rc < 0) return fail(reply, rc);
  return fail(reply, remove_name(ns, true));
}

static gw_dirhandle_t* dir_of(gw_conn_t* conn, int32_t des) {
  if (des < 0 || size_t(des) >= conn->dirs.size() || !conn->dirs[size_t(des)].inUse) return nullptr;
  return &conn->dirs[size_t(des)];
}

int gw_HandleOpendir(gw_conn_t* conn, const api_msghdr_t*, void* req, gw_reply_t* reply) {
  api_quor_Opendir_req_t* r = static_cast<api_quor_Opendir_req_t*>(req);
  std::string ns;
  gw_meta_t m;
  std::vector<std::string> names;
  {
    store_guard g(gw_StoreLock());
    int rc = existing(conn, r->DirName, 1, &ns, &m);
    if (rc < 0) return fail(reply, rc);
    if (!is_dir_type(m.Type)) return fail(reply, -20);
    rc = gw_AccessObject(conn, &m, GW_MAY_READ);
    if (rc < 0) return fail(reply, rc);
    rc = gw_StoreDirNames(ns, &names);
    if (rc < 0) return fail(reply, rc);
  }
  // A gateway need not list in byte order: a knob shows the client's
  // sorting what another gateway may send.
  if (conn->cfg->listOrder == 1) {
    std::reverse(names.begin(), names.end());
  } else if (conn->cfg->listOrder == 2) {
    std::mt19937 shuffle(uint32_t(names.size()) * 2654435761u + 17);
    std::shuffle(names.begin(), names.end(), shuffle);
  }
  bool searchable = gw_AccessObject(conn, &m, GW_MAY_SEARCH) == 0;
  size_t slot = 0;
  while (slot < conn->dirs.size() && conn->dirs[slot].inUse) slot++;
  if (slot >= GW_MAX_DIRS) return fail(reply, -24);
  if (slot == conn->dirs.size()) conn->dirs.emplace_back();
  gw_dirhandle_t& d = conn->dirs[slot];
  d.inUse = 1;
  d.searchable = searchable ? 1 : 0;
  d.path = ns;
  d.names.clear();
  d.names.reserve(names.size() + 2);
  d.names.push_back(".");
  d.names.push_back("..");
  for (std::string& n : names) d.names.push_back(std::move(n));
  d.next = 0;
  return fail(reply, int32_t(slot));
}

int gw_HandleClosedir(gw_conn_t* conn, const api_msghdr_t*, void* req, gw_reply_t* reply) {
  api_quor_Closedir_req_t* r = static_cast<api_quor_Closedir_req_t*>(req);
  gw_dirhandle_t* d = dir_of(conn, r->Dirdes);
  if (!d) return fail(reply, -9);
  d->inUse = 0;
  d->names.clear();
  d->names.shrink_to_fit();
  return fail(reply, 0);
}

// The namespace path of entry i of an open directory.
static std::string entry_path(const gw_dirhandle_t* d, size_t i) {
  const std::string& n = d->names[i];
  if (n == ".") return d->path;
  if (n == "..") {
    size_t cut = d->path.rfind('/');
    return cut == 0 || cut == std::string::npos ? "/" : d->path.substr(0, cut);
  }
  return d->path == "/" ? "/" + n : d->path + "/" + n;
}

int gw_HandleReaddir(gw_conn_t* conn, const api_msghdr_t*, void* req, gw_reply_t* reply) {
  api_quor_Readdir_req_t* r = static_cast<api_quor_Readdir_req_t*>(req);
  gw_dirhandle_t* d = dir_of(conn, r->DirDes);
  if (!d) return fail(reply, -9);
  api_quor_Readdir_rply_t out;
  memset(&out, 0, sizeof out);
  if (d->next < d->names.size()) {
    size_t i = d->next++;
    const std::string& n = d->names[i];
    gw_meta_t m;
    std::string ns = entry_path(d, i);
    if (gw_StoreGetMeta(ns, &m) == 0) gw_StoreHandle(ns, &m, &out.DirentOut.d_handle);
    snprintf(out.DirentOut.d_name, sizeof out.DirentOut.d_name, "%s", n.c_str());
    out.DirentOut.d_namelen = uint16_t(strlen(out.DirentOut.d_name));
    out.DirentOut.d_offset = i + 1;
    // Sized like a packed entry: fixed part plus the name and its NUL, 8-aligned.
    out.DirentOut.d_reclen = uint16_t((24 + out.DirentOut.d_namelen + 1 + 7) & ~7u);
  }
  reply->errorcode = 0;
  return gw_ReplyWithBody(reply, (xdrproc_t)qel_xdr_api_quor_Readdir_rply_t, &out);
}

int gw_HandleReadAttrs(gw_conn_t* conn, const api_msghdr_t*, void* req, gw_reply_t* reply) {
  api_quor_ReadAttrs_req_t* r = static_cast<api_quor_ReadAttrs_req_t*>(req);
  gw_dirhandle_t* d = dir_of(conn, r->Dirdes);
  if (!d) return fail(reply, -9);
  if (r->EntryCount == 0) return fail(reply, -22);
  // Names need read permission (Opendir), their attributes search too.
  if (r->GetAttributes && !d->searchable) return fail(reply, -13);
  size_t total = d->names.size();
  size_t start = r->OffsetIn < total ? size_t(r->OffsetIn) : total;
  // The Overfill rule answers more than was asked, as a faulty gateway might.
  size_t asked = size_t(r->EntryCount) + size_t(std::max<int32_t>(conn->overfill, 0));
  size_t count = std::min<size_t>(asked, total - start);
  std::vector<ns_DirEntry_t> ents(count);
  quor_Attrs_t scratch;
  {
    store_guard g(gw_StoreLock());
    for (size_t k = 0; k < count; k++) {
      ns_DirEntry_t& e = ents[k];
      memset(&e, 0, sizeof e);
      size_t i = start + k;
      snprintf(e.Name, sizeof e.Name, "%s", d->names[i].c_str());
      e.ObjOffset = i + 1;
      std::string ns = entry_path(d, i);
      // An entry removed since Opendir keeps its name with empty attributes.
      quor_Attrs_t* attrs = r->GetAttributes ? &e.Attrs : &scratch;
      if (gw_StoreAttrs(ns, attrs, &e.ObjHandle) < 0) memset(&e.Attrs, 0, sizeof e.Attrs);
    }
  }
  api_quor_ReadAttrs_rply_t out;
  memset(&out, 0, sizeof out);
  out.entryCount = uint32_t(count);
  out.End = start + count >= total ? 1 : 0;
  out.OffsetOut = start + count;
  out.Dirent = ents.data();
  out.DirentCapacity = uint32_t(count);
  reply->errorcode = int32_t(count);
  return gw_ReplyWithBody(reply, (xdrproc_t)qel_xdr_api_quor_ReadAttrs_rply_t, &out);
}

// ---- links, names, removal ----

int gw_HandleLink(gw_conn_t* conn, const api_msghdr_t*, void* req, gw_reply_t* reply) {
  api_quor_Link_req_t* r = static_cast<api_quor_Link_req_t*>(req);
  store_guard g(gw_StoreLock());
  std::string from, to;
  gw_meta_t m;
  int rc = existing(conn, r->Existing, 0, &from, &m);
  if (rc < 0) return fail(reply, rc);
  if (is_dir_type(m.Type)) return fail(reply, -1);
  rc = gw_SessionResolve(conn, r->New, 0, &to);
  struct stat st;
  if (rc == 0 && gw_StoreLstat(to, &st) == 0) rc = -17;
  if (rc == 0) rc = gw_AccessAddName(conn, to);
  if (rc < 0) return fail(reply, rc);
  std::string host = gw_StoreHostPath(to);
  gw_store_txn txn;
  if (link(gw_StoreHostPath(from).c_str(), host.c_str()) < 0)
    return fail(reply, gw_StoreErr(errno));
  rc = gw_StoreAddLink(to);
  if (rc == 0) rc = txn.commit();
  if (rc < 0) unlink(host.c_str());
  return fail(reply, rc);
}

int gw_HandleSymlink(gw_conn_t* conn, const api_msghdr_t*, void* req, gw_reply_t* reply) {
  api_quor_Symlink_req_t* r = static_cast<api_quor_Symlink_req_t*>(req);
  if (!r->Contents || !*r->Contents) return fail(reply, -2);
  store_guard g(gw_StoreLock());
  std::string ns;
  int rc = gw_SessionResolve(conn, r->Path, 0, &ns);
  struct stat st;
  if (rc == 0 && gw_StoreLstat(ns, &st) == 0) rc = -17;
  if (rc == 0) rc = gw_AccessAddName(conn, ns);
  if (rc < 0) return fail(reply, rc);
  std::string host = gw_StoreHostPath(ns);
  gw_store_txn txn;
  if (symlink(r->Contents, host.c_str()) < 0) return fail(reply, gw_StoreErr(errno));
  rc = gw_StoreNewObject(ns, GW_TYPE_SYMLINK, gw_SessionUid(conn), gw_SessionGid(conn), 0777,
                         gw_SessionAccount(conn), 0);
  if (rc == 0) rc = txn.commit();
  if (rc < 0) unlink(host.c_str());
  return fail(reply, rc);
}

int gw_HandleReadlink(gw_conn_t* conn, const api_msghdr_t*, void* req, gw_reply_t* reply) {
  api_quor_Readlink_req_t* r = static_cast<api_quor_Readlink_req_t*>(req);
  std::string ns;
  gw_meta_t m;
  int rc = existing(conn, r->Path, 0, &ns, &m);
  if (rc < 0) return fail(reply, rc);
  char buf[QEL_NS_PATH_MAX + 1];
  ssize_t n = readlink(gw_StoreHostPath(ns).c_str(), buf, sizeof buf - 1);
  if (n < 0) return fail(reply, gw_StoreErr(errno));
  buf[n] = '\0';
  api_quor_Readlink_rply_t out;
  out.Contents = buf;
  reply->errorcode = int32_t(n);
  return gw_ReplyWithBody(reply, (xdrproc_t)qel_xdr_api_quor_Readlink_rply_t, &out);
}

// The name from (of object *m) may become to: it may leave its directory,
// to's directory may take it, a name it replaces may go, and a directory
// moving to another directory must be writable (its ".." changes).
static int may_rename(gw_conn_t* conn, const std::string& from, const gw_meta_t* m,
                      const std::string& to) {
  int rc = gw_AccessDropName(conn, from, m);
  if (rc < 0) return rc;
  gw_meta_t old;
  if (gw_StoreGetMeta(to, &old) == 0) {
    rc = gw_AccessDropName(conn, to, &old);
  } else {
    rc = gw_AccessAddName(conn, to);
  }
  if (rc < 0) return rc;
  size_t a = from.rfind('/'), b = to.rfind('/');
  bool moves = from.compare(0, a, to, 0, b) != 0 || a != b;
  if (is_dir_type(m->Type) && moves) return gw_AccessObject(conn, m, GW_MAY_WRITE);
  return 0;
}

int gw_HandleRename(gw_conn_t* conn, const api_msghdr_t*, void* req, gw_reply_t* reply) {
  api_quor_Rename_req_t* r = static_cast<api_quor_Rename_req_t*>(req);
  store_guard g(gw_StoreLock());
  std::string from, to;
  gw_meta_t m;
  int rc = existing(conn, r->Old, 0, &from, &m);
  if (rc < 0) return fail(reply, rc);
  rc = gw_SessionResolve(conn, r->New, 0, &to);
  if (rc < 0) return fail(reply, rc);
  if (from == "/" || to == "/") return fail(reply, -16);
  rc = may_rename(conn, from, &m, to);
  if (rc < 0) return fail(reply, rc);
  return fail(reply, rename_name(from, to));
}

int gw_HandleUnlink(gw_conn_t* conn, const api_msghdr_t*, void* req, gw_reply_t* reply) {
  api_quor_Unlink_req_t* r = static_cast<api_quor_Unlink_req_t*>(req);
  store_guard g(gw_StoreLock());
  std::string ns;
  gw_meta_t m;
  int rc = existing(conn, r->Path, 0, &ns, &m);
  if (rc < 0) return fail(reply, rc);
  if (is_dir_type(m.Type)) return fail(reply, -21);
  rc = gw_AccessDropName(conn, ns, &m);
  if (rc < 0) return fail(reply, rc);
  return fail(reply, remove_name(ns, false));
}

// ---- times, modes, owners ----

int gw_HandleUtime(gw_conn_t* conn, const api_msghdr_t*, void* req, gw_reply_t* reply) {
  api_quor_Utime_req_t* r = static_cast<api_quor_Utime_req_t*>(req);
  store_guard g(gw_StoreLock());
  std::string ns;
  gw_meta_t m;
  int rc = existing(conn, r->Path, 1, &ns, &m);
  if (rc == 0) rc = gw_AccessOwner(conn, &m);
  if (rc < 0) return fail(reply, rc);
  struct timespec ts[2] = {{r->Times.actime, 0}, {r->Times.modtime, 0}};
  if (utimensat(AT_FDCWD, gw_StoreHostPath(ns).c_str(), ts, AT_SYMLINK_NOFOLLOW) < 0)
    return fail(reply, gw_StoreErr(errno));
  return fail(reply, 0);
}

int gw_HandleChmod(gw_conn_t* conn, const api_msghdr_t*, void* req, gw_reply_t* reply) {
  api_quor_Chmod_req_t* r = static_cast<api_quor_Chmod_req_t*>(req);
  store_guard g(gw_StoreLock());
  std::string ns;
  gw_meta_t m;
  int rc = existing(conn, r->Path, 1, &ns, &m);
  if (rc == 0) rc = gw_AccessOwner(conn, &m);
  if (rc < 0) return fail(reply, rc);
  m.Mode = uint32_t(r->Mode) & 07777;
  // Set-group-id on a file of a group the owner is not in is dropped, as
  // chmod(2) does for anyone but root.
  gw_cred_t cred;
  gw_SessionCred(conn, &cred);
  if (!cred.root && !is_dir_type(m.Type) && !gw_StoreInGroup(&cred, m.GID)) m.Mode &= ~02000u;
  return fail(reply, gw_StorePutMeta(ns, &m));
}

int gw_HandleChown(gw_conn_t* conn, const api_msghdr_t*, void* req, gw_reply_t* reply) {
  api_quor_Chown_req_t* r = static_cast<api_quor_Chown_req_t*>(req);
  store_guard g(gw_StoreLock());
  std::string ns;
  gw_meta_t m;
  int rc = existing(conn, r->Path, 1, &ns, &m);
  if (rc == 0) rc = gw_AccessChown(conn, &m, uint32_t(r->Owner), uint32_t(r->Group));
  if (rc < 0) return fail(reply, rc);
  // -1 leaves the owner or the group as it is, as chown(2) does.
  if (r->Owner != uid_t(-1)) m.UID = uint32_t(r->Owner);
  if (r->Group != gid_t(-1)) m.GID = uint32_t(r->Group);
  return fail(reply, gw_StorePutMeta(ns, &m));
}

// ---- client-API configuration ----

int gw_HandleGetConfiguration(gw_conn_t* conn, const api_msghdr_t*, void*, gw_reply_t* reply) {
  std::unique_ptr<api_quor_GetConfiguration_rply_t> out(new api_quor_GetConfiguration_rply_t());
  if (conn->apiConfigSet) {
    out->ConfigOut = conn->apiConfig;
  } else {
    api_config_t& c = out->ConfigOut;
    c.NumRetries = 3;
    c.BusyDelay = 15;
    c.BusyRetries = 3;
    c.TotalDelay = 0;
    c.LimitedRetries = 1;
    c.MaxConnections = 1;
    c.UsePortRange = 0;
    c.RetryStageInp = 1;
    snprintf(c.DescName, sizeof c.DescName, "%s", "gwsim");
    snprintf(c.HostName, sizeof c.HostName, "%s", "gwsim");
  }
  memset(out->ConfigOut.Application, 0, sizeof out->ConfigOut.Application);
  reply->errorcode = 0;
  return gw_ReplyWithBody(reply, (xdrproc_t)qel_xdr_api_quor_GetConfiguration_rply_t, out.get());
}

int gw_HandleSetConfiguration(gw_conn_t* conn, const api_msghdr_t*, void* req, gw_reply_t* reply) {
  api_quor_SetConfiguration_req_t* r = static_cast<api_quor_SetConfiguration_req_t*>(req);
  conn->apiConfig = r->ConfigIn;
  conn->apiConfigSet = 1;
  return fail(reply, 0);
}

// ---- journal notes ----

void gw_NoteNsPath(const api_msghdr_t*, const void* req, std::string* note) {
  const char* p = *static_cast<char* const*>(req);
  *note += " path=" + gw_JournalText(p);
}

void gw_NoteSetConfig(const api_msghdr_t*, const void* req, std::string* note) {
  const api_config_t& c = static_cast<const api_quor_SetConfiguration_req_t*>(req)->ConfigIn;
  char buf[128];
  snprintf(buf, sizeof buf, " reuse=%d retries=%d host=", c.ReuseDataConnections, c.NumRetries);
  *note += buf;
  *note += gw_JournalText(std::string(c.HostName, strnlen(c.HostName, sizeof c.HostName)));
  *note += " app=";
  *note += gw_JournalText(std::string(c.Application, strnlen(c.Application, sizeof c.Application)));
}
