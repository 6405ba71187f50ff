// Control commands: switches, idle time, set, version and the end commands.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/utsname.h>

#include <string>

#include "ozu_context.h"
#include "ozu_dispatch.h"
#include "ozu_keyset.h"
#include "ozu_log.h"
#include "ozu_su.h"
#include "ozu_tokens.h"
#include "ozu_util.h"
#include "ozuvars.h"
#include "shell_commands.h"

#ifndef OZU_BUILD_HOST
#define OZU_BUILD_HOST "unknown"
#endif
#ifndef OZU_BUILD_OS
#define OZU_BUILD_OS "Linux"
#endif

namespace {

int toggle(int *flag, const char *format)
{
  *flag = *flag == 0 ? 1 : 0;
  char msg[256];
  snprintf(msg, sizeof msg, format, *flag ? "on" : "off");
  // The formats end with a newline; the log destinations add their own.
  size_t n = strlen(msg);
  if (n > 0 && msg[n - 1] == '\n')
    msg[n - 1] = '\0';
  ozu_LogCmd(msg, 6);
  return 0;
}

}  // namespace

int ozu_VerboseCommand(char *, int) { return toggle(&verboseFlag, "<verbose> mode turned %s\n"); }
int ozu_SuniqueCommand(char *, int)
{
  return toggle(&suniqueFlag, "send <unique filenames> turned %s\n");
}
int ozu_RuniqueCommand(char *, int)
{
  return toggle(&runiqueFlag, "receive <unique filenames> turned %s\n");
}
int ozu_PromptCommand(char *, int) { return toggle(&promptFlag, "prompting turned %s\n"); }
int ozu_ProgressCommand(char *, int)
{
  return toggle(&progressFlag, "<file transfer progress display> turned %s\n");
}
int ozu_GlobCommand(char *, int) { return toggle(&globFlag, "filename globbing turned %s\n"); }
int ozu_EchoCommand(char *, int) { return toggle(&echoFlag, "echo turned %s\n"); }
int ozu_CaseCommand(char *, int)
{
  return toggle(&caseFlag, "remote lfn->local lfn case conversion flag turned %s\n");
}
int ozu_CacheCommand(char *, int) { return toggle(&cacheFlag, "caching of dir. listings turned %s\n"); }
int ozu_BellCommand(char *, int) { return toggle(&bellFlag, "file xfer bell turned %s\n"); }
int ozu_SharedMemCommand(char *, int) { return 0; }
int ozu_AbortCommand(char *, int) { return 0; }

int ozu_VersionCommand(char *, int)
{
  fprintf(listF, "OZUGW Client Version: %s\n", OZU_VERSION);
  fprintf(listF, "Built on host: %s\n", OZU_BUILD_HOST);
  fprintf(listF, "OS Version/Level: %s\n", OZU_BUILD_OS);
  fflush(listF);
  return 0;
}

int ozu_SetIdleCommand(char *cc, int cclen)
{
  int argc = 0;
  char **argv = ozu_MakeArgv(cc + cclen, &argc);
  // An overflowing value is refused like a wrong word count.
  if (argc >= 2 || (argc == 1 && ozu_IntOverflows(argv[0]))) {
    fputs("*** usage:   idle[time] [value]\n    If value is negative, e.g. -1, then an infinite "
          "timeout is used.\n\n    If no argument is specified, then the current setting is "
          "displayed.\n",
          listF);
  } else {
    if (argc == 1) {
      long v = strtol(argv[0], nullptr, 10);
      idleTimeout = v <= 0 ? -1 : (v > 0x7fffffffL ? 0x7fffffff : int(v));
    }
    if (idleTimeout < 0)
      fprintf(listF, "Idle timeout setting is unlimited (no idle timeout)\n");
    else
      fprintf(listF, "Idle timeout setting is %d seconds\n", idleTimeout);
  }
  fflush(listF);
  ozu_FreeArgv(argv);
  return 0;
}

int ozu_SetCommand(char *cc, int cclen)
{
  char *pos = cc + cclen;
  int found = 0;
  for (;;) {
    char *name = pos;
    int len = 0, sep = 0;
    char *at = getOZUopt(&name, &len, &sep);
    if (len == 0)
      break;
    ++found;
    char saved = name[len];
    name[len] = '\0';
    std::string key = name;
    name[len] = saved;
    if (sep == '=') {
      char *v = at + 1;
      while (*v == ' ' || *v == '\t')
        ++v;
      int vlen = 0;
      char *measure = v;
      getOZUoptval(&measure, nullptr, &vlen);
      if (vlen == 0) {
        char msg[4200];
        snprintf(msg, sizeof msg, "*** Warning: missing <value> for option %s", key.c_str());
        setExitResult(0, msg, 6);
        break;
      }
      std::string value(size_t(vlen), '\0');
      char *copyFrom = v;
      pos = getOZUoptval(&copyFrom, value.data(), &vlen);
      setKeyword(key.c_str(), value.c_str(), &sesskeyset);
    } else {
      if (debug >= 2) {
        fprintf(listF, "[Client Setting] ");
        ozu_ListKeyword(key.c_str(), &sesskeyset, listF);
      }
      pos = at;
    }
  }
  if (found == 0 && debug > 1) {
    fprintf(listF, "[Client-side settings]\n");
    ozu_ListKeyset(listF, &sesskeyset);
  }
  return 0;
}

int ozu_EndCommand(char *, int)
{
  ozu_context_t *ctx = sesskeyset.curContext;
  if (ctx != nullptr && ctx->suFlag != SUMODE_NONE) {
    sudo_TerminateSudoCommand(1);
    return 0;
  }
  finished++;
  return 0;
}
