// The identity calls against gwsim: accounts and their names, the current
// group, id and name conversions, the password entry, group list and home
// directories, su and sudo; argument checks that send nothing, names too
// long for their fields, and replies that carry more or fewer items than
// asked.
#include <errno.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>

#include <string>
#include <vector>

#include "client_env.h"
#include "client_process.h"
#include "gwsim_config.h"
#include "gwsim_fixture.h"
#include "journal_text.h"
#include "pty_process.h"
#include "quor_api.h"
#include "quor_api_internal.h"

namespace {

const std::string kName128(128, 'n');
const std::string kName127(127, 'm');

std::string identityConfig(const std::string& extraLines = "") {
  GwsimConfig c;
  c.server().set("realm_id", 9).set("Root", "@DIR@/ns").set("SuPolicy", "allow")
      .set("SudoPolicy", "allow");
  c.user("alice", "wonderland").set("Uid", 1001).set("Gid", 100).set("Groups", "100 200 300")
      .set("Accounts", "7 8 12 21").set("Home", "/home/alice").set("Gecos", "Alice Liddell")
      .set("Shell", "/bin/ozsh");
  c.user("bob", "builder").set("Uid", 1002).set("Gid", 200).set("Home", "/home/bob")
      .set("SuPolicy", "challenge").set("SudoPolicy", "deny");
  c.group("staff", 100);
  c.group("wheel", 200);
  c.account("research", 7);
  c.account("teaching", 8);
  c.account(kName128, 20);
  c.account(kName127, 21);
  c.section("Identity").set("Realm", "EXAMPLE.ORG").lines(extraLines);
  c.file("/f1").set("Type", "file").set("Uid", 1001).set("Gid", 100).set("Account", 7);
  c.file("/bobs").set("Type", "file").set("Uid", 1002).set("Gid", 200).set("Account", 7);
  return c.text();
}

api_namespec_t oneName(namespec_type_t type, uint32_t id, const char* name) {
  api_namespec_t s;
  memset(&s, 0, sizeof s);
  s.Type = type;
  s.Id = id;
  strncpy(s.Name, name, sizeof s.Name - 1);
  return s;
}

}  // namespace

// Default and current account, their names, changing the current one by
// code and by name, the list of the user's accounts.
TEST(Identity, Accounts) {
  GwsimFixture gw(identityConfig());
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  ChildResult r = runInChild([&] {
    int failures = 0;
    clientEnvAs(gw, "alice", "wonderland");
    acct_rec_t def = 0, cur = 0;
    char name[129];
    CHILD_CHECK(failures, quor_GetAcct(&def, &cur) == 0 && def == 7 && cur == 7);
    CHILD_CHECK(failures, quor_GetAcctName(name) == 0 && strcmp(name, "research") == 0);
    CHILD_CHECK(failures, quor_SetAcct(8) == 0);
    CHILD_CHECK(failures, quor_GetAcct(&def, &cur) == 0 && def == 7 && cur == 8);
    CHILD_CHECK(failures, quor_GetAcctName(name) == 0 && strcmp(name, "teaching") == 0);
    CHILD_CHECK(failures, quor_SetAcct(20) == -22);  // named, but not alice's
    CHILD_CHECK(failures, quor_SetAcctByName("nosuch") == -2);
    CHILD_CHECK(failures, quor_SetAcctByName("research") == 0);
    CHILD_CHECK(failures, quor_GetAcct(&def, &cur) == 0 && cur == 7);
    // An account without a name.
    CHILD_CHECK(failures, quor_SetAcct(12) == 0);
    CHILD_CHECK(failures, quor_GetAcctName(name) == -2);

    quor_id_t site = 0;
    memset(name, 'z', sizeof name);
    CHILD_CHECK(failures, quor_AcctCodeToName(8, &site, name) == 0);
    CHILD_CHECK(failures, strcmp(name, "teaching") == 0 && site == 9);
    site = 4;
    CHILD_CHECK(failures, quor_AcctCodeToName(7, &site, name) == 0 && site == 4);
    CHILD_CHECK(failures, quor_AcctCodeToName(7, nullptr, name) == 0);
    CHILD_CHECK(failures, strcmp(name, "research") == 0);
    CHILD_CHECK(failures, quor_AcctCodeToName(12, nullptr, name) == -2);
    acct_rec_t code = 0;
    CHILD_CHECK(failures, quor_AcctNameToCode("teaching", nullptr, &code) == 0 && code == 8);
    site = 0;
    CHILD_CHECK(failures, quor_AcctNameToCode("research", &site, &code) == 0);
    CHILD_CHECK(failures, code == 7 && site == 9);
    CHILD_CHECK(failures, quor_AcctNameToCode("nosuch", nullptr, &code) == -2);

    int count = -1;
    acct_list_t* list = nullptr;
    CHILD_CHECK(failures, quorex_GetAcctList(&count, &list) == 0 && count == 4 && list);
    if (list && count == 4) {
      CHILD_CHECK(failures, list[0].accountId == 7 && strcmp(list[0].acctName, "research") == 0);
      CHILD_CHECK(failures, list[1].accountId == 8 && strcmp(list[1].acctName, "teaching") == 0);
      CHILD_CHECK(failures, list[2].accountId == 12 && list[2].acctName[0] == '\0');
      CHILD_CHECK(failures, list[3].accountId == 21 && list[3].acctName == kName127);
    }
    free(list);
    return failures;
  });
  EXPECT_EQ(r.status, 0) << r.stderrText;
  auto j = gw.journalLines();
  // A null Site sends site 0.
  EXPECT_EQ(countLines(j, "fn=0x0101 id="), 4);
  EXPECT_EQ(countLines(j, "acct=7 site=0"), 1);
  EXPECT_EQ(countLines(j, "acct=7 site=4"), 1);
}

