// lfx records: golden wire forms written out by hand, round trips of the
// rest, and refusal of broken input.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "codec_cases.h"
#include "msg_lfx.h"
#include "wire.h"

using wire::B;
using wire::Bytes;
using wire::encodes;
using wire::expect_refused;
using wire::FamilyGuard;
using wire::row;
using wire::v4;

namespace {

char* dup_bytes(const char* s, size_t n) {
  char* p = static_cast<char*>(malloc(n));
  memcpy(p, s, n);
  return p;
}

Bytes reserved_words(int n, uint32_t first) {
  B b;
  for (int i = 0; i < n; i++) b.u32(first + uint32_t(i));
  return b;
}

void fill_stat(ozu_lfx_stat_t& s, uint32_t seed) {
  s.hst_mode = 0x81ED;
  s.hst_nlink = seed;
  s.hst_uid = 500 + seed;
  s.hst_gid = 600 + seed;
  s.hst_mtime = 0x61000001;
  s.hst_atime = 0x61000002;
  s.hst_ctime = 0x61000003;
  s.hst_size = 0x100000000ull + seed;
}

}  // namespace

// ---- transfer records ----

TEST(XdrLfx, InitRequestWithChecksumAndInlineData) {
  ozugw_lfx_xfer_init_req_t req{};
  req.flags = 0;
  req.filedes = -1;
  ozu_xfer_init_info_t& in = req.initInfo;
  in.flags = OZU_XFER_INLINE_DATA | OZU_XFER_INIT_CKSUM;
  in.xferOperation = 0;
  in.drive = 0;
  strcpy(in.pathName, "/gw/small");
  in.fileSize = 5;
  in.srcOffset = 0x100000002ull;
  in.sinkOffset = 7;
  in.xferLength = 5;
  in.bufSize = 0;
  in.mode = 0x81A4;
  in.uid = 100;
  in.gid = 200;
  in.fileCksum.csumType = 3;
  in.fileCksum.csumLength = 3;
  in.fileCksum.cksum[0] = 0xAA;
  in.fileCksum.cksum[1] = 0xBB;
  in.fileCksum.cksum[2] = 0xCC;
  in.fileCksum.cksum[3] = 0xDD;  // beyond csumLength: not sent
  in.addressCount = 0;
  uint32_t* res[] = {&in.reserved1, &in.reserved2, &in.reserved3, &in.reserved4,
                     &in.reserved5, &in.reserved6, &in.reserved7, &in.reserved8,
                     &in.reserved9, &in.reserved10};
  for (int i = 0; i < 10; i++) *res[i] = 0x100u + uint32_t(i);
  char data[] = "hello";
  in.fileData = data;

  Bytes want = B()
                   .u32(0)
                   .i32(-1)
                   .u32(0x80000020)
                   .u32(0)
                   .u32(0)
                   .fstr("/gw/small")
                   .u64(5)
                   .u64(0x100000002ull)
                   .u64(7)
                   .u64(5)
                   .u32(0)
                   .u32(0x81A4)
                   .u32(100)
                   .u32(200)
                   .u32(3)
                   .u32(3)
                   .raw({0xAA, 0xBB, 0xCC})
                   .i32(0)
                   .cat(reserved_words(10, 0x100))
                   .raw("hello", 5);
  bool ok = false;
  EXPECT_EQ(wire::hex(wire::encode(qel_xdr_ozugw_lfx_xfer_init_req_t, &req, &ok)),
            wire::hex(want));
  EXPECT_TRUE(ok);

  ozugw_lfx_xfer_init_req_t got{};
  size_t used = 0;
  ASSERT_TRUE(wire::decode(qel_xdr_ozugw_lfx_xfer_init_req_t, want, &got, &used));
  EXPECT_EQ(used, want.size());
  EXPECT_EQ(got.filedes, -1);
  EXPECT_EQ(got.initInfo.flags, 0x80000020u);
  EXPECT_STREQ(got.initInfo.pathName, "/gw/small");
  EXPECT_EQ(got.initInfo.srcOffset, 0x100000002ull);
  EXPECT_EQ(got.initInfo.sinkOffset, 7u);
  EXPECT_EQ(got.initInfo.mode, 0x81A4u);
  EXPECT_EQ(got.initInfo.gid, 200u);
  EXPECT_EQ(got.initInfo.fileCksum.csumType, 3u);
  ASSERT_EQ(got.initInfo.fileCksum.csumLength, 3u);
  EXPECT_EQ(got.initInfo.fileCksum.cksum[2], 0xCC);
  EXPECT_EQ(got.initInfo.reserved1, 0x100u);
  EXPECT_EQ(got.initInfo.reserved10, 0x109u);
  EXPECT_EQ(got.initInfo.addressList, nullptr);
  ASSERT_NE(got.initInfo.fileData, nullptr);
  EXPECT_EQ(std::string(got.initInfo.fileData, 5), "hello");
  xdr_free((xdrproc_t)qel_xdr_ozugw_lfx_xfer_init_req_t, reinterpret_cast<char*>(&got));
  EXPECT_EQ(got.initInfo.fileData, nullptr);
}

