// Handlers of the log-in exchanges on the gateway side: security
// parameters, Diffie-Hellman parameters (RFC 3526 group 14, g = 2), the
// public-key exchange that gives the connection its session key, the COMBO
// log-in and its challenge loop. Each has the gw_handler_t contract.
//
// gw_HandleSecParams  0x0200/0x0010: the configured method and cipher.
// gw_HandleDHParams   0x0200/0x0012: p and g as big-endian bytes.
// gw_HandlePubkey     0x0200/0x0014: answers with a fresh public value and
//                     keeps the shared secret as the session key.
// gw_NoteLoginCombo   " user=NAME" for the journal, the name unscrambled
//                     (GARBLE keyed by the header's msgTime), unprintable
//                     bytes shown as '?'.
// gw_HandleLoginCombo 0x0200/0x0104: unscrambles the name and looks the
//                     user up; -10003 for an unknown user; otherwise flags
//                     0x1 (key exchange first) or 0x2 (clear-password user)
//                     and the retry count (0: logged in at once).
// gw_HandleChallenge  0x0200/0x0130: checks the response (AES with the
//                     session key, or clear): 0, -10003 for a wrong one,
//                     -42009 once for a next-token user whose password was
//                     right, then accepts the response flagged 0x2.
#ifndef GWSIM_AUTH_H
#define GWSIM_AUTH_H

#include "gwsim.h"

int gw_HandleSecParams(gw_conn_t* conn, const api_msghdr_t* hdr, void* req, gw_reply_t* reply);
int gw_HandleDHParams(gw_conn_t* conn, const api_msghdr_t* hdr, void* req, gw_reply_t* reply);
int gw_HandlePubkey(gw_conn_t* conn, const api_msghdr_t* hdr, void* req, gw_reply_t* reply);
void gw_NoteLoginCombo(const api_msghdr_t* hdr, const void* req, std::string* note);
int gw_HandleLoginCombo(gw_conn_t* conn, const api_msghdr_t* hdr, void* req, gw_reply_t* reply);
int gw_HandleChallenge(gw_conn_t* conn, const api_msghdr_t* hdr, void* req, gw_reply_t* reply);

#endif
