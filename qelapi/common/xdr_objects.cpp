#include "xdr_objects.h"

#include <stdlib.h>

namespace {

bool_t u64(XDR* xdrs, u_signed64* v) { return qel_xdr_u_signed64(xdrs, v); }
bool_t u32(XDR* xdrs, uint32_t* v) { return xdr_uint32_t(xdrs, v); }
bool_t i32(XDR* xdrs, int32_t* v) { return xdr_int32_t(xdrs, v); }
bool_t u16(XDR* xdrs, uint16_t* v) { return xdr_uint16_t(xdrs, v); }
bool_t u8(XDR* xdrs, uint8_t* v) { return xdr_uint8_t(xdrs, v); }
bool_t opaque(XDR* xdrs, char* p, u_int n) { return qel_xdr_opaque(xdrs, p, n); }

// Both enumerations travel as a signed word whatever value they hold.
template <typename E>
bool_t enum32(XDR* xdrs, E* v) {
  int32_t w = static_cast<int32_t>(*v);
  if (!xdr_int32_t(xdrs, &w)) return FALSE;
  if (xdrs->x_op == XDR_DECODE) *v = static_cast<E>(w);
  return TRUE;
}

}  // namespace

bool_t qel_xdr_ns_ObjHandle_t(XDR* xdrs, ns_ObjHandle_t* objp) {
  return u64(xdrs, &objp->ObjId) && u16(xdrs, &objp->ObjNsHash) && u64(xdrs, &objp->FileId) &&
         u16(xdrs, &objp->FileNsHash) && u8(xdrs, &objp->Type) && u8(xdrs, &objp->Flags) &&
         u64(xdrs, &objp->Generation) && u32(xdrs, &objp->CoreServerId);
}

bool_t qel_xdr_bfs_bitfile_obj_handle_t(XDR* xdrs, bfs_bitfile_obj_handle_t* objp) {
  return qel_xdr_quoroid_t(xdrs, &objp->BfId) && u16(xdrs, &objp->BfHash) &&
         u32(xdrs, &objp->ValidHash);
}

bool_t qel_xdr_quor_TrashRecord_t(XDR* xdrs, quor_TrashRecord_t* objp) {
  return u64(xdrs, &objp->ParentId) && u16(xdrs, &objp->ParentNsHash) &&
         qel_xdr_ns_ObjHandle_t(xdrs, &objp->Handle) && u32(xdrs, &objp->UID) &&
         u32(xdrs, &objp->RealmId) && u32(xdrs, &objp->TimeDeleted) &&
         u32(xdrs, &objp->TimeCreated) && u32(xdrs, &objp->TimeLastRead) &&
         u32(xdrs, &objp->TimeModified) && u64(xdrs, &objp->LengthAtDeleteTime) &&
         qel_xdr_quoroid_t(xdrs, &objp->BitfileId) && u16(xdrs, &objp->BitfileHash) &&
         qel_xdr_fstring(xdrs, objp->Path, sizeof objp->Path) &&
         qel_xdr_fstring(xdrs, objp->Name, sizeof objp->Name);
}

bool_t qel_xdr_quor_Attrs_t(XDR* xdrs, quor_Attrs_t* objp) {
  return qel_xdr_acct_rec_t(xdrs, &objp->Account) &&
         qel_xdr_bfs_bitfile_obj_handle_t(xdrs, &objp->BitfileObj) &&
         opaque(xdrs, objp->Comment, sizeof objp->Comment) &&
         u32(xdrs, &objp->CompositePerms) && u32(xdrs, &objp->COSId) &&
         u64(xdrs, &objp->DataLength) && u32(xdrs, &objp->EntryCount) &&
         u32(xdrs, &objp->ExtendedACLs) && u32(xdrs, &objp->FamilyId) &&
         qel_xdr_ns_ObjHandle_t(xdrs, &objp->FilesetHandle) && u64(xdrs, &objp->FilesetId) &&
         u64(xdrs, &objp->FilesetRootObjectId) && u32(xdrs, &objp->FilesetStateFlags) &&
         u32(xdrs, &objp->FilesetType) && u32(xdrs, &objp->GID) &&
         u32(xdrs, &objp->GroupPerms) && u32(xdrs, &objp->LinkCount) &&
         u32(xdrs, &objp->ModePerms) && u32(xdrs, &objp->OpenCount) &&
         u32(xdrs, &objp->OptionFlags) && u32(xdrs, &objp->OtherPerms) &&
         u32(xdrs, &objp->ReadCount) && u32(xdrs, &objp->RealmId) &&
         u64(xdrs, &objp->RegisterBitMap) && u32(xdrs, &objp->SubSystemId) &&
         u32(xdrs, &objp->TimeCreated) && u32(xdrs, &objp->TimeLastRead) &&
         u32(xdrs, &objp->TimeLastWritten) && u32(xdrs, &objp->TimeModified) &&
         qel_xdr_quor_TrashRecord_t(xdrs, &objp->TrashInfo) && u32(xdrs, &objp->Type) &&
         u32(xdrs, &objp->UID) && u32(xdrs, &objp->UserPerms) && u32(xdrs, &objp->WriteCount);
}

