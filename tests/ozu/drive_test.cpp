// Drive letters: which letter a new connection gets when connections and
// site stanzas hold some, and the prefix forms.
#include <gtest/gtest.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

#include "ozu_context.h"
#include "ozu_drive.h"
#include "ozurc.h"
#include "ozuvars.h"

namespace {

// Connections and stanzas of our own, the program's lists restored after.
class Letters : public ::testing::Test {
 protected:
  void SetUp() override
  {
    savedConnections = ozu_connectList;
    savedSites = siteList;
    savedDefault = globalDefs.defaultDrive;
    ozu_connectList = nullptr;
    siteList = nullptr;
    globalDefs.defaultDrive = 0;
  }
  void TearDown() override
  {
    ozu_connectList = savedConnections;
    siteList = savedSites;
    globalDefs.defaultDrive = savedDefault;
  }
  void connections(const std::string &letters)
  {
    ctx.assign(letters.size(), ozu_context_t{});
    for (size_t i = 0; i < letters.size(); ++i) {
      ctx[i].handle = int(i) + 1;
      ctx[i].driveLetter = letters[i];
      ctx[i].next = i + 1 < letters.size() ? &ctx[i + 1] : nullptr;
    }
    ozu_connectList = ctx.empty() ? nullptr : &ctx[0];
  }
  void stanzas(const std::string &letters)
  {
    site.assign(letters.size(), site_connection_t{});
    for (size_t i = 0; i < letters.size(); ++i) {
      site[i].drive = letters[i];
      site[i].next = i + 1 < letters.size() ? &site[i + 1] : nullptr;
    }
    siteList = site.empty() ? nullptr : &site[0];
  }
  std::vector<ozu_context_t> ctx;
  std::vector<site_connection_t> site;
  ozu_context_t *savedConnections = nullptr;
  site_connection_t *savedSites = nullptr;
  char savedDefault = 0;
};

TEST_F(Letters, AssignmentSkipsReservedLettersAndFallsBackFromZ)
{
  std::string all = "ABCDEFGHIJKLMNOPQRSTUVWXYZ";
  struct Case {
    std::string used, reserved;
    char defaultDrive, want;
  } cases[] = {
      {"", "", 0, 'A'},
      {"AB", "CZ", 0, 'D'},
      {"AB", "", 'C', 'D'},                      // the first connection's letter is held too
      {"BA", "", 0, 'C'},                        // order of the list does not matter
      {"ab", "c", 0, 'D'},                       // compared in upper case
      {"AB", std::string("\0D", 2), 0, 'C'},     // a stanza without a letter holds none
      {all.substr(0, 24), all.substr(24), 0, 'Z'},  // reserved only by stanzas: from Z down
      {all.substr(0, 24), "Y", 'Z', 'Z'},
      {all.substr(0, 25), "", 'Z', 'Z'},
      {all, "", 0, 0},
  };
  for (const Case &c : cases) {
    connections(c.used);
    stanzas(c.reserved);
    globalDefs.defaultDrive = c.defaultDrive;
    EXPECT_EQ(ozu_AssignDriveLetter(), c.want)
        << "used " << c.used << ", stanzas " << c.reserved << ", default " << c.defaultDrive;
  }
}

TEST_F(Letters, PrefixesAndLookups)
{
  connections("AB");
  EXPECT_EQ(ozu_GetDriveLetter("b:"), 'B');
  EXPECT_EQ(ozu_GetDriveLetter("b"), 0) << "a prefix needs the colon";
  EXPECT_EQ(ozu_GetDriveLetter("1:"), 0);
  EXPECT_EQ(ozu_GetDriveLetter(nullptr), 0);
  char text[] = "b:/x/y";
  int len = -1;
  EXPECT_STREQ(ozu_CheckDrivePrefix(text, &len), "/x/y");
  EXPECT_EQ(len, 2);
  char plain[] = "/x";
  EXPECT_EQ(ozu_CheckDrivePrefix(plain, &len), nullptr);
  EXPECT_EQ(len, 0);
  ASSERT_NE(ozu_LookupContextByDrive("b:"), nullptr);
  EXPECT_EQ(ozu_LookupContextByDrive("b:")->handle, 2);
  EXPECT_EQ(ozu_LookupContextByDrive("c:"), nullptr);
  char letter = 'x';
  EXPECT_EQ(ozu_LookupDriveForContext(1, &letter), 0);
  EXPECT_EQ(letter, 'A');
  EXPECT_EQ(ozu_LookupDriveForContext(9, &letter), -1);
  EXPECT_EQ(letter, 0);
}

TEST(DriveWords, OneLetterWithAnOptionalColon)
{
  struct {
    const char *word;
    int letter;
  } cases[] = {{"b", 'B'}, {"B:", 'B'}, {"z:", 'Z'}, {"b::", 0}, {"bc", 0},
               {"b:x", 0}, {"1", 0},    {":", 0},    {"", 0}};
  for (const auto &c : cases)
    EXPECT_EQ(ozu_DriveLetterWord(c.word), c.letter) << c.word;
}

// With the user's own rc file naming exactly one host of a stanza, that
// host is taken; with several, one of them; else any, by the clock.
TEST(SiteHosts, TheUsersOwnHostIsPreferred)
{
  struct {
    std::vector<int> own;  // userRcFile of each host
    std::vector<int> allowed;
  } cases[] = {
      {{0}, {0}},
      {{1}, {0}},
      {{0, 0, 1}, {2}},
      {{0, 1, 0, 1}, {1, 3}},
      {{0, 0, 0}, {0, 1, 2}},
  };
  for (const auto &c : cases) {
    std::vector<rc_host_info_t> hosts(c.own.size(), rc_host_info_t{});
    for (size_t i = 0; i < c.own.size(); ++i)
      hosts[i].userRcFile = c.own[i];
    site_connection_t site{};
    site.hostList = hosts.data();
    site.hostListCount = int(hosts.size());
    site.hostSelectInx = -1;
    int inx = ozu_RcChooseHost(&site);
    EXPECT_NE(std::find(c.allowed.begin(), c.allowed.end(), inx), c.allowed.end())
        << c.own.size() << " hosts, took " << inx;
    EXPECT_EQ(site.hostSelectInx, inx);
  }
}

}  // namespace
