// Archive and index bytes by residency: block reads and writes with their
// retry rules, positioning, creating and opening the archive, intermediate
// directories and the truncated-member test.
//
// Local files and pipes are served here. Archives in the storage service and
// on the gateway host reach these same entry points through the residency
// switch; until their data calls exist, each such branch reports that the
// residency is not available.
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "brix_fileio.h"
#include "brix_store_file.h"
#include "ozu_util.h"
#include "qel_threads.h"
#include "quor_convert.h"

int brix_archive_stripewidth = 1;
int brix_optimum_access = 0;
int brix_archive_is_tape = 0;

namespace {

const char* readWord(int residency) {
  switch (residency) {
    case BRIX_QUOR_FILE: return "QUOR-resident";
    case BRIX_REMOTE_FILE: return "remote-resident";
    default: return "local";
  }
}

const char* writeWord(int residency) {
  switch (residency) {
    case BRIX_QUOR_FILE: return "QUOR-resident";
    case BRIX_REMOTE_FILE: return "REMOTE";
    default: return "local";
  }
}

const char* spaceWord(int residency) {
  return residency == BRIX_QUOR_FILE ? "QUOR-resident" : "local";
}

// One read or write call of the residency: the count, or -errno.
ssize_t oneRead(int fd, int residency, void* buf, size_t count) {
  if (residency == BRIX_QUOR_FILE) return quor_Read(fd, buf, count);
  if (residency == BRIX_REMOTE_FILE) return -ENOSYS;
  ssize_t n = read(fd, buf, count);
  return n < 0 ? -errno : n;
}

ssize_t oneWrite(int fd, int residency, const void* buf, size_t count) {
  if (residency == BRIX_QUOR_FILE) return quor_Write(fd, buf, count);
  if (residency == BRIX_REMOTE_FILE) return -ENOSYS;
  ssize_t n = write(fd, buf, count);
  return n < 0 ? -errno : n;
}

// The shared read loop of the block reader and the archive reader.
ssize_t readLoop(int fd, int residency, size_t count, void* buffer, bool archive, const char* path) {
  unsigned char* p = static_cast<unsigned char*>(buffer);
  size_t got = 0;
  int eioStreak = 0;
  bool hadEio = false;
  while (got < count) {
    ssize_t n = oneRead(fd, residency, p + got, count - got);
    if (n > 0) {
      got += size_t(n);
      eioStreak = 0;
      continue;
    }
    if (n == 0) {
      if (brix_debug_level >= 1) {
        if (archive)
          fprintf(stderr, "/debug/ %s: hit EOF with %d bytes left to read\n", "brix_ReadArchive",
                  int(count - got));
        else
          fprintf(stderr, "/debug/ %s: (QUOR file) hit EOF with %d bytes left to read\n",
                  "brix_BlockRead", int(count - got));
      }
      return ssize_t(got);
    }
    int err = int(-n);
    if (err == EAGAIN || err == EINTR) continue;
    if (err == EIO && ++eioStreak <= 5) {
      hadEio = true;
      continue;
    }
    brix_SetExitCode(72);
    if (archive)
      brix_Log(BRIX_MSG_ERROR, "%s: Error %d reading %d bytes from Archive file %s\n",
               "brix_ReadArchive", err, int(count - got), brix_archive ? brix_archive : "");
    else
      brix_Log(BRIX_MSG_ERROR, "%s: Error %d reading %d bytes from %s file: %s \n", "brix_BlockRead",
               err, int(count - got), readWord(residency), path ? path : "");
    return -1;
  }
  if (hadEio) {
    if (archive)
      brix_Log(BRIX_MSG_INFO, "%s: Recovered I/O error reading archive file: %s\n",
               "brix_ReadArchive", brix_archive ? brix_archive : "");
    else
      brix_Log(BRIX_MSG_INFO, "%s: Recovered I/O error reading %s file: %s\n", "brix_BlockRead",
               readWord(residency), path ? path : "");
  }
  return ssize_t(got);
}

}  // namespace

int brix_ResidencySupported(int residency) {
  if (residency == BRIX_LOCAL_FILE || residency == BRIX_PIPE) return 1;
  // Storage archives can be read, and their indexes rewritten and rebuilt.
  if (residency == BRIX_QUOR_FILE && brix_function != BOP_CREATE) return 1;
  brix_Log(BRIX_MSG_ERROR, "[FATAL] %s archives are not available in this build of brix; use -E for a local archive\n",
           residency == BRIX_QUOR_FILE ? "QUOR-resident" : "remote (gateway host)");
  brix_SetExitCode(64);
  return 0;
}

ssize_t brix_BlockRead(int fd, const char* path, int residency, size_t count, void* buffer) {
  return readLoop(fd, residency, count, buffer, false, path);
}

ssize_t brix_ReadArchive(int fd, size_t count, void* buffer) {
  if (brix_filetype == BRIX_PIPE) fd = STDIN_FILENO;
  return readLoop(fd, brix_filetype, count, buffer, true, brix_archive);
}

