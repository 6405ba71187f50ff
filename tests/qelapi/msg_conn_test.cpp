// Connection, log-in and su message bodies: golden wire bytes written out by
// hand, round trips for the rest, and refusal of malformed input.
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <functional>
#include <string>
#include <type_traits>
#include <vector>

#include "codec_cases.h"
#include "msg_conn.h"
#include "wire.h"

using wire::B;
using wire::Bytes;
using wire::Codec;
using wire::encodes;
using wire::prefix;
using wire::release;

namespace {

template <typename T>
Bytes enc(Codec<T> codec, T* rec) {
  bool ok = false;
  Bytes b = wire::encode(codec, rec, &ok);
  EXPECT_TRUE(ok);
  return b;
}

// A decode counts as accepted only when it used the whole input.
template <typename T>
wire::Decoder by(Codec<T> codec) {
  return wire::decoder(codec, true);
}

std::string str(const char* p, size_t n) { return std::string(p, n); }

}  // namespace

// ---- golden wire forms ----

TEST(XdrConn, ServerStateReplyIsSixWords) {
  api_server_state_rply_t r{67, 2, 7, 4, 3, 1};
  Bytes want = B().u32(67).u32(2).u32(7).u32(4).u32(3).u32(1);
  ASSERT_EQ(want.size(), 24u);
  EXPECT_EQ(wire::hex(enc(qel_xdr_api_server_state_rply_t, &r)), wire::hex(want));

  api_server_state_rply_t back{};
  size_t used = 0;
  ASSERT_TRUE(wire::decode(qel_xdr_api_server_state_rply_t, want, &back, &used));
  EXPECT_EQ(used, 24u);
  EXPECT_EQ(back.sv_prot_major, 67u);
  EXPECT_EQ(back.sv_prot_minor, 2u);
  EXPECT_EQ(back.sv_major, 7u);
  EXPECT_EQ(back.sv_minor, 4u);
  EXPECT_EQ(back.sv_patch, 3u);
  EXPECT_EQ(back.quorDownFlag, 1u);
}

TEST(XdrConn, SiteInformationIs34WordsWithSignedStageLimit) {
  quor_site_info_t s{};
  s.server_flags = 0x1;
  s.server_runmode = 2;
  s.sv_major = 7;
  s.sv_minor = 4;
  s.sv_patch = 3;
  s.sv_prot_major = 67;
  s.sv_prot_minor = 2;
  s.quor_level = 753;
  s.site_quor_flags = 0x10;
  s.quor_patch_flags = 0x20;
  s.auth_flags = 0x250;
  s.auth_crypto_card = 1;
  s.encryption_methods = 2;
  s.port_min = 20000;
  s.port_max = 20100;
  s.realm_id = 9;
  s.authz_flags = 0x40;
  s.authz_rsrved1 = 0xA1;
  s.authz_rsrved2 = 0xA2;
  s.accounting_style = 1;
  s.acct_validation_flag = 3;
  s.max_bg_stages = -15;
  s.max_mbytes_per_iod = 4096;
  s.app_copies = 2;
  s.rootUid = 0xFFFFFFFE;
  s.umask = 022;
  s.max_bg_vvs = 8;
  s.bg_stage_flags = 0x5;
  s.startupCOS = 12;
  s.future5 = 0xF5;
  s.future6 = 0xF6;
  s.future7 = 0xF7;
  s.future8 = 0xF8;
  s.future9 = 0xF9;

  Bytes want = B()
                   .u32(0x1)
                   .u32(2)
                   .u32(7)
                   .u32(4)
                   .u32(3)
                   .u32(67)
                   .u32(2)
                   .u32(753)
                   .u32(0x10)
                   .u32(0x20)
                   .u32(0x250)
                   .u32(1)
                   .u32(2)
                   .u32(20000)
                   .u32(20100)
                   .u32(9)
                   .u32(0x40)
                   .u32(0xA1)
                   .u32(0xA2)
                   .u32(1)
                   .u32(3)
                   .raw({0xFF, 0xFF, 0xFF, 0xF1})  // -15
                   .u32(4096)
                   .u32(2)
                   .u32(0xFFFFFFFE)
                   .u32(022)
                   .u32(8)
                   .u32(0x5)
                   .u32(12)
                   .u32(0xF5)
                   .u32(0xF6)
                   .u32(0xF7)
                   .u32(0xF8)
                   .u32(0xF9);
  ASSERT_EQ(want.size(), 136u);
  EXPECT_EQ(wire::hex(enc(qel_xdr_quor_site_info_t, &s)), wire::hex(want));
  EXPECT_EQ(wire::hex(enc(qel_xdr_api_site_info_rply_t, &s)), wire::hex(want));

  // Every field is a 4-byte word in memory, so the whole record compares.
  quor_site_info_t back{};
  size_t used = 0;
  ASSERT_TRUE(wire::decode(qel_xdr_api_site_info_rply_t, want, &back, &used));
  EXPECT_EQ(used, 136u);
  EXPECT_EQ(back.max_bg_stages, -15);
  EXPECT_EQ(memcmp(&back, &s, sizeof s), 0);

  api_site_info_req_t req{67, 2};
  EXPECT_EQ(wire::hex(enc(qel_xdr_api_site_info_req_t, &req)), wire::hex(B().u32(67).u32(2)));
}

