// The namespace calls of the storage API: stat and attribute calls,
// directories and their descriptors, links, renames, times, modes, owners,
// the working directory and the creation mask. Each call is one exchange on
// the thread's current connection; its arguments are checked before
// anything is sent, so a refused call leaves the connection untouched.
#include <string.h>
#include <utime.h>

#include "msg_namespace.h"
#include "quor_api.h"
#include "quor_api_internal.h"
#include "quor_api_msgdefs.h"

namespace {

#define CODEC(f) reinterpret_cast<xdrproc_t>(f)

// Sends req and waits for the reply to it: 0 with *hdr, or the send's or
// receive's failure. A null reply record means no body may come back.
int exchange(qelapi_tcontext_t* ts, uint16_t function, void* req, xdrproc_t reqCodec,
             api_msghdr_t* hdr, void* reply, xdrproc_t replyCodec) {
  int rc = qelapi_send_msg(QEL_CAT_CORE, function, req, reqCodec, 0, 0, nullptr, ts);
  if (rc < 0) return rc;
  return qelapi_get_msg(ts, hdr, reply, replyCodec, nullptr);
}

// The exchange's header code, or its failure.
int call(qelapi_tcontext_t* ts, uint16_t function, void* req, xdrproc_t reqCodec) {
  api_msghdr_t hdr;
  int rc = exchange(ts, function, req, reqCodec, &hdr, nullptr, nullptr);
  return rc < 0 ? rc : hdr.errorcode;
}

// A path argument: -14 null, -2 empty, -86 longer than the wire allows.
int checkPath(const char* path) {
  if (path == nullptr) return -14;
  if (path[0] == '\0') return -2;
  if (strnlen(path, QEL_NS_PATH_MAX + 1) > QEL_NS_PATH_MAX) return -86;
  return 0;
}

// Start-up and the path check shared by the one-path calls.
int startWithPath(const char* path, qelapi_tcontext_t** ts) {
  int rc = qelapi_init(ts);
  if (rc < 0) return rc;
  return checkPath(path);
}

int statCall(uint16_t function, const char* Path, quor_stat_t* Buf) {
  qelapi_tcontext_t* ts = nullptr;
  int rc = startWithPath(Path, &ts);
  if (rc < 0) return rc;
  if (Buf == nullptr) return -14;
  memset(Buf, 0, sizeof *Buf);
  api_quor_Stat_req_t req;
  req.Path = const_cast<char*>(Path);
  api_quor_Stat_rply_t reply;
  reply.StatBuf = Buf;
  api_msghdr_t hdr;
  rc = exchange(ts, function, &req, CODEC(qel_xdr_api_quor_Stat_req_t), &hdr, &reply,
                CODEC(qel_xdr_api_quor_Stat_rply_t));
  return rc < 0 ? rc : hdr.errorcode;
}

// A call whose only argument is a path and whose reply has no body.
int pathCall(uint16_t function, const char* Path) {
  qelapi_tcontext_t* ts = nullptr;
  int rc = startWithPath(Path, &ts);
  if (rc < 0) return rc;
  api_quor_ns_path_req_t req;
  req.Path = const_cast<char*>(Path);
  return call(ts, function, &req, CODEC(qel_xdr_api_quor_Chdir_req_t));
}

// A call with two paths (Link, Rename).
int twoPathCall(uint16_t function, const char* First, const char* Second, xdrproc_t codec) {
  qelapi_tcontext_t* ts = nullptr;
  int rc = qelapi_init(&ts);
  if (rc < 0) return rc;
  if (First == nullptr || Second == nullptr) return -14;
  if ((rc = checkPath(First)) < 0 || (rc = checkPath(Second)) < 0) return rc;
  // Link and Rename requests are both {char*, char*}.
  api_quor_Link_req_t req;
  req.Existing = const_cast<char*>(First);
  req.New = const_cast<char*>(Second);
  return call(ts, function, &req, codec);
}

// A path with a mode (Mkdir, Chmod).
int modeCall(uint16_t function, const char* Path, mode_t Mode) {
  qelapi_tcontext_t* ts = nullptr;
  int rc = startWithPath(Path, &ts);
  if (rc < 0) return rc;
  api_quor_Chmod_req_t req;
  req.Path = const_cast<char*>(Path);
  req.Mode = Mode;
  return call(ts, function, &req, CODEC(qel_xdr_api_quor_Chmod_req_t));
}

}  // namespace

