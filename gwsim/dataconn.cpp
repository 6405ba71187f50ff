// Data workers, data sockets and the lfx socket pool of one client
// connection; see dataconn.h.
#include "dataconn.h"
#include "buffers.h"
#include "holes.h"
#include "movers.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <string.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <set>
#include <system_error>
#include <thread>
#include <vector>

typedef struct gw_pooled {
  int fd;
  quor_sockaddr_t addr;
} gw_pooled_t;

typedef struct gw_worker {
  std::thread thread;
  std::shared_ptr<std::atomic<bool>> done;
} gw_worker_t;

struct gw_data {
  std::mutex lock;  // guards everything below but the flag
  std::atomic<bool> stopping{false};
  std::vector<gw_worker_t> workers;
  std::set<int> watched;
  std::map<uint32_t, gw_pooled_t> pool;
  std::shared_ptr<void> slots[GW_SLOT_COUNT];
};

// Waits between checks of the stop flag.
static const int kTickMs = 100;

// Created by the request loop's thread, the only one that starts workers.
static gw_data* data_of(gw_conn_t* conn) {
  if (!conn->data) conn->data = new gw_data();
  return conn->data;
}

int gw_DataStart(gw_conn_t* conn, std::function<void()> fn) {
  gw_data* d = data_of(conn);
  std::vector<gw_worker_t> finished;
  int rc = 0;
  {
    std::lock_guard<std::mutex> g(d->lock);
    // Finished workers are joined as new ones start, so they never pile up.
    for (size_t i = 0; i < d->workers.size();) {
      if (d->workers[i].done->load()) {
        finished.push_back(std::move(d->workers[i]));
        d->workers.erase(d->workers.begin() + long(i));
      } else {
        i++;
      }
    }
    gw_worker_t w;
    w.done = std::make_shared<std::atomic<bool>>(false);
    try {
      auto done = w.done;
      w.thread = std::thread([fn = std::move(fn), done]() {
        fn();
        done->store(true);
      });
      d->workers.push_back(std::move(w));
    } catch (const std::system_error&) {
      rc = -1;
    }
  }
  for (gw_worker_t& w : finished) w.thread.join();
  return rc;
}

void gw_DataEnd(gw_conn_t* conn) {
  gw_data* d = conn->data;
  if (!d) return;
  d->stopping.store(true);
  std::vector<gw_worker_t> workers;
  {
    std::lock_guard<std::mutex> g(d->lock);
    for (int fd : d->watched) shutdown(fd, SHUT_RDWR);
    workers.swap(d->workers);
  }
  // A worker may be answering: the client is gone, so make its sends fail.
  if (!workers.empty()) shutdown(conn->fd, SHUT_RDWR);
  for (gw_worker_t& w : workers) w.thread.join();
  gw_PoolClear(conn);
  for (auto& s : d->slots) s.reset();
  delete d;
  conn->data = nullptr;
}

bool gw_DataStopping(gw_conn_t* conn) { return conn->data && conn->data->stopping.load(); }

gw_openfile_t* gw_DataOpenFile(gw_conn_t* conn, int32_t fildes) {
  if (fildes < 0 || size_t(fildes) >= conn->files.size() || !conn->files[size_t(fildes)].inUse)
    return nullptr;
  return &conn->files[size_t(fildes)];
}

std::shared_ptr<void>& gw_DataSlot(gw_conn_t* conn, int which) {
  return data_of(conn)->slots[which];
}

void gw_DataWatch(gw_conn_t* conn, int fd) {
  gw_data* d = data_of(conn);
  std::lock_guard<std::mutex> g(d->lock);
  d->watched.insert(fd);
  if (d->stopping.load()) shutdown(fd, SHUT_RDWR);
}

void gw_DataUnwatch(gw_conn_t* conn, int fd) {
  gw_data* d = data_of(conn);
  std::lock_guard<std::mutex> g(d->lock);
  d->watched.erase(fd);
}

int gw_DataListen(quor_sockaddr_t* bound) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return -errno;
  struct sockaddr_in sa;
  memset(&sa, 0, sizeof sa);
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof sa;
  if (bind(fd, reinterpret_cast<struct sockaddr*>(&sa), sizeof sa) < 0 || listen(fd, 16) < 0 ||
      getsockname(fd, reinterpret_cast<struct sockaddr*>(&sa), &len) < 0) {
    int e = errno;
    close(fd);
    return -e;
  }
  memset(bound, 0, sizeof *bound);
  memcpy(&bound->hs_addr, &sa, sizeof sa);
  bound->hs_addrlen = sizeof sa;
  return fd;
}

