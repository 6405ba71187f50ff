// ozu's own mkdir, rm, rmdir, mv, rename and ln end to end against gwsim:
// what each prints, its exit code, what the store holds afterwards and the
// unlink (FU) and rename (FR) records in the gateway log (whose journal
// shows a tab as "?").
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
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

GwsimConfig storeConfig()
{
  GwsimConfig c = aliceConfig();
  c.dir("/m").set("Uid", 1001).set("Mode", "0755");
  return c;
}

struct NsCreate : public ::testing::Test {
  void start(GwsimConfig &c)
  {
    gw.reset(new GwsimFixture(c.text()));
    ASSERT_TRUE(gw->running()) << gw->stderrText();
    ozuHome(*gw);
  }
  OzuResult run(const std::string &commands)
  {
    OzuResult r = runOzu(*gw, ozuArgs(*gw, {commands}), "", {"TZ=UTC"});
    r.out = afterBanner(r.out + r.err);
    return r;
  }
  // "d" directory, "f" file, "l" link, "-" nothing, as the store holds it.
  std::string kind(const std::string &path)
  {
    struct stat st;
    if (lstat((gw->rootDir() + path).c_str(), &st) < 0)
      return "-";
    return S_ISDIR(st.st_mode) ? "d" : S_ISLNK(st.st_mode) ? "l" : "f";
  }
  std::string mode(const std::string &path)
  {
    std::string d = objectColumn(*gw, "mode", path);
    if (d.empty() || d.find_first_not_of("0123456789") != std::string::npos)
      return "?" + d;
    char buf[16];
    snprintf(buf, sizeof buf, "%04lo", std::stoul(d) & 07777);
    return buf;
  }
  std::vector<std::string> records(const char *type)
  {
    std::vector<std::string> out;
    for (const std::string &l : gw->journalLines())
      if (l.find(std::string("?") + type + "?") != std::string::npos)
        out.push_back(l);
    return out;
  }
  std::unique_ptr<GwsimFixture> gw;
};

TEST_F(NsCreate, MkdirModesParentsAndWhatExists)
{
  GwsimConfig c = storeConfig();
  c.dir("/m/old").set("Uid", 1001).set("Mode", "0711");
  c.file("/m/f").set("Uid", 1001).set("Data", "x");
  start(c);
  const struct {
    const char *command;
    int status;
    const char *output;  // the whole output after the banner
    std::vector<std::pair<const char *, const char *>> modes;
  } cases[] = {
      // /m/a/b gets the mode plus 0700, only the last is reported.
      {"mkdir -p -m 550 /m/a/b/c", 0, "mkdir: /m/a/b/c\n",
       {{"/m/a", "0750"}, {"/m/a/b", "0750"}, {"/m/a/b/c", "0550"}}},
      {"mkdir -m 17755 /m/five", 0, "mkdir: /m/five\n", {{"/m/five", "7755"}}},
      {"mkdir -m 9 /m/bad", 0, "*** Bad octal string ignored: 9\nmkdir: /m/bad\n", {}},
      // An existing directory: silent, untouched.
      {"mkdir -m 700 /m/old", 0, "", {{"/m/old", "0711"}}},
      {"mkdir /m/f", 72, "*** Path exists, but is not a directory: /m/f\n", {}},
      {"mkdir /m/none/x", 72, "quor_Mkdir", {}},
      {"mkdir -p /m/f/x", 72, "*** quor_Mkdir: Not a directory", {}},
      {"mkdir", 0, "Usage: mkd[ir] [-A annotation] [-m mode] [-p] path ...\n", {}},
  };
  for (const auto &k : cases) {
    OzuResult r = run(k.command);
    EXPECT_EQ(r.status, k.status) << k.command << "\n" << r.out;
    if (std::string(k.output).find('\n') != std::string::npos &&
        std::string(k.command) != "mkdir")
      EXPECT_EQ(r.out, k.output) << k.command;
    else
      EXPECT_NE(r.out.find(k.output), std::string::npos) << k.command << "\n" << r.out;
    for (const auto &m : k.modes)
      EXPECT_EQ(mode(m.first), m.second) << k.command << " " << m.first;
  }
  EXPECT_EQ(kind("/m/bad"), "d");
  EXPECT_EQ(kind("/m/none"), "-");
  EXPECT_EQ(kind("/m/f"), "f");
}

