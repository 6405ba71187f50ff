// brix reads its archives back: extract, verify, delete and undelete, and
// build-index on archives of its own and of other tar programs, with the
// real brix binary against gwsim and archives on local disk.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "brix_corpus.h"
#include "brix_session.h"
#include "journal_text.h"

namespace {

bool has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

bool exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

// Overwrites bytes of a file at an offset.
void patch(const std::string& path, off_t at, const std::string& bytes) {
  int fd = open(path.c_str(), O_WRONLY);
  ASSERT_GE(fd, 0) << path;
  ASSERT_EQ(pwrite(fd, bytes.data(), bytes.size(), at), ssize_t(bytes.size()));
  close(fd);
}

std::string readAt(const std::string& path, off_t at, size_t n) {
  std::string s(n, '\0');
  int fd = open(path.c_str(), O_RDONLY);
  if (fd < 0) return "";
  ssize_t got = pread(fd, s.data(), n, at);
  close(fd);
  s.resize(got > 0 ? size_t(got) : 0);
  return s;
}

// The member paths of a listing, in order.
std::vector<std::string> listed(const std::string& out) {
  std::vector<std::string> v;
  std::istringstream in(out);
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("BRIX: ", 0) != 0 || has(line, "BRIX SUCCESSFUL")) continue;
    std::string p = line.substr(line.rfind("  ") + 2);
    size_t arrow = p.find(" -> ");
    if (arrow != std::string::npos) p = p.substr(0, arrow);
    v.push_back(p);
  }
  return v;
}

class BrixExtract : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(s.ready()) << s.gw.stderrText();
    src = s.work + "/src";
    out = s.work + "/out";
    archive = s.work + "/a.tar";
    checker = s.gw.dir() + "/check.py";
    writeFileAt(checker, kChecker);
    mkdir(src.c_str(), 0755);
    mkdir(out.c_str(), 0755);
  }
  // brix with its current directory at dir.
  BrixResult in(const std::string& dir, const std::vector<std::string>& args, int timeoutSec = 120) {
    s.cwd = dir;
    BrixResult r = s.run(args, "", timeoutSec);
    s.cwd.clear();
    return r;
  }
  // The index entry number i of index file idx: its byte offset.
  static off_t entryAt(int i) { return 288 + 512 * off_t(i); }
  BrixSession s;
  std::string src, out, archive, checker;
};

}  // namespace

