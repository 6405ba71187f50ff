// su and sudo: switching a connection's identity through the gateway and
// back.
#include "ozu_su.h"

#include <ctype.h>
#include <pwd.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "ozu_cmdframe.h"
#include "ozu_context.h"
#include "ozu_dispatch.h"
#include "ozu_getopt.h"
#include "ozu_keyset.h"
#include "ozu_log.h"
#include "ozu_login.h"
#include "ozu_paths.h"
#include "ozu_tokens.h"
#include "ozuvars.h"
#include "quor_api.h"
#include "shell_commands.h"

namespace {

void suUsage(void)
{
  fputs("Usage: su [- | -l | -m] [user | #uid]\n"
        "  -   :  equivalent to \"-l\"\n"
        "  -l  :  full login with target user's environment (deferred implementation)\n"
        "  -m  :  login with current user's environment (default)\n"
        "\n",
        listF);
}

void sudoUsage(void)
{
  fputs("Usage: sudo  -K | -k | -l -v \n"
        "   or\n"
        "       sudo [-s] [-u user|#uid] [--] command\n"
        "  -K  :  \"sure kill\" option - invalidate sudo session and remove timestamp\n"
        "  -k  :  invalidate sudo session, but do not remove timestamp\n"
        "  -s  :  SU to the target user, and then run the command. Stays in SU mode\n"
        "  -u  :  target user name or numeric uid. # is required for numeric form \n"
        "  -v  :  validate and extend current sudo session's timestamp\n"
        "\n",
        listF);
}

void message(int code, const char *fmt, const char *arg)
{
  char msg[4200];
  snprintf(msg, sizeof msg, fmt, arg);
  setExitResult(code, msg, 7);
}

void freeSavedLogin(ozu_context_t *ctx)
{
  free(ctx->initLogin.principal);
  free(ctx->initLogin.homeDir);
  for (int i = 0; i < OZU_NWD; ++i)
    free(ctx->initLogin.wd[i]);
  memset(&ctx->initLogin, 0, sizeof ctx->initLogin);
}

const char *currentPrincipal(ozu_context_t *ctx)
{
  if (ctx->suFlag != SUMODE_NONE && ctx->initLogin.principal)
    return ctx->initLogin.principal;
  return ctx->curLogin.principal ? ctx->curLogin.principal : "";
}

int suInit(uint32_t sudoFlag, const char *user, long uid, uint32_t flags, const char *cmd)
{
  ozu_context_t *ctx = sesskeyset.curContext;
  int rc = quor_SuInit(sudoFlag, flags, currentPrincipal(ctx), user, cmd);
  if (debug >= 1)
    fprintf(listF, "/debug/SU initialization for %s (%ld) returned %d\n", user, uid, rc);
  return rc != 0 ? -1 : 0;
}

// 0, or -1 when the switch was rolled back.
int setNewLoginContext(const char *target, SU_STATES state)
{
  static const char *fn = "sudo_SetNewLoginContext";
  ozu_context_t *ctx = sesskeyset.curContext;
  if (ctx->suFlag == SUMODE_SUDO_SH) {
    free(ctx->curLogin.principal);
    free(ctx->curLogin.homeDir);
    ctx->curLogin.principal = ctx->curLogin.homeDir = nullptr;
  } else {
    // A second su saves the identity in force (the first target's) as the
    // one to come back to; the one saved before goes.
    freeSavedLogin(ctx);
    // The identity in force and its directories move to the saved record.
    for (int i = 0; i < OZU_NWD; ++i) {
      ctx->curLogin.wd[i] = ctx->relflag[i] ? ctx->wd[i] : (ctx->wd[i] ? strdup(ctx->wd[i]) : nullptr);
      ctx->wd[i] = nullptr;
      ctx->relflag[i] = 0;
    }
    ctx->initLogin = ctx->curLogin;
    ctx->curLogin.principal = ctx->curLogin.homeDir = nullptr;
    for (int i = 0; i < OZU_NWD; ++i)
      ctx->curLogin.wd[i] = nullptr;
  }
  ctx->suFlag = state;
  struct passwd *pw = quor_GetPwent();
  if (pw == nullptr) {
    // Without the target's entry the shell cannot act as the target: the
    // switch is ended on both sides and the saved identity comes back.
    char msg[4200];
    snprintf(msg, sizeof msg, "*** %s: quor_Getpwent call failed for runas user <%s>\n", fn, target);
    setExitResult(72, msg, 7);
    sudo_TerminateSudoCommand(1);
    return -1;
  }
  ctx->curLogin.principal = strdup(target);
  ctx->curLogin.homeDir = pw->pw_dir ? strdup(pw->pw_dir) : nullptr;
  ctx->curLogin.uid = int(pw->pw_uid);
  ctx->curLogin.gid = int(pw->pw_gid);
  std::string home = pw->pw_dir ? pw->pw_dir : "/";
  acct_rec_t def = 0, cur = 0;
  int rc = quor_GetAcct(&def, &cur);
  if (rc < 0) {
    char msg[256];
    snprintf(msg, sizeof msg, "*** %s: Error %d on quor_GetAcct call\n", fn, rc);
    setExitResult(0, msg, 7);
  } else {
    ctx->curLogin.acctId = cur;
    ctx->curLogin.defaultAcctId = def;
  }
  rc = setcwdQUOR(&sesskeyset, 0, home.c_str(), 1);
  if (rc < 0) {
    char msg[4200];
    snprintf(msg, sizeof msg, "*** %s: error %d changing to home directory '%s'\n", fn, rc,
             home.c_str());
    setExitResult(71, msg, 7);
  }
  ozu_context_t *sys = syskeyset.curContext;
  for (int i = 1; i < OZU_NWD; ++i) {
    if (ctx->relflag[i])
      free(ctx->wd[i]);
    const char *src = sys && sys != ctx ? sys->wd[i] : (sys ? ctx->initLogin.wd[i] : nullptr);
    ctx->wd[i] = src ? strdup(src) : nullptr;
    ctx->relflag[i] = ctx->wd[i] ? 1 : 0;
  }
  return 0;
}

// The target and its uid: 0, or -1 after a message.
int resolveTarget(std::string &target, long &uid)
{
  uid = -1;
  if (!target.empty() && target[0] == '#')
    target.erase(0, 1);
  if (target.empty() || !isalpha(static_cast<unsigned char>(target[0]))) {
    uid = strtol(target.c_str(), nullptr, 10);
    target = lookupUname(uid);
  }
  if (uid < 0) {
    uid = lookupUid(target.c_str());
    if (uid < 0) {
      message(72, "Error looking up UID for '%s'", target.c_str());
      return -1;
    }
  }
  return 0;
}

}  // namespace

