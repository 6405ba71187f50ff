// Open files, their table, and the calls on them (stat, copy, purge,
// migrate, stage, class of service), asynchronous stages with their
// reports, and restricted data-connection peers, against the gateway
// simulator. Each case runs the client in a forked child.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
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
#include "quor_stage.h"
#include "quorcfgx_restrict.h"
#include "xdr_objects.h"

namespace {

const std::string kFiles = [] {
  GwsimConfig c;
  c.server().set("startupCOS", 5).set("StageDelay", 1500);
  c.user("alice", "wonderland").set("Uid", 1001).set("Gid", 100);
  c.dir("/").set("Uid", 1001).set("Mode", "0755");
  c.file("/data").set("Data", "abcdef").set("Uid", 1001).set("Mode", "0644");
  c.file("/scratch").set("Data", "zz").set("Uid", 1001).set("Mode", "0644");
  c.file("/locked").set("Data", "xyz").set("Uid", 1001).set("Mode", "0644").flag("PurgeLock");
  c.file("/tape1").set("Size", 4096).set("Tape", "VOL001:7").set("Uid", 1001).set("Mode", "0644");
  c.file("/tape2").set("Size", 100).set("Tape", "VOL002:3").set("Uid", 1001).set("Mode", "0644");
  return c.text();
}();

// Logged in as alice on the current connection: the thread's context.
qelapi_tcontext_t* loggedIn(const GwsimFixture& gw) {
  qelapi_tcontext_t* ts = nullptr;
  return clientLogin(gw, "alice", "wonderland", &ts) == 0 ? ts : nullptr;
}

bool endsWith(const std::string& s, const std::string& tail) {
  return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

const quor_cos_hints_t* kNoHints = nullptr;
const quor_cos_priorities_t* kNoPri = nullptr;

int openFile(const char* path, int flags, mode_t mode = 0644) {
  return quor_Open(path, flags, mode, kNoHints, kNoPri, nullptr);
}

// A TCP listener on addr (port 0: any); -1 on failure.
int listenOn(int family, const char* addr, int* port) {
  int fd = socket(family, SOCK_STREAM, 0);
  if (fd < 0) return -1;
  struct sockaddr_storage ss;
  memset(&ss, 0, sizeof ss);
  socklen_t len;
  if (family == AF_INET) {
    auto* sin = reinterpret_cast<struct sockaddr_in*>(&ss);
    sin->sin_family = AF_INET;
    inet_pton(AF_INET, addr, &sin->sin_addr);
    len = sizeof *sin;
  } else {
    int off = 0;
    setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off);
    auto* sin6 = reinterpret_cast<struct sockaddr_in6*>(&ss);
    sin6->sin6_family = AF_INET6;
    inet_pton(AF_INET6, addr, &sin6->sin6_addr);
    len = sizeof *sin6;
  }
  if (bind(fd, reinterpret_cast<struct sockaddr*>(&ss), len) < 0 || listen(fd, 16) < 0 ||
      getsockname(fd, reinterpret_cast<struct sockaddr*>(&ss), &len) < 0) {
    close(fd);
    return -1;
  }
  *port = ntohs(family == AF_INET ? reinterpret_cast<struct sockaddr_in*>(&ss)->sin_port
                                  : reinterpret_cast<struct sockaddr_in6*>(&ss)->sin6_port);
  return fd;
}

// Accepts one connection within timeoutMs; the peer's address in *peer.
int acceptOne(int lfd, struct sockaddr_storage* peer, int timeoutMs) {
  struct pollfd pfd = {lfd, POLLIN, 0};
  if (poll(&pfd, 1, timeoutMs) != 1) return -1;
  socklen_t len = sizeof *peer;
  return accept(lfd, reinterpret_cast<struct sockaddr*>(peer), &len);
}

// A mover stand-in: connects from the local address `from` to 127.0.0.1:port.
int connectFrom(const char* from, int port) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  struct sockaddr_in src;
  memset(&src, 0, sizeof src);
  src.sin_family = AF_INET;
  inet_pton(AF_INET, from, &src.sin_addr);
  struct sockaddr_in dst = src;
  inet_pton(AF_INET, "127.0.0.1", &dst.sin_addr);
  dst.sin_port = htons(uint16_t(port));
  if (bind(fd, reinterpret_cast<struct sockaddr*>(&src), sizeof src) < 0 ||
      connect(fd, reinterpret_cast<struct sockaddr*>(&dst), sizeof dst) < 0) {
    close(fd);
    return -1;
  }
  return fd;
}

}  // namespace

// ---- the open-file table: open, create, close ----

