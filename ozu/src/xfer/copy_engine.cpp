// The storage file copy engine. One call copies one file: the source is
// opened first (so that a source that cannot be read never disturbs the
// target), an existing sink is moved aside, the new sink is created
// writable by its owner, the data moves (the service's own copy, the
// shell's reader and writer, or a method between connections), and after
// success the sink gets the source's owner, times and mode. The file moved
// aside is removed after success and put back after a failure.
#include "copy_engine.h"

#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>
#include <utime.h>

#include <string>

#include "ozu_connect.h"
#include "ozu_context.h"
#include "ozu_errors.h"
#include "ozu_locks.h"
#include "ozu_log.h"
#include "ozu_util.h"
#include "ozuvars.h"
#include "quor_api.h"
#include "quor_convert.h"

namespace {

const size_t kMaxQuorPath = 1023;

const char *cmdWord(void) { return verb ? verb : "cp"; }

const struct {
  uint32_t flag;
  const char *name;
} flagNames[] = {
    {FX_PRESERVE_TIME, "FX_PRESERVE_TIME"},   {FX_OVERWRITE, "FX_OVERWRITE"},
    {FX_PRESERVE_OWNER, "FX_PRESERVE_OWNER"}, {FX_KEEP_ON_ERROR, "FX_KEEP_ON_ERROR"},
    {FX_POSITION_SRC, "FX_POSITION_SRC"},     {FX_POSITION_SINK, "FX_POSITION_SINK"},
    {FX_RETRANSFER_REQ, "FX_RETRANSFER_REQ"}, {FX_PURGE_CACHE, "FX_PURGE_CACHE"},
    {FX_OPEN_NOSTAGE, "FX_OPEN_NOSTAGE"},     {FX_CKSUM_ENABLED, "FX_CKSUM_ENABLED"},
    {FX_CKSUM_CREATE_OP, "FX_CKSUM_CREATE_OP"}, {FX_USE_TA_IO, "FX_USE_TA_IO"},
    {FX_CKSUM_VERIFY_OP, "FX_CKSUM_VERIFY_OP"}, {FX_DISABLE_LFM_IO, "FX_DISABLE_LFM_IO"},
    {FX_USE_LFM_IO, "FX_USE_LFM_IO"},         {FX_DISABLE_TA_IO, "FX_DISABLE_TA_IO"},
    {FX_USE_XIO_SRC, "FX_USE_XIO_SRC"},       {FX_USE_XIO_SINK, "FX_USE_XIO_SINK"},
    {FX_CLIENT_CONNECT, "FX_CLIENT_CONNECT"}, {FX_FAKE_DATA, "FX_FAKE_DATA"},
};

void dumpCall(const char *srcPath, int srcHandle, uint64_t srcOffset, const char *sinkPath,
              int sinkHandle, uint64_t sinkOffset, uint64_t length, uint32_t flags)
{
  char a[32];
  fprintf(listF, "/debug/ ozu_CopyFile called. transferFlags = 0x%x\n", flags);
  fprintf(listF, "    srcPath: %s\n", srcPath);
  fprintf(listF, "    srcHandle: %d\n", srcHandle);
  fprintf(listF, "    srcOffset: %s\n", u64tostr_r(srcOffset, a));
  fprintf(listF, "    sinkPath: %s\n", sinkPath);
  fprintf(listF, "    sinkHandle: %d\n", sinkHandle);
  fprintf(listF, "    sinkOffset: %s\n", u64tostr_r(sinkOffset, a));
  fprintf(listF, "    xferLength: %s\n", u64tostr_r(length, a));
  fprintf(listF, "    transferFlags: 0x%0x = ", flags);
  for (const auto &f : flagNames)
    if (flags & f.flag)
      fprintf(listF, "%s ", f.name);
  fprintf(listF, "\n");
}

int currentHandle(void)
{
  ozu_context_t *cur = keyset ? keyset->curContext : nullptr;
  return cur ? cur->handle : -1;
}

// Makes handle current unless it already is: 0 or -1.
int useConnection(int handle)
{
  if (handle < 0 || handle == currentHandle())
    return 0;
  return ozu_SetCurConnection(handle) < 0 ? -1 : 0;
}

// A name no object has in the sink's directory, where the old sink waits
// until the new one is complete. 0 or negative.
int makeAsidePath(transfer_t *ctl)
{
  free(ctl->backupPath);
  ctl->backupPath = nullptr;
  std::string dir = ctl->quor2ndFile->quorPath;
  size_t slash = dir.rfind('/');
  dir = slash == std::string::npos ? std::string() : dir.substr(0, slash + 1);
  for (int i = 0; i < 100; ++i) {
    char name[96];
    snprintf(name, sizeof name, ".ozu-cp-%ld-%d-%d-%ld", long(getpid()), ctl->xferSerialNumber, i,
             long(time(nullptr)));
    std::string p = dir + name;
    if (p.size() > kMaxQuorPath)
      return -86;
    quor_stat_t st;
    int rc = quor_Lstat(p.c_str(), &st);
    if (rc == -2) {
      ctl->backupPath = strdup(p.c_str());
      return ctl->backupPath ? 0 : -12;
    }
    if (rc < 0)
      return rc;
  }
  return -17;
}

// The old sink goes aside rather than away: a failed copy must leave the
// user what was there. A directory is left where it is (its create fails).
int moveSinkAside(transfer_t *ctl)
{
  const char *path = ctl->quor2ndFile->quorPath;
  quor_stat_t st;
  int rc = ozu_EioRetry([&] { return quor_Lstat(path, &st); });
  if (rc == -2)
    return 0;
  if (rc < 0) {
    ozu_StorageError(72, rc, "quor_Lstat", path);
    return -1;
  }
  if (S_ISDIR(st.st_mode))
    return 0;
  rc = makeAsidePath(ctl);
  if (rc == 0) {
    const char *aside = ctl->backupPath;
    rc = ozu_EioRetry([&] { return quor_Rename(path, aside); });
  }
  if (rc < 0) {
    ozu_StorageError(72, rc, "quor_Rename", path);
    return -1;
  }
  ctl->backupMade = 1;
  ctl->backupIsAside = 1;
  return 0;
}

// After the copy, on the sink's connection: the file moved aside goes away
// after success (logged as the removal of the old sink); after a failure
// the partial sink goes and the old file comes back.
void settleSink(transfer_t *ctl, int result, bool sinkCreated)
{
  quor_file_info_t *sf = ctl->quor2ndFile;
  if (sf == nullptr || sf->quorPath == nullptr)
    return;
  if (useConnection(sf->conHandle) < 0)
    return;
  const char *path = sf->quorPath;
  if (result == 0) {
    if (ctl->backupMade) {
      const char *aside = ctl->backupPath;
      int rc = ozu_EioRetry([&] { return quor_Unlink(aside); });
      if (rc < 0)
        ozu_StorageError(72, rc, "quor_Unlink[existing file]", aside);
      else
        ozu_LogFileUnlink(path, 0);
    }
    return;
  }
  if (sinkCreated) {
    int rc = ozu_EioRetry([&] { return quor_Unlink(path); });
    if (rc < 0 && rc != -2)
      ozu_StorageError(74, rc, "quor_Unlink", "unlinking partial quor output file");
  }
  if (ctl->backupMade) {
    const char *aside = ctl->backupPath;
    int rc = ozu_EioRetry([&] { return quor_Rename(aside, path); });
    if (rc < 0) {
      ozu_StorageError(74, rc, "quor_Rename", "renaming QUOR backup path to original");
      ozu_ReportExit(74, "*** %s: the former %s is kept as %s", cmdWord(), path, aside);
    }
  }
}

// ---- the reader and the writer over the two hand-off buffers ----

struct shellCopy {
  transfer_t *ctl;
  const char *who;
  pthread_t reader, writer;
};

// Raises the abort counter and wakes every waiter: the copier, and the
// other side waiting on a buffer.
void raiseAbort(transfer_t *ctl, int result)
{
  pthread_mutex_lock(&ctl->abortLock);
  ctl->abortSignalled++;
  if (ctl->transfer_result == 0)
    ctl->transfer_result = result;
  pthread_cond_broadcast(&ctl->abortCondition);
  pthread_mutex_unlock(&ctl->abortLock);
  for (io_buffer_t &b : ctl->rwbuf) {
    pthread_mutex_lock(&b.bufLock);
    pthread_cond_broadcast(&b.bufCond);
    pthread_mutex_unlock(&b.bufLock);
  }
}

void *readThread(void *arg)
{
  auto *sc = static_cast<shellCopy *>(arg);
  transfer_t *ctl = sc->ctl;
  quor_file_info_t *qf = &ctl->quorFile;
  bool xio = (ctl->Flags & FX_USE_XIO_SRC) != 0;
  uint64_t remaining = ctl->transferLength;
  uint64_t pos = ctl->srcOffset;
  bool failed = false;
  if (xio) {
    int eof = 0;
    int64_t rc = quor_ReadX(0x80000000u, qf->quorFD, nullptr, remaining, &eof);
    if (debug >= 1) {
      char a[32];
      fprintf(listF, "/debug/issued extended First Read for %s bytes, result =%d\n", u64tostr_r(remaining, a),
              int(rc));
    }
    if (rc < 0) {
      ozu_StorageError(74, int(rc), "quor_ReadX", qf->quorPath);
      failed = true;
    }
  }
  int idx = 1;
  while (!failed && remaining > 0) {
    io_buffer_t *b = &ctl->rwbuf[idx];
    pthread_mutex_lock(&b->bufLock);
    while (b->state == 2 && ctl->abortSignalled == 0)
      pthread_cond_wait(&b->bufCond, &b->bufLock);
    pthread_mutex_unlock(&b->bufLock);
    if (ctl->abortSignalled != 0)
      break;
    uint32_t want = uint32_t(remaining < uint64_t(b->bufSize) ? remaining : uint64_t(b->bufSize));
    uint32_t got = 0;
    while (got < want) {
      int64_t n;
      int fd = qf->quorFD;
      char *at = b->buffer + got;
      size_t ask = want - got;
      if (xio) {
        int eof = 0;
        n = quor_ReadX(0, fd, at, ask, &eof);
      } else {
        n = ozu_EioRetry([&] { return int(quor_Read(fd, at, ask)); });
      }
      if (n == 0) {
        fprintf(errFile, "***[read_quor_thread] quor_Read returned 0 bytes\n");
        failed = true;
        break;
      }
      if (n < 0) {
        char what[96];
        snprintf(what, sizeof what, "reading %d bytes at offset %s", int(ask), u64tostrwc(pos));
        setExitResult(74, quor_perror(int(n), "quor_Read", what, nullptr), 7);
        failed = true;
        break;
      }
      got += uint32_t(n);
      pos += uint64_t(n);
    }
    if (failed)
      break;
    remaining -= got;
    pthread_mutex_lock(&b->bufLock);
    b->dataLength = got;
    if (remaining == 0)
      b->bufFlags |= BUF_EOD;
    b->state = 2;
    pthread_cond_signal(&b->bufCond);
    pthread_mutex_unlock(&b->bufLock);
    ozu_DisplayXferProgress(pos, ctl->transferLength);
    idx ^= 1;
  }
  if (failed)
    raiseAbort(ctl, -1);
  ctl->read_active = 0;
  return nullptr;
}

void *writeThread(void *arg)
{
  auto *sc = static_cast<shellCopy *>(arg);
  transfer_t *ctl = sc->ctl;
  quor_file_info_t *sf = ctl->quor2ndFile;
  bool xio = (ctl->Flags & FX_USE_XIO_SINK) != 0;
  int result = 0;
  if (xio) {
    int64_t rc = quor_WriteX(0x80000000u, sf->quorFD, nullptr, ctl->transferLength);
    if (debug >= 1) {
      char a[32];
      fprintf(listF, "/debug/issued extended First Write for %s bytes, result =%d\n",
              u64tostr_r(ctl->transferLength, a), int(rc));
    }
    if (rc < 0) {
      ozu_StorageError(74, int(rc), "quor_WriteX", sf->quorPath);
      result = int(rc);
    }
  }
  int idx = 1;
  while (result == 0) {
    io_buffer_t *b = &ctl->rwbuf[idx];
    pthread_mutex_lock(&b->bufLock);
    while (b->state != 2 && ctl->abortSignalled == 0)
      pthread_cond_wait(&b->bufCond, &b->bufLock);
    uint32_t left = b->dataLength;
    bool last = (b->bufFlags & BUF_EOD) != 0;
    pthread_mutex_unlock(&b->bufLock);
    if (ctl->abortSignalled != 0)
      break;
    const char *p = b->buffer;
    while (left > 0) {
      int fd = sf->quorFD;
      int64_t n;
      if (xio)
        n = quor_WriteX(0, fd, p, left);
      else
        n = ozu_EioRetry([&] { return int(quor_Write(fd, p, left)); });
      if (n == -11 || n == -28) {
        if (ctl->abortSignalled != 0)
          break;
        ozu_ThreadSleep(2, 0);
        continue;
      }
      if (n <= 0) {
        // A write that reports nothing would be asked again for ever.
        result = n == 0 ? -5 : int(n);
        char what[96];
        snprintf(what, sizeof what, "writing %d bytes at offset %s", int(left), u64tostrwc(sf->currentPos));
        setExitResult(74, quor_perror(result, "quor_Write", what, nullptr), 7);
        break;
      }
      p += n;
      left -= uint32_t(n);
      sf->currentPos += uint64_t(n);
      ctl->totalBytesMoved += uint64_t(n);
    }
    if (result != 0 || left > 0)
      break;
    if (last) {
      if (debug >= 3) {
        fprintf(errFile, "write thread: EOF hit (flag=%d) or abort (flag=%d)\n", 1, int(ctl->abortSignalled));
        fflush(errFile);
      }
      break;
    }
    pthread_mutex_lock(&b->bufLock);
    b->state = 1;
    pthread_cond_signal(&b->bufCond);
    pthread_mutex_unlock(&b->bufLock);
    idx ^= 1;
  }
  if (result != 0)
    raiseAbort(ctl, result);
  ctl->write_active = 0;
  return nullptr;
}

void *controlThread(void *arg)
{
  auto *sc = static_cast<shellCopy *>(arg);
  transfer_t *ctl = sc->ctl;
  ctl->read_active = 1;
  if (ozu_ThreadCreate(&sc->reader, nullptr, readThread, sc) != 0) {
    fprintf(errFile, "*** read_quor_thread: error %d starting read thread\n", errno);
    ctl->read_active = 0;
    raiseAbort(ctl, -1);
  } else {
    ctl->write_active = 1;
    if (ozu_ThreadCreate(&sc->writer, nullptr, writeThread, sc) != 0) {
      fprintf(errFile, "*** read_quor_thread: error %d starting file write thread\n", errno);
      ctl->write_active = 0;
      // The reader stops at the abort; it is joined, never cancelled.
      raiseAbort(ctl, -1);
    } else {
      pthread_join(sc->writer, nullptr);
    }
    pthread_join(sc->reader, nullptr);
  }
  pthread_mutex_lock(&ctl->abortLock);
  ctl->transfer_active = 0;
  pthread_cond_broadcast(&ctl->abortCondition);
  pthread_mutex_unlock(&ctl->abortLock);
  return nullptr;
}

}  // namespace

