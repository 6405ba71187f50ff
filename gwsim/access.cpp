// Namespace permission rules of gwsim; see access.h.
#include "access.h"

#include "session.h"

namespace {

std::string parent_of(const std::string& ns) {
  size_t slash = ns.rfind('/');
  return slash == 0 || slash == std::string::npos ? "/" : ns.substr(0, slash);
}

bool is_dir(const gw_meta_t* m) {
  return m->Type == GW_TYPE_DIRECTORY || m->Type == GW_TYPE_JUNCTION ||
         m->Type == GW_TYPE_FILESET_ROOT;
}

// The directory holding nspath, which the session may change: 0 or a code.
int changeable_parent(const gw_conn_t* conn, const std::string& nspath, gw_meta_t* dir) {
  int rc = gw_StoreGetMeta(parent_of(nspath), dir);
  if (rc < 0) return rc;
  if (!is_dir(dir)) return -20;
  return gw_AccessObject(conn, dir, GW_MAY_WRITE | GW_MAY_SEARCH);
}

}  // namespace

int gw_AccessRoot(const gw_conn_t* conn) {
  gw_cred_t cred;
  gw_SessionCred(conn, &cred);
  return cred.root;
}

int gw_AccessObject(const gw_conn_t* conn, const gw_meta_t* meta, uint32_t want) {
  gw_cred_t cred;
  gw_SessionCred(conn, &cred);
  return gw_StoreMay(&cred, meta, want) ? 0 : -13;
}

int gw_AccessOwner(const gw_conn_t* conn, const gw_meta_t* meta) {
  gw_cred_t cred;
  gw_SessionCred(conn, &cred);
  return cred.root || cred.uid == meta->UID ? 0 : -1;
}

int gw_AccessAddName(const gw_conn_t* conn, const std::string& nspath) {
  gw_meta_t dir;
  return changeable_parent(conn, nspath, &dir);
}

int gw_AccessDropName(const gw_conn_t* conn, const std::string& nspath, const gw_meta_t* victim) {
  gw_meta_t dir;
  int rc = changeable_parent(conn, nspath, &dir);
  if (rc < 0) return rc;
  if (!(dir.Mode & 01000)) return 0;
  gw_cred_t cred;
  gw_SessionCred(conn, &cred);
  return cred.root || cred.uid == victim->UID || cred.uid == dir.UID ? 0 : -1;
}

int gw_AccessChown(const gw_conn_t* conn, const gw_meta_t* meta, uint32_t uid, uint32_t gid) {
  gw_cred_t cred;
  gw_SessionCred(conn, &cred);
  if (cred.root) return 0;
  if (cred.uid != meta->UID) return -1;
  if (uid != uint32_t(-1) && uid != meta->UID) return -1;
  if (gid != uint32_t(-1) && gid != meta->GID && !gw_StoreInGroup(&cred, gid)) return -1;
  return 0;
}
