// Classes of service, named COS lists, filesets, junctions, subsystem
// statistics, site information, the message of the day and the
// transfer-concurrency table, asked of gwsim.
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "client_env.h"
#include "client_process.h"
#include "gwsim_config.h"
#include "gwsim_fixture.h"
#include "journal_text.h"
#include "quor_api.h"
#include "quor_api_internal.h"

namespace {

const std::string kUsers = [] {
  GwsimConfig c;
  c.user("alice", "wonderland").set("Uid", 1001).set("Gid", 100).set("Accounts", 7);
  return c.text();
}();

const std::string kCOS = [] {
  GwsimConfig c;
  c.cos(1).set("Name", "small").set("MaxFileSize", 1048576).set("Subsystems", "1 2")
      .set("StripeWidth", 2).set("FamilyId", 5).set("StageCode", 3);
  c.cos(2).set("Name", "big").set("MinFileSize", 1048577).set("MediaType", 3).set("MediaSubtype", 4)
      .set("Subsystems", 1);
  c.cos(3).set("Name", "dual").set("Copies", 2).set("Uids", "1001 1002").set("Gids", 100)
      .set("Accounts", 7);
  c.cos(4).set("Name", "staff").set("Gids", 300).flag("no-auto");
  c.cos(5).set("Name", "projects").set("Accounts", 9);
  c.section("COSLists").set("fast", "1 2").set("archive", "3 5");
  return c.text();
}();

// Eight filesets; the last has the longest name a request can carry.
std::string filesetConfig(const std::string& extra) {
  std::string s = "Filesets = {\n" + extra;
  for (int i = 0; i < 7; i++)
    s += " fs" + std::to_string(i) + " = {\n  Id = " + std::to_string(100 + i) +
         "\n  CoreServerId = " + std::to_string(i % 2 + 1) +
         "\n  Type = 1\n  COS = " + std::to_string(i % 3 + 1) +
         "\n  FamilyId = 4\n  SubsystemId = 1\n  FileCount = " + std::to_string(1000 + i) +
         "\n  DirectoryCount = 20\n  JunctionCount = 1\n }\n";
  s += " " + std::string(127, 'L') + " = {\n  Id = 200\n  CoreServerId = 1\n }\n}\n";
  return s;
}

const std::string kJunctions = [] {
  GwsimConfig c;
  c.section("Junctions").block("/j/a").set("Subsystem", 1).set("Fileset", "fs1");
  c.section("Junctions").block("/j/b").set("Subsystem", 1).set("Fileset", "fs2");
  c.section("Junctions").block("/j/c").set("Subsystem", 2).set("Fileset", "fs3");
  c.section("Junctions").block("/j/d").set("Subsystem", 1);
  return c.text();
}();

}  // namespace

// ---- classes of service ----

TEST(QueriesCOS, SelectCOSChoosesByListSizeCopiesSubsystemAndAvailability) {
  GwsimFixture gw(std::string(kUsers) + kCOS);
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  struct Case {
    const char* list;
    uint64_t size;
    uid_t uid;
    gid_t gid;
    uint32_t acct;
    int copies;
    long subsys;
    int result;
    uint32_t cos;
  };
  const Case cases[] = {
      {nullptr, 100, 1001, 100, 7, 0, 0, 0, 1},
      {nullptr, 2 << 20, 1001, 100, 7, 0, 0, 0, 2},
      {nullptr, 100, 1001, 100, 7, 2, 0, 0, 3},
      {nullptr, 100, 2000, 100, 7, 2, 0, 0, 0},  // dual is closed to uid 2000
      {"archive", 100, 1001, 100, 9, 0, 0, 0, 5},
      {"archive", 100, 1001, 100, 7, 0, 0, 0, 3},
      {"fast", 100, 1001, 100, 7, 0, 2, 0, 1},
      {"fast", 2 << 20, 1001, 100, 7, 0, 2, 0, 0},  // big is on subsystem 1 only
      {"nosuch", 100, 1001, 100, 7, 0, 0, -2, 0},
      {"", 2 << 20, 1001, 100, 7, 0, 0, 0, 2},  // an empty name is no list
  };
  ChildResult r = runInChild([&] {
    int failures = 0;
    clientEnvAs(gw, "alice", "wonderland");
    for (const Case& c : cases) {
      quor_cos_hints_t hints;
      quor_cos_priorities_t pri;
      memset(&hints, 0xAA, sizeof hints);
      memset(&pri, 0xAA, sizeof pri);
      int rc =
          quorex_SelectCOS(c.list, c.size, c.uid, c.gid, c.acct, c.copies, c.subsys, &hints, &pri);
      CHILD_EQ(failures, rc, c.result);
      if (rc == 0) {
        CHILD_EQ(failures, hints.COSId, c.cos);
        CHILD_EQ(failures, pri.COSIdPriority, c.cos ? 1 : 0);
      } else {
        CHILD_EQ(failures, hints.COSId, 0xAAAAAAAAu);  // untouched on failure
      }
    }
    quor_cos_hints_t hints;
    quor_cos_priorities_t pri;
    CHILD_EQ(failures, quorex_SelectCOS(nullptr, 10, 1001, 100, 7, 0, 1, &hints, &pri), 0);
    CHILD_CHECK(failures, strcmp(hints.COSName, "small") == 0);
    CHILD_EQ(failures, hints.MaxFileSize, 1048576);
    CHILD_EQ(failures, hints.StripeWidth, 2);
    CHILD_EQ(failures, hints.FamilyId, 5);
    CHILD_EQ(failures, hints.StageCode, 3);
    return failures;
  });
  EXPECT_EQ(r.status, 0) << r.stderrText;
  auto j = gw.journalLines();
  EXPECT_EQ(countLines(j, "cat=0x0800 fn=0x0100"), 11);
  EXPECT_EQ(countLines(j, "list=- size=100 uid=1001 gid=100 acct=7 copies=0 subsys=0"), 1);
  EXPECT_EQ(countLines(j, "list=archive size=100 uid=1001 gid=100 acct=9"), 1);
}

