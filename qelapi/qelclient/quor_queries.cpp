// Queries about the storage service's configuration: classes of service and
// named COS lists, filesets, junctions, subsystem statistics, the site
// information, the message of the day and the transfer-concurrency table;
// and the one call that moves a file to another class by path.
#include <stdlib.h>
#include <string.h>

#include <algorithm>

#include "msg_conn.h"
#include "msg_ext.h"
#include "msg_files.h"
#include "msg_namespace.h"
#include "quor_api.h"
#include "quor_api_internal.h"
#include "quor_api_msgdefs.h"

namespace {

#define CODEC(f) reinterpret_cast<xdrproc_t>(f)

}  // namespace

int quorex_SelectCOS(const char* CosList, uint64_t FileSize, uid_t TheUID, gid_t TheGID,
                     uint32_t AccountID, int Copies, long SubsysId, quor_cos_hints_t* HintsIn,
                     quor_cos_priorities_t* HintsPri) {
  QEL_TRACE_ENTRY();
  qelapi_tcontext_t* ts = nullptr;
  int rc = qelapi_init(&ts);
  if (rc < 0) return rc;
  if (!HintsIn || !HintsPri) return -14;

  api_selectcos_req_t req;
  memset(&req, 0, sizeof req);
  if (CosList) {
    size_t n = strlen(CosList);
    if (n > QEL_XDR_MAX_BLOCK) return -86;
    req.cosNameLen = uint32_t(n);
    req.cosList = const_cast<char*>(CosList);
  }
  req.fileSize = FileSize;
  req.uid = uint32_t(TheUID);
  req.gid = uint32_t(TheGID);
  req.charge = AccountID;
  req.copies = Copies;
  req.subsysId = uint32_t(SubsysId);

  api_selectcos_rply_t reply;
  memset(&reply, 0, sizeof reply);
  rc = qelapi_Exchange(ts, QEL_CAT_EXT, QEL_FN_EXT_SelectCOS, &req, CODEC(qel_xdr_api_selectcos_req_t),
                &reply, CODEC(qel_xdr_api_selectcos_rply_t));
  if (rc == 0) {
    *HintsIn = reply.HintsIn;
    *HintsPri = reply.HintPriorities;
  }
  return rc;
}

int quorex_GetCOSList(uint32_t Flags, int CosID, uid_t TheUID, gid_t TheGID, uint32_t AccountID,
                      int* RetCount, cos_list_entry_t** RetCosList) {
  QEL_TRACE_ENTRY();
  qelapi_tcontext_t* ts = nullptr;
  int rc = qelapi_init(&ts);
  if (rc < 0) return rc;
  if (!RetCount || !RetCosList) return -14;

  api_get_coslist_req_t req;
  memset(&req, 0, sizeof req);
  req.flags = Flags;
  req.cos = CosID;
  req.uid = uint32_t(TheUID);
  req.gid = uint32_t(TheGID);
  req.charge = AccountID;
  api_get_coslist_rply_t reply;
  memset(&reply, 0, sizeof reply);
  rc = qelapi_Exchange(ts, QEL_CAT_EXT, QEL_FN_EXT_GetCOSList, &req, CODEC(qel_xdr_api_get_coslist_req_t),
                &reply, CODEC(qel_xdr_api_get_coslist_rply_t));
  if (rc != 0) {
    qelapi_Release(qel_xdr_api_get_coslist_rply_t, &reply);
    return rc;
  }
  *RetCount = reply.entry_count;
  *RetCosList = reply.cos_entries;
  return 0;
}

int quorex_GetNamedCOSLists(uint32_t* RetCount, char*** NamedCosLists) {
  QEL_TRACE_ENTRY();
  qelapi_tcontext_t* ts = nullptr;
  int rc = qelapi_init(&ts);
  if (rc < 0) return rc;
  if (!RetCount || !NamedCosLists) return -14;

  api_named_coslists_rply_t reply;
  memset(&reply, 0, sizeof reply);
  rc = qelapi_Exchange(ts, QEL_CAT_EXT, QEL_FN_EXT_GetNamedCOSLists, nullptr, nullptr, &reply,
                CODEC(qel_xdr_api_named_coslists_rply_t));
  if (rc != 0) {
    qelapi_Release(qel_xdr_api_named_coslists_rply_t, &reply);
    return rc;
  }
  *RetCount = reply.entry_count;
  *NamedCosLists = reply.list_entries;
  return 0;
}

