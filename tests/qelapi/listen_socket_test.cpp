// Data listen sockets: which local address they bind, the client port
// range, their options, and that a failure leaves nothing open.
#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "quor_api_internal.h"
#include "quorcfgx_prototypes.h"
#include "quorclntaddr.h"
#include "scoped_env.h"

namespace {

quor_sockaddr_t inet4(const char* text, int port = 0) {
  quor_sockaddr_t a;
  memset(&a, 0, sizeof a);
  auto* sin = reinterpret_cast<struct sockaddr_in*>(&a.hs_addr);
  sin->sin_family = AF_INET;
  sin->sin_port = htons(uint16_t(port));
  inet_pton(AF_INET, text, &sin->sin_addr);
  a.hs_addrlen = sizeof *sin;
  return a;
}

std::string addrText(const quor_sockaddr_t& a) {
  char buf[64] = "";
  if (a.hs_addr.ss_family == AF_INET)
    inet_ntop(AF_INET, &reinterpret_cast<const struct sockaddr_in*>(&a.hs_addr)->sin_addr, buf,
              sizeof buf);
  return buf;
}

int openDescriptors() {
  int n = 0;
  DIR* d = opendir("/proc/self/fd");
  while (readdir(d)) n++;
  closedir(d);
  return n;
}

int intOption(int fd, int level, int option) {
  int v = -1;
  socklen_t len = sizeof v;
  getsockopt(fd, level, option, &v, &len);
  return v;
}

class ListenSocket : public ::testing::Test {
 protected:
  void SetUp() override {
    savedData_ = qelapi_tcp_data_host;
    savedCtl_ = qelapi_tcp_ctl_host;
    savedCur_ = qelapi_cur_connection.load();
    unsetenv("QUOR_PORT_RANGE");
    unsetenv("QUOR_VELTC_PORT_RANGE");
    unsetenv("RPC_RESTRICTED_PORTS");
    setenv("QUOR_NET_FAMILY", "ipv4_only", 1);
    setenv("QUOR_CFG_FILE_PATH", "/nonexistent-dir", 1);
    quorcfgx_ResetForTest();
    qelapi_tcp_data_host = inet4("127.0.0.1");
  }
  void TearDown() override {
    for (int fd : fds_) close(fd);
    qelapi_tcp_data_host = savedData_;
    qelapi_tcp_ctl_host = savedCtl_;
    qelapi_cur_connection.store(savedCur_);
    unsetenv("QUOR_PORT_RANGE");
    quorcfgx_ResetForTest();
  }
  // A socket from ozugw_SockGetListenSocket, closed at the end of the test.
  int take(int useAny, quor_sockaddr_t* addr, int reuse = 1) {
    int fd = -1;
    int rc = ozugw_SockGetListenSocket(useAny, reuse, &fd, addr);
    if (rc == 0) fds_.push_back(fd);
    return rc == 0 ? fd : rc;
  }

