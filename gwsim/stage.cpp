// Residency changes and asynchronous stages of gwsim; see stage.h.
#include "stage.h"

#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "reply.h"
#include "framing.h"
#include "journal.h"
#include "queries.h"
#include "access.h"
#include "session.h"

#define GW_REPORT_CONNECT_MS 2000

namespace {

// A stage whose report has not gone out yet.
struct pending_stage {
  quor_reqid_t reqid;  // answered to the client, asked for by GetAsyncStatus
  bfs_callback_addr_t callback;
  bfs_bitfile_obj_handle_t bfobj;
};

struct report_thread {
  std::thread thread;
  std::shared_ptr<std::atomic<bool>> done;
};

// Pending stages and the threads that report them. Declared last among this
// file's state so that it goes first at exit.
struct stage_registry {
  std::mutex lock;
  std::condition_variable wake;
  bool stopping = false;
  std::vector<pending_stage> pending;
  std::vector<report_thread> threads;
  ~stage_registry() { gw_StageShutdown(); }
};

stage_registry registry;

bool same_id(const quor_reqid_t& a, const quor_reqid_t& b) { return memcmp(&a, &b, sizeof a) == 0; }

void drop_pending(const quor_reqid_t& id) {
  for (size_t i = 0; i < registry.pending.size(); i++)
    if (same_id(registry.pending[i].reqid, id)) {
      registry.pending.erase(registry.pending.begin() + long(i));
      return;
    }
}

// Joins the report threads that have finished; registry.lock held.
void reap_threads(void) {
  for (size_t i = 0; i < registry.threads.size();) {
    if (registry.threads[i].done->load()) {
      registry.threads[i].thread.join();
      registry.threads.erase(registry.threads.begin() + long(i));
    } else {
      i++;
    }
  }
}

bool has_address(const bfs_callback_addr_t* cb) {
  int family = cb->sockaddr.hs_addr.ss_family;
  return cb->sockaddr.hs_addrlen != 0 && (family == AF_INET || family == AF_INET6);
}

// Connects to the callback address and sends the bare report: 0, or -1.
int send_report(const pending_stage& p) {
  struct sockaddr_storage to;
  memcpy(&to, &p.callback.sockaddr.hs_addr, sizeof to);
  socklen_t toLen = p.callback.sockaddr.hs_addrlen;
  // An IPv4 address decodes as a mapped IPv6 one; reach it over IPv4.
  const auto* sin6 = reinterpret_cast<const struct sockaddr_in6*>(&p.callback.sockaddr.hs_addr);
  if (to.ss_family == AF_INET6 && IN6_IS_ADDR_V4MAPPED(&sin6->sin6_addr)) {
    struct sockaddr_in sin;
    memset(&sin, 0, sizeof sin);
    sin.sin_family = AF_INET;
    sin.sin_port = sin6->sin6_port;
    memcpy(&sin.sin_addr, sin6->sin6_addr.s6_addr + 12, 4);
    memset(&to, 0, sizeof to);
    memcpy(&to, &sin, sizeof sin);
    toLen = sizeof sin;
  }
  int fd = socket(to.ss_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return -1;
  int rc = connect(fd, reinterpret_cast<const struct sockaddr*>(&to), toLen);
  if (rc < 0 && errno == EINPROGRESS) {
    struct pollfd pfd = {fd, POLLOUT, 0};
    int err = 0;
    socklen_t len = sizeof err;
    rc = poll(&pfd, 1, GW_REPORT_CONNECT_MS) == 1 &&
                 getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) == 0 && err == 0
             ? 0
             : -1;
  }
  if (rc == 0) {
    int flags = fcntl(fd, F_GETFL);
    fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    bfs_callback_ret_msg_t msg;
    memset(&msg, 0, sizeof msg);
    msg.reqid = p.callback.id;
    msg.retcode = 0;
    msg.bfobj = p.bfobj;
    char buf[QEL_BFS_CALLBACK_RET_MSG_SIZE];
    XDR x;
    xdrmem_create(&x, buf, sizeof buf, XDR_ENCODE);
    bool ok = qel_xdr_bfs_callback_ret_msg_t(&x, &msg);
    u_int len = xdr_getpos(&x);
    xdr_destroy(&x);
    rc = ok && gw_SendAll(fd, buf, len) == 0 ? 0 : -1;
  }
  close(fd);
  return rc;
}

void deliver(pending_stage p, uint32_t delayMs, std::shared_ptr<std::atomic<bool>> done) {
  std::unique_lock<std::mutex> hold(registry.lock);
  registry.wake.wait_for(hold, std::chrono::milliseconds(delayMs),
                         [] { return registry.stopping; });
  bool stopping = registry.stopping;
  // Finished from the service's point of view before the report goes out.
  drop_pending(p.reqid);
  hold.unlock();
  if (!stopping) {
    const char* outcome = "none";
    if (has_address(&p.callback)) outcome = send_report(p) == 0 ? "sent" : "failed";
    gw_JournalLine("stage-callback id=%08x retcode=0 %s", unsigned(p.callback.id.time_low),
                   outcome);
  }
  done->store(true);
}

void random_reqid(gw_conn_t* conn, quor_reqid_t* id) {
  unsigned char b[16];
  for (unsigned char& c : b) c = (unsigned char)conn->rng();
  id->time_low = (uint32_t(b[0]) << 24) | (uint32_t(b[1]) << 16) | (uint32_t(b[2]) << 8) | b[3];
  id->time_mid = uint16_t((b[4] << 8) | b[5]);
  id->time_hi_and_version = uint16_t((((b[6] << 8) | b[7]) & 0x0fff) | 0x4000);
  id->clock_seq_hi_and_reserved = uint8_t((b[8] & 0x3f) | 0x80);
  id->clock_seq_low = b[9];
  memcpy(id->node, b + 10, 6);
}

// The deepest bytes count held on any level: the file's length as stored.
uint64_t stored_bytes(const gw_meta_t* m) {
  uint64_t n = 0;
  for (const gw_level_t& l : m->levels)
    if ((l.Flags & GW_LEVEL_DATA) && l.BytesAtLevel > n) n = l.BytesAtLevel;
  return n;
}

// The open file of a request, or -9 in *rc.
gw_openfile_t* file_of(gw_conn_t* conn, int32_t fildes, gw_reply_t* reply) {
  gw_openfile_t* f = gw_FileLookup(conn, fildes);
  if (!f) reply->errorcode = -9;
  return f;
}

}  // namespace

