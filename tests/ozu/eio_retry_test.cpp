// The shell's form of the EIO retry rule: how often a storage call is made,
// what it finally gives, and where the rule's messages go.
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "ozu_log.h"
#include "ozuvars.h"

namespace {

// The waits of 10, 60 and 360 seconds pass a thousand times faster; set
// before any test makes the library read its clock setting.
const bool fastWaits = setenv("QUOR_TEST_TIMESCALE", "1000", 1) == 0;

std::string readAll(FILE *f)
{
  fflush(f);
  rewind(f);
  std::string text;
  char buf[256];
  while (fgets(buf, sizeof buf, f))
    text += buf;
  return text;
}

TEST(EioRetry, RetriesAfterTenSixtyAndThreeSixtySeconds)
{
  ASSERT_TRUE(fastWaits);
  struct {
    std::vector<int> answers;  // what the call gives, in turn
    int quiet;
    int result, calls;
    const char *listed;  // what the listing output shows
  } cases[] = {
      {{0}, 0, 0, 1, ""},
      {{-2}, 0, -2, 1, ""},
      {{-5, 7}, 0, 7, 2,
       "QUOR EIO error, will retry in 10 seconds\nQUOR recovered from EIO error after retry\n"},
      {{-5, -5, -2}, 0, -2, 3,
       "QUOR EIO error, will retry in 10 seconds\nQUOR EIO error, will retry in 60 seconds\n"
       "QUOR recovered from EIO error after retry\n"},
      {{-5, -5, -5, -5, 0}, 0, -5, 4,
       "QUOR EIO error, will retry in 10 seconds\nQUOR EIO error, will retry in 60 seconds\n"
       "QUOR EIO error, will retry in 360 seconds\nQUOR EIO error, aborting\n"},
      // Quiet: the gateway log and the local log only.
      {{-5, 0}, 1, 0, 2, ""},
  };
  FILE *savedList = listF;
  int savedQuiet = quietFlag;
  int savedExit = exitcode.load();
  for (const auto &c : cases) {
    FILE *out = tmpfile();
    listF = out;
    quietFlag = c.quiet;
    exitcode = 0;
    size_t calls = 0;
    int rc = ozu_EioRetry([&] {
      int a = c.answers[calls < c.answers.size() ? calls : c.answers.size() - 1];
      ++calls;
      return a;
    });
    EXPECT_EQ(rc, c.result) << c.answers.size() << " answers";
    EXPECT_EQ(int(calls), c.calls) << c.answers.size() << " answers";
    EXPECT_EQ(readAll(out), c.listed);
    EXPECT_EQ(exitcode.load(), 0) << "the rule's messages are no failure of their own";
    fclose(out);
  }
  listF = savedList;
  quietFlag = savedQuiet;
  exitcode = savedExit;
}

}  // namespace