// ---- stat and attributes ----

int quor_Stat(const char* Path, quor_stat_t* Buf) {
  QEL_TRACE_ENTRY();
  return statCall(QEL_FN_CORE_Stat, Path, Buf);
}

int quor_Lstat(const char* Path, quor_stat_t* Buf) {
  QEL_TRACE_ENTRY();
  return statCall(QEL_FN_CORE_Lstat, Path, Buf);
}

int quor_GetListAttrs(const char* Path, quor_Attrs_t* AttrOut) {
  QEL_TRACE_ENTRY();
  qelapi_tcontext_t* ts = nullptr;
  int rc = startWithPath(Path, &ts);
  if (rc < 0) return rc;
  if (AttrOut == nullptr) return -14;
  api_quor_GetListAttrs_req_t req;
  req.Path = const_cast<char*>(Path);
  rc = qelapi_send_msg(QEL_CAT_CORE, QEL_FN_CORE_GetListAttrs, &req,
                       CODEC(qel_xdr_api_quor_GetListAttrs_req_t), 0, 0, nullptr, ts);
  if (rc < 0) return rc;
  memset(AttrOut, 0, sizeof *AttrOut);
  api_quor_GetListAttrs_rply_t reply;
  memset(&reply, 0, sizeof reply);
  api_msghdr_t hdr;
  rc = qelapi_get_msg(ts, &hdr, &reply, CODEC(qel_xdr_api_quor_GetListAttrs_rply_t), nullptr);
  if (rc < 0) return rc;
  // Whatever the reply carried, also with a negative code.
  *AttrOut = reply.AttrOut;
  return hdr.errorcode;
}

int quor_FileGetAttributes(const char* Path, quor_fileattr_t* AttrOut) {
  QEL_TRACE_ENTRY();
  qelapi_tcontext_t* ts = nullptr;
  int rc = startWithPath(Path, &ts);
  if (rc < 0) return rc;
  if (AttrOut == nullptr) return -14;
  api_quor_FileGetAttributes_req_t req;
  req.Path = const_cast<char*>(Path);
  api_quor_FileGetAttributes_rply_t reply;
  memset(&reply, 0, sizeof reply);
  api_msghdr_t hdr;
  rc = exchange(ts, QEL_FN_CORE_FileGetAttributes, &req,
                CODEC(qel_xdr_api_quor_FileGetAttributes_req_t), &hdr, &reply,
                CODEC(qel_xdr_api_quor_FileGetAttributes_rply_t));
  if (rc < 0) return rc;
  if (hdr.errorcode == 0) *AttrOut = reply.AttrOut;
  return hdr.errorcode;
}

int quor_FileGetXAttributes(const char* Path, uint32_t Flags, uint32_t StorageLevel,
                            quor_xfileattr_t* AttrOut) {
  QEL_TRACE_ENTRY();
  qelapi_tcontext_t* ts = nullptr;
  int rc = startWithPath(Path, &ts);
  if (rc < 0) return rc;
  if (AttrOut == nullptr) return -14;
  api_quor_FileGetXAttributes_req_t req;
  req.Path = const_cast<char*>(Path);
  req.Flags = Flags;
  req.StorageLevel = StorageLevel;
  api_quor_FileGetXAttributes_rply_t reply;
  memset(&reply, 0, sizeof reply);
  api_msghdr_t hdr;
  rc = exchange(ts, QEL_FN_CORE_FileGetXAttributes, &req,
                CODEC(qel_xdr_api_quor_FileGetXAttributes_req_t), &hdr, &reply,
                CODEC(qel_xdr_api_quor_FileGetXAttributes_rply_t));
  if (rc == 0 && hdr.errorcode == 0) {
    // The volume lists now belong to the caller.
    *AttrOut = reply.AttrOut;
    return 0;
  }
  // Also what a receive that failed half-way had decoded.
  quor_FreeXAttributes(&reply.AttrOut);
  return rc < 0 ? rc : hdr.errorcode;
}

