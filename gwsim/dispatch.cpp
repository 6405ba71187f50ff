// Request loop and dispatch table of gwsim. One thread runs each
// connection, so replies leave in request order unless the shuffle rule
// holds them back and lets them go in a random order.
#include "dispatch.h"

#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <thread>

#include "auth.h"
#include "faults.h"
#include "framing.h"
#include "journal.h"
#include "services.h"

#define GW_ERR_PROTOCOL (-5000)

#define ROW(cat, fn, codec, rec, handler) \
  { cat, fn, (xdrproc_t)(codec), sizeof(rec), handler, nullptr }
#define ROW_NOTE(cat, fn, codec, rec, handler, note) \
  { cat, fn, (xdrproc_t)(codec), sizeof(rec), handler, note }
#define ROW_NOBODY(cat, fn, handler) \
  { cat, fn, nullptr, 0, handler, nullptr }

static const gw_dispatch_entry_t dispatch_table[] = {
    ROW(QEL_CAT_CONNECT, QEL_FN_CONN_SiteInfo, qel_xdr_api_site_info_req_t, api_site_info_req_t,
        gw_HandleSiteInfo),
    ROW(QEL_CAT_AUTH, QEL_FN_AUTH_ExchgSecParams, qel_xdr_api_exchg_sec_params_req_t,
        api_exchg_sec_params_req_t, gw_HandleSecParams),
    ROW_NOBODY(QEL_CAT_AUTH, QEL_FN_AUTH_GetDHParams, gw_HandleDHParams),
    ROW(QEL_CAT_AUTH, QEL_FN_AUTH_ExchgPubkey, qel_xdr_api_exchg_pubkey_req_t,
        api_exchg_pubkey_req_t, gw_HandlePubkey),
    ROW_NOTE(QEL_CAT_AUTH, QEL_FN_AUTH_LoginCombo, qel_xdr_api_login_combo_t, api_login_combo_t,
             gw_HandleLoginCombo, gw_NoteLoginCombo),
    ROW(QEL_CAT_AUTH, QEL_FN_AUTH_ChallengeRsp, qel_xdr_api_auth_challenge_rsp_req_t,
        api_auth_challenge_rsp_req_t, gw_HandleChallenge),
    ROW_NOBODY(QEL_CAT_CORE, QEL_FN_CORE_GetUniqueRequestID, gw_HandleUniqueRequestID),
    ROW(QEL_CAT_LOOKUP, QEL_FN_LOOKUP_LookupHomeDir, qel_xdr_api_lookup_homedir_req_t,
        api_lookup_homedir_req_t, gw_HandleLookupHomeDir),
};

#undef ROW
#undef ROW_NOTE
#undef ROW_NOBODY

static const gw_dispatch_entry_t* find_entry(uint16_t category, uint16_t function) {
  for (const gw_dispatch_entry_t& e : dispatch_table)
    if (e.category == category && e.function == function) return &e;
  return nullptr;
}

int gw_ReplyWithBody(gw_reply_t* reply, xdrproc_t codec, void* rec) {
  if (gw_EncodeBody(codec, rec, &reply->body) < 0) return -1;
  reply->hasBody = 1;
  return 0;
}

// Sends one reply as its faults say. 0, or -1 when the connection is to be
// closed (a drop rule fired or the client is gone).
static int send_reply(gw_conn_t* conn, gw_pending_t* p) {
  if (p->faults.delayMs > 0)
    std::this_thread::sleep_for(std::chrono::milliseconds(p->faults.delayMs));
  api_msghdr_t hdr = p->hdr;
  if (p->faults.unsolicited) hdr.msgFlags |= API_MSGF_UNSOLICITED;
  std::vector<char> out;
  if (gw_EncodeHeader(&hdr, &out) < 0) return -1;
  if (p->faults.badSanity) memcpy(out.data(), "API_MSGX", API_MSGH_SANITY_LEN);
  size_t headerLen = out.size();
  out.insert(out.end(), p->body.begin(), p->body.end());
  size_t len = out.size();
  if (p->faults.dropHeader)
    len = headerLen / 2;
  else if (p->faults.dropBody)
    len = headerLen + p->body.size() / 2;
  if (gw_SendAll(conn->fd, out.data(), len) < 0) return -1;
  if (p->faults.dropHeader || p->faults.dropBody) {
    shutdown(conn->fd, SHUT_RDWR);
    return -1;
  }
  return 0;
}

static int flush_held(gw_conn_t* conn) {
  std::shuffle(conn->held.begin(), conn->held.end(), conn->rng);
  int rc = 0;
  for (gw_pending_t& p : conn->held)
    if (rc == 0) rc = send_reply(conn, &p);
  conn->held.clear();
  return rc;
}

