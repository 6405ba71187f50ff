// Transfers with a gateway that serves its own file system: one init
// exchange describes the transfer, small files travel inside it, larger
// ones over one direct data connection that a reader and a writer thread
// drive through two alternating buffers, and a completion message ends it.
// Connected data sockets are kept in a process-wide pool so the next file
// of the same command reuses them.
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

#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "ozu_context.h"
#include "ozu_errors.h"
#include "ozu_keyset.h"
#include "ozu_locks.h"
#include "ozu_log.h"
#include "ozurc.h"
#include "ozuvars.h"
#include "qel_threads.h"
#include "quor_api.h"
#include "quor_convert.h"
#include "quor_net.h"
#include "quorcfgx_prototypes.h"
#include "quorcfgx_restrict.h"
#include "xfer_record.h"

#define LFX_CLIENT_CONNECT 0x1u
#define LFX_BACKUP 0x2u
#define LFX_RESTART 0x4u
#define LFX_PRESERVE_TIME 0x8u
#define LFX_CURRENT_TIME 0x18u
#define LFX_PIPE_PUT 0x40u
#define LFX_INLINE_GET 0x40000000u
#define LFX_INLINE_PUT 0x80000000u

namespace {

ozu_sockaddr_info_t *socketPool = nullptr;
std::mutex socketPoolLock;
uint32_t socketPoolId = 1;
bool poolInitialized = false;

// Peers refused on a transfer's data sockets, logged by the transfer's own
// thread once its gateway exchanges are over: the log line is a request on
// the same connection.
std::mutex refusedLock;
std::map<const transfer_t *, std::vector<quor_sockaddr_t>> refusedPeers;

// Messages of the data threads. Reporting logs at the gateway, a request
// on the connection whose completion message may be on its way; only the
// transfer's own thread speaks there, after that message is read.
// Code -1: for the gateway's log alone.
std::map<const transfer_t *, std::vector<std::pair<int, std::string>>> deferred;

void deferReport(const transfer_t *ctl, int code, const char *fmt, ...) __attribute__((format(printf, 3, 4)));
void deferReport(const transfer_t *ctl, int code, const char *fmt, ...)
{
  char msg[4400];
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(msg, sizeof msg, fmt, ap);
  va_end(ap);
  std::lock_guard<std::mutex> hold(refusedLock);
  deferred[ctl].emplace_back(code, msg);
}

void flushReports(const transfer_t *ctl)
{
  std::vector<std::pair<int, std::string>> msgs;
  {
    std::lock_guard<std::mutex> hold(refusedLock);
    auto it = deferred.find(ctl);
    if (it == deferred.end())
      return;
    msgs.swap(it->second);
    deferred.erase(it);
  }
  for (auto &m : msgs) {
    if (m.first < 0)
      quor_Logmsg(0x3000, 0x2000000, m.second.c_str());
    else
      setExitResult(m.first, m.second.c_str(), 7);
  }
}

void logRefusedPeers(const transfer_t *ctl)
{
  flushReports(ctl);
  std::vector<quor_sockaddr_t> peers;
  {
    std::lock_guard<std::mutex> hold(refusedLock);
    auto it = refusedPeers.find(ctl);
    if (it == refusedPeers.end())
      return;
    peers.swap(it->second);
    refusedPeers.erase(it);
  }
  for (quor_sockaddr_t &p : peers)
    quorex_IsConnectionAllowed(&p.hs_addr, 1, "acceptConnections");
}

bool isPut(const transfer_t *ctl) { return ctl->xferOperation == IOP_PUT; }

// A put whose source is a pipe: its length is unknown until its end.
bool pipedPut(const transfer_t *ctl) { return isPut(ctl) && ctl->localFile.pipedFile; }

int abortedNow(transfer_t *ctl)
{
  pthread_mutex_lock(&ctl->abortLock);
  int a = ctl->abortSignalled;
  pthread_mutex_unlock(&ctl->abortLock);
  return a;
}

// The first nonzero result stays; an aborting thread raises the flag.
void endThread(transfer_t *ctl, int result, bool aborted)
{
  pthread_mutex_lock(&ctl->abortLock);
  if (ctl->transfer_result == 0)
    ctl->transfer_result = result;
  if (aborted)
    ctl->abortSignalled++;
  pthread_mutex_unlock(&ctl->abortLock);
}

void abortLocalTransfer(transfer_t *ctl, const char *caller)
{
  pthread_mutex_lock(&ctl->abortLock);
  ctl->abortSignalled = 1;
  pthread_mutex_unlock(&ctl->abortLock);
  ozu_ReportExit(74, "*** %s called - aborting transfer", caller);
}

void setBlocking(int fd)
{
  int fl = fcntl(fd, F_GETFL);
  if (fl >= 0 && (fl & O_NONBLOCK))
    fcntl(fd, F_SETFL, fl & ~O_NONBLOCK);
}

std::string universal(const quor_sockaddr_t *a)
{
  char buf[128] = "";
  quor_net_getuniversaladdress(a, buf, int(sizeof buf), nullptr, 0);
  return buf;
}

void debugSocketConnect(int fd, bool inbound, const quor_sockaddr_t *a)
{
  if (debug < 3)
    return;
  ozu_LockListingFile();
  fprintf(listF, "/debug/local file xfer: FD %d %s %s\n", fd,
          inbound ? "Inbound connection from" : "Outbound connection to", universal(a).c_str());
  ozu_UnlockListingFile();
}

void debugSockBufsize(int fd, const char *phase)
{
  if (debug < 3)
    return;
  int snd = 0, rcv = 0;
  socklen_t len = sizeof snd;
  if (getsockopt(fd, SOL_SOCKET, SO_SNDBUF, &snd, &len) != 0) {
    ozu_ReportExit(74, "%s: getsockopt(SO_SNDBUF) call for FD %d failed - errno=%d!\n", phase, fd, errno);
    return;
  }
  len = sizeof rcv;
  if (getsockopt(fd, SOL_SOCKET, SO_RCVBUF, &rcv, &len) != 0) {
    ozu_ReportExit(74, "%s: getsockopt(SO_RCVBUF) call for FD %d failed - errno=%d!\n", phase, fd, errno);
    return;
  }
  ozu_LockListingFile();
  fprintf(listF, "%s: socket %d  SNDBUF size = %d  RCVBUF size = %d\n", phase, fd, snd, rcv);
  ozu_UnlockListingFile();
}

// ---- socket pool ----

void addSocketToPool(const ozu_sockaddr_info_t *entry)
{
  auto *copy = static_cast<ozu_sockaddr_info_t *>(malloc(sizeof(ozu_sockaddr_info_t)));
  if (copy == nullptr) {
    ozu_MallocError(long(sizeof(ozu_sockaddr_info_t)), "addSocketToPool", __FILE__, __LINE__);
    fprintf(errFile, "***%s: Unable to add socket to reuse pool for file descriptor %d\n",
            "addSocketToPool", entry->socketFD);
    close(entry->socketFD);
    return;
  }
  *copy = *entry;
  copy->next = nullptr;
  std::lock_guard<std::mutex> hold(socketPoolLock);
  ozu_sockaddr_info_t **tail = &socketPool;
  while (*tail != nullptr)
    tail = &(*tail)->next;
  *tail = copy;
}

void freePoolSockets(void)
{
  std::lock_guard<std::mutex> hold(socketPoolLock);
  while (socketPool != nullptr) {
    ozu_sockaddr_info_t *e = socketPool;
    socketPool = e->next;
    close(e->socketFD);
    free(e);
  }
}

// Hands the record's connected sockets to the pool; sockets of no pool id
// are closed.
void copySocketsToPool(transfer_t *ctl)
{
  for (int i = 0; i < ctl->controlSockCount; ++i) {
    nw_sock_struct_t *s = &ctl->controlSockAddr[i];
    if (!s->connected)
      continue;
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

// Closes every socket the record still holds: after a failure none of them
// is in a known state, so none goes back to the pool.
void closeRecordSockets(transfer_t *ctl)
{
  for (int i = 0; i < ctl->controlSockCount; ++i) {
    nw_sock_struct_t *s = &ctl->controlSockAddr[i];
    if (s->socketFD >= 0)
      close(s->socketFD);
    s->socketFD = -1;
    s->connected = 0;
  }
}

void releaseRecordSockets(transfer_t *ctl)
{
  closeRecordSockets(ctl);
  free(ctl->controlSockAddr);
  ctl->controlSockAddr = nullptr;
  ctl->controlSockCount = 0;
}

// Resolves preConnected entries of the gateway's answer against the pool.
// An id not in the pool fails the whole list (nothing is taken then).
int findPoolSockets(const transfer_t *ctl, int count, ozu_sockaddr_info_t *list)
{
  std::lock_guard<std::mutex> hold(socketPoolLock);
  for (int i = 0; i < count; ++i) {
    if (!list[i].preConnected)
      continue;
    bool found = false;
    for (ozu_sockaddr_info_t *p = socketPool; p != nullptr; p = p->next)
      if (p->poolID == list[i].poolID)
        found = true;
    if (!found) {
      deferReport(ctl, 71, "*** %s: INTERNAL ERROR. Cannot find pool entry ID %d on socketPool list\n",
             "findPoolSockets", int(list[i].poolID));
      return -1;
    }
  }
  for (int i = 0; i < count; ++i) {
    if (!list[i].preConnected)
      continue;
    for (ozu_sockaddr_info_t **pp = &socketPool; *pp != nullptr; pp = &(*pp)->next) {
      ozu_sockaddr_info_t *p = *pp;
      if (p->poolID == list[i].poolID) {
        list[i].socketFD = p->socketFD;
        list[i].socketAddr = p->socketAddr;
        *pp = p->next;
        free(p);
        break;
      }
    }
  }
  return 0;
}

// One data socket: the pool's head, or a new listen socket.
int createListenSockets(transfer_t *, int *count, ozu_sockaddr_info_t **list)
{
  *count = 0;
  *list = nullptr;
  auto *e = static_cast<ozu_sockaddr_info_t *>(calloc(1, sizeof(ozu_sockaddr_info_t)));
  if (e == nullptr) {
    ozu_MallocError(long(sizeof *e), "createListenSockets", __FILE__, __LINE__);
    return -12;
  }
  {
    std::lock_guard<std::mutex> hold(socketPoolLock);
    if (socketPool != nullptr) {
      ozu_sockaddr_info_t *head = socketPool;
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
    for (int attempt = 0; attempt < 100; ++attempt) {
      rc = ozu_GetListenSocket(0, 1, &fd, &addr);
      if (rc != -98 && rc != -99)
        break;
      ozugw_ThreadSleep(0, 100000);
    }
    if (rc < 0) {
      fprintf(errFile, "***%s: Unable to obtain a listen socket (error %d)- aborting transfer\n",
              "createListenSockets", rc);
      free(e);
      return -1;
    }
    e->addressType = 2;
    e->preConnected = 0;
    e->socketFD = fd;
    e->socketAddr = addr;
    std::lock_guard<std::mutex> hold(socketPoolLock);
    e->poolID = socketPoolId++;
  }
  *count = 1;
  *list = e;
  return 0;
}

// fromGateway: the descriptor numbers of entries not preConnected are the
// gateway's, never to be used here.
int copyInitSocketsToCtl(transfer_t *ctl, int count, const ozu_sockaddr_info_t *list, bool fromGateway)
{
  releaseRecordSockets(ctl);
  if (count <= 0)
    return 0;
  auto *s = static_cast<nw_sock_struct_t *>(calloc(size_t(count), sizeof(nw_sock_struct_t)));
  if (s == nullptr)
    return -12;
  for (int i = 0; i < count; ++i) {
    s[i].connected = list[i].preConnected;
    s[i].poolID = int32_t(list[i].poolID);
    s[i].socketFD = fromGateway && !list[i].preConnected ? -1 : list[i].socketFD;
    s[i].socketSockAddr = list[i].socketAddr;
  }
  ctl->controlSockAddr = s;
  ctl->controlSockCount = count;
  return 0;
}

int issueListens(transfer_t *ctl)
{
  for (int i = 0; i < ctl->controlSockCount; ++i) {
    nw_sock_struct_t *s = &ctl->controlSockAddr[i];
    if (s->connected)
      continue;
    for (;;) {
      if (quor_net_listen(s->socketFD, 4096, nullptr, 0) == 0)
        break;
      if (errno == EAGAIN || errno == EINTR)
        continue;
      ozu_ReportExit(71, "*** %s: Unrecoverable error %d on <quor_net_listen> call\n", "issueListens", errno);
      return -1;
    }
  }
  return 0;
}

int issueConnects(transfer_t *ctl)
{
  for (int i = 0; i < ctl->controlSockCount; ++i) {
    nw_sock_struct_t *s = &ctl->controlSockAddr[i];
    if (s->connected)
      continue;
    char err[256] = "";
    int fd;
    for (;;) {
      fd = quor_net_socket(&s->socketSockAddr, SOCK_STREAM, 0, err, sizeof err);
      if (fd >= 0)
        break;
      if (errno == EAGAIN || errno == EINTR)
        continue;
      int e = errno;
      fprintf(stderr, "*** %s: quor_net_socket returned error %d [%s]\n", "issueConnects", e, err);
      return e ? -e : -1;
    }
    s->socketFD = fd;
    quorcfgx_NetoptSetSock(fd, &s->socketSockAddr);
    debugSockBufsize(fd, "Pre-Connect");
    for (;;) {
      if (quor_net_connect(fd, &s->socketSockAddr, err, sizeof err) == 0)
        break;
      if (errno == EAGAIN || errno == EINTR)
        continue;
      int e = errno;
      deferReport(ctl, 71, "*** %s: Unrecoverable error %d on <connect> to %s\n", "issueConnects", e,
             universal(&s->socketSockAddr).c_str());
      return e ? -e : -1;
    }
    setBlocking(fd);
    quorcfgx_NetoptSetSock(fd, &s->socketSockAddr);
    debugSockBufsize(fd, "Post-Connect");
    debugSocketConnect(fd, false, &s->socketSockAddr);
    s->connected = 1;
  }
  return 0;
}

// Waits for the gateway's connections: 0, -110 after 60 seconds (as the
// library's clock counts them), -1 on an abort, or a failure.
int acceptConnections(transfer_t *ctl)
{
  const int serial = ctl->xferSerialNumber;
  int waited = 0;
  for (;;) {
    fd_set set;
    FD_ZERO(&set);
    int maxfd = -1, pending = 0;
    for (int i = 0; i < ctl->controlSockCount; ++i) {
      nw_sock_struct_t *s = &ctl->controlSockAddr[i];
      if (s->connected)
        continue;
      FD_SET(s->socketFD, &set);
      maxfd = std::max(maxfd, s->socketFD);
      pending++;
    }
    if (pending == 0) {
      if (debug >= 1)
        fprintf(listF, "/debug/[%d] all sockets connected = exiting <accept>\n", serial);
      return 0;
    }
    // One second of the library's clock per tick.
    long usec = long(1000000.0 / qelapi_time_scale());
    if (usec < 1000)
      usec = 1000;
    struct timeval tv = {usec / 1000000, usec % 1000000};
    int n = select(maxfd + 1, &set, nullptr, nullptr, &tv);
    if (n < 0) {
      if (errno == EINTR || errno == EAGAIN)
        continue;
      int e = errno;
      deferReport(ctl, 71, "*** %s: [%d]error %d on select() for %d socket descriptors\n", "acceptConnections",
             serial, e, pending);
      return -e;
    }
    if (n == 0) {
      if (++waited >= 60) {
        if (debug >= 1)
          fprintf(listF, "/debug/[%d] timeout after %d seconds - error out of <accept>\n", serial, 60);
        return -110;
      }
      if (abortedNow(ctl)) {
        if (debug >= 1)
          fprintf(listF, "/debug/[%d] detected <abort> flag - error out of <accept>\n", serial);
        return -1;
      }
      continue;
    }
    if (debug >= 1)
      fprintf(listF, "/debug/[%d] %d sockets ready to accept()\n", serial, n);
    for (int i = 0; i < ctl->controlSockCount; ++i) {
      nw_sock_struct_t *s = &ctl->controlSockAddr[i];
      if (s->connected || !FD_ISSET(s->socketFD, &set))
        continue;
      if (debug >= 1)
        fprintf(listF, "/debug/[%d] socket FD %d ready for accept()\n", serial, s->socketFD);
      quor_sockaddr_t peer;
      int fd;
      for (;;) {
        fd = quor_net_accept(s->socketFD, &peer, nullptr, 0);
        if (fd >= 0 || (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK))
          break;
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
          fd = -2;
          break;
        }
      }
      if (fd == -2)
        continue;
      if (fd < 0) {
        int e = errno;
        deferReport(ctl, 71, "*** %s: [%d] error %d on accept for FD %d\n", "acceptConnections", serial, e,
               s->socketFD);
        return -e;
      }
      // Only the addresses the site allows may hand or take file data; a
      // refused peer is dropped and the listen socket waits on.
      if (!quorex_IsConnectionAllowed(&peer.hs_addr, 0, "acceptConnections")) {
        close(fd);
        std::lock_guard<std::mutex> hold(refusedLock);
        refusedPeers[ctl].push_back(peer);
        continue;
      }
      if (debug >= 1)
        fprintf(listF, "/debug/[%d] accept for socket FD %d ok - new FD=%d\n", serial, s->socketFD, fd);
      close(s->socketFD);
      setBlocking(fd);
      s->socketFD = fd;
      s->socketSockAddr = peer;
      s->connected = 1;
      quorcfgx_NetoptSetSock(fd, &peer);
      debugSocketConnect(fd, true, &peer);
      debugSockBufsize(fd, "Post-Accept");
    }
  }
}

// ---- data phase ----

// Waits until fd is ready for dir or the transfer aborts: 1 ready, 0 aborted.
int waitReady(transfer_t *ctl, int fd, short dir)
{
  for (;;) {
    struct pollfd p = {fd, dir, 0};
    int n = poll(&p, 1, 200);
    if (n > 0)
      return 1;
    if (n < 0 && errno != EINTR)
      return 1;  // the call itself reports the error
    if (abortedNow(ctl))
      return 0;
  }
}

ssize_t readSome(transfer_t *ctl, int fd, bool sock, char *buf, size_t len)
{
  if (!sock)
    return ozu_LocalRead(fd, buf, len);
  if (!waitReady(ctl, fd, POLLIN)) {
    errno = ECANCELED;
    return -1;
  }
  return recv(fd, buf, len, 0);
}

ssize_t writeSome(transfer_t *ctl, int fd, bool sock, const char *buf, size_t len)
{
  if (!sock)
    return ozu_LocalWrite(fd, buf, len);
  if (!waitReady(ctl, fd, POLLOUT)) {
    errno = ECANCELED;
    return -1;
  }
  return send(fd, buf, len, MSG_NOSIGNAL);
}

void *XferReadThread(void *arg)
{
  transfer_t *ctl = static_cast<transfer_t *>(arg);
  const bool put = isPut(ctl);
  const int fd = put ? ctl->localFile.localFD : ctl->controlSockAddr[0].socketFD;
  uint64_t remaining = ctl->transferLength;
  if (pipedPut(ctl) && remaining == 0)
    remaining = UINT64_MAX;
  uint64_t discard = pipedPut(ctl) ? uint64_t(ctl->srcOffset) : 0;
  const uint32_t chunk = uint32_t(ctl->rwbuf[0].bufSize);
  int result = 0;
  bool aborted = false;
  int cur = 0;  // the first move of the alternation lands on the second buffer
  io_buffer_t *b = &ctl->rwbuf[1];
  bool holding = false;
  while (remaining > 0 && !aborted) {
    // While discarding, the reader keeps its buffer: the first data after
    // the discarded stretch go into it.
    if (!holding) {
      cur ^= 1;
      b = &ctl->rwbuf[cur];
      pthread_mutex_lock(&b->bufLock);
      while (b->state == 2 && !ctl->abortSignalled)
        pthread_cond_wait(&b->bufCond, &b->bufLock);
      bool stop = ctl->abortSignalled != 0;
      pthread_mutex_unlock(&b->bufLock);
      if (stop)
        break;
      holding = true;
    }
    b->bufFlags &= ~BUF_EOD;
    size_t want = discard > 0 ? size_t(std::min<uint64_t>(chunk, discard))
                              : size_t(std::min<uint64_t>(chunk, remaining));
    b->dataLength = 0;
    bool eof = false;
    while (b->dataLength < want) {
      ssize_t n = readSome(ctl, fd, !put, b->buffer + b->dataLength, want - b->dataLength);
      if (n == 0) {
        eof = true;
        if (debug >= 3)
          fprintf(listF, "***[read_local_normal_thread] EOF detected on input file]\n");
        break;
      }
      if (n < 0) {
        if (errno == EAGAIN || errno == EINTR || errno == EINPROGRESS || errno == EALREADY) {
          if (errno == EAGAIN)
            waitReady(ctl, fd, POLLIN);
          continue;
        }
        int e = errno;
        if (e != ECANCELED) {
          char what[128];
          snprintf(what, sizeof what, "reading %d bytes at offset %s", int(want - b->dataLength),
                   u64tostrwc(ctl->localFile.currentPos));
          quor_perror(-e, "local read", what, errFile);
        }
        result = -e;
        aborted = true;
        break;
      }
      b->dataLength += uint32_t(n);
      if (put)
        ctl->localFile.currentPos += uint64_t(n);
    }
    if (discard > 0) {
      discard -= std::min<uint64_t>(discard, b->dataLength);
      if (!eof && !aborted)
        continue;
      if (debug >= 1)
        fprintf(listF, "/debug/hit EOF or abort during pipe prepositioning\n");
      b->dataLength = 0;
      remaining = 0;
    } else if (eof || aborted) {
      remaining = 0;
    } else {
      remaining -= std::min<uint64_t>(remaining, b->dataLength);
    }
    pthread_mutex_lock(&b->bufLock);
    if (remaining == 0 || eof || aborted)
      b->bufFlags |= BUF_EOD;
    b->state = 2;
    pthread_cond_signal(&b->bufCond);
    pthread_mutex_unlock(&b->bufLock);
    holding = false;
  }
  endThread(ctl, result, aborted);
  for (io_buffer_t &o : ctl->rwbuf) {
    pthread_mutex_lock(&o.bufLock);
    pthread_cond_broadcast(&o.bufCond);
    pthread_mutex_unlock(&o.bufLock);
  }
  ctl->read_active = 0;
  return nullptr;
}

void *XferWriteThread(void *arg)
{
  transfer_t *ctl = static_cast<transfer_t *>(arg);
  const bool put = isPut(ctl);
  const int fd = put ? ctl->controlSockAddr[0].socketFD : ctl->localFile.localFD;
  const char *path = put ? ctl->quorFile.quorPath : ctl->localFile.localPath;
  uint64_t *pos = put ? &ctl->quorFile.currentPos : &ctl->localFile.currentPos;
  int result = 0;
  bool aborted = false;
  int cur = 0;
  for (;;) {
    cur ^= 1;
    io_buffer_t *b = &ctl->rwbuf[cur];
    pthread_mutex_lock(&b->bufLock);
    while (b->state != 2 && !ctl->abortSignalled)
      pthread_cond_wait(&b->bufCond, &b->bufLock);
    bool stop = ctl->abortSignalled != 0;
    pthread_mutex_unlock(&b->bufLock);
    if (stop) {
      aborted = true;
      break;
    }
    uint32_t done = 0;
    int eioRetries = 0;
    while (done < b->dataLength && !aborted) {
      ssize_t n = writeSome(ctl, fd, put, b->buffer + done, b->dataLength - done);
      if (n >= 0) {
        done += uint32_t(n);
        *pos += uint64_t(n);
        ctl->totalBytesMoved += uint64_t(n);
        ctl->currentSrcOffset = ctl->currentSrcAddr + ctl->totalBytesMoved;
        continue;
      }
      int e = errno;
      if (e == EAGAIN || e == EINTR) {
        if (e == EAGAIN)
          waitReady(ctl, fd, POLLOUT);
        continue;
      }
      if (e == ECANCELED) {
        aborted = true;
        break;
      }
      if (e == ENOSPC) {
        ozugw_ThreadSleep(10, 0);
        continue;
      }
      if (e == EIO && eioRetries < 10) {
        ++eioRetries;
        char msg[4400];
        snprintf(msg, sizeof msg, "%s: EIO error on write for %s. Retrying (pos=%llu)", "XferWriteThread",
                 path, (unsigned long long)*pos);
        deferReport(ctl, debug == 0 ? -1 : 0, "%s", msg);
        ozugw_ThreadSleep(10 * eioRetries, 0);
        if (!put) {
          if (lseek(fd, off_t(*pos), SEEK_SET) < 0 && !ctl->localFile.pipedFile) {
            int le = errno;
            deferReport(ctl, 74, "*** %s: unable to reposition file %s to offset %lld after write error",
                   "XferWriteThread", path, (long long)*pos);
            result = -le;
            aborted = true;
            break;
          }
          if (debug >= 1)
            fprintf(listF, "/debug/%s: successfully repositioned %s to file offset %lld - retrying write\n",
                    "XferWriteThread", path, (long long)*pos);
        }
        continue;
      }
      if (e == EIO) {
        deferReport(ctl, 74, "***%s: Fatal EIO error on write for %s at offset=%s", "XferWriteThread", path,
               u64tostrwc(*pos));
        result = -EIO;
      } else {
        deferReport(ctl, 74, "***%s: unrecovered error %d writing %d bytes at offset %s", "XferWriteThread", e,
               int(b->dataLength - done), u64tostrwc(*pos));
        result = -e;
      }
      aborted = true;
    }
    bool last = (b->bufFlags & BUF_EOD) != 0;
    if (last || aborted)
      break;
    pthread_mutex_lock(&b->bufLock);
    b->state = 1;
    pthread_cond_signal(&b->bufCond);
    pthread_mutex_unlock(&b->bufLock);
  }
  endThread(ctl, result, aborted && result != 0);
  for (io_buffer_t &o : ctl->rwbuf) {
    pthread_mutex_lock(&o.bufLock);
    pthread_cond_broadcast(&o.bufCond);
    pthread_mutex_unlock(&o.bufLock);
  }
  ctl->write_active = 0;
  return nullptr;
}

void *XferCtlThread(void *arg)
{
  transfer_t *ctl = static_cast<transfer_t *>(arg);
  int result = 0;
  if (!(ctl->Flags & FX_CLIENT_CONNECT)) {
    result = acceptConnections(ctl);
    if (result < 0) {
      deferReport(ctl, 71, "*** %s: error %d accepting %d connections from server", "XferCtlThread", result,
             ctl->controlSockCount);
      endThread(ctl, result, true);
    }
  }
  if (result == 0) {
    pthread_attr_t attr;
    ozu_ThreadAttrInit(&attr);
    pthread_t reader, writer;
    ctl->read_active = 1;
    if (ozu_ThreadCreate(&reader, &attr, XferReadThread, ctl) != 0) {
      fprintf(errFile, "*** %s: error %d starting read thread\n", "XferCtlThread", errno);
      ctl->read_active = 0;
      endThread(ctl, -1, true);
    } else {
      ctl->write_active = 1;
      if (ozu_ThreadCreate(&writer, &attr, XferWriteThread, ctl) != 0) {
        fprintf(errFile, "*** %s: error %d starting file write thread\n", "XferCtlThread", errno);
        ctl->write_active = 0;
        // The reader ends at its next wait once the abort is raised.
        endThread(ctl, -1, true);
        for (io_buffer_t &o : ctl->rwbuf) {
          pthread_mutex_lock(&o.bufLock);
          pthread_cond_broadcast(&o.bufCond);
          pthread_mutex_unlock(&o.bufLock);
        }
        pthread_join(reader, nullptr);
      } else {
        pthread_join(reader, nullptr);
        pthread_join(writer, nullptr);
      }
    }
    pthread_attr_destroy(&attr);
  }
  pthread_mutex_lock(&ctl->abortLock);
  ctl->transfer_active = 0;
  pthread_cond_broadcast(&ctl->abortCondition);
  pthread_mutex_unlock(&ctl->abortLock);
  return nullptr;
}

// ---- init record ----

int initReadLocalFileData(transfer_t *ctl, uint64_t length, char **data)
{
  *data = nullptr;
  if (length == 0)
    return 0;
  char *buf = nullptr;
  for (int attempt = 0; attempt < 50; ++attempt) {
    buf = static_cast<char *>(malloc(size_t(length)));
    if (buf != nullptr)
      break;
    ozugw_ThreadSleep(0, 100000);
  }
  if (buf == nullptr)
    return -12;
  uint64_t got = 0;
  while (got < length) {
    ssize_t n = ozu_LocalRead(ctl->localFile.localFD, buf + got, size_t(length - got));
    if (n < 0 && (errno == EAGAIN || errno == EINTR))
      continue;
    if (n < 0) {
      int e = errno;
      free(buf);
      return -e;
    }
    // A file that ends before its length was read: never a short success.
    if (n == 0) {
      free(buf);
      return -5;
    }
    got += uint64_t(n);
  }
  ctl->localFile.currentPos += length;
  *data = buf;
  return 0;
}

int initWriteLocalFileData(transfer_t *ctl, uint64_t length, const char *data)
{
  uint64_t done = 0;
  while (done < length) {
    ssize_t n = ozu_LocalWrite(ctl->localFile.localFD, data + done, size_t(length - done));
    if (n < 0 && (errno == EAGAIN || errno == EINTR))
      continue;
    if (n < 0)
      return -errno;
    done += uint64_t(n);
  }
  ctl->localFile.currentPos += length;
  return 0;
}

int buildInitInfo(transfer_t *ctl, ozu_xfer_init_info_t *in)
{
  memset(in, 0, sizeof *in);
  const bool put = isPut(ctl);
  in->xferOperation = put ? 0 : 1;
  ozu_context_t *ctx = ozu_XferContext(ctl);
  if (ctx != nullptr && ctx->firewallMode && ctx->xconnector == 1)
    in->flags |= LFX_CLIENT_CONNECT;
  if (keyset != nullptr && keyset->backup)
    in->flags |= LFX_BACKUP;
  if (ctl->Flags & FX_RETRANSFER_REQ)
    in->flags |= LFX_RESTART;
  if (ctl->Flags & FX_PRESERVE_TIME)
    in->flags |= LFX_PRESERVE_TIME;
  if (ctl->Flags & FX_CURRENT_TIME)
    in->flags |= LFX_CURRENT_TIME;
  snprintf(in->pathName, sizeof in->pathName, "%s", ctl->quorFile.quorPath ? ctl->quorFile.quorPath : "");
  if (put) {
    if (ctl->localFile.pipedFile)
      in->flags |= LFX_PIPE_PUT;
    else
      in->fileSize = int64_t(ctl->localFile.localSize);
  }
  in->srcOffset = ctl->srcOffset;
  in->sinkOffset = ctl->sinkOffset;
  in->xferLength = ctl->transferLength;
  in->mode = ozugw_LocalModeToInterchangeMode(uint32_t(ctl->srcMode));
  in->uid = uint32_t(ctl->localFile.localStat.st_uid);
  in->gid = uint32_t(ctl->localFile.localStat.st_gid);
  const uint64_t limit = uint64_t(globalDefs.maxSmallFileSize);
  if (!put && in->xferLength <= limit) {
    in->flags |= LFX_INLINE_GET;
  } else if (put && !ctl->localFile.pipedFile && in->xferLength <= limit) {
    int rc = initReadLocalFileData(ctl, in->xferLength, &in->fileData);
    if (rc < 0)
      return rc;
    in->flags |= LFX_INLINE_PUT;
  }
  if (!(in->flags & (LFX_INLINE_GET | LFX_INLINE_PUT | LFX_CLIENT_CONNECT))) {
    int rc = createListenSockets(ctl, &in->addressCount, &in->addressList);
    if (rc < 0) {
      free(in->fileData);
      in->fileData = nullptr;
      return rc;
    }
  }
  return 0;
}

// Gives sockets taken from the pool for an init that never went out back
// to it, closes new ones.
void returnInitSockets(ozu_xfer_init_info_t *in)
{
  for (int i = 0; i < in->addressCount; ++i) {
    if (in->addressList[i].preConnected)
      addSocketToPool(&in->addressList[i]);
    else
      close(in->addressList[i].socketFD);
  }
  free(in->addressList);
  in->addressList = nullptr;
  in->addressCount = 0;
}

void freeReply(ozu_xfer_init_reply_t *r)
{
  free(r->addressList);
  free(r->fileData);
  r->addressList = nullptr;
  r->fileData = nullptr;
}

void cleanBuffers(transfer_t *ctl)
{
  ozu_clean_rw_buf(ctl, &ctl->rwbuf[1]);
  ozu_clean_rw_buf(ctl, &ctl->rwbuf[0]);
}

int commonTransferFunction(transfer_t *ctl)
{
  const char *me = "commonTransferFunction";
  if (ozu_InitXferLocks(ctl) < 0) {
    ozu_ReportExit(71, "*** %s: error(s) initializing control structure - xfer aborted\n", me);
    return -1;
  }
  ctl->abortSignalled = 0;
  ctl->transfer_result = 0;
  ctl->totalBytesMoved = 0;
  ctl->currentSrcAddr = ctl->srcOffset.load();
  ctl->quorFile.currentPos = ctl->sinkOffset;
  auto *in = static_cast<ozu_xfer_init_info_t *>(calloc(1, sizeof(ozu_xfer_init_info_t)));
  if (in == nullptr) {
    ozu_MallocError(long(sizeof(ozu_xfer_init_info_t)), me, __FILE__, __LINE__);
    return -1;
  }
  ozu_xfer_init_reply_t reply;
  memset(&reply, 0, sizeof reply);
  int rc = buildInitInfo(ctl, in);
  if (rc < 0) {
    ozu_ReportExit(71, "*** %s: error %d trying to setup transfer - xfer aborted\n", me, rc);
    free(in);
    return -1;
  }
  const bool inlineXfer = (in->flags & (LFX_INLINE_GET | LFX_INLINE_PUT)) != 0;
  const bool clientConnect = (in->flags & LFX_CLIENT_CONNECT) != 0;
  bool ctlThread = false;
  pthread_t ctlId;
  int result = 0;

  auto startCtlThread = [&]() -> int {
    pthread_attr_t attr;
    ozu_ThreadAttrInit(&attr);
    int e = ozu_ThreadCreate(&ctlId, &attr, XferCtlThread, ctl);
    pthread_attr_destroy(&attr);
    if (e != 0) {
      ozu_ReportExit(71, "*** %s: Error %d trying to launch xferCtlThread!\n", me, e);
      return -1;
    }
    ctlThread = true;
    return 0;
  };
  bool recordOwns = false;  // the record holds the init's sockets
  auto failSetup = [&]() {
    if (recordOwns) {
      free(in->addressList);
      in->addressList = nullptr;
    } else {
      returnInitSockets(in);
    }
    releaseRecordSockets(ctl);
    cleanBuffers(ctl);
    free(in->fileData);
    free(in);
    return -1;
  };

  if (inlineXfer) {
    ctl->startTime = ozu_GetTimestamp();
  } else {
    // A file smaller than the configured buffer needs no more than itself
    // (whole pages): two full-size buffers per small file cost more to map
    // than to fill.
    if (!(keyset && keyset->iobufsize) && !pipedPut(ctl)) {
      int64_t conf = ctl->bufSize ? ctl->bufSize : (globalDefs.iobufSize > 0 ? globalDefs.iobufSize : 8 << 20);
      uint64_t want = (uint64_t(ctl->transferLength) + 65535) & ~uint64_t(65535);
      if (want < uint64_t(conf))
        ctl->bufSize = int32_t(want);
    }
    for (int i = 0; i < 2; ++i) {
      if (ozu_InitRwBuf(ctl, &ctl->rwbuf[i], 0) < 0) {
        ozu_ReportExit(71, "*** %s: error %d trying to init buffer[%d] - xfer aborted\n", me, -12, i);
        return failSetup();
      }
    }
    ctl->transfer_active = 1;
    if (copyInitSocketsToCtl(ctl, in->addressCount, in->addressList, false) < 0) {
      ozu_ReportExit(71, "*** %s: error %d trying to setup transfer - xfer aborted\n", me, -12);
      return failSetup();
    }
    recordOwns = true;
    if (clientConnect) {
      ctl->Flags |= FX_CLIENT_CONNECT;
    } else {
      if (issueListens(ctl) < 0 || startCtlThread() < 0)
        return failSetup();
    }
  }

  rc = ozugw_LfxInit(-1, in, &reply);
  free(in->fileData);
  in->fileData = nullptr;
  free(in->addressList);
  in->addressList = nullptr;
  in->addressCount = 0;
  if (rc < 0) {
    abortLocalTransfer(ctl, me);
    setExitResult(74, quor_perror(rc, "ozugw_LfxInit", ctl->quorFile.quorPath, nullptr), 7);
    if (ctlThread)
      pthread_join(ctlId, nullptr);
    logRefusedPeers(ctl);
    releaseRecordSockets(ctl);
    cleanBuffers(ctl);
    freeReply(&reply);
    free(in);
    return -1;
  }

  if (inlineXfer) {
    result = reply.xferStatus;
    if (!isPut(ctl)) {
      if (result == 0 && reply.fileSize != ctl->transferLength) {
        char a[32], b[32];
        ozu_ReportExit(74, "*** %s: %s bytes of %s came for %s\n", me, u64tostr_r(reply.fileSize, a),
               u64tostr_r(ctl->transferLength, b), ctl->quorFile.quorPath);
        result = -5;
      }
      if (result == 0 && reply.fileSize > 0) {
        int w = initWriteLocalFileData(ctl, reply.fileSize, reply.fileData);
        if (w < 0) {
          setExitResult(74, quor_perror(w, "local write", ctl->localFile.localPath, nullptr), 7);
          result = w;
        }
      }
    }
    ctl->stopTime = ozu_GetTimestamp();
    ctl->totalBytesMoved = result == 0 ? reply.fileSize : 0;
    freeReply(&reply);
    free(in);
    return result;
  }

  ctl->startTime = ozu_GetTimestamp();
  if (clientConnect) {
    int local = findPoolSockets(ctl, reply.addressCount, reply.addressList);
    if (local == 0)
      local = copyInitSocketsToCtl(ctl, reply.addressCount, reply.addressList, true);
    if (local == 0)
      local = issueConnects(ctl);
    if (local == 0 && startCtlThread() < 0)
      local = -1;
    if (local < 0) {
      // The gateway's side of the data phase ends when these close.
      closeRecordSockets(ctl);
      endThread(ctl, local, true);
    }
  }
  if (ctlThread)
    pthread_join(ctlId, nullptr);
  ctl->transfer_active = 0;
  int local = ctl->transfer_result;
  // A piped put ends its data by closing its side of the socket for
  // writing; a failed one closes the socket so the gateway stops waiting.
  if (local != 0 || ctl->abortSignalled)
    closeRecordSockets(ctl);
  else if (pipedPut(ctl) && ctl->controlSockCount > 0 && ctl->controlSockAddr[0].socketFD >= 0)
    shutdown(ctl->controlSockAddr[0].socketFD, SHUT_WR);

  ozu_xfer_complete_t done;
  memset(&done, 0, sizeof done);
  int got = ozugw_LfxGetXferReply(&done);
  if (debug >= 1)
    fprintf(listF, "Got xfer response - ioresult = %d\n", done.xferStatus);
  ctl->stopTime = ozu_GetTimestamp();
  logRefusedPeers(ctl);
  uint64_t ours = ctl->totalBytesMoved;
  ctl->totalBytesMoved = done.bytesXferred;
  if (local != 0 || ctl->abortSignalled) {
    result = local != 0 ? local : -1;
  } else if (got < 0) {
    setExitResult(74, quor_perror(got, "ozugw_LfxGetXferReply", ctl->quorFile.quorPath, nullptr), 7);
    result = got;
  } else if (done.xferStatus != 0) {
    result = done.xferStatus;
  } else if (done.bytesXferred != ours ||
             (!pipedPut(ctl) && ours != uint64_t(ctl->transferLength))) {
    char a[32], b[32], c[32];
    ozu_ReportExit(74, "*** %s: %s bytes moved, gateway reports %s of %s for %s\n", me, u64tostr_r(ours, a),
           u64tostr_r(done.bytesXferred, b), u64tostr_r(ctl->transferLength, c), ctl->quorFile.quorPath);
    result = -5;
  }
  if (result == 0 && !pipedPut(ctl))
    copySocketsToPool(ctl);
  releaseRecordSockets(ctl);
  cleanBuffers(ctl);
  freeReply(&reply);
  free(in);
  if (result != 0)
    ctl->totalBytesMoved = ours;
  return result;
}

}  // namespace

int ozu_LFX_CmdInit(void)
{
  std::lock_guard<std::mutex> hold(socketPoolLock);
  if (!poolInitialized) {
    socketPool = nullptr;
    socketPoolId = 1;
    poolInitialized = true;
  }
  return 0;
}

int ozu_LFX_CmdComplete(void)
{
  freePoolSockets();
  ozugw_LfxCleanSockPool();
  return 0;
}

int ozu_LocalFileReceive(transfer_t *ctl) { return commonTransferFunction(ctl); }

int ozu_LocalFileSend(transfer_t *ctl) { return commonTransferFunction(ctl); }
