// The shell's transfer record and its companions, private to the transfer
// engine. One record carries one file: both ends, the method, the range,
// the counters the progress line reads, the mover connection slots and the
// buffers through which the data passes.
//
// Lock order: bufQueueLock before a buffer's bufLock and before a request's
// reqLock; a buffer's bufLock before abortLock. abortLock and controlLock
// are leaves; the transfer-table lock is never held while a record lock is
// taken.
#ifndef OZU_XFER_RECORD_H
#define OZU_XFER_RECORD_H

#include <pthread.h>
#include <stdint.h>
#include <stdio.h>
#include <sys/stat.h>

#include <atomic>
#include <mutex>
#include <vector>

#include "mvr_protocol.h"
#include "ozu_xfercore.h"
#include "quor_hash.h"
#include "quor_iod_clnt.h"
#include "quor_net.h"
#include "quor_types.h"

#define FX_PRESERVE_TIME 0x1
#define FX_CURRENT_TIME 0x2
#define FX_OVERWRITE 0x4
#define FX_DELETE_AFTER 0x8
#define FX_PRESERVE_OWNER 0x10
#define FX_KEEP_ON_ERROR 0x20
#define FX_POSITION_SRC 0x40
#define FX_POSITION_SINK 0x80
#define FX_RETRANSFER_REQ 0x100
#define FX_PURGE_CACHE 0x200
#define FX_OPEN_NOSTAGE 0x400
#define FX_CKSUM_ENABLED 0x800
#define FX_CKSUM_CREATE_OP 0x1000
#define FX_CKSUM_VERIFY_OP 0x2000
#define FX_DISABLE_LFM_IO 0x1000000
#define FX_USE_LFM_IO 0x2000000
#define FX_DISABLE_TA_IO 0x4000000
#define FX_USE_TA_IO 0x8000000
#define FX_USE_XIO_SRC 0x10000000
#define FX_USE_XIO_SINK 0x20000000
#define FX_CLIENT_CONNECT 0x40000000

// io_buffer_t bufFlags.
#define BUF_LOCK_INIT 0x1
#define BUF_COND_INIT 0x2
#define BUF_ARMED 0x4
#define BUF_RESTART 0x8
#define BUF_WRITTEN 0x10  // a get's buffer already in the local file
#define BUF_SIDE 0x20000000
#define BUF_READ_ABORTED 0x40000000
#define BUF_EOD 0x80000000u

#define OZU_CONNECT_SLOTS 64

typedef enum TRANSFER_T_STATE {
  TRANSFER_ENTRY_FREE = 0,
  TRANSFER_ENTRY_RESERVED = 1,
  TRANSFER_ENTRY_ACTIVE = 2,
} TRANSFER_T_STATE;

typedef enum IO_OPERATION { IOP_GET = 1, IOP_PUT = 2, IOP_COPY = 3 } IO_OPERATION;

typedef enum IO_XFER_TYPE {
  IOMODE_IOD = 1,
  IOMODE_RW = 2,
  IOMODE_RWX = 3,
  IODMODE_TA = 4,
  IODMODE_LFM = 5,
  IOMODE_LOCAL = 6,
} IO_XFER_TYPE;

typedef enum IO_SOCK_CREATOR { SERVER_SIDE_SOCKET = 1, CLIENT_SIDE_SOCKET = 2 } IO_SOCK_CREATOR;

struct transfer;

// One piece of a partial transfer; -1 as an offset: the current position;
// length 0: to the end of the source.
typedef struct xfer_offset {
  int64_t srcOffset;
  int64_t sinkOffset;
  uint64_t length;
} xfer_offset_t;

typedef struct io_buffer {
  struct io_buffer *next;
  int32_t state;
  int32_t memType;
  int32_t bufSize;
  char *iobuf;
  char *buffer;
  uint32_t bufFlags;
  int32_t ioCount;
  uint64_t iodOffset;
  uint64_t fileOffset;
  uint64_t newFileOffset;
  uint32_t dataMoved;
  uint32_t dataLength;
  pthread_mutex_t bufLock;
  pthread_cond_t bufCond;
  int32_t bufSizeSave;
  char *bufferSave;
} io_buffer_t;

