// Archives in the storage service: the write pipeline that sends the reader
// pool's buffers to the movers through list writes, with its mover
// connections and its resynchronisation after a failed request.
#ifndef BRIX_XFER_BRIX_STORE_H
#define BRIX_XFER_BRIX_STORE_H

#include "brix_xfer.h"
#include "mvr_protocol.h"

// Writes the whole planned archive (brix_archive_filesize bytes) from the
// temporary index into the open storage archive brix_archive_fd: 0, or -1
// when the transfer failed or was aborted. On 0, the seconds from the first
// mover connection to the end and the reader threads used.
int brix_CopyToQUORArchive(double* xferTime, int* threadsUsed);
// Accounts one completed mover transfer from buffer B (K null: the mover's
// use of B ended without a completion); 0 or -1 (transfer aborted).
int brix_UpdateBufXferred(const completion_msg_t* K, io_buffer_t* B);
int brix_ResyncAfterQUORWriteError(transfer_t* X);
int brix_LogXferError(int error, transfer_t* X);
void brix_DisplayInitiatorMessage(int xferNo, int conNo, const initiator_msg_t* m);

#endif
