// Command relay, gateway log, lookups, expiration times and digests: golden
// wire forms written out by hand, round trips, and refusal of broken input.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "codec_cases.h"
#include "msg_cli.h"
#include "wire.h"

using wire::B;
using wire::bad;
using wire::Bytes;
using wire::encodes;
using wire::repeat;
using wire::row;

namespace {

Bytes buffer_bytes(uint8_t first) {
  Bytes b;
  for (int i = 0; i < 64; i++) b.push_back(uint8_t(first + i));
  return b;
}

void fill_digest(quor_file_hash_digest_t& d, uint8_t first, const char* creator) {
  d.Flags = QUOR_FILE_HASH_DIGEST_VALID | QUOR_FILE_HASH_GENERATED;
  strcpy(d.Creator, creator);
  d.ModifyTime = 0x60000000u + first;
  d.Type = QUOR_HASH_SHA256;
  for (int i = 0; i < 64; i++) d.Buffer[i] = uint8_t(first + i);
}

quor_file_hash_digest_t* two_digests() {
  auto* d = static_cast<quor_file_hash_digest_t*>(calloc(2, sizeof(quor_file_hash_digest_t)));
  fill_digest(d[0], 0x10, "ozu");
  fill_digest(d[1], 0x80, "gateway");
  d[1].Type = QUOR_HASH_MD5;
  return d;
}

}  // namespace

// ---- command relay ----

TEST(XdrCli, CommandIsCountedOpaqueNotString) {
  char text[] = "ls -l";
  ozugw_cli_command_t c{0x80000000u, 4242, 5, text};
  Bytes want = B().u32(0x80000000u).u32(4242).i32(5).raw("ls -l", 5);
  bool ok = false;
  EXPECT_EQ(wire::hex(wire::encode(qel_xdr_ozugw_cli_command_t, &c, &ok)), wire::hex(want));
  EXPECT_TRUE(ok);

  ozugw_cli_command_t got{};
  size_t used = 0;
  ASSERT_TRUE(wire::decode(qel_xdr_ozugw_cli_command_t, want, &got, &used));
  EXPECT_EQ(used, want.size());
  EXPECT_EQ(got.flags, 0x80000000u);
  EXPECT_EQ(got.pid, 4242u);
  ASSERT_EQ(got.cmd_length, 5);
  ASSERT_NE(got.cmd, nullptr);
  EXPECT_EQ(memcmp(got.cmd, "ls -l", 5), 0);
  EXPECT_EQ(got.cmd[5], '\0');  // one byte more, terminated
  xdr_free((xdrproc_t)qel_xdr_ozugw_cli_command_t, reinterpret_cast<char*>(&got));
  EXPECT_EQ(got.cmd, nullptr);
}

TEST(XdrCli, EmptyCommandSendsOnlyItsLength) {
  ozugw_cli_command_t c{0, 7, 0, nullptr};
  Bytes want = B().u32(0).u32(7).i32(0);
  bool ok = false;
  EXPECT_EQ(wire::hex(wire::encode(qel_xdr_ozugw_cli_command_t, &c, &ok)), wire::hex(want));
  EXPECT_TRUE(ok);
  ozugw_cli_command_t got{};
  size_t used = 0;
  ASSERT_TRUE(wire::decode(qel_xdr_ozugw_cli_command_t, want, &got, &used));
  EXPECT_EQ(used, 12u);
  EXPECT_EQ(got.cmd, nullptr);
}

