// The arithmetic of du, kept apart for its tests.
#ifndef OZU_NS_USAGE_H
#define OZU_NS_USAGE_H

#include <stdint.h>
#include <time.h>

#include <string>

// Blocks of size bytes that hold bytes, as decimal text (a part block
// counts whole).
std::string format_Value(uint64_t bytes, int size);
// A date yyyy/mm/dd, yy/mm/dd (90-99), mm/dd/yyyy or mm/dd/yy as local
// midnight: 0 with *out, or -1.
int cv_date(const char *text, time_t *out);
// The filter time of du -w n: now less n days, at least 1.
uint32_t du_WrittenFilterTime(time_t now, long days);

#endif
