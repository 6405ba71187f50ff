// brix with archives on a gateway that serves its own file system (gwsim's
// lfx run mode), in the same run as the baselines:
//
//   big    brix -c and brix -x of an archive of one file of MiB bytes
//          (default 1024) on the gateway host, beside plain loopback TCP
//          moving the same bytes over one stream with brix's buffer size
//          (8 MiB); wall and CPU seconds of each brix run.
//   small  one brix -x of 1,000 small members that lie apart in the
//          archive (1,000 ranges, each its own lfx transfer: the first
//          over a new data socket, the rest over the pooled one), beside
//          the same 1,000 members' bytes moved over 1,000 fresh loopback
//          connections and over one kept connection.
//
//   bench_brix_lfx [big|small|all] [MiB]
//
// Everything lives in the session's temporary directory. Figures taken on
// a loaded machine vary; the CPU seconds show what the wall time hides.
#include <fcntl.h>
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "brix_session.h"
#include "timed_run.h"

namespace {

using Clock = std::chrono::steady_clock;

double seconds(Clock::time_point t0) { return std::chrono::duration<double>(Clock::now() - t0).count(); }

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

void check(const TimedRun& r, const char* what) {
  if (r.status != 0) {
    fprintf(stderr, "%s failed with status %d\n", what, r.status);
    exit(1);
  }
}

struct listener {
  int fd = -1;
  struct sockaddr_in addr = {};
};

listener listenLoopback() {
  listener l;
  l.fd = socket(AF_INET, SOCK_STREAM, 0);
  l.addr.sin_family = AF_INET;
  l.addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t al = sizeof l.addr;
  if (bind(l.fd, reinterpret_cast<sockaddr*>(&l.addr), sizeof l.addr) != 0 || listen(l.fd, 64) != 0 ||
      getsockname(l.fd, reinterpret_cast<sockaddr*>(&l.addr), &al) != 0)
    exit(2);
  return l;
}

void sendAll(int fd, const char* p, size_t n) {
  while (n > 0) {
    ssize_t k = send(fd, p, n, MSG_NOSIGNAL);
    if (k <= 0) exit(2);
    p += k;
    n -= size_t(k);
  }
}

bool recvAll(int fd, char* p, size_t n) {
  while (n > 0) {
    ssize_t k = recv(fd, p, n, 0);
    if (k <= 0) return false;
    p += k;
    n -= size_t(k);
  }
  return true;
}

// Plain loopback TCP, one stream, buf-sized sends and receives: MB/s.
double loopbackTcp(uint64_t total, size_t buf) {
  listener l = listenLoopback();
  auto t0 = Clock::now();
  std::thread sender([&] {
    int c = socket(AF_INET, SOCK_STREAM, 0);
    if (connect(c, reinterpret_cast<sockaddr*>(&l.addr), sizeof l.addr) != 0) exit(2);
    std::vector<char> b(buf, 's');
    for (uint64_t sent = 0; sent < total;) {
      size_t n = size_t(std::min<uint64_t>(buf, total - sent));
      sendAll(c, b.data(), n);
      sent += n;
    }
    close(c);
  });
  int r = accept(l.fd, nullptr, nullptr);
  std::vector<char> b(buf);
  uint64_t got = 0;
  for (ssize_t n; (n = recv(r, b.data(), buf, 0)) > 0;) got += uint64_t(n);
  sender.join();
  double t = seconds(t0);
  close(r);
  close(l.fd);
  return double(got) / t / 1e6;
}

// count pieces of bytes each over loopback: a fresh connection per piece,
// or one connection for all. Seconds.
double piecesOverTcp(int count, size_t bytes, bool fresh) {
  listener l = listenLoopback();
  std::vector<char> data(bytes, 'm');
  auto t0 = Clock::now();
  std::thread receiver([&] {
    std::vector<char> b(bytes);
    int r = -1;
    for (int i = 0; i < count; i++) {
      if (r < 0) r = accept(l.fd, nullptr, nullptr);
      if (!recvAll(r, b.data(), bytes)) exit(2);
      if (fresh) {
        close(r);
        r = -1;
      }
    }
    if (r >= 0) close(r);
  });
  int c = -1;
  for (int i = 0; i < count; i++) {
    if (c < 0) {
      c = socket(AF_INET, SOCK_STREAM, 0);
      if (connect(c, reinterpret_cast<sockaddr*>(&l.addr), sizeof l.addr) != 0) exit(2);
    }
    sendAll(c, data.data(), bytes);
    if (fresh) {
      close(c);
      c = -1;
    }
  }
  receiver.join();
  if (c >= 0) close(c);
  double t = seconds(t0);
  close(l.fd);
  return t;
}

}  // namespace

