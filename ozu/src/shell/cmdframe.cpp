// The command frame of the handlers.
#include "ozu_cmdframe.h"

#include <stdio.h>

#include <string>

#include "ozu_connect.h"
#include "ozu_context.h"
#include "ozu_drive.h"
#include "ozu_getopt.h"
#include "ozu_glob.h"
#include "ozu_keyset.h"
#include "ozu_log.h"
#include "ozu_paths.h"
#include "ozu_tokens.h"
#include "ozuvars.h"

ozu_cmd_t::ozu_cmd_t(char *cc, int cclen)
    : startHandle(sesskeyset.curContext ? sesskeyset.curContext->handle : -1),
      argc(0),
      argv(nullptr),
      nextName(0),
      recurse(0),
      globLive(false)
{
  minus_opt = 0;
  ozu_optind = 0;
  ozu_opterr = 0;
  argv = ozu_MakeArgv(cc + cclen, &argc);
}

ozu_cmd_t::~ozu_cmd_t()
{
  ozu_CmdGlobDone(this);
  ozu_FreeArgv(argv);
  ozu_CmdSwitchBack(this);
}

int ozu_CmdOption(ozu_cmd_t *cmd, const char *letters, const char *const *keywords)
{
  int c = ozu_Getopt(cmd->argc, cmd->argv, letters, keywords);
  if (c == -1)
    return ozu_opterr != 0 ? OZU_OPT_REJECTED : OZU_OPT_END;
  if (ozu_opttype == 1)
    return OZU_OPT_KEYWORD + c;
  return c;
}

int ozu_CmdKeywords(ozu_cmd_t *cmd, int unknownKeyword)
{
  cmd->names.clear();
  cmd->nextName = 0;
  for (int i = ozu_optind < 0 ? 0 : ozu_optind; i < cmd->argc;) {
    int next = i;
    int rc = ozu_ParseKeyword(cmd->argc, cmd->argv, i, ozu_KeysetOption, &next);
    if (rc == 0) {
      i = next;
      continue;
    }
    if (rc == 2 && unknownKeyword == OZU_KW_UNKNOWN_ENDS) {
      log_UnknownKeyword(cmd->argv[i]);
      return -1;
    }
    if (rc == -2) {
      log_MissingValueForKeyword(cmd->argv[i]);
      return -1;
    }
    if (rc < 0) {
      log_BadValueForKeyword(cmd->argv[i]);
      return -1;
    }
    // Not applied: the word, and any words its setting spanned, stay names.
    int end = next > i ? next : i + 1;
    for (; i < end; ++i)
      cmd->names.push_back(cmd->argv[i]);
  }
  return 0;
}

char *ozu_CmdNextName(ozu_cmd_t *cmd)
{
  if (interrupted || cmd->nextName >= cmd->names.size())
    return nullptr;
  return cmd->names[cmd->nextName++];
}

int ozu_CmdExpandPath(ozu_cmd_t *, const char *word, char *path)
{
  return ozu_ExpandQUORPath(word, path, OZU_CMD_PATHLEN) < 0 ? -1 : 0;
}

int ozu_CmdGlob(ozu_cmd_t *cmd, const char *pattern, int pathtype)
{
  ozu_CmdGlobDone(cmd);
  ozu_GlobInit();
  cmd->globLive = true;
  if (ozu_Glob(pattern, 0, pathtype) < 0)
    return -1;
  return globSort();
}

void ozu_CmdGlobDone(ozu_cmd_t *cmd)
{
  if (!cmd->globLive)
    return;
  ozu_GlobCleanup();
  cmd->globLive = false;
}

static bool stopped(const ozu_each_t &how)
{
  return interrupted || (how.stop && *how.stop);
}

int ozu_CmdEachMatchOf(ozu_cmd_t *cmd, const char *word, const ozu_each_t &how)
{
  if (how.driveWord && ozu_GetDriveLetter(word) && word[2] == '\0') {
    log_MissingPathForDrive(word);
    return 0;
  }
  char path[OZU_CMD_PATHLEN];
  if (how.pathtype == 1) {
    if (ozu_CmdExpandPath(cmd, word, path) < 0)
      return 0;
  } else {
    snprintf(path, sizeof path, "%s", word);
  }
  if (how.expanded && !how.expanded(word))
    return 0;
  int n = ozu_CmdGlob(cmd, path, how.pathtype);
  if (n < 0)
    return -1;
  if (how.globbed && !how.globbed(word, n))
    return 0;
  if (how.copyOut) {
    std::vector<globstruct_t> matches;
    std::vector<std::string> names;
    for (int m = 0; m < globInx; ++m) {
      matches.push_back(globv[m]);
      names.push_back(globv[m].name);
    }
    ozu_CmdGlobDone(cmd);
    for (size_t m = 0; m < matches.size() && !stopped(how); ++m) {
      matches[m].name = names[m].data();
      how.match(matches[m]);
    }
  } else {
    for (int m = 0; m < globInx && !stopped(how); ++m)
      how.match(globv[m]);
    ozu_CmdGlobDone(cmd);
  }
  if (how.done)
    how.done();
  return 0;
}

int ozu_CmdEachMatch(ozu_cmd_t *cmd, char *first, const ozu_each_t &how)
{
  for (char *word = first; word && !stopped(how); word = ozu_CmdNextName(cmd))
    if (ozu_CmdEachMatchOf(cmd, word, how) < 0)
      return -1;
  return 0;
}

int ozu_CmdWalk(ozu_cmd_t *cmd, const char *path, quordir_ent_func_t entCallback,
                quordir_subdir_func_t subdirCallback, dir_enddir_func_t enddirCallback)
{
  return readQUORdir(path, cmd->recurse, entCallback, subdirCallback, enddirCallback);
}

int ozu_CmdSwitchBack(ozu_cmd_t *cmd)
{
  return ozu_SwitchBack(cmd->startHandle);
}

int ozu_CmdDriveWord(const char *word)
{
  if (ozu_GetDriveLetter(word) == 0) {
    char msg[4200];
    snprintf(msg, sizeof msg, "*** Not a logical drive: %s", word);
    setExitResult(0, msg, 7);
    return 0;
  }
  return static_cast<unsigned char>(word[0]);
}
