// The connection table: set-up, opening with log-in and its retries,
// switching, closing, and reports on a connection.
#include <errno.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <openssl/crypto.h>

#include <algorithm>
#include <string_view>

#include "qel_auth.h"
#include "quor_api.h"
#include "quor_api_internal.h"
#include "quor_api_msgdefs.h"
#include "quorcfgx_prototypes.h"

quor_connection_t* qelapi_connection_list = nullptr;
int qelapi_connection_count = 0;
std::atomic<quor_connection_t*> qelapi_cur_connection{nullptr};

namespace {

void freeReconnect(login_reconnect_t* r) {
  free(r->user_msg_buf);
  free(r->reconnect_packet);
  free(r->reconnect_hmac_packet);
  memset(r, 0, sizeof *r);
}

// Other threads may be bound to the record while an open closes it for a
// retry: mark it closed, wake a reader or writer blocked on the socket and
// any thread waiting for a reply, and free the streams only under both
// stream locks once nobody reads or writes the socket any more.
void closeStreams(quor_connection_t* c) {
  pthread_mutex_lock(&c->msg_out.theMutex);
  c->state = CONNECTION_CLOSED;
  if (c->ctl_fd >= 0) shutdown(c->ctl_fd, SHUT_RDWR);
  while (c->msg_out.writerActive)
    pthread_cond_wait(&c->msg_out.theCondition, &c->msg_out.theMutex);
  pthread_mutex_lock(&c->msg_in.theMutex);
  while (c->msg_in.readerActive) pthread_cond_wait(&c->msg_in.theCondition, &c->msg_in.theMutex);
  qelapi_WakeAllWaiters(&c->msg_in);
  if (c->msg_in.state != STREAM_CLOSED) qel_FreeMsgStream(&c->msg_in);
  if (c->msg_out.state != STREAM_CLOSED) qel_FreeMsgStream(&c->msg_out);
  if (c->ctl_fd >= 0) close(c->ctl_fd);
  c->ctl_fd = -1;
  pthread_mutex_unlock(&c->msg_in.theMutex);
  pthread_mutex_unlock(&c->msg_out.theMutex);
}

// Sets up both streams over the connected socket and only then marks the
// record open, on a new generation: replies awaited on an earlier opening
// can never be taken on this one.
int openStreams(quor_connection_t* c) {
  pthread_mutex_lock(&c->msg_out.theMutex);
  pthread_mutex_lock(&c->msg_in.theMutex);
  int rc = qel_BuildMsgStream(c->ctl_fd, &c->msg_out, 1);
  if (rc == 0) rc = qel_BuildMsgStream(c->ctl_fd, &c->msg_in, 0);
  if (rc == 0) {
    c->generation++;
    c->broken = 0;
    c->state = CONNECTION_OPEN;
  }
  pthread_mutex_unlock(&c->msg_in.theMutex);
  pthread_mutex_unlock(&c->msg_out.theMutex);
  return rc;
}

void dropSessionKey(quor_connection_t* c) {
  free(c->public_key);
  c->public_key = nullptr;
  c->pubkey_len = 0;
  if (c->session_key) OPENSSL_cleanse(c->session_key, static_cast<size_t>(c->sess_key_len));
  free(c->session_key);
  c->session_key = nullptr;
  c->sess_key_len = 0;
}

void freeRecord(quor_connection_t* c) {
  closeStreams(c);
  freeReconnect(&c->relogin_context);
  free(c->service_name);
  free(c->nic_list);
  dropSessionKey(c);
  pthread_mutex_destroy(&c->msg_in.theMutex);
  pthread_mutex_destroy(&c->msg_out.theMutex);
  pthread_cond_destroy(&c->msg_in.theCondition);
  pthread_cond_destroy(&c->msg_out.theCondition);
  pthread_cond_destroy(&c->openCond);
  delete c;
}

// Drops one reference; true when the record must now be freed (by the
// caller, outside the lock).
bool releaseLocked(quor_connection_t* c) {
  if (c == nullptr) return false;
  c->refs--;
  return c->refs <= 0 && c->unlinked;
}

quor_connection_t* findLocked(int handle) {
  for (quor_connection_t* c = qelapi_connection_list; c; c = c->next)
    if (c->handle == handle) return c;
  return nullptr;
}

std::string_view failureText(int code) {
  switch (code) {
    case -42002: return "client and server are at different protocol levels\n";
    case -42005: return "server does not support authentication method\n";
    case -42006: return "server reports problem with kerberos authentication\n";
    case -43000: return "server is shutting down - please retry later\n";
    case -43001: return "server is in periods-processing mode - please retry later\n";
    case -43002: return "Service not available - maximum number of sessions exceeded\n";
    case -50001: return "OGS memory allocation problem\n";
    case -50100: return "OZUGWD <--> OGS communication problem\n";
    case -50102: return "OZUGWD IPC initialization error\n";
    case -50103: return "OZUGWD IPC communication error\n";
    case -50104: return "OZUGWD<-->OGS buffer error\n";
    case -50200: return "QUOR is -down-\n";
    case -50201: return "QUOR is in system maintenance mode\n";
    case -50202: return "QUOR is approaching system maintenance time\n";
    case -50220: return "Client user is locked\n";
    case -50221: return "Client group is locked\n";
    case -50222: return "Client host or cluster is locked\n";
    case -50500: return "Default per-user session limit exceeded\n";
    case -50501: return "Default per-group session limit exceeded\n";
    case -50502: return "Default per-host session limit exceeded\n";
    case -50510: return "Per-user session limit exceeded\n";
    case -50511: return "Per-group session limit exceeded\n";
    case -50512: return "Per-host session limit exceeded\n";
    case -51000: return "OGS HMAC generation problem\n";
    case -51010: return "OGS encryption problem\n";
    case -51011: return "OGS decryption problem\n";
    case -51020: return "OGS signature length problem\n";
    case -51021: return "OGS signature problem\n";
    case -51030: return "OGS retry certificate invalid\n";
    case -51035: return "OGS retry before certificate start time\n";
    case -51040: return "OGS retry certificate expired\n";
    default: return {};
  }
}

void printFailureReason(int code) {
  std::string_view text = failureText(code);
  if (!text.empty())
    fprintf(stderr, "%.*s", static_cast<int>(text.size()), text.data());
  else if (code == -41000 || code == -41001)
    fprintf(stderr, "server doesn't support authentication function (response=%d)\n", code);
  else
    fprintf(stderr, "result = %d, errno = %d\n", code, errno);
}

// Failure exit of an open: the record leaves the table, the previous
// connection becomes current again and the thread follows it.
int failOpen(qelapi_tcontext_t* ctx, quor_connection_t* rec, int prevHandle, int code) {
  int handle = rec->handle;
  quorex_CloseConnection(handle);
  if (prevHandle != handle && prevHandle >= 0) quorex_SetCurConnection(prevHandle, nullptr);
  qelapi_BindThreadCurrent(ctx);
  return code;
}

void ctime20(time_t t, char out[32]) {
  char buf[32] = "";
  ctime_r(&t, buf);
  snprintf(out, 32, "%.20s", buf);
}

}  // namespace