TEST(FilesOpenClose, FirstDescriptorIsZeroAndFreedEntriesAreReused) {
  GwsimFixture gw(kFiles);
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  ChildResult r = runInChild([&] {
    int failures = 0;
    if (!loggedIn(gw)) return 1;
    CHILD_CHECK(failures, openFile("/data", O_RDONLY) == 0);
    // The gateway's first descriptor is 0, a valid one.
    CHILD_CHECK(failures, qelapi_io_getQUORFd(0) == 0);
    CHILD_CHECK(failures, quor_Close(0) == 0);
    CHILD_CHECK(failures, qelapi_io_getQUORFd(0) == -1);
    CHILD_CHECK(failures, openFile("/data", O_RDONLY) == 0);
    // A refused open gives its entry back: the next open gets it.
    CHILD_CHECK(failures, openFile("/missing", O_RDONLY) == -2);
    CHILD_CHECK(failures, openFile("/data", O_RDONLY) == 1);
    quor_cos_hints_t out;
    memset(&out, 0, sizeof out);
    int fd = quor_Open("/created", O_RDWR | O_CREAT, 0600, kNoHints, kNoPri, &out);
    CHILD_CHECK(failures, fd == 2);
    CHILD_CHECK(failures, out.COSId == 5);
    for (int d = 0; d < 3; d++) CHILD_CHECK(failures, quor_Close(d) == 0);
    return failures;
  });
  EXPECT_EQ(r.status, 0) << r.stderrText;
  EXPECT_EQ(countLines(gw.journalLines(), "fn=0x0f00"), 5);
}

TEST(FilesOpenClose, OpenFlagsAreMappedToTheGatewaysFlags) {
  struct Case {
    const char* path;
    int flags;
    const char* sent;
  };
  static const Case cases[] = {
      {"/data", O_RDONLY, "oflag=0x01"},
      {"/data", O_WRONLY, "oflag=0x02"},
      {"/data", O_RDWR, "oflag=0x04"},
      {"/data", 3, "oflag=0x00"},
      {"/fresh", O_RDWR | O_CREAT | O_EXCL, "oflag=0x34"},
      {"/scratch", O_WRONLY | O_TRUNC | O_APPEND, "oflag=0x4a"},
      {"/data", O_RDONLY | O_NONBLOCK, "oflag=0x81"},
      {"/data", O_RDONLY | O_SYNC | O_NOCTTY | O_CLOEXEC, "oflag=0x01"},
      {"/data", O_RDWR | O_CREAT, "oflag=0x14"},
  };
  GwsimFixture gw(kFiles);
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  ChildResult r = runInChild([&] {
    int failures = 0;
    if (!loggedIn(gw)) return 1;
    for (const Case& c : cases) {
      int fd = openFile(c.path, c.flags);
      CHILD_CHECK(failures, fd == 0);
      CHILD_CHECK(failures, quor_Close(fd) == 0);
    }
    return failures;
  });
  EXPECT_EQ(r.status, 0) << r.stderrText;
  auto opens = linesWith(gw.journalLines(), "fn=0x0f00");
  ASSERT_EQ(opens.size(), std::size(cases));
  for (size_t i = 0; i < opens.size(); i++) {
    EXPECT_NE(opens[i].find(std::string("path=") + cases[i].path + " " + cases[i].sent),
              std::string::npos)
        << "case " << i << ": " << opens[i];
  }
}

TEST(FilesOpenClose, BadPathsAreRefusedBeforeAnythingIsSent) {
  GwsimFixture gw(kFiles);
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  ChildResult r = runInChild([&] {
    int failures = 0;
    if (!loggedIn(gw)) return 1;
    std::string fits = "/" + std::string(1023, 'a');  // 1024 characters
    std::string tooLong = fits + "b";
    quor_cos_hints_t out;
    memset(&out, 0x5a, sizeof out);
    CHILD_CHECK(failures, quor_Open(nullptr, O_RDONLY, 0, kNoHints, kNoPri, &out) == -14);
    CHILD_CHECK(failures, quor_Open("", O_RDONLY, 0, kNoHints, kNoPri, &out) == -2);
    CHILD_CHECK(failures, quor_Open(tooLong.c_str(), O_RDONLY, 0, kNoHints, kNoPri, &out) == -86);
    CHILD_CHECK(failures, quor_Create(nullptr, 0644, kNoHints, kNoPri, &out) == -14);
    CHILD_CHECK(failures, quor_Create("", 0644, kNoHints, kNoPri, &out) == -2);
    CHILD_CHECK(failures, quor_Create(tooLong.c_str(), 0644, kNoHints, kNoPri, &out) == -86);
    CHILD_CHECK(failures, out.COSId == 0x5a5a5a5a);
    // The longest path the request holds goes out; the gateway refuses it.
    CHILD_CHECK(failures, quor_Open(fits.c_str(), O_RDONLY, 0, kNoHints, kNoPri, &out) < 0);
    CHILD_CHECK(failures, qelapi_io_lookup(0) == nullptr);
    return failures;
  });
  EXPECT_EQ(r.status, 0) << r.stderrText;
  auto j = gw.journalLines();
  EXPECT_EQ(countLines(j, "fn=0x0f00"), 1);
  EXPECT_EQ(countLines(j, "fn=0x030c"), 0);
}

TEST(FilesOpenClose, TwoHundredFiftyFilesFillTheTable) {
  GwsimFixture gw(kFiles);
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  ChildResult r = runInChild([&] {
    int failures = 0;
    if (!loggedIn(gw)) return 1;
    for (int i = 0; i < 250; i++) {
      int fd = openFile("/data", O_RDONLY);
      if (fd != i) {
        fprintf(stderr, "open %d gave %d\n", i, fd);
        return failures + 1;
      }
    }
    CHILD_CHECK(failures, openFile("/data", O_RDONLY) == -24);
    CHILD_CHECK(failures, quor_Close(17) == 0);
    CHILD_CHECK(failures, openFile("/data", O_RDONLY) == 17);
    CHILD_CHECK(failures, openFile("/data", O_RDONLY) == -24);
    for (int i = 0; i < 250; i++) CHILD_CHECK(failures, quor_Close(i) == 0);
    return failures;
  });
  EXPECT_EQ(r.status, 0) << r.stderrText;
  auto j = gw.journalLines();
  // The opens refused for a full table never reached the gateway.
  EXPECT_EQ(countLines(j, "fn=0x0f00"), 251);
  EXPECT_EQ(countLines(j, "fn=0x0308"), 251);
}

