// Who a connection acts as in the storage namespace. The identity is the
// log-in user's unless a su or sudo set idSet (gwsim.h); the account is the
// one set by the client, else the user's first, else 0. Before a log-in,
// and for a user the configuration gives no Uid, it is nobody
// (GW_NOBODY_ID); root is the site's rootUid.
//
// gw_SessionUser                 the configured user the session acts as
//                                (the one with the su'd uid, else the
//                                logged-in one); null before a log-in.
// gw_SessionUid / gw_SessionGid  effective owner and group of new objects.
// gw_SessionCred                 the credentials permission checks use.
// gw_SessionResolve              gw_StoreResolve against the connection's
//                                cwd, searching as the session.
// gw_SessionAccount              account charged for new files.
// gw_FileLookup                  the open file of a gateway descriptor, or null.
#ifndef GWSIM_SESSION_H
#define GWSIM_SESSION_H

#include <stdint.h>

#include <string>

#include "gwsim.h"
#include "store.h"

const gw_user_t* gw_SessionUser(const gw_conn_t* conn);
uint32_t gw_SessionUid(const gw_conn_t* conn);
uint32_t gw_SessionGid(const gw_conn_t* conn);
uint32_t gw_SessionAccount(const gw_conn_t* conn);
void gw_SessionCred(const gw_conn_t* conn, gw_cred_t* cred);
int gw_SessionResolve(const gw_conn_t* conn, const char* path, int follow, std::string* nspath);
gw_openfile_t* gw_FileLookup(gw_conn_t* conn, int32_t fildes);

#endif
