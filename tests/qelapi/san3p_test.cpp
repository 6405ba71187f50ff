// SAN3P transfers against a regular file standing in for a SAN disk (and a
// loop device when the tests run as root and one can be made): partial
// first and last blocks, runs of whole blocks, read-modify-write, refused
// device addresses; the device-id cache with its file in a test directory;
// disk labels and disk sizes. The device address comes over a socket pair
// as a mover sends it. Cases that touch the process-wide cache run in a
// child.
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <random>
#include <string>
#include <vector>

#include "client_process.h"
#include "mvr_protocol.h"
#include "program_run.h"
#include "quor_convert.h"
#include "quor_san3p.h"
#include "san3p_internal.h"

namespace {

const char kUuid[] = "6f1c2a3b-4d5e-4f60-8172-93a4b5c6d7e8";
const char kOtherUuid[] = "00112233-4455-4677-8899-aabbccddeeff";

std::vector<char> pattern(size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  std::vector<char> v(n);
  for (char& c : v) c = char(rng());
  return v;
}

// A directory with a disk file of a known pattern, removed at the end.
struct Disk {
  std::string dir, path;
  std::vector<char> bytes;
  explicit Disk(size_t size) {
    const char* tmp = getenv("TMPDIR");
    std::string tmpl = std::string(tmp && *tmp ? tmp : "/tmp") + "/san3p_test.XXXXXX";
    if (mkdtemp(tmpl.data())) dir = tmpl;
    path = dir + "/disk";
    bytes = pattern(size, 11);
    write(0, bytes.size());
  }
  ~Disk() {
    if (!dir.empty()) system(("rm -rf '" + dir + "'").c_str());
  }
  void write(size_t from, size_t n) const {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT, 0644);
    if (fd >= 0) {
      if (pwrite(fd, bytes.data() + from, n, off_t(from)) != ssize_t(n)) perror("pwrite");
      close(fd);
    }
  }
  std::vector<char> now() const {
    std::vector<char> v(bytes.size());
    int fd = open(path.c_str(), O_RDONLY);
    if (fd >= 0) {
      if (pread(fd, v.data(), v.size(), 0) != ssize_t(v.size())) v.clear();
      close(fd);
    }
    return v;
  }
};

struct Pair {
  int mover = -1, client = -1;
  Pair() {
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) == 0) {
      mover = fds[0];
      client = fds[1];
    }
  }
  ~Pair() {
    if (mover >= 0) close(mover);
    if (client >= 0) close(client);
  }
};

// Sends the device address as the mover does.
void sendDev(int fd, uint32_t flags, uint32_t bs, uint32_t blockOffset, uint64_t block,
             const std::string& name, bool terminate = true) {
  san3p_devaddr_t d;
  memset(&d, 0, sizeof d);
  d.Delimiter = MVRPROT_DELIMITER;
  d.SAN3PTransferID = 77;
  d.Flags = flags;
  d.MediaBlockSize = bs;
  d.BlockOffset = blockOffset;
  d.Block = block;
  memcpy(d.DevName, name.data(), std::min(name.size() + (terminate ? 1 : 0), sizeof d.DevName));
  d.CheckSum = mvrprot_devaddr_checksum(&d);
  unsigned char b[MVRPROT_DEVADDR_LEN];
  mvrprot_encode_devaddr(&d, b);
  ASSERT_EQ(write(fd, b, sizeof b), ssize_t(sizeof b));
}

// A buffer at a chosen misalignment from a 4096-byte boundary.
struct Buf {
  std::vector<char> store;
  char* p;
  Buf(size_t n, size_t skew) : store(n + 8192) {
    uintptr_t a = (reinterpret_cast<uintptr_t>(store.data()) + 4095) / 4096 * 4096;
    p = reinterpret_cast<char*>(a) + skew;
  }
};

struct Piece {
  uint32_t bs, blockOffset;
  uint64_t block;
  uint32_t length;
  size_t skew;  // 0: the buffer is block-aligned
};

