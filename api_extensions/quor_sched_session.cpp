// The stage scheduler's start-up, its sessions and the hand-over of staged
// files. See quor_scheduler.h for the calls and quor_sched_internal.h for
// the state and the one lock order every path keeps.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "quor_api_internal.h"
#include "quor_sched_internal.h"

pthread_mutex_t controlVarLock = PTHREAD_MUTEX_INITIALIZER;
pthread_mutex_t schedQueueLock = PTHREAD_MUTEX_INITIALIZER;
pthread_mutex_t requestQueueLock = PTHREAD_MUTEX_INITIALIZER;
pthread_mutex_t stageQueueLock = PTHREAD_MUTEX_INITIALIZER;
pthread_mutex_t readyQueueLock = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t controlVarCondition = PTHREAD_COND_INITIALIZER;

quor_vv_queue_ent_t *schedQueue = nullptr, *schedQueueTail = nullptr;
vv_hash_queue_t* vvHashTable = nullptr;
int vvHashTableCount = 0;
quor_vv_queue_ent_t* currentSchedVV = nullptr;
int vvsToStage = -1, vvsStaged = 0;
vv_request_queue_t* requestQueue = nullptr;
int requestQueueSize = 0;
int requestSlotsInUse = 0;
int sessionInProgress = 0;
int bgStageFlags = 0;
FILE* bgMessageFD = nullptr;
int stageMax = 15;
int maxConcurrentVVs = 1;
int stageCount = 0;
int quor_BusyWaitForCompletion = 0;
quor_file_queue_ent_t *stageQueue = nullptr, *stageQueueTail = nullptr;
quor_file_queue_ent_t *readyQueue = nullptr, *readyQueueTail = nullptr;
int schedDebug = 0;
std::atomic<int> schedStarted{0};

namespace {

pthread_mutex_t startLock = PTHREAD_MUTEX_INITIALIZER;

// Start-up, once per process; a failed one may be tried again later.
int quor_SchedInitLib(void) {
  pthread_mutex_lock(&startLock);
  int rc = 0;
  if (!schedStarted) {
    const char* d = getenv("OZU_DEBUG_AUTOSCHEDULER");
    schedDebug = d ? atoi(d) : 0;
    // The callback socket is bound to the library's control-host address.
    rc = qel_LibInit() == 0 ? sched_StartThread() : -1;
    if (rc == 0) {
      ozugw_ThreadYield();
      schedStarted = 1;
    }
  }
  pthread_mutex_unlock(&startLock);
  return rc;
}

// Takes the first ready file: 0, -2 when there is none, -12 when its path
// cannot be copied (it then stays first). readyQueueLock held.
int takeReady(char** pathptr, quor_sched_handle_t* handle) {
  quor_file_queue_ent_t* e = readyQueue;
  if (!e) return -2;
  char* copy = strdup(e->path);
  if (!copy) return -12;
  sched_UnlinkQent(&readyQueue, &readyQueueTail, e, nullptr);
  *pathptr = copy;
  *handle = e->handle;
  return 0;
}

bool anySlotBusy(void) {
  for (int i = 0; i < requestQueueSize; i++)
    if (requestQueue[i].currentVV) return true;
  return false;
}

}  // namespace

void sched_LockAll(void) {
  pthread_mutex_lock(&schedQueueLock);
  pthread_mutex_lock(&requestQueueLock);
  pthread_mutex_lock(&controlVarLock);
  pthread_mutex_lock(&stageQueueLock);
  pthread_mutex_lock(&readyQueueLock);
}

void sched_UnlockAll(void) {
  pthread_mutex_unlock(&readyQueueLock);
  pthread_mutex_unlock(&stageQueueLock);
  pthread_mutex_unlock(&controlVarLock);
  pthread_mutex_unlock(&requestQueueLock);
  pthread_mutex_unlock(&schedQueueLock);
}

void sched_LinkQent(quor_file_queue_ent_t** head, quor_file_queue_ent_t** tail,
                    quor_file_queue_ent_t* ent, int* counter, int state) {
  ent->next = nullptr;
  ent->prev = *tail;
  if (*tail) (*tail)->next = ent;
  else *head = ent;
  *tail = ent;
  ent->listState = state;
  if (counter) (*counter)++;
}

