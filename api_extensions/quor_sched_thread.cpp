// The stage scheduler's thread: request slots, asynchronous stage requests
// with their groups, completion callbacks, polling for lost requests and
// the clean-up of a finished background session. Everything here runs on
// that one thread, which is why a slot's counts and its groups change only
// here (under requestQueueLock, so that the command thread reads them
// whole).
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <chrono>

#include "quor_api.h"
#include "quor_api_internal.h"
#include "quor_net.h"
#include "quor_sched_internal.h"
#include "quor_stage.h"
#include "quorcfgx_restrict.h"
#include "xdr_objects.h"

namespace {

int callbackFd = -1;
quor_sockaddr_t callbackSockAddr;
char callbackNetAddrString[256];

// Waits of the thread, in seconds, through the library's time scale.
const int kCycleSeconds = 2;
const int kFirstCallbackWait = 1;
const int kNextCallbackWait = 5;
const int kPingSeconds = 120;
// A callback connection that goes quiet is given up after this long; not
// scaled, it guards the thread against a stalled peer.
const int kCallbackReadMs = 5000;

long long nowMs(void) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

int scaledMs(int seconds) {
  double ms = seconds * 1000.0 / qelapi_time_scale();
  return ms < 1 ? 1 : int(ms);
}

bool idIsZero(const quor_reqid_t& id) {
  static const quor_reqid_t zero{};
  return memcmp(&id, &zero, sizeof id) == 0;
}

void debugReqid(const char* fmt, const quor_reqid_t& id, int code) {
  char* text = quor_RequestIDtoString(id);
  fprintf(stderr, fmt, text ? text : "?", code);
  free(text);
}

bool anySlotBusy(void) {
  for (int i = 0; i < requestQueueSize; i++)
    if (requestQueue[i].currentVV) return true;
  return false;
}

void freeGroup(stage_group_entry_t* g) {
  g->aggrInx = -1;
  g->aggrRelPosition = -1;
  g->aggrEntryCount = g->aggrIssuedCount = g->aggrCompletedCount = 0;
}

// The group a file was issued under, or null when its records do not name
// a live one. requestQueueLock held.
stage_group_entry_t* groupOf(const quor_file_queue_ent_t* e, vv_request_queue_t** slotOut) {
  if (e->reqQueueInx < 0 || e->reqQueueInx >= requestQueueSize) return nullptr;
  vv_request_queue_t* slot = &requestQueue[e->reqQueueInx];
  if (slot->currentVV != e->vvEntryAddr || e->aggrGroupInx < 0 ||
      e->aggrGroupInx >= slot->groupListSize)
    return nullptr;
  stage_group_entry_t* g = &slot->stageGroupList[e->aggrGroupInx];
  if (g->aggrInx < 0) return nullptr;
  *slotOut = slot;
  return g;
}

// One file's stage has ended, whichever way: counts it in its group, ends
// the group when all its files are in, releases the slot when the volume
// is done. requestQueueLock held.
void countCompletion(quor_file_queue_ent_t* e, bool afterError) {
  vv_request_queue_t* slot = nullptr;
  stage_group_entry_t* g = groupOf(e, &slot);
  if (!g) {
    fprintf(stderr, "*** %s: (Internal error) no stage group for file %s\n", __func__, e->path);
    return;
  }
  if (++g->aggrCompletedCount < g->aggrEntryCount) return;
  slot->activeStages--;
  slot->completedStages += g->aggrEntryCount;
  freeGroup(g);
  if (slot->completedStages >= slot->entriesToStage) {
    if (schedDebug)
      fprintf(stderr,
              afterError ? "/debug/[error on stage callback] all stages completed for VV: %8.8s\n"
                         : "/debug/all stages completed for VV: %8.8s\n",
              slot->currentVV->PV1.Name);
    slot->previousVV = slot->currentVV;
    slot->currentVV = nullptr;
  }
}

void linkReady(quor_file_queue_ent_t* e) {
  pthread_mutex_lock(&readyQueueLock);
  sched_LinkQent(&readyQueue, &readyQueueTail, e, nullptr, SCHED_LIST_READY);
  pthread_mutex_unlock(&readyQueueLock);
}

// Gives free slots their volumes. schedQueueLock and requestQueueLock held.
void sched_CopySchedEntsToReqQueue(void) {
  for (int s = 0; s < requestSlotsInUse; s++) {
    vv_request_queue_t& slot = requestQueue[s];
    if (slot.currentVV) continue;
    while (currentSchedVV && currentSchedVV->entriesToStage == 0) {
      currentSchedVV = currentSchedVV->next;
      vvsStaged++;
    }
    if (!currentSchedVV) {
      if (schedDebug) fprintf(stderr, "[%s] End of VV list reached - exiting\n", __func__);
      return;
    }
    if (vvsToStage > 0 && vvsStaged >= vvsToStage) {
      if (schedDebug)
        fprintf(stderr, "[%s] Max VVs have been staged (%d of %d) - exiting\n", __func__,
                vvsStaged, vvsToStage);
      currentSchedVV = nullptr;  // nothing more will be given out
      return;
    }
    quor_vv_queue_ent_t* v = currentSchedVV;
    if (slot.groupListSize != v->maxStages) {
      auto* g = static_cast<stage_group_entry_t*>(
          realloc(slot.stageGroupList, sizeof(stage_group_entry_t) * size_t(v->maxStages)));
      if (!g) {
        fprintf(stderr, "*** INTERNAL ERROR %s: Unable to allocate %d stage group entries. (errno %d)\n",
                __func__, v->maxStages, errno);
        return;  // the volume waits for the next cycle
      }
      slot.stageGroupList = g;
      slot.groupListSize = v->maxStages;
    }
    for (int i = 0; i < slot.groupListSize; i++) freeGroup(&slot.stageGroupList[i]);
    currentSchedVV = v->next;
    vvsStaged++;
    slot.currentVV = v;
    slot.entriesToStage = v->entriesToStage;
    slot.activeStages = 0;
    slot.completedStages = 0;
    int count = 0;
    for (int i = 0; i < v->filecount; i++) {
      quor_file_queue_ent_t* e = &v->queueList[i];
      if (!(e->Flags & SCHED_ON_TAPE) || !e->path) continue;
      e->reqQueueInx = s;
      sched_LinkQent(&slot.queueListHead, &slot.queueListTail, e, &count, SCHED_LIST_REQUEST);
    }
    if (count != slot.entriesToStage) {
      fprintf(stderr,
              "*** WARNING: (%s) INTERNAL ERROR - mismatch detected in entry count\n"
              "  while populating RequestQueue for PV %8.8s\n",
              __func__, v->PV1.Name);
      fprintf(stderr, "          Should be: %d  Is:  %d\n", slot.entriesToStage, count);
      slot.entriesToStage = count;
    }
    if (schedDebug) fprintf(stderr, "[%s] VV %8.8s - queued %d entries\n", __func__, v->PV1.Name, count);
    if (count == 0) {
      slot.previousVV = v;
      slot.currentVV = nullptr;
    }
  }
}

// The group for the file at the head of a slot's list, made used when it
// was free: its index, or -1 when none is free. requestQueueLock held.
int chooseGroup(vv_request_queue_t& slot, quor_file_queue_ent_t* e, int start, bool grouping) {
  int firstFree = -1, chosen = -1;
  int n = slot.groupListSize;
  for (int k = 0; k < n && chosen < 0; k++) {
    int i = (start + k) % n;
    stage_group_entry_t& g = slot.stageGroupList[i];
    if (g.aggrInx < 0) {
      if (firstFree < 0) firstFree = i;
      if (!grouping) break;
      continue;
    }
    // A group still waiting for files of its position takes this one.
    if (g.aggrRelPosition == e->RelPosition && g.aggrIssuedCount < g.aggrEntryCount) chosen = i;
  }
  if (chosen >= 0) return chosen;
  if (firstFree < 0) return -1;
  stage_group_entry_t& g = slot.stageGroupList[firstFree];
  g.aggrInx = firstFree;
  g.aggrRelPosition = e->RelPosition;
  g.aggrIssuedCount = g.aggrCompletedCount = 0;
  g.aggrEntryCount = 1;
  if (grouping)
    for (quor_file_queue_ent_t* f = slot.queueListHead; f && f->RelPosition == e->RelPosition;
         f = f->next)
      g.aggrEntryCount++;
  return firstFree;
}

// Issues stage requests for the slots' files: 1 when the gateway answered
// busy (or busy-waiting holds issuing back), else 0.
int sched_IssueStageCalls(time_t now) {
  pthread_mutex_lock(&controlVarLock);
  bool waiting = quor_BusyWaitForCompletion != 0;
  bool grouping = (bgStageFlags & QUOR_SCHED_GROUP_BY_POSITION) != 0;
  pthread_mutex_unlock(&controlVarLock);
  if (waiting) return 1;
  pthread_mutex_lock(&schedQueueLock);
  pthread_mutex_lock(&requestQueueLock);
  sched_CopySchedEntsToReqQueue();
  pthread_mutex_unlock(&schedQueueLock);
  bool busy = false;
  int lastGroup = 0;
  for (;;) {
    int handled = 0;
    for (int s = 0; s < requestSlotsInUse && !busy; s++) {
      vv_request_queue_t& slot = requestQueue[s];
      if (!slot.currentVV || slot.activeStages >= slot.currentVV->maxStages ||
          !slot.queueListHead)
        continue;
      quor_file_queue_ent_t* e = slot.queueListHead;
      sched_UnlinkQent(&slot.queueListHead, &slot.queueListTail, e, nullptr);
      int gi = chooseGroup(slot, e, lastGroup, grouping);
      if (gi < 0) {
        fprintf(stderr, "*** %s: (Internal error) no matching or free group entry found for offset %d, file %s\n",
                __func__, e->RelPosition, e->path);
        sched_LinkQentByPosition(&slot.queueListHead, &slot.queueListTail, e, SCHED_LIST_REQUEST);
        continue;
      }
      handled++;
      lastGroup = gi;
      stage_group_entry_t& g = slot.stageGroupList[gi];
      e->reqQueueInx = s;
      e->aggrGroupInx = gi;
      e->vvEntryAddr = slot.currentVV;
      e->queueTime = now;
      e->Flags &= SCHED_ON_TAPE | SCHED_SAME_POSITION;
      e->callbackAddr.sockaddr = callbackSockAddr;
      // Both requests go on the connection the file was queued from.
      quor_connection_t* conn = qelapi_HoldConnection(slot.currentVV->conHandle);
      int rc = -50;
      if (conn) {
        e->callbackAddr.id = qelapi_GetUniqueRequestIDOn(conn);
        if (idIsZero(e->callbackAddr.id)) {
          rc = -5000;
        } else {
          if (schedDebug) {
            fprintf(stderr, "%s: issuing quor_StageCallBack for %s\n", __func__, e->path);
            fprintf(stderr, "    Request Table Index: %u  Group: %d Entries: %d Issued: %d Completed: %d\n",
                    unsigned(s), gi, g.aggrEntryCount, g.aggrIssuedCount, g.aggrCompletedCount);
            fprintf(stderr, "    VV: %8.8s\n", slot.currentVV->PV1.Name);
            fprintf(stderr, "    RelPosition: %d\n", e->RelPosition);
            fprintf(stderr, "    RelPositionOffset: %lu\n", static_cast<unsigned long>(e->RelPositionOffset));
            fprintf(stderr, "    callbackAddr: %s\n", callbackNetAddrString);
          }
          rc = qelapi_StageCallBackOn(conn, e->path, 0, 0, 0, &e->callbackAddr, 2, &e->schedulerID,
                                      &e->BitfileObj);
          if (schedDebug) fprintf(stderr, "quor_StageCallBack returned result=%d\n", rc);
        }
        qelapi_ConnRelease(conn);
      }
      if (rc == 0 || rc == -115) {
        e->Flags |= SCHED_STAGE_ISSUED;
        if (++g.aggrIssuedCount == g.aggrEntryCount) slot.activeStages++;
        pthread_mutex_lock(&controlVarLock);
        pthread_mutex_lock(&stageQueueLock);
        sched_LinkQent(&stageQueue, &stageQueueTail, e, &stageCount, SCHED_LIST_STAGE);
        pthread_mutex_unlock(&stageQueueLock);
        pthread_mutex_unlock(&controlVarLock);
      } else if (rc == -16) {
        // A group made for this file alone goes back too.
        if (g.aggrIssuedCount == 0 && g.aggrCompletedCount == 0 && g.aggrEntryCount == 1) freeGroup(&g);
        e->aggrGroupInx = 0;
        sched_LinkQentByPosition(&slot.queueListHead, &slot.queueListTail, e, SCHED_LIST_REQUEST);
        pthread_mutex_lock(&controlVarLock);
        if (stageCount > 0) quor_BusyWaitForCompletion = 1;
        pthread_mutex_unlock(&controlVarLock);
        busy = true;
      } else {
        if (rc == -22) {
          if (schedDebug)
            fprintf(stderr, "[debug]EINVAL error - hmmm - must be tape-only hierarchy. Linking %s onto <ready> queue\n",
                    e->path);
        } else {
          fprintf(stderr, "*** Background stage failed with error %d for file %s\n", rc, e->path);
          e->Flags |= SCHED_STAGE_FAILED;
        }
        // The stage has ended: the reader meets the failure.
        if (++g.aggrIssuedCount == g.aggrEntryCount) slot.activeStages++;
        countCompletion(e, true);
        linkReady(e);
      }
    }
    if (handled == 0 || busy) break;
  }
  pthread_mutex_unlock(&requestQueueLock);
  return busy ? 1 : 0;
}

// Writes the STAGE_COMPLETED line of a finished stage.
void stageCompletedLine(FILE* out, const quor_reqid_t& id, int status, const char* path) {
  time_t t = time(nullptr);
  struct tm tm;
  localtime_r(&t, &tm);
  char* text = quor_RequestIDtoString(id);
  fprintf(out, "%2.2d:%2.2d:%2.2d STAGE_COMPLETED\tID: %s \tSTATUS: %d\tPATH: \"%s\"\n",
          tm.tm_hour, tm.tm_min, tm.tm_sec, text ? text : "", status, path);
  fflush(out);
  free(text);
}

// One completion report: ends its file's stage when a staged file carries
// its request id; a report for any other id changes nothing.
void takeCallback(const bfs_callback_ret_msg_t& msg) {
  if (schedDebug) debugReqid("sched_CheckCompletedStages: got callback from bfs. Reqid=%s  retcode=%d\n", msg.reqid, msg.retcode);
  pthread_mutex_lock(&requestQueueLock);
  pthread_mutex_lock(&stageQueueLock);
  quor_file_queue_ent_t* e = stageQueue;
  while (e && quor_RequestIDCompare(&e->callbackAddr.id, &msg.reqid) != 0) e = e->next;
  if (e) sched_UnlinkQent(&stageQueue, &stageQueueTail, e, nullptr);
  pthread_mutex_unlock(&stageQueueLock);
  if (!e) {
    pthread_mutex_unlock(&requestQueueLock);
    if (schedDebug)
      debugReqid("/debug/Stage entry for BFS callback for reqID=%s retCode=%d not found\n", msg.reqid,
                 msg.retcode);
    return;
  }
  pthread_mutex_lock(&controlVarLock);
  stageCount--;
  quor_BusyWaitForCompletion = 0;
  int flags = bgStageFlags;
  FILE* out = bgMessageFD;
  pthread_mutex_unlock(&controlVarLock);
  countCompletion(e, false);
  if (schedDebug) fprintf(stderr, "/debug/BFS callback completed for file [%s]\n", e->path);
  if ((flags & QUOR_SCHED_MESSAGES) && out) stageCompletedLine(out, msg.reqid, msg.retcode, e->path);
  if (flags & QUOR_SCHED_BACKGROUND) {
    // Nobody takes files in a background session.
    free(e->path);
    memset(e, 0, sizeof *e);
  } else {
    linkReady(e);
  }
  pthread_mutex_unlock(&requestQueueLock);
}

// Reads exactly n bytes from a connection: the count read (short at end of
// file or when the peer goes quiet), or -1 on an error.
ssize_t readCallback(int fd, unsigned char* buf, size_t n) {
  size_t got = 0;
  while (got < n) {
    struct pollfd p = {fd, POLLIN, 0};
    int r = poll(&p, 1, kCallbackReadMs);
    if (r < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (r <= 0) break;
    ssize_t k = read(fd, buf + got, n - got);
    if (k < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (k < 0) {
      fprintf(stderr, "%s: error %d reading callback message.\n", "sched_CheckCompletedStages", errno);
      return -1;
    }
    if (k == 0) break;
    got += size_t(k);
  }
  return ssize_t(got);
}

// Takes the completion reports waiting on the callback socket: the first
// within firstWaitMs, each further one within five seconds.
void sched_CheckCompletedStages(int firstWaitMs) {
  int waitMs = firstWaitMs;
  for (;;) {
    struct pollfd p = {callbackFd, POLLIN, 0};
    int r = poll(&p, 1, waitMs);
    if (r < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (r <= 0) return;
    int cfd = accept4(callbackFd, nullptr, nullptr, SOCK_CLOEXEC);
    if (cfd < 0) {
      if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK || errno == ECONNABORTED) continue;
      perror("accept");
      fprintf(stderr, "%s: error accepting callback connection from BFS\n", __func__);
      return;
    }
    waitMs = scaledMs(kNextCallbackWait);
    unsigned char xdr_msgbuf[1024];
    ssize_t got = readCallback(cfd, xdr_msgbuf, QEL_BFS_CALLBACK_RET_MSG_SIZE);
    close(cfd);
    if (got != QEL_BFS_CALLBACK_RET_MSG_SIZE) continue;
    bfs_callback_ret_msg_t msg;
    if (sched_DecodeCallback(xdr_msgbuf, size_t(got), &msg) != 0) {
      fprintf(stderr, "%s: Problem decoding BFS callback message\n", __func__);
      continue;
    }
    takeCallback(msg);
  }
}

// Asks after the oldest outstanding request, and the next oldest while
// they turn out lost: a lost file still on tape goes back to its request
// list, one now on disk is handed over.
void schedPingStageQueue(void) {
  for (;;) {
    pthread_mutex_lock(&stageQueueLock);
    quor_file_queue_ent_t* oldest = nullptr;
    for (quor_file_queue_ent_t* e = stageQueue; e; e = e->next)
      if (!oldest || e->queueTime < oldest->queueTime) oldest = e;
    quor_reqid_t id{};
    bfs_bitfile_obj_handle_t bf{};
    int conHandle = -1;
    if (oldest) {
      id = oldest->schedulerID;
      bf = oldest->BitfileObj;
      conHandle = oldest->vvEntryAddr->conHandle;
    }
    pthread_mutex_unlock(&stageQueueLock);
    if (!oldest) return;
    quor_connection_t* conn = qelapi_HoldConnection(conHandle);
    int32_t status = -1;
    int rc = conn ? qelapi_GetAsyncStatusOn(conn, id, &bf, &status) : -50;
    if (schedDebug)
      fprintf(stderr, "/debug/%s: quor_GetAsyncStatus for oldest entry (%s) PV: %8.8s returned %d, status=%d\n",
              __func__, oldest->path, oldest->vvEntryAddr->PV1.Name, rc, int(status));
    if (rc != 0 || status != 0) {
      qelapi_ConnRelease(conn);
      return;
    }
    // A report that went out just before the answer may be waiting already.
    sched_CheckCompletedStages(0);
    // Once on the ready list the command thread may take it meanwhile.
    pthread_mutex_lock(&stageQueueLock);
    pthread_mutex_lock(&readyQueueLock);
    bool stillStaging = oldest->listState == SCHED_LIST_STAGE;
    pthread_mutex_unlock(&readyQueueLock);
    pthread_mutex_unlock(&stageQueueLock);
    if (!stillStaging) {
      qelapi_ConnRelease(conn);
      continue;
    }
    if (schedDebug) fprintf(stderr, "/debug/ping loop:  BFS lost track of request for %s\n", oldest->path);
    pthread_mutex_lock(&requestQueueLock);
    pthread_mutex_lock(&controlVarLock);
    pthread_mutex_lock(&stageQueueLock);
    sched_UnlinkQent(&stageQueue, &stageQueueTail, oldest, &stageCount);
    quor_BusyWaitForCompletion = 0;
    pthread_mutex_unlock(&stageQueueLock);
    pthread_mutex_unlock(&controlVarLock);
    // The request lock stays held, so a status query never finds the file
    // between lists.
    quor_xfileattr_t x;
    memset(&x, 0, sizeof x);
    rc = qelapi_FileGetXAttributesOn(conn, oldest->path, 8, 0, &x);
    qelapi_ConnRelease(conn);
    int level = 0;
    bool onTape = rc == 0 && sched_Residency(&x, &level) == 1;
    if (rc == 0) qelapi_FreeXAttrsLists(&x);
    vv_request_queue_t* slot = nullptr;
    stage_group_entry_t* g = groupOf(oldest, &slot);
    if (onTape && g) {
      // Issued again later; the group no longer counts as fully issued.
      if (--g->aggrIssuedCount == g->aggrEntryCount - 1) slot->activeStages--;
      if (g->aggrIssuedCount == 0 && g->aggrCompletedCount == 0) freeGroup(g);
      oldest->Flags &= ~SCHED_STAGE_ISSUED;
      sched_LinkQentByPosition(&slot->queueListHead, &slot->queueListTail, oldest, SCHED_LIST_REQUEST);
    } else {
      countCompletion(oldest, false);
      linkReady(oldest);
    }
    pthread_mutex_unlock(&requestQueueLock);
  }
}

void* schedulingThread(void*) {
  // Every call names its volume's connection; the thread holds none.
  qelapi_tcontext_t* ctx = qelapi_GetThreadContext();
  if (ctx) qelapi_BindThreadConnection(ctx, nullptr);
  long long nextPing = 0;
  for (;;) {
    time_t now = qelapi_time();
    sched_LockAll();
    if (sessionInProgress && (bgStageFlags & QUOR_SCHED_BACKGROUND) && !stageQueue &&
        !currentSchedVV && !anySlotBusy()) {
      if (schedDebug) fprintf(stderr, "/debug/%s: Initiating Background Stage cleanup\n", __func__);
      sched_FreeAllLocked();
      pthread_cond_broadcast(&controlVarCondition);
      sched_UnlockAll();
      continue;
    }
    sched_UnlockAll();

    pthread_mutex_lock(&controlVarLock);
    for (;;) {
      pthread_mutex_lock(&stageQueueLock);
      bool empty = stageQueue == nullptr;
      pthread_mutex_unlock(&stageQueueLock);
      if (sessionInProgress || !empty) break;
      pthread_cond_wait(&controlVarCondition, &controlVarLock);
    }
    pthread_cond_broadcast(&controlVarCondition);
    pthread_mutex_unlock(&controlVarLock);

    pthread_mutex_lock(&stageQueueLock);
    bool outstanding = stageQueue != nullptr;
    pthread_mutex_unlock(&stageQueueLock);
    if (outstanding) {
      sched_CheckCompletedStages(scaledMs(kFirstCallbackWait));
      if (nowMs() >= nextPing) {
        schedPingStageQueue();
        nextPing = nowMs() + scaledMs(kPingSeconds);
      }
    }
    sched_IssueStageCalls(now);
    ozugw_ThreadSleep(kCycleSeconds, 0);
  }
  return nullptr;
}

}  // namespace

int sched_DecodeCallback(const unsigned char* buf, size_t len, bfs_callback_ret_msg_t* msg) {
  if (!buf || !msg || len != QEL_BFS_CALLBACK_RET_MSG_SIZE) return -1;
  memset(msg, 0, sizeof *msg);
  XDR x;
  xdrmem_create(&x, reinterpret_cast<char*>(const_cast<unsigned char*>(buf)), u_int(len), XDR_DECODE);
  bool ok = qel_xdr_bfs_callback_ret_msg_t(&x, msg) && xdr_getpos(&x) == len;
  xdr_destroy(&x);
  return ok ? 0 : -1;
}

int sched_StartThread(void) {
  const char* fn = "schedulingThread";
  quor_sockaddr_t addr = qelapi_tcp_ctl_host;
  char err[256] = "";
  int fd = quor_net_socket(&addr, 1, 0, err, sizeof err);
  if (fd < 0) {
    fprintf(stderr, "*** %s: error %d trying to create callback socket [%s]\n", fn, errno, err);
    return -1;
  }
  fcntl(fd, F_SETFD, FD_CLOEXEC);
  quor_sockaddr_t bound;
  int rc = ozugw_SockBindToRestrictedPort(fd, &addr, &bound);
  if (rc == 0) rc = quor_net_getsockname(fd, &bound, nullptr, 0);
  if (rc != 0) {
    quor_net_getuniversaladdress(&addr, callbackNetAddrString, sizeof callbackNetAddrString, nullptr, 0);
    fprintf(stderr, "*** %s: error %d trying to bind callback socket %d, host addr: %s\n", fn,
            rc < 0 ? -rc : errno, fd, callbackNetAddrString);
    close(fd);
    return -1;
  }
  quor_net_getuniversaladdress(&bound, callbackNetAddrString, sizeof callbackNetAddrString, nullptr, 0);
  if (schedDebug) fprintf(stderr, "/debug/%s: using local network addr %s\n", fn, callbackNetAddrString);
  // A failed listen fails the scheduler's start, never the process.
  if (listen(fd, 4096) != 0) {
    perror("listen");
    fprintf(stderr, "%s: fatal error on listen()\n", fn);
    close(fd);
    return -1;
  }
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
  callbackFd = fd;
  callbackSockAddr = bound;
  pthread_t tid;
  if (ozugw_ThreadCreate(&tid, nullptr, schedulingThread, nullptr) != 0) {
    fprintf(stderr, "***%s: error %d launching background scheduler thread\n", "quor_SchedInitLib", errno);
    close(fd);
    callbackFd = -1;
    return -1;
  }
  pthread_detach(tid);
  return 0;
}
