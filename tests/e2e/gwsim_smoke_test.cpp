// gwsim seen from a raw socket: headers built with ozugw_BuildMsgHdr,
// request bodies encoded with the codecs, replies checked byte by byte
// against word layouts written out by hand.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <openssl/bn.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "gwsim_config.h"
#include "gwsim_fixture.h"
#include "raw_gateway.h"
#include "ozugw_msgdefs.h"
#include "qel_crypto.h"
#include "wire.h"

namespace {

using wire::Bytes;

// The scrambling of user names, written from its definition.
void garbleByHand(uint8_t* b, size_t n, uint32_t t) {
  uint8_t k = uint8_t((t + (t >> 24) + (t >> 16) + (t >> 8)) - 122);
  for (size_t i = 0; i < n; i++) {
    b[i] ^= k;
    k = uint8_t((k << 1) | (k >> 7));
  }
}

Bytes comboLogin(uint32_t id, uint32_t time, const char* user) {
  api_login_combo_t rq{};
  rq.prot_ver_major = 67;
  rq.prot_ver_minor = 2;
  rq.client_pid = 4242;
  rq.cipher_types = 2;
  rq.max_retries = 3;
  strncpy(rq.username, user, sizeof rq.username - 1);
  garbleByHand(reinterpret_cast<uint8_t*>(rq.username), sizeof rq.username, time);
  return request(id, 0, time, QEL_CAT_AUTH, QEL_FN_AUTH_LoginCombo, qel_xdr_api_login_combo_t, &rq);
}

Bytes challenge(uint32_t id, const Bytes& response, uint32_t flags = 0) {
  api_auth_challenge_rsp_req_t rq{};
  Bytes copy = response;
  rq.response_size = uint32_t(copy.size());
  rq.response = reinterpret_cast<char*>(copy.data());
  return request(id, flags, 0, QEL_CAT_AUTH, QEL_FN_AUTH_ChallengeRsp,
                 qel_xdr_api_auth_challenge_rsp_req_t, &rq);
}

Bytes clearText(const char* s) { return Bytes(s, s + strlen(s) + 1); }

constexpr size_t kLoginReplyLen = 52;      // all four block lengths zero
constexpr size_t kChallengeReplyLen = 24;  // no challenge block
constexpr size_t kUuidLen = 28;

const std::string kUsers = [] {
  GwsimConfig c;
  c.user("alice", "wonderland").set("Uid", 1001).set("Gid", 100).set("Groups", "100, 200")
      .set("Home", "/home/alice").flag("clear-password");
  c.user("bob", "builder").set("RetryCount", 2);
  c.user("carol", "pin").flag("next-token").flag("clear-password");
  c.user("dave", "s3cret").flag("next-token");
  return c.text();
}();

TEST(GwsimSmoke, ServerStateComesFirstThenSiteInfoFromConfig) {
  GwsimFixture gw(std::string(R"(
Server = {
  ProtocolLevel = 67.3
  Version = 9.8.7
  server_runmode = 2
  umask = 027
  port_min = 20000
  port_max = 20100
  rootUid = 5
  max_bg_stages = -1
  max_bg_vvs = 6
}
)"));
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  Sock s(gw.port());
  ASSERT_GE(s.fd, 0);

  Bytes st = s.recvUpTo(36 + 24);
  ASSERT_EQ(st.size(), 60u);
  Bytes expect = wire::B()
                     .raw("API_MSGH", 8)
                     .u32(0)              // request id
                     .u32(0x80000000u)    // body follows
                     .u32(be32(&st[16]))  // time: whatever gwsim chose
                     .u32(0)
                     .u32(0)
                     .u32(0)
                     .i32(0)
                     .u32(67)
                     .u32(3)
                     .u32(9)
                     .u32(8)
                     .u32(7)
                     .u32(0);
  EXPECT_EQ(wire::hex(st), wire::hex(expect));

  api_site_info_req_t si{67, 2};
  s.sendRaw(
      request(77, 0, 0, QEL_CAT_CONNECT, QEL_FN_CONN_SiteInfo, qel_xdr_api_site_info_req_t, &si));
  Reply r = readReply(s, 136);
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.sanity, "API_MSGH");
  EXPECT_EQ(r.id, 77u);
  EXPECT_EQ(r.flags, kBody);
  EXPECT_EQ(r.err, 0);
  ASSERT_EQ(r.body.size(), 136u);
  struct {
    int word;
    uint32_t value;
  } fields[] = {{1, 2},  {2, 9},    {3, 8},      {4, 7},      {5, 67},
                {6, 3},  {12, 2},   {13, 20000}, {14, 20100}, {21, 0xffffffffu},
                {24, 5}, {25, 027}, {26, 6}};
  for (auto& f : fields) EXPECT_EQ(be32(&r.body[size_t(f.word) * 4]), f.value) << "word " << f.word;
  EXPECT_TRUE(gw.waitForJournal("conn=1 cat=0x0100 fn=0x0001 id=77 flags=0x80000000"));
}

TEST(GwsimSmoke, ErrorRuleAnswersTheNthCallOnly) {
  GwsimFixture gw("Faults = {\n  Error = 0x0500 0x0711 2 -11\n}\n");
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  Sock s(gw.port());
  ASSERT_TRUE(readServerState(s).ok);
  std::vector<Bytes> ids;
  for (uint32_t id = 1; id <= 3; id++) {
    s.sendRaw(bare(id, QEL_CAT_CORE, QEL_FN_CORE_GetUniqueRequestID));
    Reply r = readReply(s, kUuidLen);
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.id, id);
    if (id == 2) {
      EXPECT_EQ(r.err, -11);
      EXPECT_EQ(r.flags, 0u) << "an error rule answers without a body";
      continue;
    }
    EXPECT_EQ(r.err, 0);
    EXPECT_EQ(r.flags, kBody);
    ASSERT_EQ(r.body.size(), kUuidLen);
    // u32 time_low, u16 time_mid, u16 time_hi_and_version, two bytes, six node bytes.
    EXPECT_EQ(be32(&r.body[8]) & 0xf000u, 0x4000u) << "random UUID version";
    EXPECT_EQ(be32(&r.body[12]) & 0xc0u, 0x80u) << "UUID variant";
    ids.push_back(r.body);
  }
  ASSERT_EQ(ids.size(), 2u);
  EXPECT_NE(ids[0], ids[1]);
  EXPECT_TRUE(gw.waitForJournal("id=2 flags=0x00000000 fault=error"));
}

