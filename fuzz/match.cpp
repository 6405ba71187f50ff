// The pattern matcher: a string, a NUL, a pattern.
#include <string.h>

#include "fuzz_support.h"
#include "quor_match.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto [text, pattern] = fuzz_split(data, size);
  int errors = 0;
  int m = quorcfgx_PatternMatch(text.c_str(), pattern.c_str(), &errors);
  FUZZ_CHECK(m == 0 || m == 1);
  FUZZ_CHECK(errors >= 0);
  if (errors > 0) FUZZ_CHECK(m == 0);
  // A pattern without a special character matches itself only.
  if (pattern.find_first_of("*?[]{}\\,") == std::string::npos)
    FUZZ_CHECK(m == (strcmp(text.c_str(), pattern.c_str()) == 0));
  // "*" matches everything; a pattern always matches its own literal text
  // once every special character in it is escaped.
  errors = 0;
  FUZZ_CHECK(quorcfgx_PatternMatch(text.c_str(), "*", &errors) == 1 && errors == 0);
  std::string escaped;
  for (char c : std::string(text.c_str())) {
    if (strchr("*?[]{}\\,", c) != nullptr) escaped += '\\';
    escaped += c;
  }
  errors = 0;
  FUZZ_CHECK(quorcfgx_PatternMatch(text.c_str(), escaped.c_str(), &errors) == 1);
  FUZZ_CHECK(errors == 0);
  return 0;
}
