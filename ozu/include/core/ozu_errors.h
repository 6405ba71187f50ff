// The storage error table: every negative code the storage API reports,
// with its symbol and text, and the one formatter of failed storage calls.
#ifndef OZU_ERRORS_H
#define OZU_ERRORS_H

#include <stdio.h>

typedef struct ozu_error {
  int error_code;  // always negative
  const char *quor_error_sym;
  const char *quor_error_text;
} ozu_error_t;

extern const ozu_error_t quor_errlist[];
extern const int quor_nerrors;

// The row of -|errornum|, or null when the table has none.
const ozu_error_t *quor_strerror(int errornum);

// "*** %s: %s [%d: %s] %c%s%s": routine (or "[??function??]"), text (empty
// when unknown), errornum as given, symbol (or "unknown error value"), then
// a newline and four blanks before theMessage, or one blank without one.
// Written to theFile as well when given. The text lives in a buffer of the
// calling thread, valid until that thread's next call.
const char *quor_perror(int errornum, const char *theRoutine, const char *theMessage,
                        FILE *theFile);

#endif
