// The client's side of mover connections in a parallel transfer: the
// connection manager accepts the movers' control connections (through the
// library's one checked accept), a transfer thread per connection serves
// its messages, and the pieces are placed in (get) or taken from (put) the
// pool's buffers. Every wait is sliced so that an abort ends every thread.
#include <errno.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <vector>

#include "mover_loops.h"
#include "mvr_protocol.h"
#include "ozu_errors.h"
#include "ozu_locks.h"
#include "ozu_log.h"
#include "ozu_util.h"
#include "ozuvars.h"
#include "quor_api.h"
#include "quor_convert.h"
#include "quor_san3p.h"
#include "quorcfgx_restrict.h"
#include "xfer_record.h"

int ozu_MvrProtMsg(transfer_t *ctl, connection_info_t *slot, initiator_msg_t *msg,
                   uint64_t *moved);
int ozu_PdataProtMsg(transfer_t *ctl, connection_info_t *slot, pdata_hdr_t *hdr, uint64_t *moved);

namespace {

bool stopping(transfer_t *ctl) { return ctl->abortSignalled > 0 || !ctl->transfer_active; }

// Waits until fd is readable: 1, or 0 when the transfer stops first, or -1.
int waitReadable(transfer_t *ctl, int fd)
{
  for (;;) {
    struct pollfd p = {fd, POLLIN, 0};
    int n = poll(&p, 1, 250);
    if (n > 0)
      return 1;
    if (n < 0 && errno != EINTR)
      return -1;
    if (stopping(ctl))
      return 0;
  }
}

void closeFd(int32_t &fd)
{
  if (fd >= 0)
    close(fd);
  fd = -1;
}

void *ozu_Transfer_Thread(void *arg);

void keepRefusals(transfer_t *ctl, const std::vector<quor_sockaddr_t> &refused, const char *caller)
{
  if (refused.empty())
    return;
  std::lock_guard<std::mutex> hold(ctl->refusedLock);
  for (const quor_sockaddr_t &a : refused)
    ctl->refusedMovers.emplace_back(a, caller);
}

void joinTransferThread(connection_info_t *slot)
{
  if (slot->threadJoinable) {
    pthread_join(slot->ThreadId, nullptr);
    slot->threadJoinable = 0;
  }
}

// Claims a slot, accepts the mover, checks it and starts its thread.
connection_info_t *mct_NewMoverConnection(transfer_t *ctl, int listenFd)
{
  const char *me = "mct_NewMoverConnection";
  connection_info_t *slot = nullptr;
  bool traced = false;
  for (;;) {
    pthread_mutex_lock(&ctl->abortLock);
    for (int i = 0; i < ctl->connectListSize; ++i)
      if (!ctl->connectionList[i].isactive) {
        slot = &ctl->connectionList[i];
        slot->isactive = 1;
        break;
      }
    if (slot != nullptr) {
      slot->ctl = ctl;
      pthread_mutex_unlock(&ctl->abortLock);
      // The slot's last thread has let go of it; reap it before reuse.
      joinTransferThread(slot);
      break;
    }
    pthread_mutex_unlock(&ctl->abortLock);
    if (ctl->abortSignalled > 0)
      return nullptr;
    if (debug >= 3 && !traced) {
      fprintf(listF, "/debug/%s: waiting for free connection\n", me);
      traced = true;
    }
    usleep(100000);
  }
  auto giveUp = [&]() -> connection_info_t * {
    pthread_mutex_lock(&ctl->abortLock);
    slot->isactive = 0;
    pthread_mutex_unlock(&ctl->abortLock);
    return nullptr;
  };
  quor_sockaddr_t peer;
  memset(&peer, 0, sizeof peer);
  std::vector<quor_sockaddr_t> refused;
  int fd = mover_accept_checked(listenFd, &peer, me, &refused);
  keepRefusals(ctl, refused, me);
  if (fd == MOVER_REFUSED) {
    if (debug >= 1) {
      char text[128] = "";
      quor_net_getuniversaladdress(&peer, text, sizeof text, nullptr, 0);
      fprintf(stderr, "/debug/mover connection from %s disallowed - closing connection\n", text);
    }
    return giveUp();
  }
  if (fd < 0) {
    int e = -fd;
    if (fd != -EAGAIN && ctl->abortSignalled == 0 && e != EBADF && e != EPIPE && e != ENOTCONN) {
      fprintf(stderr, "*** %s: quor_net_accept failed: errno=%d [%s]\n", me, e, strerror(e));
      pthread_mutex_lock(&ctl->abortLock);
      ctl->abortSignalled = 1;
      pthread_cond_broadcast(&ctl->abortCondition);
      pthread_mutex_unlock(&ctl->abortLock);
    }
    return giveUp();
  }
  if (debug >= 3) {
    char text[128] = "";
    quor_net_getuniversaladdress(&peer, text, sizeof text, nullptr, 0);
    ozu_LockListingFile();
    fprintf(listF, "/debug/mover connection from %s\n", text);
    ozu_UnlockListingFile();
  }
  slot->controlSocket = fd;
  slot->remoteAddr = peer;
  // Control messages are small and answered one by one: never held back
  // waiting for the peer's acknowledgement.
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  pthread_attr_t attr;
  if (ozu_ThreadAttrInit(&attr) < 0) {
    SET_TRANSFER_ABORTED(ctl);
    closeFd(slot->controlSocket);
    return giveUp();
  }
  int rc = pthread_create(&slot->ThreadId, &attr, ozu_Transfer_Thread, slot);
  pthread_attr_destroy(&attr);
  if (rc != 0) {
    // The slot must not stay claimed, or the end of the phase waits for ever.
    fprintf(stderr, "*** %s: error %d starting transfer thread\n", me, rc);
    SET_TRANSFER_ABORTED(ctl);
    closeFd(slot->controlSocket);
    return giveUp();
  }
  slot->threadJoinable = 1;
  ozu_ThreadYield();
  return slot;
}

// OZU_TEST_MOVER_ACCEPT_DELAY_MS: each mover connection waits this long
// before it is accepted, so a test can make movers arrive after the phase's
// bytes are all placed. Read once; never set outside tests.
int acceptDelayMs(void)
{
  static const int ms = [] {
    const char *env = getenv("OZU_TEST_MOVER_ACCEPT_DELAY_MS");
    int v = env ? atoi(env) : 0;
    return v > 0 && v <= 10000 ? v : 0;
  }();
  return ms;
}

void *ozu_Mover_ConnectionsThread(void *arg)
{
  auto *ctl = static_cast<transfer_t *>(arg);
  int n = ctl->controlSockCount;
  // The phase's end wakes the loop through the last entry.
  std::vector<struct pollfd> fds(size_t(n > 0 ? n : 0) + 1);
  for (int i = 0; i < n; ++i)
    fds[size_t(i)] = {ctl->controlSockAddr[i].socketFD, POLLIN, 0};
  fds[size_t(n > 0 ? n : 0)] = {ctl->connWakeCreated ? ctl->connWakeFd : -1, POLLIN, 0};
  bool first = true;
  uint64_t lastOffset = 0;
  // After an abort the list request may still be out: movers that connect
  // then are closed at once, so that none waits for an answer and the
  // gateway's reply comes soon.
  while (ctl->transfer_active) {
    int ready = poll(fds.data(), nfds_t(fds.size()), 250);
    if (ready < 0) {
      if (errno == EINTR)
        continue;
      if (debug >= 3)
        fprintf(listF, "/debug/ %s: error %d on select() - exiting accept loop\n",
                "mct_WaitForConnect", errno);
      break;
    }
    if (ready == 0) {
      uint64_t cur = ctl->currentSrcOffset;
      if (cur > lastOffset) {
        ozu_DisplayXferProgress(cur, ctl->transferLength);
        lastOffset = cur;
      }
      continue;
    }
    if (fds.back().revents) {
      uint64_t v;
      ssize_t r = read(fds.back().fd, &v, sizeof v);
      (void)r;
      if (--ready == 0)
        continue;
    }
    if (debug >= 3)
      fprintf(listF, "/debug/%s: new connection detected\n", "mct_WaitForConnect");
    for (int i = 0; i < n; ++i) {
      if (!(fds[size_t(i)].revents & POLLIN))
        continue;
      if (ctl->abortSignalled > 0) {
        std::vector<quor_sockaddr_t> refused;
        int fd = mover_accept_checked(fds[size_t(i)].fd, nullptr, "mct_WaitForConnect", &refused);
        keepRefusals(ctl, refused, "mct_WaitForConnect");
        if (fd >= 0)
          close(fd);
        continue;
      }
      if (acceptDelayMs() > 0)
        usleep(useconds_t(acceptDelayMs()) * 1000);
      if (mct_NewMoverConnection(ctl, fds[size_t(i)].fd) != nullptr && first) {
        ctl->startTime = ozu_GetTimestamp();
        first = false;
      }
    }
  }
  ozu_ReqQueueSignalAll(ctl);
  pthread_mutex_lock(&ctl->bufQueueLock);
  pthread_cond_broadcast(&ctl->bufQueueCondition);
  pthread_mutex_unlock(&ctl->bufQueueLock);
  // A mover that connected after the phase's last wait for the slots (a
  // mover with nothing to move connects late and closes) may still have a
  // thread running on its slot: the record's slots, locks and the
  // descriptors it closes must outlive it, so the phase ends only when
  // every thread started here has ended.
  for (int i = 0; i < ctl->connectListSize; ++i)
    joinTransferThread(&ctl->connectionList[i]);
  if (debug >= 3)
    fprintf(listF, "/debug/manage_pwrite_connections exiting\n");
  return nullptr;
}


void *ozu_Transfer_Thread(void *arg)
{
  auto *slot = static_cast<connection_info_t *>(arg);
  transfer_t *ctl = slot->ctl;
  const char *me = "ozu_Transfer_Thread";
  slot->listenSocket = slot->transferSocket = -1;
  uint64_t xferId = quor_RequestIDtoU64(ctl->requestId);
  slot->startTime = ozu_GetTimestamp();
  slot->stopTime = slot->overheadTime = slot->mvrProtocolTime = slot->waitNetTime =
      slot->waitFileTime = 0;
  if (debug >= 1)
    fprintf(listF, "%s: connection %d - thread starting - request ID=%s (0x%8.8x,%8.8x)\n", me,
            slot->conInx, "Unknown", unsigned(xferId >> 32), unsigned(xferId));
  while (ctl->abortSignalled == 0) {
    // Sliced, so that a mover that keeps an idle connection open cannot
    // hold the end of an aborted phase.
    int w = waitReadable(ctl, slot->controlSocket);
    if (w <= 0) {
      if (w < 0)
        SET_TRANSFER_ABORTED(ctl);
      break;
    }
    int type = 0;
    initiator_msg_t init;
    pdata_hdr_t hdr;
    memset(&init, 0, sizeof init);
    memset(&hdr, 0, sizeof hdr);
    double t0 = ozu_GetTimestamp();
    int rc = mover_socket_recv_protmsg_timeout(slot->controlSocket, xferId, &type, &init, &hdr, 60);
    slot->mvrProtocolTime += ozu_GetTimestamp() - t0;
    if (debug >= 3)
      fprintf(listF, "XferInx: %d Connection ID: %d mover_socket_recv_protmsg returned %d\n",
              ctl->xferSerialNumber, slot->conInx, rc);
    if (rc < 0) {
      fprintf(stderr, "*** %s: Error %d returned from mover_socket_recv_protmsg call. Aborting transfer", me, rc);
      SET_TRANSFER_ABORTED(ctl);
      break;
    }
    if (rc == 0) {
      if (debug >= 1) {
        ozu_LockListingFile();
        fprintf(listF, "XferInx: %d Connection ID: %d mover terminated connection\n",
                ctl->xferSerialNumber, slot->conInx);
        ozu_UnlockListingFile();
      }
      break;
    }
    uint64_t moved = 0, offset = 0;
    if (type == MVRPROT_MSG_PDATA) {
      slot->transferSocket = slot->controlSocket;
      slot->remoteTransferAddr = slot->remoteAddr;
      offset = hdr.Offset;
      int r = ozu_PdataProtMsg(ctl, slot, &hdr, &moved);
      if (r == -107) {
        if (debug >= 1)
          fprintf(listF, "*** %s: Terminating transfer thread - mover disconnected\n", me);
        break;
      }
      if (r < 0)
        break;
    } else if (type == MVRPROT_MSG_INITIATOR) {
      offset = init.Offset;
      if (ozu_MvrProtMsg(ctl, slot, &init, &moved) < 0)
        break;
    } else {
      fprintf(stderr, "%s: Illegal protocol msg type %d returned from mover_socket_recv_protmsg call. Aborting transfer", me, type);
      SET_TRANSFER_ABORTED(ctl);
      break;
    }
    pthread_mutex_lock(&ctl->controlLock);
    if (offset + moved > ctl->currentSrcOffset)
      ctl->currentSrcOffset = offset + moved;
    pthread_mutex_unlock(&ctl->controlLock);
  }
  if (slot->transferSocket == slot->controlSocket)
    slot->controlSocket = -1;
  closeFd(slot->transferSocket);
  closeFd(slot->listenSocket);
  closeFd(slot->controlSocket);
  slot->stopTime = ozu_GetTimestamp();
  pthread_mutex_lock(&ctl->abortLock);
  ctl->overheadTime += slot->overheadTime;
  slot->isactive = 0;
  pthread_cond_broadcast(&ctl->abortCondition);
  pthread_mutex_unlock(&ctl->abortLock);
  return nullptr;
}

// The data connection of a TCP/IP piece: opened on the first piece of the
// connection, its peer checked like a control connection's. 0 or -1.
int openDataConnection(transfer_t *ctl, connection_info_t *slot, uint64_t xferId)
{
  if (slot->transferSocket >= 0)
    return 0;
  if (slot->listenSocket < 0) {
    if (ozu_GetListenSocket(0, 1, &slot->listenSocket, &slot->localNetAddr) < 0) {
      slot->listenSocket = -1;
      return -1;
    }
    if (listen(slot->listenSocket, 4096) < 0) {
      quor_perror(-errno, "listen", " [setup_xfer_listen_socket]", stderr);
      return -1;
    }
    if (debug >= 3) {
      char text[128] = "";
      quor_net_getuniversaladdress(&slot->localNetAddr, text, sizeof text, nullptr, 0);
      fprintf(listF, "/debug/Xfer %d Connection %d: send listen port addr: %s\n",
              ctl->xferSerialNumber, slot->conInx, text);
    }
  }
  memset(&slot->ipAddr, 0, sizeof slot->ipAddr);
  slot->ipAddr.IpAddr.SockAddr = slot->localNetAddr;
  slot->ipAddr.IpAddr.SockTransferID = xferId;
  slot->ipAddr.IpAddr.SockOffset = 0;
  return 0;
}

int acceptDataConnection(transfer_t *ctl, connection_info_t *slot)
{
  const char *me = "ozu_MvrProtMsg";
  double t0 = ozu_GetTimestamp();
  for (;;) {
    int w = waitReadable(ctl, slot->listenSocket);
    if (w == 0)
      return -1;
    if (w < 0) {
      if (debug >= 3)
        fprintf(listF, "/debug/ %s: error %d on select() - exiting accept loop\n", me, errno);
      return -1;
    }
    quor_sockaddr_t peer;
    int fd = mover_accept_checked(slot->listenSocket, &peer, me, nullptr);
    if (fd == -EAGAIN)
      continue;
    if (fd == MOVER_REFUSED)
      return -1;
    if (fd < 0) {
      fprintf(stderr, "*** %s: quor_net_accept returned error %d [%s]\n", me, -fd, strerror(-fd));
      return -1;
    }
    slot->transferSocket = fd;
    slot->remoteTransferAddr = peer;
    // A store's piece ends in a partial segment the mover must have before
    // it answers: never held back for an acknowledgement.
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    break;
  }
  slot->mvrProtocolTime += ozu_GetTimestamp() - t0;
  if (debug >= 3) {
    char text[128] = "";
    quor_net_getuniversaladdress(&slot->remoteTransferAddr, text, sizeof text, nullptr, 0);
    time_t now = time(nullptr);
    char tb[32];
    ctime_r(&now, tb);
    tb[24] = '\0';
    fprintf(listF, "/debug/mover data connection from %s at %s\n", text, tb);
  }
  return 0;
}

}  // namespace

