// The storage read pipeline: the driver that issues the list reads, the
// re-seeding of the buffer windows between them, the local-file thread that
// hands buffers to the consumer in archive order, and the resynchronisation
// after a list read fails with EIO. The mover side is brix_store_movers.cpp.
#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <mutex>
#include <unordered_map>
#include <utility>
#include <vector>

#include "brix_store_read.h"
#include "mvr_protocol.h"
#include "qel_threads.h"
#include "quor_api.h"
#include "quor_convert.h"
#include "quorclntaddr.h"

io_buffer_callback_t callBack = nullptr;
std::atomic<int> localFileThreadActive{0};

namespace {

const char* const fn = "brix_CopyFromQUORArchive";
constexpr int kSlots = 64;
constexpr uint64_t kMaxRequest = 2147483648ULL;
int rwListFlags = 1;

// Where the consumer stands: the first archive byte it has not received.
std::atomic<uint64_t> consumerPos{0};

// The arrived parts of each buffer's window, as sorted disjoint runs, so
// that a piece sent twice is counted once. Entries are made before any
// thread runs and only their runs change later, under the buffer's lock.
std::unordered_map<io_buffer_t*, std::vector<std::pair<uint32_t, uint32_t>>> coverage;

// ---- lock history ----
struct lockRec {
  int line;
  long count;
  int flag;
  char file[50];
};
lockRec lockStack[20];
int lockHistInx = 0;
long lockCount = 0;
int lockState = -1;

void qlock(transfer_t* ctl, int line) {
  pthread_mutex_lock(&ctl->bufQueueLock);
  lock_hist(1, line, __FILE__);
}

void qunlock(transfer_t* ctl, int line) {
  lock_hist(0, line, __FILE__);
  pthread_mutex_unlock(&ctl->bufQueueLock);
}

void qwait(transfer_t* ctl, int line) {
  lock_hist(-1, line, __FILE__);
  pthread_cond_wait(&ctl->bufQueueCondition, &ctl->bufQueueLock);
  lock_hist(1, line, __FILE__);
}

bool aborted(transfer_t* ctl) { return ctl->abortSignalled != 0; }

void setAborted(transfer_t* ctl) {
  pthread_mutex_lock(&ctl->controlLock);
  ctl->abortSignalled++;
  pthread_mutex_unlock(&ctl->controlLock);
}

// ---- the local-file thread ----

// The consumer's half of a resynchronisation: every mover connection of the
// failed list read ends, every buffer comes back empty, and the windows are
// numbered again from the consumer's position p.
void brix_ReadErrorResync_LocalThread(transfer_t* ctl, uint64_t p) {
  brix_ReqQueueSignalAll(ctl->connectionList, ctl->connectListSize);
  brix_ShutdownTransferThreads(ctl);
  brix_MoveBuffersToEmptyQueue(ctl);
  qlock(ctl, __LINE__);
  for (io_buffer_t* b = ctl->bufEmptyQueue; b; b = b->next) brix_ResetBufCoverage(b);
  ctl->bufReadyQueue = ctl->bufEmptyQueue;
  ctl->bufEmptyQueue = nullptr;
  uint64_t n = p;
  for (io_buffer_t* b = ctl->bufReadyQueue; b; b = b->next) {
    b->fileOffset = n;
    b->iodOffset = 0;
    n += uint64_t(b->bufSize);
  }
  ctl->currentSrcAddr = p;
  ctl->errorResyncFlag = 0;
  pthread_cond_broadcast(&ctl->bufQueueCondition);
  qunlock(ctl, __LINE__);
}

void* brix_LocalFileWriteThread(void* arg) {
  transfer_t* ctl = static_cast<transfer_t*>(arg);
  localFileThreadActive = 1;
  uint64_t p = ctl->srcOffset;
  uint64_t n = ctl->srcOffset;
  consumerPos = p;
  for (;;) {
    qlock(ctl, __LINE__);
    bool leave = false, resync = false;
    io_buffer_t* b = nullptr;
    for (;;) {
      if (aborted(ctl)) {
        leave = true;
        break;
      }
      if (ctl->errorResyncFlag) {
        resync = true;
        break;
      }
      b = ctl->bufEmptyQueue;
      // Nothing deliverable and the list reads are over: waiting longer
      // would wait for ever.
      bool deliverable = b && (b->dataLength == 0 || b->fileOffset <= p);
      if (deliverable) break;
      if (!ctl->transfer_active) {
        leave = true;
        break;
      }
      qwait(ctl, __LINE__);
    }
    if (leave) {
      qunlock(ctl, __LINE__);
      break;
    }
    if (resync) {
      qunlock(ctl, __LINE__);
      brix_ReadErrorResync_LocalThread(ctl, p);
      continue;
    }
    if (b->dataLength > 0 && p > b->fileOffset) {
      brix_Log(BRIX_MSG_ERROR,
               "Fatal error detected in local file thread - offset in buffer < current file offset\n");
      brix_Log(BRIX_MSG_ERROR, "  Expected offset: %lu  buffer offset: %lu\n", (unsigned long)p,
               (unsigned long)b->fileOffset);
      qunlock(ctl, __LINE__);
      brix_SetXferAborted(fn, __FILE__, __LINE__);
      break;
    }
    ctl->bufEmptyQueue = b->next;
    b->next = nullptr;
    qunlock(ctl, __LINE__);
    if (b->dataLength > 0) {
      if (brix_debug_level > 2)
        fprintf(stderr, "local file thread: buffer@ %p, writing %d bytes to local file\n",
                static_cast<void*>(b), int(b->dataLength));
      if (callBack(b) < 0) {
        brix_Log(BRIX_MSG_ERROR, "%s: fatal error unpacking buffer\n", "brix_LocalFileWriteThread");
        brix_SetXferAborted(fn, __FILE__, __LINE__);
        // The buffer goes back so that the clean-up frees it.
        qlock(ctl, __LINE__);
        b->next = ctl->bufEmptyQueue;
        ctl->bufEmptyQueue = b;
        qunlock(ctl, __LINE__);
        break;
      }
      p += b->dataLength;
      consumerPos = p;
      ctl->currentSinkOffset = b->iodOffset + b->dataLength;
    }
    if (b->bufFlags & IOB_FLAG_END_OF_RANGE) {
      if (brix_debug_level > 0) fprintf(stderr, "/debug/local file thread detected EOF flag - quitting\n");
      qlock(ctl, __LINE__);
      b->next = ctl->bufEmptyQueue;
      ctl->bufEmptyQueue = b;
      qunlock(ctl, __LINE__);
      break;
    }
    if (b->bufFlags & IOB_FLAG_RESET) {
      b->bufFlags &= ~IOB_FLAG_RESET;
      n = p = b->newFileOffset;
      consumerPos = p;
      if (brix_debug_level > 0)
        fprintf(stderr, "/debug/local file thread resetting current file offset to %lu\n",
                (unsigned long)p);
    }
    pthread_mutex_lock(&b->bufLock);
    b->dataLength = 0;
    b->dataRemaining = 0;
    b->fileOffset = n;
    b->iodOffset = 0;
    b->ioCount = 0;
    brix_ResetBufCoverage(b);
    pthread_mutex_unlock(&b->bufLock);
    if (brix_debug_level > 2)
      fprintf(stderr, "/debug/ buffer @%p fileOffset=%lu - adding to ready queue\n",
              static_cast<void*>(b), (unsigned long)n);
    n += uint64_t(b->bufSize);
    qlock(ctl, __LINE__);
    brix_InsertReadyQueue(ctl, b);
    while (ctl->requestQueue && ctl->requestQueue->dataAddress >= b->fileOffset &&
           ctl->requestQueue->dataAddress < b->fileOffset + uint64_t(b->bufSize)) {
      io_bufreq_t* r = ctl->requestQueue;
      pthread_mutex_lock(&r->reqLock);
      pthread_cond_signal(&r->reqCond);
      pthread_mutex_unlock(&r->reqLock);
      ctl->requestQueue = r->next;
      r->next = nullptr;
    }
    if (!ctl->bufEmptyQueue) pthread_cond_signal(&ctl->bufQueueCondition);
    qunlock(ctl, __LINE__);
  }
  localFileThreadActive = 0;
  brix_ReqQueueSignalAll(ctl->connectionList, ctl->connectListSize);
  qlock(ctl, __LINE__);
  pthread_cond_broadcast(&ctl->bufQueueCondition);
  qunlock(ctl, __LINE__);
  if (brix_debug_level > 0) fprintf(stderr, "/debug/%s exiting\n", "brix_LocalFileWriteThread");
  return nullptr;
}

// ---- re-seeding between list reads ----

// Hands what arrived before `end` (the first byte the list reads have not
// covered) to the consumer and numbers the windows from there. A part of
// [.., end) that did not arrive is a short read: the transfer is aborted.
// The bytes a buffer hands over stay whole blocks, so `end` may move back
// to a block boundary; the new end is returned.
uint64_t brix_MoveReadyBufsToEmptyQueue(transfer_t* ctl, uint64_t end) {
  qlock(ctl, __LINE__);
  bool any = false;
  uint64_t lastWindowEnd = 0;
  for (io_buffer_t* b = ctl->bufReadyQueue; b; b = b->next) {
    pthread_mutex_lock(&b->bufLock);
    uint64_t winEnd = b->fileOffset + uint64_t(b->bufSize);
    lastWindowEnd = std::max(lastWindowEnd, winEnd);
    if (b->fileOffset >= end) {
      b->dataLength = 0;  // nothing of it was reported as moved
    } else {
      uint64_t need = std::min<uint64_t>(uint64_t(b->bufSize), end - b->fileOffset);
      uint64_t have = brix_BufCoveredPrefix(b);
      if (have < need) {
        pthread_mutex_unlock(&b->bufLock);
        qunlock(ctl, __LINE__);
        brix_Log(BRIX_MSG_ERROR,
                 "%s: list read reported %s bytes that did not arrive - aborting\n", fn,
                 u64tostrwc(need - have));
        setAborted(ctl);
        return end;
      }
      uint64_t whole = need / BRIX_BLOCK * BRIX_BLOCK;
      if (whole < need) end = b->fileOffset + whole;
      b->dataLength = uint32_t(whole);
      if (whole > 0) any = true;
    }
    pthread_mutex_unlock(&b->bufLock);
  }
  if (ctl->bufReadyQueue && end > lastWindowEnd) {
    qunlock(ctl, __LINE__);
    brix_Log(BRIX_MSG_ERROR, "%s: list read reported bytes beyond the buffers - aborting\n", fn);
    setAborted(ctl);
    return end;
  }
  if (any) {
    io_buffer_t** tail = &ctl->bufEmptyQueue;
    while (*tail) tail = &(*tail)->next;
    *tail = ctl->bufReadyQueue;
    ctl->bufReadyQueue = nullptr;
    pthread_cond_broadcast(&ctl->bufQueueCondition);
    qunlock(ctl, __LINE__);
    ozugw_ThreadYield();
    qlock(ctl, __LINE__);
  }
  while (localFileThreadActive && ctl->bufEmptyQueue) {
    qwait(ctl, __LINE__);
    if (aborted(ctl) || !ctl->transfer_active) {
      qunlock(ctl, __LINE__);
      return end;
    }
  }
  for (;;) {
    int ready = 0;
    for (io_buffer_t* b = ctl->bufReadyQueue; b; b = b->next) ready++;
    if (!localFileThreadActive || ready >= ctl->bufCount) break;
    qwait(ctl, __LINE__);
    if (aborted(ctl) || !localFileThreadActive || !ctl->transfer_active) {
      qunlock(ctl, __LINE__);
      return end;
    }
  }
  io_buffer_t** tail = &ctl->bufEmptyQueue;
  while (*tail) tail = &(*tail)->next;
  *tail = ctl->bufReadyQueue;
  ctl->bufReadyQueue = nullptr;
  if (ctl->bufEmptyQueue) {
    ctl->bufEmptyQueue->newFileOffset = end;
    ctl->bufEmptyQueue->bufFlags |= IOB_FLAG_RESET;
  }
  for (io_buffer_t* b = ctl->bufEmptyQueue; b; b = b->next) {
    pthread_mutex_lock(&b->bufLock);
    b->dataLength = 0;
    b->ioCount = 0;
    brix_ResetBufCoverage(b);
    pthread_mutex_unlock(&b->bufLock);
  }
  pthread_cond_broadcast(&ctl->bufQueueCondition);
  qunlock(ctl, __LINE__);
  return end;
}

// The calling thread's half of a resynchronisation.
int brix_ReadErrorResync_MainThread(transfer_t* ctl) {
  static const char* me = "brix_ReadErrorResync_MainThread";
  if (aborted(ctl)) {
    brix_Log(BRIX_MSG_ERROR, "%s: Detected previously set <abort> flag - skipping error retry\n", me);
    return -1;
  }
  if (brix_debug_level > 0) fprintf(stderr, "%s: synchronizing with local file thread\n", me);
  qlock(ctl, __LINE__);
  ctl->errorResyncFlag = 1;
  pthread_cond_broadcast(&ctl->bufQueueCondition);
  while (ctl->errorResyncFlag && !aborted(ctl) && localFileThreadActive) qwait(ctl, __LINE__);
  bool still = ctl->errorResyncFlag != 0;
  qunlock(ctl, __LINE__);
  if (brix_debug_level > 0)
    fprintf(stderr, "%s: synchronization completed - abortFlag = %d\n", me, int(ctl->abortSignalled));
  if (aborted(ctl) || still) return -1;
  ctl->totalBytesMoved = ctl->currentSrcAddr - ctl->srcOffset;
  brix_Log(BRIX_MSG_INFO, "Repositioning source file to address %s", u64tostrwc(ctl->currentSrcAddr));
  brix_Log(BRIX_MSG_INFO, "Adjusting total bytes xferred to %s", u64tostrwc(ctl->totalBytesMoved));
  uint64_t out = 0;
  return brix_PositionFile(ctl->archive_fd, BRIX_QUOR_FILE, ctl->currentSrcAddr, SEEK_SET, 0, &out) == 0
             ? 0
             : -1;
}

// Every transfer thread of the list read has ended.
void waitTransferThreads(transfer_t* ctl) {
  if (ctl->abortSignalled) brix_CleanupTransferThreads(ctl);
  else brix_ShutdownTransferThreads(ctl);
}

transfer_t* takeCtl() {
  if (!xfer_ctl) {
    // Constructed, not calloc'ed: its atomics need it, and the store write
    // deletes whatever record it finds.
    xfer_ctl = new (std::nothrow) transfer_t();
    if (!xfer_ctl) {
      brix_MallocError(fn, "new", sizeof(transfer_t), __FILE__, __LINE__);
      return nullptr;
    }
  }
  return xfer_ctl;
}

}  // namespace

