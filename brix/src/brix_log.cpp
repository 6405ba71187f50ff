// Levelled messages (printed locally and, once the gateway log is open, sent
// to it), the start-up records, the per-run transfer record, the trace line
// and the console status line.
#include <errno.h>
#include <stdarg.h>
#include <string.h>
#include <unistd.h>

#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "brix.h"
#include "quor_api.h"

const char* const brix_msg_prefix[5] = {"ERROR", "WARNING", "INFO", "BRIX", ""};
thread_local char brix_msg_buf[BRIX_MSG_BUFSIZE];

namespace {

// The console line is shared by every thread that shows or clears it.
std::mutex consoleLock;
int consoleLength = 0;
bool consoleShown = false;

bool consoleEnabled() {
  return isatty2 && !(brix_option_flags & BRIX_OPT_QUIET);
}

// Clears a console line still shown before other output goes to standard
// error, so the two do not run into each other.
void clearConsoleForOutput() {
  if (!consoleEnabled()) return;
  std::lock_guard<std::mutex> g(consoleLock);
  if (!consoleShown) return;
  fprintf(stderr, "\r%*s\r", consoleLength, "");
  consoleShown = false;
  consoleLength = 0;
}

// While a list request holds the gateway connection, records from the
// pipeline's threads wait here; a log call on the busy connection would
// stall the very threads the request waits for.
std::mutex deferredLock;
bool deferring = false;
std::vector<std::pair<uint32_t, std::string>> deferred;

}  // namespace

int brix_LogMsg(int level, uint32_t selector, const char* text) {
  if (!text) text = "";
  if (level >= 0 && level < 4) {
    char local[2047];
    snprintf(local, sizeof local, "%s: %s", brix_msg_prefix[level], text);
    size_t n = strlen(local);
    FILE* out = level < 2 ? stderr : stdout;
    if (out == stderr) clearConsoleForOutput();
    // One write per line keeps concurrent messages whole.
    std::string line(local, n);
    if (n == 0 || local[n - 1] != '\n') line.push_back('\n');
    fwrite(line.data(), 1, line.size(), out);
    fflush(out);
  }
  if (!brix_logging_enabled) return 0;
  char record[2048];
  int head = snprintf(record, sizeof record, "(%d) ", int(getpid()));
  size_t textLen = strlen(text);
  if (size_t(head) + textLen >= 2047) {
    // Cut so the record is 2046 characters ending in "...\n".
    size_t keep = 2046 - size_t(head) - 4;
    memcpy(record + head, text, keep);
    memcpy(record + head + keep, "...\n", 5);
  } else {
    memcpy(record + head, text, textLen + 1);
  }
  {
    std::lock_guard<std::mutex> hold(deferredLock);
    if (deferring) {
      deferred.emplace_back(selector, record);
      return 0;
    }
  }
  return quor_Logmsg(BRIX_LOG_PRIORITY, selector, record);
}

void brix_DeferGatewayLog(int on) {
  {
    std::lock_guard<std::mutex> hold(deferredLock);
    deferring = on != 0;
  }
  if (!on) brix_FlushGatewayLog();
}

void brix_FlushGatewayLog(void) {
  std::vector<std::pair<uint32_t, std::string>> out;
  {
    std::lock_guard<std::mutex> hold(deferredLock);
    out.swap(deferred);
  }
  for (const auto& r : out) quor_Logmsg(BRIX_LOG_PRIORITY, r.first, r.second.c_str());
}

int brix_Log(int level, const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(brix_msg_buf, sizeof brix_msg_buf, fmt, ap);
  va_end(ap);
  return brix_LogMsg(level, BRIX_LOG_SELECT_MSG, brix_msg_buf);
}

void brix_perror(const char* what) {
  int e = errno;
  clearConsoleForOutput();
  fprintf(stderr, "%s: %s\n", what, strerror(e));
  fflush(stderr);
  errno = e;
}

int brix_Openlog(const char* subsys, uint32_t options) { return quor_Openlog(subsys, options); }

int brix_Closelog(uint32_t options) { return quor_Closelog(options); }

void brix_LogCommandLine(int argc, char** argv) {
  std::string line;
  for (int i = 0; i < argc; i++) {
    size_t add = strlen(argv[i]) + 1;
    if (line.size() + add > 2046) break;
    line += argv[i];
    line += ' ';
  }
  brix_LogMsg(BRIX_MSG_LOGONLY, BRIX_LOG_SELECT_MSG, line.c_str());
}

