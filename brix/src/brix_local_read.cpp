// Reading a byte range of a local archive for extract and verify: a reader
// thread fills two buffers in turn while a second thread hands each filled
// buffer to the consumer, so one archive read overlaps one consumer call.
// A range that fits in one buffer is read and handed over by the caller
// alone, and the buffers stay from one range to the next, so a run of many
// small ranges costs a read and a call each, not two threads and two
// allocations.
//
// Each buffer's state says who may touch it: READING (free, the reader's),
// WRITING (filled, the consumer's). A thread that ends sets its own flag
// and wakes the other through every buffer's condition; a filled buffer is
// still delivered after the reader has ended, never twice, and nothing is
// delivered once the read has failed.
#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <atomic>
#include <system_error>
#include <thread>

#include "brix_blockio.h"
#include "brix_xfer.h"

namespace {

const char* const fn = "brix_CopyFromLocalArchive";

io_buffer_t iobuf[2];
int localArchiveFd = -1;
uint64_t left_To_Read = 0;
uint64_t rangeStart = 0;
uint64_t rangeLength = 0;
io_buffer_callback_t bufCallback = nullptr;
std::atomic<int> xferAborted{0};
std::atomic<bool> readerEnded{false};
std::atomic<bool> consumerEnded{false};

void wakeAll() {
  for (io_buffer_t& b : iobuf) {
    pthread_mutex_lock(&b.bufLock);
    pthread_cond_broadcast(&b.bufCond);
    pthread_mutex_unlock(&b.bufLock);
  }
}

void local_ReadThread() {
  for (int i = 0;; i ^= 1) {
    io_buffer_t& b = iobuf[i];
    pthread_mutex_lock(&b.bufLock);
    while (b.state != IOB_STATE_READING && !consumerEnded && !xferAborted)
      pthread_cond_wait(&b.bufCond, &b.bufLock);
    bool stop = consumerEnded || xferAborted || left_To_Read == 0;
    if (!stop && brix_shutdown_signalled) {
      xferAborted++;  // a forced shutdown ends a long range between reads
      stop = true;
    }
    pthread_mutex_unlock(&b.bufLock);
    if (stop) break;
    size_t want = size_t(left_To_Read < uint64_t(b.bufSize) ? left_To_Read : uint64_t(b.bufSize));
    ssize_t n = brix_ReadArchive(localArchiveFd, want, b.buffer);
    if (n < 0) {
      xferAborted++;
      if (brix_debug_level > 0) fprintf(stderr, "/debug/%s detected local read error. quitting\n", "local_ReadThread");
      break;
    }
    if (brix_debug_level > 3) fprintf(stderr, "/trace/read thread -read %d bytes from local Archive\n", int(n));
    if (size_t(n) < want) {
      // The archive is shorter than the index says: what follows would be
      // missing members, so the read fails rather than stop quietly.
      uint64_t endAt = rangeStart + (rangeLength - left_To_Read) + uint64_t(n);
      brix_Log(BRIX_MSG_ERROR, "%s: archive file %s ended at byte %lu, before the end of the range read (byte %lu)\n",
               fn, brix_archive ? brix_archive : "", (unsigned long)endAt,
               (unsigned long)(rangeStart + rangeLength));
      brix_SetExitCode(72);
      xferAborted++;
      break;
    }
    b.dataLength = uint32_t(n);
    b.bufBlocksFilled = int((n + 511) / 512);
    left_To_Read -= uint64_t(n);
    pthread_mutex_lock(&b.bufLock);
    b.state = IOB_STATE_WRITING;
    pthread_cond_broadcast(&b.bufCond);
    pthread_mutex_unlock(&b.bufLock);
  }
  readerEnded = true;
  wakeAll();
}

void local_WriteThread() {
  for (int i = 0;; i ^= 1) {
    io_buffer_t& b = iobuf[i];
    pthread_mutex_lock(&b.bufLock);
    while (b.state != IOB_STATE_WRITING && !readerEnded && !xferAborted)
      pthread_cond_wait(&b.bufCond, &b.bufLock);
    bool take = b.state == IOB_STATE_WRITING && !xferAborted;
    pthread_mutex_unlock(&b.bufLock);
    if (!take) break;
    if (brix_debug_level > 3)
      fprintf(stderr, "/trace/write thread passing %d bytes to callback function\n", int(b.dataLength));
    b.dataMoved = 0;
    int rc = bufCallback(&b);
    if (rc < 0) {
      brix_Log(BRIX_MSG_ERROR, "/debug/%s: callback function returned %d -aborting xfer\n", "local_WriteThread", rc);
      xferAborted++;
      break;
    }
    pthread_mutex_lock(&b.bufLock);
    b.state = IOB_STATE_READING;
    pthread_cond_broadcast(&b.bufCond);
    pthread_mutex_unlock(&b.bufLock);
  }
  consumerEnded = true;
  wakeAll();
}

}  // namespace

