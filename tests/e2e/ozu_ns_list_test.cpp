// ozu's own ls end to end against gwsim: every form of listing against
// golden text (times fixed in the namespace, TZ=UTC), the messages and exit
// codes of bad paths and options, names that arrive in reverse order, and
// the directory cache seen through gwsim's journal.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <time.h>

#include <string>
#include <vector>

#include "gwsim_config.h"
#include "gwsim_fixture.h"
#include "journal_text.h"
#include "ozu_run.h"
#include "store_tree.h"

namespace {

// Every object carries fixed times, so every line is the same on every run.
GwsimBlock &fixed(GwsimBlock &b)
{
  return b.set("Uid", 1001).set("Gid", 100).set("Mtime", 946684800).set("Created", 946684800)
      .set("Changed", 946684800);
}

// name7: the name this site gives account 7.
GwsimConfig listingConfig(const std::string &name7 = "research")
{
  GwsimConfig c;
  c.user("alice", "wonderland").set("Uid", 1001).set("Gid", 100).set("Home", "/p")
      .set("Accounts", 7);
  c.group("staff", 100);
  c.account(name7, 7).account("averyverylong", 8);
  fixed(c.dir("/p"));
  fixed(c.file("/p/b")).set("Size", 513);
  fixed(c.file("/p/a")).set("Data", "hello").set("Account", 7).set("COS", 3)
      .set("Comment", "first note");
  fixed(c.file("/p/.x"));
  fixed(c.dir("/p/d"));
  fixed(c.file("/p/d/in"));
  c.file("/p/ln").set("Type", "symlink").set("Target", "/p/a").set("Uid", 1001).set("Gid", 100)
      .set("Changed", 946684800);
  fixed(c.file("/p/t.c"));
  fixed(c.file("/p/tape.bin")).set("Size", 4096).set("Tape", "VOL001:17:PV0001 VOL002:3:VOL002:shelf")
      .set("Account", 8).set("COS", 2).set("Family", 4).set("Subsystem", 1);
  fixed(c.file("/p/both.bin")).set("Size", 100).set("Tape", "VOL003:5:PV0003").flag("Disk")
      .flag("PurgeLock").set("Account", 7);
  fixed(c.dir("/w"));
  for (int i = 0; i < 10; ++i)
    fixed(c.file("/w/n" + std::to_string(i)));
  for (int i = 0; i < 15; ++i) {
    fixed(c.dir("/c" + std::to_string(i)));
    fixed(c.file("/c" + std::to_string(i) + "/f"));
  }
  return c;
}

std::string listingGateway() { return listingConfig().text(); }

// What ozu wrote after its log-in banner (listings and messages share the
// error stream unless redirected).
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
  return runOzu(gw, ozuArgs(gw, {commands}), "", {"TZ=UTC"});
}

const char *const kLongP =
    "-rw-r--r--   1 alice     staff              5 Jan  1  2000 a\n"
    "-rw-r--r--   1 alice     staff            513 Jan  1  2000 b\n"
    "-rw-r--r--   1 alice     staff            100 Jan  1  2000 both.bin\n"
    "drwxr-xr-x   2 alice     staff              0 Jan  1  2000 d\n"
    "lrwxrwxrwx   1 alice     staff              0 Jan  1  2000 ln@ -> /p/a\n"
    "-rw-r--r--   1 alice     staff              0 Jan  1  2000 t.c\n"
    "-rw-r--r--   1 alice     staff           4096 Jan  1  2000 tape.bin\n";

const char *const kTapeFields =
    "Fields: 0:type 1:object name 2:size 3:bytes at 1st tape level 4:tape pos 5: vsn list \n"
    "        6:cos 7:family 8:subsys 9:create date 10:create time 11:modification time\n";

class OzuListing : public ::testing::Test {
 protected:
  void SetUp() override
  {
    ASSERT_TRUE(gw.running()) << gw.stderrText();
    ozuHome(gw);
  }
  GwsimFixture gw{listingGateway()};
};

