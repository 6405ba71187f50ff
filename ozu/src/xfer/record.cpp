// The transfer record, the process-wide table of live records, the buffer
// pool and the small operations the drivers share.
#include <ctype.h>
#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <sys/eventfd.h>
#include <sys/mman.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <mutex>
#include <new>

#include "ozu_connect.h"
#include "ozu_context.h"
#include "ozu_errors.h"
#include "ozu_locks.h"
#include "ozu_log.h"
#include "ozu_signals.h"
#include "ozurc.h"
#include "ozuvars.h"
#include "quor_api.h"
#include "quor_api_internal.h"
#include "xfer_record.h"

transfer_t *ozu_XferTable = nullptr, *ozu_XferTableTail = nullptr;
int ozu_ActiveTransfers = 0, ozu_QueuedTransfers = 0, ozu_CompletedXfers = 0,
    ozu_FailedXfers = 0;
int ozu_XferQueueDepth = 500;
static int xferSerialCounter = 0;

transfer_t *getTransferEntry(void)
{
  transfer_t *ctl = new (std::nothrow) transfer_t();
  if (ctl == nullptr) {
    ozu_MallocError(long(sizeof(transfer_t)), "getTransferEntry", __FILE__, __LINE__);
    return nullptr;
  }
  ctl->busystate = TRANSFER_ENTRY_RESERVED;
  ctl->localFile.localFD = -1;
  ctl->quorFile.quorFD = -1;
  ozu_XferTableLock();
  ctl->xferSerialNumber = ++xferSerialCounter;
  if (ozu_XferTable == nullptr)
    ozu_XferTable = ctl;
  else
    ozu_XferTableTail->next = ctl;
  ozu_XferTableTail = ctl;
  ozu_XferTableUnlock();
  return ctl;
}

void freeXferCtl(transfer_t *ctl)
{
  if (ctl == nullptr)
    return;
  ozu_XferTableLock();
  ozu_CompletedXfers++;
  transfer_t *prev = nullptr, *cur = ozu_XferTable;
  while (cur != nullptr && cur != ctl) {
    prev = cur;
    cur = cur->next;
  }
  if (cur == nullptr) {
    char msg[512];
    snprintf(msg, sizeof msg,
             "***%s: OZU Internal error: cannot find transfer entry %p on linked list\n"
             "transfer table=%p curEntry after linked list scan=%p\n",
             "freeXferCtl", static_cast<void *>(ctl), static_cast<void *>(ozu_XferTable),
             static_cast<void *>(cur));
    setExitResult(70, msg, 7);
    ozu_XferTableUnlock();
    ozu_Abort();
  }
  if (prev == nullptr)
    ozu_XferTable = ctl->next;
  else
    prev->next = ctl->next;
  if (ozu_XferTableTail == ctl)
    ozu_XferTableTail = prev;
  ozu_XferTableSignal();
  ozu_XferTableUnlock();
  if (debug >= 2)
    fprintf(listF, "/debug/unlinking xfer table entry %p. Current active I/O count=%d\n",
            static_cast<void *>(ctl), ozu_ActiveTransfers);

  free(ctl->quorFile.quorPath);
  ctl->quorFile.quorPath = nullptr;
  free(ctl->localFile.localPath);
  ctl->localFile.localPath = nullptr;
  if (ctl->connectionList != nullptr)
    ozu_CleanConnectionList(ctl);
  free(ctl->backupPath);
  ctl->backupPath = nullptr;
  free(ctl->quor2ndFile);
  ctl->quor2ndFile = nullptr;
  ozu_FreeXferLocks(ctl);
  ozu_clean_rw_buf(ctl, &ctl->rwbuf[1]);
  ozu_clean_rw_buf(ctl, &ctl->rwbuf[0]);
  ozu_CleanupIoBuffers(ctl);
  if (ctl->hashInfo.theHash != nullptr)
    quor_HashDelete(ctl->hashInfo.theHash);
  free(ctl->hashInfo.hashValue);
  free(ctl->fileHashInfo.hashValue);
  delete ctl;
}

