// ozu's own removal, class-change and stage commands against the bare
// library calls they stand on, in one run against one simulator on
// loopback:
//   rm -R of 10,000 files          beside bare quor_Unlink calls;
//   chcos -A -R auto over 10,000   tape-only files on 50 volumes (queued,
//                                   sorted by volume and position, issued
//                                   over the COS-change streams) beside the
//                                   same attribute, selection and change
//                                   calls made in name order;
//   stage -A -R of the same files  (queued, sorted, staged in batches and
//                                   waited for, with ozu's own time stamps
//                                   of each step) beside bare background
//                                   stage requests in name order (issued
//                                   only: the recalls go on in gwsim).
// The journal then tells whether each volume was worked through once: for
// chcos, per stream; for stage, in the order the recalls happened.
// The stage scheduler's own pauses are scaled down (QUOR_TEST_TIMESCALE)
// so that the figure is the client's work, not its polling interval.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "gwsim_config.h"
#include "gwsim_fixture.h"
#include "program_run.h"
#include "quor_api.h"
#include "quor_api_internal.h"
#include "store_tree.h"

namespace {

constexpr int kRemoveFiles = 10000;
constexpr int kTapeFiles = 10000;
constexpr int kVolumes = 50;

std::unique_ptr<GwsimFixture> gw;
std::string home;
std::map<std::string, std::string> volumeOf;  // tape file -> its volume

std::string tapeName(int i)
{
  char name[64];
  snprintf(name, sizeof name, "/tape/t%05d", i);
  return name;
}

void startGateway()
{
  GwsimConfig cfg;
  cfg.user("alice", "wonderland").set("Uid", 1001).set("Gid", 100).set("Home", "/");
  cfg.server().set("StageDelay", 0);
  cfg.cos(1).set("Name", "small").set("MaxFileSize", 0);
  cfg.section("Subsystems").child("1").set("COSChangeThreadCount", 4);
  cfg.dir("/tape").set("Uid", 1001).set("Mode", "0755");
  cfg.dir("/own").set("Uid", 1001).set("Mode", "0755");  // rm -R removes its /own/rm
  // Volumes and positions scattered against name order.
  std::mt19937 rng(11);
  for (int i = 0; i < kTapeFiles; i++) {
    std::string vol = "V" + std::to_string(rng() % kVolumes);
    std::string name = tapeName(i);
    volumeOf[name] = vol;
    cfg.file(name).set("Uid", 1001).set("Size", 100).set("Tape",
                                                           vol + ":" + std::to_string(rng() % 100000));
  }
  auto t0 = std::chrono::steady_clock::now();
  gw = std::make_unique<GwsimFixture>(cfg.text());
  if (!gw->running()) {
    fprintf(stderr, "gwsim did not start: %s\n", gw->stderrText().c_str());
    exit(1);
  }
  printf("gwsim with %d tape files on %d volumes started in %.1f s\n", kTapeFiles, kVolumes,
         std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
  const std::string root = gw->rootDir();
  if (writeStoreDir(root, "/own/rm", kRemoveFiles, "r", 1001, 100) < 0 ||
      writeStoreDir(root, "/own/bare", kRemoveFiles, "b", 1001, 100) < 0) {
    fprintf(stderr, "cannot write the namespace under %s\n", root.c_str());
    exit(1);
  }
  home = gw->dir() + "/home";
  mkdir(home.c_str(), 0700);
  FILE *f = fopen((home + "/.netrc").c_str(), "w");
  if (f) {
    fprintf(f, "machine 127.0.0.1 login alice password wonderland\n");
    fclose(f);
    chmod((home + "/.netrc").c_str(), 0600);
  }
  std::string server = "127.0.0.1/" + std::to_string(gw->port());
  setenv("QUOR_SERVER_HOST", server.c_str(), 1);
  setenv("QUOR_HOSTNAME", "localhost", 1);
  setenv("QUOR_CFG_FILE_PATH", gw->dir().c_str(), 1);
  quor_SetCombo("alice", "wonderland");
  qelapi_tcontext_t *ts = nullptr;
  if (qelapi_init(&ts) != 0) {
    fprintf(stderr, "cannot log in\n");
    exit(1);
  }
}

double seconds(const std::function<void()> &fn)
{
  auto t0 = std::chrono::steady_clock::now();
  fn();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

ProgramResult ozu(const std::string &commands, bool scaled = false)
{
  ProgramSpec prog;
  prog.argv = {OZU_PATH, "-h", "127.0.0.1", "-p", std::to_string(gw->port()), "-l", "alice",
               commands};
  std::vector<std::string> set = {"HOME=" + home, "QUOR_USE_NETRC_FILE=1",
                                  "QUOR_CFG_FILE_PATH=" + gw->dir(), "QUOR_HOSTNAME=localhost",
                                  "TZ=UTC"};
  if (scaled)
    set.push_back("QUOR_TEST_TIMESCALE=1000");
  prog.env = programEnv({"QUOR_", "OZU_", "HOME=", "ENVIRONMENT=", "KRB5CCNAME="}, set);
  prog.stdinPipe = true;
  prog.newSession = true;
  prog.outPath = gw->dir() + "/ozu.out";
  prog.errPath = gw->dir() + "/ozu.err";
  prog.timeoutSec = 1800;
  return runProgram(prog);
}

void report(const char *what, double ozuSec, double bareSec, const ProgramResult &r)
{
  printf("%-36s ozu %8.3f s  bare %8.3f s  ratio %6.2f  ozu peak RSS %7ld kB%s\n", what, ozuSec,
         bareSec, bareSec > 0 ? ozuSec / bareSec : 0.0, r.maxRssKb,
         r.status == 0 ? "" : "  (ozu failed)");
}

std::string field(const std::string &line, const std::string &key)
{
  size_t at = line.rfind(" " + key + "=");
  if (at == std::string::npos)
    return "";
  at += key.size() + 2;
  return line.substr(at, line.find(' ', at) - at);
}

// How many runs of one volume a sequence of paths holds, and how many
// volumes: equal when each volume was worked through once.
void volumeRuns(const char *what, const std::vector<std::string> &paths)
{
  std::set<std::string> seen;
  int runs = 0;
  std::string last;
  for (const std::string &p : paths) {
    auto v = volumeOf.find(p);
    if (v == volumeOf.end())
      continue;
    if (v->second != last)
      ++runs;
    last = v->second;
    seen.insert(v->second);
  }
  printf("  %-34s %zu calls, %zu volumes, %d runs of one volume\n", what, paths.size(), seen.size(),
         runs);
}

}  // namespace

int main()
{
  startGateway();
  ProgramResult idle = ozu("pwd");
  const double login = idle.seconds;
  printf("ozu log-in and exit: %.3f s (subtracted below)\n", login);

  double bareRm = seconds([&] {
    for (int i = 0; i < kRemoveFiles; i++)
      quor_Unlink(("/own/bare/" + storeDirName("b", i)).c_str());
  });
  ProgramResult r = ozu("rm -R /own/rm");
  report("rm -R, 10,000 files", r.seconds - login, bareRm, r);

  // Bare: each file's attributes, its selection and the change, in name
  // order, the way a loop over the names would make them.
  double bareChcos = seconds([&] {
    for (int i = 0; i < kTapeFiles; i++) {
      std::string p = tapeName(i);
      quor_fileattr_t fa;
      if (quor_FileGetAttributes(p.c_str(), &fa) < 0)
        continue;
      quor_cos_hints_t hints;
      quor_cos_priorities_t prio;
      memset(&hints, 0, sizeof hints);
      memset(&prio, 0, sizeof prio);
      quorex_SelectCOS(nullptr, fa.Attrs.DataLength, 1001, 100, 0, 1, long(fa.Attrs.SubSystemId),
                       &hints, &prio);
      quor_FileSetCOS(p.c_str(), hints.COSId, 0);
    }
  });
  size_t mark = gw->journalLines().size();
  r = ozu("chcos -A -R auto /tape");
  report("chcos -A -R auto, 10,000 on 50 vols", r.seconds - login, bareChcos, r);
  std::map<std::string, std::vector<std::string>> perStream;
  std::vector<std::string> lines = gw->journalLines();
  for (size_t i = mark; i < lines.size(); i++)
    if (lines[i].find("cat=0x0500 fn=0x060f ") != std::string::npos)
      perStream[field(lines[i], "stream")].push_back(field(lines[i], "path"));
  for (const auto &s : perStream)
    volumeRuns(("chcos stream " + s.first).c_str(), s.second);

  double bareStage = seconds([&] {
    bfs_callback_addr_t zero;
    memset(&zero, 0, sizeof zero);
    for (int i = 0; i < kTapeFiles; i++) {
      quor_reqid_t id;
      bfs_bitfile_obj_handle_t bf;
      quor_StageCallBack(tapeName(i).c_str(), 0, 0, 0, &zero, 2, &id, &bf);
    }
  });
  // The bare requests put every file on disk once recalled; then back to
  // tape for ozu's turn.
  for (int waited = 0; waited < 600; waited++) {
    int done = 0;
    for (const std::string &l : gw->journalLines())
      done += l.rfind("stage-recalled ", 0) == 0;
    if (done >= kTapeFiles)
      break;
    usleep(100000);
  }
  for (int i = 0; i < kTapeFiles; i++) {
    int fd = quor_Open(tapeName(i).c_str(), 0x801, 0, nullptr, nullptr, nullptr);
    if (fd < 0)
      continue;
    uint64_t n = 0;
    quor_Purge(fd, 0, 0, 0, 2, &n);
    quor_Close(fd);
  }
  mark = gw->journalLines().size();
  r = ozu("stage -A -s -R /tape", true);
  report("stage -A -R, 10,000 on 50 vols", r.seconds - login, bareStage, r);
  // ozu's own time stamps: queueing and sorting end at "initiated", the
  // recalls (one volume at a time, the site's default) at "completed".
  for (const char *name : {"/ozu.out", "/ozu.err"}) {
    FILE *out = fopen((gw->dir() + name).c_str(), "r");
    char text[512];
    while (out && fgets(text, sizeof text, out))
      if (strstr(text, "Background"))
        printf("    %s", text);
    if (out)
      fclose(out);
  }
  std::vector<std::string> recalled;
  lines = gw->journalLines();
  for (size_t i = mark; i < lines.size(); i++)
    if (lines[i].rfind("stage-recalled ", 0) == 0)
      recalled.push_back(field(lines[i], "path"));
  volumeRuns("stage recalls", recalled);
  gw.reset();
  return 0;
}