TEST(XdrCli, CommandReplies) {
  char text[] = "total 0\n";
  ozugw_cli_cmd_rply_t r{0x3, CLI_SYNC_CHDIR, -2, 8, text};
  Bytes want = B().u32(0x3).u32(1).i32(-2).i32(8).raw("total 0\n", 8);
  bool ok = false;
  EXPECT_EQ(wire::hex(wire::encode(qel_xdr_ozugw_cli_cmd_rply_t, &r, &ok)), wire::hex(want));
  EXPECT_TRUE(ok);
  ozugw_cli_cmd_rply_t got{};
  ASSERT_TRUE(wire::decode(qel_xdr_ozugw_cli_cmd_rply_t, want, &got));
  EXPECT_EQ(got.sync_type, 1u);
  EXPECT_EQ(got.exit_code, -2);
  ASSERT_NE(got.reply_msg, nullptr);
  EXPECT_STREQ(got.reply_msg, "total 0\n");
  xdr_free((xdrproc_t)qel_xdr_ozugw_cli_cmd_rply_t, reinterpret_cast<char*>(&got));

  // An odd length is padded; the text itself is what the count says.
  Bytes odd = B().u32(0).u32(0).i32(0).i32(3).raw({'a', 0, 'b'});
  ozugw_cli_cmd_rply_t o{};
  size_t used = 0;
  ASSERT_TRUE(wire::decode(qel_xdr_ozugw_cli_cmd_rply_t, odd, &o, &used));
  EXPECT_EQ(used, 20u);
  EXPECT_EQ(std::string(o.reply_msg, 4), std::string("a\0b\0", 4));
  xdr_free((xdrproc_t)qel_xdr_ozugw_cli_cmd_rply_t, reinterpret_cast<char*>(&o));

  // No text: nothing follows and the caller's pointer is left alone.
  char keep[] = "x";
  ozugw_cli_cmd_rply_t none{};
  none.reply_msg = keep;
  ASSERT_TRUE(wire::decode(qel_xdr_ozugw_cli_cmd_rply_t, B().u32(1).u32(0).i32(0).i32(0), &none,
                           &used));
  EXPECT_EQ(used, 16u);
  EXPECT_EQ(none.reply_msg, keep);
}

TEST(XdrCli, NoticesAndLog) {
  ozugw_cli_window_size_req_t w{132, 43};
  bool ok = false;
  EXPECT_EQ(wire::hex(wire::encode(qel_xdr_ozugw_cli_window_size_req_t, &w, &ok)),
            wire::hex(B().i32(132).i32(43)));
  ozugw_cli_interrupt_req_t i{0, 2};
  EXPECT_EQ(wire::hex(wire::encode(qel_xdr_ozugw_cli_interrupt_req_t, &i, &ok)),
            wire::hex(B().u32(0).i32(2)));
  char ozu[] = "ozu";
  api_openlog_t o{0x60000, ozu};
  EXPECT_EQ(wire::hex(wire::encode(qel_xdr_api_openlog_t, &o, &ok)),
            wire::hex(B().u32(0x60000).str("ozu")));
  char line[] = "put a b";
  api_log_message_t m{0x2000000, 0x3000, line};
  EXPECT_EQ(wire::hex(wire::encode(qel_xdr_api_log_message_t, &m, &ok)),
            wire::hex(B().u32(0x2000000).u32(0x3000).str("put a b")));
}

// ---- lookups ----

TEST(XdrCli, GroupLists) {
  api_getgroups_rply_t empty{};
  bool ok = false;
  EXPECT_EQ(wire::hex(wire::encode(qel_xdr_api_getgroups_rply_t, &empty, &ok)),
            wire::hex(B().u32(0)));
  EXPECT_TRUE(ok);
  api_getgroups_rply_t got{};
  size_t used = 0;
  ASSERT_TRUE(wire::decode(qel_xdr_api_getgroups_rply_t, B().u32(0), &got, &used));
  EXPECT_EQ(used, 4u);
  EXPECT_EQ(got.groups, nullptr);

  int32_t ids[] = {100, -2, 7};
  api_getgroups_rply_t three{3, ids};
  Bytes want = B().u32(3).u32(3).i32(100).i32(-2).i32(7);
  EXPECT_EQ(wire::hex(wire::encode(qel_xdr_api_getgroups_rply_t, &three, &ok)), wire::hex(want));
  api_getgroups_rply_t back{};
  ASSERT_TRUE(wire::decode(qel_xdr_api_getgroups_rply_t, want, &back));
  ASSERT_EQ(back.ngroups, 3u);
  EXPECT_EQ(back.groups[1], -2);
  EXPECT_EQ(back.groups[2], 7);
  xdr_free((xdrproc_t)qel_xdr_api_getgroups_rply_t, reinterpret_cast<char*>(&back));

  // The array may hold fewer than ngroups: the count becomes what it held, so
  // no empty slot passes for group 0, and the record encodes as sent.
  api_getgroups_rply_t shorter{};
  ASSERT_TRUE(wire::decode(qel_xdr_api_getgroups_rply_t, B().u32(3).u32(1).i32(9), &shorter));
  ASSERT_EQ(shorter.ngroups, 1u);
  EXPECT_EQ(shorter.groups[0], 9);
  EXPECT_EQ(wire::hex(wire::encode(qel_xdr_api_getgroups_rply_t, &shorter, &ok)),
            wire::hex(B().u32(1).u32(1).i32(9)));
  xdr_free((xdrproc_t)qel_xdr_api_getgroups_rply_t, reinterpret_cast<char*>(&shorter));
  api_getgroups_rply_t none{};
  ASSERT_TRUE(wire::decode(qel_xdr_api_getgroups_rply_t, B().u32(5).u32(0), &none));
  EXPECT_EQ(none.ngroups, 0u);
  xdr_free((xdrproc_t)qel_xdr_api_getgroups_rply_t, reinterpret_cast<char*>(&none));
}

