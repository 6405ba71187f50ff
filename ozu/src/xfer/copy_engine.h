// The storage file copy engine: one stored file onto a storage path, on one
// connection (the service copies it, or the shell moves the bytes when the
// service declines) or between two connections (the methods of
// copy_remote.cpp). The copy commands call ozu_CopyFile once per file.
//
// A copy never leaves the user with less than before: an existing sink is
// moved aside under a unique name in its own directory, removed only after
// the new file is complete, and put back (the partial sink removed) when
// the copy fails.
//
// The methods between connections receive the record with both files open
// (quorFile on its conHandle, *quor2ndFile on its own), Flags, srcMode,
// quorFile.attrs, the offsets and the final transferLength (not 0) set,
// and return 0 or negative. They do not close files, log, or release the
// record: the engine's finishing steps and end do that.
#ifndef OZU_XFER_COPY_ENGINE_H
#define OZU_XFER_COPY_ENGINE_H

#include <stdint.h>

#include "quor_types.h"
#include "xfer_record.h"

// The top transfer flag: no bytes are read or written, only counted (the
// flag no copy command sets; kept so the debug dump names every flag).
#define FX_FAKE_DATA 0x80000000u

// Methods between two connections (the copy commands' -m).
#define COPY_METHOD_LOCAL 0
#define COPY_METHOD_SERVER 1

// One copy of srcPath (on connection srcHandle) onto sinkPath (on
// sinkHandle): offsets and length 0 for a whole file, srcAttrs null to look
// them up, method for two connections, FX_ flags. 0; -11 when no record
// could be reserved; -12 on an allocation failure; else negative. The
// connection current at the call is current again on return.
int ozu_CopyFile(const char *srcPath, int srcHandle, uint64_t srcOffset,
                 const quor_Attrs_t *srcAttrs, const char *sinkPath, int sinkHandle,
                 uint64_t sinkOffset, uint64_t length, int method, uint32_t flags);

// ---- the engine's steps, each on a record that ozu_CopyFile reserved ----
// Opens the source and fills quorFile.attrs and srcMode (attrs null: looked
// up). 0, or -1 after its message (exit result 72).
int copy_OpenSource(transfer_t *ctl, const quor_Attrs_t *attrs);
// Class-of-service hints of the new sink in *quor2ndFile (sink connection
// current).
void copy_SinkHints(transfer_t *ctl);
// Moves an existing sink aside (ctl->backupPath, backupMade), then creates
// the new sink writable by its owner, with the family id. 0, or -1 after
// its message; a failed create puts the old sink back.
int copy_CreateSink(transfer_t *ctl);
int positionFiles(transfer_t *ctl);
// The copy within one connection: the service's copy, else the shell's
// reader and writer. 0 or negative.
int copyTheFile(transfer_t *ctl);
// After success: owner, times, expiration, mode, purge; failures are
// reported, the copy stays a success.
void copy_Finish(transfer_t *ctl);
void preserveOwnerAndGroup(transfer_t *ctl);
void preserveTimeStamp(transfer_t *ctl);
// The end of every copy: settles the file moved aside (removed after
// success; after a failure the partial sink is removed and the old file
// put back), closes both files, writes the transfer log record, lowers the
// active count and releases the record. Returns result.
int copy_End(transfer_t *ctl, int result);

// Moves transferLength bytes from the source descriptor to the sink
// descriptor through the record's two hand-off buffers, a reader and a
// writer started by a control thread; each holds its own file's
// connection (quorFile.conHandle, quor2ndFile->conHandle). With xio, the
// extended calls (FX_USE_XIO_SRC, FX_USE_XIO_SINK). Returns only after the
// control thread, reader and writer have ended: 0, or -1 when either side
// failed (a write of 0 bytes fails as -5). who names the caller in its
// messages ("copyTheFile", "xqcp_LM_read_quor_thread"...).
int copy_ThroughShell(transfer_t *ctl, const char *who);

// ---- between two connections (copy_remote.cpp) ----
int xqcp_LM_Main(transfer_t *ctl);
int xqcp_QEL_Main(transfer_t *ctl);

#endif