// Waits for events on fd in ticks until ms pass (ms < 0: no limit): 1 when
// ready, 0 on time-out, -4 when the connection ends, -errno.
static int wait_for(gw_conn_t* conn, int fd, short events, int ms) {
  auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  for (;;) {
    if (gw_DataStopping(conn)) return -4;
    int tick = kTickMs;
    if (ms >= 0) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                      until - std::chrono::steady_clock::now())
                      .count();
      if (left <= 0) return 0;
      if (left < tick) tick = int(left);
    }
    struct pollfd pfd = {fd, events, 0};
    int n = poll(&pfd, 1, tick);
    if (n < 0 && errno != EINTR) return -errno;
    if (n > 0) return 1;
  }
}

int gw_DataAccept(gw_conn_t* conn, int lfd, int ms) {
  for (;;) {
    int w = wait_for(conn, lfd, POLLIN, ms);
    if (w == 0) return -110;
    if (w < 0) return w;
    int fd = accept4(lfd, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd >= 0) {
      int one = 1;
      setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
      return fd;
    }
    if (errno != EAGAIN && errno != EINTR && errno != ECONNABORTED) return -errno;
  }
}

int gw_DataConnect(gw_conn_t* conn, const quor_sockaddr_t* addr, int ms) {
  return gw_DataConnectFrom(conn, addr, ms, nullptr);
}

int gw_DataConnectFrom(gw_conn_t* conn, const quor_sockaddr_t* addr, int ms, const char* from) {
  int family = addr->hs_addr.ss_family;
  if ((family != AF_INET && family != AF_INET6) || addr->hs_addrlen == 0) return -22;
  int fd = socket(family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return -errno;
  if (from != nullptr && *from != '\0') {
    // An IPv4 source on an IPv6 socket goes in its mapped form.
    struct sockaddr_storage src;
    socklen_t len;
    memset(&src, 0, sizeof src);
    int ok;
    if (family == AF_INET) {
      struct sockaddr_in* in = reinterpret_cast<struct sockaddr_in*>(&src);
      in->sin_family = AF_INET;
      ok = inet_pton(AF_INET, from, &in->sin_addr);
      len = sizeof *in;
    } else {
      struct sockaddr_in6* in6 = reinterpret_cast<struct sockaddr_in6*>(&src);
      in6->sin6_family = AF_INET6;
      ok = inet_pton(AF_INET6, (std::string("::ffff:") + from).c_str(), &in6->sin6_addr);
      len = sizeof *in6;
    }
    if (ok != 1 || bind(fd, reinterpret_cast<struct sockaddr*>(&src), len) < 0) {
      int e = ok != 1 ? EINVAL : errno;
      close(fd);
      return -e;
    }
  }
  gw_DataWatch(conn, fd);
  int rc = 0;
  if (connect(fd, reinterpret_cast<const struct sockaddr*>(&addr->hs_addr), addr->hs_addrlen) <
      0) {
    if (errno != EINPROGRESS) {
      rc = -errno;
    } else {
      int w = wait_for(conn, fd, POLLOUT, ms);
      int err = 0;
      socklen_t len = sizeof err;
      if (w == 0)
        rc = -110;
      else if (w < 0)
        rc = w;
      else if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) < 0)
        rc = -errno;
      else if (err != 0)
        rc = -err;
    }
  }
  gw_DataUnwatch(conn, fd);
  if (rc < 0) {
    close(fd);
    return rc;
  }
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  return fd;
}

int gw_DataSend(gw_conn_t* conn, int fd, const char* buf, size_t len, int idleMs) {
  size_t done = 0;
  while (done < len) {
    ssize_t n = send(fd, buf + done, len - done, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      done += size_t(n);
      continue;
    }
    if (n < 0 && errno != EAGAIN && errno != EINTR) return -errno;
    int w = wait_for(conn, fd, POLLOUT, idleMs);
    if (w == 0) return -110;
    if (w < 0) return w;
  }
  return 0;
}

int gw_DataRecv(gw_conn_t* conn, int fd, char* buf, size_t len, int idleMs, size_t* got) {
  *got = 0;
  while (*got < len) {
    ssize_t n = recv(fd, buf + *got, len - *got, MSG_DONTWAIT);
    if (n > 0) {
      *got += size_t(n);
      continue;
    }
    if (n == 0) return 0;
    if (errno != EAGAIN && errno != EINTR) return -errno;
    int w = wait_for(conn, fd, POLLIN, idleMs);
    if (w == 0) return -110;
    if (w < 0) return w;
  }
  return 0;
}

