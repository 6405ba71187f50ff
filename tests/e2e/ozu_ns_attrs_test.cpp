// ozu's own cd, pwd, cdls, chmod, umask, chown, chgrp and touch end to
// end: what they leave in gwsim's store (modes, owners, times), what they
// print and the exit codes, as tables of cases.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <ctime>
#include <memory>

#include <string>
#include <vector>

#include "gwsim_config.h"
#include "gwsim_fixture.h"
#include "journal_text.h"
#include "ozu_run.h"

namespace {

std::string afterBanner(const std::string &out)
{
  size_t at = out.find("Username: ");
  if (at == std::string::npos)
    return out;
  size_t nl = out.find('\n', at);
  return nl == std::string::npos ? "" : out.substr(0, at) + out.substr(nl + 1);
}

OzuResult runUtc(const GwsimFixture &gw, const std::string &commands)
{
  OzuResult r = runOzu(gw, ozuArgs(gw, {commands}), "", {"TZ=UTC"});
  r.out = afterBanner(r.out + r.err);
  return r;
}

std::string octal(const std::string &decimal)
{
  if (decimal.empty() || decimal.find_first_not_of("0123456789") != std::string::npos)
    return "?" + decimal;
  char buf[32];
  snprintf(buf, sizeof buf, "%04lo", std::stoul(decimal));
  return buf;
}

// alice is the site's root here, so that she may give objects away.
GwsimConfig attrsConfig()
{
  GwsimConfig c;
  c.user("alice", "wonderland").set("Uid", 1001).set("Gid", 100).set("Home", "/m")
      .set("Groups", "100 200");
  c.user("bob", "builder").set("Uid", 1002);
  c.group("staff", 100).group("other", 200);
  c.server().set("rootUid", 1001);
  c.dir("/m").set("Uid", 1001).set("Gid", 100).set("Mode", "0755");
  return c;
}

struct AttrsFixture : public ::testing::Test {
  void start(GwsimConfig &c)
  {
    gw.reset(new GwsimFixture(c.text()));
    ASSERT_TRUE(gw->running()) << gw->stderrText();
    ozuHome(*gw);
  }
  std::string mode(const std::string &path) { return octal(objectColumn(*gw, "mode", path)); }
  std::unique_ptr<GwsimFixture> gw;
};

using OzuModes = AttrsFixture;

TEST_F(OzuModes, ChmodClausesOnePerFile)
{
  const struct {
    const char *start;
    const char *args;
    const char *want;
    int status;
    const char *message;
  } cases[] = {
      {"0600", "644", "0644", 0, ""},
      {"0644", "17777", "7777", 0, ""},
      {"0644", "-w", "0444", 0, ""},
      {"0644", "a+x", "0755", 0, ""},
      {"0600", "+x", "0711", 0, ""},
      {"0640", "g=u", "0660", 0, ""},
      {"0644", "u+s,g+s,+t", "7644", 0, ""},
      {"0644", "o+s", "0644", 0, ""},
      {"04755", "u=rw", "0655", 0, ""},        // u= clears set-user-id
      {"03775", "g=r", "1745", 0, ""},         // g= clears set-group-id only
      {"0644", "755,g-x", "0745", 0, ""},     // from the octal clause's value
      {"0644", "u=rw,go=", "0644", 64, "*** unable to parse mode clause: go="},
      {"0644", "78", "0644", 64, "*** Not an octal string: 78"},
      {"0644", "qu+x", "0644", 64, "*** unable to parse mode clause: qu+x"},
  };
  GwsimConfig c = attrsConfig();
  for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i)
    c.file("/m/f" + std::to_string(i)).set("Uid", 1001).set("Mode", cases[i].start);
  start(c);
  for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
    const auto &k = cases[i];
    std::string f = "/m/f" + std::to_string(i);
    OzuResult r = runUtc(*gw, std::string("chmod ") + k.args + " " + f);
    EXPECT_EQ(mode(f), k.want) << k.args;
    EXPECT_EQ(r.status, k.status) << k.args << "\n" << r.out;
    EXPECT_NE(r.out.find(k.message), std::string::npos) << k.args << "\n" << r.out;
  }
}