const char* brix_VersionString(void) {
  return "[brix version 1.0 built " __DATE__ " " __TIME__ "]";
}

void brix_LogVersion(void) {
  char text[256];
  snprintf(text, sizeof text, "VERSION: %s", brix_VersionString());
  if (brix_LogMsg(BRIX_MSG_LOGONLY, BRIX_LOG_SELECT_MSG, text) < 0)
    fprintf(stderr, "*** Warning: error sending [version %s] message to server\n",
            brix_VersionString());
}

void brix_LogCwd(void) {
  char cwd[4096];
  if (!getcwd(cwd, sizeof cwd)) {
    fprintf(stderr, "*** Warning: unable to determine current working directory. Error=%d\n",
            errno);
    return;
  }
  std::string text = std::string("CWD: ") + cwd;
  if (brix_LogMsg(BRIX_MSG_LOGONLY, BRIX_LOG_SELECT_MSG, text.c_str()) < 0)
    fprintf(stderr, "*** Warning: error sending [cwd %s] message to server\n", cwd);
}

namespace {

const char* archiveLetter(int residency) {
  switch (residency) {
    case BRIX_QUOR_FILE: return "Q";
    case BRIX_REMOTE_FILE: return "R";
    case BRIX_LOCAL_FILE: return "L";
    default: return "?";
  }
}

const char* memberLetter(int residency) {
  switch (residency) {
    case BRIX_MEMBER_QUOR: return "Q";
    case BRIX_MEMBER_REMOTE: return "R";
    case BRIX_MEMBER_LOCAL: return "L";
    default: return "?";
  }
}

}  // namespace

int brix_FormatTransferRecord(char* buf, size_t size, const char* archive, int operation,
                              int result, int archiveResidency, int memberResidency,
                              uint64_t bytes, double seconds) {
  bool create = operation == BOP_CREATE;
  const char* first = create ? memberLetter(memberResidency) : archiveLetter(archiveResidency);
  const char* second = create ? archiveLetter(archiveResidency) : memberLetter(memberResidency);
  double rate = seconds > 0.0001 ? double(bytes) / seconds / 1000.0 : 0.0;
  return snprintf(buf, size, "%d\t%s\t%s%s\t%d\t%lu\t%.2f\t%.1f\t%s\t%s\t%d\t%u", int(getpid()),
                  create ? "create" : "extract", first, second, result, (unsigned long)bytes,
                  seconds, rate, archive ? archive : "", "", brix_archive_cosID, curAcctId);
}

int brix_LogFileTransfer(const char* archive, int operation, int result, int archiveResidency,
                         int memberResidency, uint64_t bytes, double seconds) {
  if (!brix_logging_enabled) return 0;
  char record[4245];
  brix_FormatTransferRecord(record, sizeof record, archive, operation, result, archiveResidency,
                            memberResidency, bytes, seconds);
  return quor_Logmsg(BRIX_LOG_PRIORITY, BRIX_LOG_SELECT_XFER, record);
}

void brix_FuncTraceMessage(const char* enterExit, const char* function, const char* optionalText,
                           long optionalValue, const char* file, int line) {
  std::string text = "[" + std::string(file) + ",line " + std::to_string(line) + "] " + enterExit +
                     " " + function;
  if (optionalText) text += " " + std::string(optionalText) + "=" + std::to_string(optionalValue);
  text += "\n";
  fwrite(text.data(), 1, text.size(), stderr);
  fflush(stderr);
}

void console_message(const char* first, const char* second) {
  if (!consoleEnabled()) return;
  if (!first) first = "";
  if (!second) second = "";
  std::lock_guard<std::mutex> g(consoleLock);
  int len = int(strlen(first) + strlen(second) + 1);
  if (first[0] == '\0' && second[0] == '\0') {
    if (consoleShown) fprintf(stderr, "\r%*s\r", consoleLength, "");
    consoleShown = false;
    consoleLength = 0;
    fflush(stderr);
    return;
  }
  if (len < consoleLength)
    fprintf(stderr, "\r%s %s%*.*s\r", first, second, consoleLength - len, consoleLength - len, "");
  else
    fprintf(stderr, "\r%s %s\r", first, second);
  fflush(stderr);
  consoleLength = len;
  consoleShown = true;
}