TEST(XdrConn, LoginReplyWithoutBlocksIs13Words) {
  api_login_rply_t r{};
  r.flags = 0x40000000;
  r.ogs_plugin_flags = 0x3;
  r.error_code = -51040;
  r.retry_count = 2;
  r.retry_time = 0x0000000500000007ull;
  r.expire_time = 0x61000000;
  r.cipher_types = 2;
  r.cipher_to_use = 2;
  // Local only: never on the wire.
  r.salt_len = 8;
  memcpy(r.salt, "LOCALONE", 8);

  Bytes want = B()
                   .u32(0x40000000)
                   .u32(0x3)
                   .i32(-51040)
                   .i32(2)
                   .u32(5)  // retry_time, high word first
                   .u32(7)
                   .u32(0x61000000)
                   .u32(2)
                   .u32(2)
                   .u32(0)   // challenge_size
                   .u32(0)   // user_msg_len
                   .u32(0)   // retry_packet_len
                   .u32(0);  // hmac_len
  ASSERT_EQ(want.size(), 52u);
  EXPECT_EQ(wire::hex(enc(qel_xdr_api_login_rply_t, &r)), wire::hex(want));

  api_login_rply_t back{};
  size_t used = 0;
  ASSERT_TRUE(wire::decode(qel_xdr_api_login_rply_t, want, &back, &used));
  EXPECT_EQ(used, 52u);
  EXPECT_EQ(back.retry_time, 0x0000000500000007ull);
  EXPECT_EQ(back.error_code, -51040);
  EXPECT_EQ(back.expire_time, 0x61000000u);
  EXPECT_EQ(back.salt_len, 0);
  EXPECT_EQ(back.salt[0], 0);
  EXPECT_EQ(back.challenge, nullptr);
  EXPECT_EQ(back.user_msg_buf, nullptr);
  EXPECT_EQ(back.retry_packet, nullptr);
  EXPECT_EQ(back.hmac_packet, nullptr);
  release(qel_xdr_api_login_rply_t, &back);
}

TEST(XdrConn, LoginReplyWithAllBlocksPadsEach) {
  char challenge[] = "abc";
  char msg[] = "hello";
  char packet[] = {'\xEE'};
  char hmac[] = "1234567";
  api_login_rply_t r{};
  r.flags = 0x20000000;
  r.ogs_plugin_flags = 0;
  r.error_code = -50220;
  r.retry_count = -1;
  r.retry_time = 0xFFFFFFFF00000001ull;
  r.expire_time = 1;
  r.cipher_types = 6;
  r.cipher_to_use = 4;
  r.challenge_size = 3;
  r.challenge = challenge;
  r.user_msg_len = 5;
  r.user_msg_buf = msg;
  r.retry_packet_len = 1;
  r.retry_packet = packet;
  r.hmac_len = 7;
  r.hmac_packet = hmac;

  Bytes want = B()
                   .u32(0x20000000)
                   .u32(0)
                   .i32(-50220)
                   .raw({0xFF, 0xFF, 0xFF, 0xFF})
                   .u32(0xFFFFFFFF)
                   .u32(1)
                   .u32(1)
                   .u32(6)
                   .u32(4)
                   .u32(3)
                   .raw({'a', 'b', 'c', 0})
                   .u32(5)
                   .raw({'h', 'e', 'l', 'l', 'o', 0, 0, 0})
                   .u32(1)
                   .raw({0xEE, 0, 0, 0})
                   .u32(7)
                   .raw({'1', '2', '3', '4', '5', '6', '7', 0});
  ASSERT_EQ(want.size(), 76u);
  EXPECT_EQ(wire::hex(enc(qel_xdr_api_login_rply_t, &r)), wire::hex(want));

  api_login_rply_t back{};
  size_t used = 0;
  ASSERT_TRUE(wire::decode(qel_xdr_api_login_rply_t, want, &back, &used));
  EXPECT_EQ(used, 76u);
  EXPECT_EQ(back.retry_count, -1);
  EXPECT_EQ(back.retry_time, 0xFFFFFFFF00000001ull);
  EXPECT_EQ(back.cipher_to_use, 4u);
  ASSERT_EQ(back.challenge_size, 3u);
  EXPECT_EQ(str(back.challenge, 3), "abc");
  ASSERT_EQ(back.user_msg_len, 5u);
  EXPECT_EQ(str(back.user_msg_buf, 5), "hello");
  ASSERT_EQ(back.retry_packet_len, 1u);
  EXPECT_EQ(back.retry_packet[0], '\xEE');
  ASSERT_EQ(back.hmac_len, 7u);
  EXPECT_EQ(str(back.hmac_packet, 7), "1234567");
  release(qel_xdr_api_login_rply_t, &back);
  EXPECT_EQ(back.challenge, nullptr);
  EXPECT_EQ(back.hmac_packet, nullptr);

  // A length with its block missing is a short stream, not an empty block.
  EXPECT_FALSE(
      wire::decodes(qel_xdr_api_login_rply_t, prefix(want, want.size() - 8), true));
}

