// Copies between gateways, on the sink's side: listen sockets that another
// gateway's movers push a list read's data to; see copy_remote.h.
#include "copy_remote.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <string.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <thread>

#include "journal.h"
#include "movers.h"
#include "mvr_protocol.h"
#include "reply.h"
#include "store.h"
#include "xdr_iod.h"

namespace {

enum {
  COPY_INITIAL = 1,
  COPY_XFERRING = 2,
  COPY_ABORTED = 3,
  COPY_COMPLETED = 6,
};

constexpr int kIoTimeoutSec = 30;

struct gw_copy {
  unsigned ordinal = 0;  // from 1, in start order
  uint32_t handle = 0;
  int owner = 0;         // number of the connection holding the sink file
  int sinkFd = -1;       // our duplicate of the sink file's descriptor
  std::string sinkPath;  // namespace path of the sink file
  uint64_t xferId = 0;   // every header must carry it
  uint64_t sinkOffset = 0;
  uint64_t length = 0;
  int memoryStore = 0;
  // Faults of this copy, from the Copies block.
  bool abortRule = false;
  uint64_t abortBytes = 0;
  uint32_t abortState = COPY_ABORTED;
  bool refuseCompletion = false;

  std::mutex m;  // everything below
  uint32_t state = COPY_INITIAL;
  int32_t error = 0;
  std::map<uint64_t, uint64_t> cover;  // stream ranges written: start -> end
  uint64_t bytes = 0;                  // distinct bytes written
  uint64_t highest = 0;                // end of the furthest range written
  std::vector<int> listeners;
  std::set<int> conns;   // open mover connections, shut down on a stop
  int accepting = 0;     // connections accepted whose thread has not ended
  bool stopping = false;
  int wakeFd = -1;       // eventfd: the service thread stops
  std::vector<std::thread> workers;
  std::thread service;
  std::string why;  // first failure, for the journal
  std::mutex finishing;  // a poll and a notice may end the copy together
};

typedef std::shared_ptr<gw_copy> copy_ptr;

// Copies are the gateway's, not a connection's: the handle may be queried
// from any connection.
std::mutex copies_lock;
std::map<uint32_t, copy_ptr> copies;
uint32_t next_handle = 1;
unsigned copies_started = 0;

void addCover(gw_copy* c, uint64_t lo, uint64_t hi) {
  auto it = c->cover.upper_bound(lo);
  if (it != c->cover.begin()) {
    auto prev = std::prev(it);
    if (prev->second >= lo) {
      lo = prev->first;
      hi = std::max(hi, prev->second);
      c->bytes -= prev->second - prev->first;
      it = c->cover.erase(prev);
    }
  }
  while (it != c->cover.end() && it->first <= hi) {
    hi = std::max(hi, it->second);
    c->bytes -= it->second - it->first;
    it = c->cover.erase(it);
  }
  c->cover[lo] = hi;
  c->bytes += hi - lo;
  c->highest = std::max(c->highest, hi);
}

// Stops the copy's sockets; the threads then end. Under c->m.
void stopLocked(gw_copy* c) {
  if (c->stopping) return;
  c->stopping = true;
  // A listen socket shut down stops listening: movers still to come are
  // refused rather than left to fill a backlog nobody reads.
  for (int fd : c->listeners) shutdown(fd, SHUT_RDWR);
  for (int fd : c->conns) shutdown(fd, SHUT_RDWR);
  uint64_t one = 1;
  if (c->wakeFd >= 0 && write(c->wakeFd, &one, sizeof one) < 0) {
    // the service thread also looks at stopping on every wake-up
  }
}

void abortCopy(gw_copy* c, uint32_t state, int32_t error, const std::string& why) {
  std::lock_guard<std::mutex> hold(c->m);
  if (c->state != COPY_COMPLETED && c->state != COPY_ABORTED && c->state != 7) {
    c->state = state;
    c->error = error;
    if (c->why.empty()) c->why = why;
    gw_JournalLine("copy handle=%u aborted state=%u error=%d why=%s", c->handle, state, error,
                   why.c_str());
  }
  stopLocked(c);
}

bool recvAll(int fd, void* p, size_t len) {
  return mover_socket_read_data_timeout(fd, p, int(len), kIoTimeoutSec) == int(len);
}

// len bytes of the stream at offset `at` from sock into the sink file.
bool receiveBytes(gw_copy* c, int sock, uint64_t at, uint64_t len) {
  if (c->memoryStore) return gw_StoreDiscard(sock, len) == 0;
  std::vector<char> buf(size_t(std::min<uint64_t>(len, 1 << 20)));
  while (len > 0) {
    size_t n = size_t(std::min<uint64_t>(len, buf.size()));
    if (!recvAll(sock, buf.data(), n)) return false;
    if (pwrite(c->sinkFd, buf.data(), n, off_t(c->sinkOffset + at)) != ssize_t(n)) return false;
    at += n;
    len -= n;
  }
  return true;
}

// Counts a piece as written and lets the abort rule fire.
void written(gw_copy* c, uint64_t off, uint64_t len) {
  bool fire;
  {
    std::lock_guard<std::mutex> hold(c->m);
    addCover(c, off, off + len);
    if (c->state == COPY_INITIAL) c->state = COPY_XFERRING;
    fire = c->abortRule && c->bytes >= c->abortBytes;
  }
  if (fire) abortCopy(c, c->abortState, -5, "rule");
}

bool inWindow(const gw_copy* c, uint64_t off, uint64_t len) {
  return off <= c->length && len <= c->length - off;
}

// A data listen socket for the mover protocol's data connection.
int listenLoopback(quor_sockaddr_t* addr) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -errno;
  struct sockaddr_in sin;
  memset(&sin, 0, sizeof sin);
  sin.sin_family = AF_INET;
  sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof sin;
  if (bind(fd, reinterpret_cast<sockaddr*>(&sin), sizeof sin) != 0 || listen(fd, 64) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&sin), &len) != 0) {
    int err = errno;
    close(fd);
    return -err;
  }
  if (addr) {
    memset(addr, 0, sizeof *addr);
    memcpy(&addr->hs_addr, &sin, sizeof sin);
    addr->hs_addrlen = sizeof sin;
  }
  return fd;
}

