// Log-in exchanges of gwsim, the gateway's side of COMBO. The library's
// Diffie-Hellman calls share one parameter object per process, so each
// connection's set-parameters, key-pair and shared-secret sequence runs
// whole under dh_lock.
#include "auth.h"

#include <openssl/crypto.h>
#include <string.h>

#include <mutex>

#include "config_values.h"
#include "reply.h"
#include "qel_crypto.h"

#define GW_ERR_AUTH (-10003)
#define GW_ERR_NEXT_TOKEN (-42009)
#define GW_LOGIN_FLAG_KEYX 0x1u
#define GW_LOGIN_FLAG_CLEAR 0x2u
#define GW_PASSWORD_BUF 513

static std::mutex dh_lock;

// RFC 3526, 2048-bit MODP group (group 14).
static const unsigned char modp2048_p[256] = {
    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xC9, 0x0F, 0xDA, 0xA2, 0x21, 0x68, 0xC2, 0x34,
    0xC4, 0xC6, 0x62, 0x8B, 0x80, 0xDC, 0x1C, 0xD1, 0x29, 0x02, 0x4E, 0x08, 0x8A, 0x67, 0xCC, 0x74,
    0x02, 0x0B, 0xBE, 0xA6, 0x3B, 0x13, 0x9B, 0x22, 0x51, 0x4A, 0x08, 0x79, 0x8E, 0x34, 0x04, 0xDD,
    0xEF, 0x95, 0x19, 0xB3, 0xCD, 0x3A, 0x43, 0x1B, 0x30, 0x2B, 0x0A, 0x6D, 0xF2, 0x5F, 0x14, 0x37,
    0x4F, 0xE1, 0x35, 0x6D, 0x6D, 0x51, 0xC2, 0x45, 0xE4, 0x85, 0xB5, 0x76, 0x62, 0x5E, 0x7E, 0xC6,
    0xF4, 0x4C, 0x42, 0xE9, 0xA6, 0x37, 0xED, 0x6B, 0x0B, 0xFF, 0x5C, 0xB6, 0xF4, 0x06, 0xB7, 0xED,
    0xEE, 0x38, 0x6B, 0xFB, 0x5A, 0x89, 0x9F, 0xA5, 0xAE, 0x9F, 0x24, 0x11, 0x7C, 0x4B, 0x1F, 0xE6,
    0x49, 0x28, 0x66, 0x51, 0xEC, 0xE4, 0x5B, 0x3D, 0xC2, 0x00, 0x7C, 0xB8, 0xA1, 0x63, 0xBF, 0x05,
    0x98, 0xDA, 0x48, 0x36, 0x1C, 0x55, 0xD3, 0x9A, 0x69, 0x16, 0x3F, 0xA8, 0xFD, 0x24, 0xCF, 0x5F,
    0x83, 0x65, 0x5D, 0x23, 0xDC, 0xA3, 0xAD, 0x96, 0x1C, 0x62, 0xF3, 0x56, 0x20, 0x85, 0x52, 0xBB,
    0x9E, 0xD5, 0x29, 0x07, 0x70, 0x96, 0x96, 0x6D, 0x67, 0x0C, 0x35, 0x4E, 0x4A, 0xBC, 0x98, 0x04,
    0xF1, 0x74, 0x6C, 0x08, 0xCA, 0x18, 0x21, 0x7C, 0x32, 0x90, 0x5E, 0x46, 0x2E, 0x36, 0xCE, 0x3B,
    0xE3, 0x9E, 0x77, 0x2C, 0x18, 0x0E, 0x86, 0x03, 0x9B, 0x27, 0x83, 0xA2, 0xEC, 0x07, 0xA2, 0x8F,
    0xB5, 0xC5, 0x5D, 0xF0, 0x6F, 0x4C, 0x52, 0xC9, 0xDE, 0x2B, 0xCB, 0xF6, 0x95, 0x58, 0x17, 0x18,
    0x39, 0x95, 0x49, 0x7C, 0xEA, 0x95, 0x6A, 0xE5, 0x15, 0xD2, 0x26, 0x18, 0x98, 0xFA, 0x05, 0x10,
    0x15, 0x72, 0x8E, 0x5A, 0x8A, 0xAC, 0xAA, 0x68, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
};
static const unsigned char modp2048_g[1] = {2};

