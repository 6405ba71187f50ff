// Calls on an open storage file (stat, copy, purge, migrate, stage, class
// of service) and the asynchronous stage by path with its status query.
// A call on an open file holds the file for its whole exchange and talks on
// the connection the file was opened on, whichever connection is current.
#include <string.h>

#include "msg_files.h"
#include "msg_namespace.h"
#include "quor_api.h"
#include "quor_files.h"
#include "quor_stage.h"
#include "xdr_objects.h"

namespace {

// Holds Fildes for the caller and points the thread at the file's
// connection: 0, or -2 when the descriptor is closed or held elsewhere.
int holdFile(qelapi_tcontext_t* ctx, int Fildes, qelapi_file_t** entry) {
  int rc = qelapi_io_setactive(ctx, Fildes, entry);
  if (rc != 0) return rc;
  qelapi_BindThreadConnection(ctx, (*entry)->connection);
  return 0;
}

template <typename Req, typename Rply>
int exchangeOn(qelapi_tcontext_t* ctx, quor_connection_t* conn, uint16_t fn, Req* req,
               bool_t (*reqCodec)(XDR*, Req*), Rply* reply, bool_t (*replyCodec)(XDR*, Rply*)) {
  return qelapi_Exchange(ctx, QEL_CAT_CORE, fn, req, reinterpret_cast<xdrproc_t>(reqCodec), reply,
                         reinterpret_cast<xdrproc_t>(replyCodec), conn);
}

}  // namespace

int quor_Fstat(int Fildes, quor_stat_t* Buf) {
  QEL_TRACE_ENTRY();
  qelapi_tcontext_t* ctx = nullptr;
  int rc = qelapi_init(&ctx);
  if (rc < 0) return rc;
  if (Buf == nullptr) return -14;
  memset(Buf, 0, sizeof *Buf);
  qelapi_file_t* e = nullptr;
  rc = holdFile(ctx, Fildes, &e);
  if (rc != 0) return rc;
  api_quor_Fstat_req_t req = {e->quorFiledes};
  api_quor_Fstat_rply_t reply = {Buf};
  rc = exchangeOn(ctx, e->connection, QEL_FN_CORE_Fstat, &req, qel_xdr_api_quor_Fstat_req_t,
                  &reply, qel_xdr_api_quor_Fstat_rply_t);
  qelapi_io_setinactive(e);
  return rc;
}

int quor_CopyFile(int SrcFildes, int DestFildes) {
  QEL_TRACE_ENTRY();
  qelapi_tcontext_t* ctx = nullptr;
  int rc = qelapi_init(&ctx);
  if (rc < 0) return rc;
  qelapi_file_t* src = nullptr;
  qelapi_file_t* dst = nullptr;
  rc = qelapi_io_setactive(ctx, SrcFildes, &src);
  if (rc != 0) return rc;
  rc = qelapi_io_setactive(ctx, DestFildes, &dst);
  if (rc != 0) {
    qelapi_io_setinactive(src);
    return rc;
  }
  if (src->connection != dst->connection) {
    rc = -64;
  } else {
    qelapi_BindThreadConnection(ctx, src->connection);
    api_quor_CopyFile_req_t req = {src->quorFiledes, dst->quorFiledes};
    rc = qelapi_Exchange(ctx, QEL_CAT_CORE, QEL_FN_CORE_CopyFile, &req,
                         reinterpret_cast<xdrproc_t>(qel_xdr_api_quor_CopyFile_req_t), nullptr,
                         nullptr, src->connection);
  }
  qelapi_io_setinactive(dst);
  qelapi_io_setinactive(src);
  return rc;
}

int quor_Purge(int Fildes, uint64_t Offset, uint64_t Length, uint32_t StorageLevel,
               uint32_t Flags, uint64_t* RetBytesPurged) {
  QEL_TRACE_ENTRY();
  qelapi_tcontext_t* ctx = nullptr;
  int rc = qelapi_init(&ctx);
  if (rc < 0) return rc;
  if (Offset != 0 || Length != 0) return -22;
  if (RetBytesPurged == nullptr) return -14;
  qelapi_file_t* e = nullptr;
  rc = holdFile(ctx, Fildes, &e);
  if (rc != 0) return rc;
  api_quor_Purge_req_t req = {e->quorFiledes, Offset, Length, StorageLevel, Flags};
  api_quor_Purge_rply_t reply = {0};
  rc = exchangeOn(ctx, e->connection, QEL_FN_CORE_Purge, &req, qel_xdr_api_quor_Purge_req_t,
                  &reply, qel_xdr_api_quor_Purge_rply_t);
  qelapi_io_setinactive(e);
  if (rc == 0) *RetBytesPurged = reply.RetBytesPurged;
  return rc;
}

