// ozu's cp on one connection beside a local cp of the same bytes, in the
// same run: a file of MiB bytes copied by the service itself and through
// the shell (the service declines with -95: reader and writer over two
// buffers, list reads and writes through the movers), and cp -r of a tree
// of small files (files/s). CPU time is printed beside wall time: on a
// loaded machine the wall figures are noisy.
//
//   bench_ozu_copy [MiB] [files]     (default 1024 and 10000)
#include <stdio.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <string>
#include <vector>

#include "gwsim_config.h"
#include "gwsim_fixture.h"
#include "ozu_run.h"
#include "program_run.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr size_t kBlock = 8u << 20;

double seconds(Clock::time_point t0) { return std::chrono::duration<double>(Clock::now() - t0).count(); }

ProgramResult ozu(const GwsimFixture& gw, const std::string& commands)
{
  ProgramSpec s;
  s.argv = {OZU_BENCH_PATH};
  for (const std::string& w : ozuArgs(gw, {commands}))
    s.argv.push_back(w);
  s.env = programEnv({"QUOR_", "OZU_", "HOME="},
                     {"HOME=" + gw.dir() + "/home", "QUOR_USE_NETRC_FILE=1",
                      "QUOR_CFG_FILE_PATH=" + gw.dir(), "QUOR_HOSTNAME=localhost"});
  s.outPath = "/dev/null";
  s.timeoutSec = 3600;
  return runProgram(s);
}

// A local command's wall and CPU seconds (its children's rusage).
double localRun(const std::string& cmd, double* cpu)
{
  struct rusage before, after;
  getrusage(RUSAGE_CHILDREN, &before);
  auto t0 = Clock::now();
  int rc = system(cmd.c_str());
  double wall = seconds(t0);
  getrusage(RUSAGE_CHILDREN, &after);
  auto sec = [](const timeval& t) { return double(t.tv_sec) + double(t.tv_usec) / 1e6; };
  *cpu = sec(after.ru_utime) - sec(before.ru_utime) + sec(after.ru_stime) - sec(before.ru_stime);
  if (rc != 0)
    fprintf(stderr, "%s: %d\n", cmd.c_str(), rc);
  return wall;
}

void writeFile(const std::string& path, uint64_t bytes)
{
  std::ofstream o(path, std::ios::binary);
  std::vector<char> chunk(1 << 20);
  for (size_t i = 0; i < chunk.size(); ++i)
    chunk[i] = char(i * 7 + 3);
  for (uint64_t done = 0; done < bytes;) {
    uint64_t n = std::min<uint64_t>(chunk.size(), bytes - done);
    o.write(chunk.data(), long(n));
    done += n;
  }
}

bool sizeIs(const std::string& path, uint64_t size)
{
  struct stat st;
  return stat(path.c_str(), &st) == 0 && uint64_t(st.st_size) == size;
}

}  // namespace

int main(int argc, char** argv)
{
  uint64_t mib = argc > 1 ? strtoull(argv[1], nullptr, 10) : 1024;
  int files = argc > 2 ? atoi(argv[2]) : 10000;
  uint64_t size = mib << 20;
  GwsimConfig c = aliceConfig();
  // From the second copy request on the service declines: the shell copies.
  c.fault("Error", "0x0500 0x030D 2+ -95");
  c.movers().set("PacketSize", (long long)kBlock);
  GwsimFixture gw(c.text());
  if (!gw.running()) {
    fprintf(stderr, "%s", gw.stderrText().c_str());
    return 1;
  }
  ozuHome(gw);
  std::string home = gw.rootDir() + "/home/alice";
  writeFile(home + "/big", size);
  double lcpu = 0;
  double lwall = localRun("cp " + home + "/big " + gw.dir() + "/big.localcopy", &lcpu);
  printf("cp of %llu MiB on one connection, buffers of %zu MiB (CPU: the client's user+system)\n",
         (unsigned long long)mib, kBlock >> 20);
  printf("%-26s %9s %9s %9s %7s\n", "", "wall s", "MB/s", "CPU s", "ratio");
  printf("%-26s %9.2f %9.1f %9.2f %7s\n", "local cp", lwall, double(size) / 1e6 / lwall, lcpu, "1.00");
  const char* const names[] = {"by the service", "through the shell (-95)"};
  for (int i = 0; i < 2; ++i) {
    std::string to = i == 0 ? "svc" : "shell";
    ProgramResult r = ozu(gw, "set iobufsize=" + std::to_string(kBlock) + "; cp big " + to);
    if (r.status != 0 || !sizeIs(home + "/" + to, size)) {
      fprintf(stderr, "cp failed: %d\n%s", r.status, r.err.c_str());
      return 1;
    }
    printf("%-26s %9.2f %9.1f %9.2f %7.2f\n", names[i], r.seconds, double(size) / 1e6 / r.seconds,
           r.cpuSeconds, lwall / r.seconds);
  }
  unlink((gw.dir() + "/big.localcopy").c_str());
  unlink((home + "/big").c_str());
  unlink((home + "/svc").c_str());
  unlink((home + "/shell").c_str());

  // A tree of small files, copied with cp -r (through the shell: the rule
  // above declines every service copy by now).
  std::string tree = home + "/tree";
  mkdir(tree.c_str(), 0755);
  for (int i = 0; i < files; ++i) {
    std::string d = tree + "/d" + std::to_string(i / 1000);
    if (i % 1000 == 0)
      mkdir(d.c_str(), 0755);
    writeFile(d + "/f" + std::to_string(i), 4096);
  }
  mkdir((gw.dir() + "/ltree").c_str(), 0755);
  lwall = localRun("cp -r " + tree + " " + gw.dir() + "/ltree/", &lcpu);
  ProgramResult r = ozu(gw, "mkdir out; cp -r tree out");
  if (r.status != 0 || !sizeIs(home + "/out/tree/d0/f0", 4096)) {
    fprintf(stderr, "cp -r failed: %d\n%s", r.status, r.err.c_str());
    return 1;
  }
  printf("\ncp -r of %d files of 4 KiB\n", files);
  printf("%-26s %9s %9s %9s %7s\n", "", "wall s", "files/s", "CPU s", "ratio");
  printf("%-26s %9.2f %9.0f %9.2f %7s\n", "local cp -r", lwall, files / lwall, lcpu, "1.00");
  printf("%-26s %9.2f %9.0f %9.2f %7.3f\n", "ozu cp -r", r.seconds, files / r.seconds, r.cpuSeconds,
         lwall / r.seconds);
  return 0;
}