void sched_UnlinkQent(quor_file_queue_ent_t** head, quor_file_queue_ent_t** tail,
                      quor_file_queue_ent_t* ent, int* counter) {
  if (ent->prev) ent->prev->next = ent->next;
  else *head = ent->next;
  if (ent->next) ent->next->prev = ent->prev;
  else *tail = ent->prev;
  ent->next = ent->prev = nullptr;
  ent->listState = SCHED_LIST_NONE;
  if (counter) (*counter)--;
}

void sched_LinkQentByPosition(quor_file_queue_ent_t** head, quor_file_queue_ent_t** tail,
                              quor_file_queue_ent_t* ent, int state) {
  quor_file_queue_ent_t* at = *head;
  while (at && !(at->RelPosition > ent->RelPosition ||
                 (at->RelPosition == ent->RelPosition &&
                  at->RelPositionOffset >= ent->RelPositionOffset)))
    at = at->next;
  if (!at) {
    sched_LinkQent(head, tail, ent, nullptr, state);
    return;
  }
  ent->next = at;
  ent->prev = at->prev;
  if (at->prev) at->prev->next = ent;
  else *head = ent;
  at->prev = ent;
  ent->listState = state;
}

void sched_FreeAllLocked(void) {
  while (readyQueue) sched_UnlinkQent(&readyQueue, &readyQueueTail, readyQueue, nullptr);
  while (stageQueue) sched_UnlinkQent(&stageQueue, &stageQueueTail, stageQueue, nullptr);
  for (int i = 0; i < requestQueueSize; i++) {
    vv_request_queue_t& s = requestQueue[i];
    while (s.queueListHead) sched_UnlinkQent(&s.queueListHead, &s.queueListTail, s.queueListHead, nullptr);
    free(s.stageGroupList);
    memset(&s, 0, sizeof s);
    s.reqQueueInx = i;
  }
  requestSlotsInUse = 0;
  for (quor_vv_queue_ent_t* v = schedQueue; v;) {
    quor_vv_queue_ent_t* next = v->next;
    for (int i = 0; i < v->filecount; i++) free(v->queueList[i].path);
    free(v->queueList);
    free(v);
    v = next;
  }
  schedQueue = schedQueueTail = nullptr;
  free(vvHashTable);
  vvHashTable = nullptr;
  vvHashTableCount = 0;
  currentSchedVV = nullptr;
  vvsToStage = -1;
  vvsStaged = 0;
  sessionInProgress = 0;
  bgStageFlags = 0;
  bgMessageFD = nullptr;
  stageCount = 0;
  quor_BusyWaitForCompletion = 0;
}

int quorex_SchedInitQueue(int flags) {
  QEL_TRACE_ENTRY();
  (void)flags;
  if (quor_SchedInitLib() != 0) return -1;
  pthread_mutex_lock(&controlVarLock);
  if (sessionInProgress && (bgStageFlags & QUOR_SCHED_BACKGROUND) && schedDebug)
    fprintf(stderr, "/debug/%s: blocking until previous scheduling session completes\n",
            __func__);
  while (sessionInProgress && (bgStageFlags & QUOR_SCHED_BACKGROUND)) {
    pthread_cond_wait(&controlVarCondition, &controlVarLock);
    if (schedDebug) fprintf(stderr, "/debug/%s: received wakeup from scheduler thread\n", __func__);
  }
  int foreground = sessionInProgress;
  pthread_mutex_unlock(&controlVarLock);
  if (foreground) return -6005;
  sched_LockAll();
  // Only this thread starts sessions, so none has begun meanwhile.
  if (!sessionInProgress) sched_FreeAllLocked();
  sched_UnlockAll();
  return 0;
}

int quorex_SchedFreeQueue(void) {
  QEL_TRACE_ENTRY();
  if (!schedStarted) return 0;
  sched_LockAll();
  if (sessionInProgress) {
    // The scheduling thread frees everything once the last stage is in: it
    // may be holding entries this very moment.
    bgStageFlags |= QUOR_SCHED_BACKGROUND;
  } else {
    sched_FreeAllLocked();
  }
  sched_UnlockAll();
  return 0;
}

