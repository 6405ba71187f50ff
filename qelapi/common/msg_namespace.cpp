#include "msg_namespace.h"

namespace {

bool_t path(XDR* xdrs, char** p) { return qel_xdr_string(xdrs, p, QEL_NS_PATH_MAX); }

bool_t namespecs(XDR* xdrs, api_quor_ns_namespecs_t* objp) {
  if (!xdr_int32_t(xdrs, &objp->NumEntries)) return FALSE;
  if (objp->NumEntries < 0) return xdrs->x_op == XDR_FREE;
  return qel_xdr_elements(xdrs, reinterpret_cast<void**>(&objp->Specs),
                          static_cast<u_int>(objp->NumEntries), sizeof(api_namespec_t),
                          (xdrproc_t)qel_xdr_api_namespec_t, QEL_XDR_MAX_COUNT,
                          "qel_xdr_api_namespec_t");
}

// Stat replies decode into the record the caller points at, which is never
// released here.
bool_t stat_into(XDR* xdrs, quor_stat_t* buf) {
  if (xdrs->x_op == XDR_FREE) return TRUE;
  return buf != nullptr && qel_xdr_quor_stat_t(xdrs, buf);
}

// Count, offset and end flag, then entryCount entries into an array the
// decoder allocates.
template <typename E>
bool_t listing(XDR* xdrs, unsigned32* count, u_signed64* offset, unsigned32* end, E** entries,
               bool_t (*codec)(XDR*, E*), const char* memname) {
  return xdr_uint32_t(xdrs, count) && qel_xdr_u_signed64(xdrs, offset) &&
         xdr_uint32_t(xdrs, end) &&
         qel_xdr_elements(xdrs, reinterpret_cast<void**>(entries), *count, sizeof(E),
                          (xdrproc_t)codec, QEL_XDR_MAX_COUNT, memname);
}

}  // namespace

bool_t qel_xdr_api_quor_Chdir_req_t(XDR* xdrs, api_quor_Chdir_req_t* objp) {
  return path(xdrs, &objp->Path);
}

bool_t qel_xdr_api_quor_Chmod_req_t(XDR* xdrs, api_quor_Chmod_req_t* objp) {
  return path(xdrs, &objp->Path) && qel_xdr_mode_t(xdrs, &objp->Mode);
}

bool_t qel_xdr_api_quor_Chown_req_t(XDR* xdrs, api_quor_Chown_req_t* objp) {
  return path(xdrs, &objp->Path) && qel_xdr_uid_t(xdrs, &objp->Owner) &&
         qel_xdr_gid_t(xdrs, &objp->Group);
}

bool_t qel_xdr_api_quor_Closedir_req_t(XDR* xdrs, api_quor_Closedir_req_t* objp) {
  return xdr_int32_t(xdrs, &objp->Dirdes);
}

bool_t qel_xdr_api_quor_ConvertIdsToNames_req_t(XDR* xdrs, api_quor_ConvertIdsToNames_req_t* objp) {
  return namespecs(xdrs, objp);
}

bool_t qel_xdr_api_quor_ConvertIdsToNames_rply_t(XDR* xdrs,
                                                 api_quor_ConvertIdsToNames_rply_t* objp) {
  return namespecs(xdrs, objp);
}

bool_t qel_xdr_api_quor_ConvertNamesToIds_req_t(XDR* xdrs, api_quor_ConvertNamesToIds_req_t* objp) {
  return namespecs(xdrs, objp);
}

bool_t qel_xdr_api_quor_ConvertNamesToIds_rply_t(XDR* xdrs,
                                                 api_quor_ConvertNamesToIds_rply_t* objp) {
  return namespecs(xdrs, objp);
}

bool_t qel_xdr_api_quor_FileGetAttributes_req_t(XDR* xdrs, api_quor_FileGetAttributes_req_t* objp) {
  return path(xdrs, &objp->Path);
}

bool_t qel_xdr_api_quor_FileGetAttributes_rply_t(XDR* xdrs,
                                                 api_quor_FileGetAttributes_rply_t* objp) {
  return qel_xdr_quor_fileattr_t(xdrs, &objp->AttrOut);
}

bool_t qel_xdr_api_quor_FileGetXAttributes_req_t(XDR* xdrs,
                                                 api_quor_FileGetXAttributes_req_t* objp) {
  return path(xdrs, &objp->Path) && xdr_uint32_t(xdrs, &objp->Flags) &&
         xdr_uint32_t(xdrs, &objp->StorageLevel);
}

bool_t qel_xdr_api_quor_FileGetXAttributes_rply_t(XDR* xdrs,
                                                  api_quor_FileGetXAttributes_rply_t* objp) {
  return qel_xdr_quor_xfileattr_t(xdrs, &objp->AttrOut);
}

