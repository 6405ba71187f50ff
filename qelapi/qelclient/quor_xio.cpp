// The direct data connection: quor_OpenX opens a file and a TCP connection
// of its own to the gateway, over which quor_ReadX and quor_WriteX move the
// bytes of requests made on the control connection. See quor_xio.h.
#include "quor_xio.h"

#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include "msg_files.h"
#include "quor_api.h"
#include "quor_api_msgdefs.h"
#include "quorcfgx_prototypes.h"
#include "quorclntaddr.h"

namespace {

#define CODEC(f) reinterpret_cast<xdrproc_t>(f)

constexpr uint32_t kRequestPhase = 0x80000000u;
constexpr uint64_t kWriteChunk = 32768;

// The gateway's open flags for OpenX: like quor_Open's, except that the
// access bits are taken one by one, so a read-only open sends none.
uint32_t mapXOpenFlags(int Oflag) {
  static const struct {
    int posix;
    uint32_t gateway;
  } bits[] = {
      {O_WRONLY, 0x02}, {O_RDWR, 0x04},    {O_APPEND, 0x08},   {O_CREAT, 0x10},
      {O_EXCL, 0x20},   {O_TRUNC, 0x40},   {O_NONBLOCK, 0x80},
  };
  uint32_t out = 0;
  for (const auto& b : bits)
    if (Oflag & b.posix) out |= b.gateway;
  return out;
}

// Whether an address carries no host: an empty record, or all zeros.
bool addressIsZero(const quor_sockaddr_t* a) {
  int family = 0, len = 0;
  const unsigned char* raw =
      static_cast<const unsigned char*>(quor_net_getinaddr(a, &family, &len));
  if (raw == nullptr) return a->hs_addr.ss_family == 0;
  // 0.0.0.0 may come as its IPv6-mapped form under the address policy.
  int from = 0;
  if (family == AF_INET6 && IN6_IS_ADDR_V4MAPPED(reinterpret_cast<const struct in6_addr*>(raw)))
    from = 12;
  for (int i = from; i < len; i++)
    if (raw[i] != 0) return false;
  return true;
}

// Waits until fd is ready for dir: 1, 0 on time-out, -1 on failure (errno).
int waitReady(int fd, short events) {
  struct pollfd pfd = {fd, events, 0};
  for (;;) {
    int n = poll(&pfd, 1, qelapi_xio_wait_ms());
    if (n >= 0) return n > 0 ? 1 : 0;
    if (errno != EINTR) return -1;
  }
}

// The gateway closes a file that the client could not finish opening, so
// its descriptor does not outlive the attempt there.
void closeOnGateway(qelapi_tcontext_t* ts, quor_connection_t* conn, int QuorFd) {
  api_quor_Close_req_t req;
  memset(&req, 0, sizeof req);
  req.Fildes = QuorFd;
  qelapi_Exchange(ts, QEL_CAT_CORE, QEL_FN_CORE_Close, &req,
                  CODEC(qel_xdr_api_quor_Close_req_t), nullptr, nullptr, conn);
}

// Collects the reply of the entry's open request: its code, or the
// receive's failure. The reply is awaited under the request's own id, on the
// opening the file belongs to, by whichever thread collects it (a close may
// come from another thread than the request).
int collectReply(qelapi_tcontext_t* ts, qelapi_file_t* e) {
  e->xio_in_progress = 0;
  qelapi_ExpectReply(ts, e->connection, e->xio_msgRequestID, e->connGeneration);
  api_msghdr_t hdr;
  int rc = qelapi_get_msg(ts, &hdr, nullptr, nullptr, e->connection);
  return rc < 0 ? rc : hdr.errorcode;
}

// Request and data phases, shared by quor_ReadX and quor_WriteX, on a file
// the calling thread holds.
int64_t directHeld(qelapi_tcontext_t* ts, qelapi_file_t* e, uint32_t XIOFlags, char* Buf,
                   const char* CBuf, uint64_t Nbyte, int* EofFlag, bool isRead) {
  int rc = 0;
  qelapi_BindThreadConnection(ts, e->connection);
  if (EofFlag) *EofFlag = 0;
  if (Nbyte == 0) return 0;

  if (XIOFlags & kRequestPhase) {
    if (e->xio_in_progress) return -16;
    e->xio_in_progress = 1;
    e->xio_requested = e->xio_remaining = Nbyte;
    api_quor_xio_req_t req;
    req.XIOFlags = XIOFlags;
    req.Fildes = e->quorFiledes;
    req.Nbyte = Nbyte;
    rc = qelapi_send_msg(QEL_CAT_CORE, isRead ? QEL_FN_CORE_ReadX : QEL_FN_CORE_WriteX, &req,
                         isRead ? CODEC(qel_xdr_api_quor_ReadX_req_t) : CODEC(qel_xdr_api_quor_WriteX_req_t), 0, 0, e->connection, ts);
    // A request that never left leaves nothing to wait for.
    if (rc < 0)
      e->xio_in_progress = 0;
    else
      e->xio_msgRequestID = ts->msgRequestID;
    return rc;
  }

  if ((isRead ? static_cast<const void*>(Buf) : CBuf) == nullptr) return -14;
  if (!e->xio_in_progress) return -16;
  // Bytes past the request would never come (read) or would be read as the
  // next request's (write).
  uint64_t want = Nbyte < e->xio_remaining ? Nbyte : e->xio_remaining;
  int64_t moved = isRead ? qelapi_io_read(e, Buf, want) : qelapi_io_write(e, CBuf, want);
  if (moved < 0) {
    // The gateway still answers; read it so the control connection stays
    // in step, and report the data phase's failure unless it reports one.
    int reply = collectReply(ts, e);
    return reply < 0 ? reply : moved;
  }
  bool ended = uint64_t(moved) < want;
  e->xio_remaining -= uint64_t(moved);
  if (EofFlag) *EofFlag = ended ? 1 : 0;
  if (!ended && e->xio_remaining != 0) return moved;
  int reply = collectReply(ts, e);
  return reply < 0 ? reply : moved;
}

// The file is held for the whole call, as for mover transfers: a second
// call on it from another thread, or a close, would take this call's data
// or reply, or close the socket under it.
int64_t directCall(uint32_t XIOFlags, int Fildes, char* Buf, const char* CBuf, uint64_t Nbyte,
                   int* EofFlag, bool isRead) {
  qelapi_tcontext_t* ts = nullptr;
  int rc = qelapi_init(&ts);
  if (rc < 0) return rc;
  qelapi_file_t* e = nullptr;
  int held = qelapi_io_setactive(ts, Fildes, &e);
  if (e == nullptr || !(e->xopenFlags & 1)) {
    if (held == 0) qelapi_io_setinactive(e);
    return -9;
  }
  if (held < 0) return -16;
  int64_t result = directHeld(ts, e, XIOFlags, Buf, CBuf, Nbyte, EofFlag, isRead);
  qelapi_io_setinactive(e);
  return result;
}

}  // namespace