int ozu_SuCommand(char *cc, int cclen)
{
  ozu_cmd_t cmd(cc, cclen);
  bool lmode = false, mmode = false, usageShown = false;
  for (;;) {
    // A lone "-" stands for -l wherever the options stand.
    while (ozu_optind < cmd.argc && strcmp(cmd.argv[ozu_optind], "-") == 0) {
      lmode = true;
      ++ozu_optind;
    }
    int c = ozu_CmdOption(&cmd, "lm", nullptr);
    if (c == OZU_OPT_END)
      break;
    if (debug >= 2)
      fprintf(listF, "/debug/ optc: %c ozu_optind: %d ozu_optarg: %s ozu_opterr: %d\n", c,
              ozu_optind, ozu_optarg ? ozu_optarg : "(null)", ozu_opterr);
    if (c == 'l') {
      lmode = true;
    } else if (c == 'm') {
      mmode = true;
    } else if (!usageShown) {
      suUsage();
      usageShown = true;
    }
  }
  int result = 1;
  if (lmode && mmode) {
    setExitResult(64, "Cannot specify both -m and -l options", 7);
    return result;
  }
  if (!lmode && !mmode && usageShown)
    return result;
  if (ozu_CmdKeywords(&cmd, OZU_KW_UNKNOWN_ENDS) < 0)
    return result;
  ozu_context_t *ctx = sesskeyset.curContext;
  std::string target;
  long uid = -1;
  if (cmd.names.empty()) {
    uid = ctx->rootUid;
    target = lookupUname(uid);
  } else {
    target = cmd.names[0];
    if (cmd.names.size() > 1)
      message(64, "Extra argument(s) following %s ignored", cmd.names[0]);
  }
  interrupted = 0;
  if (uid < 0 && resolveTarget(target, uid) < 0)
    return result;
  if (debug >= 2)
    fprintf(listF, "/debug/performing SU initialization for %s (%ld)\n", target.c_str(), uid);
  if (suInit(0, target.c_str(), uid, 0, nullptr) < 0) {
    setExitResult(72, "(SU) Not authorized", 7);
    return result;
  }
  if (debug >= 1)
    fprintf(listF, "/debug/(SU) setting new login context as user %s (%ld)\n", target.c_str(), uid);
  setNewLoginContext(target.c_str(), SUMODE_SU);
  return result;
}

// The command after the sudo options (the options part cut with a NUL
// before it), or null.
static char *sudo_FindSudoCommand(char *text)
{
  char *p = text;
  while (*p == ' ' || *p == '\t')
    ++p;
  bool endOfOptions = false;
  while (*p) {
    if (*p != '-' || endOfOptions) {
      if (p > text)
        p[-1] = '\0';
      return p;
    }
    char *w = p + 1;
    bool valueNext = false;
    for (; *w && *w != ' ' && *w != '\t'; ++w) {
      if (*w == '-') {
        endOfOptions = true;
      } else if (*w == 'a' || *w == 'p' || *w == 'u') {
        if (w[1] == '\0' || w[1] == ' ' || w[1] == '\t')
          valueNext = true;
        else
          while (w[1] && w[1] != ' ' && w[1] != '\t')
            ++w;
      }
    }
    p = w;
    while (*p == ' ' || *p == '\t')
      ++p;
    if (valueNext) {
      while (*p && *p != ' ' && *p != '\t')
        ++p;
      while (*p == ' ' || *p == '\t')
        ++p;
    }
  }
  return nullptr;
}

