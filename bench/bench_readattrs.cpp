// Decoding a 4,000-entry directory listing reply: time per entry and the
// memory a listing of that size needs.
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
  size_t heapBefore = mallinfo2().uordblks;
  std::vector<ns_DirEntry_t> ents(kEntries);
  size_t heapPeak = 0;
  for (auto _ : state) {
    api_quor_ReadAttrs_rply_t r{};
    r.Dirent = ents.data();
    r.DirentCapacity = kEntries;
    XDR x;
    xdrmem_create(&x, wire.data(), u_int(wire.size()), XDR_DECODE);
    if (!qel_xdr_api_quor_ReadAttrs_rply_t(&x, &r)) {
      state.SkipWithError("decode failed");
      break;
    }
    xdr_destroy(&x);
    benchmark::DoNotOptimize(r.entryCount);
    heapPeak = std::max(heapPeak, mallinfo2().uordblks);
  }
  state.SetItemsProcessed(int64_t(state.iterations()) * kEntries);
  state.counters["time_per_entry"] = benchmark::Counter(
      double(state.iterations()) * kEntries, benchmark::Counter::kIsRate | benchmark::Counter::kInvert,
      benchmark::Counter::kIs1000);
  state.counters["wire_bytes_per_entry"] = double(wire.size()) / kEntries;
  state.counters["mem_bytes_per_entry"] = double(sizeof(ns_DirEntry_t));
  state.counters["heap_growth_bytes_per_entry"] =
      double(heapPeak > heapBefore ? heapPeak - heapBefore : 0) / kEntries;
  struct rusage ru;
  getrusage(RUSAGE_SELF, &ru);
  state.counters["peak_rss_kib"] = double(ru.ru_maxrss);
}
BENCHMARK(BM_DecodeReadAttrs4000)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
