// Reading archives kept in gwsim's store with brix, in the same run as the
// baselines:
//
//   one   one 1 MiB member from the middle of a 10 GiB stored archive
//         (sparse: 5 GiB members of holes at either end, 1,000 members,
//         indexed in the store by brix -X, which seeks over member data)
//         with brix -x, beside one bare list read of the member's range
//         (quor_Open, quor_SetFileOffset, quor_Read in a process of its
//         own) and beside brix -t of the member (start-up and log-in);
//   full  brix -x and brix -K of a stored archive of one file of MiB bytes
//         (default 1024), beside plain loopback TCP moving the same bytes
//         over one stream with brix's buffer size (8 MiB); peak memory of
//         brix -x.
//
//   bench_brix_store_read [one|full|all] [MiB]
//
// Everything lives in the session's temporary directory.
#include <fcntl.h>
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "brix_session.h"
#include "brix_ustar.h"
#include "quor_api.h"
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

void header(const char* name, uint64_t size, unsigned char block[512]) {
  bif_entry_t e = {};
  strncpy(e.bent_name, name, sizeof e.bent_name - 1);
  e.bent_type = BTO_FILE;
  e.bent_mode = 0644;
  e.bent_fsize = size;
  e.bent_mtime = 1700000000;
  strcpy(e.bent_uname, "root");
  strcpy(e.bent_gname, "root");
  brix_BuildPosixHeader(&e, block);
}

// pad1 (5 GiB of holes), empty members, mid.bin (1 MiB of data), empty
// members, pad2 (5 GiB of holes): 10 GiB that take little disk. The byte
// offset of mid.bin's data goes to *midAt.
void makeSparseArchive(const std::string& path, uint64_t* midAt) {
  const uint64_t pad = 5ull << 30, mid = 1u << 20;
  int fd = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
  std::vector<unsigned char> out;
  unsigned char block[512];
  off_t at = 0;
  auto flush = [&] {
    if (!out.empty() && pwrite(fd, out.data(), out.size(), at) != ssize_t(out.size())) exit(2);
    at += off_t(out.size());
    out.clear();
  };
  auto put = [&](const void* p, size_t n) {
    const unsigned char* c = static_cast<const unsigned char*>(p);
    out.insert(out.end(), c, c + n);
  };
  header("pad1", pad, block);
  put(block, 512);
  flush();
  at += off_t(pad);
  for (int i = 0; i < 498; i++) {
    char name[32];
    snprintf(name, sizeof name, "e/m%04d", i);
    header(name, 0, block);
    put(block, 512);
  }
  header("mid.bin", mid, block);
  put(block, 512);
  *midAt = uint64_t(at) + out.size();
  std::string data(mid, '\0');
  std::mt19937 rng(5);
  for (char& c : data) c = char(rng());
  put(data.data(), data.size());
  for (int i = 498; i < 997; i++) {
    char name[32];
    snprintf(name, sizeof name, "e/m%04d", i);
    header(name, 0, block);
    put(block, 512);
  }
  header("pad2", pad, block);
  put(block, 512);
  flush();
  at += off_t(pad);
  std::vector<unsigned char> end(10240, 0);
  put(end.data(), end.size());
  flush();
  close(fd);
}

