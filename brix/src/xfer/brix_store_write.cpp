// Writing an archive into the storage service: the reader pool fills the
// transfer buffers; list writes of up to 2 GiB ask the movers to fetch the
// archive's bytes from this process. Each mover connects to our control
// address, names a range, and is served from the ready buffers over its own
// data connection. After a failed list write the pipeline resynchronises at
// the last whole block the service confirmed and goes on from there.
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <stdlib.h>
#include <string.h>
#include <sys/select.h>
#include <unistd.h>

#include <algorithm>

#include "brix_reader_pool.h"
#include "brix_store.h"
#include "mvr_protocol.h"
#include "qel_threads.h"
#include "quor_api.h"
#include "quor_convert.h"
#include "quor_iod_clnt.h"
#include "quorclntaddr.h"
#include "quorcfgx_prototypes.h"
#include "quorcfgx_restrict.h"

namespace {

constexpr int SLOT_COUNT = 64;
constexpr uint64_t MAX_REQUEST = 0x80000000ull;

void abortHere(transfer_t* X, int line) {
  (void)X;
  brix_SetXferAborted("brix_CopyToQUORArchive", __FILE__, line);
}

bool resyncing(transfer_t* X) {
  pthread_mutex_lock(&X->controlLock);
  bool r = X->errorResyncFlag != 0;
  pthread_mutex_unlock(&X->controlLock);
  return r;
}

bool stopWaiting(transfer_t* X) { return X->abortSignalled || X->errorResyncFlag || !X->transfer_active; }

int findBufferData(transfer_t* X, connection_info_t* S, const initiator_msg_t* M, io_buffer_t** out) {
  uint64_t A = M->Offset + X->currentSrcAddr;
  for (;;) {
    pthread_mutex_lock(&X->bufQueueLock);
    for (io_buffer_t* b = X->bufReadyQueue; b; b = b->next) {
      if (b->fileOffset > A) break;
      if (A < b->fileOffset + b->dataLength) {
        pthread_mutex_lock(&b->bufLock);
        b->iodOffset = b->fileOffset - X->currentSrcAddr;
        b->ioCount++;
        pthread_mutex_unlock(&b->bufLock);
        pthread_mutex_unlock(&X->bufQueueLock);
        *out = b;
        return 0;
      }
    }
    io_bufreq_t* req = &S->ioRequest;
    req->waitingThread = pthread_self();
    req->iodOffset = M->Offset;
    req->dataAddress = A;
    req->requestLength = M->Length;
    io_bufreq_t** at = &X->requestQueue;
    bool queued = false;
    while (*at && (*at)->dataAddress <= A) {
      if (*at == req) queued = true;
      else if ((*at)->dataAddress == A) {
        brix_Log(BRIX_MSG_ERROR, "Internal error in brix_FindBufferData at line %d\n", __LINE__);
        brix_Log(BRIX_MSG_ERROR, "fileAddress=%d,%d\n", int(A >> 32), int(A & 0xffffffffu));
        pthread_mutex_unlock(&X->bufQueueLock);
        abortHere(X, __LINE__);
        return -1;
      }
      at = &(*at)->next;
    }
    if (!queued) {
      // Not already in the queue: unlink any stale place first.
      for (io_bufreq_t** p = &X->requestQueue; *p; p = &(*p)->next)
        if (*p == req) {
          *p = req->next;
          break;
        }
      at = &X->requestQueue;
      while (*at && (*at)->dataAddress < A) at = &(*at)->next;
      req->next = *at;
      *at = req;
    }
    pthread_mutex_lock(&req->reqLock);
    pthread_mutex_unlock(&X->bufQueueLock);
    if (stopWaiting(X)) {
      pthread_mutex_unlock(&req->reqLock);
      return -1;
    }
    struct timespec ts = qelapi_Deadline(1);
    pthread_cond_timedwait(&req->reqCond, &req->reqLock, &ts);
    pthread_mutex_unlock(&req->reqLock);
    if (stopWaiting(X)) return -1;
  }
}

void unqueueRequest(transfer_t* X, connection_info_t* S) {
  pthread_mutex_lock(&X->bufQueueLock);
  for (io_bufreq_t** p = &X->requestQueue; *p; p = &(*p)->next)
    if (*p == &S->ioRequest) {
      *p = S->ioRequest.next;
      break;
    }
  S->ioRequest.next = nullptr;
  pthread_mutex_unlock(&X->bufQueueLock);
}

void* transferThread(void* arg) {
  static const char* fn = "brix_TransferThread";
  auto* S = static_cast<connection_info_t*>(arg);
  transfer_t* X = S->ctl;
  initiator_ipaddr_t addrMsg;
  memset(&addrMsg, 0, sizeof addrMsg);
  uint64_t xferId = quor_RequestIDtoU64(X->requestId);
  while (!X->abortSignalled) {
    initiator_msg_t M;
    memset(&M, 0, sizeof M);
    int rc = mvrprot_recv_initmsg(S->controlSocket, &M);
    if (brix_debug_level > 2) fprintf(stdout, "/debug/Connection ID: %d mvrprot_recv_initmsg returned %d\n", S->conInx, rc);
    if (rc == -50) break;
    if (rc < 0) {
      if (!resyncing(X)) brix_Log(BRIX_MSG_ERROR, "%s: mvrprot_recv_initmsg error %d\n", fn, rc);
      break;
    }
    if (brix_debug_level > 2) brix_DisplayInitiatorMessage(S->conInx, S->conInx, &M);
    io_buffer_t* B = nullptr;
    if (findBufferData(X, S, &M, &B) != 0) {
      unqueueRequest(X, S);
      if (!X->abortSignalled && !resyncing(X)) brix_Log(BRIX_MSG_ERROR, "%s: find I/O buffer result=%d\n", fn, -1);
      break;
    }
    initiator_msg_t reply = M;
    reply.DevBlkSz = reply.DevBlkOff = reply.DevCRCAlgo = 0;
    reply.Flags = MVRPROT_ADDR_FOLLOWS | MVRPROT_COMP_REPLY;
    // In archive addresses: a buffer may start before the request does.
    uint64_t A = M.Offset + X->currentSrcAddr;
    if (A < B->fileOffset || A >= B->fileOffset + B->dataLength) {
      brix_Log(BRIX_MSG_ERROR, "parallel write - internal buffer/IOD offset error\n");
      brix_UpdateBufXferred(nullptr, B);
      abortHere(X, __LINE__);
      break;
    }
    uint64_t startByte = A - B->fileOffset;
    uint64_t avail = B->dataLength - startByte;
    if (avail < M.Length) reply.Length = avail;
    if (brix_archive_stripewidth == 1) {
      pthread_mutex_lock(&X->controlLock);
      X->currentSrcOffset += reply.Length;
      pthread_mutex_unlock(&X->controlLock);
    }
    rc = mvrprot_send_initmsg(S->controlSocket, &reply);
    if (rc < 0) {
      brix_Log(BRIX_MSG_ERROR, "%s: mvrprot_send_initmsg error: %d\n", fn, rc);
      brix_UpdateBufXferred(nullptr, B);
      break;
    }
    if (M.Type != 1) {
      brix_Log(BRIX_MSG_ERROR, "*** %s: bad transfer type %d - transfer aborted\n", fn, int(M.Type));
      abortHere(X, __LINE__);
      break;
    }
    bool failed = false;
    if (S->transferSocket < 0 && S->listenSocket < 0) {
      for (;;) {
        rc = ozugw_SockGetListenSocket(0, 1, &S->listenSocket, &S->localNetAddr);
        if (rc != 0) {
          brix_Log(BRIX_MSG_ERROR, "*** %s: error %d getting listen socket (%s, line %d)\n", fn, rc, "brix_store_write.cpp",
                   __LINE__);
          failed = true;
          break;
        }
        char err[256] = "";
        if (quor_net_listen(S->listenSocket, 4096, err, sizeof err) == 0) break;
        if (errno == EADDRINUSE) {
          if (brix_debug_level > 2)
            fprintf(stderr, "***%s: /debug/EADDRINUSE error on listen (port = %d) - retrying\n", fn,
                    ozugw_SockGetPort(&S->localNetAddr));
          pthread_mutex_lock(&X->controlLock);
          close(S->listenSocket);
          S->listenSocket = -1;
          pthread_mutex_unlock(&X->controlLock);
          usleep(10000);
          continue;
        }
        brix_Log(BRIX_MSG_ERROR, "*** %s: quor_net_listen error: %d [%s]\n", fn, errno, err);
        abortHere(X, __LINE__);
        failed = true;
        break;
      }
      if (failed) {
        brix_UpdateBufXferred(nullptr, B);
        break;
      }
      addrMsg.Flags = 0;
      addrMsg.IpAddr.SockTransferID = xferId;
      addrMsg.IpAddr.SockAddr = S->localNetAddr;
      addrMsg.IpAddr.SockOffset = 0;
      if (brix_debug_level > 0) {
        char text[128] = "";
        quor_net_getuniversaladdress(&S->localNetAddr, text, sizeof text, nullptr, 0);
        fprintf(stderr, "/debug/Xfer %d Connection %d: send listen addr: %s\n", S->conInx, S->conInx, text);
      }
    }
    rc = mvrprot_send_ipaddr(S->controlSocket, &addrMsg);
    if (rc < 0) {
      if (!resyncing(X)) brix_Log(BRIX_MSG_ERROR, "%s: mvrprot_send_ipaddr error: %d\n", fn, rc);
      brix_UpdateBufXferred(nullptr, B);
      break;
    }
    while (S->transferSocket < 0) {
      fd_set rd;
      FD_ZERO(&rd);
      FD_SET(S->listenSocket, &rd);
      struct timeval tv = {0, 250000};
      int s = select(S->listenSocket + 1, &rd, nullptr, nullptr, &tv);
      if (s <= 0) {
        if (X->abortSignalled || resyncing(X) || !X->transfer_active) {
          failed = true;
          break;
        }
        if (s == 0 || errno == EINTR) continue;
        if (brix_debug_level > 0) fprintf(stderr, "/debug/error %d on select() - exiting accept loop\n", errno);
        failed = true;
        break;
      }
      char err[256] = "";
      int fd = quor_net_accept(S->listenSocket, &S->remoteTransferAddr, err, sizeof err);
      if (fd < 0) {
        if (errno == EINTR || errno == EAGAIN) continue;
        fprintf(stderr, "*** %s: quor_net_accept error %d listen sock=%d [%s]\n", fn, errno, S->listenSocket, err);
        abortHere(X, __LINE__);
        failed = true;
        break;
      }
      if (!quorex_IsConnectionAllowed(reinterpret_cast<const struct sockaddr_storage*>(&S->remoteTransferAddr), 1,
                                      nullptr)) {
        if (brix_debug_level > 0) fprintf(stderr, "/debug/mover connection from %s disallowed - closing connection\n", "peer");
        close(fd);
        continue;
      }
      quorcfgx_NetoptSetSock(fd, &S->remoteTransferAddr);
      // A piece's last segment must not wait for the acknowledgement of
      // the ones before it.
      int one = 1;
      setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
      pthread_mutex_lock(&X->controlLock);
      S->transferSocket = fd;
      pthread_mutex_unlock(&X->controlLock);
    }
    if (failed) {
      brix_UpdateBufXferred(nullptr, B);
      break;
    }
    int sent = 0;
    rc = mover_socket_send_requested_data(S->transferSocket, xferId, M.Offset, B->buffer + startByte,
                                          int(reply.Length), &sent, 1);
    if (rc < 0) {
      if (!resyncing(X))
        brix_Log(BRIX_MSG_ERROR, "*** %s: mover_socket_send_requested_data error: ioresult=%d, errno=%d\n", fn, rc,
                 errno);
      brix_UpdateBufXferred(nullptr, B);
      break;
    }
    // The bytes are the kernel's now: the buffer goes back to the readers
    // at once rather than a round trip later, when the mover confirms
    // them. Nothing is ever sent again from a buffer, so bytes the
    // service does not credit are read again from the member files.
    X->bytesReleased += uint64_t(sent);
    completion_msg_t sentNow;
    memset(&sentNow, 0, sizeof sentNow);
    sentNow.BytesMoved = uint64_t(sent);
    if (brix_UpdateBufXferred(&sentNow, B) != 0) break;
    completion_msg_t K;
    memset(&K, 0, sizeof K);
    rc = mvrprot_recv_compmsg(S->controlSocket, &K);
    if (rc < 0) {
      brix_Log(BRIX_MSG_ERROR, "*** %s: mvrprot_recv_compmsg: %d\n", fn, rc);
      break;
    }
    // A completion must be clean and name what this connection sent; the
    // service's reply is then the only credit for anything else.
    if (K.Status != 0 || K.BytesMoved != uint64_t(sent)) {
      brix_Log(BRIX_MSG_ERROR, "*** %s: mover completion status %d, %lu bytes moved of %d sent\n", fn, int(K.Status),
               (unsigned long)K.BytesMoved, sent);
      break;
    }
    pthread_mutex_lock(&X->controlLock);
    if (M.Offset >= X->currentSrcOffset && brix_archive_stripewidth > 1) X->currentSrcOffset = M.Offset + K.BytesMoved;
    pthread_mutex_unlock(&X->controlLock);
  }
  pthread_mutex_lock(&X->controlLock);
  for (int* fd : {&S->transferSocket, &S->listenSocket, &S->controlSocket})
    if (*fd >= 0) {
      close(*fd);
      *fd = -1;
    }
  brix_SetSlotIdle(X, S);
  pthread_mutex_unlock(&X->controlLock);
  return nullptr;
}

void* writerListenThread(void* arg) {
  static const char* fn = "brix_WriterListenThread";
  auto* X = static_cast<transfer_t*>(arg);
  int sock = X->listenSockFD;
  uint64_t E = X->srcOffset + X->transferLength;
  uint64_t P = X->currentSrcOffset;
  bool first = true;
  for (;;) {
    fd_set rd;
    FD_ZERO(&rd);
    FD_SET(sock, &rd);
    struct timeval tv = {0, 250000};
    int s = select(sock + 1, &rd, nullptr, nullptr, &tv);
    if (s <= 0) {
      if (X->abortSignalled || !X->transfer_active) break;
      if (s == 0) {
        if (X->currentSrcOffset != P) {
          P = X->currentSrcOffset;
          brix_DisplayXferProgress(X->totalBytesMoved + P, E);
        }
        sched_yield();
        continue;
      }
      if (errno == EINTR) continue;
      if (brix_debug_level > 0) fprintf(stderr, "/debug/error %d on select() - exiting accept loop\n", errno);
      break;
    }
    quor_sockaddr_t peer;
    memset(&peer, 0, sizeof peer);
    char err[256] = "";
    int fd = quor_net_accept(sock, &peer, err, sizeof err);
    if (fd < 0) {
      int e = errno;
      if (X->abortSignalled || !X->transfer_active || e == EBADF || e == EPIPE) break;
      if (e == EAGAIN) {
        usleep(20000);
        continue;
      }
      if (e == EINTR) continue;
      brix_perror("accept (brix_WriterListenThread)");
      brix_Log(BRIX_MSG_ERROR, "*** %s: quor_net_accept: errno=%d [%s]\n", fn, e, err);
      pthread_mutex_lock(&X->controlLock);
      X->abortSignalled = 1;
      pthread_mutex_unlock(&X->controlLock);
      break;
    }
    if (!quorex_IsConnectionAllowed(reinterpret_cast<const struct sockaddr_storage*>(&peer), 1, nullptr)) {
      if (brix_debug_level > 0) fprintf(stderr, "/debug/mover connection from %s disallowed - closing connection\n", "peer");
      close(fd);
      continue;
    }
    if (brix_debug_level > 0) fprintf(stderr, "/debug/mover connection from %s\n", "peer");
    if (first) {
      X->startTime = brix_GetTimestamp();
      first = false;
    }
    connection_info_t* S = nullptr;
    pthread_mutex_lock(&X->controlLock);
    while (!S && !X->abortSignalled) {
      for (int i = 0; i < X->connectListSize && !S; i++)
        if (!X->connectionList[i].isactive) {
          S = &X->connectionList[i];
          S->isactive = 1;
          S->controlSocket = fd;
          S->listenSocket = S->transferSocket = -1;
        }
      if (!S) brix_WaitSlotIdle(X);
    }
    pthread_mutex_unlock(&X->controlLock);
    if (!S) {
      close(fd);
      break;
    }
    int fl = fcntl(fd, F_GETFL);
    if (fl >= 0) fcntl(fd, F_SETFL, fl & ~O_NONBLOCK);
    S->remoteAddr = peer;
    quorcfgx_NetoptSetSock(fd, &peer);
    // The mover protocol's small messages go out at once: a reply held back
    // for an acknowledgement costs every piece a delayed-ACK wait.
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    if (ozugw_ThreadCreate(&S->threadId, &attr, transferThread, S) != 0) {
      // A connection nobody serves is closed and its slot freed, so the
      // driver's wait for free slots ends.
      pthread_mutex_lock(&X->controlLock);
      close(S->controlSocket);
      S->controlSocket = -1;
      brix_SetSlotIdle(X, S);
      pthread_mutex_unlock(&X->controlLock);
    }
    pthread_attr_destroy(&attr);
    sched_yield();
  }
  brix_ReqQueueSignalAll(X->connectionList, X->connectListSize);
  if (brix_debug_level > 0) fprintf(stderr, "/debug/brix_WriterListenThread exiting\n");
  return nullptr;
}

}  // namespace

