// Request journal of gwsim.
#include "journal.h"

#include <errno.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>

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

// Escapes control bytes, and backslashes too when all is set.
static std::string escaped(const char* p, size_t n, bool all) {
  std::string out;
  out.reserve(n);
  for (size_t i = 0; i < n; i++) {
    unsigned char c = (unsigned char)p[i];
    if (c == '\\' && all) {
      out += "\\\\";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c < 0x20 || c == 0x7f) {
      char hex[8];
      snprintf(hex, sizeof hex, "\\x%02x", c);
      out += hex;
    } else {
      out += char(c);
    }
  }
  return out;
}

std::string gw_JournalText(const char* text) {
  return text ? escaped(text, strlen(text), true) : std::string();
}

std::string gw_JournalText(const std::string& text) {
  return escaped(text.data(), text.size(), true);
}

void gw_JournalLine(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  char small[512];
  va_list again;
  va_copy(again, ap);
  int n = vsnprintf(small, sizeof small, fmt, ap);
  va_end(ap);
  std::string line;
  if (n >= 0 && size_t(n) < sizeof small) {
    line.assign(small, size_t(n));
  } else if (n > 0) {
    // Gateway-log lines run to 2047 characters and more once escaped.
    line.resize(size_t(n) + 1);
    vsnprintf(line.data(), line.size(), fmt, again);
    line.resize(size_t(n));
  }
  va_end(again);
  line = escaped(line.data(), line.size(), false);
  line += '\n';
  std::lock_guard<std::mutex> g(journal_lock);
  if (!journal_file) return;
  fwrite(line.data(), 1, line.size(), journal_file);
  fflush(journal_file);
}

void gw_JournalClose(void) {
  std::lock_guard<std::mutex> g(journal_lock);
  if (journal_file) fclose(journal_file);
  journal_file = nullptr;
}
