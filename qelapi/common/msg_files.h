// Core storage API messages on files and the session (category
// QEL_CAT_CORE): open, create and close, direct and list data transfer,
// seeks, copy, stage, purge and migrate, classes of service, accounts,
// groups, statistics, configuration and request ids. One request and one
// reply record per call, each with its codec; calls without a body have no
// record for it. Paths are XDR strings of at most QEL_FILES_PATH_MAX bytes.
// Decoders allocate only the account list and the I/O reply's lists (released
// by xdr_free on the reply); an Fstat reply decodes into the caller's record.
#ifndef MSG_FILES_H
#define MSG_FILES_H

#include "msg_conn.h"
#include "qel_xdr.h"
#include "quor_api_msgdefs.h"
#include "quor_iod_clnt.h"
#include "quor_types.h"
#include "xdr_iod.h"
#include "xdr_objects.h"

#define QEL_FN_CORE_AcctCodeToName 0x0101
#define QEL_FN_CORE_AcctNameToCode 0x0102
#define QEL_FN_CORE_Chacct 0x0300
#define QEL_FN_CORE_Close 0x0308
#define QEL_FN_CORE_Create 0x030C
#define QEL_FN_CORE_CopyFile 0x030D
#define QEL_FN_CORE_Fstat 0x060B
#define QEL_FN_CORE_FileSetCOS 0x060F
#define QEL_FN_CORE_GetAcct 0x0700
#define QEL_FN_CORE_GetAcctName 0x0701
#define QEL_FN_CORE_GetAsyncStatus 0x0703
#define QEL_FN_CORE_GetSubsysStats 0x0704
#define QEL_FN_CORE_GetConfiguration 0x0706
#define QEL_FN_CORE_GetAcctList 0x070A
#define QEL_FN_CORE_GetUniqueRequestID 0x0711
#define QEL_FN_CORE_Lseek 0x0C03
#define QEL_FN_CORE_Migrate 0x0D00
#define QEL_FN_CORE_Open 0x0F00
#define QEL_FN_CORE_OpenX 0x0F03
#define QEL_FN_CORE_Purge 0x1000
#define QEL_FN_CORE_ReadX 0x1202
#define QEL_FN_CORE_ReadList 0x1207
#define QEL_FN_CORE_SetAcct 0x1302
#define QEL_FN_CORE_SetAcctByName 0x1303
#define QEL_FN_CORE_SetConfiguration 0x1304
#define QEL_FN_CORE_SetFileOffset 0x1305
#define QEL_FN_CORE_Stage 0x1308
#define QEL_FN_CORE_SetGID 0x130D
#define QEL_FN_CORE_SetCOSByHints 0x130E
#define QEL_FN_CORE_StageCallBack 0x130F
#define QEL_FN_CORE_WriteList 0x1701
#define QEL_FN_CORE_WriteX 0x1702

#define QEL_FILES_PATH_MAX 1024
// Account names travel as this many bytes (opaque), or as a bounded string
// of at most this many bytes with its NUL.
#define QEL_ACCT_NAME_WIRE 128

typedef struct api_quor_AcctCodeToName_req {
  acct_rec_t Account;
  unsigned32 Site;
} api_quor_AcctCodeToName_req_t;

// Decoding terminates AcctName after the 128 bytes received.
typedef struct api_quor_AcctCodeToName_rply {
  unsigned32 Site;
  char AcctName[QUOR_ACCT_NAME_MAX + 1];
} api_quor_AcctCodeToName_rply_t;

typedef struct api_quor_AcctNameToCode_req {
  char AcctName[QUOR_ACCT_NAME_MAX + 1];  // the first 128 bytes are sent
  unsigned32 Site;
} api_quor_AcctNameToCode_req_t;

typedef struct api_quor_AcctNameToCode_rply {
  unsigned32 Site;
  acct_rec_t Account;
} api_quor_AcctNameToCode_rply_t;

typedef struct api_quor_Chacct_req {
  char* Path;
  acct_rec_t Account;
} api_quor_Chacct_req_t;

// Requests that name one open file.
typedef struct api_quor_fildes_req {
  int32_t Fildes;
} api_quor_fildes_req_t;
typedef api_quor_fildes_req_t api_quor_Close_req_t;
typedef api_quor_fildes_req_t api_quor_Fstat_req_t;

typedef struct api_quor_Create_req {
  char* Path;
  mode_t Mode;
  quor_cos_hints_t HintsIn;
  quor_cos_priorities_t HintsPri;
} api_quor_Create_req_t;

typedef struct api_quor_Create_rply {
  quor_sockaddr_t connectaddr;
  uint32_t dataport;
  quor_cos_hints_t HintsOut;
} api_quor_Create_rply_t;

