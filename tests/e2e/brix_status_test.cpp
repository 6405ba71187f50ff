// brix's status FIFO, its SIGUSR2 state dump and its SIGUSR1 forced
// shutdown, on the real binary against gwsim.
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "brix_session.h"
#include "journal_text.h"

namespace {

// Reads fd into acc until it holds text; false after timeoutMs.
bool waitForText(int fd, std::string& acc, const std::string& text, int timeoutMs = 20000) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (acc.find(text) == std::string::npos) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    struct pollfd p = {fd, POLLIN, 0};
    int n = poll(&p, 1, int(left.count()));
    if (n <= 0) continue;
    char buf[4096];
    ssize_t got = read(fd, buf, sizeof buf);
    if (got <= 0) return acc.find(text) != std::string::npos;
    acc.append(buf, size_t(got));
  }
  return true;
}

std::vector<std::string> splitRecords(const std::string& s) {
  std::vector<std::string> v;
  size_t start = 0;
  for (size_t i = 0; i < s.size(); i++)
    if (s[i] == '\0') {
      v.push_back(s.substr(start, i - start));
      start = i + 1;
    }
  return v;
}

void makeTree(const std::string& root, int files, size_t size) {
  for (int i = 0; i < files; i++)
    writeFileAt(root + "/d" + std::to_string(i % 13) + "/f" + std::to_string(i), std::string(size, char('a' + i % 26)));
}

}  // namespace

TEST(BrixStatus, FifoLinesAndHeartbeats) {
  BrixSession s;
  ASSERT_TRUE(s.ready());
  makeTree(s.work + "/tree", 300, 100);
  std::string fifo = s.work + "/status";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  int rd = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_GE(rd, 0);
  // Keep the FIFO open for writing too, so it never reads as ended early.
  int keep = open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
  std::atomic<bool> done{false};
  std::string records;
  std::thread reader([&] {
    for (;;) {
      struct pollfd p = {rd, POLLIN, 0};
      if (poll(&p, 1, 200) <= 0) {
        if (done) return;
        continue;
      }
      char buf[4096];
      ssize_t n = read(rd, buf, sizeof buf);
      if (n <= 0) return;
      records.append(buf, size_t(n));
    }
  });
  s.env["QUOR_TEST_TIMESCALE"] = "100";  // heartbeats every 10 ms
  BrixResult r = s.run({"-c", "-E", "-N", fifo, "-H", "msg_interval=1", "-f", s.work + "/a.tar", "tree"});
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  close(keep);
  done = true;
  reader.join();
  close(rd);
  ASSERT_EQ(r.status, 0) << r.err;
  // Each record is one line followed by its NUL.
  ASSERT_FALSE(records.empty());
  EXPECT_EQ(records.back(), '\0');
  std::vector<std::string> lines = splitRecords(records);
  ASSERT_GE(lines.size(), 2u);
  for (const std::string& l : lines) EXPECT_EQ(l.back(), '\n') << l;
  std::string pid = lines.front().substr(0, lines.front().find(' '));
  EXPECT_EQ(lines.front(), pid + " OPEN_CONNECTION Open logging\n");
  EXPECT_EQ(lines.back(), pid + " SHUTDOWN SHUTTING DOWN\n");
  EXPECT_GE(countText(records, " HEARTBEAT\n"), 1) << records;
  // Every line names the phase the run was in; phases only move forward.
  const std::vector<std::string> order = {"OPEN_CONNECTION", "GEN_FILELIST", "CREATE-WRITE_ARCHIVE",
                                          "CREATE-COPY_INDEX", "SHUTDOWN"};
  size_t at = 0;
  for (const std::string& l : lines) {
    std::string phase = l.substr(pid.size() + 1, l.find(' ', pid.size() + 1) - pid.size() - 1);
    size_t k = at;
    while (k < order.size() && order[k] != phase) k++;
    ASSERT_LT(k, order.size()) << "phase out of order: " << l << records;
    at = k;
  }
  for (const std::string& l : lines) EXPECT_EQ(l.rfind(pid + " ", 0), 0u) << l;

  // No reader: the option is dropped with a warning and the run goes on.
  r = s.run({"-c", "-E", "-N", fifo, "-f", s.work + "/b.tar", "tree"});
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.err.find("WARNING: Cannot open FIFO '" + fifo + "' for writing (no process is reading it). -N option disabled"),
            std::string::npos) << r.err;
  r = s.run({"-c", "-E", "-N", s.work + "/a.tar", "-f", s.work + "/b.tar", "tree"});
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.err.find("Not a FIFO-type file"), std::string::npos);
}