TEST_F(OzuModes, WalksLinksAndTypeFilters)
{
  GwsimConfig c = attrsConfig();
  c.dir("/m/t").set("Uid", 1001).set("Mode", "0755");
  c.file("/m/t/f").set("Uid", 1001).set("Mode", "0644");
  c.dir("/m/t/s").set("Uid", 1001).set("Mode", "0755");
  c.file("/m/t/s/g").set("Uid", 1001).set("Mode", "0644");
  c.file("/m/target").set("Uid", 1001).set("Mode", "0644");
  c.file("/m/ln").set("Type", "symlink").set("Target", "/m/target").set("Uid", 1001);
  c.file("/m/t/ln").set("Type", "symlink").set("Target", "/m/target").set("Uid", 1001);
  start(c);
  const struct {
    const char *command;
    std::vector<std::pair<const char *, const char *>> want;
    int status;
  } cases[] = {
      {"chmod -d -f 600 /m/t", {{"/m/t", "0755"}}, 64},
      {"chmod -R -f 600 /m/t",
       {{"/m/t", "0755"}, {"/m/t/f", "0600"}, {"/m/t/s", "0755"}, {"/m/t/s/g", "0600"},
        {"/m/target", "0600"}}, 0},
      {"chmod -R -d 700 /m/t",
       {{"/m/t", "0700"}, {"/m/t/f", "0600"}, {"/m/t/s", "0700"}, {"/m/t/s/g", "0600"},
        {"/m/target", "0600"}}, 0},
      // Through a link: the target's mode is the one read and changed.
      {"chmod g+w /m/ln", {{"/m/target", "0620"}}, 0},
      {"chmod -h 777 /m/ln", {{"/m/target", "0620"}}, 0},
      {"chmod -R -h 644 /m/t", {{"/m/t/f", "0644"}, {"/m/target", "0620"}}, 0},
  };
  for (const auto &k : cases) {
    OzuResult r = runUtc(*gw, k.command);
    EXPECT_EQ(r.status, k.status) << k.command << "\n" << r.out;
    for (const auto &w : k.want)
      EXPECT_EQ(mode(w.first), w.second) << k.command << ": " << w.first;
  }
}

TEST_F(OzuModes, UmaskShowsSetsRefusesAndKeepsTheOldOneOnFailure)
{
  GwsimConfig c = attrsConfig();
  c.fault("Error", "0x0500 0x1500 3 -13");  // log-in sets the mask once, then two commands
  start(c);
  OzuResult r = runUtc(*gw, "umask; umask 027; umask; umask 1000; umask 9; umask 077; umask");
  EXPECT_EQ(r.out,
            "Current umask setting: 022\n"
            "umask: 022 -> 027\n"
            "Current umask setting: 027\n"
            "*** Invalid umask value: `1000'\n"
            "*** Invalid umask value: `9'\n"
            "*** umask: Access denied [-13: QUOR_EACCES] \n"
            "    keyset->curContext->umask (set)\n"
            "Current umask setting: 027\n");
  EXPECT_EQ(r.status, 72);
}

using OzuOwners = AttrsFixture;

TEST_F(OzuOwners, ChownAndChgrpCases)
{
  GwsimConfig c = attrsConfig();
  for (int i = 0; i < 6; ++i)
    c.file("/m/f" + std::to_string(i)).set("Uid", 1001).set("Gid", 200);
  c.file("/m/target").set("Uid", 1001).set("Gid", 200);
  c.file("/m/ln").set("Type", "symlink").set("Target", "/m/target").set("Uid", 1001)
      .set("Gid", 200);
  c.dir("/m/d").set("Uid", 1001).set("Gid", 200);
  c.file("/m/d/in").set("Uid", 1001).set("Gid", 200);
  start(c);
  const struct {
    const char *command;
    const char *path;
    const char *uid, *gid;
    int status;
    const char *message;
  } cases[] = {
      {"chown bob:staff /m/f0", "/m/f0", "1002", "100", 0, ""},
      {"chown bob.staff /m/f1", "/m/f1", "1002", "100", 0, ""},
      {"chown 1234 /m/f2", "/m/f2", "1234", "200", 0, ""},
      {"chown nobodyhere /m/f3 /m/f4", "/m/f3", "1001", "200", 64,
       "*** /m/f4: unknown principal [nobodyhere]"},
      {"chown bob:nogroup /m/f3", "/m/f3", "1001", "200", 64,
       "*** /m/f3: unknown group name [nogroup]"},
      {"chown -h bob /m/ln", "/m/target", "1001", "200", 0,
       "*** warning: symbolic link skipped [/m/ln]"},
      {"chown bob /m/ln", "/m/target", "1002", "200", 0, ""},
      {"chgrp staff /m/f5", "/m/f5", "1001", "100", 0, ""},
      {"chgrp staff", "/m/f5", "1001", "100", 64, "missing object"},
      {"chgrp nogroup /m/f5", "/m/f5", "1001", "100", 64,
       "*** group 'nogroup' not in DCE registry - /m/f5 skipped"},
      // The directory named changes too, and with -R all below it.
      {"chgrp -R staff /m/d", "/m/d", "1001", "100", 0, ""},
      {"chgrp other /m/d/in", "/m/d/in", "1001", "200", 0, ""},
  };
  for (const auto &k : cases) {
    OzuResult r = runUtc(*gw, k.command);
    EXPECT_EQ(objectColumn(*gw, "uid", k.path), k.uid) << k.command;
    EXPECT_EQ(objectColumn(*gw, "gid", k.path), k.gid) << k.command;
    EXPECT_EQ(r.status, k.status) << k.command << "\n" << r.out;
    EXPECT_NE(r.out.find(k.message), std::string::npos) << k.command << "\n" << r.out;
  }
  OzuResult r = runUtc(*gw, "chgrp -R other /m/d");
  EXPECT_EQ(objectColumn(*gw, "gid", "/m/d/in"), "200") << r.out;
  EXPECT_EQ(objectColumn(*gw, "gid", "/m/d"), "200") << r.out;
}

