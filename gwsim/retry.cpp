// Retry and failed log-in answers, and the reconnect log-in. A certificate
// is a line of text naming its user, serial and times; its HMAC-SHA256 is
// keyed by a secret drawn once per gwsim process, so only certificates
// issued by this process pass.
#include "retry.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>
#include <stdio.h>
#include <string.h>
#include <strings.h>
#include <time.h>

#include <map>
#include <mutex>

#include "config_values.h"
#include "reply.h"
#include "quor_api.h"

#define GW_LOGIN_FLAG_FAILED 0x20000000u
#define GW_LOGIN_FLAG_RETRY 0x40000000u
#define GW_ERR_RETRY_DEFAULT (-43002)  // sessions exhausted: come back later
#define GW_ERR_CERT_INVALID (-51030)
#define GW_ERR_CERT_EXPIRED (-51040)
#define GW_CERT_LIFETIME 600  // seconds a certificate stays good after its retry time
#define GW_HMAC_LEN 32

static std::mutex retry_lock;
static std::map<std::string, int> retries_given;  // per user, whole process
static unsigned cert_serial;
static unsigned char secret[32];
static std::once_flag secret_once;

static const unsigned char* hmac_secret(void) {
  std::call_once(secret_once, [] {
    if (RAND_bytes(secret, int(sizeof secret)) != 1) {
      // Without entropy the certificates would still be checked, only
      // against a guessable key; good enough for a simulator.
      for (size_t i = 0; i < sizeof secret; i++) secret[i] = (unsigned char)(i * 37 + 11);
    }
  });
  return secret;
}

static void cert_hmac(const char* data, size_t len, unsigned char out[GW_HMAC_LEN]) {
  unsigned int outLen = GW_HMAC_LEN;
  if (!HMAC(EVP_sha256(), hmac_secret(), int(sizeof secret),
            reinterpret_cast<const unsigned char*>(data), len, out, &outLen))
    memset(out, 0, GW_HMAC_LEN);
}

int gw_RetryUserKey(const quor_cfg_stanza_t* e, gw_user_t* u) {
  const char* v = e->type == CFG_SIMPLE_TYPE ? e->KeyValue : nullptr;
  const char* k = e->KeyString;
  if (!v) return 0;
  int64_t n;
  if (strcasecmp(k, "UserMessage") == 0) {
    u->userMessage = v;
    return 1;
  }
  if (strcasecmp(k, "RetryAfter") == 0) {
    if (gw_ParseNumber(v, 0, 86400, &n) < 0) return -22;
    u->retryAfter = int(n);
    if (u->retryTimes == 0) u->retryTimes = 1;
    return 1;
  }
  if (strcasecmp(k, "RetryTimes") == 0) {
    if (gw_ParseNumber(v, 0, 0x7fffffff, &n) < 0) return -22;
    u->retryTimes = int(n);
    return 1;
  }
  if (strcasecmp(k, "RetryCode") == 0 || strcasecmp(k, "LoginFailed") == 0) {
    if (gw_ParseNumber(v, INT32_MIN, INT32_MAX, &n) < 0) return -22;
    if (strcasecmp(k, "RetryCode") == 0) {
      u->retryCode = int32_t(n);
      u->retryCodeSet = 1;
    } else {
      u->loginFailed = int32_t(n);
    }
    return 1;
  }
  return 0;
}

// Takes one of the user's retry answers when any is left.
static bool take_retry(const gw_user_t* u) {
  if (u->retryTimes <= 0) return false;
  std::lock_guard<std::mutex> g(retry_lock);
  int& given = retries_given[u->name];
  if (given >= u->retryTimes) return false;
  given++;
  return true;
}

static void set_message(api_login_rply_t* r, const gw_user_t* u) {
  if (u->userMessage.empty()) return;
  r->user_msg_len = uint32_t(u->userMessage.size());
  r->user_msg_buf = const_cast<char*>(u->userMessage.data());
}

