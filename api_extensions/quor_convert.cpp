// Number, size and UUID conversions; see quor_convert.h for the contracts.
#include "quor_convert.h"

#include <errno.h>
#include <inttypes.h>
#include <limits.h>
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <string_view>

static_assert(sizeof(quor_uuid_t) == 16, "quor_uuid_t must be 16 bytes without padding");

namespace {

// The storage service's code for a text cut to fit the caller's buffer.
constexpr int UUID_TEXT_TRUNCATED = -20010;

constexpr size_t ATOBYTES64_MAX_TEXT = 127;
constexpr size_t ATOBYTES64_MAX_BEFORE_POINT = 8;
constexpr size_t ATOBYTES64_MAX_DIGITS = 20;

struct unit_row {
  const char *name;
  int shift;
};

const unit_row unit_table[] = {
    {"k", 10}, {"kb", 10}, {"m", 20}, {"mb", 20}, {"g", 30}, {"gb", 30},
    {"t", 40}, {"tb", 40}, {"p", 50}, {"pb", 50}, {"x", 60}, {"xb", 60},
};

bool isDigit(char c) { return c >= '0' && c <= '9'; }
bool isBlank(char c) { return c == ' ' || c == '\t'; }

// Shift of a whole suffix ("" is 0), or -1 when it is not a unit.
int suffixShift(const char *suffix) {
  if (*suffix == '\0') return 0;
  for (const unit_row &row : unit_table)
    if (strcasecmp(suffix, row.name) == 0) return row.shift;
  return -1;
}

// Shift of a single unit letter K..X (any case), or -1.
int letterShift(char c) {
  const char name[2] = {c, '\0'};
  int shift = suffixShift(name);
  return shift > 0 ? shift : -1;
}

// Appends one decimal digit; false when the value would pass 2^64 - 1.
bool addDigit(uint64_t &value, char c) {
  const uint64_t d = static_cast<uint64_t>(c - '0');
  if (value > (UINT64_MAX - d) / 10) return false;
  value = value * 10 + d;
  return true;
}

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// One "%<width>x" field: 1 to width hex digits, nothing else.
bool scanHexField(const char *&p, int width, unsigned &out) {
  unsigned value = 0;
  int n = 0;
  for (; n < width && hexValue(*p) >= 0; ++n, ++p) value = value * 16 + static_cast<unsigned>(hexValue(*p));
  out = value;
  return n > 0;
}

template <typename T>
int threeWay(T a, T b) {
  return a < b ? -1 : (a > b ? 1 : 0);
}

}  // namespace

int64_t atobytesll(const char *text, int *error) {
  int ignored;
  if (error == nullptr) error = &ignored;
  *error = 0;
  if (text == nullptr) {
    *error = -EFAULT;
    return 0;
  }
  if (*text == '\0') {
    *error = -EINVAL;
    return 0;
  }

  const char *p = text;
  const bool negative = (*p == '-');
  if (negative) ++p;

  uint64_t whole = 0;
  bool overflow = false;
  for (; isDigit(*p); ++p)
    if (!overflow && !addDigit(whole, *p)) overflow = true;

  std::string fraction_text = "0.";
  bool has_fraction = false;
  if (*p == '.') {
    for (++p; isDigit(*p); ++p) {
      fraction_text += *p;
      if (*p != '0') has_fraction = true;
    }
  }

  const int shift = suffixShift(p);
  if (shift < 0) {
    *error = -EINVAL;
    return 0;
  }

  // A negative count may reach -2^63, a positive one only 2^63 - 1.
  const uint64_t limit = negative ? (uint64_t{1} << 63) : static_cast<uint64_t>(INT64_MAX);
  if (overflow || whole > (limit >> shift)) {
    *error = -ERANGE;
    return 0;
  }
  uint64_t magnitude = whole << shift;

  if (has_fraction) {
    // The fraction's share is rounded on its own so that large integers
    // keep every bit instead of passing through a double.
    const double fraction = strtod(fraction_text.c_str(), nullptr);
    const uint64_t extra = static_cast<uint64_t>(floor(ldexp(fraction, shift) + 0.5));
    if (magnitude > limit - extra) {
      *error = -ERANGE;
      return 0;
    }
    magnitude += extra;
  }

  if (!negative) return static_cast<int64_t>(magnitude);
  if (magnitude == (uint64_t{1} << 63)) return INT64_MIN;
  return -static_cast<int64_t>(magnitude);
}

