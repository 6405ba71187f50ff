// Path expansion, wildcard expansion and the directory walkers of the shell
// core against a real gwsim: symbolic links, drive prefixes over two
// connections, over-long paths, storage and local wildcards over
// directories of thousands of entries, busy directories, and walks. Each
// case runs in a forked child logged in through the library, with a
// connection context of its own as the shell would have it.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <string>
#include <vector>

#include "client_env.h"
#include "client_process.h"
#include "gwsim_config.h"
#include "gwsim_fixture.h"
#include "journal_text.h"
#include "ozu_context.h"
#include "ozu_glob.h"
#include "ozu_paths.h"
#include "ozu_misc.h"
#include "ozu_walk.h"
#include "ozurc.h"
#include "ozuvars.h"
#include "quor_api.h"

namespace {

std::string config(const std::string &busyRule = "")
{
  GwsimConfig c;
  c.user("alice", "wonderland").set("Uid", 1001).set("Gid", 100).set("Home", "/home/u");
  c.dir("/home");
  c.dir("/home/u").set("Uid", 1001);
  c.dir("/home/u/d").set("Uid", 1001);
  c.file("/home/u/d/real").set("Data", "hello");
  c.file("/home/u/d/lnk").set("Type", "symlink").set("Target", "real");
  c.file("/home/u/d/lnk2").set("Type", "symlink").set("Target", "lnk");
  c.file("/home/u/abs").set("Type", "symlink").set("Target", "/home/u/d/real");
  c.file("/home/u/real").set("Data", "wrong one");
  c.dir("/tree");
  c.dir("/tree/a");
  c.file("/tree/a/x").set("Data", 1);
  c.dir("/tree/a/deep");
  c.file("/tree/a/deep/y").set("Data", 2);
  c.dir("/tree/b");
  c.file("/tree/b/x").set("Data", 3);
  c.dir("/tree/c");
  c.file("/tree/j").set("Type", "junction");
  c.file("/tree/f").set("Data", 4);
  c.dir("/tree/empty");
  if (!busyRule.empty())
    c.fault("Busy", busyRule);
  return c.text();
}

// Files f0000 .. f(n-1) and directories s0 .. s9 (each holding "in") under
// the storage directory dir, made on the host.
void populate(const GwsimFixture &gw, const std::string &dir, int n)
{
  std::string host = gw.rootDir() + dir;
  mkdir(host.c_str(), 0755);
  char name[32];
  for (int i = 0; i < n; ++i) {
    snprintf(name, sizeof name, "/f%04d", i);
    int fd = open((host + name).c_str(), O_WRONLY | O_CREAT, 0644);
    if (fd >= 0)
      close(fd);
  }
  for (int i = 0; i < 10; ++i) {
    std::string s = host + "/s" + std::to_string(i);
    mkdir(s.c_str(), 0755);
    int fd = open((s + "/in").c_str(), O_WRONLY | O_CREAT, 0644);
    if (fd >= 0)
      close(fd);
  }
}

ozu_context_t ctxA, ctxB;

// The shell's state for one logged-in connection (and a second one on
// handle2 when given, drive B).
void shellState(int handle2 = -1)
{
  errFile = listF = ttyOut = stderr;
  memset(&ctxA, 0, sizeof ctxA);
  ctxA.handle = quorex_GetCurConHandle();
  ctxA.driveLetter = 'A';
  ctxA.curLogin.homeDir = strdup("/home/u");
  ctxA.wd[0] = strdup("/home/u");
  ctxA.relflag[0] = 1;
  ozu_connectList = &ctxA;
  if (handle2 > 0) {
    memset(&ctxB, 0, sizeof ctxB);
    ctxB.handle = handle2;
    ctxB.driveLetter = 'B';
    ctxB.wd[0] = strdup("/tree");
    ctxB.relflag[0] = 1;
    ctxA.next = &ctxB;
  }
  sesskeyset.curContext = &ctxA;
  sesskeyset.fs_char = ':';
  keyset = &sesskeyset;
  globalDefs.maxReaddirEntries = 4000;
  globalDefs.promptLen = 1024;
  ozu_GlobAllocate();
  // The shell starts in its home directory, on the gateway too.
  quor_Chdir("/home/u");
}

std::vector<std::string> globbed(const std::vector<std::string> &patterns, int type = 1)
{
  ozu_GlobInit();
  for (const std::string &p : patterns)
    ozu_Glob(p.c_str(), 0, type);
  globSort();
  std::vector<std::string> out;
  for (int i = 0; i < globInx; ++i)
    out.push_back(std::string(globv[i].name) + (globv[i].dir ? "(d)" : "") +
                  (globv[i].symlink ? "(l)" : ""));
  ozu_GlobCleanup();
  return out;
}

#define CHILD_STR(f, a, b)                                                                    \
  do {                                                                                        \
    std::string va_ = (a), vb_ = (b);                                                         \
    if (va_ != vb_) {                                                                         \
      fprintf(stderr, "CHECK FAILED %s:%d: %s: [%s] vs [%s]\n", __FILE__, __LINE__, #a,        \
              va_.c_str(), vb_.c_str());                                                      \
      (f)++;                                                                                  \
    }                                                                                         \
  } while (0)

std::string joined(const std::vector<std::string> &v)
{
  std::string s;
  for (const std::string &x : v)
    s += x + " ";
  return s;
}

}  // namespace

