// Runs a program to completion for a benchmark: its wall and CPU time, peak
// resident memory and exit status. The peak counts from this process's own
// resident memory at the start (the child begins as a copy of it), so
// callers keep theirs small and may report it as the floor. Standard output goes to outPath
// ("/dev/null" to drop it), standard error to errPath.
#ifndef TESTS_SUPPORT_TIMED_RUN_H
#define TESTS_SUPPORT_TIMED_RUN_H

#include <string>
#include <vector>

struct TimedRun {
  double seconds = 0;
  double cpuSeconds = 0;  // user and system time of the program
  long maxRssKb = 0;
  int status = -1;
};

// env entries are "NAME=value"; an empty env keeps the caller's.
TimedRun timedRun(const std::vector<std::string>& args, const std::vector<std::string>& env,
                  const std::string& cwd, const std::string& outPath = "/dev/null",
                  const std::string& errPath = "/dev/null");

#endif
