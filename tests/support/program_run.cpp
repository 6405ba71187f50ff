#include "program_run.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

std::vector<char*> pointers(std::vector<std::string>& words) {
  std::vector<char*> p;
  for (std::string& w : words) p.push_back(w.data());
  p.push_back(nullptr);
  return p;
}

void closeFd(int& fd) {
  if (fd >= 0) close(fd);
  fd = -1;
}

int msUntil(std::chrono::steady_clock::time_point t) {
  auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(t - std::chrono::steady_clock::now());
  return left.count() <= 0 ? 0 : int(left.count());
}

}  // namespace

std::vector<std::string> programEnv(const std::vector<std::string>& drop,
                                    const std::vector<std::string>& changes) {
  std::vector<std::string> env;
  for (char** e = environ; *e; ++e) {
    std::string entry = *e;
    bool dropped = false;
    for (const std::string& d : drop)
      if (entry.compare(0, d.size(), d) == 0) dropped = true;
    if (!dropped) env.push_back(entry);
  }
  for (const std::string& c : changes) {
    std::string name = c.substr(0, c.find('=')) + "=";
    for (size_t i = 0; i < env.size(); ++i)
      if (env[i].compare(0, name.size(), name) == 0) {
        env.erase(env.begin() + long(i));
        break;
      }
    if (c.find('=') != std::string::npos) env.push_back(c);
  }
  return env;
}

