// A few helper threads kept for the process, and the chunked loop that
// shares work with them.
#include "brix_parallel.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

namespace {

struct parallelJob {
  const std::function<void(size_t, size_t)>* fn;
  size_t n;
  size_t grain;
  std::atomic<size_t> next{0};
  std::atomic<size_t> done{0};
};

// The helpers live as long as the process and may still wait on these at
// exit, so they are never destroyed.
struct helperPool {
  std::mutex lock;
  std::condition_variable wake;
  std::condition_variable left;
  parallelJob* current = nullptr;
  unsigned long generation = 0;
  int inJob = 0;
  bool started = false;
  int helperCount = 0;
};
helperPool& pool = *new helperPool;

// Claims and runs chunks until none is left.
void runChunks(parallelJob& job) {
  for (;;) {
    size_t from = job.next.fetch_add(job.grain);
    if (from >= job.n) return;
    size_t to = std::min(job.n, from + job.grain);
    (*job.fn)(from, to);
    job.done.fetch_add(to - from);
  }
}

void helper() {
  unsigned long seen = 0;
  std::unique_lock<std::mutex> g(pool.lock);
  for (;;) {
    pool.wake.wait(g, [&] { return pool.current && pool.generation != seen; });
    seen = pool.generation;
    parallelJob* job = pool.current;
    pool.inJob++;
    g.unlock();
    runChunks(*job);
    g.lock();
    if (--pool.inJob == 0) pool.left.notify_all();
  }
}

void startHelpers() {
  pool.started = true;
  unsigned hw = std::thread::hardware_concurrency();
  int want = std::min(7, int(hw > 1 ? hw - 1 : 0));
  for (int i = 0; i < want; i++) {
    try {
      std::thread(helper).detach();
      pool.helperCount++;
    } catch (const std::system_error&) {
      break;
    }
  }
}

}  // namespace

void brix_ParallelFor(size_t n, size_t grain, const std::function<void(size_t, size_t)>& fn) {
  if (grain == 0) grain = 1;
  {
    std::lock_guard<std::mutex> g(pool.lock);
    if (!pool.started) startHelpers();
  }
  if (pool.helperCount == 0 || n <= grain) {
    fn(0, n);
    return;
  }
  parallelJob job;
  job.fn = &fn;
  job.n = n;
  job.grain = grain;
  {
    std::lock_guard<std::mutex> g(pool.lock);
    pool.current = &job;
    pool.generation++;
  }
  pool.wake.notify_all();
  runChunks(job);
  // Chunks others took may still be running; helpers that have not joined
  // yet are kept out, and those inside are waited for.
  std::unique_lock<std::mutex> g(pool.lock);
  pool.current = nullptr;
  pool.left.wait(g, [&] { return pool.inJob == 0; });
}