int64_t atobytes(const char *text) {
  int error = 0;
  const int64_t value = atobytesll(text, &error);
  if (error != 0 || value == INT64_MIN) return 0;
  return value;
}

int atooctal(const char *text) {
  if (text == nullptr) return -1;
  const char *p = text;
  while (isBlank(*p)) ++p;
  if (*p == '\0') return -1;
  long value = 0;
  for (; *p != '\0'; ++p) {
    if (*p < '0' || *p > '7') return -1;
    value = value * 8 + (*p - '0');
    if (value > INT_MAX) return -1;
  }
  return static_cast<int>(value);
}

u_signed64 atobytes64(const char *text, int *ret_code) {
  int ignored;
  if (ret_code == nullptr) ret_code = &ignored;
  *ret_code = -1;
  if (text == nullptr) return 0;

  size_t len = strnlen(text, ATOBYTES64_MAX_TEXT + 1);
  if (len == 0 || len > ATOBYTES64_MAX_TEXT) return 0;

  int shift = 0;
  const char last = text[len - 1];
  if (len >= 2 && (last == 'B' || last == 'b') && letterShift(text[len - 2]) > 0) {
    shift = letterShift(text[len - 2]);
    len -= 2;
  } else if (letterShift(last) > 0) {
    shift = letterShift(last);
    len -= 1;
  } else if (!isDigit(last)) {
    return 0;
  }

  const std::string_view num(text, len);
  const size_t point = num.find('.');
  if (point != std::string_view::npos ? point > ATOBYTES64_MAX_BEFORE_POINT : len > ATOBYTES64_MAX_DIGITS) return 0;

  // Digits stop at the first other character, as in "12a4K".
  size_t i = 0;
  while (i < len && isBlank(num[i])) ++i;
  uint64_t whole = 0;
  for (; i < len && isDigit(num[i]); ++i)
    if (!addDigit(whole, num[i])) return 0;

  if (point == std::string_view::npos) {
    if (shift > 0 && (whole >> (64 - shift)) != 0) return 0;
    *ret_code = 0;
    return whole << shift;
  }

  // Thousandths, exact: at most 8 digits before the point keep this small.
  uint64_t milli = whole * 1000;
  if (i < len && num[i] == '.') {
    uint64_t place = 100;
    for (++i; i < len && isDigit(num[i]) && place > 0; ++i, place /= 10)
      milli += static_cast<uint64_t>(num[i] - '0') * place;
  }
  if (shift == 0) {
    *ret_code = 0;
    return milli / 1000;
  }

  const uint64_t kilobytes = milli < 1000000 ? milli * 1024 / 1000 : (milli / 1000) * 1024;
  const int up = shift - 10;
  if (up > 0 && (kilobytes >> (64 - up)) != 0) return 0;
  *ret_code = 0;
  return kilobytes << up;
}

u_signed64 strtou64(const char *text, int *code) {
  int ignored;
  if (code == nullptr) code = &ignored;
  *code = -1;
  if (text == nullptr) return 0;
  uint64_t value = 0;
  for (const char *p = text; *p != '\0'; ++p)
    if (!isDigit(*p) || !addDigit(value, *p)) return 0;
  *code = 0;
  return value;
}

// Per thread: transfer threads format counts concurrently.
static thread_local char u64_buf[50];
static thread_local char u64wc_buf[50];

char *u64tostr(u_signed64 value) {
  snprintf(u64_buf, sizeof u64_buf, "%" PRIu64, static_cast<uint64_t>(value));
  return u64_buf;
}

char *u64tostrwc(u_signed64 value) {
  const char *digits = u64tostr(value);
  const size_t n = strlen(digits);
  size_t out = n + (n - 1) / 3;
  u64wc_buf[out] = '\0';
  for (size_t i = 0; i < n; ++i) {
    u64wc_buf[--out] = digits[n - 1 - i];
    if (i % 3 == 2 && i + 1 < n) u64wc_buf[--out] = ',';
  }
  return u64wc_buf;
}

char *u64tostr_r(u_signed64 value, char *buf) {
  if (buf == nullptr) return nullptr;
  snprintf(buf, 21, "%" PRIu64, static_cast<uint64_t>(value));
  return buf;
}

double u64todouble(u_signed64 value) { return static_cast<double>(value); }

