// ozu's own namespace commands against the bare library calls they stand
// on, all in one run against one simulator on loopback:
//   ls -l of 100,000 entries   beside a bare listing with attributes
//                               (ReadAttrs batches);
//   ls of 100,000 names         sent by the gateway in reverse order, beside
//                               a bare listing of the names;
//   find and du over 100,000 entries in 1,000 directories beside a bare
//                               recursive ReadAttrs walk;
//   chmod -R 644 of 10,000 files beside bare quor_Chmod calls.
// Each line gives both times, their ratio and ozu's peak memory. The
// namespace is written straight into the simulator's root, objects without
// database rows, as most of a real namespace would be.
#include <fcntl.h>
#include <string.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "gwsim_config.h"
#include "gwsim_fixture.h"
#include "program_run.h"
#include "quor_api.h"
#include "quor_api_internal.h"
#include "store_tree.h"

namespace {

constexpr int kBigDir = 100000;
constexpr int kTreeDirs = 1000;
constexpr int kPerDir = 100;
constexpr int kModeFiles = 10000;

std::unique_ptr<GwsimFixture> gw;
std::string home;

void startGateway()
{
  GwsimConfig cfg;
  cfg.user("alice", "wonderland").set("Uid", 1001).set("Home", "/");
  cfg.server().set("ListOrder", "reverse");
  gw = std::make_unique<GwsimFixture>(cfg.text());
  if (!gw->running()) {
    fprintf(stderr, "gwsim did not start: %s\n", gw->stderrText().c_str());
    exit(1);
  }
  // Files of alice (uid 1001), so that she may change their modes (the
  // bench runs as root, as the simulator's tests do).
  const std::string root = gw->rootDir();
  if (writeStoreDir(root, "/big", kBigDir, "entry", 1001, 100) < 0 ||
      writeStoreTree(root, "/tree", kTreeDirs, kPerDir - 1, "f", 1001, 100) < 0 ||
      writeStoreDir(root, "/modes", kModeFiles, "m", 1001, 100) < 0) {
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

// Entries of one directory through ReadAttrs batches; subdirectories are
// walked too when walk is set.
long bareListing(const std::string &dir, uint32_t attrs, bool walk)
{
  static std::vector<ns_DirEntry_t> buf(4000);
  int d = quor_Opendir(dir.c_str());
  if (d < 0)
    return 0;
  long n = 0;
  std::vector<std::string> subdirs;
  uint64_t off = 0, next = 0;
  uint32_t end = 0;
  while (!end) {
    int got = quor_ReadAttrs(d, off, uint32_t(buf.size() * sizeof buf[0]), attrs, &end, &next,
                             buf.data());
    if (got < 0)
      break;
    for (int i = 0; i < got; i++) {
      const char *name = buf[size_t(i)].Name;
      if (strcmp(name, ".") == 0 || strcmp(name, "..") == 0)
        continue;
      ++n;
      if (walk && buf[size_t(i)].Attrs.Type == 132)
        subdirs.push_back(dir + "/" + name);
    }
    off = next;
  }
  quor_Closedir(d);
  for (const std::string &s : subdirs)
    n += bareListing(s, attrs, walk);
  return n;
}

ProgramResult ozu(const std::string &commands)
{
  ProgramSpec prog;
  prog.argv = {OZU_PATH, "-h", "127.0.0.1", "-p", std::to_string(gw->port()), "-l", "alice",
               commands};
  prog.env = programEnv({"QUOR_", "OZU_", "HOME=", "ENVIRONMENT=", "KRB5CCNAME="},
                        {"HOME=" + home, "QUOR_USE_NETRC_FILE=1", "QUOR_CFG_FILE_PATH=" + gw->dir(),
                         "QUOR_HOSTNAME=localhost", "TZ=UTC"});
  prog.stdinPipe = true;
  prog.newSession = true;
  prog.outPath = gw->dir() + "/ozu.out";
  prog.errPath = gw->dir() + "/ozu.err";
  prog.timeoutSec = 1800;
  return runProgram(prog);
}

long linesOf(const std::string &path)
{
  FILE *f = fopen(path.c_str(), "r");
  if (!f)
    return -1;
  long n = 0;
  for (int c; (c = fgetc(f)) != EOF;)
    n += c == '\n';
  fclose(f);
  return n;
}

void report(const char *what, double ozuSec, double bareSec, const ProgramResult &r, long lines)
{
  printf("%-34s ozu %8.3f s  bare %8.3f s  ratio %6.2f  ozu peak RSS %7ld kB  lines %ld%s\n",
         what, ozuSec, bareSec, bareSec > 0 ? ozuSec / bareSec : 0.0, r.maxRssKb, lines,
         r.status == 0 ? "" : "  (ozu failed)");
  if (r.status != 0) {
    FILE *f = fopen((gw->dir() + "/ozu.err").c_str(), "r");
    char line[512];
    for (int i = 0; f && i < 5 && fgets(line, sizeof line, f); i++)
      printf("    %s", line);
    if (f)
      fclose(f);
  }
}

}  // namespace

int main()
{
  startGateway();
  // The log-in and banner alone, taken off every ozu figure below.
  ProgramResult idle = ozu("pwd");
  const double login = idle.seconds;
  printf("ozu log-in and exit: %.3f s (subtracted below)\n", login);

  long n = 0;
  double bareAttrs = seconds([&] { n = bareListing("/big", 1, false); });
  ProgramResult r = ozu("ls -l /big");
  report("ls -l, 100,000 entries", r.seconds - login, bareAttrs, r, linesOf(gw->dir() + "/ozu.err"));

  double bareNames = seconds([&] { n = bareListing("/big", 0, false); });
  r = ozu("ls /big");
  report("ls, 100,000 names in reverse", r.seconds - login, bareNames, r,
         linesOf(gw->dir() + "/ozu.err"));
  r = ozu("ls -1 /big");
  report("ls -1, 100,000 names in reverse", r.seconds - login, bareNames, r,
         linesOf(gw->dir() + "/ozu.err"));

  double bareWalk = seconds([&] { n = bareListing("/tree", 1, true); });
  printf("bare walk of /tree: %ld entries\n", n);
  r = ozu("find /tree -name f000007");
  report("find, 100,000 in 1,000 dirs", r.seconds - login, bareWalk, r,
         linesOf(gw->dir() + "/ozu.err"));
  r = ozu("du /tree");
  report("du, 100,000 in 1,000 dirs", r.seconds - login, bareWalk, r,
         linesOf(gw->dir() + "/ozu.err"));

  double bareChmod = seconds([&] {
    for (int i = 0; i < kModeFiles; i++) {
      char name[64];
      snprintf(name, sizeof name, "/modes/m%06d", i);
      quor_Chmod(name, 0600);
    }
  });
  // -f: files only, so that the directory stays searchable for the walk.
  r = ozu("chmod -R -f 644 /modes");
  report("chmod -R -f 644, 10,000 files", r.seconds - login, bareChmod, r,
         linesOf(gw->dir() + "/ozu.err"));
  gw.reset();
  return 0;
}
