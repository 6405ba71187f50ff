// ozu's get through gwsim's movers against plain loopback TCP, in the same
// run: a file of MiB bytes fetched at stripe widths 1, 4, 8 and 16 beside
// the same bytes over as many plain TCP streams with the same buffer size;
// the ratio of the two and ozu's peak memory against the pool's bound (two
// buffers per stripe). Then mget of many 4 KiB files beside cp of the same
// local tree (files per second).
//
//   bench_ozu_get [MiB [files]]     (defaults 1024 and 10000)
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "gwsim_config.h"
#include "gwsim_fixture.h"
#include "ozu_run.h"
#include "program_run.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr size_t kBlock = 8u << 20;  // the pool's buffer and the stripe block

double seconds(Clock::time_point t0) { return std::chrono::duration<double>(Clock::now() - t0).count(); }

// size bytes over `streams` loopback connections, kBlock at a time.
double tcpSeconds(uint64_t size, int streams)
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
  auto t0 = Clock::now();
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
    threads.emplace_back([&] {
      int fd = accept(lfd, nullptr, nullptr);
      std::vector<char> buf(kBlock);
      while (recv(fd, buf.data(), kBlock, 0) > 0) {
      }
      close(fd);
    });
  }
  for (auto& t : threads)
    t.join();
  close(lfd);
  return seconds(t0);
}

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

}  // namespace

int main(int argc, char** argv)
{
  uint64_t mib = argc > 1 ? strtoull(argv[1], nullptr, 10) : 1024;
  int files = argc > 2 ? atoi(argv[2]) : 10000;
  uint64_t size = mib << 20;
  printf("get of %llu MiB, buffers of %zu MiB\n", (unsigned long long)mib, kBlock >> 20);
  printf("%6s %10s %10s %7s %12s %12s\n", "width", "ozu MB/s", "tcp MB/s", "ratio", "peak RSS MiB", "pool MiB");
  for (int width : {1, 4, 8, 16}) {
    GwsimConfig c = aliceConfig();
    c.server().set("startupCOS", 4);
    c.cos(4).set("Name", "wide").set("StripeWidth", width).set("StripeLength", (long long)(width * kBlock));
    c.movers().set("PacketSize", (long long)kBlock);
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
    ProgramResult r = ozu(gw, "set iobufsize=" + std::to_string(kBlock) + "; get " + local + " : big");
    struct stat st;
    if (r.status != 0 || stat(local.c_str(), &st) != 0 || uint64_t(st.st_size) != size) {
      fprintf(stderr, "get failed: %d\n%s", r.status, r.err.c_str());
      return 1;
    }
    unlink(local.c_str());
    double tcp = tcpSeconds(size, width);
    double ozuRate = double(size) / 1e6 / r.seconds, tcpRate = double(size) / 1e6 / tcp;
    printf("%6d %10.1f %10.1f %7.2f %12.1f %12zu\n", width, ozuRate, tcpRate, ozuRate / tcpRate,
           double(r.maxRssKb) / 1024.0, size_t(2 * width) * (kBlock >> 20));
  }
  {
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
    s.argv = {OZU_BENCH_PATH};
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
