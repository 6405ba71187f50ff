// gwsim's gateway extensions: stored digests, expiration times and ACL
// copies (copies between gateways: copy_remote.h). Handlers have the
// gw_handler_t contract (gwsim.h); README.md ("Extensions") tells what each
// one does.
#ifndef GWSIM_EXTENSIONS_H
#define GWSIM_EXTENSIONS_H

#include <string>

#include "gwsim.h"

// 0x0800/0x0310
int gw_HandleCopyACL(gw_conn_t* conn, const api_msghdr_t* hdr, void* req, gw_reply_t* reply);
// 0x1800/0x0110, 0x0120 and 0x1700/0x0342
int gw_HandleFdigestGet(gw_conn_t* conn, const api_msghdr_t* hdr, void* req, gw_reply_t* reply);
int gw_HandleFdigestSet(gw_conn_t* conn, const api_msghdr_t* hdr, void* req, gw_reply_t* reply);
int gw_HandleUdaSetExpiration(gw_conn_t* conn, const api_msghdr_t* hdr, void* req,
                              gw_reply_t* reply);

void gw_NoteCopyACL(const api_msghdr_t* hdr, const void* req, std::string* note);
void gw_NoteFdigestGet(const api_msghdr_t* hdr, const void* req, std::string* note);
void gw_NoteFdigestSet(const api_msghdr_t* hdr, const void* req, std::string* note);
void gw_NoteUdaSetExpiration(const api_msghdr_t* hdr, const void* req, std::string* note);

#endif
