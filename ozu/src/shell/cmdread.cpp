// Command reading: where lines come from, continuation, ";" splitting and
// the idle time-out of plain standard input.
#include "ozu_cmdread.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <sys/select.h>
#include <time.h>
#include <unistd.h>

#include <string>

#include "ozu_context.h"
#include "ozu_log.h"
#include "ozu_misc.h"
#include "ozu_prompt.h"
#include "ozu_signals.h"
#include "ozu_startup.h"
#include "ozuvars.h"
#include "qel_threads.h"

char *pcmdbuf = cmdbuf;

namespace {

int failedReads = 0;

double monotonicNow(void)
{
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

// Lines that stdio has already read from descriptor 0 but not handed out:
// select on the descriptor cannot see them.
bool stdinHasBuffered(void)
{
#ifdef __GLIBC__
  return stdin->_IO_read_ptr < stdin->_IO_read_end;
#else
  return false;
#endif
}

// Removes the line end; a continuation backslash keeps nothing after it.
int finishLine(char *buf)
{
  size_t n = strlen(buf);
  while (n > 0 && (buf[n - 1] == '\n' || buf[n - 1] == '\r'))
    buf[--n] = '\0';
  size_t last = n;
  while (last > 0 && (buf[last - 1] == ' ' || buf[last - 1] == '\t'))
    --last;
  if (last > 0 && buf[last - 1] == '\\') {
    buf[last] = '\0';
    n = last;
  }
  return int(n);
}

// The text of the system's own overflow message.
const char kOverflowMessage[] = "(command buffer overflow-input truncated...\n";

// An overlong line is refused whole: what it held is dropped (none of its
// tail may be taken for a line of its own) and buf is left empty, or "\\"
// when the line asked for a continuation, so that the caller drops the
// continuation lines too. Returns -1.
int refuseLine(char *buf, bool continued)
{
  fputs(kOverflowMessage, stderr);
  fflush(stderr);
  // Nothing of it ran: a batch run must not end as a success.
  int cur = exitcode.load();
  while (cur < 64 && !exitcode.compare_exchange_weak(cur, 64)) {
  }
  snprintf(buf, 2, "%s", continued ? "\\" : "");
  return -1;
}

// After fgets into buf: true when the line did not fit. Its rest is then
// read and dropped, and *continued tells whether it ended in a backslash.
bool lineOverflows(char *buf, int bufLen, FILE *f, bool *continued)
{
  size_t n = strlen(buf);
  if (n + 1 < size_t(bufLen) || (n > 0 && buf[n - 1] == '\n'))
    return false;
  int c = getc(f);
  if (c == EOF || c == '\n')
    return false;  // the line filled the buffer exactly
  char last = c == ' ' || c == '\t' || c == '\r' ? buf[n - 1] : char(c);
  while ((c = getc(f)) != EOF && c != '\n')
    if (c != ' ' && c != '\t' && c != '\r')
      last = char(c);
  *continued = last == '\\';
  return true;
}

int readPlainStdin(const char *promptString, char *buf, int bufLen, int *eofReached)
{
  if (isatty2) {
    if (bellFlag)
      fputc('\a', stderr);
    fputs(promptString, stderr);
    fflush(stderr);
  }
  interrupted = 0;
  interruptEnable();
  bool haveDeadline = idleTimeout > 0;
  // The idle wait goes through the library's time seam, like every long wait.
  double deadline = monotonicNow() + double(idleTimeout) / qelapi_time_scale();
  for (;;) {
    if (ozu_ShutdownRequested()) {
      interruptClear();
      exitcode = 69;
      shutdownOZU();
    }
    if (stdinHasBuffered())
      break;
    if (interrupted) {
      // The line being typed is dropped; the next prompt follows.
      interruptClear();
      if (isatty2)
        fputc('\n', stderr);
      interruptAwaitReport();
      buf[0] = '\0';
      return 0;
    }
    if (haveDeadline && monotonicNow() > deadline) {
      interruptClear();
      setExitResult(0, "*** Timeout waiting for input from terminal ***", 7);
      *eofReached = 1;
      return 0;
    }
    fd_set rd;
    FD_ZERO(&rd);
    FD_SET(0, &rd);
    struct timeval tv = {0, 100000};
    int rc = select(1, &rd, nullptr, nullptr, &tv);
    if (rc > 0)
      break;
  }
  char *got = fgets(buf, bufLen, stdin);
  interruptClear();
  if (got == nullptr) {
    if (feof(stdin) || ++failedReads >= 3) {
      *eofReached = 1;
      return 0;
    }
    clearerr(stdin);
    buf[0] = '\0';
    return 0;
  }
  failedReads = 0;
  bool continued = false;
  if (lineOverflows(buf, bufLen, stdin, &continued))
    return refuseLine(buf, continued);
  return finishLine(buf);
}

}  // namespace

void ozu_TermCmdLine(void) { cbuflen = 0; }

int ozu_GetCommandLine(const char *promptString, char *buf, int bufLen, int *eofReached)
{
  *eofReached = 0;
  buf[0] = '\0';
  if (infileFlag) {
    char *got = fgets(buf, bufLen, fdIn);
    ++infileLine;
    // A last line without a newline is still a line.
    if (got == nullptr) {
      fclose(fdIn);
      fdIn = nullptr;
      free(infileName);
      infileName = nullptr;
      infileFlag = 0;
      echoFlag = echoSave;
      *eofReached = 1;
      buf[0] = '\0';
      return 0;
    }
    bool continued = false;
    if (lineOverflows(buf, bufLen, fdIn, &continued))
      return refuseLine(buf, continued);
    return finishLine(buf);
  }
  if (editorEnabled) {
    ozu_CmdSetPromptString(promptString);
    std::string whole;
    int n = ozu_CmdGetNextCommandString(buf, bufLen, eofReached, &whole);
    if (n <= 0) {
      buf[0] = '\0';
      return 0;
    }
    while (!whole.empty() && strchr(" \t\r\n", whole.back()) != nullptr)
      whole.pop_back();
    if (whole.size() > size_t(bufLen - 1))
      return refuseLine(buf, whole.back() == '\\');
    return finishLine(buf);
  }
  return readPlainStdin(promptString, buf, bufLen, eofReached);
}

void ozu_GetNextCommand(void)
{
  loccmdLine[0] = '\0';
  if (cbuflen == 0) {
    pcmdbuf = cmdbuf;
    cmdbuf[0] = '\0';
    size_t used = 0;
    bool overflowShown = false, overflowed = false;
    bool first = true;
    for (;;) {
      if (!(infileFlag || (startupCmdlen <= 0 && altListF == nullptr))) {
        if (first)
          snprintf(cmdbuf, sizeof cmdbuf, "%s", "end");
        break;
      }
      ozu_ConsoleMessage("");
      ozu_CmdSetContinuation(first ? 0 : 1);
      bool fromFile = infileFlag != 0;
      const char *ps = first ? sesskeyset.PS1 : sesskeyset.PS2;
      int eof = 0;
      int len = ozu_GetCommandLine(ozu_FormatPrompt(ps ? ps : (first ? "? " : "> ")), loccmdLine,
                                   maxcmdbuflen, &eof);
      if (len < 0) {
        // Refused whole (and said so); its continuation lines go with it.
        overflowShown = true;
        overflowed = true;
        if (strcmp(loccmdLine, "\\") != 0 || startupCmdlen > 0)
          break;
        first = false;
        continue;
      }
      // A Ctrl-C while a line was typed drops the whole logical line.
      if (!fromFile && !eof && len == 0 && interrupted.load() > 0) {
        cmdbuf[0] = '\0';
        break;
      }
      if (eof) {
        if (!first)
          break;
        if (fromFile) {
          if (startupCmdlen > 0 || altListF != nullptr)
            snprintf(cmdbuf, sizeof cmdbuf, "%s", "end");
        } else {
          setExitResult(0, "EOF detected on TTY - ending OZU session", 7);
          snprintf(cmdbuf, sizeof cmdbuf, "%s", "end");
          finished = 1;
        }
        break;
      }
      if (fromFile || echoFlag)
        fprintf(ttyOut, "%s\n", loccmdLine);
      bool dropped = false;
      if (overflowed || used + size_t(len) > maxcmdbuflen - 1) {
        dropped = true;
        overflowed = true;
        if (!overflowShown)
          fputs(kOverflowMessage, stderr);
        overflowShown = true;
      } else {
        memcpy(cmdbuf + used, loccmdLine, size_t(len) + 1);
        used += size_t(len);
      }
      const char *nb = loccmdLine;
      while (*nb == ' ' || *nb == '\t')
        ++nb;
      if (len == 0 || *nb == '#' || loccmdLine[len - 1] != '\\')
        break;
      if (!dropped)
        cmdbuf[--used] = '\0';
      if (startupCmdlen > 0)
        break;
      first = false;
    }
    ozu_CmdSetContinuation(0);
    // A logical line that did not fit is refused whole.
    if (overflowed)
      cmdbuf[0] = '\0';
    cbuflen = int(strlen(cmdbuf));
    loccmdLine[0] = '\0';
  }
  char *p = pcmdbuf;
  while (*p == ' ' || *p == '\t' || *p == '\n')
    ++p;
  if (*p == '!') {
    snprintf(loccmdLine, sizeof loccmdLine, "%s", p);
    cbuflen = 0;
  } else {
    size_t out = 0;
    bool escaped = false, inQuote = false;
    int paren = 0, brace = 0;
    while (*p) {
      char c = *p++;
      if (escaped) {
        escaped = false;
      } else if (inQuote) {
        if (c == '"') {
          inQuote = false;
        } else if (c == '\\') {
          escaped = true;
          continue;
        }
      } else if (c == '"') {
        inQuote = true;
      } else if (c == '(') {
        ++paren;
      } else if (c == ')') {
        --paren;
      } else if (c == '{') {
        ++brace;
      } else if (c == '}') {
        --brace;
      } else if (c == '\\') {
        escaped = true;
      } else if (c == ';' && paren == 0 && brace == 0) {
        break;
      }
      if (out < sizeof loccmdLine - 1)
        loccmdLine[out++] = c;
    }
    loccmdLine[out] = '\0';
    pcmdbuf = p;
    cbuflen = *p ? int(strlen(p)) : 0;
    if (escaped && out > 0 && loccmdLine[out - 1] == '\\')
      loccmdLine[--out] = '\0';
    while (out > 0 && (loccmdLine[out - 1] == ' ' || loccmdLine[out - 1] == '\t' ||
                       loccmdLine[out - 1] == '\n'))
      loccmdLine[--out] = '\0';
  }
  if (verboseFlag || debug >= 1)
    fprintf(listF, "Next command line:   [%s]\n", loccmdLine);
}
