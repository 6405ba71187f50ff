// The archive transfer: its control record with the buffer pool, queues,
// request entries, locks and flags; reading archive ranges; writing local
// and piped archives.
#ifndef BRIX_XFER_BRIX_XFER_H
#define BRIX_XFER_BRIX_XFER_H

#include <pthread.h>
#include <stddef.h>
#include <stdint.h>
#include <sys/stat.h>

#include <atomic>

#include "brix.h"
#include "brix_blockio.h"
#include "brix_index.h"
#include "quor_net.h"
#include "quor_types.h"

enum IO_OPERATION { IOP_GET = 1, IOP_PUT = 2, IOP_COPY = 3 };
enum IOB_STATES {
  IOB_INIT_STATE = 0,
  IOB_STATE_READING = 1,
  IOB_STATE_FILLED = 2,
  IOB_STATE_WRITING = 3,
  IOB_STATE_COMPLETED = 4,
};
constexpr uint32_t IOB_FLAG_LOCK = 0x1;
constexpr uint32_t IOB_FLAG_COND = 0x2;
constexpr uint32_t IOB_FLAG_RESET = 0x4;
constexpr uint32_t IOB_FLAG_END_OF_RANGE = 0x80000000u;

struct io_buffer_t {
  io_buffer_t* next;
  io_buffer_t* allNext;  // every buffer of the pool, wherever it is
  int state;
  int bufID;
  int memType;
  int memID;
  int bufSize;
  int bufSizeBlocks;
  int bufBlocksAllocated;
  int bufBlocksFilled;
  unsigned char* buffer;
  uint32_t bufFlags;
  int ioCount;
  uint64_t iodOffset;
  uint64_t fileOffset;
  uint64_t newFileOffset;
  uint32_t dataRemaining;
  uint32_t dataMoved;
  uint32_t dataLength;
  pthread_mutex_t bufLock;
  pthread_cond_t bufCond;
};

struct io_bufreq_t {
  io_bufreq_t* next;
  int reqLockCreated;
  pthread_mutex_t reqLock;
  int reqCondCreated;
  pthread_cond_t reqCond;
  pthread_t waitingThread;
  uint64_t iodOffset;
  uint64_t dataAddress;
  uint64_t requestLength;
  int response;
};

struct connection_info_t {
  int conInx;
  int fileOpen;
  int localFD;
  int isactive;
  struct transfer_t* ctl;
  pthread_t threadId;
  int controlSocket;
  int listenSocket;
  int transferSocket;
  quor_sockaddr_t remoteAddr;          // the mover's control connection
  quor_sockaddr_t remoteTransferAddr;  // the mover's data connection
  quor_sockaddr_t localNetAddr;        // the data listen socket's address
  uint64_t fileOffset;
  io_bufreq_t ioRequest;
  double startTime, stopTime, overheadTime, mvrProtocolTime, waitNetTime, waitFileTime;
};

// One data socket of an lfx transfer (the gateway's direct data
// connection), and the local side of that transfer.
struct nw_sock_struct_t {
  int connected;
  int poolID;
  int socketFD;
  quor_sockaddr_t socketSockAddr;
};
enum BRIX_XFER_IO_TYPE { RMTIO_FILE = 0, RMTIO_CALLBACK = 1 };
// A send callback hands over the next filled buffer (0) or stops (non-zero).
typedef int (*lfx_read_callback_t)(io_buffer_t** retBuffer);
struct lfx_file_info_t {
  int ioType;
  int fileOpen;
  int localFD;
  char* localPath;
  struct stat localStat;
  int haveStat;
  uint64_t localSize;
  double fileSize;
  uint64_t currentPos;
  uint64_t currentFillPos;
  int remoteFD;
  char* remotePath;
  uid_t fileUid;
  gid_t fileGid;
  io_bufreq_t lfxBufRequest;
  lfx_read_callback_t readCallback;
  int (*writeCallback)(io_buffer_t* buf);
};

