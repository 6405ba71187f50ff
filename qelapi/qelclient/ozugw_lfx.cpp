// The lfx calls: file-system calls on the gateway host's own files and the
// three messages that frame an lfx transfer. Each call is one exchange on the
// thread's current connection (an open file's own connection for a transfer
// that names one); arguments are checked before anything is sent.
#include <string.h>
#include <sys/stat.h>

#include "msg_lfx.h"
#include "quor_api.h"
#include "quor_api_internal.h"
#include "quor_api_msgdefs.h"
#include "quor_files.h"

namespace {

#define CODEC(f) reinterpret_cast<xdrproc_t>(f)

// The interchange file types; on this platform they are the local ones too,
// but the conversion names them one by one so stray bits never pass.
const uint32_t kTypes[] = {0x1000, 0x2000, 0x4000, 0x6000, 0x8000, 0xA000, 0xC000};
const uint32_t kPermBits[] = {0x100, 0x080, 0x040, 0x020, 0x010, 0x008,
                              0x004, 0x002, 0x001, 0x800, 0x400, 0x200};

uint32_t convertMode(uint32_t mode) {
  uint32_t out = 0;
  for (uint32_t t : kTypes)
    if ((mode & 0xF000) == t) out = t;
  for (uint32_t b : kPermBits)
    if (mode & b) out |= b;
  return out;
}

// A path for a fixed 4097-byte field: -14 null, -2 empty (unless allowed),
// -86 when its codec could not carry it (4096 characters or more).
int checkPath(const char* path, bool emptyOk = false) {
  if (path == nullptr) return -14;
  if (path[0] == '\0' && !emptyOk) return -2;
  if (strnlen(path, OZU_LFX_PATH_MAX) >= OZU_LFX_PATH_MAX) return -86;
  return 0;
}

void copyPath(char* field, const char* path) {
  memset(field, 0, OZU_LFX_PATH_SIZE);
  memcpy(field, path, strlen(path));
}

// Start-up, then the path check.
int start(qelapi_tcontext_t** ts, const char* path, bool emptyOk = false) {
  int rc = qelapi_init(ts);
  if (rc < 0) return rc;
  return checkPath(path, emptyOk);
}

// One request and its reply on the thread's connection: the header code, or
// the send's or receive's failure. *received tells whether a reply came.
int exchange(qelapi_tcontext_t* ts, uint16_t function, void* req, xdrproc_t reqCodec,
             void* reply, xdrproc_t replyCodec, bool* received = nullptr) {
  if (received) *received = false;
  int rc = qelapi_send_msg(QEL_CAT_LFX, function, req, reqCodec, 0, 0, nullptr, ts);
  if (rc < 0) return rc;
  api_msghdr_t hdr;
  rc = qelapi_get_msg(ts, &hdr, reply, replyCodec, nullptr);
  if (rc < 0) return rc;
  if (received) *received = true;
  return hdr.errorcode;
}

int statCall(uint16_t function, const char* Path, struct stat64* Buf) {
  qelapi_tcontext_t* ts = nullptr;
  int rc = start(&ts, Path);
  if (rc < 0) return rc;
  if (Buf == nullptr) return -14;
  memset(Buf, 0, sizeof *Buf);
  api_lfx_Stat_req_t req;
  copyPath(req.Path, Path);
  api_lfx_Stat_rply_t reply;
  memset(&reply, 0, sizeof reply);
  bool received = false;
  rc = exchange(ts, function, &req, CODEC(qel_xdr_lfx_Stat_req_t), &reply,
                CODEC(qel_xdr_lfx_Stat_rply_t), &received);
  if (received) ozugw_LfxStatToStat(&reply.LfxStat, Buf);
  return rc;
}

template <typename Req>
int modeCall(uint16_t function, const char* Path, mode_t Mode, bool_t (*codec)(XDR*, Req*)) {
  qelapi_tcontext_t* ts = nullptr;
  int rc = start(&ts, Path);
  if (rc < 0) return rc;
  Req req;
  copyPath(req.Path, Path);
  req.Mode = mode_t(ozugw_LocalModeToInterchangeMode(uint32_t(Mode)));
  return exchange(ts, function, &req, CODEC(codec), nullptr, nullptr);
}

int pathCall(uint16_t function, const char* Path, xdrproc_t codec) {
  qelapi_tcontext_t* ts = nullptr;
  int rc = start(&ts, Path);
  if (rc < 0) return rc;
  api_lfx_Unlink_req_t req;
  copyPath(req.Path, Path);
  return exchange(ts, function, &req, codec, nullptr, nullptr);
}

int dirdesCall(uint16_t function, int Dirdes, xdrproc_t codec) {
  qelapi_tcontext_t* ts = nullptr;
  int rc = qelapi_init(&ts);
  if (rc < 0) return rc;
  api_lfx_Closedir_req_t req;
  req.Dirdes = Dirdes;
  return exchange(ts, function, &req, codec, nullptr, nullptr);
}

// The connection a thread's last request went out on, held for the caller,
// or null when it has been closed since.
quor_connection_t* holdLastConnection(qelapi_tcontext_t* ts) {
  quor_connection_t* want = ts->msgConnection;
  if (want == nullptr) return nullptr;
  pthread_mutex_lock(&qelapi_connection_lock);
  quor_connection_t* found = nullptr;
  for (quor_connection_t* c = qelapi_connection_list; c; c = c->next)
    if (c == want) found = c;
  if (found) found->refs++;
  pthread_mutex_unlock(&qelapi_connection_lock);
  return found;
}

}  // namespace

