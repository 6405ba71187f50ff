// Copies between two gwsim instances through the library: the sink gwsim's
// listen sockets, the source gwsim's movers pushing a list read to them, the
// copy's states, completion notice, cancels and rules.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "client_env.h"
#include "client_process.h"
#include "gwsim_config.h"
#include "gwsim_fixture.h"
#include "journal_text.h"
#include "quor_api.h"
#include "quor_api_internal.h"

namespace {

std::string config(const std::string& extra = "") {
  GwsimConfig c;
  c.user("alice", "wonderland").set("Uid", 1001).set("Gid", 100);
  c.dir("/out").set("Uid", 1001).set("Mode", "0755");
  return c.text() + extra;
}

std::string pattern(size_t n, unsigned seed) {
  std::string s(n, '\0');
  uint32_t x = seed * 2654435761u + 1;
  for (char& ch : s) {
    x = x * 1103515245u + 12345u;
    ch = char(x >> 16);
  }
  return s;
}

void hostWrite(const GwsimFixture& gw, const std::string& path, const std::string& data,
               off_t at = 0) {
  int fd = open((gw.rootDir() + path).c_str(), O_WRONLY | O_CREAT, 0644);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(pwrite(fd, data.data(), data.size(), at), ssize_t(data.size()));
  close(fd);
}

std::string hostRead(const GwsimFixture& gw, const std::string& path) {
  std::string s;
  int fd = open((gw.rootDir() + path).c_str(), O_RDONLY);
  if (fd < 0) return "<missing>";
  char b[65536];
  ssize_t n;
  while ((n = read(fd, b, sizeof b)) > 0) s.append(b, size_t(n));
  close(fd);
  return s;
}

// How one pass is pushed: the sink descriptor's form.
struct Form {
  int width;         // 1: one net address, else a stripe list
  uint64_t block;    // stripe block size
  uint32_t flags;    // descriptor flags: 0x8 mover protocol, 0x4000 select
  bool fold32;       // stripe elements after the first carry a 32-bit id
};

struct Outcome {
  int copyRc = 1, readRc = 1, pollState = 0, doneRc = 1, doneState = 0, doneError = 0;
  uint64_t moved = 0, doneBytes = 0, gap = 0, sinkSize = 0;
  uint32_t iorFlags = 0;
};

// Both connections of the child: the source's current at first.
struct Pair {
  int src = -1, sink = -1;
};

bool connectPair(const GwsimFixture& source, const GwsimFixture& sink, Pair* p) {
  if (clientLogin(source, "alice", "wonderland") != 0) return false;
  p->src = quorex_GetCurConHandle();
  if (quorex_SetupConnection("127.0.0.1", nullptr, sink.port(), 0, 0, &p->sink) != 0) return false;
  quor_SetAuthType(QUOR_AUTH_COMBO);
  quor_SetCombo("alice", "wonderland");
  return quorex_OpenConnection(p->sink) == 0;
}

// One pass of a copy of len bytes of srcPath from srcOff into sinkPath at
// sinkOff, the way the shell's server method steers it.
Outcome pass(const Pair& p, const char* srcPath, uint64_t srcOff, const char* sinkPath,
             uint64_t sinkOff, uint64_t len, const Form& f, bool cancelFirst = false) {
  Outcome o;
  quorex_SetCurConnection(p.sink, nullptr);
  int sfd = quor_Open(sinkPath, O_WRONLY | O_CREAT, 0644, nullptr, nullptr, nullptr);
  quor_reqid_t id = quor_GetUniqueRequestID();
  uint64_t xfer = quor_RequestIDtoU64(id);
  uint32_t count = uint32_t(f.width), handle = 0;
  netaddress_t* addrs = nullptr;
  o.copyRc = quorex_CopyRemoteFile(0, &count, sfd, xfer, sinkOff, len, srcPath, &handle, &addrs);
  if (o.copyRc != 0) return o;
  if (cancelFirst) quorex_CancelCopy(2, handle);
  quorex_SetCurConnection(p.src, nullptr);
  int rfd = quor_Open(srcPath, O_RDONLY, 0, nullptr, nullptr, nullptr);
  iod_srcsinkdesc_t file, net;
  memset(&file, 0, sizeof file);
  file.Length = len;
  file.SrcSinkAddr.Type = CLIENTFILE_ADDRESS;
  file.SrcSinkAddr.Addr_u.ClientFileAddr.FileDes = rfd;
  file.SrcSinkAddr.Addr_u.ClientFileAddr.FileOffset = srcOff;
  memset(&net, 0, sizeof net);
  net.Flags = f.flags;
  net.Length = len;
  // The sink may answer fewer addresses than asked: as many stripes.
  const int width = std::min(f.width, int(count));
  std::vector<iod_stripe_addr_t> more(width > 1 ? size_t(width - 1) : 0);
  if (width == 1) {
    net.SrcSinkAddr.Type = NET_ADDRESS;
    net.SrcSinkAddr.Addr_u.NetAddr = addrs[0];
    net.SrcSinkAddr.Addr_u.NetAddr.SockTransferID = xfer;
  } else {
    net.SrcSinkAddr.Type = STRIPE_ADDRESS;
    for (int k = 0; k < width; k++) {
      iod_stripe_addr_t* e = k == 0 ? &net.SrcSinkAddr.Addr_u.StripeAddr : &more[size_t(k - 1)];
      e->BlockSize = f.block;
      e->StripeWidth = uint32_t(width);
      e->AddrListLength = width;
      e->Flags = f.flags;
      e->Addr.Type = NET_ADDRESS;
      e->Addr.Addr_u.NetAddr = addrs[k];
      e->Addr.Addr_u.NetAddr.SockTransferID = k > 0 && f.fold32 ? quor_RequestIDtoU32(id) : xfer;
      e->Addr.Addr_u.NetAddr.SockOffset = uint64_t(k) * f.block;
      e->Next = k + 1 < width ? &more[size_t(k)] : nullptr;
    }
  }
  free(addrs);
  quor_IOD_t iod;
  memset(&iod, 0, sizeof iod);
  iod.RequestID = id;
  iod.Function = QUOR_IOD_READ;
  iod.SrcDescLength = 1;
  iod.SinkDescLength = 1;
  iod.SrcDescList = &file;
  iod.SinkDescList = &net;
  quor_IOR_t ior;
  memset(&ior, 0, sizeof ior);
  o.readRc = quor_ReadList(&iod, 1, &ior);
  if (ior.SinkReplyList) o.moved = ior.SinkReplyList->BytesMoved;
  o.iorFlags = ior.Flags;
  if ((ior.Flags & QUOR_IOR_GAPINFO) && ior.ReqSpecReply)
    o.gap = ior.ReqSpecReply->ReqReply_s.Reply_u.GapInfo.Length;
  free_quor_ior_mem(&ior);
  quor_Close(rfd);
  quorex_SetCurConnection(p.sink, nullptr);
  int err = 0, state = 0;
  uint32_t info = 0;
  uint64_t bytes = 0;
  quorex_QueryCopy(0, handle, 0, &err, &state, &info, &bytes, nullptr);
  o.pollState = state;
  o.doneRc = quorex_QueryCopy(5, handle, 0, &err, &state, &info, &bytes, nullptr);
  o.doneState = state;
  o.doneError = err;
  o.doneBytes = bytes;
  quor_Close(sfd);
  quor_stat_t st;
  if (quor_Stat(sinkPath, &st) == 0) o.sinkSize = st.st_size;
  return o;
}

void report(const Outcome& o) {
  fprintf(stderr, "OUT copy=%d read=%d poll=%d done=%d state=%d error=%d moved=%llu bytes=%llu gap=%llu\n",
          o.copyRc, o.readRc, o.pollState, o.doneRc, o.doneState, o.doneError,
          (unsigned long long)o.moved, (unsigned long long)o.doneBytes,
          (unsigned long long)o.gap);
}

}  // namespace

