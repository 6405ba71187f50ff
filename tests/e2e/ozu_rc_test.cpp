// ozu's rc files and sites against gwsim: global and private files, key
// limits and their messages, a site chosen by name and by host, lssites.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "gwsim_config.h"
#include "gwsim_fixture.h"
#include "journal_text.h"
#include "ozu_run.h"

namespace {

const std::string kConfig = [] {
  GwsimConfig c;
  c.user("alice", "wonderland").set("Uid", 1001).set("Gid", 100).set("Home", "/home/alice");
  c.section("Commands").block("one").set("Line", "ONE");
  return c.text();
}();

class OzuRc : public ::testing::Test {
 protected:
  void SetUp() override
  {
    ASSERT_TRUE(gw.running()) << gw.stderrText();
    mkdir((gw.rootDir() + "/home").c_str(), 0755);
    mkdir((gw.rootDir() + "/home/alice").c_str(), 0755);
    ozuHome(gw);
    // With a site, the .netrc entry is the site's (by the name as given).
    std::string netrc = gw.dir() + "/home/.netrc";
    writeFile(gw, netrc,
              "machine 127.0.0.1 login alice password wonderland\n"
              "machine mysite login alice password wonderland\n"
              "machine msite login alice password wonderland\n");
    globalRc = gw.dir() + "/ozurc";
    writeFile(gw, globalRc,
              "# global defaults\n"
              "copies 5\n"
              "umask 0778\n"
              "columns 20\n"
              "promptlen 5\n"
              "thread_ssize 100k\n"
              "cksum_enabled ON\n"
              "Copies 2\n"
              "PS1 = 'global> '\n"
              "read_disable_msg 'two words'\n"
              "site mysite\n"
              "mysite,msite:\n"
              "  host otherhost.example, \\\n"
              "       127.0.0.1,\n"
              "  port " + std::to_string(gw.port()) + "\n"
              "  drive m:\n"
              "  site_id 7\n"
              "  site_id 0\n"
              "  authmethod combo\n"
              "  principal alice,combo\n"
              "second:\n"
              "  host elsewhere\n"
              "  drive m:\n");
    // The private host is preferred over the global file's ones.
    writeFile(gw, ".ozurc", "PS1 = 'ozu> '\ncos auto\nmysite:\n  host 127.0.0.1\n");
  }
  GwsimFixture gw{kConfig};
  std::string globalRc;
};

bool has(const std::string &text, const std::string &what) { return text.find(what) != std::string::npos; }

TEST_F(OzuRc, KeysWithTheirLimitsAndMessages)
{
  OzuResult r = runOzu(gw, {"-P", "one"});
  EXPECT_EQ(r.status, 0) << r.out;
  const std::string &o = r.out;
  EXPECT_TRUE(has(o, "*** Warning: in local file `" + globalRc + "' - bad <copies> parameter `5'\n"
                     "         Legal values are 1 <= copies <= 4\n")) << o;
  EXPECT_TRUE(has(o, "bad octal <umask> parameter `0778'")) << o;
  EXPECT_TRUE(has(o, "bad <thread stacksize> parameter `100k' ignored")) << o;
  EXPECT_TRUE(has(o, "warning: illegal value 'ON' for 'cksum_enabled' in ozurc file " + globalRc));
  EXPECT_TRUE(has(o, "/debug/ignoring unknown option 'Copies' on line 8 of local file " + globalRc));
  EXPECT_TRUE(has(o, "*** Invalid site ID (0) detected at line")) << o;
  EXPECT_TRUE(has(r.err, " *  *** Warning: duplicate drive letter 'M' detected in site stanzas:\n"
                         " *      mysite (drive letter will be assigned to this site)\n"
                         " *      second\n"))
      << r.err;
  EXPECT_TRUE(has(o, "ONE\n"));
  auto j = gw.journalLines();
  EXPECT_EQ(countLines(j, "cmd=set columns=50\\n"), 1) << "columns below 50 give 50";
  EXPECT_EQ(countLines(j, "cmd=set promptlen=1024\\n"), 1);
  EXPECT_EQ(countLines(j, "cmd=set PS1=\"ozu> \"\\n"), 1) << "the private file wins";
  EXPECT_EQ(countLines(j, "cmd=set cos = auto\\n"), 1);
}

TEST_F(OzuRc, SiteByNameSuppliesHostPortAndPrincipal)
{
  OzuResult r = runOzu(gw, {"-P", "-s", "MSITE", "lssites -a -s msite; showcon"});
  EXPECT_EQ(r.status, 0) << r.out;
  const std::string &o = r.out;
  EXPECT_TRUE(has(o, "Site, Logical Drive....msite, \"M:\"\n    Alias sitenames\n      mysite\n"))
      << o;
  EXPECT_TRUE(has(o, "QUOR Site ID: 7\n"));
  EXPECT_TRUE(has(o, "   HostName ................ 127.0.0.1\n   HostIP .................. 127.0.0.1"))
      << o;
  EXPECT_FALSE(has(o, "otherhost")) << "the private host list replaced the global one";
  EXPECT_TRUE(has(o, "   Site Default: [none]\n")) << o;
  EXPECT_TRUE(has(o, "   Login Name ................ alice\n   Auth method count ......... 1\n"
                     "   Auth Method Types ......... combo\n"))
      << o;
  EXPECT_TRUE(has(o, "->M:   1 127.0.0.1")) << o;
}

TEST_F(OzuRc, SiteByHostAndLssitesWithoutOptions)
{
  // The port after the host is dropped: the site stanza's port applies.
  OzuResult r =
      runOzu(gw, {"-P", "-h", "127.0.0.1/2", "lssites; lssites z: b; lssites -h -s second"});
  EXPECT_EQ(r.status, 0) << r.out;
  const std::string &o = r.out;
  EXPECT_TRUE(has(o, "Site, Logical Drive....mysite, \"M:\"\n")) << o;
  EXPECT_TRUE(has(o, "Site, Logical Drive....second, \"?:\"\n")) << "its duplicate letter is gone";
  EXPECT_TRUE(has(o, "*** Not a logical drive: b\n"));
  EXPECT_TRUE(has(o, "(You might try using the \"lssites\" command\n"));
  EXPECT_TRUE(has(o, "QELAPI Server Hosts\n      HostName: elsewhere\n")) << o;
}

}  // namespace
