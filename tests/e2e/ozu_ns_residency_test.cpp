// ozu's own lscos, chcos, migrate, purge, plock, punlock and stage end to
// end against gwsim: what each prints, its exit code, the calls the journal
// shows (classes with their streams, levels with their flags, stages in
// their order) and where the data lies afterwards.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
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

std::string joinLines(const std::vector<std::string> &lines)
{
  std::string out;
  for (const std::string &l : lines)
    out += l + "\n";
  return out;
}

// The value of " key=" in a journal line, "" when it has none.
std::string field(const std::string &line, const std::string &key)
{
  size_t at = line.rfind(" " + key + "=");  // the request's own, after the header's
  if (at == std::string::npos)
    return "";
  at += key.size() + 2;
  return line.substr(at, line.find(' ', at) - at);
}

GwsimConfig residencyConfig()
{
  GwsimConfig c = aliceConfig();
  c.server().set("StageDelay", 20);
  c.cos(1).set("Name", "small").set("MinFileSize", 0).set("MaxFileSize", 1048576)
      .set("Copies", 1).set("Subsystems", "1 2 3");
  c.cos(5).set("Name", "big").set("MinFileSize", 1024).set("MaxFileSize", 3221225472LL)
      .set("Copies", 2).set("Uids", 7);
  c.cos(7).set("Name", "mid").set("MinFileSize", 512).set("MaxFileSize", 1049600)
      .set("Subsystems", "10 200 3000 40000").flag("no-auto");
  c.section("COSLists").set("fast", "1 5").set("bulk", "7");
  c.section("Subsystems").child("1").set("COSChangeThreadCount", 2);
  c.section("Subsystems").child("2").set("COSChangeThreadCount", 4);
  c.dir("/t").set("Uid", 1001).set("Mode", "0755");
  return c;
}

// A file of ten bytes on tape only, at VOL:POS.
void onTape(GwsimConfig &c, const std::string &path, const std::string &where, int cos = 7)
{
  c.file(path).set("Uid", 1001).set("Size", 10).set("Tape", where).set("COS", cos);
}

struct NsResidency : public ::testing::Test {
  void start(GwsimConfig &c)
  {
    gw.reset(new GwsimFixture(c.text()));
    ASSERT_TRUE(gw->running()) << gw->stderrText();
    ozuHome(*gw);
  }
  OzuResult run(const std::string &commands, const std::string &input = "")
  {
    OzuResult r = runOzu(*gw, ozuArgs(*gw, {commands}), input, {"TZ=UTC"});
    r.out = afterBanner(r.out + r.err);
    return r;
  }
  // The journal lines of one request (its " fn=0x...") from line `from` on.
  std::vector<std::string> calls(const std::string &fn, size_t from = 0)
  {
    std::vector<std::string> out;
    std::vector<std::string> all = gw->journalLines();
    for (size_t i = from; i < all.size(); ++i)
      if (all[i].find("cat=0x0500 fn=" + fn + " ") != std::string::npos)
        out.push_back(all[i]);
    return out;
  }
  // "path/cos/stream" of every class change from line `from` on.
  std::vector<std::string> cosChanges(size_t from = 0)
  {
    std::vector<std::string> out;
    for (const std::string &l : calls("0x060f", from))
      out.push_back(field(l, "path") + "/" + field(l, "cos") + "/" + field(l, "stream"));
    return out;
  }
  size_t mark() { return gw->journalLines().size(); }
  std::unique_ptr<GwsimFixture> gw;
};

