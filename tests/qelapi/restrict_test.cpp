// Restricted peers of data connections (the "Restricted Addresses" section
// of QUOR.conf) and binding data sockets inside the client port range.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

#include "quorcfgx_prototypes.h"
#include "quorcfgx_restrict.h"
#include "scoped_env.h"
#include "temp_dir.h"

namespace {

struct sockaddr_storage peer4(const char* text) {
  struct sockaddr_storage ss;
  memset(&ss, 0, sizeof ss);
  auto* sin = reinterpret_cast<struct sockaddr_in*>(&ss);
  sin->sin_family = AF_INET;
  EXPECT_EQ(inet_pton(AF_INET, text, &sin->sin_addr), 1) << text;
  return ss;
}

struct sockaddr_storage peer6(const char* text) {
  struct sockaddr_storage ss;
  memset(&ss, 0, sizeof ss);
  auto* sin6 = reinterpret_cast<struct sockaddr_in6*>(&ss);
  sin6->sin6_family = AF_INET6;
  EXPECT_EQ(inet_pton(AF_INET6, text, &sin6->sin6_addr), 1) << text;
  return ss;
}

bool allowed(const char* peer) {
  struct sockaddr_storage ss = strchr(peer, ':') ? peer6(peer) : peer4(peer);
  return quorex_IsConnectionAllowed(&ss, 0, "restrict_test") == 1;
}

class RestrictedAddresses : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = make_temp_dir("restrict_test");
    ASSERT_FALSE(dir_.empty());
  }
  void TearDown() override {
    unlink((dir_ + "/QUOR.conf").c_str());
    rmdir(dir_.c_str());
    quorcfgx_ResetForTest();
    quorex_RestrictResetForTest(nullptr);
  }
  // A QUOR.conf of text, read afresh at the next check, on host `host`.
  void load(const std::string& text, const char* host = "testhost") {
    std::ofstream(dir_ + "/QUOR.conf") << text;
    setenv("QUOR_CFG_FILE_PATH", dir_.c_str(), 1);
    quorcfgx_ResetForTest();
    quorex_RestrictResetForTest(host);
  }
  // The warnings the first check prints.
  std::string firstCheckWarnings() {
    testing::internal::CaptureStderr();
    int count = -1;
    quorex_GetRestrictedConnList(&count, nullptr);
    return testing::internal::GetCapturedStderr();
  }

  ScopedEnv cfgPath_{"QUOR_CFG_FILE_PATH"};
  std::string dir_;
};

std::string section(const std::string& hosts) {
  return "Restricted Addresses = {\n" + hosts + "}\n";
}

}  // namespace

TEST_F(RestrictedAddresses, PeersAreComparedUnderTheEntriesMasks) {
  struct Case {
    const char* entries;
    const char* peer;
    bool allowed;
  };
  static const Case cases[] = {
      {"10.1.0.0/16\n2001:db8::/32\n", "10.1.200.7", true},
      {"10.1.0.0/16\n2001:db8::/32\n", "10.2.0.1", false},
      {"10.1.0.0/16\n2001:db8::/32\n", "2001:db8:1::5", true},
      {"10.1.0.0/16\n2001:db8::/32\n", "2001:db9::1", false},
      // Exactly 60 bits: the top half of the eighth byte counts.
      {"fd00::/60\n", "fd00:0:0:f::1", true},
      {"fd00::/60\n", "fd00:0:0:10::1", false},
      // No prefix, or one out of range: the one host.
      {"192.168.1.7\n", "192.168.1.7", true},
      {"192.168.1.7\n", "192.168.1.8", false},
      {"192.168.1.7/0\n", "192.168.1.8", false},
      {"192.168.1.7/99\n", "192.168.1.8", false},
      {"192.168.1.7/99\n", "192.168.1.7", true},
      {"192.168.1.7/-3\n", "192.168.1.8", false},
      // A prefix beyond any int is still above the maximum: it must not
      // wrap (4294967304 is 8 in 32 bits) and open the entry to a /8.
      {"192.168.1.7/4294967304\n", "192.168.200.1", false},
      {"192.168.1.7/4294967304\n", "192.168.1.7", true},
      {"fd00::1/18446744073709551617\n", "fd00::2", false},
      {"10.0.0.0/8\n", "::1", false},
      {"::1\n", "10.0.0.1", false},
      // The address is kept as written; only the comparison masks it.
      {"10.1.2.3/8\n", "10.200.0.1", true},
  };
  for (const Case& c : cases) {
    load(section(std::string("Default = {\n") + c.entries + "}\n"));
    EXPECT_EQ(allowed(c.peer), c.allowed) << c.entries << " peer " << c.peer;
  }
}

