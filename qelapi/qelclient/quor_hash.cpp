// Digest handles; see quor_hash.h.
//
// The SHA and MD5 handles run on libcrypto's context functions rather than
// EVP: they are the same code (and the same assembly) underneath, but only
// the plain contexts expose the running state that the portable saved form
// carries. A handle keeps its context aligned; the raw image of
// quor_HashExtract is laid out as a 4-byte type word, the context and three
// pad bytes, so its size stays ContextSize + 7.
#define OPENSSL_API_COMPAT 10101
#include "quor_hash.h"

#include <openssl/md5.h>
#include <openssl/sha.h>
#include <stdlib.h>
#include <string.h>

#include "quor_api_internal.h"
#include "quor_cksum.h"

struct quor_hash_def {
  quor_hash_type_t Type;
  union {
    SHA_CTX sha1;
    SHA256_CTX sha256;
    SHA512_CTX sha512;
    MD5_CTX md5;
    uint32_t CRC;
  } Context;
};

namespace {

typedef struct hash_attributes {
  uint32_t ContextSize;
  uint32_t DigestSize;
  int (*InitFunction)(void* ctx);
  int (*UpdateFunction)(void* ctx, const void* data, size_t len);
  int (*FinalFunction)(unsigned char* digest, void* ctx);
  unsigned char* (*EncodeFunction)(const void* ctx, unsigned char* buf);
  const unsigned char* (*DecodeFunction)(void* ctx, const unsigned char* buf);
  // Whether a state read from outside can be fed safely: the partial-block
  // count within the block and the output length the type's own.
  bool (*SoundFunction)(const void* ctx, uint32_t digestSize);
  bool crypto;  // an all-zero result means the final step went wrong
} hash_attributes_t;

unsigned char* encode_uint32(unsigned char* p, uint32_t v) {
  p[0] = uint8_t(v >> 24);
  p[1] = uint8_t(v >> 16);
  p[2] = uint8_t(v >> 8);
  p[3] = uint8_t(v);
  return p + 4;
}

const unsigned char* decode_uint32(const unsigned char* p, uint32_t* v) {
  *v = (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3];
  return p + 4;
}

unsigned char* encode_uint64(unsigned char* p, uint64_t v) {
  p = encode_uint32(p, uint32_t(v >> 32));
  return encode_uint32(p, uint32_t(v));
}

const unsigned char* decode_uint64(const unsigned char* p, uint64_t* v) {
  uint32_t hi, lo;
  p = decode_uint32(p, &hi);
  p = decode_uint32(p, &lo);
  *v = (uint64_t(hi) << 32) | lo;
  return p;
}

unsigned char* encodeBytes(unsigned char* p, const void* src, size_t n) {
  memcpy(p, src, n);
  return p + n;
}

const unsigned char* decodeBytes(const unsigned char* p, void* dst, size_t n) {
  memcpy(dst, p, n);
  return p + n;
}

// ---- SHA-1 ----
int sha1Init(void* c) { return SHA1_Init(static_cast<SHA_CTX*>(c)); }
int sha1Update(void* c, const void* d, size_t n) { return SHA1_Update(static_cast<SHA_CTX*>(c), d, n); }
int sha1Final(unsigned char* md, void* c) { return SHA1_Final(md, static_cast<SHA_CTX*>(c)); }

unsigned char* SHA_Encode(const void* ctx, unsigned char* p) {
  const SHA_CTX* c = static_cast<const SHA_CTX*>(ctx);
  for (uint32_t w : {c->h0, c->h1, c->h2, c->h3, c->h4, c->Nl, c->Nh}) p = encode_uint32(p, w);
  p = encodeBytes(p, c->data, sizeof c->data);
  return encode_uint32(p, c->num);
}

const unsigned char* SHA_Decode(void* ctx, const unsigned char* p) {
  SHA_CTX* c = static_cast<SHA_CTX*>(ctx);
  for (SHA_LONG* w : {&c->h0, &c->h1, &c->h2, &c->h3, &c->h4, &c->Nl, &c->Nh}) {
    uint32_t v;
    p = decode_uint32(p, &v);
    *w = v;
  }
  p = decodeBytes(p, c->data, sizeof c->data);
  uint32_t num;
  p = decode_uint32(p, &num);
  c->num = num;
  return p;
}

bool shaSound(const void* ctx, uint32_t) { return static_cast<const SHA_CTX*>(ctx)->num < SHA_CBLOCK; }

// ---- SHA-224 and SHA-256 ----
int sha224Init(void* c) { return SHA224_Init(static_cast<SHA256_CTX*>(c)); }
int sha256Init(void* c) { return SHA256_Init(static_cast<SHA256_CTX*>(c)); }
int sha256Update(void* c, const void* d, size_t n) {
  return SHA256_Update(static_cast<SHA256_CTX*>(c), d, n);
}
int sha256Final(unsigned char* md, void* c) { return SHA256_Final(md, static_cast<SHA256_CTX*>(c)); }

unsigned char* SHA256_Encode(const void* ctx, unsigned char* p) {
  const SHA256_CTX* c = static_cast<const SHA256_CTX*>(ctx);
  for (SHA_LONG w : c->h) p = encode_uint32(p, w);
  p = encode_uint32(p, c->Nl);
  p = encode_uint32(p, c->Nh);
  p = encodeBytes(p, c->data, sizeof c->data);
  p = encode_uint32(p, c->num);
  return encode_uint32(p, c->md_len);
}

const unsigned char* SHA256_Decode(void* ctx, const unsigned char* p) {
  SHA256_CTX* c = static_cast<SHA256_CTX*>(ctx);
  uint32_t v;
  for (SHA_LONG& w : c->h) {
    p = decode_uint32(p, &v);
    w = v;
  }
  p = decode_uint32(p, &v);
  c->Nl = v;
  p = decode_uint32(p, &v);
  c->Nh = v;
  p = decodeBytes(p, c->data, sizeof c->data);
  p = decode_uint32(p, &v);
  c->num = v;
  p = decode_uint32(p, &v);
  c->md_len = v;
  return p;
}

bool sha256Sound(const void* ctx, uint32_t digestSize) {
  const SHA256_CTX* c = static_cast<const SHA256_CTX*>(ctx);
  return c->num < SHA256_CBLOCK && c->md_len == digestSize;
}

// ---- SHA-384 and SHA-512 ----
int sha384Init(void* c) { return SHA384_Init(static_cast<SHA512_CTX*>(c)); }
int sha512Init(void* c) { return SHA512_Init(static_cast<SHA512_CTX*>(c)); }
int sha512Update(void* c, const void* d, size_t n) {
  return SHA512_Update(static_cast<SHA512_CTX*>(c), d, n);
}
int sha512Final(unsigned char* md, void* c) { return SHA512_Final(md, static_cast<SHA512_CTX*>(c)); }

unsigned char* SHA512_Encode(const void* ctx, unsigned char* p) {
  const SHA512_CTX* c = static_cast<const SHA512_CTX*>(ctx);
  for (SHA_LONG64 w : c->h) p = encode_uint64(p, w);
  p = encode_uint64(p, c->Nl);
  p = encode_uint64(p, c->Nh);
  p = encodeBytes(p, c->u.p, sizeof c->u.p);
  p = encode_uint32(p, c->num);
  return encode_uint32(p, c->md_len);
}

const unsigned char* SHA512_Decode(void* ctx, const unsigned char* p) {
  SHA512_CTX* c = static_cast<SHA512_CTX*>(ctx);
  uint64_t v;
  for (SHA_LONG64& w : c->h) {
    p = decode_uint64(p, &v);
    w = v;
  }
  p = decode_uint64(p, &v);
  c->Nl = v;
  p = decode_uint64(p, &v);
  c->Nh = v;
  p = decodeBytes(p, c->u.p, sizeof c->u.p);
  uint32_t w;
  p = decode_uint32(p, &w);
  c->num = w;
  p = decode_uint32(p, &w);
  c->md_len = w;
  return p;
}

bool sha512Sound(const void* ctx, uint32_t digestSize) {
  const SHA512_CTX* c = static_cast<const SHA512_CTX*>(ctx);
  return c->num < SHA512_CBLOCK && c->md_len == digestSize;
}

// ---- MD5 ----
int md5Init(void* c) { return MD5_Init(static_cast<MD5_CTX*>(c)); }
int md5Update(void* c, const void* d, size_t n) { return MD5_Update(static_cast<MD5_CTX*>(c), d, n); }
int md5Final(unsigned char* md, void* c) { return MD5_Final(md, static_cast<MD5_CTX*>(c)); }

unsigned char* MD5_Encode(const void* ctx, unsigned char* p) {
  const MD5_CTX* c = static_cast<const MD5_CTX*>(ctx);
  for (uint32_t w : {c->A, c->B, c->C, c->D, c->Nl, c->Nh}) p = encode_uint32(p, w);
  p = encodeBytes(p, c->data, sizeof c->data);
  return encode_uint32(p, c->num);
}

const unsigned char* MD5_Decode(void* ctx, const unsigned char* p) {
  MD5_CTX* c = static_cast<MD5_CTX*>(ctx);
  for (MD5_LONG* w : {&c->A, &c->B, &c->C, &c->D, &c->Nl, &c->Nh}) {
    uint32_t v;
    p = decode_uint32(p, &v);
    *w = v;
  }
  p = decodeBytes(p, c->data, sizeof c->data);
  uint32_t num;
  p = decode_uint32(p, &num);
  c->num = num;
  return p;
}

bool md5Sound(const void* ctx, uint32_t) { return static_cast<const MD5_CTX*>(ctx)->num < MD5_CBLOCK; }

// ---- the 32-bit checks ----
uint32_t& word(void* c) { return *static_cast<uint32_t*>(c); }

int CRC32Initialize(void* c) {
  word(c) = 0xFFFFFFFFu;
  return 1;
}
int CRC32Update(void* c, const void* d, size_t n) {
  word(c) = quor_crc32_update(word(c), static_cast<const unsigned char*>(d), n);
  return 1;
}
int CRC32Finalize(unsigned char* md, void* c) {
  encode_uint32(md, ~word(c));
  return 1;
}

int ADLER32Initialize(void* c) {
  word(c) = 1;
  return 1;
}
int ADLER32Update(void* c, const void* d, size_t n) {
  word(c) = quor_adler32_update(word(c), static_cast<const unsigned char*>(d), n);
  return 1;
}

int ECMA319Initialize(void* c) {
  word(c) = 0;
  return 1;
}
int ECMA319Update(void* c, const void* d, size_t n) {
  word(c) = quor_ecma319_update(word(c), static_cast<const unsigned char*>(d), n);
  return 1;
}

// Adler-32 and ECMA-319 write the state as it is.
int wordFinalize(unsigned char* md, void* c) {
  encode_uint32(md, word(c));
  return 1;
}

unsigned char* wordEncode(const void* c, unsigned char* p) {
  return encode_uint32(p, *static_cast<const uint32_t*>(c));
}
const unsigned char* wordDecode(void* c, const unsigned char* p) { return decode_uint32(p, &word(c)); }
bool anyWord(const void*, uint32_t) { return true; }
// An Adler-32 state holds two sums below 65521.
bool adlerSound(const void* c, uint32_t) {
  uint32_t s = *static_cast<const uint32_t*>(c);
  return (s & 0xffff) < 65521 && (s >> 16) < 65521;
}

const hash_attributes_t HashAttributes[] = {
    {96, 20, sha1Init, sha1Update, sha1Final, SHA_Encode, SHA_Decode, shaSound, true},
    {112, 28, sha224Init, sha256Update, sha256Final, SHA256_Encode, SHA256_Decode, sha256Sound,
     true},
    {112, 32, sha256Init, sha256Update, sha256Final, SHA256_Encode, SHA256_Decode, sha256Sound,
     true},
    {216, 48, sha384Init, sha512Update, sha512Final, SHA512_Encode, SHA512_Decode, sha512Sound,
     true},
    {216, 64, sha512Init, sha512Update, sha512Final, SHA512_Encode, SHA512_Decode, sha512Sound,
     true},
    {92, 16, md5Init, md5Update, md5Final, MD5_Encode, MD5_Decode, md5Sound, true},
    {4, 4, CRC32Initialize, CRC32Update, CRC32Finalize, wordEncode, wordDecode, anyWord, false},
    {4, 4, ADLER32Initialize, ADLER32Update, wordFinalize, wordEncode, wordDecode, adlerSound,
     false},
    {4, 4, ECMA319Initialize, ECMA319Update, wordFinalize, wordEncode, wordDecode, anyWord, false},
};

static_assert(sizeof(SHA_CTX) == 96 && sizeof(SHA256_CTX) == 112 && sizeof(SHA512_CTX) == 216 &&
                  sizeof(MD5_CTX) == 92,
              "libcrypto's digest contexts changed size");

const hash_attributes_t* row(int32_t type) {
  return type >= QUOR_HASH_SHA1 && type <= QUOR_HASH_ECMA319 ? &HashAttributes[type - 1] : nullptr;
}

const hash_attributes_t* rowOf(const quor_hash_def* h) { return h ? row(h->Type) : nullptr; }

// A zero-filled handle of a valid type: 0, -22 or -12.
int AllocHash(quor_hash_type_t type, quor_hash_def** out) {
  *out = nullptr;
  if (!row(type)) return -22;
  auto* h = static_cast<quor_hash_def*>(calloc(1, sizeof(quor_hash_def)));
  if (!h) return -12;
  h->Type = type;
  *out = h;
  return 0;
}

int feed(quor_hash_t Hash, const void* data, size_t len) {
  if (!Hash) return -14;
  const hash_attributes_t* r = rowOf(Hash);
  if (!r) return -22;
  return r->UpdateFunction(&Hash->Context, data, len) ? 0 : -5000;
}

// The final step into a new buffer of the digest's size; null on failure.
unsigned char* FinalizeHash(quor_hash_t h, const hash_attributes_t* r) {
  auto* md = static_cast<unsigned char*>(malloc(r->DigestSize));
  if (!md) return nullptr;
  if (!r->FinalFunction(md, &h->Context)) {
    free(md);
    return nullptr;
  }
  return md;
}

bool IsZeroHash(const unsigned char* buf, size_t size) {
  if (!buf) return true;
  for (size_t i = 0; i < size; i++)
    if (buf[i]) return false;
  return true;
}

}  // namespace