// Every form the descriptor can take lands the same bytes at the sink offset;
// a stripe element with a 32-bit transfer id is refused by the sink.
TEST(CopyRemote, TheSourcesMoversPushEveryFormIntoTheSink) {
  GwsimFixture src(config("Movers = {\n PacketSize = 20000\n Protocol = mover\n}\n"));
  GwsimFixture dst(config());
  ASSERT_TRUE(src.running()) << src.stderrText();
  ASSERT_TRUE(dst.running()) << dst.stderrText();
  const std::string data = pattern(300000, 1);
  hostWrite(src, "/src", data);
  struct Case {
    const char* name;
    Form form;
    uint64_t srcOff, sinkOff, len;
    bool ok;
  };
  const Case cases[] = {
      {"one address, packets", {1, 0, 0x20, false}, 0, 0, 300000, true},
      {"one address, mover protocol", {1, 0, 0x28, false}, 0, 0, 300000, true},
      {"select flag gives the mover protocol", {1, 0, 0x4020, false}, 0, 0, 300000, true},
      {"four stripes of 64 KiB", {4, 65536, 0x20, false}, 0, 0, 300000, true},
      {"three stripes, mover protocol", {3, 4096, 0x28, false}, 0, 0, 300000, true},
      {"offsets on both sides", {2, 10000, 0x20, false}, 1000, 5000, 123457, true},
      {"32-bit id on later stripes", {4, 65536, 0x20, true}, 0, 0, 300000, false},
  };
  int n = 0;
  for (const Case& c : cases) {
    std::string sink = "/out/s" + std::to_string(n++);
    ChildResult r = runInChild([&] {
      int failures = 0;
      Pair p;
      if (!connectPair(src, dst, &p)) return 1;
      Outcome o = pass(p, "/src", c.srcOff, sink.c_str(), c.sinkOff, c.len, c.form);
      report(o);
      CHILD_EQ(failures, o.copyRc, 0);
      if (c.ok) {
        CHILD_EQ(failures, o.readRc, 0);
        CHILD_EQ(failures, o.moved, c.len);
        CHILD_EQ(failures, o.doneRc, 0);
        CHILD_EQ(failures, o.doneState, 6);
        CHILD_EQ(failures, o.doneBytes, c.len);
        // The gateway's own record of the file knows its new size.
        CHILD_EQ(failures, o.sinkSize, c.sinkOff + c.len);
      } else {
        // The movers may have handed everything to the sockets before the
        // sink refused it: the sink's state is what tells.
        CHILD_EQ(failures, o.doneState, 3);
      }
      return failures;
    });
    EXPECT_EQ(r.status, 0) << c.name << "\n" << r.stderrText;
    if (c.ok) {
      EXPECT_EQ(hostRead(dst, sink), std::string(c.sinkOff, '\0') + data.substr(c.srcOff, c.len))
          << c.name;
    }
  }
  EXPECT_GE(countLines(dst.journalLines(), "copy handle=", "why=transfer id or checksum"), 1);
}