int gw_DataFileToSocket(gw_conn_t* conn, int sock, int fd, uint64_t offset, uint64_t count,
                        int idleMs, uint64_t* moved) {
  *moved = 0;
  while (*moved < count) {
    off_t off = off_t(offset + *moved);
    size_t want = size_t(std::min<uint64_t>(count - *moved, 1u << 30));
    // Straight from the page cache into the socket: no copy through gwsim.
    ssize_t n = sendfile(sock, fd, &off, want);
    if (n > 0) {
      *moved += uint64_t(n);
      continue;
    }
    if (n == 0) return 0;  // the file ended
    if (errno == EINTR) continue;
    if (errno != EAGAIN) return -errno;
    int w = wait_for(conn, sock, POLLOUT, idleMs);
    if (w == 0) return -110;
    if (w < 0) return w;
  }
  return 0;
}

static int write_all_at(int fd, const char* buf, size_t len, uint64_t off) {
  return gw_WriteKeepHoles(fd, buf, len, off);
}

// The socket's bytes into the file through a pipe, so that they are copied
// once, into the page cache, rather than into gwsim and out again. Results
// as gw_DataSocketToFile's; 1 when splicing is not possible here (an append
// file, a file system without it), before any byte moved.
static int spliceToFile(gw_conn_t* conn, int sock, int fd, uint64_t offset, uint64_t count,
                        bool toEnd, int idleMs, uint64_t* moved) {
  const size_t cap = 1 << 20;
  int fl = fcntl(fd, F_GETFL);
  if (fl < 0 || (fl & O_APPEND)) return 1;
  // Data that begins with zeros goes through buffers, which keep zero
  // blocks as holes; a file of data is spliced.
  {
    char head[4096];
    size_t want = toEnd ? sizeof head : size_t(std::min<uint64_t>(sizeof head, count));
    ssize_t n = want ? recv(sock, head, want, MSG_PEEK | MSG_DONTWAIT) : 0;
    if (n < 0 && errno == EAGAIN) {
      int w = wait_for(conn, sock, POLLIN, idleMs);
      if (w <= 0) return w == 0 ? -110 : w;  // as the loop below would end
      n = recv(sock, head, want, MSG_PEEK | MSG_DONTWAIT);
    }
    if (n > 0 && gw_AllZero(head, size_t(n))) return 1;
  }
  int p[2];
  if (pipe2(p, O_CLOEXEC) != 0) return 1;
  fcntl(p[1], F_SETPIPE_SZ, int(cap));
  int rc = 0;
  uint64_t received = 0;
  while (toEnd || received < count) {
    size_t want = toEnd ? cap : size_t(std::min<uint64_t>(cap, count - received));
    ssize_t n = splice(sock, nullptr, p[1], nullptr, want, SPLICE_F_MOVE | SPLICE_F_NONBLOCK);
    if (n == 0) {
      if (!toEnd) rc = -5;  // the peer went away before the count was in
      break;
    }
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == EINVAL && received == 0) {
        rc = 1;
        break;
      }
      if (errno != EAGAIN) {
        rc = -errno;
        break;
      }
      int w = wait_for(conn, sock, POLLIN, idleMs);
      if (w == 0) rc = -110;
      if (w <= 0) {
        if (w < 0) rc = w;
        break;
      }
      continue;
    }
    loff_t at = loff_t(offset + received);
    received += uint64_t(n);
    while (n > 0) {
      ssize_t w = splice(p[0], nullptr, fd, &at, size_t(n), SPLICE_F_MOVE);
      if (w < 0 && errno == EINTR) continue;
      if (w <= 0) {
        rc = w < 0 ? -errno : -5;
        break;
      }
      n -= w;
    }
    if (rc < 0) break;
  }
  close(p[0]);
  close(p[1]);
  *moved = received;
  return rc;
}

