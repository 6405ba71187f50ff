// The transfer engine's own rules, away from any gateway: the pool's size,
// the stripe width a get asks for, the stripe descriptor the movers read,
// the progress line, and the transfer table's bookkeeping.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <string.h>

#include <string>

#include "ozu_locks.h"
#include "quor_api.h"
#include "xfer_record.h"

namespace {

TEST(XferPool, BuffersFitTheFileAndTwoPerStripe)
{
  struct Case {
    uint64_t fileSize;
    int width;
    uint32_t keysetSize;
    int32_t wantSize, wantCount;
  } cases[] = {
      {10000, 8, 0, 12288, 1},                    // a small file: its size in pages
      {100u << 20, 4, 0, 8 << 20, 8},             // capped at twice the width
      {100u << 20, 8, 0, 8 << 20, 13},            // ceil(100 / 8)
      {6ull << 30, 4, 0, 8 << 20, 8},             // above 4 GiB: the configured size
      {10, 8, 1 << 20, 1 << 20, 1},               // the keyset's size unchanged
      {0, 8, 0, 4096, 1},                         // never a zero-sized buffer
      {(8u << 20) + 1, 64, 0, 8 << 20, 2},        // one byte over a buffer
  };
  for (const Case& c : cases) {
    int32_t size = 0, count = 0;
    ozu_PoolSize(c.fileSize, c.width, c.keysetSize, 8 << 20, 4096, &size, &count);
    EXPECT_EQ(size, c.wantSize) << c.fileSize << " bytes, width " << c.width;
    EXPECT_EQ(count, c.wantCount) << c.fileSize << " bytes, width " << c.width;
  }
}

TEST(XferStripes, WidthComesFromKeysetFileAndLimits)
{
  struct Case {
    int keyset;
    int levelWithData;  // -1: none
    uint32_t fileWidth;
    int op;
    int want;
  } cases[] = {
      {0, -1, 0, IOP_GET, 8},  {4, 0, 6, IOP_GET, 6},  {4, 1, 2, IOP_GET, 4},
      {0, 2, 3, IOP_GET, 3},   {100, 0, 1, IOP_GET, 64}, {0, 0, 100, IOP_GET, 64},
      {2, 0, 5, IOP_PUT, 5},   {0, 0, 0, IOP_PUT, 8},
  };
  for (const Case& c : cases) {
    quor_xfileattr_t a;
    memset(&a, 0, sizeof a);
    if (c.levelWithData >= 0) {
      a.SCAttrib[c.levelWithData].Flags = 0x4;
      a.SCAttrib[c.levelWithData].StripeWidth = c.fileWidth;
    }
    a.SCAttrib[0].StripeWidth = c.levelWithData == 0 ? c.fileWidth : a.SCAttrib[0].StripeWidth;
    if (c.op == IOP_PUT)
      a.SCAttrib[0].StripeWidth = c.fileWidth;
    EXPECT_EQ(ozu_GetStripeWidth(&a, c.op, c.keyset), c.want)
        << "keyset " << c.keyset << " file " << c.fileWidth << " op " << c.op;
  }
}

TEST(XferDescriptor, StripesNameTheirSocketsAndStreamOffsets)
{
  nw_sock_struct_t socks[64];
  memset(socks, 0, sizeof socks);
  for (int i = 0; i < 64; ++i) {
    auto* in = reinterpret_cast<struct sockaddr_in*>(&socks[i].socketSockAddr.hs_addr);
    in->sin_family = AF_INET;
    in->sin_port = htons(uint16_t(20000 + i));
  }
  quor_reqid_t id;
  memset(&id, 0x5a, sizeof id);
  iod_stripe_addr_t more[64];
  for (int width : {1, 4, 64}) {
    iod_srcsinkdesc_t d;
    memset(&d, 0, sizeof d);
    ASSERT_EQ(ozu_NIO_BuildNetDescriptor(1000, 5000, id, width, 65536, socks, width, more, &d), 0);
    EXPECT_EQ(d.Offset, 1000u);
    EXPECT_EQ(d.Length, 5000u);
    if (width == 1) {
      EXPECT_EQ(d.SrcSinkAddr.Type, NET_ADDRESS);
      EXPECT_EQ(d.SrcSinkAddr.Addr_u.NetAddr.SockOffset, 1000u);
      EXPECT_EQ(d.SrcSinkAddr.Addr_u.NetAddr.SockTransferID, quor_RequestIDtoU64(id));
      EXPECT_NE(d.Flags & 0x20, 0u);
      continue;
    }
    EXPECT_EQ(d.SrcSinkAddr.Type, STRIPE_ADDRESS);
    EXPECT_EQ(d.Flags, 0u) << "the list's elements carry the flags";
    const iod_stripe_addr_t* e = &d.SrcSinkAddr.Addr_u.StripeAddr;
    int k = 0;
    for (; e != nullptr; e = e->Next, ++k) {
      ASSERT_LT(k, width);
      EXPECT_EQ(e->AddrListLength, width);
      EXPECT_EQ(e->Addr.Addr_u.NetAddr.SockOffset, 1000u + uint64_t(k) * 65536);
      auto* in = reinterpret_cast<const struct sockaddr_in*>(&e->Addr.Addr_u.NetAddr.SockAddr.hs_addr);
      EXPECT_EQ(ntohs(in->sin_port), 20000 + k) << "stripe " << k << " names its own socket";
      EXPECT_EQ(e->Flags & 0x20, 0x20u);
    }
    EXPECT_EQ(k, width);
  }
}

TEST(XferProgress, LineShowsUnitsAndPercent)
{
  struct Case {
    int active, queued;
    double inflight, moved;
    const char* want;
  } cases[] = {
      {1, 0, 3e9, 1.5e9, "Active:   1, Queued     0 [In-flight: 3.00GB Xferred: 1.50GB 50.00%] [Done: 2 Failed: 1]"},
      {2, 7, 1000, 0, "Active:   2, Queued     7 [In-flight: 1.00KB Xferred: 0.00   0.00%] [Done: 2 Failed: 1]"},
      {1, 0, 1, 1, "Active:   1, Queued     0 [In-flight: 1.00B  Xferred: 1.00B  0.00%] [Done: 2 Failed: 1]"},
  };
  for (const Case& c : cases) {
    char line[256];
    ozu_FormatProgressLine(line, sizeof line, c.active, c.queued, c.inflight, c.moved, 2, 1);
    EXPECT_STREQ(line, c.want);
  }
}

TEST(XferTable, RecordsAreNumberedAndUnlinkedFromAnyPlace)
{
  ozu_InitGlobalLocks();
  transfer_t* a = getTransferEntry();
  transfer_t* b = getTransferEntry();
  transfer_t* c = getTransferEntry();
  ASSERT_TRUE(a && b && c);
  EXPECT_EQ(b->xferSerialNumber, a->xferSerialNumber + 1);
  EXPECT_EQ(c->xferSerialNumber, b->xferSerialNumber + 1);
  EXPECT_EQ(a->busystate, TRANSFER_ENTRY_RESERVED);
  EXPECT_EQ(ozu_XferTableTail, c);
  freeXferCtl(c);  // the tail: its predecessor becomes the tail
  EXPECT_EQ(ozu_XferTableTail, b);
  EXPECT_EQ(b->next, nullptr);
  freeXferCtl(a);  // the head
  EXPECT_EQ(ozu_XferTable, b);
  freeXferCtl(b);
  EXPECT_EQ(ozu_XferTable, nullptr);
  EXPECT_EQ(ozu_XferTableTail, nullptr);
}

TEST(XferUtil, UnquotedPathsLoseTheirBackslashes)
{
  struct Case {
    const char* in;
    const char* want;
  } cases[] = {{"a\\ b", "a b"}, {"", ""}, {"\\\\", ""}, {"plain", "plain"}};
  for (const Case& c : cases) {
    char* out = ozu_UnquotePath(c.in);
    ASSERT_NE(out, nullptr);
    EXPECT_STREQ(out, c.want);
    free(out);
  }
}

}  // namespace
