// The pieces of the namespace commands that need no gateway: the mode and
// time fields of a long line, the column layout, the sorted node lists and
// their release, the listing cache, mode clauses and touch's time strings.
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <string>
#include <vector>

#include "ns_commands.h"
#include "ns_find.h"
#include "ns_list.h"
#include "ns_modes.h"
#include "ns_times.h"
#include "ns_usage.h"
#include "ozuvars.h"

namespace {

struct FixedZone {
  FixedZone()
  {
    const char *tz = getenv("TZ");
    saved = tz ? tz : "";
    had = tz != nullptr;
    setenv("TZ", "UTC", 1);
    tzset();
  }
  ~FixedZone()
  {
    if (had)
      setenv("TZ", saved.c_str(), 1);
    else
      unsetenv("TZ");
    tzset();
  }
  std::string saved;
  bool had;
};

// Captures what a function writes to the listing output.
struct ListingCapture {
  ListingCapture()
  {
    saved = listF;
    mem = open_memstream(&buf, &len);
    listF = mem;
  }
  ~ListingCapture()
  {
    listF = saved;
    fclose(mem);
    free(buf);
  }
  std::string text()
  {
    fflush(mem);
    return std::string(buf, len);
  }
  FILE *saved;
  FILE *mem;
  char *buf = nullptr;
  size_t len = 0;
};

quor_Attrs_t permsOf(unsigned user, unsigned group, unsigned other, unsigned special)
{
  // Storage permission words: 0x20 read, 0x40 write, 0x80 execute (and for
  // the special word set-user-id, set-group-id, sticky).
  auto word = [](unsigned rwx) {
    return ((rwx & 4) ? 0x20u : 0) | ((rwx & 2) ? 0x40u : 0) | ((rwx & 1) ? 0x80u : 0);
  };
  quor_Attrs_t a;
  memset(&a, 0, sizeof a);
  a.UserPerms = word(user);
  a.GroupPerms = word(group);
  a.OtherPerms = word(other);
  a.ModePerms = word(special);
  return a;
}

TEST(LongLineFields, ModeLettersOfEveryTypeAndSpecialBit)
{
  const struct {
    unsigned type, user, group, other, special;
    const char *want;
  } cases[] = {
      {129, 6, 4, 4, 0, "-rw-r--r--"}, {132, 7, 5, 5, 0, "drwxr-xr-x"},
      {130, 7, 7, 7, 0, "lrwxrwxrwx"}, {131, 6, 0, 0, 0, "-rw-------"},
      {133, 7, 5, 5, 0, "Jrwxr-xr-x"}, {134, 7, 5, 5, 0, "Frwxr-xr-x"},
      {129, 7, 7, 7, 4, "-rwsrwxrwx"}, {129, 6, 6, 6, 4, "-rwSrw-rw-"},
      {129, 7, 7, 7, 2, "-rwxrwsrwx"}, {129, 6, 6, 6, 2, "-rw-rwSrw-"},
      {132, 7, 7, 7, 1, "drwxrwxrwt"}, {132, 7, 7, 6, 1, "drwxrwxrwT"},
      {129, 0, 0, 0, 7, "---S--S--T"}, {200, 4, 0, 0, 0, "-r--------"},
  };
  for (const auto &c : cases) {
    quor_Attrs_t a = permsOf(c.user, c.group, c.other, c.special);
    char out[11];
    ozu_LsModeField(c.type, &a, out);
    EXPECT_STREQ(out, c.want) << "type " << c.type;
  }
}

TEST(LongLineFields, TimeShowsTheYearBeyondHalfAYearAndInTheFuture)
{
  FixedZone utc;
  const time_t now = 1800000000;  // Fri Jan 15 08:00:00 2027 UTC, past 2038 below too
  const struct {
    long long when;
    int fullDate;
    const char *want;
  } cases[] = {
      {now, 0, "Jan 15 08:00 f"},
      {now - 15552000, 0, "Jul 19 08:00 f"},     // exactly 180 days: hours and minutes
      {now - 15552001, 0, "Jul 19  2026 f"},     // one second older: the year
      {now + 1, 0, "Jan 15  2027 f"},            // one second ahead: the year
      {now, 1, "Fri Jan 15 08:00:00 2027 f"},    // -D
      {4102444800LL, 0, "Jan  1  2100 f"},       // past 2038, in the future
      {0, 0, "Jan  1  1970 f"},
  };
  for (const auto &c : cases)
    EXPECT_EQ(ozu_LsTimeField(time_t(c.when), now, c.fullDate, "f"), c.want) << c.when;
  // Long after 2038 the age is still counted in 64 bits.
  EXPECT_EQ(ozu_LsTimeField(time_t(4102444800LL), time_t(4102444800LL + 60), 0, "g"),
            "Jan  1 00:00 g");
}

TEST(ColumnLayout, DownTheColumnsAcrossAndShort)
{
  using Rows = std::vector<std::vector<int>>;
  // 10 names in 4 columns: the columns hold 3, 3, 2, 2.
  EXPECT_EQ(ozu_ColumnRows(10, 4, false), (Rows{{0, 3, 6, 8}, {1, 4, 7, 9}, {2, 5}}));
  EXPECT_EQ(ozu_ColumnRows(10, 4, true), (Rows{{0, 1, 2, 3}, {4, 5, 6, 7}, {8, 9}}));
  EXPECT_EQ(ozu_ColumnRows(3, 4, false), (Rows{{0, 1, 2}}));
  EXPECT_EQ(ozu_ColumnRows(4, 1, false), (Rows{{0}, {1}, {2}, {3}}));
  EXPECT_EQ(ozu_ColumnRows(8, 4, false), (Rows{{0, 2, 4, 6}, {1, 3, 5, 7}}));
  EXPECT_TRUE(ozu_ColumnRows(0, 4, false).empty());
}

quorDNode *newNode(const char *name, int tag)
{
  quorDNode *n = static_cast<quorDNode *>(calloc(1, sizeof(quorDNode)));
  n->nodename = strdup(name);
  n->mode = tag;
  n->malloced = 1;
  return n;
}

std::vector<std::string> namesOf(const quorDNode *head)
{
  std::vector<std::string> out;
  const quorDNode *prev = nullptr;
  for (const quorDNode *n = head; n; prev = n, n = n->next) {
    EXPECT_EQ(n->prev, prev) << "backward link of " << n->nodename;
    out.push_back(n->nodename);
  }
  return out;
}

TEST(DirectoryNodes, ByteOrderWithEqualNamesInArrivalOrder)
{
  std::vector<quorDNode *> nodes;
  const char *names[] = {"b", "a", "\xc3\xa9", "B", "a", "_", "z", "a"};
  for (int i = 0; i < 8; ++i)
    nodes.push_back(newNode(names[i], i));
  quorDNode *head = ozu_LinkSortedDNodes(nodes);
  EXPECT_EQ(namesOf(head),
            (std::vector<std::string>{"B", "_", "a", "a", "a", "b", "z", "\xc3\xa9"}));
  // The three "a" keep the order they arrived in.
  std::vector<int> tags;
  for (quorDNode *n = head; n; n = n->next)
    if (strcmp(n->nodename, "a") == 0)
      tags.push_back(n->mode);
  EXPECT_EQ(tags, (std::vector<int>{1, 4, 7}));
  RealReleasequorDNodes(head);
}

TEST(DirectoryNodes, ReverseOrderedHundredThousandNamesSortAscending)
{
  const int n = 100000;
  quorDNode *block = static_cast<quorDNode *>(calloc(n, sizeof(quorDNode)));
  block[0].malloced = 1;
  std::vector<quorDNode *> nodes;
  for (int i = 0; i < n; ++i) {
    char name[16];
    snprintf(name, sizeof name, "f%06d", n - 1 - i);
    block[i].nodename = strdup(name);
    nodes.push_back(&block[i]);
  }
  quorDNode *head = ozu_LinkSortedDNodes(nodes);
  int count = 0;
  const quorDNode *prev = nullptr;
  for (const quorDNode *p = head; p; prev = p, p = p->next, ++count) {
    if (prev) {
      ASSERT_LT(strcmp(prev->nodename, p->nodename), 0);
    }
  }
  EXPECT_EQ(count, n);
  EXPECT_STREQ(head->nodename, "f000000");
  // The block's first node is now the last of the list: releasing must not
  // read the nodes after freeing the block (ASan watches).
  RealReleasequorDNodes(head);
}

TEST(DirectoryNodes, ReleaseOfBlocksWhoseStartIsListedFirst)
{
  // Two blocks whose nodes interleave, plus a node of its own, with each
  // block's first node ahead of its other nodes in the list.
  quorDNode *b1 = static_cast<quorDNode *>(calloc(3, sizeof(quorDNode)));
  quorDNode *b2 = static_cast<quorDNode *>(calloc(2, sizeof(quorDNode)));
  b1[0].malloced = b2[0].malloced = 1;
  const char *n1[] = {"a", "c", "e"}, *n2[] = {"b", "d"};
  std::vector<quorDNode *> nodes;
  for (int i = 0; i < 3; ++i) {
    b1[i].nodename = strdup(n1[i]);
    nodes.push_back(&b1[i]);
  }
  for (int i = 0; i < 2; ++i) {
    b2[i].nodename = strdup(n2[i]);
    nodes.push_back(&b2[i]);
  }
  nodes.push_back(newNode("f", 0));
  quorDNode *head = ozu_LinkSortedDNodes(nodes);
  EXPECT_EQ(namesOf(head), (std::vector<std::string>{"a", "b", "c", "d", "e", "f"}));
  RealReleasequorDNodes(head);
}

quorDNode *listOf(const char *name)
{
  std::vector<quorDNode *> v{newNode(name, 0)};
  return ozu_LinkSortedDNodes(v);
}

struct CacheOn {
  CacheOn()
  {
    listVoidCache();
    cacheFlag = 1;
  }
  ~CacheOn()
  {
    listVoidCache();
    cacheFlag = 0;
  }
};

TEST(ListingCache, FifteenEntriesTheOldestLeavesFirst)
{
  CacheOn on;
  for (int i = 0; i < 15; ++i)
    pushListCache(("/d" + std::to_string(i)).c_str(), 0, listOf("x"));
  EXPECT_EQ(listCacheCount(), 15);
  pushListCache("/d15", 0, listOf("y"));
  EXPECT_EQ(listCacheCount(), 15);
  EXPECT_EQ(listCacheLookup("/d0", 0), nullptr) << "the entry stored first left";
  ASSERT_NE(listCacheLookup("/d15", 0), nullptr);
  EXPECT_STREQ(listCacheLookup("/d15", 0)->nodename, "y");
  EXPECT_NE(listCacheLookup("/d1", 0), nullptr);
}

TEST(ListingCache, KeyedByDotNamesAndDroppedByPathOrWhenTurnedOff)
{
  CacheOn on;
  quorDNode *plain = listOf("a");
  pushListCache("/p", 0, plain);
  EXPECT_EQ(listCacheLookup("/p", 1), nullptr) << "a list without dot names never serves -a";
  EXPECT_EQ(listCacheLookup("/p", 0), plain);
  // The cache's lists are freed by the cache only.
  ReleasequorDNodes(plain);
  EXPECT_EQ(listCacheLookup("/p", 0), plain);
  pushListCache("/q", 1, listOf("b"));
  listVoidPath("/p/");
  EXPECT_EQ(listCacheLookup("/p", 0), nullptr);
  EXPECT_NE(listCacheLookup("/q", 1), nullptr);
  cacheFlag = 0;
  EXPECT_EQ(listCacheLookup("/q", 1), nullptr) << "not consulted while caching is off";
  pushListCache("/r", 0, nullptr);
  listVoidCache();
  EXPECT_EQ(listCacheCount(), 0);
}

int readMode(void *arg, int *mode)
{
  int *state = static_cast<int *>(arg);
  ++state[1];
  *mode = state[0];
  return 0;
}

TEST(ModeClauses, ParsedAndAppliedInOrder)
{
  const struct {
    const char *clauses;
    int current;
    int isDir;
    int want;       // -1: a clause is refused
    int reads;      // how often the object's mode was read
  } cases[] = {
      {"644", 0777, 0, 0644, 0},
      {"17777", 0, 0, 07777, 0},
      {"-w", 0644, 0, 0444, 1},
      {"a+x", 0644, 0, 0755, 1},
      {"+x", 0600, 0, 0711, 1},
      {"g=u", 0640, 0, 0660, 1},
      {"u=rw,g=u", 0750, 0, 0670, 1},         // g=u copies the user bits as they were
      {"u+s,g+s,+t", 0644, 0, 07644, 1},
      {"o+s", 0644, 0, 0644, 1},
      {"u=rw", 04755, 0, 0655, 1},             // u= clears set-user-id
      {"g=r", 02775, 0, 0745, 1},              // g= clears set-group-id
      {"o=r", 01777, 0, 0774, 1},              // o= clears the sticky bit
      {"a+X", 0644, 1, 0755, 1},
      {"a+X", 0644, 0, 0644, 1},
      {"a+X", 0744, 0, 0755, 1},
      {"755,g-x", 0600, 0, 0745, 0},           // after an octal clause: from its value
      {"u+x,600", 0644, 0, 0600, 1},
      {"u=rw,go=", 0644, 0, -1, 0},
      {"78", 0644, 0, -1, 0},
      {"8", 0644, 0, -1, 0},
      {"qu+x", 0644, 0, -1, 0},
      {"u+qx", 0644, 0, -1, 0},
      {"u=", 0644, 0, -1, 0},
      {"u+o", 0640, 0, -1, 0},                 // copy letters only with '='
      {"u=o", 0604, 0, 0404, 1},
  };
  for (const auto &c : cases) {
    releaseChmodOps();
    std::string all = c.clauses;
    bool parsed = true;
    for (size_t start = 0; parsed;) {
      size_t comma = all.find(',', start);
      std::string one = all.substr(start, comma == std::string::npos ? comma : comma - start);
      parsed = parseChmodOption(one.c_str()) == 0;
      if (comma == std::string::npos)
        break;
      start = comma + 1;
    }
    if (c.want < 0) {
      EXPECT_FALSE(parsed) << c.clauses;
      continue;
    }
    ASSERT_TRUE(parsed) << c.clauses;
    int state[2] = {c.current, 0};
    int mode = -1;
    ASSERT_EQ(ozu_ApplyModeClauses(chmodHead, c.isDir, readMode, state, &mode), 0);
    EXPECT_EQ(mode, c.want) << c.clauses << std::oct << " got 0" << mode;
    EXPECT_EQ(state[1], c.reads) << c.clauses;
  }
  releaseChmodOps();
}

TEST(TouchTimes, TimeStringsAndTheirMessages)
{
  FixedZone utc;
  ListingCapture out;
  time_t now = time(nullptr);
  struct tm tmv;
  gmtime_r(&now, &tmv);
  const int thisYear = tmv.tm_year + 1900;
  auto at = [](int y, int mo, int d, int h, int mi, int s) {
    struct tm t;
    memset(&t, 0, sizeof t);
    t.tm_year = y - 1900;
    t.tm_mon = mo - 1;
    t.tm_mday = d;
    t.tm_hour = h;
    t.tm_min = mi;
    t.tm_sec = s;
    return timegm(&t);
  };
  const struct {
    const char *text;
    long long want;  // -1: refused
    const char *message;
  } cases[] = {
      {"01021530", at(thisYear, 1, 2, 15, 30, 0), ""},
      {"2501021530.45", at(2025, 1, 2, 15, 30, 45), ""},
      {"202501021530", at(2025, 1, 2, 15, 30, 0), ""},
      {"00021530", at(thisYear, 1, 2, 15, 30, 0), ""},
      {"0102153.", -1, "*** Time string '0102153.' is too short - cannot convert MMDDhhmm\n"},
      {"7001021530", -1, "*** Bad value '2070' for 'year (YY)' in '7001021530'\n"},
      {"13011530", -1, "*** Bad value '13' for 'months (MM)' in '13011530'\n"},
      {"1530", -1, "*** Time string '1530' is too short - cannot convert MMDDhhmm\n"},
      {"123011530", -1, "*** Error converting year for '1' - must be 2 or 4 digits\n"},
      {"01x21530", -1, "*** Error converting time string '01x21530 - expected 'MMDDhhmm'\n"},
      {"01021530.61", -1, "*** Bad value '61' for 'seconds (.ss)' in '01021530.61'\n"},
      {"01021561", -1, "*** Bad value '61' for 'minutes (mm)' in '01021561'\n"},
      {"01022430", -1, "*** Bad value '24' for 'hours (hh)' in '01022430'\n"},
      {"01321530", -1, "*** Bad value '32' for 'day-of-month (DD)' in '01321530'\n"},
  };
  for (const auto &c : cases) {
    size_t before = out.text().size();
    time_t got = 0;
    int rc = parseTimeString(c.text, &got);
    std::string said = out.text().substr(before);
    if (c.want < 0) {
      EXPECT_EQ(rc, -1) << c.text;
    } else {
      EXPECT_EQ(rc, 0) << c.text;
      EXPECT_EQ(got, time_t(c.want)) << c.text;
    }
    EXPECT_EQ(said, c.message) << c.text;
  }
}

}  // namespace

