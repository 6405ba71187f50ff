// Files the client opens on a connection: create, open, close, fstat and
// the gateway-side copy. A gateway descriptor is the index of the file in
// gw_conn_t::files (the lowest free one); each holds a host descriptor on
// the file's data under the namespace root. Handlers have the gw_handler_t
// contract (gwsim.h); notes add " path=... oflag=0x..." or " fildes=N" to
// the journal line.
//
// Open flags: access 0x1 read, 0x2 write, 0x4 both, none (open for
// neither); 0x8 append, 0x10 create, 0x20 exclusive, 0x40 truncate. A file
// whose data lies on tape only is staged to level 0 by the open (the journal
// line then ends in " staged") unless 0x80 is given. Errors: -2 no such
// file, -17 exists (create, or open with 0x10|0x20), -21 a directory, -13
// no permission, -9 a descriptor that is not open.
//
// gw_FilesCloseAll  closes every file still open on conn (connection end).
#ifndef GWSIM_FILES_H
#define GWSIM_FILES_H

#include <string>

#include "gwsim.h"

void gw_FilesCloseAll(gw_conn_t* conn);

// 0x0500/0x030C, 0x0F00, 0x0308, 0x060B, 0x030D
int gw_HandleCreate(gw_conn_t* conn, const api_msghdr_t* hdr, void* req, gw_reply_t* reply);
int gw_HandleOpen(gw_conn_t* conn, const api_msghdr_t* hdr, void* req, gw_reply_t* reply);
int gw_HandleClose(gw_conn_t* conn, const api_msghdr_t* hdr, void* req, gw_reply_t* reply);
int gw_HandleFstat(gw_conn_t* conn, const api_msghdr_t* hdr, void* req, gw_reply_t* reply);
int gw_HandleCopyFile(gw_conn_t* conn, const api_msghdr_t* hdr, void* req, gw_reply_t* reply);

void gw_NoteCreate(const api_msghdr_t* hdr, const void* req, std::string* note);
void gw_NoteOpen(const api_msghdr_t* hdr, const void* req, std::string* note);
void gw_NoteFildes(const api_msghdr_t* hdr, const void* req, std::string* note);
void gw_NoteCopyFile(const api_msghdr_t* hdr, const void* req, std::string* note);

#endif
