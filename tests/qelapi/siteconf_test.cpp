// QUOR.conf search and parse, network options (table, matching, applying to
// sockets, write sizes) and the client port range.
#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "quorcfgx_prototypes.h"
#include "scoped_env.h"
#include "temp_dir.h"

namespace {

const char* const CONF_VARS[] = {"QUOR_CFG_FILE_PATH", "QUOR_TCP_WRITESIZE", "QUOR_PORT_RANGE",
                                 "QUOR_VELTC_PORT_RANGE", "RPC_RESTRICTED_PORTS"};

struct Fd {
  int fd = -1;
  explicit Fd(int f = -1) : fd(f) {}
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd() {
    if (fd >= 0) close(fd);
  }
};

quor_sockaddr_t addrOf(const char* text, uint16_t port = 0) {
  quor_sockaddr_t a;
  memset(&a, 0, sizeof(a));
  auto* sin = reinterpret_cast<struct sockaddr_in*>(&a.hs_addr);
  auto* sin6 = reinterpret_cast<struct sockaddr_in6*>(&a.hs_addr);
  if (inet_pton(AF_INET, text, &sin->sin_addr) == 1) {
    sin->sin_family = AF_INET;
    sin->sin_port = htons(port);
    a.hs_addrlen = sizeof(*sin);
  } else if (inet_pton(AF_INET6, text, &sin6->sin6_addr) == 1) {
    sin6->sin6_family = AF_INET6;
    sin6->sin6_port = htons(port);
    a.hs_addrlen = sizeof(*sin6);
  } else {
    ADD_FAILURE() << "bad test address " << text;
  }
  return a;
}

int intOption(int fd, int level, int option) {
  int v = -1;
  socklen_t len = sizeof(v);
  if (getsockopt(fd, level, option, &v, &len) != 0) return -1;
  return v;
}

// What the kernel reports after a buffer size was set directly: the value
// the options table should lead to.
int reportedBufferSize(int option, int value) {
  Fd s(socket(AF_INET, SOCK_STREAM, 0));
  setsockopt(s.fd, SOL_SOCKET, option, &value, sizeof(value));
  return intOption(s.fd, SOL_SOCKET, option);
}

class SiteConf : public testing::Test {
 protected:
  void SetUp() override {
    for (const char* v : CONF_VARS) {
      saved_.unset(v);
    }
    dir_ = make_temp_dir("siteconf_test");
    ASSERT_FALSE(dir_.empty());
    setenv("QUOR_CFG_FILE_PATH", dir_.c_str(), 1);
    quorcfgx_ResetForTest();
  }
  void TearDown() override {
    quorcfgx_ResetForTest();
    for (auto it = created_.rbegin(); it != created_.rend(); ++it) {
      if (unlink(it->c_str()) != 0) rmdir(it->c_str());
    }
    rmdir(dir_.c_str());
    saved_.restore();
  }
  std::string subdir(const std::string& name) {
    const std::string p = dir_ + "/" + name;
    mkdir(p.c_str(), 0700);
    created_.push_back(p);
    return p;
  }
  std::string writeConf(const std::string& directory, const std::string& text) {
    const std::string p = directory + "/QUOR.conf";
    std::ofstream out(p, std::ios::trunc);
    out << text;
    created_.push_back(p);
    return p;
  }
  // A fresh process view of a QUOR.conf in the test directory.
  void useConf(const std::string& text) {
    writeConf(dir_, text);
    quorcfgx_ResetForTest();
  }
  netopt_entry_t* entryFor(const char* addr) {
    quor_sockaddr_t a = addrOf(addr);
    netopt_entry_t* e = reinterpret_cast<netopt_entry_t*>(0x1);
    const int rc = quorcfgx_NetoptFindEntry(&a, &e);
    EXPECT_EQ(rc == 0, e != nullptr) << addr;
    return e;
  }

