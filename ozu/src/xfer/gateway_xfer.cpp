// Transfers through the gateway (no movers of the client's own): a control
// thread starts a storage reader and a local writer, which hand the two
// buffers of the record back and forth. The caller always waits for the
// control thread, which has joined both, so nothing of the record is used
// after the call returns.
#include <errno.h>
#include <poll.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "ozu_context.h"
#include "ozu_errors.h"
#include "ozu_locks.h"
#include "ozu_log.h"
#include "ozu_misc.h"
#include "ozuvars.h"
#include "quor_api.h"
#include "quor_convert.h"
#include "xfer_digest.h"
#include "xfer_put.h"
#include "xfer_record.h"

namespace {

// Waits under the buffer's lock while its state is (or is not) full.
bool waitBuf(transfer_t *ctl, io_buffer_t *b, bool untilFull)
{
  pthread_mutex_lock(&b->bufLock);
  while ((untilFull ? b->state != 2 : b->state == 2) && ctl->abortSignalled == 0)
    pthread_cond_wait(&b->bufCond, &b->bufLock);
  bool ok = ctl->abortSignalled == 0 || (untilFull && b->state == 2);
  pthread_mutex_unlock(&b->bufLock);
  return ok;
}

void markBuf(io_buffer_t *b, int state, bool last)
{
  pthread_mutex_lock(&b->bufLock);
  if (last)
    b->bufFlags |= BUF_EOD;
  b->state = state;
  pthread_cond_broadcast(&b->bufCond);
  pthread_mutex_unlock(&b->bufLock);
}

void endThread(transfer_t *ctl, int result, io_buffer_t *cur, std::atomic<int32_t> &active)
{
  pthread_mutex_lock(&ctl->abortLock);
  if (ctl->transfer_result == 0)
    ctl->transfer_result = result;
  if (result < 0)
    ctl->abortSignalled++;
  pthread_mutex_unlock(&ctl->abortLock);
  for (io_buffer_t *b : {&ctl->rwbuf[0], &ctl->rwbuf[1]}) {
    pthread_mutex_lock(&b->bufLock);
    pthread_cond_broadcast(&b->bufCond);
    pthread_mutex_unlock(&b->bufLock);
  }
  (void)cur;
  active = 0;
}

void *read_quor_normal_thread(void *arg)
{
  auto *ctl = static_cast<transfer_t *>(arg);
  uint64_t remaining = ctl->transferLength;
  int which = 1, result = 0;
  io_buffer_t *b = &ctl->rwbuf[which];
  while (remaining > 0 && result == 0) {
    b = &ctl->rwbuf[which];
    if (!waitBuf(ctl, b, false))
      break;
    uint32_t want = uint32_t(std::min<uint64_t>(uint64_t(b->bufSize), remaining));
    uint32_t got = 0;
    bool last = false;
    while (got < want) {
      int fd = ctl->quorFile.quorFD;
      char *dst = b->buffer + got;
      size_t n = want - got;
      ssize_t r = ssize_t(ozu_EioRetry([&] { return int(quor_Read(fd, dst, n)); }));
      if (r == 0) {
        fprintf(errFile, "***[read_quor_normal_thread] quor_Read returned 0 bytes\n");
        result = -5;
        last = true;
        break;
      }
      if (r < 0) {
        result = int(r);
        last = true;
        break;
      }
      got += uint32_t(r);
    }
    b->dataLength = got;
    remaining -= got;
    if (result == 0 && (ctl->Flags & FX_CKSUM_ENABLED) && ctl->hashInfo.theHash != nullptr) {
      quor_HashAppendBuf(ctl->hashInfo.theHash, b->buffer, got);
      ctl->hashInfo.hashedBytes += got;
    }
    markBuf(b, 2, last || remaining == 0);
    which ^= 1;
  }
  endThread(ctl, result, b, ctl->read_active);
  return nullptr;
}

void *write_local_normal_thread(void *arg)
{
  auto *ctl = static_cast<transfer_t *>(arg);
  local_file_info_t *lf = &ctl->localFile;
  int which = 1, result = 0;
  io_buffer_t *b = &ctl->rwbuf[which];
  for (;;) {
    b = &ctl->rwbuf[which];
    if (!waitBuf(ctl, b, true))
      break;
    uint32_t done = 0;
    bool told = false;
    while (done < b->dataLength && result == 0) {
      ssize_t w = ozu_LocalWrite(lf->localFD, b->buffer + done, b->dataLength - done);
      if (w > 0) {
        done += uint32_t(w);
        ctl->totalBytesMoved += uint64_t(w);
        ctl->currentSrcAddr += uint64_t(w);
        continue;
      }
      if (w < 0 && errno == EINTR)
        continue;
      if (w < 0 && errno == EAGAIN) {
        ozu_ThreadSleep(2, 0);
        continue;
      }
      if (w < 0 && errno == ENOSPC) {
        char msg[4200];
        snprintf(msg, sizeof msg, "OUT OF SPACE writing local file %s", lf->localPath);
        if (!told) {
          fprintf(listF, "%s\n", msg);
          ozu_ConsoleMessage("OUT OF SPACE in local filesystem - delaying/retrying....");
          told = true;
        }
        ozu_LogCmd(msg, 1);
        ozu_ThreadSleep(30, 0);
        if (ctl->abortSignalled > 0)
          result = -ENOSPC;
        continue;
      }
      result = w < 0 ? -errno : -5;
    }
    if (told)
      ozu_ConsoleMessage("");
    bool last = (b->bufFlags & BUF_EOD) != 0;
    if (debug >= 3 && (last || result < 0))
      fprintf(errFile, "write thread: EOF hit (flag=%d) or abort (flag=%d)\n", int(last), result < 0);
    if (last || result < 0)
      break;
    markBuf(b, 1, false);
    which ^= 1;
  }
  endThread(ctl, result, b, ctl->write_active);
  return nullptr;
}

// A reader and a writer over the two buffers, run until both end; one that
// cannot start ends the transfer, and the other is woken to see it.
void runReaderWriter(transfer_t *ctl, const char *me, void *(*readFn)(void *), void *(*writeFn)(void *))
{
  pthread_t reader, writer;
  ctl->read_active = 1;
  bool haveReader = ozu_ThreadCreate(&reader, nullptr, readFn, ctl) == 0;
  if (!haveReader) {
    fprintf(errFile, "*** %s: error %d starting read thread\n", me, errno);
    ctl->read_active = 0;
  }
  ctl->write_active = 1;
  bool haveWriter = haveReader && ozu_ThreadCreate(&writer, nullptr, writeFn, ctl) == 0;
  if (haveReader && !haveWriter) {
    fprintf(errFile, "*** %s: error %d starting file write thread\n", me, errno);
    ctl->write_active = 0;
  }
  if (!haveReader || !haveWriter) {
    pthread_mutex_lock(&ctl->abortLock);
    ctl->transfer_result = -1;
    ctl->abortSignalled++;
    pthread_mutex_unlock(&ctl->abortLock);
    for (io_buffer_t *b : {&ctl->rwbuf[0], &ctl->rwbuf[1]}) {
      pthread_mutex_lock(&b->bufLock);
      pthread_cond_broadcast(&b->bufCond);
      pthread_mutex_unlock(&b->bufLock);
    }
  }
  if (haveReader)
    pthread_join(reader, nullptr);
  if (haveWriter)
    pthread_join(writer, nullptr);
  pthread_mutex_lock(&ctl->abortLock);
  ctl->transfer_active = 0;
  pthread_cond_broadcast(&ctl->abortCondition);
  pthread_mutex_unlock(&ctl->abortLock);
}


void *read_quor_normal_ctl_thread(void *arg)
{
  runReaderWriter(static_cast<transfer_t *>(arg), "read_quor_normal_ctl_thread", read_quor_normal_thread,
                  write_local_normal_thread);
  return nullptr;
}

}  // namespace

