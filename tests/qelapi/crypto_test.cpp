// Ciphers and session keys of the log-in: GARBLE, AES-128-CBC checked
// against OpenSSL used directly, refusal of other ciphers and empty keys,
// and a Diffie-Hellman agreement with a peer built from OpenSSL's own
// named group.
#include <gtest/gtest.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "dh_group.h"
#include "qel_crypto.h"

namespace {

using Bytes = std::vector<unsigned char>;

Bytes bnBytes(const BIGNUM* bn) {
  Bytes b(static_cast<size_t>(BN_num_bytes(bn)));
  BN_bn2bin(bn, b.data());
  return b;
}

Bytes text(const std::string& s) { return Bytes(s.begin(), s.end()); }

// AES-128-CBC with a zero IV, straight through OpenSSL.
Bytes referenceAes(const Bytes& key16, const Bytes& in) {
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  unsigned char iv[16] = {};
  Bytes out(in.size() + 16);
  int n = 0, f = 0;
  EXPECT_EQ(EVP_EncryptInit_ex(ctx, EVP_aes_128_cbc(), nullptr, key16.data(), iv), 1);
  EXPECT_EQ(EVP_EncryptUpdate(ctx, out.data(), &n, in.data(), int(in.size())), 1);
  EXPECT_EQ(EVP_EncryptFinal_ex(ctx, out.data() + n, &f), 1);
  EVP_CIPHER_CTX_free(ctx);
  out.resize(size_t(n + f));
  return out;
}

Bytes encrypt(const Bytes& key, const Bytes& in) {
  Bytes out(in.size() + QEL_CIPHER_PAD);
  int outLen = -1;
  EXPECT_EQ(quorex_Encrypt(QUOR_CIPHER_AES, int(key.size()), key.data(), int(in.size()), in.data(),
                           &outLen, out.data()),
            0);
  out.resize(outLen < 0 ? 0 : size_t(outLen));
  return out;
}

}  // namespace

// ---- GARBLE ----

TEST(Garble, KeyStreamFromTime) {
  struct Case {
    uint32_t time;
    std::vector<uint8_t> keys;  // key bytes of the first characters
  };
  // k0 = low byte of (t + t>>24 + t>>16 + t>>8) - 122, then rotated left.
  const Case cases[] = {
      {0, {0x86, 0x0D, 0x1A, 0x34}},
      {0x01020304, {0x90, 0x21, 0x42, 0x84, 0x09}},
      {0xFFFFFFFF, {0x82, 0x05, 0x0A}},
      {122, {0x00, 0x00, 0x00}},
  };
  for (const Case& c : cases) {
    std::vector<char> zeros(c.keys.size(), 0);
    garble(zeros.data(), int(zeros.size()), c.time);
    for (size_t i = 0; i < c.keys.size(); i++)
      EXPECT_EQ(uint8_t(zeros[i]), c.keys[i]) << "time " << c.time << " byte " << i;
  }
}

TEST(Garble, TwiceWithSameTimeRestores) {
  char name[QEL_LOGIN_NAME_LEN] = "alice@EXAMPLE.ORG";
  char orig[QEL_LOGIN_NAME_LEN];
  memcpy(orig, name, sizeof name);
  garble(name, QEL_LOGIN_NAME_LEN, 1700000000u);
  EXPECT_NE(memcmp(name, orig, sizeof name), 0);
  garble(name, QEL_LOGIN_NAME_LEN, 1700000000u);
  EXPECT_EQ(memcmp(name, orig, sizeof name), 0);
  // A different time does not undo it.
  garble(name, QEL_LOGIN_NAME_LEN, 1700000000u);
  garble(name, QEL_LOGIN_NAME_LEN, 1700000001u);
  EXPECT_NE(memcmp(name, orig, sizeof name), 0);
}

// ---- AES ----

TEST(Aes, OutputSizesFollowBlockPadding) {
  const Bytes key = text("0123456789abcdef0123456789abcdef");
  const struct {
    size_t in, out;
  } cases[] = {{16, 32}, {513, 528}, {257, 272}, {0, 16}, {15, 16}, {17, 32}};
  for (auto c : cases) {
    Bytes in(c.in, 'x');
    EXPECT_EQ(encrypt(key, in).size(), c.out) << "input " << c.in;
  }
}