TEST_F(NsResidency, LscosTablesAndLists)
{
  GwsimConfig c = residencyConfig();
  start(c);
  const std::string table =
      "3 QUOR Classes of Service defined \n"
      " COS        Name                     Exclusion Copies Subsys        Min - Max\n"
      " ID                                    Flags            IDs        Size   Size + 1\n"
      "--------------------------------------------------------------------------------------- \n"
      "    1 small                                     1    1 2 3          0 - 1MB\n"
      "    5 big                              U        2    ALL            1KB - 3GB\n"
      "    7 mid                                 N     1    10 200 3000    512B - 1049600\n"
      "--------------------------------------------------------------------------------------- \n"
      "Flags:  U/G/A - unavailable to current uid/gid/account   N-no auto assignment\n\n";
  OzuResult r = run("lscos");
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(r.out, "\n" + table);

  r = run("lscos -n -N fast");
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(r.out,
            "\n2 QUOR Class-of-Service Lists Defined:\n   fast\n   bulk\n"
            "\n\n2 QUOR Class-of-Service IDs defined for COS List \"fast\":\n   1\n   5\n");

  r = run("lscos -N none");
  EXPECT_EQ(r.status, 64) << r.out;
  EXPECT_EQ(r.out, "\nNo such Named COS List defined (use lscos -n to view Named COS lists)\n");

  // No connection on B: nothing but the message; a usage request before a
  // drive word still lists that drive.
  r = run("lscos B:");
  EXPECT_EQ(r.out, "*** `lscos': no active connection for drive B:\n");
  r = run("lscos -x A:");
  EXPECT_EQ(r.out.find("Usage: lsc[os] [-n] [-N list_name] [drive ...]\n"), 0u) << r.out;
  EXPECT_NE(r.out.find("\nDrive A ["), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("]\n" + table), std::string::npos) << r.out;
  r = run("lscos -x");
  EXPECT_EQ(r.out.find("QUOR Classes"), std::string::npos) << r.out;

  // The table is read once per connection, however often it is listed.
  std::vector<std::string> before = gw->journalLines();
  r = run("lscos; lscos A:; lscos");
  EXPECT_EQ(countText(r.out, "3 QUOR Classes of Service defined"), 3) << r.out;
  std::vector<std::string> all = gw->journalLines();
  size_t loads = 0;
  for (size_t i = before.size(); i < all.size(); ++i)
    loads += all[i].find("cat=0x0800 fn=0x0101 ") != std::string::npos;
  EXPECT_EQ(loads, 1u);
}

TEST_F(NsResidency, ChcosDirectChanges)
{
  GwsimConfig c = residencyConfig();
  c.file("/t/f").set("Uid", 1001).set("Data", "hello").set("COS", 1);
  c.file("/t/g").set("Uid", 1001).set("Data", "hello").set("COS", 7);
  c.file("/t/zero").set("Uid", 1001).set("COS", 7);
  c.dir("/t/d").set("Uid", 1001);
  c.file("/t/d/in").set("Uid", 1001).set("Data", "x").set("COS", 1);
  c.file("/t/link").set("Type", "symlink").set("Target", "/t/g");
  start(c);
  const struct {
    const char *command;
    int status;
    const char *output;
    std::vector<std::string> changes;  // path/cos/stream
  } cases[] = {
      // Already in the class, without scheduling: no call at all.
      {"chcos -N 1 /t/f", 0, "", {}},
      {"chcos -N 7 /t/f", 0, "", {"/t/f/7/0"}},
      // auto picks the first class open to alice that fits and is not no-auto.
      {"chcos -N auto /t/g", 0, "", {"/t/g/1/0"}},
      // A word that is no number would be class 0: refused.
      {"chcos -N x /t/g", 64, "*** Bad COS ID: x\n", {}},
      {"chcos -N 12x /t/g", 64, "*** Bad COS ID: 12x\n", {}},
      {"chcos -N 5 /t/g", 0, "*** COS 5: Bad ID or not available to user 1001,group 100, account 0\n",
       {}},
      {"chcos -N 9 /t/g", 0, "*** Class of Service ID 9 is unavailable for logical drive A\n", {}},
      // Class 0 takes a file off the change queue, always allowed.
      {"chcos -N 0 /t/g", 0, "", {"/t/g/0/0"}},
      {"chcos -N 7 /t/d", 0, "*** Warning: `/t/d' is a directory - skipped\n", {}},
      {"chcos -N -R 7 /t/d", 0, "", {"/t/d/in/7/0"}},
      {"chcos -N 1 /t/link", 0, "", {}},
      // A file with no data is changed at once, also under scheduling.
      {"chcos -A 1 /t/zero", 0, "", {"/t/zero/1/0"}},
      {"chcos -N 7", 64, "*** `chcos': missing object(s)\n", {}},
      {"chcos -N -i 0 7 /t/f", 0, "Bad value: 0 for subsys ID\n", {}},
      {"chcos -N -i 9 7 /t/f", 64, "*** Error -2 trying to get subsys stats for subsytem 9\n", {}},
  };
  for (const auto &k : cases) {
    size_t from = mark();
    OzuResult r = run(k.command);
    EXPECT_EQ(r.status, k.status) << k.command << "\n" << r.out;
    if (*k.output) {
      EXPECT_NE(r.out.find(k.output), std::string::npos) << k.command << "\n" << r.out;
    } else {
      EXPECT_EQ(r.out, "") << k.command;
    }
    EXPECT_EQ(cosChanges(from), k.changes) << k.command;
  }
  EXPECT_EQ(objectColumn(*gw, "cos", "/t/f"), "7");
  EXPECT_EQ(objectColumn(*gw, "cos", "/t/g"), "1") << "class 0 left the class alone";
}

