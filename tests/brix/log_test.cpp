// Messages and records: local lines and their limits, the transfer record
// fields, and the owner and group name lookups.
#include <gtest/gtest.h>
#include <pwd.h>
#include <unistd.h>

#include <string>

#include "brix_test_util.h"
#include "client_process.h"

TEST(Messages, LocalLinesAndTheirLimits) {
  ChildResult r = runInChild([] {
    resetBrixState();
    brix_LogMsg(BRIX_MSG_ERROR, BRIX_LOG_SELECT_MSG, "first");
    brix_LogMsg(BRIX_MSG_WARNING, BRIX_LOG_SELECT_MSG, "second\n");
    std::string big(3000, 'x');
    brix_LogMsg(BRIX_MSG_ERROR, BRIX_LOG_SELECT_MSG, big.c_str());
    brix_LogMsg(BRIX_MSG_LOGONLY, BRIX_LOG_SELECT_MSG, "nowhere");
    return 0;
  });
  EXPECT_EQ(r.status, 0);
  std::string want = "ERROR: first\nWARNING: second\nERROR: " + std::string(2046 - 7, 'x') + "\n";
  EXPECT_EQ(r.stderrText, want);
}

TEST(Messages, TransferRecord) {
  char buf[4245];
  brix_archive_cosID = 11;
  curAcctId = 7;
  brix_FormatTransferRecord(buf, sizeof buf, "/a/b.tar", BOP_CREATE, 0, BRIX_LOCAL_FILE, BRIX_MEMBER_LOCAL,
                            2000000, 2.0);
  std::string pid = std::to_string(getpid());
  EXPECT_EQ(std::string(buf), pid + "\tcreate\tLL\t0\t2000000\t2.00\t1000.0\t/a/b.tar\t\t11\t7");
  brix_FormatTransferRecord(buf, sizeof buf, "q", BOP_EXTRACT, -1, BRIX_QUOR_FILE, BRIX_MEMBER_LOCAL, 5, 0.0);
  EXPECT_EQ(std::string(buf), pid + "\textract\tQL\t-1\t5\t0.00\t0.0\tq\t\t11\t7");
  brix_FormatTransferRecord(buf, sizeof buf, "p", BOP_CREATE, 0, BRIX_PIPE, BRIX_MEMBER_LOCAL, 5, 1.0);
  EXPECT_NE(std::string(buf).find("\tL?\t"), std::string::npos);
  brix_archive_cosID = -1;
  curAcctId = 0;
}

TEST(Messages, OwnerAndGroupNames) {
  char name[64];
  ASSERT_EQ(brix_GetOwnerName(0, name, sizeof name), 0);
  EXPECT_STREQ(name, getpwuid(0)->pw_name);
  // A cached answer is the same, and a short buffer gets a cut name.
  ASSERT_EQ(brix_GetOwnerName(0, name, 3), 0);
  EXPECT_EQ(std::string(name), std::string(getpwuid(0)->pw_name).substr(0, 2));
  EXPECT_EQ(brix_GetOwnerName(3999999, name, sizeof name), -1);
  EXPECT_STREQ(name, "");
  EXPECT_EQ(brix_GetGroupName(3999999, name, sizeof name), -1);
  // An id without a name, asked again (now from the cache), still has none,
  // and a named id asked between keeps its name.
  strcpy(name, "junk");
  EXPECT_EQ(brix_GetOwnerName(3999999, name, sizeof name), -1);
  EXPECT_STREQ(name, "");
  ASSERT_EQ(brix_GetOwnerName(0, name, sizeof name), 0);
  EXPECT_STREQ(name, getpwuid(0)->pw_name);
  strcpy(name, "junk");
  EXPECT_EQ(brix_GetGroupName(3999999, name, sizeof name), -1);
  EXPECT_STREQ(name, "");
  // More distinct ids than the cache holds still get their names.
  for (uid_t u = 0; u < 15; u++) {
    struct passwd* pw = getpwuid(u);
    if (!pw) continue;
    std::string expected = pw->pw_name;
    ASSERT_EQ(brix_GetOwnerName(u, name, sizeof name), 0) << u;
    EXPECT_EQ(std::string(name), expected.substr(0, 31)) << u;
  }
  ASSERT_EQ(brix_GetOwnerName(0, name, sizeof name), 0);
  EXPECT_STREQ(name, getpwuid(0)->pw_name);
}