int gw_OnTapeOnly(const gw_meta_t* m) {
  bool tape = false;
  for (const gw_level_t& l : m->levels) {
    if (!(l.Flags & GW_LEVEL_DATA) || l.BytesAtLevel == 0) continue;
    if (l.Flags & GW_LEVEL_DISK) return 0;
    tape = true;
  }
  return tape ? 1 : 0;
}

int gw_StageToLevel(const std::string& nspath, uint32_t level, uint64_t* bytes) {
  if (bytes) *bytes = 0;
  if (level >= QUOR_MAX_LEVELS) return -22;
  std::lock_guard<std::recursive_mutex> hold(gw_StoreLock());
  gw_meta_t m;
  int rc = gw_StoreGetMeta(nspath, &m);
  if (rc < 0) return rc;
  gw_level_t& l = m.levels[level];
  if (l.Flags & GW_LEVEL_TAPE) return -22;
  if (!gw_OnTapeOnly(&m)) return 0;
  uint64_t n = stored_bytes(&m);
  l.Flags = GW_LEVEL_DISK | GW_LEVEL_DATA;
  l.BytesAtLevel = n;
  if (l.StripeWidth == 0) l.StripeWidth = 1;
  l.volumes.clear();
  rc = gw_StorePutMeta(nspath, &m);
  if (rc == 0 && bytes) *bytes = n;
  return rc;
}

void gw_StageShutdown(void) {
  std::vector<report_thread> threads;
  {
    std::lock_guard<std::mutex> hold(registry.lock);
    registry.stopping = true;
    threads.swap(registry.threads);
  }
  registry.wake.notify_all();
  for (report_thread& t : threads)
    if (t.thread.joinable()) t.thread.join();
}

int gw_HandlePurge(gw_conn_t* conn, const api_msghdr_t*, void* req, gw_reply_t* reply) {
  const api_quor_Purge_req_t* rq = static_cast<const api_quor_Purge_req_t*>(req);
  gw_openfile_t* f = file_of(conn, rq->Fildes, reply);
  if (!f) return 0;
  if (rq->StorageLevel >= QUOR_MAX_LEVELS || rq->Offset != 0 || rq->Length != 0) {
    reply->errorcode = -22;
    return 0;
  }
  std::lock_guard<std::recursive_mutex> hold(gw_StoreLock());
  gw_meta_t m;
  int rc = gw_StoreGetMeta(f->path, &m);
  if (rc == 0 && (m.OptionFlags & GW_OPTION_PURGE_LOCK)) rc = -1;
  api_quor_Purge_rply_t r = {0};
  gw_level_t& l = m.levels[rq->StorageLevel];
  if (rc == 0 && (l.Flags & GW_LEVEL_DATA) && l.BytesAtLevel > 0) {
    // Only a copy that a deeper level also holds may go.
    bool kept = false;
    for (uint32_t k = rq->StorageLevel + 1; k < QUOR_MAX_LEVELS; k++)
      kept = kept || ((m.levels[k].Flags & GW_LEVEL_DATA) &&
                      m.levels[k].BytesAtLevel >= l.BytesAtLevel);
    if (kept) {
      r.RetBytesPurged = l.BytesAtLevel;
      l.Flags &= ~uint32_t(GW_LEVEL_DATA);
      l.BytesAtLevel = 0;
      rc = gw_StorePutMeta(f->path, &m);
    }
  }
  if (rc < 0) {
    reply->errorcode = rc;
    return 0;
  }
  return gw_ReplyWithBody(reply, (xdrproc_t)qel_xdr_api_quor_Purge_rply_t, &r);
}

