#include "temp_dir.h"

#include <errno.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>

std::string make_temp_dir(const char* prefix) {
  const char* base = getenv("TMPDIR");
  std::string templ = std::string(base && *base ? base : "/tmp") + "/" + prefix + ".XXXXXX";
  if (mkdtemp(templ.data()) == nullptr) {
    ADD_FAILURE() << "mkdtemp " << templ << ": " << strerror(errno);
    return "";
  }
  return templ;
}