// ---- mode and stat conversions ----

uint32_t ozugw_LocalModeToInterchangeMode(uint32_t LocalMode) { return convertMode(LocalMode); }

uint32_t ozugw_InterchangeModeToLocalMode(uint32_t InterchangeMode) {
  return convertMode(InterchangeMode);
}

int ozugw_LfxStatToStat(const ozu_lfx_stat_t* LfxStat, struct stat64* Buf) {
  if (LfxStat == nullptr || Buf == nullptr) return -14;
  Buf->st_mode = mode_t(ozugw_InterchangeModeToLocalMode(LfxStat->hst_mode));
  Buf->st_nlink = LfxStat->hst_nlink;
  Buf->st_uid = LfxStat->hst_uid;
  Buf->st_gid = LfxStat->hst_gid;
  Buf->st_mtim.tv_sec = time_t(LfxStat->hst_mtime);
  Buf->st_atim.tv_sec = time_t(LfxStat->hst_atime);
  Buf->st_ctim.tv_sec = time_t(LfxStat->hst_ctime);
  Buf->st_size = off64_t(LfxStat->hst_size);
  return 0;
}

// ---- transfers ----

int ozugw_LfxInit(int Filedes, const ozu_xfer_init_info_t* InitRequest,
                  ozu_xfer_init_reply_t* InitReply) {
  QEL_TRACE_ENTRY();
  qelapi_tcontext_t* ts = nullptr;
  int rc = qelapi_init(&ts);
  if (rc < 0) return rc;
  if (InitRequest == nullptr || InitReply == nullptr) return -14;
  memset(InitReply, 0, sizeof *InitReply);

  ozugw_lfx_xfer_init_req_t req;
  memset(&req, 0, sizeof req);
  req.flags = 0;
  req.filedes = Filedes;
  if (Filedes >= 0) {
    qelapi_file_t* e = qelapi_io_lookup(Filedes);
    if (e == nullptr || e->connection == nullptr) return -1;
    req.filedes = e->quorFiledes;
    // The gateway's descriptor means something only to the gateway that
    // opened the file: the transfer goes on that file's connection.
    qelapi_BindThreadConnection(ts, e->connection);
  }
  req.initInfo = *InitRequest;

  ozugw_lfx_xfer_init_rply_t reply;
  memset(&reply, 0, sizeof reply);
  rc = qelapi_send_msg(QEL_CAT_LFX, QEL_FN_LFX_Init, &req,
                       CODEC(qel_xdr_ozugw_lfx_xfer_init_req_t), 0, 0, nullptr, ts);
  if (rc < 0) return rc;
  // The completion comes later under the same id: the thread keeps awaiting
  // it after the answer, so that another thread's receive meeting it first
  // leaves it for ozugw_LfxGetXferReply instead of taking it for a stray.
  // Announced after the send (which starts a new exchange) and before the
  // answer can be taken: nobody decodes the answer for this thread.
  // A completion the caller never collects is dropped when it comes.
  qelapi_AnnounceReplies(ts, CODEC(qel_xdr_ozugw_lfx_xfer_reply_t), sizeof(ozugw_lfx_xfer_reply_t));
  api_msghdr_t hdr;
  rc = qelapi_get_msg(ts, &hdr, &reply, CODEC(qel_xdr_ozugw_lfx_xfer_init_rply_t), nullptr);
  if (rc == 0) rc = hdr.errorcode;
  // Inline data asked for in either direction (0x40000000: inline answer).
  const uint32_t inlineFlags = OZU_XFER_INLINE_DATA | 0x40000000u;
  bool completionDue = rc == 0 && !(InitRequest->flags & inlineFlags) &&
                       !(reply.initReplyInfo.flags & OZU_XFER_INLINE_DATA);
  // A refused or inline transfer is answered once.
  if (!completionDue) qelapi_MoreReplies(ts, 0);
  if (rc == 0) {
    // The inline data and the address list now belong to the caller.
    *InitReply = reply.initReplyInfo;
  } else {
    xdr_free(CODEC(qel_xdr_ozugw_lfx_xfer_init_rply_t), reinterpret_cast<char*>(&reply));
  }
  return rc;
}

