// File data of open files: list reads and writes served by gwsim's movers
// (movers.h), and the file offset calls. Handlers have the gw_handler_t
// contract (gwsim.h).
//
// A list request names one client file (type 11, by gateway descriptor:
// -9 when not open, or not open for that direction) on one side and network
// addresses (type 1, or a type-9 stripe list) on the other: -22 otherwise.
// The file side's FileOffset all ones means the file's current offset. The
// movers move the stream's bytes; the reply counts, per descriptor, the bytes
// that moved as one run from the stream's start, and the file offset moves
// past them. A read stops at a hole that SEEK_HOLE/SEEK_DATA find in the
// stored file: the reply then carries the gap flag 0x20 and a gap record
// (offset 0, its length cut to the request), and the offset moves past the
// gap too. A mover that fails makes the reply's code and Status -5.
//
// Lseek 0x0C03 (whence 0, 1, 2; a negative result -22) and SetFileOffset
// 0x1305 (Direction 0 forward, 1 backward from the whence's base; -22 below
// 0 or for another direction) set the offset.
//
// Journal notes: " fildes=N len=L" on list requests, then " movers=M
// moved=X", " gap=G", " failed=WHY" and " status=S" as they apply.
#ifndef GWSIM_DATA_IO_H
#define GWSIM_DATA_IO_H

#include <string>

#include "gwsim.h"

// 0x0500/0x1207, 0x1701, 0x0C03, 0x1305
int gw_HandleReadList(gw_conn_t* conn, const api_msghdr_t* hdr, void* req, gw_reply_t* reply);
int gw_HandleWriteList(gw_conn_t* conn, const api_msghdr_t* hdr, void* req, gw_reply_t* reply);
int gw_HandleLseek(gw_conn_t* conn, const api_msghdr_t* hdr, void* req, gw_reply_t* reply);
int gw_HandleSetFileOffset(gw_conn_t* conn, const api_msghdr_t* hdr, void* req,
                           gw_reply_t* reply);

void gw_NoteList(const api_msghdr_t* hdr, const void* req, std::string* note);

#endif