int main(int argc, char** argv) {
  std::string which = argc > 1 ? argv[1] : "all";
  uint64_t mib = argc > 2 ? strtoull(argv[2], nullptr, 10) : 1024;
  BrixSession s("Lfx = {\n  Root = @DIR@/lfx\n}\n");
  if (!s.ready()) {
    fprintf(stderr, "gwsim did not start\n");
    return 1;
  }
  std::string home = s.gw.dir() + "/lfx/home/alice";
  shellRun("mkdir -p " + home + " && chown 1001:100 " + home);
  std::vector<std::string> env = s.environment();
  std::string brix = BrixSession::program();
  const int rounds = 3;

  if (which == "big" || which == "all") {
    std::string src = s.work + "/src";
    shellRun("mkdir -p " + src + "/f");
    {
      int fd = open((src + "/f/data").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      std::vector<char> block(1 << 20);
      std::mt19937 rng(7);
      for (char& c : block) c = char(rng());
      for (uint64_t i = 0; i < mib; i++) {
        block[0] = char(i);
        if (write(fd, block.data(), block.size()) != ssize_t(block.size())) return 2;
      }
      close(fd);
    }
    std::vector<double> cs, ccpu, xs, xcpu, tcp;
    uint64_t bytes = uint64_t(mib) << 20;
    for (int i = 0; i < rounds; i++) {
      TimedRun c = timedRun({brix, "-c", "-f", "/home/alice/big.tar", "f"}, env, src);
      check(c, "brix -c");
      std::string dir = s.work + "/x";
      shellRun("rm -rf " + dir + " && mkdir -p " + dir);
      TimedRun x = timedRun({brix, "-x", "-f", "/home/alice/big.tar"}, env, dir);
      check(x, "brix -x");
      cs.push_back(c.seconds);
      ccpu.push_back(c.cpuSeconds);
      xs.push_back(x.seconds);
      xcpu.push_back(x.cpuSeconds);
      tcp.push_back(loopbackTcp(bytes, 8u << 20));
    }
    double c = median(cs), x = median(xs), t = median(tcp);
    double cm = double(bytes) / c / 1e6, xm = double(bytes) / x / 1e6;
    printf("archive of one %llu MiB file on the gateway host: brix -c %.3f s (%.0f MB/s, CPU %.3f s), brix -x "
           "%.3f s (%.0f MB/s, CPU %.3f s), loopback TCP one stream 8 MiB buffers %.0f MB/s; ratio brix -c / "
           "TCP %.2f, brix -x / TCP %.2f (medians of %d)\n",
           (unsigned long long)mib, c, cm, median(ccpu), x, xm, median(xcpu), t, cm / t, xm / t, rounds);
    fflush(stdout);
    shellRun("rm -rf " + src + " " + s.work + "/x " + home + "/big.tar " + home + "/big.tar.idx");
  }

  if (which == "small" || which == "all") {
    // 2,000 members of 8 KiB; every other one is extracted, so each lies
    // apart from the next and is read as a range of its own.
    const int members = 2000;
    const size_t size = 8192;
    std::string src = s.work + "/small";
    shellRun("mkdir -p " + src + "/m");
    std::string data(size, 'd');
    std::vector<std::string> names;
    for (int i = 0; i < members; i++) {
      char name[32];
      snprintf(name, sizeof name, "m/f%05d", i);
      writeFileAt(src + "/" + name, data);
      if (i % 2 == 0) names.push_back(name);
    }
    check(timedRun({brix, "-c", "-f", "/home/alice/small.tar", "m"}, env, src), "brix -c");
    std::string list = s.work + "/names";
    {
      std::string text;
      for (const std::string& n : names) text += n + "\n";
      writeFileAt(list, text);
    }
    std::vector<double> xs, xcpu, fresh, kept;
    for (int i = 0; i < rounds; i++) {
      std::string dir = s.work + "/sx";
      shellRun("rm -rf " + dir + " && mkdir -p " + dir);
      TimedRun x = timedRun({brix, "-x", "-f", "/home/alice/small.tar", "-L", list}, env, dir);
      check(x, "brix -x of 1,000 members");
      xs.push_back(x.seconds);
      xcpu.push_back(x.cpuSeconds);
      fresh.push_back(piecesOverTcp(int(names.size()), size + 512, true));
      kept.push_back(piecesOverTcp(int(names.size()), size + 512, false));
    }
    double x = median(xs), f = median(fresh), k = median(kept);
    printf("1,000 members of 8 KiB read as 1,000 ranges of a 2,000-member archive on the gateway host: brix -x "
           "%.3f s (%.2f ms a range, CPU %.3f s); the same bytes over loopback TCP: 1,000 fresh connections "
           "%.3f s, one kept connection %.3f s; what a fresh connection per range would add to brix: %.3f s "
           "(medians of %d)\n",
           x, x * 1000.0 / double(names.size()), median(xcpu), f, k, f - k, rounds);
  }
  return 0;
}
