// brix creates local archives that other tar readers read back as the
// files were, and lists them from their index: the real brix binary against
// gwsim, archives on local disk.
#include <fcntl.h>
#include <dirent.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "brix_corpus.h"
#include "brix_session.h"
#include "journal_text.h"

namespace {

struct listedMember {
  uint64_t block;
  std::string path;
};

// The members of a -B listing, directory slashes taken off.
std::vector<listedMember> parseBlockListing(const std::string& out) {
  std::vector<listedMember> v;
  std::istringstream in(out);
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("BRIX: [", 0) != 0) continue;
    listedMember m;
    m.block = std::stoull(line.substr(7));
    size_t two = line.find("  ", line.find(':', 20));
    std::string rest = line.substr(two + 2);
    size_t arrow = rest.find(" -> ");
    if (arrow != std::string::npos) rest = rest.substr(0, arrow);
    if (rest.size() > 1 && rest.back() == '/') rest.pop_back();
    m.path = rest;
    v.push_back(m);
  }
  return v;
}

class BrixCreate : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(s.ready()) << s.gw.stderrText();
    corpus = s.work + "/corpus";
    archive = s.work + "/a.tar";
    checker = s.gw.dir() + "/check.py";
    writeFileAt(checker, kChecker);
  }
  BrixSession s;
  std::string corpus, archive, checker;
};

}  // namespace

TEST_F(BrixCreate, CorpusReadsBackInEveryReader) {
  makeCorpus(corpus);
  BrixResult r = s.run({"-c", "-E", "-f", archive, "corpus"});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("BRIX: BRIX SUCCESSFUL\n"), std::string::npos) << r.out;
  EXPECT_TRUE(s.leftoverTempFiles().empty());
  struct stat st;
  ASSERT_EQ(stat((archive + ".idx").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0644u);  // 0666 less the creation mask, once in place

  std::string pyOut;
  ASSERT_EQ(shellRun("python3 " + checker + " tarfile " + archive + " " + corpus, &pyOut), 0) << pyOut;
  std::string out;
  std::string gx = s.work + "/gx", bx = s.work + "/bx";
  mkdir(gx.c_str(), 0755);
  mkdir(bx.c_str(), 0755);
  ASSERT_EQ(shellRun("tar -x -p -f " + archive + " -C " + gx, &out), 0) << out;
  ASSERT_EQ(shellRun("python3 " + checker + " tree " + gx + "/corpus " + corpus, &out), 0) << out;
  ASSERT_EQ(shellRun("bsdtar -x -p -f " + archive + " -C " + bx, &out), 0) << out;
  ASSERT_EQ(shellRun("python3 " + checker + " tree " + bx + "/corpus " + corpus, &out), 0) << out;

  // The index lists the same members at the same blocks as tarfile finds.
  BrixResult list = s.run({"-t", "-E", "-B", "-f", archive});
  ASSERT_EQ(list.status, 0) << list.err;
  std::vector<listedMember> listed = parseBlockListing(list.out);
  std::vector<listedMember> fromTar;
  std::istringstream in(pyOut);
  std::string line;
  while (std::getline(in, line)) {
    size_t sp = line.find(' ');
    fromTar.push_back({std::stoull(line.substr(0, sp)), line.substr(sp + 1)});
  }
  ASSERT_EQ(listed.size(), fromTar.size()) << list.out << pyOut;
  for (size_t i = 0; i < listed.size(); i++) {
    EXPECT_EQ(listed[i].block, fromTar[i].block) << listed[i].path;
    EXPECT_EQ(listed[i].path, fromTar[i].path);
  }
  EXPECT_NE(listed.back().path.find("/BRIX_CF_CHK_"), std::string::npos);
}