int64_t qelapi_xio_whole(qelapi_tcontext_t* ThreadState, qelapi_file_t* Entry, char* Buf,
                         const char* CBuf, uint64_t Nbyte, bool isRead) {
  int eof = 0;
  int64_t rc = directHeld(ThreadState, Entry, kRequestPhase, nullptr, nullptr, Nbyte, &eof, isRead);
  if (rc < 0) return rc;
  return directHeld(ThreadState, Entry, 0, Buf, CBuf, Nbyte, &eof, isRead);
}

int qelapi_xio_wait_ms(void) {
  double ms = 1500.0 * 1000.0 / qelapi_time_scale();
  return ms < 1.0 ? 1 : int(ms);
}

int qelapi_io_dataconn(qelapi_file_t* Entry, int /*OpenFlags*/) {
  static const char* const me = "qelapi_io_dataconn";
  quor_connection_t* conn = Entry->connection ? Entry->connection : qelapi_getCurConnection();
  if (addressIsZero(&Entry->dataAddr) && conn != nullptr) {
    // No address of its own: the gateway means itself, at the port it gave.
    int port = ozugw_SockGetPort(&Entry->dataAddr);
    if (port == 0xFFFF) port = Entry->dataPort;
    Entry->dataAddr = conn->server_addr;
    ozugw_SockSetPort(&Entry->dataAddr, port);
  }
  char errbuf[256] = "";
  int sock = quor_net_socket(&Entry->dataAddr, SOCK_STREAM, 0, errbuf, sizeof errbuf);
  if (sock < 0) {
    int err = errno;
    perror("socket");
    QEL_LOG(6, "***%s: quor_net_socket failed for data socket - errno = %d [%s]\n", me, err,
            strerror(err));
    errno = err;
    return -err;
  }
  char univ[128] = "";
  quor_net_getuniversaladdress(&Entry->dataAddr, univ, sizeof univ, nullptr, 0);
  const char* host = conn && conn->server_host[0] ? conn->server_host : "???";
  QEL_LOG(7, "Opening data connection to %s (%s)", univ, host);
  quorcfgx_NetoptSetSock(sock, &Entry->dataAddr);
  if (quor_net_connect(sock, &Entry->dataAddr, errbuf, sizeof errbuf) < 0) {
    int err = errno;
    QEL_LOG(6, "*** %s: Data quor_net_connect call to %s failed - errno=%d [%s]\n", me, univ,
            err, strerror(err));
    perror("connect");
    close(sock);
    Entry->sockFiledes = -1;
    errno = err;
    return -err;
  }
  int one = 1;
  setsockopt(sock, SOL_SOCKET, SO_KEEPALIVE, &one, sizeof one);
  quorcfgx_NetoptSetSock(sock, nullptr);
  int sndbuf = 0, rcvbuf = 0;
  socklen_t len = sizeof sndbuf;
  const char* failed = nullptr;
  if (getsockopt(sock, SOL_SOCKET, SO_SNDBUF, &sndbuf, &len) < 0) {
    failed = "SO_SNDBUF";
  } else {
    len = sizeof rcvbuf;
    if (getsockopt(sock, SOL_SOCKET, SO_RCVBUF, &rcvbuf, &len) < 0) failed = "SO_RCVBUF";
  }
  if (failed) {
    int err = errno;
    fprintf(stderr, "(%s) getsockopt(%s) call failed - errno=%d!", me, failed, err);
    close(sock);
    errno = err;
    return -err;
  }
  QEL_LOG(7, "(%s) Socket FD %d: <sendbuf> size is %d, <rcvbuf> size is %d", me, sock, sndbuf,
          rcvbuf);
  int fl = fcntl(sock, F_GETFL);
  if (fl < 0 || fcntl(sock, F_SETFL, fl | O_NONBLOCK) < 0) {
    int err = errno;
    QEL_LOG(6, "(%s) Error %d on fcntl call", me, err);
    close(sock);
    errno = err;
    return -err;
  }
  Entry->sockFiledes = sock;
  return 0;
}

