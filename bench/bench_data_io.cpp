// File data through gwsim's movers against plain loopback TCP, in the same
// run: 1 GiB written with quor_Write and read back with quor_Read through 1,
// 4, 8 and 16 movers, beside 1 GiB over as many plain TCP streams with the
// same buffer size; the ratio of the two. Then the peak memory of a process
// that reads 1 GiB, and the cost of one transfer cycle of a 4 KiB read.
//
//   bench_data_io [MiB [buffer-MiB]]     (defaults 1024 and 64)
//
// Each measurement of the library runs in a child process of its own, since
// the library starts once per process.
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "gwsim_config.h"
#include "gwsim_fixture.h"
#include "quor_api.h"
#include "quor_api_internal.h"

namespace {

using Clock = std::chrono::steady_clock;

// The gateway of the measurement running now; a failure stops it (and
// removes its directory) before the program ends.
std::unique_ptr<GwsimFixture> gateway;

[[noreturn]] void fail(const char* what) {
  fprintf(stderr, "%s\n", what);
  gateway.reset();
  exit(1);
}

double seconds(Clock::time_point t0) {
  return std::chrono::duration<double>(Clock::now() - t0).count();
}

void startGateway(int movers) {
  gateway.reset();
  GwsimConfig cfg;
  cfg.user("alice", "wonderland").set("Uid", 1001);
  cfg.dir("/").set("Uid", 1001).set("Mode", "0755");
  cfg.movers().set("PerAddress", movers).set("PacketSize", 1048576);
  gateway = std::make_unique<GwsimFixture>(cfg.text());
  if (!gateway->running()) {
    fprintf(stderr, "%s", gateway->stderrText().c_str());
    fail("gwsim did not start");
  }
}

void clientSetup(const GwsimFixture& gw) {
  std::string server = "127.0.0.1/" + std::to_string(gw.port());
  setenv("QUOR_SERVER_HOST", server.c_str(), 1);
  setenv("QUOR_HOSTNAME", "localhost", 1);
  setenv("QUOR_CFG_FILE_PATH", gw.dir().c_str(), 1);
  quor_SetCombo("alice", "wonderland");
  qelapi_tcontext_t* ts = nullptr;
  if (qelapi_init(&ts) != 0) _exit(3);
}

// Runs body in a child; its doubles come back through a pipe. The child's
// peak RSS in KiB goes to *rssKb when given.
std::vector<double> inChild(const std::function<std::vector<double>()>& body, long* rssKb = nullptr) {
  int p[2];
  if (pipe(p) != 0) fail("pipe");
  pid_t pid = fork();
  if (pid == 0) {
    close(p[0]);
    std::vector<double> out = body();
    ssize_t n = write(p[1], out.data(), out.size() * sizeof(double));
    (void)n;
    _exit(0);
  }
  close(p[1]);
  std::vector<double> out(16);
  ssize_t n = read(p[0], out.data(), out.size() * sizeof(double));
  close(p[0]);
  int status = 0;
  struct rusage ru;
  wait4(pid, &status, 0, &ru);
  if (rssKb) *rssKb = ru.ru_maxrss;
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || n <= 0) fail("measurement failed");
  out.resize(size_t(n) / sizeof(double));
  return out;
}

// Writes a new file, writes it over, then reads it, total bytes in chunks
// of buf through the movers: {write MB/s, read MB/s, new-file write MB/s}.
// The figure set against TCP is the overwrite: a new file also pays for the
// gateway's storage taking fresh pages, which a TCP receiver never does.
std::vector<double> moverRun(const GwsimFixture& gw, uint64_t total, size_t buf) {
  clientSetup(gw);
  std::vector<char> chunk(buf);
  for (size_t i = 0; i < buf; i++) chunk[i] = char(i * 131);
  int fd = quor_Open("/big", O_RDWR | O_CREAT | O_TRUNC, 0644, nullptr, nullptr, nullptr);
  if (fd < 0) _exit(4);
  double w = 0, wNew = 0;
  for (int pass = 0; pass < 2; pass++) {
    if (quor_Lseek(fd, 0, SEEK_SET) != 0) _exit(6);
    auto t0 = Clock::now();
    for (uint64_t done = 0; done < total;) {
      size_t n = size_t(std::min<uint64_t>(buf, total - done));
      if (quor_Write(fd, chunk.data(), n) != ssize_t(n)) _exit(5);
      done += n;
    }
    (pass == 0 ? wNew : w) = seconds(t0);
  }
  if (quor_Lseek(fd, 0, SEEK_SET) != 0) _exit(6);
  auto t0 = Clock::now();
  for (uint64_t done = 0; done < total;) {
    ssize_t n = quor_Read(fd, chunk.data(), buf);
    if (n <= 0) _exit(7);
    done += uint64_t(n);
  }
  double r = seconds(t0);
  quor_Close(fd);
  return {double(total) / w / 1e6, double(total) / r / 1e6, double(total) / wNew / 1e6};
}