int ozu_GetStripeWidth(const quor_xfileattr_t *attrs, int operation, int keysetWidth)
{
  int width = 0;
  if (keysetWidth > 0)
    width = keysetWidth;
  if (attrs != nullptr) {
    if (operation == IOP_GET) {
      int fileWidth = 0;
      for (int i = 0; i < QUOR_MAX_LEVELS; ++i)
        if (attrs->SCAttrib[i].Flags & 0x4) {
          fileWidth = int(attrs->SCAttrib[i].StripeWidth);
          break;
        }
      width = std::max(width, fileWidth);
    } else if (int(attrs->SCAttrib[0].StripeWidth) > width) {
      width = int(attrs->SCAttrib[0].StripeWidth);
    }
  }
  if (width <= 0)
    width = 8;
  if (width > OZU_CONNECT_SLOTS)
    width = OZU_CONNECT_SLOTS;
  return width;
}

int ozu_InitXferStructure(transfer_t *ctl, int operation)
{
  ctl->busystate = TRANSFER_ENTRY_ACTIVE;
  ctl->xferOperation = operation;
  ctl->ctlMutexCreated = 0;
  ctl->controlSockCount = 0;
  ctl->controlSockAddr = nullptr;
  ctl->stripeWidth = ozu_GetStripeWidth(&ctl->quorFile.attrs, operation,
                                        keyset ? keyset->pwidth : 0);
  ctl->connectListSize = OZU_CONNECT_SLOTS;
  ctl->connectionList =
      static_cast<connection_info_t *>(calloc(OZU_CONNECT_SLOTS, sizeof(connection_info_t)));
  if (ctl->connectionList == nullptr) {
    ozu_MallocError(long(OZU_CONNECT_SLOTS * sizeof(connection_info_t)), "ozu_InitXferStructure",
                    __FILE__, __LINE__);
    return -1;
  }
  for (int i = 0; i < OZU_CONNECT_SLOTS; ++i) {
    connection_info_t *s = &ctl->connectionList[i];
    s->conInx = i;
    s->controlSocket = s->listenSocket = s->transferSocket = -1;
    if (ozu_InitConReqEntry(&s->ioRequest) < 0) {
      fprintf(errFile, "*** %s: error(s) initializing connection locks\n", "ozu_InitXferStructure");
      return -1;
    }
  }
  if (ozu_InitXferLocks(ctl) < 0) {
    fprintf(listF, "*** %s: error(s) initializing transfer locks\n", "ozu_InitXferStructure");
    return -1;
  }
  ctl->bufEmptyQueue = ctl->bufReadyQueue = nullptr;
  ctl->requestQueue = nullptr;
  if (ozu_AllocateIoBuffers(ctl) < 0) {
    fprintf(listF, "*** Error(s) creating I/O buffers (%s)\n",
            ctl->quorFile.quorPath ? ctl->quorFile.quorPath : "");
    SET_TRANSFER_ABORTED(ctl);
    return -1;
  }
  return 0;
}

void ozu_PoolSize(uint64_t fileSize, int stripeWidth, uint32_t keysetBufSize, int configBufSize,
                  long pageSize, int32_t *bufSize, int32_t *bufCount)
{
  uint64_t size;
  if (keysetBufSize != 0) {
    size = keysetBufSize;
  } else {
    size = configBufSize > 0 ? uint64_t(configBufSize) : 8u << 20;
    if (fileSize < (uint64_t(1) << 32) && pageSize > 0) {
      uint64_t rounded = (fileSize + uint64_t(pageSize) - 1) / uint64_t(pageSize) * uint64_t(pageSize);
      if (rounded < size)
        size = rounded;
    }
  }
  // A non-empty transfer of a file recorded as empty still needs a buffer.
  if (size == 0)
    size = pageSize > 0 ? uint64_t(pageSize) : 4096;
  uint64_t limit = uint64_t(2 * stripeWidth);
  uint64_t q = (fileSize + size - 1) / size;
  if (q == 0)
    q = 1;
  if (q > limit || q >= (uint64_t(1) << 32))
    q = limit;
  *bufSize = int32_t(size);
  *bufCount = int32_t(q);
}

