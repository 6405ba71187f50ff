// The calls the stage scheduler makes on the connection its volume was
// queued on, whichever connection is current. Library code only.
//
// qelapi_HoldConnection   the connection of a handle with a reference taken
//                         (release with qelapi_ConnRelease); null when no
//                         open connection has it.
// qelapi_StageCallBackOn, qelapi_GetAsyncStatusOn, qelapi_FileGetXAttributesOn
//                         quor_StageCallBack, quor_GetAsyncStatus and
//                         quor_FileGetXAttributes on conn; the same
//                         arguments, checks and results. The caller has
//                         started the library and has a thread context.
// qelapi_GetUniqueRequestIDOn quor_GetUniqueRequestID on conn.
// qelapi_FreeXAttrsLists  frees the volume lists a quor_xfileattr_t carries.
#ifndef QUOR_STAGE_H
#define QUOR_STAGE_H

#include "quor_api_internal.h"
#include "quor_types.h"

quor_connection_t* qelapi_HoldConnection(int handle);
int qelapi_StageCallBackOn(quor_connection_t* conn, const char* Path, uint64_t Offset,
                           uint64_t Length, uint32_t StorageLevel,
                           const bfs_callback_addr_t* CallBackPtr, uint32_t Flags,
                           quor_reqid_t* ReqID, bfs_bitfile_obj_handle_t* BitfileID);
int qelapi_GetAsyncStatusOn(quor_connection_t* conn, quor_reqid_t CallBackId,
                            const bfs_bitfile_obj_handle_t* BfId, int32_t* Status);
int qelapi_FileGetXAttributesOn(quor_connection_t* conn, const char* Path, uint32_t Flags,
                                uint32_t StorageLevel, quor_xfileattr_t* AttrOut);
quor_reqid_t qelapi_GetUniqueRequestIDOn(quor_connection_t* conn);
void qelapi_FreeXAttrsLists(quor_xfileattr_t* attrs);

#endif
