// The process-wide open-file table: a client descriptor is an index into
// qelapi_Filelist. Library code and its tests include this.
//
// qelapi_io_lookup     the open entry of a descriptor (0..249, state 1), else
//                      null. Takes no lock; the entry may change under the
//                      caller unless it holds the file.
// qelapi_io_setactive  claims the file for the calling thread: 0 when it now
//                      holds it, -2 when the descriptor is not open or the
//                      file is held (by another call, or by an open or close
//                      in progress). *entry gets the entry whenever the
//                      descriptor is open, null otherwise. A 0 must be
//                      matched by qelapi_io_setinactive.
// qelapi_io_setinactive releases the claim; returns 0.
// qelapi_io_getQUORFd  the gateway's descriptor of an open file, else -1.
//
// An open entry holds a reference to its connection (qelapi_ConnHold), so a
// connection closed under open files stays readable until the last of them
// is closed. Lock order: qelapi_FileLock, then an entry's fileLock, then
// qelapi_connection_lock.
#ifndef QUOR_FILES_H
#define QUOR_FILES_H

#include <pthread.h>
#include <stdint.h>

#include "quor_api_internal.h"
#include "quor_types.h"

#define QELAPI_MAX_OPEN_FILES 250

typedef struct qelapi_file {
  int state;            // 0 free, 1 open
  uint32_t xopenFlags;  // bit 0: the file has a direct data connection
  uint32_t xioFlags;
  int activeFlag;  // 1 while one call holds the file
  int fileLockCreated;
  pthread_mutex_t fileLock;  // guards activeFlag, lockingThread, iodCompleted, iorBytesXferred
  qelapi_tcontext_t* lockingThread;
  quor_connection_t* connection;  // holds a reference while the entry is open
  int quorFiledes;                // the gateway's descriptor
  int sockFiledes;                // direct data socket, -1 once closed
  int dataPort;
  quor_sockaddr_t dataAddr;
  int xio_in_progress;
  uint64_t xio_requested;
  uint64_t xio_remaining;
  uint32_t xio_msgRequestID;  // the open direct request, whose reply is still due
  quor_reqid_t requestID;
  quor_sockaddr_t listenSock;
  int listenFd;
  int lthreadActive;
  int transferActive;
  int aborted;
  char* userBuffer;
  int iodCompleted;
  uint64_t iorBytesXferred;
  uint64_t bytesToXfer;
} qelapi_file_t;

extern qelapi_file_t qelapi_Filelist[QELAPI_MAX_OPEN_FILES];

qelapi_file_t* qelapi_io_lookup(int Fildes);
int qelapi_io_setactive(qelapi_tcontext_t* ThreadState, int Fildes, qelapi_file_t** Entry);
int qelapi_io_setinactive(qelapi_file_t* Entry);
int qelapi_io_getQUORFd(int Fildes);

// Claims the lowest free entry and marks it held by the caller (so nothing
// else acts on it while it is filled): its index, or -24 when the table is
// full or the entry's mutex cannot be created (the message names Caller).
// qelapi_io_release_new frees such an entry again; qelapi_io_publish makes
// it an open file on conn (taking a reference) with gateway descriptor
// QuorFd and lets go of the hold.
int qelapi_io_claim_new(qelapi_tcontext_t* ThreadState, const char* Caller);
void qelapi_io_release_new(int Fildes);
void qelapi_io_publish(int Fildes, quor_connection_t* conn, int QuorFd);

#endif