namespace {

// Pools at least this large are made resident by a thread of their own while
// the transfer starts; smaller ones (a small file's one buffer) at once.
constexpr size_t kPoolFillAlone = size_t(32) << 20;

int initRwBuf(transfer_t *ctl, io_buffer_t *buf, int memType, bool resident);

void *poolFill(void *arg)
{
  auto *list = static_cast<std::vector<std::pair<char *, size_t>> *>(arg);
  // In the order the transfer takes the buffers, so the first ones are
  // ready first; a page the movers reach before this thread is simply
  // faulted in by them.
  for (auto &piece : *list)
    madvise(piece.first, piece.second, MADV_POPULATE_WRITE);
  return nullptr;
}

void joinPoolFill(transfer_t *ctl)
{
  if (ctl->poolFillStarted) {
    pthread_join(ctl->poolFillThread, nullptr);
    ctl->poolFillStarted = 0;
  }
  delete ctl->poolFillList;
  ctl->poolFillList = nullptr;
}

}  // namespace

int ozu_AllocateIoBuffers(transfer_t *ctl)
{
  int memType = 0;
  const char *env = getenv("QUOR_IO_MEMTYPE");
  if (env != nullptr && strcmp(env, "shared") == 0 && globalDefs.enableSharedMem)
    memType = 1;
  uint64_t size = ctl->xferOperation == IOP_GET ? ctl->quorFile.attrs.Attrs.DataLength
                                                : ctl->localFile.localSize;
  ozu_PoolSize(size, ctl->stripeWidth, keyset ? keyset->iobufsize : 0, globalDefs.iobufSize,
               sysPageSize, &ctl->bufSize, &ctl->bufCount);
  if (debug >= 3)
    fprintf(listF, "/debug/allocating %d buffers for xfer\n", ctl->bufCount);
  // Making the pool resident costs about as much as a tenth of the bytes a
  // large get moves through it: a large pool is made resident beside the
  // transfer's start rather than before it.
  bool alone = uint64_t(ctl->bufSize) * uint64_t(ctl->bufCount) >= kPoolFillAlone;
  joinPoolFill(ctl);
  io_buffer_t *tail = nullptr;
  for (int i = 0; i < ctl->bufCount; ++i) {
    auto *b = static_cast<io_buffer_t *>(calloc(1, sizeof(io_buffer_t)));
    if (b == nullptr) {
      ozu_MallocError(long(sizeof(io_buffer_t)), "ozu_AllocateIoBuffers", __FILE__, __LINE__);
      return -1;
    }
    if (initRwBuf(ctl, b, memType, !alone) < 0) {
      free(b);
      return -1;
    }
    if (tail == nullptr)
      ctl->bufEmptyQueue = b;
    else
      tail->next = b;
    tail = b;
  }
  if (alone) {
    ctl->poolFillList = new (std::nothrow) std::vector<std::pair<char *, size_t>>();
    if (ctl->poolFillList != nullptr) {
      for (io_buffer_t *b = ctl->bufEmptyQueue; b != nullptr; b = b->next)
        ctl->poolFillList->emplace_back(b->buffer, size_t(b->bufSize) & ~size_t(4095));
      if (ozu_ThreadCreate(&ctl->poolFillThread, nullptr, poolFill, ctl->poolFillList) == 0)
        ctl->poolFillStarted = 1;
      else
        poolFill(ctl->poolFillList);
    }
  }
  return 0;
}

static const char *memTypeName(int t)
{
  return t == 0 ? "LOCAL" : t == 1 ? "SHARED MEMORY" : "[unknown memtype] BUFFER";
}

int ozu_InitRwBuf(transfer_t *ctl, io_buffer_t *buf, int memType)
{
  return initRwBuf(ctl, buf, memType, true);
}

