// I/O descriptor and reply records: wire forms written out by hand, round
// trips, malformed input and the release of decoded lists.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <string.h>

#include <functional>
#include <string>
#include <vector>

#include "codec_cases.h"
#include "wire.h"
#include "xdr_iod.h"

using wire::B;
using wire::Bytes;
using wire::release;
using wire::v4;

namespace {

// Socket addresses decode under the family policy: every test runs under
// IPv4 only.
class XdrIod : public wire::Ipv4OnlyTest {};

std::string ipOf(const quor_sockaddr_t& a) {
  int family = 0, len = 0;
  void* in = quor_net_getinaddr(&a, &family, &len);
  if (in == nullptr) return "";
  char buf[INET6_ADDRSTRLEN] = {};
  inet_ntop(family, in, buf, sizeof buf);
  return buf;
}

quor_reqid_t sampleId() {
  quor_reqid_t id{};
  id.time_low = 0x11223344;
  id.time_mid = 0x5566;
  id.time_hi_and_version = 0x7788;
  id.clock_seq_hi_and_reserved = 0x99;
  id.clock_seq_low = 0xAA;
  for (int i = 0; i < 6; i++) id.node[i] = uint8_t(i + 1);
  return id;
}

// The sample id as it travels: 28 bytes.
Bytes sampleIdWire() {
  return B().u32(0x11223344).u32(0x5566).u32(0x7788).u32(0x99).u32(0xAA).raw(
      {1, 2, 3, 4, 5, 6});
}

iod_srcsinkdesc_t* newDesc(int32_t type) {
  auto* d = static_cast<iod_srcsinkdesc_t*>(calloc(1, sizeof(iod_srcsinkdesc_t)));
  d->SrcSinkAddr.Type = type;
  return d;
}

// The list-read descriptor of a plain read: the client file is the source,
// one network stream the sink. Both elements are the caller's.
struct ReadIod {
  iod_srcsinkdesc_t src{};
  iod_srcsinkdesc_t sink{};
  quor_IOD_t iod{};
  ReadIod() {
    iod.RequestID = sampleId();
    iod.Function = QUOR_IOD_READ;
    iod.SrcDescLength = 1;
    iod.SinkDescLength = 1;
    src.Length = 4096;
    src.SrcSinkAddr.Type = CLIENTFILE_ADDRESS;
    src.SrcSinkAddr.Addr_u.ClientFileAddr.FileDes = 7;
    src.SrcSinkAddr.Addr_u.ClientFileAddr.FileOffset = ~0ull;
    sink.Flags = QUOR_IOD_XFEROPT_IP;
    sink.Length = 4096;
    sink.ServerDefined = 99;  // never sent
    sink.SrcSinkAddr.Type = NET_ADDRESS;
    sink.SrcSinkAddr.Addr_u.NetAddr.SockTransferID = 0x0102030405060708ull;
    sink.SrcSinkAddr.Addr_u.NetAddr.SockAddr = v4("127.0.0.1", 1217);
    sink.SrcSinkAddr.Addr_u.NetAddr.SockOffset = 0x10;
    iod.SrcDescList = &src;
    iod.SinkDescList = &sink;
  }
};

Bytes readIodWire() {
  return B()
      .cat(sampleIdWire())
      .i32(1)   // Function
      .u32(0)   // Flags
      .u32(0)   // no ReqSpec
      .i32(1)   // SrcDescLength
      .i32(1)   // SinkDescLength
      .u32(0)   // source: Flags
      .u64(0)   // Offset
      .u64(4096)  // Length
      .i32(11)  // client file
      .i32(7)
      .u64(~0ull)
      .u32(0x20)  // sink: Flags
      .u64(0)
      .u64(4096)
      .i32(1)  // network
      .u64(0x0102030405060708ull)
      .u32(1)
      .raw({127, 0, 0, 1})
      .u32(1217)
      .u64(0x10);
}

}  // namespace

