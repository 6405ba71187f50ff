// Remote archives over lfx: reading a byte range for extract and verify, and
// writing a whole new archive from the buffers the create-side reader pool
// fills, handed to the send in archive order.
#include <errno.h>
#include <sched.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>

#include <new>

#include "brix_index.h"
#include "brix_lfx.h"
#include "brix_reader_pool.h"
#include "qel_threads.h"
#include "quor_api.h"
#include "quor_convert.h"

int brix_CopyFromRemoteArchive(int ArchiveFd, uint64_t StartAddr, uint64_t Length, io_buffer_callback_t Callback,
                               double* XferTime) {
  double start = brix_GetTimestamp();
  transfer_t* X = new (std::nothrow) transfer_t();
  if (!X) {
    brix_MallocError("brix_CopyFromRemoteArchive", "new", sizeof(transfer_t), __FILE__, __LINE__);
    return -1;
  }
  transfer_t* outer = xfer_ctl;
  xfer_ctl = X;
  int rc = brix_LfxReceiveFile(RMTIO_CALLBACK, X, -1, nullptr, ArchiveFd, brix_archive, StartAddr, StartAddr, Length,
                               Callback);
  bool abortedXfer = X->abortSignalled != 0;
  if (XferTime) *XferTime = brix_GetTimestamp() - start;
  brix_LfxReleaseRecord(X);
  delete X;
  xfer_ctl = outer;
  return rc < 0 || abortedXfer ? -1 : 0;
}

int RemoteDataCallback(io_buffer_t** RetBuffer) {
  *RetBuffer = nullptr;
  transfer_t* X = xfer_ctl;
  if (!X) return -1;
  lfx_file_info_t& F = X->lfxFileInfo;
  io_bufreq_t& R = F.lfxBufRequest;
  for (;;) {
    pthread_mutex_lock(&X->bufQueueLock);
    io_buffer_t* h = X->bufReadyQueue;
    if (h && h->state == IOB_STATE_FILLED && h->fileOffset == F.currentFillPos) {
      X->bufReadyQueue = h->next;
      h->next = nullptr;
      F.currentFillPos += h->dataLength;
      pthread_mutex_unlock(&X->bufQueueLock);
      *RetBuffer = h;
      return 0;
    }
    R.waitingThread = pthread_self();
    R.iodOffset = R.dataAddress = F.currentFillPos;
    R.requestLength = uint64_t(brix_iobufsize);
    if (X->requestQueue) {
      pthread_mutex_unlock(&X->bufQueueLock);
      brix_Log(BRIX_MSG_ERROR, "[%s] internal error - request queue non-NULL (%s, line %d) - aborting transfer\n",
               "RemoteDataCallback", __FILE__, __LINE__);
      brix_SetXferAborted("RemoteDataCallback", __FILE__, __LINE__);
      return -22;
    }
    R.next = nullptr;
    X->requestQueue = &R;
    pthread_mutex_lock(&R.reqLock);
    pthread_mutex_unlock(&X->bufQueueLock);
    if (X->abortSignalled || X->errorResyncFlag || !X->transfer_active) {
      pthread_mutex_unlock(&R.reqLock);
    } else {
      // The create side signals and unlinks the entry when the buffer at
      // currentFillPos arrives; the time limit only lets an abort be seen.
      struct timespec ts;
      clock_gettime(CLOCK_REALTIME, &ts);
      ts.tv_nsec += 200000000;
      if (ts.tv_nsec >= 1000000000) {
        ts.tv_sec++;
        ts.tv_nsec -= 1000000000;
      }
      pthread_cond_timedwait(&R.reqCond, &R.reqLock, &ts);
      pthread_mutex_unlock(&R.reqLock);
    }
    pthread_mutex_lock(&X->bufQueueLock);
    if (X->requestQueue == &R) X->requestQueue = R.next;
    R.next = nullptr;
    pthread_mutex_unlock(&X->bufQueueLock);
    if (X->abortSignalled || X->errorResyncFlag) return -1;
    if (!X->transfer_active) return -1;
  }
}

