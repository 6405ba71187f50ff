// The lfx transfer engine of the archiver: one init exchange per transfer,
// inline data for small local files, otherwise a control thread that
// accepts the gateway's data connection and a read and a write thread that
// pass the record's buffers from the source to the sink through its queues.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdarg.h>
#include <stdlib.h>
#include <string.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <mutex>

#include "brix_lfx.h"
#include "qel_threads.h"
#include "quor_api.h"
#include "quor_convert.h"
#include "quor_net.h"
#include "quorclntaddr.h"
#include "quorcfgx_prototypes.h"

namespace {

constexpr uint32_t LFX_INLINE_PUT = 0x80000000u;
constexpr uint32_t LFX_INLINE_GET = 0x40000000u;
constexpr uint32_t LFX_REMOTE_OPEN = 0x10000000u;
// Writes that take nothing, in a row, before the write counts as failed.
constexpr int ZERO_WRITE_LIMIT = 1000;

ozu_sockaddr_info_t* socketPool = nullptr;
std::mutex socketPoolLock;
uint32_t socketPoolId = 0;

// Sets the exit code (when Excode is not 0), clears the console line and
// logs Msg at MsgLevel.
void setExitResult(int Excode, int MsgLevel, uint32_t LogSelect, const char* Msg) {
  if (Excode != 0) brix_SetExitCode(Excode);
  console_message("", "");
  brix_LogMsg(MsgLevel, LogSelect, Msg);
}

void report(int code, int level, const char* fmt, ...) __attribute__((format(printf, 3, 4)));
void report(int code, int level, const char* fmt, ...) {
  char msg[4600];
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(msg, sizeof msg, fmt, ap);
  va_end(ap);
  setExitResult(code, level, BRIX_LOG_SELECT_MSG, msg);
}

bool isSend(const transfer_t* X) { return X->xferOperation == IOP_PUT; }

int abortedNow(transfer_t* X) { return X->abortSignalled.load(); }

// The first non-zero result stays; a failing thread raises the abort.
void endThread(transfer_t* X, int result, bool failed) {
  pthread_mutex_lock(&X->controlLock);
  if (X->transfer_result == 0) X->transfer_result = result;
  if (failed) X->abortSignalled++;
  pthread_mutex_unlock(&X->controlLock);
  pthread_mutex_lock(&X->bufQueueLock);
  pthread_cond_broadcast(&X->bufQueueCondition);
  pthread_mutex_unlock(&X->bufQueueLock);
}

void abortLocalTransfer(transfer_t* X, const char* caller) {
  pthread_mutex_lock(&X->controlLock);
  X->abortSignalled++;
  pthread_mutex_unlock(&X->controlLock);
  report(74, BRIX_MSG_ERROR, "*** %s called - aborting transfer", caller);
}

void setBlocking(int fd) {
  int fl = fcntl(fd, F_GETFL);
  if (fl >= 0 && (fl & O_NONBLOCK)) fcntl(fd, F_SETFL, fl & ~O_NONBLOCK);
}

void debugSockBufsize(int fd, const char* phase) {
  if (brix_debug_level < 3) return;
  int snd = 0, rcv = 0;
  socklen_t len = sizeof snd;
  getsockopt(fd, SOL_SOCKET, SO_SNDBUF, &snd, &len);
  len = sizeof rcv;
  getsockopt(fd, SOL_SOCKET, SO_RCVBUF, &rcv, &len);
  fprintf(stderr, "%s: socket %d  SNDBUF size = %d  RCVBUF size = %d\n", phase, fd, snd, rcv);
}

// ---- the socket pool ----

void addSocketToPool(const ozu_sockaddr_info_t* entry) {
  auto* copy = static_cast<ozu_sockaddr_info_t*>(malloc(sizeof(ozu_sockaddr_info_t)));
  if (!copy) {
    brix_MallocError("addSocketToPool", "allocating ozu_sockaddr_info_t", sizeof(ozu_sockaddr_info_t),
                     __FILE__, __LINE__);
    fprintf(stderr, "***%s: Unable to add socket to reuse pool for file descriptor %d\n", "addSocketToPool",
            entry->socketFD);
    close(entry->socketFD);
    return;
  }
  *copy = *entry;
  copy->next = nullptr;
  std::lock_guard<std::mutex> hold(socketPoolLock);
  ozu_sockaddr_info_t** tail = &socketPool;
  while (*tail) tail = &(*tail)->next;
  *tail = copy;
}

// Connected sockets go to the pool, those of pool id 0 are closed.
void copySocketsToPool(transfer_t* X) {
  for (int i = 0; i < X->controlSockCount; i++) {
    nw_sock_struct_t* s = &X->controlSockAddr[i];
    if (!s->connected) continue;
    if (s->poolID != 0) {
      ozu_sockaddr_info_t e;
      memset(&e, 0, sizeof e);
      e.addressType = uint8_t(s->socketSockAddr.hs_addr.ss_family & 0xff);
      e.preConnected = 1;
      e.poolID = uint32_t(s->poolID);
      e.socketFD = s->socketFD;
      e.socketAddr = s->socketSockAddr;
      addSocketToPool(&e);
    } else {
      close(s->socketFD);
    }
    s->socketFD = -1;
    s->connected = 0;
  }
}

// After a failure no socket of the transfer is in a known state: all close.
void closeRecordSockets(transfer_t* X) {
  for (int i = 0; i < X->controlSockCount; i++) {
    nw_sock_struct_t* s = &X->controlSockAddr[i];
    if (s->socketFD >= 0) close(s->socketFD);
    s->socketFD = -1;
    s->connected = 0;
  }
}

void releaseRecordSockets(transfer_t* X) {
  closeRecordSockets(X);
  free(X->controlSockAddr);
  X->controlSockAddr = nullptr;
  X->controlSockCount = 0;
}

// One data socket (determineSocketCount is always 1): the pool's head, or
// a new listen socket with the next pool id.
int createListenSockets(int* count, ozu_sockaddr_info_t** list) {
  *count = 0;
  *list = nullptr;
  auto* e = static_cast<ozu_sockaddr_info_t*>(calloc(1, sizeof(ozu_sockaddr_info_t)));
  if (!e) {
    brix_MallocError("createListenSockets", "allocating socket list entry", sizeof *e, __FILE__, __LINE__);
    return -12;
  }
  {
    std::lock_guard<std::mutex> hold(socketPoolLock);
    if (socketPool) {
      ozu_sockaddr_info_t* head = socketPool;
      socketPool = head->next;
      *e = *head;
      e->next = nullptr;
      e->preConnected = 1;
      free(head);
    }
  }
  if (!e->preConnected) {
    int fd = -1, rc = -1;
    quor_sockaddr_t addr;
    memset(&addr, 0, sizeof addr);
    for (int attempt = 0; attempt < 100; attempt++) {
      rc = ozugw_SockGetListenSocket(0, 1, &fd, &addr);
      if (rc != -98 && rc != -99) break;
      ozugw_ThreadSleep(0, 100000);
    }
    if (rc < 0 || fd < 0) {
      fprintf(stderr, "***%s: Unable to obtain a listen socket (error %d)- aborting transfer\n",
              "createListenSockets", rc < 0 ? rc : -1);
      free(e);
      return rc < 0 ? rc : -1;
    }
    e->addressType = 2;
    e->socketFD = fd;
    e->socketAddr = addr;
    std::lock_guard<std::mutex> hold(socketPoolLock);
    e->poolID = socketPoolId++;
  }
  *count = 1;
  *list = e;
  return 0;
}

// Sockets of an init that never went out: pooled ones go back, new ones close.
void returnInitSockets(ozu_xfer_init_info_t* in) {
  for (int i = 0; i < in->addressCount; i++) {
    if (in->addressList[i].preConnected) addSocketToPool(&in->addressList[i]);
    else close(in->addressList[i].socketFD);
  }
  free(in->addressList);
  in->addressList = nullptr;
  in->addressCount = 0;
}

int copyInitSocketsToCtl(transfer_t* X, int count, const ozu_sockaddr_info_t* list) {
  releaseRecordSockets(X);
  if (count <= 0) return 0;
  auto* s = static_cast<nw_sock_struct_t*>(calloc(size_t(count), sizeof(nw_sock_struct_t)));
  if (!s) return -12;
  for (int i = 0; i < count; i++) {
    s[i].connected = list[i].preConnected;
    s[i].poolID = int(list[i].poolID);
    s[i].socketFD = list[i].socketFD;
    s[i].socketSockAddr = list[i].socketAddr;
  }
  X->controlSockAddr = s;
  X->controlSockCount = count;
  return 0;
}

int issueListens(transfer_t* X) {
  for (int i = 0; i < X->controlSockCount; i++) {
    nw_sock_struct_t* s = &X->controlSockAddr[i];
    if (s->connected) continue;
    for (;;) {
      if (quor_net_listen(s->socketFD, 4096, nullptr, 0) == 0) break;
      if (errno == EAGAIN || errno == EINTR) continue;
      report(71, BRIX_MSG_ERROR, "*** %s: Unrecoverable error %d on <quor_net_listen> call\n", "issueListens",
             errno);
      return -1;
    }
  }
  return 0;
}

// The gateway's connections: 0; -110 after the 61st idle second (seconds
// of the library's clock); -1 on an abort; -errno on a failure.
int acceptConnections(transfer_t* X) {
  int budget = 60;
  for (;;) {
    fd_set set;
    FD_ZERO(&set);
    int maxfd = -1, pending = 0;
    for (int i = 0; i < X->controlSockCount; i++) {
      nw_sock_struct_t* s = &X->controlSockAddr[i];
      if (s->connected) continue;
      FD_SET(s->socketFD, &set);
      maxfd = std::max(maxfd, s->socketFD);
      pending++;
    }
    if (pending == 0) {
      if (brix_debug_level > 2) fprintf(stderr, "/debug/ all sockets connected = exiting <accept>\n");
      return 0;
    }
    long usec = std::max(1000L, long(1000000.0 / qelapi_time_scale()));
    struct timeval tv = {usec / 1000000, usec % 1000000};
    int n = select(maxfd + 1, &set, nullptr, nullptr, &tv);
    if (n < 0) {
      if (errno == EINTR || errno == EAGAIN) continue;
      int e = errno;
      report(71, BRIX_MSG_ERROR, "*** %s: error %d on select() for %d socket descriptors\n", "acceptConnections",
             e, pending);
      return -e;
    }
    if (n == 0) {
      if (--budget < 0) {
        if (brix_debug_level > 2) fprintf(stderr, "/debug/ timeout after %d seconds - error out of <accept>\n", 60);
        return -110;
      }
      if (abortedNow(X)) {
        if (brix_debug_level > 2) fprintf(stderr, "/debug/ detected <abort> flag - error out of <accept>\n");
        return -1;
      }
      continue;
    }
    if (brix_debug_level > 2) fprintf(stderr, "/debug/ %d sockets ready to accept()\n", n);
    for (int i = 0; i < X->controlSockCount; i++) {
      nw_sock_struct_t* s = &X->controlSockAddr[i];
      if (s->connected || !FD_ISSET(s->socketFD, &set)) continue;
      if (brix_debug_level > 2) fprintf(stderr, "/debug/socket FD %d ready for accept()\n", s->socketFD);
      quor_sockaddr_t peer;
      memset(&peer, 0, sizeof peer);
      int fd;
      for (;;) {
        fd = quor_net_accept(s->socketFD, &peer, nullptr, 0);
        if (fd >= 0 || (errno != EINTR && errno != EAGAIN)) break;
      }
      if (fd < 0) {
        int e = errno;
        report(71, BRIX_MSG_ERROR, "*** %s: error %d on accept for FD %d\n", "acceptConnections", e,
               s->socketFD);
        return e ? -e : -1;
      }
      if (brix_debug_level > 2)
        fprintf(stderr, "/debug/accept for socket FD %d ok - new FD=%d\n", s->socketFD, fd);
      close(s->socketFD);
      setBlocking(fd);
      s->socketFD = fd;
      s->socketSockAddr = peer;
      s->connected = 1;
      quorcfgx_NetoptSetSock(fd, &peer);
      debugSockBufsize(fd, "Post-Accept");
    }
  }
}

// ---- the data phase ----

// Waits until fd is ready for dir or the transfer aborts: 1 ready, 0 aborted.
int waitReady(transfer_t* X, int fd, short dir) {
  for (;;) {
    struct pollfd p = {fd, dir, 0};
    int n = poll(&p, 1, 200);
    if (n > 0 || (n < 0 && errno != EINTR)) return 1;
    if (abortedNow(X)) return 0;
  }
}

ssize_t readSome(transfer_t* X, int fd, bool sock, unsigned char* buf, size_t len) {
  if (!sock) return pread(fd, buf, len, off_t(X->lfxFileInfo.currentPos));
  if (!waitReady(X, fd, POLLIN)) {
    errno = ECANCELED;
    return -1;
  }
  return recv(fd, buf, len, 0);
}

ssize_t writeSome(transfer_t* X, int fd, bool sock, const unsigned char* buf, size_t len, uint64_t pos) {
  if (!sock) return pwrite(fd, buf, len, off_t(pos));
  if (!waitReady(X, fd, POLLOUT)) {
    errno = ECANCELED;
    return -1;
  }
  return send(fd, buf, len, MSG_NOSIGNAL);
}

// Takes the head of the empty queue: nullptr when the transfer aborted.
io_buffer_t* takeEmpty(transfer_t* X) {
  pthread_mutex_lock(&X->bufQueueLock);
  io_buffer_t* b = nullptr;
  for (;;) {
    if (X->abortSignalled) break;
    if (X->bufEmptyQueue) {
      b = X->bufEmptyQueue;
      X->bufEmptyQueue = b->next;
      b->next = nullptr;
      break;
    }
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    ts.tv_nsec += 200000000;
    if (ts.tv_nsec >= 1000000000) {
      ts.tv_sec++;
      ts.tv_nsec -= 1000000000;
    }
    pthread_cond_timedwait(&X->bufQueueCondition, &X->bufQueueLock, &ts);
  }
  pthread_mutex_unlock(&X->bufQueueLock);
  return b;
}

void* XferReadThread(void* arg) {
  transfer_t* X = static_cast<transfer_t*>(arg);
  lfx_file_info_t& F = X->lfxFileInfo;
  const bool send = isSend(X);
  const bool callback = send && F.ioType == RMTIO_CALLBACK;
  const int fd = send ? F.localFD : X->controlSockAddr[0].socketFD;
  uint64_t remaining = X->transferLength;
  int result = 0;
  bool failed = false;
  while (remaining > 0 && !failed) {
    io_buffer_t* b = nullptr;
    if (callback) {
      if (F.readCallback(&b) != 0 || !b) {
        failed = true;
        if (result == 0) result = -1;
        break;
      }
      b->bufFlags &= ~IOB_FLAG_END_OF_RANGE;
      if (b->dataLength > remaining) b->dataLength = uint32_t(remaining);
    } else {
      b = takeEmpty(X);
      if (!b) break;
      b->fileOffset = F.currentPos;
      b->dataLength = b->dataMoved = b->dataRemaining = 0;
      b->bufFlags &= ~IOB_FLAG_END_OF_RANGE;
      uint32_t want = uint32_t(std::min<uint64_t>(uint64_t(b->bufSize), remaining));
      if (brix_debug_level > 2)
        fprintf(stderr, "/debug/%s: filling empty buffer ntoread=%d at xfer offset = %lu\n", "XferReadThread",
                int(want), (unsigned long)F.currentPos);
      while (b->dataLength < want) {
        ssize_t n = readSome(X, fd, !send, b->buffer + b->dataLength, want - b->dataLength);
        if (n == 0) {
          if (brix_debug_level > 2) fprintf(stderr, "*** %s EOF detected on input file]\n", "XferReadThread");
          b->bufFlags |= IOB_FLAG_END_OF_RANGE;
          // The range was promised whole: an input that ends early fails.
          char left[32];
          snprintf(left, sizeof left, "%s", u64tostrwc(remaining - b->dataLength));
          fprintf(stderr, "*** %s: %s ended with %s bytes of the range still to come\n", "XferReadThread",
                  send ? "local file" : "data connection", left);
          result = -EIO;
          failed = true;
          break;
        }
        if (n < 0) {
          if (errno == EAGAIN || errno == EINTR || errno == EINPROGRESS || errno == EALREADY) continue;
          int e = errno;
          if (e != ECANCELED)
            fprintf(stderr, "*** %s: error %d reading %d bytes at offset %s", "XferReadThread", e,
                    int(want - b->dataLength), u64tostrwc(F.currentPos));
          b->bufFlags |= IOB_FLAG_END_OF_RANGE;
          result = -e;
          failed = true;
          break;
        }
        b->dataLength += uint32_t(n);
        F.currentPos += uint64_t(n);
      }
    }
    remaining -= std::min<uint64_t>(remaining, b->dataLength);
    if (b->bufFlags & IOB_FLAG_END_OF_RANGE) remaining = 0;
    if (remaining == 0) b->bufFlags |= IOB_FLAG_END_OF_RANGE;
    pthread_mutex_lock(&b->bufLock);
    b->state = IOB_STATE_WRITING;
    pthread_mutex_unlock(&b->bufLock);
    pthread_mutex_lock(&X->bufQueueLock);
    brix_InsertReadyQueue(X, b);
    pthread_cond_broadcast(&X->bufQueueCondition);
    pthread_mutex_unlock(&X->bufQueueLock);
  }
  endThread(X, result, failed);
  X->read_active = 0;
  return nullptr;
}

// The head of the ready queue once it is to be written: nullptr on an abort.
io_buffer_t* takeReady(transfer_t* X) {
  pthread_mutex_lock(&X->bufQueueLock);
  io_buffer_t* b = nullptr;
  for (;;) {
    if (X->abortSignalled) break;
    io_buffer_t* h = X->bufReadyQueue;
    if (h && h->state == IOB_STATE_WRITING) {
      X->bufReadyQueue = h->next;
      h->next = nullptr;
      b = h;
      break;
    }
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    ts.tv_nsec += 200000000;
    if (ts.tv_nsec >= 1000000000) {
      ts.tv_sec++;
      ts.tv_nsec -= 1000000000;
    }
    pthread_cond_timedwait(&X->bufQueueCondition, &X->bufQueueLock, &ts);
  }
  pthread_mutex_unlock(&X->bufQueueLock);
  return b;
}

void* XferWriteThread(void* arg) {
  transfer_t* X = static_cast<transfer_t*>(arg);
  lfx_file_info_t& F = X->lfxFileInfo;
  const bool send = isSend(X);
  const bool callback = !send && F.ioType == RMTIO_CALLBACK;
  const int fd = send ? X->controlSockAddr[0].socketFD : F.localFD;
  const char* path = send ? F.remotePath : F.localPath;
  if (!path) path = "";
  int result = 0;
  bool failed = false;
  bool last = false;
  while (!failed && !last) {
    io_buffer_t* b = takeReady(X);
    if (!b) break;
    last = (b->bufFlags & IOB_FLAG_END_OF_RANGE) != 0;
    if (brix_debug_level > 2)
      fprintf(stderr, "/debug/%s: writing full buffer datalength=%d at xfer offset = %lu\n", "XferWriteThread",
              int(b->dataLength), (unsigned long)b->fileOffset);
    if (callback) {
      if (b->dataLength > 0 && F.writeCallback(b) != 0) {
        failed = true;
        result = -1;
      } else {
        X->totalBytesMoved += b->dataLength;
      }
    } else {
      // The local file of a receive is written at the sink offset on.
      uint64_t pos = X->sinkOffset + (b->fileOffset - X->srcOffset);
      uint32_t done = 0;
      int eioRetries = 0, zeroWrites = 0;
      while (done < b->dataLength && !failed) {
        ssize_t n = writeSome(X, fd, !send ? false : true, b->buffer + done, b->dataLength - done, pos);
        if (n > 0) {
          done += uint32_t(n);
          pos += uint64_t(n);
          X->totalBytesMoved += uint64_t(n);
          X->currentSrcOffset = X->currentSrcAddr + X->totalBytesMoved;
          zeroWrites = 0;
          continue;
        }
        int e = n == 0 ? 0 : errno;
        if (e == 0) {
          if (++zeroWrites < ZERO_WRITE_LIMIT) continue;
          e = EIO;
          report(74, BRIX_MSG_ERROR, "***%s: unrecovered error %d writing %d bytes at offset %s", "XferWriteThread",
                 e, int(b->dataLength - done), u64tostrwc(pos));
          result = -e;
          failed = true;
          break;
        }
        if (e == EAGAIN || e == EINTR) continue;
        if (e == ECANCELED) {
          failed = true;
          break;
        }
        if (e == ENOSPC) {
          if (brix_shutdown_signalled || abortedNow(X)) {
            result = -ENOSPC;
            failed = true;
            break;
          }
          ozugw_ThreadSleep(10, 0);
          continue;
        }
        if (e == EIO && eioRetries < 5) {
          ++eioRetries;
          char msg[4400];
          snprintf(msg, sizeof msg, "%s: EIO error on write for %s. Retrying (pos=%s)", "XferWriteThread", path,
                   u64tostrwc(pos));
          if (brix_debug_level > 0) setExitResult(0, BRIX_MSG_WARNING, BRIX_LOG_SELECT_MSG, msg);
          else quor_Logmsg(0x3000, BRIX_LOG_SELECT_MSG, msg);
          ozugw_ThreadSleep(10 * eioRetries, 0);
          if (!send && lseek(fd, off_t(pos), SEEK_SET) < 0) {
            int le = errno;
            report(74, BRIX_MSG_ERROR, "*** %s: unable to reposition file %s to offset %lld after write error",
                   "XferWriteThread", path, (long long)pos);
            result = -le;
            failed = true;
            break;
          }
          if (!send && brix_debug_level > 0)
            fprintf(stderr, "/debug/%s: successfully repositioned %s to file offset %lld - retrying write\n",
                    "XferWriteThread", path, (long long)pos);
          continue;
        }
        if (e == EIO) {
          report(74, BRIX_MSG_ERROR, "***%s: Fatal EIO error on write for %s at offset=%s", "XferWriteThread", path,
                 u64tostrwc(pos));
          result = -EIO;
        } else {
          report(74, BRIX_MSG_ERROR, "***%s: unrecovered error %d writing %d bytes at offset %s", "XferWriteThread",
                 e, int(b->dataLength - done), u64tostrwc(pos));
          result = -e;
        }
        failed = true;
      }
    }
    // Every buffer goes back to the empty queue, where the reader (or the
    // create side) takes it again; the pool frees it in any case.
    b->bufFlags &= ~IOB_FLAG_END_OF_RANGE;
    pthread_mutex_lock(&b->bufLock);
    b->state = IOB_STATE_READING;
    pthread_mutex_unlock(&b->bufLock);
    pthread_mutex_lock(&X->bufQueueLock);
    b->next = X->bufEmptyQueue;
    X->bufEmptyQueue = b;
    pthread_cond_broadcast(&X->bufQueueCondition);
    pthread_mutex_unlock(&X->bufQueueLock);
  }
  endThread(X, result, failed);
  X->write_active = 0;
  return nullptr;
}

void* XferCtlThread(void* arg) {
  transfer_t* X = static_cast<transfer_t*>(arg);
  int result = acceptConnections(X);
  if (result < 0) {
    report(71, BRIX_MSG_ERROR, "*** %s: error %d accepting %d connections from server", "XferCtlThread", result,
           X->controlSockCount);
    endThread(X, result, true);
  } else {
    pthread_t reader{}, writer{};
    X->read_active = 1;
    if (ozugw_ThreadCreate(&reader, nullptr, XferReadThread, X) != 0) {
      fprintf(stderr, "*** %s: error %d starting read thread\n", "XferCtlThread", errno);
      X->read_active = 0;
      endThread(X, -1, true);
    } else {
      X->write_active = 1;
      if (ozugw_ThreadCreate(&writer, nullptr, XferWriteThread, X) != 0) {
        fprintf(stderr, "*** %s: error %d starting file write thread\n", "XferCtlThread", errno);
        X->write_active = 0;
        // The abort stops the reader at its next wait.
        endThread(X, -1, true);
        pthread_join(reader, nullptr);
      } else {
        pthread_join(reader, nullptr);
        pthread_join(writer, nullptr);
      }
    }
  }
  pthread_mutex_lock(&X->controlLock);
  X->transfer_active = 0;
  pthread_mutex_unlock(&X->controlLock);
  return nullptr;
}

// ---- the init request ----

int initReadLocalFileData(transfer_t* X, uint64_t length, char** data) {
  *data = nullptr;
  if (length == 0) return 0;
  char* buf = nullptr;
  for (int attempt = 0; attempt < 50 && !buf; attempt++) {
    buf = static_cast<char*>(malloc(size_t(length)));
    if (!buf) ozugw_ThreadSleep(0, 100000);
  }
  if (!buf) return -12;
  uint64_t got = 0;
  while (got < length) {
    ssize_t n = pread(X->lfxFileInfo.localFD, buf + got, size_t(length - got), off_t(X->srcOffset + got));
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
    if (n <= 0) {
      int e = n < 0 ? errno : EIO;
      free(buf);
      return -e;
    }
    got += uint64_t(n);
  }
  *data = buf;
  return 0;
}

int initWriteLocalFileData(transfer_t* X, uint64_t length, const char* data) {
  uint64_t done = 0;
  while (done < length) {
    ssize_t n = pwrite(X->lfxFileInfo.localFD, data + done, size_t(length - done), off_t(X->sinkOffset + done));
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
    if (n < 0) return -errno;
    if (n == 0) return -EIO;
    done += uint64_t(n);
  }
  return 0;
}

int buildInitInfo(transfer_t* X, ozu_xfer_init_info_t* in) {
  lfx_file_info_t& F = X->lfxFileInfo;
  memset(in, 0, sizeof *in);
  const bool send = isSend(X);
  in->xferOperation = send ? 0 : 1;
  if (F.remoteFD != -1) in->flags |= LFX_REMOTE_OPEN;
  snprintf(in->pathName, sizeof in->pathName, "%s", F.remotePath ? F.remotePath : "");
  if (send) in->fileSize = int64_t(F.localSize);
  in->srcOffset = X->srcOffset;
  in->sinkOffset = X->sinkOffset;
  in->xferLength = X->transferLength;
  in->mode = F.haveStat ? ozugw_LocalModeToInterchangeMode(uint32_t(F.localStat.st_mode)) : 0;
  in->uid = uint32_t(F.fileUid);
  in->gid = uint32_t(F.fileGid);
  const uint64_t limit = brix_config_opts.MaxSmallFileSize;
  if (F.ioType == RMTIO_FILE && send && X->transferLength <= limit) {
    int rc = initReadLocalFileData(X, X->transferLength, &in->fileData);
    if (rc < 0) return rc;
    in->flags |= LFX_INLINE_PUT;
  } else if (F.ioType == RMTIO_FILE && !send && X->transferLength <= limit) {
    in->flags |= LFX_INLINE_GET;
  }
  if (!(in->flags & (LFX_INLINE_GET | LFX_INLINE_PUT))) {
    int rc = createListenSockets(&in->addressCount, &in->addressList);
    if (rc < 0) {
      free(in->fileData);
      in->fileData = nullptr;
      return rc;
    }
  }
  return 0;
}

void freeReply(ozu_xfer_init_reply_t* r) {
  free(r->addressList);
  free(r->fileData);
  r->addressList = nullptr;
  r->fileData = nullptr;
}

int commonTransferFunction(transfer_t* X) {
  static const char* me = "commonTransferFunction";
  lfx_file_info_t& F = X->lfxFileInfo;
  if (!X->ctlMutexCreated && brix_InitXferLocks(X) != 0) {
    report(71, BRIX_MSG_ERROR, "(%s) error(s) initializing control structure - xfer aborted\n", me);
    return -1;
  }
  pthread_mutex_lock(&X->controlLock);
  X->abortSignalled = 0;
  X->transfer_result = 0;
  pthread_mutex_unlock(&X->controlLock);
  X->totalBytesMoved = 0;
  X->currentSrcAddr = X->srcOffset;
  X->currentSrcOffset = X->srcOffset;
  ozu_xfer_init_info_t* in = static_cast<ozu_xfer_init_info_t*>(calloc(1, sizeof(ozu_xfer_init_info_t)));
  if (!in) {
    brix_MallocError(me, "calloc", sizeof(ozu_xfer_init_info_t), __FILE__, __LINE__);
    brix_SetExitCode(71);
    return -1;
  }
  ozu_xfer_init_reply_t reply;
  memset(&reply, 0, sizeof reply);
  int rc = buildInitInfo(X, in);
  if (rc < 0) {
    report(71, BRIX_MSG_ERROR, "(%s) error %d trying to setup transfer - xfer aborted\n", me, rc);
    free(in);
    return -1;
  }
  const bool inlineXfer = (in->flags & (LFX_INLINE_GET | LFX_INLINE_PUT)) != 0;
  bool ctlThread = false;
  pthread_t ctlId{};
  bool recordOwns = false;
  auto failSetup = [&]() {
    if (recordOwns) {
      free(in->addressList);
      in->addressList = nullptr;
    } else {
      returnInitSockets(in);
    }
    releaseRecordSockets(X);
    free(in->fileData);
    free(in);
    return -1;
  };

  if (inlineXfer) {
    X->startTime = brix_GetTimestamp();
  } else {
    if (!X->bufAll) {
      X->bufEmptyQueue = X->bufReadyQueue = X->bufFillQueue = X->bufFillQueueTail = nullptr;
      X->requestQueue = nullptr;
      if (brix_AllocateIoBuffers(X) != 0) {
        report(71, BRIX_MSG_ERROR, "(%s) error %d trying to init I/O buffers - xfer aborted\n\n", me, -12);
        return failSetup();
      }
    }
    pthread_mutex_lock(&X->controlLock);
    X->transfer_active = 1;
    pthread_mutex_unlock(&X->controlLock);
    if (copyInitSocketsToCtl(X, in->addressCount, in->addressList) < 0) {
      report(71, BRIX_MSG_ERROR, "(%s) error %d trying to setup transfer - xfer aborted\n", me, -12);
      return failSetup();
    }
    recordOwns = true;
    if (issueListens(X) < 0) return failSetup();
    int e = ozugw_ThreadCreate(&ctlId, nullptr, XferCtlThread, X);
    if (e != 0) {
      report(71, BRIX_MSG_ERROR, "(%s) Error %d trying to launch xferCtlThread!\n", me, e);
      return failSetup();
    }
    ctlThread = true;
  }

  // Messages of the data threads must not go to the gateway while its
  // completion may be on the way.
  if (!inlineXfer) brix_DeferGatewayLog(1);
  rc = ozugw_LfxInit(F.remoteFD, in, &reply);
  free(in->fileData);
  in->fileData = nullptr;
  free(in->addressList);
  in->addressList = nullptr;
  in->addressCount = 0;
  free(in);
  if (rc < 0) {
    if (ctlThread) {
      pthread_mutex_lock(&X->controlLock);
      X->abortSignalled++;
      pthread_mutex_unlock(&X->controlLock);
      pthread_join(ctlId, nullptr);
      brix_DeferGatewayLog(0);
    }
    abortLocalTransfer(X, me);
    brix_Log(BRIX_MSG_ERROR, "%s: lfx transfer of %s refused by the gateway (error %d)\n", me,
             F.remotePath ? F.remotePath : "", rc);
    releaseRecordSockets(X);
    freeReply(&reply);
    return rc;
  }

  if (inlineXfer) {
    int result = reply.xferStatus;
    uint64_t moved = 0;
    if (result >= 0 && !isSend(X)) {
      // The data must be exactly the range asked for: never a short success.
      if (reply.fileSize != X->transferLength || (reply.fileSize > 0 && !reply.fileData)) {
        char a[32], b[32];
        snprintf(a, sizeof a, "%s", u64tostrwc(reply.fileSize));
        snprintf(b, sizeof b, "%s", u64tostrwc(X->transferLength));
        report(74, BRIX_MSG_ERROR, "*** %s: %s bytes of %s came inline for %s\n", me, a, b,
               F.remotePath ? F.remotePath : "");
        result = -EIO;
      } else if (reply.fileSize > 0) {
        int w = initWriteLocalFileData(X, reply.fileSize, reply.fileData);
        if (w < 0) {
          report(74, BRIX_MSG_ERROR, "*** %s: error %d writing %s\n", me, -w, F.localPath ? F.localPath : "");
          result = w;
        }
      }
      if (result >= 0) moved = reply.fileSize;
    } else if (result >= 0) {
      moved = X->transferLength;
    }
    X->stopTime = brix_GetTimestamp();
    X->totalBytesMoved = moved;
    freeReply(&reply);
    return result;
  }

  X->startTime = brix_GetTimestamp();
  pthread_join(ctlId, nullptr);
  pthread_mutex_lock(&X->controlLock);
  X->transfer_active = 0;
  int local = X->transfer_result;
  if (local == 0 && X->abortSignalled) local = -1;
  pthread_mutex_unlock(&X->controlLock);
  // A failed transfer closes its data socket: the gateway stops waiting.
  if (local != 0) closeRecordSockets(X);
  ozu_xfer_complete_t done;
  memset(&done, 0, sizeof done);
  int got = ozugw_LfxGetXferReply(&done);
  if (brix_debug_level > 0) fprintf(stderr, "Got xfer response - ioresult = %d\n", done.xferStatus);
  X->stopTime = brix_GetTimestamp();
  brix_DeferGatewayLog(0);
  const uint64_t ours = X->totalBytesMoved;
  int result;
  if (local != 0) {
    result = local;
  } else if (got < 0) {
    report(74, BRIX_MSG_ERROR, "*** %s: error %d reading the completion of the transfer of %s\n", me, got,
           F.remotePath ? F.remotePath : "");
    result = got;
  } else if (done.xferStatus < 0) {
    report(74, BRIX_MSG_ERROR, "*** %s: the gateway failed the transfer of %s (status %d)\n", me,
           F.remotePath ? F.remotePath : "", done.xferStatus);
    result = done.xferStatus;
  } else if (done.bytesXferred != ours || ours != X->transferLength) {
    char a[32], b[32], c[32];
    snprintf(a, sizeof a, "%s", u64tostrwc(ours));
    snprintf(b, sizeof b, "%s", u64tostrwc(done.bytesXferred));
    snprintf(c, sizeof c, "%s", u64tostrwc(X->transferLength));
    report(74, BRIX_MSG_ERROR, "*** %s: %s bytes moved, gateway reports %s of %s for %s\n", me, a, b, c,
           F.remotePath ? F.remotePath : "");
    result = -EIO;
  } else {
    result = done.xferStatus;
  }
  X->totalBytesMoved = result >= 0 ? done.bytesXferred : ours;
  if (result >= 0) copySocketsToPool(X);
  releaseRecordSockets(X);
  freeReply(&reply);
  return result;
}

// The record's entry common to both directions.
int setUpRecord(int IoType, transfer_t* Ctl, int op, int LocalFileFd, const char* LocalPath, int RemoteFd,
                const char* RemotePath, uint64_t SrcOffset, uint64_t SinkOffset, uint64_t XferLength) {
  static const char* me = op == IOP_GET ? "brix_LfxReceiveFile" : "brix_LfxSendFile";
  // A callback transfer's caller set xfer_ctl, and its create side may
  // already read the record: only what differs is written.
  if (IoType == RMTIO_FILE && !xfer_ctl) xfer_ctl = Ctl;
  lfx_file_info_t& F = Ctl->lfxFileInfo;
  if (Ctl->srcOffset != SrcOffset) Ctl->srcOffset = SrcOffset;
  if (Ctl->sinkOffset != SinkOffset) Ctl->sinkOffset = SinkOffset;
  if (Ctl->transferLength != XferLength) Ctl->transferLength = XferLength;
  Ctl->xferOperation = op;
  F.ioType = IoType;
  F.localFD = LocalFileFd;
  F.fileOpen = LocalFileFd >= 0;
  F.currentPos = F.currentFillPos = SrcOffset;
  F.fileUid = brix_UID;
  F.fileGid = brix_GID;
  F.remoteFD = RemoteFd;
  free(F.remotePath);
  F.remotePath = strdup(RemotePath ? RemotePath : "");
  free(F.localPath);
  F.localPath = nullptr;
  F.haveStat = 0;
  if (LocalPath) {
    F.localPath = strdup(LocalPath);
    if (stat(LocalPath, &F.localStat) != 0) {
      int e = errno;
      report(70, BRIX_MSG_ERROR, "%s: [INTERNAL ERROR] file %s is open but stat failed with error %d!\n", me,
             LocalPath, e);
      return -1;
    }
    F.haveStat = 1;
    F.localSize = uint64_t(F.localStat.st_size);
  }
  if (IoType == RMTIO_CALLBACK) F.localSize = XferLength;
  else if (!LocalPath) F.localSize = XferLength;
  F.fileSize = double(F.localSize);
  return 0;
}

}  // namespace

