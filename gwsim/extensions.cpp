// Gateway extensions of gwsim: copies between connections, stored digests,
// expiration times and ACL copies.
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

// ---- copies between connections ----

namespace {

enum {
  COPY_INITIAL = 1,
  COPY_XFERRING = 2,
  COPY_ABORTED = 3,
  COPY_COMPLETED = 6,
};

typedef struct gw_copy {
  unsigned ordinal;      // from 1, in start order
  int owner;             // number of the connection holding the sink file
  int sinkFd;            // our duplicate of the sink file's descriptor
  std::string sinkPath;  // namespace path of the sink file
  std::string source;    // namespace path of the source, empty when unresolvable
  int32_t sourceError;   // why source is empty
  uint64_t sinkOffset;
  uint64_t length;
  uint32_t state;
  int32_t error;
  uint64_t bytes;
} gw_copy_t;

// Copies are the gateway's, not a connection's: the handle may be queried
// from any connection.
std::mutex copies_lock;
std::map<uint32_t, gw_copy_t> copies;
uint32_t next_handle = 1;
unsigned copies_started = 0;

void forget(std::map<uint32_t, gw_copy_t>::iterator it) {
  if (it->second.sinkFd >= 0) close(it->second.sinkFd);
  copies.erase(it);
}

// The copy reply as gwsim sends it: the record's codec refuses more than 64
// addresses, and the Copies block may ask for more to test the client.
typedef struct copy_reply_out {
  uint32_t copyHandle;
  std::vector<netaddress_t>* addrs;
} copy_reply_out_t;

bool_t encode_copy_reply(XDR* xdrs, copy_reply_out_t* r) {
  uint32_t n = uint32_t(r->addrs->size());
  if (!xdr_uint32_t(xdrs, &r->copyHandle) || !xdr_uint32_t(xdrs, &n)) return FALSE;
  for (netaddress_t& a : *r->addrs)
    if (!qel_xdr_netaddress_t(xdrs, &a)) return FALSE;
  return TRUE;
}

// Moves the source's bytes into the sink file: 0, or a negative code.
int move_data(gw_copy_t* c) {
  std::string host = gw_StoreHostPath(c->source);
  int in = open(host.c_str(), O_RDONLY | O_CLOEXEC);
  if (in < 0) return -errno;
  std::vector<char> buf(1 << 16);
  uint64_t done = 0;
  int rc = 0;
  while (done < c->length) {
    size_t want = size_t(std::min<uint64_t>(buf.size(), c->length - done));
    ssize_t n = pread(in, buf.data(), want, off_t(done));
    if (n < 0) {
      rc = -errno;
      break;
    }
    if (n == 0) break;
    ssize_t w = pwrite(c->sinkFd, buf.data(), size_t(n), off_t(c->sinkOffset + done));
    if (w != n) {
      rc = -5;
      break;
    }
    done += uint64_t(n);
  }
  close(in);
  c->bytes = done;
  struct stat st;
  if (rc == 0 && fstat(c->sinkFd, &st) == 0)
    gw_StoreSetDataLength(c->sinkPath, uint64_t(st.st_size));
  return rc;
}

void advance(gw_copy_t* c, const gw_tables_t* t) {
  if (c->state == COPY_INITIAL) {
    if (t->copyFailAt > 0 && c->ordinal == unsigned(t->copyFailAt)) {
      c->state = COPY_ABORTED;
      c->error = t->copyError ? t->copyError : -5;
    } else if (c->source.empty()) {
      c->state = COPY_ABORTED;
      c->error = c->sourceError;
    } else {
      c->state = COPY_XFERRING;
      c->bytes = c->length / 2;
    }
  } else if (c->state == COPY_XFERRING) {
    int rc = move_data(c);
    c->state = rc == 0 ? COPY_COMPLETED : COPY_ABORTED;
    c->error = rc;
  }
}

}  // namespace

