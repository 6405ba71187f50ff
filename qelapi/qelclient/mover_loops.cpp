// Mover connections: single-connection packet operations, the message
// family probe, and the loops that accept and serve many movers on one
// listen socket. Every wait is a poll, so descriptors above the select limit
// work; see mvr_protocol.h and mover_loops.h.
#include "mover_loops.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <string.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>

#include "mvr_protocol.h"
#include "quor_api_internal.h"
#include "quor_net.h"
#include "quorcfgx_prototypes.h"
#include "quorcfgx_restrict.h"

namespace {

constexpr int kMinPacketWait = 60;

int packetWaitFor(int secTimeout) { return secTimeout > 0 ? std::max(secTimeout, kMinPacketWait) : 0; }

// Waits for fd to become readable (or writable): 0, -110 on a time-out
// (seconds, 0: none), or the negated errno.
int waitFor(int fd, short events, int sec) {
  struct pollfd p = {fd, events, 0};
  int ms = sec > 0 ? sec * 1000 : -1;
  for (;;) {
    int n = poll(&p, 1, ms);
    if (n > 0) return 0;
    if (n == 0) return -110;
    if (errno != EINTR && errno != EAGAIN) return -errno;
  }
}

// Exactly len raw bytes into dst: len; 0 when the peer closed first; -110;
// or the negated errno. A read that finds nothing waits for readability
// (sec seconds, 0: no limit) before it tries again; on a blocking socket the
// read itself waits.
int64_t readRaw(int fd, char* dst, uint64_t len, int sec) {
  uint64_t got = 0;
  while (got < len) {
    ssize_t n = recv(fd, dst + got, len - got, MSG_DONTWAIT);
    if (n > 0) {
      got += static_cast<uint64_t>(n);
    } else if (n == 0) {
      return 0;
    } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
      int w = waitFor(fd, POLLIN, sec);
      if (w < 0) return w;
    } else if (errno != EINTR) {
      return -errno;
    }
  }
  return static_cast<int64_t>(len);
}

// A packet's header names a place inside the window and this transfer.
bool inWindow(const pdata_hdr_t* h, uint64_t xferId, uint64_t winOffset, uint64_t size) {
  if (h->XferID != xferId || h->Offset < winOffset) return false;
  uint64_t rel = h->Offset - winOffset;
  return rel <= size && h->Length <= size - rel;
}

// One data packet into the window. 1 with its window position and length,
// 0 when the peer closed (before or inside the packet), or a failure.
int recvPacket(int fd, uint64_t xferId, uint64_t winOffset, char* buf, uint64_t size, int wait,
               uint64_t* pos, uint64_t* len) {
  pdata_hdr_t h;
  int rc = pdata_recv_hdr_timeout(fd, &h, wait);
  if (rc != PDATA_HDR_LEN) return rc <= 0 ? rc : -5;
  if (!inWindow(&h, xferId, winOffset, size)) return -22;
  *pos = h.Offset - winOffset;
  *len = h.Length;
  int64_t r = readRaw(fd, buf + *pos, h.Length, wait);
  if (r < 0) return static_cast<int>(r);
  if (r == 0 && h.Length > 0) return 0;
  return 1;
}

// Answers one data request from the window; results as recvPacket.
int answerRequest(int fd, uint64_t xferId, uint64_t winOffset, const char* buf, uint64_t size,
                  int wait, int writeSize, uint64_t* pos, uint64_t* len) {
  pdata_hdr_t h;
  int rc = pdata_recv_hdr_timeout(fd, &h, wait);
  if (rc != PDATA_HDR_LEN) return rc <= 0 ? rc : -5;
  if (!inWindow(&h, xferId, winOffset, size)) return -22;
  *pos = h.Offset - winOffset;
  *len = h.Length;
  int64_t sent = pdata_send_hdr_and_data_timeout_size(fd, &h, buf + *pos, h.Length,
                                                      std::max(wait, kMinPacketWait), writeSize);
  if (sent < 0) return static_cast<int>(sent);
  if (static_cast<uint64_t>(sent) != h.Length) return -5;
  return 1;
}