quor_hash_t quor_HashCreate(quor_hash_type_t Type) {
  QEL_TRACE_ENTRY();
  quor_hash_def* h = nullptr;
  if (AllocHash(Type, &h) != 0) return nullptr;
  if (!row(Type)->InitFunction(&h->Context)) {
    free(h);
    return nullptr;
  }
  return h;
}

int quor_HashReset(quor_hash_t Hash) {
  const hash_attributes_t* r = rowOf(Hash);
  if (!r) return -14;
  return r->InitFunction(&Hash->Context) ? 0 : -5000;
}

int quor_HashAppend(quor_hash_t Hash, int Character) {
  unsigned char c = static_cast<unsigned char>(Character);
  return feed(Hash, &c, 1);
}

int quor_HashAppendStr(quor_hash_t Hash, const char* String) {
  if (!String) return -14;
  return feed(Hash, String, strlen(String));
}

int quor_HashAppendBuf(quor_hash_t Hash, const void* Buffer, uint32_t Length) {
  if (!Buffer) return -14;
  return feed(Hash, Buffer, Length);
}

unsigned char* quor_HashFinish(quor_hash_t Hash, uint32_t* Length) {
  if (Length) *Length = 0;
  const hash_attributes_t* r = rowOf(Hash);
  if (!r || !Length) return nullptr;
  unsigned char* md = FinalizeHash(Hash, r);
  if (!md) return nullptr;
  r->InitFunction(&Hash->Context);
  *Length = r->DigestSize;
  return md;
}

