#include "msg_ext.h"

#include <stdlib.h>

#include <algorithm>
#include <string.h>

#include "xdr_iod.h"
#include "xdr_objects.h"

namespace {

// One name of the named COS lists: its length, then the name bounded by it.
bool_t xdr_named_list(XDR* xdrs, char** s) {
  int32_t len = 0;
  if (xdrs->x_op == XDR_ENCODE) {
    if (*s == nullptr) return FALSE;
    size_t n = strlen(*s);
    if (n > QEL_XDR_MAX_BLOCK) return FALSE;
    len = int32_t(n);
  }
  if (!xdr_int32_t(xdrs, &len)) return FALSE;
  if (xdrs->x_op != XDR_FREE && len < 0) return FALSE;
  return qel_xdr_string(xdrs, s, u_int(len));
}

// The in-memory ids are 8 bytes wide; only the low 32 bits travel.
bool_t xdr_id_low32(XDR* xdrs, int64_t* id) {
  int32_t w = int32_t(*id);
  if (!xdr_int32_t(xdrs, &w)) return FALSE;
  if (xdrs->x_op == XDR_DECODE) *id = w;
  return TRUE;
}

u_int nonneg(int32_t n) { return n > 0 ? u_int(n) : 0; }

}  // namespace

bool_t qel_xdr_api_selectcos_req_t(XDR* xdrs, api_selectcos_req_t* objp) {
  if (!xdr_uint32_t(xdrs, &objp->cosNameLen)) return FALSE;
  if ((objp->cosNameLen != 0 || xdrs->x_op == XDR_FREE) &&
      !qel_xdr_string(xdrs, &objp->cosList, objp->cosNameLen))
    return FALSE;
  return xdr_uint64_t(xdrs, &objp->fileSize) && xdr_uint32_t(xdrs, &objp->uid) &&
         xdr_uint32_t(xdrs, &objp->gid) && xdr_uint32_t(xdrs, &objp->charge) &&
         xdr_int32_t(xdrs, &objp->copies) && xdr_uint32_t(xdrs, &objp->subsysId);
}

bool_t qel_xdr_api_selectcos_rply_t(XDR* xdrs, api_selectcos_rply_t* objp) {
  return qel_xdr_quor_cos_hints_t(xdrs, &objp->HintsIn) &&
         qel_xdr_quor_cos_priorities_t(xdrs, &objp->HintPriorities);
}

bool_t qel_xdr_api_get_coslist_req_t(XDR* xdrs, api_get_coslist_req_t* objp) {
  return xdr_uint32_t(xdrs, &objp->flags) && xdr_int32_t(xdrs, &objp->cos) &&
         xdr_uint32_t(xdrs, &objp->uid) && xdr_uint32_t(xdrs, &objp->gid) &&
         xdr_uint32_t(xdrs, &objp->charge);
}

bool_t qel_xdr_cos_list_entry_t(XDR* xdrs, cos_list_entry_t* objp) {
  if (!xdr_uint32_t(xdrs, &objp->flags) || !qel_xdr_quor_cos_md_t(xdrs, &objp->cos_entry) ||
      !xdr_uint32_t(xdrs, &objp->copies) || !xdr_uint32_t(xdrs, &objp->media_type) ||
      !xdr_uint32_t(xdrs, &objp->media_subtype) || !xdr_int32_t(xdrs, &objp->subsys_count))
    return FALSE;
  char** ids = reinterpret_cast<char**>(&objp->subsys_id_list);
  if (xdrs->x_op == XDR_FREE) {
    free(*ids);
    *ids = nullptr;
    return TRUE;
  }
  int32_t n = objp->subsys_count;
  if (n < 0 || n > EXT_LIST_MAX) return FALSE;
  if (n == 0) return TRUE;
  if (xdrs->x_op == XDR_DECODE) {
    // The array repeats the count and may hold fewer ids; the count becomes
    // what it held, so no empty slot passes for subsystem 0. The ids grow as
    // they arrive: a count word that lies costs no allocation of its size.
    uint32_t sent = 0;
    if (!xdr_uint32_t(xdrs, &sent) || sent > u_int(n)) return FALSE;
    objp->subsys_count = int32_t(sent);
    return qel_xdr_elements(xdrs, reinterpret_cast<void**>(ids), sent, sizeof(int64_t),
                            (xdrproc_t)xdr_id_low32, EXT_LIST_MAX,
                            "[qel_xdr_api_get_coslist_rply_t");
  }
  if (*ids == nullptr) return FALSE;
  u_int sent = u_int(n);
  return xdr_array(xdrs, ids, &sent, u_int(n), sizeof(int64_t), (xdrproc_t)xdr_id_low32);
}

bool_t qel_xdr_api_get_coslist_rply_t(XDR* xdrs, api_get_coslist_rply_t* objp) {
  if (!xdr_int32_t(xdrs, &objp->entry_count)) return FALSE;
  if (xdrs->x_op != XDR_FREE && objp->entry_count < 0) return FALSE;
  return qel_xdr_elements(xdrs, reinterpret_cast<void**>(&objp->cos_entries),
                          nonneg(objp->entry_count), sizeof(cos_list_entry_t),
                          (xdrproc_t)qel_xdr_cos_list_entry_t, QEL_XDR_MAX_COUNT,
                          "[qel_xdr_api_get_coslist_rply_t");
}

bool_t qel_xdr_api_named_coslists_rply_t(XDR* xdrs, api_named_coslists_rply_t* objp) {
  return xdr_uint32_t(xdrs, &objp->entry_count) &&
         qel_xdr_elements(xdrs, reinterpret_cast<void**>(&objp->list_entries),
                          objp->entry_count, sizeof(char*), (xdrproc_t)xdr_named_list,
                          QEL_XDR_MAX_COUNT, "[qel_xdr_api_named_coslists_rply_t");
}

