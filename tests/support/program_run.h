// Runs a program as a child of a test or benchmark: the one place that
// spawns, feeds standard input, collects standard output and error, bounds
// the run in time and reaps the child. Wrappers for the programs of this
// tree (ozu_run.h, brix_session.h) build a ProgramSpec and call it.
//
// ProgramSpec   what to run: argv[0] is the program (looked up in PATH when
//               it holds no '/'); env the whole environment ("NAME=value"
//               entries; empty: the caller's own); cwd its current
//               directory ("" : the caller's). Standard input is /dev/null
//               unless stdinPipe, then a pipe fed with input and closed at
//               its end. Standard output and error are collected, or go to
//               outPath / errPath when given ("/dev/null" drops them);
//               mergeErr sends standard error into standard output.
//               newSession runs it in a session of its own, without a
//               controlling terminal, so that nothing can prompt on
//               /dev/tty. The child is killed (SIGKILL) after timeoutSec
//               of waiting for it.
//               With stopReadingAfter, standard output is closed once that
//               many bytes came (a reader that goes away).
// runProgram    starts the program and waits for it.
// startProgram  starts it and returns at once (inFd is the write end of its
//               standard input when stdinPipe; input is not written);
//               finishProgram then closes that end, collects the rest and
//               waits. A program that could not start has pid -1 and
//               finishProgram gives status -1 with the reason in err.
// reapProgram   waits for a child up to timeoutMs, calling idle between
//               looks (a reader that keeps pipes from filling; without it,
//               5 ms sleeps), then kills it (SIGKILL) and waits: its status
//               as ProgramResult has it, -1 when it cannot be waited for.
// shellRun      a shell command line (/bin/sh -c) with nothing on its
//               input: its status, and its output and error together in
//               *output when given.
// programEnv    the one environment filter: the caller's environment less
//               every entry that begins with one of drop ("QUOR_" drops a
//               family, "HOME=" one name), then changes applied in order:
//               "NAME=value" sets, a lone "NAME" unsets.
//
// Example:
//   ProgramSpec s;
//   s.argv = {"/bin/sh", "-c", "cat; echo oops >&2; exit 3"};
//   s.env = programEnv({"QUOR_"}, {"TZ=UTC"});
//   s.stdinPipe = true;
//   s.input = "hello\n";
//   ProgramResult r = runProgram(s);  // r.status 3, r.out "hello\n",
//                                     // r.err "oops\n"
#ifndef TESTS_SUPPORT_PROGRAM_RUN_H
#define TESTS_SUPPORT_PROGRAM_RUN_H

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

struct ProgramSpec {
  std::vector<std::string> argv;
  std::vector<std::string> env;
  std::string cwd;
  bool stdinPipe = false;
  std::string input;
  std::string outPath;
  std::string errPath;
  bool mergeErr = false;
  bool newSession = false;
  int timeoutSec = 60;
  size_t stopReadingAfter = 0;
};

struct ProgramResult {
  int status = -1;        // exit code, 128 + signal, or -1 when it never ran
  std::string out;
  std::string err;
  bool timedOut = false;  // killed at the time-out
  double seconds = 0;     // wall time from start to exit
  long maxRssKb = 0;      // the child's peak resident memory
  double cpuSeconds = 0;  // the child's user and system time
};

struct RunningProgram {
  pid_t pid = -1;
  int inFd = -1;   // write end of its standard input (stdinPipe only)
  int outFd = -1;  // read ends of what is collected
  int errFd = -1;
  std::string startError;
  std::chrono::steady_clock::time_point started;
};

ProgramResult runProgram(const ProgramSpec& prog);
RunningProgram startProgram(const ProgramSpec& prog);
ProgramResult finishProgram(RunningProgram& running, const ProgramSpec& prog);
int reapProgram(pid_t pid, int timeoutMs, const std::function<void()>& idle = {});
int shellRun(const std::string& command, std::string* output = nullptr);
std::vector<std::string> programEnv(const std::vector<std::string>& drop,
                                    const std::vector<std::string>& changes = {});

#endif