TEST_F(BrixCreate, ListingLinesAndSelection) {
  writeFileAt(corpus + "/a.txt", repeat('a', 1234), 0640);
  writeFileAt(corpus + "/b.dat", "b");
  writeFileAt(corpus + "/sub/c.txt", "c");
  symlink("a.txt", (corpus + "/ln").c_str());
  setTimes(corpus + "/a.txt", 2200000000);
  ASSERT_EQ(s.run({"-c", "-E", "-H", "crc", "-f", archive, "corpus"}).status, 0);

  BrixResult r = s.run({"-t", "-E", "-f", archive, "corpus/a.txt"});
  ASSERT_EQ(r.status, 0) << r.err;
  std::string owner = std::string(getpwuid(geteuid())->pw_name) + "/" + getgrgid(getegid())->gr_name;
  EXPECT_EQ(r.out, "BRIX: -rw-r-----  " + owner + "       1234 2039-09-18 23:06  corpus/a.txt\n"
                   "BRIX: BRIX SUCCESSFUL\n");

  auto members = [&](const std::vector<std::string>& args) {
    std::vector<std::string> all = {"-t", "-E", "-f", archive};
    all.insert(all.end(), args.begin(), args.end());
    BrixResult l = s.run(all);
    EXPECT_EQ(l.status, 0) << l.err;
    std::vector<std::string> paths;
    std::istringstream in(l.out);
    std::string line;
    while (std::getline(in, line)) {
      if (line.find("BRIX SUCCESSFUL") != std::string::npos) continue;
      size_t two = line.rfind("  ");
      std::string p = line.substr(two + 2);
      size_t arrow = p.find(" -> ");
      if (arrow != std::string::npos) p = p.substr(0, arrow);
      paths.push_back(p);
    }
    return paths;
  };
  using v = std::vector<std::string>;
  EXPECT_EQ(members({"corpus/sub"}), (v{"corpus/sub/", "corpus/sub/c.txt"}));
  EXPECT_EQ(members({"corpus/*.txt"}), (v{"corpus/a.txt"}));
  EXPECT_EQ(members({"*/*/*.txt"}), (v{"corpus/sub/c.txt"}));
  EXPECT_EQ(members({"-H", "norecurse", "corpus/sub"}), (v{"corpus/sub/"}));
  writeFileAt(s.work + "/names", "corpus/b.dat\n  corpus/ln  \n");
  EXPECT_EQ(members({"-L", s.work + "/names"}), (v{"corpus/b.dat", "corpus/ln"}));
  EXPECT_EQ(members({"-J", "0", "2"}), (v{"corpus/", "corpus/b.dat"}));
  EXPECT_EQ(members({"nothing/matches"}), v{});

  // CRC column: files carry their CRC, others blanks.
  r = s.run({"-t", "-E", "-H", "crc", "-f", archive, "corpus/b.dat", "corpus/ln"});
  EXPECT_NE(r.out.find("-rw-r--r-- [0x71beeff9] "), std::string::npos) << r.out;  // CRC-32 of "b"
  EXPECT_NE(r.out.find("lrwxrwxrwx              "), std::string::npos) << r.out;
}

// Paths too long for the name field are stored split into prefix and name;
// the listing joins them again, for files and for directories alike.
TEST_F(BrixCreate, ListingLinesOfSplitNames) {
  std::string deep = "corpus/" + repeat('p', 70) + "/" + repeat('q', 40);  // as archived, from work
  std::string at = s.work + "/" + deep;
  struct Case {
    std::string path;  // as listed
    std::string line;  // the line's start, up to the path
  } cases[] = {
      {deep + "/", "BRIX: drwxr-x---  "},
      {deep + "/" + repeat('n', 90), "BRIX: -rw-r-----  "},
      {deep + "/short", "BRIX: -rw-r-----  "},
  };
  writeFileAt(at + "/" + repeat('n', 90), "12345", 0640);
  writeFileAt(at + "/short", "12345", 0640);
  chmod(at.c_str(), 0750);
  for (const Case& c : cases) setTimes(s.work + "/" + c.path, 2200000000);
  ASSERT_EQ(s.run({"-c", "-E", "-f", archive, deep}).status, 0);
  BrixResult r = s.run({"-t", "-E", "-f", archive});
  ASSERT_EQ(r.status, 0) << r.err;
  std::string owner = std::string(getpwuid(geteuid())->pw_name) + "/" + getgrgid(getegid())->gr_name;
  for (const Case& c : cases) {
    std::string size = c.path.back() == '/' ? "         0" : "         5";
    std::string line = c.line + owner + " " + size + " 2039-09-18 23:06  " + c.path + "\n";
    EXPECT_NE(r.out.find(line), std::string::npos) << line << "in\n" << r.out;
  }
}