bool_t qel_xdr_api_quor_FileSetAttributes_req_t(XDR* xdrs, api_quor_FileSetAttributes_req_t* objp) {
  return path(xdrs, &objp->Path) && qel_xdr_u_signed64(xdrs, &objp->SelFlags) &&
         qel_xdr_quor_fileattr_t(xdrs, &objp->AttrIn);
}

bool_t qel_xdr_api_quor_FileSetAttributes_rply_t(XDR* xdrs,
                                                 api_quor_FileSetAttributes_rply_t* objp) {
  return qel_xdr_quor_fileattr_t(xdrs, &objp->AttrOut);
}

bool_t qel_xdr_api_quor_FilesetGetAttrs_req_t(XDR* xdrs, api_quor_FilesetGetAttrs_req_t* objp) {
  if (!(xdr_int32_t(xdrs, &objp->useName) && xdr_int32_t(xdrs, &objp->useID) &&
        xdr_int32_t(xdrs, &objp->useHandle) && xdr_int32_t(xdrs, &objp->useSrvrID)))
    return FALSE;
  if (objp->useName && !qel_xdr_opaque(xdrs, objp->Name, sizeof objp->Name)) return FALSE;
  if (objp->useID && !qel_xdr_u_signed64(xdrs, &objp->FilesetId)) return FALSE;
  if (objp->useHandle && !qel_xdr_ns_ObjHandle_t(xdrs, &objp->FilesetHandle)) return FALSE;
  if (objp->useSrvrID && !qel_xdr_quor_srvr_id_t(xdrs, &objp->CoreServerID)) return FALSE;
  return qel_xdr_u_signed64(xdrs, &objp->FilesetAttrBits);
}

bool_t qel_xdr_api_quor_FilesetGetAttrs_rply_t(XDR* xdrs, api_quor_FilesetGetAttrs_rply_t* objp) {
  return qel_xdr_ns_FilesetAttrs_t(xdrs, &objp->FilesetAttrs);
}

bool_t qel_xdr_api_quor_FilesetListAll_req_t(XDR* xdrs, api_quor_FilesetListAll_req_t* objp) {
  return qel_xdr_u_signed64(xdrs, &objp->OffsetIn) && xdr_uint32_t(xdrs, &objp->Entries);
}

bool_t qel_xdr_api_quor_FilesetListAll_rply_t(XDR* xdrs, api_quor_FilesetListAll_rply_t* objp) {
  return listing(xdrs, &objp->entryCount, &objp->OffsetOut, &objp->End, &objp->FSentPtr,
                 qel_xdr_quor_global_fsent_t, "qel_xdr_api_quor_FilesetListAll_rply_t");
}

bool_t qel_xdr_api_quor_Getcwd_rply_t(XDR* xdrs, api_quor_Getcwd_rply_t* objp) {
  return path(xdrs, &objp->Buf);
}

bool_t qel_xdr_api_quor_GetJunctions_req_t(XDR* xdrs, api_quor_GetJunctions_req_t* objp) {
  return xdr_uint32_t(xdrs, &objp->SubsystemID) && qel_xdr_u_signed64(xdrs, &objp->OffsetIn) &&
         xdr_uint32_t(xdrs, &objp->Entries);
}

bool_t qel_xdr_api_quor_GetJunctions_rply_t(XDR* xdrs, api_quor_GetJunctions_rply_t* objp) {
  return listing(xdrs, &objp->entryCount, &objp->OffsetOut, &objp->End, &objp->JentPtr,
                 qel_xdr_quor_junction_ent_t, "qel_xdr_api_quor_GetJunctions_rply_t");
}

bool_t qel_xdr_api_quor_GetListAttrs_req_t(XDR* xdrs, api_quor_GetListAttrs_req_t* objp) {
  return path(xdrs, &objp->Path);
}

bool_t qel_xdr_api_quor_GetListAttrs_rply_t(XDR* xdrs, api_quor_GetListAttrs_rply_t* objp) {
  return qel_xdr_quor_Attrs_t(xdrs, &objp->AttrOut);
}

bool_t qel_xdr_api_quor_Link_req_t(XDR* xdrs, api_quor_Link_req_t* objp) {
  return path(xdrs, &objp->Existing) && path(xdrs, &objp->New);
}

bool_t qel_xdr_api_quor_Lstat_req_t(XDR* xdrs, api_quor_Lstat_req_t* objp) {
  return path(xdrs, &objp->Path);
}

bool_t qel_xdr_api_quor_Lstat_rply_t(XDR* xdrs, api_quor_Lstat_rply_t* objp) {
  return stat_into(xdrs, objp->StatBuf);
}

bool_t qel_xdr_api_quor_Mkdir_req_t(XDR* xdrs, api_quor_Mkdir_req_t* objp) {
  return path(xdrs, &objp->Path) && qel_xdr_mode_t(xdrs, &objp->Mode);
}

