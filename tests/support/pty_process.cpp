#include "pty_process.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>

#include "program_run.h"

namespace {

using Clock = std::chrono::steady_clock;

int msLeft(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return left.count() > 0 ? int(left.count()) : 0;
}

void closeFd(int* fd) {
  if (*fd >= 0) close(*fd);
  *fd = -1;
}

// Reads what fd has now into out. False at end of data (the fd is closed).
bool drainFd(int* fd, std::string* out) {
  char buf[4096];
  for (;;) {
    ssize_t n = read(*fd, buf, sizeof buf);
    if (n > 0) {
      out->append(buf, size_t(n));
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN) return true;
    // End of file, or EIO on the master once the child's side is gone.
    closeFd(fd);
    return false;
  }
}

[[noreturn]] void runChild(const char* slaveName, int master, int outW, int errW,
                           const std::function<int()>& body, int timeoutSec) {
  close(master);
  // A new session without a terminal; the first terminal it opens becomes
  // its controlling one.
  setsid();
  int slave = open(slaveName, O_RDWR);
  if (slave < 0 || ioctl(slave, TIOCSCTTY, 0) != 0) _exit(125);
  int null = open("/dev/null", O_RDONLY);
  if (null < 0 || dup2(null, 0) < 0 || dup2(outW, 1) < 0 || dup2(errW, 2) < 0) _exit(125);
  close(null);
  close(outW);
  close(errW);
  // slave stays open, so the terminal lives while the code under test opens
  // and closes "/dev/tty".
  alarm(unsigned(timeoutSec));
  int failures = body();
  fflush(stdout);
  fflush(stderr);
  _exit(failures > 100 ? 100 : failures);
}

}  // namespace

PtyProcess::PtyProcess(const std::function<int()>& body, int timeoutSec) {
  int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master < 0) return;
  char name[128];
  if (grantpt(master) != 0 || unlockpt(master) != 0 || ptsname_r(master, name, sizeof name) != 0) {
    close(master);
    return;
  }
  int outP[2], errP[2];
  if (pipe2(outP, O_CLOEXEC) != 0) {
    close(master);
    return;
  }
  if (pipe2(errP, O_CLOEXEC) != 0) {
    close(master);
    close(outP[0]);
    close(outP[1]);
    return;
  }
  fflush(stdout);
  fflush(stderr);
  pid_t pid = fork();
  if (pid == 0) runChild(name, master, outP[1], errP[1], body, timeoutSec);
  close(outP[1]);
  close(errP[1]);
  if (pid < 0) {
    close(master);
    close(outP[0]);
    close(errP[0]);
    return;
  }
  pid_ = pid;
  master_ = master;
  outFd_ = outP[0];
  errFd_ = errP[0];
  for (int fd : {master_, outFd_, errFd_}) fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
}

PtyProcess::~PtyProcess() {
  if (pid_ > 0) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }
  closeFd(&master_);
  closeFd(&outFd_);
  closeFd(&errFd_);
}

bool PtyProcess::pump(int timeoutMs) {
  struct pollfd pfd[3];
  std::string* sinks[3];
  int* fds[3];
  int n = 0;
  for (auto [fd, sink] : {std::pair<int*, std::string*>{&master_, &screen},
                          {&outFd_, &outText},
                          {&errFd_, &errText}}) {
    if (*fd < 0) continue;
    pfd[n] = {*fd, POLLIN, 0};
    sinks[n] = sink;
    fds[n] = fd;
    n++;
  }
  if (n == 0) return false;
  int ready = poll(pfd, nfds_t(n), timeoutMs);
  if (ready <= 0) return true;
  for (int i = 0; i < n; i++)
    if (pfd[i].revents) drainFd(fds[i], sinks[i]);
  return true;
}

bool PtyProcess::waitFor(const std::string& text, int timeoutMs) {
  auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    size_t at = screen.find(text, mark_);
    if (at != std::string::npos) {
      mark_ = at + text.size();
      return true;
    }
    int left = msLeft(deadline);
    if (left == 0 || !pump(left < 50 ? left : 50)) return false;
  }
}

bool PtyProcess::type(const std::string& text) {
  if (master_ < 0) return false;
  size_t done = 0;
  auto deadline = Clock::now() + std::chrono::seconds(5);
  while (done < text.size()) {
    ssize_t n = write(master_, text.data() + done, text.size() - done);
    if (n > 0) {
      done += size_t(n);
      continue;
    }
    if (n < 0 && errno != EINTR && errno != EAGAIN) return false;
    if (msLeft(deadline) == 0) return false;
    // The terminal's input is full: let the child read some.
    pump(10);
  }
  return true;
}

int PtyProcess::finish(int timeoutMs) {
  if (pid_ <= 0) return status_;
  // Keep reading, so a child writing much never blocks on a full pipe.
  status_ = reapProgram(pid_, timeoutMs, [this] {
    if (!pump(10)) usleep(10000);
  });
  pid_ = -1;
  // The child is gone: what it wrote is all there, up to the end of each.
  if (master_ >= 0) drainFd(&master_, &screen);
  closeFd(&master_);
  auto end = Clock::now() + std::chrono::seconds(2);
  while ((outFd_ >= 0 || errFd_ >= 0) && msLeft(end) > 0) pump(50);
  closeFd(&outFd_);
  closeFd(&errFd_);
  return status_;
}
