// Size-class queues: the command's main thread queues each file in the
// class of its size on the current connection; detached workers take them.
// Every class that holds entries is served: a worker that ends, and the
// final wait, start a worker for a class left with entries and none.
#include <stdlib.h>
#include <string.h>

#include <openssl/crypto.h>

#include "ozu_context.h"
#include "ozu_locks.h"
#include "ozu_log.h"
#include "ozuvars.h"
#include "xfer_queue.h"
#include "xfer_record.h"

namespace {

xfer_size_to_count_t *classTable(int *count)
{
  ozu_context_t *ctx = keyset ? keyset->curContext : nullptr;
  if (ctx == nullptr) {
    *count = 0;
    return nullptr;
  }
  *count = ctx->xferSizeCount;
  return ctx->xferSizeTable;
}

// Every connection's class table in turn: a command whose names lie on
// several connections queues into each of their tables.
template <typename F> void eachClass(F f)
{
  for (ozu_context_t *c = ozu_connectList; c != nullptr; c = c->next)
    for (int i = 0; i < c->xferSizeCount && c->xferSizeTable != nullptr; ++i)
      f(&c->xferSizeTable[i]);
}

struct workerArg {
  xfer_size_to_count_t *cls;
  ozu_worker_fn work;
};

ozu_worker_fn currentWorker = nullptr;

void *workerMain(void *p);

// With the table lock held: starts a worker for cls, raising the counts
// first and lowering them again when the thread cannot start. 0 or -1.
int startWorkerLocked(xfer_size_to_count_t *cls, ozu_worker_fn work)
{
  auto *arg = new (std::nothrow) workerArg{cls, work};
  if (arg == nullptr)
    return -1;
  cls->active_xfers++;
  ozu_ActiveTransfers++;
  pthread_t id;
  if (ozu_ThreadCreate(&id, nullptr, workerMain, arg) < 0) {
    cls->active_xfers--;
    ozu_ActiveTransfers--;
    delete arg;
    return -1;
  }
  pthread_detach(id);
  return 0;
}

// With the table lock held: a class with entries and no worker gets one.
void serveStrandedLocked(void)
{
  if (currentWorker == nullptr || interrupted)
    return;
  eachClass([](xfer_size_to_count_t *c) {
    if (c->xfers_head != nullptr && c->active_xfers == 0)
      startWorkerLocked(c, currentWorker);
  });
}

void *workerMain(void *p)
{
  auto *arg = static_cast<workerArg *>(p);
  xfer_size_to_count_t *cls = arg->cls;
  ozu_worker_fn work = arg->work;
  delete arg;
  ozu_XferTableLock();
  if (cls->active_xfers > cls->max_xfers)
    fprintf(listF, "/debug/dequeue %s(),  active_xfers(%d) exceeds max_xfers(%d)\n",
            "ozu_WorkerThread", cls->active_xfers, cls->max_xfers);
  ozu_XferTableUnlock();
  for (;;) {
    if (interrupted)
      break;
    sized_xfer_queue_t *e = ozu_GetXferQueueEntry(cls);
    if (e == nullptr)
      break;
    if (work(cls, e) < 0)
      break;
  }
  if (interrupted)
    ozu_DrainXferQueue(cls);
  // The thread is detached: its OpenSSL state (random generators, error
  // queue) is freed now, while the shell still waits for it, not left to a
  // thread exit that may come after the process has ended.
  OPENSSL_thread_stop();
  ozu_XferTableLock();
  ozu_ActiveTransfers--;
  cls->active_xfers--;
  serveStrandedLocked();
  ozu_XferTableSignal();
  ozu_XferTableUnlock();
  return nullptr;
}

}  // namespace

void ozu_ResetActiveXfers(void)
{
  ozu_XferTableLock();
  ozu_CompletedXfers = 0;
  ozu_FailedXfers = 0;
  eachClass([](xfer_size_to_count_t *c) { c->active_xfers = 0; });
  ozu_XferTableUnlock();
}