typedef struct api_quor_CopyFile_req {
  int32_t SrcFildes;
  int32_t DestFildes;
} api_quor_CopyFile_req_t;

// The caller points StatBuf at its own record before decoding.
typedef struct api_quor_Fstat_rply {
  quor_stat_t* StatBuf;
} api_quor_Fstat_rply_t;

typedef struct api_quor_FileSetCOS_req {
  char* Path;
  unsigned32 COSId;
  unsigned32 StreamId;
} api_quor_FileSetCOS_req_t;

typedef struct api_quor_GetAcct_rply {
  acct_rec_t RetDefAcct;
  acct_rec_t RetCurAcct;
} api_quor_GetAcct_rply_t;

// Decoding terminates AcctName after the 128 bytes received.
typedef struct api_quor_GetAcctName_rply {
  char AcctName[QUOR_ACCT_NAME_MAX + 1];
} api_quor_GetAcctName_rply_t;

typedef struct api_quor_GetAsyncStatus_req {
  quor_reqid_t callbackID;
  bfs_bitfile_obj_handle_t BitfileObj;
} api_quor_GetAsyncStatus_req_t;

typedef struct api_quor_GetAsyncStatus_rply {
  int32_t Status;
} api_quor_GetAsyncStatus_rply_t;

typedef struct api_quor_GetSubsysStats_req {
  unsigned32 SubsystemID;
} api_quor_GetSubsysStats_req_t;

typedef struct api_quor_GetSubsysStats_rply {
  subsys_stats_t StatsOut;
} api_quor_GetSubsysStats_rply_t;

typedef struct api_quor_GetConfiguration_rply {
  api_config_t ConfigOut;
} api_quor_GetConfiguration_rply_t;

// Decoding allocates acctEntries (null when entryCount is 0).
typedef struct api_quor_GetAcctList_rply {
  unsigned32 entryCount;
  acct_list_t* acctEntries;
} api_quor_GetAcctList_rply_t;

typedef struct api_quor_GetUniqueRequestID_rply {
  quor_reqid_t RetReqid;
} api_quor_GetUniqueRequestID_rply_t;

typedef struct api_quor_Lseek_req {
  int32_t Fildes;
  int64_t Offset;
  int32_t Whence;
} api_quor_Lseek_req_t;

typedef struct api_quor_Lseek_rply {
  int64_t retval;  // the new offset
} api_quor_Lseek_rply_t;

typedef struct api_quor_Migrate_req {
  int32_t Fildes;
  unsigned32 SrcLevel;
  unsigned32 Flags;
} api_quor_Migrate_req_t;

typedef struct api_quor_Migrate_rply {
  u_signed64 RetBytesMigrated;
} api_quor_Migrate_rply_t;

typedef struct api_quor_Open_req {
  char* Path;
  unsigned32 Oflag;
  mode_t Mode;
  quor_cos_hints_t HintsIn;
  quor_cos_priorities_t HintsPri;
} api_quor_Open_req_t;

typedef struct api_quor_Open_rply {
  quor_cos_hints_t HintsOut;
} api_quor_Open_rply_t;

typedef struct api_quor_OpenX_req {
  unsigned32 XIOFlags;
  quor_sockaddr_t connectaddr;
  uint16_t dataport;  // network byte order here, the port number on the wire
  char* Path;
  unsigned32 Oflag;
  mode_t Mode;
  quor_cos_hints_t HintsIn;
  quor_cos_priorities_t HintsPri;
} api_quor_OpenX_req_t;

typedef struct api_quor_OpenX_rply {
  quor_sockaddr_t connectaddr;
  uint16_t dataport;  // the port number as sent
  quor_cos_hints_t HintsOut;
} api_quor_OpenX_rply_t;

// Purge and Stage name the same range of an open file.
typedef struct api_quor_range_req {
  int32_t Fildes;
  u_signed64 Offset;
  u_signed64 Length;
  unsigned32 StorageLevel;
  unsigned32 Flags;
} api_quor_range_req_t;
typedef api_quor_range_req_t api_quor_Purge_req_t;
typedef api_quor_range_req_t api_quor_Stage_req_t;

typedef struct api_quor_Purge_rply {
  u_signed64 RetBytesPurged;
} api_quor_Purge_rply_t;

// Direct data transfer on a file opened with OpenX.
typedef struct api_quor_xio_req {
  unsigned32 XIOFlags;
  int32_t Fildes;
  u_signed64 Nbyte;
} api_quor_xio_req_t;
typedef api_quor_xio_req_t api_quor_ReadX_req_t;
typedef api_quor_xio_req_t api_quor_WriteX_req_t;

