// Message exchange on a gateway connection: request ids, the two streams,
// whole-message sends, and the receive that hands the inbound stream from
// thread to thread until each has its own reply.
#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

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

// Wakes one sleeper; the caller holds the inbound lock.
void wakeThread(qelapi_tcontext_t* t) {
  pthread_mutex_lock(&t->msginMutex);
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

// Whether some thread has sent the request this id answers on conn.
bool someoneAwaits(quor_connection_t* conn, uint32_t id) {
  pthread_mutex_lock(&threadlist_lock);
  bool found = false;
  for (qelapi_tcontext_t* t = thread_list; t && !found; t = t->next)
    found = t->msgRequestID == id && t->msgConnection == conn;
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

// A protocol error leaves the inbound stream out of step; from now on every
// exchange on the connection fails at once.
void markBroken(quor_connection_t* conn) {
  conn->broken = 1;
  if (conn->ctl_fd >= 0) shutdown(conn->ctl_fd, SHUT_RDWR);
}

}  // namespace

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
  char* buf = static_cast<char*>(malloc(QEL_MSGSTREAM_BUFSIZE));
  if (buf == nullptr) return -12;
  if (inout == 1) {
    // Outbound messages are encoded whole into the buffer and written with
    // one send, so no stdio stream is needed on this side.
    stream->fd = fd;
    stream->file = nullptr;
  } else {
    // The inbound stdio stream owns a duplicate, so the socket itself is
    // closed once, by the outbound side.
    int dupfd = dup(fd);
    FILE* f = dupfd >= 0 ? fdopen(dupfd, "rb") : nullptr;
    if (f == nullptr) {
      if (dupfd >= 0) close(dupfd);
      free(buf);
      QEL_LOG(3, "Error on fdopen call connecting to server!\n");
      return -9;
    }
    setvbuf(f, buf, _IOFBF, QEL_MSGSTREAM_BUFSIZE);
    stream->fd = fd;
    stream->file = f;
    xdrstdio_create(&stream->theXdr, f, XDR_DECODE);
  }
  stream->buffer = buf;
  stream->state = STREAM_IDLE;
  return 0;
}