void qelapi_ConnHold(quor_connection_t* conn) {
  if (conn == nullptr) return;
  pthread_mutex_lock(&qelapi_connection_lock);
  conn->refs++;
  pthread_mutex_unlock(&qelapi_connection_lock);
}

void qelapi_ConnRelease(quor_connection_t* conn) {
  if (conn == nullptr) return;
  pthread_mutex_lock(&qelapi_connection_lock);
  bool dead = releaseLocked(conn);
  pthread_mutex_unlock(&qelapi_connection_lock);
  if (dead) freeRecord(conn);
}

void qelapi_BindThreadConnection(qelapi_tcontext_t* ctx, quor_connection_t* conn) {
  pthread_mutex_lock(&qelapi_connection_lock);
  quor_connection_t* old = ctx->connection;
  if (conn) conn->refs++;
  ctx->connection = conn;
  bool dead = old != conn && releaseLocked(old);
  if (old == conn && old) old->refs--;
  pthread_mutex_unlock(&qelapi_connection_lock);
  if (dead) freeRecord(old);
}

quor_connection_t* qelapi_BindThreadCurrent(qelapi_tcontext_t* ctx) {
  // Unchanged (the usual case): nothing to count. Only this thread changes
  // its binding, and the binding keeps the record alive. A thread held to
  // a connection binds to that one instead.
  quor_connection_t* now = ctx->pinned ? ctx->pinned : qelapi_cur_connection.load();
  if (now != nullptr && ctx->connection == now) return now;
  pthread_mutex_lock(&qelapi_connection_lock);
  quor_connection_t* cur = ctx->pinned ? ctx->pinned : qelapi_cur_connection.load();
  quor_connection_t* old = ctx->connection;
  bool dead = false;
  if (old != cur) {
    if (cur) cur->refs++;
    ctx->connection = cur;
    dead = releaseLocked(old);
  }
  pthread_mutex_unlock(&qelapi_connection_lock);
  if (dead) freeRecord(old);
  return cur;
}

