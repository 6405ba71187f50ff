// Writing a new local or piped archive from the temporary index: for every
// entry, in index order, its ustar header, its data and the fill to the next
// block, then one zero block.
//
// The archive is written through one output buffer by the calling thread.
// Small member files are read ahead by a few reader threads into slots that
// the writer consumes in index order, so opening and reading many small
// files overlaps with writing; larger files are copied by the writer itself.
// A member that fails after its header was written is padded to the blocks
// the index planned for it, so every later member stays where the index
// says it is.
#define _GNU_SOURCE 1
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <string>
#include <vector>

#include "brix_ustar.h"
#include "brix_xfer.h"

namespace {

const char* const fnMember = "brix_CopyFileToLocal";
constexpr size_t OUT_BUFFER = 128u << 10;
const char* const fnArchive = "brix_CopyToLocalArchive";

// ---- the archive output ----
struct archiveOut {
  int fd = -1;
  int residency = BRIX_LOCAL_FILE;
  unsigned char* buf = nullptr;
  size_t cap = 0;
  size_t len = 0;
  uint64_t offset = 0;   // archive bytes produced so far, buffered ones included
  bool broken = false;   // the archive could not be written: stop
};
archiveOut out;

bool outFlush() {
  if (out.broken) return false;
  if (out.len == 0) return true;
  ssize_t n = brix_BlockWrite(out.fd, brix_archive, out.residency, out.len, out.buf);
  if (n != ssize_t(out.len)) {
    out.broken = true;
    return false;
  }
  out.len = 0;
  return true;
}

bool outWrite(const void* data, size_t n) {
  const unsigned char* p = static_cast<const unsigned char*>(data);
  while (n > 0) {
    if (out.len == out.cap && !outFlush()) return false;
    size_t take = std::min(n, out.cap - out.len);
    memcpy(out.buf + out.len, p, take);
    out.len += take;
    out.offset += take;
    p += take;
    n -= take;
  }
  return !out.broken;
}

bool outZeros(uint64_t n, uint32_t* crc) {
  while (n > 0) {
    if (brix_shutdown_signalled) return false;
    if (out.len == out.cap && !outFlush()) return false;
    size_t take = size_t(std::min<uint64_t>(n, out.cap - out.len));
    memset(out.buf + out.len, 0, take);
    if (crc) brix_ChecksumBuffer(out.buf + out.len, take, crc);
    out.len += take;
    out.offset += take;
    n -= take;
  }
  return !out.broken;
}

// Copies up to want bytes of an open member file into the archive; the
// bytes copied (fewer when the file ended early), or -1 on a read error
// with *errOffset where it happened.
int64_t outFromFile(int fd, const char* path, uint64_t want, uint32_t* crc, uint64_t* errOffset) {
  uint64_t done = 0;
  // A large member without a CRC goes from file to file in the kernel.
  if (!crc && out.residency == BRIX_LOCAL_FILE && want >= (1u << 20)) {
    if (!outFlush()) return int64_t(done);
    while (done < want) {
      // A forced shutdown is seen between chunks, not after the member.
      if (brix_shutdown_signalled) return int64_t(done);
      ssize_t n = copy_file_range(fd, nullptr, out.fd, nullptr, size_t(std::min<uint64_t>(want - done, 1u << 26)), 0);
      if (n > 0) {
        done += uint64_t(n);
        out.offset += uint64_t(n);
        continue;
      }
      if (n == 0) return int64_t(done);
      if (errno == EINTR) continue;
      // Not supported here: the rest goes through the buffer.
      if (errno == EXDEV || errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP ||
          errno == EBADF)
        break;
      *errOffset = done;
      return -1;
    }
  }
  while (done < want) {
    if (brix_shutdown_signalled) return int64_t(done);
    if (out.len == out.cap && !outFlush()) return int64_t(done);
    size_t take = size_t(std::min<uint64_t>(want - done, out.cap - out.len));
    ssize_t n = brix_BlockRead(fd, path, BRIX_LOCAL_FILE, take, out.buf + out.len);
    if (n < 0) {
      *errOffset = done;
      return -1;
    }
    if (crc) brix_ChecksumBuffer(out.buf + out.len, size_t(n), crc);
    out.len += size_t(n);
    out.offset += uint64_t(n);
    done += uint64_t(n);
    if (size_t(n) < take) break;
  }
  return int64_t(done);
}

// Whether a file's status shows no change between two looks.
bool sameStatus(const struct stat& a, const struct stat& b) {
  return a.st_size >= 0 && a.st_size == b.st_size && a.st_mtim.tv_sec == b.st_mtim.tv_sec &&
         a.st_mtim.tv_nsec == b.st_mtim.tv_nsec;
}

// ---- read-ahead of small members ----
enum { SLOT_QUEUED = 0, SLOT_CLAIMED = 1, SLOT_DONE = 2 };
constexpr uint64_t READAHEAD_MAX_FILE = 256 * 1024;
constexpr uint64_t READAHEAD_MAX_BYTES = 64ull << 20;
constexpr size_t READAHEAD_SLOTS = 1024;
constexpr size_t READAHEAD_KEEP_CAPACITY = 16 * 1024;
constexpr int READAHEAD_MAX_THREADS = 8;
constexpr uint32_t READAHEAD_MIN_ENTRIES = 64;
// Free slots the writer waits for before it queues more entries.
constexpr uint64_t REFILL_BATCH = 64;
// Index entries are read back in batches that stay in cache.
constexpr int INDEX_BATCH = 128;

struct readAhead {
  bif_entry_t entry;
  int64_t ordinal = 0;
  bool wanted = false;  // a small file the readers open and read
  std::atomic<int> state{0};  // SLOT_QUEUED, SLOT_CLAIMED or SLOT_DONE
  std::atomic<bool> writerWaits{false};  // the writer sleeps on state until SLOT_DONE
  int openErr = 0;
  int statErr = 0;
  uint64_t curSize = 0;
  std::vector<unsigned char> data;  // the bytes read, at most the index size
  int readErr = 0;
  uint64_t readErrOffset = 0;
  bool changedWhileRead = false;  // with rmlocal: its status before and after the read differ
  struct stat afterRead;          // with rmlocal: its status once read (st_size < 0 when unknown)
  uint32_t crc = 0;  // of the member data as written: the bytes read, then zeros
  unsigned char header[512];  // the member's header, built by the reader
};

// The writer publishes slots in order through produced; readers claim them
// in order through claimed and mark each done. A reader wakes the writer
// only when it sleeps on that very slot; the lock is taken only for idle
// readers.
struct readAheadPool {
  std::unique_ptr<readAhead[]> slots;
  size_t count = 0;
  std::atomic<uint64_t> produced{0};
  std::atomic<uint64_t> claimed{0};
  std::atomic<bool> stop{false};
  std::atomic<int> idleReaders{0};
  std::mutex lock;
  std::condition_variable work;
  std::vector<std::thread> threads;
};

bool crcWanted(uint32_t type) {
  return (brix_option_flags & BRIX_OPT_CRC) && (type == BTO_FILE || type == BTO_HARDLINK);
}

// Each reader keeps the directory of the last member it opened: members come
// in directory order, so most opens look up one name instead of a path.
struct dirCache {
  std::string dir;
  int fd = -1;
  ~dirCache() {
    if (fd >= 0) close(fd);
  }
};

int openMember(dirCache& cache, const char* path) {
  const char* slash = strrchr(path, '/');
  if (!slash || slash == path || slash[1] == '\0') return open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  size_t dirLen = size_t(slash - path);
  if (cache.fd < 0 || cache.dir.size() != dirLen || cache.dir.compare(0, dirLen, path, dirLen) != 0) {
    if (cache.fd >= 0) close(cache.fd);
    cache.dir.assign(path, dirLen);
    cache.fd = open(cache.dir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (cache.fd < 0) return open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  }
  return openat(cache.fd, slash + 1, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
}

void readMemberAhead(readAhead& s, dirCache& dirs) {
  char path[BRIX_LOCAL_PATH_MAX];
  brix_MemberLocalPath(s.ordinal, &s.entry, path);
  int fd = openMember(dirs, path);
  if (fd < 0) {
    s.openErr = errno;
    return;
  }
  brix_BuildPosixHeader(&s.entry, s.header);
  bool rmlocal = (brix_option_flags & BRIX_OPT_RMLOCAL) != 0;
  struct stat before;
  s.changedWhileRead = false;
  s.afterRead.st_size = -1;
  if (rmlocal && fstat(fd, &before) != 0) before.st_size = -1;
  // One byte more than the index size shows a file that grew; a regular
  // file reads short only at its end. The file's status is needed only
  // when its size changed.
  uint64_t size = s.entry.bent_fsize;
  s.data.resize(size_t(size + 1));
  uint64_t got = 0;
  for (;;) {
    ssize_t n = read(fd, s.data.data() + got, size_t(size + 1 - got));
    if (n < 0) {
      if (errno == EINTR || errno == EAGAIN) continue;
      s.readErr = errno;
      s.readErrOffset = got;
      break;
    }
    if (n == 0) break;
    got += uint64_t(n);
    if (got == size + 1 || (got == size && got > 0)) break;
  }
  s.curSize = got;
  if (got != size && s.readErr == 0) {
    struct stat st;
    if (fstat(fd, &st) != 0) s.statErr = errno;
    else s.curSize = uint64_t(st.st_size);
  }
  if (rmlocal && fstat(fd, &s.afterRead) == 0) s.changedWhileRead = !sameStatus(before, s.afterRead);
  close(fd);
  if (got > size) got = size;
  s.data.resize(size_t(got));
  if (crcWanted(s.entry.bent_type)) {
    uint32_t crc;
    brix_ChecksumInit(&crc);
    brix_ChecksumBuffer(s.data.data(), s.data.size(), &crc);
    static const unsigned char zeros[4096] = {};
    for (uint64_t left = size - got; left > 0;) {
      size_t take = size_t(std::min<uint64_t>(left, sizeof zeros));
      brix_ChecksumBuffer(zeros, take, &crc);
      left -= take;
    }
    brix_ChecksumFinalize(&crc);
    s.crc = crc;
  }
}

void finishSlot(readAhead& s) {
  s.state.store(SLOT_DONE);
  if (s.writerWaits.load()) s.state.notify_one();
}

// Takes the next queued slot, if any, and reads it. False when none is left.
bool readNextQueued(readAheadPool& pool, dirCache& dirs) {
  for (;;) {
    uint64_t c = pool.claimed.load();
    if (c >= pool.produced.load()) return false;
    if (!pool.claimed.compare_exchange_weak(c, c + 1)) continue;
    readAhead& s = pool.slots[c % pool.count];
    int queued = SLOT_QUEUED;
    if (!s.state.compare_exchange_strong(queued, SLOT_CLAIMED)) return true;  // the writer took it
    if (s.wanted) readMemberAhead(s, dirs);
    finishSlot(s);
    return true;
  }
}

void readerThread(readAheadPool* pool) {
  dirCache dirs;
  for (;;) {
    if (readNextQueued(*pool, dirs)) continue;
    if (pool->stop) return;
    std::unique_lock<std::mutex> g(pool->lock);
    pool->idleReaders++;
    pool->work.wait(g, [&] { return pool->stop || pool->claimed.load() < pool->produced.load(); });
    pool->idleReaders--;
  }
}

// Spins for about the time a small member takes to be read, without a
// system call (a yield is one, and costs more than the wait it saves).
void spinPause() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#elif defined(__aarch64__)
  asm volatile("yield");
#endif
}

// The writer's wait for one slot. A slot no reader has taken yet the writer
// reads itself; one a reader still holds it waits for with a short spin,
// then reads the slots queued after it rather than sleep, since a sleep and
// its wake cost more than a small member's read. It sleeps only when
// nothing is left to read.
void waitDone(readAheadPool& pool, readAhead& s, dirCache& dirs) {
  int queued = SLOT_QUEUED;
  if (s.state.compare_exchange_strong(queued, SLOT_CLAIMED)) {
    if (s.wanted) readMemberAhead(s, dirs);
    s.state.store(SLOT_DONE);
    return;
  }
  while (s.state.load() != SLOT_DONE) {
    for (int i = 0; i < 256; i++) {
      if (s.state.load() == SLOT_DONE) return;
      spinPause();
    }
    if (readNextQueued(pool, dirs)) continue;
    s.writerWaits.store(true);
    s.state.wait(SLOT_CLAIMED);
    s.writerWaits.store(false);
  }
}

// ---- one member ----
enum memberResult { MEMBER_OK = 0, MEMBER_FAILED = -1, MEMBER_MISSING = -2 };

// Writes the zeros that complete a member's planned blocks after a failure.
void padToPlanned(uint64_t start, const bif_entry_t* e) {
  uint64_t end = start + uint64_t(e->bent_blocks) * 512;
  if (out.offset < end) outZeros(end - out.offset, nullptr);
}

int writeMember(int64_t ordinal, const bif_entry_t* e, readAhead* ahead) {
  uint32_t type = e->bent_type;
  uint64_t start = out.offset;
  if (type == BTO_UNKNOWN || type >= BTO_BAD_TYPE) {
    brix_Log(BRIX_MSG_ERROR, "[%s] Unrecognized object type: %d Index Entry %ld\n", fnMember, int(type),
             long(ordinal));
    // Keep the layout: a placeholder header of the planned size.
    if (e->bent_blocks > 0) {
      bif_entry_t ph = *e;
      ph.bent_type = BTO_FILE;
      ph.bent_fsize = uint64_t(e->bent_blocks - 1) * 512;
      memset(ph.bent_prefix, 0, sizeof ph.bent_prefix);
      memset(ph.bent_name, 0, sizeof ph.bent_name);
      strcpy(ph.bent_name, "/dev/null");
      memset(ph.bent_linkname, 0, sizeof ph.bent_linkname);
      unsigned char hdr[512];
      brix_BuildPosixHeader(&ph, hdr);
      if (outWrite(hdr, sizeof hdr)) padToPlanned(start, e);
    }
    return MEMBER_FAILED;
  }
  bool isData = type == BTO_FILE || type == BTO_HARDLINK;
  bool withCrc = crcWanted(type);
  char path[BRIX_LOCAL_PATH_MAX];
  brix_MemberLocalPath(ordinal, e, path);
  uint64_t size = e->bent_fsize;
  int fd = -1;
  bool placeholder = false;
  bif_entry_t hdrEntry = *e;
  if (isData) {
    int openErr;
    if (ahead && ahead->wanted) {
      openErr = ahead->openErr;
    } else {
      fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
      openErr = fd < 0 ? errno : 0;
    }
    if (openErr != 0) {
      if (openErr == ENOENT)
        brix_Log(BRIX_MSG_WARNING, "Local file %s was missing or inaccessible and could not be copied to the archive\n",
                 path);
      else if (openErr == EACCES)
        brix_Log(BRIX_MSG_WARNING, "Access denied when trying to open local file %s\n", path);
      else
        brix_Log(BRIX_MSG_WARNING, "Error %d opening local file %s\n", openErr, path);
      // Gone or closed to us after the list was made: the member is not
      // in the archive, and the run says so in its exit code.
      brix_SetMemberFileChanged(ordinal);
      placeholder = true;
      memset(hdrEntry.bent_prefix, 0, sizeof hdrEntry.bent_prefix);
      memset(hdrEntry.bent_name, 0, sizeof hdrEntry.bent_name);
      strcpy(hdrEntry.bent_name, "/dev/null");
      brix_SetMissingMemberFile(ordinal);
    }
  }
  unsigned char built[512];
  const unsigned char* hdr = built;
  if (ahead && ahead->wanted && !placeholder) hdr = ahead->header;
  else brix_BuildPosixHeader(&hdrEntry, built);
  if (brix_option_flags & BRIX_OPT_VERBOSE) {
    fprintf(stdout, "%s: %s  %s%s\n", "BRIX", placeholder ? "[missing]" : "a", path,
            type == BTO_DIRECTORY ? "/" : "");
  }
  if (!outWrite(hdr, 512)) {
    brix_Log(BRIX_MSG_ERROR, "Error %d writing tar header to Archive file %s\n", errno, brix_archive);
    if (fd >= 0) close(fd);
    return MEMBER_FAILED;
  }
  if (!isData) return MEMBER_OK;

  uint32_t crc = 0;
  if (withCrc) brix_ChecksumInit(&crc);
  bool failed = false;
  bool rmlocal = (brix_option_flags & BRIX_OPT_RMLOCAL) != 0;
  bool changeTold = false;
  struct stat before;
  before.st_size = -1;
  uint64_t written = 0;
  if (!placeholder) {
    uint64_t cur = 0;
    bool haveSize = true;
    if (ahead && ahead->wanted) {
      if (ahead->statErr != 0) {
        errno = ahead->statErr;
        haveSize = false;
      } else {
        cur = ahead->curSize;
      }
    } else {
      if (fstat(fd, &before) != 0) {
        haveSize = false;
        before.st_size = -1;
      } else {
        cur = uint64_t(before.st_size);
      }
    }
    if (!haveSize) {
      brix_Log(BRIX_MSG_ERROR, "%s: FSTAT_SYSCALL error %d at line %d (fatal internal error)\n", fnMember,
               errno, __LINE__);
      failed = true;
    } else {
      if (cur != size) {
        brix_Log(BRIX_MSG_WARNING, "%s: (line %d) file size changed for %s\n", fnMember, __LINE__, path);
        brix_Log(BRIX_MSG_WARNING, "Index size:        %lu\n", (unsigned long)size);
        brix_Log(BRIX_MSG_WARNING, "Current file size: %lu\n", (unsigned long)cur);
      }
      if (cur > size) {
        // Only the listed size is stored: the member is not the file.
        brix_Log(BRIX_MSG_WARNING, "%s: file changed as we read it\n", path);
        brix_SetMemberFileChanged(ordinal);
        changeTold = true;
      }
      uint64_t want = std::min(size, cur);
      if (ahead && ahead->wanted) {
        if (!outWrite(ahead->data.data(), ahead->data.size())) {
          failed = true;
        } else {
          written = ahead->data.size();
          if (ahead->readErr != 0) {
            errno = ahead->readErr;
            brix_Log(BRIX_MSG_ERROR, "%s: Error %d reading %d bytes from %s file: %s \n", "brix_BlockRead",
                     ahead->readErr, int(want - written), "local", path);
            brix_Log(BRIX_MSG_ERROR, "Unrecoverable error reading local file %s near offset %lu\n", path,
                     (unsigned long)ahead->readErrOffset);
            brix_SetExitCode(72);
            failed = true;
          }
        }
        crc = ahead->crc;
      } else {
        uint64_t errOffset = 0;
        int64_t n = outFromFile(fd, path, want, withCrc ? &crc : nullptr, &errOffset);
        if (n < 0) {
          brix_Log(BRIX_MSG_ERROR, "Unrecoverable error reading local file %s near offset %lu\n", path,
                   (unsigned long)errOffset);
          brix_SetExitCode(72);
          failed = true;
        } else {
          written = uint64_t(n);
        }
      }
    }
  }
  if (out.broken) {
    if (fd >= 0) close(fd);
    return MEMBER_FAILED;
  }
  if (failed) {
    padToPlanned(start, e);
    if (fd >= 0) close(fd);
    return MEMBER_FAILED;
  }
  if (brix_shutdown_signalled) {
    if (fd >= 0) close(fd);
    return MEMBER_FAILED;
  }
  if (!placeholder && written < size) {
    // The file is shorter than its header says: the rest is zeros, stored
    // as such but never taken for the file.
    brix_Log(BRIX_MSG_WARNING, "%s: File shrank by %lu bytes; padding with zeros\n", path,
             (unsigned long)(size - written));
    brix_SetMemberFileChanged(ordinal);
    changeTold = true;
  }
  if (rmlocal && !placeholder) {
    bool changed = false;
    if (ahead && ahead->wanted) {
      changed = ahead->changedWhileRead;
      if (ahead->afterRead.st_size >= 0) brix_SetMemberFileReadState(ordinal, &ahead->afterRead);
    } else {
      struct stat after;
      if (fd >= 0 && fstat(fd, &after) == 0) {
        changed = !sameStatus(before, after);
        brix_SetMemberFileReadState(ordinal, &after);
      }
    }
    if (changed && !changeTold) {
      brix_Log(BRIX_MSG_WARNING, "%s: file changed as we read it\n", path);
      brix_SetMemberFileChanged(ordinal);
    }
  }
  // What the file no longer has (or never had, for a placeholder) is zeros.
  bool crcDone = ahead && ahead->wanted && !placeholder;
  if (written < size && !outZeros(size - written, withCrc && !crcDone ? &crc : nullptr)) {
    if (fd >= 0) close(fd);
    return MEMBER_FAILED;
  }
  uint64_t fill = (512 - size % 512) % 512;
  if (fill && !outWrite(brix_zeroblock, size_t(fill))) {
    brix_Log(BRIX_MSG_ERROR, "Error %d writing fill bytes to Archive file %s\n", errno, brix_archive);
    if (fd >= 0) close(fd);
    return MEMBER_FAILED;
  }
  if (withCrc) {
    if (!crcDone) brix_ChecksumFinalize(&crc);
    brix_SetMemberFileXferCRC(ordinal, crc);
  }
  if (fd >= 0) close(fd);
  return placeholder ? MEMBER_MISSING : MEMBER_OK;
}

void recordOutcome(int64_t ordinal, const bif_entry_t* e, int result) {
  uint32_t t = e->bent_type;
  if (t == BTO_FILE || t == BTO_HARDLINK || t == BTO_SYMLINK)
    brix_SetMemberFileXferSuccess(ordinal, result >= 0 ? 1 : 0);
}

bool setUpOutput(int fd) {
  out = archiveOut();
  out.fd = fd;
  out.residency = brix_filetype == BRIX_PIPE ? BRIX_PIPE : BRIX_LOCAL_FILE;
  // Small writes: the bytes are still in the core's cache when the kernel
  // copies them into the archive.
  out.cap = std::min<size_t>(size_t(brix_iobufsize), OUT_BUFFER);
  out.buf = static_cast<unsigned char*>(BRIX_MALLOC(out.cap));
  return out.buf != nullptr;
}

void releaseOutput() {
  free(out.buf);
  out.buf = nullptr;
}

// An old archive is written over rather than truncated when opened (the
// kernel would free all its blocks first, only for the same number to be
// allocated again); what is left of it past the new end goes now.
int cutOldArchive(int fd, uint64_t end) {
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || uint64_t(st.st_size) <= end) return 0;
  if (ftruncate(fd, off_t(end)) == 0) return 0;
  brix_Log(BRIX_MSG_ERROR, "Error %d truncating Archive file %s to %lu bytes\n", errno, brix_archive,
           (unsigned long)end);
  brix_SetExitCode(72);
  return -1;
}

}  // namespace