// A user without accounts: the list is refused with -5006 and both
// accounts read 0.
TEST(Identity, UserWithoutAccounts) {
  GwsimFixture gw(identityConfig());
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  ChildResult r = runInChild([&] {
    int failures = 0;
    clientEnvAs(gw, "bob", "builder");
    int count = -1;
    acct_list_t* list = nullptr;
    CHILD_CHECK(failures, quorex_GetAcctList(&count, &list) == -5006);
    CHILD_CHECK(failures, count == -1 && list == nullptr);
    acct_rec_t def = 5, cur = 5;
    CHILD_CHECK(failures, quor_GetAcct(&def, &cur) == 0 && def == 0 && cur == 0);
    return failures;
  });
  EXPECT_EQ(r.status, 0) << r.stderrText;
}

// Account names at the edge of their fields: 128 characters fit the
// conversion's field, 127 the SetAcctByName string; one more is -86 with
// nothing sent rather than a cut name naming another account.
TEST(Identity, AccountNameLengths) {
  GwsimFixture gw(identityConfig());
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  ChildResult r = runInChild([&] {
    int failures = 0;
    clientEnvAs(gw, "alice", "wonderland");
    acct_rec_t code = 0;
    CHILD_CHECK(failures, quor_AcctNameToCode(kName128.c_str(), nullptr, &code) == 0);
    CHILD_CHECK(failures, code == 20);
    code = 0;
    CHILD_CHECK(failures, quor_AcctNameToCode((kName128 + "x").c_str(), nullptr, &code) == -86);
    CHILD_CHECK(failures, code == 0);
    CHILD_CHECK(failures, quor_SetAcctByName(kName127.c_str()) == 0);
    acct_rec_t def = 0, cur = 0;
    CHILD_CHECK(failures, quor_GetAcct(&def, &cur) == 0 && cur == 21);
    CHILD_CHECK(failures, quor_SetAcctByName(kName128.c_str()) == -86);
    char name[129];
    CHILD_CHECK(failures, quor_AcctCodeToName(20, nullptr, name) == 0 && name == kName128);
    return failures;
  });
  EXPECT_EQ(r.status, 0) << r.stderrText;
  auto j = gw.journalLines();
  EXPECT_EQ(countLines(j, "fn=0x0102 id="), 1);
  EXPECT_EQ(countLines(j, "namelen=128 "), 1);
  EXPECT_EQ(countLines(j, "fn=0x1303 id="), 1);
}

