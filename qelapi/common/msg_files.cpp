#include "msg_files.h"

#include <arpa/inet.h>

namespace {

bool_t path(XDR* xdrs, char** p) { return qel_xdr_string(xdrs, p, QEL_FILES_PATH_MAX); }

// The 128 bytes of a name field, whatever follows the NUL; the in-memory
// array keeps one more byte so a full field still ends in a NUL.
bool_t acctNameOpaque(XDR* xdrs, char* name) {
  if (!qel_xdr_opaque(xdrs, name, QEL_ACCT_NAME_WIRE)) return FALSE;
  if (xdrs->x_op == XDR_DECODE) name[QEL_ACCT_NAME_WIRE] = '\0';
  return TRUE;
}

bool_t hintsAndPriorities(XDR* xdrs, quor_cos_hints_t* hints, quor_cos_priorities_t* pri) {
  return qel_xdr_quor_cos_hints_t(xdrs, hints) && qel_xdr_quor_cos_priorities_t(xdrs, pri);
}

bool_t fildes(XDR* xdrs, api_quor_fildes_req_t* objp) { return xdr_int32_t(xdrs, &objp->Fildes); }

bool_t range(XDR* xdrs, api_quor_range_req_t* objp) {
  return xdr_int32_t(xdrs, &objp->Fildes) && qel_xdr_u_signed64(xdrs, &objp->Offset) &&
         qel_xdr_u_signed64(xdrs, &objp->Length) && xdr_uint32_t(xdrs, &objp->StorageLevel) &&
         xdr_uint32_t(xdrs, &objp->Flags);
}

bool_t xio(XDR* xdrs, api_quor_xio_req_t* objp) {
  return xdr_uint32_t(xdrs, &objp->XIOFlags) && xdr_int32_t(xdrs, &objp->Fildes) &&
         qel_xdr_u_signed64(xdrs, &objp->Nbyte);
}

bool_t listReq(XDR* xdrs, api_quor_list_req_t* objp) {
  return xdr_uint32_t(xdrs, &objp->Flags) && qel_xdr_quor_IOD_t(xdrs, &objp->theIOD);
}

bool_t listRply(XDR* xdrs, api_quor_list_rply_t* objp) {
  return qel_xdr_quor_IOR_t(xdrs, &objp->theIOR);
}

}  // namespace

bool_t qel_xdr_api_quor_AcctCodeToName_req_t(XDR* xdrs, api_quor_AcctCodeToName_req_t* objp) {
  return qel_xdr_acct_rec_t(xdrs, &objp->Account) && xdr_uint32_t(xdrs, &objp->Site);
}

bool_t qel_xdr_api_quor_AcctCodeToName_rply_t(XDR* xdrs, api_quor_AcctCodeToName_rply_t* objp) {
  return xdr_uint32_t(xdrs, &objp->Site) && acctNameOpaque(xdrs, objp->AcctName);
}

bool_t qel_xdr_api_quor_AcctNameToCode_req_t(XDR* xdrs, api_quor_AcctNameToCode_req_t* objp) {
  return acctNameOpaque(xdrs, objp->AcctName) && xdr_uint32_t(xdrs, &objp->Site);
}

bool_t qel_xdr_api_AcctNameToCode_rply_t(XDR* xdrs, api_quor_AcctNameToCode_rply_t* objp) {
  return xdr_uint32_t(xdrs, &objp->Site) && qel_xdr_acct_rec_t(xdrs, &objp->Account);
}

bool_t qel_xdr_api_quor_Chacct_req_t(XDR* xdrs, api_quor_Chacct_req_t* objp) {
  return path(xdrs, &objp->Path) && qel_xdr_acct_rec_t(xdrs, &objp->Account);
}

bool_t qel_xdr_api_quor_Close_req_t(XDR* xdrs, api_quor_Close_req_t* objp) {
  return fildes(xdrs, objp);
}

bool_t qel_xdr_api_quor_Create_req_t(XDR* xdrs, api_quor_Create_req_t* objp) {
  return path(xdrs, &objp->Path) && qel_xdr_mode_t(xdrs, &objp->Mode) &&
         hintsAndPriorities(xdrs, &objp->HintsIn, &objp->HintsPri);
}

