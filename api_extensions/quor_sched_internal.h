// The stage scheduler's records, process-wide state and the helpers its
// three files share (quor_sched_queue.cpp: the queue and volume table;
// quor_sched_session.cpp: start-up, sessions and hand-over;
// quor_sched_thread.cpp: the scheduling thread). Library code and its tests.
//
// Locks, always taken in this order (a path may skip any of them):
//   schedQueueLock -> requestQueueLock -> controlVarLock -> stageQueueLock
//   -> readyQueueLock
// sched_LockAll / sched_UnlockAll take and release all five.
//
// Who writes what: the command thread builds the queue and starts, hands
// over, queries and frees a session; the scheduling thread gives volumes to
// request slots, issues stages, takes callbacks, polls and cleans up a
// finished background session. Every field below is read and written under
// the lock named beside it.
#ifndef QUOR_SCHED_INTERNAL_H
#define QUOR_SCHED_INTERNAL_H

#include <pthread.h>
#include <stdio.h>
#include <time.h>

#include <atomic>

#include "quor_scheduler.h"
#include "quor_types.h"

#define SCHED_ON_TAPE 0x80000000u     // needs a stage
#define SCHED_SAME_POSITION 0x40000000u  // one of several files at a tape position
#define SCHED_STAGE_ISSUED 0x2u
#define SCHED_STAGE_FAILED 0x4u

// Which session list an entry is on; WAITING: a tape file of the session
// whose volume has not reached a request slot yet (on no list).
enum {
  SCHED_LIST_NONE = 0,
  SCHED_LIST_REQUEST = 1,
  SCHED_LIST_READY = 2,
  SCHED_LIST_STAGE = 3,
  SCHED_LIST_WAITING = 4
};

typedef struct quor_file_queue_ent {
  struct quor_file_queue_ent* next;
  struct quor_file_queue_ent* prev;
  uint32_t Flags;
  int uniqueID;
  uint32_t hash;
  char* path;
  quor_sched_handle_t handle;
  uint64_t fileSize;
  int32_t RelPosition;
  uint64_t RelPositionOffset;
  int listState;  // SCHED_LIST_*
  int reqQueueInx;
  int aggrGroupInx;
  struct quor_vv_queue_ent* vvEntryAddr;
  quor_reqid_t schedulerID;
  time_t queueTime;
  bfs_callback_addr_t callbackAddr;
  bfs_bitfile_obj_handle_t BitfileObj;
} quor_file_queue_ent_t;

typedef struct quor_vv_queue_ent {
  struct quor_vv_queue_ent* next;
  uint32_t hash;
  int conHandle;
  int uniqueID;
  quoroid_t VVID;
  pv_list_element_t PV1;
  int filecount;
  int capacity;  // entries allocated in queueList
  quor_file_queue_ent_t* queueList;
  int entriesToStage;
  int maxStages;
} quor_vv_queue_ent_t;

typedef struct vv_hash_queue {
  int entryInx;
  uint32_t hash;
  quor_vv_queue_ent_t* vvEntry;
} vv_hash_queue_t;

typedef struct stage_group_entry {
  int aggrInx;  // -1 when free
  int32_t aggrRelPosition;
  int aggrEntryCount;
  int aggrIssuedCount;
  int aggrCompletedCount;
} stage_group_entry_t;

typedef struct vv_request_queue {
  int reqQueueInx;
  quor_vv_queue_ent_t* currentVV;
  int groupListSize;
  quor_vv_queue_ent_t* previousVV;
  int entriesToStage;
  int activeStages;
  int completedStages;
  stage_group_entry_t* stageGroupList;
  quor_file_queue_ent_t* queueListHead;
  quor_file_queue_ent_t* queueListTail;
} vv_request_queue_t;

extern pthread_mutex_t controlVarLock, schedQueueLock, requestQueueLock, stageQueueLock,
    readyQueueLock;
extern pthread_cond_t controlVarCondition;

// schedQueueLock
extern quor_vv_queue_ent_t *schedQueue, *schedQueueTail;
extern vv_hash_queue_t* vvHashTable;
extern int vvHashTableCount;
// requestQueueLock (with schedQueueLock too when written)
extern quor_vv_queue_ent_t* currentSchedVV;
extern int vvsToStage, vvsStaged;
// requestQueueLock
extern vv_request_queue_t* requestQueue;
extern int requestQueueSize;  // slots allocated
extern int requestSlotsInUse;  // slots this session may use
// controlVarLock
extern int sessionInProgress;
extern int bgStageFlags;
extern FILE* bgMessageFD;
extern int stageMax;
extern int maxConcurrentVVs;
extern int stageCount;
extern int quor_BusyWaitForCompletion;
// stageQueueLock
extern quor_file_queue_ent_t *stageQueue, *stageQueueTail;
// readyQueueLock
extern quor_file_queue_ent_t *readyQueue, *readyQueueTail;

extern int schedDebug;             // OZU_DEBUG_AUTOSCHEDULER, set once at start-up
extern std::atomic<int> schedStarted;  // set once, before any session

void sched_LockAll(void);
void sched_UnlockAll(void);

// List primitives: append at the tail, remove from anywhere, insert in
// (RelPosition, RelPositionOffset) order. A counter, when given, counts the
// change; the entry's listState records the list.
void sched_LinkQent(quor_file_queue_ent_t** head, quor_file_queue_ent_t** tail,
                    quor_file_queue_ent_t* ent, int* counter, int state);
void sched_UnlinkQent(quor_file_queue_ent_t** head, quor_file_queue_ent_t** tail,
                      quor_file_queue_ent_t* ent, int* counter);
void sched_LinkQentByPosition(quor_file_queue_ent_t** head, quor_file_queue_ent_t** tail,
                              quor_file_queue_ent_t* ent, int state);

// Empties every list, slot and the queue; all locks held.
void sched_FreeAllLocked(void);
// The volume entry of (VVID, conHandle): 0 found, 1 created (create
// non-zero), -2 not queued, -12 no memory. schedQueueLock held.
int quorex_SchedFindVV(const quoroid_t* VVID, int conHandle, int create,
                       quor_vv_queue_ent_t** vvQueueEnt);
uint32_t quorex_HashVVID(const quoroid_t* VVID, int conHandle);
uint32_t quorex_HashPathname(const char* path);
// quorex_SchedLookupHandle with schedQueueLock held.
int sched_LookupHandleLocked(const quor_sched_handle_t* handle, quor_vv_queue_ent_t** vv,
                             quor_file_queue_ent_t** ent);
// Whether an attribute record says the file's data lies on tape only: 1
// on tape, 0 on disk, -21 not a file, -9 no level with data; *level gets
// the level (0..4) holding it.
int sched_Residency(const quor_xfileattr_t* attrs, int* level);

// Scheduling thread (quor_sched_thread.cpp): start-up of the callback
// socket and the thread; 0 or -1 after the message.
int sched_StartThread(void);

// Decodes one stage-completion report (exactly its 60-byte encoded size):
// 0, or -1 when len is another size or the record does not decode.
int sched_DecodeCallback(const unsigned char* buf, size_t len, bfs_callback_ret_msg_t* msg);

// For tests: the state's counts.
typedef struct sched_stats {
  int volumes, files, readyCount, stageListCount, requestListCount, slotsBusy, stageCount,
      sessionInProgress, busyWait;
} sched_stats_t;
void sched_GetStats(sched_stats_t* st);

#endif
