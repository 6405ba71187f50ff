// A connection the library opens again by itself after the gateway dropped
// it: the shell puts back the session state it shows (log, mask, library
// settings where it set them, working directory) on the new session before
// the next command runs there.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "gwsim_config.h"
#include "gwsim_fixture.h"
#include "journal_text.h"
#include "ozu_run.h"

namespace {

GwsimConfig reconnectGateway()
{
  GwsimConfig c = aliceConfig();
  c.section("Commands").block("zzcrash").flag("Drop");
  c.section("Commands").child("pwd").set("Line", "/home/alice");
  return c;
}

// The lines of one connection, from its opening on.
std::vector<std::string> linesOf(const std::vector<std::string>& all, int conn)
{
  std::string prefix = "conn=" + std::to_string(conn) + " ";
  std::vector<std::string> out;
  for (const std::string& l : all)
    if (l.rfind(prefix, 0) == 0)
      out.push_back(l);
  return out;
}

// Where the first line holding text stands, or -1.
int indexOf(const std::vector<std::string>& lines, const std::string& text)
{
  for (size_t i = 0; i < lines.size(); i++)
    if (lines[i].find(text) != std::string::npos)
      return int(i);
  return -1;
}

}  // namespace

TEST(OzuReconnect, TheNewSessionGetsTheStateTheShellShows)
{
  struct Case {
    const char* what;
    std::string line;  // after the -h/-p/-l options
    int newConn;       // the gateway's number of the reopened connection
    bool settings;     // the library settings belong to that connection
  };
  const std::vector<Case> cases = {
      // ls runs without the relay while the gateway is known down; its
      // storage calls open the connection again, and pwd is relayed.
      {"start-up connection", "zzcrash; ls; pwd; showcon", 2, true},
      {"opened connection", "open -q -d c -h 127.0.0.1 -p @PORT@ -l alice; zzcrash; ls; pwd; showcon", 3,
       false},
  };
  for (const Case& c : cases) {
    GwsimFixture gw(reconnectGateway().text());
    ASSERT_TRUE(gw.running()) << gw.stderrText();
    ozuHome(gw);
    std::string line = c.line;
    size_t at = line.find("@PORT@");
    if (at != std::string::npos)
      line.replace(at, 6, std::to_string(gw.port()));
    OzuResult r = runOzu(gw, ozuArgs(gw, {"-P", line}));
    std::vector<std::string> j = linesOf(gw.journalLines(), c.newConn);
    std::string all = r.out + r.err + "\n" + readFile(gw.journalPath());
    // The shell shows the home directory as the working directory...
    EXPECT_NE(r.out.find("pwd0: /home/alice\n"), std::string::npos) << c.what << "\n" << all;
    // ... and the new session holds it, with the rest, before pwd runs.
    int pwd = indexOf(j, "cmd=pwd");
    ASSERT_GE(pwd, 0) << c.what << "\n" << all;
    int logOpen = indexOf(j, "log-open subsys=ozu");
    int mask = indexOf(j, "cat=0x0500 fn=0x1500 ");
    int cwd = indexOf(j, "cat=0x0500 fn=0x0302 ");
    int settings = indexOf(j, "cat=0x0500 fn=0x1304 ");
    EXPECT_TRUE(logOpen >= 0 && logOpen < pwd) << c.what << "\n" << all;
    EXPECT_TRUE(mask >= 0 && mask < pwd) << c.what << "\n" << all;
    EXPECT_TRUE(cwd >= 0 && cwd < pwd) << c.what << "\n" << all;
    if (cwd >= 0) {
      EXPECT_NE(j[size_t(cwd)].find(" path=/home/alice"), std::string::npos) << j[size_t(cwd)];
    }
    if (c.settings) {
      EXPECT_TRUE(settings >= 0 && settings < pwd) << c.what << "\n" << all;
    } else {
      EXPECT_EQ(settings, -1) << c.what << "\n" << all;
    }
  }
}
