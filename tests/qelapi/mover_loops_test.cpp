// Mover connection loops and single-connection operations against stand-in
// movers on loopback: windows filled from several connections, packets that
// must be refused, closed movers, the connection limit, time-outs, and a
// listen socket numbered above the select limit.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <thread>
#include <vector>

#include "mover_loops.h"
#include "mvr_protocol.h"

namespace {

const uint64_t kXfer = 0x1234567890abcdefULL;

struct Listener {
  Listener() {
    fd = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in sin;
    memset(&sin, 0, sizeof sin);
    sin.sin_family = AF_INET;
    sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof sin;
    EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&sin), len), 0);
    EXPECT_EQ(listen(fd, 128), 0);
    getsockname(fd, reinterpret_cast<sockaddr*>(&sin), &len);
    port = ntohs(sin.sin_port);
    fcntl(fd, F_SETFL, O_NONBLOCK);
  }
  ~Listener() { close(fd); }
  int fd;
  int port;
};

int connectTo(int port) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  struct sockaddr_in sin;
  memset(&sin, 0, sizeof sin);
  sin.sin_family = AF_INET;
  sin.sin_port = htons(uint16_t(port));
  sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr*>(&sin), sizeof sin) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// Sends packets of `piece` bytes of src at the given window offsets.
void sendPackets(int fd, uint64_t xfer, uint64_t base, const std::vector<char>& src,
                 const std::vector<uint64_t>& offsets, int piece) {
  for (uint64_t off : offsets)
    ASSERT_EQ(mover_socket_send_buffer_timeout_size(fd, xfer, base + off, src.data() + off, piece,
                                                    nullptr, 5, 0),
              piece);
}

std::vector<char> pattern(size_t n) {
  std::vector<char> v(n);
  for (size_t i = 0; i < n; i++) v[i] = char((i * 131 + 7) & 0xff);
  return v;
}

// True once the peer has closed the connection (EOF or reset) within 2 s.
bool peerClosed(int fd) {
  struct pollfd p = {fd, POLLIN, 0};
  if (poll(&p, 1, 2000) != 1) return false;
  char c;
  return recv(fd, &c, 1, 0) <= 0;
}

}  // namespace

TEST(MoverLoops, TwoMoversFillDisjointHalvesOfOneWindow) {
  Listener l;
  const int kPiece = 4096, kSize = 16 * kPiece;
  const uint64_t kBase = 1000000;
  std::vector<char> src = pattern(kSize), dst(kSize, 0);
  std::thread a([&] {
    int fd = connectTo(l.port);
    sendPackets(fd, kXfer, kBase, src, {0, 2 * kPiece, 4 * kPiece, 6 * kPiece}, kPiece);
    sendPackets(fd, kXfer, kBase, src, {1 * kPiece, 3 * kPiece, 5 * kPiece, 7 * kPiece}, kPiece);
    close(fd);
  });
  std::thread b([&] {
    int fd = connectTo(l.port);
    for (int i = 15; i >= 8; i--) sendPackets(fd, kXfer, kBase, src, {uint64_t(i) * kPiece}, kPiece);
    // Stays connected: the loop ends on the full window, not on the close.
    char c;
    recv(fd, &c, 1, 0);
    close(fd);
  });
  int moved = -1;
  EXPECT_EQ(mover_waitfor_data_timeout(l.fd, kXfer, kBase, dst.data(), kSize, &moved, 5), 0);
  EXPECT_EQ(moved, kSize);
  EXPECT_EQ(dst, src);
  a.join();
  b.join();
}

// Several movers are served at once; a packet that a mover sends slowly,
// beyond the loop's wait, is activity and not a time-out, whichever
// connection it is on.
TEST(MoverLoops, ASlowPacketOnOneOfSeveralMoversIsNoTimeOut) {
  Listener l;
  const int kPiece = 4096, kSize = 3 * kPiece;
  std::vector<char> src = pattern(kSize), dst(kSize, 0);
  auto slow = [&](uint64_t off) {
    int fd = connectTo(l.port);
    pdata_hdr_t h;
    memset(&h, 0, sizeof h);
    h.PdataDelimiter = PDATA_DELIMITER;
    h.XferID = kXfer;
    h.Offset = off;
    h.Length = kPiece;
    pdata_build_checksum(&h, &h.CheckSum);
    unsigned char b[PDATA_HDR_LEN];
    pdata_encode_hdr(&h, b);
    EXPECT_EQ(send(fd, b, sizeof b, 0), ssize_t(sizeof b));
    EXPECT_EQ(send(fd, src.data() + off, kPiece / 2, 0), kPiece / 2);
    std::this_thread::sleep_for(std::chrono::milliseconds(1600));
    EXPECT_EQ(send(fd, src.data() + off + kPiece / 2, kPiece / 2, 0), kPiece / 2);
    char c;
    recv(fd, &c, 1, 0);
    close(fd);
  };
  std::thread a([&] {
    int fd = connectTo(l.port);
    sendPackets(fd, kXfer, 0, src, {0}, kPiece);
    char c;
    recv(fd, &c, 1, 0);
    close(fd);
  });
  std::thread b([&] { slow(kPiece); });
  std::thread c([&] { slow(2 * kPiece); });
  int moved = -1;
  EXPECT_EQ(mover_waitfor_data_timeout(l.fd, kXfer, 0, dst.data(), kSize, &moved, 1), 0);
  EXPECT_EQ(moved, kSize);
  EXPECT_EQ(dst, src);
  a.join();
  b.join();
  c.join();
}

