// Session keys and ciphers of the log-in.
#include "qel_crypto.h"

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/param_build.h>
#include <openssl/rand.h>
#include <openssl/ssl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include <memory>
#include <mutex>

#include "msg_conn.h"

namespace {

// The process's Diffie-Hellman state: parameters (p, g) and, once
// generated, this process's key pair over them.
std::mutex dh_lock;
EVP_PKEY* dh_params = nullptr;
EVP_PKEY* dh_keypair = nullptr;

// Serialises whole exchanges of genSessionKey, so two connections of this
// process never interleave on dh_params.
std::mutex exchange_lock;

std::mutex ssl_init_lock;
bool ssl_init_done = false;
int ssl_init_result = -1;

constexpr int kMaxKeyBuf = 64;
constexpr int kMinPrimeBits = 1024;

struct BnFree {
  void operator()(BIGNUM* b) const { BN_free(b); }
};
struct PkeyFree {
  void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
};
struct PkeyCtxFree {
  void operator()(EVP_PKEY_CTX* c) const { EVP_PKEY_CTX_free(c); }
};
struct CipherCtxFree {
  void operator()(EVP_CIPHER_CTX* c) const { EVP_CIPHER_CTX_free(c); }
};
struct BldFree {
  void operator()(OSSL_PARAM_BLD* b) const { OSSL_PARAM_BLD_free(b); }
};
struct ParamFree {
  void operator()(OSSL_PARAM* p) const { OSSL_PARAM_free(p); }
};
using BnPtr = std::unique_ptr<BIGNUM, BnFree>;
using PkeyPtr = std::unique_ptr<EVP_PKEY, PkeyFree>;
using PkeyCtxPtr = std::unique_ptr<EVP_PKEY_CTX, PkeyCtxFree>;
using CipherCtxPtr = std::unique_ptr<EVP_CIPHER_CTX, CipherCtxFree>;
using BldPtr = std::unique_ptr<OSSL_PARAM_BLD, BldFree>;
using ParamPtr = std::unique_ptr<OSSL_PARAM, ParamFree>;

// Takes the oldest queued OpenSSL error and its text.
unsigned long ssl_error(char* text, size_t textLen) {
  unsigned long code = ERR_get_error();
  if (text && textLen) {
    if (code)
      ERR_error_string_n(code, text, textLen);
    else
      text[0] = '\0';
  }
  ERR_clear_error();
  return code;
}

const EVP_CIPHER* cipher_for(int cipherType) {
  switch (cipherType) {
    case QUOR_CIPHER_AES:
      return EVP_aes_128_cbc();
    case QUOR_CIPHER_BLOWFISH:
      return EVP_bf_cbc();
    case QUOR_CIPHER_3DES:
      return EVP_des_ede3_cbc();
    default:
      return nullptr;
  }
}

// Builds a DH key object from p, g and optionally a public value.
int make_dh_pkey(const BIGNUM* p, const BIGNUM* g, const BIGNUM* pub, EVP_PKEY** out) {
  BldPtr bld(OSSL_PARAM_BLD_new());
  if (!bld) return -12;
  if (!OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_FFC_P, p) ||
      !OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_FFC_G, g) ||
      (pub && !OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_PUB_KEY, pub)))
    return -12;
  ParamPtr params(OSSL_PARAM_BLD_to_param(bld.get()));
  if (!params) return -12;
  PkeyCtxPtr ctx(EVP_PKEY_CTX_new_from_name(nullptr, "DH", nullptr));
  if (!ctx) return -1;
  EVP_PKEY* pkey = nullptr;
  if (EVP_PKEY_fromdata_init(ctx.get()) <= 0 ||
      EVP_PKEY_fromdata(ctx.get(), &pkey, pub ? EVP_PKEY_PUBLIC_KEY : EVP_PKEY_KEY_PARAMETERS,
                        params.get()) <= 0)
    return -1;
  *out = pkey;
  return 0;
}

