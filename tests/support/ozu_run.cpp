#include "ozu_run.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include "client_env.h"
#include "program_run.h"

namespace {

// The environment of an ozu child: none of the caller's client settings.
std::vector<std::string> childEnv(const GwsimFixture& gw, const std::vector<std::string>& extra) {
  std::vector<std::string> changes = {"HOME=" + gw.dir() + "/home", "QUOR_USE_NETRC_FILE=1",
                                      "QUOR_CFG_FILE_PATH=" + gw.dir(), "QUOR_HOSTNAME=localhost",
                                      "QUOR_TEST_TIMESCALE=1000"};
  changes.insert(changes.end(), extra.begin(), extra.end());
  return programEnv({"QUOR_", "OZU_", "HOME=", "ENVIRONMENT=", "KRB5CCNAME="}, changes);
}

std::vector<char*> pointers(std::vector<std::string>& v) {
  std::vector<char*> p;
  for (std::string& s : v) p.push_back(s.data());
  p.push_back(nullptr);
  return p;
}

[[noreturn]] void execOzu(std::vector<std::string> args, std::vector<std::string> env) {
  args.insert(args.begin(), OZU_PATH);
  std::vector<char*> argv = pointers(args);
  std::vector<char*> envp = pointers(env);
  execve(OZU_PATH, argv.data(), envp.data());
  _exit(127);
}

}  // namespace

std::string ozuHome(const GwsimFixture& gw, const std::string& user, const std::string& password) {
  std::string home = gw.dir() + "/home";
  mkdir(home.c_str(), 0700);
  writeNetrc(home + "/.netrc", "127.0.0.1", user, password);
  return home;
}

void writeFile(const GwsimFixture& gw, const std::string& path, const std::string& text) {
  std::string full = path[0] == '/' ? path : gw.dir() + "/home/" + path;
  FILE* f = fopen(full.c_str(), "w");
  if (!f) return;
  fputs(text.c_str(), f);
  fclose(f);
}

std::vector<std::string> ozuArgs(const GwsimFixture& gw, const std::vector<std::string>& more,
                                 const std::string& user) {
  std::vector<std::string> a = {"-h", "127.0.0.1", "-p", std::to_string(gw.port()), "-l", user};
  a.insert(a.end(), more.begin(), more.end());
  return a;
}

OzuResult runOzu(const GwsimFixture& gw, const std::vector<std::string>& args,
                 const std::string& input, const std::vector<std::string>& extraEnv,
                 int timeoutSec, size_t stopReadingAfter) {
  ProgramSpec prog;
  prog.argv = args;
  prog.argv.insert(prog.argv.begin(), OZU_PATH);
  prog.env = childEnv(gw, extraEnv);
  prog.stdinPipe = true;
  prog.input = input;
  prog.newSession = true;  // no controlling terminal: nothing may prompt on /dev/tty
  prog.timeoutSec = timeoutSec;
  prog.stopReadingAfter = stopReadingAfter;
  ProgramResult r = runProgram(prog);
  return {r.status, r.out, r.err};
}

std::unique_ptr<PtyProcess> startOzuOnPty(const GwsimFixture& gw,
                                          const std::vector<std::string>& args,
                                          const std::vector<std::string>& extraEnv) {
  std::vector<std::string> env = childEnv(gw, extraEnv);
  return std::make_unique<PtyProcess>(
      [args, env]() -> int {
        int tty = open("/dev/tty", O_RDWR);
        if (tty < 0) return 99;
        dup2(tty, 0);
        dup2(tty, 1);
        dup2(tty, 2);
        if (tty > 2) close(tty);
        execOzu(args, env);
      },
      60);
}