TEST(QueriesCOS, COSListCarriesEntriesAndAvailabilityWhenAsked) {
  GwsimFixture gw(std::string(kUsers) + kCOS);
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  ChildResult r = runInChild([&] {
    int failures = 0;
    clientEnvAs(gw, "alice", "wonderland");
    struct Avail {
      uid_t uid;
      gid_t gid;
      uint32_t acct;
      uint32_t flags[5];
    };
    const Avail table[] = {
        {1001, 100, 7, {0, 0, 0, 0x2 | 0x8, 0x4}},
        {2000, 300, 9, {0, 0, 0x1 | 0x2 | 0x4, 0x8, 0}},
    };
    for (const Avail& a : table) {
      int count = -1;
      cos_list_entry_t* list = nullptr;
      CHILD_EQ(failures, quorex_GetCOSList(1, 0, a.uid, a.gid, a.acct, &count, &list), 0);
      CHILD_EQ(failures, count, 5);
      for (int i = 0; i < count && i < 5; i++) {
        CHILD_EQ(failures, list[i].cos_entry.COSId, i + 1);
        CHILD_EQ(failures, list[i].flags, a.flags[i]);
      }
      if (count == 5) {
        CHILD_CHECK(failures, strcmp(list[1].cos_entry.COSName, "big") == 0);
        CHILD_EQ(failures, list[1].cos_entry.MinFileSize, 1048577);
        CHILD_EQ(failures, list[1].media_type, 3);
        CHILD_EQ(failures, list[1].media_subtype, 4);
        CHILD_EQ(failures, list[2].copies, 2);
        CHILD_EQ(failures, list[0].subsys_count, 2);
        if (list[0].subsys_count == 2) {
          CHILD_EQ(failures, list[0].subsys_id_list[0], 1);
          CHILD_EQ(failures, list[0].subsys_id_list[1], 2);
        }
        CHILD_EQ(failures, list[4].subsys_count, 0);
        CHILD_CHECK(failures, list[4].subsys_id_list == nullptr);
      }
      for (int i = 0; i < count; i++) free(list[i].subsys_id_list);
      free(list);
    }
    // One class; without flag 1 no availability is worked out.
    int count = -1;
    cos_list_entry_t* list = nullptr;
    CHILD_EQ(failures, quorex_GetCOSList(0, 3, 2000, 300, 9, &count, &list), 0);
    CHILD_EQ(failures, count, 1);
    if (count == 1) {
      CHILD_CHECK(failures, strcmp(list[0].cos_entry.COSName, "dual") == 0);
      CHILD_EQ(failures, list[0].flags, 0);
    }
    free(list);
    // An unknown class: the outputs stay as they were.
    count = 77;
    list = reinterpret_cast<cos_list_entry_t*>(&count);
    CHILD_EQ(failures, quorex_GetCOSList(1, 42, 1001, 100, 7, &count, &list), -2);
    CHILD_EQ(failures, count, 77);
    CHILD_CHECK(failures, list == reinterpret_cast<cos_list_entry_t*>(&count));
    return failures;
  });
  EXPECT_EQ(r.status, 0) << r.stderrText;
  auto j = gw.journalLines();
  EXPECT_EQ(countLines(j, "cat=0x0800 fn=0x0101 "), 4);
  EXPECT_EQ(countLines(j, "flags=1 cos=0 uid=2000 gid=300 acct=9"), 1);
}