TEST(FilesOpenClose, ClosingWhatIsNotOpenGivesBadDescriptor) {
  GwsimFixture gw(kFiles);
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  ChildResult r = runInChild([&] {
    int failures = 0;
    if (!loggedIn(gw)) return 1;
    CHILD_CHECK(failures, quor_Close(-1) == -9);
    CHILD_CHECK(failures, quor_Close(250) == -9);
    CHILD_CHECK(failures, quor_Close(5) == -9);
    int fd = openFile("/data", O_RDONLY);
    CHILD_CHECK(failures, fd == 0);
    CHILD_CHECK(failures, quor_Close(fd) == 0);
    CHILD_CHECK(failures, quor_Close(fd) == -9);
    return failures;
  });
  EXPECT_EQ(r.status, 0) << r.stderrText;
  EXPECT_EQ(countLines(gw.journalLines(), "fn=0x0308"), 1);
}

TEST(FilesOpenClose, CloseOfAFileAnotherCallHoldsIsBusy) {
  GwsimFixture gw(std::string(kFiles) + "Faults = {\n Delay = 0x0500 0x060B * 700\n}\n");
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  ChildResult r = runInChild([&] {
    int failures = 0;
    qelapi_tcontext_t* ts = loggedIn(gw);
    if (!ts) return 1;
    int fd = openFile("/data", O_RDONLY);
    CHILD_CHECK(failures, fd == 0);
    int statRc = 1;
    quor_stat_t st;
    std::thread other([&] { statRc = quor_Fstat(fd, &st); });
    // The stat's request is out: its thread holds the file until the answer.
    CHILD_CHECK(failures, gw.waitForJournal("fn=0x060b"));
    CHILD_CHECK(failures, quor_Close(fd) == -16);
    qelapi_file_t* e = nullptr;
    CHILD_CHECK(failures, qelapi_io_setactive(ts, fd, &e) == -2);
    CHILD_CHECK(failures, e == qelapi_io_lookup(fd) && e != nullptr);
    other.join();
    CHILD_CHECK(failures, statRc == 0);
    CHILD_CHECK(failures, st.st_size == 6);
    CHILD_CHECK(failures, quor_Close(fd) == 0);
    CHILD_CHECK(failures, qelapi_io_setactive(ts, fd, &e) == -2);
    CHILD_CHECK(failures, e == nullptr);
    return failures;
  });
  EXPECT_EQ(r.status, 0) << r.stderrText;
  EXPECT_EQ(countLines(gw.journalLines(), "fn=0x0308"), 1);
}

TEST(FilesOpenClose, ThreadsOpeningAndClosingNeverShareADescriptor) {
  GwsimFixture gw(kFiles);
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  ChildResult r = runInChild([&] {
    if (!loggedIn(gw)) return 1;
    std::atomic<int> owners[QELAPI_MAX_OPEN_FILES];
    for (auto& o : owners) o = 0;
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; t++)
      threads.emplace_back([&] {
        for (int i = 0; i < 40; i++) {
          int fd = openFile("/data", O_RDONLY);
          if (fd < 0 || fd >= QELAPI_MAX_OPEN_FILES || owners[fd].exchange(1) != 0) {
            wrong++;
            continue;
          }
          quor_stat_t st;
          if (quor_Fstat(fd, &st) != 0 || st.st_size != 6) wrong++;
          owners[fd] = 0;
          if (quor_Close(fd) != 0) wrong++;
        }
      });
    for (auto& th : threads) th.join();
    int failures = wrong.load();
    CHILD_CHECK(failures, wrong.load() == 0);
    CHILD_CHECK(failures, openFile("/data", O_RDONLY) == 0);
    return failures;
  });
  EXPECT_EQ(r.status, 0) << r.stderrText;
}

