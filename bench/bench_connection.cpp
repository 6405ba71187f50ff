// Round trips on one gateway connection with 1 and 16 threads, the CPU each
// call costs (waiting threads must sleep, not spin), and the time of a whole
// log-in with the 2048-bit key exchange, against the simulator on loopback.
// Beside them, in the same run, the bare loopback ping-pong of messages of
// the same sizes between two threads: the floor a single caller could
// reach. The summary at the end gives the ratios.
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "gwsim_config.h"
#include "gwsim_fixture.h"
#include "quor_api.h"
#include "quor_api_internal.h"

namespace {

std::unique_ptr<GwsimFixture> gw;

// Calls per second of each benchmark run, for the summary.
std::mutex ratesLock;
std::map<std::string, double> rates;

void recordRate(const std::string& name, double perSecond) {
  std::lock_guard<std::mutex> hold(ratesLock);
  rates[name] = perSecond;
}

double cpuSeconds() {
  struct rusage ru;
  getrusage(RUSAGE_SELF, &ru);
  return double(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
         double(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

void startGateway() {
  if (gw) return;
  GwsimConfig cfg;
  cfg.user("alice", "wonderland").set("Home", "/home/alice");
  gw = std::make_unique<GwsimFixture>(cfg.text());
  if (!gw->running()) {
    fprintf(stderr, "gwsim did not start: %s\n", gw->stderrText().c_str());
    exit(1);
  }
  std::string server = "127.0.0.1/" + std::to_string(gw->port());
  setenv("QUOR_SERVER_HOST", server.c_str(), 1);
  setenv("QUOR_HOSTNAME", "localhost", 1);
  setenv("QUOR_CFG_FILE_PATH", gw->dir().c_str(), 1);
  quor_SetCombo("alice", "wonderland");
  qelapi_tcontext_t* ts = nullptr;
  if (qelapi_init(&ts) != 0) exit(1);
}

// The wire sizes of the home-directory lookup below: a 36-byte header and
// "alice" out, "/home/alice" back.
const size_t kRequestBytes = 36 + 4 + 8;
const size_t kReplyBytes = 36 + 4 + 12;

bool readAll(int fd, char* p, size_t n) {
  while (n > 0) {
    ssize_t got = recv(fd, p, n, 0);
    if (got <= 0) return false;
    p += got;
    n -= size_t(got);
  }
  return true;
}

bool writeAll(int fd, const char* p, size_t n) {
  while (n > 0) {
    ssize_t put = send(fd, p, n, MSG_NOSIGNAL);
    if (put <= 0) return false;
    p += put;
    n -= size_t(put);
  }
  return true;
}

// One thread sends a request-sized message over loopback TCP and waits for
// a reply-sized one from an echoing thread: no library, no gateway.
void BM_LoopbackPingPong(benchmark::State& state) {
  int lsock = socket(AF_INET, SOCK_STREAM, 0);
  struct sockaddr_in a {};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t alen = sizeof a;
  if (bind(lsock, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(lsock, 1) != 0 ||
      getsockname(lsock, reinterpret_cast<sockaddr*>(&a), &alen) != 0) {
    state.SkipWithError("no listen socket");
    close(lsock);
    return;
  }
  std::thread echo([lsock] {
    int s = accept(lsock, nullptr, nullptr);
    int on = 1;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    char in[kRequestBytes], out[kReplyBytes] = {};
    while (readAll(s, in, sizeof in) && writeAll(s, out, sizeof out)) {
    }
    close(s);
  });
  int c = socket(AF_INET, SOCK_STREAM, 0);
  int on = 1;
  setsockopt(c, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  if (connect(c, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) state.SkipWithError("connect");
  char req[kRequestBytes] = {}, rep[kReplyBytes];
  auto t0 = std::chrono::steady_clock::now();
  for (auto _ : state) {
    if (!writeAll(c, req, sizeof req) || !readAll(c, rep, sizeof rep)) {
      state.SkipWithError("ping-pong failed");
      break;
    }
  }
  double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  recordRate("ping-pong", double(state.iterations()) / secs);
  state.SetItemsProcessed(int64_t(state.iterations()));
  close(c);
  echo.join();
  close(lsock);
}
BENCHMARK(BM_LoopbackPingPong)->UseRealTime();

// One storage call (the home-directory lookup) per iteration, as a program
// makes it: start-up check, request, reply.
void BM_RoundTrip(benchmark::State& state) {
  if (state.thread_index() == 0) startGateway();
  double cpu0 = 0;
  if (state.thread_index() == 0) cpu0 = cpuSeconds();
  auto t0 = std::chrono::steady_clock::now();
  for (auto _ : state) {
    char* home = quor_LookupHomeDir("alice");
    if (home == nullptr) {
      state.SkipWithError("lookup failed");
      break;
    }
    free(home);
  }
  state.SetItemsProcessed(int64_t(state.iterations()));
  if (state.thread_index() == 0) {
    // Process CPU (client threads only; gwsim is another process) per call
    // of all threads, estimated from this thread's share.
    double calls = double(state.iterations()) * state.threads();
    state.counters["client_cpu_us_per_call"] = (cpuSeconds() - cpu0) * 1e6 / calls;
    double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    recordRate(std::to_string(state.threads()) + " threads", calls / secs);
  }
}
BENCHMARK(BM_RoundTrip)->Threads(1)->Threads(16)->UseRealTime();

void BM_LogIn(benchmark::State& state) {
  startGateway();
  for (auto _ : state) {
    int h = -1;
    quor_SetCombo(nullptr, "wonderland");
    if (quorex_SetupConnection("127.0.0.1", nullptr, gw->port(), 0, 0, &h) != 0 ||
        quorex_OpenConnection(h) != 0) {
      state.SkipWithError("log-in failed");
      break;
    }
    quorex_CloseConnection(h);
  }
}
BENCHMARK(BM_LogIn)->Unit(benchmark::kMillisecond)->UseRealTime();

void printSummary() {
  std::lock_guard<std::mutex> hold(ratesLock);
  auto get = [](const char* k) {
    auto it = rates.find(k);
    return it == rates.end() ? 0.0 : it->second;
  };
  double ping = get("ping-pong"), one = get("1 threads"), many = get("16 threads");
  if (ping == 0 && one == 0 && many == 0) return;
  printf("\nround trips per second: loopback ping-pong %.0f, 1 thread %.0f, 16 threads %.0f\n",
         ping, one, many);
  if (one > 0) printf("16 threads / 1 thread: %.2f\n", many / one);
  if (ping > 0) printf("1 thread / ping-pong: %.2f\n", one / ping);
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  printSummary();
  gw.reset();
  return 0;
}
