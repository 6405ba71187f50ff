// Throughput of the direct data connection (quor_OpenX with quor_ReadX and
// quor_WriteX) against the simulator on loopback, beside plain loopback TCP
// moving the same bytes with the same buffer size in the same run, and the
// ratio of the two. Also the cost of one small (4 KiB) direct read request.
//
//   bench_xio [MiB]     (default 256 MiB per transfer; best of 3 runs)
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
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

// Moves total bytes over a loopback TCP pair, kBuf at a time: seconds.
double loopbackTcp(uint64_t total) {
  int lfd = socket(AF_INET, SOCK_STREAM, 0);
  struct sockaddr_in sa;
  memset(&sa, 0, sizeof sa);
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof sa;
  if (bind(lfd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) < 0 || listen(lfd, 1) < 0 ||
      getsockname(lfd, reinterpret_cast<sockaddr*>(&sa), &len) < 0)
    return -1;
  std::thread sender([&] {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) < 0) return;
    std::vector<char> buf(kBuf, 'x');
    uint64_t left = total;
    while (left > 0) {
      ssize_t n = send(fd, buf.data(), std::min<uint64_t>(left, kBuf), MSG_NOSIGNAL);
      if (n <= 0) break;
      left -= uint64_t(n);
    }
    close(fd);
  });
  int fd = accept(lfd, nullptr, nullptr);
  std::vector<char> buf(kBuf);
  double t0 = now();
  uint64_t got = 0;
  while (got < total) {
    ssize_t n = recv(fd, buf.data(), kBuf, 0);
    if (n <= 0) break;
    got += uint64_t(n);
  }
  double t = now() - t0;
  sender.join();
  close(fd);
  close(lfd);
  return got == total ? t : -1;
}

// One whole direct read or write of total bytes in kBuf phases: seconds.
double direct(bool read, uint64_t total) {
  std::vector<char> buf(kBuf, 'y');
  double t0 = now();
  int fd = quor_OpenX(1, "/bench", read ? O_RDONLY : O_WRONLY | O_CREAT | O_TRUNC, 0644,
                      nullptr, nullptr, nullptr);
  if (fd < 0) return -1;
  int eof = 0;
  int64_t rc = read ? quor_ReadX(0x80000000u, fd, nullptr, total, &eof)
                    : quor_WriteX(0x80000000u, fd, nullptr, total);
  uint64_t moved = 0;
  while (rc >= 0 && moved < total && !eof) {
    uint64_t n = std::min<uint64_t>(kBuf, total - moved);
    rc = read ? quor_ReadX(0, fd, buf.data(), n, &eof) : quor_WriteX(0, fd, buf.data(), n);
    if (rc > 0) moved += uint64_t(rc);
  }
  quor_Close(fd);
  return moved == total ? now() - t0 : -1;
}

double best(const std::function<double()>& f) {
  double b = 1e30;
  for (int i = 0; i < 3; i++) {
    double t = f();
    if (t < 0) return -1;
    b = std::min(b, t);
  }
  return b;
}

}  // namespace

int main(int argc, char** argv) {
  uint64_t mib = argc > 1 ? strtoull(argv[1], nullptr, 10) : 256;
  uint64_t total = mib << 20;
  GwsimConfig cfg;
  cfg.user("alice", "wonderland").set("Uid", 1001);
  cfg.dir("/").set("Uid", 1001).set("Mode", "0755");
  GwsimFixture gw(cfg.text());
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

  auto mbs = [&](double t) { return double(total) / t / 1e6; };
  printf("direct data connection, %llu MiB per transfer, %zu KiB buffers (best of 3)\n",
         (unsigned long long)mib, kBuf >> 10);
  double tcp = best([&] { return loopbackTcp(total); });
  if (tcp < 0) return 1;
  printf("  %-22s %10.0f MB/s\n", "loopback TCP", mbs(tcp));
  fflush(stdout);
  // Throughput ratio against loopback TCP: 1.0 would be as fast.
  for (bool read : {false, true}) {
    double t = best([&] { return direct(read, total); });
    if (t < 0) {
      fprintf(stderr, "a transfer failed\n");
      return 1;
    }
    printf("  %-22s %10.0f MB/s   ratio %.2f\n", read ? "quor_ReadX" : "quor_WriteX", mbs(t),
           tcp / t);
    fflush(stdout);
  }

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
  printf("  %-22s %10.1f us per 4 KiB request\n", "quor_ReadX small", per);
  // Beside it, one plain request and reply on the control connection.
  quor_stat_t st;
  t0 = now();
  for (int i = 0; i < n; i++) quor_Stat("/bench", &st);
  printf("  %-22s %10.1f us per call\n", "quor_Stat", (now() - t0) / n * 1e6);
  return 0;
}