int copy_ThroughShell(transfer_t *ctl, const char *who)
{
  double t0 = ozu_GetTimestamp();
  for (io_buffer_t &b : ctl->rwbuf) {
    if (b.iobuf == nullptr && ozu_InitRwBuf(ctl, &b, 0) < 0)
      return -1;
    b.state = 1;
    b.bufFlags &= ~BUF_EOD;
    b.dataLength = 0;
  }
  ctl->overheadTime += ozu_GetTimestamp() - t0;
  if (ozu_InitXferLocks(ctl) < 0) {
    fprintf(errFile, "*** [%s] pthread_mutex_init error %d\n", who, errno);
    return -1;
  }
  shellCopy sc = {ctl, who, pthread_t(), pthread_t()};
  ctl->startTime = ozu_GetTimestamp();
  ctl->abortSignalled = 0;
  ctl->transfer_result = 0;
  ctl->transfer_active = 1;
  if (ozu_ThreadCreate(&ctl->controlThreadId, nullptr, controlThread, &sc) != 0) {
    fprintf(errFile, "[%s]*** error on ozugw_ThreadCreate call: %d\n", who, errno);
    ctl->transfer_active = 0;
    return -1;
  }
  // The record stays with the caller until every thread that uses it has
  // ended, also after an abort.
  pthread_join(ctl->controlThreadId, nullptr);
  ctl->stopTime = ozu_GetTimestamp();
  ozu_clean_rw_buf(ctl, &ctl->rwbuf[1]);
  ozu_clean_rw_buf(ctl, &ctl->rwbuf[0]);
  return ctl->abortSignalled == 0 ? 0 : -1;
}

