// Open files of a gwsim connection; see files.h.
#include "files.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <mutex>
#include <vector>

#include "journal.h"
#include "recall.h"
#include "reply.h"
#include "access.h"
#include "queries.h"
#include "recall.h"
#include "session.h"
#include "stage.h"
#include "store.h"

#define GW_OPEN_READ 0x01
#define GW_OPEN_WRITE 0x02
#define GW_OPEN_RDWR 0x04
#define GW_OPEN_APPEND 0x08
#define GW_OPEN_CREAT 0x10
#define GW_OPEN_EXCL 0x20
#define GW_OPEN_TRUNC 0x40
#define GW_OPEN_NOSTAGE 0x80

// The class of service of a new file: the one the hints name, else the
// first the tables would pick, else the site's start-up class.
static int choose_cos(const gw_conn_t* conn, const quor_cos_hints_t* hints, uint32_t* cos) {
  const gw_config_t* cfg = conn->cfg;
  if (hints->COSId != 0) {
    if (!cfg->tables.cos.empty() && gw_FindCOS(cfg, hints->COSId) == nullptr) return -22;
    *cos = hints->COSId;
    return 0;
  }
  const gw_cos_t* p = nullptr;
  if (!cfg->tables.cos.empty())
    p = gw_PickCOS(cfg, nullptr, hints->MinFileSize, gw_SessionUid(conn), gw_SessionGid(conn),
                   gw_SessionAccount(conn), 0, 0);
  *cos = p ? p->md.COSId : cfg->site.startupCOS;
  return 0;
}

// The hints that come back: the caller's, with the class actually chosen.
static void hints_out(const gw_conn_t* conn, const quor_cos_hints_t* in, uint32_t cos,
                      quor_cos_hints_t* out) {
  *out = *in;
  out->COSId = cos;
  const gw_cos_t* c = gw_FindCOS(conn->cfg, cos);
  if (c) {
    memcpy(out->COSName, c->md.COSName, sizeof out->COSName);
    out->COSName[sizeof out->COSName - 1] = '\0';
    out->StripeWidth = c->stripeWidth;
    out->StripeLength = c->stripeLength;
    out->FamilyId = c->familyId;
  }
}

// The lowest free descriptor of the connection, or -24 when as many files
// are open as the connection may have.
static int32_t free_slot(const gw_conn_t* conn) {
  size_t i = 0;
  while (i < conn->files.size() && conn->files[i].inUse) i++;
  return i < conn->cfg->maxOpenFiles ? int32_t(i) : -24;
}

static int32_t add_file(gw_conn_t* conn, int fd, const std::string& ns, uint32_t oflag,
                        uint64_t offset) {
  size_t i = size_t(free_slot(conn));
  if (i == conn->files.size()) conn->files.emplace_back();
  gw_openfile_t& f = conn->files[i];
  f.inUse = 1;
  f.fd = fd;
  f.path = ns;
  f.oflag = oflag;
  f.offset = offset;
  return int32_t(i);
}

void gw_FilesCloseAll(gw_conn_t* conn) {
  for (gw_openfile_t& f : conn->files) {
    if (f.inUse && f.fd >= 0) close(f.fd);
    f.inUse = 0;
    f.fd = -1;
  }
  conn->files.clear();
}

int gw_HandleCreate(gw_conn_t* conn, const api_msghdr_t*, void* req, gw_reply_t* reply) {
  const api_quor_Create_req_t* rq = static_cast<const api_quor_Create_req_t*>(req);
  gw_store_txn txn;
  std::string ns;
  int rc = gw_SessionResolve(conn, rq->Path, 1, &ns);
  struct stat st;
  if (rc == 0 && gw_StoreLstat(ns, &st) == 0) rc = -17;
  if (rc == 0) rc = gw_AccessAddName(conn, ns);
  uint32_t cos = 0;
  if (rc == 0) rc = choose_cos(conn, &rq->HintsIn, &cos);
  if (rc == 0) {
    std::string host = gw_StoreHostPath(ns);
    int fd = open(host.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) {
      rc = -errno;
    } else {
      close(fd);
      rc = gw_StoreNewObject(ns, GW_TYPE_FILE, gw_SessionUid(conn), gw_SessionGid(conn),
                             uint32_t(rq->Mode) & 07777 & ~conn->umask, gw_SessionAccount(conn),
                             cos);
      if (rc == 0) rc = txn.commit();
      if (rc < 0) unlink(host.c_str());
    }
  }
  if (rc < 0) {
    reply->errorcode = rc;
    return 0;
  }
  api_quor_Create_rply_t r;
  memset(&r, 0, sizeof r);
  hints_out(conn, &rq->HintsIn, cos, &r.HintsOut);
  return gw_ReplyWithBody(reply, (xdrproc_t)qel_xdr_api_quor_Create_rply_t, &r);
}

