// The accounting record of a finished transfer (gateway log) and the user
// line that reports it.
#include <string.h>
#include <time.h>

#include <string>

#include "ozu_connect.h"
#include "ozu_context.h"
#include "ozu_drive.h"
#include "ozu_log.h"
#include "ozu_misc.h"
#include "ozuvars.h"
#include "quor_convert.h"
#include "xfer_record.h"

namespace {

std::string driveOf(int handle)
{
  char letter = 0;
  if (ozu_LookupDriveForContext(handle, &letter) < 0 || letter == 0)
    return "";
  return std::string(1, letter) + ":";
}

const char *localName(const transfer_t *ctl, bool get)
{
  const local_file_info_t *lf = &ctl->localFile;
  if (lf->stdinoutFlag)
    return get ? "<stdout>" : "<stdin>";
  if (lf->pipedFile)
    return "(| pipe command)";
  return lf->localPath ? lf->localPath : "";
}

// Sends a record on the connection of handle. Only this thread's calls go
// there: switching the shell's current connection from a transfer thread
// would move every other thread's calls with it.
void logOn(int handle, int current, int select, const char *line, bool userLine)
{
  xfer_conn_hold hold(handle != current ? handle : -1);
  if (!hold.ok)
    return;
  if (userLine)
    ozu_LogCmd(line, 5);
  else
    logit(select, line);
}

}  // namespace

int ozu_LogFileTransfer(int theResult, int srcType, int sinkType, transfer_t *ctl)
{
  ozu_context_t *cur = keyset ? keyset->curContext : nullptr;
  int curHandle = cur ? cur->handle : -1;
  bool copy = srcType == 1 && sinkType == 3;
  bool get = srcType == 1 && sinkType == 2;
  std::string first, second, srcDrive = driveOf(ctl->quorFile.conHandle);
  int cos = 0;
  const char *qpath = ctl->quorFile.quorPath ? ctl->quorFile.quorPath : "";
  int sinkHandle = -1;
  if (copy && ctl->quor2ndFile != nullptr) {
    sinkHandle = ctl->quor2ndFile->conHandle;
    first = srcDrive + qpath;
    second = driveOf(sinkHandle) + (ctl->quor2ndFile->quorPath ? ctl->quor2ndFile->quorPath : "");
    cos = int(ctl->quor2ndFile->hintsOut.COSId);
  } else {
    first = localName(ctl, get);
    second = srcDrive + qpath;
    if (sinkType == 3)
      cos = int(ctl->quorFile.hintsOut.COSId);
  }
  char bytes[32];
  u64tostr_r(ctl->totalBytesMoved, bytes);
  double secs = ctl->stopTime - ctl->startTime - ctl->overheadTime;
  double rate = secs > 0.0001 ? double(ctl->totalBytesMoved) / secs / 1000.0 : 0.0;
  ozu_login_info_t *login = cur ? &cur->curLogin : nullptr;
  char record[8400];
  int n = snprintf(record, sizeof record, "%d\t%s%s\t%d\t%.2f\t%s\t%.1f\t%d\t%s\t%s\t%u", myProcessID,
                   srcType == 0 ? "L" : "H", sinkType == 2 ? "L" : "H", theResult, ctl->openTime,
                   bytes, rate, cos, first.c_str(), second.c_str(), login ? unsigned(login->acctId) : 0u);
  if (copy && n > 0 && size_t(n) < sizeof record) {
    ozu_context_t *s = ozu_LookupConnection(ctl->quorFile.conHandle);
    ozu_context_t *d = ozu_LookupConnection(sinkHandle);
    snprintf(record + n, sizeof record - size_t(n), "\t%s\t%s", s && s->quor_name ? s->quor_name : "",
             d && d->quor_name ? d->quor_name : "");
  }
  logit(LOG_SEL_XFER, record);
  if (copy) {
    if (ctl->quorFile.conHandle != curHandle)
      logOn(ctl->quorFile.conHandle, curHandle, LOG_SEL_XFER, record, false);
    if (sinkHandle != curHandle && sinkHandle != ctl->quorFile.conHandle)
      logOn(sinkHandle, curHandle, LOG_SEL_XFER, record, false);
  }
  char line[8400];
  if (theResult < 0) {
    if (copy)
      snprintf(line, sizeof line, "*** %s: Error %d on transfer. %s to %s", verb, theResult,
               first.c_str(), second.c_str());
    else
      snprintf(line, sizeof line, "*** %s: Error %d on transfer. %s %s %s", verb, theResult,
               first.c_str(), srcType == 1 ? "from" : "to", second.c_str());
    ozu_LogCmd(line, 7);
    return 0;
  }
  char when[64] = "";
  if (srcType == 1) {
    time_t t = ctl->serverRunmode == 1 ? time_t(ctl->quorFile.attrs.Attrs.TimeLastWritten)
                                       : ctl->quorFile.lfxAttrs.st_mtime;
    struct tm tmv;
    localtime_r(&t, &tmv);
    snprintf(when, sizeof when, "%4d/%2.2d/%2.2d %2.2d:%2.2d:%2.2d", tmv.tm_year + 1900,
             tmv.tm_mon + 1, tmv.tm_mday, tmv.tm_hour, tmv.tm_min, tmv.tm_sec);
  }
  char cosText[32] = "";
  if (sinkType == 3)
    snprintf(cosText, sizeof cosText, "(cos=%d)", cos);
  snprintf(line, sizeof line, "%s  '%s' %s '%s' (%s %s bytes, %.1f KBS %s)", verb, first.c_str(),
           copy ? "to" : ":", second.c_str(), when, bytes, rate, cosText);
  int dest = 7;
  if ((ctl->Flags & FX_CKSUM_ENABLED) && (ctl->Flags & (FX_CKSUM_CREATE_OP | FX_CKSUM_VERIFY_OP)))
    dest = 5;
  if (dest & 2)
    ozu_ConsoleMessage("");
  ozu_LogCmd(line, dest);
  if (copy) {
    if (ctl->quorFile.conHandle != curHandle)
      logOn(ctl->quorFile.conHandle, curHandle, 0, line, true);
    if (sinkHandle != curHandle && sinkHandle != ctl->quorFile.conHandle)
      logOn(sinkHandle, curHandle, 0, line, true);
  }
  return 0;
}