TEST(QueriesCOS, NamedListsAndTheirMembers) {
  GwsimFixture gw(std::string(kUsers) + kCOS);
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  ChildResult r = runInChild([&] {
    int failures = 0;
    clientEnvAs(gw, "alice", "wonderland");
    uint32_t n = 0;
    char** names = nullptr;
    CHILD_EQ(failures, quorex_GetNamedCOSLists(&n, &names), 0);
    CHILD_EQ(failures, n, 2);
    if (n == 2) {
      CHILD_CHECK(failures, strcmp(names[0], "fast") == 0);
      CHILD_CHECK(failures, strcmp(names[1], "archive") == 0);
    }
    for (uint32_t i = 0; i < n; i++) free(names[i]);
    free(names);

    cos_namelist_entry_t e;
    memset(&e, 0, sizeof e);
    CHILD_EQ(failures, quorex_GetNamedCOSInfo("archive", &e), 0);
    CHILD_EQ(failures, e.count, 2);
    if (e.count == 2) {
      CHILD_EQ(failures, e.cosEntries[0], 3);
      CHILD_EQ(failures, e.cosEntries[1], 5);
    }
    free(e.cosEntries);
    e.count = 9;
    e.cosEntries = nullptr;
    CHILD_EQ(failures, quorex_GetNamedCOSInfo("nosuch", &e), -2);
    CHILD_EQ(failures, e.count, 9);
    return failures;
  });
  EXPECT_EQ(r.status, 0) << r.stderrText;
  auto j = gw.journalLines();
  EXPECT_EQ(countLines(j, "cat=0x0800 fn=0x0102"), 1);
  EXPECT_EQ(countLines(j, "cat=0x0800 fn=0x0103"), 2);
  EXPECT_EQ(countLines(j, "list=nosuch"), 1);
}

TEST(QueriesCOS, GatewayWithoutNamedListsAnswersAnEmptyList) {
  GwsimFixture gw(kUsers);
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  ChildResult r = runInChild([&] {
    int failures = 0;
    clientEnvAs(gw, "alice", "wonderland");
    uint32_t n = 5;
    char** names = reinterpret_cast<char**>(&n);
    CHILD_EQ(failures, quorex_GetNamedCOSLists(&n, &names), 0);
    CHILD_EQ(failures, n, 0);
    CHILD_CHECK(failures, names == nullptr);
    int count = 5;
    cos_list_entry_t* list = reinterpret_cast<cos_list_entry_t*>(&count);
    CHILD_EQ(failures, quorex_GetCOSList(1, 0, 1, 1, 1, &count, &list), 0);
    CHILD_EQ(failures, count, 0);
    CHILD_CHECK(failures, list == nullptr);
    return failures;
  });
  EXPECT_EQ(r.status, 0) << r.stderrText;
}

TEST(QueriesCOS, FileSetCOSMovesTheFileToAnotherClass) {
  GwsimFixture gw(
      std::string(kUsers) + kCOS +
      "Files = {\n /data/f1 = {\n  Size = 10\n  COS = 1\n  Uid = 1001\n }\n /data/f2 = {\n"
      "  COS = 1\n  Uid = 1001\n }\n}\n");
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  ChildResult r = runInChild([&] {
    int failures = 0;
    clientEnvAs(gw, "alice", "wonderland");
    CHILD_EQ(failures, quor_FileSetCOS("/data/f1", 2, 7), 0);
    CHILD_EQ(failures, quor_FileSetCOS("/data/f2", 99, 0), -22);  // no such class
    CHILD_EQ(failures, quor_FileSetCOS("/data/none", 2, 0), -2);
    CHILD_EQ(failures, quor_FileSetCOS("/data", 2, 0), -21);
    // Refused before sending: the count below stays 4.
    CHILD_EQ(failures, quor_FileSetCOS(std::string(1025, 'p').c_str(), 2, 0), -86);
    return failures;
  });
  EXPECT_EQ(r.status, 0) << r.stderrText;
  EXPECT_EQ(objectColumn(gw, "cos", "/data/f1"), "2");
  EXPECT_EQ(objectColumn(gw, "cos", "/data/f2"), "1");
  auto j = gw.journalLines();
  EXPECT_EQ(countLines(j, "cat=0x0500 fn=0x060f", " path=/data/f1 cos=2 stream=7"), 1);
  EXPECT_EQ(countLines(j, "cat=0x0500 fn=0x060f"), 4);
}

// ---- filesets and junctions ----

