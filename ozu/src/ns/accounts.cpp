// Site accounts: newacct and chacct; and the commands whose client side
// does nothing (md5, the hash and trash commands, undelete).
#include <ctype.h>
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "ns_commands.h"
#include "ozu_cmdframe.h"
#include "ozu_context.h"
#include "ozu_drive.h"
#include "ozu_errors.h"
#include "ozu_getopt.h"
#include "ozu_glob.h"
#include "ozu_log.h"
#include "ozuvars.h"
#include "quor_api.h"

acct_rec_t newAcct = 0;

namespace {

int checkUnixStyleAccounting()
{
  ozu_context_t *ctx = keyset ? keyset->curContext : nullptr;
  if (ctx && ctx->siteInfo.accounting_style == 1) {
    if (debug >= 1)
      fprintf(listF, "/debug/site info acct style=Unix-style accounting\n");
    return 1;
  }
  return 0;
}

void newacctUsage()
{
  fprintf(listF, "Usage: newa[cct]  [-?] [account ID | accountName]\n");
  fprintf(listF, "  -?  this text\n");
  fprintf(listF, "  With no account the current one and those you may charge are shown.\n");
}

void chacctUsage()
{
  fprintf(listF, "Usage: chac[ct] [-R] newacct path ...\n");
  fprintf(listF, "  -R  descend directories\n");
}

void listAvailableAcids()
{
  int count = 0;
  acct_list_t *list = nullptr;
  int rc = quorex_GetAcctList(&count, &list);
  if (rc == 0) {
    for (int i = 0; i < count; ++i)
      fprintf(listF, "   %.8d[%s]\n", int(list[i].accountId), list[i].acctName);
  } else if (rc != -5006) {
    setExitResult(0, quor_perror(rc, "listAvailableAcids", "quorex_GetAcctList", nullptr), 7);
  }
  free(list);
}

std::string currentName()
{
  char name[QUOR_ACCT_NAME_MAX + 1] = "";
  if (quor_GetAcctName(name) < 0)
    name[0] = '\0';
  return name;
}

int chacctEntCallback(ns_DirEntry_t *ent, int, const char *, const char *fullPath)
{
  uint32_t type = ent->Attrs.Type;
  if (type != 129 && type != 131 && type != 132)
    return 0;
  if (ent->Attrs.Account == newAcct)
    return 0;
  if (debug >= 2)
    fprintf(listF, "/debug/changing account for %s from %ld to %ld\n", fullPath,
            long(ent->Attrs.Account), long(newAcct));
  int rc = ozu_EioRetry([&] { return quor_Chacct(fullPath, newAcct); });
  if (rc < 0)
    setExitResult(74, quor_perror(rc, "quor_Chacct", fullPath, nullptr), 7);
  return 0;
}

}  // namespace

int ozu_NewacctCommand(char *cc, int cclen)
{
  if (checkUnixStyleAccounting()) {
    fprintf(stderr, "This site does not use site accounting; the `newacct' command is unavailable\n");
    return 0;
  }
  ozu_cmd_t cmd(cc, cclen);
  ozu_context_t *ctx = keyset ? keyset->curContext : nullptr;
  if (cmd.argc == 0) {
    char msg[300];
    snprintf(msg, sizeof msg, "Current account is: %ld(%s)\n",
             long(ctx ? ctx->curLogin.acctId : 0), currentName().c_str());
    setExitResult(0, msg, 7);
    listAvailableAcids();
    return 0;
  }
  bool usageShown = false;
  for (int c; (c = ozu_CmdOption(&cmd, "?", nullptr)) != OZU_OPT_END;) {
    (void)c;
    if (!usageShown)
      newacctUsage();
    usageShown = true;
  }
  if (ozu_CmdKeywords(&cmd, OZU_KW_UNKNOWN_ENDS) < 0)
    return 0;
  char *word = ozu_CmdNextName(&cmd);
  if (word == nullptr) {
    char msg[300];
    snprintf(msg, sizeof msg, "Current account id: %ld (%s)", long(ctx ? ctx->curLogin.acctId : 0),
             currentName().c_str());
    setExitResult(0, msg, 7);
    listAvailableAcids();
    return 0;
  }
  if (char *extra = ozu_CmdNextName(&cmd))
    ozu_ExtraObjectsMsg(extra);
  acct_rec_t id = ctx ? ctx->curLogin.acctId : 0;
  char name[QUOR_ACCT_NAME_MAX + 1] = "";
  char msg[400];
  if (isdigit(static_cast<unsigned char>(word[0]))) {
    errno = 0;
    char *end = nullptr;
    unsigned long v = strtoul(word, &end, 10);
    if (end == word || errno != 0 || v > 0xffffffffUL) {
      snprintf(msg, sizeof msg, "*** Invalid new account ID: `%s'", word);
      setExitResult(64, msg, 7);
      return 0;
    }
    acct_rec_t want = acct_rec_t(v);
    int rc = ozu_EioRetry([&] { return quor_SetAcct(want); });
    if (rc < 0) {
      setExitResult(64, quor_perror(rc, verb, "", nullptr), 7);
      return 0;
    }
    id = want;
    rc = quor_GetAcctName(name);
    if (rc < 0) {
      snprintf(msg, sizeof msg,
               "*** %s: error (%d) obtaining account name after setting new account ID '%d'\n",
               "ozu_NewacctCommand", rc, int(want));
      setExitResult(64, msg, 7);
      name[0] = '\0';
    }
  } else {
    snprintf(name, sizeof name, "%.128s", word);
    int rc = quor_SetAcctByName(name);
    if (rc < 0) {
      setExitResult(64, quor_perror(rc, verb, "", nullptr), 7);
      return 0;
    }
    acct_rec_t code = 0;
    rc = quor_AcctNameToCode(name, nullptr, &code);
    if (rc < 0) {
      // The gateway took the name; an id we cannot learn is not made up.
      snprintf(msg, sizeof msg, "*** %s: error (%d) converting account name '%s' to ID!",
               "ozu_NewacctCommand", rc, name);
      setExitResult(64, msg, 7);
    } else {
      id = code;
    }
  }
  if (ctx)
    ctx->curLogin.acctId = id;
  if (keyset && keyset->curContext != ctx && keyset->curContext)
    keyset->curContext->curLogin.acctId = id;
  snprintf(msg, sizeof msg, "Current account ID is now %ld(%s)", long(id), name);
  setExitResult(0, msg, 7);
  return 0;
}