int quor_uuid_snprintf(char *buf, size_t size, const quor_uuid_t *uuid) {
  if (buf == nullptr || size == 0) return -EFAULT;
  if (uuid == nullptr) {
    buf[0] = '\0';
    return -EINVAL;
  }
  const int n = snprintf(buf, size, "%.8x-%.4hx-%.4hx-%.2hhx%.2hhx-%.2hhx%.2hhx%.2hhx%.2hhx%.2hhx%.2hhx",
                         uuid->time_low, uuid->time_mid, uuid->time_hi_and_version,
                         uuid->clock_seq_hi_and_reserved, uuid->clock_seq_low, uuid->node[0], uuid->node[1],
                         uuid->node[2], uuid->node[3], uuid->node[4], uuid->node[5]);
  if (n < 0) return -EINVAL;
  if (static_cast<size_t>(n) >= size) return UUID_TEXT_TRUNCATED;
  return 0;
}

int quor_uuid_to_string(const quor_uuid_t *uuid, char **text) {
  if (uuid == nullptr || text == nullptr) return -EFAULT;
  char *buf = static_cast<char *>(malloc(37));
  if (buf == nullptr) return -ENOMEM;
  quor_uuid_snprintf(buf, 37, uuid);
  *text = buf;
  return 0;
}

int quor_uuid_from_string(const char *text, quor_uuid_t *uuid) {
  if (uuid == nullptr) return -EFAULT;
  if (text == nullptr || *text == '\0') return 0;
  if (strnlen(text, 37) > 36) return -EINVAL;

  // "%8x-%4x-%4x-%2x%2x-%2x%2x%2x%2x%2x%2x", without what scanf would also
  // take (blanks, signs, "0x") and with nothing after the last field.
  static const struct {
    int width;
    bool dash_after;
  } fields[11] = {{8, true},  {4, true},  {4, true},  {2, false}, {2, true},  {2, false},
                  {2, false}, {2, false}, {2, false}, {2, false}, {2, false}};
  unsigned value[11];
  const char *p = text;
  for (int f = 0; f < 11; ++f) {
    if (!scanHexField(p, fields[f].width, value[f])) return -EINVAL;
    if (fields[f].dash_after && *p++ != '-') return -EINVAL;
  }
  if (*p != '\0') return -EINVAL;

  uuid->time_low = value[0];
  uuid->time_mid = static_cast<uint16_t>(value[1]);
  uuid->time_hi_and_version = static_cast<uint16_t>(value[2]);
  uuid->clock_seq_hi_and_reserved = static_cast<uint8_t>(value[3]);
  uuid->clock_seq_low = static_cast<uint8_t>(value[4]);
  for (int i = 0; i < 6; ++i) uuid->node[i] = static_cast<uint8_t>(value[5 + i]);
  return 0;
}

int quor_uuid_equal(const quor_uuid_t *a, const quor_uuid_t *b) {
  if (a == nullptr || b == nullptr) return 0;
  return memcmp(a, b, sizeof *a) == 0 ? 1 : 0;
}

int quor_uuid_compare(const quor_uuid_t *a, const quor_uuid_t *b) {
  if (a == nullptr || b == nullptr) return -2;
  int r = threeWay(a->time_low, b->time_low);
  if (r == 0) r = threeWay(a->time_mid, b->time_mid);
  if (r == 0) r = threeWay(a->time_hi_and_version, b->time_hi_and_version);
  if (r == 0) r = threeWay(a->clock_seq_hi_and_reserved, b->clock_seq_hi_and_reserved);
  if (r == 0) r = threeWay(a->clock_seq_low, b->clock_seq_low);
  // Node bytes compare as signed chars, keeping the established id order.
  for (int i = 0; r == 0 && i < 6; ++i)
    r = threeWay(static_cast<int8_t>(a->node[i]), static_cast<int8_t>(b->node[i]));
  return r;
}

uint16_t quor_uuid_hash(const quor_uuid_t *uuid) {
  if (uuid == nullptr) return 0;
  unsigned char bytes[sizeof *uuid];
  memcpy(bytes, uuid, sizeof bytes);
  unsigned c0 = 0;
  unsigned c1 = 0;
  for (unsigned char b : bytes) {
    c0 += b;
    c1 += c0;
  }
  // c1 >= c0 always, so both remainders are taken of non-negative values.
  const unsigned high = (c1 - c0) % 255;
  const unsigned low = (255 - c1 % 255) % 255;
  return static_cast<uint16_t>(high * 256 + low);
}