int quorex_SchedInitBGStage(int Flags, int maxStages, int maxVVStages, const quoroid_t* VVID,
                            FILE* messageFd, int* retQueuedCount, int* retReadyCount) {
  QEL_TRACE_ENTRY();
  if (retQueuedCount) *retQueuedCount = 0;
  if (retReadyCount) *retReadyCount = 0;
  if (!schedStarted) return -22;
  int conHandle = -1;
  if (VVID) {
    qelapi_tcontext_t* ctx = qelapi_GetThreadContext();
    if (ctx) {
      qelapi_BindThreadCurrent(ctx);
      conHandle = quorex_GetThreadConHandle(ctx);
    }
  }
  sched_LockAll();
  if (sessionInProgress) {
    sched_UnlockAll();
    return -16;
  }
  int slots = maxVVStages > 0 ? maxVVStages : 1;
  if (requestQueueSize < slots) {
    if (schedDebug)
      fprintf(stderr, "[%s]resizing request queue table - new count=%d prev count=%d\n", __func__,
              slots, requestQueueSize);
    auto* t = static_cast<vv_request_queue_t*>(
        realloc(requestQueue, sizeof(vv_request_queue_t) * size_t(slots)));
    if (!t) {
      sched_UnlockAll();
      return -12;
    }
    memset(&t[requestQueueSize], 0, sizeof(vv_request_queue_t) * size_t(slots - requestQueueSize));
    requestQueue = t;
    requestQueueSize = slots;
  }
  quor_vv_queue_ent_t* first = schedQueue;
  if (VVID && quorex_SchedFindVV(VVID, conHandle, 0, &first) != 0) {
    sched_UnlockAll();
    return -2;
  }
  quor_BusyWaitForCompletion = 0;
  bgStageFlags = Flags;
  bgMessageFD = messageFd;
  stageMax = maxStages > 0 ? maxStages : 15;
  maxConcurrentVVs = VVID ? 1 : slots;
  // Only as many slots as this session asks for take part, whatever the
  // table kept from an earlier one.
  requestSlotsInUse = maxConcurrentVVs;
  for (int i = 0; i < requestQueueSize; i++) {
    while (requestQueue[i].queueListHead)
      sched_UnlinkQent(&requestQueue[i].queueListHead, &requestQueue[i].queueListTail,
                       requestQueue[i].queueListHead, nullptr);
    free(requestQueue[i].stageGroupList);
    memset(&requestQueue[i], 0, sizeof requestQueue[i]);
    requestQueue[i].reqQueueInx = i;
  }
  vvsToStage = VVID ? 1 : -1;
  vvsStaged = 0;
  currentSchedVV = first;

  int queued = 0, ready = 0;
  for (quor_vv_queue_ent_t* v = first; v; v = VVID ? nullptr : v->next) {
    v->entriesToStage = 0;
    v->maxStages = stageMax;
    int groups = 0;
    quor_file_queue_ent_t* prevTape = nullptr;
    for (int i = 0; i < v->filecount; i++) {
      quor_file_queue_ent_t* e = &v->queueList[i];
      e->vvEntryAddr = v;
      if (e->Flags & SCHED_ON_TAPE) {
        e->listState = SCHED_LIST_WAITING;
        v->entriesToStage++;
        queued++;
        if (prevTape && prevTape->RelPosition == e->RelPosition) {
          if (!(prevTape->Flags & SCHED_SAME_POSITION)) groups++;
          prevTape->Flags |= SCHED_SAME_POSITION;
          e->Flags |= SCHED_SAME_POSITION;
        }
        prevTape = e;
      } else {
        sched_LinkQent(&readyQueue, &readyQueueTail, e, nullptr, SCHED_LIST_READY);
        ready++;
      }
    }
    if (schedDebug)
      fprintf(stderr, "[%s] Scanned entries for VV %8.8s - staging %d files in %d aggregates\n",
              __func__, v->PV1.Name, v->entriesToStage, groups);
  }
  if (queued > 0 || (Flags & QUOR_SCHED_BACKGROUND)) {
    sessionInProgress = 1;
    pthread_cond_broadcast(&controlVarCondition);
  } else {
    // Nothing to stage: no volume is left to pass over either.
    sessionInProgress = 0;
    currentSchedVV = nullptr;
  }
  sched_UnlockAll();
  if (retQueuedCount) *retQueuedCount = queued;
  if (retReadyCount) *retReadyCount = ready;
  return 0;
}

