// Log-ins that the gateway turns away: "retry later" answers carrying a
// retry certificate and its HMAC, the reconnect log-in that presents them,
// and answers that fail a log-in for good. Driven by user keys (RetryAfter,
// RetryTimes, RetryCode, LoginFailed, UserMessage) and the BadHmac fault.
//
// gw_RetryUserKey      parses one of those keys of a user block into u:
//                      1 when taken, 0 when e is not one of them, -22 for a
//                      bad value.
// gw_RetryAmendLogin   after the handler of a COMBO or reconnect log-in
//                      accepted a known user (errorcode 0): while the user's
//                      RetryTimes retry answers are not all given (counted
//                      over the whole process) replaces the reply with one
//                      flagged 0x40000000 (retry time RetryAfter seconds
//                      ahead, errorcode RetryCode, the user message, a fresh
//                      certificate and its HMAC, spoilt when faults->badHmac);
//                      else, for a user with LoginFailed, with one flagged
//                      0x20000000 with that code. Either way the connection
//                      is not logged in. Adds " retry=N until=T" or
//                      " failed=CODE" to the journal note. Other requests and
//                      replies are left alone.
// gw_HandleLoginReconnect
//                      0x0200/0x0080: a certificate this gwsim issued, whose
//                      HMAC holds and which has not expired, logs its user in
//                      (gw_RetryAmendLogin may then turn that into another
//                      retry or a failed answer); otherwise -51030 (-51040
//                      when expired) in a plain log-in reply. Journals
//                      " packet=ok user=NAME", or " packet=" and bad-hmac,
//                      malformed, unknown-user or expired. The certificate's
//                      start time is not enforced: clients whose waits are
//                      scaled down come back early.
#ifndef GWSIM_RETRY_H
#define GWSIM_RETRY_H

#include "gwsim.h"
#include "quorcfgx_stanza.h"

int gw_RetryUserKey(const quor_cfg_stanza_t* e, gw_user_t* u);
void gw_RetryAmendLogin(gw_conn_t* conn, const api_msghdr_t* hdr, const gw_reply_faults_t* faults,
                        gw_reply_t* reply);
int gw_HandleLoginReconnect(gw_conn_t* conn, const api_msghdr_t* hdr, void* req,
                            gw_reply_t* reply);

#endif