TEST(San3p, ReadsEveryShapeOfPiece) {
  Disk disk(64 * 1024);
  const Piece pieces[] = {
      {512, 100, 2, 300, 3},     // one block, inside it
      {512, 100, 2, 5000, 3},    // head, whole blocks through the middle buffer, tail
      {512, 0, 1, 2048, 0},      // whole blocks straight into the caller's buffer
      {512, 0, 4, 2047, 0},      // aligned, with a tail
      {512, 511, 3, 1, 7},       // the last byte of a block
      {4096, 4000, 1, 9000, 0},  // big blocks
      {512, 0, 5, 0, 0},         // nothing at all
  };
  for (const Piece& p : pieces) {
    Pair s;
    sendDev(s.mover, 0, p.bs, p.blockOffset, p.block, disk.path);
    Buf b(p.length, p.skew);
    memset(b.p, 0x5a, p.length);
    uint32_t got = 99;
    san3paddress_t addr{};
    unsigned readsBefore = san3pDevReads;
    ASSERT_EQ(quor_SAN3PRead(&addr, s.client, b.p, p.length, &got), 0)
        << p.bs << "/" << p.blockOffset << "/" << p.length;
    EXPECT_EQ(got, p.length);
    size_t at = p.block * p.bs + p.blockOffset;
    EXPECT_EQ(memcmp(b.p, disk.bytes.data() + at, p.length), 0) << p.length;
    // One device read: a piece inside one block, or aligned whole blocks.
    if (p.length == 300 || p.length == 2048) {
      EXPECT_EQ(san3pDevReads - readsBefore, 1u);
    }
  }
}

TEST(San3p, WritesMergePartialBlocksWithTheDevice) {
  Disk disk(64 * 1024);
  struct Case {
    Piece p;
    unsigned reads, writes;
  } cases[] = {
      {{4096, 0, 0, 10, 0}, 1, 1},       // read, replace 10 bytes, write back
      {{512, 0, 2, 2048, 0}, 0, 1},      // whole blocks from an aligned buffer: one write
      {{512, 100, 3, 5000, 5}, 2, 3},    // head, middle, tail
      {{512, 300, 7, 100, 1}, 1, 1},     // inside one block
  };
  std::vector<char> want = disk.bytes;
  unsigned seed = 40;
  for (const Case& c : cases) {
    const Piece& p = c.p;
    std::vector<char> data = pattern(p.length, seed++);
    Buf b(p.length, p.skew);
    memcpy(b.p, data.data(), p.length);
    Pair s;
    sendDev(s.mover, 0, p.bs, p.blockOffset, p.block, disk.path);
    uint32_t put = 0;
    unsigned r0 = san3pDevReads, w0 = san3pDevWrites;
    ASSERT_EQ(quor_SAN3PWrite(nullptr, s.client, b.p, p.length, &put), 0) << p.length;
    EXPECT_EQ(put, p.length);
    EXPECT_EQ(san3pDevReads - r0, c.reads) << p.length;
    EXPECT_EQ(san3pDevWrites - w0, c.writes) << p.length;
    memcpy(want.data() + p.block * p.bs + p.blockOffset, data.data(), p.length);
    EXPECT_EQ(disk.now(), want) << p.length;

    // And read back, byte for byte.
    Pair r;
    sendDev(r.mover, 0, p.bs, p.blockOffset, p.block, disk.path);
    std::vector<char> back(p.length);
    uint32_t got = 0;
    ASSERT_EQ(quor_SAN3PRead(nullptr, r.client, back.data(), p.length, &got), 0);
    EXPECT_EQ(back, data);
  }
}

