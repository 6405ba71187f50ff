// Replies of a relayed command as the shell takes them, and the transfer
// size classes of a connection.
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "ozu_context.h"
#include "ozu_dispatch.h"
#include "ozu_locks.h"
#include "ozurc.h"
#include "ozuvars.h"

namespace {

class Replies : public ::testing::Test {
 protected:
  void SetUp() override
  {
    memset(&ctx, 0, sizeof ctx);
    ctx.wd[0] = strdup("/home/u");
    ctx.relflag[0] = 1;
    saved = sesskeyset;
    savedKeyset = keyset;
    sesskeyset.curContext = &ctx;
    keyset = &sesskeyset;
    out = tmpfile();
    err = tmpfile();
    listF = out;
    errFile = err;
  }
  void TearDown() override
  {
    for (int i = 0; i < OZU_NWD; ++i)
      if (ctx.relflag[i])
        free(ctx.wd[i]);
    free(ctx.xferSizeTable);
    sesskeyset = saved;
    keyset = savedKeyset;
    listF = errFile = stderr;
    fclose(out);
    fclose(err);
  }
  // One reply of exactly len bytes (no terminator), as the library hands it.
  void reply(uint32_t flags, uint32_t sync, const std::string &text, bool nullText = false)
  {
    int32_t len = int32_t(text.size());
    char *data = nullptr;
    if (!nullText && !text.empty()) {
      data = static_cast<char *>(malloc(text.size()));
      memcpy(data, text.data(), text.size());
    }
    ozu_OzugwdRespHandler(&flags, &sync, &len, &data);
    EXPECT_EQ(data, nullptr) << "the handler frees the text";
  }
  static std::string contents(FILE *f)
  {
    fflush(f);
    rewind(f);
    std::string s;
    char buf[256];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0)
      s.append(buf, n);
    return s;
  }
  ozu_context_t ctx;
  Keyset saved, *savedKeyset = nullptr;
  FILE *out = nullptr, *err = nullptr;
};

TEST_F(Replies, PiecesGoToTheirStreams)
{
  reply(0x2, 0, std::string("one\0two\n", 8));
  reply(0x4, 0, "bad\n");
  reply(0x2, 0, "");
  reply(0x2, 0, "x", true);  // a length without text is an empty text
  EXPECT_EQ(contents(out), "onetwo\n");
  EXPECT_EQ(contents(err), "bad\n");
}

TEST_F(Replies, WorkingDirectorySyncOnlyForTenSlots)
{
  reply(0x20000000, 1, "3 /home/u/sub\tjunk");
  ASSERT_NE(ctx.wd[3], nullptr);
  EXPECT_STREQ(ctx.wd[3], "/home/u/sub");
  reply(0x20000000, 1, "12 /elsewhere");
  reply(0x20000000, 1, "-1 /elsewhere");
  reply(0x20000000, 1, "0");
  EXPECT_STREQ(ctx.wd[0], "/home/u");
  for (int i = 1; i < OZU_NWD; ++i)
    if (i != 3) {
      EXPECT_EQ(ctx.wd[i], nullptr) << i;
    }
  reply(0x20000000, 7, "whatever");
  EXPECT_NE(contents(err).find("received unrecognized <sync> message type 7 from ozugwd"),
            std::string::npos);
}

TEST_F(Replies, SizeClasses)
{
  EXPECT_EQ(ozu_GetXferSizeInx(10), -1) << "no class: no index into an empty table";
  ctx.xferSizeTable = static_cast<xfer_size_to_count_t *>(calloc(3, sizeof(xfer_size_to_count_t)));
  ctx.xferSizeCount = 3;
  ctx.xferSizeTable[0] = {1, 4, 0, 1048576, 0, 0, nullptr, nullptr, {}};
  ctx.xferSizeTable[1] = {2, 8, 1048576, 0, 0, 0, nullptr, nullptr, {}};
  ctx.xferSizeTable[2].max_xfers = 20;
  EXPECT_EQ(ozu_GetXferSizeInx(0), 0);
  EXPECT_EQ(ozu_GetXferSizeInx(1048575), 0);
  EXPECT_EQ(ozu_GetXferSizeInx(1048576), 1);
  EXPECT_EQ(ozu_GetXferSizeInx(uint64_t(-1)), 1) << "a pipe's size has no upper bound";
  globalDefs.maxXferThreads = 0;
  EXPECT_EQ(ozu_GetMaxXfers(), 32);
  globalDefs.maxXferThreads = 10;
  EXPECT_EQ(ozu_GetMaxXfers(), 10);
  globalDefs.maxXferThreads = 0;
  ozu_XferTableLock();
  EXPECT_EQ(ozu_XferTableCondWait(0, 1000), -110);
  ozu_XferTableUnlock();
}

}  // namespace
