// Core storage messages on files, data, accounts and the session: wire forms
// written out by hand, round trips and malformed input.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>

#include <functional>
#include <string>
#include <type_traits>
#include <vector>

#include "codec_cases.h"
#include "msg_files.h"
#include "wire.h"

using wire::B;
using wire::Bytes;
using wire::release;
using wire::v4;

namespace {

class XdrFiles : public wire::Ipv4OnlyTest {};

template <typename T>
T zeroed() {
  T r;
  memset(&r, 0, sizeof r);
  return r;
}

void sampleHints(quor_cos_hints_t* h) {
  h->COSId = 5;
  strcpy(h->COSName, "cos-a");
  h->Flags = 1;
  h->OptimumAccessSize = 1ull << 20;
  h->MinFileSize = 0;
  h->MaxFileSize = 1ull << 40;
  h->AccessFrequency = 2;
  h->TransferRate = 3;
  h->AvgLatency = 4;
  h->WriteOps = 5;
  h->ReadOps = 6;
  h->StageCode = 7;
  h->StripeWidth = 8;
  h->StripeLength = 1ull << 16;
  h->FamilyId = 9;
}

Bytes sampleHintsWire() {
  return B()
      .u32(5)
      .fstr("cos-a")
      .u32(1)
      .u64(1ull << 20)
      .u64(0)
      .u64(1ull << 40)
      .u32(2).u32(3).u32(4).u32(5).u32(6).u32(7).u32(8)
      .u64(1ull << 16)
      .u32(9);
}

void samplePriorities(quor_cos_priorities_t* p) {
  unsigned32* f[] = {&p->COSIdPriority,         &p->COSNamePriority,
                     &p->OptimumAccessSizePriority, &p->MinFileSizePriority,
                     &p->MaxFileSizePriority,   &p->AccessFrequencyPriority,
                     &p->TransferRatePriority,  &p->AvgLatencyPriority,
                     &p->WriteOpsPriority,      &p->ReadOpsPriority,
                     &p->StageCodePriority,     &p->StripeWidthPriority,
                     &p->StripeLengthPriority,  &p->FamilyIdPriority};
  for (unsigned i = 0; i < 14; i++) *f[i] = 100 + i;
}

Bytes samplePrioritiesWire() {
  B b;
  for (uint32_t i = 0; i < 14; i++) b.u32(100 + i);
  return b;
}

// A row of the round-trip table. The samples point at the test's data; the
// decoder is given the record as its caller prepares it (preset).
template <typename T>
wire::Case rt(const char* name, size_t size, bool_t (*codec)(XDR*, T*),
              std::type_identity_t<std::function<void(T*)>> fill,
              std::type_identity_t<std::function<void(T*)>> preset = nullptr) {
  wire::Case c = wire::record<T>(name, size, codec, fill, preset);
  c.borrowed = true;
  return c;
}

}  // namespace

TEST_F(XdrFiles, OpenXRequestCarriesThePortNumber) {
  auto r = zeroed<api_quor_OpenX_req_t>();
  r.XIOFlags = 0x80000000u;
  r.dataport = htons(2000);  // network order in memory, whatever the host's
  r.Path = const_cast<char*>("/home/u/f");
  r.Oflag = 0x42;
  r.Mode = 0100644;
  sampleHints(&r.HintsIn);
  samplePriorities(&r.HintsPri);
  Bytes want = B()
                   .u32(0x80000000u)
                   .u32(0)     // no address
                   .u32(2000)  // the port number itself
                   .str("/home/u/f")
                   .u32(0x42)
                   .u32(0x201A4)
                   .cat(sampleHintsWire())
                   .cat(samplePrioritiesWire());
  EXPECT_EQ(wire::hex(wire::encode(qel_xdr_api_quor_OpenX_req_t, &r)), wire::hex(want));
  EXPECT_EQ(r.dataport, htons(2000));  // encoding leaves the caller's field alone

  auto back = zeroed<api_quor_OpenX_req_t>();
  size_t used = 0;
  ASSERT_TRUE(wire::decode(qel_xdr_api_quor_OpenX_req_t, want, &back, &used));
  EXPECT_EQ(used, want.size());
  EXPECT_EQ(back.dataport, htons(2000));
  EXPECT_STREQ(back.Path, "/home/u/f");
  EXPECT_EQ(back.Mode, mode_t(0100644));
  EXPECT_STREQ(back.HintsIn.COSName, "cos-a");
  EXPECT_EQ(back.HintsIn.MaxFileSize, 1ull << 40);
  EXPECT_EQ(back.HintsPri.FamilyIdPriority, 113u);
  release(qel_xdr_api_quor_OpenX_req_t, &back);
  EXPECT_EQ(back.Path, nullptr);
  wire::expect_truncations_fail(qel_xdr_api_quor_OpenX_req_t, want, "OpenX request");
}

