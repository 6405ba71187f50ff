// brix against archives other tars write and archives made to hurt it:
// build-index of big, pax and odd members, extraction over links planted in
// the target, and creates whose members change under it, with the real brix
// binary against gwsim. Archives are made here with Python's tarfile, GNU
// tar and bsdtar.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "brix_session.h"

namespace {

bool has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

// Member paths and sizes of a brix listing, "path size" per member.
std::vector<std::string> sizes(const std::string& out) {
  std::vector<std::string> v;
  std::istringstream in(out);
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("BRIX: ", 0) != 0 || has(line, "BRIX SUCCESSFUL") || has(line, "BRIX FAILED")) continue;
    std::istringstream w(line.substr(6));
    std::string perm, owner, size;
    w >> perm >> owner >> size;
    std::string p = line.substr(line.rfind("  ") + 2);
    size_t arrow = p.find(" -> ");
    if (arrow != std::string::npos) p = p.substr(0, arrow);
    v.push_back(p + " " + size);
  }
  return v;
}

class BrixHostile : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(s.ready()) << s.gw.stderrText();
    archive = s.work + "/a.tar";
    out = s.work + "/out";
    mkdir(out.c_str(), 0755);
    maker = s.gw.dir() + "/mk.py";
    writeFileAt(maker, kMaker);
  }
  // Makes archive with the Python maker's case which.
  void make(const std::string& which, const std::string& path = "") {
    std::string diff;
    ASSERT_EQ(shellRun("python3 " + maker + " " + (path.empty() ? archive : path) + " " + which, &diff), 0)
        << diff;
  }
  BrixResult in(const std::string& dir, const std::vector<std::string>& args) {
    s.cwd = dir;
    BrixResult r = s.run(args);
    s.cwd.clear();
    return r;
  }
  static const char* const kMaker;
  BrixSession s;
  std::string archive, out, maker;
};

const char* const BrixHostile::kMaker = R"PY(
import io, sys, tarfile
out, which = sys.argv[1], sys.argv[2]
fmt = {'gnu': tarfile.GNU_FORMAT, 'pax': tarfile.PAX_FORMAT}.get(which.split('-')[0], tarfile.USTAR_FORMAT)
t = tarfile.open(out, 'w', format=fmt)
def info(name, size=0, kind=None, pax=None, linkname='', uid=0, mode=0o644):
    i = tarfile.TarInfo(name)
    i.mtime = 1600000000
    i.size = size
    i.linkname = linkname
    i.uid = uid
    i.mode = mode
    if kind: i.type = kind
    if pax: i.pax_headers = pax
    return i
def add(name, data=b'', **kw):
    t.addfile(info(name, len(data), **kw), io.BytesIO(data))
def hole(name, size):
    # a member of size bytes whose data is a hole in the file
    t.fileobj.write(info(name, size).tobuf(fmt, t.encoding, t.errors))
    t.fileobj.seek(size + (-size % 512), 1)
    t.offset += 512 + size + (-size % 512)
def bad(name):
    b = bytearray(info(name).tobuf(tarfile.USTAR_FORMAT))
    b[148:156] = b'0000001\0'
    t.fileobj.write(bytes(b)); t.offset += 512
if which in ('gnu-big', 'pax-big'):
    add('a', b'1' * 10); hole('big', (8 << 30) + 5); add('b', b'after the big one')
elif which == 'pax-repeat':
    add('a', b'1', pax={'path': 'a', 'uid': '0', 'uname': '', 'mtime': '1600000000.5'})
    add('d/', kind=tarfile.DIRTYPE, pax={'path': 'd'})
    add('d/l', kind=tarfile.SYMTYPE, pax={'linkpath': ''})
    add('b', b'22', pax={'size': '2', 'gid': '0'})
    add('c', b'3', pax={'path': 'elsewhere'})
    add('e', b'4', pax={'uid': '7'})
    add('f', b'5')