sized_xfer_queue_t *ozu_GetXferQueueEntry(xfer_size_to_count_t *cls)
{
  ozu_XferTableLock();
  sized_xfer_queue_t *e = cls->xfers_head;
  if (e != nullptr) {
    cls->xfers_head = e->next;
    e->next = nullptr;
    cls->queued_xfers--;
    ozu_QueuedTransfers--;
    if (debug >= 2) {
      fprintf(listF, "/debug/queue %s() total queued transfers decremented to %d\n",
              "ozu_GetXferQueueEntry", ozu_QueuedTransfers);
      fprintf(listF, "/debug/queue %s() popped queue, table index %d, now %d, %s to %s\n",
              "ozu_GetXferQueueEntry", e->xferSizeInx, cls->queued_xfers,
              e->quorPathName ? e->quorPathName : "", e->localPathName ? e->localPathName : "");
    }
  }
  ozu_XferTableSignal();
  ozu_XferTableUnlock();
  return e;
}

void ozu_FreeXferQueueEntry(sized_xfer_queue_t *e)
{
  if (e == nullptr)
    return;
  free(e->localPathName);
  free(e->fileStat);
  free(e->quorStat);
  free(e->quorPathName);
  free(e);
}

void ozu_DrainXferQueue(xfer_size_to_count_t *cls)
{
  while (sized_xfer_queue_t *e = ozu_GetXferQueueEntry(cls))
    ozu_FreeXferQueueEntry(e);
}

int ozu_WaitForInflightXfers(void)
{
  ozu_XferTableLock();
  while (ozu_QueuedTransfers > 0 || ozu_ActiveTransfers > 0) {
    if (interrupted) {
      // Nobody will take what is still queued: release it.
      eachClass([](xfer_size_to_count_t *c) {
        while (sized_xfer_queue_t *e = c->xfers_head) {
          c->xfers_head = e->next;
          c->queued_xfers--;
          ozu_QueuedTransfers--;
          ozu_FreeXferQueueEntry(e);
        }
      });
    } else {
      serveStrandedLocked();
    }
    if (ozu_QueuedTransfers == 0 && ozu_ActiveTransfers == 0)
      break;
    ozu_XferTableCondWait(0, 500000);
  }
  ozu_XferTableUnlock();
  return 0;
}

int ozu_QueueTransfer(sized_xfer_queue_t *e, int maxActive, ozu_worker_fn work)
{
  int n;
  xfer_size_to_count_t *t = classTable(&n);
  if (t == nullptr || e->xferSizeInx < 0 || e->xferSizeInx >= n) {
    ozu_FreeXferQueueEntry(e);
    return 0;
  }
  xfer_size_to_count_t *cls = &t[e->xferSizeInx];
  ozu_XferTableLock();
  currentWorker = work;
  while (cls->queued_xfers >= ozu_XferQueueDepth) {
    ozu_XferTableCondWait(0, 500000);
    if (interrupted == 1) {
      ozu_XferTableSignal();
      ozu_XferTableUnlock();
      ozu_FreeXferQueueEntry(e);
      return 0;
    }
  }
  e->next = nullptr;
  if (cls->xfers_head == nullptr)
    cls->xfers_head = e;
  else
    cls->xfers_tail->next = e;
  cls->xfers_tail = e;
  cls->queued_xfers++;
  ozu_QueuedTransfers++;
  if (debug >= 2)
    fprintf(listF, "/debug/queue %s() entry %s to %s at index %d\n", "ozu_QueueTransfer",
            e->localPathName ? e->localPathName : "", e->quorPathName ? e->quorPathName : "",
            e->xferSizeInx);
  int rc = 0;
  if (cls->active_xfers < cls->max_xfers && ozu_ActiveTransfers < maxActive)
    rc = startWorkerLocked(cls, work);
  if (rc < 0) {
    // Nothing would ever take what this class holds.
    while (sized_xfer_queue_t *q = cls->xfers_head) {
      cls->xfers_head = q->next;
      cls->queued_xfers--;
      ozu_QueuedTransfers--;
      ozu_FreeXferQueueEntry(q);
    }
  }
  ozu_XferTableSignal();
  ozu_XferTableUnlock();
  if (rc < 0)
    return -1;
  ozu_ThreadYield();
  return 0;
}
