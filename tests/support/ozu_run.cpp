#include "ozu_run.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>

extern char** environ;

namespace {

// The environment of an ozu child, built before fork.
std::vector<std::string> childEnv(const GwsimFixture& gw, const std::vector<std::string>& extra) {
  std::vector<std::string> env;
  for (char** e = environ; *e; ++e) {
    std::string s = *e;
    if (s.rfind("QUOR_", 0) == 0 || s.rfind("OZU_", 0) == 0 || s.rfind("HOME=", 0) == 0 ||
        s.rfind("ENVIRONMENT=", 0) == 0 || s.rfind("KRB5CCNAME=", 0) == 0)
      continue;
    env.push_back(s);
  }
  env.push_back("HOME=" + gw.dir() + "/home");
  env.push_back("QUOR_USE_NETRC_FILE=1");
  env.push_back("QUOR_CFG_FILE_PATH=" + gw.dir());
  env.push_back("QUOR_HOSTNAME=localhost");
  env.push_back("QUOR_TEST_TIMESCALE=1000");
  for (const std::string& x : extra) {
    std::string name = x.substr(0, x.find('='));
    for (size_t i = 0; i < env.size(); ++i)
      if (env[i].compare(0, name.size() + 1, name + "=") == 0) {
        env.erase(env.begin() + long(i));
        break;
      }
    if (x.find('=') != std::string::npos) env.push_back(x);
  }
  return env;
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
  std::string netrc = home + "/.netrc";
  FILE* f = fopen(netrc.c_str(), "w");
  if (f) {
    fprintf(f, "machine 127.0.0.1 login %s password %s\n", user.c_str(), password.c_str());
    fclose(f);
    chmod(netrc.c_str(), 0600);
  }
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
  std::vector<std::string> env = childEnv(gw, extraEnv);
  int in[2], out[2], err[2];
  if (pipe(in) != 0 || pipe(out) != 0 || pipe(err) != 0) return {-1, "", "pipe failed"};
  fflush(nullptr);
  pid_t pid = fork();
  if (pid < 0) return {-1, "", "fork failed"};
  if (pid == 0) {
    setsid();  // no controlling terminal: nothing may prompt on /dev/tty
    dup2(in[0], 0);
    dup2(out[1], 1);
    dup2(err[1], 2);
    for (int fd : {in[0], in[1], out[0], out[1], err[0], err[1]}) close(fd);
    execOzu(args, env);
  }
  close(in[0]);
  close(out[1]);
  close(err[1]);
  signal(SIGPIPE, SIG_IGN);
  size_t written = 0;
  int inFd = in[1];
  if (input.empty()) {
    close(inFd);
    inFd = -1;
  }
  OzuResult r{-1, "", ""};
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSec);
  int outFd = out[0], errFd = err[0];
  bool killed = false;
  while (outFd >= 0 || errFd >= 0) {
    struct pollfd p[3];
    int n = 0;
    if (outFd >= 0) p[n++] = {outFd, POLLIN, 0};
    if (errFd >= 0) p[n++] = {errFd, POLLIN, 0};
    if (inFd >= 0) p[n++] = {inFd, POLLOUT, 0};
    int left = int(std::chrono::duration_cast<std::chrono::milliseconds>(
                       deadline - std::chrono::steady_clock::now())
                       .count());
    if (left <= 0 && !killed) {
      kill(pid, SIGKILL);
      killed = true;
    }
    if (poll(p, nfds_t(n), left > 0 ? left : 1000) < 0 && errno != EINTR) break;
    for (int i = 0; i < n; ++i) {
      if (!p[i].revents) continue;
      if (p[i].fd == inFd) {
        ssize_t w = write(inFd, input.data() + written, input.size() - written);
        if (w > 0) written += size_t(w);
        if (w < 0 || written == input.size()) {
          close(inFd);
          inFd = -1;
        }
        continue;
      }
      char buf[4096];
      ssize_t got = read(p[i].fd, buf, sizeof buf);
      std::string& dst = p[i].fd == outFd ? r.out : r.err;
      if (got > 0) {
        dst.append(buf, size_t(got));
        if (p[i].fd == outFd && stopReadingAfter > 0 && r.out.size() >= stopReadingAfter) {
          close(outFd);
          outFd = -1;
        }
      } else if (got == 0 || errno != EINTR) {
        close(p[i].fd);
        (p[i].fd == outFd ? outFd : errFd) = -1;
      }
    }
  }
  if (inFd >= 0) close(inFd);
  int st = 0;
  waitpid(pid, &st, 0);
  r.status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
  return r;
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

std::string aliceGateway(const std::string& moreFiles, const std::string& moreSections) {
  return R"(
Users = {
  alice = {
    Password = wonderland
    Uid = 1001
    Gid = 100
    Home = /home/alice
  }
}
Files = {
  /home = {
    Type = directory
  }
  /home/alice = {
    Type = directory
    Uid = 1001
  }
)" + moreFiles + "}\n" + moreSections;
}
