// The site's limits on data connections: which peers may connect to the
// client's listen sockets (the "Restricted Addresses" section of QUOR.conf)
// and which local ports data sockets bind (the client port range).
//
// quorex_IsConnectionAllowed
//      1 when the peer of an accepted connection may stay, 0 when the caller
//      must close it. The section is read once, at the first call; without a
//      usable section every peer is allowed. An IPv4-mapped IPv6 peer is
//      compared with the IPv4 entries as well as the IPv6 ones. With
//      LogFailure, a refusal is written to the gateway's log (quor_Logmsg)
//      naming Function; it is never printed locally.
// quorex_GetRestrictedConnList
//      the entries in force (reading the section on first use): *Count and
//      *SockList, 0 and null when there are none. The array stays owned by
//      this module. Always 0.
// ozugw_SockBindToRestrictedPort
//      binds Socket to Addr at a port of the client range (RetAddr receives
//      the address tried last): 0 once bound; the negated errno of a bind
//      error other than "in use" or "not available", which ends the search;
//      -1 when every port of the range (max - min + 1 of them, from a random
//      start, wrapping) was tried. Without a range (minimum 0) one bind at
//      the port Addr carries. A range of one port binds exactly that port.
#ifndef QUORCFGX_RESTRICT_H
#define QUORCFGX_RESTRICT_H

#include <netinet/in.h>
#include <stdint.h>
#include <sys/socket.h>

#include "quor_net.h"

#define QUOR_RESTRICT_SECTION "Restricted Addresses"

typedef struct quor_restricted_addr {
  int addrType;  // AF_INET or AF_INET6
  int ra_prefix_len;
  uint32_t ra_ipv4_netmask;  // network byte order
  unsigned char ra_ipv6_netmask[16];
  union {
    struct in_addr ipv4addr;
    struct in6_addr ipv6addr;
  } ra_addr;
} quor_restricted_addr_t;

int quorex_IsConnectionAllowed(const struct sockaddr_storage* SockAddr, int LogFailure,
                               const char* Function);
int quorex_GetRestrictedConnList(int* Count, quor_restricted_addr_t** SockList);
int ozugw_SockBindToRestrictedPort(int Socket, const quor_sockaddr_t* Addr,
                                   quor_sockaddr_t* RetAddr);

// ---- for tests only ----
// Forgets the table so the next call reads QUOR.conf again (after
// quorcfgx_ResetForTest), taking hostName (null: the machine's) as the local
// host name. No other thread may be inside this module meanwhile.
void quorex_RestrictResetForTest(const char* hostName);

#endif
