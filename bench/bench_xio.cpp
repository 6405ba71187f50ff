// Throughput of the direct data connection (quor_OpenX with quor_ReadX and
// quor_WriteX) against the simulator on loopback, beside one plain loopback
// TCP stream moving the same bytes in the same run: sent in the 32 KiB
// pieces the client's direct writes use, received into the same 1 MiB
// buffer; the ratio of the two, with the CPU time of each (the client
// process; the TCP receiver, or sender for writes). The gateway serves
// its memory store (bytes from memory, written bytes dropped), so that the
// ratio measures the client and the protocol, and then its file store, on
// the file system bench_data_io uses. The TCP pair is timed once connected,
// so each direct transfer is also set against it without its open (the
// gateway's open, the data connection) and close. Also the cost of one
// small (4 KiB) direct read request.
//
//   bench_xio [MiB]     (default 256 MiB per transfer; median of 3 runs)
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
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

const size_t kBuf = 1 << 20;

double now() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

double cpuNow(int who) {
  struct rusage r;
  getrusage(who, &r);
  return double(r.ru_utime.tv_sec + r.ru_stime.tv_sec) +
         double(r.ru_utime.tv_usec + r.ru_stime.tv_usec) / 1e6;
}

struct Timing {
  double wall = -1;
  double cpu = 0;   // the client process, or the TCP receiver
  double cpu2 = 0;  // the TCP sender
  double data = 0;  // a direct transfer's request and data phases, without its open and close
};

// Moves total bytes over a loopback TCP pair, sent 32 KiB at a time and
// received kBuf at a time.
Timing loopbackTcp(uint64_t total) {
  Timing out;
  int lfd = socket(AF_INET, SOCK_STREAM, 0);
  struct sockaddr_in sa;
  memset(&sa, 0, sizeof sa);
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof sa;
  if (bind(lfd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) < 0 || listen(lfd, 1) < 0 ||
      getsockname(lfd, reinterpret_cast<sockaddr*>(&sa), &len) < 0)
    return out;
  std::thread sender([&] {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) < 0) return;
    std::vector<char> buf(kBuf, 'x');
    uint64_t left = total;
    double c0 = cpuNow(RUSAGE_THREAD);
    while (left > 0) {
      ssize_t n = send(fd, buf.data(), std::min<uint64_t>(left, 32768), MSG_NOSIGNAL);
      if (n <= 0) break;
      left -= uint64_t(n);
    }
    out.cpu2 = cpuNow(RUSAGE_THREAD) - c0;
    close(fd);
  });
  int fd = accept(lfd, nullptr, nullptr);
  std::vector<char> buf(kBuf);
  double c0 = cpuNow(RUSAGE_THREAD);
  double t0 = now();
  uint64_t got = 0;
  while (got < total) {
    ssize_t n = recv(fd, buf.data(), kBuf, 0);
    if (n <= 0) break;
    got += uint64_t(n);
  }
  double t = now() - t0;
  out.cpu = cpuNow(RUSAGE_THREAD) - c0;
  sender.join();
  close(fd);
  close(lfd);
  if (got == total) out.wall = t;
  return out;
}

// One whole direct read or write of total bytes in kBuf phases.
Timing direct(bool read, uint64_t total) {
  Timing out;
  std::vector<char> buf(kBuf, 'y');
  double c0 = cpuNow(RUSAGE_SELF);
  double t0 = now();
  int fd = quor_OpenX(1, "/bench", read ? O_RDONLY : O_WRONLY | O_CREAT | O_TRUNC, 0644,
                      nullptr, nullptr, nullptr);
  if (fd < 0) return out;
  double tOpen = now();  // the data phase starts with the request
  int eof = 0;
  int64_t rc = read ? quor_ReadX(0x80000000u, fd, nullptr, total, &eof)
                    : quor_WriteX(0x80000000u, fd, nullptr, total);
  uint64_t moved = 0;
  while (rc >= 0 && moved < total && !eof) {
    uint64_t n = std::min<uint64_t>(kBuf, total - moved);
    rc = read ? quor_ReadX(0, fd, buf.data(), n, &eof) : quor_WriteX(0, fd, buf.data(), n);
    if (rc > 0) moved += uint64_t(rc);
  }
  double tData = now();
  quor_Close(fd);
  if (moved == total) {
    out.wall = now() - t0;
    out.data = tData - tOpen;
    out.cpu = cpuNow(RUSAGE_SELF) - c0;
  }
  return out;
}

// The run of median wall time of 3.
Timing median(const std::function<Timing()>& f) {
  std::vector<Timing> v;
  for (int i = 0; i < 3; i++) {
    v.push_back(f());
    if (v.back().wall < 0) return v.back();
  }
  std::sort(v.begin(), v.end(), [](const Timing& a, const Timing& b) { return a.wall < b.wall; });
  return v[1];
}

}  // namespace

