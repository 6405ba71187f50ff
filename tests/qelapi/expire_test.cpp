// The expiration-times table: time terms, precedence, section order, bad
// files and entries, and names converted through the gateway.
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "client_env.h"
#include "client_process.h"
#include "gwsim_config.h"
#include "gwsim_fixture.h"
#include "journal_text.h"
#include "quor_api.h"
#include "quorex_expire.h"
#include "temp_dir.h"

namespace {

// A directory of rules files for one test, removed afterwards.
struct RulesDir {
  std::string dir;
  RulesDir() {
    dir = make_temp_dir("expire_test");
  }
  ~RulesDir() {
    std::error_code ec;
    if (!dir.empty() && std::filesystem::remove_all(dir, ec) == 0)
      ADD_FAILURE() << "cannot remove " << dir;
  }
  std::string write(const std::string& name, const std::string& text) const {
    std::string path = dir + "/" + name;
    FILE* f = fopen(path.c_str(), "w");
    if (f) {
      fputs(text.c_str(), f);
      fclose(f);
    }
    return path;
  }
};

struct Ids {
  uint32_t family, cos, subsys, uid, gid, account;
};

quor_Attrs_t attrs(const Ids& i, uint32_t created) {
  quor_Attrs_t a;
  memset(&a, 0, sizeof a);
  a.FamilyId = i.family;
  a.COSId = i.cos;
  a.SubSystemId = i.subsys;
  a.UID = i.uid;
  a.GID = i.gid;
  a.Account = i.account;
  a.TimeCreated = created;
  return a;
}

const int kRefused = 1;  // in the cases below: the entry is skipped

}  // namespace

TEST(ExpireTimes, TermsAddUpInSixtyFourBitsAndAnOverflowingTermIsRefused) {
  struct Case {
    const char* value;
    int64_t seconds;
    int refused;
  };
  const Case cases[] = {
      {"1y 2d", 31708800, 0},
      {"30d", 2592000, 0},
      {"30days", 2592000, 0},
      {"30D", 2592000, 0},
      {"1h\t30m", 5400, 0},
      {"2M", 120, 0},  // minutes: there is no month
      {"1Y", 31536000, 0},
      {"90s", 90, 0},
      {"-1d 2d", 86400, 0},
      {"+5s", 5, 0},
      {"68y", 2144448000, 0},
      {"24855d", 2147472000, 0},
      {"2147483647s", 2147483647, 0},
      {"-2147483648s", -2147483648LL, 0},
      {"68y 68y", 4288896000LL, 0},  // the sum leaves 32 bits
      {"90", 0, kRefused},           // no unit
      {"10w", 0, kRefused},          // no such unit
      {"69y", 0, kRefused},          // one term beyond 2147483647 seconds
      {"24856d", 0, kRefused},
      {"2147483648s", 0, kRefused},
      {"-2147483649s", 0, kRefused},
      {"99999999999999999999s", 0, kRefused},
      {"5d,", 0, kRefused},
      {"d", 0, kRefused},
      {"1d 2", 0, kRefused},
  };
  RulesDir dir;
  std::vector<std::string> paths;
  for (const Case& c : cases)
    paths.push_back(dir.write("t" + std::to_string(paths.size()),
                              std::string("ExpirationByFamilyId = {\n 1 = ") + c.value + "\n}\n"));
  ChildResult r = runInChild([&] {
    int failures = 0;
    const uint32_t created = 3000000000u;
    for (size_t i = 0; i < paths.size(); i++) {
      const Case& c = cases[i];
      CHILD_CHECK(failures, quorex_ExpireInitTable(paths[i].c_str()) == 0);
      quor_Attrs_t a = attrs({1, 0, 0, 0, 0, 0}, created);
      uint64_t t = 77;
      int rc = quorex_ExpireLookupTime(&a, &t);
      uint64_t want = c.refused ? 0 : uint64_t(int64_t(created) + c.seconds);
      if (rc != (c.refused ? -2 : 0) || t != want) {
        fprintf(stderr, "CHECK FAILED value '%s': %d %llu, wanted %llu\n", c.value, rc,
                (unsigned long long)t, (unsigned long long)want);
        failures++;
      }
    }
    return failures;
  });
  EXPECT_EQ(r.status, 0) << r.stderrText;
  int refused = 0;
  for (size_t i = 0; i < paths.size(); i++) {
    if (!cases[i].refused) continue;
    refused++;
    std::string msg =
        std::string("*** parseTimeValue: Error- format error on expiration time string: ") +
        cases[i].value + " (" + paths[i] + ",line 2)\n";
    EXPECT_EQ(countText(r.stderrText, msg), 1) << cases[i].value << "\n" << r.stderrText;
  }
  EXPECT_EQ(countText(r.stderrText, "format error on expiration time string"), refused);
}

