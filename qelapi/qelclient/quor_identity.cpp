// Who the programs act as on the gateway: accounts and their names, the
// current group, id and name conversions, the session user's password
// entry, group list and home directories, and the su and sudo exchanges.
#include <errno.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>

#include "msg_cli.h"
#include "msg_conn.h"
#include "msg_files.h"
#include "msg_namespace.h"
#include "qel_auth.h"
#include "quor_api.h"
#include "quor_api_internal.h"
#include "quor_api_msgdefs.h"

namespace {

#define CODEC(f) reinterpret_cast<xdrproc_t>(f)

// Longest principal a home-directory lookup carries.
constexpr size_t kPrincipalMax = 128;

// A 128-byte name field of a reply into the caller's 129-byte buffer.
void copyAcctName(char* dst, const char* field) {
  size_t n = strnlen(field, QEL_ACCT_NAME_WIRE);
  memcpy(dst, field, n);
  dst[n] = '\0';
}

// Both conversions: the caller's items go out, the gateway's come back over
// them. Never more than NumEntries items are written.
int convertSpecs(uint16_t function, int32_t NumEntries, api_namespec_t* Specs) {
  QEL_TRACE_ENTRY();
  qelapi_tcontext_t* ts = nullptr;
  int rc = qelapi_init(&ts);
  if (rc < 0) return rc;
  if (Specs == nullptr) return -14;
  if (NumEntries <= 0) return -22;
  api_quor_ns_namespecs_t req;
  req.NumEntries = NumEntries;
  req.Specs = Specs;
  api_quor_ns_namespecs_t reply;
  memset(&reply, 0, sizeof reply);
  // Both directions share one record and codec.
  rc = qelapi_Exchange(ts, QEL_CAT_CORE, function, &req,
                CODEC(qel_xdr_api_quor_ConvertIdsToNames_req_t), &reply,
                CODEC(qel_xdr_api_quor_ConvertIdsToNames_rply_t));
  if (rc == 0) {
    int32_t have = reply.Specs != nullptr ? reply.NumEntries : 0;
    int32_t copied = std::min(have, NumEntries);
    if (copied > 0) memcpy(Specs, reply.Specs, size_t(copied) * sizeof(api_namespec_t));
    // A short answer says how much of the caller's array it covers; one
    // without any item is no answer at all.
    if (copied == 0)
      rc = -5000;
    else if (copied < NumEntries)
      rc = copied;
  }
  qelapi_Release(qel_xdr_api_quor_ConvertIdsToNames_rply_t, &reply);
  return rc;
}

// The library's password entry, replaced by each quor_GetPwent.
struct passwd pwentRecord;
bool pwentUsed = false;

}  // namespace

int quor_AcctCodeToName(acct_rec_t AcctCode, quor_id_t* Site, char* AcctName) {
  QEL_TRACE_ENTRY();
  qelapi_tcontext_t* ts = nullptr;
  int rc = qelapi_init(&ts);
  if (rc < 0) return rc;
  if (AcctName == nullptr) return -14;
  api_quor_AcctCodeToName_req_t req;
  req.Account = AcctCode;
  req.Site = Site != nullptr ? *Site : 0;
  api_quor_AcctCodeToName_rply_t reply;
  memset(&reply, 0, sizeof reply);
  rc = qelapi_Exchange(ts, QEL_CAT_CORE, QEL_FN_CORE_AcctCodeToName, &req,
                CODEC(qel_xdr_api_quor_AcctCodeToName_req_t), &reply,
                CODEC(qel_xdr_api_quor_AcctCodeToName_rply_t));
  if (rc >= 0) {
    if (Site != nullptr) *Site = reply.Site;
    copyAcctName(AcctName, reply.AcctName);
  }
  return rc;
}

int quor_AcctNameToCode(const char* AcctName, quor_id_t* Site, acct_rec_t* AcctCode) {
  QEL_TRACE_ENTRY();
  qelapi_tcontext_t* ts = nullptr;
  int rc = qelapi_init(&ts);
  if (rc < 0) return rc;
  if (AcctName == nullptr || AcctCode == nullptr) return -14;
  // Cutting the name would look up another account.
  size_t n = strlen(AcctName);
  if (n > QEL_ACCT_NAME_WIRE) return -86;
  api_quor_AcctNameToCode_req_t req;
  memset(&req, 0, sizeof req);
  memcpy(req.AcctName, AcctName, n);
  req.Site = Site != nullptr ? *Site : 0;
  api_quor_AcctNameToCode_rply_t reply;
  memset(&reply, 0, sizeof reply);
  rc = qelapi_Exchange(ts, QEL_CAT_CORE, QEL_FN_CORE_AcctNameToCode, &req,
                CODEC(qel_xdr_api_quor_AcctNameToCode_req_t), &reply,
                CODEC(qel_xdr_api_AcctNameToCode_rply_t));
  if (rc >= 0) {
    *AcctCode = reply.Account;
    if (Site != nullptr) *Site = reply.Site;
  }
  return rc;
}

