// Member restore: the consumer of extract's range reads. It walks each
// buffer block by block, checks every member's header against its index
// entry and restores files, directories and symbolic links below the
// current directory.
//
// Nothing is written outside the current directory: member paths lose their
// leading '/', paths with ".." never get here (extract leaves them out), no
// member is restored through a symbolic link this run made (the member is
// refused, its data read and dropped), and a file is never opened through a
// symbolic link (the link is replaced). A directory's owner, mode and times
// are set once the whole run is done, deepest first, so that members
// restored into it later do not change them. Owners are set before modes,
// since a change of owner clears the set-id bits.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <string>
#include <unordered_set>
#include <vector>

#include "brix_extract.h"
#include "brix_blockio.h"
#include "brix_xfer.h"
#include "qel_threads.h"

namespace {

const char* const fnCb = "readCallbackCtl";
const char* const fnWrite = "brix_WriteLocalFile";

// ---- extract state (the driver sets the range part between reads) ----
int index_Fd = -1;
int index_file_residency = BRIX_LOCAL_FILE;
bif_entry_t curEntry;
bool haveEntry = false;
uint32_t curIndexType = 0;
int64_t curListIxCur = -1;
int32_t curListLeftToDo = 0;
int64_t curFileSpecInx = 0;
uint64_t curArchiveAddr = 0;
uint32_t curBlockCount = 0;
uint32_t curBlocksHandled = 0;
bool curTarHeaderExtracted = false;
posix_header_t curTarHdrBuf;
bool curFileIsDevNull = false;
bool curDiscard = false;  // refused member: its blocks are read and dropped
int curLocalFileFd = -1;
char curLocalPath[BRIX_MAX_PATH + 1];
uint64_t curLocFileSize = 0;
uint64_t curLocFileWritten = 0;
bool curFileDoCheckSum = false;
uint32_t curIndexEntryCRC = 0;
uint32_t curLocFileCRC = 0;
mode_t curCreateMode = 0;
brix_restore_counts_t counts;
uid_t effectiveUid = 0;
mode_t savedUmask = 022;

// Symbolic links this run made, by their restored path.
std::unordered_set<std::string> createdLinks;
// The last directory known to exist, so members of one directory look it
// up once.
std::string knownDir;

struct dirAttrs {
  std::string path;
  uint32_t mode, uid, gid, mtime;
};
std::vector<dirAttrs> pendingDirs;

bool toStdout() { return (brix_option_flags & BRIX_OPT_TO_STDOUT) != 0; }
bool verbose() { return (brix_option_flags & BRIX_OPT_VERBOSE) != 0; }
bool setOwners() { return effectiveUid == 0 && !(brix_option_flags & BRIX_OPT_OWNER_SELF); }

// The first proper prefix of path that is a link this run made, or npos.
size_t createdLinkPrefix(const char* path) {
  if (createdLinks.empty()) return std::string::npos;
  std::string p(path);
  for (size_t i = p.find('/'); i != std::string::npos; i = p.find('/', i + 1))
    if (createdLinks.count(p.substr(0, i))) return i;
  return std::string::npos;
}

bool refusedThroughLink(const char* path) {
  size_t at = createdLinkPrefix(path);
  if (at == std::string::npos) return false;
  std::string link(path, at);
  brix_Log(BRIX_MSG_ERROR, "Not restoring %s: %s is a symbolic link restored earlier in this run\n", path,
           link.c_str());
  brix_SetExitCode(65);
  return true;
}

void forgetPath(const char* path) {
  createdLinks.erase(path);
  knownDir.clear();
}

// ---- directories ----
// A directory member's own path (member) replaces any symbolic link found
// there, as other tars do: a link planted in the target, or left by an
// earlier archive, never carries the members below it elsewhere. The
// parents of a member path follow a link that was there before the run.
int brix_Mkdir(const bif_entry_t* e, const char* path, bool member = false) {
  while (*path == '/') path++;
  if (toStdout() || !*path) return 0;
  if (!member && knownDir == path) return 0;
  struct stat st;
  if (lstat(path, &st) == 0) {
    if (S_ISLNK(st.st_mode) && (member || createdLinks.count(path))) {
      // A directory member where a link stands: the link goes.
      unlink(path);
      forgetPath(path);
    } else {
      knownDir = path;
      return 0;
    }
  }
  if (brix_debug_level >= 1) fprintf(stderr, "/debug/creating directory %s\n", path);
  std::string p(path);
  mode_t mode = (0777 & ~savedUmask) | 0300;
  size_t from = 0;
  for (;;) {
    size_t slash = p.find('/', from);
    std::string prefix = slash == std::string::npos ? p : p.substr(0, slash);
    if (mkdir(prefix.c_str(), mode) == 0) {
      if (setOwners() && lchown(prefix.c_str(), e->bent_uid, e->bent_gid) != 0)
        fprintf(stderr, "%s: [warning]: error setting uid/gid for %s\n", "ERROR", prefix.c_str());
    } else if (errno != EEXIST) {
      brix_Log(BRIX_MSG_ERROR, "Error %d creating subdirectory %s\n", errno, path);
      return -1;
    }
    if (slash == std::string::npos) break;
    from = slash + 1;
  }
  if (lstat(path, &st) != 0 || !S_ISDIR(st.st_mode)) {
    // Something other than a directory stands there; a link is followed
    // only when it was there before the run.
    if (stat(path, &st) != 0 || !S_ISDIR(st.st_mode)) {
      brix_Log(BRIX_MSG_ERROR, "Error %d trying to create subdirectory %s\n", ENOTDIR, path);
      return -1;
    }
  }
  knownDir = path;
  return 0;
}

// The directories up to path's last '/'.
int makeParents(const bif_entry_t* e, const char* path) {
  const char* slash = strrchr(path, '/');
  if (!slash || slash == path) return 0;
  std::string parent(path, size_t(slash - path));
  return brix_Mkdir(e, parent.c_str());
}

void doDirectory(const bif_entry_t* e) {
  if (verbose() && !toStdout()) {
    console_message("", "");
    fprintf(stdout, "%s: x %s/\n", "BRIX", curLocalPath);
  }
  if (toStdout() || curDiscard || curFileIsDevNull) return;
  brix_Mkdir(e, curLocalPath, true);
  counts.total_objects++;
  pendingDirs.push_back({curLocalPath, e->bent_mode, e->bent_uid, e->bent_gid, e->bent_mtime});
}

// ---- symbolic links ----
int brix_Symlink(const bif_entry_t* e, const char* path, const char* target) {
  if (toStdout()) return 0;
  if (verbose()) {
    console_message("", "");
    fprintf(stdout, "%s: x %s is a symbolic link to %s\n", "BRIX", path, target);
  }
  while (*path == '/') path++;
  if (!*path) return 0;
  std::string p(path);
  if (p.size() > 1 && p.back() == '/') p.pop_back();
  if (brix_debug_level >= 1) fprintf(stderr, "will create symlink for %s\n", p.c_str());
  if (makeParents(e, p.c_str()) != 0) return -1;
  unlink(p.c_str());
  forgetPath(p.c_str());
  if (symlink(target, p.c_str()) != 0) {
    brix_Log(BRIX_MSG_ERROR, "Error %d creating symlink %s->%s\n", errno, p.c_str(), target);
    brix_SetExitCode(72);
    return -1;
  }
  createdLinks.insert(p);
  return 0;
}

// ---- files ----
void fileSettings(int fd, bool atHeader) {
  if (toStdout() || curFileIsDevNull || curDiscard || fd < 0) return;
  time_t when = (brix_option_flags & BRIX_OPT_MTIME_NOW) ? time(nullptr) : time_t(curEntry.bent_mtime);
  if (effectiveUid == 0 && fchown(fd, curEntry.bent_uid, curEntry.bent_gid) != 0)
    fprintf(stderr, "%s: (%s) error setting uid/gid for %s\n", "ERROR", atHeader ? fnCb : fnWrite, curLocalPath);
  mode_t mode = (brix_option_flags & BRIX_OPT_PERMS) ? mode_t(curEntry.bent_mode & 07777) : curCreateMode;
  // The file was made without set-id bits, which a change of owner clears.
  if (((brix_option_flags & BRIX_OPT_PERMS) || (mode & 07000)) && fchmod(fd, mode) != 0) {
    brix_perror("fchmod");
    fprintf(stderr, "%s: (%s) Error changing mode to 0%o for %s\n", "ERROR", atHeader ? fnCb : fnWrite,
            unsigned(mode), curLocalPath);
  }
  struct timespec ts[2];
  ts[1].tv_sec = when;
  ts[1].tv_nsec = 0;
  if (atHeader) ts[0] = ts[1];
  else {
    ts[0].tv_sec = 0;
    ts[0].tv_nsec = UTIME_NOW;
  }
  if (futimens(fd, ts) != 0)
    fprintf(stderr, "%s: (%s) error setting modification time for %s\n", "ERROR", atHeader ? fnCb : fnWrite,
            curLocalPath);
}

// Creates the member file anew: whatever stands at its path (a symbolic
// link, a file with other hard links) is unlinked first, so nothing outside
// the target is written through it.
int openMemberFile(const char* path, mode_t mode) {
  int flags = O_WRONLY | O_CREAT | O_TRUNC | O_NONBLOCK | O_CLOEXEC;
  if (curFileIsDevNull) return open(path, flags, mode);
  flags = (flags & ~O_TRUNC) | O_EXCL | O_NOFOLLOW;
  int fd = open(path, flags, mode);
  if (fd < 0 && errno == EEXIST) {
    struct stat st;
    if (lstat(path, &st) == 0 && S_ISDIR(st.st_mode)) {
      errno = EISDIR;
      return -1;
    }
    unlink(path);
    forgetPath(path);
    fd = open(path, flags, mode);
  }
  return fd;
}

int brix_InitLocalFile(void) {
  curLocFileSize = curEntry.bent_fsize;
  curLocFileWritten = 0;
  curFileDoCheckSum = (brix_option_flags & BRIX_OPT_CRC) && (curEntry.bent_flags & BENT_FLAG_CRC) && !curDiscard;
  if (curFileDoCheckSum) {
    curIndexEntryCRC = curEntry.bent_crc32;
    brix_ChecksumInit(&curLocFileCRC);
  }
  if (verbose() && !toStdout()) {
    console_message("", "");
    fprintf(stdout, "%s: x %s, %lu bytes, %d media blocks\n", "BRIX", curLocalPath,
            (unsigned long)curLocFileSize, int(curBlockCount));
  }
  if (curDiscard) return 0;
  size_t n = strlen(curLocalPath);
  if (n > 1 && curLocalPath[n - 1] == '/') curLocalPath[n - 1] = '\0';
  if (toStdout()) {
    curLocalFileFd = curLocFileSize > 0 ? STDOUT_FILENO : -1;
    return 0;
  }
  if (!curFileIsDevNull && makeParents(&curEntry, curLocalPath) != 0) return -1;
  curCreateMode = (mode_t(curEntry.bent_mode) & ~savedUmask & 07777) | 0200;
  if (brix_debug_level >= 2) {
    if (curLocFileSize == 0) fprintf(stderr, "/debug/handling zero-length file: %s\n", curLocalPath);
    else fprintf(stderr, "%s to extract file %s\n", "starting", curLocalPath);
  }
  int fd = openMemberFile(curLocalPath, curCreateMode & 0777);
  if (fd < 0) {
    int e = errno;
    brix_perror(curLocFileSize > 0 ? "open (create)" : "creat");
    brix_Log(BRIX_MSG_ERROR, "Cannot create %s (error=%d)\n", curLocalPath, e);
    return -1;
  }
  if (curLocFileSize == 0) {
    fileSettings(fd, true);
    close(fd);
    return 0;
  }
  curLocalFileFd = fd;
  return 0;
}

int writeAll(int fd, const unsigned char* p, size_t n) {
  bool spaceNoted = false;
  while (n > 0) {
    ssize_t w = write(fd, p, n);
    if (w > 0) {
      p += w;
      n -= size_t(w);
      continue;
    }
    if (w < 0 && errno == EINTR) continue;
    if (w < 0 && errno == EAGAIN) {
      struct pollfd pfd = {fd, POLLOUT, 0};
      if (poll(&pfd, 1, 250) < 0 && errno != EINTR) {
        brix_Log(BRIX_MSG_ERROR, "Error %d on select while writing local file %s\n", errno, curLocalPath);
        return -1;
      }
      continue;
    }
    if (w < 0 && errno == ENOSPC) {
      if (!spaceNoted) fprintf(stderr, "Out of space in local filesystem - retrying\n");
      spaceNoted = true;
      ozugw_ThreadSleep(BRIX_NOSPACE_WAIT, 0);
      if (brix_shutdown_signalled) return -1;
      continue;
    }
    brix_Log(BRIX_MSG_ERROR, "Error %d writing local file %s\n", w < 0 ? errno : EIO, curLocalPath);
    return -1;
  }
  return 0;
}

int brix_WriteLocalFile(const unsigned char* data, uint64_t length, uint32_t* blocks) {
  uint64_t count = length;
  uint64_t missing = curLocFileSize - curLocFileWritten;
  if (missing < count) count = missing;
  *blocks = uint32_t((count + 511) / 512);
  if (curFileDoCheckSum) brix_ChecksumBuffer(data, size_t(count), &curLocFileCRC);
  if (!curDiscard && curLocalFileFd >= 0 && writeAll(curLocalFileFd, data, size_t(count)) != 0) return -1;
  curLocFileWritten += count;
  if (curLocFileWritten < curLocFileSize) return 0;
  if (curFileDoCheckSum) {
    brix_ChecksumFinalize(&curLocFileCRC);
    if (curLocFileCRC != curIndexEntryCRC) {
      brix_SetExitCode(65);
      brix_Log(BRIX_MSG_ERROR, "CRC error on %s. Index CRC=%8.8x Extracted File CRC=%8.8x\n", curLocalPath,
               curIndexEntryCRC, curLocFileCRC);
    }
  }
  if (!toStdout() && curLocalFileFd >= 0) {
    fileSettings(curLocalFileFd, false);
    if (close(curLocalFileFd) != 0) {
      brix_perror("close");
      fprintf(stderr, "%s: (%s) warning: error closing local file %s (ignored)\n", "ERROR", fnWrite, curLocalPath);
    }
  }
  curLocalFileFd = -1;
  return 0;
}

// ---- the walk ----
int loadNextEntry(void) {
  if (curListLeftToDo <= 0) {
    brix_Log(BRIX_MSG_ERROR, "%s: fatal internal error - data past the last member of the range\n", fnCb);
    brix_SetExitCode(70);
    return -1;
  }
  bif_entry_t* e = nullptr;
  int end = 0;
  // A whole buffer of entries is read ahead: the next ranges' entries are
  // usually among them.
  if (brix_IndexFileRead(index_Fd, index_file_residency, 0, &e, &end) != 0) return -1;
  if (end || !e) {
    brix_Log(BRIX_MSG_ERROR, "%s: Index File %s ended inside the range being extracted\n", fnCb,
             brix_index_filename ? brix_index_filename : "");
    brix_SetExitCode(72);
    return -1;
  }
  curEntry = *e;
  haveEntry = true;
  curListIxCur++;
  curFileSpecInx++;
  curIndexType = curEntry.bent_type;
  char raw[300];
  brix_FormIxEntryPathname(&curEntry, raw);
  int slash = 0;
  int safe = brix_SafeMemberPath(raw, curLocalPath, &slash);
  curDiscard = false;
  curFileIsDevNull = false;
  if (safe != BSP_OK && toStdout()) brix_strlcpy(curLocalPath, raw, sizeof curLocalPath);
  if (safe != BSP_OK && !toStdout()) {
    // Pass 1 leaves such entries out; an entry that still gets here is
    // read past, never restored.
    brix_Log(BRIX_MSG_ERROR, "Not restoring %s: not a path below the current directory\n", raw);
    brix_SetExitCode(65);
    curDiscard = true;
  } else if (!toStdout() && refusedThroughLink(curLocalPath)) {
    curDiscard = true;
  }
  curArchiveAddr = curEntry.bent_offset * 512;
  curBlockCount = curEntry.bent_blocks;
  curBlocksHandled = 0;
  curTarHeaderExtracted = false;
  // The index decides how many blocks a member takes; one that leaves no
  // room for its own header and data cannot be walked.
  uint64_t need = brix_MemberBlocks(curIndexType, curEntry.bent_fsize);
  if (curBlockCount == 0 || ((curIndexType == BTO_FILE || curIndexType == BTO_HARDLINK) && curBlockCount < need)) {
    brix_Log(BRIX_MSG_ERROR, " %s: fatal inconsistency detected \n", fnCb);
    brix_Log(BRIX_MSG_ERROR, "        Index File entry %ld (%s) has %u blocks for %lu bytes\n", long(curListIxCur),
             curLocalPath, unsigned(curBlockCount), (unsigned long)curEntry.bent_fsize);
    brix_SetExitCode(65);
    return -1;
  }
  return 0;
}

int checkHeader(const unsigned char* block) {
  if (brix_GetTarHeader(block, &curTarHdrBuf) != 0) {
    brix_Log(BRIX_MSG_ERROR, " %s: fatal inconsistency detected \n", fnCb);
    brix_Log(BRIX_MSG_ERROR, "        At Index File entry %ld, path=%s\n", long(curListIxCur), curLocalPath);
    brix_Log(BRIX_MSG_ERROR, "        Archive address: %lu \n", (unsigned long)curArchiveAddr);
    brix_SetExitCode(65);
    return -1;
  }
  bool mismatch = strncmp(curEntry.bent_prefix, curTarHdrBuf.thb_prefix, 155) != 0 ||
                  strncmp(curEntry.bent_name, curTarHdrBuf.thb_name, 100) != 0;
  char hname[101], hprefix[156];
  memcpy(hname, curTarHdrBuf.thb_name, 100);
  hname[100] = '\0';
  memcpy(hprefix, curTarHdrBuf.thb_prefix, 155);
  hprefix[155] = '\0';
  if (strcmp(hname, "/dev/null") == 0) {
    char raw[300];
    brix_FormIxEntryPathname(&curEntry, raw);
    brix_Log(BRIX_MSG_WARNING, "%s: At index entry %ld, archive filename '/dev/null' was found -  index filename is %s \n",
             fnCb, long(curListIxCur), raw);
    strcpy(curLocalPath, "/dev/null");
    curFileIsDevNull = true;
    counts.devNullFileCount++;
    return 0;
  }
  if (mismatch) {
    char iname[101], iprefix[156];
    memcpy(iname, curEntry.bent_name, 100);
    iname[100] = '\0';
    memcpy(iprefix, curEntry.bent_prefix, 155);
    iprefix[155] = '\0';
    brix_Log(BRIX_MSG_ERROR, "%s: fatal pathname inconsistency detected\n", fnCb);
    brix_Log(BRIX_MSG_ERROR, "     At Index File entry %ld, Archive address %lu\n", long(curListIxCur),
             (unsigned long)curArchiveAddr);
    brix_Log(BRIX_MSG_ERROR, "    Index path prefix=\"%s\" Archive path prefix=\"%s\"\n", iprefix, hprefix);
    brix_Log(BRIX_MSG_ERROR, "    Index filename=\"%s\" Archive filename=\"%s\"\n", iname, hname);
    brix_SetExitCode(65);
    return -1;
  }
  return 0;
}

// One step of the current member at p (avail bytes); the blocks consumed,
// or -1.
int64_t act(const unsigned char* p, uint64_t avail) {
  uint64_t availBlocks = avail / 512;
  uint64_t left = curBlockCount - curBlocksHandled;
  if (curBlocksHandled == 0) {
    switch (curIndexType) {
      case BTO_DIRECTORY:
        doDirectory(&curEntry);
        return 1;
      case BTO_FILE:
        if (brix_InitLocalFile() != 0) return -1;
        if (!curDiscard) {
          counts.file_objects++;
          counts.total_objects++;
        }
        return 1;
      case BTO_SYMLINK: {
        if (curDiscard || curFileIsDevNull) return 1;
        char target[101];
        memcpy(target, curEntry.bent_linkname, 100);
        target[100] = '\0';
        brix_Symlink(&curEntry, curLocalPath, target);
        counts.file_objects++;
        counts.total_objects++;
        return 1;
      }
      case BTO_INDEXEOF:
        return int64_t(left < availBlocks ? left : availBlocks);
      default:
        brix_Log(BRIX_MSG_ERROR, " %s: fatal: unrecognized object type {%d) for index entry %ld (%s) \n", fnCb,
                 int(curIndexType), long(curListIxCur - 1), curLocalPath);
        brix_SetExitCode(65);
        return -1;
    }
  }
  if (curIndexType == BTO_FILE && curLocFileWritten < curLocFileSize) {
    uint32_t blocks = 0;
    if (brix_WriteLocalFile(p, avail, &blocks) != 0) return -1;
    return blocks;
  }
  // Blocks the index gives a member beyond its header and data.
  return int64_t(left < availBlocks ? left : availBlocks);
}

}  // namespace