TEST(MoverLoops, APacketReachingPastTheWindowEndsTheLoop) {
  Listener l;
  std::vector<char> src = pattern(100), dst(100, 0);
  std::thread m([&] {
    int fd = connectTo(l.port);
    mover_socket_send_buffer_timeout_size(fd, kXfer, 90, src.data(), 20, nullptr, 5, 0);
    peerClosed(fd);
    close(fd);
  });
  int moved = -1;
  EXPECT_EQ(mover_waitfor_data_timeout(l.fd, kXfer, 0, dst.data(), 100, &moved, 5), -22);
  EXPECT_EQ(moved, 0);
  m.join();
}

TEST(MoverLoops, AnotherTransferIdEndsTheLoop) {
  Listener l;
  std::vector<char> src = pattern(100), dst(100, 0);
  std::thread m([&] {
    int fd = connectTo(l.port);
    mover_socket_send_buffer_timeout_size(fd, kXfer + 1, 0, src.data(), 10, nullptr, 5, 0);
    peerClosed(fd);
    close(fd);
  });
  int moved = -1;
  EXPECT_EQ(mover_waitfor_data_timeout(l.fd, kXfer, 0, dst.data(), 100, &moved, 5), -22);
  m.join();
}

TEST(MoverLoops, AClosedMoverIsDroppedAndTheOthersAreWaitedFor) {
  Listener l;
  std::vector<char> src = pattern(8192), dst(8192, 0);
  std::thread first([&] {
    int fd = connectTo(l.port);
    sendPackets(fd, kXfer, 0, src, {0}, 4096);
    close(fd);
  });
  first.join();
  std::thread second([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    int fd = connectTo(l.port);
    // An empty packet first: it counts as the end of this connection...
    sendPackets(fd, kXfer, 0, src, {0}, 0);
    close(fd);
    // ...so the rest comes on a new one.
    fd = connectTo(l.port);
    sendPackets(fd, kXfer, 0, src, {4096}, 4096);
    close(fd);
  });
  int moved = -1;
  EXPECT_EQ(mover_waitfor_data_timeout(l.fd, kXfer, 0, dst.data(), 8192, &moved, 5), 0);
  EXPECT_EQ(moved, 8192);
  EXPECT_EQ(dst, src);
  second.join();
}

TEST(MoverLoops, NobodyConnectingTimesOut) {
  Listener l;
  char buf[16];
  int moved = -1;
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(mover_waitfor_data_timeout(l.fd, kXfer, 0, buf, 16, &moved, 1), -110);
  double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  EXPECT_GE(s, 0.9);
  EXPECT_EQ(moved, 0);
  EXPECT_EQ(mover_waitfor_data_timeout(l.fd, kXfer, 0, buf, -1, &moved, 1), -22);
}

TEST(MoverLoops, TheThirtyThirdConnectionEndsTheLoopAndAllAreClosed) {
  Listener l;
  std::vector<int> movers;
  for (int i = 0; i < 33; i++) {
    int fd = connectTo(l.port);
    ASSERT_GE(fd, 0);
    movers.push_back(fd);
  }
  char buf[64];
  int moved = -1;
  EXPECT_EQ(mover_waitfor_data_timeout(l.fd, kXfer, 0, buf, sizeof buf, &moved, 5), -16);
  for (int fd : movers) {
    EXPECT_TRUE(peerClosed(fd));
    close(fd);
  }
}