int quor_Chacct(const char* Path, acct_rec_t Account) {
  QEL_TRACE_ENTRY();
  qelapi_tcontext_t* ts = nullptr;
  int rc = qelapi_init(&ts);
  if (rc < 0) return rc;
  if (Path == nullptr) return -14;
  if (*Path == '\0') return -2;
  if (strlen(Path) > QEL_FILES_PATH_MAX) return -86;
  api_quor_Chacct_req_t req;
  req.Path = const_cast<char*>(Path);
  req.Account = Account;
  return qelapi_Exchange(ts, QEL_CAT_CORE, QEL_FN_CORE_Chacct, &req, CODEC(qel_xdr_api_quor_Chacct_req_t),
                  nullptr, nullptr);
}

int quor_GetAcct(acct_rec_t* RetDefAcct, acct_rec_t* RetCurAcct) {
  QEL_TRACE_ENTRY();
  qelapi_tcontext_t* ts = nullptr;
  int rc = qelapi_init(&ts);
  if (rc < 0) return rc;
  if (RetDefAcct == nullptr || RetCurAcct == nullptr) return -14;
  api_quor_GetAcct_rply_t reply;
  memset(&reply, 0, sizeof reply);
  rc = qelapi_Exchange(ts, QEL_CAT_CORE, QEL_FN_CORE_GetAcct, nullptr, nullptr, &reply,
                CODEC(qel_xdr_api_quor_GetAcct_rply_t));
  if (rc >= 0) {
    *RetDefAcct = reply.RetDefAcct;
    *RetCurAcct = reply.RetCurAcct;
  }
  return rc;
}

int quorex_GetAcctList(int* retEntryCount, acct_list_t** retAcctList) {
  QEL_TRACE_ENTRY();
  qelapi_tcontext_t* ts = nullptr;
  int rc = qelapi_init(&ts);
  if (rc < 0) return rc;
  if (retEntryCount == nullptr || retAcctList == nullptr) return -14;
  api_quor_GetAcctList_rply_t reply;
  memset(&reply, 0, sizeof reply);
  rc = qelapi_Exchange(ts, QEL_CAT_CORE, QEL_FN_CORE_GetAcctList, nullptr, nullptr, &reply,
                CODEC(qel_xdr_api_quor_GetAcctList_rply_t));
  if (rc < 0) {
    qelapi_Release(qel_xdr_api_quor_GetAcctList_rply_t, &reply);
    return rc;
  }
  *retEntryCount = reply.acctEntries != nullptr ? int(reply.entryCount) : 0;
  *retAcctList = reply.acctEntries;
  return rc;
}

int quor_GetAcctName(char* AcctName) {
  QEL_TRACE_ENTRY();
  qelapi_tcontext_t* ts = nullptr;
  int rc = qelapi_init(&ts);
  if (rc < 0) return rc;
  if (AcctName == nullptr) return -14;
  api_quor_GetAcctName_rply_t reply;
  memset(&reply, 0, sizeof reply);
  rc = qelapi_Exchange(ts, QEL_CAT_CORE, QEL_FN_CORE_GetAcctName, nullptr, nullptr, &reply,
                CODEC(qel_xdr_api_quor_GetAcctName_rply_t));
  if (rc >= 0) copyAcctName(AcctName, reply.AcctName);
  return rc;
}

int quor_SetAcct(acct_rec_t NewCurAcct) {
  QEL_TRACE_ENTRY();
  qelapi_tcontext_t* ts = nullptr;
  int rc = qelapi_init(&ts);
  if (rc < 0) return rc;
  api_quor_SetAcct_req_t req;
  req.NewCurAcct = NewCurAcct;
  return qelapi_Exchange(ts, QEL_CAT_CORE, QEL_FN_CORE_SetAcct, &req,
                  CODEC(qel_xdr_api_quor_SetAcct_req_t), nullptr, nullptr);
}