int gw_HandleMigrate(gw_conn_t* conn, const api_msghdr_t*, void* req, gw_reply_t* reply) {
  const api_quor_Migrate_req_t* rq = static_cast<const api_quor_Migrate_req_t*>(req);
  gw_openfile_t* f = file_of(conn, rq->Fildes, reply);
  if (!f) return 0;
  // Written so that no level wraps around past the check.
  if (rq->SrcLevel >= QUOR_MAX_LEVELS - 1) {
    reply->errorcode = -22;
    return 0;
  }
  std::lock_guard<std::recursive_mutex> hold(gw_StoreLock());
  gw_meta_t m;
  int rc = gw_StoreGetMeta(f->path, &m);
  if (rc < 0) {
    reply->errorcode = rc;
    return 0;
  }
  api_quor_Migrate_rply_t r = {0};
  const gw_level_t& src = m.levels[rq->SrcLevel];
  gw_level_t& dst = m.levels[rq->SrcLevel + 1];
  bool has = (src.Flags & GW_LEVEL_DATA) && src.BytesAtLevel > 0;
  bool there = (dst.Flags & GW_LEVEL_DATA) && dst.BytesAtLevel == src.BytesAtLevel;
  if (has && !there) {
    uint64_t n = src.BytesAtLevel;
    if (!(dst.Flags & (GW_LEVEL_DISK | GW_LEVEL_TAPE))) dst.Flags |= GW_LEVEL_TAPE;
    dst.Flags |= GW_LEVEL_DATA;
    dst.BytesAtLevel = n;
    if (dst.StripeWidth == 0) dst.StripeWidth = 1;
    if ((dst.Flags & GW_LEVEL_TAPE) && dst.volumes.empty()) {
      gw_volume_t v{};
      v.vvid = "MIGVV" + std::to_string(m.ObjId % 100000000);
      v.RelPosition = int32_t(m.ObjId % 100000);
      v.label = "MIG001";
      dst.volumes.push_back(v);
    }
    size_t count = dst.volumes.size();
    for (size_t k = 0; k < count; k++)
      dst.volumes[k].BytesOnVV = n / count + (k < n % count ? 1 : 0);
    rc = gw_StorePutMeta(f->path, &m);
    r.RetBytesMigrated = n;
  }
  if (rc < 0) {
    reply->errorcode = rc;
    return 0;
  }
  return gw_ReplyWithBody(reply, (xdrproc_t)qel_xdr_api_quor_Migrate_rply_t, &r);
}

int gw_HandleStage(gw_conn_t* conn, const api_msghdr_t*, void* req, gw_reply_t* reply) {
  const api_quor_Stage_req_t* rq = static_cast<const api_quor_Stage_req_t*>(req);
  gw_openfile_t* f = file_of(conn, rq->Fildes, reply);
  if (!f) return 0;
  uint64_t n = 0;
  reply->errorcode = gw_StageToLevel(f->path, rq->StorageLevel, &n);
  if (reply->errorcode == 0 && n > 0) conn->note += " staged";
  return 0;
}