TEST_F(NsCreate, MkdirAnnotationExpandsEscapesAndSkipsExisting)
{
  GwsimConfig c = storeConfig();
  c.dir("/m/old").set("Uid", 1001).set("Mode", "0755");
  start(c);
  OzuResult r = run("mkdir -A 'x\\ty' /m/d /m/old; mkdir -A 'a\\qb' /m/e; mkdir -p -A top /m/p/q");
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(objectColumn(*gw, "hex(comment)", "/m/d"), "780979") << "x, a real tab, y";
  EXPECT_EQ(objectColumn(*gw, "comment", "/m/e"), "a\\qb");
  EXPECT_EQ(objectColumn(*gw, "comment", "/m/old"), "");
  EXPECT_EQ(objectColumn(*gw, "comment", "/m/p/q"), "top");
  EXPECT_EQ(objectColumn(*gw, "comment", "/m/p"), "") << "intermediate directories stay bare";
}

TEST_F(NsCreate, RmAndRmdir)
{
  GwsimConfig c = storeConfig();
  c.file("/m/f").set("Uid", 1001).set("Data", "hello").set("Mtime", "1000000000");
  c.dir("/m/d").set("Uid", 1001);
  c.file("/m/d/x").set("Uid", 1001).set("Data", "xx");
  c.dir("/m/d/s").set("Uid", 1001);
  c.file("/m/d/s/y").set("Uid", 1001).set("Data", "yyy");
  c.dir("/m/full").set("Uid", 1001);
  c.file("/m/full/z").set("Uid", 1001).set("Data", "z");
  c.dir("/m/empty").set("Uid", 1001);
  start(c);
  const struct {
    const char *command;
    int status;
    const char *output;
    std::vector<std::pair<const char *, const char *>> after;
  } cases[] = {
      {"rm /m/d", 0, "*** Warning: `/m/d' is a directory - ignored\n", {{"/m/d/x", "f"}}},
      {"rmdir /m/full", 64, "*** Directory not empty: /m/full\n", {{"/m/full", "d"}}},
      {"rmdir /m/f", 0, "*** Warning: `/m/f' is not a directory - skipped\n", {{"/m/f", "f"}}},
      {"rmdir /m/empty", 0, "rmdir: /m/empty\n", {{"/m/empty", "-"}}},
      // Files first, each directory after what it holds, the named one last.
      {"rm -R /m/d", 0,
       "rm: /m/d/x (", {{"/m/d", "-"}, {"/m/d/s", "-"}}},
      {"rm /m/nothing", 72, "*** rm: No such file or directory", {}},
  };
  for (const auto &k : cases) {
    OzuResult r = run(k.command);
    EXPECT_EQ(r.status, k.status) << k.command << "\n" << r.out;
    EXPECT_NE(r.out.find(k.output), std::string::npos) << k.command << "\n" << r.out;
    for (const auto &a : k.after)
      EXPECT_EQ(kind(a.first), a.second) << k.command << " " << a.first;
  }
  OzuResult r = run("rm /m/f");
  EXPECT_EQ(r.out, "rm: /m/f (2001/09/09 01:46:40 5 bytes)\n");
  auto fu = records("FU");
  ASSERT_EQ(fu.size(), 3u);
  EXPECT_NE(fu[0].find("?2?"), std::string::npos) << fu[0];
  EXPECT_NE(fu[0].find("/m/d/x"), std::string::npos) << fu[0];
  EXPECT_NE(fu[1].find("/m/d/s/y"), std::string::npos) << fu[1];
  EXPECT_NE(fu[2].find("?5?"), std::string::npos) << fu[2];
}

TEST_F(NsCreate, RmRecursiveOrderAndTheCache)
{
  GwsimConfig c = storeConfig();
  c.dir("/m/d").set("Uid", 1001);
  c.file("/m/d/a").set("Uid", 1001).set("Data", "a");
  c.dir("/m/d/s").set("Uid", 1001);
  c.file("/m/d/s/b").set("Uid", 1001).set("Data", "b");
  c.file("/m/x").set("Uid", 1001).set("Data", "x");
  start(c);
  OzuResult r = run("cache; ls /m; rm /m/x; ls /m; rm -R /m/d; ls /m");
  EXPECT_EQ(r.status, 0) << r.out;
  std::vector<std::string> order;
  for (const char *what : {"rm: /m/d/a (", "rm: /m/d/s/b (", "rmdir: /m/d/s\n", "rmdir: /m/d\n"})
    order.push_back(what);
  size_t at = 0;
  for (const std::string &w : order) {
    size_t hit = r.out.find(w, at);
    ASSERT_NE(hit, std::string::npos) << w << "\n" << r.out;
    at = hit;
  }
  // The listings after each removal come from a fresh read, not the cache.
  EXPECT_EQ(countText(r.out, "x"), 2) << r.out;  // the rm line and the first listing
  EXPECT_EQ(kind("/m/d"), "-");
}