// A run held while it reads its list file: SIGUSR2 dumps the state, SIGUSR1
// forces a shutdown that ends the wait for the list; nothing is left behind.
TEST(BrixStatus, StateDumpAndShutdownDuringTheMemberList) {
  BrixSession s;
  ASSERT_TRUE(s.ready());
  makeTree(s.work + "/tree", 20, 10);
  writeFileAt(s.home + "/.brixrc", "statefile STDERR\n");
  std::string list = s.work + "/names";
  ASSERT_EQ(mkfifo(list.c_str(), 0600), 0);
  s.env["QUOR_TEST_TIMESCALE"] = "1";  // the full grace period: the run must end by itself
  BrixRunning run = s.start({"-c", "-E", "-d", "1", "-f", s.work + "/a.tar", "-L", list});
  int w = open(list.c_str(), O_WRONLY);  // waits until brix opens its list file
  ASSERT_GE(w, 0);
  std::string err;
  kill(run.pid, SIGUSR2);
  ASSERT_TRUE(waitForText(run.errFd, err, "Current program phase")) << err;
  EXPECT_NE(err.find("+++++++++++++++++++++++++++++++++++++\n"), std::string::npos);
  EXPECT_NE(err.find(" State Dump Action=CREATE\n"), std::string::npos) << err;
  EXPECT_NE(err.find("Current program phase ........... GEN_FILELIST (4)\n"), std::string::npos) << err;
  kill(run.pid, SIGUSR2);
  std::string second;
  ASSERT_TRUE(waitForText(run.errFd, second, "Current program phase")) << second;
  err += second;
  kill(run.pid, SIGUSR1);
  ASSERT_TRUE(waitForText(run.errFd, err, "caught signal SIGUSR1")) << err;
  // The read of the list is cut short: the run ends while the list's
  // writer is still there, well inside the grace period.
  BrixResult r = s.finish(run, 25);
  close(w);
  r.err = err + r.err;
  EXPECT_EQ(r.status, 72) << r.err;
  EXPECT_NE(r.out.find("BRIX: BRIX FAILED DUE TO FORCED SHUTDOWN\n"), std::string::npos) << r.out;
  EXPECT_EQ(countText(r.err, "State Dump Action="), 2);
  EXPECT_TRUE(s.leftoverTempFiles().empty());
  struct stat st;
  EXPECT_NE(stat((s.work + "/a.tar").c_str(), &st), 0);
  EXPECT_NE(stat((s.work + "/a.tar.idx").c_str(), &st), 0);
}

// A shutdown while the archive is being written: the writer stops between
// members and the run cleans up its temporary files.
TEST(BrixStatus, ShutdownDuringTheTransfer) {
  BrixSession s;
  ASSERT_TRUE(s.ready());
  makeTree(s.work + "/tree", 200, 20000);
  s.env["QUOR_TEST_TIMESCALE"] = "1";
  BrixRunning run = s.start({"-c", "-E", "-d", "1", "-S", "512k", "-f", "-", "-I", s.work + "/p.idx", "tree"});
  // The archive comes on standard output; nobody reads it yet, so the
  // writer soon waits on a full pipe.
  struct pollfd p = {run.outFd, POLLIN, 0};
  ASSERT_EQ(poll(&p, 1, 20000), 1);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  // Meanwhile the temporary index and consistency files are the user's alone.
  std::vector<std::string> temps = s.leftoverTempFiles();
  EXPECT_FALSE(temps.empty());
  for (const std::string& t : temps) {
    struct stat ts;
    ASSERT_EQ(stat(t.c_str(), &ts), 0) << t;
    EXPECT_EQ(ts.st_mode & 07777, 0600u) << t;
  }
  kill(run.pid, SIGUSR1);
  std::string err;
  ASSERT_TRUE(waitForText(run.errFd, err, "caught signal SIGUSR1")) << err;
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  BrixResult r = s.finish(run, 25);
  r.err = err + r.err;
  EXPECT_EQ(r.status, 72) << r.err;
  // A piped create prints on standard error.
  EXPECT_NE(r.err.find("BRIX: BRIX FAILED DUE TO FORCED SHUTDOWN\n"), std::string::npos) << r.err;
  EXPECT_LT(r.out.size(), size_t(200 * 20000));
  EXPECT_TRUE(s.leftoverTempFiles().empty());
  struct stat st;
  EXPECT_NE(stat((s.work + "/p.idx").c_str(), &st), 0);
}