void gw_RetryAmendLogin(gw_conn_t* conn, const api_msghdr_t* hdr, const gw_reply_faults_t* faults,
                        gw_reply_t* reply) {
  if (hdr->category != QEL_CAT_AUTH ||
      (hdr->function != QEL_FN_AUTH_LoginCombo && hdr->function != QEL_FN_AUTH_LoginReconnect))
    return;
  const gw_user_t* u = conn->user;
  if (!u || reply->errorcode != 0) return;

  api_login_rply_t r;
  memset(&r, 0, sizeof r);
  r.cipher_types = QUOR_CIPHER_AES;
  r.cipher_to_use = conn->cfg->cipher;
  set_message(&r, u);
  char note[96];
  std::string cert;
  unsigned char mac[GW_HMAC_LEN];
  if (take_retry(u)) {
    time_t now = time(nullptr);
    uint64_t until = uint64_t(now) + uint64_t(u->retryAfter);
    unsigned serial;
    {
      std::lock_guard<std::mutex> g(retry_lock);
      serial = ++cert_serial;
    }
    char text[320];
    snprintf(text, sizeof text, "gwsim-retry user=%s serial=%u issued=%llu expires=%llu",
             u->name.c_str(), serial, (unsigned long long)now,
             (unsigned long long)(until + GW_CERT_LIFETIME));
    cert = text;
    cert_hmac(cert.data(), cert.size(), mac);
    if (faults && faults->badHmac) mac[0] ^= 0x5a;
    r.flags = GW_LOGIN_FLAG_RETRY;
    r.error_code = u->retryCodeSet ? u->retryCode : GW_ERR_RETRY_DEFAULT;
    r.retry_time = until;
    r.retry_packet_len = uint32_t(cert.size());
    r.retry_packet = cert.data();
    r.hmac_len = GW_HMAC_LEN;
    r.hmac_packet = reinterpret_cast<char*>(mac);
    snprintf(note, sizeof note, " retry=%u until=%llu%s", serial, (unsigned long long)until,
             faults && faults->badHmac ? " bad-hmac" : "");
  } else if (u->loginFailed != 0) {
    r.flags = GW_LOGIN_FLAG_FAILED;
    r.error_code = u->loginFailed;
    snprintf(note, sizeof note, " failed=%d", u->loginFailed);
  } else {
    return;
  }
  reply->errorcode = r.error_code;
  reply->hasBody = 0;
  reply->body.clear();
  conn->loggedIn = 0;
  conn->triesLeft = 0;
  conn->note += note;
  gw_ReplyWithBody(reply, (xdrproc_t)qel_xdr_api_login_rply_t, &r);
}

// Checks a presented certificate: 0, or the gateway's code; the verdict
// for the journal in *why and the certificate's user, when it names one.
static int check_cert(const api_login_reconnect_t* rq, const gw_config_t* cfg,
                      std::string* userName, const char** why) {
  userName->clear();
  if (!rq->retry_packet || rq->retry_packet_len == 0 || rq->retry_packet_len > 512 ||
      !rq->hmac_packet || rq->hmac_len != GW_HMAC_LEN) {
    *why = "malformed";
    return GW_ERR_CERT_INVALID;
  }
  unsigned char mac[GW_HMAC_LEN];
  cert_hmac(rq->retry_packet, rq->retry_packet_len, mac);
  if (CRYPTO_memcmp(mac, rq->hmac_packet, GW_HMAC_LEN) != 0) {
    *why = "bad-hmac";
    return GW_ERR_CERT_INVALID;
  }
  std::string text(rq->retry_packet, rq->retry_packet_len);
  char name[256];
  unsigned serial;
  unsigned long long issued, expires;
  if (sscanf(text.c_str(), "gwsim-retry user=%255s serial=%u issued=%llu expires=%llu", name,
             &serial, &issued, &expires) != 4) {
    *why = "malformed";
    return GW_ERR_CERT_INVALID;
  }
  *userName = name;
  if (!gw_FindUser(cfg, name)) {
    *why = "unknown-user";
    return GW_ERR_CERT_INVALID;
  }
  if (uint64_t(time(nullptr)) > expires) {
    *why = "expired";
    return GW_ERR_CERT_EXPIRED;
  }
  *why = "ok";
  return 0;
}

int gw_HandleLoginReconnect(gw_conn_t* conn, const api_msghdr_t*, void* req, gw_reply_t* reply) {
  std::string user;
  const char* why = "";
  int rc = check_cert(static_cast<const api_login_reconnect_t*>(req), conn->cfg, &user, &why);
  conn->note += std::string(" packet=") + why;
  if (!user.empty()) conn->note += " user=" + user;
  api_login_rply_t r;
  memset(&r, 0, sizeof r);
  r.cipher_types = QUOR_CIPHER_AES;
  r.cipher_to_use = conn->cfg->cipher;
  r.error_code = rc;
  reply->errorcode = rc;
  conn->tokenAsked = 0;
  conn->triesLeft = 0;
  conn->user = rc == 0 ? gw_FindUser(conn->cfg, user.c_str()) : nullptr;
  conn->loggedIn = rc == 0;
  return gw_ReplyWithBody(reply, (xdrproc_t)qel_xdr_api_login_rply_t, &r);
}
