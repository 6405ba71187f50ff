// Permission rules of the namespace calls, as POSIX has them, for the
// identity a connection acts as (session.h). Searching the directories of
// a path is checked while it is resolved (gw_SessionResolve); these are the
// rules on the object or its directory:
//
// gw_AccessObject   the session may use the object as want asks
//                   (GW_MAY_* bits): 0, or -13.
// gw_AccessOwner    root or the object's owner (changing its mode, owner,
//                   times or other attributes): 0, or -1.
// gw_AccessAddName  a new name may go at nspath: its directory exists and
//                   the session may write and search it. 0, -2, -20, -13.
// gw_AccessDropName the name nspath of the object *victim may go: write and
//                   search on its directory (-13) and, when that directory
//                   is sticky, root or the owner of the object or of the
//                   directory (-1). 0 when allowed.
// gw_AccessChown    a change of owner to uid and group to gid (-1: kept):
//                   root any; the owner may only keep the owner and pick a
//                   group of its own. 0, or -1.
// gw_AccessRoot     1 when the session is root.
#ifndef GWSIM_ACCESS_H
#define GWSIM_ACCESS_H

#include <string>

#include "gwsim.h"
#include "store.h"

int gw_AccessObject(const gw_conn_t* conn, const gw_meta_t* meta, uint32_t want);
int gw_AccessOwner(const gw_conn_t* conn, const gw_meta_t* meta);
int gw_AccessAddName(const gw_conn_t* conn, const std::string& nspath);
int gw_AccessDropName(const gw_conn_t* conn, const std::string& nspath, const gw_meta_t* victim);
int gw_AccessChown(const gw_conn_t* conn, const gw_meta_t* meta, uint32_t uid, uint32_t gid);
int gw_AccessRoot(const gw_conn_t* conn);

#endif
