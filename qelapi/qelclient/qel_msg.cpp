// Message exchange on a gateway connection: request ids, the two streams,
// whole-message sends, and the receive that hands the inbound stream from
// thread to thread until each has its own reply.
#include <errno.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <linux/futex.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

#include <openssl/crypto.h>

#include "msg_files.h"
#include "quor_api.h"
#include "quor_api_internal.h"
#include "quor_api_msgdefs.h"
#include "quor_convert.h"

namespace {

std::atomic<bool> requestIdSeeded{false};
std::atomic<uint32_t> requestIdState{0};

// Raised by quorex_InterruptWaits; a wait compares it with its value at
// the start of the wait.
std::atomic<unsigned> waitInterrupts{0};
thread_local bool waitsInterruptible = false;
// waitInterrupts when the thread last allowed interrupts: one that came
// after it, even before the wait began, ends the wait.
thread_local unsigned interruptBase = 0;
constexpr int kInterruptGraceSeconds = 2;

double monotonicSeconds() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

// Waits until the socket is readable: 0, or -2 when an interrupt asked the
// wait to give up and the gateway stayed silent through the grace period.
int awaitReadable(int fd) {
  const unsigned seen = interruptBase;
  double giveUpAt = 0;
  for (;;) {
    struct pollfd p = {fd, POLLIN, 0};
    int r = poll(&p, 1, 100);
    if (r != 0 && !(r < 0 && errno == EINTR)) return 0;  // ready, or recv reports it
    if (!waitsInterruptible || waitInterrupts.load() == seen) continue;
    double now = monotonicSeconds();
    if (giveUpAt == 0)
      giveUpAt = now + kInterruptGraceSeconds / qelapi_time_scale();
    else if (now >= giveUpAt)
      return -2;
  }
}

// ---- the inbound stream's own reader ----

// Reads what the socket has into the emptied buffer (blocking until it has
// something); 0, or -1 (and eof set) at end of stream or on an error, -2
// (and eof set) when an interrupt made the wait give up.
int inRecv(quor_msgstream_t* s) {
  const int savedErrno = errno;  // a read that waited first still leaves errno as it was
  ssize_t n;
  for (;;) {
    n = recv(s->fd, s->buffer, QEL_MSGSTREAM_BUFSIZE, MSG_DONTWAIT);
    if (n >= 0 || (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK)) break;
    if (errno != EINTR && awaitReadable(s->fd) < 0) {
      s->eof = 1;
      return -2;
    }
  }
  if (n <= 0) {
    s->eof = 1;
    return -1;
  }
  s->rpos = 0;
  s->rlen = size_t(n);
  errno = savedErrno;
  return 0;
}

// Makes at least one byte available: 0, or -1 at end of stream or error.
int inFill(quor_msgstream_t* s) {
  if (s->rpos < s->rlen) return 0;
  if (s->eof) return -1;
  return inRecv(s);
}

int inGet(quor_msgstream_t* s, char* out, size_t n) {
  while (n > 0) {
    if (inFill(s) < 0) return -1;
    size_t take = std::min(n, s->rlen - s->rpos);
    memcpy(out, s->buffer + s->rpos, take);
    s->rpos += take;
    s->consumed += u_int(take);
    out += take;
    n -= take;
  }
  return 0;
}

quor_msgstream_t* inStream(XDR* x) { return reinterpret_cast<quor_msgstream_t*>(x->x_private); }

bool_t in_getlong(XDR* x, long* lp) {
  unsigned char b[4];
  if (inGet(inStream(x), reinterpret_cast<char*>(b), 4) < 0) return FALSE;
  // Zero-extended, as libtirpc's own streams do.
  *lp = long((uint32_t(b[0]) << 24) | (uint32_t(b[1]) << 16) | (uint32_t(b[2]) << 8) | b[3]);
  return TRUE;
}
bool_t in_putlong(XDR*, const long*) { return FALSE; }
bool_t in_getbytes(XDR* x, char* addr, u_int len) { return inGet(inStream(x), addr, len) == 0; }
bool_t in_putbytes(XDR*, const char*, u_int) { return FALSE; }
u_int in_getpostn(XDR* x) { return inStream(x)->consumed; }
bool_t in_setpostn(XDR*, u_int) { return FALSE; }
int32_t* in_inline(XDR*, u_int) { return nullptr; }
void in_destroy(XDR*) {}
bool_t in_control(XDR*, int, void*) { return FALSE; }

const XDR::xdr_ops inOps = {in_getlong,  in_putlong, in_getbytes, in_putbytes, in_getpostn,
                            in_setpostn, in_inline,  in_destroy,  in_control};

// ---- hand-over between threads ----

// Signals owed to woken threads. A wake-up is made under the inbound lock
// and the sleeper's mutex (the flag the sleeper waits for); the kernel call
// that rouses it may follow once this thread has let go of the inbound
// lock, so that the lock is not held across system calls. A sleeper waits
// for its flag, so an early or late signal is harmless.
// A thread's wake-up event: msgWoken is 0, kEventSet once a waker set it,
// or kEventSleeping while its thread sleeps on it. Only a waker that finds
// the thread asleep makes a system call, and the sleeper takes no lock on
// waking, so a hand-over costs one wait and at most one wake.
constexpr int kEventSet = 1;
constexpr int kEventSleeping = 2;

// Both keep the caller's errno: a wait that finds the event already set
// fails with EAGAIN, and callers report errno only for their own failures.
void wakeEvent(qelapi_tcontext_t* t) {
  int saved = errno;
  syscall(SYS_futex, &t->msgWoken, FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0);
  errno = saved;
}

void waitEvent(qelapi_tcontext_t* t) {
  int saved = errno;
  for (;;) {
    int v = 0;
    if (__atomic_compare_exchange_n(&t->msgWoken, &v, kEventSleeping, false, __ATOMIC_ACQUIRE,
                                    __ATOMIC_ACQUIRE) ||
        v == kEventSleeping) {
      // A wake-up that came in between shows as a changed value: no sleep.
      syscall(SYS_futex, &t->msgWoken, FUTEX_WAIT_PRIVATE, kEventSleeping, nullptr, nullptr, 0);
      continue;
    }
    break;
  }
  __atomic_store_n(&t->msgWoken, 0, __ATOMIC_RELAXED);
  errno = saved;
}

struct Signals {
  qelapi_tcontext_t* owed[64];
  int n = 0;
  void flush() {
    for (int i = 0; i < n; i++) wakeEvent(owed[i]);
    n = 0;
  }
};

// Wakes one sleeper taken off the wait list; the caller holds the inbound
// lock. done: its reply was decoded for it. The system call, needed only
// when the sleeper already sleeps, goes out now, or later from owed when
// given (and not full).
void wakeThread(qelapi_tcontext_t* t, bool done = false, Signals* owed = nullptr) {
  if (done) __atomic_store_n(&t->msgReplyDone, 1, __ATOMIC_RELEASE);
  if (__atomic_exchange_n(&t->msgWoken, kEventSet, __ATOMIC_ACQ_REL) != kEventSleeping) return;
  if (owed != nullptr && owed->n < int(sizeof owed->owed / sizeof owed->owed[0]))
    owed->owed[owed->n++] = t;
  else
    wakeEvent(t);
}

void removeWaiter(quor_msgstream_t* in, qelapi_tcontext_t* who) {
  for (qelapi_tcontext_t** pp = &in->waitReplyList; *pp; pp = &(*pp)->msgQNext) {
    if (*pp == who) {
      *pp = who->msgQNext;
      who->msgQNext = nullptr;
      return;
    }
  }
}

void wakeFirst(quor_msgstream_t* in, Signals* owed = nullptr) {
  qelapi_tcontext_t* next = in->waitReplyList;
  if (next == nullptr) return;
  in->waitReplyList = next->msgQNext;
  next->msgQNext = nullptr;
  wakeThread(next, false, owed);
}


// The thread that has sent the request this id answers on conn's current
// opening and not yet taken its reply, or null.
qelapi_tcontext_t* awaitingThread(quor_connection_t* conn, uint32_t id) {
  uint32_t gen = conn->generation;
  pthread_mutex_lock(&threadlist_lock);
  qelapi_tcontext_t* found = nullptr;
  for (qelapi_tcontext_t* t = thread_list; t && !found; t = t->next)
    if (t->msgAwaiting && t->msgRequestID == id && t->msgConnection == conn &&
        t->msgGeneration == gen)
      found = t;
  pthread_mutex_unlock(&threadlist_lock);
  return found;
}

// Holds the connection of one exchange for its whole length, so that a close
// meanwhile cannot free the record under it. The thread's own binding does
// that already for its bound connection (only the thread changes it), so
// only another connection named explicitly takes a reference.
struct ExchangeHold {
  quor_connection_t* conn = nullptr;
  bool held = false;
  ExchangeHold(quor_connection_t* given, qelapi_tcontext_t* ts) {
    quor_connection_t* bound = ts != nullptr ? ts->connection : nullptr;
    conn = given != nullptr ? given : bound;
    if (conn == nullptr || conn == bound) return;
    held = true;
    qelapi_ConnHold(conn);
  }
  ~ExchangeHold() {
    if (held) qelapi_ConnRelease(conn);
  }
  ExchangeHold(const ExchangeHold&) = delete;
  ExchangeHold& operator=(const ExchangeHold&) = delete;
};

// Decodes the body of the pending header into rec with codec: 0, or -5000
// with the connection broken (the stream cannot be read in step any more).
int takeBody(quor_connection_t* conn, api_msghdr_t* hdr, void* rec, xdrproc_t codec) {
  if (!(hdr->msgFlags & API_MSGF_BODY)) return 0;
  if (rec == nullptr || codec == nullptr) {
    QEL_LOG(0, "data passed, but xdrproc or parambuf is NULL!");
    qelapi_MarkBroken(conn);
    return -5000;
  }
  if (!codec(&conn->msg_in.theXdr, rec, 0)) {
    QEL_LOG(3, "caller's XDR function for category %d function %d returned FALSE!", hdr->category,
            hdr->function);
    qelapi_MarkBroken(conn);
    return -5000;
  }
  return 0;
}

// Writes every byte on the blocking socket: 0, or the negated errno.
int sendAll(int fd, const char* p, size_t len) {
  while (len > 0) {
    ssize_t n = send(fd, p, len, MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) continue;
      return -errno;
    }
    p += n;
    len -= size_t(n);
  }
  return 0;
}

