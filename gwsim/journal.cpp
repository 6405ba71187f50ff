// Request journal of gwsim.
#include "journal.h"

#include <errno.h>
#include <stdarg.h>
#include <stdio.h>

#include <mutex>

static std::mutex journal_lock;
static FILE* journal_file;

int gw_JournalOpen(const char* path) {
  std::lock_guard<std::mutex> g(journal_lock);
  if (!path || !*path) return 0;
  FILE* f = fopen(path, "w");
  if (!f) return -errno;
  journal_file = f;
  return 0;
}

void gw_JournalLine(const char* fmt, ...) {
  std::lock_guard<std::mutex> g(journal_lock);
  if (!journal_file) return;
  // Written out whole: gateway-log lines run to 2047 characters.
  va_list ap;
  va_start(ap, fmt);
  vfprintf(journal_file, fmt, ap);
  va_end(ap);
  fputc('\n', journal_file);
  fflush(journal_file);
}

void gw_JournalClose(void) {
  std::lock_guard<std::mutex> g(journal_lock);
  if (journal_file) fclose(journal_file);
  journal_file = nullptr;
}
