// quor_Read and quor_Write through gwsim's movers: byte-identical round
// trips for several sizes and mover counts, sparse files, transfers in
// several cycles, errors in a later cycle, every mover fault ending in its
// error with nothing left behind, and the file offset calls. Each case runs
// the client in a forked child.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

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
#include "quor_api_extensions.h"
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

std::string config(const std::string& moverLines, const std::string& faultLines = "") {
  GwsimConfig c;
  c.user("alice", "wonderland").set("Uid", 1001).set("Gid", 100);
  c.dir("/").set("Uid", 1001).set("Mode", "0755");
  c.movers().set("PacketSize", 4096).lines(moverLines);
  if (!faultLines.empty()) c.section("Faults").lines(faultLines);
  return c.text();
}

bool login(const GwsimFixture& gw) { return clientLogin(gw, "alice", "wonderland") == 0; }

std::vector<char> pattern(size_t n, unsigned seed = 1) {
  std::vector<char> v(n);
  uint32_t x = seed * 2654435761u + 1;
  for (size_t i = 0; i < n; i++) {
    x = x * 1103515245u + 12345u;
    v[i] = char(x >> 16);
  }
  return v;
}

int countEntries(const char* dir) {
  int n = 0;
  DIR* d = opendir(dir);
  if (!d) return -1;
  while (readdir(d)) n++;
  closedir(d);
  return n;
}

// What a transfer may leave behind: descriptors and threads of the process.
struct Resources {
  Resources() : fds(countEntries("/proc/self/fd")), threads(countEntries("/proc/self/task")) {}
  // A joined thread can stay listed for a moment while the kernel finishes
  // its exit (longer on a loaded machine), in either sample: more threads
  // after is checked again for a while, fewer is no leak.
  bool operator==(const Resources& o) const {
    Resources now = *this;
    for (int i = 0; i < 100 && (now.fds != o.fds || now.threads > o.threads); i++) {
      usleep(10000);
      now = Resources();
    }
    if (now.fds == o.fds && now.threads <= o.threads) return true;
    fprintf(stderr, "descriptors %d then %d, threads %d then %d\n", o.fds, now.fds, o.threads,
            now.threads);
    return false;
  }
  int fds, threads;
};

// Writes data into a new storage file through the movers: quor_Write's
// result, or the first failure.
ssize_t putFile(const char* path, const std::vector<char>& data) {
  int fd = quor_Open(path, O_WRONLY | O_CREAT | O_TRUNC, 0644, nullptr, nullptr, nullptr);
  if (fd < 0) return fd;
  static const char kNone[1] = {0};
  ssize_t n = quor_Write(fd, data.empty() ? kNone : data.data(), data.size());
  int rc = quor_Close(fd);
  return n < 0 ? n : rc < 0 ? rc : n;
}

// Reads up to want bytes of a storage file with one quor_Read.
ssize_t getFile(const char* path, std::vector<char>* out, size_t want) {
  int fd = quor_Open(path, O_RDONLY, 0, nullptr, nullptr, nullptr);
  if (fd < 0) return fd;
  out->assign(want, 'x');
  ssize_t n = quor_Read(fd, out->data(), want);
  quor_Close(fd);
  if (n >= 0) out->resize(size_t(n));
  return n;
}

std::vector<char> hostFile(const GwsimFixture& gw, const std::string& name) {
  std::string s = readFile(gw.rootDir() + name);
  return std::vector<char>(s.begin(), s.end());
}

}  // namespace

