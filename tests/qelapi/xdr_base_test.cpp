// Wire forms of the base types and of the message header, written out by hand.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "codec_cases.h"
#include "ozugw_msghdr.h"
#include "qel_xdr.h"
#include "wire.h"

using wire::B;
using wire::Bytes;
using wire::FamilyGuard;
using wire::v4;
using wire::v6;

namespace {

struct FstrRec {
  char buf[1025];
};
bool_t xdrFstr1025(XDR* x, FstrRec* r) { return qel_xdr_fstring(x, r->buf, sizeof r->buf); }

struct Mode {
  mode_t m;
};
bool_t xdrMode(XDR* x, Mode* r) { return qel_xdr_mode_t(x, &r->m); }

}  // namespace

TEST(XdrBase, HeaderIs36BytesInFieldOrder) {
  api_msghdr_t h;
  ozugw_BuildMsgHdr(&h, 0x01020304, 0x80000000u, 0x5F000000, 7, 0x0500, 0x1309, -2);
  Bytes want = B()
                   .raw({'A', 'P', 'I', '_', 'M', 'S', 'G', 'H'})
                   .u32(0x01020304)
                   .u32(0x80000000u)
                   .u32(0x5F000000)
                   .u32(7)
                   .u32(0x0500)
                   .u32(0x1309)
                   .i32(-2);
  ASSERT_EQ(want.size(), 36u);
  EXPECT_EQ(wire::hex(wire::encode(qel_xdr_api_msghdr_t, &h)), wire::hex(want));

  api_msghdr_t back{};
  size_t used = 0;
  ASSERT_TRUE(wire::decode(qel_xdr_api_msghdr_t, want, &back, &used));
  EXPECT_EQ(used, 36u);
  EXPECT_EQ(memcmp(back.sanity, "API_MSGH", 8), 0);
  EXPECT_EQ(back.msgRequestID, 0x01020304u);
  EXPECT_EQ(back.category, 0x0500);
  EXPECT_EQ(back.function, 0x1309);
  EXPECT_EQ(back.errorcode, -2);
  EXPECT_EQ(back.threadID, 7u);

  for (size_t n = 0; n < want.size(); n++) {
    api_msghdr_t t{};
    EXPECT_FALSE(wire::decode(qel_xdr_api_msghdr_t, Bytes(want.begin(), want.begin() + n), &t))
        << n;
  }
}

TEST(XdrBase, FstringBounds) {
  FstrRec r{};
  EXPECT_EQ(wire::hex(wire::encode(xdrFstr1025, &r)), wire::hex(B().u32(1).u32(0)));

  memset(r.buf, 'x', 1024);
  r.buf[1024] = 0;
  Bytes max = wire::encode(xdrFstr1025, &r);
  EXPECT_EQ(max.size(), 4u + 1028u);
  FstrRec back{};
  ASSERT_TRUE(wire::decode(xdrFstr1025, max, &back));
  EXPECT_EQ(strlen(back.buf), 1024u);

  // 1025 characters do not fit an array of 1025 bytes: the encoder refuses.
  struct Big {
    char buf[1100];
  } big{};
  memset(big.buf, 'y', 1025);
  bool ok = true;
  auto codec = +[](XDR* x, Big* b) { return qel_xdr_fstring(x, b->buf, 1025); };
  wire::encode(codec, &big, &ok);
  EXPECT_FALSE(ok);

  // Lengths out of range leave the array untouched.
  for (int32_t len : {0, -1, 1026, 0x7fffffff}) {
    FstrRec t;
    memset(t.buf, 'k', sizeof t.buf);
    EXPECT_FALSE(wire::decode(xdrFstr1025, B().i32(len).raw("abcd", 4), &t)) << len;
    EXPECT_EQ(t.buf[0], 'k');
  }
  // A truncated body fails too; a missing NUL on the wire is forced.
  FstrRec t{};
  EXPECT_FALSE(wire::decode(xdrFstr1025, B().i32(8).raw("abcd", 4), &t));
  ASSERT_TRUE(wire::decode(xdrFstr1025, B().i32(4).raw("abcd", 4), &t));
  EXPECT_STREQ(t.buf, "abc");
}