TEST(GwsimSmoke, MessagesThatExpectNoReplyGetNone) {
  GwsimFixture gw("");
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  Sock s(gw.port());
  ASSERT_TRUE(readServerState(s).ok);
  s.sendRaw(bare(100, QEL_CAT_CORE, QEL_FN_CORE_GetUniqueRequestID, 0x20000000u));
  s.sendRaw(bare(101, QEL_CAT_CORE, QEL_FN_CORE_GetUniqueRequestID, 0x10000000u));
  // Unknown functions too: without a body they are only journalled.
  s.sendRaw(bare(102, 0x0777, 0x0001, 0x20000000u));
  s.sendRaw(bare(103, QEL_CAT_CORE, QEL_FN_CORE_GetUniqueRequestID));
  Reply r = readReply(s, kUuidLen);
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.id, 103u);
  for (const char* id : {"id=100 ", "id=101 ", "id=102 "}) EXPECT_TRUE(gw.waitForJournal(id)) << id;
}

TEST(GwsimSmoke, UnknownFunctionWithoutBodyGetsMinus5000AndTheConnectionGoesOn) {
  GwsimFixture gw("");
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  Sock s(gw.port());
  ASSERT_TRUE(readServerState(s).ok);
  s.sendRaw(bare(5, 0x0500, 0x7777));
  Reply r = readReply(s, 0);
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.id, 5u);
  EXPECT_EQ(r.err, -5000);
  EXPECT_EQ(r.flags, 0u);
  s.sendRaw(bare(6, QEL_CAT_CORE, QEL_FN_CORE_GetUniqueRequestID));
  r = readReply(s, kUuidLen);
  EXPECT_EQ(r.id, 6u);
  EXPECT_EQ(r.err, 0);
  EXPECT_TRUE(gw.waitForJournal("conn=1 cat=0x0500 fn=0x7777 id=5 flags=0x00000000 unknown"));
}

