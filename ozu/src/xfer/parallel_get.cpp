// The parallel-mover method of a get: list reads through the movers into
// the pool, and a local-file thread that writes the buffers in order.
// Buffers are numbered by source address; a buffer's bytes go to the local
// file at sinkOffset + (address - srcOffset), so ranges whose source and
// sink offsets differ keep one address space.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <vector>

#include "ozu_context.h"
#include "ozu_locks.h"
#include "ozu_log.h"
#include "ozu_misc.h"
#include "ozuvars.h"
#include "quor_api.h"
#include "quor_convert.h"
#include "xfer_record.h"

namespace {

bool aborted(transfer_t *ctl) { return ctl->abortSignalled > 0; }

// Local position of a source address.
off_t localPos(transfer_t *ctl, uint64_t addr)
{
  return off_t(ctl->sinkOffset + (addr - ctl->srcOffset));
}

// Writes len bytes at local address pos (ignored for a pipe), waiting out a
// full file system in 30 s steps while the transfer is not aborted.
int writeLocal(transfer_t *ctl, const char *data, uint32_t len, off_t pos)
{
  local_file_info_t *lf = &ctl->localFile;
  uint32_t done = 0;
  bool told = false, shown = false;
  int result = 0;
  while (done < len) {
    struct pollfd p = {lf->localFD, POLLOUT, 0};
    int n = poll(&p, 1, 250);
    if (n == 0) {
      if (aborted(ctl)) {
        result = -1;
        break;
      }
      ozu_ThreadYield();
      continue;
    }
    if (n < 0) {
      if (errno == EINTR)
        continue;
      if (debug >= 3)
        fprintf(listF, "/debug/error %d on select() - exiting accept loop\n", errno);
      result = -1;
      break;
    }
    ssize_t w;
    if (lf->pipedFile)
      w = lf->gpfsFlag ? gpfs_write(lf->localFD, data + done, len - done)
                       : ozu_LocalWrite(lf->localFD, data + done, len - done);
    else
      w = ozu_LocalPwrite(lf->localFD, data + done, len - done, pos + off_t(done));
    if (w > 0) {
      done += uint32_t(w);
      continue;
    }
    if (w < 0 && (errno == EAGAIN || errno == EINTR))
      continue;
    if (w < 0 && errno == ENOSPC) {
      if (aborted(ctl)) {
        result = -1;
        break;
      }
      char msg[4200];
      snprintf(msg, sizeof msg, "OUT OF SPACE writing local file %s", lf->localPath);
      if (!told) {
        fprintf(listF, "%s\n", msg);
        ozu_ConsoleMessage("OUT OF SPACE in local filesystem - delaying/retrying....");
        told = shown = true;
      }
      ozu_LogCmd(msg, 1);
      ozu_ThreadSleep(30, 0);
      if (aborted(ctl)) {
        result = -1;
        break;
      }
      continue;
    }
    char msg[4200];
    snprintf(msg, sizeof msg, "*** I/O error %d on local file %s trying to write %d bytes\n",
             w < 0 ? errno : EIO, lf->localPath, int(len - done));
    setExitResult(74, msg, 7);
    SET_TRANSFER_ABORTED(ctl);
    result = -1;
    break;
  }
  if (shown)
    ozu_ConsoleMessage("");
  return result;
}

}  // namespace

int write_local_file(transfer_t *Ctl, int, io_buffer_t *theBuf)
{
  return writeLocal(Ctl, theBuf->buffer, theBuf->dataLength, localPos(Ctl, theBuf->fileOffset));
}

