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
// ozu_PutRecord        fills a reserved record for one queued store entry
//                      and runs writeQuorFile (with its digest handle when
//                      checksums are on); the recursive put calls this for
//                      each file it queues. Returns writeQuorFile's result.
#ifndef OZU_XFER_PUT_H
#define OZU_XFER_PUT_H

#include <stdint.h>

struct transfer;
struct sized_xfer_queue;

int writeQuorFile(struct transfer *ctl);
int write_quor_parallel(struct transfer *Ctl);
int write_quor_regular(struct transfer *ctl);

#endif