bool_t qel_xdr_quor_fileattr_t(XDR* xdrs, quor_fileattr_t* objp) {
  return qel_xdr_ns_ObjHandle_t(xdrs, &objp->ObjectHandle) &&
         qel_xdr_quor_Attrs_t(xdrs, &objp->Attrs);
}

bool_t qel_xdr_pv_list_element_t(XDR* xdrs, pv_list_element_t* objp) {
  return opaque(xdrs, objp->Name, sizeof objp->Name) && u32(xdrs, &objp->Flags);
}

bool_t qel_xdr_pv_list_t(XDR* xdrs, pv_list_t* objp) {
  return u32(xdrs, &objp->List_len) &&
         qel_xdr_elements(xdrs, reinterpret_cast<void**>(&objp->List_val), objp->List_len,
                          sizeof(pv_list_element_t), (xdrproc_t)qel_xdr_pv_list_element_t,
                          QEL_XDR_MAX_COUNT, "qel_xdr_pv_list_t");
}

namespace {

// The list goes through a pointer; only a non-empty list gets a header.
bool_t pv_list_ptr(XDR* xdrs, pv_list_t** pp) {
  switch (xdrs->x_op) {
    case XDR_FREE:
      if (*pp != nullptr) {
        qel_xdr_pv_list_t(xdrs, *pp);
        free(*pp);
        *pp = nullptr;
      }
      return TRUE;
    case XDR_ENCODE:
      return *pp != nullptr && qel_xdr_pv_list_t(xdrs, *pp);
    case XDR_DECODE:
      break;
  }
  *pp = nullptr;
  pv_list_t got = {};
  if (!qel_xdr_pv_list_t(xdrs, &got)) return FALSE;
  if (got.List_len == 0) return TRUE;
  pv_list_t* hdr = static_cast<pv_list_t*>(malloc(sizeof *hdr));
  if (hdr == nullptr) {
    qel_xdr_memory_error("qel_xdr_pv_list_t", __FILE__, __LINE__, 1, int(sizeof *hdr));
    XDR fx;
    fx.x_op = XDR_FREE;
    qel_xdr_pv_list_t(&fx, &got);
    return FALSE;
  }
  *hdr = got;
  *pp = hdr;
  return TRUE;
}

}  // namespace

bool_t qel_xdr_bf_vv_attrib_t(XDR* xdrs, bf_vv_attrib_t* objp) {
  return qel_xdr_quoroid_t(xdrs, &objp->VVID) && i32(xdrs, &objp->RelPosition) &&
         u64(xdrs, &objp->RelPositionOffset) && u64(xdrs, &objp->BytesOnVV) &&
         pv_list_ptr(xdrs, &objp->PVList);
}

bool_t qel_xdr_bf_sc_attrib_t(XDR* xdrs, bf_sc_attrib_t* objp) {
  if (xdrs->x_op == XDR_FREE) {
    u_int n = objp->NumberOfVVs < QUOR_MAX_LEVEL_VVS ? objp->NumberOfVVs : QUOR_MAX_LEVEL_VVS;
    for (u_int i = 0; i < n; i++) qel_xdr_bf_vv_attrib_t(xdrs, &objp->VVAttrib[i]);
    return TRUE;
  }
  // The level holds ten volume entries; a larger count would write past them.
  uint32_t count = objp->NumberOfVVs;
  if (!u32(xdrs, &count) || count > QUOR_MAX_LEVEL_VVS) return FALSE;
  objp->NumberOfVVs = count;
  if (!(u64(xdrs, &objp->BytesAtLevel) && u32(xdrs, &objp->OptimumAccessSize) &&
        u32(xdrs, &objp->StripeWidth) && u64(xdrs, &objp->StripeLength) &&
        u32(xdrs, &objp->Flags)))
    return FALSE;
  for (u_int i = 0; i < count; i++)
    if (!qel_xdr_bf_vv_attrib_t(xdrs, &objp->VVAttrib[i])) return FALSE;
  return TRUE;
}