static void *local_file_thread(void *theXfer)
{
  auto *ctl = static_cast<transfer_t *>(theXfer);
  uint64_t localOffset = ctl->srcOffset, numbering = ctl->srcOffset;
  ctl->localFileThreadActive = 1;
  bool hashing = (ctl->Flags & FX_CKSUM_ENABLED) && ctl->hashInfo.theHash != nullptr;
  pthread_mutex_lock(&ctl->bufQueueLock);
  for (;;) {
    bool quit = false;
    while (ctl->bufEmptyQueue == nullptr) {
      if (aborted(ctl)) {
        quit = true;
        break;
      }
      if (!ctl->transfer_active) {
        bool data = false;
        for (io_buffer_t *b = ctl->bufReadyQueue; b && !data; b = b->next)
          data = b->dataLength > 0;
        if (!data) {
          if (debug >= 3)
            fprintf(listF, "/debug/detected transfer active and all ready bufs empty\n");
          quit = true;
          break;
        }
      }
      struct timespec ts = ozu_DeadlineMs(250);
      pthread_cond_timedwait(&ctl->bufQueueCondition, &ctl->bufQueueLock, &ts);
    }
    if (quit)
      break;
    io_buffer_t *b = ctl->bufEmptyQueue;
    if (b->dataLength > 0 && b->fileOffset < localOffset) {
      char e1[32], e2[32];
      fprintf(listF, "*** Fatal error detected in local file thread - offset in buffer < current file offset\n");
      fprintf(listF, "  Expected offset: %s ", u64tostr_r(localOffset, e1));
      fprintf(listF, "  buffer offset: %s\n", u64tostr_r(b->fileOffset, e2));
      pthread_mutex_unlock(&ctl->bufQueueLock);
      SET_TRANSFER_ABORTED(ctl);
      pthread_mutex_lock(&ctl->bufQueueLock);
      break;
    }
    if (b->dataLength > 0 && b->fileOffset > localOffset) {
      if (debug >= 3) {
        char e1[32];
        fprintf(listF, "local_file_thread: file offset > expected offset of %s - delay/retry\n",
                u64tostr_r(localOffset, e1));
      }
      bool stop = false;
      while (ctl->bufEmptyQueue == b) {
        if (aborted(ctl)) {
          stop = true;
          break;
        }
        struct timespec ts = ozu_DeadlineMs(100);
        pthread_cond_timedwait(&ctl->bufQueueCondition, &ctl->bufQueueLock, &ts);
      }
      if (stop)
        break;
      continue;
    }
    ctl->bufEmptyQueue = b->next;
    b->next = nullptr;
    pthread_mutex_unlock(&ctl->bufQueueLock);
    if (b->dataLength > 0) {
      if (debug >= 3)
        fprintf(listF, "local file thread: buffer@ %p, writing %d bytes to local file\n",
                static_cast<void *>(b), int(b->dataLength));
      if (!(b->bufFlags & BUF_WRITTEN) && write_local_file(ctl, ctl->localFile.localFD, b) < 0) {
        SET_TRANSFER_ABORTED(ctl);
        pthread_mutex_lock(&ctl->bufQueueLock);
        ozu_InsertSorted(&ctl->bufEmptyQueue, b);
        break;
      }
      if (hashing) {
        int rc = quor_HashAppendBuf(ctl->hashInfo.theHash, b->buffer, b->dataLength);
        if (rc < 0)
          fprintf(errFile, "*** %s: error computing checksum for %ld bytes in buffer (rc = %d). Transfer continues ...\n",
                  "local_file_thread", long(b->dataLength), rc);
        ctl->hashInfo.hashedBytes += b->dataLength;
      }
      localOffset = b->fileOffset + b->dataLength;
      ctl->currentSinkOffset = b->iodOffset + b->dataLength;
    }
    pthread_mutex_lock(&ctl->bufQueueLock);
    if (b->bufFlags & BUF_EOD) {
      if (debug >= 3)
        fprintf(listF, "/debug/local file thread detected EOF flag - quitting\n");
      b->next = ctl->bufEmptyQueue;
      ctl->bufEmptyQueue = b;
      break;
    }
    if (b->bufFlags & BUF_RESTART) {
      b->bufFlags &= ~uint32_t(BUF_RESTART);
      numbering = localOffset = b->newFileOffset;
      if (debug >= 3) {
        char e1[32];
        fprintf(listF, "/debug/local file thread resetting current file offset to %s\n",
                u64tostr_r(numbering, e1));
      }
    }
    pthread_mutex_lock(&b->bufLock);
    b->dataLength = 0;
    b->fileOffset = numbering;
    b->iodOffset = 0;
    b->bufFlags = (b->bufFlags & ~uint32_t(BUF_WRITTEN)) | BUF_ARMED;
    pthread_mutex_unlock(&b->bufLock);
    numbering += uint64_t(b->bufSize);
    ozu_InsertSorted(&ctl->bufReadyQueue, b);
    while (io_bufreq_t *r = ctl->requestQueue) {
      if (r->dataAddress < b->fileOffset || r->dataAddress >= b->fileOffset + uint64_t(b->bufSize))
        break;
      ctl->requestQueue = r->next;
      r->next = nullptr;
      pthread_mutex_lock(&r->reqLock);
      pthread_cond_signal(&r->reqCond);
      pthread_mutex_unlock(&r->reqLock);
    }
    pthread_cond_broadcast(&ctl->bufQueueCondition);
  }
  ctl->localFileThreadActive = 0;
  pthread_cond_broadcast(&ctl->bufQueueCondition);
  pthread_mutex_unlock(&ctl->bufQueueLock);
  ozu_ReqQueueSignalAll(ctl);
  if (debug >= 3)
    fprintf(listF, "/debug/local_file_thread exiting\n");
  return nullptr;
}

