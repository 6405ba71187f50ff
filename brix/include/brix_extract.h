// Reading members back out of an archive: the ranges of back-to-back index
// entries that extract and verify read in one piece, the restore of members
// as local files, directories and symbolic links (readCallbackCtl), and the
// verification of ranges against the index and local files
// (verifyCallbackCtl).
//
// The callbacks run on the range reader's consumer thread, one buffer at a
// time; the drivers set their state only between range reads.
#ifndef BRIX_BRIX_EXTRACT_H
#define BRIX_BRIX_EXTRACT_H

#include <stddef.h>
#include <stdint.h>

#include "brix_ustar.h"
#include "brix_index.h"

// A filled buffer of the range readers (brix/src/xfer).
struct io_buffer_t;

// ---- ranges of entries ----
struct ix_ListEntry_t {
  ix_ListEntry_t* next;
  uint64_t ixStartBlock;  // archive block of the first member's header
  uint64_t ixEndBlock;    // block just after the last member
  uint64_t ixStart;       // first entry number (from 0)
  uint64_t ixEnd;         // last entry number
  uint64_t ixCount;
  uint64_t ixFsOrd;  // member-list position of the first entry (-J)
};

struct ix_List_t {
  ix_ListEntry_t* head = nullptr;
  ix_ListEntry_t* tail = nullptr;
  int32_t count = 0;
};

// Adds an entry to the list, growing the last range when the entry follows
// it in the index and in the archive. 0, or -1 (entry numbers must rise;
// no memory).
int brix_AddIxListEntry(ix_List_t* list, const bif_entry_t* entry, uint64_t entryNumber,
                        uint64_t fsOrd);
void brix_FreeIxList(ix_List_t* list);

// Whether a member's blocks lie inside an archive of archiveSize bytes
// (offsets that would overflow count as outside).
int brix_MemberInsideArchive(const bif_entry_t* entry, uint64_t archiveSize);
// Whether an entry gives its member the blocks its header and data take;
// one with fewer (none at all, say) cannot be walked.
int brix_MemberBlocksFit(const bif_entry_t* entry);

// ---- member paths on extraction ----
enum BRIX_SAFEPATH { BSP_OK = 0, BSP_EMPTY = 1, BSP_DOTDOT = 2 };
// The member path as it is restored below the current directory: leading
// '/' removed (*hadSlash set), repeated '/' and "." components dropped. A
// path with a ".." component is refused (BSP_DOTDOT); one with nothing left
// is BSP_EMPTY. out holds at least 4097 bytes.
int brix_SafeMemberPath(const char* path, char* out, int* hadSlash);

// ---- restore (extract's consumer) ----
// Prepares a run: umask 0 (the old one kept), effective uid, counters.
void brix_RestoreInit(void);
// Before each range read: the index to read entries from and where the
// range's first entry is.
void brix_RestoreRangeStart(int indexFd, int indexResidency, uint64_t ixStart, uint64_t ixCount,
                            uint64_t fsOrd);
int readCallbackCtl(io_buffer_t* buf);
// After the range read: -1 when the range ended with members left undone.
int brix_RestoreRangeEnd(void);
// At the end of the run, also after a failure: closes a file left open and
// sets the directories' owners, modes and times, deepest first.
void brix_RestoreFinish(void);
struct brix_restore_counts_t {
  int64_t file_objects;
  int64_t total_objects;
  int32_t devNullFileCount;
  uint64_t total_file_bytes;
  int64_t total_ix_entries;
};
brix_restore_counts_t brix_RestoreCounts(void);

// ---- verify ----
struct verifyStats_t {
  int64_t totalFileObjects;
  int64_t totalDirObjects;
  int64_t totalHardLinkObjects;
  int64_t totalSymlinkObjects;
  int64_t indexErrors;
  int64_t tarHdrErrors;
  int64_t dirErrors;
  int64_t fileErrors;
  int64_t symlinkErrors;
  int64_t crcErrors;
  int64_t compareErrors;
};
constexpr uint32_t BRIX_VFY_CREATE_CRCS = 0x1;  // expected CRCs from the create's table

int brix_VerifyFileRange(uint32_t controlFlags, int archiveFd, int archiveResidency, int indexFd,
                         int indexResidency, uint64_t ixStart, uint64_t ixCount, uint64_t ixStartBlock,
                         uint64_t ixEndBlock, verifyStats_t* stats);
int verifyCallbackCtl(io_buffer_t* buf);
int brix_PostXferVerify(void);
void displayErrorStats(FILE* out, const verifyStats_t* stats);
int64_t setExitCodeIfErrors(const verifyStats_t* stats);
int64_t brix_VerifyErrorTotal(const verifyStats_t* stats);

// ---- build-index ----
// Whether the records of a pax extended header (n bytes of "LEN key=value\n"
// records) change what the ustar header of the member after it says of
// anything brix keeps (path, link target, size, owner), or cannot be read.
// 1 with the first such key copied into key (keySize bytes), else 0.
int brix_PaxRecordsMatter(const char* data, size_t n, char* key, size_t keySize);
// The records of a pax header against the ustar header of the member it
// describes: 0 when each record brix keeps repeats what the header says (a
// size record is taken as the member's size, in *size), else 1 with the
// first key that differs or cannot be read copied into key.
int brix_PaxRecordsDiffer(const char* data, size_t n, const posix_header_t* hdr, uint64_t* size, char* key,
                          size_t keySize);

// ---- delete and undelete ----
int brix_CommonDeleteUndelete(int deleteFlag);
int brix_IndexRewriteEntry(int ixFd, const bif_entry_t* theEntry, int64_t entryInx);

#endif