// The encode buffer of the calling thread: a message is built whole here
// before any of it is queued.
thread_local std::vector<char> encodeBuffer;

// The reply this thread announced and has not collected goes on its
// connection's list of replies to drop, since the thread moves on to another
// exchange: whoever reads it then drops it. Waiters left behind it look again.
void leaveAnnounced(qelapi_tcontext_t* ts) {
  if (!ts->msgMoreReplies || !ts->msgAwaiting || ts->msgMoreProc == nullptr) return;
  quor_connection_t* want = ts->msgConnection;
  quor_connection_t* conn = nullptr;
  pthread_mutex_lock(&qelapi_connection_lock);
  for (quor_connection_t* c = qelapi_connection_list; c && !conn; c = c->next)
    if (c == want) conn = c;
  if (conn) conn->refs++;
  pthread_mutex_unlock(&qelapi_connection_lock);
  if (conn == nullptr) {
    ts->msgMoreReplies = 0;
    ts->msgAwaiting = 0;
    return;
  }
  pthread_mutex_lock(&conn->msg_in.theMutex);
  std::vector<qel_unclaimed_t>& list = conn->unclaimed;
  uint32_t gen = conn->generation;
  // Entries of earlier openings can never match again.
  std::erase_if(list, [gen](const qel_unclaimed_t& u) { return u.generation != gen; });
  if (ts->msgGeneration == gen) {
    if (list.size() >= 64) list.erase(list.begin());
    list.push_back({ts->msgRequestID, gen, ts->msgMoreProc, ts->msgMoreSize});
  }
  ts->msgMoreReplies = 0;
  ts->msgAwaiting = 0;
  qelapi_WakeAllWaiters(&conn->msg_in);
  pthread_mutex_unlock(&conn->msg_in.theMutex);
  qelapi_ConnRelease(conn);
}