elif which == 'fifos':
    add('a', b'1'); add('f1', kind=tarfile.FIFOTYPE); add('f2', kind=tarfile.CHRTYPE)
    add('f3', kind=tarfile.FIFOTYPE); add('f4', kind=tarfile.BLKTYPE); add('b', b'2')
elif which.startswith('link-to:'):
    add('d', kind=tarfile.SYMTYPE, linkname=which[8:])
elif which == 'dir-and-file':
    add('d/', kind=tarfile.DIRTYPE); add('d/evil', b'evil', uid=4242, mode=0o4777)
elif which == 'badsums':
    add('a', b'1'); bad('x1'); bad('x2'); bad('x3'); add('b', b'2')
t.close()
)PY";

}  // namespace

// A member of 8 GiB and more has its size in base-256 (GNU format) or in a
// pax size record: the index gets the size, the member after it is found
// where GNU tar finds it, and it extracts.
TEST_F(BrixHostile, BuildIndexOfMembersOfEightGiB) {
  for (const char* which : {"gnu-big", "pax-big"}) {
    SCOPED_TRACE(which);
    make(which);
    std::string tarList;
    ASSERT_EQ(shellRun("tar -tvf " + archive, &tarList), 0) << tarList;
    ASSERT_TRUE(has(tarList, " 8589934597 ") && has(tarList, " b\n")) << tarList;
    BrixResult r = s.run({"-X", "-E", "-f", archive});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_TRUE(has(r.out, "BRIX: BRIX SUCCESSFUL")) << r.out;
    r = s.run({"-t", "-E", "-f", archive});
    EXPECT_EQ(sizes(r.out), (std::vector<std::string>{"a 10", "big 8589934597", "b 17"})) << r.out;
    r = in(out, {"-x", "-E", "-f", archive, "b"});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(slurp(out + "/b"), "after the big one");
    unlink((out + "/b").c_str());
  }
}

// pax records that say again what the ustar header says (or give the size)
// leave their member indexed; one that says something else (another path,
// another owner) leaves its member out, and the run says so.
TEST_F(BrixHostile, PaxRecordsThatRepeatTheHeader) {
  make("pax-repeat");
  BrixResult r = s.run({"-X", "-E", "-f", archive});
  EXPECT_EQ(r.status, 72) << r.out << r.err;
  EXPECT_TRUE(has(r.err, "that changes its path, which is not ustar; the member it describes is not indexed")) << r.err;
  EXPECT_TRUE(has(r.err, "that changes its uid, which is not ustar")) << r.err;
  r = s.run({"-t", "-E", "-f", archive});
  EXPECT_EQ(sizes(r.out), (std::vector<std::string>{"a 1", "d/ 0", "d/l 0", "b 2", "f 1"})) << r.out;
}

// Archives GNU tar (--format=posix) and bsdtar write of a name that is not
// ASCII carry a path record equal to the header's name: all is indexed.
TEST_F(BrixHostile, OtherTarsPaxArchivesOfNonAsciiNames) {
  std::string tree = s.work + "/t";
  writeFileAt(tree + "/\xc3\xa9t\xc3\xa9.txt", "summer\n");
  writeFileAt(tree + "/plain", "x");
  for (const char* tool : {"tar --format=posix -cf", "bsdtar --format=pax -cf"}) {
    SCOPED_TRACE(tool);
    std::string diff;
    ASSERT_EQ(shellRun("cd " + s.work + " && " + tool + " " + archive + " t", &diff), 0) << diff;
    BrixResult r = s.run({"-X", "-E", "-f", archive});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    r = s.run({"-t", "-E", "-f", archive});
    std::vector<std::string> got = sizes(r.out);
    std::sort(got.begin(), got.end());
    EXPECT_EQ(got, (std::vector<std::string>{"t/ 0", "t/plain 1", "t/\xc3\xa9t\xc3\xa9.txt 7"})) << r.out;
  }
}