int copy_OpenSource(transfer_t *ctl, const quor_Attrs_t *attrs)
{
  quor_file_info_t *qf = &ctl->quorFile;
  const char *path = qf->quorPath;
  int oflag = (ctl->Flags & FX_PURGE_CACHE) ? O_RDWR : O_RDONLY;
  if (ctl->Flags & FX_OPEN_NOSTAGE)
    oflag |= 0x800;
  quor_cos_hints_t out;
  memset(&out, 0, sizeof out);
  int fd;
  if (ctl->Flags & FX_USE_XIO_SRC)
    fd = ozu_EioRetry([&] { return quor_OpenX(3, path, oflag, 0, nullptr, nullptr, &out); });
  else
    fd = ozu_EioRetry([&] { return quor_Open(path, oflag, 0, nullptr, nullptr, &out); });
  if (fd < 0) {
    ozu_StorageError(72, fd, "quor_Open", path);
    return -1;
  }
  qf->quorFD = fd;
  qf->fileOpen = 1;
  if (attrs != nullptr) {
    qf->attrs.Attrs = *attrs;
  } else {
    int rc = ozu_EioRetry([&] { return quor_GetListAttrs(path, &qf->attrs.Attrs); });
    if (rc < 0) {
      ozu_StorageError(72, rc, "quor_GetListAttrs", path);
      return -1;
    }
    // A link's data, size, mode and times are those of the object it names.
    if (qf->attrs.Attrs.Type == 130) {
      quor_fileattr_t named;
      rc = ozu_EioRetry([&] { return quor_FileGetAttributes(path, &named); });
      if (rc < 0) {
        ozu_StorageError(72, rc, "quor_FileGetAttributes", path);
        return -1;
      }
      qf->attrs.Attrs = named.Attrs;
    }
  }
  qf->haveAttrs = 1;
  int mode = 0;
  ozu_NsPermsToMode_t(&qf->attrs.Attrs, &mode, nullptr, nullptr, nullptr);
  ctl->srcMode = mode & 07777;
  return 0;
}