TEST_F(OzuListing, FormsAgainstGoldenText)
{
  const struct {
    const char *commands;
    std::string want;
    int status;
  } cases[] = {
      {"cd /p; ls", "/p:\na          b          both.bin   d/         ln@        t.c        "
                    "tape.bin   \n", 0},
      {"ls -a", "/p:\n.x         a          b          both.bin   d/         ln@        "
                "t.c        tape.bin   \n", 0},
      // 10 names two wide in 16 columns: 4 a line, columns of 3, 3, 2, 2.
      {"ls col=16 /w", "\n/w:\nn0  n3  n6  n8  \nn1  n4  n7  n9  \nn2  n5  \n", 0},
      {"ls -x col=16 /w", "\n/w:\nn0  n1  n2  n3  \nn4  n5  n6  n7  \nn8  n9  \n", 0},
      {"ls -x -C col=16 /w", "\n/w:\nn0  n3  n6  n8  \nn1  n4  n7  n9  \nn2  n5  \n", 0},
      {"ls -r col=16 /w", "\n/w:\nn9  n6  n3  n1  \nn8  n5  n2  n0  \nn7  n4  \n", 0},
      {"ls -1 -s", " 5 /p/a\n 513 /p/b\n 100 /p/both.bin\n-         /p/d/\n"
                   "l         /p/ln@ -> /p/a\n 0 /p/t.c\n 4096 /p/tape.bin\n", 0},
      {"ls -l", std::string("/p:\n") + kLongP, 0},
      {"ls -l /p", std::string("\n/p:\n") + kLongP, 0},
      {"ls -lU /p/a /p/tape.bin /p/both.bin /p/t.c",
       "/p:\n-rw-r--r--   1 alice     staff         3     research DISK             5 Jan  1  "
       "2000 a\n/p:\n-rw-r--r--   1 alice     staff         2            8 TAPE          4096 "
       "Jan  1  2000 tape.bin\n/p:\n-rw-r--r--   1 alice     staff         0     research DISK "
       "-L        100 Jan  1  2000 both.bin\n/p:\n-rw-r--r--   1 alice     staff         0     "
       "       0 EMPTY            0 Jan  1  2000 t.c\n", 0},
      {"ls -U -d /p/d", "/p:\ndrwxr-xr-x   2 alice     staff                      0        "
                        "          0 Jan  1  2000 d\n", 0},
      {"ls -V /p/tape.bin",
       "/p:\n-rw-r--r--   1 alice     staff         2            8 TAPE          4096 Jan  1  "
       "2000 tape.bin\nStorage   VV   Stripe  \n Level   Count  Width  Bytes at Level\n" +
           std::string(76, '-') +
           "\n 1 (tape)   2       1  4096\n"
           "  VV[ 0]:   VVID: 564f4c30-30-31000000-0000000000000000-0000\n"
           "  Pos:   17   PV List: PV0001   \n"
           "  VV[ 1]:   VVID: 564f4c30-30-32000000-0000000000000000-0000\n"
           // The second volume sits on the shelf.
           "  Pos:    3   PV List: VOL002/S \n\n", 0},
      {"ls -X /p/both.bin",
       "/p:\n-rw-r--r--   1 alice     staff         0     research DISK -L        100 Jan  1  "
       "2000 both.bin\nStorage   VV   Stripe  \n Level   Count  Width  Bytes at Level\n" +
           std::string(76, '-') +
           "\n 0 (disk)   0       1  100\n 1 (tape)   1       1  100\n"
           "  VV[ 0]:   VVID: 564f4c30-30-33000000-0000000000000000-0000\n"
           "  Pos:    5   PV List: PV0003   \n" +
           " 2 (tape)   0       0  " + std::string(31, ' ') + "(no data at this level)\n" +
           " 3 (tape)   0       0  " + std::string(31, ' ') + "(no data at this level)\n" +
           " 4 (tape)   0       0  " + std::string(31, ' ') + "(no data at this level)\n\n", 0},
      {"ls -H -P /p/tape.bin", std::string(kTapeFields) +
           "FILE\t/p/tape.bin\t4096\t4096\t17\tPV0001\t2\t4\t1\t01/01/2000\t00:00:00\t"
           "01/01/2000\t00:00:00\n", 0},
      {"ls -P -L 0 /p/both.bin", "FILE\t/p/both.bin\t100\t100\t0\t \t0\t0\t0\t01/01/2000\t"
                                 "00:00:00\t01/01/2000\t00:00:00\n", 0},
      {"ls -P -d /p/d", "DIRECTORY\t/p/d\n", 0},
      {"ls -P /p/d", "FILE\t/p/d/in\t0\t0\t0\t \t0\t0\t0\t01/01/2000\t00:00:00\t01/01/2000\t"
                     "00:00:00\n", 0},
      {"ls -H /p/b", "/p:\nb  \n", 0},
      {"ls -H -l /p/b", "Mode     Links Owner     Group       Size    Date   Time  Entry\n/p:\n"
                        "-rw-r--r--   1 alice     staff            513 Jan  1  2000 b\n", 0},
      {"ls -d /p/d", "/p:\nd/  \n", 0},
      {"ls /p/d", "\n/p/d:\nin  \n", 0},
      {"ls -R /p/d /w/n1", "\n/p/d:\nin  \n/w:\nn1  \n", 0},
      // Seven names in three columns: 3, 2, 2 down the columns.
      {"ls -R col=40 /p", "\n/p:\na          d/         t.c        \nb          ln@        "
                          "tape.bin   \nboth.bin   \n\n/p/d:\nin  \n", 0},
      {"ls -O -1 /p/d", "/p/d/in\n", 0},
      {"ls -T c /p/tape.bin",
       "/p:\n-rw-r--r--   1 alice     staff           4096 Jan  1  2000 tape.bin\n", 0},
      {"ls -S /p/b", "/p:\n-rw-r--r--   1 alice     staff    513 B       Jan  1  2000 b\n", 0},
      {"ls -A -d /p/a", "/p:\n-rw-r--r--   1 alice     staff              5 Jan  1  2000 a\n"
                        "Annotation: first note\n\n", 0},
      {"ls -D /p/b", "/p:\n-rw-r--r--   1 alice     staff            513 Sat Jan  1 00:00:00 "
                     "2000 b\n", 0},
      {"ls '/p/*.c'", "/p:\nt.c  \n", 0},
      {"ls '/p/*.zz'", "*** Warning: No matching names located for '/p/*.zz'\n", 0},
      {"ls /p/nothing", "*** quor_Lstat: No such file or directory [-2: QUOR_ENOENT] \n"
                        "    /p/nothing\n", 70},
      {"ls -T x /p/b", "Bad option 'x' for -T ignored (must be w,r,c or m)\n/p:\nb  \n", 0},
      {"ls -L 5 -P /p/b",
       "*** Bad option '5' for -L parameter (must be between 0 and 4)\n", 64},
      {"ls -L x -P /p/b",
       "*** Bad option 'x' for -L parameter (must be between 0 and 4)\n", 64},
      {"ls cos=", "*** `ls': missing value for keyword cos=\n", 64},
  };
  for (const auto &c : cases) {
    OzuResult r = runUtc(gw, c.commands);
    EXPECT_EQ(afterBanner(r.out + r.err), c.want) << c.commands << "\n" << r.err;
    EXPECT_EQ(r.status, c.status) << c.commands << "\n" << r.out << r.err;
  }
}