TEST(GwsimSmoke, UnknownFunctionWithBodyClosesTheConnection) {
  GwsimFixture gw("");
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  Sock s(gw.port());
  ASSERT_TRUE(readServerState(s).ok);
  Bytes m = header(9, kBody, 0, 0x0500, 0x7777);
  Bytes body = wire::B().u32(1).u32(2);
  m.insert(m.end(), body.begin(), body.end());
  s.sendRaw(m);
  EXPECT_TRUE(s.atEof());
  EXPECT_TRUE(gw.waitForJournal("id=9 flags=0x80000000 unknown"));
  EXPECT_TRUE(gw.waitForJournal("conn=1 close"));
}

TEST(GwsimSmoke, GarbageHeaderClosesTheConnection) {
  GwsimFixture gw("");
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  Sock s(gw.port());
  ASSERT_TRUE(readServerState(s).ok);
  Bytes m = bare(1, QEL_CAT_CORE, QEL_FN_CORE_GetUniqueRequestID);
  m[7] = 'X';
  s.sendRaw(m);
  EXPECT_TRUE(s.atEof());
  EXPECT_TRUE(gw.waitForJournal("conn=1 garbage-header"));
}

TEST(GwsimSmoke, LookupHomeDirAnswersTheConfiguredHomeElseMinus2) {
  GwsimFixture gw(kUsers);
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  Sock s(gw.port());
  ASSERT_TRUE(readServerState(s).ok);
  struct {
    const char* who;
    int32_t err;
  } cases[] = {{"alice", 0}, {"bob", -2}, {"nobody", -2}};
  uint32_t id = 10;
  for (auto& c : cases) {
    api_lookup_homedir_req_t rq{const_cast<char*>(c.who)};
    s.sendRaw(request(id, 0, 0, QEL_CAT_LOOKUP, QEL_FN_LOOKUP_LookupHomeDir,
                      qel_xdr_api_lookup_homedir_req_t, &rq));
    Reply r = readReply(s, 4 + 12);  // length word and "/home/alice" padded
    ASSERT_TRUE(r.ok) << c.who;
    EXPECT_EQ(r.id, id) << c.who;
    EXPECT_EQ(r.err, c.err) << c.who;
    if (c.err == 0) {
      EXPECT_EQ(r.flags, kBody);
      EXPECT_EQ(wire::hex(r.body), wire::hex(wire::B().str("/home/alice")));
    } else {
      EXPECT_EQ(r.flags, 0u) << c.who;
    }
    id++;
  }
}

TEST(GwsimSmoke, ClearPasswordLoginCountsTriesAndJournalsTheUser) {
  GwsimFixture gw(std::string("Server = {\n  RetryCount = 4\n}\n") + kUsers);
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  Sock s(gw.port());
  ASSERT_TRUE(readServerState(s).ok);
  s.sendRaw(comboLogin(1, 0x5a5a1234u, "alice"));
  Reply r = readReply(s, kLoginReplyLen);
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.err, 0);
  ASSERT_EQ(r.body.size(), kLoginReplyLen);
  EXPECT_EQ(be32(&r.body[0]), 0x2u) << "clear password wanted";
  EXPECT_EQ(int32_t(be32(&r.body[12])), 4) << "retry_count from Server";
  EXPECT_EQ(be32(&r.body[32]), 2u) << "cipher_to_use";

  s.sendRaw(challenge(2, clearText("rabbit")));
  r = readReply(s, kChallengeReplyLen);
  EXPECT_EQ(r.err, -10003);
  ASSERT_EQ(r.body.size(), kChallengeReplyLen);
  EXPECT_EQ(int32_t(be32(&r.body[0])), 3) << "retries left";
  s.sendRaw(challenge(3, clearText("wonderland")));
  r = readReply(s, kChallengeReplyLen);
  EXPECT_EQ(r.id, 3u);
  EXPECT_EQ(r.err, 0);
  EXPECT_TRUE(gw.waitForJournal("conn=1 cat=0x0200 fn=0x0104 id=1 flags=0x80000000 user=alice"));
}

