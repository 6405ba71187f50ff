// The direct data connection of files opened with quor_OpenX, against the
// gateway simulator: round trips through quor_WriteX and quor_ReadX, the
// two phases and their refusals, the control byte, the all-zero data
// address, and each failure of the gateway's side ending in its error with
// nothing left open. Each case runs the client in a forked child.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <string.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "client_env.h"
#include "client_process.h"
#include "gwsim_config.h"
#include "gwsim_fixture.h"
#include "journal_text.h"
#include "quor_api.h"
#include "quor_api_internal.h"
#include "quor_files.h"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif

namespace {

// Under the leak checker: whether memory is lost by now (0 without it).
int leaksFound() {
#if defined(__SANITIZE_ADDRESS__)
  return __lsan_do_recoverable_leak_check();
#else
  return 0;
#endif
}

const std::string kUsers = [] {
  GwsimConfig c;
  c.user("alice", "wonderland").set("Uid", 1001).set("Gid", 100);
  c.dir("/").set("Uid", 1001).set("Mode", "0755");
  c.file("/thirty").set("Data", "012345678901234567890123456789").set("Uid", 1001)
      .set("Mode", "0644");
  return c.text();
}();

std::string config(const std::string& extra = "") { return kUsers + extra; }

// Bytes that differ with their position, so a shift or a lost piece shows.
std::vector<char> pattern(size_t n, unsigned seed = 1) {
  std::vector<char> v(n);
  for (size_t i = 0; i < n; i++) v[i] = char((i * 131 + (i >> 9) * 7 + seed) & 0xff);
  return v;
}

int openX(const char* path, int oflag) {
  return quor_OpenX(1, path, oflag, 0644, nullptr, nullptr, nullptr);
}

int countOpenFds() {
  int n = 0;
  DIR* d = opendir("/proc/self/fd");
  if (!d) return -1;
  while (readdir(d)) n++;
  closedir(d);
  return n;
}

int openEntries() {
  int n = 0;
  for (int i = 0; i < QELAPI_MAX_OPEN_FILES; i++)
    if (qelapi_io_lookup(i)) n++;
  return n;
}

// Whether the gateway's next message waits unread on the current
// connection's control socket within ms.
bool replyPending(int ms) {
  quor_connection_t* c = qelapi_getCurConnection();
  if (c == nullptr) return false;
  struct pollfd pfd = {c->ctl_fd.load(), POLLIN, 0};
  return poll(&pfd, 1, ms) == 1;
}

// Waits until a thread sleeps on the current connection's wait list, or
// done is set: false when neither happens within ms.
bool someoneWaits(const std::atomic<bool>& done, int ms) {
  quor_connection_t* c = qelapi_getCurConnection();
  auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (std::chrono::steady_clock::now() < until) {
    pthread_mutex_lock(&c->msg_in.theMutex);
    bool waiting = c->msg_in.waitReplyList != nullptr;
    pthread_mutex_unlock(&c->msg_in.theMutex);
    if (waiting || done) return waiting;
    usleep(2000);
  }
  return false;
}

// Writes data through a request for all of it and data phases of at most
// piece bytes: the sum of the phases, or the first failure.
int64_t writeAll(int fd, const std::vector<char>& data, size_t piece) {
  int64_t rc = quor_WriteX(0x80000000u, fd, nullptr, data.size());
  if (rc < 0 || data.empty()) return rc;
  int64_t total = 0;
  for (size_t off = 0; off < data.size(); off += piece) {
    size_t n = std::min(piece, data.size() - off);
    int64_t w = quor_WriteX(0, fd, data.data() + off, n);
    if (w < 0) return w;
    total += w;
  }
  return total;
}

// Reads n bytes the same way; *eof gets the last phase's flag.
int64_t readAll(int fd, std::vector<char>* out, size_t n, size_t piece, int* eof) {
  out->assign(n, 0);
  *eof = 0;
  int64_t rc = quor_ReadX(0x80000000u, fd, nullptr, n, eof);
  if (rc < 0 || n == 0) return rc;
  int64_t total = 0;
  while (size_t(total) < n && !*eof) {
    size_t want = std::min(piece, n - size_t(total));
    int64_t r = quor_ReadX(0, fd, out->data() + total, want, eof);
    if (r < 0) return r;
    total += r;
  }
  out->resize(size_t(total));
  return total;
}

}  // namespace

