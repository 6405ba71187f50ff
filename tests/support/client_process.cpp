#include "client_process.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

ChildResult runInChild(const std::function<int()>& body, int timeoutSec) {
  fflush(stdout);
  fflush(stderr);
  int fds[2];
  if (pipe(fds) != 0) return {-1, "pipe failed"};
  pid_t pid = fork();
  if (pid < 0) return {-1, "fork failed"};
  if (pid == 0) {
    close(fds[0]);
    dup2(fds[1], STDERR_FILENO);
    close(fds[1]);
    // No controlling terminal: log-ins must not prompt anybody.
    setsid();
    alarm(static_cast<unsigned>(timeoutSec));
    int failures = body();
    fflush(stderr);
    _exit(failures > 100 ? 100 : failures);
  }
  close(fds[1]);
  std::string text;
  char buf[4096];
  ssize_t n;
  while ((n = read(fds[0], buf, sizeof buf)) > 0) text.append(buf, static_cast<size_t>(n));
  close(fds[0]);
  int st = 0;
  waitpid(pid, &st, 0);
  int status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
  return {status, text};
}