TEST(XdrConn, ChallengeReplySendsSizeBeforeSalt) {
  char challenge[] = "12345";
  api_auth_challenge_rsp_rply_t r{};
  r.retries = 2;
  r.expire_time = 0x1234;
  r.salt_len = 8;
  memcpy(r.salt, "SALTsalt", 8);
  r.challenge_size = 5;
  r.challenge = challenge;

  Bytes want = B()
                   .i32(2)
                   .u32(0x1234)
                   .u32(5)  // challenge_size
                   .i32(8)  // salt_len
                   .raw({'S', 'A', 'L', 'T', 's', 'a', 'l', 't'})
                   .raw({'1', '2', '3', '4', '5', 0, 0, 0});
  ASSERT_EQ(want.size(), 32u);
  EXPECT_EQ(wire::hex(enc(qel_xdr_api_auth_challenge_rsp_rply_t, &r)), wire::hex(want));

  api_auth_challenge_rsp_rply_t back{};
  ASSERT_TRUE(wire::decode(qel_xdr_api_auth_challenge_rsp_rply_t, want, &back));
  EXPECT_EQ(back.retries, 2);
  EXPECT_EQ(back.expire_time, 0x1234u);
  EXPECT_EQ(back.challenge_size, 5u);
  EXPECT_EQ(back.salt_len, 8);
  EXPECT_EQ(str(back.salt, 8), "SALTsalt");
  ASSERT_NE(back.challenge, nullptr);
  EXPECT_EQ(str(back.challenge, 5), "12345");
  release(qel_xdr_api_auth_challenge_rsp_rply_t, &back);

  // Without a challenge the record ends after the salt.
  api_auth_challenge_rsp_rply_t none{};
  none.retries = 0;
  none.salt_len = 0;
  Bytes nw = B().i32(0).u32(0).u32(0).i32(0).zeros(8);
  EXPECT_EQ(wire::hex(enc(qel_xdr_api_auth_challenge_rsp_rply_t, &none)), wire::hex(nw));
  api_auth_challenge_rsp_rply_t nb{};
  size_t used = 0;
  ASSERT_TRUE(wire::decode(qel_xdr_api_auth_challenge_rsp_rply_t, nw, &nb, &used));
  EXPECT_EQ(used, 24u);
  EXPECT_EQ(nb.challenge, nullptr);
}

TEST(XdrConn, ComboLoginSendsWholeNameField) {
  api_login_combo_t r{};
  r.prot_ver_major = 67;
  r.prot_ver_minor = 2;
  r.client_pid = 4242;
  r.cipher_types = 2;
  r.max_retries = 3;
  memcpy(r.username, "alice", 5);
  r.username[256] = 'Z';  // bytes after the NUL travel too

  Bytes name(260, 0);
  memcpy(name.data(), "alice", 5);
  name[256] = 'Z';
  Bytes want = B().u32(67).u32(2).u32(4242).u32(2).i32(3).cat(name);
  ASSERT_EQ(want.size(), 280u);
  EXPECT_EQ(wire::hex(enc(qel_xdr_api_login_combo_t, &r)), wire::hex(want));

  api_login_combo_t back{};
  size_t used = 0;
  ASSERT_TRUE(wire::decode(qel_xdr_api_login_combo_t, want, &back, &used));
  EXPECT_EQ(used, 280u);
  EXPECT_EQ(back.client_pid, 4242u);
  EXPECT_EQ(back.max_retries, 3);
  EXPECT_EQ(memcmp(back.username, r.username, sizeof r.username), 0);
}

TEST(XdrConn, ReconnectSendsEmptyPacketAndStillAllocates) {
  char hmac[] = "xyz";
  api_login_reconnect_t r{};
  r.prot_ver_major = 67;
  r.prot_ver_minor = 2;
  r.client_pid = 77;
  r.retry_packet_len = 0;
  r.retry_packet = nullptr;
  r.hmac_len = 3;
  r.hmac_packet = hmac;

  Bytes want = B().u32(67).u32(2).u32(77).u32(0).u32(3).raw({'x', 'y', 'z', 0});
  ASSERT_EQ(want.size(), 24u);
  EXPECT_EQ(wire::hex(enc(qel_xdr_login_reconnect_t, &r)), wire::hex(want));

  api_login_reconnect_t back{};
  size_t used = 0;
  ASSERT_TRUE(wire::decode(qel_xdr_login_reconnect_t, want, &back, &used));
  EXPECT_EQ(used, 24u);
  EXPECT_EQ(back.client_pid, 77u);
  EXPECT_EQ(back.retry_packet_len, 0u);
  EXPECT_NE(back.retry_packet, nullptr);
  ASSERT_EQ(back.hmac_len, 3u);
  EXPECT_EQ(str(back.hmac_packet, 3), "xyz");
  release(qel_xdr_login_reconnect_t, &back);

  // Both empty: five words, two blocks.
  Bytes both = B().u32(67).u32(2).u32(77).u32(0).u32(0);
  api_login_reconnect_t b2{};
  ASSERT_TRUE(wire::decode(qel_xdr_login_reconnect_t, both, &b2));
  EXPECT_NE(b2.retry_packet, nullptr);
  EXPECT_NE(b2.hmac_packet, nullptr);
  release(qel_xdr_login_reconnect_t, &b2);
}