TEST(XdrBase, PortableModeLayout) {
  struct {
    mode_t mem;
    uint32_t wire;
    mode_t back;
  } cases[] = {
      {0100644, 0x201A4, 0100644}, {040755, 0x101ED, 040755}, {0120777, 0x11FF, 0120777},
      {0140755, 0x1ED, 0755},      {060600, 0x8180, 060600},  {020620, 0x4190, 020620},
      {010644, 0x21A4, 010644},    {07777, 0xFFF, 07777},     {022, 0x12, 022},
  };
  for (auto& c : cases) {
    Mode m{c.mem};
    EXPECT_EQ(wire::hex(wire::encode(xdrMode, &m)), wire::hex(B().u32(c.wire))) << std::oct << c.mem;
    Mode d{};
    ASSERT_TRUE(wire::decode(xdrMode, B().u32(c.wire), &d));
    EXPECT_EQ(d.m, c.back) << std::oct << c.mem;
  }
  Mode d{};
  ASSERT_TRUE(wire::decode(xdrMode, B().u32(0x30000), &d));
  EXPECT_EQ(d.m, 0xC000u);
  ASSERT_TRUE(wire::decode(xdrMode, B().u32(0xFFFC0000u | 0x1ED), &d));
  EXPECT_EQ(d.m, 0755u);
}

TEST(XdrBase, SixtyFourBitHighWordFirst) {
  u_signed64 v = (1ull << 32) + 2;
  EXPECT_EQ(wire::hex(wire::encode(qel_xdr_u_signed64, &v)), wire::hex(B().u32(1).u32(2)));
  uint64_t w = v;
  EXPECT_EQ(wire::hex(wire::encode(qel_xdr_unsigned64, &w)), wire::hex(B().u32(1).u32(2)));
  u_signed64 back = 0;
  ASSERT_TRUE(wire::decode(qel_xdr_u_signed64, B().u32(0xDEADBEEF).u32(0x01020304), &back));
  EXPECT_EQ(back, 0xDEADBEEF01020304ull);
  EXPECT_FALSE(wire::decode(qel_xdr_u_signed64, B().u32(1), &back));
}

TEST(XdrBase, IdentifierSizes) {
  quor_uuid_t u{0x11223344, 0x5566, 0x7788, 0x99, 0xAA, {1, 2, 3, 4, 5, 6}};
  Bytes want = B().u32(0x11223344).u32(0x5566).u32(0x7788).u32(0x99).u32(0xAA).raw({1, 2, 3, 4, 5, 6});
  ASSERT_EQ(want.size(), 28u);
  EXPECT_EQ(wire::hex(wire::encode(qel_xdr_quor_uuid_t, &u)), wire::hex(want));
  EXPECT_EQ(wire::hex(wire::encode(qel_xdr_quor_reqid_t, &u)), wire::hex(want));
  quor_uuid_t back{};
  ASSERT_TRUE(wire::decode(qel_xdr_quor_uuid_t, want, &back));
  EXPECT_EQ(memcmp(&back, &u, sizeof u), 0);

  quoroid_t oid;
  for (int i = 0; i < QUOROID_LEN; i++) oid.Bytes[i] = uint8_t(i + 1);
  Bytes ow = wire::encode(qel_xdr_quoroid_t, &oid);
  ASSERT_EQ(ow.size(), 20u);
  EXPECT_EQ(ow[18], 19);
  EXPECT_EQ(ow[19], 0);

  struct T {
    time_t t;
  } tt{-5};
  auto tc = +[](XDR* x, T* r) { return qel_xdr_time_t(x, &r->t); };
  EXPECT_EQ(wire::hex(wire::encode(tc, &tt)), wire::hex(B().i32(-5)));
  struct utimbuf ub{100, 200};
  EXPECT_EQ(wire::hex(wire::encode(qel_xdr_utimbuf_t, &ub)), wire::hex(B().i32(100).i32(200)));
}

