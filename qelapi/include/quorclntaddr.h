// Data listen sockets: the TCP sockets that data movers (and stage
// callbacks) connect to, and small helpers for the ports of their addresses.
//
// ozugw_SockGetListenSocket
//      a stream socket, bound, non-blocking, with SO_KEEPALIVE (and
//      SO_REUSEADDR when ReuseAddrFlag) and the site's network options, not
//      yet listening. Its local address: with UseInaddrAny the wildcard
//      address; otherwise the next client interface of the calling thread's
//      connection (else the current connection's) in turn, else the local
//      data host, else, when no data host is known, the wildcard address.
//      The port lies in the client port range (ozugw_SockBindToRestrictedPort).
//      0 with *RetSocketFd and *RetSocketAddress (the address as bound, its
//      port included) set; a negative code with neither set and nothing left
//      open. Failures are also written on standard error.
// ozugw_SockGetPort
//      the port of an IPv4 or IPv6 address in host order; 0xFFFF for a null
//      address or another family.
// ozugw_SockSetPort
//      stores Port (host order) into an IPv4 or IPv6 address: 0; -1 and the
//      address unchanged for a null address or another family.
// ozugw_SockGetControlAddr
//      the local data host's address (DataOrCtl nonzero) or the local control
//      host's (0), as library start-up resolved them.
#ifndef QUORCLNTADDR_H
#define QUORCLNTADDR_H

#include "quor_net.h"

#ifdef __cplusplus
extern "C" {
#endif

int ozugw_SockGetListenSocket(int UseInaddrAny, int ReuseAddrFlag, int* RetSocketFd,
                              quor_sockaddr_t* RetSocketAddress);
int ozugw_SockGetPort(const quor_sockaddr_t* Addr);
int ozugw_SockSetPort(quor_sockaddr_t* Addr, int Port);
quor_sockaddr_t* ozugw_SockGetControlAddr(int DataOrCtl);

#ifdef __cplusplus
}
#endif

#endif
