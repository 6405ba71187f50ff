// The create-side reader pool: reader threads fill transfer buffers in
// archive order from the temporary index, for any pipeline that sends the
// ready buffers on (the storage write pipeline).
#ifndef BRIX_XFER_BRIX_READER_POOL_H
#define BRIX_XFER_BRIX_READER_POOL_H

#include <pthread.h>
#include <stdint.h>

#include "brix_xfer.h"

enum LFW_STATES { LFW_WAITING = 0, LFW_ASSIGNED = 1, LFW_ACTIVE = 2, LFW_CMD_COMPLETE = 3 };
enum LFW_TASKS {
  LFW_QUIT = 1,
  LFW_IDLE = 2,
  LFW_GO_IDLE = 3,
  LFW_TAR_HDR = 4,
  LFW_ZERO_BLK = 5,
  LFW_READ_FILE = 6,
  LFW_READ_FIRST = 7,
  LFW_READ_CONT = 8,
  LFW_READ_LAST = 9,
};
enum IXENTRY_STATES { IX_READ_ENTRY = 0, IX_ASSIGN_TASK = 1, IX_ASSIGN_BUFFERS = 2, IX_EOF_REACHED = 3 };

struct lfw_task_t {
  int taskState;
  int request;
  long indexEntryNumber;
  uint32_t fileCRC;
  bif_entry_t inxEntry;
  int64_t totalBlocks;
  int64_t blocksToSkip;
  int64_t blocksAssigned;
  int reqBlocks;
  io_buffer_t* reqBuffer;
  int reqOffset;
  int gpfsFile;
  int eofHit;
  int readError;
  int fileNotOpened;
  int fileModified;
  int fileSizeChanged;
  int bufOffset;
  int response;
  int rplyBlocks;
};

struct lfw_ctl_t {
  lfw_ctl_t* next;
  pthread_t threadID;
  int tableInx;
  int threadState;
  lfw_task_t task;
  pthread_mutex_t threadMutex;
  pthread_cond_t threadCond;
};

// Starts brix_max_threads readers (0, or -1 with the reason logged).
int brix_InitThreadPool(void);
// Ends and joins the readers and frees the pool (after the manager ended).
void brix_EndThreadPool(void);
// The manager thread: its argument is the transfer record; it fills and
// queues buffers until the transfer ends or is aborted, and carries out
// the data side of a resynchronisation when errorResyncFlag is set.
void* brix_LocalFileMgrThread(void* arg);
void brix_LfwBroadcastCondition(void);
void brix_LfwSignalCondition(void);
int brix_LfwThreadHighWater(void);

#endif