// Null outputs and empty or out-of-range arguments: refused before
// anything is sent.
TEST(Identity, ArgumentChecksSendNothing) {
  GwsimFixture gw(identityConfig());
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  ChildResult r = runInChild([&] {
    int failures = 0;
    clientEnvAs(gw, "alice", "wonderland");
    acct_rec_t a = 0;
    int count = 0;
    acct_list_t* list = nullptr;
    api_namespec_t s = oneName(NS_NAMESPEC_USER, 1001, "");
    const std::string longRunas(385, 'r');
    struct Case {
      const char* what;
      int got;
      int want;
    } cases[] = {
        {"AcctCodeToName", quor_AcctCodeToName(7, nullptr, nullptr), -14},
        {"AcctNameToCode name", quor_AcctNameToCode(nullptr, nullptr, &a), -14},
        {"AcctNameToCode code", quor_AcctNameToCode("research", nullptr, nullptr), -14},
        {"Chacct null", quor_Chacct(nullptr, 7), -14},
        {"Chacct empty", quor_Chacct("", 7), -2},
        {"GetAcct def", quor_GetAcct(nullptr, &a), -14},
        {"GetAcct cur", quor_GetAcct(&a, nullptr), -14},
        {"GetAcctList count", quorex_GetAcctList(nullptr, &list), -14},
        {"GetAcctList list", quorex_GetAcctList(&count, nullptr), -14},
        {"GetAcctName", quor_GetAcctName(nullptr), -14},
        {"SetAcctByName", quor_SetAcctByName(nullptr), -14},
        {"ConvertIdsToNames 0 null", quor_ConvertIdsToNames(0, nullptr), -14},
        {"ConvertIdsToNames 0", quor_ConvertIdsToNames(0, &s), -22},
        {"ConvertNamesToIds -1", quor_ConvertNamesToIds(-1, &s), -22},
        {"ConvertNamesToIds null", quor_ConvertNamesToIds(1, nullptr), -14},
        {"GetGroupList", quor_GetGroupList(nullptr), -14},
        {"SuInit runas null", quor_SuInit(0, 0, "alice", nullptr, nullptr), -14},
        {"SuInit runas 385", quor_SuInit(1, 0, "alice", longRunas.c_str(), "ls"), -86},
    };
    for (const Case& c : cases) {
      if (c.got != c.want) fprintf(stderr, "%s: %d, want %d\n", c.what, c.got, c.want);
      CHILD_CHECK(failures, c.got == c.want);
    }
    errno = 0;
    CHILD_CHECK(failures, quor_LookupHomeDir(nullptr) == nullptr && errno == 14);
    errno = 0;
    CHILD_CHECK(failures, quor_LookupHomeDir("") == nullptr && errno == 2);
    errno = 0;
    CHILD_CHECK(failures,
                quor_LookupHomeDir(std::string(129, 'p').c_str()) == nullptr && errno == -86);
    return failures;
  });
  EXPECT_EQ(r.status, 0) << r.stderrText;
  // Only the log-in reached the gateway.
  for (const std::string& l : gw.journalLines()) {
    EXPECT_EQ(l.find("cat=0x0500"), std::string::npos) << l;
    EXPECT_EQ(l.find("cat=0x0600"), std::string::npos) << l;
    EXPECT_EQ(l.find("fn=0x0110"), std::string::npos) << l;
    EXPECT_EQ(l.find("fn=0x0112"), std::string::npos) << l;
  }
}