TEST(San3p, RefusesBadDeviceAddressesInTheirOwnWords) {
  Disk disk(8192);
  struct Case {
    bool write;
    uint32_t bs, blockOffset;
    std::string name;
    int rc;
    const char* text;
  } cases[] = {
      {false, 0, 0, disk.path, -22, "quor_SAN3PRead: Invalid media blocksize 0\n"},
      {true, 0, 0, disk.path, -22, "quor_SAN3PWrite: Bad media blocksize 0\n"},
      {true, 512, 0, "", -22, "quor_SAN3PWrite: Null device name\n"},
      {false, 512, 0, "", -22, "quor_SAN3PRead: Invalid media blocksize 512\n"},
      {false, 512, 512, disk.path, -22, "quor_SAN3PRead: Invalid block offset 512 for media blocksize 512\n"},
      {true, 512, 600, disk.path, -22, "quor_SAN3PWrite: Invalid block offset 600 for media blocksize 512\n"},
      {false, 512, 0, disk.dir + "/none", -2, "OpenDev: access("},
  };
  for (const Case& c : cases) {
    Pair s;
    sendDev(s.mover, 0, c.bs, c.blockOffset, 0, c.name);
    char buf[100];
    uint32_t n = 7;
    testing::internal::CaptureStderr();
    int rc = c.write ? quor_SAN3PWrite(nullptr, s.client, buf, 10, &n)
                     : quor_SAN3PRead(nullptr, s.client, buf, 10, &n);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(rc, c.rc) << c.text;
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(err.rfind(c.text, 0), 0u) << err;
  }
  // A device that ends before the piece does: a short read, after the
  // bytes of the last block it has.
  Pair s;
  sendDev(s.mover, 0, 512, 100, 15, disk.path);
  char buf[1024];
  uint32_t n = 0;
  testing::internal::CaptureStderr();
  EXPECT_EQ(quor_SAN3PRead(nullptr, s.client, buf, 1024, &n), -5);
  EXPECT_NE(testing::internal::GetCapturedStderr().find("ReadDev: number of bytes read(0) < byte count(512)\n"),
            std::string::npos);
  EXPECT_EQ(n, 412u);
  // A device name of all 64 characters, unterminated, is read as such.
  Pair t;
  sendDev(t.mover, 0, 512, 0, 0, disk.dir + "/" + std::string(64, 'x'), false);
  testing::internal::CaptureStderr();
  EXPECT_LT(quor_SAN3PRead(nullptr, t.client, buf, 10, &n), 0);
  testing::internal::GetCapturedStderr();
  // A mover that goes away before the address.
  Pair u;
  close(u.mover);
  u.mover = -1;
  testing::internal::CaptureStderr();
  EXPECT_LT(quor_SAN3PRead(nullptr, u.client, buf, 10, &n), 0);
  EXPECT_NE(testing::internal::GetCapturedStderr().find("mvrprot_recv_san3p_devaddr failed"),
            std::string::npos);
}

void writeFile(const std::string& path, const std::string& text) {
  FILE* f = fopen(path.c_str(), "w");
  if (f) {
    fputs(text.c_str(), f);
    fclose(f);
  }
}

void setMtime(const std::string& path, double secondsFromNow) {
  struct timeval now;
  gettimeofday(&now, nullptr);
  struct timeval tv[2];
  tv[0] = tv[1] = now;
  tv[0].tv_sec += long(secondsFromNow);
  tv[1].tv_sec += long(secondsFromNow);
  utimes(path.c_str(), tv);
}

quor_uuid_t uuidOf(const char* text) {
  quor_uuid_t u;
  memset(&u, 0, sizeof u);
  quor_uuid_from_string(text, &u);
  return u;
}

std::string lookup(const char* text, int* rc) {
  char path[64];
  memset(path, 0, sizeof path);
  *rc = quor_SAN3PGetDevicePath(uuidOf(text), sizeof path, path);
  return path;
}

// A sparse disk in memory, named by a path as a device is.
struct MemDisk {
  int fd = -1;
  std::string path;
  explicit MemDisk(uint64_t size) {
    fd = memfd_create("san3p_disk", MFD_CLOEXEC);
    if (fd >= 0 && ftruncate(fd, off_t(size)) == 0) path = "/proc/self/fd/" + std::to_string(fd);
  }
  ~MemDisk() {
    if (fd >= 0) close(fd);
  }
};

