// The per-file get driver: opens both ends, cuts the file into pieces,
// positions both ends for each, runs the chosen method, and closes,
// stamps and logs the file whatever its result.
#include <errno.h>
#include <stdarg.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utime.h>

#include "ozu_context.h"
#include "ozu_errors.h"
#include "ozu_locks.h"
#include "ozu_log.h"
#include "ozu_misc.h"
#include "ozu_util.h"
#include "ozurc.h"
#include "ozuvars.h"
#include "quor_api.h"
#include "quor_convert.h"
#include "xfer_digest.h"
#include "xfer_record.h"

namespace {

const char *modeName(transfer_t *ctl) { return ctl->serverRunmode == 1 ? "QUOR" : "Remote"; }

uint64_t sourceSize(transfer_t *ctl)
{
  return ctl->serverRunmode == 1 ? ctl->quorFile.attrs.Attrs.DataLength
                                 : uint64_t(ctl->quorFile.lfxAttrs.st_size);
}

int makeBackupPath(transfer_t *ctl)
{
  free(ctl->backupPath);
  ctl->backupPath = nullptr;
  const char *p = ctl->localFile.localPath;
  const char *last = strrchr(p, '/');
  size_t lastLen = strlen(last ? last + 1 : p);
  size_t n = strlen(p);
  char *b = static_cast<char *>(malloc(n + 2));
  if (b == nullptr)
    return -1;
  memcpy(b, p, n + 1);
  if (lastLen <= 256) {
    b[n] = '~';
    b[n + 1] = '\0';
  } else {
    b[n - 1] = '~';
  }
  ctl->backupPath = b;
  return 0;
}

bool pieceHasSinkOffset(const xfer_offset_t *list, int count)
{
  for (int i = 0; i < count; ++i)
    if (list[i].sinkOffset != -1)
      return true;
  return false;
}

int openFiles(transfer_t *ctl, const xfer_offset_t *list, int count)
{
  local_file_info_t *lf = &ctl->localFile;
  quor_file_info_t *qf = &ctl->quorFile;
  int result = -1;
  lf->fileOpen = 0;
  lf->localFD = -1;
  lf->pipedFile = lf->stdinoutFlag = lf->gpfsFlag = 0;
  lf->localFileStruct = nullptr;
  qf->fileOpen = 0;
  qf->quorFD = -1;
  ctl->backupMade = 0;
  ctl->openTime = 0;
  double t0 = double_time();
  bool storage = ctl->serverRunmode == 1;
  ozu_context_t *ctx = ozu_XferContext(ctl);
  if (storage) {
    ozu_FreeXAttrsPVList(&qf->attrs);
    unsigned type = qf->attrs.Attrs.Type;
    if (type == 130) {
      quor_stat_t st;
      const char *path = qf->quorPath;
      int rc = ozu_EioRetry([&] { return quor_Stat(path, &st); });
      if (rc < 0) {
        setExitResult(70, quor_perror(rc, verb, path, nullptr), 7);
        goto out;
      }
      if (!S_ISREG(st.st_mode)) {
        ozu_ReportExit(64, "*** Not an QUOR file: %s", path);
        goto out;
      }
      ctl->srcMode = int(st.st_mode & 07777);
      qf->haveAttrs = 0;
    } else if (type == 129 || type == 131) {
      ozu_NsPermsToMode_t(&qf->attrs.Attrs, &ctl->srcMode, nullptr, nullptr, nullptr);
    } else {
      ozu_ReportExit(64, "*** Not an QUOR file: %s", qf->quorPath);
      goto out;
    }
    bool onDisk = (qf->attrs.SCAttrib[0].Flags & 0x1) && (qf->attrs.SCAttrib[0].Flags & 0x4);
    bool notice = false;
    if (!onDisk) {
      if (isatty2) {
        char line[4200];
        snprintf(line, sizeof line, "   (fetching file `%s' from tape)\r", qf->quorPath);
        ozu_ConsoleMessage(line);
        notice = true;
      }
      qf->haveAttrs = 0;
    }
    int oflag = (ctl->Flags & FX_PURGE_CACHE) ? O_RDWR : O_RDONLY;
    if (ctl->Flags & FX_OPEN_NOSTAGE)
      oflag |= 0x800;
    const char *path = qf->quorPath;
    int fd;
    if (ctx != nullptr && ctx->io_xfer_mode == 3) {
      uint32_t x = 1 | (ctx->xconnector == 1 ? 2 : 0);
      fd = ozu_EioRetry([&] { return quor_OpenX(x, path, oflag, 0777, nullptr, nullptr, nullptr); });
    } else {
      fd = ozu_EioRetry([&] { return quor_Open(path, oflag, 0777, nullptr, nullptr, nullptr); });
    }
    if (notice)
      ozu_ConsoleMessage("");
    if (fd < 0) {
      setExitResult(64, quor_perror(fd, "quor_Open", path, nullptr), 7);
      goto out;
    }
    qf->quorFD = fd;
    qf->fileOpen = 1;
    if (debug >= 2) {
      char a[32];
      fprintf(listF, "Successfully opened QUOR source file %s, size=%s\n", path,
              u64tostr_r(qf->attrs.Attrs.DataLength, a));
    }
    if (!qf->haveAttrs) {
      int rc = ozu_EioRetry([&] { return quor_FileGetXAttributes(path, 2, 0, &qf->attrs); });
      if (rc < 0) {
        setExitResult(70, quor_perror(rc, verb, path, nullptr), 7);
        goto out;
      }
      qf->haveAttrs = 1;
      ozu_FreeXAttrsPVList(&qf->attrs);
    }
  } else {
    ctl->srcMode = int(qf->lfxAttrs.st_mode & 07777);
    if (!S_ISREG(qf->lfxAttrs.st_mode)) {
      ozu_ReportExit(64, "*** Not a file object: %s", qf->quorPath);
      goto out;
    }
    if (debug >= 1)
      fprintf(listF, "/debug/Server run mode is LOCAL; Skipping client side open of source file\n");
  }
  if (ctl->Flags & (FX_CKSUM_CREATE_OP | FX_CKSUM_VERIFY_OP)) {
    int fd = open(OZU_DIGEST_SINK, O_WRONLY);
    if (fd < 0) {
      ozu_ReportExit(64, "*** Cannot create local file %s for writing", OZU_DIGEST_SINK);
      goto out;
    }
    lf->localFD = fd;
    lf->pipedFile = 1;
    lf->stdinoutFlag = 0;
    lf->fileOpen = 1;
    result = 0;
    goto out;
  }
  if (strcmp(lf->localPath, "-") == 0) {
    if (popenFlag) {
      ozu_ReportExit(64, "*** Piped output disallowed with -P command line option!\n");
      goto out;
    }
    lf->localFD = STDOUT_FILENO;
    lf->pipedFile = lf->stdinoutFlag = 1;
    lf->fileOpen = 1;
    fflush(stdout);
    result = 0;
    goto out;
  }
  if (lf->localPath[0] == '|') {
    FILE *f = popen(lf->localPath + 1, "w");
    if (f == nullptr) {
      perror(lf->localPath + 1);
      ozu_ReportExit(64, "*** Error on pipe(output)command: %s", lf->localPath + 1);
      goto out;
    }
    lf->localFileStruct = f;
    lf->localFD = fileno(f);
    lf->pipedFile = 1;
    lf->fileOpen = 1;
    result = 0;
    goto out;
  }
  {
    struct stat st;
    bool exists = false;
    int attempt = 0;
    for (;;) {
      if (lstat(lf->localPath, &st) == 0) {
        exists = true;
        lf->haveStat = 1;
        break;
      }
      if (errno == ENOENT) {
        ctl->Flags &= ~uint32_t(FX_RETRANSFER_REQ);
        break;
      }
      if (errno == EIO && ++attempt < 3)
        continue;
      if (errno == EIO) {
        ozu_ReportExit(72, "*** Error stat-ing file: %s", lf->localPath);
        goto out;
      }
      perror(lf->localPath);
      goto out;
    }
    if (exists) {
      if (S_ISDIR(st.st_mode)) {
        ozu_ReportExit(64, "*** %s: error - cannot get file with same name as local directory: %s", verb,
               lf->localPath);
        goto out;
      }
      struct stat target;
      bool regular = S_ISREG(st.st_mode) ||
                     (S_ISLNK(st.st_mode) && stat(lf->localPath, &target) == 0 && S_ISREG(target.st_mode));
      if (!(ctl->Flags & FX_RETRANSFER_REQ) && keyset && keyset->backup == 1 && regular) {
        if (makeBackupPath(ctl) < 0) {
          ozu_ReportExit(78, "*** Error creating backup pathname for [%s]\n", lf->localPath);
          goto out;
        }
        unlink(ctl->backupPath);
        if (rename(lf->localPath, ctl->backupPath) != 0) {
          ozu_ReportExit(72, "*** Error on rename for %s", lf->localPath);
          goto out;
        }
        ctl->backupMade = 1;
        if (debug >= 1)
          fprintf(listF, "Renamed local file [%s] \n   to [%s]\n", lf->localPath, ctl->backupPath);
      }
    }
    int flags = O_RDWR | O_CREAT | O_NONBLOCK;
    if (!(ctl->Flags & FX_RETRANSFER_REQ) && !pieceHasSinkOffset(list, count))
      flags |= O_TRUNC;
    int fd = open(lf->localPath, flags, mode_t(ctl->srcMode | 0600));
    if (fd < 0) {
      ozu_ReportExit(64, "*** Cannot create local file %s for writing", lf->localPath);
      goto out;
    }
    lf->localFD = fd;
    lf->fileOpen = 1;
    fstat(fd, &lf->localStat);
    lf->localSize = ozu_FileSizeToU64(&lf->localStat);
    lf->gpfsFlag = check_gpfs_file(fd);
    if (geteuid() == 0 && S_ISREG(lf->localStat.st_mode)) {
      if (fchmod(fd, mode_t(ctl->srcMode | 0600)) != 0)
        ozu_ReportExit(70, "*** Error %d changing perms for local file %s to 0%o\n", errno, lf->localPath,
               unsigned(ctl->srcMode | 0600));
      uid_t uid;
      gid_t gid;
      if (ctl->Flags & FX_PRESERVE_OWNER) {
        uid = storage ? qf->attrs.Attrs.UID : qf->lfxAttrs.st_uid;
        gid = storage ? qf->attrs.Attrs.GID : qf->lfxAttrs.st_gid;
      } else if (getuid() != 0) {
        uid = getuid();
        gid = getgid();
      } else {
        uid = 0;
        gid = getegid();
      }
      if (fchown(fd, uid, gid) != 0)
        ozu_ReportExit(70, "*** Error changing ownership of local file %s to uid=%d gid=%d", lf->localPath,
               int(uid), int(gid));
    }
    if (debug >= 1)
      fprintf(listF, "Successfully created local destination file %s\n", lf->localPath);
    result = 0;
  }
out:
  ctl->openTime = double_time() - t0;
  if (debug >= 2 && storage)
    fprintf(listF, "/debug/files opened. Elapsed time: %.1f seconods\n", ctl->openTime);
  return result;
}

int positionFiles(transfer_t *ctl)
{
  ctl->quorFile.currentPos = ctl->srcOffset;
  ctl->localFile.currentPos = ctl->sinkOffset;
  if (ctl->localFile.pipedFile && (ctl->Flags & (FX_POSITION_SINK | FX_RETRANSFER_REQ)) &&
      ctl->sinkOffset != 0) {
    ozu_ReportExit(64, "*** Cannot preposition piped output file");
    return -1;
  }
  if (ctl->Flags & FX_POSITION_SRC) {
    if (ctl->serverRunmode == 1) {
      if (ctl->quorFile.attrs.Attrs.DataLength < ctl->srcOffset) {
        ozu_ReportExit(64, "*** %s: Attempt to position beyond EOF - file=%s", verb, ctl->quorFile.quorPath);
        return -1;
      }
      uint64_t out = 0;
      int fd = ctl->quorFile.quorFD;
      uint64_t off = ctl->srcOffset;
      int rc = ozu_EioRetry([&] { return quor_SetFileOffset(fd, off, 0, 0, &out); });
      if (rc < 0) {
        setExitResult(70, quor_perror(rc, verb, ctl->quorFile.quorPath, nullptr), 7);
        return -1;
      }
    } else if (sourceSize(ctl) < ctl->srcOffset) {
      ozu_ReportExit(64, "*** %s: Attempt to position beyond EOF - file=%s", verb, ctl->quorFile.quorPath);
      return -1;
    }
    ctl->quorFile.currentPos = ctl->srcOffset;
  }
  if ((ctl->Flags & FX_POSITION_SINK) && !ctl->localFile.pipedFile) {
    if (lseek(ctl->localFile.localFD, off_t(ctl->sinkOffset), SEEK_SET) < 0) {
      ozu_ReportExit(70, "*** Error %d positioning local file %s", errno, ctl->localFile.localPath);
      return -1;
    }
    ctl->localFile.currentPos = ctl->sinkOffset;
  }
  return 0;
}

void determineTransferMode(transfer_t *ctl)
{
  ozu_context_t *ctx = ozu_XferContext(ctl);
  int fw = ctx ? ctx->firewallMode : 0;
  bool lfm = (ctl->Flags & FX_USE_LFM_IO) ||
             (!(ctl->Flags & FX_DISABLE_LFM_IO) && globalDefs.enableLfmIo);
  const char *line;
  if (fw && ctl->serverRunmode == 2) {
    ctl->ioMode = IOMODE_LOCAL;
    line = "/debug/selected LOCAL write method in firewall mode \n";
  } else if (fw) {
    ctl->ioMode = IOMODE_RWX;
    line = "/debug/selected extended read mode \n";
  } else if (ctl->serverRunmode == 2) {
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

// Copies the source's times to the local file; only after a success, so a
// partial file never looks complete.
void preserveTimeStamp(transfer_t *ctl)
{
  if (ctl->localFile.pipedFile || !(ctl->Flags & FX_PRESERVE_TIME))
    return;
  struct utimbuf t;
  bool storage = ctl->serverRunmode == 1;
  t.modtime = storage ? time_t(ctl->quorFile.attrs.Attrs.TimeLastWritten) : ctl->quorFile.lfxAttrs.st_mtime;
  t.actime = (ctl->Flags & FX_CURRENT_TIME) ? time(nullptr)
             : storage                      ? time_t(ctl->quorFile.attrs.Attrs.TimeLastRead)
                                            : ctl->quorFile.lfxAttrs.st_atime;
  if (utime(ctl->localFile.localPath, &t) != 0)
    setExitResult(0, quor_perror(-errno, "preserving timestamp", ctl->localFile.localPath, nullptr), 7);
}

}  // namespace

int readQuorFile(transfer_t *ctl, xfer_offset_t *list, int count)
{
  int result = -1;
  xfer_offset_t whole = {-1, -1, 0};
  const xfer_offset_t *pieces = list;
  int npieces = count;
  if (openFiles(ctl, list, count) < 0)
    goto finish;
  if (ctl->Flags & FX_RETRANSFER_REQ) {
    if (count > 0) {
      ozu_ReportExit(64, "*** Do not specify file offsets with -t option");
      goto finish;
    }
    if (sourceSize(ctl) < ctl->localFile.localSize) {
      char a[32], b[32];
      ozu_ReportExit(0, "*** local file size=%s, %s file size=%s. Transfer will not be performed",
             u64tostr_r(ctl->localFile.localSize, a), modeName(ctl), u64tostr_r(sourceSize(ctl), b));
      goto finish;
    }
    whole.srcOffset = whole.sinkOffset = int64_t(ctl->localFile.localSize);
    pieces = &whole;
    npieces = 1;
  } else if (count == 0) {
    pieces = &whole;
    npieces = 1;
  }
  result = 0;
  // A file once begun is finished whole, also after an interrupt (which
  // stops the queueing of others): skipping its pieces would leave a short
  // file reported as done.
  for (int i = 0; i < npieces && result >= 0; ++i) {
    const xfer_offset_t *p = &pieces[i];
    ctl->Flags &= ~uint32_t(FX_POSITION_SRC | FX_POSITION_SINK);
    if (p->srcOffset != -1) {
      ctl->srcOffset = uint64_t(p->srcOffset);
      ctl->Flags |= FX_POSITION_SRC;
    } else if (ctl->serverRunmode == 1) {
      uint64_t cur = 0;
      int fd = ctl->quorFile.quorFD;
      int rc = ozu_EioRetry([&] { return quor_SetFileOffset(fd, 0, 1, 0, &cur); });
      if (rc < 0) {
        setExitResult(72, quor_perror(rc, "readQuorFile", "Get current position", nullptr), 7);
        result = -1;
        break;
      }
      ctl->srcOffset = cur;
    }
    if (p->sinkOffset != -1) {
      ctl->sinkOffset = uint64_t(p->sinkOffset);
      ctl->Flags |= FX_POSITION_SINK;
    } else {
      ctl->sinkOffset = ctl->localFile.currentPos;
    }
    if (positionFiles(ctl) < 0) {
      result = -1;
      break;
    }
    uint64_t size = sourceSize(ctl);
    uint64_t length = p->length;
    if (ctl->srcOffset > size) {
      ozu_ReportExit(64, "*** %s: Attempt to position beyond EOF - file=%s", verb, ctl->quorFile.quorPath);
      result = -1;
      break;
    }
    if (length == 0)
      length = size - ctl->srcOffset;
    else if (ctl->srcOffset + length > size) {
      ozu_ReportExit(64, "*** warning:[%s] partial xfer (offset+length) exceeds %s file size - truncated",
             ctl->quorFile.quorPath, modeName(ctl));
      length = size - ctl->srcOffset;
    }
    ctl->transferLength = length;
    bool last = i == npieces - 1;
    if (length > 0) {
      determineTransferMode(ctl);
      switch (ctl->ioMode) {
      case IOMODE_IOD:
        result = read_quor_parallel(ctl, last);
        break;
      case IOMODE_RW:
      case IOMODE_RWX:
        result = read_quor_regular(ctl, last);
        break;
      case IODMODE_LFM:
        result = ozu_LFM_ReadFile(ctl);
        break;
      case IOMODE_LOCAL:
        result = ozu_LocalFileReceive(ctl);
        break;
      default:
        result = -1;
        break;
      }
      ctl->localFile.currentPos = ctl->sinkOffset + (result == 0 ? length : 0);
      if (result == 0 && (ctl->Flags & FX_PURGE_CACHE) && ctl->serverRunmode == 1) {
        uint64_t purged = 0;
        int fd = ctl->quorFile.quorFD;
        int rc = ozu_EioRetry([&] { return quor_Purge(fd, 0, 0, 0, 2, &purged); });
        if (debug >= 1) {
          char a[32];
          fprintf(listF, "/debug/<purge> flag set. quor_Purge returned %d, %s bytes purged\n", rc,
                  u64tostr_r(purged, a));
        }
      }
    } else {
      result = 0;
    }
  }
  if (result >= 0 && (ctl->Flags & FX_CKSUM_ENABLED) && ctl->hashInfo.theHash != nullptr) {
    uint64_t size = sourceSize(ctl);
    if (ctl->hashInfo.hashValue == nullptr && ctl->hashInfo.hashedBytes == size)
      ozu_FDigest_FinishHashDigest(ctl);
    if (ctl->hashInfo.hashedBytes != size || ctl->hashInfo.hashValue == nullptr) {
      char a[32], b[32];
      ozu_ReportExit(71, "*** %s: digest of %s covers %s of %s bytes - not compared", "readQuorFile",
             ctl->quorFile.quorPath, u64tostr_r(ctl->hashInfo.hashedBytes, a), u64tostr_r(size, b));
      result = -1;
    } else if (ctl->Flags & FX_CKSUM_CREATE_OP) {
      int rc = ozu_FDigest_SetFileChecksum(ctl);
      if (rc != 0) {
        ozu_ReportExit(72, "*** %s: ozu_FDigest_SetFileChecksum returned error %d,file %s - checksum not set\n",
               "readQuorFile", rc, ctl->quorFile.quorPath);
      } else {
        char *hex = ozu_FDigestToString(LOWERCASE_HEX, ctl->hashInfo.hashValue, ctl->hashInfo.hashLen);
        const char *name = ozu_CksumTypeToString(ctl->hashInfo.ozuCksumType);
        ozu_ConsoleMessage("");
        fprintf(listF, "%s (%s) %s\n", hex ? hex : "NULL", name ? name : "", ctl->quorFile.quorPath);
        free(hex);
      }
    } else if (ctl->haveExistingHashInfo) {
      ozu_ConsoleMessage("");
      // A digest that differs fails the file: counted and logged failed,
      // its times not set; the local file stays.
      if (ozu_FDigest_Compare(ctl) < 0)
        result = -1;
    }
  }
finish:
  if (result < 0) {
    int expected = 0;
    exitcode.compare_exchange_strong(expected, 74);
    ozu_XferTableLock();
    ozu_FailedXfers++;
    ozu_XferTableUnlock();
  }
  ozu_CloseFiles(ctl);
  if (result >= 0)
    preserveTimeStamp(ctl);
  ozu_LogFileTransfer(result, 1, 2, ctl);
  return result;
}