TEST(XdrCli, PasswordEntry) {
  char name[] = "alice", pw[] = "x", gecos[] = "Alice A.", dir[] = "/home/alice",
       shell[] = "/bin/sh";
  api_getpwent_rply_t p{};
  p.pw_name = name;
  p.pw_passwd = pw;
  p.pw_uid = 1001;
  p.pw_gid = 100;
  p.pw_gecos = gecos;
  p.pw_dir = dir;
  p.pw_shell = shell;
  Bytes want = B()
                   .str("alice")
                   .str("x")
                   .u32(1001)
                   .u32(100)
                   .str("Alice A.")
                   .str("/home/alice")
                   .str("/bin/sh");
  bool ok = false;
  EXPECT_EQ(wire::hex(wire::encode(qel_xdr_api_getpwent_rply_t, &p, &ok)), wire::hex(want));
  api_getpwent_rply_t got{};
  ASSERT_TRUE(wire::decode(qel_xdr_api_getpwent_rply_t, want, &got));
  EXPECT_STREQ(got.pw_name, "alice");
  EXPECT_EQ(got.pw_uid, 1001u);
  EXPECT_EQ(got.pw_gid, 100u);
  EXPECT_STREQ(got.pw_gecos, "Alice A.");
  EXPECT_STREQ(got.pw_shell, "/bin/sh");
  xdr_free((xdrproc_t)qel_xdr_api_getpwent_rply_t, reinterpret_cast<char*>(&got));
  EXPECT_EQ(got.pw_dir, nullptr);
}

// ---- digests ----

TEST(XdrCli, DigestRecordIs88BytesWithEmptyCreator) {
  quor_file_hash_digest_t d{};
  d.Flags = QUOR_FILE_HASH_DIGEST_VALID | QUOR_FILE_HASH_DIGEST_ACTIVE;
  d.ModifyTime = 0x5F5E1000;
  d.Type = QUOR_HASH_CRC32;
  d.Buffer[0] = 0x12;
  d.Buffer[1] = 0x34;  // a 4-byte digest still sends the whole buffer
  d.Buffer[2] = 0x56;
  d.Buffer[3] = 0x78;
  Bytes buf(64, 0);
  buf[0] = 0x12;
  buf[1] = 0x34;
  buf[2] = 0x56;
  buf[3] = 0x78;
  Bytes want = B().u32(33).u32(1).raw({0}).u32(0x5F5E1000).i32(7).u32(64).cat(buf);
  ASSERT_EQ(want.size(), 88u);
  bool ok = false;
  EXPECT_EQ(wire::hex(wire::encode(qel_xdr_quor_file_hash_digest_t, &d, &ok)), wire::hex(want));
  EXPECT_TRUE(ok);
  quor_file_hash_digest_t got{};
  ASSERT_TRUE(wire::decode(qel_xdr_quor_file_hash_digest_t, want, &got));
  EXPECT_EQ(got.Flags, 33u);
  EXPECT_STREQ(got.Creator, "");
  EXPECT_EQ(got.ModifyTime, 0x5F5E1000u);
  EXPECT_EQ(got.Type, QUOR_HASH_CRC32);
  EXPECT_EQ(memcmp(got.Buffer, buf.data(), 64), 0);

  // A shorter buffer on the wire is accepted and the rest cleared.
  quor_file_hash_digest_t shorter{};
  memset(shorter.Buffer, 0xEE, 64);
  ASSERT_TRUE(wire::decode(qel_xdr_quor_file_hash_digest_t,
                           B().u32(1).fstr("u").u32(0).i32(6).u32(2).raw({0xAB, 0xCD}),
                           &shorter));
  EXPECT_EQ(shorter.Buffer[1], 0xCD);
  EXPECT_EQ(shorter.Buffer[2], 0);
  EXPECT_EQ(shorter.Buffer[63], 0);
}