int qelapi_PinThreadConnection(int Handle, int* Previous) {
  qelapi_tcontext_t* ctx = qelapi_GetThreadContext();
  if (ctx == nullptr) return -12;
  pthread_mutex_lock(&qelapi_connection_lock);
  quor_connection_t* old = ctx->pinned;
  if (Previous) *Previous = old ? old->handle : -1;
  quor_connection_t* rec = nullptr;
  if (Handle >= 0) {
    rec = findLocked(Handle);
    if (rec == nullptr) {
      pthread_mutex_unlock(&qelapi_connection_lock);
      return -2;
    }
  }
  bool dead = false;
  if (rec != old) {
    if (rec) rec->refs++;
    ctx->pinned = rec;
    dead = releaseLocked(old);
  }
  pthread_mutex_unlock(&qelapi_connection_lock);
  if (dead) freeRecord(old);
  qelapi_BindThreadCurrent(ctx);
  return 0;
}

int quorex_SetupConnection(const char* remoteServerHost, const char* remoteService,
                           int remotePort, int minPort, int maxPort, int* connectionHandle) {
  if (connectionHandle) *connectionHandle = -1;
  if (qel_LibInit() < 0) return -12;
  if (remoteServerHost == nullptr) return -10008;
  // Truncated to 16 bits it would name another port.
  if (remotePort > 65535) {
    QEL_LOG(3, "*** %s: port %d out of range for host %s\n", "quorex_SetupConnection",
            remotePort, remoteServerHost);
    return -10008;
  }
  auto* c = new (std::nothrow) quor_connection_t();
  if (c == nullptr) {
    QEL_LOG(3, "malloc error creating new connection entry");
    return -12;
  }
  c->state = CONNECTION_CLOSED;
  c->ctl_fd = -1;
  c->msg_in.fd = c->msg_out.fd = -1;
  // Stream locks exist for the record's life: a send on a closed
  // connection takes the outbound lock before it finds it closed.
  pthread_mutex_init(&c->msg_in.theMutex, nullptr);
  pthread_mutex_init(&c->msg_out.theMutex, nullptr);
  pthread_cond_init(&c->msg_in.theCondition, nullptr);
  pthread_cond_init(&c->msg_out.theCondition, nullptr);
  pthread_cond_init(&c->openCond, nullptr);
  c->min_data_port = minPort;
  c->max_data_port = maxPort;
  c->service_name = strdup(remoteService ? remoteService : QUOR_DEFAULT_SERVICE);
  if (c->service_name == nullptr) {
    freeRecord(c);
    return -12;
  }
  int port = remotePort > 0 ? remotePort : QUOR_DEFAULT_PORT;
  if (remotePort <= 0 && remoteService != nullptr) {
    struct servent se, *res = nullptr;
    char buf[1024];
    if (getservbyname_r(remoteService, "tcp", &se, buf, sizeof buf, &res) == 0 && res)
      port = ntohs(static_cast<uint16_t>(res->s_port));
  }
  c->server_port = static_cast<uint16_t>(port);
  char portText[16];
  snprintf(portText, sizeof portText, "%d", port);
  char errbuf[256] = "";
  int rc = quor_net_getaddrinfo(remoteServerHost, portText, 0, QUOR_IPPROTO_TCP, &c->server_addr,
                                errbuf, sizeof errbuf);
  if (rc != 0) {
    QEL_LOG(3, "*** %s: error %d looking up hostname %s [%s]\n", "quorex_SetupConnection",
            rc == -11 ? errno : rc, remoteServerHost, errbuf);
    freeRecord(c);
    return -10008;
  }
  rc = quor_net_getnameinfo(&c->server_addr, c->server_host, sizeof c->server_host, nullptr, 0,
                            NI_NAMEREQD, errbuf, sizeof errbuf);
  if (rc != 0) {
    QEL_LOG(3, "*** WARNING %s: quor_net_getnameinfo returned error %d for hostname %s [%s]\n",
            "quorex_SetupConnection", rc, remoteServerHost, errbuf);
    c->server_host[0] = '\0';
  }
  pthread_mutex_lock(&qelapi_connection_lock);
  quor_connection_t** pp = &qelapi_connection_list;
  while (*pp) pp = &(*pp)->next;
  *pp = c;
  c->handle = ++qelapi_connection_count;
  if (connectionHandle) *connectionHandle = c->handle;
  pthread_mutex_unlock(&qelapi_connection_lock);
  return 0;
}