void copy_SinkHints(transfer_t *ctl)
{
  quor_file_info_t *sf = ctl->quor2ndFile;
  uint64_t size = ctl->quorFile.attrs.Attrs.DataLength;
  ozu_context_t *ctx = ozu_LookupConnection(sf->conHandle);
  memset(&sf->hintsIn, 0, sizeof sf->hintsIn);
  memset(&sf->hintsPri, 0, sizeof sf->hintsPri);
  memset(&sf->hintsOut, 0, sizeof sf->hintsOut);
  if (keyset && keyset->autocosFlag && ctx != nullptr) {
    uint32_t subsys = ozu_GetParentSubsysID(sf->quorPath);
    if (quorex_SelectCOS(ctx->namedCosList, size, uid_t(ctx->curLogin.uid), gid_t(ctx->curLogin.gid),
                         ctx->curLogin.acctId, keyset->copies, long(subsys), &sf->hintsIn, &sf->hintsPri) >= 0)
      return;
    memset(&sf->hintsIn, 0, sizeof sf->hintsIn);
    memset(&sf->hintsPri, 0, sizeof sf->hintsPri);
  }
  sf->hintsIn.COSId = keyset ? unsigned32(keyset->cos) : 0;
  sf->hintsPri.COSIdPriority = 30;
  sf->hintsIn.MinFileSize = sf->hintsIn.MaxFileSize = size;
  sf->hintsPri.MinFileSizePriority = sf->hintsPri.MaxFileSizePriority = 20;
}