void quor_FreeXAttributes(quor_xfileattr_t* Attrs) {
  if (Attrs == nullptr) return;
  xdr_free(CODEC(qel_xdr_quor_xfileattr_t), reinterpret_cast<char*>(Attrs));
}

int quor_FileSetAttributes(const char* Path, quor_fileattrbits_t SelFlags,
                           const quor_fileattr_t* AttrIn, quor_fileattr_t* AttrOut) {
  QEL_TRACE_ENTRY();
  qelapi_tcontext_t* ts = nullptr;
  int rc = startWithPath(Path, &ts);
  if (rc < 0) return rc;
  if (AttrIn == nullptr || AttrOut == nullptr) return -14;
  if (qelapi_getCurConnection() == nullptr) return -3;
  api_quor_FileSetAttributes_req_t req;
  req.Path = const_cast<char*>(Path);
  req.SelFlags = SelFlags;
  req.AttrIn = *AttrIn;
  api_quor_FileSetAttributes_rply_t reply;
  memset(&reply, 0, sizeof reply);
  api_msghdr_t hdr;
  rc = exchange(ts, QEL_FN_CORE_FileSetAttributes, &req,
                CODEC(qel_xdr_api_quor_FileSetAttributes_req_t), &hdr, &reply,
                CODEC(qel_xdr_api_quor_FileSetAttributes_rply_t));
  if (rc < 0) return rc;
  if (hdr.errorcode == 0) *AttrOut = reply.AttrOut;
  return hdr.errorcode;
}

// ---- working directory and creation mask ----

int quor_Chdir(const char* Path) {
  QEL_TRACE_ENTRY();
  return pathCall(QEL_FN_CORE_Chdir, Path);
}

int quor_Getcwd(char* Buf, size_t Size) {
  QEL_TRACE_ENTRY();
  qelapi_tcontext_t* ts = nullptr;
  int rc = qelapi_init(&ts);
  if (rc < 0) return rc;
  if (Size == 0) return -22;
  if (Buf == nullptr) return -14;
  api_quor_Getcwd_rply_t reply;
  reply.Buf = nullptr;
  api_msghdr_t hdr;
  rc = exchange(ts, QEL_FN_CORE_Getcwd, nullptr, nullptr, &hdr, &reply,
                CODEC(qel_xdr_api_quor_Getcwd_rply_t));
  if (rc < 0) return rc;
  rc = hdr.errorcode;
  // Success without the directory is no answer at all.
  if (rc == 0 && reply.Buf == nullptr) rc = -5000;
  if (rc == 0) {
    size_t len = strlen(reply.Buf);
    if (len < Size)
      memcpy(Buf, reply.Buf, len + 1);
    else
      rc = -34;
  }
  xdr_free(CODEC(qel_xdr_api_quor_Getcwd_rply_t), reinterpret_cast<char*>(&reply));
  return rc;
}

int quor_Umask(mode_t CMask) {
  QEL_TRACE_ENTRY();
  qelapi_tcontext_t* ts = nullptr;
  int rc = qelapi_init(&ts);
  if (rc < 0) return rc;
  api_quor_Umask_req_t req;
  req.CMask = CMask;
  api_quor_Umask_rply_t reply;
  reply.OMask = 0;
  api_msghdr_t hdr;
  rc = exchange(ts, QEL_FN_CORE_Umask, &req, CODEC(qel_xdr_api_quor_Umask_req_t), &hdr, &reply,
                CODEC(qel_xdr_api_quor_Umask_rply_t));
  if (rc < 0) return rc;
  // A refusal must be seen as one, not as a mask of 0.
  if (hdr.errorcode < 0) return hdr.errorcode;
  return int(reply.OMask & 07777);
}

// ---- directories ----

