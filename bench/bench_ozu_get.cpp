// ozu's get through gwsim's movers against plain loopback TCP, in the same
// run: a file of MiB bytes fetched at stripe widths 1, 4, 8 and 16 beside
// the same bytes over as many plain TCP streams with the same buffer size,
// one receiving thread per stream; the ratio of the two and ozu's peak
// memory against the pool's bound (two buffers per stripe). The movers serve
// gwsim's memory store (bytes from memory), so that the ratio measures the
// client. Both sides run twice: into a local file (get into a file, each TCP
// receiver writing its share of the same file) and without one (get to its
// standard output, which the benchmark drops; TCP into memory), so that the
// local file system's share of the time shows. Each ozu run starts and logs
// in; "ozu own" is the rate ozu reports for the transfer alone, set against
// TCP into a file ("r.own"), and "out own" the same for the get to standard
// output, set against TCP into memory ("r.oown"). Each width is run `rounds` times, the ozu run and
// the TCP runs next to each other, and the medians printed (a busy machine
// shows as spread, with CPU seconds beside the wall time). Then mget of many
// 4 KiB files beside cp of the same local tree (files per second).
//
//   bench_ozu_get [MiB [files [rounds [memory|file [widths]]]]]
//       (defaults 1024, 10000, 3, memory, 1,4,8,16; files 0: no mget)
//
// OZU_BENCH_WRAP, when set, is a command (words split on blanks) that the
// ozu runs go through, e.g. "perf record -g -o /tmp/get.perf".
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fcntl.h>
#include <sstream>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "gwsim_config.h"
#include "gwsim_fixture.h"
#include "ozu_run.h"
#include "program_run.h"
#include "bench_support.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr size_t kBlock = 8u << 20;  // the pool's buffer and the stripe block

double seconds(Clock::time_point t0) { return std::chrono::duration<double>(Clock::now() - t0).count(); }

// size bytes over `streams` loopback connections, kBlock at a time; with
// a path, each receiver writes what it gets into that file at its own
// offsets. Wall seconds, and the receivers' CPU seconds in *cpu.
double tcpSeconds(uint64_t size, int streams, const std::string& path, double* cpu)
{
  int lfd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(lfd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  socklen_t len = sizeof a;
  getsockname(lfd, reinterpret_cast<sockaddr*>(&a), &len);
  listen(lfd, 64);
  uint64_t share = size / uint64_t(streams);
  std::vector<double> cpus(size_t(streams), 0.0);
  auto t0 = Clock::now();
  int out = path.empty() ? -1 : open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  std::vector<std::thread> threads;
  for (int i = 0; i < streams; ++i) {
    threads.emplace_back([&] {
      int fd = socket(AF_INET, SOCK_STREAM, 0);
      connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
      std::vector<char> buf(kBlock, 'x');
      for (uint64_t sent = 0; sent < share;) {
        ssize_t n = send(fd, buf.data(), std::min<uint64_t>(kBlock, share - sent), 0);
        if (n <= 0)
          break;
        sent += uint64_t(n);
      }
      close(fd);
    });
    threads.emplace_back([&, i] {
      int fd = accept(lfd, nullptr, nullptr);
      std::vector<char> buf(kBlock);
      off_t at = off_t(uint64_t(i) * share);
      for (;;) {
        size_t got = 0;
        ssize_t n = 0;
        while (got < kBlock && (n = recv(fd, buf.data() + got, kBlock - got, 0)) > 0)
          got += size_t(n);
        if (out >= 0 && got > 0 && pwrite(out, buf.data(), got, at) != ssize_t(got))
          break;
        at += off_t(got);
        if (n <= 0)
          break;
      }
      close(fd);
      struct timespec ts;
      clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
      cpus[size_t(i)] = double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
    });
  }
  for (auto& t : threads)
    t.join();
  if (out >= 0) {
    close(out);
    unlink(path.c_str());
  }
  close(lfd);
  *cpu = 0;
  for (double c : cpus)
    *cpu += c;
  return seconds(t0);
}

ProgramResult ozu(const GwsimFixture& gw, const std::string& commands, bool keepOut = false)
{
  ProgramSpec s;
  s.argv = benchWrapped(OZU_BENCH_PATH);
  for (const std::string& w : ozuArgs(gw, {commands}))
    s.argv.push_back(w);
  s.env = programEnv({"QUOR_", "OZU_", "HOME="},
                     {"HOME=" + gw.dir() + "/home", "QUOR_USE_NETRC_FILE=1",
                      "QUOR_CFG_FILE_PATH=" + gw.dir(), "QUOR_HOSTNAME=localhost"});
  if (!keepOut)
    s.outPath = "/dev/null";
  s.timeoutSec = 3600;
  return runProgram(s);
}

}  // namespace