// One bare list read of [at, at + len) in a process of its own: its seconds
// for open, positioning and the read.
double bareRead(const BrixSession& s, const std::string& path, uint64_t at, uint64_t len) {
  int p[2];
  if (pipe(p) != 0) exit(2);
  pid_t pid = fork();
  if (pid == 0) {
    close(p[0]);
    setenv("QUOR_SERVER_HOST", ("127.0.0.1/" + std::to_string(s.gw.port())).c_str(), 1);
    setenv("QUOR_HOSTNAME", "localhost", 1);
    setenv("QUOR_CFG_FILE_PATH", s.gw.dir().c_str(), 1);
    quor_SetCombo("alice", "wonderland");
    std::vector<char> buf(len);
    int fd = quor_Open(path.c_str(), O_RDONLY, 0, nullptr, nullptr, nullptr);  // logs in first
    quor_Close(fd);
    auto t0 = Clock::now();
    fd = quor_Open(path.c_str(), O_RDONLY, 0, nullptr, nullptr, nullptr);
    uint64_t out = 0;
    if (fd < 0 || quor_SetFileOffset(fd, at, SEEK_SET, 0, &out) != 0 ||
        quor_Read(fd, buf.data(), len) != ssize_t(len))
      _exit(3);
    quor_Close(fd);
    double t = seconds(t0);
    ssize_t n = write(p[1], &t, sizeof t);
    (void)n;
    _exit(0);
  }
  close(p[1]);
  double t = -1;
  ssize_t n = read(p[0], &t, sizeof t);
  close(p[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  if (n != sizeof t || status != 0) {
    fprintf(stderr, "bare list read failed\n");
    exit(1);
  }
  return t;
}

// Plain loopback TCP, one stream, buf-sized sends and receives of total
// bytes: MB/s.
double loopbackTcp(uint64_t total, size_t buf) {
  int ls = socket(AF_INET, SOCK_STREAM, 0);
  struct sockaddr_in a = {};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t al = sizeof a;
  if (bind(ls, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(ls, 1) != 0 ||
      getsockname(ls, reinterpret_cast<sockaddr*>(&a), &al) != 0)
    exit(2);
  auto t0 = Clock::now();
  std::thread sender([&] {
    int c = socket(AF_INET, SOCK_STREAM, 0);
    if (connect(c, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) exit(2);
    std::vector<char> b(buf, 's');
    for (uint64_t sent = 0; sent < total;) {
      ssize_t n = send(c, b.data(), size_t(std::min<uint64_t>(buf, total - sent)), 0);
      if (n <= 0) exit(2);
      sent += uint64_t(n);
    }
    close(c);
  });
  int r = accept(ls, nullptr, nullptr);
  std::vector<char> b(buf);
  uint64_t got = 0;
  for (ssize_t n; (n = recv(r, b.data(), buf, 0)) > 0;) got += uint64_t(n);
  sender.join();
  double t = seconds(t0);
  close(r);
  close(ls);
  return double(got) / t / 1e6;
}

}  // namespace

int main(int argc, char** argv) {
  std::string which = argc > 1 ? argv[1] : "all";
  uint64_t mib = argc > 2 ? strtoull(argv[2], nullptr, 10) : 1024;
  BrixSession s;
  if (!s.ready()) {
    fprintf(stderr, "gwsim did not start\n");
    return 1;
  }
  std::vector<std::string> env = s.environment();
  std::string brix = BrixSession::program();
  std::string store = s.gw.rootDir() + "/home/alice";
  shellRun("mkdir -p " + store + " && chmod 0777 " + store);
  const int rounds = 3;

  if (which == "one" || which == "all") {
    uint64_t midAt = 0;
    makeSparseArchive(store + "/big.tar", &midAt);
    TimedRun ix = timedRun({brix, "-X", "-f", "/home/alice/big.tar"}, env, s.work);
    check(ix, "brix -X");
    std::vector<double> bx, lt, bare;
    for (int i = 0; i < rounds; i++) {
      std::string dir = s.work + "/one";
      shellRun("rm -rf " + dir + " && mkdir -p " + dir);
      TimedRun l = timedRun({brix, "-t", "-f", "/home/alice/big.tar", "mid.bin"}, env, dir);
      check(l, "brix -t");
      TimedRun x = timedRun({brix, "-x", "-f", "/home/alice/big.tar", "mid.bin"}, env, dir);
      check(x, "brix -x");
      lt.push_back(l.seconds);
      bx.push_back(x.seconds);
      bare.push_back(bareRead(s, "/home/alice/big.tar", midAt, 1u << 20));
    }
    double x = median(bx), l = median(lt), b = median(bare);
    printf("one 1 MiB member from the middle of a 10 GiB stored archive (1,000 members): brix -X in the "
           "store %.3f s; brix -x %.3f s, brix -t of it (start-up, log-in, index) %.3f s, extract beyond "
           "the listing %.3f s; one bare list read of its range %.3f s; ratio (brix -x - brix -t) / bare "
           "%.2f (medians of %d)\n",
           ix.seconds, x, l, x - l, b, (x - l) / b, rounds);
    fflush(stdout);
    unlink((store + "/big.tar").c_str());
    unlink((store + "/big.tar.idx").c_str());
  }

  if (which == "full" || which == "all") {
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
    check(timedRun({brix, "-c", "-E", "-f", s.work + "/full.tar", "f"}, env, src), "brix -c -E");
    shellRun("mv " + s.work + "/full.tar " + s.work + "/full.tar.idx " + store + "/");
    shellRun("rm -f " + src + "/f/data.copy");
    std::vector<double> xs, ks, tcp;
    long rss = 0;
    uint64_t bytes = uint64_t(mib) << 20;
    for (int i = 0; i < rounds; i++) {
      std::string dir = s.work + "/full";
      shellRun("rm -rf " + dir + " && mkdir -p " + dir);
      TimedRun x = timedRun({brix, "-x", "-f", "/home/alice/full.tar"}, env, dir);
      check(x, "brix -x");
      TimedRun k = timedRun({brix, "-K", "-f", "/home/alice/full.tar"}, env, src);
      check(k, "brix -K");
      xs.push_back(x.seconds);
      ks.push_back(k.seconds);
      rss = std::max(rss, x.maxRssKb);
      tcp.push_back(loopbackTcp(bytes, 8u << 20));
    }
    double x = median(xs), k = median(ks), t = median(tcp);
    double xm = double(bytes) / x / 1e6, km = double(bytes) / k / 1e6;
    printf("full read of a stored archive of one %llu MiB file: brix -x %.3f s (%.0f MB/s), brix -K %.3f s "
           "(%.0f MB/s), loopback TCP one stream 8 MiB buffers %.0f MB/s; ratio brix -x / TCP %.2f, brix -K "
           "/ TCP %.2f; peak RSS of brix -x %ld KiB (medians of %d)\n",
           (unsigned long long)mib, x, xm, k, km, t, xm / t, km / t, rss, rounds);
  }
  return 0;
}