// Under the inbound lock: reads off and drops the pending reply when it is
// one left by its thread; whether it was.
bool dropUnclaimed(quor_connection_t* conn, api_msghdr_t* hdr) {
  std::vector<qel_unclaimed_t>& list = conn->unclaimed;
  for (size_t i = 0; i < list.size(); i++) {
    if (list[i].id != hdr->msgRequestID || list[i].generation != conn->generation) continue;
    qel_unclaimed_t u = list[i];
    list.erase(list.begin() + std::ptrdiff_t(i));
    std::vector<max_align_t> rec((u.size + sizeof(max_align_t) - 1) / sizeof(max_align_t) + 1);
    memset(rec.data(), 0, rec.size() * sizeof(max_align_t));
    if (takeBody(conn, hdr, rec.data(), u.codec) < 0) return false;
    xdr_free(u.codec, reinterpret_cast<char*>(rec.data()));
    QEL_LOG(7, "dropped the uncollected reply for request id %u", hdr->msgRequestID);
    return true;
  }
  return false;
}

}  // namespace

void quorex_InterruptWaits(void) { waitInterrupts.fetch_add(1); }

void quorex_WaitsInterruptible(int on) {
  waitsInterruptible = on != 0;
  if (on) interruptBase = waitInterrupts.load();
}

void qelapi_WakeAllWaiters(quor_msgstream_t* in) {
  while (in->waitReplyList != nullptr) wakeFirst(in);
}

void qelapi_MarkBroken(quor_connection_t* conn) {
  conn->broken = 1;
  if (conn->ctl_fd >= 0) shutdown(conn->ctl_fd, SHUT_RDWR);
}