TEST(ExpireTimes, PrecedenceDecidesWhichRuleApplies) {
  const std::string rules =
      "ExpirationByFamilyId = {\n 1 = 1d\n}\n"
      "ExpirationByCosId = {\n 2 = 2d\n}\n"
      "ExpirationBySubsystemId = {\n 3 = 3d\n}\n"
      "ExpirationByUserId = {\n 1001 = 4d\n}\n"
      "ExpirationByGroupId = {\n 100 = 5d\n}\n"
      "ExpirationByAccountId = {\n 7 = 6d\n}\n";
  const Ids all = {1, 2, 3, 1001, 100, 7};
  struct Case {
    const char* precedence;  // the block's entries; null: no block
    Ids ids;
    int days;  // 0: no rule applies
  };
  const Case cases[] = {
      {nullptr, all, 1},
      {nullptr, {9, 2, 3, 1001, 100, 7}, 2},
      {nullptr, {9, 9, 9, 1001, 100, 7}, 4},
      {nullptr, {9, 9, 9, 9, 9, 7}, 6},
      {nullptr, {9, 9, 9, 9, 9, 9}, 0},
      {" COS ID\n", all, 2},
      {" COS ID\n", {1, 9, 3, 1001, 100, 7}, 0},  // the family rule is not consulted
      {" User ID\n Family ID\n", all, 4},
      {" User ID\n Family ID\n", {1, 2, 3, 5, 100, 7}, 1},
      {" Subsystem ID\n Subsystem ID\n", all, 3},
      {" cos id\n", all, 2},
      {" ACCOUNT ID\n Group ID\n", {1, 2, 3, 1001, 100, 8}, 5},
      {" Group ID\n Bogus ID\n COS ID\n", {1, 2, 3, 1001, 5, 7}, 2},
      {" COS ID = 5\n", all, 1},  // not a flag: ignored, so no list at all
  };
  RulesDir dir;
  std::vector<std::string> paths;
  for (const Case& c : cases) {
    std::string text = rules;
    if (c.precedence) text = std::string("ExpirePrecedence = {\n") + c.precedence + "}\n" + text;
    paths.push_back(dir.write("p" + std::to_string(paths.size()), text));
  }
  ChildResult r = runInChild([&] {
    int failures = 0;
    for (size_t i = 0; i < paths.size(); i++) {
      const Case& c = cases[i];
      CHILD_CHECK(failures, quorex_ExpireInitTable(paths[i].c_str()) == 0);
      quor_Attrs_t a = attrs(c.ids, 1000);
      uint64_t t = 77;
      int rc = quorex_ExpireLookupTime(&a, &t);
      uint64_t want = c.days ? 1000 + uint64_t(c.days) * 86400 : 0;
      if (rc != (c.days ? 0 : -2) || t != want) {
        fprintf(stderr, "CHECK FAILED case %zu: %d %llu, wanted %llu\n", i, rc,
                (unsigned long long)t, (unsigned long long)want);
        failures++;
      }
    }
    return failures;
  });
  EXPECT_EQ(r.status, 0) << r.stderrText;
  EXPECT_EQ(countText(r.stderrText,
                      "*** quorex_ExpireInitTable: Error- format error - unrecognized precedence "
                      "entry type [Bogus ID] (" +
                          paths[12] + " line 3) -ignored\n"),
            1)
      << r.stderrText;
  EXPECT_EQ(countText(r.stderrText,
                      "*** quorex_ExpireInitTable: Error- format error - not a simple flag value "
                      "such as\"COS ID\" (" +
                          paths[13] + " line 2) -ignored\n"),
            1)
      << r.stderrText;
}