int quor_SetAcctByName(const char* NewAcctName) {
  QEL_TRACE_ENTRY();
  qelapi_tcontext_t* ts = nullptr;
  int rc = qelapi_init(&ts);
  if (rc < 0) return rc;
  if (NewAcctName == nullptr) return -14;
  // The wire string holds 127 characters and its terminator.
  size_t n = strlen(NewAcctName);
  if (n >= QEL_ACCT_NAME_WIRE) return -86;
  api_quor_SetAcctByName_req_t req;
  memset(&req, 0, sizeof req);
  memcpy(req.AcctName, NewAcctName, n);
  return qelapi_Exchange(ts, QEL_CAT_CORE, QEL_FN_CORE_SetAcctByName, &req,
                  CODEC(qel_xdr_api_quor_SetAcctByName_req_t), nullptr, nullptr);
}

int quor_SetGID(uint32_t NewCurGid) {
  QEL_TRACE_ENTRY();
  qelapi_tcontext_t* ts = nullptr;
  int rc = qelapi_init(&ts);
  if (rc < 0) {
    errno = rc;
    return -1;
  }
  api_quor_SetGID_req_t req;
  req.NewCurGID = NewCurGid;
  rc = qelapi_send_msg(QEL_CAT_CORE, QEL_FN_CORE_SetGID, &req,
                       CODEC(qel_xdr_api_quor_SetGID_req_t), 0, 0, nullptr, ts);
  api_msghdr_t hdr;
  if (rc == 0) rc = qelapi_get_msg(ts, &hdr, nullptr, nullptr, nullptr);
  if (rc < 0) {
    errno = rc;
    return rc;
  }
  return hdr.errorcode;
}

int quor_ConvertIdsToNames(int32_t NumEntries, api_namespec_t* Specs) {
  return convertSpecs(QEL_FN_CORE_ConvertIdsToNames, NumEntries, Specs);
}

int quor_ConvertNamesToIds(int32_t NumEntries, api_namespec_t* Specs) {
  return convertSpecs(QEL_FN_CORE_ConvertNamesToIds, NumEntries, Specs);
}

struct passwd* quor_GetPwent(void) {
  QEL_TRACE_ENTRY();
  qelapi_tcontext_t* ts = nullptr;
  int rc = qelapi_init(&ts);
  if (rc < 0) {
    errno = rc;
    return nullptr;
  }
  api_getpwent_req_t req;
  req.uname = const_cast<char*>("");
  rc = qelapi_send_msg(QEL_CAT_LOOKUP, QEL_FN_LOOKUP_GetPwent, &req,
                       CODEC(qel_xdr_api_getpwent_req_t), 0, 0, nullptr, ts);
  if (rc < 0) {
    errno = rc;
    return nullptr;
  }
  // The previous entry stays valid until a new one is on its way.
  if (pwentUsed) qelapi_Release(qel_xdr_api_getpwent_rply_t, &pwentRecord);
  memset(&pwentRecord, 0, sizeof pwentRecord);
  pwentUsed = true;
  api_msghdr_t hdr;
  rc = qelapi_get_msg(ts, &hdr, &pwentRecord, CODEC(qel_xdr_api_getpwent_rply_t), nullptr);
  if (rc == 0) rc = hdr.errorcode;
  if (rc != 0) {
    errno = rc;
    return nullptr;
  }
  return &pwentRecord;
}

int quor_GetGroupList(int32_t** groupList) {
  QEL_TRACE_ENTRY();
  qelapi_tcontext_t* ts = nullptr;
  int rc = qelapi_init(&ts);
  if (rc < 0) return rc;
  if (groupList == nullptr) return -14;
  api_getgroups_rply_t reply;
  memset(&reply, 0, sizeof reply);
  rc = qelapi_Exchange(ts, QEL_CAT_LOOKUP, QEL_FN_LOOKUP_GetGroupList, nullptr, nullptr, &reply,
                CODEC(qel_xdr_api_getgroups_rply_t));
  if (rc != 0) {
    qelapi_Release(qel_xdr_api_getgroups_rply_t, &reply);
    return rc;
  }
  *groupList = reply.groups;
  return reply.groups != nullptr ? int(reply.ngroups) : 0;
}

char* quor_LookupHomeDir(const char* theName) {
  QEL_TRACE_ENTRY();
  api_lookup_homedir_req_t req;
  api_lookup_homedir_rply_t reply;
  memset(&req, 0, sizeof req);
  memset(&reply, 0, sizeof reply);
  qelapi_tcontext_t* ts = nullptr;
  int rc = qelapi_init(&ts);
  if (rc < 0) {
    errno = rc;
    return nullptr;
  }
  if (theName == nullptr) {
    errno = 14;
    return nullptr;
  }
  if (*theName == '\0') {
    errno = 2;
    return nullptr;
  }
  if (strlen(theName) > kPrincipalMax) {
    errno = -86;
    return nullptr;
  }
  req.principal = const_cast<char*>(theName);
  rc = qelapi_Exchange(ts, QEL_CAT_LOOKUP, QEL_FN_LOOKUP_LookupHomeDir, &req,
                CODEC(qel_xdr_api_lookup_homedir_req_t), &reply,
                CODEC(qel_xdr_api_lookup_homedir_rply_t));
  if (rc != 0) {
    qelapi_Release(qel_xdr_api_lookup_homedir_rply_t, &reply);
    errno = rc;
    return nullptr;
  }
  return reply.homeDir;
}

