// The shell's own commands on their common frame, against two gwsims:
// keyword settings among the words (a bad or missing value ends the
// command before it does anything, a setting no keyset knows is an
// ordinary word), and the connection a drive word switched to is left
// again when the command ends.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "gwsim_config.h"
#include "gwsim_fixture.h"
#include "journal_text.h"
#include "ozu_run.h"

namespace {

std::string gatewayWithPwd(const char *line)
{
  GwsimConfig c = aliceConfig();
  c.section("Commands").block("pwd").set("Line", line);
  return c.text();
}

class OzuFrame : public ::testing::Test {
 protected:
  void SetUp() override
  {
    ASSERT_TRUE(first.running()) << first.stderrText();
    ASSERT_TRUE(second.running()) << second.stderrText();
    ozuHome(first);
  }
  // Opens the second gateway as drive B: and leaves it current.
  std::string openSecond()
  {
    return "open -q -h 127.0.0.1 -p " + std::to_string(second.port()) + " -l alice";
  }
  GwsimFixture first{gatewayWithPwd("first-gateway")};
  GwsimFixture second{gatewayWithPwd("second-gateway")};
};

// firewall makes each drive's connection current in turn; the command
// that follows runs where the user was.
TEST_F(OzuFrame, DriveWordsLeaveTheCurrentConnectionAsItWas)
{
  OzuResult r = runOzu(first, ozuArgs(first, {"-P", openSecond() + "; firewall -on a:; pwd; "
                                                   "firewall -off b: a:; pwd; lssites a:; pwd"}));
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(countText(r.out, "second-gateway"), 3) << r.out;
  EXPECT_EQ(countText(r.out, "first-gateway"), 0) << r.out;
  EXPECT_NE(r.out.find("A: firewall mode set ON"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("B: firewall mode set OFF"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("A: firewall mode set OFF"), std::string::npos) << r.out;
  EXPECT_EQ(r.err.find("Unable to switch back"), std::string::npos) << r.err;
  EXPECT_EQ(countLines(second.journalLines(), "cmd=pwd"), 3);
}

TEST_F(OzuFrame, KeywordWordsAmongTheNames)
{
  struct {
    const char *command;
    int status;
    const char *says;     // in the output
    const char *notSaid;  // what the command would print had it gone on
  } cases[] = {
      {"firewall -on columns=", 64, "*** `firewall': missing value for keyword columns",
       "firewall mode set"},
      {"firewall -on a: columns=wide", 64, "*** `firewall': bad value for keyword columns",
       "firewall mode set"},
      {"lssites -c columns = wide a:", 64, "*** `lssites': bad value for keyword columns",
       "Site, Logical Drive"},
      // A setting applies and goes; a setting no keyset knows stays a word.
      {"firewall -on columns=90 a:", 0, "A: firewall mode set ON", "Not a logical drive"},
      {"firewall -on nosuch=1", 0, "*** Not a logical drive: nosuch=1", "firewall mode set"},
      {"lssites nosuch = 1", 0, "*** Not a logical drive: =", "You might try"},
      // su names the setting it does not know and stops.
      {"su nosuch=1 bob", 64, "*** `su': unrecognized keyword nosuch=1", "Not a logical drive"},
  };
  for (const auto &c : cases) {
    OzuResult r = runOzu(first, ozuArgs(first, {"-P", c.command}));
    EXPECT_EQ(r.status, c.status) << c.command << "\n" << r.out << r.err;
    EXPECT_NE(r.out.find(c.says), std::string::npos) << c.command << "\n" << r.out;
    EXPECT_EQ(r.out.find(c.notSaid), std::string::npos) << c.command << "\n" << r.out;
  }
}

}  // namespace
