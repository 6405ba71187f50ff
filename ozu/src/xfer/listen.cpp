// Listen sockets of parallel transfers and the network descriptors that
// tell the movers where to connect.
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <mutex>

#include "ozu_connect.h"
#include "ozu_context.h"
#include "ozu_log.h"
#include "ozurc.h"
#include "ozuvars.h"
#include "quor_api.h"
#include "quorcfgx_prototypes.h"
#include "quorcfgx_restrict.h"
#include "xfer_record.h"

extern std::mutex socketLock;

int ozu_GetListenSocket(int UseInaddrAny, int ReuseAddrFlag, int *RetSocketFd,
                        quor_sockaddr_t *RetSocketAddress)
{
  const char *me = "ozu_GetListenSocket";
  ozu_BuildIfTable();
  quor_sockaddr_t addr;
  memset(&addr, 0, sizeof addr);
  {
    std::lock_guard<std::mutex> hold(socketLock);
    ozu_context_t *ctx = sesskeyset.curContext;
    if (ctx != nullptr && ctx->nwifAddrList != nullptr && ctx->network_if_count > 0) {
      if (ctx->network_rr_ptr >= ctx->network_if_count)
        ctx->network_rr_ptr = 0;
      addr = ctx->nwifAddrList[ctx->network_rr_ptr];
      if (++ctx->network_rr_ptr >= ctx->network_if_count)
        ctx->network_rr_ptr = 0;
    } else {
      addr = tcpHostIP;
    }
  }
  if (UseInaddrAny || addr.hs_addr.ss_family == 0) {
    int pol = quor_net_get_family_option(nullptr, 0);
    bool v6 = pol == QUOR_NET_FAMILY_IPV6 || pol == QUOR_NET_FAMILY_IPV6_ONLY;
    if (UseInaddrAny) {
      quor_net_getaddrinfo(nullptr, "0", 1, IPPROTO_TCP, &addr, nullptr, 0);
    }
    if (addr.hs_addr.ss_family == 0)
      addr.hs_addr.ss_family = v6 ? AF_INET6 : AF_INET;
  }
  char err[256] = "";
  int fd = quor_net_socket(&addr, SOCK_STREAM, 0, err, sizeof err);
  if (fd < 0) {
    fprintf(stderr, "*** %s: quor_net_socket returned error %d [%s]\n", me, errno, err);
    return -1;
  }
  int on = 1;
  auto setopt = [&](int opt, const char *name) -> int {
    for (;;) {
      int rc = setsockopt(fd, SOL_SOCKET, opt, &on, sizeof on);
      if (rc == 0)
        return 0;
      if (errno == EINTR || errno == EAGAIN)
        continue;
      int e = errno;
      fprintf(stderr, "*** %s: error %d setting %s on socket %d\n", me, rc, name, fd);
      close(fd);
      return -e;
    }
  };
  int rc = setopt(SO_KEEPALIVE, "SO_KEEPALIVE");
  if (rc < 0)
    return rc;
  if (ReuseAddrFlag && (rc = setopt(SO_REUSEADDR, "SO_REUSEADDR")) < 0)
    return rc;
  quor_sockaddr_t bound;
  if (ozugw_SockBindToRestrictedPort(fd, &addr, &bound) != 0) {
    fprintf(stderr, "*** %s: error %d trying to bind to socket %d\n", me, errno, fd);
    close(fd);
    return -1;
  }
  if (quor_net_getsockname(fd, &bound, err, sizeof err) < 0) {
    int e = errno;
    fprintf(stderr, "*** %s: quor_net_getsockname returned error %d [%s]\n", me, e, err);
    close(fd);
    return -e;
  }
  if (fcntl(fd, F_SETFL, O_NONBLOCK) < 0) {
    int e = errno;
    fprintf(stderr, "*** %s: error %d setting O_NONBLOCK on socket fd %d!\n", me, e, fd);
    close(fd);
    return -e;
  }
  quorcfgx_NetoptSetSock(fd, &bound);
  int sz = 0;
  socklen_t len = sizeof sz;
  if (getsockopt(fd, SOL_SOCKET, SO_SNDBUF, &sz, &len) < 0) {
    int e = errno;
    fprintf(errFile, "*** %s: getsockopt(SO_SNDBUF) call failed - errno=%d!", me, e);
    close(fd);
    return -e;
  }
  if (debug >= 2)
    fprintf(listF, "/debug/send buffer size for socket %d = %d\n", fd, sz);
  len = sizeof sz;
  if (getsockopt(fd, SOL_SOCKET, SO_RCVBUF, &sz, &len) < 0) {
    int e = errno;
    fprintf(errFile, "*** %s: getsockopt(SO_RCVBUF) call failed - errno=%d!", me, e);
    close(fd);
    return -e;
  }
  if (debug >= 2)
    fprintf(listF, "/debug/receive buffer size for socket %d = %d\n", fd, sz);
  *RetSocketFd = fd;
  *RetSocketAddress = bound;
  return 0;
}