TEST(DataRoundTrip, SizesAndMoverCountsComeBackByteForByte) {
  const size_t kMany = 100 * 4096 + 123;
  for (int movers : {1, 2, 4, 16}) {
    GwsimFixture gw(config("PerAddress = " + std::to_string(movers)));
    ASSERT_TRUE(gw.running()) << gw.stderrText();
    ChildResult r = runInChild([&] {
      int failures = 0;
      if (!login(gw)) return 1;
      // A first transfer starts whatever the process starts once.
      CHILD_EQ(failures, putFile("/warm", std::vector<char>(10, 'w')), 10);
      Resources before;
      for (size_t size : {size_t(0), size_t(1), size_t(4096), kMany}) {
        std::string path = "/f" + std::to_string(size);
        std::vector<char> data = pattern(size, unsigned(size + movers));
        CHILD_EQ(failures, putFile(path.c_str(), data), ssize_t(size));
        std::vector<char> back;
        // Asking for more than there is: the second cycle finds the end.
        CHILD_EQ(failures, getFile(path.c_str(), &back, size + 10), ssize_t(size));
        CHILD_CHECK(failures, back == data);
        CHILD_CHECK(failures, hostFile(gw, path) == data);
      }
      CHILD_CHECK(failures, Resources() == before);
      CHILD_EQ(failures, leaksFound(), 0);
      return failures;
    });
    EXPECT_EQ(r.status, 0) << "movers " << movers << "\n" << r.stderrText;
    // Each mover of the many-block transfers connected on its own.
    std::string want = " movers=" + std::to_string(movers) + " moved=" + std::to_string(kMany);
    EXPECT_EQ(countLines(gw.journalLines(), "fn=0x1701", want), 1) << movers;
    EXPECT_EQ(countLines(gw.journalLines(), "fn=0x1207", want), 1) << movers;
  }
}