TEST(XdrLfx, InitReplyChecksumFollowsAddressCount) {
  FamilyGuard fam("ipv4_only");
  ozugw_lfx_xfer_init_rply_t rp{};
  rp.flags = 9;
  ozu_xfer_init_reply_t& r = rp.initReplyInfo;
  r.flags = OZU_XFER_INLINE_DATA | OZU_XFER_REPLY_CKSUM;
  r.xferSerialNum = 42;
  r.fileCksum.csumType = 2;
  r.fileCksum.csumLength = 4;
  memcpy(r.fileCksum.cksum, "\xDE\xAD\xBE\xEF", 4);
  ozu_sockaddr_info_t addr{};
  addr.addressType = 2;
  addr.preConnected = 1;
  addr.poolID = 77;
  addr.socketFD = 12;
  addr.socketAddr = v4("127.0.0.1", 1217);
  r.addressCount = 1;
  r.addressList = &addr;
  r.xferStatus = -5;
  r.fileSize = 3;
  r.reserved1 = 11;
  r.reserved2 = 12;
  r.reserved3 = 13;
  r.reserved4 = 14;
  r.reserved5 = 15;
  char data[] = "xyz";
  r.fileData = data;

  Bytes want = B()
                   .u32(9)
                   .u32(0x80000001)
                   .u32(42)
                   .i32(1)
                   .u32(2)
                   .u32(4)
                   .raw({0xDE, 0xAD, 0xBE, 0xEF})
                   .u32(2)
                   .u32(1)
                   .u32(77)
                   .i32(12)
                   .u32(1)
                   .raw({0x7F, 0x00, 0x00, 0x01})
                   .u32(1217)
                   .i32(-5)
                   .u64(3)
                   .cat(reserved_words(5, 11))
                   .raw("xyz", 3);
  bool ok = false;
  EXPECT_EQ(wire::hex(wire::encode(qel_xdr_ozugw_lfx_xfer_init_rply_t, &rp, &ok)),
            wire::hex(want));
  EXPECT_TRUE(ok);

  ozugw_lfx_xfer_init_rply_t got{};
  size_t used = 0;
  ASSERT_TRUE(wire::decode(qel_xdr_ozugw_lfx_xfer_init_rply_t, want, &got, &used));
  EXPECT_EQ(used, want.size());
  const ozu_xfer_init_reply_t& g = got.initReplyInfo;
  EXPECT_EQ(got.flags, 9u);
  EXPECT_EQ(g.xferSerialNum, 42u);
  ASSERT_EQ(g.fileCksum.csumLength, 4u);
  EXPECT_EQ(memcmp(g.fileCksum.cksum, "\xDE\xAD\xBE\xEF", 4), 0);
  ASSERT_EQ(g.addressCount, 1);
  ASSERT_NE(g.addressList, nullptr);
  EXPECT_EQ(g.addressList[0].addressType, 2);
  EXPECT_EQ(g.addressList[0].preConnected, 1);
  EXPECT_EQ(g.addressList[0].poolID, 77u);
  EXPECT_EQ(g.addressList[0].socketFD, 12);
  EXPECT_EQ(quor_net_getport(&g.addressList[0].socketAddr, nullptr, 0), 1217);
  EXPECT_EQ(g.xferStatus, -5);
  EXPECT_EQ(g.fileSize, 3u);
  EXPECT_EQ(g.reserved5, 15u);
  ASSERT_NE(g.fileData, nullptr);
  EXPECT_EQ(std::string(g.fileData, 3), "xyz");
  xdr_free((xdrproc_t)qel_xdr_ozugw_lfx_xfer_init_rply_t, reinterpret_cast<char*>(&got));
  EXPECT_EQ(got.initReplyInfo.addressList, nullptr);
  EXPECT_EQ(got.initReplyInfo.fileData, nullptr);
}