TEST(QueriesFilesets, AttributesByNameIdOrHandle) {
  GwsimFixture gw(std::string(kUsers) + filesetConfig(""));
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  ChildResult r = runInChild([&] {
    int failures = 0;
    clientEnvAs(gw, "alice", "wonderland");
    const ns_FilesetAttrBits_t bits = 0x663e000000000000ULL;
    ns_FilesetAttrs_t a;
    memset(&a, 0, sizeof a);
    CHILD_EQ(failures, quor_FilesetGetAttributes("fs2", nullptr, nullptr, nullptr, bits, &a), 0);
    CHILD_EQ(failures, a.FilesetId, 102);
    CHILD_EQ(failures, a.ClassOfService, 3);
    CHILD_EQ(failures, a.FileCount, 1002);
    CHILD_EQ(failures, a.DirectoryCount, 20);
    CHILD_EQ(failures, a.FamilyId, 4);

    u_signed64 id = 104;
    quor_srvr_id_t server = 1;
    memset(&a, 0, sizeof a);
    CHILD_EQ(failures, quor_FilesetGetAttributes(nullptr, &id, nullptr, &server, bits, &a), 0);
    CHILD_CHECK(failures, strcmp(a.FilesetName, "fs4") == 0);
    ns_ObjHandle_t h = a.FilesetHandle;
    memset(&a, 0, sizeof a);
    CHILD_EQ(failures, quor_FilesetGetAttributes(nullptr, nullptr, &h, nullptr, bits, &a), 0);
    CHILD_CHECK(failures, strcmp(a.FilesetName, "fs4") == 0);
    // The core server narrows the choice.
    server = 2;
    memset(&a, 0x55, sizeof a);
    CHILD_EQ(failures, quor_FilesetGetAttributes(nullptr, &id, nullptr, &server, bits, &a), -2);
    CHILD_EQ(failures, a.FilesetId, 0x5555555555555555ULL);
    // The longest name a request carries.
    std::string longest(127, 'L');
    CHILD_EQ(failures,
             quor_FilesetGetAttributes(longest.c_str(), nullptr, nullptr, nullptr, bits, &a), 0);
    CHILD_EQ(failures, a.FilesetId, 200);
    return failures;
  });
  EXPECT_EQ(r.status, 0) << r.stderrText;
  auto j = gw.journalLines();
  EXPECT_EQ(countLines(j, "cat=0x0500 fn=0x0607", " name=fs2 bits=0x663e000000000000"), 1);
  EXPECT_EQ(countLines(j, "fn=0x0607", " id=104 server=1 bits"), 1);
  EXPECT_EQ(countLines(j, "fn=0x0607", " handle=104 bits"), 1);
  EXPECT_EQ(countLines(j, "fn=0x0607", " name=" + std::string(127, 'L') + " bits"), 1);
}

TEST(QueriesFilesets, ListingPagesThroughAllFilesets) {
  GwsimFixture gw(std::string(kUsers) + filesetConfig(""));
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  ChildResult r = runInChild([&] {
    int failures = 0;
    clientEnvAs(gw, "alice", "wonderland");
    std::vector<std::string> names;
    u_signed64 offset = 0;
    unsigned32 end = 0;
    const int expect[] = {3, 3, 2};
    for (int page = 0; page < 3; page++) {
      quor_global_fsent_t ents[4];
      memset(ents, 0, sizeof ents);
      ents[3].FilesetId = 0xC0FFEE;
      u_signed64 next = 0;
      int rc = quor_FilesetListAll(offset, 3, &end, &next, ents);
      CHILD_EQ(failures, rc, expect[page]);
      for (int i = 0; i < rc && i < 3; i++) names.push_back(ents[i].FilesetName);
      CHILD_EQ(failures, ents[3].FilesetId, 0xC0FFEE);
      CHILD_EQ(failures, end, page == 2 ? 1 : 0);
      CHILD_EQ(failures, next, offset + expect[page]);
      offset = next;
    }
    CHILD_EQ(failures, names.size(), 8);
    if (names.size() == 8) {
      CHILD_CHECK(failures, names[0] == "fs0" && names[6] == "fs6");
      CHILD_CHECK(failures, names[7] == std::string(127, 'L'));
    }
    // Past the end: nothing comes back and End and OffsetOut keep their values.
    quor_global_fsent_t ents[3];
    unsigned32 end2 = 77;
    u_signed64 off2 = 999;
    CHILD_EQ(failures, quor_FilesetListAll(offset, 3, &end2, &off2, ents), 0);
    CHILD_EQ(failures, end2, 77);
    CHILD_EQ(failures, off2, 999);
    return failures;
  });
  EXPECT_EQ(r.status, 0) << r.stderrText;
  auto j = gw.journalLines();
  EXPECT_EQ(countLines(j, "cat=0x0500 fn=0x0608", " offset=0 entries=3"), 1);
  EXPECT_EQ(countLines(j, "cat=0x0500 fn=0x0608", " offset=6 entries=3"), 1);
  EXPECT_EQ(countLines(j, "cat=0x0500 fn=0x0608", " offset=8 entries=3"), 1);
}