namespace {

constexpr size_t kHugePage = size_t(2) << 20;

// A buffer of a huge page or more starts on a huge-page boundary and its
// whole huge pages are offered to the kernel as such: the movers copy every
// byte of it in and out, and on small pages the address translations (dear
// under a hypervisor) cost more than the copy once a pool outgrows the
// cache. Its trailing part, less than a huge page, stays on small pages, so
// the buffer never holds more memory than its size. Where memory is
// fragmented the kernel may compact to find huge pages: a large pool is made
// resident by its own thread beside the transfer's start, not before it.
// Smaller buffers are page aligned. 0 or -ENOMEM; raw is what free() takes.
int poolAlloc(size_t size, void **raw, void **aligned)
{
  if (size < kHugePage)
    return quor_PAMalloc(size, raw, aligned);
  void *p = nullptr;
  if (posix_memalign(&p, kHugePage, size) != 0 || p == nullptr)
    return -ENOMEM;
  madvise(p, size & ~(kHugePage - 1), MADV_HUGEPAGE);
  *raw = *aligned = p;
  return 0;
}

int initRwBuf(transfer_t *ctl, io_buffer_t *buf, int memType, bool resident)
{
  if (buf->iobuf != nullptr) {
    fprintf(errFile, "*** OZU: [internal error] non-null buffer in init_rw_buf\n");
    fprintf(errFile, "reallocating....\n");
    ozu_clean_rw_buf(ctl, buf);
  }
  memset(static_cast<void *>(buf), 0, sizeof *buf);
  int32_t size = keyset && keyset->iobufsize ? int32_t(keyset->iobufsize)
                 : ctl->bufSize                ? ctl->bufSize
                                               : (globalDefs.iobufSize > 0 ? globalDefs.iobufSize : 8 << 20);
  // A copy's two buffers need not outgrow its file: for many small files
  // the memory made resident for each would cost more than the copy.
  if (ctl->xferOperation == IOP_COPY && ctl->transferLength > 0 && uint64_t(size) > ctl->transferLength) {
    uint64_t page = 4096;
    size = int32_t((ctl->transferLength + page - 1) / page * page);
  }
  buf->bufSize = size;
  buf->memType = memType;
  if (memType != 0) {
    fprintf(errFile, "*** Internal error in ozu_InitRwBuf - invalid memory type!\n");
    return -1;
  }
  void *raw = nullptr, *aligned = nullptr;
  int attempts = 0;
  while (poolAlloc(size_t(size), &raw, &aligned) != 0 || aligned == nullptr) {
    if (++attempts >= 500) {
      fprintf(errFile, "*** [init_rw_buf] allocation error (%d bytes), type=%s\n", size,
              memTypeName(memType));
      return -1;
    }
    ozugw_ThreadSleep(0, 100000);
  }
  // Made resident in one call rather than a fault per page as the bytes
  // arrive (a no-op where the kernel lacks it).
  if (resident)
    madvise(aligned, size_t(size) & ~size_t(4095), MADV_POPULATE_WRITE);
  buf->iobuf = static_cast<char *>(raw);
  buf->buffer = static_cast<char *>(aligned);
  buf->bufferSave = buf->buffer;
  buf->bufSizeSave = size;
  int rc = pthread_mutex_init(&buf->bufLock, nullptr);
  if (rc != 0) {
    fprintf(errFile, "*** [init_rw_buf] pthread_mutex_init error %d\n", rc);
    return -1;
  }
  buf->bufFlags |= BUF_LOCK_INIT;
  rc = pthread_cond_init(&buf->bufCond, nullptr);
  if (rc != 0) {
    fprintf(errFile, "*** [init_rw_buf] pthread_cond_init error %d\n", rc);
    return -1;
  }
  buf->bufFlags |= BUF_COND_INIT;
  if (debug >= 3)
    fprintf(listF, "/debug/allocated I/O buffer. Type=%s size=%d addr=@%p\n", memTypeName(memType),
            size, static_cast<void *>(buf->buffer));
  return 0;
}

}  // namespace

int ozu_clean_rw_buf(transfer_t *, io_buffer_t *buf)
{
  if (buf->bufFlags & BUF_COND_INIT) {
    pthread_cond_destroy(&buf->bufCond);
    buf->bufFlags &= ~uint32_t(BUF_COND_INIT);
  }
  if (buf->bufFlags & BUF_LOCK_INIT) {
    pthread_mutex_destroy(&buf->bufLock);
    buf->bufFlags &= ~uint32_t(BUF_LOCK_INIT);
  }
  if (buf->iobuf == nullptr)
    return 0;
  if (buf->memType != 0) {
    fprintf(errFile, "*** Internal error in ozu_clean_rw_buf - invalid memory type!\n");
    return -1;
  }
  free(buf->iobuf);
  if (debug >= 3)
    fprintf(listF, "/debug/deallocated I/O buffer. Type=%s size=%d addr=@%p\n", "LOCAL",
            buf->bufSize, static_cast<void *>(buf->buffer));
  buf->buffer = nullptr;
  buf->iobuf = nullptr;
  return 0;
}

static void freeChain(transfer_t *ctl, io_buffer_t *b)
{
  while (b != nullptr) {
    io_buffer_t *next = b->next;
    ozu_clean_rw_buf(ctl, b);
    free(b);
    b = next;
  }
}