TEST(XdrLfx, PlainDescriptionSendsNoChecksumAddressesOrData) {
  ozu_xfer_init_info_t in{};
  in.flags = 0x8;
  in.xferOperation = 1;
  in.drive = 'C';
  strcpy(in.pathName, "/x");
  in.fileSize = -1;
  in.srcOffset = 1;
  in.sinkOffset = 2;
  in.xferLength = 4096;  // no inline flag: no data follows
  in.bufSize = 65536;
  in.mode = 0x41ED;
  in.uid = 3;
  in.gid = 4;
  in.fileCksum.csumType = 9;  // no checksum flag: not sent
  in.fileCksum.csumLength = 2000;
  char junk[] = "junk";
  in.fileData = junk;

  Bytes want = B()
                   .u32(0x8)
                   .u32(1)
                   .u32('C')
                   .fstr("/x")
                   .u64(~0ull)
                   .u64(1)
                   .u64(2)
                   .u64(4096)
                   .u32(65536)
                   .u32(0x41ED)
                   .u32(3)
                   .u32(4)
                   .i32(0)
                   .zeros(40);
  bool ok = false;
  EXPECT_EQ(wire::hex(wire::encode(qel_xdr_ozu_xfer_init_info_t, &in, &ok)), wire::hex(want));
  EXPECT_TRUE(ok);

  ozu_xfer_init_info_t got{};
  size_t used = 0;
  ASSERT_TRUE(wire::decode(qel_xdr_ozu_xfer_init_info_t, want, &got, &used));
  EXPECT_EQ(used, want.size());
  EXPECT_EQ(got.drive, 'C');
  EXPECT_EQ(got.fileSize, -1);
  EXPECT_EQ(got.xferLength, 4096u);
  EXPECT_EQ(got.fileCksum.csumLength, 0u);
  EXPECT_EQ(got.addressList, nullptr);
  EXPECT_EQ(got.fileData, nullptr);
  xdr_free((xdrproc_t)qel_xdr_ozu_xfer_init_info_t, reinterpret_cast<char*>(&got));
}

TEST(XdrLfx, InlineReplyOfEmptyFileCarriesNoData) {
  ozu_xfer_init_reply_t r{};
  r.flags = OZU_XFER_INLINE_DATA;
  r.xferSerialNum = 5;
  r.fileSize = 0;
  Bytes want = B().u32(0x80000000).u32(5).i32(0).i32(0).u64(0).zeros(20);
  bool ok = false;
  EXPECT_EQ(wire::hex(wire::encode(qel_xdr_ozu_xfer_init_reply_t, &r, &ok)), wire::hex(want));
  EXPECT_TRUE(ok);

  ozu_xfer_init_reply_t got{};
  size_t used = 0;
  ASSERT_TRUE(wire::decode(qel_xdr_ozu_xfer_init_reply_t, want, &got, &used));
  EXPECT_EQ(used, want.size());
  EXPECT_EQ(got.flags, 0x80000000u);
  EXPECT_EQ(got.fileData, nullptr);
  xdr_free((xdrproc_t)qel_xdr_ozu_xfer_init_reply_t, reinterpret_cast<char*>(&got));
}