// Only the read, for its peak memory.
std::vector<double> readOnly(const GwsimFixture& gw, uint64_t total, size_t buf) {
  clientSetup(gw);
  std::vector<char> chunk(buf);
  int fd = quor_Open("/big", O_RDONLY, 0, nullptr, nullptr, nullptr);
  uint64_t done = 0;
  while (done < total) {
    ssize_t n = quor_Read(fd, chunk.data(), buf);
    if (n <= 0) break;
    done += uint64_t(n);
  }
  quor_Close(fd);
  return {double(done)};
}

// Per-cycle cost of small reads: {wall and client CPU microseconds per
// 4 KiB quor_Read}.
std::vector<double> smallReads(const GwsimFixture& gw) {
  clientSetup(gw);
  const int kCalls = 2000;
  char buf[4096];
  int fd = quor_Open("/big", O_RDONLY, 0, nullptr, nullptr, nullptr);
  for (int i = 0; i < 50; i++) quor_Read(fd, buf, sizeof buf);  // warm
  struct rusage r0, r1;
  getrusage(RUSAGE_SELF, &r0);
  auto t0 = Clock::now();
  for (int i = 0; i < kCalls; i++)
    if (quor_Read(fd, buf, sizeof buf) != ssize_t(sizeof buf)) _exit(8);
  double s = seconds(t0);
  getrusage(RUSAGE_SELF, &r1);
  auto us = [](const struct timeval& t) { return double(t.tv_sec) * 1e6 + double(t.tv_usec); };
  double cpu = us(r1.ru_utime) - us(r0.ru_utime) + us(r1.ru_stime) - us(r0.ru_stime);
  quor_Close(fd);
  return {s / kCalls * 1e6, cpu / kCalls};
}

// total bytes over `streams` loopback TCP connections, each sender writing
// its share in pieces of the site's write size (32 KiB, as the movers' data
// writer uses it) and each receiver reading into its part of a buffer of
// buf bytes: MB/s. The receivers are one thread per stream, or with
// oneReader a single thread that polls them all.
double tcpRun(int streams, uint64_t total, size_t buf, bool oneReader) {
  int lfd = socket(AF_INET, SOCK_STREAM, 0);
  struct sockaddr_in sin;
  memset(&sin, 0, sizeof sin);
  sin.sin_family = AF_INET;
  sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof sin;
  if (bind(lfd, reinterpret_cast<sockaddr*>(&sin), len) != 0 || listen(lfd, 64) != 0) fail("listen");
  getsockname(lfd, reinterpret_cast<sockaddr*>(&sin), &len);
  std::vector<char> source(1 << 20);
  for (size_t i = 0; i < source.size(); i++) source[i] = char(i * 131);
  std::vector<char> sink(buf);
  uint64_t share = total / uint64_t(streams);
  size_t part = buf / size_t(streams);
  std::vector<std::thread> threads;
  std::vector<int> conns;
  for (int i = 0; i < streams; i++) {
    int s = socket(AF_INET, SOCK_STREAM, 0);
    if (connect(s, reinterpret_cast<sockaddr*>(&sin), len) != 0) fail("connect");
    conns.push_back(s);
  }
  std::vector<int> accepted;
  for (int i = 0; i < streams; i++) accepted.push_back(accept(lfd, nullptr, nullptr));
  auto t0 = Clock::now();
  for (int i = 0; i < streams; i++) {
    threads.emplace_back([&, i] {
      for (uint64_t sent = 0; sent < share;) {
        size_t n = size_t(std::min<uint64_t>(32768, share - sent));
        ssize_t k = send(conns[size_t(i)], source.data(), n, MSG_NOSIGNAL);
        if (k <= 0) return;
        sent += uint64_t(k);
      }
    });
    if (oneReader) continue;
    threads.emplace_back([&, i] {
      char* mine = sink.data() + size_t(i) * part;
      for (uint64_t got = 0; got < share;) {
        ssize_t k = recv(accepted[size_t(i)], mine + (got % part), std::min<uint64_t>(part - got % part, share - got), 0);
        if (k <= 0) return;
        got += uint64_t(k);
      }
    });
  }
  if (oneReader) {
    // One thread reads every stream, as the library's listen thread does.
    std::vector<struct pollfd> fds;
    for (int fd : accepted) fds.push_back({fd, POLLIN, 0});
    std::vector<uint64_t> got(size_t(streams), 0);
    int open = streams;
    while (open > 0) {
      if (poll(fds.data(), fds.size(), 5000) <= 0) break;
      for (size_t i = 0; i < fds.size(); i++) {
        if (!fds[i].revents || got[i] >= share) continue;
        char* mine = sink.data() + i * part;
        ssize_t k = recv(fds[i].fd, mine + (got[i] % part),
                         std::min<uint64_t>(part - got[i] % part, share - got[i]), 0);
        if (k > 0) got[i] += uint64_t(k);
        if (k <= 0 || got[i] >= share) {
          fds[i].fd = -fds[i].fd - 1;
          open--;
        }
      }
    }
  }
  for (std::thread& t : threads) t.join();
  double s = seconds(t0);
  for (int fd : conns) close(fd);
  for (int fd : accepted) close(fd);
  close(lfd);
  return double(total) / s / 1e6;
}

}  // namespace