  ScopedEnv saved_;
  std::vector<std::string> created_;
  std::string dir_;
};

// ---- search and parse ----

TEST_F(SiteConf, SearchTrimsBlanksAndTakesTheFirstHit) {
  const std::string a = subdir("a");
  const std::string b = subdir("b");
  const std::string inB = writeConf(b, "Key = b\n");
  setenv("QUOR_CFG_FILE_PATH", (" \t" + a + " : " + b + "  ").c_str(), 1);
  char path[QUOR_CFG_PATH_MAX + 1];
  memset(path, 'x', sizeof(path));
  quor_cfg_stanza_t* tree = quorcfgx_ConfParse(path);
  ASSERT_NE(tree, nullptr);
  EXPECT_STREQ(path, inB.c_str());
  EXPECT_STREQ(tree->KeyValue, "b");

  // The tree is kept: later calls return it and leave the buffer empty.
  const std::string inA = writeConf(a, "Key = a\n");
  memset(path, 'x', sizeof(path));
  EXPECT_EQ(quorcfgx_ConfParse(path), tree);
  EXPECT_STREQ(path, "");
  EXPECT_EQ(quorcfgx_ConfParse(nullptr), tree);

  quorcfgx_ResetForTest();
  tree = quorcfgx_ConfParse(path);
  ASSERT_NE(tree, nullptr);
  EXPECT_STREQ(path, inA.c_str());
  EXPECT_STREQ(tree->KeyValue, "a");
}

TEST_F(SiteConf, SearchSurvivesEmptyAndOverlongDirectories) {
  const std::string b = subdir("b");
  const std::string inB = writeConf(b, "Key = b\n");
  const std::string longDir = "/" + std::string(5000, 'd');
  for (const std::string& list :
       {"::" + b, " : " + b, longDir + ":" + b, std::string(dir_ + "/nothing-here::") + b}) {
    setenv("QUOR_CFG_FILE_PATH", list.c_str(), 1);
    quorcfgx_ResetForTest();
    std::vector<char> path(QUOR_CFG_PATH_MAX + 1 + 16, '#');
    ASSERT_NE(quorcfgx_ConfParse(path.data()), nullptr) << list.substr(0, 60);
    EXPECT_STREQ(path.data(), inB.c_str());
    for (size_t i = QUOR_CFG_PATH_MAX + 1; i < path.size(); i++) ASSERT_EQ(path[i], '#');
  }
}

TEST_F(SiteConf, WithoutAFileEveryCallSearchesAgain) {
  char path[QUOR_CFG_PATH_MAX + 1] = "stale";
  EXPECT_EQ(quorcfgx_ConfParse(path), nullptr);
  EXPECT_STREQ(path, "");
  const std::string p = writeConf(dir_, "Late = yes\n");
  quor_cfg_stanza_t* tree = quorcfgx_ConfParse(path);
  ASSERT_NE(tree, nullptr);
  EXPECT_STREQ(tree->KeyString, "Late");
  EXPECT_STREQ(path, p.c_str());
}

TEST_F(SiteConf, BrokenOrEmptyFilesWarnAtEveryCall) {
  struct {
    const char* text;
    std::string warning;
  } cases[] = {
      {"A = 1\nHosts {\n", "*** quorcfgx_ConfParse: Warning - Error parsing config file %s at line 2\n"},
      {"A = {\n B = 1\n", "*** quorcfgx_ConfParse: Warning - Error parsing config file %s at line 2\n"},
      {"; nothing\n# at all\n\n", "*** quorcfgx_ConfParse: Warning - empty config file: %s\n"},
      {"", "*** quorcfgx_ConfParse: Warning - empty config file: %s\n"},
  };
  for (const auto& c : cases) {
    const std::string p = writeConf(dir_, c.text);
    quorcfgx_ResetForTest();
    std::string expected = c.warning;
    expected.replace(expected.find("%s"), 2, p);
    char path[QUOR_CFG_PATH_MAX + 1];
    testing::internal::CaptureStderr();
    EXPECT_EQ(quorcfgx_ConfParse(path), nullptr);
    EXPECT_STREQ(path, p.c_str());
    EXPECT_EQ(quorcfgx_ConfParse(path), nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), expected + expected) << c.text;
  }
}

// ---- network options ----

