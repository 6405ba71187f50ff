// ozu's put through gwsim's movers against plain loopback TCP, in the same
// run: a local file of MiB bytes stored at stripe widths 1, 4, 8 and 16
// beside the same bytes over as many plain TCP streams with the same buffer
// size (ratio, peak memory); a piped put (through the gateway) beside one
// stream; and get with a sha256 digest checked beside get without.
//
//   bench_ozu_put [MiB]     (default 1024)
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

GwsimConfig benchConfig(int width)
{
  GwsimConfig c = aliceConfig();
  c.server().set("startupCOS", 4);
  c.cos(4).set("Name", "wide").set("StripeWidth", width).set("StripeLength", (long long)(width * kBlock));
  c.movers().set("PacketSize", (long long)kBlock);
  return c;
}

void writeLocal(const std::string& path, uint64_t mib)
{
  std::ofstream o(path, std::ios::binary);
  std::vector<char> chunk(1 << 20);
  for (size_t i = 0; i < chunk.size(); ++i)
    chunk[i] = char(i * 7 + 3);
  for (uint64_t i = 0; i < mib; ++i)
    o.write(chunk.data(), long(chunk.size()));
}

bool storedSize(const GwsimFixture& gw, const std::string& name, uint64_t size)
{
  struct stat st;
  return stat((gw.rootDir() + "/home/alice/" + name).c_str(), &st) == 0 && uint64_t(st.st_size) == size;
}

}  // namespace

int main(int argc, char** argv)
{
  uint64_t mib = argc > 1 ? strtoull(argv[1], nullptr, 10) : 1024;
  uint64_t size = mib << 20;
  printf("put of %llu MiB, buffers of %zu MiB\n", (unsigned long long)mib, kBlock >> 20);
  printf("%6s %10s %10s %7s %12s %12s\n", "width", "ozu MB/s", "tcp MB/s", "ratio", "peak RSS MiB", "pool MiB");
  for (int width : {1, 4, 8, 16}) {
    GwsimFixture gw(benchConfig(width).text());
    if (!gw.running()) {
      fprintf(stderr, "%s", gw.stderrText().c_str());
      return 1;
    }
    ozuHome(gw);
    std::string local = gw.dir() + "/big.local";
    writeLocal(local, mib);
    ProgramResult r = ozu(gw, "set iobufsize=" + std::to_string(kBlock) + "; put " + local + " : big");
    if (r.status != 0 || !storedSize(gw, "big", size)) {
      fprintf(stderr, "put failed: %d\n%s", r.status, r.err.c_str());
      return 1;
    }
    double tcp = tcpSeconds(size, width);
    double ozuRate = double(size) / 1e6 / r.seconds, tcpRate = double(size) / 1e6 / tcp;
    printf("%6d %10.1f %10.1f %7.2f %12.1f %12zu\n", width, ozuRate, tcpRate, ozuRate / tcpRate,
           double(r.maxRssKb) / 1024.0, size_t(2 * width) * (kBlock >> 20));
    if (width == 1) {
      // The same file through a pipe: plain writes through the gateway.
      ProgramResult p = ozu(gw, "put \"|cat " + local + "\" : piped");
      if (p.status != 0 || !storedSize(gw, "piped", size)) {
        fprintf(stderr, "piped put failed: %d\n%s", p.status, p.err.c_str());
        return 1;
      }
      double pr = double(size) / 1e6 / p.seconds;
      printf("piped put: %.1f MB/s, one tcp stream %.1f MB/s, ratio %.2f, peak RSS %.1f MiB\n", pr, tcpRate,
             pr / tcpRate, double(p.maxRssKb) / 1024.0);
      // get with and without the digest check (sha256 stored by a put -c).
      ProgramResult h = ozu(gw, "put -c on -H sha256 " + local + " : digested");
      std::string back = gw.dir() + "/back";
      ProgramResult plain = ozu(gw, "set iobufsize=" + std::to_string(kBlock) + "; get " + back + " : digested");
      unlink(back.c_str());
      ProgramResult checked = ozu(gw, "set iobufsize=" + std::to_string(kBlock) + "; get -c on " + back + " : digested");
      unlink(back.c_str());
      if (h.status != 0 || plain.status != 0 || checked.status != 0) {
        fprintf(stderr, "digest runs failed: %d %d %d\n%s", h.status, plain.status, checked.status, checked.err.c_str());
        return 1;
      }
      printf("get: %.1f MB/s; get -c on (sha256): %.1f MB/s; ratio %.2f\n", double(size) / 1e6 / plain.seconds,
             double(size) / 1e6 / checked.seconds, plain.seconds / checked.seconds);
    }
    unlink(local.c_str());
  }
  return 0;
}