void qelapi_PrepareReply(qelapi_tcontext_t* ts, void* rec, xdrproc_t codec) {
  ts->msgReplyBuf = rec;
  ts->msgReplyProc = codec;
  ts->msgPrepared = 1;
}

void qelapi_ExpectReply(qelapi_tcontext_t* ts, quor_connection_t* conn, uint32_t id) {
  qelapi_ExpectReply(ts, conn, id, conn->generation.load());
}

void qelapi_ExpectReply(qelapi_tcontext_t* ts, quor_connection_t* conn, uint32_t id,
                        uint32_t generation) {
  // Plain fields first: the atomics below publish them to readers. A new
  // awaited id starts a new exchange: more replies announced for an earlier
  // one that was never finished do not carry over.
  ts->msgReplyDone = 0;
  ts->msgMoreReplies = 0;
  ts->msgRequestID = id;
  ts->msgConnection = conn;
  ts->msgGeneration = generation;
  ts->msgAwaiting = 1;
}

void qelapi_AnnounceReplies(qelapi_tcontext_t* ts, xdrproc_t codec, size_t size) {
  ts->msgMoreProc = codec;
  ts->msgMoreSize = size;
  ts->msgMoreReplies = 1;
}

void qelapi_MoreReplies(qelapi_tcontext_t* ts, int more, quor_connection_t* given) {
  if (more) {
    ts->msgMoreProc = nullptr;
    ts->msgMoreReplies = 1;
    return;
  }
  ExchangeHold hold(given, ts);
  quor_connection_t* conn = hold.conn;
  if (conn == nullptr) {
    ts->msgMoreReplies = 0;
    ts->msgAwaiting = 0;
    return;
  }
  pthread_mutex_lock(&conn->msg_in.theMutex);
  ts->msgMoreReplies = 0;
  ts->msgAwaiting = 0;
  qelapi_WakeAllWaiters(&conn->msg_in);
  pthread_mutex_unlock(&conn->msg_in.theMutex);
}

uint32_t qelapi_getRequestID(void) {
  if (!requestIdSeeded) {
    // The seed, once; afterwards each caller advances the state itself.
    pthread_mutex_lock(&qelapi_requestID_lock);
    if (!requestIdSeeded) {
      requestIdState =
          (static_cast<uint32_t>(time(nullptr)) ^ static_cast<uint32_t>(getpid())) + 1u;
      requestIdSeeded = true;
    }
    pthread_mutex_unlock(&qelapi_requestID_lock);
  }
  // Every caller gets the value it produced itself, as under a lock.
  uint32_t old = requestIdState.load();
  uint32_t id;
  do id = (old * 1103515245u + 12345u) & 0x7fffffffu;
  while (!requestIdState.compare_exchange_weak(old, id));
  return id;
}

int qel_BuildMsgStream(int fd, quor_msgstream_t* stream, int inout) {
  if (stream->state != STREAM_CLOSED) {
    QEL_LOG(2, "Called for non-closed stream (state=%d)!", stream->state);
    return -9;
  }
  stream->messageInState = 0;
  stream->waitReplyList = nullptr;
  stream->readerActive = 0;
  char* buf = static_cast<char*>(malloc(QEL_MSGSTREAM_BUFSIZE));
  if (buf == nullptr) return -12;
  stream->fd = fd;
  stream->buffer = buf;
  stream->rpos = stream->rlen = 0;
  stream->consumed = 0;
  stream->eof = 0;
  stream->plen = 0;
  stream->writerActive = 0;
  stream->secretQueued = 0;
  if (inout == 0) {
    // Both directions share the socket, which the connection closes once.
    memset(&stream->theXdr, 0, sizeof stream->theXdr);
    stream->theXdr.x_op = XDR_DECODE;
    stream->theXdr.x_ops = const_cast<XDR::xdr_ops*>(&inOps);
    stream->theXdr.x_private = reinterpret_cast<char*>(stream);
  }
  stream->state = STREAM_IDLE;
  return 0;
}

int qel_FreeMsgStream(quor_msgstream_t* stream) {
  if (stream->state == STREAM_CLOSED) {
    QEL_LOG(2, "qel_FreeMsgStream called for non-open stream (state=%d)!", stream->state);
    return -9;
  }
  free(stream->buffer);
  stream->buffer = nullptr;
  stream->rpos = stream->rlen = 0;
  stream->fd = -1;
  stream->state = STREAM_CLOSED;
  return 0;
}