  ScopedEnv env_{"QUOR_NET_FAMILY", "QUOR_CFG_FILE_PATH"};
  std::vector<int> fds_;
  quor_sockaddr_t savedData_, savedCtl_;
  quor_connection_t* savedCur_ = nullptr;
};

TEST_F(ListenSocket, WithoutInterfacesItBindsTheDataHostNonBlockingAndNotListening) {
  quor_sockaddr_t a;
  int fd = take(0, &a);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(addrText(a), "127.0.0.1");
  int port = ozugw_SockGetPort(&a);
  EXPECT_GE(port, 1024);  // the default client range is 1024-65535
  // The returned address is the one actually bound.
  struct sockaddr_in sin;
  socklen_t len = sizeof sin;
  ASSERT_EQ(getsockname(fd, reinterpret_cast<struct sockaddr*>(&sin), &len), 0);
  EXPECT_EQ(ntohs(sin.sin_port), port);
  EXPECT_TRUE(fcntl(fd, F_GETFL) & O_NONBLOCK);
  EXPECT_EQ(intOption(fd, SOL_SOCKET, SO_KEEPALIVE), 1);
  EXPECT_EQ(intOption(fd, SOL_SOCKET, SO_REUSEADDR), 1);
  EXPECT_EQ(intOption(fd, SOL_SOCKET, SO_ACCEPTCONN), 0);
  int fd2 = take(0, &a, 0);
  ASSERT_GE(fd2, 0);
  EXPECT_EQ(intOption(fd2, SOL_SOCKET, SO_REUSEADDR), 0);
}

TEST_F(ListenSocket, ThreeInterfacesAreUsedInTurnByEveryThread) {
  quor_sockaddr_t nics[3] = {inet4("127.0.0.1"), inet4("127.0.0.2"), inet4("127.0.0.3")};
  auto* conn = new quor_connection_t();
  conn->nic_count = 3;
  conn->nic_list = nics;
  conn->refs = 1;
  qelapi_cur_connection.store(conn);
  std::vector<std::string> seen;
  for (int i = 0; i < 4; i++) {
    quor_sockaddr_t a;
    ASSERT_GE(take(0, &a), 0);
    seen.push_back(addrText(a));
  }
  EXPECT_EQ(seen, (std::vector<std::string>{"127.0.0.1", "127.0.0.2", "127.0.0.3", "127.0.0.1"}));
  // The wildcard request neither uses nor advances the rotation.
  quor_sockaddr_t a;
  ASSERT_GE(take(1, &a), 0);
  EXPECT_EQ(addrText(a), "0.0.0.0");
  ASSERT_GE(take(0, &a), 0);
  EXPECT_EQ(addrText(a), "127.0.0.2");
  EXPECT_EQ(conn->nic_rr_inx, 2);
  qelapi_cur_connection.store(savedCur_);
  delete conn;
}

TEST_F(ListenSocket, WithoutADataHostTheWildcardAddressServes) {
  memset(&qelapi_tcp_data_host, 0, sizeof qelapi_tcp_data_host);
  quor_sockaddr_t a;
  ASSERT_GE(take(0, &a), 0);
  EXPECT_EQ(addrText(a), "0.0.0.0");
  EXPECT_GE(ozugw_SockGetPort(&a), 1024);
}

TEST_F(ListenSocket, TheBoundPortLiesInTheClientRange) {
  int base = 40000 + int(getpid() % 2000) * 8;
  std::string range = std::to_string(base) + "-" + std::to_string(base + 7);
  setenv("QUOR_PORT_RANGE", range.c_str(), 1);
  quorcfgx_ResetForTest();
  for (int i = 0; i < 3; i++) {
    quor_sockaddr_t a;
    int fd = take(0, &a);
    if (fd < 0) GTEST_SKIP() << "ports of the range are taken on this machine";
    int port = ozugw_SockGetPort(&a);
    EXPECT_GE(port, base);
    EXPECT_LE(port, base + 7);
  }
}

TEST_F(ListenSocket, ABusyRangeFailsWithNothingLeftOpen) {
  // Hold the whole range: every bind finds its port in use.
  int base = 42000 + int(getpid() % 2000) * 4;
  std::vector<int> held;
  for (int p = base; p < base + 4; p++) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    quor_sockaddr_t a = inet4("127.0.0.1", p);
    if (bind(fd, reinterpret_cast<struct sockaddr*>(&a.hs_addr), a.hs_addrlen) != 0) {
      close(fd);
      for (int h : held) close(h);
      GTEST_SKIP() << "port " << p << " is taken on this machine";
    }
    held.push_back(fd);
  }
  std::string range = std::to_string(base) + "-" + std::to_string(base + 3);
  setenv("QUOR_PORT_RANGE", range.c_str(), 1);
  quorcfgx_ResetForTest();
  int before = openDescriptors();
  int fd = 12345;
  quor_sockaddr_t a = inet4("10.9.9.9");
  testing::internal::CaptureStderr();
  int rc = ozugw_SockGetListenSocket(0, 1, &fd, &a);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(rc, -1);
  EXPECT_EQ(fd, 12345);  // outputs untouched
  EXPECT_EQ(addrText(a), "10.9.9.9");
  EXPECT_EQ(openDescriptors(), before);
  EXPECT_NE(err.find("*** ozugw_SockGetListenSocket: error -1 trying to bind to socket"),
            std::string::npos)
      << err;
  for (int h : held) close(h);
}

TEST_F(ListenSocket, AnInvalidFamilyPolicyFailsBeforeAnySocketStays) {
  setenv("QUOR_NET_FAMILY", "IPv4", 1);
  int before = openDescriptors();
  int fd = -7;
  quor_sockaddr_t a;
  testing::internal::CaptureStderr();
  EXPECT_EQ(ozugw_SockGetListenSocket(0, 1, &fd, &a), -1);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(fd, -7);
  EXPECT_EQ(openDescriptors(), before);
  EXPECT_NE(err.find("quor_net_socket returned error"), std::string::npos) << err;
}

TEST(ListenSocketPorts, PortsOfBothFamiliesAndNoOther) {
  quor_sockaddr_t v4 = inet4("10.1.2.3", 920);
  EXPECT_EQ(ozugw_SockGetPort(&v4), 920);
  EXPECT_EQ(ozugw_SockSetPort(&v4, 65535), 0);
  EXPECT_EQ(ozugw_SockGetPort(&v4), 65535);

  quor_sockaddr_t v6;
  memset(&v6, 0, sizeof v6);
  auto* sin6 = reinterpret_cast<struct sockaddr_in6*>(&v6.hs_addr);
  sin6->sin6_family = AF_INET6;
  v6.hs_addrlen = sizeof *sin6;
  EXPECT_EQ(ozugw_SockSetPort(&v6, 5001), 0);
  EXPECT_EQ(ntohs(sin6->sin6_port), 5001);
  EXPECT_EQ(ozugw_SockGetPort(&v6), 5001);

  quor_sockaddr_t un;
  memset(&un, 0, sizeof un);
  un.hs_addr.ss_family = AF_UNIX;
  quor_sockaddr_t before = un;
  EXPECT_EQ(ozugw_SockGetPort(&un), 0xFFFF);
  EXPECT_EQ(ozugw_SockSetPort(&un, 80), -1);
  EXPECT_EQ(memcmp(&un, &before, sizeof un), 0);
  EXPECT_EQ(ozugw_SockGetPort(nullptr), 0xFFFF);
  EXPECT_EQ(ozugw_SockSetPort(nullptr, 1), -1);
}

TEST(ListenSocketPorts, ControlAddrNamesTheDataOrTheControlHost) {
  EXPECT_EQ(ozugw_SockGetControlAddr(1), &qelapi_tcp_data_host);
  EXPECT_EQ(ozugw_SockGetControlAddr(7), &qelapi_tcp_data_host);
  EXPECT_EQ(ozugw_SockGetControlAddr(0), &qelapi_tcp_ctl_host);
}

}  // namespace
