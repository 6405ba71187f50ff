// The KEYTAB log-in on the gateway side, with the gw_handler_t contract.
//
// gw_NoteLoginKeytab  " user=NAME cipher=N" for the journal, the name
//                     unscrambled (GARBLE keyed by the header's msgTime).
// gw_HandleLoginKeytab 0x0200/0x0103: the user's Keytab file, read now,
//                     must equal the keytab sent: un-GARBLEd with msgTime
//                     when the configured cipher is 1, decrypted with the
//                     session key when it is 2. The request's cipher must be
//                     the configured one. Logged in: errorcode 0; an unknown
//                     user, a user without a Keytab, an unreadable file or
//                     any mismatch: -10003.
#ifndef GWSIM_AUTH_KEYTAB_H
#define GWSIM_AUTH_KEYTAB_H

#include "gwsim.h"

void gw_NoteLoginKeytab(const api_msghdr_t* hdr, const void* req, std::string* note);
int gw_HandleLoginKeytab(gw_conn_t* conn, const api_msghdr_t* hdr, void* req, gw_reply_t* reply);

#endif