TEST_F(OzuListing, UsageOnceAndNothingListedWithoutPath)
{
  OzuResult r = runUtc(gw, "cd /p; ls -? -k");
  std::string out = afterBanner(r.out + r.err);
  EXPECT_EQ(countText(out, "Usage: ls [options] [path ...]"), 1) << out;
  EXPECT_NE(out.find("-U  print QUOR-specific information"), std::string::npos) << out;
  EXPECT_EQ(out.find("/p:"), std::string::npos) << "a usage without a path lists nothing\n" << out;
  EXPECT_EQ(r.status, 0);
}

TEST(OzuListingOrder, NamesArrivingInReverseOrRandomOrderAreSorted)
{
  for (const char *order : {"reverse", "random"}) {
    GwsimConfig c = listingConfig();
    c.server().set("ListOrder", order);
    GwsimFixture gw(c.text());
    ASSERT_TRUE(gw.running()) << gw.stderrText();
    ozuHome(gw);
    OzuResult r = runUtc(gw, "ls -l /p; ls -1 /w; ls -O -1 /w");
    std::string want = std::string("\n/p:\n") + kLongP;
    for (int i = 0; i < 10; ++i)
      want += "/w/n" + std::to_string(i) + "\n";
    std::string out = afterBanner(r.out + r.err);
    ASSERT_EQ(out.substr(0, want.size()), want) << order;
    // Unordered: as the gateway sends them.
    std::string unordered = out.substr(want.size());
    if (std::string(order) == "reverse") {
      EXPECT_EQ(unordered.substr(0, 16), "/w/n9\n/w/n8\n/w/n") << unordered;
    }
    EXPECT_EQ(countText(unordered, "/w/n"), 10) << unordered;

    // A directory of thousands, written straight into the store: every name
    // once, in byte order, however the gateway sends them.
    const int kMany = 3000;
    ASSERT_EQ(writeStoreDir(gw.rootDir(), "/many", kMany, "e", 1001, 100), kMany);
    r = runUtc(gw, "ls -1 /many");
    std::string many;
    for (int i = 0; i < kMany; ++i)
      many += "/many/" + storeDirName("e", i) + "\n";
    EXPECT_EQ(afterBanner(r.out + r.err), many) << order;
    EXPECT_EQ(r.status, 0) << order;
  }
}