TEST_F(XdrFiles, OpenXReplyPortIsNotConverted) {
  Bytes want = B().u32(1).raw({127, 0, 0, 1}).u32(1217).u32(2000).cat(sampleHintsWire());
  auto back = zeroed<api_quor_OpenX_rply_t>();
  ASSERT_TRUE(wire::decode(qel_xdr_api_quor_OpenX_rply_t, want, &back));
  EXPECT_EQ(back.dataport, 2000);
  EXPECT_EQ(quor_net_getport(&back.connectaddr, nullptr, 0), 1217);
  EXPECT_EQ(back.HintsOut.StripeLength, 1ull << 16);
  EXPECT_EQ(wire::hex(wire::encode(qel_xdr_api_quor_OpenX_rply_t, &back)), wire::hex(want));
  wire::expect_truncations_fail(qel_xdr_api_quor_OpenX_rply_t, want, "OpenX reply");
}

TEST_F(XdrFiles, CreateReplyWithUnsetAddress) {
  Bytes want = B().u32(0).u32(70000).cat(sampleHintsWire());
  auto r = zeroed<api_quor_Create_rply_t>();
  r.dataport = 70000;  // a whole word here, unlike OpenX
  sampleHints(&r.HintsOut);
  EXPECT_EQ(wire::hex(wire::encode(qel_xdr_api_quor_Create_rply_t, &r)), wire::hex(want));

  auto back = zeroed<api_quor_Create_rply_t>();
  back.connectaddr.hs_addrlen = 99;  // must come back cleared
  size_t used = 0;
  ASSERT_TRUE(wire::decode(qel_xdr_api_quor_Create_rply_t, want, &back, &used));
  EXPECT_EQ(used, want.size());
  quor_sockaddr_t none{};
  EXPECT_EQ(memcmp(&back.connectaddr, &none, sizeof none), 0);
  EXPECT_EQ(back.dataport, 70000u);
  EXPECT_EQ(memcmp(&back.HintsOut, &r.HintsOut, sizeof r.HintsOut), 0);
  wire::expect_truncations_fail(qel_xdr_api_quor_Create_rply_t, want, "Create reply");
}

TEST_F(XdrFiles, LseekCarriesSignedOffsets) {
  Bytes rply = B().u32(0xFFFFFFFFu).u32(0xFFFFFFFEu);
  auto back = zeroed<api_quor_Lseek_rply_t>();
  ASSERT_TRUE(wire::decode(qel_xdr_api_quor_Lseek_rply_t, rply, &back));
  EXPECT_EQ(back.retval, -2);
  api_quor_Lseek_rply_t r{-2};
  EXPECT_EQ(wire::hex(wire::encode(qel_xdr_api_quor_Lseek_rply_t, &r)), wire::hex(rply));

  api_quor_Lseek_req_t q{3, -(int64_t(1) << 33), 1};
  Bytes req = B().i32(3).u32(0xFFFFFFFEu).u32(0).i32(1);
  EXPECT_EQ(wire::hex(wire::encode(qel_xdr_api_quor_Lseek_req_t, &q)), wire::hex(req));
  auto qback = zeroed<api_quor_Lseek_req_t>();
  ASSERT_TRUE(wire::decode(qel_xdr_api_quor_Lseek_req_t, req, &qback));
  EXPECT_EQ(qback.Offset, -(int64_t(1) << 33));
  EXPECT_EQ(qback.Whence, 1);
  wire::expect_truncations_fail(qel_xdr_api_quor_Lseek_rply_t, rply, "Lseek reply");
  wire::expect_truncations_fail(qel_xdr_api_quor_Lseek_req_t, req, "Lseek request");
}