namespace {

// Writes what is queued on out, batch by batch, until the queue is empty;
// the caller holds the outbound lock and has made itself the writer. The
// first batch holds the caller's own message: its failure is the result
// (negated errno), later ones only break the connection for the threads
// whose messages they carried.
int writeQueued(quor_connection_t* conn, quor_msgstream_t* out) {
  int result = 0;
  bool first = true;
  while (out->plen > 0) {
    size_t n = out->plen;
    // Others append behind the first n bytes meanwhile; nobody else writes.
    pthread_mutex_unlock(&out->theMutex);
    int rc = sendAll(out->fd, out->buffer, n);
    pthread_mutex_lock(&out->theMutex);
    if (out->secretQueued) {
      // Log-in messages carry secrets; leave no copy in the queue.
      OPENSSL_cleanse(out->buffer, n);
      out->secretQueued = 0;
    }
    memmove(out->buffer, out->buffer + n, out->plen - n);
    out->plen -= n;
    if (rc < 0) {
      // A peer that is gone leaves the replies it sent readable for their
      // owners; any other failure may have left part of a message on a
      // live socket, and the gateway would misread all that follows.
      QEL_LOG(3, "error %d trying to flush XDR stream", -rc);
      if (rc != -EPIPE && rc != -ECONNRESET) qelapi_MarkBroken(conn);
      if (first) result = rc;
      // What is still queued cannot go out in step any more.
      out->plen = 0;
    }
    first = false;
  }
  return result;
}

}  // namespace

int qelapi_CommonSendMsg(quor_connection_t* GatewayContext, qelapi_tcontext_t* ThreadState,
                         int NeedRequestID, api_msghdr_t* MsgHdr, void* ParamBuf,
                         xdrproc_t Xdrproc) {
  if (ThreadState != nullptr) leaveAnnounced(ThreadState);
  ExchangeHold hold(GatewayContext, ThreadState);
  quor_connection_t* conn = hold.conn;
  if (conn == nullptr || ThreadState == nullptr) return -50;
  quor_msgstream_t* out = &conn->msg_out;
  if (conn->state != CONNECTION_OPEN) {
    QEL_LOG(7, "called for closed connection");
    return -50;
  }
  api_msghdr_t h = *MsgHdr;
  api_msghdr_t* hdr = &h;
  if (NeedRequestID) hdr->msgRequestID = qelapi_getRequestID();
  if (ParamBuf != nullptr) {
    hdr->msgFlags |= API_MSGF_BODY;
    if (Xdrproc == nullptr) {
      QEL_LOG(0, "data passed, but Xdrproc is NULL!");
      return -5000;
    }
  }

  // Encode the whole message before a byte of it is queued; a body larger
  // than the usual buffer gets one of its own size.
  std::vector<char>& buf = encodeBuffer;
  if (buf.size() < 4096) buf.resize(4096);
  u_int len = 0;
  for (int attempt = 0; attempt < 2; attempt++) {
    XDR x;
    xdrmem_create(&x, buf.data(), u_int(buf.size()), XDR_ENCODE);
    if (!qel_xdr_api_msghdr_t(&x, hdr)) {
      xdr_destroy(&x);
      QEL_LOG(3, "qel_xdr_api_msghdr_t failed for category %d function %d!", hdr->category,
              hdr->function);
      return -5000;
    }
    bool ok = ParamBuf == nullptr || Xdrproc(&x, ParamBuf, 0);
    len = xdr_getpos(&x);
    xdr_destroy(&x);
    if (ok) break;
    unsigned long need = attempt == 0 ? xdr_sizeof(Xdrproc, ParamBuf) : 0;
    if (need == 0 || need + API_MSGHDR_WIRE_SIZE <= buf.size() || need > QEL_XDR_MAX_BLOCK) {
      OPENSSL_cleanse(buf.data(), len);
      QEL_LOG(3, "caller's XDR function for category %d function %d returned FALSE!",
              hdr->category, hdr->function);
      return -1;
    }
    buf.resize(need + API_MSGHDR_WIRE_SIZE);
  }
  const bool secret = hdr->category == QEL_CAT_AUTH;

  if (qelapi_logging_flags & QEL_LOG_MSGTRACE) {
    qelapi_tracemsg_hdr(1, conn, hdr);
    qelapi_tracemsg_data(1, conn, hdr, ParamBuf);
  }

  // Register the awaited reply before the request can leave: a fast reply
  // may be read by another thread before this call returns.
  bool expects = API_MSGF_EXPECTS_REPLY(hdr->msgFlags);
  uint32_t oldId = ThreadState->msgRequestID;
  quor_connection_t* oldConn = ThreadState->msgConnection;
  uint32_t oldGen = ThreadState->msgGeneration;
  int oldAwaiting = ThreadState->msgAwaiting;
  auto unregister = [&] {
    if (!expects) return;
    ThreadState->msgRequestID = oldId;
    ThreadState->msgConnection = oldConn;
    ThreadState->msgGeneration = oldGen;
    ThreadState->msgAwaiting = oldAwaiting;
  };

  pthread_mutex_lock(&out->theMutex);
  int rc = 0;
  if (conn->state != CONNECTION_OPEN || out->state != STREAM_IDLE) {
    QEL_LOG(7, "called for closed connection");
    rc = -50;
  } else if (conn->broken) {
    rc = -5000;
  }
  // A message that does not fit behind what is queued waits for the writer
  // to empty the queue.
  while (rc == 0 && out->writerActive && out->plen + len > QEL_MSGSTREAM_BUFSIZE) {
    pthread_cond_wait(&out->theCondition, &out->theMutex);
    if (conn->state != CONNECTION_OPEN || out->state != STREAM_IDLE) rc = -50;
    else if (conn->broken) rc = -5000;
  }
  if (rc != 0) {
    pthread_mutex_unlock(&out->theMutex);
    if (secret) OPENSSL_cleanse(buf.data(), len);
    return rc;
  }
  if (expects) qelapi_ExpectReply(ThreadState, conn, hdr->msgRequestID);
  out->messageHdr = *hdr;
  bool queued = out->plen + len <= QEL_MSGSTREAM_BUFSIZE;
  if (queued) {
    memcpy(out->buffer + out->plen, buf.data(), len);
    out->plen += len;
    if (secret) out->secretQueued = 1;
  }
  if (secret) OPENSSL_cleanse(buf.data(), len);
  if (out->writerActive) {
    // The writer takes this message with its next batch, whole and in
    // order; a failure of that write breaks the connection, which the
    // receive of the reply then reports.
    pthread_mutex_unlock(&out->theMutex);
    return 0;
  }
  out->writerActive = 1;
  if (!queued) {
    // Larger than the whole queue: written by itself, the queue being empty.
    pthread_mutex_unlock(&out->theMutex);
    rc = sendAll(out->fd, buf.data(), len);
    pthread_mutex_lock(&out->theMutex);
    if (rc < 0) {
      QEL_LOG(3, "error %d trying to flush XDR stream", -rc);
      if (rc != -EPIPE && rc != -ECONNRESET) qelapi_MarkBroken(conn);
    }
    if (secret) OPENSSL_cleanse(buf.data(), len);
    buf.resize(4096);
    buf.shrink_to_fit();
  } else {
    rc = writeQueued(conn, out);
  }
  out->writerActive = 0;
  pthread_cond_broadcast(&out->theCondition);
  pthread_mutex_unlock(&out->theMutex);
  if (rc < 0) {
    unregister();
    return -1;
  }
  return 0;
}

