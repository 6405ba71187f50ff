// Records and codecs of the small gateway services: the command relay, the
// gateway log, user, group and home-directory lookups, expiration times kept
// as user-defined attributes, and the file digests stored with storage files.
// Decoding allocates every text, string and array into the caller's cleared
// record; xdr_free(codec, rec) releases them. Command and reply texts are
// byte counts: decoding allocates one byte more and terminates them. Negative
// lengths, a list of more than QEL_LIST_MAX groups or digests and a digest
// of more than 64 bytes are refused.
#ifndef MSG_CLI_H
#define MSG_CLI_H

#include <pwd.h>
#include <stdint.h>

#include "qel_xdr.h"
#include "quor_types.h"

#define QEL_FN_CLI_SendCommand 0x0200
#define QEL_FN_CLI_SetWindowSize 0x0201
#define QEL_FN_CLI_SendInterrupt 0x0202

#define QEL_FN_LOG_Openlog 0x0100
#define QEL_FN_LOG_Logmsg 0x0101
#define QEL_FN_LOG_Closelog 0x0102

#define QEL_FN_LOOKUP_GetPwent 0x0100
#define QEL_FN_LOOKUP_GetGroupList 0x0101
#define QEL_FN_LOOKUP_LookupHomeDir 0x0106

#define QEL_FN_UDA_SetExpiration 0x0342

#define QEL_FN_FDIGEST_GetCksum 0x0110
#define QEL_FN_FDIGEST_SetCksum 0x0120

// Bound on the groups of a group list and the digests of a digest list: both
// arrays are sized from the wire before their elements arrive.
#define QEL_LIST_MAX 65536

#define CLI_SYNC_CHDIR 1  // sync_type: follow a change of working directory

// Flags of a relayed command and of its replies.
#define CLI_CMD_NOTTY 0x80000000u   // the client's standard error is no terminal
#define CLI_REPLY_LAST 0x1u         // the command's last reply
#define CLI_REPLY_LISTING 0x2u      // text for the listing output
#define CLI_REPLY_ERROR 0x4u        // text for the error output
#define CLI_REPLY_STATUS 0x10u      // a status line for the terminal
#define CLI_REPLY_SYNC 0x20000000u  // shell state to follow, of sync_type

typedef struct ozugw_cli_command {
  uint32_t flags;  // CLI_CMD_ flags
  uint32_t pid;
  int32_t cmd_length;
  char* cmd;  // cmd_length bytes, not terminated when sent
} ozugw_cli_command_t;

typedef struct ozugw_cli_cmd_rply {
  uint32_t flags;  // CLI_REPLY_ flags
  uint32_t sync_type;
  int32_t exit_code;
  int32_t reply_len;
  char* reply_msg;  // reply_len bytes; decoding adds a NUL
} ozugw_cli_cmd_rply_t;

typedef struct ozugw_cli_window_size_req {
  int32_t columns;
  int32_t rows;
} ozugw_cli_window_size_req_t;

typedef struct ozugw_cli_interrupt_req {
  uint32_t flags;
  int32_t sigNum;
} ozugw_cli_interrupt_req_t;

#define API_LOG_SUBSYS_MAX 8
#define API_LOG_MSGTEXT_MAX 2047

typedef struct api_openlog {
  uint32_t flags;
  char* subsys;
} api_openlog_t;

typedef struct api_log_message {
  uint32_t flags;
  uint32_t priority;
  char* msgtext;
} api_log_message_t;

typedef struct api_closelog {
  uint32_t flags;
} api_closelog_t;

typedef struct api_getpwent_req {
  char* uname;  // empty: the log-in session's user
} api_getpwent_req_t;

// The password entry itself; every string is the decoder's allocation.
typedef struct passwd api_getpwent_rply_t;

typedef struct api_getgroups_rply {
  uint32_t ngroups;
  int32_t* groups;  // ngroups ids
} api_getgroups_rply_t;

typedef struct api_lookup_homedir_req {
  char* principal;
} api_lookup_homedir_req_t;

typedef struct api_lookup_homedir_rply {
  char* homeDir;
} api_lookup_homedir_rply_t;

#define API_UDA_PATH_SIZE 1025  // at most 1024 characters travel

typedef struct api_uda_set_expiration_req {
  char Path[API_UDA_PATH_SIZE];
  uint64_t ExpireTime;
} api_uda_set_expiration_req_t;

typedef struct api_fdigest_get_req {
  uint32_t Flags;
  char Path[API_UDA_PATH_SIZE];
} api_fdigest_get_req_t;

typedef struct api_fdigest_get_rply {
  uint32_t Flags;
  uint64_t StripeLength;
  quor_file_hash_digest_list_t DigestList;
} api_fdigest_get_rply_t;

typedef struct api_fdigest_set_req {
  uint32_t Flags;
  char Path[API_UDA_PATH_SIZE];
  uint64_t StripeLength;
  quor_file_hash_digest_list_t DigestList;
} api_fdigest_set_req_t;

bool_t qel_xdr_ozugw_cli_command_t(XDR* xdrs, ozugw_cli_command_t* objp);
bool_t qel_xdr_ozugw_cli_cmd_rply_t(XDR* xdrs, ozugw_cli_cmd_rply_t* objp);
bool_t qel_xdr_ozugw_cli_window_size_req_t(XDR* xdrs, ozugw_cli_window_size_req_t* objp);
bool_t qel_xdr_ozugw_cli_interrupt_req_t(XDR* xdrs, ozugw_cli_interrupt_req_t* objp);

bool_t qel_xdr_api_openlog_t(XDR* xdrs, api_openlog_t* objp);
bool_t qel_xdr_api_log_message_t(XDR* xdrs, api_log_message_t* objp);
bool_t qel_xdr_api_closelog_t(XDR* xdrs, api_closelog_t* objp);

bool_t qel_xdr_api_getpwent_req_t(XDR* xdrs, api_getpwent_req_t* objp);
bool_t qel_xdr_api_getpwent_rply_t(XDR* xdrs, api_getpwent_rply_t* objp);
bool_t qel_xdr_api_getgroups_rply_t(XDR* xdrs, api_getgroups_rply_t* objp);
bool_t qel_xdr_api_lookup_homedir_req_t(XDR* xdrs, api_lookup_homedir_req_t* objp);
bool_t qel_xdr_api_lookup_homedir_rply_t(XDR* xdrs, api_lookup_homedir_rply_t* objp);

bool_t qel_xdr_api_uda_set_expiration_req_t(XDR* xdrs, api_uda_set_expiration_req_t* objp);

// The digest buffer goes as a length word of 64 and all 64 bytes; decoding
// takes up to 64 and clears the rest of the buffer.
bool_t qel_xdr_quor_file_hash_digest_t(XDR* xdrs, quor_file_hash_digest_t* objp);
// Decoding clears the list first, so any earlier List_val is not freed.
bool_t qel_xdr_quor_file_hash_digest_list_t(XDR* xdrs, quor_file_hash_digest_list_t* objp);
bool_t qel_xdr_api_fdigest_get_req_t(XDR* xdrs, api_fdigest_get_req_t* objp);
bool_t qel_xdr_api_fdigest_get_rply_t(XDR* xdrs, api_fdigest_get_rply_t* objp);
bool_t qel_xdr_api_fdigest_set_req_t(XDR* xdrs, api_fdigest_set_req_t* objp);

#endif
