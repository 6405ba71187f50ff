// Temporary directories of tests, made under $TMPDIR (else /tmp) so that a
// run can give its tests a directory of their own and find what they leave.
#ifndef TESTS_SUPPORT_TEMP_DIR_H
#define TESTS_SUPPORT_TEMP_DIR_H

#include <string>

// A new directory "$TMPDIR/<prefix>.XXXXXX"; "" (with a test failure) when
// it cannot be made.
std::string make_temp_dir(const char* prefix);

#endif