// Waits for one connection on fd while the copy goes on: the descriptor,
// or -1.
int acceptOne(gw_copy* c, int fd) {
  for (int waited = 0; waited < kIoTimeoutSec * 10; waited++) {
    {
      std::lock_guard<std::mutex> hold(c->m);
      if (c->stopping) return -1;
    }
    struct pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, 100) > 0) return accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
  }
  return -1;
}

void track(gw_copy* c, int fd, bool on) {
  std::lock_guard<std::mutex> hold(c->m);
  if (on) {
    // Our answers are small messages the mover waits for: never held back.
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    c->conns.insert(fd);
    if (c->stopping) shutdown(fd, SHUT_RDWR);
  } else {
    c->conns.erase(fd);
  }
}

// One mover-protocol piece announced by init on the control connection ctl;
// *data is the data connection, opened at the first piece.
bool moverPiece(gw_copy* c, int ctl, const initiator_msg_t& init, int* data, int* dataListen,
                std::string* why) {
  if (!inWindow(c, init.Offset, init.Length) || init.Type != MVRPROT_TYPE_TCPIP) {
    *why = "piece outside the copy";
    return false;
  }
  initiator_msg_t reply = init;
  reply.Flags = MVRPROT_HOLD_RESOURCES | MVRPROT_COMP_REPLY | MVRPROT_ADDR_FOLLOWS;
  if (mvrprot_send_initmsg_timeout(ctl, &reply, kIoTimeoutSec) < 0) {
    *why = "initiator reply";
    return false;
  }
  initiator_ipaddr_t ip;
  memset(&ip, 0, sizeof ip);
  if (*dataListen < 0) {
    *dataListen = listenLoopback(&ip.IpAddr.SockAddr);
    if (*dataListen < 0) {
      *why = "data listen";
      return false;
    }
  } else {
    struct sockaddr_in sin;
    socklen_t len = sizeof sin;
    getsockname(*dataListen, reinterpret_cast<sockaddr*>(&sin), &len);
    memcpy(&ip.IpAddr.SockAddr.hs_addr, &sin, sizeof sin);
    ip.IpAddr.SockAddr.hs_addrlen = sizeof sin;
  }
  ip.IpAddr.SockTransferID = c->xferId;
  ip.IpAddr.SockOffset = init.Offset;
  if (mvrprot_send_ipaddr_timeout(ctl, &ip, kIoTimeoutSec) < 0) {
    *why = "address message";
    return false;
  }
  if (*data < 0) {
    *data = acceptOne(c, *dataListen);
    if (*data < 0) {
      *why = "data connection";
      return false;
    }
    track(c, *data, true);
  }
  int type = 0;
  pdata_hdr_t h;
  int rc = mover_socket_recv_protmsg_timeout(*data, c->xferId, &type, nullptr, &h, kIoTimeoutSec);
  if (rc != PDATA_HDR_LEN || type != MVRPROT_MSG_PDATA) {
    *why = rc == -22 ? "transfer id or checksum" : "data header";
    return false;
  }
  if (h.Offset != init.Offset || h.Length > init.Length) {
    *why = "data header outside the piece";
    return false;
  }
  if (!receiveBytes(c, *data, h.Offset, h.Length)) {
    *why = "data";
    return false;
  }
  completion_msg_t comp;
  if (mvrprot_recv_compmsg_timeout(ctl, &comp, kIoTimeoutSec) != 0 ||
      mvrprot_check_compmsg(&comp, h.Length) != 0) {
    *why = "completion";
    return false;
  }
  written(c, h.Offset, h.Length);
  return true;
}

