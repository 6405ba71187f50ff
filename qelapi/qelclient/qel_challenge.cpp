// The su and sudo challenge: a password (or passcode) against the gateway's
// challenge on the calling thread's connection, asked again while the
// gateway still allows retries.
#include <openssl/crypto.h>
#include <pthread.h>
#include <string.h>

#include "msg_conn.h"
#include "qel_auth.h"
#include "qel_crypto.h"
#include "quor_api.h"

int ozugw_auth_do_challenge(int auth_mech, int use_otp, int /*use_crypt*/, int /*use_md5*/,
                            const char* in_principal, const char* in_password, const char* /*file*/,
                            const char* /*salt*/, int cipher, int /*in_challenge_size*/,
                            const char* /*in_challenge*/) {
  static const char* fn = "ozugw_auth_do_challenge";
  qelapi_tcontext_t* ts = qelapi_LookupThreadstate(pthread_self());
  if (!ts) {
    fprintf(stderr, "%s: *** Internal error looking up thread state - returning <FAILURE>\n", fn);
    return -14;
  }
  quor_connection_t* conn = ts->connection;
  uint32_t card = conn ? conn->site_info.auth_crypto_card : 0;
  const char* prompt = use_otp ? "Enter PASSCODE" : "Password";
  const char* shown = (card & 1) ? nullptr : in_principal;
  bool encrypted = auth_mech == QUOR_AUTH_LOCAL || auth_mech == QUOR_AUTH_COMBO;

  if (!use_otp && (encrypted || auth_mech == QUOR_AUTH_KEYTAB)) {
    int rc = genSessionKey(ts);
    if (rc != 0) {
      fprintf(stderr, "%s: genSessionKey returned error %d", fn, rc);
      return -1;
    }
  }

  int result = -1;
  const char* once = in_password;
  char pwbuf[QEL_PASSWORD_BUF];
  unsigned char enc[QEL_PASSWORD_BUF + QEL_CIPHER_PAD];
  auto wipe = [&]() {
    OPENSSL_cleanse(pwbuf, sizeof pwbuf);
    OPENSSL_cleanse(enc, sizeof enc);
  };
  for (;;) {
    if (auth_mech == QUOR_AUTH_KEYTAB) {
      fprintf(stderr, "%s: KEYTAB auth method - need some code!\n", fn);
      return -1;
    }
    memset(pwbuf, 0, sizeof pwbuf);
    memset(enc, 0, sizeof enc);
    if (once && once[0]) {
      strncpy(pwbuf, once, QEL_PASSWORD_BUF - 1);
    } else if (getPassword(prompt, shown, pwbuf, QEL_PASSWORD_BUF) != 0) {
      fprintf(stderr, "%s: password needed, but cannot read from /dev/tty - returning <FAILURE>\n",
              fn);
      wipe();
      return -13;
    }
    // A given password serves the first try only.
    once = nullptr;

    api_auth_challenge_rsp_req_t cr;
    memset(&cr, 0, sizeof cr);
    if (use_otp) {
      cr.response_size = uint32_t(strlen(pwbuf));
      cr.response = pwbuf;
    } else if (encrypted) {
      int outlen = 0;
      int rc = conn ? quorex_Encrypt(cipher, conn->sess_key_len, conn->session_key,
                                     QEL_PASSWORD_BUF, (const unsigned char*)pwbuf, &outlen, enc)
                    : -22;
      if (rc != 0) {
        fprintf(stderr, "%s: Fatal error (%d) encrypting password\n", fn, rc);
        wipe();
        return result;
      }
      cr.response_size = uint32_t(outlen);
      cr.response = (char*)enc;
    }
    int rc = qelapi_send_msg(QEL_CAT_AUTH, QEL_FN_AUTH_ChallengeRsp, &cr,
                             (xdrproc_t)qel_xdr_api_auth_challenge_rsp_req_t, 0, 0, nullptr, ts);
    wipe();
    if (rc != 0) {
      fprintf(stderr, "%s: error %d sending message to server - returning <FAILURE>\n", fn, rc);
      return result;
    }
    api_auth_challenge_rsp_rply_t ar;
    memset(&ar, 0, sizeof ar);
    api_msghdr_t hdr;
    memset(&hdr, 0, sizeof hdr);
    rc = qelapi_get_msg(ts, &hdr, &ar, (xdrproc_t)qel_xdr_api_auth_challenge_rsp_rply_t, nullptr);
    int retries = ar.retries;
    xdr_free((xdrproc_t)qel_xdr_api_auth_challenge_rsp_rply_t, (char*)&ar);
    if (rc != 0) {
      fprintf(stderr, "%s: error %d receiving message from server - returning <FAILURE>\n", fn, rc);
      return result;
    }
    result = hdr.errorcode;
    if (result == 0) return 0;
    if (retries <= 0) {
      QEL_LOG(6, "Authorization call returned error %d", result);
      return result;
    }
  }
}