// ---- round trips ----

TEST(DirectData, RoundTripsOfEverySizeAreByteIdentical) {
  GwsimFixture gw(config());
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  static const size_t sizes[] = {0, 1, 32768 * 3 + 17, (5u << 20) + 3};
  ChildResult r = runInChild([&] {
    int failures = 0;
    if (clientLogin(gw, "alice", "wonderland") != 0) return 1;
    int fdsBefore = countOpenFds();
    for (size_t size : sizes) {
      std::string path = "/f" + std::to_string(size);
      std::vector<char> data = pattern(size, unsigned(size));
      int fd = openX(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC);
      CHILD_CHECK(failures, fd >= 0);
      // Uneven pieces: a phase ends in the middle of a gateway buffer.
      CHILD_EQ(failures, writeAll(fd, data, 1000003), size);
      CHILD_EQ(failures, quor_Close(fd), 0);

      fd = openX(path.c_str(), O_RDONLY);
      CHILD_CHECK(failures, fd >= 0);
      std::vector<char> back;
      int eof = -1;
      CHILD_EQ(failures, readAll(fd, &back, size, 777777, &eof), size);
      CHILD_CHECK(failures, back == data);
      CHILD_EQ(failures, eof, 0);
      CHILD_EQ(failures, quor_Close(fd), 0);
    }
    // quor_Read and quor_Write take the same road for such a file.
    int fd = openX("/viaread", O_RDWR | O_CREAT);
    std::vector<char> small = pattern(4000, 9);
    CHILD_EQ(failures, quor_Write(fd, small.data(), small.size()), 4000);
    CHILD_EQ(failures, quor_Close(fd), 0);
    fd = openX("/viaread", O_RDONLY);
    std::vector<char> back(4000);
    CHILD_EQ(failures, quor_Read(fd, back.data(), back.size()), 4000);
    CHILD_CHECK(failures, back == small);
    CHILD_EQ(failures, quor_Close(fd), 0);
    CHILD_EQ(failures, openEntries(), 0);
    CHILD_EQ(failures, countOpenFds(), fdsBefore);
    CHILD_EQ(failures, leaksFound(), 0);
    return failures;
  });
  EXPECT_EQ(r.status, 0) << r.stderrText;
  for (size_t size : sizes) {
    std::string host = readFile(gw.rootDir() + "/f" + std::to_string(size));
    std::vector<char> want = pattern(size, unsigned(size));
    EXPECT_TRUE(host.size() == size && std::equal(want.begin(), want.end(), host.begin()))
        << "file of " << size << " bytes as stored";
  }
}