void brix_DisplayInitiatorMessage(int xferNo, int conNo, const initiator_msg_t* m) {
  fprintf(stderr,
          "/debug/Xfer %d Connection %d initiator message: Flags=0x%x Type=%u Offset=%lu Length=%lu BlockSize=%lu "
          "StripeWidth=%lu TotalLength=%lu\n",
          xferNo, conNo, m->Flags, m->Type, (unsigned long)m->Offset, (unsigned long)m->Length,
          (unsigned long)m->BlockSize, (unsigned long)m->StripeWidth, (unsigned long)m->TotalLength);
}

int brix_UpdateBufXferred(const completion_msg_t* K, io_buffer_t* B) {
  transfer_t* X = xfer_ctl;
  uint64_t moved = K ? K->BytesMoved : 0;
  if (moved > 0xFFFFFFFFull) {
    brix_Log(BRIX_MSG_ERROR, "Malformed completion_msg_t detected in brix_UpdateBufXferred\n");
    brix_SetXferAborted("brix_UpdateBufXferred", __FILE__, __LINE__);
    return -1;
  }
  pthread_mutex_lock(&B->bufLock);
  B->ioCount--;
  if (B->ioCount < 0) {
    pthread_mutex_unlock(&B->bufLock);
    brix_Log(BRIX_MSG_ERROR, "Internal error (negative I/O count) detected in brix_UpdateBufXferred\n");
    brix_SetXferAborted("brix_UpdateBufXferred", __FILE__, __LINE__);
    return -1;
  }
  B->dataMoved += uint32_t(moved);
  if (B->ioCount > 0 || B->dataMoved < B->dataLength) {
    bool over = B->dataMoved > B->dataLength;
    pthread_mutex_unlock(&B->bufLock);
    if (over) {
      brix_Log(BRIX_MSG_ERROR, "Internal error (buffer overflow) detected in brix_UpdateBufXferred\n");
      brix_SetXferAborted("brix_UpdateBufXferred", __FILE__, __LINE__);
      return -1;
    }
    return 0;
  }
  pthread_mutex_unlock(&B->bufLock);
  if (brix_debug_level > 2)
    fprintf(stderr, "/debug/buffer @%p is empty - linking it back onto empty queue\n", static_cast<void*>(B));
  pthread_mutex_lock(&X->bufQueueLock);
  io_buffer_t** at = &X->bufReadyQueue;
  while (*at && *at != B) at = &(*at)->next;
  if (!*at) {
    pthread_mutex_unlock(&X->bufQueueLock);
    brix_Log(BRIX_MSG_ERROR, "Internal error (cannot find buffer) detected in brix_UpdateBufXferred\n");
    brix_SetXferAborted("brix_UpdateBufXferred", __FILE__, __LINE__);
    return -1;
  }
  *at = B->next;
  B->next = X->bufEmptyQueue;
  X->bufEmptyQueue = B;
  B->state = IOB_STATE_COMPLETED;
  pthread_cond_broadcast(&X->bufQueueCondition);
  pthread_mutex_unlock(&X->bufQueueLock);
  brix_LfwSignalCondition();
  return 0;
}

