// The create-side reader pool: a manager walks the temporary index and cuts
// the archive into pieces (a header, a whole small file, one buffer's worth
// of a large one); reader threads write each piece straight into its place
// in a transfer buffer. Buffers fill in archive order and go to the ready
// queue when full. After a failed list write the manager also repositions
// archive and member file so the transfer resumes at a block boundary.
//
// One member is read by one reader, piece after piece; the manager moves on
// to the next entry only when every block of the current one is handed out.
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/select.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>

#include "brix_reader_pool.h"
#include "brix_ustar.h"
#include "qel_threads.h"

namespace {

const char* const fnThread = "brix_LFW_Thread";
const char* const fnMgr = "brix_LocalFileMgrThread";

pthread_mutex_t lfwLock = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t lfwCondition = PTHREAD_COND_INITIALIZER;
lfw_ctl_t* lfwThreadTable = nullptr;
int lfwThreadCount = 0;
lfw_ctl_t* lfwCompletedTasks = nullptr;
int lfwCompletionCount = 0;
int lfwActiveThreads = 0;
int lfwThreadHighWater = 0;

bool crcOn() { return (brix_option_flags & BRIX_OPT_CRC) != 0; }

void abortXfer(int line) { brix_SetXferAborted(fnMgr, __FILE__, line); }

void completeTask(lfw_ctl_t* s, bool quitting) {
  pthread_mutex_lock(&lfwLock);
  lfwCompletionCount++;
  pthread_mutex_lock(&s->threadMutex);
  s->threadState = LFW_CMD_COMPLETE;
  if (quitting) pthread_cond_signal(&s->threadCond);
  pthread_mutex_unlock(&s->threadMutex);
  s->next = lfwCompletedTasks;
  lfwCompletedTasks = s;
  if (quitting) pthread_cond_broadcast(&lfwCondition);
  else pthread_cond_signal(&lfwCondition);
  pthread_mutex_unlock(&lfwLock);
}

void createTarHeader(lfw_task_t* t) {
  unsigned char* at = t->reqBuffer->buffer + t->bufOffset;
  if (t->fileNotOpened) {
    // A member that cannot be read keeps its planned size and attributes,
    // so every later member stays where the index says.
    bif_entry_t copy = t->inxEntry;
    memset(copy.bent_prefix, 0, sizeof copy.bent_prefix);
    memset(copy.bent_name, 0, sizeof copy.bent_name);
    strcpy(copy.bent_name, "/dev/null");
    brix_BuildPosixHeader(&copy, at);
  } else {
    brix_BuildPosixHeader(&t->inxEntry, at);
  }
  t->rplyBlocks++;
  t->bufOffset += 512;
}

// Reads the rest of the piece's data from fd; T counts the member's bytes done.
int readLocalFile(int fd, const char* path, lfw_task_t* t, uint64_t Z, uint64_t* T) {
  unsigned char* buf = t->reqBuffer->buffer;
  uint64_t want = uint64_t(t->reqBlocks - t->rplyBlocks) * 512;
  uint64_t left = Z > *T ? Z - *T : 0;
  uint64_t data = std::min(want, left);
  uint64_t done = 0;
  if (t->eofHit || t->fileNotOpened) {
    if (brix_debug_level > 0)
      brix_Log(BRIX_MSG_LOGONLY, "%s: premature EOF or file not opened (%s)- zero-filling %d bytes\n", fnThread,
               path, int(data));
    memset(buf + t->bufOffset, 0, data);
    if (crcOn()) brix_ChecksumBuffer(buf + t->bufOffset, data, &t->fileCRC);
    done = data;
  }
  while (done < data) {
    fd_set rd;
    FD_ZERO(&rd);
    FD_SET(fd, &rd);
    struct timeval tv = {0, 250000};
    int s = select(fd + 1, &rd, nullptr, nullptr, &tv);
    if (s <= 0) {
      if (brix_GetXferAborted() || !brix_GetXferActive()) return -1;
      if (s == 0 || errno == EINTR) continue;
      if (brix_debug_level > 0) fprintf(stderr, "/debug/error %d on select() - exiting accept loop\n", errno);
      return -1;
    }
    ssize_t n = t->gpfsFile ? gpfs_read(fd, buf + t->bufOffset + done, data - done)
                            : read(fd, buf + t->bufOffset + done, data - done);
    if (n < 0) {
      if (errno == EAGAIN || errno == EINTR) continue;
      t->readError = 1;
      brix_Log(BRIX_MSG_ERROR, "I/O error %d on local file %s while trying to read %d bytes\n", errno, path,
               int(data - done));
      return -1;
    }
    if (n == 0) {
      t->eofHit = 1;
      brix_Log(BRIX_MSG_LOGONLY, "%s: premature EOF reached on %s - %d bytes left\n", fnThread, path,
               int(data - done));
      if (brix_debug_level > 1)
        fprintf(stderr, "/debug/%s: premature EOF reached on %s - %d bytes left\n", fnThread, path, int(data - done));
      memset(buf + t->bufOffset + done, 0, data - done);
      if (crcOn()) brix_ChecksumBuffer(buf + t->bufOffset + done, data - done, &t->fileCRC);
      done = data;
      break;
    }
    if (crcOn()) brix_ChecksumBuffer(buf + t->bufOffset + done, size_t(n), &t->fileCRC);
    done += uint64_t(n);
  }
  *T += data;
  memset(buf + t->bufOffset + data, 0, want - data);
  t->bufOffset += int(want);
  t->rplyBlocks = t->reqBlocks;
  return 0;
}

// Moves fd past K data blocks of a member being written again after a
// failed list write; the CRC is rebuilt from the data before that point.
int positionLocalFile(int fd, const char* path, lfw_task_t* t, int64_t K, uint64_t Z) {
  brix_Log(BRIX_MSG_LOGONLY,
           "EIO_RECOVERY (%s) index ordinal: %ld Seek Offset (blocks): %lld Seek Offset (bytes): %lld\n", path,
           t->indexEntryNumber, (long long)K, (long long)(K * 512));
  uint64_t target = uint64_t(K) * 512;
  if (target > Z) {
    brix_SetExitCode(72);
    brix_Log(BRIX_MSG_WARNING, "%s: File %s was truncated to %lld bytes- seeking to EOF", fnThread, path,
             (long long)Z);
    t->eofHit = 1;
    if (lseek(fd, off_t(Z), SEEK_SET) < 0) {
      brix_Log(BRIX_MSG_ERROR, "%s: Error %d positioning member file %s to end of file (pos=%lld)", fnThread, errno,
               path, (long long)Z);
      brix_SetExitCode(72);
      return -1;
    }
    return 0;
  }
  if (crcOn()) {
    console_message("Error recovery: Regenerating CRC for member file ", path);
    brix_ChecksumInit(&t->fileCRC);
    constexpr size_t chunk = 4194304;
    unsigned char* b = static_cast<unsigned char*>(malloc(chunk));
    if (!b) {
      brix_SetExitCode(78);
      return -1;
    }
    if (lseek(fd, 0, SEEK_SET) < 0) {
      free(b);
      brix_SetExitCode(72);
      return -1;
    }
    uint64_t got = 0;
    while (got < target) {
      size_t take = size_t(std::min<uint64_t>(chunk, target - got));
      ssize_t n = brix_BlockRead(fd, path, BRIX_LOCAL_FILE, take, b);
      if (n <= 0) {
        free(b);
        brix_SetExitCode(72);
        console_message("", "");
        return -1;
      }
      brix_ChecksumBuffer(b, size_t(n), &t->fileCRC);
      got += uint64_t(n);
    }
    free(b);
    console_message("", "");
    return 0;
  }
  if (lseek(fd, off_t(target), SEEK_SET) < 0) {
    brix_Log(BRIX_MSG_ERROR, "%s: Error %d positioning member file %s to offset %ld", fnThread, errno, path,
             long(target));
    brix_SetExitCode(72);
    return -1;
  }
  return 0;
}

void* lfwThread(void* arg) {
  auto* s = static_cast<lfw_ctl_t*>(arg);
  lfw_task_t* t = &s->task;
  int F = -1;
  uint64_t T = 0;
  char path[4200];
  if (brix_debug_level > 1) fprintf(stderr, "/debug/LFW thread %d starting\n", s->tableInx);
  for (;;) {
    pthread_mutex_lock(&s->threadMutex);
    // Only a control request wakes an assigned reader; the request of its
    // last piece is still there and must not run twice.
    while (!(s->threadState == LFW_ACTIVE ||
             (s->threadState == LFW_ASSIGNED && (t->request == LFW_QUIT || t->request == LFW_GO_IDLE))))
      pthread_cond_wait(&s->threadCond, &s->threadMutex);
    int request = t->request;
    pthread_mutex_unlock(&s->threadMutex);
    t->rplyBlocks = 0;
    t->response = 0;
    t->bufOffset = t->reqOffset;
    if (brix_debug_level > 3) fprintf(stderr, "/debug/LFW thread %d found new task ->%d\n", s->tableInx, request);
    switch (request) {
      case LFW_QUIT:
        if (F >= 0) close(F);
        if (brix_debug_level > 0) fprintf(stderr, "/debug/ LFW thread %d exiting\n", s->tableInx);
        completeTask(s, true);
        return nullptr;
      case LFW_GO_IDLE:
        if (F >= 0) close(F);
        F = -1;
        break;
      case LFW_TAR_HDR:
        t->fileNotOpened = 0;
        t->eofHit = 0;
        createTarHeader(t);
        break;
      case LFW_ZERO_BLK:
        memset(t->reqBuffer->buffer + t->bufOffset, 0, 512);
        t->rplyBlocks++;
        t->bufOffset += 512;
        break;
      case LFW_READ_FILE:
      case LFW_READ_FIRST: {
        if (F >= 0) {
          brix_Log(BRIX_MSG_ERROR, "%s: Internal state error at line %d\n", fnThread, __LINE__);
          t->response = -1;
          break;
        }
        brix_FormIxEntryPathname(&t->inxEntry, path);
        uint64_t Z = t->inxEntry.bent_fsize;
        T = 0;
        t->fileSizeChanged = 0;
        F = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        if (F < 0) {
          t->fileNotOpened = 1;
          t->eofHit = 1;
          if (brix_debug_level > 0) {
            if (request == LFW_READ_FILE)
              fprintf(stderr, "Index entry %ld: Error %d opening local file %s\n", t->indexEntryNumber, errno, path);
            else
              fprintf(stderr, "Error %d opening local file %s\n", errno, path);
          }
        } else {
          t->fileNotOpened = 0;
          struct stat st;
          if (fstat(F, &st) != 0) {
            int e = errno;
            brix_Log(BRIX_MSG_ERROR, "%s: STAT_SYSCALL error %d at line %d [file %s]\n", fnThread, e, __LINE__, path);
            if (request == LFW_READ_FILE) {
              t->response = -1;
              brix_SetExitCode(71);
            } else {
              t->response = -e;
            }
            close(F);
            F = -1;
            break;
          }
          if (uint64_t(st.st_size) != Z) {
            if (request == LFW_READ_FILE) {
              brix_Log(BRIX_MSG_ERROR, "%s: (line %d,lfwthread %d) file %s:size changed from %lu to %lu\n", fnThread,
                       __LINE__, s->tableInx, path, (unsigned long)Z, (unsigned long)st.st_size);
            } else {
              brix_Log(BRIX_MSG_ERROR, "%s:  (line %d) file size changed for %s\n", fnThread, __LINE__, path);
              brix_Log(BRIX_MSG_ERROR, "Index size:        %lu\n", (unsigned long)Z);
              brix_Log(BRIX_MSG_ERROR, "Current file size: %lu\n", (unsigned long)st.st_size);
            }
            brix_SetExitCode(72);
            t->fileSizeChanged = 1;
          }
          t->eofHit = 0;
          t->gpfsFile = check_gpfs_file(F);
          if (t->blocksToSkip > 0) {
            if (positionLocalFile(F, path, t, t->blocksToSkip - 1, uint64_t(st.st_size)) != 0) {
              brix_Log(BRIX_MSG_ERROR, "%s: error repositioning local file %s to block %lld\n", fnThread, path,
                       (long long)t->blocksToSkip);
              t->response = -1;
              close(F);
              F = -1;
              break;
            }
            T = uint64_t(t->blocksToSkip - 1) * 512;
          }
        }
        if (t->blocksToSkip == 0) createTarHeader(t);
        t->response = readLocalFile(F, path, t, Z, &T);
        if (request == LFW_READ_FILE && F >= 0) {
          close(F);
          F = -1;
        }
        t->blocksToSkip = 0;
        break;
      }
      case LFW_READ_CONT:
      case LFW_READ_LAST:
        if (F < 0 && !t->fileNotOpened) {
          brix_Log(BRIX_MSG_ERROR, "%s: Internal state error at line %d\n", fnThread, __LINE__);
          t->response = -1;
          break;
        }
        brix_FormIxEntryPathname(&t->inxEntry, path);
        t->response = readLocalFile(F, path, t, t->inxEntry.bent_fsize, &T);
        if (request == LFW_READ_LAST && F >= 0) {
          close(F);
          F = -1;
        }
        break;
      default:
        brix_Log(BRIX_MSG_ERROR, "%s: Internal error - unknown request (%d) at line %d\n", fnThread, request,
                 __LINE__);
        t->response = -1;
        break;
    }
    if (brix_debug_level > 3)
      fprintf(stderr, "/debug/ LFW thread %d Request complete. Req: %d Resp: %d Blks Req/Rply=%d %d\n", s->tableInx,
              request, t->response, t->reqBlocks, t->rplyBlocks);
    completeTask(s, false);
  }
}

void sendRequest(lfw_ctl_t* s, int request, int state) {
  pthread_mutex_lock(&s->threadMutex);
  s->task.request = request;
  s->threadState = state;
  pthread_cond_signal(&s->threadCond);
  pthread_mutex_unlock(&s->threadMutex);
}

void quiesceAll() {
  if (brix_debug_level > 1) fprintf(stderr, "/debug/ waiting for all LFW threads to complete\n");
  for (int i = 0; i < lfwThreadCount; i++) {
    lfw_ctl_t* s = &lfwThreadTable[i];
    bool sent = false;
    for (;;) {
      pthread_mutex_lock(&s->threadMutex);
      int st = s->threadState;
      if (st == LFW_WAITING) {
        pthread_mutex_unlock(&s->threadMutex);
        break;
      }
      if (st == LFW_CMD_COMPLETE && sent) {
        s->threadState = LFW_WAITING;
        pthread_mutex_unlock(&s->threadMutex);
        break;
      }
      if ((st == LFW_ASSIGNED || st == LFW_CMD_COMPLETE) && !sent) {
        s->task.request = LFW_GO_IDLE;
        s->threadState = LFW_ASSIGNED;
        sent = true;
      }
      if (s->threadState == LFW_ASSIGNED) pthread_cond_signal(&s->threadCond);
      pthread_mutex_unlock(&s->threadMutex);
      usleep(10000);
    }
  }
  pthread_mutex_lock(&lfwLock);
  for (int i = 0; i < lfwThreadCount; i++) lfwThreadTable[i].next = nullptr;
  lfwActiveThreads = 0;
  lfwCompletedTasks = nullptr;
  lfwCompletionCount = 0;
  pthread_mutex_unlock(&lfwLock);
}

// Moves a filled buffer to the ready queue and wakes the movers waiting for it.
void fillQueueToReadyQueue(transfer_t* X, io_buffer_t* b) {
  b->state = IOB_STATE_FILLED;
  b->dataLength = uint32_t(b->bufBlocksFilled) * 512;
  if (brix_debug_level > 1) {
    fprintf(stderr, "/debug/%s Moving buffer @%p to Ready Queue. Buffer blocks. %d Allocated: %d Filled: %d \n", fnMgr,
            static_cast<void*>(b), b->bufSizeBlocks, b->bufBlocksAllocated, b->bufBlocksFilled);
    fprintf(stderr, "/debug/   DataLength: %d FileOffset: %lu\n", int(b->dataLength), (unsigned long)b->fileOffset);
  }
  pthread_mutex_lock(&X->bufQueueLock);
  io_buffer_t** at = &X->bufFillQueue;
  io_buffer_t* prev = nullptr;
  while (*at && *at != b) {
    prev = *at;
    at = &(*at)->next;
  }
  if (*at) {
    *at = b->next;
    if (X->bufFillQueueTail == b) X->bufFillQueueTail = prev;
  } else {
    brix_Log(BRIX_MSG_ERROR, "Error: Fill Buffer @%p (local addr %ld, block=%d) not in queue\n", static_cast<void*>(b),
             long(b->fileOffset), int(b->fileOffset / 512));
  }
  b->next = nullptr;
  brix_InsertReadyQueue(X, b);
  uint64_t end = b->fileOffset + b->dataLength;
  io_bufreq_t** r = &X->requestQueue;
  while (*r && (*r)->dataAddress < end) {
    io_bufreq_t* q = *r;
    if (q->dataAddress >= b->fileOffset) {
      pthread_mutex_lock(&q->reqLock);
      *r = q->next;
      q->next = nullptr;
      pthread_cond_signal(&q->reqCond);
      pthread_mutex_unlock(&q->reqLock);
    } else {
      r = &q->next;
    }
  }
  pthread_cond_broadcast(&X->bufQueueCondition);
  pthread_mutex_unlock(&X->bufQueueLock);
}

// The entry holding archive address A; the index is left at the entry after it.
int getIndexEntryForOffset(int fd, uint64_t A, int64_t* ordinal, bif_entry_t* out) {
  static const char* fn = "getIndexEntryForOffset";
  size_t bufSize = 0, capacity = 0;
  brix_GetIndexBufSize(&bufSize, &capacity);
  int64_t step = std::clamp<int64_t>(int64_t(capacity), 1, 200);
  if (brix_debug_level > 0)
    fprintf(stderr, "%s: [error recovery] Searching for index entry for offset=%lu\n", fn, (unsigned long)A);
  // The walk may have passed the last entry (the closing block).
  int64_t ord = std::clamp<int64_t>(*ordinal, 0, std::max<int64_t>(int64_t(brix_index_entries) - 1, 0));
  bif_entry_t e;
  for (;;) {
    if (brix_IndexReadRandomEntry(fd, BRIX_LOCAL_FILE, uint64_t(ord), &e) != 0) {
      brix_Log(BRIX_MSG_ERROR, "%s: fatal error reading index entry ordinal %ld\n", fn, long(ord));
      brix_SetExitCode(72);
      return -1;
    }
    if (e.bent_offset * 512 <= A || ord == 0) break;
    ord = std::max<int64_t>(ord - step, 0);
  }
  if (e.bent_offset * 512 > A) {
    brix_Log(BRIX_MSG_ERROR, "%s: Internal error searching for index entry. Current index ordinal=%ld", fn, long(ord));
    brix_SetExitCode(72);
    return -1;
  }
  if (brix_IndexFileSkipTo(fd, BRIX_LOCAL_FILE, uint64_t(ord + 1)) != 0) return -1;
  while (A >= (e.bent_offset + e.bent_blocks) * 512) {
    bif_entry_t* next = nullptr;
    int end = 0;
    if (brix_IndexFileRead(fd, BRIX_LOCAL_FILE, int(step), &next, &end) != 0 || end) {
      brix_Log(BRIX_MSG_ERROR,
               end ? "%s: EOF reached while searching for index entry for offset=%lu. Current index ordinal=%ld"
                   : "%s: I/O error searching for index entry for offset=%lu. Current index ordinal=%ld",
               fn, (unsigned long)A, long(ord));
      brix_SetExitCode(72);
      return -1;
    }
    ord++;
    e = *next;
  }
  *ordinal = ord;
  *out = e;
  return 0;
}

}  // namespace

