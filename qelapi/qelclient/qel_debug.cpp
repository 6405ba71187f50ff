// The library's own debug log, configured once from QUOR_API_DEBUG,
// QUOR_API_DEBUG_FLAGS and QUOR_API_DEBUG_PATH. Each entry is a first line
// (process id, time, function, file, line) and a "msg: " line, written to
// standard error as built and to the debug file with newlines.
#include <errno.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/time.h>
#include <sys/times.h>
#include <time.h>
#include <unistd.h>

#include <mutex>

#include "quor_api_internal.h"

// Before start-up reads the environment, errors still reach standard error.
int qelapi_logging_level = 8;
int qelapi_logging_flags = QEL_LOG_STDERR;

namespace {

constexpr int OPT_PID = 1;
constexpr int OPT_TIME = 2;
constexpr int OPT_ELAPSED = 4;
constexpr int LOG_FLUSH = 0x8000;
constexpr size_t FIRST_LINE_BUF = 160;
constexpr size_t FIRST_LINE_MAX = 150;
constexpr size_t MSG_TEXT_MAX = 511;

pthread_mutex_t logfile_lock = PTHREAD_MUTEX_INITIALIZER;

std::mutex initMutex;
bool initDone = false;

int lineOptions = OPT_TIME;
FILE* logFile = nullptr;
bool logFileOwned = false;  // false for stdout and stderr, which stay open
long clockTicks = 0;
clock_t startClock = 0;

// One line to every sink that both the configuration and the caller chose;
// logfile_lock held.
void writeLine(const char* line, int log_flags) {
  const int sinks = qelapi_logging_flags & log_flags;
  if (sinks & QEL_LOG_STDERR) {
    fputs(line, stderr);
    if (qelapi_logging_flags & LOG_FLUSH) fflush(stderr);
  }
  if ((sinks & QEL_LOG_FILE) && logFile != nullptr) {
    fprintf(logFile, "%s\n", line);
    if (qelapi_logging_flags & LOG_FLUSH) fflush(logFile);
  }
}

void applyFlagLetters(const char* letters, const char** mode) {
  for (const char* c = letters; *c != '\0'; ++c) {
    switch (*c) {
      case 'p': lineOptions |= OPT_PID; break;
      case 't': lineOptions |= OPT_TIME; break;
      case 'T': lineOptions &= ~OPT_TIME; break;
      case 'r': lineOptions |= OPT_ELAPSED; break;
      case 'R': lineOptions &= ~OPT_ELAPSED; break;
      case 'm': qelapi_logging_flags |= QEL_LOG_MSGTRACE; break;
      case 'f': qelapi_logging_flags |= LOG_FLUSH; break;
      case 'a': *mode = "a"; break;
      case 'w': *mode = "w"; break;
      default: break;
    }
  }
}

}  // namespace

void qelapi_logging_init(void) {
  std::lock_guard<std::mutex> hold(initMutex);
  if (initDone) return;
  initDone = true;

  qelapi_logging_level = 255;
  qelapi_logging_flags = QEL_LOG_STDERR;
  lineOptions = OPT_TIME;
  const char* mode = "a";

  if (const char* level = getenv("QUOR_API_DEBUG")) qelapi_logging_level = atoi(level);
  if (const char* letters = getenv("QUOR_API_DEBUG_FLAGS")) applyFlagLetters(letters, &mode);

  const char* path = getenv("QUOR_API_DEBUG_PATH");
  if (path != nullptr) {
    qelapi_logging_flags |= QEL_LOG_FILE;
    if (strcasecmp(path, "stdout") == 0) {
      logFile = stdout;
    } else if (strcasecmp(path, "stderr") == 0) {
      logFile = stderr;
    } else {
      logFile = fopen(path, mode);
      logFileOwned = logFile != nullptr;
    }
    if (logFile == nullptr) {
      fprintf(stderr, "%s: unable to open debug logfile %s - logging disabled\n",
              "qelapi_logging_init", path);
      qelapi_logging_flags = 0;
      qelapi_logging_level = 0;
      return;
    }
  } else {
    // Without a file only errors are worth the noise on standard error.
    qelapi_logging_level = 8;
  }

  if (lineOptions & OPT_ELAPSED) {
    struct tms unused;
    clockTicks = sysconf(_SC_CLK_TCK);
    startClock = times(&unused);
  }
}

