// Member bookkeeping by index ordinal: one success bit and one problem bit
// per ordinal, the CRC-32 of each member (with the crc option), and the list
// of members found missing. The transfer threads record under one lock; the
// main thread reads after the transfer has ended.
#include <errno.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <mutex>
#include <vector>

#include "brix_index.h"

namespace {

std::mutex brix_TableLock;
std::vector<uint64_t> successMarks;
std::vector<uint64_t> problemMarks;
// Members whose file changed while or after it was read: stored, but never
// removed by rmlocal. With rmlocal, each file's size and mtime as it was
// once read, which it must still have to be removed.
std::vector<uint64_t> changedMarks;
struct fileState {
  uint64_t size;
  int64_t sec;
  int64_t nsec;
};
std::vector<fileState> readStates;
// Leading "../" components a create took off each member's name: the file
// is read, checked and removed at its own path.
std::vector<uint8_t> upLevels;
std::vector<uint32_t> crcTable;
bool haveCrcTable = false;
std::vector<int64_t> missingList;
int64_t baseOrdinal = 0;
int64_t lastOrdinal = -1;
int64_t transferredCount = 0;
int64_t failedCount = 0;
int64_t changedCount = 0;
int statusNotSetNotices = 0;

void checkOrdinal(const char* fn, int line, int64_t ordinal) {
  if (ordinal >= baseOrdinal && ordinal <= lastOrdinal) return;
  brix_Log(BRIX_MSG_INFO, "%s: internal error at line %d. Bad index value %ld [min: %ld,max: %ld",
           fn, line, long(ordinal), long(baseOrdinal), long(lastOrdinal));
  brix_SetExitCode(1);
  abort();
}

inline bool testBit(const std::vector<uint64_t>& v, int64_t i) {
  return (v[size_t(i) >> 6] >> (i & 63)) & 1;
}
inline void setBit(std::vector<uint64_t>& v, int64_t i) { v[size_t(i) >> 6] |= 1ull << (i & 63); }
inline void clearBit(std::vector<uint64_t>& v, int64_t i) {
  v[size_t(i) >> 6] &= ~(1ull << (i & 63));
}

}  // namespace

int brix_InitMemberFileLists(int64_t count, int64_t base) {
  std::lock_guard<std::mutex> g(brix_TableLock);
  transferredCount = failedCount = changedCount = 0;
  statusNotSetNotices = 0;
  missingList.clear();
  if (count + 1 <= base) {
    brix_Log(BRIX_MSG_ERROR, "Internal error - max file entries (%ld) <= base index offset (%ld)",
             long(count + 1), long(base));
    brix_SetExitCode(64);
    return -1;
  }
  baseOrdinal = base;
  lastOrdinal = count;
  size_t n = size_t(count - base + 1);
  try {
    successMarks.assign((n + 63) / 64, 0);
    problemMarks.assign((n + 63) / 64, 0);
    changedMarks.assign((n + 63) / 64, 0);
    upLevels.clear();
    if (brix_option_flags & BRIX_OPT_RMLOCAL) readStates.assign(n, fileState{UINT64_MAX, 0, 0});
    else readStates.clear();
    haveCrcTable = (brix_option_flags & BRIX_OPT_CRC) != 0;
    if (haveCrcTable) crcTable.assign(n, 0);
    else crcTable.clear();
  } catch (const std::bad_alloc&) {
    brix_MallocError("brix_InitMemberFileLists", "calloc", n / 8, __FILE__, __LINE__);
    return -1;
  }
  return 0;
}

void brix_FreeMemberFileLists(void) {
  std::lock_guard<std::mutex> g(brix_TableLock);
  successMarks.clear();
  problemMarks.clear();
  changedMarks.clear();
  readStates.clear();
  upLevels.clear();
  crcTable.clear();
  missingList.clear();
  haveCrcTable = false;
  lastOrdinal = baseOrdinal - 1;
}

void brix_SetMemberFileXferSuccess(int64_t ordinal, int success) {
  std::lock_guard<std::mutex> g(brix_TableLock);
  checkOrdinal("brix_SetMemberFileXferSuccess", __LINE__, ordinal);
  int64_t i = ordinal - baseOrdinal;
  if (success) {
    setBit(successMarks, i);
    clearBit(problemMarks, i);
    transferredCount++;
  } else {
    setBit(problemMarks, i);
    clearBit(successMarks, i);
    failedCount++;
  }
}

