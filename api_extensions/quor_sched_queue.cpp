// The stage scheduler's queue: volume entries with their file arrays, the
// volume lookup table, adding, sorting, walking and listing. See
// quor_scheduler.h for the calls and quor_sched_internal.h for the locks.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>

#include "quor_api.h"
#include "quor_api_internal.h"
#include "quor_sched_internal.h"
#include "quor_stage.h"

namespace {

// Shift in four bits a byte; once any of the top four bits is set, keep
// only those. Long inputs share few values, which the lookups allow for.
uint32_t hashStep(uint32_t h, unsigned char byte) {
  h = (h << 4) + byte;
  if (h & 0xF0000000u) h &= 0xF0000000u;
  return h;
}

// The calling thread's connection: the current one, as the next call on
// this thread would use it.
int callerConHandle(void) {
  qelapi_tcontext_t* ctx = qelapi_GetThreadContext();
  if (!ctx) return -1;
  qelapi_BindThreadCurrent(ctx);
  return quorex_GetThreadConHandle(ctx);
}

bool positionLess(const quor_file_queue_ent_t& a, const quor_file_queue_ent_t& b) {
  if (a.RelPosition != b.RelPosition) return a.RelPosition < b.RelPosition;
  return a.RelPositionOffset < b.RelPositionOffset;
}

// Rows are kept in (hash, volume id, connection) order: sorted by hash as
// the handles need, and the rows of one hash (most volumes share a few
// hashes) in an order a bisection can search too.
int compareRow(const vv_hash_queue_t& row, uint32_t h, const quoroid_t* VVID, int conHandle) {
  if (row.hash != h) return row.hash < h ? -1 : 1;
  int c = memcmp(row.vvEntry->VVID.Bytes, VVID->Bytes, QUOROID_LEN);
  if (c != 0) return c;
  return row.vvEntry->conHandle < conHandle ? -1 : row.vvEntry->conHandle > conHandle ? 1 : 0;
}

// The first row not below the key, or vvHashTableCount.
int firstRowOf(uint32_t h, const quoroid_t* VVID, int conHandle) {
  int lo = 0, hi = vvHashTableCount;
  while (lo < hi) {
    int mid = (lo + hi) / 2;
    if (compareRow(vvHashTable[mid], h, VVID, conHandle) < 0) lo = mid + 1;
    else hi = mid;
  }
  return lo;
}

// The volume's label, NUL-terminated, into out (QUOR_PV_NAME_LEN + 1).
void labelOf(const quor_vv_queue_ent_t* vv, char* out) {
  memcpy(out, vv->PV1.Name, QUOR_PV_NAME_LEN);
  out[QUOR_PV_NAME_LEN] = '\0';
}

}  // namespace

uint32_t quorex_HashVVID(const quoroid_t* VVID, int conHandle) {
  uint32_t h = 0;
  for (unsigned char b : VVID->Bytes) h = hashStep(h, b);
  unsigned char c[sizeof conHandle];
  memcpy(c, &conHandle, sizeof c);
  for (unsigned char b : c) h = hashStep(h, b);
  return h % 67;
}

uint32_t quorex_HashPathname(const char* path) {
  uint32_t h = 0;
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(path); *p; p++)
    h = hashStep(h, *p);
  return h % 131;
}

int quorex_SchedFindVV(const quoroid_t* VVID, int conHandle, int create,
                       quor_vv_queue_ent_t** vvQueueEnt) {
  uint32_t h = quorex_HashVVID(VVID, conHandle);
  int at = firstRowOf(h, VVID, conHandle);
  if (at < vvHashTableCount && compareRow(vvHashTable[at], h, VVID, conHandle) == 0) {
    *vvQueueEnt = vvHashTable[at].vvEntry;
    return 0;
  }
  if (!create) return -2;
  auto* v = static_cast<quor_vv_queue_ent_t*>(calloc(1, sizeof(quor_vv_queue_ent_t)));
  if (!v) {
    fprintf(stderr, "calloc problem in %s (file %s,line %d)\n", __func__, __FILE__, __LINE__);
    return -12;
  }
  auto* t = static_cast<vv_hash_queue_t*>(
      realloc(vvHashTable, sizeof(vv_hash_queue_t) * size_t(vvHashTableCount + 1)));
  if (!t) {
    fprintf(stderr, "malloc problem in %s (file %s,line %d)\n", __func__, __FILE__, __LINE__);
    free(v);
    return -12;
  }
  vvHashTable = t;
  v->uniqueID = vvHashTableCount;
  v->hash = h;
  v->conHandle = conHandle;
  v->VVID = *VVID;
  if (schedQueueTail) schedQueueTail->next = v;
  else schedQueue = v;
  schedQueueTail = v;
  // The row goes where the sort puts it; the rows keep their index.
  memmove(&vvHashTable[at + 1], &vvHashTable[at],
          sizeof(vv_hash_queue_t) * size_t(vvHashTableCount - at));
  vvHashTable[at].hash = h;
  vvHashTable[at].vvEntry = v;
  vvHashTableCount++;
  for (int i = 0; i < vvHashTableCount; i++) vvHashTable[i].entryInx = i;
  *vvQueueEnt = v;
  return 1;
}

