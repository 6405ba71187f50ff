// Verifying one range of index entries against the archive: each member's
// header is parsed (and compared field by field at the info level), file
// data is checked against the recorded CRC (crc level) and byte by byte
// against the local file (compare level), and directories must exist
// locally (compare level). Every mismatch is reported as it is found and
// counted in the operation's verifyStats_t.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>

#include "brix_extract.h"
#include "brix_blockio.h"
#include "brix_xfer.h"
#include "brix_store_file.h"

namespace {

const char* const fnCb = "verifyCallbackCtl";

struct readCtl_t {
  uint32_t controlFlags;
  int index_file_residency, index_Fd;
  bif_entry_t curEntry;
  bool haveEntry;
  uint32_t curIndexType;
  int64_t indexEntryNumber;
  int32_t indexEntryCount;
  uint32_t curIndexEntryCRC;
  int archiveFd;
  uint64_t curArchiveAddr;
  uint32_t curBlockCount, curBlocksHandled;
  bool curTarHeaderExtracted;
  posix_header_t curTarHdrBuf;
  int curLocalFileFd;
  char* curLocalPath;
  unsigned char* localFileBuf;
  uint32_t localFileBufsize;
  uint64_t curLocFileSize, curLocFileRead;
  bool curFileDoCheckSum;
  uint32_t curLocFileCRC;
  bool compareError;
  uint64_t compareErrorOffset;
  bool fileHadError, tarHeaderError, fileReadError, fileCRCError, fileCmpError;
  bool skippingFile;
  int64_t successCount, failedCount;
};
readCtl_t _readCtl;
verifyStats_t* globalStats = nullptr;

uint32_t level() { return brix_verify_flags; }
bool atCompare() { return (level() & BRIX_VERIFY_COMPARE) != 0; }
const char* vWord() { return atCompare() ? "V" : "v"; }

void markErrors() { _readCtl.fileHadError = true; }

void closeLocal(const char* who) {
  if (_readCtl.curLocalFileFd < 0) return;
  if (close(_readCtl.curLocalFileFd) != 0) {
    brix_perror("close");
    fprintf(stdout, "%s: (%s) warning: error closing local file %s (ignored)\n", "ERROR", who, _readCtl.curLocalPath);
  }
  _readCtl.curLocalFileFd = -1;
}

// ---- mismatch reports ----
void displayAddrInfo(bool withPath) {
  brix_Log(BRIX_MSG_ERROR, "At Index File entry %ld, Archive address %lu ", long(_readCtl.indexEntryNumber),
           (unsigned long)_readCtl.curArchiveAddr);
  if (withPath) brix_Log(BRIX_MSG_ERROR, "Path: \"%s\"", _readCtl.curLocalPath);
}

void displayNameMismatch() {
  const bif_entry_t& e = _readCtl.curEntry;
  const posix_header_t& h = _readCtl.curTarHdrBuf;
  displayAddrInfo(false);
  brix_Log(BRIX_MSG_ERROR, "Pathname inconsistency detected");
  brix_Log(BRIX_MSG_ERROR, "     At Index File entry %ld, Archive address %lu ", long(_readCtl.indexEntryNumber),
           (unsigned long)_readCtl.curArchiveAddr);
  brix_Log(BRIX_MSG_ERROR, "   Index path prefix=\"%.155s\" Archive path prefix=\"%.155s\"", e.bent_prefix, h.thb_prefix);
  brix_Log(BRIX_MSG_ERROR, "    Index filename=\"%.100s\" Archive filename=\"%.100s\"", e.bent_name, h.thb_name);
}

const char* indexTypeName(uint32_t t, char* buf, size_t n) {
  static const char* const names[] = {"FILE", "DIRECTORY", "HARD LINK", "SYMBOLIC LINK", "INTERNAL EOF"};
  if (t >= 1 && t <= 5) return names[t - 1];
  snprintf(buf, n, "Unknown: %d", int(t));
  return buf;
}

const char* typeflagName(char c, char* buf, size_t n) {
  const char* what;
  switch (c) {
    case '\0': case '0': what = "Regular File"; break;
    case '1': what = "Link"; break;
    case '2': what = "Symbolic link"; break;
    case '3': what = "Character Special"; break;
    case '4': what = "Block Special"; break;
    case '5': what = "Directory"; break;
    case '6': what = "FIFO special"; break;
    case '7': what = "Reserved Type"; break;
    default: what = "Unknown"; break;
  }
  snprintf(buf, n, "%s: '%c' (0x%2.2x)", what, c ? c : ' ', unsigned(static_cast<unsigned char>(c)));
  return buf;
}

void reportTime(uint32_t ix, uint32_t hdr) {
  char a[32] = "", b[32] = "";
  time_t ta = time_t(ix), tb = time_t(hdr);
  ctime_r(&ta, a);
  ctime_r(&tb, b);
  displayAddrInfo(true);
  brix_Log(BRIX_MSG_ERROR, "File Modification Time inconsistency detected. Index value: %ld [%24.24s] Tar Hdr Value: %ld [%24.24s]",
           long(ix), a, long(hdr), b);
}

int compareTarHeaderFields() {
  const bif_entry_t& e = _readCtl.curEntry;
  const posix_header_t& h = _readCtl.curTarHdrBuf;
  int rc = 0;
  if (brix_debug_level >= 2)
    fprintf(stdout, "/debug/comparing tar header fields. index prefix=[%.155s] name=[%.100s]\n", e.bent_prefix, e.bent_name);
  if (strncmp(e.bent_prefix, h.thb_prefix, 155) != 0 || strncmp(e.bent_name, h.thb_name, 100) != 0) {
    displayNameMismatch();
    _readCtl.skippingFile = true;
    rc = -1;
  }
  char tf = h.thb_typeflag;
  bool typeOk = false;
  switch (e.bent_type) {
    case BTO_FILE: typeOk = tf == '0' || tf == '\0'; break;
    case BTO_DIRECTORY: typeOk = tf == '5'; break;
    case BTO_HARDLINK: typeOk = tf == '1'; break;
    case BTO_SYMLINK:
      typeOk = tf == '2';
      if (typeOk && strncmp(e.bent_linkname, h.thb_linkname, 100) != 0) {
        displayAddrInfo(true);
        brix_Log(BRIX_MSG_ERROR, "Symbolic link inconsistency detected. Index value: [%.100s]  Tar Hdr Value: [%.100s]",
                 e.bent_linkname, h.thb_linkname);
        globalStats->symlinkErrors++;
        rc = -1;
      }
      break;
    default: break;
  }
  if (!typeOk) {
    char a[32], b[48];
    displayAddrInfo(true);
    brix_Log(BRIX_MSG_ERROR, "Object Type inconsistency detected. Index value: %s  Tar Hdr Value: %s",
             indexTypeName(e.bent_type, a, sizeof a), typeflagName(tf, b, sizeof b));
    rc = -1;
  }
  if (e.bent_type == BTO_FILE || e.bent_type == BTO_HARDLINK) {
    uint64_t size = brix_GetMemberFilesize(&h);  // octal or base-256
    if (size != e.bent_fsize) {
      displayAddrInfo(true);
      brix_Log(BRIX_MSG_ERROR, "File Size inconsistency detected. Index value: %lu  Tar Hdr Value: %lu\n",
               (unsigned long)e.bent_fsize, (unsigned long)size);
      rc = -1;
    }
  }
  uint32_t mode = 0, mtime = 0;
  OctalToUint32_t(&mode, 8, h.thb_mode, "thb_mode");
  if (mode != e.bent_mode) {
    displayAddrInfo(true);
    brix_Log(BRIX_MSG_ERROR, "File Mode inconsistency detected. Index value (octal): [0%o]  Tar Hdr Value (octal): [0%o]",
             e.bent_mode, mode);
    rc = -1;
  }
  OctalToUint32_t(&mtime, 12, h.thb_mtime, "thb_mtime");
  if (mtime != e.bent_mtime) {
    reportTime(e.bent_mtime, mtime);
    rc = -1;
  }
  uint32_t uid = brix_TarIdField(h.thb_uid), gid = brix_TarIdField(h.thb_gid);
  if ((uid & 0x1fffff) != (e.bent_uid & 0x1fffff)) {
    displayAddrInfo(true);
    brix_Log(BRIX_MSG_ERROR, "UID inconsistency detected. Index value: %ld  Tar Hdr Value: %ld", long(e.bent_uid), long(uid));
    rc = -1;
  }
  if ((gid & 0x1fffff) != (e.bent_gid & 0x1fffff)) {
    displayAddrInfo(true);
    brix_Log(BRIX_MSG_ERROR, "GID inconsistency detected. Index value: %ld  Tar Hdr Value: %ld", long(e.bent_gid), long(gid));
    rc = -1;
  }
  if (memcmp(e.bent_uname, h.thb_uname, 32) != 0) {
    displayAddrInfo(true);
    brix_Log(BRIX_MSG_ERROR, "%s: User Name inconsistency detected. Index value: [%.32s]  Tar Hdr Value: [%.32s]",
             "displayUnameMismatch", e.bent_uname, h.thb_uname);
    rc = -1;
  }
  if (memcmp(e.bent_gname, h.thb_gname, 32) != 0) {
    displayAddrInfo(true);
    brix_Log(BRIX_MSG_ERROR, "Group Name inconsistency detected. Index value: [%.32s]  Tar Hdr Value: [%.32s]",
             e.bent_gname, h.thb_gname);
    rc = -1;
  }
  if (rc != 0) {
    markErrors();
    brix_SetExitCode(65);
  }
  return rc;
}

// ---- files ----
void stripLeadingSlashes() {
  char* p = _readCtl.curLocalPath;
  size_t skip = 0;
  while (p[skip] == '/') skip++;
  if (skip && p[skip]) memmove(p, p + skip, strlen(p + skip) + 1);
}

void verifyMemberFileInit() {
  readCtl_t& c = _readCtl;
  c.curLocFileRead = 0;
  c.curLocFileSize = c.curEntry.bent_fsize;
  c.skippingFile = c.compareError = false;
  c.compareErrorOffset = 0;
  c.curFileDoCheckSum = false;
  if (level() & BRIX_VERIFY_CRC) {
    if (c.controlFlags & BRIX_VFY_CREATE_CRCS) {
      c.curIndexEntryCRC = brix_GetMemberFileXferCRC(c.indexEntryNumber);
      c.curFileDoCheckSum = true;
    } else if (c.curEntry.bent_flags & BENT_FLAG_CRC) {
      c.curIndexEntryCRC = c.curEntry.bent_crc32;
      c.curFileDoCheckSum = true;
    }
    if (c.curFileDoCheckSum) brix_ChecksumInit(&c.curLocFileCRC);
  }
  if (brix_option_flags & BRIX_OPT_VERBOSE) {
    console_message("", "");
    fprintf(stdout, "%s: %s %s, %lu bytes, %d media blocks\n", "BRIX", vWord(), c.curLocalPath,
            (unsigned long)c.curLocFileSize, int(c.curBlockCount));
  }
  size_t n = strlen(c.curLocalPath);
  if (n > 1 && c.curLocalPath[n - 1] == '/') c.curLocalPath[n - 1] = '\0';
  if (!atCompare()) {
    c.skippingFile = true;
    return;
  }
  if (brix_option_flags & BRIX_OPT_RELPATHS) stripLeadingSlashes();
  c.curLocalFileFd = open(c.curLocalPath, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (c.curLocalFileFd < 0) {
    int e = errno;
    c.skippingFile = true;
    markErrors();
    globalStats->fileErrors++;
    brix_Log(BRIX_MSG_ERROR, "Uable to open local file %s (error=%d) - comparison skipped", c.curLocalPath, e);
    return;
  }
  struct stat st;
  if (fstat(c.curLocalFileFd, &st) != 0) {
    int e = errno;
    c.skippingFile = true;
    markErrors();
    globalStats->fileErrors++;
    brix_Log(BRIX_MSG_ERROR, "Uable to stat local file %s (error=%d) - comparison skipped", c.curLocalPath, e);
    return;
  }
  if (uint64_t(st.st_size) != c.curLocFileSize) {
    c.skippingFile = true;
    markErrors();
    globalStats->fileErrors++;
    brix_Log(BRIX_MSG_ERROR, "Sizes different for %s: Archive file size: %lu local file size: %lu - comparison skipped",
             c.curLocalPath, (unsigned long)c.curLocFileSize, (unsigned long)st.st_size);
  }
}

void fileReadFailed() {
  brix_SetExitCode(65);
  _readCtl.skippingFile = true;
  markErrors();
  globalStats->fileErrors++;
}

int verifyFileData(const unsigned char* data, uint64_t length, uint32_t* blocks) {
  readCtl_t& c = _readCtl;
  uint64_t count = length;
  uint64_t missing = c.curLocFileSize - c.curLocFileRead;
  if (missing < count) count = missing;
  *blocks = uint32_t((count + 511) / 512);
  if (c.curFileDoCheckSum) brix_ChecksumBuffer(data, size_t(count), &c.curLocFileCRC);
  uint64_t done = 0;
  while (!c.skippingFile && done < count) {
    size_t piece = size_t(std::min<uint64_t>(count - done, c.localFileBufsize));
    ssize_t n = read(c.curLocalFileFd, c.localFileBuf, piece);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) {
      if (errno == EAGAIN) {
        struct pollfd pfd = {c.curLocalFileFd, POLLIN, 0};
        if (poll(&pfd, 1, 250) < 0 && errno != EINTR) {
          brix_Log(BRIX_MSG_ERROR, "Error %d on select while reading local file %s\n", errno, c.curLocalPath);
          fileReadFailed();
        }
      }
      continue;
    }
    if (n < 0) {
      brix_Log(BRIX_MSG_ERROR, "Error %d reading local file %s\n", errno, c.curLocalPath);
      fileReadFailed();
      break;
    }
    if (n == 0) {
      brix_Log(BRIX_MSG_ERROR, "Premature EOF reading local file %s at offset %lu\n", c.curLocalPath,
               (unsigned long)(c.curLocFileRead + done));
      fileReadFailed();
      break;
    }
    if (memcmp(c.localFileBuf, data + done, size_t(n)) != 0) {
      size_t k = 0;
      while (c.localFileBuf[k] == data[done + k]) k++;
      c.compareError = true;
      c.compareErrorOffset = c.curLocFileRead + done + k;
      brix_SetExitCode(65);
      brix_Log(BRIX_MSG_ERROR, "Compare error at offset %lu in local file %s", (unsigned long)c.compareErrorOffset,
               c.curLocalPath);
      globalStats->compareErrors++;
      c.skippingFile = true;
      markErrors();
      break;
    }
    done += uint64_t(n);
  }
  c.curLocFileRead += count;
  if (c.curLocFileRead < c.curLocFileSize) return 0;
  if (c.curFileDoCheckSum) {
    brix_ChecksumFinalize(&c.curLocFileCRC);
    if (brix_debug_level >= 2)
      fprintf(stdout, "/debug/verifying Index CRC (0x%8.8x) vs. BRIX archive CRC (0x%8.8x) for [%s]\n",
              c.curIndexEntryCRC, c.curLocFileCRC, c.curLocalPath);
    if (c.curIndexEntryCRC != c.curLocFileCRC) {
      markErrors();
      globalStats->crcErrors++;
      brix_SetExitCode(65);
      brix_Log(BRIX_MSG_ERROR, "CRC error on %s. Index CRC=%8.8x BRIX Archive File CRC=%8.8x", c.curLocalPath,
               c.curIndexEntryCRC, c.curLocFileCRC);
    }
    c.curFileDoCheckSum = false;
  }
  closeLocal("verifyFileData");
  return 0;
}

// ---- the walk ----
int loadEntry() {
  readCtl_t& c = _readCtl;
  if (c.indexEntryCount <= 0) {
    brix_Log(BRIX_MSG_ERROR, "%s: fatal internal error - data past the last member of the range\n", fnCb);
    globalStats->indexErrors++;
    return -1;
  }
  bif_entry_t* e = nullptr;
  int end = 0;
  if (brix_IndexFileRead(c.index_Fd, c.index_file_residency, c.indexEntryCount, &e, &end) != 0 || end || !e) {
    if (end) brix_Log(BRIX_MSG_ERROR, "%s: Index File %s ended inside the range being verified\n", fnCb,
                      brix_index_filename ? brix_index_filename : "");
    globalStats->indexErrors++;
    return -1;
  }
  c.curEntry = *e;
  c.haveEntry = true;
  c.fileHadError = c.tarHeaderError = c.fileReadError = c.fileCRCError = c.fileCmpError = false;
  c.indexEntryNumber++;
  if (brix_option_flags & BRIX_OPT_STATUS_FIFO) brix_StatusMsg(0, "Verifying index entry %ld", long(c.indexEntryNumber));
  c.curIndexType = c.curEntry.bent_type;
  brix_MemberLocalPath(c.indexEntryNumber, &c.curEntry, c.curLocalPath);
  if ((brix_option_flags & BRIX_OPT_RELPATHS) && c.curLocalPath[0] == '/') {
    char before[300];
    brix_strlcpy(before, c.curLocalPath, sizeof before);
    stripLeadingSlashes();
    if (brix_debug_level >= 2)
      fprintf(stdout, "/debug/converted absolute path [%s] to relative path [%s]\n", before, c.curLocalPath);
  }
  c.curArchiveAddr = c.curEntry.bent_offset * 512;
  c.curBlockCount = c.curEntry.bent_blocks;
  c.curBlocksHandled = 0;
  c.curTarHeaderExtracted = false;
  c.skippingFile = false;
  uint64_t need = brix_MemberBlocks(c.curIndexType, c.curEntry.bent_fsize);
  if (c.curBlockCount == 0 ||
      ((c.curIndexType == BTO_FILE || c.curIndexType == BTO_HARDLINK) && c.curBlockCount < need)) {
    brix_Log(BRIX_MSG_ERROR, " %s: Index File entry %ld (%s) has %u blocks for %lu bytes\n", fnCb,
             long(c.indexEntryNumber), c.curLocalPath, unsigned(c.curBlockCount), (unsigned long)c.curEntry.bent_fsize);
    globalStats->indexErrors++;
    brix_SetExitCode(65);
    return -1;
  }
  return 0;
}

int64_t act(const unsigned char* p, uint64_t avail) {
  readCtl_t& c = _readCtl;
  uint64_t availBlocks = avail / 512;
  uint64_t left = c.curBlockCount - c.curBlocksHandled;
  bool isData = c.curIndexType == BTO_FILE || c.curIndexType == BTO_HARDLINK;
  if (c.curBlocksHandled == 0) {
    switch (c.curIndexType) {
      case BTO_FILE:
      case BTO_HARDLINK:
        if (c.curIndexType == BTO_FILE) globalStats->totalFileObjects++;
        else globalStats->totalHardLinkObjects++;
        verifyMemberFileInit();
        if (c.curLocFileSize == 0) closeLocal(fnCb);
        return 1;
      case BTO_DIRECTORY: {
        globalStats->totalDirObjects++;
        if (brix_debug_level >= 1) fprintf(stdout, "/debug/verifying directory %s\n", c.curLocalPath);
        bool failed = false;
        if (atCompare()) {
          struct stat st;
          int rc = (brix_option_flags & BRIX_OPT_FOLLOW_LINKS) ? stat(c.curLocalPath, &st) : lstat(c.curLocalPath, &st);
          if (rc != 0 || !S_ISDIR(st.st_mode)) {
            brix_Log(BRIX_MSG_ERROR, "Local directory missing,inaccessible or not a directory: %s\n", c.curLocalPath);
            brix_SetExitCode(65);
            globalStats->dirErrors++;
            failed = true;
          }
        }
        if (brix_option_flags & BRIX_OPT_VERBOSE) {
          console_message("", "");
          fprintf(stdout, "%s: ", "BRIX");
          if (failed) fprintf(stdout, "* ");
          else fprintf(stdout, "%s ", vWord());
          fprintf(stdout, "%s/\n", c.curLocalPath);
        }
        return 1;
      }
      case BTO_SYMLINK:
        globalStats->totalSymlinkObjects++;
        if (brix_option_flags & BRIX_OPT_VERBOSE) {
          console_message("", "");
          fprintf(stdout, "%s: %s %s->%.100s\n", "BRIX", vWord(), c.curLocalPath, c.curTarHdrBuf.thb_linkname);
        }
        return 1;
      default:
        // Nothing to verify; its blocks are passed over.
        return int64_t(std::min(left, availBlocks));
    }
  }
  if (isData && c.curLocFileRead < c.curLocFileSize) {
    if (brix_debug_level >= 2)
      fprintf(stdout, "%s to verify file %s\n", c.curLocFileRead == 0 ? "starting" : "continuing", c.curLocalPath);
    uint32_t blocks = 0;
    verifyFileData(p, avail, &blocks);
    return blocks;
  }
  return int64_t(std::min(left, availBlocks));
}

}  // namespace

