// Records and codecs of the lfx messages: file-system calls on the gateway
// host's own files, and the description, answer and completion of one lfx
// transfer. Decoding allocates the address array, inline data and readattrs
// entries into the caller's cleared record; xdr_free(codec, rec) releases
// them. Counts that are negative, a checksum longer than its 1024-byte array
// and paths of 4096 characters or more are refused in both directions.
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

#define OZU_LFX_PATH_SIZE 4097  // path arrays
#define OZU_LFX_PATH_MAX 4096   // wire bound with the NUL: at most 4095 characters
#define OZU_LFX_FILENAME_SIZE 256  // readattrs entry names
#define OZU_LFX_GETCWD_MAX 1024
#define OZU_CKSUM_SIZE 1024

// Flags of the transfer description and its answer that shape the wire form.
#define OZU_XFER_INIT_CKSUM 0x20u       // description: a checksum follows gid
#define OZU_XFER_REPLY_CKSUM 0x1u       // answer: a checksum follows addressCount
#define OZU_XFER_INLINE_DATA 0x80000000u  // the file's data follow the record

typedef struct ozu_cksum {
  uint32_t csumType;
  uint32_t csumLength;  // bytes of cksum in use, at most OZU_CKSUM_SIZE
  unsigned char cksum[OZU_CKSUM_SIZE];
} ozu_cksum_t;

// One data address; also a node of the shell's socket pool (next is not sent).
typedef struct ozu_sockaddr_info {
  struct ozu_sockaddr_info* next;
  uint8_t addressType;
  uint8_t preConnected;
  uint32_t poolID;
  int32_t socketFD;
  quor_sockaddr_t socketAddr;
} ozu_sockaddr_info_t;

typedef struct ozu_xfer_init_info {
  uint32_t flags;
  uint8_t xferOperation;
  char drive;
  char pathName[OZU_LFX_PATH_SIZE];
  int64_t fileSize;
  uint64_t srcOffset;
  uint64_t sinkOffset;
  uint64_t xferLength;
  uint32_t bufSize;
  uint32_t mode;  // plain word, not the portable layout
  uint32_t uid;
  uint32_t gid;
  ozu_cksum_t fileCksum;  // sent after gid when flags has OZU_XFER_INIT_CKSUM
  int32_t addressCount;
  ozu_sockaddr_info_t* addressList;  // addressCount elements
  uint32_t reserved1, reserved2, reserved3, reserved4, reserved5;
  uint32_t reserved6, reserved7, reserved8, reserved9, reserved10;
  char* fileData;  // xferLength bytes when flags has OZU_XFER_INLINE_DATA
} ozu_xfer_init_info_t;

typedef struct ozu_xfer_init_reply {
  uint32_t flags;
  uint32_t xferSerialNum;
  ozu_cksum_t fileCksum;  // sent after addressCount when flags has OZU_XFER_REPLY_CKSUM
  int32_t addressCount;
  ozu_sockaddr_info_t* addressList;
  int32_t xferStatus;
  uint64_t fileSize;
  uint32_t reserved1, reserved2, reserved3, reserved4, reserved5;
  char* fileData;  // fileSize bytes when flags has OZU_XFER_INLINE_DATA
} ozu_xfer_init_reply_t;

typedef struct ozu_xfer_complete {
  uint32_t flags;
  uint32_t xferSerialNum;
  int32_t xferStatus;
  uint64_t bytesXferred;
} ozu_xfer_complete_t;

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

// The gateway's stat; times travel as 32-bit seconds.
typedef struct ozu_lfx_stat {
  uint32_t hst_mode;  // interchange mode word
  uint32_t hst_nlink;
  uint32_t hst_uid;
  uint32_t hst_gid;
  int64_t hst_mtime;
  int64_t hst_atime;
  int64_t hst_ctime;
  uint64_t hst_size;
} ozu_lfx_stat_t;

typedef struct ozu_lfx_attrs {
  char Filename[OZU_LFX_FILENAME_SIZE];
  ozu_lfx_stat_t LfxAttrs;
} ozu_lfx_attrs_t;

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