int gw_HandleSecParams(gw_conn_t* conn, const api_msghdr_t*, void*, gw_reply_t* reply) {
  api_exchg_sec_params_rply_t r;
  memset(&r, 0, sizeof r);
  r.auth_type = conn->cfg->authMethod;
  r.cipher = conn->cfg->cipher;
  return gw_ReplyWithBody(reply, (xdrproc_t)qel_xdr_api_exchg_sec_params_rply_t, &r);
}

int gw_HandleDHParams(gw_conn_t*, const api_msghdr_t*, void*, gw_reply_t* reply) {
  api_get_dh_params_rply_t r;
  r.bn_p_len = int32_t(sizeof modp2048_p);
  r.bn_p = reinterpret_cast<char*>(const_cast<unsigned char*>(modp2048_p));
  r.bn_g_len = int32_t(sizeof modp2048_g);
  r.bn_g = reinterpret_cast<char*>(const_cast<unsigned char*>(modp2048_g));
  return gw_ReplyWithBody(reply, (xdrproc_t)qel_xdr_api_get_dh_params_rply_t, &r);
}

int gw_HandlePubkey(gw_conn_t* conn, const api_msghdr_t*, void* req, gw_reply_t* reply) {
  const api_exchg_pubkey_req_t* rq = static_cast<const api_exchg_pubkey_req_t*>(req);
  int publen = 0, seslen = 0;
  unsigned char* pub = nullptr;
  unsigned char* ses = nullptr;
  int rc;
  {
    std::lock_guard<std::mutex> g(dh_lock);
    rc = quorex_OpenSSLSetDHParams(modp2048_p, int(sizeof modp2048_p), modp2048_g,
                                   int(sizeof modp2048_g));
    if (rc == 0) rc = quorex_OpenSSLGenPubPrivKey(&publen, &pub);
    if (rc == 0)
      rc = quorex_OpenSSLGenSessionKey(
          rq->pubkey_len, reinterpret_cast<const unsigned char*>(rq->bn_pubkey), &seslen, &ses);
  }
  if (rc != 0) {
    free(pub);
    reply->errorcode = rc < 0 ? rc : -1;
    return 0;
  }
  conn->sessionKey.assign(ses, ses + seslen);
  OPENSSL_cleanse(ses, size_t(seslen));
  free(ses);
  api_exchg_pubkey_rply_t r;
  r.pubkey_len = publen;
  r.bn_pubkey = reinterpret_cast<char*>(pub);
  rc = gw_ReplyWithBody(reply, (xdrproc_t)qel_xdr_api_exchg_pubkey_rply_t, &r);
  free(pub);
  return rc;
}

// Journal-safe copy of a user name: printable characters only.
static std::string printable(const char* s) {
  std::string out;
  for (; *s; s++) out += (*s > ' ' && *s < 0x7f) ? *s : '?';
  return out;
}

static void login_name(const api_msghdr_t* hdr, const api_login_combo_t* rq,
                       char name[QEL_LOGIN_NAME_LEN + 1]) {
  memcpy(name, rq->username, QEL_LOGIN_NAME_LEN);
  garble(name, QEL_LOGIN_NAME_LEN, hdr->msgTime);
  name[QEL_LOGIN_NAME_LEN] = '\0';
}

void gw_NoteLoginCombo(const api_msghdr_t* hdr, const void* req, std::string* note) {
  char name[QEL_LOGIN_NAME_LEN + 1];
  login_name(hdr, static_cast<const api_login_combo_t*>(req), name);
  *note = " user=" + printable(name);
}