TEST(XdrLfx, CompletionReply) {
  ozugw_lfx_xfer_reply_t r{};
  r.flags = 1;
  r.xferCompleteInfo = {2, 3, -4, 0x500000006ull};
  Bytes want = B().u32(1).u32(2).u32(3).i32(-4).u64(0x500000006ull);
  bool ok = false;
  EXPECT_EQ(wire::hex(wire::encode(qel_xdr_ozugw_lfx_xfer_reply_t, &r, &ok)), wire::hex(want));
  EXPECT_TRUE(ok);
  ozugw_lfx_xfer_reply_t got{};
  ASSERT_TRUE(wire::decode(qel_xdr_ozugw_lfx_xfer_reply_t, want, &got));
  EXPECT_EQ(got.xferCompleteInfo.xferStatus, -4);
  EXPECT_EQ(got.xferCompleteInfo.bytesXferred, 0x500000006ull);
}

// ---- file-system records ----

TEST(XdrLfx, StatTimesTravelAs32BitSecondsInOrder) {
  api_lfx_Stat_rply_t r{};
  fill_stat(r.LfxStat, 2);
  r.LfxStat.hst_mtime = 0x1FFFFFFFFll;  // only the low word travels
  Bytes want = B()
                   .u32(0x81ED)
                   .u32(2)
                   .u32(502)
                   .u32(602)
                   .u32(0xFFFFFFFF)
                   .u32(0x61000002)
                   .u32(0x61000003)
                   .u64(0x100000002ull);
  bool ok = false;
  EXPECT_EQ(wire::hex(wire::encode(qel_xdr_lfx_Stat_rply_t, &r, &ok)), wire::hex(want));
  api_lfx_Lstat_rply_t got{};
  ASSERT_TRUE(wire::decode(qel_xdr_lfx_Lstat_rply_t, want, &got));
  EXPECT_EQ(got.LfxStat.hst_mtime, 0xFFFFFFFFll);  // seconds are unsigned on the wire
  EXPECT_EQ(got.LfxStat.hst_ctime, 0x61000003);
  EXPECT_EQ(got.LfxStat.hst_size, 0x100000002ull);
}

TEST(XdrLfx, ChmodUsesPortableModeChownTwoWords) {
  api_lfx_Chmod_req_t cm{};
  strcpy(cm.Path, "/d/f");
  cm.Mode = 0100644;
  bool ok = false;
  EXPECT_EQ(wire::hex(wire::encode(qel_xdr_api_lfx_Chmod_req_t, &cm, &ok)),
            wire::hex(B().fstr("/d/f").u32(0x201A4)));
  api_lfx_Chown_req_t co{};
  strcpy(co.Path, "/d/f");
  co.Owner = 10;
  co.Group = 20;
  EXPECT_EQ(wire::hex(wire::encode(qel_xdr_api_lfx_Chown_req_t, &co, &ok)),
            wire::hex(B().fstr("/d/f").u32(10).u32(20)));
  api_lfx_Mkdir_req_t mk{};
  ASSERT_TRUE(wire::decode(qel_xdr_api_lfx_Mkdir_req_t, B().fstr("/n").u32(0x101ED), &mk));
  EXPECT_STREQ(mk.Path, "/n");
  EXPECT_EQ(mk.Mode, mode_t(040755));
}

