// quor_Read and quor_Write through movers, in transfer cycles: each cycle
// takes a fresh request id and listen socket, sends one list request naming
// the socket, starts a listen thread that serves the movers and waits for
// the I/O reply. Also the positioning calls quor_Lseek and
// quor_SetFileOffset.
//
// What a cycle counts: the bytes the reply reports, and only when they all
// arrived (reads) or were handed to the movers (writes) as one run from the
// start of the window. A reply that reports more than that, or success with
// a failed status, fails the cycle with the listen thread's error, or -5,
// once no more data has come for a bounded time. A write then fails the
// call. A read still counts what arrived before the failure: the gateway's
// offset stands past those bytes, and a caller that tried again from there
// would never get them.
#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>

#include "msg_files.h"
#include "mover_loops.h"
#include "quor_api.h"
#include "quor_data_io.h"
#include "quor_files.h"
#include "quor_xio.h"
#include "quorcfgx_restrict.h"
#include "quorclntaddr.h"
#include "xdr_iod.h"

namespace {

constexpr int kListenBacklog = 4096;
constexpr int kSliceMs = 1000;
constexpr int kPacketWait = 60;

// One transfer cycle, shared by the calling thread and its listen thread.
struct io_cycle {
  qelapi_file_t* entry = nullptr;
  int direction = MOVER_RECEIVE;
  int wakeFd = -1;  // eventfd: the reply is in, or the call gives up
  uint64_t xferId = 0;
  mover_cover_t cover;  // the listen thread's until it is joined
  int failure = 0;      // the listen thread's error
  pthread_t thread{};
};

int loadFlag(const int* p) { return __atomic_load_n(p, __ATOMIC_ACQUIRE); }
void storeFlag(int* p, int v) { __atomic_store_n(p, v, __ATOMIC_RELEASE); }

void wake(io_cycle* c) {
  uint64_t one = 1;
  ssize_t n = write(c->wakeFd, &one, sizeof one);
  (void)n;  // a full counter is already a wake-up
}

// How long the listen thread keeps waiting, once the reply is in, for bytes
// it reports and that have not arrived, counted from the last byte that did.
int replyWaitMs() {
  double ms = 10000.0 / qelapi_time_scale();
  return std::max(250, static_cast<int>(ms));
}

// A wake-up of the listen thread while it serves: the call stops it, or the
// reply came and its bytes end the cycle once they are in. The connections
// are served on meanwhile, not stopped and started again.
int replyCame(void* arg, uint64_t* want) {
  auto* c = static_cast<io_cycle*>(arg);
  qelapi_file_t* e = c->entry;
  if (loadFlag(&e->aborted) || loadFlag(&e->transferActive) <= 0) return 1;
  pthread_mutex_lock(&e->fileLock);
  if (e->iodCompleted) *want = e->iorBytesXferred;
  pthread_mutex_unlock(&e->fileLock);
  return 0;
}

// The listen thread: serves the cycle's movers until the window is complete,
// the reply's bytes are all in, the call stops it, or it fails.
void* manage_io_connections(void* arg) {
  auto* c = static_cast<io_cycle*>(arg);
  qelapi_file_t* e = c->entry;
  mover_set_t set;
  set.listenFd = e->listenFd;
  set.caller = c->direction == MOVER_RECEIVE ? "mover_waitfor_data_timeout"
                                             : "mover_waitfor_requests_timeout";
  std::vector<quor_sockaddr_t> refused;
  set.refused = &refused;
  set.lostIsClosed = true;
  char* buf = e->userBuffer;
  uint64_t count = e->bytesToXfer;
  bool replySeen = false;
  uint64_t lastTotal = 0;
  auto lastProgress = std::chrono::steady_clock::now();
  int slice = kSliceMs;
  mover_wake_t wake{replyCame, c};
  while (!loadFlag(&e->aborted) && loadFlag(&e->transferActive) > 0) {
    int rc = mover_serve(&set, c->direction, c->xferId, 0, buf, count, &c->cover, slice,
                         c->wakeFd, kPacketWait, &wake);
    if (rc == 0) break;
    if (rc == MOVER_WOKEN) {
      uint64_t v;
      ssize_t n = read(c->wakeFd, &v, sizeof v);
      (void)n;
    } else if (rc != -110) {
      c->failure = rc;
      storeFlag(&e->aborted, 1);
      break;
    }
    pthread_mutex_lock(&e->fileLock);
    int done = e->iodCompleted;
    uint64_t want = e->iorBytesXferred;
    pthread_mutex_unlock(&e->fileLock);
    if (!done) continue;
    if (mover_cover_prefix(&c->cover) >= want) break;
    auto now = std::chrono::steady_clock::now();
    uint64_t total = mover_cover_total(&c->cover);
    if (!replySeen || total != lastTotal) {
      replySeen = true;
      lastTotal = total;
      lastProgress = now;
      slice = std::min(kSliceMs, replyWaitMs());
    } else if (now - lastProgress >= std::chrono::milliseconds(replyWaitMs())) {
      break;
    }
  }
  mover_set_close(&set);
  // Nobody accepts on the socket any more: movers still queued on it are
  // reset now rather than left waiting for an answer.
  shutdown(set.listenFd, SHUT_RDWR);
  for (quor_sockaddr_t& peer : refused) quorex_IsConnectionAllowed(&peer.hs_addr, 1, set.caller);
  return nullptr;
}

// Ends a cycle's listen thread early and joins it.
void killOffListenThread(qelapi_tcontext_t*, io_cycle* c, qelapi_file_t* e) {
  storeFlag(&e->transferActive, 0);
  if (e->lthreadActive) {
    wake(c);
    pthread_join(c->thread, nullptr);
    e->lthreadActive = 0;
  }
}

// A fresh request id from the file's gateway: 0, or the failure.
int fetchRequestID(qelapi_tcontext_t* ts, quor_connection_t* conn, quor_reqid_t* id) {
  memset(id, 0, sizeof *id);
  api_quor_GetUniqueRequestID_rply_t reply;
  memset(&reply, 0, sizeof reply);
  int rc = qelapi_send_msg(QEL_CAT_CORE, QEL_FN_CORE_GetUniqueRequestID, nullptr, nullptr, 0, 0,
                           conn, ts);
  if (rc < 0) return rc;
  api_msghdr_t hdr;
  rc = qelapi_get_msg(ts, &hdr, &reply,
                      reinterpret_cast<xdrproc_t>(qel_xdr_api_quor_GetUniqueRequestID_rply_t),
                      conn);
  if (rc < 0) return rc;
  if (hdr.errorcode < 0) return hdr.errorcode;
  static const quor_reqid_t zero{};
  if (!(hdr.msgFlags & API_MSGF_BODY) || memcmp(&reply.RetReqid, &zero, sizeof zero) == 0)
    return -5;
  *id = reply.RetReqid;
  return 0;
}

// The cycle's listen socket, listening: 0, or the failure.
int openListenSocket(qelapi_file_t* e) {
  for (;;) {
    int fd = -1;
    quor_sockaddr_t addr;
    int rc = ozugw_SockGetListenSocket(0, 1, &fd, &addr);
    if (rc < 0) return rc;
    if (quor_net_listen(fd, kListenBacklog, nullptr, 0) == 0) {
      e->listenFd = fd;
      e->listenSock = addr;
      return 0;
    }
    int err = errno;
    close(fd);
    if (err != EADDRINUSE) return -err;
    ozugw_ThreadSleep(0, 10000);
  }
}

// A reply's status as an error: 0 when the transfer and its first sink
// piece report none; a positive status counts as its negation.
int replyStatus(const quor_IOR_t* ior) {
  int32_t st = ior->Status;
  if (st == 0 && ior->SinkReplyList != nullptr) st = ior->SinkReplyList->Status;
  return st > 0 ? -st : st;
}

// A read cycle that failed hard keeps the bytes that arrived as one run from
// the window's start, since the gateway's offset is already past them and a
// caller that tried again from there would never see them. The offset stands
// past everything the reply reports: it goes back to the end of what arrived.
// Returns the bytes kept, or a negative error when the offset could not be
// set right, in which case nothing of the cycle may count.
int64_t keepArrived(qelapi_tcontext_t* ts, quor_connection_t* conn, qelapi_file_t* e,
                    uint64_t cycleBytes, uint64_t arrived) {
  uint64_t kept = std::min(cycleBytes, arrived);
  if (cycleBytes > kept) {
    api_quor_SetFileOffset_req_t req;
    memset(&req, 0, sizeof req);
    req.Fildes = e->quorFiledes;
    req.OffsetIn = cycleBytes - kept;
    req.Whence = SEEK_CUR;
    req.Direction = 1;
    api_quor_SetFileOffset_rply_t reply;
    memset(&reply, 0, sizeof reply);
    int rc = qelapi_Exchange(ts, QEL_CAT_CORE, QEL_FN_CORE_SetFileOffset, &req,
                             reinterpret_cast<xdrproc_t>(qel_xdr_api_quor_SetFileOffset_req_t),
                             &reply,
                             reinterpret_cast<xdrproc_t>(qel_xdr_api_quor_SetFileOffset_rply_t),
                             conn);
    if (rc < 0) return rc;
  }
  return int64_t(kept);
}

ssize_t dataCall(int Fildes, char* Buf, size_t Nbyte, int direction) {
  QEL_TRACE_ENTRY();
  qelapi_tcontext_t* ts = nullptr;
  int rc = qelapi_init(&ts);
  if (rc < 0) return rc;
  if (Buf == nullptr) return -14;
  if (Nbyte == 0) return 0;
  qelapi_file_t* e = nullptr;
  rc = qelapi_io_setactive(ts, Fildes, &e);
  if (rc < 0) return rc;
  quor_connection_t* conn = e->connection;
  qelapi_BindThreadConnection(ts, conn);
  bool isRead = direction == MOVER_RECEIVE;

  if (e->xopenFlags & 1) {
    // Held through both phases: another call meanwhile would mix its data
    // with this one's.
    ssize_t n = qelapi_xio_whole(ts, e, isRead ? Buf : nullptr, isRead ? nullptr : Buf, Nbyte,
                                 isRead);
    qelapi_io_setinactive(e);
    return n;
  }

  e->listenFd = -1;
  memset(&e->listenSock, 0, sizeof e->listenSock);
  storeFlag(&e->aborted, 0);
  ssize_t result = -1;  // no reply came
  uint64_t moved = 0;
  io_cycle* cycle = nullptr;

  while (moved < Nbyte && !loadFlag(&e->aborted)) {
    quor_reqid_t id;
    rc = fetchRequestID(ts, conn, &id);
    if (rc < 0) {
      result = moved > 0 ? static_cast<ssize_t>(moved) : rc;
      break;
    }
    uint64_t remaining = Nbyte - moved;
    e->requestID = id;
    e->userBuffer = Buf + moved;
    e->bytesToXfer = remaining;
    pthread_mutex_lock(&e->fileLock);
    e->iorBytesXferred = 0;
    e->iodCompleted = 0;
    pthread_mutex_unlock(&e->fileLock);

    rc = openListenSocket(e);
    if (rc < 0) {
      result = rc;
      break;
    }
    cycle = new io_cycle();
    cycle->entry = e;
    cycle->direction = direction;
    cycle->xferId = quor_RequestIDtoU64(id);
    cycle->wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (cycle->wakeFd < 0) {
      result = -errno;
      break;
    }
    storeFlag(&e->transferActive, 1);
    storeFlag(&e->aborted, 0);

    // The descriptor: the open file on one side, the listen socket on the
    // other, the same length on both.
    iod_srcsinkdesc_t fileSide, netSide;
    memset(&fileSide, 0, sizeof fileSide);
    memset(&netSide, 0, sizeof netSide);
    fileSide.Length = remaining;
    fileSide.SrcSinkAddr.Type = CLIENTFILE_ADDRESS;
    fileSide.SrcSinkAddr.Addr_u.ClientFileAddr.FileDes = e->quorFiledes;
    fileSide.SrcSinkAddr.Addr_u.ClientFileAddr.FileOffset = ~0ULL;  // the current offset
    netSide.Flags = QUOR_IOD_XFEROPT_IP;
    netSide.Length = remaining;
    netSide.SrcSinkAddr.Type = NET_ADDRESS;
    netSide.SrcSinkAddr.Addr_u.NetAddr.SockTransferID = cycle->xferId;
    netSide.SrcSinkAddr.Addr_u.NetAddr.SockAddr = e->listenSock;
    api_quor_list_req_t req;
    memset(&req, 0, sizeof req);
    req.theIOD.RequestID = id;
    req.theIOD.Function = isRead ? QUOR_IOD_READ : QUOR_IOD_WRITE;
    req.theIOD.SrcDescLength = 1;
    req.theIOD.SinkDescLength = 1;
    req.theIOD.SrcDescList = isRead ? &fileSide : &netSide;
    req.theIOD.SinkDescList = isRead ? &netSide : &fileSide;
    req.Flags = isRead ? 1 : 0;
    uint16_t fn = isRead ? QEL_FN_CORE_ReadList : QEL_FN_CORE_WriteList;
    xdrproc_t reqCodec = isRead ? reinterpret_cast<xdrproc_t>(qel_xdr_api_quor_ReadList_req_t)
                                : reinterpret_cast<xdrproc_t>(qel_xdr_quor_WriteList_req_t);
    rc = qelapi_send_msg(QEL_CAT_CORE, fn, &req, reqCodec, 0, 0, conn, ts);
    if (rc < 0) {
      storeFlag(&e->aborted, 1);
      result = rc;
      break;
    }
    // The listen socket queues the movers that connect meanwhile: the
    // thread starts while the request is on its way, not before it.
    int threadFailure = ozugw_ThreadCreate(&cycle->thread, nullptr, manage_io_connections, cycle);
    if (threadFailure < 0) {
      // Nobody will serve the movers: they are reset now, and the reply
      // is still taken off the connection.
      storeFlag(&e->aborted, 1);
      shutdown(e->listenFd, SHUT_RDWR);
    } else {
      e->lthreadActive = 1;
    }
    api_quor_list_rply_t reply;
    memset(&reply, 0, sizeof reply);
    api_msghdr_t hdr;
    rc = qelapi_get_msg(ts, &hdr, &reply,
                        isRead ? reinterpret_cast<xdrproc_t>(qel_xdr_api_quor_ReadList_rply_t)
                               : reinterpret_cast<xdrproc_t>(qel_xdr_api_quor_WriteList_rply_t),
                        conn);
    if (rc < 0 || threadFailure < 0) {
      storeFlag(&e->aborted, 1);
      if (rc >= 0) free_quor_ior_mem(&reply.theIOR);
      result = rc < 0 ? rc : threadFailure;
      break;
    }

    int code = hdr.errorcode;
    quor_IOR_t* ior = &reply.theIOR;
    uint64_t cycleBytes = ior->SinkReplyList ? ior->SinkReplyList->BytesMoved : 0;
    int status = replyStatus(ior);
    bool gap = isRead && (ior->Flags & QUOR_IOR_GAPINFO) && ior->ReqSpecReply != nullptr &&
               ior->ReqSpecReply->ReqReply_s.ReqReplyType == IOD_REQREPLY_GAPINFO;
    gapinfo_t gapInfo{};
    if (gap) gapInfo = ior->ReqSpecReply->ReqReply_s.Reply_u.GapInfo;
    free_quor_ior_mem(ior);
    pthread_mutex_lock(&e->fileLock);
    e->iorBytesXferred = cycleBytes;
    e->iodCompleted = 1;
    pthread_mutex_unlock(&e->fileLock);
    // The listen thread still takes what the reply reports, even from a
    // failed cycle: those bytes are past the gateway's offset.
    wake(cycle);
    if (e->lthreadActive) pthread_join(cycle->thread, nullptr);
    e->lthreadActive = 0;
    close(e->listenFd);
    e->listenFd = -1;

    // A reply that reports success with a failed status, or bytes that never
    // arrived: the gateway's offset has moved past bytes the caller did not
    // get. A write's count would not be true; a read keeps what it has.
    int hard = 0;
    uint64_t arrived = mover_cover_prefix(&cycle->cover);
    if (code >= 0 && status < 0)
      hard = status;
    else if (cycleBytes > arrived)
      hard = cycle->failure < 0 ? cycle->failure : -5;
    if (hard < 0) {
      if (isRead) {
        int64_t kept = keepArrived(ts, conn, e, cycleBytes, arrived);
        if (kept >= 0) moved += uint64_t(kept);
        result = kept >= 0 && moved > 0 ? static_cast<ssize_t>(moved) : hard;
      } else {
        result = hard;
      }
      break;
    }
    moved += cycleBytes;
    uint64_t filled = 0;
    if (gap) {
      uint64_t at = moved + gapInfo.Offset;
      if (at >= moved && at < Nbyte) {
        filled = std::min<uint64_t>(gapInfo.Length, Nbyte - at);
        memset(Buf + at, 0, filled);
        moved += filled;
      }
    }
    int failed = cycle->failure < 0 ? cycle->failure : code;
    if (failed < 0) {
      result = moved > 0 ? static_cast<ssize_t>(moved) : failed;
      break;
    }
    result = static_cast<ssize_t>(moved);
    close(cycle->wakeFd);
    delete cycle;
    cycle = nullptr;
    if (cycleBytes + filled == 0) break;
  }

  // The thread goes before the socket it polls.
  if (cycle != nullptr) {
    if (e->lthreadActive) killOffListenThread(ts, cycle, e);
    if (cycle->wakeFd >= 0) close(cycle->wakeFd);
    delete cycle;
  }
  if (e->listenFd >= 0) {
    close(e->listenFd);
    e->listenFd = -1;
  }
  qelapi_io_setinactive(e);
  return result;
}

}  // namespace

