// What the transfer benchmarks set their figures against, in one place so
// that every one of them measures the same baseline.
//
// benchTcpSeconds  size bytes over `streams` plain loopback TCP connections
//                  (size / streams each), every sender writing `block`
//                  bytes at a time from one buffer and every receiver
//                  reading into one buffer of that size and dropping the
//                  bytes: wall seconds from before the first connect to
//                  the last thread's end.
// benchMedian      the median of v (the upper one of an even count; 0 for
//                  none).
#ifndef BENCH_SUPPORT_TCP_BASELINE_H
#define BENCH_SUPPORT_TCP_BASELINE_H

#include <stddef.h>
#include <stdint.h>

#include <vector>

double benchTcpSeconds(uint64_t size, int streams, size_t block);
double benchMedian(std::vector<double> v);

#endif