TEST(StoragePaths, SymbolicLinksResolveBesideTheLink)
{
  GwsimFixture gw(config());
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  ChildResult r = runInChild([&] {
    int f = 0;
    if (clientLogin(gw, "alice", "wonderland") != 0)
      return 1;
    shellState();
    char buf[4096];
    struct {
      const char *in, *out;
    } cases[] = {
        {"d/lnk/", "d/real"},                   // relative link beside its link
        {"/home/u/d/lnk/", "/home/u/d/real"},   // absolute path to it
        {"abs/", "/home/u/d/real"},             // an absolute link text
        {"d/", "d/"},                           // a directory keeps its "/"
        {"d/lnk", "d/lnk"},                     // no "/": not resolved
    };
    for (const auto &c : cases) {
      CHILD_EQ(f, ozu_ExpandQUORPath(c.in, buf, sizeof buf), 0);
      CHILD_STR(f, buf, c.out);
    }
    // A relative link text names something beside the link (the file of
    // the same name beside working directory 0 is another one).
    char *abs = nullptr;
    quor_Attrs_t attrs;
    CHILD_EQ(f, ozu_SymlinkToAbsPath("d/lnk2", &abs, &attrs), 0);
    CHILD_STR(f, std::string(abs ? abs : "").substr(0, 10), "/home/u/d/");
    CHILD_EQ(f, attrs.DataLength, 5);
    free(abs);
    return f;
  });
  EXPECT_EQ(r.status, 0) << r.stderrText;
}