ssize_t brix_BlockWrite(int fd, const char* path, int residency, size_t count, const void* buffer) {
  static const char* fn = "brix_BlockWrite";
  const unsigned char* p = static_cast<const unsigned char*>(buffer);
  size_t done = 0;
  int eioStreak = 0;
  int zeroStreak = 0;
  bool hadEio = false;
  if (!path) path = "";
  while (done < count) {
    ssize_t n = oneWrite(fd, residency, p + done, count - done);
    if (n >= 0) {
      done += size_t(n);
      eioStreak = 0;
      // A device that keeps accepting nothing would hold the run for ever.
      if (n == 0 && ++zeroStreak > BRIX_MAX_ZERO_WRITES) {
        brix_SetExitCode(72);
        brix_Log(BRIX_MSG_ERROR, "%s: Error %d writing %d bytes to %s file: %s \n", fn, EIO,
                 int(count - done), writeWord(residency), path);
        return -1;
      }
      if (n > 0) zeroStreak = 0;
      continue;
    }
    int err = int(-n);
    if (err == ENOSPC) {
      brix_Log(BRIX_MSG_ERROR, "%s: NO SPACE writing to %s file: %s -delaying/retrying\n", fn,
               spaceWord(residency), path);
      ozugw_ThreadSleep(BRIX_NOSPACE_WAIT, 0);
      if (brix_shutdown_signalled) {
        brix_SetExitCode(72);
        return -1;
      }
      continue;
    }
    if (err == EAGAIN || err == EINTR) continue;
    if (err == EIO && ++eioStreak <= 5) {
      hadEio = true;
      continue;
    }
    brix_SetExitCode(72);
    brix_Log(BRIX_MSG_ERROR, "%s: Error %d writing %d bytes to %s file: %s \n", fn, err,
             int(count - done), writeWord(residency), path);
    return -1;
  }
  if (hadEio)
    brix_Log(BRIX_MSG_INFO, "%s: Recovered I/O error writing %s file: %s\n", fn,
             spaceWord(residency), path);
  return ssize_t(done);
}

const char* posToString(int origin) {
  switch (origin) {
    case SEEK_SET: return "SEEK_SET";
    case SEEK_CUR: return "SEEK_CUR";
    case SEEK_END: return "SEEK_END";
    default: return "???";
  }
}

const char* directionToString(int direction) {
  switch (direction) {
    case 0: return "QUOR_SET_OFFSET_FORWARD";
    case 1: return "QUOR_SET_OFFSET_BACKWARD";
    default: return "???";
  }
}

int brix_PositionFile(int fd, int residency, uint64_t offset, int origin, int direction,
                      uint64_t* newOffset) {
  if (residency == BRIX_QUOR_FILE) return brix_QuorPositionFile(fd, offset, origin, direction, newOffset);
  if (residency == BRIX_REMOTE_FILE)
    return brix_ResidencySupported(residency) ? 0 : -1;
  char text[32];
  if (offset == UINT64_MAX || offset > uint64_t(INT64_MAX)) {
    brix_Log(BRIX_MSG_ERROR, "Unable to convert offset [%s] to file position on this architecture\n",
             u64tostr_r(offset, text));
    return -1;
  }
  if (lseek(fd, off_t(offset), origin) < 0) {
    int e = errno;
    brix_perror("lseek");
    brix_Log(BRIX_MSG_ERROR, "Error %d seeking on local file. Type=%s Offset=%s\n", e,
             posToString(origin), u64tostr_r(offset, text));
    return -1;
  }
  return 0;
}

int brix_MakeAllSubdirs(char* path, mode_t mode, int residency) {
  static const char* fn = "brix_MakeAllSubdirs";
  if (residency == BRIX_PIPE) return 0;
  if (residency != BRIX_LOCAL_FILE) return brix_ResidencySupported(residency) ? 0 : -1;
  char* last = strrchr(path, '/');
  if (!last) return 0;
  if (last == path) return 0;  // a file in the root directory
  *last = '\0';
  int rc = 0;
  // Find the deepest existing ancestor of the directory (not testing the
  // directory itself).
  char* start = nullptr;
  for (char* p = strrchr(path, '/'); p && p != path; p = strrchr(path, '/')) {
    *p = '\0';
    struct stat st;
    int s = stat(path, &st);
    int e = errno;
    if (s == 0) {
      if (!S_ISDIR(st.st_mode)) {
        brix_Log(BRIX_MSG_ERROR, "%s: Error creating subdirs for local archive path. Not a directory: %s",
                 fn, path);
        rc = -1;
      }
      start = p;
      break;
    }
    if (e != ENOENT) {
      brix_Log(BRIX_MSG_ERROR, "%s: Error %d creating local subdirs for %s", fn, e, path);
      rc = -1;
      start = p;
      break;
    }
  }
  // Put back every '/' cut while walking up.
  for (char* q = path; q < last; q++)
    if (*q == '\0') *q = '/';
  if (rc == 0) {
    // Create each level below the ancestor down to the directory; levels on
    // the way get the owner's full access so the walk can go on.
    char* from = start ? start + 1 : path + (path[0] == '/' ? 1 : 0);
    for (char* q = from;; q++) {
      bool end = (*q == '\0');
      if (*q != '/' && !end) continue;
      char saved = *q;
      *q = '\0';
      mode_t m = end ? mode : (mode | 0700);
      if (mkdir(path, m) != 0 && errno != EEXIST) {
        int e = errno;
        if (e == EPERM || e == EACCES)
          brix_Log(BRIX_MSG_ERROR, "%s: Permission error creating intermediate local subdirectory: %s", fn,
                   path);
        else
          brix_Log(BRIX_MSG_ERROR, "%s: Error %d creating intermediate local subdirectory: %s", fn, e,
                   path);
        *q = saved;
        rc = -1;
        break;
      }
      *q = saved;
      if (end) break;
    }
  }
  *last = '/';
  return rc;
}

