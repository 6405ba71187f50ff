// The lfx run mode: gwsim serves a directory of the host (Lfx.Root, or
// --lfx-root) as the gateway host's own file system, acting as the logged-in
// user. Absolute lfx paths name objects below that directory, relative ones
// start at the session's lfx directory (the user's Home when it exists
// there, else "/"); symbolic links keep their text and are followed inside
// the directory, ".." of its top is the top. Every traversed directory needs
// search permission, and each call the permission a host file system would
// ask for, checked against the user's uid, gid and Groups (uid 0 passes
// all). Objects made for the user belong to the user's uid and gid when
// gwsim runs as root (else to gwsim's own uid). Before a log-in every lfx
// call answers -13; without an lfx directory -5.
//
// Configuration (the Lfx block):
//   Root = DIR             the served directory (--lfx-root wins); gives
//                          the site run mode 2
//   InlineMax = BYTES      inline transfer data up to this size (4194304)
//   AcceptMs = MS          a data listener waits this long (60000)
//   IdleMs = MS            a data connection may stall this long (60000)
//   DropCompletion = N     the Nth data transfer closes the connection
//                          instead of sending its completion
//   EmptyCompletion = N    the Nth completion carries no body
//   FailStatus = N         the Nth data transfer (counted at its init)
//                          moves its data, then completes with -5
//   NoConnect = N          the Nth data transfer never connects (listen
//                          mode) or closes its listener unused (client-
//                          connect mode), and completes with -110
//   UnknownPool = N        the Nth client-connect answer offers a pooled
//                          socket of an id never made; completes with -9
//   MiscountCompletion = N the Nth completion reports one byte more than
//                          moved
//   CloseEarly = N         the Nth data transfer moves half its range,
//                          closes the connection and completes with status
//                          0 and the whole length
//   ShortCompletion = N    the Nth completion: status 0, one byte less than
//                          moved
//   InlineShort = N        the Nth inline get answer carries (and counts)
//                          one byte less than asked
//   ForgetPool = N         the Nth data transfer knows no pooled socket: a
//                          preConnected offer is answered -9
// A new listen socket offered under a pool id the pool still holds closes
// the stale pooled one (journal " reused-id=1").
//   From = ADDR            data connections to a client's listen socket
//                          start from this local IPv4 address
// Init flags honoured on a put: 0x2 moves an existing file aside to its
// name with "~" first, 0x4 appends at the file's own size (never
// truncating), 0x10 (with 0x8) sets the file's times to now at the end.
//
// gw_LfxLoad        reads the Lfx block: 0, or -22 with "LINE: reason".
// gw_LfxResolve     a client path to the components below the served
//                   directory (links followed, the last one only with
//                   follow): 0, -2, -13 (no search permission), -20, -40,
//                   -86. The last component need not exist.
// gw_LfxHostPath    the host path of such components.
// gw_LfxMay         whether the session may use an object with st as asked
//                   (4 read, 2 write, 1 search/execute).
// gw_LfxOpenForXfer opens a regular file for a transfer: reading (write 0;
//                   -2, -21, -13) or writing (created with mode less the
//                   session's mask when missing, truncated when asked):
//                   the host descriptor or a negative code.
// gw_LfxSetUp       makes the served directory when missing, takes its real
//                   path and gives the site run mode 2: 0, or -1 with *err.
// gw_LfxReady       -5 without a served directory, -13 before a log-in, 0.
// gw_LfxErr         a host errno as the gateway's negative code.
#ifndef GWSIM_LFX_H
#define GWSIM_LFX_H

#include <sys/stat.h>

#include <string>
#include <vector>

#include "gwsim.h"
#include "quorcfgx_stanza.h"

int gw_LfxLoad(quor_cfg_stanza_t* block, gw_config_t* cfg, std::string* why);
int gw_LfxSetUp(gw_config_t* cfg, std::string* err);
int gw_LfxReady(const gw_conn_t* conn);
int gw_LfxResolve(gw_conn_t* conn, const char* path, int follow, std::vector<std::string>* comps);
std::string gw_LfxHostPath(const gw_conn_t* conn, const std::vector<std::string>& comps);
bool gw_LfxMay(const gw_conn_t* conn, const struct stat* st, int want);
int gw_LfxOpenForXfer(gw_conn_t* conn, const char* path, int write, int truncate, uint32_t mode);
int gw_LfxErr(int err);

// 0x1600 file-system calls (lfx_fs.cpp)
int gw_HandleLfxStat(gw_conn_t* conn, const api_msghdr_t* hdr, void* req, gw_reply_t* reply);
int gw_HandleLfxLstat(gw_conn_t* conn, const api_msghdr_t* hdr, void* req, gw_reply_t* reply);
int gw_HandleLfxOpendir(gw_conn_t* conn, const api_msghdr_t* hdr, void* req, gw_reply_t* reply);
int gw_HandleLfxReadattrs(gw_conn_t* conn, const api_msghdr_t* hdr, void* req, gw_reply_t* reply);
int gw_HandleLfxRewinddir(gw_conn_t* conn, const api_msghdr_t* hdr, void* req, gw_reply_t* reply);
int gw_HandleLfxClosedir(gw_conn_t* conn, const api_msghdr_t* hdr, void* req, gw_reply_t* reply);
int gw_HandleLfxMkdir(gw_conn_t* conn, const api_msghdr_t* hdr, void* req, gw_reply_t* reply);
int gw_HandleLfxChmod(gw_conn_t* conn, const api_msghdr_t* hdr, void* req, gw_reply_t* reply);
int gw_HandleLfxChown(gw_conn_t* conn, const api_msghdr_t* hdr, void* req, gw_reply_t* reply);
int gw_HandleLfxRename(gw_conn_t* conn, const api_msghdr_t* hdr, void* req, gw_reply_t* reply);
int gw_HandleLfxUnlink(gw_conn_t* conn, const api_msghdr_t* hdr, void* req, gw_reply_t* reply);
int gw_HandleLfxSymlink(gw_conn_t* conn, const api_msghdr_t* hdr, void* req, gw_reply_t* reply);
int gw_HandleLfxReadlink(gw_conn_t* conn, const api_msghdr_t* hdr, void* req, gw_reply_t* reply);
int gw_HandleLfxGetcwd(gw_conn_t* conn, const api_msghdr_t* hdr, void* req, gw_reply_t* reply);
void gw_NoteLfx(const api_msghdr_t* hdr, const void* req, std::string* note);

// 0x1600 transfers (lfx_xfer.cpp): the init request, answered at once and
// completed by a worker, and the clean-up of the socket pool.
int gw_HandleLfxInit(gw_conn_t* conn, const api_msghdr_t* hdr, void* req, gw_reply_t* reply);
int gw_HandleLfxCleanSockPool(gw_conn_t* conn, const api_msghdr_t* hdr, void* req,
                              gw_reply_t* reply);
void gw_NoteLfxInit(const api_msghdr_t* hdr, const void* req, std::string* note);

#endif
