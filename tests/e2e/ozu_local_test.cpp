// ozu's local commands against gwsim: lcd, lpwd, lls, lcdls, lmkdir, the
// shell escape, out and log redirections, and the local log opened from
// its OZU_LOGFILE template. Every local path lies under the test's
// directory: "~" and a bare lcd are the password database's home, not
// HOME, so no test writes through them.
#include <dirent.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "gwsim_fixture.h"
#include "journal_text.h"
#include "ozu_run.h"

namespace {

const std::string kConfig = aliceConfig().text();

bool isDir(const std::string &p)
{
  struct stat st;
  return stat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

class OzuLocal : public ::testing::Test {
 protected:
  void SetUp() override
  {
    ASSERT_TRUE(gw.running()) << gw.stderrText();
    home = ozuHome(gw);
  }
  OzuResult ozu(const std::string &commands, const std::vector<std::string> &env = {})
  {
    return runOzu(gw, ozuArgs(gw, {"-P", commands}), "", env);
  }
  GwsimFixture gw{kConfig};
  std::string home;
};

TEST_F(OzuLocal, LcdLpwdAndTheShellEscape)
{
  ASSERT_EQ(mkdir((home + "/sp ace").c_str(), 0755), 0);
  struct passwd *pw = getpwuid(getuid());
  ASSERT_NE(pw, nullptr);
  std::string own = pw->pw_dir;
  // The shell escape takes the rest of the line, so it comes last.
  OzuResult r = ozu("lcd; lpwd; lcd " + home + "; lcd \"sp ace\"; lpwd; lcd nosuch; lpwd; "
                    "lcd ..; lpwd; lcd \"sp ace\"; !echo escaped > esc.txt");
  EXPECT_EQ(r.status, 72) << "the failed lcd counts\n" << r.out;
  EXPECT_EQ(r.out.rfind(own + "\n" + home + "/sp ace\n", 0), 0u) << r.out;
  EXPECT_NE(r.out.find("error 2 changing to directory nosuch"), std::string::npos) << r.out;
  size_t failed = r.out.find("error 2 changing to directory nosuch\n");
  EXPECT_EQ(r.out.find(home + "/sp ace\n" + home + "\n", failed), failed + 37)
      << "a failed lcd stays where it was\n" << r.out;
  EXPECT_EQ(readFile(home + "/sp ace/esc.txt"), "escaped\n");

  r = ozu("lcd ~nosuchuser");
  EXPECT_EQ(r.status, 64) << r.out;
  EXPECT_NE(r.out.find("Cannot locate home directory for [nosuchuser]"), std::string::npos);
}

TEST_F(OzuLocal, LlsAndLcdls)
{
  ASSERT_EQ(mkdir((home + "/sub").c_str(), 0755), 0);
  writeFile(gw, home + "/sub/.hidden", "");
  writeFile(gw, home + "/sub/seen", "");
  OzuResult r = ozu("lcd " + home + "; lls sub; lcdls -a sub; lpwd");
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(countText(r.out, "seen\n"), 2) << r.out;
  EXPECT_EQ(countText(r.out, ".hidden\n"), 1) << "only lcdls passed -a\n" << r.out;
  EXPECT_NE(r.out.find(home + "/sub\n"), std::string::npos) << "lcdls entered it\n" << r.out;
}

TEST_F(OzuLocal, Lmkdir)
{
  writeFile(gw, home + "/plain", "x");
  OzuResult r = ozu("lcd " + home + "; lmkdir -p a/b/c; lmkdir a; lmkd -p a/b/c; lmd ./d; "
                    "lmkdir " + home + "/e");
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_TRUE(isDir(home + "/a/b/c"));
  EXPECT_TRUE(isDir(home + "/d"));
  EXPECT_TRUE(isDir(home + "/e"));
  EXPECT_EQ(countText(r.out, "lmkdir: a/b/c"), 2) << r.out;
  EXPECT_EQ(r.out.find("Error"), std::string::npos) << "existing directories are fine\n" << r.out;

  r = ozu("lcd " + home + "; lmkdir x/y");
  EXPECT_EQ(r.status, 70) << r.out;
  EXPECT_NE(r.out.find("*** Error 2 creating local directory `x/y'"), std::string::npos);
  EXPECT_FALSE(isDir(home + "/x"));

  // An existing file is no directory, with or without -p.
  r = ozu("lcd " + home + "; lmkdir plain");
  EXPECT_EQ(r.status, 70) << r.out;
  EXPECT_NE(r.out.find("*** Error 17 creating local directory `plain'"), std::string::npos);
  r = ozu("lcd " + home + "; lmkdir -p plain/z");
  EXPECT_EQ(r.status, 72) << r.out;
  EXPECT_NE(r.out.find("*** Not a directory: plain"), std::string::npos) << r.out;
  writeFile(gw, home + "/a/plainer2", "");
  r = ozu("lcd " + home + "; lmkdir -p a/plainer; lmkdir -p a/plainer2");
  EXPECT_EQ(r.status, 72) << r.out;
  EXPECT_NE(r.out.find("*** Error 17 creating subdir. `a/plainer2'"), std::string::npos) << r.out;
}

TEST_F(OzuLocal, OutRedirection)
{
  std::string f = gw.dir() + "/listing";
  std::string fifo = gw.dir() + "/fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  OzuResult r = ozu("out > " + f + "; showcon; out; showcon; out >> " + f +
                    "; showcon; out -; echo; out >> " + fifo + "; out > " + gw.dir());
  EXPECT_EQ(r.status, 64) << r.out;
  std::string listing = readFile(f);
  EXPECT_EQ(countText(listing, "List of Currently Active Connections"), 2)
      << "the second out appended\n" << listing;
  EXPECT_EQ(countText(r.out, "List of Currently Active Connections"), 1) << r.out;
  EXPECT_EQ(countText(r.out, "Listing output now being written to `" + f + "'"), 2) << r.out;
  EXPECT_NE(r.out.find("Warning: OUT command missing filename"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("*** " + fifo + " not a regular file"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("*** " + gw.dir() + " is a directory"), std::string::npos) << r.out;
}

TEST_F(OzuLocal, LogCommandAndTemplate)
{
  std::string dir = gw.dir() + "/logs";
  ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
  OzuResult r = ozu("showcon; log > " + dir + "/switched; echo; log -; lpwd",
                    {"OZU_LOGFILE=" + dir + "/ozu.%U.%P.log"});
  EXPECT_EQ(r.status, 0) << r.out;
  std::vector<std::string> names;
  if (DIR *d = opendir(dir.c_str())) {
    while (struct dirent *e = readdir(d))
      if (e->d_name[0] != '.')
        names.push_back(e->d_name);
    closedir(d);
  }
  ASSERT_EQ(names.size(), 2u);
  std::string started = names[0] == "switched" ? names[1] : names[0];
  // The template's user is the local one, its process the shell's.
  struct passwd *me = getpwuid(getuid());
  ASSERT_NE(me, nullptr);
  std::string front = "ozu." + std::string(me->pw_name) + ".";
  EXPECT_EQ(started.rfind(front, 0), 0u) << started;
  EXPECT_GT(started.size(), front.size() + 4) << started;
  EXPECT_EQ(started.find_first_not_of("0123456789", front.size()), started.size() - 4) << started;
  EXPECT_EQ(started.substr(started.size() - 4), ".log") << started;
  std::string log = readFile(dir + "/" + started);
  EXPECT_NE(log.find("OZU Client version "), std::string::npos) << log;
  EXPECT_NE(log.find("] Command line: "), std::string::npos) << log;
  EXPECT_NE(log.find(" -h 127.0.0.1 -p "), std::string::npos) << log;
  EXPECT_NE(log.find("] showcon\n"), std::string::npos) << log;
  EXPECT_EQ(log.find("] echo\n"), std::string::npos) << "the log moved before echo\n" << log;
  std::string switched = readFile(dir + "/switched");
  EXPECT_NE(switched.find("] log > " + dir + "/switched\n"), std::string::npos) << switched;
  EXPECT_NE(switched.find("] echo\n"), std::string::npos) << switched;
  EXPECT_EQ(switched.find("lpwd"), std::string::npos) << "log - closed it\n" << switched;

  r = ozu("showcon", {"OZU_LOGFILE=none"});
  EXPECT_EQ(r.status, 0);
  r = ozu("showcon", {"OZU_LOGFILE=" + gw.dir() + "/nosuchdir/x.log"});
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_NE((r.out + r.err).find("[warning] error creating logfile " + gw.dir() +
                                 "/nosuchdir/x.loglogging has been disabled"),
            std::string::npos)
      << r.out << r.err;
}

}  // namespace