// The current group: the user's own groups are accepted and show in the
// password entry; another is -22.
TEST(Identity, SetGIDAndPasswordEntry) {
  GwsimFixture gw(identityConfig());
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  ChildResult r = runInChild([&] {
    int failures = 0;
    clientEnvAs(gw, "alice", "wonderland");
    struct passwd* pw = quor_GetPwent();
    CHILD_CHECK(failures, pw != nullptr);
    if (!pw) return failures;
    CHILD_CHECK(failures, strcmp(pw->pw_name, "alice") == 0 && pw->pw_uid == 1001);
    CHILD_CHECK(failures, pw->pw_gid == 100 && strcmp(pw->pw_gecos, "Alice Liddell") == 0);
    CHILD_CHECK(failures, strcmp(pw->pw_dir, "/home/alice") == 0);
    CHILD_CHECK(failures, strcmp(pw->pw_shell, "/bin/ozsh") == 0);
    CHILD_CHECK(failures, quor_SetGID(300) == 0);  // a group without a name is still one
    CHILD_CHECK(failures, quor_SetGID(200) == 0);
    errno = 1234;
    CHILD_CHECK(failures, quor_SetGID(555) == -22 && errno == 1234);
    struct passwd* again = quor_GetPwent();
    CHILD_CHECK(failures, again == pw && pw->pw_gid == 200);

    int32_t* groups = nullptr;
    int n = quor_GetGroupList(&groups);
    CHILD_CHECK(failures, n == 3 && groups != nullptr);
    if (n == 3 && groups)
      CHILD_CHECK(failures, groups[0] == 100 && groups[1] == 200 && groups[2] == 300);
    free(groups);

    char* home = quor_LookupHomeDir("bob");
    CHILD_CHECK(failures, home && strcmp(home, "/home/bob") == 0);
    free(home);
    errno = 0;
    CHILD_CHECK(failures, quor_LookupHomeDir("nobody") == nullptr && errno == -2);
    return failures;
  });
  EXPECT_EQ(r.status, 0) << r.stderrText;
  auto j = gw.journalLines();
  EXPECT_EQ(countLines(j, "cat=0x0500 fn=0x130d id="), 3);
  EXPECT_EQ(countLines(j, " gid=555"), 1);
  EXPECT_EQ(countLines(j, "cat=0x0600 fn=0x0100 id="), 2);
}

// Without a gateway the failures come through errno as well.
TEST(Identity, StartUpFailuresThroughErrno) {
  GwsimFixture gw(identityConfig());
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  gw.stop();
  ChildResult r = runInChild([&] {
    int failures = 0;
    clientEnvAs(gw, "alice", "wonderland");
    errno = 0;
    CHILD_CHECK(failures, quor_SetGID(100) == -1 && errno == -50);
    int first = errno;
    errno = 0;
    CHILD_CHECK(failures, quor_GetPwent() == nullptr && errno == first);
    errno = 0;
    // Start-up comes before the name is looked at.
    CHILD_CHECK(failures, quor_LookupHomeDir(nullptr) == nullptr && errno == first);
    return failures;
  });
  EXPECT_EQ(r.status, 0) << r.stderrText;
}

// Conversions both ways, each kind of item, and an unknown id or name.
TEST(Identity, Conversions) {
  GwsimFixture gw(identityConfig());
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  ChildResult r = runInChild([&] {
    int failures = 0;
    clientEnvAs(gw, "alice", "wonderland");
    api_namespec_t ids[4] = {oneName(NS_NAMESPEC_USER, 1002, ""), oneName(NS_NAMESPEC_GROUP, 200, ""),
                             oneName(NS_NAMESPEC_REALM, 0, ""), oneName(NS_NAMESPEC_SKIP, 77, "keep")};
    ids[2].RealmId = 9;
    CHILD_CHECK(failures, quor_ConvertIdsToNames(4, ids) == 0);
    CHILD_CHECK(failures, strcmp(ids[0].Name, "bob") == 0 && ids[0].Id == 1002);
    CHILD_CHECK(failures, strcmp(ids[0].RealmName, "EXAMPLE.ORG") == 0 && ids[0].RealmId == 9);
    CHILD_CHECK(failures, strcmp(ids[1].Name, "wheel") == 0);
    CHILD_CHECK(failures, strcmp(ids[2].RealmName, "EXAMPLE.ORG") == 0);
    CHILD_CHECK(failures, ids[3].Id == 77 && strcmp(ids[3].Name, "keep") == 0);

    api_namespec_t names[2] = {oneName(NS_NAMESPEC_USER, 0, "alice"),
                               oneName(NS_NAMESPEC_GROUP, 0, "staff")};
    CHILD_CHECK(failures, quor_ConvertNamesToIds(2, names) == 0);
    CHILD_CHECK(failures, names[0].Id == 1001 && names[1].Id == 100);

    // Ids without names, and a name nobody has: the caller's items stay.
    struct Case {
      api_namespec_t item;
      bool toNames;
    } unknown[] = {{oneName(NS_NAMESPEC_USER, 4242, "was"), true},
                   {oneName(NS_NAMESPEC_GROUP, 300, "was"), true},
                   {oneName(NS_NAMESPEC_GROUP, 0, "nogroup"), false}};
    for (Case& c : unknown) {
      api_namespec_t before = c.item;
      int rc = c.toNames ? quor_ConvertIdsToNames(1, &c.item) : quor_ConvertNamesToIds(1, &c.item);
      CHILD_CHECK(failures, rc == -2);
      CHILD_CHECK(failures, memcmp(&before, &c.item, sizeof before) == 0);
    }
    return failures;
  });
  EXPECT_EQ(r.status, 0) << r.stderrText;
  auto j = gw.journalLines();
  EXPECT_EQ(countLines(j, "fn=0x030a id="), 3);
  EXPECT_EQ(countLines(j, "fn=0x030b id="), 2);
  EXPECT_EQ(countLines(j, " n=4"), 1);
}