int brix_InitThreadPool(void) {
  if (brix_debug_level > 3) brix_FuncTraceMessage("Entering ", "brix_InitThreadPool", "", 0, __FILE__, __LINE__);
  lfwThreadHighWater = 0;
  lfwCompletedTasks = nullptr;
  lfwCompletionCount = 0;
  lfwActiveThreads = 0;
  int count = brix_max_threads > 0 ? brix_max_threads : 1;
  lfwThreadTable = static_cast<lfw_ctl_t*>(BRIX_CALLOC(size_t(count), sizeof(lfw_ctl_t)));
  if (!lfwThreadTable) return -1;
  lfwThreadCount = 0;
  pthread_attr_t attr;
  if (pthread_attr_init(&attr) != 0 ||
      pthread_attr_setstacksize(&attr, size_t(std::max<long>(brix_thread_stacksize, 65536))) != 0) {
    brix_Log(BRIX_MSG_ERROR, "[brix_InitThreadPool] Thread entry %d - pthread_mutex_init/pthread_cond_init error %d at line %d\n",
             0, errno, __LINE__);
    brix_SetExitCode(71);
    return -1;
  }
  int result = 0;
  for (int i = 0; i < count; i++) {
    lfw_ctl_t* s = &lfwThreadTable[i];
    s->tableInx = i;
    s->threadState = LFW_WAITING;
    int rc = pthread_mutex_init(&s->threadMutex, nullptr);
    if (rc == 0) {
      rc = pthread_cond_init(&s->threadCond, nullptr);
      if (rc != 0) pthread_mutex_destroy(&s->threadMutex);
    }
    if (rc != 0) {
      brix_Log(BRIX_MSG_ERROR, "[brix_InitThreadPool] Thread entry %d - pthread_mutex_init/pthread_cond_init error %d at line %d\n",
               i, rc, __LINE__);
      brix_SetExitCode(71);
      result = -1;
      break;
    }
    if (ozugw_ThreadCreate(&s->threadID, &attr, lfwThread, s) != 0) {
      brix_Log(BRIX_MSG_ERROR, "***Errno=%d - failed to create thread[%d]at line %d\n", errno, i, __LINE__);
      pthread_cond_destroy(&s->threadCond);
      pthread_mutex_destroy(&s->threadMutex);
      result = -1;
      break;
    }
    lfwThreadCount = i + 1;
    sched_yield();
  }
  pthread_attr_destroy(&attr);
  return result;
}

