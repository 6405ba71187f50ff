// Creating archives in gwsim's store with brix, in the same run as the
// baselines:
//
//   big    one file of MiB bytes (default 4096) with -T 1, 4 and 8 into a
//          class of width 1 and of width 4, beside the same create with -E
//          (a local archive) and beside loopback TCP moving the same bytes
//          over W streams with brix's buffer size (8 MiB);
//   small  FILES files of 1 KiB (default 100,000) the same way.
//
//   bench_brix_store_create [big|small|all] [MiB] [FILES] [PACKET]
//
// PACKET: the most a mover asks for at a time (default 8388608).
//
// The movers keep nothing (the memory store), so the figures are brix's
// and the network's, not the host file system's: the local file is read
// from the page cache, the -E archive goes to the session's directory.
// A mover asks for up to 8 MiB at a time, brix's buffer and the TCP
// baseline's send size, so that both sides move the same pieces. Each
// figure is the median of 3 runs (by wall time); beside a store create's
// wall time is brix's own transfer time (from its first mover to the last
// reply), the rest being start-up, index and log-out. Wall and CPU seconds
// are printed side by side: on a loaded machine the wall times move, the
// CPU times much less.
#include <fcntl.h>
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
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

std::string config(long packet) {
  return std::string(
             "Files = {\n"
             "  /home = {\n    Type = directory\n  }\n"
             "  /home/alice = {\n    Type = directory\n    Uid = 1001\n    Gid = 100\n  }\n"
             "}\n"
             "COS = {\n"
             "  11 = {\n    Name = archive\n  }\n"
             "  4 = {\n    Name = wide\n    StripeWidth = 4\n  }\n"
             "}\n"
             "Movers = {\n  Protocol = mover\n  Store = memory\n  PacketSize = ") +
         std::to_string(packet) + "\n}\n";
}

void check(const TimedRun& r, const char* what) {
  if (r.status != 0) {
    fprintf(stderr, "%s failed with status %d\n", what, r.status);
    exit(1);
  }
}