TEST(FilesOpenClose, CreateMakesAFileWithoutTakingADescriptor) {
  GwsimFixture gw(kFiles);
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  ChildResult r = runInChild([&] {
    int failures = 0;
    if (!loggedIn(gw)) return 1;
    quor_cos_hints_t out;
    memset(&out, 0, sizeof out);
    CHILD_CHECK(failures, quor_Create("/made", 0640, kNoHints, kNoPri, &out) == 0);
    CHILD_CHECK(failures, out.COSId == 5);
    memset(&out, 0x5a, sizeof out);
    CHILD_CHECK(failures, quor_Create("/made", 0640, kNoHints, kNoPri, &out) == -17);
    CHILD_CHECK(failures, out.COSId == 0x5a5a5a5a);
    CHILD_CHECK(failures, quor_Create("/nodir/x", 0640, kNoHints, kNoPri, nullptr) == -2);
    quor_cos_hints_t in;
    quor_cos_priorities_t pri;
    memset(&in, 0, sizeof in);
    memset(&pri, 0, sizeof pri);
    in.COSId = 9;
    pri.COSIdPriority = 1;
    CHILD_CHECK(failures, quor_Create("/made9", 0600, &in, &pri, &out) == 0);
    CHILD_CHECK(failures, out.COSId == 9);
    int fd = openFile("/made", O_RDONLY);
    CHILD_CHECK(failures, fd == 0);
    quor_stat_t st;
    CHILD_CHECK(failures, quor_Fstat(fd, &st) == 0);
    CHILD_CHECK(failures, (st.st_mode & 07777) == 0640 && st.st_size == 0);
    CHILD_CHECK(failures, quor_Close(fd) == 0);
    return failures;
  });
  EXPECT_EQ(r.status, 0) << r.stderrText;
  EXPECT_EQ(countLines(gw.journalLines(), "fn=0x030c"), 4);
}

// ---- calls on an open file ----

TEST(FilesOnOpenFile, FstatAndCopyHoldTheirFiles) {
  GwsimFixture gw(kFiles);
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  ChildResult r = runInChild([&] {
    int failures = 0;
    qelapi_tcontext_t* ts = loggedIn(gw);
    if (!ts) return 1;
    int src = openFile("/data", O_RDONLY);
    int dst = openFile("/copy", O_RDWR | O_CREAT);
    CHILD_CHECK(failures, src == 0 && dst == 1);
    quor_stat_t st;
    CHILD_CHECK(failures, quor_Fstat(src, &st) == 0 && st.st_size == 6);
    CHILD_CHECK(failures, quor_Fstat(src, nullptr) == -14);
    memset(&st, 0xab, sizeof st);
    CHILD_CHECK(failures, quor_Fstat(200, &st) == -2);
    quor_stat_t zero;
    memset(&zero, 0, sizeof zero);
    CHILD_CHECK(failures, memcmp(&st, &zero, sizeof st) == 0);

    CHILD_CHECK(failures, quor_CopyFile(src, dst) == 0);
    CHILD_CHECK(failures, quor_Fstat(dst, &st) == 0 && st.st_size == 6);
    // A file cannot be both ends; and neither claim is left behind.
    CHILD_CHECK(failures, quor_CopyFile(src, src) == -2);
    CHILD_CHECK(failures, quor_CopyFile(src, 200) == -2);
    qelapi_file_t* e = nullptr;
    CHILD_CHECK(failures, qelapi_io_setactive(ts, src, &e) == 0);
    if (e) qelapi_io_setinactive(e);
    CHILD_CHECK(failures, quor_Close(src) == 0 && quor_Close(dst) == 0);
    return failures;
  });
  EXPECT_EQ(r.status, 0) << r.stderrText;
  auto j = gw.journalLines();
  EXPECT_EQ(countLines(j, "fn=0x030d"), 1);
  EXPECT_EQ(countLines(j, "fn=0x060b"), 2);
}

TEST(FilesOnOpenFile, CallsUseTheConnectionTheFileWasOpenedOn) {
  GwsimFixture gw(kFiles);
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  ChildResult r = runInChild([&] {
    int failures = 0;
    if (!loggedIn(gw)) return 1;
    int h1 = quorex_GetCurConHandle();
    int fd1 = openFile("/data", O_RDONLY);
    int h2 = -1;
    CHILD_CHECK(failures, quorex_SetupConnection("127.0.0.1", nullptr, gw.port(), 0, 0, &h2) == 0);
    quor_SetAuthType(QUOR_AUTH_COMBO);
    quor_SetCombo("alice", "wonderland");
    CHILD_CHECK(failures, quorex_OpenConnection(h2) == 0);
    CHILD_CHECK(failures, quorex_GetCurConHandle() == h2);
    int fd2 = openFile("/data", O_RDONLY);
    CHILD_CHECK(failures, fd1 == 0 && fd2 == 1);
    quor_stat_t st;
    CHILD_CHECK(failures, quor_Fstat(fd1, &st) == 0);
    CHILD_CHECK(failures, quor_CopyFile(fd1, fd2) == -64);

    // A connection closed under an open file stays readable for the file:
    // its calls fail, and closing the file still frees the descriptor.
    CHILD_CHECK(failures, quorex_SetCurConnection(h1, nullptr) == 0);
    CHILD_CHECK(failures, quorex_CloseConnection(h2) == 0);
    CHILD_CHECK(failures, quor_Fstat(fd2, &st) == -50);
    CHILD_CHECK(failures, quor_Close(fd2) == -50);
    CHILD_CHECK(failures, quor_Close(fd2) == -9);
    CHILD_CHECK(failures, quor_Fstat(fd1, &st) == 0 && st.st_size == 6);
    CHILD_CHECK(failures, quor_Close(fd1) == 0);
    return failures;
  });
  EXPECT_EQ(r.status, 0) << r.stderrText;
  EXPECT_EQ(linesWithAll(gw.journalLines(), {"conn=1 ", "fn=0x060b", "fildes=0"}).size(), 2u);
  EXPECT_EQ(linesWithAll(gw.journalLines(), {"conn=2 ", "fn=0x060b"}).size(), 0u);
  EXPECT_EQ(countLines(gw.journalLines(), "fn=0x030d"), 0);
}