void brix_EndThreadPool(void) {
  for (int i = 0; i < lfwThreadCount; i++) sendRequest(&lfwThreadTable[i], LFW_QUIT, LFW_ASSIGNED);
  for (int i = 0; i < lfwThreadCount; i++) {
    pthread_join(lfwThreadTable[i].threadID, nullptr);
    pthread_cond_destroy(&lfwThreadTable[i].threadCond);
    pthread_mutex_destroy(&lfwThreadTable[i].threadMutex);
  }
  free(lfwThreadTable);
  lfwThreadTable = nullptr;
  lfwThreadCount = 0;
}

void brix_LfwBroadcastCondition(void) {
  pthread_mutex_lock(&lfwLock);
  pthread_cond_broadcast(&lfwCondition);
  pthread_mutex_unlock(&lfwLock);
}

void brix_LfwSignalCondition(void) {
  pthread_mutex_lock(&lfwLock);
  pthread_cond_signal(&lfwCondition);
  pthread_mutex_unlock(&lfwLock);
}

int brix_LfwThreadHighWater(void) { return lfwThreadHighWater; }

void* brix_LocalFileMgrThread(void* arg) {
  auto* X = static_cast<transfer_t*>(arg);
  if (brix_debug_level > 3) brix_FuncTraceMessage("Entering ", fnMgr, "", 0, __FILE__, __LINE__);
  brix_SetProgramPhase(BTP_CREATE_WRITEARCHIVE);
  // Normally the caller's record already: a write would race with the
  // threads that read it.
  if (xfer_ctl != X) xfer_ctl = X;
  uint64_t N = 0;
  int64_t resumeBlocks = 0;
  int64_t ordinal = -1;
  int state = IX_READ_ENTRY;
  io_buffer_t* fill = nullptr;
  lfw_ctl_t* R = nullptr;
  bif_entry_t cur;
  memset(&cur, 0, sizeof cur);
  uint64_t bytesHanded = 0;
  pthread_mutex_lock(&lfwLock);
  lfwCompletionCount = lfwActiveThreads = 0;
  pthread_mutex_unlock(&lfwLock);
  if (brix_IndexReadInit() != 0) {
    brix_Log(BRIX_MSG_ERROR, "Error %d reading index entry %ld - aborting\n", -1, 0L);
    abortXfer(__LINE__);
  }
  while (!brix_GetXferAborted()) {
    bool work = false;
    if (brix_shutdown_signalled) {
      abortXfer(__LINE__);
      break;
    }
    pthread_mutex_lock(&X->controlLock);
    if (X->errorResyncFlag) {
      if (brix_option_flags & BRIX_OPT_STATUS_FIFO) brix_StatusMsg(1, "ERROR_RECOVERY");
      pthread_mutex_unlock(&X->controlLock);
      brix_Log(BRIX_MSG_LOGONLY, "%s: Error recovery initiated", fnMgr);
      brix_Log(BRIX_MSG_LOGONLY, "%s: signalling any mover threads on request queue", fnMgr);
      pthread_mutex_lock(&X->bufQueueLock);
      X->requestQueue = nullptr;
      pthread_mutex_unlock(&X->bufQueueLock);
      brix_ReqQueueSignalAll(X->connectionList, X->connectListSize);
      brix_Log(BRIX_MSG_LOGONLY, "%s: shutting down transfer threads", fnMgr);
      brix_ShutdownTransferThreads(X);
      brix_Log(BRIX_MSG_LOGONLY, "%s: quiescing local file threads", fnMgr);
      quiesceAll();
      brix_Log(BRIX_MSG_LOGONLY, "%s: moving buffers to empty queue", fnMgr);
      brix_MoveBuffersToEmptyQueue(X);
      fill = nullptr;
      R = nullptr;
      uint64_t A = X->srcOffset + X->totalBytesMoved;
      N = A;
      bif_entry_t found;
      int64_t ord = ordinal;
      if (getIndexEntryForOffset(brix_tmpIndexFD, A, &ord, &found) != 0) {
        X->abortSignalled = 1;
      } else {
        char path[4200];
        brix_FormIxEntryPathname(&found, path);
        brix_Log(BRIX_MSG_LOGONLY, "%s: resyncing at index entry %ld (%s)", fnMgr, long(ord), path);
        uint64_t start = found.bent_offset * 512;
        if (A < start || A >= start + found.bent_blocks * 512) {
          brix_Log(BRIX_MSG_ERROR, "%s: Internal Error at line %d - for recovery offset of %lu, index entry %ld was chosen.",
                   fnMgr, __LINE__, (unsigned long)A, long(ord));
          X->abortSignalled = 1;
        } else {
          resumeBlocks = int64_t((A - start) / 512);
          uint64_t sinkAt = X->sinkOffset + X->totalBytesMoved;
          brix_Log(BRIX_MSG_LOGONLY, "Repositioning sink file to address %lu", (unsigned long)sinkAt);
          if (brix_debug_level > 1) fprintf(stderr, "Repositioning sink file to address %lu\n", (unsigned long)sinkAt);
          if (brix_PositionFile(X->archive_fd, BRIX_QUOR_FILE, sinkAt, SEEK_SET, 0, nullptr) != 0) {
            X->abortSignalled = 1;
            brix_Log(BRIX_MSG_LOGONLY, "%s: error(s) repositiong sink file - setting <abort>\n", fnMgr);
          }
          ordinal = ord;
          cur = found;
          state = IX_ASSIGN_TASK;
        }
      }
      brix_Log(BRIX_MSG_LOGONLY, "%s: error recovery complete. abort flag=%d", fnMgr, int(X->abortSignalled));
      pthread_mutex_lock(&X->controlLock);
      X->errorResyncFlag = 0;
      pthread_cond_broadcast(&X->localFileCond);
      pthread_mutex_unlock(&X->controlLock);
      if (brix_GetXferAborted()) break;
      continue;
    }
    pthread_mutex_unlock(&X->controlLock);

    if (state == IX_READ_ENTRY) {
      ordinal++;
      if (brix_debug_level > 1) fprintf(stderr, "/debug/%s - reading next Index Entry\n", fnMgr);
      bif_entry_t* e = nullptr;
      int end = 0;
      if (brix_IndexFileRead(brix_tmpIndexFD, BRIX_LOCAL_FILE, 0, &e, &end) != 0) {
        brix_Log(BRIX_MSG_ERROR, "Error %d reading index entry %ld - aborting\n", -1, long(ordinal));
        abortXfer(__LINE__);
        break;
      }
      work = true;
      if (end) {
        if (brix_debug_level > 0)
          fprintf(stderr, "/debug/%s - EOF reached on Index File - %ld entries\n", fnMgr, long(ordinal));
        memset(&cur, 0, sizeof cur);
        cur.bent_blocks = 1;
        cur.bent_type = BTO_INDEXEOF;
        state = IX_ASSIGN_TASK;
      } else {
        cur = *e;
        state = IX_ASSIGN_TASK;
      }
    }
    if (state == IX_ASSIGN_TASK) {
      pthread_mutex_lock(&lfwLock);
      if (lfwActiveThreads < lfwThreadCount) {
        lfw_ctl_t* free = nullptr;
        for (int i = 0; i < lfwThreadCount && !free; i++) {
          pthread_mutex_lock(&lfwThreadTable[i].threadMutex);
          if (lfwThreadTable[i].threadState == LFW_WAITING) {
            free = &lfwThreadTable[i];
            free->threadState = LFW_ASSIGNED;
            lfw_task_t& t = free->task;
            t.request = LFW_IDLE;
            t.indexEntryNumber = long(ordinal);
            t.inxEntry = cur;
            t.totalBlocks = int64_t(cur.bent_blocks);
            t.blocksAssigned = 0;
            t.blocksToSkip = resumeBlocks;
            t.reqBuffer = fill;
            t.fileNotOpened = 0;
            t.eofHit = 0;
            resumeBlocks = 0;
          }
          pthread_mutex_unlock(&lfwThreadTable[i].threadMutex);
        }
        if (!free) {
          brix_Log(BRIX_MSG_ERROR, "%s: Internal Error at line %d - active threads=%d,max=%d but no waiting thread found\n",
                   fnMgr, __LINE__, lfwActiveThreads, lfwThreadCount);
          pthread_mutex_unlock(&lfwLock);
          abortXfer(__LINE__);
          break;
        }
        lfwActiveThreads++;
        lfwThreadHighWater = std::max(lfwThreadHighWater, free->tableInx);
        R = free;
        state = IX_ASSIGN_BUFFERS;
        work = true;
      }
      pthread_mutex_unlock(&lfwLock);
    }
    if (state == IX_ASSIGN_BUFFERS && R) {
      pthread_mutex_lock(&R->threadMutex);
      bool ready = R->threadState == LFW_ASSIGNED;
      pthread_mutex_unlock(&R->threadMutex);
      if (ready && !fill) {
        pthread_mutex_lock(&X->bufQueueLock);
        fill = X->bufEmptyQueue;
        if (fill) {
          X->bufEmptyQueue = fill->next;
          fill->next = nullptr;
          if (X->bufFillQueueTail) X->bufFillQueueTail->next = fill;
          else X->bufFillQueue = fill;
          X->bufFillQueueTail = fill;
          fill->bufBlocksAllocated = fill->bufBlocksFilled = fill->ioCount = 0;
          fill->dataRemaining = fill->dataMoved = fill->dataLength = 0;
          fill->fileOffset = N;
          fill->iodOffset = 0;
          fill->state = IOB_STATE_READING;
        }
        pthread_mutex_unlock(&X->bufQueueLock);
      }
      if (ready && fill) {
        lfw_task_t& t = R->task;
        int64_t avail = fill->bufSizeBlocks - fill->bufBlocksAllocated;
        int64_t needed = t.totalBlocks - t.blocksToSkip - t.blocksAssigned;
        t.reqBlocks = int(std::min(avail, needed));
        int request = LFW_IDLE;
        if (t.blocksAssigned > 0) {
          request = t.blocksAssigned + t.reqBlocks >= t.totalBlocks ? LFW_READ_LAST : LFW_READ_CONT;
        } else {
          switch (cur.bent_type) {
            case BTO_INDEXEOF: request = LFW_ZERO_BLK; break;
            case BTO_SYMLINK:
            case BTO_DIRECTORY: request = LFW_TAR_HDR; break;
            case BTO_FILE:
            case BTO_HARDLINK:
              request = t.reqBlocks == t.totalBlocks - t.blocksToSkip ? LFW_READ_FILE : LFW_READ_FIRST;
              if (crcOn() && t.blocksToSkip == 0) brix_ChecksumInit(&t.fileCRC);
              break;
            default: request = LFW_TAR_HDR; break;
          }
        }
        t.reqBuffer = fill;
        t.reqOffset = fill->bufBlocksAllocated * 512;
        t.blocksAssigned += t.blocksToSkip + t.reqBlocks;
        if (t.blocksAssigned >= t.totalBlocks) {
          bool eoi = cur.bent_type == BTO_INDEXEOF;
          state = eoi ? IX_EOF_REACHED : IX_READ_ENTRY;
          if (cur.bent_type == BTO_FILE || cur.bent_type == BTO_HARDLINK) {
            bytesHanded += cur.bent_fsize;
            if (brix_option_flags & BRIX_OPT_STATUS_FIFO)
              brix_StatusMsg(0, "Bytes: %lu  Index Entries: %ld", (unsigned long)bytesHanded, long(ordinal + 1));
          }
          if (!eoi && (brix_option_flags & BRIX_OPT_VERBOSE)) {
            console_message("", "");
            char path[4200];
            brix_FormIxEntryPathname(&cur, path);
            fprintf(stdout, "%s: a   %s%s\n", "BRIX", path, cur.bent_type == BTO_DIRECTORY ? "/" : "");
            fflush(stdout);
          }
        }
        N += uint64_t(t.reqBlocks) * 512;
        fill->bufBlocksAllocated += t.reqBlocks;
        if (fill->bufBlocksAllocated >= fill->bufSizeBlocks) {
          if (brix_debug_level > 2)
            fprintf(stderr, "/debug/Fill Buffer @%p full [size=%d,now allocated=%d]\n", static_cast<void*>(fill),
                    fill->bufSizeBlocks, fill->bufBlocksAllocated);
          fill = nullptr;
        }
        sendRequest(R, request, LFW_ACTIVE);
        work = true;
      }
    }
    if (state == IX_EOF_REACHED) {
      pthread_mutex_lock(&lfwLock);
      if (lfwCompletionCount == 0 && lfwActiveThreads > 0) {
        pthread_cond_wait(&lfwCondition, &lfwLock);
        pthread_mutex_unlock(&lfwLock);
        if (brix_GetXferAborted() || !brix_GetXferActive()) break;
      } else if (lfwCompletionCount == 0 && lfwActiveThreads == 0) {
        pthread_mutex_unlock(&lfwLock);
        if (brix_debug_level > 0) fprintf(stderr, "/debug/EOF on index file and all LFW threads complete.\n");
        while (X->bufFillQueue && X->bufFillQueue->bufBlocksFilled > 0) {
          if (brix_debug_level > 0)
            fprintf(stderr, "/debug/enqueuing last Fill Buffer (blocks=%d)\n", X->bufFillQueue->bufBlocksFilled);
          fillQueueToReadyQueue(X, X->bufFillQueue);
        }
        fill = nullptr;
        bool leave = false;
        pthread_mutex_lock(&X->bufQueueLock);
        while (brix_GetXferActive()) {
          pthread_cond_wait(&X->bufQueueCondition, &X->bufQueueLock);
          if (X->errorResyncFlag) break;
          if (brix_GetXferAborted()) {
            leave = true;
            break;
          }
        }
        if (!brix_GetXferActive()) leave = true;
        pthread_mutex_unlock(&X->bufQueueLock);
        if (leave) break;
        continue;
      } else {
        pthread_mutex_unlock(&lfwLock);
      }
    }

    // Collect completions.
    pthread_mutex_lock(&lfwLock);
    int active = lfwActiveThreads;
    pthread_mutex_unlock(&lfwLock);
    if (active == 0) {
      if (state == IX_ASSIGN_BUFFERS && !work) {
        pthread_mutex_lock(&X->bufQueueLock);
        if (!X->bufEmptyQueue && !X->errorResyncFlag && brix_GetXferActive() && !brix_GetXferAborted()) {
          struct timespec ts;
          clock_gettime(CLOCK_REALTIME, &ts);
          ts.tv_nsec += 50000000;
          if (ts.tv_nsec >= 1000000000) {
            ts.tv_sec++;
            ts.tv_nsec -= 1000000000;
          }
          pthread_cond_timedwait(&X->bufQueueCondition, &X->bufQueueLock, &ts);
        }
        pthread_mutex_unlock(&X->bufQueueLock);
        if (!brix_GetXferActive()) break;
      }
      continue;
    }
    for (;;) {
      pthread_mutex_lock(&lfwLock);
      lfw_ctl_t* Q = lfwCompletedTasks;
      if (Q) {
        lfwCompletedTasks = Q->next;
        Q->next = nullptr;
        lfwCompletionCount--;
      }
      pthread_mutex_unlock(&lfwLock);
      if (!Q) break;
      work = true;
      lfw_task_t& t = Q->task;
      io_buffer_t* B = t.reqBuffer;
      if (brix_debug_level > 1)
        fprintf(stderr, "/debug/Thread %d completed task. Result=%d blocks=%d of %d\n", Q->tableInx, t.response,
                t.rplyBlocks, t.reqBlocks);
      if (t.response != 0) {
        char path[4200];
        brix_FormIxEntryPathname(&t.inxEntry, path);
        brix_Log(BRIX_MSG_ERROR, "Detected task error return (%d) for LFW thread %d file %s\n", t.response,
                 Q->tableInx, path);
        abortXfer(__LINE__);
      }
      pthread_mutex_lock(&Q->threadMutex);
      if (t.blocksAssigned >= t.totalBlocks) {
        int type = t.inxEntry.bent_type;
        if (type == BTO_FILE || type == BTO_HARDLINK || type == BTO_SYMLINK) {
          if (t.fileNotOpened) {
            char path[4200];
            brix_FormIxEntryPathname(&t.inxEntry, path);
            brix_Log(BRIX_MSG_WARNING,
                     "Index entry %ld, Local file %s was missing or inaccessible and could not be copied to the archive\n",
                     t.indexEntryNumber, path);
            brix_SetMissingMemberFile(t.indexEntryNumber);
            brix_SetMemberFileXferSuccess(t.indexEntryNumber, 0);
            brix_SetExitCode(72);
          } else {
            brix_SetMemberFileXferSuccess(t.indexEntryNumber, 1);
          }
          if ((type == BTO_FILE || type == BTO_HARDLINK) && crcOn()) {
            brix_ChecksumFinalize(&t.fileCRC);
            brix_SetMemberFileXferCRC(t.indexEntryNumber, t.fileCRC);
          }
        } else if (type != BTO_INDEXEOF) {
          brix_SetMemberFileXferSuccess(t.indexEntryNumber, 1);
        }
        Q->threadState = LFW_WAITING;
        if (R == Q) R = nullptr;
        pthread_mutex_unlock(&Q->threadMutex);
        pthread_mutex_lock(&lfwLock);
        lfwActiveThreads--;
        pthread_mutex_unlock(&lfwLock);
      } else {
        Q->threadState = LFW_ASSIGNED;
        pthread_mutex_unlock(&Q->threadMutex);
      }
      if (B) {
        B->bufBlocksFilled += t.rplyBlocks;
        if (B->bufBlocksFilled > B->bufSizeBlocks) {
          brix_Log(BRIX_MSG_ERROR, "buffer @%p overflowed. Size=%d Allocated=%d Filled=%d\n", static_cast<void*>(B),
                   B->bufSizeBlocks, B->bufBlocksAllocated, B->bufBlocksFilled);
          abortXfer(__LINE__);
        } else if (B->bufBlocksFilled == B->bufSizeBlocks ||
                   B->fileOffset + uint64_t(B->bufBlocksFilled) * 512 >= X->transferLength) {
          fillQueueToReadyQueue(X, B);
          if (fill == B) fill = nullptr;
        }
      }
    }
    if (brix_GetXferAborted()) break;
    if (!work) {
      pthread_mutex_lock(&lfwLock);
      if (lfwCompletionCount == 0) {
        struct timespec ts;
        clock_gettime(CLOCK_REALTIME, &ts);
        ts.tv_nsec += 10000000;
        if (ts.tv_nsec >= 1000000000) {
          ts.tv_sec++;
          ts.tv_nsec -= 1000000000;
        }
        pthread_cond_timedwait(&lfwCondition, &lfwLock, &ts);
      }
      pthread_mutex_unlock(&lfwLock);
    }
  }
  brix_ReqQueueSignalAll(X->connectionList, X->connectListSize);
  pthread_mutex_lock(&X->bufQueueLock);
  pthread_cond_broadcast(&X->bufQueueCondition);
  pthread_mutex_unlock(&X->bufQueueLock);
  quiesceAll();
  if (brix_debug_level > 0) fprintf(stderr, "/debug/brix_LocalFileMgrThread exiting\n");
  return nullptr;
}
