// The README's run command: scripts/ozu-demo starts its own gwsim, runs ozu
// logged in to it and leaves nothing behind.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>

#include "program_run.h"
#include "pty_process.h"

namespace {

int demoDirs(const std::string &tmp)
{
  int n = 0;
  if (DIR *d = opendir(tmp.c_str())) {
    while (struct dirent *e = readdir(d))
      n += std::string(e->d_name).rfind("ozu-demo.", 0) == 0;
    closedir(d);
  }
  return n;
}

TEST(OzuDemo, RunsCommandsAgainstItsOwnGateway)
{
  char tmpl[] = "/tmp/ozu-demo-test-XXXXXX";
  ASSERT_NE(mkdtemp(tmpl), nullptr);
  std::string tmp = tmpl;
  ProgramSpec prog;
  prog.argv = {OZU_DEMO_SCRIPT, "pwd; frob"};
  prog.env = programEnv({"HOME="}, {"TMPDIR=" + tmp, "OZU_BUILD_DIR=" OZU_BUILD_DIR});
  prog.mergeErr = true;
  prog.timeoutSec = 120;
  ProgramResult r = runProgram(prog);
  const std::string &out = r.out;
  EXPECT_FALSE(r.timedOut);
  EXPECT_EQ(r.status, 64) << out;
  EXPECT_NE(out.find("Welcome to the ozu demo gateway"), std::string::npos) << out;
  EXPECT_NE(out.find("/home/demo\n"), std::string::npos) << out;
  EXPECT_NE(out.find("*** unrecognized command: 'frob'"), std::string::npos) << out;
  EXPECT_EQ(demoDirs(tmp), 0) << "the temporary root is gone";
  rmdir(tmp.c_str());
}

void writeTool(const std::string &path, const std::string &body)
{
  std::ofstream(path) << "#!/bin/sh\n" << body;
  chmod(path.c_str(), 0755);
}

// On a fresh machine the package tools say nothing is installed: the script
// asks apt for the build's dependencies before it builds or runs anything.
// The tools are stand-ins that only record what they were asked.
TEST(OzuDemo, InstallsTheDependenciesFirst)
{
  char tmpl[] = "/tmp/ozu-demo-test-XXXXXX";
  ASSERT_NE(mkdtemp(tmpl), nullptr);
  std::string tmp = tmpl;
  std::string bin = tmp + "/bin", log = tmp + "/apt.log";
  ASSERT_EQ(mkdir(bin.c_str(), 0755), 0);
  writeTool(bin + "/dpkg-query", "exit 1\n");
  writeTool(bin + "/apt-get", "echo \"apt-get $*\" >>" + log + "\n");
  writeTool(bin + "/sudo", "exec \"$@\"\n");
  std::string cmd = "env -u HOME PATH=" + bin + ":$PATH TMPDIR=" + tmp +
                    " OZU_BUILD_DIR=" OZU_BUILD_DIR " " OZU_DEMO_SCRIPT " 'pwd' 2>&1";
  FILE *p = popen(cmd.c_str(), "r");
  ASSERT_NE(p, nullptr);
  std::string out;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0)
    out.append(buf, n);
  int st = pclose(p);
  EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0) << out;
  EXPECT_NE(out.find("/home/demo\n"), std::string::npos) << out;
  std::stringstream asked;
  asked << std::ifstream(log).rdbuf();
  EXPECT_NE(asked.str().find("apt-get update"), std::string::npos) << asked.str();
  for (const char *pkg : {"g++", "cmake", "libedit-dev", "libtirpc-dev", "libsqlite3-dev"})
    EXPECT_NE(asked.str().find(std::string(" ") + pkg + " "), std::string::npos)
        << pkg << " in: " << asked.str();
  unlink(log.c_str());
  for (const char *tool : {"dpkg-query", "apt-get", "sudo"})
    unlink((bin + "/" + tool).c_str());
  rmdir(bin.c_str());
  EXPECT_EQ(demoDirs(tmp), 0);
  rmdir(tmp.c_str());
}

// With no commands the script leaves a new user at an interactive prompt.
TEST(OzuDemo, InteractivePrompt)
{
  char tmpl[] = "/tmp/ozu-demo-test-XXXXXX";
  ASSERT_NE(mkdtemp(tmpl), nullptr);
  std::string tmp = tmpl;
  PtyProcess p(
      [&tmp]() -> int {
        int tty = open("/dev/tty", O_RDWR);
        if (tty < 0)
          return 99;
        dup2(tty, 0);
        dup2(tty, 1);
        dup2(tty, 2);
        if (tty > 2)
          close(tty);
        unsetenv("HOME");
        setenv("TMPDIR", tmp.c_str(), 1);
        setenv("OZU_BUILD_DIR", OZU_BUILD_DIR, 1);
        setenv("TERM", "vt100", 1);
        execl("/bin/bash", "bash", OZU_DEMO_SCRIPT, static_cast<char *>(nullptr));
        _exit(98);
      },
      60);
  ASSERT_TRUE(p.started());
  ASSERT_TRUE(p.waitFor("ozu> ", 30000)) << p.screen;
  // A Ctrl-C at the prompt is the shell's alone: the demo gateway lives on.
  p.type("half a line\x03");
  ASSERT_TRUE(p.waitFor("interrupted")) << p.screen;
  p.type("mkdir made; ls -1\n");
  ASSERT_TRUE(p.waitFor("projects")) << p.screen;  // only the listing has it
  EXPECT_EQ(p.screen.find("not answering"), std::string::npos) << p.screen;
  p.type("pwd\n");
  ASSERT_TRUE(p.waitFor("/home/demo")) << p.screen;
  ASSERT_TRUE(p.waitFor("ozu> ")) << p.screen;
  p.type("quit\n");
  EXPECT_EQ(p.finish(), 0) << p.screen;
  EXPECT_NE(p.screen.find("Welcome to the ozu demo gateway"), std::string::npos) << p.screen;
  EXPECT_EQ(demoDirs(tmp), 0) << "the temporary root is gone";
  rmdir(tmp.c_str());
}

}  // namespace