int quor_Migrate(int Fildes, uint32_t SrcLevel, uint32_t Flags, uint64_t* RetBytesMigrated) {
  QEL_TRACE_ENTRY();
  qelapi_tcontext_t* ctx = nullptr;
  int rc = qelapi_init(&ctx);
  if (rc < 0) return rc;
  if (RetBytesMigrated == nullptr) return -14;
  qelapi_file_t* e = nullptr;
  rc = holdFile(ctx, Fildes, &e);
  if (rc != 0) return rc;
  api_quor_Migrate_req_t req = {e->quorFiledes, SrcLevel, Flags};
  api_quor_Migrate_rply_t reply = {0};
  rc = exchangeOn(ctx, e->connection, QEL_FN_CORE_Migrate, &req, qel_xdr_api_quor_Migrate_req_t,
                  &reply, qel_xdr_api_quor_Migrate_rply_t);
  qelapi_io_setinactive(e);
  if (rc == 0) *RetBytesMigrated = reply.RetBytesMigrated;
  return rc;
}

int quor_Stage(int Fildes, uint64_t Offset, uint64_t Length, uint32_t StorageLevel,
               uint32_t Flags) {
  QEL_TRACE_ENTRY();
  qelapi_tcontext_t* ctx = nullptr;
  int rc = qelapi_init(&ctx);
  if (rc < 0) return rc;
  qelapi_file_t* e = nullptr;
  rc = holdFile(ctx, Fildes, &e);
  if (rc != 0) return rc;
  // A stage may take long: the file is let go once the request is out. The
  // thread's reference keeps the connection even if the file is closed.
  quor_connection_t* conn = e->connection;
  api_quor_Stage_req_t req = {e->quorFiledes, Offset, Length, StorageLevel, Flags};
  rc = qelapi_send_msg(QEL_CAT_CORE, QEL_FN_CORE_Stage, &req,
                       reinterpret_cast<xdrproc_t>(qel_xdr_api_quor_Stage_req_t), 0, 0, conn, ctx);
  qelapi_io_setinactive(e);
  if (rc < 0) return rc;
  api_msghdr_t hdr;
  rc = qelapi_get_msg(ctx, &hdr, nullptr, nullptr, conn);
  if (rc < 0) return rc;
  return hdr.errorcode;
}

int quor_SetCOSByHints(int Fildes, uint32_t Flags, const quor_cos_hints_t* HintsPtr,
                       const quor_cos_priorities_t* PrioPtr, quor_cos_md_t* COSPtr) {
  QEL_TRACE_ENTRY();
  qelapi_tcontext_t* ctx = nullptr;
  int rc = qelapi_init(&ctx);
  if (rc < 0) return rc;
  if (HintsPtr == nullptr || PrioPtr == nullptr) return -14;
  qelapi_file_t* e = nullptr;
  rc = holdFile(ctx, Fildes, &e);
  if (rc != 0) return rc;
  api_quor_SetCOSByHints_req_t req;
  memset(&req, 0, sizeof req);
  req.Fildes = e->quorFiledes;
  req.Flags = Flags;
  req.HintsIn = *HintsPtr;
  req.PrioPriIn = *PrioPtr;
  api_quor_SetCOSByHints_rply_t reply;
  memset(&reply, 0, sizeof reply);
  rc = exchangeOn(ctx, e->connection, QEL_FN_CORE_SetCOSByHints, &req,
                  qel_xdr_api_quor_SetCOSByHints_req_t, &reply,
                  qel_xdr_api_quor_SetCOSByHints_rply_t);
  qelapi_io_setinactive(e);
  if (rc > 0 && COSPtr) *COSPtr = reply.COSout;
  return rc;
}

int qelapi_StageCallBackOn(quor_connection_t* conn, const char* Path, uint64_t Offset,
                           uint64_t Length, uint32_t StorageLevel,
                           const bfs_callback_addr_t* CallBackPtr, uint32_t Flags,
                           quor_reqid_t* ReqID, bfs_bitfile_obj_handle_t* BitfileID) {
  if (Path == nullptr) return -14;
  if (Path[0] == '\0') return -2;
  if (ReqID == nullptr || BitfileID == nullptr) return -14;
  if (strlen(Path) > QEL_FILES_PATH_MAX) return -86;
  qelapi_tcontext_t* ctx = qelapi_GetThreadContext();
  if (ctx == nullptr) return -12;
  api_quor_StageCallBack_req_t req;
  memset(&req, 0, sizeof req);
  api_quor_StageCallBack_rply_t reply;
  memset(&reply, 0, sizeof reply);
  req.Path = const_cast<char*>(Path);
  req.Offset = Offset;
  req.Length = Length;
  req.StorageLevel = StorageLevel;
  req.Flags = Flags;
  if (CallBackPtr) req.CallBackPtr = *CallBackPtr;
  int rc = exchangeOn(ctx, conn, QEL_FN_CORE_StageCallBack, &req,
                      qel_xdr_api_quor_StageCallBack_req_t, &reply,
                      qel_xdr_api_quor_StageCallBack_rply_t);
  if (rc == 0) {
    *ReqID = reply.ReqID;
    *BitfileID = reply.BitfileObj;
  }
  return rc;
}