namespace {

// The gateway's retry time is its own clock's: a time in the past (or
// garbage) must not make the client reconnect at once, over and over, nor a
// far one leave it waiting for days.
const long kRetryMinWait = 5;
const long kRetryMaxWait = 900;

// Whether the record was closed (unlinked) while this thread opens it.
bool closedMeanwhile(quor_connection_t* rec) {
  pthread_mutex_lock(&qelapi_connection_lock);
  bool gone = rec->unlinked != 0;
  pthread_mutex_unlock(&qelapi_connection_lock);
  return gone;
}

// Waits seconds (as the library's sleeps count them) unless the record is
// closed meanwhile; true when it was.
bool openWait(quor_connection_t* rec, int seconds) {
  struct timespec dl = qelapi_Deadline(seconds);
  pthread_mutex_lock(&qelapi_connection_lock);
  while (!rec->unlinked)
    if (pthread_cond_timedwait(&rec->openCond, &qelapi_connection_lock, &dl) == ETIMEDOUT) break;
  bool gone = rec->unlinked != 0;
  pthread_mutex_unlock(&qelapi_connection_lock);
  return gone;
}

// An open whose record was closed under it: nothing of it stays open, and
// the thread follows the current connection.
int closedDuringOpen(qelapi_tcontext_t* ctx, quor_connection_t* rec, int prevHandle) {
  closeStreams(rec);
  if (prevHandle >= 0 && prevHandle != rec->handle && quorex_GetCurConHandle() < 0)
    quorex_SetCurConnection(prevHandle, nullptr);
  qelapi_BindThreadCurrent(ctx);
  return -2;
}

// The open loop of quorex_OpenConnection; the caller holds a reference to
// rec and has marked it as being opened by this thread.
int openRecord(qelapi_tcontext_t* ctx, quor_connection_t* rec, int prevHandle) {
  char univ[1100] = "";
  quor_net_getuniversaladdress(&rec->server_addr, univ, sizeof univ, nullptr, 0);
  const char* hostShown = rec->server_host[0] ? rec->server_host : "???";
  int result = -10003;
  bool firstRetry = true;
  unsigned char lastMsgXor = 0;
  // A broken connection is opened afresh.
  if (rec->state == CONNECTION_OPEN) closeStreams(rec);

  for (;;) {
    if (closedMeanwhile(rec)) return closedDuringOpen(ctx, rec, prevHandle);
    char errbuf[256] = "";
    int fd = quor_net_socket(&rec->server_addr, SOCK_STREAM, 0, errbuf, sizeof errbuf);
    if (fd < 0) {
      int err = errno;
      perror("socket");
      QEL_LOG(6, "*** %s: quor_net_socket call failed - errno = %d [%s] server=%s\n",
              "quorex_OpenConnection", err, errbuf, univ);
      qelapi_BindThreadCurrent(ctx);
      return -err;
    }
    // Published under the outbound lock, so that a close meanwhile can shut
    // the socket down and end a connect that hangs.
    pthread_mutex_lock(&rec->msg_out.theMutex);
    rec->ctl_fd = fd;
    pthread_mutex_unlock(&rec->msg_out.theMutex);
    QEL_LOG(7, "Connecting to %s (%s)\n", univ, hostShown);
    quorcfgx_NetoptSetSock(fd, &rec->server_addr);
    if (quor_net_connect(fd, &rec->server_addr, errbuf, sizeof errbuf) != 0) {
      int err = errno;
      if (closedMeanwhile(rec)) return closedDuringOpen(ctx, rec, prevHandle);
      perror("connect");
      QEL_LOG(6, "*** %s: quor_net_connect call failed - errno = %d server=%s [%s]\n",
              "quorex_OpenConnection", err, univ, errbuf);
      closeStreams(rec);
      qelapi_BindThreadCurrent(ctx);
      return -err;
    }
    // A key agreed on an earlier socket means nothing to the gateway's new
    // session.
    dropSessionKey(rec);
    int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    int rc = openStreams(rec);
    if (rc != 0) {
      // An open with an unusable stream would only fail later, less clearly.
      closeStreams(rec);
      return failOpen(ctx, rec, prevHandle, rc);
    }
    if (closedMeanwhile(rec)) return closedDuringOpen(ctx, rec, prevHandle);
    quorex_SetCurConnection(rec->handle, nullptr);

    // The server state comes unasked, with request id 0.
    qelapi_ExpectReply(ctx, rec, 0);
    api_server_state_rply_t state;
    memset(&state, 0, sizeof state);
    api_msghdr_t hdr;
    rc = qelapi_get_msg(ctx, &hdr, &state,
                        reinterpret_cast<xdrproc_t>(qel_xdr_api_server_state_rply_t), rec);
    if (rc != 0) {
      if (closedMeanwhile(rec)) return closedDuringOpen(ctx, rec, prevHandle);
      fprintf(stderr, "*** %s: unable to receive initial connection response - fatal\n",
              "quorex_OpenConnection");
      return failOpen(ctx, rec, prevHandle, rc);
    }
    if (state.quorDownFlag) {
      closeStreams(rec);
      char when[32];
      ctime20(time(nullptr), when);
      fprintf(stderr, "*** %20.20s QUOR is down.  Delaying/retrying until it is back up. \n",
              when);
      if (openWait(rec, 60)) return closedDuringOpen(ctx, rec, prevHandle);
      continue;
    }

    api_site_info_req_t sreq = {QUOR_CLIENT_PROT_MAJOR, QUOR_CLIENT_PROT_MINOR};
    api_site_info_rply_t sinfo;
    memset(&sinfo, 0, sizeof sinfo);
    rc = qelapi_send_msg(QEL_CAT_CONNECT, QEL_FN_CONN_SiteInfo, &sreq,
                         reinterpret_cast<xdrproc_t>(qel_xdr_api_site_info_req_t), 0, 0, rec, ctx);
    if (rc == 0) {
      rc = qelapi_get_msg(ctx, &hdr, &sinfo,
                          reinterpret_cast<xdrproc_t>(qel_xdr_api_site_info_rply_t), rec);
      if (rc == 0) {
        rec->site_info = sinfo;
        if (hdr.errorcode < 0) rc = hdr.errorcode;
      }
    }
    if (rc != 0) {
      if (closedMeanwhile(rec)) return closedDuringOpen(ctx, rec, prevHandle);
      fprintf(stderr, "*** %s: unable to obtain remote site info. server=%s\n",
              "quorex_OpenConnection", univ);
      return failOpen(ctx, rec, prevHandle, rc);
    }
    if (rec->site_info.sv_prot_major != QUOR_CLIENT_PROT_MAJOR ||
        rec->site_info.sv_prot_minor < QUOR_CLIENT_PROT_MINOR) {
      result = -42002;
      break;
    }

    free(rec->nic_list);
    rec->nic_list = nullptr;
    rec->nic_count = 0;
    quorcfgx_ConfGetClientInterfaces(nullptr, rec->server_host, &rec->nic_count, &rec->nic_list,
                                     nullptr);

    int retryFlag = 0, failedFlag = 0;
    result = qelapi_authenticate(ctx, rec, &retryFlag, &failedFlag);
    if (closedMeanwhile(rec)) return closedDuringOpen(ctx, rec, prevHandle);
    if (result == 0) return 0;

    login_reconnect_t* rc2 = &rec->relogin_context;
    if (retryFlag) {
      closeStreams(rec);
      unsigned char x = 0;
      for (uint32_t i = 0; i < rc2->user_msg_len && rc2->user_msg_buf; i++)
        x ^= static_cast<unsigned char>(rc2->user_msg_buf[i]);
      if (firstRetry || x != lastMsgXor) {
        if (!firstRetry && lastMsgXor != 0) fputc('\n', stderr);
        lastMsgXor = x;
        if (isatty(STDERR_FILENO) && rc2->user_msg_len && rc2->user_msg_buf)
          fprintf(stderr, "%.*s\n", static_cast<int>(rc2->user_msg_len), rc2->user_msg_buf);
      }
      firstRetry = false;
      time_t now = time(nullptr);
      int64_t asked = static_cast<int64_t>(rc2->reconnect_time) - static_cast<int64_t>(now);
      long wait = static_cast<long>(std::clamp<int64_t>(asked, kRetryMinWait, kRetryMaxWait));
      char when[32];
      ctime20(now + wait, when);
      fprintf(stderr, "\r*** Retrying in %d seconds at %20.20s \r", static_cast<int>(wait), when);
      if (openWait(rec, static_cast<int>(wait))) return closedDuringOpen(ctx, rec, prevHandle);
      quor_SetAuthType(QUOR_AUTH_RECONNECT);
      continue;
    }
    if (rc2->user_msg_len && rc2->user_msg_buf)
      fprintf(stderr, "%.*s\n", static_cast<int>(rc2->user_msg_len), rc2->user_msg_buf);
    break;
  }
  printFailureReason(result);
  fprintf(stderr, "*** %s: Unable to authenticate user with remote gateway at %s\n",
          "quorex_OpenConnection", univ);
  return failOpen(ctx, rec, prevHandle, result);
}

}  // namespace