void setNonBlocking(int fd) {
  int fl = fcntl(fd, F_GETFL);
  if (fl >= 0) fcntl(fd, F_SETFL, fl | O_NONBLOCK);
}

// Accepts one connection into set: 0 (also when none was waiting or the
// peer was refused), -16 when it is one too many, or the negated errno.
int acceptOne(mover_set_t* set) {
  int fd = mover_accept_checked(set->listenFd, nullptr, set->caller, set->refused);
  if (fd == -EAGAIN || fd == MOVER_REFUSED) return 0;
  if (fd < 0) return fd;
  set->conns.push_back(fd);
  return set->conns.size() > MOVER_MAX_CONNECTIONS ? -16 : 0;
}

}  // namespace

int mover_accept_checked(int listenFd, quor_sockaddr_t* peerOut, const char* caller,
                         std::vector<quor_sockaddr_t>* refused) {
  quor_sockaddr_t peer;
  int fd;
  for (;;) {
    fd = quor_net_accept(listenFd, &peer, nullptr, 0);
    if (fd >= 0) break;
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == ECONNABORTED) return -EAGAIN;
    return -errno;
  }
  if (!quorex_IsConnectionAllowed(&peer.hs_addr, 0, caller)) {
    // Closed before the refusal is logged: the log line is a gateway round
    // trip, and the mover must not sit on an open connection meanwhile.
    close(fd);
    if (refused)
      refused->push_back(peer);
    else
      quorex_IsConnectionAllowed(&peer.hs_addr, 1, caller);
    if (peerOut) *peerOut = peer;
    return MOVER_REFUSED;
  }
  setNonBlocking(fd);
  quorcfgx_NetoptSetSock(fd, &peer);
  if (peerOut) *peerOut = peer;
  return fd;
}

// ---- coverage ----

void mover_cover_add(mover_cover_t* c, uint64_t off, uint64_t len) {
  if (len == 0) return;
  uint64_t start = off, end = off + len;
  auto it = c->ranges.upper_bound(start);
  if (it != c->ranges.begin()) {
    auto prev = std::prev(it);
    if (prev->second >= start) it = prev;
  }
  // Swallow every range that touches [start, end).
  while (it != c->ranges.end() && it->first <= end) {
    start = std::min(start, it->first);
    end = std::max(end, it->second);
    c->total -= it->second - it->first;
    it = c->ranges.erase(it);
  }
  c->ranges.emplace(start, end);
  c->total += end - start;
}

uint64_t mover_cover_prefix(const mover_cover_t* c) {
  if (c->ranges.empty() || c->ranges.begin()->first != 0) return 0;
  return c->ranges.begin()->second;
}

// ---- the serving loop ----

namespace {

// What the connection threads of one mover_serve call share.
struct serve_state {
  int direction;
  uint64_t xferId, winOffset;
  char* buf;
  uint64_t size;
  int packetWait;
  int writeSize;
  bool lostIsClosed;
  std::mutex lock;  // cover, failure and want
  mover_cover_t* cover;
  uint64_t want;  // bytes from the window's start that end the call
  int failure = 0;
  std::atomic<int> busy{0};  // connections inside a packet
  std::atomic<uint64_t> packets{0};  // packets moved by the threads
};

}  // namespace

// One mover connection, served by a thread of its own from the call that
// first sees it until the set is closed or the connection ends, so that the
// movers' streams are copied in parallel rather than one packet at a time by
// the listening thread, and no thread is started again for a later call.
struct mover_worker {
  mover_workers* pool;
  int fd;
  pthread_t thread{};
  bool ended = false;   // the thread has left its loop (under pool->lock)
  bool closed = false;  // the mover is done with it; the call closes it
};

