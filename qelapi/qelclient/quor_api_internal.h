// Connection internals of the client library: thread contexts, message
// streams, connection records, the message exchange, the debug log and the
// thread and time helpers. Only library code and its tests include this.
#ifndef QUOR_API_INTERNAL_H
#define QUOR_API_INTERNAL_H

#include <pthread.h>
#include <stdio.h>

#include <atomic>
#include <vector>

#include "msg_conn.h"
#include "ozugw_msghdr.h"
#include "qel_threads.h"
#include "quor_api.h"
#include "quor_net.h"
#include "quor_types.h"

struct quor_connection;

// One per thread that has called the library; never freed.
typedef struct qelapi_tcontext {
  struct qelapi_tcontext* next;      // registry, newest first
  struct qelapi_tcontext* msgQNext;  // a connection's wait list
  pthread_t threadID;
  // Bound by qelapi_init and changed only by the thread itself; holds a
  // reference, which keeps the record alive for the thread's exchanges on
  // it even after the connection is closed.
  struct quor_connection* connection;
  // The connection this thread's calls are held to whichever one is
  // current (qelapi_PinThreadConnection); holds a reference. Only the
  // thread itself sets it.
  struct quor_connection* pinned;
  // The reply this thread awaits next, the connection and the opening of
  // it (its generation) the request went out on, and whether the reply is
  // still to come: a taken reply is no longer awaited unless the exchange
  // announced more (qelapi_MoreReplies). Readers of other threads check
  // them, hence atomic.
  std::atomic<uint32_t> msgRequestID;
  std::atomic<struct quor_connection*> msgConnection;
  std::atomic<uint32_t> msgGeneration;
  std::atomic<int> msgAwaiting;
  std::atomic<int> msgMoreReplies;
  // How the announced further replies decode (record codec and size), so
  // that one the thread leaves uncollected can be read off and dropped.
  xdrproc_t msgMoreProc;
  size_t msgMoreSize;
  // Where the thread reading the stream decodes this thread's reply for it:
  // given before the request leaves (msgPrepared, qelapi_PrepareReply) or
  // when the thread comes to wait on the wait list. Guarded by the inbound
  // lock; msgReplyDone and msgWoken (the thread's wake-up event) are
  // atomic, as a sleeper reads them without that lock.
  void* msgReplyBuf;
  xdrproc_t msgReplyProc;
  int msgPrepared;
  api_msghdr_t msgReplyHdr;
  int msgReplyDone;
  int msgWoken;
} qelapi_tcontext_t;

#define STREAM_CLOSED 0
#define STREAM_IDLE 1
#define QEL_MSGSTREAM_BUFSIZE 0x180000

// One direction of a control socket. The inbound side decodes through XDR
// from its own buffer, whose fill level tells a reader whether it must wait
// for the socket. On the outbound side each message is encoded whole before
// it is queued in `buffer`, so a failed encode never leaves half a message
// behind, and whole messages leave in order, several in one write when
// threads send at once.
typedef struct quor_msgstream {
  pthread_mutex_t theMutex;  // msg_out: outbound lock; msg_in: inbound lock
  // Signalled when readerActive (in) or writerActive (out) drops.
  pthread_cond_t theCondition;
  int state;
  api_msghdr_t messageHdr;
  int messageInState;  // msg_in: a header is pending for its owner
  int fd;
  XDR theXdr;                        // msg_in only
  qelapi_tcontext_t* waitReplyList;  // msg_in only, newest first
  char* buffer;                      // read buffer (in) or encode buffer (out)
  size_t rpos, rlen;                 // msg_in: bytes of buffer not yet decoded
  u_int consumed;                    // msg_in: bytes decoded so far
  // msg_in: a thread owns the stream and waits for the socket to become
  // readable without holding the inbound lock, so that others can queue.
  int readerActive;
  int eof;  // msg_in: the socket gave end of stream or an error
  // msg_out: bytes of whole messages queued in buffer; a thread writing the
  // first plen of them without the outbound lock (others append behind);
  // whether the queue held a log-in secret since the writer last wiped it.
  size_t plen;
  int writerActive;
  int secretQueued;
} quor_msgstream_t;

typedef struct login_reconnect {
  uint64_t reconnect_time;
  uint32_t user_msg_len;
  char* user_msg_buf;
  uint32_t reconnect_packet_len;
  char* reconnect_packet;
  uint32_t reconnect_hmac_len;
  char* reconnect_hmac_packet;
} login_reconnect_t;

#define CONNECTION_CLOSED 0
#define CONNECTION_OPEN 1
#define QUOR_DEFAULT_PORT 1217
#define QUOR_DEFAULT_SERVICE "quor_qelapi"
#define QUOR_CLIENT_PROT_MAJOR 67
#define QUOR_CLIENT_PROT_MINOR 2

// A reply announced on a connection and left by its thread: read off the
// stream and dropped when it comes.
typedef struct qel_unclaimed {
  uint32_t id;
  uint32_t generation;
  xdrproc_t codec;
  size_t size;
} qel_unclaimed_t;

