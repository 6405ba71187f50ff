// Archives kept in the storage service: their attributes, the stripe values
// the read pipeline sizes itself by, opening them (waiting out busy answers
// and recalls) and positioning them.
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

#include "brix_lfx.h"
#include "brix_store_file.h"
#include "ozu_util.h"
#include "ozu_xfercore.h"
#include "qel_threads.h"
#include "quor_api.h"
#include "quor_convert.h"

extern int brix_index_residency;

int brix_QuorGetArchiveXAttrs(struct stat* st) { return brix_GetArchiveXAttrs(BRIX_QUOR_FILE, st); }

int brix_ReadArchiveStripes(void) {
  struct stat st;
  if (brix_QuorGetArchiveXAttrs(&st) != 0) return -1;
  return brix_GetArchiveStripeInfo((brix_option_flags & BRIX_OPT_NOSTAGE) ? 1 : 0, &brix_archive_xattr);
}

int brix_QuorOpenArchiveFile(int flags, struct stat* st) {
  double start = double_time();
  quor_Attrs_t attrs;
  memset(&attrs, 0, sizeof attrs);
  int rc = quor_GetListAttrs(brix_archive, &attrs);
  if (rc != 0) {
    if (rc == -2) brix_Log(BRIX_MSG_ERROR, "[FATAL] no such QUOR archive file: %s\n", brix_archive);
    else brix_Log(BRIX_MSG_ERROR, "[FATAL] error %d opening QUOR archive file %s\n", rc, brix_archive);
    brix_SetExitCode(72);
    return rc < 0 ? rc : -1;
  }
  if (attrs.Type != 129 && attrs.Type != 130 && attrs.Type != 131) {
    brix_Log(BRIX_MSG_ERROR, "[FATAL] Archive file %s is a directory or junction\n", brix_archive);
    brix_SetExitCode(72);
    return -1;
  }
  if (brix_option_flags & BRIX_OPT_NOSTAGE) flags |= O_NONBLOCK;
  int fd;
  // A busy or still recalling archive is waited for as long as it lasts.
  while ((fd = quor_Open(brix_archive, flags, 0666, nullptr, nullptr, nullptr)) == -11 || fd == -6005 ||
         fd == -1411) {
    if (brix_shutdown_signalled) break;
    ozugw_ThreadSleep(10, 0);
  }
  brix_StatusMsg(0, "ArchiveFile Open Time %.3f seconds", double_time() - start);
  if (fd < 0) {
    if (fd == -2) brix_Log(BRIX_MSG_ERROR, "[FATAL] no such QUOR archive file: %s\n", brix_archive);
    else if (fd == -21) brix_Log(BRIX_MSG_ERROR, "[FATAL] QUOR archive file is a directory: %s\n", brix_archive);
    else if (fd == -13) brix_Log(BRIX_MSG_ERROR, "[FATAL] no permission to open QUOR archive file: %s\n", brix_archive);
    else brix_Log(BRIX_MSG_ERROR, "[FATAL] error %d opening QUOR archive file %s\n", fd, brix_archive);
    brix_SetExitCode(72);
    return -1;
  }
  if (brix_QuorGetArchiveXAttrs(st) != 0) {
    quor_Close(fd);
    return -1;
  }
  return fd;
}

int brix_QuorPositionFile(int fd, uint64_t offset, int origin, int direction, uint64_t* newOffset) {
  uint64_t out = 0;
  int nospace = 0;
  for (;;) {
    int rc = quor_SetFileOffset(fd, offset, origin, direction, &out);
    if (rc == 0) break;
    if (rc == -28) {
      brix_Log(BRIX_MSG_WARNING, "\"No Space\" error seeking on QUOR-resident file - delaying/retrying");
      if (++nospace > 5) return -1;
      ozugw_ThreadSleep(30, 0);
      continue;
    }
    brix_Log(BRIX_MSG_ERROR, "Error %d seeking on QUOR-resident file. Type=%s Dir=%s Offset=%s\n", rc,
             posToString(origin), directionToString(direction), u64tostrwc(offset));
    return -1;
  }
  if (brix_debug_level >= 2) {
    char t[32];
    fprintf(stderr, "/debug/ returned offset from quor_SetFileOffset = %s\n", u64tostr_r(out, t));
  }
  if (newOffset) *newOffset = out;
  return 0;
}

int brix_ReadArchiveRange(int archiveFd, uint64_t startAddr, uint64_t bytesToRead,
                          io_buffer_callback_t callback, double* xferTime) {
  if (brix_filetype == BRIX_QUOR_FILE)
    return brix_CopyFromQUORArchive(archiveFd, startAddr, bytesToRead, callback, xferTime);
  if (brix_filetype == BRIX_REMOTE_FILE)
    return brix_CopyFromRemoteArchive(archiveFd, startAddr, bytesToRead, callback, xferTime);
  return brix_CopyFromLocalArchive(archiveFd, startAddr, bytesToRead, callback, xferTime);
}

void brix_NoteTapeFetch(void) {
  if (brix_filetype == BRIX_QUOR_FILE && brix_archive_is_tape)
    console_message("Fetching Archive file from tape - this may take a while", "");
}

int brix_IndexResidency(void) {
  if (brix_index_residency >= 0) return brix_index_residency;
  return brix_filetype == BRIX_QUOR_FILE ? BRIX_QUOR_FILE : BRIX_LOCAL_FILE;
}

int brix_IndexOpenResidency(void) {
  if (brix_index_residency < 0 && brix_filetype == BRIX_REMOTE_FILE) return BRIX_REMOTE_FILE;
  return brix_IndexResidency();
}

int brix_CloseFile(int fd, int residency) {
  if (residency == BRIX_QUOR_FILE || residency == BRIX_REMOTE_FILE) return quor_Close(fd);
  return close(fd);
}

int brix_index_residency = -1;

int brix_CopyIndexToLocal(int* indexFd) {
  static const char* me = "brix_CopyIndexToLocal";
  if (brix_IndexResidency() != BRIX_QUOR_FILE) return 0;
  if (brix_CreateTmpIndexFile() != 0) return -1;
  uint64_t total = brix_index_filesize, done = 0;
  std::vector<unsigned char> buf(4 << 20);
  uint64_t off = 0;
  int rc = brix_QuorPositionFile(*indexFd, 0, SEEK_SET, 0, &off);
  while (rc == 0 && done < total) {
    size_t want = size_t(std::min<uint64_t>(buf.size(), total - done));
    ssize_t n = brix_BlockRead(*indexFd, brix_index_filename, BRIX_QUOR_FILE, want, buf.data());
    if (n != ssize_t(want) || write(brix_tmpIndexFD, buf.data(), want) != ssize_t(want)) rc = -1;
    else done += want;
  }
  if (rc != 0) {
    // A failed or short copy is never read as the index.
    brix_Log(BRIX_MSG_ERROR, "%s: error copying index file %s to %s\n", me, brix_index_filename,
             brix_tmpIndexFile);
    brix_SetExitCode(72);
    close(brix_tmpIndexFD);
    brix_tmpIndexFD = -1;
    unlink(brix_tmpIndexFile);
    return -1;
  }
  quor_Close(*indexFd);
  *indexFd = brix_tmpIndexFD;
  brix_tmpIndexFD = -1;
  brix_index_residency = BRIX_LOCAL_FILE;
  if (lseek(*indexFd, off_t(BIF_HDR_SIZE), SEEK_SET) < 0) return -1;
  return 0;
}