TEST(QueriesFilesets, OverfullPagesNeverOverrunTheCallersArray) {
  // A gateway that answers five filesets, and five junctions counted as
  // eight, whatever was asked.
  GwsimFixture gw(std::string(kUsers) + filesetConfig(" PageSize = 5\n") +
                  "Junctions = {\n PageSize = 5\n ResultExtra = 3\n"
                  " /j/1 = {\n  Subsystem = 1\n }\n /j/2 = {\n  Subsystem = 1\n }\n"
                  " /j/3 = {\n  Subsystem = 1\n }\n /j/4 = {\n  Subsystem = 1\n }\n"
                  " /j/5 = {\n  Subsystem = 1\n }\n}\n");
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  ChildResult r = runInChild([&] {
    int failures = 0;
    clientEnvAs(gw, "alice", "wonderland");
    quor_global_fsent_t fs[3];
    memset(fs, 0, sizeof fs);
    fs[2].FilesetId = 0xC0FFEE;
    unsigned32 end = 9;
    u_signed64 next = 9;
    CHILD_EQ(failures, quor_FilesetListAll(0, 2, &end, &next, fs), 2);
    CHILD_EQ(failures, fs[2].FilesetId, 0xC0FFEE);
    CHILD_CHECK(failures, strcmp(fs[1].FilesetName, "fs1") == 0);

    quor_junction_ent_t js[3];
    memset(js, 0, sizeof js);
    strcpy(js[2].JunctionPathName, "canary");
    CHILD_EQ(failures, quor_GetJunctions(1, 0, 2, &end, &next, js), 2);
    CHILD_CHECK(failures, strcmp(js[1].JunctionPathName, "/j/2") == 0);
    CHILD_CHECK(failures, strcmp(js[2].JunctionPathName, "canary") == 0);
    // Room for all: the result still counts only the entries that came.
    quor_junction_ent_t all[8];
    memset(all, 0, sizeof all);
    CHILD_EQ(failures, quor_GetJunctions(1, 0, 8, &end, &next, all), 5);
    CHILD_CHECK(failures, all[5].JunctionPathName[0] == '\0');
    return failures;
  });
  EXPECT_EQ(r.status, 0) << r.stderrText;
}

TEST(QueriesJunctions, PagesOfOneSubsystemAndTheirFilesets) {
  GwsimFixture gw(std::string(kUsers) + filesetConfig("") + kJunctions);
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  ChildResult r = runInChild([&] {
    int failures = 0;
    clientEnvAs(gw, "alice", "wonderland");
    quor_junction_ent_t js[2];
    unsigned32 end = 9;
    u_signed64 next = 9;
    CHILD_EQ(failures, quor_GetJunctions(1, 0, 2, &end, &next, js), 2);
    CHILD_EQ(failures, end, 0);
    CHILD_EQ(failures, next, 2);
    CHILD_CHECK(failures, strcmp(js[0].JunctionPathName, "/j/a") == 0);
    CHILD_CHECK(failures, strcmp(js[1].JunctionPathName, "/j/b") == 0);
    // The junction's fileset handle selects its fileset, as the shell uses it.
    ns_FilesetAttrs_t a;
    memset(&a, 0, sizeof a);
    CHILD_EQ(failures,
             quor_FilesetGetAttributes(nullptr, nullptr, &js[0].FilesetHandle, nullptr, 0, &a), 0);
    CHILD_CHECK(failures, strcmp(a.FilesetName, "fs1") == 0);
    CHILD_CHECK(failures, js[0].JunctionHandle.ObjId != js[1].JunctionHandle.ObjId);

    CHILD_EQ(failures, quor_GetJunctions(1, next, 2, &end, &next, js), 1);
    CHILD_EQ(failures, end, 1);
    CHILD_EQ(failures, next, 3);
    CHILD_CHECK(failures, strcmp(js[0].JunctionPathName, "/j/d") == 0);
    // An empty page still reports where the listing stands.
    end = 9;
    u_signed64 off = 99;
    CHILD_EQ(failures, quor_GetJunctions(1, 3, 2, &end, &off, js), 0);
    CHILD_EQ(failures, end, 1);
    CHILD_EQ(failures, off, 3);
    end = 9;
    off = 99;
    CHILD_EQ(failures, quor_GetJunctions(7, 0, 2, &end, &off, js), 0);
    CHILD_EQ(failures, end, 1);
    CHILD_EQ(failures, off, 0);
    CHILD_EQ(failures, quor_GetJunctions(2, 0, 2, &end, &off, js), 1);
    CHILD_CHECK(failures, strcmp(js[0].JunctionPathName, "/j/c") == 0);
    return failures;
  });
  EXPECT_EQ(r.status, 0) << r.stderrText;
  auto j = gw.journalLines();
  EXPECT_EQ(countLines(j, "cat=0x0500 fn=0x0708", " subsys=1 offset=0 entries=2"), 1);
  EXPECT_EQ(countLines(j, "cat=0x0500 fn=0x0708", " subsys=1 offset=2 entries=2"), 1);
}