namespace {

ns_DirEntry_t entryOf(const char *name, unsigned type, uint64_t size, int64_t written)
{
  ns_DirEntry_t e;
  memset(&e, 0, sizeof e);
  snprintf(e.Name, sizeof e.Name, "%s", name);
  e.Attrs.Type = type;
  e.Attrs.DataLength = size;
  e.Attrs.TimeLastWritten = timestamp_sec_t(written);
  e.Attrs.UserPerms = 0x20 | 0x40;
  e.Attrs.GroupPerms = 0x20;
  e.Attrs.OtherPerms = 0x20;
  return e;
}

bool holds(std::vector<std::string> words, ns_DirEntry_t e, int64_t now)
{
  std::vector<char *> argv;
  for (std::string &w : words)
    argv.push_back(w.data());
  std::vector<std::string> paths;
  EXPECT_EQ(findParse(int(argv.size()), argv.data(), now, &paths), 0) << words[1];
  int printed = 0;
  return testPredicates(&e, "/x/y", &printed) == 0;
}

TEST(FindPredicates, TimeSizeTypeAndPermissionRules)
{
  const int64_t day = 86400;
  const int64_t now = 4000000000LL;  // past 2038; times are unsigned 32-bit seconds
  const struct {
    std::vector<std::string> words;
    unsigned type;
    uint64_t size;
    int64_t written;
    bool want;
  } cases[] = {
      {{"/a", "-mtime", "-1"}, 129, 1, now - day + 1, true},
      {{"/a", "-mtime", "-1"}, 129, 1, now - day, false},
      {{"/a", "-mtime", "+1"}, 129, 1, now - 2 * day, true},
      {{"/a", "-mtime", "+1"}, 129, 1, now - 2 * day + 1, false},
      {{"/a", "-mtime", "1"}, 129, 1, now - day, true},
      {{"/a", "-mtime", "1"}, 129, 1, now - 2 * day, true},
      {{"/a", "-mtime", "1"}, 129, 1, now - 2 * day - 1, false},
      {{"/a", "-mtime", "0"}, 129, 1, now, true},
      // A day count far beyond the epoch: everything is newer, nothing older.
      {{"/a", "-mtime", "-100000"}, 129, 1, 10, true},
      {{"/a", "-mtime", "+100000"}, 129, 1, 10, false},
      {{"/a", "-mtime", "+99999999999"}, 129, 1, 10, false},
      {{"/a", "-size", "+0"}, 129, 1, 0, true},
      {{"/a", "-size", "+0"}, 129, 0, 0, false},
      {{"/a", "-size", "0"}, 129, 0, 0, true},
      {{"/a", "-size", "-10"}, 129, 9, 0, true},
      {{"/a", "-size", "-10"}, 129, 10, 0, false},
      {{"/a", "-size", "18446744073709551615"}, 129, UINT64_MAX, 0, true},
      {{"/a", "-size", "-18446744073709551615"}, 129, UINT64_MAX - 1, 0, true},
      {{"/a", "-type", "f"}, 131, 0, 0, true},
      {{"/a", "-type", "d"}, 132, 0, 0, true},
      {{"/a", "-type", "l"}, 133, 0, 0, true},
      {{"/a", "-type", "l"}, 130, 0, 0, true},
      {{"/a", "-type", "f"}, 130, 0, 0, false},
      {{"/a", "-perm", "644"}, 129, 0, 0, true},
      {{"/a", "-perm", "640"}, 129, 0, 0, false},
      {{"/a", "-name", "*.c"}, 129, 0, 0, false},
      {{"/a", "-nouser"}, 129, 0, 0, false},
      {{"/a", "-depth", "-print"}, 129, 0, 0, true},
  };
  for (const auto &c : cases) {
    ns_DirEntry_t e = entryOf("f.h", c.type, c.size, c.written);
    EXPECT_EQ(holds(c.words, e, now), c.want) << c.words[1] << " " << (c.words.size() > 2 ? c.words[2] : "");
  }
}

TEST(FindPredicates, ParseErrorsComeBeforeAnySearch)
{
  const struct {
    std::vector<std::string> words;
  } cases[] = {
      {{"-name", "x", "/a"}}, {{"/a", "-mtime"}},    {{"/a", "-size", "1x"}},
      {{"/a", "-size", "x"}}, {{"/a", "-perm", "9"}}, {{"/a", "-bogus"}},
      {{"/a", "-name", "a/b"}}, {{"/a", "-cos", "+"}},
  };
  ListingCapture out;
  for (auto c : cases) {
    std::vector<char *> argv;
    for (std::string &w : c.words)
      argv.push_back(w.data());
    std::vector<std::string> paths;
    EXPECT_EQ(findParse(int(argv.size()), argv.data(), 0, &paths), -1) << c.words[1];
  }
}

}  // namespace