int gw_HandleStageCallBack(gw_conn_t* conn, const api_msghdr_t*, void* req, gw_reply_t* reply) {
  const api_quor_StageCallBack_req_t* rq = static_cast<const api_quor_StageCallBack_req_t*>(req);
  std::string ns;
  quor_Attrs_t attrs;
  ns_ObjHandle_t handle;
  memset(&attrs, 0, sizeof attrs);
  memset(&handle, 0, sizeof handle);
  int rc = gw_SessionResolve(conn, rq->Path, 1, &ns);
  {
    std::lock_guard<std::recursive_mutex> hold(gw_StoreLock());
    gw_meta_t m;
    if (rc == 0) rc = gw_StoreGetMeta(ns, &m);
    if (rc == 0 && m.Type == GW_TYPE_DIRECTORY) rc = -21;
    if (rc == 0) rc = gw_AccessObject(conn, &m, GW_MAY_READ);
    if (rc == 0) rc = gw_StoreAttrs(ns, &attrs, &handle);
    uint64_t n = 0;
    if (rc == 0) rc = gw_StageToLevel(ns, rq->StorageLevel, &n);
    if (rc == 0 && n > 0) conn->note += " staged";
  }
  if (rc < 0) {
    reply->errorcode = rc;
    return 0;
  }
  pending_stage p;
  memset(&p, 0, sizeof p);
  random_reqid(conn, &p.reqid);
  p.callback = rq->CallBackPtr;
  p.bfobj = attrs.BitfileObj;
  {
    std::lock_guard<std::mutex> hold(registry.lock);
    reap_threads();
    if (!registry.stopping) {
      registry.pending.push_back(p);
      auto done = std::make_shared<std::atomic<bool>>(false);
      try {
        registry.threads.push_back(
            report_thread{std::thread(deliver, p, conn->cfg->stageDelayMs, done), done});
      } catch (const std::system_error&) {
        // No thread: the stage is done, only its report is lost.
        drop_pending(p.reqid);
        gw_JournalLine("stage-callback id=%08x retcode=0 failed",
                       unsigned(p.callback.id.time_low));
      }
    }
  }
  api_quor_StageCallBack_rply_t r;
  r.ReqID = p.reqid;
  r.BitfileObj = p.bfobj;
  return gw_ReplyWithBody(reply, (xdrproc_t)qel_xdr_api_quor_StageCallBack_rply_t, &r);
}

int gw_HandleGetAsyncStatus(gw_conn_t*, const api_msghdr_t*, void* req, gw_reply_t* reply) {
  const api_quor_GetAsyncStatus_req_t* rq = static_cast<const api_quor_GetAsyncStatus_req_t*>(req);
  api_quor_GetAsyncStatus_rply_t r = {0};
  {
    std::lock_guard<std::mutex> hold(registry.lock);
    for (const pending_stage& p : registry.pending)
      if (same_id(p.reqid, rq->callbackID)) r.Status = 1;
  }
  return gw_ReplyWithBody(reply, (xdrproc_t)qel_xdr_api_quor_GetAsyncStatus_rply_t, &r);
}

int gw_HandleSetCOSByHints(gw_conn_t* conn, const api_msghdr_t*, void* req, gw_reply_t* reply) {
  const api_quor_SetCOSByHints_req_t* rq = static_cast<const api_quor_SetCOSByHints_req_t*>(req);
  gw_openfile_t* f = file_of(conn, rq->Fildes, reply);
  if (!f) return 0;
  const gw_config_t* cfg = conn->cfg;
  std::lock_guard<std::recursive_mutex> hold(gw_StoreLock());
  gw_meta_t m;
  int rc = gw_StoreGetMeta(f->path, &m);
  struct stat st;
  if (rc == 0 && fstat(f->fd, &st) == 0 && st.st_size > 0) rc = -22;
  uint32_t id = rq->HintsIn.COSId;
  if (rc == 0 && id == 0) {
    const gw_cos_t* p = gw_PickCOS(cfg, nullptr, rq->HintsIn.MinFileSize, gw_SessionUid(conn),
                                   gw_SessionGid(conn), gw_SessionAccount(conn), 0, 0);
    if (p) id = p->md.COSId;
    else rc = -22;
  }
  const gw_cos_t* c = rc == 0 ? gw_FindCOS(cfg, id) : nullptr;
  if (rc == 0 && !c && !cfg->tables.cos.empty()) rc = -22;
  if (rc < 0 || id == m.COSId) {
    reply->errorcode = rc;
    return 0;
  }
  m.COSId = id;
  rc = gw_StorePutMeta(f->path, &m);
  if (rc < 0) {
    reply->errorcode = rc;
    return 0;
  }
  api_quor_SetCOSByHints_rply_t r;
  memset(&r, 0, sizeof r);
  if (c) r.COSout = c->md;
  r.COSout.COSId = id;
  if (gw_ReplyWithBody(reply, (xdrproc_t)qel_xdr_api_quor_SetCOSByHints_rply_t, &r) < 0) return -1;
  reply->errorcode = int32_t(id);
  return 0;
}

void gw_NoteStageCallBack(const api_msghdr_t*, const void* req, std::string* note) {
  const api_quor_StageCallBack_req_t* rq = static_cast<const api_quor_StageCallBack_req_t*>(req);
  char text[64];
  const unsigned char* b = reinterpret_cast<const unsigned char*>(&rq->CallBackPtr);
  bool zero = true;
  for (size_t i = 0; i < sizeof rq->CallBackPtr; i++) zero = zero && b[i] == 0;
  snprintf(text, sizeof text, " level=%u flags=0x%x callback=%s", unsigned(rq->StorageLevel),
           unsigned(rq->Flags), zero ? "zero" : "set");
  *note += " path=" + gw_JournalText(rq->Path);
  *note += text;
}
