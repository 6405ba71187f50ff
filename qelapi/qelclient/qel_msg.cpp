// Message exchange on a gateway connection: request ids, the two streams,
// whole-message sends, and the receive that hands the inbound stream from
// thread to thread until each has its own reply.
#include <errno.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <sys/socket.h>
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

bool requestIdSeeded = false;
uint32_t requestIdState = 0;

// ---- the inbound stream's own reader ----

// Makes at least one byte available: 0, or -1 at end of stream or error.
int inFill(quor_msgstream_t* s) {
  if (s->rpos < s->rlen) return 0;
  for (;;) {
    ssize_t n = recv(s->fd, s->buffer, QEL_MSGSTREAM_BUFSIZE, 0);
    if (n > 0) {
      s->rpos = 0;
      s->rlen = size_t(n);
      return 0;
    }
    if (n < 0 && errno == EINTR) continue;
    return -1;
  }
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

// Wakes a sleeper taken off the wait list; the caller holds the inbound
// lock. done: its reply was decoded for it.
void wakeThread(qelapi_tcontext_t* t, bool done = false) {
  pthread_mutex_lock(&t->msginMutex);
  if (done) t->msgReplyDone = 1;
  t->msgWoken = 1;
  pthread_cond_signal(&t->msginCondition);
  pthread_mutex_unlock(&t->msginMutex);
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

void wakeFirst(quor_msgstream_t* in) {
  qelapi_tcontext_t* next = in->waitReplyList;
  if (next == nullptr) return;
  in->waitReplyList = next->msgQNext;
  next->msgQNext = nullptr;
  wakeThread(next);
}


// Whether some thread has sent the request this id answers on conn's
// current opening and not yet taken its reply.
bool someoneAwaits(quor_connection_t* conn, uint32_t id) {
  uint32_t gen = conn->generation;
  pthread_mutex_lock(&threadlist_lock);
  bool found = false;
  for (qelapi_tcontext_t* t = thread_list; t && !found; t = t->next)
    found = t->msgAwaiting && t->msgRequestID == id && t->msgConnection == conn &&
            t->msgGeneration == gen;
  pthread_mutex_unlock(&threadlist_lock);
  return found;
}

// Holds the connection of one exchange for its whole length, so that a close
// meanwhile cannot free the record under it.
struct ExchangeHold {
  quor_connection_t* conn = nullptr;
  ExchangeHold(quor_connection_t* given, qelapi_tcontext_t* ts) {
    pthread_mutex_lock(&qelapi_connection_lock);
    conn = given != nullptr ? given : (ts != nullptr ? ts->connection : nullptr);
    if (conn) conn->refs++;
    pthread_mutex_unlock(&qelapi_connection_lock);
  }
  ~ExchangeHold() { qelapi_ConnRelease(conn); }
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

// Waits until the socket has bytes to read (or is shut down).
void waitReadable(int fd) {
  struct pollfd pfd = {fd, POLLIN, 0};
  while (poll(&pfd, 1, -1) < 0 && errno == EINTR) {
  }
}

}  // namespace

void qelapi_WakeAllWaiters(quor_msgstream_t* in) {
  while (in->waitReplyList != nullptr) wakeFirst(in);
}

void qelapi_MarkBroken(quor_connection_t* conn) {
  conn->broken = 1;
  if (conn->ctl_fd >= 0) shutdown(conn->ctl_fd, SHUT_RDWR);
}

void qelapi_ExpectReply(qelapi_tcontext_t* ts, quor_connection_t* conn, uint32_t id) {
  ts->msgRequestID = id;
  ts->msgConnection = conn;
  ts->msgGeneration = conn->generation.load();
  ts->msgAwaiting = 1;
}

void qelapi_MoreReplies(qelapi_tcontext_t* ts, int more, quor_connection_t* given) {
  if (more) {
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
  pthread_mutex_lock(&qelapi_requestID_lock);
  if (!requestIdSeeded) {
    requestIdState = (static_cast<uint32_t>(time(nullptr)) ^ static_cast<uint32_t>(getpid())) + 1u;
    requestIdSeeded = true;
  }
  requestIdState = (requestIdState * 1103515245u + 12345u) & 0x7fffffffu;
  uint32_t id = requestIdState;
  pthread_mutex_unlock(&qelapi_requestID_lock);
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

int qelapi_CommonSendMsg(quor_connection_t* GatewayContext, qelapi_tcontext_t* ThreadState,
                         int NeedRequestID, api_msghdr_t* MsgHdr, void* ParamBuf,
                         xdrproc_t Xdrproc) {
  ExchangeHold hold(GatewayContext, ThreadState);
  quor_connection_t* conn = hold.conn;
  if (conn == nullptr || ThreadState == nullptr) return -50;
  quor_msgstream_t* out = &conn->msg_out;
  pthread_mutex_lock(&out->theMutex);
  if (conn->state != CONNECTION_OPEN || out->state != STREAM_IDLE) {
    QEL_LOG(7, "called for closed connection");
    pthread_mutex_unlock(&out->theMutex);
    return -50;
  }
  if (conn->broken) {
    pthread_mutex_unlock(&out->theMutex);
    return -5000;
  }
  out->messageHdr = *MsgHdr;
  api_msghdr_t* hdr = &out->messageHdr;
  if (NeedRequestID) hdr->msgRequestID = qelapi_getRequestID();
  if (ParamBuf != nullptr) {
    hdr->msgFlags |= API_MSGF_BODY;
    if (Xdrproc == nullptr) {
      QEL_LOG(0, "data passed, but Xdrproc is NULL!");
      pthread_mutex_unlock(&out->theMutex);
      return -5000;
    }
  }

  // Encode the whole message before a byte leaves; a body larger than the
  // stream buffer gets a buffer of its own size.
  std::vector<char> big;
  char* buf = out->buffer;
  u_int cap = QEL_MSGSTREAM_BUFSIZE;
  u_int len = 0;
  for (int attempt = 0; attempt < 2; attempt++) {
    XDR x;
    xdrmem_create(&x, buf, cap, XDR_ENCODE);
    if (!qel_xdr_api_msghdr_t(&x, hdr)) {
      xdr_destroy(&x);
      QEL_LOG(3, "qel_xdr_api_msghdr_t failed for category %d function %d!", hdr->category,
              hdr->function);
      pthread_mutex_unlock(&out->theMutex);
      return -5000;
    }
    bool ok = ParamBuf == nullptr || Xdrproc(&x, ParamBuf, 0);
    len = xdr_getpos(&x);
    xdr_destroy(&x);
    if (ok) break;
    unsigned long need = attempt == 0 ? xdr_sizeof(Xdrproc, ParamBuf) : 0;
    if (need == 0 || need + API_MSGHDR_WIRE_SIZE <= cap || need > QEL_XDR_MAX_BLOCK) {
      QEL_LOG(3, "caller's XDR function for category %d function %d returned FALSE!",
              hdr->category, hdr->function);
      pthread_mutex_unlock(&out->theMutex);
      return -1;
    }
    cap = static_cast<u_int>(need + API_MSGHDR_WIRE_SIZE);
    big.resize(cap);
    buf = big.data();
  }

  if (qelapi_logging_flags & QEL_LOG_MSGTRACE) {
    qelapi_tracemsg_hdr(1, conn, hdr);
    qelapi_tracemsg_data(1, conn, hdr, ParamBuf);
  }

  // Register the awaited reply before the request leaves: a fast reply may
  // be read by another thread before the write returns.
  bool expects = API_MSGF_EXPECTS_REPLY(hdr->msgFlags);
  uint32_t oldId = ThreadState->msgRequestID;
  quor_connection_t* oldConn = ThreadState->msgConnection;
  uint32_t oldGen = ThreadState->msgGeneration;
  int oldAwaiting = ThreadState->msgAwaiting;
  if (expects) qelapi_ExpectReply(ThreadState, conn, hdr->msgRequestID);
  int rc = quor_send_data_timeout(conn->ctl_fd, buf, static_cast<int>(len), 0);
  // Log-in messages carry secrets; leave no copy in the stream buffer.
  if (hdr->category == QEL_CAT_AUTH) OPENSSL_cleanse(buf, len);
  if (rc < 0) {
    if (expects) {
      ThreadState->msgRequestID = oldId;
      ThreadState->msgConnection = oldConn;
      ThreadState->msgGeneration = oldGen;
      ThreadState->msgAwaiting = oldAwaiting;
    }
    // A peer that is gone leaves the replies it sent readable for their
    // owners; any other failure may have left part of this message on a
    // live socket, and the gateway would misread all that follows.
    QEL_LOG(3, "error %d trying to flush XDR stream", -rc);
    if (rc != -32 && rc != -104 && rc != -50) qelapi_MarkBroken(conn);
    pthread_mutex_unlock(&out->theMutex);
    return -1;
  }
  pthread_mutex_unlock(&out->theMutex);
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

// The receive. One thread at a time owns the stream (holding the inbound
// lock, or, while it waits for the socket, readerActive). It decodes every
// header; a reply whose owner sleeps on the wait list it decodes into the
// buffer the owner registered and hands over with one wake-up, then reads
// on. Only a reply whose owner has not yet come to wait stays pending: the
// owner takes it itself, and the reader sleeps until then.
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
  bool readable = false;  // this thread saw the socket readable
  pthread_mutex_lock(&in->theMutex);
  ts->msgAwaiting = 1;
  ts->msgReplyDone = 0;
  for (;;) {
    removeWaiter(in, ts);
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
      if (in->rpos >= in->rlen && !readable) {
        // Nothing buffered: wait for the socket without the lock, so that
        // the threads sending meanwhile can queue for their replies.
        in->readerActive = 1;
        pthread_mutex_unlock(&in->theMutex);
        waitReadable(in->fd);
        pthread_mutex_lock(&in->theMutex);
        in->readerActive = 0;
        pthread_cond_broadcast(&in->theCondition);
        readable = true;
        continue;
      }
      readable = false;
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
        // The next waiter reads on.
        wakeFirst(in);
        pthread_mutex_unlock(&in->theMutex);
        return 0;
      }
      qelapi_tcontext_t* owner = nullptr;
      for (qelapi_tcontext_t* t = in->waitReplyList; t; t = t->msgQNext)
        if (t->msgRequestID == hdr->msgRequestID) {
          owner = t;
          break;
        }
      if (owner != nullptr) {
        result = takeBody(conn, hdr, owner->msgReplyBuf, owner->msgReplyProc);
        if (result < 0) break;
        in->messageInState = 0;
        removeWaiter(in, owner);
        owner->msgReplyHdr = *hdr;
        if (!owner->msgMoreReplies) owner->msgAwaiting = 0;
        wakeThread(owner, true);
        continue;
      }
      if (!someoneAwaits(conn, hdr->msgRequestID)) {
        // Nobody will ever take this reply, and its body cannot be skipped.
        QEL_LOG(0, "reply for request id %u that no thread awaits!", hdr->msgRequestID);
        qelapi_MarkBroken(conn);
        result = -5000;
        break;
      }
    }
    // Another thread reads, or the pending reply's owner has yet to come:
    // sleep until the reply is decoded for us or the stream is ours.
    ts->msgReplyBuf = parambuf;
    ts->msgReplyProc = xdrproc;
    ts->msgQNext = in->waitReplyList;
    in->waitReplyList = ts;
    pthread_mutex_lock(&ts->msginMutex);
    pthread_mutex_unlock(&in->theMutex);
    while (!ts->msgWoken) pthread_cond_wait(&ts->msginCondition, &ts->msginMutex);
    ts->msgWoken = 0;
    if (ts->msgReplyDone) {
      ts->msgReplyDone = 0;
      *msghdr = ts->msgReplyHdr;
      pthread_mutex_unlock(&ts->msginMutex);
      return 0;
    }
    pthread_mutex_unlock(&ts->msginMutex);
    pthread_mutex_lock(&in->theMutex);
  }
  // Error exit: every waiter re-examines the stream for itself.
  ts->msgAwaiting = 0;
  qelapi_WakeAllWaiters(in);
  pthread_mutex_unlock(&in->theMutex);
  return result;
}

int qelapi_Exchange(qelapi_tcontext_t* ts, uint16_t category, uint16_t function, void* req,
                    xdrproc_t reqCodec, void* reply, xdrproc_t replyCodec,
                    quor_connection_t* conn) {
  int rc = qelapi_send_msg(category, function, req, reqCodec, 0, 0, conn, ts);
  if (rc < 0) return rc;
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
