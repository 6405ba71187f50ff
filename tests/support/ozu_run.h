// Runs the built ozu against a gwsim of a test. The environment is the
// test's own: HOME is "<gwsim dir>/home" (made here, with a .netrc holding
// the user's password for 127.0.0.1, read because QUOR_USE_NETRC_FILE is
// set), QUOR_CFG_FILE_PATH is the gwsim directory (where a test may put an
// "ozurc"), the long waits are shortened by QUOR_TEST_TIMESCALE, and no
// other QUOR_ or OZU_ setting of the caller leaks in.
//
// ozuHome        the HOME directory; writeFile writes a file there (or
//                anywhere, for an absolute path).
// ozuArgs        "-h 127.0.0.1 -p PORT -l USER" followed by more.
// runOzu         runs ozu with args, standard input from text (closed at its
//                end), standard output and error collected; killed after
//                timeoutSec. extraEnv entries are NAME=VALUE (a lone NAME
//                unsets it). With stopReadingAfter, standard output is
//                closed once that many bytes came (a reader that goes away).
// startOzuOnPty  runs ozu with a new pseudo terminal as its controlling
//                terminal and as its standard input, output and error
//                (what it writes shows on PtyProcess::screen).
// The gateway alice logs in to: aliceConfig() of gwsim_config.h.
#ifndef TESTS_SUPPORT_OZU_RUN_H
#define TESTS_SUPPORT_OZU_RUN_H

#include <memory>
#include <string>
#include <vector>

#include "gwsim_config.h"
#include "gwsim_fixture.h"
#include "pty_process.h"

struct OzuResult {
  int status;  // exit code, or 128 + signal
  std::string out;
  std::string err;
};

std::string ozuHome(const GwsimFixture& gw, const std::string& user = "alice",
                    const std::string& password = "wonderland");
void writeFile(const GwsimFixture& gw, const std::string& path, const std::string& text);
std::vector<std::string> ozuArgs(const GwsimFixture& gw, const std::vector<std::string>& more,
                                 const std::string& user = "alice");
OzuResult runOzu(const GwsimFixture& gw, const std::vector<std::string>& args,
                 const std::string& input = "", const std::vector<std::string>& extraEnv = {},
                 int timeoutSec = 60, size_t stopReadingAfter = 0);
std::unique_ptr<PtyProcess> startOzuOnPty(const GwsimFixture& gw,
                                          const std::vector<std::string>& args,
                                          const std::vector<std::string>& extraEnv = {});

#endif