// Well-formed headers of kinds brix does not take (FIFOs, devices) are
// passed over however many come in a row; three headers whose checksums
// fail in a row still end the scan.
TEST_F(BrixHostile, UnsupportedHeadersAreNotBadHeaders) {
  make("fifos");
  BrixResult r = s.run({"-X", "-E", "-f", archive});
  EXPECT_EQ(r.status, 72) << r.out << r.err;
  EXPECT_TRUE(has(r.out, "BRIX: BRIX SUCCESSFUL")) << r.out;
  r = s.run({"-t", "-E", "-f", archive});
  EXPECT_EQ(sizes(r.out), (std::vector<std::string>{"a 1", "b 1"})) << r.out;

  make("badsums");
  r = s.run({"-X", "-E", "-f", archive});
  EXPECT_EQ(r.status, 72) << r.out << r.err;
  EXPECT_TRUE(has(r.err, "does not appear to be a POSIX-compliant tar file")) << r.err;
  EXPECT_TRUE(has(r.out, "BRIX: BRIX FAILED")) << r.out;
}

// A symbolic link where an archive has a directory is replaced by the
// directory, whether an earlier archive left it or it was planted by hand:
// nothing lands where it points. GNU tar does the same with the archive.
TEST_F(BrixHostile, DirectoryMemberReplacesALink) {
  std::string outside = s.work + "/outside";
  mkdir(outside.c_str(), 0755);
  std::string one = s.work + "/one.tar", two = s.work + "/two.tar";
  make("link-to:" + outside, one);
  make("dir-and-file", two);
  ASSERT_EQ(s.run({"-X", "-E", "-f", one}).status, 0);
  ASSERT_EQ(s.run({"-X", "-E", "-f", two}).status, 0);
  std::string byHand = s.work + "/byhand", gnu = s.work + "/gnu";
  for (const std::string& dir : {byHand, gnu}) {
    mkdir(dir.c_str(), 0755);
    ASSERT_EQ(symlink(outside.c_str(), (dir + "/d").c_str()), 0);
  }
  struct step {
    std::string dir;
    std::string archive;
  } steps[] = {{out, one}, {out, two}, {byHand, two}};
  for (const step& st : steps) {
    BrixResult r = in(st.dir, {"-x", "-E", "-f", st.archive});
    EXPECT_EQ(r.status, 0) << st.archive << r.out << r.err;
  }
  std::string diff;
  ASSERT_EQ(shellRun("cd " + gnu + " && tar -xf " + two, &diff), 0) << diff;
  for (const std::string& dir : {out, byHand, gnu}) {
    struct stat st;
    ASSERT_EQ(lstat((dir + "/d").c_str(), &st), 0) << dir;
    EXPECT_TRUE(S_ISDIR(st.st_mode)) << dir;
    EXPECT_EQ(slurp(dir + "/d/evil"), "evil") << dir;
  }
  EXPECT_NE(access((outside + "/evil").c_str(), F_OK), 0) << "written through the link";
}