int quorex_GetNamedCOSInfo(const char* ListName, cos_namelist_entry_t* RetListEntry) {
  QEL_TRACE_ENTRY();
  qelapi_tcontext_t* ts = nullptr;
  int rc = qelapi_init(&ts);
  if (rc < 0) return rc;
  if (!ListName || !RetListEntry) return -14;
  if (strlen(ListName) > QEL_XDR_MAX_BLOCK) return -86;

  api_named_cos_info_req_t req;
  req.listName = const_cast<char*>(ListName);
  api_named_cos_info_rply_t reply;
  memset(&reply, 0, sizeof reply);
  rc = qelapi_Exchange(ts, QEL_CAT_EXT, QEL_FN_EXT_GetNamedCOSInfo, &req,
                CODEC(qel_xdr_api_named_cos_info_req_t), &reply,
                CODEC(qel_xdr_api_named_cos_info_rply_t));
  if (rc != 0) {
    qelapi_Release(qel_xdr_api_named_cos_info_rply_t, &reply);
    return rc;
  }
  *RetListEntry = reply;
  return 0;
}

int quor_FileSetCOS(const char* Path, uint32_t COSId, uint32_t StreamId) {
  QEL_TRACE_ENTRY();
  qelapi_tcontext_t* ts = nullptr;
  int rc = qelapi_init(&ts);
  if (rc < 0) return rc;
  if (!Path) return -14;
  if (!*Path) return -2;
  if (strlen(Path) > QEL_NS_PATH_MAX) return -86;
  if (!ts->connection) return -3;

  api_quor_FileSetCOS_req_t req;
  req.Path = const_cast<char*>(Path);
  req.COSId = COSId;
  req.StreamId = StreamId;
  return qelapi_Exchange(ts, QEL_CAT_CORE, QEL_FN_CORE_FileSetCOS, &req,
                  CODEC(qel_xdr_api_quor_FileSetCOS_req_t), nullptr, nullptr);
}

int quor_FilesetGetAttributes(const char* Name, const u_signed64* FilesetId,
                              const ns_ObjHandle_t* FilesetHandle,
                              const quor_srvr_id_t* CoreServerID,
                              ns_FilesetAttrBits_t FilesetAttrBits,
                              ns_FilesetAttrs_t* FilesetAttrs) {
  QEL_TRACE_ENTRY();
  qelapi_tcontext_t* ts = nullptr;
  int rc = qelapi_init(&ts);
  if (rc < 0) return rc;
  if (!FilesetAttrs) return -14;

  api_quor_FilesetGetAttrs_req_t req;
  memset(&req, 0, sizeof req);
  if ((Name != nullptr) + (FilesetId != nullptr) + (FilesetHandle != nullptr) != 1) return -22;
  if (Name) {
    // A cut name could select another fileset.
    if (strlen(Name) >= sizeof req.Name) return -86;
    strcpy(req.Name, Name);
    req.useName = 1;
  }
  if (FilesetId) {
    req.FilesetId = *FilesetId;
    req.useID = 1;
  }
  if (FilesetHandle) {
    req.FilesetHandle = *FilesetHandle;
    req.useHandle = 1;
  }
  req.FilesetAttrBits = FilesetAttrBits;
  if (CoreServerID) {
    req.CoreServerID = *CoreServerID;
    req.useSrvrID = 1;
  }

  api_quor_FilesetGetAttrs_rply_t reply;
  memset(&reply, 0, sizeof reply);
  rc = qelapi_Exchange(ts, QEL_CAT_CORE, QEL_FN_CORE_FilesetGetAttrs, &req,
                CODEC(qel_xdr_api_quor_FilesetGetAttrs_req_t), &reply,
                CODEC(qel_xdr_api_quor_FilesetGetAttrs_rply_t));
  if (rc == 0) *FilesetAttrs = reply.FilesetAttrs;
  return rc;
}

int quor_FilesetListAll(u_signed64 OffsetIn, unsigned32 Entries, unsigned32* End,
                        u_signed64* OffsetOut, quor_global_fsent_t* FSentPtr) {
  QEL_TRACE_ENTRY();
  qelapi_tcontext_t* ts = nullptr;
  int rc = qelapi_init(&ts);
  if (rc < 0) return rc;
  if (!End || !OffsetOut || !FSentPtr) return -14;

  api_quor_FilesetListAll_req_t req;
  req.OffsetIn = OffsetIn;
  req.Entries = Entries;
  api_quor_FilesetListAll_rply_t reply;
  memset(&reply, 0, sizeof reply);
  rc = qelapi_Exchange(ts, QEL_CAT_CORE, QEL_FN_CORE_FilesetListAll, &req,
                CODEC(qel_xdr_api_quor_FilesetListAll_req_t), &reply,
                CODEC(qel_xdr_api_quor_FilesetListAll_rply_t));
  if (rc > 0) {
    // Never more than the caller's array holds or the reply carried.
    unsigned32 n = std::min({unsigned32(rc), reply.entryCount, Entries});
    if (n > 0) memcpy(FSentPtr, reply.FSentPtr, n * sizeof *FSentPtr);
    *End = reply.End;
    *OffsetOut = reply.OffsetOut;
    rc = int(n);
  }
  qelapi_Release(qel_xdr_api_quor_FilesetListAll_rply_t, &reply);
  return rc;
}

