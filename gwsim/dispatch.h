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
// Handlers reach the client through reply.h; nothing but the request
// loop and gwsim's start-up includes this header.
//
// gw_ConnInit        sets up a connection record for connection number num
//                    of gwsim serving cfg over socket fd (-1: none, as for
//                    gw_ServeBuffer); the caller gives it a reader.
// gw_ServeConnection sends the server state, then serves requests until the
//                    client leaves, a fault drops the connection or gwsim
//                    stops; journals open and close. Shuts the socket down but
//                    leaves conn->fd open for the caller to close.
// gw_ServeBuffer     serves the requests in the len bytes at data on conn as
//                    the request loop does (without the server state first),
//                    appending every byte gwsim would send to *out; stops at
//                    the end of the bytes or where the loop would close the
//                    connection, then releases what the requests left open.
//                    Returns the number of requests read. conn comes from
//                    gw_ConnInit with fd -1; it may be served again. This is
//                    how a fuzzer drives the decoders and handlers.
#ifndef GWSIM_DISPATCH_H
#define GWSIM_DISPATCH_H

#include <stddef.h>

#include <vector>

#include "gwsim.h"

typedef struct gw_dispatch_entry {
  uint16_t category;
  uint16_t function;
  xdrproc_t reqCodec;  // null: the request has no body
  size_t reqSize;      // size of the request record
  gw_handler_t handler;
  gw_note_t note;  // null: nothing more to journal
} gw_dispatch_entry_t;

void gw_ConnInit(gw_conn_t* conn, gw_config_t* cfg, int num, int fd);
void gw_ServeConnection(gw_conn_t* conn);
size_t gw_ServeBuffer(gw_conn_t* conn, const char* data, size_t len, std::vector<char>* out);

#endif