int gw_HandleLoginCombo(gw_conn_t* conn, const api_msghdr_t* hdr, void* req, gw_reply_t* reply) {
  char name[QEL_LOGIN_NAME_LEN + 1];
  login_name(hdr, static_cast<const api_login_combo_t*>(req), name);

  const gw_user_t* u = gw_FindUser(conn->cfg, name);
  conn->user = u;
  conn->tokenAsked = 0;
  conn->loggedIn = 0;
  conn->loginTime = hdr->msgTime;
  api_login_rply_t r;
  memset(&r, 0, sizeof r);
  r.cipher_types = QUOR_CIPHER_AES;
  r.cipher_to_use = conn->cfg->cipher;
  if (!u) {
    conn->triesLeft = 0;
    r.error_code = GW_ERR_AUTH;
    reply->errorcode = GW_ERR_AUTH;
  } else {
    conn->triesLeft = u->retryCount >= 0 ? u->retryCount : conn->cfg->retryCount;
    r.retry_count = conn->triesLeft;
    r.flags = u->clearPassword ? GW_LOGIN_FLAG_CLEAR : GW_LOGIN_FLAG_KEYX;
    if (conn->triesLeft == 0) conn->loggedIn = 1;
  }
  return gw_ReplyWithBody(reply, (xdrproc_t)qel_xdr_api_login_rply_t, &r);
}

// The text a challenge response carries: the password buffer decrypted with
// the session key, or the clear text for a clear-password user. 0, or -1
// when it cannot be read.
static int response_text(gw_conn_t* conn, const api_auth_challenge_rsp_req_t* rq,
                         std::string* out) {
  out->clear();
  if (rq->response_size == 0 || !rq->response) return -1;
  if (conn->user->clearPassword) {
    out->assign(rq->response, strnlen(rq->response, rq->response_size));
    return 0;
  }
  if (conn->sessionKey.empty() || rq->response_size > 4096) return -1;
  std::vector<unsigned char> plain(rq->response_size + QEL_CIPHER_PAD);
  int plainLen = 0;
  int rc =
      quorex_Decrypt(int(conn->cfg->cipher), int(conn->sessionKey.size()), conn->sessionKey.data(),
                     int(rq->response_size), reinterpret_cast<const unsigned char*>(rq->response),
                     &plainLen, plain.data());
  if (rc != 0 || plainLen <= 0) return -1;
  const char* p = reinterpret_cast<const char*>(plain.data());
  out->assign(p, strnlen(p, size_t(plainLen)));
  OPENSSL_cleanse(plain.data(), plain.size());
  return 0;
}

int gw_HandleChallenge(gw_conn_t* conn, const api_msghdr_t* hdr, void* req, gw_reply_t* reply) {
  const api_auth_challenge_rsp_req_t* rq = static_cast<const api_auth_challenge_rsp_req_t*>(req);
  api_auth_challenge_rsp_rply_t r;
  memset(&r, 0, sizeof r);
  const gw_user_t* u = conn->user;
  std::string text;
  if (!u || conn->loggedIn || conn->triesLeft <= 0 || response_text(conn, rq, &text) < 0) {
    reply->errorcode = GW_ERR_AUTH;
  } else if (conn->tokenAsked) {
    bool ok =
        (hdr->msgFlags & API_MSGF_NEXTTOKEN) && (u->nextToken.empty() || text == u->nextToken);
    reply->errorcode = ok ? 0 : GW_ERR_AUTH;
  } else if (text != u->password) {
    reply->errorcode = GW_ERR_AUTH;
  } else if (u->nextTokenFlag) {
    conn->tokenAsked = 1;
    reply->errorcode = GW_ERR_NEXT_TOKEN;
  } else {
    reply->errorcode = 0;
  }
  OPENSSL_cleanse(text.data(), text.size());
  if (reply->errorcode == 0) {
    conn->loggedIn = 1;
  } else if (reply->errorcode == GW_ERR_AUTH && conn->triesLeft > 0) {
    conn->triesLeft--;
  }
  r.retries = conn->loggedIn ? 0 : conn->triesLeft;
  return gw_ReplyWithBody(reply, (xdrproc_t)qel_xdr_api_auth_challenge_rsp_rply_t, &r);
}