void brix_RestoreInit(void) {
  savedUmask = umask(0);
  effectiveUid = geteuid();
  counts = brix_restore_counts_t{};
  createdLinks.clear();
  knownDir.clear();
  pendingDirs.clear();
  haveEntry = false;
  curLocalFileFd = -1;
}

void brix_RestoreRangeStart(int indexFd, int indexResidency, uint64_t ixStart, uint64_t ixCount, uint64_t fsOrd) {
  index_Fd = indexFd;
  index_file_residency = indexResidency;
  curListIxCur = int64_t(ixStart) - 1;
  curFileSpecInx = int64_t(fsOrd) - 1;
  curListLeftToDo = int32_t(ixCount);
  haveEntry = false;
  curBlocksHandled = 0;
  curBlockCount = 0;
  curTarHeaderExtracted = false;
}

int readCallbackCtl(io_buffer_t* buf) {
  uint64_t len = buf->dataLength;
  if (len % 512 != 0) {
    brix_Log(BRIX_MSG_ERROR, "%s: fatal internal error. Data length [%d] not a multiple of %d\n", fnCb, int(len), 512);
    brix_SetExitCode(65);
    return -1;
  }
  const unsigned char* data = buf->buffer;
  uint64_t pos = 0;
  while (pos < len) {
    if (brix_shutdown_signalled) return -1;
    if (!haveEntry && loadNextEntry() != 0) return -1;
    if (!curTarHeaderExtracted) {
      if (curIndexType != BTO_INDEXEOF && checkHeader(data + pos) != 0) return -1;
      curTarHeaderExtracted = true;
    }
    int64_t blocks = act(data + pos, len - pos);
    if (blocks < 0) return -1;
    if (blocks == 0) {
      brix_Log(BRIX_MSG_ERROR, "%s: fatal internal error - no progress at Index File entry %ld\n", fnCb,
               long(curListIxCur));
      brix_SetExitCode(70);
      return -1;
    }
    curBlocksHandled += uint32_t(blocks);
    curArchiveAddr += uint64_t(blocks) * 512;
    pos += uint64_t(blocks) * 512;
    if (curBlocksHandled < curBlockCount) continue;
    counts.total_ix_entries++;
    if (curIndexType == BTO_FILE && !curDiscard) {
      counts.total_file_bytes += curEntry.bent_fsize;
      if (brix_option_flags & BRIX_OPT_STATUS_FIFO)
        brix_StatusMsg(curListLeftToDo == 1, "Bytes: %lu Index Entries: %ld", (unsigned long)counts.total_file_bytes,
                       long(counts.total_ix_entries));
    }
    curListLeftToDo--;
    haveEntry = false;
    curTarHeaderExtracted = false;
    if (curLocalFileFd >= 0 && !toStdout()) {
      brix_Log(BRIX_MSG_ERROR, "%s: fatal internal error - all blocks processed according to Index File\n", fnCb);
      brix_Log(BRIX_MSG_ERROR, "     but local file %s still open\n", curLocalPath);
      brix_SetExitCode(70);
      close(curLocalFileFd);
      curLocalFileFd = -1;
      return -1;
    }
    curLocalFileFd = -1;
  }
  return 0;
}

