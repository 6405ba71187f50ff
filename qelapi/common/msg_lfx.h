// Records and codecs of the lfx messages: file-system calls on the gateway
// host's own files, and the description, answer and completion of one lfx
// transfer (the records the lfx calls take are in quor_types.h). Decoding
// allocates the address array, inline data and readattrs entries into the
// caller's cleared record; xdr_free(codec, rec) releases them. Counts that
// are negative, a checksum longer than its 1024-byte array and paths of
// 4096 characters or more are refused in both directions.
#ifndef MSG_LFX_H
#define MSG_LFX_H

#include <stdint.h>

#include "qel_xdr.h"

#define QEL_FN_LFX_Init 0x0100
#define QEL_FN_LFX_GetXferReply 0x0100  // a further reply to the init request
#define QEL_FN_LFX_CleanSockPool 0x0105
#define QEL_FN_LFX_Chmod 0x0201
#define QEL_FN_LFX_Chown 0x0202
#define QEL_FN_LFX_Getcwd 0x0203
#define QEL_FN_LFX_Lstat 0x0205
#define QEL_FN_LFX_Stat 0x0206
#define QEL_FN_LFX_Opendir 0x0207
#define QEL_FN_LFX_Closedir 0x0208
#define QEL_FN_LFX_Mkdir 0x0209
#define QEL_FN_LFX_Readattrs 0x020A
#define QEL_FN_LFX_Readlink 0x020B
#define QEL_FN_LFX_Rename 0x020C
#define QEL_FN_LFX_Rewinddir 0x020D
#define QEL_FN_LFX_Symlink 0x020E
#define QEL_FN_LFX_Unlink 0x020F

typedef struct ozugw_lfx_xfer_init_req {
  uint32_t flags;
  int32_t filedes;  // gateway descriptor of an open storage file, or -1
  ozu_xfer_init_info_t initInfo;
} ozugw_lfx_xfer_init_req_t;

typedef struct ozugw_lfx_xfer_init_rply {
  uint32_t flags;
  ozu_xfer_init_reply_t initReplyInfo;
} ozugw_lfx_xfer_init_rply_t;

typedef struct ozugw_lfx_xfer_reply {
  uint32_t flags;
  ozu_xfer_complete_t xferCompleteInfo;
} ozugw_lfx_xfer_reply_t;

typedef struct api_lfx_Chmod_req {
  char Path[OZU_LFX_PATH_SIZE];
  mode_t Mode;
} api_lfx_Chmod_req_t;

typedef struct api_lfx_Chown_req {
  char Path[OZU_LFX_PATH_SIZE];
  uint32_t Owner;
  uint32_t Group;
} api_lfx_Chown_req_t;

typedef struct api_lfx_Getcwd_rply {
  char* Buf;
} api_lfx_Getcwd_rply_t;

typedef struct api_lfx_Lstat_req {
  char Path[OZU_LFX_PATH_SIZE];
} api_lfx_Lstat_req_t;

typedef struct api_lfx_Stat_req {
  char Path[OZU_LFX_PATH_SIZE];
} api_lfx_Stat_req_t;

typedef struct api_lfx_Opendir_req {
  char Path[OZU_LFX_PATH_SIZE];
} api_lfx_Opendir_req_t;

typedef struct api_lfx_Readlink_req {
  char Path[OZU_LFX_PATH_SIZE];
} api_lfx_Readlink_req_t;

typedef struct api_lfx_Unlink_req {
  char Path[OZU_LFX_PATH_SIZE];
} api_lfx_Unlink_req_t;

typedef struct api_lfx_Stat_rply {
  ozu_lfx_stat_t LfxStat;
} api_lfx_Stat_rply_t;

typedef struct api_lfx_Lstat_rply {
  ozu_lfx_stat_t LfxStat;
} api_lfx_Lstat_rply_t;

typedef struct api_lfx_Closedir_req {
  int32_t Dirdes;
} api_lfx_Closedir_req_t;

typedef struct api_lfx_Rewinddir_req {
  int32_t Dirdes;
} api_lfx_Rewinddir_req_t;

typedef struct api_lfx_Mkdir_req {
  char Path[OZU_LFX_PATH_SIZE];
  mode_t Mode;
} api_lfx_Mkdir_req_t;

typedef struct api_lfx_ReadAttrs_req {
  int32_t Dirdes;
  int32_t EntryCount;  // entries wanted
} api_lfx_ReadAttrs_req_t;

