// Decoding a 4,000-entry directory listing reply: time per entry and the
// memory a listing of that size needs, counting only what the decoder
// itself allocates (the heap before and after each decode). Beside it the
// bare loop: the same entries copied into the caller's array without
// decoding, the floor any decoder of this reply stands on.
#include <benchmark/benchmark.h>
#include <malloc.h>
#include <stdio.h>
#include <string.h>
#include <sys/resource.h>

#include <vector>

#include "msg_namespace.h"

namespace {

constexpr unsigned kEntries = 4000;

std::vector<char> encodedReply() {
  std::vector<ns_DirEntry_t> ents(kEntries);
  memset(ents.data(), 0, ents.size() * sizeof(ns_DirEntry_t));
  for (unsigned i = 0; i < kEntries; i++) {
    snprintf(ents[i].Name, sizeof ents[i].Name, "file-%06u.dat", i);
    snprintf(ents[i].Attrs.Comment, sizeof ents[i].Attrs.Comment, "comment %u", i);
    ents[i].Attrs.DataLength = 1000ull * i;
    ents[i].ObjOffset = i + 1;
  }
  api_quor_ReadAttrs_rply_t r{};
  r.entryCount = kEntries;
  r.OffsetOut = kEntries;
  r.Dirent = ents.data();
  r.DirentCapacity = kEntries;
  std::vector<char> buf(64u << 20);
  XDR x;
  xdrmem_create(&x, buf.data(), u_int(buf.size()), XDR_ENCODE);
  if (!qel_xdr_api_quor_ReadAttrs_rply_t(&x, &r)) abort();
  buf.resize(xdr_getpos(&x));
  xdr_destroy(&x);
  return buf;
}

void BM_DecodeReadAttrs4000(benchmark::State& state) {
  std::vector<char> wire = encodedReply();
  std::vector<ns_DirEntry_t> ents(kEntries);
  size_t decoderHeap = 0;
  for (auto _ : state) {
    api_quor_ReadAttrs_rply_t r{};
    r.Dirent = ents.data();
    r.DirentCapacity = kEntries;
    size_t before = mallinfo2().uordblks;
    XDR x;
    xdrmem_create(&x, wire.data(), u_int(wire.size()), XDR_DECODE);
    if (!qel_xdr_api_quor_ReadAttrs_rply_t(&x, &r)) {
      state.SkipWithError("decode failed");
      break;
    }
    xdr_destroy(&x);
    size_t after = mallinfo2().uordblks;
    benchmark::DoNotOptimize(r.entryCount);
    decoderHeap = std::max(decoderHeap, after > before ? after - before : 0);
  }
  state.SetItemsProcessed(int64_t(state.iterations()) * kEntries);
  state.counters["time_per_entry"] = benchmark::Counter(
      double(state.iterations()) * kEntries, benchmark::Counter::kIsRate | benchmark::Counter::kInvert,
      benchmark::Counter::kIs1000);
  state.counters["wire_bytes_per_entry"] = double(wire.size()) / kEntries;
  state.counters["mem_bytes_per_entry"] = double(sizeof(ns_DirEntry_t));
  state.counters["decoder_heap_bytes_per_entry"] = double(decoderHeap) / kEntries;
  struct rusage ru;
  getrusage(RUSAGE_SELF, &ru);
  state.counters["peak_rss_kib"] = double(ru.ru_maxrss);
}
BENCHMARK(BM_DecodeReadAttrs4000)->Unit(benchmark::kMicrosecond);

// The baseline: the entries copied, one by one, into the caller's array.
void BM_BareEntryLoop4000(benchmark::State& state) {
  std::vector<ns_DirEntry_t> src(kEntries), dst(kEntries);
  memset(src.data(), 0, src.size() * sizeof(ns_DirEntry_t));
  for (unsigned i = 0; i < kEntries; i++) snprintf(src[i].Name, sizeof src[i].Name, "file-%06u.dat", i);
  for (auto _ : state) {
    for (unsigned i = 0; i < kEntries; i++) dst[i] = src[i];
    benchmark::DoNotOptimize(dst.data());
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(int64_t(state.iterations()) * kEntries);
  state.counters["time_per_entry"] = benchmark::Counter(
      double(state.iterations()) * kEntries, benchmark::Counter::kIsRate | benchmark::Counter::kInvert,
      benchmark::Counter::kIs1000);
}
BENCHMARK(BM_BareEntryLoop4000)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