TEST_F(XdrFiles, AccountList) {
  Bytes none = B().u32(0);
  auto r = zeroed<api_quor_GetAcctList_rply_t>();
  size_t used = 0;
  ASSERT_TRUE(wire::decode(qel_xdr_api_quor_GetAcctList_rply_t, none, &r, &used));
  EXPECT_EQ(used, 4u);
  EXPECT_EQ(r.entryCount, 0u);
  EXPECT_EQ(r.acctEntries, nullptr);
  EXPECT_EQ(wire::hex(wire::encode(qel_xdr_api_quor_GetAcctList_rply_t, &r)), wire::hex(none));

  Bytes two = B().u32(2).u32(100).fstr("acct1").u32(200).fstr("");
  ASSERT_TRUE(wire::decode(qel_xdr_api_quor_GetAcctList_rply_t, two, &r));
  ASSERT_NE(r.acctEntries, nullptr);
  EXPECT_EQ(r.acctEntries[0].accountId, 100u);
  EXPECT_STREQ(r.acctEntries[0].acctName, "acct1");
  EXPECT_EQ(r.acctEntries[1].accountId, 200u);
  EXPECT_STREQ(r.acctEntries[1].acctName, "");
  EXPECT_EQ(wire::hex(wire::encode(qel_xdr_api_quor_GetAcctList_rply_t, &r)), wire::hex(two));
  release(qel_xdr_api_quor_GetAcctList_rply_t, &r);
  EXPECT_EQ(r.acctEntries, nullptr);
  wire::expect_truncations_fail(qel_xdr_api_quor_GetAcctList_rply_t, two, "account list");

  // A count far beyond the bytes that follow, or beyond any bound.
  for (uint32_t count : {1000000u, 0x7FFFFFFFu, 0xFFFFFFFFu}) {
    auto h = zeroed<api_quor_GetAcctList_rply_t>();
    EXPECT_FALSE(wire::decode(qel_xdr_api_quor_GetAcctList_rply_t,
                              B().u32(count).u32(1).fstr("a"), &h))
        << count;
    release(qel_xdr_api_quor_GetAcctList_rply_t, &h);
  }
  // An account name over its bound.
  auto o = zeroed<api_quor_GetAcctList_rply_t>();
  EXPECT_FALSE(wire::decode(qel_xdr_api_quor_GetAcctList_rply_t,
                            B().u32(1).u32(1).u32(129).zeros(132), &o));
  release(qel_xdr_api_quor_GetAcctList_rply_t, &o);
}

TEST_F(XdrFiles, AccountNames) {
  // Opaque forms: exactly 128 bytes, whatever follows the NUL.
  char name[128] = "acct";
  name[100] = 'z';
  auto q = zeroed<api_quor_AcctNameToCode_req_t>();
  memcpy(q.AcctName, name, sizeof name);
  q.Site = 4;
  Bytes req = B().raw(name, 128).u32(4);
  EXPECT_EQ(wire::hex(wire::encode(qel_xdr_api_quor_AcctNameToCode_req_t, &q)), wire::hex(req));

  api_quor_AcctNameToCode_rply_t a{7, 1234};
  Bytes rply = B().u32(7).u32(1234);
  EXPECT_EQ(wire::hex(wire::encode(qel_xdr_api_AcctNameToCode_rply_t, &a)), wire::hex(rply));

  // A full 128-byte name comes back terminated.
  char full[128];
  memset(full, 'n', sizeof full);
  Bytes byCode = B().u32(2).raw(full, 128);
  auto c = zeroed<api_quor_AcctCodeToName_rply_t>();
  memset(c.AcctName, 'x', sizeof c.AcctName);
  ASSERT_TRUE(wire::decode(qel_xdr_api_quor_AcctCodeToName_rply_t, byCode, &c));
  EXPECT_EQ(c.Site, 2u);
  EXPECT_EQ(strlen(c.AcctName), 128u);
  auto g = zeroed<api_quor_GetAcctName_rply_t>();
  memset(g.AcctName, 'x', sizeof g.AcctName);
  ASSERT_TRUE(wire::decode(qel_xdr_api_quor_GetAcctName_rply_t, B().raw(full, 128), &g));
  EXPECT_EQ(strlen(g.AcctName), 128u);

  // The bounded form: at most 127 characters and the NUL.
  auto s = zeroed<api_quor_SetAcctByName_req_t>();
  strcpy(s.AcctName, "acct");
  EXPECT_EQ(wire::hex(wire::encode(qel_xdr_api_quor_SetAcctByName_req_t, &s)),
            wire::hex(B().u32(5).raw("acct", 5)));
  memset(s.AcctName, 'a', 127);
  s.AcctName[127] = 0;
  bool ok = false;
  EXPECT_EQ(wire::encode(qel_xdr_api_quor_SetAcctByName_req_t, &s, &ok).size(), 4u + 128u);
  EXPECT_TRUE(ok);
  memset(s.AcctName, 'a', 128);
  s.AcctName[128] = 0;
  wire::encode(qel_xdr_api_quor_SetAcctByName_req_t, &s, &ok);
  EXPECT_FALSE(ok);
  auto sb = zeroed<api_quor_SetAcctByName_req_t>();
  EXPECT_FALSE(wire::decode(qel_xdr_api_quor_SetAcctByName_req_t, B().u32(129).zeros(132), &sb));
  EXPECT_FALSE(wire::decode(qel_xdr_api_quor_SetAcctByName_req_t, B().i32(-1), &sb));
}