TEST(XdrLfx, ReadAttrsReplyEntries) {
  Bytes two = B()
                  .i32(2)
                  .i32(1)
                  .fstr("a")
                  .u32(0x41ED)
                  .u32(2)
                  .u32(1)
                  .u32(2)
                  .u32(10)
                  .u32(11)
                  .u32(12)
                  .u64(4096)
                  .fstr("bb")
                  .u32(0x81A4)
                  .u32(1)
                  .u32(3)
                  .u32(4)
                  .u32(20)
                  .u32(21)
                  .u32(22)
                  .u64(5);
  api_lfx_ReadAttrs_rply_t got{};
  size_t used = 0;
  ASSERT_TRUE(wire::decode(qel_xdr_lfx_ReadAttrs_rply_t, two, &got, &used));
  EXPECT_EQ(used, two.size());
  ASSERT_EQ(got.EntryCount, 2);
  EXPECT_EQ(got.End, 1);
  ASSERT_NE(got.Entries, nullptr);
  EXPECT_STREQ(got.Entries[0].Filename, "a");
  EXPECT_EQ(got.Entries[0].LfxAttrs.hst_ctime, 12);
  EXPECT_STREQ(got.Entries[1].Filename, "bb");
  EXPECT_EQ(got.Entries[1].LfxAttrs.hst_uid, 3u);
  EXPECT_EQ(got.Entries[1].LfxAttrs.hst_size, 5u);
  bool ok = false;
  EXPECT_EQ(wire::hex(wire::encode(qel_xdr_lfx_ReadAttrs_rply_t, &got, &ok)), wire::hex(two));
  xdr_free((xdrproc_t)qel_xdr_lfx_ReadAttrs_rply_t, reinterpret_cast<char*>(&got));
  EXPECT_EQ(got.Entries, nullptr);

  // No entries: the record ends after End and the pointer is left alone.
  ozu_lfx_attrs_t sentinel{};
  api_lfx_ReadAttrs_rply_t none{};
  none.Entries = &sentinel;
  ASSERT_TRUE(wire::decode(qel_xdr_lfx_ReadAttrs_rply_t, B().i32(0).i32(1), &none, &used));
  EXPECT_EQ(used, 8u);
  EXPECT_EQ(none.End, 1);
  EXPECT_EQ(none.Entries, &sentinel);
}

