// The storage error table and its formatter; the name tables and small
// conversions of ozucore.
#include <gtest/gtest.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <set>
#include <string>

#include "ozu_errors.h"
#include "ozu_util.h"

namespace {

TEST(ErrorTable, RowsAreUniqueOrderedAndTextual)
{
  EXPECT_EQ(quor_nerrors, 254);
  std::set<int> codes;
  int codeTexts = 0;
  for (int i = 0; i < quor_nerrors; ++i) {
    const ozu_error_t &e = quor_errlist[i];
    EXPECT_LT(e.error_code, 0);
    EXPECT_TRUE(codes.insert(e.error_code).second) << e.error_code;
    if (i > 0) {
      EXPECT_LT(e.error_code, quor_errlist[i - 1].error_code) << "descending";
    }
    ASSERT_NE(e.quor_error_text, nullptr);
    EXPECT_GT(strlen(e.quor_error_text), 0u) << e.quor_error_sym;
    if (std::string(e.quor_error_text) == "(" + std::to_string(e.error_code) + ")")
      ++codeTexts;
  }
  EXPECT_EQ(codeTexts, 43);
  EXPECT_STREQ(quor_strerror(-2030)->quor_error_text, "(-2023)");
  EXPECT_STREQ(quor_strerror(2)->quor_error_sym, "QUOR_ENOENT");
  EXPECT_STREQ(quor_strerror(-10)->quor_error_text, "No child processe");
  EXPECT_EQ(quor_strerror(-3), nullptr);
  EXPECT_EQ(quor_strerror(-20012), nullptr);
}

TEST(ErrorTable, PerrorFormats)
{
  EXPECT_STREQ(quor_perror(-2, "quor_Stat", "/a/b", nullptr),
               "*** quor_Stat: No such file or directory [-2: QUOR_ENOENT] \n    /a/b");
  EXPECT_STREQ(quor_perror(-2, "quor_Stat", nullptr, nullptr),
               "*** quor_Stat: No such file or directory [-2: QUOR_ENOENT]  ");
  EXPECT_STREQ(quor_perror(-3, nullptr, nullptr, nullptr),
               "*** [??function??]:  [-3: unknown error value]  ");
  EXPECT_STREQ(quor_perror(5, "x", nullptr, nullptr), "*** x: I/O error [5: QUOR_EIO]  ");
}

TEST(NameTables, MethodsChecksumsObjectsAndModes)
{
  EXPECT_EQ(ozu_ConvertAuthMethod("DCE"), 0x10);
  EXPECT_EQ(ozu_ConvertAuthMethod("combo"), 0x10);
  EXPECT_EQ(ozu_ConvertAuthMethod("krb5"), -1);
  EXPECT_STREQ(ozu_AuthTypeToString(0x40), "keytab");
  EXPECT_STREQ(ozu_AuthTypeToString(3), "????");
  EXPECT_EQ(ozu_ConvertCksumType("SHA256"), 3);
  EXPECT_EQ(ozu_CksumTypeToString(10), nullptr);
  EXPECT_EQ(ozu_CksumTypeToString(-1), nullptr);
  EXPECT_STREQ(ozu_CksumTypeToString(9), "ecma319");
  EXPECT_STREQ(quor_ObjectTypeToString(133), "junction");
  EXPECT_STREQ(quor_ObjectTypeToString(7), "UNKNOWN");
  struct stat st;
  memset(&st, 0, sizeof st);
  st.st_mode = S_IFIFO;
  EXPECT_STREQ(ozu_StatObjectTypeToString(&st), "FIFO");

  quor_Attrs_t a;
  memset(&a, 0, sizeof a);
  a.UserPerms = 0xE0;
  a.GroupPerms = 0x20;
  a.ModePerms = 0x80;
  int all = 0, owner = 0, group = 0, other = 0;
  ozu_NsPermsToMode_t(&a, &all, &owner, &group, &other);
  EXPECT_EQ(all, 01740);
  EXPECT_EQ(owner, 0700);
  EXPECT_EQ(group, 040);
  EXPECT_EQ(other, 01000);
  ozu_NsPermsToMode_t(&a, nullptr, nullptr, nullptr, nullptr);
}

TEST(ByteCounts, ForPeople)
{
  struct {
    uint64_t value;
    int kb;
    const char *text;
  } cases[] = {
      {999, 0, "999 B"},        {1000, 0, "1.0 KB"},         {1024, 1, "1.0 KB"},
      {1500000, 0, "1.5 MB"},   {1023, 1, "1023 B"},         {UINT64_MAX, 0, "18.4 XB"},
  };
  for (const auto &c : cases) {
    char buf[32];
    u64_to_decflt(c.value, c.kb, buf);
    EXPECT_STREQ(buf, c.text) << c.value;
  }
}

TEST(Numbers, IntOverflowIsRefused)
{
  struct {
    const char *text;
    int overflows;
  } cases[] = {{"2147483647", 0},  {"2147483648", 1}, {"-2147483647", 0},
               {"-99999999999", 1}, {"99999999999999999999999", 1}, {"12abc", 0},
               {"abc", 0},          {"-", 0},           {"", 0}};
  for (const auto &c : cases)
    EXPECT_EQ(ozu_IntOverflows(c.text), c.overflows) << c.text;
}

TEST(Numbers, AllDigits)
{
  struct {
    const char *text;
    int digits;
  } cases[] = {{"0", 1},  {"0042", 1}, {"99999999999999999999", 1}, {"", 0},   {"-1", 0},
               {"+1", 0}, {"1 ", 0},   {" 1", 0},                  {"1a", 0}, {nullptr, 0}};
  for (const auto &c : cases)
    EXPECT_EQ(ozu_AllDigits(c.text), c.digits) << (c.text ? c.text : "(null)");
}

TEST(Clock, MicrosecondsAndStopwatch)
{
  double a = double_time();
  EXPECT_GT(a, 1.6e9);
  usleep(3000);
  double b = double_time();
  EXPECT_GT(b - a, 0.002) << "microseconds count";
  EXPECT_LT(b - a, 1.0);
  ozu_TimerStart();
  EXPECT_GE(ozu_TimerStop(), 0.0);
  EXPECT_LT(ozu_TimerStop(), 5.0);
}

}  // namespace