// One mover's connection: parallel-data packets, or mover-protocol pieces,
// until the mover closes it.
void serveConn(gw_copy* c, int fd) {
  track(c, fd, true);
  int data = -1, dataListen = -1;
  std::string why;
  for (;;) {
    int type = 0;
    initiator_msg_t init;
    pdata_hdr_t h;
    int rc = mover_socket_recv_protmsg_timeout(fd, c->xferId, &type, &init, &h, kIoTimeoutSec);
    if (rc == 0) break;  // the mover is done
    if (rc < 0) {
      why = rc == -22 ? "transfer id or checksum" : rc == -2 ? "unknown message" : "connection";
      break;
    }
    if (type == MVRPROT_MSG_PDATA) {
      if (!inWindow(c, h.Offset, h.Length)) {
        why = "packet outside the copy";
        break;
      }
      if (!receiveBytes(c, fd, h.Offset, h.Length)) {
        why = "data";
        break;
      }
      written(c, h.Offset, h.Length);
    } else if (!moverPiece(c, fd, init, &data, &dataListen, &why)) {
      break;
    }
  }
  bool stopped;
  {
    std::lock_guard<std::mutex> hold(c->m);
    stopped = c->stopping;
  }
  // A connection cut by our own stop is no news.
  if (!why.empty() && !stopped) abortCopy(c, COPY_ABORTED, -5, why);
  if (data >= 0) {
    track(c, data, false);
    close(data);
  }
  if (dataListen >= 0) close(dataListen);
  track(c, fd, false);
  close(fd);
  std::lock_guard<std::mutex> hold(c->m);
  c->accepting--;
}

// Accepts the movers' connections on every listen socket until stopped.
void serviceThread(gw_copy* c) {
  std::vector<struct pollfd> fds;
  for (int l : c->listeners) fds.push_back({l, POLLIN, 0});
  fds.push_back({c->wakeFd, POLLIN, 0});
  for (;;) {
    for (auto& p : fds) p.revents = 0;
    int n = poll(fds.data(), fds.size(), 1000);
    std::lock_guard<std::mutex> hold(c->m);
    if (c->stopping) break;
    if (n <= 0) continue;
    for (size_t i = 0; i + 1 < fds.size(); i++) {
      if (!(fds[i].revents & POLLIN)) continue;
      // Accepted and counted under the lock: a drain never sees the gap.
      int fd = accept4(fds[i].fd, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) continue;
      c->accepting++;
      try {
        c->workers.emplace_back(serveConn, c, fd);
      } catch (const std::system_error&) {
        close(fd);
        c->accepting--;
      }
    }
  }
  std::vector<std::thread> workers;
  {
    std::lock_guard<std::mutex> hold(c->m);
    workers.swap(c->workers);
  }
  for (std::thread& t : workers) t.join();
}

