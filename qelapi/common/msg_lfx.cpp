#include "msg_lfx.h"

#include <string.h>

namespace {

bool_t xdr_path(XDR* xdrs, char* path) { return qel_xdr_fstring(xdrs, path, OZU_LFX_PATH_MAX); }

// The in-memory times are 64-bit; the wire keeps 32-bit seconds.
bool_t xdr_secs32(XDR* xdrs, int64_t* t) {
  uint32_t w = static_cast<uint32_t>(*t);
  if (!xdr_uint32_t(xdrs, &w)) return FALSE;
  if (xdrs->x_op == XDR_DECODE) *t = w;
  return TRUE;
}

// addressCount elements, nothing at all when the count is 0. A negative count
// is refused: the record would not say what follows.
bool_t xdr_addresses(XDR* xdrs, int32_t count, ozu_sockaddr_info_t** list) {
  if (xdrs->x_op != XDR_FREE) {
    if (count < 0) return FALSE;
    if (count == 0) return TRUE;
  }
  return qel_xdr_elements(xdrs, reinterpret_cast<void**>(list), count > 0 ? u_int(count) : 0,
                          sizeof(ozu_sockaddr_info_t), (xdrproc_t)qel_xdr_ozu_sockaddr_info_t,
                          QEL_XDR_MAX_COUNT, nullptr);
}

// Inline file data: present only with the inline flag and a non-zero length.
bool_t xdr_inline_data(XDR* xdrs, uint32_t flags, uint64_t len, char** data) {
  if (xdrs->x_op == XDR_FREE) return qel_xdr_block(xdrs, data, 0, 0, FALSE, nullptr);
  if (!(flags & OZU_XFER_INLINE_DATA) || len == 0) return TRUE;
  if (len > QEL_XDR_MAX_BLOCK) return FALSE;
  return qel_xdr_block(xdrs, data, u_int(len), 0, FALSE, nullptr);
}

bool_t xdr_reserved(XDR* xdrs, uint32_t* const* words, size_t n) {
  for (size_t i = 0; i < n; i++)
    if (!xdr_uint32_t(xdrs, words[i])) return FALSE;
  return TRUE;
}

}  // namespace

bool_t qel_xdr_ozu_cksum_t(XDR* xdrs, ozu_cksum_t* objp) {
  if (xdrs->x_op == XDR_FREE) return TRUE;
  if (!xdr_uint32_t(xdrs, &objp->csumType) || !xdr_uint32_t(xdrs, &objp->csumLength))
    return FALSE;
  // The digest lands in a fixed array: a longer one would overrun it.
  if (objp->csumLength > OZU_CKSUM_SIZE) return FALSE;
  return qel_xdr_opaque(xdrs, reinterpret_cast<char*>(objp->cksum), objp->csumLength);
}

bool_t qel_xdr_ozu_sockaddr_info_t(XDR* xdrs, ozu_sockaddr_info_t* objp) {
  if (!xdr_uint8_t(xdrs, &objp->addressType) || !xdr_uint8_t(xdrs, &objp->preConnected) ||
      !xdr_uint32_t(xdrs, &objp->poolID) || !xdr_int32_t(xdrs, &objp->socketFD))
    return FALSE;
  if (xdrs->x_op == XDR_DECODE) memset(&objp->socketAddr, 0, sizeof objp->socketAddr);
  return qel_xdr_quor_sockaddr_t(xdrs, &objp->socketAddr);
}

bool_t qel_xdr_ozu_xfer_init_info_t(XDR* xdrs, ozu_xfer_init_info_t* objp) {
  uint8_t drive = static_cast<uint8_t>(objp->drive);
  if (!xdr_uint32_t(xdrs, &objp->flags) || !xdr_uint8_t(xdrs, &objp->xferOperation) ||
      !xdr_uint8_t(xdrs, &drive))
    return FALSE;
  if (xdrs->x_op == XDR_DECODE) objp->drive = static_cast<char>(drive);
  if (!xdr_path(xdrs, objp->pathName) || !xdr_int64_t(xdrs, &objp->fileSize) ||
      !xdr_uint64_t(xdrs, &objp->srcOffset) || !xdr_uint64_t(xdrs, &objp->sinkOffset) ||
      !xdr_uint64_t(xdrs, &objp->xferLength) || !xdr_uint32_t(xdrs, &objp->bufSize) ||
      !xdr_uint32_t(xdrs, &objp->mode) || !xdr_uint32_t(xdrs, &objp->uid) ||
      !xdr_uint32_t(xdrs, &objp->gid))
    return FALSE;
  if ((objp->flags & OZU_XFER_INIT_CKSUM) && !qel_xdr_ozu_cksum_t(xdrs, &objp->fileCksum))
    return FALSE;
  if (!xdr_int32_t(xdrs, &objp->addressCount) ||
      !xdr_addresses(xdrs, objp->addressCount, &objp->addressList))
    return FALSE;
  uint32_t* const reserved[] = {&objp->reserved1, &objp->reserved2, &objp->reserved3,
                                &objp->reserved4, &objp->reserved5, &objp->reserved6,
                                &objp->reserved7, &objp->reserved8, &objp->reserved9,
                                &objp->reserved10};
  if (!xdr_reserved(xdrs, reserved, 10)) return FALSE;
  return xdr_inline_data(xdrs, objp->flags, objp->xferLength, &objp->fileData);
}