int ozu_SudoCommand(char **retCommand, int cclen)
{
  static const char *fn = "ozu_SudoCommand";
  ozu_context_t *ctx = sesskeyset.curContext;
  if (ctx->suFlag == SUMODE_SUDO || ctx->suFlag == SUMODE_SUDO_SH) {
    char msg[256];
    snprintf(msg, sizeof msg, "*** %s: SUDO not allowed within a SUDO session\n", fn);
    setExitResult(0, msg, 7);
    return -1;
  }
  char *text = *retCommand + cclen;
  while (*text == ' ' || *text == '\t')
    ++text;
  if (*text == '\0') {
    sudoUsage();
    return -1;
  }
  char *command = text;
  uint32_t flags = 0;
  bool shell = false, noCommandOpt = false, lOpt = false, usageShown = false;
  int errors = 0;
  std::string target;
  bool haveTarget = false;
  int options = 0;
  if (*text == '-') {
    command = sudo_FindSudoCommand(text);
    if (debug >= 2)
      fprintf(listF, "/debug/sudo command strings: args=[%s] cmd=[%s]\n", text,
              command ? command : "");
    int argc = 0;
    char **argv = ozu_MakeArgv(text, &argc);
    if (argc == 0) {
      sudoUsage();
      return -1;
    }
    ozu_optind = 0;
    ozu_opterr = 0;
    int c;
    while ((c = ozu_Getopt(argc, argv, "a:HiKkLmSsp:u:v", nullptr)) != -1) {
      if (c != '?')
        ++options;
      switch (c) {
        case 'a': case 'p': case 'H': case 'S': break;
        case 'i': case 's': shell = true; break;
        case 'K': flags |= 2; noCommandOpt = true; break;
        case 'k': flags |= 1; noCommandOpt = true; break;
        case 'v': flags |= 4; noCommandOpt = true; break;
        case 'L': lOpt = true; noCommandOpt = true; break;
        case 'u':
          if (ozu_optarg) {
            target = ozu_optarg;
            haveTarget = true;
          }
          break;
        case '?':
          if (!usageShown)
            sudoUsage();
          usageShown = true;
          break;
        default:
          fprintf(listF, "Unknown option: %c\n", c);
          ++errors;
          break;
      }
    }
    ozu_FreeArgv(argv);
    if (options == 0 && usageShown)
      return -1;
    if (noCommandOpt && command != nullptr) {
      setExitResult(64, "*** -K,-k,-l,-v options do not permit command string\n", 7);
      ++errors;
    }
  }
  long uid = -1;
  if (!haveTarget) {
    uid = ctx->rootUid;
    target = lookupUname(uid);
    if (debug >= 1)
      fprintf(listF, "%s: using QUOR root uid  '%s'\n", fn, target.c_str());
  }
  if (errors)
    return -1;
  if (lOpt) {
    fprintf(listF, "NEED SOME CODE TO HANDLE -l OPTION (%s,line %d)\n", __FILE__, __LINE__);
    return -1;
  }
  if (uid < 0 && resolveTarget(target, uid) < 0)
    return -1;
  if (debug >= 2)
    fprintf(listF, "/debug/performing SUDO initialization for %s (%ld)\n", target.c_str(), uid);
  if (suInit(1, target.c_str(), uid, flags, command) < 0) {
    setExitResult(72, "(SUDO) Not authorized", 7);
    return -1;
  }
  if (debug >= 1)
    fprintf(listF, "/debug/(SUDO) setting new login context as user %s (%ld)\n", target.c_str(), uid);
  if (setNewLoginContext(target.c_str(), SUMODE_SUDO) < 0)
    return -1;
  if (shell)
    ctx->suFlag = SUMODE_SUDO_SH;
  *retCommand = command;
  return 0;
}

void sudo_TerminateSudoCommand(int flag)
{
  static const char *fn = "sudo_TerminateSudoCommand";
  ozu_context_t *ctx = sesskeyset.curContext;
  if (ctx == nullptr)
    return;
  quor_SudoCmdEnd(flag);
  if (!flag)
    return;
  free(ctx->curLogin.principal);
  free(ctx->curLogin.homeDir);
  ctx->curLogin = ctx->initLogin;
  ctx->suFlag = SUMODE_NONE;
  for (int i = 0; i < OZU_NWD; ++i) {
    if (ctx->relflag[i])
      free(ctx->wd[i]);
    ctx->wd[i] = ctx->initLogin.wd[i];
    ctx->relflag[i] = ctx->wd[i] ? 1 : 0;
    ctx->curLogin.wd[i] = nullptr;
  }
  memset(&ctx->initLogin, 0, sizeof ctx->initLogin);
  if (ctx->wd[0] != nullptr) {
    int rc = ozu_EioRetry([&] { return quor_Chdir(ctx->wd[0]); });
    if (rc < 0) {
      char msg[4200];
      snprintf(msg, sizeof msg, "%s: error %d CD-ing back to previous directory: %s\n", fn, rc,
               ctx->wd[0]);
      setExitResult(72, msg, 7);
    }
  }
}