int ozugw_LfxGetXferReply(ozu_xfer_complete_t* XferReply) {
  QEL_TRACE_ENTRY();
  // Cleared before anything can fail, so that no caller reads old values.
  if (XferReply == nullptr) return -14;
  memset(XferReply, 0, sizeof *XferReply);
  qelapi_tcontext_t* ts = nullptr;
  int rc = qelapi_init(&ts);
  if (rc < 0) {
    XferReply->xferStatus = rc;
    return rc;
  }

  // The completion answers the thread's last request, on the connection it
  // went out on, which need not be the current one any more.
  quor_connection_t* conn = holdLastConnection(ts);
  if (conn == nullptr) {
    rc = -50;
    qelapi_MoreReplies(ts, 0);
  } else {
    ozugw_lfx_xfer_reply_t reply;
    memset(&reply, 0, sizeof reply);
    api_msghdr_t hdr;
    rc = qelapi_get_msg(ts, &hdr, &reply, CODEC(qel_xdr_ozugw_lfx_xfer_reply_t), conn);
    // The last reply of the transfer: a later one under its id is stray.
    qelapi_MoreReplies(ts, 0, conn);
    qelapi_ConnRelease(conn);
    if (rc == 0) {
      rc = hdr.errorcode;
      // A completion that says nothing is no proof the data arrived.
      if (rc == 0 && !(hdr.msgFlags & API_MSGF_BODY)) rc = -5000;
      if (rc == 0) *XferReply = reply.xferCompleteInfo;
    }
  }
  // A caller that reads only the status must not take a lost completion for
  // a transfer that went well.
  if (rc < 0) XferReply->xferStatus = rc;
  return rc;
}

int ozugw_LfxCleanSockPool(void) {
  QEL_TRACE_ENTRY();
  qelapi_tcontext_t* ts = nullptr;
  int rc = qelapi_init(&ts);
  if (rc < 0) return rc;
  return exchange(ts, QEL_FN_LFX_CleanSockPool, nullptr, nullptr, nullptr, nullptr);
}

// ---- file-system calls ----

