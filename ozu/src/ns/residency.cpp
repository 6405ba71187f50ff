// Where a file's data lives: migrate and purge ask the storage service to
// move it down the hierarchy or drop a level's copy; plock and punlock set
// and clear the purge lock that keeps it on disk.
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "ns_commands.h"
#include "ozu_cmdframe.h"
#include "ozu_errors.h"
#include "ozu_getopt.h"
#include "ozu_glob.h"
#include "ozu_log.h"
#include "ozu_misc.h"
#include "ozu_util.h"
#include "ozuvars.h"
#include "quor_api.h"

namespace {

#define MAX_LEVEL 4
#define MIG_FORCE 0x1
#define MIG_RECURSE 0x2
#define MIG_PURGE 0x4
#define MIG_FOLLOW 0x8
#define MIG_STAGE 0x10

#define PLOCK_STAGE 0x1
#define PLOCK_RECURSE 0x2
#define PLOCK_FOLLOW 0x4

// The selection bit of OptionFlags in a set-attributes mask.
const quor_fileattrbits_t OPTION_FLAGS_BIT = quor_fileattrbits_t(1) << 41;

uint32_t storageLevel = 0;
int purgeLockSetting = 0;
int options = 0;
bool purging = false;  // purge, else migrate

void unknownOption(int c)
{
  fprintf(stderr, "Unknown option or missing argument: '%c' ignored\n",
          c == '?' || c == ':' ? ozu_optopt : c);
}

void migrateUsage()
{
  fprintf(listF, "Usage: mig[rate] [-h] [- L level | -l level] [-F | -f] [-P | -p] [-R] [-S] path ...\n");
  fprintf(listF, "  -F, -f  force the migration even if it is not needed\n");
  fprintf(listF, "  -L, -l  hierarchy level to migrate from\n");
  fprintf(listF, "          The valid range is 0 (default) to %d\n", MAX_LEVEL);
  fprintf(listF, "  -P, -p  purge the disk copy after the migration\n");
  fprintf(listF, "  -R      descend directories recursively\n");
  fprintf(listF, "  -S      allow staging when the level holds no data\n");
  fprintf(listF, "  -h      migrate a named symbolic link like a file\n");
}

void purgeUsage()
{
  fprintf(listF, "Usage: purge [-R] [-h] path ...\n");
  fprintf(listF, "  -R  descend directories recursively\n");
  fprintf(listF, "  -F  force purge to occur\n");
  fprintf(listF, "  -h  purge a named symbolic link like a file\n");
  fprintf(listF, "  -l  hierarchy level to purge from\n");
  fprintf(listF, "      The valid range is 0 (default) to %d\n", MAX_LEVEL);
}

void purgeLockUsage()
{
  fprintf(listF, "Usage: plo[ck] [-h] [-R] [-s] path ...\n");
  fprintf(listF, "  -h  lock the target of a symbolic link\n");
  fprintf(listF, "  -R  descend directories recursively\n");
  fprintf(listF, "  -s  stage a file with no data on disk before locking it\n");
}

void purgeUnlockUsage()
{
  fprintf(listF, "Usage: punl[ock] [-h] [-R] path ...\n");
  fprintf(listF, "  -h  unlock the target of a symbolic link\n");
  fprintf(listF, "  -R  descend directories recursively\n");
}

// "1,234,567"
std::string withCommas(uint64_t n)
{
  std::string digits = std::to_string(n);
  std::string out;
  for (size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && (digits.size() - i) % 3 == 0)
      out += ',';
    out += digits[i];
  }
  return out;
}

