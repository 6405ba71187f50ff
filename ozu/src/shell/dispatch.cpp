// The dispatcher: prefixes, table search, per-command copies, the gateway
// relay and the handlers.
#include "ozu_dispatch.h"

#include <ctype.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "msg_cli.h"
#include "ozu_cmdread.h"
#include "ozu_connect.h"
#include "ozu_context.h"
#include "ozu_drive.h"
#include "ozu_getopt.h"
#include "ozu_local.h"
#include "ozu_log.h"
#include "ozu_misc.h"
#include "ozu_paths.h"
#include "ozu_signals.h"
#include "ozu_startup.h"
#include "ozu_su.h"
#include "ozu_util.h"
#include "ozurc.h"
#include "ozuvars.h"
#include "quor_api.h"
#include "shell_commands.h"

int consoleCleanupNeeded = 0;
int keysetsSynced = 0;

namespace {

bool tableReady = false;

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\n'; }

void report64(const char *fmt, const char *arg)
{
  char msg[4200];
  snprintf(msg, sizeof msg, fmt, arg);
  setExitResult(64, msg, 7);
}

void unrecognized(const char *line) { report64("*** unrecognized command: '%s'", line); }

int relay(char *line)
{
  cli_InProgress = 1;
  int rc = ozu_OzugwdCommand(line, 0);
  cli_InProgress = 0;
  if (rc < 0 && rc != OZUGW_CLI_NOT_HANDLED)
    ozu_NoteGatewayDown();
  else if (ozu_GatewayKnownDown())
    ozu_ClearGatewayDown();
  return rc;
}

// The first call: abbreviation lengths and the session's settings for the
// gateway, with the start-up commands kept aside meanwhile.
int firstCall(void)
{
  for (CCmdtab &e : OZUCmds)
    e.ab_len = int(strlen(e.abbrev));
  tableReady = true;
  if (keysetsSynced)
    return 0;
  std::string saved(pcmdbuf ? pcmdbuf : "", size_t(cbuflen > 0 ? cbuflen : 0));
  int savedLen = cbuflen;
  int rc = syncStartupKeysets();
  if (rc != 0) {
    char msg[128];
    snprintf(msg, sizeof msg,
             "*** Error %d synchronizing startup keysets - please report this error\n", rc);
    setExitResult(64, msg, 7);
  }
  keysetsSynced = 1;
  memcpy(cmdbuf, saved.c_str(), saved.size() + 1);
  pcmdbuf = cmdbuf;
  cbuflen = savedLen;
  return 0;
}

CCmdtab *findSet(void)
{
  for (CCmdtab &e : OZUCmds)
    if (strcmp(e.fullcmd, "set") == 0)
      return &e;
  return nullptr;
}

}  // namespace

// The connection whose last exchange failed. While it is the current one,
// the window size is not sent and the commands the shell runs itself go
// without the relay, so that they neither fail nor drag the library's
// reconnect messages along; the first relay that goes through clears it.
namespace {
int downHandle = -1;
}

int ozu_GatewayKnownDown(void)
{
  const ozu_context_t *c = sesskeyset.curContext;
  return c != nullptr && c->handle == downHandle ? 1 : 0;
}

void ozu_NoteGatewayDown(void)
{
  const ozu_context_t *c = sesskeyset.curContext;
  if (c == nullptr || c->handle == downHandle)
    return;
  downHandle = c->handle;
  fprintf(errFile, "*** The gateway is not answering: the shell's own commands run without it\n");
  fflush(errFile);
}

void ozu_ClearGatewayDown(void) { downHandle = -1; }

int isSetCmd(const char *str)
{
  const char *p = str;
  while (isBlank(*p))
    ++p;
  if (*p == '\0')
    return 0;
  while (*p && !isBlank(*p)) {
    if (*p == '=')
      return 1;
    ++p;
  }
  if (*p == '\0')
    return 0;
  while (isBlank(*p))
    ++p;
  return *p == '=' ? 1 : 0;
}