int quorex_OpenConnection(int theHandle) {
  qelapi_tcontext_t* ctx = qelapi_GetThreadContext();
  if (ctx == nullptr) {
    QEL_LOG(6, "Error - unable to create mew thread state!\n");
    return -12;
  }
  int prevHandle = quorex_GetCurConHandle();
  pthread_mutex_lock(&qelapi_connection_lock);
  quor_connection_t* rec = findLocked(theHandle);
  if (rec == nullptr) {
    pthread_mutex_unlock(&qelapi_connection_lock);
    return -2;
  }
  // This thread's own reference, for the whole open: a close meanwhile
  // unlinks the record but cannot free it under the opener.
  rec->refs++;
  // One open of a record at a time, whichever path started it.
  while (rec->opening && !rec->unlinked && !pthread_equal(rec->opener, pthread_self()))
    pthread_cond_wait(&rec->openCond, &qelapi_connection_lock);
  int rc = 0;
  if (rec->unlinked) {
    rc = -2;
  } else if (rec->opening || (rec->state == CONNECTION_OPEN && !rec->broken)) {
    QEL_LOG(6, "Error - connection already open!\n");
    rc = -16;
  } else {
    rec->opening = 1;
    rec->opener = pthread_self();
  }
  pthread_mutex_unlock(&qelapi_connection_lock);
  if (rc == 0) {
    qelapi_BindThreadConnection(ctx, rec);
    rc = openRecord(ctx, rec, prevHandle);
    pthread_mutex_lock(&qelapi_connection_lock);
    rec->opening = 0;
    pthread_cond_broadcast(&rec->openCond);
    pthread_mutex_unlock(&qelapi_connection_lock);
  }
  qelapi_ConnRelease(rec);
  return rc;
}

