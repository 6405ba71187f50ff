// Exit code, message destinations, standard messages and accounting records.
#include "ozu_log.h"

#include <ctype.h>
#include <inttypes.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <string>

#include "ozu_context.h"
#include "ozu_dispatch.h"
#include "ozu_errors.h"
#include "ozu_misc.h"
#include "ozu_paths.h"
#include "ozuvars.h"
#include "qel_threads.h"
#include "quor_api.h"

// Set once the gateway log is open; before that, no record is sent, so an
// early message never opens a connection of its own.
int ozu_gatewayLogOpen = 0;

void logit(int logSelect, const char *line)
{
  if (!ozu_gatewayLogOpen || ozu_GatewayKnownDown())
    return;
  (void)quor_Logmsg(0x6000, uint32_t(logSelect), line);
}

void setExitResult(int excode, const char *msg, int dest)
{
  int cur = exitcode.load();
  while (excode > cur && !exitcode.compare_exchange_weak(cur, excode)) {
  }
  ozu_ConsoleMessage("");
  ozu_LogCmd(msg, dest);
}

void ozu_ReportExit(int excode, const char *fmt, ...)
{
  char msg[4400];
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(msg, sizeof msg, fmt, ap);
  va_end(ap);
  setExitResult(excode, msg, 7);
}

void ozu_StorageError(int excode, int err, const char *routine, const char *path)
{
  setExitResult(excode, quor_perror(err, routine, path, nullptr), 7);
}

void ozu_LogCmd(const char *cmd, int dest)
{
  if (cmd == nullptr)
    return;
  if (dest & 1) {
    char line[2048];
    snprintf(line, sizeof line, "%d %s", myProcessID, cmd);
    logit(LOG_SEL_CMD, line);
  }
  if ((dest & 4) && logfileFlag && fdLog != nullptr) {
    char ct[64];
    time_t now = time(nullptr);
    ctime_r(&now, ct);
    // ctime: "Www Mmm dd hh:mm:ss yyyy\n"
    fprintf(fdLog, "%2.2s %6.6s %8.8s[%d] %s\n", ct + 22, ct + 4, ct + 11, int(getpid()), cmd);
    fflush(fdLog);
  }
  if ((dest & 2) && listF != nullptr) {
    fprintf(listF, "%s\n", cmd);
    if (outfileFlag)
      fflush(listF);
  }
}

namespace {

void report(int code, int dest, const char *fmt, ...) __attribute__((format(printf, 3, 4)));
void report(int code, int dest, const char *fmt, ...)
{
  char buf[4200];
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(buf, sizeof buf, fmt, ap);
  va_end(ap);
  setExitResult(code, buf, dest);
}

}  // namespace

void ozu_ExtraneousOptionsMsg(void) { report(0, 6, "*** Warning: extraneous option(s) ignored"); }

void ozu_ExtraObjectsMsg(const char *firstExtra)
{
  report(0, 6, "*** Warning: extra parameter(s) starting with `%s' ignored", firstExtra);
}

void missingObjectsMsg(void) { report(64, 6, "*** `%s': missing object(s)", verb); }

void log_UnknownKeyword(const char *keyword)
{
  if (strlen(keyword) > 4146)
    report(64, 6, "*** %s: bad option detected - %50.50s...", verb, keyword);
  else
    report(64, 6, "*** `%s': unrecognized keyword %s", verb, keyword);
}

void log_MissingPathForDrive(const char *drive)
{
  report(64, 6, "*** `%s': missing path for %s", verb, drive);
}

void log_MissingValueForKeyword(const char *keyword)
{
  if (strlen(keyword) > 4146)
    report(64, 6, "*** %s: missing value for keyword - %50.50s...", verb, keyword);
  else
    report(64, 6, "*** `%s': missing value for keyword %s", verb, keyword);
}

void log_NoConnectionForDrive(const char *drive)
{
  report(64, 6, "*** `%s': no active connection for drive %c:", verb, drive ? drive[0] : '?');
}

void log_ConnectionSwitchFailure(const struct ozu_context *context)
{
  report(64, 6, "*** `%s': Unable to switch to connection handle %d [drive %c:]", verb,
         context->handle, toupper(static_cast<unsigned char>(context->driveLetter)));
}

void log_BadValueForKeyword(const char *keyword)
{
  report(64, 6, "*** `%s': bad value for keyword %s", verb, keyword);
}

void log_BadValueForOption(int option, const char *value)
{
  report(64, 6, "*** `%s': bad value [%s] for option %c", verb, value, option);
}

void ozu_MallocError(long theSize, const char *theFunction, const char *theFile, int theLine)
{
  report(78, 7, "*** malloc failed. function: %s size: %d file: %s line %d", theFunction,
         int(theSize), theFile, theLine);
}

void ozu_LogFileUnlink(const char *theFile, uint64_t fileSize)
{
  char path[4097];
  char rec[8400];
  makeQUORpath_r(0, theFile, path);
  snprintf(rec, sizeof rec, "%d\t%s\t%d\t%.2f\t%" PRIu64 "\t%.1f\t%d\t%s\t%s", myProcessID, "FU", 0,
           0.0, fileSize, 0.0, 0, path, "");
  logit(LOG_SEL_UNLINK, rec);
}

void ozu_LogFileRename(const char *oldPath, const char *newPath)
{
  char p1[4097], p2[4097];
  char rec[8392];
  makeQUORpath_r(0, oldPath, p1);
  makeQUORpath_r(0, newPath, p2);
  snprintf(rec, sizeof rec, "%d\t%s\t%d\t%.2f\t%d\t%.1f\t%d\t%.4096s\t%.4096s", myProcessID, "FR",
           0, 0.0, 0, 0.0, 0, p1, p2);
  logit(LOG_SEL_UNLINK, rec);
}

int ozu_EioRetry(const std::function<int()> &call)
{
  int dest = quietFlag ? 5 : 7;
  return int(quor_EioRetry([&] { return int64_t(call()); },
                           [dest](const char *msg) { setExitResult(0, msg, dest); }));
}
