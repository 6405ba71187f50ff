// Data listen sockets and the port helpers of their addresses; see
// quorclntaddr.h for the contracts.
#include "quorclntaddr.h"

#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <pthread.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include "quor_api_internal.h"
#include "quorcfgx_prototypes.h"
#include "quorcfgx_restrict.h"

namespace {

// Guards nic_rr_inx of every connection.
pthread_mutex_t socketLock = PTHREAD_MUTEX_INITIALIZER;

const char kFunc[] = "ozugw_SockGetListenSocket";

bool isInet(const quor_sockaddr_t* a) {
  return a->hs_addr.ss_family == AF_INET || a->hs_addr.ss_family == AF_INET6;
}

int setFlagOption(int fd, int option) {
  int on = 1;
  int rc;
  do rc = setsockopt(fd, SOL_SOCKET, option, &on, sizeof on);
  while (rc != 0 && (errno == EINTR || errno == EAGAIN));
  return rc;
}

// The wildcard address under the family policy, with the lowest port of the
// client range as its service. 0, or -1 after the message.
int wildcardAddress(quor_sockaddr_t* out) {
  in_port_t lo = 0, hi = 0;
  quorcfgx_GetRestrictedPorts(&lo, &hi);
  char service[16];
  snprintf(service, sizeof service, "%d", static_cast<int>(lo));
  char errbuf[256] = "";
  int rc = quor_net_getaddrinfo(nullptr, service, AI_PASSIVE, QUOR_IPPROTO_TCP, out, errbuf,
                                sizeof errbuf);
  if (rc == 0) return 0;
  fprintf(stderr, "*** %s: error %d creating INADDR_ANY socket structure [%s]\n", kFunc,
          rc == -11 ? -errno : rc, errbuf);
  return -1;
}

// The next client interface of conn in turn: true with *out set, false when
// the connection has none.
bool nextInterface(quor_connection_t* conn, quor_sockaddr_t* out) {
  if (conn == nullptr) return false;
  pthread_mutex_lock(&socketLock);
  bool have = conn->nic_count > 0 && conn->nic_list != nullptr;
  if (have) {
    if (conn->nic_rr_inx < 0 || conn->nic_rr_inx >= conn->nic_count) conn->nic_rr_inx = 0;
    *out = conn->nic_list[conn->nic_rr_inx];
    conn->nic_rr_inx = conn->nic_rr_inx + 1 >= conn->nic_count ? 0 : conn->nic_rr_inx + 1;
  }
  pthread_mutex_unlock(&socketLock);
  return have;
}

// The connection whose interfaces the socket uses, with a reference the
// caller drops: the calling thread's, else the current one.
quor_connection_t* holdConnection() {
  qelapi_tcontext_t* t = qelapi_LookupThreadstate(pthread_self());
  pthread_mutex_lock(&qelapi_connection_lock);
  quor_connection_t* conn = t && t->connection ? t->connection : qelapi_cur_connection.load();
  if (conn) conn->refs++;
  pthread_mutex_unlock(&qelapi_connection_lock);
  return conn;
}

// Closes fd and hands back rc, keeping errno for the caller's message.
int closeWith(int fd, int rc) {
  int saved = errno;
  close(fd);
  errno = saved;
  return rc;
}

}  // namespace