TEST(XdrLfx, RoundTrips) {
  FamilyGuard fam("ipv4_only");
  const std::vector<wire::Case> rows = {
      row<ozu_cksum_t>("cksum", qel_xdr_ozu_cksum_t,
                       [](ozu_cksum_t& c) {
                         c.csumType = 4;
                         c.csumLength = OZU_CKSUM_SIZE;
                         for (int i = 0; i < OZU_CKSUM_SIZE; i++) c.cksum[i] = uint8_t(i * 7);
                       }),
      row<ozu_sockaddr_info_t>("sockaddr info", qel_xdr_ozu_sockaddr_info_t,
                               [](ozu_sockaddr_info_t& a) {
                                 a.addressType = 2;
                                 a.poolID = 9;
                                 a.socketFD = -1;
                                 a.socketAddr = v4("10.1.2.3", 40000);
                               }),
      row<ozugw_lfx_xfer_init_req_t>(
          "init request with addresses", qel_xdr_ozugw_lfx_xfer_init_req_t,
          [](ozugw_lfx_xfer_init_req_t& r) {
            r.filedes = 6;
            r.initInfo.flags = 0x40000001;
            strcpy(r.initInfo.pathName, "/big");
            r.initInfo.xferLength = 1ull << 40;
            r.initInfo.addressCount = 3;
            r.initInfo.addressList =
                static_cast<ozu_sockaddr_info_t*>(calloc(3, sizeof(ozu_sockaddr_info_t)));
            for (int i = 0; i < 3; i++) {
              r.initInfo.addressList[i].poolID = uint32_t(i + 1);
              r.initInfo.addressList[i].socketAddr = v4("192.168.0.1", uint16_t(5000 + i));
            }
            r.initInfo.reserved7 = 7;
          }),
      row<ozu_xfer_init_info_t>("pipe put with checksum", qel_xdr_ozu_xfer_init_info_t,
                                [](ozu_xfer_init_info_t& r) {
                                  r.flags = 0x60;
                                  strcpy(r.pathName, "/p");
                                  r.fileCksum.csumType = 1;
                                  r.fileCksum.csumLength = 5;
                                  memcpy(r.fileCksum.cksum, "abcde", 5);
                                }),
      row<ozu_xfer_init_info_t>("zero-length inline put", qel_xdr_ozu_xfer_init_info_t,
                                [](ozu_xfer_init_info_t& r) {
                                  r.flags = OZU_XFER_INLINE_DATA;
                                  strcpy(r.pathName, "/empty");
                                }),
      row<ozugw_lfx_xfer_init_rply_t>(
          "init reply, inline data of 9 bytes", qel_xdr_ozugw_lfx_xfer_init_rply_t,
          [](ozugw_lfx_xfer_init_rply_t& r) {
            r.initReplyInfo.flags = OZU_XFER_INLINE_DATA;
            r.initReplyInfo.fileSize = 9;
            r.initReplyInfo.fileData = dup_bytes("123456789", 9);
          }),
      row<ozu_xfer_complete_t>("complete", qel_xdr_ozu_xfer_complete_t,
                               [](ozu_xfer_complete_t& c) {
                                 c.flags = 1;
                                 c.xferStatus = -28;
                                 c.bytesXferred = 123;
                               }),
      row<ozu_lfx_attrs_t>("attrs", qel_xdr_ozu_lfx_attrs_t,
                           [](ozu_lfx_attrs_t& a) {
                             memset(a.Filename, 'n', 255);
                             fill_stat(a.LfxAttrs, 1);
                           }),
      row<api_lfx_Chown_req_t>("chown", qel_xdr_api_lfx_Chown_req_t,
                               [](api_lfx_Chown_req_t& r) {
                                 memset(r.Path, 'p', 4095);
                                 r.Owner = 1;
                                 r.Group = 2;
                               }),
      row<api_lfx_Chmod_req_t>("chmod", qel_xdr_api_lfx_Chmod_req_t,
                               [](api_lfx_Chmod_req_t& r) {
                                 strcpy(r.Path, "/m");
                                 r.Mode = 0120777;
                               }),
      row<api_lfx_Mkdir_req_t>("mkdir", qel_xdr_api_lfx_Mkdir_req_t,
                               [](api_lfx_Mkdir_req_t& r) {
                                 strcpy(r.Path, "/d");
                                 r.Mode = 040700;
                               }),
      row<api_lfx_Closedir_req_t>("closedir", qel_xdr_api_lfx_Closedir_req_t,
                                  [](api_lfx_Closedir_req_t& r) { r.Dirdes = 17; }),
      row<api_lfx_Rewinddir_req_t>("rewinddir", qel_xdr_lfx_Rewinddir_req_t,
                                   [](api_lfx_Rewinddir_req_t& r) { r.Dirdes = -3; }),
      row<api_lfx_Getcwd_rply_t>("getcwd", qel_xdr_api_lfx_Getcwd_rply_t,
                                 [](api_lfx_Getcwd_rply_t& r) { r.Buf = strdup("/home/gw"); }),
      row<api_lfx_Getcwd_rply_t>("getcwd empty", qel_xdr_api_lfx_Getcwd_rply_t,
                                 [](api_lfx_Getcwd_rply_t& r) { r.Buf = strdup(""); }),
      row<api_lfx_Opendir_req_t>("opendir empty path", qel_xdr_api_lfx_Opendir_req_t,
                                 [](api_lfx_Opendir_req_t&) {}),
      row<api_lfx_Lstat_req_t>("lstat", qel_xdr_lfx_Lstat_req_t,
                               [](api_lfx_Lstat_req_t& r) { strcpy(r.Path, "/l"); }),
      row<api_lfx_Stat_req_t>("stat", qel_xdr_lfx_Stat_req_t,
                              [](api_lfx_Stat_req_t& r) { strcpy(r.Path, "/s"); }),
      row<api_lfx_Lstat_rply_t>("lstat reply", qel_xdr_lfx_Lstat_rply_t,
                                [](api_lfx_Lstat_rply_t& r) { fill_stat(r.LfxStat, 3); }),
      row<api_lfx_ReadAttrs_req_t>("readattrs request", qel_xdr_lfx_ReadAttrs_req_t,
                                   [](api_lfx_ReadAttrs_req_t& r) {
                                     r.Dirdes = 4;
                                     r.EntryCount = 4000;
                                   }),
      row<api_lfx_ReadAttrs_rply_t>("readattrs reply", qel_xdr_lfx_ReadAttrs_rply_t,
                                    [](api_lfx_ReadAttrs_rply_t& r) {
                                      r.EntryCount = 70;  // past the decoder's first chunk
                                      r.Entries = static_cast<ozu_lfx_attrs_t*>(
                                          calloc(70, sizeof(ozu_lfx_attrs_t)));
                                      for (int i = 0; i < 70; i++) {
                                        snprintf(r.Entries[i].Filename, 256, "f%d", i);
                                        fill_stat(r.Entries[i].LfxAttrs, uint32_t(i));
                                      }
                                    }),
      row<api_lfx_Readlink_req_t>("readlink", qel_xdr_lfx_Readlink_req_t,
                                  [](api_lfx_Readlink_req_t& r) { strcpy(r.Path, "/ln"); }),
      row<api_lfx_Readlink_rply_t>("readlink reply", qel_xdr_lfx_Readlink_rply_t,
                                   [](api_lfx_Readlink_rply_t& r) {
                                     strcpy(r.Contents, "../target");
                                   }),
      row<api_lfx_Rename_req_t>("rename", qel_xdr_lfx_Rename_req_t,
                                [](api_lfx_Rename_req_t& r) {
                                  strcpy(r.Old, "/old");
                                  strcpy(r.New, "/new/name");
                                }),
      row<api_lfx_Symlink_req_t>("symlink", qel_xdr_lfx_Symlink_req_t,
                                 [](api_lfx_Symlink_req_t& r) {
                                   strcpy(r.Contents, "t");
                                   strcpy(r.Path, "/link");
                                 }),
      row<api_lfx_Unlink_req_t>("unlink", qel_xdr_lfx_Unlink_req_t,
                                [](api_lfx_Unlink_req_t& r) { strcpy(r.Path, "/u"); }),
  };
  wire::expect_cases(rows);
}