// Replies with more items than asked never write past the caller's array;
// fewer are copied as far as they go and counted.
TEST(Identity, ConversionReplyCounts) {
  struct Case {
    int skew;
    int asked;
    int want;    // result
    int copied;  // items overwritten
  } cases[] = {{2, 2, 0, 2}, {-1, 3, 2, 2}, {-2, 2, -5000, 0}};
  for (const Case& c : cases) {
    SCOPED_TRACE("skew " + std::to_string(c.skew));
    GwsimFixture gw(identityConfig("  ConvertSkew = " + std::to_string(c.skew)));
    ASSERT_TRUE(gw.running()) << gw.stderrText();
    ChildResult r = runInChild([&] {
      int failures = 0;
      clientEnvAs(gw, "alice", "wonderland");
      // The asked items, then two guards that must never change.
      std::vector<api_namespec_t> a(size_t(c.asked) + 2);
      for (size_t i = 0; i < a.size(); i++) a[i] = oneName(NS_NAMESPEC_USER, 1001, "guard");
      std::vector<api_namespec_t> before = a;
      int rc = quor_ConvertIdsToNames(c.asked, a.data());
      if (rc != c.want) fprintf(stderr, "result %d\n", rc);
      CHILD_CHECK(failures, rc == c.want);
      for (size_t i = 0; i < a.size(); i++) {
        bool changed = memcmp(&a[i], &before[i], sizeof a[i]) != 0;
        CHILD_CHECK(failures, changed == (int(i) < c.copied));
        if (int(i) < c.copied) CHILD_CHECK(failures, strcmp(a[i].Name, "alice") == 0);
      }
      return failures;
    });
    EXPECT_EQ(r.status, 0) << r.stderrText;
  }
}

// Chacct works on namespace objects the user owns, with accounts the user
// may charge; the object then carries the new account.
TEST(Identity, Chacct) {
  GwsimFixture gw(identityConfig());
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  ChildResult r = runInChild([&] {
    int failures = 0;
    clientEnvAs(gw, "alice", "wonderland");
    CHILD_CHECK(failures, quor_Chacct("/f1", 8) == 0);
    quor_fileattr_t attrs;
    memset(&attrs, 0, sizeof attrs);
    CHILD_CHECK(failures, quor_FileGetAttributes("/f1", &attrs) == 0);
    CHILD_CHECK(failures, attrs.Attrs.Account == 8);
    CHILD_CHECK(failures, quor_Chacct("/f1", 20) == -22);
    CHILD_CHECK(failures, quor_Chacct("/bobs", 8) == -1);
    CHILD_CHECK(failures, quor_Chacct("/missing", 8) == -2);
    CHILD_CHECK(failures, quor_Chacct(("/" + std::string(1024, 'p')).c_str(), 8) == -86);
    memset(&attrs, 0, sizeof attrs);
    CHILD_CHECK(failures, quor_FileGetAttributes("/bobs", &attrs) == 0);
    CHILD_CHECK(failures, attrs.Attrs.Account == 7);
    return failures;
  });
  EXPECT_EQ(r.status, 0) << r.stderrText;
  EXPECT_EQ(countLines(gw.journalLines(), "cat=0x0500 fn=0x0300"), 4);
}