TEST(XdrCli, DigestLists) {
  quor_file_hash_digest_list_t empty{};
  bool ok = false;
  EXPECT_EQ(wire::hex(wire::encode(qel_xdr_quor_file_hash_digest_list_t, &empty, &ok)),
            wire::hex(B().u32(0)));
  EXPECT_TRUE(ok);

  quor_file_hash_digest_list_t two{2, two_digests()};
  Bytes want = B()
                   .u32(2)
                   .u32(2)
                   .u32(17)
                   .fstr("ozu")
                   .u32(0x60000010)
                   .i32(3)
                   .u32(64)
                   .cat(buffer_bytes(0x10))
                   .u32(17)
                   .fstr("gateway")
                   .u32(0x60000080)
                   .i32(6)
                   .u32(64)
                   .cat(buffer_bytes(0x80));
  EXPECT_EQ(wire::hex(wire::encode(qel_xdr_quor_file_hash_digest_list_t, &two, &ok)),
            wire::hex(want));
  xdr_free((xdrproc_t)qel_xdr_quor_file_hash_digest_list_t, reinterpret_cast<char*>(&two));

  quor_file_hash_digest_list_t got{};
  size_t used = 0;
  ASSERT_TRUE(wire::decode(qel_xdr_quor_file_hash_digest_list_t, want, &got, &used));
  EXPECT_EQ(used, want.size());
  ASSERT_EQ(got.List_len, 2u);
  EXPECT_STREQ(got.List_val[0].Creator, "ozu");
  EXPECT_STREQ(got.List_val[1].Creator, "gateway");
  EXPECT_EQ(got.List_val[1].Type, QUOR_HASH_MD5);
  EXPECT_EQ(got.List_val[1].Buffer[63], 0x80 + 63);
  xdr_free((xdrproc_t)qel_xdr_quor_file_hash_digest_list_t, reinterpret_cast<char*>(&got));
  EXPECT_EQ(got.List_val, nullptr);

  // Decoding starts from an empty list whatever the record held.
  quor_file_hash_digest_list_t stale{};
  stale.List_len = 5;
  ASSERT_TRUE(wire::decode(qel_xdr_quor_file_hash_digest_list_t, B().u32(0), &stale));
  EXPECT_EQ(stale.List_len, 0u);
  EXPECT_EQ(stale.List_val, nullptr);

  // A list announcing more digests than its array holds has only those.
  Bytes one = B().u32(40000).u32(1).u32(17).fstr("ozu").u32(7).i32(3).u32(64).cat(buffer_bytes(1));
  quor_file_hash_digest_list_t partial{};
  ASSERT_TRUE(wire::decode(qel_xdr_quor_file_hash_digest_list_t, one, &partial));
  ASSERT_EQ(partial.List_len, 1u);
  EXPECT_STREQ(partial.List_val[0].Creator, "ozu");
  xdr_free((xdrproc_t)qel_xdr_quor_file_hash_digest_list_t, reinterpret_cast<char*>(&partial));
}