TEST(XdrLfx, ChecksumLongerThanItsArrayIsRefused) {
  Bytes c1025 = B().u32(1).u32(1025).zeros(1028);
  expect_refused(qel_xdr_ozu_cksum_t, c1025);
  Bytes c1024 = B().u32(1).u32(1024).zeros(1024);
  ozu_cksum_t ok1024{};
  EXPECT_TRUE(wire::decode(qel_xdr_ozu_cksum_t, c1024, &ok1024));

  // The same refusal inside both transfer records.
  Bytes req = B()
                  .u32(OZU_XFER_INIT_CKSUM)
                  .u32(0)
                  .u32(0)
                  .fstr("/f")
                  .u64(0)
                  .u64(0)
                  .u64(0)
                  .u64(0)
                  .u32(0)
                  .u32(0)
                  .u32(0)
                  .u32(0)
                  .cat(c1025)
                  .i32(0)
                  .zeros(40);
  expect_refused(qel_xdr_ozu_xfer_init_info_t, req);
  Bytes rply = B().u32(OZU_XFER_REPLY_CKSUM).u32(1).i32(0).cat(c1025).i32(0).u64(0).zeros(20);
  expect_refused(qel_xdr_ozu_xfer_init_reply_t, rply);

  ozu_xfer_init_info_t in{};
  in.flags = OZU_XFER_INIT_CKSUM;
  in.fileCksum.csumLength = 1025;
  EXPECT_FALSE(encodes(qel_xdr_ozu_xfer_init_info_t, &in));
  ozu_xfer_init_reply_t out{};
  out.flags = OZU_XFER_REPLY_CKSUM;
  out.fileCksum.csumLength = 0xFFFFFFFF;
  EXPECT_FALSE(encodes(qel_xdr_ozu_xfer_init_reply_t, &out));
}