int brix_LfxReceiveFile(int IoType, transfer_t* Ctl, int LocalFileFd, const char* LocalPath, int RemoteFd,
                        const char* RemotePath, uint64_t SrcOffset, uint64_t SinkOffset, uint64_t XferLength,
                        int (*DataCallback)(io_buffer_t* buf)) {
  if (setUpRecord(IoType, Ctl, IOP_GET, LocalFileFd, LocalPath, RemoteFd, RemotePath, SrcOffset, SinkOffset,
                  XferLength) != 0)
    return -1;
  if (IoType == RMTIO_CALLBACK) {
    if (!DataCallback) {
      report(70, BRIX_MSG_ERROR, "%s: [INTERNAL ERROR] Callback-type I/O and callback is NULL!\n",
             "brix_LfxReceiveFile");
      return -1;
    }
    Ctl->lfxFileInfo.writeCallback = DataCallback;
  }
  return commonTransferFunction(Ctl);
}

int brix_LfxSendFile(int IoType, transfer_t* Ctl, int LocalFileFd, const char* LocalPath, const char* RemotePath,
                     uint64_t SrcOffset, uint64_t SinkOffset, uint64_t XferLength, lfx_read_callback_t DataCallback) {
  if (setUpRecord(IoType, Ctl, IOP_PUT, LocalFileFd, LocalPath, -1, RemotePath, SrcOffset, SinkOffset,
                  XferLength) != 0)
    return -1;
  if (IoType == RMTIO_CALLBACK) {
    if (!DataCallback) {
      report(70, BRIX_MSG_ERROR, "%s: [INTERNAL ERROR] Callback-type I/O and callback is NULL!\n",
             "brix_LfxSendFile");
      return -1;
    }
    if (!Ctl->lfxFileInfo.lfxBufRequest.reqLockCreated) {
      int rc = brix_InitConReqEntry(&Ctl->lfxFileInfo.lfxBufRequest);
      if (rc != 0) {
        report(78, BRIX_MSG_ERROR, "%s: brix_InitConReqEntry returned error %d at line %d\n", "brix_LfxSendFile", rc,
               __LINE__);
        return -1;
      }
    }
    Ctl->lfxFileInfo.readCallback = DataCallback;
  }
  return commonTransferFunction(Ctl);
}

void brix_LfxReleaseRecord(transfer_t* Ctl) {
  if (!Ctl) return;
  releaseRecordSockets(Ctl);
  free(Ctl->lfxFileInfo.localPath);
  free(Ctl->lfxFileInfo.remotePath);
  Ctl->lfxFileInfo.localPath = Ctl->lfxFileInfo.remotePath = nullptr;
  brix_CleanupIoBuffers(Ctl);
  if (Ctl->lfxFileInfo.lfxBufRequest.reqLockCreated) brix_CleanReqQueueEntry(&Ctl->lfxFileInfo.lfxBufRequest);
  brix_FreeXferLocks(Ctl);
  if (xfer_ctl == Ctl) xfer_ctl = nullptr;
}

void brix_LfxClosePool(void) {
  std::lock_guard<std::mutex> hold(socketPoolLock);
  while (socketPool) {
    ozu_sockaddr_info_t* e = socketPool;
    socketPool = e->next;
    close(e->socketFD);
    free(e);
  }
}