ssize_t quor_Read(int Fildes, void* Buf, size_t Nbyte) {
  return dataCall(Fildes, static_cast<char*>(Buf), Nbyte, MOVER_RECEIVE);
}

ssize_t quor_Write(int Fildes, const void* Buf, size_t Nbyte) {
  // Only read from: the listen thread answers the movers' requests from it.
  return dataCall(Fildes, const_cast<char*>(static_cast<const char*>(Buf)), Nbyte, MOVER_SEND);
}

int64_t quor_Lseek(int Fildes, int64_t Offset, int Whence) {
  QEL_TRACE_ENTRY();
  qelapi_tcontext_t* ts = nullptr;
  if (qelapi_init(&ts) < 0) return -1;
  qelapi_file_t* e = nullptr;
  int rc = qelapi_io_setactive(ts, Fildes, &e);
  if (rc < 0) return rc;
  quor_connection_t* conn = e->connection;
  qelapi_BindThreadConnection(ts, conn);
  api_quor_Lseek_req_t req;
  memset(&req, 0, sizeof req);
  req.Fildes = e->quorFiledes;
  req.Offset = Offset;
  req.Whence = Whence;
  api_quor_Lseek_rply_t reply;
  memset(&reply, 0, sizeof reply);
  int64_t result = -1;
  api_msghdr_t hdr;
  if (qelapi_send_msg(QEL_CAT_CORE, QEL_FN_CORE_Lseek, &req,
                      reinterpret_cast<xdrproc_t>(qel_xdr_api_quor_Lseek_req_t), 0, 0, conn,
                      ts) == 0 &&
      qelapi_get_msg(ts, &hdr, &reply, reinterpret_cast<xdrproc_t>(qel_xdr_api_quor_Lseek_rply_t),
                     conn) == 0)
    result = hdr.errorcode != 0 ? hdr.errorcode : reply.retval;
  qelapi_io_setinactive(e);
  return result;
}

