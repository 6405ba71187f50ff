#include "codec_cases.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <string.h>

namespace wire {

FamilyGuard::FamilyGuard(const char* value) {
  const char* old = getenv("QUOR_NET_FAMILY");
  had_ = old != nullptr;
  if (had_) old_ = old;
  if (value)
    setenv("QUOR_NET_FAMILY", value, 1);
  else
    unsetenv("QUOR_NET_FAMILY");
}

FamilyGuard::~FamilyGuard() {
  if (had_)
    setenv("QUOR_NET_FAMILY", old_.c_str(), 1);
  else
    unsetenv("QUOR_NET_FAMILY");
}

quor_sockaddr_t v4(const char* ip, uint16_t port) {
  quor_sockaddr_t a{};
  auto* s = reinterpret_cast<sockaddr_in*>(&a.hs_addr);
  s->sin_family = AF_INET;
  s->sin_port = htons(port);
  inet_pton(AF_INET, ip, &s->sin_addr);
  a.hs_addrlen = sizeof(sockaddr_in);
  return a;
}

quor_sockaddr_t v6(const char* ip, uint16_t port) {
  quor_sockaddr_t a{};
  auto* s = reinterpret_cast<sockaddr_in6*>(&a.hs_addr);
  s->sin6_family = AF_INET6;
  s->sin6_port = htons(port);
  inet_pton(AF_INET6, ip, &s->sin6_addr);
  a.hs_addrlen = sizeof(sockaddr_in6);
  return a;
}

void expect_all_refused(const std::vector<Bad>& cases) {
  for (const Bad& b : cases) {
    SCOPED_TRACE(b.name);
    EXPECT_FALSE(b.decode(b.in));
  }
}

namespace {

// A zero-filled record of a case. A decoded one is set up as its caller
// would and released through the codec; a sample is released unless it
// points at the test's own data.
class Rec {
 public:
  enum Use { kSample, kDecoded };
  Rec(const Case& c, Use use) : c_(c), use_(use), p_(calloc(1, c.recsize)) {
    if (use_ == kDecoded && c_.prep) c_.prep(p_);
  }
  ~Rec() {
    if (use_ == kDecoded || !c_.borrowed) {
      XDR fx{};
      fx.x_op = XDR_FREE;
      c_.codec(&fx, p_);
    }
    if (c_.unprep) c_.unprep(p_);
    free(p_);
  }
  Rec(const Rec&) = delete;
  Rec& operator=(const Rec&) = delete;
  void* get() const { return p_; }

 private:
  const Case& c_;
  Use use_;
  void* p_;
};

Bytes run_encode(const Case& c, void* rec, bool* ok) {
  Bytes buf(1 << 20);
  XDR x;
  xdrmem_create(&x, reinterpret_cast<char*>(buf.data()), u_int(buf.size()), XDR_ENCODE);
  *ok = c.codec(&x, rec);
  buf.resize(*ok ? xdr_getpos(&x) : 0);
  xdr_destroy(&x);
  note_wire(buf.data(), buf.size());
  return buf;
}

bool run_decode(const Case& c, const Bytes& in, void* rec, size_t* used = nullptr) {
  Bytes copy = in;  // xdrmem wants a mutable buffer
  XDR x;
  xdrmem_create(&x, reinterpret_cast<char*>(copy.data()), u_int(copy.size()), XDR_DECODE);
  bool ok = c.codec(&x, rec);
  if (used) *used = xdr_getpos(&x);
  xdr_destroy(&x);
  if (ok) note_wire(in.data(), in.size());
  return ok;
}

Bytes encode_sample(const Case& c, bool* ok) {
  Rec sample(c, Rec::kSample);
  c.fill(sample.get());
  return run_encode(c, sample.get(), ok);
}

}  // namespace

void expect_round_trip(const Case& c) {
  SCOPED_TRACE(c.name);
  bool ok = false;
  Bytes first = encode_sample(c, &ok);
  ASSERT_TRUE(ok);
  if (c.size != kAnySize) {
    EXPECT_EQ(c.size, first.size());
  }
  Rec back(c, Rec::kDecoded);
  size_t used = 0;
  ASSERT_TRUE(run_decode(c, first, back.get(), &used));
  EXPECT_EQ(first.size(), used);
  Bytes second = run_encode(c, back.get(), &ok);
  ASSERT_TRUE(ok);
  EXPECT_EQ(hex(first), hex(second));
  if (c.plain) {
    Rec want(c, Rec::kSample);
    c.fill(want.get());
    EXPECT_EQ(0, memcmp(want.get(), back.get(), c.recsize)) << "decoded record differs";
  }
}

void expect_truncations_fail(const Case& c) {
  SCOPED_TRACE(c.name);
  bool ok = false;
  Bytes full = encode_sample(c, &ok);
  ASSERT_TRUE(ok);
  ASSERT_FALSE(full.empty());
  for (size_t n = 0; n < full.size(); n++) {
    Rec cut(c, Rec::kDecoded);
    EXPECT_FALSE(run_decode(c, prefix(full, n), cut.get())) << "prefix of " << n << " bytes";
  }
}

void expect_cases(const std::vector<Case>& cases) {
  for (const Case& c : cases) {
    expect_round_trip(c);
    expect_truncations_fail(c);
  }
}

}  // namespace wire