TEST(QueriesJunctions, ServiceWithoutTheCallAnswersMinus64) {
  GwsimFixture gw(std::string(kUsers) + kJunctions +
                  "Faults = {\n Error = 0x0500 0x0708 * -64\n}\n");
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  ChildResult r = runInChild([&] {
    int failures = 0;
    clientEnvAs(gw, "alice", "wonderland");
    quor_junction_ent_t js[2];
    unsigned32 end = 9;
    u_signed64 off = 99;
    CHILD_EQ(failures, quor_GetJunctions(1, 0, 2, &end, &off, js), -64);
    CHILD_EQ(failures, end, 9);
    CHILD_EQ(failures, off, 99);
    return failures;
  });
  EXPECT_EQ(r.status, 0) << r.stderrText;
}

// ---- statistics, site information, motd, concurrency ----

TEST(QueriesService, SubsystemStatistics) {
  GwsimFixture gw(std::string(kUsers) +
                  "Subsystems = {\n 1 = {\n  StageCount = 11\n  MigrationCount = 12\n"
                  "  PurgeCount = 13\n  DeleteCount = 14\n  TimeLastReset = 1700000000\n"
                  "  COSChangeThreadCount = 3\n }\n}\n"
                  "Faults = {\n Error = 0x0500 0x0704 3 -5\n}\n");
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  ChildResult r = runInChild([&] {
    int failures = 0;
    clientEnvAs(gw, "alice", "wonderland");
    subsys_stats_t s;
    memset(&s, 0x55, sizeof s);
    CHILD_EQ(failures, quor_GetSubSysStats(1, &s), 0);
    CHILD_EQ(failures, s.StageCount, 11);
    CHILD_EQ(failures, s.MigrationCount, 12);
    CHILD_EQ(failures, s.PurgeCount, 13);
    CHILD_EQ(failures, s.DeleteCount, 14);
    CHILD_EQ(failures, s.TimeLastReset, 1700000000);
    CHILD_EQ(failures, s.COSChangeThreadCount, 3);
    // A refusal without a body leaves zeros, not what was there.
    memset(&s, 0x55, sizeof s);
    CHILD_EQ(failures, quor_GetSubSysStats(9, &s), -2);
    CHILD_EQ(failures, s.StageCount, 0);
    CHILD_EQ(failures, s.COSChangeThreadCount, 0);
    memset(&s, 0x55, sizeof s);
    CHILD_EQ(failures, quor_GetSubSysStats(1, &s), -5);
    CHILD_EQ(failures, s.StageCount, 0);
    return failures;
  });
  EXPECT_EQ(r.status, 0) << r.stderrText;
  EXPECT_EQ(countLines(gw.journalLines(), "fn=0x0704", " subsys=9"), 1);
}

TEST(QueriesService, SiteInformationIsTheConnectionsCopy) {
  GwsimFixture gw(std::string(kUsers) +
                  "Server = {\n max_bg_stages = -1\n app_copies = 2\n startupCOS = 5\n"
                  " accounting_style = 1\n rootUid = 17\n}\n");
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  ChildResult r = runInChild([&] {
    int failures = 0;
    clientEnvAs(gw, "alice", "wonderland");
    quor_site_info_t s;
    memset(&s, 0, sizeof s);
    CHILD_EQ(failures, quorex_GetSiteInfo(&s), 0);
    CHILD_EQ(failures, s.max_bg_stages, -1);
    CHILD_EQ(failures, s.app_copies, 2);
    CHILD_EQ(failures, s.startupCOS, 5);
    CHILD_EQ(failures, s.accounting_style, 1);
    CHILD_EQ(failures, s.rootUid, 17);
    CHILD_EQ(failures, s.sv_prot_major, 67);
    quor_connection_t* c = qelapi_getCurConnection();
    CHILD_CHECK(failures, c && memcmp(&c->site_info, &s, sizeof s) == 0);
    return failures;
  });
  EXPECT_EQ(r.status, 0) << r.stderrText;
  // Only the connection's own request for it went out.
  EXPECT_EQ(countLines(gw.journalLines(), "cat=0x0100 fn=0x0001"), 1);
}

