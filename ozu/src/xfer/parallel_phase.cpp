// What the parallel-mover get and put share around their list requests:
// the stripe block, the start of the phase's two threads and the phase's
// end, so that both directions start and end their movers the same way.
#include <string.h>
#include <time.h>

#include "ozu_log.h"
#include "ozuvars.h"
#include "xfer_record.h"

struct timespec ozu_DeadlineMs(int ms)
{
  struct timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  ts.tv_nsec += long(ms) * 1000000L;
  ts.tv_sec += ts.tv_nsec / 1000000000L;
  ts.tv_nsec %= 1000000000L;
  return ts;
}

void ozu_InsertSorted(io_buffer_t **head, io_buffer_t *b)
{
  while (*head != nullptr && (*head)->fileOffset < b->fileOffset)
    head = &(*head)->next;
  b->next = *head;
  *head = b;
}

uint64_t ozu_PhaseBlock(transfer_t *Ctl)
{
  uint64_t block = uint64_t(Ctl->bufSize);
  const bf_sc_attrib_t *l0 = &Ctl->quorFile.attrs.SCAttrib[0];
  if (Ctl->stripeWidth > 1 && l0->StripeWidth != 0 && l0->StripeLength != 0) {
    uint64_t b = l0->StripeLength / l0->StripeWidth;
    if (b != 0 && b <= 0x2000000)
      block = b;
  }
  return block;
}

int ozu_OpenPhaseSockets(transfer_t *Ctl, const char *me)
{
  if (ozu_NIO_AllocateListenSockets(Ctl) >= 0)
    return 0;
  char msg[4200];
  snprintf(msg, sizeof msg, "*** %s: Error(s) creating %d listen sockets\n", me, Ctl->controlSockCount);
  setExitResult(71, msg, 7);
  SET_TRANSFER_ABORTED(Ctl);
  return -1;
}

int ozu_StartPhaseThreads(transfer_t *Ctl, const char *me, void *(*localFileThread)(void *),
                          ozu_phase_t *ph)
{
  char msg[4200];
  if (ozu_ThreadCreate(&ph->localId, nullptr, localFileThread, Ctl) < 0) {
    snprintf(msg, sizeof msg, "*** %s: Unrecoveralbe error launching local file thread. Aborting transfer\n", me);
    setExitResult(71, msg, 7);
    SET_TRANSFER_ABORTED(Ctl);
    return -1;
  }
  ph->localThread = true;
  ozu_ThreadYield();
  if (ozu_LaunchMvrConnectionsThread(Ctl) < 0) {
    snprintf(msg, sizeof msg, "*** %s: failed to launch mover connections thread. aborting transfer", me);
    setExitResult(71, msg, 7);
    SET_TRANSFER_ABORTED(Ctl);
    return -1;
  }
  ph->manager = true;
  return 0;
}

int ozu_EndPhase(transfer_t *Ctl, ozu_phase_t *ph, int result)
{
  // The connections thread is woken rather than left to notice at the end
  // of its poll's slice, which every transfer would wait out.
  pthread_mutex_lock(&Ctl->abortLock);
  Ctl->transfer_active = 0;
  pthread_cond_broadcast(&Ctl->abortCondition);
  ozu_WakeConnections(Ctl);
  pthread_mutex_unlock(&Ctl->abortLock);
  if (Ctl->connectionList != nullptr)
    ozu_CleanupTransferThreads(Ctl);
  if (ph->manager)
    pthread_join(Ctl->controlThreadId, nullptr);
  if (ph->localThread) {
    pthread_mutex_lock(&Ctl->bufQueueLock);
    pthread_cond_broadcast(&Ctl->bufQueueCondition);
    pthread_mutex_unlock(&Ctl->bufQueueLock);
    pthread_join(ph->localId, nullptr);
  }
  ph->manager = ph->localThread = false;
  if (result == 0 && Ctl->abortSignalled > 0)
    result = -1;
  ozu_NIO_CloseListenSockets(Ctl);
  ozu_LogRefusedMovers(Ctl);
  return result;
}