typedef struct io_bufreq {
  struct io_bufreq *next;
  int32_t reqLockCreated;
  pthread_mutex_t reqLock;
  int32_t reqCondCreated;
  pthread_cond_t reqCond;
  pthread_t waitingThread;
  uint64_t iodOffset;
  uint64_t dataAddress;
  uint64_t requestLength;
} io_bufreq_t;

typedef struct connection_info {
  int32_t conInx;
  int32_t isactive;
  struct transfer *ctl;
  pthread_t ThreadId;
  int32_t threadJoinable;
  int32_t controlSocket;
  quor_sockaddr_t remoteAddr;
  int32_t listenSocket;
  int32_t transferSocket;
  initiator_ipaddr_t ipAddr;
  quor_sockaddr_t remoteTransferAddr;
  quor_sockaddr_t localNetAddr;
  io_bufreq_t ioRequest;
  double startTime, stopTime, overheadTime, mvrProtocolTime, waitNetTime, waitFileTime;
} connection_info_t;

typedef struct nw_sock_struct {
  int32_t connected;
  int32_t poolID;
  int32_t socketFD;
  quor_sockaddr_t socketSockAddr;
} nw_sock_struct_t;

typedef struct local_file_info {
  int32_t fileOpen;
  char *localPath;
  int32_t localFD;
  uint64_t localSize;
  uint64_t currentPos;
  FILE *localFileStruct;
  struct stat localStat;
  int32_t haveStat;
  int32_t pipedFile;
  int32_t stdinoutFlag;
  int32_t gpfsFlag;
} local_file_info_t;

typedef struct quor_file_info {
  int32_t conHandle;
  int32_t fileOpen;
  char *quorPath;
  int32_t quorFD;
  uint64_t currentPos;
  quor_xfileattr_t attrs;
  struct stat lfxAttrs;
  int32_t haveAttrs;
  int32_t cosID;
  quor_cos_hints_t hintsIn;
  quor_cos_priorities_t hintsPri;
  quor_cos_hints_t hintsOut;
} quor_file_info_t;

typedef struct ozu_uda_hash {
  int32_t ozuCksumType;
  uint64_t hashedBytes;
  uint64_t lastSyncOffset;
  int32_t hashLen;
  unsigned char *hashValue;
  quor_hash_t theHash;
} ozu_uda_hash_t;

