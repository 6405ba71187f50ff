// Wildcard expansion of the shell over a storage directory of 100,000
// entries on the simulator, beside a bare ReadAttrs listing of the same
// directory in the same run: time per whole expansion, the ratio to the
// bare listing, and the client's memory (the name vector, one name per
// match, is the expansion's own cost above the listing's one buffer).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <malloc.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "gwsim_config.h"
#include "gwsim_fixture.h"
#include "ozu_context.h"
#include "ozu_glob.h"
#include "ozurc.h"
#include "ozuvars.h"
#include "quor_api.h"
#include "quor_api_internal.h"

namespace {

constexpr int kBigDir = 100000;

std::unique_ptr<GwsimFixture> gw;
ozu_context_t ctx;
double bareSeconds = 0;  // one bare listing, measured first

long peakRssKb()
{
  struct rusage ru;
  getrusage(RUSAGE_SELF, &ru);
  return ru.ru_maxrss;
}

double now()
{
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

void startGateway()
{
  if (gw)
    return;
  GwsimConfig cfg;
  cfg.user("alice", "wonderland").set("Uid", 1001);
  gw = std::make_unique<GwsimFixture>(cfg.text());
  if (!gw->running()) {
    fprintf(stderr, "gwsim did not start: %s\n", gw->stderrText().c_str());
    exit(1);
  }
  std::string big = gw->rootDir() + "/big";
  mkdir(big.c_str(), 0755);
  for (int i = 0; i < kBigDir; i++) {
    char name[32];
    snprintf(name, sizeof name, "/entry%06d", i);
    int fd = open((big + name).c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    if (fd >= 0)
      close(fd);
  }
  std::string server = "127.0.0.1/" + std::to_string(gw->port());
  setenv("QUOR_SERVER_HOST", server.c_str(), 1);
  setenv("QUOR_HOSTNAME", "localhost", 1);
  setenv("QUOR_CFG_FILE_PATH", gw->dir().c_str(), 1);
  quor_SetCombo("alice", "wonderland");
  qelapi_tcontext_t *ts = nullptr;
  if (qelapi_init(&ts) != 0)
    exit(1);
  // The shell's state for its one connection.
  errFile = fopen("/dev/null", "w");
  listF = ttyOut = errFile;
  memset(&ctx, 0, sizeof ctx);
  ctx.handle = quorex_GetCurConHandle();
  ctx.wd[0] = strdup("/big");
  ctx.relflag[0] = 1;
  ozu_connectList = &ctx;
  sesskeyset.curContext = &ctx;
  keyset = &sesskeyset;
  globalDefs.maxReaddirEntries = 4000;
  ozu_GlobAllocate();
}

int64_t bareListing()
{
  std::vector<ns_DirEntry_t> buf(size_t(globalDefs.maxReaddirEntries));
  int d = quor_Opendir("/big");
  if (d < 0)
    return -1;
  uint64_t off = 0, next = 0;
  uint32_t end = 0;
  int64_t entries = 0;
  while (!end) {
    int n = quor_ReadAttrs(d, off, uint32_t(buf.size() * sizeof buf[0]), 1, &end, &next,
                           buf.data());
    if (n < 0)
      return -1;
    entries += n;
    off = next;
  }
  quor_Closedir(d);
  return entries;
}

void BM_BareReadAttrs100k(benchmark::State &state)
{
  startGateway();
  int64_t entries = 0;
  double total = 0;
  for (auto _ : state) {
    double t0 = now();
    int64_t n = bareListing();
    total += now() - t0;
    if (n < 0) {
      state.SkipWithError("listing failed");
      break;
    }
    entries += n;
  }
  if (state.iterations() > 0)
    bareSeconds = total / double(state.iterations());
  state.SetItemsProcessed(entries);
  state.counters["entries_per_listing"] =
      state.iterations() ? double(entries) / double(state.iterations()) : 0;
}
BENCHMARK(BM_BareReadAttrs100k)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();

// One whole expansion, sorted and released, per iteration.
void globBench(benchmark::State &state, const char *pattern)
{
  startGateway();
  if (bareSeconds == 0) {
    double t0 = now();
    bareListing();
    bareSeconds = now() - t0;
  }
  size_t heapBefore = mallinfo2().uordblks;
  size_t heapPeak = heapBefore;
  long rssBefore = peakRssKb();
  int64_t names = 0;
  double total = 0;
  for (auto _ : state) {
    double t0 = now();
    ozu_GlobInit();
    ozu_Glob(pattern, 0, 1);
    globSort();
    names += globInx;
    heapPeak = std::max(heapPeak, mallinfo2().uordblks);
    ozu_GlobCleanup();
    total += now() - t0;
  }
  double per = state.iterations() ? total / double(state.iterations()) : 0;
  state.SetItemsProcessed(names);
  state.counters["names"] = state.iterations() ? double(names) / double(state.iterations()) : 0;
  state.counters["bare_listing_ms"] = bareSeconds * 1000;
  state.counters["ratio_to_bare_listing"] = bareSeconds > 0 ? per / bareSeconds : 0;
  state.counters["heap_peak_growth_kb"] = double(heapPeak - heapBefore) / 1024.0;
  state.counters["name_vector_kb"] = double(maxGlobCount) * sizeof(globstruct_t) / 1024.0;
  state.counters["client_peak_rss_kb"] = double(peakRssKb());
  state.counters["client_peak_growth_kb"] = double(peakRssKb() - rssBefore);
}

void BM_GlobAll100k(benchmark::State &state) { globBench(state, "/big/*"); }
BENCHMARK(BM_GlobAll100k)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();

void BM_GlobTenth100k(benchmark::State &state) { globBench(state, "/big/entry?1*"); }
BENCHMARK(BM_GlobTenth100k)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();

void BM_GlobOne100k(benchmark::State &state) { globBench(state, "entry09999[0-9]"); }
BENCHMARK(BM_GlobOne100k)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();

}  // namespace

int main(int argc, char **argv)
{
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  gw.reset();
  return 0;
}