static bool phaseOver(transfer_t *ctl)
{
  return ctl->abortSignalled > 0 || !ctl->transfer_active;
}

void moveReadyBufsToEmptyQueue(transfer_t *Ctl)
{
  pthread_mutex_lock(&Ctl->bufQueueLock);
  bool data = false;
  for (io_buffer_t *b = Ctl->bufReadyQueue; b && !data; b = b->next)
    data = b->dataLength > 0;
  if (data) {
    while (io_buffer_t *b = Ctl->bufReadyQueue) {
      Ctl->bufReadyQueue = b->next;
      ozu_InsertSorted(&Ctl->bufEmptyQueue, b);
    }
    pthread_cond_broadcast(&Ctl->bufQueueCondition);
  }
  while (Ctl->localFileThreadActive && Ctl->bufEmptyQueue != nullptr) {
    if (phaseOver(Ctl))
      goto out;
    struct timespec ts = ozu_DeadlineMs(100);
    pthread_cond_timedwait(&Ctl->bufQueueCondition, &Ctl->bufQueueLock, &ts);
  }
  for (;;) {
    int n = 0;
    for (io_buffer_t *b = Ctl->bufReadyQueue; b; b = b->next)
      n++;
    if (!Ctl->localFileThreadActive || n >= Ctl->bufCount)
      break;
    struct timespec ts = ozu_DeadlineMs(100);
    pthread_cond_timedwait(&Ctl->bufQueueCondition, &Ctl->bufQueueLock, &ts);
    if (phaseOver(Ctl) || !Ctl->localFileThreadActive)
      goto out;
  }
  {
    io_buffer_t **tail = &Ctl->bufEmptyQueue;
    while (*tail)
      tail = &(*tail)->next;
    *tail = Ctl->bufReadyQueue;
    Ctl->bufReadyQueue = nullptr;
    if (Ctl->bufEmptyQueue != nullptr) {
      Ctl->bufEmptyQueue->newFileOffset = Ctl->currentSrcAddr;
      Ctl->bufEmptyQueue->bufFlags |= BUF_RESTART;
    }
    for (io_buffer_t *b = Ctl->bufEmptyQueue; b; b = b->next)
      b->dataLength = 0;
    pthread_cond_broadcast(&Ctl->bufQueueCondition);
  }
out:
  pthread_mutex_unlock(&Ctl->bufQueueLock);
}

int reinitControlStructure(transfer_t *Ctl, int)
{
  for (int i = 0; Ctl->connectionList && i < Ctl->connectListSize; ++i) {
    connection_info_t *s = &Ctl->connectionList[i];
    io_bufreq_t keep = s->ioRequest;
    s->conInx = i;
    s->isactive = 0;
    s->controlSocket = s->listenSocket = s->transferSocket = -1;
    memset(&s->remoteAddr, 0, sizeof s->remoteAddr);
    memset(&s->remoteTransferAddr, 0, sizeof s->remoteTransferAddr);
    memset(&s->localNetAddr, 0, sizeof s->localNetAddr);
    s->startTime = s->stopTime = s->overheadTime = s->mvrProtocolTime = s->waitNetTime =
        s->waitFileTime = 0;
    s->ioRequest.next = nullptr;
    s->ioRequest.iodOffset = s->ioRequest.dataAddress = s->ioRequest.requestLength = 0;
    (void)keep;
  }
  Ctl->requestQueue = nullptr;
  io_buffer_t **tail = &Ctl->bufReadyQueue;
  while (*tail)
    tail = &(*tail)->next;
  *tail = Ctl->bufEmptyQueue;
  Ctl->bufEmptyQueue = Ctl->bufReadyQueue;
  Ctl->bufReadyQueue = nullptr;
  for (io_buffer_t *b = Ctl->bufEmptyQueue; b; b = b->next) {
    b->bufFlags &= BUF_LOCK_INIT | BUF_COND_INIT;
    b->ioCount = 0;
    b->iodOffset = b->fileOffset = b->newFileOffset = 0;
    b->dataMoved = b->dataLength = 0;
  }
  return 0;
}

