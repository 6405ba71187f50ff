// The transfer control record of the archive transfer in progress: its pool
// of data buffers, the queues that pass them between threads, its locks and
// flags, and the progress line.
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include "brix_xfer.h"

transfer_t* xfer_ctl = nullptr;

namespace {

int memTypeSetting = -1;

int settledMemType() {
  if (memTypeSetting < 0) {
    const char* v = getenv("QUOR_IO_MEMTYPE");
    memTypeSetting = (v && strcmp(v, "shared") == 0) ? 1 : 0;
  }
  return memTypeSetting;
}

const char* memTypeName(int t) {
  return t == 0 ? "LOCAL" : t == 1 ? "SHARED MEMORY" : "????";
}

int bufferBlocks() { return (brix_iobufsize + 511) / 512; }

}  // namespace

int brix_InitRwBuf(io_buffer_t* buf, int memType) {
  if (buf->buffer) {
    brix_Log(BRIX_MSG_ERROR, "[Internal error] non-null buffer in brix_InitRwBuf - reallocating\n");
    brix_CleanIoBuf(buf);
  }
  memset(static_cast<void*>(buf), 0, sizeof *buf);
  buf->bufSizeBlocks = bufferBlocks();
  buf->bufSize = buf->bufSizeBlocks * 512;
  buf->memType = memType;
  if (memType != 0) {
    brix_Log(BRIX_MSG_ERROR, "Internal error in brix_InitRwBuf - invalid memory type!\n");
    return -1;
  }
  size_t bytes = size_t(buf->bufSize) + (brix_function == BOP_APPEND ? 512 : 0);
  buf->buffer = static_cast<unsigned char*>(malloc(bytes));
  if (!buf->buffer) {
    brix_Log(BRIX_MSG_ERROR, "[brix_InitRwBuf] allocation error (%d bytes), type=%s\n", int(bytes),
             "LOCAL");
    return -1;
  }
  buf->state = IOB_STATE_READING;
  int rc = pthread_mutex_init(&buf->bufLock, nullptr);
  if (rc != 0) {
    brix_Log(BRIX_MSG_ERROR, "[brix_InitRwBuf] pthread_mutex_init error %d\n", rc);
    return -1;
  }
  buf->bufFlags |= IOB_FLAG_LOCK;
  rc = pthread_cond_init(&buf->bufCond, nullptr);
  if (rc != 0) {
    brix_Log(BRIX_MSG_ERROR, "[brix_InitRwBuf] pthread_cond_init error %d\n", rc);
    return -1;
  }
  buf->bufFlags |= IOB_FLAG_COND;
  if (brix_debug_level > 0)
    fprintf(stderr, "/debug/allocated I/O buffer. Type=%s size=%d addr=@%p\n", memTypeName(memType),
            buf->bufSize, static_cast<void*>(buf->buffer));
  return 0;
}

int brix_CleanIoBuf(io_buffer_t* buf) {
  if (buf->bufFlags & IOB_FLAG_COND) {
    pthread_cond_destroy(&buf->bufCond);
    buf->bufFlags &= ~IOB_FLAG_COND;
  }
  if (buf->bufFlags & IOB_FLAG_LOCK) {
    pthread_mutex_destroy(&buf->bufLock);
    buf->bufFlags &= ~IOB_FLAG_LOCK;
  }
  if (buf->buffer) {
    if (buf->memType != 0) {
      brix_Log(BRIX_MSG_ERROR, "Internal error in brix_CleanIoBuf - invalid memory type!\n");
      return -1;
    }
    free(buf->buffer);
    if (brix_debug_level > 1)
      fprintf(stderr, "/debug/deallocated I/O buffer. Type=%s size=%d addr=@%p\n",
              buf->memType == 0 ? "LOCAL" : buf->memType == 1 ? "SHARED MEMORY" : "???", buf->bufSize,
              static_cast<void*>(buf->buffer));
    buf->buffer = nullptr;
  }
  return 0;
}

