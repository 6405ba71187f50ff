// The parallel-mover method of a put: list writes through the movers,
// which pull the data by address from the pool, and a local-file thread
// that fills the pool from the local file ahead of them. Buffers are
// numbered by local address. The local-file thread reads only the range,
// hashes each byte once, and stays until the data phase ends so that a
// mover asking again for data already released is served from a side
// buffer re-read at that address.
#include <errno.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <deque>
#include <vector>

#include "ozu_context.h"
#include "ozu_locks.h"
#include "ozu_log.h"
#include "ozuvars.h"
#include "quor_api.h"
#include "quor_convert.h"
#include "xfer_digest.h"
#include "xfer_record.h"

namespace {

bool aborted(transfer_t *ctl) { return ctl->abortSignalled > 0; }

// Wakes every queued request inside [from, to); they look again.
void signalRequestsIn(transfer_t *ctl, uint64_t from, uint64_t to)
{
  io_bufreq_t **pp = &ctl->requestQueue;
  while (io_bufreq_t *r = *pp) {
    if (r->dataAddress >= from && r->dataAddress < to) {
      *pp = r->next;
      r->next = nullptr;
      if (debug >= 3)
        fprintf(listF, "%s: signalling req entry %p requestQueue->dataAddress=%llu\n",
                "local_file_thread", static_cast<void *>(r), (unsigned long long)r->dataAddress);
      pthread_mutex_lock(&r->reqLock);
      pthread_cond_signal(&r->reqCond);
      pthread_mutex_unlock(&r->reqLock);
    } else {
      pp = &r->next;
    }
  }
}

bool inReadyBuffer(transfer_t *ctl, uint64_t a)
{
  for (io_buffer_t *b = ctl->bufReadyQueue; b; b = b->next)
    if (a >= b->fileOffset && a < b->fileOffset + b->dataLength)
      return true;
  return false;
}

// The first ready address above a, or end.
uint64_t nextReadyAbove(transfer_t *ctl, uint64_t a, uint64_t end)
{
  for (io_buffer_t *b = ctl->bufReadyQueue; b; b = b->next)
    if (b->fileOffset > a)
      return std::min(b->fileOffset, end);
  return end;
}

// Feeds the digest with the part of [addr, addr + n) not hashed yet, so
// that data read twice is hashed once. 0 or the hash's error.
int hashRange(transfer_t *ctl, uint64_t addr, const char *data, uint32_t n)
{
  if (!(ctl->Flags & FX_CKSUM_ENABLED) || ctl->hashInfo.theHash == nullptr)
    return 0;
  uint64_t pos = ctl->srcOffset + ctl->hashInfo.hashedBytes;
  if (addr > pos || addr + n <= pos)
    return 0;
  uint32_t skip = uint32_t(pos - addr);
  int rc = quor_HashAppendBuf(ctl->hashInfo.theHash, data + skip, n - skip);
  if (rc < 0) {
    fprintf(errFile, "*** %s: error computing digest at buffer offset %ld for %ld bytes (rc = %d). Transfer aborted!\n",
            "local_file_thread", long(pos), long(n - skip), rc);
    return rc;
  }
  ctl->hashInfo.hashedBytes += n - skip;
  return 0;
}

}  // namespace

