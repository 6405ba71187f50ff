// ozu's put through gwsim's movers against plain loopback TCP, in the same
// run: a local file of MiB bytes stored at stripe widths 1, 4, 8 and 16
// beside the same bytes over as many plain TCP streams with the same buffer
// size (ratio, peak memory); a piped put (through the gateway) beside one
// stream; and get with a sha256 digest checked beside get without.
// The movers write into gwsim's memory store by default (written bytes
// dropped, as the TCP receivers drop theirs), so that the ratio measures the
// client; "file" has them write the stored file. Each ozu run starts and
// logs in: "ozu own" is the rate ozu reports for the transfer alone, set
// against TCP ("r.own"). Each width runs `rounds` times, the ozu run and the
// TCP run next to each other, and the medians are printed.
// OZU_BENCH_WRAP, when set, is a command (words split on blanks) that the
// ozu runs go through, e.g. "perf record -g -o /tmp/put.perf".
//
//   bench_ozu_put [MiB [rounds [memory|file [widths]]]]
//       (defaults 1024, 3, memory, 1,4,8,16)
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "gwsim_config.h"
#include "gwsim_fixture.h"
#include "ozu_run.h"
#include "program_run.h"
#include "bench_support.h"

namespace {

constexpr size_t kBlock = 8u << 20;  // the pool's buffer and the stripe block

ProgramResult ozu(const GwsimFixture& gw, const std::string& commands, bool keepOut = false)
{
  ProgramSpec s;
  s.argv = benchWrapped(OZU_BENCH_PATH);
  for (const std::string& w : ozuArgs(gw, {commands}))
    s.argv.push_back(w);
  s.env = programEnv({"QUOR_", "OZU_", "HOME="},
                     {"HOME=" + gw.dir() + "/home", "QUOR_USE_NETRC_FILE=1",
                      "QUOR_CFG_FILE_PATH=" + gw.dir(), "QUOR_HOSTNAME=localhost"});
  if (!keepOut)
    s.outPath = "/dev/null";
  s.timeoutSec = 3600;
  return runProgram(s);
}

GwsimConfig benchConfig(int width, bool fileStore)
{
  GwsimConfig c = aliceConfig();
  c.server().set("startupCOS", 4);
  c.cos(4).set("Name", "wide").set("StripeWidth", width).set("StripeLength", (long long)(width * kBlock));
  c.movers().set("PacketSize", (long long)kBlock);
  if (!fileStore)
    c.movers().set("Store", "memory");
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
  int rounds = argc > 2 ? std::max(1, atoi(argv[2])) : 3;
  bool fileStore = argc > 3 && strcmp(argv[3], "file") == 0;
  std::vector<int> widths;
  {
    std::istringstream list(argc > 4 ? argv[4] : "1,4,8,16");
    for (std::string w; std::getline(list, w, ',');)
      if (atoi(w.c_str()) > 0)
        widths.push_back(atoi(w.c_str()));
  }
  uint64_t size = mib << 20;
  printf("put of %llu MiB, buffers of %zu MiB, gwsim's %s store, medians of %d rounds\n", (unsigned long long)mib,
         kBlock >> 20, fileStore ? "file" : "memory", rounds);
  printf("%6s %10s %10s %7s %9s %6s %6s %12s %12s\n", "width", "ozu MB/s", "tcp MB/s", "ratio", "ozu own", "r.own",
         "cpu s", "peak RSS MiB", "pool MiB");
  for (int width : widths) {
    GwsimFixture gw(benchConfig(width, fileStore).text());
    if (!gw.running()) {
      fprintf(stderr, "%s", gw.stderrText().c_str());
      return 1;
    }
    ozuHome(gw);
    std::string local = gw.dir() + "/big.local";
    writeLocal(local, mib);
    std::vector<double> ozuRate, tcpRate, ratio, own, ownRatio, cpu;
    long rss = 0;
    for (int round = 0; round < rounds; ++round) {
      ProgramResult r = ozu(gw, "set iobufsize=" + std::to_string(kBlock) + "; put " + local + " : big", true);
      if (r.status != 0 || !storedSize(gw, "big", size)) {
        fprintf(stderr, "put failed: %d\n%s", r.status, r.err.c_str());
        return 1;
      }
      double tcp = benchTcpSeconds(size, width, kBlock);
      ozuRate.push_back(double(size) / 1e6 / r.seconds);
      tcpRate.push_back(double(size) / 1e6 / tcp);
      ratio.push_back(tcp / r.seconds);
      own.push_back(benchOwnRate(r.out + r.err));
      ownRatio.push_back(own.back() / tcpRate.back());
      cpu.push_back(r.cpuSeconds);
      rss = std::max(rss, r.maxRssKb);
    }
    double tcpRate1 = benchMedian(tcpRate);
    printf("%6d %10.1f %10.1f %7.2f %9.1f %6.2f %6.2f %12.1f %12zu\n", width, benchMedian(ozuRate), tcpRate1,
           benchMedian(ratio), benchMedian(own), benchMedian(ownRatio), benchMedian(cpu), double(rss) / 1024.0,
           size_t(2 * width) * (kBlock >> 20));
    if (width == widths.front()) {
      // These store real bytes (the digest is checked on the way back):
      // through a file-store gateway whatever the store above.
      std::unique_ptr<GwsimFixture> fileGw;
      if (!fileStore) {
        fileGw = std::make_unique<GwsimFixture>(benchConfig(width, true).text());
        ozuHome(*fileGw);
      }
      const GwsimFixture& fg = fileStore ? gw : *fileGw;
      // The same file through a pipe: plain writes through the gateway.
      ProgramResult p = ozu(fg, "put \"|cat " + local + "\" : piped");
      if (p.status != 0 || !storedSize(fg, "piped", size)) {
        fprintf(stderr, "piped put failed: %d\n%s", p.status, p.err.c_str());
        return 1;
      }
      double pr = double(size) / 1e6 / p.seconds;
      printf("piped put: %.1f MB/s, %d tcp stream(s) %.1f MB/s, ratio %.2f, peak RSS %.1f MiB\n", pr, width,
             tcpRate1, pr / tcpRate1, double(p.maxRssKb) / 1024.0);
      // get with and without the digest check (sha256 stored by a put -c).
      ProgramResult h = ozu(fg, "put -c on -H sha256 " + local + " : digested");
      std::string back = gw.dir() + "/back";
      ProgramResult plain = ozu(fg, "set iobufsize=" + std::to_string(kBlock) + "; get " + back + " : digested");
      unlink(back.c_str());
      ProgramResult checked = ozu(fg, "set iobufsize=" + std::to_string(kBlock) + "; get -c on " + back + " : digested");
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