int ozugw_lfxChmod(const char* Path, mode_t Mode) {
  QEL_TRACE_ENTRY();
  return modeCall(QEL_FN_LFX_Chmod, Path, Mode, qel_xdr_api_lfx_Chmod_req_t);
}

int ozugw_lfxChown(const char* Path, uint32_t Owner, uint32_t Group) {
  QEL_TRACE_ENTRY();
  qelapi_tcontext_t* ts = nullptr;
  int rc = start(&ts, Path);
  if (rc < 0) return rc;
  api_lfx_Chown_req_t req;
  copyPath(req.Path, Path);
  req.Owner = Owner;
  req.Group = Group;
  return exchange(ts, QEL_FN_LFX_Chown, &req, CODEC(qel_xdr_api_lfx_Chown_req_t), nullptr,
                  nullptr);
}

int ozugw_LfxMkdir(const char* Path, mode_t Mode) {
  QEL_TRACE_ENTRY();
  return modeCall(QEL_FN_LFX_Mkdir, Path, Mode, qel_xdr_api_lfx_Mkdir_req_t);
}

int ozugw_LfxStat(const char* Path, struct stat64* Buf) {
  QEL_TRACE_ENTRY();
  return statCall(QEL_FN_LFX_Stat, Path, Buf);
}

int ozugw_LfxLstat(const char* Path, struct stat64* Buf) {
  QEL_TRACE_ENTRY();
  return statCall(QEL_FN_LFX_Lstat, Path, Buf);
}

int ozugw_LfxReadlink(const char* Path, char* Contents, size_t BufferSize) {
  QEL_TRACE_ENTRY();
  qelapi_tcontext_t* ts = nullptr;
  int rc = start(&ts, Path);
  if (rc < 0) return rc;
  if (Contents == nullptr) return -14;
  api_lfx_Readlink_req_t req;
  copyPath(req.Path, Path);
  api_lfx_Readlink_rply_t reply;
  memset(&reply, 0, sizeof reply);
  rc = exchange(ts, QEL_FN_LFX_Readlink, &req, CODEC(qel_xdr_lfx_Readlink_req_t), &reply,
                CODEC(qel_xdr_lfx_Readlink_rply_t));
  if (rc > 0) {
    size_t len = strnlen(reply.Contents, sizeof reply.Contents);
    if (len < BufferSize)
      memcpy(Contents, reply.Contents, len + 1);
    else
      rc = -86;
  }
  return rc;
}

int ozugw_LfxSymlink(const char* Contents, const char* Path) {
  QEL_TRACE_ENTRY();
  qelapi_tcontext_t* ts = nullptr;
  int rc = start(&ts, Path);
  if (rc < 0) return rc;
  rc = checkPath(Contents, true);
  if (rc < 0) return rc;
  api_lfx_Symlink_req_t req;
  copyPath(req.Contents, Contents);
  copyPath(req.Path, Path);
  return exchange(ts, QEL_FN_LFX_Symlink, &req, CODEC(qel_xdr_lfx_Symlink_req_t), nullptr,
                  nullptr);
}

int ozugw_LfxRename(const char* Old, const char* New) {
  QEL_TRACE_ENTRY();
  qelapi_tcontext_t* ts = nullptr;
  int rc = qelapi_init(&ts);
  if (rc < 0) return rc;
  if (Old == nullptr || New == nullptr) return -14;
  if ((rc = checkPath(Old)) < 0 || (rc = checkPath(New)) < 0) return rc;
  api_lfx_Rename_req_t req;
  copyPath(req.Old, Old);
  copyPath(req.New, New);
  return exchange(ts, QEL_FN_LFX_Rename, &req, CODEC(qel_xdr_lfx_Rename_req_t), nullptr, nullptr);
}

int ozugw_LfxUnlink(const char* Path) {
  QEL_TRACE_ENTRY();
  return pathCall(QEL_FN_LFX_Unlink, Path, CODEC(qel_xdr_lfx_Unlink_req_t));
}

