// gwsim's gateway extensions: copies between connections, stored digests,
// expiration times and ACL copies. Handlers have the gw_handler_t contract
// (gwsim.h); README.md ("Extensions") tells what each one does.
//
// Copies: the sink side's request names an open file of its connection and
// the source's path in the same namespace. The copy is played out by the
// queries: the first moves it to state 2 (transferring) with half the bytes
// counted, the second copies the data into the sink file at the sink offset
// and reports state 6 (completed), or 3 (aborted) with the error when the
// source is missing, the data cannot move or the Copies block's FailAt
// names this copy. A query with flags 5 or a cancel with flags 0 forgets the
// copy; a cancel with flags 2 aborts it (error -4). Unknown handles: -2.
//
// gw_CopiesRelease  forgets the copies whose sink file conn held (the
//                   connection ends): their handles answer -2 from then on.
#ifndef GWSIM_EXTENSIONS_H
#define GWSIM_EXTENSIONS_H

#include <string>

#include "gwsim.h"

void gw_CopiesRelease(const gw_conn_t* conn);

// 0x0800/0x0300, 0x0301, 0x0302, 0x0310
int gw_HandleCopyRemote(gw_conn_t* conn, const api_msghdr_t* hdr, void* req, gw_reply_t* reply);
int gw_HandleQueryCopy(gw_conn_t* conn, const api_msghdr_t* hdr, void* req, gw_reply_t* reply);
int gw_HandleCancelCopy(gw_conn_t* conn, const api_msghdr_t* hdr, void* req, gw_reply_t* reply);
int gw_HandleCopyACL(gw_conn_t* conn, const api_msghdr_t* hdr, void* req, gw_reply_t* reply);
// 0x1800/0x0110, 0x0120 and 0x1700/0x0342
int gw_HandleFdigestGet(gw_conn_t* conn, const api_msghdr_t* hdr, void* req, gw_reply_t* reply);
int gw_HandleFdigestSet(gw_conn_t* conn, const api_msghdr_t* hdr, void* req, gw_reply_t* reply);
int gw_HandleUdaSetExpiration(gw_conn_t* conn, const api_msghdr_t* hdr, void* req,
                              gw_reply_t* reply);

void gw_NoteCopyRemote(const api_msghdr_t* hdr, const void* req, std::string* note);
void gw_NoteQueryCopy(const api_msghdr_t* hdr, const void* req, std::string* note);
void gw_NoteCancelCopy(const api_msghdr_t* hdr, const void* req, std::string* note);
void gw_NoteCopyACL(const api_msghdr_t* hdr, const void* req, std::string* note);
void gw_NoteFdigestGet(const api_msghdr_t* hdr, const void* req, std::string* note);
void gw_NoteFdigestSet(const api_msghdr_t* hdr, const void* req, std::string* note);
void gw_NoteUdaSetExpiration(const api_msghdr_t* hdr, const void* req, std::string* note);

#endif