int verifyCallbackCtl(io_buffer_t* buf) {
  readCtl_t& c = _readCtl;
  uint64_t len = buf->dataLength;
  if (len % 512 != 0) {
    brix_Log(BRIX_MSG_ERROR, "%s: fatal internal error. Data length [%d] not a multiple of %d\n", fnCb, int(len), 512);
    return -1;
  }
  uint64_t pos = 0;
  while (pos < len) {
    if (brix_shutdown_signalled) return -1;
    if (!c.haveEntry && loadEntry() != 0) return -1;
    if (!c.curTarHeaderExtracted) {
      if (c.curIndexType != BTO_INDEXEOF && c.curIndexType != BTO_UNKNOWN && c.curIndexType < BTO_BAD_TYPE) {
        if (brix_GetTarHeader(buf->buffer + pos, &c.curTarHdrBuf) != 0) {
          brix_Log(BRIX_MSG_ERROR, " %s: TAR Header error detected at Index File entry %ld, Archive address: %lu\n", fnCb,
                   long(c.indexEntryNumber), (unsigned long)c.curArchiveAddr);
          brix_Log(BRIX_MSG_ERROR, "        Index File path=%s\n", c.curLocalPath);
          c.failedCount++;
          globalStats->tarHdrErrors++;
          c.skippingFile = true;
          c.tarHeaderError = true;
          markErrors();
          memset(&c.curTarHdrBuf, 0, sizeof c.curTarHdrBuf);
        } else if (level() & BRIX_VERIFY_INFO) {
          compareTarHeaderFields();
        }
      }
      c.curTarHeaderExtracted = true;
    }
    bool hdrFailed = c.tarHeaderError;
    int64_t blocks = act(buf->buffer + pos, len - pos);
    // A header that did not parse says nothing of the local file.
    if (hdrFailed && c.curBlocksHandled == 0 && c.curLocalFileFd >= 0) c.skippingFile = true;
    if (blocks <= 0) {
      brix_Log(BRIX_MSG_ERROR, "%s: fatal internal error - no progress at Index File entry %ld\n", fnCb,
               long(c.indexEntryNumber));
      return -1;
    }
    c.curBlocksHandled += uint32_t(blocks);
    c.curArchiveAddr += uint64_t(blocks) * 512;
    pos += uint64_t(blocks) * 512;
    if (c.curBlocksHandled < c.curBlockCount) continue;
    c.indexEntryCount--;
    if (!c.fileHadError) c.successCount++;
    c.haveEntry = false;
    c.curTarHeaderExtracted = false;
    if (c.curLocalFileFd >= 0) {
      brix_Log(BRIX_MSG_ERROR, "%s: fatal internal error - all blocks processed according to Index File\n", fnCb);
      brix_Log(BRIX_MSG_ERROR, "     but local file %s still open\n", c.curLocalPath);
      closeLocal(fnCb);
    }
  }
  return 0;
}