TEST(XdrConn, SudoRequestWithAndWithoutCommand) {
  ozugw_sudo_init_req_t r{};
  r.flags = 1;
  r.auth_methods = 0x252;
  r.cipher_types = 2;
  strcpy(r.runas_principal, "root");
  r.cmd_length = 0;

  Bytes head = B().u32(1).u32(0x252).u32(2).u32(5).raw({'r', 'o', 'o', 't', 0, 0, 0, 0});
  Bytes bare = B().cat(head).u32(0);
  ASSERT_EQ(bare.size(), 28u);
  EXPECT_EQ(wire::hex(enc(qel_xdr_ozugw_sudo_init_req_t, &r)), wire::hex(bare));
  ozugw_sudo_init_req_t back{};
  size_t used = 0;
  ASSERT_TRUE(wire::decode(qel_xdr_ozugw_sudo_init_req_t, bare, &back, &used));
  EXPECT_EQ(used, 28u);
  EXPECT_STREQ(back.runas_principal, "root");
  EXPECT_EQ(back.cmd, nullptr);

  char cmd[] = "ls -l";
  r.cmd_length = 5;
  r.cmd = cmd;
  Bytes with = B().cat(head).u32(5).u32(5).raw({'l', 's', ' ', '-', 'l', 0, 0, 0});
  ASSERT_EQ(with.size(), 40u);
  EXPECT_EQ(wire::hex(enc(qel_xdr_ozugw_sudo_init_req_t, &r)), wire::hex(with));
  ozugw_sudo_init_req_t b2{};
  ASSERT_TRUE(wire::decode(qel_xdr_ozugw_sudo_init_req_t, with, &b2, &used));
  EXPECT_EQ(used, 40u);
  EXPECT_EQ(b2.cmd_length, 5u);
  ASSERT_NE(b2.cmd, nullptr);
  EXPECT_STREQ(b2.cmd, "ls -l");
  release(qel_xdr_ozugw_sudo_init_req_t, &b2);

  // cmd_length is only a bound: a shorter command carries its own length.
  char id[] = "id";
  r.cmd_length = 9;
  r.cmd = id;
  Bytes shorter = B().cat(head).u32(9).u32(2).raw({'i', 'd', 0, 0});
  EXPECT_EQ(wire::hex(enc(qel_xdr_ozugw_sudo_init_req_t, &r)), wire::hex(shorter));
  ozugw_sudo_init_req_t b3{};
  ASSERT_TRUE(wire::decode(qel_xdr_ozugw_sudo_init_req_t, shorter, &b3));
  EXPECT_STREQ(b3.cmd, "id");
  release(qel_xdr_ozugw_sudo_init_req_t, &b3);
}

TEST(XdrConn, SuReplyWithoutChallengeLeavesPointer) {
  ozugw_su_init_rply_t r{};
  r.flags = 0x4;
  r.authmethod = 1;
  r.cipher_type = 2;
  memcpy(r.salt, "abLOCALx", 8);  // only "ab" travels
  r.challenge_size = 0;

  Bytes want = B().u32(0x4).u32(1).u32(2).raw({'a', 'b', 0, 0}).u32(0);
  ASSERT_EQ(want.size(), 20u);
  EXPECT_EQ(wire::hex(enc(qel_xdr_ozugw_su_init_rply_t, &r)), wire::hex(want));

  char mine[4] = "own";
  ozugw_su_init_rply_t back{};
  back.challenge = mine;
  size_t used = 0;
  ASSERT_TRUE(wire::decode(qel_xdr_ozugw_su_init_rply_t, want, &back, &used));
  EXPECT_EQ(used, 20u);
  EXPECT_EQ(back.challenge, mine);
  EXPECT_EQ(back.authmethod, 1u);
  EXPECT_EQ(str(back.salt, 8), str("ab\0\0\0\0\0\0", 8));
  back.challenge = nullptr;

  // The sudo reply has the same form; a challenge is allocated at its size.
  char ch[] = "CHALLENGE";
  r.challenge_size = 9;
  r.challenge = ch;
  Bytes withc = B()
                    .u32(0x4)
                    .u32(1)
                    .u32(2)
                    .raw({'a', 'b', 0, 0})
                    .u32(9)
                    .raw({'C', 'H', 'A', 'L', 'L', 'E', 'N', 'G', 'E', 0, 0, 0});
  EXPECT_EQ(wire::hex(enc(qel_xdr_ozugw_sudo_init_rply_t, &r)), wire::hex(withc));
  ozugw_sudo_init_rply_t b2{};
  ASSERT_TRUE(wire::decode(qel_xdr_ozugw_sudo_init_rply_t, withc, &b2));
  ASSERT_NE(b2.challenge, nullptr);
  EXPECT_EQ(str(b2.challenge, 9), "CHALLENGE");
  release(qel_xdr_ozugw_sudo_init_rply_t, &b2);
}