TEST(DataRoundTrip, ASparseFileIsReadThroughItsGaps) {
  GwsimFixture gw(config("PerAddress = 2"));
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  // Data, a hole of 1 MiB, data, and a hole up to the end.
  const off_t kHole = 1 << 20;
  std::vector<char> a = pattern(8192, 3), b = pattern(4096, 4);
  {
    int fd = open((gw.rootDir() + "/sparse").c_str(), O_WRONLY | O_CREAT, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(pwrite(fd, a.data(), a.size(), 0), ssize_t(a.size()));
    ASSERT_EQ(pwrite(fd, b.data(), b.size(), off_t(a.size()) + kHole), ssize_t(b.size()));
    ASSERT_EQ(ftruncate(fd, 3 * kHole), 0);
    bool holes = lseek(fd, 0, SEEK_HOLE) == off_t(a.size());
    close(fd);
    if (!holes) GTEST_SKIP() << "the file system keeps no holes";
  }
  std::vector<char> want = hostFile(gw, "/sparse");
  struct stat st0;
  ASSERT_EQ(stat((gw.rootDir() + "/sparse").c_str(), &st0), 0);
  ChildResult r = runInChild([&] {
    int failures = 0;
    if (!login(gw)) return 1;
    std::vector<char> back;
    CHILD_EQ(failures, getFile("/sparse", &back, want.size()), ssize_t(want.size()));
    CHILD_CHECK(failures, back == want);
    // Read in small pieces the gaps are cut to each call.
    int fd = quor_Open("/sparse", O_RDONLY, 0, nullptr, nullptr, nullptr);
    std::vector<char> pieces;
    std::vector<char> chunk(300000);
    for (;;) {
      ssize_t n = quor_Read(fd, chunk.data(), chunk.size());
      CHILD_CHECK(failures, n >= 0);
      if (n <= 0) break;
      pieces.insert(pieces.end(), chunk.begin(), chunk.begin() + n);
    }
    quor_Close(fd);
    CHILD_CHECK(failures, pieces == want);
    return failures;
  });
  EXPECT_EQ(r.status, 0) << r.stderrText;
  EXPECT_GE(countLines(gw.journalLines(), "fn=0x1207", " gap="), 2);
  EXPECT_EQ(countLines(gw.journalLines(), "fn=0x1207", " gap=1048576"), 1);
  // Reading keeps the stored file's holes.
  struct stat st1;
  ASSERT_EQ(stat((gw.rootDir() + "/sparse").c_str(), &st1), 0);
  EXPECT_EQ(st1.st_blocks, st0.st_blocks);
}

TEST(DataCycles, AShortReplyStartsAnotherCycleWithANewRequestId) {
  GwsimFixture gw(config("MaxRequest = 10000"));
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  std::vector<char> data = pattern(100000, 7);
  ChildResult r = runInChild([&] {
    int failures = 0;
    if (!login(gw)) return 1;
    CHILD_EQ(failures, putFile("/big", data), ssize_t(data.size()));
    std::vector<char> back;
    CHILD_EQ(failures, getFile("/big", &back, data.size()), ssize_t(data.size()));
    CHILD_CHECK(failures, back == data);
    return failures;
  });
  EXPECT_EQ(r.status, 0) << r.stderrText;
  std::vector<std::string> lines = gw.journalLines();
  EXPECT_EQ(countLines(lines, "fn=0x1701", " moved=10000"), 10);
  EXPECT_EQ(countLines(lines, "fn=0x1207", " moved=10000"), 10);
  // One id for each cycle.
  EXPECT_EQ(countLines(lines, "fn=0x0711"), 20);
  EXPECT_EQ(hostFile(gw, "/big"), data);
}

TEST(DataCycles, AnErrorInTheSecondCycleReturnsTheFirstCyclesBytes) {
  GwsimFixture gw(config("MaxRequest = 10000",
                         "Error = 0x0500 0x1701 2 -28\nError = 0x0500 0x1207 2 -5"));
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  std::vector<char> data = pattern(30000, 8);
  ChildResult r = runInChild([&] {
    int failures = 0;
    if (!login(gw)) return 1;
    int fd = quor_Open("/f", O_RDWR | O_CREAT, 0644, nullptr, nullptr, nullptr);
    CHILD_EQ(failures, quor_Write(fd, data.data(), data.size()), 10000);
    // The next call goes on where the gateway's offset stands.
    CHILD_EQ(failures, quor_Write(fd, data.data() + 10000, 20000), 20000);
    CHILD_EQ(failures, quor_Lseek(fd, 0, SEEK_SET), 0);
    std::vector<char> back(30000);
    CHILD_EQ(failures, quor_Read(fd, back.data(), back.size()), 10000);
    CHILD_EQ(failures, quor_Read(fd, back.data() + 10000, 20000), 20000);
    CHILD_CHECK(failures, back == data);
    quor_Close(fd);
    return failures;
  });
  EXPECT_EQ(r.status, 0) << r.stderrText;
}

TEST(DataCycles, AnErrorInTheFirstCycleIsTheResult) {
  GwsimFixture gw(config("", "Error = 0x0500 0x1207 2 -5\nError = 0x0500 0x0711 4 -11"));
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  ChildResult r = runInChild([&] {
    int failures = 0;
    if (!login(gw)) return 1;
    std::vector<char> data = pattern(5000, 9), back(5000);
    CHILD_EQ(failures, putFile("/f", data), 5000);  // id 1
    int fd = quor_Open("/f", O_RDONLY, 0, nullptr, nullptr, nullptr);
    CHILD_EQ(failures, quor_Read(fd, back.data(), 5000), 5000);  // id 2, read 1
    CHILD_EQ(failures, quor_Lseek(fd, 0, SEEK_SET), 0);
    // Read 2 (id 3) fails; the fetch of id 4 fails: neither counts a byte.
    CHILD_EQ(failures, quor_Read(fd, back.data(), 5000), -5);
    CHILD_EQ(failures, quor_Read(fd, back.data(), 5000), -11);
    CHILD_EQ(failures, quor_Read(fd, back.data(), 5000), 5000);
    CHILD_CHECK(failures, back == data);
    quor_Close(fd);
    return failures;
  });
  EXPECT_EQ(r.status, 0) << r.stderrText;
  // The failed id fetch sent no list request: 1 write, 3 reads.
  EXPECT_EQ(countLines(gw.journalLines(), "fn=0x1207"), 3);
}

// ---- mover faults ----

namespace {

struct FaultCase {
  const char* rule;
  bool write;         // the faulted transfer is the write (else the read)
  ssize_t expect;     // quor_Write's or quor_Read's result
  const char* quorConf;
  const char* journal;  // text the journal must hold afterwards, or null
  // The refusal may come after the data of the movers already taken was in:
  // then the call returns that many bytes, in place, instead of expect.
  bool mayBeShort = false;
};

const char kOnlyLoopback[] = "Restricted Addresses = {\n  Default = {\n    127.0.0.1\n  }\n}\n";
const size_t kFaultSize = 3 * 4096 + 100;

}  // namespace

TEST(DataFaults, EveryMoverFaultEndsInItsErrorWithNothingLeftBehind) {
  const FaultCase cases[] = {
      {"ShortMove = read 1 1000", false, ssize_t(kFaultSize), nullptr, "moved=1000"},
      {"ShortMove = write 2 5000", true, ssize_t(kFaultSize), nullptr, "moved=9096"},
      {"Repeat = write 2", true, ssize_t(kFaultSize), nullptr, nullptr},
      {"Die = read 1", false, -5, nullptr, "failed=died"},
      {"Die = write 2", true, -5, nullptr, "failed=died"},
      {"BadChecksum = read 1", false, -22, nullptr, nullptr},
      {"BadChecksum = write 2", true, -22, nullptr, nullptr},
      {"WrongId = read 1", false, -22, nullptr, nullptr},
      {"WrongId = write 2", true, -22, nullptr, nullptr},
      {"OutsideWindow = read 1", false, -22, nullptr, nullptr},
      {"OutsideWindow = write 2", true, -22, nullptr, nullptr},
      // Every byte arrived, so the read counts them all.
      {"Overstate = read 1 100", false, ssize_t(kFaultSize), nullptr, nullptr},
      {"Overstate = write 2 1", true, -5, nullptr, nullptr},
      {"Status = read 1 28", false, ssize_t(kFaultSize), nullptr, "status=28"},
      {"Status = write 2 -5", true, -5, nullptr, "status=-5"},
      {"From = read 1 127.0.0.2", false, -5, kOnlyLoopback,
       "function mover_waitfor_data_timeout] - restricted connection failed from 127.0.0.2"},
      {"From = write 2 127.0.0.2", true, -5, kOnlyLoopback,
       "function mover_waitfor_requests_timeout] - restricted connection failed from 127.0.0.2"},
      {"Crowd = read 1 65", false, -16, nullptr, "movers=65", true},
      {"Crowd = write 2 65", true, -16, nullptr, "movers=65", true},
  };
  // A call's result: c.expect; for a crowd also a count short of the whole,
  // when the connections taken before the refusal had moved their data. The
  // whole count would mean no refusal came.
  auto expected = [](const FaultCase& c, ssize_t n) {
    bool shortCount = c.mayBeShort && n > 0 && n < ssize_t(kFaultSize);
    return shortCount ? n : c.expect;
  };
  for (const FaultCase& c : cases) {
    GwsimFixture gw(config(std::string("PerAddress = 2\n") + c.rule));
    ASSERT_TRUE(gw.running()) << gw.stderrText();
    if (c.quorConf) std::ofstream(gw.dir() + "/QUOR.conf") << c.quorConf;
    std::vector<char> data = pattern(kFaultSize, 11);
    ChildResult r = runInChild([&] {
      int failures = 0;
      if (!login(gw)) return 1;
      // A first transfer starts whatever the process starts once (a
      // sanitizer's own thread), so that the counts below see only this one.
      CHILD_EQ(failures, putFile("/warm", std::vector<char>(10, 'w')), 10);
      int fd = quor_Open("/f", O_RDWR | O_CREAT, 0644, nullptr, nullptr, nullptr);
      Resources before;
      ssize_t n = quor_Write(fd, data.data(), data.size());
      if (c.write) {
        CHILD_EQ(failures, n, expected(c, n));
        CHILD_CHECK(failures, Resources() == before);
        if (n < 0) {
          // Nothing counted, so the caller writes it all again from the start.
          CHILD_EQ(failures, quor_Lseek(fd, 0, SEEK_SET), 0);
          CHILD_EQ(failures, quor_Write(fd, data.data(), data.size()), ssize_t(data.size()));
        } else if (n < ssize_t(data.size())) {
          // A short count: the caller goes on from where it stopped.
          CHILD_EQ(failures, quor_Lseek(fd, 0, SEEK_CUR), n);
          CHILD_EQ(failures, quor_Write(fd, data.data() + n, data.size() - size_t(n)),
                   ssize_t(data.size()) - n);
        }
      } else {
        CHILD_EQ(failures, n, ssize_t(data.size()));
      }
      CHILD_EQ(failures, quor_Lseek(fd, 0, SEEK_SET), 0);
      std::vector<char> back(data.size(), 0);
      Resources beforeRead;
      n = quor_Read(fd, back.data(), back.size());
      if (!c.write) {
        CHILD_EQ(failures, n, expected(c, n));
        if (n > 0) CHILD_CHECK(failures, std::equal(back.begin(), back.begin() + n, data.begin()));
        CHILD_CHECK(failures, Resources() == beforeRead);
        CHILD_EQ(failures, quor_Lseek(fd, 0, SEEK_SET), 0);
        n = quor_Read(fd, back.data(), back.size());
      }
      CHILD_EQ(failures, n, ssize_t(data.size()));
      CHILD_CHECK(failures, back == data);
      quor_Close(fd);
      CHILD_EQ(failures, leaksFound(), 0);
      return failures;
    });
    EXPECT_EQ(r.status, 0) << c.rule << "\n" << r.stderrText << gw.stderrText();
    if (c.journal) {
      EXPECT_GE(countLines(gw.journalLines(), c.journal), 1) << c.rule << "\n"
                                                              << readFile(gw.journalPath());
    }
    EXPECT_EQ(hostFile(gw, "/f"), data) << c.rule;
  }
}

TEST(DataFaults, AReadThatFailsLateKeepsWhatArrivedInPlace) {
  // Three cycles of 10,000 bytes; the second one fails after its data came.
  const char* rules[] = {
      "Overstate = read 2 100",     "Status = read 2 -5", "Status = read 2 28",
      "OutsideWindow = read 2",     "BadChecksum = read 2", "Die = read 2",
  };
  const size_t kSize = 30000;
  std::vector<char> data = pattern(kSize, 13);
  for (const char* rule : rules) {
    for (bool stream : {false, true}) {
      GwsimFixture gw(config(std::string("PerAddress = 2\nMaxRequest = 10000\n") + rule));
      ASSERT_TRUE(gw.running()) << gw.stderrText();
      {
        std::ofstream out(gw.rootDir() + "/f", std::ios::binary);
        out.write(data.data(), std::streamsize(data.size()));
      }
      ChildResult r = runInChild([&] {
        int failures = 0;
        if (!login(gw)) return 1;
        std::vector<char> back(kSize, 0);
        if (!stream) {
          // Every byte counted is the file's byte at that place; a failure
          // may end the reading, a short count may not lose anything.
          int fd = quor_Open("/f", O_RDONLY, 0, nullptr, nullptr, nullptr);
          size_t got = 0;
          ssize_t n = 0;
          while (got < kSize && (n = quor_Read(fd, back.data() + got, kSize - got)) > 0) {
            CHILD_CHECK(failures, memcmp(back.data() + got, data.data() + got, size_t(n)) == 0);
            got += size_t(n);
          }
          CHILD_CHECK(failures, n < 0 || got == kSize);
          quor_Close(fd);
          return failures;
        }
        // The record stream tries a -5 again from the gateway's offset.
        QUOR_FILE* f = quor_Fopen("/f", "rb", nullptr, nullptr, nullptr);
        CHILD_CHECK(failures, f != nullptr);
        if (f == nullptr) return failures;
        int items = quor_Fread(back.data(), 1, int(kSize), f);
        CHILD_CHECK(failures, items >= 0);
        CHILD_CHECK(failures, memcmp(back.data(), data.data(), size_t(std::max(items, 0))) == 0);
        CHILD_CHECK(failures, items == int(kSize) || quor_Ferror(f));
        quor_Fclose(f);
        return failures;
      });
      EXPECT_EQ(r.status, 0) << rule << (stream ? " (stream)" : "") << "\n"
                             << r.stderrText << readFile(gw.journalPath());
    }
  }
}

// ---- offsets ----

TEST(DataOffsets, SeekAndSetOffsetMoveWhereReadsAndWritesGo) {
  GwsimFixture gw(config(""));
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  ChildResult r = runInChild([&] {
    int failures = 0;
    if (!login(gw)) return 1;
    std::vector<char> data = pattern(100, 12);
    int fd = quor_Open("/f", O_RDWR | O_CREAT, 0644, nullptr, nullptr, nullptr);
    CHILD_EQ(failures, quor_Write(fd, data.data(), 100), 100);
    CHILD_EQ(failures, quor_Lseek(fd, 10, SEEK_SET), 10);
    char buf[5];
    CHILD_EQ(failures, quor_Read(fd, buf, 5), 5);
    CHILD_CHECK(failures, memcmp(buf, data.data() + 10, 5) == 0);
    uint64_t at = 0;
    CHILD_EQ(failures, quor_SetFileOffset(fd, 5, SEEK_CUR, 0, &at), 0);
    CHILD_EQ(failures, at, 20);
    CHILD_EQ(failures, quor_SetFileOffset(fd, 15, SEEK_CUR, 1, &at), 0);
    CHILD_EQ(failures, at, 5);
    CHILD_EQ(failures, quor_Read(fd, buf, 5), 5);
    CHILD_CHECK(failures, memcmp(buf, data.data() + 5, 5) == 0);
    CHILD_EQ(failures, quor_Lseek(fd, -1, SEEK_END), 99);
    CHILD_EQ(failures, quor_Lseek(fd, -200, SEEK_END), -22);
    CHILD_EQ(failures, quor_SetFileOffset(fd, 50, SEEK_SET, 1, &at), -22);
    CHILD_EQ(failures, quor_SetFileOffset(fd, 0, SEEK_SET, 2, &at), -22);
    CHILD_EQ(failures, quor_SetFileOffset(fd, 0, SEEK_SET, 0, nullptr), -14);
    // Offsets past 4 GiB: one byte at 5 GiB makes a sparse file of 5 GiB + 1.
    const int64_t kFar = 5LL << 30;
    CHILD_EQ(failures, quor_Lseek(fd, kFar, SEEK_SET), kFar);
    CHILD_EQ(failures, quor_Write(fd, "Z", 1), 1);
    CHILD_EQ(failures, quor_Lseek(fd, 0, SEEK_CUR), kFar + 1);
    CHILD_EQ(failures, quor_SetFileOffset(fd, 1, SEEK_END, 1, &at), 0);
    CHILD_EQ(failures, at, uint64_t(kFar));
    char z = 0;
    CHILD_EQ(failures, quor_Read(fd, &z, 1), 1);
    CHILD_EQ(failures, z, 'Z');
    CHILD_EQ(failures, quor_Read(fd, &z, 1), 0);  // the end
    quor_Close(fd);
    CHILD_EQ(failures, quor_Lseek(fd, 0, SEEK_SET), -2);
    CHILD_EQ(failures, quor_SetFileOffset(fd, 0, SEEK_SET, 0, &at), -2);
    return failures;
  });
  EXPECT_EQ(r.status, 0) << r.stderrText;
  struct stat st;
  ASSERT_EQ(stat((gw.rootDir() + "/f").c_str(), &st), 0);
  EXPECT_EQ(st.st_size, (5LL << 30) + 1);
}

// A count past 4 GiB: only the file's 20 bytes exist, so only they are
// touched in a buffer that is reserved, never backed. A count cut to 32
// bits would ask for 10 bytes.
TEST(DataCalls, CountsPast4GiBAreNotCutTo32Bits) {
  GwsimFixture gw(config(""));
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  std::vector<char> data = pattern(20, 14);
  ChildResult r = runInChild([&] {
    int failures = 0;
    if (!login(gw)) return 1;
    const size_t kHuge = (size_t(4) << 30) + 10;
    void* m = mmap(nullptr, kHuge, PROT_READ | PROT_WRITE,
                   MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (m == MAP_FAILED) return 2;
    char* big = static_cast<char*>(m);
    CHILD_EQ(failures, putFile("/twenty", data), 20);
    int fd = quor_Open("/twenty", O_RDONLY, 0, nullptr, nullptr, nullptr);
    CHILD_EQ(failures, quor_Read(fd, big, kHuge), 20);
    CHILD_CHECK(failures, memcmp(big, data.data(), 20) == 0);
    quor_Close(fd);
    munmap(m, kHuge);
    return failures;
  });
  EXPECT_EQ(r.status, 0) << r.stderrText;
  EXPECT_EQ(countLines(gw.journalLines(), "fn=0x1207", " len=4294967306"), 1)
      << readFile(gw.journalPath());
}

TEST(DataCalls, ArgumentsAndHeldFilesAreRefusedBeforeAnythingMoves) {
  GwsimFixture gw(config(""));
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  ChildResult r = runInChild([&] {
    int failures = 0;
    qelapi_tcontext_t* ts = nullptr;
    if (clientLogin(gw, "alice", "wonderland", &ts) != 0) return 1;
    int fd = quor_Open("/f", O_RDWR | O_CREAT, 0644, nullptr, nullptr, nullptr);
    char buf[4];
    CHILD_EQ(failures, quor_Read(fd, nullptr, 0), -14);
    CHILD_EQ(failures, quor_Write(fd, nullptr, 4), -14);
    CHILD_EQ(failures, quor_Read(fd, buf, 0), 0);
    CHILD_EQ(failures, quor_Read(77, buf, 4), -2);
    qelapi_file_t* e = nullptr;
    CHILD_EQ(failures, qelapi_io_setactive(ts, fd, &e), 0);
    CHILD_EQ(failures, quor_Write(fd, "abcd", 4), -2);
    qelapi_io_setinactive(e);
    CHILD_EQ(failures, quor_Write(fd, "abcd", 4), 4);
    // A file opened for writing only cannot be read.
    int wo = quor_Open("/f", O_WRONLY, 0, nullptr, nullptr, nullptr);
    CHILD_EQ(failures, quor_Read(wo, buf, 4), -9);
    quor_Close(wo);
    quor_Close(fd);
    return failures;
  });
  EXPECT_EQ(r.status, 0) << r.stderrText;
  // Only the write that held the file, and the read the gateway refused,
  // took an id and sent a request.
  EXPECT_EQ(countLines(gw.journalLines(), "fn=0x0711"), 2);
  EXPECT_EQ(countLines(gw.journalLines(), "fn=0x1701"), 1);
  EXPECT_EQ(countLines(gw.journalLines(), "fn=0x1207"), 1);
}

TEST(DataCalls, AFileOfAnotherConnectionMovesOnThatConnection) {
  GwsimFixture gw(config(""));
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  ChildResult r = runInChild([&] {
    int failures = 0;
    if (!login(gw)) return 1;
    int first = quorex_GetCurConHandle();
    int second = -1;
    CHILD_EQ(failures, quorex_SetupConnection("127.0.0.1", nullptr, gw.port(), 0, 0, &second), 0);
    quor_SetAuthType(QUOR_AUTH_COMBO);
    quor_SetCombo("alice", "wonderland");
    CHILD_EQ(failures, quorex_OpenConnection(second), 0);
    CHILD_EQ(failures, quorex_GetCurConHandle(), second);
    int fd = quor_Open("/f", O_RDWR | O_CREAT, 0644, nullptr, nullptr, nullptr);
    CHILD_EQ(failures, quorex_SetCurConnection(first, nullptr), 0);
    std::vector<char> data = pattern(5000, 13), back(5000);
    CHILD_EQ(failures, quor_Write(fd, data.data(), 5000), 5000);
    CHILD_EQ(failures, quor_Lseek(fd, 0, SEEK_SET), 0);
    CHILD_EQ(failures, quor_Read(fd, back.data(), 5000), 5000);
    CHILD_CHECK(failures, back == data);
    quor_Close(fd);
    return failures;
  });
  EXPECT_EQ(r.status, 0) << r.stderrText;
  std::vector<std::string> lines = gw.journalLines();
  EXPECT_EQ(countLines(lines, "conn=2 cat=0x0500 fn=0x1701"), 1);
  EXPECT_EQ(countLines(lines, "conn=2 cat=0x0500 fn=0x1207"), 1);
  EXPECT_EQ(countLines(lines, "conn=1 cat=0x0500 fn=0x0711"), 0);
}

// Benchmarks' memory store: the bytes sent are dropped and zeros come back
// for the stored file's data, but the file still has the size the writes
// gave it, and a read still stops at a hole the stored file has.
TEST(DataMemoryStore, SizesAndHolesStayWhileBytesAreDropped) {
  GwsimFixture gw(config("PerAddress = 4\n  Store = memory"));
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  const size_t kSize = 50 * 4096 + 7;
  {
    int fd = open((gw.rootDir() + "/sparse").c_str(), O_WRONLY | O_CREAT, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(pwrite(fd, "abcd", 4, 0), 4);
    ASSERT_EQ(ftruncate(fd, 1 << 20), 0);
    bool holes = lseek(fd, 0, SEEK_HOLE) < (1 << 20);
    close(fd);
    if (!holes) GTEST_SKIP() << "the file system keeps no holes";
  }
  ChildResult r = runInChild([&] {
    int failures = 0;
    if (!login(gw)) return 1;
    std::vector<char> data = pattern(kSize, 9);
    CHILD_EQ(failures, putFile("/dropped", data), ssize_t(kSize));
    // The data block reads as zeros, the hole after it as a gap.
    std::vector<char> back;
    CHILD_EQ(failures, getFile("/sparse", &back, 1 << 20), ssize_t(1 << 20));
    CHILD_CHECK(failures, back == std::vector<char>(1 << 20, 0));
    return failures;
  });
  EXPECT_EQ(r.status, 0) << r.stderrText;
  struct stat st;
  ASSERT_EQ(stat((gw.rootDir() + "/dropped").c_str(), &st), 0);
  EXPECT_EQ(st.st_size, off_t(kSize));
  EXPECT_EQ(hostFile(gw, "/dropped"), std::vector<char>(kSize, 0));
  EXPECT_EQ(hostFile(gw, "/sparse")[0], 'a');
  EXPECT_EQ(countLines(gw.journalLines(), "fn=0x1701", " movers=4 moved=" + std::to_string(kSize)), 1);
  EXPECT_EQ(countLines(gw.journalLines(), "fn=0x1207", " gap="), 1);
}
