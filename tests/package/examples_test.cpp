// The example programs of examples/, as the build made them (linked with
// the shared library), against the gateway simulator: a log-in from
// .netrc, with and without a user name given, and a failed log-in.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "example_run.h"
#include "gwsim_fixture.h"
#include "run_command.h"

#if !defined(EXAMPLE_C) || !defined(EXAMPLE_CXX)
#error "EXAMPLE_C and EXAMPLE_CXX must name the example programs"
#endif

namespace {

const char* const kExamples[] = {EXAMPLE_C, EXAMPLE_CXX};

TEST(Examples, MakeListAndStatADirectory) {
  GwsimFixture gw(kExampleGateway);
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  writeNetrc(gw, "wonderland");
  int n = 0;
  for (const char* binary : kExamples) {
    std::string dir = "/tour" + std::to_string(n++);
    expectExampleMakesDirectory(gw, binary, dir);
    // Again, with the user's name stored by the program: the directory is
    // there already and is listed as before.
    expectExampleMakesDirectory(gw, binary, dir, {"alice"}, {}, true);
  }
}

TEST(Examples, FailedLogInIsReportedAndNothingIsMade) {
  GwsimFixture gw(kExampleGateway);
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  writeNetrc(gw, "not-the-password");
  for (const char* binary : kExamples) {
    SCOPED_TRACE(binary);
    CommandResult r = runCommand({binary, "/never"}, exampleEnv(gw), 60);
    EXPECT_EQ(r.status, 1) << r.output;
    EXPECT_NE(r.output.find("log-in failed: -"), std::string::npos) << r.output;
    EXPECT_EQ(r.output.find("logged in"), std::string::npos) << r.output;
  }
  struct stat st;
  EXPECT_NE(stat((gw.rootDir() + "/never").c_str(), &st), 0);
}

TEST(Examples, WrongArgumentsGiveTheUsage) {
  for (const char* binary : kExamples) {
    CommandResult r = runCommand({binary}, {}, 60);
    EXPECT_EQ(r.status, 2) << r.output;
    EXPECT_NE(r.output.find("usage: "), std::string::npos) << r.output;
  }
}

}  // namespace