void brix_SetMemberFileXferCRC(int64_t ordinal, uint32_t crc) {
  std::lock_guard<std::mutex> g(brix_TableLock);
  checkOrdinal("brix_SetMemberFileXferCRC", __LINE__, ordinal);
  if (haveCrcTable) crcTable[size_t(ordinal - baseOrdinal)] = crc;
}

uint32_t brix_GetMemberFileXferCRC(int64_t ordinal) {
  checkOrdinal("brix_GetMemberFileXferCRC", __LINE__, ordinal);
  return haveCrcTable ? crcTable[size_t(ordinal - baseOrdinal)] : 0;
}

void brix_SetMemberFileChanged(int64_t ordinal) {
  std::lock_guard<std::mutex> g(brix_TableLock);
  checkOrdinal("brix_SetMemberFileChanged", __LINE__, ordinal);
  if (!testBit(changedMarks, ordinal - baseOrdinal)) changedCount++;
  setBit(changedMarks, ordinal - baseOrdinal);
}

void brix_SetMemberUpLevels(int64_t ordinal, int ups) {
  std::lock_guard<std::mutex> g(brix_TableLock);
  checkOrdinal("brix_SetMemberUpLevels", __LINE__, ordinal);
  size_t i = size_t(ordinal - baseOrdinal);
  if (upLevels.empty()) upLevels.assign(size_t(lastOrdinal - baseOrdinal + 1), 0);
  upLevels[i] = uint8_t(ups);
}

void brix_MemberLocalPath(int64_t ordinal, const bif_entry_t* entry, char* path) {
  int ups = 0;
  if (!upLevels.empty() && ordinal >= baseOrdinal && ordinal <= lastOrdinal)
    ups = upLevels[size_t(ordinal - baseOrdinal)];
  for (int i = 0; i < ups; i++) memcpy(path + 3 * i, "../", 3);
  brix_FormIxEntryPathname(entry, path + 3 * ups);
}

int64_t brix_MemberFilesChanged(void) {
  std::lock_guard<std::mutex> g(brix_TableLock);
  return changedCount;
}

void brix_SetMemberFileReadState(int64_t ordinal, const struct stat* st) {
  std::lock_guard<std::mutex> g(brix_TableLock);
  checkOrdinal("brix_SetMemberFileReadState", __LINE__, ordinal);
  if (readStates.empty()) return;
  readStates[size_t(ordinal - baseOrdinal)] =
      fileState{uint64_t(st->st_size), int64_t(st->st_mtim.tv_sec), int64_t(st->st_mtim.tv_nsec)};
}

int brix_SetMissingMemberFile(int64_t ordinal) {
  std::lock_guard<std::mutex> g(brix_TableLock);
  for (size_t i = 0; i < missingList.size(); i++)
    if (missingList[i] == ordinal) {
      if (brix_debug_level > 1)
        fprintf(stderr, "/debug/found existing index entry %ld in <missing file> list at inx=%d\n",
                long(ordinal), int(i));
      return 0;
    }
  if (brix_debug_level > 1)
    fprintf(stderr, "/debug/adding index entry %ld to <missing file> list at table inx=%d\n",
            long(ordinal), int(missingList.size()));
  try {
    if (missingList.size() == missingList.capacity()) missingList.reserve(missingList.size() + 50);
    missingList.push_back(ordinal);
  } catch (const std::bad_alloc&) {
    return -ENOMEM;
  }
  return 0;
}

void brix_FinalizeMemberLists(void) {
  std::lock_guard<std::mutex> g(brix_TableLock);
  if (missingList.size() > 1) std::sort(missingList.begin(), missingList.end());
}

int brix_GetMemberFileXferSuccess(int64_t ordinal) {
  checkOrdinal("brix_GetMemberFileXferSuccess", __LINE__, ordinal);
  int64_t i = ordinal - baseOrdinal;
  if (testBit(successMarks, i)) return 0;
  // The missing list is sorted once the transfer is finished, so any order
  // of questions gets the right answer.
  if (std::binary_search(missingList.begin(), missingList.end(), ordinal)) return 1;
  if (testBit(problemMarks, i)) return 1;
  statusNotSetNotices++;
  if (statusNotSetNotices < 50)
    brix_Log(BRIX_MSG_INFO, "%s: internal error - index entry %ld - xfer status not set!",
             "brix_GetMemberFileXferSuccess", long(ordinal));
  else if (statusNotSetNotices == 50)
    brix_Log(BRIX_MSG_INFO, "%s:  too many errors - errors after index entry %ld not listed",
             "brix_GetMemberFileXferSuccess", long(ordinal));
  return 0;
}