int copy_CreateSink(transfer_t *ctl)
{
  quor_file_info_t *sf = ctl->quor2ndFile;
  const char *path = sf->quorPath;
  if (moveSinkAside(ctl) < 0)
    return -1;
  mode_t mode = mode_t(ctl->srcMode | 0200);
  int oflag = O_WRONLY | O_CREAT | O_TRUNC;
  int fd;
  if (ctl->Flags & FX_USE_XIO_SINK)
    fd = ozu_EioRetry([&] { return quor_OpenX(3, path, oflag, mode, &sf->hintsIn, &sf->hintsPri, &sf->hintsOut); });
  else
    fd = ozu_EioRetry([&] { return quor_Open(path, oflag, mode, &sf->hintsIn, &sf->hintsPri, &sf->hintsOut); });
  if (fd < 0) {
    ozu_StorageError(72, fd, "quor_Open (create)", path);
    return -1;
  }
  sf->quorFD = fd;
  sf->fileOpen = 1;
  sf->cosID = int32_t(sf->hintsOut.COSId);
  ozu_context_t *ctx = ozu_LookupConnection(sf->conHandle);
  if (ctx != nullptr && ctx->defaultFamilyID > 0) {
    int rc = ozu_SetFamilyID(path, ctx->defaultFamilyID);
    if (rc != 0) {
      ozu_ReportExit(64, "*** Error %d trying to set file family ID %d for file <%s>", rc, ctx->defaultFamilyID, path);
      return -1;
    }
  }
  return 0;
}

