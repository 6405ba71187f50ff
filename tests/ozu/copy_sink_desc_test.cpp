// The sink descriptor of a copy between connections: how many stripes a
// pass uses, which protocol flag it carries, and what each stripe element
// tells the source's movers.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <string.h>

#include <memory>
#include <vector>

#include "copy_remote.h"
#include "quor_api.h"

namespace {

TEST(CopySinkDesc, StripesFollowTheBytesUpToTheWidth)
{
  struct Case {
    uint64_t bytes;
    int width;
    uint64_t block;
    int want;
  } cases[] = {
      {100000, 4, 65536, 2},          // two blocks' worth
      {65536, 4, 65536, 1},           // exactly one block
      {65537, 4, 65536, 2},           // one byte into the second
      {1, 32, 65536, 1},
      {10u << 20, 32, 65536, 32},     // plenty: the whole width
      {1ull << 32, 4, 65536, 4},      // 2^32 and more: the width, blocks not counted
      {(1ull << 32) - 1, 32, 0x2000000, 32},
      {(1ull << 32) + 5, 1, 65536, 1},
  };
  for (const Case& c : cases)
    EXPECT_EQ(copy_StripesFor(c.bytes, c.width, c.block), c.want)
        << c.bytes << " bytes, width " << c.width << ", block " << c.block;
}

std::vector<netaddress_t> listenAddrs(int n)
{
  std::vector<netaddress_t> v(static_cast<size_t>(n));
  for (int i = 0; i < n; i++) {
    memset(&v[size_t(i)], 0, sizeof v[0]);
    auto *sin = reinterpret_cast<sockaddr_in *>(&v[size_t(i)].SockAddr.hs_addr);
    sin->sin_family = AF_INET;
    sin->sin_port = htons(uint16_t(40000 + i));
    sin->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    v[size_t(i)].SockAddr.hs_addrlen = sizeof *sin;
    v[size_t(i)].SockTransferID = 99;  // the sink's own word: replaced
    v[size_t(i)].SockOffset = 7;
  }
  return v;
}

uint16_t portOf(const netaddress_t &a)
{
  return ntohs(reinterpret_cast<const sockaddr_in *>(&a.SockAddr.hs_addr)->sin_port);
}

TEST(CopySinkDesc, EveryStripeElementCarriesTheWholeTransferId)
{
  auto ctl = std::make_unique<transfer_t>();
  ctl->requestId = quor_GetUniqueRequestID();
  const uint64_t id = quor_RequestIDtoU64(ctl->requestId);
  struct Case {
    uint64_t bytes;
    uint32_t listen;  // addresses the sink answered
    int width;
    uint32_t serverFlags;
    int wantStripes;
    uint32_t wantFlags;
  } cases[] = {
      {300000, 4, 4, 0x1, 4, 0x20 | 0x4000},  // both protocols: the select flag
      {300000, 4, 4, 0x0, 4, 0x20 | 0x8},     // the mover protocol only
      {100000, 4, 4, 0x1, 2, 0x20 | 0x4000},  // fewer blocks than stripes
      {300000, 2, 8, 0x1, 2, 0x20 | 0x4000},  // fewer addresses than asked
      {300000, 1, 8, 0x1, 1, 0x20 | 0x4000},  // one address: a plain net address
      {10, 4, 1, 0x0, 1, 0x20 | 0x8},
  };
  for (const Case &c : cases) {
    unsetenv("QUOR_API_TRANSFER_TYPE");
    ctl->requestedBytes = c.bytes;
    std::vector<netaddress_t> listen = listenAddrs(int(c.listen));
    std::vector<iod_stripe_addr_t> stripes(size_t(c.width));
    quor_site_info_t site;
    memset(&site, 0, sizeof site);
    site.server_flags = c.serverFlags;
    iod_srcsinkdesc_t sink;
    memset(&sink, 0xa5, sizeof sink);
    buildSinkDesc(ctl.get(), &sink, &site, listen.data(), c.listen, stripes.data(), c.width, 65536);
    SCOPED_TRACE(testing::Message() << c.bytes << " bytes, " << c.listen << " addresses, width "
                                    << c.width);
    EXPECT_EQ(sink.Flags, c.wantFlags);
    EXPECT_EQ(sink.Length, c.bytes);
    EXPECT_EQ(sink.Next, nullptr);
    if (c.wantStripes == 1) {
      ASSERT_EQ(sink.SrcSinkAddr.Type, NET_ADDRESS);
      EXPECT_EQ(sink.SrcSinkAddr.Addr_u.NetAddr.SockTransferID, id);
      EXPECT_EQ(sink.SrcSinkAddr.Addr_u.NetAddr.SockOffset, 0u);
      EXPECT_EQ(portOf(sink.SrcSinkAddr.Addr_u.NetAddr), 40000);
      continue;
    }
    ASSERT_EQ(sink.SrcSinkAddr.Type, STRIPE_ADDRESS);
    const iod_stripe_addr_t *e = &sink.SrcSinkAddr.Addr_u.StripeAddr;
    int n = 0;
    for (; e != nullptr; e = e->Next, n++) {
      ASSERT_LT(n, c.wantStripes);
      EXPECT_EQ(e->BlockSize, 65536u);
      EXPECT_EQ(e->AddrListLength, c.wantStripes);
      EXPECT_EQ(e->StripeWidth, uint32_t(c.wantStripes));
      EXPECT_EQ(e->Flags, c.wantFlags);
      ASSERT_EQ(e->Addr.Type, NET_ADDRESS);
      EXPECT_EQ(e->Addr.Addr_u.NetAddr.SockTransferID, id) << "element " << n;
      EXPECT_EQ(e->Addr.Addr_u.NetAddr.SockOffset, uint64_t(n) * 65536);
      EXPECT_EQ(portOf(e->Addr.Addr_u.NetAddr), 40000 + n);
    }
    EXPECT_EQ(n, c.wantStripes);
  }
}

}  // namespace
