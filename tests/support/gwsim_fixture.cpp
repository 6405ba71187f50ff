#include "gwsim_fixture.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "program_run.h"

#ifndef GWSIM_PATH
#error "GWSIM_PATH must name the gwsim binary"
#endif

static std::string read_file(const std::string& path) {
  std::ifstream in(path);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

// Reads gwsim's first line from fd: its port, or 0 when it did not come
// within the time limit or gwsim closed standard output first.
static int read_port(int fd) {
  std::string line;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (line.find('\n') == std::string::npos) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return 0;
    struct pollfd pfd = {fd, POLLIN, 0};
    int n = poll(&pfd, 1, int(left.count()));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return 0;
    char buf[128];
    ssize_t got = read(fd, buf, sizeof buf);
    if (got <= 0) return 0;
    line.append(buf, size_t(got));
  }
  int port = 0;
  if (sscanf(line.c_str(), "gwsim listening on port %d", &port) != 1) return 0;
  return port;
}

GwsimFixture::GwsimFixture(const std::string& configText, const std::string& binaryPath)
    : bin_(binaryPath) {
  init(configText);
}

GwsimFixture::GwsimFixture(const std::string& configText) { init(configText); }

void GwsimFixture::init(const std::string& configText) {
  const char* tmp = getenv("TMPDIR");
  std::string templ = std::string(tmp && *tmp ? tmp : "/tmp") + "/gwsim-XXXXXX";
  std::vector<char> buf(templ.begin(), templ.end());
  buf.push_back('\0');
  if (!mkdtemp(buf.data())) {
    ADD_FAILURE() << "mkdtemp: " << strerror(errno);
    return;
  }
  dir_ = buf.data();

  std::string text = configText;
  for (size_t at = text.find("@DIR@"); at != std::string::npos; at = text.find("@DIR@", at))
    text.replace(at, 5, dir_);
  std::string cfgPath = dir_ + "/gwsim.conf";
  {
    std::ofstream out(cfgPath);
    out << text;
  }
  std::string root = rootDir();
  if (mkdir(root.c_str(), 0755) < 0) ADD_FAILURE() << "mkdir " << root << ": " << strerror(errno);
  start();
}

std::string GwsimFixture::binary() { return GWSIM_PATH; }

namespace {

// True when every thread of pid is stopped.
bool allThreadsStopped(pid_t pid) {
  std::string taskDir = "/proc/" + std::to_string(pid) + "/task";
  DIR* d = opendir(taskDir.c_str());
  if (!d) return false;
  bool all = true, any = false;
  while (struct dirent* e = readdir(d)) {
    if (e->d_name[0] == '.') continue;
    std::ifstream stat(taskDir + "/" + e->d_name + "/stat");
    std::string line;
    if (!std::getline(stat, line)) continue;  // a thread that just ended
    size_t close = line.rfind(')');
    any = true;
    if (close == std::string::npos || close + 2 >= line.size() || line[close + 2] != 'T') all = false;
  }
  closedir(d);
  return any && all;
}

}  // namespace

bool GwsimFixture::pause() const {
  if (pid_ <= 0 || kill(pid_, SIGSTOP) != 0) return false;
  for (int i = 0; i < 5000; i++) {
    if (allThreadsStopped(pid_)) return true;
    usleep(1000);
  }
  return false;
}

void GwsimFixture::resume() const {
  if (pid_ > 0) kill(pid_, SIGCONT);
}

bool GwsimFixture::restart() {
  int st = stop();
  if (st != 0) {
    ADD_FAILURE() << "gwsim exited with status " << st << "; its standard error:\n" << stderrText();
    return false;
  }
  start();
  return running();
}

void GwsimFixture::start() {
  std::string cfgPath = dir_ + "/gwsim.conf";
  std::string errPath = dir_ + "/stderr";
  std::string journal = journalPath();
  ProgramSpec prog;
  prog.argv = {bin_, "--config", cfgPath, "--journal", journal, "--port", "0", "--root", rootDir()};
  prog.errPath = errPath;
  RunningProgram run = startProgram(prog);
  if (run.pid <= 0) {
    ADD_FAILURE() << run.startError;
    return;
  }
  pid_ = run.pid;
  status_ = -1;
  port_ = read_port(run.outFd);
  close(run.outFd);
  if (port_ == 0) {
    stop();
    port_ = 0;
  }
}

GwsimFixture::~GwsimFixture() {
  bool wasRunning = running();
  int st = stop();
  if (wasRunning && st != 0)
    ADD_FAILURE() << "gwsim exited with status " << st << "; its standard error:\n" << stderrText();
  if (!dir_.empty()) {
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }
}

int GwsimFixture::stop() {
  if (pid_ <= 0) return status_;
  kill(pid_, SIGTERM);
  status_ = reapProgram(pid_, 10000);
  pid_ = -1;
  return status_;
}

std::vector<std::string> GwsimFixture::journalLines() const {
  std::vector<std::string> lines;
  std::ifstream in(journalPath());
  std::string line;
  while (std::getline(in, line)) lines.push_back(line);
  return lines;
}

bool GwsimFixture::waitForJournal(const std::string& text, int timeoutMs) const {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    for (const std::string& l : journalLines())
      if (l.find(text) != std::string::npos) return true;
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

std::string GwsimFixture::stderrText() const {
  return dir_.empty() ? "" : read_file(dir_ + "/stderr");
}