// Sends or, while shuffling, holds the reply to hdr.
static int queue_reply(gw_conn_t* conn, const api_msghdr_t* req, gw_reply_t* reply,
                       const gw_reply_faults_t* faults) {
  gw_pending_t p;
  ozugw_BuildMsgHdr(&p.hdr, req->msgRequestID, reply->hasBody ? API_MSGF_BODY : 0,
                    uint32_t(time(nullptr)), 0, req->category, req->function, reply->errorcode);
  if (reply->hasBody) p.body.swap(reply->body);
  p.faults = *faults;
  if (conn->cfg->shuffleCount == 0) return send_reply(conn, &p);
  conn->held.push_back(std::move(p));
  if (conn->held.size() >= conn->cfg->shuffleCount) return flush_held(conn);
  return 0;
}

// While replies are held: lets them go once no request arrives for the
// idle time. 0, or -1 when the connection is to be closed.
static int wait_for_request(gw_conn_t* conn) {
  if (conn->held.empty() || gw_ReaderBuffered(conn->reader) > 0) return 0;
  struct pollfd pfd = {conn->fd, POLLIN, 0};
  int n = poll(&pfd, 1, int(conn->cfg->shuffleIdleMs));
  if (n == 0) return flush_held(conn);
  return 0;
}

static void journal_request(const gw_conn_t* conn, const api_msghdr_t* hdr, const char* extra) {
  gw_JournalLine("conn=%d cat=0x%04x fn=0x%04x id=%u flags=0x%08x%s%s", conn->num,
                 unsigned(hdr->category), unsigned(hdr->function), hdr->msgRequestID, hdr->msgFlags,
                 conn->note.c_str(), extra);
}

// Reads, handles and answers one request. 0 to go on, -1 to close.
static int serve_one(gw_conn_t* conn) {
  if (wait_for_request(conn) < 0) return -1;
  api_msghdr_t hdr;
  int rc = gw_ReadHeader(conn->reader, &hdr);
  if (rc == 1) return -1;
  if (rc < 0) {
    gw_JournalLine("conn=%d short-header", conn->num);
    return -1;
  }
  conn->note.clear();
  if (memcmp(hdr.sanity, API_MSGH_SANITY, API_MSGH_SANITY_LEN) != 0) {
    gw_JournalLine("conn=%d garbage-header", conn->num);
    return -1;
  }
  bool hasBody = (hdr.msgFlags & API_MSGF_BODY) != 0;
  bool wantsReply = API_MSGF_EXPECTS_REPLY(hdr.msgFlags);
  const gw_dispatch_entry_t* e = find_entry(hdr.category, hdr.function);
  if (!e) {
    journal_request(conn, &hdr, " unknown");
    if (hasBody) return -1;
    if (!wantsReply) return 0;
    gw_reply_t reply{};
    reply.errorcode = GW_ERR_PROTOCOL;
    gw_reply_faults_t none{};
    return queue_reply(conn, &hdr, &reply, &none);
  }

  void* req = nullptr;
  if (e->reqCodec) {
    req = calloc(1, e->reqSize);
    if (!req) return -1;
    if (hasBody && !e->reqCodec(gw_ReaderXdr(conn->reader), req)) {
      journal_request(conn, &hdr, " bad-body");
      xdr_free(e->reqCodec, static_cast<char*>(req));
      free(req);
      return -1;
    }
  } else if (hasBody) {
    journal_request(conn, &hdr, " bad-body");
    return -1;
  }

  if (e->note && hasBody) e->note(&hdr, req, &conn->note);
  gw_reply_t reply{};
  gw_reply_faults_t faults{};
  int32_t forced = 0;
  bool errorRule =
      wantsReply && gw_FaultsForReply(conn->cfg, hdr.category, hdr.function, &forced, &faults);
  if (errorRule) {
    reply.errorcode = forced;
    rc = 0;
  } else {
    rc = e->handler(conn, &hdr, req, &reply);
  }
  if (req) {
    xdr_free(e->reqCodec, static_cast<char*>(req));
    free(req);
  }
  journal_request(conn, &hdr, errorRule ? " fault=error" : "");
  if (rc < 0) return -1;
  if (!wantsReply) return 0;
  return queue_reply(conn, &hdr, &reply, &faults);
}

void gw_ServeConnection(gw_conn_t* conn) {
  api_server_state_rply_t st;
  gw_ServerState(conn->cfg, conn->num, &st);
  gw_JournalLine("conn=%d open%s", conn->num, st.quorDownFlag ? " down" : "");
  gw_reply_t first{};
  if (gw_ReplyWithBody(&first, (xdrproc_t)qel_xdr_api_server_state_rply_t, &st) == 0) {
    gw_pending_t p;
    ozugw_BuildMsgHdr(&p.hdr, 0, API_MSGF_BODY, uint32_t(time(nullptr)), 0, 0, 0, 0);
    p.body.swap(first.body);
    p.faults = gw_reply_faults_t{};
    if (send_reply(conn, &p) == 0) {
      while (serve_one(conn) == 0) {
      }
    }
  }
  if (!conn->held.empty()) flush_held(conn);
  // The client sees the end now; the descriptor itself is closed after the
  // thread is joined.
  shutdown(conn->fd, SHUT_RDWR);
  gw_JournalLine("conn=%d close", conn->num);
}