TEST_F(NsCreate, RmAskWithoutTerminalRemovesNothing)
{
  GwsimConfig c = storeConfig();
  c.file("/m/a").set("Uid", 1001).set("Data", "a");
  c.file("/m/b").set("Uid", 1001).set("Data", "b");
  start(c);
  OzuResult r = run("rm -i /m/a /m/b");
  EXPECT_EQ(r.status, 64) << r.out;
  EXPECT_NE(r.out.find("nothing removed"), std::string::npos) << r.out;
  EXPECT_EQ(kind("/m/a"), "f");
  EXPECT_EQ(kind("/m/b"), "f");
  // mdelete's prompting follows the prompt toggle: no terminal counts as All.
  r = run("mdelete /m/a /m/b");
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(kind("/m/a"), "-");
  EXPECT_EQ(kind("/m/b"), "-");
}

TEST_F(NsCreate, RmAsksOnATerminal)
{
  GwsimConfig c = storeConfig();
  for (const char *f : {"/m/a", "/m/b", "/m/c", "/m/d", "/m/e"})
    c.file(f).set("Uid", 1001).set("Data", "x");
  start(c);
  writeFile(*gw, ".ozurc", "PS1 = 'ozu> '\n");
  auto p = startOzuOnPty(*gw, ozuArgs(*gw, {"-q"}), {"TERM=vt100"});
  ASSERT_TRUE(p->waitFor("ozu> ", 15000)) << p->screen;
  p->type("rm -i /m/a /m/b /m/c\n");
  ASSERT_TRUE(p->waitFor("rm '/m/a'? ([Y]es,[N]o,[A]ll,[Q]uit) ")) << p->screen;
  p->type("y\n");
  ASSERT_TRUE(p->waitFor("rm '/m/b'? ")) << p->screen;
  p->type("n\n");
  ASSERT_TRUE(p->waitFor("rm '/m/c'? ")) << p->screen;
  p->type("a\n");
  ASSERT_TRUE(p->waitFor("ozu> ")) << p->screen;
  p->type("rm -i /m/d /m/e\n");
  ASSERT_TRUE(p->waitFor("rm '/m/d'? ")) << p->screen;
  p->type("q\n");
  ASSERT_TRUE(p->waitFor("ozu> ")) << p->screen;
  p->type("quit\n");
  p->finish();
  EXPECT_EQ(p->screen.find("rm '/m/e'?"), std::string::npos) << "Quit ends the command";
  EXPECT_EQ(kind("/m/a"), "-");
  EXPECT_EQ(kind("/m/b"), "f");
  EXPECT_EQ(kind("/m/c"), "-");
  EXPECT_EQ(kind("/m/d"), "f");
  EXPECT_EQ(kind("/m/e"), "f");
}

