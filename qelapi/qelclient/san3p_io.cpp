// SAN3P transfers and their raw-device primitives; see quor_san3p.h.
//
// Device I/O moves whole blocks only: the partial first and last blocks of
// a piece go through a one-block bounce buffer (a write merges them with
// what the device holds), the whole blocks between straight through the
// caller's buffer when it is block-aligned, else through a middle buffer.
// Both buffers are page-aligned, as direct I/O needs.
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>

#include "mvr_protocol.h"
#include "quor_api_internal.h"
#include "quor_convert.h"
#include "quor_net.h"
#include "quor_san3p.h"
#include "san3p_internal.h"

std::atomic<unsigned> san3pDevReads{0}, san3pDevWrites{0};

namespace {

// A page-aligned buffer of whole blocks, freed with the holder.
struct Bounce {
  void* raw = nullptr;
  char* data = nullptr;
  uint64_t blocks = 0;
  ~Bounce() { free(raw); }
  void release() {
    free(raw);
    raw = nullptr;
    data = nullptr;
    blocks = 0;
  }
  // At least `want` blocks of bs bytes, halving down to one when memory is
  // short (four tries): 0 or -12.
  int reserve(uint64_t want, uint32_t bs, const char* who) {
    if (data && blocks >= want) return 0;
    release();
    uint64_t k = want;
    for (int attempt = 0; attempt < 4; attempt++) {
      void* r = nullptr;
      void* a = nullptr;
      if (k <= SIZE_MAX / bs && quor_PAMalloc(size_t(k * bs), &r, &a) == 0) {
        raw = r;
        data = static_cast<char*>(a);
        blocks = k;
        return 0;
      }
      if (k > 1) k /= 2;
    }
    quor_SAN3PSetErrorText(who, "quor_PAMalloc() failed for block size %llu\n",
                           static_cast<unsigned long long>(k * bs));
    return -12;
  }
};

int CloseDev(int Fd) {
  if (close(Fd) == 0) return 0;
  int err = errno;
  quor_SAN3PSetErrorText("CloseDev", "close() failed for file descriptor %d\n", Fd);
  return -err;
}

int PositionDev(int Fd, uint64_t Offset) {
  for (;;) {
    if (lseek(Fd, off_t(Offset), SEEK_SET) >= 0) return 0;
    if (errno == EAGAIN || errno == EINTR) continue;
    int err = errno;
    quor_SAN3PSetErrorText("PositionDev", "lseek() offset %u.%u: %s\n", unsigned(Offset >> 32),
                           unsigned(Offset & 0xffffffffu), strerror(err));
    return -err;
  }
}

// One read() or write() moves at most about 2 GiB, and a device may move
// less than asked for other reasons: both primitives go on until the run is
// moved, and only a call that moves nothing is a short transfer.
int ReadDev(int Fd, void* Buffer, uint64_t ByteCount) {
  san3pDevReads++;
  char* p = static_cast<char*>(Buffer);
  uint64_t done = 0;
  while (done < ByteCount) {
    ssize_t n = read(Fd, p + done, size_t(ByteCount - done));
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
    if (n < 0) {
      int err = errno;
      quor_SAN3PSetErrorText("ReadDev", "read() failed: %s\n", strerror(err));
      return -err;
    }
    if (n == 0) {
      quor_SAN3PSetErrorText("ReadDev", "number of bytes read(%llu) < byte count(%llu)\n",
                             static_cast<unsigned long long>(done),
                             static_cast<unsigned long long>(ByteCount));
      return -5;
    }
    done += uint64_t(n);
  }
  return 0;
}

int WriteDev(int Fd, const void* Buffer, uint64_t ByteCount) {
  san3pDevWrites++;
  const char* p = static_cast<const char*>(Buffer);
  uint64_t done = 0;
  while (done < ByteCount) {
    ssize_t n = write(Fd, p + done, size_t(ByteCount - done));
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
    if (n < 0) {
      int err = errno;
      quor_SAN3PSetErrorText("WriteDev", "write() failed: %s\n", strerror(err));
      return -err;
    }
    if (n == 0) {
      quor_SAN3PSetErrorText("WriteDev", "number of bytes written(%llu) < byte count(%llu)\n",
                             static_cast<unsigned long long>(done),
                             static_cast<unsigned long long>(ByteCount));
      return -5;
    }
    done += uint64_t(n);
  }
  return 0;
}

// The device address with its name terminated (the wire field need not be).
struct Device {
  san3p_devaddr_t addr;
  char name[sizeof(san3p_devaddr_t::DevName) + 1];
  uint64_t start;  // byte of the transfer's first block
};

// Receives and checks the device address: 0 or a negative error.
int receiveDevice(const char* who, int ctl, Device* d, bool isRead) {
  memset(d, 0, sizeof *d);
  int rc = mvrprot_recv_san3p_devaddr(ctl, &d->addr);
  if (rc != 0) {
    quor_SAN3PSetErrorText(who, "mvrprot_recv_san3p_devaddr failed for control socket file descriptor %d\n",
                           ctl);
    return rc < 0 ? rc : -5;
  }
  memcpy(d->name, d->addr.DevName, sizeof d->addr.DevName);
  d->name[sizeof d->addr.DevName] = '\0';
  uint32_t bs = d->addr.MediaBlockSize;
  if (isRead && (bs == 0 || d->name[0] == '\0')) {
    quor_SAN3PSetErrorText(who, "Invalid media blocksize %u\n", bs);
    return -22;
  }
  if (!isRead && bs == 0) {
    quor_SAN3PSetErrorText(who, "Bad media blocksize %u\n", bs);
    return -22;
  }
  if (!isRead && d->name[0] == '\0') {
    quor_SAN3PSetErrorText(who, "Null device name\n");
    return -22;
  }
  // The first byte must lie in the first block, or the head would reach
  // past it.
  if (d->addr.BlockOffset >= bs) {
    quor_SAN3PSetErrorText(who, "Invalid block offset %u for media blocksize %u\n",
                           d->addr.BlockOffset, bs);
    return -22;
  }
  if (d->addr.Block > uint64_t(INT64_MAX) / bs) {
    quor_SAN3PSetErrorText(who, "Invalid block number %llu\n",
                           static_cast<unsigned long long>(d->addr.Block));
    return -22;
  }
  d->start = d->addr.Block * bs;
  return 0;
}

// Opens the device (Mode 0 read-only, 2 read-write) at the transfer's first
// block: the descriptor, or a negative error.
int OpenDev(const Device* d, int Mode) {
  char path[sizeof d->name];
  bool byId = (d->addr.Flags & 0x1) != 0;
  if (byId) {
    quor_uuid_t id;
    memset(&id, 0, sizeof id);
    if (quor_uuid_from_string(d->name, &id) != 0) {
      quor_SAN3PSetErrorText("OpenDev", "quor_uuid_from_string() failed for device name %s\n",
                             d->name);
      return -22;
    }
    int rc = quor_SAN3PGetDevicePath(id, int(sizeof path), path);
    if (rc == -2) quor_SAN3PSetErrorText("OpenDev", "device %s, not found", d->name);
    if (rc != 0) return rc;
  } else {
    memcpy(path, d->name, sizeof path);
  }
  if (access(path, Mode == 0 ? R_OK : R_OK | W_OK) != 0) {
    int err = errno;
    quor_SAN3PSetErrorText("OpenDev", "access(%s): %s\n", path, strerror(err));
    return -err;
  }
  int flags = (Mode == 0 ? O_RDONLY : O_RDWR) | O_CLOEXEC;
  int fd = open(path, flags | (byId ? O_DIRECT : 0));
  if (fd < 0 && byId && errno == EINVAL) {
    // A file system without direct I/O (a file standing in for a disk).
    quor_SAN3PSetErrorText("OpenDev", "O_DIRECT not supported for %s, using buffered I/O\n", path);
    fd = open(path, flags);
  }
  if (fd < 0) {
    int err = errno;
    quor_SAN3PSetErrorText("OpenDev", "open(%s): %s\n", path, strerror(err));
    return -err;
  }
  int rc = PositionDev(fd, d->start);
  if (rc != 0) {
    CloseDev(fd);
    return rc;
  }
  return fd;
}

}  // namespace