TEST(FilesOnOpenFile, MigratePurgeAndStageMoveTheData) {
  GwsimFixture gw(kFiles);
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  ChildResult r = runInChild([&] {
    int failures = 0;
    if (!loggedIn(gw)) return 1;
    int fd = openFile("/data", O_RDONLY);
    CHILD_CHECK(failures, fd == 0);
    uint64_t n = 77;
    // The range test comes before the output test.
    CHILD_CHECK(failures, quor_Purge(fd, 1, 0, 0, 0, nullptr) == -22);
    CHILD_CHECK(failures, quor_Purge(fd, 0, 5, 0, 0, &n) == -22);
    CHILD_CHECK(failures, quor_Purge(fd, 0, 0, 0, 0, nullptr) == -14);
    CHILD_CHECK(failures, quor_Migrate(fd, 0, 0, nullptr) == -14);
    // Data only on disk cannot be purged.
    CHILD_CHECK(failures, quor_Purge(fd, 0, 0, 0, 0, &n) == 0 && n == 0);
    CHILD_CHECK(failures, quor_Migrate(fd, 0, 0, &n) == 0 && n == 6);
    CHILD_CHECK(failures, quor_Migrate(fd, 0, 0, &n) == 0 && n == 0);
    CHILD_CHECK(failures, quor_Purge(fd, 0, 0, 0, 0, &n) == 0 && n == 6);
    CHILD_CHECK(failures, quor_Close(fd) == 0);
    n = 77;
    CHILD_CHECK(failures, quor_Purge(fd, 0, 0, 0, 0, &n) == -2 && n == 77);

    // Now on tape only: 0x80 opens without staging, Stage brings it back.
    fd = openFile("/data", O_RDONLY | O_NONBLOCK);
    CHILD_CHECK(failures, quor_Stage(fd, 0, 0, 0, 0) == 0);
    CHILD_CHECK(failures, quor_Stage(fd, 0, 0, 0, 0) == 0);
    CHILD_CHECK(failures, quor_Close(fd) == 0);
    CHILD_CHECK(failures, quor_Stage(fd, 0, 0, 0, 0) == -2);

    int locked = openFile("/locked", O_RDONLY);
    CHILD_CHECK(failures, quor_Migrate(locked, 0, 0, &n) == 0 && n == 3);
    n = 99;
    CHILD_CHECK(failures, quor_Purge(locked, 0, 0, 0, 0, &n) == -1 && n == 99);
    CHILD_CHECK(failures, quor_Close(locked) == 0);
    return failures;
  });
  EXPECT_EQ(r.status, 0) << r.stderrText;
  auto stages = linesWith(gw.journalLines(), "fn=0x1308");
  ASSERT_EQ(stages.size(), 2u);
  EXPECT_TRUE(endsWith(stages[0], " staged")) << stages[0];
  EXPECT_FALSE(endsWith(stages[1], " staged")) << stages[1];
  EXPECT_EQ(linesWithAll(gw.journalLines(), {"fn=0x0f00", "path=/data", " staged"}).size(), 0u);
}

TEST(FilesOnOpenFile, TapeOnlyFileIsStagedByOpenUnlessAskedNotTo) {
  GwsimFixture gw(kFiles);
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  ChildResult r = runInChild([&] {
    int failures = 0;
    if (!loggedIn(gw)) return 1;
    for (int flags : {O_RDONLY | O_NONBLOCK, O_RDONLY, O_RDONLY}) {
      int fd = openFile("/tape1", flags);
      CHILD_CHECK(failures, fd == 0);
      quor_stat_t st;
      CHILD_CHECK(failures, quor_Fstat(fd, &st) == 0 && st.st_size == 4096);
      CHILD_CHECK(failures, quor_Close(fd) == 0);
    }
    return failures;
  });
  EXPECT_EQ(r.status, 0) << r.stderrText;
  auto opens = linesWithAll(gw.journalLines(), {"fn=0x0f00", "path=/tape1"});
  ASSERT_EQ(opens.size(), 3u);
  EXPECT_FALSE(endsWith(opens[0], " staged")) << opens[0];
  EXPECT_TRUE(endsWith(opens[1], " staged")) << opens[1];
  EXPECT_FALSE(endsWith(opens[2], " staged")) << opens[2];
}