int read_quor_regular(transfer_t *ctl, int lastPartialXfer)
{
  const char *me = "read_quor_regular";
  if (ctl->busystate == TRANSFER_ENTRY_RESERVED) {
    double t0 = ozu_GetTimestamp();
    for (io_buffer_t &b : ctl->rwbuf)
      if (b.buffer == nullptr && ozu_InitRwBuf(ctl, &b, 0) < 0)
        return -1;
    ctl->overheadTime += ozu_GetTimestamp() - t0;
    if (ozu_InitXferLocks(ctl) < 0) {
      fprintf(errFile, "*** %s: pthread_mutex_init error %d\n", me, -1);
      return -1;
    }
    ctl->busystate = TRANSFER_ENTRY_ACTIVE;
  }
  for (io_buffer_t &b : ctl->rwbuf) {
    b.state = 0;
    b.dataLength = 0;
    b.bufFlags &= BUF_LOCK_INIT | BUF_COND_INIT;
  }
  ctl->transfer_result = 0;
  ctl->currentSrcAddr = ctl->srcOffset.load();
  ctl->currentSrcOffset = 0;
  ctl->startTime = ozu_GetTimestamp();
  ctl->abortSignalled = 0;
  ctl->transfer_active = 1;
  pthread_t control;
  if (ozu_ThreadCreate(&control, nullptr, read_quor_normal_ctl_thread, ctl) < 0) {
    fprintf(errFile, "[read_quor_regular]*** error on ozu_ThreadCreate call: %d\n", -1);
    ctl->transfer_active = 0;
    return -1;
  }
  ozu_ThreadYield();
  pthread_join(control, nullptr);
  int result = ctl->abortSignalled > 0 || ctl->transfer_result < 0 ? -1 : 0;
  if (ctl->transfer_result < 0)
    result = ctl->transfer_result;
  ctl->stopTime = ozu_GetTimestamp();
  if (result == 0 && !ctl->localFile.pipedFile && !(ctl->srcMode & 0200) &&
      fchmod(ctl->localFile.localFD, mode_t(ctl->srcMode)) != 0)
    perror("fchmod-remove <write> permission on local file");
  if (lastPartialXfer) {
    if (debug >= 1)
      fprintf(listF, "/debug/lastPartialXfer set: cleaning up after xfer\n");
    ozu_clean_rw_buf(ctl, &ctl->rwbuf[0]);
    ozu_clean_rw_buf(ctl, &ctl->rwbuf[1]);
    ctl->busystate = TRANSFER_ENTRY_RESERVED;
  }
  return result;
}

