// The index file beside an archive, the consistency record that ties the two
// together, the member bookkeeping by index ordinal (outcomes, CRC-32s,
// missing members) and the index copies after a create.
//
// On disk every number is big-endian; in memory the records below hold host
// order. The entry and header records have the exact on-disk layout, so the
// buffered reader converts a batch in place and hands out pointers into its
// buffer.
#ifndef BRIX_BRIX_INDEX_H
#define BRIX_BRIX_INDEX_H

#include <stddef.h>
#include <stdint.h>

#include "brix.h"
#include "brix_filespec.h"

// ---- consistency record (256 bytes) ----
struct __attribute__((packed)) bif_consistency_t {
  char bif_inx_sanity[8];  // "BRIX_INX", no NUL
  uint32_t bif_cf_version;
  uint32_t bif_cf_rewrite_time;
  uint32_t bif_create_time;
  uint32_t bif_update_time;
  char bif_chost[50];
  char bif_mhost[50];
  uint64_t bif_tarsize;
  uint64_t bif_brix_filecount;
  uint32_t bif_soft_deletes;
  uint32_t bif_hard_deletes;
  unsigned char reserved2[108];
};
static_assert(sizeof(bif_consistency_t) == 256, "consistency record is 256 bytes");

// ---- index header (288 bytes); its first 20 bytes are bidx_hdr_t ----
struct __attribute__((packed)) bidx_hdr_t {
  char bif_sanity[12];  // "BrixIndex" and 3 NULs
  uint32_t bif_version;
  uint32_t bif_flags;
};
static_assert(sizeof(bidx_hdr_t) == 20, "bidx header is 20 bytes");

struct __attribute__((packed)) bif_hdr_t {
  char bif_sanity[12];
  uint32_t bif_version;
  uint32_t bif_flags;
  uint32_t obj_count;
  uint32_t annotation_offset;
  uint32_t annotation_size;
  bif_consistency_t bif_cfinfo;
};
static_assert(sizeof(bif_hdr_t) == 288, "index header is 288 bytes");

constexpr uint32_t BIF_VERSION = 2001;
constexpr uint32_t BIF_FLAG_NOT_BRIX = 0x80000000u;
constexpr size_t BIF_HDR_SIZE = 288;
constexpr size_t BIF_ENTRY_SIZE = 512;

// ---- index entry (512 bytes) ----
struct __attribute__((packed)) bif_entry_t {
  char bent_sanity[8];  // "BRIX_IDX", no NUL
  uint32_t bent_flags;
  uint32_t bent_blocks;
  uint32_t bent_type;  // BRIX_OBJECT_TYPE
  uint32_t bent_parent;
  uint32_t bent_version;
  uint64_t bent_offset;  // header block number in the archive
  uint64_t bent_fsize;
  uint32_t bent_annotation;
  uint32_t bent_annotation_bytes;
  uint32_t bent_crc32;
  char bent_name[100];
  char bent_prefix[156];
  char bent_linkname[100];
  uint32_t bent_mode;
  uint32_t bent_ctime;
  uint32_t bent_mtime;
  uint32_t bent_uid;
  uint32_t bent_gid;
  char bent_uname[32];
  char bent_gname[32];
  unsigned char bent_reserved[16];
};
static_assert(sizeof(bif_entry_t) == 512, "index entry is 512 bytes");

constexpr uint32_t BENT_FLAG_PHANTOM = 0x80000000u;
constexpr uint32_t BENT_FLAG_DELETED = 0x40000000u;
constexpr uint32_t BENT_FLAG_CRC = 0x10000000u;
constexpr uint64_t BRIX_MAX_MEMBER_SIZE = 68719476735ull;  // 2^36 - 1

// Byte order: each converts a record between host and disk order; applying
// it twice gives the record back.
void brix_SwapIndexEntry(bif_entry_t* e);
void brix_SwapIndexHeader(bif_hdr_t* h);
void brix_SwapConsistency(bif_consistency_t* c);

// ---- process-wide index state ----
extern bif_hdr_t brix_index_hdr;
extern uint32_t brix_index_entries;
extern uint32_t brix_index_flags;
extern uint32_t brix_annotation_offset;
extern uint32_t brix_annotation_size;
extern uint64_t brix_index_filesize;
extern uint64_t brix_archive_blocks;
extern uint64_t brix_archive_filesize;
extern char* brix_tmpIndexFile;
extern int brix_tmpIndexFD;
extern int brix_unlinkTmpIndexFile;

constexpr size_t BRIX_INDEX_BUFSIZE = 4194304;
constexpr size_t BRIX_INDEX_BUFENTRIES = BRIX_INDEX_BUFSIZE / BIF_ENTRY_SIZE;

