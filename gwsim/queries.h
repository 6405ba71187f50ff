// gwsim's answers to the questions about the service's configuration:
// classes of service and named COS lists, filesets, junctions, subsystem
// statistics, the transfer-concurrency table and the message of the day;
// and the configuration blocks they come from (README.md: "Service
// tables"). Handlers have the gw_handler_t contract (gwsim.h).
//
// gw_TablesDefaults  empty tables, copies answered as asked.
// gw_TablesBlock     1 when name is one of the blocks gw_TablesLoad reads.
// gw_TablesLoad      reads one such block into cfg->tables: 0, or -22 with
//                    "FILE:LINE: reason" in *err.
// gw_FindCOS         the class of that id, or null.
// gw_COSUnavailable  the list flags 0x1/0x2/0x4 of cos for that uid, gid
//                    and account (0x8 is not included).
// gw_PickCOS         the first class of the candidate ids (all classes when
//                    ids is null) that is open to uid/gid/account, may be
//                    chosen automatically, takes files of size and, when
//                    given, copies and subsystem; null when none does.
#ifndef GWSIM_QUERIES_H
#define GWSIM_QUERIES_H

#include <string>
#include <vector>

#include "gwsim.h"
#include "quorcfgx_stanza.h"

void gw_TablesDefaults(gw_tables_t* t);
int gw_TablesBlock(const char* name);
int gw_TablesLoad(quor_cfg_stanza_t* block, gw_config_t* cfg, const char* path, std::string* err);

const gw_cos_t* gw_FindCOS(const gw_config_t* cfg, uint32_t id);
uint32_t gw_COSUnavailable(const gw_cos_t* cos, uint32_t uid, uint32_t gid, uint32_t account);
const gw_cos_t* gw_PickCOS(const gw_config_t* cfg, const std::vector<uint32_t>* ids, uint64_t size,
                           uint32_t uid, uint32_t gid, uint32_t account, int32_t copies,
                           uint32_t subsys);

// 0x0800/0x0100..0x0104
int gw_HandleSelectCOS(gw_conn_t* conn, const api_msghdr_t* hdr, void* req, gw_reply_t* reply);
int gw_HandleGetCOSList(gw_conn_t* conn, const api_msghdr_t* hdr, void* req, gw_reply_t* reply);
int gw_HandleNamedCOSLists(gw_conn_t* conn, const api_msghdr_t* hdr, void* req, gw_reply_t* reply);
int gw_HandleNamedCOSInfo(gw_conn_t* conn, const api_msghdr_t* hdr, void* req, gw_reply_t* reply);
int gw_HandleXferConcurrency(gw_conn_t* conn, const api_msghdr_t* hdr, void* req,
                             gw_reply_t* reply);
// 0x0500/0x060F, 0x0607, 0x0608, 0x0708, 0x0704
int gw_HandleFileSetCOS(gw_conn_t* conn, const api_msghdr_t* hdr, void* req, gw_reply_t* reply);
int gw_HandleFilesetGetAttrs(gw_conn_t* conn, const api_msghdr_t* hdr, void* req,
                             gw_reply_t* reply);
int gw_HandleFilesetListAll(gw_conn_t* conn, const api_msghdr_t* hdr, void* req, gw_reply_t* reply);
int gw_HandleGetJunctions(gw_conn_t* conn, const api_msghdr_t* hdr, void* req, gw_reply_t* reply);
int gw_HandleGetSubsysStats(gw_conn_t* conn, const api_msghdr_t* hdr, void* req, gw_reply_t* reply);
// 0x0100/0x0002
int gw_HandleGetMotd(gw_conn_t* conn, const api_msghdr_t* hdr, void* req, gw_reply_t* reply);

// Journal notes of the requests above.
void gw_NoteSelectCOS(const api_msghdr_t* hdr, const void* req, std::string* note);
void gw_NoteGetCOSList(const api_msghdr_t* hdr, const void* req, std::string* note);
void gw_NoteNamedCOSInfo(const api_msghdr_t* hdr, const void* req, std::string* note);
void gw_NoteFileSetCOS(const api_msghdr_t* hdr, const void* req, std::string* note);
void gw_NoteFilesetGetAttrs(const api_msghdr_t* hdr, const void* req, std::string* note);
void gw_NoteFilesetListAll(const api_msghdr_t* hdr, const void* req, std::string* note);
void gw_NoteGetJunctions(const api_msghdr_t* hdr, const void* req, std::string* note);
void gw_NoteGetSubsysStats(const api_msghdr_t* hdr, const void* req, std::string* note);

#endif