// Flags follows the descriptor here but goes before it on the wire.
typedef struct api_quor_list_req {
  quor_IOD_t theIOD;
  unsigned32 Flags;
} api_quor_list_req_t;
typedef api_quor_list_req_t api_quor_ReadList_req_t;
typedef api_quor_list_req_t api_quor_WriteList_req_t;

// Releasing frees the reply's decoded lists and ReqSpec reply.
typedef struct api_quor_list_rply {
  quor_IOR_t theIOR;
} api_quor_list_rply_t;
typedef api_quor_list_rply_t api_quor_ReadList_rply_t;
typedef api_quor_list_rply_t api_quor_WriteList_rply_t;

typedef struct api_quor_SetAcct_req {
  acct_rec_t NewCurAcct;
} api_quor_SetAcct_req_t;

// At most 127 characters: a longer name fails the encoding.
typedef struct api_quor_SetAcctByName_req {
  char AcctName[QUOR_ACCT_NAME_MAX + 1];
} api_quor_SetAcctByName_req_t;

typedef struct api_quor_SetConfiguration_req {
  api_config_t ConfigIn;
} api_quor_SetConfiguration_req_t;

typedef struct api_quor_SetFileOffset_req {
  int32_t Fildes;
  u_signed64 OffsetIn;
  int32_t Whence;
  int32_t Direction;
} api_quor_SetFileOffset_req_t;

typedef struct api_quor_SetFileOffset_rply {
  u_signed64 OffsetOut;
} api_quor_SetFileOffset_rply_t;

typedef struct api_quor_SetGID_req {
  unsigned32 NewCurGID;
} api_quor_SetGID_req_t;

typedef struct api_quor_SetCOSByHints_req {
  int32_t Fildes;
  unsigned32 Flags;
  quor_cos_hints_t HintsIn;
  quor_cos_priorities_t PrioPriIn;
} api_quor_SetCOSByHints_req_t;

typedef struct api_quor_SetCOSByHints_rply {
  quor_cos_md_t COSout;
} api_quor_SetCOSByHints_rply_t;

typedef struct api_quor_StageCallBack_req {
  char* Path;
  u_signed64 Offset;
  u_signed64 Length;
  unsigned32 StorageLevel;
  unsigned32 Flags;
  bfs_callback_addr_t CallBackPtr;  // all zeros: no report wanted
} api_quor_StageCallBack_req_t;

typedef struct api_quor_StageCallBack_rply {
  quor_reqid_t ReqID;
  bfs_bitfile_obj_handle_t BitfileObj;
} api_quor_StageCallBack_rply_t;

bool_t qel_xdr_api_quor_AcctCodeToName_req_t(XDR* xdrs, api_quor_AcctCodeToName_req_t* objp);
bool_t qel_xdr_api_quor_AcctCodeToName_rply_t(XDR* xdrs, api_quor_AcctCodeToName_rply_t* objp);
bool_t qel_xdr_api_quor_AcctNameToCode_req_t(XDR* xdrs, api_quor_AcctNameToCode_req_t* objp);
bool_t qel_xdr_api_AcctNameToCode_rply_t(XDR* xdrs, api_quor_AcctNameToCode_rply_t* objp);
bool_t qel_xdr_api_quor_Chacct_req_t(XDR* xdrs, api_quor_Chacct_req_t* objp);
bool_t qel_xdr_api_quor_Close_req_t(XDR* xdrs, api_quor_Close_req_t* objp);
bool_t qel_xdr_api_quor_Create_req_t(XDR* xdrs, api_quor_Create_req_t* objp);
bool_t qel_xdr_api_quor_Create_rply_t(XDR* xdrs, api_quor_Create_rply_t* objp);
bool_t qel_xdr_api_quor_CopyFile_req_t(XDR* xdrs, api_quor_CopyFile_req_t* objp);
bool_t qel_xdr_api_quor_Fstat_req_t(XDR* xdrs, api_quor_Fstat_req_t* objp);
bool_t qel_xdr_api_quor_Fstat_rply_t(XDR* xdrs, api_quor_Fstat_rply_t* objp);
bool_t qel_xdr_api_quor_FileSetCOS_req_t(XDR* xdrs, api_quor_FileSetCOS_req_t* objp);
bool_t qel_xdr_api_quor_GetAcct_rply_t(XDR* xdrs, api_quor_GetAcct_rply_t* objp);
bool_t qel_xdr_api_quor_GetAcctName_rply_t(XDR* xdrs, api_quor_GetAcctName_rply_t* objp);
bool_t qel_xdr_api_quor_GetAsyncStatus_req_t(XDR* xdrs, api_quor_GetAsyncStatus_req_t* objp);
bool_t qel_xdr_api_quor_GetAsyncStatus_rply_t(XDR* xdrs, api_quor_GetAsyncStatus_rply_t* objp);
bool_t qel_xdr_api_quor_GetSubsysStats_req_t(XDR* xdrs, api_quor_GetSubsysStats_req_t* objp);
bool_t qel_xdr_api_quor_GetSubsysStats_rply_t(XDR* xdrs, api_quor_GetSubsysStats_rply_t* objp);
bool_t qel_xdr_api_quor_GetConfiguration_rply_t(XDR* xdrs,
                                                api_quor_GetConfiguration_rply_t* objp);