int syncStartupKeysets(void)
{
  const Keyset &k = sesskeyset;
  const ozu_context_t *c = k.curContext;
  char line[maxcmdbuflen];
  auto send = [&](const char *fmt, auto... args) {
    snprintf(line, sizeof line, fmt, args...);
    ozu_OzugwdCommand(line, 4);
  };
  send("set agentcount = %d\n", k.agent_count);
  send("set backup = %s", k.backup ? "on" : "off");
  send("set columns=%d\n", k.cols_per_line);
  if (k.cos == 0)
    send("%s", "set cos = auto\n");
  else
    send("set cos = %d\n", k.cos);
  if (c && c->namedCosList)
    send("set coslist = \"%s\"\n", c->namedCosList);
  else
    send("%s", "set coslist = none\n");
  send("set dcreatemode=0%o\n", unsigned(c ? c->dcreateMode : 0));
  send("set family_id=%d\n", c ? c->defaultFamilyID : 0);
  send("set fcreatemode=0%o\n", unsigned(c ? c->fcreateMode : 0));
  send("set iobufsize=%d\n", int(k.iobufsize));
  send("set lines=%d\n", k.lines_per_page);
  send("set copies=%d\n", k.copies);
  send("set promptlen=%d\n", globalDefs.promptLen);
  send("set PS1=\"%s\"\n", k.PS1 ? k.PS1 : "");
  send("set PS2=\"%s\"\n", k.PS2 ? k.PS2 : "");
  send("set promptdirlen=%d\n", globalDefs.promptDirLen);
  send("set pwidth=%d\n", k.pwidth);
  send("set talk=%s\n", k.talk ? "on" : "off");
  send("set wait=%d\n", k.wait);
  return 0;
}