int positionFiles(transfer_t *ctl)
{
  ctl->quorFile.currentPos = 0;
  ctl->quor2ndFile->currentPos = 0;
  if (!(ctl->Flags & FX_POSITION_SRC))
    return 0;
  quor_file_info_t *qf = &ctl->quorFile;
  if (ctl->srcOffset > qf->attrs.Attrs.DataLength) {
    ozu_ReportExit(64, "*** %s: Attempt to position beyond EOF - file=%s", cmdWord(), qf->quorPath);
    return -1;
  }
  uint64_t out = 0;
  int fd = qf->quorFD;
  uint64_t off = ctl->srcOffset;
  int rc = ozu_EioRetry([&] { return quor_SetFileOffset(fd, off, 0, 0, &out); });
  if (rc < 0) {
    ozu_StorageError(70, rc, cmdWord(), qf->quorPath);
    return -1;
  }
  qf->currentPos = off;
  return 0;
}

int copyTheFile(transfer_t *ctl)
{
  ctl->startTime = ozu_GetTimestamp();
  if (debug >= 1)
    fprintf(listF, "/debug/attempting to issue quor_CopyFile\n");
  int src = ctl->quorFile.quorFD, dst = ctl->quor2ndFile->quorFD;
  int rc = ozu_EioRetry([&] { return quor_CopyFile(src, dst); });
  if (rc == 0) {
    ctl->totalBytesMoved = ctl->quorFile.attrs.Attrs.DataLength;
    ctl->stopTime = ozu_GetTimestamp();
    return 0;
  }
  if (rc != -64 && rc != -95)
    return rc;
  if (debug >= 1)
    fprintf(listF, "/debug/ server-side copy not supported for this xfer-doing it ourself\n");
  return copy_ThroughShell(ctl, "copyTheFile");
}

