// Digest throughput: every digest type on one 256 MiB buffer, fed in 4 MiB
// pieces as a transfer feeds it, beside the same bytes through libcrypto's
// EVP (zlib's crc32 and adler32 for those two), the ratio's baseline, and
// for information the system tools (sha256sum, md5sum, ...) on a file
// holding them from the page cache. Prints MB/s (10^6 bytes per second);
// the best of three runs each.
//
//     build/bench/bench_digest [MiB]
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <openssl/evp.h>
#include <zlib.h>

#include <chrono>
#include <random>
#include <string>
#include <vector>

#include "quor_hash.h"

namespace {

using Clock = std::chrono::steady_clock;

double seconds(Clock::time_point a, Clock::time_point b) {
  return std::chrono::duration<double>(b - a).count();
}

template <typename F>
double best(F run) {
  double t = 1e30;
  for (int i = 0; i < 3; i++) {
    auto a = Clock::now();
    run();
    t = std::min(t, seconds(a, Clock::now()));
  }
  return t;
}

struct Row {
  quor_hash_type_t type;
  const char* name;
  const char* evp;   // EVP digest name, or null
  const char* tool;  // system tool, or null
  uLong (*zlib)(uLong, const Bytef*, uInt);  // zlib's checksum, or null
};

const Row kRows[] = {
    {QUOR_HASH_SHA1, "sha1", "SHA1", "sha1sum", nullptr},
    {QUOR_HASH_SHA224, "sha224", "SHA224", "sha224sum", nullptr},
    {QUOR_HASH_SHA256, "sha256", "SHA256", "sha256sum", nullptr},
    {QUOR_HASH_SHA384, "sha384", "SHA384", "sha384sum", nullptr},
    {QUOR_HASH_SHA512, "sha512", "SHA512", "sha512sum", nullptr},
    {QUOR_HASH_MD5, "md5", "MD5", "md5sum", nullptr},
    {QUOR_HASH_CRC32, "crc32", nullptr, nullptr, crc32},
    {QUOR_HASH_ADLER32, "adler32", nullptr, nullptr, adler32},
    {QUOR_HASH_ECMA319, "ecma319", nullptr, nullptr, nullptr},
};

}  // namespace

int main(int argc, char** argv) {
  size_t mib = argc > 1 ? size_t(atol(argv[1])) : 256;
  if (mib == 0) mib = 256;
  size_t size = mib << 20;
  std::vector<unsigned char> buf(size);
  std::mt19937_64 rng(42);
  for (size_t i = 0; i + 8 <= size; i += 8) {
    uint64_t v = rng();
    memcpy(&buf[i], &v, 8);
  }

  // The same bytes in a file, read once so that the tools find them cached.
  const char* tmpdir = getenv("TMPDIR") ? getenv("TMPDIR") : "/tmp";
  std::string path = std::string(tmpdir) + "/bench_digest." + std::to_string(getpid());
  bool haveFile = false;
  if (FILE* f = fopen(path.c_str(), "wb")) {
    haveFile = fwrite(buf.data(), 1, size, f) == size;
    haveFile = (fclose(f) == 0) && haveFile;
    if (haveFile) haveFile = system(("cat '" + path + "' > /dev/null").c_str()) == 0;
  }

  printf("digest throughput on %zu MiB, MB/s (best of 3)\n", mib);
  printf("%-8s %10s %10s %10s %8s\n", "type", "quor_Hash", "EVP/zlib", "tool", "ratio");
  const size_t piece = 4u << 20;
  for (const Row& r : kRows) {
    double tq = best([&] {
      quor_hash_t h = quor_HashCreate(r.type);
      for (size_t at = 0; at < size; at += piece)
        quor_HashAppendBuf(h, buf.data() + at, uint32_t(std::min(piece, size - at)));
      unsigned char md[64];
      quor_HashFinishDigest(h, md, sizeof md);
      quor_HashDelete(h);
    });
    double te = 0, tt = 0;
    if (r.evp) {
      EVP_MD* md = EVP_MD_fetch(nullptr, r.evp, nullptr);
      te = best([&] {
        unsigned char out[EVP_MAX_MD_SIZE];
        unsigned int n = 0;
        EVP_Digest(buf.data(), size, out, &n, md, nullptr);
      });
      EVP_MD_free(md);
    } else if (r.zlib) {
      te = best([&] {
        uLong z = r.zlib(0L, Z_NULL, 0);
        for (size_t at = 0; at < size; at += 1u << 30)
          z = r.zlib(z, buf.data() + at, uInt(std::min<size_t>(size - at, 1u << 30)));
        volatile uLong keep = z;
        (void)keep;
      });
    }
    if (r.tool && haveFile) {
      std::string cmd = std::string(r.tool) + " '" + path + "' > /dev/null";
      tt = best([&] {
        if (system(cmd.c_str()) != 0) tt = -1;
      });
    }
    double mb = double(size) / 1e6;
    printf("%-8s %10.0f", r.name, mb / tq);
    te > 0 ? printf(" %10.0f", mb / te) : printf(" %10s", "-");
    tt > 0 ? printf(" %10.0f", mb / tt) : printf(" %10s", "-");
    te > 0 ? printf(" %7.2fx\n", te / tq) : printf(" %8s\n", "-");
  }
  printf("ratio: EVP (or zlib) time / quor_Hash time on the same bytes (above 1: the library is faster)\n");
  if (haveFile) unlink(path.c_str());
  return 0;
}