int brix_VerifyFileRange(uint32_t controlFlags, int archiveFd, int archiveResidency, int indexFd, int indexResidency,
                         uint64_t ixStart, uint64_t ixCount, uint64_t ixStartBlock, uint64_t ixEndBlock,
                         verifyStats_t* stats) {
  readCtl_t& c = _readCtl;
  globalStats = stats;
  unsigned char* keepBuf = c.localFileBuf;
  uint32_t keepSize = c.localFileBufsize;
  memset(static_cast<void*>(&c), 0, sizeof c);
  c.localFileBuf = keepBuf;
  c.localFileBufsize = keepSize;
  c.controlFlags = controlFlags;
  c.index_file_residency = indexResidency;
  c.index_Fd = indexFd;
  c.indexEntryNumber = int64_t(ixStart) - 1;
  c.indexEntryCount = int32_t(ixCount);
  c.archiveFd = archiveFd;
  c.curLocalFileFd = -1;
  c.curLocalPath = static_cast<char*>(BRIX_MALLOC(BRIX_MAX_PATH + 1));
  if (!c.curLocalPath) return -1;
  c.curLocalPath[0] = '\0';
  if (atCompare() && !c.localFileBuf) {
    c.localFileBufsize = uint32_t(brix_iobufsize > 0 ? brix_iobufsize : 8388608);
    c.localFileBuf = static_cast<unsigned char*>(BRIX_MALLOC(c.localFileBufsize));
    if (!c.localFileBuf) {
      free(c.curLocalPath);
      c.curLocalPath = nullptr;
      return -1;
    }
  }
  (void)archiveResidency;
  double t = 0;
  int rc = brix_ReadArchiveRange(archiveFd, ixStartBlock * 512, (ixEndBlock - ixStartBlock) * 512, verifyCallbackCtl, &t);
  if (rc == 0 && (c.indexEntryCount != 0 || c.haveEntry)) rc = -1;
  if (rc < 0) brix_Log(BRIX_MSG_ERROR, "Verify aborted\n");
  closeLocal(fnCb);
  free(c.curLocalPath);
  c.curLocalPath = nullptr;
  return rc < 0 ? -1 : 0;
}