TEST(Aes, MatchesOpenSslWithZeroIvAndRepeatedKey) {
  Bytes pw(513, 0);
  memcpy(pw.data(), "correct horse", 13);
  // A 5-byte key is repeated to 16 bytes: "abcdeabcdeabcdea".
  EXPECT_EQ(encrypt(text("abcde"), pw), referenceAes(text("abcdeabcdeabcdea"), pw));
  // A long session key contributes its first 16 bytes only.
  Bytes longKey(256);
  for (size_t i = 0; i < longKey.size(); i++) longKey[i] = uint8_t(i * 7 + 1);
  Bytes first16(longKey.begin(), longKey.begin() + 16);
  EXPECT_EQ(encrypt(longKey, pw), referenceAes(first16, pw));
}

TEST(Aes, RoundTripWithShortKey) {
  const Bytes key = text("k3y");
  for (size_t len : {size_t(0), size_t(1), size_t(16), size_t(257), size_t(513)}) {
    Bytes in(len);
    for (size_t i = 0; i < len; i++) in[i] = uint8_t(i * 31 + 5);
    Bytes ct = encrypt(key, in);
    Bytes back(ct.size() + QEL_CIPHER_PAD);
    int backLen = -1;
    ASSERT_EQ(quorex_Decrypt(QUOR_CIPHER_AES, int(key.size()), key.data(), int(ct.size()),
                             ct.data(), &backLen, back.data()),
              0);
    back.resize(size_t(backLen));
    EXPECT_EQ(back, in) << "length " << len;
  }
}

TEST(Aes, RefusesOtherCiphersAndEmptyKeysWithoutTouchingOutput) {
  const Bytes in(16, 'p');
  const Bytes key = text("secret");
  struct Case {
    int cipher;
    int keyLen;
    const unsigned char* key;
  };
  const Case cases[] = {
      {QUOR_CIPHER_GARBLE, 6, key.data()},
      {QUOR_CIPHER_BLOWFISH, 6, key.data()},
      {QUOR_CIPHER_3DES, 6, key.data()},
      {0, 6, key.data()},
      {QUOR_CIPHER_AES | QUOR_CIPHER_3DES, 6, key.data()},
      // No key material: never encrypt under a key built from nothing.
      {QUOR_CIPHER_AES, 0, key.data()},
      {QUOR_CIPHER_AES, -4, key.data()},
      {QUOR_CIPHER_AES, 16, nullptr},
  };
  for (const Case& c : cases) {
    for (int dir = 0; dir < 2; dir++) {
      Bytes out(64, 0xAA);
      int outLen = -7;
      int rc = dir == 0 ? quorex_Encrypt(c.cipher, c.keyLen, c.key, int(in.size()), in.data(),
                                         &outLen, out.data())
                        : quorex_Decrypt(c.cipher, c.keyLen, c.key, int(in.size()), in.data(),
                                         &outLen, out.data());
      EXPECT_EQ(rc, -22) << "cipher " << c.cipher << " key length " << c.keyLen;
      EXPECT_EQ(outLen, -7);
      EXPECT_EQ(out, Bytes(64, 0xAA));
    }
  }
}

TEST(Aes, OpenSslLayerKnowsTripleDesAndReportsErrors) {
  const Bytes key = text("abc");
  const Bytes in = text("a password of some length");
  unsigned long err = 99;
  char errText[QEL_SSL_ERRBUF_LEN] = "stale";

  // Triple DES has a set-up even though it is not offered.
  Bytes ct(in.size() + QEL_CIPHER_PAD);
  int ctLen = 0;
  ASSERT_EQ(quorex_OpenSSLEncrypt(QUOR_CIPHER_3DES, int(key.size()), key.data(), int(in.size()),
                                  in.data(), &ctLen, ct.data(), &err, errText),
            0);
  EXPECT_EQ(err, 0u);
  EXPECT_STREQ(errText, "");
  EXPECT_EQ(ctLen, 32);  // 25 bytes in 8-byte blocks
  Bytes back(ct.size());
  int backLen = 0;
  ASSERT_EQ(quorex_OpenSSLDecrypt(QUOR_CIPHER_3DES, int(key.size()), key.data(), ctLen, ct.data(),
                                  &backLen, back.data(), &err, errText),
            0);
  back.resize(size_t(backLen));
  EXPECT_EQ(back, in);

  // No set-up for GARBLE or unknown codes.
  EXPECT_EQ(quorex_OpenSSLEncrypt(QUOR_CIPHER_GARBLE, 3, key.data(), int(in.size()), in.data(),
                                  &ctLen, ct.data(), &err, errText),
            -22);

  // A cipher text that is not whole blocks fails in the final step, with
  // OpenSSL's error in the outputs.
  Bytes aes = encrypt(key, in);
  Bytes out(aes.size() + QEL_CIPHER_PAD);
  int outLen = -3;
  err = 0;
  errText[0] = '\0';
  EXPECT_EQ(quorex_OpenSSLDecrypt(QUOR_CIPHER_AES, int(key.size()), key.data(), int(aes.size()) - 1,
                                  aes.data(), &outLen, out.data(), &err, errText),
            -1);
  EXPECT_NE(err, 0u);
  EXPECT_STRNE(errText, "");
  EXPECT_EQ(outLen, -3);
}

