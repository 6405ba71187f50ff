#include "holes.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

namespace {

const uint64_t kBlock = 4096;

int writeAll(int fd, const char* p, size_t len, uint64_t off) {
  while (len > 0) {
    ssize_t n = pwrite(fd, p, len, off_t(off));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return -errno;
    if (n == 0) return -5;
    p += n;
    len -= size_t(n);
    off += uint64_t(n);
  }
  return 0;
}

// Zeros over [from, to) of a file whose size was `size`: what lies inside
// it is punched out, what lies beyond is a hole already.
int zeroRun(int fd, uint64_t from, uint64_t to, uint64_t size) {
  uint64_t end = std::min(to, size);
  if (from >= end) return 0;
  // A range without data (a new file's) needs no punching.
  off_t data = lseek(fd, off_t(from), SEEK_DATA);
  if ((data < 0 && errno == ENXIO) || (data >= 0 && uint64_t(data) >= end)) return 0;
  if (fallocate(fd, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, off_t(from), off_t(end - from)) == 0)
    return 0;
  static const char zeros[kBlock] = {};
  for (uint64_t at = from; at < end; at += kBlock) {
    int rc = writeAll(fd, zeros, size_t(std::min(kBlock, end - at)), at);
    if (rc < 0) return rc;
  }
  return 0;
}

}  // namespace

bool gw_AllZero(const char* p, size_t len) {
  // OR whole words together a block at a time: the compiler vectorizes it.
  size_t i = 0;
  for (; i + 64 <= len; i += 64) {
    uint64_t w[8], acc = 0;
    memcpy(w, p + i, sizeof w);
    for (uint64_t v : w) acc |= v;
    if (acc != 0) return false;
  }
  for (; i < len; ++i)
    if (p[i] != 0) return false;
  return true;
}

int gw_PeekZero(int sock, size_t want) {
  char buf[kBlock];
  want = std::min<size_t>(std::max<size_t>(want, 1), sizeof buf);
  for (;;) {
    ssize_t n = recv(sock, buf, want, MSG_PEEK);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return -1;
    return gw_AllZero(buf, size_t(n)) ? 1 : 0;
  }
}

int gw_WriteKeepHoles(int fd, const char* buf, size_t len, uint64_t off) {
  if (len == 0) return 0;
  struct stat st;
  if (fstat(fd, &st) != 0) return -errno;
  int fl = fcntl(fd, F_GETFL);
  if (!S_ISREG(st.st_mode) || fl < 0 || (fl & O_APPEND)) return writeAll(fd, buf, len, off);
  const uint64_t size = uint64_t(st.st_size);
  const uint64_t end = off + len;
  uint64_t at = off;       // the next byte not yet handled
  uint64_t dataFrom = off; // start of the pending run of bytes to write
  while (at < end) {
    uint64_t blockEnd = std::min(end, (at / kBlock + 1) * kBlock);
    bool whole = at % kBlock == 0 && blockEnd - at == kBlock;
    if (whole && gw_AllZero(buf + (at - off), size_t(kBlock))) {
      if (dataFrom < at) {
        int rc = writeAll(fd, buf + (dataFrom - off), size_t(at - dataFrom), dataFrom);
        if (rc < 0) return rc;
      }
      uint64_t runEnd = blockEnd;
      while (runEnd + kBlock <= end && gw_AllZero(buf + (runEnd - off), size_t(kBlock))) runEnd += kBlock;
      int rc = zeroRun(fd, at, runEnd, size);
      if (rc < 0) return rc;
      at = dataFrom = runEnd;
      continue;
    }
    at = blockEnd;
  }
  if (dataFrom < end) return writeAll(fd, buf + (dataFrom - off), size_t(end - dataFrom), dataFrom);
  return 0;
}