TEST_F(XdrIod, ReadDescriptorGolden) {
  ReadIod r;
  Bytes want = readIodWire();
  ASSERT_EQ(wire::hex(wire::encode(qel_xdr_quor_IOD_t, &r.iod)), wire::hex(want));

  quor_IOD_t back{};
  size_t used = 0;
  ASSERT_TRUE(wire::decode(qel_xdr_quor_IOD_t, want, &back, &used));
  EXPECT_EQ(used, want.size());
  EXPECT_EQ(memcmp(&back.RequestID, &r.iod.RequestID, sizeof back.RequestID), 0);
  EXPECT_EQ(back.Function, 1);
  EXPECT_EQ(back.ReqSpecInfo, nullptr);
  ASSERT_NE(back.SrcDescList, nullptr);
  ASSERT_NE(back.SinkDescList, nullptr);
  EXPECT_EQ(back.SrcDescList->Next, nullptr);
  EXPECT_EQ(back.SinkDescList->Next, nullptr);
  const iod_address_t& s = back.SrcDescList->SrcSinkAddr;
  EXPECT_EQ(s.Type, CLIENTFILE_ADDRESS);
  EXPECT_EQ(s.Addr_u.ClientFileAddr.FileDes, 7);
  EXPECT_EQ(s.Addr_u.ClientFileAddr.FileOffset, ~0ull);
  EXPECT_EQ(back.SrcDescList->Length, 4096u);
  const iod_srcsinkdesc_t& k = *back.SinkDescList;
  EXPECT_EQ(k.Flags, 0x20u);
  EXPECT_EQ(k.ServerDefined, 0ul);
  EXPECT_EQ(k.SrcSinkAddr.Type, NET_ADDRESS);
  EXPECT_EQ(k.SrcSinkAddr.Addr_u.NetAddr.SockTransferID, 0x0102030405060708ull);
  EXPECT_EQ(k.SrcSinkAddr.Addr_u.NetAddr.SockOffset, 0x10u);
  EXPECT_EQ(ipOf(k.SrcSinkAddr.Addr_u.NetAddr.SockAddr), "127.0.0.1");
  EXPECT_EQ(quor_net_getport(&k.SrcSinkAddr.Addr_u.NetAddr.SockAddr, nullptr, 0), 1217);
  release(qel_xdr_quor_IOD_t, &back);
  EXPECT_EQ(back.SrcDescList, nullptr);
  EXPECT_EQ(back.SinkDescList, nullptr);

  wire::expect_truncations_fail(qel_xdr_quor_IOD_t, want, "read IOD");
}

TEST_F(XdrIod, AddressArmsGolden) {
  struct Case {
    const char* name;
    std::function<void(iod_address_t*)> fill;
    Bytes wire;
  };
  const Case cases[] = {
      {"type 2 has no arm", [](iod_address_t* a) { a->Type = 2; }, B().i32(2)},
      {"shared memory",
       [](iod_address_t* a) {
         a->Type = SHM_ADDRESS;
         a->Addr_u.ShmAddr = {0x80000001u, 42, 0x1000};
       },
       B().i32(12).u32(0x80000001u).u32(42).u32(0x1000)},
      {"gateway-local file",
       [](iod_address_t* a) {
         a->Type = LFT_ADDRESS;
         a->Addr_u.LftAddr.Offset = 1ull << 33;
         a->Addr_u.LftAddr.Flags = 3;
         a->Addr_u.LftAddr.Uid = 500;
         a->Addr_u.LftAddr.Gid = 100;
         a->Addr_u.LftAddr.RealmId = 9;
         strcpy(a->Addr_u.LftAddr.PathName, "/a/bc");
       },
       B().i32(13).u64(1ull << 33).u32(3).u32(500).u32(100).u32(9).u32(6).raw("/a/bc", 6)},
      {"SAN3P",
       [](iod_address_t* a) {
         a->Type = SAN3P_ADDRESS;
         a->Addr_u.San3pAddr.SAN3PTransferID = 0xFFFFFFFF00000001ull;
         for (int i = 0; i < 32; i++) a->Addr_u.San3pAddr.SanSecurityToken.Bytes[i] = uint8_t(i);
       },
       [] {
         uint8_t tok[32];
         for (int i = 0; i < 32; i++) tok[i] = uint8_t(i);
         return Bytes(B().i32(14).u32(0xFFFFFFFFu).u32(1).raw(tok, 32));
       }()},
      {"network, unset socket address",
       [](iod_address_t* a) {
         a->Type = NET_ADDRESS;
         a->Addr_u.NetAddr.SockTransferID = 5;
         a->Addr_u.NetAddr.SockOffset = 6;
       },
       B().i32(1).u64(5).u32(0).u64(6)},
  };
  for (const auto& c : cases) {
    iod_address_t a;
    memset(&a, 0, sizeof a);  // compared whole below
    c.fill(&a);
    EXPECT_EQ(wire::hex(wire::encode(qel_xdr_iod_address_t, &a)), wire::hex(c.wire)) << c.name;
    iod_address_t back;
    memset(&back, 0, sizeof back);
    size_t used = 0;
    ASSERT_TRUE(wire::decode(qel_xdr_iod_address_t, c.wire, &back, &used)) << c.name;
    EXPECT_EQ(used, c.wire.size()) << c.name;
    EXPECT_EQ(memcmp(&back, &a, sizeof a), 0) << c.name;
    release(qel_xdr_iod_address_t, &back);
    wire::expect_truncations_fail(qel_xdr_iod_address_t, c.wire, c.name);
  }
}

