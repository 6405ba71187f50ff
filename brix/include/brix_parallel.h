// Parallel loops over many small, independent system calls (the status of a
// large directory's entries).
//
// brix_ParallelFor(n, grain, fn) calls fn(from, to) over [0, n) in chunks of
// grain, on the calling thread and on a few helper threads kept for the
// process. Chunks are claimed one at a time, so a helper the system is slow
// to run holds up at most the chunk it took; the call returns once every
// chunk is done. fn must not call brix_ParallelFor itself.
#ifndef BRIX_BRIX_PARALLEL_H
#define BRIX_BRIX_PARALLEL_H

#include <stddef.h>

#include <functional>

void brix_ParallelFor(size_t n, size_t grain, const std::function<void(size_t, size_t)>& fn);

#endif
