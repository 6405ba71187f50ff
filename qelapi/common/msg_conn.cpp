#include "msg_conn.h"

#include <limits.h>

#include <algorithm>

namespace {

bool_t u32(XDR* x, uint32_t* v) { return xdr_uint32_t(x, v); }
bool_t i32(XDR* x, int32_t* v) { return xdr_int32_t(x, v); }

// i32 length, then the block. The peer's big numbers are allocated even when
// empty, and a negative length is refused before it can reach an allocator.
bool_t signed_block(XDR* x, int32_t* len, char** block) {
  if (x->x_op == XDR_FREE) return qel_xdr_block(x, block, 0, 0, FALSE, nullptr);
  if (!i32(x, len)) return FALSE;
  if (*len < 0) return FALSE;
  return qel_xdr_block(x, block, static_cast<u_int>(*len), 0, TRUE, nullptr);
}

bool_t counted_block(XDR* x, uint32_t* len, char** block, bool_t alloc_empty) {
  return u32(x, len) && qel_xdr_block(x, block, *len, 0, alloc_empty, nullptr);
}

template <typename E>
bool_t enum32(XDR* x, E* v) {
  enum_t e = static_cast<enum_t>(*v);
  if (!xdr_enum(x, &e)) return FALSE;
  if (x->x_op == XDR_DECODE) *v = static_cast<E>(e);
  return TRUE;
}

}  // namespace

// ---- connection ----

bool_t qel_xdr_api_server_state_rply_t(XDR* xdrs, api_server_state_rply_t* objp) {
  return u32(xdrs, &objp->sv_prot_major) && u32(xdrs, &objp->sv_prot_minor) &&
         u32(xdrs, &objp->sv_major) && u32(xdrs, &objp->sv_minor) &&
         u32(xdrs, &objp->sv_patch) && u32(xdrs, &objp->quorDownFlag);
}

bool_t qel_xdr_api_site_info_req_t(XDR* xdrs, api_site_info_req_t* objp) {
  return u32(xdrs, &objp->cv_major) && u32(xdrs, &objp->cv_minor);
}

bool_t qel_xdr_quor_site_info_t(XDR* xdrs, quor_site_info_t* objp) {
  return u32(xdrs, &objp->server_flags) && u32(xdrs, &objp->server_runmode) &&
         u32(xdrs, &objp->sv_major) && u32(xdrs, &objp->sv_minor) &&
         u32(xdrs, &objp->sv_patch) && u32(xdrs, &objp->sv_prot_major) &&
         u32(xdrs, &objp->sv_prot_minor) && u32(xdrs, &objp->quor_level) &&
         u32(xdrs, &objp->site_quor_flags) && u32(xdrs, &objp->quor_patch_flags) &&
         u32(xdrs, &objp->auth_flags) && u32(xdrs, &objp->auth_crypto_card) &&
         u32(xdrs, &objp->encryption_methods) && u32(xdrs, &objp->port_min) &&
         u32(xdrs, &objp->port_max) && u32(xdrs, &objp->realm_id) &&
         u32(xdrs, &objp->authz_flags) && u32(xdrs, &objp->authz_rsrved1) &&
         u32(xdrs, &objp->authz_rsrved2) && u32(xdrs, &objp->accounting_style) &&
         u32(xdrs, &objp->acct_validation_flag) && i32(xdrs, &objp->max_bg_stages) &&
         u32(xdrs, &objp->max_mbytes_per_iod) && u32(xdrs, &objp->app_copies) &&
         u32(xdrs, &objp->rootUid) && u32(xdrs, &objp->umask) &&
         u32(xdrs, &objp->max_bg_vvs) && u32(xdrs, &objp->bg_stage_flags) &&
         u32(xdrs, &objp->startupCOS) && u32(xdrs, &objp->future5) &&
         u32(xdrs, &objp->future6) && u32(xdrs, &objp->future7) &&
         u32(xdrs, &objp->future8) && u32(xdrs, &objp->future9);
}

bool_t qel_xdr_api_site_info_rply_t(XDR* xdrs, api_site_info_rply_t* objp) {
  return qel_xdr_quor_site_info_t(xdrs, objp);
}

bool_t qel_xdr_api_motd_req_t(XDR* xdrs, api_motd_req_t* objp) {
  return u32(xdrs, &objp->message_offset) && u32(xdrs, &objp->buf_length);
}

bool_t qel_xdr_api_motd_rply_t(XDR* xdrs, api_motd_rply_t* objp) {
  if (!u32(xdrs, &objp->message_length)) return FALSE;
  if (xdrs->x_op == XDR_DECODE) {
    if (objp->message_length == 0) {
      objp->msg_text = nullptr;
      return TRUE;
    }
    if (objp->message_length > QEL_XDR_MAX_BLOCK) {
      qel_xdr_memory_error("qel_xdr_api_motd_rply_t", __FILE__, __LINE__,
                           static_cast<int>(std::min<uint32_t>(objp->message_length, INT_MAX)),
                           1);
      return FALSE;
    }
  }
  return qel_xdr_block(xdrs, &objp->msg_text, objp->message_length, 0, FALSE,
                       "qel_xdr_api_motd_rply_t");
}