int ozu_LaunchMvrConnectionsThread(transfer_t *ctl)
{
  if (ozu_ThreadCreate(&ctl->controlThreadId, nullptr, ozu_Mover_ConnectionsThread, ctl) < 0) {
    char msg[256];
    snprintf(msg, sizeof msg, "*** %s: Error(s) launching I/O conn.mgr thread - aborting xfer",
             "ozu_LaunchMvrConnectionsThread");
    setExitResult(71, msg, 6);
    return -1;
  }
  ozu_ThreadYield();
  return 0;
}

int ozu_MoversPending(transfer_t *ctl)
{
  pthread_mutex_lock(&ctl->abortLock);
  bool claimed = false;
  for (int i = 0; ctl->connectionList && i < ctl->connectListSize && !claimed; ++i)
    claimed = ctl->connectionList[i].isactive;
  pthread_mutex_unlock(&ctl->abortLock);
  if (claimed)
    return 1;
  for (int i = 0; i < ctl->controlSockCount; ++i) {
    struct pollfd p = {ctl->controlSockAddr[i].socketFD, POLLIN, 0};
    if (p.fd >= 0 && poll(&p, 1, 0) > 0)
      return 1;
  }
  return 0;
}

namespace {

int san3pPiece(transfer_t *ctl, connection_info_t *slot, initiator_msg_t *msg, io_buffer_t *buf,
               uint32_t bufOff, uint32_t n, uint64_t xferId, uint64_t *moved)
{
  initiator_san3paddr_t sa;
  memset(&sa, 0, sizeof sa);
  sa.San3pAddr.SAN3PTransferID = xferId;
  if (mvrprot_send_san3paddr(slot->controlSocket, &sa) < 0) {
    SET_TRANSFER_ABORTED(ctl);
    return -1;
  }
  uint32_t got = 0;
  int status = ctl->xferOperation == IOP_GET
                   ? quor_SAN3PRead(&sa.San3pAddr, slot->controlSocket, buf->buffer + bufOff, n, &got)
                   : quor_SAN3PWrite(&sa.San3pAddr, slot->controlSocket, buf->buffer + bufOff, n, &got);
  completion_msg_t comp;
  memset(&comp, 0, sizeof comp);
  comp.Status = status;
  comp.BytesMoved = got;
  memcpy(comp.SecurityTicket, msg->SecurityTicket, sizeof comp.SecurityTicket);
  int src = mvrprot_send_compmsg(slot->controlSocket, &comp);
  if (status != 0) {
    quor_perror(status, ctl->xferOperation == IOP_GET ? "quor_SAN3PRead" : "quor_SAN3PWrite", "",
                stderr);
    SET_TRANSFER_ABORTED(ctl);
    return -1;
  }
  if (src < 0) {
    quor_perror(src, "mvrprot_send_compmsg", "", stderr);
    SET_TRANSFER_ABORTED(ctl);
    return -1;
  }
  if (ozu_Update_BufXferred(ctl, slot, got, buf) < 0)
    return -1;
  *moved = got;
  return 0;
}

}  // namespace