int brix_AllocateIoBuffers(transfer_t* ctl) {
  if (brix_debug_level > 3)
    brix_FuncTraceMessage("Entering ", "brix_AllocateIoBuffers", "", 0, __FILE__, __LINE__);
  int memType = settledMemType();
  int width = brix_archive_stripewidth > 0 ? brix_archive_stripewidth : 1;
  ctl->bufCount = 2 * width;
  if (brix_debug_level > 0) fprintf(stderr, "/debug/allocating %d buffers for xfer\n", ctl->bufCount);
  io_buffer_t* last = nullptr;
  for (int i = 0; i < ctl->bufCount; i++) {
    auto* b = static_cast<io_buffer_t*>(calloc(1, sizeof(io_buffer_t)));
    if (!b) {
      brix_MallocError("brix_AllocateIoBuffers", "calloc", sizeof(io_buffer_t), __FILE__, __LINE__);
      return -1;
    }
    if (brix_InitRwBuf(b, memType) != 0) {
      brix_CleanIoBuf(b);
      free(b);
      return -1;
    }
    b->allNext = ctl->bufAll;
    ctl->bufAll = b;
    if (last) last->next = b;
    else ctl->bufEmptyQueue = b;
    last = b;
  }
  return 0;
}

int brix_CleanupIoBuffers(transfer_t* ctl) {
  if (!ctl) return 0;
  if (brix_debug_level > 3)
    brix_FuncTraceMessage("Entering ", "brix_CleanupIoBuffers", "", 0, __FILE__, __LINE__);
  bool locked = ctl->bufQueueLockCreated && pthread_mutex_lock(&ctl->bufQueueLock) == 0;
  // After an abort some buffers are in no queue (a reader's, the one being
  // written): the pool's own list finds them all.
  io_buffer_t* b = ctl->bufAll;
  while (b) {
    io_buffer_t* next = b->allNext;
    if (brix_CleanIoBuf(b) == 0) free(b);
    b = next;
  }
  ctl->bufAll = nullptr;
  ctl->bufEmptyQueue = ctl->bufFillQueue = ctl->bufFillQueueTail = ctl->bufReadyQueue = nullptr;
  io_bufreq_t* r = ctl->requestQueue;
  while (r) {
    io_bufreq_t* next = r->next;
    r->next = nullptr;
    r = next;
  }
  ctl->requestQueue = nullptr;
  if (locked) pthread_mutex_unlock(&ctl->bufQueueLock);
  return 0;
}

void brix_MoveBuffersToEmptyQueue(transfer_t* ctl) {
  if (brix_debug_level > 3)
    brix_FuncTraceMessage("Entering ", "brix_MoveBuffersToEmptyQueue", "", 0, __FILE__, __LINE__);
  bool locked = ctl->bufQueueLockCreated && pthread_mutex_lock(&ctl->bufQueueLock) == 0;
  io_buffer_t** tail = &ctl->bufEmptyQueue;
  while (*tail) tail = &(*tail)->next;
  *tail = ctl->bufReadyQueue;
  while (*tail) tail = &(*tail)->next;
  *tail = ctl->bufFillQueue;
  ctl->bufReadyQueue = nullptr;
  ctl->bufFillQueue = nullptr;
  ctl->bufFillQueueTail = nullptr;
  for (io_buffer_t* b = ctl->bufEmptyQueue; b; b = b->next) {
    b->bufFlags &= ~(IOB_FLAG_RESET | 0xE0000000u);
    b->bufBlocksFilled = 0;
    b->bufBlocksAllocated = 0;
    b->ioCount = 0;
    b->dataRemaining = 0;
    b->dataMoved = 0;
    b->dataLength = 0;
  }
  if (locked) pthread_mutex_unlock(&ctl->bufQueueLock);
  if (brix_debug_level > 3)
    brix_FuncTraceMessage("Exiting ", "brix_MoveBuffersToEmptyQueue", "", 0, __FILE__, __LINE__);
}

void brix_InsertReadyQueue(transfer_t* ctl, io_buffer_t* buf) {
  io_buffer_t** at = &ctl->bufReadyQueue;
  while (*at && (*at)->fileOffset < buf->fileOffset) at = &(*at)->next;
  buf->next = *at;
  *at = buf;
}

int brix_InitConReqEntry(io_bufreq_t* req) {
  memset(static_cast<void*>(req), 0, sizeof *req);
  int rc = pthread_mutex_init(&req->reqLock, nullptr);
  if (rc == 0) {
    req->reqLockCreated = 1;
    rc = pthread_cond_init(&req->reqCond, nullptr);
    if (rc == 0) req->reqCondCreated = 1;
  }
  if (rc != 0) {
    brix_Log(BRIX_MSG_ERROR, "[brix_InitConReqEntry] pthread_mutex_init/pthread_cond_init error %d at line %d\n",
             rc, __LINE__);
    brix_SetExitCode(78);
    return -1;
  }
  return 0;
}

