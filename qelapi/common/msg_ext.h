// Records and codecs of the gateway's own services: choosing and listing
// classes of service and named class lists, the transfer-concurrency table,
// copies of storage files taken from another gateway, and ACL copies.
// Decoding allocates every list, id array and string into the caller's
// cleared record; xdr_free(codec, rec) releases them. Negative counts, id
// lists above EXT_LIST_MAX and a copy reply with more than
// API_COPY_MAX_LISTEN addresses are refused in both directions.
#ifndef MSG_EXT_H
#define MSG_EXT_H

#include <stdint.h>

#include "qel_xdr.h"
#include "quor_iod_clnt.h"
#include "quor_types.h"

#define QEL_FN_EXT_SelectCOS 0x0100
#define QEL_FN_EXT_GetCOSList 0x0101
#define QEL_FN_EXT_GetNamedCOSLists 0x0102
#define QEL_FN_EXT_GetNamedCOSInfo 0x0103
#define QEL_FN_EXT_ConfGetXferConcurrency 0x0104
#define QEL_FN_EXT_CopyRemoteFile 0x0300
#define QEL_FN_EXT_QueryCopy 0x0301
#define QEL_FN_EXT_CancelCopy 0x0302
#define QEL_FN_EXT_CopyACL 0x0310

// Bound on a COS entry's subsystem ids: the array is sized from the wire
// before the ids arrive.
#define EXT_LIST_MAX 65536
#define API_COPY_MAX_LISTEN 64
#define API_COPY_PATH_MAX 1024  // wire bound with the NUL: at most 1023 characters
#define API_COPY_INFOSTRING_LEN 100

typedef struct api_selectcos_req {
  uint32_t cosNameLen;  // bound of cosList; 0 when no named list is given
  char* cosList;
  uint64_t fileSize;
  uint32_t uid;
  uint32_t gid;
  uint32_t charge;
  int32_t copies;
  uint32_t subsysId;
} api_selectcos_req_t;

typedef struct api_selectcos_rply {
  quor_cos_hints_t HintsIn;
  quor_cos_priorities_t HintPriorities;
} api_selectcos_rply_t;

typedef struct api_get_coslist_req {
  uint32_t flags;
  int32_t cos;
  uint32_t uid;
  uint32_t gid;
  uint32_t charge;
} api_get_coslist_req_t;

typedef struct api_get_coslist_rply {
  int32_t entry_count;
  cos_list_entry_t* cos_entries;
} api_get_coslist_rply_t;

typedef struct api_named_coslists_rply {
  uint32_t entry_count;
  char** list_entries;  // entry_count list names
} api_named_coslists_rply_t;

// The name's length goes first on the wire; it is not kept in the record.
typedef struct api_named_cos_info_req {
  char* listName;  // null: no list
} api_named_cos_info_req_t;

typedef cos_namelist_entry_t api_named_cos_info_rply_t;

typedef struct api_concurrent_xfer_rply {
  int32_t entry_count;
  xfer_size_to_count_t* xfer_list;
} api_concurrent_xfer_rply_t;

typedef struct api_copy_remote_req {
  uint32_t flags;
  int32_t sink_fd;
  uint32_t listen_count;
  uint64_t requestID;
  uint64_t sink_offset;
  uint64_t transfer_length;
  char* remote_path;
} api_copy_remote_req_t;

// A reply with more than 64 addresses decodes to the first 64 (and a count
// of 64); the rest are read past.
typedef struct api_copy_remote_rply {
  uint32_t copyHandle;
  uint32_t listen_count;
  netaddress_t listen_addr[API_COPY_MAX_LISTEN];
} api_copy_remote_rply_t;

typedef struct api_query_copy_req {
  uint32_t flags;
  uint32_t copyHandle;
} api_query_copy_req_t;

typedef struct api_query_copy_rply {
  uint32_t copyState;
  int32_t errorCode;
  uint32_t stateInfo;
  uint64_t bytesXferred;
  char infostring[API_COPY_INFOSTRING_LEN];  // sent whole
} api_query_copy_rply_t;

typedef struct api_cancel_copy_req {
  uint32_t flags;
  uint32_t copyHandle;
} api_cancel_copy_req_t;

typedef struct api_copy_acl_req {
  uint32_t flags;
  char srcPath[API_COPY_PATH_MAX];
  char sinkPath[API_COPY_PATH_MAX];
} api_copy_acl_req_t;

bool_t qel_xdr_api_selectcos_req_t(XDR* xdrs, api_selectcos_req_t* objp);
bool_t qel_xdr_api_selectcos_rply_t(XDR* xdrs, api_selectcos_rply_t* objp);
bool_t qel_xdr_api_get_coslist_req_t(XDR* xdrs, api_get_coslist_req_t* objp);
bool_t qel_xdr_cos_list_entry_t(XDR* xdrs, cos_list_entry_t* objp);
bool_t qel_xdr_api_get_coslist_rply_t(XDR* xdrs, api_get_coslist_rply_t* objp);
bool_t qel_xdr_api_named_coslists_rply_t(XDR* xdrs, api_named_coslists_rply_t* objp);
bool_t qel_xdr_api_named_cos_info_req_t(XDR* xdrs, api_named_cos_info_req_t* objp);
bool_t qel_xdr_api_named_cos_info_rply_t(XDR* xdrs, api_named_cos_info_rply_t* objp);
bool_t qel_xdr_xfer_size_to_count_t(XDR* xdrs, xfer_size_to_count_t* objp);
bool_t qel_xdr_api_concurrent_xfer_rply_t(XDR* xdrs, api_concurrent_xfer_rply_t* objp);
bool_t qel_xdr_api_copy_remote_req_t(XDR* xdrs, api_copy_remote_req_t* objp);
bool_t qel_xdr_api_copy_remote_rply_t(XDR* xdrs, api_copy_remote_rply_t* objp);
bool_t qel_xdr_api_query_copy_req_t(XDR* xdrs, api_query_copy_req_t* objp);
bool_t qel_xdr_api_query_copy_rply_t(XDR* xdrs, api_query_copy_rply_t* objp);
bool_t qel_xdr_api_cancel_copy_req_t(XDR* xdrs, api_cancel_copy_req_t* objp);
bool_t qel_xdr_api_copy_acl_req_t(XDR* xdrs, api_copy_acl_req_t* objp);

#endif