bool_t qel_xdr_api_quor_Opendir_req_t(XDR* xdrs, api_quor_Opendir_req_t* objp) {
  return path(xdrs, &objp->DirName);
}

bool_t qel_xdr_api_quor_ReadAttrs_req_t(XDR* xdrs, api_quor_ReadAttrs_req_t* objp) {
  return xdr_int32_t(xdrs, &objp->Dirdes) && qel_xdr_u_signed64(xdrs, &objp->OffsetIn) &&
         xdr_uint32_t(xdrs, &objp->EntryCount) && xdr_uint32_t(xdrs, &objp->GetAttributes);
}

bool_t qel_xdr_api_quor_ReadAttrs_rply_t(XDR* xdrs, api_quor_ReadAttrs_rply_t* objp) {
  // The entries live in the caller's array and own nothing.
  if (xdrs->x_op == XDR_FREE) return TRUE;
  uint32_t count = objp->entryCount;
  if (!xdr_uint32_t(xdrs, &count)) return FALSE;
  if (!xdr_uint32_t(xdrs, &objp->End) || !qel_xdr_u_signed64(xdrs, &objp->OffsetOut))
    return FALSE;
  if (xdrs->x_op == XDR_ENCODE) {
    if (count > 0 && objp->Dirent == nullptr) return FALSE;
    for (uint32_t i = 0; i < count; i++)
      if (!qel_xdr_ns_DirEntry_t(xdrs, &objp->Dirent[i])) return FALSE;
    return TRUE;
  }
  // The array holds only what was asked for. Entries beyond it are read
  // past into scratch space, so that the stream stays in step, and dropped:
  // the count says how many the array got.
  if (count > QEL_XDR_MAX_COUNT) return FALSE;
  uint32_t room = objp->Dirent != nullptr ? objp->DirentCapacity : 0;
  objp->entryCount = 0;
  for (uint32_t i = 0; i < count; i++) {
    ns_DirEntry_t scratch;
    if (!qel_xdr_ns_DirEntry_t(xdrs, i < room ? &objp->Dirent[i] : &scratch)) return FALSE;
    if (i < room) objp->entryCount = i + 1;
  }
  return TRUE;
}

bool_t qel_xdr_api_quor_Readdir_req_t(XDR* xdrs, api_quor_Readdir_req_t* objp) {
  return xdr_int32_t(xdrs, &objp->DirDes);
}

bool_t qel_xdr_api_quor_Readdir_rply_t(XDR* xdrs, api_quor_Readdir_rply_t* objp) {
  return qel_xdr_quor_dirent_t(xdrs, &objp->DirentOut);
}

bool_t qel_xdr_api_quor_Readlink_req_t(XDR* xdrs, api_quor_Readlink_req_t* objp) {
  return path(xdrs, &objp->Path);
}

bool_t qel_xdr_api_quor_Readlink_rply_t(XDR* xdrs, api_quor_Readlink_rply_t* objp) {
  return path(xdrs, &objp->Contents);
}

bool_t qel_xdr_api_quor_Rename_req_t(XDR* xdrs, api_quor_Rename_req_t* objp) {
  return path(xdrs, &objp->Old) && path(xdrs, &objp->New);
}

bool_t qel_xdr_api_quor_Rmdir_req_t(XDR* xdrs, api_quor_Rmdir_req_t* objp) {
  return path(xdrs, &objp->Path);
}

bool_t qel_xdr_api_quor_Stat_req_t(XDR* xdrs, api_quor_Stat_req_t* objp) {
  return path(xdrs, &objp->Path);
}

bool_t qel_xdr_api_quor_Stat_rply_t(XDR* xdrs, api_quor_Stat_rply_t* objp) {
  return stat_into(xdrs, objp->StatBuf);
}

bool_t qel_xdr_api_quor_Symlink_req_t(XDR* xdrs, api_quor_Symlink_req_t* objp) {
  return path(xdrs, &objp->Path) && path(xdrs, &objp->Contents);
}

bool_t qel_xdr_api_quor_Umask_req_t(XDR* xdrs, api_quor_Umask_req_t* objp) {
  return qel_xdr_mode_t(xdrs, &objp->CMask);
}

bool_t qel_xdr_api_quor_Umask_rply_t(XDR* xdrs, api_quor_Umask_rply_t* objp) {
  return qel_xdr_mode_t(xdrs, &objp->OMask);
}

bool_t qel_xdr_api_quor_Utime_req_t(XDR* xdrs, api_quor_Utime_req_t* objp) {
  return path(xdrs, &objp->Path) && qel_xdr_utimbuf_t(xdrs, &objp->Times);
}

bool_t qel_xdr_api_quor_Unlink_req_t(XDR* xdrs, api_quor_Unlink_req_t* objp) {
  return path(xdrs, &objp->Path);
}