TEST(XdrConn, ApiConfigSkipsApplication) {
  api_config_t c{};
  c.Flags = 0x80000001;
  c.DebugValue = -1;
  c.TransferType = 2;
  c.NumRetries = -1;
  c.BusyDelay = 15;
  c.BusyRetries = 3;
  c.TotalDelay = 600;
  c.LimitedRetries = 4;
  c.MaxConnections = 8;
  c.ReuseDataConnections = 1;
  c.UsePortRange = 0;
  c.RetryStageInp = 1;
  c.DMAPWriteUpdates = 5;
  c.AuthnMech = quor_authn_mech_unix;
  c.RPCProtLevel = quor_rpc_prot_pkt_integ;
  strcpy(c.DescName, "ozu client");
  strcpy(c.Application, "secret-app");
  strcpy(c.DebugPath, "/var/tmp/ozu.dbg");
  strcpy(c.HostName, "node7.example");
  c.XMLSize = 512;

  Bytes want = B()
                   .u32(0x80000001)
                   .i32(-1)
                   .i32(2)
                   .i32(-1)
                   .i32(15)
                   .i32(3)
                   .i32(600)
                   .i32(4)
                   .i32(8)
                   .i32(1)
                   .i32(0)
                   .i32(1)
                   .i32(5)
                   .u32(2)  // unix
                   .u32(3)  // pkt_integ
                   .u32(11)
                   .raw({'o', 'z', 'u', ' ', 'c', 'l', 'i', 'e', 'n', 't', 0, 0})
                   .u32(17)
                   .raw({'/', 'v', 'a', 'r', '/', 't', 'm', 'p', '/', 'o', 'z', 'u', '.', 'd', 'b',
                         'g', 0, 0, 0, 0})
                   .u32(14)
                   .raw({'n', 'o', 'd', 'e', '7', '.', 'e', 'x', 'a', 'm', 'p', 'l', 'e', 0, 0, 0})
                   .u32(512);
  ASSERT_EQ(want.size(), 15 * 4 + 16 + 24 + 20 + 4u);
  EXPECT_EQ(wire::hex(enc(qel_xdr_api_config, &c)), wire::hex(want));

  api_config_t back{};
  size_t used = 0;
  ASSERT_TRUE(wire::decode(qel_xdr_api_config, want, &back, &used));
  EXPECT_EQ(used, want.size());
  EXPECT_EQ(back.Flags, 0x80000001u);
  EXPECT_EQ(back.DebugValue, -1);
  EXPECT_EQ(back.TotalDelay, 600);
  EXPECT_EQ(back.DMAPWriteUpdates, 5);
  EXPECT_EQ(back.AuthnMech, quor_authn_mech_unix);
  EXPECT_EQ(back.RPCProtLevel, quor_rpc_prot_pkt_integ);
  EXPECT_STREQ(back.DescName, "ozu client");
  EXPECT_STREQ(back.Application, "");
  EXPECT_STREQ(back.DebugPath, "/var/tmp/ozu.dbg");
  EXPECT_STREQ(back.HostName, "node7.example");
  EXPECT_EQ(back.XMLSize, 512u);

  // A value outside the named ones passes through unchanged.
  Bytes odd = want;
  odd[13 * 4 + 3] = 9;
  ASSERT_TRUE(wire::decode(qel_xdr_api_config, odd, &back));
  EXPECT_EQ(static_cast<int32_t>(back.AuthnMech), 9);
}

TEST(XdrConn, MotdZeroLengthNullsText) {
  char stale[4] = "old";
  api_motd_rply_t r{};
  r.msg_text = stale;
  size_t used = 0;
  ASSERT_TRUE(wire::decode(qel_xdr_api_motd_rply_t, B().u32(0), &r, &used));
  EXPECT_EQ(used, 4u);
  EXPECT_EQ(r.msg_text, nullptr);

  api_motd_rply_t t{};
  ASSERT_TRUE(wire::decode(qel_xdr_api_motd_rply_t, B().u32(6).raw({'W', 'e', 'l', 'c', 'o', 'm'}),
                           &t));
  ASSERT_NE(t.msg_text, nullptr);
  EXPECT_EQ(str(t.msg_text, 6), "Welcom");
  release(qel_xdr_api_motd_rply_t, &t);
}

TEST(XdrConn, DiffieHellmanBlocksAllocatedWhenEmpty) {
  api_get_dh_params_rply_t r{};
  ASSERT_TRUE(wire::decode(qel_xdr_api_get_dh_params_rply_t, B().i32(0).i32(0), &r));
  EXPECT_NE(r.bn_p, nullptr);
  EXPECT_NE(r.bn_g, nullptr);
  release(qel_xdr_api_get_dh_params_rply_t, &r);
  EXPECT_EQ(r.bn_p, nullptr);

  api_exchg_pubkey_rply_t k{};
  ASSERT_TRUE(wire::decode(qel_xdr_api_exchg_pubkey_rply_t, B().i32(0), &k));
  EXPECT_NE(k.bn_pubkey, nullptr);
  release(qel_xdr_api_exchg_pubkey_rply_t, &k);

  api_pam_conv_req_t c{};
  ASSERT_TRUE(wire::decode(qel_xdr_api_pam_conv_req_t, B().i32(1).u32(0), &c));
  EXPECT_NE(c.enc_conv_req_msgbuf, nullptr);
  release(qel_xdr_api_pam_conv_req_t, &c);
}

// ---- round trips, truncations and garbage over every record ----