void preserveOwnerAndGroup(transfer_t *ctl)
{
  if (!(ctl->Flags & FX_PRESERVE_OWNER))
    return;
  const quor_Attrs_t *a = &ctl->quorFile.attrs.Attrs;
  if (debug >= 2)
    fprintf(listF, "/debug/ preserving owner/group: UID=%ld GID=%ld\n", long(a->UID), long(a->GID));
  const char *path = ctl->quor2ndFile->quorPath;
  int rc = ozu_EioRetry([&] { return quor_Chown(path, uid_t(a->UID), gid_t(a->GID)); });
  if (rc != 0)
    ozu_StorageError(70, rc, "quor_Chown", path);
}

void preserveTimeStamp(transfer_t *ctl)
{
  if (!(ctl->Flags & FX_PRESERVE_TIME))
    return;
  const quor_Attrs_t *a = &ctl->quorFile.attrs.Attrs;
  struct utimbuf t;
  t.actime = time_t(a->TimeLastRead);
  t.modtime = (ctl->Flags & FX_CURRENT_TIME) ? time(nullptr) : time_t(a->TimeLastWritten);
  if (debug >= 2)
    fprintf(listF, "/debug/ preserving time stamps: actime=%ld modtime=%ld\n", long(t.actime), long(t.modtime));
  const char *path = ctl->quor2ndFile->quorPath;
  int rc = ozu_EioRetry([&] { return quor_Utime(path, &t); });
  if (rc < 0)
    ozu_StorageError(0, rc, "preserving timestamp", path);
}

void copy_Finish(transfer_t *ctl)
{
  preserveOwnerAndGroup(ctl);
  preserveTimeStamp(ctl);
  ozu_UDA_SetExpirationTime(ctl, 1);
  const char *path = ctl->quor2ndFile->quorPath;
  mode_t mode = mode_t(ctl->srcMode);
  int rc = ozu_EioRetry([&] { return quor_Chmod(path, mode); });
  if (rc < 0)
    fprintf(errFile, "quor_Chmod-error %d removing <write> permission on sink file:\n%s\n", rc, path);
  if ((ctl->Flags & FX_PURGE_CACHE) && ctl->quorFile.fileOpen) {
    uint64_t purged = 0;
    int fd = ctl->quorFile.quorFD;
    rc = ozu_EioRetry([&] { return quor_Purge(fd, 0, 0, 0, 2, &purged); });
    if (debug >= 1) {
      char a[32];
      fprintf(listF, "/debug/<purge> flag set. quor_Purge returned %d, %s bytes purged\n", rc,
              u64tostr_r(purged, a));
    }
  }
}

int copy_End(transfer_t *ctl, int result)
{
  if (result < 0) {
    int expected = 0;
    exitcode.compare_exchange_strong(expected, 74);
  }
  bool sinkCreated = ctl->quor2ndFile != nullptr && ctl->quor2ndFile->fileOpen;
  ozu_CloseFiles(ctl);
  settleSink(ctl, result, sinkCreated);
  ozu_clean_rw_buf(ctl, &ctl->rwbuf[1]);
  ozu_clean_rw_buf(ctl, &ctl->rwbuf[0]);
  if (ctl->quor2ndFile != nullptr)
    ozu_LogFileTransfer(result, 1, 3, ctl);
  ozu_XferTableLock();
  ozu_ActiveTransfers--;
  if (result != 0)
    ozu_FailedXfers++;
  ozu_XferTableUnlock();
  // The record releases the sink's record but not the path it holds.
  if (ctl->quor2ndFile != nullptr) {
    free(ctl->quor2ndFile->quorPath);
    ctl->quor2ndFile->quorPath = nullptr;
  }
  freeXferCtl(ctl);
  return result;
}

