// Command relay and gateway log of gwsim. A scripted command's replies go
// out as the script runs; the last one normally leaves through the request
// loop (so fault rules apply to it), unless the script had to wait for an
// interrupt, in which case the interrupt's handler sends the rest.
#include "relay.h"

#include <stdio.h>
#include <string.h>
#include <strings.h>
#include <sys/socket.h>
#include <time.h>

#include <chrono>
#include <thread>

#include "config_values.h"
#include "reply.h"
#include "journal.h"
#include "msg_cli.h"
#include "relay_stream.h"

#define GW_CLI_NOT_HANDLED (-9000)

namespace {

int fail(std::string* err, unsigned line, const std::string& why) {
  *err = std::to_string(line) + ": " + why;
  return -22;
}

std::string printable(const std::string& s) {
  std::string out;
  for (char c : s) {
    if (c == '\n')
      out += "\\n";
    else if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) > 0x7e)
      out += '?';
    else
      out += c;
  }
  return out;
}

// "NUMBER TEXT": the number and the rest after one blank.
int number_and_text(const char* v, int64_t lo, int64_t hi, int64_t* n, std::string* text) {
  std::string s(v);
  size_t sp = s.find(' ');
  if (gw_ParseNumber(s.substr(0, sp).c_str(), lo, hi, n) < 0) return -22;
  *text = sp == std::string::npos ? "" : s.substr(sp + 1);
  return 0;
}

int load_step(const quor_cfg_stanza_t* e, gw_cmd_step_t* st, std::string* err) {
  const char* k = e->KeyString;
  *st = gw_cmd_step_t{};
  if (e->type == CFG_FLAG_TYPE) {
    if (strcasecmp(k, "WaitInterrupt") == 0)
      st->kind = GW_STEP_WAIT;
    else if (strcasecmp(k, "Drop") == 0)
      st->kind = GW_STEP_DROP;
    else
      return fail(err, e->LineNum, std::string("unknown command step ") + k);
    return 0;
  }
  const char* v = e->type == CFG_SIMPLE_TYPE ? e->KeyValue : nullptr;
  if (!v) return fail(err, e->LineNum, std::string("command step needs a value: ") + k);
  int64_t n = 0;
  st->kind = GW_STEP_REPLY;
  if (strcasecmp(k, "Listing") == 0) {
    st->flags = CLI_REPLY_LISTING;
    st->text = v;
  } else if (strcasecmp(k, "Error") == 0) {
    st->flags = CLI_REPLY_ERROR;
    st->text = v;
  } else if (strcasecmp(k, "Status") == 0) {
    st->flags = CLI_REPLY_STATUS;
    st->text = v;
  } else if (strcasecmp(k, "Chdir") == 0) {
    st->flags = CLI_REPLY_SYNC;
    st->syncType = CLI_SYNC_CHDIR;
    st->text = v;
  } else if (strcasecmp(k, "Sync") == 0) {
    if (number_and_text(v, 0, 0xffffffffLL, &n, &st->text) < 0)
      return fail(err, e->LineNum, "expected Sync = TYPE TEXT");
    st->flags = CLI_REPLY_SYNC;
    st->syncType = uint32_t(n);
  } else if (strcasecmp(k, "Reply") == 0) {
    if (number_and_text(v, 0, 0xffffffffLL, &n, &st->text) < 0)
      return fail(err, e->LineNum, "expected Reply = FLAGS TEXT");
    st->flags = uint32_t(n);
  } else if (strcasecmp(k, "Delay") == 0) {
    if (gw_ParseNumber(v, 0, 600000, &n) < 0) return fail(err, e->LineNum, "bad Delay");
    st->kind = GW_STEP_DELAY;
    st->value = int32_t(n);
  } else if (strcasecmp(k, "NotHandled") == 0) {
    // The command left to the client, with whatever flags and text: a last
    // reply even without CLI_REPLY_LAST.
    if (number_and_text(v, 0, 0xffffffffLL, &n, &st->text) < 0)
      return fail(err, e->LineNum, "expected NotHandled = FLAGS TEXT");
    st->kind = GW_STEP_EXIT;
    st->flags = uint32_t(n);
    st->errorcode = GW_CLI_NOT_HANDLED;
  } else if (strcasecmp(k, "Exit") == 0) {
    if (gw_ParseNumber(v, INT32_MIN, INT32_MAX, &n) < 0) return fail(err, e->LineNum, "bad Exit");
    st->kind = GW_STEP_EXIT;
    st->flags = CLI_REPLY_LAST;
    st->value = int32_t(n);
  } else {
    int x = gw_RelayLoadExtraStep(k, v, st, err, e->LineNum);
    if (x < 0) return -22;
    if (x == 0) return fail(err, e->LineNum, std::string("unknown command step ") + k);
  }
  return 0;
}