int ozu_CleanupIoBuffers(transfer_t *ctl)
{
  joinPoolFill(ctl);
  bool locked = ctl->bufQueueLockCreated;
  if (locked)
    pthread_mutex_lock(&ctl->bufQueueLock);
  io_buffer_t *e = ctl->bufEmptyQueue, *r = ctl->bufReadyQueue;
  ctl->bufEmptyQueue = ctl->bufReadyQueue = nullptr;
  if (locked)
    pthread_mutex_unlock(&ctl->bufQueueLock);
  freeChain(ctl, e);
  freeChain(ctl, r);
  return 0;
}

int ozu_InitXferLocks(transfer_t *ctl)
{
  int bad = 0;
  auto mutex = [&](int32_t &made, pthread_mutex_t &m, int line) {
    if (made)
      return;
    int rc = pthread_mutex_init(&m, nullptr);
    if (rc != 0) {
      fprintf(errFile, "*** [ozu_InitXferLocks] pthread_mutex_init/pthread_cond_init error %d at line %d\n", rc, line);
      bad++;
    } else {
      made = 1;
    }
  };
  auto cond = [&](int32_t &made, pthread_cond_t &c, int line) {
    if (made)
      return;
    int rc = pthread_cond_init(&c, nullptr);
    if (rc != 0) {
      fprintf(errFile, "*** [ozu_InitXferLocks] pthread_mutex_init/pthread_cond_init error %d at line %d\n", rc, line);
      bad++;
    } else {
      made = 1;
    }
  };
  mutex(ctl->abortMutexCreated, ctl->abortLock, 1);
  cond(ctl->abortConditionCreated, ctl->abortCondition, 2);
  mutex(ctl->ctlMutexCreated, ctl->controlLock, 3);
  cond(ctl->localFileCondCreated, ctl->localFileCond, 4);
  mutex(ctl->bufQueueLockCreated, ctl->bufQueueLock, 5);
  cond(ctl->bufQueueCondCreated, ctl->bufQueueCondition, 6);
  if (!ctl->connWakeCreated) {
    ctl->connWakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (ctl->connWakeFd >= 0)
      ctl->connWakeCreated = 1;
    else
      bad++;
  }
  return bad ? -1 : 0;
}

void ozu_FreeXferLocks(transfer_t *ctl)
{
  if (ctl->abortMutexCreated)
    pthread_mutex_destroy(&ctl->abortLock);
  if (ctl->abortConditionCreated)
    pthread_cond_destroy(&ctl->abortCondition);
  if (ctl->ctlMutexCreated)
    pthread_mutex_destroy(&ctl->controlLock);
  if (ctl->localFileCondCreated)
    pthread_cond_destroy(&ctl->localFileCond);
  if (ctl->bufQueueLockCreated)
    pthread_mutex_destroy(&ctl->bufQueueLock);
  if (ctl->bufQueueCondCreated)
    pthread_cond_destroy(&ctl->bufQueueCondition);
  if (ctl->connWakeCreated)
    close(ctl->connWakeFd);
  ctl->connWakeCreated = 0;
  ctl->abortMutexCreated = ctl->abortConditionCreated = ctl->ctlMutexCreated = 0;
  ctl->localFileCondCreated = ctl->bufQueueLockCreated = ctl->bufQueueCondCreated = 0;
}

int ozu_InitConReqEntry(io_bufreq_t *req)
{
  memset(static_cast<void *>(req), 0, sizeof *req);
  int rc = pthread_mutex_init(&req->reqLock, nullptr);
  if (rc != 0) {
    fprintf(errFile, "*** [ozu_InitConReqEntry] pthread_mutex_init/pthread_cond_init error %d at line %d\n", rc, 1);
    return -1;
  }
  req->reqLockCreated = 1;
  rc = pthread_cond_init(&req->reqCond, nullptr);
  if (rc != 0) {
    fprintf(errFile, "*** [ozu_InitConReqEntry] pthread_mutex_init/pthread_cond_init error %d at line %d\n", rc, 2);
    return -1;
  }
  req->reqCondCreated = 1;
  return 0;
}

int ozu_CleanReqQueueEntry(io_bufreq_t *req)
{
  if (req->reqCondCreated)
    pthread_cond_destroy(&req->reqCond);
  if (req->reqLockCreated)
    pthread_mutex_destroy(&req->reqLock);
  req->reqCondCreated = req->reqLockCreated = 0;
  return 0;
}

