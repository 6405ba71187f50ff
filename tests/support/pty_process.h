// Runs a function in a forked child whose controlling terminal is a new
// pseudo terminal, so that prompts on "/dev/tty" can be read and answered
// by the test: the parent waits for texts on the terminal and types
// answers. The child's standard input is /dev/null; its standard output and
// standard error are collected. Everything is bounded in time: the child
// gets an alarm, every wait has a time limit, and a child still running
// when the record goes is killed.
//
// The body returns the number of failed checks (CHILD_CHECK of
// client_process.h), which becomes the child's exit status (at most 100).
#ifndef TESTS_SUPPORT_PTY_PROCESS_H
#define TESTS_SUPPORT_PTY_PROCESS_H

#include <sys/types.h>

#include <functional>
#include <string>

struct PtyProcess {
  // Starts body; started() tells whether the terminal and the child could
  // be had. The child is killed by SIGALRM after timeoutSec.
  explicit PtyProcess(const std::function<int()>& body, int timeoutSec = 60);
  ~PtyProcess();
  PtyProcess(const PtyProcess&) = delete;
  PtyProcess& operator=(const PtyProcess&) = delete;

  bool started() const { return pid_ > 0 || status_ >= 0; }
  // Reads the terminal until text shows after the end of the text last
  // waited for (so the same prompt can be awaited twice). False after
  // timeoutMs or once the child is gone without showing it.
  bool waitFor(const std::string& text, int timeoutMs = 5000);
  // Types text on the terminal. False when it cannot be written.
  bool type(const std::string& text);
  // Waits for the child to end (SIGKILL after timeoutMs), collects the rest
  // of its output and returns its exit status: the exit code, or 128 +
  // signal; -1 when it never started. Later calls return the same.
  int finish(int timeoutMs = 30000);

  // What the terminal showed, and the child's standard output and error,
  // as read so far.
  std::string screen;
  std::string outText;
  std::string errText;

 private:
  // Reads whatever the terminal and the pipes have, waiting up to
  // timeoutMs for the first bytes. False when nothing is left to read.
  bool pump(int timeoutMs);

  pid_t pid_ = -1;
  int master_ = -1;
  int outFd_ = -1;
  int errFd_ = -1;
  size_t mark_ = 0;
  int status_ = -1;
};

#endif
