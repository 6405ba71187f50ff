// CRC-32 of member data, in GB/s, beside zlib's crc32 on the same bytes.
#include <stdio.h>
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <random>
#include <vector>

#include "brix_index.h"

namespace {

template <typename F>
double seconds(F f) {
  auto t0 = std::chrono::steady_clock::now();
  f();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

}  // namespace

int main() {
  std::vector<unsigned char> data(256u << 20);
  std::mt19937_64 rng(1);
  for (size_t i = 0; i < data.size(); i += 8) {
    uint64_t v = rng();
    for (int k = 0; k < 8; k++) data[i + size_t(k)] = static_cast<unsigned char>(v >> (8 * k));
  }
  uint32_t crc = 0;
  double best = 1e9;
  for (int round = 0; round < 5; round++) {
    double t = seconds([&] {
      brix_ChecksumInit(&crc);
      brix_ChecksumBuffer(data.data(), data.size(), &crc);
      brix_ChecksumFinalize(&crc);
    });
    if (t < best) best = t;
  }
  uint32_t ref = 0;
  double tz = 1e9;
  for (int round = 0; round < 5; round++) {
    double t = seconds([&] {
      uLong z = crc32(0L, Z_NULL, 0);
      for (size_t at = 0; at < data.size(); at += 1u << 30)
        z = crc32(z, data.data() + at, uInt(std::min<size_t>(data.size() - at, 1u << 30)));
      ref = uint32_t(z);
    });
    if (t < tz) tz = t;
  }
  printf("crc32 %.2f GB/s over 256 MiB [crc %08x]; zlib crc32 %.2f GB/s; ratio %.2fx; %s\n",
         double(data.size()) / best / 1e9, crc, double(data.size()) / tz / 1e9, tz / best,
         crc == ref ? "results agree" : "RESULTS DIFFER");
  return crc == ref ? 0 : 1;
}