TEST_F(XdrIod, MemoryAddressNeverTravels) {
  iod_address_t a{};
  a.Type = MEMORY_ADDRESS;
  a.Addr_u.MemAddr.MemPtr = &a;
  bool ok = true;
  wire::encode(qel_xdr_iod_address_t, &a, &ok);
  EXPECT_FALSE(ok);
  iod_address_t back{};
  EXPECT_FALSE(wire::decode(qel_xdr_iod_address_t, B().i32(10), &back));
  iod_straddr_t sa{};
  sa.Type = MEMORY_ADDRESS;
  wire::encode(qel_xdr_iod_straddr_t, &sa, &ok);
  EXPECT_FALSE(ok);
  iod_straddr_t sback{};
  EXPECT_FALSE(wire::decode(qel_xdr_iod_straddr_t, B().i32(10), &sback));

  // Inside a descriptor it fails the whole descriptor, both ways.
  ReadIod r;
  r.sink.SrcSinkAddr.Type = MEMORY_ADDRESS;
  wire::encode(qel_xdr_quor_IOD_t, &r.iod, &ok);
  EXPECT_FALSE(ok);
  Bytes in = B()
                 .cat(sampleIdWire())
                 .i32(2)
                 .u32(0)
                 .u32(0)
                 .i32(1)
                 .i32(1)
                 .u32(0).u64(0).u64(1).i32(11).i32(3).u64(0)
                 .u32(0).u64(0).u64(1).i32(10).u64(0);
  quor_IOD_t iod{};
  EXPECT_FALSE(wire::decode(qel_xdr_quor_IOD_t, in, &iod));
  EXPECT_EQ(iod.SinkDescList, nullptr);  // the failed list frees itself
  release(qel_xdr_quor_IOD_t, &iod);
}

TEST_F(XdrIod, StripeListGoldenAndChain) {
  iod_stripe_addr_t second{};
  second.BlockSize = 65536;
  second.StripeWidth = 2;
  second.AddrListLength = 2;
  second.Flags = 0x20;
  second.Addr.Type = NET_ADDRESS;
  second.Addr.Addr_u.NetAddr.SockTransferID = 77;
  second.Addr.Addr_u.NetAddr.SockAddr = v4("10.0.0.2", 2001);
  second.Addr.Addr_u.NetAddr.SockOffset = 65536;
  iod_address_t a{};
  a.Type = STRIPE_ADDRESS;
  iod_stripe_addr_t& first = a.Addr_u.StripeAddr;
  first = second;
  first.Addr.Addr_u.NetAddr.SockAddr = v4("10.0.0.1", 2000);
  first.Addr.Addr_u.NetAddr.SockOffset = 0;
  first.Next = &second;

  Bytes want = B()
                   .i32(9)
                   .u64(65536).u64(2).i32(2).u32(0x20)
                   .i32(1).u64(77).u32(1).raw({10, 0, 0, 1}).u32(2000).u64(0)
                   .u64(65536).u64(2).i32(2).u32(0x20)
                   .i32(1).u64(77).u32(1).raw({10, 0, 0, 2}).u32(2001).u64(65536);
  EXPECT_EQ(wire::hex(wire::encode(qel_xdr_iod_address_t, &a)), wire::hex(want));

  iod_address_t back{};
  ASSERT_TRUE(wire::decode(qel_xdr_iod_address_t, want, &back));
  ASSERT_EQ(back.Type, STRIPE_ADDRESS);
  const iod_stripe_addr_t* e = &back.Addr_u.StripeAddr;
  EXPECT_EQ(ipOf(e->Addr.Addr_u.NetAddr.SockAddr), "10.0.0.1");
  ASSERT_NE(e->Next, nullptr);
  EXPECT_EQ(ipOf(e->Next->Addr.Addr_u.NetAddr.SockAddr), "10.0.0.2");
  EXPECT_EQ(quor_net_getport(&e->Next->Addr.Addr_u.NetAddr.SockAddr, nullptr, 0), 2001);
  EXPECT_EQ(e->Next->Addr.Addr_u.NetAddr.SockOffset, 65536u);
  EXPECT_EQ(e->Next->Next, nullptr);
  release(qel_xdr_iod_address_t, &back);  // the allocated second element goes too
  EXPECT_EQ(back.Addr_u.StripeAddr.Next, nullptr);

  wire::expect_truncations_fail(qel_xdr_iod_address_t, want, "stripe");

  // A chain shorter than its count is refused with a message.
  first.AddrListLength = 3;
  testing::internal::CaptureStderr();
  bool ok = true;
  wire::encode(qel_xdr_iod_address_t, &a, &ok);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_FALSE(ok);
  EXPECT_EQ(err, "/qel_xdr_iod_stripe_addr_t/inconsistent stripe width detected. count=3,found 2\n");

  // A chain longer than its count is warned about and cut.
  first.AddrListLength = 1;
  testing::internal::CaptureStderr();
  Bytes cut = wire::encode(qel_xdr_iod_address_t, &a, &ok);
  err = testing::internal::GetCapturedStderr();
  EXPECT_TRUE(ok);
  EXPECT_EQ(err, "/qel_xdr_iod_stripe_addr_t/warning: unterminated linked list detected -list length =1\n");
  EXPECT_EQ(cut.size(), 4u + 24u + 32u);

  // Count 0 still sends the first element; a negative count is refused.
  first.AddrListLength = 0;
  first.Next = nullptr;
  EXPECT_EQ(wire::encode(qel_xdr_iod_address_t, &a, &ok).size(), 4u + 24u + 32u);
  EXPECT_TRUE(ok);
  first.AddrListLength = -1;
  wire::encode(qel_xdr_iod_address_t, &a, &ok);
  EXPECT_FALSE(ok);
}

