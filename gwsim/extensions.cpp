// Gateway extensions of gwsim: stored digests, expiration times and ACL
// copies.
#include "extensions.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <mutex>

#include "journal.h"
#include "reply.h"
#include "framing.h"
#include "access.h"
#include "session.h"
#include "store.h"
#include "xdr_iod.h"

// ---- ACLs ----

int gw_HandleCopyACL(gw_conn_t* conn, const api_msghdr_t*, void* req, gw_reply_t* reply) {
  const api_copy_acl_req_t* rq = static_cast<const api_copy_acl_req_t*>(req);
  std::string src, sink;
  int rc = gw_SessionResolve(conn, rq->srcPath, 1, &src);
  if (rc == 0) rc = gw_SessionResolve(conn, rq->sinkPath, 1, &sink);
  if (rc == 0) {
    std::lock_guard<std::recursive_mutex> hold(gw_StoreLock());
    gw_meta_t from, to;
    rc = gw_StoreGetMeta(src, &from);
    if (rc == 0) rc = gw_StoreGetMeta(sink, &to);
    if (rc == 0) rc = gw_AccessOwner(conn, &to);
    if (rc == 0) {
      // The kinds are the ExtendedACLs bits; none named: all three.
      uint32_t kinds = rq->flags & 0x38u;
      if (kinds == 0) kinds = 0x38u;
      uint32_t acls = (to.ExtendedACLs & ~kinds) | (from.ExtendedACLs & kinds);
      if (acls != to.ExtendedACLs) {
        to.ExtendedACLs = acls;
        rc = gw_StorePutMeta(sink, &to);
      }
    }
  }
  reply->errorcode = rc;
  return 0;
}

// ---- digests and expiration ----

namespace {

// The file a digest request names: 0 with its namespace path, or a
// negative code. Storing one is changing the file's attributes: its owner
// or root only.
int file_of(gw_conn_t* conn, const char* path, bool change, std::string* ns) {
  int rc = gw_SessionResolve(conn, path, 1, ns);
  if (rc < 0) return rc;
  gw_meta_t meta;
  rc = gw_StoreGetMeta(*ns, &meta);
  if (rc < 0) return rc;
  if (meta.Type == GW_TYPE_DIRECTORY) return -21;
  return change ? gw_AccessOwner(conn, &meta) : 0;
}

}  // namespace

int gw_HandleFdigestSet(gw_conn_t* conn, const api_msghdr_t*, void* req, gw_reply_t* reply) {
  api_fdigest_set_req_t* rq = static_cast<api_fdigest_set_req_t*>(req);
  std::string ns;
  int rc = file_of(conn, rq->Path, true, &ns);
  if (rc == 0) {
    std::vector<char> bytes;
    rc = gw_EncodeBody((xdrproc_t)qel_xdr_quor_file_hash_digest_list_t, &rq->DigestList, &bytes);
    if (rc == 0) rc = gw_StorePutDigest(ns, rq->Flags, rq->StripeLength, bytes);
    if (rc < 0 && rc != -2) rc = -5;
  }
  reply->errorcode = rc;
  return 0;
}

int gw_HandleFdigestGet(gw_conn_t* conn, const api_msghdr_t*, void* req, gw_reply_t* reply) {
  const api_fdigest_get_req_t* rq = static_cast<const api_fdigest_get_req_t*>(req);
  std::string ns;
  int rc = file_of(conn, rq->Path, false, &ns);
  api_fdigest_get_rply_t r;
  memset(&r, 0, sizeof r);
  std::vector<char> bytes;
  if (rc == 0) rc = gw_StoreGetDigest(ns, &r.Flags, &r.StripeLength, &bytes);
  if (rc == 0) {
    XDR x;
    xdrmem_create(&x, bytes.data(), u_int(bytes.size()), XDR_DECODE);
    if (!qel_xdr_quor_file_hash_digest_list_t(&x, &r.DigestList)) rc = -5;
    xdr_destroy(&x);
  }
  if (rc < 0) {
    xdr_free((xdrproc_t)qel_xdr_quor_file_hash_digest_list_t,
             reinterpret_cast<char*>(&r.DigestList));
    reply->errorcode = rc;
    return 0;
  }
  rc = gw_ReplyWithBody(reply, (xdrproc_t)qel_xdr_api_fdigest_get_rply_t, &r);
  xdr_free((xdrproc_t)qel_xdr_quor_file_hash_digest_list_t, reinterpret_cast<char*>(&r.DigestList));
  return rc;
}

int gw_HandleUdaSetExpiration(gw_conn_t* conn, const api_msghdr_t*, void* req, gw_reply_t* reply) {
  const api_uda_set_expiration_req_t* rq = static_cast<const api_uda_set_expiration_req_t*>(req);
  std::string ns;
  int rc = gw_SessionResolve(conn, rq->Path, 1, &ns);
  if (rc == 0) {
    std::lock_guard<std::recursive_mutex> hold(gw_StoreLock());
    gw_meta_t meta;
    rc = gw_StoreGetMeta(ns, &meta);
    if (rc == 0) rc = gw_AccessOwner(conn, &meta);
    if (rc == 0) {
      meta.Expiration = rq->ExpireTime;
      rc = gw_StorePutMeta(ns, &meta);
    }
  }
  reply->errorcode = rc;
  return 0;
}

// ---- journal notes ----

void gw_NoteCopyACL(const api_msghdr_t*, const void* req, std::string* note) {
  const api_copy_acl_req_t* rq = static_cast<const api_copy_acl_req_t*>(req);
  *note += " flags=" + std::to_string(rq->flags) + " src=" + gw_JournalText(rq->srcPath) +
           " sink=" + gw_JournalText(rq->sinkPath);
}

void gw_NoteFdigestGet(const api_msghdr_t*, const void* req, std::string* note) {
  const api_fdigest_get_req_t* rq = static_cast<const api_fdigest_get_req_t*>(req);
  *note += " flags=" + std::to_string(rq->Flags) + " path=" + gw_JournalText(rq->Path);
}

void gw_NoteFdigestSet(const api_msghdr_t*, const void* req, std::string* note) {
  const api_fdigest_set_req_t* rq = static_cast<const api_fdigest_set_req_t*>(req);
  *note += " flags=" + std::to_string(rq->Flags) + " path=" + gw_JournalText(rq->Path) +
           " stripe=" + std::to_string(rq->StripeLength) +
           " digests=" + std::to_string(rq->DigestList.List_len);
}

void gw_NoteUdaSetExpiration(const api_msghdr_t*, const void* req, std::string* note) {
  const api_uda_set_expiration_req_t* rq = static_cast<const api_uda_set_expiration_req_t*>(req);
  *note += " path=" + gw_JournalText(rq->Path) + " expire=" + std::to_string(rq->ExpireTime);
}