void qelapi_logmsg(int priority, const char* funcname, const char* fmt, int log_flags,
                   const char* srcfile, int linenum) {
  if (priority < 0 || priority > 31 ||
      (static_cast<unsigned>(qelapi_logging_level) & (1u << priority)) == 0)
    return;

  char first[FIRST_LINE_BUF];
  size_t len = 0;
  auto add = [&](const char* form, auto... args) {
    if (len >= sizeof(first) - 1) return;
    const int n = snprintf(first + len, sizeof(first) - len, form, args...);
    if (n > 0) len += static_cast<size_t>(n) < sizeof(first) - len ? static_cast<size_t>(n)
                                                                  : sizeof(first) - len - 1;
  };
  first[0] = '\0';
  if (lineOptions & OPT_PID) add("[%d] ", static_cast<int>(getpid()));
  if (lineOptions & OPT_TIME) {
    const time_t now = time(nullptr);
    char text[32];
    if (ctime_r(&now, text) != nullptr) add("%.16s ", text + 3);
  }
  if ((lineOptions & OPT_ELAPSED) && clockTicks > 0) {
    struct tms unused;
    const clock_t now = times(&unused);
    add("%9.4e ", static_cast<double>(now - startClock) / static_cast<double>(clockTicks));
  }
  add("Function: %s  File: %s  Line: %d ", funcname != nullptr ? funcname : "",
      srcfile != nullptr ? srcfile : "", linenum);
  if (len > FIRST_LINE_MAX) first[FIRST_LINE_MAX] = '\0';

  char msg[5 + MSG_TEXT_MAX + 1];
  snprintf(msg, sizeof(msg), "msg: %.*s", static_cast<int>(MSG_TEXT_MAX),
           fmt != nullptr ? fmt : "");

  pthread_mutex_lock(&logfile_lock);
  writeLine(first, log_flags);
  writeLine(msg, log_flags);
  pthread_mutex_unlock(&logfile_lock);
}

void qelapi_logf(int priority, const char* funcname, const char* srcfile, int linenum,
                 const char* fmt, ...) {
  if (priority < 0 || priority > 31 ||
      (static_cast<unsigned>(qelapi_logging_level) & (1u << priority)) == 0)
    return;
  char text[1024];
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(text, sizeof(text), fmt, ap);
  va_end(ap);
  qelapi_logmsg(priority, funcname, text, QEL_LOG_BOTH, srcfile, linenum);
}

void qelapi_tracemsg_hdr(int inout, quor_connection_t* theConnection, api_msghdr_t* theMsgHdr) {
  if (theMsgHdr == nullptr || (qelapi_logging_flags & QEL_LOG_FILE) == 0 || logFile == nullptr)
    return;
  struct timeval tv;
  gettimeofday(&tv, nullptr);
  char when[32] = "";
  const time_t secs = tv.tv_sec;
  if (ctime_r(&secs, when) == nullptr) when[0] = '\0';

  char name[1100] = "";
  if (theConnection != nullptr) {
    if (theConnection->server_host[0] != '\0')
      snprintf(name, sizeof(name), "%.*s", static_cast<int>(sizeof(theConnection->server_host)),
               theConnection->server_host);
    else
      quor_net_getuniversaladdress(&theConnection->server_addr, name, sizeof(name), nullptr, 0);
  }

  char line1[1300];
  snprintf(line1, sizeof(line1),
           "%15.15s.%3.3ld %s message Request ID: %d [0x%8.8x] Connection: %s Sanity: %8.8s",
           strlen(when) > 4 ? when + 4 : "", static_cast<long>(tv.tv_usec / 1000),
           inout ? "Outbound" : "Inbound", static_cast<int>(theMsgHdr->msgRequestID),
           static_cast<unsigned>(theMsgHdr->msgRequestID), name, theMsgHdr->sanity);
  char line2[200];
  snprintf(line2, sizeof(line2),
           "Flags:  0x%8.8x  Category: %d [0x%4.4x]  Function: %d [0x%4.4x] Errorcode: %d",
           static_cast<unsigned>(theMsgHdr->msgFlags), theMsgHdr->category,
           theMsgHdr->category, theMsgHdr->function, theMsgHdr->function,
           static_cast<int>(theMsgHdr->errorcode));

  pthread_mutex_lock(&logfile_lock);
  writeLine(line1, QEL_LOG_FILE);
  writeLine(line2, QEL_LOG_FILE);
  pthread_mutex_unlock(&logfile_lock);
}

void qelapi_tracemsg_data(int inout, quor_connection_t* theConnection, api_msghdr_t* theMsgHdr,
                          void* theBuffer) {
  (void)inout;
  (void)theConnection;
  (void)theMsgHdr;
  (void)theBuffer;
}

void qelapi_logging_reset_for_test(void) {
  std::lock_guard<std::mutex> hold(initMutex);
  pthread_mutex_lock(&logfile_lock);
  if (logFile != nullptr) {
    if (logFileOwned)
      fclose(logFile);
    else
      fflush(logFile);
  }
  logFile = nullptr;
  logFileOwned = false;
  lineOptions = OPT_TIME;
  clockTicks = 0;
  startClock = 0;
  qelapi_logging_level = 8;
  qelapi_logging_flags = QEL_LOG_STDERR;
  initDone = false;
  pthread_mutex_unlock(&logfile_lock);
}