void ozu_UserCommand(void)
{
  if (!tableReady)
    firstCall();
  for (;;) {
    cmdLine[0] = '\0';
    ozu_CheckListingFile(0);
    listF = outfileFlag && fdOut ? fdOut : ttyOut;
    fflush(listF);
    ozu_context_t *cur = sesskeyset.curContext;
    if (cur && (cur->suFlag == SUMODE_SUDO || cur->suFlag == SUMODE_SUDO_SH))
      sudo_TerminateSudoCommand(cur->suFlag == SUMODE_SUDO);
    loccmdLine[0] = '\0';
    ozu_GetNextCommand();
    if (loccmdLine[0] == '\0')
      return;
    interrupted = 0;
    // Interrupts count for this command's waits from here on, not before.
    quorex_WaitsInterruptible(1);
    if (!ozu_GatewayKnownDown() && ozu_SetWindowSize() < 0) {
      ozu_NoteGatewayDown();
      if (interrupted.load() > 0) {
        // Ctrl-C ended a wait the gateway never answered.
        interruptAwaitReport();
        setExitResult(69, "*** No answer from the gateway: the command was not run", 7);
        return;
      }
    }
    ozu_LogCmd(loccmdLine, 5);
    char *line = loccmdLine;
    while (isBlank(*line))
      ++line;
    if (*line == '\0') {
      cmdLine[0] = '\0';
      return;
    }
    if (*line == '#')
      return;
    curCommandNumber++;
    cur = sesskeyset.curContext;
    if (cur && cur->siteInfo.server_runmode == 2 && line[0] == '!' && line[1] == '!') {
      relay(line);
      return;
    }
    if (*line == '!') {
      ozu_SystemCmd(line + 1);
      return;
    }
    bool prefixed = false;
    int handle = -1;
    if (isalpha(static_cast<unsigned char>(line[0])) && line[1] == ':') {
      ozu_context_t *ctx = ozu_LookupContextByDrive(line);
      if (ctx == nullptr) {
        report64("*** Connection not open for drive: '%s'", line);
        return;
      }
      handle = ctx->handle;
      line += 2;
      prefixed = true;
    } else {
      char *p = line;
      while (isdigit(static_cast<unsigned char>(*p)))
        ++p;
      if (*p == ':') {
        long id = p == line ? 0 : strtol(line, nullptr, 10);
        if (ozu_IntOverflows(line) || ozu_LookupConnection(int(id)) == nullptr) {
          report64("*** Connection not open for ID: '%s'", line);
          return;
        }
        handle = int(id);
        line = p + 1;
        prefixed = true;
      }
    }
    if (prefixed) {
      if (ozu_SetCurConnection(handle) < 0)
        return;
      while (isBlank(*line))
        ++line;
      if (*line == '\0') {
        cmdLine[0] = '\0';
        return;
      }
    }
    CCmdtab *entry = nullptr;
    ozu_handler_t handler = nullptr;
    int cclen = 0;
    bool known = false;
    if (isSetCmd(line)) {
      entry = findSet();
      if (entry == nullptr) {
        setExitResult(64, "*** INTERNAL OZU ERROR: Cannot find SET command\n", 7);
        return;
      }
      handler = ozu_SetCommand;
      verb = entry->fullcmd;
      verbAbbreviation = entry->abbrev;
      known = true;
    } else {
      if (strncmp(line, "sudo", 4) == 0 && (line[4] == '\0' || isBlank(line[4]))) {
        ozu_context_t *in = keyset && keyset->curContext ? keyset->curContext : cur;
        if (in == nullptr || in->siteInfo.server_runmode != 1) {
          setExitResult(64, "*** Command 'sudo' is not implemented on non-QUOR gateway", 7);
          return;
        }
        if (sesskeyset.curContext->suFlag == SUMODE_SUDO_SH) {
          setExitResult(64, "*** SUDO is not allowed while a sudo-shell session is active", 7);
          return;
        }
        ozu_MakeCommandCopies();
        interrupted = 0;
        interruptEnable();
        char *l = line;
        int rc = ozu_SudoCommand(&l, 4);
        interruptClear();
        freeKeysetStrings(&cmdkeyset);
        if (rc < 0 || l == nullptr)
          return;
        sesskeyset.curContext->commandCount++;
        line = l;
        while (isBlank(*line))
          ++line;
      }
      for (CCmdtab &e : OZUCmds) {
        if (strncmp(line, e.abbrev, size_t(e.ab_len)) == 0) {
          entry = &e;
          break;
        }
      }
      if (entry != nullptr && entry->mgrfunc != nullptr) {
        verb = entry->fullcmd;
        verbAbbreviation = entry->abbrev;
        const char *t = line + entry->ab_len;
        const char *f = entry->fullcmd + entry->ab_len;
        while (*t && !isBlank(*t) && *f) {
          if (*f == '\'') {
            if (!isdigit(static_cast<unsigned char>(*t)))
              break;
          } else if (*t != *f) {
            unrecognized(line);
            return;
          }
          ++t;
          ++f;
        }
        if (*t && !isBlank(*t)) {
          unrecognized(line);
          return;
        }
        cclen = int(t - line);
        handler = entry->mgrfunc;
        known = true;
      }
    }
    // In a sudo shell the gateway authorises every command, relayed or
    // not, before it runs; leaving the session needs no authorisation.
    ozu_context_t *sctx = sesskeyset.curContext;
    if (sctx->suFlag == SUMODE_SUDO_SH && handler != ozu_EndCommand &&
        quor_SuInit(1, 0, sctx->initLogin.principal, sctx->curLogin.principal, line) < 0) {
      char msg[maxcmdbuflen + 64];
      snprintf(msg, sizeof msg, "*** Not authorized to run command: '%s'", line);
      setExitResult(72, msg, 7);
      return;
    }
    if (!known) {
      // No row, or a row the gateway alone runs: the gateway decides.
      verb = entry ? entry->fullcmd : "";
      ozu_MakeCommandCopies();
      interrupted = 0;
      interruptEnable();
      if (relay(line) == OZUGW_CLI_NOT_HANDLED)
        unrecognized(line);
      interruptClear();
      freeKeysetStrings(&cmdkeyset);
      return;
    }
    int clientOnly = entry->clientOnly;
    sesskeyset.curContext->commandCount++;
    ozu_MakeCommandCopies();
    interrupted = 0;
    interruptEnable();
    int rc = 0;
    int relayed = clientOnly || ozu_GatewayKnownDown() ? OZUGW_CLI_NOT_HANDLED : relay(line);
    // A relay that failed on the connection leaves the command to the shell.
    if (relayed < 0 && ozu_GatewayKnownDown())
      relayed = OZUGW_CLI_NOT_HANDLED;
    if (clientOnly || relayed == OZUGW_CLI_NOT_HANDLED) {
      ozu_GetoptReset();
      rc = handler(line, cclen);
    }
    interruptClear();
    freeKeysetStrings(&cmdkeyset);
    if (rc != -2)
      return;
  }
}

