// Transfers through the gateway (no movers of the client's own): a control
// thread starts a storage reader and a local writer, which hand the two
// buffers of the record back and forth. The caller always waits for the
// control thread, which has joined both, so nothing of the record is used
// after the call returns.
#include <errno.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "ozu_log.h"
#include "ozu_misc.h"
#include "ozuvars.h"
#include "quor_api.h"
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

void *read_quor_normal_ctl_thread(void *arg)
{
  auto *ctl = static_cast<transfer_t *>(arg);
  pthread_t reader, writer;
  ctl->read_active = 1;
  bool haveReader = ozu_ThreadCreate(&reader, nullptr, read_quor_normal_thread, ctl) == 0;
  if (!haveReader) {
    fprintf(errFile, "*** read_quor_normal_ctl_thread: error %d starting read thread\n", errno);
    ctl->read_active = 0;
  }
  ctl->write_active = 1;
  bool haveWriter = haveReader && ozu_ThreadCreate(&writer, nullptr, write_local_normal_thread, ctl) == 0;
  if (haveReader && !haveWriter) {
    fprintf(errFile, "*** read_quor_normal_ctl_thread: error %d starting file write thread\n", errno);
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