TEST(GwsimSmoke, UnknownUserIsRefused) {
  GwsimFixture gw(kUsers);
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  Sock s(gw.port());
  ASSERT_TRUE(readServerState(s).ok);
  s.sendRaw(comboLogin(1, 7, "mallory"));
  Reply r = readReply(s, kLoginReplyLen);
  EXPECT_EQ(r.err, -10003);
  EXPECT_TRUE(gw.waitForJournal("user=mallory"));
}

TEST(GwsimSmoke, ErrorRuleOnLogInStillJournalsTheUser) {
  GwsimFixture gw(std::string(kUsers) + "Faults = {\n  Error = 0x0200 0x0104 1 -50200\n}\n");
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  Sock s(gw.port());
  ASSERT_TRUE(readServerState(s).ok);
  s.sendRaw(comboLogin(1, 31337, "alice"));
  Reply r = readReply(s, 0);
  EXPECT_EQ(r.err, -50200);
  EXPECT_EQ(r.flags, 0u);
  EXPECT_TRUE(gw.waitForJournal("fn=0x0104 id=1 flags=0x80000000 user=alice fault=error"));
}

TEST(GwsimSmoke, NextTokenUserGetsMinus42009OnceThenTheFlaggedResponseIsAccepted) {
  GwsimFixture gw(kUsers);
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  Sock s(gw.port());
  ASSERT_TRUE(readServerState(s).ok);
  s.sendRaw(comboLogin(1, 99, "carol"));
  ASSERT_EQ(readReply(s, kLoginReplyLen).err, 0);
  s.sendRaw(challenge(2, clearText("pin")));
  EXPECT_EQ(readReply(s, kChallengeReplyLen).err, -42009);
  s.sendRaw(challenge(3, clearText("123456")));  // without flag 0x2
  EXPECT_EQ(readReply(s, kChallengeReplyLen).err, -10003);
  s.sendRaw(challenge(4, clearText("123456"), 0x2));
  Reply r = readReply(s, kChallengeReplyLen);
  EXPECT_EQ(r.id, 4u);
  EXPECT_EQ(r.err, 0);
}

TEST(GwsimSmoke, KeyExchangeUsesGroup14AndTheEncryptedPasswordIsChecked) {
  ASSERT_EQ(quorex_OpenSSLInit(), 0);
  GwsimFixture gw(kUsers);
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  Sock s(gw.port());
  ASSERT_TRUE(readServerState(s).ok);
  s.sendRaw(comboLogin(1, 1700000000u, "bob"));
  Reply r = readReply(s, kLoginReplyLen);
  ASSERT_EQ(r.err, 0);
  EXPECT_EQ(be32(&r.body[0]), 0x1u) << "key exchange first";
  EXPECT_EQ(int32_t(be32(&r.body[12])), 2) << "bob's own retry count";

  s.sendRaw(bare(2, QEL_CAT_AUTH, QEL_FN_AUTH_GetDHParams));
  r = readReply(s, 4 + 256 + 4 + 4);
  ASSERT_EQ(r.err, 0);
  ASSERT_EQ(r.body.size(), 268u);
  BIGNUM* p = BN_get_rfc3526_prime_2048(nullptr);
  Bytes prime(256);
  BN_bn2binpad(p, prime.data(), 256);
  BN_free(p);
  EXPECT_EQ(be32(&r.body[0]), 256u);
  EXPECT_TRUE(std::equal(prime.begin(), prime.end(), r.body.begin() + 4)) << "RFC 3526 group 14";
  EXPECT_EQ(wire::hex(Bytes(r.body.begin() + 260, r.body.end())), "00000001 02000000");

  ASSERT_EQ(quorex_OpenSSLSetDHParams(prime.data(), 256, &r.body[264], 1), 0);
  int publen = 0;
  unsigned char* pub = nullptr;
  ASSERT_EQ(quorex_OpenSSLGenPubPrivKey(&publen, &pub), 0);
  api_exchg_pubkey_req_t pk{publen, reinterpret_cast<char*>(pub)};
  s.sendRaw(
      request(3, 0, 0, QEL_CAT_AUTH, QEL_FN_AUTH_ExchgPubkey, qel_xdr_api_exchg_pubkey_req_t, &pk));
  free(pub);
  Reply h = readReply(s, 4);
  ASSERT_EQ(h.err, 0);
  ASSERT_EQ(h.body.size(), 4u);
  uint32_t gwlen = be32(h.body.data());
  ASSERT_GT(gwlen, 0u);
  ASSERT_LE(gwlen, 256u);
  Bytes gwpub = s.recvUpTo((gwlen + 3) & ~3u);
  int seslen = 0;
  unsigned char* ses = nullptr;
  ASSERT_EQ(quorex_OpenSSLGenSessionKey(int(gwlen), gwpub.data(), &seslen, &ses), 0);
  std::vector<unsigned char> key(ses, ses + seslen);
  free(ses);

  auto encrypted = [&](const char* password) {
    unsigned char buf[513] = {};
    strcpy(reinterpret_cast<char*>(buf), password);
    unsigned char out[513 + QEL_CIPHER_PAD];
    int outlen = 0;
    EXPECT_EQ(quorex_Encrypt(2, int(key.size()), key.data(), 513, buf, &outlen, out), 0);
    EXPECT_EQ(outlen, 528);
    return Bytes(out, out + outlen);
  };
  s.sendRaw(challenge(4, encrypted("digger")));
  r = readReply(s, kChallengeReplyLen);
  EXPECT_EQ(r.err, -10003);
  EXPECT_EQ(int32_t(be32(&r.body[0])), 1);
  s.sendRaw(challenge(5, encrypted("builder")));
  r = readReply(s, kChallengeReplyLen);
  EXPECT_EQ(r.id, 5u);
  EXPECT_EQ(r.err, 0);
}