// The set's connection threads and what they share across calls. Between
// calls they wait for the next one; while a call lasts, cur is its state.
struct mover_workers {
  std::mutex lock;
  std::condition_variable work;  // a call began, or the set closes
  std::condition_variable idle;  // a thread left the call
  serve_state* cur = nullptr;
  uint64_t generation = 0;  // counts calls, so a thread serves each once
  int inCall = 0;           // threads serving cur
  bool quit = false;
  int stopFd = -1;  // eventfd, readable once the call ends
  int noteFd = -1;  // eventfd: a packet moved, a connection ended, or one failed
  std::vector<std::unique_ptr<mover_worker>> threads;
};

namespace {

void note(mover_workers* p) {
  uint64_t one = 1;
  ssize_t n = write(p->noteFd, &one, sizeof one);
  (void)n;  // a full counter is already a note
}

// Whether the call is done: the whole window, or what suffices, moved. The
// caller holds st->lock.
bool enough(const serve_state* st) {
  return mover_cover_total(st->cover) >= st->size || mover_cover_prefix(st->cover) >= st->want;
}

// One packet of connection fd: 1 moved (counted in the cover), 0 the mover
// is done with the connection (an empty packet says so too), or a failure,
// which is kept as the call's.
int servePacket(serve_state* st, int fd) {
  uint64_t pos = 0, len = 0;
  int rc;
  st->busy.fetch_add(1);
  if (st->direction == MOVER_RECEIVE) {
    rc = recvPacket(fd, st->xferId, st->winOffset, st->buf, st->size, st->packetWait, &pos, &len);
  } else {
    rc = answerRequest(fd, st->xferId, st->winOffset, st->buf, st->size, st->packetWait,
                       st->writeSize, &pos, &len);
    if (st->lostIsClosed && (rc == -EPIPE || rc == -ECONNRESET)) rc = 0;
  }
  st->busy.fetch_sub(1);
  std::lock_guard<std::mutex> hold(st->lock);
  if (rc < 0) {
    if (st->failure == 0) st->failure = rc;
    return rc;
  }
  if (rc == 0 || len == 0) return 0;
  mover_cover_add(st->cover, pos, len);
  st->packets.fetch_add(1, std::memory_order_relaxed);
  return enough(st) ? 2 : 1;
}

// Serves the connection for one call: 1 when the call ended, 0 when the
// mover is done with the connection, a failure otherwise.
int serveCall(mover_worker* w, serve_state* st) {
  for (;;) {
    struct pollfd p[2] = {{w->fd, POLLIN, 0}, {w->pool->stopFd, POLLIN, 0}};
    int n = poll(p, 2, -1);
    if (n < 0) {
      if (errno == EINTR || errno == EAGAIN) continue;
      n = -errno;
      std::lock_guard<std::mutex> hold(st->lock);
      if (st->failure == 0) st->failure = n;
      return n;
    }
    if (p[1].revents) return 1;
    if (!p[0].revents) continue;
    // The calling thread hears only of what ends its wait: the window
    // complete, a failure, a connection gone.
    int rc = servePacket(st, w->fd);
    if (rc <= 0) return rc;
    if (rc == 2) note(w->pool);
  }
}

void* serveConnection(void* arg) {
  auto* w = static_cast<mover_worker*>(arg);
  mover_workers* p = w->pool;
  uint64_t served = 0;
  std::unique_lock<std::mutex> l(p->lock);
  for (;;) {
    p->work.wait(l, [&] { return p->quit || (p->cur != nullptr && p->generation != served); });
    if (p->quit) break;
    serve_state* st = p->cur;
    served = p->generation;
    p->inCall++;
    l.unlock();
    int rc = serveCall(w, st);
    if (rc <= 0) note(p);
    l.lock();
    p->inCall--;
    p->idle.notify_all();
    if (rc <= 0) {
      w->closed = rc == 0;
      break;
    }
  }
  w->ended = true;
  return nullptr;
}

mover_workers* workersOf(mover_set_t* set) {
  if (set->workers != nullptr) return set->workers;
  auto* p = new mover_workers();
  p->stopFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  p->noteFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (p->stopFd < 0 || p->noteFd < 0) {
    if (p->stopFd >= 0) close(p->stopFd);
    if (p->noteFd >= 0) close(p->noteFd);
    delete p;
    return nullptr;
  }
  set->workers = p;
  return p;
}

void drain(int fd) {
  uint64_t v;
  ssize_t r = read(fd, &v, sizeof v);
  (void)r;
}

}  // namespace

