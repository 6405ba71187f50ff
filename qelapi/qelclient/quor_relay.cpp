// The command relay (a command line run by the gateway's interpreter, its
// output streamed back one reply at a time, the interrupt and window-size
// notices) and the gateway's log (open, one line, close).
#include <string.h>
#include <unistd.h>

#include "msg_cli.h"
#include "quor_api.h"
#include "quor_api_internal.h"
#include "quor_api_msgdefs.h"

namespace {

#define CODEC(f) reinterpret_cast<xdrproc_t>(f)

void releaseReply(ozugw_cli_cmd_rply_t* r) {
  xdr_free(CODEC(qel_xdr_ozugw_cli_cmd_rply_t), reinterpret_cast<char*>(r));
  r->reply_msg = nullptr;
}

}  // namespace

int ozugw_cli_SendCommand(uint32_t CmdFlags, int CmdLen, const char* CommandData,
                          ozugw_cli_resp_func_t RespFunc, int* RetExitCode,
                          uint32_t* ResponseFlags) {
  QEL_TRACE_ENTRY();
  ozugw_cli_cmd_rply_t reply;
  memset(&reply, 0, sizeof reply);
  qelapi_tcontext_t* ts = nullptr;
  int rc = qelapi_init(&ts);
  if (rc < 0) return rc;

  ozugw_cli_command_t req;
  memset(&req, 0, sizeof req);
  req.flags = CmdFlags;
  // The gateway formats differently for output that is not a terminal.
  if (!isatty(2)) req.flags |= CLI_CMD_NOTTY;
  req.pid = uint32_t(getpid());
  req.cmd_length = CmdLen;
  req.cmd = const_cast<char*>(CommandData);
  rc = qelapi_send_msg(QEL_CAT_CLI, QEL_FN_CLI_SendCommand, &req,
                       CODEC(qel_xdr_ozugw_cli_command_t), 0, 0, nullptr, ts);
  if (rc < 0) {
    if (ResponseFlags) *ResponseFlags = CLI_REPLY_LAST;
    return rc;
  }

  int result = 0;
  // Every reply of the command carries the request's id.
  qelapi_MoreReplies(ts, 1);
  for (;;) {
    memset(&reply, 0, sizeof reply);
    api_msghdr_t hdr;
    rc = qelapi_get_msg(ts, &hdr, &reply, CODEC(qel_xdr_ozugw_cli_cmd_rply_t), nullptr);
    if (rc < 0) {
      releaseReply(&reply);
      result = rc;
      reply.flags = CLI_REPLY_LAST;
      reply.exit_code = rc;
      break;
    }
    result = hdr.errorcode;
    // A reply without a body (a refusal) has nothing after it: waiting for
    // a last flag it cannot carry would hang the caller.
    if (!(hdr.msgFlags & API_MSGF_BODY)) {
      reply.flags = CLI_REPLY_LAST;
      reply.exit_code = result;
    }
    if (result == OZUGW_CLI_NOT_HANDLED || RespFunc == nullptr) {
      // Nobody takes the text of these: free it here rather than leak it.
      releaseReply(&reply);
    } else {
      RespFunc(&reply.flags, &reply.sync_type, &reply.reply_len, &reply.reply_msg);
    }
    // The command is the client's: nothing more is coming, whatever the
    // reply's flags say.
    if (result == OZUGW_CLI_NOT_HANDLED) reply.flags |= CLI_REPLY_LAST;
    if (reply.flags & CLI_REPLY_LAST) break;
  }
  qelapi_MoreReplies(ts, 0);
  if (ResponseFlags) *ResponseFlags = reply.flags;
  if (RetExitCode) *RetExitCode = reply.exit_code;
  return result;
}

int ozugw_cli_SendInterrupt(uint32_t Flags, int SigNumber) {
  qelapi_tcontext_t* ts = nullptr;
  int rc = qelapi_init(&ts);
  if (rc < 0) return rc;
  ozugw_cli_interrupt_req_t req;
  req.flags = Flags;
  req.sigNum = SigNumber;
  // Flagged as expecting no reply: the relay waiting on this connection
  // must not see anything it did not ask for.
  rc = qelapi_send_msg(QEL_CAT_CLI, QEL_FN_CLI_SendInterrupt, &req,
                       CODEC(qel_xdr_ozugw_cli_interrupt_req_t), API_MSGF_NOREPLY, 0, nullptr, ts);
  return rc < 0 ? rc : 0;
}

int ozugw_cli_SetWindowSize(int Rows, int Columns) {
  qelapi_tcontext_t* ts = nullptr;
  int rc = qelapi_init(&ts);
  if (rc < 0) return rc;
  ozugw_cli_window_size_req_t req;
  req.columns = Columns;
  req.rows = Rows;
  return qelapi_Exchange(ts, QEL_CAT_CLI, QEL_FN_CLI_SetWindowSize, &req,
                         CODEC(qel_xdr_ozugw_cli_window_size_req_t), nullptr, nullptr);
}

int quor_Openlog(const char* subsys, uint32_t logOptions) {
  QEL_TRACE_ENTRY();
  qelapi_tcontext_t* ts = nullptr;
  int rc = qelapi_init(&ts);
  if (rc < 0) return rc;
  if (subsys == nullptr) return -14;
  if (*subsys == '\0') return -2;
  if (strlen(subsys) > API_LOG_SUBSYS_MAX) return -86;
  api_openlog_t req;
  req.flags = logOptions;
  req.subsys = const_cast<char*>(subsys);
  return qelapi_Exchange(ts, QEL_CAT_LOG, QEL_FN_LOG_Openlog, &req, CODEC(qel_xdr_api_openlog_t),
                         nullptr, nullptr);
}

int quor_Logmsg(int priority, uint32_t logSelect, const char* msgText) {
  QEL_TRACE_ENTRY();
  qelapi_tcontext_t* ts = nullptr;
  int rc = qelapi_init(&ts);
  if (rc < 0) return rc;
  if (msgText == nullptr) return -14;
  if (*msgText == '\0') return -2;
  if (strlen(msgText) > API_LOG_MSGTEXT_MAX) return -86;
  api_log_message_t req;
  req.flags = logSelect;
  req.priority = uint32_t(priority);
  req.msgtext = const_cast<char*>(msgText);
  return qelapi_Exchange(ts, QEL_CAT_LOG, QEL_FN_LOG_Logmsg, &req,
                         CODEC(qel_xdr_api_log_message_t), nullptr, nullptr);
}

int quor_Closelog(uint32_t logSelect) {
  QEL_TRACE_ENTRY();
  qelapi_tcontext_t* ts = nullptr;
  int rc = qelapi_init(&ts);
  if (rc < 0) return rc;
  api_closelog_t req;
  req.flags = logSelect;
  return qelapi_Exchange(ts, QEL_CAT_LOG, QEL_FN_LOG_Closelog, &req,
                         CODEC(qel_xdr_api_closelog_t), nullptr, nullptr);
}
