#include "msg_cli.h"

#include <stdlib.h>
#include <string.h>

#include "xdr_objects.h"

namespace {

// A counted text: len bytes of opaque, nothing at all when len is 0 (the
// pointer then stays as it was). Decoding terminates it in one byte more.
bool_t xdr_text(XDR* xdrs, char** text, int32_t len, const char* memname) {
  if (xdrs->x_op != XDR_FREE && len < 0) return FALSE;
  return qel_xdr_block(xdrs, text, len > 0 ? u_int(len) : 0, 1, FALSE, memname);
}

// count, then (when non-zero) an xdr_array that repeats the count, at most
// count elements. A decoded count is the array's own: slots the peer did not
// fill are no entries (a zero group id would otherwise read as a real one).
// The array grows as the elements arrive, so a count word that lies costs no
// allocation of its size.
bool_t xdr_double_counted(XDR* xdrs, uint32_t* count, char** array, u_int elsize,
                          xdrproc_t elproc) {
  if (!xdr_uint32_t(xdrs, count)) return FALSE;
  if (xdrs->x_op == XDR_FREE) {
    if (*array != nullptr) {
      // The elements of these lists own nothing: the array is all.
      free(*array);
      *array = nullptr;
    }
    return TRUE;
  }
  if (*count == 0) return TRUE;
  if (*count > QEL_LIST_MAX) return FALSE;
  if (xdrs->x_op == XDR_DECODE) {
    uint32_t n = 0;
    if (!xdr_uint32_t(xdrs, &n) || n > *count) return FALSE;
    *count = n;
    return qel_xdr_elements(xdrs, reinterpret_cast<void**>(array), n, elsize, elproc,
                            QEL_LIST_MAX, nullptr);
  }
  if (*array == nullptr) return FALSE;
  u_int n = *count;
  return xdr_array(xdrs, array, &n, *count, elsize, elproc);
}

bool_t xdr_uda_path(XDR* xdrs, char* path) {
  return qel_xdr_fstring(xdrs, path, API_UDA_PATH_SIZE);
}

}  // namespace

bool_t qel_xdr_ozugw_cli_command_t(XDR* xdrs, ozugw_cli_command_t* objp) {
  return xdr_uint32_t(xdrs, &objp->flags) && xdr_uint32_t(xdrs, &objp->pid) &&
         xdr_int32_t(xdrs, &objp->cmd_length) &&
         xdr_text(xdrs, &objp->cmd, objp->cmd_length, "qel_xdr_ozugw_cli_command_t");
}

bool_t qel_xdr_ozugw_cli_cmd_rply_t(XDR* xdrs, ozugw_cli_cmd_rply_t* objp) {
  return xdr_uint32_t(xdrs, &objp->flags) && xdr_uint32_t(xdrs, &objp->sync_type) &&
         xdr_int32_t(xdrs, &objp->exit_code) && xdr_int32_t(xdrs, &objp->reply_len) &&
         xdr_text(xdrs, &objp->reply_msg, objp->reply_len, "qel_xdr_ozugw_cli_command_t_rply_t");
}

bool_t qel_xdr_ozugw_cli_window_size_req_t(XDR* xdrs, ozugw_cli_window_size_req_t* objp) {
  return xdr_int32_t(xdrs, &objp->columns) && xdr_int32_t(xdrs, &objp->rows);
}

bool_t qel_xdr_ozugw_cli_interrupt_req_t(XDR* xdrs, ozugw_cli_interrupt_req_t* objp) {
  return xdr_uint32_t(xdrs, &objp->flags) && xdr_int32_t(xdrs, &objp->sigNum);
}

bool_t qel_xdr_api_openlog_t(XDR* xdrs, api_openlog_t* objp) {
  return xdr_uint32_t(xdrs, &objp->flags) &&
         qel_xdr_string(xdrs, &objp->subsys, API_LOG_SUBSYS_MAX);
}

bool_t qel_xdr_api_log_message_t(XDR* xdrs, api_log_message_t* objp) {
  return xdr_uint32_t(xdrs, &objp->flags) && xdr_uint32_t(xdrs, &objp->priority) &&
         qel_xdr_string(xdrs, &objp->msgtext, API_LOG_MSGTEXT_MAX);
}

bool_t qel_xdr_api_closelog_t(XDR* xdrs, api_closelog_t* objp) {
  return xdr_uint32_t(xdrs, &objp->flags);
}

bool_t qel_xdr_api_getpwent_req_t(XDR* xdrs, api_getpwent_req_t* objp) {
  return qel_xdr_string(xdrs, &objp->uname, 256);
}