TEST(DirectData, PhasesSplitARequestAndTheLastCollectsTheReply) {
  GwsimFixture gw(config());
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  ChildResult r = runInChild([&] {
    int failures = 0;
    if (clientLogin(gw, "alice", "wonderland") != 0) return 1;
    int fd = openX("/hundred", O_WRONLY | O_CREAT);
    std::vector<char> data = pattern(100);
    CHILD_EQ(failures, writeAll(fd, data, 100), 100);
    CHILD_EQ(failures, quor_Close(fd), 0);

    fd = openX("/hundred", O_RDONLY);
    char buf[100];
    int eof = -1;
    CHILD_EQ(failures, quor_ReadX(0x80000000u, fd, nullptr, 100, &eof), 0);
    // While a request is open no second one may start.
    CHILD_EQ(failures, quor_ReadX(0x80000000u, fd, nullptr, 100, &eof), -16);
    CHILD_EQ(failures, quor_ReadX(0, fd, buf, 60, &eof), 60);
    CHILD_EQ(failures, eof, 0);
    // More than the request still holds is cut to what it holds.
    CHILD_EQ(failures, quor_ReadX(0, fd, buf + 60, 1000, &eof), 40);
    CHILD_CHECK(failures, memcmp(buf, data.data(), 100) == 0);
    // The request is over: a data phase without one is refused.
    CHILD_EQ(failures, quor_ReadX(0, fd, buf, 10, &eof), -16);
    CHILD_EQ(failures, quor_Close(fd), 0);

    // A file shorter than the request: what there is, then the end.
    fd = openX("/thirty", O_RDONLY);
    CHILD_EQ(failures, quor_ReadX(0x80000000u, fd, nullptr, 100, &eof), 0);
    CHILD_EQ(failures, quor_ReadX(0, fd, buf, 100, &eof), 30);
    CHILD_EQ(failures, eof, 1);
    CHILD_CHECK(failures, memcmp(buf, "012345678901234567890123456789", 30) == 0);
    CHILD_EQ(failures, quor_Close(fd), 0);
    return failures;
  });
  EXPECT_EQ(r.status, 0) << r.stderrText;
  // One reply each, collected: the connection carried on in step.
  auto j = gw.journalLines();
  EXPECT_EQ(countLines(j, "xio-read", "bytes=100 result=0"), 1);
  EXPECT_EQ(countLines(j, "xio-read", "bytes=30 result=0"), 1);
}

TEST(DirectData, RefusalsComeBeforeAnythingMoves) {
  GwsimFixture gw(config());
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  ChildResult r = runInChild([&] {
    int failures = 0;
    if (clientLogin(gw, "alice", "wonderland") != 0) return 1;
    char buf[8];
    int eof = 0;
    int plain = quor_Open("/thirty", O_RDONLY, 0, nullptr, nullptr, nullptr);
    CHILD_CHECK(failures, plain >= 0);
    CHILD_EQ(failures, quor_ReadX(0x80000000u, plain, nullptr, 10, &eof), -9);
    CHILD_EQ(failures, quor_WriteX(0x80000000u, plain, nullptr, 10), -9);
    CHILD_EQ(failures, quor_ReadX(0x80000000u, 200, nullptr, 10, &eof), -9);
    CHILD_EQ(failures, quor_Close(plain), 0);
    int fd = openX("/thirty", O_RDONLY);
    CHILD_EQ(failures, quor_ReadX(0, fd, buf, 8, &eof), -16);
    CHILD_EQ(failures, quor_WriteX(0, fd, buf, 8), -16);
    CHILD_EQ(failures, quor_ReadX(0x80000000u, fd, nullptr, 0, &eof), 0);
    CHILD_EQ(failures, quor_ReadX(0x80000000u, fd, nullptr, 8, &eof), 0);
    CHILD_EQ(failures, quor_ReadX(0, fd, nullptr, 8, &eof), -14);
    CHILD_EQ(failures, quor_ReadX(0, fd, buf, 0, &eof), 0);
    CHILD_EQ(failures, quor_ReadX(0, fd, buf, 8, &eof), 8);
    CHILD_EQ(failures, quor_Close(fd), 0);
    CHILD_EQ(failures, openX(nullptr, O_RDONLY), -14);
    CHILD_EQ(failures, openX("", O_RDONLY), -2);
    CHILD_EQ(failures, openX("/missing", O_RDONLY), -2);
    CHILD_EQ(failures, openEntries(), 0);
    return failures;
  });
  EXPECT_EQ(r.status, 0) << r.stderrText;
  auto j = gw.journalLines();
  // Only the one request that was allowed went out.
  EXPECT_EQ(countLines(j, "fn=0x1202"), 1);
  EXPECT_EQ(countLines(j, "fn=0x1702"), 0);
}