typedef struct transfer {
  struct transfer *next;
  int32_t xferSerialNumber;
  pthread_t threadID;
  int32_t xferSizeIndex;
  std::atomic<int32_t> busystate;
  int32_t serverRunmode;
  int32_t xferOperation;
  uint32_t Flags;
  std::atomic<uint64_t> srcOffset;
  uint64_t sinkOffset;
  std::atomic<uint64_t> transferLength;
  int32_t srcMode;
  int32_t backupMade;
  int32_t backupIsAside;  // backupPath is a put's temporary name, not a "~" backup
  char *backupPath;
  local_file_info_t localFile;
  quor_file_info_t quorFile;
  quor_file_info_t *quor2ndFile;
  std::atomic<int32_t> transfer_active;
  std::atomic<int32_t> abortSignalled;
  int32_t abortMutexCreated;
  pthread_mutex_t abortLock;
  int32_t abortConditionCreated;
  pthread_cond_t abortCondition;
  // eventfd that wakes the mover connections thread when the phase ends,
  // rather than after its poll's slice (valid while connWakeCreated).
  int32_t connWakeCreated;
  int32_t connWakeFd;
  int32_t ioMode;
  int32_t stripeWidth;
  int32_t bufSize;
  quor_reqid_t requestId;
  int32_t controlSockCount;
  nw_sock_struct_t *controlSockAddr;
  pthread_t controlThreadId;
  uint64_t rwListFlags;
  int32_t ctlMutexCreated;
  pthread_mutex_t controlLock;
  int32_t localFileCondCreated;
  pthread_cond_t localFileCond;
  uint64_t requestedBytes;
  uint64_t totalBytesMoved;
  uint64_t bytesMoved;
  int32_t iorReceived;
  uint64_t xferThreadBytes;
  int32_t gapHit;
  uint64_t GapBytes;
  std::atomic<uint64_t> currentSrcAddr;
  uint64_t currentFileAddr;
  std::atomic<uint64_t> currentSrcOffset;
  std::atomic<uint64_t> currentSinkOffset;  // also moved by the local file thread
  int32_t connectionCount;
  connection_info_t *connectionList;
  int32_t connectListSize;
  std::atomic<int32_t> localFileThreadActive;
  int32_t bufCount;
  // The thread that makes a large pool resident while the transfer starts
  // (joined before the pool is freed), and the pool's pieces it walks.
  int32_t poolFillStarted;
  pthread_t poolFillThread;
  std::vector<std::pair<char *, size_t>> *poolFillList;
  int32_t bufQueueLockCreated;
  pthread_mutex_t bufQueueLock;
  int32_t bufQueueCondCreated;
  pthread_cond_t bufQueueCondition;
  io_buffer_t *bufEmptyQueue;
  io_buffer_t *bufReadyQueue;
  io_bufreq_t *requestQueue;
  // A get into a local file (not a pipe): the connection
  // that fills a buffer writes it there itself, so the writes run as wide
  // as the stripes; the local file thread keeps the order of what follows.
  int32_t moverWrites;
  std::atomic<int32_t> read_active;
  std::atomic<int32_t> write_active;
  int32_t transfer_result;
  io_buffer_t rwbuf[2];
  uint64_t postXferFileSize;
  ozu_uda_hash_t hashInfo;
  int32_t haveExistingHashInfo;
  ozu_uda_hash_t fileHashInfo;
  double startTime, stopTime, overheadTime, openTime, mvrProtocolTime, waitNetTime, waitFileTime;
  // Movers refused for their address while a list request is out, logged
  // once it is answered: the log line is a gateway round trip, which the
  // gateway may answer only after the request whose movers wait to be
  // accepted meanwhile.
  std::mutex refusedLock;
  std::vector<std::pair<quor_sockaddr_t, const char *>> refusedMovers;
} transfer_t;

// The process-wide transfer table; its fields change under the
// transfer-table lock (ozu_locks.h).
extern transfer_t *ozu_XferTable, *ozu_XferTableTail;
extern int ozu_ActiveTransfers, ozu_QueuedTransfers, ozu_CompletedXfers, ozu_FailedXfers;
extern int ozu_XferQueueDepth;

// ---- record, table and pool (record.cpp) ----
transfer_t *getTransferEntry(void);
void freeXferCtl(transfer_t *ctl);
int ozu_InitXferStructure(transfer_t *ctl, int operation);
int ozu_AllocateIoBuffers(transfer_t *ctl);
int ozu_InitRwBuf(transfer_t *ctl, io_buffer_t *buf, int memType);
int ozu_clean_rw_buf(transfer_t *ctl, io_buffer_t *buf);
int ozu_CleanupIoBuffers(transfer_t *ctl);
int ozu_InitXferLocks(transfer_t *ctl);
void ozu_FreeXferLocks(transfer_t *ctl);
int ozu_InitConReqEntry(io_bufreq_t *req);
int ozu_CleanReqQueueEntry(io_bufreq_t *req);
void ozu_CleanConnectionList(transfer_t *ctl);
void ozu_ReqQueueSignalAll(transfer_t *ctl);
void ozu_CleanupTransferThreads(transfer_t *ctl);
int ozu_CloseFiles(transfer_t *ctl);
void ozu_SetTransferAborted(transfer_t *ctl, int place);
#define SET_TRANSFER_ABORTED(ctl) ozu_SetTransferAborted((ctl), __LINE__)
// Ends a data phase at once: transfer_active 0, abort counter 1.
void ozu_StopTransfer(transfer_t *ctl);
// Wakes the mover connections thread to look at transfer_active and the
// abort counter again; the caller holds abortLock.
void ozu_WakeConnections(transfer_t *ctl);
int ozu_ShouldAbortTransfer(const char *prompt, const char *otherInfo);
int ozu_PositionLocalFile(int fd, uint64_t offset, const char *name);
// Sets only the family id of a storage file; 0 or the storage error.
int ozu_SetFamilyID(const char *path, int familyId);
uint32_t ozu_GetIODProtocolType(void);
double ozu_GetTimestamp(void);
uint64_t ozu_FileSizeToU64(const struct stat *st);
char *ozu_UnquotePath(const char *path);
void ozu_DisplayXferProgress(uint64_t moved, uint64_t total);
// The stripe width a get of these attributes asks for (keyset, file, 8, 64).
int ozu_GetStripeWidth(const quor_xfileattr_t *attrs, int operation, int keysetWidth);
// Pool sizing for a file of fileSize bytes: the buffer size and count.
void ozu_PoolSize(uint64_t fileSize, int stripeWidth, uint32_t keysetBufSize, int configBufSize,
                  long pageSize, int32_t *bufSize, int32_t *bufCount);