TEST(XdrCli, DigestRequestsCarryPathThenList) {
  api_fdigest_set_req_t s{};
  s.Flags = 4;
  strcpy(s.Path, "/q/f");
  s.StripeLength = 0x100000000ull;
  Bytes want = B().u32(4).fstr("/q/f").u64(0x100000000ull).u32(0);
  bool ok = false;
  EXPECT_EQ(wire::hex(wire::encode(qel_xdr_api_fdigest_set_req_t, &s, &ok)), wire::hex(want));
  EXPECT_TRUE(ok);
  api_uda_set_expiration_req_t u{};
  strcpy(u.Path, "/q/f");
  u.ExpireTime = 1700000000;
  EXPECT_EQ(wire::hex(wire::encode(qel_xdr_api_uda_set_expiration_req_t, &u, &ok)),
            wire::hex(B().fstr("/q/f").u64(1700000000)));
}

TEST(XdrCli, RoundTrips) {
  const std::vector<wire::Case> rows = {
      row<ozugw_cli_command_t>("command", qel_xdr_ozugw_cli_command_t,
                               [](ozugw_cli_command_t& c) {
                                 c.pid = 1;
                                 c.cmd_length = 6;
                                 c.cmd = strdup("cd /tm");
                               }),
      row<ozugw_cli_cmd_rply_t>("long reply", qel_xdr_ozugw_cli_cmd_rply_t,
                                [](ozugw_cli_cmd_rply_t& r) {
                                  r.flags = 1;
                                  r.reply_len = 5000;
                                  r.reply_msg = strdup(repeat('r', 5000).c_str());
                                }),
      row<ozugw_cli_window_size_req_t>(
          "window", qel_xdr_ozugw_cli_window_size_req_t,
          [](ozugw_cli_window_size_req_t& w) { w = {80, 24}; }),
      row<ozugw_cli_interrupt_req_t>("interrupt", qel_xdr_ozugw_cli_interrupt_req_t,
                                     [](ozugw_cli_interrupt_req_t& i) { i = {1, 15}; }),
      row<api_openlog_t>("openlog 8 characters", qel_xdr_api_openlog_t,
                         [](api_openlog_t& o) { o.subsys = strdup("abcdefgh"); }),
      row<api_log_message_t>("logmsg 2047 characters", qel_xdr_api_log_message_t,
                             [](api_log_message_t& m) {
                               m.priority = 0x6000;
                               m.msgtext = strdup(repeat('m', 2047).c_str());
                             }),
      row<api_closelog_t>("closelog", qel_xdr_api_closelog_t,
                          [](api_closelog_t& c) { c.flags = 0x6000000; }),
      row<api_getpwent_req_t>("getpwent session user", qel_xdr_api_getpwent_req_t,
                              [](api_getpwent_req_t& r) { r.uname = strdup(""); }),
      row<api_getpwent_rply_t>("password entry", qel_xdr_api_getpwent_rply_t,
                               [](api_getpwent_rply_t& p) {
                                 p.pw_name = strdup(repeat('n', 256).c_str());
                                 p.pw_passwd = strdup("");
                                 p.pw_uid = 0;
                                 p.pw_gid = 0xFFFFFFFE;
                                 p.pw_gecos = strdup("g");
                                 p.pw_dir = strdup("/");
                                 p.pw_shell = strdup(repeat('s', 1024).c_str());
                               }),
      row<api_getgroups_rply_t>("groups", qel_xdr_api_getgroups_rply_t,
                                [](api_getgroups_rply_t& g) {
                                  g.ngroups = 100;
                                  g.groups = static_cast<int32_t*>(calloc(100, 4));
                                  for (int i = 0; i < 100; i++) g.groups[i] = i * 3;
                                }),
      row<api_lookup_homedir_req_t>("homedir request", qel_xdr_api_lookup_homedir_req_t,
                                    [](api_lookup_homedir_req_t& r) {
                                      r.principal = strdup(repeat('p', 128).c_str());
                                    }),
      row<api_lookup_homedir_rply_t>("homedir reply", qel_xdr_api_lookup_homedir_rply_t,
                                     [](api_lookup_homedir_rply_t& r) {
                                       r.homeDir = strdup("/home/bob");
                                     }),
      row<api_uda_set_expiration_req_t>("expiration, longest path",
                                        qel_xdr_api_uda_set_expiration_req_t,
                                        [](api_uda_set_expiration_req_t& r) {
                                          memset(r.Path, 'e', 1024);
                                          r.ExpireTime = ~0ull;
                                        }),
      row<api_fdigest_get_req_t>("digest get", qel_xdr_api_fdigest_get_req_t,
                                 [](api_fdigest_get_req_t& r) {
                                   r.Flags = 1;
                                   strcpy(r.Path, "/d");
                                 }),
      row<api_fdigest_get_rply_t>("digest get reply", qel_xdr_api_fdigest_get_rply_t,
                                  [](api_fdigest_get_rply_t& r) {
                                    r.Flags = 2;
                                    r.StripeLength = 1 << 20;
                                    r.DigestList = {2, two_digests()};
                                  }),
      row<api_fdigest_set_req_t>("digest set", qel_xdr_api_fdigest_set_req_t,
                                 [](api_fdigest_set_req_t& r) {
                                   strcpy(r.Path, "/d");
                                   r.DigestList = {2, two_digests()};
                                 }),
      row<quor_file_hash_digest_t>("digest, longest creator", qel_xdr_quor_file_hash_digest_t,
                                   [](quor_file_hash_digest_t& d) {
                                     fill_digest(d, 0xF0, "fifteen-chars..");
                                   }),
  };
  wire::expect_cases(rows);
}