TEST_F(OzuListing, CacheServesAgainWithoutReadingAndLeavesWhenTurnedOff)
{
  // Directory opens of exactly this path.
  auto opens = [&](const std::string &path) {
    int n = 0;
    const std::string tail = " path=" + path;
    for (const std::string &l : linesWith(gw.journalLines(), "fn=0x0f02"))
      n += l.size() >= tail.size() && l.compare(l.size() - tail.size(), tail.size(), tail) == 0;
    return n;
  };
  OzuResult r = runUtc(gw, "cache; ls /p; ls /p; ls -a /p; ls /p; ls -a /p");
  EXPECT_EQ(opens("/p"), 2) << "one read without dot names, one with; the repeats come from "
                               "the cache\n" << r.out << r.err;
  std::string out = afterBanner(r.out + r.err);
  EXPECT_EQ(countText(out, ".x"), 2) << "dot names only where -a asked for them\n" << out;

  // Fifteen entries: the sixteenth directory evicts the one read first.
  std::string cmds = "cache; ";
  for (int i = 0; i < 15; ++i)
    cmds += "ls /c" + std::to_string(i) + "; ";
  cmds += "ls /w; ls /c1; ls /c14; ls /c0";
  r = runUtc(gw, cmds);
  EXPECT_EQ(opens("/c0"), 2) << "evicted, so read again";
  EXPECT_EQ(opens("/c1"), 1);
  EXPECT_EQ(opens("/c14"), 1);
  EXPECT_EQ(r.status, 0) << r.out << r.err;

  // A recursive listing of more directories than the cache holds, twice:
  // the lists evicted under it are never read again (ASan watches).
  r = runUtc(gw, "cache; ls -R /; ls -R /");
  out = afterBanner(r.out + r.err);
  EXPECT_EQ(countText(out, "\n/c14:\nf  \n"), 2) << out;
  EXPECT_EQ(countText(out, "\n/p/d:\nin  \n"), 2) << out;
  EXPECT_EQ(r.status, 0) << out;

  // A name made by the shell shows at once; with caching off every listing
  // reads afresh.
  int before = opens("/p");
  r = runUtc(gw, "cache; ls /p; touch /p/new; ls /p; cache; ls /p; ls /p");
  out = afterBanner(r.out + r.err);
  EXPECT_EQ(opens("/p"), before + 4) << out;
  EXPECT_EQ(countText(out, "new"), 3) << out;
  EXPECT_EQ(r.status, 0) << r.err;
}

