// More steps of relay scripts (see relay.h):
//   Line = TEXT              a listing reply (0x2) of TEXT and a newline
//   ErrorLine = TEXT         an error reply (0x4) of TEXT and a newline
//   Stream = COUNT MS TEXT   listing lines "TEXT 1" .. "TEXT COUNT", MS ms
//                            apart (COUNT 0: until interrupted); an
//                            interrupt notice ends the stream early and the
//                            script goes on after it
//
// gw_RelayLoadExtraStep  fills *st for one of these keys: 1; 0 when the key
//                        is none of them; -22 with "LINE: reason" in *err.
// gw_RelayStream         runs a Stream step for the request req: 0, or -1
//                        when the client is gone. Journal: "conn=N
//                        relay-interrupted after=K" when an interrupt ended it
//                        (another message ends it too: "relay-stream-stopped").
#ifndef GWSIM_RELAY_STREAM_H
#define GWSIM_RELAY_STREAM_H

#include <string>

#include "gwsim.h"

int gw_RelayLoadExtraStep(const char* key, const char* value, gw_cmd_step_t* st,
                          std::string* err, unsigned line);
int gw_RelayStream(gw_conn_t* conn, const gw_cmd_step_t* st, const api_msghdr_t* req);

#endif