int openssl_crypt(int encrypt, int cipherType, int keyLength, const unsigned char* key,
                  int bufInLength, const unsigned char* bufIn, int* bufOutLength,
                  unsigned char* bufOut, unsigned long* retErrCode, char* retErrBuf) {
  if (retErrCode) *retErrCode = 0;
  if (retErrBuf) retErrBuf[0] = '\0';
  // A key of no bytes would be stretched from nothing into all zeros.
  if (!key || keyLength <= 0 || bufInLength < 0 || (bufInLength > 0 && !bufIn) || !bufOut ||
      !bufOutLength)
    return -22;

  unsigned char keybuf[kMaxKeyBuf] = {};
  int have = keyLength < kMaxKeyBuf ? keyLength : kMaxKeyBuf;
  memcpy(keybuf, key, size_t(have));

  CipherCtxPtr ctx(EVP_CIPHER_CTX_new());
  if (!ctx) {
    OPENSSL_cleanse(keybuf, sizeof keybuf);
    if (retErrCode) *retErrCode = ssl_error(retErrBuf, QEL_SSL_ERRBUF_LEN);
    return -1;
  }
  if (const EVP_CIPHER* c = cipher_for(cipherType)) {
    int need = EVP_CIPHER_get_key_length(c);
    if (need > kMaxKeyBuf) need = kMaxKeyBuf;
    for (int i = have; i < need; i++) keybuf[i] = keybuf[i - have];
  }
  int rc = quorex_OpenSSLEVPInit(encrypt, cipherType, ctx.get(), keybuf, nullptr);
  OPENSSL_cleanse(keybuf, sizeof keybuf);
  if (rc != 0) {
    unsigned long err = ssl_error(retErrBuf, QEL_SSL_ERRBUF_LEN);
    if (retErrCode) *retErrCode = err;
    return rc;
  }

  int outl = 0, finl = 0;
  int ok = encrypt ? EVP_EncryptUpdate(ctx.get(), bufOut, &outl, bufIn, bufInLength)
                   : EVP_DecryptUpdate(ctx.get(), bufOut, &outl, bufIn, bufInLength);
  if (ok)
    ok = encrypt ? EVP_EncryptFinal_ex(ctx.get(), bufOut + outl, &finl)
                 : EVP_DecryptFinal_ex(ctx.get(), bufOut + outl, &finl);
  if (!ok) {
    unsigned long err = ssl_error(retErrBuf, QEL_SSL_ERRBUF_LEN);
    if (retErrCode) *retErrCode = err;
    return -1;
  }
  *bufOutLength = outl + finl;
  return 0;
}

int checked_crypt(int encrypt, int cipherType, int keyLength, const unsigned char* key,
                  int bufInLength, const unsigned char* bufIn, int* bufOutLength,
                  unsigned char* bufOut) {
  if (!(cipherType & quorex_GetCipherTypes()) || cipherType != QUOR_CIPHER_AES) return -22;
  unsigned long err = 0;
  int rc = openssl_crypt(encrypt, cipherType, keyLength, key, bufInLength, bufIn, bufOutLength,
                         bufOut, &err, nullptr);
  return rc == 0 ? 0 : rc == -22 ? -22 : -1;
}

#define GSK_LOG(...) qelapi_logf(6, "genSessionKey", __FILE__, __LINE__, __VA_ARGS__)

}  // namespace

int quorex_GetCipherTypes(void) { return QUOR_CIPHER_AES; }

int quorex_OpenSSLEVPInit(int encryptFlag, int cipherType, EVP_CIPHER_CTX* theCtx,
                          const unsigned char* theEvpKey, const unsigned char* theIV) {
  const EVP_CIPHER* c = cipher_for(cipherType);
  if (!c) return -22;
  if (!theCtx || !theEvpKey) return -22;
  static const unsigned char zero_iv[EVP_MAX_IV_LENGTH] = {};
  if (!EVP_CipherInit_ex(theCtx, c, nullptr, theEvpKey, theIV ? theIV : zero_iv,
                         encryptFlag == 1 ? 1 : 0))
    return -1;
  return 0;
}

int quorex_OpenSSLEncrypt(int cipherType, int keyLength, const unsigned char* key, int bufInLength,
                          const unsigned char* bufIn, int* bufOutLength, unsigned char* bufOut,
                          unsigned long* retErrCode, char* retErrBuf) {
  return openssl_crypt(1, cipherType, keyLength, key, bufInLength, bufIn, bufOutLength, bufOut,
                       retErrCode, retErrBuf);
}

int quorex_OpenSSLDecrypt(int cipherType, int keyLength, const unsigned char* key, int bufInLength,
                          const unsigned char* bufIn, int* bufOutLength, unsigned char* bufOut,
                          unsigned long* retErrCode, char* retErrBuf) {
  return openssl_crypt(0, cipherType, keyLength, key, bufInLength, bufIn, bufOutLength, bufOut,
                       retErrCode, retErrBuf);
}