TEST(FilesOnOpenFile, StageLetsGoOfTheFileBeforeItsAnswer) {
  GwsimFixture gw(std::string(kFiles) + "Faults = {\n Delay = 0x0500 0x1308 * 3000\n}\n");
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  ChildResult r = runInChild([&] {
    int failures = 0;
    qelapi_tcontext_t* ts = loggedIn(gw);
    if (!ts) return 1;
    int fd = openFile("/tape2", O_RDONLY | O_NONBLOCK);
    CHILD_CHECK(failures, fd == 0);
    std::atomic<int> stageRc{1};
    std::atomic<bool> answered{false};
    std::thread stager([&] {
      stageRc = quor_Stage(fd, 0, 0, 0, 0);
      answered = true;
    });
    CHILD_CHECK(failures, gw.waitForJournal("fn=0x1308"));
    // The gateway journals the request as it arrives, which may be a moment
    // before the stager lets go of the file: poll until it does, well inside
    // the delayed answer.
    qelapi_file_t* e = nullptr;
    int held = -1;
    for (int i = 0; i < 200 && !answered.load(); ++i) {
      held = qelapi_io_setactive(ts, fd, &e);
      if (held == 0) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    CHILD_CHECK(failures, held == 0);
    CHILD_CHECK(failures, !answered.load());
    if (e) qelapi_io_setinactive(e);
    quor_stat_t st;
    CHILD_CHECK(failures, quor_Fstat(fd, &st) == 0 && st.st_size == 100);
    stager.join();
    CHILD_CHECK(failures, stageRc.load() == 0);
    CHILD_CHECK(failures, quor_Close(fd) == 0);
    return failures;
  });
  EXPECT_EQ(r.status, 0) << r.stderrText;
  auto stages = linesWith(gw.journalLines(), "fn=0x1308");
  ASSERT_EQ(stages.size(), 1u);
  EXPECT_TRUE(endsWith(stages[0], " staged")) << stages[0];
}

TEST(FilesOnOpenFile, SetCOSByHintsReportsANewClassOnly) {
  GwsimFixture gw(kFiles);
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  ChildResult r = runInChild([&] {
    int failures = 0;
    if (!loggedIn(gw)) return 1;
    int fd = openFile("/fresh", O_RDWR | O_CREAT);
    quor_cos_hints_t hints;
    quor_cos_priorities_t pri;
    memset(&hints, 0, sizeof hints);
    memset(&pri, 0, sizeof pri);
    quor_cos_md_t md;
    memset(&md, 0, sizeof md);
    CHILD_CHECK(failures, quor_SetCOSByHints(fd, 0, nullptr, &pri, &md) == -14);
    CHILD_CHECK(failures, quor_SetCOSByHints(fd, 0, &hints, nullptr, &md) == -14);
    hints.COSId = 7;
    pri.COSIdPriority = 1;
    CHILD_CHECK(failures, quor_SetCOSByHints(fd, 0, &hints, &pri, &md) == 7);
    CHILD_CHECK(failures, md.COSId == 7);
    // Unchanged: the result 0 leaves the description alone.
    md.HierId = 4242;
    CHILD_CHECK(failures, quor_SetCOSByHints(fd, 0, &hints, &pri, &md) == 0);
    CHILD_CHECK(failures, md.HierId == 4242);
    hints.COSId = 8;
    CHILD_CHECK(failures, quor_SetCOSByHints(fd, 0, &hints, &pri, nullptr) == 8);
    CHILD_CHECK(failures, quor_SetCOSByHints(250, 0, &hints, &pri, nullptr) == -2);
    // Only before the first byte is written.
    int data = openFile("/data", O_RDWR);
    CHILD_CHECK(failures, quor_SetCOSByHints(data, 0, &hints, &pri, &md) == -22);
    CHILD_CHECK(failures, quor_Close(fd) == 0 && quor_Close(data) == 0);
    return failures;
  });
  EXPECT_EQ(r.status, 0) << r.stderrText;
  EXPECT_EQ(countLines(gw.journalLines(), "fn=0x130e"), 4);
}

// ---- asynchronous stages ----

TEST(FilesStageCallBack, ReportArrivesOnTheCallbackAddress) {
  GwsimFixture gw(kFiles);
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  ChildResult r = runInChild([&] {
    int failures = 0;
    if (!loggedIn(gw)) return 1;
    int port = 0;
    int lfd = listenOn(AF_INET, "127.0.0.1", &port);
    if (lfd < 0) return failures + 1;
    bfs_callback_addr_t cb;
    memset(&cb, 0, sizeof cb);
    auto* sin = reinterpret_cast<struct sockaddr_in*>(&cb.sockaddr.hs_addr);
    sin->sin_family = AF_INET;
    sin->sin_port = htons(uint16_t(port));
    inet_pton(AF_INET, "127.0.0.1", &sin->sin_addr);
    cb.sockaddr.hs_addrlen = sizeof *sin;
    cb.id.time_low = 0x1234abcd;
    cb.id.time_mid = 0x0102;
    cb.id.time_hi_and_version = 0x4303;
    cb.id.clock_seq_hi_and_reserved = 0x84;
    cb.id.clock_seq_low = 0x05;
    for (int i = 0; i < 6; i++) cb.id.node[i] = uint8_t(6 + i);

    quor_reqid_t rid;
    bfs_bitfile_obj_handle_t bf;
    CHILD_CHECK(failures, quor_StageCallBack("/tape2", 0, 0, 0, &cb, 2, &rid, &bf) == 0);
    int32_t status = -1;
    CHILD_CHECK(failures, quor_GetAsyncStatus(rid, &bf, &status) == 0 && status == 1);

    struct sockaddr_storage peer;
    int cfd = acceptOne(lfd, &peer, 10000);
    CHILD_CHECK(failures, cfd >= 0);
    unsigned char buf[128];
    size_t got = 0;
    for (ssize_t n; cfd >= 0 && (n = read(cfd, buf + got, sizeof buf - got)) > 0;) got += size_t(n);
    if (cfd >= 0) close(cfd);
    close(lfd);
    // One bare record, no header: the callback id, retcode 0, the handle.
    CHILD_CHECK(failures, got == 60);
    static const unsigned char head[32] = {
        0x12, 0x34, 0xab, 0xcd, 0, 0, 0x01, 0x02, 0, 0,   0x43, 0x03, 0, 0, 0, 0x84,
        0,    0,    0,    0x05, 6, 7, 8,    9,    10, 11, 0,    0,    0, 0, 0, 0};
    CHILD_CHECK(failures, memcmp(buf, head, sizeof head) == 0);
    unsigned char handle[28] = {0};
    memcpy(handle, bf.BfId.Bytes, QUOROID_LEN);
    handle[22] = uint8_t(bf.BfHash >> 8);
    handle[23] = uint8_t(bf.BfHash);
    for (int i = 0; i < 4; i++) handle[24 + i] = uint8_t(bf.ValidHash >> (24 - 8 * i));
    CHILD_CHECK(failures, memcmp(buf + 32, handle, sizeof handle) == 0);

    status = -1;
    CHILD_CHECK(failures, quor_GetAsyncStatus(rid, &bf, &status) == 0 && status == 0);
    // The data is on disk level 0 by the time the report arrives.
    quor_xfileattr_t x;
    memset(&x, 0, sizeof x);
    CHILD_CHECK(failures, quor_FileGetXAttributes("/tape2", 8, 0, &x) == 0);
    CHILD_EQ(failures, x.SCAttrib[0].Flags & 0x5, 0x5);
    qelapi_FreeXAttrsLists(&x);
    return failures;
  });
  EXPECT_EQ(r.status, 0) << r.stderrText;
  auto j = gw.journalLines();
  auto reqs = linesWithAll(j, {"fn=0x130f", "path=/tape2 level=0 flags=0x2 callback=set"});
  ASSERT_EQ(reqs.size(), 1u);
  EXPECT_TRUE(endsWith(reqs[0], " recall=VOL002")) << reqs[0];
  // The data is on disk before the report goes out.
  EXPECT_EQ(countLines(j, "stage-recalled id=1234abcd path=/tape2 volume=VOL002 retcode=0"), 1);
  EXPECT_EQ(countLines(j, "stage-callback id=1234abcd retcode=0 sent"), 1);
  EXPECT_EQ(countLines(j, "fn=0x0703"), 2);
}

TEST(FilesStageCallBack, ArgumentsAndUnknownRequests) {
  GwsimFixture gw(kFiles);
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  ChildResult r = runInChild([&] {
    int failures = 0;
    if (!loggedIn(gw)) return 1;
    quor_reqid_t rid;
    bfs_bitfile_obj_handle_t bf;
    memset(&rid, 0x5a, sizeof rid);
    std::string tooLong = "/" + std::string(1024, 'a');
    CHILD_CHECK(failures, quor_StageCallBack(nullptr, 0, 0, 0, nullptr, 0, &rid, &bf) == -14);
    CHILD_CHECK(failures, quor_StageCallBack("", 0, 0, 0, nullptr, 0, &rid, &bf) == -2);
    CHILD_CHECK(failures, quor_StageCallBack("/data", 0, 0, 0, nullptr, 0, nullptr, &bf) == -14);
    CHILD_CHECK(failures, quor_StageCallBack("/data", 0, 0, 0, nullptr, 0, &rid, nullptr) == -14);
    CHILD_CHECK(failures,
                quor_StageCallBack(tooLong.c_str(), 0, 0, 0, nullptr, 0, &rid, &bf) == -86);
    CHILD_CHECK(failures, quor_StageCallBack("/missing", 0, 0, 0, nullptr, 0, &rid, &bf) == -2);
    quor_reqid_t untouched;
    memset(&untouched, 0x5a, sizeof untouched);
    CHILD_CHECK(failures, memcmp(&rid, &untouched, sizeof rid) == 0);
    // Without an address the request goes out with an all-zero one.
    CHILD_CHECK(failures, quor_StageCallBack("/data", 0, 0, 0, nullptr, 0, &rid, &bf) == 0);

    int32_t status = 7;
    CHILD_CHECK(failures, quor_GetAsyncStatus(rid, nullptr, &status) == -14);
    CHILD_CHECK(failures, quor_GetAsyncStatus(rid, &bf, nullptr) == -14);
    quor_reqid_t unknown;
    memset(&unknown, 0, sizeof unknown);
    CHILD_CHECK(failures, quor_GetAsyncStatus(unknown, &bf, &status) == 0 && status == 0);
    return failures;
  });
  EXPECT_EQ(r.status, 0) << r.stderrText;
  EXPECT_EQ(countLines(gw.journalLines(), "fn=0x130f"), 2);
  EXPECT_EQ(linesWithAll(gw.journalLines(), {"fn=0x130f", "path=/data", "callback=zero"}).size(),
            1u);
  EXPECT_EQ(countLines(gw.journalLines(), "fn=0x0703"), 1);
  EXPECT_TRUE(gw.waitForJournal("stage-callback id=00000000 retcode=0 none"));
}

TEST(FilesStageCallBack, PendingReportsDoNotHoldUpTheGatewaysEnd) {
  std::string config = kFiles;
  config.replace(config.find("StageDelay = 1500"), strlen("StageDelay = 1500"),
                 "StageDelay = 600000");
  GwsimFixture gw(config);
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  ChildResult r = runInChild([&] {
    int failures = 0;
    if (!loggedIn(gw)) return 1;
    quor_reqid_t rid;
    bfs_bitfile_obj_handle_t bf;
    int32_t status = -1;
    CHILD_CHECK(failures, quor_StageCallBack("/tape1", 0, 0, 0, nullptr, 0, &rid, &bf) == 0);
    CHILD_CHECK(failures, quor_GetAsyncStatus(rid, &bf, &status) == 0 && status == 1);
    return failures;
  });
  EXPECT_EQ(r.status, 0) << r.stderrText;
  time_t before = time(nullptr);
  EXPECT_EQ(gw.stop(), 0) << gw.stderrText();
  EXPECT_LT(time(nullptr) - before, 5);
  EXPECT_EQ(countLines(gw.journalLines(), "stage-callback"), 0);
}

// ---- restricted peers of data connections ----

namespace {

const char kRestricted[] = R"(Restricted Addresses = {
  nomatch.example = {
    0.0.0.0/1
  }
  Default = {
    127.0.0.1
    2001:db8::/32
  }
}
)";