bool_t qel_xdr_api_getpwent_rply_t(XDR* xdrs, api_getpwent_rply_t* objp) {
  return qel_xdr_string(xdrs, &objp->pw_name, 256) &&
         qel_xdr_string(xdrs, &objp->pw_passwd, 32) && qel_xdr_uid_t(xdrs, &objp->pw_uid) &&
         qel_xdr_gid_t(xdrs, &objp->pw_gid) && qel_xdr_string(xdrs, &objp->pw_gecos, 128) &&
         qel_xdr_string(xdrs, &objp->pw_dir, 1024) && qel_xdr_string(xdrs, &objp->pw_shell, 1024);
}

bool_t qel_xdr_api_getgroups_rply_t(XDR* xdrs, api_getgroups_rply_t* objp) {
  return xdr_double_counted(xdrs, &objp->ngroups, reinterpret_cast<char**>(&objp->groups),
                            sizeof(int32_t), (xdrproc_t)xdr_int32_t);
}

bool_t qel_xdr_api_lookup_homedir_req_t(XDR* xdrs, api_lookup_homedir_req_t* objp) {
  return qel_xdr_string(xdrs, &objp->principal, 128);
}

bool_t qel_xdr_api_lookup_homedir_rply_t(XDR* xdrs, api_lookup_homedir_rply_t* objp) {
  return qel_xdr_string(xdrs, &objp->homeDir, 1024);
}

bool_t qel_xdr_api_uda_set_expiration_req_t(XDR* xdrs, api_uda_set_expiration_req_t* objp) {
  return xdr_uda_path(xdrs, objp->Path) && xdr_uint64_t(xdrs, &objp->ExpireTime);
}

bool_t qel_xdr_quor_file_hash_digest_t(XDR* xdrs, quor_file_hash_digest_t* objp) {
  if (!xdr_uint32_t(xdrs, &objp->Flags) ||
      !qel_xdr_fstring(xdrs, objp->Creator, QUOR_FILE_HASH_CREATOR_LEN) ||
      !qel_xdr_timestamp_sec_t(xdrs, &objp->ModifyTime) ||
      !qel_xdr_quor_hash_type_t(xdrs, &objp->Type))
    return FALSE;
  if (xdrs->x_op == XDR_FREE) return TRUE;
  uint32_t len = QUOR_FILE_HASH_BUFFER_LEN;
  if (!xdr_uint32_t(xdrs, &len)) return FALSE;
  if (len > QUOR_FILE_HASH_BUFFER_LEN) return FALSE;
  char* buf = reinterpret_cast<char*>(objp->Buffer);
  if (!qel_xdr_opaque(xdrs, buf, len)) return FALSE;
  if (xdrs->x_op == XDR_DECODE) memset(buf + len, 0, QUOR_FILE_HASH_BUFFER_LEN - len);
  return TRUE;
}

bool_t qel_xdr_quor_file_hash_digest_list_t(XDR* xdrs, quor_file_hash_digest_list_t* objp) {
  if (xdrs->x_op == XDR_DECODE) {
    objp->List_len = 0;
    objp->List_val = nullptr;
  }
  return xdr_double_counted(xdrs, &objp->List_len, reinterpret_cast<char**>(&objp->List_val),
                            sizeof(quor_file_hash_digest_t),
                            (xdrproc_t)qel_xdr_quor_file_hash_digest_t);
}

bool_t qel_xdr_api_fdigest_get_req_t(XDR* xdrs, api_fdigest_get_req_t* objp) {
  return xdr_uint32_t(xdrs, &objp->Flags) && xdr_uda_path(xdrs, objp->Path);
}

bool_t qel_xdr_api_fdigest_get_rply_t(XDR* xdrs, api_fdigest_get_rply_t* objp) {
  return xdr_uint32_t(xdrs, &objp->Flags) && xdr_uint64_t(xdrs, &objp->StripeLength) &&
         qel_xdr_quor_file_hash_digest_list_t(xdrs, &objp->DigestList);
}

bool_t qel_xdr_api_fdigest_set_req_t(XDR* xdrs, api_fdigest_set_req_t* objp) {
  return xdr_uint32_t(xdrs, &objp->Flags) && xdr_uda_path(xdrs, objp->Path) &&
         xdr_uint64_t(xdrs, &objp->StripeLength) &&
         qel_xdr_quor_file_hash_digest_list_t(xdrs, &objp->DigestList);
}