const char* const NETOPT_CONF =
    "Network Options = {\n"
    "  Default Send Size = 64KB\n"
    "  Default Receive Size = 32KB\n"
    "  Some Flag\n"
    "  Other Setting = 12\n"
    "  Group A = {\n"
    "    10.0.0.0 = {\n"
    "      NetMask = 255.0.0.0\n"
    "      SendSpace = 1m\n"
    "      TcpNoDelay = 1\n"
    "    }\n"
    "    10.1.0.0 = {\n"
    "      NetMask = 255.255.0.0\n"
    "      SendSpace = 2m\n"
    "    }\n"
    "    host1 = 192.168.5.5\n"
    "  }\n"
    "  Default Write Size = 128KB\n"
    "  Group B = {\n"
    "    192.168.5.0 = {\n"
    "      NetMask = 255.255.255.0\n"
    "      WriteSize = 1MB\n"
    "      RFC1323 = 0\n"
    "      RecvSpace = bogus\n"
    "    }\n"
    "    192.168.6.1 = {\n"
    "      Nested = {\n"
    "        Ignored = 1\n"
    "      }\n"
    "    }\n"
    "    fd00::1 = {\n"
    "      RecvSpace = 16k\n"
    "    }\n"
    "    Default = {\n"
    "      SendSpace = 8k\n"
    "      NetMask = 255.255.255.255\n"
    "    }\n"
    "    Default = {\n"
    "      SendSpace = 9k\n"
    "    }\n"
    "  }\n"
    "}\n";

TEST_F(SiteConf, NetworkOptionEntriesAndMatching) {
  for (const char* writeEnv : {static_cast<const char*>(nullptr), "256k"}) {
    if (writeEnv != nullptr) setenv("QUOR_TCP_WRITESIZE", writeEnv, 1);
    useConf(NETOPT_CONF);
    const size_t envWrite = writeEnv != nullptr ? 262144 : 32768;
    struct {
      const char* addr;
      unsigned send, recv;
      size_t write;
      int nodelay, rfc1323, isDefault;
    } cases[] = {
        // file order decides, not the longest prefix
        {"10.1.2.3", 1048576, 32768, envWrite, 1, 1, 0},
        {"10.200.0.1", 1048576, 32768, envWrite, 1, 1, 0},
        {"192.168.5.5", 65536, 32768, envWrite, 0, 1, 0},
        {"192.168.5.6", 65536, 0, 1048576, 0, 0, 0},
        {"192.168.6.1", 65536, 32768, 131072, 0, 1, 0},
        {"fd00::1", 65536, 16384, 131072, 0, 1, 0},
        // no match: the first Default entry
        {"172.16.0.1", 8192, 32768, 131072, 0, 1, 1},
        {"192.168.6.2", 8192, 32768, 131072, 0, 1, 1},
        {"fd00::2", 8192, 32768, 131072, 0, 1, 1},
        // an IPv4 entry never applies to a mapped IPv6 address
        {"::ffff:10.1.2.3", 8192, 32768, 131072, 0, 1, 1},
    };
    for (const auto& c : cases) {
      netopt_entry_t* e = entryFor(c.addr);
      ASSERT_NE(e, nullptr) << c.addr;
      EXPECT_EQ(e->SendSpace, c.send) << c.addr;
      EXPECT_EQ(e->RecvSpace, c.recv) << c.addr;
      EXPECT_EQ(e->WriteSize, c.write) << c.addr;
      EXPECT_EQ(e->TcpNodelay, c.nodelay) << c.addr;
      EXPECT_EQ(e->RFC1323, c.rfc1323) << c.addr;
      EXPECT_EQ(e->IsDefault, c.isDefault) << c.addr;
    }
    // The same entry every time: the table is built once.
    EXPECT_EQ(entryFor("10.1.2.3"), entryFor("10.9.9.9"));
    netopt_entry_t* e = entryFor("192.168.5.5");
    quor_sockaddr_t full = addrOf("255.255.255.255");
    EXPECT_EQ(memcmp(&e->NetMask.hs_addr, &full.hs_addr, sizeof(struct sockaddr_in)), 0);
    EXPECT_EQ(e->NetMask.hs_addrlen, full.hs_addrlen);
  }
}

