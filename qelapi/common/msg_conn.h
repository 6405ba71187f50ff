// Records, codecs and function codes of the connection and authentication
// messages: the gateway's greeting, site information, message of the day,
// security and Diffie-Hellman exchanges, the log-in requests and reply, the
// PAM conversation, challenge responses, su and sudo; also the codecs of
// the site information and client-API configuration records (quor_types.h).
// Each codec encodes, decodes and releases (xdr_free) with the same routine
// and returns 1 or 0. Decoding allocates every counted block; blocks sent
// "only when non-zero" stay untouched (null in a cleared record) for a zero
// length. Negative signed lengths are refused in both directions.
#ifndef MSG_CONN_H
#define MSG_CONN_H

#include <stdint.h>

#include "qel_xdr.h"
#include "quor_api_msgdefs.h"
#include "quor_types.h"

// Function codes, category QEL_CAT_CONNECT.
#define QEL_FN_CONN_SiteInfo 0x0001
#define QEL_FN_CONN_GetMotd 0x0002

// Function codes, category QEL_CAT_AUTH.
#define QEL_FN_AUTH_ExchgSecParams 0x0010
#define QEL_FN_AUTH_GetDHParams 0x0012
#define QEL_FN_AUTH_ExchgPubkey 0x0014
#define QEL_FN_AUTH_PamConvRply 0x0021
#define QEL_FN_AUTH_LoginReconnect 0x0080
#define QEL_FN_AUTH_LoginPam 0x0100
#define QEL_FN_AUTH_LoginKeytab 0x0103
#define QEL_FN_AUTH_LoginCombo 0x0104
#define QEL_FN_AUTH_SuInit 0x0110
#define QEL_FN_AUTH_SudoInit 0x0112
#define QEL_FN_AUTH_SudoCmdEnd 0x0120
#define QEL_FN_AUTH_ChallengeRsp 0x0130

// Field sizes of the in-memory records.
#define QEL_LOGIN_NAME_LEN 257
#define QEL_SU_PRINCIPAL_LEN 385
#define QEL_SALT_LEN 8

// ---- connection ----

typedef struct api_server_state_rply {
  uint32_t sv_prot_major;
  uint32_t sv_prot_minor;
  uint32_t sv_major;
  uint32_t sv_minor;
  uint32_t sv_patch;
  uint32_t quorDownFlag;
} api_server_state_rply_t;

typedef struct api_site_info_req {
  uint32_t cv_major;
  uint32_t cv_minor;
} api_site_info_req_t;

// The site-information reply is the record itself.
typedef quor_site_info_t api_site_info_rply_t;

typedef struct api_motd_req {
  uint32_t message_offset;
  uint32_t buf_length;
} api_motd_req_t;

// msg_text is not NUL-terminated; null when message_length is 0.
typedef struct api_motd_rply {
  uint32_t message_length;
  char* msg_text;
} api_motd_rply_t;

// ---- security exchange ----

typedef struct api_exchg_sec_params_req {
  uint32_t auth_types;
  uint32_t cipher_types;
  uint32_t res1;
  uint32_t res2;
  uint32_t res3;
  uint32_t res4;
} api_exchg_sec_params_req_t;

typedef struct api_exchg_sec_params_rply {
  uint32_t auth_type;
  uint32_t cipher;
  uint32_t res1;
  uint32_t res2;
  uint32_t res3;
  uint32_t res4;
} api_exchg_sec_params_rply_t;

// Big-endian big-number bytes; both blocks are allocated on decoding even
// when empty.
typedef struct api_get_dh_params_rply {
  int32_t bn_p_len;
  char* bn_p;
  int32_t bn_g_len;
  char* bn_g;
} api_get_dh_params_rply_t;

typedef struct api_exchg_pubkey_req {
  int32_t pubkey_len;
  char* bn_pubkey;
} api_exchg_pubkey_req_t;

typedef struct api_exchg_pubkey_rply {
  int32_t pubkey_len;
  char* bn_pubkey;
} api_exchg_pubkey_rply_t;

// ---- log-in ----

typedef struct api_login_combo {
  uint32_t prot_ver_major;
  uint32_t prot_ver_minor;
  uint32_t client_pid;
  uint32_t cipher_types;
  int32_t max_retries;
  char username[QEL_LOGIN_NAME_LEN];
} api_login_combo_t;

typedef struct api_login_keytab {
  uint32_t prot_ver_major;
  uint32_t prot_ver_minor;
  uint32_t client_pid;
  uint32_t flags;
  uint32_t cipher_type;
  char principal[QEL_LOGIN_NAME_LEN];
  uint32_t keytab_size;
  uint32_t key_version;
  char* keytab;
} api_login_keytab_t;

typedef struct api_login_pam {
  uint32_t prot_ver_major;
  uint32_t prot_ver_minor;
  uint32_t client_pid;
  uint32_t cipher_types;
  uint32_t enc_cipher_type;
  int32_t max_retries;
  uint32_t enc_username_size;
  char* enc_username;
} api_login_pam_t;

// Both blocks always travel and are allocated on decoding.
typedef struct api_login_reconnect {
  uint32_t prot_ver_major;
  uint32_t prot_ver_minor;
  uint32_t client_pid;
  uint32_t retry_packet_len;
  char* retry_packet;
  uint32_t hmac_len;
  char* hmac_packet;
} api_login_reconnect_t;

// salt_len and salt are local only.
typedef struct api_login_rply {
  uint32_t flags;
  uint32_t ogs_plugin_flags;
  int32_t error_code;
  int32_t retry_count;
  uint64_t retry_time;
  uint32_t expire_time;
  uint32_t cipher_types;
  uint32_t cipher_to_use;
  int32_t salt_len;
  char salt[QEL_SALT_LEN];
  uint32_t challenge_size;
  char* challenge;
  uint32_t user_msg_len;
  char* user_msg_buf;
  uint32_t retry_packet_len;
  char* retry_packet;
  uint32_t hmac_len;
  char* hmac_packet;
} api_login_rply_t;