bool_t qel_xdr_quor_xfileattr_t(XDR* xdrs, quor_xfileattr_t* objp) {
  if (!qel_xdr_ns_ObjHandle_t(xdrs, &objp->ObjectHandle) ||
      !qel_xdr_quor_Attrs_t(xdrs, &objp->Attrs))
    return FALSE;
  for (auto& level : objp->SCAttrib)
    if (!qel_xdr_bf_sc_attrib_t(xdrs, &level)) return FALSE;
  return TRUE;
}

bool_t qel_xdr_quor_stat_t(XDR* xdrs, quor_stat_t* objp) {
  return u32(xdrs, &objp->st_dev) && u64(xdrs, &objp->st_ino) && u16(xdrs, &objp->st_nlink) &&
         u16(xdrs, &objp->st_flag) && u32(xdrs, &objp->st_uid) && u32(xdrs, &objp->st_gid) &&
         u32(xdrs, &objp->st_rdev) && u64(xdrs, &objp->st_ssize) &&
         u32(xdrs, &objp->quor_st_atime) && u32(xdrs, &objp->quor_st_mtime) &&
         u32(xdrs, &objp->quor_st_ctime) && u32(xdrs, &objp->st_blksize) &&
         u32(xdrs, &objp->st_blocks) && i32(xdrs, &objp->st_vfstype) &&
         u32(xdrs, &objp->st_vfs) && u32(xdrs, &objp->st_type) && u32(xdrs, &objp->st_gen) &&
         u64(xdrs, &objp->st_size) && u32(xdrs, &objp->st_mode);
}

bool_t qel_xdr_ns_DirEntry_t(XDR* xdrs, ns_DirEntry_t* objp) {
  return qel_xdr_fstring(xdrs, objp->Name, sizeof objp->Name) &&
         qel_xdr_ns_ObjHandle_t(xdrs, &objp->ObjHandle) && u64(xdrs, &objp->ObjOffset) &&
         qel_xdr_quor_Attrs_t(xdrs, &objp->Attrs);
}

bool_t qel_xdr_quor_dirent_t(XDR* xdrs, quor_dirent_t* objp) {
  return u64(xdrs, &objp->d_offset) && qel_xdr_ns_ObjHandle_t(xdrs, &objp->d_handle) &&
         u16(xdrs, &objp->d_reclen) && u16(xdrs, &objp->d_namelen) &&
         qel_xdr_fstring(xdrs, objp->d_name, sizeof objp->d_name);
}

bool_t qel_xdr_quor_hash_type_t(XDR* xdrs, quor_hash_type_t* objp) { return enum32(xdrs, objp); }

bool_t qel_xdr_quor_cos_md_t(XDR* xdrs, quor_cos_md_t* objp) {
  return u32(xdrs, &objp->COSId) && u32(xdrs, &objp->HierId) &&
         qel_xdr_fstring(xdrs, objp->COSName, sizeof objp->COSName) &&
         u32(xdrs, &objp->OptimumAccessSize) && u32(xdrs, &objp->Flags) &&
         u64(xdrs, &objp->MinFileSize) && u64(xdrs, &objp->MaxFileSize) &&
         u32(xdrs, &objp->AccessFrequency) && u32(xdrs, &objp->TransferRate) &&
         u32(xdrs, &objp->AvgLatency) && u32(xdrs, &objp->WriteOps) &&
         u32(xdrs, &objp->ReadOps) && u32(xdrs, &objp->StageCode) &&
         u32(xdrs, &objp->AllocMethod) && qel_xdr_quor_hash_type_t(xdrs, &objp->FileHashType);
}

bool_t qel_xdr_quor_cos_hints_t(XDR* xdrs, quor_cos_hints_t* objp) {
  return u32(xdrs, &objp->COSId) &&
         qel_xdr_fstring(xdrs, objp->COSName, sizeof objp->COSName) &&
         u32(xdrs, &objp->Flags) && u64(xdrs, &objp->OptimumAccessSize) &&
         u64(xdrs, &objp->MinFileSize) && u64(xdrs, &objp->MaxFileSize) &&
         u32(xdrs, &objp->AccessFrequency) && u32(xdrs, &objp->TransferRate) &&
         u32(xdrs, &objp->AvgLatency) && u32(xdrs, &objp->WriteOps) &&
         u32(xdrs, &objp->ReadOps) && u32(xdrs, &objp->StageCode) &&
         u32(xdrs, &objp->StripeWidth) && u64(xdrs, &objp->StripeLength) &&
         u32(xdrs, &objp->FamilyId);
}

