// The firewall and debug commands and the class-of-service lookups.
#include "ozu_firewall.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "ozu_cmdframe.h"
#include "ozu_connect.h"
#include "ozu_context.h"
#include "ozu_dispatch.h"
#include "ozu_drive.h"
#include "ozu_errors.h"
#include "ozu_getopt.h"
#include "ozu_keyset.h"
#include "ozu_log.h"
#include "ozu_tokens.h"
#include "ozurc.h"
#include "ozuvars.h"
#include "quor_api.h"
#include "shell_commands.h"

namespace {

void firewallUsage(void)
{
  fputs("Usage: fire[wall] [-on | -off] [-c] [-s] [drive ...]\n"
        " -on     :  enables firewall mode for the specified connection(s)\n"
        " -off    :  disables firewall mode for the specified connection(s)\n"
        " -c      :  client side will create the private socket used for data transfers\n"
        "            and server will issue the \"connect\" call\n"
        " -s      :  [Default] server side will create the private socket used for data\n"
        "             transfers, and client will issue the \"connect\" call\n"
        "1. If no logical drive(s) are specified, the options apply to the current\n"
        "connection2. If neither -on nor -off option is used, current settings will be displayed\n"
        "   for the specified drive(s)\n",
        listF);
}

void debugUsage(void)
{
  fputs("Usage: debug level|on|off\n"
        "  level : debug message level [0-5]. 0=off,1=info,2=debug,3=more debug,4=I/O,5=trace\n"
        "  on    : equivalent to \"debug 1\"\n"
        "  off   : equivalent to \"debug 0\"\n"
        "\n",
        listF);
}

void applyAndReport(ozu_context_t *ctx, bool set, int onOff, int ioMode, int connector)
{
  if (set)
    ozu_SetFirewallOptions(ctx, onOff, ioMode, connector);
  else
    ozu_SetFirewallOptions(ctx, ctx->firewallMode, ctx->io_xfer_mode, ctx->xconnector);
  fprintf(listF,
          "%c: firewall mode set %s, I/O mode set to %s, autoscheduling currently set to %s\n",
          ctx->driveLetter ? ctx->driveLetter : '?', ctx->firewallMode ? "ON" : "OFF",
          ctx->io_xfer_mode == 1 ? "normal (parallel=on)" : "extended (parallel=off)",
          globalDefs.enableAutoScheduling ? "ON" : "OFF");
}

}  // namespace

void ozu_SetFirewallOptions(ozu_context_t *theContext, int onOff, int ioxferMode, int connector)
{
  theContext->firewallMode = onOff;
  theContext->io_xfer_mode = ioxferMode;
  if (onOff == 1)
    globalDefs.enableAutoScheduling = 0;
  if (ioxferMode == 3)
    theContext->xconnector = connector;
}

int ozu_FirewallCommand(char *cc, int cclen)
{
  ozu_cmd_t cmd(cc, cclen);
  if (cmd.argc == 0) {
    firewallUsage();
    return 1;
  }
  static const char *const kwOpts[] = {"on", "off", nullptr};
  int c;
  while ((c = ozu_CmdOption(&cmd, "cs", kwOpts)) != OZU_OPT_END) {
    if (c == OZU_OPT_REJECTED)
      continue;
    if (c == OZU_OPT_KEYWORD + 0)
      minus_opt |= 4;
    else if (c == OZU_OPT_KEYWORD + 1)
      minus_opt |= 8;
    else if (c == 's')
      minus_opt |= 2;
    else if (c == 'c')
      minus_opt |= 1;
    else if (c == '?')
      fprintf(errFile, "Unknown option or missing argument: '%c' ignored\n", ozu_optopt);
    else
      fprintf(listF, "Unknown option ignored: %c\n", c);
  }
  if ((minus_opt & 3) == 3) {
    setExitResult(64, "Cannot specify both -c and -s options", 7);
    return 1;
  }
  if ((minus_opt & 12) == 12) {
    setExitResult(64, "Cannot specify both -on and -off options", 7);
    return 1;
  }
  bool set = (minus_opt & 12) != 0;
  int onOff = (minus_opt & 4) ? 1 : 0;
  int ioMode = onOff ? 3 : 1;
  int conn = (minus_opt & 1) ? 2 : 1;
  if (ozu_CmdKeywords(&cmd, OZU_KW_UNKNOWN_IS_NAME) < 0)
    return 1;
  if (cmd.names.empty()) {
    applyAndReport(sesskeyset.curContext, set, onOff, ioMode, conn);
    return 1;
  }
  while (char *w = ozu_CmdNextName(&cmd)) {
    int letter = ozu_CmdDriveWord(w);
    if (letter == 0)
      continue;
    if (debug >= 2)
      fprintf(listF, "/debug/found logical drive '%c'\n", letter);
    char drive[2] = {char(letter), '\0'};
    ozu_context_t *ctx = ozu_LookupContextByDrive(drive);
    if (ctx == nullptr) {
      log_NoConnectionForDrive(drive);
      continue;
    }
    if (ozu_SetCurConnection(ctx->handle) < 0) {
      log_ConnectionSwitchFailure(ctx);
      continue;
    }
    applyAndReport(ctx, set, onOff, ioMode, conn);
  }
  return 1;
}

int ozu_DebugCommand(char *cc, int cclen)
{
  int argc = 0;
  char **argv = ozu_MakeArgv(cc + cclen, &argc);
  if (argc != 1) {
    debugUsage();
  } else if (strcmp(argv[0], "on") == 0) {
    debug = 1;
  } else if (strcmp(argv[0], "off") == 0) {
    debug = 0;
  } else {
    long v = strtol(argv[0], nullptr, 10);
    if (v < 0 || v > 5) {
      debugUsage();
    } else {
      debug = int(v);
      if (debug > 1)
        fprintf(listF, "debug level-> %d\n", debug);
    }
  }
  ozu_FreeArgv(argv);
  return 0;
}

cos_list_entry_t *ozu_cos_lookupID(int theCos)
{
  ozu_context_t *ctx = sesskeyset.curContext;
  if (ctx == nullptr)
    return nullptr;
  if (ctx->cosEntryCount < 0) {
    int count = 0;
    cos_list_entry_t *list = nullptr;
    int rc = quorex_GetCOSList(1, 0, uid_t(ctx->curLogin.uid), gid_t(ctx->curLogin.gid),
                               ctx->curLogin.acctId, &count, &list);
    if (rc < 0) {
      setExitResult(64, quor_perror(rc, "ozu_cos_lookupID", "[getting all COS entries]", nullptr),
                    7);
      return nullptr;
    }
    ctx->cosEntryCount = count;
    ctx->cosEntries = list;
    if (keyset == &cmdkeyset && cmdContext.handle == ctx->handle) {
      cmdContext.cosEntryCount = count;
      cmdContext.cosEntries = list;
    }
  }
  for (int i = 0; i < ctx->cosEntryCount; ++i)
    if (int(ctx->cosEntries[i].cos_entry.COSId) == theCos)
      return &ctx->cosEntries[i];
  return nullptr;
}

int ozu_cos_access(const cos_list_entry_t *cos_entry)
{
  return (cos_entry->flags & 7) ? -1 : 0;
}
