// The open-file table and the calls that open, create and close storage
// files. See quor_files.h for the table's rules.
#include "quor_files.h"

#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "msg_files.h"
#include "quor_api.h"
#include "quor_xio.h"

qelapi_file_t qelapi_Filelist[QELAPI_MAX_OPEN_FILES];

namespace {

bool inRange(int Fildes) { return Fildes >= 0 && Fildes < QELAPI_MAX_OPEN_FILES; }

// The gateway's open flags for the caller's POSIX ones; unnamed bits drop.
uint32_t mapOpenFlags(int Oflag) {
  static const struct {
    int posix;
    uint32_t gateway;
  } bits[] = {
      {O_APPEND, 0x08}, {O_CREAT, 0x10}, {O_EXCL, 0x20}, {O_TRUNC, 0x40}, {O_NONBLOCK, 0x80},
  };
  uint32_t out = 0;
  switch (Oflag & 3) {
    case O_RDONLY: out = 0x01; break;
    case O_WRONLY: out = 0x02; break;
    case O_RDWR: out = 0x04; break;
    default: break;
  }
  for (const auto& b : bits)
    if (Oflag & b.posix) out |= b.gateway;
  return out;
}

}  // namespace

qelapi_file_t* qelapi_io_lookup(int Fildes) {
  if (!inRange(Fildes) || qelapi_Filelist[Fildes].state != 1) return nullptr;
  return &qelapi_Filelist[Fildes];
}

int qelapi_io_setactive(qelapi_tcontext_t* ThreadState, int Fildes, qelapi_file_t** Entry) {
  if (Entry) *Entry = nullptr;
  pthread_mutex_lock(&qelapi_FileLock);
  qelapi_file_t* e = qelapi_io_lookup(Fildes);
  if (e == nullptr) {
    pthread_mutex_unlock(&qelapi_FileLock);
    return -2;
  }
  if (Entry) *Entry = e;
  int rc = -2;
  pthread_mutex_lock(&e->fileLock);
  if (e->activeFlag == 0) {
    e->activeFlag = 1;
    e->lockingThread = ThreadState;
    rc = 0;
  }
  pthread_mutex_unlock(&e->fileLock);
  pthread_mutex_unlock(&qelapi_FileLock);
  return rc;
}

int qelapi_io_setinactive(qelapi_file_t* Entry) {
  pthread_mutex_lock(&Entry->fileLock);
  Entry->activeFlag = 0;
  Entry->lockingThread = nullptr;
  pthread_mutex_unlock(&Entry->fileLock);
  return 0;
}

int qelapi_io_getQUORFd(int Fildes) {
  qelapi_file_t* e = qelapi_io_lookup(Fildes);
  return e ? e->quorFiledes : -1;
}

int qelapi_io_claim_new(qelapi_tcontext_t* ThreadState, const char* Caller) {
  pthread_mutex_lock(&qelapi_FileLock);
  int fd = 0;
  while (fd < QELAPI_MAX_OPEN_FILES && qelapi_Filelist[fd].state != 0) fd++;
  if (fd == QELAPI_MAX_OPEN_FILES) {
    pthread_mutex_unlock(&qelapi_FileLock);
    return -24;
  }
  qelapi_file_t* e = &qelapi_Filelist[fd];
  // Created under the table lock: a claimed entry always has its mutex.
  if (!e->fileLockCreated) {
    int err = pthread_mutex_init(&e->fileLock, nullptr);
    if (err != 0) {
      pthread_mutex_unlock(&qelapi_FileLock);
      fprintf(stderr, "%s: error %d creating file mutex. [%s,line %d)\n", Caller, err, __FILE__,
              __LINE__);
      return -24;
    }
    e->fileLockCreated = 1;
  }
  pthread_mutex_lock(&e->fileLock);
  e->state = 1;
  // Held until published, so no call acts on a file still being opened.
  e->activeFlag = 1;
  e->lockingThread = ThreadState;
  e->connection = nullptr;
  e->quorFiledes = -1;
  e->sockFiledes = -1;
  e->xopenFlags = 0;
  e->xioFlags = 0;
  e->aborted = 0;
  pthread_mutex_unlock(&e->fileLock);
  pthread_mutex_unlock(&qelapi_FileLock);
  return fd;
}

void qelapi_io_release_new(int Fildes) {
  qelapi_file_t* e = &qelapi_Filelist[Fildes];
  pthread_mutex_lock(&qelapi_FileLock);
  pthread_mutex_lock(&e->fileLock);
  e->state = 0;
  e->activeFlag = 0;
  e->lockingThread = nullptr;
  pthread_mutex_unlock(&e->fileLock);
  pthread_mutex_unlock(&qelapi_FileLock);
}

void qelapi_io_publish(int Fildes, quor_connection_t* conn, int QuorFd) {
  qelapi_file_t* e = &qelapi_Filelist[Fildes];
  qelapi_ConnHold(conn);
  pthread_mutex_lock(&qelapi_FileLock);
  pthread_mutex_lock(&e->fileLock);
  e->connection = conn;
  e->quorFiledes = QuorFd;
  e->activeFlag = 0;
  e->lockingThread = nullptr;
  pthread_mutex_unlock(&e->fileLock);
  pthread_mutex_unlock(&qelapi_FileLock);
}