bool_t qel_xdr_quor_cos_priorities_t(XDR* xdrs, quor_cos_priorities_t* objp) {
  return u32(xdrs, &objp->COSIdPriority) && u32(xdrs, &objp->COSNamePriority) &&
         u32(xdrs, &objp->OptimumAccessSizePriority) && u32(xdrs, &objp->MinFileSizePriority) &&
         u32(xdrs, &objp->MaxFileSizePriority) && u32(xdrs, &objp->AccessFrequencyPriority) &&
         u32(xdrs, &objp->TransferRatePriority) && u32(xdrs, &objp->AvgLatencyPriority) &&
         u32(xdrs, &objp->WriteOpsPriority) && u32(xdrs, &objp->ReadOpsPriority) &&
         u32(xdrs, &objp->StageCodePriority) && u32(xdrs, &objp->StripeWidthPriority) &&
         u32(xdrs, &objp->StripeLengthPriority) && u32(xdrs, &objp->FamilyIdPriority);
}

bool_t qel_xdr_ns_FilesetAttrs_t(XDR* xdrs, ns_FilesetAttrs_t* objp) {
  return u64(xdrs, &objp->RegisterBitMap) && u64(xdrs, &objp->ChangedRegisterBitMap) &&
         u32(xdrs, &objp->ClassOfService) && u32(xdrs, &objp->FamilyId) &&
         qel_xdr_ns_ObjHandle_t(xdrs, &objp->FilesetHandle) && u64(xdrs, &objp->FilesetId) &&
         qel_xdr_fstring(xdrs, objp->FilesetName, sizeof objp->FilesetName) &&
         u32(xdrs, &objp->FilesetType) && u32(xdrs, &objp->StateFlags) &&
         u32(xdrs, &objp->SubSystemId) && opaque(xdrs, objp->UserData, sizeof objp->UserData) &&
         u64(xdrs, &objp->DirectoryCount) && u64(xdrs, &objp->FileCount) &&
         u64(xdrs, &objp->HardLinkCount) && u64(xdrs, &objp->JunctionCount) &&
         u64(xdrs, &objp->SymLinkCount);
}

bool_t qel_xdr_quor_junction_ent_t(XDR* xdrs, quor_junction_ent_t* objp) {
  return qel_xdr_ns_ObjHandle_t(xdrs, &objp->FilesetHandle) &&
         qel_xdr_fstring(xdrs, objp->JunctionPathName, sizeof objp->JunctionPathName) &&
         qel_xdr_ns_ObjHandle_t(xdrs, &objp->JunctionHandle);
}

bool_t qel_xdr_quor_global_fsent_t(XDR* xdrs, quor_global_fsent_t* objp) {
  return u64(xdrs, &objp->FilesetId) &&
         qel_xdr_fstring(xdrs, objp->FilesetName, sizeof objp->FilesetName) &&
         u32(xdrs, &objp->CoreServerId);
}

bool_t qel_xdr_acct_list_t(XDR* xdrs, acct_list_t* objp) {
  return qel_xdr_acct_rec_t(xdrs, &objp->accountId) &&
         qel_xdr_fstring(xdrs, objp->acctName, QUOR_ACCT_NAME_MAX);
}

bool_t qel_xdr_subsys_stats_t(XDR* xdrs, subsys_stats_t* objp) {
  return u32(xdrs, &objp->StageCount) && u32(xdrs, &objp->MigrationCount) &&
         u32(xdrs, &objp->PurgeCount) && u32(xdrs, &objp->DeleteCount) &&
         u32(xdrs, &objp->TimeLastReset) && u32(xdrs, &objp->COSChangeThreadCount);
}

bool_t qel_xdr_namespec_type_t(XDR* xdrs, namespec_type_t* objp) { return enum32(xdrs, objp); }

bool_t qel_xdr_api_namespec_t(XDR* xdrs, api_namespec_t* objp) {
  return qel_xdr_namespec_type_t(xdrs, &objp->Type) && u32(xdrs, &objp->Id) &&
         u32(xdrs, &objp->RealmId) && opaque(xdrs, objp->Name, sizeof objp->Name) &&
         opaque(xdrs, objp->RealmName, sizeof objp->RealmName);
}

bool_t qel_xdr_bfs_callback_addr_t(XDR* xdrs, bfs_callback_addr_t* objp) {
  return qel_xdr_quor_sockaddr_t(xdrs, &objp->sockaddr) &&
         qel_xdr_quor_reqid_t(xdrs, &objp->id);
}

bool_t qel_xdr_bfs_callback_ret_msg_t(XDR* xdrs, bfs_callback_ret_msg_t* objp) {
  return qel_xdr_quor_reqid_t(xdrs, &objp->reqid) && i32(xdrs, &objp->retcode) &&
         qel_xdr_bfs_bitfile_obj_handle_t(xdrs, &objp->bfobj);
}