void mover_set_stop_threads(mover_set_t* set) {
  mover_workers* p = set->workers;
  if (p == nullptr) return;
  {
    std::lock_guard<std::mutex> hold(p->lock);
    p->quit = true;
  }
  p->work.notify_all();
  for (auto& w : p->threads) pthread_join(w->thread, nullptr);
  close(p->stopFd);
  close(p->noteFd);
  delete p;
  set->workers = nullptr;
}

void mover_set_close(mover_set_t* set) {
  mover_set_stop_threads(set);
  for (int fd : set->conns) close(fd);
  set->conns.clear();
}

int mover_serve(mover_set_t* set, int direction, uint64_t xferId, uint64_t winOffset, char* buf,
                uint64_t size, mover_cover_t* cover, int timeoutMs, int wakeFd, int packetWait,
                const mover_wake_t* wake) {
  if (mover_cover_total(cover) >= size) return 0;
  mover_workers* pool = workersOf(set);
  if (pool == nullptr) return -errno;
  serve_state st;
  st.direction = direction;
  st.xferId = xferId;
  st.winOffset = winOffset;
  st.buf = buf;
  st.size = size;
  st.packetWait = packetWait;
  st.writeSize = 0;
  st.lostIsClosed = set->lostIsClosed;
  st.cover = cover;
  st.want = size;
  // A connection without a thread of its own (the first one, as a single
  // mover's) is served by the calling thread itself.
  int own = -1;
  auto hasThread = [&](int fd) {
    for (auto& w : pool->threads)
      if (w->fd == fd) return true;
    return false;
  };
  auto start = [&](int fd) -> int {
    if (direction == MOVER_SEND && st.writeSize == 0) {
      int ws = quorcfgx_NetoptGetWriteSize(fd, nullptr);
      st.writeSize = ws > 0 ? ws : -1;
    }
    if (hasThread(fd)) return 0;
    if (own < 0) {
      own = fd;
      return 0;
    }
    auto w = std::make_unique<mover_worker>();
    w->pool = pool;
    w->fd = fd;
    if (ozugw_ThreadCreate(&w->thread, nullptr, serveConnection, w.get()) < 0) return -11;
    std::lock_guard<std::mutex> hold(pool->lock);
    pool->threads.push_back(std::move(w));
    return 0;
  };
  {
    // What the last call's end left in the events is no news for this one.
    drain(pool->stopFd);
    drain(pool->noteFd);
    std::lock_guard<std::mutex> hold(pool->lock);
    pool->cur = &st;
    pool->generation++;
  }
  pool->work.notify_all();
  int result = 0;
  uint64_t packetsSeen = 0;
  for (size_t i = 0; i < set->conns.size(); i++) {
    result = start(set->conns[i]);
    if (result < 0) break;
  }
  while (result == 0) {
    {
      std::lock_guard<std::mutex> hold(st.lock);
      if (st.failure < 0) {
        result = st.failure;
        break;
      }
      if (enough(&st)) break;
    }
    struct pollfd fds[4] = {{set->listenFd, POLLIN, 0},
                            {wakeFd, POLLIN, 0},  // a negative descriptor is ignored
                            {pool->noteFd, POLLIN, 0},
                            {own, POLLIN, 0}};
    int n = poll(fds, 4, timeoutMs);
    if (n < 0) {
      if (errno == EINTR || errno == EAGAIN) continue;
      result = -errno;
      break;
    }
    if (n == 0) {
      // A packet moved by a thread, or one on its way, counts as activity:
      // the packet's own wait bounds it.
      uint64_t moved = st.packets.load(std::memory_order_relaxed);
      if (moved != packetsSeen || st.busy.load() > 0) {
        packetsSeen = moved;
        continue;
      }
      result = -110;
      break;
    }
    if (fds[1].revents) {
      if (wake == nullptr) {
        result = MOVER_WOKEN;
        break;
      }
      // The caller decides, and the connections' threads serve on meanwhile.
      drain(wakeFd);
      std::lock_guard<std::mutex> hold(st.lock);
      if (wake->woken(wake->arg, &st.want)) {
        result = MOVER_WOKEN;
        break;
      }
      continue;
    }
    if (fds[2].revents) drain(pool->noteFd);
    if (fds[3].revents) {
      int rc = servePacket(&st, own);
      if (rc < 0) {
        result = rc;
        break;
      }
      if (rc == 0) {
        close(own);
        set->conns.erase(std::find(set->conns.begin(), set->conns.end(), own));
        own = -1;
      }
    }
    if (fds[0].revents) {
      // Every connection already waiting is taken before any thread starts,
      // so that a crowd of movers is counted as it comes.
      size_t before = set->conns.size();
      for (;;) {
        size_t had = set->conns.size();
        result = acceptOne(set);
        if (result < 0 || set->conns.size() == had) break;
        struct pollfd more = {set->listenFd, POLLIN, 0};
        if (poll(&more, 1, 0) <= 0) break;
      }
      for (size_t i = before; result == 0 && i < set->conns.size(); i++)
        result = start(set->conns[i]);
    }
  }
  // The threads stop between packets, and wait for the next call; data
  // still queued stays in the connections for it.
  uint64_t one = 1;
  ssize_t r = write(pool->stopFd, &one, sizeof one);
  (void)r;
  std::vector<std::unique_ptr<mover_worker>> gone;
  {
    std::unique_lock<std::mutex> l(pool->lock);
    pool->idle.wait(l, [&] { return pool->inCall == 0; });
    pool->cur = nullptr;
    // A thread whose connection ended has left its loop: it is reaped here
    // and, when the mover is done with it, its connection closed.
    for (auto it = pool->threads.begin(); it != pool->threads.end();) {
      if ((*it)->ended) {
        gone.push_back(std::move(*it));
        it = pool->threads.erase(it);
      } else {
        ++it;
      }
    }
  }
  for (auto& w : gone) {
    pthread_join(w->thread, nullptr);
    if (!w->closed) continue;
    close(w->fd);
    set->conns.erase(std::find(set->conns.begin(), set->conns.end(), w->fd));
  }
  // A connection that failed while the call was ending still fails it,
  // unless every byte of the window had already moved.
  if ((result == MOVER_WOKEN || result == -110 || result == 0) && st.failure < 0 &&
      (result != 0 || mover_cover_total(cover) < size))
    result = st.failure;
  return result;
}

