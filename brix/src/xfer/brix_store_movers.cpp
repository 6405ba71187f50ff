// The mover side of the storage read pipeline: the listen thread that takes
// the movers' control connections, one transfer thread per connection that
// receives its pieces straight into the buffers, the lookup of the buffer
// whose window covers a piece, and the accounting that passes full buffers
// on to the consumer.
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <string.h>
#include <sys/select.h>
#include <time.h>
#include <unistd.h>

#include "brix_store_read.h"
#include "mvr_protocol.h"
#include "qel_threads.h"
#include "quor_api.h"
#include "quor_convert.h"
#include "quorcfgx_prototypes.h"
#include "quorcfgx_restrict.h"
#include "quorclntaddr.h"

uint32_t brix_BufCover(io_buffer_t* buf, uint32_t from, uint32_t to);

namespace {

bool aborted(transfer_t* ctl) {
  pthread_mutex_lock(&ctl->controlLock);
  bool a = ctl->abortSignalled != 0;
  pthread_mutex_unlock(&ctl->controlLock);
  return a;
}

void abortXfer(const char* where, int line) { brix_SetXferAborted(where, __FILE__, line); }

// Readable within 250 ms: 1; timeout 0; error -1 (errno kept).
int waitReadable(int fd) {
  fd_set set;
  FD_ZERO(&set);
  FD_SET(fd, &set);
  struct timeval tv = {0, 250000};
  return select(fd + 1, &set, nullptr, nullptr, &tv);
}

void peerText(const quor_sockaddr_t* a, char* out, size_t n) {
  char err[64];
  if (quor_net_getuniversaladdress(a, out, int(n), err, sizeof err) != 0) snprintf(out, n, "?");
}

void closeSlotFd(transfer_t* ctl, int* fd) {
  pthread_mutex_lock(&ctl->controlLock);
  if (*fd >= 0) {
    close(*fd);
    *fd = -1;
  }
  pthread_mutex_unlock(&ctl->controlLock);
}

}  // namespace

