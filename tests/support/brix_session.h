// Runs the built brix as a real process against a gwsim of its own.
//
// BrixSession starts gwsim with the user alice (plus any extra configuration
// text) and prepares, inside gwsim's temporary directory: a home directory
// whose .netrc logs alice in, a work directory (the brix process's current
// directory) and a TMPDIR. All of it goes when the session ends.
//
// run      starts brix with args (program name excluded) and waits for it:
//          exit status (or 128 + signal) and what it wrote on standard
//          output and standard error. stdinText, when given, is its input.
// start    starts brix and returns at once; finish waits for it. The
//          archive bytes of a piped create come back in out.
// cwd      brix's current directory, when not the work directory.
// env      extra environment for brix (QUOR_TEST_TIMESCALE defaults to
//          1000; a test may override it).
#ifndef TESTS_SUPPORT_BRIX_SESSION_H
#define TESTS_SUPPORT_BRIX_SESSION_H

#include <map>
#include <string>
#include <vector>

#include "gwsim_fixture.h"
#include "program_run.h"

struct BrixResult {
  int status = -1;
  std::string out;
  std::string err;
};

// pid, and the read ends of brix's standard output (outFd) and error
// (errFd), the write end of its input (inFd, -1 when not asked for).
using BrixRunning = RunningProgram;

struct BrixSession {
  explicit BrixSession(const std::string& extraConfig = "");
  GwsimFixture gw;
  std::string home;
  std::string work;
  std::string tmp;
  std::map<std::string, std::string> env;
  std::string cwd;  // brix's current directory when set, else work

  bool ready() const { return gw.running(); }
  BrixResult run(const std::vector<std::string>& args, const std::string& stdinText = "",
                 int timeoutSec = 120);
  BrixRunning start(const std::vector<std::string>& args, bool withStdin = false);
  BrixResult finish(BrixRunning& r, int timeoutSec = 120);
  // brix's environment as "NAME=value" entries, and its program path.
  std::vector<std::string> environment() const;
  static std::string program();
  // The entries of TMPDIR and of the work directory whose names begin with
  // one of the temporary-file prefixes brix uses.
  std::vector<std::string> leftoverTempFiles() const;
};

// Writes a file (parents created), with an optional mode.
void writeFileAt(const std::string& path, const std::string& data, int mode = 0644);
// Runs a shell command line; its exit status and combined output.
int shellRun(const std::string& command, std::string* output = nullptr);

#endif
