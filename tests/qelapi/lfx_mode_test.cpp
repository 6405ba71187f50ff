// The mode words of the lfx records and the stat conversion.
#include <gtest/gtest.h>
#include <string.h>
#include <sys/stat.h>

#include "quor_api.h"

TEST(LfxMode, ValidModesPassAndStrayBitsAreDropped) {
  struct Case {
    uint32_t in;
    uint32_t out;
  };
  static const Case cases[] = {
      {0100755, 0100755},             // regular, rwxr-xr-x
      {040700, 040700},               // directory
      {0120777, 0120777},             // symbolic link
      {010644, 010644},               // FIFO
      {020600, 020600},               // character device
      {060600, 060600},               // block device
      {0140755, 0140755},             // socket
      {07777, 07777},                 // no type, every permission bit
      {0xE000 | 0644, 0644},          // no such type: the permissions stay
      {0x3000 | 04755, 04755},
      {0xFFFF0000u | 0100644, 0100644},  // high bits go
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ozugw_LocalModeToInterchangeMode(c.in), c.out) << std::oct << c.in;
    EXPECT_EQ(ozugw_InterchangeModeToLocalMode(c.in), c.out) << std::oct << c.in;
  }
}

TEST(LfxMode, StatConversionSetsItsFieldsAndLeavesTheRest) {
  ozu_lfx_stat_t in;
  memset(&in, 0, sizeof in);
  in.hst_mode = 0xE000 | 0100640;
  in.hst_nlink = 3;
  in.hst_uid = 1001;
  in.hst_gid = 100;
  in.hst_mtime = 1700000001;
  in.hst_atime = 1700000002;
  in.hst_ctime = 1700000003;
  in.hst_size = 5ull << 32;
  struct stat64 st;
  memset(&st, 0x5a, sizeof st);
  struct stat64 before = st;
  ASSERT_EQ(ozugw_LfxStatToStat(&in, &st), 0);
  EXPECT_EQ(st.st_mode, mode_t(0640));  // 0xE000 over 0x8000 is no type: dropped
  EXPECT_EQ(st.st_nlink, 3u);
  EXPECT_EQ(st.st_uid, 1001u);
  EXPECT_EQ(st.st_gid, 100u);
  EXPECT_EQ(st.st_mtim.tv_sec, 1700000001);
  EXPECT_EQ(st.st_atim.tv_sec, 1700000002);
  EXPECT_EQ(st.st_ctim.tv_sec, 1700000003);
  EXPECT_EQ(uint64_t(st.st_size), 5ull << 32);
  EXPECT_EQ(st.st_ino, before.st_ino);
  EXPECT_EQ(st.st_dev, before.st_dev);
  EXPECT_EQ(st.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
  EXPECT_EQ(ozugw_LfxStatToStat(nullptr, &st), -14);
  EXPECT_EQ(ozugw_LfxStatToStat(&in, nullptr), -14);
}