TEST_F(BrixCreate, ExclusionsOnTheCommandLine) {
  writeFileAt(corpus + "/keep.c", "x");
  writeFileAt(corpus + "/drop.o", "x");
  writeFileAt(corpus + "/notes.tmp", "x");
  writeFileAt(corpus + "/cache/CACHEDIR.TAG", "Signature: 8a477f597d28d172789f06886806bc55");
  writeFileAt(corpus + "/cache/blob", "x");
  writeFileAt(corpus + "/repo/.gitignore", "*.log\n");
  writeFileAt(corpus + "/repo/run.log", "x");
  writeFileAt(corpus + "/repo/src.c", "x");
  writeFileAt(s.work + "/patterns", "*.tmp\n");
  BrixResult r = s.run({"-c", "-E", "-f", archive, "--exclude=*.o", "--exclude-from=" + s.work + "/patterns",
                        "-H", "exclude-caches-under:exclude-vcs-ignores", "corpus"});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  std::string out;
  ASSERT_EQ(shellRun("tar -tf " + archive + " 2>/dev/null | grep -v BRIX_CF_CHK", &out), 0);
  EXPECT_EQ(out, "corpus\ncorpus/cache\ncorpus/keep.c\ncorpus/repo\ncorpus/repo/.gitignore\ncorpus/repo/src.c\n");
}

