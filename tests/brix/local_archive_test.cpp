// The local archive writer: every member at the block the index planned for
// it, whatever happened to its file between listing and writing. Runs once
// with the writer alone and once with its read-ahead threads.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "brix_ustar.h"
#include "brix_xfer.h"
#include "brix_test_util.h"

namespace {

struct planned {
  std::string path;
  bif_entry_t entry;
};

uint32_t crcOf(const std::string& s) {
  uint32_t c;
  brix_ChecksumInit(&c);
  brix_ChecksumBuffer(s.data(), s.size(), &c);
  brix_ChecksumFinalize(&c);
  return c;
}

class LocalArchive : public ::testing::TestWithParam<int> {
 protected:
  void SetUp() override {
    resetBrixState();
    brix_option_flags = BRIX_OPT_CRC;
    brix_max_threads = 4;
  }
  void TearDown() override {
    brix_FreeMemberFileLists();
    if (brix_tmpIndexFD >= 0) close(brix_tmpIndexFD);
    brix_tmpIndexFD = -1;
  }
  // Indexes the files as they are now, the way create does.
  std::vector<planned> plan(const std::vector<std::string>& rel) {
    std::vector<planned> v;
    brix_archive_blocks = 0;
    for (const std::string& r : rel) {
      planned p;
      p.path = dir / r;
      struct stat st;
      EXPECT_EQ(lstat(p.path.c_str(), &st), 0) << r;
      uint32_t type = S_ISDIR(st.st_mode) ? BTO_DIRECTORY : S_ISLNK(st.st_mode) ? BTO_SYMLINK : BTO_FILE;
      brix_FileSpec_t spec;
      brix_BuildFileSpec(type, 0, p.path.data(), nullptr, 0, &st, &spec);
      EXPECT_EQ(brix_IndexFromFileSpec(0, &spec, &p.entry), 0);
      brix_archive_blocks += p.entry.bent_blocks;
      v.push_back(p);
    }
    return v;
  }
  int write(const std::vector<planned>& members) {
    std::string idx = dir / "tmp.idx";
    int fd = open(idx.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
    brix_index_entries = uint32_t(members.size());
    brix_BuildIndexHeader();
    EXPECT_EQ(brix_WriteIndexHeader(fd, BRIX_LOCAL_FILE, idx.c_str(), &brix_index_hdr), 0);
    for (const planned& m : members) {
      bif_entry_t e = m.entry;
      brix_SwapIndexEntry(&e);
      EXPECT_EQ(::write(fd, &e, sizeof e), ssize_t(sizeof e));
    }
    lseek(fd, 288, SEEK_SET);
    brix_tmpIndexFD = fd;
    EXPECT_EQ(brix_InitMemberFileLists(int64_t(members.size()), 0), 0);
    archivePath = dir / "out.tar";
    brix_archive = archivePath.data();
    brix_archive_fd = open(archivePath.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
    double t = 0;
    int threads = 0;
    int rc = brix_CopyToLocalArchive(&t, &threads);
    brix_FinalizeMemberLists();
    EXPECT_EQ(brix_archive_fd, -1);
    brix_archive = nullptr;  // it points into archivePath
    return rc;
  }
  TempDir dir;
  std::string archivePath;
};

}  // namespace

TEST_P(LocalArchive, MembersStayWhereTheIndexPlannedThem) {
  std::string f513(513, 'a');
  for (size_t i = 0; i < f513.size(); i++) f513[i] = char('a' + i % 26);
  writeFileAt(dir / "f513", f513);
  writeFileAt(dir / "empty", "");
  writeFileAt(dir / "gone", std::string(700, 'g'));
  writeFileAt(dir / "grows", std::string(100, 'r'));
  writeFileAt(dir / "shrinks", std::string(300, 's'));
  writeFileAt(dir / "becomesdir", std::string(1000, 'd'));
  writeFileAt(dir / "last", "end");
  mkdir((dir / "adir").c_str(), 0755);
  symlink("f513", (dir / "alink").c_str());
  std::vector<std::string> names = {"f513", "empty", "gone", "grows", "shrinks", "becomesdir", "adir", "alink", "last"};
  for (int i = 0; i < GetParam(); i++) {
    std::string n = "filler" + std::to_string(i);
    writeFileAt(dir / n, std::string(size_t(i * 37 % 1500), 'f'));
    names.push_back(n);
  }
  std::vector<planned> members = plan(names);
  unlink((dir / "gone").c_str());
  writeFileAt(dir / "grows", std::string(100, 'r') + std::string(100, 'R'));
  writeFileAt(dir / "shrinks", std::string(100, 's'));
  unlink((dir / "becomesdir").c_str());
  mkdir((dir / "becomesdir").c_str(), 0755);

  ASSERT_EQ(write(members), 0);
  std::string tar = readFile(archivePath);
  ASSERT_EQ(tar.size(), (brix_archive_blocks + 1) * 512);
  EXPECT_EQ(tar.substr(tar.size() - 512), std::string(512, '\0'));

  auto memberAt = [&](size_t i, posix_header_t* hdr) {
    const unsigned char* b = reinterpret_cast<const unsigned char*>(tar.data()) + members[i].entry.bent_offset * 512;
    EXPECT_EQ(brix_GetTarHeader(b, hdr), 0) << i;
    return tar.substr(members[i].entry.bent_offset * 512 + 512, members[i].entry.bent_fsize);
  };
  posix_header_t h;
  EXPECT_EQ(memberAt(0, &h), f513);
  EXPECT_EQ(tar.substr(members[0].entry.bent_offset * 512 + 512 + 513, 511), std::string(511, '\0'));
  EXPECT_EQ(memberAt(1, &h), "");
  EXPECT_EQ(members[2].entry.bent_offset, members[1].entry.bent_offset + 1);  // no fill after 0 bytes
  EXPECT_EQ(memberAt(2, &h), std::string(700, '\0'));
  EXPECT_STREQ(h.thb_name, "/dev/null");
  EXPECT_EQ(memberAt(3, &h), std::string(100, 'r'));
  EXPECT_EQ(memberAt(4, &h), std::string(100, 's') + std::string(200, '\0'));
  EXPECT_EQ(memberAt(5, &h).size(), 1000u);
  EXPECT_EQ(h.thb_typeflag, '0');
  memberAt(6, &h);
  EXPECT_EQ(h.thb_typeflag, '5');
  memberAt(7, &h);
  EXPECT_EQ(h.thb_typeflag, '2');
  EXPECT_STREQ(h.thb_linkname, "f513");
  EXPECT_EQ(memberAt(8, &h), "end");
  for (size_t i = 9; i < members.size(); i++)
    EXPECT_EQ(memberAt(i, &h), std::string(members[i].entry.bent_fsize, 'f')) << i;

  // Outcomes: the missing and the unreadable member failed, the read error
  // is in the exit code, the others went in with their CRCs.
  EXPECT_EQ(brix_GetMemberFileXferSuccess(0), 0);
  EXPECT_EQ(brix_GetMemberFileXferSuccess(2), 1);
  EXPECT_EQ(brix_GetMemberFileXferSuccess(3), 0);
  EXPECT_EQ(brix_GetMemberFileXferSuccess(5), 1);
  EXPECT_EQ(brix_GetMemberFileXferSuccess(7), 0);
  EXPECT_EQ(brix_exit_code, 72);
  // Gone, grown and shrunk are stored, but not as the files are; the one
  // now a directory counts too when its new size was seen before the read.
  EXPECT_GE(brix_MemberFilesChanged(), 3);
  EXPECT_LE(brix_MemberFilesChanged(), 4);
  EXPECT_EQ(brix_GetMemberFileXferCRC(0), crcOf(f513));
  EXPECT_EQ(brix_GetMemberFileXferCRC(1), 0u);
  EXPECT_EQ(brix_GetMemberFileXferCRC(4), crcOf(std::string(100, 's') + std::string(200, '\0')));
  EXPECT_EQ(brix_GetMemberFileXferCRC(8), crcOf("end"));

  // The index, adjusted in place: the failed members are phantoms.
  ASSERT_EQ(brix_CopyAndAdjustLocalIndex(), 0);
  bif_entry_t e;
  ASSERT_EQ(brix_IndexReadRandomEntry(brix_tmpIndexFD, BRIX_LOCAL_FILE, 2, &e), 0);
  EXPECT_EQ(e.bent_flags, BENT_FLAG_PHANTOM | BENT_FLAG_DELETED);
  EXPECT_STREQ(e.bent_name, "/dev/null");
  EXPECT_EQ(e.bent_offset, members[2].entry.bent_offset);
  ASSERT_EQ(brix_IndexReadRandomEntry(brix_tmpIndexFD, BRIX_LOCAL_FILE, 0, &e), 0);
  EXPECT_EQ(e.bent_flags, BENT_FLAG_CRC);
  EXPECT_EQ(e.bent_crc32, crcOf(f513));
  ASSERT_EQ(brix_IndexReadRandomEntry(brix_tmpIndexFD, BRIX_LOCAL_FILE, 6, &e), 0);
  EXPECT_EQ(e.bent_flags, 0u);
}

INSTANTIATE_TEST_SUITE_P(WriterAloneAndWithReaders, LocalArchive, ::testing::Values(0, 80));

TEST(LocalArchiveOne, CopyLocalFileWritesOneMember) {
  resetBrixState();
  TempDir dir;
  writeFileAt(dir / "m", "hello");
  struct stat st;
  ASSERT_EQ(stat((dir / "m").c_str(), &st), 0);
  std::string path = dir / "m";
  brix_FileSpec_t spec;
  brix_BuildFileSpec(BTO_FILE, 0, path.data(), nullptr, 0, &st, &spec);
  bif_entry_t e;
  brix_archive_blocks = 0;
  ASSERT_EQ(brix_IndexFromFileSpec(0, &spec, &e), 0);
  std::string out = dir / "one.tar";
  int fd = open(out.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
  EXPECT_EQ(copyLocalFile(fd, 0, &e), 0);
  close(fd);
  std::string tar = readFile(out);
  ASSERT_EQ(tar.size(), 1024u);
  EXPECT_EQ(tar.substr(512, 5), "hello");
}