// A read that meets a hole stops there; the sink completes with what came
// and never writes the hole.
TEST(CopyRemote, AGapInTheSourceEndsThePassAtTheGap) {
  GwsimFixture src(config());
  GwsimFixture dst(config());
  ASSERT_TRUE(src.running() && dst.running());
  const std::string a = pattern(40000, 2), b = pattern(30000, 3);
  const off_t kHoleAt = 40960, kHoleLen = 1 << 20;
  hostWrite(src, "/sparse", a);
  hostWrite(src, "/sparse", b, kHoleAt + kHoleLen);
  {
    int fd = open((src.rootDir() + "/sparse").c_str(), O_RDONLY);
    bool holes = lseek(fd, 0, SEEK_HOLE) < kHoleAt + kHoleLen;
    close(fd);
    if (!holes) GTEST_SKIP() << "the file system keeps no holes";
  }
  const uint64_t len = uint64_t(kHoleAt + kHoleLen) + b.size();
  ChildResult r = runInChild([&] {
    int failures = 0;
    Pair p;
    if (!connectPair(src, dst, &p)) return 1;
    Outcome o = pass(p, "/sparse", 0, "/out/sparse", 0, len, {2, 8192, 0x20, false});
    report(o);
    CHILD_EQ(failures, o.readRc, 0);
    CHILD_CHECK(failures, (o.iorFlags & QUOR_IOR_GAPINFO) != 0);
    CHILD_EQ(failures, o.moved, uint64_t(kHoleAt));
    CHILD_EQ(failures, o.gap, uint64_t(kHoleLen));
    CHILD_EQ(failures, o.doneState, 6);
    CHILD_EQ(failures, o.doneBytes, uint64_t(kHoleAt));
    // The rest after the gap, at matching offsets.
    uint64_t at = uint64_t(kHoleAt + kHoleLen);
    o = pass(p, "/sparse", at, "/out/sparse", at, len - at, {1, 0, 0x28, false});
    report(o);
    CHILD_EQ(failures, o.doneState, 6);
    CHILD_EQ(failures, o.doneBytes, len - at);
    return failures;
  });
  EXPECT_EQ(r.status, 0) << r.stderrText;
  EXPECT_EQ(hostRead(dst, "/out/sparse"), hostRead(src, "/sparse"));
  struct stat st;
  ASSERT_EQ(stat((dst.rootDir() + "/out/sparse").c_str(), &st), 0);
  EXPECT_LT(uint64_t(st.st_blocks) * 512, uint64_t(kHoleLen));
}