// A file already at a member's path that has other hard links is unlinked
// and made anew: the file it shares its data with keeps its bytes, owner
// and mode.
TEST_F(BrixHostile, ExtractDoesNotWriteThroughHardLinks) {
  std::string victim = s.work + "/victim";
  writeFileAt(victim, "precious", 0600);
  make("dir-and-file", archive);
  ASSERT_EQ(s.run({"-X", "-E", "-f", archive}).status, 0);
  mkdir((out + "/d").c_str(), 0755);
  ASSERT_EQ(link(victim.c_str(), (out + "/d/evil").c_str()), 0);
  BrixResult r = in(out, {"-x", "-E", "-p", "-f", archive});
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(slurp(out + "/d/evil"), "evil");
  EXPECT_EQ(slurp(victim), "precious");
  struct stat st;
  ASSERT_EQ(stat(victim.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  EXPECT_EQ(st.st_uid, 0u);
  EXPECT_EQ(st.st_nlink, 1u);
}

// Names that go up from the current directory lose their leading "../" in
// the archive, as GNU tar stores them, so that extract takes them; the
// files are still read, checked and removed where they are.
TEST_F(BrixHostile, CreateStripsLeadingDotDot) {
  std::string deep = s.work + "/a/b";
  writeFileAt(s.work + "/x/src/f", "data");
  writeFileAt(deep + "/keep", "");
  BrixResult r = in(deep, {"-c", "-E", "-H", "verify=1", "-H", "rmlocal", "-f", "up.tar", "../../x/src"});
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_TRUE(has(r.err, "BRIX: Removing leading `../' from member names")) << r.err;
  EXPECT_NE(access((s.work + "/x/src/f").c_str(), F_OK), 0) << "rmlocal removes the file at its own path";
  std::string list;
  ASSERT_EQ(shellRun("tar -tf " + deep + "/up.tar 2>/dev/null", &list), 0) << list;
  EXPECT_EQ(list.rfind("x/src\nx/src/f\n/", 0), 0u) << list;  // then the consistency member
  r = in(out, {"-x", "-E", "-f", deep + "/up.tar"});
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(slurp(out + "/x/src/f"), "data");
}

// A -C among the names of a create changes where the names are found, not
// where the archive and its index go.
TEST_F(BrixHostile, ChangeDirectoryLeavesTheArchiveWhereItWasNamed) {
  writeFileAt(s.work + "/sub/f", "f");
  BrixResult r = s.run({"-c", "-E", "-f", "rel.tar", "--", "-C", "sub", "f"});
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(access((s.work + "/sub/rel.tar").c_str(), F_OK), -1);
  EXPECT_EQ(access((s.work + "/rel.tar.idx").c_str(), F_OK), 0);
  std::string list;
  ASSERT_EQ(shellRun("tar -tf " + s.work + "/rel.tar 2>/dev/null", &list), 0) << list;
  EXPECT_EQ(list.rfind("f\n/", 0), 0u) << list;
}

// With -h a link back to a directory the walk is inside is reported and
// not walked; everything else goes into the archive.
TEST_F(BrixHostile, FollowedLinkLoopIsReported) {
  writeFileAt(s.work + "/d/sub/f", "f");
  ASSERT_EQ(symlink("..", (s.work + "/d/sub/up").c_str()), 0);
  BrixResult r = s.run({"-c", "-E", "-h", "-f", archive, "d"});
  EXPECT_EQ(r.status, 72) << r.out << r.err;
  EXPECT_TRUE(has(r.err, "d/sub/up: File system loop detected")) << r.err;
  EXPECT_TRUE(has(r.out, "BRIX: BRIX SUCCESSFUL")) << r.out;
  std::string list;
  ASSERT_EQ(shellRun("tar -tf " + archive, &list), 0) << list;
  EXPECT_TRUE(has(list, "d/sub/f\n")) << list;
}

// A listing nobody reads any more (brix -t | head -1) fails the run.
TEST_F(BrixHostile, ListingIntoAClosedPipeFails) {
  for (int i = 0; i < 1500; i++) writeFileAt(s.work + "/t/f" + std::to_string(i), "");
  ASSERT_EQ(s.run({"-c", "-E", "-f", archive, "t"}).status, 0);
  BrixRunning run = s.start({"-t", "-E", "-f", archive});
  close(run.outFd);
  run.outFd = open("/dev/null", O_RDONLY);
  BrixResult r = s.finish(run);
  EXPECT_EQ(r.status, 72) << r.err;
  EXPECT_TRUE(has(r.err, "Error 32 writing the listing to standard output")) << r.err;
}

// A forced shutdown in the middle of a long member ends the create at
// once: the process cleans up after itself (temporary index, consistency
// file) well inside the grace period instead of being killed after it. A
// regular archive it wrote goes too; an archive named as a FIFO (or a
// device) is not the run's to remove and stays.
TEST_F(BrixHostile, ForcedShutdownInsideALongMember) {
  std::string big = s.work + "/big";
  int fd = open(big.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(ftruncate(fd, off_t(32) << 30), 0);  // a hole: nothing on disk
  close(fd);
  s.env["QUOR_TEST_TIMESCALE"] = "10";  // a grace period of 3 s
  for (bool fifo : {false, true}) {
    SCOPED_TRACE(fifo ? "FIFO archive" : "regular archive");
    std::string archivePath = s.work + (fifo ? "/pipe.tar" : "/big.tar");
    std::thread drain;
    if (fifo) {
      ASSERT_EQ(mkfifo(archivePath.c_str(), 0600), 0);
      drain = std::thread([archivePath] {
        int in = open(archivePath.c_str(), O_RDONLY);
        if (in < 0) return;
        static char buf[1 << 16];
        while (read(in, buf, sizeof buf) > 0) {
        }
        close(in);
      });
    }
    BrixRunning run = s.start({"-c", "-E", "-H", "crc", "-f", archivePath, "-I", s.work + "/big.idx", "big"});
    // Inside the member once brix has read some of it.
    bool reading = false;
    for (int i = 0; i < 2000 && !reading; i++) {
      std::ifstream io("/proc/" + std::to_string(run.pid) + "/io");
      std::string key;
      unsigned long long v = 0;
      while (io >> key >> v)
        if (key == "rchar:" && v > (64u << 20)) reading = true;
      if (!reading) usleep(5000);
    }
    EXPECT_TRUE(reading);
    kill(run.pid, SIGUSR1);
    BrixResult r = s.finish(run);
    if (drain.joinable()) drain.join();
    EXPECT_EQ(r.status, 72) << r.out << r.err;
    EXPECT_TRUE(has(r.out, "BRIX: BRIX FAILED DUE TO FORCED SHUTDOWN")) << r.out;
    EXPECT_TRUE(s.leftoverTempFiles().empty());
    struct stat st;
    if (fifo) {
      ASSERT_EQ(lstat(archivePath.c_str(), &st), 0) << "the FIFO was removed";
      EXPECT_TRUE(S_ISFIFO(st.st_mode));
      unlink(archivePath.c_str());
    } else {
      EXPECT_NE(lstat(archivePath.c_str(), &st), 0) << "the partial archive stayed";
    }
  }
}

namespace {

// Whether a thread of pid sleeps in a kernel function whose name holds fn
// (its wchan), looked for up to timeoutMs; *seen: what the threads showed.
bool threadWaitsIn(pid_t pid, const std::string& fn, std::string* seen, int timeoutMs = 20000) {
  std::string tasks = "/proc/" + std::to_string(pid) + "/task";
  for (int waited = 0; waited < timeoutMs; waited += 5) {
    DIR* d = opendir(tasks.c_str());
    if (!d) return false;
    bool found = false;
    seen->clear();
    while (struct dirent* de = readdir(d)) {
      if (de->d_name[0] == '.') continue;
      std::string w = slurp(tasks + "/" + de->d_name + "/wchan");
      *seen += w + " ";
      if (has(w, fn)) found = true;  // pipe_write, anon_pipe_write, ... by kernel
    }
    closedir(d);
    if (found) return true;
    usleep(5000);
  }
  return false;
}

}  // namespace

// A forced shutdown while brix waits on a pipe nobody reads or writes (the
// archive of a piped create, a FIFO archive, a listing, a member list whose
// writer sends nothing) ends the run itself, with its closing line and its
// temporary files gone, instead of leaving it to be killed at the end of the
// grace period.
TEST_F(BrixHostile, ForcedShutdownWhileBlockedOnAPipe) {
  for (int i = 0; i < 1500; i++) writeFileAt(s.work + "/t/f" + std::to_string(i), std::string(700, 'x'));
  std::string idx = s.work + "/t.idx";
  ASSERT_EQ(s.run({"-c", "-E", "-f", archive, "-I", idx, "t"}).status, 0);
  std::string fifo = s.work + "/pipe.tar";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  // A grace period of 10 s: brix is killed at its end unless it ends first.
  s.env["QUOR_TEST_TIMESCALE"] = "3";
  struct Case {
    const char* name;
    std::vector<std::string> args;
    bool fifoReader;      // the FIFO is opened for reading and never read, else for writing
    const char* waitsIn;  // where brix blocks
    const char* closing;  // its closing line
  };
  const Case cases[] = {
      {"piped create", {"-c", "-E", "-f", "-", "-I", s.work + "/p.idx", "t"}, false, "pipe_write",
       "BRIX: BRIX FAILED DUE TO FORCED SHUTDOWN\n"},
      {"FIFO archive", {"-c", "-E", "-f", fifo, "-I", s.work + "/p.idx", "t"}, true, "poll",
       "BRIX: BRIX FAILED DUE TO FORCED SHUTDOWN\n"},
      // Its closing line would go where nobody reads either.
      {"listing", {"-t", "-E", "-f", archive, "-I", idx}, false, "pipe_write", ""},
      {"member list from a FIFO nobody writes", {"-c", "-E", "-f", s.work + "/l.tar", "-L", fifo}, false,
       "pipe_read", "BRIX: BRIX FAILED DUE TO FORCED SHUTDOWN\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    int peer = -1;
    bool usesFifo = std::find(c.args.begin(), c.args.end(), fifo) != c.args.end();
    std::thread opener;
    if (usesFifo) opener = std::thread([&] { peer = open(fifo.c_str(), c.fifoReader ? O_RDONLY : O_WRONLY); });
    BrixRunning run = s.start(c.args);
    if (opener.joinable()) opener.join();
    std::string seen;
    if (threadWaitsIn(run.pid, c.waitsIn, &seen)) {
      kill(run.pid, SIGUSR1);
    } else {
      ADD_FAILURE() << "brix never blocked on the pipe: " << seen;
      kill(run.pid, SIGKILL);
    }
    std::string err;
    int status = reapProgram(run.pid, 60000, [&] {
      char buf[4096];
      struct pollfd p = {run.errFd, POLLIN, 0};
      if (poll(&p, 1, 5) == 1) {
        ssize_t n = read(run.errFd, buf, sizeof buf);
        if (n > 0) err.append(buf, size_t(n));
      }
    });
    std::string rest;
    char buf[4096];
    ssize_t n;
    while ((n = read(run.errFd, buf, sizeof buf)) > 0) err.append(buf, size_t(n));
    // Whatever reached standard output besides the archive or listing.
    int outFlags = fcntl(run.outFd, F_GETFL);
    fcntl(run.outFd, F_SETFL, outFlags | O_NONBLOCK);
    while ((n = read(run.outFd, buf, sizeof buf)) > 0) rest.append(buf, size_t(n));
    for (int fd : {run.outFd, run.errFd, run.inFd, peer})
      if (fd >= 0) close(fd);
    EXPECT_EQ(status, 72) << err;
    EXPECT_TRUE(has(err + rest, c.closing)) << err << rest.substr(rest.size() > 300 ? rest.size() - 300 : 0);
    EXPECT_TRUE(s.leftoverTempFiles().empty());
  }
  unlink(fifo.c_str());
}

// GNU tar's incremental dumps write old GNU headers, whose prefix field
// holds times, not a path, and dumpdir members brix does not take: the
// files are indexed, listed and extracted under their own names.
TEST_F(BrixHostile, GnuIncrementalDump) {
  writeFileAt(s.work + "/d/a", "hello\n");
  writeFileAt(s.work + "/d/sub/b", "world\n");
  std::string diff;
  ASSERT_EQ(shellRun("cd " + s.work + " && tar --listed-incremental=snap -cf " + archive + " d", &diff), 0) << diff;
  BrixResult r = s.run({"-X", "-E", "-f", archive});
  EXPECT_TRUE(has(r.out, "BRIX: BRIX SUCCESSFUL")) << r.out << r.err;
  r = s.run({"-t", "-E", "-f", archive});
  EXPECT_EQ(sizes(r.out), (std::vector<std::string>{"d/a 6", "d/sub/b 6"})) << r.out;
  r = in(out, {"-x", "-E", "-f", archive});
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(slurp(out + "/d/a"), "hello\n");
  EXPECT_EQ(slurp(out + "/d/sub/b"), "world\n");
  r = s.run({"-K", "-E", "-f", archive});
  EXPECT_EQ(r.status, 0) << r.out << r.err;
}
