// The per-file put driver: opens the local source and the storage sink,
// moves an existing sink aside, runs the chosen method, and after a success
// stamps the file, stores its digest and may remove the local source. A
// failed store never leaves the user with less than before: the partial
// sink is removed and the file moved aside is put back.
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>
#include <utime.h>

#include <string>

#include "ozu_context.h"
#include "ozu_errors.h"
#include "ozu_locks.h"
#include "ozu_log.h"
#include "ozu_util.h"
#include "ozurc.h"
#include "ozuvars.h"
#include "quor_api.h"
#include "quor_convert.h"
#include "xfer_digest.h"
#include "xfer_put.h"
#include "xfer_record.h"

namespace {

// Paths the library sends are at most this long; a longer backup name is
// refused, never cut.
const size_t kMaxQuorPath = 1023;

bool storageMode(transfer_t *ctl) { return ctl->serverRunmode == 1; }

// Namespace calls on the sink's side: the storage service, or the
// gateway's own file system in local run mode.
int sinkUnlink(transfer_t *ctl, const char *path)
{
  if (!storageMode(ctl))
    return ozugw_LfxUnlink(path);
  return ozu_EioRetry([&] { return quor_Unlink(path); });
}

int sinkRename(transfer_t *ctl, const char *from, const char *to)
{
  if (!storageMode(ctl))
    return ozugw_LfxRename(from, to);
  return ozu_EioRetry([&] { return quor_Rename(from, to); });
}

// 0 when an object is at path, -2 when none, else the error.
int sinkLstat(transfer_t *ctl, const char *path)
{
  if (!storageMode(ctl)) {
    struct stat64 st;
    return ozugw_LfxLstat(path, &st);
  }
  quor_stat_t st;
  return quor_Lstat(path, &st);
}

int makeBackupPath(transfer_t *ctl)
{
  free(ctl->backupPath);
  ctl->backupPath = nullptr;
  std::string p = ctl->quorFile.quorPath;
  size_t slash = p.rfind('/');
  size_t lastLen = p.size() - (slash == std::string::npos ? 0 : slash + 1);
  if (lastLen > 256)
    p.back() = '~';
  else
    p += '~';
  if (p.size() > kMaxQuorPath)
    return -86;
  ctl->backupPath = strdup(p.c_str());
  return ctl->backupPath ? 0 : -12;
}

// A name in the sink's directory that no object has: where the existing
// sink waits while the new one is written. 0 or negative.
int makeAsidePath(transfer_t *ctl)
{
  free(ctl->backupPath);
  ctl->backupPath = nullptr;
  std::string dir = ctl->quorFile.quorPath;
  size_t slash = dir.rfind('/');
  dir = slash == std::string::npos ? std::string() : dir.substr(0, slash + 1);
  for (int i = 0; i < 100; ++i) {
    char name[96];
    snprintf(name, sizeof name, ".ozu-put-%ld-%d-%d-%ld", long(getpid()), ctl->xferSerialNumber, i,
             long(time(nullptr)));
    std::string p = dir + name;
    if (p.size() > kMaxQuorPath)
      return -86;
    int rc = sinkLstat(ctl, p.c_str());
    if (rc == -2) {
      ctl->backupPath = strdup(p.c_str());
      return ctl->backupPath ? 0 : -12;
    }
    if (rc < 0)
      return rc;
  }
  return -17;
}

int openLocal(transfer_t *ctl)
{
  local_file_info_t *lf = &ctl->localFile;
  const char *path = lf->localPath;
  if (strcmp(path, "-") == 0) {
    lf->localFD = STDIN_FILENO;
    lf->pipedFile = lf->stdinoutFlag = 1;
  } else if (path[0] == '|') {
    FILE *f = popen(path + 1, "r");
    if (f == nullptr) {
      perror(path + 1);
      ozu_ReportExit(64, "*** Error on pipe(input)command: %s", path + 1);
      return -1;
    }
    lf->localFileStruct = f;
    lf->localFD = fileno(f);
    lf->pipedFile = 1;
  } else {
    int fd;
    do
      fd = open(path, O_RDONLY | O_NONBLOCK);
    while (fd < 0 && errno == EINTR);
    if (fd < 0) {
      if (errno == EACCES)
        ozu_ReportExit(66, "*** %s: no permission to read %s", verb, path);
      else
        ozu_ReportExit(66, "*** %s: open(%s) for read failed. error=%d", verb, path, errno);
      return -1;
    }
    lf->localFD = fd;
    ctl->srcMode = int(lf->localStat.st_mode & 0777);
  }
  if (lf->pipedFile) {
    ctl->srcMode = 0400;
    lf->localSize = uint64_t(1) << 62;
  } else {
    lf->localSize = ozu_FileSizeToU64(&lf->localStat);
    lf->gpfsFlag = check_gpfs_file(lf->localFD);
  }
  lf->fileOpen = 1;
  return 0;
}

// The existing sink: 1 found, 0 none, -1 refused or unreadable.
int examineSink(transfer_t *ctl)
{
  quor_file_info_t *qf = &ctl->quorFile;
  const char *path = qf->quorPath;
  if (!storageMode(ctl)) {
    struct stat64 st;
    int rc = ozugw_LfxStat(path, &st);
    if (rc == -2) {
      ctl->Flags &= ~uint32_t(FX_RETRANSFER_REQ);
      return 0;
    }
    if (rc < 0) {
      ozu_StorageError(70, rc, verb, path);
      return -1;
    }
    static_assert(sizeof(struct stat) == sizeof(struct stat64), "one stat layout");
    memcpy(&qf->lfxAttrs, &st, sizeof st);
    qf->attrs.Attrs.DataLength = uint64_t(st.st_size);
    if (S_ISREG(st.st_mode))
      return 1;
    ozu_ReportExit(64, "*** Attempt to overwrite REMOTE directory or special file: %s", path);
    return -1;
  }
  int rc = ozu_EioRetry([&] { return quor_FileGetXAttributes(path, 2, 0, &qf->attrs); });
  if (rc == -2) {
    ctl->Flags &= ~uint32_t(FX_RETRANSFER_REQ);
    return 0;
  }
  if (rc < 0) {
    ozu_StorageError(70, rc, verb, path);
    return -1;
  }
  qf->haveAttrs = 1;
  ozu_FreeXAttrsPVList(&qf->attrs);
  unsigned type = qf->attrs.Attrs.Type;
  if (type == 129 || type == 131)
    return 1;
  if (type == 130) {
    quor_stat_t st;
    rc = ozu_EioRetry([&] { return quor_Stat(path, &st); });
    if (rc < 0) {
      ozu_StorageError(70, rc, verb, path);
      return -1;
    }
    if (S_ISREG(st.st_mode))
      return 1;
  }
  ozu_ReportExit(64, "*** Attempt to overwrite QUOR directory/junction/fileset root: %s", path);
  return -1;
}

// Moves the existing sink out of the way: to the "~" backup with -B, else
// to a name of its own until the new file is complete. 0 or -1.
int moveSinkAside(transfer_t *ctl)
{
  const char *path = ctl->quorFile.quorPath;
  bool backup = keyset && keyset->backup;
  int rc = backup ? makeBackupPath(ctl) : makeAsidePath(ctl);
  if (rc < 0) {
    if (rc == -86) {
      ozu_ReportExit(72, "*** %s: backup path for %s is longer than %d characters - not stored", verb, path,
             int(kMaxQuorPath));
    } else if (backup) {
      ozu_ReportExit(78, "*** Error creating QUOR backup pathname for [%s]\n", path);
    } else {
      ozu_StorageError(72, rc, "quor_Rename", path);
    }
    return -1;
  }
  const char *aside = ctl->backupPath;
  if (backup) {
    int u = sinkUnlink(ctl, aside);
    if (u == 0)
      ozu_LogFileUnlink(aside, 0);
  }
  rc = sinkRename(ctl, path, aside);
  if (rc < 0) {
    ozu_StorageError(72, rc, "quor_Rename", path);
    return -1;
  }
  ctl->backupMade = 1;
  ctl->backupIsAside = backup ? 0 : 1;
  if (backup)
    ozu_LogFileRename(path, aside);
  return 0;
}

void setHints(transfer_t *ctl, ozu_context_t *ctx)
{
  quor_file_info_t *qf = &ctl->quorFile;
  memset(&qf->hintsIn, 0, sizeof qf->hintsIn);
  memset(&qf->hintsPri, 0, sizeof qf->hintsPri);
  memset(&qf->hintsOut, 0, sizeof qf->hintsOut);
  bool piped = ctl->localFile.pipedFile;
  if (keyset && keyset->autocosFlag && ctx != nullptr) {
    uint32_t subsys = ozu_GetParentSubsysID(qf->quorPath);
    int rc = quorex_SelectCOS(ctx->namedCosList, piped ? 0 : ctl->localFile.localSize,
                              uid_t(ctx->curLogin.uid), gid_t(ctx->curLogin.gid), ctx->curLogin.acctId,
                              keyset->copies, long(subsys), &qf->hintsIn, &qf->hintsPri);
    if (rc >= 0)
      return;
    memset(&qf->hintsIn, 0, sizeof qf->hintsIn);
    memset(&qf->hintsPri, 0, sizeof qf->hintsPri);
  }
  qf->hintsIn.COSId = keyset ? unsigned32(keyset->cos) : 0;
  qf->hintsPri.COSIdPriority = 30;
  if (piped) {
    qf->hintsIn.Flags |= 0x1;
  } else {
    qf->hintsIn.MinFileSize = qf->hintsIn.MaxFileSize = ctl->localFile.localSize;
    qf->hintsPri.MinFileSizePriority = qf->hintsPri.MaxFileSizePriority = 20;
  }
}

int openFiles(transfer_t *ctl)
{
  local_file_info_t *lf = &ctl->localFile;
  quor_file_info_t *qf = &ctl->quorFile;
  lf->fileOpen = lf->stdinoutFlag = lf->pipedFile = lf->gpfsFlag = 0;
  lf->localFD = -1;
  lf->localFileStruct = nullptr;
  qf->fileOpen = 0;
  qf->quorFD = -1;
  ctl->backupMade = ctl->backupIsAside = 0;
  double t0 = double_time();
  int result = -1;
  ozu_context_t *ctx = ozu_XferContext(ctl);
  const char *path = qf->quorPath;
  bool restart;
  int found;
  if (openLocal(ctl) < 0)
    goto out;
  found = examineSink(ctl);
  if (found < 0)
    goto out;
  restart = (ctl->Flags & FX_RETRANSFER_REQ) != 0;
  if (found && !restart && moveSinkAside(ctl) < 0)
    goto out;
  if (!storageMode(ctl)) {
    // The gateway opens and writes the file itself.
    result = 0;
    goto out;
  }
  setHints(ctl, ctx);
  {
    int oflag = O_WRONLY | O_CREAT | (restart ? 0 : O_TRUNC);
    mode_t mode = lf->pipedFile ? 0666 : mode_t((lf->localStat.st_mode & 0577) | 0200);
    int fd;
    if (ctx != nullptr && ctx->io_xfer_mode == 3) {
      uint32_t x = 1 | (ctx->xconnector == 1 ? 2 : 0);
      fd = ozu_EioRetry([&] {
        return quor_OpenX(x, path, oflag, mode, &qf->hintsIn, &qf->hintsPri, &qf->hintsOut);
      });
    } else {
      fd = ozu_EioRetry([&] { return quor_Open(path, oflag, mode, &qf->hintsIn, &qf->hintsPri, &qf->hintsOut); });
    }
    if (fd < 0) {
      ozu_StorageError(64, fd, "quor_Open (create)", path);
      goto out;
    }
    qf->quorFD = fd;
    qf->fileOpen = 1;
  }
  if (ctx != nullptr && ctx->defaultFamilyID > 0) {
    int rc = ozu_SetFamilyID(path, ctx->defaultFamilyID);
    if (rc != 0) {
      ozu_ReportExit(64, "*** Error %d trying to set file family ID %d for file <%s>", rc, ctx->defaultFamilyID, path);
      goto out;
    }
  }
  qf->cosID = restart && found ? int32_t(qf->attrs.Attrs.COSId) : int32_t(qf->hintsOut.COSId);
  {
    int rc = ozu_EioRetry([&] { return quor_FileGetXAttributes(path, 4, 0, &qf->attrs); });
    if (rc < 0) {
      ozu_StorageError(64, rc, "quor_FileGetXAttributes (for striping params)", path);
      goto out;
    }
    ozu_FreeXAttrsPVList(&qf->attrs);
    qf->haveAttrs = 1;
  }
  if (ctx != nullptr && ctx->curLogin.uid == ctx->rootUid && !lf->pipedFile && !restart) {
    uid_t uid;
    gid_t gid;
    if (ctl->Flags & FX_PRESERVE_OWNER) {
      uid = lf->localStat.st_uid;
      gid = lf->localStat.st_gid;
    } else if (getuid() != 0) {
      uid = getuid();
      gid = getgid();
    } else {
      uid = 0;
      gid = getegid();
    }
    int rc = ozu_EioRetry([&] { return quor_Chown(path, uid, gid); });
    if (rc < 0)
      ozu_StorageError(70, rc, "quor_Chown", path);
  }
  result = 0;
out:
  ctl->openTime = double_time() - t0;
  if (debug >= 2)
    fprintf(listF, "/debug/files opened. Elapsed time: %.1f seconods\n", ctl->openTime);
  return result;
}

int positionFiles(transfer_t *ctl)
{
  ctl->localFile.currentPos = 0;
  ctl->quorFile.currentPos = 0;
  if (ctl->Flags & FX_RETRANSFER_REQ) {
    uint64_t stored = ctl->quorFile.attrs.Attrs.DataLength;
    if (ctl->localFile.localSize < stored) {
      char a[32], b[32];
      ozu_ReportExit(0, "*** local file size=%s, QUOR file size=%s. retransmit not performed",
             u64tostr_r(ctl->localFile.localSize, a), u64tostr_r(stored, b));
      return -1;
    }
    ctl->Flags |= FX_POSITION_SRC | FX_POSITION_SINK;
    ctl->sinkOffset = stored;
    ctl->srcOffset = stored;
  }
  if ((ctl->Flags & FX_POSITION_SINK) && !storageMode(ctl)) {
    ctl->quorFile.currentPos = ctl->sinkOffset;
  } else if (ctl->Flags & FX_POSITION_SINK) {
    uint64_t out = 0;
    int fd = ctl->quorFile.quorFD;
    uint64_t off = ctl->sinkOffset;
    int rc = ozu_EioRetry([&] { return quor_SetFileOffset(fd, off, 0, 0, &out); });
    if (rc < 0) {
      ozu_StorageError(70, rc, verb, ctl->quorFile.quorPath);
      return -1;
    }
    ctl->quorFile.currentPos = ctl->sinkOffset;
  }
  if ((ctl->Flags & FX_POSITION_SRC) && !ctl->localFile.pipedFile) {
    if (lseek(ctl->localFile.localFD, off_t(ctl->srcOffset), SEEK_SET) < 0) {
      ozu_ReportExit(70, "*** Error %d positioning local file %s", errno, ctl->localFile.localPath);
      return -1;
    }
    ctl->localFile.currentPos = ctl->srcOffset;
  }
  return 0;
}

void determineTransferMode(transfer_t *ctl)
{
  ozu_context_t *ctx = ozu_XferContext(ctl);
  bool local = ctl->serverRunmode == 2;
  bool lfm = (ctl->Flags & FX_USE_LFM_IO) || (!(ctl->Flags & FX_DISABLE_LFM_IO) && globalDefs.enableLfmIo);
  const char *line;
  if (ctx != nullptr && ctx->firewallMode) {
    ctl->ioMode = local ? IOMODE_LOCAL : IOMODE_RWX;
    line = local ? "/debug/selected LOCAL write method in firewall mode \n" : "/debug/selected extended write mode \n";
  } else if (ctl->localFile.pipedFile) {
    ctl->ioMode = local ? IOMODE_LOCAL : IOMODE_RW;
    line = local ? "/debug/selected LOCAL write method for piped file\n"
                 : "/debug/selected normal I/O mode - reading from a pipe\n";
  } else if (local) {
    ctl->ioMode = IOMODE_LOCAL;
    line = "/debug/selected <LOCAL> mode for this transfer\n";
  } else if (lfm && ozu_LFM_IsCandidateFile(ctl)) {
    ctl->ioMode = IODMODE_LFM;
    line = "/debug/selected Local File Mover transfer mode\n";
  } else {
    ctl->ioMode = IOMODE_IOD;
    line = "/debug/selected IOD/IOR transfer mode \n";
  }
  if (debug >= 1)
    fprintf(listF, "%s", line);
}

void preserveTimeStamp(transfer_t *ctl)
{
  if (!storageMode(ctl) || ctl->localFile.pipedFile || !(ctl->Flags & FX_PRESERVE_TIME))
    return;
  struct utimbuf t;
  t.actime = ctl->localFile.localStat.st_atime;
  t.modtime = (ctl->Flags & FX_CURRENT_TIME) ? time(nullptr) : ctl->localFile.localStat.st_mtime;
  const char *path = ctl->quorFile.quorPath;
  int rc = ozu_EioRetry([&] { return quor_Utime(path, &t); });
  if (rc < 0)
    ozu_StorageError(0, rc, "preserving timestamp", path);
}

void reselectCos(transfer_t *ctl)
{
  ozu_context_t *ctx = ozu_XferContext(ctl);
  if (!storageMode(ctl) || !ctl->localFile.pipedFile || !keyset || !keyset->autocosFlag || !ctx)
    return;
  quor_file_info_t *qf = &ctl->quorFile;
  quor_cos_hints_t hints;
  quor_cos_priorities_t pri;
  memset(&hints, 0, sizeof hints);
  memset(&pri, 0, sizeof pri);
  uint32_t subsys = ozu_GetParentSubsysID(qf->quorPath);
  if (quorex_SelectCOS(ctx->namedCosList, qf->currentPos, uid_t(ctx->curLogin.uid), gid_t(ctx->curLogin.gid),
                       ctx->curLogin.acctId, keyset->copies, long(subsys), &hints, &pri) < 0)
    return;
  int newId = int(hints.COSId);
  if (newId == 0 || newId == qf->cosID)
    return;
  if (debug >= 1)
    fprintf(listF, "/debug/changing COS from %d to %d, based on filesize of %s\n", qf->cosID, newId,
            qf->quorPath);
  quor_fileattr_t in, out;
  memset(&in, 0, sizeof in);
  memset(&out, 0, sizeof out);
  in.Attrs.COSId = unsigned32(newId);
  quor_fileattrbits_t sel = quor_fileattrbits_t(1) << 56;
  const char *path = qf->quorPath;
  int rc = ozu_EioRetry([&] { return quor_FileSetAttributes(path, sel, &in, &out); });
  if (debug >= 1)
    fprintf(listF, "/debug/change-COS attempt from %d to %d returned %d \n", qf->cosID, newId, rc);
  if (rc == 0) {
    qf->hintsOut.COSId = unsigned32(newId);
    qf->cosID = newId;
  } else if (rc != -1) {
    ozu_StorageError(72, rc, "quor_FileSetAttributes", path);
    ozu_ReportExit(72, "Error %d attempting to change COS from %d to %d for %s\n", rc, qf->cosID, newId, path);
  }
}

void checkFileModifed(transfer_t *ctl)
{
  if (ctl->localFile.pipedFile)
    return;
  struct stat st;
  if (stat(ctl->localFile.localPath, &st) != 0) {
    perror("local file stat()");
    return;
  }
  if (st.st_mtime > ctl->localFile.localStat.st_mtime) {
    ozu_ReportExit(0, "*** WARNING WARNING WARNING WARNING ***");
    ozu_ReportExit(0, "Local file %s was modified while being copied to QUOR!", ctl->localFile.localPath);
    if (ctl->Flags & FX_DELETE_AFTER) {
      ctl->Flags &= ~uint32_t(FX_DELETE_AFTER);
      ozu_ReportExit(0, "*** Note: delete-after-transfer option has been disabled for this file");
    }
  }
}

void removeLocalFile(transfer_t *ctl)
{
  if (!(ctl->Flags & FX_DELETE_AFTER) || ctl->localFile.pipedFile)
    return;
  uint64_t stored;
  const char *path = ctl->quorFile.quorPath;
  if (storageMode(ctl)) {
    quor_fileattr_t a;
    int rc = ozu_EioRetry([&] { return quor_FileGetAttributes(path, &a); });
    if (rc < 0) {
      ozu_StorageError(74, rc, "quor_FileGetAttributes", path);
      return;
    }
    stored = a.Attrs.DataLength;
  } else {
    stored = ctl->postXferFileSize;
  }
  if (stored != ctl->localFile.localSize) {
    ozu_ReportExit(74, "Local file %s and %s file %s are not the same size. Local file will not be deleted",
           ctl->localFile.localPath, storageMode(ctl) ? "QUOR" : "REMOTE", path);
    return;
  }
  if (unlink(ctl->localFile.localPath) != 0) {
    int e = errno;
    perror("unlink");
    ozu_ReportExit(0, "*** WARNING: Error %d trying to unlink local file %s", e, ctl->localFile.localPath);
  }
}

// After the store: a file moved aside is removed on success (a "~" backup
// stays); on failure the partial sink goes and the old file comes back.
void settleSink(transfer_t *ctl, int result, bool sinkOpened)
{
  const char *path = ctl->quorFile.quorPath;
  if (result == 0) {
    if (ctl->backupMade && ctl->backupIsAside) {
      const char *aside = ctl->backupPath;
      int rc = sinkUnlink(ctl, aside);
      if (rc < 0)
        ozu_StorageError(72, rc, "quor_Unlink[existing file]", aside);
      else
        ozu_LogFileUnlink(aside, 0);
    }
    return;
  }
  if (ctl->Flags & FX_KEEP_ON_ERROR)
    return;
  if ((sinkOpened || !storageMode(ctl)) && !(ctl->Flags & FX_RETRANSFER_REQ)) {
    int rc = sinkUnlink(ctl, path);
    if (rc < 0 && rc != -2)
      ozu_StorageError(74, rc, "quor_Unlink", "unlinking partial quor output file");
    else if (rc == 0)
      ozu_LogFileUnlink(path, 0);
  }
  if (ctl->backupMade) {
    const char *aside = ctl->backupPath;
    int rc = sinkRename(ctl, aside, path);
    if (rc < 0)
      ozu_StorageError(74, rc, "quor_Rename", "renaming QUOR backup path to original");
  }
}

}  // namespace

