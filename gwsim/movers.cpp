// gwsim's data movers and their configuration; see movers.h.
#include "movers.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <string.h>
#include <strings.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

#include "buffers.h"
#include "config_values.h"
#include "holes.h"
#include "mvr_protocol.h"
#include "san3p.h"

namespace {

constexpr int kIoTimeoutSec = 30;

gw_mover_settings_t settings;

// A fault rule: Kind = FUNCTION NTH [VALUE], FUNCTION read, write or *.
struct rule {
  int kind;
  int direction;  // GW_MOVE_READ, GW_MOVE_WRITE, or -1 for both
  unsigned nth;   // 0: every request
  int orLater;
  int64_t value;
  std::string text;
};

enum {
  F_SHORT = 1, F_REPEAT, F_DIE, F_BADSUM, F_WRONGID, F_OUTSIDE, F_OVERSTATE, F_STATUS, F_FROM,
  F_CROWD, F_UNDERSTATE, F_BADCOMP, F_CLOSEBETWEEN, F_ONEFROM, F_EIO_AFTER, F_CLAIM_MORE,
  F_TWICE, F_SWAP, F_CODE, F_STRIPE_HOLE,
};

const struct {
  const char* name;
  int kind;
  int value;  // 0 none, 1 a number, 2 an address
  int64_t lo, hi;
} kinds[] = {
    {"ShortMove", F_SHORT, 1, 0, INT64_MAX},   {"Repeat", F_REPEAT, 0, 0, 0},
    {"Die", F_DIE, 0, 0, 0},                   {"BadChecksum", F_BADSUM, 0, 0, 0},
    {"WrongId", F_WRONGID, 0, 0, 0},           {"OutsideWindow", F_OUTSIDE, 0, 0, 0},
    {"Overstate", F_OVERSTATE, 1, 1, INT64_MAX}, {"Status", F_STATUS, 1, INT32_MIN, INT32_MAX},
    {"From", F_FROM, 2, 0, 0},                 {"Crowd", F_CROWD, 1, 1, 1000},
    {"Understate", F_UNDERSTATE, 1, 1, INT64_MAX}, {"BadCompletion", F_BADCOMP, 0, 0, 0},
    {"CloseBetween", F_CLOSEBETWEEN, 0, 0, 0}, {"OneFrom", F_ONEFROM, 2, 0, 0},
    // Read knobs: -5 once BYTES moved; a reply claiming BYTES more than the
    // movers sent; the first piece sent twice; pieces sent pairwise swapped.
    {"EioAfter", F_EIO_AFTER, 1, 1, INT64_MAX}, {"ClaimMore", F_CLAIM_MORE, 1, 1, INT64_MAX},
    {"Twice", F_TWICE, 0, 0, 0},               {"Swap", F_SWAP, 0, 0, 0},
    {"Code", F_CODE, 1, INT32_MIN, INT32_MAX},
    // A striped request: the stripe of its first byte moves nothing while
    // the others move all of theirs.
    {"StripeHole", F_STRIPE_HOLE, 0, 0, 0},
};

std::vector<rule> rules;
std::mutex countLock;
unsigned requests[2];  // list requests seen, by direction

int fail(std::string* err, unsigned line, const std::string& why) {
  *err = std::to_string(line) + ": " + why;
  return -22;
}

std::vector<std::string> words(const char* text) {
  std::vector<std::string> out;
  std::string cur;
  for (const char* p = text;; p++) {
    if (*p == '\0' || *p == ' ' || *p == '\t') {
      if (!cur.empty()) out.push_back(cur);
      cur.clear();
      if (*p == '\0') break;
    } else {
      cur += *p;
    }
  }
  return out;
}

int loadRule(quor_cfg_stanza_t* e, std::string* err) {
  for (const auto& k : kinds) {
    if (strcasecmp(k.name, e->KeyString) != 0) continue;
    std::vector<std::string> w = words(e->KeyValue);
    if (w.size() != (k.value ? 3u : 2u))
      return fail(err, e->LineNum,
                  std::string(k.name) + " wants read|write|* NTH" + (k.value ? " VALUE" : ""));
    rule r{};
    r.kind = k.kind;
    if (w[0] == "read")
      r.direction = GW_MOVE_READ;
    else if (w[0] == "write")
      r.direction = GW_MOVE_WRITE;
    else if (w[0] == "*")
      r.direction = -1;
    else
      return fail(err, e->LineNum, "bad FUNCTION (read, write or *)");
    std::string n = w[1];
    if (n != "*") {
      if (!n.empty() && n.back() == '+') {
        r.orLater = 1;
        n.pop_back();
      }
      int64_t v;
      if (gw_ParseNumber(n.c_str(), 1, 0x7fffffff, &v) < 0)
        return fail(err, e->LineNum, "bad NTH (*, N or N+)");
      r.nth = unsigned(v);
    }
    if (k.value == 1 && gw_ParseNumber(w[2].c_str(), k.lo, k.hi, &r.value) < 0)
      return fail(err, e->LineNum, "bad value");
    if (k.value == 2) {
      struct in_addr a;
      if (inet_pton(AF_INET, w[2].c_str(), &a) != 1)
        return fail(err, e->LineNum, std::string(k.name) + " wants an IPv4 address");
      r.text = w[2];
    }
    rules.push_back(r);
    return 0;
  }
  return -1;
}

// ---- the movers ----

// Lets the movers of a crowd go on once all of them have connected.
struct Gate {
  std::mutex m;
  std::condition_variable cv;
  int waiting = 0;
  int expected = 0;
  void arrive() {
    std::unique_lock<std::mutex> l(m);
    if (++waiting >= expected) cv.notify_all();
    cv.wait_for(l, std::chrono::seconds(kIoTimeoutSec), [&] { return waiting >= expected; });
  }
};

struct Mover {
  gw_mover_plan_t* plan;
  gw_mover_job_t* job;
  bool first;  // the job that the one-shot faults hit
  Gate* gate;
  uint64_t movedByMe = 0;
  bool firstPacket = true;
  bool sentTwice = false;
  std::vector<char> buf;
  int pipe[2] = {-1, -1};  // socket to file without a user-space copy
};

void setFailed(Mover* m, const std::string& why) {
  m->job->failed = 1;
  if (m->job->why.empty()) m->job->why = why;
}

int connectTo(const quor_sockaddr_t& addr, const std::string& from) {
  int fd = socket(addr.hs_addr.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -errno;
  struct timeval tv = {kIoTimeoutSec, 0};
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  if (!from.empty()) {
    // An IPv4 source; on an IPv6 socket (addresses decode IPv4-mapped) the
    // same address mapped.
    struct sockaddr_storage src;
    memset(&src, 0, sizeof src);
    socklen_t len;
    if (addr.hs_addr.ss_family == AF_INET6) {
      auto* s6 = reinterpret_cast<struct sockaddr_in6*>(&src);
      s6->sin6_family = AF_INET6;
      inet_pton(AF_INET6, ("::ffff:" + from).c_str(), &s6->sin6_addr);
      len = sizeof *s6;
    } else {
      auto* s4 = reinterpret_cast<struct sockaddr_in*>(&src);
      s4->sin_family = AF_INET;
      inet_pton(AF_INET, from.c_str(), &s4->sin_addr);
      len = sizeof *s4;
    }
    if (bind(fd, reinterpret_cast<sockaddr*>(&src), len) != 0) {
      int err = errno;
      close(fd);
      return -err;
    }
  }
  if (connect(fd, reinterpret_cast<const sockaddr*>(&addr.hs_addr), addr.hs_addrlen) != 0) {
    int err = errno;
    close(fd);
    return -err;
  }
  return fd;
}

bool sendAll(int fd, const void* p, size_t len, int flags = 0) {
  const char* c = static_cast<const char*>(p);
  while (len > 0) {
    ssize_t n = send(fd, c, len, MSG_NOSIGNAL | flags);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    c += n;
    len -= size_t(n);
  }
  return true;
}

bool recvAll(int fd, void* p, size_t len) {
  char* c = static_cast<char*>(p);
  while (len > 0) {
    ssize_t n = recv(fd, c, len, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    c += n;
    len -= size_t(n);
  }
  return true;
}

// File bytes straight from the host file to the socket.
bool sendFileBytes(int sock, int fd, uint64_t at, uint64_t len) {
  off_t off = off_t(at);
  while (len > 0) {
    ssize_t n = sendfile(sock, fd, &off, size_t(std::min<uint64_t>(len, 1u << 30)));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    len -= uint64_t(n);
  }
  return true;
}

void closePipe(Mover* m) {
  for (int& p : m->pipe) {
    if (p >= 0) close(p);
    p = -1;
  }
}

// len bytes of the data connection into the host file at `at`: spliced
// through a pipe, so that the bytes are copied once, as a plain receiver
// copies them; read and written where splicing is not possible. A megabyte
// that begins with zeros is read instead, so that its zero blocks stay holes.
bool recvFileBytes(Mover* m, int sock, uint64_t at, uint64_t len) {
  if (settings.memoryStore) return gw_StoreDiscard(sock, len) == 0;
  int fd = m->plan->fd;
  if (m->pipe[0] < 0 && !(fcntl(fd, F_GETFL) & O_APPEND) && pipe2(m->pipe, O_CLOEXEC) == 0)
    fcntl(m->pipe[1], F_SETPIPE_SZ, 1 << 20);
  const uint64_t chunk = gw_Buffer::size();
  if (m->pipe[0] < 0) {
    gw_Buffer b;
    if (!b.data()) return false;
    for (uint64_t done = 0; done < len;) {
      uint64_t part = std::min(len - done, chunk);
      if (!recvAll(sock, b.data(), part) || gw_WriteKeepHoles(fd, b.data(), part, at + done) != 0) return false;
      done += part;
    }
    return true;
  }
  loff_t off = loff_t(at);
  while (len > 0) {
    uint64_t part = std::min(len, chunk);
    int zero = gw_PeekZero(sock, size_t(part));
    if (zero < 0) return false;
    if (zero == 1) {
      gw_Buffer b;
      if (!b.data() || !recvAll(sock, b.data(), part) || gw_WriteKeepHoles(fd, b.data(), part, uint64_t(off)) != 0)
        return false;
      off += loff_t(part);
      len -= part;
      continue;
    }
    len -= part;
    bool ok = true;
    while (ok && part > 0) {
      ssize_t n = splice(sock, nullptr, m->pipe[1], nullptr, size_t(part), SPLICE_F_MOVE);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) ok = false;
      else part -= uint64_t(n);
      while (ok && n > 0) {
        ssize_t w = splice(m->pipe[0], nullptr, fd, &off, size_t(n), SPLICE_F_MOVE);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) ok = false;
        else n -= w;
      }
    }
    if (!ok) {
      closePipe(m);  // whatever it still holds belongs to no packet
      return false;
    }
  }
  return true;
}

// A data header as the faults want it for this packet; sent with MSG_MORE
// when data follows.
bool sendHeader(Mover* m, int fd, uint64_t xferId, uint64_t off, uint64_t len, bool more) {
  const gw_mover_faults_t& f = m->plan->faults;
  bool hit = m->first && m->firstPacket;
  pdata_hdr_t h;
  memset(&h, 0, sizeof h);
  h.PdataDelimiter = PDATA_DELIMITER;
  h.XferID = hit && f.wrongId ? xferId + 1 : xferId;
  h.Offset = hit && f.outsideWindow ? off + m->plan->total : off;
  h.Length = len;
  pdata_build_checksum(&h, &h.CheckSum);
  if (hit && f.badChecksum) h.CheckSum += 1;
  unsigned char b[PDATA_HDR_LEN];
  pdata_encode_hdr(&h, b);
  return sendAll(fd, b, sizeof b, more ? MSG_MORE : 0);
}

// Moves one packet of n bytes at stream offset off on data connection fd:
// 1 moved, 0 the mover died on purpose, -1 failed.
int movePacket(Mover* m, int fd, uint64_t xferId, uint64_t off, uint64_t n) {
  gw_mover_plan_t* plan = m->plan;
  bool die = m->first && m->firstPacket && plan->faults.die;
  uint64_t fileAt = plan->fileBase + off;
  if (plan->direction == GW_MOVE_READ) {
    if (!sendHeader(m, fd, xferId, off, n, n > 0)) return -1;
    m->firstPacket = false;
    if (die) {
      sendFileBytes(fd, plan->fd, fileAt, n / 2);
      return 0;
    }
    if (settings.memoryStore) return gw_StoreSend(fd, n, 0) == 0 ? 1 : -1;
    return sendFileBytes(fd, plan->fd, fileAt, n) ? 1 : -1;
  }
  // A write: ask for the bytes, read the header back and the data after it.
  int asks = m->first && m->firstPacket && plan->faults.repeat ? 2 : 1;
  for (int a = 0; a < asks; a++) {
    if (!sendHeader(m, fd, xferId, off, n, false)) return -1;
    m->firstPacket = false;
    unsigned char hb[PDATA_HDR_LEN];
    pdata_hdr_t back;
    if (!recvAll(fd, hb, sizeof hb) || pdata_decode_hdr(hb, &back) != PDATA_HDR_LEN ||
        back.XferID != xferId || back.Offset != off || back.Length != n)
      return -1;
    if (die) {
      if (m->buf.size() < n) m->buf.resize(n);
      recvAll(fd, m->buf.data(), n / 2);
      return 0;
    }
    if (!recvFileBytes(m, fd, fileAt, n)) return -1;
  }
  return 1;
}

// The next packet of a piece: its length under the packet size and the
// short-move fault; 0 when the mover is to stop.
uint64_t nextPacket(Mover* m, uint64_t left) {
  uint64_t n = std::min(left, settings.packetSize);
  uint64_t cap = m->plan->faults.shortMove;
  if (m->plan->faults.shortMoveSet) n = m->movedByMe >= cap ? 0 : std::min(n, cap - m->movedByMe);
  return n;
}

// A writing mover keeps several requests in flight, so that the client
// always has one to answer; the answers come back in order.
void runPdataWrite(Mover* m, int fd) {
  constexpr size_t kAhead = 8;
  struct ask {
    gw_mover_piece_t* piece;
    uint64_t off, n;
    bool again;  // the same bytes asked for a second time
  };
  std::vector<ask> queue;
  size_t head = 0, pi = 0;
  uint64_t planned = 0, inPiece = 0;
  const gw_mover_faults_t& f = m->plan->faults;
  for (;;) {
    while (queue.size() - head < kAhead && pi < m->job->pieces.size()) {
      gw_mover_piece_t& p = m->job->pieces[pi];
      uint64_t n = std::min(p.length - inPiece, settings.packetSize);
      if (f.shortMoveSet) n = planned >= f.shortMove ? 0 : std::min(n, f.shortMove - planned);
      if (n == 0) {
        pi = m->job->pieces.size();  // a short move: ask for nothing more
        break;
      }
      bool twice = m->first && m->firstPacket && f.repeat;
      for (int k = 0; k < (twice ? 2 : 1); k++) {
        if (!sendHeader(m, fd, m->job->xferId, p.offset + inPiece, n, false))
          return setFailed(m, "data connection");
        queue.push_back({&p, p.offset + inPiece, n, k > 0});
      }
      m->firstPacket = false;
      planned += n;
      inPiece += n;
      if (inPiece == p.length) {
        pi++;
        inPiece = 0;
      }
    }
    if (head == queue.size()) return;
    ask a = queue[head++];
    unsigned char hb[PDATA_HDR_LEN];
    pdata_hdr_t back;
    if (!recvAll(fd, hb, sizeof hb) || pdata_decode_hdr(hb, &back) != PDATA_HDR_LEN ||
        back.XferID != m->job->xferId || back.Offset != a.off || back.Length != a.n)
      return setFailed(m, "data connection");
    if (m->first && f.die && head == 1) {
      if (m->buf.size() < a.n) m->buf.resize(a.n);
      recvAll(fd, m->buf.data(), a.n / 2);
      return setFailed(m, "died");
    }
    if (!recvFileBytes(m, fd, m->plan->fileBase + a.off, a.n))
      return setFailed(m, "data connection");
    if (!a.again) {
      a.piece->moved += a.n;
      m->movedByMe += a.n;
    }
  }
}

void runPdata(Mover* m, int fd) {
  if (m->plan->direction == GW_MOVE_WRITE) return runPdataWrite(m, fd);
  for (gw_mover_piece_t& p : m->job->pieces) {
    while (p.moved < p.length) {
      uint64_t n = nextPacket(m, p.length - p.moved);
      if (n == 0) return;  // a short move: the mover just stops
      int rc = movePacket(m, fd, m->job->xferId, p.offset + p.moved, n);
      if (rc < 0) return setFailed(m, "data connection");
      if (rc == 0) return setFailed(m, "died");
      p.moved += n;
      m->movedByMe += n;
      if (m->first && m->plan->faults.closeBetween) return setFailed(m, "closed");
    }
  }
}

void runMvrprot(Mover* m, int ctl) {
  gw_mover_plan_t* plan = m->plan;
  const gw_mover_faults_t& f = plan->faults;
  int data = -1;
  bool sumHit = m->first && f.badChecksum;
  bool compHit = m->first;  // the one-shot completion faults
  for (gw_mover_piece_t& p : m->job->pieces) {
    while (p.moved < p.length) {
      uint64_t want = nextPacket(m, p.length - p.moved);
      if (want == 0) break;
      initiator_msg_t init;
      memset(&init, 0, sizeof init);
      init.Flags = MVRPROT_ADDR_FOLLOWS | MVRPROT_COMP_REPLY | MVRPROT_HOLD_RESOURCES;
      init.Type = MVRPROT_TYPE_TCPIP;
      init.Offset = p.offset + p.moved;
      init.Length = want;
      init.BlockSize = plan->blockSize;
      init.StripeWidth = plan->stripeWidth;
      init.TotalLength = plan->total;
      init.Delimiter = MVRPROT_DELIMITER;
      init.CheckSum = mvrprot_initmsg_checksum(&init) + (sumHit ? 1 : 0);
      sumHit = false;
      unsigned char b[MVRPROT_INITMSG_LEN];
      mvrprot_encode_initmsg(&init, b);
      initiator_msg_t reply;
      if (!sendAll(ctl, b, sizeof b) || mvrprot_recv_initmsg_timeout(ctl, &reply, kIoTimeoutSec) != 0) {
        setFailed(m, "initiator exchange");
        break;
      }
      uint64_t n = reply.Length;
      if (n == 0 || n > want || !(reply.Flags & MVRPROT_ADDR_FOLLOWS)) {
        setFailed(m, "initiator reply");
        break;
      }
      initiator_ipaddr_t ip;
      if (mvrprot_recv_ipaddr_timeout(ctl, &ip, kIoTimeoutSec) != 0 ||
          ip.IpAddr.SockTransferID != m->job->xferId) {
        setFailed(m, "address message");
        break;
      }
      if (data < 0) {
        data = connectTo(ip.IpAddr.SockAddr, f.from);
        if (data < 0) {
          setFailed(m, "data connect");
          break;
        }
      }
      int rc = movePacket(m, data, ip.IpAddr.SockTransferID, init.Offset, n);
      if (rc <= 0) {
        setFailed(m, rc == 0 ? "died" : "data connection");
        break;
      }
      p.moved += n;
      m->movedByMe += n;
      bool again = m->first && f.twice && !m->sentTwice;
      if (again) {
        // The same piece once more, as a mover that lost track would.
        m->sentTwice = true;
        p.moved -= n;
        m->movedByMe -= n;
      }
      if (reply.Flags & MVRPROT_COMP_REPLY) {
        completion_msg_t c;
        memset(&c, 0, sizeof c);
        c.Status = f.statusSet ? f.status : 0;
        c.BytesMoved = n + uint64_t(f.overstate);
        if (compHit && f.understate > 0) c.BytesMoved = n - std::min(n, f.understate);
        memcpy(c.SecurityTicket, init.SecurityTicket, 8);
        if (compHit && f.badCompletion) {
          c.Delimiter = MVRPROT_DELIMITER;
          c.CheckSum = mvrprot_compmsg_checksum(&c) + 1;
          unsigned char cb[MVRPROT_COMPMSG_LEN];
          mvrprot_encode_compmsg(&c, cb);
          if (!sendAll(ctl, cb, sizeof cb)) {
            setFailed(m, "completion");
            break;
          }
        } else if (mvrprot_send_compmsg_timeout(ctl, &c, kIoTimeoutSec) != 0) {
          setFailed(m, "completion");
          break;
        }
        compHit = false;
      }
      if (m->first && f.closeBetween) {
        setFailed(m, "closed");
        break;
      }
    }
    if (m->job->failed) break;
  }
  if (data >= 0) close(data);
}

void runJob(Mover* m) {
  if (m->plan->offline) {
    if (m->gate) m->gate->arrive();
    return setFailed(m, "offline");
  }
  const gw_mover_faults_t& f = m->plan->faults;
  int fd = connectTo(m->job->addr, m->first && !f.oneFrom.empty() ? f.oneFrom : f.from);
  if (m->gate) m->gate->arrive();
  if (fd < 0) return setFailed(m, "connect");
  if (m->job->protocol == GW_MOVER_MVRPROT && gw_San3pEnabled()) {
    std::string why;
    if (gw_San3pRunJob(m->plan, m->job, fd, &why) < 0) setFailed(m, why);
  } else if (m->job->protocol == GW_MOVER_MVRPROT) {
    runMvrprot(m, fd);
  } else {
    runPdata(m, fd);
  }
  // Half-close first, so that a client still reading sees the end before the
  // socket goes.
  shutdown(fd, SHUT_WR);
  close(fd);
  closePipe(m);
}

// Mover threads live across requests: a request's movers are handed to
// idle threads all at once rather than each started in turn.
struct MoverPool {
  std::mutex m;
  std::condition_variable cv;
  std::deque<std::function<void()>> work;
  size_t idle = 0;
};

MoverPool& pool() {
  static MoverPool* p = new MoverPool;  // never destroyed: its threads outlive main
  return *p;
}

void poolThread() {
  MoverPool& p = pool();
  std::unique_lock<std::mutex> l(p.m);
  for (;;) {
    p.idle++;
    p.cv.wait(l, [&] { return !p.work.empty(); });
    p.idle--;
    std::function<void()> fn = std::move(p.work.front());
    p.work.pop_front();
    l.unlock();
    fn();
    l.lock();
  }
}

// Runs every fn at the same time on kept threads and waits for all: how
// many ran (those from the first that got no thread on did not). Each fn
// gets a thread of its own at once: an idle one, or one started for it.
size_t poolRun(std::vector<std::function<void()>>& fns) {
  MoverPool& p = pool();
  std::mutex doneLock;
  std::condition_variable doneCv;
  size_t left = fns.size();
  size_t queued = 0;
  {
    std::lock_guard<std::mutex> l(p.m);
    for (std::function<void()>& fn : fns) {
      if (p.idle < p.work.size() + 1) {
        try {
          std::thread(poolThread).detach();
        } catch (const std::system_error&) {
          break;
        }
        // The new thread counts itself idle once it waits; until then the
        // queue holds its share.
      }
      p.work.push_back([&, f = std::move(fn)] {
        f();
        std::lock_guard<std::mutex> d(doneLock);
        if (--left == 0) doneCv.notify_all();
      });
      queued++;
    }
  }
  p.cv.notify_all();
  std::unique_lock<std::mutex> d(doneLock);
  left -= fns.size() - queued;
  doneCv.wait(d, [&] { return left == 0; });
  return queued;
}

}  // namespace