int gw_HandleOpen(gw_conn_t* conn, const api_msghdr_t*, void* req, gw_reply_t* reply) {
  const api_quor_Open_req_t* rq = static_cast<const api_quor_Open_req_t*>(req);
  const uint32_t f = rq->Oflag;
  {
    // A recall is waited out before the store is locked for the open.
    std::string tape;
    if (!(f & GW_OPEN_NOSTAGE) && gw_SessionResolve(conn, rq->Path, 1, &tape) == 0)
      gw_RecallForOpen(conn, tape);
  }
  gw_store_txn txn;
  std::string ns;
  int rc = gw_SessionResolve(conn, rq->Path, 1, &ns);
  if (rc < 0) {
    reply->errorcode = rc;
    return 0;
  }
  struct stat st;
  bool exists = gw_StoreLstat(ns, &st) == 0;
  bool wantRead = (f & (GW_OPEN_READ | GW_OPEN_RDWR)) != 0;
  bool wantWrite = (f & (GW_OPEN_WRITE | GW_OPEN_RDWR)) != 0;
  bool created = false;
  uint32_t cos = 0;
  gw_meta_t m{};
  if (free_slot(conn) < 0) {
    rc = -24;
  } else if (exists) {
    if ((f & GW_OPEN_CREAT) && (f & GW_OPEN_EXCL)) rc = -17;
    else if (S_ISDIR(st.st_mode)) rc = -21;
    else if ((rc = gw_StoreGetMeta(ns, &m)) == 0)
      rc = gw_AccessObject(conn, &m, (wantRead ? GW_MAY_READ : 0u) | (wantWrite ? GW_MAY_WRITE : 0u));
    cos = m.COSId;
  } else if (!(f & GW_OPEN_CREAT)) {
    rc = -2;
  } else {
    rc = gw_AccessAddName(conn, ns);
    if (rc == 0) rc = choose_cos(conn, &rq->HintsIn, &cos);
    created = rc == 0;
  }
  int fd = -1;
  std::string host = gw_StoreHostPath(ns);
  if (rc == 0) {
    fd = open(host.c_str(), O_RDWR | O_CLOEXEC | (created ? O_CREAT | O_EXCL : 0), 0644);
    if (fd < 0) rc = -errno;
  }
  if (rc == 0 && created)
    rc = gw_StoreNewObject(ns, GW_TYPE_FILE, gw_SessionUid(conn), gw_SessionGid(conn),
                           uint32_t(rq->Mode) & 07777 & ~conn->umask, gw_SessionAccount(conn), cos);
  bool truncate = (f & GW_OPEN_TRUNC) && wantWrite && !created;
  if (rc == 0 && truncate) rc = gw_StoreSetDataLength(ns, 0);
  bool staged = false;
  if (rc == 0 && !created && !(f & GW_OPEN_NOSTAGE) && gw_StoreGetMeta(ns, &m) == 0 &&
      gw_OnTapeOnly(&m)) {
    // The data comes back to disk before the open completes, after the
    // recall's time.
    rc = gw_RecallOnOpen(ns, &m);
    if (rc == 0) rc = gw_StageToLevel(ns, 0, nullptr);
    staged = rc == 0;
  }
  // The rows are kept before the data is cut, which cannot be undone.
  if (rc == 0) rc = txn.commit();
  if (rc == 0 && truncate && ftruncate(fd, 0) < 0) rc = -errno;
  if (rc < 0) {
    if (fd >= 0) close(fd);
    if (created) unlink(host.c_str());
    reply->errorcode = rc;
    return 0;
  }
  if (staged) conn->note += " staged";
  uint64_t offset = 0;
  if ((f & GW_OPEN_APPEND) && fstat(fd, &st) == 0) offset = uint64_t(st.st_size);
  int32_t gfd = add_file(conn, fd, ns, f, offset);
  api_quor_Open_rply_t r;
  memset(&r, 0, sizeof r);
  hints_out(conn, &rq->HintsIn, cos, &r.HintsOut);
  if (gw_ReplyWithBody(reply, (xdrproc_t)qel_xdr_api_quor_Open_rply_t, &r) < 0) return -1;
  reply->errorcode = gfd;
  return 0;
}

