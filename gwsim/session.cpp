// Identity and working directory of one connection.
#include "session.h"

#include "store.h"

const gw_user_t* gw_SessionUser(const gw_conn_t* conn) {
  if (!conn->loggedIn) return nullptr;
  if (conn->idSet)
    for (const gw_user_t& u : conn->cfg->users)
      if (u.uid == conn->uid) return &u;
  return conn->user;
}

uint32_t gw_SessionUid(const gw_conn_t* conn) {
  if (conn->idSet) return conn->uid;
  return conn->loggedIn && conn->user ? conn->user->uid : GW_NOBODY_ID;
}

uint32_t gw_SessionGid(const gw_conn_t* conn) {
  if (conn->idSet) return conn->gid;
  return conn->loggedIn && conn->user ? conn->user->gid : GW_NOBODY_ID;
}

void gw_SessionCred(const gw_conn_t* conn, gw_cred_t* cred) {
  cred->uid = gw_SessionUid(conn);
  cred->gid = gw_SessionGid(conn);
  cred->groups.clear();
  const gw_user_t* u = gw_SessionUser(conn);
  if (u) {
    cred->groups = u->groups;
    cred->groups.push_back(u->gid);
  }
  cred->root = conn->loggedIn && cred->uid == conn->cfg->site.rootUid;
}

uint32_t gw_SessionAccount(const gw_conn_t* conn) {
  if (conn->acctSet) return conn->account;
  if (conn->user && !conn->user->accounts.empty()) return conn->user->accounts[0];
  return 0;
}

int gw_SessionResolve(const gw_conn_t* conn, const char* path, int follow, std::string* nspath) {
  gw_cred_t cred;
  gw_SessionCred(conn, &cred);
  return gw_StoreResolve(conn->cwd.empty() ? std::string("/") : conn->cwd, path, follow, nspath,
                         &cred);
}

gw_openfile_t* gw_FileLookup(gw_conn_t* conn, int32_t fildes) {
  if (fildes < 0 || size_t(fildes) >= conn->files.size() || !conn->files[size_t(fildes)].inUse)
    return nullptr;
  return &conn->files[size_t(fildes)];
}