bool_t qel_xdr_api_named_cos_info_req_t(XDR* xdrs, api_named_cos_info_req_t* objp) {
  uint32_t len = 0;
  if (xdrs->x_op == XDR_ENCODE && objp->listName != nullptr) {
    size_t n = strlen(objp->listName);
    if (n > QEL_XDR_MAX_BLOCK) return FALSE;
    len = uint32_t(n);
  }
  if (!xdr_uint32_t(xdrs, &len)) return FALSE;
  if (len == 0 && xdrs->x_op != XDR_FREE) return TRUE;
  return qel_xdr_string(xdrs, &objp->listName, len);
}

bool_t qel_xdr_api_named_cos_info_rply_t(XDR* xdrs, api_named_cos_info_rply_t* objp) {
  return xdr_uint32_t(xdrs, &objp->count) &&
         qel_xdr_elements(xdrs, reinterpret_cast<void**>(&objp->cosEntries), objp->count,
                          sizeof(uint32_t), (xdrproc_t)xdr_uint32_t, QEL_XDR_MAX_COUNT,
                          "qel_xdr_api_get_coslist_rply_t");
}

bool_t qel_xdr_xfer_size_to_count_t(XDR* xdrs, xfer_size_to_count_t* objp) {
  return xdr_int32_t(xdrs, &objp->cfg_line_num) && xdr_int32_t(xdrs, &objp->max_xfers) &&
         xdr_uint64_t(xdrs, &objp->min_size) && xdr_uint64_t(xdrs, &objp->max_size);
}

bool_t qel_xdr_api_concurrent_xfer_rply_t(XDR* xdrs, api_concurrent_xfer_rply_t* objp) {
  if (!xdr_int32_t(xdrs, &objp->entry_count)) return FALSE;
  if (xdrs->x_op != XDR_FREE && objp->entry_count < 0) return FALSE;
  return qel_xdr_elements(xdrs, reinterpret_cast<void**>(&objp->xfer_list),
                          nonneg(objp->entry_count), sizeof(xfer_size_to_count_t),
                          (xdrproc_t)qel_xdr_xfer_size_to_count_t, QEL_XDR_MAX_COUNT,
                          "qel_xdr_api_concurrent_xfer_rply_t");
}

bool_t qel_xdr_api_copy_remote_req_t(XDR* xdrs, api_copy_remote_req_t* objp) {
  return xdr_uint32_t(xdrs, &objp->flags) && xdr_int32_t(xdrs, &objp->sink_fd) &&
         xdr_uint32_t(xdrs, &objp->listen_count) && xdr_uint64_t(xdrs, &objp->requestID) &&
         xdr_uint64_t(xdrs, &objp->sink_offset) && xdr_uint64_t(xdrs, &objp->transfer_length) &&
         qel_xdr_string(xdrs, &objp->remote_path, API_COPY_PATH_MAX - 1);
}

bool_t qel_xdr_api_copy_remote_rply_t(XDR* xdrs, api_copy_remote_rply_t* objp) {
  if (!xdr_uint32_t(xdrs, &objp->copyHandle) || !xdr_uint32_t(xdrs, &objp->listen_count))
    return FALSE;
  u_int n = objp->listen_count;
  // The addresses land in the record's own array of 64. More cannot be
  // sent; received, the surplus is read past (so the stream stays in step)
  // and dropped, and the count says what was kept.
  if (n <= API_COPY_MAX_LISTEN || xdrs->x_op == XDR_FREE) {
    n = std::min<u_int>(n, API_COPY_MAX_LISTEN);
    for (u_int i = 0; i < n; i++)
      if (!qel_xdr_netaddress_t(xdrs, &objp->listen_addr[i])) return FALSE;
    return TRUE;
  }
  if (xdrs->x_op != XDR_DECODE || n > QEL_XDR_MAX_COUNT) return FALSE;
  for (u_int i = 0; i < n; i++) {
    netaddress_t scratch;
    netaddress_t* to = i < API_COPY_MAX_LISTEN ? &objp->listen_addr[i] : &scratch;
    if (!qel_xdr_netaddress_t(xdrs, to)) return FALSE;
  }
  objp->listen_count = API_COPY_MAX_LISTEN;
  return TRUE;
}

bool_t qel_xdr_api_query_copy_req_t(XDR* xdrs, api_query_copy_req_t* objp) {
  return xdr_uint32_t(xdrs, &objp->flags) && xdr_uint32_t(xdrs, &objp->copyHandle);
}

bool_t qel_xdr_api_query_copy_rply_t(XDR* xdrs, api_query_copy_rply_t* objp) {
  return xdr_uint32_t(xdrs, &objp->copyState) && xdr_int32_t(xdrs, &objp->errorCode) &&
         xdr_uint32_t(xdrs, &objp->stateInfo) && xdr_uint64_t(xdrs, &objp->bytesXferred) &&
         qel_xdr_opaque(xdrs, objp->infostring, API_COPY_INFOSTRING_LEN);
}

bool_t qel_xdr_api_cancel_copy_req_t(XDR* xdrs, api_cancel_copy_req_t* objp) {
  return xdr_uint32_t(xdrs, &objp->flags) && xdr_uint32_t(xdrs, &objp->copyHandle);
}

bool_t qel_xdr_api_copy_acl_req_t(XDR* xdrs, api_copy_acl_req_t* objp) {
  return xdr_uint32_t(xdrs, &objp->flags) &&
         qel_xdr_fstring(xdrs, objp->srcPath, API_COPY_PATH_MAX) &&
         qel_xdr_fstring(xdrs, objp->sinkPath, API_COPY_PATH_MAX);
}
