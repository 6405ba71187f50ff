// The store side of the transfer engine.
//
// writeQuorFile        stores one local file described by a reserved record
//                      (localFile.localPath and localStat, quorFile.quorPath,
//                      Flags, serverRunmode, offsets and length 0 for a whole
//                      file). 0, or negative; -1 tells the caller to stop
//                      the command. Logs the file's transfer record; the
//                      caller releases the record (freeXferCtl). A failure
//                      leaves the storage side as it was before the call.
// write_quor_parallel  moves the record's range through the movers.
// write_quor_regular   moves it with plain writes through the gateway.
// ozu_PutQueueFile     while a put command runs: filters one regular local
//                      file (update mode, -n, mput's question) and queues
//                      its store with the command's flags, as a file named
//                      on the command line is. 0, or negative.
#ifndef OZU_XFER_PUT_H
#define OZU_XFER_PUT_H

#include <stdint.h>
#include <sys/stat.h>

struct transfer;

int writeQuorFile(struct transfer *ctl);
int write_quor_parallel(struct transfer *Ctl);
int write_quor_regular(struct transfer *ctl);
int ozu_PutQueueFile(const char *localPath, const char *quorPath, struct stat *st);

#endif
