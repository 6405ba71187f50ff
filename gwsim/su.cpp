// su and sudo of gwsim. A challenge lives on its connection until it is
// answered right, its tries run out, or another su, sudo or log-in starts.
#include "su.h"

#include <openssl/crypto.h>
#include <string.h>
#include <strings.h>

#include "auth.h"
#include "config_values.h"
#include "reply.h"
#include "qel_crypto.h"

#define GW_ERR_AUTH (-10003)
#define GW_ERR_DENIED (-1)
#define GW_ERR_NO_USER (-2)
#define GW_SU_FLAG_OTP 0x2u
#define GW_SU_METHOD_NONE 1u
#define GW_PASSWORD_BUF 513

int gw_ParseSuPolicy(const char* text) {
  if (!text) return -22;
  if (!strcasecmp(text, "allow")) return GW_SU_ALLOW;
  if (!strcasecmp(text, "deny")) return GW_SU_DENY;
  if (!strcasecmp(text, "challenge")) return GW_SU_CHALLENGE;
  return -22;
}

static std::string printable(const char* s, size_t max) {
  std::string out;
  for (size_t i = 0; i < max && s[i]; i++) out += (s[i] >= ' ' && s[i] < 0x7f) ? s[i] : '?';
  return out;
}

void gw_NoteSuInit(const api_msghdr_t*, const void* req, std::string* note) {
  const ozugw_su_init_req_t* rq = static_cast<const ozugw_su_init_req_t*>(req);
  *note = " runas=" + printable(rq->runas_principal, sizeof rq->runas_principal);
}

void gw_NoteSudoInit(const api_msghdr_t*, const void* req, std::string* note) {
  const ozugw_sudo_init_req_t* rq = static_cast<const ozugw_sudo_init_req_t*>(req);
  *note = " runas=" + printable(rq->runas_principal, sizeof rq->runas_principal);
  if (rq->cmd) *note += " cmd=" + printable(rq->cmd, rq->cmd_length);
}

void gw_NoteSudoCmdEnd(const api_msghdr_t*, const void* req, std::string* note) {
  *note = " end_session=" +
          std::to_string(static_cast<const ozugw_sudo_cmd_end_req_t*>(req)->end_session);
}

// The start of su (fn 0x0110) or sudo (0x0112) to runas.
// A granted su makes the connection act as the target from now on; a group
// set earlier with SetGID belongs to the old identity.
// The identity before the first switch is kept, so that the end of the
// switch (0x0120 with end_session 1) brings it back.
static void become(gw_conn_t* conn, const gw_user_t* target) {
  if (!conn->suSaved) {
    conn->suSaved = 1;
    conn->suSavedIdSet = conn->idSet;
    conn->suSavedUid = conn->uid;
    conn->suSavedGid = conn->gid;
  }
  conn->idSet = 1;
  conn->uid = target->uid;
  conn->gid = target->gid;
}

static int su_start(gw_conn_t* conn, uint16_t fn, const char* runas, gw_reply_t* reply) {
  const gw_config_t* cfg = conn->cfg;
  bool sudo = fn == QEL_FN_AUTH_SudoInit;
  conn->suPending = 0;
  const gw_user_t* caller = conn->loggedIn ? conn->user : nullptr;
  int policy = sudo ? cfg->sudoPolicy : cfg->suPolicy;
  if (caller) {
    int own = sudo ? caller->sudoPolicy : caller->suPolicy;
    if (own != GW_SU_UNSET) policy = own;
  }
  const gw_user_t* target = gw_FindUser(cfg, runas);
  if (!target) {
    reply->errorcode = GW_ERR_NO_USER;
    return 0;
  }
  if (policy == GW_SU_DENY) {
    reply->errorcode = GW_ERR_DENIED;
    return 0;
  }
  ozugw_su_init_rply_t r;
  memset(&r, 0, sizeof r);
  if (policy == GW_SU_ALLOW) {
    r.authmethod = GW_SU_METHOD_NONE;
    if (sudo) conn->sudoActive = 1;
    become(conn, target);
    return gw_ReplyWithBody(reply, (xdrproc_t)qel_xdr_ozugw_su_init_rply_t, &r);
  }
  // sudo asks for the caller's own password, su for the target's.
  const gw_user_t* who = sudo ? caller : target;
  if (!who) {
    reply->errorcode = GW_ERR_AUTH;
    return 0;
  }
  int tries = who->retryCount >= 0 ? who->retryCount : cfg->retryCount;
  conn->suPending = fn;
  conn->suUser = who;
  conn->suTarget = target;
  conn->suTriesLeft = tries > 0 ? tries : 1;
  conn->suOtp = (cfg->site.auth_crypto_card & 3) != 0;
  r.flags = conn->suOtp ? GW_SU_FLAG_OTP : 0;
  r.authmethod = QUOR_AUTH_COMBO;
  r.cipher_type = QUOR_CIPHER_AES;
  return gw_ReplyWithBody(reply, (xdrproc_t)qel_xdr_ozugw_su_init_rply_t, &r);
}