bool_t qel_xdr_api_quor_Create_rply_t(XDR* xdrs, api_quor_Create_rply_t* objp) {
  return qel_xdr_quor_sockaddr_t(xdrs, &objp->connectaddr) &&
         xdr_uint32_t(xdrs, &objp->dataport) && qel_xdr_quor_cos_hints_t(xdrs, &objp->HintsOut);
}

bool_t qel_xdr_api_quor_CopyFile_req_t(XDR* xdrs, api_quor_CopyFile_req_t* objp) {
  return xdr_int32_t(xdrs, &objp->SrcFildes) && xdr_int32_t(xdrs, &objp->DestFildes);
}

bool_t qel_xdr_api_quor_Fstat_req_t(XDR* xdrs, api_quor_Fstat_req_t* objp) {
  return fildes(xdrs, objp);
}

bool_t qel_xdr_api_quor_Fstat_rply_t(XDR* xdrs, api_quor_Fstat_rply_t* objp) {
  // The caller's record is never released here.
  if (xdrs->x_op == XDR_FREE) return TRUE;
  return objp->StatBuf != nullptr && qel_xdr_quor_stat_t(xdrs, objp->StatBuf);
}

bool_t qel_xdr_api_quor_FileSetCOS_req_t(XDR* xdrs, api_quor_FileSetCOS_req_t* objp) {
  return path(xdrs, &objp->Path) && xdr_uint32_t(xdrs, &objp->COSId) &&
         xdr_uint32_t(xdrs, &objp->StreamId);
}

bool_t qel_xdr_api_quor_GetAcct_rply_t(XDR* xdrs, api_quor_GetAcct_rply_t* objp) {
  return qel_xdr_acct_rec_t(xdrs, &objp->RetDefAcct) && qel_xdr_acct_rec_t(xdrs, &objp->RetCurAcct);
}

bool_t qel_xdr_api_quor_GetAcctName_rply_t(XDR* xdrs, api_quor_GetAcctName_rply_t* objp) {
  return acctNameOpaque(xdrs, objp->AcctName);
}

bool_t qel_xdr_api_quor_GetAsyncStatus_req_t(XDR* xdrs, api_quor_GetAsyncStatus_req_t* objp) {
  return qel_xdr_quor_reqid_t(xdrs, &objp->callbackID) &&
         qel_xdr_bfs_bitfile_obj_handle_t(xdrs, &objp->BitfileObj);
}

bool_t qel_xdr_api_quor_GetAsyncStatus_rply_t(XDR* xdrs, api_quor_GetAsyncStatus_rply_t* objp) {
  return xdr_int32_t(xdrs, &objp->Status);
}

bool_t qel_xdr_api_quor_GetSubsysStats_req_t(XDR* xdrs, api_quor_GetSubsysStats_req_t* objp) {
  return xdr_uint32_t(xdrs, &objp->SubsystemID);
}

bool_t qel_xdr_api_quor_GetSubsysStats_rply_t(XDR* xdrs, api_quor_GetSubsysStats_rply_t* objp) {
  return qel_xdr_subsys_stats_t(xdrs, &objp->StatsOut);
}

bool_t qel_xdr_api_quor_GetConfiguration_rply_t(XDR* xdrs,
                                                api_quor_GetConfiguration_rply_t* objp) {
  return qel_xdr_api_config(xdrs, &objp->ConfigOut);
}

bool_t qel_xdr_api_quor_GetAcctList_rply_t(XDR* xdrs, api_quor_GetAcctList_rply_t* objp) {
  // A failed allocation fails quietly: no memory message for this list.
  return xdr_uint32_t(xdrs, &objp->entryCount) &&
         qel_xdr_elements(xdrs, reinterpret_cast<void**>(&objp->acctEntries), objp->entryCount,
                          sizeof(acct_list_t), reinterpret_cast<xdrproc_t>(qel_xdr_acct_list_t),
                          QEL_XDR_MAX_COUNT, nullptr);
}