// Sends the public value, reads gwsim's and returns the session key made
// with the process's key pair (the caller serialises the library's DH).
std::vector<unsigned char> exchangeKeys(const Sock& s, uint32_t id, const Bytes& pub,
                                        std::mutex* dhLock) {
  Bytes copy = pub;
  api_exchg_pubkey_req_t pk{int32_t(copy.size()), reinterpret_cast<char*>(copy.data())};
  s.sendRaw(request(id, 0, 0, QEL_CAT_AUTH, QEL_FN_AUTH_ExchgPubkey, qel_xdr_api_exchg_pubkey_req_t,
                    &pk));
  Reply h = readReply(s, 4);
  if (h.err != 0 || h.body.size() != 4) return {};
  uint32_t gwlen = be32(h.body.data());
  if (gwlen == 0 || gwlen > 256) return {};
  Bytes gwpub = s.recvUpTo((gwlen + 3) & ~3u);
  int seslen = 0;
  unsigned char* ses = nullptr;
  std::lock_guard<std::mutex> g(*dhLock);
  if (quorex_OpenSSLGenSessionKey(int(gwlen), gwpub.data(), &seslen, &ses) != 0) return {};
  std::vector<unsigned char> key(ses, ses + seslen);
  free(ses);
  return key;
}

TEST(GwsimSmoke, ManyConnectionsLogInWithKeyExchangesAtOnce) {
  ASSERT_EQ(quorex_OpenSSLInit(), 0);
  BIGNUM* p = BN_get_rfc3526_prime_2048(nullptr);
  Bytes prime(256);
  BN_bn2binpad(p, prime.data(), 256);
  BN_free(p);
  const unsigned char g = 2;
  ASSERT_EQ(quorex_OpenSSLSetDHParams(prime.data(), 256, &g, 1), 0);
  int publen = 0;
  unsigned char* pubp = nullptr;
  ASSERT_EQ(quorex_OpenSSLGenPubPrivKey(&publen, &pubp), 0);
  Bytes pub(pubp, pubp + publen);
  free(pubp);

  GwsimFixture gw(kUsers);
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  std::mutex dhLock;
  constexpr int kThreads = 8;
  int32_t results[kThreads];
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; t++) {
    results[t] = 1;
    threads.emplace_back([&, t] {
      Sock s(gw.port());
      if (!readServerState(s).ok) return;
      s.sendRaw(comboLogin(1, uint32_t(1000 + t), "dave"));
      if (readReply(s, kLoginReplyLen).err != 0) return;
      std::vector<unsigned char> key = exchangeKeys(s, 2, pub, &dhLock);
      if (key.empty()) return;
      unsigned char buf[513] = {};
      strcpy(reinterpret_cast<char*>(buf), "s3cret");
      unsigned char out[513 + QEL_CIPHER_PAD];
      int outlen = 0;
      if (quorex_Encrypt(2, int(key.size()), key.data(), 513, buf, &outlen, out) != 0) return;
      s.sendRaw(challenge(3, Bytes(out, out + outlen)));
      results[t] = readReply(s, kChallengeReplyLen).err;
    });
  }
  for (auto& th : threads) th.join();
  for (int t = 0; t < kThreads; t++) EXPECT_EQ(results[t], -42009) << "thread " << t;
}

