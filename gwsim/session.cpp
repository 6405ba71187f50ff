// Identity and working directory of one connection.
#include "session.h"

#include "store.h"

uint32_t gw_SessionUid(const gw_conn_t* conn) {
  if (conn->idSet) return conn->uid;
  return conn->user ? conn->user->uid : 0;
}

uint32_t gw_SessionGid(const gw_conn_t* conn) {
  if (conn->idSet) return conn->gid;
  return conn->user ? conn->user->gid : 0;
}

uint32_t gw_SessionAccount(const gw_conn_t* conn) {
  if (conn->acctSet) return conn->account;
  if (conn->user && !conn->user->accounts.empty()) return conn->user->accounts[0];
  return 0;
}

int gw_SessionResolve(const gw_conn_t* conn, const char* path, int follow, std::string* nspath) {
  return gw_StoreResolve(conn->cwd.empty() ? std::string("/") : conn->cwd, path, follow, nspath);
}

gw_openfile_t* gw_FileLookup(gw_conn_t* conn, int32_t fildes) {
  if (fildes < 0 || size_t(fildes) >= conn->files.size() || !conn->files[size_t(fildes)].inUse)
    return nullptr;
  return &conn->files[size_t(fildes)];
}