void lock_hist(int flag, int line, const char* file) {
  if (lockState != -1) {
    if (flag == 1 && lockState == 1) {
      printf("*** LOCK call with lock already set at %s line %d\n", file, line);
      dbx_print_lock_hist();
    } else if (flag == 0 && lockState == 0) {
      printf("*** UNLOCK call with lock unset at %s line %d\n", file, line);
      dbx_print_lock_hist();
    }
  }
  lockState = flag == -1 ? 0 : flag;
  lockRec& r = lockStack[lockHistInx];
  r.line = line;
  r.count = ++lockCount;
  r.flag = flag;
  snprintf(r.file, sizeof r.file, "%s", file);
  lockHistInx = (lockHistInx + 1) % 20;
}

void dbx_print_lock_hist(void) {
  for (int i = 0; i < 20; i++) {
    const lockRec& r = lockStack[i];
    printf("%d  Entry %ld File %s line %d %s\n", i, r.count, r.file, r.line,
           r.flag == -1 ? "CondWait" : r.flag == 1 ? "Lock" : "Unlock");
  }
}

void brix_ResetBufCoverage(io_buffer_t* buf) {
  auto it = coverage.find(buf);
  if (it != coverage.end()) it->second.clear();
}

uint32_t brix_BufCoveredPrefix(io_buffer_t* buf) {
  auto it = coverage.find(buf);
  if (it == coverage.end() || it->second.empty() || it->second[0].first != 0) return 0;
  return it->second[0].second;
}