int64_t qelapi_io_read(qelapi_file_t* Entry, char* Buf, uint64_t Nbyte) {
  uint64_t done = 0;
  while (done < Nbyte) {
    ssize_t n = recv(Entry->sockFiledes, Buf + done, size_t(Nbyte - done), 0);
    if (n > 0) {
      done += uint64_t(n);
      continue;
    }
    if (n == 0) break;  // the gateway has sent all it will
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) {
      fprintf(stderr, "*** qelapi_io_read: error %d reading %d bytes from server\n", errno,
              int(Nbyte - done));
      return -5;
    }
    int w = waitReady(Entry->sockFiledes, POLLIN);
    if (w < 0) {
      fprintf(stderr, "*** qelapi_io_read: Error %d on select call\n", errno);
      return -5;
    }
    if (w == 0) {
      fprintf(stderr, "*** qelapi_io_read: timeout on read\n");
      return -5;
    }
  }
  return int64_t(done);
}

int64_t qelapi_io_write(qelapi_file_t* Entry, const char* Buf, uint64_t Nbyte) {
  uint64_t done = 0;
  while (done < Nbyte) {
    uint64_t chunk = Nbyte - done < kWriteChunk ? Nbyte - done : kWriteChunk;
    ssize_t n = send(Entry->sockFiledes, Buf + done, size_t(chunk), MSG_NOSIGNAL);
    if (n == 0) break;
    if (n > 0) {
      done += uint64_t(n);
      continue;
    }
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) {
      int err = errno;
      perror("write data socket");
      return -err;
    }
    // Wait only when the socket is full: a wait before every piece would
    // double the system calls of a transfer.
    int w = waitReady(Entry->sockFiledes, POLLOUT);
    if (w < 0) {
      fprintf(stderr, "*** qelapi_io_write: Error %d on select call\n", errno);
      return -5;
    }
    if (w == 0) {
      fprintf(stderr, "*** qelapi_io_write: timeout on write\n");
      return -5;
    }
  }
  return int64_t(done);
}