typedef struct quor_connection {
  struct quor_connection* next;
  std::atomic<int> state;  // read by every exchange without a lock
  int handle;
  char server_host[1026];
  login_reconnect_t relogin_context;
  quor_sockaddr_t server_addr;
  uint16_t server_port;
  quor_site_info_t site_info;
  int min_data_port, max_data_port;
  char* service_name;
  std::atomic<int> ctl_fd;  // changed under both stream locks
  int sudo_active;
  quor_msgstream_t msg_in, msg_out;
  int nic_count;
  quor_sockaddr_t* nic_list;
  int nic_rr_inx;
  int pubkey_len;
  unsigned char* public_key;
  int sess_key_len;
  unsigned char* session_key;
  // A protocol error left the stream out of step: every exchange fails at
  // once with -5000 until the next call's start-up reopens the connection.
  std::atomic<int> broken;
  // Counts the openings of the record; changed under both stream locks. A
  // reply is awaited only on the opening its request went out on.
  std::atomic<uint32_t> generation;
  // Threads bound to the record and files opened on it. A closed record is
  // unlinked at once and freed when the last reference goes. Guarded by
  // qelapi_connection_lock, as are the fields of an open in progress: one
  // thread opens a record at a time, others wait on openCond for its result,
  // and a close wakes an opener's waits.
  int refs;
  int unlinked;
  std::atomic<int> opening;  // also read without the lock, to skip the wait
  pthread_t opener;
  pthread_cond_t openCond;
  std::vector<qel_unclaimed_t> unclaimed;  // guarded by msg_in's lock
} quor_connection_t;

// ---- start-up, contexts, threads (library start-up) ----
extern pthread_mutex_t threadlist_lock, qelapi_connection_lock, qelapi_requestID_lock,
    qelapi_FileLock;
extern qelapi_tcontext_t* thread_list;
extern char qelapi_API_Hostname[65];
extern char qelapi_API_CtlHostname[65];
extern quor_sockaddr_t qelapi_tcp_data_host, qelapi_tcp_ctl_host;
extern int min_socket_port, max_socket_port;
extern int init_server_handle;
extern size_t ozugw_thread_ssize;

int qelapi_init(qelapi_tcontext_t** thread_state);
// Called on the thread whose call found its connection broken and opened it
// again with a new session, before that call goes on, with the connection's
// handle bound as the thread's current one: the program puts back the
// session state it keeps (working directory, mask, ...). Not called again
// from within the hook's own calls.
typedef void (*qelapi_reopen_hook_t)(int Handle);
void qelapi_SetReopenHook(qelapi_reopen_hook_t Hook);
int qel_LibInit(void);
void qel_create_locks(void);
qelapi_tcontext_t* qel_InitNewThreadContext(void);
qelapi_tcontext_t* qelapi_LookupThreadstate(pthread_t theThreadID);
// The calling thread's context, created when missing; null without memory.
qelapi_tcontext_t* qelapi_GetThreadContext(void);
// Binds a context to a connection (or none), moving its reference; the
// caller holds a reference to conn or qelapi_connection_lock.
void qelapi_BindThreadConnection(qelapi_tcontext_t* ctx, quor_connection_t* conn);
// Binds a context to the current connection, read under the lock; returns it.
quor_connection_t* qelapi_BindThreadCurrent(qelapi_tcontext_t* ctx);


// ---- message exchange ----
uint32_t qelapi_getRequestID(void);
int qelapi_send_msg(uint16_t Category, uint16_t SubFunction, void* ParamBuf, xdrproc_t XdrProc,
                    uint32_t Flags, uint32_t MsgTime, quor_connection_t* GatewayContext,
                    qelapi_tcontext_t* ThreadState);
int ozugw_sendTaskMsg(uint32_t TaskId, uint32_t MsgRequestID, uint16_t Category,
                      uint16_t SubFunction, void* Parambuf, xdrproc_t Xdrproc, uint32_t Flags,
                      uint32_t MsgTime, int32_t ErrorCode, quor_connection_t* GatewayContext,
                      qelapi_tcontext_t* ThreadState);
int qelapi_CommonSendMsg(quor_connection_t* GatewayContext, qelapi_tcontext_t* ThreadState,
                         int NeedRequestID, api_msghdr_t* MsgHdr, void* ParamBuf,
                         xdrproc_t Xdrproc);
int qelapi_get_msg(qelapi_tcontext_t* threadState, api_msghdr_t* msghdr, void* parambuf,
                   xdrproc_t xdrproc, quor_connection_t* quorContext);
// One request and its reply, on conn or (null) the thread's connection:
// the reply header's code, or the send's or receive's failure. A null reply
// record means the reply must carry no body.
int qelapi_Exchange(qelapi_tcontext_t* ts, uint16_t category, uint16_t function, void* req,
                    xdrproc_t reqCodec, void* reply, xdrproc_t replyCodec,
                    quor_connection_t* conn = nullptr);
