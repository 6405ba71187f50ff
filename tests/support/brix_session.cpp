#include "brix_session.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#ifndef BRIX_PATH
#error "BRIX_PATH must name the brix binary"
#endif

extern char** environ;

namespace {

std::string gatewayName() {
  struct sockaddr_in in;
  memset(&in, 0, sizeof in);
  in.sin_family = AF_INET;
  in.sin_port = htons(1217);
  in.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  char name[NI_MAXHOST] = "";
  if (getnameinfo(reinterpret_cast<sockaddr*>(&in), sizeof in, name, sizeof name, nullptr, 0, 0) != 0)
    return "127.0.0.1";
  return name;
}

void drainInto(int fd, std::string& into) {
  char buf[65536];
  for (;;) {
    ssize_t n = read(fd, buf, sizeof buf);
    if (n > 0) {
      into.append(buf, size_t(n));
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    break;
  }
}

}  // namespace

void writeFileAt(const std::string& path, const std::string& data, int mode) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(data.data(), std::streamsize(data.size()));
  }
  chmod(path.c_str(), mode_t(mode));
}

int shellRun(const std::string& command, std::string* output) {
  std::string cmd = "{ " + command + "; } 2>&1";
  FILE* p = popen(cmd.c_str(), "r");
  if (!p) return -1;
  std::string text;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) text.append(buf, n);
  int st = pclose(p);
  if (output) *output = text;
  return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
}

BrixSession::BrixSession(const std::string& extraConfig)
    : gw("Users = {\n alice = {\n  Password = wonderland\n  Uid = 1001\n  Gid = 100\n }\n}\n" +
         extraConfig) {
  if (!gw.running()) return;
  home = gw.dir() + "/home";
  work = gw.dir() + "/work";
  tmp = gw.dir() + "/tmp";
  for (const std::string& d : {home, work, tmp}) mkdir(d.c_str(), 0755);
  writeFileAt(home + "/.netrc", "machine " + gatewayName() + " login alice password wonderland\n", 0600);
  env["QUOR_SERVER_HOST"] = "127.0.0.1/" + std::to_string(gw.port());
  env["QUOR_HOSTNAME"] = "localhost";
  env["QUOR_CFG_FILE_PATH"] = gw.dir();
  env["QUOR_USE_NETRC_FILE"] = "1";
  env["QUOR_TEST_TIMESCALE"] = "1000";
  env["HOME"] = home;
  env["TMPDIR"] = tmp;
  env["TZ"] = "UTC";
}

BrixRunning BrixSession::start(const std::vector<std::string>& args, bool withStdin) {
  BrixRunning r;
  int outp[2], errp[2], inp[2] = {-1, -1};
  if (pipe2(outp, O_CLOEXEC) < 0 || pipe2(errp, O_CLOEXEC) < 0) return r;
  if (withStdin && pipe2(inp, O_CLOEXEC) < 0) return r;
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addchdir_np(&fa, (cwd.empty() ? work : cwd).c_str());
  posix_spawn_file_actions_adddup2(&fa, outp[1], 1);
  posix_spawn_file_actions_adddup2(&fa, errp[1], 2);
  if (withStdin) posix_spawn_file_actions_adddup2(&fa, inp[0], 0);
  else posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addclosefrom_np(&fa, 3);
  std::vector<std::string> all;
  all.push_back(BRIX_PATH);
  all.insert(all.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& a : all) argv.push_back(a.data());
  argv.push_back(nullptr);
  std::vector<std::string> envStrings = environment();
  std::vector<char*> envp;
  for (std::string& s : envStrings) envp.push_back(s.data());
  envp.push_back(nullptr);
  pid_t pid = -1;
  int rc = posix_spawn(&pid, BRIX_PATH, &fa, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&fa);
  close(outp[1]);
  close(errp[1]);
  if (withStdin) close(inp[0]);
  if (rc != 0) {
    ADD_FAILURE() << "cannot start brix: " << strerror(rc);
    close(outp[0]);
    close(errp[0]);
    if (withStdin) close(inp[1]);
    return r;
  }
  r.pid = pid;
  r.outFd = outp[0];
  r.errFd = errp[0];
  r.inFd = withStdin ? inp[1] : -1;
  return r;
}

BrixResult BrixSession::finish(BrixRunning& r, int timeoutSec) {
  BrixResult res;
  if (r.pid <= 0) return res;
  if (r.inFd >= 0) {
    close(r.inFd);
    r.inFd = -1;
  }
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSec);
  struct pollfd fds[2] = {{r.outFd, POLLIN, 0}, {r.errFd, POLLIN, 0}};
  int open = 2;
  while (open > 0) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      ADD_FAILURE() << "brix did not finish within " << timeoutSec << " s";
      kill(r.pid, SIGKILL);
      break;
    }
    int n = poll(fds, 2, int(left.count()));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) continue;
    for (int i = 0; i < 2; i++) {
      if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      char buf[65536];
      ssize_t got = read(fds[i].fd, buf, sizeof buf);
      if (got > 0) {
        (i == 0 ? res.out : res.err).append(buf, size_t(got));
      } else if (got == 0 || errno != EINTR) {
        close(fds[i].fd);
        fds[i].fd = -1;
        open--;
      }
    }
  }
  for (auto& f : fds)
    if (f.fd >= 0) {
      drainInto(f.fd, &f == &fds[0] ? res.out : res.err);
      close(f.fd);
    }
  int wst = 0;
  while (waitpid(r.pid, &wst, 0) < 0 && errno == EINTR) {
  }
  res.status = WIFEXITED(wst) ? WEXITSTATUS(wst) : 128 + WTERMSIG(wst);
  r.pid = -1;
  return res;
}

BrixResult BrixSession::run(const std::vector<std::string>& args, const std::string& stdinText,
                            int timeoutSec) {
  bool withStdin = !stdinText.empty();
  BrixRunning r = start(args, withStdin);
  if (withStdin && r.inFd >= 0) {
    // Written from a thread so a large input cannot block against output.
    int fd = r.inFd;
    r.inFd = -1;
    std::thread writer([fd, stdinText] {
      size_t done = 0;
      while (done < stdinText.size()) {
        ssize_t n = write(fd, stdinText.data() + done, stdinText.size() - done);
        if (n <= 0) break;
        done += size_t(n);
      }
      close(fd);
    });
    BrixResult res = finish(r, timeoutSec);
    writer.join();
    return res;
  }
  return finish(r, timeoutSec);
}

std::vector<std::string> BrixSession::leftoverTempFiles() const {
  std::vector<std::string> found;
  for (const std::string& d : {tmp, work}) {
    DIR* dir = opendir(d.c_str());
    if (!dir) continue;
    while (struct dirent* de = readdir(dir)) {
      std::string n = de->d_name;
      if (n.rfind("BRIX_", 0) == 0 || n.rfind("brix_", 0) == 0) found.push_back(d + "/" + n);
    }
    closedir(dir);
  }
  return found;
}

std::vector<std::string> BrixSession::environment() const {
  std::map<std::string, std::string> merged;
  for (char** e = environ; *e; e++) {
    std::string kv = *e;
    size_t eq = kv.find('=');
    if (eq == std::string::npos) continue;
    std::string k = kv.substr(0, eq);
    if (k.rfind("QUOR_", 0) == 0 || k.rfind("BRIX_", 0) == 0) continue;
    merged[k] = kv.substr(eq + 1);
  }
  for (const auto& [k, v] : env) merged[k] = v;
  std::vector<std::string> out;
  for (const auto& [k, v] : merged) out.push_back(k + "=" + v);
  return out;
}

std::string BrixSession::program() { return BRIX_PATH; }
