// The request journal: one text line per request received and per
// connection opened or closed, written whole and flushed at once so that a
// test can read it while gwsim runs. Lines from all connection threads are
// serialised.
//
// gw_JournalOpen  opens (truncates) path; 0, or -errno. Without a call, or
//                 with an empty path, every line is dropped.
// gw_JournalLine  writes one line (a newline is added); a control byte in
//                 the formatted text is written escaped, so that no text
//                 can make a line of its own.
// gw_JournalText  client-supplied text as the journal shows it: printable
//                 bytes as they are, "\\" for a backslash, "\n", "\r",
//                 "\t", and "\xNN" for other control bytes.
// gw_JournalClose flushes and closes.
#ifndef GWSIM_JOURNAL_H
#define GWSIM_JOURNAL_H

#include <string>

int gw_JournalOpen(const char* path);
void gw_JournalLine(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void gw_JournalClose(void);
std::string gw_JournalText(const char* text);
std::string gw_JournalText(const std::string& text);

#endif