TEST(StoragePaths, DrivePrefixesSwitchConnections)
{
  GwsimFixture gw(config());
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  ChildResult r = runInChild([&] {
    int f = 0;
    if (clientLogin(gw, "alice", "wonderland") != 0)
      return 1;
    int second = -1;
    CHILD_EQ(f, quorex_SetupConnection("127.0.0.1", nullptr, gw.port(), 0, 0, &second), 0);
    int first = quorex_GetCurConHandle();
    // As the open command does: one method, the principal and its password.
    CHILD_EQ(f, quor_SetAuthType(QUOR_AUTH_COMBO), 0);
    CHILD_EQ(f, quor_SetCombo("alice", "wonderland"), 0);
    CHILD_EQ(f, quorex_OpenConnection(second), 0);
    CHILD_EQ(f, quorex_SetCurConnection(first, nullptr), 0);
    shellState(second);
    char buf[4096];
    // b: names drive B in either case and leaves it current.
    CHILD_EQ(f, ozu_ExpandQUORPath("b:x", buf, sizeof buf), 0);
    CHILD_STR(f, buf, "x");
    CHILD_EQ(f, sesskeyset.curContext->handle, second);
    CHILD_EQ(f, quorex_GetCurConHandle(), second);
    CHILD_EQ(f, ozu_ExpandQUORPath("A:", buf, sizeof buf), 0);
    CHILD_STR(f, buf, "/home/u");
    CHILD_EQ(f, ozu_ExpandQUORPath("B:-", buf, sizeof buf), 0);
    CHILD_STR(f, buf, "/tree");
    // A drive without a connection fails and switches back.
    CHILD_EQ(f, ozu_ExpandQUORPath("A:.", buf, sizeof buf), 0);
    CHILD_EQ(f, ozu_ExpandQUORPath("C:x", buf, sizeof buf), -1);
    CHILD_EQ(f, sesskeyset.curContext->handle, first);
    CHILD_EQ(f, quorex_GetCurConHandle(), first);
    // A slot that begins with a drive prefix switches to that drive.
    ctxA.wd[4] = const_cast<char *>("B:/tree/a");
    CHILD_EQ(f, ozu_ExpandQUORPath("4'../b", buf, sizeof buf), 0);
    CHILD_STR(f, buf, "/tree/b");
    CHILD_EQ(f, sesskeyset.curContext->handle, second);
    ctxA.wd[4] = nullptr;
    // Storage calls then go to the connection the prefix chose.
    quor_stat_t st;
    CHILD_EQ(f, quor_Stat("/tree/a/x", &st), 0);
    return f;
  });
  EXPECT_EQ(r.status, 0) << r.stderrText;
  EXPECT_EQ(countLines(gw.journalLines(), "conn=2 ", "path=/tree/a/x"), 1);
}

TEST(StoragePaths, OverLongPathsAreRefused)
{
  GwsimFixture gw(config());
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  ChildResult r = runInChild([&] {
    int f = 0;
    if (clientLogin(gw, "alice", "wonderland") != 0)
      return 1;
    shellState();
    exitcode = 0;
    char buf[4096];
    std::string longName(1100, 'n');
    ctxA.wd[2] = const_cast<char *>("/home/u");
    CHILD_EQ(f, ozu_ExpandQUORPath(("2'" + longName).c_str(), buf, sizeof buf), -86);
    CHILD_EQ(f, ozu_ExpandQUORPath(longName.c_str(), buf, 64), -86);
    CHILD_EQ(f, ozu_ExpandQUORPath("short", buf, 64), 0);
    char small[16];
    CHILD_EQ(f, expandQUORpath("./abcdefghijklmnop", small, sizeof small), -86);
    CHILD_EQ(f, expandWorkerPath("./abcdefghijklmnopqrstuvwxyz", small, sizeof small), -86);
    CHILD_EQ(f, exitcode.load(), 64);
    ozu_GlobInit();
    ozu_Glob(std::string(9000, 'g').c_str(), 0, 1);
    CHILD_EQ(f, globInx, 0);
    std::string deep(5000, 'p');
    CHILD_EQ(f, readQUORdir(("/" + deep).c_str(), 0, nullptr, nullptr, nullptr), -1);
    ctxA.wd[2] = nullptr;
    return f;
  });
  EXPECT_EQ(r.status, 0) << r.stderrText;
  EXPECT_NE(r.stderrText.find("File name too long"), std::string::npos) << r.stderrText;
}