int quor_Mkdir(const char* Path, mode_t Mode) {
  QEL_TRACE_ENTRY();
  return modeCall(QEL_FN_CORE_Mkdir, Path, Mode);
}

int quor_Rmdir(const char* Path) {
  QEL_TRACE_ENTRY();
  return pathCall(QEL_FN_CORE_Rmdir, Path);
}

int quor_Opendir(const char* DirName) {
  QEL_TRACE_ENTRY();
  qelapi_tcontext_t* ts = nullptr;
  int rc = startWithPath(DirName, &ts);
  if (rc < 0) return rc;
  api_quor_Opendir_req_t req;
  req.DirName = const_cast<char*>(DirName);
  return call(ts, QEL_FN_CORE_Opendir, &req, CODEC(qel_xdr_api_quor_Opendir_req_t));
}

int quor_Readdir(int Dirdes, quor_dirent_t* DirentOut) {
  QEL_TRACE_ENTRY();
  qelapi_tcontext_t* ts = nullptr;
  int rc = qelapi_init(&ts);
  if (rc < 0) return rc;
  if (DirentOut == nullptr) return -14;
  api_quor_Readdir_req_t req;
  req.DirDes = Dirdes;
  api_quor_Readdir_rply_t reply;
  memset(&reply, 0, sizeof reply);
  api_msghdr_t hdr;
  rc = exchange(ts, QEL_FN_CORE_Readdir, &req, CODEC(qel_xdr_api_quor_Readdir_req_t), &hdr, &reply,
                CODEC(qel_xdr_api_quor_Readdir_rply_t));
  if (rc < 0) return rc;
  if (hdr.errorcode == 0) *DirentOut = reply.DirentOut;
  return hdr.errorcode;
}

int quor_ReadAttrs(int Dirdes, uint64_t OffsetIn, uint32_t BufferSize, uint32_t GetAttributes,
                   uint32_t* End, uint64_t* OffsetOut, ns_DirEntry_t* DirentPtr) {
  QEL_TRACE_ENTRY();
  qelapi_tcontext_t* ts = nullptr;
  int rc = qelapi_init(&ts);
  if (rc < 0) return rc;
  uint32_t capacity = BufferSize / uint32_t(sizeof(ns_DirEntry_t));
  if (BufferSize == 0 || capacity == 0) return -22;
  if (DirentPtr == nullptr || End == nullptr || OffsetOut == nullptr) return -14;
  api_quor_ReadAttrs_req_t req;
  req.Dirdes = Dirdes;
  req.OffsetIn = OffsetIn;
  req.EntryCount = capacity;
  req.GetAttributes = GetAttributes;
  api_quor_ReadAttrs_rply_t reply;
  memset(&reply, 0, sizeof reply);
  // The entries decode straight into the caller's array, never past it: a
  // reply announcing more than capacity fails to decode.
  reply.Dirent = DirentPtr;
  reply.DirentCapacity = capacity;
  api_msghdr_t hdr;
  rc = exchange(ts, QEL_FN_CORE_ReadAttrs, &req, CODEC(qel_xdr_api_quor_ReadAttrs_req_t), &hdr,
                &reply, CODEC(qel_xdr_api_quor_ReadAttrs_rply_t));
  if (rc < 0) return rc;
  rc = hdr.errorcode;
  if (rc >= 0) {
    *End = reply.End;
    *OffsetOut = reply.OffsetOut;
    // Never claim more entries than were decoded into the array.
    if (uint32_t(rc) > reply.entryCount) rc = int(reply.entryCount);
  }
  return rc;
}

int quor_Closedir(int Dirdes) {
  QEL_TRACE_ENTRY();
  qelapi_tcontext_t* ts = nullptr;
  int rc = qelapi_init(&ts);
  if (rc < 0) return rc;
  api_quor_Closedir_req_t req;
  req.Dirdes = Dirdes;
  return call(ts, QEL_FN_CORE_Closedir, &req, CODEC(qel_xdr_api_quor_Closedir_req_t));
}

// ---- links and names ----