int gw_HandleClose(gw_conn_t* conn, const api_msghdr_t*, void* req, gw_reply_t* reply) {
  const api_quor_Close_req_t* rq = static_cast<const api_quor_Close_req_t*>(req);
  gw_openfile_t* f = gw_FileLookup(conn, rq->Fildes);
  if (!f) {
    reply->errorcode = -9;
    return 0;
  }
  if (f->fd >= 0) close(f->fd);
  f->fd = -1;
  f->inUse = 0;
  f->path.clear();
  return 0;
}

int gw_HandleFstat(gw_conn_t* conn, const api_msghdr_t*, void* req, gw_reply_t* reply) {
  const api_quor_Fstat_req_t* rq = static_cast<const api_quor_Fstat_req_t*>(req);
  gw_openfile_t* f = gw_FileLookup(conn, rq->Fildes);
  if (!f) {
    reply->errorcode = -9;
    return 0;
  }
  quor_stat_t st;
  memset(&st, 0, sizeof st);
  int rc = gw_StoreStat(f->path, &st);
  if (rc < 0) {
    reply->errorcode = rc;
    return 0;
  }
  api_quor_Fstat_rply_t r = {&st};
  return gw_ReplyWithBody(reply, (xdrproc_t)qel_xdr_api_quor_Fstat_rply_t, &r);
}

int gw_HandleCopyFile(gw_conn_t* conn, const api_msghdr_t*, void* req, gw_reply_t* reply) {
  const api_quor_CopyFile_req_t* rq = static_cast<const api_quor_CopyFile_req_t*>(req);
  gw_openfile_t* src = gw_FileLookup(conn, rq->SrcFildes);
  gw_openfile_t* dst = gw_FileLookup(conn, rq->DestFildes);
  if (!src || !dst) {
    reply->errorcode = -9;
    return 0;
  }
  if (src == dst) {
    reply->errorcode = -22;
    return 0;
  }
  // The source must be open for reading and the sink for writing, as for
  // the reads and writes the copy stands for.
  if (!(src->oflag & (GW_OPEN_READ | GW_OPEN_RDWR)) || !(dst->oflag & (GW_OPEN_WRITE | GW_OPEN_RDWR))) {
    reply->errorcode = -9;
    return 0;
  }
  std::lock_guard<std::recursive_mutex> hold(gw_StoreLock());
  std::vector<char> buf(65536);
  uint64_t at = 0;
  int rc = 0;
  for (;;) {
    ssize_t n = pread(src->fd, buf.data(), buf.size(), off_t(at));
    if (n < 0) {
      rc = -errno;
      break;
    }
    if (n == 0) break;
    if (pwrite(dst->fd, buf.data(), size_t(n), off_t(at)) != n) {
      rc = -5;
      break;
    }
    at += uint64_t(n);
  }
  if (rc == 0 && ftruncate(dst->fd, off_t(at)) < 0) rc = -errno;
  if (rc == 0) rc = gw_StoreSetDataLength(dst->path, at);
  reply->errorcode = rc;
  return 0;
}

void gw_NoteCreate(const api_msghdr_t*, const void* req, std::string* note) {
  const api_quor_Create_req_t* rq = static_cast<const api_quor_Create_req_t*>(req);
  *note += " path=" + gw_JournalText(rq->Path);
}

void gw_NoteOpen(const api_msghdr_t*, const void* req, std::string* note) {
  const api_quor_Open_req_t* rq = static_cast<const api_quor_Open_req_t*>(req);
  char flags[32];
  snprintf(flags, sizeof flags, " oflag=0x%02x", unsigned(rq->Oflag));
  *note += " path=" + gw_JournalText(rq->Path);
  *note += flags;
}

// Every request on an open file starts with its descriptor.
void gw_NoteFildes(const api_msghdr_t*, const void* req, std::string* note) {
  int32_t fildes;
  memcpy(&fildes, req, sizeof fildes);
  *note += " fildes=" + std::to_string(fildes);
}

void gw_NoteCopyFile(const api_msghdr_t*, const void* req, std::string* note) {
  const api_quor_CopyFile_req_t* rq = static_cast<const api_quor_CopyFile_req_t*>(req);
  *note += " src=" + std::to_string(rq->SrcFildes) + " dst=" + std::to_string(rq->DestFildes);
}
