// ozu against a gateway serving its own file system (lfx), in one run:
// get and put of one large file beside the same bytes over one plain
// loopback TCP stream; a thousand files inside the init exchange beside a
// thousand just over the inline limit on the pooled data connection (files
// per second); and put -R of a tree of small files through the movers
// beside cp -r of the same tree.
//
//   bench_ozu_lfx [MiB [files [treeFiles]]]   (defaults 1024, 1000, 10000)
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
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
constexpr size_t kBlock = 8u << 20;
constexpr size_t kInline = 1u << 20;

double seconds(Clock::time_point t0) { return std::chrono::duration<double>(Clock::now() - t0).count(); }

double tcpSeconds(uint64_t size)
{
  int lfd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(lfd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  socklen_t len = sizeof a;
  getsockname(lfd, reinterpret_cast<sockaddr*>(&a), &len);
  listen(lfd, 4);
  auto t0 = Clock::now();
  std::thread tx([&] {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    std::vector<char> buf(kBlock, 'x');
    for (uint64_t sent = 0; sent < size;) {
      ssize_t n = send(fd, buf.data(), std::min<uint64_t>(kBlock, size - sent), 0);
      if (n <= 0)
        break;
      sent += uint64_t(n);
    }
    close(fd);
  });
  int fd = accept(lfd, nullptr, nullptr);
  std::vector<char> buf(kBlock);
  while (recv(fd, buf.data(), kBlock, 0) > 0) {
  }
  close(fd);
  tx.join();
  close(lfd);
  return seconds(t0);
}

ProgramResult ozu(const GwsimFixture& gw, const std::string& commands, const std::string& input = "")
{
  ProgramSpec s;
  s.argv = {OZU_BENCH_PATH};
  for (const std::string& w : ozuArgs(gw, {commands}))
    s.argv.push_back(w);
  s.env = programEnv({"QUOR_", "OZU_", "HOME="},
                     {"HOME=" + gw.dir() + "/home", "QUOR_USE_NETRC_FILE=1", "QUOR_CFG_FILE_PATH=" + gw.dir(),
                      "QUOR_HOSTNAME=localhost"});
  if (!input.empty()) {
    s.stdinPipe = true;
    s.input = input;
  }
  s.outPath = gw.dir() + "/ozu.out";
  s.timeoutSec = 3600;
  return runProgram(s);
}

void fill(const std::string& path, uint64_t bytes)
{
  std::ofstream o(path, std::ios::binary);
  std::vector<char> chunk(1 << 20);
  for (size_t i = 0; i < chunk.size(); ++i)
    chunk[i] = char(i * 7 + 3);
  for (uint64_t done = 0; done < bytes;) {
    uint64_t n = std::min<uint64_t>(chunk.size(), bytes - done);
    o.write(chunk.data(), long(n));
    done += n;
  }
}

GwsimConfig lfxGateway()
{
  GwsimConfig c = aliceConfig();
  c.section("Lfx").set("Root", "@DIR@/lfx");
  return c;
}

std::string lfxHome(const GwsimFixture& gw)
{
  std::string h = gw.dir() + "/lfx/home";
  mkdir(h.c_str(), 0755);
  h += "/alice";
  mkdir(h.c_str(), 0755);
  chown(h.c_str(), 1001, 100);
  return h;
}

}  // namespace

int main(int argc, char** argv)
{
  uint64_t mib = argc > 1 ? strtoull(argv[1], nullptr, 10) : 1024;
  int files = argc > 2 ? atoi(argv[2]) : 1000;
  int treeFiles = argc > 3 ? atoi(argv[3]) : 10000;
  uint64_t size = mib << 20;
  {
    GwsimFixture gw(lfxGateway().text());
    if (!gw.running()) {
      fprintf(stderr, "%s", gw.stderrText().c_str());
      return 1;
    }
    ozuHome(gw);
    std::string home = lfxHome(gw);
    fill(home + "/big", size);
    std::string local = gw.dir() + "/big.local";
    ProgramResult g = ozu(gw, "set iobufsize=" + std::to_string(kBlock) + "; get " + local + " : big");
    unlink((home + "/big").c_str());
    ProgramResult p = ozu(gw, "set iobufsize=" + std::to_string(kBlock) + "; put " + local + " : big");
    struct stat st;
    if (g.status != 0 || p.status != 0 || stat((home + "/big").c_str(), &st) != 0 || uint64_t(st.st_size) != size) {
      fprintf(stderr, "lfx get/put failed: %d %d\n", g.status, p.status);
      return 1;
    }
    unlink(local.c_str());
    unlink((home + "/big").c_str());
    double tcp = tcpSeconds(size);
    double tcpRate = double(size) / 1e6 / tcp;
    printf("lfx of %llu MiB beside one loopback stream (%.1f MB/s)\n", (unsigned long long)mib, tcpRate);
    printf("  get %8.1f MB/s  ratio %.2f  peak RSS %.1f MiB\n", double(size) / 1e6 / g.seconds,
           double(size) / 1e6 / g.seconds / tcpRate, double(g.maxRssKb) / 1024.0);
    printf("  put %8.1f MB/s  ratio %.2f  peak RSS %.1f MiB\n", double(size) / 1e6 / p.seconds,
           double(size) / 1e6 / p.seconds / tcpRate, double(p.maxRssKb) / 1024.0);
  }
  {
    GwsimFixture gw(lfxGateway().text());
    ozuHome(gw);
    std::string home = lfxHome(gw);
    double rate[2];
    for (int over = 0; over < 2; ++over) {
      std::string dir = home + (over ? "/over" : "/inline");
      mkdir(dir.c_str(), 0755);
      std::string names;
      for (int i = 0; i < files; ++i) {
        std::string n = std::to_string(i);
        fill(dir + "/" + n, over ? kInline + 1 : 4096);
        names += std::string(over ? "over/" : "inline/") + n + "\n";
      }
      std::string out = gw.dir() + (over ? "/out.over" : "/out.inline");
      mkdir(out.c_str(), 0755);
      ProgramResult r = ozu(gw, "lcd " + out + "; get -X 1 <<END", names + "END\n");
      rate[over] = files / r.seconds;
      if (r.status != 0)
        fprintf(stderr, "get of %d files exited %d\n", files, r.status);
    }
    printf("%d inline files of 4 KiB: %.0f files/s; %d files of %zu bytes on the pooled connection: %.0f files/s\n",
           files, rate[0], files, kInline + 1, rate[1]);
  }
  {
    GwsimFixture gw(aliceConfig().text());
    ozuHome(gw);
    std::string tree = gw.dir() + "/tree";
    mkdir(tree.c_str(), 0755);
    std::string data(4096, 'y');
    for (int i = 0; i < treeFiles; ++i) {
      std::string sub = tree + "/d" + std::to_string(i / 1000);
      mkdir(sub.c_str(), 0755);
      std::ofstream(sub + "/f" + std::to_string(i)) << data;
    }
    ProgramResult r = ozu(gw, "lcd " + gw.dir() + "; put -R tree");
    ProgramSpec cp;
    cp.argv = {"cp", "-r", tree, gw.dir() + "/tree.copy"};
    ProgramResult cr = runProgram(cp);
    printf("put -R of %d files of 4 KiB: %.0f files/s (exit %d); cp -r: %.0f files/s; ratio %.3f\n", treeFiles,
           treeFiles / r.seconds, r.status, treeFiles / cr.seconds, cr.seconds / r.seconds);
  }
  return 0;
}
