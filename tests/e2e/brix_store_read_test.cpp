// brix reads archives kept in the storage service: lists them from the
// stored index, extracts and verifies them through list reads whose data
// the movers bring, also when the movers misbehave or the archive is on
// tape. The archives are made with -E and placed into gwsim's store.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <sstream>
#include <string>
#include <vector>

#include "brix_corpus.h"
#include "brix_session.h"
#include "journal_text.h"

namespace {

bool has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

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

// A file of n pseudo-random bytes.
void writeNoise(const std::string& path, size_t n, unsigned seed) {
  std::string data(n, '\0');
  uint32_t x = seed * 2654435761u + 1;
  for (size_t i = 0; i < n; i++) {
    x = x * 1103515245u + 12345u;
    data[i] = char(x >> 24);
  }
  writeFileAt(path, data);
}

// The listing lines of a -t run without the closing line.
std::vector<std::string> listing(const std::string& out) {
  std::vector<std::string> v;
  std::istringstream in(out);
  std::string line;
  while (std::getline(in, line))
    if (line.rfind("BRIX: ", 0) == 0 && !has(line, "BRIX SUCCESSFUL") && !has(line, "BRIX_CF_CHK"))
      v.push_back(line);
  return v;
}

class BrixStoreRead : public ::testing::Test {
 protected:
  explicit BrixStoreRead(const std::string& extra = "") : s(extra) {}
  void SetUp() override {
    ASSERT_TRUE(s.ready()) << s.gw.stderrText();
    src = s.work + "/src";
    checker = s.gw.dir() + "/check.py";
    writeFileAt(checker, kChecker);
    mkdir(src.c_str(), 0755);
    storeDir = s.gw.rootDir() + "/home/alice";
    // alice may add names there (a rewritten index).
    ASSERT_EQ(shellRun("mkdir -p " + storeDir + " && chmod 0777 " + storeDir), 0);
  }
  // Makes the archive locally from src and puts it and its index into the
  // store as /home/alice/NAME.
  void storeArchive(const std::vector<std::string>& members, const std::string& name = "p.tar") {
    std::string local = s.work + "/" + name;
    std::vector<std::string> args = {"-c", "-E", "-H", "crc", "-f", local};
    args.insert(args.end(), members.begin(), members.end());
    BrixResult r = in(src, args);
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    ASSERT_EQ(shellRun("cp " + local + " " + local + ".idx " + storeDir + "/"), 0);
  }
  BrixResult in(const std::string& dir, const std::vector<std::string>& args, int timeoutSec = 120) {
    s.cwd = dir;
    BrixResult r = s.run(args, "", timeoutSec);
    s.cwd.clear();
    return r;
  }
  std::string fresh(const std::string& name) {
    std::string d = s.work + "/" + name;
    mkdir(d.c_str(), 0755);
    return d;
  }
  bool sameTree(const std::string& got, const std::string& want, std::string* diff) {
    return shellRun("python3 " + checker + " tree " + got + " " + want, diff) == 0;
  }
  BrixSession s;
  std::string src, checker, storeDir;
  const std::string stored = "/home/alice/p.tar";
};

}  // namespace

