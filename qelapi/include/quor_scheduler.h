/* The stage scheduler: a command queues the files it will read, the
 * scheduler groups them by the tape volume holding their data, orders each
 * volume by tape position, recalls them in the background a few volumes at a
 * time and hands each file over once it is on disk.
 *
 * A command's round: quorex_SchedInitQueue, quorex_SchedAddFile per file,
 * quorex_SchedSortQueue, then a session (quorex_SchedInitBGStage and
 * quorex_GetNextStagedFile until it answers -2) or a walk with
 * quorex_SchedGetQueueEntry, and quorex_SchedFreeQueue at the end. One
 * command thread drives a round at a time.
 *
 * quorex_SchedInitQueue     starts the scheduler on first use (its thread and
 *                           callback socket; -1 when either cannot be set
 *                           up) and empties the queues: 0. Waits while a
 *                           background session runs; -6005 while a
 *                           foreground one does.
 * quorex_SchedAddFile       queues a file (type 129 or 131) under the volume
 *                           of its first storage level holding data, for the
 *                           calling thread's connection. attrsIn NULL: the
 *                           attributes are fetched. Outputs may be NULL;
 *                           *fileRes 1 on tape, 0 on disk; *vvId all zeros
 *                           for a disk file. 0; -14/-2 for a null/empty path;
 *                           -22 not started; -6005 during a session; -21 not
 *                           a file; -9 no level with data; -12 no memory; or
 *                           the attribute call's error. A disk file's level
 *                           in attrsIn gets its first volume id and position
 *                           cleared.
 * quorex_SchedSortQueue     orders each volume's files by (RelPosition,
 *                           RelPositionOffset): 0, or -22 when not started.
 * quorex_SchedGetQueueEntry the entry at index offsetIn (of vvid's files, or
 *                           of all volumes in queue order for NULL):
 *                           *offsetOut = offsetIn + 1, *pathPtr the
 *                           scheduler's own path (valid until the queue is
 *                           freed), volPtr (13 bytes) the volume's first
 *                           physical volume label, terminated. 0; -9 past
 *                           the end; -2 volume not
 *                           queued; -14 null output; -22 negative index or
 *                           not started.
 * quorex_SchedFreeQueue     empties the queues; while a session runs it only
 *                           makes it a background one, which the scheduling
 *                           thread frees once its stages are done.
 * quorex_SchedDumpQueue     debug listing on standard output (0 to 3).
 * quorex_CompareSchedHandles 0 when equal field by field, else 1.
 * quorex_SchedLookupHandle  0 when a queued file has the handle (pointers to
 *                           the scheduler's records may be NULL), -1 if none.
 * quorex_SchedInitBGStage   starts a session: Flags 0x1 background, 0x2 a
 *                           STAGE_COMPLETED line per stage to messageFd,
 *                           0x10000 files at one tape position staged as one
 *                           group; maxStages per volume (15 when <= 0);
 *                           maxVVStages volumes at once (1 when <= 0); VVID
 *                           one volume or NULL. Disk files become ready at
 *                           once. 0 with the counts; -22 not started; -16 a
 *                           session runs; -12 no memory; -2 VVID not queued.
 * quorex_GetNextStagedFile  the next ready file: 0 with *pathptr (a new
 *                           copy the caller frees) and *handle; -11 while
 *                           stages are outstanding; -2 when nothing is left;
 *                           -22 not started; -14 null arguments; -12 no
 *                           memory for the copy (the file stays ready).
 * quorex_SchedQueryFileStatus where a queued file is: 0 with *status 2
 *                           ready, 3 staging, 1 waiting for its stage, -2
 *                           none of these (handed over, or not part of the
 *                           session), and *pathptr a new copy the
 *                           caller frees; -2 (status -2) when no queued file
 *                           has the handle; -22 not started; -14 null
 *                           arguments.
 * quorex_SchedSessionIsActive nonzero while a session is in progress.
 */
#ifndef QUOR_SCHEDULER_H
#define QUOR_SCHEDULER_H

#include <stdint.h>
#include <stdio.h>

#include "quor_types.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct quor_sched_handle {
  uint32_t vvidHash;      // hash of the file's volume
  uint32_t vvUniqueID;    // the volume's number in this round
  uint32_t fileHash;      // hash of the path
  uint32_t fileUniqueID;  // the file's number within its volume
} quor_sched_handle_t;

#define QUOR_SCHED_BACKGROUND 0x1
#define QUOR_SCHED_MESSAGES 0x2
#define QUOR_SCHED_GROUP_BY_POSITION 0x10000

struct quor_vv_queue_ent;
struct quor_file_queue_ent;

int quorex_SchedInitQueue(int flags);
int quorex_SchedAddFile(const char* pathname, quor_xfileattr_t* attrsIn, int* fileRes,
                        quor_sched_handle_t* handle, quoroid_t* vvId, int32_t* relPosition);
int quorex_SchedSortQueue(void);
int quorex_SchedGetQueueEntry(const quoroid_t* vvid, int offsetIn, int* offsetOut,
                              char** pathPtr, quor_sched_handle_t* handle, char* volPtr,
                              int32_t* relPosition, uint64_t* fileSize);
int quorex_SchedFreeQueue(void);
int quorex_SchedDumpQueue(int whichQueue);
int quorex_CompareSchedHandles(const quor_sched_handle_t* h1, const quor_sched_handle_t* h2);
int quorex_SchedLookupHandle(const quor_sched_handle_t* handle,
                             struct quor_vv_queue_ent** vvQueueEnt,
                             struct quor_file_queue_ent** queueEntry);
int quorex_SchedInitBGStage(int Flags, int maxStages, int maxVVStages, const quoroid_t* VVID,
                            FILE* messageFd, int* retQueuedCount, int* retReadyCount);
int quorex_GetNextStagedFile(char** pathptr, quor_sched_handle_t* handle);
int quorex_SchedQueryFileStatus(const quor_sched_handle_t* handle, int* status, char** pathptr);
int quorex_SchedSessionIsActive(void);

#ifdef __cplusplus
}
#endif

#endif