bool_t qel_xdr_api_config(XDR* xdrs, api_config_t* objp) {
  return u32(xdrs, &objp->Flags) && i32(xdrs, &objp->DebugValue) &&
         i32(xdrs, &objp->TransferType) && i32(xdrs, &objp->NumRetries) &&
         i32(xdrs, &objp->BusyDelay) && i32(xdrs, &objp->BusyRetries) &&
         i32(xdrs, &objp->TotalDelay) && i32(xdrs, &objp->LimitedRetries) &&
         i32(xdrs, &objp->MaxConnections) && i32(xdrs, &objp->ReuseDataConnections) &&
         i32(xdrs, &objp->UsePortRange) && i32(xdrs, &objp->RetryStageInp) &&
         i32(xdrs, &objp->DMAPWriteUpdates) && enum32(xdrs, &objp->AuthnMech) &&
         enum32(xdrs, &objp->RPCProtLevel) &&
         qel_xdr_fstring(xdrs, objp->DescName, sizeof objp->DescName) &&
         qel_xdr_fstring(xdrs, objp->DebugPath, sizeof objp->DebugPath) &&
         qel_xdr_fstring(xdrs, objp->HostName, sizeof objp->HostName) &&
         u32(xdrs, &objp->XMLSize);
}

// ---- security exchange ----

bool_t qel_xdr_api_exchg_sec_params_req_t(XDR* xdrs, api_exchg_sec_params_req_t* objp) {
  return u32(xdrs, &objp->auth_types) && u32(xdrs, &objp->cipher_types) &&
         u32(xdrs, &objp->res1) && u32(xdrs, &objp->res2) && u32(xdrs, &objp->res3) &&
         u32(xdrs, &objp->res4);
}

bool_t qel_xdr_api_exchg_sec_params_rply_t(XDR* xdrs, api_exchg_sec_params_rply_t* objp) {
  return u32(xdrs, &objp->auth_type) && u32(xdrs, &objp->cipher) && u32(xdrs, &objp->res1) &&
         u32(xdrs, &objp->res2) && u32(xdrs, &objp->res3) && u32(xdrs, &objp->res4);
}

bool_t qel_xdr_api_get_dh_params_rply_t(XDR* xdrs, api_get_dh_params_rply_t* objp) {
  return signed_block(xdrs, &objp->bn_p_len, &objp->bn_p) &&
         signed_block(xdrs, &objp->bn_g_len, &objp->bn_g);
}

bool_t qel_xdr_api_exchg_pubkey_req_t(XDR* xdrs, api_exchg_pubkey_req_t* objp) {
  return signed_block(xdrs, &objp->pubkey_len, &objp->bn_pubkey);
}

bool_t qel_xdr_api_exchg_pubkey_rply_t(XDR* xdrs, api_exchg_pubkey_rply_t* objp) {
  return signed_block(xdrs, &objp->pubkey_len, &objp->bn_pubkey);
}

// ---- log-in ----

bool_t qel_xdr_api_login_combo_t(XDR* xdrs, api_login_combo_t* objp) {
  return u32(xdrs, &objp->prot_ver_major) && u32(xdrs, &objp->prot_ver_minor) &&
         u32(xdrs, &objp->client_pid) && u32(xdrs, &objp->cipher_types) &&
         i32(xdrs, &objp->max_retries) &&
         qel_xdr_opaque(xdrs, objp->username, sizeof objp->username);
}

bool_t qel_xdr_api_login_keytab_t(XDR* xdrs, api_login_keytab_t* objp) {
  return u32(xdrs, &objp->prot_ver_major) && u32(xdrs, &objp->prot_ver_minor) &&
         u32(xdrs, &objp->client_pid) && u32(xdrs, &objp->flags) &&
         u32(xdrs, &objp->cipher_type) &&
         qel_xdr_opaque(xdrs, objp->principal, sizeof objp->principal) &&
         u32(xdrs, &objp->keytab_size) && u32(xdrs, &objp->key_version) &&
         qel_xdr_block(xdrs, &objp->keytab, objp->keytab_size, 0, FALSE, nullptr);
}

bool_t qel_xdr_api_login_pam_t(XDR* xdrs, api_login_pam_t* objp) {
  return u32(xdrs, &objp->prot_ver_major) && u32(xdrs, &objp->prot_ver_minor) &&
         u32(xdrs, &objp->client_pid) && u32(xdrs, &objp->cipher_types) &&
         u32(xdrs, &objp->enc_cipher_type) && i32(xdrs, &objp->max_retries) &&
         counted_block(xdrs, &objp->enc_username_size, &objp->enc_username, FALSE);
}