TEST_F(SiteConf, NullArgumentsFindNothing) {
  useConf(NETOPT_CONF);
  netopt_entry_t* e = reinterpret_cast<netopt_entry_t*>(0x1);
  EXPECT_EQ(quorcfgx_NetoptFindEntry(nullptr, &e), -1);
  EXPECT_EQ(e, nullptr);
  quor_sockaddr_t a = addrOf("10.1.2.3");
  EXPECT_EQ(quorcfgx_NetoptFindEntry(&a, nullptr), -1);
}

TEST_F(SiteConf, HostEntryWarningsSkipTheEntryNotTheTable) {
  testing::internal::CaptureStderr();
  useConf(
      "Network Options = {\n"
      "  G = {\n"
      "    10.0.0.1 = {\n"
      "      Colour = blue\n"
      "      NetMask = banana\n"
      "    }\n"
      "    10.0.1.0 = {\n"
      "      NetMask = ffff:ffff::\n"
      "    }\n"
      "    10.0.2.0 = {\n"
      "      RFC1323 = 0x\n"
      "      TcpNoDelay = 4294967297\n"
      "    }\n"
      "    10.0.3.0 = {\n"
      "      RFC1323 = -2\n"
      "      TcpNoDelay = 1\n"
      "    }\n"
      "  }\n"
      "}\n");
  // A refused mask leaves the host alone under a full mask.
  EXPECT_NE(entryFor("10.0.0.1"), nullptr);
  EXPECT_EQ(entryFor("10.0.0.2"), nullptr);
  EXPECT_NE(entryFor("10.0.1.0"), nullptr);
  EXPECT_EQ(entryFor("10.0.1.1"), nullptr);
  // A number that is not one, or does not fit, keeps the default instead
  // of becoming 0 or a wrapped 1.
  netopt_entry_t* e = entryFor("10.0.2.0");
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(e->RFC1323, 1);
  EXPECT_EQ(e->TcpNodelay, 0);
  e = entryFor("10.0.3.0");
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(e->RFC1323, -2);
  EXPECT_EQ(e->TcpNodelay, 1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "*** Warning: Unrecognized key=value: Colour=blue for IP address 10.0.0.1 in QUOR.conf\n"
            "*** Warning: Unrecognized key=value: NetMask=banana for IP address 10.0.0.1 in QUOR.conf\n"
            "*** Warning: Unrecognized key=value: NetMask=ffff:ffff:: for IP address 10.0.1.0 in "
            "QUOR.conf\n"
            "*** Warning: Unrecognized key=value: RFC1323=0x for IP address 10.0.2.0 in QUOR.conf\n"
            "*** Warning: Unrecognized key=value: TcpNoDelay=4294967297 for IP address 10.0.2.0 in "
            "QUOR.conf\n");
}