// The create tests' corpus, stored: listed from the stored index as from the
// local one, extracted into an empty directory as it went in (also with the
// smallest buffers, so members fall across buffers and list reads), and
// verified; a byte flipped in the store is caught by CRC and comparison.
TEST_F(BrixStoreRead, CorpusListsExtractsVerifies) {
  makeCorpus(src + "/corpus");
  writeNoise(src + "/corpus/noise.bin", 20 * 1000 * 1000 + 123, 7);
  storeArchive({"corpus"});

  BrixResult local = in(src, {"-t", "-E", "-H", "crc", "-f", s.work + "/p.tar"});
  BrixResult r = in(src, {"-t", "-H", "crc", "-f", stored});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_TRUE(has(r.out, "BRIX: BRIX SUCCESSFUL")) << r.out;
  EXPECT_EQ(listing(r.out), listing(local.out));
  EXPECT_GT(listing(r.out).size(), 20u);

  std::string diff;
  std::string out = fresh("out");
  r = in(out, {"-x", "-p", "-H", "crc", "-f", stored});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(r.out, "BRIX: BRIX SUCCESSFUL\n");
  EXPECT_TRUE(sameTree(out + "/corpus", src + "/corpus", &diff)) << diff;
  // The data came through list reads, not through plain reads of the file.
  bool listReads = false;
  for (const std::string& l : s.gw.journalLines()) listReads = listReads || has(l, "fn=0x1207");
  EXPECT_TRUE(listReads);

  std::string small = fresh("small");
  r = in(small, {"-x", "-p", "-S", "524288", "-f", stored});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_TRUE(sameTree(small + "/corpus", src + "/corpus", &diff)) << diff;

  r = in(src, {"-K", "-H", "verify=2", "-f", stored});
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_TRUE(has(r.out, "BRIX: BRIX SUCCESSFUL")) << r.out;

  // One byte of noise.bin's data flipped in the store.
  r = in(src, {"-t", "-B", "-f", stored, "corpus/noise.bin"});
  size_t at = r.out.find("BRIX: [");
  ASSERT_NE(at, std::string::npos) << r.out;
  off_t dataByte = (off_t(std::stoul(r.out.substr(at + 7))) + 1) * 512 + 9000000;
  std::string orig = readAt(storeDir + "/p.tar", dataByte, 1);
  patch(storeDir + "/p.tar", dataByte, std::string(1, char(orig[0] ^ 0x55)));
  r = in(src, {"-K", "-H", "verify=2", "-f", stored});
  EXPECT_EQ(r.status, 65) << r.out << r.err;
  EXPECT_TRUE(has(r.err, "CRC error on corpus/noise.bin.")) << r.err;
  EXPECT_TRUE(has(r.err, "Compare error at offset 9000000 in local file corpus/noise.bin")) << r.err;
  EXPECT_TRUE(has(r.out, "BRIX: BRIX FAILED")) << r.out;
  EXPECT_TRUE(s.leftoverTempFiles().empty());
}

namespace {

struct readKnob {
  const char* name;
  const char* movers;  // the Movers block's rules
  bool succeeds;
  const char* says;    // a line the run prints (standard output or error)
};

// What the movers do wrong, and what the extract makes of it.
const readKnob kReadKnobs[] = {
    {"eio mid-range", "EioAfter = read 1 1000000", true, "Recovered I/O error at archive file offset"},
    {"piece sent twice", "Twice = read *", true, ""},
    {"later windows first", "Swap = read *\n  PacketSize = 8388608", true, ""},
    {"reordered small pieces", "Swap = read *\n  PacketSize = 65536", true, ""},
    {"reply claims more", "ClaimMore = read 1 4096", false, "Extract aborted"},
    {"completion overstates", "Overstate = read * 512", false, "Extract aborted"},
    {"completion status", "Status = read * -5", false, "Extract aborted"},
};

}  // namespace

// Every read knob ends in files identical to the stored ones, or in a
// failure that says so; none hangs, none passes off a wrong file.
TEST(BrixStoreReadKnobs, FilesIdenticalOrFailed) {
  for (const readKnob& k : kReadKnobs) {
    SCOPED_TRACE(k.name);
    BrixSession s(std::string("Movers = {\n  ") + k.movers + "\n}\n");
    ASSERT_TRUE(s.ready()) << s.gw.stderrText();
    std::string src = s.work + "/src", out = s.work + "/out";
    writeNoise(src + "/d/noise.bin", 20 * 1000 * 1000 + 77, 3);
    writeNoise(src + "/d/small", 3000, 4);
    s.cwd = src;
    BrixResult r = s.run({"-c", "-E", "-H", "crc", "-f", s.work + "/p.tar", "d"});
    ASSERT_EQ(r.status, 0) << r.err;
    std::string store = s.gw.rootDir() + "/home/alice";
    ASSERT_EQ(shellRun("mkdir -p " + store + " && cp " + s.work + "/p.tar " + s.work + "/p.tar.idx " + store), 0);
    mkdir(out.c_str(), 0755);
    s.cwd = out;
    r = s.run({"-x", "-H", "crc", "-f", "/home/alice/p.tar"}, "", 60);
    std::string both = r.out + r.err;
    if (k.says[0]) {
      EXPECT_TRUE(has(both, k.says)) << both;
    }
    if (k.succeeds) {
      EXPECT_EQ(r.status, 0) << both;
      EXPECT_TRUE(has(r.out, "BRIX: BRIX SUCCESSFUL")) << both;
      EXPECT_EQ(shellRun("cmp " + src + "/d/noise.bin " + out + "/d/noise.bin && cmp " + src + "/d/small " +
                         out + "/d/small"),
                0);
    } else {
      EXPECT_NE(r.status, 0) << both;
      EXPECT_TRUE(has(r.out, "BRIX: BRIX FAILED")) << both;
      // Whatever was restored is never the file with a hole passed off.
      EXPECT_NE(shellRun("cmp -s " + src + "/d/noise.bin " + out + "/d/noise.bin"), 0);
    }
    EXPECT_LT(r.status, 128) << "no hang, no crash";
  }
}

