// Namespace calls against the simulator on loopback: stat calls per second
// on one connection with 1 and 8 threads, and a whole listing of a
// directory of 100,000 entries through ReadAttrs, with its time and the
// client's peak memory (the design bounds it by one caller buffer of
// entries, whatever the directory's size).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "gwsim_config.h"
#include "gwsim_fixture.h"
#include "quor_api.h"
#include "quor_api_internal.h"

namespace {

constexpr int kBigDir = 100000;
constexpr uint32_t kBatch = 4000;  // the shell's default entries per request

std::unique_ptr<GwsimFixture> gw;

long peakRssKb() {
  struct rusage ru;
  getrusage(RUSAGE_SELF, &ru);
  return ru.ru_maxrss;
}

void startGateway() {
  if (gw) return;
  GwsimConfig cfg;
  cfg.user("alice", "wonderland").set("Uid", 1001);
  cfg.file("/data/file").set("Data", "hello");
  gw = std::make_unique<GwsimFixture>(cfg.text());
  if (!gw->running()) {
    fprintf(stderr, "gwsim did not start: %s\n", gw->stderrText().c_str());
    exit(1);
  }
  // The big directory is made on the host side: entries without rows in
  // the database, as most of a real namespace would be.
  std::string big = gw->rootDir() + "/big";
  mkdir(big.c_str(), 0755);
  for (int i = 0; i < kBigDir; i++) {
    char name[32];
    snprintf(name, sizeof name, "/entry%06d", i);
    int fd = open((big + name).c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    if (fd >= 0) close(fd);
  }
  std::string server = "127.0.0.1/" + std::to_string(gw->port());
  setenv("QUOR_SERVER_HOST", server.c_str(), 1);
  setenv("QUOR_HOSTNAME", "localhost", 1);
  setenv("QUOR_CFG_FILE_PATH", gw->dir().c_str(), 1);
  quor_SetCombo("alice", "wonderland");
  qelapi_tcontext_t* ts = nullptr;
  if (qelapi_init(&ts) != 0) exit(1);
}

void BM_Stat(benchmark::State& state) {
  if (state.thread_index() == 0) startGateway();
  for (auto _ : state) {
    quor_stat_t st;
    if (quor_Stat("/data/file", &st) != 0) {
      state.SkipWithError("stat failed");
      break;
    }
  }
  state.SetItemsProcessed(int64_t(state.iterations()));
}
BENCHMARK(BM_Stat)->Threads(1)->Threads(8)->UseRealTime();

// One whole listing with attributes per iteration.
void BM_ReadAttrs100k(benchmark::State& state) {
  startGateway();
  std::vector<ns_DirEntry_t> buf(kBatch);
  long rssBefore = peakRssKb();
  int64_t entries = 0;
  for (auto _ : state) {
    int d = quor_Opendir("/big");
    if (d < 0) {
      state.SkipWithError("opendir failed");
      break;
    }
    uint64_t off = 0, next = 0;
    uint32_t end = 0;
    while (!end) {
      int n =
          quor_ReadAttrs(d, off, uint32_t(buf.size() * sizeof buf[0]), 1, &end, &next, buf.data());
      if (n < 0) {
        state.SkipWithError("readattrs failed");
        break;
      }
      entries += n;
      off = next;
    }
    quor_Closedir(d);
  }
  state.SetItemsProcessed(entries);
  state.counters["entries_per_listing"] =
      state.iterations() ? double(entries) / double(state.iterations()) : 0;
  state.counters["buffer_kb"] = double(buf.size() * sizeof buf[0]) / 1024.0;
  state.counters["client_peak_rss_kb"] = double(peakRssKb());
  state.counters["client_peak_growth_kb"] = double(peakRssKb() - rssBefore);
}
BENCHMARK(BM_ReadAttrs100k)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  gw.reset();
  return 0;
}