int sched_Residency(const quor_xfileattr_t* attrs, int* level) {
  if (attrs->Attrs.Type != 129 && attrs->Attrs.Type != 131) return -21;
  for (int l = 0; l < QUOR_MAX_LEVELS; l++) {
    const bf_sc_attrib_t& sc = attrs->SCAttrib[l];
    if (!(sc.Flags & 0x4)) continue;
    if (sc.BytesAtLevel == 0) return -9;
    *level = l;
    return (sc.Flags & 0x1) ? 0 : 1;
  }
  return -9;
}

int quorex_SchedAddFile(const char* pathname, quor_xfileattr_t* attrsIn, int* fileRes,
                        quor_sched_handle_t* handle, quoroid_t* vvId, int32_t* relPosition) {
  QEL_TRACE_ENTRY();
  if (fileRes) *fileRes = 0;
  if (handle) memset(handle, 0, sizeof *handle);
  if (vvId) memset(vvId, 0, sizeof *vvId);
  if (relPosition) *relPosition = 0;
  if (!schedStarted) return -22;
  if (!pathname) return -14;
  if (!pathname[0]) return -2;
  pthread_mutex_lock(&controlVarLock);
  int inSession = sessionInProgress;
  pthread_mutex_unlock(&controlVarLock);
  // Entries are linked into a session's lists by address: none may move.
  if (inSession) return -6005;

  int conHandle = callerConHandle();
  quor_xfileattr_t fetched;
  quor_xfileattr_t* attrs = attrsIn;
  if (!attrs) {
    memset(&fetched, 0, sizeof fetched);
    int rc = quor_FileGetXAttributes(pathname, 8, 0, &fetched);
    if (rc != 0) return rc;
    attrs = &fetched;
  }
  int level = 0;
  int rc = sched_Residency(attrs, &level);
  int onTape = rc;
  bf_sc_attrib_t& sc = attrs->SCAttrib[rc >= 0 ? level : 0];
  if (onTape == 0) {
    // Every disk file of a connection falls into one entry.
    memset(&sc.VVAttrib[0].VVID, 0, sizeof(quoroid_t));
    sc.VVAttrib[0].RelPosition = 0;
    sc.VVAttrib[0].RelPositionOffset = 0;
  }
  quor_vv_queue_ent_t* vv = nullptr;
  if (rc >= 0) {
    pthread_mutex_lock(&schedQueueLock);
    rc = quorex_SchedFindVV(&sc.VVAttrib[0].VVID, conHandle, 1, &vv);
    if (rc == 1) {
      const pv_list_t* pv = sc.VVAttrib[0].PVList;
      if (sc.NumberOfVVs > 0 && pv && pv->List_len > 0 && pv->List_val)
        memcpy(vv->PV1.Name, pv->List_val[0].Name, QUOR_PV_NAME_LEN);
    }
    if (rc >= 0 && vv->filecount == vv->capacity) {
      int cap = vv->capacity ? vv->capacity * 2 : 4;
      auto* grown = static_cast<quor_file_queue_ent_t*>(
          realloc(vv->queueList, sizeof(quor_file_queue_ent_t) * size_t(cap)));
      if (grown) {
        vv->queueList = grown;
        vv->capacity = cap;
      } else {
        fprintf(stderr, "malloc problem in %s (file %s,line %d)\n", __func__, __FILE__,
                __LINE__);
        rc = -12;
      }
    }
    char* copy = rc >= 0 ? strdup(pathname) : nullptr;
    if (rc >= 0 && !copy) rc = -12;
    if (rc >= 0) {
      quor_file_queue_ent_t* e = &vv->queueList[vv->filecount];
      memset(e, 0, sizeof *e);
      if (onTape) e->Flags = SCHED_ON_TAPE;
      e->path = copy;
      e->RelPosition = sc.VVAttrib[0].RelPosition;
      e->RelPositionOffset = sc.VVAttrib[0].RelPositionOffset;
      e->fileSize = attrs->Attrs.DataLength;
      e->uniqueID = vv->filecount;
      e->hash = quorex_HashPathname(pathname);
      e->handle = {vv->hash, uint32_t(vv->uniqueID), e->hash, uint32_t(e->uniqueID)};
      vv->filecount++;
      if (handle) *handle = e->handle;
      if (fileRes) *fileRes = onTape;
      if (vvId) *vvId = vv->VVID;
      if (relPosition) *relPosition = e->RelPosition;
      rc = 0;
    }
    pthread_mutex_unlock(&schedQueueLock);
  }
  if (attrs == &fetched) qelapi_FreeXAttrsLists(&fetched);
  return rc;
}

