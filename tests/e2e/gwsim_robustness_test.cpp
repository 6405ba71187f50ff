// gwsim as a process that must survive its clients and tell its user what
// went wrong: journal lines no client text can forge, bounded open files
// and copies, an accept loop that waits instead of spinning when the
// process is out of descriptors, copies released with their connection,
// and its own command line.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdio.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "client_env.h"
#include "client_process.h"
#include "gwsim_config.h"
#include "gwsim_fixture.h"
#include "journal_text.h"
#include "program_run.h"
#include "quor_api.h"
#include "raw_gateway.h"

namespace {

const std::string kConfig = [] {
  GwsimConfig c;
  c.server().set("MaxOpenFiles", 3);
  c.user("alice", "wonderland").set("Uid", 1001).set("Gid", 100);
  c.dir("/").set("Uid", 1001).set("Mode", "0755");
  c.file("/src").set("Data", "0123456789").set("Uid", 1001);
  return c.text();
}();

int openFile(const char* path, int flags) {
  return quor_Open(path, flags, 0644, nullptr, nullptr, nullptr);
}

// Open descriptors of process pid.
int openFds(pid_t pid) {
  std::string dir = "/proc/" + std::to_string(pid) + "/fd";
  DIR* d = opendir(dir.c_str());
  if (!d) return -1;
  int n = 0;
  while (struct dirent* e = readdir(d))
    if (e->d_name[0] != '.') n++;
  closedir(d);
  return n;
}

// User and system CPU time of process pid, in clock ticks.
long cpuTicks(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  size_t close = text.rfind(')');
  if (close == std::string::npos) return -1;
  std::istringstream rest(text.substr(close + 2));
  std::string field;
  long utime = 0, stime = 0;
  // After the name: state is field 3; utime and stime are fields 14 and 15.
  for (int i = 3; i <= 15 && rest >> field; i++) {
    if (i == 14) utime = atol(field.c_str());
    if (i == 15) stime = atol(field.c_str());
  }
  return utime + stime;
}

// Runs gwsim with args; its standard output and error together, and its
// exit status.
std::string runGwsim(const std::string& args, int* status) {
  std::string out;
  *status = shellRun(GwsimFixture::binary() + " " + args, &out);
  return out;
}

}  // namespace

// A path holding a newline and a line of its own makes one journal line,
// with the newline and backslashes escaped; no line is forged.
TEST(GwsimJournal, ClientTextCannotForgeALine) {
  GwsimFixture gw(kConfig);
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  const std::string forged = "conn=1 cat=0x0500 fn=0x0d01 id=1 flags=0x80000000 path=forged";
  ChildResult r = runInChild([&] {
    int failures = 0;
    CHILD_CHECK(failures, clientLogin(gw, "alice", "wonderland") == 0);
    std::string path = "/a\n" + forged;
    CHILD_EQ(failures, quor_Mkdir(path.c_str(), 0755), 0);
    CHILD_EQ(failures, quor_Mkdir("/b\\n\t\x01", 0755), 0);
    return failures;
  });
  EXPECT_EQ(r.status, 0) << r.stderrText;
  auto j = gw.journalLines();
  EXPECT_EQ(countLines(j, "fn=0x0d01 "), 2);
  EXPECT_EQ(countLines(j, "path=forged"), 1);
  for (const std::string& l : j) EXPECT_NE(l.rfind("conn=1 cat=0x0500 fn=0x0d01 id=1 ", 0), 0u) << l;
  EXPECT_EQ(countLines(j, " path=/a\\n" + forged), 1);
  EXPECT_EQ(countLines(j, " path=/b\\\\n\\t\\x01"), 1);
}

// Open files per connection are bounded (MaxOpenFiles): -24 beyond, and a
// closed one makes room again. Copies, each holding a descriptor, are
// bounded the same way.
TEST(GwsimBounds, OpenFilesAndCopiesPerConnection) {
  GwsimFixture gw(kConfig);
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  ChildResult r = runInChild([&] {
    int failures = 0;
    CHILD_CHECK(failures, clientLogin(gw, "alice", "wonderland") == 0);
    int fds[3];
    const char* names[] = {"/f0", "/f1", "/f2"};
    for (int i = 0; i < 3; i++) {
      fds[i] = openFile(names[i], O_CREAT | O_WRONLY);
      CHILD_EQ(failures, fds[i], i);
    }
    CHILD_EQ(failures, openFile("/f3", O_CREAT | O_WRONLY), -24);
    CHILD_EQ(failures, openFile("/src", O_RDONLY), -24);
    // Nothing was made for the refused open.
    quor_stat_t st;
    CHILD_EQ(failures, quor_Stat("/f3", &st), -2);
    CHILD_EQ(failures, quor_Close(fds[2]), 0);
    CHILD_EQ(failures, openFile("/src", O_RDONLY), 2);
    uint32_t handle = 0;
    int started = 0, refused = 0;
    for (int i = 0; i < 4; i++) {
      uint32_t count = 1;
      netaddress_t* addrs = nullptr;
      int rc = quorex_CopyRemoteFile(0, &count, fds[0], 1, 0, 4, "/src", &handle, &addrs);
      free(addrs);
      if (rc == 0) started++;
      if (rc == -24) refused++;
    }
    CHILD_EQ(failures, started, 3);
    CHILD_EQ(failures, refused, 1);
    return failures;
  });
  EXPECT_EQ(r.status, 0) << r.stderrText;
}