TEST(StorageWildcards, PatternsOverThousandsOfEntries)
{
  GwsimFixture gw(config());
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  populate(gw, "/big", 3000);
  ChildResult r = runInChild([&] {
    int f = 0;
    if (clientLogin(gw, "alice", "wonderland") != 0)
      return 1;
    shellState();
    std::vector<std::string> v = globbed({"/big/f1*"});
    CHILD_EQ(f, v.size(), 1000);
    CHILD_EQ(f, maxGlobCount, 1000);
    CHILD_STR(f, v.empty() ? "" : v.front(), "/big/f1000");
    CHILD_STR(f, v.empty() ? "" : v.back(), "/big/f1999");
    CHILD_EQ(f, std::is_sorted(v.begin(), v.end()), 1);
    // Over 1000 names the vector grows by 500.
    v = globbed({"/big/f[0-1]*"});
    CHILD_EQ(f, v.size(), 2000);
    CHILD_EQ(f, maxGlobCount, 2000);
    // Alternatives, classes, "?" and directories, sorted.
    CHILD_STR(f, joined(globbed({"/big/{f2999,s1,f0001}"})), "/big/f0001 /big/f2999 /big/s1(d) ");
    CHILD_STR(f, joined(globbed({"/big/s[2-4]"})), "/big/s2(d) /big/s3(d) /big/s4(d) ");
    CHILD_STR(f, joined(globbed({"/big/f000?"})).substr(0, 22), "/big/f0000 /big/f0001 ");
    // A match that descends: the literal rest must exist in each.
    v = globbed({"/big/s*/in"});
    CHILD_EQ(f, v.size(), 10);
    CHILD_STR(f, joined(globbed({"/big/s*/nothing"})), "");
    // A trailing "/" after a wildcard yields the directories with it.
    CHILD_STR(f, joined(globbed({"/big/s[01]/"})), "/big/s0/(d) /big/s1/(d) ");
    // Relative patterns against working directory 0.
    free(ctxA.wd[0]);
    ctxA.wd[0] = strdup("/big");
    CHILD_STR(f, joined(globbed({"s9*"})), "s9(d) ");
    // No match: nothing, a warning, exit code untouched.
    exitcode = 0;
    CHILD_STR(f, joined(globbed({"/big/zz*"})), "");
    CHILD_EQ(f, exitcode.load(), 0);
    // A name without wildcards is taken as it is.
    CHILD_STR(f, joined(globbed({"/big/nosuch"})), "/big/nosuch ");
    // One directory argument that must name exactly one object.
    char *one = nullptr;
    CHILD_EQ(f, expandSingleNodeDir("/big/s5*", &one), 0);
    CHILD_STR(f, one ? one : "", "/big/s5");
    free(one);
    CHILD_EQ(f, expandSingleNodeDir("/big/s*", &one), -1);
    CHILD_EQ(f, exitcode.load(), 64);
    // Every entry of a directory, sorted, with its type.
    matchAllQUORdir("/tree");
    std::vector<std::string> all;
    for (int i = 0; i < globInx; ++i)
      all.push_back(std::string(globv[i].name) + (globv[i].dir ? "(d)" : ""));
    ozu_GlobCleanup();
    CHILD_STR(f, joined(all), "/tree/a(d) /tree/b(d) /tree/c(d) /tree/empty(d) /tree/f /tree/j ");
    return f;
  });
  EXPECT_EQ(r.status, 0) << r.stderrText;
  EXPECT_NE(r.stderrText.find("*** Warning: No matching names located for '/big/zz*'"),
            std::string::npos);
  EXPECT_NE(r.stderrText.find("*** Ambiguous path: '/big/s*'"), std::string::npos);
}

// A busy directory is read again each second (the wait scaled down by the
// test time seam) until it is served; an interrupt ends the wait.
TEST(StorageWildcards, BusyDirectoryRetriesUntilServed)
{
  GwsimFixture gw(config("0x0500 0x1201 1 3"));
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  ChildResult r = runInChild([&] {
    int f = 0;
    if (clientLogin(gw, "alice", "wonderland") != 0)
      return 1;
    shellState();
    CHILD_STR(f, joined(globbed({"/tree/[ab]"})), "/tree/a(d) /tree/b(d) ");
    return f;
  });
  EXPECT_EQ(r.status, 0) << r.stderrText;
  EXPECT_GE(countLines(gw.journalLines(), "fn=0x1201"), 4) << "three busy answers, then read";
}