namespace {

// The buffers, kept across ranges until brix_LocalReadRelease.
bool buffersReady() {
  int blocks = (brix_iobufsize + 511) / 512;
  if (iobuf[0].buffer && iobuf[1].buffer && iobuf[0].bufSizeBlocks == blocks) return true;
  brix_LocalReadRelease();
  for (int i = 0; i < 2; i++) {
    iobuf[i].buffer = nullptr;
    if (brix_InitRwBuf(&iobuf[i], 0) != 0) {
      brix_LocalReadRelease();
      return false;
    }
    iobuf[i].bufID = i;
  }
  return true;
}

// One buffer's worth, without threads.
int copySmallRange(uint64_t bytes) {
  io_buffer_t& b = iobuf[0];
  ssize_t n = brix_ReadArchive(localArchiveFd, size_t(bytes), b.buffer);
  if (n < 0) {
    if (brix_debug_level > 0) fprintf(stderr, "/debug/%s detected local read error. quitting\n", "local_ReadThread");
    return -1;
  }
  if (uint64_t(n) < bytes) {
    brix_Log(BRIX_MSG_ERROR, "%s: archive file %s ended at byte %lu, before the end of the range read (byte %lu)\n",
             fn, brix_archive ? brix_archive : "", (unsigned long)(rangeStart + uint64_t(n)),
             (unsigned long)(rangeStart + rangeLength));
    brix_SetExitCode(72);
    return -1;
  }
  b.dataLength = uint32_t(n);
  b.bufBlocksFilled = int((n + 511) / 512);
  b.dataMoved = 0;
  b.state = IOB_STATE_WRITING;
  int rc = bufCallback(&b);
  b.state = IOB_STATE_READING;
  if (rc < 0) {
    brix_Log(BRIX_MSG_ERROR, "/debug/%s: callback function returned %d -aborting xfer\n", "local_WriteThread", rc);
    return -1;
  }
  return 0;
}

}  // namespace

void brix_LocalReadRelease(void) {
  for (io_buffer_t& b : iobuf) brix_CleanIoBuf(&b);
}

int brix_CopyFromLocalArchive(int archiveFd, uint64_t startAddr, uint64_t bytesToRead,
                              io_buffer_callback_t callback, double* xferTime) {
  if (xferTime) *xferTime = 0;
  if (bytesToRead == 0) {
    if (brix_debug_level > 0) fprintf(stderr, "/debug/%s called to read 0-length chunk. Skipped read\n", fn);
    return 0;
  }
  localArchiveFd = archiveFd;
  left_To_Read = bytesToRead;
  rangeStart = startAddr;
  rangeLength = bytesToRead;
  bufCallback = callback;
  xferAborted = 0;
  readerEnded = false;
  consumerEnded = false;
  uint64_t pos = 0;
  if (brix_PositionFile(archiveFd, BRIX_LOCAL_FILE, startAddr, SEEK_SET, 0, &pos) != 0) {
    brix_Log(BRIX_MSG_ERROR, "%s: fatal error positioning local archive file\n", fn);
    return -1;
  }
  if (!buffersReady()) return -1;
  for (io_buffer_t& b : iobuf) b.state = IOB_STATE_READING;
  double start = brix_GetTimestamp();
  int rc = 0;
  if (bytesToRead <= uint64_t(iobuf[0].bufSize)) {
    rc = copySmallRange(bytesToRead);
  } else {
    std::thread reader, consumer;
    try {
      reader = std::thread(local_ReadThread);
      consumer = std::thread(local_WriteThread);
    } catch (const std::system_error& e) {
      errno = e.code().value();
      brix_perror("pthread_create");
      brix_Log(BRIX_MSG_ERROR, "%s: fatal - unable to fork transfer thread(s)\n", fn);
      xferAborted++;
      wakeAll();
    }
    if (reader.joinable()) reader.join();
    if (consumer.joinable()) consumer.join();
    if (xferAborted) rc = -1;
  }
  if (xferTime) *xferTime = brix_GetTimestamp() - start;
  return rc;
}