int gw_DataSocketToFile(gw_conn_t* conn, int sock, int fd, uint64_t offset, uint64_t count,
                        bool toEnd, int idleMs, uint64_t* moved) {
  const size_t cap = gw_Buffer::size();
  *moved = 0;
  int spliced = spliceToFile(conn, sock, fd, offset, count, toEnd, idleMs, moved);
  if (spliced <= 0) return spliced;
  *moved = 0;
  // Two buffers: one fills from the socket while a writer empties the other.
  struct slot {
    gw_Buffer buf;
    size_t len = 0;
    uint64_t off = 0;
    bool full = false;
  } slots[2];
  std::mutex m;
  std::condition_variable cv;
  int writeErr = 0;
  bool finished = false;
  auto drain = [&]() {
    for (int i = 0;; i ^= 1) {
      std::unique_lock<std::mutex> lk(m);
      cv.wait(lk, [&] { return slots[i].full || finished; });
      if (!slots[i].full) return;
      lk.unlock();
      int e = writeErr == 0 ? write_all_at(fd, slots[i].buf.data(), slots[i].len, slots[i].off) : 0;
      lk.lock();
      if (e < 0 && writeErr == 0) writeErr = e;
      slots[i].full = false;
      cv.notify_all();
    }
  };
  // A transfer of one buffer or less needs no second thread.
  bool overlap = toEnd || count > cap;
  std::thread writer;
  if (overlap) {
    try {
      writer = std::thread(drain);
    } catch (const std::system_error&) {
      overlap = false;
    }
  }
  int rc = 0;
  uint64_t received = 0;
  for (int i = 0; toEnd || received < count; i ^= 1) {
    slot& sl = slots[i];
    {
      std::unique_lock<std::mutex> lk(m);
      cv.wait(lk, [&] { return !sl.full || writeErr != 0; });
      if (writeErr != 0) break;
    }
    if (!sl.buf.data()) {
      rc = -12;
      break;
    }
    size_t want = toEnd ? cap : size_t(std::min<uint64_t>(cap, count - received));
    size_t got = 0;
    rc = gw_DataRecv(conn, sock, sl.buf.data(), want, idleMs, &got);
    if (got > 0) {
      sl.len = got;
      sl.off = offset + received;
      received += got;
      if (overlap) {
        std::lock_guard<std::mutex> g(m);
        sl.full = true;
        cv.notify_all();
      } else {
        int e = write_all_at(fd, sl.buf.data(), got, sl.off);
        if (e < 0) writeErr = e;
      }
    }
    if (rc < 0) break;
    if (got < want) {
      if (!toEnd) rc = -5;  // the peer went away before the count was in
      break;
    }
  }
  if (overlap) {
    {
      std::lock_guard<std::mutex> g(m);
      finished = true;
      cv.notify_all();
    }
    writer.join();
  }
  *moved = received;
  if (writeErr == 0 && received > 0) gw_StoreGrow(fd, offset + received);  // over a trailing hole
  return writeErr != 0 ? writeErr : rc;
}

int gw_PoolTake(gw_conn_t* conn, uint32_t poolID) {
  gw_data* d = data_of(conn);
  std::lock_guard<std::mutex> g(d->lock);
  auto it = d->pool.find(poolID);
  if (it == d->pool.end()) return -1;
  int fd = it->second.fd;
  d->pool.erase(it);
  return fd;
}

int gw_PoolTakeAny(gw_conn_t* conn, uint32_t* poolID, quor_sockaddr_t* addr) {
  gw_data* d = data_of(conn);
  std::lock_guard<std::mutex> g(d->lock);
  if (d->pool.empty()) return -1;
  auto it = d->pool.begin();
  *poolID = it->first;
  *addr = it->second.addr;
  int fd = it->second.fd;
  d->pool.erase(it);
  return fd;
}

void gw_PoolPut(gw_conn_t* conn, uint32_t poolID, int fd, const quor_sockaddr_t* addr) {
  gw_data* d = data_of(conn);
  std::lock_guard<std::mutex> g(d->lock);
  auto it = d->pool.find(poolID);
  // One socket per id: a client that reuses an id replaces the old one.
  if (it != d->pool.end()) close(it->second.fd);
  gw_pooled_t p;
  p.fd = fd;
  p.addr = *addr;
  d->pool[poolID] = p;
}

int gw_PoolClear(gw_conn_t* conn) {
  if (!conn->data) return 0;
  gw_data* d = conn->data;
  std::lock_guard<std::mutex> g(d->lock);
  int n = 0;
  for (auto& p : d->pool) {
    close(p.second.fd);
    n++;
  }
  d->pool.clear();
  return n;
}

uint32_t gw_PoolNextId(void) {
  // Far above the small numbers clients count from, so ids of both kinds
  // can share a client's pool.
  static std::atomic<uint32_t> next{0x40000000u};
  return next.fetch_add(1);
}