void ozu_CleanConnectionList(transfer_t *ctl)
{
  if (ctl->connectionList != nullptr) {
    for (int i = 0; i < ctl->connectListSize; ++i)
      ozu_CleanReqQueueEntry(&ctl->connectionList[i].ioRequest);
    free(ctl->connectionList);
  }
  ctl->connectionList = nullptr;
  ctl->connectListSize = 0;
  ctl->connectionCount = 0;
}

void ozu_ReqQueueSignalAll(transfer_t *ctl)
{
  if (ctl->connectionList == nullptr)
    return;
  for (int i = 0; i < ctl->connectListSize; ++i)
    if (ctl->connectionList[i].ioRequest.reqCondCreated)
      pthread_cond_signal(&ctl->connectionList[i].ioRequest.reqCond);
}

void ozu_CleanupTransferThreads(transfer_t *ctl)
{
  if (ctl->connectionList == nullptr)
    return;
  for (int i = 0; i < ctl->connectListSize; ++i) {
    bool traced = false;
    pthread_mutex_lock(&ctl->abortLock);
    while (ctl->connectionList[i].isactive) {
      if (debug >= 3 && !traced) {
        fprintf(listF, "/debug/ - waiting on thread entry %d to complete...\n", i);
        traced = true;
      }
      // A transfer thread signals as it lets go of its slot; the slice
      // covers a slot given up without a signal.
      struct timespec ts;
      clock_gettime(CLOCK_REALTIME, &ts);
      ts.tv_nsec += 20000000L;
      ts.tv_sec += ts.tv_nsec / 1000000000L;
      ts.tv_nsec %= 1000000000L;
      pthread_cond_timedwait(&ctl->abortCondition, &ctl->abortLock, &ts);
    }
    pthread_mutex_unlock(&ctl->abortLock);
  }
}

int ozu_CloseFiles(transfer_t *ctl)
{
  int bad = 0;
  local_file_info_t *lf = &ctl->localFile;
  if (lf->fileOpen) {
    int rc = 0;
    if (!lf->pipedFile)
      rc = close(lf->localFD);
    else if (!lf->stdinoutFlag && lf->localFileStruct != nullptr)
      rc = pclose(lf->localFileStruct);
    else if (!lf->stdinoutFlag && lf->localFD >= 0)
      rc = close(lf->localFD);
    if (rc != 0) {
      bad++;
      if (debug >= 2)
        fprintf(listF, "*** Error %d on close of local file '%s'\n", errno,
                lf->localPath ? lf->localPath : "");
    }
    lf->fileOpen = 0;
    lf->localFileStruct = nullptr;
    lf->localFD = -1;
  }
  auto closeQuor = [&](quor_file_info_t *q) {
    if (q == nullptr || !q->fileOpen)
      return;
    int fd = q->quorFD;
    int rc = ozu_EioRetry([&] { return quor_Close(fd); });
    if (rc < 0) {
      setExitResult(74, quor_perror(rc, "quor_Close", "[ozu_CloseFiles]", nullptr), 7);
      bad++;
    }
    q->fileOpen = 0;
  };
  closeQuor(&ctl->quorFile);
  closeQuor(ctl->quor2ndFile);
  return bad ? -1 : 0;
}

void ozu_SetTransferAborted(transfer_t *ctl, int place)
{
  if (ctl->abortMutexCreated) {
    pthread_mutex_lock(&ctl->abortLock);
    ctl->abortSignalled++;
    pthread_cond_broadcast(&ctl->abortCondition);
    ozu_WakeConnections(ctl);
    pthread_mutex_unlock(&ctl->abortLock);
  } else {
    ctl->abortSignalled++;
  }
  fprintf(listF, "SET_TRANSFER_ABORTED called at line %d\n", place);
}

void ozu_StopTransfer(transfer_t *ctl)
{
  pthread_mutex_lock(&ctl->abortLock);
  ctl->transfer_active = 0;
  ctl->abortSignalled = 1;
  pthread_cond_broadcast(&ctl->abortCondition);
  ozu_WakeConnections(ctl);
  pthread_mutex_unlock(&ctl->abortLock);
}