int quorex_Encrypt(int cipherType, int keyLength, const unsigned char* key, int bufInLength,
                   const unsigned char* bufIn, int* bufOutLength, unsigned char* bufOut) {
  return checked_crypt(1, cipherType, keyLength, key, bufInLength, bufIn, bufOutLength, bufOut);
}

int quorex_Decrypt(int cipherType, int keyLength, const unsigned char* key, int bufInLength,
                   const unsigned char* bufIn, int* bufOutLength, unsigned char* bufOut) {
  return checked_crypt(0, cipherType, keyLength, key, bufInLength, bufIn, bufOutLength, bufOut);
}

int quorex_OpenSSLInit(void) {
  static const char* fn = "quorex_OpenSSLInit";
  std::lock_guard<std::mutex> g(ssl_init_lock);
  if (ssl_init_done) return ssl_init_result;
  ssl_init_done = true;
  if (!OPENSSL_init_ssl(0, nullptr)) {
    fprintf(stderr, "%s: OpenSSL initialization failed!\n", fn);
    ssl_init_result = -1;
    return ssl_init_result;
  }
  OPENSSL_init_ssl(OPENSSL_INIT_LOAD_SSL_STRINGS | OPENSSL_INIT_LOAD_CRYPTO_STRINGS, nullptr);

  struct stat st;
  const long want = 255;
  if (lstat("/dev/urandom", &st) == 0) {
    int got = RAND_load_file("/dev/urandom", want);
    if (got != want)
      fprintf(stderr, "%s: RAND_load_file returned %d bytes instead of requested count of %ld\n",
              fn, got, want);
  }
  if (!RAND_status()) {
    // random() is predictable: mix it in but claim no entropy for it, so an
    // unseeded generator stays unseeded and key generation refuses to run.
    unsigned char buf[255];
    for (unsigned char& b : buf) b = (unsigned char)(random() % 256);
    RAND_add(buf, sizeof buf, 0.0);
    if (!RAND_status()) fprintf(stderr, "%s: unable to seed the PRNG. Is EGD running?\n", fn);
  }
  ssl_init_result = 0;
  return ssl_init_result;
}

int quorex_OpenSSLSetDHParams(const unsigned char* dh_p_value, int dh_p_value_len,
                              const unsigned char* dh_g_value, int dh_g_value_len) {
  std::lock_guard<std::mutex> g(dh_lock);
  EVP_PKEY_free(dh_keypair);
  dh_keypair = nullptr;
  EVP_PKEY_free(dh_params);
  dh_params = nullptr;

  if (!dh_p_value || dh_p_value_len <= 0 || !dh_g_value || dh_g_value_len <= 0) return -22;
  BnPtr p(BN_bin2bn(dh_p_value, dh_p_value_len, nullptr));
  BnPtr gen(BN_bin2bn(dh_g_value, dh_g_value_len, nullptr));
  if (!p || !gen) return -22;
  // A short or even modulus, or a generator of 0, 1 or p-1, gives a secret
  // an eavesdropper can guess.
  BnPtr pm1(BN_dup(p.get()));
  if (!pm1 || !BN_sub_word(pm1.get(), 1)) return -12;
  if (BN_num_bits(p.get()) < kMinPrimeBits || !BN_is_odd(p.get()) ||
      BN_cmp(gen.get(), BN_value_one()) <= 0 || BN_cmp(gen.get(), pm1.get()) >= 0)
    return -22;

  EVP_PKEY* pkey = nullptr;
  int rc = make_dh_pkey(p.get(), gen.get(), nullptr, &pkey);
  if (rc != 0) {
    ERR_clear_error();
    return rc;
  }
  dh_params = pkey;
  return 0;
}

