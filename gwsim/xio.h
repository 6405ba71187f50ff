// The direct data connection of files opened with OpenX (0x0500/0x0F03):
// the open answers with a data address of its own (a listener on
// 127.0.0.1), accepts the client there and sends it one control byte; each
// ReadX (0x1202) or WriteX (0x1702) request then moves its bytes over that
// connection on a worker, and the request's reply, whose code is the byte
// count (or a negative error), follows once they have moved.
//
// The open is Open's (files.h) with one difference: no access flag means
// read-only. In the lfx run mode (lfx.h) the path names a file of the served
// tree instead of the storage namespace. ReadX sends at most what the file
// holds from the file's offset and, when that is less than asked, closes the
// data connection (the client sees the end); WriteX reads exactly the count.
// Either advances the file's offset. A request on a file without a data
// connection answers -9, while the last one still moves -16.
//
// Configuration (the Xio block), each acting on every OpenX file:
//   ZeroAddress          the open's reply carries 0.0.0.0 with the port
//   NoControlByte        accept the client, never send the control byte
//   CloseBeforeByte      accept the client and close at once
//   ReadLimit = BYTES    ReadX sends at most this much, then closes
//   WriteStallMs = MS    WriteX reads nothing this long, then closes and
//                        answers -5
//   ReadStallMs = MS     ReadX sends nothing this long, then goes on
//   DropReply            ReadX/WriteX move the bytes, then the client
//                        connection is closed instead of answered
//
// gw_XioLoad  reads the Xio block: 0, or -22 with "LINE: reason".
// gw_HandleOpenAny  Open 0x0F00: files.h's, but in the lfx run mode a file
//             of the served tree, opened as the user (no access flag reads).
#ifndef GWSIM_XIO_H
#define GWSIM_XIO_H

#include <string>

#include "gwsim.h"
#include "quorcfgx_stanza.h"

int gw_XioLoad(quor_cfg_stanza_t* block, gw_config_t* cfg, std::string* why);

int gw_HandleOpenAny(gw_conn_t* conn, const api_msghdr_t* hdr, void* req, gw_reply_t* reply);
int gw_HandleOpenX(gw_conn_t* conn, const api_msghdr_t* hdr, void* req, gw_reply_t* reply);
int gw_HandleReadX(gw_conn_t* conn, const api_msghdr_t* hdr, void* req, gw_reply_t* reply);
int gw_HandleWriteX(gw_conn_t* conn, const api_msghdr_t* hdr, void* req, gw_reply_t* reply);
void gw_NoteOpenX(const api_msghdr_t* hdr, const void* req, std::string* note);
void gw_NoteXio(const api_msghdr_t* hdr, const void* req, std::string* note);

#endif
