// What the transfer benchmarks share, in one place so that every one of
// them measures the same baseline and runs and reads ozu the same way.
//
// benchTcpSeconds  size bytes over `streams` plain loopback TCP connections
//                  (size / streams each), every sender writing `block`
//                  bytes at a time from one buffer and every receiver
//                  reading into one buffer of that size and dropping the
//                  bytes: wall seconds from before the first connect to
//                  the last thread's end.
// benchMedian      the median of v (the upper one of an even count; 0 for
//                  none).
// benchOwnRate     the rate ozu reports for a get or put alone (the KBS of
//                  its transfer line, 1000 bytes) in MB/s; 0 without one.
// benchWrapped     the command line that runs the program at path: the
//                  words of OZU_BENCH_WRAP (split on blanks) when it is set,
//                  e.g. "perf record -g -o FILE", then path.
#ifndef BENCH_SUPPORT_BENCH_SUPPORT_H
#define BENCH_SUPPORT_BENCH_SUPPORT_H

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

double benchTcpSeconds(uint64_t size, int streams, size_t block);
double benchMedian(std::vector<double> v);
double benchOwnRate(const std::string &out);
std::vector<std::string> benchWrapped(const char *path);

#endif
