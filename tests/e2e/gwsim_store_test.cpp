// gwsim's store as a client sees it: the names of one object share its
// record, a change whose rows cannot be kept leaves the namespace as it
// was, the database runs with a write-ahead log, and a new run checks what
// an old one left.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <functional>
#include <sstream>
#include <string>

#include "client_env.h"
#include "client_process.h"
#include "gwsim_config.h"
#include "gwsim_fixture.h"
#include "journal_text.h"
#include "quor_api.h"

namespace {

const std::string kConfig = [] {
  GwsimConfig c;
  c.user("alice", "wonderland").set("Uid", 1001).set("Gid", 100).set("Groups", 200);
  c.dir("/").set("Uid", 1001).set("Mode", "0755");
  c.file("/f").set("Data", "first").set("Uid", 1001).set("Mode", "0644").set("Family", 3);
  c.file("/g").set("Data", "second").set("Uid", 1001).set("Mode", "0644");
  return c.text();
}();

bool exists(const GwsimFixture& gw, const std::string& nspath) {
  struct stat st;
  return lstat((gw.rootDir() + nspath).c_str(), &st) == 0;
}

std::string contents(const GwsimFixture& gw, const std::string& nspath) {
  std::ifstream in(gw.rootDir() + nspath);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

const quor_fileattrbits_t kSelComment = 1ULL << 58;

}  // namespace

// A hard link is another name of the same object: a change through either
// name shows through both, and what the object holds outlives the first
// name. The name made by Link reports the hard-link type.
TEST(GwsimStore, HardLinksShareOneRecord) {
  GwsimFixture gw(kConfig);
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  ChildResult r = runInChild([&] {
    int failures = 0;
    CHILD_CHECK(failures, clientLogin(gw, "alice", "wonderland") == 0);
    CHILD_EQ(failures, quor_Link("/f", "/h"), 0);
    CHILD_EQ(failures, quor_Chmod("/h", 0600), 0);
    quor_stat_t st;
    CHILD_CHECK(failures, quor_Stat("/f", &st) == 0 && (st.st_mode & 07777) == 0600);
    quor_fileattr_t in, out;
    memset(&in, 0, sizeof in);
    snprintf(in.Attrs.Comment, sizeof in.Attrs.Comment, "shared");
    CHILD_EQ(failures, quor_FileSetAttributes("/f", kSelComment, &in, &out), 0);
    CHILD_EQ(failures, quor_Chown("/f", 1001, 200), 0);
    quor_Attrs_t a;
    CHILD_CHECK(failures, quor_GetListAttrs("/h", &a) == 0);
    CHILD_CHECK(failures, strcmp(a.Comment, "shared") == 0 && a.GID == 200 && a.FamilyId == 3);
    CHILD_EQ(failures, a.Type, 131);
    CHILD_CHECK(failures, quor_GetListAttrs("/f", &a) == 0 && a.Type == 129);
    // The first name goes; the link, renamed, still holds everything.
    CHILD_EQ(failures, quor_Unlink("/f"), 0);
    CHILD_EQ(failures, quor_Rename("/h", "/h2"), 0);
    CHILD_CHECK(failures, quor_GetListAttrs("/h2", &a) == 0);
    CHILD_CHECK(failures, strcmp(a.Comment, "shared") == 0 && a.FamilyId == 3 && a.Type == 131);
    CHILD_CHECK(failures, quor_Stat("/h2", &st) == 0 && (st.st_mode & 07777) == 0600);
    // A new object made under the old name starts afresh.
    CHILD_CHECK(failures, quor_Create("/f", 0644, nullptr, nullptr, nullptr) == 0);
    CHILD_CHECK(failures, quor_GetListAttrs("/f", &a) == 0 && a.Comment[0] == '\0');
    CHILD_CHECK(failures, a.FamilyId == 0 && a.Type == 129);
    return failures;
  });
  EXPECT_EQ(r.status, 0) << r.stderrText;
}

// When the database cannot keep a change (the StoreFail rule), the call
// answers -5 and the namespace on disk is as it was before the call.
TEST(GwsimStore, ChangesWhoseRowsFailAreUndoneOnDisk) {
  struct Case {
    const char* rule;  // FUNCTION of the rule
    std::function<int()> call;
    std::function<void(const GwsimFixture&)> check;
  };
  const Case cases[] = {
      {"0x0D01", [] { return quor_Mkdir("/d", 0755); },
       [](const GwsimFixture& gw) { EXPECT_FALSE(exists(gw, "/d")); }},
      {"0x130C", [] { return quor_Symlink("/f", "/s"); },
       [](const GwsimFixture& gw) { EXPECT_FALSE(exists(gw, "/s")); }},
      {"0x0C00", [] { return quor_Link("/f", "/h"); },
       [](const GwsimFixture& gw) { EXPECT_FALSE(exists(gw, "/h")); }},
      {"0x030C", [] { return quor_Create("/c", 0644, nullptr, nullptr, nullptr); },
       [](const GwsimFixture& gw) { EXPECT_FALSE(exists(gw, "/c")); }},
      {"0x0F00", [] { return quor_Open("/o", O_CREAT | O_WRONLY, 0644, nullptr, nullptr, nullptr); },
       [](const GwsimFixture& gw) { EXPECT_FALSE(exists(gw, "/o")); }},
      {"0x1208", [] { return quor_Rename("/f", "/moved"); },
       [](const GwsimFixture& gw) {
         EXPECT_EQ(contents(gw, "/f"), "first");
         EXPECT_FALSE(exists(gw, "/moved"));
       }},
      // Over an existing file: both names come back with their data.
      {"0x1208", [] { return quor_Rename("/f", "/g"); },
       [](const GwsimFixture& gw) {
         EXPECT_EQ(contents(gw, "/f"), "first");
         EXPECT_EQ(contents(gw, "/g"), "second");
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.rule);
    GwsimFixture gw(std::string(kConfig) + "Faults = {\n  StoreFail = 0x0500 " + c.rule +
                    " 1\n}\n");
    ASSERT_TRUE(gw.running()) << gw.stderrText();
    ChildResult r = runInChild([&] {
      int failures = 0;
      CHILD_CHECK(failures, clientLogin(gw, "alice", "wonderland") == 0);
      int rc = c.call();
      CHILD_EQ(failures, rc, -5);
      // The record of a name still there is intact.
      quor_Attrs_t a;
      CHILD_CHECK(failures, quor_GetListAttrs("/f", &a) == 0 && a.FamilyId == 3);
      return failures;
    });
    EXPECT_EQ(r.status, 0) << r.stderrText;
    c.check(gw);
    EXPECT_FALSE(exists(gw, "/../root.undo"));
  }
}

// The database runs with a write-ahead log, never without a journal.
TEST(GwsimStore, DatabaseUsesWriteAheadLogging) {
  GwsimFixture gw(kConfig);
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  EXPECT_EQ(sqlOne(gw, "pragma journal_mode"), "wal");
}

// A new run on the database of an old one drops the records of objects that
// went meanwhile, keeps the others, and starts afresh from a database of
// another layout.
TEST(GwsimStore, NewRunChecksTheOldStore) {
  GwsimFixture gw(kConfig);
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  ChildResult r = runInChild([&] {
    int failures = 0;
    CHILD_CHECK(failures, clientLogin(gw, "alice", "wonderland") == 0);
    CHILD_EQ(failures, quor_Mkdir("/keep", 0700), 0);
    CHILD_EQ(failures, quor_Create("/gone", 0600, nullptr, nullptr, nullptr), 0);
    return failures;
  });
  ASSERT_EQ(r.status, 0) << r.stderrText;
  struct stat st;
  ASSERT_EQ(lstat((gw.rootDir() + "/gone").c_str(), &st), 0);
  std::string gone = std::to_string(st.st_ino);
  ASSERT_EQ(sqlOne(gw, "select count(*) from objects where obj=" + gone), "1");

  ASSERT_EQ(gw.stop(), 0);
  ASSERT_EQ(unlink((gw.rootDir() + "/gone").c_str()), 0);
  ASSERT_TRUE(gw.restart()) << gw.stderrText();
  EXPECT_EQ(sqlOne(gw, "select count(*) from objects where obj=" + gone), "0");
  EXPECT_NE(gw.stderrText().find("dropped the records of 1 objects"), std::string::npos)
      << gw.stderrText();
  EXPECT_EQ(objectColumn(gw, "mode", "/keep"), "448");  // 0700

  // A database of another layout: gwsim starts it afresh.
  ASSERT_EQ(gw.stop(), 0);
  sqlOne(gw, "drop table objects; create table objects(path text primary key, mode int);"
             " insert into objects values('/keep', 511); pragma user_version=1;");
  ASSERT_TRUE(gw.restart()) << gw.stderrText();
  EXPECT_EQ(sqlOne(gw, "pragma user_version"), "3");
  EXPECT_EQ(objectColumn(gw, "mode", "/f"), "420");  // 0644 from the Files block
  EXPECT_EQ(objectColumn(gw, "mode", "/keep"), "");
}