TEST_F(NsCreate, MvRenameAndTheirRecords)
{
  GwsimConfig c = storeConfig();
  for (const char *f : {"/m/a", "/m/b", "/m/c", "/m/s1", "/m/s2", "/m/s3", "/m/r", "/m/q", "/m/self"})
    c.file(f).set("Uid", 1001).set("Data", f);
  c.dir("/m/dir").set("Uid", 1001);
  c.dir("/m/sub").set("Uid", 1001);
  start(c);
  const struct {
    const char *command;
    int status;
    const char *output;
    std::vector<std::pair<const char *, const char *>> after;
  } cases[] = {
      {"mv /m/a /m/b", 64, "*** Target file /m/b already exists. (Use -f option to remove first)",
       {{"/m/a", "f"}}},
      {"mv -f /m/a /m/b", 0, "", {{"/m/a", "-"}, {"/m/b", "f"}}},
      {"mv -v /m/b /m/dir", 0, "mv: /m/b to /m/dir/b\n", {{"/m/dir/b", "f"}}},
      {"mv /m/self /m/self", 0, "*** Warning mv: attempt to rename '/m/self' to itself ignored",
       {{"/m/self", "f"}}},
      {"mv /m/s1 /m/s2 /m/s3 /m/c", 64, "*** /m/c is not a directory",
       {{"/m/s1", "f"}, {"/m/c", "f"}}},
      {"mv /m/gone /m/x", 72, "rename /m/gone to /m/x", {}},
      {"mv /m/sub /m/c", 64, "must both be directories", {{"/m/sub", "d"}}},
      {"rename /m/r /m/q", 0, "rename: /m/r to /m/q\n", {{"/m/r", "-"}, {"/m/q", "f"}}},
      // Asked to confirm with no terminal to answer: nothing is touched.
      {"mv -f -i /m/c /m/self", 64, "nothing moved", {{"/m/c", "f"}, {"/m/self", "f"}}},
  };
  for (const auto &k : cases) {
    OzuResult r = run(k.command);
    EXPECT_EQ(r.status, k.status) << k.command << "\n" << r.out;
    EXPECT_NE(r.out.find(k.output), std::string::npos) << k.command << "\n" << r.out;
    for (const auto &a : k.after)
      EXPECT_EQ(kind(a.first), a.second) << k.command << " " << a.first;
  }
  EXPECT_EQ(readFile(gw->rootDir() + "/m/dir/b"), "/m/a");
  EXPECT_EQ(readFile(gw->rootDir() + "/m/q"), "/m/r");
  // mv -f: the unlink of b (4 bytes), then the rename; rename over q the same.
  std::vector<std::string> recs;
  for (const std::string &l : gw->journalLines())
    if (l.find("?FU?") != std::string::npos || l.find("?FR?") != std::string::npos)
      recs.push_back(l);
  ASSERT_EQ(recs.size(), 5u);
  EXPECT_NE(recs[0].find("?FU?0?0.00?4?"), std::string::npos) << recs[0];
  EXPECT_NE(recs[0].find("/m/b"), std::string::npos) << recs[0];
  EXPECT_NE(recs[1].find("?FR?"), std::string::npos) << recs[1];
  EXPECT_NE(recs[1].find("/m/a?/m/b"), std::string::npos) << recs[1];
  EXPECT_NE(recs[2].find("/m/b?/m/dir/b"), std::string::npos) << recs[2];
  EXPECT_NE(recs[3].find("?FU?"), std::string::npos) << recs[3];
  EXPECT_NE(recs[3].find("/m/q"), std::string::npos) << recs[3];
  EXPECT_NE(recs[4].find("/m/r?/m/q"), std::string::npos) << recs[4];
}

TEST_F(NsCreate, LnChecksBeforeItRemoves)
{
  GwsimConfig c = storeConfig();
  c.file("/m/f").set("Uid", 1001).set("Data", "f");
  c.file("/m/g").set("Uid", 1001).set("Data", "g");
  c.file("/m/keep").set("Uid", 1001).set("Data", "keep");
  c.file("/m/old").set("Uid", 1001).set("Data", "old");
  c.dir("/m/dir").set("Uid", 1001);
  start(c);
  const struct {
    const char *command;
    int status;
    const char *output;
    std::vector<std::pair<const char *, const char *>> after;
  } cases[] = {
      {"ln /m/f /m/h", 0, "", {{"/m/h", "f"}}},
      {"ln -s /m/dir /m/l", 0, "", {{"/m/l", "l"}}},
      {"ln /m/dir /m/x", 64, "*** Operation not permitted for directory /m/dir", {{"/m/x", "-"}}},
      {"ln /m/f /m/dir", 0, "", {{"/m/dir/f", "f"}}},
      {"ln /m/f /m/g /m/keep", 64, "*** /m/keep is not a directory", {{"/m/keep", "f"}}},
      // A refused command leaves the target alone, -f or not.
      {"ln -f /m/dir /m/keep", 64, "*** Operation not permitted for directory /m/dir",
       {{"/m/keep", "f"}}},
      {"ln /m/g /m/keep", 64, "*** /m/keep already exists", {{"/m/keep", "f"}}},
      {"ln -f /m/g /m/old", 0, "", {{"/m/old", "f"}}},
  };
  for (const auto &k : cases) {
    OzuResult r = run(k.command);
    EXPECT_EQ(r.status, k.status) << k.command << "\n" << r.out;
    EXPECT_NE(r.out.find(k.output), std::string::npos) << k.command << "\n" << r.out;
    for (const auto &a : k.after)
      EXPECT_EQ(kind(a.first), a.second) << k.command << " " << a.first;
  }
  EXPECT_EQ(readFile(gw->rootDir() + "/m/keep"), "keep");
  EXPECT_EQ(readFile(gw->rootDir() + "/m/old"), "g") << "ln -f replaced the old file by a link";
}

