// su and sudo on the gateway side, with the gw_handler_t contract. The
// policy of a start is the logged-in user's SuPolicy or SudoPolicy, else
// the server's (default challenge).
//
// gw_ParseSuPolicy      "allow", "deny" or "challenge" (any case) as GW_SU_*;
//                       -22 for anything else.
// gw_NoteSuInit, gw_NoteSudoInit, gw_NoteSudoCmdEnd
//                       " runas=NAME", " runas=NAME cmd=TEXT",
//                       " end_session=N" for the journal.
// gw_HandleSuInit       0x0200/0x0110 and
// gw_HandleSudoInit     0x0200/0x0112: an unknown run-as user -2; deny -1
//                       (no body); allow: method 1 (sudo opens the
//                       session); challenge: method 16, cipher 2, flag 0x2
//                       (passcode in clear) when the site's
//                       auth_crypto_card & 3, and the challenge waits for a
//                       0x0130 response carrying the target's password (su)
//                       or the caller's own (sudo; -10003 when nobody is
//                       logged in). The tries are that user's RetryCount,
//                       else the server's, at least one.
// gw_HandleSudoCmdEnd   0x0200/0x0120: end_session 1 closes the session;
//                       errorcode 0, no body.
// gw_HandleChallengeRsp 0x0200/0x0130: answers a waiting su or sudo
//                       challenge (0, or -10003 with `retries` counting
//                       down; the challenge ends with success or the last
//                       try); otherwise the COMBO log-in's handler answers.
//                       The connection's identity stays the logged-in
//                       user's: su switches the identity the connection acts as; sudo is only negotiated.
#ifndef GWSIM_SU_H
#define GWSIM_SU_H

#include "gwsim.h"

int gw_ParseSuPolicy(const char* text);
void gw_NoteSuInit(const api_msghdr_t* hdr, const void* req, std::string* note);
void gw_NoteSudoInit(const api_msghdr_t* hdr, const void* req, std::string* note);
void gw_NoteSudoCmdEnd(const api_msghdr_t* hdr, const void* req, std::string* note);
int gw_HandleSuInit(gw_conn_t* conn, const api_msghdr_t* hdr, void* req, gw_reply_t* reply);
int gw_HandleSudoInit(gw_conn_t* conn, const api_msghdr_t* hdr, void* req, gw_reply_t* reply);
int gw_HandleSudoCmdEnd(gw_conn_t* conn, const api_msghdr_t* hdr, void* req, gw_reply_t* reply);
int gw_HandleChallengeRsp(gw_conn_t* conn, const api_msghdr_t* hdr, void* req, gw_reply_t* reply);

#endif
