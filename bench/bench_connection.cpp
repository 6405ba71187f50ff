// Round trips on one gateway connection with 1 and 16 threads, the CPU each
// call costs (waiting threads must sleep, not spin), and the time of a whole
// log-in with the 2048-bit key exchange, against the simulator on loopback.
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <sys/resource.h>

#include <memory>
#include <string>

#include "gwsim_fixture.h"
#include "msg_cli.h"
#include "quor_api.h"
#include "quor_api_internal.h"
#include "quor_api_msgdefs.h"

namespace {

std::unique_ptr<GwsimFixture> gw;

double cpuSeconds() {
  struct rusage ru;
  getrusage(RUSAGE_SELF, &ru);
  return double(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
         double(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

void startGateway() {
  if (gw) return;
  gw = std::make_unique<GwsimFixture>(
      "Users = {\n alice = {\n Password = wonderland\n Home = /home/alice\n }\n}\n");
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

void BM_RoundTrip(benchmark::State& state) {
  if (state.thread_index() == 0) startGateway();
  qelapi_tcontext_t* ts = nullptr;
  double cpu0 = 0;
  if (state.thread_index() == 0) cpu0 = cpuSeconds();
  for (auto _ : state) {
    if (ts == nullptr && qelapi_init(&ts) != 0) {
      state.SkipWithError("no connection");
      break;
    }
    api_lookup_homedir_req_t req{const_cast<char*>("alice")};
    api_lookup_homedir_rply_t reply{nullptr};
    api_msghdr_t hdr;
    if (qelapi_send_msg(QEL_CAT_LOOKUP, QEL_FN_LOOKUP_LookupHomeDir, &req,
                        reinterpret_cast<xdrproc_t>(qel_xdr_api_lookup_homedir_req_t), 0, 0,
                        nullptr, ts) != 0 ||
        qelapi_get_msg(ts, &hdr, &reply,
                       reinterpret_cast<xdrproc_t>(qel_xdr_api_lookup_homedir_rply_t),
                       nullptr) != 0) {
      state.SkipWithError("exchange failed");
      break;
    }
    xdr_free(reinterpret_cast<xdrproc_t>(qel_xdr_api_lookup_homedir_rply_t),
             reinterpret_cast<char*>(&reply));
  }
  state.SetItemsProcessed(int64_t(state.iterations()));
  if (state.thread_index() == 0) {
    // Process CPU (client threads only; gwsim is another process) per call
    // of all threads, estimated from this thread's share.
    double calls = double(state.iterations()) * state.threads();
    state.counters["client_cpu_us_per_call"] = (cpuSeconds() - cpu0) * 1e6 / calls;
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

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  gw.reset();
  return 0;
}
