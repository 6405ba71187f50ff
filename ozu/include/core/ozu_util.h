// Small services shared by the shell and the archiver: a clock, a per-thread
// stopwatch, the name tables of log-in methods, checksum and object types,
// storage permissions as a Unix mode and byte counts for people.
#ifndef OZU_UTIL_H
#define OZU_UTIL_H

#include <stdint.h>
#include <sys/stat.h>

#include "quor_types.h"

// Seconds since the epoch, with microseconds.
double double_time(void);

// The calling thread's stopwatch; stop gives seconds since that thread's
// last start (0 when it never started).
void ozu_TimerStart(void);
double ozu_TimerStop(void);

// Name tables. Names are constant strings; an unknown name converts to -1.
const char *ozu_AuthTypeToString(int code);   // "????" when unknown
int ozu_ConvertAuthMethod(const char *name);   // case-insensitive
const char *ozu_CksumTypeToString(int type);  // null outside 0-9
int ozu_ConvertCksumType(const char *name);    // case-insensitive
const char *quor_ObjectTypeToString(unsigned type);
const char *ozu_StatObjectTypeToString(const struct stat *st);

// The Unix mode of a storage object's permission words; every output may
// be null. Owner, group and other bits carry their special bit along.
void ozu_NsPermsToMode_t(const quor_Attrs_t *attrs, int *combinedBits, int *ownerBits,
                         int *groupBits, int *otherBits);

// "%u B" below one unit (1000, or 1024 with kbflag), else one decimal and
// KB, MB, GB, TB, PB or XB. string must hold 32 bytes.
void u64_to_decflt(uint64_t data, int kbflag, char *string);

// 1 when s starts with a decimal number (an optional sign, then digits)
// too large for an int; such a number is refused, never clamped or wrapped.
int ozu_IntOverflows(const char *s);

// 1 when s is one or more decimal digits and nothing else.
int ozu_AllDigits(const char *s);

#endif