TEST(OpenSslInit, SameResultOnEveryCall) {
  EXPECT_EQ(quorex_OpenSSLInit(), 0);
  EXPECT_EQ(quorex_OpenSSLInit(), 0);
}

// ---- Diffie-Hellman ----

namespace {

// The gateway's side, from OpenSSL's named group rather than from the
// prime above.
struct Peer {
  EVP_PKEY* key = nullptr;
  Bytes pub;
  Peer() {
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new_from_name(nullptr, "DH", nullptr);
    char group[] = "modp_2048";
    OSSL_PARAM params[] = {OSSL_PARAM_construct_utf8_string(OSSL_PKEY_PARAM_GROUP_NAME, group, 0),
                           OSSL_PARAM_construct_end()};
    EXPECT_EQ(EVP_PKEY_keygen_init(ctx), 1);
    EXPECT_EQ(EVP_PKEY_CTX_set_params(ctx, params), 1);
    EXPECT_EQ(EVP_PKEY_keygen(ctx, &key), 1);
    EVP_PKEY_CTX_free(ctx);
    BIGNUM* y = nullptr;
    EXPECT_EQ(EVP_PKEY_get_bn_param(key, OSSL_PKEY_PARAM_PUB_KEY, &y), 1);
    pub = bnBytes(y);
    BN_free(y);
  }
  ~Peer() { EVP_PKEY_free(key); }
  Bytes derive(const Bytes& otherPub) {
    BIGNUM* y = BN_bin2bn(otherPub.data(), int(otherPub.size()), nullptr);
    OSSL_PARAM_BLD* bld = OSSL_PARAM_BLD_new();
    OSSL_PARAM_BLD_push_utf8_string(bld, OSSL_PKEY_PARAM_GROUP_NAME, "modp_2048", 0);
    OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_PUB_KEY, y);
    OSSL_PARAM* params = OSSL_PARAM_BLD_to_param(bld);
    EVP_PKEY_CTX* fctx = EVP_PKEY_CTX_new_from_name(nullptr, "DH", nullptr);
    EVP_PKEY* other = nullptr;
    EXPECT_EQ(EVP_PKEY_fromdata_init(fctx), 1);
    EXPECT_EQ(EVP_PKEY_fromdata(fctx, &other, EVP_PKEY_PUBLIC_KEY, params), 1);
    EVP_PKEY_CTX* dctx = EVP_PKEY_CTX_new_from_pkey(nullptr, key, nullptr);
    size_t len = 256;
    Bytes secret(len);
    EXPECT_EQ(EVP_PKEY_derive_init(dctx), 1);
    EXPECT_EQ(EVP_PKEY_derive_set_peer(dctx, other), 1);
    EXPECT_EQ(EVP_PKEY_derive(dctx, secret.data(), &len), 1);
    secret.resize(len);
    EVP_PKEY_CTX_free(dctx);
    EVP_PKEY_free(other);
    EVP_PKEY_CTX_free(fctx);
    OSSL_PARAM_free(params);
    OSSL_PARAM_BLD_free(bld);
    BN_free(y);
    // Unpadded, as our side computes it.
    size_t z = 0;
    while (z < secret.size() && secret[z] == 0) z++;
    return Bytes(secret.begin() + long(z), secret.end());
  }
};

const Bytes kP = fromHex(kModp2048Hex);
const Bytes kG = {2};

int setParams(const Bytes& p, const Bytes& g) {
  return quorex_OpenSSLSetDHParams(p.data(), int(p.size()), g.data(), int(g.size()));
}

}  // namespace

