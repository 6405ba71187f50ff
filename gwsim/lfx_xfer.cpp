// lfx transfers: the init request, its answer, the data phase on a worker
// and the completion that follows the answer; the socket pool's clean-up.
//
// Direction: xferOperation 1 (get) moves [srcOffset, +xferLength) of the
// gateway file to the client, 0 (put) moves xferLength bytes from the client
// to sinkOffset (a whole-file put truncates the file first). Inline: with
// 0x80000000 the put's data came in the request, with 0x40000000 the get's
// data go in the answer; either only up to the inline limit (-22 above it),
// and no completion follows. Otherwise the data move on one TCP connection:
// to the client's offered listen socket, on a socket both sides pooled
// (preConnected, by pool id), or, with flag 0x1, from the client to the
// address the answer gives. A get whose file ends early sends what there is
// and closes the connection; a put that gets fewer bytes than announced
// fails with -5 (a pipe put, flag 0x40, reads to the end).
// The completion carries the status and the bytes that really moved; a
// socket that did not end a transfer cleanly is closed, not pooled.
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <vector>

#include "dataconn.h"
#include "reply.h"
#include "journal.h"
#include "lfx.h"
#include "msg_lfx.h"

#define CODEC(f) reinterpret_cast<xdrproc_t>(f)

#define LFX_CLIENT_CONNECT 0x1u
#define LFX_BACKUP 0x2u
#define LFX_RESTART 0x4u
#define LFX_TIMES_NOW 0x10u
#define LFX_PIPE_PUT 0x40u
#define LFX_INLINE_REPLY 0x40000000u