TEST_F(NsResidency, ChcosSchedulesVolumesOverTheStreams)
{
  GwsimConfig c = residencyConfig();
  // V1 holds a1 and a2, V2 b1, V3 c1 to c3; in name order V3 comes last.
  onTape(c, "/t/a1", "V1:2");
  onTape(c, "/t/a2", "V1:5");
  onTape(c, "/t/b1", "V2:1");
  onTape(c, "/t/c1", "V3:1");
  onTape(c, "/t/c2", "V3:4");
  onTape(c, "/t/c3", "V3:9");
  c.dir("/u").set("Uid", 1001).set("Mode", "0755");
  for (int i = 1; i <= 6; ++i)
    onTape(c, "/u/f" + std::to_string(i), "W" + std::to_string(i) + ":1");
  start(c);
  size_t from = mark();
  OzuResult r = run("chcos -A 1 /t/*");
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(cosChanges(from), (std::vector<std::string>{"/t/c1/1/0", "/t/b1/1/1", "/t/c2/1/0",
                                                        "/t/a1/1/1", "/t/c3/1/0", "/t/a2/1/1"}));

  // Subsystem 2 has 4 threads: -T 8 is lowered to 4 streams.
  from = mark();
  r = run("chcos -A -i 2 -T 8 1 /u/*");
  EXPECT_EQ(r.status, 0) << r.out;
  std::vector<std::string> streams;
  for (const std::string &l : calls("0x060f", from))
    streams.push_back(field(l, "stream"));
  EXPECT_EQ(streams, (std::vector<std::string>{"0", "1", "2", "3", "0", "1"}));

  const struct {
    const char *command;
    const char *warning;
    const char *stream;
  } fixed[] = {
      {"chcos -A -i 2 -s 9 7 /u/*", "*** WARNING: -s value > max allowed for subsystem - changed to 3\n",
       "3"},
      {"chcos -A -i 2 -s 2 -T 3 1 /u/*", "*** WARNING: -T option ignored when -s option specified\n",
       "2"},
  };
  for (const auto &k : fixed) {
    from = mark();
    r = run(k.command);
    EXPECT_NE(r.out.find(k.warning), std::string::npos) << k.command << "\n" << r.out;
    std::vector<std::string> got = calls("0x060f", from);
    EXPECT_EQ(got.size(), 6u) << k.command;
    for (const std::string &l : got)
      EXPECT_EQ(field(l, "stream"), k.stream) << k.command << ": " << l;
  }
}