int brix_CopyToRemoteArchive(double* xferTime, int* threadsUsed) {
  static const char* fn = "brix_CopyToRemoteArchive";
  double start = brix_GetTimestamp();
  transfer_t* X = new (std::nothrow) transfer_t();
  if (!X) {
    brix_MallocError(fn, "new", sizeof(transfer_t), __FILE__, __LINE__);
    return -1;
  }
  xfer_ctl = X;
  int result = -1;
  bool poolStarted = false, mgrStarted = false;
  pthread_t mgr{};
  X->archive_fd = brix_archive_fd;
  X->transfer_active = 1;
  X->transferLength = brix_archive_filesize;
  X->listenSockFD = -1;
  if (brix_InitXferLocks(X) != 0) {
    brix_Log(BRIX_MSG_ERROR, "%s: Error(s) initializing transfer locks", fn);
    brix_SetExitCode(71);
    goto leave;
  }
  X->bufEmptyQueue = X->bufReadyQueue = X->bufFillQueue = X->bufFillQueueTail = nullptr;
  X->requestQueue = nullptr;
  if (brix_AllocateIoBuffers(X) != 0) {
    brix_Log(BRIX_MSG_ERROR, "Error(s) creating I/O buffers (%s)\n", fn);
    brix_SetExitCode(71);
    goto leave;
  }
  poolStarted = true;
  if (brix_InitThreadPool() != 0) {
    brix_Log(BRIX_MSG_ERROR, "%s: Error(s) initializing thread pool", fn);
    brix_SetExitCode(71);
    goto leave;
  }
  if (ozugw_ThreadCreate(&mgr, nullptr, brix_LocalFileMgrThread, X) != 0) {
    brix_Log(BRIX_MSG_ERROR, "%s: Error(s) starting local file thread: %d\n", fn, errno);
    brix_SetExitCode(71);
    goto leave;
  }
  mgrStarted = true;
  sched_yield();
  {
    int rc = brix_LfxSendFile(RMTIO_CALLBACK, X, brix_archive_fd, nullptr, brix_archive, 0, 0, brix_archive_filesize,
                              RemoteDataCallback);
    X->stopTime = brix_GetTimestamp();
    result = rc >= 0 && !X->abortSignalled ? 0 : -1;
  }
  if (result == 0) {
    // The gateway's word is not the archive: one it holds short is no
    // archive written.
    struct stat64 st;
    int rc = ozugw_LfxStat(brix_archive, &st);
    if (rc != 0 || uint64_t(st.st_size) != brix_archive_filesize) {
      char want[32];
      snprintf(want, sizeof want, "%s", u64tostrwc(brix_archive_filesize));
      if (rc != 0)
        brix_Log(BRIX_MSG_ERROR, "*** %s: error %d getting attributes for remote archive file %s\n", fn, rc,
                 brix_archive);
      else
        brix_Log(BRIX_MSG_ERROR, "*** %s: remote archive file %s holds %s bytes of %s\n", fn, brix_archive,
                 u64tostrwc(uint64_t(st.st_size)), want);
      brix_SetExitCode(74);
      result = -1;
    }
  }
leave:
  if (X->ctlMutexCreated) pthread_mutex_lock(&X->controlLock);
  X->transfer_active = 0;
  if (result != 0) X->abortSignalled++;
  if (X->ctlMutexCreated) pthread_mutex_unlock(&X->controlLock);
  if (X->bufQueueLockCreated) {
    pthread_mutex_lock(&X->bufQueueLock);
    pthread_cond_broadcast(&X->bufQueueCondition);
    pthread_mutex_unlock(&X->bufQueueLock);
  }
  brix_LfwBroadcastCondition();
  if (mgrStarted) pthread_join(mgr, nullptr);
  if (poolStarted) brix_EndThreadPool();
  if (result == 0) {
    if (xferTime) *xferTime = brix_GetTimestamp() - start;
    if (threadsUsed) *threadsUsed = brix_LfwThreadHighWater() + 1;
  }
  brix_LfxReleaseRecord(X);
  delete X;
  xfer_ctl = nullptr;
  return result;
}
