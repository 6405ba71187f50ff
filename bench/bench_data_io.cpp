// File data through gwsim's movers against plain loopback TCP, in the same
// run: quor_Write and quor_Read calls of one buffer size through 1, 4, 8 and
// 16 movers, beside plain TCP with as many streams, a receiving and a
// sending thread per stream and the same buffer size; the ratio of the two.
// The movers run against gwsim's memory store (bytes from memory, written
// bytes dropped), so that the ratio measures the client and the protocol;
// the same run against the file store says whether the store limits it.
// Each quor call connects its movers anew, so TCP is timed twice: with its
// connections and threads set up per buffer inside the clock (as the call
// does), and set up once before it. Then the peak memory of a process that
// reads the file, and the cost of one transfer cycle of a 4 KiB read.
//
//   bench_data_io [MiB [buffer-MiB]]     (defaults 1024 and 64)
//
// Each measurement of the library runs in a child process of its own, since
// the library starts once per process. CPU figures are seconds per GB of
// the client process (TCP: of the receiving threads for reads, of the
// sending threads for writes).
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
#include <mutex>
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

void startGateway(int movers, bool memory = false) {
  gateway.reset();
  GwsimConfig cfg;
  cfg.user("alice", "wonderland").set("Uid", 1001);
  cfg.dir("/").set("Uid", 1001).set("Mode", "0755");
  cfg.movers().set("PerAddress", movers).set("PacketSize", 1048576);
  if (memory) cfg.movers().set("Store", "memory");
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
double cpuNow(int who) {
  struct rusage r;
  getrusage(who, &r);
  return double(r.ru_utime.tv_sec + r.ru_stime.tv_sec) +
         double(r.ru_utime.tv_usec + r.ru_stime.tv_usec) / 1e6;
}

// The memory store reads a file's bytes only where the stored file has
// data: the host file is filled with real blocks before the reads.
void fillHostFile(const GwsimFixture& gw, uint64_t total) {
  int fd = open((gw.rootDir() + "/big").c_str(), O_WRONLY);
  if (fd < 0) _exit(9);
  std::vector<char> block(1 << 20, 'b');
  for (uint64_t at = 0; at < total; at += block.size())
    if (pwrite(fd, block.data(), size_t(std::min<uint64_t>(block.size(), total - at)), off_t(at)) < 0)
      _exit(9);
  close(fd);
}

// Writes a new file, writes it over, then reads it, total bytes in chunks
// of buf through the movers: {write MB/s, read MB/s, new-file write MB/s,
// write CPU-s/GB, read CPU-s/GB}. The figure set against TCP is the
// overwrite: a new file also pays for the store taking fresh pages, which a
// TCP receiver never does.
std::vector<double> moverRun(const GwsimFixture& gw, uint64_t total, size_t buf, bool memory) {
  clientSetup(gw);
  std::vector<char> chunk(buf);
  for (size_t i = 0; i < buf; i++) chunk[i] = char(i * 131);
  int fd = quor_Open("/big", O_RDWR | O_CREAT | O_TRUNC, 0644, nullptr, nullptr, nullptr);
  if (fd < 0) _exit(4);
  double w = 0, wNew = 0, wCpu = 0;
  for (int pass = 0; pass < 2; pass++) {
    if (pass == 1 && memory) fillHostFile(gw, total);
    if (quor_Lseek(fd, 0, SEEK_SET) != 0) _exit(6);
    double c0 = cpuNow(RUSAGE_SELF);
    auto t0 = Clock::now();
    for (uint64_t done = 0; done < total;) {
      size_t n = size_t(std::min<uint64_t>(buf, total - done));
      if (quor_Write(fd, chunk.data(), n) != ssize_t(n)) _exit(5);
      done += n;
    }
    (pass == 0 ? wNew : w) = seconds(t0);
    wCpu = cpuNow(RUSAGE_SELF) - c0;
  }
  if (quor_Lseek(fd, 0, SEEK_SET) != 0) _exit(6);
  double c0 = cpuNow(RUSAGE_SELF);
  auto t0 = Clock::now();
  for (uint64_t done = 0; done < total;) {
    ssize_t n = quor_Read(fd, chunk.data(), buf);
    if (n <= 0) _exit(7);
    done += uint64_t(n);
  }
  double r = seconds(t0);
  double rCpu = cpuNow(RUSAGE_SELF) - c0;
  quor_Close(fd);
  double gb = double(total) / 1e9;
  return {double(total) / w / 1e6, double(total) / r / 1e6, double(total) / wNew / 1e6, wCpu / gb,
          rCpu / gb};
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

struct TcpFigures {
  double mbs;      // MB/s
  double recvCpu;  // CPU-s per GB of the receiving threads
  double sendCpu;  // ... of the sending threads
};

// total bytes over `streams` loopback TCP connections, each sender writing
// its share in pieces of sendPiece bytes and each receiver reading into its
// part of a buffer of buf bytes, a thread for each. As a read moves them:
// the mover sends packets of 1 MiB, the client receives them into the
// caller's buffer; as a write: the client sends pieces of the site's write
// size (32 KiB), the mover receives into 1 MiB. With perBuffer the
// connections and threads are made anew for every buf bytes, inside the
// clock, as each quor call connects its movers; otherwise once, before the
// clock starts. With oneReader a single thread polls every receiving socket.
TcpFigures tcpRun(int streams, uint64_t total, size_t buf, bool perBuffer, bool asRead,
                  bool oneReader = false) {
  size_t sendPiece = asRead ? (1u << 20) : 32768;
  int lfd = socket(AF_INET, SOCK_STREAM, 0);
  struct sockaddr_in sin;
  memset(&sin, 0, sizeof sin);
  sin.sin_family = AF_INET;
  sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof sin;
  if (bind(lfd, reinterpret_cast<sockaddr*>(&sin), len) != 0 || listen(lfd, 64) != 0) fail("listen");
  getsockname(lfd, reinterpret_cast<sockaddr*>(&sin), &len);
  std::vector<char> source(1 << 20);  // at least one piece
  for (size_t i = 0; i < source.size(); i++) source[i] = char(i * 131);
  std::vector<char> sink(buf);
  size_t part = buf / size_t(streams);
  std::mutex cpuLock;
  double recvCpu = 0, sendCpu = 0;
  auto addCpu = [&](double* to) {
    double c = cpuNow(RUSAGE_THREAD);
    std::lock_guard<std::mutex> l(cpuLock);
    *to += c;
  };
  std::vector<int> conns, accepted;
  auto connectAll = [&] {
    for (int i = 0; i < streams; i++) {
      int s = socket(AF_INET, SOCK_STREAM, 0);
      if (connect(s, reinterpret_cast<sockaddr*>(&sin), len) != 0) fail("connect");
      conns.push_back(s);
    }
    for (int i = 0; i < streams; i++) accepted.push_back(accept(lfd, nullptr, nullptr));
  };
  auto closeAll = [&] {
    for (int fd : conns) close(fd);
    for (int fd : accepted) close(fd);
    conns.clear();
    accepted.clear();
  };
  // Moves `amount` bytes over the connections there are.
  auto move = [&](uint64_t amount) {
    uint64_t share = amount / uint64_t(streams);
    std::vector<std::thread> threads;
    for (int i = 0; i < streams; i++) {
      uint64_t mine = i == streams - 1 ? amount - share * uint64_t(streams - 1) : share;
      threads.emplace_back([&, i, mine] {
        for (uint64_t sent = 0; sent < mine;) {
          size_t n = size_t(std::min<uint64_t>(sendPiece, mine - sent));
          ssize_t k = send(conns[size_t(i)], source.data(), n, MSG_NOSIGNAL);
          if (k <= 0) break;
          sent += uint64_t(k);
        }
        addCpu(&sendCpu);
      });
      if (oneReader) continue;
      threads.emplace_back([&, i, mine] {
        char* at = sink.data() + size_t(i) * part;
        size_t room = asRead ? part : std::min<size_t>(part, 1u << 20);
        for (uint64_t got = 0; got < mine;) {
          ssize_t k = recv(accepted[size_t(i)], at + (got % room),
                           std::min<uint64_t>(room - got % room, mine - got), 0);
          if (k <= 0) break;
          got += uint64_t(k);
        }
        addCpu(&recvCpu);
      });
    }
    if (oneReader) {
      // One thread reads every stream, as a single listening thread would.
      double c0 = cpuNow(RUSAGE_THREAD);
      std::vector<struct pollfd> fds;
      for (int fd : accepted) fds.push_back({fd, POLLIN, 0});
      std::vector<uint64_t> got(size_t(streams), 0);
      int open = streams;
      while (open > 0) {
        if (poll(fds.data(), fds.size(), 5000) <= 0) break;
        for (size_t i = 0; i < fds.size(); i++) {
          uint64_t mine = i == size_t(streams - 1) ? amount - share * uint64_t(streams - 1) : share;
          if (!fds[i].revents || got[i] >= mine) continue;
          char* at = sink.data() + i * part;
          ssize_t k = recv(fds[i].fd, at + (got[i] % part),
                           std::min<uint64_t>(part - got[i] % part, mine - got[i]), 0);
          if (k > 0) got[i] += uint64_t(k);
          if (k <= 0 || got[i] >= mine) {
            fds[i].fd = -fds[i].fd - 1;
            open--;
          }
        }
      }
      recvCpu += cpuNow(RUSAGE_THREAD) - c0;
    }
    for (std::thread& t : threads) t.join();
  };
  if (!perBuffer) connectAll();
  auto t0 = Clock::now();
  for (uint64_t done = 0; done < total;) {
    uint64_t n = std::min<uint64_t>(buf, total - done);
    if (perBuffer) connectAll();
    move(n);
    if (perBuffer) closeAll();
    done += n;
  }
  double s = seconds(t0);
  closeAll();
  close(lfd);
  double gb = double(total) / 1e9;
  return {double(total) / s / 1e6, recvCpu / gb, sendCpu / gb};
}

}  // namespace

int main(int argc, char** argv) {
  // The gateway's files live in memory, so that disk speed stays out of
  // the figures.
  if (getenv("TMPDIR") == nullptr && access("/dev/shm", W_OK) == 0) setenv("TMPDIR", "/dev/shm", 1);
  if (argc > 1 && strcmp(argv[1], "cycles") == 0) {
    startGateway(1);
    GwsimFixture* gw = gateway.get();
    inChild([&] { return moverRun(*gw, 16 << 20, 1 << 20, false); });
    std::vector<double> c = inChild([&] { return smallReads(*gw); });
    printf("one transfer cycle of a 4 KiB quor_Read: %.0f us (client CPU %.0f us)\n", c[0], c[1]);
    return 0;
  }
  uint64_t mib = argc > 1 ? strtoull(argv[1], nullptr, 10) : 1024;
  size_t bufMib = argc > 2 ? strtoull(argv[2], nullptr, 10) : 64;
  uint64_t total = mib << 20;
  size_t buf = bufMib << 20;
  printf("%llu MiB in quor_Write/quor_Read calls of %zu MiB, against gwsim's memory store; plain\n"
         "TCP with the same streams and buffer, a receiving and a sending thread per stream\n",
         (unsigned long long)mib, bufMib);
  printf("tcp+s: connections and threads made per %zu MiB inside the clock, as a call makes\n"
         "them; tcp: made once before the clock. tcp-w sends 32 KiB pieces into 1 MiB receives, as\n"
         "a write moves them; tcp-r 1 MiB pieces into the buffer, as a read\n",
         bufMib);
  printf("file store: the same calls against the file store (overwrite, then a new file)\n");
  printf("CPU: seconds per GB of the client process; of the TCP senders (tcp-w) or receivers (tcp-r)\n");
  printf("MB/s:\n%6s | %6s %6s | %7s %7s %6s %6s | %10s %6s %6s | %5s %5s %5s %5s | %5s %5s %5s %5s | %s\n",
         "movers", "write", "read", "tcp-w+s", "tcp-r+s", "tcp-w", "tcp-r", "file:write", "read", "new",
         "w/t+s", "r/t+s", "w/tcp", "r/tcp", "cpu:w", "r", "tcp-w", "tcp-r", "limit");
  for (int movers : {1, 4, 8, 16}) {
    startGateway(movers, true);
    GwsimFixture* gw = gateway.get();
    std::vector<double> m = inChild([&] { return moverRun(*gw, total, buf, true); });
    startGateway(movers, false);
    gw = gateway.get();
    std::vector<double> f = inChild([&] { return moverRun(*gw, total, buf, false); });
    TcpFigures wSet = tcpRun(movers, total, buf, true, false);
    TcpFigures rSet = tcpRun(movers, total, buf, true, true);
    TcpFigures w = tcpRun(movers, total, buf, false, false);
    TcpFigures r = tcpRun(movers, total, buf, false, true);
    // The store limits a run when the file store is clearly slower than
    // the memory store with the same client.
    bool store = f[0] < 0.9 * m[0] || f[1] < 0.9 * m[1];
    printf("%6d | %6.0f %6.0f | %7.0f %7.0f %6.0f %6.0f | %10.0f %6.0f %6.0f | %5.2f %5.2f %5.2f %5.2f | "
           "%5.2f %5.2f %5.2f %5.2f | %s\n",
           movers, m[0], m[1], wSet.mbs, rSet.mbs, w.mbs, r.mbs, f[0], f[1], f[2], m[0] / wSet.mbs,
           m[1] / rSet.mbs, m[0] / w.mbs, m[1] / r.mbs, m[3], m[4], w.sendCpu, r.recvCpu,
           store ? "file store (gateway)" : "client and protocol");
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