TEST(StorageWildcards, BusyWaitEndsOnAnInterrupt)
{
  GwsimFixture gw(config("0x0500 0x1201 * 1000000000"));
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  ChildResult r = runInChild(
      [&] {
        int f = 0;
        if (clientLogin(gw, "alice", "wonderland") != 0)
          return 1;
        shellState();
        interrupted = 1;
        CHILD_STR(f, joined(globbed({"/tree/*"})), "");
        interrupted = 0;
        return f;
      },
      30);
  EXPECT_EQ(r.status, 0) << r.stderrText;
  EXPECT_EQ(countLines(gw.journalLines(), "fn=0x1201"), 1);
}

TEST(LocalWildcards, SpecialFilesAndDotNames)
{
  GwsimFixture gw(config());
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  std::string d = gw.dir() + "/loc";
  ASSERT_EQ(mkdir(d.c_str(), 0755), 0);
  for (const char *n : {"/b", "/a", "/.profile", "/c[1"})
    std::ofstream(d + n) << "x";
  ASSERT_EQ(mkfifo((d + "/pipe").c_str(), 0600), 0);
  ASSERT_EQ(mkdir((d + "/sub").c_str(), 0755), 0);
  std::ofstream(d + "/sub/inner") << "x";
  ChildResult r = runInChild([&] {
    int f = 0;
    shellState();
    CHILD_STR(f, joined(globbed({d + "/*"}, 0)),
              d + "/.profile " + d + "/a " + d + "/b " + d + "/c[1 " + d + "/sub(d) ");
    CHILD_STR(f, joined(globbed({d + "/.*"}, 0)),
              d + "/.(d) " + d + "/..(d) " + d + "/.profile ");
    CHILD_STR(f, joined(globbed({d + "/{b,a}"}, 0)), d + "/a " + d + "/b ");
    CHILD_STR(f, joined(globbed({d + "/pipe"}, 0)), d + "/pipe ");
    CHILD_STR(f, joined(globbed({d + "/c[1"}, 0)), d + "/c[1 ");
    CHILD_STR(f, joined(globbed({d + "/*/inner"}, 0)), d + "/sub/inner ");
    globFlag = 0;
    CHILD_STR(f, joined(globbed({d + "/*"}, 0)), d + "/* ");
    globFlag = 1;
    return f;
  });
  EXPECT_EQ(r.status, 0) << r.stderrText;
}

namespace {

std::vector<std::string> events;

int entCb(ns_DirEntry_t *e, int isdir, const char *, const char *full)
{
  events.push_back(std::string(isdir ? "D " : "E ") + full + (e->Attrs.Type == 133 ? " j" : ""));
  return 0;
}
int subCb(const char *, const char *full, ns_DirEntry_t *)
{
  events.push_back(std::string("S ") + full);
  return strstr(full, "/c") ? -1 : 0;
}
void endCb(const char *dir) { events.push_back(std::string("/ ") + dir); }

int localEnt(struct dirent64 *, struct stat64 *, int isdir, const char *, const char *full)
{
  events.push_back(std::string(isdir ? "D " : "E ") + full);
  return strstr(full, "stop") ? -1 : 0;
}

}  // namespace

