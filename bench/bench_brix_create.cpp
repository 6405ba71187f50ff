// Creating local archives with brix beside GNU tar on the same tree, in the
// same run: 100,000 files of 1 KiB (goals: under half of tar's wall time,
// under 0.8 of its CPU time), and
// one 4 GiB file beside tar and cat (the page-cache limit).
//
//   bench_brix_create [files|big|all] [rounds]
//
// Trees and archives live in a temporary directory removed at the end; the
// big case needs about 8 GiB of free space there.
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "brix_session.h"
#include "timed_run.h"

namespace {

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

void makeSmallTree(const std::string& root) {
  std::string data(1024, 'x');
  for (int d = 0; d < 100; d++) {
    std::string dir = root + "/d" + std::to_string(d);
    mkdir(root.c_str(), 0755);
    mkdir(dir.c_str(), 0755);
    for (int f = 0; f < 1000; f++) {
      std::string p = dir + "/f" + std::to_string(f);
      int fd = open(p.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      if (fd < 0 || write(fd, data.data(), data.size()) != ssize_t(data.size())) {
        perror(p.c_str());
        exit(1);
      }
      close(fd);
    }
  }
}

void makeBigFile(const std::string& path, uint64_t size) {
  std::mt19937_64 rng(3);
  std::vector<uint64_t> buf((8u << 20) / 8);
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  for (uint64_t done = 0; done < size; done += buf.size() * 8) {
    for (auto& w : buf) w = rng();
    if (write(fd, buf.data(), buf.size() * 8) != ssize_t(buf.size() * 8)) {
      perror(path.c_str());
      exit(1);
    }
  }
  close(fd);
}

struct runner {
  BrixSession& s;
  std::vector<std::string> env;
  TimedRun tar(const std::string& out, const std::string& what) {
    return timedRun({"tar", "-cf", out, what}, {}, s.work);
  }
  TimedRun brix(const std::string& out, const std::string& what) {
    return timedRun({BrixSession::program(), "-c", "-E", "-f", out, what}, env, s.work);
  }
  TimedRun cat(const std::string& out, const std::string& what) {
    return timedRun({"cat", what}, {}, s.work, out);
  }
};

void check(const TimedRun& r, const char* what) {
  if (r.status != 0) {
    fprintf(stderr, "%s failed with status %d\n", what, r.status);
    exit(1);
  }
}

}  // namespace

int main(int argc, char** argv) {
  std::string which = argc > 1 ? argv[1] : "all";
  int rounds = argc > 2 ? atoi(argv[2]) : 5;
  BrixSession s;
  if (!s.ready()) {
    fprintf(stderr, "gwsim did not start\n");
    return 1;
  }
  runner r{s, s.environment()};
  std::string out = s.work + "/out.tar";

  if (which == "files" || which == "all") {
    printf("creating 100,000 files of 1 KiB...\n");
    fflush(stdout);
    makeSmallTree(s.work + "/tree");
    check(r.tar(out, "tree"), "tar");  // warm the caches
    check(r.brix(out, "tree"), "brix");
    std::vector<double> tarT, brixT, tarC, brixC;
    for (int i = 0; i < rounds; i++) {
      TimedRun a = r.tar(out, "tree");
      check(a, "tar");
      TimedRun b = r.brix(out, "tree");
      check(b, "brix");
      tarT.push_back(a.seconds);
      brixT.push_back(b.seconds);
      tarC.push_back(a.cpuSeconds);
      brixC.push_back(b.cpuSeconds);
    }
    double t = median(tarT), b = median(brixT), tc = median(tarC), bc = median(brixC);
    printf("create 100000 x 1 KiB: tar -cf %.3f s (CPU %.3f s), brix -c -E %.3f s (CPU %.3f s) (medians of %d); "
           "brix/tar wall %.2f (goal < 0.50), CPU %.2f (goal < 0.80)\n",
           t, tc, b, bc, rounds, b / t, bc / tc);
    fflush(stdout);
  }
  if (which == "big" || which == "all") {
    const uint64_t size = 4ull << 30;
    printf("writing one 4 GiB file...\n");
    fflush(stdout);
    std::string big = s.work + "/big.bin";
    makeBigFile(big, size);
    check(r.cat(out, "big.bin"), "cat");  // warm
    std::vector<double> catT, tarT, brixT, tarC, brixC;
    int bigRounds = std::max(1, rounds / 2);
    for (int i = 0; i < bigRounds; i++) {
      TimedRun c = r.cat(out, "big.bin");
      check(c, "cat");
      TimedRun a = r.tar(out, "big.bin");
      check(a, "tar");
      TimedRun b = r.brix(out, "big.bin");
      check(b, "brix");
      catT.push_back(c.seconds);
      tarT.push_back(a.seconds);
      brixT.push_back(b.seconds);
      tarC.push_back(a.cpuSeconds);
      brixC.push_back(b.cpuSeconds);
    }
    double c = median(catT), t = median(tarT), b = median(brixT);
    double gb = double(size) / 1e9;
    printf("create 1 x 4 GiB: cat %.3f s (%.2f GB/s), tar -cf %.3f s (%.2f GB/s, CPU %.3f s), brix -c -E %.3f s "
           "(%.2f GB/s, CPU %.3f s); brix/cat %.2f, brix/tar %.2f\n",
           c, gb / c, t, gb / t, median(tarC), b, gb / b, median(brixC), b / c, b / t);
    unlink(big.c_str());
  }
  unlink(out.c_str());
  return 0;
}
