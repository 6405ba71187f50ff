// Handlers of the namespace calls (category 0x0500) and of the client-API
// configuration, each with the gw_handler_t contract (gwsim.h). Paths are
// resolved against the connection's working directory; results are those a
// POSIX file system gives, as the storage service's negative codes:
// -2 missing, -17 exists (also a directory that is not empty), -20 not a
// directory, -21 a directory where a file is wanted, -22 bad argument,
// -9 bad directory descriptor, -86 name too long.
//
// Stat follows links, Lstat and GetListAttrs do not; FileGetAttributes,
// FileGetXAttributes, FileSetAttributes, Chdir, Chmod, Chown, Utime and
// Opendir follow them. FileGetXAttributes fills every level with flag 0x8,
// else only StorageLevel. FileSetAttributes changes only the selected
// fields (a selection bit per quor_Attrs_t field: 1 << (60 - the field's
// place in declaration order)) and refuses bits of fields that cannot be
// set with -22. Opendir answers the lowest free descriptor (0 included);
// Readdir gives one entry per call and an empty name at the end; ReadAttrs
// gives at most EntryCount entries from OffsetIn, each with the offset to
// continue from, End once the last is given, and OffsetOut. Directory
// listings start with "." and "..", then the names in byte order.
// Umask answers the previous mask. GetConfiguration answers the record the
// last SetConfiguration stored, else gwsim's defaults (HostName "gwsim").
//
// gw_NoteNsPath      journal note " path=P" for requests whose first field
//                    is a path (used by the dispatch rows).
// gw_NoteSetConfig   journal note of a SetConfiguration request.
#ifndef GWSIM_NAMESPACE_H
#define GWSIM_NAMESPACE_H

#include <string>

#include "gwsim.h"

// Selection bits of FileSetAttributes.
#define GW_SEL_BIT(place) (1ULL << (60 - (place)))
#define GW_SEL_Account GW_SEL_BIT(0)
#define GW_SEL_Comment GW_SEL_BIT(2)
#define GW_SEL_COSId GW_SEL_BIT(4)
#define GW_SEL_ExtendedACLs GW_SEL_BIT(7)
#define GW_SEL_FamilyId GW_SEL_BIT(8)
#define GW_SEL_GID GW_SEL_BIT(14)
#define GW_SEL_GroupPerms GW_SEL_BIT(15)
#define GW_SEL_ModePerms GW_SEL_BIT(17)
#define GW_SEL_OptionFlags GW_SEL_BIT(19)
#define GW_SEL_OtherPerms GW_SEL_BIT(20)
#define GW_SEL_RealmId GW_SEL_BIT(22)
#define GW_SEL_SubSystemId GW_SEL_BIT(24)
#define GW_SEL_TimeCreated GW_SEL_BIT(25)
#define GW_SEL_TimeLastRead GW_SEL_BIT(26)
#define GW_SEL_TimeLastWritten GW_SEL_BIT(27)
#define GW_SEL_UID GW_SEL_BIT(31)
#define GW_SEL_UserPerms GW_SEL_BIT(32)

int gw_HandleStat(gw_conn_t* conn, const api_msghdr_t* hdr, void* req, gw_reply_t* reply);
int gw_HandleLstat(gw_conn_t* conn, const api_msghdr_t* hdr, void* req, gw_reply_t* reply);
int gw_HandleGetListAttrs(gw_conn_t* conn, const api_msghdr_t* hdr, void* req, gw_reply_t* reply);
int gw_HandleFileGetAttributes(gw_conn_t* conn, const api_msghdr_t* hdr, void* req,
                               gw_reply_t* reply);
int gw_HandleFileGetXAttributes(gw_conn_t* conn, const api_msghdr_t* hdr, void* req,
                                gw_reply_t* reply);
int gw_HandleFileSetAttributes(gw_conn_t* conn, const api_msghdr_t* hdr, void* req,
                               gw_reply_t* reply);
int gw_HandleChdir(gw_conn_t* conn, const api_msghdr_t* hdr, void* req, gw_reply_t* reply);
int gw_HandleGetcwd(gw_conn_t* conn, const api_msghdr_t* hdr, void* req, gw_reply_t* reply);
int gw_HandleMkdir(gw_conn_t* conn, const api_msghdr_t* hdr, void* req, gw_reply_t* reply);
int gw_HandleRmdir(gw_conn_t* conn, const api_msghdr_t* hdr, void* req, gw_reply_t* reply);
int gw_HandleLink(gw_conn_t* conn, const api_msghdr_t* hdr, void* req, gw_reply_t* reply);
int gw_HandleSymlink(gw_conn_t* conn, const api_msghdr_t* hdr, void* req, gw_reply_t* reply);
int gw_HandleReadlink(gw_conn_t* conn, const api_msghdr_t* hdr, void* req, gw_reply_t* reply);
int gw_HandleRename(gw_conn_t* conn, const api_msghdr_t* hdr, void* req, gw_reply_t* reply);
int gw_HandleUnlink(gw_conn_t* conn, const api_msghdr_t* hdr, void* req, gw_reply_t* reply);
int gw_HandleUtime(gw_conn_t* conn, const api_msghdr_t* hdr, void* req, gw_reply_t* reply);
int gw_HandleChmod(gw_conn_t* conn, const api_msghdr_t* hdr, void* req, gw_reply_t* reply);
int gw_HandleChown(gw_conn_t* conn, const api_msghdr_t* hdr, void* req, gw_reply_t* reply);
int gw_HandleUmask(gw_conn_t* conn, const api_msghdr_t* hdr, void* req, gw_reply_t* reply);
int gw_HandleOpendir(gw_conn_t* conn, const api_msghdr_t* hdr, void* req, gw_reply_t* reply);
int gw_HandleReaddir(gw_conn_t* conn, const api_msghdr_t* hdr, void* req, gw_reply_t* reply);
int gw_HandleReadAttrs(gw_conn_t* conn, const api_msghdr_t* hdr, void* req, gw_reply_t* reply);
int gw_HandleClosedir(gw_conn_t* conn, const api_msghdr_t* hdr, void* req, gw_reply_t* reply);
int gw_HandleGetConfiguration(gw_conn_t* conn, const api_msghdr_t* hdr, void* req,
                              gw_reply_t* reply);
int gw_HandleSetConfiguration(gw_conn_t* conn, const api_msghdr_t* hdr, void* req,
                              gw_reply_t* reply);

void gw_NoteNsPath(const api_msghdr_t* hdr, const void* req, std::string* note);
void gw_NoteSetConfig(const api_msghdr_t* hdr, const void* req, std::string* note);

#endif