int main(int argc, char** argv) {
  uint64_t mib = argc > 1 ? strtoull(argv[1], nullptr, 10) : 256;
  uint64_t total = mib << 20;
  // The gateway's files in memory, as bench_data_io keeps them.
  if (getenv("TMPDIR") == nullptr && access("/dev/shm", W_OK) == 0) setenv("TMPDIR", "/dev/shm", 1);
  auto mbs = [&](double t) { return double(total) / t / 1e6; };
  double gb = double(total) / 1e9;
  printf("direct data connection, %llu MiB per transfer, %zu KiB buffers (median of 3); CPU in s/GB\n",
         (unsigned long long)mib, kBuf >> 10);
  Timing tcp = median([&] { return loopbackTcp(total); });
  if (tcp.wall < 0) return 1;
  printf("  %-30s %8.0f MB/s   CPU receiver %.2f, sender %.2f\n", "loopback TCP (32 KiB sends)",
         mbs(tcp.wall), tcp.cpu / gb, tcp.cpu2 / gb);
  fflush(stdout);
  for (bool memory : {true, false}) {
    GwsimConfig conf;
    conf.user("alice", "wonderland").set("Uid", 1001);
    conf.dir("/").set("Uid", 1001).set("Mode", "0755");
    if (memory) conf.movers().set("Store", "memory");
    std::string cfg = conf.text();
    pid_t child = fork();
    if (child == 0) {
      // The fixture must go before the child does: _exit skips destructors,
      // and a gateway left running keeps its directory.
      auto measure = [&]() -> int {
        // The library starts once per process: each store gets a process.
        GwsimFixture gw(cfg);
        if (!gw.running()) {
          fprintf(stderr, "gwsim did not start: %s\n", gw.stderrText().c_str());
          return 1;
        }
        std::string server = "127.0.0.1/" + std::to_string(gw.port());
        setenv("QUOR_SERVER_HOST", server.c_str(), 1);
        setenv("QUOR_HOSTNAME", "localhost", 1);
        setenv("QUOR_CFG_FILE_PATH", gw.dir().c_str(), 1);
        quor_SetCombo("alice", "wonderland");
        qelapi_tcontext_t* ts = nullptr;
        if (qelapi_init(&ts) != 0) return 1;
        const char* store = memory ? "memory store" : "file store";
        for (bool read : {false, true}) {
          if (read && memory) {
            // The memory store serves only where the stored file has data.
            std::vector<char> block(1 << 20, 'b');
            int hf = open((gw.rootDir() + "/bench").c_str(), O_WRONLY);
            for (uint64_t at = 0; hf >= 0 && at < total; at += block.size())
              if (pwrite(hf, block.data(), block.size(), off_t(at)) < 0) break;
            if (hf >= 0) close(hf);
          }
          Timing t = median([&] { return direct(read, total); });
          if (t.wall < 0) {
            fprintf(stderr, "a transfer failed\n");
            return 1;
          }
          std::string what = std::string(read ? "quor_ReadX" : "quor_WriteX") + ", " + store;
          printf("  %-30s %8.0f MB/s   CPU client %.2f   ratio to TCP %.2f   without open/close %.2f\n",
                 what.c_str(), mbs(t.wall), t.cpu / gb, tcp.wall / t.wall, tcp.wall / t.data);
          fflush(stdout);
        }
        if (!memory) {
          // Small reads: open once, then request and read 4 KiB at a time.
          int fd = quor_OpenX(1, "/bench", O_RDONLY, 0, nullptr, nullptr, nullptr);
          std::vector<char> small(4096);
          int n = 2000, eof = 0;
          double t0 = now();
          for (int i = 0; i < n; i++) {
            if (quor_ReadX(0x80000000u, fd, nullptr, small.size(), &eof) < 0 ||
                quor_ReadX(0, fd, small.data(), small.size(), &eof) != int64_t(small.size())) {
              fprintf(stderr, "small read %d failed\n", i);
              return 1;
            }
          }
          double per = (now() - t0) / n * 1e6;
          quor_Close(fd);
          printf("  %-30s %8.1f us per 4 KiB request\n", "quor_ReadX small", per);
          // Beside it, one plain request and reply on the control connection.
          quor_stat_t st;
          t0 = now();
          for (int i = 0; i < n; i++) quor_Stat("/bench", &st);
          printf("  %-30s %8.1f us per call\n", "quor_Stat", (now() - t0) / n * 1e6);
          fflush(stdout);
        }
        return 0;
      };
      _exit(measure());
    }
    int status = 0;
    waitpid(child, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return 1;
  }
  return 0;
}