int brix_RestoreRangeEnd(void) {
  if (curListLeftToDo == 0 && !haveEntry) return 0;
  brix_Log(BRIX_MSG_ERROR, "%s: the archive range ended with %d member(s) not restored\n", "brix_Extract",
           int(curListLeftToDo));
  brix_SetExitCode(72);
  return -1;
}

void brix_RestoreFinish(void) {
  if (curLocalFileFd >= 0 && !toStdout()) close(curLocalFileFd);
  curLocalFileFd = -1;
  haveEntry = false;
  bool perms = (brix_option_flags & BRIX_OPT_PERMS) != 0;
  for (auto it = pendingDirs.rbegin(); it != pendingDirs.rend(); ++it) {
    const char* path = it->path.c_str();
    struct stat st;
    // Only a real directory: never a link that took its place.
    if (lstat(path, &st) != 0 || !S_ISDIR(st.st_mode)) continue;
    if (setOwners() && lchown(path, it->uid, it->gid) != 0)
      fprintf(stderr, "%s: (%s) error setting uid/gid for directory %s\n", "ERROR", fnCb, path);
    if (perms && chmod(path, mode_t(it->mode & 07777)) != 0)
      fprintf(stderr, "%s: (%s) error setting mode flags for directory %s\n", "ERROR", fnCb, path);
    struct timespec ts[2];
    ts[0].tv_sec = ts[1].tv_sec = time_t(it->mtime);
    ts[0].tv_nsec = ts[1].tv_nsec = 0;
    if (utimensat(AT_FDCWD, path, ts, AT_SYMLINK_NOFOLLOW) != 0)
      fprintf(stderr, "%s: (%s) error setting time(s) for directory %s\n", "ERROR", fnCb, path);
  }
  pendingDirs.clear();
  createdLinks.clear();
  knownDir.clear();
}

brix_restore_counts_t brix_RestoreCounts(void) { return counts; }
