// The firewall and debug commands and the class-of-service lookups.
#include "ozu_firewall.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <vector>

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
  int startHandle = keyset->curContext ? keyset->curContext->handle : -1;
  int argc = 0;
  char **argv = ozu_MakeArgv(cc + cclen, &argc);
  static const char *const kwOpts[] = {"on", "off", nullptr};
  int connector = 1;
  if (argc == 0) {
    firewallUsage();
  } else {
    minus_opt = 0;
    ozu_optind = 0;
    ozu_opterr = 0;
    int c;
    while ((c = ozu_Getopt(argc, argv, "cs", kwOpts)) != -1 || ozu_opterr != 0) {
      if (c == -1)
        continue;  // a rejected word
      if (ozu_opttype == 1) {
        minus_opt |= c == 0 ? 4 : 8;
      } else if (c == 's') {
        minus_opt |= 2;
        connector = 1;
      } else if (c == 'c') {
        minus_opt |= 1;
        connector = 2;
      } else if (c == '?') {
        fprintf(errFile, "Unknown option or missing argument: '%c' ignored\n", ozu_optopt);
      } else {
        fprintf(listF, "Unknown option ignored: %c\n", c);
      }
    }
    bool conflict = false;
    if ((minus_opt & 3) == 3) {
      setExitResult(64, "Cannot specify both -c and -s options", 7);
      conflict = true;
    } else if ((minus_opt & 12) == 12) {
      setExitResult(64, "Cannot specify both -on and -off options", 7);
      conflict = true;
    }
    if (!conflict) {
      bool set = (minus_opt & 12) != 0;
      int onOff = (minus_opt & 4) ? 1 : 0;
      int ioMode = onOff ? 3 : 1;
      int conn = (minus_opt & 1) ? 2 : 1;
      (void)connector;
      // Keyword options change the command's keyset; other words stay.
      std::vector<char *> words;
      bool bad = false;
      for (int i = ozu_optind; i < argc && !bad;) {
        int next = i;
        int rc = ozu_ParseKeyword(argc, argv, i, ozu_KeysetOption, &next);
        if (rc == 1 || rc == 2) {
          words.push_back(argv[i]);
          i = next > i ? next : i + 1;
        } else if (rc == -2) {
          log_MissingValueForKeyword(argv[i]);
          bad = true;
        } else if (rc < 0) {
          log_BadValueForKeyword(argv[i]);
          bad = true;
        } else {
          i = next;
        }
      }
      if (!bad) {
        if (words.empty()) {
          applyAndReport(sesskeyset.curContext, set, onOff, ioMode, conn);
        } else {
          for (char *w : words) {
            if (interrupted)
              break;
            int plen = 0;
            if (ozu_CheckDrivePrefix(w, &plen) == nullptr) {
              char msg[4200];
              snprintf(msg, sizeof msg, "*** Not a logical drive: %s", w);
              setExitResult(0, msg, 7);
              continue;
            }
            w[2] = '\0';
            if (debug >= 2)
              fprintf(listF, "/debug/found logical drive '%c'\n", w[0]);
            ozu_context_t *ctx = ozu_LookupContextByDrive(w);
            if (ctx == nullptr) {
              log_NoConnectionForDrive(w);
              continue;
            }
            if (ozu_SetCurConnection(ctx->handle) < 0) {
              log_ConnectionSwitchFailure(ctx);
              continue;
            }
            applyAndReport(ctx, set, onOff, ioMode, conn);
          }
        }
      }
    }
  }
  ozu_FreeArgv(argv);
  if (startHandle >= 0 && keyset->curContext && keyset->curContext->handle != startHandle &&
      ozu_SetCurConnection(startHandle) < 0)
    fprintf(errFile, "*** Unable to switch back to previous connection! \n");
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