// ---- single connections ----

int mover_socket_send_buffer_timeout_size(int SD, uint64_t XferID, uint64_t Offset,
                                          const void* Buffer, int Length,
                                          const uint8_t Ticket[8], int SecTimeout,
                                          int WriteSize) {
  if (Length < 0) return -22;
  pdata_hdr_t h;
  memset(&h, 0, sizeof h);
  h.XferID = XferID;
  h.Offset = Offset;
  h.Length = static_cast<uint64_t>(Length);
  if (Ticket) memcpy(h.SecurityTicket, Ticket, 8);
  int64_t rc = pdata_send_hdr_and_data_timeout_size(SD, &h, Buffer, h.Length,
                                                    std::max(SecTimeout, kMinPacketWait),
                                                    WriteSize);
  if (rc < 0) return static_cast<int>(rc);
  return rc == Length ? Length : -5;
}

int mover_socket_read_data_timeout(int SD, void* Buffer, int BufSize, int SecTimeout) {
  if (BufSize < 0) return -22;
  int64_t rc = readRaw(SD, static_cast<char*>(Buffer), static_cast<uint64_t>(BufSize), SecTimeout);
  return static_cast<int>(rc);
}

int mover_socket_recv_data_timeout(int SD, uint64_t XferID, uint64_t Offset, void* Buffer,
                                   int BufSize, int* BytesRecvd, int NumOfPackets,
                                   int SecTimeout) {
  int dummy = 0;
  int* got = BytesRecvd ? BytesRecvd : &dummy;
  *got = 0;
  if (BufSize < 0) return -22;
  int wait = packetWaitFor(SecTimeout);
  while (NumOfPackets != 0) {
    pdata_hdr_t h;
    int rc = pdata_recv_hdr_timeout(SD, &h, SecTimeout);
    if (rc != PDATA_HDR_LEN) return rc <= 0 ? rc : -5;
    if (!inWindow(&h, XferID, Offset, static_cast<uint64_t>(BufSize))) return -22;
    int64_t r = readRaw(SD, static_cast<char*>(Buffer) + (h.Offset - Offset), h.Length, wait);
    if (r < 0) return static_cast<int>(r);
    if (r == 0 && h.Length > 0) return 0;
    *got += static_cast<int>(h.Length);
    if (NumOfPackets > 0) NumOfPackets--;
  }
  return *got;
}