int ozugw_LfxOpendir(const char* Path) {
  QEL_TRACE_ENTRY();
  qelapi_tcontext_t* ts = nullptr;
  int rc = start(&ts, Path, true);
  if (rc < 0) return rc;
  api_lfx_Opendir_req_t req;
  copyPath(req.Path, Path);
  return exchange(ts, QEL_FN_LFX_Opendir, &req, CODEC(qel_xdr_api_lfx_Opendir_req_t), nullptr,
                  nullptr);
}

int ozugw_LfxReadattrs(int Dirdes, int EntryCount, int* End, ozu_lfx_attrs_t* Buf) {
  QEL_TRACE_ENTRY();
  qelapi_tcontext_t* ts = nullptr;
  int rc = qelapi_init(&ts);
  if (rc < 0) return rc;
  if (Buf == nullptr || End == nullptr) return -14;
  if (EntryCount < 0) return -22;
  api_lfx_ReadAttrs_req_t req;
  req.Dirdes = Dirdes;
  req.EntryCount = EntryCount;
  api_lfx_ReadAttrs_rply_t reply;
  memset(&reply, 0, sizeof reply);
  rc = qelapi_send_msg(QEL_CAT_LFX, QEL_FN_LFX_Readattrs, &req,
                       CODEC(qel_xdr_lfx_ReadAttrs_req_t), 0, 0, nullptr, ts);
  if (rc < 0) return rc;
  api_msghdr_t hdr;
  rc = qelapi_get_msg(ts, &hdr, &reply, CODEC(qel_xdr_lfx_ReadAttrs_rply_t), nullptr);
  if (rc == 0) rc = hdr.errorcode;
  *End = reply.End;
  if (rc == 0) {
    // Never more than the caller made room for, whatever the reply says.
    int n = reply.EntryCount < EntryCount ? reply.EntryCount : EntryCount;
    if (n < 0 || (n > 0 && reply.Entries == nullptr)) n = 0;
    for (int i = 0; i < n; i++) {
      Buf[i] = reply.Entries[i];
      Buf[i].LfxAttrs.hst_mode = ozugw_InterchangeModeToLocalMode(Buf[i].LfxAttrs.hst_mode);
    }
    rc = n;
  }
  xdr_free(CODEC(qel_xdr_lfx_ReadAttrs_rply_t), reinterpret_cast<char*>(&reply));
  return rc;
}

int ozugw_LfxRewinddir(int Dirdes) {
  QEL_TRACE_ENTRY();
  return dirdesCall(QEL_FN_LFX_Rewinddir, Dirdes, CODEC(qel_xdr_lfx_Rewinddir_req_t));
}

int ozugw_LfxClosedir(int Dirdes) {
  QEL_TRACE_ENTRY();
  return dirdesCall(QEL_FN_LFX_Closedir, Dirdes, CODEC(qel_xdr_api_lfx_Closedir_req_t));
}

int ozugw_LfxGetcwd(char* Buf, size_t Size) {
  QEL_TRACE_ENTRY();
  qelapi_tcontext_t* ts = nullptr;
  int rc = qelapi_init(&ts);
  if (rc < 0) return rc;
  if (Size == 0) return -22;
  if (Buf == nullptr) return -14;
  api_lfx_Getcwd_rply_t reply;
  reply.Buf = nullptr;
  rc = exchange(ts, QEL_FN_LFX_Getcwd, nullptr, nullptr, &reply,
                CODEC(qel_xdr_api_lfx_Getcwd_rply_t));
  if (rc == 0) {
    const char* text = reply.Buf ? reply.Buf : "";
    size_t len = strlen(text);
    if (len < Size)
      memcpy(Buf, text, len + 1);
    else
      rc = -34;
  }
  xdr_free(CODEC(qel_xdr_api_lfx_Getcwd_rply_t), reinterpret_cast<char*>(&reply));
  return rc;
}
