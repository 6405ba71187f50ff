// After a create: each entry of the temporary index is brought in line with
// what the transfer did (failed members become phantoms, CRCs are filled
// in), and the finished index is put where the archive lives.
//
// A local or piped archive's temporary index is adjusted in place, batch by
// batch, rewriting only the batches that changed; create then renames it to
// the index path.
#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <new>

#include "brix_blockio.h"
#include "quor_api.h"
#include "brix_index.h"
#include "brix_lfx.h"

namespace {

void copyFailureNote() {
  brix_Log(BRIX_MSG_INFO, "    A \"rebuild_index\" run will be needed to (re)create the\n");
  brix_Log(BRIX_MSG_INFO, "    Index File for this brix file. See the man page for details\n");
}

ssize_t preadFull(int fd, void* buf, size_t count, off_t offset) {
  size_t got = 0;
  while (got < count) {
    ssize_t n = pread(fd, static_cast<char*>(buf) + got, count - got, offset + off_t(got));
    if (n < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    if (n == 0) break;
    got += size_t(n);
  }
  return ssize_t(got);
}

ssize_t pwriteFull(int fd, const void* buf, size_t count, off_t offset) {
  size_t done = 0;
  while (done < count) {
    ssize_t n = pwrite(fd, static_cast<const char*>(buf) + done, count - done, offset + off_t(done));
    if (n < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    if (n == 0) {
      errno = EIO;
      return -1;
    }
    done += size_t(n);
  }
  return ssize_t(done);
}

}  // namespace

void brix_AdjustIndexEntry(int64_t ordinal, const bif_entry_t* in, bif_entry_t* out) {
  memcpy(out, in, sizeof *out);
  if (out->bent_type != BTO_FILE && out->bent_type != BTO_HARDLINK) return;
  if (brix_GetMemberFileXferSuccess(ordinal) != 0) {
    out->bent_flags |= BENT_FLAG_PHANTOM | BENT_FLAG_DELETED;
    memset(out->bent_prefix, 0, sizeof out->bent_prefix);
    memset(out->bent_name, 0, sizeof out->bent_name);
    strcpy(out->bent_name, "/dev/null");
    return;
  }
  // A rebuilt index has no CRCs to give: a flag over a CRC of 0 would make
  // every later check fail.
  if ((brix_option_flags & BRIX_OPT_CRC) && brix_function != BOP_BUILD_INDEX) {
    out->bent_flags |= BENT_FLAG_CRC;
    out->bent_crc32 = brix_GetMemberFileXferCRC(ordinal);
  }
}

int brix_CopyAndAdjustLocalIndex(void) {
  static const char* fn = "brix_CopyAndAdjustLocalIndex";
  // Without CRCs and without failed members no entry changes.
  int64_t transferred = 0, failed = 0;
  brix_GetMemberFileXferSummary(&transferred, &failed);
  if (failed == 0 && !(brix_option_flags & BRIX_OPT_CRC)) return 0;
  console_message("Pass 2: adjusting local Index File entries ", "");
  auto* buf = static_cast<bif_entry_t*>(malloc(BRIX_INDEX_BUFSIZE));
  if (!buf) {
    brix_Log(BRIX_MSG_ERROR, "%s: FATAL: unable to allocate buffer for Index File copy\n", fn);
    copyFailureNote();
    console_message("", "");
    return -1;
  }
  int rc = 0;
  int fd = brix_tmpIndexFD;
  uint64_t first = BIF_HDR_SIZE + uint64_t(brix_annotation_size);
  for (uint64_t i = 0; i < brix_index_entries;) {
    uint64_t n = brix_index_entries - i;
    if (n > BRIX_INDEX_BUFENTRIES) n = BRIX_INDEX_BUFENTRIES;
    off_t at = off_t(first + i * BIF_ENTRY_SIZE);
    ssize_t got = preadFull(fd, buf, size_t(n * BIF_ENTRY_SIZE), at);
    if (got != ssize_t(n * BIF_ENTRY_SIZE)) {
      brix_Log(BRIX_MSG_ERROR, "FATAL: error %d reading %d bytes from index file %s\n",
               got < 0 ? errno : 0, int(n * BIF_ENTRY_SIZE), brix_tmpIndexFile);
      brix_SetExitCode(72);
      rc = -1;
      break;
    }
    bool changed = false;
    for (uint64_t k = 0; k < n; k++) {
      bif_entry_t e = buf[k];
      brix_SwapIndexEntry(&e);
      bif_entry_t adjusted;
      brix_AdjustIndexEntry(int64_t(i + k), &e, &adjusted);
      if (memcmp(&adjusted, &e, sizeof e) != 0) {
        brix_SwapIndexEntry(&adjusted);
        buf[k] = adjusted;
        changed = true;
      }
    }
    if (changed && pwriteFull(fd, buf, size_t(n * BIF_ENTRY_SIZE), at) < 0) {
      brix_Log(BRIX_MSG_ERROR, "%s: Error %d writing temp index file %s\n", fn, errno, brix_tmpIndexFile);
      brix_SetExitCode(72);
      rc = -1;
      break;
    }
    i += n;
  }
  free(buf);
  if (rc == 0 && brix_debug_level >= 1)
    fprintf(stderr, "/debug/Index File %s successfully adjusted in place.\n", brix_tmpIndexFile);
  console_message("", "");
  return rc;
}

int brix_CopyIndexToRemote(void) {
  static const char* fn = "brix_CopyIndexToRemote";
  console_message("copying Index File to remote host", "...Creating file");
  struct stat st;
  // A fetched copy (delete, undelete) is no longer open: open it for the send.
  int ownFd = -1;
  if (brix_tmpIndexFD < 0 && brix_tmpIndexFile) ownFd = brix_tmpIndexFD = open(brix_tmpIndexFile, O_RDONLY | O_CLOEXEC);
  struct ownClose {
    int& fd;
    int own;
    ~ownClose() {
      if (own >= 0) {
        close(own);
        fd = -1;
      }
    }
  } closer{brix_tmpIndexFD, ownFd};
  if (brix_tmpIndexFD < 0 || fstat(brix_tmpIndexFD, &st) != 0) {
    brix_Log(BRIX_MSG_ERROR, "%s: Error %d reading temporary index file %s\n", fn, errno, brix_tmpIndexFile);
    brix_SetExitCode(72);
    copyFailureNote();
    console_message("", "");
    return -1;
  }
  ozugw_LfxUnlink(brix_index_filename);
  lseek(brix_tmpIndexFD, 0, SEEK_SET);
  // The new index takes the mode a new file gets, not the private one of
  // the temporary copy it is sent from.
  {
    mode_t mask = umask(0);
    umask(mask);
    fchmod(brix_tmpIndexFD, 0666 & ~mask);
  }
  transfer_t* X = new (std::nothrow) transfer_t();
  int rc = -1;
  if (X) {
    transfer_t* outer = xfer_ctl;
    xfer_ctl = X;
    rc = brix_LfxSendFile(RMTIO_FILE, X, brix_tmpIndexFD, brix_tmpIndexFile, brix_index_filename, 0, 0,
                          uint64_t(st.st_size), nullptr);
    brix_LfxReleaseRecord(X);
    delete X;
    xfer_ctl = outer;
  }
  console_message("", "");
  if (rc < 0) {
    brix_Log(BRIX_MSG_ERROR, "*** %s: Error on brix_LocalFileSend for temp index file: %s\n", fn,
             brix_index_filename);
    brix_SetExitCode(72);
    copyFailureNote();
    return -1;
  }
  lseek(brix_tmpIndexFD, 0, SEEK_SET);
  if (brix_debug_level >= 1)
    fprintf(stderr, "/debug/Index File %s successfully written to remote system.\n", brix_index_filename);
  return 0;
}

int brix_CopyIndexToQuor(void) {
  static const char* fn = "brix_CopyIndexToQuor";
  console_message("copying Index File to QUOR", "...Creating file");
  constexpr size_t bufSize = 4194304;
  unsigned char* buf = static_cast<unsigned char*>(malloc(bufSize));
  int result = -1;
  int fd = -1;
  struct stat st;
  if (!buf) {
    brix_Log(BRIX_MSG_ERROR, "FATAL: unable to allocate buffer for Index File copy\n");
    copyFailureNote();
    goto done;
  }
  if (fstat(brix_tmpIndexFD, &st) != 0) {
    brix_Log(BRIX_MSG_ERROR, "%s: Error %d reading temporary index file %s\n", fn, errno, brix_tmpIndexFile);
    copyFailureNote();
    goto done;
  }
  {
    quor_cos_hints_t hints, chosen;
    quor_cos_priorities_t pri;
    memset(&hints, 0, sizeof hints);
    memset(&pri, 0, sizeof pri);
    memset(&chosen, 0, sizeof chosen);
    hints.MinFileSize = hints.MaxFileSize = uint64_t(st.st_size);
    pri.MinFileSizePriority = pri.MaxFileSizePriority = 20;
    if (brix_index_cosID >= 1) {
      hints.COSId = unsigned(brix_index_cosID);
      pri.COSIdPriority = 30;
    } else if (brix_index_cosID == 0) {
      acct_rec_t def = 0, cur = 0;
      quor_GetAcct(&def, &cur);
      quorex_SelectCOS(nullptr, uint64_t(st.st_size), brix_UID, brix_GID, uint32_t(cur), copyCount,
                       long(brix_GetParentSubsysID(brix_index_filename)), &hints, &pri);
      if (hints.COSId > 0) brix_index_cosID = int(hints.COSId);
    }
    if (brix_debug_level >= 1)
      fprintf(stderr, "[debug]Index File Hints: COS ID=%d, priority=%d Size=%lu\n", int(hints.COSId),
              int(pri.COSIdPriority), (unsigned long)st.st_size);
    quor_Unlink(brix_index_filename);
    fd = quor_Open(brix_index_filename, O_WRONLY | O_CREAT | O_TRUNC, 0666, &hints, &pri, &chosen);
    if (fd < 0) {
      brix_Log(BRIX_MSG_ERROR, "Error %d on quor_Open (create) for Index File %s\n", fd, brix_index_filename);
      brix_SetExitCode(72);
      copyFailureNote();
      fd = -1;
      goto done;
    }
    if (brix_debug_level >= 1)
      fprintf(stderr, "[debug] successfully opened Index file for writing on FD=%d, COS=[%s] (%d)\n", fd,
              chosen.COSName, int(chosen.COSId));
    if (chosen.COSId != 0) brix_index_cosID = int(chosen.COSId);
    if (brix_index_familyid > 0) {
      int rc = brix_SetFamilyID(brix_index_filename, brix_index_familyid);
      if (rc != 0)
        brix_Log(BRIX_MSG_INFO, "[warning] Error %d returned when trying to set family ID %d for index file '%s'\n",
                 rc, brix_index_familyid, brix_index_filename);
    }
  }
  {
    // The temporary index was adjusted in place already; its bytes go as
    // they stand.
    off_t at = 0;
    while (at < st.st_size) {
      size_t take = size_t(std::min<off_t>(off_t(bufSize), st.st_size - at));
      if (preadFull(brix_tmpIndexFD, buf, take, at) != ssize_t(take)) {
        brix_Log(BRIX_MSG_ERROR, "%s: Error %d reading temporary index file %s\n", fn, errno, brix_tmpIndexFile);
        brix_SetExitCode(72);
        copyFailureNote();
        goto done;
      }
      if (brix_BlockWrite(fd, brix_index_filename, BRIX_QUOR_FILE, take, buf) != ssize_t(take)) {
        copyFailureNote();
        goto done;
      }
      at += off_t(take);
    }
  }
  if (brix_debug_level >= 1) fprintf(stderr, "/debug/Index File %s successfully written to QUOR.\n", brix_index_filename);
  result = 0;
done:
  if (fd >= 0) {
    int rc = quor_Close(fd);
    if (rc != 0) {
      brix_Log(BRIX_MSG_ERROR, "Error %d closing QUOR index file %s\n", rc, brix_index_filename);
    }
  }
  free(buf);
  brix_ExpireSetExpiration(brix_index_filename);
  console_message("", "");
  return result;
}