int quorex_SchedSortQueue(void) {
  QEL_TRACE_ENTRY();
  if (!schedStarted) return -22;
  pthread_mutex_lock(&schedQueueLock);
  for (quor_vv_queue_ent_t* v = schedQueue; v; v = v->next)
    if (v->filecount > 1) std::sort(v->queueList, v->queueList + v->filecount, positionLess);
  pthread_mutex_unlock(&schedQueueLock);
  return 0;
}

int quorex_SchedGetQueueEntry(const quoroid_t* vvid, int offsetIn, int* offsetOut,
                              char** pathPtr, quor_sched_handle_t* handle, char* volPtr,
                              int32_t* relPosition, uint64_t* fileSize) {
  QEL_TRACE_ENTRY();
  if (!schedStarted) return -22;
  if (!offsetOut || !pathPtr || !handle || !volPtr || !relPosition || !fileSize) return -14;
  if (offsetIn < 0) return -22;
  int conHandle = vvid ? callerConHandle() : -1;
  pthread_mutex_lock(&schedQueueLock);
  quor_vv_queue_ent_t* v = schedQueue;
  int rc = 0;
  if (vvid) rc = quorex_SchedFindVV(vvid, conHandle, 0, &v);
  int index = offsetIn;
  quor_file_queue_ent_t* e = nullptr;
  for (; rc == 0 && v && !e; v = vvid ? nullptr : v->next) {
    if (index < v->filecount) {
      e = &v->queueList[index];
      break;
    }
    index -= v->filecount;
  }
  if (rc == 0 && !e) rc = -9;
  if (rc == 0) {
    *offsetOut = offsetIn + 1;
    *pathPtr = e->path;
    *handle = e->handle;
    labelOf(v, volPtr);
    *relPosition = e->RelPosition;
    *fileSize = e->fileSize;
  }
  pthread_mutex_unlock(&schedQueueLock);
  return rc;
}

int quorex_CompareSchedHandles(const quor_sched_handle_t* h1, const quor_sched_handle_t* h2) {
  if (!h1 || !h2) return 1;
  return h1->vvidHash == h2->vvidHash && h1->vvUniqueID == h2->vvUniqueID &&
                 h1->fileHash == h2->fileHash && h1->fileUniqueID == h2->fileUniqueID
             ? 0
             : 1;
}

int sched_LookupHandleLocked(const quor_sched_handle_t* handle, quor_vv_queue_ent_t** vv,
                             quor_file_queue_ent_t** ent) {
  for (quor_vv_queue_ent_t* v = schedQueue; v; v = v->next) {
    // A handle names its volume by hash and number; other volumes cannot
    // hold it.
    if (v->hash != handle->vvidHash || uint32_t(v->uniqueID) != handle->vvUniqueID) continue;
    for (int i = 0; i < v->filecount; i++) {
      if (quorex_CompareSchedHandles(&v->queueList[i].handle, handle) == 0 &&
          v->queueList[i].path) {
        if (vv) *vv = v;
        if (ent) *ent = &v->queueList[i];
        return 0;
      }
    }
  }
  return -1;
}

int quorex_SchedLookupHandle(const quor_sched_handle_t* handle, quor_vv_queue_ent_t** vvQueueEnt,
                             quor_file_queue_ent_t** queueEntry) {
  if (!handle || !schedStarted) return -1;
  pthread_mutex_lock(&schedQueueLock);
  int rc = sched_LookupHandleLocked(handle, vvQueueEnt, queueEntry);
  pthread_mutex_unlock(&schedQueueLock);
  return rc;
}

int quorex_SchedDumpQueue(int whichQueue) {
  switch (whichQueue) {
    case 0: {
      if (!schedStarted) return -22;
      pthread_mutex_lock(&schedQueueLock);
      printf("--------- Scheduling Queue Contents [Entry count: %d] ---------\n",
             vvHashTableCount);
      for (quor_vv_queue_ent_t* v = schedQueue; v; v = v->next) {
        char label[QUOR_PV_NAME_LEN + 1];
        labelOf(v, label);
        printf("------------------\n");
        printf("VV Entry %d File count: %d 1st PV: %s\n", v->uniqueID, v->filecount, label);
        for (int i = 0; i < v->filecount; i++) {
          const quor_file_queue_ent_t& e = v->queueList[i];
          printf("    File Entry %d UniqueID: %d Hash: %d\n", i, e.uniqueID, int(e.hash));
          printf("    Path........... %s\n", e.path ? e.path : "");
          printf("    Relative Pos... %d\n", e.RelPosition);
          printf("    Relative Position Offset... %lu\n",
                 static_cast<unsigned long>(e.RelPositionOffset));
        }
      }
      fflush(stdout);
      pthread_mutex_unlock(&schedQueueLock);
      return 0;
    }
    case 1:
      return 0;
    case 2:
      printf("--------- Stage In-Progress Queue Contents ---------\n");
      return 0;
    case 3:
      printf("--------- Completed Stage Queue Contents ---------\n");
      return 0;
    default:
      printf("%s: bad queue type: %d\n", "quorex_SchedDumpQueue", whichQueue);
      return -22;
  }
}
