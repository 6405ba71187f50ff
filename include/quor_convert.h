// Byte counts with unit suffixes, octal modes, 64-bit printing and UUID text.
//
// Units are powers of two: k/kb 2^10, m/mb 2^20, g/gb 2^30, t/tb 2^40,
// p/pb 2^50, x/xb 2^60, any case, right after the number.
// No parser wraps around: a value that does not fit is refused.
// Everything is reentrant; u64tostr and u64tostrwc return buffers of the
// calling thread that its next call of either overwrites.
#ifndef QUOR_CONVERT_H
#define QUOR_CONVERT_H

#include <stddef.h>
#include <stdint.h>

#include "quor_types.h"

// "[-]digits[.digits][unit]" to a signed byte count, a fraction rounded to
// the nearest byte (half away from zero). *error: 0; -14 null text; -22
// empty text, a bad character or unit; -34 the value does not fit in int64.
// 0 is returned on error. Only a sign, point or unit ("-", ".", "k") is 0.
int64_t atobytesll(const char *text, int *error);

// atobytesll without the error code: 0 on any error and for INT64_MIN.
int64_t atobytes(const char *text);

// Octal digits after leading blanks, nothing else (no trailing blanks).
// -1 for an empty or bad text or a value above INT_MAX.
int atooctal(const char *text);

// Partial-transfer offsets and lengths: digits with up to three decimals
// (more are dropped) and an optional unit K..X or KB..XB. At most 8
// characters before a '.', at most 20 in all without one, 127 in the text.
// *ret_code 0, or -1 with 0 returned when the text is bad or the result
// would pass 2^64 - 1.
u_signed64 atobytes64(const char *text, int *ret_code);

// Decimal digits only; empty is 0. *code 0, or -1 with 0 returned for a
// null text, another character, or a value above 2^64 - 1.
u_signed64 strtou64(const char *text, int *code);

// Decimal text in a 50-byte buffer of the calling thread, valid until its
// next call of u64tostr or u64tostrwc.
char *u64tostr(u_signed64 value);

// Decimal text with ',' between groups of three digits ("1,234,567") in a
// second buffer of the calling thread. Overwrites u64tostr's buffer as well.
char *u64tostrwc(u_signed64 value);

// Decimal text into buf, which holds at least 21 bytes; returns buf.
char *u64tostr_r(u_signed64 value, char *buf);

// The value as the nearest double.
double u64todouble(u_signed64 value);

// *text gets a malloc'ed 37-byte "xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx"
// (lower case) that the caller frees. 0; -14 null argument; -12 no memory.
int quor_uuid_to_string(const quor_uuid_t *uuid, char **text);

// The same text into buf, always terminated. 0; -14 null buf or size 0;
// -22 null uuid; -20010 when the text was cut to fit size.
int quor_uuid_snprintf(char *buf, size_t size, const quor_uuid_t *uuid);

// Parses the text form, hex digits of either case; groups may be shorter
// than their full width, but signs, blanks, "0x" and trailing characters
// are refused. 0 (null or empty text leaves *uuid unchanged); -14 null
// uuid; -22 bad text, *uuid unchanged.
int quor_uuid_from_string(const char *text, quor_uuid_t *uuid);

// 1 when both are present and all 16 bytes are equal, else 0.
int quor_uuid_equal(const quor_uuid_t *a, const quor_uuid_t *b);

// -1, 0 or 1; -2 when either is null. Fields compare as unsigned numbers,
// the node bytes as signed ones (0x80..0xff sort before 0x00..0x7f).
int quor_uuid_compare(const quor_uuid_t *a, const quor_uuid_t *b);

// 16-bit Fletcher-style checksum over the record's bytes in memory order;
// 0 for a null uuid.
uint16_t quor_uuid_hash(const quor_uuid_t *uuid);

#endif