int qelapi_send_msg(uint16_t Category, uint16_t SubFunction, void* ParamBuf, xdrproc_t XdrProc,
                    uint32_t Flags, uint32_t MsgTime, quor_connection_t* GatewayContext,
                    qelapi_tcontext_t* ThreadState) {
  api_msghdr_t hdr;
  uint32_t t = MsgTime != 0 ? MsgTime : static_cast<uint32_t>(time(nullptr));
  ozugw_BuildMsgHdr(&hdr, 0, Flags, t, 0, Category, SubFunction, 0);
  return qelapi_CommonSendMsg(GatewayContext, ThreadState, 1, &hdr, ParamBuf, XdrProc);
}

int ozugw_sendTaskMsg(uint32_t TaskId, uint32_t MsgRequestID, uint16_t Category,
                      uint16_t SubFunction, void* Parambuf, xdrproc_t Xdrproc, uint32_t Flags,
                      uint32_t MsgTime, int32_t ErrorCode, quor_connection_t* GatewayContext,
                      qelapi_tcontext_t* ThreadState) {
  api_msghdr_t hdr;
  uint32_t t = MsgTime != 0 ? MsgTime : static_cast<uint32_t>(time(nullptr));
  ozugw_BuildMsgHdr(&hdr, MsgRequestID, Flags | API_MSGF_TASK, t, TaskId, Category, SubFunction,
                    ErrorCode);
  return qelapi_CommonSendMsg(GatewayContext, ThreadState, 0, &hdr, Parambuf, Xdrproc);
}