int mover_socket_recv_data(int SD, uint64_t XferID, uint64_t Offset, void* Buffer, int BufSize,
                           int* BytesRecvd, int NumOfPackets) {
  return mover_socket_recv_data_timeout(SD, XferID, Offset, Buffer, BufSize, BytesRecvd,
                                        NumOfPackets, 0);
}

int mover_socket_recv_protmsg_timeout(int SD, uint64_t XferID, int* ProtocolType,
                                      initiator_msg_t* InitMsg, pdata_hdr_t* PdataHdr,
                                      int SecTimeout) {
  int dummyType;
  int* type = ProtocolType ? ProtocolType : &dummyType;
  *type = -1;
  unsigned char b[MVRPROT_INITMSG_LEN];
  int rc = mover_socket_read_data_timeout(SD, b, 8, SecTimeout);
  if (rc <= 0) return rc;
  uint64_t delim;
  quor_decode_64(b, 0, &delim);
  if (delim == MVRPROT_DELIMITER) {
    rc = mover_socket_read_data_timeout(SD, b + 8, MVRPROT_INITMSG_LEN - 8, kMinPacketWait);
    if (rc <= 0) return rc;
    initiator_msg_t m;
    if (mvrprot_decode_initmsg(b, &m) < 0) return -22;
    if (InitMsg) *InitMsg = m;
    *type = MVRPROT_MSG_INITIATOR;
    return MVRPROT_INITMSG_LEN;
  }
  if (delim == PDATA_DELIMITER) {
    rc = mover_socket_read_data_timeout(SD, b + 8, PDATA_HDR_LEN - 8, kMinPacketWait);
    if (rc <= 0) return rc;
    pdata_hdr_t h;
    if (pdata_decode_hdr(b, &h) < 0 || h.XferID != XferID) return -22;
    if (PdataHdr) *PdataHdr = h;
    *type = MVRPROT_MSG_PDATA;
    return PDATA_HDR_LEN;
  }
  return -2;
}

int mover_socket_recv_protmsg(int SD, uint64_t XferID, int* ProtocolType,
                              initiator_msg_t* InitMsg, pdata_hdr_t* PdataHdr) {
  return mover_socket_recv_protmsg_timeout(SD, XferID, ProtocolType, InitMsg, PdataHdr, 0);
}