namespace {

// A record of the table. Its samples point at the test's static data. With
// 0xFF-filled input, lengths read as huge or negative and must be refused;
// records without lengths take the words as values.
struct Case {
  wire::Case rec;
  std::function<void()> garbage;
};

template <typename T>
Case make(const char* name, Codec<T> codec, std::type_identity_t<std::function<void(T*)>> fill,
          size_t size, bool garbage_fails) {
  Case c;
  c.rec = wire::record<T>(name, size, codec, fill);
  c.rec.borrowed = true;
  c.garbage = [=] {
    Bytes junk(size + 64, 0xFF);
    T t{};
    size_t used = 0;
    bool ok = wire::decode(codec, junk, &t, &used);
    if (garbage_fails) {
      EXPECT_FALSE(ok);
    } else {
      // Fixed-size records take their own size and nothing more.
      EXPECT_TRUE(ok);
      EXPECT_EQ(used, size);
    }
    release(codec, &t);
  };
  return c;
}

char kHello[] = "hello";
char kP[] = {1, 2, 3};
char kG[] = {2};
char kPub[] = {9, 8, 7, 6, 5, 4};
char kKeytab[] = "KEYTABDAT";
char kEncUser[17] = "0123456789abcdef";
char kConv[10] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
char kResp[528] = {'r'};
char kChallenge[] = "CHALLENGE";
char kLs[] = "ls -l /home";
char kHmac[] = "hmac-bytes";

const std::vector<Case>& cases() {
  static const std::vector<Case> all = {
      make<api_server_state_rply_t>(
          "server state", qel_xdr_api_server_state_rply_t,
          [](auto* r) { *r = {67, 2, 1, 2, 3, 0}; }, 24, false),
      make<api_site_info_req_t>(
          "site info req", qel_xdr_api_site_info_req_t, [](auto* r) { *r = {67, 2}; }, 8, false),
      make<quor_site_info_t>(
          "site info", qel_xdr_api_site_info_rply_t,
          [](auto* r) {
            r->server_runmode = 1;
            r->max_bg_stages = -1;
            r->future9 = 9;
          },
          136, false),
      make<api_motd_req_t>(
          "motd req", qel_xdr_api_motd_req_t, [](auto* r) { *r = {10, 4096}; }, 8, false),
      make<api_motd_rply_t>(
          "motd reply", qel_xdr_api_motd_rply_t,
          [](auto* r) {
            r->message_length = 5;
            r->msg_text = kHello;
          },
          12, true),
      make<api_motd_rply_t>(
          "motd reply empty", qel_xdr_api_motd_rply_t, [](auto*) {}, 4, true),
      make<api_config_t>(
          "api config", qel_xdr_api_config,
          [](auto* c) {
            c->Flags = 1;
            c->AuthnMech = quor_authn_mech_krb5;
            c->RPCProtLevel = quor_rpc_prot_pkt_privacy;
            c->XMLSize = 3;
          },
          15 * 4 + 3 * 8 + 4, true),
      make<api_exchg_sec_params_req_t>(
          "sec params req", qel_xdr_api_exchg_sec_params_req_t,
          [](auto* r) { *r = {0x250, 2, 11, 12, 13, 14}; }, 24, false),
      make<api_exchg_sec_params_rply_t>(
          "sec params reply", qel_xdr_api_exchg_sec_params_rply_t,
          [](auto* r) { *r = {16, 2, 21, 22, 23, 24}; }, 24, false),
      make<api_get_dh_params_rply_t>(
          "dh params", qel_xdr_api_get_dh_params_rply_t,
          [](auto* r) { *r = {3, kP, 1, kG}; }, 16, true),
      make<api_get_dh_params_rply_t>(
          "dh params empty", qel_xdr_api_get_dh_params_rply_t, [](auto*) {}, 8, true),
      make<api_exchg_pubkey_req_t>(
          "pubkey req", qel_xdr_api_exchg_pubkey_req_t, [](auto* r) { *r = {6, kPub}; }, 12,
          true),
      make<api_exchg_pubkey_rply_t>(
          "pubkey reply", qel_xdr_api_exchg_pubkey_rply_t, [](auto* r) { *r = {6, kPub}; }, 12,
          true),
      make<api_login_combo_t>(
          "combo", qel_xdr_api_login_combo_t,
          [](auto* r) {
            *r = {67, 2, 99, 2, 1, {}};
            strcpy(r->username, "bob");
          },
          280, false),
      make<api_login_keytab_t>(
          "keytab", qel_xdr_api_login_keytab_t,
          [](auto* r) {
            *r = {67, 2, 99, 0, 2, {}, 9, 3, kKeytab};
            strcpy(r->principal, "bob@REALM");
          },
          20 + 260 + 8 + 12, true),
      make<api_login_keytab_t>(
          "keytab empty", qel_xdr_api_login_keytab_t,
          [](auto* r) { *r = {67, 2, 99, 0, 1, {}, 0, 0, nullptr}; }, 20 + 260 + 8, true),
      make<api_login_pam_t>(
          "pam login", qel_xdr_api_login_pam_t,
          [](auto* r) { *r = {67, 2, 99, 2, 2, 3, 17, kEncUser}; }, 28 + 20, true),
      make<api_login_reconnect_t>(
          "reconnect", qel_xdr_login_reconnect_t,
          [](auto* r) { *r = {67, 2, 99, 5, kHello, 10, kHmac}; }, 20 + 8 + 12, true),
      make<api_login_rply_t>(
          "login reply", qel_xdr_api_login_rply_t,
          [](auto* r) {
            r->retry_time = 1ull << 40;
            r->challenge_size = 9;
            r->challenge = kChallenge;
            r->hmac_len = 2;
            r->hmac_packet = kHmac;
          },
          52 + 12 + 4, true),
      make<api_pam_conv_req_t>(
          "pam conv req", qel_xdr_api_pam_conv_req_t, [](auto* r) { *r = {2, 10, kConv}; }, 20,
          true),
      make<api_pam_conv_rply_t>(
          "pam conv reply", qel_xdr_api_pam_conv_rply_t, [](auto* r) { *r = {1, 0, nullptr}; },
          8, true),
      make<api_auth_challenge_rsp_req_t>(
          "challenge rsp req", qel_xdr_api_auth_challenge_rsp_req_t,
          [](auto* r) { *r = {528, kResp}; }, 4 + 528, true),
      make<api_auth_challenge_rsp_req_t>(
          "challenge rsp req empty", qel_xdr_api_auth_challenge_rsp_req_t, [](auto*) {}, 4,
          true),
      make<api_auth_challenge_rsp_rply_t>(
          "challenge rsp reply", qel_xdr_api_auth_challenge_rsp_rply_t,
          [](auto* r) {
            r->retries = 1;
            r->challenge_size = 9;
            r->challenge = kChallenge;
          },
          24 + 12, true),
      make<ozugw_su_init_req_t>(
          "su req", qel_xdr_ozugw_su_init_req_t,
          [](auto* r) {
            *r = {1, 0x252, 2, {}};
            strcpy(r->runas_principal, "target");
          },
          12 + 4 + 8, true),
      make<ozugw_sudo_init_req_t>(
          "sudo req", qel_xdr_ozugw_sudo_init_req_t,
          [](auto* r) {
            *r = {0, 0x252, 2, {}, 11, kLs};
            strcpy(r->runas_principal, "root");
          },
          12 + 12 + 4 + 4 + 12, true),
      make<ozugw_su_init_rply_t>(
          "su reply", qel_xdr_ozugw_su_init_rply_t,
          [](auto* r) { *r = {0, 16, 2, {'x', 'y'}, 9, kChallenge}; }, 20 + 12, true),
      make<ozugw_sudo_init_rply_t>(
          "sudo reply", qel_xdr_ozugw_sudo_init_rply_t,
          [](auto* r) { *r = {0, 1, 2, {'x', 'y'}, 0, nullptr}; }, 20, true),
      make<ozugw_sudo_cmd_end_req_t>(
          "sudo cmd end", qel_xdr_ozugw_sudo_cmd_end_req_t, [](auto* r) { r->end_session = 1; },
          4, false),
  };
  return all;
}

}  // namespace