TEST_F(BrixCreate, BadNamesAndMissingFiles) {
  writeFileAt(corpus + "/ok", "fine");
  std::string tooLong = repeat('z', 160) + "/" + repeat('w', 95);  // no usable split
  writeFileAt(corpus + "/" + tooLong, "x");
  BrixResult r = s.run({"-c", "-E", "-f", archive, "corpus", "corpus/not-there"});
  EXPECT_EQ(r.status, 72) << r.out << r.err;  // the missing name came first
  EXPECT_NE(r.err.find("file or directory does not exist: corpus/not-there"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("WARNING: name too long for tar archive- file omitted\n  [corpus/" + tooLong + "]"),
            std::string::npos) << r.err;
  EXPECT_NE(r.out.find("BRIX SUCCESSFUL"), std::string::npos);
  std::string out;
  ASSERT_EQ(shellRun("tar -tf " + archive, &out), 0) << out;
  EXPECT_NE(out.find("corpus/ok"), std::string::npos);
  EXPECT_EQ(out.find("wwww"), std::string::npos);

  r = s.run({"-c", "-E", "-f", s.work + "/e.tar", "corpus/nothing*"});
  EXPECT_EQ(r.status, 2) << r.err;
  EXPECT_EQ(r.out, "INFO: refusing to create empty archive\nBRIX: BRIX SUCCESSFUL\n");
  struct stat st;
  EXPECT_NE(stat((s.work + "/e.tar").c_str(), &st), 0);
  EXPECT_TRUE(s.leftoverTempFiles().empty());
}

TEST_F(BrixCreate, PipedArchiveAndItsIndex) {
  writeFileAt(corpus + "/f", "piped data");
  BrixResult r = s.run({"-c", "-E", "-v", "-f", "-", "-I", s.work + "/p.idx", "corpus"});
  ASSERT_EQ(r.status, 0) << r.err;
  // Only the archive is on standard output; the messages went to standard error.
  EXPECT_NE(r.err.find("BRIX: BRIX SUCCESSFUL"), std::string::npos) << r.err;
  writeFileAt(s.work + "/p.tar", r.out);
  std::string out;
  ASSERT_EQ(shellRun("tar -xOf " + s.work + "/p.tar corpus/f 2>/dev/null", &out), 0) << out;
  EXPECT_EQ(out, "piped data");
  struct stat st;
  EXPECT_EQ(stat((s.work + "/p.idx").c_str(), &st), 0);
  EXPECT_TRUE(s.leftoverTempFiles().empty());

  r = s.run({"-t", "-f", "-", "-I", s.work + "/p.idx"});
  EXPECT_EQ(r.status, 64) << r.err;
  EXPECT_NE(r.out.find("BRIX: BRIX FAILED"), std::string::npos) << r.out;
  r = s.run({"-t", "-f", "-"});
  EXPECT_EQ(r.status, 64);
  EXPECT_NE(r.err.find("[Fatal]Index file pathname must be specified for piped Archive file"), std::string::npos);
}

TEST_F(BrixCreate, IndexNamesAndSizeCheck) {
  writeFileAt(corpus + "/f", "x");
  mkdir((s.work + "/dir").c_str(), 0755);
  struct row {
    std::vector<std::string> args;
    std::string index;
  } rows[] = {{{}, "dir/a.tar.idx"}, {{"-I", ".i"}, "dir/a.tar.i"}, {{"-I", "other.idx"}, "dir/other.idx"},
              {{"-I", s.work + "/abs.idx"}, s.work + "/abs.idx"},
              // Beginning with '.' but a path, not a suffix.
              {{"-I", "../up.idx"}, "up.idx"}, {{"-I", "./here.idx"}, "dir/here.idx"}};
  for (const row& w : rows) {
    std::vector<std::string> args = {"-c", "-E", "-f", "dir/a.tar"};
    args.insert(args.end(), w.args.begin(), w.args.end());
    args.push_back("corpus");
    ASSERT_EQ(s.run(args).status, 0);
    std::string idx = w.index[0] == '/' ? w.index : s.work + "/" + w.index;
    struct stat st;
    EXPECT_EQ(stat(idx.c_str(), &st), 0) << idx;
  }
  // An archive whose size differs from the one its index records is refused.
  ASSERT_EQ(truncate((s.work + "/dir/a.tar").c_str(), 1535), 0);
  BrixResult r = s.run({"-t", "-E", "-f", "dir/a.tar"});
  EXPECT_EQ(r.status, 72);
  EXPECT_NE(r.err.find("[FATAL] Inconsistent actual/index files sizes for Archive file dir/a.tar"), std::string::npos);
  EXPECT_NE(r.err.find("     Archive file actual size is: 1535"), std::string::npos);
  EXPECT_NE(r.out.find("BRIX: BRIX FAILED"), std::string::npos);
}

TEST_F(BrixCreate, StartUpAndTheGatewayLog) {
  BrixResult r = s.run({});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "");
  EXPECT_NE(r.err.find("Usage:"), std::string::npos);

  writeFileAt(corpus + "/f", "x");
  r = s.run({"-c", "-f", archive, "corpus"});  // in the storage service, where that directory is missing
  EXPECT_EQ(r.status, 72) << r.err;
  EXPECT_NE(r.err.find("Nonexistent path (do you need -P?) creating archive file " + archive), std::string::npos)
      << r.err;
  EXPECT_NE(r.out.find("BRIX: BRIX FAILED"), std::string::npos);

  writeFileAt(s.home + "/.brixrc", "disable_gets yes\n");
  r = s.run({"-c", "-f", archive, "corpus"});
  EXPECT_EQ(r.status, 72);
  EXPECT_NE(r.err.find("ERROR (main) Read operations disabled until further notice"), std::string::npos);
  r = s.run({"-c", "-E", "-f", archive, "corpus"});
  EXPECT_EQ(r.status, 0) << r.err;
  unlink((s.home + "/.brixrc").c_str());

  auto j = s.gw.journalLines();
  EXPECT_EQ(countLines(j, "log-open subsys=brix options=0x60000"), 2);  // the refused run never logged in
  // The journal shows the record's tabs as '?'.
  std::string createLine = lineWith(j, "?create?LL?0?");
  EXPECT_NE(createLine.find("select=0x6000000"), std::string::npos) << createLine;
  EXPECT_NE(createLine.find("?3072?"), std::string::npos) << createLine;  // dir, file, consistency, end
  EXPECT_FALSE(lineWith(j, "VERSION: [brix").empty());
  EXPECT_FALSE(lineWith(j, "CWD: " + s.work).empty());
  EXPECT_FALSE(lineWith(j, "-c -E -f " + archive + " corpus ").empty());
  EXPECT_FALSE(lineWith(j, "INFO: Archive file will be 3072 bytes, 3 objects").empty());

  // A log-in the gateway refuses ends the run before any operation.
  std::string netrc = readFile(s.home + "/.netrc");
  netrc.replace(netrc.find("wonderland"), 10, "wrong");
  writeFileAt(s.home + "/.netrc", netrc, 0600);
  r = s.run({"-c", "-E", "-f", archive, "corpus"});
  EXPECT_EQ(r.status, 71);
  EXPECT_NE(r.err.find("unable to open remote gateway server connection"), std::string::npos) << r.err;
  EXPECT_EQ(r.out, "BRIX: BRIX FAILED\n");
}

