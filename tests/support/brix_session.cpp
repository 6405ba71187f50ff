#include "brix_session.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "client_env.h"
#include "gwsim_config.h"

#ifndef BRIX_PATH
#error "BRIX_PATH must name the brix binary"
#endif

namespace {

std::string aliceUser() {
  GwsimConfig c;
  c.user("alice", "wonderland").set("Uid", 1001).set("Gid", 100);
  return c.text();
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

BrixSession::BrixSession(const std::string& extraConfig) : gw(aliceUser() + extraConfig) {
  if (!gw.running()) return;
  home = gw.dir() + "/home";
  work = gw.dir() + "/work";
  tmp = gw.dir() + "/tmp";
  for (const std::string& d : {home, work, tmp}) mkdir(d.c_str(), 0755);
  writeNetrc(home + "/.netrc", loopbackName(), "alice", "wonderland");
  env["QUOR_SERVER_HOST"] = "127.0.0.1/" + std::to_string(gw.port());
  env["QUOR_HOSTNAME"] = "localhost";
  env["QUOR_CFG_FILE_PATH"] = gw.dir();
  env["QUOR_USE_NETRC_FILE"] = "1";
  env["QUOR_TEST_TIMESCALE"] = "1000";
  env["HOME"] = home;
  env["TMPDIR"] = tmp;
  env["TZ"] = "UTC";
}

namespace {

ProgramSpec brixSpec(const BrixSession& s, const std::vector<std::string>& args, bool withStdin,
                     int timeoutSec) {
  ProgramSpec prog;
  prog.argv = args;
  prog.argv.insert(prog.argv.begin(), BRIX_PATH);
  prog.env = s.environment();
  prog.cwd = s.cwd.empty() ? s.work : s.cwd;
  prog.stdinPipe = withStdin;
  prog.timeoutSec = timeoutSec;
  return prog;
}

BrixResult brixFinish(BrixRunning& r, const ProgramSpec& prog) {
  ProgramResult p = finishProgram(r, prog);
  if (p.timedOut) ADD_FAILURE() << "brix did not finish within " << prog.timeoutSec << " s";
  return {p.status, p.out, p.err};
}

}  // namespace

BrixRunning BrixSession::start(const std::vector<std::string>& args, bool withStdin) {
  BrixRunning r = startProgram(brixSpec(*this, args, withStdin, 0));
  if (r.pid <= 0) ADD_FAILURE() << r.startError;
  return r;
}

BrixResult BrixSession::finish(BrixRunning& r, int timeoutSec) {
  if (r.pid <= 0) return BrixResult{};
  ProgramSpec prog;
  prog.timeoutSec = timeoutSec;
  return brixFinish(r, prog);
}

BrixResult BrixSession::run(const std::vector<std::string>& args, const std::string& stdinText,
                            int timeoutSec) {
  ProgramSpec prog = brixSpec(*this, args, !stdinText.empty(), timeoutSec);
  prog.input = stdinText;
  BrixRunning r = startProgram(prog);
  if (r.pid <= 0) {
    ADD_FAILURE() << r.startError;
    return BrixResult{};
  }
  return brixFinish(r, prog);
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
  std::vector<std::string> changes;
  for (const auto& [k, v] : env) changes.push_back(k + "=" + v);
  return programEnv({"QUOR_", "BRIX_"}, changes);
}

std::string BrixSession::program() { return BRIX_PATH; }