char* quor_HashFinishHex(quor_hash_t Hash) {
  uint32_t len = 0;
  unsigned char* md = quor_HashFinish(Hash, &len);
  if (!md) return nullptr;
  static const char digits[] = "0123456789abcdef";
  char* text = static_cast<char*>(malloc(2 * size_t(len) + 1));
  if (text) {
    for (uint32_t i = 0; i < len; i++) {
      text[2 * i] = digits[md[i] >> 4];
      text[2 * i + 1] = digits[md[i] & 0xf];
    }
    text[2 * len] = '\0';
  }
  free(md);
  return text;
}

int quor_HashFinishDigest(quor_hash_t Hash, unsigned char* Digest, uint32_t Length) {
  if (!Hash || !Digest) return -14;
  const hash_attributes_t* r = rowOf(Hash);
  if (!r || Length < r->DigestSize) return -22;
  if (!r->FinalFunction(Digest, &Hash->Context)) return -5000;
  if (r->crypto && IsZeroHash(Digest, Length)) return -77;
  return int(r->DigestSize);
}

int quor_HashDigestLength(quor_hash_type_t Type) {
  const hash_attributes_t* r = row(Type);
  return r ? int(r->DigestSize) : -22;
}

int quor_HashEncodedLength(quor_hash_type_t Type) {
  const hash_attributes_t* r = row(Type);
  return r ? int(r->ContextSize + 4) : -22;
}

