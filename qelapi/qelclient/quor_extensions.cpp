// Calls of the gateway's own extensions: copies between two gateway
// connections, the digests stored beside a storage file, its expiration
// time, and copying one path's ACL onto another. Paths that would not fit
// their request fields are refused before anything is sent: a cut path would
// name another object.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "msg_cli.h"
#include "msg_ext.h"
#include "quor_api.h"
#include "quor_api_internal.h"
#include "quor_api_msgdefs.h"
#include "quor_files.h"

#define CODEC(f) reinterpret_cast<xdrproc_t>(f)

namespace {

// Null -14, empty -2, more than maxChars characters -86.
int check_path(const char* path, size_t maxChars) {
  if (!path) return -14;
  if (!*path) return -2;
  if (strnlen(path, maxChars + 1) > maxChars) return -86;
  return 0;
}

}  // namespace

int quorex_CopyRemoteFile(uint32_t flags, uint32_t* listenCount, int sinkFd, uint64_t requestID,
                          uint64_t sinkOffset, uint64_t transferLength, const char* remotePath,
                          uint32_t* copyHandle, netaddress_t** listenAddr) {
  QEL_TRACE_ENTRY();
  api_copy_remote_req_t req;
  memset(&req, 0, sizeof req);
  if (!listenCount) return -14;
  if (!copyHandle || !listenAddr) return -14;
  *copyHandle = 0;
  *listenAddr = nullptr;

  qelapi_tcontext_t* ts = nullptr;
  int rc = qelapi_init(&ts);
  if (rc < 0) return rc;
  rc = check_path(remotePath, API_COPY_PATH_MAX - 1);
  if (rc < 0) return rc;
  // The sink stays usable by the threads moving its data: not claimed.
  int gwFd = qelapi_io_getQUORFd(sinkFd);
  if (gwFd < 0) return -24;

  req.flags = flags;
  req.sink_fd = gwFd;
  req.listen_count = *listenCount;
  req.requestID = requestID;
  req.sink_offset = sinkOffset;
  req.transfer_length = transferLength;
  req.remote_path = const_cast<char*>(remotePath);
  api_copy_remote_rply_t* reply =
      static_cast<api_copy_remote_rply_t*>(calloc(1, sizeof(api_copy_remote_rply_t)));
  if (!reply) return -12;
  rc = qelapi_Exchange(ts, QEL_CAT_EXT, QEL_FN_EXT_CopyRemoteFile, &req,
                CODEC(qel_xdr_api_copy_remote_req_t), reply, CODEC(qel_xdr_api_copy_remote_rply_t));
  if (rc == 0) {
    // The decoder keeps at most the record's 64 addresses.
    uint32_t n = reply->listen_count;
    if (n > API_COPY_MAX_LISTEN) n = API_COPY_MAX_LISTEN;
    if (n > 0) {
      size_t bytes = n * sizeof(netaddress_t);
      netaddress_t* a = static_cast<netaddress_t*>(malloc(bytes));
      if (!a) {
        fprintf(stderr, "*** malloc problem [quorex_CopyRemoteFile] %d bytes\n", int(bytes));
        free(reply);
        return -1;
      }
      memcpy(a, reply->listen_addr, bytes);
      *listenAddr = a;
    }
    *copyHandle = reply->copyHandle;
    *listenCount = n;
  }
  free(reply);
  return rc;
}

int quorex_QueryCopy(uint32_t flags, uint32_t copyHandle, int stateMsgSize, int* errorResult,
                     int* xferState, uint32_t* stateInfo, uint64_t* bytesXferred, char* stateMsg) {
  QEL_TRACE_ENTRY();
  if (!errorResult || !xferState || !stateInfo || !bytesXferred) return -14;
  qelapi_tcontext_t* ts = nullptr;
  int rc = qelapi_init(&ts);
  if (rc < 0) return rc;

  api_query_copy_req_t req;
  req.flags = flags;
  req.copyHandle = copyHandle;
  rc = qelapi_send_msg(QEL_CAT_EXT, QEL_FN_EXT_QueryCopy, &req, CODEC(qel_xdr_api_query_copy_req_t),
                       0, 0, nullptr, ts);
  if (rc < 0) return rc;
  api_query_copy_rply_t reply;
  memset(&reply, 0, sizeof reply);
  api_msghdr_t hdr;
  rc = qelapi_get_msg(ts, &hdr, &reply, CODEC(qel_xdr_api_query_copy_rply_t), nullptr);
  *errorResult = reply.errorCode;
  *xferState = int(reply.copyState);
  *stateInfo = reply.stateInfo;
  *bytesXferred = reply.bytesXferred;
  if (stateMsg && stateMsgSize > 1) {
    size_t n = size_t(stateMsgSize) < API_COPY_INFOSTRING_LEN ? size_t(stateMsgSize)
                                                              : API_COPY_INFOSTRING_LEN;
    // The info text travels as 100 bytes, not always terminated.
    memset(stateMsg, 0, n);
    memcpy(stateMsg, reply.infostring, strnlen(reply.infostring, n - 1));
  }
  return rc < 0 ? rc : hdr.errorcode;
}