void reply_header(const api_msghdr_t* req, api_msghdr_t* out) {
  ozugw_BuildMsgHdr(out, req->msgRequestID, 0, uint32_t(time(nullptr)), 0, req->category,
                    req->function, 0);
}

void fill_reply(const gw_cmd_step_t* st, ozugw_cli_cmd_rply_t* r) {
  memset(r, 0, sizeof *r);
  r->flags = st->flags;
  r->sync_type = st->syncType;
  r->exit_code = st->kind == GW_STEP_EXIT ? st->value : 0;
  r->reply_len = int32_t(st->text.size());
  r->reply_msg = r->reply_len > 0 ? const_cast<char*>(st->text.data()) : nullptr;
}

// Runs the command's steps from conn->relayStep for the request req. The
// last reply goes into *last when given, else straight out. 0 when done, 1
// when waiting for the interrupt, -1 when the connection is to close.
int run_steps(gw_conn_t* conn, const gw_command_t* cmd, const api_msghdr_t* req,
              gw_reply_t* last) {
  static const gw_cmd_step_t implicitExit = {GW_STEP_EXIT, CLI_REPLY_LAST, 0, 0, "", 0, 0};
  api_msghdr_t h;
  ozugw_cli_cmd_rply_t r;
  for (size_t i = conn->relayStep; i <= cmd->steps.size(); i++) {
    const gw_cmd_step_t* st = i < cmd->steps.size() ? &cmd->steps[i] : &implicitExit;
    switch (st->kind) {
      case GW_STEP_REPLY:
        reply_header(req, &h);
        fill_reply(st, &r);
        if (gw_SendMessage(conn, &h, (xdrproc_t)qel_xdr_ozugw_cli_cmd_rply_t, &r) < 0) return -1;
        break;
      case GW_STEP_DELAY:
        std::this_thread::sleep_for(std::chrono::milliseconds(st->value));
        break;
      case GW_STEP_WAIT:
        conn->relayCmd = cmd;
        conn->relayStep = i + 1;
        conn->relayHdr = *req;
        return 1;
      case GW_STEP_STREAM:
        if (gw_RelayStream(conn, st, req) < 0) return -1;
        break;
      case GW_STEP_DROP:
        gw_JournalLine("conn=%d relay-drop", conn->num);
        shutdown(conn->fd, SHUT_RDWR);
        return -1;
      case GW_STEP_EXIT:
        fill_reply(st, &r);
        if (last) {
          last->errorcode = st->errorcode;
          return gw_ReplyWithBody(last, (xdrproc_t)qel_xdr_ozugw_cli_cmd_rply_t, &r);
        }
        reply_header(req, &h);
        h.errorcode = st->errorcode;
        return gw_SendMessage(conn, &h, (xdrproc_t)qel_xdr_ozugw_cli_cmd_rply_t, &r) < 0 ? -1 : 0;
    }
  }
  return 0;
}

std::string command_text(const ozugw_cli_command_t* rq) {
  if (rq->cmd_length <= 0 || !rq->cmd) return "";
  std::string s(rq->cmd, size_t(rq->cmd_length));
  while (!s.empty() && s.back() == '\0') s.pop_back();
  return s;
}

}  // namespace

int gw_RelayLoad(quor_cfg_stanza_t* block, gw_config_t* cfg, std::string* err) {
  for (quor_cfg_stanza_t* c = block->substanzaList; c; c = c->next) {
    if (c->type != CFG_COMPOUND_TYPE)
      return fail(err, c->LineNum, std::string("command needs a block: ") + c->KeyString);
    gw_command_t cmd;
    cmd.line = c->KeyString;
    for (const gw_command_t& o : cfg->ident.commands)
      if (o.line == cmd.line) return fail(err, c->LineNum, "command given twice: " + cmd.line);
    for (quor_cfg_stanza_t* e = c->substanzaList; e; e = e->next) {
      gw_cmd_step_t st;
      if (load_step(e, &st, err) < 0) return -22;
      if (!cmd.steps.empty() &&
          (cmd.steps.back().kind == GW_STEP_EXIT || cmd.steps.back().kind == GW_STEP_DROP))
        return fail(err, e->LineNum, "step after Exit or Drop");
      cmd.steps.push_back(std::move(st));
    }
    cfg->ident.commands.push_back(std::move(cmd));
  }
  return 0;
}