int qel_FreeMsgStream(quor_msgstream_t* stream) {
  if (stream->state == STREAM_CLOSED) {
    QEL_LOG(2, "qel_FreeMsgStream called for non-open stream (state=%d)!", stream->state);
    return -9;
  }
  if (stream->file != nullptr) {
    xdr_destroy(&stream->theXdr);
    fclose(stream->file);
    stream->file = nullptr;
  } else if (stream->fd >= 0) {
    close(stream->fd);
  }
  free(stream->buffer);
  stream->buffer = nullptr;
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
  if (expects) {
    ThreadState->msgConnection = conn;
    ThreadState->msgRequestID = hdr->msgRequestID;
  }
  int rc = quor_send_data_timeout(conn->ctl_fd, buf, static_cast<int>(len), 0);
  // Log-in messages carry secrets; leave no copy in the stream buffer.
  if (hdr->category == QEL_CAT_AUTH) OPENSSL_cleanse(buf, len);
  if (rc < 0) {
    if (expects) {
      ThreadState->msgRequestID = oldId;
      ThreadState->msgConnection = oldConn;
    }
    // A peer that is gone leaves the replies it sent readable for their
    // owners; any other failure may have left part of this message on a
    // live socket, and the gateway would misread all that follows.
    QEL_LOG(3, "error %d trying to flush XDR stream", -rc);
    if (rc != -32 && rc != -104 && rc != -50) markBroken(conn);
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

int qelapi_get_msg(qelapi_tcontext_t* threadState, api_msghdr_t* msghdr, void* parambuf,
                   xdrproc_t xdrproc, quor_connection_t* quorContext) {
  ExchangeHold hold(quorContext, threadState);
  quor_connection_t* conn = hold.conn;
  if (conn == nullptr || threadState == nullptr) return -50;
  quor_msgstream_t* in = &conn->msg_in;
  const uint32_t awaited = threadState->msgRequestID;
  int result = 0;
  pthread_mutex_lock(&in->theMutex);
  for (;;) {
    // A thread woken spuriously may still be on the list.
    removeWaiter(in, threadState);
    if (conn->state != CONNECTION_OPEN || in->state != STREAM_IDLE) {
      QEL_LOG(7, "called for closed connection");
      result = -50;
      break;
    }
    if (conn->broken) {
      result = -5000;
      break;
    }
    api_msghdr_t* hdr = &in->messageHdr;
    if (in->messageInState == 0) {
      memset(hdr, 0, sizeof *hdr);
      if (!qel_xdr_api_msghdr_t(&in->theXdr, hdr)) memset(hdr, 0, sizeof *hdr);
      if (qelapi_logging_flags & QEL_LOG_MSGTRACE) qelapi_tracemsg_hdr(0, conn, hdr);
      if (memcmp(hdr->sanity, API_MSGH_SANITY, API_MSGH_SANITY_LEN) != 0) {
        QEL_LOG(0, "garbage message header received!");
        markBroken(conn);
        result = -5000;
        break;
      }
      in->messageInState = 1;
    }
    if (hdr->msgFlags & API_MSGF_UNSOLICITED) {
      QEL_LOG(0, "<unsolicited message> header received!");
      markBroken(conn);
      result = -5000;
      break;
    }
    if (hdr->msgRequestID == awaited) {
      if (hdr->msgFlags & API_MSGF_BODY) {
        if (parambuf == nullptr || xdrproc == nullptr) {
          QEL_LOG(0, "data passed, but xdrproc or parambuf is NULL!");
          markBroken(conn);
          result = -5000;
          break;
        }
        if (!xdrproc(&in->theXdr, parambuf, 0)) {
          QEL_LOG(3, "caller's XDR function for category %d function %d returned FALSE!",
                  hdr->category, hdr->function);
          markBroken(conn);
          result = -5000;
          break;
        }
      }
      in->messageInState = 0;
      *msghdr = *hdr;
      if (in->waitReplyList != nullptr) {
        qelapi_tcontext_t* next = in->waitReplyList;
        in->waitReplyList = next->msgQNext;
        next->msgQNext = nullptr;
        wakeThread(next);
      }
      pthread_mutex_unlock(&in->theMutex);
      return 0;
    }
    // Another thread's reply: hand the stream to its owner and sleep.
    qelapi_tcontext_t* owner = nullptr;
    for (qelapi_tcontext_t* t = in->waitReplyList; t; t = t->msgQNext)
      if (t->msgRequestID == hdr->msgRequestID) {
        owner = t;
        break;
      }
    if (owner != nullptr) {
      removeWaiter(in, owner);
      wakeThread(owner);
    } else if (!someoneAwaits(conn, hdr->msgRequestID)) {
      // Nobody will ever take this reply, and its body cannot be skipped.
      QEL_LOG(0, "reply for request id %u that no thread awaits!", hdr->msgRequestID);
      markBroken(conn);
      result = -5000;
      break;
    }
    threadState->msgQNext = in->waitReplyList;
    in->waitReplyList = threadState;
    pthread_mutex_lock(&threadState->msginMutex);
    pthread_mutex_unlock(&in->theMutex);
    pthread_cond_wait(&threadState->msginCondition, &threadState->msginMutex);
    pthread_mutex_unlock(&threadState->msginMutex);
    pthread_mutex_lock(&in->theMutex);
  }
  // Error exit: every waiter re-examines the stream for itself.
  while (in->waitReplyList != nullptr) {
    qelapi_tcontext_t* t = in->waitReplyList;
    in->waitReplyList = t->msgQNext;
    t->msgQNext = nullptr;
    wakeThread(t);
  }
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
