// ozu's command throughput through the gateway relay: 1,000 pwd lines from a
// pipe, beside the library's bare relay round trips measured in the same
// run against the same gwsim, and the time from start-up to the first
// prompt. Prints its figures; never run as a test.
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <chrono>
#include <string>

#include "client_env.h"
#include "gwsim_config.h"
#include "gwsim_fixture.h"
#include "ozu_run.h"
#include "quor_api.h"
#include "quor_api_internal.h"

namespace {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point t0)
{
  return std::chrono::duration<double>(Clock::now() - t0).count();
}

int discard(uint32_t *, uint32_t *, int32_t *, char **msg)
{
  free(*msg);
  *msg = nullptr;
  return 0;
}

}  // namespace

int main()
{
  const int kCommands = 1000;
  GwsimConfig cfg;
  cfg.user("alice", "wonderland").set("Uid", 1001).set("Home", "/home/alice");
  cfg.section("Commands").block("pwd").set("Line", "/home/alice");
  GwsimFixture gw(cfg.text());
  if (!gw.running()) {
    fprintf(stderr, "gwsim did not start: %s\n", gw.stderrText().c_str());
    return 1;
  }
  mkdir((gw.rootDir() + "/home").c_str(), 0755);
  mkdir((gw.rootDir() + "/home/alice").c_str(), 0755);
  ozuHome(gw);
  writeFile(gw, ".ozurc", "PS1 = 'ozu> '\n");

  // Start-up and log-in with nothing to do, for the fixed cost.
  auto t0 = Clock::now();
  OzuResult empty = runOzu(gw, ozuArgs(gw, {"-P", "-q"}), "\n");
  double startupRun = secondsSince(t0);

  std::string input;
  for (int i = 0; i < kCommands; ++i)
    input += "pwd\n";
  t0 = Clock::now();
  OzuResult r = runOzu(gw, ozuArgs(gw, {"-P", "-q"}), input, {}, 300);
  double withCommands = secondsSince(t0);
  if (r.status != 0 || empty.status != 0) {
    fprintf(stderr, "ozu failed (%d, %d): %s\n", r.status, empty.status, r.err.c_str());
    return 1;
  }
  double perCommand = (withCommands - startupRun) / kCommands;

  // Start-up to the first prompt at a terminal.
  t0 = Clock::now();
  auto p = startOzuOnPty(gw, ozuArgs(gw, {"-q"}), {"TERM=vt100"});
  bool prompted = p->waitFor("ozu> ", 30000);
  double toPrompt = secondsSince(t0);
  p->type("quit\n");
  p->finish();

  // The library alone: one relay exchange per pwd, same gateway.
  if (clientLogin(gw, "alice", "wonderland") != 0) {
    fprintf(stderr, "library log-in failed\n");
    return 1;
  }
  t0 = Clock::now();
  for (int i = 0; i < kCommands; ++i) {
    int code = 0;
    uint32_t flags = 0;
    ozugw_cli_SendCommand(1, 4, "pwd", discard, &code, &flags);
  }
  double bare = secondsSince(t0) / kCommands;

  printf("ozu relay: %d pwd commands from a pipe\n", kCommands);
  printf("  ozu commands per second ........ %.0f (%.3f ms each)\n", 1.0 / perCommand,
         perCommand * 1000);
  printf("  library relay round trips/s .... %.0f (%.3f ms each)\n", 1.0 / bare, bare * 1000);
  printf("  ozu / bare relay cost .......... %.2f\n", perCommand / bare);
  printf("  start-up, log-in and end ....... %.1f ms\n", startupRun * 1000);
  printf("  start-up to first prompt ....... %s%.1f ms\n", prompted ? "" : "(no prompt) ",
         toPrompt * 1000);
  return 0;
}
