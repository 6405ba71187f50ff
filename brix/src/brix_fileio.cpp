// Archive and index bytes by residency: block reads and writes with their
// retry rules, positioning, creating and opening the archive, intermediate
// directories and the truncated-member test.
//
// Local files, pipes, files in the storage service and files on the
// gateway host's own file system (through the gateway's calls) are served.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <iterator>
#include <string>
#include <vector>

#include "brix_blockio.h"
#include "brix_store_file.h"
#include "ozu_util.h"
#include "quor_api.h"
#include "quorex_expire.h"
#include "qel_threads.h"
#include "quor_convert.h"

int brix_archive_stripewidth = 1;
int brix_optimum_access = 0;
int brix_archive_is_tape = 0;
quor_xfileattr_t brix_archive_xattr;

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
// A descriptor opened without blocking (a FIFO archive) that is not ready
// waits here for it rather than spinning: -EAGAIN to try again, or the
// error of the wait (-EINTR when a forced shutdown cut it short).
ssize_t waitReady(int fd, short events) {
  struct pollfd p = {fd, events, 0};
  if (poll(&p, 1, -1) < 0) return -errno;
  return -EAGAIN;
}

// A pipe or FIFO may block for ever: a forced shutdown cuts it short.
ssize_t oneRead(int fd, int residency, void* buf, size_t count) {
  if (residency == BRIX_QUOR_FILE) return quor_Read(fd, buf, count);
  if (residency == BRIX_REMOTE_FILE) {
    // The request for the count first, then the bytes.
    int eof = 0;
    int64_t rc = quor_ReadX(0x80000000u, fd, buf, count, &eof);
    if (rc < 0) return ssize_t(rc);
    return ssize_t(quor_ReadX(0, fd, buf, count, &eof));
  }
  brix_BlockingCall mark;
  ssize_t n = read(fd, buf, count);
  if (n >= 0) return n;
  if (errno == EAGAIN) return waitReady(fd, POLLIN);
  return -errno;
}