// A hole in the stored archive comes back as a gap: the extract stops and
// fails instead of handing on zeros.
TEST_F(BrixStoreRead, GapAbortsExtract) {
  writeNoise(src + "/g/noise.bin", 3 * 1000 * 1000, 9);
  storeArchive({"g"});
  ASSERT_EQ(shellRun("fallocate -p -o 1048576 -l 65536 " + storeDir + "/p.tar"), 0);
  std::string out = fresh("out");
  BrixResult r = in(out, {"-x", "-f", stored}, 60);
  EXPECT_NE(r.status, 0) << r.out << r.err;
  EXPECT_TRUE(has(r.err, "Fatal: quor_ReadList - GAP hit at offset")) << r.err;
  EXPECT_TRUE(has(r.err, "Extract aborted")) << r.err;
  EXPECT_TRUE(has(r.out, "BRIX: BRIX FAILED")) << r.out;
}

namespace {

// A session whose /home/alice/t.tar lies on tape only (two stripes there),
// recalled in 400 ms, filled with an archive of dir made locally.
struct TapeArchive {
  BrixSession s{
      "Files = {\n  /home = {\n    Type = directory\n  }\n  /home/alice = {\n    Type = directory\n  }\n"
      "  /home/alice/t.tar = {\n    Tape = VOL001:1\n    StripeWidth = 2\n  }\n}\n"
      "Recall = {\n  Delay = 400\n  BusyOpens\n}\n"};
  std::string src;
  bool setUp() {
    if (!s.ready()) return false;
    src = s.work + "/src";
    writeNoise(src + "/t/noise.bin", 5 * 1000 * 1000 + 5, 11);
    writeNoise(src + "/t/small", 700, 12);
    s.cwd = src;
    BrixResult r = s.run({"-c", "-E", "-f", s.work + "/t.tar", "t"});
    s.cwd.clear();
    if (r.status != 0) return false;
    std::string store = s.gw.rootDir() + "/home/alice";
    // The bytes go into the tape file in place, so it keeps its levels.
    if (shellRun("cat " + s.work + "/t.tar > " + store + "/t.tar && cp " + s.work + "/t.tar.idx " + store) != 0)
      return false;
    if (!s.gw.restart()) return false;
    s.env["QUOR_SERVER_HOST"] = "127.0.0.1/" + std::to_string(s.gw.port());
    return true;
  }
  // brix in dir under a pseudo-terminal (console lines show there): its exit
  // status, and what the terminal showed in *screen.
  int onTerminal(const std::string& dir, const std::string& args, std::string* screen) {
    std::string env;
    for (const std::string& e : s.environment()) env += " '" + e + "'";
    std::string typescript = s.work + "/typescript";
    int rc = shellRun("cd " + dir + " && script -qec \"env -i" + env + " " + BrixSession::program() + " " + args +
                      "\" " + typescript);
    *screen = readAt(typescript, 0, 1 << 20);
    unlink(typescript.c_str());
    return rc;
  }
};

}  // namespace

