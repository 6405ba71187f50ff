// The request loop of one client connection and its dispatch table.
//
// Each request header is read whole; its body is decoded by the codec of
// the table row for (category, function) and handed to the row's handler.
// Every request that expects a reply gets exactly one, carrying its id, flag
// 0x80000000 only with a body, and the result in errorcode; messages flagged
// 0x10000000 or 0x20000000 are never answered. An unknown (category,
// function) without a body is answered with -5000; with a body (whose length
// cannot be known) the connection is closed. A bad header or body closes it
// too. Fault rules (faults.h) may change or withhold replies.
//
// gw_ReplyWithBody   encodes rec with codec as reply's body: 0, or -1.
// gw_SendMessage     sends a message of the handler's own at once, outside
//                    the reply order and the fault rules: hdr as given, with
//                    0x80000000 added when codec encodes rec as its body. 0,
//                    or -1 when the client is gone.
// gw_ReadTask        reads the next message while a handler waits for the
//                    client's task message (0x10000000) of (category,
//                    function): 0 with its header and body decoded into rec;
//                    1 when another message came, which the request loop
//                    serves next; -1 when the client is gone, nothing came
//                    within timeoutMs or the message is unreadable.
// gw_ServeConnection sends the server state, then serves requests until the
//                    client leaves, a fault drops the connection or gwsim
//                    stops; journals open and close. Shuts the socket down but
//                    leaves conn->fd open for the caller to close.
#ifndef GWSIM_DISPATCH_H
#define GWSIM_DISPATCH_H

#include "gwsim.h"

typedef struct gw_dispatch_entry {
  uint16_t category;
  uint16_t function;
  xdrproc_t reqCodec;  // null: the request has no body
  size_t reqSize;      // size of the request record
  gw_handler_t handler;
  gw_note_t note;  // null: nothing more to journal
} gw_dispatch_entry_t;

int gw_ReplyWithBody(gw_reply_t* reply, xdrproc_t codec, void* rec);
int gw_SendMessage(gw_conn_t* conn, const api_msghdr_t* hdr, xdrproc_t codec, void* rec);
int gw_ReadTask(gw_conn_t* conn, uint16_t category, uint16_t function, api_msghdr_t* hdr,
                xdrproc_t codec, void* rec, int timeoutMs);
void gw_ServeConnection(gw_conn_t* conn);

#endif