int brix_CleanReqQueueEntry(io_bufreq_t* req) {
  if (req->reqCondCreated) {
    pthread_cond_destroy(&req->reqCond);
    req->reqCondCreated = 0;
  }
  if (req->reqLockCreated) {
    pthread_mutex_destroy(&req->reqLock);
    req->reqLockCreated = 0;
  }
  return 0;
}

int brix_InitXferLocks(transfer_t* ctl) {
  if (brix_debug_level > 3)
    brix_FuncTraceMessage("Entering ", "brix_InitXferLocks", "", 0, __FILE__, __LINE__);
  int rc = 0;
  int line = 0;
  if ((rc = pthread_cond_init(&ctl->localFileCond, nullptr)) == 0) ctl->localFileCondCreated = 1;
  else line = __LINE__;
  if (rc == 0) {
    if ((rc = pthread_cond_init(&ctl->slotIdleCond, nullptr)) == 0) ctl->slotIdleCondCreated = 1;
    else line = __LINE__;
  }
  if (rc == 0) {
    if ((rc = pthread_mutex_init(&ctl->controlLock, nullptr)) == 0) ctl->ctlMutexCreated = 1;
    else line = __LINE__;
  }
  if (rc == 0) {
    if ((rc = pthread_mutex_init(&ctl->bufQueueLock, nullptr)) == 0) ctl->bufQueueLockCreated = 1;
    else line = __LINE__;
  }
  if (rc == 0) {
    if ((rc = pthread_cond_init(&ctl->bufQueueCondition, nullptr)) == 0) ctl->bufQueueCondCreated = 1;
    else line = __LINE__;
  }
  if (rc != 0) {
    brix_Log(BRIX_MSG_ERROR, "[%s] pthread_mutex_init/pthread_cond_init error %d at line %d\n",
             "brix_InitXferLocks", rc, line);
    brix_SetExitCode(71);
    return -1;
  }
  return 0;
}

void brix_FreeXferLocks(transfer_t* ctl) {
  if (!ctl) return;
  if (ctl->localFileCondCreated) {
    pthread_cond_destroy(&ctl->localFileCond);
    ctl->localFileCondCreated = 0;
  }
  if (ctl->slotIdleCondCreated) {
    pthread_cond_destroy(&ctl->slotIdleCond);
    ctl->slotIdleCondCreated = 0;
  }
  if (ctl->ctlMutexCreated > 0) {
    pthread_mutex_destroy(&ctl->controlLock);
    ctl->ctlMutexCreated = 0;
  }
  if (ctl->bufQueueLockCreated) {
    pthread_mutex_destroy(&ctl->bufQueueLock);
    ctl->bufQueueLockCreated = 0;
  }
  if (ctl->bufQueueCondCreated) {
    pthread_cond_destroy(&ctl->bufQueueCondition);
    ctl->bufQueueCondCreated = 0;
  }
}

void brix_ReqQueueSignalAll(connection_info_t* slots, int count) {
  for (int i = 0; i < count; i++) {
    io_bufreq_t& r = slots[i].ioRequest;
    if (!r.reqCondCreated) continue;
    pthread_mutex_lock(&r.reqLock);
    pthread_cond_signal(&r.reqCond);
    pthread_mutex_unlock(&r.reqLock);
  }
}

void brix_SetSlotIdle(transfer_t* ctl, connection_info_t* slot) {
  slot->isactive = 0;
  if (ctl->slotIdleCondCreated) pthread_cond_broadcast(&ctl->slotIdleCond);
}

void brix_WaitSlotIdle(transfer_t* ctl) {
  if (!ctl->slotIdleCondCreated) {
    pthread_mutex_unlock(&ctl->controlLock);
    usleep(20000);
    pthread_mutex_lock(&ctl->controlLock);
    return;
  }
  struct timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  ts.tv_nsec += 20000000;
  if (ts.tv_nsec >= 1000000000) {
    ts.tv_sec++;
    ts.tv_nsec -= 1000000000;
  }
  pthread_cond_timedwait(&ctl->slotIdleCond, &ctl->controlLock, &ts);
}