TEST_F(SiteConf, FailedBuildLeavesTheProcessWithoutOptions) {
  const std::string head =
      "Network Options = {\n"
      "  G = {\n"
      "    Default = {\n"
      "      SendSpace = 8k\n"
      "    }\n"
      "    10.0.0.1 = {\n"
      "      SendSpace = 8k\n"
      "    }\n";
  struct {
    std::string conf;
    std::string warning;
  } cases[] = {
      // No QUOR.conf at all: an ordinary site, nothing to warn about.
      {"", ""},
      {"Other = {\n a = 1\n}\nnetwork options = {\n G = {\n 10.0.0.1 = 1.2.3.4\n }\n}\n",
       "Warning: \"Network Options\" section not found in QUOR.conf file\n"},
      {"Network Options\n", "Warning: \"Network Options\" section is empty in QUOR.conf file\n"},
      {"Network Options = 5\n", "Warning: \"Network Options\" section is empty in QUOR.conf file\n"},
      {"Network Options = {\n}\n", "Warning: \"Network Options\" section is empty in QUOR.conf file\n"},
      {head + "    10.0.0.9\n  }\n}\n",
       "*** FLAG-type stanza [10.0.0.9] found where IP address was expected\n"},
      {head + "    gateway-net = {\n      SendSpace = 1k\n    }\n  }\n}\n",
       "*** Bad IP address in QUOR.conf file: [gateway-net] \n"},
      {head + "    10 = {\n    }\n  }\n}\n", "*** Bad IP address in QUOR.conf file: [10] \n"},
      {head + "    host = gateway.example.org\n  }\n}\n", ""},
  };
  for (const auto& c : cases) {
    if (c.conf.empty()) {
      unlink((dir_ + "/QUOR.conf").c_str());
      quorcfgx_ResetForTest();
    } else {
      useConf(c.conf);
    }
    testing::internal::CaptureStderr();
    quor_sockaddr_t a = addrOf("10.0.0.1");
    Fd s(socket(AF_INET, SOCK_STREAM, 0));
    EXPECT_EQ(entryFor("10.0.0.1"), nullptr) << c.conf;
    EXPECT_EQ(entryFor("172.16.0.1"), nullptr) << c.conf;
    EXPECT_EQ(quorcfgx_NetoptSetSock(s.fd, &a), -1);
    EXPECT_EQ(quorcfgx_NetoptGetWriteSize(s.fd, &a), 32768);
    // The warning comes once, at the first lookup.
    EXPECT_EQ(testing::internal::GetCapturedStderr(), c.warning) << c.conf;
  }
}

