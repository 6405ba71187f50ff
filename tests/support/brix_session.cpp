#include "brix_session.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <netdb.h>
#include <netinet/in.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "gwsim_config.h"

#ifndef BRIX_PATH
#error "BRIX_PATH must name the brix binary"
#endif

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

int shellRun(const std::string& command, std::string* output) {
  ProgramSpec spec;
  spec.argv = {"/bin/sh", "-c", command};
  spec.mergeErr = true;
  spec.timeoutSec = 600;
  ProgramResult r = runProgram(spec);
  if (output) *output = r.out;
  return r.status;
}

BrixSession::BrixSession(const std::string& extraConfig) : gw(aliceUser() + extraConfig) {
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

namespace {

ProgramSpec brixSpec(const BrixSession& s, const std::vector<std::string>& args, bool withStdin,
                     int timeoutSec) {
  ProgramSpec spec;
  spec.argv = args;
  spec.argv.insert(spec.argv.begin(), BRIX_PATH);
  spec.env = s.environment();
  spec.cwd = s.cwd.empty() ? s.work : s.cwd;
  spec.stdinPipe = withStdin;
  spec.timeoutSec = timeoutSec;
  return spec;
}

BrixResult brixFinish(BrixRunning& r, const ProgramSpec& spec) {
  ProgramResult p = finishProgram(r, spec);
  if (p.timedOut) ADD_FAILURE() << "brix did not finish within " << spec.timeoutSec << " s";
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
  ProgramSpec spec;
  spec.timeoutSec = timeoutSec;
  return brixFinish(r, spec);
}

BrixResult BrixSession::run(const std::vector<std::string>& args, const std::string& stdinText,
                            int timeoutSec) {
  ProgramSpec spec = brixSpec(*this, args, !stdinText.empty(), timeoutSec);
  spec.input = stdinText;
  BrixRunning r = startProgram(spec);
  if (r.pid <= 0) {
    ADD_FAILURE() << r.startError;
    return BrixResult{};
  }
  return brixFinish(r, spec);
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