int quor_SuInit(uint32_t sudoFlag, uint32_t flags, const char* curPrincipal,
                const char* runasPrincipal, const char* theCmd) {
  QEL_TRACE_ENTRY();
  qelapi_tcontext_t* ts = nullptr;
  int rc = qelapi_init(&ts);
  if (rc < 0) return rc;
  ozugw_su_init_req_t suReq;
  ozugw_sudo_init_req_t sudoReq;
  ozugw_su_init_rply_t suReply;
  ozugw_sudo_init_rply_t sudoReply;
  memset(&suReq, 0, sizeof suReq);
  memset(&sudoReq, 0, sizeof sudoReq);
  memset(&suReply, 0, sizeof suReply);
  memset(&sudoReply, 0, sizeof sudoReply);
  if (runasPrincipal == nullptr || (sudoFlag != 0 && curPrincipal == nullptr)) return -14;
  // The field needs room for the terminator.
  size_t runasLen = strlen(runasPrincipal);
  if (runasLen >= QEL_SU_PRINCIPAL_LEN) return -86;

  uint32_t methods = uint32_t(quorex_GetAuthMethods()) | 1u;
  uint32_t ciphers = uint32_t(quorex_GetCipherTypes());
  quor_connection_t* conn = ts->connection;
  ozugw_su_init_rply_t* reply;
  if (sudoFlag != 0) {
    sudoReq.flags = flags;
    sudoReq.auth_methods = methods;
    sudoReq.cipher_types = ciphers;
    memcpy(sudoReq.runas_principal, runasPrincipal, runasLen);
    sudoReq.cmd_length = theCmd != nullptr ? uint32_t(strlen(theCmd)) : 0;
    sudoReq.cmd = const_cast<char*>(theCmd);
    rc = qelapi_Exchange(ts, QEL_CAT_AUTH, QEL_FN_AUTH_SudoInit, &sudoReq,
                  CODEC(qel_xdr_ozugw_sudo_init_req_t), &sudoReply,
                  CODEC(qel_xdr_ozugw_sudo_init_rply_t));
    reply = &sudoReply;
  } else {
    suReq.flags = flags;
    suReq.auth_methods = methods;
    suReq.cipher_types = ciphers;
    memcpy(suReq.runas_principal, runasPrincipal, runasLen);
    rc = qelapi_Exchange(ts, QEL_CAT_AUTH, QEL_FN_AUTH_SuInit, &suReq, CODEC(qel_xdr_ozugw_su_init_req_t),
                  &suReply, CODEC(qel_xdr_ozugw_su_init_rply_t));
    reply = &suReply;
  }
  if (rc >= 0) {
    int useOtp = (reply->flags & 0x2) != 0;
    int useCrypt = (reply->flags & 0x4) != 0;
    int useMd5 = (reply->flags & 0x8) != 0;
    if (reply->authmethod == 1) {
      rc = 0;
    } else {
      // su proves the target's password, sudo the caller's own.
      const char* who = sudoFlag != 0 ? curPrincipal : runasPrincipal;
      rc = ozugw_auth_do_challenge(int(reply->authmethod), useOtp, useCrypt, useMd5, who, nullptr,
                                   nullptr, reply->salt, int(reply->cipher_type),
                                   int(reply->challenge_size), reply->challenge);
    }
    if (rc == 0 && sudoFlag != 0 && conn != nullptr) conn->sudo_active = 1;
  }
  qelapi_Release(qel_xdr_ozugw_su_init_rply_t, reply);
  return rc;
}

int quor_SudoCmdEnd(int sessEndFlag) {
  ozugw_sudo_cmd_end_req_t req;
  memset(&req, 0, sizeof req);
  qelapi_tcontext_t* ts = nullptr;
  int rc = qelapi_init(&ts);
  if (rc < 0) return rc;
  if (sessEndFlag != 0) {
    req.end_session = 1;
    if (ts->connection != nullptr) ts->connection->sudo_active = 0;
  }
  return qelapi_Exchange(ts, QEL_CAT_AUTH, QEL_FN_AUTH_SudoCmdEnd, &req,
                  CODEC(qel_xdr_ozugw_sudo_cmd_end_req_t), nullptr, nullptr);
}
