// The client-API configuration the gateway keeps for this client: fetched
// once by a program at start-up, changed, and sent back.
#include <string.h>

#include "msg_conn.h"
#include "msg_files.h"
#include "quor_api.h"
#include "quor_api_internal.h"
#include "quor_api_msgdefs.h"

#define CODEC(f) reinterpret_cast<xdrproc_t>(f)

int quor_GetConfiguration(api_config_t* ConfigOut) {
  QEL_TRACE_ENTRY();
  qelapi_tcontext_t* ts = nullptr;
  int rc = qelapi_init(&ts);
  if (rc < 0) return rc;
  if (ConfigOut == nullptr) return -14;
  if (qelapi_API_Hostname[0] == '\0') return -5000;
  rc = qelapi_send_msg(QEL_CAT_CORE, QEL_FN_CORE_GetConfiguration, nullptr, nullptr, 0, 0, nullptr,
                       ts);
  if (rc < 0) return rc;
  api_quor_GetConfiguration_rply_t reply;
  memset(&reply, 0, sizeof reply);
  api_msghdr_t hdr;
  rc = qelapi_get_msg(ts, &hdr, &reply, CODEC(qel_xdr_api_quor_GetConfiguration_rply_t), nullptr);
  if (rc < 0) return rc;
  if (hdr.errorcode != 0) return hdr.errorcode;
  *ConfigOut = reply.ConfigOut;
  // The client's own name, always terminated: a 64-character name would
  // otherwise run into the next field when read as a string.
  size_t n = strnlen(qelapi_API_Hostname, sizeof ConfigOut->HostName - 1);
  memset(ConfigOut->HostName, 0, sizeof ConfigOut->HostName);
  memcpy(ConfigOut->HostName, qelapi_API_Hostname, n);
  return 0;
}

int quor_SetConfiguration(const api_config_t* ConfigIn) {
  QEL_TRACE_ENTRY();
  qelapi_tcontext_t* ts = nullptr;
  int rc = qelapi_init(&ts);
  if (rc < 0) return rc;
  if (ConfigIn == nullptr) return -14;
  if (qelapi_getCurConnection() == nullptr) return -2;
  // Each text must keep its terminator inside its field to go on the wire.
  if (strnlen(ConfigIn->DescName, sizeof ConfigIn->DescName) == sizeof ConfigIn->DescName ||
      strnlen(ConfigIn->DebugPath, sizeof ConfigIn->DebugPath) == sizeof ConfigIn->DebugPath ||
      strnlen(ConfigIn->HostName, sizeof ConfigIn->HostName) == sizeof ConfigIn->HostName)
    return -86;
  api_quor_SetConfiguration_req_t req;
  req.ConfigIn = *ConfigIn;
  rc = qelapi_send_msg(QEL_CAT_CORE, QEL_FN_CORE_SetConfiguration, &req,
                       CODEC(qel_xdr_api_quor_SetConfiguration_req_t), 0, 0, nullptr, ts);
  if (rc < 0) return rc;
  api_msghdr_t hdr;
  rc = qelapi_get_msg(ts, &hdr, nullptr, nullptr, nullptr);
  return rc < 0 ? rc : hdr.errorcode;
}