int gw_StoreSend(int sock, uint64_t len, int flags) {
  static const std::vector<char> zeros(1 << 20, 0);
  while (len > 0) {
    ssize_t n = send(sock, zeros.data(), size_t(std::min<uint64_t>(len, zeros.size())),
                     MSG_NOSIGNAL | flags);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return n < 0 ? -errno : -5;
    len -= uint64_t(n);
  }
  return 0;
}

void gw_StoreGrow(int fd, uint64_t end) {
  struct stat st;
  if (fstat(fd, &st) == 0 && uint64_t(st.st_size) < end) {
    int rc = ftruncate(fd, off_t(end));
    (void)rc;  // the reply counts what moved, not the file's size
  }
}

int gw_StoreDiscard(int sock, uint64_t len) {
  gw_Buffer sink;
  if (!sink.data()) return -12;
  while (len > 0) {
    ssize_t n = recv(sock, sink.data(), size_t(std::min<uint64_t>(len, sink.size())), 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return n < 0 ? -errno : -5;
    len -= uint64_t(n);
  }
  return 0;
}

int gw_MoversLoad(quor_cfg_stanza_t* block, std::string* err) {
  for (quor_cfg_stanza_t* e = block->substanzaList; e; e = e->next) {
    if (e->type != CFG_SIMPLE_TYPE || !e->KeyValue)
      return fail(err, e->LineNum, std::string("Movers entry needs a value: ") + e->KeyString);
    int rc = loadRule(e, err);
    if (rc == 0) continue;
    if (rc != -1) return rc;
    int64_t v;
    const char* val = e->KeyValue;
    if (strcasecmp(e->KeyString, "PerAddress") == 0) {
      if (gw_ParseNumber(val, 1, 1000, &v) < 0) return fail(err, e->LineNum, "bad PerAddress");
      settings.perAddress = int(v);
    } else if (strcasecmp(e->KeyString, "PacketSize") == 0) {
      if (gw_ParseNumber(val, 1, 1LL << 31, &v) < 0)
        return fail(err, e->LineNum, "bad PacketSize");
      settings.packetSize = uint64_t(v);
    } else if (strcasecmp(e->KeyString, "MaxRequest") == 0) {
      if (gw_ParseNumber(val, 0, INT64_MAX, &v) < 0) return fail(err, e->LineNum, "bad MaxRequest");
      settings.maxRequest = uint64_t(v);
    } else if (strcasecmp(e->KeyString, "Store") == 0) {
      if (strcasecmp(val, "file") == 0)
        settings.memoryStore = 0;
      else if (strcasecmp(val, "memory") == 0)
        settings.memoryStore = 1;
      else
        return fail(err, e->LineNum, "Store is file or memory");
    } else if (strcasecmp(e->KeyString, "Protocol") == 0) {
      if (strcasecmp(val, "pdata") == 0)
        settings.selectProtocol = GW_MOVER_PDATA;
      else if (strcasecmp(val, "mover") == 0)
        settings.selectProtocol = GW_MOVER_MVRPROT;
      else
        return fail(err, e->LineNum, "Protocol is pdata or mover");
    } else {
      return fail(err, e->LineNum, std::string("unknown Movers key ") + e->KeyString);
    }
  }
  return 0;
}

const gw_mover_settings_t* gw_MoverSettings(void) { return &settings; }

gw_mover_faults_t gw_MoverFaultsFor(int direction) {
  gw_mover_faults_t f;
  std::lock_guard<std::mutex> hold(countLock);
  unsigned seen = ++requests[direction];
  for (const rule& r : rules) {
    if (r.direction >= 0 && r.direction != direction) continue;
    if (!(r.nth == 0 || seen == r.nth || (r.orLater && seen > r.nth))) continue;
    switch (r.kind) {
      case F_SHORT:
        f.shortMove = uint64_t(r.value);
        f.shortMoveSet = 1;
        break;
      case F_CODE:
        f.code = int32_t(r.value);
        f.codeSet = 1;
        break;
      case F_REPEAT: f.repeat = 1; break;
      case F_DIE: f.die = 1; break;
      case F_BADSUM: f.badChecksum = 1; break;
      case F_WRONGID: f.wrongId = 1; break;
      case F_OUTSIDE: f.outsideWindow = 1; break;
      case F_OVERSTATE: f.overstate = r.value; break;
      case F_STATUS:
        f.status = int32_t(r.value);
        f.statusSet = 1;
        break;
      case F_FROM: f.from = r.text; break;
      case F_CROWD: f.crowd = int(r.value); break;
      case F_UNDERSTATE: f.understate = uint64_t(r.value); break;
      case F_BADCOMP: f.badCompletion = 1; break;
      case F_CLOSEBETWEEN: f.closeBetween = 1; break;
      case F_ONEFROM: f.oneFrom = r.text; break;
      case F_STRIPE_HOLE: f.stripeHole = 1; break;
      default: break;  // the read knobs count mover-protocol reads only
    }
  }
  return f;
}

void gw_MoverReadKnobsFor(gw_mover_faults_t* f) {
  static unsigned reads = 0;
  std::lock_guard<std::mutex> hold(countLock);
  unsigned seen = ++reads;
  for (const rule& r : rules) {
    if (r.direction == GW_MOVE_WRITE) continue;
    if (!(r.nth == 0 || seen == r.nth || (r.orLater && seen > r.nth))) continue;
    switch (r.kind) {
      case F_EIO_AFTER: f->eioAfter = uint64_t(r.value); break;
      case F_CLAIM_MORE: f->claimMore = uint64_t(r.value); break;
      case F_TWICE: f->twice = 1; break;
      case F_SWAP: f->swap = 1; break;
      default: break;
    }
  }
}

void gw_MoversRun(gw_mover_plan_t* plan) {
  if (plan->jobs.size() == 1 && plan->faults.crowd == 0) {
    // One mover runs on the calling thread: no thread to start and join.
    Mover m;
    m.plan = plan;
    m.job = &plan->jobs[0];
    m.first = true;
    m.gate = nullptr;
    runJob(&m);
  } else {
    Gate gate;
    gate.expected = int(plan->jobs.size());
    std::vector<Mover> movers(plan->jobs.size());
    for (size_t i = 0; i < plan->jobs.size(); i++) {
      movers[i].plan = plan;
      movers[i].job = &plan->jobs[i];
      movers[i].first = i == 0;
      movers[i].gate = plan->faults.crowd > 0 ? &gate : nullptr;
    }
    if (plan->faults.crowd > 0) {
      // A crowd is all of its movers connected at once, each on a thread
      // started for it: none of them may wait behind another for a thread.
      std::vector<std::thread> threads;
      for (Mover& m : movers) threads.emplace_back(runJob, &m);
      for (std::thread& t : threads) t.join();
    } else {
      std::vector<std::function<void()>> fns;
      for (Mover& m : movers) fns.push_back([p = &m] { runJob(p); });
      // A mover that got no thread moved nothing; the others' bytes count.
      for (size_t i = poolRun(fns); i < movers.size(); i++) setFailed(&movers[i], "no thread");
    }
  }
  // Zeros at the end were not written (memory) or kept as a hole (file).
  if (plan->direction == GW_MOVE_WRITE && !plan->offline) {
    uint64_t moved = gw_MoversPrefix(plan);
    if (moved > 0) gw_StoreGrow(plan->fd, plan->fileBase + moved);
  }
}

uint64_t gw_MoversPrefix(const gw_mover_plan_t* plan) {
  std::vector<std::pair<uint64_t, uint64_t>> runs;
  for (const gw_mover_job_t& j : plan->jobs)
    for (const gw_mover_piece_t& p : j.pieces)
      if (p.moved > 0) runs.emplace_back(p.offset, p.offset + p.moved);
  std::sort(runs.begin(), runs.end());
  uint64_t prefix = 0;
  for (const auto& r : runs) {
    if (r.first > prefix) break;
    prefix = std::max(prefix, r.second);
  }
  return std::min(prefix, plan->total);
}