bool_t qel_xdr_ozu_xfer_init_reply_t(XDR* xdrs, ozu_xfer_init_reply_t* objp) {
  if (!xdr_uint32_t(xdrs, &objp->flags) || !xdr_uint32_t(xdrs, &objp->xferSerialNum) ||
      !xdr_int32_t(xdrs, &objp->addressCount))
    return FALSE;
  if ((objp->flags & OZU_XFER_REPLY_CKSUM) && !qel_xdr_ozu_cksum_t(xdrs, &objp->fileCksum))
    return FALSE;
  if (!xdr_addresses(xdrs, objp->addressCount, &objp->addressList) ||
      !xdr_int32_t(xdrs, &objp->xferStatus) || !xdr_uint64_t(xdrs, &objp->fileSize))
    return FALSE;
  uint32_t* const reserved[] = {&objp->reserved1, &objp->reserved2, &objp->reserved3,
                                &objp->reserved4, &objp->reserved5};
  if (!xdr_reserved(xdrs, reserved, 5)) return FALSE;
  return xdr_inline_data(xdrs, objp->flags, objp->fileSize, &objp->fileData);
}

bool_t qel_xdr_ozu_xfer_complete_t(XDR* xdrs, ozu_xfer_complete_t* objp) {
  return xdr_uint32_t(xdrs, &objp->flags) && xdr_uint32_t(xdrs, &objp->xferSerialNum) &&
         xdr_int32_t(xdrs, &objp->xferStatus) && xdr_uint64_t(xdrs, &objp->bytesXferred);
}

bool_t qel_xdr_ozugw_lfx_xfer_init_req_t(XDR* xdrs, ozugw_lfx_xfer_init_req_t* objp) {
  return xdr_uint32_t(xdrs, &objp->flags) && xdr_int32_t(xdrs, &objp->filedes) &&
         qel_xdr_ozu_xfer_init_info_t(xdrs, &objp->initInfo);
}

bool_t qel_xdr_ozugw_lfx_xfer_init_rply_t(XDR* xdrs, ozugw_lfx_xfer_init_rply_t* objp) {
  return xdr_uint32_t(xdrs, &objp->flags) &&
         qel_xdr_ozu_xfer_init_reply_t(xdrs, &objp->initReplyInfo);
}

bool_t qel_xdr_ozugw_lfx_xfer_reply_t(XDR* xdrs, ozugw_lfx_xfer_reply_t* objp) {
  return xdr_uint32_t(xdrs, &objp->flags) &&
         qel_xdr_ozu_xfer_complete_t(xdrs, &objp->xferCompleteInfo);
}

bool_t qel_xdr_ozu_lfx_stat_t(XDR* xdrs, ozu_lfx_stat_t* objp) {
  return xdr_uint32_t(xdrs, &objp->hst_mode) && xdr_uint32_t(xdrs, &objp->hst_nlink) &&
         xdr_uint32_t(xdrs, &objp->hst_uid) && xdr_uint32_t(xdrs, &objp->hst_gid) &&
         xdr_secs32(xdrs, &objp->hst_mtime) && xdr_secs32(xdrs, &objp->hst_atime) &&
         xdr_secs32(xdrs, &objp->hst_ctime) && xdr_uint64_t(xdrs, &objp->hst_size);
}

bool_t qel_xdr_ozu_lfx_attrs_t(XDR* xdrs, ozu_lfx_attrs_t* objp) {
  return qel_xdr_fstring(xdrs, objp->Filename, OZU_LFX_FILENAME_SIZE) &&
         qel_xdr_ozu_lfx_stat_t(xdrs, &objp->LfxAttrs);
}

bool_t qel_xdr_api_lfx_Chmod_req_t(XDR* xdrs, api_lfx_Chmod_req_t* objp) {
  return xdr_path(xdrs, objp->Path) && qel_xdr_mode_t(xdrs, &objp->Mode);
}