int quor_HashType(quor_hash_t Hash, quor_hash_type_t* Type) {
  if (!Hash || !Type) return -14;
  if (!rowOf(Hash)) return -22;
  *Type = Hash->Type;
  return 0;
}

int quor_HashDelete(quor_hash_t Hash) {
  if (!Hash) return -14;
  if (!rowOf(Hash)) return -22;
  free(Hash);
  return 0;
}

int quor_HashExtract(quor_hash_t Hash, void* Buffer, uint32_t* Length, quor_hash_type_t* Type) {
  if (!Hash || !Buffer || !Length) return -14;
  const hash_attributes_t* r = rowOf(Hash);
  uint32_t size = r ? r->ContextSize + 7 : 0;
  if (!r || *Length < size) return -22;
  auto* p = static_cast<unsigned char*>(Buffer);
  int32_t type = Hash->Type;
  memcpy(p, &type, 4);
  memcpy(p + 4, &Hash->Context, r->ContextSize);
  memset(p + 4 + r->ContextSize, 0, 3);
  *Length = size;
  if (Type) *Type = Hash->Type;
  return 0;
}

quor_hash_t quor_HashLoad(const void* Buffer, uint32_t Length, quor_hash_type_t Type) {
  const hash_attributes_t* r = row(Type);
  if (!Buffer || !r || Length < r->ContextSize + 7) return nullptr;
  const auto* p = static_cast<const unsigned char*>(Buffer);
  int32_t imageType;
  memcpy(&imageType, p, 4);
  // An image of another type has another context size and layout.
  if (imageType != Type) return nullptr;
  quor_hash_def* h = nullptr;
  if (AllocHash(Type, &h) != 0) return nullptr;
  memcpy(&h->Context, p + 4, r->ContextSize);
  if (!r->SoundFunction(&h->Context, r->DigestSize)) {
    free(h);
    return nullptr;
  }
  return h;
}