bool_t qel_xdr_api_quor_GetUniqueRequestID_rply_t(XDR* xdrs,
                                                  api_quor_GetUniqueRequestID_rply_t* objp) {
  return qel_xdr_quor_reqid_t(xdrs, &objp->RetReqid);
}

bool_t qel_xdr_api_quor_Lseek_req_t(XDR* xdrs, api_quor_Lseek_req_t* objp) {
  return xdr_int32_t(xdrs, &objp->Fildes) && xdr_int64_t(xdrs, &objp->Offset) &&
         xdr_int32_t(xdrs, &objp->Whence);
}

bool_t qel_xdr_api_quor_Lseek_rply_t(XDR* xdrs, api_quor_Lseek_rply_t* objp) {
  return xdr_int64_t(xdrs, &objp->retval);
}

bool_t qel_xdr_api_quor_Migrate_req_t(XDR* xdrs, api_quor_Migrate_req_t* objp) {
  return xdr_int32_t(xdrs, &objp->Fildes) && xdr_uint32_t(xdrs, &objp->SrcLevel) &&
         xdr_uint32_t(xdrs, &objp->Flags);
}

bool_t qel_xdr_api_quor_Migrate_rply_t(XDR* xdrs, api_quor_Migrate_rply_t* objp) {
  return qel_xdr_u_signed64(xdrs, &objp->RetBytesMigrated);
}

bool_t qel_xdr_api_quor_Open_req_t(XDR* xdrs, api_quor_Open_req_t* objp) {
  return path(xdrs, &objp->Path) && xdr_uint32_t(xdrs, &objp->Oflag) &&
         qel_xdr_mode_t(xdrs, &objp->Mode) &&
         hintsAndPriorities(xdrs, &objp->HintsIn, &objp->HintsPri);
}

bool_t qel_xdr_api_quor_Open_rply_t(XDR* xdrs, api_quor_Open_rply_t* objp) {
  return qel_xdr_quor_cos_hints_t(xdrs, &objp->HintsOut);
}

bool_t qel_xdr_api_quor_OpenX_req_t(XDR* xdrs, api_quor_OpenX_req_t* objp) {
  if (!xdr_uint32_t(xdrs, &objp->XIOFlags) || !qel_xdr_quor_sockaddr_t(xdrs, &objp->connectaddr))
    return FALSE;
  // The port number travels, not the memory's network-order bytes; a copy
  // keeps the caller's field as it was while encoding.
  uint16_t port = ntohs(objp->dataport);
  if (!xdr_uint16_t(xdrs, &port)) return FALSE;
  if (xdrs->x_op == XDR_DECODE) objp->dataport = htons(port);
  return path(xdrs, &objp->Path) && xdr_uint32_t(xdrs, &objp->Oflag) &&
         qel_xdr_mode_t(xdrs, &objp->Mode) &&
         hintsAndPriorities(xdrs, &objp->HintsIn, &objp->HintsPri);
}

bool_t qel_xdr_api_quor_OpenX_rply_t(XDR* xdrs, api_quor_OpenX_rply_t* objp) {
  return qel_xdr_quor_sockaddr_t(xdrs, &objp->connectaddr) &&
         xdr_uint16_t(xdrs, &objp->dataport) && qel_xdr_quor_cos_hints_t(xdrs, &objp->HintsOut);
}

bool_t qel_xdr_api_quor_Purge_req_t(XDR* xdrs, api_quor_Purge_req_t* objp) {
  return range(xdrs, objp);
}

bool_t qel_xdr_api_quor_Purge_rply_t(XDR* xdrs, api_quor_Purge_rply_t* objp) {
  return qel_xdr_u_signed64(xdrs, &objp->RetBytesPurged);
}

bool_t qel_xdr_api_quor_ReadX_req_t(XDR* xdrs, api_quor_ReadX_req_t* objp) {
  return xio(xdrs, objp);
}

bool_t qel_xdr_api_quor_ReadList_req_t(XDR* xdrs, api_quor_ReadList_req_t* objp) {
  return listReq(xdrs, objp);
}