TEST_F(RestrictedAddresses, MappedIPv4PeersMeetTheIPv4Entries) {
  load(section("Default = {\n10.1.0.0/16\nfd00::/8\n}\n"));
  EXPECT_TRUE(allowed("::ffff:10.1.2.3"));
  EXPECT_FALSE(allowed("::ffff:10.2.0.1"));
  EXPECT_TRUE(allowed("fd12::1"));
  EXPECT_FALSE(allowed("::1"));
  // An IPv6 entry written in mapped form still serves mapped peers.
  load(section("Default = {\n::ffff:192.0.2.0/120\n}\n"));
  EXPECT_TRUE(allowed("::ffff:192.0.2.9"));
  EXPECT_FALSE(allowed("::ffff:192.0.3.9"));
}

TEST_F(RestrictedAddresses, TheLocalHostsStanzaWinsOverDefault) {
  const std::string text =
      section("otherhost = {\n10.0.0.0/8\n}\nweb* db1 = {\n172.16.0.0/12\n}\n"
              "Default = {\n192.168.0.0/16\n}\n");
  load(text, "testhost");
  EXPECT_TRUE(allowed("192.168.3.3"));
  EXPECT_FALSE(allowed("10.1.1.1"));
  load(text, "otherhost");
  EXPECT_TRUE(allowed("10.1.1.1"));
  EXPECT_FALSE(allowed("192.168.3.3"));
  load(text, "web7");
  EXPECT_TRUE(allowed("172.20.0.1"));
  EXPECT_FALSE(allowed("10.1.1.1"));
  load(section("otherhost = {\n10.0.0.0/8\n}\n"), "testhost");
  EXPECT_TRUE(allowed("203.0.113.5"));
}

TEST_F(RestrictedAddresses, UnusableSectionsRestrictNothingAndSayWhy) {
  struct Case {
    std::string text;
    const char* warning;  // null: nothing printed
  };
  const Case cases[] = {
      {"Other = {\nx\n}\n", nullptr},
      {"Restricted Addresses = 10\n",
       "(parseRestrictedAddresses) WARNING: QUOR.conf error. \"Restricted Addresses\" section is "
       "not a compound-type stanza\n"},
      {"Restricted Addresses = {\n}\n",
       "(parseRestrictedAddresses) WARNING: QUOR.conf error. \"Restricted Addresses\" section is "
       "empty\n"},
      {section("Default = 10.0.0.0/8\n"),
       "(parseRestrictedAddresses) WARNING: QUOR.conf error, line 2. host \"Default\", section is "
       "not a compound-type stanza\n"},
      {section("Default = {\n}\n"),
       "(parseRestrictedAddresses) WARNING: QUOR.conf - empty  <address> subsection for host "
       "\"Default\"\n"},
  };
  for (const Case& c : cases) {
    load(c.text);
    std::string err = firstCheckWarnings();
    if (c.warning)
      EXPECT_EQ(err, c.warning) << c.text;
    else
      EXPECT_EQ(err, "") << c.text;
    EXPECT_TRUE(allowed("198.51.100.1")) << c.text;
  }
}