void writeQuorConf(const GwsimFixture& gw, const char* text) {
  std::ofstream(gw.dir() + "/QUOR.conf") << text;
}

// The refusal lines of the gateway log that name this process and function.
int refusalLines(const GwsimFixture& gw, const std::string& function, const std::string& from) {
  std::string text = "prio=0x6000 select=0x2000000 text=*** Error [pid " +
                     std::to_string(getpid()) + " function " + function +
                     "] - restricted connection failed from " + from + "\\n";
  return countLines(gw.journalLines(), " log ", text);
}

}  // namespace

TEST(FilesRestrictedPeers, MoverFromAnotherAddressIsRefusedAndLogged) {
  GwsimFixture gw(kFiles);
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  writeQuorConf(gw, kRestricted);
  ChildResult r = runInChild([&] {
    int failures = 0;
    if (!loggedIn(gw)) return 1;
    int port = 0;
    int lfd = listenOn(AF_INET, "127.0.0.1", &port);
    if (lfd < 0) return 1;
    for (const char* from : {"127.0.0.2", "127.0.0.1"}) {
      int mover = connectFrom(from, port);
      CHILD_CHECK(failures, mover >= 0);
      struct sockaddr_storage peer;
      int fd = acceptOne(lfd, &peer, 5000);
      CHILD_CHECK(failures, fd >= 0);
      int allowed = quorex_IsConnectionAllowed(&peer, 1, "mover_accept");
      CHILD_CHECK(failures, allowed == (strcmp(from, "127.0.0.1") == 0 ? 1 : 0));
      if (fd >= 0) close(fd);
      if (mover >= 0) close(mover);
    }
    close(lfd);
    CHILD_CHECK(failures, gw.waitForJournal("restricted connection failed from 127.0.0.2"));
    CHILD_CHECK(failures, refusalLines(gw, "mover_accept", "127.0.0.2") == 1);
    CHILD_CHECK(failures, refusalLines(gw, "mover_accept", "127.0.0.1") == 0);
    return failures;
  });
  EXPECT_EQ(r.status, 0) << r.stderrText;
  // A refusal is never printed locally.
  EXPECT_EQ(r.stderrText.find("restricted connection failed"), std::string::npos);
  EXPECT_EQ(countLines(gw.journalLines(), "restricted connection failed"), 1);
}