// The session context of the connection the transfer's stored name was
// found on (the current one when that handle is unknown).
struct ozu_context *ozu_XferContext(const transfer_t *ctl);

// Holds the calling thread's library calls to connection handle (none for
// a handle below 0) while it lives, whatever the current connection
// becomes meanwhile; then puts back what was held before. ok is false
// when no connection has that handle.
struct xfer_conn_hold {
  explicit xfer_conn_hold(int handle);
  ~xfer_conn_hold();
  xfer_conn_hold(const xfer_conn_hold &) = delete;
  xfer_conn_hold &operator=(const xfer_conn_hold &) = delete;
  bool ok = true;
  bool held = false;
  int previous = -1;
};

// ---- local file I/O seam ----
// Every local read and write of a transfer goes through these, so a test
// build can inject ENOSPC, EIO and EAGAIN (OZU_TEST_LOCAL_IO_FAULT).
ssize_t ozu_LocalWrite(int fd, const void *buf, size_t len);
ssize_t ozu_LocalPwrite(int fd, const void *buf, size_t len, off_t off);
ssize_t ozu_LocalRead(int fd, void *buf, size_t len);
ssize_t ozu_LocalPread(int fd, void *buf, size_t len, off_t off);

// ---- listen sockets and descriptors (listen.cpp) ----
int ozu_GetListenSocket(int UseInaddrAny, int ReuseAddrFlag, int *RetSocketFd,
                        quor_sockaddr_t *RetSocketAddress);
int ozu_NIO_AllocateListenSockets(transfer_t *Ctl);
int ozu_NIO_BuildNetDescriptor(uint64_t Offset, uint64_t Length, quor_reqid_t TranID,
                               int StripeWidth, uint64_t BlockSize, nw_sock_struct_t *AddrList,
                               long AddrCount, iod_stripe_addr_t *Xfer_stripe_addr,
                               iod_srcsinkdesc_t *RetSrcSink);
void ozu_NIO_CloseListenSockets(transfer_t *Ctl);

// ---- mover connections (movers.cpp) ----
int ozu_LaunchMvrConnectionsThread(transfer_t *ctl);
int ozu_FindBufferWithData(transfer_t *ctl, connection_info_t *slot, uint64_t x, uint64_t length,
                           io_buffer_t **outBuf);
int ozu_CalcBufOffsetAndSize(transfer_t *ctl, io_buffer_t *buf, uint64_t x, uint64_t length,
                             uint32_t *bufOffset, uint32_t *count);
int ozu_Update_BufXferred(transfer_t *ctl, connection_info_t *slot, uint64_t bytes,
                          io_buffer_t *buf);
// 1 while a mover connection is claimed or waits on a listen socket.
int ozu_MoversPending(transfer_t *ctl);
// Logs the refusals of movers kept back while the list request was out.
void ozu_LogRefusedMovers(transfer_t *ctl);
void ozu_DisplayIOD(transfer_t *ctl, const quor_IOD_t *iod);