using OzuTimes = AttrsFixture;

long long mtimeOf(const GwsimFixture &gw, const std::string &path)
{
  struct stat st;
  return stat((gw.rootDir() + path).c_str(), &st) == 0 ? (long long)st.st_mtime : -1;
}

long long atimeOf(const GwsimFixture &gw, const std::string &path)
{
  struct stat st;
  return stat((gw.rootDir() + path).c_str(), &st) == 0 ? (long long)st.st_atime : -1;
}

TEST_F(OzuTimes, TouchCases)
{
  GwsimConfig c = attrsConfig();
  for (int i = 0; i < 6; ++i)
    c.file("/m/f" + std::to_string(i)).set("Uid", 1001).set("Mtime", 1000000000)
        .set("Atime", 1000000000);
  c.file("/m/ref").set("Uid", 1001).set("Mtime", 1234567890).set("Atime", 1111111111);
  c.dir("/m/d").set("Uid", 1001);
  start(c);
  const struct {
    const char *command;
    const char *path;
    long long atime, mtime;  // -1: not there; -2: now (within a minute)
    int status;
    const char *message;
  } cases[] = {
      {"touch -t 2501021530.45 /m/f0", "/m/f0", 1735831845, 1735831845, 0, ""},
      {"touch -a -t 2501021530 /m/f1", "/m/f1", 1735831800, 1000000000, 0, ""},
      {"touch -m -t 2501021530 /m/f2", "/m/f2", 1000000000, 1735831800, 0, ""},
      {"touch -r /m/ref /m/f3", "/m/f3", 1111111111, 1234567890, 0, ""},
      {"touch -t 7001021530 /m/f4", "/m/f4", 1000000000, 1000000000, 64,
       "*** Bad value '2070' for 'year (YY)' in '7001021530'"},
      {"touch -t 13011530 /m/f4", "/m/f4", 1000000000, 1000000000, 64,
       "*** Bad value '13' for 'months (MM)' in '13011530'"},
      {"touch -l /nonexistent/x /m/f4", "/m/f4", 1000000000, 1000000000, 64,
       "*** Non-existent path: /nonexistent/x"},
      {"touch -l a -r b /m/f4", "/m/f4", 1000000000, 1000000000, 64,
       "*** Conflicting -d,-l,-r or -t options. "},
      {"touch -d 2020-01-01 /m/f4", "/m/f4", 1000000000, 1000000000, 0,
       "*** -d option is deferred - need some code ! "},
      {"touch -x /m/missing", "/m/missing", -1, -1, 0, ""},
      {"touch /m/d", "/m/d", -3, -3, 0, "*** Warning: `/m/d' is a directory - skipped"},
      {"touch /m/f5", "/m/f5", -2, -2, 0, ""},
      {"touch -c 5 /m/made", "/m/made", -2, -2, 0, ""},
      {"touch /m/auto", "/m/auto", -2, -2, 0, ""},
  };
  const long long now = time(nullptr);
  for (const auto &k : cases) {
    OzuResult r = runUtc(*gw, k.command);
    EXPECT_EQ(r.status, k.status) << k.command << "\n" << r.out;
    EXPECT_NE(r.out.find(k.message), std::string::npos) << k.command << "\n" << r.out;
    long long a = atimeOf(*gw, k.path), m = mtimeOf(*gw, k.path);
    if (k.atime == -2) {
      EXPECT_LE(std::llabs(a - now), 60) << k.command;
      EXPECT_LE(std::llabs(m - now), 60) << k.command;
    } else if (k.atime != -3) {
      EXPECT_EQ(a, k.atime) << k.command;
      EXPECT_EQ(m, k.mtime) << k.command;
    }
  }
  EXPECT_EQ(objectColumn(*gw, "cos", "/m/made"), "5");
  EXPECT_EQ(objectColumn(*gw, "type", "/m/auto"), "129") << "made by touch";
}