namespace {

TEST(SpaceUsage, BlocksDatesAndTheWrittenFilter)
{
  const struct {
    uint64_t bytes;
    int size;
    const char *want;
  } blocks[] = {
      {0, 512, "0"},   {1, 512, "1"},    {512, 512, "1"},  {513, 512, "2"},
      {513, 1024, "1"}, {1025, 1024, "2"}, {UINT64_MAX, 512, "36028797018963968"},
  };
  for (const auto &b : blocks)
    EXPECT_EQ(format_Value(b.bytes, b.size), b.want) << b.bytes << "/" << b.size;

  FixedZone utc;
  const struct {
    const char *text;
    long long want;  // -1: refused
  } dates[] = {
      {"12/31/95", 820368000},  {"95/12/31", 820368000}, {"1990/06/01", 644198400},
      {"06/01/1990", 644198400}, {"1/2/2000", 946771200}, {"2099/12/31", 4102358400LL},
      {"2100/01/01", -1},       {"1/0/2000", -1},        {"13/01/2000", -1},
      {"01/32/2000", -1},       {"1989/01/01", -1},      {"1/1", -1},
      {"1/1/2000x", -1},        {"a/1/2000", -1},        {"89/1/1", -1},
  };
  for (const auto &d : dates) {
    time_t t = 0;
    int rc = cv_date(d.text, &t);
    if (d.want < 0) {
      EXPECT_EQ(rc, -1) << d.text;
    } else {
      EXPECT_EQ(rc, 0) << d.text;
      EXPECT_EQ((long long)t, d.want) << d.text;
    }
  }
  // du -w n: files written in the last n days.
  EXPECT_EQ(du_WrittenFilterTime(1000000000, 0), 1000000000u);
  EXPECT_EQ(du_WrittenFilterTime(1000000000, 2), 1000000000u - 2 * 86400u);
  EXPECT_EQ(du_WrittenFilterTime(1000000000, 100000), 1u) << "never below the epoch";
}

// Sizes of the class table: a whole unit or the plain number, never a
// rounded one.
TEST(NsLines, ClassTableSizes)
{
  const struct {
    uint64_t value;
    const char *text;
  } sizes[] = {
      {0, "0"},
      {1, "1B"},
      {512, "512B"},
      {1023, "1023B"},
      {1024, "1KB"},
      {2048, "2KB"},
      {1025, "1025"},
      {1048575, "1048575"},
      {1048576, "1MB"},
      {1048577, "1048577"},
      {1049600, "1049600"},
      {3221225472ULL, "3GB"},
      {uint64_t(5) << 40, "5TB"},
      {uint64_t(1) << 50, "1PB"},
      {uint64_t(1) << 60, "1XB"},
      {(uint64_t(1) << 60) + (uint64_t(1) << 50), "1025PB"},
      {~uint64_t(0), "18446744073709551615"},
  };
  for (const auto &s : sizes) {
    char out[32];
    convertU64ToStrWithSuffix(s.value, out);
    EXPECT_STREQ(out, s.text) << s.value;
  }
}

}  // namespace