// ---- the store ----

namespace {

// Reads the local source into the two buffers in turn. A pipe's leading
// srcOffset bytes are read and dropped, through the buffer the first data
// will fill.
void *read_local_normal_thread(void *arg)
{
  auto *ctl = static_cast<transfer_t *>(arg);
  local_file_info_t *lf = &ctl->localFile;
  uint64_t remaining = ctl->transferLength;
  uint64_t skip = lf->pipedFile ? ctl->srcOffset.load() : 0;
  int which = 1, result = 0;
  io_buffer_t *b = &ctl->rwbuf[which];
  bool hashing = (ctl->Flags & FX_CKSUM_ENABLED) && ctl->hashInfo.theHash != nullptr;
  while (remaining > 0 && result == 0) {
    b = &ctl->rwbuf[which];
    if (!waitBuf(ctl, b, false))
      break;
    bool last = false;
    uint64_t want = std::min<uint64_t>(uint64_t(b->bufSize), skip > 0 ? skip : remaining);
    uint32_t got = 0;
    while (got < want) {
      ssize_t r = ozu_LocalRead(lf->localFD, b->buffer + got, size_t(want - got));
      if (r > 0) {
        got += uint32_t(r);
        lf->currentPos += uint64_t(r);
        continue;
      }
      if (r == 0) {
        if (debug >= 3)
          fprintf(listF, "***[read_local_normal_thread] EOF detected on input file]\n");
        last = true;
        break;
      }
      if (errno == EAGAIN || errno == EINTR || errno == EINPROGRESS || errno == EALREADY) {
        if (errno == EAGAIN) {
          struct pollfd p = {lf->localFD, POLLIN, 0};
          poll(&p, 1, 250);
        }
        continue;
      }
      int e = errno;
      char text[128], a[32];
      snprintf(text, sizeof text, "reading %d bytes at offset %s", int(want - got), u64tostr_r(lf->currentPos, a));
      quor_perror(-e, "local read", text, errFile);
      result = -e;
      last = true;
      break;
    }
    if (skip > 0) {
      skip -= got;
      if (!last && result == 0)
        continue;
      if (debug >= 1)
        fprintf(listF, "/debug/hit EOF or abort during pipe prepositioning\n");
      b->dataLength = 0;
      remaining = 0;
      markBuf(b, 2, true);
      break;
    }
    b->dataLength = got;
    if (last)
      remaining = 0;
    else
      remaining -= got;
    if (hashing && got > 0) {
      int rc = quor_HashAppendBuf(ctl->hashInfo.theHash, b->buffer, got);
      if (rc < 0)
        fprintf(errFile, "*** [read_local_normal_thread] error computing digest for %ld bytes in buffer (rc = %d)\n",
                long(got), rc);
      ctl->hashInfo.hashedBytes += got;
    }
    if (hashing && remaining == 0 && result == 0)
      ozu_FDigest_FinishHashDigest(ctl);
    markBuf(b, 2, remaining == 0);
    which ^= 1;
  }
  endThread(ctl, result, b, ctl->read_active);
  return nullptr;
}

// Small piped input whose whole size is known before the first write gets
// its class of service for that size.
int reselect_COS_before_first_write(transfer_t *ctl, io_buffer_t *theBuf)
{
  ozu_context_t *ctx = ozu_XferContext(ctl);
  if (!(theBuf->bufFlags & BUF_EOD) || !ctl->localFile.pipedFile || (ctl->Flags & FX_RETRANSFER_REQ) ||
      theBuf->dataLength == 0 || !keyset || !keyset->autocosFlag || ctx == nullptr)
    return 0;
  quor_file_info_t *qf = &ctl->quorFile;
  quor_cos_hints_t hints;
  quor_cos_priorities_t pri;
  memset(&hints, 0, sizeof hints);
  memset(&pri, 0, sizeof pri);
  uint64_t size = qf->currentPos + theBuf->dataLength;
  uint32_t subsys = ozu_GetParentSubsysID(qf->quorPath);
  if (quorex_SelectCOS(ctx->namedCosList, size, uid_t(ctx->curLogin.uid), gid_t(ctx->curLogin.gid),
                       ctx->curLogin.acctId, keyset->copies, long(subsys), &hints, &pri) < 0)
    return 0;
  int fd = qf->quorFD;
  quor_cos_md_t out;
  memset(&out, 0, sizeof out);
  int rc = ozu_EioRetry([&] { return quor_SetCOSByHints(fd, 0, &hints, &pri, &out); });
  if (debug >= 1)
    fprintf(listF, "/debug/quor_SetCOSByHints with COS ID %d returned %d \n", int(hints.COSId), rc);
  if (rc == 0) {
    qf->cosID = int32_t(out.COSId ? out.COSId : hints.COSId);
    qf->hintsOut.COSId = unsigned32(qf->cosID);
    if (debug >= 1)
      fprintf(listF, "/debug/quor_SetCOSByHints used to change COS to %d before 1st write\n", qf->cosID);
  } else if (rc != -1) {
    setExitResult(72, quor_perror(rc, "quor_SetCOSByHints", qf->quorPath, nullptr), 7);
  }
  return 0;
}

// Writes one buffer to the storage file. Storage ENOSPC and EAGAIN wait
// 2 s and retry without limit; EIO retries five times after 10 to 50 s,
// each from the unwritten position. 0 or negative.
int writeStorageBuffer(transfer_t *ctl, io_buffer_t *b)
{
  quor_file_info_t *qf = &ctl->quorFile;
  uint32_t done = 0;
  int eios = 0;
  char a[32];
  while (done < b->dataLength) {
    if (ctl->abortSignalled > 0)
      return -1;
    ssize_t w = quor_Write(qf->quorFD, b->buffer + done, b->dataLength - done);
    if (w > 0) {
      done += uint32_t(w);
      qf->currentPos += uint64_t(w);
      ctl->totalBytesMoved += uint64_t(w);
      ctl->currentSrcAddr += uint64_t(w);
      continue;
    }
    if (w == -28 || w == -11) {
      ozu_ThreadSleep(2, 0);
      continue;
    }
    if (w == -5) {
      if (++eios > 5) {
        char msg[128];
        snprintf(msg, sizeof msg, "Fatal EIO error on write, file offset=%s", u64tostr_r(qf->currentPos, a));
        setExitResult(74, msg, 7);
        return -5;
      }
      char msg[128];
      snprintf(msg, sizeof msg, "EIO error on write. Retrying (pos=%s)", u64tostr_r(qf->currentPos, a));
      if (debug >= 1)
        setExitResult(0, msg, 7);
      else
        quor_Logmsg(0x3000, 0x2000000, msg);
      ozu_ThreadSleep(10 * eios, 0);
      uint64_t out = 0;
      int fd = qf->quorFD;
      uint64_t pos = qf->currentPos;
      int rc = ozu_EioRetry([&] { return quor_SetFileOffset(fd, pos, 0, 0, &out); });
      if (rc < 0) {
        char m2[128];
        snprintf(m2, sizeof m2, "*** unable to reposition file to offset %s after write error", u64tostr_r(pos, a));
        setExitResult(74, m2, 7);
        return rc;
      }
      if (debug >= 1)
        fprintf(listF, "/debug/successfully repositioned to file offset %s - retrying write\n", u64tostr_r(pos, a));
      continue;
    }
    char msg[128];
    snprintf(msg, sizeof msg, "writing %d bytes at offset %s", int(b->dataLength - done),
             u64tostr_r(qf->currentPos, a));
    setExitResult(74, quor_perror(int(w < 0 ? w : -5), "quor_Write", msg, nullptr), 7);
    return int(w < 0 ? w : -5);
  }
  return 0;
}

void *write_quor_normal_thread(void *arg)
{
  auto *ctl = static_cast<transfer_t *>(arg);
  int which = 1, result = 0;
  bool first = true;
  io_buffer_t *b = &ctl->rwbuf[which];
  for (;;) {
    b = &ctl->rwbuf[which];
    if (!waitBuf(ctl, b, true))
      break;
    if (first) {
      reselect_COS_before_first_write(ctl, b);
      first = false;
    }
    result = writeStorageBuffer(ctl, b);
    bool last = (b->bufFlags & BUF_EOD) != 0;
    if (last || result < 0)
      break;
    markBuf(b, 1, false);
    which ^= 1;
  }
  endThread(ctl, result, b, ctl->write_active);
  return nullptr;
}

void *write_regular_signal_thread(void *) { return nullptr; }

void *write_quor_normal_ctl_thread(void *arg)
{
  runReaderWriter(static_cast<transfer_t *>(arg), "write_quor_normal_ctl_thread", read_local_normal_thread,
                  write_quor_normal_thread);
  return nullptr;
}

}  // namespace