int gw_HandleCopyRemote(gw_conn_t* conn, const api_msghdr_t*, void* req, gw_reply_t* reply) {
  const api_copy_remote_req_t* rq = static_cast<const api_copy_remote_req_t*>(req);
  int32_t fd = rq->sink_fd;
  if (fd < 0 || size_t(fd) >= conn->files.size() || !conn->files[size_t(fd)].inUse ||
      conn->files[size_t(fd)].fd < 0) {
    reply->errorcode = -9;
    return 0;
  }
  if (!rq->remote_path || !*rq->remote_path) {
    reply->errorcode = -2;
    return 0;
  }
  {
    // Each copy holds a descriptor of its own: as many as files may be open.
    std::lock_guard<std::mutex> hold(copies_lock);
    size_t held = 0;
    for (const auto& kv : copies) held += kv.second.owner == conn->num;
    if (held >= conn->cfg->maxOpenFiles) {
      reply->errorcode = -24;
      return 0;
    }
  }
  gw_copy_t c{};
  c.sinkFd = dup(conn->files[size_t(fd)].fd);
  if (c.sinkFd < 0) {
    reply->errorcode = -24;
    return 0;
  }
  c.sinkPath = conn->files[size_t(fd)].path;
  c.owner = conn->num;
  // The source belongs to the other side's session: its path is taken
  // from the root.
  std::string ns;
  c.sourceError = gw_StoreResolve("/", rq->remote_path, 1, &ns);
  if (c.sourceError == 0) {
    gw_meta_t meta;
    c.sourceError = gw_StoreGetMeta(ns, &meta);
    if (c.sourceError == 0 && meta.Type == GW_TYPE_DIRECTORY) c.sourceError = -21;
  }
  if (c.sourceError == 0) c.source = ns;
  c.sinkOffset = rq->sink_offset;
  c.length = rq->transfer_length;
  c.state = COPY_INITIAL;

  const gw_tables_t* t = &conn->cfg->tables;
  uint32_t count = t->copyListen >= 0 ? uint32_t(t->copyListen)
                                      : std::min<uint32_t>(rq->listen_count, API_COPY_MAX_LISTEN);
  std::vector<netaddress_t> addrs(count);
  uint64_t share = count ? (c.length + count - 1) / count : 0;
  for (uint32_t i = 0; i < count; i++) {
    netaddress_t* a = &addrs[i];
    memset(a, 0, sizeof *a);
    a->SockTransferID = rq->requestID;
    a->SockOffset = c.sinkOffset + i * share;
    struct sockaddr_in* sin = reinterpret_cast<struct sockaddr_in*>(&a->SockAddr.hs_addr);
    sin->sin_family = AF_INET;
    sin->sin_port = htons(uint16_t(41000 + i));
    sin->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a->SockAddr.hs_addrlen = sizeof(struct sockaddr_in);
  }

  copy_reply_out_t out;
  {
    std::lock_guard<std::mutex> hold(copies_lock);
    c.ordinal = ++copies_started;
    out.copyHandle = next_handle++;
    copies[out.copyHandle] = c;
  }
  out.addrs = &addrs;
  return gw_ReplyWithBody(reply, (xdrproc_t)encode_copy_reply, &out);
}

int gw_HandleQueryCopy(gw_conn_t* conn, const api_msghdr_t*, void* req, gw_reply_t* reply) {
  const api_query_copy_req_t* rq = static_cast<const api_query_copy_req_t*>(req);
  api_query_copy_rply_t r;
  memset(&r, 0, sizeof r);
  {
    std::lock_guard<std::mutex> hold(copies_lock);
    auto it = copies.find(rq->copyHandle);
    if (it == copies.end()) {
      reply->errorcode = -2;
      return 0;
    }
    gw_copy_t* c = &it->second;
    // A completion notice reports and forgets; a poll moves the copy on.
    if (rq->flags != 5) advance(c, &conn->cfg->tables);
    r.copyState = c->state;
    r.errorCode = c->error;
    r.bytesXferred = c->bytes;
    const gw_tables_t* t = &conn->cfg->tables;
    if (t->copyInfoSet) {
      memcpy(r.infostring, t->copyInfo.data(), std::min(t->copyInfo.size(), sizeof r.infostring));
    } else {
      snprintf(r.infostring, sizeof r.infostring, "copy %u: state %u, %llu bytes", rq->copyHandle,
               c->state, (unsigned long long)c->bytes);
    }
    if (rq->flags == 5) forget(it);
  }
  return gw_ReplyWithBody(reply, (xdrproc_t)qel_xdr_api_query_copy_rply_t, &r);
}

int gw_HandleCancelCopy(gw_conn_t*, const api_msghdr_t*, void* req, gw_reply_t* reply) {
  const api_cancel_copy_req_t* rq = static_cast<const api_cancel_copy_req_t*>(req);
  std::lock_guard<std::mutex> hold(copies_lock);
  auto it = copies.find(rq->copyHandle);
  if (it == copies.end()) {
    reply->errorcode = -2;
    return 0;
  }
  if (rq->flags & 2) {
    if (it->second.state != COPY_COMPLETED) {
      it->second.state = COPY_ABORTED;
      it->second.error = -4;
    }
  } else {
    forget(it);
  }
  reply->errorcode = 0;
  return 0;
}

void gw_CopiesRelease(const gw_conn_t* conn) {
  std::lock_guard<std::mutex> hold(copies_lock);
  for (auto it = copies.begin(); it != copies.end();) {
    auto next = std::next(it);
    if (it->second.owner == conn->num) forget(it);
    it = next;
  }
}

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

void gw_NoteCopyRemote(const api_msghdr_t*, const void* req, std::string* note) {
  const api_copy_remote_req_t* rq = static_cast<const api_copy_remote_req_t*>(req);
  char buf[192];
  snprintf(buf, sizeof buf, " flags=%u sink=%d listen=%u reqid=%llu offset=%llu length=%llu",
           rq->flags, rq->sink_fd, rq->listen_count, (unsigned long long)rq->requestID,
           (unsigned long long)rq->sink_offset, (unsigned long long)rq->transfer_length);
  *note += buf;
  *note += " path=" + gw_JournalText(rq->remote_path);
}

void gw_NoteQueryCopy(const api_msghdr_t*, const void* req, std::string* note) {
  const api_query_copy_req_t* rq = static_cast<const api_query_copy_req_t*>(req);
  *note += " flags=" + std::to_string(rq->flags) + " handle=" + std::to_string(rq->copyHandle);
}

void gw_NoteCancelCopy(const api_msghdr_t*, const void* req, std::string* note) {
  const api_cancel_copy_req_t* rq = static_cast<const api_cancel_copy_req_t*>(req);
  *note += " flags=" + std::to_string(rq->flags) + " handle=" + std::to_string(rq->copyHandle);
}

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
