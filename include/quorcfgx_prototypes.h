// The site configuration file "QUOR.conf": finding and parsing it once per
// process, the per-network socket options of its "Network Options" section,
// the client port range from the environment, and the local interfaces its
// "VELT Client Interfaces" section assigns to data connections.
//
// Everything here warns on standard error and carries on: a missing or
// malformed section means "no setting of that kind", never a failed program.
// Any thread may call these functions.
//
// quorcfgx_ConfParse      the parsed tree, or null when no file was found or
//                         it did not parse or held no entry (then every call
//                         searches again). cfgFile (4097 bytes, may be null)
//                         is emptied, and receives the path only on the call
//                         that found and parsed the file. Read-only for callers.
// quorcfgx_NetoptFindEntry
//                         the first table entry whose address matches under
//                         its mask (same family only), else the first
//                         "Default" entry: 0 with *RetEntryPtr set, or -1
//                         with null. The table is built once; a failed build
//                         leaves the process without options.
// quorcfgx_NetoptSetSock  applies SO_SNDBUF, SO_RCVBUF and TCP_NODELAY of the
//                         entry for NetAddress (null: the socket's peer).
//                         0; -1 without peer address, entry, or on a failed
//                         option. A negative Fd with an entry is 0, untouched.
// quorcfgx_NetoptGetWriteSize
//                         the chunk size for data writes on a socket (null
//                         IpAddr: its local address); 32768 without an entry
//                         or with size 0; minus errno when the local address
//                         cannot be read.
// quorcfgx_GetRestrictedPorts
//                         the client port range, fixed at the first call:
//                         QUOR_PORT_RANGE, else QUOR_VELTC_PORT_RANGE, else
//                         RPC_RESTRICTED_PORTS, clamped to 1024-65535; an
//                         unreadable or empty range gives 1024-65535.
// quorcfgx_ConfGetClientInterfaces
//                         the local interface addresses (and names, when
//                         nwIfNames is given) for data traffic between a client
//                         (null: this host) and a server. Outputs are always
//                         written; the arrays and names are malloc'ed for the
//                         caller (null when the count is 0; a failed
//                         allocation keeps what was collected). 0 when a
//                         server stanza was read, -2 without such
//                         configuration, -14 for a null nwIfCount.
#ifndef QUORCFGX_PROTOTYPES_H
#define QUORCFGX_PROTOTYPES_H

#include <netinet/in.h>
#include <pthread.h>
#include <stddef.h>

#include "quor_net.h"
#include "quorcfgx_stanza.h"

#define QUOR_CFG_FILE_NAME "QUOR.conf"
#define QUOR_CFG_DEFAULT_PATH "/usr/local/etc:/var/quor/etc"
#define QUOR_CFG_PATH_MAX 4096  // callers of quorcfgx_ConfParse pass PATH_MAX + 1 bytes
#define QUOR_NETOPT_SECTION "Network Options"
#define QUOR_CLIENTIF_SECTION "VELT Client Interfaces"
#define QUOR_DEFAULT_WRITESIZE 32768
#define QUOR_MIN_CLIENT_PORT 1024
#define QUOR_MAX_CLIENT_PORT 65535

typedef struct netopt_entry {
  quor_sockaddr_t IPAddr;   // all zero for the default entry
  quor_sockaddr_t NetMask;  // all bits set unless the entry names a mask
  int RFC1323;              // kept, applied to nothing
  unsigned int SendSpace;
  unsigned int RecvSpace;
  size_t WriteSize;
  int TcpNodelay;
  int IsDefault;
} netopt_entry_t;

// One address of a local interface that is up and not a loopback.
typedef struct nic_info {
  char ifName[20];
  char dotAddress[41];
  quor_sockaddr_t ifAddress;
  unsigned long mtu;  // 0 when it cannot be read
  unsigned long ifFlags;
} nic_info_t;

quor_cfg_stanza_t* quorcfgx_ConfParse(char* cfgFile);
int quorcfgx_NetoptSetSock(int Fd, quor_sockaddr_t* NetAddress);
int quorcfgx_NetoptGetWriteSize(int SocketDescriptor, quor_sockaddr_t* IpAddr);
int quorcfgx_NetoptFindEntry(quor_sockaddr_t* NetAddr, netopt_entry_t** RetEntryPtr);
void quorcfgx_GetRestrictedPorts(in_port_t* minPort, in_port_t* maxPort);
int quorcfgx_ConfGetClientInterfaces(const char* hostName, const char* serverName,
                                     int* nwIfCount, quor_sockaddr_t** nwIfList,
                                     char*** nwIfNames);

// Guards the parse of QUOR.conf; readers of its sections that keep state
// hold it while they walk the tree. Set up by quorcfgx_InitMutexes (once).
extern pthread_mutex_t Cfg_Mutex;
// 0, or -1 after printing why the locks could not be set up.
int quorcfgx_InitMutexes(const char* funcName);

// ---- for tests only; production code never calls these ----
// Forgets the parsed tree (freeing it), the network-options table, the port
// range, the once-only warnings and the client-interface caches, so the next
// call reads the environment and QUOR.conf afresh. No other thread may be
// inside these functions meanwhile.
void quorcfgx_ResetForTest(void);
// Forgets the client-interface caches only (section checks, host stanzas,
// interface table); the injected table and host name stay.
void quorcfgx_ClientIfResetForTest(void);
// Replaces the machine's interface table and host name from the next
// client-interface call on: `table` of `count` records (copied; null
// restores getifaddrs), `hostName` (null restores gethostname).
void quorcfgx_SetLocalInterfacesForTest(const nic_info_t* table, int count,
                                        const char* hostName);

#endif