TEST(DiffieHellman, BothSidesAgreeOnTheSecret) {
  ASSERT_EQ(setParams(kP, kG), 0);
  int pubLen = 0;
  unsigned char* pub = nullptr;
  ASSERT_EQ(quorex_OpenSSLGenPubPrivKey(&pubLen, &pub), 0);
  ASSERT_NE(pub, nullptr);
  EXPECT_GT(pubLen, 200);
  EXPECT_LE(pubLen, 256);
  EXPECT_NE(pub[0], 0) << "public value carries no leading zero byte";
  Bytes ours(pub, pub + pubLen);
  free(pub);

  Peer gw;
  int keyLen = 0;
  unsigned char* key = nullptr;
  ASSERT_EQ(quorex_OpenSSLGenSessionKey(int(gw.pub.size()), gw.pub.data(), &keyLen, &key), 0);
  Bytes secret(key, key + keyLen);
  free(key);
  EXPECT_GT(secret.size(), 16u);
  EXPECT_EQ(secret, gw.derive(ours));

  // A second key pair gives a different secret with the same peer.
  ASSERT_EQ(quorex_OpenSSLGenPubPrivKey(&pubLen, &pub), 0);
  free(pub);
  ASSERT_EQ(quorex_OpenSSLGenSessionKey(int(gw.pub.size()), gw.pub.data(), &keyLen, &key), 0);
  EXPECT_NE(Bytes(key, key + keyLen), secret);
  free(key);
}

TEST(DiffieHellman, DegeneratePeerValuesAreRefused) {
  ASSERT_EQ(setParams(kP, kG), 0);
  int pubLen = 0;
  unsigned char* pub = nullptr;
  ASSERT_EQ(quorex_OpenSSLGenPubPrivKey(&pubLen, &pub), 0);
  free(pub);
  Bytes pMinus1 = kP;
  pMinus1.back() -= 1;
  // 1 and p-1 would make the secret 1 or +-1, known to anyone.
  for (const Bytes& y : {Bytes{1}, pMinus1, kP}) {
    int keyLen = -5;
    unsigned char* key = nullptr;
    testing::internal::CaptureStderr();
    EXPECT_EQ(quorex_OpenSSLGenSessionKey(int(y.size()), y.data(), &keyLen, &key), -1);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err.rfind("quorex_OpenSSLGenSessionKey: error ", 0), 0u) << err;
    EXPECT_NE(err.find(" returned from DH_compute_key=["), std::string::npos) << err;
    EXPECT_EQ(key, nullptr);
    EXPECT_EQ(keyLen, -5);
  }
  int keyLen = 0;
  unsigned char* key = nullptr;
  testing::internal::CaptureStderr();
  EXPECT_EQ(quorex_OpenSSLGenSessionKey(0, nullptr, &keyLen, &key), -1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "quorex_OpenSSLGenSessionKey: error converting caller's pub key to a BIGNUM");
}

TEST(DiffieHellman, BadParametersLeaveNone) {
  Bytes even = kP;
  even.back() = 0xFE;
  Bytes pMinus1 = kP;
  pMinus1.back() -= 1;
  Bytes shortP(kP.end() - 64, kP.end());  // 512 bits
  const struct {
    Bytes p, g;
  } cases[] = {
      {even, kG},    {shortP, kG},  {kP, Bytes{1}}, {kP, Bytes{0}},
      {kP, pMinus1}, {kP, Bytes{}}, {Bytes{}, kG},
  };
  for (const auto& c : cases) {
    ASSERT_EQ(setParams(kP, kG), 0);
    EXPECT_EQ(quorex_OpenSSLSetDHParams(c.p.empty() ? nullptr : c.p.data(), int(c.p.size()),
                                        c.g.empty() ? nullptr : c.g.data(), int(c.g.size())),
              -22);
    // The previous parameters are gone too.
    int pubLen = 0;
    unsigned char* pub = nullptr;
    EXPECT_EQ(quorex_OpenSSLGenPubPrivKey(&pubLen, &pub), -22);
    EXPECT_EQ(pub, nullptr);
    int keyLen = 0;
    unsigned char* key = nullptr;
    Bytes y = {5};
    EXPECT_EQ(quorex_OpenSSLGenSessionKey(1, y.data(), &keyLen, &key), -22);
  }
}

TEST(DiffieHellman, NewParametersDropTheOldKeyPair) {
  ASSERT_EQ(setParams(kP, kG), 0);
  int pubLen = 0;
  unsigned char* pub = nullptr;
  ASSERT_EQ(quorex_OpenSSLGenPubPrivKey(&pubLen, &pub), 0);
  free(pub);
  ASSERT_EQ(setParams(kP, kG), 0);
  Peer gw;
  int keyLen = 0;
  unsigned char* key = nullptr;
  EXPECT_EQ(quorex_OpenSSLGenSessionKey(int(gw.pub.size()), gw.pub.data(), &keyLen, &key), -22);
}