int ozu_OzugwdCommand(char *cc, int)
{
  if (consoleCleanupNeeded) {
    ozu_ConsoleMessage("");
    consoleCleanupNeeded = 0;
  }
  int exitCode = 0;
  uint32_t flags = 0;
  int rc = ozugw_cli_SendCommand(1, int(strlen(cc)) + 1, cc, ozu_OzugwdRespHandler, &exitCode,
                                 &flags);
  // An exit status holds 8 bits: a larger code would wrap (256 to 0).
  if (exitCode > 255)
    exitCode = 255;
  int curCode = exitcode.load();
  while (exitCode > curCode && !exitcode.compare_exchange_weak(curCode, exitCode)) {
  }
  if (rc >= 0 || rc == OZUGW_CLI_NOT_HANDLED) {
    if (consoleCleanupNeeded) {
      ozu_ConsoleMessage("");
      consoleCleanupNeeded = 0;
    }
  } else {
    fprintf(errFile, "*** Error(s) sending or receiving CLI protocol message(s)\n");
    fflush(errFile);
    // A relay that failed is a service that was not available.
    curCode = exitcode.load();
    while (69 > curCode && !exitcode.compare_exchange_weak(curCode, 69)) {
    }
  }
  return rc;
}

void displayResponse(FILE *file, int len, char *text)
{
  // The text may hold several zero-terminated pieces; none is read past
  // len, so a reply without a terminator is safe.
  if (text != nullptr && len > 0) {
    int start = 0;
    for (int i = 0; i <= len; ++i) {
      if (i == len || text[i] == '\0') {
        if (i > start)
          fwrite(text + start, 1, size_t(i - start), file);
        start = i + 1;
      }
    }
  }
  fflush(file);
}

int ozu_OzugwdRespHandler(uint32_t *flags, uint32_t *syncType, int32_t *len, char **data)
{
  // Three interrupts asked for the end while the gateway still streams: the
  // main thread is here, which is a safe place to end.
  if (ozu_ShutdownRequested()) {
    if (data) {
      free(*data);
      *data = nullptr;
    }
    exitcode = 69;
    shutdownOZU();
  }
  char *text = data ? *data : nullptr;
  int n = len && *len > 0 && text != nullptr ? *len : 0;
  uint32_t f = flags ? *flags : 0;
  if (f & CLI_REPLY_LISTING) {
    if (consoleCleanupNeeded) {
      ozu_ConsoleMessage("");
      consoleCleanupNeeded = 0;
    }
    displayResponse(listF, n, text);
  } else if (f & CLI_REPLY_ERROR) {
    if (consoleCleanupNeeded) {
      ozu_ConsoleMessage("");
      consoleCleanupNeeded = 0;
    }
    displayResponse(errFile, n, text);
  } else if (f & CLI_REPLY_STATUS) {
    if (!quietFlag) {
      std::string status(text ? text : "", size_t(n));
      status = status.c_str();
      ozu_ConsoleMessage(status.c_str());
      consoleCleanupNeeded = 1;
    }
  } else if (f & CLI_REPLY_SYNC) {
    uint32_t type = syncType ? *syncType : 0;
    if (type == CLI_SYNC_CHDIR) {
      std::string body(text ? text : "", size_t(n));
      body = body.c_str();
      size_t a = body.find_first_not_of(" \t\n");
      size_t b = a == std::string::npos ? a : body.find_first_of(" \t\n", a);
      std::string num = a == std::string::npos ? "" : body.substr(a, b - a);
      size_t c = b == std::string::npos ? b : body.find_first_not_of(" \t\n", b);
      size_t d = c == std::string::npos ? c : body.find_first_of("\t\n", c);
      std::string path = c == std::string::npos ? "" : body.substr(c, d - c);
      // The slot number indexes ten working directories: only 0-9 count.
      if (num.size() == 1 && isdigit(static_cast<unsigned char>(num[0])) && !path.empty()) {
        int slot = num[0] - '0';
        if (debug >= 1)
          fprintf(listF, "/debug/%s: Setting wd[%d] to '%s'\n", "ozu_OzugwdRespHandler", slot,
                  path.c_str());
        setcwdQUOR(&sesskeyset, slot, path.c_str(), 0);
      }
    } else {
      fprintf(errFile, "*** %s: received unrecognized <sync> message type %u from ozugwd\n",
              "ozu_OzugwdRespHandler", type);
    }
  }
  if (data) {
    free(*data);
    *data = nullptr;
  }
  return 0;
}