TEST(XdrBase, SocketAddressUnsetAndIPv4) {
  FamilyGuard g("ipv4_only");
  quor_sockaddr_t none{};
  none.hs_addrlen = 128;
  EXPECT_EQ(wire::hex(wire::encode(qel_xdr_quor_sockaddr_t, &none)), wire::hex(B().u32(0)));
  quor_sockaddr_t back;
  memset(&back, 0x5A, sizeof back);
  ASSERT_TRUE(wire::decode(qel_xdr_quor_sockaddr_t, B().u32(0), &back));
  quor_sockaddr_t zero{};
  EXPECT_EQ(memcmp(&back, &zero, sizeof back), 0);

  quor_sockaddr_t a = v4("127.0.0.1", 1217);
  Bytes want = B().u32(1).raw({0x7F, 0, 0, 1}).u32(1217);
  ASSERT_EQ(want.size(), 12u);
  EXPECT_EQ(wire::hex(wire::encode(qel_xdr_quor_sockaddr_t, &a)), wire::hex(want));
  quor_sockaddr_t d{};
  ASSERT_TRUE(wire::decode(qel_xdr_quor_sockaddr_t, want, &d));
  EXPECT_EQ(d.hs_addrlen, sizeof(sockaddr_in));
  auto* s = reinterpret_cast<sockaddr_in*>(&d.hs_addr);
  EXPECT_EQ(s->sin_family, AF_INET);
  EXPECT_EQ(ntohs(s->sin_port), 1217);
  EXPECT_EQ(ntohl(s->sin_addr.s_addr), 0x7F000001u);

  // An IPv6 address cannot be rebuilt under the IPv4-only policy.
  Bytes six = B().u32(3).raw({0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}).u32(80);
  EXPECT_FALSE(wire::decode(qel_xdr_quor_sockaddr_t, six, &d));
  // Unknown states and truncations fail.
  EXPECT_FALSE(wire::decode(qel_xdr_quor_sockaddr_t, B().u32(2).raw({1, 2, 3, 4}).u32(1), &d));
  for (size_t n = 1; n < want.size(); n++)
    EXPECT_FALSE(wire::decode(qel_xdr_quor_sockaddr_t, Bytes(want.begin(), want.begin() + n), &d));
}

TEST(XdrBase, SocketAddressUnderIPv6Policies) {
  Bytes six = B().u32(3).raw({0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}).u32(2000);
  Bytes four = B().u32(1).raw({10, 1, 2, 3}).u32(920);
  {
    FamilyGuard g("ipv6");
    quor_sockaddr_t a = v6("::1", 2000);
    EXPECT_EQ(wire::hex(wire::encode(qel_xdr_quor_sockaddr_t, &a)), wire::hex(six));
    quor_sockaddr_t d{};
    ASSERT_TRUE(wire::decode(qel_xdr_quor_sockaddr_t, six, &d));
    EXPECT_EQ(d.hs_addrlen, sizeof(sockaddr_in6));
    // IPv4 on the wire becomes an IPv4-mapped IPv6 address in memory.
    ASSERT_TRUE(wire::decode(qel_xdr_quor_sockaddr_t, four, &d));
    EXPECT_EQ(d.hs_addrlen, sizeof(sockaddr_in6));
    auto* s6 = reinterpret_cast<sockaddr_in6*>(&d.hs_addr);
    EXPECT_TRUE(IN6_IS_ADDR_V4MAPPED(&s6->sin6_addr));
    EXPECT_EQ(ntohs(s6->sin6_port), 920);
  }
  {
    FamilyGuard g("ipv6_only");
    quor_sockaddr_t d{};
    EXPECT_TRUE(wire::decode(qel_xdr_quor_sockaddr_t, six, &d));
    EXPECT_FALSE(wire::decode(qel_xdr_quor_sockaddr_t, four, &d));
  }
  {
    FamilyGuard g("IPv6");  // invalid policy: nothing resolves
    quor_sockaddr_t d{};
    EXPECT_FALSE(wire::decode(qel_xdr_quor_sockaddr_t, four, &d));
  }
}