int quor_GetJunctions(unsigned32 SubsystemID, u_signed64 OffsetIn, unsigned32 Entries,
                      unsigned32* End, u_signed64* OffsetOut, quor_junction_ent_t* JentPtr) {
  QEL_TRACE_ENTRY();
  qelapi_tcontext_t* ts = nullptr;
  int rc = qelapi_init(&ts);
  if (rc < 0) return rc;
  if (!End || !OffsetOut || !JentPtr) return -14;

  api_quor_GetJunctions_req_t req;
  req.SubsystemID = SubsystemID;
  req.OffsetIn = OffsetIn;
  req.Entries = Entries;
  api_quor_GetJunctions_rply_t reply;
  memset(&reply, 0, sizeof reply);
  rc = qelapi_Exchange(ts, QEL_CAT_CORE, QEL_FN_CORE_GetJunctions, &req,
                CODEC(qel_xdr_api_quor_GetJunctions_req_t), &reply,
                CODEC(qel_xdr_api_quor_GetJunctions_rply_t));
  if (rc >= 0) {
    *End = reply.End;
    *OffsetOut = reply.OffsetOut;
  }
  if (rc > 0) {
    unsigned32 n = std::min({unsigned32(rc), reply.entryCount, Entries});
    if (n > 0) memcpy(JentPtr, reply.JentPtr, n * sizeof *JentPtr);
    rc = int(n);
  }
  qelapi_Release(qel_xdr_api_quor_GetJunctions_rply_t, &reply);
  return rc;
}

int quor_GetSubSysStats(unsigned32 SubsystemID, subsys_stats_t* StatsOut) {
  QEL_TRACE_ENTRY();
  qelapi_tcontext_t* ts = nullptr;
  int rc = qelapi_init(&ts);
  if (rc < 0) return rc;
  if (!StatsOut) return -14;

  api_quor_GetSubsysStats_req_t req;
  req.SubsystemID = SubsystemID;
  rc = qelapi_send_msg(QEL_CAT_CORE, QEL_FN_CORE_GetSubsysStats, &req,
                       CODEC(qel_xdr_api_quor_GetSubsysStats_req_t), 0, 0, nullptr, ts);
  if (rc < 0) return rc;
  api_quor_GetSubsysStats_rply_t reply;
  memset(&reply, 0, sizeof reply);
  api_msghdr_t hdr;
  rc = qelapi_get_msg(ts, &hdr, &reply, CODEC(qel_xdr_api_quor_GetSubsysStats_rply_t), nullptr);
  *StatsOut = reply.StatsOut;
  return rc < 0 ? rc : hdr.errorcode;
}

int quorex_GetSiteInfo(quor_site_info_t* siteInfo) {
  QEL_TRACE_ENTRY();
  qelapi_tcontext_t* ts = nullptr;
  int rc = qelapi_init(&ts);
  if (rc < 0) return rc;
  if (!siteInfo) return -14;
  quor_connection_t* c = ts->connection;
  if (!c) return -2;
  *siteInfo = c->site_info;
  return 0;
}

int quorex_GetMotd(int localOnly, uint32_t* msgLen, char** msgText) {
  (void)localOnly;
  QEL_TRACE_ENTRY();
  qelapi_tcontext_t* ts = nullptr;
  int rc = qelapi_init(&ts);
  if (rc < 0) return rc;
  if (!msgLen || !msgText) return -14;
  *msgLen = 0;
  *msgText = nullptr;

  api_motd_req_t req;
  req.message_offset = 0;
  req.buf_length = 0;
  api_motd_rply_t reply;
  memset(&reply, 0, sizeof reply);
  rc = qelapi_Exchange(ts, QEL_CAT_CONNECT, QEL_FN_CONN_GetMotd, &req, CODEC(qel_xdr_api_motd_req_t),
                &reply, CODEC(qel_xdr_api_motd_rply_t));
  if (rc != 0) {
    qelapi_Release(qel_xdr_api_motd_rply_t, &reply);
    return rc;
  }
  *msgLen = reply.message_length;
  *msgText = reply.msg_text;
  return 0;
}

int quorex_ConfGetXferConcurrency(int* RetCount, xfer_size_to_count_t** RetTable) {
  QEL_TRACE_ENTRY();
  qelapi_tcontext_t* ts = nullptr;
  int rc = qelapi_init(&ts);
  if (rc < 0) return rc;
  if (!RetCount || !RetTable) return -14;
  *RetCount = 0;
  *RetTable = nullptr;

  api_concurrent_xfer_rply_t reply;
  memset(&reply, 0, sizeof reply);
  rc = qelapi_Exchange(ts, QEL_CAT_EXT, QEL_FN_EXT_ConfGetXferConcurrency, nullptr, nullptr, &reply,
                CODEC(qel_xdr_api_concurrent_xfer_rply_t));
  if (rc != 0) {
    qelapi_Release(qel_xdr_api_concurrent_xfer_rply_t, &reply);
    return rc;
  }
  *RetCount = reply.entry_count;
  *RetTable = reply.xfer_list;
  return 0;
}
