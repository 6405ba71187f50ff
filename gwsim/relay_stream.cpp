// Line, ErrorLine and Stream steps of relay scripts.
#include "relay_stream.h"

#include <errno.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <time.h>

#include "config.h"
#include "config_values.h"
#include "reply.h"
#include "framing.h"
#include "journal.h"
#include "msg_cli.h"

namespace {

// Longest stream of a script with COUNT 0: the test ends it long before.
const int kEndlessLines = 1000000;

int fail(std::string* err, unsigned line, const std::string& why) {
  *err = std::to_string(line) + ": " + why;
  return -22;
}

// Waits up to ms for a message from the client: 0 when none came; 2 when
// it was the interrupt notice, read whole here; 1 for any other message,
// which the request loop serves after the script (nothing more may be read
// here then); -1 when the client is gone or the notice is unreadable.
int wait_message(gw_conn_t* conn, int ms) {
  if (conn->hasPending) {
    struct timespec ts = {ms / 1000, (ms % 1000) * 1000000L};
    nanosleep(&ts, nullptr);
    return 0;
  }
  struct pollfd pfd = {conn->fd, POLLIN, 0};
  int n;
  do n = poll(&pfd, 1, ms);
  while (n < 0 && errno == EINTR);
  if (n <= 0) return 0;
  api_msghdr_t hdr;
  // The interrupt notice is no task message: gw_ReadTask leaves its header
  // pending, and its body is read here.
  int rc = gw_ReadTask(conn, QEL_CAT_CLI, QEL_FN_CLI_SendInterrupt, &hdr, nullptr, nullptr, 1000);
  if (rc < 0) return -1;
  if (!(conn->hasPending && conn->pending.category == QEL_CAT_CLI &&
        conn->pending.function == QEL_FN_CLI_SendInterrupt))
    return 1;
  ozugw_cli_interrupt_req_t rq;
  memset(&rq, 0, sizeof rq);
  if ((conn->pending.msgFlags & API_MSGF_BODY) &&
      !qel_xdr_ozugw_cli_interrupt_req_t(gw_ReaderXdr(conn->reader), &rq))
    return -1;
  conn->hasPending = 0;
  gw_JournalLine("conn=%d cat=0x%04x fn=0x%04x id=%u flags=0x%08x intflags=0x%x sig=%d",
                 conn->num, unsigned(conn->pending.category), unsigned(conn->pending.function),
                 conn->pending.msgRequestID, conn->pending.msgFlags, rq.flags, rq.sigNum);
  return 2;
}

}  // namespace

int gw_RelayLoadExtraStep(const char* key, const char* value, gw_cmd_step_t* st,
                          std::string* err, unsigned line) {
  if (strcasecmp(key, "Line") == 0 || strcasecmp(key, "ErrorLine") == 0) {
    st->kind = GW_STEP_REPLY;
    st->flags = strcasecmp(key, "Line") == 0 ? 0x2 : 0x4;
    st->text = std::string(value) + "\n";
    return 1;
  }
  if (strcasecmp(key, "Stream") != 0) return 0;
  std::string v = value;
  size_t a = v.find(' ');
  size_t b = a == std::string::npos ? a : v.find(' ', a + 1);
  if (b == std::string::npos) return fail(err, line, "expected Stream = COUNT MS TEXT");
  int64_t count = 0, ms = 0;
  if (gw_ParseNumber(v.substr(0, a).c_str(), 0, kEndlessLines, &count) < 0 ||
      gw_ParseNumber(v.substr(a + 1, b - a - 1).c_str(), 0, 60000, &ms) < 0)
    return fail(err, line, "expected Stream = COUNT MS TEXT");
  st->kind = GW_STEP_STREAM;
  st->flags = 0x2;
  st->value = int32_t(count == 0 ? kEndlessLines : count);
  st->interval = int32_t(ms);
  st->text = v.substr(b + 1);
  return 1;
}

int gw_RelayStream(gw_conn_t* conn, const gw_cmd_step_t* st, const api_msghdr_t* req) {
  for (int i = 1; i <= st->value; i++) {
    std::string text = st->text + " " + std::to_string(i) + "\n";
    api_msghdr_t h;
    ozugw_BuildMsgHdr(&h, req->msgRequestID, 0, uint32_t(time(nullptr)), 0, req->category,
                      req->function, 0);
    ozugw_cli_cmd_rply_t r;
    memset(&r, 0, sizeof r);
    r.flags = st->flags;
    r.reply_len = int32_t(text.size());
    r.reply_msg = const_cast<char*>(text.data());
    if (gw_SendMessage(conn, &h, (xdrproc_t)qel_xdr_ozugw_cli_cmd_rply_t, &r) < 0) return -1;
    int got = wait_message(conn, st->interval);
    if (got < 0) return -1;
    if (got > 0) {
      gw_JournalLine("conn=%d relay-%s after=%d", conn->num,
                     got == 2 ? "interrupted" : "stream-stopped", i);
      return 0;
    }
  }
  return 0;
}