int writeQuorFile(transfer_t *ctl)
{
  int result = -1;
  bool sinkOpened = false;
  if (openFiles(ctl) < 0)
    goto finish;
  if (ctl->localFile.pipedFile && ((ctl->Flags & FX_RETRANSFER_REQ) || ctl->srcOffset != 0 || ctl->sinkOffset != 0)) {
    ozu_ReportExit(64, "*** Partial file transfers not supported with piped local files");
    goto finish;
  }
  if (positionFiles(ctl) < 0) {
    // A restart whose stored copy is longer leaves that copy untouched.
    goto finish;
  }
  if (ctl->transferLength == 0)
    ctl->transferLength = ctl->localFile.localSize - ctl->srcOffset;
  if (ctl->serverRunmode == 1 && ctl->transferLength == 0) {
    if ((ctl->Flags & FX_CKSUM_ENABLED) && ctl->hashInfo.theHash != nullptr)
      ozu_FDigest_FinishHashDigest(ctl);
    result = 0;
  } else {
    determineTransferMode(ctl);
    switch (ctl->ioMode) {
    case IOMODE_IOD:
      result = write_quor_parallel(ctl);
      break;
    case IODMODE_LFM:
      result = ozu_LFM_WriteFile(ctl);
      break;
    case IOMODE_RW:
    case IOMODE_RWX:
      result = write_quor_regular(ctl);
      break;
    case IOMODE_LOCAL:
      result = ozu_LocalFileSend(ctl);
      ctl->postXferFileSize = ctl->sinkOffset + ctl->totalBytesMoved;
      break;
    default:
      result = -1;
      break;
    }
  }
  if (result == 0 && (ctl->Flags & FX_CKSUM_ENABLED) && ctl->hashInfo.theHash != nullptr &&
      ctl->hashInfo.ozuCksumType != 0 && ctl->hashInfo.hashValue == nullptr) {
    // The digest must cover every byte stored, or it is not stored at all.
    ozu_ReportExit(71, "*** %s: digest of %s was not completed - not stored", "writeQuorFile", ctl->quorFile.quorPath);
    ctl->Flags &= ~uint32_t(FX_CKSUM_ENABLED);
  }
finish:
  if (result < 0) {
    int expected = 0;
    exitcode.compare_exchange_strong(expected, 74);
  }
  sinkOpened = ctl->quorFile.fileOpen != 0;
  ozu_CloseFiles(ctl);
  if (result != 0) {
    ozu_XferTableLock();
    ozu_FailedXfers++;
    ozu_XferTableUnlock();
  }
  settleSink(ctl, result, sinkOpened);
  if (result == 0) {
    preserveTimeStamp(ctl);
    reselectCos(ctl);
    checkFileModifed(ctl);
    removeLocalFile(ctl);
    ozu_UDA_SetExpirationTime(ctl, 0);
    if (ctl->Flags & FX_CKSUM_ENABLED)
      ozu_FDigest_SetFileChecksum(ctl);
  }
  ozu_LogFileTransfer(result, 0, 3, ctl);
  return result;
}