static bool outsideRequest(transfer_t *ctl, uint64_t offset, uint64_t length);

int ozu_MvrProtMsg(transfer_t *ctl, connection_info_t *slot, initiator_msg_t *msg, uint64_t *moved)
{
  *moved = 0;
  uint64_t xferId = quor_RequestIDtoU64(ctl->requestId);
  if (debug >= 3) {
    ozu_LockListingFile();
    fprintf(listF, "Transfer Initiation Message - Transfer # %d Connection %d\n",
            ctl->xferSerialNumber, slot->conInx);
    fprintf(listF, "    Type............... %u\n    Offset............. %llu\n    Length............. %llu\n",
            msg->Type, (unsigned long long)msg->Offset, (unsigned long long)msg->Length);
    ozu_UnlockListingFile();
  }
  if (outsideRequest(ctl, msg->Offset, msg->Length))
    return -1;
  io_buffer_t *buf = nullptr;
  double t0 = ozu_GetTimestamp();
  int rc = ozu_FindBufferWithData(ctl, slot, msg->Offset, msg->Length, &buf);
  slot->overheadTime += ozu_GetTimestamp() - t0;
  if (rc < 0) {
    SET_TRANSFER_ABORTED(ctl);
    return -1;
  }
  uint32_t bufOff = 0, n = 0;
  if (ozu_CalcBufOffsetAndSize(ctl, buf, msg->Offset, msg->Length, &bufOff, &n) < 0)
    return -1;
  initiator_msg_t reply = *msg;
  reply.Flags = msg->Type == MVRPROT_TYPE_SAN3P
                    ? MVRPROT_HOLD_RESOURCES | MVRPROT_ADDR_FOLLOWS
                    : MVRPROT_HOLD_RESOURCES | MVRPROT_COMP_REPLY | MVRPROT_ADDR_FOLLOWS;
  reply.Length = n;
  if (msg->Type != MVRPROT_TYPE_TCPIP && msg->Type != MVRPROT_TYPE_SAN3P) {
    SET_TRANSFER_ABORTED(ctl);
    return -1;
  }
  if (mvrprot_send_initmsg(slot->controlSocket, &reply) < 0) {
    SET_TRANSFER_ABORTED(ctl);
    return -1;
  }
  if (msg->Type == MVRPROT_TYPE_SAN3P) {
    if (debug >= 3)
      fprintf(listF, "Transfer type is: SAN3P\n");
    return san3pPiece(ctl, slot, msg, buf, bufOff, n, xferId, moved);
  }
  if (debug >= 3)
    fprintf(listF, "Transfer type is: TCP/IP\n");
  if (openDataConnection(ctl, slot, xferId) < 0) {
    SET_TRANSFER_ABORTED(ctl);
    return -1;
  }
  int src = mvrprot_send_ipaddr(slot->controlSocket, &slot->ipAddr);
  if (src < 0) {
    quor_perror(src, "mvrprot_send_ipaddr", "", stderr);
    SET_TRANSFER_ABORTED(ctl);
    return -1;
  }
  if (slot->transferSocket < 0 && acceptDataConnection(ctl, slot) < 0) {
    SET_TRANSFER_ABORTED(ctl);
    return -1;
  }
  t0 = ozu_GetTimestamp();
  int got = 0;
  int r;
  if (ctl->xferOperation == IOP_GET)
    r = mover_socket_recv_data(slot->transferSocket, xferId, msg->Offset, buf->buffer + bufOff,
                               int(n), &got, 1);
  else
    r = mover_socket_send_requested_data(slot->transferSocket, xferId, msg->Offset,
                                         buf->buffer + bufOff, int(n), &got, 1);
  slot->waitNetTime += ozu_GetTimestamp() - t0;
  if (r < 0) {
    quor_perror(r, "ozu_MvrProtMsg",
                ctl->xferOperation == IOP_GET ? "mover_socket_recv_data"
                                              : "mover_socket_send_requested_data",
                stderr);
    SET_TRANSFER_ABORTED(ctl);
    return -1;
  }
  completion_msg_t comp;
  memset(&comp, 0, sizeof comp);
  t0 = ozu_GetTimestamp();
  src = mvrprot_recv_compmsg_timeout(slot->controlSocket, &comp, 60);
  slot->mvrProtocolTime += ozu_GetTimestamp() - t0;
  if (src < 0) {
    quor_perror(src, "mvrprot_recv_compmsg", "", stderr);
    SET_TRANSFER_ABORTED(ctl);
    return -1;
  }
  // The mover's word counts only when it matches what arrived.
  int check = mvrprot_check_compmsg(&comp, uint64_t(got));
  if (check != 0) {
    char text[256];
    snprintf(text, sizeof text, "completion status %d, %llu bytes reported, %d received",
             comp.Status, (unsigned long long)comp.BytesMoved, got);
    quor_perror(check, "mvrprot_recv_compmsg", text, stderr);
    SET_TRANSFER_ABORTED(ctl);
    return -1;
  }
  if (ozu_Update_BufXferred(ctl, slot, uint64_t(got), buf) < 0)
    return -1;
  *moved = uint64_t(got);
  return 0;
}