TEST(Walkers, StorageWalkOrderSkipsAndErrors)
{
  GwsimFixture gw(config());
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  ChildResult r = runInChild([&] {
    int f = 0;
    if (clientLogin(gw, "alice", "wonderland") != 0)
      return 1;
    shellState();
    events.clear();
    CHILD_EQ(f, readQUORdir("/tree/", 1, entCb, subCb, endCb), 0);
    // A directory's entries first, then its subdirectories depth first; the
    // junction is an entry, never walked; c is skipped by its callback.
    std::string want =
        "D /tree/a|D /tree/b|D /tree/c|D /tree/empty|E /tree/f|E /tree/j j|"
        "S /tree/a|D /tree/a/deep|E /tree/a/x|S /tree/a/deep|E /tree/a/deep/y|/ /tree/a/deep|"
        "/ /tree/a|S /tree/b|E /tree/b/x|/ /tree/b|S /tree/c|S /tree/empty|/ /tree/empty|/ /tree|";
    std::string got;
    for (const std::string &e : events)
      got += e + "|";
    CHILD_STR(f, got, want);
    // The root: one "/" before each name; no recursion, no subdirectory calls.
    events.clear();
    CHILD_EQ(f, readQUORdir("/", 0, entCb, subCb, endCb), 0);
    CHILD_EQ(f, std::count(events.begin(), events.end(), std::string("D /tree")), 1);
    CHILD_EQ(f, std::count_if(events.begin(), events.end(),
                              [](const std::string &e) { return e[0] == 'S'; }),
             0);
    // A directory that cannot be read: -1, still its end call.
    events.clear();
    CHILD_EQ(f, readQUORdir("/nosuch", 1, entCb, subCb, endCb), -1);
    CHILD_STR(f, joined(events), "/ /nosuch ");
    return f;
  });
  EXPECT_EQ(r.status, 0) << r.stderrText;
  // The empty directory took one request of one entry.
  auto j = gw.journalLines();
  EXPECT_GE(countLines(j, "fn=0x1201"), 6);
}

TEST(Walkers, LocalWalkStopsAndReports)
{
  GwsimFixture gw(config());
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  std::string d = gw.dir() + "/walk";
  ASSERT_EQ(mkdir(d.c_str(), 0755), 0);
  ASSERT_EQ(mkdir((d + "/sub").c_str(), 0755), 0);
  std::ofstream(d + "/sub/leaf") << "x";
  std::ofstream(d + "/file") << "x";
  ChildResult r = runInChild([&] {
    int f = 0;
    shellState();
    events.clear();
    CHILD_EQ(f, readLocalDir((d + "/").c_str(), 1, localEnt, nullptr, endCb), 0);
    std::sort(events.begin(), events.end());
    CHILD_STR(f, joined(events),
              "/ " + d + " / " + d + "/sub D " + d + "/sub E " + d + "/file E " + d + "/sub/leaf ");
    // An entry callback that says stop: no more entries, no subdirectories.
    std::ofstream(d + "/stop") << "x";
    events.clear();
    CHILD_EQ(f, readLocalDir(d.c_str(), 1, localEnt, nullptr, endCb), -1);
    CHILD_EQ(f, std::count_if(events.begin(), events.end(),
                              [&](const std::string &e) { return e == "/ " + d + "/sub"; }),
             0);
    CHILD_STR(f, events.empty() ? "" : events.back(), "/ " + d);
    return f;
  });
  EXPECT_EQ(r.status, 0) << r.stderrText;
}

namespace {

// A gateway in local run mode serving its own file system at <dir>/lfx,
// with the tree made on the host: d/{a,b,.hid}, d/s0..s2/in, d/s1/deep/y.
struct LfxGateway {
  LfxGateway()
      : gw(lfxConfig())
  {
    std::string d = gw.dir() + "/lfx/d";
    mkdir((gw.dir() + "/lfx").c_str(), 0755);
    mkdir(d.c_str(), 0755);
    for (const char *n : {"/a", "/b", "/.hid"})
      std::ofstream(d + n) << "x";
    for (const char *s : {"/s0", "/s1", "/s2"}) {
      mkdir((d + s).c_str(), 0755);
      std::ofstream(d + s + "/in") << "x";
    }
    mkdir((d + "/s1/deep").c_str(), 0755);
    std::ofstream(d + "/s1/deep/y") << "x";
  }
  static std::string lfxConfig()
  {
    GwsimConfig c;
    c.user("alice", "wonderland")
        .set("Uid", int(geteuid() == 0 ? 1001 : geteuid()))
        .set("Home", "/d");
    c.section("Lfx").set("Root", "@DIR@/lfx");
    return c.text();
  }
  GwsimFixture gw;
};

std::vector<std::string> remoteEvents;

int remoteEnt(struct stat64 *, int isdir, const char *, const char *full)
{
  remoteEvents.push_back(std::string(isdir ? "D " : "E ") + full);
  return 0;
}
int remoteSub(const char *, const char *full, struct stat64 *)
{
  remoteEvents.push_back(std::string("S ") + full);
  return strstr(full, "/s2") ? -1 : 0;
}
void remoteEnd(const char *dir) { remoteEvents.push_back(std::string("/ ") + dir); }

}  // namespace