// The local file reads as zeros over [from, to) of local addresses: a
// hole punched (or zeros written) where the file already has bytes, and
// the file extended when shorter. Never shortens it. 0 or -1.
static int zeroLocalRange(transfer_t *ctl, off_t from, off_t to)
{
  local_file_info_t *lf = &ctl->localFile;
  static const char zeros[65536] = {};
  if (lf->pipedFile) {
    for (off_t p = from; p < to;) {
      size_t n = size_t(std::min<off_t>(to - p, off_t(sizeof zeros)));
      if (writeLocal(ctl, zeros, uint32_t(n), 0) < 0)
        return -1;
      p += off_t(n);
    }
    return 0;
  }
  struct stat st;
  if (fstat(lf->localFD, &st) != 0)
    return -1;
  off_t have = st.st_size;
  if (have > from) {
    off_t end = std::min(have, to);
    if (fallocate(lf->localFD, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, from, end - from) != 0) {
      for (off_t p = from; p < end;) {
        size_t n = size_t(std::min<off_t>(end - p, off_t(sizeof zeros)));
        if (writeLocal(ctl, zeros, uint32_t(n), p) < 0)
          return -1;
        p += off_t(n);
      }
    }
  }
  if (have < to && ftruncate(lf->localFD, to) != 0) {
    fprintf(listF, "error %d truncating file %s to %lu bytes - aborting\n", errno, lf->localPath,
            (unsigned long)to);
    return -1;
  }
  return 0;
}

