#include "timed_run.h"

#include <fcntl.h>
#include <malloc.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>

extern char** environ;

TimedRun timedRun(const std::vector<std::string>& args, const std::vector<std::string>& env,
                  const std::string& cwd, const std::string& outPath, const std::string& errPath) {
  TimedRun r;
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  if (!cwd.empty()) posix_spawn_file_actions_addchdir_np(&fa, cwd.c_str());
  posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&fa, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&fa, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  std::vector<std::string> a = args;
  std::vector<char*> argv;
  for (std::string& s : a) argv.push_back(s.data());
  argv.push_back(nullptr);
  std::vector<std::string> e = env;
  std::vector<char*> envp;
  for (std::string& s : e) envp.push_back(s.data());
  envp.push_back(nullptr);
  // The child starts in this process's memory, whose high-water mark its
  // peak would otherwise include: hand back what is free and reset the mark
  // to what is resident now.
  malloc_trim(0);
  int cr = open("/proc/self/clear_refs", O_WRONLY);
  if (cr >= 0) {
    if (write(cr, "5", 1) != 1) {
    }
    close(cr);
  }
  auto start = std::chrono::steady_clock::now();
  pid_t pid = -1;
  int rc = posix_spawnp(&pid, a[0].c_str(), &fa, nullptr, argv.data(), env.empty() ? environ : envp.data());
  posix_spawn_file_actions_destroy(&fa);
  if (rc != 0) return r;
  int st = 0;
  struct rusage ru;
  wait4(pid, &st, 0, &ru);
  r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  r.maxRssKb = ru.ru_maxrss;
  r.cpuSeconds = double(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
                 double(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
  r.status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
  return r;
}