// ---- a parallel-mover phase, shared by get and put (parallel_phase.cpp) ----
// The phase's threads: its local-file thread and its mover connections
// thread, once started.
typedef struct ozu_phase {
  pthread_t localId{};
  bool localThread = false;
  bool manager = false;
} ozu_phase_t;
struct timespec ozu_DeadlineMs(int ms);  // CLOCK_REALTIME, ms from now
// Inserts b into the list kept in order of fileOffset.
void ozu_InsertSorted(io_buffer_t **head, io_buffer_t *b);
// The stripe block of the file's level 0, or the buffer size.
uint64_t ozu_PhaseBlock(transfer_t *Ctl);
// The listen sockets: 0, or -1 with the exit result set and the transfer
// aborted; so too for the start of the two threads.
int ozu_OpenPhaseSockets(transfer_t *Ctl, const char *me);
int ozu_StartPhaseThreads(transfer_t *Ctl, const char *me, void *(*localFileThread)(void *),
                          ozu_phase_t *ph);
// Ends the phase: its threads woken and joined, the listen sockets closed,
// refused movers logged. The phase's result (-1 when it was aborted).
int ozu_EndPhase(transfer_t *Ctl, ozu_phase_t *ph, int result);

// ---- methods of a get ----
int read_quor_parallel(transfer_t *Ctl, int lastPartialXfer);
// Writes a get's buffer to the local file at its place: 0, or -1 with the
// transfer aborted (or found aborted).
int write_local_file(transfer_t *Ctl, int fd, io_buffer_t *theBuf);
int reinitControlStructure(transfer_t *Ctl, int lastPartialXfer);
int read_quor_regular(transfer_t *ctl, int lastPartialXfer);
int readQuorFile(transfer_t *ctl, struct xfer_offset *list, int count);

// ---- transfers with a gateway serving its own file system (lfx.cpp) ----
// CmdInit at the start of each get or put command in that run mode, and
// CmdComplete at its end after every transfer ended (closes the pooled data
// sockets here and at the gateway). Receive and Send move the record's
// range: 0, or the failure (a local one, the gateway's status, or -5 when
// the bytes moved differ from those asked for or reported).
int ozu_LFX_CmdInit(void);
int ozu_LFX_CmdComplete(void);
int ozu_LocalFileReceive(transfer_t *ctl);
int ozu_LocalFileSend(transfer_t *ctl);

// ---- progress and threads (progress.cpp) ----
void ozu_LaunchXferProgressThread(void);
int ozu_StopXferProgressThread(void);
int ozu_ThreadAttrInit(pthread_attr_t *attr);
int ozu_ThreadCreate(pthread_t *id, pthread_attr_t *attr, void *(*start)(void *), void *arg);
void ozu_ThreadSleep(int seconds, int usecs);
void ozu_ThreadYield(void);
// The progress line's text for these totals (for the thread and tests).
void ozu_FormatProgressLine(char *out, size_t size, int active, int queued, double inflight,
                            double moved, int done, int failed);

// ---- hooks (hooks.cpp) ----
int ozu_LFM_PathCheck(const char *path, int *fsType);
int ozu_LFM_IsCandidateFile(transfer_t *ctl);
int ozu_LFM_WriteFile(transfer_t *ctl);
int ozu_LFM_ReadFile(transfer_t *ctl);
int check_gpfs_file(int fd);
ssize_t gpfs_read(int fd, void *buf, size_t len);
ssize_t gpfs_write(int fd, const void *buf, size_t len);
// Gives a newly stored (copy 0) or copied (copy 1: the second file) file
// its expiration time; 0 or the error, which never fails the transfer.
int ozu_UDA_SetExpirationTime(transfer_t *ctl, int copy);
int ozu_TA_WriteQuorFile(void);
int ozu_TA_ReadQuorFile(void);
int ozu_TA_WriteLocalFile(void);
int ozu_TA_ReadLocalFile(void);

// ---- accounting (xfer_log.cpp) ----
int ozu_LogFileTransfer(int theResult, int srcType, int sinkType, transfer_t *ctl);

#endif