int ozugw_SockGetListenSocket(int UseInaddrAny, int ReuseAddrFlag, int* RetSocketFd,
                              quor_sockaddr_t* RetSocketAddress) {
  if (RetSocketFd == nullptr || RetSocketAddress == nullptr) return -14;
  quor_sockaddr_t local;
  memset(&local, 0, sizeof local);
  if (UseInaddrAny) {
    if (wildcardAddress(&local) < 0) return -1;
  } else {
    quor_connection_t* conn = holdConnection();
    bool haveNic = nextInterface(conn, &local);
    qelapi_ConnRelease(conn);
    if (!haveNic) {
      // Before start-up has resolved the data host there is none to bind:
      // the wildcard address serves instead of a socket that cannot exist.
      if (isInet(&qelapi_tcp_data_host))
        local = qelapi_tcp_data_host;
      else if (wildcardAddress(&local) < 0)
        return -1;
    }
  }

  char errbuf[256] = "";
  int fd = quor_net_socket(&local, SOCK_STREAM, 0, errbuf, sizeof errbuf);
  if (fd < 0) {
    fprintf(stderr, "*** %s: quor_net_socket returned error %d [%s]\n", kFunc, errno, errbuf);
    return -1;
  }
  int rc = setFlagOption(fd, SO_KEEPALIVE);
  if (rc != 0) {
    fprintf(stderr, "*** %s: error %d setting SO_KEEPALIVE on socket %d\n", kFunc, rc, fd);
    return closeWith(fd, -errno);
  }
  if (ReuseAddrFlag) {
    rc = setFlagOption(fd, SO_REUSEADDR);
    if (rc != 0) {
      fprintf(stderr, "*** %s: error %d setting SO_REUSEADDR on socket %d\n", kFunc, rc, fd);
      return closeWith(fd, -errno);
    }
  }
  quor_sockaddr_t bound;
  rc = ozugw_SockBindToRestrictedPort(fd, &local, &bound);
  if (rc < 0) {
    fprintf(stderr, "*** %s: error %d trying to bind to socket %d\n", kFunc, rc, fd);
    return closeWith(fd, -1);
  }
  errbuf[0] = '\0';
  if (quor_net_getsockname(fd, &bound, errbuf, sizeof errbuf) != 0) {
    int err = errno;
    fprintf(stderr, "*** %s: quor_net_getsockname error %d socket %d [%s] \n", kFunc, err, fd,
            errbuf);
    return closeWith(fd, -err);
  }
  int fl = fcntl(fd, F_GETFL);
  if (fl >= 0) fcntl(fd, F_SETFL, fl | O_NONBLOCK);
  quorcfgx_NetoptSetSock(fd, &bound);
  int size = 0;
  socklen_t len = sizeof size;
  if (getsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, &len) != 0) {
    int err = errno;
    fprintf(stderr, "*** %s: getsockopt(SO_SNDBUF) call failed - errno=%d!", kFunc, err);
    return closeWith(fd, -err);
  }
  len = sizeof size;
  if (getsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, &len) != 0) {
    int err = errno;
    fprintf(stderr, "*** %s: getsockopt(SO_RCVBUF) call failed - errno=%d!", kFunc, err);
    return closeWith(fd, -err);
  }
  *RetSocketFd = fd;
  *RetSocketAddress = bound;
  return 0;
}

int ozugw_SockGetPort(const quor_sockaddr_t* Addr) {
  if (Addr == nullptr) return 0xFFFF;
  if (Addr->hs_addr.ss_family == AF_INET)
    return ntohs(reinterpret_cast<const struct sockaddr_in*>(&Addr->hs_addr)->sin_port);
  if (Addr->hs_addr.ss_family == AF_INET6)
    return ntohs(reinterpret_cast<const struct sockaddr_in6*>(&Addr->hs_addr)->sin6_port);
  return 0xFFFF;
}

int ozugw_SockSetPort(quor_sockaddr_t* Addr, int Port) {
  if (Addr == nullptr) return -1;
  uint16_t net = htons(static_cast<uint16_t>(Port));
  if (Addr->hs_addr.ss_family == AF_INET) {
    reinterpret_cast<struct sockaddr_in*>(&Addr->hs_addr)->sin_port = net;
    return 0;
  }
  if (Addr->hs_addr.ss_family == AF_INET6) {
    reinterpret_cast<struct sockaddr_in6*>(&Addr->hs_addr)->sin6_port = net;
    return 0;
  }
  return -1;
}

quor_sockaddr_t* ozugw_SockGetControlAddr(int DataOrCtl) {
  return DataOrCtl ? &qelapi_tcp_data_host : &qelapi_tcp_ctl_host;
}