TEST_F(SiteConf, SectionWithoutHostsFindsNothingQuietly) {
  useConf(
      "Network Options = {\n"
      "  Default Send Size = 64KB\n"
      "  Empty Group = {\n"
      "  }\n"
      "}\n");
  testing::internal::CaptureStderr();
  EXPECT_EQ(entryFor("10.0.0.1"), nullptr);
  EXPECT_EQ(entryFor("10.0.0.1"), nullptr);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

TEST_F(SiteConf, WriteSizeFallsBackTo32768) {
  setenv("QUOR_TCP_WRITESIZE", "1m", 1);
  useConf(
      "Network Options = {\n"
      "  G = {\n"
      "    127.0.0.1 = {\n"
      "      WriteSize = 96k\n"
      "    }\n"
      "    10.0.0.1 = {\n"
      "      WriteSize = junk\n"
      "    }\n"
      "    10.0.0.2 = {\n"
      "      SendSpace = 1k\n"
      "    }\n"
      "  }\n"
      "}\n");
  struct {
    const char* addr;
    int size;
  } cases[] = {
      {"127.0.0.1", 98304},
      {"10.0.0.1", 32768},    // unparsable size
      {"10.0.0.2", 1048576},  // from the environment
      {"10.0.0.3", 32768},    // no entry, environment or not
  };
  for (const auto& c : cases) {
    quor_sockaddr_t a = addrOf(c.addr);
    EXPECT_EQ(quorcfgx_NetoptGetWriteSize(-1, &a), c.size) << c.addr;
  }

  // Without an address: the socket's own local address.
  Fd s(socket(AF_INET, SOCK_STREAM, 0));
  quor_sockaddr_t local = addrOf("127.0.0.1");
  ASSERT_EQ(bind(s.fd, reinterpret_cast<struct sockaddr*>(&local.hs_addr), local.hs_addrlen), 0);
  EXPECT_EQ(quorcfgx_NetoptGetWriteSize(s.fd, nullptr), 98304);
  Fd unbound(socket(AF_INET, SOCK_STREAM, 0));
  EXPECT_EQ(quorcfgx_NetoptGetWriteSize(unbound.fd, nullptr), 32768);  // 0.0.0.0
  EXPECT_EQ(quorcfgx_NetoptGetWriteSize(-1, nullptr), -EBADF);
}

const char* const SOCKET_CONF =
    "Network Options = {\n"
    "  Local = {\n"
    "    127.0.0.1 = {\n"
    "      SendSpace = 64k\n"
    "      RecvSpace = 96k\n"
    "      TcpNoDelay = 1\n"
    "    }\n"
    "    10.0.0.1 = {\n"
    "      RFC1323 = 1\n"
    "    }\n"
    "  }\n"
    "}\n";

TEST_F(SiteConf, OptionsAreAppliedToTheSocket) {
  useConf(SOCKET_CONF);
  // A connected loopback pair: the client's peer is 127.0.0.1.
  Fd listener(socket(AF_INET, SOCK_STREAM, 0));
  quor_sockaddr_t any = addrOf("127.0.0.1");
  ASSERT_EQ(bind(listener.fd, reinterpret_cast<struct sockaddr*>(&any.hs_addr), any.hs_addrlen), 0);
  ASSERT_EQ(listen(listener.fd, 1), 0);
  socklen_t len = any.hs_addrlen;
  ASSERT_EQ(getsockname(listener.fd, reinterpret_cast<struct sockaddr*>(&any.hs_addr), &len), 0);
  Fd client(socket(AF_INET, SOCK_STREAM, 0));
  ASSERT_EQ(connect(client.fd, reinterpret_cast<struct sockaddr*>(&any.hs_addr), len), 0);
  Fd server(accept(listener.fd, nullptr, nullptr));

  Fd fresh(socket(AF_INET, SOCK_STREAM, 0));
  ASSERT_NE(reportedBufferSize(SO_SNDBUF, 65536), intOption(fresh.fd, SOL_SOCKET, SO_SNDBUF));
  ASSERT_EQ(intOption(client.fd, IPPROTO_TCP, TCP_NODELAY), 0);

  EXPECT_EQ(quorcfgx_NetoptSetSock(client.fd, nullptr), 0);
  EXPECT_EQ(intOption(client.fd, SOL_SOCKET, SO_SNDBUF), reportedBufferSize(SO_SNDBUF, 65536));
  EXPECT_EQ(intOption(client.fd, SOL_SOCKET, SO_RCVBUF), reportedBufferSize(SO_RCVBUF, 98304));
  EXPECT_NE(intOption(client.fd, IPPROTO_TCP, TCP_NODELAY), 0);

  // An entry without sizes sets both to 0, as they stand.
  Fd other(socket(AF_INET, SOCK_STREAM, 0));
  quor_sockaddr_t ten = addrOf("10.0.0.1");
  EXPECT_EQ(quorcfgx_NetoptSetSock(other.fd, &ten), 0);
  EXPECT_EQ(intOption(other.fd, SOL_SOCKET, SO_SNDBUF), reportedBufferSize(SO_SNDBUF, 0));
  EXPECT_EQ(intOption(other.fd, SOL_SOCKET, SO_RCVBUF), reportedBufferSize(SO_RCVBUF, 0));
  EXPECT_NE(intOption(other.fd, SOL_SOCKET, SO_SNDBUF), intOption(fresh.fd, SOL_SOCKET, SO_SNDBUF));
}

TEST_F(SiteConf, ApplyingFailsWithoutPeerOrEntry) {
  useConf(SOCKET_CONF);
  Fd unconnected(socket(AF_INET, SOCK_STREAM, 0));
  const int before = intOption(unconnected.fd, SOL_SOCKET, SO_SNDBUF);
  EXPECT_EQ(quorcfgx_NetoptSetSock(unconnected.fd, nullptr), -1);  // no peer
  quor_sockaddr_t nobody = addrOf("192.0.2.77");
  EXPECT_EQ(quorcfgx_NetoptSetSock(unconnected.fd, &nobody), -1);  // no entry, no default
  EXPECT_EQ(intOption(unconnected.fd, SOL_SOCKET, SO_SNDBUF), before);

  quor_sockaddr_t local = addrOf("127.0.0.1");
  EXPECT_EQ(quorcfgx_NetoptSetSock(-1, &local), 0);  // an entry, no socket: nothing to do
  EXPECT_EQ(quorcfgx_NetoptSetSock(-1, &nobody), -1);
  EXPECT_EQ(quorcfgx_NetoptSetSock(-1, nullptr), -1);
}

TEST_F(SiteConf, FailedOptionIsReportedAndStopsTheRest) {
  useConf(SOCKET_CONF);
  quor_sockaddr_t local = addrOf("127.0.0.1");
  int pipeFds[2];
  ASSERT_EQ(pipe(pipeFds), 0);
  Fd r(pipeFds[0]);
  Fd w(pipeFds[1]);
  testing::internal::CaptureStderr();
  EXPECT_EQ(quorcfgx_NetoptSetSock(r.fd, &local), -1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "Cannot setsockopt(SOL_SOCKET,SO_SNDBUF) socket, errno " + std::to_string(ENOTSOCK) +
                "\n");

  // A datagram socket takes the buffer sizes but not TCP_NODELAY.
  Fd udp(socket(AF_INET, SOCK_DGRAM, 0));
  testing::internal::CaptureStderr();
  EXPECT_EQ(quorcfgx_NetoptSetSock(udp.fd, &local), -1);
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(err.rfind("Cannot setsockopt(IPPROTO_TCP,TCP_NODELAY) socket, errno ", 0), 0u) << err;
  EXPECT_EQ(intOption(udp.fd, SOL_SOCKET, SO_RCVBUF), reportedBufferSize(SO_RCVBUF, 98304));
}

TEST_F(SiteConf, ConcurrentFirstLookupsShareOneTable) {
  useConf(NETOPT_CONF);
  constexpr int THREADS = 8;
  std::vector<netopt_entry_t*> seen(THREADS * 2, nullptr);
  std::vector<std::thread> threads;
  for (int t = 0; t < THREADS; t++) {
    threads.emplace_back([&seen, t] {
      quor_sockaddr_t a = addrOf("10.1.2.3");
      quor_sockaddr_t b = addrOf("172.16.0.1");
      quorcfgx_NetoptFindEntry(&a, &seen[2 * t]);
      quorcfgx_NetoptFindEntry(&b, &seen[2 * t + 1]);
    });
  }
  for (auto& th : threads) th.join();
  ASSERT_NE(seen[0], nullptr);
  ASSERT_NE(seen[1], nullptr);
  EXPECT_EQ(seen[0]->SendSpace, 1048576u);
  EXPECT_EQ(seen[1]->IsDefault, 1);
  for (int t = 1; t < THREADS; t++) {
    EXPECT_EQ(seen[2 * t], seen[0]);
    EXPECT_EQ(seen[2 * t + 1], seen[1]);
  }
}

// ---- port range ----

TEST_F(SiteConf, PortRangeFromTheEnvironment) {
  struct {
    const char* portRange;
    const char* veltc;
    const char* rpc;
    in_port_t low, high;
  } cases[] = {
      {nullptr, nullptr, nullptr, 1024, 65535},
      {"5000-5100", nullptr, nullptr, 5000, 5100},
      {" 5000 - 5100 ", nullptr, nullptr, 5000, 5100},
      {"5000 -5100 trailing", nullptr, nullptr, 5000, 5100},
      {"5000", nullptr, nullptr, 1024, 65535},
      {"5000-", nullptr, nullptr, 1024, 65535},
      {"5100-5000", nullptr, nullptr, 1024, 65535},
      {"5000-5000", nullptr, nullptr, 5000, 5000},
      {"100-2000", nullptr, nullptr, 1024, 2000},
      {"-5 - 2000", nullptr, nullptr, 1024, 2000},
      {"60000-70000", nullptr, nullptr, 60000, 65535},
      {"1000-99999999999999", nullptr, nullptr, 1024, 65535},
      // clamping leaves no port: the whole range is refused
      {"70000-80000", nullptr, nullptr, 1024, 65535},
      {"600-700", nullptr, nullptr, 1024, 65535},
      {nullptr, nullptr, "ncacn_ip_tcp[600-700]", 1024, 65535},
      {nullptr, nullptr, "ncacn_ip_tcp[6000-7000]", 6000, 7000},
      {nullptr, nullptr, "x ncacn_ip_tcp , y [6000 - 7000]", 6000, 7000},
      {nullptr, nullptr, "[2000-3000] ncacn_ip_tcp[6000-7000]", 6000, 7000},
      {nullptr, nullptr, "ncacn_ip_tcp 6000-7000", 1024, 65535},
      {nullptr, nullptr, "6000-7000", 6000, 7000},
      // the first variable that is set decides, parsable or not
      {nullptr, "7000-8000", "6000-6500", 7000, 8000},
      {"junk", "7000-8000", "6000-6500", 1024, 65535},
      {"", "7000-8000", nullptr, 1024, 65535},
      {"2000-3000", "7000-8000", "6000-6500", 2000, 3000},
  };
  for (const auto& c : cases) {
    const char* values[] = {c.portRange, c.veltc, c.rpc};
    const char* names[] = {"QUOR_PORT_RANGE", "QUOR_VELTC_PORT_RANGE", "RPC_RESTRICTED_PORTS"};
    for (int i = 0; i < 3; i++) {
      if (values[i] != nullptr)
        setenv(names[i], values[i], 1);
      else
        unsetenv(names[i]);
    }
    quorcfgx_ResetForTest();
    in_port_t low = 1;
    in_port_t high = 1;
    testing::internal::CaptureStderr();
    quorcfgx_GetRestrictedPorts(&low, &high);
    testing::internal::GetCapturedStderr();
    const std::string label = std::string(c.portRange ? c.portRange : "-") + " | " +
                              (c.veltc ? c.veltc : "-") + " | " + (c.rpc ? c.rpc : "-");
    EXPECT_EQ(low, c.low) << label;
    EXPECT_EQ(high, c.high) << label;
  }
}

// A range that clamping leaves empty falls back to the whole range, and
// says so, once; other unusable values keep their quiet fallback.
TEST_F(SiteConf, PortRangeThatClampsToNothingWarnsOnce) {
  struct {
    const char* name;
    const char* value;
    bool warns;
  } cases[] = {
      {"QUOR_PORT_RANGE", "70000-80000", true},
      {"QUOR_PORT_RANGE", "600-700", true},
      {"RPC_RESTRICTED_PORTS", "ncacn_ip_tcp[600-700]", true},
      {"QUOR_PORT_RANGE", "5100-5000", false},
      {"QUOR_PORT_RANGE", "5000-5100", false},
  };
  for (const auto& c : cases) {
    unsetenv("QUOR_PORT_RANGE");
    unsetenv("QUOR_VELTC_PORT_RANGE");
    unsetenv("RPC_RESTRICTED_PORTS");
    setenv(c.name, c.value, 1);
    quorcfgx_ResetForTest();
    testing::internal::CaptureStderr();
    in_port_t low = 0, high = 0;
    for (int i = 0; i < 3; i++) quorcfgx_GetRestrictedPorts(&low, &high);
    std::string err = testing::internal::GetCapturedStderr();
    std::string want = std::string("*** quorcfgx_GetRestrictedPorts: Warning - client port range '") +
                       c.value + "' holds no port from 1024 to 65535; using the whole range\n";
    EXPECT_EQ(err, c.warns ? want : "") << c.value;
    if (c.warns) {
      EXPECT_TRUE(low == 1024 && high == 65535) << c.value;
    }
  }
  unsetenv("QUOR_PORT_RANGE");
  unsetenv("RPC_RESTRICTED_PORTS");
}

TEST_F(SiteConf, PortRangeIsFixedAtTheFirstCall) {
  setenv("QUOR_PORT_RANGE", "5000-5100", 1);
  in_port_t low = 0;
  in_port_t high = 0;
  quorcfgx_GetRestrictedPorts(&low, nullptr);
  EXPECT_EQ(low, 5000);
  setenv("QUOR_PORT_RANGE", "6000-6100", 1);
  quorcfgx_GetRestrictedPorts(nullptr, &high);
  quorcfgx_GetRestrictedPorts(&low, nullptr);
  EXPECT_EQ(low, 5000);
  EXPECT_EQ(high, 5100);
  quorcfgx_GetRestrictedPorts(nullptr, nullptr);
}

}  // namespace