// A piece must lie inside the current request: one outside it would wait
// for a buffer that never comes while its mover waits for us.
static bool outsideRequest(transfer_t *ctl, uint64_t offset, uint64_t length)
{
  if (offset <= ctl->requestedBytes && length <= ctl->requestedBytes - offset)
    return false;
  char a[32], b[32], c[32];
  fprintf(stderr, "*** %s: piece at %s of %s bytes lies outside the request of %s bytes\n",
          "ozu_Transfer_Thread", u64tostr_r(offset, a), u64tostr_r(length, b),
          u64tostr_r(ctl->requestedBytes, c));
  SET_TRANSFER_ABORTED(ctl);
  return true;
}

int ozu_PdataProtMsg(transfer_t *ctl, connection_info_t *slot, pdata_hdr_t *hdr, uint64_t *moved)
{
  uint64_t t = 0;
  int result = 0;
  *moved = 0;
  if (outsideRequest(ctl, hdr->Offset, hdr->Length))
    return -1;
  while (t < hdr->Length) {
    io_buffer_t *buf = nullptr;
    if (ozu_FindBufferWithData(ctl, slot, hdr->Offset, hdr->Length - t, &buf) < 0) {
      result = -1;
      break;
    }
    uint32_t bufOff = 0, n = 0;
    if (ozu_CalcBufOffsetAndSize(ctl, buf, hdr->Offset, hdr->Length - t, &bufOff, &n) < 0) {
      result = -1;
      break;
    }
    double t0 = ozu_GetTimestamp();
    int r;
    if (ctl->xferOperation == IOP_GET)
      r = mover_socket_read_data_timeout(slot->transferSocket, buf->buffer + bufOff, int(n), 0);
    else
      r = mover_socket_send_buffer_timeout_size(slot->transferSocket, hdr->XferID, hdr->Offset,
                                                buf->buffer + bufOff, int(n), hdr->SecurityTicket, 0, 0);
    slot->waitNetTime += ozu_GetTimestamp() - t0;
    if (r == -32 || r == 0) {
      // The mover went away inside the packet: release this claim; what
      // is missing shows in the request's byte count.
      if (debug >= 1)
        fprintf(stderr, "*** Error %d on mover_socket_send_buffer_timeout_size - assuming EOM\n", r);
      if (ozu_Update_BufXferred(ctl, slot, 0, buf) < 0) {
        fprintf(stderr, " Drat - ioresult=%d - error trying to clean up I/O with 0 xfer count \n", r);
        result = -5;
      } else {
        result = -107;
      }
      break;
    }
    if (r < 0) {
      SET_TRANSFER_ABORTED(ctl);
      result = -1;
      break;
    }
    if (ozu_Update_BufXferred(ctl, slot, n, buf) < 0) {
      result = -1;
      break;
    }
    t += n;
    hdr->Offset += n;
  }
  *moved = t;
  return result;
}