// The rules and the cancel: what the read side and the sink's states show.
TEST(CopyRemote, RulesAndCancelsEndTheCopyWithTheirStates) {
  struct Case {
    const char* name;
    std::string copies;
    bool cancelFirst;
    int pollState;   // 0: any (the last bytes may still be on their way)
    int doneState;
    bool readFails;  // the sink stopped listening before the read
    uint32_t width;  // addresses asked
  };
  const Case cases[] = {
      {"state 7 mid-copy", "AbortAt = 1\n AbortBytes = 100000\n AbortState = 7\n", false, 0, 7,
       false, 2},
      {"state 3 mid-copy", "AbortAt = 1\n AbortBytes = 1\n", false, 0, 3, false, 2},
      {"state 3 after a complete read", "RefuseCompletion = 1\n", false, 0, 3, false, 2},
      {"cancelled by the user", "", true, 3, 3, true, 2},
      {"fewer addresses than asked", "ListenCount = 1\n", false, 0, 6, false, 4},
  };
  for (const Case& c : cases) {
    GwsimFixture src(config("Movers = {\n PacketSize = 8192\n}\n"));
    GwsimFixture dst(config("Copies = {\n " + c.copies + "}\n"));
    ASSERT_TRUE(src.running() && dst.running()) << dst.stderrText();
    const std::string data = pattern(400000, 4);
    hostWrite(src, "/src", data);
    ChildResult r = runInChild([&] {
      int failures = 0;
      Pair p;
      if (!connectPair(src, dst, &p)) return 1;
      Form f{int(c.width), 8192, 0x20, false};
      Outcome o = pass(p, "/src", 0, "/out/s", 0, data.size(), f, c.cancelFirst);
      report(o);
      CHILD_EQ(failures, o.copyRc, 0);
      if (c.readFails) {
        CHILD_CHECK(failures, o.readRc < 0);
      } else if (c.doneState == 6) {
        CHILD_EQ(failures, o.readRc, 0);
        CHILD_EQ(failures, o.doneBytes, uint64_t(data.size()));
      }
      if (c.pollState) {
        CHILD_EQ(failures, o.pollState, c.pollState);
      }
      CHILD_EQ(failures, o.doneState, c.doneState);
      return failures;
    });
    EXPECT_EQ(r.status, 0) << c.name << "\n" << r.stderrText;
  }
}