struct transfer_t {
  int archive_fd;
  double startTime;
  double stopTime;
  uint64_t srcOffset;
  uint64_t sinkOffset;
  uint64_t transferLength;
  std::atomic<int> transfer_active;
  int xferOperation;
  uint32_t Flags;
  pthread_t threadID;
  pthread_mutex_t controlLock;
  int ctlMutexCreated;
  pthread_cond_t localFileCond;
  int localFileCondCreated;
  // Broadcast under controlLock whenever a connection slot goes idle, so
  // that waits for transfer threads to end wake when they do.
  pthread_cond_t slotIdleCond;
  int slotIdleCondCreated;
  std::atomic<int> errorResyncFlag;
  std::atomic<int> abortSignalled;
  int xferThreadTerminateCount;
  int bufCount;
  pthread_mutex_t bufQueueLock;
  int bufQueueLockCreated;
  pthread_cond_t bufQueueCondition;
  int bufQueueCondCreated;
  io_buffer_t* bufAll;  // through allNext: freed whatever queue or thread holds them
  io_buffer_t* bufEmptyQueue;
  io_buffer_t* bufFillQueue;
  io_buffer_t* bufFillQueueTail;
  io_buffer_t* bufReadyQueue;
  io_bufreq_t* requestQueue;
  uint64_t requestedBytes;
  // Read by the listen threads for progress while the driver and the
  // local-file thread move them.
  std::atomic<uint64_t> totalBytesMoved;
  uint64_t bytesMoved;
  uint64_t currentSrcAddr;
  uint64_t currentFileAddr;
  std::atomic<uint64_t> currentSrcOffset;
  std::atomic<uint64_t> currentSinkOffset;
  // Sent in the current list write from buffers handed back for refilling
  // before the mover confirmed them: when the reply credits less, those
  // bytes must be read again from the member files.
  std::atomic<uint64_t> bytesReleased;
  int connectListSize;
  connection_info_t* connectionList;
  int listenSockFD;
  quor_sockaddr_t listenSockAddr;
  pthread_t listenThreadId;
  quor_reqid_t requestId;  // the list request in progress
  // lfx transfers
  int controlSockCount;
  nw_sock_struct_t* controlSockAddr;
  lfx_file_info_t lfxFileInfo;
  std::atomic<int> read_active;
  std::atomic<int> write_active;
  int transfer_result;  // under controlLock
};
extern transfer_t* xfer_ctl;

int brix_AllocateIoBuffers(transfer_t* ctl);
int brix_InitRwBuf(io_buffer_t* buf, int memType);
int brix_CleanIoBuf(io_buffer_t* buf);
int brix_CleanupIoBuffers(transfer_t* ctl);
void brix_MoveBuffersToEmptyQueue(transfer_t* ctl);
// Puts buf on the ready queue before the first buffer whose fileOffset is
// equal or greater (caller holds bufQueueLock).
void brix_InsertReadyQueue(transfer_t* ctl, io_buffer_t* buf);
int brix_InitConReqEntry(io_bufreq_t* req);
int brix_CleanReqQueueEntry(io_bufreq_t* req);
int brix_InitXferLocks(transfer_t* ctl);
void brix_FreeXferLocks(transfer_t* ctl);
void brix_ReqQueueSignalAll(connection_info_t* slots, int count);
// Marks a connection slot idle and wakes whoever waits for slots to end
// (caller holds controlLock).
void brix_SetSlotIdle(transfer_t* ctl, connection_info_t* slot);
// Waits (controlLock held) until a slot goes idle, or a short slice passes:
// the slice bounds the wait for a flag that nothing broadcasts.
void brix_WaitSlotIdle(transfer_t* ctl);
void brix_ShutdownTransferThreads(transfer_t* ctl);
void brix_CleanupTransferThreads(transfer_t* ctl);
double brix_GetTimestamp(void);
int brix_GetXferActive(void);
int brix_GetXferAborted(void);
void brix_SetXferAborted(const char* function, const char* file, int line);
void brix_DisplayXferProgress(uint64_t moved, uint64_t total);
// The progress text shown for those counts (into buf of size bytes).
void brix_FormatXferProgress(uint64_t moved, uint64_t total, char* buf, size_t size);

// ---- reading archive ranges ----
// The consumer of a range read: called on one pipeline thread with each
// filled buffer in ascending archive order, the range covered without gap
// or overlap. It reads buffer and dataLength only (a multiple of 512; 0
// asks for nothing) and keeps no pointer into the buffer. 0 goes on; a
// negative result stops the read, which then fails.
typedef int (*io_buffer_callback_t)(io_buffer_t* buf);

// Reads [startAddr, startAddr + bytesToRead) of an open local archive
// through two buffers, one being filled while the other is consumed, and
// hands each to callback in order. 0 when the whole range was delivered;
// -1 when the archive could not be positioned or read, ended before the
// range did, or the consumer stopped the read. *xferTime gets the seconds.
int brix_CopyFromLocalArchive(int archiveFd, uint64_t startAddr, uint64_t bytesToRead,
                              io_buffer_callback_t callback, double* xferTime);
// The buffers stay from one range to the next; this frees them (an
// operation that read ranges calls it once at its end).
void brix_LocalReadRelease(void);

// ---- local and piped archives ----
int brix_CopyToLocalArchive(double* xferTime, int* threadsUsed);
int copyLocalFile(int archiveFd, int64_t indexOrdinal, const bif_entry_t* indexEntry);
// The byte offset in the archive the local writer has reached.
uint64_t brix_LocalArchiveOffset(void);

#endif
