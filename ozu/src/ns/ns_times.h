// The time strings of touch -t.
#ifndef OZU_NS_TIMES_H
#define OZU_NS_TIMES_H

#include <time.h>

// [[CC]YY]MMDDhhmm[.ss] as local time: 0 with *out, or -1 after the
// message on the listing output.
int parseTimeString(const char *text, time_t *out);

#endif