bool_t qel_xdr_api_lfx_Chown_req_t(XDR* xdrs, api_lfx_Chown_req_t* objp) {
  return xdr_path(xdrs, objp->Path) && xdr_uint32_t(xdrs, &objp->Owner) &&
         xdr_uint32_t(xdrs, &objp->Group);
}

bool_t qel_xdr_api_lfx_Closedir_req_t(XDR* xdrs, api_lfx_Closedir_req_t* objp) {
  return xdr_int32_t(xdrs, &objp->Dirdes);
}

bool_t qel_xdr_api_lfx_Getcwd_rply_t(XDR* xdrs, api_lfx_Getcwd_rply_t* objp) {
  return qel_xdr_string(xdrs, &objp->Buf, OZU_LFX_GETCWD_MAX);
}

bool_t qel_xdr_api_lfx_Mkdir_req_t(XDR* xdrs, api_lfx_Mkdir_req_t* objp) {
  return xdr_path(xdrs, objp->Path) && qel_xdr_mode_t(xdrs, &objp->Mode);
}

bool_t qel_xdr_api_lfx_Opendir_req_t(XDR* xdrs, api_lfx_Opendir_req_t* objp) {
  return xdr_path(xdrs, objp->Path);
}

bool_t qel_xdr_lfx_Lstat_req_t(XDR* xdrs, api_lfx_Lstat_req_t* objp) {
  return xdr_path(xdrs, objp->Path);
}

bool_t qel_xdr_lfx_Lstat_rply_t(XDR* xdrs, api_lfx_Lstat_rply_t* objp) {
  return qel_xdr_ozu_lfx_stat_t(xdrs, &objp->LfxStat);
}

bool_t qel_xdr_lfx_Stat_req_t(XDR* xdrs, api_lfx_Stat_req_t* objp) {
  return xdr_path(xdrs, objp->Path);
}

bool_t qel_xdr_lfx_Stat_rply_t(XDR* xdrs, api_lfx_Stat_rply_t* objp) {
  return qel_xdr_ozu_lfx_stat_t(xdrs, &objp->LfxStat);
}

bool_t qel_xdr_lfx_ReadAttrs_req_t(XDR* xdrs, api_lfx_ReadAttrs_req_t* objp) {
  return xdr_int32_t(xdrs, &objp->Dirdes) && xdr_int32_t(xdrs, &objp->EntryCount);
}

bool_t qel_xdr_lfx_ReadAttrs_rply_t(XDR* xdrs, api_lfx_ReadAttrs_rply_t* objp) {
  if (!xdr_int32_t(xdrs, &objp->EntryCount) || !xdr_int32_t(xdrs, &objp->End)) return FALSE;
  int32_t n = objp->EntryCount;
  if (xdrs->x_op != XDR_FREE) {
    if (n < 0) return FALSE;
    if (n == 0) return TRUE;  // the entry pointer stays as the caller left it
  }
  return qel_xdr_elements(xdrs, reinterpret_cast<void**>(&objp->Entries), n > 0 ? u_int(n) : 0,
                          sizeof(ozu_lfx_attrs_t), (xdrproc_t)qel_xdr_ozu_lfx_attrs_t,
                          QEL_XDR_MAX_COUNT, nullptr);
}

bool_t qel_xdr_lfx_Readlink_req_t(XDR* xdrs, api_lfx_Readlink_req_t* objp) {
  return xdr_path(xdrs, objp->Path);
}

bool_t qel_xdr_lfx_Readlink_rply_t(XDR* xdrs, api_lfx_Readlink_rply_t* objp) {
  return xdr_path(xdrs, objp->Contents);
}

bool_t qel_xdr_lfx_Rename_req_t(XDR* xdrs, api_lfx_Rename_req_t* objp) {
  return xdr_path(xdrs, objp->Old) && xdr_path(xdrs, objp->New);
}

bool_t qel_xdr_lfx_Rewinddir_req_t(XDR* xdrs, api_lfx_Rewinddir_req_t* objp) {
  return xdr_int32_t(xdrs, &objp->Dirdes);
}

bool_t qel_xdr_lfx_Symlink_req_t(XDR* xdrs, api_lfx_Symlink_req_t* objp) {
  return xdr_path(xdrs, objp->Contents) && xdr_path(xdrs, objp->Path);
}

bool_t qel_xdr_lfx_Unlink_req_t(XDR* xdrs, api_lfx_Unlink_req_t* objp) {
  return xdr_path(xdrs, objp->Path);
}