// In local run mode the missing directories of mkdir -p are made on the
// gateway's own file system, through lfx, not in the storage namespace.
TEST_F(NsCreate, MkdirParentsInLocalRunMode)
{
  GwsimConfig c = storeConfig();
  c.section("Lfx").set("Root", "@DIR@/lfx");
  start(c);
  std::string lfx = gw->dir() + "/lfx";
  ASSERT_EQ(mkdir((lfx + "/m").c_str(), 0777), 0);
  chmod((lfx + "/m").c_str(), 0777);
  { std::ofstream(lfx + "/m/file") << "x"; }
  const struct {
    const char *command;
    int status;
    const char *output;
  } cases[] = {
      {"mkdir -p /m/a/b/c", 0, "mkdir: /m/a/b/c\n"},
      // Already there on the gateway's file system: nothing left to make.
      {"mkdir -p /m/a/b/c", 0, "mkdir: /m/a/b/c\n"},
      {"mkdir -p /m/file/x/y", 72, "*** (make intermediate subdirs): Not a directory"},
  };
  for (const auto &k : cases) {
    OzuResult r = run(k.command);
    EXPECT_EQ(r.status, k.status) << k.command << "\n" << r.out;
    EXPECT_NE(r.out.find(k.output), std::string::npos) << k.command << "\n" << r.out;
  }
  struct stat st;
  EXPECT_EQ(stat((lfx + "/m/a/b/c").c_str(), &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  EXPECT_EQ(kind("/m/a"), "-") << "nothing made in the storage namespace";
  EXPECT_EQ(stat((lfx + "/m/file/x").c_str(), &st), -1);
}

// rename across two connections is refused and moves nothing.
TEST_F(NsCreate, RenameAcrossConnectionsIsRefused)
{
  GwsimConfig c = storeConfig();
  c.file("/m/a").set("Uid", 1001).set("Data", "a");
  start(c);
  std::string open = "open -q -h 127.0.0.1 -p " + std::to_string(gw->port()) + " -l alice";
  OzuResult r = run(open + "; switch 1; rename /m/a B:/m/b");
  EXPECT_EQ(r.status, 64) << r.out;
  EXPECT_NE(r.out.find("*** Source and sink pathnames must reference the same QUOR connection."),
            std::string::npos) << r.out;
  EXPECT_EQ(kind("/m/a"), "f");
  EXPECT_EQ(kind("/m/b"), "-");
  for (const std::string &l : gw->journalLines())
    EXPECT_EQ(l.find("fn=0x1208"), std::string::npos) << "no rename sent: " << l;
}

// A directory rm -R cannot remove is a failure of the command (72), unlike
// rmdir's own refusal (64); the walk goes on with the rest.
TEST_F(NsCreate, RmdirFailureInsideRecursiveRm)
{
  GwsimConfig c = storeConfig();
  c.dir("/m/d").set("Uid", 1001);
  c.dir("/m/d/s").set("Uid", 1001);
  c.file("/m/d/s/y").set("Uid", 1001).set("Data", "y");
  c.file("/m/d/z").set("Uid", 1001).set("Data", "z");
  c.fault("Error", "0x0500 0x120B * -17 /m/d/s");
  start(c);
  OzuResult r = run("rm -R /m/d");
  EXPECT_EQ(r.status, 72) << r.out;
  EXPECT_NE(r.out.find("*** Directory not empty: /m/d/s\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("*** Directory not empty: /m/d\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("rm: /m/d/z ("), std::string::npos) << r.out;
  EXPECT_EQ(kind("/m/d/s/y"), "-");
  EXPECT_EQ(kind("/m/d/z"), "-");
  EXPECT_EQ(kind("/m/d/s"), "d");
}

TEST_F(NsCreate, RmTakesNamesFromAHereDocument)
{
  GwsimConfig c = storeConfig();
  for (const char *f : {"/m/a", "/m/b", "/m/c", "/m/k"})
    c.file(f).set("Uid", 1001).set("Data", "x");
  start(c);
  OzuResult r = runOzu(*gw, ozuArgs(*gw, {}),
                       "rm <<END\n/m/a\n/m/b*\nEND\n"
                       "rm <<\n"
                       "rm <<END /m/k\n",
                       {"TZ=UTC"});
  std::string out = afterBanner(r.out + r.err);
  EXPECT_EQ(r.status, 64) << out;
  EXPECT_EQ(kind("/m/a"), "-");
  EXPECT_EQ(kind("/m/b"), "-");
  EXPECT_EQ(kind("/m/c"), "f");
  EXPECT_EQ(kind("/m/k"), "f") << "a command with a marker error removes nothing";
  EXPECT_NE(out.find("*** Missing marker string after here-document sentinel (<<)\n"),
            std::string::npos) << out;
  EXPECT_NE(out.find("*** here-document marker must be the last token on the cmd line\n"),
            std::string::npos) << out;
  EXPECT_EQ(records("FU").size(), 2u);
}

}  // namespace