TEST(DirectData, OpenFlagsGoOutBitByBit) {
  struct Case {
    int flags;
    const char* sent;
  };
  static const Case cases[] = {
      {O_RDONLY, "oflag=0x00 xioflags=0x3"},
      {O_WRONLY, "oflag=0x02 xioflags=0x3"},
      {O_RDWR, "oflag=0x04 xioflags=0x3"},
      {O_RDWR | O_CREAT | O_TRUNC | O_APPEND, "oflag=0x5c xioflags=0x3"},
  };
  GwsimFixture gw(config());
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  ChildResult r = runInChild([&] {
    int failures = 0;
    if (clientLogin(gw, "alice", "wonderland") != 0) return 1;
    for (const Case& c : cases) {
      // Extended flags 1 and 3 both go out as 3: the client always connects.
      int fd = quor_OpenX(&c == cases ? 1 : 3, "/thirty", c.flags, 0644, nullptr, nullptr,
                          nullptr);
      CHILD_CHECK(failures, fd >= 0);
      CHILD_EQ(failures, quor_Close(fd), 0);
    }
    return failures;
  });
  EXPECT_EQ(r.status, 0) << r.stderrText;
  auto opens = linesWith(gw.journalLines(), "fn=0x0f03");
  ASSERT_EQ(opens.size(), std::size(cases));
  for (size_t i = 0; i < opens.size(); i++)
    EXPECT_NE(opens[i].find(cases[i].sent), std::string::npos) << opens[i];
}

// ---- the gateway's side of the connection ----

TEST(DirectData, AnAllZeroAddressMeansTheGatewayItself) {
  GwsimFixture gw(config("Xio = {\n ZeroAddress\n}\n"));
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  ChildResult r = runInChild([&] {
    int failures = 0;
    if (clientLogin(gw, "alice", "wonderland") != 0) return 1;
    int fd = openX("/thirty", O_RDONLY);
    CHILD_CHECK(failures, fd >= 0);
    std::vector<char> back;
    int eof = 0;
    CHILD_EQ(failures, readAll(fd, &back, 30, 30, &eof), 30);
    CHILD_EQ(failures, quor_Close(fd), 0);
    return failures;
  });
  EXPECT_EQ(r.status, 0) << r.stderrText;
}

TEST(DirectData, AControlByteThatNeverComesFailsTheOpen) {
  struct Case {
    const char* xio;
    int err;
    int minMs;
  };
  // The data timeout of 1500 s runs a thousand times faster here.
  static const Case cases[] = {
      {"CloseBeforeByte", ECONNRESET, 0},
      {"NoControlByte", ETIMEDOUT, 1400},
  };
  for (const Case& c : cases) {
    GwsimFixture gw(config(std::string("Xio = {\n ") + c.xio + "\n}\n"));
    ASSERT_TRUE(gw.running()) << gw.stderrText();
    ChildResult r = runInChild([&] {
      int failures = 0;
      if (clientLogin(gw, "alice", "wonderland") != 0) return 1;
      int fdsBefore = countOpenFds();
      auto t0 = std::chrono::steady_clock::now();
      errno = 0;
      CHILD_EQ(failures, openX("/thirty", O_RDONLY), -1);
      CHILD_EQ(failures, errno, c.err);
      auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                    std::chrono::steady_clock::now() - t0)
                    .count();
      CHILD_CHECK(failures, ms >= c.minMs);
      CHILD_EQ(failures, openEntries(), 0);
      CHILD_EQ(failures, countOpenFds(), fdsBefore);
      CHILD_EQ(failures, leaksFound(), 0);
      // The connection is fine: a plain open gets the freed descriptor.
      CHILD_EQ(failures, quor_Open("/thirty", O_RDONLY, 0, nullptr, nullptr, nullptr), 0);
      return failures;
    });
    EXPECT_EQ(r.status, 0) << c.xio << ": " << r.stderrText;
    // The gateway's descriptor of the half-open file was closed again.
    auto j = gw.journalLines();
    EXPECT_EQ(countLines(j, "fn=0x0f03", "fildes=0"), 1) << c.xio;
    EXPECT_EQ(countLines(j, "fn=0x0308", "fildes=0"), 1) << c.xio;
  }
}