void ozu_WakeConnections(transfer_t *ctl)
{
  if (!ctl->connWakeCreated)
    return;
  uint64_t one = 1;
  ssize_t n = write(ctl->connWakeFd, &one, sizeof one);
  (void)n;  // a full counter is already a wake-up
}

int ozu_ShouldAbortTransfer(const char *prompt, const char *otherInfo)
{
  if (!isatty2 || ttyIn == nullptr || ttyOut == nullptr)
    return -1;
  char line[8192];
  for (;;) {
    fprintf(ttyOut, "[%s]%s Abort Transfer'? ([Y]es,[N]o ", prompt ? prompt : "",
            otherInfo ? otherInfo : "");
    fflush(ttyOut);
    if (fgets(line, sizeof line, ttyIn) == nullptr)
      return -1;
    int c = toupper(static_cast<unsigned char>(line[0]));
    if (c == 'Y')
      return 0;
    if (c == 'N')
      return 2;
  }
}

int ozu_PositionLocalFile(int fd, uint64_t offset, const char *name)
{
  if (lseek(fd, off_t(offset), SEEK_SET) < 0) {
    char msg[4200];
    snprintf(msg, sizeof msg, "*** Error %d positioning local file %s to offset %llu\n", errno,
             name ? name : "", static_cast<unsigned long long>(offset));
    setExitResult(70, msg, 7);
    return -1;
  }
  return 0;
}

int ozu_SetFamilyID(const char *path, int familyId)
{
  if (debug >= 2)
    fprintf(listF, "/debug/setting family ID for %s to %d\n", path, familyId);
  quor_fileattr_t in, out;
  memset(&in, 0, sizeof in);
  memset(&out, 0, sizeof out);
  in.Attrs.FamilyId = decltype(in.Attrs.FamilyId)(familyId);
  int rc = ozu_EioRetry([&] { return quor_FileSetAttributes(path, quor_fileattrbits_t(1) << 52, &in, &out); });
  if (rc != 0)
    setExitResult(74, quor_perror(rc, verb ? verb : "put", path, nullptr), 7);
  return rc;
}

uint32_t ozu_GetIODProtocolType(void)
{
  static std::once_flag once;
  static uint32_t value = 0x4000;
  std::call_once(once, [] {
    const char *env = getenv("QUOR_API_TRANSFER_TYPE");
    if (env == nullptr || strcasecmp(env, "MVRSELECT") == 0)
      value = 0x4000;
    else if (strcasecmp(env, "TCP") == 0)
      value = 0;
    else if (strcasecmp(env, "MVRPROT") == 0)
      value = 8;
    else {
      fprintf(stderr, "*** %s: WARNING: bad setting for QUOR_API_TRANSFER_TYPE ignored\n",
              "ozu_GetIODProtocolType");
      value = 0x4000;
    }
  });
  return value;
}

double ozu_GetTimestamp(void)
{
  struct timeval tv;
  gettimeofday(&tv, nullptr);
  return double(tv.tv_sec) + double(tv.tv_usec) / 1e6;
}

uint64_t ozu_FileSizeToU64(const struct stat *st) { return uint64_t(st->st_size); }

char *ozu_UnquotePath(const char *path)
{
  size_t n = 0;
  for (const char *p = path; *p; ++p)
    if (*p != '\\')
      n++;
  char *out = static_cast<char *>(malloc(n + 1));
  if (out == nullptr)
    return nullptr;
  char *o = out;
  for (const char *p = path; *p; ++p)
    if (*p != '\\')
      *o++ = *p;
  *o = '\0';
  return out;
}

void ozu_DisplayXferProgress(uint64_t, uint64_t) {}

ozu_context_t *ozu_XferContext(const transfer_t *ctl)
{
  ozu_context_t *ctx = ctl->quorFile.conHandle >= 0 ? ozu_LookupConnection(ctl->quorFile.conHandle) : nullptr;
  if (ctx == nullptr && keyset != nullptr)
    ctx = keyset->curContext;
  return ctx;
}

xfer_conn_hold::xfer_conn_hold(int handle)
{
  if (handle < 0)
    return;
  held = qelapi_PinThreadConnection(handle, &previous) == 0;
  ok = held;
}

xfer_conn_hold::~xfer_conn_hold()
{
  if (held)
    qelapi_PinThreadConnection(previous, nullptr);
}