TEST(XdrConn, RoundTrips) {
  for (const auto& c : cases()) wire::expect_round_trip(c.rec);
}

TEST(XdrConn, EveryTruncationFails) {
  for (const auto& c : cases()) wire::expect_truncations_fail(c.rec);
}

TEST(XdrConn, AllOnesInput) {
  for (const auto& c : cases()) {
    SCOPED_TRACE(c.rec.name);
    c.garbage();
  }
}

// ---- malformed input ----

TEST(XdrConn, MalformedLengthsRefused) {
  const Bytes pid3 = B().u32(67).u32(2).u32(99);
  Bytes name260(260, 0);
  const std::vector<wire::Bad> bad = {
      {"dh p negative", B().i32(-1).zeros(16), by(qel_xdr_api_get_dh_params_rply_t)},
      {"dh g negative after p", B().i32(2).raw({1, 2}).i32(-4).zeros(16),
       by(qel_xdr_api_get_dh_params_rply_t)},
      {"dh p huge", B().i32(0x7FFFFFFF).zeros(64), by(qel_xdr_api_get_dh_params_rply_t)},
      {"pubkey req negative", B().i32(-2).zeros(8), by(qel_xdr_api_exchg_pubkey_req_t)},
      {"pubkey reply negative", B().i32(INT32_MIN).zeros(8), by(qel_xdr_api_exchg_pubkey_rply_t)},
      {"motd huge", B().u32(0xFFFFFFF0).raw("abcd", 4), by(qel_xdr_api_motd_rply_t)},
      {"motd longer than stream", B().u32(9).raw("abcd", 4), by(qel_xdr_api_motd_rply_t)},
      {"login reply challenge huge", B().zeros(36).u32(0xFFFFFFFF).zeros(16),
       by(qel_xdr_api_login_rply_t)},
      {"login reply hmac beyond stream",
       B().zeros(36).u32(2).raw({1, 2}).u32(0).u32(0).u32(0x10000).zeros(64),
       by(qel_xdr_api_login_rply_t)},
      {"keytab huge", B().cat(pid3).u32(0).u32(2).cat(name260).u32(0x7FFFFFFF).u32(1).zeros(8),
       by(qel_xdr_api_login_keytab_t)},
      {"pam login name huge", B().cat(pid3).u32(2).u32(2).i32(3).u32(0x40000001).zeros(8),
       by(qel_xdr_api_login_pam_t)},
      {"reconnect packet huge", B().cat(pid3).u32(0xFFFFFFFF).zeros(8),
       by(qel_xdr_login_reconnect_t)},
      {"reconnect hmac beyond stream", B().cat(pid3).u32(1).raw({7}).u32(0x00100000).zeros(12),
       by(qel_xdr_login_reconnect_t)},
      {"pam conv req huge", B().i32(1).u32(0x80000000).zeros(8), by(qel_xdr_api_pam_conv_req_t)},
      {"pam conv reply huge", B().i32(1).u32(0x7FFFFFFF).zeros(8), by(qel_xdr_api_pam_conv_rply_t)},
      {"challenge rsp req huge", B().u32(0xFFFFFFFC).zeros(8),
       by(qel_xdr_api_auth_challenge_rsp_req_t)},
      {"challenge reply huge", B().i32(1).u32(0).u32(0xFFFFFFFF).i32(8).zeros(8).zeros(8),
       by(qel_xdr_api_auth_challenge_rsp_rply_t)},
      {"su principal length 0", B().u32(0).u32(0).u32(0).i32(0).zeros(8),
       by(qel_xdr_ozugw_su_init_req_t)},
      {"su principal too long", B().u32(0).u32(0).u32(0).i32(386).zeros(388),
       by(qel_xdr_ozugw_su_init_req_t)},
      {"su principal negative", B().u32(0).u32(0).u32(0).i32(-1).zeros(8),
       by(qel_xdr_ozugw_su_init_req_t)},
      {"sudo command above cmd_length", B().u32(0).u32(0).u32(0).fstr("root").u32(2).str("abc"),
       by(qel_xdr_ozugw_sudo_init_req_t)},
      {"sudo command huge",
       B().u32(0).u32(0).u32(0).fstr("root").u32(0xFFFFFFFF).u32(0xFFFFFFF0).zeros(16),
       by(qel_xdr_ozugw_sudo_init_req_t)},
      {"sudo command beyond stream",
       B().u32(0).u32(0).u32(0).fstr("root").u32(0x01000000).u32(0x01000000).zeros(16),
       by(qel_xdr_ozugw_sudo_init_req_t)},
      {"su reply challenge huge", B().u32(0).u32(2).u32(2).zeros(4).u32(0xFFFFFFFF).zeros(16),
       by(qel_xdr_ozugw_su_init_rply_t)},
      {"config DescName too long", B().zeros(15 * 4).i32(33).zeros(36).fstr("").fstr("").u32(0),
       by(qel_xdr_api_config)},
      {"config HostName too long", B().zeros(15 * 4).fstr("a").fstr("b").i32(65).zeros(68).u32(0),
       by(qel_xdr_api_config)},
      {"config DebugPath negative", B().zeros(15 * 4).fstr("a").i32(-1).zeros(8).fstr("h").u32(0),
       by(qel_xdr_api_config)},
  };
  wire::expect_all_refused(bad);
}

