// ozu's cp between two connections, each on its own gwsim, against plain
// loopback TCP in the same run: the server method (the source gateway's
// movers send to the sink gateway's listen sockets) at stripe widths 1, 4
// and 32 with a block size of 8 MiB beside as many TCP streams moving the
// same bytes in 8 MiB sends, and the local method (a reader and a writer in
// the shell) beside one TCP stream. Both gwsims use the memory store, so
// that the figures measure the transport and the shell, not the host file
// system. Each case runs `rounds` times and the medians are printed, with
// the ozu process's CPU seconds beside its wall time (a busy machine shows
// as spread between rounds).
//
//   bench_ozu_copy_remote [MiB [rounds]]     (defaults 1024, 3)
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "gwsim_config.h"
#include "gwsim_fixture.h"
#include "ozu_run.h"
#include "bench_support.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr size_t kBlock = 8u << 20;

double seconds(Clock::time_point t0) { return std::chrono::duration<double>(Clock::now() - t0).count(); }

double childCpu()
{
  rusage ru{};
  getrusage(RUSAGE_CHILDREN, &ru);
  return double(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
         double(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

std::string config()
{
  GwsimConfig c = aliceConfig();
  c.dir("/data").set("Uid", 1001).set("Mode", "0755");
  return c.text() + "Movers = {\n Store = memory\n PacketSize = 8388608\n}\n";
}

}  // namespace

int main(int argc, char **argv)
{
  uint64_t mib = argc > 1 ? strtoull(argv[1], nullptr, 10) : 1024;
  int rounds = argc > 2 ? atoi(argv[2]) : 3;
  uint64_t size = mib << 20;
  GwsimFixture src(config());
  GwsimFixture dst(config());
  if (!src.running() || !dst.running()) {
    fprintf(stderr, "gwsim did not start\n");
    return 1;
  }
  ozuHome(src);
  ozuHome(dst);
  {
    // A real file: the memory store still stops at a source's holes.
    int fd = open((src.rootDir() + "/data/x").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    std::vector<char> buf(kBlock, 'q');
    for (uint64_t w = 0; w < size; w += kBlock)
      if (write(fd, buf.data(), std::min<uint64_t>(kBlock, size - w)) < 0)
        return 1;
    close(fd);
  }
  struct Case {
    const char *name;
    const char *opts;
    int width;  // stripes, and TCP streams
  } cases[] = {
      {"server, width 1", "", 1},
      {"server, width 4", "", 4},
      {"server, width 32", "", 32},
      {"local", "-m local ", 1},
  };
  printf("cp of %llu MiB between two connections (medians of %d; CPU: the ozu process;\n"
         "a loaded machine makes these noisy)\n",
         (unsigned long long)mib, rounds);
  printf("%-18s %9s %9s %9s %9s %9s %7s\n", "case", "ozu s", "ozu CPU", "ozu MB/s", "tcp s",
         "tcp MB/s", "ratio");
  int n = 0;
  for (const Case &c : cases) {
    std::vector<double> walls, cpus, tcps;
    for (int r = 0; r < rounds; ++r) {
      std::string sink = "/data/y" + std::to_string(n++);
      std::vector<std::string> env = {"QUOR_STRIPE_WIDTH=" + std::to_string(c.width),
                                      "QUOR_BLOCKSIZE=" + std::to_string(kBlock)};
      std::string cmds = "open -q -A combo -d b -h 127.0.0.1 -p " + std::to_string(dst.port()) +
                         " -l alice; cp " + c.opts + "a:/data/x b:" + sink;
      double cpu0 = childCpu();
      auto t0 = Clock::now();
      OzuResult res = runOzu(src, ozuArgs(src, {cmds}), "", env, 3600);
      walls.push_back(seconds(t0));
      cpus.push_back(childCpu() - cpu0);
      if (res.status != 0) {
        fprintf(stderr, "%s: ozu exited %d\n%s%s", c.name, res.status, res.out.c_str(),
                res.err.c_str());
        return 1;
      }
      unlink((dst.rootDir() + sink).c_str());
      tcps.push_back(benchTcpSeconds(size, c.width, kBlock));
    }
    double w = benchMedian(walls), t = benchMedian(tcps);
    double mb = double(size) / 1e6;
    printf("%-18s %9.2f %9.2f %9.1f %9.2f %9.1f %7.2f\n", c.name, w, benchMedian(cpus), mb / w, t,
           mb / t, t / w);
    fflush(stdout);
  }
  return 0;
}
