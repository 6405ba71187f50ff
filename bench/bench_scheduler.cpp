// The stage scheduler's queue: 100,000 files over 200 tape volumes, given
// in a scattered order with their attributes, added and then sorted. Prints
// the time of each step, per file, and the heap the queue holds.
//
//     build/bench/bench_scheduler [files] [volumes]
#include <malloc.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <chrono>
#include <random>
#include <string>
#include <vector>

#include "quor_sched_internal.h"
#include "quor_scheduler.h"

namespace {

using Clock = std::chrono::steady_clock;

double ms(Clock::time_point a, Clock::time_point b) {
  return std::chrono::duration<double, std::milli>(b - a).count();
}

}  // namespace

int main(int argc, char** argv) {
  int files = argc > 1 ? atoi(argv[1]) : 100000;
  int volumes = argc > 2 ? atoi(argv[2]) : 200;
  if (files <= 0 || volumes <= 0) return 2;
  // The scheduler starts its thread on the library's local address; no
  // gateway is contacted.
  setenv("QUOR_SERVER_HOST", "127.0.0.1/9", 1);
  if (!getenv("QUOR_HOSTNAME")) setenv("QUOR_HOSTNAME", "localhost", 1);
  if (quorex_SchedInitQueue(0) != 0) {
    fprintf(stderr, "scheduler did not start\n");
    return 1;
  }

  // One attribute record per volume, as a caller reuses the record it
  // fetches each file's attributes into; the files' volumes and positions
  // are drawn in advance.
  std::mt19937 rng(7);
  std::vector<quor_xfileattr_t> vols(static_cast<size_t>(volumes));
  for (int v = 0; v < volumes; v++) {
    quor_xfileattr_t& a = vols[size_t(v)];
    memset(&a, 0, sizeof a);
    a.Attrs.Type = 129;
    a.Attrs.DataLength = 1 << 20;
    bf_sc_attrib_t& l = a.SCAttrib[1];
    l.Flags = 0x2 | 0x4;
    l.BytesAtLevel = 1 << 20;
    l.NumberOfVVs = 1;
    char vol[20];
    snprintf(vol, sizeof vol, "VOL%05d", v);
    memcpy(l.VVAttrib[0].VVID.Bytes, vol, strlen(vol));
  }
  struct Pick {
    int vol;
    int32_t pos;
    uint64_t off;
  };
  std::vector<std::string> paths(static_cast<size_t>(files));
  std::vector<Pick> picks(static_cast<size_t>(files));
  for (int i = 0; i < files; i++) {
    paths[size_t(i)] = "/archive/project/run" + std::to_string(i % 977) + "/file" + std::to_string(i);
    picks[size_t(i)] = {int(rng() % unsigned(volumes)), int32_t(rng() % 100000), rng() % 1000000};
  }

  size_t heapBefore = mallinfo2().uordblks;
  auto t0 = Clock::now();
  for (int i = 0; i < files; i++) {
    const Pick& p = picks[size_t(i)];
    quor_xfileattr_t& a = vols[size_t(p.vol)];
    a.SCAttrib[1].VVAttrib[0].RelPosition = p.pos;
    a.SCAttrib[1].VVAttrib[0].RelPositionOffset = p.off;
    if (quorex_SchedAddFile(paths[size_t(i)].c_str(), &a, nullptr, nullptr, nullptr, nullptr) != 0) {
      fprintf(stderr, "add failed at %d\n", i);
      return 1;
    }
  }
  auto t1 = Clock::now();
  quorex_SchedSortQueue();
  auto t2 = Clock::now();
  size_t heapAfter = mallinfo2().uordblks;
  sched_stats_t st;
  sched_GetStats(&st);

  printf("stage scheduler queue: %d files over %d volumes (%d queued)\n", files, st.volumes, st.files);
  printf("  add   %9.1f ms  %7.2f us/file\n", ms(t0, t1), 1000 * ms(t0, t1) / files);
  printf("  sort  %9.1f ms  %7.2f us/file\n", ms(t1, t2), 1000 * ms(t1, t2) / files);
  printf("  heap held by the queue: %.1f MiB (%.0f bytes/file)\n",
         double(heapAfter - heapBefore) / (1 << 20), double(heapAfter - heapBefore) / files);
  quorex_SchedFreeQueue();
  printf("  heap after freeing: %+.1f KiB\n", (double(mallinfo2().uordblks) - double(heapBefore)) / 1024);
  return 0;
}