// Releases what a decoder allocated in rec.
template <typename R>
void qelapi_Release(bool_t (*codec)(XDR*, R*), R* rec) {
  xdr_free(reinterpret_cast<xdrproc_t>(codec), reinterpret_cast<char*>(rec));
}
// A thread whose exchange brings several replies to one request (the relay,
// the PAM conversation, an lfx transfer) keeps awaiting its id after each reply it takes
// while more is 1; ending with 0 lets a later reply for the id count as
// stray, and wakes the waiters of conn (null: the thread's connection) so
// that one still stuck behind such a reply sees it.
void qelapi_MoreReplies(qelapi_tcontext_t* ts, int more, quor_connection_t* conn = nullptr);
// qelapi_MoreReplies(ts, 1), with how the further replies decode: a thread
// that starts another exchange before it collected them leaves them to be
// dropped when they come, instead of breaking the connection.
void qelapi_AnnounceReplies(qelapi_tcontext_t* ts, xdrproc_t codec, size_t size);
// The thread awaits reply id on conn's current opening (as after a send),
// or on the opening given; more replies announced before are forgotten, so
// an exchange that brings several announces them after its send.
void qelapi_ExpectReply(qelapi_tcontext_t* ts, quor_connection_t* conn, uint32_t id);
void qelapi_ExpectReply(qelapi_tcontext_t* ts, quor_connection_t* conn, uint32_t id,
                        uint32_t generation);
// Before a send: the reply record and decoder the next qelapi_get_msg will
// be given, so that a reader meeting the reply before this thread comes to
// wait decodes it at once instead of stopping the stream for it.
void qelapi_PrepareReply(qelapi_tcontext_t* ts, void* rec, xdrproc_t codec);
// The stream is out of step: every exchange on conn fails with -5000 until
// the connection is opened again.
void qelapi_MarkBroken(quor_connection_t* conn);
// Takes every thread off in's wait list and wakes it to look at the stream
// again; the caller holds the inbound lock.
void qelapi_WakeAllWaiters(quor_msgstream_t* in);
int qel_BuildMsgStream(int fd, quor_msgstream_t* stream, int inout);
int qel_FreeMsgStream(quor_msgstream_t* stream);

// ---- connections ----
extern quor_connection_t* qelapi_connection_list;
extern int qelapi_connection_count;
extern std::atomic<quor_connection_t*> qelapi_cur_connection;

quor_connection_t* qelapi_getCurConnection(void);
int quorex_GetThreadConHandle(qelapi_tcontext_t* threadPtr);
quor_connection_t* qelapi_GetThreadConEntry(qelapi_tcontext_t* threadPtr);
quor_connection_t* qel_LookupConnection(int connectionHandle, int HaveLock);
int ozugw_SaveLoginReconnect(qelapi_tcontext_t* ThreadState, quor_connection_t* Connection,
                             api_login_rply_t* LoginReply);
int ozugw_RetryLogin(qelapi_tcontext_t* ThreadState, quor_connection_t* Connection,
                     int* RetRetryFlags);
// Waits while another thread opens rec (null: nothing to wait for); 1 when
// the calling thread is the one opening it, else 0.
int qelapi_AwaitOpen(quor_connection_t* rec);
// Reference counting of connection records (qelapi_connection_lock held
// or not, as the name says).
void qelapi_ConnHold(quor_connection_t* conn);
void qelapi_ConnRelease(quor_connection_t* conn);

// ---- log-in (driver and methods) ----
int qelapi_authenticate(qelapi_tcontext_t* threadState, quor_connection_t* theConnection,
                        int* RetRetryFlag, int* RetFailedFlag);

// ---- debug log ----
extern int qelapi_logging_level;
extern int qelapi_logging_flags;
#define QEL_LOG_STDERR 2
#define QEL_LOG_FILE 4
#define QEL_LOG_BOTH (QEL_LOG_STDERR | QEL_LOG_FILE)
#define QEL_LOG_MSGTRACE 0x10
#define QEL_LOG_ENTRY 0x8000
void qelapi_logging_init(void);
// Tests only: forget the configuration so the next init reads it again.
void qelapi_logging_reset_for_test(void);
void qelapi_logmsg(int priority, const char* funcname, const char* fmt, int log_flags,
                   const char* srcfile, int linenum);
void qelapi_tracemsg_hdr(int inout, quor_connection_t* theConnection, api_msghdr_t* theMsgHdr);
void qelapi_tracemsg_data(int inout, quor_connection_t* theConnection, api_msghdr_t* theMsgHdr,
                          void* theBuffer);
// Formats a message and logs it at `prio` to both sinks, from the calling
// function. Cheap when the priority is off.
void qelapi_logf(int priority, const char* funcname, const char* srcfile, int linenum,
                 const char* fmt, ...) __attribute__((format(printf, 5, 6)));
#define QEL_LOG(prio, ...) qelapi_logf((prio), __func__, __FILE__, __LINE__, __VA_ARGS__)
#define QEL_TRACE_ENTRY()                                                                  \
  do {                                                                                     \
    if (qelapi_logging_level & QEL_LOG_ENTRY)                                              \
      qelapi_logmsg(7, __func__, "Entering function\n", QEL_LOG_BOTH, __FILE__, __LINE__); \
  } while (0)

#endif