typedef struct api_lfx_ReadAttrs_rply {
  int32_t EntryCount;
  int32_t End;
  ozu_lfx_attrs_t* Entries;  // EntryCount entries; untouched when there are none
} api_lfx_ReadAttrs_rply_t;

typedef struct api_lfx_Readlink_rply {
  char Contents[OZU_LFX_PATH_SIZE];
} api_lfx_Readlink_rply_t;

typedef struct api_lfx_Rename_req {
  char Old[OZU_LFX_PATH_SIZE];
  char New[OZU_LFX_PATH_SIZE];
} api_lfx_Rename_req_t;

typedef struct api_lfx_Symlink_req {
  char Contents[OZU_LFX_PATH_SIZE];  // what the link points to
  char Path[OZU_LFX_PATH_SIZE];      // the link
} api_lfx_Symlink_req_t;

bool_t qel_xdr_ozu_cksum_t(XDR* xdrs, ozu_cksum_t* objp);
bool_t qel_xdr_ozu_sockaddr_info_t(XDR* xdrs, ozu_sockaddr_info_t* objp);
bool_t qel_xdr_ozu_xfer_init_info_t(XDR* xdrs, ozu_xfer_init_info_t* objp);
bool_t qel_xdr_ozu_xfer_init_reply_t(XDR* xdrs, ozu_xfer_init_reply_t* objp);
bool_t qel_xdr_ozu_xfer_complete_t(XDR* xdrs, ozu_xfer_complete_t* objp);
bool_t qel_xdr_ozugw_lfx_xfer_init_req_t(XDR* xdrs, ozugw_lfx_xfer_init_req_t* objp);
bool_t qel_xdr_ozugw_lfx_xfer_init_rply_t(XDR* xdrs, ozugw_lfx_xfer_init_rply_t* objp);
bool_t qel_xdr_ozugw_lfx_xfer_reply_t(XDR* xdrs, ozugw_lfx_xfer_reply_t* objp);

bool_t qel_xdr_ozu_lfx_stat_t(XDR* xdrs, ozu_lfx_stat_t* objp);
bool_t qel_xdr_ozu_lfx_attrs_t(XDR* xdrs, ozu_lfx_attrs_t* objp);

bool_t qel_xdr_api_lfx_Chmod_req_t(XDR* xdrs, api_lfx_Chmod_req_t* objp);
bool_t qel_xdr_api_lfx_Chown_req_t(XDR* xdrs, api_lfx_Chown_req_t* objp);
bool_t qel_xdr_api_lfx_Closedir_req_t(XDR* xdrs, api_lfx_Closedir_req_t* objp);
bool_t qel_xdr_api_lfx_Getcwd_rply_t(XDR* xdrs, api_lfx_Getcwd_rply_t* objp);
bool_t qel_xdr_api_lfx_Mkdir_req_t(XDR* xdrs, api_lfx_Mkdir_req_t* objp);
bool_t qel_xdr_api_lfx_Opendir_req_t(XDR* xdrs, api_lfx_Opendir_req_t* objp);
bool_t qel_xdr_lfx_Lstat_req_t(XDR* xdrs, api_lfx_Lstat_req_t* objp);
bool_t qel_xdr_lfx_Lstat_rply_t(XDR* xdrs, api_lfx_Lstat_rply_t* objp);
bool_t qel_xdr_lfx_Stat_req_t(XDR* xdrs, api_lfx_Stat_req_t* objp);
bool_t qel_xdr_lfx_Stat_rply_t(XDR* xdrs, api_lfx_Stat_rply_t* objp);
bool_t qel_xdr_lfx_ReadAttrs_req_t(XDR* xdrs, api_lfx_ReadAttrs_req_t* objp);
bool_t qel_xdr_lfx_ReadAttrs_rply_t(XDR* xdrs, api_lfx_ReadAttrs_rply_t* objp);
bool_t qel_xdr_lfx_Readlink_req_t(XDR* xdrs, api_lfx_Readlink_req_t* objp);
bool_t qel_xdr_lfx_Readlink_rply_t(XDR* xdrs, api_lfx_Readlink_rply_t* objp);
bool_t qel_xdr_lfx_Rename_req_t(XDR* xdrs, api_lfx_Rename_req_t* objp);
bool_t qel_xdr_lfx_Rewinddir_req_t(XDR* xdrs, api_lfx_Rewinddir_req_t* objp);
bool_t qel_xdr_lfx_Symlink_req_t(XDR* xdrs, api_lfx_Symlink_req_t* objp);
bool_t qel_xdr_lfx_Unlink_req_t(XDR* xdrs, api_lfx_Unlink_req_t* objp);

#endif