// Adds [from, to) of the window to what arrived; the bytes new to it.
uint32_t brix_BufCover(io_buffer_t* buf, uint32_t from, uint32_t to) {
  auto it = coverage.find(buf);
  if (it == coverage.end() || from >= to) return 0;
  auto& runs = it->second;
  uint32_t added = to - from;
  std::vector<std::pair<uint32_t, uint32_t>> out;
  out.reserve(runs.size() + 1);
  uint32_t lo = from, hi = to;
  for (const auto& r : runs) {
    if (r.second < lo || r.first > hi) {
      out.push_back(r);
      continue;
    }
    uint32_t ovLo = std::max(r.first, from), ovHi = std::min(r.second, to);
    if (ovHi > ovLo) added -= ovHi - ovLo;
    lo = std::min(lo, r.first);
    hi = std::max(hi, r.second);
  }
  out.emplace_back(lo, hi);
  std::sort(out.begin(), out.end());
  runs.swap(out);
  return added;
}

int brix_CopyFromQUORArchive(int archiveFd, uint64_t startAddr, uint64_t bytesToRead,
                             io_buffer_callback_t callback, double* xferTime) {
  if (xferTime) *xferTime = 0;
  if (bytesToRead == 0) return 0;
  transfer_t* ctl = takeCtl();
  if (!ctl) return -1;
  // The pipeline's threads log while the list reads hold the connection.
  brix_DeferGatewayLog(1);
  struct deferEnd {
    ~deferEnd() { brix_DeferGatewayLog(0); }
  } sendKept;
  ctl->archive_fd = archiveFd;
  ctl->srcOffset = startAddr;
  ctl->sinkOffset = 0;
  ctl->transferLength = bytesToRead;
  callBack = callback;
  ctl->listenSockFD = -1;
  ctl->abortSignalled = 0;
  ctl->errorResyncFlag = 0;
  ctl->xferThreadTerminateCount = 0;
  ctl->bufEmptyQueue = ctl->bufReadyQueue = ctl->bufFillQueue = ctl->bufFillQueueTail = nullptr;
  ctl->requestQueue = nullptr;
  if (brix_debug_level > 0)
    fprintf(stderr, "/debug/%s: parallel xfer - stripe width = %d, bufsize = %d\n", fn,
            brix_archive_stripewidth, brix_iobufsize);
  int result = -1;
  bool localStarted = false, listenStarted = false, locks = false;
  pthread_t localId{};
  uint64_t totalSize = startAddr + bytesToRead;
  ctl->connectListSize = 0;
  ctl->connectionList = static_cast<connection_info_t*>(calloc(kSlots, sizeof(connection_info_t)));
  if (!ctl->connectionList) {
    brix_Log(BRIX_MSG_ERROR, "[read_quor_parallel] calloc failure (%d x %d bytes) ***\n", kSlots,
             int(sizeof(connection_info_t)));
    return -1;
  }
  ctl->connectListSize = kSlots;
  for (int i = 0; i < kSlots; i++) {
    connection_info_t& s = ctl->connectionList[i];
    s.conInx = i;
    s.controlSocket = s.listenSocket = s.transferSocket = -1;
    s.ctl = ctl;
    if (brix_InitConReqEntry(&s.ioRequest) != 0) {
      brix_Log(BRIX_MSG_ERROR, "Error(s) initializing connection locks\n");
      if (brix_exit_code == 0) brix_SetExitCode(78);
      goto cleanup;
    }
  }
  if (brix_InitXferLocks(ctl) != 0) {
    brix_Log(BRIX_MSG_ERROR, "Error(s) initializing transfer locks\n");
    goto cleanup;
  }
  locks = true;
  if (ozugw_SockGetListenSocket(0, 1, &ctl->listenSockFD, &ctl->listenSockAddr) != 0) {
    ctl->listenSockFD = -1;
    brix_Log(BRIX_MSG_ERROR, "Error(s) creating listen socket [%s]\n", fn);
    goto cleanup;
  }
  ctl->transfer_active = 1;
  if (brix_AllocateIoBuffers(ctl) != 0) {
    brix_Log(BRIX_MSG_ERROR, "Error(s) creating I/O buffers (%s)\n", fn);
    goto cleanup;
  }
  coverage.clear();
  {
    uint64_t n = startAddr;
    for (io_buffer_t* b = ctl->bufEmptyQueue; b; b = b->next) {
      coverage[b].reserve(8);
      b->fileOffset = n;
      n += uint64_t(b->bufSize);
    }
  }
  ctl->bufReadyQueue = ctl->bufEmptyQueue;
  ctl->bufEmptyQueue = nullptr;
  {
    pthread_attr_t attr;
    ozugw_ThreadAttrInit(&attr);
    // Active from here, so that a mover arriving first finds its buffer.
    localFileThreadActive = 1;
    int rc = ozugw_ThreadCreate(&localId, &attr, brix_LocalFileWriteThread, ctl);
    pthread_attr_destroy(&attr);
    if (rc != 0) {
      localFileThreadActive = 0;
      brix_Log(BRIX_MSG_ERROR, "Error(s) starting local file thread: %d\n", rc);
      goto cleanup;
    }
    localStarted = true;
    ozugw_ThreadYield();
  }
  {
    char err[256] = "";
    if (quor_net_listen(ctl->listenSockFD, 4096, err, sizeof err) != 0) {
      brix_perror("list (control socket)");
      setAborted(ctl);
      goto cleanup;
    }
    // Set before the listen thread runs: it sets it again at the first mover.
    ctl->startTime = brix_GetTimestamp();
    pthread_attr_t attr;
    ozugw_ThreadAttrInit(&attr);
    int rc = ozugw_ThreadCreate(&ctl->listenThreadId, &attr, brix_ReaderListenThread, ctl);
    pthread_attr_destroy(&attr);
    if (rc != 0) {
      brix_Log(BRIX_MSG_ERROR, "Error(s) starting listen thread: %d\n", rc);
      brix_SetXferAborted(fn, __FILE__, __LINE__);
      goto cleanup;
    }
    listenStarted = true;
    ozugw_ThreadYield();
  }
  {
    rwListFlags = 1;
    iod_srcsinkdesc_t src{}, sink{};
    quor_IOD_t iod{};
    iod.Function = QUOR_IOD_READ;
    iod.Flags = 0;
    iod.ReqSpecInfo = nullptr;
    iod.SrcDescLength = 1;
    iod.SinkDescLength = 1;
    iod.SrcDescList = &src;
    iod.SinkDescList = &sink;
    src.SrcSinkAddr.Type = CLIENTFILE_ADDRESS;
    src.SrcSinkAddr.Addr_u.ClientFileAddr.FileDes = archiveFd;
    sink.Flags = QUOR_IOD_XFEROPT_IP | QUOR_IOD_CONTROL_ADDR;
    sink.SrcSinkAddr.Type = NET_ADDRESS;
    sink.SrcSinkAddr.Addr_u.NetAddr.SockAddr = ctl->listenSockAddr;
    sink.SrcSinkAddr.Addr_u.NetAddr.SockOffset = 0;

    ctl->requestedBytes = ctl->bytesMoved = 0;
    ctl->totalBytesMoved = 0;
    uint64_t gapCount = 0;
    ctl->currentSrcAddr = ctl->srcOffset;
    ctl->currentFileAddr = ctl->sinkOffset;
    bool failure = false;
    int retries = 0;
    uint64_t lastFailurePos = ctl->srcOffset;
    while (!aborted(ctl) && ctl->srcOffset + ctl->totalBytesMoved < totalSize) {
      brix_DisplayXferProgress(ctl->totalBytesMoved, bytesToRead);
      pthread_mutex_lock(&ctl->controlLock);
      ctl->xferThreadTerminateCount = 0;
      pthread_mutex_unlock(&ctl->controlLock);
      ctl->requestId = quor_GetUniqueRequestID();
      iod.RequestID = ctl->requestId;
      sink.SrcSinkAddr.Addr_u.NetAddr.SockTransferID = quor_RequestIDtoU64(ctl->requestId);
      uint64_t want = ctl->srcOffset + ctl->totalBytesMoved + gapCount;
      ctl->currentSinkOffset = 0;
      ctl->currentSrcOffset = 0;
      want = brix_MoveReadyBufsToEmptyQueue(ctl, want);
      if (aborted(ctl)) break;
      ctl->totalBytesMoved = want - ctl->srcOffset - gapCount;
      ctl->currentSrcAddr = want;
      ctl->currentFileAddr = ctl->sinkOffset + ctl->totalBytesMoved;
      if (gapCount != 0) {
        if (brix_debug_level > 0)
          fprintf(stderr, "/debug/Gap encountered on QUOR file. Size=%s\n", u64tostrwc(gapCount));
        pthread_mutex_lock(&ctl->controlLock);
        ctl->transfer_active = 0;
        ctl->abortSignalled = 1;
        pthread_mutex_unlock(&ctl->controlLock);
        break;
      }
      if (ctl->currentSrcAddr >= totalSize) break;
      ctl->requestedBytes = std::min(totalSize - ctl->currentSrcAddr, kMaxRequest);
      src.Length = sink.Length = ctl->requestedBytes;
      src.SrcSinkAddr.Addr_u.ClientFileAddr.FileOffset = ctl->currentSrcAddr;
      if (brix_debug_level > 0) {
        char a[32], b[32], c[32], d[32], addr[128] = "";
        fprintf(stderr, "/debug/issuing quor_ReadList call for %s bytes.\n", u64tostr_r(ctl->requestedBytes, a));
        fprintf(stderr, "       offset: %s  ", u64tostr_r(ctl->currentSrcAddr, b));
        fprintf(stderr, "total bytes moved so far: %s ", u64tostr_r(ctl->totalBytesMoved, c));
        fprintf(stderr, "Gap: %s\n", u64tostr_r(gapCount, d));
        char* id = quor_RequestIDtoString(ctl->requestId);
        fprintf(stderr, "[READ IOD] Request ID: %s\n", id ? id : "");
        free(id);
        char err[64];
        quor_net_getuniversaladdress(&ctl->listenSockAddr, addr, sizeof addr, err, sizeof err);
        fprintf(stderr, "      Control Address: %s\n", addr);
      }
      quor_IOR_t ior;
      memset(&ior, 0, sizeof ior);
      int rc = quor_ReadList(&iod, uint32_t(rwListFlags), &ior);
      ctl->bytesMoved = ior.SinkReplyList ? ior.SinkReplyList->BytesMoved : 0;
      if (rc >= 0 && ior.Status != 0) rc = ior.Status < 0 ? ior.Status : -ior.Status;
      // A reply claiming more than was asked for cannot be believed.
      if (rc >= 0 && ctl->bytesMoved > ctl->requestedBytes) rc = -5;
      if (rc >= 0) ctl->totalBytesMoved += ctl->bytesMoved;
      if (rc < 0) {
        uint64_t pos = ctl->currentFileAddr + ctl->bytesMoved;
        bool stop = rc != -5;
        if (!stop) {
          failure = true;
          if (pos == lastFailurePos && retries > 0) {
            if (++retries > 5) stop = true;
          } else {
            brix_Log(BRIX_MSG_INFO, "I/O error occurred after %s bytes successfully transferred\n",
                     u64tostrwc(ctl->bytesMoved));
            retries = 1;
          }
          lastFailurePos = pos;
          if (aborted(ctl)) stop = true;
          // Every connection of the failed list read ends before the
          // consumer's position is taken.
          waitTransferThreads(ctl);
          if (brix_ReadErrorResync_MainThread(ctl) != 0) stop = true;
          else brix_Log(BRIX_MSG_INFO, "Retrying after I/O error at archive file offset %s\n", u64tostrwc(pos));
        }
        if (stop) {
          brix_Log(BRIX_MSG_ERROR, "quor_ReadList error %d, file offset %s - aborting", rc, u64tostrwc(pos));
          setAborted(ctl);
          free_quor_ior_mem(&ior);
          waitTransferThreads(ctl);
          break;
        }
      } else {
        if (failure) {
          brix_Log(BRIX_MSG_INFO, "Recovered I/O error at archive file offset %s\n", u64tostrwc(lastFailurePos));
          failure = false;
        }
        retries = 0;
        if ((ior.Flags & QUOR_IOR_GAPINFO) && ior.ReqSpecReply &&
            ior.ReqSpecReply->ReqReply_s.Reply_u.GapInfo.Length != 0) {
          uint64_t g = ior.ReqSpecReply->ReqReply_s.Reply_u.GapInfo.Length;
          char a[32];
          brix_Log(BRIX_MSG_ERROR, "Fatal: quor_ReadList - GAP hit at offset %s",
                   u64tostrwc(ior.ReqSpecReply->ReqReply_s.Reply_u.GapInfo.Offset + ctl->currentSrcAddr));
          brix_Log(BRIX_MSG_ERROR, " length=%s\n", u64tostr_r(g, a));
          gapCount += g;
        } else if (ctl->bytesMoved == 0) {
          // Nothing moved and no gap: asking again would ask for ever.
          brix_Log(BRIX_MSG_ERROR, "quor_ReadList error %d, file offset %s - aborting", -5,
                   u64tostrwc(ctl->currentSrcAddr));
          setAborted(ctl);
        }
      }
      free_quor_ior_mem(&ior);
      waitTransferThreads(ctl);
    }
    // What the last list read moved still goes to the consumer.
    if (!aborted(ctl) && ctl->srcOffset + ctl->totalBytesMoved >= totalSize)
      brix_MoveReadyBufsToEmptyQueue(ctl, totalSize);
  }
cleanup:
  ctl->stopTime = brix_GetTimestamp();
  if (locks) {
    pthread_mutex_lock(&ctl->controlLock);
    ctl->transfer_active = 0;
    pthread_mutex_unlock(&ctl->controlLock);
    qlock(ctl, __LINE__);
    pthread_cond_broadcast(&ctl->bufQueueCondition);
    qunlock(ctl, __LINE__);
  } else {
    ctl->transfer_active = 0;
  }
  if (ctl->listenSockFD >= 0) {
    shutdown(ctl->listenSockFD, SHUT_RDWR);
  }
  if (xferTime) *xferTime = ctl->stopTime - ctl->startTime;
  if (locks) brix_CleanupTransferThreads(ctl);
  if (listenStarted) pthread_join(ctl->listenThreadId, nullptr);
  if (ctl->listenSockFD >= 0) {
    close(ctl->listenSockFD);
    ctl->listenSockFD = -1;
  }
  if (localStarted) {
    qlock(ctl, __LINE__);
    pthread_cond_broadcast(&ctl->bufQueueCondition);
    qunlock(ctl, __LINE__);
    pthread_join(localId, nullptr);
  }
  // Whole and only the range, or a failure.
  if (!aborted(ctl) && localStarted && consumerPos == totalSize) result = 0;
  else if (!aborted(ctl) && localStarted)
    brix_Log(BRIX_MSG_ERROR, "%s: the read ended at archive address %s, short of %s\n", fn,
             u64tostrwc(consumerPos), u64tostrwc(totalSize));
  brix_CleanupIoBuffers(ctl);
  coverage.clear();
  for (int i = 0; i < ctl->connectListSize; i++) brix_CleanReqQueueEntry(&ctl->connectionList[i].ioRequest);
  free(ctl->connectionList);
  ctl->connectionList = nullptr;
  ctl->connectListSize = 0;
  if (locks) brix_FreeXferLocks(ctl);
  return result;
}