TEST_F(RestrictedAddresses, MalformedEntriesAreSkippedOneByOne) {
  load(section("Default = {\n999.1.1.1\n2001:zz::1/64\nnet = 10.0.0.0\n10.0.0.0/8\n"
               "11.0.0.0/8x\n12.0.0.0/-\n}\n"));
  std::string err = firstCheckWarnings();
  EXPECT_EQ(err,
            "(parseRestrictedAddresses) WARNING: QUOR.conf error, line 3. '999.1.1.1', is a "
            "malformed IPV4 address (ignored)\n"
            "(parseRestrictedAddresses) WARNING: QUOR.conf error, line 4. '2001:zz::1/64', is a "
            "malformed IPV6 address (ignored)\n"
            "(parseRestrictedAddresses) WARNING: QUOR.conf error, line 5. 'net', is a "
            "malformed(non-flag-type) IPV4 or IPV6 address (ignored)\n"
            "(parseRestrictedAddresses) WARNING: QUOR.conf error, line 7. '11.0.0.0/8x', is a "
            "malformed IPV4 address (ignored)\n"
            "(parseRestrictedAddresses) WARNING: QUOR.conf error, line 8. '12.0.0.0/-', is a "
            "malformed IPV4 address (ignored)\n");
  EXPECT_TRUE(allowed("10.9.9.9"));
  EXPECT_FALSE(allowed("11.0.0.1"));
}

TEST_F(RestrictedAddresses, TheTableHoldsMasksAfterTheDefaults) {
  load(section("Default = {\n10.1.0.0/16\n192.168.1.7\n192.168.1.8/99\nfd00::/60\n::1/200\n}\n"));
  int count = 0;
  quor_restricted_addr_t* list = nullptr;
  EXPECT_EQ(quorex_GetRestrictedConnList(&count, &list), 0);
  ASSERT_EQ(count, 5);
  ASSERT_NE(list, nullptr);
  EXPECT_EQ(list[0].addrType, AF_INET);
  EXPECT_EQ(list[0].ra_prefix_len, 16);
  EXPECT_EQ(list[0].ra_ipv4_netmask, htonl(0xffff0000u));
  EXPECT_EQ(list[0].ra_addr.ipv4addr.s_addr, htonl(0x0a010000u));
  EXPECT_EQ(list[1].ra_prefix_len, 32);
  EXPECT_EQ(list[1].ra_ipv4_netmask, 0xffffffffu);
  EXPECT_EQ(list[2].ra_prefix_len, 32);
  EXPECT_EQ(list[3].addrType, AF_INET6);
  EXPECT_EQ(list[3].ra_prefix_len, 60);
  const unsigned char mask60[16] = {0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xf0,
                                    0,    0,    0,    0,    0,    0,    0,    0};
  EXPECT_EQ(memcmp(list[3].ra_ipv6_netmask, mask60, 16), 0);
  EXPECT_EQ(list[4].ra_prefix_len, 128);

  load("Other = {\nx\n}\n");
  quor_restricted_addr_t stale;
  count = -1;
  list = &stale;
  EXPECT_EQ(quorex_GetRestrictedConnList(&count, &list), 0);
  EXPECT_EQ(count, 0);
  EXPECT_EQ(list, nullptr);
}

TEST_F(RestrictedAddresses, TheSectionIsReadOnceForTheProcess) {
  load(section("Default = {\n10.0.0.0/8\n}\n"));
  EXPECT_FALSE(allowed("192.168.0.1"));
  std::ofstream(dir_ + "/QUOR.conf") << section("Default = {\n192.168.0.0/16\n}\n");
  quorcfgx_ResetForTest();
  EXPECT_FALSE(allowed("192.168.0.1"));
  EXPECT_TRUE(allowed("10.0.0.1"));
}

// ---- the client port range ----

namespace {

// A socket bound to 127.0.0.1:port; -1 when the port is taken.
int holdPort(int port) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  struct sockaddr_in sin;
  memset(&sin, 0, sizeof sin);
  sin.sin_family = AF_INET;
  sin.sin_port = htons(uint16_t(port));
  inet_pton(AF_INET, "127.0.0.1", &sin.sin_addr);
  if (bind(fd, reinterpret_cast<struct sockaddr*>(&sin), sizeof sin) < 0) {
    close(fd);
    return -1;
  }
  return fd;
}

quor_sockaddr_t loopbackAnyPort() {
  quor_sockaddr_t a;
  memset(&a, 0, sizeof a);
  auto* sin = reinterpret_cast<struct sockaddr_in*>(&a.hs_addr);
  sin->sin_family = AF_INET;
  inet_pton(AF_INET, "127.0.0.1", &sin->sin_addr);
  a.hs_addrlen = sizeof *sin;
  return a;
}