TEST(MoverLoops, RequestsAreAnsweredAndARepeatedRequestIsNotCountedTwice) {
  Listener l;
  const int kSize = 3 * 4096;
  std::vector<char> src = pattern(kSize);
  std::vector<char> got(kSize, 0);
  std::thread m([&] {
    int fd = connectTo(l.port);
    for (uint64_t off : {0, 4096, 4096, 8192}) {
      pdata_hdr_t req;
      memset(&req, 0, sizeof req);
      req.XferID = kXfer;
      req.Offset = 500 + off;
      req.Length = 4096;
      ASSERT_EQ(pdata_send_hdr_timeout(fd, &req, 5), PDATA_HDR_LEN);
      pdata_hdr_t back;
      ASSERT_EQ(pdata_recv_hdr_timeout(fd, &back, 5), PDATA_HDR_LEN);
      EXPECT_EQ(back.Offset, 500 + off);
      ASSERT_EQ(mover_socket_read_data_timeout(fd, got.data() + off, 4096, 5), 4096);
    }
    close(fd);
  });
  int moved = -1;
  EXPECT_EQ(mover_waitfor_requests_timeout(l.fd, kXfer, 500, src.data(), kSize, &moved, 5), 0);
  EXPECT_EQ(moved, kSize);
  m.join();
  EXPECT_EQ(got, src);
}

TEST(MoverLoops, AListenSocketAboveTheSelectLimitWorks) {
  struct rlimit rl;
  getrlimit(RLIMIT_NOFILE, &rl);
  if (rl.rlim_max < 2100) GTEST_SKIP() << "descriptor limit too low";
  struct rlimit raised = rl;
  if (raised.rlim_cur < 2100) raised.rlim_cur = 2100;
  setrlimit(RLIMIT_NOFILE, &raised);
  Listener l;
  int high = dup2(l.fd, 2000);
  ASSERT_EQ(high, 2000);
  std::vector<char> src = pattern(4096), dst(4096, 0);
  std::thread m([&] {
    int fd = connectTo(l.port);
    int hfd = dup2(fd, 2001);  // the data socket too, on the mover's side
    close(fd);
    sendPackets(hfd, kXfer, 0, src, {0}, 4096);
    close(hfd);
  });
  int moved = -1;
  EXPECT_EQ(mover_waitfor_data_timeout(high, kXfer, 0, dst.data(), 4096, &moved, 5), 0);
  EXPECT_EQ(dst, src);
  m.join();
  close(high);
  setrlimit(RLIMIT_NOFILE, &rl);
}

// ---- single connections ----

