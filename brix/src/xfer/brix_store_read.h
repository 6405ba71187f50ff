// Reading byte ranges of an archive kept in the storage service: list reads
// whose data the movers deliver straight into the transfer's buffers, handed
// to a consumer in archive order.
//
// brix_CopyFromQUORArchive
//      reads [startAddr, startAddr + bytesToRead) of the open storage archive
//      and calls callback for each filled buffer (the contract of
//      io_buffer_callback_t). 0 only when the consumer received exactly that
//      range; -1 when the read failed, was short, came back with a gap or the
//      consumer stopped it. Every thread it started has ended by then. A list
//      read failing with EIO is retried from the consumer's position, at most
//      five times at one position. *xferTime gets the seconds spent.
#ifndef BRIX_XFER_BRIX_STORE_READ_H
#define BRIX_XFER_BRIX_STORE_READ_H

#include <stdint.h>

#include "brix_ustar.h"
#include "brix_xfer.h"
#include "mvr_protocol.h"

int brix_CopyFromQUORArchive(int archiveFd, uint64_t startAddr, uint64_t bytesToRead,
                             io_buffer_callback_t callback, double* xferTime);

// The pieces the mover side and the driver share (one range at a time).
extern io_buffer_callback_t callBack;
extern std::atomic<int> localFileThreadActive;
void* brix_ReaderListenThread(void* arg);
void* brix_TransferThread(void* arg);
int find_BufferForData(connection_info_t* slot, const initiator_msg_t* msg, io_buffer_t** out,
                       uint64_t* delivered);
int update_BufXferred(const completion_msg_t* msg, io_buffer_t* buf, uint32_t received,
                      uint64_t dataOffset);
// The bytes of a buffer's window that arrived, each counted once however
// often a mover sent it.
void brix_ResetBufCoverage(io_buffer_t* buf);
uint32_t brix_BufCoveredPrefix(io_buffer_t* buf);
// The lock history of the buffer-queue lock (a debugging aid).
void lock_hist(int flag, int line, const char* file);
void dbx_print_lock_hist(void);

#endif
