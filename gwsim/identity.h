// Who a connection is on gwsim: accounts and their names, the current group,
// id/name conversions, password entries and group lists, from the Users,
// Groups, Accounts and Identity blocks of the configuration. Every handler
// has the gw_handler_t contract and answers -13 before a log-in; the
// session's user is the logged-in one (or the su target).
//
// gw_IdentityLoad   a Groups (name = gid), Accounts (name = code) or
//                   Identity (Realm = NAME, ConvertSkew = N) block into
//                   cfg->ident: 0, or -22 with "LINE: reason" in *err.
// gw_IdentityUserKey a user key of this concern (Gecos, Shell) into u: 1
//                   when taken, 0 when not one of them.
// Accounts (0x0500): AcctCodeToName (-2 unknown code; site 0 is answered
//   with the site's realm_id), AcctNameToCode (-2 unknown name), GetAcct
//   (default: the user's first account; current: the session's),
//   GetAcctName (-2 when the current account has no name), GetAcctList
//   (the user's accounts, -5006 when none), SetAcct and SetAcctByName (-22
//   for an account not in the user's list), Chacct (-2 no such object, -22
//   for an account the user may not charge).
// SetGID (0x0500/0x130D): the user's primary group or one of its Groups,
//   else -22.
// ConvertIdsToNames / ConvertNamesToIds (0x0500/0x030A, 0x030B): types 1
//   realm, 2 user, 3 group, 0 left as it is; -2 when an item is unknown,
//   -22 for another type. The reply carries NumEntries + ConvertSkew items
//   (at least 0; extra ones repeat the last).
// GetPwent (0x0600/0x0100): the named user, or the session's for an empty
//   name; -2 unknown. GetGroupList (0x0600/0x0101): the user's Groups.
#ifndef GWSIM_IDENTITY_H
#define GWSIM_IDENTITY_H

#include <string>

#include "gwsim.h"
#include "msg_cli.h"
#include "msg_files.h"
#include "msg_namespace.h"
#include "quorcfgx_stanza.h"

int gw_IdentityLoad(quor_cfg_stanza_t* block, gw_config_t* cfg, std::string* err);
int gw_IdentityUserKey(const quor_cfg_stanza_t* e, gw_user_t* u);

void gw_NoteAcctCode(const api_msghdr_t* hdr, const void* req, std::string* note);
void gw_NoteAcctName(const api_msghdr_t* hdr, const void* req, std::string* note);
void gw_NoteSetAcct(const api_msghdr_t* hdr, const void* req, std::string* note);
void gw_NoteSetGID(const api_msghdr_t* hdr, const void* req, std::string* note);
void gw_NoteConvert(const api_msghdr_t* hdr, const void* req, std::string* note);
void gw_NoteGetPwent(const api_msghdr_t* hdr, const void* req, std::string* note);

int gw_HandleAcctCodeToName(gw_conn_t* conn, const api_msghdr_t* hdr, void* req, gw_reply_t* reply);
int gw_HandleAcctNameToCode(gw_conn_t* conn, const api_msghdr_t* hdr, void* req, gw_reply_t* reply);
int gw_HandleChacct(gw_conn_t* conn, const api_msghdr_t* hdr, void* req, gw_reply_t* reply);
int gw_HandleGetAcct(gw_conn_t* conn, const api_msghdr_t* hdr, void* req, gw_reply_t* reply);
int gw_HandleGetAcctName(gw_conn_t* conn, const api_msghdr_t* hdr, void* req, gw_reply_t* reply);
int gw_HandleGetAcctList(gw_conn_t* conn, const api_msghdr_t* hdr, void* req, gw_reply_t* reply);
int gw_HandleSetAcct(gw_conn_t* conn, const api_msghdr_t* hdr, void* req, gw_reply_t* reply);
int gw_HandleSetAcctByName(gw_conn_t* conn, const api_msghdr_t* hdr, void* req, gw_reply_t* reply);
int gw_HandleSetGID(gw_conn_t* conn, const api_msghdr_t* hdr, void* req, gw_reply_t* reply);
int gw_HandleConvertIdsToNames(gw_conn_t* conn, const api_msghdr_t* hdr, void* req,
                               gw_reply_t* reply);
int gw_HandleConvertNamesToIds(gw_conn_t* conn, const api_msghdr_t* hdr, void* req,
                               gw_reply_t* reply);
int gw_HandleGetPwent(gw_conn_t* conn, const api_msghdr_t* hdr, void* req, gw_reply_t* reply);
int gw_HandleGetGroupList(gw_conn_t* conn, const api_msghdr_t* hdr, void* req, gw_reply_t* reply);

#endif
