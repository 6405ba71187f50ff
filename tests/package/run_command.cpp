#include "run_command.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <sstream>

extern char** environ;

namespace {

std::vector<std::string> environment(const EnvChanges& changes) {
  std::vector<std::string> out;
  for (char** e = environ; *e; e++) {
    std::string entry = *e;
    std::string name = entry.substr(0, entry.find('='));
    if (changes.count(name) == 0) out.push_back(entry);
  }
  for (const auto& [name, value] : changes)
    if (value) out.push_back(name + "=" + *value);
  return out;
}

std::vector<char*> pointers(std::vector<std::string>& words) {
  std::vector<char*> p;
  for (std::string& w : words) p.push_back(w.data());
  p.push_back(nullptr);
  return p;
}

}  // namespace

CommandResult runCommand(const std::vector<std::string>& argv, const EnvChanges& env,
                         int timeoutSec) {
  CommandResult result{-1, ""};
  if (argv.empty()) return result;
  int pfd[2];
  if (pipe2(pfd, O_CLOEXEC) < 0) {
    result.output = std::string("pipe: ") + strerror(errno);
    return result;
  }
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&fa, pfd[1], 1);
  posix_spawn_file_actions_adddup2(&fa, pfd[1], 2);
  posix_spawn_file_actions_addclosefrom_np(&fa, 3);
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSID);
  std::vector<std::string> args = argv;
  std::vector<std::string> envs = environment(env);
  std::vector<char*> argp = pointers(args);
  std::vector<char*> envp = pointers(envs);
  pid_t pid = -1;
  int rc = posix_spawnp(&pid, args[0].c_str(), &fa, &attr, argp.data(), envp.data());
  posix_spawn_file_actions_destroy(&fa);
  posix_spawnattr_destroy(&attr);
  close(pfd[1]);
  if (rc != 0) {
    close(pfd[0]);
    result.output = "cannot start " + args[0] + ": " + strerror(rc);
    return result;
  }
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSec);
  bool killed = false;
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      kill(pid, SIGKILL);
      killed = true;
      break;
    }
    struct pollfd p = {pfd[0], POLLIN, 0};
    int n = poll(&p, 1, int(left.count()));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) break;
    if (n == 0) continue;
    char buf[4096];
    ssize_t got = read(pfd[0], buf, sizeof buf);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    result.output.append(buf, size_t(got));
  }
  close(pfd[0]);
  int wst = 0;
  while (waitpid(pid, &wst, 0) < 0 && errno == EINTR) {
  }
  if (WIFEXITED(wst))
    result.status = WEXITSTATUS(wst);
  else if (WIFSIGNALED(wst))
    result.status = 128 + WTERMSIG(wst);
  if (killed) result.output += "\n[killed after " + std::to_string(timeoutSec) + " s]\n";
  return result;
}

std::vector<std::string> splitWords(const std::string& text) {
  std::istringstream in(text);
  std::vector<std::string> words;
  std::string w;
  while (in >> w) words.push_back(w);
  return words;
}

std::string commandLine(const std::vector<std::string>& argv) {
  std::string line;
  for (const std::string& a : argv) line += (line.empty() ? "" : " ") + a;
  return line;
}