void brix_ShutdownTransferThreads(transfer_t* ctl) {
  if (brix_debug_level > 3)
    brix_FuncTraceMessage("Entering ", "brix_ShutdownTransferThreads", "", 0, __FILE__, __LINE__);
  for (int i = 0; i < ctl->connectListSize; i++) {
    connection_info_t& s = ctl->connectionList[i];
    bool told = false;
    pthread_mutex_lock(&ctl->controlLock);
    while (s.isactive) {
      if (s.ioRequest.reqCondCreated) {
        pthread_mutex_lock(&s.ioRequest.reqLock);
        pthread_cond_signal(&s.ioRequest.reqCond);
        pthread_mutex_unlock(&s.ioRequest.reqLock);
      }
      if (!told && brix_debug_level > 1) {
        fprintf(stderr, "/debug/ - waiting on transfer thread entry %d to complete...\n", i);
        told = true;
      }
      brix_WaitSlotIdle(ctl);
    }
    pthread_mutex_unlock(&ctl->controlLock);
  }
  if (brix_debug_level > 3)
    brix_FuncTraceMessage("Exiting ", "brix_ShutdownTransferThreads", "", 0, __FILE__, __LINE__);
}

void brix_CleanupTransferThreads(transfer_t* ctl) {
  if (brix_debug_level > 3)
    brix_FuncTraceMessage("Entering ", "brix_CleanupTransferThreads", "", 0, __FILE__, __LINE__);
  for (int i = 0; i < ctl->connectListSize; i++) {
    connection_info_t& s = ctl->connectionList[i];
    bool told = false, forced = false;
    pthread_mutex_lock(&ctl->controlLock);
    while (s.isactive) {
      // The slot's connections are shut down, not closed: its thread may be
      // about to use a descriptor, and only the thread closes them, so no
      // call meets a closed (or reused) number.
      if (ctl->abortSignalled && !forced) {
        for (int fd : {s.controlSocket, s.listenSocket, s.transferSocket})
          if (fd >= 0) shutdown(fd, SHUT_RDWR);
        forced = true;
      }
      if (!told && brix_debug_level > 1) {
        fprintf(stderr, "/debug/ - waiting on thread entry %d to complete...\n", i);
        told = true;
      }
      brix_WaitSlotIdle(ctl);
    }
    pthread_mutex_unlock(&ctl->controlLock);
  }
}

double brix_GetTimestamp(void) {
  struct timeval tv;
  gettimeofday(&tv, nullptr);
  return double(tv.tv_sec) + double(tv.tv_usec) / 1000000.0;
}

int brix_GetXferActive(void) {
  if (!xfer_ctl) return 0;
  pthread_mutex_lock(&xfer_ctl->controlLock);
  int v = xfer_ctl->transfer_active;
  pthread_mutex_unlock(&xfer_ctl->controlLock);
  return v;
}

int brix_GetXferAborted(void) {
  if (!xfer_ctl) return 0;
  pthread_mutex_lock(&xfer_ctl->controlLock);
  int v = xfer_ctl->abortSignalled;
  pthread_mutex_unlock(&xfer_ctl->controlLock);
  return v;
}

void brix_SetXferAborted(const char* function, const char* file, int line) {
  if (xfer_ctl) {
    pthread_mutex_lock(&xfer_ctl->controlLock);
    xfer_ctl->abortSignalled++;
    pthread_mutex_unlock(&xfer_ctl->controlLock);
  }
  brix_Log(BRIX_MSG_ERROR, "brix_SetXferAborted called [function %s,line %d,file %s]", function, line,
           file);
}

void brix_FormatXferProgress(uint64_t moved, uint64_t total, char* buf, size_t size) {
  double m = double(moved), t = double(total);
  if (m > t) m = t;
  double mb = m / 1000000.0;
  if (t >= 1.0) snprintf(buf, size, "%.1f MB transferred (%.1f%%)", mb, m / t * 100.0);
  else snprintf(buf, size, "%.1f MB transferred ", mb);
}

void brix_DisplayXferProgress(uint64_t moved, uint64_t total) {
  if (!isatty2 || !(brix_option_flags & BRIX_OPT_SLIGHTLY_VERBOSE)) return;
  char text[96];
  brix_FormatXferProgress(moved, total, text, sizeof text);
  console_message(text, "");
}