TEST(QueriesService, MessageOfTheDay) {
  GwsimFixture gw(std::string(kUsers) +
                  "Motd = {\n Text = Welcome to gwsim\n Text = maintenance at noon\n}\n"
                  "Faults = {\n Error = 0x0100 0x0002 2 -13\n}\n");
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  ChildResult r = runInChild([&] {
    int failures = 0;
    clientEnvAs(gw, "alice", "wonderland");
    uint32_t len = 9;
    char* text = nullptr;
    CHILD_EQ(failures, quorex_GetMotd(1, &len, &text), 0);
    const std::string want = "Welcome to gwsim\nmaintenance at noon";
    CHILD_EQ(failures, len, want.size());
    CHILD_CHECK(failures, text && std::string(text, len) == want);
    free(text);
    text = reinterpret_cast<char*>(&len);
    CHILD_EQ(failures, quorex_GetMotd(0, &len, &text), -13);
    CHILD_EQ(failures, len, 0);
    CHILD_CHECK(failures, text == nullptr);
    return failures;
  });
  EXPECT_EQ(r.status, 0) << r.stderrText;
  EXPECT_EQ(countLines(gw.journalLines(), "cat=0x0100 fn=0x0002"), 2);
}

TEST(QueriesService, EmptyMessageOfTheDayIsLengthZeroAndNoText) {
  GwsimFixture gw(kUsers);
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  ChildResult r = runInChild([&] {
    int failures = 0;
    clientEnvAs(gw, "alice", "wonderland");
    uint32_t len = 9;
    char* text = reinterpret_cast<char*>(&len);
    CHILD_EQ(failures, quorex_GetMotd(0, &len, &text), 0);
    CHILD_EQ(failures, len, 0);
    CHILD_CHECK(failures, text == nullptr);
    return failures;
  });
  EXPECT_EQ(r.status, 0) << r.stderrText;
}

TEST(QueriesService, TransferConcurrencyTable) {
  const std::string table =
      "XferConcurrency = {\n Size = 0 1048576 8\n Size = 1048577 0 2\n}\n"
      "Faults = {\n Error = 0x0800 0x0104 2 -5\n}\n";
  const std::string config = std::string(kUsers) + table;
  // The rows carry the lines of the configuration they stand on.
  auto lineOf = [&](const std::string& text) {
    size_t at = config.find(text);
    return 1 + int(std::count(config.begin(), config.begin() + long(at), '\n'));
  };
  const int line1 = lineOf("Size = 0 1048576 8"), line2 = lineOf("Size = 1048577 0 2");
  GwsimFixture gw(config);
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  ChildResult r = runInChild([&] {
    int failures = 0;
    clientEnvAs(gw, "alice", "wonderland");
    int n = -1;
    xfer_size_to_count_t* t = nullptr;
    CHILD_EQ(failures, quorex_ConfGetXferConcurrency(&n, &t), 0);
    CHILD_EQ(failures, n, 2);
    if (n == 2 && t) {
      CHILD_EQ(failures, t[0].cfg_line_num, line1);
      CHILD_EQ(failures, t[0].max_xfers, 8);
      CHILD_EQ(failures, t[0].min_size, 0);
      CHILD_EQ(failures, t[0].max_size, 1048576);
      CHILD_EQ(failures, t[1].cfg_line_num, line2);
      CHILD_EQ(failures, t[1].max_xfers, 2);
      CHILD_EQ(failures, t[1].min_size, 1048577);
      CHILD_EQ(failures, t[1].max_size, 0);
    }
    free(t);
    n = 5;
    t = reinterpret_cast<xfer_size_to_count_t*>(&n);
    CHILD_EQ(failures, quorex_ConfGetXferConcurrency(&n, &t), -5);
    CHILD_EQ(failures, n, 0);
    CHILD_CHECK(failures, t == nullptr);
    return failures;
  });
  EXPECT_EQ(r.status, 0) << r.stderrText;
}

// ---- argument checks ----

