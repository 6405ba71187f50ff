// Replies and task messages as handlers use them, on top of the framing:
// building a reply body, sending a message outside the reply order, and
// waiting for the client's task message inside a handler. Nothing here
// knows the dispatch table, so handlers never depend on the dispatcher.
//
// gw_ReplyWithBody  encodes rec with codec as reply's body: 0, or -1.
// gw_SendReply      sends one reply as its faults say (delay, sanity,
//                   unsolicited flag, drops): 0, or -1 when the connection
//                   is to be closed (a drop fired or the client is gone).
// gw_SendMessage    sends a message of the handler's own at once, outside
//                   the reply order and the fault rules: hdr as given, with
//                   0x80000000 added when codec encodes rec as its body. 0,
//                   or -1 when the client is gone.
// gw_ReadTask       reads the next message while a handler waits for the
//                   client's task message (0x10000000) of (category,
//                   function): 0 with its header and body decoded into rec;
//                   1 when another message came, which the request loop
//                   serves next; -1 when the client is gone, nothing came
//                   within timeoutMs or the message is unreadable.
//
// Bytes go to conn->sink when it is set (a connection driven from a buffer,
// see dispatch.h), else to the socket conn->fd.
#ifndef GWSIM_REPLY_H
#define GWSIM_REPLY_H

#include "gwsim.h"

int gw_ReplyWithBody(gw_reply_t* reply, xdrproc_t codec, void* rec);
int gw_SendReply(gw_conn_t* conn, gw_pending_t* p);
int gw_SendMessage(gw_conn_t* conn, const api_msghdr_t* hdr, xdrproc_t codec, void* rec);
int gw_ReadTask(gw_conn_t* conn, uint16_t category, uint16_t function, api_msghdr_t* hdr,
                xdrproc_t codec, void* rec, int timeoutMs);

#endif