TEST_F(XdrFiles, ListRequestSendsFlagsFirst) {
  iod_srcsinkdesc_t src{}, sink{};
  src.Length = 10;
  src.SrcSinkAddr.Type = CLIENTFILE_ADDRESS;
  src.SrcSinkAddr.Addr_u.ClientFileAddr.FileDes = 4;
  sink.Flags = 0x20;
  sink.Length = 10;
  sink.SrcSinkAddr.Type = NET_ADDRESS;
  sink.SrcSinkAddr.Addr_u.NetAddr.SockTransferID = 3;
  auto r = zeroed<api_quor_ReadList_req_t>();
  r.Flags = 1;
  r.theIOD.RequestID.time_low = 0xA1;
  r.theIOD.Function = 1;
  r.theIOD.SrcDescLength = 1;
  r.theIOD.SinkDescLength = 1;
  r.theIOD.SrcDescList = &src;
  r.theIOD.SinkDescList = &sink;
  Bytes want = B()
                   .u32(1)  // Flags
                   .u32(0xA1).u32(0).u32(0).u32(0).u32(0).zeros(8)
                   .i32(1).u32(0).u32(0).i32(1).i32(1)
                   .u32(0).u64(0).u64(10).i32(11).i32(4).u64(0)
                   .u32(0x20).u64(0).u64(10).i32(1).u64(3).u32(0).u64(0);
  EXPECT_EQ(wire::hex(wire::encode(qel_xdr_api_quor_ReadList_req_t, &r)), wire::hex(want));
  r.Flags = 0;
  want[3] = 0;
  EXPECT_EQ(wire::hex(wire::encode(qel_xdr_quor_WriteList_req_t, &r)), wire::hex(want));

  auto back = zeroed<api_quor_WriteList_req_t>();
  ASSERT_TRUE(wire::decode(qel_xdr_quor_WriteList_req_t, want, &back));
  EXPECT_EQ(back.Flags, 0u);
  ASSERT_NE(back.theIOD.SinkDescList, nullptr);
  EXPECT_EQ(back.theIOD.SinkDescList->SrcSinkAddr.Addr_u.NetAddr.SockTransferID, 3u);
  release(qel_xdr_quor_WriteList_req_t, &back);
  EXPECT_EQ(back.theIOD.SrcDescList, nullptr);
  wire::expect_truncations_fail(qel_xdr_api_quor_ReadList_req_t, want, "list request");
}

TEST_F(XdrFiles, StageCallBackWithoutReportAddress) {
  auto r = zeroed<api_quor_StageCallBack_req_t>();
  r.Path = const_cast<char*>("/p");
  r.Flags = 2;
  Bytes want = B().str("/p").u64(0).u64(0).u32(0).u32(2).u32(0).zeros(28);
  EXPECT_EQ(wire::hex(wire::encode(qel_xdr_api_quor_StageCallBack_req_t, &r)), wire::hex(want));
}