TEST(ExpireTimes, FileOrderWithinASectionAndKeysThatAreNoNumbers) {
  RulesDir dir;
  std::string path = dir.write("rules",
                               "ExpirationByFamilyId = {\n abc = 1h\n 0 = 2h\n 4 = 3h\n 4 = 4h\n"
                               " 5\n}\n");
  ChildResult r = runInChild([&] {
    int failures = 0;
    CHILD_CHECK(failures, quorex_ExpireInitTable(path.c_str()) == 0);
    uint64_t t = 0;
    quor_Attrs_t a = attrs({0, 0, 0, 0, 0, 0}, 10);
    CHILD_CHECK(failures, quorex_ExpireLookupTime(&a, &t) == 0 && t == 10 + 3600);
    a = attrs({4, 0, 0, 0, 0, 0}, 10);
    CHILD_CHECK(failures, quorex_ExpireLookupTime(&a, &t) == 0 && t == 10 + 3 * 3600);
    a = attrs({5, 0, 0, 0, 0, 0}, 10);
    CHILD_CHECK(failures, quorex_ExpireLookupTime(&a, &t) == -2 && t == 0);
    // A creation time near the top of 32 bits does not wrap.
    a = attrs({4, 0, 0, 0, 0, 0}, 0xFFFFFF00u);
    CHILD_CHECK(failures, quorex_ExpireLookupTime(&a, &t) == 0 && t == 0xFFFFFF00ULL + 3 * 3600);
    CHILD_CHECK(failures, quorex_ExpireLookupTime(nullptr, &t) == -14);
    CHILD_CHECK(failures, quorex_ExpireLookupTime(&a, nullptr) == -14);
    return failures;
  });
  EXPECT_EQ(r.status, 0) << r.stderrText;
  EXPECT_EQ(countText(r.stderrText,
                      "*** quorex_ExpireInitTable: Error- format error - not "
                      "\"familyId = expireString\" (" +
                          path + " line 6) -ignored\n"),
            1)
      << r.stderrText;
}

// Family, COS and subsystem ids are 32 bits: a key beyond that, or a
// negative one, is refused rather than wrapped onto another id (4294967297
// onto 1, -1 onto 4294967295).
TEST(ExpireTimes, IdsThatDoNotFitAreRefusedNotWrapped) {
  RulesDir dir;
  std::string path = dir.write("rules",
                               "ExpirationByCosId = {\n 4294967297 = 1h\n -1 = 2h\n"
                               " 4294967295 = 3h\n 7 = 4h\n}\n");
  ChildResult r = runInChild([&] {
    int failures = 0;
    CHILD_CHECK(failures, quorex_ExpireInitTable(path.c_str()) == 0);
    uint64_t t = 0;
    quor_Attrs_t a = attrs({0, 1, 0, 0, 0, 0}, 10);
    CHILD_EQ(failures, quorex_ExpireLookupTime(&a, &t), -2);
    a = attrs({0, 0xFFFFFFFFu, 0, 0, 0, 0}, 10);
    CHILD_CHECK(failures, quorex_ExpireLookupTime(&a, &t) == 0 && t == 10 + 3 * 3600);
    a = attrs({0, 7, 0, 0, 0, 0}, 10);
    CHILD_CHECK(failures, quorex_ExpireLookupTime(&a, &t) == 0 && t == 10 + 4 * 3600);
    return failures;
  });
  EXPECT_EQ(r.status, 0) << r.stderrText;
  for (const char* key : {"4294967297", "-1"})
    EXPECT_EQ(countText(r.stderrText, std::string("*** quorex_ExpireInitTable: Error- format error "
                                                  "- id out of range '") +
                                          key + "' (" + path + " line "),
              1)
        << r.stderrText;
}

TEST(ExpireTimes, BadFilesLeaveNoRules) {
  RulesDir dir;
  const std::string family = "ExpirationByFamilyId = {\n 1 = 1d\n}\n";
  struct Case {
    std::string path;
    std::string message;
  };
  std::vector<Case> cases;
  std::string p = dir.write("flag", family + "ExpirationByCosId\n");
  cases.push_back(
      {p, "*** checkConfigHeadEntry: Warning-not a compound stanza type: " + p + " line 4\n"});
  p = dir.write("simple", family + "ExpirationByUserId = 5d\n");
  cases.push_back(
      {p, "*** checkConfigHeadEntry: Warning-not a compound stanza type: " + p + " line 4\n"});
  p = dir.write("empty", family + "ExpirationByGroupId = {\n}\n");
  cases.push_back({p,
                   "*** checkConfigHeadEntry: Warning-empty substanza list for "
                   "ExpirationByGroupId: " +
                       p + " line 4\n"});
  p = dir.write("precedence", "ExpirePrecedence = COS ID\n" + family);
  cases.push_back(
      {p, "*** checkConfigHeadEntry: Warning-not a compound stanza type: " + p + " line 1\n"});
  p = dir.write("unbalanced", family + "}\n");
  cases.push_back({p,
                   "*** quorex_ExpireInitTable: Warning: error -7005 parsing ExpirationTimes "
                   "config file " +
                       p + "\n"});
  p = dir.dir + "/missing";
  cases.push_back(
      {p, "*** quorex_ExpireInitTable: Warning- Unable to open configuration file " + p + "\n"});
  const std::string good = dir.write("good", family);
  ChildResult r = runInChild([&] {
    int failures = 0;
    for (const Case& c : cases) {
      // A working table first, so that the failed load must empty it.
      CHILD_CHECK(failures, quorex_ExpireInitTable(good.c_str()) == 0);
      CHILD_CHECK(failures, quorex_ExpireInitTable(c.path.c_str()) == -1);
      quor_Attrs_t a = attrs({1, 0, 0, 0, 0, 0}, 10);
      uint64_t t = 77;
      CHILD_CHECK(failures, quorex_ExpireLookupTime(&a, &t) == -2 && t == 0);
    }
    return failures;
  });
  EXPECT_EQ(r.status, 0) << r.stderrText;
  for (const Case& c : cases)
    EXPECT_EQ(countText(r.stderrText, c.message), 1) << c.message << r.stderrText;
}