// msg_count is passed on as sent; the conversation code checks its range.
typedef struct api_pam_conv_req {
  int32_t msg_count;
  uint32_t enc_conv_req_msglen;
  char* enc_conv_req_msgbuf;
} api_pam_conv_req_t;

typedef struct api_pam_conv_rply {
  int32_t reply_count;
  uint32_t enc_conv_reply_msglen;
  char* enc_conv_reply_msgbuf;
} api_pam_conv_rply_t;

// ---- challenge response ----

typedef struct api_auth_challenge_rsp_req {
  uint32_t response_size;
  char* response;
} api_auth_challenge_rsp_req_t;

// Wire order differs: challenge_size travels before salt_len and salt.
typedef struct api_auth_challenge_rsp_rply {
  int32_t retries;
  uint32_t expire_time;
  int32_t salt_len;
  char salt[QEL_SALT_LEN];
  uint32_t challenge_size;
  char* challenge;
} api_auth_challenge_rsp_rply_t;

// ---- su and sudo ----

typedef struct ozugw_su_init_req {
  uint32_t flags;
  uint32_t auth_methods;
  uint32_t cipher_types;
  char runas_principal[QEL_SU_PRINCIPAL_LEN];
} ozugw_su_init_req_t;

// Encoding fails when cmd is longer than cmd_length.
typedef struct ozugw_sudo_init_req {
  uint32_t flags;
  uint32_t auth_methods;
  uint32_t cipher_types;
  char runas_principal[QEL_SU_PRINCIPAL_LEN];
  uint32_t cmd_length;
  char* cmd;
} ozugw_sudo_init_req_t;

// Only the first two salt bytes travel. A zero challenge_size leaves
// challenge as it was.
typedef struct ozugw_su_init_rply {
  uint32_t flags;
  uint32_t authmethod;
  uint32_t cipher_type;
  char salt[QEL_SALT_LEN];
  uint32_t challenge_size;
  char* challenge;
} ozugw_su_init_rply_t;

typedef ozugw_su_init_rply_t ozugw_sudo_init_rply_t;

typedef struct ozugw_sudo_cmd_end_req {
  uint32_t end_session;
} ozugw_sudo_cmd_end_req_t;

// ---- codecs ----

bool_t qel_xdr_api_server_state_rply_t(XDR* xdrs, api_server_state_rply_t* objp);
bool_t qel_xdr_api_site_info_req_t(XDR* xdrs, api_site_info_req_t* objp);
bool_t qel_xdr_quor_site_info_t(XDR* xdrs, quor_site_info_t* objp);
bool_t qel_xdr_api_site_info_rply_t(XDR* xdrs, api_site_info_rply_t* objp);
bool_t qel_xdr_api_motd_req_t(XDR* xdrs, api_motd_req_t* objp);
// A failed allocation is reported as "qel_xdr_api_motd_rply_t".
bool_t qel_xdr_api_motd_rply_t(XDR* xdrs, api_motd_rply_t* objp);
bool_t qel_xdr_api_config(XDR* xdrs, api_config_t* objp);

bool_t qel_xdr_api_exchg_sec_params_req_t(XDR* xdrs, api_exchg_sec_params_req_t* objp);
bool_t qel_xdr_api_exchg_sec_params_rply_t(XDR* xdrs, api_exchg_sec_params_rply_t* objp);
bool_t qel_xdr_api_get_dh_params_rply_t(XDR* xdrs, api_get_dh_params_rply_t* objp);
bool_t qel_xdr_api_exchg_pubkey_req_t(XDR* xdrs, api_exchg_pubkey_req_t* objp);
bool_t qel_xdr_api_exchg_pubkey_rply_t(XDR* xdrs, api_exchg_pubkey_rply_t* objp);

bool_t qel_xdr_api_login_combo_t(XDR* xdrs, api_login_combo_t* objp);
bool_t qel_xdr_api_login_keytab_t(XDR* xdrs, api_login_keytab_t* objp);
bool_t qel_xdr_api_login_pam_t(XDR* xdrs, api_login_pam_t* objp);
bool_t qel_xdr_login_reconnect_t(XDR* xdrs, api_login_reconnect_t* objp);
bool_t qel_xdr_api_login_rply_t(XDR* xdrs, api_login_rply_t* objp);
bool_t qel_xdr_api_pam_conv_req_t(XDR* xdrs, api_pam_conv_req_t* objp);
bool_t qel_xdr_api_pam_conv_rply_t(XDR* xdrs, api_pam_conv_rply_t* objp);

bool_t qel_xdr_api_auth_challenge_rsp_req_t(XDR* xdrs, api_auth_challenge_rsp_req_t* objp);
bool_t qel_xdr_api_auth_challenge_rsp_rply_t(XDR* xdrs, api_auth_challenge_rsp_rply_t* objp);

bool_t qel_xdr_ozugw_su_init_req_t(XDR* xdrs, ozugw_su_init_req_t* objp);
bool_t qel_xdr_ozugw_sudo_init_req_t(XDR* xdrs, ozugw_sudo_init_req_t* objp);
bool_t qel_xdr_ozugw_su_init_rply_t(XDR* xdrs, ozugw_su_init_rply_t* objp);
bool_t qel_xdr_ozugw_sudo_init_rply_t(XDR* xdrs, ozugw_sudo_init_rply_t* objp);
bool_t qel_xdr_ozugw_sudo_cmd_end_req_t(XDR* xdrs, ozugw_sudo_cmd_end_req_t* objp);

#endif
