// Residency of file data on the storage levels, and the calls that move it:
// purge, migrate, stage, the asynchronous stage with its completion report,
// its status, and a class-of-service change by hints. Handlers have the
// gw_handler_t contract (gwsim.h) and work on the connection's open files
// (files.h) unless they take a path.
//
// Levels: 0 is disk, 1 tape (store.h). Purge(level L) drops L's copy when a
// deeper level holds the data (bytes purged; 0 when nothing could go; -1
// under a purge lock). Migrate(L) copies L's data to L+1 (bytes migrated; 0
// when L+1 holds it already). Stage(L) brings tape-only data to disk level L.
//
// StageCallBack and GetAsyncStatus are recall.cpp's (see recall.h): the
// stage is taken by the volume's drive and reported on the callback address
// when its recall ends.
//
// SetCOSByHints: only before the first byte is written (-22 after); the
// hints' COSId (a class of the tables when any are configured, else -22).
// Result: the new class id with its description, or 0 when unchanged.
//
// gw_OnTapeOnly     1 when the file's data lies on tape levels only.
// gw_StageToLevel   puts a copy of the data on disk level `level` (store
//                   lock taken): 0, -2, -22 (not a disk level); *bytes (may
//                   be null) gets the bytes staged, 0 when already there.
// gw_StageShutdown  stops the drives (no more reports are sent) and joins
//                   their threads; runs by itself at exit too (recall.cpp).
#ifndef GWSIM_STAGE_H
#define GWSIM_STAGE_H

#include <string>

#include "gwsim.h"
#include "store.h"

int gw_OnTapeOnly(const gw_meta_t* m);
int gw_StageToLevel(const std::string& nspath, uint32_t level, uint64_t* bytes);
void gw_StageShutdown(void);

// 0x0500/0x1000, 0x0D00, 0x1308, 0x130F, 0x0703, 0x130E
int gw_HandlePurge(gw_conn_t* conn, const api_msghdr_t* hdr, void* req, gw_reply_t* reply);
int gw_HandleMigrate(gw_conn_t* conn, const api_msghdr_t* hdr, void* req, gw_reply_t* reply);
int gw_HandleStage(gw_conn_t* conn, const api_msghdr_t* hdr, void* req, gw_reply_t* reply);
int gw_HandleStageCallBack(gw_conn_t* conn, const api_msghdr_t* hdr, void* req,
                           gw_reply_t* reply);
int gw_HandleGetAsyncStatus(gw_conn_t* conn, const api_msghdr_t* hdr, void* req,
                            gw_reply_t* reply);
int gw_HandleSetCOSByHints(gw_conn_t* conn, const api_msghdr_t* hdr, void* req,
                           gw_reply_t* reply);

void gw_NoteStageCallBack(const api_msghdr_t* hdr, const void* req, std::string* note);
// " fildes=N level=L flags=0xF" of Migrate and Purge; their handlers add the
// open file's " path=P".
void gw_NoteMigrate(const api_msghdr_t* hdr, const void* req, std::string* note);
void gw_NotePurge(const api_msghdr_t* hdr, const void* req, std::string* note);

#endif
