// Archives and indexes on the gateway host's own file system, moved by the
// gateway's local-file transfer service (lfx): small local files inline in
// the init exchange, anything else over one direct data connection that the
// gateway opens to a listen socket offered here, driven by a read and a
// write thread; connected data sockets are kept for the next transfer.
//
// brix_LfxReceiveFile
//      moves [SrcOffset, SrcOffset + XferLength) of the gateway file
//      RemotePath (or of RemoteFd, open on the connection, when not -1) to
//      LocalFileFd (RMTIO_FILE) or to DataCallback, buffer by buffer in
//      order (RMTIO_CALLBACK; non-zero from it stops the transfer).
// brix_LfxSendFile
//      moves XferLength bytes from LocalFileFd (RMTIO_FILE) or the buffers
//      DataCallback hands over (RMTIO_CALLBACK) to RemotePath at SinkOffset.
//
// Both take a zeroed record (xfer_ctl designates it when it designates
// none). The result is the gateway's status (0 or more) only when exactly
// XferLength bytes moved and nothing failed on this side; otherwise a
// negative code, the failure reported and an exit code set.
//
// brix_CopyFromRemoteArchive
//      the range reader of a remote archive (contract of io_buffer_callback_t
//      and of brix_CopyFromLocalArchive): 0, or -1.
// brix_CopyToRemoteArchive
//      writes the whole planned archive (brix_archive_filesize bytes) that the
//      reader pool fills to brix_archive: 0, or -1.
// brix_LfxClosePool
//      closes the pooled data sockets (at the end of the program).
#ifndef BRIX_XFER_BRIX_LFX_H
#define BRIX_XFER_BRIX_LFX_H

#include <stdint.h>

#include "brix_xfer.h"

int brix_LfxReceiveFile(int IoType, transfer_t* Ctl, int LocalFileFd, const char* LocalPath,
                        int RemoteFd, const char* RemotePath, uint64_t SrcOffset,
                        uint64_t SinkOffset, uint64_t XferLength,
                        int (*DataCallback)(io_buffer_t* buf));
int brix_LfxSendFile(int IoType, transfer_t* Ctl, int LocalFileFd, const char* LocalPath,
                     const char* RemotePath, uint64_t SrcOffset, uint64_t SinkOffset,
                     uint64_t XferLength, lfx_read_callback_t DataCallback);
int brix_CopyFromRemoteArchive(int ArchiveFd, uint64_t StartAddr, uint64_t Length,
                               io_buffer_callback_t Callback, double* XferTime);
int brix_CopyToRemoteArchive(double* xferTime, int* threadsUsed);
int RemoteDataCallback(io_buffer_t** RetBuffer);
void brix_LfxClosePool(void);
// Releases what an lfx transfer left in its record (sockets, paths,
// buffers, locks): the record can then be freed.
void brix_LfxReleaseRecord(transfer_t* Ctl);

#endif
