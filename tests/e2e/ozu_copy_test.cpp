// ozu's cp, copy and ccp on one connection against gwsim: files onto
// files and into directories, trees with -r, the update, force and
// overwrite rules with their exit codes, copies by the service and through
// the shell (the service declines with -95) byte for byte the same, modes,
// times, owners and ACLs; a failed copy leaves the old target as it was.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "gwsim_config.h"
#include "test_data.h"
#include "gwsim_fixture.h"
#include "journal_text.h"
#include "ozu_run.h"
#include "pty_process.h"

namespace {

bool exists(const std::string& path)
{
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

std::string joinLines(const std::vector<std::string>& lines)
{
  std::string all;
  for (const std::string& l : lines)
    all += l + "\n";
  return all;
}

std::string home(const GwsimFixture& gw) { return gw.rootDir() + "/home/alice/"; }

// Entries of a stored directory, to see that nothing was left behind.
std::vector<std::string> names(const std::string& dir)
{
  std::vector<std::string> out;
  std::string cmd = "ls -a " + dir;
  FILE* p = popen(cmd.c_str(), "r");
  char line[4096];
  while (p && fgets(line, sizeof line, p)) {
    std::string n = line;
    if (!n.empty() && n.back() == '\n')
      n.pop_back();
    if (n != "." && n != "..")
      out.push_back(n);
  }
  if (p)
    pclose(p);
  return out;
}

// Alice's home with a (12 MiB + 3) file a, a small file b dated a day
// ahead (so b is newer than a however slow the machine), a directory d
// holding f, and a tree t/ (t/x, t/sub/y, t/sub/deep/z).
const std::string kBig = randomBytes((12u << 20) + 3, 7);

GwsimConfig copyConfig()
{
  GwsimConfig c = aliceConfig();
  c.file("/home/alice/b").set("Uid", 1001).set("Data", "old b contents").set("Mode", "0644").set("Mtime", "now+86400");
  c.dir("/home/alice/d").set("Uid", 1001).set("Mode", "0755");
  c.file("/home/alice/d/f").set("Uid", 1001).set("Data", "f in d").set("Mode", "0644");
  c.dir("/home/alice/t").set("Uid", 1001).set("Mode", "0755");
  c.file("/home/alice/t/x").set("Uid", 1001).set("Data", "x").set("Mode", "0640");
  c.dir("/home/alice/t/sub").set("Uid", 1001).set("Mode", "0500");
  c.file("/home/alice/t/sub/y").set("Uid", 1001).set("Data", "yy").set("Mode", "0600");
  c.dir("/home/alice/t/sub/deep").set("Uid", 1001).set("Mode", "0755");
  c.file("/home/alice/t/sub/deep/z").set("Uid", 1001).set("Data", "zzz").set("Mode", "0444");
  return c;
}

struct Gw {
  explicit Gw(const GwsimConfig& c) : gw(c.text())
  {
    EXPECT_TRUE(gw.running()) << gw.stderrText();
    ozuHome(gw);
    std::ofstream(home(gw) + "a", std::ios::binary) << kBig;
  }
  OzuResult run(const std::string& cmd, const std::vector<std::string>& env = {})
  {
    return runOzu(gw, ozuArgs(gw, {cmd}), "", env);
  }
  GwsimFixture gw;
};

struct CopyCase {
  const char* name;
  const char* cmd;
  int status;
  const char* target;    // stored path that must hold source's bytes
  const char* source;
  const char* errText;   // must appear on the error output or the listing ("" none)
};

class OzuCopyCases : public ::testing::TestWithParam<CopyCase> {};

// Each case on a fresh gateway: the exit code, where the data went, and the
// message the user sees.
TEST_P(OzuCopyCases, TargetDecisionAndExitCode)
{
  const CopyCase c = GetParam();
  Gw g(copyConfig());
  std::string before = readFile(home(g.gw) + "b");
  OzuResult r = g.run(c.cmd);
  EXPECT_EQ(r.status, c.status) << r.out << r.err;
  if (*c.target) {
    EXPECT_TRUE(readFile(home(g.gw) + c.target) == readFile(home(g.gw) + c.source)) << c.target;
  }
  if (*c.errText) {
    EXPECT_NE((r.out + r.err).find(c.errText), std::string::npos) << r.out << r.err;
  }
  if (c.status != 0) {
    EXPECT_EQ(readFile(home(g.gw) + "b"), before) << "a refused copy left b as it was";
  }
}

INSTANTIATE_TEST_SUITE_P(
    OneConnection, OzuCopyCases,
    ::testing::Values(
        CopyCase{"FileToNewName", "cp a new", 0, "new", "a", ""},
        CopyCase{"CopySpelling", "copy a new", 0, "new", "a", ""},
        CopyCase{"FileIntoDirectory", "cp a d", 0, "d/a", "a", ""},
        CopyCase{"OntoExistingRefused", "cp a b", 64, "", "", "*** Cannot overwrite /home/alice/b."},
        CopyCase{"OntoExistingForced", "cp -f a b", 0, "b", "a", ""},
        CopyCase{"OntoOlderWithUpdate", "touch -t 200001010000 b; cp -U a b", 0, "b", "a", ""},
        CopyCase{"OntoNewerWithUpdate", "cp -U a b", 64, "", "", "*** Cannot overwrite /home/alice/b."},
        CopyCase{"CcpOntoNewer", "ccp a b", 64, "", "", "*** Cannot overwrite /home/alice/b."},
        CopyCase{"CcpRefusesForce", "ccp -f a b", 0, "", "", "-f option may not be used for this command"},
        CopyCase{"UpdateAndForce", "cp -U -f a b", 64, "", "", "*** -f and -U may not both be set for the cp command"},
        CopyCase{"TwoSourcesNoDir", "cp a b c", 64, "", "", "*** cp: target '/home/alice/c' is not a directory"},
        CopyCase{"TwoSourcesOntoFile", "cp -f a d/f b", 64, "", "", "*** cp: target '/home/alice/b' is not a directory"},
        CopyCase{"DirectoryWithoutR", "cp d t", 64, "", "", "*** cp: omitting directory '/home/alice/d'"},
        CopyCase{"DirectoryToMissing", "cp -r d nowhere", 64, "", "",
                 "*** Sink directory does not exist. Unable to copy directory [/home/alice/d]"},
        CopyCase{"OntoItself", "cp -f a a", 64, "", "", "*** Cannot copy /home/alice/a onto itself"},
        CopyCase{"TreeIntoItself", "cp -r t t", 64, "", "", "*** Cannot copy /home/alice/t onto itself"},
        CopyCase{"BadMethodIgnored", "cp -m carrier a new", 0, "new", "a", "*** Unknown file transfer method ignored: carrier"},
        CopyCase{"BadXioIgnored", "cp -x neither a new", 0, "new", "a", "bad value \"neither\" for -x option. Option ignored"},
        CopyCase{"MissingSource", "cp nothere new", 72, "", "", "nothere"},
        CopyCase{"ParentsMade", "cp -P a p1/p2/new", 0, "p1/p2/new", "a", ""},
        CopyCase{"NoBackupStillForced", "cp -B -f a b", 0, "b", "a", ""},
        CopyCase{"CcpIntoDirKeepsNewer", "cp b d/a; ccp a d", 0, "d/a", "b", "is newer than source file"},
        CopyCase{"UpdateIntoDirReplacesOlder", "cp b d/a; touch -t 200001010000 d/a; cp -U a d", 0, "d/a", "a", ""}),
    [](const ::testing::TestParamInfo<CopyCase>& i) { return std::string(i.param.name); });

// Copies by the service and by the shell (the service answers -95) are
// byte for byte the source, also a source of 0 bytes; the shell's copy
// went through plain reads and writes.
TEST(OzuCopy, ServiceAndShellCopiesAreIdentical)
{
  GwsimConfig c = copyConfig();
  c.file("/home/alice/empty").set("Uid", 1001).set("Size", 0).set("Mode", "0640");
  c.fault("Error", "0x0500 0x030D 3+ -95");
  Gw g(c);
  OzuResult r = g.run("cp a bysvc; cp empty e1; cp a byshell; cp empty e2; cp b b2");
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_TRUE(readFile(home(g.gw) + "bysvc") == kBig);
  EXPECT_TRUE(readFile(home(g.gw) + "byshell") == kBig);
  EXPECT_EQ(readFile(home(g.gw) + "b2"), "old b contents");
  for (const char* e : {"e1", "e2"}) {
    EXPECT_TRUE(exists(home(g.gw) + e)) << e;
    EXPECT_EQ(readFile(home(g.gw) + e).size(), 0u) << e;
  }
  EXPECT_EQ(std::stoi(objectColumn(g.gw, "mode", "/home/alice/e1")) & 07777, 0640) << "the sink gets the source's mode";
  auto j = g.gw.journalLines();
  EXPECT_GE(countLines(j, "fn=0x030d", ""), 2) << joinLines(j);
}


std::string modeOf(const GwsimFixture& gw, const std::string& rel)
{
  return objectColumn(gw, "mode", "/home/alice/" + rel);
}

// cp -r t d: t is mirrored as d/t with every file; a directory of mode
// 0500 is made writable while it is filled and gets 0500 back at its end,
// its 0755 parent keeps 0755; directory operands need -r.
TEST(OzuCopy, TreeMirrorsDirectoriesAndTheirModes)
{
  Gw g(copyConfig());
  OzuResult r = g.run("cp -r t d");
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  for (const char* f : {"t/x", "t/sub/y", "t/sub/deep/z"})
    EXPECT_EQ(readFile(home(g.gw) + "d/" + f), readFile(home(g.gw) + f)) << f;
  EXPECT_EQ(modeOf(g.gw, "d/t/sub"), modeOf(g.gw, "t/sub"));
  EXPECT_EQ(std::stoi(modeOf(g.gw, "d/t/sub")) & 0777, 0500);
  EXPECT_EQ(std::stoi(modeOf(g.gw, "d/t")) & 0777, 0755);
  EXPECT_EQ(std::stoi(modeOf(g.gw, "d/t/x")) & 0777, 0640);
  EXPECT_EQ(std::stoi(modeOf(g.gw, "d/t/sub/deep/z")) & 0777, 0444);
  // Again into the same place with -U: nothing is newer, nothing replaced.
  r = g.run("cp -r -U t d");
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_NE((r.out + r.err).find("is newer than source file"), std::string::npos) << r.out << r.err;
}

// A copy that fails leaves the old target byte for byte and no partial or
// aside file behind, exit 74: the service's copy failing, and the shell's
// copy whose second write fails.
TEST(OzuCopy, FailedCopyKeepsTheOldTarget)
{
  struct Case {
    const char* name;
    std::vector<std::pair<std::string, std::string>> faults;
    std::vector<std::pair<std::string, std::string>> movers;
  };
  const std::vector<Case> cases = {
      {"service copy fails", {{"Error", "0x0500 0x030D 1 -122"}}, {}},
      {"second write fails", {{"Error", "0x0500 0x030D * -95"}},
       {{"ShortMove", "write 2 0"}, {"Code", "write 2 -9000"}}},
      {"read fails", {{"Error", "0x0500 0x030D * -95"}}, {{"ShortMove", "read 1 0"}, {"Code", "read 1 -122"}}},
  };
  for (const Case& c : cases) {
    GwsimConfig cfg = copyConfig();
    for (const auto& f : c.faults)
      cfg.fault(f.first, f.second);
    for (const auto& m : c.movers)
      cfg.movers().set(m.first, m.second);
    Gw g(cfg);
    std::vector<std::string> before = names(home(g.gw));
    OzuResult r = g.run("cp -f a b");
    EXPECT_EQ(r.status, 74) << c.name << "\n" << r.out << r.err;
    EXPECT_TRUE(readFile(home(g.gw) + "b") == "old b contents") << c.name;
    EXPECT_EQ(names(home(g.gw)), before) << c.name;
    EXPECT_NE(r.err.find("*** cp: Error"), std::string::npos) << c.name << "\n" << r.out << r.err;
  }
}

// The sink connection's family id is set on the new copy right after its
// create and the expiration rules give it its time; a refused family id
// fails the copy and the old target stays.
TEST(OzuCopy, FamilyIdAndExpirationOnTheSink)
{
  GwsimConfig cfg = copyConfig();
  cfg.fault("Error", "0x0500 0x0604 2 -13");
  Gw g(cfg);
  writeFile(g.gw, g.gw.dir() + "/expire.cfg", "ExpirationByFamilyId = {\n 7 = 1d\n}\n");
  writeFile(g.gw, g.gw.dir() + "/ozurc",
            "family_id 7\nenable_expiration on\nexpire_cfg_path " + g.gw.dir() + "/expire.cfg\n");
  const long before = long(time(nullptr));
  OzuResult r = g.run("cp a c1");
  const long after = long(time(nullptr));
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_TRUE(readFile(home(g.gw) + "c1") == kBig);
  EXPECT_EQ(objectColumn(g.gw, "family", "/home/alice/c1"), "7");
  long when = atol(objectColumn(g.gw, "expiration", "/home/alice/c1").c_str());
  EXPECT_GE(when, before + 86400);
  EXPECT_LE(when, after + 86400);

  std::vector<std::string> names0 = names(home(g.gw));
  r = g.run("cp -f a b");
  EXPECT_EQ(r.status, 74) << r.out << r.err;
  EXPECT_NE(r.err.find("*** Error -13 trying to set file family ID 7 for file </home/alice/b>"), std::string::npos)
      << r.out << r.err;
  EXPECT_EQ(readFile(home(g.gw) + "b"), "old b contents");
  EXPECT_EQ(names(home(g.gw)), names0);
}

// A write the service answers with no space (-28) is tried again after a
// wait (the test's time scale makes it short) and the copy completes.
TEST(OzuCopy, NoSpaceIsRetried)
{
  GwsimConfig cfg = copyConfig();
  cfg.fault("Error", "0x0500 0x030D * -95");
  cfg.movers().set("ShortMove", "write 2 0").set("Code", "write 2 -28");
  Gw g(cfg);
  OzuResult r = g.run("cp -f a b");
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_TRUE(readFile(home(g.gw) + "b") == kBig);
  auto j = g.gw.journalLines();
  EXPECT_EQ(countLines(j, "fn=0x1701", "code=-28"), 1) << joinLines(j);
}

// Times with -p (the source's) and -q (now), owners with -Q when alice is
// the storage root user, the object ACL with -c.
TEST(OzuCopy, TimesOwnersAndAcls)
{
  GwsimConfig c = copyConfig();
  c.server().set("rootUid", 1001);
  c.file("/home/alice/old").set("Uid", 2002).set("Gid", 300).set("Data", "aged").set("Mode", "0644")
      .set("ACL", "0x08");
  c.dir("/home/alice/acldir").set("Uid", 1001).set("Mode", "0755").set("ACL", "0x38");
  c.dir("/home/alice/acldir/in").set("Uid", 1001).set("Mode", "0755").set("ACL", "0x10");
  c.dir("/home/alice/o1").set("Uid", 1001).set("Mode", "0755");
  c.dir("/home/alice/o2").set("Uid", 1001).set("Mode", "0755");
  Gw g(c);
  EXPECT_EQ(g.run("touch -t 200102030405 old").status, 0);
  OzuResult r = g.run("cp -p old withp; cp -q old withq; cp old plain; cp -Q old owned; cp -c old acl; "
                      "cp -r -ic -io acldir o1; cp -r acldir o2");
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  auto mtime = [&](const char* n) {
    struct stat st;
    return stat((home(g.gw) + n).c_str(), &st) == 0 ? long(st.st_mtime) : -1L;
  };
  EXPECT_EQ(mtime("withp"), mtime("old"));
  EXPECT_GT(mtime("withq"), mtime("old") + 3600);
  EXPECT_GT(mtime("plain"), mtime("old") + 3600);
  EXPECT_EQ(objectColumn(g.gw, "uid", "/home/alice/owned"), "2002");
  EXPECT_EQ(objectColumn(g.gw, "gid", "/home/alice/owned"), "300");
  EXPECT_EQ(objectColumn(g.gw, "uid", "/home/alice/plain"), "1001");
  EXPECT_EQ(objectColumn(g.gw, "acl", "/home/alice/acl"), "8");
  EXPECT_EQ(objectColumn(g.gw, "acl", "/home/alice/plain"), "0");
  // Directories made during recursion get the initial container and
  // object ACL kinds asked for, not the object ACL; without options none.
  EXPECT_EQ(objectColumn(g.gw, "acl", "/home/alice/o1/acldir"), "48");
  EXPECT_EQ(objectColumn(g.gw, "acl", "/home/alice/o1/acldir/in"), "16");
  EXPECT_EQ(objectColumn(g.gw, "acl", "/home/alice/o2/acldir"), "0");
}

// The dispatcher runs the command after a copy once: each of the line's
// commands runs once whether the target existed or not.
TEST(OzuCopy, NextCommandOfTheLineRunsOnce)
{
  Gw g(copyConfig());
  OzuResult r = g.run("cp a new; pwd; cp -f a new; pwd");
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(countText(r.out + r.err, "pwd0: /home/alice"), 2) << r.out << r.err;
  EXPECT_EQ(countText(r.out + r.err, "cp  '"), 2) << r.out << r.err;
}

// -h recreates links inside a tree; without it a link to a file is copied
// as the file's data and a dangling one is reported.
TEST(OzuCopy, LinksInsideATree)
{
  GwsimConfig c = copyConfig();
  c.file("/home/alice/t/ln").set("Type", "symlink").set("Target", "/home/alice/t/x");
  c.file("/home/alice/t/dangling").set("Type", "symlink").set("Target", "/home/alice/none");
  Gw g(c);
  OzuResult r = g.run("mkdir h1 h2; cp -r -h t h1; cp -r t h2");
  EXPECT_EQ(r.status, 72) << r.out << r.err;
  char text[256] = "";
  ssize_t n = readlink((home(g.gw) + "h1/t/ln").c_str(), text, sizeof text - 1);
  EXPECT_GT(n, 0) << "h1/t/ln is a link";
  EXPECT_EQ(readFile(home(g.gw) + "h2/t/ln"), "x");
  EXPECT_FALSE(exists(home(g.gw) + "h2/t/dangling"));
  EXPECT_NE((r.out + r.err).find("bad symlinked path"), std::string::npos) << r.out << r.err;
}

// -i asks before each file: no skips, yes copies, quit ends the command.
TEST(OzuCopy, InteractiveAsksPerFile)
{
  GwsimConfig c = copyConfig();
  c.file("/home/alice/d/g").set("Uid", 1001).set("Data", "g");
  c.file("/home/alice/d/h").set("Uid", 1001).set("Data", "h");
  c.dir("/home/alice/out").set("Uid", 1001).set("Mode", "0755");
  Gw g(c);
  writeFile(g.gw, ".ozurc", "PS1 = 'ozu> '\n");
  auto p = startOzuOnPty(g.gw, ozuArgs(g.gw, {"-q"}), {"TERM=vt100"});
  ASSERT_TRUE(p->started());
  ASSERT_TRUE(p->waitFor("ozu> ", 15000)) << p->screen;
  p->type("cp -i d/* out\n");
  ASSERT_TRUE(p->waitFor("cp '/home/alice/d/f'? ([Y]es,[N]o,[A]ll,[Q]uit) ")) << p->screen;
  p->type("n\n");
  ASSERT_TRUE(p->waitFor("cp '/home/alice/d/g'? ([Y]es,[N]o,[A]ll,[Q]uit) ")) << p->screen;
  p->type("y\n");
  ASSERT_TRUE(p->waitFor("cp '/home/alice/d/h'? ([Y]es,[N]o,[A]ll,[Q]uit) ")) << p->screen;
  p->type("q\n");
  ASSERT_TRUE(p->waitFor("ozu> ")) << p->screen;
  p->type("quit\n");
  p->finish();
  EXPECT_EQ(names(home(g.gw) + "out"), (std::vector<std::string>{"g"}));
}

struct RenCase {
  const char* name;
  const char* cmd;
  int status;
  const char* text;
  bool changed;
};

class OzuCrename : public ::testing::TestWithParam<RenCase> {};

GwsimConfig renConfig()
{
  GwsimConfig c = aliceConfig();
  c.file("/home/alice/orig").set("Uid", 1001).set("Gid", 100).set("Data", "old data!").set("Mode", "0640")
      .set("COS", 7);
  c.file("/home/alice/new").set("Uid", 1001).set("Data", "new data!").set("Mode", "0600").set("COS", 3);
  c.file("/home/alice/short").set("Uid", 1001).set("Data", "short").set("Mode", "0600");
  c.file("/home/alice/orig.bak").set("Uid", 1001).set("Data", "there").set("Mode", "0600");
  c.dir("/home/alice/adir").set("Uid", 1001);
  return c;
}

// Refusals change nothing; success leaves the new data at orig with the
// old mode and the old file at orig~.
TEST_P(OzuCrename, Cases)
{
  const RenCase c = GetParam();
  GwsimFixture gw(renConfig().text());
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  ozuHome(gw);
  OzuResult r = runOzu(gw, ozuArgs(gw, {c.cmd}));
  EXPECT_EQ(r.status, c.status) << r.out << r.err;
  if (*c.text) {
    EXPECT_NE((r.out + r.err).find(c.text), std::string::npos) << r.out << r.err;
  }
  std::string h = gw.rootDir() + "/home/alice/";
  if (c.changed) {
    EXPECT_EQ(readFile(h + "orig"), "new data!");
    EXPECT_EQ(std::stoi(objectColumn(gw, "mode", "/home/alice/orig")) & 0777, 0640);
  } else {
    EXPECT_EQ(readFile(h + "orig"), "old data!");
    EXPECT_EQ(readFile(h + "new"), "new data!");
    EXPECT_FALSE(exists(h + "orig~"));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Refusals, OzuCrename,
    ::testing::Values(
        RenCase{"Success", "crename new orig", 0, "Rename /home/alice/new to /home/alice/orig...", true},
        RenCase{"OrigCosFilter", "crename -ocos 5,6 new orig", 69,
                "*** /home/alice/orig COS (7) is not in one of the specified COSs", false},
        RenCase{"NewCosFilter", "crename -ncos 7 new orig", 69, "*** /home/alice/new COS (3) is not in one", false},
        RenCase{"CosFiltersPass", "crename -ocos 1,7 -ncos 3 new orig", 0, "", true},
        RenCase{"BadList", "crename -ocos 5,,6 new orig", 0, "Usage: cren[ame]", false},
        RenCase{"SecondList", "crename -ocos 5 -ocos 7 new orig", 0, "Usage: cren[ame]", false},
        RenCase{"EmptyThenList", "crename -ocos \"\" -ocos 7 new orig", 0, "", true},
        RenCase{"BackupExists", "crename -s .bak new orig", 64, "*** backup path [/home/alice/orig.bak] exists", false},
        RenCase{"EmptySuffix", "crename -s '' new orig", 64, "*** backup path [/home/alice/orig] exists", false},
        RenCase{"Sizes", "crename short orig", 64, "*** Error: file sizes are different!", false},
        RenCase{"SamePath", "crename orig orig", 64, "pathnames must be different!", false},
        RenCase{"NotAFile", "crename adir orig", 64, "must be a file, not a symlink or directory", false},
        RenCase{"TooFew", "crename new", 64, "missing object(s)", false}),
    [](const ::testing::TestParamInfo<RenCase>& i) { return std::string(i.param.name); });

// A second rename that fails puts the old file back; both renames are in
// the rename log.
TEST(OzuCrenameFailure, SecondRenameFailsAndTheOldFileComesBack)
{
  GwsimConfig c = renConfig();
  c.fault("Error", "0x0500 0x1208 1 -13 /home/alice/new");
  GwsimFixture gw(c.text());
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  ozuHome(gw);
  OzuResult r = runOzu(gw, ozuArgs(gw, {"crename new orig"}));
  EXPECT_EQ(r.status, 71) << r.out << r.err;
  std::string h = gw.rootDir() + "/home/alice/";
  EXPECT_EQ(readFile(h + "orig"), "old data!");
  EXPECT_FALSE(exists(h + "orig~"));
  EXPECT_NE((r.out + r.err).find("Cleanup: Rename /home/alice/orig~ to /home/alice/orig..."), std::string::npos)
      << r.out << r.err;
  auto j = gw.journalLines();
  EXPECT_EQ(countLines(j, "fn=0x1208"), 3) << joinLines(j);
}

}  // namespace
