// Transfer services the shell and the archiver share: the release of the
// volume lists of an extended-attribute read, the interchange form of a
// local file mode, and the socket count and connection trace of direct
// (lfx) transfers. Their debug lines go where the program says
// (ozu_coreOutput), which each program sets at start-up.
#ifndef OZU_XFERCORE_H
#define OZU_XFERCORE_H

#include <stdio.h>

#include "quor_net.h"
#include "quor_types.h"

typedef struct ozu_core_output {
  const int *debugLevel;  // the program's debug level; null: 0
  FILE **listFile;        // the stream of debug lines; null: standard error
  int (*lockList)(void);  // the listing-file lock around a line; null: none
  int (*unlockList)(void);
} ozu_core_output_t;
extern ozu_core_output_t ozu_coreOutput;

// Frees the physical-volume list of each volume entry of the five levels
// (the level's NumberOfVVs entries, at most the ten it holds) and clears
// the pointers; a second call frees nothing. Call it once after every
// successful extended-attribute read. At debug level 2 the shell's form
// says so first.
void ozu_FreeXAttrsPVList(quor_xfileattr_t *xattrs);
void brix_FreeXAttrsPVList(quor_xfileattr_t *xattrs);

// A local mode (type and permission bits) in the interchange form of the
// lfx records.
unsigned ozu_LocalModeToInterchangeMode(unsigned LocalMode);

// Data sockets of one direct transfer; Ctl is the transfer's record.
int determineSocketCount(const void *Ctl);

#define OZU_SOCKET_INBOUND 0
#define OZU_SOCKET_OUTBOUND 1
// At debug level 3: "/debug/local file xfer: FD %d %s %s\n" with the
// direction and the peer's universal address, under the listing-file lock.
void debugSocketConnect(int SocketFD, const quor_sockaddr_t *SocketAddress, int Direction);

#endif