// A piece of more than 2 GiB, which no single read() or write() moves
// whole. Read from a sparse disk in memory: marks at its start, across the
// first 2 GiB - 4 KiB and at its end land where they belong. Written to
// /dev/null, which takes as little per call: the whole count is moved. A
// disk that ends before such a run is a short read, its counts printed as
// they are.
TEST(San3pSlow, PiecesOfMoreThanTwoGiBMoveWhole) {
  const uint32_t kBs = 4096;
  const uint64_t kBlock = 3;
  const uint32_t kLength = 0x80000000u + 100;
  const uint64_t kStart = kBlock * kBs;
  const size_t kMap = kLength + size_t(kBs);
  void* map = mmap(nullptr, kMap, PROT_READ | PROT_WRITE,
                   MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  ASSERT_NE(map, MAP_FAILED);
  // Fewer page faults where the system offers large pages.
  madvise(map, kMap, MADV_HUGEPAGE);
  char* buf = static_cast<char*>(map);

  // Untouched pages of the buffer are zeros that cost no memory.
  Pair w;
  sendDev(w.mover, 0, kBs, 0, kBlock, "/dev/null");
  uint32_t put = 0;
  testing::internal::CaptureStderr();
  int rc = quor_SAN3PWrite(nullptr, w.client, buf, 0x80000000u, &put);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(rc, 0) << err;
  EXPECT_EQ(put, 0x80000000u);

  MemDisk disk(kStart + kLength + kBs);
  ASSERT_FALSE(disk.path.empty());
  const uint64_t marks[] = {0, 0x7ffff000u - 32, kLength - 64u};
  std::vector<char> mark = pattern(64, 5);
  for (uint64_t at : marks) ASSERT_EQ(pwrite(disk.fd, mark.data(), 64, off_t(kStart + at)), 64);
  Pair r;
  sendDev(r.mover, 0, kBs, 0, kBlock, disk.path);
  uint32_t got = 0;
  testing::internal::CaptureStderr();
  rc = quor_SAN3PRead(nullptr, r.client, buf, kLength, &got);
  err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(rc, 0) << err;
  EXPECT_EQ(got, kLength);
  for (uint64_t at : marks) EXPECT_EQ(memcmp(buf + at, mark.data(), 64), 0) << "read at " << at;

  // The disk now ends where the piece starts.
  ASSERT_EQ(ftruncate(disk.fd, off_t(kStart)), 0);
  Pair s;
  sendDev(s.mover, 0, kBs, 0, kBlock, disk.path);
  testing::internal::CaptureStderr();
  rc = quor_SAN3PRead(nullptr, s.client, buf, kLength, &got);
  err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(rc, -5);
  EXPECT_NE(err.find("ReadDev: number of bytes read(0) < byte count(2147483648)\n"),
            std::string::npos)
      << err;
  munmap(map, kMap);
}

TEST(San3pDevices, MissingFileThenTheFileAndItsReloadRules) {
  Disk disk(4096);
  ChildResult r = runInChild([&] {
    int failures = 0;
    setenv("QUOR_TEST_SAN3P_DIR", disk.dir.c_str(), 1);
    setenv("QUOR_TEST_TIMESCALE", "1000", 1);  // the 120-second re-check: 0.12 s
    std::string ids = disk.dir + "/quor_san3p.0.ids";
    CHILD_CHECK(failures, san3p_DeviceIDFileName() == ids);
    int rc = 0;
    lookup(kUuid, &rc);
    CHILD_EQ(failures, rc, -2);

    writeFile(ids, "# SAN devices\n/dev/sda " + std::string(kUuid) + " 0000000100000002\n");
    usleep(150000);
    CHILD_CHECK(failures, lookup(kUuid, &rc) == "/dev/sda");
    CHILD_EQ(failures, rc, 0);
    unsigned loads = san3p_CacheLoads();
    lookup(kOtherUuid, &rc);
    CHILD_EQ(failures, rc, -2);

    // Changed soon after the load: not reloaded, neither now nor later.
    writeFile(ids, "/dev/sdb " + std::string(kUuid) + " 0000000100000002\n");
    setMtime(ids, 200);
    CHILD_CHECK(failures, lookup(kUuid, &rc) == "/dev/sda");
    usleep(150000);
    CHILD_CHECK(failures, lookup(kUuid, &rc) == "/dev/sda");
    CHILD_EQ(failures, san3p_CacheLoads(), loads);
    // Changed more than 300 seconds after the load: reloaded at the next
    // check, and the old entries are gone.
    setMtime(ids, 301);
    CHILD_CHECK(failures, lookup(kUuid, &rc) == "/dev/sda");  // within 120 s of the check
    usleep(150000);
    CHILD_CHECK(failures, lookup(kUuid, &rc) == "/dev/sdb");
    CHILD_EQ(failures, san3p_CacheLoads(), loads + 1);

    char small[5];
    CHILD_EQ(failures, quor_SAN3PGetDevicePath(uuidOf(kUuid), sizeof small, small), -34);
    CHILD_EQ(failures, quor_SAN3PGetDevicePath(uuidOf(kUuid), 0, small), -22);
    CHILD_EQ(failures, quor_SAN3PGetDevicePath(uuidOf(kUuid), 64, nullptr), -22);
    return failures;
  });
  EXPECT_EQ(r.status, 0) << r.stderrText;
  EXPECT_NE(r.stderrText.find("CacheDeviceIDFile: Failure opening id file " + disk.dir +
                              "/quor_san3p.0.ids: No such file or directory\n"),
            std::string::npos)
      << r.stderrText;
}

TEST(San3pDevices, BadLinesStopTheLoadAfterTheGoodOnes) {
  Disk disk(4096);
  struct Case {
    std::string line;
    std::string text;
  } cases[] = {
      {"/dev/sdz " + std::string(kOtherUuid), "line 3: rc = 2"},
      {"/dev/" + std::string(60, 'p') + " " + kOtherUuid + " 0000000100000002", "line 3: rc = 0"},
      {"/dev/sdz not-a-uuid 0000000100000002", "UUID format error in id file"},
      {"/dev/sdz " + std::string(kOtherUuid) + " zz", "line 3: rc = 2"},
  };
  for (const Case& c : cases) {
    ChildResult r = runInChild([&] {
      int failures = 0;
      setenv("QUOR_TEST_SAN3P_DIR", disk.dir.c_str(), 1);
      writeFile(disk.dir + "/quor_san3p.0.ids",
                "#\n/dev/sda " + std::string(kUuid) + " 0000000100000002\n" + c.line + "\n");
      // The line before the bad one is loaded; the lookup still reports
      // the load's failure.
      int rc = 0;
      CHILD_CHECK(failures, lookup(kUuid, &rc) == "/dev/sda");
      CHILD_EQ(failures, rc, -22);
      lookup(kOtherUuid, &rc);
      CHILD_EQ(failures, rc, -22);
      return failures;
    });
    EXPECT_EQ(r.status, 0) << r.stderrText;
    EXPECT_NE(r.stderrText.find(c.text), std::string::npos) << r.stderrText;
  }
}

TEST(San3pDevices, DevicesNamedByIdAreFoundThroughTheCache) {
  Disk disk(16384);
  ChildResult r = runInChild([&] {
    int failures = 0;
    setenv("QUOR_TEST_SAN3P_DIR", disk.dir.c_str(), 1);
    writeFile(disk.dir + "/quor_san3p.0.ids",
              disk.path + " " + kUuid + " 00000001 00000002\n");
    Pair s;
    sendDev(s.mover, 0x1, 512, 0, 2, kUuid);
    Buf b(1024, 0);
    uint32_t got = 0;
    CHILD_EQ(failures, quor_SAN3PRead(nullptr, s.client, b.p, 1024, &got), 0);
    CHILD_CHECK(failures, memcmp(b.p, disk.bytes.data() + 1024, 1024) == 0);
    Pair t;
    sendDev(t.mover, 0x1, 512, 0, 0, kOtherUuid);
    CHILD_EQ(failures, quor_SAN3PRead(nullptr, t.client, b.p, 10, &got), -2);
    return failures;
  });
  EXPECT_EQ(r.status, 0) << r.stderrText;
  EXPECT_NE(r.stderrText.find(std::string("OpenDev: device ") + kOtherUuid + ", not found"),
            std::string::npos)
      << r.stderrText;
}

san3p_part_tbl_t sampleLabel() {
  san3p_part_tbl_t t;
  memset(&t, 0, sizeof t);
  memcpy(t.IdLabel, "QUOR_SAN_VOL_  2", 16);
  memcpy(t.UniqueID, kUuid, 36);
  t.MediaBlockSize = 512;
  t.MediaBlocksMSB = 1;
  t.MediaBlocksLSB = 0x10;
  t.NumParts = 16;
  for (uint32_t i = 0; i < 16; i++) {
    san3p_part_t& p = t.Parts[i];
    memcpy(p.VolumeId, "VOL0", 4);
    p.VolumeId[4] = char('A' + i);
    p.StartBlkMSB = i;
    p.StartBlkLSB = 100 + i;
    p.BlocksMSB = 2 * i;
    p.BlocksLSB = 1000 * i;
  }
  return t;
}

TEST(San3pLabels, AVersionTwoLabelRoundTripsAndVersionOneIsRead) {
  Disk disk(64 * 1024);
  int fd = open(disk.path.c_str(), O_RDWR);
  ASSERT_GE(fd, 0);
  uint32_t bs = 0;
  uint64_t blocks = 0;
  EXPECT_EQ(quor_SAN3PGetRawDiskParams(fd, &bs, &blocks), 0);
  EXPECT_EQ(bs, 512u);
  EXPECT_EQ(blocks, 128u);

  san3p_part_tbl_t t = sampleLabel(), back;
  ASSERT_EQ(quor_SAN3PUpdatePartTable(fd, &t), 0);
  lseek(fd, 300, SEEK_SET);  // the label is read at byte 0 wherever the file stands
  ASSERT_EQ(quor_SAN3PGetPartTable(fd, &back), 0);
  EXPECT_EQ(memcmp(&back, &t, sizeof t), 0);
  std::vector<char> now = disk.now();
  EXPECT_EQ(std::string(now.data(), 16), "QUOR_SAN_VOL_  2");
  EXPECT_EQ(now[68 + 22 * 15 + 21], char(0x98));  // BlocksLSB of the last: 15000 = 0x3a98
  EXPECT_EQ(std::vector<char>(now.begin() + 420, now.begin() + 512), std::vector<char>(92, 0));
  EXPECT_EQ(std::vector<char>(now.begin() + 512, now.begin() + 600),
            std::vector<char>(disk.bytes.begin() + 512, disk.bytes.begin() + 600));

  // Version 1: 14-byte partition records without the upper halves.
  unsigned char v1[512];
  memset(v1, 0, sizeof v1);
  memcpy(v1, "QUOR_SAN_VOL_  1", 16);
  v1[54] = 0x02;  // MediaBlockSize 512
  v1[59] = 0x40;  // MediaBlocksLSB 64
  v1[63] = 2;     // NumParts
  memcpy(v1 + 64, "AAAAAA", 6);
  v1[64 + 9] = 7;   // StartBlkLSB
  v1[64 + 13] = 8;  // BlocksLSB
  memcpy(v1 + 78, "BBBBBB", 6);
  v1[78 + 9] = 9;
  ASSERT_EQ(pwrite(fd, v1, sizeof v1, 0), ssize_t(sizeof v1));
  ASSERT_EQ(quor_SAN3PGetPartTable(fd, &back), 0);
  int version = 0;
  EXPECT_EQ(quor_SAN3PGetTableVersion(&back, &version), 0);
  EXPECT_EQ(version, 1);
  EXPECT_EQ(back.MediaBlockSize, 512u);
  EXPECT_EQ(back.MediaBlocksMSB, 0u);
  EXPECT_EQ(back.MediaBlocksLSB, 64u);
  EXPECT_EQ(back.NumParts, 2u);
  EXPECT_EQ(back.Parts[0].StartBlkLSB, 7u);
  EXPECT_EQ(back.Parts[0].BlocksLSB, 8u);
  EXPECT_EQ(back.Parts[1].StartBlkLSB, 9u);
  EXPECT_EQ(std::string(back.Parts[1].VolumeId, 6), "BBBBBB");
  EXPECT_EQ(quor_SAN3PUpdatePartTable(fd, &back), -22);  // only version 2 is written

  struct Bad {
    const char* id;
    uint32_t parts;
    const char* text;
  } bad[] = {
      {"QUOR_SAN_VOL_  2", 17, "Invalid number of partitions"},
      {"QUOR_SAN_VOL_  3", 1, "Unsupported table version"},
      {"NOT_A_LABEL_XXXX", 1, "Couldn't get table version"},
      {"QUOR_SAN_VOL_ x2", 1, "Couldn't get table version"},
  };
  for (const Bad& b : bad) {
    unsigned char img[512];
    memset(img, 0, sizeof img);
    memcpy(img, b.id, 16);
    img[67] = uint8_t(b.parts);
    ASSERT_EQ(pwrite(fd, img, sizeof img, 0), ssize_t(sizeof img));
    testing::internal::CaptureStderr();
    EXPECT_EQ(quor_SAN3PGetPartTable(fd, &back), -22) << b.id;
    EXPECT_NE(testing::internal::GetCapturedStderr().find(b.text), std::string::npos) << b.id;
  }
  t.NumParts = 17;
  EXPECT_EQ(quor_SAN3PUpdatePartTable(fd, &t), -22);
  // A file too short for the label area.
  ASSERT_EQ(ftruncate(fd, 100), 0);
  testing::internal::CaptureStderr();
  EXPECT_EQ(quor_SAN3PGetPartTable(fd, &back), -5);
  testing::internal::GetCapturedStderr();
  close(fd);
}

// A loop device over the disk file, detached at the end; path empty when
// none could be made.
struct Loop {
  std::string path;
  explicit Loop(const std::string& file) {
    if (geteuid() != 0) return;
    ProgramSpec prog;
    prog.argv = {"losetup", "-f", "--show", file};
    ProgramResult r = runProgram(prog);
    if (r.status == 0) path = r.out.substr(0, r.out.find('\n'));
  }
  ~Loop() {
    if (!path.empty()) shellRun("losetup -d '" + path + "'");
  }
};

TEST(San3pLoopDevice, ABlockDeviceByIdWithDirectIO) {
  Disk disk(1 << 20);
  Loop loop(disk.path);
  if (loop.path.empty()) GTEST_SKIP() << "needs root and a loop device";
  int fd = open(loop.path.c_str(), O_RDONLY);
  ASSERT_GE(fd, 0);
  uint32_t bs = 0;
  uint64_t blocks = 0;
  EXPECT_EQ(quor_SAN3PGetRawDiskParams(fd, &bs, &blocks), 0);
  close(fd);
  ASSERT_GT(bs, 0u);
  EXPECT_EQ(uint64_t(bs) * blocks, 1u << 20);
  ChildResult r = runInChild([&] {
    int failures = 0;
    setenv("QUOR_TEST_SAN3P_DIR", disk.dir.c_str(), 1);
    writeFile(disk.dir + "/quor_san3p.0.ids", loop.path + " " + kUuid + " 0000000100000002\n");
    std::vector<char> data = pattern(10000, 3);
    Buf in(10000, 1);
    memcpy(in.p, data.data(), data.size());
    Pair w;
    sendDev(w.mover, 0x1, bs, 7, 3, kUuid);
    uint32_t n = 0;
    CHILD_EQ(failures, quor_SAN3PWrite(nullptr, w.client, in.p, 10000, &n), 0);
    CHILD_EQ(failures, n, 10000);
    Pair rd;
    sendDev(rd.mover, 0x1, bs, 7, 3, kUuid);
    Buf out(10000, 3);
    CHILD_EQ(failures, quor_SAN3PRead(nullptr, rd.client, out.p, 10000, &n), 0);
    CHILD_CHECK(failures, memcmp(out.p, data.data(), data.size()) == 0);
    return failures;
  });
  EXPECT_EQ(r.status, 0) << r.stderrText;
  std::vector<char> now = disk.now();
  std::vector<char> data = pattern(10000, 3);
  EXPECT_EQ(memcmp(now.data() + 3 * bs + 7, data.data(), data.size()), 0);
}

}  // namespace