TEST(XdrCli, MalformedInputIsRefused) {
  Bytes digest = B().u32(1).fstr("").u32(0).i32(1).u32(64).zeros(64);
  const std::vector<wire::Bad> cases = {
      bad<ozugw_cli_command_t>("negative cmd_length", qel_xdr_ozugw_cli_command_t,
                               B().u32(0).u32(1).i32(-1).zeros(8)),
      bad<ozugw_cli_command_t>("huge cmd_length", qel_xdr_ozugw_cli_command_t,
                               B().u32(0).u32(1).i32(0x7FFFFFFF).zeros(64)),
      bad<ozugw_cli_command_t>("text shorter than cmd_length", qel_xdr_ozugw_cli_command_t,
                               B().u32(0).u32(1).i32(9).raw("abcd", 4)),
      bad<ozugw_cli_cmd_rply_t>("negative reply_len", qel_xdr_ozugw_cli_cmd_rply_t,
                                B().u32(0).u32(0).i32(0).i32(-8).zeros(8)),
      bad<ozugw_cli_cmd_rply_t>("reply text beyond a chunk", qel_xdr_ozugw_cli_cmd_rply_t,
                                B().u32(0).u32(0).i32(0).i32(3 << 20).zeros(1 << 20)),
      bad<api_openlog_t>("subsystem of 9", qel_xdr_api_openlog_t,
                         B().u32(0).str("abcdefghi")),
      bad<api_log_message_t>("log text of 2048", qel_xdr_api_log_message_t,
                             B().u32(0).u32(0).str(repeat('t', 2048).c_str())),
      bad<api_getpwent_req_t>("user name of 257", qel_xdr_api_getpwent_req_t,
                              B().str(repeat('u', 257).c_str())),
      bad<api_getpwent_rply_t>("password of 33", qel_xdr_api_getpwent_rply_t,
                               B().str("a").str(repeat('p', 33).c_str()).zeros(32)),
      bad<api_lookup_homedir_req_t>("principal of 129", qel_xdr_api_lookup_homedir_req_t,
                                    B().str(repeat('p', 129).c_str())),
      bad<api_lookup_homedir_rply_t>("home of 1025", qel_xdr_api_lookup_homedir_rply_t,
                                     B().str(repeat('h', 1025).c_str())),
      bad<api_getgroups_rply_t>("array above ngroups", qel_xdr_api_getgroups_rply_t,
                                B().u32(1).u32(2).i32(1).i32(2)),
      bad<api_getgroups_rply_t>("ngroups huge", qel_xdr_api_getgroups_rply_t,
                                B().u32(0xFFFFFFFF).u32(1).i32(1)),
      bad<api_getgroups_rply_t>("ngroups above the bound", qel_xdr_api_getgroups_rply_t,
                                B().u32(QEL_LIST_MAX + 1).u32(0)),
      bad<api_uda_set_expiration_req_t>("path of 1025", qel_xdr_api_uda_set_expiration_req_t,
                                        B().fstr(repeat('e', 1025).c_str()).u64(0)),
      bad<api_fdigest_get_req_t>("path length 0", qel_xdr_api_fdigest_get_req_t,
                                 B().u32(0).i32(0).zeros(8)),
      bad<api_fdigest_get_req_t>("path length negative", qel_xdr_api_fdigest_get_req_t,
                                 B().u32(0).i32(-1).zeros(8)),
      bad<quor_file_hash_digest_t>("digest buffer of 65", qel_xdr_quor_file_hash_digest_t,
                                   B().u32(1).fstr("").u32(0).i32(1).u32(65).zeros(68)),
      bad<quor_file_hash_digest_t>("creator of 16", qel_xdr_quor_file_hash_digest_t,
                                   B().u32(1).fstr(repeat('c', 16).c_str()).zeros(76)),
      bad<quor_file_hash_digest_list_t>("list array above count",
                                        qel_xdr_quor_file_hash_digest_list_t,
                                        B().u32(1).u32(2).cat(digest).cat(digest)),
      bad<quor_file_hash_digest_list_t>("list count huge", qel_xdr_quor_file_hash_digest_list_t,
                                        B().u32(0xFFFFFFFF).u32(1).cat(digest)),
      bad<quor_file_hash_digest_list_t>("list shorter than its array",
                                        qel_xdr_quor_file_hash_digest_list_t,
                                        B().u32(3).u32(3).cat(digest).cat(digest)),
      bad<api_fdigest_get_rply_t>("reply list broken", qel_xdr_api_fdigest_get_rply_t,
                                  B().u32(0).u64(0).u32(2).u32(2).cat(digest).u32(1)),
  };
  wire::expect_all_refused(cases);
}