int quor_SetFileOffset(int Fildes, uint64_t OffsetIn, int Whence, int Direction,
                       uint64_t* OffsetOut) {
  QEL_TRACE_ENTRY();
  qelapi_tcontext_t* ts = nullptr;
  int rc = qelapi_init(&ts);
  if (rc < 0) return rc;
  if (OffsetOut == nullptr) return -14;
  if (Direction != 0 && Direction != 1) return -22;
  qelapi_file_t* e = nullptr;
  rc = qelapi_io_setactive(ts, Fildes, &e);
  if (rc < 0) return rc;
  quor_connection_t* conn = e->connection;
  qelapi_BindThreadConnection(ts, conn);
  api_quor_SetFileOffset_req_t req;
  memset(&req, 0, sizeof req);
  req.Fildes = e->quorFiledes;
  req.OffsetIn = OffsetIn;
  req.Whence = Whence;
  req.Direction = Direction;
  api_quor_SetFileOffset_rply_t reply;
  memset(&reply, 0, sizeof reply);
  rc = qelapi_Exchange(ts, QEL_CAT_CORE, QEL_FN_CORE_SetFileOffset, &req,
                       reinterpret_cast<xdrproc_t>(qel_xdr_api_quor_SetFileOffset_req_t), &reply,
                       reinterpret_cast<xdrproc_t>(qel_xdr_api_quor_SetFileOffset_rply_t), conn);
  if (rc == 0) *OffsetOut = reply.OffsetOut;
  qelapi_io_setinactive(e);
  return rc;
}
