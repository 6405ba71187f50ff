// crename: a new file takes the place of an old one of the same size on
// one connection. Every check comes before the first change; the new file
// gets the old one's owner, mode and times, the old file moves to a backup
// name and the new one to its name. A failed second rename puts the old
// file back.
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <utime.h>

#include <string>

#include "copy_engine.h"
#include "ozu_cmdframe.h"
#include "ozu_connect.h"
#include "ozu_context.h"
#include "ozu_errors.h"
#include "ozu_getopt.h"
#include "ozu_glob.h"
#include "ozu_log.h"
#include "ozu_paths.h"
#include "ozu_util.h"
#include "ozuvars.h"
#include "quor_api.h"
#include "quor_convert.h"
#include "xfer_commands.h"

namespace {

const char *const keywordList[] = {"ocos:", "ncos:", nullptr};

void crenameUsage(void)
{
  fprintf(listF, "Usage: cren[ame] [-d] [-s string] [-ocos cosid[,cosid ...]] [-ncos cosid[,cosid ...]] new_path orig_path\n");
  fprintf(listF, "  -d     : delete original file if the rename operation succeeds\n");
  fprintf(listF, "  -s     : suffix string to use for renaming existing file. Default is \"~\"\n");
  fprintf(listF, "  -ocos  : Filter option. If specified, the Class of Service for \"orig_path\" must be\n");
  fprintf(listF, "           one of the comma-separated COS IDs specified, or the command will fail.\n");
  fprintf(listF, "  -ncos  : Filter option. If specified, the Class of Service for \"new_path\" must be\n");
  fprintf(listF, "           one of the comma-separated COS IDs specified, or the command will fail.\n");
  fprintf(listF, "\n");
}

int curHandle(void) { return keyset && keyset->curContext ? keyset->curContext->handle : -1; }

// One operand: expanded (it may switch the connection), exactly one match,
// a regular file. 0 with *out set, or -1 after the message.
int oneFile(ozu_cmd_t *cmd, const char *word, std::string *out)
{
  char path[OZU_CMD_PATHLEN];
  if (ozu_CmdExpandPath(cmd, word, path) < 0)
    return -1;
  int n = ozu_CmdGlob(cmd, path, 1);
  if (n < 0 || globInx == 0)
    return -1;
  if (globInx > 1) {
    ozu_ReportExit(64, "*** Ambiguous path: %s", word);
    return -1;
  }
  char abs[4097];
  const char *a = makeQUORpath_r(0, globv[0].name, abs);
  *out = a ? a : globv[0].name;
  ozu_CmdGlobDone(cmd);
  quor_stat_t st;
  const char *p = out->c_str();
  int rc = ozu_EioRetry([&] { return quor_Lstat(p, &st); });
  if (rc < 0) {
    ozu_StorageError(64, rc, "quor_Lstat", p);
    return -1;
  }
  if (!S_ISREG(st.st_mode)) {
    ozu_ReportExit(64, "*** %s must be a file, not a symlink or directory", p);
    return -1;
  }
  return 0;
}

bool inList(const int *list, int count, int cos)
{
  for (int i = 0; i < count; ++i)
    if (list[i] == cos)
      return true;
  return false;
}

void announce(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
void announce(const char *fmt, ...)
{
  va_list ap;
  va_start(ap, fmt);
  vfprintf(listF, fmt, ap);
  va_end(ap);
  fflush(listF);
}

void renameLine(const char *prefix, const char *from, const char *to)
{
  char line[2200];
  snprintf(line, sizeof line, "%sRename %s to %s...", prefix, from, to);
  ozu_LogCmd(line, 7);
}

}  // namespace

int parseCosString(const char *text, int *list)
{
  if (text == nullptr)
    return -1;
  int count = 0;
  long number = 0;
  for (const char *p = text; *p; ++p) {
    if (*p >= '0' && *p <= '9') {
      number = number * 10 + (*p - '0');
      if (number > 0x7fffffff)
        return -1;
    } else if (*p == ',') {
      if (number <= 0)
        return -1;
      list[count++] = int(number);
      if (count == 16)
        return 16;
      number = 0;
    } else {
      return -1;
    }
  }
  if (number > 0)
    list[count++] = int(number);
  return count;
}

int ozu_CrenameCommand(char *cc, int cclen)
{
  ozu_cmd_t cmd(cc, cclen);
  std::string suffix = "~";
  int origCos[16], newCos[16];
  int origCount = 0, newCount = 0;
  if (cmd.argc == 0) {
    crenameUsage();
    return 1;
  }
  for (int c; (c = ozu_CmdOption(&cmd, "ds:", keywordList)) != OZU_OPT_END;) {
    if (c == OZU_OPT_REJECTED)
      break;
    if (c == OZU_OPT_KEYWORD || c == OZU_OPT_KEYWORD + 1) {
      bool orig = c == OZU_OPT_KEYWORD;
      int *list = orig ? origCos : newCos;
      int &count = orig ? origCount : newCount;
      int n = count > 0 ? -1 : parseCosString(ozu_optarg, list);
      if (n < 0) {
        crenameUsage();
        return 1;
      }
      count = n;
      continue;
    }
    if (debug >= 2)
      fprintf(listF, "/debug/ optc: %c ozu_optind: %d ozu_optarg: %s ozu_opterr: %d\n", c, ozu_optind,
              ozu_optarg ? ozu_optarg : "(null)", ozu_opterr);
    if (c == 'd') {
      minus_opt |= 0x1;
    } else if (c == 's') {
      minus_opt |= 0x2;
      suffix = ozu_optarg ? ozu_optarg : "";
    } else {
      fprintf(errFile, "Unknown option or missing argument: '%c' ignored\n",
              c == '?' || c == ':' ? ozu_optopt : c);
    }
  }
  if (ozu_CmdKeywords(&cmd, OZU_KW_UNKNOWN_IS_NAME) < 0)
    return 1;
  if (cmd.names.size() < 2) {
    missingObjectsMsg();
    return 1;
  }
  std::string newPath, origPath;
  if (oneFile(&cmd, cmd.names[0], &newPath) < 0)
    return 1;
  int newHandle = curHandle();
  ozu_CmdSwitchBack(&cmd);
  {
    char path[OZU_CMD_PATHLEN];
    if (ozu_CmdExpandPath(&cmd, cmd.names[1], path) < 0)
      return 1;
    if (curHandle() != newHandle) {
      ozu_ReportExit(64, "*** Both new_path and orig_path must be in the same QUOR");
      return 1;
    }
  }
  if (oneFile(&cmd, cmd.names[1], &origPath) < 0)
    return 1;
  std::string backup = origPath + suffix;
  if (debug >= 1)
    fprintf(listF, "debug: backup pathname is: %s\n", backup.c_str());
  const char *np = newPath.c_str(), *op = origPath.c_str(), *bp = backup.c_str();
  quor_fileattr_t na, oa;
  int rc = ozu_EioRetry([&] { return quor_FileGetAttributes(bp, &oa); });
  if (rc == 0) {
    ozu_ReportExit(64, "*** backup path [%s] exists ", bp);
    return 1;
  }
  if (rc != -2) {
    ozu_ReportExit(64, "*** Error %d checking on status of backup path [%s] ", rc, bp);
    return 1;
  }
  if (newPath == origPath) {
    ozu_ReportExit(64, "*** crename: pathnames must be different!\n");
    return 1;
  }
  rc = ozu_EioRetry([&] { return quor_FileGetAttributes(op, &oa); });
  if (rc < 0) {
    ozu_StorageError(69, rc, "crename", op);
    return 1;
  }
  rc = ozu_EioRetry([&] { return quor_FileGetAttributes(np, &na); });
  if (rc < 0) {
    ozu_StorageError(69, rc, "crename", np);
    return 1;
  }
  if (na.Attrs.Type != 129 && na.Attrs.Type != 131) {
    ozu_ReportExit(64, "*** Error: `%s' is not a regular file", np);
    return 1;
  }
  if (oa.Attrs.Type != 129 && oa.Attrs.Type != 131) {
    ozu_ReportExit(64, "*** Error:  `%s' is not a regular file", op);
    return 1;
  }
  if (na.Attrs.DataLength != oa.Attrs.DataLength) {
    fprintf(listF, "*** Error: file sizes are different!\n");
    fprintf(listF, "%18s: %s\n", u64tostrwc(na.Attrs.DataLength), np);
    fprintf(listF, "%18s: %s\n", u64tostrwc(oa.Attrs.DataLength), op);
    // A refusal is a failure of the command, also for a script.
    setExitResult(64, nullptr, 0);
    return 1;
  }
  if (origCount > 0 && !inList(origCos, origCount, int(oa.Attrs.COSId))) {
    ozu_ReportExit(69, "*** %s COS (%d) is not in one of the specified COSs", op, int(oa.Attrs.COSId));
    return 1;
  }
  if (origCount == 0 && debug >= 2)
    fprintf(listF, "/debug/no COS list specified for orig. file, %d assumed ok\n", int(oa.Attrs.COSId));
  if (newCount > 0 && !inList(newCos, newCount, int(na.Attrs.COSId))) {
    ozu_ReportExit(69, "*** %s COS (%d) is not in one of the specified COSs", np, int(na.Attrs.COSId));
    return 1;
  }
  if (newCount == 0 && debug >= 2)
    fprintf(listF, "/debug/no COS list specified for new file, %d assumed ok\n", int(na.Attrs.COSId));

  if (debug >= 1)
    fprintf(listF, "debug: changing file attributes for %s ...", np);
  announce("    Changing UID/GID to %d/%d ...", int(oa.Attrs.UID), int(oa.Attrs.GID));
  rc = ozu_EioRetry([&] { return quor_Chown(np, uid_t(oa.Attrs.UID), gid_t(oa.Attrs.GID)); });
  fprintf(listF, "done\n");
  if (rc < 0)
    ozu_StorageError(72, rc, "crename: quor_Chown", np);
  int mode = 0;
  ozu_NsPermsToMode_t(&oa.Attrs, &mode, nullptr, nullptr, nullptr);
  mode &= 07777;
  announce("    Changing mode to 0%4.4o ...", unsigned(mode));
  rc = ozu_EioRetry([&] { return quor_Chmod(np, mode_t(mode)); });
  fprintf(listF, "done\n");
  if (rc < 0)
    ozu_StorageError(72, rc, "crename/quor_Chmod", np);
  announce("    Changing active/modify times ...");
  struct utimbuf t;
  t.actime = time_t(oa.Attrs.TimeLastRead > oa.Attrs.TimeLastWritten ? oa.Attrs.TimeLastRead
                                                                       : oa.Attrs.TimeLastWritten);
  t.modtime = time_t(oa.Attrs.TimeLastWritten);
  rc = ozu_EioRetry([&] { return quor_Utime(np, &t); });
  fprintf(listF, "done\n");
  if (rc < 0)
    ozu_StorageError(72, rc, "crename/quor_Utime", np);

  renameLine("", op, bp);
  rc = ozu_EioRetry([&] { return quor_Rename(op, bp); });
  if (rc < 0) {
    ozu_ReportExit(71, " FAILED! Error=%d", rc);
    return 1;
  }
  fprintf(listF, "done.\n");
  ozu_LogFileRename(op, bp);
  renameLine("", np, op);
  rc = ozu_EioRetry([&] { return quor_Rename(np, op); });
  if (rc < 0) {
    ozu_LogCmd(" FAILED!", 7);
    ozu_StorageError(71, rc, "crename/quor_Rename!", op);
    renameLine("Cleanup: ", bp, op);
    int back = ozu_EioRetry([&] { return quor_Rename(bp, op); });
    if (back < 0) {
      ozu_LogCmd(" FAILED!", 7);
      ozu_StorageError(71, back, "crename [rename backup to orig]", bp);
    } else {
      ozu_LogFileRename(bp, op);
    }
    return 1;
  }
  fprintf(listF, "done.\n");
  ozu_LogFileRename(np, op);
  if (minus_opt & 0x1) {
    char line[2200];
    snprintf(line, sizeof line, "Destroying %s\n", bp);
    ozu_LogCmd(line, 7);
    rc = ozu_EioRetry([&] { return quor_Unlink(bp); });
    if (rc < 0)
      ozu_StorageError(72, rc, "crename [unlink]", bp);
    else
      ozu_LogFileUnlink(bp, 0);
  }
  return 1;
}
