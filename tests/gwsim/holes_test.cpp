// Stored bytes whose zero blocks are kept as holes: the file reads back as
// if every byte had been written, and whole zero blocks take no disk, also
// where they replace data already there.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "holes.h"
#include "movers.h"
#include "temp_dir.h"

namespace {

const size_t kB = 4096;

std::string pattern(size_t n, char c) { return std::string(n, c); }

struct HoleCase {
  const char* name;
  std::string before;  // the file's bytes before the write
  uint64_t off;
  std::string data;
  uint64_t maxBlocks;  // 4 KiB blocks the file may take afterwards
};

TEST(GwsimHoles, WritesReadBackAndZeroBlocksTakeNoDisk) {
  const std::string z1m(1 << 20, '\0');
  const HoleCase cases[] = {
      {"zeros past the end", "", 0, z1m, 0},
      {"zeros far past the end", "abc", 5ull << 30, z1m, 1},
      {"data, zeros, data", "", 0, pattern(100, 'a') + z1m + pattern(kB, 'b'), 3},
      {"zeros over data", pattern(3 * kB, 'x') + pattern(8 * kB, 'y'), 2 * kB, std::string(6 * kB, '\0'), 5},
      {"unaligned zeros over data keep their edges", pattern(4 * kB, 'x'), 10, std::string(kB, '\0'), 4},
      {"zeros ending in a part block", "", 0, std::string(2 * kB + 7, '\0'), 1},
      {"data only", pattern(10, 'q'), 5, pattern(3 * kB, 'r'), 4},
  };
  std::string dir = make_temp_dir("holes_test");
  ASSERT_FALSE(dir.empty());
  for (const HoleCase& c : cases) {
    std::string path = dir + "/f";
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(pwrite(fd, c.before.data(), c.before.size(), 0), ssize_t(c.before.size()));
    fsync(fd);
    ASSERT_EQ(gw_WriteKeepHoles(fd, c.data.data(), c.data.size(), c.off), 0) << c.name;
    gw_StoreGrow(fd, c.off + c.data.size());  // as every writer does at its end
    // What a plain write would have left, compared where it matters.
    uint64_t end = std::max<uint64_t>(c.before.size(), c.off + c.data.size());
    struct stat st;
    ASSERT_EQ(fstat(fd, &st), 0);
    EXPECT_EQ(uint64_t(st.st_size), end) << c.name;
    auto at = [&](uint64_t off, size_t n) {
      std::string s(n, '\0');
      EXPECT_EQ(pread(fd, s.data(), n, off_t(off)), ssize_t(n));
      return s;
    };
    std::string expectBefore = c.before.substr(0, std::min<uint64_t>(c.before.size(), c.off));
    EXPECT_EQ(at(0, expectBefore.size()), expectBefore) << c.name;
    EXPECT_EQ(at(c.off, c.data.size()), c.data) << c.name;
    if (c.off + c.data.size() < c.before.size()) {
      std::string rest = c.before.substr(c.off + c.data.size());
      EXPECT_EQ(at(c.off + c.data.size(), rest.size()), rest) << c.name;
    }
    if (c.off > c.before.size()) {
      EXPECT_EQ(at(c.before.size(), 4096), std::string(4096, '\0')) << c.name;
    }
    fsync(fd);
    ASSERT_EQ(fstat(fd, &st), 0);
    EXPECT_LE(uint64_t(st.st_blocks) * 512, c.maxBlocks * kB) << c.name;
    close(fd);
  }
  std::error_code ec;
  std::filesystem::remove_all(dir, ec);
}

TEST(GwsimHoles, AllZeroLooksAtEveryByte) {
  std::string s(1000, '\0');
  EXPECT_TRUE(gw_AllZero(s.data(), s.size()));
  EXPECT_TRUE(gw_AllZero(s.data(), 0));
  for (size_t i : {size_t(0), size_t(63), size_t(64), size_t(959), size_t(960), size_t(999)}) {
    s[i] = 1;
    EXPECT_FALSE(gw_AllZero(s.data(), s.size())) << i;
    s[i] = 0;
  }
}

}  // namespace