// A copy belongs to the connection holding its sink: when that connection
// goes, so does the copy, with the descriptor it held.
TEST(GwsimBounds, CopiesGoWithTheirConnection) {
  GwsimFixture gw(kConfig);
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  int before = openFds(gw.pid());
  ChildResult r = runInChild([&] {
    int failures = 0;
    CHILD_CHECK(failures, clientLogin(gw, "alice", "wonderland") == 0);
    int fd = openFile("/sink", O_CREAT | O_WRONLY);
    CHILD_CHECK(failures, fd >= 0);
    uint32_t count = 1, handle = 0;
    netaddress_t* addrs = nullptr;
    CHILD_EQ(failures, quorex_CopyRemoteFile(0, &count, fd, 1, 0, 4, "/src", &handle, &addrs), 0);
    free(addrs);
    fprintf(stderr, "HANDLE=%u\n", handle);
    return failures;  // leaves with the file open and the copy running
  });
  ASSERT_EQ(r.status, 0) << r.stderrText;
  size_t at = r.stderrText.find("HANDLE=");
  ASSERT_NE(at, std::string::npos);
  uint32_t handle = uint32_t(atol(r.stderrText.c_str() + at + 7));
  ASSERT_TRUE(gw.waitForJournal("conn=1 close"));
  ChildResult q = runInChild([&] {
    int failures = 0;
    CHILD_CHECK(failures, clientLogin(gw, "alice", "wonderland") == 0);
    int err = 0, state = 0;
    uint32_t info = 0;
    uint64_t bytes = 0;
    CHILD_EQ(failures, quorex_QueryCopy(0, handle, 0, &err, &state, &info, &bytes, nullptr), -2);
    return failures;
  });
  EXPECT_EQ(q.status, 0) << q.stderrText;
  // Closed sockets go once their threads are joined, within a tick.
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (openFds(gw.pid()) != before && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(openFds(gw.pid()), before);
}

// Out of descriptors, gwsim cannot accept a waiting connection: it backs
// off instead of polling the listening socket again at once, and serves the
// connection once descriptors are free.
TEST(GwsimAccept, FailingAcceptBacksOffAndRecovers) {
  GwsimFixture gw("");
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  pid_t pid = gw.pid();
  Sock first(gw.port());
  ASSERT_TRUE(readServerState(first).ok);
  // Not one descriptor more: the next connection waits in the backlog.
  struct rlimit old;
  ASSERT_EQ(prlimit(pid, RLIMIT_NOFILE, nullptr, &old), 0);
  int used = openFds(pid);
  ASSERT_GT(used, 0);
  struct rlimit lim = {rlim_t(used), old.rlim_max};
  ASSERT_EQ(prlimit(pid, RLIMIT_NOFILE, &lim, nullptr), 0);
  Sock second(gw.port());
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  long t0 = cpuTicks(pid);
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  long spent = cpuTicks(pid) - t0;
  // A loop retrying at once burns the whole half second (about 50 ticks).
  EXPECT_LT(spent, 10) << "ticks spent while accept failed";
  EXPECT_TRUE(gw.waitForJournal("accept-failed errno=24"));
  // Descriptors back: the waiting connection is served.
  ASSERT_EQ(prlimit(pid, RLIMIT_NOFILE, &old, nullptr), 0);
  Reply st = readServerState(second);
  EXPECT_TRUE(st.ok);
  EXPECT_EQ(st.id, 0u);
}

// The command line: --help prints the usage on standard output and
// succeeds; a configuration file that is not there is named as such.
TEST(GwsimCommandLine, HelpAndMissingConfiguration) {
  int status = -1;
  std::string out = runGwsim("--help 2>/dev/null", &status);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(out.rfind("usage: gwsim --config FILE", 0), 0u) << out;
  EXPECT_NE(out.find("SIGTERM"), std::string::npos) << out;

  out = runGwsim("--config /nonexistent-gwsim-dir/gwsim.conf --port 0", &status);
  EXPECT_EQ(status, 2);
  EXPECT_NE(out.find("cannot open /nonexistent-gwsim-dir/gwsim.conf: No such file"),
            std::string::npos)
      << out;
  EXPECT_EQ(out.find("-7000"), std::string::npos) << out;
}