namespace {

struct Blk {
  uint32_t len;
  char* data;
};
bool_t xdrBlk(XDR* x, Blk* b) {
  return xdr_uint32_t(x, &b->len) && qel_xdr_block(x, &b->data, b->len, 0, FALSE, nullptr);
}

// The same block, named for the allocation message and kept terminated.
bool_t xdrNamedText(XDR* x, Blk* b) {
  return xdr_uint32_t(x, &b->len) &&
         qel_xdr_block(x, &b->data, b->len, 1, FALSE, "xdrNamedText");
}

struct Str {
  char* s;
};
bool_t xdrStr8(XDR* x, Str* r) { return qel_xdr_string(x, &r->s, 8); }

struct Arr {
  uint32_t count;
  Blk* items;
};
bool_t xdrArr(XDR* x, Arr* a) {
  return xdr_uint32_t(x, &a->count) &&
         qel_xdr_elements(x, reinterpret_cast<void**>(&a->items), a->count, sizeof(Blk),
                          reinterpret_cast<xdrproc_t>(xdrBlk), 100, nullptr);
}

struct Opt {
  Blk* inner;
};
bool_t xdrOpt(XDR* x, Opt* o) {
  return qel_xdr_optional(x, reinterpret_cast<void**>(&o->inner), sizeof(Blk),
                          reinterpret_cast<xdrproc_t>(xdrBlk), nullptr);
}

}  // namespace

TEST(XdrBase, BuildingBlocksRefuseBadInputWithoutLeaks) {
  char text[] = "hello";
  Blk b{5, text};
  Bytes bw = wire::encode(xdrBlk, &b);
  EXPECT_EQ(wire::hex(bw), wire::hex(B().u32(5).raw("hello", 5)));

  Blk items[2] = {{5, text}, {0, nullptr}};
  Arr a{2, items};
  Bytes aw = wire::encode(xdrArr, &a);
  EXPECT_EQ(wire::hex(aw), wire::hex(B().u32(2).u32(5).raw("hello", 5).u32(0)));
  Arr ad{};
  ASSERT_TRUE(wire::decode(xdrArr, aw, &ad));
  ASSERT_NE(ad.items, nullptr);
  EXPECT_EQ(memcmp(ad.items[0].data, "hello", 5), 0);
  EXPECT_EQ(ad.items[1].data, nullptr);
  xdr_free(reinterpret_cast<xdrproc_t>(xdrArr), reinterpret_cast<char*>(&ad));
  EXPECT_EQ(ad.items, nullptr);

  Opt o{&b};
  Bytes ow = wire::encode(xdrOpt, &o);
  EXPECT_EQ(wire::hex(ow), wire::hex(B().u32(1).cat(bw)));
  Opt none{nullptr};
  EXPECT_EQ(wire::hex(wire::encode(xdrOpt, &none)), wire::hex(B().u32(0)));

  // Every truncation fails and leaves nothing behind after xdr_free.
  for (auto* enc : {&bw, &aw, &ow}) {
    for (size_t n = 0; n < enc->size(); n++) {
      Bytes cut(enc->begin(), enc->begin() + n);
      Arr t{};
      Opt to{};
      Blk tb{};
      if (enc == &aw) {
        EXPECT_FALSE(wire::decode(xdrArr, cut, &t)) << n;
        xdr_free(reinterpret_cast<xdrproc_t>(xdrArr), reinterpret_cast<char*>(&t));
      } else if (enc == &ow) {
        EXPECT_FALSE(wire::decode(xdrOpt, cut, &to)) << n;
        xdr_free(reinterpret_cast<xdrproc_t>(xdrOpt), reinterpret_cast<char*>(&to));
      } else {
        EXPECT_FALSE(wire::decode(xdrBlk, cut, &tb)) << n;
        xdr_free(reinterpret_cast<xdrproc_t>(xdrBlk), reinterpret_cast<char*>(&tb));
      }
    }
  }
  // Lying lengths and counts: refused without a huge allocation or a crash.
  Blk tb{};
  EXPECT_FALSE(wire::decode(xdrBlk, B().u32(0xFFFFFFF0u).u32(1), &tb));
  EXPECT_FALSE(wire::decode(xdrBlk, B().u32(0x3FFFFFFFu).u32(1), &tb));
  Arr t{};
  EXPECT_FALSE(wire::decode(xdrArr, B().u32(101), &t));
  EXPECT_FALSE(wire::decode(xdrArr, B().u32(100).u32(0), &t));
  EXPECT_EQ(t.items, nullptr);
}