bool_t qel_xdr_login_reconnect_t(XDR* xdrs, api_login_reconnect_t* objp) {
  return u32(xdrs, &objp->prot_ver_major) && u32(xdrs, &objp->prot_ver_minor) &&
         u32(xdrs, &objp->client_pid) &&
         counted_block(xdrs, &objp->retry_packet_len, &objp->retry_packet, TRUE) &&
         counted_block(xdrs, &objp->hmac_len, &objp->hmac_packet, TRUE);
}

bool_t qel_xdr_api_login_rply_t(XDR* xdrs, api_login_rply_t* objp) {
  return u32(xdrs, &objp->flags) && u32(xdrs, &objp->ogs_plugin_flags) &&
         i32(xdrs, &objp->error_code) && i32(xdrs, &objp->retry_count) &&
         xdr_uint64_t(xdrs, &objp->retry_time) && u32(xdrs, &objp->expire_time) &&
         u32(xdrs, &objp->cipher_types) && u32(xdrs, &objp->cipher_to_use) &&
         counted_block(xdrs, &objp->challenge_size, &objp->challenge, FALSE) &&
         counted_block(xdrs, &objp->user_msg_len, &objp->user_msg_buf, FALSE) &&
         counted_block(xdrs, &objp->retry_packet_len, &objp->retry_packet, FALSE) &&
         counted_block(xdrs, &objp->hmac_len, &objp->hmac_packet, FALSE);
}

bool_t qel_xdr_api_pam_conv_req_t(XDR* xdrs, api_pam_conv_req_t* objp) {
  return i32(xdrs, &objp->msg_count) &&
         counted_block(xdrs, &objp->enc_conv_req_msglen, &objp->enc_conv_req_msgbuf, TRUE);
}

bool_t qel_xdr_api_pam_conv_rply_t(XDR* xdrs, api_pam_conv_rply_t* objp) {
  return i32(xdrs, &objp->reply_count) &&
         counted_block(xdrs, &objp->enc_conv_reply_msglen, &objp->enc_conv_reply_msgbuf, TRUE);
}

// ---- challenge response ----

bool_t qel_xdr_api_auth_challenge_rsp_req_t(XDR* xdrs, api_auth_challenge_rsp_req_t* objp) {
  return counted_block(xdrs, &objp->response_size, &objp->response, FALSE);
}

bool_t qel_xdr_api_auth_challenge_rsp_rply_t(XDR* xdrs, api_auth_challenge_rsp_rply_t* objp) {
  return i32(xdrs, &objp->retries) && u32(xdrs, &objp->expire_time) &&
         u32(xdrs, &objp->challenge_size) && i32(xdrs, &objp->salt_len) &&
         qel_xdr_opaque(xdrs, objp->salt, sizeof objp->salt) &&
         qel_xdr_block(xdrs, &objp->challenge, objp->challenge_size, 0, FALSE, nullptr);
}

// ---- su and sudo ----

bool_t qel_xdr_ozugw_su_init_req_t(XDR* xdrs, ozugw_su_init_req_t* objp) {
  return u32(xdrs, &objp->flags) && u32(xdrs, &objp->auth_methods) &&
         u32(xdrs, &objp->cipher_types) &&
         qel_xdr_fstring(xdrs, objp->runas_principal, sizeof objp->runas_principal);
}

bool_t qel_xdr_ozugw_sudo_init_req_t(XDR* xdrs, ozugw_sudo_init_req_t* objp) {
  if (!(u32(xdrs, &objp->flags) && u32(xdrs, &objp->auth_methods) &&
        u32(xdrs, &objp->cipher_types) &&
        qel_xdr_fstring(xdrs, objp->runas_principal, sizeof objp->runas_principal) &&
        u32(xdrs, &objp->cmd_length)))
    return FALSE;
  // Released whatever cmd_length says, so a stray command is never leaked.
  if (objp->cmd_length == 0 && xdrs->x_op != XDR_FREE) return TRUE;
  return qel_xdr_string(xdrs, &objp->cmd, objp->cmd_length);
}

bool_t qel_xdr_ozugw_su_init_rply_t(XDR* xdrs, ozugw_su_init_rply_t* objp) {
  return u32(xdrs, &objp->flags) && u32(xdrs, &objp->authmethod) &&
         u32(xdrs, &objp->cipher_type) && qel_xdr_opaque(xdrs, objp->salt, 2) &&
         u32(xdrs, &objp->challenge_size) &&
         qel_xdr_block(xdrs, &objp->challenge, objp->challenge_size, 0, FALSE, nullptr);
}

bool_t qel_xdr_ozugw_sudo_init_rply_t(XDR* xdrs, ozugw_sudo_init_rply_t* objp) {
  return qel_xdr_ozugw_su_init_rply_t(xdrs, objp);
}

bool_t qel_xdr_ozugw_sudo_cmd_end_req_t(XDR* xdrs, ozugw_sudo_cmd_end_req_t* objp) {
  return u32(xdrs, &objp->end_session);
}
