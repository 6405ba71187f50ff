// List reads and writes with caller-built I/O descriptors against gwsim:
// the descriptor checks (nothing sent), striped transfers served with the
// library's single-connection operations, and the mover protocol driven
// the way a transfer engine drives it, with its completion checks.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include "client_env.h"
#include "client_process.h"
#include "gwsim_config.h"
#include "gwsim_fixture.h"
#include "journal_text.h"
#include "mvr_protocol.h"
#include "quor_api.h"
#include "quor_api_internal.h"
#include "quorclntaddr.h"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif

namespace {

// Under the leak checker: whether memory is lost by now (0 without it).
int leaksFound() {
#if defined(__SANITIZE_ADDRESS__)
  return __lsan_do_recoverable_leak_check();
#else
  return 0;
#endif
}

std::string config(const std::string& moverLines) {
  GwsimConfig c;
  c.user("alice", "wonderland").set("Uid", 1001).set("Gid", 100);
  c.dir("/").set("Uid", 1001).set("Mode", "0755");
  c.movers().set("PacketSize", 4096).lines(moverLines);
  return c.text();
}

bool login(const GwsimFixture& gw) { return clientLogin(gw, "alice", "wonderland") == 0; }

std::vector<char> pattern(size_t n, unsigned seed) {
  std::vector<char> v(n);
  for (size_t i = 0; i < n; i++) v[i] = char((i * 7 + seed * 13 + i / 4096) & 0xff);
  return v;
}

// A listening data socket of the library; -1 on failure.
int listenSocket(quor_sockaddr_t* addr) {
  int fd = -1;
  if (ozugw_SockGetListenSocket(0, 1, &fd, addr) != 0) return -1;
  if (quor_net_listen(fd, 64, nullptr, 0) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

int acceptWithin(int lfd, int ms) {
  struct pollfd p = {lfd, POLLIN, 0};
  if (poll(&p, 1, ms) != 1) return -1;
  return quor_net_accept(lfd, nullptr, nullptr, 0);
}

iod_srcsinkdesc_t fileDesc(int fd, uint64_t len) {
  iod_srcsinkdesc_t d;
  memset(&d, 0, sizeof d);
  d.Length = len;
  d.SrcSinkAddr.Type = CLIENTFILE_ADDRESS;
  d.SrcSinkAddr.Addr_u.ClientFileAddr.FileDes = fd;
  d.SrcSinkAddr.Addr_u.ClientFileAddr.FileOffset = 0;
  return d;
}

iod_srcsinkdesc_t netDesc(uint64_t xfer, const quor_sockaddr_t& addr, uint64_t len, uint32_t flags) {
  iod_srcsinkdesc_t d;
  memset(&d, 0, sizeof d);
  d.Flags = flags;
  d.Length = len;
  d.SrcSinkAddr.Type = NET_ADDRESS;
  d.SrcSinkAddr.Addr_u.NetAddr.SockTransferID = xfer;
  d.SrcSinkAddr.Addr_u.NetAddr.SockAddr = addr;
  return d;
}

quor_IOD_t iodOf(int function, iod_srcsinkdesc_t* src, int nsrc, iod_srcsinkdesc_t* sink,
                 int nsink) {
  quor_IOD_t iod;
  memset(&iod, 0, sizeof iod);
  iod.RequestID = quor_GetUniqueRequestID();
  iod.Function = function;
  iod.SrcDescLength = nsrc;
  iod.SinkDescLength = nsink;
  iod.SrcDescList = src;
  iod.SinkDescList = sink;
  return iod;
}

// Serves one mover's control connection as a transfer engine does: answers
// each initiator message (flags 14), sends the data address, moves the
// piece over the data connection and checks the completion message.
// 0 once the mover closes; else the first failure.
int serveMoverProtocol(int lfd, uint64_t xfer, char* buf, uint64_t size, bool read,
                       uint64_t* moved) {
  int ctl = acceptWithin(lfd, 10000);
  if (ctl < 0) return -110;
  quor_sockaddr_t daddr;
  int dl = listenSocket(&daddr);
  int data = -1;
  int rc = 0;
  for (;;) {
    int type = 0;
    initiator_msg_t init;
    pdata_hdr_t hdr;
    rc = mover_socket_recv_protmsg_timeout(ctl, xfer, &type, &init, &hdr, 10);
    if (rc <= 0) break;
    if (type != MVRPROT_MSG_INITIATOR) {
      rc = -71;
      break;
    }
    initiator_msg_t reply = init;
    reply.Flags = MVRPROT_HOLD_RESOURCES | MVRPROT_COMP_REPLY | MVRPROT_ADDR_FOLLOWS;
    initiator_ipaddr_t ip;
    memset(&ip, 0, sizeof ip);
    ip.IpAddr.SockTransferID = xfer;
    ip.IpAddr.SockAddr = daddr;
    if ((rc = mvrprot_send_initmsg(ctl, &reply)) < 0 || (rc = mvrprot_send_ipaddr(ctl, &ip)) < 0)
      break;
    if (data < 0 && (data = acceptWithin(dl, 10000)) < 0) {
      rc = -110;
      break;
    }
    int n = 0;
    rc = read ? mover_socket_recv_data(data, xfer, 0, buf, int(size), &n, 1)
              : mover_socket_send_requested_data(data, xfer, 0, buf, int(size), &n, 1);
    if (rc < 0) break;
    completion_msg_t c;
    if ((rc = mvrprot_recv_compmsg(ctl, &c)) < 0) break;
    if ((rc = mvrprot_check_compmsg(&c, uint64_t(n))) < 0) break;
    *moved += uint64_t(n);
  }
  if (data >= 0) close(data);
  close(dl);
  close(ctl);
  return rc;
}

}  // namespace

TEST(ListIO, DescriptorsAreCheckedBeforeAnythingIsSent) {
  GwsimFixture gw(config(""));
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  ChildResult r = runInChild([&] {
    int failures = 0;
    if (!login(gw)) return 1;
    int fd = quor_Open("/f", O_RDWR | O_CREAT, 0644, nullptr, nullptr, nullptr);
    quor_sockaddr_t a;
    memset(&a, 0, sizeof a);
    iod_srcsinkdesc_t file = fileDesc(fd, 10), file2 = fileDesc(fd, 10);
    iod_srcsinkdesc_t net = netDesc(1, a, 10, 0);
    iod_srcsinkdesc_t lft = netDesc(1, a, 10, 0);
    lft.SrcSinkAddr.Type = LFT_ADDRESS;
    iod_srcsinkdesc_t closed = fileDesc(fd + 9, 10);
    quor_IOR_t ior;
    memset(&ior, 0, sizeof ior);
    struct Case {
      quor_IOD_t iod;
      bool write;
      int expect;
    };
    file2.Next = nullptr;
    iod_srcsinkdesc_t fileThenFile = fileDesc(fd, 10);
    fileThenFile.Next = &file2;
    std::vector<Case> cases = {
        {iodOf(QUOR_IOD_READ, &net, 1, &file, 1), false, -22},      // file on the wrong side
        {iodOf(QUOR_IOD_READ, &file, 2, &net, 1), false, -34},      // shorter than counted
        {iodOf(QUOR_IOD_READ, &file, 1, &lft, 1), false, -64},      // type 13
        {iodOf(QUOR_IOD_WRITE, &net, 1, &fileThenFile, 2), true, -16},  // two client files
        {iodOf(QUOR_IOD_READ, &closed, 1, &net, 1), false, -9},     // not open
        {iodOf(QUOR_IOD_READ, &net, 1, &net, 1), false, -14},       // no client file
        {iodOf(3, &file, 1, &net, 1), false, -22},                  // no such function
        {iodOf(QUOR_IOD_READ, &file, 0, &net, 1), false, -22},      // empty list
    };
    for (size_t i = 0; i < cases.size(); i++) {
      int rc = cases[i].write ? quor_WriteList(&cases[i].iod, 0, &ior)
                              : quor_ReadList(&cases[i].iod, 0, &ior);
      if (rc != cases[i].expect)
        fprintf(stderr, "case %zu: %d, want %d\n", i, rc, cases[i].expect);
      CHILD_EQ(failures, rc, cases[i].expect);
    }
    CHILD_EQ(failures, quor_ReadList(nullptr, 0, &ior), -14);
    CHILD_EQ(failures, quor_WriteList(&cases[0].iod, 0, nullptr), -14);
    CHILD_EQ(failures, file.SrcSinkAddr.Addr_u.ClientFileAddr.FileDes, fd);
    quor_Close(fd);
    return failures;
  });
  EXPECT_EQ(r.status, 0) << r.stderrText;
  EXPECT_EQ(countLines(gw.journalLines(), "fn=0x1207"), 0);
  EXPECT_EQ(countLines(gw.journalLines(), "fn=0x1701"), 0);
}

TEST(ListIO, AStripedWriteAndReadMoveBlockKOnStripeK) {
  GwsimFixture gw(config(""));
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  const int kWidth = 3;
  const uint64_t kBlock = 4096, kSize = 10 * kBlock + 50;
  ChildResult r = runInChild([&] {
    int failures = 0;
    if (!login(gw)) return 1;
    std::vector<char> data = pattern(kSize, 5), back(kSize, 0);
    int fd = quor_Open("/striped", O_RDWR | O_CREAT, 0644, nullptr, nullptr, nullptr);
    for (bool write : {true, false}) {
      quor_reqid_t id = quor_GetUniqueRequestID();
      uint64_t xfer = quor_RequestIDtoU64(id);
      int lfd[kWidth];
      iod_srcsinkdesc_t net;
      memset(&net, 0, sizeof net);
      net.Length = kSize;
      net.SrcSinkAddr.Type = STRIPE_ADDRESS;
      iod_stripe_addr_t more[kWidth - 1];
      for (int k = 0; k < kWidth; k++) {
        iod_stripe_addr_t* e = k == 0 ? &net.SrcSinkAddr.Addr_u.StripeAddr : &more[k - 1];
        memset(e, 0, sizeof *e);
        e->BlockSize = kBlock;
        e->StripeWidth = kWidth;
        e->AddrListLength = kWidth;
        e->Flags = QUOR_IOD_XFEROPT_IP;
        e->Addr.Type = NET_ADDRESS;
        e->Addr.Addr_u.NetAddr.SockTransferID = xfer;
        lfd[k] = listenSocket(&e->Addr.Addr_u.NetAddr.SockAddr);
        e->Addr.Addr_u.NetAddr.SockOffset = uint64_t(k) * kBlock;
        e->Next = k + 1 < kWidth ? &more[k] : nullptr;
      }
      // One server per stripe: its mover's packets, until the mover closes.
      uint64_t got[kWidth] = {0, 0, 0};
      int rcs[kWidth] = {1, 1, 1};
      std::vector<std::thread> servers;
      for (int k = 0; k < kWidth; k++)
        servers.emplace_back([&, k] {
          int c = acceptWithin(lfd[k], 10000);
          int n = 0;
          rcs[k] = write ? mover_socket_send_requested_data(c, xfer, 0, data.data(), int(kSize), &n, -1)
                         : mover_socket_recv_data(c, xfer, 0, back.data(), int(kSize), &n, -1);
          got[k] = uint64_t(n);
          close(c);
        });
      iod_srcsinkdesc_t file = fileDesc(fd, kSize);
      quor_IOD_t iod = write ? iodOf(QUOR_IOD_WRITE, &net, 1, &file, 1)
                             : iodOf(QUOR_IOD_READ, &file, 1, &net, 1);
      iod.RequestID = id;
      quor_IOR_t ior;
      memset(&ior, 0, sizeof ior);
      CHILD_EQ(failures, write ? quor_WriteList(&iod, 0, &ior) : quor_ReadList(&iod, 1, &ior), 0);
      for (std::thread& t : servers) t.join();
      for (int k = 0; k < kWidth; k++) {
        CHILD_EQ(failures, rcs[k], 0);
        close(lfd[k]);
      }
      // Stripe k moved blocks k, k + 3, ...: 4, 3 and 3 blocks, the last one short.
      CHILD_EQ(failures, got[0], 4 * kBlock);
      CHILD_EQ(failures, got[1], 3 * kBlock + 50);
      CHILD_EQ(failures, got[2], 3 * kBlock);
      CHILD_EQ(failures, ior.SinkReplyLength, 1);
      CHILD_CHECK(failures, ior.SinkReplyList && ior.SinkReplyList->BytesMoved == kSize);
      CHILD_CHECK(failures, ior.SrcReplyList && ior.SrcReplyList->BytesMoved == kSize);
      CHILD_CHECK(failures, memcmp(&ior.RequestID, &id, sizeof id) == 0);
      free_quor_ior_mem(&ior);
      CHILD_CHECK(failures, ior.SinkReplyList == nullptr && ior.SrcReplyList == nullptr);
    }
    CHILD_CHECK(failures, back == data);
    quor_Close(fd);
    return failures;
  });
  EXPECT_EQ(r.status, 0) << r.stderrText;
  EXPECT_EQ(countLines(gw.journalLines(), "fn=0x1701", " movers=3 moved=41010"), 1);
  EXPECT_EQ(countLines(gw.journalLines(), "fn=0x1207", " movers=3 moved=41010"), 1);
  EXPECT_EQ(readFile(gw.rootDir() + "/striped").size(), kSize);
}

TEST(ListIO, TheMoverProtocolMovesEveryPieceAndItsCompletionsAreChecked) {
  // Request 1 writes, 2 reads cleanly; reads 2 and 3 carry faults the
  // engine's checks must catch.
  GwsimFixture gw(config(
      "Protocol = mover\nOverstate = read 2 7\nStatus = read 3 -28\nBadChecksum = read 4"));
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  const uint64_t kSize = 5 * 4096 + 1;
  ChildResult r = runInChild([&] {
    int failures = 0;
    if (!login(gw)) return 1;
    std::vector<char> data = pattern(kSize, 9);
    int fd = quor_Open("/mp", O_RDWR | O_CREAT, 0644, nullptr, nullptr, nullptr);
    struct Step {
      bool write;
      uint32_t flags;  // the mover-select flag lets gwsim choose; 0x8 demands the protocol
      int engine;      // what the engine ends with
    };
    const Step steps[] = {
        {true, QUOR_IOD_COND_CTRL_ADDR, 0},
        {false, QUOR_IOD_CONTROL_ADDR, 0},
        {false, QUOR_IOD_CONTROL_ADDR, -5},   // overstated BytesMoved
        {false, QUOR_IOD_CONTROL_ADDR, -28},  // a failed Status
        {false, QUOR_IOD_CONTROL_ADDR, -22},  // a bad initiator checksum
    };
    for (const Step& s : steps) {
      std::vector<char> back(kSize, 0);
      quor_sockaddr_t addr;
      int lfd = listenSocket(&addr);
      quor_reqid_t id = quor_GetUniqueRequestID();
      uint64_t xfer = quor_RequestIDtoU64(id);
      uint64_t moved = 0;
      int engine = 1;
      std::thread server([&] {
        engine = serveMoverProtocol(lfd, xfer, s.write ? data.data() : back.data(), kSize,
                                    !s.write, &moved);
      });
      iod_srcsinkdesc_t file = fileDesc(fd, kSize);
      iod_srcsinkdesc_t net = netDesc(xfer, addr, kSize, s.flags | QUOR_IOD_XFEROPT_IP);
      quor_IOD_t iod = s.write ? iodOf(QUOR_IOD_WRITE, &net, 1, &file, 1)
                               : iodOf(QUOR_IOD_READ, &file, 1, &net, 1);
      iod.RequestID = id;
      quor_IOR_t ior;
      memset(&ior, 0, sizeof ior);
      int rc = s.write ? quor_WriteList(&iod, 0, &ior) : quor_ReadList(&iod, 1, &ior);
      server.join();
      close(lfd);
      CHILD_EQ(failures, engine, s.engine);
      if (s.engine == 0) {
        CHILD_EQ(failures, rc, 0);
        CHILD_EQ(failures, moved, kSize);
        CHILD_CHECK(failures, s.write || back == data);
      }
      free_quor_ior_mem(&ior);
    }
    quor_Close(fd);
    CHILD_EQ(failures, leaksFound(), 0);
    return failures;
  });
  EXPECT_EQ(r.status, 0) << r.stderrText;
  std::vector<char> want = pattern(kSize, 9);
  EXPECT_EQ(readFile(gw.rootDir() + "/mp"), std::string(want.begin(), want.end()));
}

TEST(ListIO, ANegativeCodeStillFillsTheReplyAndTheDescriptorIsRestored) {
  GwsimFixture gw(config("Die = read 1"));
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  ChildResult r = runInChild([&] {
    int failures = 0;
    if (!login(gw)) return 1;
    // A file open on a second connection takes client descriptor 0, so the
    // one read here is client descriptor 1 and gateway descriptor 0.
    int first = quorex_GetCurConHandle(), second = -1;
    CHILD_EQ(failures, quorex_SetupConnection("127.0.0.1", nullptr, gw.port(), 0, 0, &second), 0);
    quor_SetAuthType(QUOR_AUTH_COMBO);
    quor_SetCombo("alice", "wonderland");
    CHILD_EQ(failures, quorex_OpenConnection(second), 0);
    int other = quor_Open("/other", O_RDWR | O_CREAT, 0644, nullptr, nullptr, nullptr);
    CHILD_EQ(failures, other, 0);
    CHILD_EQ(failures, quorex_SetCurConnection(first, nullptr), 0);
    int fd = quor_Open("/d", O_RDWR | O_CREAT, 0644, nullptr, nullptr, nullptr);
    CHILD_EQ(failures, fd, 1);
    std::vector<char> data = pattern(9000, 1), back(9000);
    CHILD_EQ(failures, quor_Write(fd, data.data(), data.size()), 9000);
    CHILD_EQ(failures, quor_Lseek(fd, 0, SEEK_SET), 0);
    quor_sockaddr_t addr;
    int lfd = listenSocket(&addr);
    quor_reqid_t id = quor_GetUniqueRequestID();
    uint64_t xfer = quor_RequestIDtoU64(id);
    std::thread server([&] {
      int moved = 0;
      mover_waitfor_data_timeout(lfd, xfer, 0, back.data(), 9000, &moved, 2);
    });
    iod_srcsinkdesc_t file = fileDesc(fd, 9000);
    iod_srcsinkdesc_t net = netDesc(xfer, addr, 9000, QUOR_IOD_XFEROPT_IP);
    quor_IOD_t iod = iodOf(QUOR_IOD_READ, &file, 1, &net, 1);
    iod.RequestID = id;
    quor_IOR_t ior;
    memset(&ior, 0, sizeof ior);
    CHILD_EQ(failures, quor_ReadList(&iod, 1, &ior), -5);
    shutdown(lfd, SHUT_RDWR);  // ends the server's wait at once
    server.join();
    close(lfd);
    CHILD_EQ(failures, ior.Status, -5);
    CHILD_CHECK(failures, ior.SinkReplyList != nullptr && ior.SinkReplyList->BytesMoved == 0);
    CHILD_EQ(failures, file.SrcSinkAddr.Addr_u.ClientFileAddr.FileDes, fd);
    free_quor_ior_mem(&ior);
    quor_Close(fd);
    return failures;
  });
  EXPECT_EQ(r.status, 0) << r.stderrText;
  // The gateway saw its own descriptor, the client kept its own.
  EXPECT_EQ(countLines(gw.journalLines(), "conn=1 cat=0x0500 fn=0x1207", " fildes=0 len=9000"), 1);
}