RunningProgram startProgram(const ProgramSpec& prog) {
  RunningProgram r;
  if (prog.argv.empty()) {
    r.startError = "no program given";
    return r;
  }
  int in[2] = {-1, -1}, out[2] = {-1, -1}, err[2] = {-1, -1};
  bool collectOut = prog.outPath.empty();
  bool collectErr = prog.errPath.empty() && !prog.mergeErr;
  if ((prog.stdinPipe && pipe2(in, O_CLOEXEC) < 0) || (collectOut && pipe2(out, O_CLOEXEC) < 0) ||
      (collectErr && pipe2(err, O_CLOEXEC) < 0)) {
    r.startError = std::string("pipe: ") + strerror(errno);
    for (int fd : {in[0], in[1], out[0], out[1], err[0], err[1]})
      if (fd >= 0) close(fd);
    return r;
  }
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  if (!prog.cwd.empty()) posix_spawn_file_actions_addchdir_np(&fa, prog.cwd.c_str());
  if (prog.stdinPipe)
    posix_spawn_file_actions_adddup2(&fa, in[0], 0);
  else
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
  if (collectOut)
    posix_spawn_file_actions_adddup2(&fa, out[1], 1);
  else
    posix_spawn_file_actions_addopen(&fa, 1, prog.outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
  if (prog.mergeErr)
    posix_spawn_file_actions_adddup2(&fa, 1, 2);
  else if (collectErr)
    posix_spawn_file_actions_adddup2(&fa, err[1], 2);
  else
    posix_spawn_file_actions_addopen(&fa, 2, prog.errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
  posix_spawn_file_actions_addclosefrom_np(&fa, 3);
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  // The child gets SIGPIPE as usual even though the runner ignores it (a
  // reader that goes away must stop the writer); what else the test set,
  // SIGXFSZ ignored say, it inherits.
  sigset_t pipeSig;
  sigemptyset(&pipeSig);
  sigaddset(&pipeSig, SIGPIPE);
  posix_spawnattr_setsigdefault(&attr, &pipeSig);
  short flags = POSIX_SPAWN_SETSIGDEF;
  if (prog.newSession) flags |= POSIX_SPAWN_SETSID;
  posix_spawnattr_setflags(&attr, flags);
  std::vector<std::string> args = prog.argv;
  std::vector<std::string> env = prog.env;
  std::vector<char*> argp = pointers(args);
  std::vector<char*> envp = pointers(env);
  r.started = std::chrono::steady_clock::now();
  int rc = posix_spawnp(&r.pid, args[0].c_str(), &fa, &attr, argp.data(),
                        prog.env.empty() ? environ : envp.data());
  posix_spawn_file_actions_destroy(&fa);
  posix_spawnattr_destroy(&attr);
  for (int fd : {in[0], out[1], err[1]})
    if (fd >= 0) close(fd);
  r.inFd = in[1];
  r.outFd = out[0];
  r.errFd = err[0];
  if (rc != 0) {
    r.pid = -1;
    r.startError = "cannot start " + args[0] + ": " + strerror(rc);
    closeFd(r.inFd);
    closeFd(r.outFd);
    closeFd(r.errFd);
  }
  return r;
}

ProgramResult finishProgram(RunningProgram& running, const ProgramSpec& prog) {
  ProgramResult res;
  if (running.pid <= 0) {
    res.err = running.startError;
    return res;
  }
  // A reader of the child's input that went away must not end the test.
  signal(SIGPIPE, SIG_IGN);
  size_t written = 0;
  if (prog.input.empty())
    closeFd(running.inFd);
  else  // written as the pipe takes it, so that output never waits on input
    fcntl(running.inFd, F_SETFL, fcntl(running.inFd, F_GETFL) | O_NONBLOCK);
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(prog.timeoutSec);
  bool killed = false;
  while (running.outFd >= 0 || running.errFd >= 0) {
    struct pollfd p[3];
    int n = 0;
    if (running.outFd >= 0) p[n++] = {running.outFd, POLLIN, 0};
    if (running.errFd >= 0) p[n++] = {running.errFd, POLLIN, 0};
    if (running.inFd >= 0) p[n++] = {running.inFd, POLLOUT, 0};
    int left = msUntil(deadline);
    if (left == 0) {
      if (killed) break;  // something else holds the pipes open
      kill(running.pid, SIGKILL);
      killed = true;
      res.timedOut = true;
      // What the child wrote is still read; its pipes close as it dies.
      deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
      continue;
    }
    if (poll(p, nfds_t(n), left) < 0 && errno != EINTR) break;
    for (int i = 0; i < n; ++i) {
      if (!p[i].revents) continue;
      if (p[i].fd == running.inFd) {
        ssize_t w = write(running.inFd, prog.input.data() + written, prog.input.size() - written);
        if (w > 0) written += size_t(w);
        if ((w < 0 && errno != EINTR && errno != EAGAIN) || written == prog.input.size())
          closeFd(running.inFd);
        continue;
      }
      bool isOut = p[i].fd == running.outFd;
      char buf[65536];
      ssize_t got = read(p[i].fd, buf, sizeof buf);
      if (got > 0) {
        std::string& dst = isOut ? res.out : res.err;
        dst.append(buf, size_t(got));
        if (isOut && prog.stopReadingAfter > 0 && res.out.size() >= prog.stopReadingAfter)
          closeFd(running.outFd);
      } else if (got == 0 || errno != EINTR) {
        closeFd(isOut ? running.outFd : running.errFd);
      }
    }
  }
  closeFd(running.inFd);
  closeFd(running.outFd);
  closeFd(running.errFd);
  int st = 0;
  struct rusage ru;
  memset(&ru, 0, sizeof ru);
  if (!killed) {
    // The output ended; the child still gets its time-out to exit.
    int pfd = int(syscall(SYS_pidfd_open, running.pid, 0));
    if (pfd >= 0) {
      struct pollfd p = {pfd, POLLIN, 0};
      int n;
      while ((n = poll(&p, 1, msUntil(deadline))) < 0 && errno == EINTR) {
      }
      if (n == 0) {
        kill(running.pid, SIGKILL);
        res.timedOut = true;
      }
      close(pfd);
    }
  }
  while (wait4(running.pid, &st, 0, &ru) < 0 && errno == EINTR) {
  }
  res.seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - running.started).count();
  res.maxRssKb = ru.ru_maxrss;
  res.cpuSeconds = double(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
                   double(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
  res.status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
  running.pid = -1;
  return res;
}

int reapProgram(pid_t pid, int timeoutMs, const std::function<void()>& idle) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  int st = 0;
  for (;;) {
    pid_t r = waitpid(pid, &st, WNOHANG);
    if (r == pid) break;
    if (r < 0 && errno != EINTR) return -1;
    if (msUntil(deadline) == 0) {
      kill(pid, SIGKILL);
      while (waitpid(pid, &st, 0) < 0)
        if (errno != EINTR) return -1;
      break;
    }
    if (idle)
      idle();
    else
      usleep(5000);
  }
  return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
}

int shellRun(const std::string& command, std::string* output) {
  ProgramSpec prog;
  prog.argv = {"/bin/sh", "-c", command};
  prog.mergeErr = true;
  prog.timeoutSec = 600;
  ProgramResult r = runProgram(prog);
  if (output) *output = r.out;
  return r.status;
}

ProgramResult runProgram(const ProgramSpec& prog) {
  RunningProgram r = startProgram(prog);
  return finishProgram(r, prog);
}