int ozu_CopyFile(const char *srcPath, int srcHandle, uint64_t srcOffset, const quor_Attrs_t *srcAttrs,
                 const char *sinkPath, int sinkHandle, uint64_t sinkOffset, uint64_t length, int method,
                 uint32_t flags)
{
  int startHandle = currentHandle();
  if (debug >= 2)
    dumpCall(srcPath, srcHandle, srcOffset, sinkPath, sinkHandle, sinkOffset, length, flags);
  int result = -1;
  transfer_t *ctl = getTransferEntry();
  if (ctl == nullptr) {
    result = -11;
    int expected = 0;
    exitcode.compare_exchange_strong(expected, 74);
    goto back;
  }
  ozu_XferTableLock();
  ozu_ActiveTransfers++;
  ozu_XferTableUnlock();
  ctl->quor2ndFile = static_cast<quor_file_info_t *>(calloc(1, sizeof(quor_file_info_t)));
  if (ctl->quor2ndFile == nullptr) {
    ozu_MallocError(long(sizeof(quor_file_info_t)), "ozu_CopyFile", __FILE__, __LINE__);
    result = -12;
    goto end;
  }
  ctl->quor2ndFile->quorFD = -1;
  ctl->xferSizeIndex = -1;
  ctl->Flags = flags;
  ctl->xferOperation = IOP_COPY;
  {
    ozu_context_t *ctx = keyset ? keyset->curContext : nullptr;
    ctl->serverRunmode = ctx && ctx->siteInfo.server_runmode ? int(ctx->siteInfo.server_runmode) : 1;
  }
  ctl->srcOffset = srcOffset;
  ctl->sinkOffset = sinkOffset;
  ctl->transferLength = length;
  ctl->quorFile.conHandle = srcHandle;
  ctl->quor2ndFile->conHandle = sinkHandle;
  ctl->quorFile.quorPath = strdup(srcPath);
  if (ctl->quorFile.quorPath == nullptr) {
    ozu_MallocError(long(strlen(srcPath) + 1), "ozu_CopyFile", __FILE__, __LINE__);
    result = -12;
    goto end;
  }
  ctl->quor2ndFile->quorPath = strdup(sinkPath);
  if (ctl->quor2ndFile->quorPath == nullptr) {
    ozu_MallocError(long(strlen(sinkPath) + 1), "ozu_CopyFile", __FILE__, __LINE__);
    result = -12;
    goto end;
  }
  if (useConnection(srcHandle) < 0 || copy_OpenSource(ctl, srcAttrs) < 0)
    goto end;
  if (useConnection(sinkHandle) < 0)
    goto end;
  copy_SinkHints(ctl);
  if (copy_CreateSink(ctl) < 0 || positionFiles(ctl) < 0)
    goto end;
  if (ctl->transferLength == 0) {
    uint64_t size = ctl->quorFile.attrs.Attrs.DataLength;
    ctl->transferLength = size > ctl->srcOffset ? size - ctl->srcOffset : 0;
  }
  if (ctl->transferLength == 0) {
    result = 0;
  } else if (srcHandle == sinkHandle) {
    result = copyTheFile(ctl);
  } else if (method == COPY_METHOD_LOCAL) {
    if (debug >= 2)
      fprintf(listF, "/debug/calling xqcp_LM_Main: xfer will use \"local\" method\n");
    result = xqcp_LM_Main(ctl);
  } else {
    if (debug >= 2)
      fprintf(listF, "/debug/calling xqcp_QEL_Main: xfer will use \"QELAPI Server\" method\n");
    result = xqcp_QEL_Main(ctl);
  }
  // The finishing steps name the sink by path: on its connection.
  if (result == 0 && useConnection(sinkHandle) == 0)
    copy_Finish(ctl);
end:
  copy_End(ctl, result);
back:
  if (startHandle >= 0 && currentHandle() != startHandle && ozu_SetCurConnection(startHandle) < 0)
    fprintf(errFile, "*** %s: Unable to switch back to previous connection!\n", "ozu_CopyFile");
  return result;
}