// The create issue's corpus comes back as it went in: names, bytes, modes
// (set-id bits too, so the owner is set before the mode), owners when run
// as root, times (directories' too, set after their members), link targets.
TEST_F(BrixExtract, CorpusRoundTrip) {
  makeCorpus(src + "/corpus");
  // Directory times far from now, so that one a later member changed shows.
  for (const char* d : {"", "/sub", "/sub/deeper", "/sticky"}) setTimes(src + "/corpus" + d, 1300000000);
  BrixResult r = in(src, {"-c", "-E", "-V", "-H", "crc:verify=all", "-f", archive, "corpus"});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_TRUE(has(r.out, "BRIX: Verify complete. 0 total errors, 29 total objects")) << "the check after the create ran: " << r.out;
  EXPECT_TRUE(has(r.out, "BRIX: BRIX SUCCESSFUL")) << r.out;

  r = in(out, {"-x", "-E", "-p", "-H", "crc", "-f", archive});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(r.out, "BRIX: BRIX SUCCESSFUL\n");
  std::string diff;
  EXPECT_EQ(shellRun("python3 " + checker + " tree " + out + "/corpus " + src + "/corpus", &diff), 0) << diff;
  EXPECT_FALSE(exists(out + "/tmp")) << "the consistency member is never extracted";

  // With the smallest buffers, members and headers fall across buffers.
  std::string small = s.work + "/small";
  mkdir(small.c_str(), 0755);
  r = in(small, {"-x", "-E", "-p", "-S", "524288", "-H", "crc", "-f", archive});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(shellRun("python3 " + checker + " tree " + small + "/corpus " + src + "/corpus", &diff), 0) << diff;
  EXPECT_EQ(in(src, {"-K", "-E", "-S", "524288", "-H", "verify=2", "-f", archive}).status, 0);

  // Again over the tree it made: files are replaced, the result the same.
  r = in(out, {"-x", "-E", "-p", "-v", "-f", archive, "corpus/sub"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(has(r.out, "BRIX: x corpus/sub/other.txt, 6 bytes, 2 media blocks\n")) << r.out;
  EXPECT_EQ(shellRun("python3 " + checker + " tree " + out + "/corpus " + src + "/corpus", &diff), 0) << diff;

  // Verification of every kind passes against the source and the copy.
  r = in(src, {"-K", "-E", "-V", "-H", "verify=all:crc", "-f", archive});
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_TRUE(has(r.out, "BRIX: Verify complete. 0 total errors, 29 total objects")) << r.out;
  r = in(out, {"-K", "-E", "-H", "verify=2", "-f", archive});
  EXPECT_EQ(r.status, 0) << r.out << r.err;

  // -O: data of the named files on standard output, the status on error.
  r = in(out, {"-x", "-E", "-O", "-f", archive, "corpus/sub/deeper/file.txt", "corpus/one"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "1deep\n");
  EXPECT_TRUE(has(r.err, "BRIX: BRIX SUCCESSFUL")) << r.err;
  EXPECT_TRUE(s.leftoverTempFiles().empty());
  auto j = s.gw.journalLines();
  EXPECT_FALSE(lineWith(j, "?extract?LL?0?").empty());
}

// -X indexes archives GNU tar and bsdtar write in ustar format (and in gnu
// and pax format when nothing but ustar is needed), which then list and
// extract into the same tree; members that are not ustar are reported, not
// misread.
TEST_F(BrixExtract, ForeignArchives) {
  writeFileAt(src + "/t/a.txt", "alpha\n", 0640);
  writeFileAt(src + "/t/d/b.bin", std::string(70000, 'b'));
  symlink("a.txt", (src + "/t/ln").c_str());
  setTimes(src + "/t/a.txt", 1500000000);
  setTimes(src + "/t/d", 1400000000);
  std::string diff;
  struct row {
    std::string make;
  } rows[] = {{"tar --format=ustar -cf "},
               {"bsdtar --format ustar -cf "},
               // Members whose extended headers only add to the ustar header
               // (GNU magic, pax times to the nanosecond) are taken as they are.
               {"tar --format=gnu -cf "},
               {"tar --format=pax -cf "},
               {"bsdtar --format pax -cf "}};
  for (const row& w : rows) {
    SCOPED_TRACE(w.make);
    std::string x = s.work + "/x";
    shellRun("rm -rf " + x + " " + archive + " " + archive + ".idx");
    mkdir(x.c_str(), 0755);
    ASSERT_EQ(shellRun("cd " + src + " && " + w.make + archive + " t", &diff), 0) << diff;
    BrixResult r = s.run({"-X", "-E", "-v", "-H", "crc", "-f", archive});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_TRUE(has(r.out, "BRIX: i t/a.txt\n")) << r.out;
    r = s.run({"-t", "-E", "-H", "crc", "-f", archive});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(listed(r.out).size(), 5u) << r.out;
    EXPECT_TRUE(has(r.out, "[]")) << "a rebuilt index claims no CRC: " << r.out;
    EXPECT_FALSE(has(r.out, "[0x00000000]")) << r.out;
    r = in(x, {"-x", "-E", "-p", "-H", "crc", "-f", archive});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(shellRun("python3 " + checker + " tree " + x + "/t " + src + "/t", &diff), 0) << diff;
    r = s.run({"-K", "-E", "-H", "verify=info", "-f", archive});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
  }

  // GNU's long names and pax headers: the extended header and the member it
  // describes are reported and left out; the scan goes on.
  std::string longName = repeat('L', 120);
  writeFileAt(src + "/g/" + longName, "long");
  writeFileAt(src + "/g/short", "short");
  struct ext {
    std::string format, kind;
  } exts[] = {{"gnu", "GNU long name header (typeflag 'L')"}, {"pax", "pax extended header (typeflag 'x') that changes its path"}};
  for (const ext& w : exts) {
    SCOPED_TRACE(w.format);
    ASSERT_EQ(shellRun("cd " + src + " && tar --format=" + w.format + " -cf " + archive + " g", &diff), 0) << diff;
    BrixResult r = s.run({"-X", "-E", "-f", archive});
    EXPECT_TRUE(has(r.err, w.kind)) << r.err;
    EXPECT_TRUE(has(r.err, "not indexed")) << r.err;
    EXPECT_TRUE(has(r.out, "BRIX: BRIX SUCCESSFUL")) << r.out;
    r = s.run({"-t", "-E", "-f", archive});
    std::vector<std::string> names = listed(r.out);
    EXPECT_EQ(names, (std::vector<std::string>{"g/", "g/short"})) << r.out;
  }

  // A hard link stops the extract, as the README says; members before it
  // stay restored.
  ASSERT_EQ(shellRun("cd " + src + " && ln t/a.txt t/hard && tar --format=ustar -cf " + archive + " t/a.txt t/hard t/ln",
                     &diff), 0) << diff;
  ASSERT_EQ(s.run({"-X", "-E", "-f", archive}).status, 0);
  std::string y = s.work + "/y";
  mkdir(y.c_str(), 0755);
  BrixResult r = in(y, {"-x", "-E", "-f", archive});
  EXPECT_EQ(r.status, 65) << r.out << r.err;
  EXPECT_TRUE(has(r.err, "fatal: unrecognized object type {3)")) << r.err;
  EXPECT_TRUE(has(r.err, "Extract aborted")) << r.err;
  EXPECT_TRUE(exists(y + "/t/a.txt"));
  EXPECT_FALSE(exists(y + "/t/ln"));
}

TEST_F(BrixExtract, VerifyGoodAndDamagedArchives) {
  writeFileAt(src + "/v/one", std::string(1000, '1'));
  writeFileAt(src + "/v/two", std::string(3000, '2'));
  writeFileAt(src + "/v/three", "3");
  ASSERT_EQ(in(src, {"-c", "-E", "-H", "crc", "-f", archive, "v"}).status, 0);
  BrixResult r = in(src, {"-K", "-E", "-H", "verify=2", "-f", archive});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(r.out, "BRIX: BRIX SUCCESSFUL\n");

  // A header field that differs from the index (a mode): reported, not
  // counted as an error, and still the run fails.
  std::string idx = readFile(archive + ".idx");
  std::string bad = idx;
  bad.replace(size_t(entryAt(1)) + 412, 4, std::string("\0\0\x01\x80", 4));  // 0600
  writeFileAt(archive + ".idx", bad);
  r = in(src, {"-K", "-E", "-V", "-H", "verify=info", "-f", archive});
  EXPECT_EQ(r.status, 65) << r.out << r.err;
  EXPECT_TRUE(has(r.err, "File Mode inconsistency detected. Index value (octal): [0600]")) << r.err;
  EXPECT_TRUE(has(r.out, "BRIX: Verify complete. 0 total errors")) << r.out;
  EXPECT_TRUE(has(r.out, "BRIX: BRIX FAILED")) << r.out;
  writeFileAt(archive + ".idx", idx);

  // A local file changed in one byte: the compare level finds it.
  patch(src + "/v/three", 0, "4");
  r = in(src, {"-K", "-E", "-H", "verify=compare", "-f", archive});
  EXPECT_EQ(r.status, 65) << r.out << r.err;
  EXPECT_TRUE(has(r.err, "Compare error at offset 0 in local file v/three")) << r.err;
  EXPECT_TRUE(has(r.out, "BRIX:   ....... 1 Compare Errors")) << r.out;
  EXPECT_TRUE(has(r.out, "BRIX: BRIX FAILED")) << r.out;
  patch(src + "/v/three", 0, "3");

  // One flipped byte in a member's data, in the second of its blocks: the
  // CRC and the comparison both name that member.
  r = s.run({"-t", "-E", "-B", "-f", archive, "v/two"});
  size_t at = r.out.find("BRIX: [");
  ASSERT_NE(at, std::string::npos) << r.out;
  off_t block = off_t(std::stoul(r.out.substr(at + 7)));
  off_t dataByte = (block + 1) * 512 + 700;
  std::string orig = readAt(archive, dataByte, 1);
  patch(archive, dataByte, "X");
  r = in(src, {"-K", "-E", "-H", "verify=2", "-f", archive});
  EXPECT_EQ(r.status, 65) << r.out << r.err;
  EXPECT_TRUE(has(r.err, "CRC error on v/two.")) << r.err;
  EXPECT_TRUE(has(r.err, "Compare error at offset 700 in local file v/two")) << r.err;
  EXPECT_TRUE(has(r.out, "BRIX:   ....... 1 CRC Errors")) << r.out;
  EXPECT_FALSE(has(r.err, "v/one")) << r.err;
  // A second damaged member: the run goes on and reports both.
  r = s.run({"-t", "-E", "-B", "-f", archive, "v/three"});
  at = r.out.find("BRIX: [");
  ASSERT_NE(at, std::string::npos) << r.out;
  off_t threeByte = (off_t(std::stoul(r.out.substr(at + 7))) + 1) * 512;
  patch(archive, threeByte, "Y");
  r = in(src, {"-K", "-E", "-H", "verify=2", "-f", archive});
  EXPECT_EQ(r.status, 65) << r.out << r.err;
  EXPECT_TRUE(has(r.err, "CRC error on v/two.")) << r.err;
  EXPECT_TRUE(has(r.err, "CRC error on v/three.")) << r.err;
  EXPECT_TRUE(has(r.err, "Compare error at offset 0 in local file v/three")) << r.err;
  EXPECT_TRUE(has(r.out, "BRIX:   ....... 2 CRC Errors")) << r.out;
  patch(archive, threeByte, "3");
  // Extract checks the CRC too, and still restores the file.
  std::string x = s.work + "/x";
  mkdir(x.c_str(), 0755);
  r = in(x, {"-x", "-E", "-H", "crc", "-f", archive, "v/two"});
  EXPECT_EQ(r.status, 65) << r.err;
  EXPECT_TRUE(has(r.err, "CRC error on v/two. Index CRC=")) << r.err;
  EXPECT_TRUE(exists(x + "/v/two"));
  patch(archive, dataByte, orig);

  // A damaged header: its checksum no longer holds.
  patch(archive, block * 512 + 3, "#");
  r = in(src, {"-K", "-E", "-f", archive});
  EXPECT_EQ(r.status, 72) << r.out << r.err;
  EXPECT_TRUE(has(r.err, "TAR Header error detected")) << r.err;
  EXPECT_TRUE(has(r.out, "BRIX:   ....... 1 Tar Header Errors")) << r.out;
  r = in(x, {"-x", "-E", "-f", archive});
  EXPECT_EQ(r.status, 72) << r.err;
  EXPECT_TRUE(has(r.err, "fatal inconsistency detected")) << r.err;
}

TEST_F(BrixExtract, DeleteAndUndelete) {
  writeFileAt(src + "/d/keep", "k");
  writeFileAt(src + "/d/gone", "g");
  symlink("keep", (src + "/d/ln").c_str());
  ASSERT_EQ(in(src, {"-c", "-E", "-f", archive, "d"}).status, 0);
  BrixResult r = s.run({"-D", "-E", "-f", archive, "d/gone", "d/ln"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "BRIX: d  d/gone\nBRIX: d  d/ln\nBRIX: BRIX SUCCESSFUL\n");
  r = s.run({"-t", "-E", "-f", archive, "d/gone"});
  EXPECT_TRUE(has(r.out, "-rw-r--r-- D ")) << r.out;
  r = in(out, {"-x", "-E", "-f", archive});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(exists(out + "/d/keep"));
  EXPECT_FALSE(exists(out + "/d/gone"));
  EXPECT_FALSE(exists(out + "/d/ln"));
  // Verify leaves deleted members out too.
  EXPECT_EQ(s.run({"-K", "-E", "-f", archive}).status, 0);

  r = s.run({"-U", "-E", "-f", archive});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(has(r.out, "BRIX: u  d/gone\n")) << r.out;
  EXPECT_TRUE(has(r.err, "WARNING: Cannot Undelete directory 'd'")) << r.err;
  EXPECT_TRUE(has(r.err, "WARNING: Cannot Undelete Consistency File index entry")) << r.err;
  r = in(out, {"-x", "-E", "-f", archive});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(readFile(out + "/d/gone"), "g");
  EXPECT_TRUE(exists(out + "/d/ln"));

  // An index that no longer matches its archive changes nothing.
  ASSERT_EQ(truncate(archive.c_str(), 512), 0);
  std::string before = readFile(archive + ".idx");
  r = s.run({"-D", "-E", "-f", archive, "d/keep"});
  EXPECT_EQ(r.status, 72);
  EXPECT_TRUE(has(r.err, "Fatal: Archive file " + archive + " size = 512")) << r.err;
  EXPECT_EQ(readFile(archive + ".idx"), before);
}

// Operations that read an archive back cannot work on a pipe: each fails
// with its message, and delete and undelete no longer claim success.
TEST_F(BrixExtract, PipedArchives) {
  writeFileAt(s.work + "/p.idx", "");
  struct row {
    std::vector<std::string> args;
    int status;
    std::string message;
  } rows[] = {
      {{"-x", "-f", "-", "-I", "p.idx"}, 72, "brix_Extract: please use regular tar to read piped Archive Files"},
      {{"-K", "-f", "-", "-I", "p.idx"}, 72, "brix_Verify: please use regular tar to read piped Archive Files"},
      {{"-X", "-f", "-", "-I", "p.idx"}, 64, "Build-Index operation not supported for piped Archive file"},
      {{"-D", "-f", "-", "-I", "p.idx"}, 72, "<DELETE> and <UNDELETE> functions do not work with piped Archive File"},
      {{"-U", "-f", "-", "-I", "p.idx"}, 72, "<DELETE> and <UNDELETE> functions do not work with piped Archive File"},
  };
  for (const row& w : rows) {
    BrixResult r = s.run(w.args);
    EXPECT_EQ(r.status, w.status) << w.args[0] << r.err;
    EXPECT_TRUE(has(r.err, w.message)) << r.err;
    EXPECT_TRUE(has(r.out, "BRIX: BRIX FAILED")) << r.out;
  }
  writeFileAt(src + "/f", "x");
  BrixResult r = in(src, {"-c", "-f", "-", "-I", s.work + "/p2.idx", "-H", "verify=1", "f"});
  EXPECT_EQ(r.status, 64) << r.err;
  EXPECT_TRUE(has(r.err, "cannot be verified")) << r.err;
}

// Bad input: each case gives its message and exit code and writes nothing.
TEST_F(BrixExtract, BadArchivesAndIndexes) {
  writeFileAt(src + "/b/f1", std::string(2000, 'a'));
  writeFileAt(src + "/b/f2", "b");
  ASSERT_EQ(in(src, {"-c", "-E", "-f", archive, "b"}).status, 0);
  // The other archive's consistency record is written in a later second,
  // so that it can never match this one's.
  for (time_t t0 = time(nullptr); time(nullptr) == t0;) usleep(20000);
  std::string other = s.work + "/o.tar";
  writeFileAt(src + "/c/f1", std::string(2000, 'x'));
  writeFileAt(src + "/c/f2", "c");
  ASSERT_EQ(in(src, {"-c", "-E", "-f", other, "c"}).status, 0);
  std::string idx = readFile(archive + ".idx");

  // An index of another archive of the very same size: the first header
  // read shows it.
  writeFileAt(archive + ".idx", readFile(other + ".idx"));
  BrixResult r = in(out, {"-x", "-E", "-f", archive});
  EXPECT_EQ(r.status, 65) << r.err;
  EXPECT_TRUE(has(r.err, "fatal pathname inconsistency detected")) << r.err;
  EXPECT_TRUE(has(r.err, "Index filename=\"c\" Archive filename=\"b\"")) << r.err;
  // Verify compares the consistency records first.
  r = s.run({"-K", "-E", "-H", "verify=info", "-f", archive});
  EXPECT_EQ(r.status, 72) << r.err;
  EXPECT_TRUE(has(r.err, "Fatal: Index file " + archive + ".idx is inconsistent with Archive File " + archive)) << r.err;
  // The archive's own index with one name changed: verify names it.
  std::string bad = idx;
  size_t name = bad.find("b/f1", size_t(entryAt(1)));
  ASSERT_NE(name, std::string::npos);
  bad[name + 2] = 'g';
  writeFileAt(archive + ".idx", bad);
  r = s.run({"-K", "-E", "-H", "verify=info", "-f", archive});
  EXPECT_EQ(r.status, 65) << r.err;
  EXPECT_TRUE(has(r.err, "Pathname inconsistency detected")) << r.err;
  writeFileAt(archive + ".idx", idx);

  // A member whose blocks reach past the archive's end.
  bad = idx;
  std::string offset(8, '\0');
  offset[6] = 0x01;  // block 256
  bad.replace(size_t(entryAt(2)) + 28, 8, offset);
  writeFileAt(archive + ".idx", bad);
  r = in(out, {"-x", "-E", "-f", archive});
  EXPECT_EQ(r.status, 72) << r.err;
  EXPECT_TRUE(has(r.err, "extends past end of archive\n- must recreate index with 'brix -X' command")) << r.err;
  r = s.run({"-K", "-E", "-f", archive});
  EXPECT_EQ(r.status, 72);
  writeFileAt(archive + ".idx", idx);

  // Entries that give their member no blocks at all (a directory, a file)
  // or fewer than its data takes: refused before anything is read, never
  // looped over.
  struct blocksRow {
    int entry;
    char blocks;
    std::string message;
  } blockRows[] = {{0, 0, "Index entry 0 (member file b) has 0 blocks for 0 bytes"},
                   {1, 0, "Index entry 1 (member file b/f1) has 0 blocks for 2000 bytes"},
                   {1, 4, "Index entry 1 (member file b/f1) has 4 blocks for 2000 bytes"}};
  for (const blocksRow& w : blockRows) {
    SCOPED_TRACE(w.message);
    bad = idx;
    bad.replace(size_t(entryAt(w.entry)) + 12, 4, std::string(3, '\0') + w.blocks);
    writeFileAt(archive + ".idx", bad);
    r = in(out, {"-x", "-E", "-f", archive}, 30);
    EXPECT_EQ(r.status, 72) << r.err;
    EXPECT_TRUE(has(r.err, w.message)) << r.err;
    EXPECT_TRUE(has(r.out, "BRIX: BRIX FAILED")) << r.out;
    r = s.run({"-K", "-E", "-f", archive}, "", 30);
    EXPECT_EQ(r.status, 72) << r.out << r.err;
    EXPECT_TRUE(has(r.err, "has " + std::to_string(int(w.blocks)) + " blocks for")) << r.err;
  }
  writeFileAt(archive + ".idx", idx);

  // A truncated archive: the size recorded in the index no longer holds.
  ASSERT_EQ(truncate(archive.c_str(), 3584), 0);  // cuts b/f2 short
  r = in(out, {"-x", "-E", "-f", archive});
  EXPECT_EQ(r.status, 72);
  EXPECT_TRUE(has(r.err, "[FATAL] Archive file " + archive + " size = 3584")) << r.err;
  // Rebuilt, its index ends before the member cut off.
  r = s.run({"-X", "-E", "-f", archive});
  EXPECT_EQ(r.status, 72) << r.err;
  EXPECT_TRUE(has(r.err, "seems to be truncated. Terminating index after 2 entries")) << r.err;
  EXPECT_TRUE(has(r.out, "BRIX: BRIX SUCCESSFUL")) << r.out;
  r = s.run({"-t", "-E", "-f", archive});
  EXPECT_EQ(listed(r.out), (std::vector<std::string>{"b/", "b/f1"})) << r.out;

  DIR* d = opendir(out.c_str());
  int entries = 0;
  while (struct dirent* de = readdir(d))
    if (de->d_name[0] != '.') entries++;
  closedir(d);
  EXPECT_EQ(entries, 0) << "nothing extracted";
}

// Nothing is written outside the directory extract runs in: ".." names are
// refused, absolute names made relative, and no member goes through a link
// an earlier member made.
TEST_F(BrixExtract, MembersStayBelowTheCurrentDirectory) {
  std::string victim = s.work + "/victim";
  writeFileAt(victim, "safe");
  mkdir((s.work + "/outside").c_str(), 0755);
  std::string py = s.work + "/mk.py";
  writeFileAt(py, R"PY(
import io, sys, tarfile
out, victim, outside = sys.argv[1], sys.argv[2], sys.argv[3]
t = tarfile.open(out, 'w', format=tarfile.USTAR_FORMAT)
def add(name, data=None, link=None, kind=None):
    i = tarfile.TarInfo(name)
    i.mtime = 1600000000
    if link is not None:
        i.type, i.linkname = tarfile.SYMTYPE, link
        t.addfile(i)
    elif kind == 'dir':
        i.type = tarfile.DIRTYPE
        t.addfile(i)
    else:
        i.size = len(data)
        t.addfile(i, io.BytesIO(data))
add('../escape', b'up')
add('a/../../escape2', b'up')
add('/abs/file', b'absolute')
add('ln', link=outside)
add('ln/through', b'through a link')
add('f', link=victim)
add('f', b'replaced')
add('d', link=outside)
add('d', kind='dir')
add('d/in', b'inside')
t.close()
)PY");
  std::string diff;
  ASSERT_EQ(shellRun("python3 " + py + " " + archive + " " + victim + " " + s.work + "/outside", &diff), 0) << diff;
  ASSERT_EQ(s.run({"-X", "-E", "-f", archive}).status, 0);
  BrixResult r = in(out, {"-x", "-E", "-f", archive});
  EXPECT_EQ(r.status, 65) << r.out << r.err;
  EXPECT_TRUE(has(r.err, "../escape: Member name contains '..' - not extracted")) << r.err;
  EXPECT_TRUE(has(r.err, "a/../../escape2: Member name contains '..' - not extracted")) << r.err;
  EXPECT_TRUE(has(r.err, "BRIX: Removing leading `/' from absolute path names in the archive")) << r.err;
  EXPECT_TRUE(has(r.err, "Not restoring ln/through: ln is a symbolic link restored earlier in this run")) << r.err;
  EXPECT_TRUE(has(r.out, "BRIX: BRIX SUCCESSFUL")) << r.out;
  EXPECT_FALSE(exists(s.work + "/escape"));
  EXPECT_FALSE(exists(s.work + "/escape2"));
  EXPECT_EQ(readFile(out + "/abs/file"), "absolute");
  EXPECT_FALSE(exists(s.work + "/outside/through"));
  EXPECT_EQ(readFile(victim), "safe");
  EXPECT_EQ(readFile(out + "/f"), "replaced");
  struct stat st;
  ASSERT_EQ(lstat((out + "/d").c_str(), &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  EXPECT_EQ(readFile(out + "/d/in"), "inside");
  EXPECT_FALSE(exists(s.work + "/outside/in"));
}

// A local rename that fails leaves the finished index under its temporary
// name and says FAILED.
TEST_F(BrixExtract, FailedIndexRenameIsAFailure) {
  writeFileAt(src + "/f", "x");
  std::string idxDir = s.work + "/idx";
  writeFileAt(idxDir + "/occupied", "");
  BrixResult r = in(src, {"-c", "-E", "-f", archive, "-I", idxDir, "f"});
  EXPECT_EQ(r.status, 72) << r.err;
  EXPECT_TRUE(has(r.err, "on rename attempt of local index file from " + s.work + "/brix_")) << r.err;
  EXPECT_TRUE(has(r.out, "BRIX: BRIX FAILED")) << r.out;
  std::vector<std::string> left = s.leftoverTempFiles();
  ASSERT_EQ(left.size(), 1u);
  unlink(left[0].c_str());

  ASSERT_EQ(in(src, {"-c", "-E", "-f", archive, "f"}).status, 0);
  r = s.run({"-X", "-E", "-f", archive, "-I", idxDir});
  EXPECT_EQ(r.status, 72) << r.err;
  EXPECT_TRUE(has(r.out, "BRIX: BRIX FAILED")) << r.out;
  left = s.leftoverTempFiles();
  ASSERT_EQ(left.size(), 1u);
  unlink(left[0].c_str());
}

// A file that cannot be written whole (here: past the file size limit)
// stops the extract and fails it; nothing claims success.
TEST_F(BrixExtract, ShortWriteFailsTheExtract) {
  std::string big(300 * 1024, 'z');
  writeFileAt(src + "/w/a", "first");
  writeFileAt(src + "/w/big", big);
  writeFileAt(src + "/w/z", "last");
  ASSERT_EQ(in(src, {"-c", "-E", "-H", "crc", "-f", archive, "w"}).status, 0);

  // brix inherits the limit, and ignores the signal, so its write comes
  // back short and then with EFBIG.
  struct rlimit old;
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
  struct rlimit lim = old;
  lim.rlim_cur = 64 * 1024;
  struct sigaction ign {}, prev {};
  ign.sa_handler = SIG_IGN;
  ASSERT_EQ(sigaction(SIGXFSZ, &ign, &prev), 0);
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &lim), 0);
  BrixResult r = in(out, {"-x", "-E", "-H", "crc", "-f", archive});
  setrlimit(RLIMIT_FSIZE, &old);
  sigaction(SIGXFSZ, &prev, nullptr);

  EXPECT_EQ(r.status, 72) << r.out << r.err;
  EXPECT_TRUE(has(r.err, "Error 27 writing local file w/big")) << r.err;
  EXPECT_TRUE(has(r.err, "Extract aborted")) << r.err;
  EXPECT_TRUE(has(r.out, "BRIX: BRIX FAILED")) << r.out;
  EXPECT_FALSE(has(r.out, "BRIX SUCCESSFUL")) << r.out;
  EXPECT_EQ(readFile(out + "/w/a"), "first");
  EXPECT_FALSE(exists(out + "/w/z"));

  // Without the limit the same extract completes.
  r = in(out, {"-x", "-E", "-H", "crc", "-f", archive});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(readFile(out + "/w/big"), big);
}

// An index rebuilt by -X from brix's own archive serves like the one create
// wrote: the same listing, extract, verify, delete and undelete.
TEST_F(BrixExtract, RebuiltIndexOfItsOwnArchive) {
  makeCorpus(src + "/corpus");
  ASSERT_EQ(in(src, {"-c", "-E", "-H", "crc", "-f", archive, "corpus"}).status, 0);
  BrixResult before = s.run({"-t", "-E", "-B", "-f", archive});
  ASSERT_EQ(before.status, 0) << before.err;
  ASSERT_EQ(rename((archive + ".idx").c_str(), (s.work + "/orig.idx").c_str()), 0);

  BrixResult r = s.run({"-X", "-E", "-H", "crc", "-f", archive});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_TRUE(has(r.out, "BRIX: BRIX SUCCESSFUL")) << r.out;
  BrixResult after = s.run({"-t", "-E", "-B", "-f", archive});
  ASSERT_EQ(after.status, 0) << after.err;
  EXPECT_EQ(after.out, before.out);

  r = in(out, {"-x", "-E", "-p", "-H", "crc", "-f", archive});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  std::string diff;
  EXPECT_EQ(shellRun("python3 " + checker + " tree " + out + "/corpus " + src + "/corpus", &diff), 0) << diff;
  r = in(src, {"-K", "-E", "-H", "verify=2", "-f", archive});
  EXPECT_EQ(r.status, 0) << r.out << r.err;

  // Its consistency record is the archive's, so delete and undelete take it.
  r = s.run({"-D", "-E", "-f", archive, "corpus/one"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(has(r.out, "BRIX: d  corpus/one\n")) << r.out;
  r = s.run({"-U", "-E", "-f", archive, "corpus/one"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(s.run({"-t", "-E", "-B", "-f", archive}).out, before.out);
}

// -X over archives with what brix does not take: a device or FIFO header
// between members is reported and passed over, three in a row too;
// a member past 4 GiB is skipped in one seek; -M caps the member count.
TEST_F(BrixExtract, BuildIndexOddArchives) {
  std::string py = s.work + "/mk.py";
  writeFileAt(py, R"PY(
import io, sys, tarfile
out, which = sys.argv[1], sys.argv[2]
t = tarfile.open(out, 'w', format=tarfile.USTAR_FORMAT)
def add(name, data=b'', kind=None, size=None):
    i = tarfile.TarInfo(name)
    i.mtime = 1600000000
    if kind:
        i.type = kind
        t.addfile(i)
    elif size is not None:
        i.size = size
        t.fileobj.write(i.tobuf(tarfile.USTAR_FORMAT))
        t.fileobj.seek(size + (-size % 512), 1)
        t.offset += 512 + size + (-size % 512)
    else:
        i.size = len(data)
        t.addfile(i, io.BytesIO(data))
if which == 'one':
    add('a', b'1' * 700); add('fifo', kind=tarfile.FIFOTYPE); add('b', b'2' * 10)
elif which == 'three':
    add('a', b'1'); add('f1', kind=tarfile.FIFOTYPE); add('f2', kind=tarfile.CHRTYPE)
    add('f3', kind=tarfile.FIFOTYPE); add('b', b'2')
else:
    add('a', b'1'); add('huge', size=(5 << 30) + 3); add('b', b'after the hole')
t.close()
)PY");
  std::string diff;
  ASSERT_EQ(shellRun("python3 " + py + " " + archive + " one", &diff), 0) << diff;
  BrixResult r = s.run({"-X", "-E", "-f", archive});
  EXPECT_EQ(r.status, 72) << r.out << r.err;
  EXPECT_TRUE(has(r.out, "INFO: Tar Entry type '6' not currently supported by BRIX")) << r.out;
  EXPECT_TRUE(has(r.out, "BRIX: BRIX SUCCESSFUL")) << r.out;
  r = s.run({"-t", "-E", "-f", archive});
  EXPECT_EQ(listed(r.out), (std::vector<std::string>{"a", "b"})) << r.out;
  r = in(out, {"-x", "-E", "-f", archive});
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(readFile(out + "/b"), std::string(10, '2'));

  ASSERT_EQ(shellRun("python3 " + py + " " + archive + " three", &diff), 0) << diff;
  r = s.run({"-X", "-E", "-f", archive});
  EXPECT_EQ(r.status, 72) << r.out << r.err;
  EXPECT_TRUE(has(r.out, "BRIX: BRIX SUCCESSFUL")) << r.out;
  r = s.run({"-t", "-E", "-f", archive});
  EXPECT_EQ(listed(r.out), (std::vector<std::string>{"a", "b"})) << r.out;

  ASSERT_EQ(shellRun("python3 " + py + " " + archive + " huge", &diff), 0) << diff;
  r = s.run({"-X", "-E", "-v", "-f", archive});
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  r = s.run({"-t", "-E", "-B", "-f", archive});
  EXPECT_TRUE(has(r.out, "BRIX: [10485764] ")) << "b's header follows the 5 GiB of data: " << r.out;
  EXPECT_EQ(listed(r.out), (std::vector<std::string>{"a", "huge", "b"})) << r.out;
  r = in(out, {"-x", "-E", "-f", archive, "b"});
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(readFile(out + "/b"), "after the hole");

  // -M 1 allows two entries; the third header is one too many.
  r = s.run({"-X", "-E", "-M", "1", "-f", archive});
  EXPECT_EQ(r.status, 72) << r.out << r.err;
  EXPECT_TRUE(has(r.err, "Gak - too many member files found on archive file")) << r.err;
  EXPECT_TRUE(has(r.out, "BRIX: BRIX FAILED")) << r.out;
}