TEST(MoverSocket, ProtocolMessagesAreToldApartByTheirDelimiter) {
  int sv[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
  initiator_msg_t init;
  memset(&init, 0, sizeof init);
  init.Type = 1;
  init.Length = 77;
  ASSERT_EQ(mvrprot_send_initmsg(sv[1], &init), 0);
  pdata_hdr_t h;
  memset(&h, 0, sizeof h);
  h.XferID = kXfer;
  h.Length = 3;
  ASSERT_EQ(pdata_send_hdr_and_data_timeout_size(sv[1], &h, "abc", 3, 2, 0), 3);
  h.XferID = kXfer + 1;
  h.Length = 0;
  ASSERT_EQ(pdata_send_hdr_timeout(sv[1], &h, 2), PDATA_HDR_LEN);
  char zeros[8] = {0};
  ASSERT_EQ(write(sv[1], zeros, 8), 8);

  int type = 0;
  initiator_msg_t gotInit;
  pdata_hdr_t gotHdr;
  EXPECT_EQ(mover_socket_recv_protmsg_timeout(sv[0], kXfer, &type, &gotInit, &gotHdr, 2), 84);
  EXPECT_EQ(type, MVRPROT_MSG_INITIATOR);
  EXPECT_EQ(gotInit.Length, 77u);
  EXPECT_EQ(mover_socket_recv_protmsg(sv[0], kXfer, &type, &gotInit, &gotHdr), 48);
  EXPECT_EQ(type, MVRPROT_MSG_PDATA);
  EXPECT_EQ(gotHdr.Length, 3u);
  char data[3];
  EXPECT_EQ(mover_socket_read_data_timeout(sv[0], data, 3, 2), 3);  // the data stayed behind
  EXPECT_EQ(memcmp(data, "abc", 3), 0);
  EXPECT_EQ(mover_socket_recv_protmsg(sv[0], kXfer, &type, &gotInit, &gotHdr), -22);
  EXPECT_EQ(mover_socket_recv_protmsg(sv[0], kXfer, &type, &gotInit, &gotHdr), -2);
  EXPECT_EQ(type, -1);
  close(sv[1]);
  EXPECT_EQ(mover_socket_recv_protmsg(sv[0], kXfer, &type, &gotInit, &gotHdr), 0);
  close(sv[0]);
}

TEST(MoverSocket, ReceivingCountsPacketsOrRunsToTheClose) {
  int sv[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
  std::vector<char> src = pattern(300), dst(300, 0);
  int got = -1;
  EXPECT_EQ(mover_socket_recv_data(sv[0], kXfer, 0, dst.data(), 300, &got, 0), 0);
  EXPECT_EQ(got, 0);
  for (int off : {200, 0, 100})
    ASSERT_EQ(mover_socket_send_buffer_timeout_size(sv[1], kXfer, off, src.data() + off, 100,
                                                    nullptr, 0, 0),
              100);
  EXPECT_EQ(mover_socket_recv_data_timeout(sv[0], kXfer, 0, dst.data(), 300, &got, 1, 2), 100);
  close(sv[1]);
  EXPECT_EQ(mover_socket_recv_data_timeout(sv[0], kXfer, 0, dst.data(), 300, &got, -1, 2), 0);
  EXPECT_EQ(got, 200);  // the packets that were whole
  EXPECT_EQ(dst, src);
  EXPECT_EQ(mover_socket_recv_data(sv[0], kXfer, 0, dst.data(), -1, &got, 1), -22);
  EXPECT_EQ(mover_socket_send_buffer_timeout_size(sv[0], kXfer, 0, src.data(), -1, nullptr, 0, 0),
            -22);
  close(sv[0]);
}

TEST(MoverSocket, ARequestOutsideTheWindowIsRefused) {
  int sv[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
  std::vector<char> src = pattern(100);
  pdata_hdr_t req;
  memset(&req, 0, sizeof req);
  req.XferID = kXfer;
  req.Offset = 50;
  req.Length = 51;
  ASSERT_EQ(pdata_send_hdr_timeout(sv[1], &req, 2), PDATA_HDR_LEN);
  int sent = -1;
  EXPECT_EQ(mover_socket_send_requested_data(sv[0], kXfer, 0, src.data(), 100, &sent, 1), -22);
  EXPECT_EQ(sent, 0);
  req.Length = 50;
  ASSERT_EQ(pdata_send_hdr_timeout(sv[1], &req, 2), PDATA_HDR_LEN);
  EXPECT_EQ(mover_socket_send_requested_data_timeout(sv[0], kXfer, 0, src.data(), 100, &sent, 1, 2),
            50);
  pdata_hdr_t back;
  EXPECT_EQ(pdata_recv_hdr_timeout(sv[1], &back, 2), PDATA_HDR_LEN);
  char data[50];
  EXPECT_EQ(mover_socket_read_data_timeout(sv[1], data, 50, 2), 50);
  EXPECT_EQ(memcmp(data, src.data() + 50, 50), 0);
  close(sv[0]);
  close(sv[1]);
}

TEST(MoverCover, RangesMergeAndCountEachByteOnce) {
  mover_cover_t c;
  mover_cover_add(&c, 100, 50);
  EXPECT_EQ(mover_cover_prefix(&c), 0u);
  mover_cover_add(&c, 0, 100);
  EXPECT_EQ(mover_cover_prefix(&c), 150u);
  mover_cover_add(&c, 120, 10);  // inside: nothing new
  mover_cover_add(&c, 300, 10);
  mover_cover_add(&c, 140, 170);  // bridges the hole
  EXPECT_EQ(mover_cover_prefix(&c), 310u);
  EXPECT_EQ(mover_cover_total(&c), 310u);
  EXPECT_EQ(c.ranges.size(), 1u);
  mover_cover_add(&c, 310, 0);
  EXPECT_EQ(mover_cover_total(&c), 310u);
}

// A wake-up handled by the caller's callback does not stop the serving: a
// packet on its way is still taken, the callback can end the call once the
// bytes it names are in (short of the window), or end it at once.
TEST(MoverLoops, AWakeUpWithACallbackServesOnUntilTheNamedBytesAreIn) {
  struct Seen {
    int calls = 0;
    uint64_t want = 0;
    int stop = 0;
  };
  auto woken = [](void* arg, uint64_t* want) -> int {
    auto* s = static_cast<Seen*>(arg);
    s->calls++;
    *want = s->want;
    return s->stop;
  };
  const int kPiece = 4096, kSize = 8 * kPiece;
  std::vector<char> src = pattern(kSize);
  for (int stop : {0, 1}) {
    Listener l;
    int wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    ASSERT_GE(wakeFd, 0);
    Seen seen;
    seen.want = 3 * kPiece;
    seen.stop = stop;
    mover_wake_t wake{woken, &seen};
    int mover = connectTo(l.port);
    sendPackets(mover, kXfer, 0, src, {0, kPiece}, kPiece);
    std::thread late([&] {
      // The wake-up comes first, the last named packet after it, on the
      // same connection.
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
      uint64_t one = 1;
      EXPECT_EQ(write(wakeFd, &one, sizeof one), ssize_t(sizeof one));
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
      sendPackets(mover, kXfer, 0, src, {2 * kPiece}, kPiece);
    });
    mover_set_t set;
    set.listenFd = l.fd;
    set.caller = "test";
    mover_cover_t cover;
    std::vector<char> dst(kSize, 0);
    int rc = mover_serve(&set, MOVER_RECEIVE, kXfer, 0, dst.data(), kSize, &cover, 5000, wakeFd, 5,
                         &wake);
    late.join();
    EXPECT_EQ(seen.calls, 1);
    if (stop) {
      EXPECT_EQ(rc, MOVER_WOKEN);
    } else {
      EXPECT_EQ(rc, 0);
      EXPECT_EQ(mover_cover_prefix(&cover), uint64_t(3 * kPiece));
      EXPECT_EQ(std::vector<char>(dst.begin(), dst.begin() + 3 * kPiece),
                std::vector<char>(src.begin(), src.begin() + 3 * kPiece));
    }
    // The connection stays open for a later call either way.
    EXPECT_EQ(set.conns.size(), 1u);
    mover_set_close(&set);
    close(mover);
    close(wakeFd);
  }
}

namespace {

int threadCount() {
  int n = 0;
  for (const auto& e : std::filesystem::directory_iterator("/proc/self/task")) {
    (void)e;
    n++;
  }
  return n;
}

// Samples the thread count until it is `want` (a joined thread can stay
// listed for a moment), at most 2 s: the last count seen.
int settledThreadCount(int want) {
  int n = threadCount();
  for (int i = 0; i < 200 && n != want; i++) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    n = threadCount();
  }
  return n;
}

}  // namespace

// Calls that end early (a time-out, then a window that is complete) keep
// the connections and their threads for the next call, which serves what
// arrives on them meanwhile; closing the set ends the threads. A set that
// goes out of scope unclosed still ends them.
TEST(MoverLoops, ConnectionThreadsServeLaterCallsUntilTheSetCloses) {
  Listener l;
  const int kPiece = 4096, kSize = 6 * kPiece;
  std::vector<char> src = pattern(kSize);
  // A first thread starts whatever the process starts once (a sanitizer's
  // own thread), so that the counts below see only the set's.
  std::thread([] {}).join();
  int before = threadCount();
  for (bool closeIt : {true, false}) {
    std::vector<int> movers, accepted;
    for (int i = 0; i < 3; i++) movers.push_back(connectTo(l.port));
    {
      mover_set_t set;
      set.listenFd = l.fd;
      set.caller = "test";
      // First call: only the first piece of each mover, then nothing: the
      // call times out with the connections kept.
      for (int i = 0; i < 3; i++)
        sendPackets(movers[size_t(i)], kXfer, 0, src, {uint64_t(i) * kPiece}, kPiece);
      mover_cover_t cover;
      std::vector<char> dst(kSize, 0);
      EXPECT_EQ(mover_serve(&set, MOVER_RECEIVE, kXfer, 0, dst.data(), kSize, &cover, 300, -1, 5),
                -110);
      EXPECT_EQ(mover_cover_total(&cover), uint64_t(3 * kPiece));
      EXPECT_EQ(set.conns.size(), 3u);
      // One connection is the caller's; the two others kept their threads.
      EXPECT_EQ(settledThreadCount(before + 2), before + 2);
      // Second call: the rest arrives on the kept connections.
      for (int i = 0; i < 3; i++)
        sendPackets(movers[size_t(i)], kXfer, 0, src, {uint64_t(i + 3) * kPiece}, kPiece);
      EXPECT_EQ(mover_serve(&set, MOVER_RECEIVE, kXfer, 0, dst.data(), kSize, &cover, 5000, -1, 5),
                0);
      EXPECT_EQ(dst, src);
      EXPECT_EQ(threadCount(), before + 2);
      if (closeIt) {
        mover_set_close(&set);
        EXPECT_EQ(settledThreadCount(before), before);
        EXPECT_TRUE(peerClosed(movers[0]));
      } else {
        accepted = set.conns;  // the connections stay the caller's to close
      }
    }
    EXPECT_EQ(settledThreadCount(before), before);
    for (int fd : accepted) close(fd);
    for (int fd : movers) close(fd);
  }
}