int quorex_CancelCopy(uint32_t flags, uint32_t copyHandle) {
  QEL_TRACE_ENTRY();
  qelapi_tcontext_t* ts = nullptr;
  int rc = qelapi_init(&ts);
  if (rc < 0) return rc;
  api_cancel_copy_req_t req;
  req.flags = flags;
  req.copyHandle = copyHandle;
  return qelapi_Exchange(ts, QEL_CAT_EXT, QEL_FN_EXT_CancelCopy, &req,
                  CODEC(qel_xdr_api_cancel_copy_req_t), nullptr, nullptr);
}

int ozugw_FdigestGetCksum(uint32_t Flags, const char* Path, uint32_t* RetFlags,
                          quor_file_hash_digest_list_t* RetOzuFileDigest,
                          uint64_t* RetStripeLength) {
  QEL_TRACE_ENTRY();
  if (!RetFlags || !RetOzuFileDigest) return -14;
  *RetFlags = 0;
  RetOzuFileDigest->List_len = 0;
  RetOzuFileDigest->List_val = nullptr;
  if (!RetStripeLength) return -14;

  api_fdigest_get_req_t req;
  memset(&req, 0, sizeof req);
  api_fdigest_get_rply_t reply;
  memset(&reply, 0, sizeof reply);
  qelapi_tcontext_t* ts = nullptr;
  int rc = qelapi_init(&ts);
  if (rc < 0) return rc;
  rc = check_path(Path, API_UDA_PATH_SIZE - 1);
  if (rc < 0) return rc;
  req.Flags = Flags;
  strcpy(req.Path, Path);
  rc =
      qelapi_Exchange(ts, QEL_CAT_FDIGEST, QEL_FN_FDIGEST_GetCksum, &req,
               CODEC(qel_xdr_api_fdigest_get_req_t), &reply, CODEC(qel_xdr_api_fdigest_get_rply_t));
  if (rc != 0) {
    xdr_free(CODEC(qel_xdr_api_fdigest_get_rply_t), reinterpret_cast<char*>(&reply));
    return rc;
  }
  *RetFlags = reply.Flags;
  *RetStripeLength = reply.StripeLength;
  *RetOzuFileDigest = reply.DigestList;
  return 0;
}

int ozugw_FdigestSetCksum(uint32_t Flags, const char* Path,
                          const quor_file_hash_digest_list_t* OzuFileDigest,
                          uint64_t StripeLength) {
  QEL_TRACE_ENTRY();
  if (!Path || !OzuFileDigest) return -14;
  if (OzuFileDigest->List_len > 0 && !OzuFileDigest->List_val) return -14;
  qelapi_tcontext_t* ts = nullptr;
  int rc = qelapi_init(&ts);
  if (rc < 0) return rc;
  rc = check_path(Path, API_UDA_PATH_SIZE - 1);
  if (rc < 0) return rc;

  api_fdigest_set_req_t req;
  memset(&req, 0, sizeof req);
  req.Flags = Flags;
  strcpy(req.Path, Path);
  req.StripeLength = StripeLength;
  req.DigestList = *OzuFileDigest;
  return qelapi_Exchange(ts, QEL_CAT_FDIGEST, QEL_FN_FDIGEST_SetCksum, &req,
                  CODEC(qel_xdr_api_fdigest_set_req_t), nullptr, nullptr);
}

int ozugw_UdaSetExpiration(const char* Path, uint64_t Expiration) {
  QEL_TRACE_ENTRY();
  qelapi_tcontext_t* ts = nullptr;
  int rc = qelapi_init(&ts);
  if (rc < 0) return rc;
  rc = check_path(Path, API_UDA_PATH_SIZE - 1);
  if (rc < 0) return rc;

  api_uda_set_expiration_req_t req;
  memset(&req, 0, sizeof req);
  strcpy(req.Path, Path);
  req.ExpireTime = Expiration;
  return qelapi_Exchange(ts, QEL_CAT_UDA, QEL_FN_UDA_SetExpiration, &req,
                  CODEC(qel_xdr_api_uda_set_expiration_req_t), nullptr, nullptr);
}

int quorex_CopyACL(uint32_t Flags, const char* SrcPath, const char* SinkPath) {
  QEL_TRACE_ENTRY();
  qelapi_tcontext_t* ts = nullptr;
  int rc = qelapi_init(&ts);
  if (rc < 0) return rc;
  if (!SrcPath) return -14;
  if (!*SrcPath) return -2;
  if (!SinkPath) return -14;
  if (!*SinkPath) return -2;
  // Each field holds at most 1023 characters and the terminator.
  if (check_path(SrcPath, API_COPY_PATH_MAX - 1) < 0 ||
      check_path(SinkPath, API_COPY_PATH_MAX - 1) < 0)
    return -86;

  api_copy_acl_req_t* req = static_cast<api_copy_acl_req_t*>(calloc(1, sizeof(api_copy_acl_req_t)));
  if (!req) return -12;
  req->flags = Flags;
  strcpy(req->srcPath, SrcPath);
  strcpy(req->sinkPath, SinkPath);
  rc = qelapi_Exchange(ts, QEL_CAT_EXT, QEL_FN_EXT_CopyACL, req, CODEC(qel_xdr_api_copy_acl_req_t),
                nullptr, nullptr);
  free(req);
  return rc;
}
