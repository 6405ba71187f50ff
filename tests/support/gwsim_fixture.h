// A gateway simulator for end-to-end tests: writes the configuration text
// into a fresh temporary directory ("@DIR@" in the text becomes that
// directory), starts the built gwsim on a free loopback port with a journal
// and a storage namespace root ("@DIR@/root") in the directory, and on
// destruction stops it (SIGTERM), waits for it and removes the directory. A gwsim that started but then exits other than
// cleanly (crash, sanitizer report) fails the running test.
#ifndef TESTS_SUPPORT_GWSIM_FIXTURE_H
#define TESTS_SUPPORT_GWSIM_FIXTURE_H

#include <sys/types.h>

#include <string>
#include <vector>

struct GwsimFixture {
  explicit GwsimFixture(const std::string& configText);
  // The same with another gwsim binary (an installed one, say).
  GwsimFixture(const std::string& configText, const std::string& binaryPath);
  ~GwsimFixture();
  GwsimFixture(const GwsimFixture&) = delete;
  GwsimFixture& operator=(const GwsimFixture&) = delete;

  // True once gwsim printed its port; false when it could not start (its
  // exit status and standard error then say why).
  bool running() const { return port_ > 0 && pid_ > 0; }
  int port() const { return port_; }
  pid_t pid() const { return pid_; }
  const std::string& dir() const { return dir_; }
  std::string journalPath() const { return dir_ + "/journal"; }
  // The storage namespace root gwsim serves (its database is beside it, in
  // root.db); created empty before gwsim starts.
  std::string rootDir() const { return dir_ + "/root"; }
  // The journal as it stands now, one entry per line.
  std::vector<std::string> journalLines() const;
  // Polls the journal until a line holds text; false after timeoutMs.
  bool waitForJournal(const std::string& text, int timeoutMs = 5000) const;
  std::string stderrText() const;
  // Stops gwsim (SIGTERM, SIGKILL after 10 s) and returns its exit status:
  // the exit code, or 128 + signal. Later calls return the same status.
  int stop();
  // Stops gwsim (which must exit cleanly) and starts it again on the same
  // directory, configuration, root and database, on a new port; the
  // journal starts afresh. True once it listens again.
  bool restart();
  // Stops gwsim with SIGSTOP and waits until every thread of it shows as
  // stopped (the signal takes effect a little after kill() returns, and a
  // thread still running could answer one more request); false if it does
  // not within 5 s. resume() lets it go on.
  bool pause() const;
  void resume() const;
  // The gwsim binary the fixture starts.
  static std::string binary();

 private:
  void init(const std::string& configText);
  void start();
  std::string dir_;
  std::string bin_ = binary();
  pid_t pid_ = -1;
  int port_ = 0;
  int status_ = -1;
};

#endif