bool_t qel_xdr_api_quor_ReadList_rply_t(XDR* xdrs, api_quor_ReadList_rply_t* objp) {
  return listRply(xdrs, objp);
}

bool_t qel_xdr_api_quor_SetAcct_req_t(XDR* xdrs, api_quor_SetAcct_req_t* objp) {
  return qel_xdr_acct_rec_t(xdrs, &objp->NewCurAcct);
}

bool_t qel_xdr_api_quor_SetAcctByName_req_t(XDR* xdrs, api_quor_SetAcctByName_req_t* objp) {
  return qel_xdr_fstring(xdrs, objp->AcctName, QEL_ACCT_NAME_WIRE);
}

bool_t qel_xdr_api_quor_SetConfiguration_req_t(XDR* xdrs, api_quor_SetConfiguration_req_t* objp) {
  return qel_xdr_api_config(xdrs, &objp->ConfigIn);
}

bool_t qel_xdr_api_quor_SetFileOffset_req_t(XDR* xdrs, api_quor_SetFileOffset_req_t* objp) {
  return xdr_int32_t(xdrs, &objp->Fildes) && qel_xdr_u_signed64(xdrs, &objp->OffsetIn) &&
         xdr_int32_t(xdrs, &objp->Whence) && xdr_int32_t(xdrs, &objp->Direction);
}

bool_t qel_xdr_api_quor_SetFileOffset_rply_t(XDR* xdrs, api_quor_SetFileOffset_rply_t* objp) {
  return qel_xdr_u_signed64(xdrs, &objp->OffsetOut);
}

bool_t qel_xdr_api_quor_Stage_req_t(XDR* xdrs, api_quor_Stage_req_t* objp) {
  return range(xdrs, objp);
}

bool_t qel_xdr_api_quor_SetGID_req_t(XDR* xdrs, api_quor_SetGID_req_t* objp) {
  return xdr_uint32_t(xdrs, &objp->NewCurGID);
}

bool_t qel_xdr_api_quor_SetCOSByHints_req_t(XDR* xdrs, api_quor_SetCOSByHints_req_t* objp) {
  return xdr_int32_t(xdrs, &objp->Fildes) && xdr_uint32_t(xdrs, &objp->Flags) &&
         hintsAndPriorities(xdrs, &objp->HintsIn, &objp->PrioPriIn);
}

bool_t qel_xdr_api_quor_SetCOSByHints_rply_t(XDR* xdrs, api_quor_SetCOSByHints_rply_t* objp) {
  return qel_xdr_quor_cos_md_t(xdrs, &objp->COSout);
}

bool_t qel_xdr_api_quor_StageCallBack_req_t(XDR* xdrs, api_quor_StageCallBack_req_t* objp) {
  return path(xdrs, &objp->Path) && qel_xdr_u_signed64(xdrs, &objp->Offset) &&
         qel_xdr_u_signed64(xdrs, &objp->Length) && xdr_uint32_t(xdrs, &objp->StorageLevel) &&
         xdr_uint32_t(xdrs, &objp->Flags) &&
         qel_xdr_bfs_callback_addr_t(xdrs, &objp->CallBackPtr);
}

bool_t qel_xdr_api_quor_StageCallBack_rply_t(XDR* xdrs, api_quor_StageCallBack_rply_t* objp) {
  return qel_xdr_quor_reqid_t(xdrs, &objp->ReqID) &&
         qel_xdr_bfs_bitfile_obj_handle_t(xdrs, &objp->BitfileObj);
}

bool_t qel_xdr_quor_WriteList_req_t(XDR* xdrs, api_quor_WriteList_req_t* objp) {
  return listReq(xdrs, objp);
}

bool_t qel_xdr_api_quor_WriteList_rply_t(XDR* xdrs, api_quor_WriteList_rply_t* objp) {
  return listRply(xdrs, objp);
}

bool_t qel_xdr_api_quor_WriteX_req_t(XDR* xdrs, api_quor_WriteX_req_t* objp) {
  return xio(xdrs, objp);
}