int qelapi_AwaitOpen(quor_connection_t* rec) {
  if (rec == nullptr || !rec->opening) return 0;
  pthread_mutex_lock(&qelapi_connection_lock);
  if (rec->opening && pthread_equal(rec->opener, pthread_self())) {
    pthread_mutex_unlock(&qelapi_connection_lock);
    return 1;
  }
  while (rec->opening && !rec->unlinked)
    pthread_cond_wait(&rec->openCond, &qelapi_connection_lock);
  pthread_mutex_unlock(&qelapi_connection_lock);
  return 0;
}

int quorex_CloseConnection(int theHandle) {
  pthread_mutex_lock(&qelapi_connection_lock);
  quor_connection_t** pp = &qelapi_connection_list;
  while (*pp && (*pp)->handle != theHandle) pp = &(*pp)->next;
  quor_connection_t* c = *pp;
  if (c == nullptr) {
    pthread_mutex_unlock(&qelapi_connection_lock);
    return -2;
  }
  *pp = c->next;
  c->next = nullptr;
  c->unlinked = 1;
  if (qelapi_cur_connection == c) {
    qelapi_cur_connection = nullptr;
    c->refs--;
  }
  // An opener's wait ends now; threads waiting for its result see the
  // record gone.
  pthread_cond_broadcast(&c->openCond);
  bool freeNow = c->refs <= 0;
  // Kept alive while this thread closes it: a waiter may drop the last
  // other reference at any moment.
  if (!freeNow) c->refs++;
  pthread_mutex_unlock(&qelapi_connection_lock);
  if (freeNow) {
    freeRecord(c);
    return 0;
  }
  // Threads bound to the record keep it (and each its exchange in flight)
  // until they next bind to another; the socket and the streams go now,
  // under the threads still inside an exchange, which are woken and fail.
  closeStreams(c);
  qelapi_ConnRelease(c);
  return 0;
}

