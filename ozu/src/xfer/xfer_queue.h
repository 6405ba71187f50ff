// Queue entries of the size-class queues and their operations.
//
// ozu_QueueTransfer   appends e (owned from then on) to its class, waiting
//                     in 0.5 s steps while the class is full (an interrupt
//                     gives the file up, 0), and starts a worker running
//                     work on each entry when the class's and the command's
//                     limits allow: 0, or -1 when no worker could start (the
//                     class is then emptied). work returns -1 to stop its
//                     worker.
// ozu_WaitForInflightXfers  returns once nothing is queued or active; a
//                     class left with entries and no worker gets one.
#ifndef OZU_XFER_QUEUE_H
#define OZU_XFER_QUEUE_H

#include <stdint.h>
#include <sys/stat.h>

#include "quor_types.h"

typedef struct sized_xfer_queue {
  struct sized_xfer_queue *next;
  char *localPathName;
  uint64_t localOffset;
  struct stat *fileStat;
  quor_xfileattr_t *quorStat;
  char *quorPathName;
  uint64_t quorOffset;
  uint64_t xferLength;
  int32_t xferSizeInx;
  uint32_t xferFlags;
  int32_t conHandle;  // the connection the name was found on
} sized_xfer_queue_t;

typedef int (*ozu_worker_fn)(xfer_size_to_count_t *cls, sized_xfer_queue_t *e);

void ozu_ResetActiveXfers(void);
sized_xfer_queue_t *ozu_GetXferQueueEntry(xfer_size_to_count_t *cls);
void ozu_FreeXferQueueEntry(sized_xfer_queue_t *e);
void ozu_DrainXferQueue(xfer_size_to_count_t *cls);
int ozu_WaitForInflightXfers(void);
int ozu_QueueTransfer(sized_xfer_queue_t *e, int maxActive, ozu_worker_fn work);

#endif