void* brix_ReaderListenThread(void* arg) {
  static const char* me = "brix_ReaderListenThread";
  transfer_t* ctl = static_cast<transfer_t*>(arg);
  uint64_t shown = UINT64_MAX;
  bool first = true;
  for (;;) {
    int s = waitReadable(ctl->listenSockFD);
    if (s <= 0) {
      if (aborted(ctl) || !ctl->transfer_active) break;
      if (s == 0) {
        uint64_t sink = ctl->currentSinkOffset;
        if (sink != shown) {
          shown = sink;
          brix_DisplayXferProgress(ctl->totalBytesMoved + sink, ctl->transferLength);
        }
        ozugw_ThreadYield();
        continue;
      }
      if (errno == EINTR) continue;
      if (brix_debug_level > 0) fprintf(stderr, "/debug/error %d on select() - exiting accept loop\n", errno);
      break;
    }
    quor_sockaddr_t peer;
    memset(&peer, 0, sizeof peer);
    char err[256] = "";
    int fd = quor_net_accept(ctl->listenSockFD, &peer, err, sizeof err);
    if (fd < 0) {
      int e = errno;
      if (aborted(ctl) || !ctl->transfer_active || e == EBADF || e == EPIPE || e == EINVAL) break;
      if (e == EAGAIN || e == EWOULDBLOCK) {
        ozugw_ThreadSleep(0, 20000);
        continue;
      }
      if (e == EINTR) continue;
      brix_perror("accept (brix_ReaderListenThread)");
      brix_Log(BRIX_MSG_ERROR, "*** %s: quor_net_accept: errno=%d [%s]\n", me, e, err);
      pthread_mutex_lock(&ctl->controlLock);
      ctl->abortSignalled = 1;
      pthread_mutex_unlock(&ctl->controlLock);
      break;
    }
    char text[128];
    peerText(&peer, text, sizeof text);
    if (!quorex_IsConnectionAllowed(&peer.hs_addr, 1, me)) {
      if (brix_debug_level > 0)
        fprintf(stderr, "/debug/mover connection from %s disallowed - closing connection\n", text);
      close(fd);
      continue;
    }
    if (brix_debug_level > 0) fprintf(stderr, "/debug/mover connection from %s\n", text);
    if (first) {
      ctl->startTime = brix_GetTimestamp();
      first = false;
    }
    connection_info_t* slot = nullptr;
    while (!slot) {
      if (aborted(ctl)) break;
      pthread_mutex_lock(&ctl->controlLock);
      for (int i = 0; i < ctl->connectListSize; i++) {
        if (ctl->connectionList[i].isactive) continue;
        slot = &ctl->connectionList[i];
        slot->isactive = 1;
        slot->controlSocket = fd;
        break;
      }
      pthread_mutex_unlock(&ctl->controlLock);
      if (!slot) ozugw_ThreadSleep(0, 100000);
    }
    if (!slot) {
      close(fd);
      break;
    }
    int fl = fcntl(fd, F_GETFL);
    if (fl >= 0) fcntl(fd, F_SETFL, fl & ~O_NONBLOCK);
    slot->remoteAddr = peer;
    quorcfgx_NetoptSetSock(fd, &peer);
    // The mover protocol's small messages go out at once, never held back
    // waiting for an acknowledgement.
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    pthread_attr_t attr;
    ozugw_ThreadAttrInit(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    int rc = ozugw_ThreadCreate(&slot->threadId, &attr, brix_TransferThread, slot);
    pthread_attr_destroy(&attr);
    if (rc != 0) {
      // A connection without its thread is closed and its slot given back.
      brix_Log(BRIX_MSG_ERROR, "*** %s: error %d starting transfer thread\n", me, rc);
      pthread_mutex_lock(&ctl->controlLock);
      close(slot->controlSocket);
      slot->controlSocket = -1;
      brix_SetSlotIdle(ctl, slot);
      ctl->xferThreadTerminateCount++;
      pthread_mutex_unlock(&ctl->controlLock);
      continue;
    }
    ozugw_ThreadYield();
  }
  brix_ReqQueueSignalAll(ctl->connectionList, ctl->connectListSize);
  if (brix_debug_level > 0) fprintf(stderr, "/debug/brix_ReaderListenThread exiting\n");
  return nullptr;
}

int find_BufferForData(connection_info_t* slot, const initiator_msg_t* msg, io_buffer_t** out,
                       uint64_t* delivered) {
  transfer_t* ctl = slot->ctl;
  io_bufreq_t* req = &slot->ioRequest;
  for (;;) {
    if (aborted(ctl)) return -1;
    pthread_mutex_lock(&ctl->bufQueueLock);
    lock_hist(1, __LINE__, __FILE__);
    if (ctl->xferThreadTerminateCount != 0 || ctl->errorResyncFlag || !localFileThreadActive) {
      lock_hist(0, __LINE__, __FILE__);
      pthread_mutex_unlock(&ctl->bufQueueLock);
      return -1;
    }
    uint64_t want = ctl->currentSrcAddr + msg->Offset;
    io_buffer_t* found = nullptr;
    for (io_buffer_t* b = ctl->bufReadyQueue; b; b = b->next) {
      if (want < b->fileOffset) {
        if (b == ctl->bufReadyQueue) {
          // Its window was filled already (a piece sent again): the bytes
          // up to the first open window are taken and dropped.
          *delivered = b->fileOffset - want;
          lock_hist(0, __LINE__, __FILE__);
          pthread_mutex_unlock(&ctl->bufQueueLock);
          *out = nullptr;
          return 1;
        }
        brix_Log(BRIX_MSG_ERROR, "find_BufferForData: detected request for earlier buffer data\n");
        break;
      }
      if (b->fileOffset + uint64_t(b->bufSize) > want) {
        found = b;
        break;
      }
    }
    if (found) {
      pthread_mutex_lock(&found->bufLock);
      // Written by the first connection to find it in this list read only:
      // the others read it unlocked while they fill their pieces.
      uint64_t iod = found->fileOffset - ctl->currentSrcAddr;
      if (found->iodOffset != iod) found->iodOffset = iod;
      found->ioCount++;
      pthread_mutex_unlock(&found->bufLock);
      if (brix_debug_level > 2)
        fprintf(stderr, "/debug/buffer@%p: converted file address %lu to IOD offset %lu\n",
                static_cast<void*>(found), (unsigned long)want, (unsigned long)found->iodOffset);
      lock_hist(0, __LINE__, __FILE__);
      pthread_mutex_unlock(&ctl->bufQueueLock);
      *out = found;
      return 0;
    }
    req->waitingThread = pthread_self();
    req->iodOffset = msg->Offset;
    req->dataAddress = want;
    req->requestLength = msg->Length;
    io_bufreq_t** at = &ctl->requestQueue;
    while (*at && (*at)->dataAddress <= want) at = &(*at)->next;
    req->next = *at;
    *at = req;
    pthread_mutex_lock(&req->reqLock);
    lock_hist(0, __LINE__, __FILE__);
    pthread_mutex_unlock(&ctl->bufQueueLock);
    // A bounded wait: a wake-up that raced the lookup is caught at the next
    // turn instead of holding the mover for ever.
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    ts.tv_nsec += 250000000;
    if (ts.tv_nsec >= 1000000000) {
      ts.tv_sec++;
      ts.tv_nsec -= 1000000000;
    }
    pthread_cond_timedwait(&req->reqCond, &req->reqLock, &ts);
    pthread_mutex_unlock(&req->reqLock);
    pthread_mutex_lock(&ctl->bufQueueLock);
    lock_hist(1, __LINE__, __FILE__);
    for (io_bufreq_t** q = &ctl->requestQueue; *q; q = &(*q)->next) {
      if (*q == req) {
        *q = req->next;
        break;
      }
    }
    req->next = nullptr;
    lock_hist(0, __LINE__, __FILE__);
    pthread_mutex_unlock(&ctl->bufQueueLock);
  }
}

int update_BufXferred(const completion_msg_t* msg, io_buffer_t* buf, uint32_t received,
                      uint64_t dataOffset) {
  static const char* me = "update_BufXferred";
  transfer_t* ctl = xfer_ctl;
  if (brix_debug_level > 2)
    fprintf(stderr, "update_BufXferred: buffer @%p bytesMoved=%d\n", static_cast<void*>(buf),
            msg ? int(msg->BytesMoved) : 0);
  pthread_mutex_lock(&buf->bufLock);
  if (--buf->ioCount < 0) {
    buf->ioCount = 0;
    pthread_mutex_unlock(&buf->bufLock);
    brix_Log(BRIX_MSG_ERROR, "Internal error (negative I/O count) detected in update_BufXferred\n");
    abortXfer(me, __LINE__);
    return -1;
  }
  // What the data receive delivered, each byte once.
  buf->dataLength += brix_BufCover(buf, uint32_t(dataOffset), uint32_t(dataOffset + received));
  if (buf->dataLength > uint32_t(buf->bufSize)) {
    pthread_mutex_unlock(&buf->bufLock);
    brix_Log(BRIX_MSG_ERROR, "Internal error (buffer overflow) detected in %s\n", me);
    abortXfer(me, __LINE__);
    return -1;
  }
  if (buf->ioCount > 0) {
    pthread_mutex_unlock(&buf->bufLock);
    return 0;
  }
  uint64_t rangeEnd = ctl->srcOffset + ctl->transferLength;
  if (buf->fileOffset + buf->dataLength >= rangeEnd && brix_BufCoveredPrefix(buf) == buf->dataLength) {
    buf->bufFlags |= IOB_FLAG_END_OF_RANGE;
    if (brix_debug_level > 0)
      fprintf(stderr, "/debug/update_BufXferred setting EOF in buffer. Cur offset=%lus\n",
              (unsigned long)(buf->fileOffset + buf->dataLength));
  }
  bool full = buf->dataLength >= uint32_t(buf->bufSize) || (buf->bufFlags & IOB_FLAG_END_OF_RANGE);
  pthread_mutex_unlock(&buf->bufLock);
  if (!full) return 0;
  if (brix_debug_level > 3)
    fprintf(stderr, "/debug/buffer @%p is full - linking it back onto empty/full queue\n",
            static_cast<void*>(buf));
  pthread_mutex_lock(&ctl->bufQueueLock);
  lock_hist(1, __LINE__, __FILE__);
  io_buffer_t** at = &ctl->bufReadyQueue;
  while (*at && *at != buf) at = &(*at)->next;
  if (!*at) {
    lock_hist(0, __LINE__, __FILE__);
    pthread_mutex_unlock(&ctl->bufQueueLock);
    brix_Log(BRIX_MSG_ERROR, "Internal error (cant find buffer) detected in update_BufXferred\n");
    abortXfer(me, __LINE__);
    return -1;
  }
  *at = buf->next;
  io_buffer_t** e = &ctl->bufEmptyQueue;
  while (*e && (*e)->fileOffset < buf->fileOffset) e = &(*e)->next;
  buf->next = *e;
  *e = buf;
  pthread_cond_broadcast(&ctl->bufQueueCondition);
  lock_hist(0, __LINE__, __FILE__);
  pthread_mutex_unlock(&ctl->bufQueueLock);
  return 0;
}

namespace {


int dataConnection(connection_info_t* slot, uint64_t xferId, const char* me) {
  transfer_t* ctl = slot->ctl;
  int rc;
  initiator_ipaddr_t ip;
  memset(&ip, 0, sizeof ip);
  bool fail = false;
  if (slot->transferSocket < 0 && slot->listenSocket < 0) {
    for (;;) {
      int fd = -1;
      rc = ozugw_SockGetListenSocket(0, 1, &fd, &slot->localNetAddr);
      if (rc != 0) {
        brix_Log(BRIX_MSG_ERROR, "*** %s: error %d getting listen socket (%s, line %d)\n", me, rc,
                 __FILE__, __LINE__);
        abortXfer(me, __LINE__);
        fail = true;
        break;
      }
      char err[256] = "";
      if (quor_net_listen(fd, 4096, err, sizeof err) == 0) {
        pthread_mutex_lock(&ctl->controlLock);
        slot->listenSocket = fd;
        pthread_mutex_unlock(&ctl->controlLock);
        break;
      }
      int e = errno;
      close(fd);
      if (e == EADDRINUSE) {
        if (brix_debug_level > 2)
          fprintf(stderr, "***%s: /debug/EADDRINUSE error on listen (port = %d) - retrying\n", me,
                  ozugw_SockGetPort(&slot->localNetAddr));
        ozugw_ThreadSleep(0, 10000);
        continue;
      }
      brix_Log(BRIX_MSG_ERROR, "***  %s: quor_net_listen error: %d [%s]\n", me, e, err);
      abortXfer(me, __LINE__);
      fail = true;
      break;
    }
    if (fail) return -1;
  }
  ip.Flags = 0;
  ip.IpAddr.SockTransferID = xferId;
  ip.IpAddr.SockAddr = slot->localNetAddr;
  ip.IpAddr.SockOffset = 0;
  if (brix_debug_level > 0) {
    char text[128];
    peerText(&slot->localNetAddr, text, sizeof text);
    fprintf(stderr, "/debug/Xfer %d Connection %d: send listen addr: %s\n", 0, slot->conInx, text);
  }
  if ((rc = mvrprot_send_ipaddr(slot->controlSocket, &ip)) != 0) {
    brix_Log(BRIX_MSG_ERROR, "%s: mvrprot_send_ipaddr error: %d\n", me, rc);
    return -1;
  }
  while (slot->transferSocket < 0) {
    int s = waitReadable(slot->listenSocket);
    if (s <= 0) {
      int e = errno;
      if (aborted(ctl) || ctl->errorResyncFlag || !ctl->transfer_active) {
        fail = true;
        break;
      }
      if (s == 0 || e == EINTR) continue;
      if (brix_debug_level > 0) fprintf(stderr, "/debug/error %d on select() - exiting accept loop\n", e);
      abortXfer(me, __LINE__);
      fail = true;
      break;
    }
    quor_sockaddr_t peer;
    memset(&peer, 0, sizeof peer);
    char err[256] = "";
    int fd = quor_net_accept(slot->listenSocket, &peer, err, sizeof err);
    if (fd < 0) {
      int e = errno;
      if (e == EINTR || e == EAGAIN || e == EWOULDBLOCK) continue;
      fprintf(stderr, "*** %s: quor_net_accept error %d listen sock=%d [%s]\n", me, e, slot->listenSocket, err);
      abortXfer(me, __LINE__);
      fail = true;
      break;
    }
    char text[128];
    peerText(&peer, text, sizeof text);
    if (!quorex_IsConnectionAllowed(&peer.hs_addr, 1, me)) {
      if (brix_debug_level > 0)
        fprintf(stderr, "/debug/mover connection from %s disallowed - closing connection\n", text);
      close(fd);
      continue;
    }
    int fl = fcntl(fd, F_GETFL);
    if (fl >= 0) fcntl(fd, F_SETFL, fl & ~O_NONBLOCK);
    quorcfgx_NetoptSetSock(fd, &peer);
    slot->remoteTransferAddr = peer;
    pthread_mutex_lock(&ctl->controlLock);
    slot->transferSocket = fd;
    pthread_mutex_unlock(&ctl->controlLock);
    if (brix_debug_level > 0) {
      time_t now = time(nullptr);
      char tb[32];
      fprintf(stderr, "/debug/ %s mover data connection from %s\n", ctime_r(&now, tb), text);
    }
  }
  return fail ? -1 : 0;
}

// A piece whose bytes the consumer has had already: the mover's exchange is
// served, its data received and dropped.
int dropPiece(connection_info_t* slot, const initiator_msg_t* init, uint64_t delivered,
              uint64_t xferId) {
  static const char* me = "brix_TransferThread";
  thread_local std::vector<unsigned char> scratch;
  initiator_msg_t reply = *init;
  reply.Flags = MVRPROT_ADDR_FOLLOWS | MVRPROT_COMP_REPLY;
  uint64_t cap = std::min<uint64_t>(delivered, 1 << 20);
  if (reply.Length > cap) reply.Length = cap;
  if (brix_debug_level > 0)
    fprintf(stderr, "/debug/%s: dropping %lu bytes at offset %lu sent again\n", me,
            (unsigned long)reply.Length, (unsigned long)init->Offset);
  int rc = mvrprot_send_initmsg(slot->controlSocket, &reply);
  if (rc != 0) {
    brix_Log(BRIX_MSG_ERROR, "%s: mvrprot_send_initmsg error: %d\n", me, rc);
    return -1;
  }
  if (dataConnection(slot, xferId, me) != 0) return -1;
  scratch.resize(size_t(reply.Length));
  int got = 0;
  rc = mover_socket_recv_data(slot->transferSocket, xferId, init->Offset, scratch.data(),
                              int(reply.Length), &got, 1);
  if (rc < 0 || uint64_t(got) != reply.Length) {
    brix_Log(BRIX_MSG_ERROR, "*** %s: mover_socket_recv_data error: %d\n", me, rc < 0 ? rc : -5);
    return -1;
  }
  completion_msg_t comp;
  if ((rc = mvrprot_recv_compmsg(slot->controlSocket, &comp)) != 0) {
    brix_Log(BRIX_MSG_ERROR, "*** %s: mvrprot_recv_compmsg: %d\n", me, rc);
    return -1;
  }
  return comp.Status == 0 && comp.BytesMoved == uint64_t(got) ? 0 : -1;
}

}  // namespace

void* brix_TransferThread(void* arg) {
  static const char* me = "brix_TransferThread";
  connection_info_t* slot = static_cast<connection_info_t*>(arg);
  transfer_t* ctl = slot->ctl;
  bool normal = false;
  slot->listenSocket = -1;
  slot->transferSocket = -1;
  uint64_t xferId = quor_RequestIDtoU64(ctl->requestId);
  while (!aborted(ctl)) {
    initiator_msg_t init;
    int rc = mvrprot_recv_initmsg(slot->controlSocket, &init);
    if (rc == -50) {
      normal = true;
      break;
    }
    if (rc != 0) {
      brix_Log(BRIX_MSG_ERROR, "%s: mvrprot_recv_initmsg error %d\n", me, rc);
      break;
    }
    if (brix_debug_level > 2)
      printf("XferInx: %d Connection ID: %d mvrprot_recv_initmsg returned %d\n", 0, slot->conInx, rc);
    io_buffer_t* buf = nullptr;
    uint64_t delivered = 0;
    int found = find_BufferForData(slot, &init, &buf, &delivered);
    if (found < 0) {
      if (!aborted(ctl) && !ctl->errorResyncFlag)
        brix_Log(BRIX_MSG_ERROR, "%s: find I/O buffer result=%d\n", me, found);
      break;
    }
    if (found == 1) {
      if (dropPiece(slot, &init, delivered, xferId) != 0) break;
      continue;
    }
    initiator_msg_t reply = init;
    reply.Flags = MVRPROT_ADDR_FOLLOWS | MVRPROT_COMP_REPLY;
    uint64_t dataOffset = init.Offset - buf->iodOffset;
    // Undo the lookup's count on every early way out.
    auto giveBack = [&]() { update_BufXferred(nullptr, buf, 0, 0); };
    if (init.Offset < buf->iodOffset || dataOffset > uint64_t(buf->bufSize)) {
      brix_Log(BRIX_MSG_ERROR, "parallel read - internal buffer/IOD offset error");
      giveBack();
      abortXfer(me, __LINE__);
      break;
    }
    uint64_t space = uint64_t(buf->bufSize) - dataOffset;
    // Nothing past the range is taken either.
    uint64_t rangeEnd = ctl->srcOffset + ctl->transferLength;
    uint64_t addr = buf->fileOffset + dataOffset;
    if (addr < rangeEnd) space = std::min(space, rangeEnd - addr);
    else space = 0;
    if (reply.Length > space) reply.Length = space;
    if (reply.Length == 0) {
      brix_Log(BRIX_MSG_ERROR, "parallel read - internal buffer/IOD offset error");
      giveBack();
      abortXfer(me, __LINE__);
      break;
    }
    if ((rc = mvrprot_send_initmsg(slot->controlSocket, &reply)) != 0) {
      brix_Log(BRIX_MSG_ERROR, "%s: mvrprot_send_initmsg error: %d\n", me, rc);
      giveBack();
      break;
    }
    if (init.Type != MVRPROT_TYPE_TCPIP) {
      brix_Log(BRIX_MSG_ERROR, "*** %s: bad transfer type %d - transfer aborted\n", me, int(init.Type));
      giveBack();
      abortXfer(me, __LINE__);
      break;
    }
    if (dataConnection(slot, xferId, me) != 0) {
      giveBack();
      break;
    }
    int got = 0;
    rc = mover_socket_recv_data(slot->transferSocket, xferId, init.Offset, buf->buffer + dataOffset,
                                int(reply.Length), &got, 1);
    if (rc < 0 || uint64_t(got) != reply.Length) {
      brix_Log(BRIX_MSG_ERROR, "*** %s: mover_socket_recv_data error: %d\n", me, rc < 0 ? rc : -5);
      giveBack();
      break;
    }
    completion_msg_t comp;
    if ((rc = mvrprot_recv_compmsg(slot->controlSocket, &comp)) != 0) {
      brix_Log(BRIX_MSG_ERROR, "*** %s: mvrprot_recv_compmsg: %d\n", me, rc);
      giveBack();
      break;
    }
    // The mover must say it moved exactly what arrived, and without error.
    if (comp.Status != 0 || comp.BytesMoved != uint64_t(got)) {
      brix_Log(BRIX_MSG_ERROR, "*** %s: mover completion status %d, %s bytes moved, %d received\n", me,
               int(comp.Status), u64tostrwc(comp.BytesMoved), got);
      giveBack();
      break;
    }
    if (update_BufXferred(&comp, buf, uint32_t(got), dataOffset) != 0) break;
  }
  closeSlotFd(ctl, &slot->transferSocket);
  closeSlotFd(ctl, &slot->listenSocket);
  closeSlotFd(ctl, &slot->controlSocket);
  pthread_mutex_lock(&ctl->controlLock);
  if (!normal) ctl->xferThreadTerminateCount++;
  brix_SetSlotIdle(ctl, slot);
  pthread_mutex_unlock(&ctl->controlLock);
  brix_ReqQueueSignalAll(ctl->connectionList, ctl->connectListSize);
  pthread_mutex_lock(&ctl->bufQueueLock);
  pthread_cond_broadcast(&ctl->bufQueueCondition);
  pthread_mutex_unlock(&ctl->bufQueueLock);
  return nullptr;
}