TEST(OzuListingAccounts, AnAccountNameBelongsToItsSite)
{
  // One account id, another name at each site.
  GwsimConfig a = listingConfig(), b = listingConfig("physics");
  GwsimFixture first(a.text()), second(b.text());
  ASSERT_TRUE(first.running()) << first.stderrText();
  ASSERT_TRUE(second.running()) << second.stderrText();
  ozuHome(first);
  OzuResult r = runOzu(first, ozuArgs(first, {"ls -U /p/a; open -q -h 127.0.0.1 -p " +
                                                  std::to_string(second.port()) +
                                                  " -l alice; ls -U /p/a; A: ls -U /p/a"}),
                       "", {"TZ=UTC"});
  std::string out = afterBanner(r.out + r.err);
  const std::string line = "-rw-r--r--   1 alice     staff         3 %s DISK             5 Jan  1  "
                           "2000 a\n";
  auto with = [&](const char *acct) {
    char buf[200];
    snprintf(buf, sizeof buf, line.c_str(), acct);
    return std::string(buf);
  };
  EXPECT_EQ(countText(out, with("    research")), 2) << out;
  EXPECT_EQ(countText(out, with("     physics")), 1) << out;
  EXPECT_EQ(r.status, 0) << out;
}

TEST(OzuListingFailures, ReadingThatFailsPartWayListsWhatCame)
{
  GwsimConfig c = listingConfig();
  fixed(c.dir("/many"));
  for (int i = 0; i < 100; ++i) {
    char name[32];
    snprintf(name, sizeof name, "/many/e%03d", i);
    fixed(c.file(name));
  }
  // The second batch of the listing fails (the first holds 64 entries).
  c.fault("Error", "0x0500 0x1201 2 -13");
  GwsimFixture gw(c.text());
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  ozuHome(gw);
  OzuResult r = runUtc(gw, "ls -1 /many");
  std::string out = afterBanner(r.out + r.err);
  EXPECT_NE(out.find("*** read QUOR directory: Access denied [-13: QUOR_EACCES] \n    /many\n"),
            std::string::npos) << out;
  // "." and ".." came first and are not shown: 62 names.
  EXPECT_EQ(countText(out, "/many/e"), 62) << out;
  EXPECT_NE(out.find("/many/e061\n"), std::string::npos) << out;
  EXPECT_EQ(r.status, 74);
}

}  // namespace