int quor_Link(const char* Existing, const char* New) {
  QEL_TRACE_ENTRY();
  return twoPathCall(QEL_FN_CORE_Link, Existing, New, CODEC(qel_xdr_api_quor_Link_req_t));
}

int quor_Rename(const char* Old, const char* New) {
  QEL_TRACE_ENTRY();
  return twoPathCall(QEL_FN_CORE_Rename, Old, New, CODEC(qel_xdr_api_quor_Rename_req_t));
}

int quor_Symlink(const char* Contents, const char* Path) {
  QEL_TRACE_ENTRY();
  qelapi_tcontext_t* ts = nullptr;
  int rc = startWithPath(Path, &ts);
  if (rc < 0) return rc;
  if (Contents == nullptr) return -14;
  if (strnlen(Contents, QEL_NS_PATH_MAX + 1) > QEL_NS_PATH_MAX) return -86;
  api_quor_Symlink_req_t req;
  req.Path = const_cast<char*>(Path);
  req.Contents = const_cast<char*>(Contents);
  return call(ts, QEL_FN_CORE_Symlink, &req, CODEC(qel_xdr_api_quor_Symlink_req_t));
}

int quor_Readlink(const char* Path, char* Contents, size_t BufferSize) {
  QEL_TRACE_ENTRY();
  qelapi_tcontext_t* ts = nullptr;
  int rc = startWithPath(Path, &ts);
  if (rc < 0) return rc;
  if (Contents == nullptr) return -14;
  api_quor_Readlink_req_t req;
  req.Path = const_cast<char*>(Path);
  api_quor_Readlink_rply_t reply;
  reply.Contents = nullptr;
  api_msghdr_t hdr;
  rc = exchange(ts, QEL_FN_CORE_Readlink, &req, CODEC(qel_xdr_api_quor_Readlink_req_t), &hdr,
                &reply, CODEC(qel_xdr_api_quor_Readlink_rply_t));
  if (rc < 0) return rc;
  rc = hdr.errorcode;
  // A length without the text is no answer at all.
  if (rc > 0 && reply.Contents == nullptr) rc = -5000;
  if (rc > 0) {
    size_t len = strlen(reply.Contents);
    if (len < BufferSize)
      memcpy(Contents, reply.Contents, len + 1);
    else
      rc = -86;
  }
  xdr_free(CODEC(qel_xdr_api_quor_Readlink_rply_t), reinterpret_cast<char*>(&reply));
  return rc;
}

int quor_Unlink(const char* Path) {
  QEL_TRACE_ENTRY();
  return pathCall(QEL_FN_CORE_Unlink, Path);
}

// ---- times, modes and owners ----

int quor_Utime(const char* Path, const struct utimbuf* Times) {
  QEL_TRACE_ENTRY();
  qelapi_tcontext_t* ts = nullptr;
  int rc = qelapi_init(&ts);
  if (rc < 0) return rc;
  if (Path == nullptr) return -14;
  if (Path[0] == '\0') return -2;
  if (strnlen(Path, QEL_NS_PATH_MAX) >= QEL_NS_PATH_MAX) return -36;
  if (Times == nullptr) return -14;
  api_quor_Utime_req_t req;
  req.Path = const_cast<char*>(Path);
  req.Times = *Times;
  return call(ts, QEL_FN_CORE_Utime, &req, CODEC(qel_xdr_api_quor_Utime_req_t));
}

int quor_Chmod(const char* Path, mode_t Mode) {
  QEL_TRACE_ENTRY();
  return modeCall(QEL_FN_CORE_Chmod, Path, Mode);
}

int quor_Chown(const char* Path, uid_t Owner, gid_t Group) {
  QEL_TRACE_ENTRY();
  qelapi_tcontext_t* ts = nullptr;
  int rc = startWithPath(Path, &ts);
  if (rc < 0) return rc;
  api_quor_Chown_req_t req;
  req.Path = const_cast<char*>(Path);
  req.Owner = Owner;
  req.Group = Group;
  return call(ts, QEL_FN_CORE_Chown, &req, CODEC(qel_xdr_api_quor_Chown_req_t));
}