int main(int argc, char** argv) {
  // The gateway's files live in memory, so that disk speed stays out of
  // the figures.
  if (getenv("TMPDIR") == nullptr && access("/dev/shm", W_OK) == 0) setenv("TMPDIR", "/dev/shm", 1);
  if (argc > 1 && strcmp(argv[1], "cycles") == 0) {
    startGateway(1);
    GwsimFixture* gw = gateway.get();
    inChild([&] { return moverRun(*gw, 16 << 20, 1 << 20); });
    std::vector<double> c = inChild([&] { return smallReads(*gw); });
    printf("one transfer cycle of a 4 KiB quor_Read: %.0f us (client CPU %.0f us)\n", c[0], c[1]);
    return 0;
  }
  uint64_t mib = argc > 1 ? strtoull(argv[1], nullptr, 10) : 1024;
  size_t bufMib = argc > 2 ? strtoull(argv[2], nullptr, 10) : 64;
  uint64_t total = mib << 20;
  size_t buf = bufMib << 20;
  printf("%llu MiB in quor_Write/quor_Read calls of %zu MiB; plain TCP with the same streams and buffer\n",
         (unsigned long long)mib, bufMib);
  printf("tcp: a receiving thread per stream; tcp1: one receiving thread for all streams\n");
  printf("write: over an existing file; new write: a new file (fresh pages in the gateway)\n");
  printf("%7s %11s %11s %11s %11s %10s %10s %10s %10s %10s\n", "movers", "write MB/s",
         "read MB/s", "tcp MB/s", "tcp1 MB/s", "write/tcp", "read/tcp", "write/tcp1", "read/tcp1",
         "new write");
  for (int movers : {1, 4, 8, 16}) {
    startGateway(movers);
    GwsimFixture* gw = gateway.get();
    std::vector<double> m = inChild([&] { return moverRun(*gw, total, buf); });
    double tcp = tcpRun(movers, total, buf, false);
    double tcp1 = tcpRun(movers, total, buf, true);
    printf("%7d %11.0f %11.0f %11.0f %11.0f %10.2f %10.2f %10.2f %10.2f %10.0f\n", movers, m[0],
           m[1], tcp, tcp1, m[0] / tcp, m[1] / tcp, m[0] / tcp1, m[1] / tcp1, m[2]);
    fflush(stdout);
    if (movers == 1) {
      long rss = 0;
      inChild([&] { return readOnly(*gw, total, buf); }, &rss);
      printf("peak RSS of a process reading %llu MiB in %zu MiB calls: %ld KiB (buffer %zu KiB)\n",
             (unsigned long long)mib, bufMib, rss, buf >> 10);
      std::vector<double> c = inChild([&] { return smallReads(*gw); });
      printf("one transfer cycle of a 4 KiB quor_Read: %.0f us (client CPU %.0f us)\n", c[0],
             c[1]);
      fflush(stdout);
    }
  }
  gateway.reset();
  return 0;
}