int mover_socket_send_requested_data_timeout_size(int SD, uint64_t XferID, uint64_t Offset,
                                                  const void* Buffer, int BufSize,
                                                  int* BytesSent, int NumOfPackets,
                                                  int SecTimeout, int WriteSize) {
  int dummy = 0;
  int* sent = BytesSent ? BytesSent : &dummy;
  *sent = 0;
  if (BufSize < 0) return -22;
  int wait = std::max(SecTimeout, kMinPacketWait);
  while (NumOfPackets != 0) {
    pdata_hdr_t h;
    int rc = pdata_recv_hdr_timeout(SD, &h, SecTimeout);
    if (rc != PDATA_HDR_LEN) return rc <= 0 ? rc : -5;
    if (!inWindow(&h, XferID, Offset, static_cast<uint64_t>(BufSize))) return -22;
    int64_t s = pdata_send_hdr_and_data_timeout_size(
        SD, &h, static_cast<const char*>(Buffer) + (h.Offset - Offset), h.Length, wait, WriteSize);
    if (s < 0) return static_cast<int>(s);
    if (static_cast<uint64_t>(s) != h.Length) return -5;
    *sent += static_cast<int>(h.Length);
    if (NumOfPackets > 0) NumOfPackets--;
  }
  return *sent;
}

int mover_socket_send_requested_data_timeout(int SD, uint64_t XferID, uint64_t Offset,
                                             const void* Buffer, int BufSize, int* BytesSent,
                                             int NumOfPackets, int SecTimeout) {
  return mover_socket_send_requested_data_timeout_size(SD, XferID, Offset, Buffer, BufSize,
                                                       BytesSent, NumOfPackets, SecTimeout, 0);
}

int mover_socket_send_requested_data(int SD, uint64_t XferID, uint64_t Offset,
                                     const void* Buffer, int BufSize, int* BytesSent,
                                     int NumOfPackets) {
  return mover_socket_send_requested_data_timeout_size(SD, XferID, Offset, Buffer, BufSize,
                                                       BytesSent, NumOfPackets, 0, 0);
}

// ---- connection loops ----

static int waitLoop(int direction, const char* caller, int SD, uint64_t XferID, uint64_t Offset,
                    const void* Buffer, int BufSize, int* BytesMoved, int SecTimeout) {
  int dummy = 0;
  int* moved = BytesMoved ? BytesMoved : &dummy;
  *moved = 0;
  if (BufSize < 0) return -22;
  mover_set_t set;
  set.listenFd = SD;
  set.caller = caller;
  mover_cover_t cover;
  int rc = mover_serve(&set, direction, XferID, Offset,
                       const_cast<char*>(static_cast<const char*>(Buffer)),
                       static_cast<uint64_t>(BufSize), &cover,
                       SecTimeout > 0 ? SecTimeout * 1000 : -1, -1,
                       std::max(SecTimeout, kMinPacketWait));
  mover_set_close(&set);
  *moved = static_cast<int>(mover_cover_total(&cover));
  return rc;
}

int mover_waitfor_data_timeout(int SD, uint64_t XferID, uint64_t Offset, void* Buffer,
                               int BufSize, int* BytesMoved, int SecTimeout) {
  return waitLoop(MOVER_RECEIVE, "mover_waitfor_data_timeout", SD, XferID, Offset, Buffer,
                  BufSize, BytesMoved, SecTimeout);
}

int mover_waitfor_requests_timeout(int SD, uint64_t XferID, uint64_t Offset, const void* Buffer,
                                   int BufSize, int* BytesMoved, int SecTimeout) {
  return waitLoop(MOVER_SEND, "mover_waitfor_requests_timeout", SD, XferID, Offset, Buffer,
                  BufSize, BytesMoved, SecTimeout);
}
