// Number and UUID conversions over one text: every parser must refuse or
// give a value that prints and parses back to itself.
#include <inttypes.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "fuzz_support.h"
#include "quor_convert.h"

namespace {

void byte_counts(const char* text) {
  int err = 1;
  int64_t v = atobytesll(text, &err);
  FUZZ_CHECK(err == 0 || err == -22 || err == -34);
  if (err != 0) {
    FUZZ_CHECK(v == 0);
    FUZZ_CHECK(atobytes(text) == 0);
    return;
  }
  if (v != INT64_MIN) FUZZ_CHECK(atobytes(text) == v);
  // The plain decimal form of the value reads back as the value.
  char buf[32];
  snprintf(buf, sizeof buf, "%" PRId64, v);
  int err2 = 1;
  FUZZ_CHECK(atobytesll(buf, &err2) == v && err2 == 0);
}

void octal(const char* text) {
  int v = atooctal(text);
  FUZZ_CHECK(v >= -1);
  if (v < 0) return;
  char buf[16];
  snprintf(buf, sizeof buf, "%o", unsigned(v));
  FUZZ_CHECK(atooctal(buf) == v);
}

void offsets(const char* text) {
  int rc = 1;
  u_signed64 v = atobytes64(text, &rc);
  FUZZ_CHECK(rc == 0 || rc == -1);
  if (rc != 0) {
    FUZZ_CHECK(v == 0);
    return;
  }
  // Twenty digits at most: the decimal form of any result reads back.
  char buf[24];
  u64tostr_r(v, buf);
  int rc2 = 1;
  FUZZ_CHECK(atobytes64(buf, &rc2) == v && rc2 == 0);
}

void decimal(const char* text) {
  int code = 1;
  u_signed64 v = strtou64(text, &code);
  FUZZ_CHECK(code == 0 || code == -1);
  if (code != 0) {
    FUZZ_CHECK(v == 0);
    return;
  }
  char buf[24];
  std::string s = u64tostr_r(v, buf);
  FUZZ_CHECK(s == u64tostr(v));
  // Every character of the text was a digit, so only leading zeros differ.
  std::string t = text;
  size_t nz = t.find_first_not_of('0');
  std::string digits = nz == std::string::npos ? "0" : t.substr(nz);
  FUZZ_CHECK(s == digits);
  int code2 = 1;
  FUZZ_CHECK(strtou64(s.c_str(), &code2) == v && code2 == 0);
  // The grouped form is the same digits with a ',' every three.
  std::string grouped = u64tostrwc(v);
  std::string plain;
  for (size_t i = 0; i < grouped.size(); i++) {
    if (grouped[i] == ',') {
      FUZZ_CHECK((grouped.size() - i - 1) % 4 == 3);
      continue;
    }
    plain += grouped[i];
  }
  FUZZ_CHECK(plain == s);
}

void uuid(const char* text) {
  quor_uuid_t u;
  memset(&u, 0x5a, sizeof u);
  quor_uuid_t before = u;
  int rc = quor_uuid_from_string(text, &u);
  FUZZ_CHECK(rc == 0 || rc == -22);
  if (rc != 0 || *text == '\0') {
    FUZZ_CHECK(memcmp(&u, &before, sizeof u) == 0);
    return;
  }
  char* s = nullptr;
  FUZZ_CHECK(quor_uuid_to_string(&u, &s) == 0 && s != nullptr);
  FUZZ_CHECK(strlen(s) == 36);
  quor_uuid_t back;
  memset(&back, 0, sizeof back);
  FUZZ_CHECK(quor_uuid_from_string(s, &back) == 0);
  FUZZ_CHECK(quor_uuid_equal(&u, &back) == 1 && quor_uuid_compare(&u, &back) == 0);
  FUZZ_CHECK(quor_uuid_hash(&u) == quor_uuid_hash(&back));
  // A buffer too small for the text cuts it and says so.
  for (size_t n = 1; n <= 37; n += 9) {
    char small[37];
    memset(small, 'x', sizeof small);
    int r = quor_uuid_snprintf(small, n, &u);
    FUZZ_CHECK(r == (n < 37 ? -20010 : 0));
    FUZZ_CHECK(strlen(small) == n - 1 && strncmp(small, s, n - 1) == 0);
  }
  free(s);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  const char* t = text.c_str();  // up to its first NUL
  byte_counts(t);
  octal(t);
  offsets(t);
  decimal(t);
  uuid(t);
  return 0;
}