int gw_HandleSuInit(gw_conn_t* conn, const api_msghdr_t* hdr, void* req, gw_reply_t* reply) {
  const ozugw_su_init_req_t* rq = static_cast<const ozugw_su_init_req_t*>(req);
  char runas[QEL_SU_PRINCIPAL_LEN + 1] = {};
  memcpy(runas, rq->runas_principal, QEL_SU_PRINCIPAL_LEN);
  return su_start(conn, hdr->function, runas, reply);
}

int gw_HandleSudoInit(gw_conn_t* conn, const api_msghdr_t* hdr, void* req, gw_reply_t* reply) {
  const ozugw_sudo_init_req_t* rq = static_cast<const ozugw_sudo_init_req_t*>(req);
  char runas[QEL_SU_PRINCIPAL_LEN + 1] = {};
  memcpy(runas, rq->runas_principal, QEL_SU_PRINCIPAL_LEN);
  return su_start(conn, hdr->function, runas, reply);
}

int gw_HandleSudoCmdEnd(gw_conn_t* conn, const api_msghdr_t*, void* req, gw_reply_t* reply) {
  if (static_cast<const ozugw_sudo_cmd_end_req_t*>(req)->end_session) {
    conn->sudoActive = 0;
    if (conn->suSaved) {
      conn->suSaved = 0;
      conn->idSet = conn->suSavedIdSet;
      conn->uid = conn->suSavedUid;
      conn->gid = conn->suSavedGid;
    }
  }
  reply->errorcode = 0;
  return 0;
}

// The password a su or sudo response carries: the passcode text, or the
// password buffer decrypted with the session key. 0, or -1.
static int su_response_text(gw_conn_t* conn, const api_auth_challenge_rsp_req_t* rq,
                            std::string* out) {
  out->clear();
  if (rq->response_size == 0 || !rq->response) return -1;
  if (conn->suOtp) {
    out->assign(rq->response, strnlen(rq->response, rq->response_size));
    return 0;
  }
  if (conn->sessionKey.empty() || rq->response_size > 4096) return -1;
  std::vector<unsigned char> plain(rq->response_size + QEL_CIPHER_PAD);
  int len = 0;
  int rc = quorex_Decrypt(QUOR_CIPHER_AES, int(conn->sessionKey.size()), conn->sessionKey.data(),
                          int(rq->response_size),
                          reinterpret_cast<const unsigned char*>(rq->response), &len, plain.data());
  if (rc == 0 && len == GW_PASSWORD_BUF) {
    const char* p = reinterpret_cast<const char*>(plain.data());
    out->assign(p, strnlen(p, size_t(len)));
  }
  OPENSSL_cleanse(plain.data(), plain.size());
  return rc == 0 && len == GW_PASSWORD_BUF ? 0 : -1;
}

int gw_HandleChallengeRsp(gw_conn_t* conn, const api_msghdr_t* hdr, void* req, gw_reply_t* reply) {
  if (!conn->suPending) return gw_HandleChallenge(conn, hdr, req, reply);
  const api_auth_challenge_rsp_req_t* rq = static_cast<const api_auth_challenge_rsp_req_t*>(req);
  bool sudo = conn->suPending == QEL_FN_AUTH_SudoInit;
  conn->note += sudo ? " for=sudo" : " for=su";
  std::string text;
  bool ok = su_response_text(conn, rq, &text) == 0 && text == conn->suUser->password;
  OPENSSL_cleanse(text.data(), text.size());
  api_auth_challenge_rsp_rply_t r;
  memset(&r, 0, sizeof r);
  if (ok) {
    conn->suPending = 0;
    if (sudo) conn->sudoActive = 1;
    become(conn, conn->suTarget);
    reply->errorcode = 0;
  } else {
    conn->suTriesLeft--;
    if (conn->suTriesLeft <= 0) conn->suPending = 0;
    r.retries = conn->suTriesLeft > 0 ? conn->suTriesLeft : 0;
    reply->errorcode = GW_ERR_AUTH;
  }
  conn->note += " retries=" + std::to_string(r.retries);
  return gw_ReplyWithBody(reply, (xdrproc_t)qel_xdr_api_auth_challenge_rsp_rply_t, &r);
}