TEST(XdrLfx, MalformedInputIsRefused) {
  FamilyGuard fam("ipv4_only");
  auto reply_with = [](int32_t count, uint32_t flags, uint64_t size) {
    return Bytes(B().u32(flags).u32(1).i32(count).i32(0).u64(size).zeros(20));
  };
  // Negative and huge address counts.
  expect_refused(qel_xdr_ozu_xfer_init_reply_t, reply_with(-1, 0, 0));
  expect_refused(qel_xdr_ozu_xfer_init_reply_t, reply_with(0x7FFFFFFF, 0, 0));
  // Inline data longer than anything that follows, and beyond any sane size.
  expect_refused(qel_xdr_ozu_xfer_init_reply_t, reply_with(0, OZU_XFER_INLINE_DATA, 64));
  expect_refused(qel_xdr_ozu_xfer_init_reply_t,
                 reply_with(0, OZU_XFER_INLINE_DATA, 0xFFFFFFFFFFull));
  // A bad address state inside the list.
  expect_refused(qel_xdr_ozu_xfer_init_reply_t,
                 Bytes(B().u32(0).u32(1).i32(1).u32(2).u32(0).u32(0).i32(0).u32(2).zeros(40)));
  // Paths: length 0, negative, above the array.
  expect_refused(qel_xdr_lfx_Unlink_req_t, B().i32(0));
  expect_refused(qel_xdr_lfx_Unlink_req_t, B().i32(-4).zeros(8));
  expect_refused(qel_xdr_lfx_Unlink_req_t, B().i32(4097).zeros(4100));
  // Entry names longer than 256 bytes, negative and huge entry counts.
  expect_refused(qel_xdr_lfx_ReadAttrs_rply_t, B().i32(1).i32(0).i32(257).zeros(260).zeros(40));
  expect_refused(qel_xdr_lfx_ReadAttrs_rply_t, B().i32(-1).i32(1));
  expect_refused(qel_xdr_lfx_ReadAttrs_rply_t, B().i32(0x7FFFFFFF).i32(1).fstr("a").zeros(36));
  // Working directory longer than 1024.
  expect_refused(qel_xdr_api_lfx_Getcwd_rply_t, B().u32(1025).zeros(1028));
}

TEST(XdrLfx, EncodingRefusesWhatCannotTravel) {
  api_lfx_Unlink_req_t u{};
  memset(u.Path, 'x', 4096);
  EXPECT_FALSE(encodes(qel_xdr_lfx_Unlink_req_t, &u));
  u.Path[4095] = '\0';  // 4095 characters still go
  EXPECT_TRUE(encodes(qel_xdr_lfx_Unlink_req_t, &u));
  ozu_lfx_attrs_t a{};
  memset(a.Filename, 'y', 256);
  EXPECT_FALSE(encodes(qel_xdr_ozu_lfx_attrs_t, &a));
  ozu_xfer_init_info_t in{};
  in.addressCount = -2;
  EXPECT_FALSE(encodes(qel_xdr_ozu_xfer_init_info_t, &in));
  ozu_xfer_init_info_t noaddr{};
  noaddr.addressCount = 1;  // count without a list
  EXPECT_FALSE(encodes(qel_xdr_ozu_xfer_init_info_t, &noaddr));
  ozu_xfer_init_info_t nodata{};
  nodata.flags = OZU_XFER_INLINE_DATA;
  nodata.xferLength = 10;  // inline flag without data
  EXPECT_FALSE(encodes(qel_xdr_ozu_xfer_init_info_t, &nodata));
  api_lfx_Getcwd_rply_t g{};
  EXPECT_FALSE(encodes(qel_xdr_api_lfx_Getcwd_rply_t, &g));
}