TEST(DirectData, AGatewayThatStopsShortEndsTheRead) {
  GwsimFixture gw(config("Xio = {\n ReadLimit = 10\n}\n"));
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  ChildResult r = runInChild([&] {
    int failures = 0;
    if (clientLogin(gw, "alice", "wonderland") != 0) return 1;
    int fd = openX("/thirty", O_RDONLY);
    char buf[30];
    int eof = 0;
    CHILD_EQ(failures, quor_ReadX(0x80000000u, fd, nullptr, 30, &eof), 0);
    CHILD_EQ(failures, quor_ReadX(0, fd, buf, 30, &eof), 10);
    CHILD_EQ(failures, eof, 1);
    CHILD_EQ(failures, quor_Close(fd), 0);
    return failures;
  });
  EXPECT_EQ(r.status, 0) << r.stderrText;
}

TEST(DirectData, AStalledGatewayTimesTheWriteOut) {
  GwsimFixture gw(config("Xio = {\n WriteStallMs = 2500\n}\n"));
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  ChildResult r = runInChild([&] {
    int failures = 0;
    if (clientLogin(gw, "alice", "wonderland") != 0) return 1;
    int fd = openX("/stalled", O_WRONLY | O_CREAT);
    // More than the sockets' buffers hold, so the writes must wait.
    std::vector<char> data = pattern(64u << 20);
    auto t0 = std::chrono::steady_clock::now();
    CHILD_EQ(failures, quor_WriteX(0x80000000u, fd, nullptr, data.size()), 0);
    CHILD_EQ(failures, quor_WriteX(0, fd, data.data(), data.size()), -5);
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                  std::chrono::steady_clock::now() - t0)
                  .count();
    CHILD_CHECK(failures, ms >= 1400);
    // The request is over and its reply taken: the connection goes on.
    CHILD_EQ(failures, quor_WriteX(0, fd, data.data(), 1), -16);
    CHILD_EQ(failures, quor_Close(fd), 0);
    quor_stat_t st;
    CHILD_EQ(failures, quor_Stat("/thirty", &st), 0);
    return failures;
  });
  EXPECT_EQ(r.status, 0) << r.stderrText;
  EXPECT_NE(r.stderrText.find("timeout on write"), std::string::npos) << r.stderrText;
}

TEST(DirectData, AReplyThatNeverComesIsAFailureNotTheCount) {
  GwsimFixture gw(config("Xio = {\n DropReply\n}\n"));
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  ChildResult r = runInChild([&] {
    int failures = 0;
    if (clientLogin(gw, "alice", "wonderland") != 0) return 1;
    int fd = openX("/thirty", O_RDONLY);
    char buf[30];
    int eof = 0;
    CHILD_EQ(failures, quor_ReadX(0x80000000u, fd, nullptr, 30, &eof), 0);
    int64_t rc = quor_ReadX(0, fd, buf, 30, &eof);
    CHILD_CHECK(failures, rc < 0);
    return failures;
  });
  EXPECT_EQ(r.status, 0) << r.stderrText;
}