// An extract of a tape-only archive says it fetches from tape and waits out
// the recall (the open answers "stage in progress" until then); -H nostage
// opens without staging and reads the tape level at its stripe width.
TEST(BrixStoreTape, RecallAndNostage) {
  TapeArchive t;
  ASSERT_TRUE(t.setUp()) << t.s.gw.stderrText();
  std::string out = t.s.work + "/out";
  mkdir(out.c_str(), 0755);
  std::string screen;
  EXPECT_EQ(t.onTerminal(out, "-x -f /home/alice/t.tar", &screen), 0) << screen;
  EXPECT_TRUE(has(screen, "Fetching Archive file from tape - this may take a while")) << screen;
  EXPECT_TRUE(has(screen, "BRIX SUCCESSFUL")) << screen;
  EXPECT_EQ(shellRun("cmp " + t.src + "/t/noise.bin " + out + "/t/noise.bin"), 0);
  int busy = 0, staged = 0;
  for (const std::string& l : t.s.gw.journalLines()) {
    if (!has(l, "path=/home/alice/t.tar oflag")) continue;
    busy++;  // every open until the recall ends is answered "stage in progress"
    if (has(l, " staged")) staged++;
  }
  std::string opens;
  for (const std::string& l : t.s.gw.journalLines())
    if (has(l, "t.tar")) opens += l + "\n";
  EXPECT_GT(busy, 1) << "the open waited for the recall\n" << opens;
  EXPECT_EQ(staged, 1);

  // Back on tape only for the nostage case.
  TapeArchive n;
  ASSERT_TRUE(n.setUp()) << n.s.gw.stderrText();
  std::string out2 = n.s.work + "/out";
  mkdir(out2.c_str(), 0755);
  n.s.cwd = out2;
  BrixResult r = n.s.run({"-x", "-d", "1", "-H", "nostage", "-f", "/home/alice/t.tar"}, "", 60);
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_TRUE(has(r.err, "stripe width: 2")) << r.err;
  EXPECT_TRUE(has(r.err, "is tape")) << r.err;
  EXPECT_EQ(shellRun("cmp " + n.src + "/t/noise.bin " + out2 + "/t/noise.bin"), 0);
  int opened = 0;
  for (const std::string& l : n.s.gw.journalLines()) {
    if (!has(l, "path=/home/alice/t.tar oflag")) continue;
    opened++;
    EXPECT_TRUE(has(l, "oflag=0x81")) << l;
    EXPECT_FALSE(has(l, " staged")) << l;
  }
  EXPECT_EQ(opened, 1) << "no wait for a recall";
  // The tape level's two stripes each bring a mover to the archive's list
  // reads (the small ones are the index's).
  int striped = 0;
  for (const std::string& l : n.s.gw.journalLines()) {
    size_t len = l.find(" len=");
    if (has(l, "fn=0x1207") && len != std::string::npos && std::stoull(l.substr(len + 5)) >= 65536) {
      EXPECT_TRUE(has(l, " movers=2 ")) << l;
      striped++;
    }
  }
  EXPECT_GT(striped, 0);
}

// -H cix: the stored index is copied to a local file first and the extract
// reads that; the copy goes away at the end.
TEST_F(BrixStoreRead, CixExtractsThroughALocalIndexCopy) {
  makeCorpus(src + "/corpus");
  writeNoise(src + "/corpus/noise.bin", 3 * 1000 * 1000 + 7, 3);
  storeArchive({"corpus"});
  std::string out = fresh("out");
  BrixResult r = in(out, {"-x", "-p", "-H", "cix", "-f", stored});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_TRUE(has(r.out, "BRIX: BRIX SUCCESSFUL")) << r.out;
  std::string diff;
  EXPECT_TRUE(sameTree(out + "/corpus", src + "/corpus", &diff)) << diff;
  EXPECT_TRUE(s.leftoverTempFiles().empty());
}

