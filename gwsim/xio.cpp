// OpenX files and their direct data connections; see xio.h.
#include "xio.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <string.h>
#include <strings.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "buffers.h"
#include "config_values.h"
#include "dataconn.h"
#include "reply.h"
#include "files.h"
#include "journal.h"
#include "lfx.h"
#include "movers.h"
#include "msg_files.h"

#define CODEC(f) reinterpret_cast<xdrproc_t>(f)

#define GW_OPEN_READ 0x01u
#define GW_OPEN_WRITE 0x02u
#define GW_OPEN_RDWR 0x04u
#define GW_OPEN_APPEND 0x08u
#define GW_OPEN_CREAT 0x10u
#define GW_OPEN_EXCL 0x20u
#define GW_OPEN_TRUNC 0x40u

namespace {

// The data connection of one OpenX file, served by one worker for its whole
// life: requests wake it, and it ends when the client closes the connection
// (or the connection ends). The socket closes when the last holder lets go.
typedef struct xio_link {
  int sock = -1;
  int hostFd = -1;  // the open file's host descriptor when the link was made
  int wake = -1;    // eventfd: a request is waiting in job
  bool busy = false;
  bool dead = false;  // its worker has ended: no request may come to it
  std::function<void()> job;
  ~xio_link() {
    if (sock >= 0) close(sock);
    if (wake >= 0) close(wake);
  }
} xio_link_t;

}  // namespace

struct gw_xio_state {
  std::mutex lock;  // guards links and each link's busy flag
  std::map<int32_t, std::shared_ptr<xio_link_t>> links;  // by gateway descriptor
};