// rmlocal removes the files and symbolic links that went into the archive,
// never directories, and leaves a link's target alone.
TEST_F(BrixCreate, RemoveLocalFilesAfterCreate) {
  writeFileAt(corpus + "/sub/a", "a");
  writeFileAt(s.work + "/outside", "target");
  symlink((s.work + "/outside").c_str(), (corpus + "/ln").c_str());
  BrixResult r = s.run({"-c", "-E", "-H", "rmlocal", "-f", archive, "corpus"});
  ASSERT_EQ(r.status, 0) << r.err;
  struct stat st;
  EXPECT_NE(lstat((corpus + "/sub/a").c_str(), &st), 0);
  EXPECT_NE(lstat((corpus + "/ln").c_str(), &st), 0);
  EXPECT_EQ(stat((corpus + "/sub").c_str(), &st), 0);
  EXPECT_EQ(readFile(s.work + "/outside"), "target");
  std::string out;
  ASSERT_EQ(shellRun("tar -xOf " + archive + " corpus/sub/a 2>/dev/null", &out), 0);
  EXPECT_EQ(out, "a");
}

namespace {

// True once brix's main thread has taken everything written to the list
// FIFO and waits in read on it again: every name written so far is listed.
bool listFifoDrained(pid_t pid, int writeFd, const std::string& fifo) {
  for (int tries = 0; tries < 20000; tries++) {
    int pending = -1;
    if (ioctl(writeFd, FIONREAD, &pending) == 0 && pending == 0) {
      int fifoFd = -1;
      std::string fdDir = "/proc/" + std::to_string(pid) + "/fd";
      if (DIR* d = opendir(fdDir.c_str())) {
        while (struct dirent* de = readdir(d)) {
          char target[4096];
          ssize_t n = readlink((fdDir + "/" + de->d_name).c_str(), target, sizeof target - 1);
          if (n > 0 && std::string(target, size_t(n)) == fifo) fifoFd = atoi(de->d_name);
        }
        closedir(d);
      }
      std::ifstream sc("/proc/" + std::to_string(pid) + "/syscall");
      long nr = -1;
      std::string arg;
      sc >> nr >> arg;
      if (fifoFd >= 0 && nr == SYS_read && !arg.empty() && std::stol(arg, nullptr, 16) == fifoFd) return true;
    }
    usleep(1000);
  }
  return false;
}

}  // namespace

