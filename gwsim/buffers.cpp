// Data buffers kept across transfers; see buffers.h.
#include "buffers.h"

#include <stdlib.h>

#include <mutex>
#include <vector>

namespace {

// Enough for every mover and worker of a busy run; more are freed.
constexpr size_t kKeep = 64;

struct Pool {
  std::mutex lock;
  std::vector<char*> free;
};

// Never destroyed: detached mover threads may still give buffers back at exit.
Pool& pool() {
  static Pool* p = new Pool;
  return *p;
}

}  // namespace

gw_Buffer::gw_Buffer() : p(nullptr) {
  {
    Pool& pl = pool();
    std::lock_guard<std::mutex> g(pl.lock);
    if (!pl.free.empty()) {
      p = pl.free.back();
      pl.free.pop_back();
      return;
    }
  }
  p = static_cast<char*>(malloc(kGwBufferSize));
}

gw_Buffer::~gw_Buffer() {
  if (!p) return;
  {
    Pool& pl = pool();
    std::lock_guard<std::mutex> g(pl.lock);
    if (pl.free.size() < kKeep) {
      pl.free.push_back(p);
      return;
    }
  }
  free(p);
}