// -D and -U on a stored index: the member is marked and unmarked, the index
// swapped in whole, no temporary index left beside it.
TEST_F(BrixStoreRead, DeleteUndeleteSwapIndex) {
  writeNoise(src + "/p/a", 1000, 1);
  writeNoise(src + "/p/b", 2000, 2);
  storeArchive({"p"});
  BrixResult r = in(src, {"-D", "-f", stored, "p/a"});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_TRUE(has(r.out, "BRIX: d  p/a\n")) << r.out;
  r = in(src, {"-t", "-f", stored});
  EXPECT_TRUE(has(r.out, " D ")) << r.out;
  EXPECT_TRUE(has(r.out, "p/a\n")) << r.out;
  r = in(src, {"-U", "-f", stored, "p/a"});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_TRUE(has(r.out, "BRIX: u  p/a\n")) << r.out;
  r = in(src, {"-t", "-f", stored});
  EXPECT_FALSE(has(r.out, " D ")) << r.out;
  std::string names;
  EXPECT_EQ(shellRun("ls -A " + storeDir, &names), 0);
  EXPECT_EQ(names, "p.tar\np.tar.idx\n");
}

// When the new index cannot take the index's name, the old one is put back
// under it: the archive is never left without its index.
TEST(BrixStoreDelete, FailedSecondRenameRestoresIndex) {
  BrixSession s("Faults = {\n  Error = 0x0500 0x1208 2 -5\n}\n");
  ASSERT_TRUE(s.ready()) << s.gw.stderrText();
  std::string src = s.work + "/src";
  writeNoise(src + "/p/a", 1000, 1);
  s.cwd = src;
  ASSERT_EQ(s.run({"-c", "-E", "-f", s.work + "/p.tar", "p"}).status, 0);
  std::string store = s.gw.rootDir() + "/home/alice";
  ASSERT_EQ(shellRun("mkdir -p " + store + " && chmod 0777 " + store + " && cp " + s.work + "/p.tar " + s.work +
                     "/p.tar.idx " + store),
            0);
  std::string before = readAt(store + "/p.tar.idx", 0, 1 << 20);
  BrixResult r = s.run({"-D", "-f", "/home/alice/p.tar", "p/a"});
  EXPECT_EQ(r.status, 72) << r.out << r.err;
  EXPECT_TRUE(has(r.err, "attempting to rename new index file")) << r.err;
  EXPECT_TRUE(has(r.out, "BRIX: BRIX FAILED")) << r.out;
  EXPECT_EQ(readAt(store + "/p.tar.idx", 0, 1 << 20), before) << "the old index is back under its name";
  r = s.run({"-t", "-f", "/home/alice/p.tar"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_FALSE(has(r.out, " D ")) << r.out;
}

// With the index gone from the store, -X rebuilds it by reading the headers
// and seeking over the member data: entries equal to the old ones in
// offsets, sizes and names, and the archive extracts through it.
TEST_F(BrixStoreRead, RebuildIndexBySeeking) {
  makeCorpus(src + "/corpus");
  writeNoise(src + "/corpus/noise.bin", 9 * 1000 * 1000 + 1, 5);
  storeArchive({"corpus"});
  std::string old = s.work + "/old.idx";
  ASSERT_EQ(shellRun("mv " + storeDir + "/p.tar.idx " + old), 0);
  BrixResult r = in(src, {"-X", "-f", stored});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_TRUE(has(r.out, "BRIX: BRIX SUCCESSFUL")) << r.out;
  const char* compare =
      "import sys\n"
      "def entries(p):\n"
      "    b = open(p, 'rb').read()\n"
      "    return [(b[o+28:o+44], b[o+56:o+312]) for o in range(288, len(b) - 511, 512)]\n"
      "a, b = entries(sys.argv[1]), entries(sys.argv[2])\n"
      "sys.exit(0 if a == b and len(a) > 20 else 1)\n";
  writeFileAt(s.work + "/cmp.py", compare);
  std::string diff;
  EXPECT_EQ(shellRun("python3 " + s.work + "/cmp.py " + old + " " + storeDir + "/p.tar.idx", &diff), 0) << diff;
  // Only header blocks were read: far fewer bytes than the archive holds.
  uint64_t listed = 0;
  for (const std::string& l : s.gw.journalLines()) {
    size_t at = l.find(" moved=");
    if (has(l, "fn=0x1207") && at != std::string::npos) listed += std::stoull(l.substr(at + 7));
  }
  EXPECT_LT(listed, 2u * 1000 * 1000) << "the member data was seeked over";
  std::string out = fresh("out");
  r = in(out, {"-x", "-p", "-f", stored});
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_TRUE(sameTree(out + "/corpus", src + "/corpus", &diff)) << diff;
}
