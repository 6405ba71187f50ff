// Handlers of the plain gateway services: the server state sent first on
// every connection, site information, unique request ids and home
// directories. Each handler has the gw_handler_t contract (gwsim.h).
//
// gw_ServerState      the first message's record for connection num: the
//                     configured levels, quorDownFlag set while the Down
//                     rule covers num.
// gw_HandleSiteInfo   0x0100/0x0001: the configured quor_site_info_t.
// gw_HandleUniqueRequestID
//                     0x0500/0x0711: a fresh random (version 4) UUID.
// gw_HandleLookupHomeDir
//                     0x0600/0x0106: the configured home of the principal,
//                     else errorcode -2 without a body.
#ifndef GWSIM_SERVICES_H
#define GWSIM_SERVICES_H

#include "gwsim.h"

void gw_ServerState(const gw_config_t* cfg, int num, api_server_state_rply_t* st);
int gw_HandleSiteInfo(gw_conn_t* conn, const api_msghdr_t* hdr, void* req, gw_reply_t* reply);
int gw_HandleUniqueRequestID(gw_conn_t* conn, const api_msghdr_t* hdr, void* req,
                             gw_reply_t* reply);
int gw_HandleLookupHomeDir(gw_conn_t* conn, const api_msghdr_t* hdr, void* req, gw_reply_t* reply);

#endif