bool_t qel_xdr_api_quor_GetAcctList_rply_t(XDR* xdrs, api_quor_GetAcctList_rply_t* objp);
bool_t qel_xdr_api_quor_GetUniqueRequestID_rply_t(XDR* xdrs,
                                                  api_quor_GetUniqueRequestID_rply_t* objp);
bool_t qel_xdr_api_quor_Lseek_req_t(XDR* xdrs, api_quor_Lseek_req_t* objp);
bool_t qel_xdr_api_quor_Lseek_rply_t(XDR* xdrs, api_quor_Lseek_rply_t* objp);
bool_t qel_xdr_api_quor_Migrate_req_t(XDR* xdrs, api_quor_Migrate_req_t* objp);
bool_t qel_xdr_api_quor_Migrate_rply_t(XDR* xdrs, api_quor_Migrate_rply_t* objp);
bool_t qel_xdr_api_quor_Open_req_t(XDR* xdrs, api_quor_Open_req_t* objp);
bool_t qel_xdr_api_quor_Open_rply_t(XDR* xdrs, api_quor_Open_rply_t* objp);
bool_t qel_xdr_api_quor_OpenX_req_t(XDR* xdrs, api_quor_OpenX_req_t* objp);
bool_t qel_xdr_api_quor_OpenX_rply_t(XDR* xdrs, api_quor_OpenX_rply_t* objp);
bool_t qel_xdr_api_quor_Purge_req_t(XDR* xdrs, api_quor_Purge_req_t* objp);
bool_t qel_xdr_api_quor_Purge_rply_t(XDR* xdrs, api_quor_Purge_rply_t* objp);
bool_t qel_xdr_api_quor_ReadX_req_t(XDR* xdrs, api_quor_ReadX_req_t* objp);
bool_t qel_xdr_api_quor_ReadList_req_t(XDR* xdrs, api_quor_ReadList_req_t* objp);
bool_t qel_xdr_api_quor_ReadList_rply_t(XDR* xdrs, api_quor_ReadList_rply_t* objp);
bool_t qel_xdr_api_quor_SetAcct_req_t(XDR* xdrs, api_quor_SetAcct_req_t* objp);
bool_t qel_xdr_api_quor_SetAcctByName_req_t(XDR* xdrs, api_quor_SetAcctByName_req_t* objp);
bool_t qel_xdr_api_quor_SetConfiguration_req_t(XDR* xdrs, api_quor_SetConfiguration_req_t* objp);
bool_t qel_xdr_api_quor_SetFileOffset_req_t(XDR* xdrs, api_quor_SetFileOffset_req_t* objp);
bool_t qel_xdr_api_quor_SetFileOffset_rply_t(XDR* xdrs, api_quor_SetFileOffset_rply_t* objp);
bool_t qel_xdr_api_quor_Stage_req_t(XDR* xdrs, api_quor_Stage_req_t* objp);
bool_t qel_xdr_api_quor_SetGID_req_t(XDR* xdrs, api_quor_SetGID_req_t* objp);
bool_t qel_xdr_api_quor_SetCOSByHints_req_t(XDR* xdrs, api_quor_SetCOSByHints_req_t* objp);
bool_t qel_xdr_api_quor_SetCOSByHints_rply_t(XDR* xdrs, api_quor_SetCOSByHints_rply_t* objp);
bool_t qel_xdr_api_quor_StageCallBack_req_t(XDR* xdrs, api_quor_StageCallBack_req_t* objp);
bool_t qel_xdr_api_quor_StageCallBack_rply_t(XDR* xdrs, api_quor_StageCallBack_rply_t* objp);
bool_t qel_xdr_quor_WriteList_req_t(XDR* xdrs, api_quor_WriteList_req_t* objp);
bool_t qel_xdr_api_quor_WriteList_rply_t(XDR* xdrs, api_quor_WriteList_rply_t* objp);
bool_t qel_xdr_api_quor_WriteX_req_t(XDR* xdrs, api_quor_WriteX_req_t* objp);

#endif