TEST_F(XdrFiles, FstatDecodesIntoTheCallersRecord) {
  quor_stat_t mine{};
  mine.quor_st_birthtime = 77;  // kept locally, never touched
  auto r = zeroed<api_quor_Fstat_rply_t>();
  r.StatBuf = &mine;
  B b;
  b.u32(1).u64(2).u32(3).u32(4).u32(5).u32(6).u32(7).u64(8).u32(9).u32(10).u32(11);
  b.u32(12).u32(13).i32(-14).u32(15).u32(16).u32(17).u64(18).u32(0100644);
  Bytes want = b;
  ASSERT_EQ(want.size(), 88u);
  ASSERT_TRUE(wire::decode(qel_xdr_api_quor_Fstat_rply_t, want, &r));
  EXPECT_EQ(mine.st_ino, 2u);
  EXPECT_EQ(mine.st_vfstype, -14);
  EXPECT_EQ(mine.st_size, 18u);
  EXPECT_EQ(mine.st_mode, 0100644u);
  EXPECT_EQ(mine.quor_st_birthtime, 77u);
  release(qel_xdr_api_quor_Fstat_rply_t, &r);  // leaves the caller's record alone
  EXPECT_EQ(r.StatBuf, &mine);
  EXPECT_EQ(wire::hex(wire::encode(qel_xdr_api_quor_Fstat_rply_t, &r)), wire::hex(want));

  auto none = zeroed<api_quor_Fstat_rply_t>();
  EXPECT_FALSE(wire::decode(qel_xdr_api_quor_Fstat_rply_t, want, &none));
  bool ok = true;
  wire::encode(qel_xdr_api_quor_Fstat_rply_t, &none, &ok);
  EXPECT_FALSE(ok);
}

TEST_F(XdrFiles, PathsAreBounded) {
  auto r = zeroed<api_quor_Chacct_req_t>();
  bool ok = true;
  wire::encode(qel_xdr_api_quor_Chacct_req_t, &r, &ok);  // no path
  EXPECT_FALSE(ok);
  std::string p(1024, 'p');
  r.Path = p.data();
  EXPECT_EQ(wire::encode(qel_xdr_api_quor_Chacct_req_t, &r, &ok).size(), 4u + 1024u + 4u);
  EXPECT_TRUE(ok);
  p += 'q';
  r.Path = p.data();
  wire::encode(qel_xdr_api_quor_Chacct_req_t, &r, &ok);
  EXPECT_FALSE(ok);

  auto back = zeroed<api_quor_Chacct_req_t>();
  EXPECT_FALSE(wire::decode(qel_xdr_api_quor_Chacct_req_t, B().u32(1025).zeros(1028).u32(1), &back));
  release(qel_xdr_api_quor_Chacct_req_t, &back);
  EXPECT_FALSE(wire::decode(qel_xdr_api_quor_Chacct_req_t, B().u32(0xFFFFFFFFu).u32(1), &back));
  release(qel_xdr_api_quor_Chacct_req_t, &back);
}