TEST(GwsimSmoke, ReplyFaultsHitTheNthReply) {
  struct {
    const char* rule;
    size_t minBytes, maxBytes;  // bytes of the faulty reply that arrive
    bool closes;
    bool badSanity;
    bool unsolicited;
  } cases[] = {
      {"DropHeader = 0x0500 0x0711 2", 1, 35, true, false, false},
      {"DropBody = 0x0500 0x0711 2", 37, 36 + kUuidLen - 1, true, false, false},
      {"BadSanity = 0x0500 * 2", 36 + kUuidLen, 36 + kUuidLen, false, true, false},
      {"Unsolicited = * 0x0711 2+", 36 + kUuidLen, 36 + kUuidLen, false, false, true},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.rule);
    GwsimFixture gw(std::string("Faults = {\n  ") + c.rule + "\n}\n");
    ASSERT_TRUE(gw.running()) << gw.stderrText();
    Sock s(gw.port());
    ASSERT_TRUE(readServerState(s).ok);
    s.sendRaw(bare(1, QEL_CAT_CORE, QEL_FN_CORE_GetUniqueRequestID));
    Reply first = readReply(s, kUuidLen);
    EXPECT_EQ(first.sanity, "API_MSGH");
    EXPECT_EQ(first.flags, kBody);
    EXPECT_EQ(first.body.size(), kUuidLen);
    s.sendRaw(bare(2, QEL_CAT_CORE, QEL_FN_CORE_GetUniqueRequestID));
    Bytes got = s.recvUpTo(36 + kUuidLen);
    EXPECT_GE(got.size(), c.minBytes);
    EXPECT_LE(got.size(), c.maxBytes);
    if (c.closes) {
      EXPECT_TRUE(s.atEof());
      continue;
    }
    ASSERT_EQ(got.size(), 36 + kUuidLen);
    EXPECT_EQ(std::string(got.begin(), got.begin() + 8) == "API_MSGH", !c.badSanity);
    EXPECT_EQ(be32(&got[8]), 2u);
    EXPECT_EQ((be32(&got[12]) & 0x4u) != 0, c.unsolicited);
  }
}

TEST(GwsimSmoke, DownRuleCoversTheFirstConnectionsOnly) {
  GwsimFixture gw("Faults = {\n  Down = 2\n  ProtocolLevel = 67.1\n}\n");
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  for (uint32_t down : {1u, 1u, 0u}) {
    Sock s(gw.port());
    Reply r = readServerState(s);
    ASSERT_EQ(r.body.size(), 24u);
    EXPECT_EQ(be32(&r.body[4]), 1u) << "protocol level 67.1";
    EXPECT_EQ(be32(&r.body[20]), down);
  }
  EXPECT_TRUE(gw.waitForJournal("conn=2 open down"));
  EXPECT_TRUE(gw.waitForJournal("conn=3 open"));
}

TEST(GwsimSmoke, DelayRuleHoldsTheReply) {
  GwsimFixture gw("Faults = {\n  Delay = 0x0500 0x0711 1 300\n}\n");
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  Sock s(gw.port());
  ASSERT_TRUE(readServerState(s).ok);
  auto t0 = std::chrono::steady_clock::now();
  s.sendRaw(bare(1, QEL_CAT_CORE, QEL_FN_CORE_GetUniqueRequestID));
  ASSERT_EQ(readReply(s, kUuidLen).id, 1u);
  auto ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0);
  EXPECT_GE(ms.count(), 300);
}