// Plain loopback TCP: total bytes over `streams` connections at once, each
// with buf-sized sends and receives; MB/s.
double loopbackTcp(uint64_t total, size_t buf, int streams) {
  int ls = socket(AF_INET, SOCK_STREAM, 0);
  struct sockaddr_in a = {};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t al = sizeof a;
  if (bind(ls, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(ls, streams) != 0 ||
      getsockname(ls, reinterpret_cast<sockaddr*>(&a), &al) != 0)
    exit(2);
  uint64_t each = total / uint64_t(streams);
  auto t0 = Clock::now();
  std::vector<std::thread> threads;
  for (int i = 0; i < streams; i++)
    threads.emplace_back([&] {
      int c = socket(AF_INET, SOCK_STREAM, 0);
      if (connect(c, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) exit(2);
      std::vector<char> b(buf, 's');
      for (uint64_t sent = 0; sent < each;) {
        ssize_t n = send(c, b.data(), size_t(std::min<uint64_t>(buf, each - sent)), 0);
        if (n <= 0) exit(2);
        sent += uint64_t(n);
      }
      close(c);
    });
  std::vector<std::thread> readers;
  std::vector<uint64_t> got(size_t(streams), 0);
  for (int i = 0; i < streams; i++) {
    int r = accept(ls, nullptr, nullptr);
    readers.emplace_back([r, buf, &got, i] {
      std::vector<char> b(buf);
      for (ssize_t n; (n = recv(r, b.data(), buf, 0)) > 0;) got[size_t(i)] += uint64_t(n);
      close(r);
    });
  }
  for (auto& t : threads) t.join();
  for (auto& t : readers) t.join();
  double t = seconds(t0);
  close(ls);
  uint64_t sum = 0;
  for (uint64_t g : got) sum += g;
  return double(sum) / t / 1e6;
}

// The transfer time of brix's last create, from its log line in the
// journal; -1 when none is there.
double lastTransferTime(const BrixSession& s) {
  const std::string key = "Transfer time: ";
  double t = -1;
  for (const std::string& line : s.gw.journalLines()) {
    size_t at = line.find(key);
    if (at != std::string::npos) t = atof(line.c_str() + at + key.size());
  }
  return t;
}

struct Figure {
  TimedRun run;
  double transfer = -1;  // brix's own transfer time (store creates)
};

Figure medianOf(std::vector<Figure> v) {
  std::sort(v.begin(), v.end(), [](const Figure& a, const Figure& b) { return a.run.seconds < b.run.seconds; });
  return v[v.size() / 2];
}

// brix -c of `what` (in src) with -T threads, into the store (width 1 or 4)
// or locally with -E.
TimedRun create(const BrixSession& s, const std::string& src, const std::string& what, int threads, int width,
                bool local) {
  std::string brix = BrixSession::program();
  std::vector<std::string> args = {brix, "-c", "-T", std::to_string(threads)};
  if (local) {
    args.insert(args.end(), {"-E", "-f", s.work + "/local.tar"});
  } else {
    args.insert(args.end(), {"-f", "/home/alice/bench.tar"});
    if (width == 4) args.insert(args.end(), {"-Y", "4"});
  }
  args.push_back(what);
  TimedRun r = timedRun(args, s.environment(), src);
  check(r, local ? "brix -c -E" : "brix -c");
  if (local) {
    unlink((s.work + "/local.tar").c_str());
    unlink((s.work + "/local.tar.idx").c_str());
  }
  return r;
}

void runSet(const BrixSession& s, const std::string& src, const std::string& what, uint64_t bytes,
            const char* label) {
  const size_t buf = 8u << 20;
  const int runs = 3;
  for (int width : {1, 4}) {
    std::vector<double> rates;
    for (int i = 0; i < runs; i++) rates.push_back(loopbackTcp(bytes, buf, width));
    std::sort(rates.begin(), rates.end());
    double tcp = rates[rates.size() / 2];
    for (int threads : {1, 4, 8}) {
      std::vector<Figure> es, qs;
      for (int i = 0; i < runs; i++) {
        es.push_back({create(s, src, what, threads, width, true), -1});
        TimedRun r = create(s, src, what, threads, width, false);
        qs.push_back({r, lastTransferTime(s)});
      }
      Figure e = medianOf(es), q = medianOf(qs);
      double mbs = double(bytes) / q.run.seconds / 1e6;
      printf("%s width %d -T %d: store %.3f s wall (transfer %.3f s) %.3f s CPU (%.0f MB/s), -E %.3f s wall %.3f s CPU; "
             "loopback TCP %d stream(s) 8 MiB buffers %.0f MB/s; ratio store / TCP %.2f, store / -E %.2f\n",
             label, width, threads, q.run.seconds, q.transfer, q.run.cpuSeconds, mbs, e.run.seconds, e.run.cpuSeconds,
             width, tcp, mbs / tcp, q.run.seconds / e.run.seconds);
      fflush(stdout);
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  std::string which = argc > 1 ? argv[1] : "all";
  uint64_t mib = argc > 2 ? strtoull(argv[2], nullptr, 10) : 4096;
  long files = argc > 3 ? strtol(argv[3], nullptr, 10) : 100000;
  long packet = argc > 4 ? strtol(argv[4], nullptr, 10) : 8388608;
  if (packet <= 0) {
    fprintf(stderr, "PACKET must be a positive byte count\n");
    return 2;
  }
  BrixSession s(config(packet));
  printf("movers ask for up to %ld bytes at a time\n", packet);
  if (!s.ready()) {
    fprintf(stderr, "gwsim did not start\n");
    return 1;
  }
  std::string src = s.work + "/src";
  shellRun("mkdir -p " + src);

  if (which == "big" || which == "all") {
    shellRun("mkdir -p " + src + "/big");
    int fd = open((src + "/big/data").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    std::vector<char> block(1 << 20);
    std::mt19937 rng(7);
    for (char& c : block) c = char(rng());
    for (uint64_t i = 0; i < mib; i++) {
      block[0] = char(i);
      if (write(fd, block.data(), block.size()) != ssize_t(block.size())) return 2;
    }
    close(fd);
    char label[64];
    snprintf(label, sizeof label, "one %llu MiB file", (unsigned long long)mib);
    runSet(s, src, "big", mib << 20, label);
    unlink((src + "/big/data").c_str());
  }

  if (which == "small" || which == "all") {
    std::string dir = src + "/small";
    std::string kib(1024, 'k');
    for (long i = 0; i < files; i++) {
      std::string sub = dir + "/d" + std::to_string(i / 1000);
      if (i % 1000 == 0) shellRun("mkdir -p " + sub);
      kib[0] = char('a' + i % 26);
      writeFileAt(sub + "/f" + std::to_string(i), kib);
    }
    char label[64];
    snprintf(label, sizeof label, "%ld files of 1 KiB", files);
    // What goes over the wire: a header and a block per file.
    runSet(s, src, "small", uint64_t(files) * 1536, label);
  }
  return 0;
}