// The other records: encode, check the size the tables give, decode, encode
// again, and every truncation fails.
TEST_F(XdrFiles, RoundTrips) {
  // Hints 84 bytes with the sample name, priorities 56.
  const size_t H = 84, P = 56;
  static char path[] = "/dir/file";  // 9 characters: 16 bytes with the length
  static quor_stat_t statBuf;
  const std::vector<wire::Case> cases = {
      rt("AcctCodeToName request", 8, qel_xdr_api_quor_AcctCodeToName_req_t,
          [](auto* r) { *r = {42, 3}; }),
      rt("AcctCodeToName reply", 132, qel_xdr_api_quor_AcctCodeToName_rply_t,
          [](auto* r) {
            r->Site = 1;
            strcpy(r->AcctName, "ops");
          }),
      rt("Chacct", 16 + 4, qel_xdr_api_quor_Chacct_req_t,
                                           [](auto* r) {
                                             r->Path = path;
                                             r->Account = 9;
                                           }),
      rt("Close", 4, qel_xdr_api_quor_Close_req_t,
                                          [](auto* r) { r->Fildes = -1; }),
      rt("Create request", 16 + 4 + H + P,
                                           qel_xdr_api_quor_Create_req_t,
                                           [](auto* r) {
                                             r->Path = path;
                                             r->Mode = 040755;
                                             sampleHints(&r->HintsIn);
                                             samplePriorities(&r->HintsPri);
                                           }),
      rt("Create reply with an address", 12 + 4 + H,
                                            qel_xdr_api_quor_Create_rply_t,
                                            [](auto* r) {
                                              r->connectaddr = v4("10.1.2.3", 4000);
                                              r->dataport = 4001;
                                              sampleHints(&r->HintsOut);
                                            }),
      rt("CopyFile", 8, qel_xdr_api_quor_CopyFile_req_t,
                                             [](auto* r) { *r = {3, 4}; }),
      rt("Fstat request", 4, qel_xdr_api_quor_Fstat_req_t,
                                          [](auto* r) { r->Fildes = 12; }),
      rt("Fstat reply", 88, qel_xdr_api_quor_Fstat_rply_t,
          [](auto* r) {
            statBuf.st_size = 1ull << 35;
            statBuf.st_nlink = 2;
            r->StatBuf = &statBuf;
          },
          [](auto* r) { r->StatBuf = &statBuf; }),
      rt("FileSetCOS", 16 + 8,
                                               qel_xdr_api_quor_FileSetCOS_req_t,
                                               [](auto* r) {
                                                 r->Path = path;
                                                 r->COSId = 2;
                                                 r->StreamId = 1;
                                               }),
      rt("GetAcct", 8, qel_xdr_api_quor_GetAcct_rply_t,
                                             [](auto* r) { *r = {1, 2}; }),
      rt("GetAcctName", 128,
                                                 qel_xdr_api_quor_GetAcctName_rply_t,
                                                 [](auto* r) { strcpy(r->AcctName, "x"); }),
      rt("GetAsyncStatus request", 28 + 28, qel_xdr_api_quor_GetAsyncStatus_req_t,
          [](auto* r) {
            r->callbackID.time_low = 8;
            r->callbackID.node[5] = 1;
            r->BitfileObj.BfId.Bytes[0] = 0x80;
            r->BitfileObj.BfHash = 0x1234;
            r->BitfileObj.ValidHash = 1;
          }),
      rt("GetAsyncStatus reply", 4,
                                                    qel_xdr_api_quor_GetAsyncStatus_rply_t,
                                                    [](auto* r) { r->Status = -5; }),
      rt("GetSubsysStats request", 4,
                                                   qel_xdr_api_quor_GetSubsysStats_req_t,
                                                   [](auto* r) { r->SubsystemID = 1; }),
      rt("GetSubsysStats reply", 24,
                                                    qel_xdr_api_quor_GetSubsysStats_rply_t,
                                                    [](auto* r) {
                                                      r->StatsOut = {1, 2, 3, 4, 5, 6};
                                                    }),
      rt("GetConfiguration", 15 * 4 + 12 + 8 + 12 + 4, qel_xdr_api_quor_GetConfiguration_rply_t,
          [](auto* r) {
            r->ConfigOut.Flags = 3;
            r->ConfigOut.NumRetries = -1;
            r->ConfigOut.AuthnMech = quor_authn_mech_unix;
            r->ConfigOut.RPCProtLevel = quor_rpc_prot_pkt;
            strcpy(r->ConfigOut.DescName, "abcdefg");  // 12 bytes
            strcpy(r->ConfigOut.DebugPath, "/tm");     // 8
            strcpy(r->ConfigOut.HostName, "node1.x");  // 12
            r->ConfigOut.XMLSize = 4096;
          }),
      rt("SetConfiguration", 15 * 4 + 8 + 8 + 8 + 4, qel_xdr_api_quor_SetConfiguration_req_t,
          [](auto* r) {
            r->ConfigIn.DebugValue = 2;
            r->ConfigIn.RPCProtLevel = quor_rpc_prot_connect;
          }),
      rt("GetUniqueRequestID", 28, qel_xdr_api_quor_GetUniqueRequestID_rply_t,
          [](auto* r) {
            r->RetReqid.time_mid = 0xFFFF;
            r->RetReqid.clock_seq_low = 0xFE;
          }),
      rt("Migrate request", 12,
                                            qel_xdr_api_quor_Migrate_req_t,
                                            [](auto* r) { *r = {5, 1, 0x10}; }),
      rt("Migrate reply", 8, qel_xdr_api_quor_Migrate_rply_t,
                                             [](auto* r) { r->RetBytesMigrated = ~0ull; }),
      rt("Open request", 16 + 4 + 4 + H + P,
                                         qel_xdr_api_quor_Open_req_t,
                                         [](auto* r) {
                                           r->Path = path;
                                           r->Oflag = 2;
                                           r->Mode = 0600;
                                           sampleHints(&r->HintsIn);
                                           samplePriorities(&r->HintsPri);
                                         }),
      rt("Open reply", H, qel_xdr_api_quor_Open_rply_t,
                                          [](auto* r) { sampleHints(&r->HintsOut); }),
      rt("OpenX request with an address",
                                          4 + 12 + 4 + 16 + 4 + 4 + H + P,
                                          qel_xdr_api_quor_OpenX_req_t,
                                          [](auto* r) {
                                            r->connectaddr = v4("10.0.0.7", 600);
                                            r->dataport = htons(601);
                                            r->Path = path;
                                            sampleHints(&r->HintsIn);
                                          }),
      rt("Purge request", 28, qel_xdr_api_quor_Purge_req_t,
                                          [](auto* r) { *r = {1, 0, 0, 2, 4}; }),
      rt("Purge reply", 8, qel_xdr_api_quor_Purge_rply_t,
                                           [](auto* r) { r->RetBytesPurged = 1ull << 40; }),
      rt("ReadX", 16, qel_xdr_api_quor_ReadX_req_t,
                                          [](auto* r) { *r = {0x80000000u, 6, 1ull << 32}; }),
      rt("WriteX", 16, qel_xdr_api_quor_WriteX_req_t,
                                           [](auto* r) { *r = {0, 6, 17}; }),
      rt("ReadList reply", 28 + 4 + 4 + 4 + 4 + 4 + 16, qel_xdr_api_quor_ReadList_rply_t,
          [](auto* r) {
            static iod_srcsinkreply_t one{0, 0, 4096, nullptr};
            r->theIOR.SinkReplyLength = 1;
            r->theIOR.SinkReplyList = &one;
          }),
      rt("WriteList reply", 28 + 4 + 4 + 4 + 4 + 4 + 16, qel_xdr_api_quor_WriteList_rply_t,
          [](auto* r) {
            static iod_srcsinkreply_t one{1, -2, 3, nullptr};
            r->theIOR.SrcReplyLength = 1;
            r->theIOR.SrcReplyList = &one;
          }),
      rt("SetAcct", 4, qel_xdr_api_quor_SetAcct_req_t,
                                            [](auto* r) { r->NewCurAcct = 77; }),
      rt("SetFileOffset request", 20,
                                                  qel_xdr_api_quor_SetFileOffset_req_t,
                                                  [](auto* r) { *r = {2, 1ull << 33, 1, 0}; }),
      rt("SetFileOffset reply", 8,
                                                   qel_xdr_api_quor_SetFileOffset_rply_t,
                                                   [](auto* r) { r->OffsetOut = 5; }),
      rt("Stage request", 28, qel_xdr_api_quor_Stage_req_t,
                                          [](auto* r) { *r = {9, 1, 2, 3, 4}; }),
      rt("SetGID", 4, qel_xdr_api_quor_SetGID_req_t,
                                           [](auto* r) { r->NewCurGID = 100; }),
      rt("SetCOSByHints request", 8 + H + P,
                                                  qel_xdr_api_quor_SetCOSByHints_req_t,
                                                  [](auto* r) {
                                                    r->Fildes = 3;
                                                    r->Flags = 1;
                                                    sampleHints(&r->HintsIn);
                                                    samplePriorities(&r->PrioPriIn);
                                                  }),
      rt("SetCOSByHints reply", 64 + 8,
                                                   qel_xdr_api_quor_SetCOSByHints_rply_t,
                                                   [](auto* r) {
                                                     r->COSout.COSId = 1;
                                                     strcpy(r->COSout.COSName, "ab");  // 8
                                                     r->COSout.FileHashType = QUOR_HASH_MD5;
                                                   }),
      rt("StageCallBack request with an address", 16 + 24 + 12 + 28,
          qel_xdr_api_quor_StageCallBack_req_t,
          [](auto* r) {
            r->Path = path;
            r->Length = 100;
            r->CallBackPtr.sockaddr = v4("127.0.0.1", 7000);
            r->CallBackPtr.id.time_low = 3;
          }),
      rt("StageCallBack reply", 56,
                                                   qel_xdr_api_quor_StageCallBack_rply_t,
                                                   [](auto* r) {
                                                     r->ReqID.time_low = 1;
                                                     r->BitfileObj.BfHash = 2;
                                                   }),
  };
  wire::expect_cases(cases);
}
