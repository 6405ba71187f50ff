// The COS id lists of crename's filters.
#include <gtest/gtest.h>

#include "xfer_commands.h"

namespace {

TEST(OzuCrenameCosList, ParsesUpToSixteen)
{
  int list[16];
  EXPECT_EQ(parseCosString(nullptr, list), -1);
  EXPECT_EQ(parseCosString("", list), 0);
  EXPECT_EQ(parseCosString("5,6", list), 2);
  EXPECT_EQ(list[1], 6);
  EXPECT_EQ(parseCosString("5,", list), 1);
  EXPECT_EQ(parseCosString("5,,6", list), -1);
  EXPECT_EQ(parseCosString("0,1", list), -1);
  EXPECT_EQ(parseCosString("5,x", list), -1);
  EXPECT_EQ(parseCosString("1,2,3,4,5,6,7,8,9,10,11,12,13,14,15,16,17", list), 16);
  EXPECT_EQ(list[15], 16);
  EXPECT_EQ(parseCosString("99999999999", list), -1);
}

}  // namespace