TEST(GwsimSmoke, ShuffleRuleReordersHeldRepliesAndLetsThemGoWhenIdle) {
  GwsimFixture gw("Faults = {\n  Shuffle = 8 50\n}\n");
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  Sock s(gw.port());
  ASSERT_TRUE(readServerState(s).ok);
  bool reordered = false;
  uint32_t id = 1;
  for (int round = 0; round < 4; round++) {
    Bytes batch;
    std::set<uint32_t> sent;
    for (int i = 0; i < 8; i++, id++) {
      Bytes m = bare(id, QEL_CAT_CORE, QEL_FN_CORE_GetUniqueRequestID);
      batch.insert(batch.end(), m.begin(), m.end());
      sent.insert(id);
    }
    s.sendRaw(batch);
    std::vector<uint32_t> order;
    for (int i = 0; i < 8; i++) order.push_back(readReply(s, kUuidLen).id);
    EXPECT_EQ(std::set<uint32_t>(order.begin(), order.end()), sent);
    if (!std::is_sorted(order.begin(), order.end())) reordered = true;
  }
  EXPECT_TRUE(reordered) << "32 replies in 4 batches never left their order";
  // Fewer than the count: they go once the connection is idle.
  s.sendRaw(bare(1000, QEL_CAT_CORE, QEL_FN_CORE_GetUniqueRequestID));
  s.sendRaw(bare(1001, QEL_CAT_CORE, QEL_FN_CORE_GetUniqueRequestID));
  std::set<uint32_t> got = {readReply(s, kUuidLen).id, readReply(s, kUuidLen).id};
  EXPECT_EQ(got, (std::set<uint32_t>{1000, 1001}));
}

TEST(GwsimSmoke, ConnectionsAreServedIndependentlyAndStopIsClean) {
  GwsimFixture gw("");
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  Sock a(gw.port());
  ASSERT_TRUE(readServerState(a).ok);
  Bytes m = bare(1, QEL_CAT_CORE, QEL_FN_CORE_GetUniqueRequestID);
  a.sendRaw(Bytes(m.begin(), m.begin() + 20));  // a stalls inside a header
  Sock b(gw.port());
  ASSERT_TRUE(readServerState(b).ok);
  b.sendRaw(bare(2, QEL_CAT_CORE, QEL_FN_CORE_GetUniqueRequestID));
  EXPECT_EQ(readReply(b, kUuidLen).id, 2u);
  a.sendRaw(Bytes(m.begin() + 20, m.end()));
  EXPECT_EQ(readReply(a, kUuidLen).id, 1u);
  a.sendRaw(Bytes(m.begin(), m.begin() + 10));
  EXPECT_EQ(gw.stop(), 0) << gw.stderrText();
  EXPECT_TRUE(a.atEof());
  std::vector<std::string> lines = gw.journalLines();
  EXPECT_NE(std::find(lines.begin(), lines.end(), "conn=1 close"), lines.end());
  EXPECT_NE(std::find(lines.begin(), lines.end(), "conn=2 close"), lines.end());
}

TEST(GwsimSmoke, BadConfigurationStopsGwsimWithItsLine) {
  struct {
    const char* text;
    const char* message;
  } cases[] = {
      {"Faults = {\n  Explode = 1\n}\n", "gwsim.conf:2: unknown fault rule Explode"},
      {"Faults = {\n  Error = 0x0500 0x0711 0 -5\n}\n", "gwsim.conf:2: bad NTH"},
      {"Server = {\n  umask = 9x\n}\n", "gwsim.conf:2: bad number for umask"},
      {"Users = {\n  eve = {\n    Shoe = 1\n  }\n}\n", "gwsim.conf:3: unknown user key Shoe"},
      {"Servers = {\n}\n", "gwsim.conf:1: unknown block Servers"},
      {"Movers = {\n  OneFrom = read 1 localhost\n}\n", "gwsim.conf:2: OneFrom wants an IPv4 address"},
      {"Movers = {\n  Understate = read 1\n}\n", "gwsim.conf:2: Understate wants read|write|* NTH VALUE"},
      {"Movers = {\n  CloseBetween = sideways 1\n}\n", "gwsim.conf:2: bad FUNCTION (read, write or *)"},
  };
  for (auto& c : cases) {
    GwsimFixture gw(c.text);
    EXPECT_FALSE(gw.running()) << c.text;
    EXPECT_EQ(gw.stop(), 2) << c.text;
    EXPECT_NE(gw.stderrText().find(c.message), std::string::npos) << gw.stderrText();
  }
}

}  // namespace