// One object of each type a namespace holds, as ls -l, find -type and dump
// tell them apart: a file, a symbolic link, a second name of a file, a
// directory, a junction and a fileset root.
TEST(OzuListingTypes, EveryObjectTypeListsFindsAndDumps)
{
  GwsimConfig c = listingConfig();
  fixed(c.dir("/t"));
  fixed(c.file("/t/f")).set("Data", "hello");
  c.file("/t/l").set("Type", "symlink").set("Target", "/t/f").set("Uid", 1001).set("Gid", 100)
      .set("Changed", 946684800);
  fixed(c.file("/t/h")).set("Type", "hardlink").set("Data", "abc");
  fixed(c.dir("/t/d"));
  fixed(c.file("/t/j")).set("Type", "junction");
  fixed(c.file("/t/s")).set("Type", "fileset");
  GwsimFixture gw(c.text());
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  ozuHome(gw);
  struct Case {
    const char *commands;
    std::string want;
  } cases[] = {
      {"ls -l /t", "\n/t:\n"
                   "drwxr-xr-x   2 alice     staff              0 Jan  1  2000 d\n"
                   "-rw-r--r--   1 alice     staff              5 Jan  1  2000 f\n"
                   "-rw-r--r--   1 alice     staff              3 Jan  1  2000 h\n"
                   "Jrwxr-xr-x   2 alice     staff              0 Jan  1  2000 j\n"
                   "lrwxrwxrwx   1 alice     staff              0 Jan  1  2000 l@ -> /t/f\n"
                   "Frwxr-xr-x   2 alice     staff              0 Jan  1  2000 s\n"},
      {"find /t -type f", "/t/f\n/t/h\n"},
      {"find /t -type l", "/t/j\n/t/l@\n/t/s\n"},
      {"find /t -type d", "/t/d/\n"},
  };
  for (const auto &k : cases) {
    OzuResult r = runUtc(gw, k.commands);
    EXPECT_EQ(afterBanner(r.out + r.err), k.want) << k.commands;
    EXPECT_EQ(r.status, 0) << k.commands << "\n" << r.out << r.err;
  }
  // A dump names each object by its type; object ids and read times vary
  // from run to run, so only the type lines are compared.
  OzuResult r = runUtc(gw, "dump /t/f /t/h /t/d /t/j /t/s");
  std::string out = afterBanner(r.out + r.err), types;
  for (size_t at = 0; at < out.size();) {
    size_t nl = out.find('\n', at);
    std::string line = out.substr(at, nl == std::string::npos ? std::string::npos : nl - at);
    if (line.rfind("/t/", 0) == 0 || line.find("Type: ") != std::string::npos ||
        line.find("Object Type (as an integer)......: ") != std::string::npos)
      types += line + "\n";
    at = nl == std::string::npos ? out.size() : nl + 1;
  }
  EXPECT_EQ(types,
            "/t/f\n     Type: 129 (Regular File)\n  Object Type (as an integer)......: 129\n"
            "/t/h\n     Type: 131 (Hard Link)\n  Object Type (as an integer)......: 131\n"
            "/t/d\n     Type: 132 (Directory)\n  Object Type (as an integer)......: 132\n"
            "/t/j\n     Type: 133 (UNKNOWN)\n  Object Type (as an integer)......: 133\n"
            "/t/s\n     Type: 134 (UNKNOWN)\n  Object Type (as an integer)......: 134\n")
      << out;
  EXPECT_EQ(r.status, 0) << out;
}

// The long listing shows the time of day up to 180 days back and the year
// beyond. The times are set on the served files just after a second begins,
// so the listing a moment later sees them 180 days plus and minus 1 s old
// (the newer one stays within the limit for two seconds).
TEST(OzuListingTimes, TheYearShowsBeyond180Days)
{
  GwsimConfig c = listingConfig();
  fixed(c.dir("/u"));
  fixed(c.file("/u/new"));
  fixed(c.file("/u/old"));
  GwsimFixture gw(c.text());
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  ozuHome(gw);
  struct timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  struct timespec rest = {0, 1000000000L - now.tv_nsec};
  nanosleep(&rest, nullptr);
  const time_t t0 = time(nullptr);
  const long age = 180L * 86400;
  const struct {
    const char *name;
    time_t when;
    const char *format;
  } files[] = {{"new", t0 - age + 1, "%b %e %H:%M"}, {"old", t0 - age - 1, "%b %e  %Y"}};
  std::string want = "\n/u:\n";
  for (const auto &f : files) {
    struct timespec ts[2] = {{f.when, 0}, {f.when, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, (gw.rootDir() + "/u/" + f.name).c_str(), ts, 0), 0);
    struct tm tmv;
    gmtime_r(&f.when, &tmv);
    char date[32];
    strftime(date, sizeof date, f.format, &tmv);
    want += std::string("-rw-r--r--   1 alice     staff              0 ") + date + " " + f.name +
            "\n";
  }
  OzuResult r = runUtc(gw, "ls -l /u");
  EXPECT_EQ(afterBanner(r.out + r.err), want);
  EXPECT_EQ(r.status, 0) << r.out << r.err;
}