TEST_F(XdrIod, StripeInsideStripeSendsTypeOnly) {
  iod_stripe_addr_t s{};
  s.AddrListLength = 1;
  s.Addr.Type = STRIPE_ADDRESS;
  Bytes want = B().u64(0).u64(0).i32(1).u32(0).i32(9);
  EXPECT_EQ(wire::hex(wire::encode(qel_xdr_iod_stripe_addr_t, &s)), wire::hex(want));
  iod_stripe_addr_t back{};
  ASSERT_TRUE(wire::decode(qel_xdr_iod_stripe_addr_t, want, &back));
  EXPECT_EQ(back.Addr.Type, STRIPE_ADDRESS);
  EXPECT_EQ(back.Next, nullptr);
}

TEST_F(XdrIod, GapReplyAndIorGolden) {
  Bytes gap = B().u32(1).i32(0).i32(3).i32(0).i32(5).u64(1ull << 32).u64(8192);
  iod_reqspecreply_t rs{};
  ASSERT_TRUE(wire::decode(qel_xdr_iod_reqspecreply_t, gap, &rs));
  EXPECT_EQ(rs.Flags, 1u);
  EXPECT_EQ(rs.CountProcessed, 3);
  EXPECT_EQ(rs.ReqReply_s.ReqReplyType, IOD_REQREPLY_GAPINFO);
  EXPECT_EQ(rs.ReqReply_s.Reply_u.GapInfo.Offset, 1ull << 32);
  EXPECT_EQ(rs.ReqReply_s.Reply_u.GapInfo.Length, 8192u);
  EXPECT_EQ(wire::hex(wire::encode(qel_xdr_iod_reqspecreply_t, &rs)), wire::hex(gap));

  Bytes ior = B()
                  .cat(sampleIdWire())
                  .u32(QUOR_IOR_GAPINFO)
                  .i32(-5)
                  .i32(1)
                  .cat(gap)
                  .i32(1)
                  .i32(2)
                  .u32(0).i32(0).u64(100)
                  .u32(1).i32(2).u64(60)
                  .u32(3).i32(-4).u64(40);
  quor_IOR_t r{};
  size_t used = 0;
  ASSERT_TRUE(wire::decode(qel_xdr_quor_IOR_t, ior, &r, &used));
  EXPECT_EQ(used, ior.size());
  EXPECT_EQ(r.Flags, 0x20u);
  EXPECT_EQ(r.Status, -5);
  ASSERT_NE(r.ReqSpecReply, nullptr);
  EXPECT_EQ(r.ReqSpecReply->ReqReply_s.Reply_u.GapInfo.Length, 8192u);
  ASSERT_NE(r.SrcReplyList, nullptr);
  EXPECT_EQ(r.SrcReplyList->BytesMoved, 100u);
  EXPECT_EQ(r.SrcReplyList->Next, nullptr);
  ASSERT_NE(r.SinkReplyList, nullptr);
  ASSERT_NE(r.SinkReplyList->Next, nullptr);
  EXPECT_EQ(r.SinkReplyList->Status, 2);
  EXPECT_EQ(r.SinkReplyList->Next->Flags, 3u);
  EXPECT_EQ(r.SinkReplyList->Next->Status, -4);
  EXPECT_EQ(r.SinkReplyList->Next->BytesMoved, 40u);
  EXPECT_EQ(r.SinkReplyList->Next->Next, nullptr);
  EXPECT_EQ(wire::hex(wire::encode(qel_xdr_quor_IOR_t, &r)), wire::hex(ior));
  release(qel_xdr_quor_IOR_t, &r);
  EXPECT_EQ(r.ReqSpecReply, nullptr);
  EXPECT_EQ(r.SinkReplyList, nullptr);

  wire::expect_truncations_fail(qel_xdr_quor_IOR_t, ior, "IOR");
}