int quorex_OpenSSLGenPubPrivKey(int* ret_pubkey_len, unsigned char** ret_pubkey) {
  static const char* fn = "quorex_OpenSSLGenPubPrivKey";
  if (!ret_pubkey_len || !ret_pubkey) return -22;
  std::lock_guard<std::mutex> g(dh_lock);
  if (!dh_params) return -22;
  PkeyCtxPtr ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, dh_params, nullptr));
  if (!ctx) return -12;
  EVP_PKEY* kp = nullptr;
  if (EVP_PKEY_keygen_init(ctx.get()) <= 0 || EVP_PKEY_keygen(ctx.get(), &kp) <= 0) {
    char text[QEL_SSL_ERRBUF_LEN];
    unsigned long err = ssl_error(text, sizeof text);
    fprintf(stderr, "%s: error %lu returned from DH_generate_key=[%s]", fn, err, text);
    return -1;
  }
  PkeyPtr keypair(kp);
  BIGNUM* pub_raw = nullptr;
  if (!EVP_PKEY_get_bn_param(kp, OSSL_PKEY_PARAM_PUB_KEY, &pub_raw)) {
    ERR_clear_error();
    return -1;
  }
  BnPtr pub(pub_raw);
  int n = (BN_num_bits(pub.get()) + 7) / 8;
  unsigned char* out = static_cast<unsigned char*>(malloc(n > 0 ? size_t(n) : 1));
  if (!out) return -12;
  BN_bn2bin(pub.get(), out);
  EVP_PKEY_free(dh_keypair);
  dh_keypair = keypair.release();
  *ret_pubkey_len = n;
  *ret_pubkey = out;
  return 0;
}

int quorex_OpenSSLGenSessionKey(int in_pubkey_len, const unsigned char* in_pubkey, int* sesskey_len,
                                unsigned char** sesskey) {
  static const char* fn = "quorex_OpenSSLGenSessionKey";
  if (!sesskey_len || !sesskey) return -22;
  std::lock_guard<std::mutex> g(dh_lock);
  if (!dh_params || !dh_keypair) return -22;

  BnPtr peer(in_pubkey && in_pubkey_len > 0 ? BN_bin2bn(in_pubkey, in_pubkey_len, nullptr)
                                            : nullptr);
  if (!peer) {
    fprintf(stderr, "%s: error converting caller's pub key to a BIGNUM", fn);
    ERR_clear_error();
    return -1;
  }
  BIGNUM *p_raw = nullptr, *g_raw = nullptr;
  if (!EVP_PKEY_get_bn_param(dh_params, OSSL_PKEY_PARAM_FFC_P, &p_raw) ||
      !EVP_PKEY_get_bn_param(dh_params, OSSL_PKEY_PARAM_FFC_G, &g_raw)) {
    BN_free(p_raw);
    BN_free(g_raw);
    ERR_clear_error();
    return -12;
  }
  BnPtr p(p_raw), gen(g_raw);

  int size = EVP_PKEY_get_size(dh_params);
  if (size <= 0) return -1;
  unsigned char* secret = static_cast<unsigned char*>(malloc(size_t(size)));
  if (!secret) return -12;

  auto fail = [&](void) {
    char text[QEL_SSL_ERRBUF_LEN];
    unsigned long err = ssl_error(text, sizeof text);
    fprintf(stderr, "%s: error %lu returned from DH_compute_key=[%s]", fn, err, text);
    OPENSSL_cleanse(secret, size_t(size));
    free(secret);
    return -1;
  };

  EVP_PKEY* peer_raw = nullptr;
  if (make_dh_pkey(p.get(), gen.get(), peer.get(), &peer_raw) != 0) return fail();
  PkeyPtr peer_key(peer_raw);
  PkeyCtxPtr ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, dh_keypair, nullptr));
  size_t len = size_t(size);
  // Deriving checks the peer value lies in 1 < y < p-1; the secret comes
  // without leading zero bytes.
  if (!ctx || EVP_PKEY_derive_init(ctx.get()) <= 0 || EVP_PKEY_CTX_set_dh_pad(ctx.get(), 0) <= 0 ||
      EVP_PKEY_derive_set_peer(ctx.get(), peer_key.get()) <= 0 ||
      EVP_PKEY_derive(ctx.get(), secret, &len) <= 0 || len == 0)
    return fail();
  *sesskey_len = int(len);
  *sesskey = secret;
  return 0;
}

void garble(char* theBuf, int numChars, uint32_t theTime) {
  uint32_t t = theTime;
  uint8_t k = uint8_t((t + (t >> 24) + (t >> 16) + (t >> 8)) - 122);
  for (int i = 0; i < numChars; i++) {
    theBuf[i] = char(uint8_t(theBuf[i]) ^ k);
    k = uint8_t((k << 1) | (k >> 7));
  }
}

