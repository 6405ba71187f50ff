// Copies between gateways, the sink's side. The sink's request names an
// open file of its connection; gwsim opens as many loopback listen sockets
// as asked (Copies ListenCount: that many instead, at most 64 unless the
// block asks for more) and answers their addresses with the request's
// transfer id. The source gateway's movers then push a list read's data to
// them, as parallel-data packets or through the mover protocol (initiator,
// our reply and IP-address message, a data connection, a completion per
// piece); every header must carry the copy's 64-bit transfer id and lie
// inside [0, length), and lands in the sink file at sink offset + its
// offset. Anything else aborts the copy (state 3).
//
// A poll (QueryCopy flags 0) reports state 1 until data arrives, 2 while it
// does, 6 once every byte of the length arrived; with the distinct bytes
// written. A completion notice (flags 5) waits for the movers' last bytes,
// reports 6 (or 3 when the copy aborted) and forgets the copy. Cancel with
// flags 2 aborts it (error -4, the sockets closed); flags 0 forgets it.
// Unknown handles: -2. Rules (Copies block): FailAt/Error (the Nth copy is
// aborted from the start), AbortAt/AbortBytes/AbortState (the Nth copy
// aborts with state 3 or 7 once so many bytes arrived), RefuseCompletion
// (the Nth copy answers its completion notice with state 3).
//
// gw_CopiesRelease  forgets the copies whose sink file conn held (the
//                   connection ends): their handles answer -2 from then on.
#ifndef GWSIM_COPY_REMOTE_H
#define GWSIM_COPY_REMOTE_H

#include <string>

#include "gwsim.h"

void gw_CopiesRelease(const gw_conn_t* conn);

// 0x0800/0x0300, 0x0301, 0x0302
int gw_HandleCopyRemote(gw_conn_t* conn, const api_msghdr_t* hdr, void* req, gw_reply_t* reply);
int gw_HandleQueryCopy(gw_conn_t* conn, const api_msghdr_t* hdr, void* req, gw_reply_t* reply);
int gw_HandleCancelCopy(gw_conn_t* conn, const api_msghdr_t* hdr, void* req, gw_reply_t* reply);

void gw_NoteCopyRemote(const api_msghdr_t* hdr, const void* req, std::string* note);
void gw_NoteQueryCopy(const api_msghdr_t* hdr, const void* req, std::string* note);
void gw_NoteCancelCopy(const api_msghdr_t* hdr, const void* req, std::string* note);

#endif
