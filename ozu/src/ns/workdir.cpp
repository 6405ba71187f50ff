// Working directories: cd and cd0-cd9, cdls, pwd and pwd0-pwd9.
#include <ctype.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include <string>

#include "ns_commands.h"
#include "ozu_cmdframe.h"
#include "ozu_connect.h"
#include "ozu_context.h"
#include "ozu_drive.h"
#include "ozu_errors.h"
#include "ozu_getopt.h"
#include "ozu_glob.h"
#include "ozu_log.h"
#include "ozu_paths.h"
#include "ozuvars.h"
#include "quor_api.h"

namespace {

// The slot a command word names: its last character when that is a digit.
int slotOfWord(const char *cc, int cclen)
{
  if (cclen > 0 && isdigit(static_cast<unsigned char>(cc[cclen - 1])))
    return cc[cclen - 1] - '0';
  return 0;
}

void chdirUsage()
{
  fprintf(listF, "Usage: cd[0..9] [drive:]path : change a working directory path\n");
  fprintf(listF, "       cd -?  : print this message\n");
  fprintf(listF, "  cd changes working directory 0 (the one relative paths use);\n");
  fprintf(listF, "  cd1 to cd9 set the directories named in paths as 1' to 9'.\n");
}

void pwdUsage()
{
  fprintf(listF, "Usage: pwd[0-9] [drive: ...]\n");
  fprintf(listF, "       pwd -?  : print this message\n");
  fprintf(listF, "No options or keywords are used with this command\n");
}

// Sets slot to the directory word names: 1 set, 0 not a directory or not
// stored, the storage error when it cannot be examined, -1 when it does not
// expand to exactly one object.
int changeSlot(ozu_cmd_t *cmd, const char *word, int slot)
{
  char typed[OZU_CMD_PATHLEN];
  if (ozu_CmdExpandPath(cmd, word, typed) < 0)
    return -1;
  char *path = nullptr;
  if (expandSingleNodeDir(typed, &path) < 0 || path == nullptr) {
    free(path);
    return -1;
  }
  quor_stat_t st;
  int rc = ozu_EioRetry([&] { return quor_Stat(path, &st); });
  if (rc < 0) {
    // The table writes cd and pwd with a quote for their optional digit.
    std::string routine = verb ? verb : "cd";
    if (!routine.empty() && routine.back() == '\'')
      routine.pop_back();
    setExitResult(72, quor_perror(rc, routine.c_str(), path, nullptr), 7);
    free(path);
    return rc;
  }
  if (!S_ISDIR(st.st_mode)) {
    fprintf(errFile, "%s:  Not a directory\n", path);
    free(path);
    return 0;
  }
  char msg[1200];
  snprintf(msg, sizeof msg, "Current directory %d: %s", slot, path);
  ozu_LogCmd(msg, 4);
  int result = 0;
  if (setcwdQUOR(&sesskeyset, slot, path, 1) == 0) {
    // The running command works on a copy of the connection: keep it in step.
    if (keyset && keyset->curContext == &cmdContext && sesskeyset.curContext &&
        cmdContext.handle == sesskeyset.curContext->handle)
      setcwdQUOR(keyset, slot, path, 0);
    result = 1;
  }
  free(path);
  return result;
}

}  // namespace

int ozu_CdCommand(char *cc, int cclen)
{
  const int slot = slotOfWord(cc, cclen);
  ozu_cmd_t cmd(cc, cclen);
  if (cmd.argc > 0 && strcmp(cmd.argv[0], "-?") == 0) {
    chdirUsage();
    return 1;
  }
  ozu_optind = 0;
  if (ozu_CmdKeywords(&cmd, OZU_KW_UNKNOWN_IS_NAME) < 0)
    return -1;
  char home[] = "~";
  char *word = ozu_CmdNextName(&cmd);
  if (char *extra = ozu_CmdNextName(&cmd))
    ozu_ExtraObjectsMsg(extra);
  return changeSlot(&cmd, word ? word : home, slot);
}

int ozu_CdLsCommand(char *cc, int cclen)
{
  // Leading words that begin with "-" are the listing's options; the rest
  // of the line is the path.
  std::string tail = cc + cclen;
  std::string options;
  size_t i = 0;
  for (;;) {
    while (i < tail.size() && isspace(static_cast<unsigned char>(tail[i])))
      ++i;
    if (i >= tail.size() || tail[i] != '-')
      break;
    size_t end = i;
    while (end < tail.size() && !isspace(static_cast<unsigned char>(tail[end])))
      ++end;
    options += " " + tail.substr(i, end - i);
    i = end;
  }
  std::string cdLine = "cd " + tail.substr(i);
  std::string cdCopy = cdLine;
  if (ozu_CdCommand(cdCopy.data(), 2) != 1)
    return 1;
  std::string lsLine = "ls" + options;
  ozu_ListCommand(lsLine.data(), 2);
  return 1;
}

int ozu_PwdCommand(char *cc, int cclen)
{
  const int slot = slotOfWord(cc, cclen);
  ozu_cmd_t cmd(cc, cclen);
  bool usageShown = false;
  for (int c; (c = ozu_CmdOption(&cmd, "?", nullptr)) != OZU_OPT_END;) {
    if (!usageShown) {
      pwdUsage();
      usageShown = true;
    }
  }
  if (ozu_CmdKeywords(&cmd, OZU_KW_UNKNOWN_IS_NAME) < 0)
    return 1;
  char *word = ozu_CmdNextName(&cmd);
  if (word == nullptr) {
    const char *wd = getcwdQUOR(slot);
    fprintf(listF, "pwd%d: %s\n", slot, wd ? wd : "");
    return 1;
  }
  for (; word; word = ozu_CmdNextName(&cmd)) {
    int letter = ozu_CmdDriveWord(word);
    if (letter == 0)
      continue;
    ozu_context_t *ctx = ozu_LookupContextByDrive(word);
    if (ctx == nullptr) {
      log_NoConnectionForDrive(word);
      continue;
    }
    if (ozu_SetCurConnection(ctx->handle) < 0) {
      log_ConnectionSwitchFailure(ctx);
      continue;
    }
    fprintf(listF, "%c:pwd%d: %s\n", letter, slot, ctx->wd[slot] ? ctx->wd[slot] : "");
  }
  return 1;
}