void brix_GetMemberFileXferSummary(int64_t* transferred, int64_t* failed) {
  std::lock_guard<std::mutex> g(brix_TableLock);
  if (transferred) *transferred = transferredCount;
  if (failed) *failed = failedCount;
}

int brix_RemoveMemberFiles(int indexFd, int residency) {
  static const char* fn = "brix_RemoveMemberFiles";
  console_message("Removing local files", "");
  if (brix_debug_level > 0)
    fprintf(stdout, "/debug/positioning index file to entry %ld\n", long(baseOrdinal));
  if (brix_IndexFilePosition(indexFd, residency, uint64_t(baseOrdinal)) != 0) {
    brix_Log(BRIX_MSG_ERROR, "%s: Failed to remove one or more local files that were written to the Archive",
             fn);
    return -1;
  }
  bool follow = (brix_option_flags & BRIX_OPT_FOLLOW_LINKS) != 0;
  bool paranoid = (brix_verify_flags & BRIX_VERIFY_PARANOID) != 0;
  int64_t ordinal = baseOrdinal;
  for (;; ordinal++) {
    bif_entry_t* e = nullptr;
    int end = 0;
    if (brix_IndexFileRead(indexFd, residency, 0, &e, &end) != 0 || end) break;
    if (ordinal > lastOrdinal) break;
    if (e->bent_type != BTO_FILE && e->bent_type != BTO_SYMLINK) continue;
    char path[BRIX_LOCAL_PATH_MAX];
    brix_MemberLocalPath(ordinal, e, path);
    if (brix_GetMemberFileXferSuccess(ordinal) != 0) {
      if (brix_debug_level > 3)
        fprintf(stderr, "/trace/ index entry %ld [%s] - failed to xfer successfully, unlink skipped\n",
                long(ordinal), path);
      continue;
    }
    if (e->bent_type == BTO_FILE) {
      // A file goes only when it still is what was archived: the size the
      // member holds and the size and mtime, to the nanosecond, it had when
      // it was read.
      int64_t i = ordinal - baseOrdinal;
      struct stat st;
      bool same = !testBit(changedMarks, i) && size_t(i) < readStates.size() &&
                  (follow ? stat(path, &st) : lstat(path, &st)) == 0 && S_ISREG(st.st_mode);
      if (same) {
        const fileState& r = readStates[size_t(i)];
        same = r.size == e->bent_fsize && uint64_t(st.st_size) == r.size && st.st_mtim.tv_sec == r.sec &&
               st.st_mtim.tv_nsec == r.nsec;
      }
      if (!same) {
        brix_Log(BRIX_MSG_INFO, "%s: %s has been modified - skipped", fn, path);
        brix_SetExitCode(1);
        continue;
      }
    }
    if (paranoid) {
      struct stat st;
      int rc = follow ? stat(path, &st) : lstat(path, &st);
      if (rc != 0) {
        if (brix_debug_level > 3)
          fprintf(stderr, "/trace/ paranoid checking-error %d trying to stat local file %s\n", errno,
                  path);
        continue;
      }
      bool wasFile = e->bent_type == BTO_FILE;
      bool matches = wasFile ? S_ISREG(st.st_mode) : S_ISLNK(st.st_mode);
      if (!matches) {
        const char* now = S_ISDIR(st.st_mode)   ? "directory"
                          : S_ISREG(st.st_mode) ? "regular file"
                          : S_ISLNK(st.st_mode) ? "symlink"
                                                : "socket,pipe,etc.";
        brix_Log(BRIX_MSG_INFO, "%s: %s skipped - was a %s, but now is a %s", fn, path,
                 wasFile ? "regular file" : "symlink", now);
        continue;
      }
      if (wasFile && uint64_t(e->bent_mtime) < uint64_t(st.st_mtime)) {
        brix_Log(BRIX_MSG_INFO, "%s: %s has been modified - skipped", fn, path);
        continue;
      }
    }
    int rc = unlink(path);
    if (brix_debug_level > 3) fprintf(stderr, "/trace/unlink of %s returned %d\n", path, rc);
    if (rc != 0) {
      if (errno == EPERM) brix_Log(BRIX_MSG_INFO, "%s: no permission to remove %s", fn, path);
      else if (errno == EACCES)
        brix_Log(BRIX_MSG_INFO, "%s: directory access problem trying to remove %s", fn, path);
      else if (errno != ENOENT)
        brix_Log(BRIX_MSG_INFO, "%s: system error %d trying to remove %s", fn, errno, path);
    }
  }
  console_message("", "");
  return 0;
}
