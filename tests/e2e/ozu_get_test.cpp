// ozu's get family end to end against gwsim: stored files come back byte
// for byte through the movers (both message forms, several stripe widths),
// through the gateway in firewall mode, into pipes and standard output;
// every file writes one transfer record; mover faults and local write
// failures end in their errors and never in a short file reported as done.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utime.h>

#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "gwsim_config.h"
#include "test_data.h"
#include "gwsim_fixture.h"
#include "journal_text.h"
#include "ozu_run.h"

namespace {

std::string joinLines(const std::vector<std::string>& lines)
{
  std::string all;
  for (const std::string& l : lines)
    all += l + "\n";
  return all;
}

// Compares without printing the bytes of a failure.
bool same(const std::string& a, const std::string& b) { return a == b; }

bool exists(const std::string& path)
{
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

// A gateway whose files belong to class of service 4: width stripes of
// 64 KiB blocks, movers speaking the given form.
GwsimConfig stripedConfig(int width, const char* protocol)
{
  GwsimConfig c = aliceConfig();
  c.server().set("startupCOS", 4);
  c.cos(4).set("Name", "wide").set("StripeWidth", width).set("StripeLength", width * 65536);
  c.movers().set("Protocol", protocol).set("PacketSize", 65536);
  return c;
}

std::string stripedGateway(int width, const char* protocol) { return stripedConfig(width, protocol).text(); }

// Puts a stored file of alice's (the host file under the root).
void store(const GwsimFixture& gw, const std::string& name, const std::string& data)
{
  std::string dir = gw.rootDir() + "/home/alice";
  std::ofstream(dir + "/" + name, std::ios::binary) << data;
}

// alice's HOME for ozu (her password in .netrc) and the local directory
// files are fetched into.
std::string localDir(const GwsimFixture& gw)
{
  ozuHome(gw);
  std::string d = gw.dir() + "/local";
  mkdir(d.c_str(), 0755);
  return d;
}

struct GetCase {
  int width;
  const char* protocol;
};

class OzuGetRoundTrip : public ::testing::TestWithParam<GetCase> {};

// Every size that sits at a page or buffer edge comes back identical; one
// transfer record per file; each list read brings as many movers as the
// class's stripes.
TEST_P(OzuGetRoundTrip, EverySizeComesBackIdentical)
{
  const GetCase c = GetParam();
  GwsimFixture gw(stripedGateway(c.width, c.protocol));
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  const long page = sysconf(_SC_PAGESIZE);
  const std::vector<size_t> sizes = {0,           1,       size_t(page - 1), size_t(page + 1),
                                     8u << 20,    (16u << 20) + 1};
  std::string cmd;
  std::string local = localDir(gw);
  for (size_t i = 0; i < sizes.size(); ++i) {
    std::string name = "s" + std::to_string(i);
    store(gw, name, randomBytes(sizes[i], unsigned(i + 7 * c.width)));
    cmd += "get " + local + "/" + name + " : " + name + "; ";
  }
  OzuResult r = runOzu(gw, ozuArgs(gw, {cmd}));
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  auto j = gw.journalLines();
  for (size_t i = 0; i < sizes.size(); ++i) {
    std::string name = "s" + std::to_string(i);
    EXPECT_TRUE(same(readFile(local + "/" + name), readFile(gw.rootDir() + "/home/alice/" + name)))
        << name << " of " << sizes[i] << " bytes";
    EXPECT_EQ(countLines(j, "select=0x6000000", "?A:/home/alice/" + name + "?"), 1) << name;
  }
  // The 16 MiB file: one list read, one mover per stripe.
  EXPECT_EQ(countLines(j, "fn=0x1207", " len=16777217 movers=" + std::to_string(c.width) +
                                           " moved=16777217"),
            1)
      << joinLines(j);
}

INSTANTIATE_TEST_SUITE_P(WidthsAndForms, OzuGetRoundTrip,
                         ::testing::Values(GetCase{1, "pdata"}, GetCase{4, "pdata"},
                                           GetCase{8, "pdata"}, GetCase{1, "mover"},
                                           GetCase{4, "mover"}, GetCase{8, "mover"}),
                         [](const ::testing::TestParamInfo<GetCase>& i) {
                           return std::string(i.param.protocol) + "_w" +
                                  std::to_string(i.param.width);
                         });

// A file smaller than one block leaves most stripes without data; their
// movers still connect, and here each is accepted only after the file's
// bytes are all placed. The thread serving such a late mover must end
// before the file's transfer record is released: one that outlived it
// closed the descriptors of the next file's movers (-22 on a control
// connection, EBADF on a data listen socket, a wrong file) and, under
// AddressSanitizer, shows as a use after free.
TEST(OzuGet, MoversAcceptedLateNeverOutliveTheirFile)
{
  for (const char* protocol : {"mover", "pdata"}) {
    SCOPED_TRACE(protocol);
    GwsimFixture gw(stripedGateway(8, protocol));
    ASSERT_TRUE(gw.running()) << gw.stderrText();
    std::string local = localDir(gw);
    std::string cmd;
    for (int i = 0; i < 4; ++i) {
      std::string name = "t" + std::to_string(i);
      store(gw, name, randomBytes(size_t(i == 3 ? (3u << 20) + 17 : 1 + 999 * i), unsigned(i)));
      cmd += "get " + local + "/" + name + " : " + name + "; ";
    }
    OzuResult r = runOzu(gw, ozuArgs(gw, {cmd}), "", {"OZU_TEST_MOVER_ACCEPT_DELAY_MS=100"});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    for (int i = 0; i < 4; ++i) {
      std::string name = "t" + std::to_string(i);
      EXPECT_TRUE(same(readFile(local + "/" + name), readFile(gw.rootDir() + "/home/alice/" + name)))
          << name;
    }
  }
}

// The pair form, a missing name among others, standard output, a pipe, and
// a here-document: each ends where it should.
TEST(OzuGet, PairsStandardOutputPipesAndHereDocuments)
{
  GwsimFixture gw(stripedGateway(2, "pdata"));
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  std::string f = randomBytes(300000, 1), b = randomBytes(5000, 2), c = randomBytes(70000, 3);
  store(gw, "f", f);
  store(gw, "b", b);
  store(gw, "c", c);
  std::string local = localDir(gw);
  OzuResult r = runOzu(gw, ozuArgs(gw, {"get " + local + "/a : b " + local + "/c2 : nosuch; "
                                        "get " + local + "/x : c; get - : f; "
                                        "get \"|cat > " + local + "/piped\" : c"}));
  EXPECT_EQ(r.status, 72) << "the missing name; the others still come\n" << r.out << r.err;
  EXPECT_TRUE(same(readFile(local + "/a"), b));
  EXPECT_TRUE(same(readFile(local + "/x"), c));
  EXPECT_TRUE(same(readFile(local + "/piped"), c));
  EXPECT_FALSE(exists(local + "/c2"));
  EXPECT_TRUE(r.out.find(f) != std::string::npos) << "f on standard output";
  EXPECT_NE((r.out + r.err).find("*** no such QUOR file: nosuch"), std::string::npos) << r.out << r.err;
  auto j = gw.journalLines();
  EXPECT_EQ(countLines(j, "select=0x6000000", "?<stdout>?A:/home/alice/f?"), 1) << joinLines(j);
  EXPECT_EQ(countLines(j, "select=0x6000000", "?(| pipe command)?A:/home/alice/c?"), 1);

  // mget reads its names from the lines after the command.
  OzuResult h = runOzu(gw, ozuArgs(gw, {"lcd " + local + "; mget <<END"}), "b\nc\nEND\n");
  EXPECT_EQ(h.status, 0) << h.out << h.err;
  EXPECT_TRUE(same(readFile(local + "/b"), b));
  EXPECT_TRUE(same(readFile(local + "/c"), c));

  struct Refusal {
    const char* line;
    const char* message;
  } refusals[] = {
      {"get <<", "*** Missing marker string after here-document sentinel (<<)"},
      {"get <<END f", "*** here-document marker must be the last token on the cmd line"},
      {"get x :", "*** Missing QUOR path after x :"},
      {"get -t -O 0:10:0 f", "-t may not be used with -O or -L"},
  };
  for (const Refusal& t : refusals) {
    OzuResult e = runOzu(gw, ozuArgs(gw, {t.line}));
    EXPECT_EQ(e.status, 64) << t.line << "\n" << e.out << e.err;
    EXPECT_NE((e.out + e.err).find(t.message), std::string::npos) << t.line << "\n" << e.out << e.err;
  }
}

// Through the gateway in firewall mode: the same bytes, no list read.
TEST(OzuGet, FirewallModeReadsThroughTheGateway)
{
  GwsimFixture gw(stripedGateway(4, "pdata"));
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  std::string f = randomBytes((9u << 20) + 123, 9);
  store(gw, "f", f);
  std::string local = localDir(gw);
  OzuResult r = runOzu(gw, ozuArgs(gw, {"firewall -on; get " + local + "/f : f"}));
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_TRUE(same(readFile(local + "/f"), f));
  auto j = gw.journalLines();
  EXPECT_EQ(countLines(j, "fn=0x1207"), 0) << joinLines(j);
  EXPECT_EQ(countLines(j, "select=0x6000000", "?A:/home/alice/f?"), 1);
}

// Each mover fault ends in an error: exit 74, the partial file stays, its
// times are not the stored file's.
TEST(OzuGet, EveryMoverFaultEndsInItsError)
{
  // bytesLost: the fault keeps bytes from the client (else only the
  // gateway's word is wrong and the bytes may all be there).
  struct Fault {
    const char* rule;
    const char* protocol;
    bool bytesLost;
  } faults[] = {
      {"Die = read 1", "pdata", true},
      {"Die = read 1", "mover", true},
      {"ShortMove = read 1 100000", "pdata", true},
      {"ShortMove = read 1 100000", "mover", true},
      {"Overstate = read 1 4096", "pdata", false},
      {"Overstate = read 1 4096", "mover", false},
      {"Status = read 1 -5", "mover", false},
      {"BadChecksum = read 1", "pdata", true},
      {"BadChecksum = read 1", "mover", true},
      {"WrongId = read 1", "mover", true},
      {"OutsideWindow = read 1", "pdata", true},
      {"OutsideWindow = read 1", "mover", true},
      // One message alone is wrong: every byte arrived, yet the mover's
      // word on them cannot be taken.
      {"Understate = read 1 4096", "mover", false},
      {"BadCompletion = read 1", "mover", false},
      // A mover that leaves between two whole messages, its share unsent.
      {"CloseBetween = read 1", "pdata", true},
      {"CloseBetween = read 1", "mover", true},
  };
  for (const Fault& t : faults) {
    SCOPED_TRACE(std::string(t.rule) + " " + t.protocol);
    GwsimConfig cfg = stripedConfig(4, t.protocol);
    std::string rule = t.rule;
    cfg.movers().set(rule.substr(0, rule.find(" = ")), rule.substr(rule.find(" = ") + 3));
    GwsimFixture gw(cfg.text());
    ASSERT_TRUE(gw.running()) << gw.stderrText();
    std::string f = randomBytes(3u << 20, 4);
    store(gw, "f", f);
    struct utimbuf old = {1000000000, 1000000000};
    ASSERT_EQ(utime((gw.rootDir() + "/home/alice/f").c_str(), &old), 0);
    std::string local = localDir(gw);
    OzuResult r = runOzu(gw, ozuArgs(gw, {"get -p " + local + "/f : f"}), "", {}, 60);
    EXPECT_EQ(r.status, 74) << r.out << r.err;
    if (t.bytesLost) {
      EXPECT_FALSE(same(readFile(local + "/f"), f)) << "bytes that never came";
    }
    EXPECT_TRUE(exists(local + "/f")) << "the partial file stays";
    struct stat ls;
    ASSERT_EQ(stat((local + "/f").c_str(), &ls), 0);
    EXPECT_NE(ls.st_mtime, 1000000000) << "times are set only after success";
    auto j = gw.journalLines();
    EXPECT_EQ(countLines(j, "select=0x6000000", "?-"), 1) << "one record, with a negative result\n"
                                                           << joinLines(j);
    EXPECT_NE((r.out + r.err).find("Error"), std::string::npos) << r.out << r.err;
  }
}

// The site's per-request limit (2 MiB) splits a 5 MiB file into three list
// reads, each as wide as the class, and the pieces land in one address
// space: the file comes back identical in both message forms.
TEST(OzuGet, PerRequestLimitSplitsTheFileIntoListReads)
{
  for (const char* protocol : {"pdata", "mover"}) {
    SCOPED_TRACE(protocol);
    GwsimConfig cfg = stripedConfig(4, protocol);
    cfg.server().set("max_mbytes_per_iod", 2);
    GwsimFixture gw(cfg.text());
    ASSERT_TRUE(gw.running()) << gw.stderrText();
    std::string f = randomBytes(5u << 20, 9);
    store(gw, "f", f);
    std::string local = localDir(gw);
    OzuResult r = runOzu(gw, ozuArgs(gw, {"get " + local + "/f : f"}));
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_TRUE(same(readFile(local + "/f"), f));
    auto j = gw.journalLines();
    EXPECT_EQ(countLines(j, "fn=0x1207", " len=2097152 movers=4 moved=2097152"), 2) << joinLines(j);
    EXPECT_EQ(countLines(j, "fn=0x1207", " len=1048576 movers=4 moved=1048576"), 1) << joinLines(j);
    EXPECT_EQ(countLines(j, "fn=0x1207", ""), 3) << joinLines(j);
  }
}

// Movers whose connections come from an address the client's restricted
// list leaves out are refused: the get fails (exit 74, the refusal logged)
// instead of waiting for ever or reporting a short file as done. Without
// the restriction the same movers are let in.
TEST(OzuGet, MoverFromRestrictedAddressIsRefused)
{
  const char onlyLoopback[] = "Restricted Addresses = {\n  Default = {\n    127.0.0.1\n  }\n}\n";
  // In the mover form a refusal logged at once (a gateway round trip) would
  // hold the accepting thread until the list read is answered, while the
  // movers still to be accepted wait for their first answer.
  for (const char* protocol : {"pdata", "mover"}) {
    for (bool restricted : {true, false}) {
      SCOPED_TRACE(std::string(protocol) + (restricted ? " restricted" : " open"));
      GwsimConfig cfg = stripedConfig(4, protocol);
      cfg.movers().set("From", "read 1 127.0.0.2");
      GwsimFixture gw(cfg.text());
      ASSERT_TRUE(gw.running()) << gw.stderrText();
      if (restricted)
        std::ofstream(gw.dir() + "/QUOR.conf") << onlyLoopback;
      std::string f = randomBytes(3u << 20, 6);
      store(gw, "f", f);
      std::string local = localDir(gw);
      OzuResult r = runOzu(gw, ozuArgs(gw, {"get " + local + "/f : f"}), "", {}, 120);
      auto j = gw.journalLines();
      if (restricted) {
        EXPECT_EQ(r.status, 74) << r.out << r.err;
        EXPECT_FALSE(same(readFile(local + "/f"), f));
        EXPECT_GE(countLines(j, "restricted connection failed from 127.0.0.2"), 1) << joinLines(j);
      } else {
        EXPECT_EQ(r.status, 0) << r.out << r.err;
        EXPECT_TRUE(same(readFile(local + "/f"), f));
        EXPECT_EQ(countLines(j, "restricted connection failed"), 0) << joinLines(j);
      }
    }
  }
}

// A local disk that fills up: the write waits (30 s steps through the time
// seam) and the file still arrives whole; an I/O error fails it with 74.
TEST(OzuGet, LocalWriteFailuresWaitOrFail)
{
  GwsimFixture gw(stripedGateway(2, "pdata"));
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  std::string f = randomBytes(2u << 20, 5);
  store(gw, "f", f);
  std::string local = localDir(gw);
  OzuResult full = runOzu(gw, ozuArgs(gw, {"get " + local + "/f : f"}), "",
                          {"OZU_TEST_LOCAL_IO_FAULT=28 3"});
  EXPECT_EQ(full.status, 0) << full.out << full.err;
  EXPECT_TRUE(same(readFile(local + "/f"), f));
  EXPECT_NE((full.out + full.err).find("OUT OF SPACE writing local file " + local + "/f"),
            std::string::npos)
      << full.out << full.err;
  auto j = gw.journalLines();
  EXPECT_EQ(countLines(j, "select=0x2000000", "OUT OF SPACE writing local file"), 3) << joinLines(j);

  OzuResult again = runOzu(gw, ozuArgs(gw, {"get " + local + "/g : f"}), "",
                           {"OZU_TEST_LOCAL_IO_FAULT=11 5"});
  EXPECT_EQ(again.status, 0) << "EAGAIN is tried again\n" << again.out << again.err;
  EXPECT_TRUE(same(readFile(local + "/g"), f));

  OzuResult eio = runOzu(gw, ozuArgs(gw, {"get " + local + "/h : f"}), "",
                         {"OZU_TEST_LOCAL_IO_FAULT=5 1"});
  EXPECT_EQ(eio.status, 74) << eio.out << eio.err;
  EXPECT_NE((eio.out + eio.err).find("*** I/O error 5 on local file " + local + "/h"), std::string::npos)
      << eio.out << eio.err;
  EXPECT_FALSE(same(readFile(local + "/h"), f));
}

// Buffers as small as a stripe block, so that each stripe's connection
// writes its own buffers into the file while the others do: a failed write
// on any of them fails the get and leaves no whole-looking file, and a full
// or busy file system is waited out with nothing lost.
TEST(OzuGet, WritesFromEveryStripeFailOrWaitAsOne)
{
  GwsimConfig cfg = stripedConfig(4, "pdata");
  cfg.cos(4).set("StripeLength", 4 << 20);
  cfg.movers().set("PacketSize", 1 << 20);
  GwsimFixture gw(cfg.text());
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  std::string f = randomBytes((12u << 20) + 4321, 11);  // 13 blocks of 1 MiB, the last short
  store(gw, "f", f);
  std::string local = localDir(gw);
  struct Case {
    const char *fault;  // errno, count, writes let through first
    int status;
    bool whole;
  } cases[] = {
      {"", 0, true},       {"5 1 0", 74, false}, {"5 1 5", 74, false}, {"5 1 12", 74, false},
      {"28 3 4", 0, true}, {"11 4 6", 0, true},
  };
  int n = 0;
  for (const Case &c : cases) {
    std::string name = local + "/c" + std::to_string(n++);
    std::vector<std::string> env;
    if (*c.fault)
      env.push_back(std::string("OZU_TEST_LOCAL_IO_FAULT=") + c.fault);
    OzuResult r = runOzu(gw, ozuArgs(gw, {"set iobufsize=1048576; get " + name + " : f"}), "", env);
    EXPECT_EQ(r.status, c.status) << c.fault << "\n" << r.out << r.err;
    EXPECT_EQ(same(readFile(name), f), c.whole) << c.fault;
    if (c.status == 74) {
      EXPECT_NE((r.out + r.err).find("*** I/O error 5 on local file " + name), std::string::npos)
          << c.fault << "\n" << r.out << r.err;
    }
  }
  // The digest is still taken in the file's order while the stripes write.
  OzuResult h = runOzu(gw, ozuArgs(gw, {"put " + local + "/c0 : g; hashcreate -H sha256 g"}));
  ASSERT_EQ(h.status, 0) << h.out << h.err;
  OzuResult v = runOzu(gw, ozuArgs(gw, {"set iobufsize=1048576; get -c on " + local + "/d : g"}));
  EXPECT_EQ(v.status, 0) << v.out << v.err;
  EXPECT_TRUE(same(readFile(local + "/d"), f));
}

// A sparse stored file: the copy is identical and keeps its holes; a file
// longer than the holes' end is not shortened.
TEST(OzuGet, GapsReadAsZerosAndNeverShortenTheFile)
{
  GwsimFixture gw(stripedGateway(1, "pdata"));
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  std::string path = gw.rootDir() + "/home/alice/sparse";
  {
    std::ofstream o(path, std::ios::binary);
    o << randomBytes(100000, 6);
    o.seekp(40 << 20);
    o << randomBytes(5000, 7);
    o.seekp((80 << 20) - 1);
    o << 'z';
  }
  struct stat st;
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  if (uint64_t(st.st_blocks) * 512 >= uint64_t(st.st_size))
    GTEST_SKIP() << "the file system keeps no holes";
  std::string local = localDir(gw);
  OzuResult r = runOzu(gw, ozuArgs(gw, {"get " + local + "/sparse : sparse"}));
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_TRUE(same(readFile(local + "/sparse"), readFile(path)));
  struct stat ls;
  ASSERT_EQ(stat((local + "/sparse").c_str(), &ls), 0);
  EXPECT_LT(uint64_t(ls.st_blocks) * 512, uint64_t(ls.st_size) / 2) << "the holes stay holes";
  auto j = gw.journalLines();
  EXPECT_GE(countLines(j, "fn=0x1207", " gap="), 2) << joinLines(j);
}

}  // namespace
