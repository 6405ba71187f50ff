// KEYTAB log-ins of gwsim. The expected keytab is read from its file at
// each log-in, so a test may write it after gwsim started.
#include "auth_keytab.h"

#include <openssl/crypto.h>
#include <string.h>

#include <fstream>
#include <iterator>

#include "config_values.h"
#include "reply.h"
#include "qel_crypto.h"

#define GW_ERR_AUTH (-10003)

static void keytab_principal(const api_msghdr_t* hdr, const api_login_keytab_t* rq,
                             char name[QEL_LOGIN_NAME_LEN + 1]) {
  memcpy(name, rq->principal, QEL_LOGIN_NAME_LEN);
  garble(name, QEL_LOGIN_NAME_LEN, hdr->msgTime);
  name[QEL_LOGIN_NAME_LEN] = '\0';
}

void gw_NoteLoginKeytab(const api_msghdr_t* hdr, const void* req, std::string* note) {
  const api_login_keytab_t* rq = static_cast<const api_login_keytab_t*>(req);
  char name[QEL_LOGIN_NAME_LEN + 1];
  keytab_principal(hdr, rq, name);
  std::string shown;
  for (const char* s = name; *s; s++) shown += (*s > ' ' && *s < 0x7f) ? *s : '?';
  *note = " user=" + shown + " cipher=" + std::to_string(rq->cipher_type);
}

// The keytab bytes the request carries, made plain. 0, or -1.
static int plain_keytab(gw_conn_t* conn, const api_msghdr_t* hdr, const api_login_keytab_t* rq,
                        std::vector<unsigned char>* out) {
  out->clear();
  if (rq->cipher_type != conn->cfg->cipher) return -1;
  if (rq->keytab_size == 0) return 0;
  const unsigned char* in = reinterpret_cast<const unsigned char*>(rq->keytab);
  if (rq->cipher_type == QUOR_CIPHER_GARBLE) {
    out->assign(in, in + rq->keytab_size);
    garble(reinterpret_cast<char*>(out->data()), int(out->size()), hdr->msgTime);
    return 0;
  }
  if (conn->sessionKey.empty() || rq->keytab_size > (1u << 24)) return -1;
  out->assign(rq->keytab_size + QEL_CIPHER_PAD, 0);
  int len = 0;
  if (quorex_Decrypt(int(rq->cipher_type), int(conn->sessionKey.size()), conn->sessionKey.data(),
                     int(rq->keytab_size), in, &len, out->data()) != 0 ||
      len < 0) {
    OPENSSL_cleanse(out->data(), out->size());
    return -1;
  }
  out->resize(size_t(len));
  return 0;
}

int gw_HandleLoginKeytab(gw_conn_t* conn, const api_msghdr_t* hdr, void* req, gw_reply_t* reply) {
  const api_login_keytab_t* rq = static_cast<const api_login_keytab_t*>(req);
  char name[QEL_LOGIN_NAME_LEN + 1];
  keytab_principal(hdr, rq, name);
  const gw_user_t* u = gw_FindUser(conn->cfg, name);
  // A new log-in ends whatever the connection was in the middle of.
  conn->user = nullptr;
  conn->loggedIn = 0;
  conn->triesLeft = 0;
  conn->tokenAsked = 0;
  conn->loginTime = hdr->msgTime;
  conn->suPending = 0;
  conn->sudoActive = 0;

  bool ok = false;
  if (u && !u->keytab.empty()) {
    std::ifstream f(u->keytab, std::ios::binary);
    std::vector<unsigned char> want((std::istreambuf_iterator<char>(f)),
                                    std::istreambuf_iterator<char>());
    std::vector<unsigned char> got;
    ok = f.is_open();
    ok = ok && plain_keytab(conn, hdr, rq, &got) == 0 && got == want;
    OPENSSL_cleanse(want.data(), want.size());
    OPENSSL_cleanse(got.data(), got.size());
  }
  api_login_rply_t r;
  memset(&r, 0, sizeof r);
  r.cipher_types = QUOR_CIPHER_AES;
  r.cipher_to_use = conn->cfg->cipher;
  if (ok) {
    conn->user = u;
    conn->loggedIn = 1;
  } else {
    r.error_code = GW_ERR_AUTH;
    reply->errorcode = GW_ERR_AUTH;
  }
  return gw_ReplyWithBody(reply, (xdrproc_t)qel_xdr_api_login_rply_t, &r);
}