int quorex_CloseAllConnections(void) { return 0; }

int quorex_SetCurConnection(int theHandle, int* curHandle) {
  pthread_mutex_lock(&qelapi_connection_lock);
  quor_connection_t* old = qelapi_cur_connection;
  if (curHandle) *curHandle = old ? old->handle : -1;
  quor_connection_t* c = findLocked(theHandle);
  if (c == nullptr) {
    pthread_mutex_unlock(&qelapi_connection_lock);
    return -2;
  }
  bool dead = false;
  if (c != old) {
    c->refs++;
    qelapi_cur_connection = c;
    dead = releaseLocked(old);
  }
  pthread_mutex_unlock(&qelapi_connection_lock);
  if (dead) freeRecord(old);
  return 0;
}

int quorex_GetCurConHandle(void) {
  pthread_mutex_lock(&qelapi_connection_lock);
  quor_connection_t* c = qelapi_cur_connection;
  int handle = c ? c->handle : -2;
  pthread_mutex_unlock(&qelapi_connection_lock);
  return handle;
}

quor_connection_t* qelapi_getCurConnection(void) { return qelapi_cur_connection; }

quor_connection_t* qelapi_GetThreadConEntry(qelapi_tcontext_t* threadPtr) {
  qelapi_tcontext_t* t = threadPtr ? threadPtr : qelapi_LookupThreadstate(pthread_self());
  return t ? t->connection : nullptr;
}

int quorex_GetThreadConHandle(qelapi_tcontext_t* threadPtr) {
  quor_connection_t* c = qelapi_GetThreadConEntry(threadPtr);
  return c ? c->handle : -1;
}

quor_connection_t* qel_LookupConnection(int connectionHandle, int HaveLock) {
  if (!HaveLock) pthread_mutex_lock(&qelapi_connection_lock);
  quor_connection_t* c = findLocked(connectionHandle);
  if (!HaveLock) pthread_mutex_unlock(&qelapi_connection_lock);
  return c;
}

int quorex_GetConnectionInfo(int theHandle, char** remoteServerHost, char** remoteAddr,
                             char** remoteService, int* remoteServerPort, int* minPort,
                             int* maxPort, int* remoteSocket) {
  pthread_mutex_lock(&qelapi_connection_lock);
  quor_connection_t* c = theHandle < 0 ? qelapi_cur_connection.load() : findLocked(theHandle);
  if (c == nullptr) {
    pthread_mutex_unlock(&qelapi_connection_lock);
    return -2;
  }
  char numeric[NI_MAXHOST] = "";
  quor_net_getnameinfo(&c->server_addr, numeric, sizeof numeric, nullptr, 0, NI_NUMERICHOST,
                       nullptr, 0);
  int rc = 0;
  char* host = nullptr;
  char* addr = nullptr;
  char* service = nullptr;
  if (remoteServerHost && !(host = strdup(c->server_host[0] ? c->server_host : numeric))) rc = -12;
  if (rc == 0 && remoteAddr && !(addr = strdup(numeric))) rc = -12;
  if (rc == 0 && remoteService && !(service = strdup(c->service_name))) rc = -12;
  if (rc == 0) {
    if (remoteServerHost) *remoteServerHost = host;
    if (remoteAddr) *remoteAddr = addr;
    if (remoteService) *remoteService = service;
    if (remoteServerPort) *remoteServerPort = c->server_port;
    if (minPort) *minPort = c->min_data_port;
    if (maxPort) *maxPort = c->max_data_port;
    if (remoteSocket) *remoteSocket = c->ctl_fd;
  } else {
    free(host);
    free(addr);
    free(service);
  }
  pthread_mutex_unlock(&qelapi_connection_lock);
  return rc;
}