TEST(LfxWildcards, PatternsOverTheGatewaysOwnFiles)
{
  LfxGateway lfx;
  ASSERT_TRUE(lfx.gw.running()) << lfx.gw.stderrText();
  ChildResult r = runInChild([&] {
    int f = 0;
    if (clientLogin(lfx.gw, "alice", "wonderland") != 0)
      return 1;
    shellState();
    CHILD_EQ(f, quorex_GetSiteInfo(&ctxA.siteInfo), 0);
    CHILD_EQ(f, ctxA.siteInfo.server_runmode, 2);
    CHILD_STR(f, joined(globbed({"/d/*"})), "/d/.hid /d/a /d/b /d/s0(d) /d/s1(d) /d/s2(d) ");
    CHILD_STR(f, joined(globbed({"/d/{b,a}"})), "/d/a /d/b ");
    CHILD_STR(f, joined(globbed({"/d/s*/in"})), "/d/s0/in /d/s1/in /d/s2/in ");
    CHILD_STR(f, joined(globbed({"/d/s?/"})), "/d/s0/(d) /d/s1/(d) /d/s2/(d) ");
    // Relative to working directory 0; no match warns.
    free(ctxA.wd[0]);
    ctxA.wd[0] = strdup("/d/s1");
    CHILD_STR(f, joined(globbed({"*"})), "deep(d) in ");
    exitcode = 0;
    CHILD_STR(f, joined(globbed({"/d/zz*"})), "");
    CHILD_EQ(f, exitcode.load(), 0);
    CHILD_STR(f, joined(globbed({"/nosuch/*"})), "");
    CHILD_EQ(f, exitcode.load(), 64);
    // The walker over the same tree: entries first, then subdirectories
    // (s2 skipped by its callback), the end call after each subtree.
    remoteEvents.clear();
    CHILD_EQ(f, readRemoteDir("/d/", 1, remoteEnt, remoteSub, remoteEnd), 0);
    std::vector<std::string> want = {
        "E /d/.hid", "E /d/a", "E /d/b", "D /d/s0", "D /d/s1", "D /d/s2",
        "S /d/s0", "E /d/s0/in", "/ /d/s0",
        "S /d/s1", "D /d/s1/deep", "E /d/s1/in", "S /d/s1/deep", "E /d/s1/deep/y",
        "/ /d/s1/deep", "/ /d/s1", "S /d/s2", "/ /d"};
    CHILD_STR(f, joined(remoteEvents), joined(want));
    remoteEvents.clear();
    CHILD_EQ(f, readRemoteDir("/nosuch", 1, remoteEnt, remoteSub, remoteEnd), -1);
    CHILD_STR(f, joined(remoteEvents), "/ /nosuch ");
    return f;
  });
  EXPECT_EQ(r.status, 0) << r.stderrText;
  auto j = lfx.gw.journalLines();
  for (const char *fn : {"fn=0x0F02", "fn=0x1201", "fn=0x1309", "fn=0x0C04"})
    EXPECT_EQ(countLines(j, "cat=0x0500 " + std::string(fn)), 0) << "no storage listing: " << fn;
  EXPECT_GT(countLines(j, "cat=0x1600"), 10);
}