int ozu_FindBufferWithData(transfer_t *ctl, connection_info_t *slot, uint64_t x, uint64_t length,
                           io_buffer_t **outBuf)
{
  bool get = ctl->xferOperation == IOP_GET;
  io_bufreq_t *req = &slot->ioRequest;
  for (;;) {
    uint64_t base = ctl->currentSrcAddr;
    uint64_t a = base + x;
    pthread_mutex_lock(&ctl->bufQueueLock);
    io_buffer_t *found = nullptr;
    for (io_buffer_t *b = ctl->bufReadyQueue; b != nullptr; b = b->next) {
      if (b->fileOffset > a)
        break;
      uint64_t end = b->fileOffset + (get ? uint64_t(b->bufSize) : uint64_t(b->dataLength));
      if (a < end) {
        found = b;
        break;
      }
    }
    if (found != nullptr) {
      pthread_mutex_lock(&found->bufLock);
      if (found->bufFlags & BUF_ARMED) {
        found->iodOffset = found->fileOffset - base;
        found->bufFlags &= ~uint32_t(BUF_ARMED);
      }
      found->ioCount++;
      pthread_mutex_unlock(&found->bufLock);
      pthread_mutex_unlock(&ctl->bufQueueLock);
      *outBuf = found;
      return 0;
    }
    req->waitingThread = pthread_self();
    req->iodOffset = x;
    req->dataAddress = a;
    req->requestLength = length;
    io_bufreq_t **pp = &ctl->requestQueue;
    while (*pp != nullptr && (*pp)->dataAddress <= a)
      pp = &(*pp)->next;
    req->next = *pp;
    *pp = req;
    pthread_cond_broadcast(&ctl->bufQueueCondition);
    for (;;) {
      pthread_mutex_lock(&req->reqLock);
      pthread_mutex_unlock(&ctl->bufQueueLock);
      struct timespec ts = ozu_DeadlineMs(100);
      pthread_cond_timedwait(&req->reqCond, &req->reqLock, &ts);
      pthread_mutex_unlock(&req->reqLock);
      pthread_mutex_lock(&ctl->bufQueueLock);
      bool queued = false;
      for (io_bufreq_t *r = ctl->requestQueue; r != nullptr; r = r->next)
        if (r == req) {
          queued = true;
          break;
        }
      if (stopping(ctl)) {
        if (queued) {
          io_bufreq_t **q = &ctl->requestQueue;
          while (*q != req)
            q = &(*q)->next;
          *q = req->next;
          req->next = nullptr;
        }
        pthread_mutex_unlock(&ctl->bufQueueLock);
        return -1;
      }
      if (!queued) {
        pthread_mutex_unlock(&ctl->bufQueueLock);
        break;
      }
    }
  }
}