ssize_t oneWrite(int fd, int residency, const void* buf, size_t count) {
  if (residency == BRIX_QUOR_FILE) return quor_Write(fd, buf, count);
  if (residency == BRIX_REMOTE_FILE) {
    int64_t rc = quor_WriteX(0x80000000u, fd, buf, count);
    if (rc < 0) return ssize_t(rc);
    return ssize_t(quor_WriteX(0, fd, buf, count));
  }
  brix_BlockingCall mark;
  ssize_t n = write(fd, buf, count);
  if (n >= 0) return n;
  if (errno == EAGAIN) return waitReady(fd, POLLOUT);
  return -errno;
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
    if (err == EINTR && brix_shutdown_signalled) {
      brix_SetExitCode(72);
      return -1;
    }
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

// The directories leading to a file in the storage service: the deepest
// existing ancestor is found walking up, then each level below it is made
// (levels on the way get the owner's full access so the walk can go on).
int makeStoreSubdirs(char* path, mode_t mode) {
  static const char* fn = "brix_MakeAllSubdirs";
  char* last = strrchr(path, '/');
  if (!last || last == path) return 0;
  *last = '\0';
  int rc = 0;
  char* start = nullptr;
  for (char* p = strrchr(path, '/'); p && p != path; p = strrchr(path, '/')) {
    *p = '\0';
    quor_stat_t st;
    int s;
    do s = quor_Stat(path, &st);
    while (s == -EAGAIN);
    if (s == 0) {
      if (!S_ISDIR(st.st_mode)) {
        brix_Log(BRIX_MSG_ERROR, "%s: Error creating subdirs for QUOR archive path. Not a directory: %s", fn,
                 path);
        rc = -1;
      }
      start = p;
      break;
    }
    if (s == -ENOENT) continue;
    if (s == -EACCES)
      brix_Log(BRIX_MSG_ERROR, "%s: Access denied (QUOR permission problem) for %s", fn, path);
    else
      brix_Log(BRIX_MSG_ERROR, "%s: Error %d creating subdirs for %s", fn, s, path);
    rc = -1;
    start = p;
    break;
  }
  for (char* q = path; q < last; q++)
    if (*q == '\0') *q = '/';
  if (rc == 0) {
    char* from = start ? start + 1 : path + (path[0] == '/' ? 1 : 0);
    for (char* q = from; rc == 0; q++) {
      bool end = (*q == '\0');
      if (*q != '/' && !end) continue;
      char saved = *q;
      *q = '\0';
      mode_t m = end ? mode : (mode | 0700);
      for (;;) {
        quor_stat_t st;
        if (quor_Stat(path, &st) == 0 && S_ISDIR(st.st_mode)) break;
        int r = quor_Mkdir(path, m);
        if (r == 0 || r == -EEXIST) break;
        if (r == -EAGAIN) continue;
        if (r == -EPERM || r == -EACCES)
          brix_Log(BRIX_MSG_ERROR, "%s: Permission error creating intermediate QUOR subdirectory: %s", fn, path);
        else
          brix_Log(BRIX_MSG_ERROR, "%s: Error %d creating intermediate QUOR subdirectory: %s", fn, r, path);
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

// The directories leading to a file on the gateway host. Levels that cannot
// be made are reported; the create that follows then fails on its own.
int makeRemoteSubdirs(char* path, mode_t mode) {
  static const char* fn = "brix_MakeAllSubdirs";
  char* last = strrchr(path, '/');
  if (!last || last == path) return 0;
  *last = '\0';
  std::string dir(path);
  *last = '/';
  std::vector<std::string> missing;
  while (!dir.empty()) {
    struct stat64 st;
    int rc = ozugw_LfxStat(dir.c_str(), &st);
    if (rc == 0) {
      if (!S_ISDIR(st.st_mode))
        brix_Log(BRIX_MSG_ERROR, "%s: Error creating subdirs for remote archive path. Not a directory: %s", fn,
                 dir.c_str());
      break;
    }
    missing.push_back(dir);
    size_t cut = dir.rfind('/');
    if (cut == std::string::npos || cut == 0) break;
    dir.resize(cut);
  }
  for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
    int rc = ozugw_LfxMkdir(it->c_str(), mode | 0700);
    if (rc == 0 || rc == -17) continue;
    if (rc == -13 || rc == -1)
      brix_Log(BRIX_MSG_ERROR, "%s: Permission error creating intermediate remote subdirectory: %s", fn,
               it->c_str());
    else
      brix_Log(BRIX_MSG_ERROR, "%s: Error %d creating intermediate remote subdirectory: %s", fn, rc, it->c_str());
    break;
  }
  return 0;
}

// The hints of a new storage archive: its planned size, and the class asked
// for (11 when none is known, so the service never picks at random).
void archiveHints(quor_cos_hints_t* hints, quor_cos_priorities_t* pri) {
  memset(hints, 0, sizeof *hints);
  memset(pri, 0, sizeof *pri);
  hints->MinFileSize = hints->MaxFileSize = brix_archive_filesize;
  pri->MinFileSizePriority = pri->MaxFileSizePriority = 20;
  if (brix_archive_cosID > 0) {
    hints->COSId = unsigned(brix_archive_cosID);
    pri->COSIdPriority = 30;
  } else if (brix_archive_cosID == 0) {
    acct_rec_t def = 0, cur = 0;
    quor_GetAcct(&def, &cur);
    quorex_SelectCOS(nullptr, brix_archive_filesize, brix_UID, brix_GID, uint32_t(cur), copyCount,
                     long(brix_GetParentSubsysID(brix_archive_abs_path ? brix_archive_abs_path : brix_archive)),
                     hints, pri);
    if (hints->COSId > 0) brix_archive_cosID = int(hints->COSId);
  }
  if (hints->COSId == 0) {
    hints->COSId = 11;
    pri->COSIdPriority = 30;
  }
}

int createStoreArchive() {
  console_message("creating QUOR Archive file", brix_archive);
  quor_cos_hints_t hints, chosen;
  quor_cos_priorities_t pri;
  archiveHints(&hints, &pri);
  char text[32];
  if (brix_debug_level >= 1)
    fprintf(stderr, "[debug] Hints: COS ID=%d, priority=%d Size=%s\n", int(hints.COSId), int(pri.COSIdPriority),
            u64tostr_r(brix_archive_filesize, text));
  quor_Unlink(brix_archive);
  memset(&chosen, 0, sizeof chosen);
  int fd = quor_Open(brix_archive, O_WRONLY | O_CREAT | O_TRUNC, 0666, &hints, &pri, &chosen);
  console_message("", "");
  if (fd < 0) {
    if (fd == -ENOENT)
      brix_Log(BRIX_MSG_ERROR, "Nonexistent path (do you need -P?) creating archive file %s\n", brix_archive);
    else if (fd == -EPERM)
      brix_Log(BRIX_MSG_ERROR, "Permision error creating archive file %s\n", brix_archive);
    else
      brix_Log(BRIX_MSG_ERROR, "Error %d on quor_Open (create) for %s\n", fd, brix_archive);
    brix_SetExitCode(72);
    return -1;
  }
  brix_archive_fd = fd;
  if (brix_debug_level >= 1)
    fprintf(stderr, "[debug] successfully opened file for writing on FD=%d, COS=[%s] (%d)\n", fd, chosen.COSName,
            int(chosen.COSId));
  if (brix_archive_cosID > 0 && chosen.COSId != 0 && int(chosen.COSId) != brix_archive_cosID)
    brix_Log(BRIX_MSG_INFO, "[warning] File '%s' created on COS %d [%s] instead of specified COS %d\n",
             brix_archive, int(chosen.COSId), chosen.COSName, brix_archive_cosID);
  if (chosen.COSId != 0) brix_archive_cosID = int(chosen.COSId);
  if (brix_archive_familyid > 0) {
    int rc = brix_SetFamilyID(brix_archive, brix_archive_familyid);
    if (rc != 0)
      brix_Log(BRIX_MSG_INFO, "[warning] Error %d returned when trying to set family ID %d for File '%s'\n", rc,
               brix_archive_familyid, brix_archive);
  }
  struct stat st;
  if (brix_GetArchiveXAttrs(BRIX_QUOR_FILE, &st) != 0) {
    brix_SetExitCode(72);
    return -1;
  }
  quor_FreeXAttributes(&brix_archive_xattr);
  return brix_GetArchiveStripeInfo(0, &brix_archive_xattr);
}

}  // namespace

int brix_GetArchiveStripeInfo(int stageFlag, const quor_xfileattr_t* xattr) {
  int widest = 0, level = 0;
  bool found = false;
  for (level = 0; level < QUOR_MAX_LEVELS; level++) {
    widest = std::max(widest, int(xattr->SCAttrib[level].StripeWidth));
    if (xattr->SCAttrib[level].Flags & 0x4) {
      found = true;
      break;
    }
  }
  uint32_t op = brix_function;
  if (!found && op != BOP_CREATE && op != BOP_COPY && op != BOP_REPACK) {
    brix_Log(BRIX_MSG_INFO, "[warning] internal error - no data at any level of hierarchy for %s\n", brix_archive);
    brix_SetExitCode(72);
    return -1;
  }
  static const uint32_t stagingOps[] = {2, 3, 4, 7, 9, 11, 13};
  if (std::find(std::begin(stagingOps), std::end(stagingOps), op) == std::end(stagingOps)) stageFlag = 0;
  int used = (stageFlag && found) ? level : 0;
  int width = stageFlag ? widest : int(xattr->SCAttrib[0].StripeWidth);
  brix_optimum_access = int(xattr->SCAttrib[used].OptimumAccessSize);
  brix_archive_stripewidth = width > 0 ? width : 1;
  brix_archive_is_tape = found && !(xattr->SCAttrib[level].Flags & 0x1);
  if (brix_debug_level >= 1)
    fprintf(stderr, "[debug]SC[%d] stripe width: %d optimum access size: %d, %s tape\n", used,
            brix_archive_stripewidth, brix_optimum_access, brix_archive_is_tape ? "is" : "is NOT");
  return 0;
}

uint32_t brix_GetParentSubsysID(const char* path) {
  std::string parent = path ? path : "";
  if (parent.size() > 1025) parent.resize(1025);
  size_t slash = parent.rfind('/');
  parent = slash == std::string::npos ? "." : slash == 0 ? "/" : parent.substr(0, slash);
  quor_fileattr_t attr;
  memset(&attr, 0, sizeof attr);
  int rc = quor_FileGetAttributes(parent.c_str(), &attr);
  if (rc != 0) {
    brix_Log(BRIX_MSG_WARNING, "%s: error %d trying to obtain subsys ID for directory %s\n",
             "brix_GetParentSubsysID", rc, parent.c_str());
    return 0;
  }
  return attr.Attrs.SubSystemId;
}

int brix_SetFamilyID(const char* path, int familyId) {
  if (brix_debug_level >= 2) fprintf(stderr, "/debug/setting family ID for %s to %d\n", path, familyId);
  quor_fileattr_t in, out;
  memset(&in, 0, sizeof in);
  memset(&out, 0, sizeof out);
  in.Attrs.FamilyId = unsigned(familyId);
  int rc = quor_FileSetAttributes(path, quor_fileattrbits_t(1) << 52, &in, &out);
  if (rc != 0)
    brix_Log(BRIX_MSG_WARNING, "%s: Error %d trying to set family ID %d for %s\n", "brix_SetFamilyID", rc, familyId,
             path);
  return rc;
}

int brix_ExpireSetExpiration(const char* path) {
  static const char* fn = "brix_ExpireSetExpiration";
  if (!brix_config_opts.EnableFileExpiration) {
    if (brix_debug_level > 1)
      fprintf(stderr, "/debug/%s: Setting expiration times: disabled in brix_config_opts-not set for %s\n", fn, path);
    return 0;
  }
  quor_fileattr_t attr;
  memset(&attr, 0, sizeof attr);
  int rc = quor_FileGetAttributes(path, &attr);
  if (rc != 0) {
    brix_Log(BRIX_MSG_INFO, "*** %s: error %d on quor_FileGetAttributes call for '%s' - cannot set expiration\n", fn,
             rc, path);
    brix_SetExitCode(71);
    return rc;
  }
  uint64_t when = 0;
  if (quorex_ExpireLookupTime(&attr.Attrs, &when) != 0) {
    if (brix_debug_level > 1) fprintf(stderr, "/debug/%s: No expiration time defined for %s - not set\n", fn, path);
    return 0;
  }
  if (brix_debug_level > 1) {
    time_t t = time_t(when);
    char date[32];
    ctime_r(&t, date);
    fprintf(stderr, "/debug/%s: setting expiration time to %lu(%24.24s) for %s\n", fn, (unsigned long)when, date,
            path);
  }
  rc = ozugw_UdaSetExpiration(path, when);
  if (rc != 0) {
    brix_Log(BRIX_MSG_ERROR, "*** %s: error %d on ozugw_UdaSetExpiration call for '%s' - cannot set expiration\n", fn,
             rc, path);
    brix_SetExitCode(70);
    return rc;
  }
  return 0;
}

int brix_ResidencySupported(int residency) {
  if (residency == BRIX_LOCAL_FILE || residency == BRIX_PIPE) return 1;
  // Storage archives are written, read, and their indexes rewritten; remote
  // ones move through lfx.
  if (residency == BRIX_QUOR_FILE || residency == BRIX_REMOTE_FILE) return 1;
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
    if (err == EINTR && brix_shutdown_signalled) {
      brix_SetExitCode(72);
      return -1;
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
  char text[32];
  if (residency == BRIX_QUOR_FILE) {
    int noSpace = 0;
    for (;;) {
      uint64_t out = 0;
      int rc = quor_SetFileOffset(fd, offset, origin, direction, &out);
      if (rc == 0) {
        if (brix_debug_level >= 2)
          fprintf(stderr, "/debug/ returned offset from quor_SetFileOffset = %s\n", u64tostr_r(out, text));
        if (newOffset) *newOffset = out;
        return 0;
      }
      if (rc == -ENOSPC) {
        brix_Log(BRIX_MSG_WARNING, "\"No Space\" error seeking on QUOR-resident file - delaying/retrying");
        if (++noSpace > 5 || brix_shutdown_signalled) return -1;
        ozugw_ThreadSleep(BRIX_NOSPACE_WAIT, 0);
        continue;
      }
      brix_Log(BRIX_MSG_ERROR, "Error %d seeking on QUOR-resident file. Type=%s Dir=%s Offset=%s\n", rc,
               posToString(origin), directionToString(direction), u64tostr_r(offset, text));
      return -1;
    }
  }
  if (residency == BRIX_REMOTE_FILE) {
    if (offset == UINT64_MAX) {
      brix_Log(BRIX_MSG_ERROR,
               "*** %s: (internal error)Unable to convert offset %luto file position on this architecture\n",
               "brix_PositionFile", (unsigned long)offset);
      return -1;
    }
    int64_t rc = quor_Lseek(fd, int64_t(offset), origin);
    if (rc < 0) {
      errno = int(-rc);
      brix_perror("quor_Lseek");
      brix_Log(BRIX_MSG_ERROR, "Error %ld seeking on remote file. Type=%s Offset=%lu\n", long(rc),
               posToString(origin), (unsigned long)offset);
      return -1;
    }
    if (newOffset) *newOffset = uint64_t(rc);
    return 0;
  }
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
  if (residency == BRIX_QUOR_FILE) return makeStoreSubdirs(path, mode);
  if (residency == BRIX_REMOTE_FILE) return makeRemoteSubdirs(path, mode);
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
  if (brix_filetype == BRIX_QUOR_FILE) return createStoreArchive();
  if (brix_filetype == BRIX_REMOTE_FILE) {
    ozugw_LfxUnlink(brix_archive);
    if (brix_debug_level >= 2)
      fprintf(stderr, "[debug] creating Archive file %s on remote filesystem\n", brix_archive);
    int fd = quor_Open(brix_archive, O_WRONLY | O_CREAT | O_TRUNC, 0666, nullptr, nullptr, nullptr);
    if (fd < 0) {
      errno = -fd;
      brix_perror("Open Archive");
      brix_Log(BRIX_MSG_ERROR, "Error %d creating remote Archive: %s\n", fd, brix_archive);
      brix_SetExitCode(72);
      return -1;
    }
    brix_archive_fd = fd;
    return 0;
  }
  if (brix_debug_level >= 2)
    fprintf(stderr, "[debug] creating Archive file %s on local filesystem\n", brix_archive);
  // Not truncated here: the transfer writes over an old archive and cuts
  // off what is left of it at the end.
  int fd = open(brix_archive, O_RDWR | O_CREAT | O_NONBLOCK | O_CLOEXEC, 0666);
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
  if (residency == BRIX_QUOR_FILE) {
    quor_FreeXAttributes(&brix_archive_xattr);
    memset(&brix_archive_xattr, 0, sizeof brix_archive_xattr);
    int rc = quor_FileGetXAttributes(brix_archive, 8, 0, &brix_archive_xattr);
    if (rc == 0) {
      // Readers compare the archive's size with the index's.
      if (st) {
        memset(st, 0, sizeof *st);
        st->st_size = off_t(brix_archive_xattr.Attrs.DataLength);
        st->st_mode = S_IFREG | 0644;
      }
      return 0;
    }
    if (rc == -ENOENT)
      brix_Log(BRIX_MSG_ERROR, "[FATAL] no such QUOR archive file: %s\n", brix_archive);
    else if (rc == -EACCES)
      brix_Log(BRIX_MSG_ERROR, "[FATAL] no permission to access QUOR archive file: %s\n", brix_archive);
    else
      brix_Log(BRIX_MSG_ERROR, "[FATAL] error %d getting attributes for QUOR archive file %s\n", rc,
               brix_archive);
    brix_SetExitCode(72);
    return -1;
  }
  if (residency == BRIX_REMOTE_FILE) {
    struct stat64 rs;
    int rc = ozugw_LfxStat(brix_archive, &rs);
    if (rc != 0) {
      if (rc == -2)
        brix_Log(BRIX_MSG_ERROR, "[FATAL] no such remote archive file: %s\n", brix_archive);
      else if (rc == -13)
        brix_Log(BRIX_MSG_ERROR, "[FATAL] no permission to open remote archive file: %s\n", brix_archive);
      else {
        errno = -rc;
        brix_perror("stat");
        brix_Log(BRIX_MSG_ERROR, "[FATAL] error %d getting attributes for remote archive file %s\n", rc,
                 brix_archive);
      }
      brix_SetExitCode(72);
      return -1;
    }
    if (st) {
      memset(st, 0, sizeof *st);
      st->st_mode = rs.st_mode;
      st->st_size = off_t(rs.st_size);
      st->st_uid = rs.st_uid;
      st->st_gid = rs.st_gid;
      st->st_mtime = rs.st_mtime;
      st->st_nlink = rs.st_nlink;
    }
    return 0;
  }
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
  if (brix_filetype == BRIX_REMOTE_FILE) {
    if (!S_ISREG(st->st_mode)) {
      brix_Log(BRIX_MSG_ERROR, "[FATAL] Remote archive file %s is not a regular file\n", brix_archive);
      brix_SetExitCode(72);
      return -1;
    }
    int fd = quor_OpenX(1, brix_archive, flags, 0666, nullptr, nullptr, nullptr);
    if (fd < 0) {
      errno = -fd;
      brix_perror("open");
      brix_Log(BRIX_MSG_ERROR, "[FATAL] Error %d opening remote file %s\n", fd, brix_archive);
      brix_SetExitCode(72);
      return -1;
    }
    return fd;
  }
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