// Records without a golden test of their own: encode, decode, encode again.
TEST_F(XdrIod, RoundTrips) {
  auto iodCase = [](const char* name, std::function<void(quor_IOD_t*)> fill) {
    return wire::record(name, wire::kAnySize, qel_xdr_quor_IOD_t, fill);
  };
  auto iorCase = [](const char* name, std::function<void(quor_IOR_t*)> fill) {
    return wire::record(name, wire::kAnySize, qel_xdr_quor_IOR_t, fill);
  };
  // The info arm is chosen by a field that is not sent: the decoder is told.
  auto reqspecCase = [](const char* name, int32_t infoType,
                        std::function<void(iod_reqspec_t*)> fill) {
    auto setType = [infoType](iod_reqspec_t* r) { r->ReqInfo_s.InfoType = infoType; };
    auto typed = [setType, fill](iod_reqspec_t* r) {
      setType(r);
      fill(r);
    };
    return wire::record(name, wire::kAnySize, qel_xdr_iod_reqspec_t, typed, setType);
  };
  auto heapDesc = [](uint32_t flags, int32_t type) {
    iod_srcsinkdesc_t* d = newDesc(type);
    d->Flags = flags;
    d->Offset = flags * 3;
    d->Length = flags * 5 + 1;
    return d;
  };

  const std::vector<wire::Case> cases = {
      iodCase("IOD with a ReqSpec and three sources",
              [&](quor_IOD_t* r) {
                r->RequestID = sampleId();
                r->Function = QUOR_IOD_WRITE;
                r->Flags = 0xF0F0;
                r->ReqSpecInfo = static_cast<iod_reqspec_t*>(calloc(1, sizeof(iod_reqspec_t)));
                r->ReqSpecInfo->SubFunction = -1;
                r->ReqSpecInfo->Argument = 2;
                r->ReqSpecInfo->DeviceID = 3;
                r->ReqSpecInfo->Count = 1ull << 40;
                r->ReqSpecInfo->SelectionFlags = 5;
                r->SrcDescLength = 3;
                r->SrcDescList = heapDesc(1, SHM_ADDRESS);
                r->SrcDescList->Next = heapDesc(2, 2);
                r->SrcDescList->Next->Next = heapDesc(3, SAN3P_ADDRESS);
                r->SinkDescLength = 1;
                r->SinkDescList = heapDesc(4, CLIENTFILE_ADDRESS);
              }),
      iodCase("IOD with empty lists", [](quor_IOD_t* r) { r->Function = 1; }),
      iodCase("IOD with a striped sink",
              [&](quor_IOD_t* r) {
                r->SrcDescLength = 1;
                r->SrcDescList = heapDesc(0, CLIENTFILE_ADDRESS);
                r->SinkDescLength = 1;
                r->SinkDescList = heapDesc(0x20, STRIPE_ADDRESS);
                iod_stripe_addr_t* s = &r->SinkDescList->SrcSinkAddr.Addr_u.StripeAddr;
                s->AddrListLength = 3;
                for (int i = 0; i < 3; i++) {
                  s->BlockSize = 1024;
                  s->StripeWidth = 3;
                  s->Addr.Type = NET_ADDRESS;
                  s->Addr.Addr_u.NetAddr.SockAddr = v4("192.168.1.9", uint16_t(3000 + i));
                  s->Addr.Addr_u.NetAddr.SockOffset = uint64_t(i) * 1024;
                  if (i < 2) {
                    s->Next = static_cast<iod_stripe_addr_t*>(calloc(1, sizeof *s));
                    s = s->Next;
                  }
                }
              }),
      iorCase("IOR without a ReqSpec reply",
              [&](quor_IOR_t* r) {
                r->Status = 0;
                r->SrcReplyLength = 1;
                r->SrcReplyList =
                    static_cast<iod_srcsinkreply_t*>(calloc(1, sizeof(iod_srcsinkreply_t)));
                r->SrcReplyList->BytesMoved = 12345;
              }),
      iorCase("IOR with a listen list",
              [&](quor_IOR_t* r) {
                r->ReqSpecReply =
                    static_cast<iod_reqspecreply_t*>(calloc(1, sizeof(iod_reqspecreply_t)));
                r->ReqSpecReply->ReqListLength = 2;
                r->ReqSpecReply->ReqReply_s.ReqReplyType = IOD_REQREPLY_LISTENLIST;
                iod_srcsinkdesc_t* l = heapDesc(0x8, NET_ADDRESS);
                l->SrcSinkAddr.Addr_u.NetAddr.SockAddr = v4("127.0.0.2", 999);
                l->Next = heapDesc(0x9, LFT_ADDRESS);
                strcpy(l->Next->SrcSinkAddr.Addr_u.LftAddr.PathName, "/x");
                r->ReqSpecReply->ReqReply_s.Reply_u.ListenList = l;
              }),
      iorCase("IOR with reserved and unknown reply kinds",
              [&](quor_IOR_t* r) {
                r->ReqSpecReply =
                    static_cast<iod_reqspecreply_t*>(calloc(1, sizeof(iod_reqspecreply_t)));
                r->ReqSpecReply->ReqReply_s.ReqReplyType = IOD_REQREPLY_RESERVED;
                r->ReqSpecReply->ReqReply_s.Reply_u.Reserved = -77;
              }),
      iorCase("IOR reply kind without a value",
              [&](quor_IOR_t* r) {
                r->ReqSpecReply =
                    static_cast<iod_reqspecreply_t*>(calloc(1, sizeof(iod_reqspecreply_t)));
                r->ReqSpecReply->ReqReply_s.ReqReplyType = 3;
              }),
      reqspecCase("ReqSpec with a reserved word", IOD_REQSPEC_RESERVED,
                  [](iod_reqspec_t* r) { r->ReqInfo_s.Info_u.Reserved = 0x1234; }),
      reqspecCase("ReqSpec with a reply address", IOD_REQSPEC_REPLYADDR,
                  [](iod_reqspec_t* r) {
                    r->Count = 9;
                    r->ReqInfo_s.Info_u.ReplyAddr.Type = NET_ADDRESS;
                    r->ReqInfo_s.Info_u.ReplyAddr.Addr_u.NetAddr.SockAddr = v4("1.2.3.4", 80);
                  }),
  };
  wire::expect_cases(cases);
}