// su and sudo with the gateway's consent: su opens no sudo session; sudo
// opens one, which only an end with the flag closes, even when that message
// cannot go out; a refused start leaves it closed.
TEST(Identity, SuAndSudoAllowed) {
  GwsimFixture gw(identityConfig());
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  ChildResult r = runInChild([&] {
    int failures = 0;
    clientEnvAs(gw, "alice", "wonderland");
    quor_connection_t* c = nullptr;
    CHILD_CHECK(failures, quor_SuInit(1, 0, "alice", "bob", "ls -l") == 0);
    c = qelapi_getCurConnection();
    CHILD_CHECK(failures, c != nullptr && c->sudo_active == 1);
    if (!c) return failures;
    CHILD_CHECK(failures, quor_SudoCmdEnd(0) == 0 && c->sudo_active == 1);
    CHILD_CHECK(failures, quor_SudoCmdEnd(1) == 0 && c->sudo_active == 0);

    CHILD_CHECK(failures, quor_SuInit(0, 0, "alice", "bob", nullptr) == 0);
    CHILD_CHECK(failures, c->sudo_active == 0);
    // After su the connection acts as the target.
    struct passwd* pw = quor_GetPwent();
    CHILD_CHECK(failures, pw != nullptr && strcmp(pw->pw_name, "bob") == 0);
    CHILD_CHECK(failures, quor_SuInit(1, 0, "alice", "nosuch", "ls") == -2);
    CHILD_CHECK(failures, c->sudo_active == 0);

    c->sudo_active = 1;
    shutdown(c->ctl_fd, SHUT_RDWR);
    CHILD_CHECK(failures, quor_SudoCmdEnd(1) < 0);
    CHILD_CHECK(failures, c->sudo_active == 0);
    return failures;
  });
  EXPECT_EQ(r.status, 0) << r.stderrText;
  auto j = gw.journalLines();
  EXPECT_EQ(countLines(j, "fn=0x0112 id="), 2);
  EXPECT_EQ(countLines(j, "runas=nosuch cmd=ls"), 1);
  EXPECT_EQ(countLines(j, "runas=bob cmd=ls -l"), 1);
  EXPECT_EQ(countLines(j, "end_session=0"), 1);
  EXPECT_EQ(countLines(j, "end_session=1"), 1);
  EXPECT_EQ(countLines(j, "fn=0x0110 id="), 1);
}

// su to a user whose password the gateway wants: asked on the terminal for
// the target (again after a wrong answer), and granted.
TEST(Identity, SuWithChallenge) {
  GwsimFixture gw(identityConfig());
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  // alice's su goes by the server's policy (allow); bob's own is challenge,
  // so su from bob to alice asks for alice's password.
  PtyProcess p([&] {
    int failures = 0;
    clientEnvAs(gw, "bob", "builder");
    int rc = quor_SuInit(0, 0, "bob", "alice", nullptr);
    if (rc != 0) fprintf(stderr, "su returned %d\n", rc);
    CHILD_CHECK(failures, rc == 0);
    quor_connection_t* c = qelapi_getCurConnection();
    CHILD_CHECK(failures, c && c->sudo_active == 0);
    return failures;
  });
  ASSERT_TRUE(p.started());
  ASSERT_TRUE(p.waitFor("[alice]Password: ")) << p.screen;
  p.type("looking-glass\n");
  ASSERT_TRUE(p.waitFor("[alice]Password: ")) << p.screen;
  p.type("wonderland\n");
  EXPECT_EQ(p.finish(), 0) << p.errText;
  EXPECT_EQ(p.screen.find("wonderland"), std::string::npos);
  auto j = gw.journalLines();
  EXPECT_EQ(countLines(j, "runas=alice"), 1);
  EXPECT_EQ(countLines(j, "for=su"), 2);
}