TEST(XdrBase, NamedBlockIsQuietOnShortStreamsAndTerminated) {
  Blk b{};
  ASSERT_TRUE(wire::decode(xdrNamedText, B().u32(3).raw("abc", 3), &b));
  ASSERT_NE(b.data, nullptr);
  EXPECT_STREQ(b.data, "abc");
  xdr_free(reinterpret_cast<xdrproc_t>(xdrNamedText), reinterpret_cast<char*>(&b));
  EXPECT_EQ(b.data, nullptr);

  // Only a failed allocation is reported: a short stream or a length beyond
  // any block fails without a word.
  testing::internal::CaptureStderr();
  Blk t{};
  EXPECT_FALSE(wire::decode(xdrNamedText, B().u32(9).raw("abcd", 4), &t));
  EXPECT_EQ(t.data, nullptr);
  EXPECT_FALSE(wire::decode(xdrNamedText, B().u32(QEL_XDR_MAX_BLOCK + 1).raw("abcd", 4), &t));
  EXPECT_FALSE(wire::decode(xdrNamedText, B().u32(0x3FFFFFFFu).raw("abcd", 4), &t));
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(t.data, nullptr);
}

TEST(XdrBase, BoundedStringHasXdrStringForm) {
  struct {
    const char* text;
    Bytes wire;
  } cases[] = {
      {"", B().u32(0)},
      {"a", B().u32(1).raw({'a', 0, 0, 0})},
      {"abcde", B().u32(5).raw({'a', 'b', 'c', 'd', 'e', 0, 0, 0})},
      {"12345678", B().u32(8).raw({'1', '2', '3', '4', '5', '6', '7', '8'})},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    std::string text = c.text;
    Str r{text.data()};
    EXPECT_EQ(wire::hex(wire::encode(xdrStr8, &r)), wire::hex(c.wire));

    // Into a null pointer the decoder allocates the string.
    Str back{nullptr};
    size_t used = 0;
    ASSERT_TRUE(wire::decode(xdrStr8, c.wire, &back, &used));
    EXPECT_EQ(used, c.wire.size());
    ASSERT_NE(back.s, nullptr);
    EXPECT_STREQ(back.s, c.text);
    xdr_free(reinterpret_cast<xdrproc_t>(xdrStr8), reinterpret_cast<char*>(&back));
    EXPECT_EQ(back.s, nullptr);

    // Into a given buffer it writes there and terminates.
    char buf[9];
    memset(buf, 'k', sizeof buf);
    Str into{buf};
    ASSERT_TRUE(wire::decode(xdrStr8, c.wire, &into));
    EXPECT_EQ(into.s, buf);
    EXPECT_STREQ(buf, c.text);

    for (size_t n = 0; n < c.wire.size(); n++) {
      Str cut{nullptr};
      EXPECT_FALSE(wire::decode(xdrStr8, wire::prefix(c.wire, n), &cut)) << n;
      EXPECT_EQ(cut.s, nullptr);
    }
  }
}