// The receive. One thread at a time owns the stream: it reads the socket
// without the inbound lock (readerActive), so that the threads sending
// meanwhile can queue for their replies, and decodes under the lock. A
// reply whose owner sleeps on the wait list, or gave its reply record
// before it sent (qelapi_PrepareReply), it decodes into that record and
// hands over with at most one wake-up, then reads on. Only a reply whose
// owner has not yet come to wait, without a record given, stays pending:
// the owner takes it itself, and the reader sleeps until then.
int qelapi_get_msg(qelapi_tcontext_t* threadState, api_msghdr_t* msghdr, void* parambuf,
                   xdrproc_t xdrproc, quor_connection_t* quorContext) {
  ExchangeHold hold(quorContext, threadState);
  quor_connection_t* conn = hold.conn;
  if (conn == nullptr || threadState == nullptr) return -50;
  qelapi_tcontext_t* ts = threadState;
  quor_msgstream_t* in = &conn->msg_in;
  const uint32_t awaited = ts->msgRequestID;
  const uint32_t gen = ts->msgGeneration;
  int result = 0;
  Signals owed;
  pthread_mutex_lock(&in->theMutex);
  ts->msgAwaiting = 1;
  for (;;) {
    removeWaiter(in, ts);
    if (ts->msgReplyDone) {
      // Decoded for this thread by a reader before it came to wait.
      ts->msgReplyDone = 0;
      ts->msgPrepared = 0;
      *msghdr = ts->msgReplyHdr;
      pthread_mutex_unlock(&in->theMutex);
      owed.flush();
      return 0;
    }
    if (conn->state != CONNECTION_OPEN || in->state != STREAM_IDLE || conn->generation != gen) {
      QEL_LOG(7, "called for closed connection");
      result = -50;
      break;
    }
    if (conn->broken) {
      result = -5000;
      break;
    }
    api_msghdr_t* hdr = &in->messageHdr;
    bool mustWait = in->readerActive != 0;
    if (!mustWait && in->messageInState == 0) {
      if (in->rpos >= in->rlen && !in->eof) {
        // Nothing buffered: read the socket without the lock. Nobody else
        // touches the buffer while readerActive is set.
        in->readerActive = 1;
        pthread_mutex_unlock(&in->theMutex);
        owed.flush();
        int got = inRecv(in);
        pthread_mutex_lock(&in->theMutex);
        in->readerActive = 0;
        pthread_cond_broadcast(&in->theCondition);
        if (got == -2) {
          QEL_LOG(1, "wait for a reply interrupted: the gateway did not answer");
          qelapi_MarkBroken(conn);
          result = -5000;
          break;
        }
        continue;
      }
      memset(hdr, 0, sizeof *hdr);
      if (!qel_xdr_api_msghdr_t(&in->theXdr, hdr)) memset(hdr, 0, sizeof *hdr);
      if (qelapi_logging_flags & QEL_LOG_MSGTRACE) qelapi_tracemsg_hdr(0, conn, hdr);
      if (memcmp(hdr->sanity, API_MSGH_SANITY, API_MSGH_SANITY_LEN) != 0) {
        QEL_LOG(0, "garbage message header received!");
        qelapi_MarkBroken(conn);
        result = -5000;
        break;
      }
      in->messageInState = 1;
    }
    if (!mustWait) {
      if (hdr->msgFlags & API_MSGF_UNSOLICITED) {
        QEL_LOG(0, "<unsolicited message> header received!");
        qelapi_MarkBroken(conn);
        result = -5000;
        break;
      }
      if (hdr->msgRequestID == awaited) {
        result = takeBody(conn, hdr, parambuf, xdrproc);
        if (result < 0) break;
        in->messageInState = 0;
        *msghdr = *hdr;
        if (!ts->msgMoreReplies) ts->msgAwaiting = 0;
        ts->msgPrepared = 0;
        // The next waiter reads on.
        wakeFirst(in, &owed);
        pthread_mutex_unlock(&in->theMutex);
        owed.flush();
        return 0;
      }
      // Another thread's reply: decoded into the record it registered
      // (sleeping on the list, or given before it sent) and handed over.
      qelapi_tcontext_t* owner = nullptr;
      for (qelapi_tcontext_t* t = in->waitReplyList; t; t = t->msgQNext)
        if (t->msgRequestID == hdr->msgRequestID) {
          owner = t;
          break;
        }
      bool asleep = owner != nullptr;
      if (owner == nullptr) {
        owner = awaitingThread(conn, hdr->msgRequestID);
        if (owner == nullptr && dropUnclaimed(conn, hdr)) {
          in->messageInState = 0;
          continue;
        }
        if (owner == nullptr) {
          // Nobody will ever take this reply, and its body cannot be skipped.
          QEL_LOG(0, "reply for request id %u that no thread awaits!", hdr->msgRequestID);
          qelapi_MarkBroken(conn);
          result = -5000;
          break;
        }
        // An owner yet to come that gave no record takes the reply itself.
        if (!owner->msgPrepared) owner = nullptr;
      }
      if (owner != nullptr) {
        result = takeBody(conn, hdr, owner->msgReplyBuf, owner->msgReplyProc);
        // The error exit wakes a sleeping owner, which finds the break.
        if (result < 0) break;
        in->messageInState = 0;
        owner->msgReplyHdr = *hdr;
        if (!owner->msgMoreReplies) owner->msgAwaiting = 0;
        if (asleep) {
          removeWaiter(in, owner);
          wakeThread(owner, true, &owed);
        } else {
          // Not sleeping, but maybe just woken and looking at its flags.
          __atomic_store_n(&owner->msgReplyDone, 1, __ATOMIC_RELEASE);
        }
        continue;
      }
    }
    // Another thread reads, or the pending reply's owner has yet to come:
    // sleep until the reply is decoded for us or the stream is ours.
    ts->msgReplyBuf = parambuf;
    ts->msgReplyProc = xdrproc;
    ts->msgQNext = in->waitReplyList;
    in->waitReplyList = ts;
    pthread_mutex_unlock(&in->theMutex);
    owed.flush();
    waitEvent(ts);
    if (__atomic_load_n(&ts->msgReplyDone, __ATOMIC_ACQUIRE)) {
      __atomic_store_n(&ts->msgReplyDone, 0, __ATOMIC_RELAXED);
      ts->msgPrepared = 0;
      *msghdr = ts->msgReplyHdr;
      return 0;
    }
    pthread_mutex_lock(&in->theMutex);
  }
  // Error exit: every waiter re-examines the stream for itself.
  ts->msgAwaiting = 0;
  ts->msgPrepared = 0;
  qelapi_WakeAllWaiters(in);
  pthread_mutex_unlock(&in->theMutex);
  owed.flush();
  return result;
}