int quorex_GetNextStagedFile(char** pathptr, quor_sched_handle_t* handle) {
  QEL_TRACE_ENTRY();
  if (pathptr) *pathptr = nullptr;
  if (handle) memset(handle, 0, sizeof *handle);
  if (!schedStarted) return -22;
  if (!pathptr || !handle) return -14;
  pthread_mutex_lock(&readyQueueLock);
  int rc = takeReady(pathptr, handle);
  pthread_mutex_unlock(&readyQueueLock);
  if (rc != -2) return rc;
  pthread_mutex_lock(&requestQueueLock);
  pthread_mutex_lock(&controlVarLock);
  // Without a session nothing more can become ready.
  bool pending = sessionInProgress && (stageCount > 0 || currentSchedVV || anySlotBusy());
  if (!pending) {
    pthread_mutex_lock(&readyQueueLock);
    rc = takeReady(pathptr, handle);
    pthread_mutex_unlock(&readyQueueLock);
  }
  pthread_mutex_unlock(&controlVarLock);
  pthread_mutex_unlock(&requestQueueLock);
  return pending ? -11 : rc;
}

int quorex_SchedQueryFileStatus(const quor_sched_handle_t* handle, int* status, char** pathptr) {
  QEL_TRACE_ENTRY();
  if (!schedStarted) return -22;
  if (!handle || !status || !pathptr) return -14;
  *pathptr = nullptr;
  *status = -2;
  pthread_mutex_lock(&schedQueueLock);
  quor_file_queue_ent_t* e = nullptr;
  if (sched_LookupHandleLocked(handle, nullptr, &e) != 0) {
    pthread_mutex_unlock(&schedQueueLock);
    return -2;
  }
  pthread_mutex_lock(&requestQueueLock);
  pthread_mutex_lock(&stageQueueLock);
  pthread_mutex_lock(&readyQueueLock);
  switch (e->listState) {
    case SCHED_LIST_READY: *status = 2; break;
    case SCHED_LIST_STAGE: *status = 3; break;
    case SCHED_LIST_REQUEST:
    case SCHED_LIST_WAITING: *status = 1; break;
    default: *status = -2; break;
  }
  *pathptr = strdup(e->path);
  pthread_mutex_unlock(&readyQueueLock);
  pthread_mutex_unlock(&stageQueueLock);
  pthread_mutex_unlock(&requestQueueLock);
  pthread_mutex_unlock(&schedQueueLock);
  return *pathptr ? 0 : -12;
}

int quorex_SchedSessionIsActive(void) {
  if (!schedStarted) return 0;
  pthread_mutex_lock(&controlVarLock);
  int active = sessionInProgress;
  pthread_mutex_unlock(&controlVarLock);
  return active;
}

void sched_GetStats(sched_stats_t* st) {
  memset(st, 0, sizeof *st);
  sched_LockAll();
  st->volumes = vvHashTableCount;
  for (quor_vv_queue_ent_t* v = schedQueue; v; v = v->next) st->files += v->filecount;
  for (quor_file_queue_ent_t* e = readyQueue; e; e = e->next) st->readyCount++;
  for (quor_file_queue_ent_t* e = stageQueue; e; e = e->next) st->stageListCount++;
  for (int i = 0; i < requestQueueSize; i++) {
    if (requestQueue[i].currentVV) st->slotsBusy++;
    for (quor_file_queue_ent_t* e = requestQueue[i].queueListHead; e; e = e->next)
      st->requestListCount++;
  }
  st->stageCount = stageCount;
  st->sessionInProgress = sessionInProgress;
  st->busyWait = quor_BusyWaitForCompletion;
  sched_UnlockAll();
}