int main(int argc, char** argv)
{
  uint64_t mib = argc > 1 ? strtoull(argv[1], nullptr, 10) : 1024;
  int files = argc > 2 ? atoi(argv[2]) : 10000;
  int rounds = argc > 3 ? std::max(1, atoi(argv[3])) : 3;
  bool fileStore = argc > 4 && strcmp(argv[4], "file") == 0;
  std::vector<int> widths;
  {
    std::istringstream list(argc > 5 ? argv[5] : "1,4,8,16");
    for (std::string w; std::getline(list, w, ',');)
      if (atoi(w.c_str()) > 0)
        widths.push_back(atoi(w.c_str()));
  }
  uint64_t size = mib << 20;
  printf("get of %llu MiB, buffers of %zu MiB, gwsim's %s store, medians of %d rounds (MB/s)\n",
         (unsigned long long)mib, kBlock >> 20, fileStore ? "file" : "memory", rounds);
  printf("%6s %9s %6s %9s %6s %9s %6s %9s %6s %6s %6s %8s %6s %8s %6s %8s %8s\n", "width", "ozu>file",
         "cpu s", "tcp>file", "cpu s", "ozu>out", "cpu s", "tcp>mem", "cpu s", "r.file", "r.mem",
         "ozu own", "r.own", "out own", "r.oown", "RSS MiB", "pool MiB");
  for (int width : widths) {
    GwsimConfig c = aliceConfig();
    c.server().set("startupCOS", 4);
    c.cos(4).set("Name", "wide").set("StripeWidth", width).set("StripeLength", (long long)(width * kBlock));
    c.movers().set("PacketSize", (long long)kBlock);
    if (!fileStore)
      c.movers().set("Store", "memory");
    GwsimFixture gw(c.text());
    if (!gw.running()) {
      fprintf(stderr, "%s", gw.stderrText().c_str());
      return 1;
    }
    ozuHome(gw);
    {
      std::ofstream o(gw.rootDir() + "/home/alice/big", std::ios::binary);
      std::vector<char> chunk(1 << 20);
      for (size_t i = 0; i < chunk.size(); ++i)
        chunk[i] = char(i * 7 + 3);
      for (uint64_t i = 0; i < mib; ++i)
        o.write(chunk.data(), long(chunk.size()));
    }
    std::string local = gw.dir() + "/big.local";
    std::vector<double> ozuRate, ozuCpu, tcpRate, tcpCpu, fileRate, fileCpu, ratio, fileRatio;
    std::vector<double> outRate, outCpu, own, ownRatio, outOwn, outOwnRatio;
    long rss = 0;
    for (int round = 0; round < rounds; ++round) {
      ProgramResult r = ozu(gw, "set iobufsize=" + std::to_string(kBlock) + "; get " + local + " : big", true);
      struct stat st;
      if (r.status != 0 || stat(local.c_str(), &st) != 0 || uint64_t(st.st_size) != size) {
        fprintf(stderr, "get failed: %d\n%s", r.status, r.err.c_str());
        return 1;
      }
      unlink(local.c_str());
      ProgramResult o = ozu(gw, "set iobufsize=" + std::to_string(kBlock) + "; get - : big");
      if (o.status != 0) {
        fprintf(stderr, "get - failed: %d\n%s", o.status, o.err.c_str());
        return 1;
      }
      double cpu = 0, fcpu = 0;
      double tcp = tcpSeconds(size, width, "", &cpu);
      double tcpFile = tcpSeconds(size, width, local, &fcpu);
      ozuRate.push_back(double(size) / 1e6 / r.seconds);
      ozuCpu.push_back(r.cpuSeconds);
      tcpRate.push_back(double(size) / 1e6 / tcp);
      tcpCpu.push_back(cpu);
      fileRate.push_back(double(size) / 1e6 / tcpFile);
      fileCpu.push_back(fcpu);
      outRate.push_back(double(size) / 1e6 / o.seconds);
      outCpu.push_back(o.cpuSeconds);
      ratio.push_back(tcp / o.seconds);
      own.push_back(benchOwnRate(r.out + r.err));
      ownRatio.push_back(own.back() / fileRate.back());
      outOwn.push_back(benchOwnRate(o.out + o.err));
      outOwnRatio.push_back(outOwn.back() / tcpRate.back());
      fileRatio.push_back(tcpFile / r.seconds);
      rss = std::max(rss, r.maxRssKb);
    }
    printf("%6d %9.1f %6.2f %9.1f %6.2f %9.1f %6.2f %9.1f %6.2f %6.2f %6.2f %8.1f %6.2f %8.1f %6.2f %8.1f %8zu\n",
           width, benchMedian(ozuRate), benchMedian(ozuCpu), benchMedian(fileRate), benchMedian(fileCpu), benchMedian(outRate),
           benchMedian(outCpu), benchMedian(tcpRate), benchMedian(tcpCpu), benchMedian(fileRatio), benchMedian(ratio),
           benchMedian(own), benchMedian(ownRatio), benchMedian(outOwn), benchMedian(outOwnRatio), double(rss) / 1024.0,
           size_t(2 * width) * (kBlock >> 20));
  }
  if (files > 0) {
    GwsimFixture gw(aliceConfig().text());
    ozuHome(gw);
    std::string stored = gw.rootDir() + "/home/alice/many", tree = gw.dir() + "/tree";
    mkdir(stored.c_str(), 0755);
    mkdir(tree.c_str(), 0755);
    std::string data(4096, 'y');
    std::string heredoc;
    for (int i = 0; i < files; ++i) {
      std::string n = "f" + std::to_string(i);
      std::ofstream(stored + "/" + n) << data;
      std::ofstream(tree + "/" + n) << data;
      heredoc += "many/" + n + "\n";
    }
    std::string out = gw.dir() + "/out";
    mkdir(out.c_str(), 0755);
    ProgramSpec s;
    s.argv = benchWrapped(OZU_BENCH_PATH);
    for (const std::string& w : ozuArgs(gw, {"lcd " + out + "; mget <<END"}))
      s.argv.push_back(w);
    s.env = programEnv({"QUOR_", "OZU_", "HOME="},
                       {"HOME=" + gw.dir() + "/home", "QUOR_USE_NETRC_FILE=1",
                        "QUOR_CFG_FILE_PATH=" + gw.dir(), "QUOR_HOSTNAME=localhost"});
    s.stdinPipe = true;
    s.input = heredoc + "END\n";
    s.outPath = "/dev/null";
    s.timeoutSec = 3600;
    ProgramResult m = runProgram(s);
    ProgramSpec cp;
    cp.argv = {"cp", "-r", tree, gw.dir() + "/tree.copy"};
    ProgramResult cr = runProgram(cp);
    printf("mget of %d files of 4 KiB: %.0f files/s (exit %d); cp -r: %.0f files/s; ratio %.3f\n",
           files, files / m.seconds, m.status, files / cr.seconds, cr.seconds / m.seconds);
  }
  return 0;
}