using OzuWorkdirs = AttrsFixture;

TEST_F(OzuWorkdirs, SlotsPwdAndCdls)
{
  GwsimConfig c = attrsConfig();
  c.dir("/m/a").set("Uid", 1001);
  c.dir("/m/a/b").set("Uid", 1001);
  c.file("/m/a/b/x").set("Uid", 1001).set("Gid", 100).set("Mtime", 946684800);
  c.file("/m/file").set("Uid", 1001);
  start(c);
  const struct {
    const char *commands;
    const char *want;
    int status;
  } cases[] = {
      {"cd3 /m/a/b; pwd3; pwd", "pwd3: /m/a/b\npwd0: /m\n", 0},
      {"cd /m/a; cd b; pwd", "pwd0: /m/a/b\n", 0},
      {"cd /m/file; pwd", "/m/file:  Not a directory\npwd0: /m\n", 0},
      {"cd /m/nothing; pwd",
       "*** cd: No such file or directory [-2: QUOR_ENOENT] \n    /m/nothing\npwd0: /m\n", 72},
      {"cd /m/a extra; pwd", "*** Warning: extra parameter(s) starting with `extra' ignored\n"
                             "pwd0: /m/a\n", 0},
      {"pwd7", "pwd7: \n", 0},
      {"pwd -? ; pwd", "Usage: pwd[0-9] [drive: ...]\n", 0},
      {"pwd nodrive", "*** Not a logical drive: nodrive\n", 0},
      {"cdls -1 /m/a/b; pwd; pwd1", "/m/a/b/x\npwd0: /m/a/b\npwd1: \n", 0},
      {"cdls -l /m/a/b", "/m/a/b:\n-rw-r--r--   1 alice     staff              0 Jan  1  2000 x\n",
       0},
      {"cdls /m/nothing; pwd",
       "*** cdls: No such file or directory [-2: QUOR_ENOENT] \n    /m/nothing\npwd0: /m\n", 72},
  };
  for (const auto &k : cases) {
    OzuResult r = runUtc(*gw, k.commands);
    EXPECT_EQ(r.out.substr(0, std::string(k.want).size()), k.want) << k.commands << "\n" << r.out;
    EXPECT_EQ(r.status, k.status) << k.commands << "\n" << r.out;
  }
}

}  // namespace

namespace {

TEST_F(OzuModes, HereDocumentsNameThePaths)
{
  GwsimConfig c = attrsConfig();
  c.file("/m/x").set("Uid", 1001).set("Mode", "0644");
  c.file("/m/y").set("Uid", 1001).set("Mode", "0644");
  c.file("/m/z").set("Uid", 1001).set("Mode", "0644");
  start(c);
  OzuResult r = runOzu(*gw, ozuArgs(*gw, {}),
                       "chmod 600 <<END\n/m/x\n/m/y\nEND\n"
                       "ls -1 /m/z <<END\n/m/x\nEND\n"
                       "chmod 666 <<\n"
                       "chmod 666 <<END /m/z\n",
                       {"TZ=UTC"});
  std::string out = afterBanner(r.out + r.err);
  EXPECT_EQ(mode("/m/x"), "0600");
  EXPECT_EQ(mode("/m/y"), "0600");
  EXPECT_EQ(mode("/m/z"), "0644") << "a command with a marker error changes nothing";
  EXPECT_NE(out.find("/m/z\n/m/x\n"), std::string::npos) << out;
  EXPECT_NE(out.find("*** Missing marker string after here-document sentinel (<<)\n"),
            std::string::npos) << out;
  EXPECT_NE(out.find("*** here-document marker must be the last token on the cmd line\n"),
            std::string::npos) << out;
  EXPECT_EQ(r.status, 64);
}

}  // namespace