int boundPort(int fd) {
  struct sockaddr_in sin;
  socklen_t len = sizeof sin;
  if (getsockname(fd, reinterpret_cast<struct sockaddr*>(&sin), &len) < 0) return -1;
  return ntohs(sin.sin_port);
}

class RestrictedPorts : public ::testing::Test {
 protected:
  void TearDown() override {
    for (int fd : held_) close(fd);
    quorcfgx_ResetForTest();
  }
  // Finds `count` consecutive free ports, holds them all, and makes them the
  // client range; returns the first.
  int takeRange(int count) {
    for (int base = 30000 + int(getpid() % 1500) * 16; base < 60000; base += count) {
      std::vector<int> fds;
      for (int p = base; p < base + count; p++) {
        int fd = holdPort(p);
        if (fd < 0) break;
        fds.push_back(fd);
      }
      if (int(fds.size()) == count) {
        held_ = fds;
        std::string range = std::to_string(base) + "-" + std::to_string(base + count - 1);
        setenv("QUOR_PORT_RANGE", range.c_str(), 1);
        quorcfgx_ResetForTest();
        return base;
      }
      for (int fd : fds) close(fd);
    }
    ADD_FAILURE() << "no free port range";
    return -1;
  }
  void release(int index) {
    close(held_[size_t(index)]);
    held_.erase(held_.begin() + index);
  }

  ScopedEnv ranges_{"QUOR_PORT_RANGE", "QUOR_VELTC_PORT_RANGE", "RPC_RESTRICTED_PORTS"};
  std::vector<int> held_;
};

}  // namespace

TEST_F(RestrictedPorts, TheOneFreePortIsFoundFromAnyStart) {
  // Either end of the range as the only free port: every start must reach it.
  for (int freeIndex : {3, 0}) {
    int base = takeRange(4);
    ASSERT_GT(base, 0);
    release(freeIndex);
    for (int i = 0; i < 40; i++) {
      int fd = socket(AF_INET, SOCK_STREAM, 0);
      quor_sockaddr_t want = loopbackAnyPort();
      quor_sockaddr_t got;
      ASSERT_EQ(ozugw_SockBindToRestrictedPort(fd, &want, &got), 0) << "try " << i;
      EXPECT_EQ(boundPort(fd), base + freeIndex);
      EXPECT_EQ(ntohs(reinterpret_cast<struct sockaddr_in*>(&got.hs_addr)->sin_port),
                base + freeIndex);
      close(fd);
    }
    for (int fd : held_) close(fd);
    held_.clear();
  }
}

TEST_F(RestrictedPorts, ARangeOfOnePortBindsExactlyThatPort) {
  int base = takeRange(1);
  ASSERT_GT(base, 0);
  release(0);
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  quor_sockaddr_t want = loopbackAnyPort();
  quor_sockaddr_t got;
  EXPECT_EQ(ozugw_SockBindToRestrictedPort(fd, &want, &got), 0);
  EXPECT_EQ(boundPort(fd), base);
  close(fd);
}

TEST_F(RestrictedPorts, ARangeAllInUseGivesMinusOne) {
  ASSERT_GT(takeRange(4), 0);
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  quor_sockaddr_t want = loopbackAnyPort();
  quor_sockaddr_t got;
  EXPECT_EQ(ozugw_SockBindToRestrictedPort(fd, &want, &got), -1);
  close(fd);
}

TEST_F(RestrictedPorts, AnotherBindErrorEndsTheSearchAtOnce) {
  int base = takeRange(4);
  ASSERT_GT(base, 0);
  release(2);
  release(0);
  // A socket that is bound already cannot be bound again (EINVAL).
  int fd = holdPort(0);
  ASSERT_GE(fd, 0);
  quor_sockaddr_t want = loopbackAnyPort();
  quor_sockaddr_t got;
  EXPECT_EQ(ozugw_SockBindToRestrictedPort(fd, &want, &got), -EINVAL);
  close(fd);
}