quor_hash_t quor_HashDuplicate(quor_hash_t Hash) {
  if (!rowOf(Hash)) return nullptr;
  auto* h = static_cast<quor_hash_def*>(malloc(sizeof(quor_hash_def)));
  if (h) memcpy(h, Hash, sizeof *h);
  return h;
}

int quor_HashEncode(quor_hash_t Hash, void* Buffer, uint32_t Length) {
  if (!Hash || !Buffer) return -14;
  const hash_attributes_t* r = rowOf(Hash);
  if (!r || Length < r->ContextSize + 4) return -22;
  auto* p = static_cast<unsigned char*>(Buffer);
  memset(p, 0, r->ContextSize + 4);
  p = encode_uint32(p, uint32_t(Hash->Type));
  r->EncodeFunction(&Hash->Context, p);
  return 0;
}

quor_hash_t quor_HashDecode(const void* Buffer, uint32_t Length) {
  if (!Buffer || Length < 4) return nullptr;
  const auto* p = static_cast<const unsigned char*>(Buffer);
  uint32_t type;
  p = decode_uint32(p, &type);
  const hash_attributes_t* r = row(int32_t(type));
  if (!r || Length < r->ContextSize + 4) return nullptr;
  quor_hash_def* h = nullptr;
  if (AllocHash(quor_hash_type_t(type), &h) != 0) return nullptr;
  r->DecodeFunction(&h->Context, p);
  if (!r->SoundFunction(&h->Context, r->DigestSize)) {
    free(h);
    return nullptr;
  }
  return h;
}

char* quor_HashDigestToString(const unsigned char* Buffer, uint32_t Length) {
  if (!Buffer && Length) return nullptr;
  char* s = static_cast<char*>(malloc(2 * size_t(Length) + 4));
  if (s) quor_HexString(s, Buffer, int(Length));
  return s;
}

int quor_HexString(char* string, const unsigned char* data, int len) {
  if (!string || (!data && len > 0)) return -14;
  if (len < 0) len = 0;
  static const char digits[] = "0123456789ABCDEF";
  char* p = string;
  *p++ = 'X';
  *p++ = '\'';
  for (int i = 0; i < len; i++) {
    *p++ = digits[data[i] >> 4];
    *p++ = digits[data[i] & 0xf];
  }
  *p++ = '\'';
  *p = '\0';
  return 2 * len + 3;
}
