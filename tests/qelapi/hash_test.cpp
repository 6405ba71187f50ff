// Digest handles: every type against the system's tools and the standards'
// vectors, saved states (raw and portable) continued to the same digest,
// and the refusals of bad arguments and bad saved states.
#include "program_run.h"
#include "quor_hash.h"

#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <random>
#include <string>
#include <vector>

#include "quor_cksum.h"

namespace {

struct TypeInfo {
  quor_hash_type_t type;
  const char* tool;  // system tool printing the same digest, or null
  int digestSize;
  int encodedSize;
};

const TypeInfo kTypes[] = {
    {QUOR_HASH_SHA1, "sha1sum", 20, 100},    {QUOR_HASH_SHA224, "sha224sum", 28, 116},
    {QUOR_HASH_SHA256, "sha256sum", 32, 116}, {QUOR_HASH_SHA384, "sha384sum", 48, 220},
    {QUOR_HASH_SHA512, "sha512sum", 64, 220}, {QUOR_HASH_MD5, "md5sum", 16, 96},
    {QUOR_HASH_CRC32, nullptr, 4, 8},         {QUOR_HASH_ADLER32, nullptr, 4, 8},
    {QUOR_HASH_ECMA319, nullptr, 4, 8},
};

std::vector<unsigned char> randomBytes(size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  std::vector<unsigned char> v(n);
  for (auto& b : v) b = static_cast<unsigned char>(rng());
  return v;
}

std::string toHex(const unsigned char* p, size_t n) {
  static const char d[] = "0123456789abcdef";
  std::string s;
  for (size_t i = 0; i < n; i++) {
    s += d[p[i] >> 4];
    s += d[p[i] & 0xf];
  }
  return s;
}

// The digest of data fed in uneven pieces, as lower-case hex.
std::string digestOf(quor_hash_type_t type, const std::vector<unsigned char>& data) {
  quor_hash_t h = quor_HashCreate(type);
  if (!h) return "create failed";
  size_t at = 0, piece = 1;
  while (at < data.size()) {
    size_t n = std::min(piece, data.size() - at);
    if (quor_HashAppendBuf(h, data.data() + at, uint32_t(n)) != 0) return "append failed";
    at += n;
    piece = piece * 3 + 7;
  }
  char* hex = quor_HashFinishHex(h);
  std::string out = hex ? hex : "finish failed";
  free(hex);
  quor_HashDelete(h);
  return out;
}

// A scratch directory removed with everything in it.
struct ScratchDir {
  std::string path;
  ScratchDir() {
    const char* tmp = getenv("TMPDIR");
    std::string tmpl = std::string(tmp && *tmp ? tmp : "/tmp") + "/hash_test.XXXXXX";
    if (mkdtemp(tmpl.data())) path = tmpl;
  }
  ~ScratchDir() {
    if (!path.empty()) system(("rm -rf '" + path + "'").c_str());
  }
  std::string write(const std::string& name, const std::vector<unsigned char>& data) const {
    std::string p = path + "/" + name;
    FILE* f = fopen(p.c_str(), "wb");
    if (!f) return "";
    if (!data.empty()) fwrite(data.data(), 1, data.size(), f);
    fclose(f);
    return p;
  }
};

// The command's standard output, or "" when it fails.
std::string run(const std::string& cmd) {
  ProgramSpec prog;
  prog.argv = {"/bin/sh", "-c", cmd};
  ProgramResult r = runProgram(prog);
  return r.status == 0 ? r.out : "";
}

bool haveTool(const char* tool) {
  return run(std::string("command -v ") + tool + " >/dev/null 2>&1 && echo yes") == "yes\n";
}

const std::vector<std::pair<std::string, std::vector<unsigned char>>>& samples() {
  static const std::vector<std::pair<std::string, std::vector<unsigned char>>> s = {
      {"empty", {}},
      {"abc", {'a', 'b', 'c'}},
      {"block", randomBytes(64, 1)},
      {"odd", randomBytes(1000003, 2)},
      {"big", randomBytes(3 << 20, 3)},
  };
  return s;
}

TEST(HashDigests, EqualTheSystemToolsOnTheSameFiles) {
  ScratchDir dir;
  ASSERT_FALSE(dir.path.empty());
  for (const TypeInfo& t : kTypes) {
    if (!t.tool) continue;
    if (!haveTool(t.tool)) {
      ADD_FAILURE() << t.tool << " is not installed";
      continue;
    }
    for (const auto& [name, data] : samples()) {
      std::string file = dir.write(name, data);
      std::string out = run(std::string(t.tool) + " '" + file + "'");
      ASSERT_GT(out.size(), size_t(2 * t.digestSize)) << t.tool;
      EXPECT_EQ(digestOf(t.type, data), out.substr(0, size_t(2 * t.digestSize)))
          << t.tool << " on " << name;
    }
  }
}

TEST(HashDigests, Crc32EqualsTheGzipTrailer) {
  // gzip's trailer holds the IEEE 802.3 CRC-32 of the data, least
  // significant byte first.
  if (!haveTool("gzip") || !haveTool("od")) GTEST_SKIP() << "gzip or od missing";
  ScratchDir dir;
  for (const auto& [name, data] : samples()) {
    std::string file = dir.write(name, data);
    std::string out = run("gzip -c '" + file + "' | tail -c 8 | head -c 4 | od -An -tx1");
    std::string le;
    for (char c : out)
      if (isxdigit(static_cast<unsigned char>(c))) le += c;
    ASSERT_EQ(le.size(), 8u) << name;
    std::string be = le.substr(6, 2) + le.substr(4, 2) + le.substr(2, 2) + le.substr(0, 2);
    EXPECT_EQ(digestOf(QUOR_HASH_CRC32, data), be) << name;
  }
}

std::vector<unsigned char> bytesOf(const char* s) {
  return std::vector<unsigned char>(s, s + strlen(s));
}

TEST(HashDigests, KnownVectorsAndEmptyInput) {
  struct Case {
    quor_hash_type_t type;
    std::vector<unsigned char> data;
    const char* hex;
  } cases[] = {
      {QUOR_HASH_CRC32, bytesOf("123456789"), "cbf43926"},
      {QUOR_HASH_CRC32, bytesOf("The quick brown fox jumps over the lazy dog"), "414fa339"},
      {QUOR_HASH_CRC32, {}, "00000000"},
      {QUOR_HASH_ADLER32, bytesOf("Wikipedia"), "11e60398"},
      {QUOR_HASH_ADLER32, bytesOf("123456789"), "091e01de"},
      {QUOR_HASH_ADLER32, {}, "00000001"},
      {QUOR_HASH_ECMA319, {0x01}, "38cf3801"},
      {QUOR_HASH_ECMA319, {0x02}, "70837002"},
      {QUOR_HASH_ECMA319, {0xff}, "763f76ff"},
      {QUOR_HASH_ECMA319, {}, "00000000"},
      {QUOR_HASH_MD5, {}, "d41d8cd98f00b204e9800998ecf8427e"},
      {QUOR_HASH_SHA1, {}, "da39a3ee5e6b4b0d3255bfef95601890afd80709"},
      {QUOR_HASH_SHA256, bytesOf("abc"),
       "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
  };
  for (const Case& c : cases)
    EXPECT_EQ(digestOf(c.type, c.data), c.hex) << "type " << c.type << " length " << c.data.size();
}

// Reference implementations, a byte (or a bit) at a time, from the
// standards' definitions.
uint32_t crcBitwise(const std::vector<unsigned char>& d) {
  uint32_t c = 0xFFFFFFFFu;
  for (unsigned char b : d) {
    c ^= b;
    for (int k = 0; k < 8; k++) c = (c & 1) ? (c >> 1) ^ 0xEDB88320u : c >> 1;
  }
  return ~c;
}

uint8_t gf(uint8_t a, uint8_t b) {
  uint8_t r = 0;
  for (int i = 0; i < 8; i++) {
    if (b & 1) r ^= a;
    bool hi = a & 0x80;
    a = uint8_t(a << 1);
    if (hi) a ^= 0x1D;
    b >>= 1;
  }
  return r;
}

uint32_t ecmaBytewise(const std::vector<unsigned char>& d) {
  uint32_t s = 0;
  for (unsigned char b : d) {
    uint8_t v = uint8_t((s >> 24) ^ b);
    uint32_t t = (uint32_t(gf(v, 0x38)) << 24) | (uint32_t(gf(v, 0xCF)) << 16) |
                 (uint32_t(gf(v, 0x38)) << 8) | v;
    s = (s << 8) ^ t;
  }
  return s;
}

uint32_t adlerBytewise(const std::vector<unsigned char>& d) {
  uint32_t s = 1;
  for (unsigned char b : d) {
    uint32_t a = (s & 0xffff) + b, bb = (s >> 16) + a;
    s = ((bb % 65521) << 16) | (a % 65521);
  }
  return s;
}

TEST(HashDigests, SlicedChecksEqualTheBytewiseDefinitions) {
  // Every length around the slice widths, and runs past Adler's reduction
  // interval with the largest byte values.
  for (size_t n = 0; n <= 40; n++) {
    auto d = randomBytes(n, unsigned(100 + n));
    char want[9];
    snprintf(want, sizeof want, "%08x", crcBitwise(d));
    EXPECT_EQ(digestOf(QUOR_HASH_CRC32, d), want) << n;
    snprintf(want, sizeof want, "%08x", ecmaBytewise(d));
    EXPECT_EQ(digestOf(QUOR_HASH_ECMA319, d), want) << n;
  }
  for (size_t n : {5551u, 5552u, 5553u, 20000u}) {
    std::vector<unsigned char> d(n, 0xff);
    char want[9];
    snprintf(want, sizeof want, "%08x", adlerBytewise(d));
    EXPECT_EQ(digestOf(QUOR_HASH_ADLER32, d), want) << n;
    d = randomBytes(n, unsigned(n));
    snprintf(want, sizeof want, "%08x", adlerBytewise(d));
    EXPECT_EQ(digestOf(QUOR_HASH_ADLER32, d), want) << n;
  }
  for (unsigned v : {1u, 2u, 255u}) EXPECT_EQ(quor_ecma319_table(v), ecmaBytewise({uint8_t(v)}));
}

TEST(HashDigests, AZeroCheckIsAResultButAZeroCryptoDigestIsNot) {
  unsigned char out[64];
  for (quor_hash_type_t t : {QUOR_HASH_CRC32, QUOR_HASH_ECMA319}) {
    quor_hash_t h = quor_HashCreate(t);
    ASSERT_NE(h, nullptr);
    memset(out, 0xAA, sizeof out);
    EXPECT_EQ(quor_HashFinishDigest(h, out, 4), 4) << t;
    EXPECT_EQ(toHex(out, 4), "00000000");
    quor_HashDelete(h);
  }
  // The short buffer is refused before anything is written.
  quor_hash_t h = quor_HashCreate(QUOR_HASH_SHA256);
  memset(out, 0xAA, sizeof out);
  EXPECT_EQ(quor_HashFinishDigest(h, out, 31), -22);
  EXPECT_EQ(out[0], 0xAA);
  EXPECT_EQ(quor_HashFinishDigest(h, out, sizeof out), 32);
  quor_HashDelete(h);
}

TEST(HashDigests, FinishStartsOverButFinishDigestDoesNot) {
  quor_hash_t h = quor_HashCreate(QUOR_HASH_MD5);
  ASSERT_EQ(quor_HashAppendStr(h, "abc"), 0);
  uint32_t len = 99;
  unsigned char* a = quor_HashFinish(h, &len);
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(len, 16u);
  EXPECT_EQ(toHex(a, len), "900150983cd24fb0d6963f7d28e17f72");
  unsigned char* b = quor_HashFinish(h, &len);
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(toHex(b, len), "d41d8cd98f00b204e9800998ecf8427e");
  free(a);
  free(b);
  // Append feeds only the low byte; Reset starts over.
  ASSERT_EQ(quor_HashAppend(h, 0x161), 0);
  ASSERT_EQ(quor_HashAppend(h, 'b'), 0);
  ASSERT_EQ(quor_HashAppend(h, 'c'), 0);
  char* hex = quor_HashFinishHex(h);
  EXPECT_STREQ(hex, "900150983cd24fb0d6963f7d28e17f72");
  free(hex);
  ASSERT_EQ(quor_HashAppendStr(h, "junk"), 0);
  ASSERT_EQ(quor_HashReset(h), 0);
  hex = quor_HashFinishHex(h);
  EXPECT_STREQ(hex, "d41d8cd98f00b204e9800998ecf8427e");
  free(hex);
  quor_HashDelete(h);
}

// Feeds data[0, cut) into a handle, saves it (portable or raw), restores it,
// feeds the rest and returns the hex digest.
std::string continuedDigest(quor_hash_type_t type, const std::vector<unsigned char>& data,
                            size_t cut, bool portable) {
  quor_hash_t h = quor_HashCreate(type);
  if (!h || (cut && quor_HashAppendBuf(h, data.data(), uint32_t(cut)) != 0)) return "first";
  std::vector<unsigned char> saved(512, 0xEE);
  quor_hash_t back = nullptr;
  if (portable) {
    if (quor_HashEncode(h, saved.data(), uint32_t(saved.size())) != 0) return "encode";
    quor_HashDelete(h);
    back = quor_HashDecode(saved.data(), uint32_t(quor_HashEncodedLength(type)));
  } else {
    uint32_t len = uint32_t(saved.size());
    quor_hash_type_t got = QUOR_HASH_NONE;
    if (quor_HashExtract(h, saved.data(), &len, &got) != 0 || got != type) return "extract";
    quor_HashDelete(h);
    back = quor_HashLoad(saved.data(), len, type);
  }
  if (!back) return "restore";
  if (cut < data.size() &&
      quor_HashAppendBuf(back, data.data() + cut, uint32_t(data.size() - cut)) != 0)
    return "rest";
  char* hex = quor_HashFinishHex(back);
  std::string out = hex ? hex : "finish";
  free(hex);
  quor_HashDelete(back);
  return out;
}

TEST(HashSavedState, EncodeDecodeAndContinueEqualsTheOneShotDigest) {
  auto data = randomBytes(1000, 7);
  for (const TypeInfo& t : kTypes) {
    EXPECT_EQ(quor_HashEncodedLength(t.type), t.encodedSize) << t.type;
    std::string whole = digestOf(t.type, data);
    for (size_t cut : {0u, 1u, 63u, 64u, 65u, 127u, 128u, 129u, 999u, 1000u}) {
      EXPECT_EQ(continuedDigest(t.type, data, cut, true), whole) << t.type << " cut " << cut;
      EXPECT_EQ(continuedDigest(t.type, data, cut, false), whole) << t.type << " raw cut " << cut;
    }
  }
}

TEST(HashSavedState, PortableFormIsBigEndianTypeThenState) {
  quor_hash_t h = quor_HashCreate(QUOR_HASH_CRC32);
  unsigned char buf[8];
  EXPECT_EQ(quor_HashEncode(h, buf, 7), -22);
  ASSERT_EQ(quor_HashEncode(h, buf, 8), 0);
  EXPECT_EQ(toHex(buf, 8), "00000007ffffffff");
  quor_HashDelete(h);
  h = quor_HashCreate(QUOR_HASH_SHA1);
  std::vector<unsigned char> s(100);
  ASSERT_EQ(quor_HashEncode(h, s.data(), 100), 0);
  EXPECT_EQ(toHex(s.data(), 24), "0000000167452301efcdab8998badcfe10325476c3d2e1f0");
  quor_HashDelete(h);
}

TEST(HashSavedState, RefusesStatesOfAnotherTypeOrOutOfRange) {
  auto data = randomBytes(70, 9);
  // A raw image of SHA-512 loaded as MD5, and the other way round.
  quor_hash_t big = quor_HashCreate(QUOR_HASH_SHA512);
  quor_hash_t small = quor_HashCreate(QUOR_HASH_MD5);
  std::vector<unsigned char> bigImg(300), smallImg(300);
  uint32_t bigLen = 300, smallLen = 300;
  ASSERT_EQ(quor_HashExtract(big, bigImg.data(), &bigLen, nullptr), 0);
  ASSERT_EQ(quor_HashExtract(small, smallImg.data(), &smallLen, nullptr), 0);
  EXPECT_EQ(bigLen, 223u);
  EXPECT_EQ(smallLen, 99u);
  EXPECT_EQ(quor_HashLoad(bigImg.data(), bigLen, QUOR_HASH_MD5), nullptr);
  EXPECT_EQ(quor_HashLoad(smallImg.data(), bigLen, QUOR_HASH_SHA512), nullptr);
  EXPECT_EQ(quor_HashLoad(smallImg.data(), smallLen - 1, QUOR_HASH_MD5), nullptr);
  uint32_t tooSmall = smallLen - 1;
  EXPECT_EQ(quor_HashExtract(small, smallImg.data(), &tooSmall, nullptr), -22);

  // Portable states: bad type words, short buffers, a partial-block count
  // past the block, an output length of another size.
  std::vector<unsigned char> enc(220);
  ASSERT_EQ(quor_HashEncode(big, enc.data(), 220), 0);
  for (uint32_t bad : {0u, 10u, 0xffffffffu}) {
    auto e = enc;
    e[0] = uint8_t(bad >> 24), e[1] = uint8_t(bad >> 16), e[2] = uint8_t(bad >> 8), e[3] = uint8_t(bad);
    EXPECT_EQ(quor_HashDecode(e.data(), 220), nullptr) << bad;
  }
  EXPECT_EQ(quor_HashDecode(enc.data(), 219), nullptr);
  EXPECT_EQ(quor_HashDecode(enc.data(), 3), nullptr);
  auto e = enc;
  e[4 + 64 + 16 + 128 + 3] = 128;  // num
  EXPECT_EQ(quor_HashDecode(e.data(), 220), nullptr);
  e = enc;
  e[4 + 64 + 16 + 128 + 7] = 32;  // md_len of SHA-512/256
  EXPECT_EQ(quor_HashDecode(e.data(), 220), nullptr);
  std::vector<unsigned char> md5(96);
  ASSERT_EQ(quor_HashEncode(small, md5.data(), 96), 0);
  md5[95] = 64;
  EXPECT_EQ(quor_HashDecode(md5.data(), 96), nullptr);
  quor_hash_t adler = quor_HashCreate(QUOR_HASH_ADLER32);
  unsigned char a[8];
  ASSERT_EQ(quor_HashEncode(adler, a, 8), 0);
  a[6] = 0xff, a[7] = 0xf1;  // 65521 is no sum
  EXPECT_EQ(quor_HashDecode(a, 8), nullptr);
  quor_HashDelete(adler);
  quor_HashDelete(big);
  quor_HashDelete(small);
}

TEST(HashHandles, DuplicateRunsOnIndependently) {
  quor_hash_t h = quor_HashCreate(QUOR_HASH_SHA384);
  ASSERT_EQ(quor_HashAppendStr(h, "ab"), 0);
  quor_hash_t d = quor_HashDuplicate(h);
  ASSERT_NE(d, nullptr);
  ASSERT_EQ(quor_HashAppendStr(h, "c"), 0);
  char* a = quor_HashFinishHex(h);
  char* b = quor_HashFinishHex(d);
  EXPECT_EQ(std::string(a), digestOf(QUOR_HASH_SHA384, bytesOf("abc")));
  EXPECT_EQ(std::string(b), digestOf(QUOR_HASH_SHA384, bytesOf("ab")));
  free(a);
  free(b);
  quor_HashDelete(h);
  quor_HashDelete(d);
}

TEST(HashHandles, RefusesInvalidTypesAndNullArguments) {
  for (int t : {0, 10, 11, -1}) {
    EXPECT_EQ(quor_HashCreate(quor_hash_type_t(t)), nullptr) << t;
    EXPECT_EQ(quor_HashDigestLength(quor_hash_type_t(t)), -22) << t;
    EXPECT_EQ(quor_HashLoad("xxxxxxxxxxxxxxxxxxxxxxx", 12, quor_hash_type_t(t)), nullptr);
  }
  for (const TypeInfo& t : kTypes) EXPECT_EQ(quor_HashDigestLength(t.type), t.digestSize);
  unsigned char buf[64];
  uint32_t len = sizeof buf;
  quor_hash_type_t type;
  EXPECT_EQ(quor_HashReset(nullptr), -14);
  EXPECT_EQ(quor_HashAppend(nullptr, 'a'), -14);
  EXPECT_EQ(quor_HashAppendStr(nullptr, "a"), -14);
  EXPECT_EQ(quor_HashAppendBuf(nullptr, buf, 1), -14);
  EXPECT_EQ(quor_HashFinish(nullptr, &len), nullptr);
  EXPECT_EQ(len, 0u);
  EXPECT_EQ(quor_HashFinishHex(nullptr), nullptr);
  EXPECT_EQ(quor_HashFinishDigest(nullptr, buf, 64), -14);
  EXPECT_EQ(quor_HashType(nullptr, &type), -14);
  EXPECT_EQ(quor_HashDelete(nullptr), -14);
  EXPECT_EQ(quor_HashExtract(nullptr, buf, &len, nullptr), -14);
  EXPECT_EQ(quor_HashDuplicate(nullptr), nullptr);
  EXPECT_EQ(quor_HashEncode(nullptr, buf, 64), -14);
  EXPECT_EQ(quor_HashDecode(nullptr, 64), nullptr);
  quor_hash_t h = quor_HashCreate(QUOR_HASH_ECMA319);
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(quor_HashAppendStr(h, nullptr), -14);
  EXPECT_EQ(quor_HashAppendBuf(h, nullptr, 1), -14);
  EXPECT_EQ(quor_HashFinishDigest(h, nullptr, 4), -14);
  EXPECT_EQ(quor_HashType(h, nullptr), -14);
  EXPECT_EQ(quor_HashType(h, &type), 0);
  EXPECT_EQ(type, QUOR_HASH_ECMA319);
  EXPECT_EQ(quor_HashDelete(h), 0);
}

TEST(HashText, QuotedUpperCaseHex) {
  const unsigned char b[] = {0x0A, 0xFF};
  char out[8];
  memset(out, 'z', sizeof out);
  EXPECT_EQ(quor_HexString(out, b, 2), 7);
  EXPECT_STREQ(out, "X'0AFF'");
  char* s = quor_HashDigestToString(b, 2);
  EXPECT_STREQ(s, "X'0AFF'");
  free(s);
  s = quor_HashDigestToString(b, 0);
  EXPECT_STREQ(s, "X''");
  free(s);
}

}  // namespace