int quor_Open(const char* Path, int Oflag, mode_t Mode, const quor_cos_hints_t* HintsIn,
              const quor_cos_priorities_t* HintsPri, quor_cos_hints_t* HintsOut) {
  QEL_TRACE_ENTRY();
  qelapi_tcontext_t* ctx = nullptr;
  int rc = qelapi_init(&ctx);
  if (rc < 0) return rc;
  if (Path == nullptr) return -14;
  if (Path[0] == '\0') return -2;
  // The codec would refuse it only after a descriptor was taken.
  if (strlen(Path) > QEL_FILES_PATH_MAX) return -86;

  int fd = qelapi_io_claim_new(ctx, "quor_Open");
  if (fd < 0) return fd;

  api_quor_Open_req_t req;
  memset(&req, 0, sizeof req);
  req.Path = const_cast<char*>(Path);
  req.Oflag = mapOpenFlags(Oflag);
  req.Mode = Mode;
  if (HintsIn) req.HintsIn = *HintsIn;
  if (HintsPri) req.HintsPri = *HintsPri;
  api_quor_Open_rply_t reply;
  memset(&reply, 0, sizeof reply);
  api_msghdr_t hdr;
  quor_connection_t* conn = ctx->connection;
  rc = qelapi_send_msg(QEL_CAT_CORE, QEL_FN_CORE_Open, &req,
                       reinterpret_cast<xdrproc_t>(qel_xdr_api_quor_Open_req_t), 0, 0, conn, ctx);
  if (rc == 0)
    rc = qelapi_get_msg(ctx, &hdr, &reply,
                        reinterpret_cast<xdrproc_t>(qel_xdr_api_quor_Open_rply_t), conn);
  if (rc == 0) rc = hdr.errorcode;
  if (rc < 0) {
    qelapi_io_release_new(fd);
    return rc;
  }
  if (HintsOut) *HintsOut = reply.HintsOut;
  qelapi_io_publish(fd, conn, rc);
  return fd;
}

int quor_Create(const char* Path, mode_t Mode, const quor_cos_hints_t* HintsIn,
                const quor_cos_priorities_t* HintsPri, quor_cos_hints_t* HintsOut) {
  QEL_TRACE_ENTRY();
  qelapi_tcontext_t* ctx = nullptr;
  int rc = qelapi_init(&ctx);
  if (rc < 0) return rc;
  if (Path == nullptr) return -14;
  if (Path[0] == '\0') return -2;
  if (strlen(Path) > QEL_FILES_PATH_MAX) return -86;

  api_quor_Create_req_t req;
  memset(&req, 0, sizeof req);
  req.Path = const_cast<char*>(Path);
  req.Mode = Mode;
  if (HintsIn) req.HintsIn = *HintsIn;
  if (HintsPri) req.HintsPri = *HintsPri;
  api_quor_Create_rply_t reply;
  memset(&reply, 0, sizeof reply);
  api_msghdr_t hdr;
  rc = qelapi_send_msg(QEL_CAT_CORE, QEL_FN_CORE_Create, &req,
                       reinterpret_cast<xdrproc_t>(qel_xdr_api_quor_Create_req_t), 0, 0, nullptr,
                       ctx);
  if (rc < 0) return rc;
  rc = qelapi_get_msg(ctx, &hdr, &reply,
                      reinterpret_cast<xdrproc_t>(qel_xdr_api_quor_Create_rply_t), nullptr);
  if (rc < 0) return rc;
  if (hdr.errorcode == 0 && HintsOut) *HintsOut = reply.HintsOut;
  return hdr.errorcode;
}

int quor_Close(int Fildes) {
  QEL_TRACE_ENTRY();
  qelapi_tcontext_t* ctx = nullptr;
  int rc = qelapi_init(&ctx);
  if (rc < 0) return rc;

  // The close holds the file like any other call, so it never frees an
  // entry that another call is still working on.
  pthread_mutex_lock(&qelapi_FileLock);
  qelapi_file_t* e = qelapi_io_lookup(Fildes);
  if (e == nullptr) {
    pthread_mutex_unlock(&qelapi_FileLock);
    return -9;
  }
  pthread_mutex_lock(&e->fileLock);
  bool busy = e->activeFlag != 0;
  if (!busy) {
    e->activeFlag = 1;
    e->lockingThread = ctx;
  }
  pthread_mutex_unlock(&e->fileLock);
  pthread_mutex_unlock(&qelapi_FileLock);
  if (busy) return -16;

  quor_connection_t* conn = e->connection;
  // The thread's own reference keeps the record alive once the entry lets go.
  qelapi_BindThreadConnection(ctx, conn);
  // A direct request still open would answer into the close's exchange.
  qelapi_io_xio_finish(ctx, e);
  api_quor_Close_req_t req;
  memset(&req, 0, sizeof req);
  req.Fildes = e->quorFiledes;
  rc = qelapi_send_msg(QEL_CAT_CORE, QEL_FN_CORE_Close, &req,
                       reinterpret_cast<xdrproc_t>(qel_xdr_api_quor_Close_req_t), 0, 0, conn, ctx);

  if (e->xopenFlags & 1) {
    if (e->sockFiledes >= 0) close(e->sockFiledes);
    e->sockFiledes = -1;
  }
  pthread_mutex_lock(&qelapi_FileLock);
  pthread_mutex_lock(&e->fileLock);
  e->state = 0;
  e->connection = nullptr;
  e->activeFlag = 0;
  e->lockingThread = nullptr;
  pthread_mutex_unlock(&e->fileLock);
  pthread_mutex_unlock(&qelapi_FileLock);
  qelapi_ConnRelease(conn);

  if (rc < 0) return rc;
  api_msghdr_t hdr;
  rc = qelapi_get_msg(ctx, &hdr, nullptr, nullptr, conn);
  if (rc < 0) return rc;
  return hdr.errorcode;
}