void quor_SAN3PSetErrorText(const char* Routine, const char* Format, ...) {
  char text[1024];
  va_list ap;
  va_start(ap, Format);
  vsnprintf(text, sizeof text, Format, ap);
  va_end(ap);
  fprintf(stderr, "%s: %s", Routine ? Routine : "", text);
}

int quor_SAN3PRead(const san3paddress_t*, int CtlSockFD, void* Buffer, uint32_t Length,
                   uint32_t* RetLength) {
  QEL_TRACE_ENTRY();
  const char* who = "quor_SAN3PRead";
  if (!RetLength || (!Buffer && Length > 0)) return -14;
  *RetLength = 0;
  Device d;
  int rc = receiveDevice(who, CtlSockFD, &d, true);
  if (rc != 0) return rc;
  const uint32_t bs = d.addr.MediaBlockSize;
  int fd = OpenDev(&d, 0);
  if (fd < 0) return fd;
  char* out = static_cast<char*>(Buffer);
  uint64_t remaining = Length;
  Bounce one, middle;
  if (d.addr.BlockOffset != 0 && remaining > 0) {
    rc = one.reserve(1, bs, who);
    if (rc == 0) rc = ReadDev(fd, one.data, bs);
    if (rc == 0) {
      uint64_t n = std::min<uint64_t>(bs - d.addr.BlockOffset, remaining);
      memcpy(out, one.data + d.addr.BlockOffset, size_t(n));
      out += n;
      remaining -= n;
      *RetLength += uint32_t(n);
    }
  }
  while (rc == 0 && remaining >= bs) {
    uint64_t n = remaining / bs;
    if (reinterpret_cast<uintptr_t>(out) % bs == 0) {
      rc = ReadDev(fd, out, n * bs);
    } else {
      rc = middle.reserve(n, bs, who);
      if (rc != 0) break;
      n = std::min(n, middle.blocks);
      rc = ReadDev(fd, middle.data, n * bs);
      if (rc == 0) memcpy(out, middle.data, size_t(n * bs));
    }
    if (rc != 0) break;
    out += n * bs;
    remaining -= n * bs;
    *RetLength += uint32_t(n * bs);
  }
  middle.release();
  if (rc == 0 && remaining > 0) {
    rc = one.reserve(1, bs, who);
    if (rc == 0) rc = ReadDev(fd, one.data, bs);
    if (rc == 0) {
      memcpy(out, one.data, size_t(remaining));
      *RetLength += uint32_t(remaining);
    }
  }
  CloseDev(fd);
  return rc;
}