// The caller waits for the control thread, which has joined the reader and
// the writer: an aborted store returns only after its threads ended, and
// the record is released once, by the caller's caller.
int write_quor_regular(transfer_t *ctl)
{
  const char *me = "write_quor_regular";
  double t0 = ozu_GetTimestamp();
  for (io_buffer_t &b : ctl->rwbuf)
    if (b.buffer == nullptr && ozu_InitRwBuf(ctl, &b, 0) < 0)
      return -1;
  ctl->overheadTime += ozu_GetTimestamp() - t0;
  if (ctl->busystate == TRANSFER_ENTRY_RESERVED || !ctl->abortMutexCreated) {
    if (ozu_InitXferLocks(ctl) < 0) {
      fprintf(errFile, "*** [write_quor_regular] pthread_mutex_init error %d\n", -1);
      return -1;
    }
  }
  ctl->busystate = TRANSFER_ENTRY_ACTIVE;
  for (io_buffer_t &b : ctl->rwbuf) {
    b.state = 0;
    b.dataLength = 0;
    b.bufFlags &= BUF_LOCK_INIT | BUF_COND_INIT;
  }
  ctl->abortSignalled = 0;
  ctl->transfer_active = 1;
  ctl->transfer_result = 0;
  ctl->totalBytesMoved = 0;
  ctl->currentSrcAddr = ctl->srcOffset.load();
  pthread_t sig, control;
  bool haveSig = ozu_ThreadCreate(&sig, nullptr, write_regular_signal_thread, ctl) == 0;
  ozu_ThreadYield();
  ctl->startTime = ozu_GetTimestamp();
  if (!haveSig || ozu_ThreadCreate(&control, nullptr, write_quor_normal_ctl_thread, ctl) < 0) {
    fprintf(errFile, "*** %s: error %d on ozu_ThreadCreate call\n", me, errno);
    if (haveSig)
      pthread_join(sig, nullptr);
    ctl->transfer_active = 0;
    ozu_clean_rw_buf(ctl, &ctl->rwbuf[0]);
    ozu_clean_rw_buf(ctl, &ctl->rwbuf[1]);
    return -1;
  }
  pthread_join(sig, nullptr);
  pthread_join(control, nullptr);
  int result = ctl->abortSignalled > 0 || ctl->transfer_result < 0 ? -1 : 0;
  if (ctl->transfer_result < 0)
    result = ctl->transfer_result;
  ctl->transfer_active = 0;
  ctl->stopTime = ozu_GetTimestamp();
  if (result == 0 && !ctl->localFile.pipedFile && !(ctl->srcMode & 0200)) {
    const char *path = ctl->quorFile.quorPath;
    mode_t mode = mode_t(ctl->srcMode);
    int rc = ozu_EioRetry([&] { return quor_Chmod(path, mode); });
    if (rc < 0) {
      setExitResult(0, quor_perror(rc, "quor_Chmod", path, nullptr), 7);
      char msg[4200];
      snprintf(msg, sizeof msg, "*** Error removing <write> permission on dest. file %s", path);
      setExitResult(0, msg, 7);
    }
  }
  ozu_clean_rw_buf(ctl, &ctl->rwbuf[0]);
  ozu_clean_rw_buf(ctl, &ctl->rwbuf[1]);
  return result;
}