// The sink file's recorded size follows what the copy wrote.
void settle(gw_copy* c) {
  if (c->memoryStore && c->highest > 0) gw_StoreGrow(c->sinkFd, c->sinkOffset + c->highest);
  struct stat st;
  std::lock_guard<std::recursive_mutex> hold(gw_StoreLock());
  if (fstat(c->sinkFd, &st) == 0) gw_StoreSetDataLength(c->sinkPath, uint64_t(st.st_size));
}

// Ends the copy's threads and sockets (settling the sink file first when
// it completed); the record may then go.
void finish(gw_copy* c, bool completed = false) {
  std::lock_guard<std::mutex> once(c->finishing);
  {
    std::lock_guard<std::mutex> hold(c->m);
    stopLocked(c);
  }
  if (c->service.joinable()) c->service.join();
  if (completed && c->sinkFd >= 0) settle(c);
  for (int l : c->listeners) close(l);
  c->listeners.clear();
  if (c->wakeFd >= 0) close(c->wakeFd);
  c->wakeFd = -1;
  if (c->sinkFd >= 0) close(c->sinkFd);
  c->sinkFd = -1;
}

// Waits until no connection is pending or served: the source's movers are
// done by the time its list read has returned, but their last bytes may
// still be on their way here.
void drain(gw_copy* c) {
  auto until = std::chrono::steady_clock::now() + std::chrono::seconds(kIoTimeoutSec);
  while (std::chrono::steady_clock::now() < until) {
    {
      std::lock_guard<std::mutex> hold(c->m);
      if (c->stopping) return;
      bool pending = false;
      for (int l : c->listeners) {
        struct pollfd p = {l, POLLIN, 0};
        if (poll(&p, 1, 0) > 0) pending = true;
      }
      if (!pending && c->accepting == 0) return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
}

// The copy reply as gwsim sends it: the record's codec refuses more than 64
// addresses, and the Copies block may ask for more to test the client.
typedef struct copy_reply_out {
  uint32_t copyHandle;
  std::vector<netaddress_t>* addrs;
} copy_reply_out_t;

bool_t encode_copy_reply(XDR* xdrs, copy_reply_out_t* r) {
  uint32_t n = uint32_t(r->addrs->size());
  if (!xdr_uint32_t(xdrs, &r->copyHandle) || !xdr_uint32_t(xdrs, &n)) return FALSE;
  for (netaddress_t& a : *r->addrs)
    if (!qel_xdr_netaddress_t(xdrs, &a)) return FALSE;
  return TRUE;
}

copy_ptr find(uint32_t handle) {
  std::lock_guard<std::mutex> hold(copies_lock);
  auto it = copies.find(handle);
  return it == copies.end() ? nullptr : it->second;
}

copy_ptr take(uint32_t handle) {
  std::lock_guard<std::mutex> hold(copies_lock);
  auto it = copies.find(handle);
  if (it == copies.end()) return nullptr;
  copy_ptr c = it->second;
  copies.erase(it);
  return c;
}

}  // namespace

int gw_HandleCopyRemote(gw_conn_t* conn, const api_msghdr_t*, void* req, gw_reply_t* reply) {
  const api_copy_remote_req_t* rq = static_cast<const api_copy_remote_req_t*>(req);
  int32_t fd = rq->sink_fd;
  if (fd < 0 || size_t(fd) >= conn->files.size() || !conn->files[size_t(fd)].inUse ||
      conn->files[size_t(fd)].fd < 0) {
    reply->errorcode = -9;
    return 0;
  }
  if (!rq->remote_path || !*rq->remote_path) {
    reply->errorcode = -2;
    return 0;
  }
  {
    // Each copy holds a descriptor of its own: as many as files may be open.
    std::lock_guard<std::mutex> hold(copies_lock);
    size_t held = 0;
    for (const auto& kv : copies) held += kv.second->owner == conn->num;
    if (held >= conn->cfg->maxOpenFiles) {
      reply->errorcode = -24;
      return 0;
    }
  }
  const gw_tables_t* t = &conn->cfg->tables;
  copy_ptr c = std::make_shared<gw_copy>();
  c->sinkFd = dup(conn->files[size_t(fd)].fd);
  c->wakeFd = eventfd(0, EFD_CLOEXEC);
  if (c->sinkFd < 0 || c->wakeFd < 0) {
    finish(c.get());
    reply->errorcode = -24;
    return 0;
  }
  c->sinkPath = conn->files[size_t(fd)].path;
  c->owner = conn->num;
  c->xferId = rq->requestID;
  c->sinkOffset = rq->sink_offset;
  c->length = rq->transfer_length;
  c->memoryStore = gw_MoverSettings()->memoryStore;

  // The source lies on another gateway: its path is only journalled.
  uint32_t count = t->copyListen >= 0 ? uint32_t(t->copyListen)
                                      : std::min<uint32_t>(rq->listen_count, API_COPY_MAX_LISTEN);
  std::vector<netaddress_t> addrs(count);
  for (uint32_t i = 0; i < count; i++) {
    netaddress_t* a = &addrs[i];
    memset(a, 0, sizeof *a);
    int l = listenLoopback(&a->SockAddr);
    if (l < 0) {
      finish(c.get());
      reply->errorcode = -24;
      return 0;
    }
    c->listeners.push_back(l);
    a->SockTransferID = rq->requestID;
    a->SockOffset = 0;
  }

  copy_reply_out_t out;
  {
    std::lock_guard<std::mutex> hold(copies_lock);
    c->ordinal = ++copies_started;
    c->handle = next_handle++;
    out.copyHandle = c->handle;
  }
  c->abortRule = t->copyAbortAt > 0 && c->ordinal == unsigned(t->copyAbortAt);
  c->abortBytes = std::max<uint64_t>(t->copyAbortBytes, 1);
  c->abortState = uint32_t(t->copyAbortState);
  c->refuseCompletion = t->copyRefuseAt > 0 && c->ordinal == unsigned(t->copyRefuseAt);
  if (t->copyFailAt > 0 && c->ordinal == unsigned(t->copyFailAt)) {
    c->state = COPY_ABORTED;
    c->error = t->copyError ? t->copyError : -5;
    c->stopping = true;  // nothing is accepted
  }
  try {
    c->service = std::thread(serviceThread, c.get());
  } catch (const std::system_error&) {
    finish(c.get());
    reply->errorcode = -12;
    return 0;
  }
  {
    std::lock_guard<std::mutex> hold(copies_lock);
    copies[c->handle] = c;
  }
  conn->note += " handle=" + std::to_string(c->handle) + " addrs=" + std::to_string(count);
  out.addrs = &addrs;
  return gw_ReplyWithBody(reply, (xdrproc_t)encode_copy_reply, &out);
}

int gw_HandleQueryCopy(gw_conn_t* conn, const api_msghdr_t*, void* req, gw_reply_t* reply) {
  const api_query_copy_req_t* rq = static_cast<const api_query_copy_req_t*>(req);
  // A completion notice: the read side is done; the copy reports what it
  // holds once the last bytes are in, and goes.
  copy_ptr c = rq->flags == 5 ? take(rq->copyHandle) : find(rq->copyHandle);
  if (!c) {
    reply->errorcode = -2;
    return 0;
  }
  if (rq->flags == 5) {
    drain(c.get());
    std::lock_guard<std::mutex> hold(c->m);
    if (c->refuseCompletion && c->state != COPY_ABORTED) {
      c->state = COPY_ABORTED;
      c->error = -5;
      gw_JournalLine("copy handle=%u aborted state=3 error=-5 why=refused", c->handle);
    } else if (c->state == COPY_INITIAL || c->state == COPY_XFERRING) {
      c->state = COPY_COMPLETED;
    }
  } else {
    std::lock_guard<std::mutex> hold(c->m);
    // A copy that is to refuse its notice never completes by itself.
    if ((c->state == COPY_INITIAL || c->state == COPY_XFERRING) && c->bytes >= c->length &&
        c->length > 0 && !c->refuseCompletion)
      c->state = COPY_COMPLETED;
  }
  api_query_copy_rply_t r;
  memset(&r, 0, sizeof r);
  {
    std::lock_guard<std::mutex> hold(c->m);
    r.copyState = c->state;
    r.errorCode = c->error;
    r.bytesXferred = c->bytes;
  }
  if (rq->flags == 5 || r.copyState == COPY_COMPLETED)
    finish(c.get(), r.copyState == COPY_COMPLETED);
  const gw_tables_t* t = &conn->cfg->tables;
  if (t->copyInfoSet) {
    memcpy(r.infostring, t->copyInfo.data(), std::min(t->copyInfo.size(), sizeof r.infostring));
  } else {
    snprintf(r.infostring, sizeof r.infostring, "copy %u: state %u, %llu bytes", rq->copyHandle,
             r.copyState, (unsigned long long)r.bytesXferred);
  }
  conn->note += " state=" + std::to_string(r.copyState) + " bytes=" + std::to_string(r.bytesXferred);
  return gw_ReplyWithBody(reply, (xdrproc_t)qel_xdr_api_query_copy_rply_t, &r);
}

int gw_HandleCancelCopy(gw_conn_t*, const api_msghdr_t*, void* req, gw_reply_t* reply) {
  const api_cancel_copy_req_t* rq = static_cast<const api_cancel_copy_req_t*>(req);
  if (rq->flags & 2) {
    // The user's interrupt: the copy aborts, and says so when asked.
    copy_ptr c = find(rq->copyHandle);
    if (!c) {
      reply->errorcode = -2;
      return 0;
    }
    abortCopy(c.get(), COPY_ABORTED, -4, "cancelled");
  } else {
    copy_ptr c = take(rq->copyHandle);
    if (!c) {
      reply->errorcode = -2;
      return 0;
    }
    finish(c.get());
  }
  reply->errorcode = 0;
  return 0;
}

void gw_CopiesRelease(const gw_conn_t* conn) {
  std::vector<copy_ptr> gone;
  {
    std::lock_guard<std::mutex> hold(copies_lock);
    for (auto it = copies.begin(); it != copies.end();) {
      if (it->second->owner == conn->num) {
        gone.push_back(it->second);
        it = copies.erase(it);
      } else {
        ++it;
      }
    }
  }
  for (copy_ptr& c : gone) finish(c.get());
}

void gw_NoteCopyRemote(const api_msghdr_t*, const void* req, std::string* note) {
  const api_copy_remote_req_t* rq = static_cast<const api_copy_remote_req_t*>(req);
  char buf[192];
  snprintf(buf, sizeof buf, " flags=%u sink=%d listen=%u reqid=%llu offset=%llu length=%llu",
           rq->flags, rq->sink_fd, rq->listen_count, (unsigned long long)rq->requestID,
           (unsigned long long)rq->sink_offset, (unsigned long long)rq->transfer_length);
  *note += buf;
  *note += " path=" + gw_JournalText(rq->remote_path);
}

void gw_NoteQueryCopy(const api_msghdr_t*, const void* req, std::string* note) {
  const api_query_copy_req_t* rq = static_cast<const api_query_copy_req_t*>(req);
  *note += " flags=" + std::to_string(rq->flags) + " handle=" + std::to_string(rq->copyHandle);
}

void gw_NoteCancelCopy(const api_msghdr_t*, const void* req, std::string* note) {
  const api_cancel_copy_req_t* rq = static_cast<const api_cancel_copy_req_t*>(req);
  *note += " flags=" + std::to_string(rq->flags) + " handle=" + std::to_string(rq->copyHandle);
}