namespace {

std::atomic<uint32_t> serialCounter{1};
std::atomic<unsigned> dataTransfers{0};
std::atomic<unsigned> dataInits{0};
std::atomic<unsigned> inlineGets{0};

// One data phase as the worker runs it.
typedef struct lfx_job {
  gw_conn_t* conn;
  uint32_t requestID;
  uint32_t serial;
  int get;
  int fd;             // the gateway file
  int sock;           // connected data socket, or -1
  int lfd;            // listening socket (client-connect mode), or -1
  quor_sockaddr_t target;  // the client's listen socket (listen mode)
  quor_sockaddr_t peer;    // kept with a pooled socket
  uint32_t poolID;
  uint64_t offset;
  uint64_t length;
  int toEnd;  // a pipe put: read until the client closes
  unsigned nth;  // the data transfer's number, for the fault rules
  int failWith;  // completes with this status without moving data (0: moves)
  int timesNow;  // a put whose file gets the time of its end
  int closeEarly;  // moves half the range, closes, and reports it all moved
} lfx_job_t;

int read_at(int fd, char* buf, size_t len, uint64_t off, size_t* got) {
  *got = 0;
  while (*got < len) {
    ssize_t n = pread(fd, buf + *got, len - *got, off_t(off + *got));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return gw_LfxErr(errno);
    if (n == 0) break;
    *got += size_t(n);
  }
  return 0;
}

int write_at(int fd, const char* buf, size_t len, uint64_t off) {
  size_t done = 0;
  while (done < len) {
    ssize_t n = pwrite(fd, buf + done, len - done, off_t(off + done));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return gw_LfxErr(errno);
    done += size_t(n);
  }
  return 0;
}

// Moves the job's data over its socket: the status; *moved counts the bytes
// that really moved and *clean tells whether the socket can be reused.
int move_data(lfx_job_t* j, uint64_t* moved, bool* clean) {
  int idle = int(j->conn->cfg->data.idleMs);
  int rc;
  if (j->closeEarly) {
    uint64_t half = j->length / 2;
    rc = j->get ? gw_DataFileToSocket(j->conn, j->sock, j->fd, j->offset, half, idle, moved)
                : gw_DataSocketToFile(j->conn, j->sock, j->fd, j->offset, half, 0, idle, moved);
    (void)rc;
    *clean = false;
    // A gateway that claims the whole range over a connection it cut short.
    *moved = j->length;
    return 0;
  }
  if (j->get) {
    rc = gw_DataFileToSocket(j->conn, j->sock, j->fd, j->offset, j->length, idle, moved);
    // A file that ended early: the connection's end tells the client.
    *clean = rc == 0 && *moved == j->length;
  } else {
    rc = gw_DataSocketToFile(j->conn, j->sock, j->fd, j->offset, j->length, j->toEnd, idle, moved);
    *clean = rc == 0 && !j->toEnd;
  }
  return rc < 0 ? gw_LfxErr(-rc) : rc;
}

void send_completion(lfx_job_t* j, int32_t status, uint64_t moved) {
  gw_conn_t* conn = j->conn;
  unsigned nth = ++dataTransfers;
  const gw_data_config_t& dc = conn->cfg->data;
  if (dc.dropCompletion == nth) {
    gw_JournalLine("conn=%d lfx-complete serial=%u status=%d bytes=%llu dropped", conn->num,
                   j->serial, status, (unsigned long long)moved);
    shutdown(conn->fd, SHUT_RDWR);
    return;
  }
  api_msghdr_t hdr;
  ozugw_BuildMsgHdr(&hdr, j->requestID, 0, uint32_t(time(nullptr)), 0, QEL_CAT_LFX,
                    QEL_FN_LFX_GetXferReply, 0);
  ozugw_lfx_xfer_reply_t r;
  memset(&r, 0, sizeof r);
  if (status == 0 && dc.lfxFailStatus != 0 && dc.lfxFailStatus == j->nth) status = -5;
  if (dc.lfxMiscount != 0 && dc.lfxMiscount == j->nth) moved += 1;
  if (status == 0 && dc.lfxShortCompletion != 0 && dc.lfxShortCompletion == j->nth && moved > 0) moved -= 1;
  r.xferCompleteInfo.xferSerialNum = j->serial;
  r.xferCompleteInfo.xferStatus = status;
  r.xferCompleteInfo.bytesXferred = moved;
  bool empty = dc.emptyCompletion == nth;
  gw_JournalLine("conn=%d lfx-complete serial=%u status=%d bytes=%llu%s", conn->num, j->serial,
                 status, (unsigned long long)moved, empty ? " empty" : "");
  if (empty)
    gw_SendMessage(conn, &hdr, nullptr, nullptr);
  else
    gw_SendMessage(conn, &hdr, CODEC(qel_xdr_ozugw_lfx_xfer_reply_t), &r);
}

void run_job(lfx_job_t j) {
  gw_conn_t* conn = j.conn;
  const gw_data_config_t& dc = conn->cfg->data;
  int status = 0;
  if (j.failWith != 0) {
    if (j.lfd >= 0) close(j.lfd);
    if (j.sock >= 0) close(j.sock);
    close(j.fd);
    send_completion(&j, j.failWith, 0);
    return;
  }
  if (j.sock < 0 && j.lfd >= 0) {
    gw_DataWatch(conn, j.lfd);
    j.sock = gw_DataAccept(conn, j.lfd, int(dc.acceptMs));
    gw_DataUnwatch(conn, j.lfd);
    close(j.lfd);
    socklen_t len = sizeof j.peer.hs_addr;
    if (j.sock >= 0 && getpeername(j.sock, reinterpret_cast<struct sockaddr*>(&j.peer.hs_addr),
                                   &len) == 0)
      j.peer.hs_addrlen = len;
  } else if (j.sock < 0) {
    j.sock = gw_DataConnectFrom(conn, &j.target, int(dc.acceptMs), dc.lfxFrom.c_str());
    j.peer = j.target;
  }
  uint64_t moved = 0;
  if (j.sock < 0) {
    status = j.sock;
  } else {
    bool clean = false;
    gw_DataWatch(conn, j.sock);
    status = move_data(&j, &moved, &clean);
    gw_DataUnwatch(conn, j.sock);
    // Kept before the completion goes out: the client reuses the socket as
    // soon as it has read it.
    if (status == 0 && clean && j.poolID != 0 && !gw_DataStopping(conn))
      gw_PoolPut(conn, j.poolID, j.sock, &j.peer);
    else
      close(j.sock);
  }
  if (j.timesNow && status == 0) futimens(j.fd, nullptr);
  close(j.fd);
  send_completion(&j, status, moved);
}

// The gateway file of a transfer: the open file the request names, or the
// path on the served tree.
int open_file(gw_conn_t* conn, const ozugw_lfx_xfer_init_req_t* rq, int put) {
  const ozu_xfer_init_info_t* in = &rq->initInfo;
  if (rq->filedes >= 0) {
    gw_openfile_t* f = gw_DataOpenFile(conn, rq->filedes);
    if (!f || f->fd < 0) return -9;
    // The worker's own descriptor: a close meanwhile cannot pull it away.
    int fd = fcntl(f->fd, F_DUPFD_CLOEXEC, 0);
    return fd < 0 ? gw_LfxErr(errno) : fd;
  }
  bool whole = in->sinkOffset == 0 && in->srcOffset == 0 && !(in->flags & LFX_RESTART) &&
               ((in->flags & LFX_PIPE_PUT) || uint64_t(in->fileSize) == in->xferLength);
  if (put && whole && (in->flags & LFX_BACKUP)) {
    // The old file stays whole under its "~" name.
    std::vector<std::string> comps;
    if (gw_LfxResolve(conn, in->pathName, 0, &comps) == 0) {
      std::string host = gw_LfxHostPath(conn, comps);
      struct stat st;
      if (lstat(host.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
        if (rename(host.c_str(), (host + "~").c_str()) != 0) return gw_LfxErr(errno);
        conn->note += " backup=1";
      }
    }
  }
  uint32_t mode = in->mode & 07777;
  return gw_LfxOpenForXfer(conn, in->pathName, put, put && whole, mode ? mode : 0666);
}

int answer_inline(gw_conn_t* conn, const ozu_xfer_init_info_t* in, int fd, gw_reply_t* reply) {
  ozugw_lfx_xfer_init_rply_t r;
  memset(&r, 0, sizeof r);
  r.initReplyInfo.xferSerialNum = serialCounter++;
  std::vector<char> data;
  int rc = 0;
  if (in->xferOperation == 1) {
    struct stat st;
    if (fstat(fd, &st) < 0) rc = gw_LfxErr(errno);
    uint64_t size = rc == 0 ? uint64_t(st.st_size) : 0;
    uint64_t n = in->srcOffset >= size ? 0 : std::min<uint64_t>(in->xferLength, size - in->srcOffset);
    data.resize(size_t(n));
    size_t got = 0;
    if (rc == 0) rc = read_at(fd, data.data(), data.size(), in->srcOffset, &got);
    data.resize(got);
    // A faulty gateway answers with less than was asked, saying so.
    unsigned nth = ++inlineGets;
    if (conn->cfg->data.lfxInlineShort != 0 && conn->cfg->data.lfxInlineShort == nth && got > 0) {
      got--;
      data.resize(got);
      conn->note += " short=1";
    }
    r.initReplyInfo.flags = OZU_XFER_INLINE_DATA;
    r.initReplyInfo.fileSize = got;
    r.initReplyInfo.fileData = data.empty() ? nullptr : data.data();
  } else {
    if (in->xferLength > 0 && in->fileData == nullptr) rc = -22;
    if (rc == 0) rc = write_at(fd, in->fileData, size_t(in->xferLength), in->sinkOffset);
    r.initReplyInfo.fileSize = in->xferLength;
  }
  close(fd);
  conn->note += " inline bytes=" + std::to_string(r.initReplyInfo.fileSize);
  reply->errorcode = rc;
  if (rc == 0) gw_ReplyWithBody(reply, CODEC(qel_xdr_ozugw_lfx_xfer_init_rply_t), &r);
  return 0;
}

}  // namespace

int gw_HandleLfxInit(gw_conn_t* conn, const api_msghdr_t* hdr, void* req, gw_reply_t* reply) {
  const ozugw_lfx_xfer_init_req_t* rq = static_cast<const ozugw_lfx_xfer_init_req_t*>(req);
  const ozu_xfer_init_info_t* in = &rq->initInfo;
  const gw_data_config_t& dc = conn->cfg->data;
  bool inlinePut = (in->flags & OZU_XFER_INLINE_DATA) != 0;
  bool inlineGet = (in->flags & LFX_INLINE_REPLY) != 0;
  int put = in->xferOperation == 0;
  int rc = gw_LfxReady(conn);
  if (rc == 0 && in->xferOperation > 1) rc = -22;
  if (rc == 0 && ((inlinePut && !put) || (inlineGet && put))) rc = -22;
  if (rc == 0 && (inlinePut || inlineGet) && in->xferLength > dc.lfxInlineMax) rc = -22;
  int fd = rc == 0 ? open_file(conn, rq, put) : rc;
  if (fd < 0) {
    reply->errorcode = fd;
    return 0;
  }
  if (inlinePut || inlineGet) return answer_inline(conn, in, fd, reply);

  std::string preNote;  // notes that follow the serial and pool id
  lfx_job_t j;
  memset(&j, 0, sizeof j);
  j.conn = conn;
  j.requestID = hdr->msgRequestID;
  j.serial = serialCounter++;
  j.get = !put;
  j.fd = fd;
  j.sock = j.lfd = -1;
  j.offset = put ? in->sinkOffset : in->srcOffset;
  j.length = in->xferLength;
  // A pipe's length is not known before its end, whatever was announced.
  j.toEnd = put && (in->flags & LFX_PIPE_PUT);
  j.nth = ++dataInits;
  j.timesNow = put && (in->flags & LFX_TIMES_NOW);
  if (put && (in->flags & LFX_RESTART)) {
    // A restart continues the file from its own end.
    struct stat st;
    if (fstat(fd, &st) == 0) j.offset = uint64_t(st.st_size);
    preNote += " restart=" + std::to_string(j.offset);
  }
  bool noConnect = dc.lfxNoConnect != 0 && dc.lfxNoConnect == j.nth;
  j.closeEarly = dc.lfxCloseEarly != 0 && dc.lfxCloseEarly == j.nth;
  bool forgetPool = dc.lfxForgetPool != 0 && dc.lfxForgetPool == j.nth;
  bool unknownPool = dc.lfxUnknownPool != 0 && dc.lfxUnknownPool == j.nth;

  ozugw_lfx_xfer_init_rply_t r;
  memset(&r, 0, sizeof r);
  r.initReplyInfo.xferSerialNum = j.serial;
  ozu_sockaddr_info_t offer;
  memset(&offer, 0, sizeof offer);
  if (in->flags & LFX_CLIENT_CONNECT) {
    // The client connects: to a socket both sides kept, else to a new
    // listener of the gateway's own numbering.
    j.sock = unknownPool ? -1 : gw_PoolTakeAny(conn, &j.poolID, &j.peer);
    if (unknownPool) {
      offer.addressType = 2;
      offer.preConnected = 1;
      j.poolID = 0x7fff0000u + j.nth;
      j.failWith = -9;
    } else if (j.sock >= 0) {
      offer.addressType = uint8_t(j.peer.hs_addr.ss_family);
      offer.preConnected = 1;
      offer.socketFD = j.sock;
      offer.socketAddr = j.peer;
    } else {
      j.lfd = gw_DataListen(&offer.socketAddr);
      if (j.lfd < 0) rc = j.lfd;
      j.poolID = gw_PoolNextId();
      offer.addressType = 2;
      offer.socketFD = j.lfd;
    }
    offer.poolID = j.poolID;
    preNote = offer.preConnected ? " pre=1" : " pre=0";
    if (noConnect && j.lfd >= 0) {
      close(j.lfd);
      j.lfd = -1;
    }
    r.initReplyInfo.addressCount = 1;
    r.initReplyInfo.addressList = &offer;
  } else if (in->addressCount < 1 || in->addressList == nullptr) {
    rc = -22;
  } else {
    const ozu_sockaddr_info_t* a = &in->addressList[0];
    j.poolID = a->poolID;
    preNote = a->preConnected ? " pre=1" : " pre=0";
    if (a->preConnected) {
      j.sock = gw_PoolTake(conn, a->poolID);
      if (j.sock >= 0 && forgetPool) {
        close(j.sock);
        j.sock = -1;
      }
      if (j.sock < 0) rc = -9;
    } else {
      j.target = a->socketAddr;
      // A new socket under an id the pool still holds: the client numbered
      // two live sockets alike. The stale one goes.
      int stale = gw_PoolTake(conn, a->poolID);
      if (stale >= 0) {
        close(stale);
        preNote += " reused-id=1";
      }
    }
  }
  if (rc == 0 && !put) {
    struct stat st;
    if (fstat(fd, &st) == 0) r.initReplyInfo.fileSize = uint64_t(st.st_size);
  }
  if (rc == 0 && noConnect) {
    // Never connected: a pooled socket offered stays unused.
    if (j.sock >= 0) close(j.sock);
    j.sock = -1;
    j.failWith = -110;
    preNote += " noconnect=1";
  }
  conn->note += " serial=" + std::to_string(j.serial) + " pool=" + std::to_string(j.poolID) + preNote;
  if (rc < 0) {
    close(fd);
    if (j.sock >= 0) close(j.sock);
    if (j.lfd >= 0) close(j.lfd);
    reply->errorcode = rc;
    return 0;
  }

  // Answered here, so the completion can never overtake the answer.
  api_msghdr_t out;
  ozugw_BuildMsgHdr(&out, hdr->msgRequestID, 0, uint32_t(time(nullptr)), 0, QEL_CAT_LFX,
                    QEL_FN_LFX_Init, 0);
  if (gw_SendMessage(conn, &out, CODEC(qel_xdr_ozugw_lfx_xfer_init_rply_t), &r) < 0 ||
      gw_DataStart(conn, [j]() { run_job(j); }) < 0) {
    close(fd);
    if (j.sock >= 0) close(j.sock);
    if (j.lfd >= 0) close(j.lfd);
    return -1;
  }
  return 1;
}

int gw_HandleLfxCleanSockPool(gw_conn_t* conn, const api_msghdr_t*, void*, gw_reply_t* reply) {
  int rc = gw_LfxReady(conn);
  if (rc == 0) conn->note += " closed=" + std::to_string(gw_PoolClear(conn));
  reply->errorcode = rc;
  return 0;
}

void gw_NoteLfxInit(const api_msghdr_t*, const void* req, std::string* note) {
  const ozugw_lfx_xfer_init_req_t* rq = static_cast<const ozugw_lfx_xfer_init_req_t*>(req);
  const ozu_xfer_init_info_t* in = &rq->initInfo;
  char buf[160];
  snprintf(buf, sizeof buf, " filedes=%d op=%u flags=0x%08x src=%llu sink=%llu len=%llu addrs=%d",
           rq->filedes, unsigned(in->xferOperation), in->flags,
           (unsigned long long)in->srcOffset, (unsigned long long)in->sinkOffset,
           (unsigned long long)in->xferLength, in->addressCount);
  *note += std::string(" path=") + in->pathName + buf;
}