TEST_F(NsResidency, ChcosFailedSelectionPassesTheFileOver)
{
  GwsimConfig c = residencyConfig();
  onTape(c, "/t/a1", "V1:2");
  onTape(c, "/t/a2", "V1:5");
  c.file("/t/f").set("Uid", 1001).set("Data", "x").set("COS", 7);
  c.fault("Error", "0x0800 0x0100 * -22");
  start(c);
  size_t from = mark();
  OzuResult r = run("chcos -A auto /t/*");
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(cosChanges(from), std::vector<std::string>{}) << "no class made up for any file";
  from = mark();
  r = run("chcos -N auto /t/f");
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(cosChanges(from), std::vector<std::string>{}) << "nor when changed at once";
  EXPECT_EQ(objectColumn(*gw, "cos", "/t/f"), "7");
}

TEST_F(NsResidency, ChcosHereDocuments)
{
  GwsimConfig c = residencyConfig();
  c.file("/t/f").set("Uid", 1001).set("Data", "x").set("COS", 1);
  c.file("/t/g").set("Uid", 1001).set("Data", "x").set("COS", 1);
  c.file("/t/h").set("Uid", 1001).set("Data", "x").set("COS", 1);
  start(c);
  OzuResult r = run("", "chcos -N 7 <<END\n/t/f\n/t/g\nEND\nchcos -N 7 <<\nchcos -N 7 <<END /t/h\n");
  EXPECT_EQ(r.status, 64) << r.out;
  EXPECT_EQ(cosChanges(), (std::vector<std::string>{"/t/f/7/0", "/t/g/7/0"}));
  EXPECT_NE(r.out.find("*** Missing marker string after here-document sentinel (<<)\n"),
            std::string::npos) << r.out;
  EXPECT_NE(r.out.find("*** here-document marker must be the last token on the cmd line\n"),
            std::string::npos) << r.out;
}

TEST_F(NsResidency, MigratePurgeLevelsAndFlags)
{
  GwsimConfig c = residencyConfig();
  for (const char *f : {"/t/a", "/t/b", "/t/c", "/t/d/x", "/t/d/y"}) {
    if (std::string(f) == "/t/d/x")
      c.dir("/t/d").set("Uid", 1001);
    c.file(f).set("Uid", 1001).set("Size", 1234567);
  }
  onTape(c, "/t/tape", "V1:3");
  c.file("/t/link").set("Type", "symlink").set("Target", "/t/c");
  start(c);
  const struct {
    const char *command;
    int status;
    const char *output;
    const char *fn;                   // request whose journal lines follow
    std::vector<std::string> levels;  // "path level flags"
  } cases[] = {
      {"migrate -l 7 /t/a", 0,
       "*** Storage class level must be between 0 and 4. 0 will be used\n"
       "/t/a: migrated 1,234,567 bytes\n",
       "0x0d00", {"/t/a 0 0x2"}},
      {"migrate -F -P /t/b", 0, "/t/b: migrated 1,234,567 bytes\n", "0x0d00", {"/t/b 0 0xe"}},
      {"purge -F /t/a", 0, "Unknown option or missing argument: 'F' ignored\n", "0x1000",
       {"/t/a 0 0x2"}},
      {"purge -f /t/a", 0, "*** /t/a: no data at hierarchy level 0- file skipped\n", "0x1000", {}},
      {"migrate /t/tape", 0, "*** /t/tape: no data at hierarchy level 0- file skipped\n", "0x0d00",
       {}},
      {"migrate /t/link", 0, "*** /t/link is a symlink - skipped\n", "0x0d00", {}},
      {"migrate -h /t/link", 0, "/t/link: migrated 1,234,567 bytes\n", "0x0d00", {"/t/c 0 0x2"}},
      {"migrate /t/d", 0, "*** Warning: /t/d is a directory - skipped\n", "0x0d00", {}},
      {"migrate -R /t/d", 0, "/t/d/x: migrated 1,234,567 bytes\n/t/d/y: migrated", "0x0d00",
       {"/t/d/x 0 0x2", "/t/d/y 0 0x2"}},
      {"purge -R /t/d", 0, "File /t/d/x: 1,234,567 bytes purged from disk cache\n", "0x1000",
       {"/t/d/x 0 0x2", "/t/d/y 0 0x2"}},
      {"migrate", 0, "Usage: mig[rate] [-h] [- L level | -l level] [-F | -f] [-P | -p] [-R] [-S] path ...\n",
       "0x0d00", {}},
  };
  for (const auto &k : cases) {
    size_t from = mark();
    OzuResult r = run(k.command);
    EXPECT_EQ(r.status, k.status) << k.command << "\n" << r.out;
    EXPECT_NE(r.out.find(k.output), std::string::npos) << k.command << "\n" << r.out;
    std::vector<std::string> got;
    for (const std::string &l : calls(k.fn, from))
      got.push_back(field(l, "path") + " " + field(l, "level") + " " + field(l, "flags"));
    EXPECT_EQ(got, k.levels) << k.command;
  }
  // migrate -P left /t/b on tape only; the purged /t/a too.
  OzuResult r = run("ls -lU /t/a /t/b /t/c");
  EXPECT_EQ(countText(r.out, " TAPE "), 2) << r.out;
}