int ozu_CalcBufOffsetAndSize(transfer_t *ctl, io_buffer_t *buf, uint64_t x, uint64_t length,
                             uint32_t *bufOffset, uint32_t *count)
{
  uint64_t size = ctl->xferOperation == IOP_GET ? uint64_t(buf->bufSize) : uint64_t(buf->dataLength);
  uint64_t lo = buf->iodOffset, hi = buf->iodOffset + size;
  if (x < lo || x >= hi) {
    char a[32], b[32], c[32];
    fprintf(stderr, "%s: IodOffset of %s is not within buffer bounds (buf.iodOffset=%s upperAddress=%s)",
            "ozu_CalcBufOffsetAndSize", u64tostr_r(x, a), u64tostr_r(lo, b), u64tostr_r(hi, c));
    SET_TRANSFER_ABORTED(ctl);
    return -1;
  }
  *bufOffset = uint32_t(x - lo);
  uint64_t room = hi - x;
  *count = uint32_t(room < length ? room : length);
  return 0;
}

int ozu_Update_BufXferred(transfer_t *ctl, connection_info_t *slot, uint64_t bytes, io_buffer_t *buf)
{
  const char *me = "ozu_Update_BufXferred";
  bool get = ctl->xferOperation == IOP_GET;
  if (debug >= 3)
    fprintf(listF, "%s: buffer @%p bytesMoved=%d\n", me, static_cast<void *>(buf), int(bytes));
  if (bytes >= (uint64_t(1) << 32)) {
    fprintf(stderr, "***%s: Internal error on BytesMoved (> 2^32) detected (0x%8.8x,%8.8x)\n", me,
            unsigned(bytes >> 32), unsigned(bytes));
    SET_TRANSFER_ABORTED(ctl);
    return -1;
  }
  // The completion is decided and the buffer requeued in one step, so no
  // other connection's accounting can slip in between.
  pthread_mutex_lock(&ctl->bufQueueLock);
  pthread_mutex_lock(&buf->bufLock);
  int err = 0;
  if (--buf->ioCount < 0) {
    fprintf(stderr, "***%s:Internal error (negative I/O count) detected\n", me);
    err = 1;
  }
  if (get) {
    buf->dataLength += uint32_t(bytes);
  } else {
    // A mover may ask twice for the same bytes: the count can pass the
    // buffer's data. The buffer is then released early, and a request for
    // bytes it held is served by re-reading the local file.
    buf->dataMoved += uint32_t(bytes);
    if (buf->dataMoved > buf->dataLength)
      buf->dataMoved = buf->dataLength;
  }
  pthread_mutex_lock(&ctl->abortLock);
  ctl->xferThreadBytes += bytes;
  if (ctl->iorReceived)
    pthread_cond_broadcast(&ctl->abortCondition);
  pthread_mutex_unlock(&ctl->abortLock);
  bool complete = false;
  if (!err) {
    if (get ? buf->dataLength > uint32_t(buf->bufSize) : buf->dataMoved > buf->dataLength) {
      fprintf(stderr, "***%s: Internal error (buffer overflow) detected. Used=%ld bufsize=%ld\n", me,
              long(get ? buf->dataLength : buf->dataMoved), long(get ? buf->bufSize : buf->dataLength));
      err = 1;
    } else if (buf->ioCount == 0) {
      if (get) {
        if (buf->fileOffset + buf->dataLength >= ctl->srcOffset + ctl->transferLength) {
          buf->bufFlags |= BUF_EOD;
          complete = true;
        } else {
          complete = buf->dataLength >= uint32_t(buf->bufSize);
        }
      } else {
        complete = buf->dataMoved >= buf->dataLength;
      }
    }
  }
  pthread_mutex_unlock(&buf->bufLock);
  if (err) {
    pthread_mutex_unlock(&ctl->bufQueueLock);
    SET_TRANSFER_ABORTED(ctl);
    return -1;
  }
  if (complete) {
    if (debug >= 3)
      fprintf(listF, "/debug/ctl inx %d, conn. %d buffer @%p is %s - linking it back onto %s queue\n",
              ctl->xferSerialNumber, slot ? slot->conInx : -1, static_cast<void *>(buf),
              get ? "FULL" : "EMPTY", get ? "empty" : "empty");
    io_buffer_t **pp = &ctl->bufReadyQueue;
    while (*pp != nullptr && *pp != buf)
      pp = &(*pp)->next;
    if (*pp == nullptr) {
      pthread_mutex_unlock(&ctl->bufQueueLock);
      fprintf(stderr, "***%s: Internal error (cant find buffer) detected in ozu_Update_BufXferred\n", me);
      SET_TRANSFER_ABORTED(ctl);
      return -1;
    }
    *pp = buf->next;
    if (get && ctl->moverWrites && buf->dataLength > 0) {
      // Out of every queue while it is written: no other connection can
      // find it, and the local file thread waits for it by its place.
      // A buffer that failed is not tried again by the local file thread:
      // the transfer has failed, and the file must not look whole.
      pthread_mutex_unlock(&ctl->bufQueueLock);
      int wrc = ctl->abortSignalled > 0 ? -1 : write_local_file(ctl, ctl->localFile.localFD, buf);
      if (wrc < 0)
        SET_TRANSFER_ABORTED(ctl);
      pthread_mutex_lock(&ctl->bufQueueLock);
      pthread_mutex_lock(&buf->bufLock);
      buf->bufFlags |= BUF_WRITTEN;
      pthread_mutex_unlock(&buf->bufLock);
      ozu_InsertSorted(&ctl->bufEmptyQueue, buf);
      pthread_cond_broadcast(&ctl->bufQueueCondition);
      pthread_mutex_unlock(&ctl->bufQueueLock);
      return wrc;
    }
    if (get) {
      io_buffer_t **q = &ctl->bufEmptyQueue;
      while (*q != nullptr && (*q)->fileOffset < buf->fileOffset)
        q = &(*q)->next;
      buf->next = *q;
      *q = buf;
    } else {
      buf->next = ctl->bufEmptyQueue;
      ctl->bufEmptyQueue = buf;
    }
    pthread_cond_broadcast(&ctl->bufQueueCondition);
  }
  pthread_mutex_unlock(&ctl->bufQueueLock);
  return 0;
}

void ozu_LogRefusedMovers(transfer_t *ctl)
{
  std::vector<std::pair<quor_sockaddr_t, const char *>> refused;
  {
    std::lock_guard<std::mutex> hold(ctl->refusedLock);
    refused.swap(ctl->refusedMovers);
  }
  for (auto &r : refused)
    quorex_IsConnectionAllowed(&r.first.hs_addr, 1, r.second);
}

void ozu_DisplayIOD(transfer_t *, const quor_IOD_t *iod)
{
  ozu_LockListingFile();
  fprintf(listF, "IOD contents\n");
  char *id = quor_RequestIDtoString(iod->RequestID);
  fprintf(listF, "  RequestID.......... 0x%slu\n", id ? id : "");
  free(id);
  fprintf(listF, "  Function........... %d (%s)\n", iod->Function,
          iod->Function == 1 ? "QUOR_IOD_READ" : iod->Function == 2 ? "QUOR_IOD_WRITE" : "UNKNOWN");
  fprintf(listF, "  SrcDescLength....... %d\n", iod->SrcDescLength);
  fprintf(listF, "  SinkDescLength...... %d\n", iod->SinkDescLength);
  ozu_UnlockListingFile();
}