TEST(XdrConn, EncodingRefusesInconsistentRecords) {
  char lsl[] = "ls -l";
  ozugw_sudo_init_req_t sudo{};
  strcpy(sudo.runas_principal, "root");
  sudo.cmd = lsl;
  sudo.cmd_length = 4;  // one short of the command
  EXPECT_FALSE(encodes(qel_xdr_ozugw_sudo_init_req_t, &sudo));
  sudo.cmd_length = 5;
  EXPECT_TRUE(encodes(qel_xdr_ozugw_sudo_init_req_t, &sudo));
  sudo.cmd = nullptr;  // a length with no command
  EXPECT_FALSE(encodes(qel_xdr_ozugw_sudo_init_req_t, &sudo));

  api_get_dh_params_rply_t dh{};
  char p[] = {1};
  dh.bn_p_len = -1;
  dh.bn_p = p;
  EXPECT_FALSE(encodes(qel_xdr_api_get_dh_params_rply_t, &dh));
  api_exchg_pubkey_req_t pk{-3, p};
  EXPECT_FALSE(encodes(qel_xdr_api_exchg_pubkey_req_t, &pk));

  // On a stream without a size limit a negative length must not become a
  // 4 GiB read from a one-byte buffer.
  FILE* sink = fopen("/dev/null", "w");
  ASSERT_NE(sink, nullptr);
  XDR xs;
  xdrstdio_create(&xs, sink, XDR_ENCODE);
  EXPECT_FALSE(qel_xdr_api_get_dh_params_rply_t(&xs, &dh));
  EXPECT_FALSE(qel_xdr_api_exchg_pubkey_req_t(&xs, &pk));
  xdr_destroy(&xs);
  fclose(sink);

  api_login_rply_t lr{};
  lr.user_msg_len = 4;  // no buffer behind it
  EXPECT_FALSE(encodes(qel_xdr_api_login_rply_t, &lr));

  // A field filled to the brim has no room for its NUL and cannot be sent.
  api_config_t cfg{};
  memset(cfg.HostName, 'h', sizeof cfg.HostName);
  EXPECT_FALSE(encodes(qel_xdr_api_config, &cfg));
  ozugw_su_init_req_t su{};
  memset(su.runas_principal, 'p', sizeof su.runas_principal);
  EXPECT_FALSE(encodes(qel_xdr_ozugw_su_init_req_t, &su));
  su.runas_principal[384] = 0;  // 384 characters is the longest
  EXPECT_TRUE(encodes(qel_xdr_ozugw_su_init_req_t, &su));
}

TEST(XdrConn, ReleaseFreesStrayCommand) {
  // A command left behind a zero cmd_length is still released.
  ozugw_sudo_init_req_t r{};
  r.cmd = strdup("orphan");
  r.cmd_length = 0;
  release(qel_xdr_ozugw_sudo_init_req_t, &r);
  EXPECT_EQ(r.cmd, nullptr);
}
