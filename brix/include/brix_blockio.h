// Archive bytes by residency: block reads, writes and positioning with their
// retry rules, and creating and opening archives.
//
// The block reader, writer and positioning keep no state and may run in
// several threads at once, each on its own descriptor.
#ifndef BRIX_BRIX_BLOCKIO_H
#define BRIX_BRIX_BLOCKIO_H

#include <stddef.h>
#include <stdint.h>
#include <sys/stat.h>
#include <sys/types.h>

#include "brix.h"
#include "brix_index.h"
#include "quor_types.h"

extern int brix_archive_stripewidth;
extern int brix_optimum_access;
extern int brix_archive_is_tape;
// The storage attributes of the archive as last read (levels, stripes).
extern quor_xfileattr_t brix_archive_xattr;

ssize_t brix_BlockRead(int fd, const char* path, int residency, size_t count, void* buffer);
ssize_t brix_BlockWrite(int fd, const char* path, int residency, size_t count, const void* buffer);
ssize_t brix_ReadArchive(int fd, size_t count, void* buffer);
int brix_PositionFile(int fd, int residency, uint64_t offset, int origin, int direction,
                      uint64_t* newOffset);
const char* posToString(int origin);
const char* directionToString(int direction);
int brix_CreateArchiveFile(void);
int brix_OpenArchiveFile(int flags, struct stat* st);
int brix_GetArchiveXAttrs(int residency, struct stat* st);
// Sets width, optimum access size and tape flag from the attributes
// levels; stageFlag (the nostage bit) takes the level holding the data.
int brix_GetArchiveStripeInfo(int stageFlag, const quor_xfileattr_t* xattr);
// The storage subsystem of the path's parent directory, or 0.
uint32_t brix_GetParentSubsysID(const char* path);
int brix_SetFamilyID(const char* path, int familyId);
// Sets a storage file's expiration from the site's table when rc
// enable_expiration is on: 0, or the failing call's result.
int brix_ExpireSetExpiration(const char* path);
int brix_MakeAllSubdirs(char* path, mode_t mode, int residency);
int brix_CheckFileTruncated(uint64_t archiveSize, const bif_entry_t* entry, int64_t ordinal);
// Whether this program can hold archives of that residency yet; when not,
// reports it and stores an exit code.
int brix_ResidencySupported(int residency);

// How long the writer waits after ENOSPC before trying again, and how many
// zero-count writes in a row it accepts before giving up (tests shorten the
// wait through the library's time seam).
constexpr int BRIX_NOSPACE_WAIT = 30;
constexpr int BRIX_MAX_ZERO_WRITES = 100;

#endif