// Members that change between the listing and the read: the archive keeps
// the layout the index planned, the unreadable member is reported, padded
// and counted in the exit code, and other readers read the archive whole.
TEST_F(BrixCreate, MembersChangingAfterTheyWereListed) {
  writeFileAt(corpus + "/first", "first");
  writeFileAt(corpus + "/grows", repeat('g', 700));
  writeFileAt(corpus + "/shrinks", repeat('s', 1300));
  writeFileAt(corpus + "/becomesdir", repeat('d', 2000));
  writeFileAt(corpus + "/last", "last");
  std::string list = s.work + "/names";
  ASSERT_EQ(mkfifo(list.c_str(), 0600), 0);
  BrixRunning run = s.start({"-c", "-E", "-H", "crc", "-f", archive, "-L", list});
  int w = open(list.c_str(), O_WRONLY);
  ASSERT_GE(w, 0);
  std::string names = "corpus/first\ncorpus/grows\ncorpus/shrinks\ncorpus/becomesdir\n";
  ASSERT_EQ(write(w, names.data(), names.size()), ssize_t(names.size()));
  ASSERT_TRUE(listFifoDrained(run.pid, w, list));
  writeFileAt(corpus + "/grows", repeat('g', 700) + repeat('G', 5000));
  writeFileAt(corpus + "/shrinks", repeat('s', 100));
  ASSERT_EQ(unlink((corpus + "/becomesdir").c_str()), 0);
  ASSERT_EQ(mkdir((corpus + "/becomesdir").c_str(), 0755), 0);
  names = "corpus/last\n";
  ASSERT_EQ(write(w, names.data(), names.size()), ssize_t(names.size()));
  close(w);
  BrixResult r = s.finish(run);
  EXPECT_EQ(r.status, 72) << r.out << r.err;
  EXPECT_NE(r.err.find("ERROR: Unrecoverable error reading local file corpus/becomesdir"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("file size changed for corpus/grows"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("file size changed for corpus/shrinks"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("corpus/shrinks: File shrank by 1200 bytes; padding with zeros"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("corpus/grows: file changed as we read it"), std::string::npos) << r.err;
  EXPECT_NE(r.out.find("BRIX: BRIX SUCCESSFUL"), std::string::npos) << r.out;  // the member failed, not the run
  EXPECT_TRUE(s.leftoverTempFiles().empty());

  // Sizes as listed; the shrunk file padded with zeros, the unreadable one
  // all zeros at its planned size.
  std::string out;
  ASSERT_EQ(shellRun("tar -tvf " + archive + " 2>&1", &out), 0) << out;
  ASSERT_EQ(shellRun("bsdtar -tvf " + archive + " 2>&1", &out), 0) << out;
  ASSERT_EQ(shellRun("tar -xOf " + archive + " corpus/grows 2>/dev/null", &out), 0);
  EXPECT_EQ(out, repeat('g', 700));
  ASSERT_EQ(shellRun("tar -xOf " + archive + " corpus/shrinks 2>/dev/null", &out), 0);
  EXPECT_EQ(out, repeat('s', 100) + std::string(1200, '\0'));
  ASSERT_EQ(shellRun("tar -xOf " + archive + " corpus/becomesdir 2>/dev/null", &out), 0);
  EXPECT_EQ(out, std::string(2000, '\0'));
  ASSERT_EQ(shellRun("tar -xOf " + archive + " corpus/last 2>/dev/null", &out), 0);
  EXPECT_EQ(out, "last");

  // The index still matches the archive, block for block; the failed
  // member is a deleted entry there, so the listing leaves it out.
  BrixResult list2 = s.run({"-t", "-E", "-B", "-f", archive});
  ASSERT_EQ(list2.status, 0) << list2.err;
  std::vector<listedMember> listed = parseBlockListing(list2.out);
  ASSERT_EQ(shellRun("python3 -c \"import tarfile,sys\n"
                     "for m in tarfile.open(sys.argv[1]).getmembers(): print(m.offset // 512, m.name)\" " + archive,
                     &out), 0) << out;
  std::istringstream in(out);
  std::string line;
  size_t i = 0;
  while (std::getline(in, line)) {
    if (line == "9 corpus/becomesdir") continue;
    ASSERT_LT(i, listed.size()) << out;
    EXPECT_EQ(std::to_string(listed[i].block) + " " + listed[i].path, line);
    i++;
  }
  EXPECT_EQ(i, listed.size());
}

// Files that shrink, grow or go after they were listed are reported as GNU
// tar reports them and make the exit code 1 while the archive is complete;
// rmlocal removes only the file that is as it was archived.
TEST_F(BrixCreate, ChangedMembersMakeTheRunFailAndStay) {
  writeFileAt(corpus + "/same", "same");
  writeFileAt(corpus + "/shrinks", repeat('s', 1300));
  writeFileAt(corpus + "/grows", repeat('g', 700));
  writeFileAt(corpus + "/goes", "goes");
  std::string list = s.work + "/names";
  ASSERT_EQ(mkfifo(list.c_str(), 0600), 0);
  BrixRunning run = s.start({"-c", "-E", "-H", "rmlocal", "-f", archive, "-L", list});
  int w = open(list.c_str(), O_WRONLY);
  ASSERT_GE(w, 0);
  std::string names = "corpus/same\ncorpus/shrinks\ncorpus/grows\ncorpus/goes\n";
  ASSERT_EQ(write(w, names.data(), names.size()), ssize_t(names.size()));
  ASSERT_TRUE(listFifoDrained(run.pid, w, list));
  writeFileAt(corpus + "/shrinks", repeat('s', 100));
  writeFileAt(corpus + "/grows", repeat('g', 701));
  ASSERT_EQ(unlink((corpus + "/goes").c_str()), 0);
  close(w);
  BrixResult r = s.finish(run);
  EXPECT_EQ(r.status, 1) << r.out << r.err;
  EXPECT_NE(r.err.find("corpus/shrinks: File shrank by 1200 bytes; padding with zeros"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("corpus/grows: file changed as we read it"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("Local file corpus/goes was missing or inaccessible"), std::string::npos) << r.err;
  EXPECT_NE(r.out.find("BRIX: BRIX SUCCESSFUL"), std::string::npos) << r.out;
  struct stat st;
  EXPECT_NE(stat((corpus + "/same").c_str(), &st), 0) << "archived as it is: removed";
  EXPECT_EQ(readFile(corpus + "/shrinks"), repeat('s', 100));
  EXPECT_EQ(readFile(corpus + "/grows"), repeat('g', 701));
  std::string out;
  ASSERT_EQ(shellRun("tar -xOf " + archive + " corpus/same 2>/dev/null", &out), 0);
  EXPECT_EQ(out, "same");
}

// A file that says it is larger than what it reads (a /sys file) is padded
// and reported; the check after the create does not hide it.
TEST_F(BrixCreate, FileShorterThanItsSize) {
  std::string sysFile;
  for (const char* f : {"/sys/class/net/lo/mtu", "/sys/kernel/mm/transparent_hugepage/enabled"}) {
    struct stat st;
    if (stat(f, &st) == 0 && st.st_size == 4096 && readFile(f).size() < 4096) sysFile = f;
  }
  if (sysFile.empty()) GTEST_SKIP() << "no /sys file that reads short";
  size_t real = readFile(sysFile).size();
  BrixResult r = s.run({"-c", "-E", "-H", "verify=1", "-f", archive, sysFile});
  EXPECT_EQ(r.status, 1) << r.out << r.err;
  EXPECT_NE(r.err.find(sysFile.substr(1) + ": File shrank by " + std::to_string(4096 - real) +
                       " bytes; padding with zeros"),
            std::string::npos)
      << r.err;
}

// The archive named among its members, as when a create is run again over
// the directory that holds it, is left out with GNU tar's words.
TEST_F(BrixCreate, TheArchiveIsNotItsOwnMember) {
  writeFileAt(corpus + "/f", "f");
  std::string inside = corpus + "/a.tar";
  ASSERT_EQ(s.run({"-c", "-E", "-f", inside, "corpus"}).status, 0);
  BrixResult r = s.run({"-c", "-E", "-f", inside, "corpus"});
  EXPECT_EQ(r.status, 1) << r.out << r.err;
  EXPECT_NE(r.err.find("corpus/a.tar: file is the archive; not dumped"), std::string::npos) << r.err;
  std::string out;
  ASSERT_EQ(shellRun("tar -tf " + inside + " 2>/dev/null", &out), 0) << out;
  EXPECT_EQ(out.find("corpus/a.tar"), std::string::npos) << out;
  EXPECT_NE(out.find("corpus/f"), std::string::npos) << out;
}

// Members are stored in the byte order of their whole names, also where a
// directory's own entries do not come together in that order (".", "-" and
// " " sort before "/") and across several names on the command line.
TEST_F(BrixCreate, MembersInTheOrderOfTheirNames) {
  for (const char* f : {"d/f", "d/e/g", "d.x", "d-y/h", "d0", "d y", "c/z", "D"})
    writeFileAt(corpus + "/" + f, f);
  writeFileAt(s.work + "/b/q", "q");
  BrixResult r = s.run({"-c", "-E", "-f", archive, "corpus", "b"});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  std::string got, want;
  ASSERT_EQ(shellRun("tar -tf " + archive + " 2>/dev/null | grep -v BRIX_CF_CHK_", &got), 0) << got;
  // One walk per name given, each in order; the names in the order given.
  ASSERT_EQ(shellRun("cd " + s.work + " && find corpus | LC_ALL=C sort && find b | LC_ALL=C sort", &want), 0)
      << want;
  EXPECT_EQ(got, want);
}

// An archive written over an old one, longer or shorter, is what a create
// into a new file gives: nothing of the old one is left after its end.
TEST_F(BrixCreate, AnOldArchiveIsReplacedWhole) {
  for (int i = 0; i < 100; i++) writeFileAt(corpus + "/f" + std::to_string(i), repeat(char('a' + i % 26), 700 + i));
  std::string fresh = s.work + "/fresh.tar";
  ASSERT_EQ(s.run({"-c", "-E", "-f", fresh, "corpus"}).status, 0);
  struct stat want;
  ASSERT_EQ(stat(fresh.c_str(), &want), 0);
  std::string wantList;
  // The consistency member's name differs from run to run.
  auto members = [](const std::string& path, std::string* out) {
    return shellRun("tar -tvf " + path + " 2>/dev/null | grep -v BRIX_CF_CHK_", out);
  };
  ASSERT_EQ(members(fresh, &wantList), 0) << wantList;
  for (size_t oldSize : {size_t(10), size_t(want.st_size) + 512, size_t(4) << 20}) {
    SCOPED_TRACE(oldSize);
    writeFileAt(archive, repeat('z', oldSize));
    BrixResult r = s.run({"-c", "-E", "-f", archive, "corpus"});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    struct stat got;
    ASSERT_EQ(stat(archive.c_str(), &got), 0);
    EXPECT_EQ(got.st_size, want.st_size);
    std::string list, data;
    EXPECT_EQ(members(archive, &list), 0) << list;
    EXPECT_EQ(list, wantList);
    ASSERT_EQ(shellRun("tar -xOf " + archive + " corpus/f99 2>/dev/null", &data), 0) << data;
    EXPECT_EQ(data, repeat(char('a' + 99 % 26), 799));
    r = s.run({"-t", "-E", "-f", archive});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
  }
}

// Times the index cannot hold (before 1970, past 2106) are never changed
// unsaid: the member is left out, the run says which and fails.
TEST_F(BrixCreate, TimesOutOfRange) {
  struct row {
    const char* name;
    time_t mtime;
    bool stored;
  } rows[] = {{"before1970", -86400, false}, {"after2106", time_t(1) << 33, false}, {"now", 1700000000, true}};
  for (const row& w : rows) {
    writeFileAt(corpus + "/" + w.name, w.name);
    struct timespec ts[2] = {{w.mtime, 0}, {w.mtime, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, (corpus + "/" + w.name).c_str(), ts, 0), 0);
  }
  BrixResult r = s.run({"-c", "-E", "-f", archive, "corpus"});
  EXPECT_EQ(r.status, 70) << r.out << r.err;
  std::string out;
  ASSERT_EQ(shellRun("tar -tf " + archive + " 2>/dev/null", &out), 0) << out;
  for (const row& w : rows) {
    std::string member = std::string("corpus/") + w.name;
    EXPECT_EQ(out.find(member) != std::string::npos, w.stored) << out;
    EXPECT_EQ(r.err.find(member + ": modification time out of the range") != std::string::npos, !w.stored) << r.err;
  }
}

// A piped archive whose reader has gone: the write fails, the run says so
// and cleans up, and no signal ends it.
TEST_F(BrixCreate, PipedArchiveWithoutAReader) {
  for (int i = 0; i < 40; i++) writeFileAt(corpus + "/f" + std::to_string(i), repeat(char('a' + i % 26), 20000));
  BrixRunning run = s.start({"-c", "-E", "-f", "-", "-I", s.work + "/p.idx", "corpus"});
  close(run.outFd);
  run.outFd = open("/dev/null", O_RDONLY);
  BrixResult r = s.finish(run);
  EXPECT_EQ(r.status, 72) << r.err;
  EXPECT_NE(r.err.find("BRIX: BRIX FAILED"), std::string::npos) << r.err;
  EXPECT_TRUE(s.leftoverTempFiles().empty());
  struct stat st;
  EXPECT_NE(stat((s.work + "/p.idx").c_str(), &st), 0);
}