TEST_F(XdrIod, ReqSpecArmIsNotSent) {
  // Only the in-memory InfoType chooses the arm: the wire has no tag for it.
  iod_reqspec_t r{};
  r.SubFunction = 1;
  r.ReqInfo_s.InfoType = IOD_REQSPEC_RESERVED;
  r.ReqInfo_s.Info_u.Reserved = 6;
  Bytes want = B().i32(1).i32(0).i32(0).u64(0).u64(0).i32(6);
  EXPECT_EQ(wire::hex(wire::encode(qel_xdr_iod_reqspec_t, &r)), wire::hex(want));
  r.ReqInfo_s.InfoType = 4;
  EXPECT_EQ(wire::hex(wire::encode(qel_xdr_iod_reqspec_t, &r)),
            wire::hex(B().i32(1).i32(0).i32(0).u64(0).u64(0)));
}

TEST_F(XdrIod, MalformedInput) {
  struct Case {
    const char* name;
    Bytes in;
  };
  const Bytes id = sampleIdWire();
  const Case iods[] = {
      {"negative source count", B().cat(id).i32(1).u32(0).u32(0).i32(-1).i32(0)},
      {"negative sink count", B().cat(id).i32(1).u32(0).u32(0).i32(0).i32(-2)},
      {"huge source count", B().cat(id).i32(1).u32(0).u32(0).i32(0x7FFFFFFF).i32(0).u32(0).u64(0).u64(0).i32(2)},
      {"huge count within the bound",
       B().cat(id).i32(1).u32(0).u32(0).i32(1 << 20).i32(0).u32(0).u64(0).u64(0).i32(2)},
      {"negative stripe count",
       B().cat(id).i32(1).u32(0).u32(0).i32(1).i32(0)
           .u32(0).u64(0).u64(0).i32(9).u64(0).u64(0).i32(-3).u32(0).i32(2)},
      {"huge stripe count",
       B().cat(id).i32(1).u32(0).u32(0).i32(1).i32(0)
           .u32(0).u64(0).u64(0).i32(9).u64(0).u64(0).i32(0x7FFFFFFF).u32(0).i32(2)
           .u64(0).u64(0).i32(0).u32(0).i32(2)},
      {"socket address state 2",
       B().cat(id).i32(1).u32(0).u32(0).i32(1).i32(0).u32(0).u64(0).u64(0).i32(1).u64(0).u32(2)
           .raw({1, 2, 3, 4}).u32(80).u64(0)},
      {"path name length 0",
       B().cat(id).i32(1).u32(0).u32(0).i32(1).i32(0).u32(0).u64(0).u64(0).i32(13).u64(0)
           .u32(0).u32(0).u32(0).u32(0).i32(0)},
      {"path name length negative",
       B().cat(id).i32(1).u32(0).u32(0).i32(1).i32(0).u32(0).u64(0).u64(0).i32(13).u64(0)
           .u32(0).u32(0).u32(0).u32(0).i32(-8).zeros(8)},
      {"path name over its bound",
       B().cat(id).i32(1).u32(0).u32(0).i32(1).i32(0).u32(0).u64(0).u64(0).i32(13).u64(0)
           .u32(0).u32(0).u32(0).u32(0).i32(1025).zeros(1028)},
  };
  for (const auto& c : iods) {
    quor_IOD_t r{};
    EXPECT_FALSE(wire::decode(qel_xdr_quor_IOD_t, c.in, &r)) << c.name;
    EXPECT_EQ(r.SrcDescList, nullptr) << c.name;
    release(qel_xdr_quor_IOD_t, &r);
  }
  const Case iors[] = {
      {"negative reply count", B().cat(id).u32(0).i32(0).i32(0).i32(-1).i32(0)},
      {"huge reply count", B().cat(id).u32(0).i32(0).i32(0).i32(0).i32(0x40000000).u32(0).i32(0).u64(1)},
      {"listen list with a negative length",
       B().cat(id).u32(0).i32(0).i32(1).u32(0).i32(0).i32(0).i32(-1).i32(2).i32(0).i32(0)},
      {"listen list cut short",
       B().cat(id).u32(0).i32(0).i32(1).u32(0).i32(0).i32(0).i32(3).i32(2)
           .u32(0).u64(0).u64(0).i32(11).i32(1).u64(0)},
  };
  for (const auto& c : iors) {
    quor_IOR_t r{};
    EXPECT_FALSE(wire::decode(qel_xdr_quor_IOR_t, c.in, &r)) << c.name;
    release(qel_xdr_quor_IOR_t, &r);
  }
}

