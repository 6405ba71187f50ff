// The command relay (category 0x1500) and the gateway log (0x0700) on
// gwsim. Handlers have the gw_handler_t contract.
//
// gw_RelayLoad   a Commands block: one block per command line (its key, as
//                the client sends it without the terminating NUL) whose
//                entries are the steps, in order: Listing, Error, Status =
//                TEXT (a reply flagged 0x2, 0x4, 0x10), Chdir = PATH
//                (0x20000000 with sync_type 1), Sync = TYPE TEXT
//                (0x20000000), Reply = FLAGS TEXT, Delay = MS,
//                WaitInterrupt (the rest runs when the interrupt notice
//                comes), Drop (the connection is closed there), Exit = CODE
//                (the last reply: flag 0x1 and the exit code; implied with
//                code 0 when the steps end otherwise). 0, or -22 with
//                "LINE: reason" in *err.
// gw_HandleCliCommand     0x1500/0x0200: a line without a script gets one
//                reply with errorcode -9000 and flag 0x1; a scripted one its
//                replies, each with the request's id.
// gw_HandleCliInterrupt   0x1500/0x0202 (no reply): resumes a command that
//                waits for it.
// gw_HandleCliWindowSize  0x1500/0x0201: 0, no body.
// gw_HandleOpenlog, gw_HandleLogmsg, gw_HandleCloselog
//                0x0700/0x0100-0x0102: 0, no body; each writes a journal
//                line "conn=N log-open subsys=S options=0xX", "conn=N log
//                subsys=S prio=0xX select=0xX text=TEXT" (newlines shown as
//                "\n") or "conn=N log-close select=0xX".
// Journal notes: " cmdflags=0xX pid=N len=N cmd=TEXT", " intflags=0xX
// sig=N", " rows=N cols=N".
#ifndef GWSIM_RELAY_H
#define GWSIM_RELAY_H

#include <string>

#include "gwsim.h"
#include "msg_cli.h"
#include "quorcfgx_stanza.h"

int gw_RelayLoad(quor_cfg_stanza_t* block, gw_config_t* cfg, std::string* err);

void gw_NoteCliCommand(const api_msghdr_t* hdr, const void* req, std::string* note);
void gw_NoteCliInterrupt(const api_msghdr_t* hdr, const void* req, std::string* note);
void gw_NoteCliWindowSize(const api_msghdr_t* hdr, const void* req, std::string* note);

int gw_HandleCliCommand(gw_conn_t* conn, const api_msghdr_t* hdr, void* req, gw_reply_t* reply);
int gw_HandleCliInterrupt(gw_conn_t* conn, const api_msghdr_t* hdr, void* req, gw_reply_t* reply);
int gw_HandleCliWindowSize(gw_conn_t* conn, const api_msghdr_t* hdr, void* req, gw_reply_t* reply);
int gw_HandleOpenlog(gw_conn_t* conn, const api_msghdr_t* hdr, void* req, gw_reply_t* reply);
int gw_HandleLogmsg(gw_conn_t* conn, const api_msghdr_t* hdr, void* req, gw_reply_t* reply);
int gw_HandleCloselog(gw_conn_t* conn, const api_msghdr_t* hdr, void* req, gw_reply_t* reply);

#endif