int qel_genSessionKeyConn(qelapi_tcontext_t* threadState, quor_connection_t* conn) {
  if (!threadState || !conn) return -1;
  if (conn->sess_key_len > 0 && conn->session_key) return 0;
  std::lock_guard<std::mutex> g(exchange_lock);
  // Another thread may have made the key while this one waited.
  if (conn->sess_key_len > 0 && conn->session_key) return 0;
  api_msghdr_t hdr;

  if (qelapi_send_msg(QEL_CAT_AUTH, QEL_FN_AUTH_GetDHParams, nullptr, nullptr, 0, 0, conn,
                      threadState) != 0)
    return -1;
  api_get_dh_params_rply_t dh{};
  memset(&hdr, 0, sizeof hdr);
  if (qelapi_get_msg(threadState, &hdr, &dh, (xdrproc_t)qel_xdr_api_get_dh_params_rply_t, conn) <
      0) {
    xdr_free((xdrproc_t)qel_xdr_api_get_dh_params_rply_t, (char*)&dh);
    return -1;
  }
  if (hdr.errorcode != 0) {
    GSK_LOG("%s: DH Param Exchange request returned error %d", "genSessionKey", hdr.errorcode);
    xdr_free((xdrproc_t)qel_xdr_api_get_dh_params_rply_t, (char*)&dh);
    return -1;
  }
  int rc = quorex_OpenSSLSetDHParams((const unsigned char*)dh.bn_p, dh.bn_p_len,
                                     (const unsigned char*)dh.bn_g, dh.bn_g_len);
  xdr_free((xdrproc_t)qel_xdr_api_get_dh_params_rply_t, (char*)&dh);
  if (rc != 0) {
    GSK_LOG("%s: quorex_OpenSSLSetDHParams request returned error %d", "genSessionKey", rc);
    return -1;
  }

  int publen = 0;
  unsigned char* pub = nullptr;
  rc = quorex_OpenSSLGenPubPrivKey(&publen, &pub);
  if (rc != 0) {
    GSK_LOG("%s: quorex_OpenSSLGenPubPrivKey request returned error %d", "genSessionKey", rc);
    return -1;
  }
  free(conn->public_key);
  conn->public_key = pub;
  conn->pubkey_len = publen;

  api_exchg_pubkey_req_t req{};
  req.pubkey_len = publen;
  req.bn_pubkey = (char*)pub;
  rc = qelapi_send_msg(QEL_CAT_AUTH, QEL_FN_AUTH_ExchgPubkey, &req,
                       (xdrproc_t)qel_xdr_api_exchg_pubkey_req_t, 0, 0, conn, threadState);
  if (rc != 0) {
    GSK_LOG("%s: error %d sending API_AUTH_EXCHG_PUBKEY_REQ msg", "genSessionKey", rc);
    return -1;
  }
  api_exchg_pubkey_rply_t rply{};
  memset(&hdr, 0, sizeof hdr);
  if (qelapi_get_msg(threadState, &hdr, &rply, (xdrproc_t)qel_xdr_api_exchg_pubkey_rply_t, conn) <
      0) {
    xdr_free((xdrproc_t)qel_xdr_api_exchg_pubkey_rply_t, (char*)&rply);
    return -1;
  }
  if (hdr.errorcode != 0) {
    GSK_LOG("%s: Public Key exchange returned server error %d", "genSessionKey", hdr.errorcode);
    xdr_free((xdrproc_t)qel_xdr_api_exchg_pubkey_rply_t, (char*)&rply);
    return -1;
  }

  int keylen = 0;
  unsigned char* key = nullptr;
  rc = quorex_OpenSSLGenSessionKey(rply.pubkey_len, (const unsigned char*)rply.bn_pubkey, &keylen,
                                   &key);
  xdr_free((xdrproc_t)qel_xdr_api_exchg_pubkey_rply_t, (char*)&rply);
  if (rc != 0) {
    GSK_LOG("%s: quorex_OpenSSLGenSessionKey returned error %d", "genSessionKey", rc);
    return -1;
  }
  if (conn->session_key) {
    OPENSSL_cleanse(conn->session_key, size_t(conn->sess_key_len > 0 ? conn->sess_key_len : 0));
    free(conn->session_key);
  }
  conn->session_key = key;
  conn->sess_key_len = keylen;
  return 0;
}

int genSessionKey(qelapi_tcontext_t* threadState) {
  quor_connection_t* conn = qelapi_GetThreadConEntry(threadState);
  if (!conn) conn = qelapi_getCurConnection();
  return qel_genSessionKeyConn(threadState, conn);
}