// A call on a direct-connection file holds it to the end: a second call
// from another thread while the first waits for its data is refused at
// once, and the first gets its own bytes.
TEST(DirectData, ACallOnAFileInUseIsRefused) {
  struct Case {
    const char* what;
    std::function<int64_t(int fd)> call;
    int64_t want;
  };
  const Case cases[] = {
      {"quor_Read", [](int fd) { char b[30]; return int64_t(quor_Read(fd, b, 30)); }, -2},
      {"quor_Close", [](int fd) { return int64_t(quor_Close(fd)); }, -16},
      {"request phase",
       [](int fd) {
         int eof = 0;
         return quor_ReadX(0x80000000u, fd, nullptr, 30, &eof);
       },
       -16},
      {"data phase",
       [](int fd) {
         char b[30];
         int eof = 0;
         return quor_ReadX(0, fd, b, 30, &eof);
       },
       -16},
      {"quor_Write", [](int fd) { return int64_t(quor_Write(fd, "x", 1)); }, -2},
  };
  for (const Case& c : cases) {
    GwsimFixture gw(config("Xio = {\n ReadStallMs = 700\n}\n"));
    ASSERT_TRUE(gw.running()) << gw.stderrText();
    ChildResult r = runInChild([&] {
      int failures = 0;
      if (clientLogin(gw, "alice", "wonderland") != 0) return 1;
      int fd = openX("/thirty", O_RDWR);
      char buf[31] = {};
      ssize_t first = 0;
      std::thread reader([&] { first = quor_Read(fd, buf, 30); });
      CHILD_CHECK(failures, gw.waitForJournal("fn=0x1202"));
      CHILD_EQ(failures, c.call(fd), c.want);
      reader.join();
      CHILD_EQ(failures, first, 30);
      CHILD_CHECK(failures, strcmp(buf, "012345678901234567890123456789") == 0);
      // Nothing was left open or out of step.
      CHILD_EQ(failures, quor_Close(fd), 0);
      quor_stat_t st;
      CHILD_EQ(failures, quor_Stat("/thirty", &st), 0);
      return failures;
    }, 30);
    EXPECT_EQ(r.status, 0) << c.what << "\n" << r.stderrText;
    EXPECT_EQ(countLines(gw.journalLines(), "fn=0x1202"), 1) << c.what;
  }
}

TEST(DirectData, AGatewayErrorAfterTheDataIsTheResult) {
  GwsimFixture gw(config("Faults = {\n Error = 0x0500 0x1202 1 -28\n}\n"));
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  ChildResult r = runInChild([&] {
    int failures = 0;
    if (clientLogin(gw, "alice", "wonderland") != 0) return 1;
    int fd = openX("/thirty", O_RDONLY);
    char buf[30];
    int eof = 0;
    CHILD_EQ(failures, quor_ReadX(0x80000000u, fd, nullptr, 30, &eof), 0);
    // No data comes; the wait runs out, then the gateway's code is taken.
    CHILD_EQ(failures, quor_ReadX(0, fd, buf, 30, &eof), -28);
    CHILD_EQ(failures, quor_Close(fd), 0);
    return failures;
  });
  EXPECT_EQ(r.status, 0) << r.stderrText;
}

// A broken control connection is opened again by the next call; a file
// opened on the lost session is gone with it: its calls fail as on a closed
// descriptor (never -16, no request is left open), nothing is sent for it
// on the new session, and its close only releases the descriptor.
TEST(DirectData, AFailedRequestSendLeavesNoRequestOpen) {
  GwsimFixture gw(config("Faults = {\n DropHeader = 0x0500 0x1309 1\n}\n"));
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  ChildResult r = runInChild([&] {
    int failures = 0;
    // The reopen logs in again from the .netrc.
    clientEnvNetrc(gw, "alice", "wonderland");
    qelapi_tcontext_t* ts = nullptr;
    if (qelapi_init(&ts) != 0) return 1;
    int fd = openX("/thirty", O_RDONLY);
    CHILD_CHECK(failures, fd >= 0);
    // A broken reply breaks the control connection.
    quor_stat_t st;
    CHILD_CHECK(failures, quor_Stat("/thirty", &st) < 0);
    int eof = 0;
    CHILD_EQ(failures, quor_ReadX(0x80000000u, fd, nullptr, 30, &eof), -9);
    CHILD_EQ(failures, quor_ReadX(0x80000000u, fd, nullptr, 30, &eof), -9);
    char buf[4];
    CHILD_EQ(failures, quor_ReadX(0, fd, buf, 4, &eof), -9);
    CHILD_EQ(failures, quor_Close(fd), 0);
    CHILD_EQ(failures, quor_Close(fd), -9);
    // The new session works, and the descriptor is free for a new file.
    CHILD_EQ(failures, quor_Stat("/thirty", &st), 0);
    CHILD_EQ(failures, openX("/thirty", O_RDONLY), fd);
    return failures;
  });
  EXPECT_EQ(r.status, 0) << r.stderrText;
  auto j = gw.journalLines();
  EXPECT_EQ(countLines(j, "fn=0x0104"), 2);
  EXPECT_EQ(countLines(j, "fn=0x0308"), 0);
}