int brix_CreateTmpIndexFile(void);
int brix_WriteIndexHeader(int fd, int residency, const char* path, const bif_hdr_t* hdr);
int brix_ReadIndexHeader(int fd, int residency, const char* path, bif_hdr_t* hdr);
void brix_BuildIndexHeader(void);
// The leading "../" components of a path (0 when none, -1 when more than
// BRIX_MAX_UP_LEVELS) and, in *rest, the path after them ("." when
// nothing is left).
int brix_MemberUpLevels(const char* path, const char** rest);
int brix_IndexFromFileSpec(uint64_t ordinal, brix_FileSpec_t* spec, bif_entry_t* entry);
struct posix_header_t;
int brix_IndexFromTarHdr(uint64_t blockOffset, const posix_header_t* hdr, bif_entry_t* entry,
                         uint64_t* blocks, uint64_t* dataSize);
int brix_OpenIndexFile(const char* path, int flags, int residency);
int brix_IndexFileDoesExist(const char* path, int residency);
int brix_IndexReadInit(void);
int brix_IndexFilePosition(int fd, int residency, uint64_t entry);
int brix_IndexFileRewind(int fd, int residency);
// Hands out the next entry (host order) inside the shared buffer, valid
// until the next refill; *endFlag set at the end. A short read leaves the
// entries it did read and the next call reads on.
// Makes entry the next one brix_IndexFileRead gives: from the entries
// already read ahead when it is among them (no call to the file system),
// else by positioning the file.
int brix_IndexFileSkipTo(int fd, int residency, uint64_t entry);
int brix_IndexFileRead(int fd, int residency, int batchLimit, bif_entry_t** entry, int* endFlag);
int brix_IndexReadRandomEntry(int fd, int residency, uint64_t entry, bif_entry_t* out);
void brix_GetIndexBufSize(size_t* size, size_t* capacity);
// Full member path of an entry into path (at least 257 bytes).
void brix_FormIxEntryPathname(const bif_entry_t* entry, char* path);
int brix_IndexEntryWasSelected(const bif_entry_t* entry);
// Splits a member path into name and prefix as the index stores it:
// 0, or -1 when the path cannot be stored.
int brix_SplitMemberPath(const char* path, char name[100], char prefix[156]);
// Blocks a member of that kind and size takes in the archive.
uint64_t brix_MemberBlocks(uint32_t type, uint64_t size);

// ---- consistency record ----
extern char* brix_cf_filename;
extern int brix_cf_file_created;

void brix_BuildConsistencyHeader(void);
void brix_GetCfSizes(uint64_t* fileSize, uint64_t* blocks);
int brix_WriteConsistencyFile(void);
int brix_WriteConsFileIndexEntry(int indexFd);
int brix_ReadArchiveCF(int archiveFd, int residency, uint64_t offset, bif_consistency_t* out);
int brix_CheckConsistency(const bif_consistency_t* fromIndex, const bif_consistency_t* fromArchive);
int brix_VerifyConsistencyFile(int archiveFd, int archiveResidency, int indexFd,
                               int indexResidency);

// ---- member bookkeeping by index ordinal ----
// CRC-32 (IEEE 802.3, reflected 0xEDB88320) of member data.
void brix_ChecksumInit(uint32_t* crc);
void brix_ChecksumBuffer(const void* data, size_t length, uint32_t* crc);
void brix_ChecksumFinalize(uint32_t* crc);

int brix_InitMemberFileLists(int64_t count, int64_t base);
void brix_FreeMemberFileLists(void);
void brix_SetMemberFileXferSuccess(int64_t ordinal, int success);
void brix_SetMemberFileXferCRC(int64_t ordinal, uint32_t crc);
uint32_t brix_GetMemberFileXferCRC(int64_t ordinal);
int brix_SetMissingMemberFile(int64_t ordinal);
// A member whose file changed while it was read (stored, but not as the file
// now is), and, with rmlocal, the file's status once read: rmlocal removes
// only files still of that size and mtime.
// Vanished files count as changed.
void brix_SetMemberFileChanged(int64_t ordinal);
int64_t brix_MemberFilesChanged(void);
// A member whose name lost ups leading "../" at create (at most
// BRIX_MAX_UP_LEVELS) is read at the path with them; brix_MemberLocalPath
// forms that path (BRIX_LOCAL_PATH_MAX bytes).
constexpr int BRIX_MAX_UP_LEVELS = 200;
constexpr size_t BRIX_LOCAL_PATH_MAX = 300 + 3 * BRIX_MAX_UP_LEVELS;
void brix_SetMemberUpLevels(int64_t ordinal, int ups);
void brix_MemberLocalPath(int64_t ordinal, const bif_entry_t* entry, char* path);
void brix_SetMemberFileReadState(int64_t ordinal, const struct stat* st);
void brix_FinalizeMemberLists(void);
int brix_GetMemberFileXferSuccess(int64_t ordinal);
void brix_GetMemberFileXferSummary(int64_t* transferred, int64_t* failed);
int brix_RemoveMemberFiles(int indexFd, int residency);

// ---- index adjustment and copies after create ----
void brix_AdjustIndexEntry(int64_t ordinal, const bif_entry_t* in, bif_entry_t* out);
int brix_CopyAndAdjustLocalIndex(void);
// Creates brix_index_filename in the storage service (class hints and family
// id of its own) from the adjusted temporary index: 0 or -1.
int brix_CopyIndexToQuor(void);
int brix_CopyIndexToRemote(void);

#endif