TEST_F(XdrIod, ShortListIsRefusedOnEncoding) {
  ReadIod r;
  r.iod.SinkDescLength = 2;
  testing::internal::CaptureStderr();
  bool ok = true;
  wire::encode(qel_xdr_quor_IOD_t, &r.iod, &ok);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "nc_iod_srcsinkdesc_t: NULL pointer encountered in list\n");
  EXPECT_FALSE(ok);

  r.iod.SinkDescLength = -1;
  wire::encode(qel_xdr_quor_IOD_t, &r.iod, &ok);
  EXPECT_FALSE(ok);

  iod_srcsinkreply_t one{};
  quor_IOR_t ior{};
  ior.SinkReplyLength = 2;
  ior.SinkReplyList = &one;
  testing::internal::CaptureStderr();
  wire::encode(qel_xdr_quor_IOR_t, &ior, &ok);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "qel_xdr_iod_srcsinkreply_t: NULL pointer encountered in list\n");
  EXPECT_FALSE(ok);
}

TEST_F(XdrIod, ReleaseFreesWholeLists) {
  // Longer lists than any fixed cap: every element goes, silently.
  for (int n : {1, 256, 257, 300}) {
    iod_srcsinkdesc_t* head = nullptr;
    for (int i = 0; i < n; i++) {
      iod_srcsinkdesc_t* d = newDesc(CLIENTFILE_ADDRESS);
      d->Next = head;
      head = d;
    }
    testing::internal::CaptureStderr();
    EXPECT_EQ(qel_xdr_free_iod_srcsinkdesc_t(head), n);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "") << n;

    iod_srcsinkreply_t* rh = nullptr;
    for (int i = 0; i < n; i++) {
      auto* e = static_cast<iod_srcsinkreply_t*>(calloc(1, sizeof(iod_srcsinkreply_t)));
      e->Next = rh;
      rh = e;
    }
    testing::internal::CaptureStderr();
    EXPECT_EQ(qel_xdr_free_iod_srcsinkreply_t(rh), n);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "") << n;
  }
  EXPECT_EQ(qel_xdr_free_iod_srcsinkdesc_t(nullptr), 0);
  EXPECT_EQ(qel_xdr_free_iod_srcsinkreply_t(nullptr), 0);
}