int quor_SAN3PWrite(const san3paddress_t*, int CtlSockFD, const void* Buffer, uint32_t Length,
                    uint32_t* RetLength) {
  QEL_TRACE_ENTRY();
  const char* who = "quor_SAN3PWrite";
  if (!RetLength || (!Buffer && Length > 0)) return -14;
  *RetLength = 0;
  Device d;
  int rc = receiveDevice(who, CtlSockFD, &d, false);
  if (rc != 0) return rc;
  const uint32_t bs = d.addr.MediaBlockSize;
  int fd = OpenDev(&d, 2);
  if (fd < 0) return fd;
  const char* in = static_cast<const char*>(Buffer);
  uint64_t remaining = Length;
  uint64_t position = d.start;
  Bounce one, middle;
  if (d.addr.BlockOffset != 0 && remaining > 0) {
    // Read, merge, write back the first block.
    rc = one.reserve(1, bs, who);
    if (rc == 0) rc = ReadDev(fd, one.data, bs);
    uint64_t n = std::min<uint64_t>(bs - d.addr.BlockOffset, remaining);
    if (rc == 0) {
      memcpy(one.data + d.addr.BlockOffset, in, size_t(n));
      rc = PositionDev(fd, position);
    }
    if (rc == 0) rc = WriteDev(fd, one.data, bs);
    if (rc == 0) {
      in += n;
      remaining -= n;
      *RetLength += uint32_t(n);
      position += bs;
    }
  }
  while (rc == 0 && remaining >= bs) {
    uint64_t n = remaining / bs;
    if (reinterpret_cast<uintptr_t>(in) % bs == 0) {
      rc = WriteDev(fd, in, n * bs);
    } else {
      rc = middle.reserve(n, bs, who);
      if (rc != 0) break;
      n = std::min(n, middle.blocks);
      memcpy(middle.data, in, size_t(n * bs));
      rc = WriteDev(fd, middle.data, n * bs);
    }
    if (rc != 0) break;
    in += n * bs;
    remaining -= n * bs;
    *RetLength += uint32_t(n * bs);
    position += n * bs;
  }
  middle.release();
  if (rc == 0 && remaining > 0) {
    // The last block keeps what lies beyond the piece.
    rc = one.reserve(1, bs, who);
    if (rc == 0) rc = PositionDev(fd, position);
    if (rc == 0) rc = ReadDev(fd, one.data, bs);
    if (rc == 0) {
      memcpy(one.data, in, size_t(remaining));
      rc = PositionDev(fd, position);
    }
    if (rc == 0) rc = WriteDev(fd, one.data, bs);
    if (rc == 0) *RetLength += uint32_t(remaining);
  }
  CloseDev(fd);
  return rc;
}
