// ozu with several connections and identities against gwsim: open with a
// drive letter, drive and connection prefixes, showcon, close, su.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "gwsim_fixture.h"
#include "journal_text.h"
#include "ozu_run.h"

namespace {

const char kConfig[] = R"(
Server = {
  SuPolicy = allow
}
Users = {
  alice = {
    Password = wonderland
    Uid = 1001
    Gid = 100
    Home = /home/alice
  }
  bob = {
    Password = builder
    Uid = 1002
    Gid = 100
    Home = /home/bob
  }
}
Commands = {
  pwd = {
    Line = somewhere
  }
}
)";

class OzuConnections : public ::testing::Test {
 protected:
  void SetUp() override
  {
    ASSERT_TRUE(gw.running()) << gw.stderrText();
    for (const char *d : {"/home", "/home/alice", "/home/bob"})
      mkdir((gw.rootDir() + d).c_str(), 0755);
    ozuHome(gw);
  }
  GwsimFixture gw{kConfig};
};

TEST_F(OzuConnections, OpenPrefixesShowconAndClose)
{
  std::string port = std::to_string(gw.port());
  OzuResult r = runOzu(gw, ozuArgs(gw, {"-P", "open -q -d c -h 127.0.0.1 -p " + port +
                                                    " -l alice; showcon; a: pwd; c:; pwd; "
                                                    "setdrive c e; close e:; showcon; "
                                                    "k: pwd; 9: pwd; close"}));
  EXPECT_EQ(r.status, 64) << r.out;
  const std::string &o = r.out;
  EXPECT_NE(o.find("->C:"), std::string::npos) << "the new connection is current\n" << o;
  EXPECT_NE(o.find("Connection ID "), std::string::npos);
  EXPECT_NE(o.find("Replaced drive letter 'C' with 'E'"), std::string::npos) << o;
  EXPECT_NE(o.find("*** Connection not open for drive: 'k: pwd'"), std::string::npos);
  EXPECT_NE(o.find("*** Connection not open for ID: '9: pwd'"), std::string::npos);
  EXPECT_NE(o.find("*** Cannot use <close> for the only open connection."), std::string::npos);
  auto j = gw.journalLines();
  EXPECT_EQ(countLines(j, "conn=1 ", "cmd=pwd"), 1) << "a: ran on the first connection";
  EXPECT_EQ(countLines(j, "conn=2 ", "cmd=pwd"), 1) << "c: then made the second current";
  EXPECT_EQ(countLines(j, "conn=2 close"), 1) << "close e: closed it";
}

TEST_F(OzuConnections, SuSwitchesIdentityUntilQuit)
{
  OzuResult r = runOzu(gw, ozuArgs(gw, {"-P", "su bob; showcon; quit; showcon"}));
  EXPECT_EQ(r.status, 0) << r.out;
  auto j = gw.journalLines();
  EXPECT_EQ(countLines(j, "fn=0x0110", "runas=bob"), 1) << "su went to the gateway";
  EXPECT_NE(r.out.find("HomeDir: /home/bob"), std::string::npos) << r.out;
  size_t bob = r.out.find("HomeDir: /home/bob");
  size_t alice = r.out.find("HomeDir: /home/alice", bob == std::string::npos ? 0 : bob);
  EXPECT_NE(alice, std::string::npos) << "quit ended the su identity, not the session\n" << r.out;
  EXPECT_EQ(countLines(j, "cmd=showcon"), 0) << "showcon is the shell's own";
}

}  // namespace