TEST_F(XdrIod, ReleaseStopsWhereListLoops) {
  // An element that links to itself ends the walk.
  iod_srcsinkreply_t* e[4];
  for (auto& p : e) p = static_cast<iod_srcsinkreply_t*>(calloc(1, sizeof(iod_srcsinkreply_t)));
  e[0]->Next = e[1];
  e[1]->Next = e[2];
  e[2]->Next = e[2];
  EXPECT_EQ(qel_xdr_free_iod_srcsinkreply_t(e[0]), 3);
  free(e[3]);

  // A longer loop back is freed once per element, never twice.
  iod_srcsinkdesc_t* d[5];
  for (auto& p : d) p = newDesc(2);
  for (int i = 0; i < 4; i++) d[i]->Next = d[i + 1];
  d[4]->Next = d[1];
  EXPECT_EQ(qel_xdr_free_iod_srcsinkdesc_t(d[0]), 5);
}

TEST_F(XdrIod, DecodedListsReleaseCompletely) {
  // 300 sources, the last with a decoded stripe chain: xdr_free on the
  // descriptor must leave nothing behind (the leak checker watches).
  B b;
  b.cat(sampleIdWire()).i32(2).u32(0).u32(0).i32(300).i32(0);
  for (int i = 0; i < 299; i++) b.u32(uint32_t(i)).u64(0).u64(1).i32(12).u32(0).u32(1).u32(2);
  b.u32(0).u64(0).u64(1).i32(9);
  for (int i = 0; i < 4; i++) b.u64(8).u64(4).i32(4).u32(0).i32(2);
  quor_IOD_t r{};
  ASSERT_TRUE(wire::decode(qel_xdr_quor_IOD_t, b, &r));
  int n = 0;
  const iod_srcsinkdesc_t* last = nullptr;
  for (const iod_srcsinkdesc_t* p = r.SrcDescList; p; p = p->Next, n++) last = p;
  EXPECT_EQ(n, 300);
  ASSERT_NE(last, nullptr);
  int stripes = 0;
  for (const iod_stripe_addr_t* s = &last->SrcSinkAddr.Addr_u.StripeAddr; s; s = s->Next) stripes++;
  EXPECT_EQ(stripes, 4);
  EXPECT_EQ(qel_xdr_free_iod_srcsinkdesc_t(r.SrcDescList), 300);
  r.SrcDescList = nullptr;
  release(qel_xdr_quor_IOD_t, &r);

  // The same through the list codec's free operation.
  iod_srcsinkdesc_t* list = nullptr;
  Bytes two = B().u32(0).u64(0).u64(0).i32(2).u32(1).u64(0).u64(0).i32(2);
  XDR x;
  Bytes copy = two;
  xdrmem_create(&x, reinterpret_cast<char*>(copy.data()), u_int(copy.size()), XDR_DECODE);
  ASSERT_TRUE(qel_xdr_iod_srcsinkdesc_t(&x, &list, 2));
  xdr_destroy(&x);
  ASSERT_NE(list, nullptr);
  ASSERT_NE(list->Next, nullptr);
  EXPECT_EQ(list->Next->Flags, 1u);
  XDR fx{};
  fx.x_op = XDR_FREE;
  EXPECT_TRUE(qel_xdr_iod_srcsinkdesc_t(&fx, &list, 2));
  EXPECT_EQ(list, nullptr);
}