namespace {

gw_xio_state* state_of(gw_conn_t* conn) {
  std::shared_ptr<void>& slot = gw_DataSlot(conn, GW_SLOT_XIO);
  if (!slot) slot = std::make_shared<gw_xio_state>();
  return static_cast<gw_xio_state*>(slot.get());
}

// Adds an open file of the lfx tree to the connection's table, within the
// connection's bound on open files (-24 beyond it, the descriptor closed).
int32_t add_file(gw_conn_t* conn, int fd, const char* path, uint32_t oflag) {
  size_t i = 0;
  while (i < conn->files.size() && conn->files[i].inUse) i++;
  if (i >= conn->cfg->maxOpenFiles) {
    close(fd);
    return -24;
  }
  if (i == conn->files.size()) conn->files.emplace_back();
  gw_openfile_t& f = conn->files[i];
  f.inUse = 1;
  f.fd = fd;
  f.path = path;
  f.oflag = oflag;
  f.offset = 0;
  return int32_t(i);
}

// OpenX on the lfx tree, acting as the user: the gateway descriptor or a
// negative code.
int open_lfx(gw_conn_t* conn, const char* path, uint32_t f, mode_t mode) {
  int rc = gw_LfxReady(conn);
  if (rc < 0) return rc;
  bool wantWrite = f & (GW_OPEN_WRITE | GW_OPEN_RDWR);
  bool wantRead = (f & (GW_OPEN_READ | GW_OPEN_RDWR)) || !wantWrite;
  std::vector<std::string> comps;
  rc = gw_LfxResolve(conn, path, 1, &comps);
  if (rc < 0) return rc;
  std::string host = gw_LfxHostPath(conn, comps);
  struct stat st;
  int flags = O_CLOEXEC | O_NOFOLLOW | (wantRead && wantWrite ? O_RDWR : wantWrite ? O_WRONLY : O_RDONLY);
  if (f & GW_OPEN_APPEND) flags |= O_APPEND;
  if (lstat(host.c_str(), &st) == 0) {
    if ((f & GW_OPEN_CREAT) && (f & GW_OPEN_EXCL)) return -17;
    if (S_ISDIR(st.st_mode)) return -21;
    if (!gw_LfxMay(conn, &st, (wantRead ? 4 : 0) | (wantWrite ? 2 : 0))) return -13;
    if ((f & GW_OPEN_TRUNC) && wantWrite) flags |= O_TRUNC;
  } else if (!(f & GW_OPEN_CREAT)) {
    return -2;
  } else {
    int fd = gw_LfxOpenForXfer(conn, path, 1, 0, uint32_t(mode));
    if (fd < 0) return fd;
    close(fd);
  }
  int fd = open(host.c_str(), flags);
  if (fd < 0) return gw_LfxErr(errno);
  return add_file(conn, fd, path, f);
}

// OpenX on the storage namespace: Open's own handler, read-only without an
// access flag. The gateway descriptor or a negative code; *hints gets the
// hints Open answered.
int open_storage(gw_conn_t* conn, const api_msghdr_t* hdr, const api_quor_OpenX_req_t* rq,
                 quor_cos_hints_t* hints) {
  api_quor_Open_req_t o;
  memset(&o, 0, sizeof o);
  o.Path = rq->Path;
  o.Oflag = rq->Oflag;
  if ((o.Oflag & (GW_OPEN_READ | GW_OPEN_WRITE | GW_OPEN_RDWR)) == 0) o.Oflag |= GW_OPEN_READ;
  o.Mode = rq->Mode;
  o.HintsIn = rq->HintsIn;
  o.HintsPri = rq->HintsPri;
  gw_reply_t r{};
  int rc = gw_HandleOpen(conn, hdr, &o, &r);
  if (rc < 0) return -5;
  if (r.errorcode < 0 || !r.hasBody) return r.errorcode < 0 ? r.errorcode : -5;
  api_quor_Open_rply_t body;
  memset(&body, 0, sizeof body);
  XDR x;
  xdrmem_create(&x, r.body.data(), u_int(r.body.size()), XDR_DECODE);
  bool ok = qel_xdr_api_quor_Open_rply_t(&x, &body);
  xdr_destroy(&x);
  if (ok) *hints = body.HintsOut;
  return r.errorcode;
}

// Serves one link's requests until the client closes its end.
void serve_link(gw_conn_t* conn, int32_t fildes, const std::shared_ptr<xio_link_t>& link) {
  gw_xio_state* s = state_of(conn);
  bool peerGone = false;
  for (;;) {
    struct pollfd p[2] = {{link->wake, POLLIN, 0}, {link->sock, POLLRDHUP, 0}};
    // Once the client's end is gone the socket stays readable: watch only
    // for the job of a request already taken, or the loop would spin.
    if (poll(p, peerGone ? 1 : 2, 100) < 0 && errno != EINTR) p[1].revents = POLLERR;
    if (p[0].revents & POLLIN) {
      uint64_t n;
      if (read(link->wake, &n, sizeof n) < 0) {
        // Nothing to take: the job below says whether there is work.
      }
    }
    if (!peerGone) peerGone = p[1].revents & (POLLRDHUP | POLLHUP | POLLERR);
    bool hangup = peerGone || gw_DataStopping(conn);
    std::function<void()> job;
    {
      // Decided under the lock: a request either finds the worker alive
      // and is served, or finds it gone and is refused. A request taken
      // but not yet posted is still served: a client may send its data and
      // close the connection before the gateway reads the request.
      std::lock_guard<std::mutex> g(s->lock);
      job.swap(link->job);
      if (!job && hangup && !link->busy) {
        link->dead = true;
        auto it = s->links.find(fildes);
        if (it != s->links.end() && it->second == link) s->links.erase(it);
        return;
      }
    }
    if (job) job();
  }
}

// Accepts the client's data connection, sends the control byte and serves
// the file's requests.
void accept_client(gw_conn_t* conn, int lfd, int32_t fildes, int hostFd) {
  const gw_data_config_t& dc = conn->cfg->data;
  gw_DataWatch(conn, lfd);
  int sock = gw_DataAccept(conn, lfd, int(dc.acceptMs));
  gw_DataUnwatch(conn, lfd);
  close(lfd);
  if (sock < 0) {
    gw_JournalLine("conn=%d xio-accept fildes=%d error=%d", conn->num, fildes, sock);
    return;
  }
  if (dc.xioCloseBeforeByte) {
    close(sock);
    gw_JournalLine("conn=%d xio-accept fildes=%d closed", conn->num, fildes);
    return;
  }
  auto link = std::make_shared<xio_link_t>();
  link->sock = sock;
  link->hostFd = hostFd;
  link->wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  gw_xio_state* s = state_of(conn);
  {
    std::lock_guard<std::mutex> g(s->lock);
    s->links[fildes] = link;
  }
  const char byte = 1;
  int rc = dc.xioNoControlByte ? 0 : gw_DataSend(conn, sock, &byte, 1, int(dc.idleMs));
  gw_JournalLine("conn=%d xio-accept fildes=%d%s", conn->num, fildes,
                 dc.xioNoControlByte ? " no-byte" : rc < 0 ? " send-failed" : "");
  if (link->wake >= 0 && rc == 0) serve_link(conn, fildes, link);
}

// The link of a ReadX or WriteX request, marked busy: 0, or -9 / -16.
int take_link(gw_conn_t* conn, int32_t fildes, std::shared_ptr<xio_link_t>* out,
              gw_openfile_t** file) {
  gw_openfile_t* f = gw_DataOpenFile(conn, fildes);
  gw_xio_state* s = state_of(conn);
  std::lock_guard<std::mutex> g(s->lock);
  auto it = s->links.find(fildes);
  if (it == s->links.end() || it->second->dead) return -9;
  // A descriptor closed and opened again without OpenX has no connection.
  if (!f || f->fd != it->second->hostFd) {
    if (!it->second->busy) s->links.erase(it);
    return -9;
  }
  if (it->second->busy) return -16;
  it->second->busy = true;
  *out = it->second;
  *file = f;
  return 0;
}

void release_link(gw_conn_t* conn, const std::shared_ptr<xio_link_t>& link) {
  gw_xio_state* s = state_of(conn);
  std::lock_guard<std::mutex> g(s->lock);
  link->busy = false;
}

void answer(gw_conn_t* conn, const api_msghdr_t* req, int32_t code) {
  api_msghdr_t hdr;
  ozugw_BuildMsgHdr(&hdr, req->msgRequestID, 0, uint32_t(time(nullptr)), 0, req->category,
                    req->function, code);
  gw_SendMessage(conn, &hdr, nullptr, nullptr);
}

// Sleeps ms in short steps: false when the connection ends meanwhile.
bool stall(gw_conn_t* conn, uint32_t ms) {
  auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (std::chrono::steady_clock::now() < until) {
    if (gw_DataStopping(conn)) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

// The memory store of benchmarks: a read sends zeros, a write lands in one
// buffer and is dropped, and the file grows to its end.
int store_xio(gw_conn_t* conn, int sock, int fd, uint64_t offset, uint64_t count, bool read,
              int idleMs, uint64_t* moved) {
  static const std::vector<char> zeros(1 << 20, 0);
  gw_Buffer sink;
  if (!read && !sink.data()) return -12;
  int rc = 0;
  *moved = 0;
  struct stat st;
  if (read && fstat(fd, &st) == 0)  // a read ends with the file, as from the file
    count = uint64_t(st.st_size) > offset ? std::min<uint64_t>(count, uint64_t(st.st_size) - offset) : 0;
  while (rc == 0 && *moved < count) {
    size_t want = size_t(std::min<uint64_t>(count - *moved, zeros.size()));
    size_t got = want;
    rc = read ? gw_DataSend(conn, sock, zeros.data(), want, idleMs)
              : gw_DataRecv(conn, sock, sink.data(), want, idleMs, &got);
    if (rc == 0) *moved += got;
    if (rc == 0 && got < want) rc = -5;
  }
  if (!read && *moved > 0) gw_StoreGrow(fd, offset + *moved);
  return rc;
}

// One ReadX or WriteX data movement on a worker; answers when done.
// The WriteFail rule: how many writes of the process still fail.
std::atomic<uint32_t> writeFailsDone{0};

bool writeFailsNow(const gw_data_config_t& dc) {
  if (dc.xioWriteFailCount == 0 || dc.xioWriteFailErr == 0) return false;
  return writeFailsDone.fetch_add(1) < dc.xioWriteFailCount;
}

// Reads and drops count bytes of the data link: true when all came.
bool drain(int sock, uint64_t count, int idleMs) {
  char buf[65536];
  while (count > 0) {
    struct pollfd p = {sock, POLLIN, 0};
    int n = poll(&p, 1, idleMs > 0 ? idleMs : 60000);
    if (n <= 0) {
      if (n < 0 && errno == EINTR) continue;
      return false;
    }
    ssize_t r = recv(sock, buf, std::min<uint64_t>(count, sizeof buf), 0);
    if (r <= 0) {
      if (r < 0 && errno == EINTR) continue;
      return false;
    }
    count -= uint64_t(r);
  }
  return true;
}

void run_xio(gw_conn_t* conn, api_msghdr_t req, int32_t fildes, std::shared_ptr<xio_link_t> link,
             int fd, uint64_t offset, uint64_t count, bool read, bool refuse) {
  const gw_data_config_t& dc = conn->cfg->data;
  uint64_t moved = 0;
  int rc = 0;
  gw_DataWatch(conn, link->sock);
  bool keepLink = false;
  if (refuse) {
    // The bytes are read and dropped, so the data link stays in step and
    // the client may write them again.
    keepLink = drain(link->sock, count, int(dc.idleMs));
    rc = keepLink ? -dc.xioWriteFailErr : -5;
  } else if (!read && dc.xioWriteStallMs > 0) {
    stall(conn, dc.xioWriteStallMs);
    rc = -5;
  } else if (gw_MoverSettings()->memoryStore) {
    uint64_t limit = read && dc.xioReadLimit > 0 ? std::min(count, dc.xioReadLimit) : count;
    rc = store_xio(conn, link->sock, fd, offset, limit, read, int(dc.idleMs), &moved);
  } else if (read) {
    if (dc.xioReadStallMs > 0) stall(conn, dc.xioReadStallMs);
    uint64_t limit = dc.xioReadLimit > 0 ? std::min(count, dc.xioReadLimit) : count;
    rc = gw_DataFileToSocket(conn, link->sock, fd, offset, limit, int(dc.idleMs), &moved);
  } else {
    rc = gw_DataSocketToFile(conn, link->sock, fd, offset, count, false, int(dc.idleMs), &moved);
  }
  gw_DataUnwatch(conn, link->sock);
  // Fewer bytes than asked, or a failure: the client learns it from the
  // connection's end.
  if ((rc < 0 && !keepLink) || (read && moved < count)) shutdown(link->sock, SHUT_RDWR);
  close(fd);
  gw_JournalLine("conn=%d xio-%s fildes=%d offset=%llu bytes=%llu result=%d", conn->num,
                 read ? "read" : "write", fildes, (unsigned long long)offset, (unsigned long long)moved, rc);
  release_link(conn, link);
  if (dc.xioDropReply) {
    gw_JournalLine("conn=%d xio-drop-reply", conn->num);
    shutdown(conn->fd, SHUT_RDWR);
    return;
  }
  answer(conn, &req, rc < 0 ? gw_LfxErr(-rc) : int32_t(std::min<uint64_t>(moved, INT32_MAX)));
}

int xio_request(gw_conn_t* conn, const api_msghdr_t* hdr, void* req, gw_reply_t* reply,
                bool read) {
  const api_quor_xio_req_t* rq = static_cast<const api_quor_xio_req_t*>(req);
  std::shared_ptr<xio_link_t> link;
  gw_openfile_t* f = nullptr;
  int rc = take_link(conn, rq->Fildes, &link, &f);
  if (rc < 0) {
    reply->errorcode = rc;
    return 0;
  }
  uint64_t offset = f->offset;
  uint64_t count = rq->Nbyte;
  if (read) {
    struct stat st;
    uint64_t size = fstat(f->fd, &st) == 0 ? uint64_t(st.st_size) : 0;
    uint64_t have = offset >= size ? 0 : size - offset;
    f->offset += std::min(count, have);
  }
  // A refused write stores nothing: the offset stays where it was.
  bool refuse = !read && writeFailsNow(conn->cfg->data);
  if (!read && !refuse) f->offset += count;
  // The worker's own descriptor: a close meanwhile cannot pull it away.
  int fd = fcntl(f->fd, F_DUPFD_CLOEXEC, 0);
  if (fd < 0) {
    release_link(conn, link);
    reply->errorcode = gw_LfxErr(errno);
    return 0;
  }
  api_msghdr_t copy = *hdr;
  int32_t fildes = rq->Fildes;
  {
    gw_xio_state* s = state_of(conn);
    std::lock_guard<std::mutex> g(s->lock);
    link->job = [conn, copy, fildes, link, fd, offset, count, read, refuse]() {
      run_xio(conn, copy, fildes, link, fd, offset, count, read, refuse);
    };
  }
  uint64_t one = 1;
  if (write(link->wake, &one, sizeof one) < 0) {
    // The worker polls again within a tenth of a second and finds the job.
  }
  return 1;
}

}  // namespace

int gw_XioLoad(quor_cfg_stanza_t* block, gw_config_t* cfg, std::string* why) {
  for (quor_cfg_stanza_t* e = block->substanzaList; e; e = e->next) {
    std::string key = e->KeyString ? e->KeyString : "";
    auto is = [&](const char* k) { return strcasecmp(key.c_str(), k) == 0; };
    auto bad = [&](const char* what) {
      *why = std::to_string(e->LineNum) + ": " + what + " " + key;
      return -22;
    };
    if (e->type == CFG_FLAG_TYPE) {
      if (is("ZeroAddress"))
        cfg->data.xioZeroAddress = 1;
      else if (is("NoControlByte"))
        cfg->data.xioNoControlByte = 1;
      else if (is("CloseBeforeByte"))
        cfg->data.xioCloseBeforeByte = 1;
      else if (is("DropReply"))
        cfg->data.xioDropReply = 1;
      else
        return bad("unknown Xio flag");
      continue;
    }
    int64_t n = 0;
    if (e->type != CFG_SIMPLE_TYPE || !e->KeyValue || gw_ParseNumber(e->KeyValue, 0, INT64_MAX, &n) < 0)
      return bad("bad value for");
    if (is("ReadLimit"))
      cfg->data.xioReadLimit = uint64_t(n);
    else if (is("WriteFailErr") && (n == 5 || n == 11 || n == 28))
      cfg->data.xioWriteFailErr = int32_t(n);
    else if (is("WriteFailCount") && n <= 1000000)
      cfg->data.xioWriteFailCount = uint32_t(n);
    else if (is("WriteStallMs") && n <= 3600000)
      cfg->data.xioWriteStallMs = uint32_t(n);
    else if (is("ReadStallMs") && n <= 3600000)
      cfg->data.xioReadStallMs = uint32_t(n);
    else
      return bad("unknown or out-of-range Xio key");
  }
  return 0;
}

int gw_HandleOpenX(gw_conn_t* conn, const api_msghdr_t* hdr, void* req, gw_reply_t* reply) {
  const api_quor_OpenX_req_t* rq = static_cast<const api_quor_OpenX_req_t*>(req);
  const gw_config_t* cfg = conn->cfg;
  api_quor_OpenX_rply_t r;
  memset(&r, 0, sizeof r);
  r.HintsOut = rq->HintsIn;
  bool lfxMode = !cfg->data.lfxRoot.empty() && cfg->site.server_runmode == 2;
  int32_t fildes = lfxMode ? open_lfx(conn, rq->Path, rq->Oflag, rq->Mode)
                           : open_storage(conn, hdr, rq, &r.HintsOut);
  if (fildes < 0) {
    reply->errorcode = fildes;
    return 0;
  }
  quor_sockaddr_t bound;
  int lfd = gw_DataListen(&bound);
  if (lfd < 0) {
    gw_openfile_t* f = gw_DataOpenFile(conn, fildes);
    if (f) {
      close(f->fd);
      f->fd = -1;
      f->inUse = 0;
    }
    reply->errorcode = lfd;
    return 0;
  }
  int hostFd = gw_DataOpenFile(conn, fildes)->fd;
  r.connectaddr = bound;
  r.dataport = ntohs(reinterpret_cast<struct sockaddr_in*>(&bound.hs_addr)->sin_port);
  if (cfg->data.xioZeroAddress)
    memset(&reinterpret_cast<struct sockaddr_in*>(&r.connectaddr.hs_addr)->sin_addr, 0, 4);
  conn->note += " fildes=" + std::to_string(fildes) + " dataport=" + std::to_string(r.dataport);
  // Answered here: the client connects only once it has the address.
  api_msghdr_t out;
  ozugw_BuildMsgHdr(&out, hdr->msgRequestID, 0, uint32_t(time(nullptr)), 0, hdr->category,
                    hdr->function, fildes);
  if (gw_SendMessage(conn, &out, CODEC(qel_xdr_api_quor_OpenX_rply_t), &r) < 0 ||
      gw_DataStart(conn, [conn, lfd, fildes, hostFd]() {
        accept_client(conn, lfd, fildes, hostFd);
      }) < 0) {
    close(lfd);
    return -1;
  }
  return 1;
}

int gw_HandleOpenAny(gw_conn_t* conn, const api_msghdr_t* hdr, void* req, gw_reply_t* reply) {
  const gw_config_t* cfg = conn->cfg;
  if (cfg->data.lfxRoot.empty() || cfg->site.server_runmode != 2)
    return gw_HandleOpen(conn, hdr, req, reply);
  const api_quor_Open_req_t* rq = static_cast<const api_quor_Open_req_t*>(req);
  int32_t fildes = open_lfx(conn, rq->Path, rq->Oflag, rq->Mode);
  reply->errorcode = fildes;
  if (fildes < 0) return 0;
  api_quor_Open_rply_t r;
  memset(&r, 0, sizeof r);
  r.HintsOut = rq->HintsIn;
  return gw_ReplyWithBody(reply, CODEC(qel_xdr_api_quor_Open_rply_t), &r);
}

int gw_HandleReadX(gw_conn_t* conn, const api_msghdr_t* hdr, void* req, gw_reply_t* reply) {
  return xio_request(conn, hdr, req, reply, true);
}

int gw_HandleWriteX(gw_conn_t* conn, const api_msghdr_t* hdr, void* req, gw_reply_t* reply) {
  return xio_request(conn, hdr, req, reply, false);
}

void gw_NoteOpenX(const api_msghdr_t*, const void* req, std::string* note) {
  const api_quor_OpenX_req_t* rq = static_cast<const api_quor_OpenX_req_t*>(req);
  char buf[64];
  snprintf(buf, sizeof buf, " oflag=0x%02x xioflags=0x%x", unsigned(rq->Oflag),
           unsigned(rq->XIOFlags));
  *note += " path=";
  *note += rq->Path ? rq->Path : "";
  *note += buf;
}

void gw_NoteXio(const api_msghdr_t*, const void* req, std::string* note) {
  const api_quor_xio_req_t* rq = static_cast<const api_quor_xio_req_t*>(req);
  char buf[96];
  snprintf(buf, sizeof buf, " fildes=%d xioflags=0x%08x nbyte=%llu", rq->Fildes,
           unsigned(rq->XIOFlags), (unsigned long long)rq->Nbyte);
  *note += buf;
}