TEST(FilesRestrictedPeers, MappedIPv4PeerIsComparedWithTheIPv4Entries) {
  GwsimFixture gw(kFiles);
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  writeQuorConf(gw, kRestricted);
  ChildResult r = runInChild([&] {
    int failures = 0;
    if (!loggedIn(gw)) return 1;
    int port = 0;
    int lfd = listenOn(AF_INET6, "::", &port);
    if (lfd < 0) {
      fprintf(stderr, "no IPv6 listener here\n");
      return 0;
    }
    for (const char* from : {"127.0.0.1", "127.0.0.2"}) {
      int mover = connectFrom(from, port);
      CHILD_CHECK(failures, mover >= 0);
      struct sockaddr_storage peer;
      int fd = acceptOne(lfd, &peer, 5000);
      CHILD_CHECK(failures, fd >= 0 && peer.ss_family == AF_INET6);
      int allowed = quorex_IsConnectionAllowed(&peer, 1, "mover_accept6");
      CHILD_CHECK(failures, allowed == (strcmp(from, "127.0.0.1") == 0 ? 1 : 0));
      if (fd >= 0) close(fd);
      if (mover >= 0) close(mover);
    }
    close(lfd);
    CHILD_CHECK(failures, gw.waitForJournal("restricted connection failed from ::ffff:127.0.0.2"));
    CHILD_CHECK(failures, refusalLines(gw, "mover_accept6", "::ffff:127.0.0.2") == 1);
    return failures;
  });
  EXPECT_EQ(r.status, 0) << r.stderrText;
  if (r.stderrText.find("no IPv6 listener here") != std::string::npos)
    GTEST_SKIP() << "no IPv6 loopback";
  EXPECT_EQ(countLines(gw.journalLines(), "restricted connection failed"), 1);
}
