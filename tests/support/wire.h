// Helpers for codec tests: write expected wire bytes by hand, run a codec
// over a memory stream in either direction.
#ifndef TESTS_SUPPORT_WIRE_H
#define TESTS_SUPPORT_WIRE_H

#include <rpc/xdr.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace wire {

using Bytes = std::vector<uint8_t>;

// Builds big-endian XDR units by hand, so golden bytes never come from the
// codec under test.
struct B {
  Bytes b;
  B& u32(uint32_t v) {
    for (int s = 24; s >= 0; s -= 8) b.push_back(uint8_t(v >> s));
    return *this;
  }
  B& i32(int32_t v) { return u32(uint32_t(v)); }
  B& u64(uint64_t v) { return u32(uint32_t(v >> 32)).u32(uint32_t(v)); }
  // Raw bytes padded with zeros to a multiple of 4.
  B& raw(const void* p, size_t n) {
    auto c = static_cast<const uint8_t*>(p);
    b.insert(b.end(), c, c + n);
    while (b.size() % 4) b.push_back(0);
    return *this;
  }
  B& raw(std::initializer_list<uint8_t> l) { return raw(std::data(l), l.size()); }
  // NUL-counted bounded string: length with the NUL, bytes, NUL, padding.
  B& fstr(const char* s) {
    size_t n = strlen(s) + 1;
    u32(uint32_t(n));
    return raw(s, n);
  }
  // Plain XDR string: length without the NUL, bytes, padding.
  B& str(const char* s) {
    size_t n = strlen(s);
    u32(uint32_t(n));
    return raw(s, n);
  }
  B& zeros(size_t n) {
    b.insert(b.end(), n, 0);
    return *this;
  }
  B& cat(const Bytes& o) {
    b.insert(b.end(), o.begin(), o.end());
    return *this;
  }
  operator Bytes() const { return b; }
};

// With OZU_WIRE_DUMP=DIR in the environment, keeps a copy of the bytes in DIR
// (one file per distinct content): scripts/fuzz --seeds turns the bytes the
// codec tests encode and decode into the fuzz targets' seeds.
void note_wire(const uint8_t* data, size_t size);

// Encodes rec with codec; returns the bytes written, or an empty vector with
// *ok false when the codec failed.
template <typename T>
Bytes encode(bool_t (*codec)(XDR*, T*), T* rec, bool* ok = nullptr, size_t cap = 1 << 20) {
  Bytes buf(cap);
  XDR x;
  xdrmem_create(&x, reinterpret_cast<char*>(buf.data()), u_int(cap), XDR_ENCODE);
  bool_t r = codec(&x, rec);
  size_t n = xdr_getpos(&x);
  xdr_destroy(&x);
  if (ok) *ok = r != 0;
  if (!r) return {};
  buf.resize(n);
  note_wire(buf.data(), buf.size());
  return buf;
}

// Decodes bytes into rec (which the caller cleared); *used gets the bytes
// consumed. Returns the codec's result.
template <typename T>
bool decode(bool_t (*codec)(XDR*, T*), const Bytes& in, T* rec, size_t* used = nullptr) {
  Bytes copy = in;  // xdrmem wants a mutable buffer
  XDR x;
  xdrmem_create(&x, reinterpret_cast<char*>(copy.data()), u_int(copy.size()), XDR_DECODE);
  bool_t r = codec(&x, rec);
  if (used) *used = xdr_getpos(&x);
  xdr_destroy(&x);
  if (r) note_wire(in.data(), in.size());
  return r != 0;
}

std::string hex(const Bytes& b);

}  // namespace wire

#endif
