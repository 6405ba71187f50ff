// Archives in the storage service as the reading operations see them.
//
// brix_QuorGetArchiveXAttrs  the archive's extended attributes (all levels)
//      into brix_archive_xattrs, its data length into st: 0, or -1 with the
//      message and exit code 72.
// brix_GetArchiveStripeInfo  the stripe width, optimum access size and tape
//      flag of the level the data is read from: level 0, or with the stage
//      flag (nostage) the level holding the data at the widest width seen.
// brix_ReadArchiveStripes    both of the above for the archive, with the
//      nostage option as the stage flag.
// brix_QuorOpenArchiveFile   opens the archive, waiting 10 s at a time (the
//      library's time seam) while it is busy or being recalled: the
//      descriptor, or a negative result with the message and exit code 72.
// brix_QuorPositionFile      quor_SetFileOffset with the no-space retries.
// brix_ReadArchiveRange      the range reader of the archive's residency.
// brix_NoteTapeFetch         the console notice that reading starts with a
//      tape recall.
#ifndef BRIX_XFER_BRIX_STORE_FILE_H
#define BRIX_XFER_BRIX_STORE_FILE_H

#include <stdint.h>
#include <sys/stat.h>

#include "brix_blockio.h"
#include "brix_store_read.h"
#include "quor_types.h"

int brix_QuorGetArchiveXAttrs(struct stat* st);
int brix_ReadArchiveStripes(void);
int brix_QuorOpenArchiveFile(int flags, struct stat* st);
int brix_QuorPositionFile(int fd, uint64_t offset, int origin, int direction, uint64_t* newOffset);
int brix_ReadArchiveRange(int archiveFd, uint64_t startAddr, uint64_t bytesToRead,
                          io_buffer_callback_t callback, double* xferTime);
void brix_NoteTapeFetch(void);
// Where the index lives for the reading operations (a piped archive keeps
// it locally), and closing a descriptor of either residency.
int brix_IndexResidency(void);
// The residency an index is opened with: that of a remote archive's index
// (fetched then into a local copy, read with brix_IndexResidency()).
int brix_IndexOpenResidency(void);
int brix_CloseFile(int fd, int residency);
// Replaces the open storage index by a whole local copy (a temporary index
// the exit removes), so that reading entries never waits on the gateway
// connection a range read holds: 0, or -1 with the copy removed.
int brix_CopyIndexToLocal(int* indexFd);

#endif