void gw_NoteCliCommand(const api_msghdr_t*, const void* req, std::string* note) {
  const ozugw_cli_command_t* rq = static_cast<const ozugw_cli_command_t*>(req);
  char buf[96];
  snprintf(buf, sizeof buf, " cmdflags=0x%08x pid=%u len=%d cmd=", rq->flags, rq->pid,
           rq->cmd_length);
  *note += buf + printable(command_text(rq));
}

void gw_NoteCliInterrupt(const api_msghdr_t*, const void* req, std::string* note) {
  const ozugw_cli_interrupt_req_t* rq = static_cast<const ozugw_cli_interrupt_req_t*>(req);
  char buf[64];
  snprintf(buf, sizeof buf, " intflags=0x%x sig=%d", rq->flags, rq->sigNum);
  *note += buf;
}

void gw_NoteCliWindowSize(const api_msghdr_t*, const void* req, std::string* note) {
  const ozugw_cli_window_size_req_t* rq = static_cast<const ozugw_cli_window_size_req_t*>(req);
  *note += " rows=" + std::to_string(rq->rows) + " cols=" + std::to_string(rq->columns);
}

int gw_HandleCliCommand(gw_conn_t* conn, const api_msghdr_t* hdr, void* req, gw_reply_t* reply) {
  std::string line = command_text(static_cast<const ozugw_cli_command_t*>(req));
  const gw_command_t* cmd = nullptr;
  for (const gw_command_t& c : conn->cfg->ident.commands)
    if (c.line == line) cmd = &c;
  if (!cmd) {
    ozugw_cli_cmd_rply_t r;
    memset(&r, 0, sizeof r);
    r.flags = CLI_REPLY_LAST;
    reply->errorcode = GW_CLI_NOT_HANDLED;
    return gw_ReplyWithBody(reply, (xdrproc_t)qel_xdr_ozugw_cli_cmd_rply_t, &r);
  }
  // A new command replaces one still waiting for its interrupt.
  conn->relayCmd = nullptr;
  conn->relayStep = 0;
  return run_steps(conn, cmd, hdr, reply);
}

int gw_HandleCliInterrupt(gw_conn_t* conn, const api_msghdr_t*, void*, gw_reply_t*) {
  const gw_command_t* cmd = conn->relayCmd;
  if (!cmd) return 0;
  conn->relayCmd = nullptr;
  api_msghdr_t req = conn->relayHdr;
  int rc = run_steps(conn, cmd, &req, nullptr);
  return rc < 0 ? -1 : 0;
}

int gw_HandleCliWindowSize(gw_conn_t*, const api_msghdr_t*, void*, gw_reply_t*) { return 0; }

int gw_HandleOpenlog(gw_conn_t* conn, const api_msghdr_t*, void* req, gw_reply_t*) {
  const api_openlog_t* rq = static_cast<const api_openlog_t*>(req);
  conn->logSubsys = rq->subsys ? rq->subsys : "";
  gw_JournalLine("conn=%d log-open subsys=%s options=0x%x", conn->num,
                 printable(conn->logSubsys).c_str(), rq->flags);
  return 0;
}

int gw_HandleLogmsg(gw_conn_t* conn, const api_msghdr_t*, void* req, gw_reply_t*) {
  const api_log_message_t* rq = static_cast<const api_log_message_t*>(req);
  gw_JournalLine("conn=%d log subsys=%s prio=0x%x select=0x%x text=%s", conn->num,
                 conn->logSubsys.empty() ? "-" : printable(conn->logSubsys).c_str(), rq->priority,
                 rq->flags, printable(rq->msgtext ? rq->msgtext : "").c_str());
  return 0;
}

int gw_HandleCloselog(gw_conn_t* conn, const api_msghdr_t*, void* req, gw_reply_t*) {
  gw_JournalLine("conn=%d log-close select=0x%x", conn->num,
                 static_cast<const api_closelog_t*>(req)->flags);
  conn->logSubsys.clear();
  return 0;
}