TEST_F(NsResidency, PurgeLocks)
{
  GwsimConfig c = residencyConfig();
  onTape(c, "/t/tape", "V1:3");
  c.file("/t/disk").set("Uid", 1001).set("Data", "on disk");
  c.dir("/t/sub").set("Uid", 1001);
  c.file("/t/sub/f").set("Uid", 1001).set("Data", "x");
  c.file("/t/disk2").set("Uid", 1001).set("Data", "on disk too");
  c.file("/t/sub/rel").set("Type", "symlink").set("Target", "../disk2");
  c.file("/t/rel").set("Type", "symlink").set("Target", "disk");
  start(c);
  auto locked = [&](const char *path) { return objectColumn(*gw, "optflags", path) == "1"; };
  // Only on tape: nothing, said nowhere.
  OzuResult r = run("plock /t/tape");
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(r.out, "");
  EXPECT_FALSE(locked("/t/tape"));
  EXPECT_TRUE(calls("0x0604").empty()) << "no attributes set";

  r = run("plock -s /t/tape; ls -lU /t/tape");
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_TRUE(locked("/t/tape"));
  EXPECT_NE(r.out.find(" DISK -L "), std::string::npos) << r.out;

  // Links are passed over without -h; with it a relative link text names
  // the file beside the link, wherever the working directory is.
  r = run("cd /; plock /t/rel; plock -R /t/sub");
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_FALSE(locked("/t/disk"));
  EXPECT_FALSE(locked("/t/disk2"));
  EXPECT_TRUE(locked("/t/sub/f"));
  r = run("cd /; plock -h /t/rel; plock -R -h /t/sub");
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_TRUE(locked("/t/disk"));
  EXPECT_TRUE(locked("/t/disk2"));

  r = run("punlock /t/disk /t/tape; plock /t/sub; purge /t/tape");
  EXPECT_FALSE(locked("/t/disk"));
  EXPECT_FALSE(locked("/t/tape"));
  EXPECT_NE(r.out.find("*** Warning: `/t/sub' is a directory - skipped\n"), std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("/t/tape: purged 10 bytes"), std::string::npos) << "unlocked, it may go\n"
                                                                        << r.out;
}

GwsimConfig stageConfig()
{
  GwsimConfig c = residencyConfig();
  c.dir("/s").set("Uid", 1001).set("Mode", "0755");
  onTape(c, "/s/p1", "S1:7");
  onTape(c, "/s/p2", "S1:3");
  onTape(c, "/s/q1", "S2:5");
  c.dir("/s/sub").set("Uid", 1001).set("Mode", "0755");
  onTape(c, "/s/sub/r1", "S3:2");
  onTape(c, "/s/sub/r2", "S3:1");
  return c;
}