uint64_t brix_LocalArchiveOffset(void) { return out.offset; }

int copyLocalFile(int archiveFd, int64_t indexOrdinal, const bif_entry_t* indexEntry) {
  // One member on its own: through a buffer of its own, flushed at once.
  bool own = out.buf == nullptr || out.fd != archiveFd;
  archiveOut saved;
  if (own) {
    saved = out;
    if (!setUpOutput(archiveFd)) {
      out = saved;
      return MEMBER_FAILED;
    }
  }
  int rc = writeMember(indexOrdinal, indexEntry, nullptr);
  if (!outFlush()) rc = MEMBER_FAILED;
  if (own) {
    releaseOutput();
    out = saved;
  }
  return rc;
}

int brix_CopyToLocalArchive(double* xferTime, int* threadsUsed) {
  int result = -1;
  bool indexError = false;
  int64_t indexEntryNumber = -1;
  bool outputSet = false;
  readAheadPool pool;
  if (brix_IndexReadInit() != 0) goto closeArchive;
  if (brix_iobufsize < 1024) {
    brix_Log(BRIX_MSG_ERROR, "[%s] brix internal error - bad buffer size (%d)\n", fnArchive, brix_iobufsize);
    brix_SetExitCode(70);
    goto closeArchive;
  }
  if (!setUpOutput(brix_archive_fd)) goto closeArchive;
  outputSet = true;
  {
    double start = brix_GetTimestamp();
    brix_SetProgramPhase(BTP_CREATE_WRITEARCHIVE);
    int readers = 0;
    if (brix_index_entries >= READAHEAD_MIN_ENTRIES) {
      unsigned hw = std::thread::hardware_concurrency();
      readers = std::min({brix_max_threads, READAHEAD_MAX_THREADS, int(hw ? hw : 1)});
      if (readers < 1) readers = 0;
    }
    pool.count = READAHEAD_SLOTS;
    pool.slots.reset(new readAhead[pool.count]);
    try {
      for (int i = 0; i < readers; i++) pool.threads.emplace_back(readerThread, &pool);
    } catch (const std::system_error&) {
      // Fewer readers, or none: the writer reads what they do not.
    }
    readers = int(pool.threads.size());

    dirCache writerDirs;
    uint64_t consumed = 0;
    uint64_t queuedBytes = 0;
    bool indexEnded = false;
    bool stopped = false;
    while (!stopped) {
      // Queue entries ahead of the writer while there is room, in batches
      // so that idle readers are woken once per batch, not per entry.
      uint64_t before = pool.produced.load();
      bool refill = before == consumed || pool.count - (before - consumed) >= REFILL_BATCH;
      while (refill && !indexEnded) {
        uint64_t produced = pool.produced.load();
        if (produced - consumed >= pool.count || queuedBytes > READAHEAD_MAX_BYTES) break;
        if (readers == 0 && produced > consumed) break;  // alone, one entry at a time
        if (indexEntryNumber + 1 >= int64_t(brix_index_entries)) {
          indexEnded = true;
          break;
        }
        bif_entry_t* e = nullptr;
        int end = 0;
        if (brix_IndexFileRead(brix_tmpIndexFD, BRIX_LOCAL_FILE, INDEX_BATCH, &e, &end) != 0) {
          brix_SetExitCode(72);
          indexError = true;
          indexEnded = true;
          break;
        }
        if (end) {
          indexEnded = true;
          break;
        }
        indexEntryNumber++;
        readAhead& s = pool.slots[produced % pool.count];
        s.entry = *e;
        s.ordinal = indexEntryNumber;
        s.wanted = readers > 0 && (e->bent_type == BTO_FILE || e->bent_type == BTO_HARDLINK) &&
                   e->bent_fsize <= READAHEAD_MAX_FILE;
        s.openErr = s.statErr = s.readErr = 0;
        s.data.clear();
        if (s.wanted) queuedBytes += e->bent_fsize;
        s.state.store(readers > 0 ? SLOT_QUEUED : SLOT_DONE);
        pool.produced.store(produced + 1);
      }
      if (readers > 0 && pool.produced.load() != before && pool.idleReaders.load() > 0) {
        std::lock_guard<std::mutex> g(pool.lock);
        pool.work.notify_all();
      }
      if (indexError) break;
      if (consumed == pool.produced.load()) break;
      readAhead& s = pool.slots[consumed % pool.count];
      if (readers > 0) waitDone(pool, s, writerDirs);
      int rc = writeMember(s.ordinal, &s.entry, readers > 0 ? &s : nullptr);
      recordOutcome(s.ordinal, &s.entry, rc);
      if (s.wanted) queuedBytes -= s.entry.bent_fsize;
      if (s.data.capacity() > READAHEAD_KEEP_CAPACITY) std::vector<unsigned char>().swap(s.data);
      consumed++;
      if (out.broken || brix_shutdown_signalled) stopped = true;
    }
    pool.stop = true;
    {
      std::lock_guard<std::mutex> g(pool.lock);
      pool.work.notify_all();
    }
    for (std::thread& t : pool.threads) t.join();

    if (out.broken || brix_shutdown_signalled) {
      brix_SetExitCode(72);
    } else if (!indexError) {
      if (uint64_t(indexEntryNumber + 1) < brix_index_entries) {
        brix_Log(BRIX_MSG_ERROR, "[%s] Error - premature EOF found on index file\n", fnArchive);
        brix_Log(BRIX_MSG_ERROR, "    Expected %d index entries, but only read %ld\n", int(brix_index_entries),
                 long(indexEntryNumber + 1));
        brix_SetExitCode(72);
      }
      if (!outWrite(brix_zeroblock, 512) || !outFlush()) {
        brix_SetExitCode(72);
        brix_Log(BRIX_MSG_ERROR, "Error %d writing EOF block on Archive file %s\n", errno, brix_archive);
      } else {
        if (xferTime) *xferTime = brix_GetTimestamp() - start;
        if (threadsUsed) *threadsUsed = readers > 0 ? readers + 1 : 1;
        result = 0;
      }
    }
  }
closeArchive:
  {
    uint64_t produced = outputSet ? out.offset : 0;
    releaseOutput();
    if (brix_archive_fd >= 0 && brix_filetype == BRIX_LOCAL_FILE && cutOldArchive(brix_archive_fd, produced) != 0)
      result = -1;
  }
  if (brix_archive_fd >= 0) {
    if (close(brix_archive_fd) != 0)
      brix_Log(BRIX_MSG_ERROR, "***%s: Error %d closing %s Archive file %s\n", fnArchive, errno,
               brix_filetype == BRIX_QUOR_FILE ? "QUOR" : "local", brix_archive);
    brix_archive_fd = -1;
  }
  return result;
}