TEST(XdrCli, EncodingRefusesWhatCannotTravel) {
  std::string nine = repeat('s', 9), long_text = repeat('t', 2048), p129 = repeat('p', 129),
              u257 = repeat('u', 257);
  api_openlog_t o{0, nine.data()};
  EXPECT_FALSE(encodes(qel_xdr_api_openlog_t, &o));
  api_openlog_t none{0, nullptr};
  EXPECT_FALSE(encodes(qel_xdr_api_openlog_t, &none));
  api_log_message_t m{0, 0, long_text.data()};
  EXPECT_FALSE(encodes(qel_xdr_api_log_message_t, &m));
  api_lookup_homedir_req_t h{p129.data()};
  EXPECT_FALSE(encodes(qel_xdr_api_lookup_homedir_req_t, &h));
  api_getpwent_req_t g{u257.data()};
  EXPECT_FALSE(encodes(qel_xdr_api_getpwent_req_t, &g));
  api_fdigest_get_req_t f{};
  memset(f.Path, 'f', 1025);  // fills the array: no room for the NUL
  EXPECT_FALSE(encodes(qel_xdr_api_fdigest_get_req_t, &f));
  ozugw_cli_command_t c{0, 0, 4, nullptr};
  EXPECT_FALSE(encodes(qel_xdr_ozugw_cli_command_t, &c));
  char text[] = "abc";
  ozugw_cli_command_t neg{0, 0, -1, text};
  EXPECT_FALSE(encodes(qel_xdr_ozugw_cli_command_t, &neg));
  quor_file_hash_digest_list_t lost{1, nullptr};
  EXPECT_FALSE(encodes(qel_xdr_quor_file_hash_digest_list_t, &lost));
  api_getgroups_rply_t gl{2, nullptr};
  EXPECT_FALSE(encodes(qel_xdr_api_getgroups_rply_t, &gl));
}