int qelapi_io_xio_finish(qelapi_tcontext_t* ThreadState, qelapi_file_t* Entry) {
  if (!(Entry->xopenFlags & 1) || !Entry->xio_in_progress) return 0;
  // The gateway ends its side once the connection goes, then answers.
  if (Entry->sockFiledes >= 0) {
    close(Entry->sockFiledes);
    Entry->sockFiledes = -1;
  }
  return collectReply(ThreadState, Entry);
}

int quor_OpenX(uint32_t XOpenFlags, const char* Path, int Oflag, mode_t Mode,
               const quor_cos_hints_t* HintsIn, const quor_cos_priorities_t* HintsPri,
               quor_cos_hints_t* HintsOut) {
  QEL_TRACE_ENTRY();
  qelapi_tcontext_t* ctx = nullptr;
  int rc = qelapi_init(&ctx);
  if (rc < 0) return rc;
  if (Path == nullptr) return -14;
  if (Path[0] == '\0') return -2;
  if (strlen(Path) > QEL_FILES_PATH_MAX) return -86;

  int fd = qelapi_io_claim_new(ctx, "quor_OpenX");
  if (fd < 0) return fd;
  qelapi_file_t* e = &qelapi_Filelist[fd];
  e->xio_in_progress = 0;
  e->xio_requested = e->xio_remaining = 0;

  api_quor_OpenX_req_t req;
  memset(&req, 0, sizeof req);
  req.XIOFlags = XOpenFlags | 3;
  req.Path = const_cast<char*>(Path);
  req.Oflag = mapXOpenFlags(Oflag);
  req.Mode = Mode;
  if (HintsIn) req.HintsIn = *HintsIn;
  if (HintsPri) req.HintsPri = *HintsPri;
  api_quor_OpenX_rply_t reply;
  memset(&reply, 0, sizeof reply);
  quor_connection_t* conn = ctx->connection;
  rc = qelapi_Exchange(ctx, QEL_CAT_CORE, QEL_FN_CORE_OpenX, &req,
                       CODEC(qel_xdr_api_quor_OpenX_req_t), &reply,
                       CODEC(qel_xdr_api_quor_OpenX_rply_t), conn);
  if (rc < 0) {
    qelapi_io_release_new(fd);
    return rc;
  }
  int quorFd = rc;
  if (HintsOut) *HintsOut = reply.HintsOut;

  e->connection = conn;
  e->dataAddr = reply.connectaddr;
  e->dataPort = reply.dataport;
  ozugw_SockSetPort(&e->dataAddr, reply.dataport);
  rc = qelapi_io_dataconn(e, 0);
  if (rc < 0) {
    int err = errno;
    e->connection = nullptr;
    closeOnGateway(ctx, conn, quorFd);
    qelapi_io_release_new(fd);
    errno = err;
    return rc;
  }

  // The gateway's first byte says the connection is its own; its value
  // carries nothing.
  for (;;) {
    char flag;
    ssize_t n = recv(e->sockFiledes, &flag, 1, 0);
    if (n == 1) break;
    int err = n == 0 ? ECONNRESET : errno;
    if (n < 0 && (err == EINTR || err == EAGAIN || err == EWOULDBLOCK)) {
      int w = waitReady(e->sockFiledes, POLLIN);
      if (w > 0) continue;
      err = w == 0 ? ETIMEDOUT : errno;
    }
    if (n != 0) fprintf(stderr, "*** (quor_OpenX) Error %d reading control flag from server\n", err);
    close(e->sockFiledes);
    e->sockFiledes = -1;
    e->connection = nullptr;
    closeOnGateway(ctx, conn, quorFd);
    qelapi_io_release_new(fd);
    errno = err;
    return -1;
  }

  e->xopenFlags = req.XIOFlags;
  e->xioFlags = 0;
  qelapi_io_publish(fd, conn, quorFd);
  return fd;
}

int64_t quor_ReadX(uint32_t XIOFlags, int Fildes, void* Buf, uint64_t Nbyte, int* EofFlag) {
  // No entry trace: reads come by the thousand.
  return directCall(XIOFlags, Fildes, static_cast<char*>(Buf), nullptr, Nbyte, EofFlag, true);
}

int64_t quor_WriteX(uint32_t XIOFlags, int Fildes, const void* Buf, uint64_t Nbyte) {
  QEL_TRACE_ENTRY();
  return directCall(XIOFlags, Fildes, nullptr, static_cast<const char*>(Buf), Nbyte, nullptr,
                    false);
}