int qelapi_Exchange(qelapi_tcontext_t* ts, uint16_t category, uint16_t function, void* req,
                    xdrproc_t reqCodec, void* reply, xdrproc_t replyCodec,
                    quor_connection_t* conn) {
  if (ts != nullptr) qelapi_PrepareReply(ts, reply, replyCodec);
  int rc = qelapi_send_msg(category, function, req, reqCodec, 0, 0, conn, ts);
  if (rc < 0) {
    if (ts != nullptr) ts->msgPrepared = 0;
    return rc;
  }
  api_msghdr_t hdr;
  rc = qelapi_get_msg(ts, &hdr, reply, replyCodec, conn);
  if (rc < 0) return rc;
  return hdr.errorcode;
}

quor_reqid_t quor_GetUniqueRequestID(void) {
  quor_reqid_t id;
  memset(&id, 0, sizeof id);
  qelapi_tcontext_t* ts = nullptr;
  if (qelapi_init(&ts) != 0) return id;
  QEL_TRACE_ENTRY();
  api_quor_GetUniqueRequestID_rply_t reply;
  memset(&reply, 0, sizeof reply);
  api_msghdr_t hdr;
  if (qelapi_send_msg(QEL_CAT_CORE, QEL_FN_CORE_GetUniqueRequestID, nullptr, nullptr, 0, 0,
                      nullptr, ts) != 0)
    return id;
  if (qelapi_get_msg(ts, &hdr, &reply,
                     reinterpret_cast<xdrproc_t>(qel_xdr_api_quor_GetUniqueRequestID_rply_t),
                     nullptr) != 0)
    return id;
  if (hdr.msgFlags & API_MSGF_BODY) id = reply.RetReqid;
  return id;
}

uint32_t quor_RequestIDtoU32(quor_reqid_t ReqId) {
  // Node bytes count as signed: both ends of the mover protocol fold alike.
  auto n = [&](int i) { return static_cast<uint32_t>(static_cast<int32_t>(static_cast<int8_t>(ReqId.node[i]))); };
  return n(0) + (n(2) << 8) + (n(4) << 16) + (ReqId.time_low ^ ReqId.clock_seq_hi_and_reserved);
}

uint64_t quor_RequestIDtoU64(quor_reqid_t ReqId) {
  auto n = [&](int i) { return static_cast<uint32_t>(static_cast<int32_t>(static_cast<int8_t>(ReqId.node[i]))); };
  uint32_t hi = n(1) + (n(3) << 8) + (n(5) << 16) +
                (((static_cast<uint32_t>(ReqId.time_hi_and_version) << 8) + ReqId.time_mid) ^
                 ReqId.clock_seq_low);
  return (static_cast<uint64_t>(hi) << 32) | quor_RequestIDtoU32(ReqId);
}

int quor_RequestIDCompare(const quor_reqid_t* lhs, const quor_reqid_t* rhs) {
  return quor_uuid_compare(lhs, rhs);
}

char* quor_RequestIDtoString(quor_reqid_t ReqId) {
  char* text = nullptr;
  return quor_uuid_to_string(&ReqId, &text) == 0 ? text : nullptr;
}