// Fills the buffer's window from the local file at its current position
// (or at theBuf->fileOffset with pread for a side buffer). 0 (full, or end
// of file flagged) or -1.
static int readLocal(transfer_t *Ctl, int localFd, io_buffer_t *theBuf, bool atOffset)
{
  theBuf->dataLength = 0;
  int eios = 0;
  bool eioSeen = false;  // the offset alone cannot say: it may be 0
  uint64_t eioAt = 0;
  int result = 0;
  while (theBuf->dataLength < uint32_t(theBuf->bufSize)) {
    struct pollfd p = {localFd, POLLIN, 0};
    int n = poll(&p, 1, 250);
    if (n == 0) {
      if (aborted(Ctl) || !Ctl->transfer_active) {
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
        fprintf(errFile, "/debug/error %d on select() - exiting accept loop\n", errno);
      result = -1;
      break;
    }
    char *dst = theBuf->buffer + theBuf->dataLength;
    size_t want = size_t(uint32_t(theBuf->bufSize) - theBuf->dataLength);
    ssize_t r;
    if (atOffset)
      r = ozu_LocalPread(localFd, dst, want, off_t(theBuf->fileOffset + theBuf->dataLength));
    else
      r = Ctl->localFile.gpfsFlag ? gpfs_read(localFd, dst, want) : ozu_LocalRead(localFd, dst, want);
    if (r > 0) {
      theBuf->dataLength += uint32_t(r);
      eios = 0;
      continue;
    }
    if (r == 0) {
      theBuf->bufFlags |= BUF_EOD;
      if (debug >= 3)
        fprintf(listF, "/debug/read_local_file: EOF reached\n");
      break;
    }
    if (errno == EAGAIN || errno == EINTR || errno == EINPROGRESS || errno == EALREADY)
      continue;
    if (errno == EIO && eios < 4) {
      eioSeen = true;
      eioAt = theBuf->fileOffset + theBuf->dataLength;
      eios++;
      continue;
    }
    if (errno == EIO) {
      eioSeen = true;
      eioAt = theBuf->fileOffset + theBuf->dataLength;
    }
    theBuf->bufFlags |= BUF_READ_ABORTED;
    fprintf(errFile, "*** I/O error %d on local file trying to read %d bytes\n", errno, int(want));
    result = -1;
    break;
  }
  if (eioSeen) {
    char a[32];
    if (result == 0)
      fprintf(errFile, "*** Warning: recovered I/O error reading local file at file offset %s\n",
              u64tostr_r(eioAt, a));
    else
      fprintf(errFile, "*** ERROR: fatal I/O error reading local file at file offset %s\n",
              u64tostr_r(eioAt, a));
  }
  return result;
}

int read_local_file(transfer_t *Ctl, int localFd, io_buffer_t *theBuf)
{
  return readLocal(Ctl, localFd, theBuf, false);
}

int reposition_local_file(transfer_t *Ctl, uint64_t theFileOffset)
{
  if (Ctl->localFile.pipedFile) {
    if (theFileOffset == Ctl->localFile.currentPos)
      return 0;
    char a[32], b[32];
    fprintf(errFile, "*** fatal: bad offset %s requested for piped local file. ", u64tostr_r(theFileOffset, a));
    fprintf(errFile, "Expected: %s\n", u64tostr_r(Ctl->localFile.currentPos, b));
    return -1;
  }
  if (lseek(Ctl->localFile.localFD, off_t(theFileOffset), SEEK_SET) < 0) {
    char a[32];
    fprintf(errFile, "*** Error %d positioning local file %s to address %s\n", errno,
            Ctl->localFile.localPath, u64tostr_r(theFileOffset, a));
    return -1;
  }
  return 0;
}

// Serves the head request asking below what the pool holds: a side buffer
// re-read at its address. Called and returns with bufQueueLock held.
// 0, or -1 after which the transfer is aborted.
static int serveRetransmission(transfer_t *ctl, io_bufreq_t *req, std::vector<io_buffer_t *> &parked,
                               uint64_t end)
{
  if (debug >= 1) {
    char a[32], b[32], c[32];
    fprintf(listF, "*** Mover Backed Up in file!\n");
    fprintf(listF, " Ctl->bufReadyQueue->fileOffset: %s ",
            u64tostr_r(ctl->bufReadyQueue ? ctl->bufReadyQueue->fileOffset : 0, a));
    fprintf(listF, " Ctl->requestQueue->dataAddress: %s \n", u64tostr_r(req->dataAddress, b));
    fprintf(listF, " Ctl->requestQueue->requestLength: %s \n", u64tostr_r(req->requestLength, c));
  }
  if (ctl->localFile.pipedFile) {
    reposition_local_file(ctl, req->dataAddress);
    return -1;
  }
  io_buffer_t *side = nullptr;
  if (!parked.empty()) {
    side = parked.back();
    parked.pop_back();
  } else {
    side = static_cast<io_buffer_t *>(calloc(1, sizeof(io_buffer_t)));
    if (side == nullptr) {
      fprintf(errFile, "*** [local file thread]failed to malloc io_buffer_t (%d bytes) [%s,line %d]\n",
              int(sizeof(io_buffer_t)), __FILE__, __LINE__);
      return -1;
    }
    int memType = ctl->bufReadyQueue ? ctl->bufReadyQueue->memType : 0;
    if (ozu_InitRwBuf(ctl, side, memType) < 0) {
      free(side);
      return -1;
    }
  }
  uint64_t upTo = nextReadyAbove(ctl, req->dataAddress, end);
  uint64_t window = std::min<uint64_t>({upTo - req->dataAddress, req->requestLength,
                                        uint64_t(side->bufSizeSave)});
  if (window == 0)
    window = 1;
  side->buffer = side->bufferSave;
  side->bufSize = int32_t(window);
  side->ioCount = 0;
  side->iodOffset = 0;
  side->dataMoved = 0;
  side->fileOffset = req->dataAddress;
  if (debug >= 3) {
    char a[32];
    fprintf(listF, "/debug/%s: reading side buffer data. size=%d address=%s bufSize=%d\n",
            "local_file_thread", int(window), u64tostr_r(req->dataAddress, a), side->bufSizeSave);
  }
  // The re-read runs under the lock: the pool is small and a retransmission
  // rare, and nothing may slip in between the read and its queueing.
  if (readLocal(ctl, ctl->localFile.localFD, side, true) < 0 || side->dataLength == 0) {
    fprintf(errFile, "*** %s: fatal error(s) reading local file - aborting transfer\n", "local_file_thread");
    parked.push_back(side);
    return -1;
  }
  side->bufFlags &= ~uint32_t(BUF_EOD | BUF_READ_ABORTED);
  side->bufFlags |= BUF_SIDE | BUF_ARMED;
  ozu_InsertSorted(&ctl->bufReadyQueue, side);
  signalRequestsIn(ctl, side->fileOffset, side->fileOffset + side->dataLength);
  return 0;
}

namespace {

// Readers that fill the pool's buffers each at its own address, side by
// side, so that copying the file out of the page cache is not one thread's
// work for every mover. Only for bytes that need not pass one thread in
// order: no digest, and a file that can be read at any offset. The
// local-file thread hands buffers out in address order and keeps serving
// retransmissions. Every field changes under bufQueueLock.
struct put_readers {
  transfer_t *ctl = nullptr;
  pthread_cond_t cond;                  // work handed out, or stop
  bool condMade = false;
  std::deque<io_buffer_t *> todo;       // handed out, lowest address first
  std::vector<io_buffer_t *> reading;   // handed out and not yet ready
  std::vector<io_buffer_t *> spent;     // failed reads, back to the pool at the end
  std::vector<pthread_t> ids;
  bool stop = false;
  bool failed = false;
};

constexpr int kMaxReaders = 4;

bool readersFit(transfer_t *ctl)
{
  return !ctl->localFile.pipedFile && !ctl->localFile.gpfsFlag && !(ctl->Flags & FX_CKSUM_ENABLED) &&
         ctl->bufCount > 1;
}

bool beingRead(const put_readers &rd, uint64_t a)
{
  for (io_buffer_t *b : rd.reading)
    if (a >= b->fileOffset && a < b->fileOffset + uint64_t(b->bufSize))
      return true;
  return false;
}

// The lowest address handed out and not ready yet, or upTo.
uint64_t readFrontier(const put_readers &rd, uint64_t upTo)
{
  for (io_buffer_t *b : rd.reading)
    upTo = std::min(upTo, b->fileOffset);
  return upTo;
}

void *readerThread(void *arg)
{
  auto *rd = static_cast<put_readers *>(arg);
  transfer_t *ctl = rd->ctl;
  pthread_mutex_lock(&ctl->bufQueueLock);
  while (!rd->stop) {
    if (rd->todo.empty()) {
      pthread_cond_wait(&rd->cond, &ctl->bufQueueLock);
      continue;
    }
    io_buffer_t *b = rd->todo.front();
    rd->todo.pop_front();
    pthread_mutex_unlock(&ctl->bufQueueLock);
    int rc = readLocal(ctl, ctl->localFile.localFD, b, true);
    bool whole = rc == 0 && b->dataLength == uint32_t(b->bufSize);
    pthread_mutex_lock(&ctl->bufQueueLock);
    rd->reading.erase(std::find(rd->reading.begin(), rd->reading.end(), b));
    if (!whole) {
      // One report: a file cut short fails every read past its new end.
      if (!rd->failed) {
        if (rc < 0) {
          fprintf(errFile, "%s: i/o error %d returned from read_local_file\n", "local_file_thread", rc);
        } else {
          char a[32], c[32];
          fprintf(errFile, "*** local file %s ended at %s, before the %s bytes to store\n",
                  ctl->localFile.localPath, u64tostr_r(b->fileOffset + b->dataLength, a),
                  u64tostr_r(ctl->srcOffset + ctl->transferLength, c));
        }
      }
      rd->failed = true;
      rd->spent.push_back(b);
      pthread_cond_broadcast(&ctl->bufQueueCondition);
      continue;
    }
    b->bufFlags |= BUF_ARMED;
    ozu_InsertSorted(&ctl->bufReadyQueue, b);
    signalRequestsIn(ctl, b->fileOffset, b->fileOffset + b->dataLength);
    pthread_cond_broadcast(&ctl->bufQueueCondition);
  }
  pthread_mutex_unlock(&ctl->bufQueueLock);
  return nullptr;
}

// Starts the readers; false (none running) when they do not fit the
// transfer or none could start.
bool startReaders(transfer_t *ctl, put_readers *rd)
{
  if (!readersFit(ctl))
    return false;
  rd->ctl = ctl;
  if (pthread_cond_init(&rd->cond, nullptr) != 0)
    return false;
  rd->condMade = true;
  int n = std::min(ctl->bufCount, kMaxReaders);
  for (int i = 0; i < n; ++i) {
    pthread_t id;
    if (ozu_ThreadCreate(&id, nullptr, readerThread, rd) < 0)
      break;
    rd->ids.push_back(id);
  }
  return !rd->ids.empty();
}

// Stops and joins the readers; buffers not read go to parked. Called and
// returns with bufQueueLock held.
void stopReaders(transfer_t *ctl, put_readers *rd, std::vector<io_buffer_t *> &parked)
{
  rd->stop = true;
  if (rd->condMade)
    pthread_cond_broadcast(&rd->cond);
  pthread_mutex_unlock(&ctl->bufQueueLock);
  for (pthread_t id : rd->ids)
    pthread_join(id, nullptr);
  pthread_mutex_lock(&ctl->bufQueueLock);
  rd->ids.clear();
  for (io_buffer_t *b : rd->todo)
    parked.push_back(b);
  for (io_buffer_t *b : rd->spent)
    parked.push_back(b);
  rd->todo.clear();
  rd->spent.clear();
  rd->reading.clear();
  if (rd->condMade)
    pthread_cond_destroy(&rd->cond);
  rd->condMade = false;
}

}  // namespace

static void *local_file_thread(void *theXfer)
{
  auto *ctl = static_cast<transfer_t *>(theXfer);
  const uint64_t end = ctl->srcOffset + ctl->transferLength;
  uint64_t localOffset = ctl->srcOffset;
  bool eof = localOffset >= end;
  bool failed = false;
  std::vector<io_buffer_t *> parked;
  put_readers rd;
  const bool spread = startReaders(ctl, &rd);
  ctl->localFileThreadActive = 1;
  pthread_mutex_lock(&ctl->bufQueueLock);
  while (!aborted(ctl) && ctl->transfer_active && !failed && !rd.failed) {
    // A request for data no buffer holds any longer.
    io_bufreq_t *stale = nullptr;
    for (io_bufreq_t *r = ctl->requestQueue; r; r = r->next)
      if (r->dataAddress < localOffset && !inReadyBuffer(ctl, r->dataAddress) && !beingRead(rd, r->dataAddress)) {
        stale = r;
        break;
      }
    if (stale != nullptr) {
      if (serveRetransmission(ctl, stale, parked, end) < 0)
        failed = true;
      continue;
    }
    signalRequestsIn(ctl, 0, readFrontier(rd, localOffset));
    io_buffer_t *b = ctl->bufEmptyQueue;
    while (b != nullptr && (b->bufFlags & BUF_SIDE)) {
      // A side buffer all sent: kept for the next retransmission.
      ctl->bufEmptyQueue = b->next;
      b->next = nullptr;
      b->bufFlags &= ~uint32_t(BUF_SIDE);
      parked.push_back(b);
      b = ctl->bufEmptyQueue;
    }
    if (eof || b == nullptr) {
      struct timespec ts = ozu_DeadlineMs(100);
      int rc = pthread_cond_timedwait(&ctl->bufQueueCondition, &ctl->bufQueueLock, &ts);
      if (rc != 0 && rc != ETIMEDOUT)
        fprintf(errFile, "pthread_cond_timedwait() returned error %d, errno=%d", rc, errno);
      continue;
    }
    ctl->bufEmptyQueue = b->next;
    b->next = nullptr;
    b->buffer = b->bufferSave;
    b->bufSize = int32_t(std::min<uint64_t>(uint64_t(b->bufSizeSave), end - localOffset));
    b->dataMoved = 0;
    b->ioCount = 0;
    b->fileOffset = localOffset;
    b->iodOffset = 0;
    b->bufFlags &= BUF_LOCK_INIT | BUF_COND_INIT;
    if (spread) {
      rd.todo.push_back(b);
      rd.reading.push_back(b);
      localOffset += uint64_t(b->bufSize);
      ctl->localFile.currentPos = localOffset;
      eof = localOffset >= end;
      pthread_cond_signal(&rd.cond);
      continue;
    }
    pthread_mutex_unlock(&ctl->bufQueueLock);
    int rc = read_local_file(ctl, ctl->localFile.localFD, b);
    if (rc < 0) {
      fprintf(errFile, "%s: i/o error %d returned from read_local_file\n", "local_file_thread", rc);
      failed = true;
    } else if (hashRange(ctl, b->fileOffset, b->buffer, b->dataLength) < 0) {
      failed = true;
    }
    localOffset += b->dataLength;
    ctl->localFile.currentPos = localOffset;
    if (!failed && (localOffset >= end || (b->bufFlags & BUF_EOD))) {
      eof = true;
      if (debug >= 3)
        fprintf(listF, "/debug/EOF reached on local file\n");
      if (localOffset < end) {
        // The file got shorter since it was queued: the movers would wait
        // for bytes that never come.
        char a[32], c[32];
        fprintf(errFile, "*** local file %s ended at %s, before the %s bytes to store\n",
                ctl->localFile.localPath, u64tostr_r(localOffset, a), u64tostr_r(end, c));
        failed = true;
      } else if ((ctl->Flags & FX_CKSUM_ENABLED) && ctl->hashInfo.theHash != nullptr) {
        ozu_FDigest_FinishHashDigest(ctl);
      }
    }
    pthread_mutex_lock(&ctl->bufQueueLock);
    if (failed || b->dataLength == 0) {
      parked.push_back(b);
      continue;
    }
    b->bufFlags |= BUF_ARMED;
    ozu_InsertSorted(&ctl->bufReadyQueue, b);
    signalRequestsIn(ctl, b->fileOffset, b->fileOffset + b->dataLength);
    pthread_cond_broadcast(&ctl->bufQueueCondition);
  }
  if (spread)
    stopReaders(ctl, &rd, parked);
  if (rd.failed)
    failed = true;
  for (io_buffer_t *b : parked) {
    b->bufFlags &= ~uint32_t(BUF_SIDE);
    b->next = ctl->bufEmptyQueue;
    ctl->bufEmptyQueue = b;
  }
  ctl->localFileThreadActive = 0;
  pthread_cond_broadcast(&ctl->bufQueueCondition);
  pthread_mutex_unlock(&ctl->bufQueueLock);
  if (failed)
    SET_TRANSFER_ABORTED(ctl);
  ozu_ReqQueueSignalAll(ctl);
  if (debug >= 3)
    fprintf(listF, "/debug/local_file_thread exiting\n");
  return nullptr;
}

// After a list write: buffers whose bytes are all stored go back to be
// filled again; one holding the first unstored byte is offered again from
// there. Movers of the request have all ended.
void adjustBufOffsets(transfer_t *Ctl)
{
  uint64_t stored = Ctl->srcOffset + Ctl->totalBytesMoved;
  pthread_mutex_lock(&Ctl->bufQueueLock);
  io_buffer_t **pp = &Ctl->bufReadyQueue;
  while (io_buffer_t *b = *pp) {
    b->ioCount = 0;
    b->dataMoved = 0;
    b->iodOffset = 0;
    b->bufFlags |= BUF_ARMED;
    if (b->fileOffset + b->dataLength <= stored) {
      *pp = b->next;
      b->next = Ctl->bufEmptyQueue;
      Ctl->bufEmptyQueue = b;
      continue;
    }
    if (b->fileOffset < stored) {
      uint32_t cut = uint32_t(stored - b->fileOffset);
      if (debug >= 3)
        fprintf(listF, "/debug/ %s: adjusting buffer @%p to account for %u previously xmitted bytes\n",
                "adjustBufOffsets", static_cast<void *>(b), cut);
      b->buffer += cut;
      b->bufSize -= int32_t(cut);
      b->dataLength -= cut;
      b->fileOffset = stored;
    }
    pp = &b->next;
  }
  pthread_cond_broadcast(&Ctl->bufQueueCondition);
  pthread_mutex_unlock(&Ctl->bufQueueLock);
}

int write_quor_parallel(transfer_t *Ctl)
{
  const char *me = "write_quor_parallel";
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

  if (ozu_InitXferStructure(Ctl, IOP_PUT) < 0) {
    result = -1;
    goto done;
  }
  {
    uint64_t block = ozu_PhaseBlock(Ctl);
    if (ozu_OpenPhaseSockets(Ctl, me) < 0) {
      result = -1;
      goto done;
    }
    Ctl->transfer_active = 1;
    Ctl->abortSignalled = 0;
    Ctl->totalBytesMoved = Ctl->bytesMoved = 0;
    Ctl->currentSrcAddr = Ctl->srcOffset.load();
    if (ozu_StartPhaseThreads(Ctl, me, local_file_thread, &phase) < 0) {
      result = -1;
      goto done;
    }
    Ctl->rwListFlags = 0;
    Ctl->connectionCount = 0;
    Ctl->startTime = ozu_GetTimestamp();
    uint64_t endAddr = Ctl->srcOffset + Ctl->transferLength;
    iod.Function = QUOR_IOD_WRITE;
    iod.SrcDescLength = iod.SinkDescLength = 1;
    iod.SrcDescList = &src;
    iod.SinkDescList = &sink;
    while (Ctl->abortSignalled == 0 && Ctl->srcOffset + Ctl->totalBytesMoved < endAddr) {
      pthread_mutex_lock(&Ctl->abortLock);
      Ctl->xferThreadBytes = 0;
      Ctl->iorReceived = 0;
      pthread_mutex_unlock(&Ctl->abortLock);
      Ctl->requestId = quor_GetUniqueRequestID();
      iod.RequestID = Ctl->requestId;
      Ctl->currentSinkOffset = Ctl->currentSrcOffset = 0;
      Ctl->currentSrcAddr = Ctl->srcOffset + Ctl->totalBytesMoved;
      Ctl->requestedBytes = endAddr - Ctl->currentSrcAddr;
      if (limit != 0 && Ctl->requestedBytes > limit)
        Ctl->requestedBytes = limit;
      Ctl->currentFileAddr = Ctl->sinkOffset + Ctl->totalBytesMoved;
      sink.Flags = 0;
      sink.Offset = 0;
      sink.Length = Ctl->requestedBytes;
      sink.Next = nullptr;
      sink.SrcSinkAddr.Type = CLIENTFILE_ADDRESS;
      sink.SrcSinkAddr.Addr_u.ClientFileAddr.FileDes = Ctl->quorFile.quorFD;
      sink.SrcSinkAddr.Addr_u.ClientFileAddr.FileOffset = Ctl->currentFileAddr;
      ozu_NIO_BuildNetDescriptor(0, Ctl->requestedBytes, Ctl->requestId, Ctl->stripeWidth, block,
                                 Ctl->controlSockAddr, Ctl->controlSockCount, stripes.data(), &src);
      if (debug >= 3) {
        char a[32], b[32], c[32];
        fprintf(listF, "/debug/issuing quor_WriteList call for %s bytes.\n", u64tostr_r(Ctl->requestedBytes, a));
        fprintf(listF, "       offset: %s   bytes moved so far: %s\n", u64tostr_r(Ctl->currentFileAddr, b),
                u64tostr_r(Ctl->totalBytesMoved, c));
        ozu_DisplayIOD(Ctl, &iod);
      }
      memset(&ior, 0, sizeof ior);
      int rc = quor_WriteList(&iod, uint32_t(Ctl->rwListFlags), &ior);
      uint64_t replyBytes = ior.SinkReplyList ? ior.SinkReplyList->BytesMoved : 0;
      Ctl->bytesMoved = replyBytes;
      if (rc < 0 || ior.Status != 0) {
        result = ior.Status != 0 ? (ior.Status > 0 ? -ior.Status : ior.Status) : (rc < 0 ? rc : -1);
        if (debug >= 3) {
          char a[32];
          fprintf(listF, "IOR status: %d\n", ior.Status);
          fprintf(listF, "Returned flags: 0x%x  Bytes moved in IOD: %s\n", ior.Flags, u64tostr_r(replyBytes, a));
        }
        free_quor_ior_mem(&ior);
        ozu_StopTransfer(Ctl);
        break;
      }
      free_quor_ior_mem(&ior);
      // Every mover of the request ends before the pool is looked at again.
      ozu_CleanupTransferThreads(Ctl);
      uint64_t taken;
      pthread_mutex_lock(&Ctl->abortLock);
      taken = Ctl->xferThreadBytes;
      pthread_mutex_unlock(&Ctl->abortLock);
      if (Ctl->abortSignalled > 0) {
        result = -1;
        break;
      }
      // A gateway that says it stored more than the movers took, or more
      // than was asked, would leave a file with bytes nobody sent.
      if (replyBytes > taken || replyBytes > Ctl->requestedBytes || replyBytes == 0) {
        if (debug >= 1) {
          char a[32], b[32];
          fprintf(listF, "/debug/%s: reply stored %s bytes, movers took %s\n", me,
                  u64tostr_r(replyBytes, a), u64tostr_r(taken, b));
        }
        ozu_StopTransfer(Ctl);
        result = -5;
        break;
      }
      Ctl->totalBytesMoved += replyBytes;
      Ctl->currentSrcAddr = Ctl->srcOffset + Ctl->totalBytesMoved;
      Ctl->quorFile.currentPos = Ctl->sinkOffset + Ctl->totalBytesMoved;
      adjustBufOffsets(Ctl);
    }
    Ctl->stopTime = ozu_GetTimestamp();
    if (debug >= 3) {
      char a[32];
      fprintf(listF, "/debug/Transfer complete. %s total bytes moved\n", u64tostr_r(Ctl->totalBytesMoved, a));
      fprintf(listF, "Transfer time: %.3f seconds\n", Ctl->stopTime - Ctl->startTime);
    }
  }
done:
  result = ozu_EndPhase(Ctl, &phase, result);
  ozu_CleanupIoBuffers(Ctl);
  if (Ctl->connectionList != nullptr)
    ozu_CleanConnectionList(Ctl);
  ozu_FreeXferLocks(Ctl);
  Ctl->busystate = TRANSFER_ENTRY_RESERVED;
  return result;
}