int ozu_NIO_AllocateListenSockets(transfer_t *Ctl)
{
  const char *me = "ozu_NIO_AllocateListenSockets";
  int backlog = Ctl->stripeWidth > 4096 ? Ctl->stripeWidth : 4096;
  char msg[4200];
  if (Ctl->controlSockAddr != nullptr) {
    snprintf(msg, sizeof msg, "*** %s: controlSockAddr non-NULL - how did this happen? Aborting xfer", me);
    setExitResult(70, msg, 7);
    return -22;
  }
  Ctl->controlSockAddr =
      static_cast<nw_sock_struct_t *>(calloc(size_t(Ctl->stripeWidth), sizeof(nw_sock_struct_t)));
  if (Ctl->controlSockAddr == nullptr) {
    ozu_MallocError(long(Ctl->stripeWidth * sizeof(nw_sock_struct_t)), me, __FILE__, __LINE__);
    return -12;
  }
  Ctl->controlSockCount = Ctl->stripeWidth;
  for (int i = 0; i < Ctl->stripeWidth; ++i)
    Ctl->controlSockAddr[i].socketFD = -1;
  for (int i = 0; i < Ctl->stripeWidth; ++i) {
    nw_sock_struct_t *s = &Ctl->controlSockAddr[i];
    for (;;) {
      if (ozu_GetListenSocket(0, 1, &s->socketFD, &s->socketSockAddr) < 0) {
        s->socketFD = -1;
        for (int k = 0; k < i; ++k) {
          close(Ctl->controlSockAddr[k].socketFD);
          Ctl->controlSockAddr[k].socketFD = -1;
        }
        snprintf(msg, sizeof msg, "*** %s: error creating listen socket %d of %d for %s - aborting\n",
                 me, i, Ctl->stripeWidth - 1, Ctl->quorFile.quorPath ? Ctl->quorFile.quorPath : "");
        setExitResult(70, msg, 7);
        return -9;
      }
      int rc;
      while ((rc = listen(s->socketFD, backlog)) < 0 && errno == EINTR) {
      }
      if (rc == 0)
        break;
      if (errno == EADDRINUSE) {
        if (debug >= 1)
          fprintf(listF, "***%s: /debug/EADDRINUSE error on listen (port = %d) [%s] - retrying\n", me,
                  0, Ctl->quorFile.quorPath ? Ctl->quorFile.quorPath : "");
        close(s->socketFD);
        s->socketFD = -1;
        usleep(10000);
        continue;
      }
      int e = errno;
      for (int k = 0; k < i; ++k) {
        close(Ctl->controlSockAddr[k].socketFD);
        Ctl->controlSockAddr[k].socketFD = -1;
      }
      snprintf(msg, sizeof msg, "*** %s: unrecoverable error %d on listen() for socket %d of %d - aborting\n",
               me, e, i, Ctl->stripeWidth - 1);
      setExitResult(70, msg, 7);
      return -9;
    }
    if (debug >= 2) {
      char text[128] = "";
      quor_net_getuniversaladdress(&s->socketSockAddr, text, sizeof text, nullptr, 0);
      fprintf(listF, "/debug/%s: controlSock[%d] address = %s\n", me, i, text);
    }
  }
  return 0;
}

int ozu_NIO_BuildNetDescriptor(uint64_t Offset, uint64_t Length, quor_reqid_t TranID,
                               int StripeWidth, uint64_t BlockSize, nw_sock_struct_t *AddrList,
                               long AddrCount, iod_stripe_addr_t *Xfer_stripe_addr,
                               iod_srcsinkdesc_t *RetSrcSink)
{
  uint32_t flags = ozu_GetIODProtocolType() | QUOR_IOD_XFEROPT_IP;
  if (globalDefs.enableSanIo)
    flags |= QUOR_IOD_XFEROPT_SAN3P;
  uint64_t id = quor_RequestIDtoU64(TranID);
  RetSrcSink->Offset = Offset;
  RetSrcSink->Length = Length;
  RetSrcSink->ServerDefined = 0;
  RetSrcSink->Next = nullptr;
  if (StripeWidth <= 1) {
    RetSrcSink->Flags = flags;
    RetSrcSink->SrcSinkAddr.Type = NET_ADDRESS;
    netaddress_t *na = &RetSrcSink->SrcSinkAddr.Addr_u.NetAddr;
    na->SockTransferID = id;
    na->SockAddr = AddrList[0].socketSockAddr;
    na->SockOffset = Offset;
    return 0;
  }
  RetSrcSink->Flags = 0;
  RetSrcSink->SrcSinkAddr.Type = STRIPE_ADDRESS;
  iod_stripe_addr_t *el = &RetSrcSink->SrcSinkAddr.Addr_u.StripeAddr;
  for (int k = 0; k < StripeWidth; ++k) {
    el->BlockSize = BlockSize;
    el->StripeWidth = uint64_t(StripeWidth);
    el->AddrListLength = StripeWidth;
    el->Flags = flags;
    el->Addr.Type = NET_ADDRESS;
    el->Addr.Addr_u.NetAddr.SockTransferID = id;
    el->Addr.Addr_u.NetAddr.SockAddr = AddrList[k < AddrCount ? k : AddrCount - 1].socketSockAddr;
    el->Addr.Addr_u.NetAddr.SockOffset = Offset + uint64_t(k) * BlockSize;
    if (k + 1 < StripeWidth) {
      el->Next = &Xfer_stripe_addr[k];
      el = el->Next;
    } else {
      el->Next = nullptr;
    }
  }
  return 0;
}

void ozu_NIO_CloseListenSockets(transfer_t *Ctl)
{
  if (Ctl->controlSockAddr != nullptr) {
    for (int i = 0; i < Ctl->controlSockCount; ++i)
      if (Ctl->controlSockAddr[i].socketFD >= 0) {
        close(Ctl->controlSockAddr[i].socketFD);
        Ctl->controlSockAddr[i].socketFD = -1;
      }
    free(Ctl->controlSockAddr);
  }
  Ctl->controlSockAddr = nullptr;
  Ctl->controlSockCount = 0;
}