TEST(ExpireTimes, ASecondLoadReplacesTheRules) {
  RulesDir dir;
  std::string first = dir.write("first", "ExpirationByCosId = {\n 2 = 1d\n}\n");
  std::string second = dir.write("second", "ExpirationByCosId = {\n 3 = 2d\n}\n");
  ChildResult r = runInChild([&] {
    int failures = 0;
    CHILD_CHECK(failures, quorex_ExpireInitTable(first.c_str()) == 0);
    CHILD_CHECK(failures, quorex_ExpireInitTable(second.c_str()) == 0);
    uint64_t t = 0;
    quor_Attrs_t a = attrs({0, 2, 0, 0, 0, 0}, 10);
    CHILD_CHECK(failures, quorex_ExpireLookupTime(&a, &t) == -2);
    a = attrs({0, 3, 0, 0, 0, 0}, 10);
    CHILD_CHECK(failures, quorex_ExpireLookupTime(&a, &t) == 0 && t == 10 + 2 * 86400);
    return failures;
  });
  EXPECT_EQ(r.status, 0) << r.stderrText;
}

TEST(ExpireTimes, NamesAreConvertedThroughTheGateway) {
  GwsimConfig c;
  c.user("alice", "wonderland").set("Uid", 1001).set("Gid", 100).set("Accounts", 9);
  c.group("staff", 300);
  c.account("proj", 9);
  GwsimFixture gw(c.text());
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  RulesDir dir;
  const std::string longName(128, 'u');
  std::string path = dir.write(
      "names", "ExpirationByUserId = {\n alice = 1d\n bob = 2d\n 1002 = 3d\n " + longName +
                   " = 9d\n}\n"
                   "ExpirationByGroupId = {\n staff = 4d\n}\n"
                   "ExpirationByAccountId = {\n proj = 5d\n nosuchacct = 6d\n}\n");
  ChildResult r = runInChild([&] {
    int failures = 0;
    clientEnvAs(gw, "alice", "wonderland");
    CHILD_CHECK(failures, quorex_ExpireInitTable(path.c_str()) == 0);
    struct Lookup {
      Ids ids;
      int days;
    };
    const Lookup lookups[] = {
        {{0, 0, 0, 1001, 0, 0}, 1}, {{0, 0, 0, 1002, 0, 0}, 3}, {{0, 0, 0, 5, 300, 0}, 4},
        {{0, 0, 0, 5, 5, 9}, 5},    {{0, 0, 0, 5, 5, 5}, 0},
    };
    for (const Lookup& l : lookups) {
      quor_Attrs_t a = attrs(l.ids, 10);
      uint64_t t = 77;
      int rc = quorex_ExpireLookupTime(&a, &t);
      CHILD_CHECK(failures, rc == (l.days ? 0 : -2));
      CHILD_CHECK(failures, t == (l.days ? 10 + uint64_t(l.days) * 86400 : 0));
    }
    return failures;
  });
  EXPECT_EQ(r.status, 0) << r.stderrText;
  EXPECT_EQ(countText(r.stderrText,
                      "*** quorex_ExpireInitTable: Unable to convert UID string 'bob' "
                      "(ignored): " +
                          path + " line 3\n"),
            1)
      << r.stderrText;
  // A name too long for its field is not cut to another user's name.
  EXPECT_EQ(countText(r.stderrText, "Unable to convert UID string '" + longName + "'"), 1);
  EXPECT_EQ(countText(r.stderrText,
                      "*** quorex_ExpireInitTable: Unable to convert Account ID string "
                      "'nosuchacct' (ignored): " +
                          path + " line 12\n"),
            1)
      << r.stderrText;
  auto j = gw.journalLines();
  // alice, bob and staff asked for; the number and the over-long name not.
  EXPECT_EQ(countLines(j, "cat=0x0500 fn=0x030b"), 3);
  EXPECT_EQ(countLines(j, "cat=0x0500 fn=0x0102"), 2);
}