TEST(XdrBase, BoundedStringRefusesWhatCannotTravel) {
  // A null string fails cleanly instead of reaching xdr_string.
  Str none{nullptr};
  bool ok = true;
  wire::encode(xdrStr8, &none, &ok);
  EXPECT_FALSE(ok);
  std::string nine = "123456789";
  Str longer{nine.data()};
  wire::encode(xdrStr8, &longer, &ok);
  EXPECT_FALSE(ok);

  // Lengths above the bound are refused before anything is allocated or
  // written; the caller's buffer is left as it was.
  for (uint32_t len : {9u, 0x7FFFFFFFu, 0xFFFFFFFFu}) {
    Str t{nullptr};
    EXPECT_FALSE(wire::decode(xdrStr8, B().u32(len).raw("123456789abc", 12), &t)) << len;
    EXPECT_EQ(t.s, nullptr);
    char buf[9] = "keep";
    Str into{buf};
    EXPECT_FALSE(wire::decode(xdrStr8, B().u32(len).raw("123456789abc", 12), &into)) << len;
    EXPECT_STREQ(buf, "keep");
  }

  // A length within a wide bound that the stream does not back fails
  // without a huge allocation, and leaves nothing behind.
  struct Wide {
    char* s;
  } w{nullptr};
  auto wide = +[](XDR* x, Wide* r) { return qel_xdr_string(x, &r->s, QEL_XDR_MAX_BLOCK); };
  EXPECT_FALSE(wire::decode(wide, B().u32(QEL_XDR_MAX_BLOCK).raw("abcd", 4), &w));
  EXPECT_EQ(w.s, nullptr);

  // Releasing a null string is harmless.
  xdr_free(reinterpret_cast<xdrproc_t>(xdrStr8), reinterpret_cast<char*>(&none));
  EXPECT_EQ(none.s, nullptr);
}

namespace {

struct Opaque5 {
  char b[5];
};
bool_t xdrOpaque5(XDR* x, Opaque5* r) { return qel_xdr_opaque(x, r->b, sizeof r->b); }

}  // namespace

TEST(XdrBase, OpaquePadsWithZerosAndSkipsPaddingItReads) {
  Opaque5 rec;
  memcpy(rec.b, "abcde", 5);
  wire::expect_golden(xdrOpaque5, &rec, B().raw("abcde", 5));
  EXPECT_EQ(wire::encode(xdrOpaque5, &rec).size(), 8u);

  // Padding a peer did not zero is skipped; missing padding is a short stream.
  Bytes in = {'v', 'w', 'x', 'y', 'z', 0xff, 0xee, 0xdd};
  Opaque5 out{};
  size_t used = 0;
  ASSERT_TRUE(wire::decode(xdrOpaque5, in, &out, &used));
  EXPECT_EQ(std::string(out.b, 5), "vwxyz");
  EXPECT_EQ(used, 8u);
  EXPECT_FALSE(wire::decode(xdrOpaque5, wire::prefix(in, 7), &out));
}

// Padding read by many threads at once goes to each caller's own scratch
// space (a ThreadSanitizer build reports a shared buffer here).
TEST(XdrBase, PaddedDecodesFromManyThreadsShareNothing) {
  Bytes in = B().raw("abcde", 5).raw("fghij", 5);
  std::vector<std::thread> threads;
  std::atomic<int> failures{0};
  for (int t = 0; t < 4; t++)
    threads.emplace_back([&] {
      for (int i = 0; i < 200; i++) {
        Opaque5 a{}, b{};
        Bytes copy = in;
        XDR x;
        xdrmem_create(&x, reinterpret_cast<char*>(copy.data()), u_int(copy.size()), XDR_DECODE);
        bool ok = xdrOpaque5(&x, &a) && xdrOpaque5(&x, &b);
        xdr_destroy(&x);
        if (!ok || memcmp(a.b, "abcde", 5) != 0 || memcmp(b.b, "fghij", 5) != 0) failures++;
      }
    });
  for (auto& t : threads) t.join();
  EXPECT_EQ(failures.load(), 0);
}