TEST_F(NsResidency, StageScheduledComesVolumeByVolumeInTapeOrder)
{
  GwsimConfig c = stageConfig();
  start(c);
  OzuResult r = run("stage -A -s -R /s");
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_NE(r.out.find(" Background staging started - queueing files\n"), std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find(" Background staging initiated for 5 files\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find(" Background queuing completed for 5 files (0 already on disk)\n"),
            std::string::npos) << r.out;
  EXPECT_NE(r.out.find(" Background staging completed - exiting command\n"), std::string::npos)
      << r.out;
  std::vector<std::string> order;
  for (const std::string &l : gw->journalLines())
    if (l.rfind("stage-recalled ", 0) == 0)
      order.push_back(field(l, "path"));
  ASSERT_EQ(order.size(), 5u) << joinLines(gw->journalLines());
  // Each volume's files together, in position order.
  const std::map<std::string, std::string> volumeOf = {
      {"/s/p2", "S1"}, {"/s/p1", "S1"}, {"/s/q1", "S2"}, {"/s/sub/r2", "S3"}, {"/s/sub/r1", "S3"}};
  std::vector<std::string> volumes;
  for (const std::string &p : order)
    if (volumes.empty() || volumes.back() != volumeOf.at(p))
      volumes.push_back(volumeOf.at(p));
  EXPECT_EQ(volumes.size(), 3u) << "each volume worked through once";
  auto before = [&](const std::string &a, const std::string &b) {
    return std::find(order.begin(), order.end(), a) < std::find(order.begin(), order.end(), b);
  };
  EXPECT_TRUE(before("/s/p2", "/s/p1"));
  EXPECT_TRUE(before("/s/sub/r2", "/s/sub/r1"));
  r = run("ls -lU /s");
  EXPECT_EQ(countText(r.out, " DISK "), 3) << r.out;
}

TEST_F(NsResidency, StageModes)
{
  GwsimConfig c = stageConfig();
  start(c);
  const struct {
    const char *command;
    const char *path;
    const char *fn;  // the request that stages
  } cases[] = {
      // Background requests with no completion report.
      {"stage -N /s/p1", "/s/p1", "0x130f"},
      // Foreground: opened, staged, closed.
      {"stage -w -A /s/p2", nullptr, "0x1308"},
      // An option letter outside the table only ends the options.
      {"stage -N -x /s/q1", "/s/q1", "0x130f"},
  };
  for (const auto &k : cases) {
    size_t from = mark();
    OzuResult r = run(k.command);
    EXPECT_EQ(r.status, 0) << k.command << "\n" << r.out;
    std::vector<std::string> got = calls(k.fn, from);
    ASSERT_EQ(got.size(), 1u) << k.command << "\n" << joinLines(gw->journalLines());
    if (k.path) {
      EXPECT_EQ(field(got[0], "path"), k.path) << got[0];
    }
    if (std::string(k.fn) == "0x130f") {
      EXPECT_EQ(field(got[0], "callback"), "zero") << got[0];
      EXPECT_EQ(field(got[0], "flags"), "0x2") << got[0];
    } else {
      EXPECT_TRUE(calls("0x130f", from).empty()) << k.command;
    }
  }
  OzuResult r = run("stage");
  EXPECT_NE(r.out.find("Usage: sta[ge] [-i] [-m max] [-R] [-w] [path ...] [<<MARKER]\n"),
            std::string::npos) << r.out;
  r = run("stage -R");
  EXPECT_EQ(r.status, 64) << r.out;
  r = run("stage -N /s/sub");
  EXPECT_NE(r.out.find("*** Warning: `/s/sub' is a directory - skipped\n"), std::string::npos)
      << r.out;

  // Here-documents name the files; a marker error stages nothing.
  size_t from = mark();
  r = run("", "stage -N <<END\n/s/sub/r*\nEND\nstage -N <<\nstage -N <<END /s/q1\n");
  EXPECT_EQ(r.status, 64) << r.out;
  std::vector<std::string> staged;
  for (const std::string &l : calls("0x130f", from))
    staged.push_back(field(l, "path"));
  EXPECT_EQ(staged, (std::vector<std::string>{"/s/sub/r1", "/s/sub/r2"}));
  EXPECT_NE(r.out.find("*** Missing marker string after here-document sentinel (<<)\n"),
            std::string::npos) << r.out;
  EXPECT_NE(r.out.find("*** here-document marker must be the last token on the cmd line\n"),
            std::string::npos) << r.out;
}

// A site that turns background stages off: without scheduling each file is
// staged in the foreground; with it the scheduler still runs.
TEST_F(NsResidency, StageSiteWithoutBackgroundStages)
{
  GwsimConfig c = stageConfig();
  c.server().set("max_bg_stages", -1);
  start(c);
  size_t from = mark();
  OzuResult r = run("stage -N /s/p1");
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(calls("0x1308", from).size(), 1u);
  EXPECT_TRUE(calls("0x130f", from).empty());
  from = mark();
  r = run("stage -A /s/q1");
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(calls("0x130f", from).size(), 1u);
  EXPECT_EQ(field(calls("0x130f", from)[0], "callback"), "set");
}

// stage -c returns at once; the shell's end waits for the stages, so every
// completion report finds the client still there.
TEST_F(NsResidency, StageWithoutWaitingAndTheShellsEnd)
{
  GwsimConfig c = stageConfig();
  c.server().set("StageDelay", 150);
  start(c);
  OzuResult r = run("stage -A -c -s /s/p1 /s/p2 /s/q1; quit");
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_NE(r.out.find(" Background queuing completed for 3 files (0 already on disk)\n"
                       "-c specified: exiting command without waiting for stage completions\n"),
            std::string::npos) << r.out;
  EXPECT_EQ(r.out.find("Background staging completed"), std::string::npos) << r.out;
  std::vector<std::string> reports;
  for (const std::string &l : gw->journalLines())
    if (l.rfind("stage-callback ", 0) == 0)
      reports.push_back(l);
  ASSERT_EQ(reports.size(), 3u) << joinLines(gw->journalLines());
  for (const std::string &l : reports)
    EXPECT_NE(l.find(" sent"), std::string::npos) << l;
}

// An interrupt while stage waits ends the wait, not the stages.
TEST_F(NsResidency, StageInterruptedWaitLeavesTheStagesRunning)
{
  GwsimConfig c = stageConfig();
  c.server().set("StageDelay", 1000);
  start(c);
  writeFile(*gw, ".ozurc", "PS1 = 'ozu> '\n");
  auto p = startOzuOnPty(*gw, ozuArgs(*gw, {"-q"}), {"TERM=vt100"});
  ASSERT_TRUE(p->waitFor("ozu> ", 15000)) << p->screen;
  p->type("stage -A /s/p1 /s/p2 /s/q1\n");
  ASSERT_TRUE(p->waitFor("Waiting for stages to complete - ctrl-c to interrupt", 15000)) << p->screen;
  p->type("\x03");
  ASSERT_TRUE(p->waitFor("ozu> ", 15000)) << p->screen;
  int before = 0;
  for (const std::string &l : gw->journalLines())
    before += l.rfind("stage-recalled ", 0) == 0;
  EXPECT_LT(before, 3) << "the prompt came back before the stages were done";
  p->type("quit\n");
  EXPECT_EQ(p->finish(60000), 0) << p->screen;
  int reports = 0;
  for (const std::string &l : gw->journalLines())
    reports += l.rfind("stage-callback ", 0) == 0 && l.find(" sent") != std::string::npos;
  EXPECT_EQ(reports, 3) << joinLines(gw->journalLines());
}

}  // namespace
