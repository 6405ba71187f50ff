// Tape recalls behind asynchronous stages; see recall.h.
#include "recall.h"

#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <string.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

#include "access.h"
#include "config_values.h"
#include "framing.h"
#include "journal.h"
#include "reply.h"
#include "session.h"
#include "stage.h"
#include "qel_threads.h"
#include "xdr_objects.h"

#define GW_REPORT_CONNECT_MS 2000

namespace {

// Request-number rules: the numbers listed, or all.
struct nth_rule {
  bool all = false;
  std::vector<unsigned> nths;
  bool fires(unsigned n) const {
    if (all) return true;
    for (unsigned k : nths)
      if (k == n) return true;
    return false;
  }
};

struct recall_cfg {
  int64_t delayMs = -1;  // -1: Server.StageDelay
  std::map<std::string, uint32_t> volumeDelayMs;
  unsigned capacity = 0;
  nth_rule lostCallback, lostRequest, duplicate, unknownId;
  bool outOfOrder = false;
  bool busyOpens = false;  // an open answers -1411 until the recall is done
};

recall_cfg rcfg;

struct recall_req {
  quor_reqid_t reqid;  // answered to the client, asked for by GetAsyncStatus
  bfs_callback_addr_t callback;
  bfs_bitfile_obj_handle_t bfobj;
  std::string path;
  uint32_t level;
  bool lostCallback, duplicate, unknownId;
};

struct drive {
  std::string volume;
  uint32_t delayMs = 0;
  std::deque<recall_req> queue;
  std::thread thread;
};

// The request table and the drives. Declared last among this file's state
// so that it goes first at exit.
struct recall_state {
  std::mutex lock;
  std::condition_variable wake;
  bool stopping = false;
  std::vector<quor_reqid_t> pending;
  std::map<std::string, std::unique_ptr<drive>> drives;
  unsigned taken = 0;
  std::mt19937 rng{std::random_device{}()};
  ~recall_state() { gw_StageShutdown(); }
};

recall_state state;

bool same_id(const quor_reqid_t& a, const quor_reqid_t& b) { return memcmp(&a, &b, sizeof a) == 0; }

void drop_pending(const quor_reqid_t& id) {
  for (size_t i = 0; i < state.pending.size(); i++)
    if (same_id(state.pending[i], id)) {
      state.pending.erase(state.pending.begin() + long(i));
      return;
    }
}

// A random version-4 UUID; state.lock held.
void random_reqid(quor_reqid_t* id) {
  unsigned char b[16];
  for (unsigned char& c : b) c = (unsigned char)state.rng();
  id->time_low = (uint32_t(b[0]) << 24) | (uint32_t(b[1]) << 16) | (uint32_t(b[2]) << 8) | b[3];
  id->time_mid = uint16_t((b[4] << 8) | b[5]);
  id->time_hi_and_version = uint16_t((((b[6] << 8) | b[7]) & 0x0fff) | 0x4000);
  id->clock_seq_hi_and_reserved = uint8_t((b[8] & 0x3f) | 0x80);
  id->clock_seq_low = b[9];
  memcpy(id->node, b + 10, 6);
}

bool has_address(const bfs_callback_addr_t* cb) {
  int family = cb->sockaddr.hs_addr.ss_family;
  return cb->sockaddr.hs_addrlen != 0 && (family == AF_INET || family == AF_INET6);
}

// Connects to the callback address and sends one bare report: 0, or -1.
int send_report(const bfs_callback_addr_t& cb, const quor_reqid_t& id, int32_t retcode,
                const bfs_bitfile_obj_handle_t& bfobj) {
  struct sockaddr_storage to;
  memcpy(&to, &cb.sockaddr.hs_addr, sizeof to);
  socklen_t toLen = cb.sockaddr.hs_addrlen;
  // An IPv4 address decodes as a mapped IPv6 one; reach it over IPv4.
  const auto* sin6 = reinterpret_cast<const struct sockaddr_in6*>(&cb.sockaddr.hs_addr);
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
    msg.reqid = id;
    msg.retcode = retcode;
    msg.bfobj = bfobj;
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

void report(const recall_req& r, const quor_reqid_t& id, int32_t retcode, const char* extra) {
  const char* outcome = "none";
  if (has_address(&r.callback)) outcome = send_report(r.callback, id, retcode, r.bfobj) == 0 ? "sent" : "failed";
  gw_JournalLine("stage-callback id=%08x retcode=%d %s%s", unsigned(id.time_low), int(retcode),
                 outcome, extra);
}

// The end of one recall: the data goes to disk, then the request leaves the
// table and its reports go out in one step, so that nobody asking after it
// learns it is gone before its report is on the way.
void finish(const recall_req& r, const std::string& volume) {
  uint64_t bytes = 0;
  int rc = gw_StageToLevel(r.path, r.level, &bytes);
  int32_t retcode = rc < 0 ? rc : 0;
  gw_JournalLine("stage-recalled id=%08x path=%s volume=%s retcode=%d", unsigned(r.callback.id.time_low),
                 gw_JournalText(r.path).c_str(), gw_JournalText(volume).c_str(), int(retcode));
  std::lock_guard<std::mutex> hold(state.lock);
  drop_pending(r.reqid);
  if (state.stopping) return;
  if (r.lostCallback) {
    gw_JournalLine("stage-callback id=%08x retcode=%d lost", unsigned(r.callback.id.time_low),
                   int(retcode));
    return;
  }
  if (r.unknownId) {
    quor_reqid_t stray;
    random_reqid(&stray);
    report(r, stray, 0, " unknown");
  }
  report(r, r.callback.id, retcode, "");
  if (r.duplicate) report(r, r.callback.id, retcode, " duplicate");
}

// One drive: recalls its volume's requests one at a time.
void run_drive(drive* d) {
  std::unique_lock<std::mutex> hold(state.lock);
  for (;;) {
    state.wake.wait(hold, [&] { return state.stopping || !d->queue.empty(); });
    if (state.stopping) return;
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(d->delayMs);
    if (state.wake.wait_until(hold, until, [] { return state.stopping; })) return;
    recall_req r;
    if (rcfg.outOfOrder) {
      r = d->queue.back();
      d->queue.pop_back();
    } else {
      r = d->queue.front();
      d->queue.pop_front();
    }
    hold.unlock();
    finish(r, d->volume);
    hold.lock();
  }
}

// The drive of a volume, started on first use; state.lock held.
drive* drive_of(const std::string& volume, uint32_t defaultDelay) {
  auto it = state.drives.find(volume);
  if (it != state.drives.end()) return it->second.get();
  auto d = std::make_unique<drive>();
  d->volume = volume;
  auto vd = rcfg.volumeDelayMs.find(volume);
  d->delayMs = vd != rcfg.volumeDelayMs.end() ? vd->second
               : rcfg.delayMs >= 0           ? uint32_t(rcfg.delayMs)
                                             : defaultDelay;
  drive* raw = d.get();
  try {
    raw->thread = std::thread(run_drive, raw);
  } catch (const std::system_error&) {
    return nullptr;
  }
  state.drives[volume] = std::move(d);
  return raw;
}

// The volume a tape-only file is recalled from ("" for a file on disk).
std::string volume_of(const gw_meta_t& m) {
  if (!gw_OnTapeOnly(&m)) return "";
  for (const gw_level_t& l : m.levels)
    if ((l.Flags & GW_LEVEL_DATA) && l.BytesAtLevel > 0 && !l.volumes.empty())
      return l.volumes[0].vvid;
  return "";
}

int parse_nths(const char* text, nth_rule* r) {
  std::string s(text);
  size_t i = 0;
  while (i < s.size()) {
    size_t j = s.find_first_of(" ,\t", i);
    if (j == std::string::npos) j = s.size();
    std::string w = s.substr(i, j - i);
    i = j + 1;
    if (w.empty()) continue;
    if (w == "*") {
      r->all = true;
      continue;
    }
    int64_t n;
    if (gw_ParseNumber(w.c_str(), 1, 0x7fffffff, &n) < 0) return -22;
    r->nths.push_back(unsigned(n));
  }
  return r->all || !r->nths.empty() ? 0 : -22;
}

int fail(std::string* err, unsigned line, const std::string& why) {
  *err = std::to_string(line) + ": " + why;
  return -22;
}

}  // namespace

void gw_RecallDefaults(void) { rcfg = recall_cfg{}; }

int gw_RecallLoad(quor_cfg_stanza_t* block, std::string* err) {
  rcfg = recall_cfg{};
  for (quor_cfg_stanza_t* e = block->substanzaList; e; e = e->next) {
    const char* key = e->KeyString;
    if (e->type == CFG_FLAG_TYPE && strcasecmp(key, "OutOfOrder") == 0) {
      rcfg.outOfOrder = true;
      continue;
    }
    if (e->type == CFG_FLAG_TYPE && strcasecmp(key, "BusyOpens") == 0) {
      rcfg.busyOpens = true;
      continue;
    }
    const char* v = e->type == CFG_SIMPLE_TYPE ? e->KeyValue : nullptr;
    if (!v) return fail(err, e->LineNum, std::string("unknown Recall key ") + key);
    int64_t n;
    nth_rule* rule = strcasecmp(key, "LostCallback") == 0 ? &rcfg.lostCallback
                     : strcasecmp(key, "LostRequest") == 0 ? &rcfg.lostRequest
                     : strcasecmp(key, "Duplicate") == 0   ? &rcfg.duplicate
                     : strcasecmp(key, "UnknownId") == 0   ? &rcfg.unknownId
                                                           : nullptr;
    if (rule) {
      if (parse_nths(v, rule) < 0)
        return fail(err, e->LineNum, std::string(key) + " wants request numbers or *");
    } else if (strcasecmp(key, "Delay") == 0) {
      if (gw_ParseNumber(v, 0, 600000, &n) < 0) return fail(err, e->LineNum, "bad Delay");
      rcfg.delayMs = n;
    } else if (strcasecmp(key, "Capacity") == 0) {
      if (gw_ParseNumber(v, 0, 1000000, &n) < 0) return fail(err, e->LineNum, "bad Capacity");
      rcfg.capacity = unsigned(n);
    } else if (strcasecmp(key, "Volume") == 0) {
      std::string s(v);
      size_t sp = s.find_first_of(" \t");
      std::string name = s.substr(0, sp);
      std::string ms = sp == std::string::npos ? "" : s.substr(s.find_first_not_of(" \t", sp));
      if (name.empty() || name.size() > QUOROID_LEN || gw_ParseNumber(ms.c_str(), 0, 600000, &n) < 0)
        return fail(err, e->LineNum, "Volume wants NAME MILLISECONDS");
      rcfg.volumeDelayMs[name] = uint32_t(n);
    } else {
      return fail(err, e->LineNum, std::string("unknown Recall key ") + key);
    }
  }
  return 0;
}

void gw_StageShutdown(void) {
  std::map<std::string, std::unique_ptr<drive>> drives;
  {
    std::lock_guard<std::mutex> hold(state.lock);
    state.stopping = true;
    drives.swap(state.drives);
  }
  state.wake.notify_all();
  for (auto& [name, d] : drives)
    if (d->thread.joinable()) d->thread.join();
}

int gw_HandleStageCallBack(gw_conn_t* conn, const api_msghdr_t*, void* req, gw_reply_t* reply) {
  const api_quor_StageCallBack_req_t* rq = static_cast<const api_quor_StageCallBack_req_t*>(req);
  std::string ns;
  quor_Attrs_t attrs;
  ns_ObjHandle_t handle;
  memset(&attrs, 0, sizeof attrs);
  memset(&handle, 0, sizeof handle);
  std::string volume;
  int rc = gw_SessionResolve(conn, rq->Path, 1, &ns);
  {
    std::lock_guard<std::recursive_mutex> hold(gw_StoreLock());
    gw_meta_t m;
    if (rc == 0) rc = gw_StoreGetMeta(ns, &m);
    if (rc == 0 && m.Type == GW_TYPE_DIRECTORY) rc = -21;
    if (rc == 0) rc = gw_AccessObject(conn, &m, GW_MAY_READ);
    if (rc == 0 && (rq->StorageLevel >= QUOR_MAX_LEVELS ||
                    (m.levels[rq->StorageLevel].Flags & GW_LEVEL_TAPE)))
      rc = -22;
    if (rc == 0) rc = gw_StoreAttrs(ns, &attrs, &handle);
    if (rc == 0) volume = volume_of(m);
  }
  if (rc < 0) {
    reply->errorcode = rc;
    return 0;
  }
  recall_req r{};
  memset(&r.reqid, 0, sizeof r.reqid);
  r.callback = rq->CallBackPtr;
  r.bfobj = attrs.BitfileObj;
  r.path = ns;
  r.level = rq->StorageLevel;
  {
    std::lock_guard<std::mutex> hold(state.lock);
    if (state.stopping) {
      reply->errorcode = -5000;
      return 0;
    }
    if (rcfg.capacity && state.pending.size() >= rcfg.capacity) {
      conn->note += " busy";
      reply->errorcode = -16;
      return 0;
    }
    unsigned nth = ++state.taken;
    random_reqid(&r.reqid);
    r.lostCallback = rcfg.lostCallback.fires(nth);
    r.duplicate = rcfg.duplicate.fires(nth);
    r.unknownId = rcfg.unknownId.fires(nth);
    if (rcfg.lostRequest.fires(nth)) {
      conn->note += " forgotten";
    } else {
      drive* d = drive_of(volume, conn->cfg->stageDelayMs);
      if (!d) {
        reply->errorcode = -5000;
        return 0;
      }
      state.pending.push_back(r.reqid);
      d->queue.push_back(r);
      conn->note += " recall=" + gw_JournalText(volume);
    }
  }
  state.wake.notify_all();
  api_quor_StageCallBack_rply_t out;
  out.ReqID = r.reqid;
  out.BitfileObj = r.bfobj;
  return gw_ReplyWithBody(reply, (xdrproc_t)qel_xdr_api_quor_StageCallBack_rply_t, &out);
}

int gw_HandleGetAsyncStatus(gw_conn_t*, const api_msghdr_t*, void* req, gw_reply_t* reply) {
  const api_quor_GetAsyncStatus_req_t* rq = static_cast<const api_quor_GetAsyncStatus_req_t*>(req);
  api_quor_GetAsyncStatus_rply_t r = {0};
  {
    std::lock_guard<std::mutex> hold(state.lock);
    for (const quor_reqid_t& id : state.pending)
      if (same_id(id, rq->callbackID)) r.Status = 1;
  }
  return gw_ReplyWithBody(reply, (xdrproc_t)qel_xdr_api_quor_GetAsyncStatus_rply_t, &r);
}

void gw_RecallForOpen(gw_conn_t* conn, const std::string& ns) {
  std::string volume;
  {
    std::lock_guard<std::recursive_mutex> hold(gw_StoreLock());
    gw_meta_t m;
    if (gw_StoreGetMeta(ns, &m) == 0) volume = volume_of(m);
  }
  if (volume.empty() || rcfg.busyOpens) return;
  static std::mutex drivesLock;
  static std::map<std::string, std::unique_ptr<std::mutex>> drives;
  std::mutex* drive;
  uint32_t ms;
  {
    std::lock_guard<std::mutex> hold(drivesLock);
    auto& d = drives[volume];
    if (!d) d = std::make_unique<std::mutex>();
    drive = d.get();
    auto vd = rcfg.volumeDelayMs.find(volume);
    ms = vd != rcfg.volumeDelayMs.end() ? vd->second
         : rcfg.delayMs >= 0           ? uint32_t(rcfg.delayMs)
                                       : conn->cfg->stageDelayMs;
  }
  conn->note += " recall=" + gw_JournalText(volume);
  std::lock_guard<std::mutex> mount(*drive);
  double scaled = double(ms) / qelapi_time_scale();
  std::this_thread::sleep_for(std::chrono::microseconds(int64_t(scaled * 1000.0)));
}

namespace {
std::mutex openRecallLock;
std::map<std::string, std::chrono::steady_clock::time_point> openRecalls;
}  // namespace

int gw_RecallOnOpen(const std::string& nspath, const gw_meta_t* m) {
  // Opens that answer busy instead of waiting are asked for by BusyOpens.
  if (!rcfg.busyOpens) return 0;
  std::string volume = volume_of(*m);
  auto vd = rcfg.volumeDelayMs.find(volume);
  uint32_t delay = vd != rcfg.volumeDelayMs.end() ? vd->second
                   : rcfg.delayMs >= 0           ? uint32_t(rcfg.delayMs)
                                                 : 0;
  if (delay == 0) return 0;
  std::lock_guard<std::mutex> hold(openRecallLock);
  auto now = std::chrono::steady_clock::now();
  auto it = openRecalls.find(nspath);
  if (it == openRecalls.end()) {
    openRecalls[nspath] = now;
    return -1411;
  }
  if (now - it->second < std::chrono::milliseconds(delay)) return -1411;
  openRecalls.erase(it);
  return 0;
}