int quor_StageCallBack(const char* Path, uint64_t Offset, uint64_t Length, uint32_t StorageLevel,
                       const bfs_callback_addr_t* CallBackPtr, uint32_t Flags, quor_reqid_t* ReqID,
                       bfs_bitfile_obj_handle_t* BitfileID) {
  QEL_TRACE_ENTRY();
  qelapi_tcontext_t* ctx = nullptr;
  int rc = qelapi_init(&ctx);
  if (rc < 0) return rc;
  return qelapi_StageCallBackOn(nullptr, Path, Offset, Length, StorageLevel, CallBackPtr, Flags,
                                ReqID, BitfileID);
}

int qelapi_GetAsyncStatusOn(quor_connection_t* conn, quor_reqid_t CallBackId,
                            const bfs_bitfile_obj_handle_t* BfId, int32_t* Status) {
  if (BfId == nullptr || Status == nullptr) return -14;
  qelapi_tcontext_t* ctx = qelapi_GetThreadContext();
  if (ctx == nullptr) return -12;
  api_quor_GetAsyncStatus_req_t req;
  memset(&req, 0, sizeof req);
  req.callbackID = CallBackId;
  req.BitfileObj = *BfId;
  api_quor_GetAsyncStatus_rply_t reply = {0};
  int rc = exchangeOn(ctx, conn, QEL_FN_CORE_GetAsyncStatus, &req,
                      qel_xdr_api_quor_GetAsyncStatus_req_t, &reply,
                      qel_xdr_api_quor_GetAsyncStatus_rply_t);
  if (rc == 0) *Status = reply.Status;
  return rc;
}

int quor_GetAsyncStatus(quor_reqid_t CallBackId, const bfs_bitfile_obj_handle_t* BfId,
                        int32_t* Status) {
  QEL_TRACE_ENTRY();
  qelapi_tcontext_t* ctx = nullptr;
  int rc = qelapi_init(&ctx);
  if (rc < 0) return rc;
  return qelapi_GetAsyncStatusOn(nullptr, CallBackId, BfId, Status);
}

quor_connection_t* qelapi_HoldConnection(int handle) {
  pthread_mutex_lock(&qelapi_connection_lock);
  quor_connection_t* c = qel_LookupConnection(handle, 1);
  if (c != nullptr && c->state == CONNECTION_OPEN) {
    c->refs++;
  } else {
    c = nullptr;
  }
  pthread_mutex_unlock(&qelapi_connection_lock);
  return c;
}

int qelapi_FileGetXAttributesOn(quor_connection_t* conn, const char* Path, uint32_t Flags,
                                uint32_t StorageLevel, quor_xfileattr_t* AttrOut) {
  if (Path == nullptr || AttrOut == nullptr) return -14;
  if (Path[0] == '\0') return -2;
  if (strlen(Path) > QEL_FILES_PATH_MAX) return -86;
  qelapi_tcontext_t* ctx = qelapi_GetThreadContext();
  if (ctx == nullptr) return -12;
  api_quor_FileGetXAttributes_req_t req;
  req.Path = const_cast<char*>(Path);
  req.Flags = Flags;
  req.StorageLevel = StorageLevel;
  api_quor_FileGetXAttributes_rply_t reply;
  memset(&reply, 0, sizeof reply);
  int rc = exchangeOn(ctx, conn, QEL_FN_CORE_FileGetXAttributes, &req,
                      qel_xdr_api_quor_FileGetXAttributes_req_t, &reply,
                      qel_xdr_api_quor_FileGetXAttributes_rply_t);
  if (rc == 0) {
    *AttrOut = reply.AttrOut;  // the volume lists go with it
  } else {
    qelapi_FreeXAttrsLists(&reply.AttrOut);
  }
  return rc;
}

quor_reqid_t qelapi_GetUniqueRequestIDOn(quor_connection_t* conn) {
  quor_reqid_t id;
  memset(&id, 0, sizeof id);
  qelapi_tcontext_t* ctx = qelapi_GetThreadContext();
  if (ctx == nullptr) return id;
  api_quor_GetUniqueRequestID_rply_t reply;
  memset(&reply, 0, sizeof reply);
  api_msghdr_t hdr;
  if (qelapi_send_msg(QEL_CAT_CORE, QEL_FN_CORE_GetUniqueRequestID, nullptr, nullptr, 0, 0, conn,
                      ctx) != 0)
    return id;
  if (qelapi_get_msg(ctx, &hdr, &reply,
                     reinterpret_cast<xdrproc_t>(qel_xdr_api_quor_GetUniqueRequestID_rply_t),
                     conn) != 0)
    return id;
  if ((hdr.msgFlags & API_MSGF_BODY) && hdr.errorcode == 0) id = reply.RetReqid;
  return id;
}

void qelapi_FreeXAttrsLists(quor_xfileattr_t* attrs) {
  if (attrs != nullptr)
    xdr_free(reinterpret_cast<xdrproc_t>(qel_xdr_quor_xfileattr_t), reinterpret_cast<char*>(attrs));
}
