#include "codecs.h"

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "fuzz_support.h"
#include "msg_files.h"
#include "msg_lfx.h"
#include "msg_namespace.h"

namespace {

// ---- records that decode into the caller's memory ----

template <typename R>
void prep_stat(void* p) {
  static_cast<R*>(p)->StatBuf = static_cast<quor_stat_t*>(calloc(1, sizeof(quor_stat_t)));
}
template <typename R>
void unprep_stat(void* p) {
  free(static_cast<R*>(p)->StatBuf);
}

const unsigned kDirents = 8;

void prep_readattrs(void* p) {
  auto* r = static_cast<api_quor_ReadAttrs_rply_t*>(p);
  r->Dirent = static_cast<ns_DirEntry_t*>(calloc(kDirents, sizeof(ns_DirEntry_t)));
  r->DirentCapacity = kDirents;
}
void unprep_readattrs(void* p) {
  auto* r = static_cast<api_quor_ReadAttrs_rply_t*>(p);
  // The entries' own parts went with the release; the array is the caller's.
  free(r->Dirent);
}

struct fuzz_prep {
  const char* name;
  void (*prep)(void*);
  void (*unprep)(void*);
};

const fuzz_prep kPreps[] = {
    {"qel_xdr_api_quor_Stat_rply_t", prep_stat<api_quor_Stat_rply_t>,
     unprep_stat<api_quor_Stat_rply_t>},
    {"qel_xdr_api_quor_Lstat_rply_t", prep_stat<api_quor_Lstat_rply_t>,
     unprep_stat<api_quor_Lstat_rply_t>},
    {"qel_xdr_api_quor_Fstat_rply_t", prep_stat<api_quor_Fstat_rply_t>,
     unprep_stat<api_quor_Fstat_rply_t>},
    {"qel_xdr_api_quor_ReadAttrs_rply_t", prep_readattrs, unprep_readattrs},
};

// Records whose decoding may give what encoding refuses: an empty volume
// list decodes to a null PVList, and a null PVList does not encode.
const char* const kMayNotEncode[] = {
    "qel_xdr_bf_vv_attrib_t",
    "qel_xdr_bf_sc_attrib_t",
    "qel_xdr_quor_xfileattr_t",
    "qel_xdr_api_quor_FileGetXAttributes_rply_t",
};

bool may_not_encode(const fuzz_codec& c) {
  for (const char* n : kMayNotEncode)
    if (strcmp(n, c.name) == 0) return true;
  return false;
}

const fuzz_prep* prep_of(const fuzz_codec& c) {
  for (const fuzz_prep& p : kPreps)
    if (strcmp(p.name, c.name) == 0) return &p;
  return nullptr;
}

// A record of one codec, set up as its caller would and released whole.
class Record {
 public:
  explicit Record(const fuzz_codec& c) : c_(c), prep_(prep_of(c)) {
    // Room for the largest alignment any record needs.
    mem_ = static_cast<char*>(aligned_alloc(64, (c.size + 63) / 64 * 64));
    FUZZ_CHECK(mem_ != nullptr);
    memset(mem_, 0, c.size);
    if (prep_) prep_->prep(mem_);
  }
  ~Record() {
    xdr_free(c_.codec, mem_);
    if (prep_) prep_->unprep(mem_);
    free(mem_);
  }
  Record(const Record&) = delete;
  Record& operator=(const Record&) = delete;

  // Decodes bytes; true when the codec accepted them, *used the bytes taken.
  bool decode(const uint8_t* data, size_t size, size_t* used) {
    std::vector<char> copy(data, data + size);  // xdrmem wants it writable
    XDR x;
    xdrmem_create(&x, copy.data(), u_int(size), XDR_DECODE);
    bool ok = c_.codec(&x, mem_, 0) != 0;
    *used = xdr_getpos(&x);
    xdr_destroy(&x);
    return ok;
  }

  // The record's encoding; false when the codec refused it.
  bool encode(std::vector<char>* out) {
    unsigned long n = xdr_sizeof(c_.codec, mem_);
    if (n == 0) {
      out->clear();
      // An empty record still has to encode.
      XDR x;
      char none[1];
      xdrmem_create(&x, none, 0, XDR_ENCODE);
      bool ok = c_.codec(&x, mem_, 0) != 0;
      xdr_destroy(&x);
      return ok;
    }
    out->assign(n, 0);
    XDR x;
    xdrmem_create(&x, out->data(), u_int(n), XDR_ENCODE);
    bool ok = c_.codec(&x, mem_, 0) != 0;
    u_int used = xdr_getpos(&x);
    xdr_destroy(&x);
    out->resize(used);
    return ok;
  }

 private:
  const fuzz_codec& c_;
  const fuzz_prep* prep_;
  char* mem_ = nullptr;
};

// A failed check names the codec first.
#define CODEC_CHECK(cond)                                                      \
  do {                                                                         \
    if (!(cond))                                                               \
      fuzz_fail(__FILE__, __LINE__,                                            \
                (std::string(#cond) + " (codec " + c.name + ")").c_str());     \
  } while (0)

void run_codec(const fuzz_codec& c, const uint8_t* data, size_t size) {
  std::vector<char> first, second;
  {
    Record r(c);
    size_t used = 0;
    if (!r.decode(data, size, &used)) return;
    CODEC_CHECK(used <= size);
    // What was accepted from the wire must travel back the same way.
    if (!r.encode(&first)) {
      CODEC_CHECK(may_not_encode(c));
      return;
    }
  }
  Record r(c);
  size_t used = 0;
  CODEC_CHECK(r.decode(reinterpret_cast<const uint8_t*>(first.data()), first.size(), &used));
  CODEC_CHECK(used == first.size());
  CODEC_CHECK(r.encode(&second));
  CODEC_CHECK(first == second);
}

// Writes data as a seed of every codec that decodes all of it.
void write_seeds(const char* dir, const uint8_t* data, size_t size) {
  for (size_t i = 0; i < fuzz_codec_count && i < 256; i++) {
    Record r(fuzz_codec_table[i]);
    size_t used = 0;
    if (!r.decode(data, size, &used) || used != size) continue;
    char name[64];
    uint64_t h = 1469598103934665603ull;  // FNV-1a names the content
    for (size_t k = 0; k < size; k++) h = (h ^ data[k]) * 1099511628211ull;
    snprintf(name, sizeof name, "/%03zu-%016llx", i, static_cast<unsigned long long>(h));
    std::string path = std::string(dir) + name;
    FILE* f = fopen(path.c_str(), "wb");
    FUZZ_CHECK(f != nullptr);
    uint8_t sel = uint8_t(i);
    FUZZ_CHECK(fwrite(&sel, 1, 1, f) == 1);
    FUZZ_CHECK(size == 0 || fwrite(data, 1, size, f) == size);
    FUZZ_CHECK(fclose(f) == 0);
  }
}

const char* seed_out = nullptr;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  seed_out = getenv("OZU_FUZZ_SEED_OUT");
  // Decoded addresses follow the family policy; this one takes both.
  setenv("QUOR_NET_FAMILY", "ipv6", 1);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (seed_out != nullptr) {
    write_seeds(seed_out, data, size);
    return 0;
  }
  if (size == 0 || fuzz_codec_count == 0) return 0;
  run_codec(fuzz_codec_table[data[0] % fuzz_codec_count], data + 1, size - 1);
  return 0;
}