TEST(DirectData, ClosingAFileWithAnOpenRequestKeepsTheConnectionInStep) {
  GwsimFixture gw(config());
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  ChildResult r = runInChild([&] {
    int failures = 0;
    if (clientLogin(gw, "alice", "wonderland") != 0) return 1;
    int fd = openX("/big", O_WRONLY | O_CREAT);
    std::vector<char> data = pattern(8u << 20);
    CHILD_EQ(failures, writeAll(fd, data, data.size()), int64_t(data.size()));
    CHILD_EQ(failures, quor_Close(fd), 0);
    for (bool read : {true, false}) {
      fd = openX("/big", read ? O_RDONLY : O_WRONLY);
      std::vector<char> buf(100);
      int eof = 0;
      if (read) {
        CHILD_EQ(failures, quor_ReadX(0x80000000u, fd, nullptr, data.size(), &eof), 0);
        CHILD_EQ(failures, quor_ReadX(0, fd, buf.data(), 100, &eof), 100);
      } else {
        CHILD_EQ(failures, quor_WriteX(0x80000000u, fd, nullptr, data.size()), 0);
        CHILD_EQ(failures, quor_WriteX(0, fd, buf.data(), 100), 100);
      }
      CHILD_EQ(failures, quor_Close(fd), 0);
      quor_stat_t st;
      CHILD_EQ(failures, quor_Stat("/thirty", &st), 0);
    }
    CHILD_EQ(failures, openEntries(), 0);
    return failures;
  });
  EXPECT_EQ(r.status, 0) << r.stderrText;
}

// The reply of an open request comes while its thread is not receiving: a
// call of another thread on the connection that meets it first leaves it
// for the data phase, and a close from another thread collects it itself.
TEST(DirectData, ARequestsReplyReachesWhoeverCollectsIt) {
  GwsimFixture gw(config());
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  ChildResult r = runInChild(
      [&] {
        int failures = 0;
        if (clientLogin(gw, "alice", "wonderland") != 0) return 1;
        char buf[30];
        int eof = 0;
        // The closer has never called before: nothing it awaited earlier
        // may stand in for the request's reply.
        int fd = openX("/thirty", O_RDONLY);
        CHILD_EQ(failures, quor_ReadX(0x80000000u, fd, nullptr, 30, &eof), 0);
        CHILD_CHECK(failures, replyPending(5000));
        int closeRc = 1;
        std::thread closer([&] { closeRc = quor_Close(fd); });
        closer.join();
        CHILD_EQ(failures, closeRc, 0);
        quor_stat_t st;
        CHILD_EQ(failures, quor_Stat("/thirty", &st), 0);

        fd = openX("/thirty", O_RDONLY);
        CHILD_EQ(failures, quor_ReadX(0x80000000u, fd, nullptr, 30, &eof), 0);
        // All thirty bytes fit the socket: the gateway answers at once.
        CHILD_CHECK(failures, replyPending(5000));
        std::atomic<bool> done{false};
        int statRc = 1;
        std::thread other([&] {
          quor_stat_t st2;
          statRc = quor_Stat("/thirty", &st2);
          done = true;
        });
        CHILD_CHECK(failures, someoneWaits(done, 5000));
        CHILD_EQ(failures, quor_ReadX(0, fd, buf, 30, &eof), 30);
        other.join();
        CHILD_EQ(failures, statRc, 0);
        CHILD_EQ(failures, quor_Close(fd), 0);
        CHILD_EQ(failures, openEntries(), 0);
        return failures;
      },
      30);
  EXPECT_EQ(r.status, 0) << r.stderrText;
  auto j = gw.journalLines();
  EXPECT_EQ(countLines(j, "xio-read", "bytes=30 result=0"), 2);
}