int ozugw_SaveLoginReconnect(qelapi_tcontext_t* /*ThreadState*/, quor_connection_t* Connection,
                             api_login_rply_t* LoginReply) {
  login_reconnect_t* r = &Connection->relogin_context;
  freeReconnect(r);
  r->reconnect_time = LoginReply->retry_time;
  auto copy = [](const char* src, uint32_t len, uint32_t* outLen, char** out, bool text) {
    if (len == 0 || src == nullptr) return;
    char* p = static_cast<char*>(malloc(len + (text ? 1 : 0)));
    if (p == nullptr) return;
    memcpy(p, src, len);
    if (text) p[len] = '\0';
    *out = p;
    *outLen = len;
  };
  copy(LoginReply->user_msg_buf, LoginReply->user_msg_len, &r->user_msg_len, &r->user_msg_buf,
       true);
  copy(LoginReply->retry_packet, LoginReply->retry_packet_len, &r->reconnect_packet_len,
       &r->reconnect_packet, false);
  copy(LoginReply->hmac_packet, LoginReply->hmac_len, &r->reconnect_hmac_len,
       &r->reconnect_hmac_packet, false);
  return 0;
}

int ozugw_RetryLogin(qelapi_tcontext_t* ThreadState, quor_connection_t* Connection,
                     int* RetRetryFlags) {
  login_reconnect_t* r = &Connection->relogin_context;
  api_login_reconnect_t req;
  memset(&req, 0, sizeof req);
  req.prot_ver_major = QUOR_CLIENT_PROT_MAJOR;
  req.prot_ver_minor = QUOR_CLIENT_PROT_MINOR;
  req.client_pid = static_cast<uint32_t>(getpid());
  req.retry_packet_len = r->reconnect_packet_len;
  req.retry_packet = r->reconnect_packet;
  req.hmac_len = r->reconnect_hmac_len;
  req.hmac_packet = r->reconnect_hmac_packet;
  api_login_rply_t reply;
  memset(&reply, 0, sizeof reply);
  int rc = qelapi_send_msg(QEL_CAT_AUTH, QEL_FN_AUTH_LoginReconnect, &req,
                           reinterpret_cast<xdrproc_t>(qel_xdr_login_reconnect_t), 0, 0,
                           Connection, ThreadState);
  // A request that never left has no reply to wait for: its failure is the
  // result, not the zeroed reply's success.
  if (rc != 0) return rc;
  qel_login_sent = 1;
  api_msghdr_t hdr;
  rc = qelapi_get_msg(ThreadState, &hdr, &reply,
                      reinterpret_cast<xdrproc_t>(qel_xdr_api_login_rply_t), Connection);
  if (rc != 0) {
    fprintf(stderr, "*** %s: unable to obtain login response for <reconnect>\n", __func__);
    xdr_free(reinterpret_cast<xdrproc_t>(qel_xdr_api_login_rply_t),
             reinterpret_cast<char*>(&reply));
    return -1;
  }
  ozugw_SaveLoginReconnect(ThreadState, Connection, &reply);
  uint32_t stop = reply.flags & 0x60000000u;
  if (RetRetryFlags) *RetRetryFlags = static_cast<int>(stop);
  xdr_free(reinterpret_cast<xdrproc_t>(qel_xdr_api_login_rply_t), reinterpret_cast<char*>(&reply));
  // A reply that says retry later or failed is no log-in, whatever its code.
  if (stop != 0 && hdr.errorcode == 0) return -10003;
  return hdr.errorcode;
}
