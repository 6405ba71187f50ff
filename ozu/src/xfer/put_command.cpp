// The put family: put, mput, store, send, replace, cput and save. One body
// parses options and keywords, pairs local and storage names, expands
// wildcards, filters each file (age, update mode, the user's answer) and
// queues one store entry per file in its size class; detached workers run
// the per-file put driver.
#include <errno.h>
#include <stdarg.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "ozu_cmdframe.h"
#include "ozu_context.h"
#include "ozu_drive.h"
#include "ozu_errors.h"
#include "ozu_getopt.h"
#include "ozu_glob.h"
#include "ozu_keyset.h"
#include "ozu_locks.h"
#include "ozu_log.h"
#include "ozu_paths.h"
#include "ozu_prompt.h"
#include "ozu_util.h"
#include "ozu_walk.h"
#include "core/ozu_util.h"
#include "ozurc.h"
#include "ozuvars.h"
#include "quor_api.h"
#include "quor_convert.h"
#include "../ns/ns_commands.h"
#include "xfer_commands.h"
#include "xfer_put.h"
#include "xfer_queue.h"
#include "xfer_record.h"

namespace {

const char *putCommandOpts = "A:Bbc:dF:H:hM:n:PpQqRrT:tUuV:X:";

struct putState {
  int cputFlag = 0;
  int verifyflag = 0;
  int aborted = 0;
  time_t modifyTimestamp = 0;
  uint32_t transferFlags = 0;
  int max_active_xfers = 0;
  int cksumEnabled = 0;
  int cksumHashType = 0;
  int verificationLevel = 0;
  int localRunmode = 0;
  char *localPathName = nullptr;
  char *quorPathName = nullptr;
  char comment[256] = "";
  int enable_LFM = 0;
};
putState g;

void report(int code, int dest, const char *fmt, ...) __attribute__((format(printf, 3, 4)));
void report(int code, int dest, const char *fmt, ...)
{
  char msg[4200];
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(msg, sizeof msg, fmt, ap);
  va_end(ap);
  setExitResult(code, msg, dest);
}

void writeUsage(void)
{
  const char *a = verbAbbreviation ? verbAbbreviation : "p";
  const char *full = verb ? verb : "put";
  const char *rest = strlen(full) >= strlen(a) ? full + strlen(a) : "";
  fprintf(listF,
          "Usage: %s[%s] [-A \"string\"] [-B | -b] [-c on|off] [-d] [-F on|off] [-H type] [-h] [-M mode]\n"
          " [-n] [-P] [-p] [-Q] [-q] [-R | -r] [-T on|off] [-U | -u] [-V level] [-X max] path ...\n",
          a, rest);
  static const char *const help[] = {
      "  -A      : annotation string for QUOR file",
      "            (type \"annotate ?\"for more details)",
      "  -B | -b : backup option. Renames existing QUOR file by appending \"~\"",
      "  -c on|off: enable/disable checksum generation/verification (override ozurc setting)",
      "  -d      : remove local file(s) after successful transfer to QUOR",
      "  -F on|off: explicitly use or disable Local File Mover I/O, overriding the settings",
      "             based upon file size and the global enable/disable flag from the ozurc file",
      "  -R      : recursively store directories",
      "  -H type : set case-insensitive checksum hash type (none,sha1,sha224,sha256,sha384",
      "            sha512, md5, crc32, adler32 (overrides ozurc and compile time options)",
      "  -h      : symlink option. If specified, create symlink in QUOR if local symlink.",
      "            If not set, reads through local symlinks when copying files to QUOR",
      "  -M mode : specifies octal mode flags for file creation.",
      "  -n days : only put files modified within last \"days\" number of day",
      "  -P      : create intermediate QUOR subdirectories for the file if they do not exist ",
      "  -p      : preserve timestamp. Attempts to copy local file's timestamp to QUOR file",
      "  -Q      : If running as QUOR \"root user\", preserve local owner/group when",
      "            creating files and directories",
      "  -q      : like -p, but use current time at end of transfer as the <atime> value",
      "  -T on|off: explicitly use or disable Transfer Agent I/O, overriding the settings based",
      "             upon file size and the global enable/disable flag from the ozurc file",
      "  -t       : \"re-put\" option.  Restart a previously failed operation, using the size",
      "            of the QUOR file as the starting offset",
      "  -U | -u : update option. Only transfer file if QUOR/remote file does not exist",
      "            or the local file timestamp is newer",
      "             Note: cput or put -U also turns on -p to preserve the local file timestamp",
      "  -V level : set verification level after put (0: none, 1: cksum, 2: cmp 3: cmp+cksum)",
  };
  for (const char *line : help)
    fprintf(listF, "%s\n", line);
  fprintf(listF, "\n");
}

int WriteQueueThread(xfer_size_to_count_t *cls, sized_xfer_queue_t *e);

// Filters one file and queues its store entry. 0, the storage stat's error
// in update mode, or -1 after a failed worker start.
int doFile(struct stat *st, int isPipe, uint64_t localOffset, uint64_t storageOffset, uint64_t length)
{
  bool update = (minus_opt & 0x10000) != 0;
  if (!isPipe && (minus_opt & 0x100) && st->st_mtime < g.modifyTimestamp)
    return 0;
  if (isPipe && update) {
    fprintf(listF, "*** WARNING: cput (or put -U) is disabled for piped input files. \n Will not write to %s\n",
            g.quorPathName);
    return 0;
  }
  int result = 0;
  if (update) {
    quor_stat_t qs;
    const char *path = g.quorPathName;
    int rc = ozu_EioRetry([&] { return quor_Stat(path, &qs); });
    if (rc == 0) {
      if (!(minus_opt & 0x8000) && int64_t(qs.quor_st_mtime) >= int64_t(st->st_mtime))
        return 0;
    } else if (rc != -2) {
      setExitResult(72, quor_perror(rc, verb, path, nullptr), 7);
      result = rc;
    }
  }
  if (g.verifyflag) {
    switch (ozu_GetYesNo("mput", g.localPathName)) {
    case 0:
      break;
    case 1:
    case -1:
      g.verifyflag = 0;
      break;
    case 2:
      return result;
    default:
      g.aborted++;
      return result;
    }
  }
  uint64_t size = isPipe ? ~uint64_t(0) : uint64_t(st->st_size);
  auto *e = static_cast<sized_xfer_queue_t *>(calloc(1, sizeof(sized_xfer_queue_t)));
  auto *copy = static_cast<struct stat *>(malloc(sizeof(struct stat)));
  if (e == nullptr || copy == nullptr) {
    ozu_MallocError(long(sizeof(sized_xfer_queue_t)), "doFile", __FILE__, __LINE__);
    free(e);
    free(copy);
    interrupted = 1;
    return result;
  }
  *copy = *st;
  e->fileStat = copy;
  e->localPathName = strdup(g.localPathName);
  e->quorPathName = strdup(g.quorPathName);
  e->localOffset = localOffset;
  e->quorOffset = storageOffset;
  e->xferLength = length;
  e->xferSizeInx = ozu_GetXferSizeInx(size);
  e->xferFlags = g.transferFlags;
  e->conHandle = keyset && keyset->curContext ? keyset->curContext->handle : -1;
  if (e->localPathName == nullptr || e->quorPathName == nullptr || e->xferSizeInx < 0) {
    if (e->xferSizeInx >= 0) {
      ozu_MallocError(long(strlen(g.quorPathName)), "doFile", __FILE__, __LINE__);
      interrupted = 1;
    }
    ozu_FreeXferQueueEntry(e);
    return result;
  }
  if (ozu_QueueTransfer(e, g.max_active_xfers, WriteQueueThread) < 0) {
    report(78, 7, "***%s: (internal) thread create error: local file '%s'\n", "doFile", g.localPathName);
    interrupted = 1;
    return -1;
  }
  return result;
}

int WriteQueueThread(xfer_size_to_count_t *, sized_xfer_queue_t *e)
{
  transfer_t *ctl = getTransferEntry();
  if (ctl == nullptr) {
    report(70, 7, "*** %s: Error getting transfer entry - quitting\n", "WriteQueueThread");
    ozu_FreeXferQueueEntry(e);
    interrupted = 1;
    return -1;
  }
  ctl->xferOperation = IOP_PUT;
  ctl->Flags = e->xferFlags;
  ctl->xferSizeIndex = e->xferSizeInx;
  ctl->transferLength = e->xferLength;
  ctl->srcOffset = e->localOffset;
  ctl->sinkOffset = e->quorOffset;
  ctl->quorFile.quorPath = e->quorPathName;
  ctl->localFile.localPath = e->localPathName;
  ctl->quorFile.conHandle = e->conHandle;
  e->quorPathName = e->localPathName = nullptr;
  if (e->fileStat != nullptr) {
    ctl->localFile.localStat = *e->fileStat;
    ctl->localFile.haveStat = 1;
  }
  ozu_FreeXferQueueEntry(e);
  // The library speaks on the one current connection: a name found on
  // another is refused rather than stored on the wrong gateway.
  ozu_context_t *cur = keyset ? keyset->curContext : nullptr;
  if (ctl->quorFile.conHandle >= 0 && (cur == nullptr || cur->handle != ctl->quorFile.conHandle)) {
    report(70, 7, "*** %s: connection %d of '%s' is no longer current - not stored\n", "WriteQueueThread",
           ctl->quorFile.conHandle, ctl->quorFile.quorPath);
    freeXferCtl(ctl);
    return 0;
  }
  ozu_context_t *ctx = ozu_XferContext(ctl);
  ctl->serverRunmode = ctx ? int(ctx->siteInfo.server_runmode) : 1;
  if (ctl->serverRunmode == 0)
    ctl->serverRunmode = 1;
  if (ctl->Flags & FX_CKSUM_ENABLED) {
    ctl->hashInfo.ozuCksumType = g.cksumHashType;
    ctl->hashInfo.theHash = quor_HashCreate(quor_hash_type_t(g.cksumHashType));
    if (ctl->hashInfo.theHash == nullptr) {
      const char *name = ozu_CksumTypeToString(g.cksumHashType);
      report(72, 7, "***%s:quor_HashCreate failed for hash algorithm '%s' QUOR pathname '%s'\n",
             "WriteQueueThread", name ? name : "", ctl->quorFile.quorPath);
      freeXferCtl(ctl);
      interrupted = 1;
      return -1;
    }
  }
  int rc = writeQuorFile(ctl);
  if (rc == 0 && (minus_opt & 0x1)) {
    char expanded[256];
    if (ozu_ExpandAnnotationString(g.comment, ctl->quorFile.quorPath, expanded, 255) >= 0)
      rc = ozu_AnnotateObject(ctl->quorFile.quorPath, expanded);
  }
  freeXferCtl(ctl);
  if (rc == -1) {
    interrupted = 1;
    return -1;
  }
  return 0;
}

void freeNames(void)
{
  free(g.localPathName);
  free(g.quorPathName);
  g.localPathName = g.quorPathName = nullptr;
}

const char *typeText(mode_t m)
{
  if (S_ISFIFO(m))
    return "named pipe (fifo)";
  if (S_ISCHR(m))
    return "character special file";
  if (S_ISBLK(m))
    return "block special file";
  if (S_ISSOCK(m))
    return "socket";
  return "unrecognized type";
}

std::vector<std::string> heldDirNames;
void putWords(ozu_cmd_t *cmd);

// ---- symbolic links and directory trees ----

const char *sideName(void) { return g.localRunmode ? "REMOTE" : "QUOR"; }

// 1 when the storage (or gateway-side) object at path is a directory.
int isExistingDir(const char *path)
{
  int rc;
  bool dir = false;
  if (g.localRunmode) {
    struct stat64 st;
    rc = ozugw_LfxStat(path, &st);
    dir = rc == 0 && S_ISDIR(st.st_mode);
  } else {
    quor_stat_t st;
    rc = ozu_EioRetry([&] { return quor_Lstat(path, &st); });
    dir = rc == 0 && S_ISDIR(st.st_mode);
  }
  if (rc < 0) {
    report(70, 7, "***%s: Unexpected error %d on %s call for object %s", "isExistingDir", rc,
           g.localRunmode ? "ozugw_LfxStat" : "quor_Stat", path);
    return 0;
  }
  return dir ? 1 : 0;
}

// Recreates a local symbolic link at storagePath: 0 or -1.
int copySymlink(const char *localPath, const char *storagePath)
{
  const char *me = "copySymlink";
  char text[4097];
  ssize_t n = readlink(localPath, text, sizeof text - 1);
  if (n < 0) {
    report(64, 7, "*** Error %d reading local symlink %s", errno, localPath);
    return -1;
  }
  text[n] = '\0';
  // A link is stored whole or not at all: a cut text would point elsewhere.
  if (n > 1024) {
    setExitResult(72, quor_perror(-86, me, localPath, nullptr), 7);
    return -1;
  }
  int rc;
  mode_t type = 0;
  if (g.localRunmode) {
    struct stat64 st;
    rc = ozugw_LfxLstat(storagePath, &st);
    if (rc < 0)
      rc = -2;
    else
      type = st.st_mode & S_IFMT;
  } else {
    quor_stat_t st;
    rc = ozu_EioRetry([&] { return quor_Lstat(storagePath, &st); });
    if (rc == 0)
      type = mode_t(st.st_mode) & S_IFMT;
    else if (rc != -2) {
      setExitResult(64, quor_perror(rc, "quor_FileGetAttributes", storagePath, nullptr), 7);
      return -1;
    }
  }
  if (rc == 0) {
    if (type != S_IFREG && type != S_IFLNK) {
      if (g.localRunmode) {
        struct stat plain;
        memset(&plain, 0, sizeof plain);
        plain.st_mode = type;
        report(72, 7, "*** [%s] %s exists (%s) - cannot create symlink", me, storagePath,
               ozu_StatObjectTypeToString(&plain));
      } else {
        const char *what = type == S_IFBLK ? "BLOCK SPECIAL" : type == S_IFCHR ? "CHAR SPECIAL"
                           : type == S_IFDIR ? "DIRECTORY" : type == S_IFIFO ? "FIFO/SOCKET" : "(unknown)";
        report(72, 7, "*** [%s] QUOR %s object (%s) already exists - cannot overwrite with symlink", me,
               storagePath, what);
      }
      return -1;
    }
    if (keyset && keyset->backup) {
      std::string backup = storagePath;
      if (backup.size() > 1023) {
        setExitResult(72, quor_perror(-86, me, storagePath, nullptr), 7);
        return -1;
      }
      backup += "~";
      int r = g.localRunmode ? ozugw_LfxRename(storagePath, backup.c_str())
                             : ozu_EioRetry([&] { return quor_Rename(storagePath, backup.c_str()); });
      if (r < 0) {
        report(72, 7, "*** [%s] error %d renaming %s; cannot create symlink", me, r, storagePath);
        return -1;
      }
    } else if (type == S_IFREG) {
      report(72, 7, "*** [%s] %s file %s exists and backup=off,cannot create symlink", me,
             g.localRunmode ? "Remote" : "QUOR", storagePath);
      return -1;
    } else {
      int r = g.localRunmode ? ozugw_LfxUnlink(storagePath)
                             : ozu_EioRetry([&] { return quor_Unlink(storagePath); });
      if (r < 0) {
        report(72, 7, "*** [%s] Unable to remove existing symlink %s (error %d)", me, storagePath, r);
        return -1;
      }
    }
  }
  rc = g.localRunmode ? ozugw_LfxSymlink(text, storagePath)
                      : ozu_EioRetry([&] { return quor_Symlink(text, storagePath); });
  if (rc < 0) {
    setExitResult(64, quor_perror(rc, g.localRunmode ? "symlink" : "quor_Symlink", storagePath, nullptr), 7);
    return -1;
  }
  return 0;
}

// Creates (or finds) the storage directory name under the storage working
// directory, gives a new one the local mode and owner with -Q, and enters
// it. 0, or -1 with the interrupt set (a failure ends the command).
int makeAndEnterDir(const char *name, const struct stat *local, const char *who)
{
  bool owner = (g.transferFlags & FX_PRESERVE_OWNER) != 0;
  mode_t mode = owner ? mode_t((local->st_mode & 07777) | 0700)
                      : (keyset && keyset->curContext ? keyset->curContext->dcreateMode : 0755);
  char abs[4097];
  makeQUORpath_r(0, name, abs);
  int rc = g.localRunmode ? ozugw_LfxMkdir(abs, mode) : ozu_EioRetry([&] { return quor_Mkdir(abs, mode); });
  auto fail = [&]() {
    interrupted = 1;
    return -1;
  };
  if (rc < 0 && rc != -17) {
    setExitResult(70, quor_perror(rc, who ? (g.localRunmode ? "ozugw_LfxMkdir" : "quor_Mkdir") : "create QUOR subdir",
                                  name, nullptr), 7);
    return fail();
  }
  if (rc == -17 && !isExistingDir(abs)) {
    report(70, 7, "***%s:  Existing %s object %s is not a directory. Command aborted\n", who ? who : "putSubDir",
           sideName(), name);
    return fail();
  }
  if (rc == 0 && owner) {
    int c = g.localRunmode ? ozugw_lfxChmod(abs, mode) : ozu_EioRetry([&] { return quor_Chmod(abs, mode); });
    if (c < 0) {
      setExitResult(70, quor_perror(c, g.localRunmode ? "ozugw_lfxChmod" : "quor_Chmod", abs, nullptr), 7);
      return fail();
    }
    c = g.localRunmode ? ozugw_lfxChown(abs, local->st_uid, local->st_gid)
                       : ozu_EioRetry([&] { return quor_Chown(abs, local->st_uid, local->st_gid); });
    if (c < 0) {
      setExitResult(70, quor_perror(c, g.localRunmode ? "ozugw_lfxChown" : "quor_Chown", abs, nullptr), 7);
      return fail();
    }
  }
  // The gateway's own file system has no working directory to move; the
  // names the walk queues are absolute anyway.
  if (setcwdQUOR(keyset, 0, abs, g.localRunmode ? 0 : 1) != 0) {
    if (who)
      report(70, 7, "***%s: Error changing to %s directory `%s'", who, g.localRunmode ? "Remote" : "QUOR", name);
    else
      report(70, 7, "*** Error changing to %s directory `%s'", sideName(), name);
    return fail();
  }
  return 0;
}

int entCallback(struct dirent64 *, struct stat64 *st, int isdir, const char *, const char *fullpath)
{
  if (g.aborted)
    return -1;
  if (isdir)
    return 0;
  const char *slash = strrchr(fullpath, '/');
  const char *name = slash ? slash + 1 : fullpath;
  char abs[4097];
  makeQUORpath_r(0, name, abs);
  struct stat use;
  memcpy(&use, st, sizeof use);
  if (S_ISLNK(st->st_mode)) {
    if (minus_opt & 0x40) {
      copySymlink(fullpath, abs);
      return 0;
    }
    if (stat(fullpath, &use) != 0) {
      setExitResult(72, quor_perror(-errno, "stat (symlink)", fullpath, nullptr), 7);
      return 0;
    }
    if (!S_ISREG(use.st_mode)) {
      // Links to directories are recreated as links, never followed.
      copySymlink(fullpath, abs);
      return 0;
    }
  }
  if (S_ISREG(use.st_mode)) {
    ozu_PutQueueFile(fullpath, abs, &use);
  } else {
    setExitResult(0, quor_perror(0, "not a regular file-skipped", fullpath, nullptr), 7);
  }
  return 0;
}

int subdirCallback(const char *name, const char *, struct stat64 *st)
{
  ozu_WaitForInflightXfers();
  struct stat local;
  memcpy(&local, st, sizeof local);
  return makeAndEnterDir(name, &local, "subdirCallback");
}

void direndCallback(const char *)
{
  ozu_WaitForInflightXfers();
  std::string cwd = getcwdQUOR(0);
  size_t slash = cwd.rfind('/');
  std::string parent = slash == 0 ? "/" : slash == std::string::npos ? cwd : cwd.substr(0, slash);
  if (setcwdQUOR(keyset, 0, parent.c_str(), g.localRunmode ? 0 : 1) != 0)
    report(70, 7, "*** Error changing back to %s directory `%s'", sideName(), parent.c_str());
}

// Stores the local directory at path, with everything below it, under the
// storage working directory, which is the same again afterwards.
void putSubDir(const char *path)
{
  std::string start = getcwdQUOR(0);
  std::string local = path;
  while (local.size() > 1 && local.back() == '/')
    local.pop_back();
  size_t slash = local.rfind('/');
  std::string name = slash == std::string::npos ? local : local.substr(slash + 1);
  struct stat st;
  if (stat(local.c_str(), &st) != 0) {
    report(70, 7, "*** Error %d trying to stat local node '%s'", errno, local.c_str());
    interrupted = 1;
    return;
  }
  if (makeAndEnterDir(name.c_str(), &st, nullptr) == 0)
    readLocalDir(local.c_str(), 1, entCallback, subdirCallback, direndCallback);
  ozu_WaitForInflightXfers();
  if (start != getcwdQUOR(0) && setcwdQUOR(keyset, 0, start.c_str(), g.localRunmode ? 0 : 1) != 0)
    report(70, 7, "*** Error changing back to %s directory `%s'", sideName(), start.c_str());
}

// One local file or directory and its storage path (both set in g).
void oneEntry(const globstruct_t *m, bool *heldDirs)
{
  struct stat st;
  int rc = (minus_opt & 0x40) ? lstat(g.localPathName, &st) : stat(g.localPathName, &st);
  if (rc != 0) {
    if (errno == ENOENT)
      report(72, 7, "*** no such file: %s", g.localPathName);
    else
      report(72, 7, "*** error %d stat-ing local file %s", errno, g.localPathName);
    return;
  }
  if (S_ISDIR(st.st_mode)) {
    *heldDirs = true;
    if (!m->globbed && !(minus_opt & 0x2000))
      report(0, 7, "*** Warning: `%s' is a link to a directory - ignored unless -R is specified",
             g.localPathName);
    else if (minus_opt & 0x2000)
      heldDirNames.push_back(g.localPathName);
    return;
  }
  if (minus_opt & 0x200) {
    std::string parent = g.quorPathName;
    size_t slash = parent.rfind('/');
    if (slash != std::string::npos && slash > 0) {
      parent.resize(slash);
      mode_t mode = keyset && keyset->curContext ? keyset->curContext->dcreateMode : 0755;
      std::vector<char> buf(parent.begin(), parent.end());
      buf.push_back('\0');
      int e = ozu_MakeAllSubdirs(buf.data(), mode);
      if (e < 0) {
        report(72, 7, "*** error %d creating intermediate subdirs for %s", e, g.quorPathName);
        return;
      }
    }
  }
  if (S_ISLNK(st.st_mode)) {
    copySymlink(g.localPathName, g.quorPathName);
  } else if (S_ISREG(st.st_mode)) {
    doFile(&st, 0, 0, 0, 0);
  } else if (!m->globbed) {
    report(0, 7, "%s is a %s - skipped", g.localPathName, typeText(st.st_mode));
  }
}

// The directories of the last word, after every transfer queued before.
void storeHeldDirs(void)
{
  std::vector<std::string> dirs;
  dirs.swap(heldDirNames);
  if (dirs.empty() || interrupted || g.aborted)
    return;
  ozu_WaitForInflightXfers();
  for (const std::string &d : dirs) {
    if (interrupted || g.aborted)
      break;
    putSubDir(d.c_str());
  }
}

void putNames(ozu_cmd_t *cmd)
{
  heldDirNames.clear();
  putWords(cmd);
  storeHeldDirs();
}

void putWords(ozu_cmd_t *cmd)
{
  while (char *word = ozu_CmdNextName(cmd)) {
    storeHeldDirs();
    if (g.aborted)
      break;
    std::string local;
    bool pair = false;
    if (cmd->nextName < cmd->names.size() && strcmp(cmd->names[cmd->nextName], ":") == 0) {
      cmd->nextName++;
      char *remote = ozu_CmdNextName(cmd);
      if (remote == nullptr) {
        if (!interrupted)
          report(64, 7, "*** Missing QUOR path after %s :", word);
        return;
      }
      char buf[4097];
      local = expandWorkerPath(word, buf, sizeof buf) > 0 ? buf : word;
      pair = true;
      word = remote;
    }
    int plen = 0;
    if (ozu_CheckDrivePrefix(word, &plen) != nullptr && word[plen] == '\0') {
      log_MissingPathForDrive(word);
      continue;
    }
    char qpath[OZU_CMD_PATHLEN];
    if (ozu_CmdExpandPath(cmd, word, qpath) < 0)
      continue;
    if (pair && (local == "-" || local[0] == '|')) {
      char abs[4097];
      makeQUORpath_r(0, qpath, abs);
      g.localPathName = strdup(local.c_str());
      g.quorPathName = strdup(abs);
      struct stat st;
      memset(&st, 0, sizeof st);
      st.st_mode = S_IFIFO | 0400;
      st.st_mtime = time(nullptr);
      if (g.localPathName && g.quorPathName)
        doFile(&st, 1, 0, 0, 0);
      freeNames();
      continue;
    }
    if (pair) {
      int n = ozu_CmdGlob(cmd, local.c_str(), 0);
      if (n < 0)
        return;
      if (n == 0)
        continue;
      if (n > 1) {
        report(64, 7, "*** Ambiguous path: %s", local.c_str());
        continue;
      }
      local = globv[0].name;
      int q = ozu_CmdGlob(cmd, qpath, 1);
      if (q < 0)
        return;
      if (q > 1) {
        report(64, 7, "*** Ambiguous path: %s", word);
        continue;
      }
      char abs[4097];
      makeQUORpath_r(0, q == 1 ? globv[0].name : qpath, abs);
      g.localPathName = strdup(local.c_str());
      g.quorPathName = strdup(abs);
      globstruct_t m;
      memset(&m, 0, sizeof m);
      bool dirs = false;
      if (g.localPathName && g.quorPathName)
        oneEntry(&m, &dirs);
      freeNames();
      continue;
    }
    // Plain form: the local file named by the word's last component, in
    // the local working directory, stored under the word's path.
    std::string typed = qpath;
    size_t slash = typed.rfind('/');
    std::string dir = slash == std::string::npos ? std::string() : typed.substr(0, slash + 1);
    std::string pattern = slash == std::string::npos ? typed : typed.substr(slash + 1);
    int n = ozu_CmdGlob(cmd, pattern.c_str(), 0);
    if (n < 0)
      return;
    bool dirs = false;
    for (int i = 0; i < n && !interrupted && !g.aborted; ++i) {
      const globstruct_t *m = &globv[i];
      if (m->dir) {
        dirs = true;
        if (!m->globbed && !(minus_opt & 0x2000))
          report(0, 7, "*** Warning: `%s' is a directory - ignored unless -R is specified", m->name);
        else if (minus_opt & 0x2000)
          heldDirNames.push_back(m->name);
        continue;
      }
      const char *base = strrchr(m->name, '/');
      base = base ? base + 1 : m->name;
      char abs[4097];
      makeQUORpath_r(0, (dir + base).c_str(), abs);
      g.localPathName = strdup(base);
      g.quorPathName = strdup(abs);
      if (g.localPathName && g.quorPathName)
        oneEntry(m, &dirs);
      freeNames();
    }
  }
}

// Options and the flags they give: 0 to go on, -1 when the command ends.
int putOptions(ozu_cmd_t *cmd)
{
  bool bad = false;
  int c;
  int verification = 0;
  int hashType = -1;
  while (!bad && (c = ozu_CmdOption(cmd, putCommandOpts, nullptr)) != OZU_OPT_END) {
    const char *v = ozu_optarg ? ozu_optarg : "";
    auto onOff = [&](int *value, const char *msg) {
      if (strcasecmp(v, "on") == 0)
        *value = 1;
      else if (strcasecmp(v, "off") == 0)
        *value = 0;
      else {
        report(64, 7, msg, v);
        bad = true;
      }
    };
    switch (c) {
    case 'A':
      if (*v == '\0') {
        fprintf(errFile, "*** warning: empty annotation string ignored\n");
      } else {
        minus_opt |= 0x1;
        snprintf(g.comment, sizeof g.comment, "%s", v);
      }
      break;
    case 'B': case 'b': minus_opt |= 0x2; break;
    case 'c':
      minus_opt |= 0x4;
      onOff(&g.cksumEnabled, "*** unrecognized -c argument \"%s\" - expecting \"on\" or \"off\"");
      break;
    case 'd': minus_opt |= 0x8; break;
    case 'F':
      minus_opt |= 0x10;
      onOff(&g.enable_LFM, "*** unrecognized -F argument \"%s\" - expecting \"on\" or \"off\"");
      break;
    case 'H': {
      int t = ozu_ConvertCksumType(v);
      if (t < 0) {
        report(64, 7, "*** unrecognized -H hash type \"%s\"\n", v);
        bad = true;
      } else {
        minus_opt |= 0x20;
        hashType = t;
      }
      break;
    }
    case 'h': minus_opt |= 0x40; break;
    case 'M': {
      int m = atooctal(v);
      if (m >= 0 && m <= 0777) {
        if (keyset && keyset->curContext)
          keyset->curContext->fcreateMode = mode_t(m);
      } else {
        fprintf(errFile, "*** invalid invalid file create mode value: `%s' ignored", v);
      }
      break;
    }
    case 'n': {
      char *end = nullptr;
      long days = strtol(v, &end, 10);
      if (end == v || *end != '\0' || days <= 0) {
        report(64, 7, "*** Error: invalid \"number of days\" value: %s", v);
        bad = true;
      } else {
        minus_opt |= 0x100;
        g.modifyTimestamp = time(nullptr) - time_t(days) * 86400;
      }
      break;
    }
    case 'P': minus_opt |= 0x200; break;
    case 'p': minus_opt |= 0x400; break;
    case 'Q': minus_opt |= 0x1000; break;
    case 'q': minus_opt |= 0x800; break;
    case 'R': case 'r': minus_opt |= 0x2000; break;
    case 'T':
      if (strcasecmp(v, "on") == 0) {
        report(0, 7, "*** Warning: OZU was built with OZU_TRANSFER_AGENT_SUPPORT disabled.  Ignoring \"-T\" option");
      } else if (strcasecmp(v, "off") == 0) {
        minus_opt |= 0x4000;
      } else {
        report(64, 7, "*** unrecognized -T argument \"%s\" - expecting \"on\" or \"off\"", v);
        bad = true;
      }
      break;
    case 't': minus_opt |= 0x8000; break;
    case 'U': case 'u': minus_opt |= 0x10000; break;
    case 'V': {
      char *end = nullptr;
      long level = strtol(v, &end, 10);
      if (end == v || *end != '\0' || level < 0 || level > 3) {
        report(64, 7, "*** unrecognized -V argument \"%s\" - level must be between 0 and 3\n", v);
        bad = true;
      } else {
        minus_opt |= 0x20000;
        verification = int(level);
      }
      break;
    }
    case 'X': {
      long n = strtol(v, nullptr, 10);
      if (n >= 1 && (g.max_active_xfers <= 0 || n < g.max_active_xfers))
        g.max_active_xfers = int(n);
      break;
    }
    case OZU_OPT_REJECTED:
      break;
    default:
      fprintf(errFile, "Unknown option or missing argument: '%c' ignored\n", ozu_optopt);
      break;
    }
  }
  if (bad)
    return -1;
  g.verificationLevel = verification;
  if (hashType >= 0)
    g.cksumHashType = hashType;
  uint32_t f = 0;
  if (minus_opt & 0x10)
    f |= g.enable_LFM ? FX_USE_LFM_IO : FX_DISABLE_LFM_IO;
  if (minus_opt & 0x4000)
    f |= FX_DISABLE_TA_IO;
  if ((minus_opt & 0x2) && keyset)
    keyset->backup = 1;
  if (g.cputFlag)
    minus_opt |= 0x10000;
  if (minus_opt & 0x10000)
    minus_opt |= 0x400;
  if (minus_opt & 0x400)
    f |= FX_PRESERVE_TIME;
  if (minus_opt & 0x800)
    f |= FX_PRESERVE_TIME | FX_CURRENT_TIME;
  ozu_context_t *ctx = keyset ? keyset->curContext : nullptr;
  if ((minus_opt & 0x1000) && ctx && ctx->curLogin.uid == ctx->rootUid)
    f |= FX_PRESERVE_OWNER;
  if (minus_opt & 0x8000)
    f |= FX_RETRANSFER_REQ;
  if ((minus_opt & 0x2000) && (minus_opt & 0x8000)) {
    report(64, 7, "*** Cannot specify recursion with partial file transfers");
    return -1;
  }
  if (g.cksumHashType == 0)
    g.cksumEnabled = 0;
  if (g.cksumEnabled) {
    if (minus_opt & 0x8000)
      report(0, 7, "*** WARNING: Checksumming is disabled for partial file transfers");
    else
      f |= FX_CKSUM_ENABLED;
  }
  if (minus_opt & 0x8)
    f |= FX_DELETE_AFTER;
  g.transferFlags = f;
  if (g.max_active_xfers == 0)
    g.max_active_xfers = 20;
  return 0;
}

int saveStoreCommand(char *cc, int cclen)
{
  actionVerb = "written";
  ozu_context_t *ctx = keyset ? keyset->curContext : nullptr;
  site_connection_t *site = ctx ? ctx->siteEntry : nullptr;
  int disabled = site ? site->disableWrites : globalDefs.disableWrites;
  const char *disabledMsg = site ? site->disableWritesMsg : globalDefs.disableWritesMsg;
  if (disabled) {
    report(69, 7, "%s\n", disabledMsg ? disabledMsg : "");
    g.verifyflag = g.aborted = 0;
    return 1;
  }
  bool launched = false;
  {
    ozu_cmd_t cmd(cc, cclen);
    g.localRunmode = ctx && ctx->siteInfo.server_runmode == 2;
    ozu_ResetActiveXfers();
    g.max_active_xfers = ozu_GetMaxXfers();
    g.cksumEnabled = g.localRunmode ? 0 : (ctx ? ctx->cksumEnabled : 0);
    g.cksumHashType = g.localRunmode ? 0 : (ctx ? ctx->cksumHashType : 0);
    g.verificationLevel = 0;
    g.comment[0] = '\0';
    freeNames();
    if (cmd.argc == 0) {
      writeUsage();
    } else if (putOptions(&cmd) == 0 && ozu_CmdKeywords(&cmd, OZU_KW_UNKNOWN_IS_NAME) == 0) {
      if (cmd.names.empty()) {
        missingObjectsMsg();
      } else {
        ozu_LaunchXferProgressThread();
        launched = true;
        if (g.localRunmode)
          ozu_LFX_CmdInit();
        putNames(&cmd);
      }
    }
    // Every transfer ends before the connection is switched back or
    // anything the workers read is released.
    ozu_WaitForInflightXfers();
    if (launched && g.localRunmode)
      ozu_LFX_CmdComplete();
    if (launched)
      ozu_StopXferProgressThread();
    freeNames();
  }
  g.verifyflag = g.aborted = 0;
  return 1;
}

}  // namespace

int ozu_PutQueueFile(const char *localPath, const char *quorPath, struct stat *st)
{
  char *l = strdup(localPath), *q = strdup(quorPath);
  if (l == nullptr || q == nullptr) {
    free(l);
    free(q);
    ozu_MallocError(long(strlen(quorPath)), "ozu_PutQueueFile", __FILE__, __LINE__);
    return -12;
  }
  char *savedL = g.localPathName, *savedQ = g.quorPathName;
  g.localPathName = l;
  g.quorPathName = q;
  int rc = doFile(st, 0, 0, 0, 0);
  free(l);
  free(q);
  g.localPathName = savedL;
  g.quorPathName = savedQ;
  return rc;
}

int ozu_PutCommand(char *cc, int cclen)
{
  g.cputFlag = 0;
  return saveStoreCommand(cc, cclen);
}

int ozu_CputCommand(char *cc, int cclen)
{
  g.cputFlag = 1;
  return saveStoreCommand(cc, cclen);
}

int ozu_MputCommand(char *cc, int cclen)
{
  g.verifyflag = 1;
  return ozu_PutCommand(cc, cclen);
}
