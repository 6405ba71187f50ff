// Shared pieces of the codec tests: the address-family guard, sample socket
// addresses, and table runners that take a record through encode, decode,
// encode again, every truncation and malformed input. Every record a runner
// decodes goes back through the codec's release, so the leak checker sees
// whatever a codec leaves behind.
#ifndef TESTS_SUPPORT_CODEC_CASES_H
#define TESTS_SUPPORT_CODEC_CASES_H

#include <gtest/gtest.h>
#include <rpc/xdr.h>
#include <stdlib.h>

#include <cstdint>
#include <functional>
#include <string>
#include <type_traits>
#include <vector>

#include "quor_net.h"
#include "wire.h"

namespace wire {

template <typename T>
using Codec = bool_t (*)(XDR*, T*);

// Keeps QUOR_NET_FAMILY as the test found it; a null value unsets it for
// the guard's lifetime.
class FamilyGuard {
 public:
  explicit FamilyGuard(const char* value);
  ~FamilyGuard();
  FamilyGuard(const FamilyGuard&) = delete;
  FamilyGuard& operator=(const FamilyGuard&) = delete;

 private:
  bool had_ = false;
  std::string old_;
};

// Fixture of suites whose addresses decode under the IPv4-only policy.
class Ipv4OnlyTest : public testing::Test {
 private:
  FamilyGuard family_{"ipv4_only"};
};

quor_sockaddr_t v4(const char* ip, uint16_t port);
quor_sockaddr_t v6(const char* ip, uint16_t port);

inline Bytes prefix(const Bytes& b, size_t n) { return Bytes(b.begin(), b.begin() + long(n)); }
inline std::string repeat(char c, size_t n) { return std::string(n, c); }

// xdr_free with the codec's own type.
template <typename T>
void release(Codec<T> codec, T* rec) {
  xdr_free(reinterpret_cast<xdrproc_t>(codec), reinterpret_cast<char*>(rec));
}

template <typename T>
bool encodes(Codec<T> codec, T* rec) {
  bool ok = false;
  encode(codec, rec, &ok);
  return ok;
}

// Encoding must succeed and give exactly want.
template <typename T>
void expect_golden(Codec<T> codec, T* rec, const Bytes& want) {
  bool ok = false;
  Bytes got = encode(codec, rec, &ok);
  ASSERT_TRUE(ok);
  EXPECT_EQ(hex(want), hex(got));
}

// Decodes into a zero-filled record and releases it. True when the codec
// accepted the input and, with whole, used all of it.
template <typename T>
bool decodes(Codec<T> codec, const Bytes& in, bool whole = false) {
  T* rec = static_cast<T*>(calloc(1, sizeof(T)));
  size_t used = 0;
  bool ok = decode(codec, in, rec, &used);
  release(codec, rec);
  free(rec);
  return ok && (!whole || used == in.size());
}

// ---- malformed input ----

using Decoder = std::function<bool(const Bytes&)>;

template <typename T>
Decoder decoder(Codec<T> codec, bool whole = false) {
  return [codec, whole](const Bytes& in) { return decodes(codec, in, whole); };
}

// An input that must be refused, and the decoder that must refuse it.
struct Bad {
  std::string name;
  Bytes in;
  Decoder decode;
};

template <typename T>
Bad bad(const char* name, Codec<T> codec, Bytes in) {
  return Bad{name, std::move(in), decoder(codec)};
}

void expect_all_refused(const std::vector<Bad>& cases);

template <typename T>
void expect_refused(Codec<T> codec, const Bytes& in) {
  EXPECT_FALSE(decodes(codec, in));
}

// Every proper prefix of full fails to decode; what a failed decode left
// behind is released. preset prepares the record as its caller would.
template <typename T>
void expect_truncations_fail(Codec<T> codec, const Bytes& full, const std::string& what,
                             std::type_identity_t<std::function<void(T*)>> preset = nullptr) {
  for (size_t n = 0; n < full.size(); n++) {
    T* rec = static_cast<T*>(calloc(1, sizeof(T)));
    if (preset) preset(rec);
    EXPECT_FALSE(decode(codec, prefix(full, n), rec)) << what << " cut at " << n;
    release(codec, rec);
    free(rec);
  }
}

// ---- round-trip tables ----

constexpr size_t kAnySize = SIZE_MAX;

// One record of a round-trip table, typed away so a table holds them all.
struct Case {
  std::string name;
  size_t recsize = 0;
  std::function<bool(XDR*, void*)> codec;
  std::function<void(void*)> fill;  // fills a zero-filled sample
  size_t size = kAnySize;           // the wire size, worked out from the tables
  // Sets a record up before decoding into it, as the record's caller does,
  // and the caller's own clean-up after the release.
  std::function<void(void*)> prep;
  std::function<void(void*)> unprep;
  bool borrowed = false;  // the sample points at the test's data: never released
  bool plain = false;     // the decoded record equals the sample byte for byte
};

template <typename T>
Case record(const char* name, size_t size, Codec<T> codec,
            std::type_identity_t<std::function<void(T*)>> fill,
            std::type_identity_t<std::function<void(T*)>> prep = nullptr,
            std::type_identity_t<std::function<void(T*)>> unprep = nullptr) {
  auto untyped = [](std::function<void(T*)> f) -> std::function<void(void*)> {
    if (!f) return nullptr;
    return [f](void* p) { f(static_cast<T*>(p)); };
  };
  Case c;
  c.name = name;
  c.recsize = sizeof(T);
  c.codec = [codec](XDR* x, void* p) { return codec(x, static_cast<T*>(p)) != 0; };
  c.fill = untyped(fill);
  c.size = size;
  c.prep = untyped(prep);
  c.unprep = untyped(unprep);
  return c;
}

// A record whose sample owns its parts and whose size is not checked.
template <typename T>
Case row(const char* name, Codec<T> codec, std::type_identity_t<std::function<void(T&)>> fill) {
  return record<T>(name, kAnySize, codec, [fill](T* p) { fill(*p); });
}

// Encodes the sample (at its wire size when one is given), decodes it using
// every byte (into the sample's very bytes when plain) and encodes the result
// to the same bytes.
void expect_round_trip(const Case& c);
// Every proper prefix of the sample's encoding fails to decode.
void expect_truncations_fail(const Case& c);
// Both, for every case of a table.
void expect_cases(const std::vector<Case>& cases);

}  // namespace wire

#endif