int ozu_ChacctCommand(char *cc, int cclen)
{
  if (checkUnixStyleAccounting()) {
    fprintf(stderr, "This site does not use site accounting; the `chacct' command is unavailable\n");
    return 1;
  }
  ozu_cmd_t cmd(cc, cclen);
  if (cmd.argc == 0) {
    chacctUsage();
    return 1;
  }
  for (int c; (c = ozu_CmdOption(&cmd, "R", nullptr)) != OZU_OPT_END;) {
    if (c == 'R')
      cmd.recurse = 1;
    else
      fprintf(stderr, "Unknown option or missing argument: '%c' ignored\n",
              c == '?' || c == ':' ? ozu_optopt : c);
  }
  bool recurse = cmd.recurse != 0;
  if (ozu_CmdKeywords(&cmd, OZU_KW_UNKNOWN_IS_NAME) < 0)
    return 1;
  char *acctWord = ozu_CmdNextName(&cmd);
  char *word = acctWord ? ozu_CmdNextName(&cmd) : nullptr;
  if (word == nullptr) {
    missingObjectsMsg();
    return 1;
  }
  char account[QUOR_ACCT_NAME_MAX + 1];
  snprintf(account, sizeof account, "%.128s", acctWord);
  if (isdigit(static_cast<unsigned char>(account[0]))) {
    newAcct = acct_rec_t(strtoul(account, nullptr, 10));
  } else {
    acct_rec_t code = 0;
    if (quor_AcctNameToCode(account, nullptr, &code) < 0) {
      char msg[400];
      snprintf(msg, sizeof msg, "*** %s: Unable to lookup account ID for account name '%s'",
               "ozu_ChacctCommand", account);
      setExitResult(64, msg, 7);
      return 1;
    }
    newAcct = code;
  }
  std::vector<std::string> dirs;
  ozu_each_t how;
  how.match = [&](const globstruct_t &g) {
    if (g.dir)
      dirs.push_back(g.name);
    if (debug >= 1)
      fprintf(listF, "/debug/changing account for %s to %ld\n", g.name, long(newAcct));
    int rc = ozu_EioRetry([&] { return quor_Chacct(g.name, newAcct); });
    if (rc < 0)
      setExitResult(72, quor_perror(rc, verb, g.name, nullptr), 7);
  };
  how.done = [&] {
    if (recurse)
      for (const std::string &d : dirs)
        if (!interrupted)
          ozu_CmdWalk(&cmd, d.c_str(), chacctEntCallback, nullptr, nullptr);
    dirs.clear();
  };
  ozu_CmdEachMatch(&cmd, word, how);
  return 1;
}

int ozu_MD5Command(char *, int)
{
  fprintf(listF, "ozu_MD5Command entered - need some code!\n");
  return 0;
}

// The gateway serves these; the client has nothing to add.
int ozu_HashUpdateCommand(char *, int) { return 0; }
int ozu_HashListCommand(char *, int) { return 0; }
int ozu_HashDeleteCommand(char *, int) { return 0; }
int ozu_TrashFindCommand(char *, int) { return 0; }
int ozu_TrashLsCommand(char *, int) { return 0; }
int ozu_TrashRmCommand(char *, int) { return 0; }
int ozu_UndeleteCommand(char *, int) { return 0; }