TEST(QueriesChecks, RefusedArgumentsSendNothing) {
  GwsimFixture gw(std::string(kUsers) + kCOS + filesetConfig("") + kJunctions);
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  ChildResult r = runInChild([&] {
    int failures = 0;
    clientEnvAs(gw, "alice", "wonderland");
    qelapi_tcontext_t* ts = nullptr;
    CHILD_EQ(failures, qelapi_init(&ts), 0);
    quor_cos_hints_t h;
    quor_cos_priorities_t p;
    int count;
    cos_list_entry_t* list;
    uint32_t ucount;
    char** names;
    cos_namelist_entry_t ne;
    ns_FilesetAttrs_t fa;
    u_signed64 id = 100, off;
    unsigned32 end;
    quor_global_fsent_t fs[2];
    quor_junction_ent_t js[2];
    char* text;
    xfer_size_to_count_t* xt;
    const std::string tooLong(128, 'n');
    struct Refusal {
      const char* what;
      std::function<int()> call;
      int expect;
    };
    const Refusal table[] = {
        {"SelectCOS null hints",
         [&] { return quorex_SelectCOS(nullptr, 1, 1, 1, 1, 0, 0, nullptr, &p); }, -14},
        {"SelectCOS null priorities",
         [&] { return quorex_SelectCOS("fast", 1, 1, 1, 1, 0, 0, &h, nullptr); }, -14},
        {"GetCOSList null count", [&] { return quorex_GetCOSList(1, 0, 1, 1, 1, nullptr, &list); },
         -14},
        {"GetCOSList null list", [&] { return quorex_GetCOSList(1, 0, 1, 1, 1, &count, nullptr); },
         -14},
        {"GetNamedCOSLists null count", [&] { return quorex_GetNamedCOSLists(nullptr, &names); },
         -14},
        {"GetNamedCOSLists null names", [&] { return quorex_GetNamedCOSLists(&ucount, nullptr); },
         -14},
        {"GetNamedCOSInfo null name", [&] { return quorex_GetNamedCOSInfo(nullptr, &ne); }, -14},
        {"GetNamedCOSInfo null entry", [&] { return quorex_GetNamedCOSInfo("fast", nullptr); },
         -14},
        {"FileSetCOS null path", [&] { return quor_FileSetCOS(nullptr, 1, 0); }, -14},
        {"FileSetCOS empty path", [&] { return quor_FileSetCOS("", 1, 0); }, -2},
        {"FilesetGetAttributes null attrs",
         [&] { return quor_FilesetGetAttributes("fs1", nullptr, nullptr, nullptr, 0, nullptr); },
         -14},
        {"FilesetGetAttributes two selectors",
         [&] { return quor_FilesetGetAttributes("fs1", &id, nullptr, nullptr, 0, &fa); }, -22},
        {"FilesetGetAttributes no selector",
         [&] { return quor_FilesetGetAttributes(nullptr, nullptr, nullptr, nullptr, 0, &fa); },
         -22},
        {"FilesetGetAttributes 128-character name",
         [&] {
           return quor_FilesetGetAttributes(tooLong.c_str(), nullptr, nullptr, nullptr, 0, &fa);
         },
         -86},
        {"FilesetGetAttributes long name and an id",
         [&] { return quor_FilesetGetAttributes(tooLong.c_str(), &id, nullptr, nullptr, 0, &fa); },
         -22},
        {"FilesetListAll null end", [&] { return quor_FilesetListAll(0, 2, nullptr, &off, fs); },
         -14},
        {"FilesetListAll null offset", [&] { return quor_FilesetListAll(0, 2, &end, nullptr, fs); },
         -14},
        {"FilesetListAll null array",
         [&] { return quor_FilesetListAll(0, 2, &end, &off, nullptr); }, -14},
        {"GetJunctions null end", [&] { return quor_GetJunctions(1, 0, 2, nullptr, &off, js); },
         -14},
        {"GetJunctions null offset", [&] { return quor_GetJunctions(1, 0, 2, &end, nullptr, js); },
         -14},
        {"GetJunctions null array", [&] { return quor_GetJunctions(1, 0, 2, &end, &off, nullptr); },
         -14},
        {"GetSubSysStats null", [&] { return quor_GetSubSysStats(1, nullptr); }, -14},
        {"GetSiteInfo null", [&] { return quorex_GetSiteInfo(nullptr); }, -14},
        {"GetMotd null length", [&] { return quorex_GetMotd(0, nullptr, &text); }, -14},
        {"GetMotd null text", [&] { return quorex_GetMotd(0, &ucount, nullptr); }, -14},
        {"ConfGetXferConcurrency null count",
         [&] { return quorex_ConfGetXferConcurrency(nullptr, &xt); }, -14},
        {"ConfGetXferConcurrency null table",
         [&] { return quorex_ConfGetXferConcurrency(&count, nullptr); }, -14},
    };
    for (const Refusal& t : table) {
      int rc = t.call();
      if (rc != t.expect) {
        fprintf(stderr, "CHECK FAILED %s: %d, wanted %d\n", t.what, rc, t.expect);
        failures++;
      }
    }
    quor_site_info_t s;
    CHILD_EQ(failures, quorex_GetSiteInfo(&s), 0);
    return failures;
  });
  EXPECT_EQ(r.status, 0) << r.stderrText;
  auto j = gw.journalLines();
  EXPECT_EQ(countLines(j, "cat=0x0800"), 0);
  EXPECT_EQ(countLines(j, "cat=0x0100 fn=0x0002"), 0);
  for (const char* fn : {"fn=0x060f", "fn=0x0607", "fn=0x0608", "fn=0x0708", "fn=0x0704"})
    EXPECT_EQ(countLines(j, std::string("cat=0x0500 ") + fn), 0) << fn;
  EXPECT_NE(lineWith(j, "cat=0x0200 fn=0x0104"), "");  // it did log in
}