int brix_LogXferError(int error, transfer_t* X) {
  brix_Log(BRIX_MSG_ERROR, "Error %d on last I/O operation", error);
  const char* fmt[] = {"    Starting source offset........... %lu", "    Starting sink offset............. %lu",
                       "    Source Address at start of IOD... %lu", "    Sink Address at start of IOD..... %lu",
                       "    Total xferred at point of error.. %lu",
                       "    Resync source offset from start of IOD is.......... %lu"};
  uint64_t v[] = {X->srcOffset, X->sinkOffset, X->currentSrcAddr, X->currentFileAddr, X->totalBytesMoved,
                  X->totalBytesMoved - X->currentSrcAddr};
  for (int i = 0; i < 6; i++) {
    brix_Log(BRIX_MSG_LOGONLY, fmt[i], (unsigned long)v[i]);
    if (brix_debug_level > 0) {
      fprintf(stderr, fmt[i], (unsigned long)v[i]);
      fputc('\n', stderr);
    }
  }
  return 0;
}

int brix_ResyncAfterQUORWriteError(transfer_t* X) {
  static const char* fn = "brix_ResyncAfterQUORWriteError";
  if (X->totalBytesMoved % 512 != 0) {
    brix_Log(BRIX_MSG_ERROR, "%s: Truncating archive file by %d bytes prior to starting recovery", fn,
             int(X->totalBytesMoved % 512));
    X->totalBytesMoved -= X->totalBytesMoved % 512;
  }
  brix_Log(BRIX_MSG_LOGONLY, "%s: setting errorResyncFlag and signalling local file thread", fn);
  pthread_mutex_lock(&X->controlLock);
  if (X->errorResyncFlag) {
    pthread_mutex_unlock(&X->controlLock);
    brix_Log(BRIX_MSG_ERROR, "%s: Internal consistency error detected in error resync flag - aborting", fn);
    brix_SetExitCode(70);
    return -1;
  }
  X->errorResyncFlag = 1;
  pthread_mutex_unlock(&X->controlLock);
  pthread_mutex_lock(&X->bufQueueLock);
  pthread_cond_broadcast(&X->bufQueueCondition);
  pthread_mutex_unlock(&X->bufQueueLock);
  brix_LfwBroadcastCondition();
  if (X->abortSignalled) {
    brix_Log(BRIX_MSG_ERROR, "%s: detected previously set <aborted> flag - skipping error recovery", fn);
    brix_SetExitCode(70);
    return -1;
  }
  pthread_mutex_lock(&X->controlLock);
  while (X->errorResyncFlag) {
    struct timespec ts = qelapi_Deadline(1);
    pthread_cond_timedwait(&X->localFileCond, &X->controlLock, &ts);
  }
  pthread_mutex_unlock(&X->controlLock);
  brix_Log(BRIX_MSG_LOGONLY, "%s: local file sync complete. Abort flag=%d", fn, int(X->abortSignalled));
  return X->abortSignalled ? -1 : 0;
}

