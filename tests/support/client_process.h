// Runs client-library code in a forked child, so that each case starts the
// library afresh (its start-up is once per process), and collects what the
// child wrote on standard error. The child reports failed checks with
// CHILD_CHECK (or CHILD_EQ); its exit status is the number of failed checks.
#ifndef TESTS_SUPPORT_CLIENT_PROCESS_H
#define TESTS_SUPPORT_CLIENT_PROCESS_H

#include <stdio.h>

#include <functional>
#include <string>

struct ChildResult {
  int status;          // exit code, or 128 + signal
  std::string stderrText;
};

// Runs body in a child process with its standard error captured; body
// returns the number of failed checks. The child gets timeoutSec to finish.
ChildResult runInChild(const std::function<int()>& body, int timeoutSec = 120);

#define CHILD_CHECK(failures, cond)                                               \
  do {                                                                            \
    if (!(cond)) {                                                                \
      fprintf(stderr, "CHECK FAILED %s:%d: %s\n", __FILE__, __LINE__, #cond);     \
      (failures)++;                                                               \
    }                                                                             \
  } while (0)

// CHILD_CHECK of a == b that also reports both values.
#define CHILD_EQ(failures, a, b)                                                                   \
  do {                                                                                             \
    long long va_ = (long long)(a), vb_ = (long long)(b);                                          \
    if (va_ != vb_) {                                                                              \
      fprintf(stderr, "CHECK FAILED %s:%d: %s == %s (%lld vs %lld)\n", __FILE__, __LINE__, #a, #b, \
              va_, vb_);                                                                           \
      (failures)++;                                                                                \
    }                                                                                              \
  } while (0)

#endif