int read_quor_parallel(transfer_t *Ctl, int lastPartialXfer)
{
  const char *me = "read_quor_parallel";
  ozu_context_t *ctx = ozu_XferContext(Ctl);
  uint64_t limit = ctx ? uint64_t(ctx->siteInfo.max_mbytes_per_iod) << 20 : 0;
  quor_IOD_t iod;
  quor_IOR_t ior;
  iod_srcsinkdesc_t src, sink;
  // On the heap: as thread-local storage it made every thread of the
  // process start by clearing it.
  std::vector<iod_stripe_addr_t> stripes(OZU_CONNECT_SLOTS);
  memset(&iod, 0, sizeof iod);
  memset(&ior, 0, sizeof ior);
  memset(&src, 0, sizeof src);
  memset(&sink, 0, sizeof sink);
  int result = 0;
  ozu_phase_t phase;

  if (Ctl->busystate == TRANSFER_ENTRY_RESERVED) {
    if (ozu_InitXferStructure(Ctl, IOP_GET) < 0) {
      result = -1;
      goto done;
    }
  } else {
    reinitControlStructure(Ctl, lastPartialXfer);
  }
  {
    uint64_t block = ozu_PhaseBlock(Ctl);
    if (ozu_OpenPhaseSockets(Ctl, me) < 0) {
      result = -1;
      goto done;
    }
    Ctl->transfer_active = 1;
    Ctl->abortSignalled = 0;
    // Only a pipe needs its bytes written in order; a digest is still
    // taken in order, by the local file thread from the written buffer.
    Ctl->moverWrites = !Ctl->localFile.pipedFile && Ctl->localFile.localFD >= 0;
    pthread_mutex_lock(&Ctl->bufQueueLock);
    {
      io_buffer_t **tail = &Ctl->bufReadyQueue;
      while (*tail)
        tail = &(*tail)->next;
      *tail = Ctl->bufEmptyQueue;
      Ctl->bufEmptyQueue = nullptr;
    }
    pthread_mutex_unlock(&Ctl->bufQueueLock);
    if (ozu_StartPhaseThreads(Ctl, me, local_file_thread, &phase) < 0) {
      result = -1;
      goto done;
    }
    Ctl->rwListFlags = 1;
    Ctl->requestedBytes = Ctl->totalBytesMoved = Ctl->bytesMoved = 0;
    Ctl->gapHit = 0;
    Ctl->GapBytes = 0;
    Ctl->connectionCount = 0;
    Ctl->startTime = ozu_GetTimestamp();
    uint64_t end = Ctl->srcOffset + Ctl->transferLength;
    Ctl->currentSrcAddr = Ctl->srcOffset.load();
    Ctl->currentFileAddr = Ctl->sinkOffset;
    iod.Function = QUOR_IOD_READ;
    iod.SrcDescLength = iod.SinkDescLength = 1;
    iod.SrcDescList = &src;
    iod.SinkDescList = &sink;
    while (Ctl->abortSignalled == 0 && Ctl->currentSrcAddr < end) {
      pthread_mutex_lock(&Ctl->abortLock);
      Ctl->xferThreadBytes = 0;
      Ctl->iorReceived = 0;
      pthread_mutex_unlock(&Ctl->abortLock);
      Ctl->requestId = quor_GetUniqueRequestID();
      iod.RequestID = Ctl->requestId;
      Ctl->currentSrcOffset = 0;
      Ctl->currentSinkOffset = 0;
      if (Ctl->GapBytes) {
        Ctl->totalBytesMoved += Ctl->GapBytes;
        Ctl->currentSrcAddr += Ctl->GapBytes;
        Ctl->currentFileAddr += Ctl->GapBytes;
      }
      moveReadyBufsToEmptyQueue(Ctl);
      if (Ctl->GapBytes) {
        uint64_t gap = Ctl->GapBytes;
        if ((Ctl->Flags & FX_CKSUM_ENABLED) && Ctl->hashInfo.theHash != nullptr) {
          static const char zeros[1 << 16] = {};
          for (uint64_t left = gap; left > 0;) {
            uint32_t n = uint32_t(std::min<uint64_t>(left, sizeof zeros));
            quor_HashAppendBuf(Ctl->hashInfo.theHash, zeros, n);
            Ctl->hashInfo.hashedBytes += n;
            left -= n;
          }
        }
        if (debug >= 3)
          fprintf(listF, "/debug/ Gap was encountered on QUOR file. Repositioning source file to %llu and local file to %llu\n",
                  (unsigned long long)Ctl->currentSrcAddr.load(), (unsigned long long)Ctl->currentFileAddr);
        uint64_t out = 0;
        int rc = quor_SetFileOffset(Ctl->quorFile.quorFD, Ctl->currentSrcAddr, 0, 0, &out);
        if (rc < 0) {
          fprintf(listF, "*** Error %d (quor_SetFileOffset) - aborting\n", rc);
          ozu_StopTransfer(Ctl);
          result = rc;
          break;
        }
        if (zeroLocalRange(Ctl, off_t(Ctl->currentFileAddr - gap), off_t(Ctl->currentFileAddr)) < 0) {
          ozu_StopTransfer(Ctl);
          result = -1;
          break;
        }
        Ctl->GapBytes = 0;
        Ctl->gapHit = 0;
        continue;
      }
      Ctl->requestedBytes = end - Ctl->currentSrcAddr;
      if (limit != 0 && Ctl->requestedBytes > limit)
        Ctl->requestedBytes = limit;
      src.Flags = 0;
      src.Offset = 0;
      src.Length = Ctl->requestedBytes;
      src.Next = nullptr;
      src.SrcSinkAddr.Type = CLIENTFILE_ADDRESS;
      src.SrcSinkAddr.Addr_u.ClientFileAddr.FileDes = Ctl->quorFile.quorFD;
      src.SrcSinkAddr.Addr_u.ClientFileAddr.FileOffset = Ctl->currentSrcAddr;
      ozu_NIO_BuildNetDescriptor(0, Ctl->requestedBytes, Ctl->requestId, Ctl->stripeWidth, block,
                                 Ctl->controlSockAddr, Ctl->controlSockCount, stripes.data(), &sink);
      if (debug >= 3) {
        char a[32], b[32], c[32];
        fprintf(listF, "/debug/issuing quor_ReadList call for %s bytes.\n", u64tostr_r(Ctl->requestedBytes, a));
        fprintf(listF, "       offset: %s", u64tostr_r(Ctl->currentSrcAddr, b));
        fprintf(listF, "  total bytes moved so far: %s\n", u64tostr_r(Ctl->totalBytesMoved, c));
        ozu_DisplayIOD(Ctl, &iod);
      }
      memset(&ior, 0, sizeof ior);
      int rc = quor_ReadList(&iod, uint32_t(Ctl->rwListFlags), &ior);
      ozu_LogRefusedMovers(Ctl);
      uint64_t replyBytes = ior.SinkReplyList ? ior.SinkReplyList->BytesMoved : 0;
      Ctl->bytesMoved = replyBytes;
      if (rc < 0 || ior.Status != 0) {
        result = ior.Status != 0 ? (ior.Status > 0 ? -ior.Status : ior.Status) : rc;
        if (debug >= 3) {
          char a[32];
          fprintf(listF, "IOR status: %d\n", ior.Status);
          fprintf(listF, "Returned flags: 0x%x  Bytes moved: %s\n", ior.Flags, u64tostr_r(replyBytes, a));
        }
        free_quor_ior_mem(&ior);
        ozu_StopTransfer(Ctl);
        break;
      }
      // The movers' bytes: wait until they are all placed, or until no
      // mover is left to place more.
      pthread_mutex_lock(&Ctl->abortLock);
      Ctl->iorReceived = 1;
      while (Ctl->xferThreadBytes < replyBytes && Ctl->abortSignalled == 0) {
        pthread_mutex_unlock(&Ctl->abortLock);
        bool pending = ozu_MoversPending(Ctl);
        pthread_mutex_lock(&Ctl->abortLock);
        if (!pending && Ctl->xferThreadBytes < replyBytes)
          break;
        struct timespec ts = ozu_DeadlineMs(100);
        pthread_cond_timedwait(&Ctl->abortCondition, &Ctl->abortLock, &ts);
      }
      pthread_mutex_unlock(&Ctl->abortLock);
      ozu_CleanupTransferThreads(Ctl);
      uint64_t placed;
      pthread_mutex_lock(&Ctl->abortLock);
      placed = Ctl->xferThreadBytes;
      pthread_mutex_unlock(&Ctl->abortLock);
      uint64_t gapLen = 0;
      if ((ior.Flags & QUOR_IOR_GAPINFO) && ior.ReqSpecReply != nullptr)
        gapLen = ior.ReqSpecReply->ReqReply_s.Reply_u.GapInfo.Length;
      free_quor_ior_mem(&ior);
      if (Ctl->abortSignalled > 0) {
        result = -1;
        break;
      }
      if (placed != replyBytes || (replyBytes == 0 && gapLen == 0) ||
          replyBytes > Ctl->requestedBytes) {
        // Never a short file reported as success.
        if (debug >= 1) {
          char a[32], b[32];
          fprintf(listF, "/debug/%s: reply moved %s bytes, movers placed %s\n", me,
                  u64tostr_r(replyBytes, a), u64tostr_r(placed, b));
        }
        ozu_StopTransfer(Ctl);
        result = -5;
        break;
      }
      Ctl->totalBytesMoved += replyBytes;
      if (gapLen != 0) {
        Ctl->GapBytes = std::min<uint64_t>(gapLen, end - (Ctl->srcOffset + Ctl->totalBytesMoved));
        Ctl->gapHit = 1;
        if (debug >= 1) {
          char a[32], b[32];
          fprintf(listF, "/debug/quor_ReadList - GAP hit at offset %s", u64tostr_r(Ctl->srcOffset + Ctl->totalBytesMoved, a));
          fprintf(listF, " length=%s\n", u64tostr_r(gapLen, b));
        }
      }
      Ctl->currentSrcAddr = Ctl->srcOffset + Ctl->totalBytesMoved;
      Ctl->currentFileAddr = Ctl->sinkOffset + Ctl->totalBytesMoved;
    }
    // A file that ends in a gap: the addresses move past it, the local file
    // is extended (never shortened) to cover it.
    if (result == 0 && Ctl->abortSignalled == 0 && Ctl->GapBytes != 0) {
      uint64_t gap = Ctl->GapBytes;
      Ctl->totalBytesMoved += gap;
      Ctl->currentSrcAddr += gap;
      Ctl->currentFileAddr += gap;
      moveReadyBufsToEmptyQueue(Ctl);
      if (zeroLocalRange(Ctl, off_t(Ctl->currentFileAddr - gap), off_t(Ctl->currentFileAddr)) < 0)
        result = -1;
      Ctl->GapBytes = 0;
    }
    Ctl->stopTime = ozu_GetTimestamp();
    if (debug >= 1) {
      char a[32];
      fprintf(listF, "/debug/Transfer complete. total bytes read (including gaps) is: %s\n",
              u64tostr_r(Ctl->totalBytesMoved, a));
      fprintf(listF, "Transfer time: %.3f seconds\n", Ctl->stopTime - Ctl->startTime);
    }
  }
done:
  result = ozu_EndPhase(Ctl, &phase, result);
  Ctl->moverWrites = 0;
  if (lastPartialXfer) {
    ozu_CleanupIoBuffers(Ctl);
    if (Ctl->connectionList != nullptr)
      ozu_CleanConnectionList(Ctl);
    ozu_FreeXferLocks(Ctl);
    Ctl->busystate = TRANSFER_ENTRY_RESERVED;
  }
  return result;
}