int brix_CreateArchiveFile(void) {
  brix_optimum_access = 0;
  brix_archive_stripewidth = 1;
  brix_archive_is_tape = 0;
  if (brix_filetype == BRIX_PIPE) {
    if (brix_debug_level >= 2) fprintf(stderr, "/debug/creating Archive file on stdout\n");
    brix_archive_fd = brix_pipe_archive_fd >= 0 ? brix_pipe_archive_fd : STDOUT_FILENO;
    return 0;
  }
  if (!brix_ResidencySupported(brix_filetype)) return -1;
  if (brix_option_flags & BRIX_OPT_MAKE_DIRS) {
    if (brix_MakeAllSubdirs(brix_archive, 0777, brix_filetype) != 0) {
      brix_SetExitCode(72);
      return -1;
    }
  }
  if (brix_debug_level >= 2)
    fprintf(stderr, "[debug] creating Archive file %s on local filesystem\n", brix_archive);
  int fd = open(brix_archive, O_RDWR | O_CREAT | O_TRUNC | O_NONBLOCK | O_CLOEXEC, 0666);
  if (fd < 0) {
    int e = errno;
    brix_perror("Open Archive");
    brix_Log(BRIX_MSG_ERROR, "Error %d creating local Archive: %s\n", e, brix_archive);
    brix_SetExitCode(72);
    return -1;
  }
  brix_archive_fd = fd;
  return 0;
}

int brix_GetArchiveXAttrs(int residency, struct stat* st) {
  if (residency == BRIX_PIPE) return 0;
  if (residency == BRIX_QUOR_FILE) return brix_QuorGetArchiveXAttrs(st);
  if (residency != BRIX_LOCAL_FILE) {
    brix_ResidencySupported(residency);
    brix_SetExitCode(72);
    return -1;
  }
  if (stat(brix_archive, st) != 0) {
    int e = errno;
    if (e == ENOENT)
      brix_Log(BRIX_MSG_ERROR, "[FATAL] no such local archive file: %s\n", brix_archive);
    else if (e == EACCES)
      brix_Log(BRIX_MSG_ERROR, "[FATAL] no permission to open local archive file: %s\n", brix_archive);
    else {
      brix_perror("stat");
      brix_Log(BRIX_MSG_ERROR, "[FATAL] error %d getting attributes for local archive file %s\n", e,
               brix_archive);
    }
    brix_SetExitCode(72);
    return -1;
  }
  return 0;
}

int brix_OpenArchiveFile(int flags, struct stat* st) {
  double start = double_time();
  (void)start;
  if (brix_filetype == BRIX_PIPE) {
    brix_Log(BRIX_MSG_ERROR, "[FATAL] a piped archive cannot be opened again\n");
    brix_SetExitCode(72);
    return -1;
  }
  if (brix_filetype == BRIX_QUOR_FILE) return brix_QuorOpenArchiveFile(flags, st);
  int rc = brix_GetArchiveXAttrs(brix_filetype, st);
  if (rc != 0) return rc;
  if (!S_ISREG(st->st_mode)) {
    brix_Log(BRIX_MSG_ERROR, "[FATAL] Local archive file %s is not a regular file\n", brix_archive);
    brix_SetExitCode(72);
    return -1;
  }
  int fd = open(brix_archive, flags | O_CLOEXEC, 0666);
  if (fd < 0) {
    int e = errno;
    brix_perror("open");
    brix_Log(BRIX_MSG_ERROR, "[FATAL] Error %d opening local file %s\n", e, brix_archive);
    brix_SetExitCode(72);
    return -1;
  }
  return fd;
}

int brix_CheckFileTruncated(uint64_t archiveSize, const bif_entry_t* entry, int64_t ordinal) {
  if (entry->bent_type != BTO_FILE && entry->bent_type != BTO_HARDLINK) return 0;
  if ((entry->bent_offset + entry->bent_blocks) * 512 > archiveSize) {
    brix_Log(BRIX_MSG_ERROR,
             "%s: detected trucated member file at index ordinal %ld offset: %lu filesize: %luarchive size: %lu\n",
             "brix_CheckFileTruncated", long(ordinal), (unsigned long)(entry->bent_offset * 512),
             (unsigned long)entry->bent_fsize, (unsigned long)archiveSize);
    return -1;
  }
  return 0;
}