void debugSay(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
void debugSay(const char *fmt, ...)
{
  if (debug < 1)
    return;
  va_list ap;
  va_start(ap, fmt);
  vfprintf(listF, fmt, ap);
  va_end(ap);
  fputc('\n', listF);
}

// Migrates or purges one file; named says it came from the command line.
void migrateOrPurge(const char *path, bool named, bool isLink = false)
{
  quor_xfileattr_t xa;
  memset(&xa, 0, sizeof xa);
  uint32_t level = storageLevel;
  int rc = ozu_EioRetry([&] { return quor_FileGetXAttributes(path, 1, level, &xa); });
  if (rc < 0) {
    setExitResult(72, quor_perror(rc, verb, path, nullptr), 7);
    return;
  }
  quor_FreeXAttributes(&xa);
  uint32_t type = xa.Attrs.Type;
  const char *typeName = quor_ObjectTypeToString(type);
  if (type != 129 && type != 130 && type != 131) {
    if (named)
      ozu_ReportExit(0, "*** %s is a %s - skipped", path, typeName ? typeName : "object");
    else
      debugSay("/debug/ %s is a %s - skipped", path, typeName ? typeName : "object");
    return;
  }
  if ((type == 130 || isLink) && named && !(options & MIG_FOLLOW)) {
    ozu_ReportExit(0, "*** %s is a symlink - skipped", path);
    return;
  }
  if (purging || !(options & MIG_STAGE)) {
    uint32_t flags = xa.SCAttrib[level].Flags;
    if (!(flags & 0x1)) {
      if (named)
        ozu_ReportExit(0, "*** %s: hierarchy level %d is not \"disk\" - file skipped", path, int(level));
      else
        debugSay("/debug/ %s: hierarchy level %d is not \"disk\" - file skipped", path, int(level));
      return;
    }
    if (!(flags & 0x4)) {
      if (named)
        ozu_ReportExit(0, "*** %s: no data at hierarchy level %d- file skipped", path, int(level));
      else
        debugSay("/debug/ %s: no data at hierarchy level %d- file skipped", path, int(level));
      return;
    }
  }
  int oflag = O_WRONLY;
  if (purging || !(options & MIG_STAGE))
    oflag |= O_NONBLOCK;
  int fd = ozu_EioRetry([&] { return quor_Open(path, oflag, 0, nullptr, nullptr, nullptr); });
  if (fd < 0) {
    setExitResult(72, quor_perror(fd, verb, path, nullptr), 7);
    return;
  }
  uint64_t bytes = 0;
  if (purging) {
    uint32_t flags = (options & MIG_FORCE) ? 6 : 2;
    rc = ozu_EioRetry([&] { return quor_Purge(fd, 0, 0, level, flags, &bytes); });
    if (rc < 0)
      setExitResult(72, quor_perror(rc, named ? "quor_Purge" : verb, path, nullptr), 7);
    else if (named)
      ozu_ReportExit(0, "%s: purged %s bytes", path, withCommas(bytes).c_str());
    else
      ozu_ReportExit(0, "File %s: %s bytes purged from disk cache", path, withCommas(bytes).c_str());
  } else {
    uint32_t flags = ((options & MIG_FORCE) ? 6 : 2) | ((options & MIG_PURGE) ? 8 : 0);
    rc = ozu_EioRetry([&] { return quor_Migrate(fd, level, flags, &bytes); });
    if (rc < 0)
      setExitResult(72, quor_perror(rc, "quor_Migrate", path, nullptr), 7);
    else
      ozu_ReportExit(0, "%s: migrated %s bytes", path, withCommas(bytes).c_str());
  }
  ozu_EioRetry([&] { return quor_Close(fd); });
}

int migrateEntCallback(ns_DirEntry_t *ent, int isdir, const char *, const char *fullpath)
{
  if (interrupted)
    return -1;
  if (!isdir && ent->Attrs.Type != 132)
    migrateOrPurge(fullpath, false);
  return 0;
}

// Relative link text names a path beside the link, not beside the working
// directory.
std::string linkTarget(const char *linkPath, const char *text)
{
  if (text[0] == '/')
    return text;
  std::string dir = linkPath;
  size_t cut = dir.rfind('/');
  dir = cut == std::string::npos ? std::string(".") : (cut == 0 ? std::string("/") : dir.substr(0, cut));
  if (dir.back() != '/')
    dir += '/';
  return dir + text;
}

// The target of a link: 0 with *target, or -1 after the message.
int readLinkTarget(const char *path, bool retry, std::string *target)
{
  char buf[1025];
  int rc = retry ? ozu_EioRetry([&] { return quor_Readlink(path, buf, sizeof buf); })
                 : quor_Readlink(path, buf, sizeof buf);
  if (rc < 0) {
    setExitResult(74, quor_perror(rc, "read symbolic link", path, nullptr), 7);
    return -1;
  }
  buf[rc < int(sizeof buf) ? rc : int(sizeof buf) - 1] = '\0';
  *target = linkTarget(path, buf);
  return 0;
}

void ozu_SetNoPurgeAttr(quor_fileattr_t *attrs, int value, quor_fileattrbits_t *mask)
{
  if (value)
    attrs->Attrs.OptionFlags |= 0x1;
  else
    attrs->Attrs.OptionFlags &= ~uint32_t(0x1);
  *mask |= OPTION_FLAGS_BIT;
}

int ozu_SetPurgeLock(const char *path)
{
  if (debug >= 1)
    fprintf(listF, "/debug/setting purge%slock flag for %s\n", purgeLockSetting ? "" : "un", path);
  quor_xfileattr_t xa;
  memset(&xa, 0, sizeof xa);
  int rc = ozu_EioRetry([&] { return quor_FileGetXAttributes(path, 8, 0, &xa); });
  if (rc < 0) {
    setExitResult(70, quor_perror(rc, "getting extended attributes", path, nullptr), 7);
    return -1;
  }
  bool onDisk = false;
  for (int lv = 0; lv < QUOR_MAX_LEVELS; ++lv) {
    uint32_t f = xa.SCAttrib[lv].Flags;
    if ((f & 0x1) && (f & 0x4)) {
      onDisk = true;
      break;
    }
    if (f & 0x2)
      break;
  }
  quor_FreeXAttributes(&xa);
  bool status = false;
  if (!onDisk) {
    if (!purgeLockSetting) {
      if (debug >= 2)
        fprintf(listF, "/debug/file %s does not have any data on disk\n", path);
      return -1;
    }
    if (!(options & PLOCK_STAGE)) {
      if (debug >= 2)
        fprintf(listF, "/debug/file %s not on disk, and <stage> is off - skipping\n", path);
      return -1;
    }
    char msg[1200];
    snprintf(msg, sizeof msg, "opening tape-resident file %s\n", path);
    ozu_ConsoleMessage(msg);
    status = true;
  }
  int result = -1;
  int fd = quor_Open(path, O_RDONLY, 0666, nullptr, nullptr, nullptr);
  if (fd < 0) {
    setExitResult(70, quor_perror(fd, "quor_Open", path, nullptr), 7);
  } else {
    quor_fileattr_t fa;
    memset(&fa, 0, sizeof fa);
    fa.ObjectHandle = xa.ObjectHandle;
    fa.Attrs = xa.Attrs;
    quor_fileattrbits_t mask = 0;
    ozu_SetNoPurgeAttr(&fa, purgeLockSetting, &mask);
    quor_fileattr_t out;
    rc = ozu_EioRetry([&] { return quor_FileSetAttributes(path, mask, &fa, &out); });
    if (rc < 0)
      setExitResult(70, quor_perror(rc, "setting BFS attributes", path, nullptr), 7);
    else
      result = 0;
    rc = ozu_EioRetry([&] { return quor_Close(fd); });
    if (rc < 0)
      setExitResult(70, quor_perror(rc, "quor_Close", path, nullptr), 7);
  }
  if (status)
    ozu_ConsoleMessage(" ");
  return result;
}

int plockEntCallback(ns_DirEntry_t *ent, int isdir, const char *, const char *fullpath)
{
  if (interrupted)
    return -1;
  if (isdir)
    return 0;
  uint32_t type = ent->Attrs.Type;
  if (type == 129 || type == 131) {
    ozu_SetPurgeLock(fullpath);
  } else if (type == 130 && (options & PLOCK_FOLLOW)) {
    std::string target;
    if (readLinkTarget(fullpath, true, &target) == 0)
      ozu_SetPurgeLock(target.c_str());
  }
  return 0;
}

// The frame all four share: paths, wildcard matches, directories walked
// with -R. recurseBit is the command's -R bit.
void eachPath(ozu_cmd_t *cmd, int recurseBit, bool quotedWarning,
              const std::function<void(const globstruct_t &)> &one, quordir_ent_func_t walker)
{
  std::vector<std::string> dirs;
  ozu_each_t how;
  how.match = [&](const globstruct_t &g) {
    if (g.dir) {
      dirs.push_back(g.name);
      if (!g.globbed && !(options & recurseBit)) {
        std::string msg = quotedWarning
                              ? "*** Warning: `" + std::string(g.name) + "' is a directory - skipped"
                              : "*** Warning: " + std::string(g.name) + " is a directory - skipped";
        setExitResult(0, msg.c_str(), 7);
      }
      return;
    }
    one(g);
  };
  how.done = [&] {
    if (options & recurseBit) {
      cmd->recurse = 1;
      for (const std::string &d : dirs)
        if (!interrupted)
          ozu_CmdWalk(cmd, d.c_str(), walker, nullptr, nullptr);
    }
    dirs.clear();
  };
  ozu_CmdEachMatch(cmd, ozu_CmdNextName(cmd), how);
}

uint32_t levelOf(const char *text)
{
  char *end = nullptr;
  long v = strtol(text, &end, 10);
  if (*text == '\0' || *end != '\0' || v < 0 || v > MAX_LEVEL) {
    char msg[120];
    snprintf(msg, sizeof msg, "*** Storage class level must be between 0 and %d. 0 will be used",
             MAX_LEVEL);
    setExitResult(0, msg, 7);
    return 0;
  }
  return uint32_t(v);
}

int migratePurge(char *cc, int cclen, bool purge)
{
  purging = purge;
  storageLevel = 0;
  options = 0;
  ozu_cmd_t cmd(cc, cclen);
  if (cmd.argc == 0) {
    if (purge)
      purgeUsage();
    else
      migrateUsage();
    return 1;
  }
  const char *letters = purge ? "fhl:L:R" : "fFhl:L:pPRS";
  for (int c; (c = ozu_CmdOption(&cmd, letters, nullptr)) != OZU_OPT_END;) {
    switch (c) {
    case 'f': case 'F': options |= MIG_FORCE; break;
    case 'h': options |= MIG_FOLLOW; break;
    case 'l': case 'L': storageLevel = levelOf(ozu_optarg); break;
    case 'p': case 'P': options |= MIG_PURGE; break;
    case 'R': options |= MIG_RECURSE; break;
    case 'S': options |= MIG_STAGE; break;
    default: unknownOption(c); break;
    }
  }
  if (ozu_CmdKeywords(&cmd, OZU_KW_UNKNOWN_IS_NAME) < 0)
    return 1;
  if (cmd.nextName >= cmd.names.size()) {
    missingObjectsMsg();
    return 1;
  }
  eachPath(&cmd, MIG_RECURSE, false, [](const globstruct_t &g) { migrateOrPurge(g.name, true, g.symlink); },
           migrateEntCallback);
  return 1;
}

int common_PurgeLockCommand(char *cc, int cclen)
{
  options = 0;
  ozu_cmd_t cmd(cc, cclen);
  if (cmd.argc == 0) {
    if (purgeLockSetting)
      purgeLockUsage();
    else
      purgeUnlockUsage();
    return 1;
  }
  const char *letters = purgeLockSetting ? "hRs" : "hR";
  for (int c; (c = ozu_CmdOption(&cmd, letters, nullptr)) != OZU_OPT_END;) {
    switch (c) {
    case 's': options |= PLOCK_STAGE; break;
    case 'R': options |= PLOCK_RECURSE; break;
    case 'h': options |= PLOCK_FOLLOW; break;
    default: unknownOption(c); break;
    }
  }
  if (ozu_CmdKeywords(&cmd, OZU_KW_UNKNOWN_IS_NAME) < 0)
    return 1;
  if (cmd.nextName >= cmd.names.size()) {
    missingObjectsMsg();
    return 1;
  }
  eachPath(&cmd, PLOCK_RECURSE, true,
           [](const globstruct_t &g) {
             if (!g.symlink) {
               ozu_SetPurgeLock(g.name);
               return;
             }
             if (!(options & PLOCK_FOLLOW)) {
               if (debug >= 2)
                 fprintf(listF, "/debug/skipping symlink %s\n", g.name);
               return;
             }
             std::string target;
             if (readLinkTarget(g.name, false, &target) == 0)
               ozu_SetPurgeLock(target.c_str());
           },
           plockEntCallback);
  return 1;
}

}  // namespace

int ozu_MigrateCommand(char *cc, int cclen)
{
  return migratePurge(cc, cclen, false);
}

int ozu_PurgeCommand(char *cc, int cclen)
{
  return migratePurge(cc, cclen, true);
}

int ozu_PurgeLockCommand(char *cc, int cclen)
{
  purgeLockSetting = 1;
  return common_PurgeLockCommand(cc, cclen);
}

int ozu_PurgeUnlockCommand(char *cc, int cclen)
{
  purgeLockSetting = 0;
  return common_PurgeLockCommand(cc, cclen);
}