int brix_CopyToQUORArchive(double* xferTime, int* threadsUsed) {
  static const char* fn = "brix_CopyToQUORArchive";
  if (brix_debug_level > 3) brix_FuncTraceMessage("Entering ", fn, "", 0, __FILE__, __LINE__);
  if (!xfer_ctl) {
    xfer_ctl = new (std::nothrow) transfer_t();
    if (!xfer_ctl) return -1;
  }
  transfer_t* X = xfer_ctl;
  int result = -1;
  bool mgrStarted = false, listenStarted = false, poolStarted = false;
  pthread_t mgr{};
  X->archive_fd = brix_archive_fd;
  X->transfer_active = 1;
  X->abortSignalled = 0;
  X->errorResyncFlag = 0;
  X->srcOffset = X->sinkOffset = 0;
  X->transferLength = brix_archive_filesize;
  X->listenSockFD = -1;
  X->connectListSize = SLOT_COUNT;
  X->connectionList = static_cast<connection_info_t*>(calloc(SLOT_COUNT, sizeof(connection_info_t)));
  quor_IOD_t iod;
  iod_srcsinkdesc_t src, sink;
  memset(&iod, 0, sizeof iod);
  memset(&src, 0, sizeof src);
  memset(&sink, 0, sizeof sink);
  if (!X->connectionList) goto leave;
  for (int i = 0; i < SLOT_COUNT; i++) {
    connection_info_t& s = X->connectionList[i];
    s.conInx = i;
    s.ctl = X;
    s.controlSocket = s.listenSocket = s.transferSocket = -1;
    if (brix_InitConReqEntry(&s.ioRequest) != 0) {
      brix_Log(BRIX_MSG_ERROR, "Error(s) initializing connection locks");
      brix_SetExitCode(78);
      goto leave;
    }
  }
  brix_DeferGatewayLog(1);
  if (brix_InitXferLocks(X) != 0) {
    brix_Log(BRIX_MSG_ERROR, "Error(s) initializing transfer locks");
    brix_SetExitCode(71);
    goto leave;
  }
  if (brix_InitThreadPool() != 0) {
    poolStarted = true;
    brix_Log(BRIX_MSG_ERROR, "Error(s) initializing thread pool");
    brix_SetExitCode(71);
    goto leave;
  }
  poolStarted = true;
  if (ozugw_SockGetListenSocket(0, 1, &X->listenSockFD, &X->listenSockAddr) != 0) {
    X->listenSockFD = -1;
    brix_Log(BRIX_MSG_ERROR, "Error(s) creating listen socket (%s)\n", fn);
    brix_SetExitCode(71);
    X->abortSignalled = 1;
    goto leave;
  }
  X->bufEmptyQueue = X->bufReadyQueue = X->bufFillQueue = X->bufFillQueueTail = nullptr;
  X->requestQueue = nullptr;
  if (brix_AllocateIoBuffers(X) != 0) {
    brix_Log(BRIX_MSG_ERROR, "Error(s) creating I/O buffers (%s)\n", fn);
    goto leave;
  }
  if (ozugw_ThreadCreate(&mgr, nullptr, brix_LocalFileMgrThread, X) != 0) {
    brix_Log(BRIX_MSG_ERROR, "Error(s) starting local file thread: %d\n", errno);
    goto leave;
  }
  mgrStarted = true;
  sched_yield();
  {
    char err[256] = "";
    if (quor_net_listen(X->listenSockFD, 4096, err, sizeof err) != 0) {
      fprintf(stderr, "quor_net_listen(control socket): %s\n", err);
      X->abortSignalled = 1;
      goto leave;
    }
  }
  // Set before the listen thread runs: it sets it again at the first mover.
  X->startTime = brix_GetTimestamp();
  if (ozugw_ThreadCreate(&X->listenThreadId, nullptr, writerListenThread, X) != 0) {
    brix_Log(BRIX_MSG_ERROR, "Error(s) starting listen thread: %d", errno);
    X->abortSignalled = 1;
    goto leave;
  }
  listenStarted = true;
  sched_yield();
  {
    iod.Function = QUOR_IOD_WRITE;
    iod.Flags = QUOR_IOD_EOM_ON_CONTROL;
    iod.SrcDescLength = iod.SinkDescLength = 1;
    iod.SrcDescList = &src;
    iod.SinkDescList = &sink;
    src.Flags = QUOR_IOD_XFEROPT_IP | QUOR_IOD_CONTROL_ADDR;
    src.SrcSinkAddr.Type = NET_ADDRESS;
    src.SrcSinkAddr.Addr_u.NetAddr.SockAddr = X->listenSockAddr;
    sink.SrcSinkAddr.Type = CLIENTFILE_ADDRESS;
    sink.SrcSinkAddr.Addr_u.ClientFileAddr.FileDes = X->archive_fd;
    X->totalBytesMoved = 0;
    X->bytesMoved = 0;
    uint64_t E = X->srcOffset + X->transferLength;
    int R = 0;
    uint64_t L = X->srcOffset;
    char t1[32], t2[32];
    while (!X->abortSignalled && X->totalBytesMoved < E) {
      if (brix_shutdown_signalled) {
        brix_SetXferAborted(fn, __FILE__, __LINE__);
        break;
      }
      brix_DisplayXferProgress(X->totalBytesMoved, E);
      X->requestId = quor_GetUniqueRequestID();
      iod.RequestID = X->requestId;
      src.SrcSinkAddr.Addr_u.NetAddr.SockTransferID = quor_RequestIDtoU64(X->requestId);
      pthread_mutex_lock(&X->controlLock);
      X->currentSinkOffset = X->currentSrcOffset = 0;
      X->bytesReleased = 0;
      X->currentSrcAddr = X->srcOffset + X->totalBytesMoved;
      pthread_mutex_unlock(&X->controlLock);
      X->requestedBytes = std::min(E - X->currentSrcAddr, MAX_REQUEST);
      src.Length = sink.Length = X->requestedBytes;
      X->currentFileAddr = X->sinkOffset + X->totalBytesMoved;
      sink.SrcSinkAddr.Addr_u.ClientFileAddr.FileOffset = X->currentFileAddr;
      if (brix_debug_level > 0) {
        fprintf(stderr, "/debug/issuing quor_WriteList call for %s bytes.\n", u64tostr_r(X->requestedBytes, t1));
        fprintf(stderr, "       offset: %s   bytes moved so far: %s\n", u64tostr_r(X->currentFileAddr, t1),
                u64tostr_r(X->totalBytesMoved, t2));
      }
      quor_IOR_t ior;
      memset(&ior, 0, sizeof ior);
      int rc = quor_WriteList(&iod, 0, &ior);
      X->bytesMoved = ior.SinkReplyList ? ior.SinkReplyList->BytesMoved : 0;
      // Only what the reply reports is credited: a stripe grown past the
      // request start can hide a hole elsewhere.
      if (X->bytesMoved > X->requestedBytes) X->bytesMoved = 0;
      X->totalBytesMoved += X->bytesMoved;
      free_quor_ior_mem(&ior);
      // Buffers handed back before their bytes were confirmed no longer
      // hold what a short reply left uncredited: the next request starts
      // from the member files again (an aborted run ends here anyway).
      bool refetch = X->bytesMoved < X->requestedBytes && X->bytesReleased > 0 && !X->abortSignalled &&
                     !brix_shutdown_signalled;
      uint64_t F = X->currentFileAddr + X->bytesMoved;
      bool abort = false;
      if (rc >= 0) {
        R = 0;
        if (!refetch || brix_ResyncAfterQUORWriteError(X) == 0) {
          brix_CleanupTransferThreads(X);
          brix_FlushGatewayLog();
          continue;
        }
        abort = true;
      } else if (rc == -5) {
        brix_LogXferError(rc, X);
        if (F == L) {
          if (++R > 5) abort = true;
        } else {
          brix_Log(BRIX_MSG_INFO, "I/O error occurred after %s bytes successfully transferred",
                   u64tostr_r(X->bytesMoved, t1));
          R = 1;
        }
        L = F;
        if (brix_ResyncAfterQUORWriteError(X) != 0) abort = true;
        else if (!abort)
          brix_Log(BRIX_MSG_INFO, "Retrying after I/O error at archive file offset %s\n", u64tostr_r(F, t1));
      } else if (rc == -9000) {
        brix_Log(BRIX_MSG_INFO, "end-of-media detected at archive offset %s", u64tostr_r(F, t1));
        if (brix_ResyncAfterQUORWriteError(X) != 0) abort = true;
      } else if (rc == -28) {
        brix_Log(BRIX_MSG_WARNING, "OUT OF SPACE writing QUOR archive - delaying/retrying");
        brix_CleanupTransferThreads(X);
        ozugw_ThreadSleep(BRIX_NOSPACE_WAIT, 0);
        if (brix_shutdown_signalled) abort = true;
        else if ((X->bytesMoved != 0 || refetch) && brix_ResyncAfterQUORWriteError(X) != 0) abort = true;
      } else {
        abort = true;
      }
      if (abort) {
        brix_Log(BRIX_MSG_ERROR, "quor_WriteList error %d, file offset %s - aborting", rc, u64tostr_r(F, t1));
        pthread_mutex_lock(&X->controlLock);
        X->transfer_active = 0;
        X->abortSignalled = 1;
        pthread_mutex_unlock(&X->controlLock);
        break;
      }
      brix_CleanupTransferThreads(X);
      brix_FlushGatewayLog();
    }
    X->stopTime = brix_GetTimestamp();
    if (!X->abortSignalled) brix_DisplayXferProgress(X->totalBytesMoved, E);
  }
  X->transfer_active = 0;
  result = X->abortSignalled ? -1 : 0;
leave:
  X->transfer_active = 0;
  if (X->bufQueueLockCreated) {
    pthread_mutex_lock(&X->bufQueueLock);
    pthread_cond_broadcast(&X->bufQueueCondition);
    pthread_mutex_unlock(&X->bufQueueLock);
  }
  if (result != 0) X->abortSignalled = 1;
  brix_LfwBroadcastCondition();
  // Shut down, not closed, so that the listen thread wakes at once from its
  // wait and never meets a closed (or reused) descriptor.
  if (X->listenSockFD >= 0) shutdown(X->listenSockFD, SHUT_RDWR);
  if (X->connectionList) {
    brix_ReqQueueSignalAll(X->connectionList, X->connectListSize);
    brix_CleanupTransferThreads(X);
  }
  if (listenStarted) pthread_join(X->listenThreadId, nullptr);
  if (X->listenSockFD >= 0) {
    close(X->listenSockFD);
    X->listenSockFD = -1;
  }
  if (mgrStarted) pthread_join(mgr, nullptr);
  if (poolStarted) brix_EndThreadPool();
  brix_DeferGatewayLog(0);
  if (result == 0) {
    if (xferTime) *xferTime = X->stopTime - X->startTime;
    if (threadsUsed) *threadsUsed = brix_LfwThreadHighWater() + 1;
  }
  brix_CleanupIoBuffers(X);
  if (X->connectionList) {
    for (int i = 0; i < X->connectListSize; i++) brix_CleanReqQueueEntry(&X->connectionList[i].ioRequest);
    free(X->connectionList);
    X->connectionList = nullptr;
  }
  X->connectListSize = 0;
  brix_FreeXferLocks(X);
  delete X;
  xfer_ctl = nullptr;
  if (brix_debug_level > 3) brix_FuncTraceMessage("Exiting ", fn, "", result, __FILE__, __LINE__);
  return result;
}
