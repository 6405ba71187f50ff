// Client interfaces: choosing local interfaces for a client and a server
// from QUOR.conf against an injected interface table (and once against the
// machine's own).
#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "quorcfgx_prototypes.h"
#include "scoped_env.h"
#include "temp_dir.h"

namespace {

nic_info_t makeNic(const char* name, const char* addr, unsigned long mtu) {
  nic_info_t n;
  memset(&n, 0, sizeof(n));
  snprintf(n.ifName, sizeof(n.ifName), "%s", name);
  snprintf(n.dotAddress, sizeof(n.dotAddress), "%s", addr);
  auto* sin = reinterpret_cast<struct sockaddr_in*>(&n.ifAddress.hs_addr);
  auto* sin6 = reinterpret_cast<struct sockaddr_in6*>(&n.ifAddress.hs_addr);
  if (inet_pton(AF_INET, addr, &sin->sin_addr) == 1) {
    sin->sin_family = AF_INET;
    n.ifAddress.hs_addrlen = sizeof(*sin);
  } else if (inet_pton(AF_INET6, addr, &sin6->sin6_addr) == 1) {
    sin6->sin6_family = AF_INET6;
    n.ifAddress.hs_addrlen = sizeof(*sin6);
  }
  n.mtu = mtu;
  n.ifFlags = IFF_UP;
  return n;
}

std::string addrText(const quor_sockaddr_t& a) {
  char buf[INET6_ADDRSTRLEN] = "?";
  if (a.hs_addr.ss_family == AF_INET)
    inet_ntop(AF_INET, &reinterpret_cast<const struct sockaddr_in*>(&a.hs_addr)->sin_addr, buf,
              sizeof(buf));
  else if (a.hs_addr.ss_family == AF_INET6)
    inet_ntop(AF_INET6, &reinterpret_cast<const struct sockaddr_in6*>(&a.hs_addr)->sin6_addr,
              buf, sizeof(buf));
  return buf;
}

// One call's outputs as "name=address" words, freed here.
struct Result {
  int rc = 0;
  int count = -1;
  bool listNull = false;
  bool namesNull = false;
  std::vector<std::string> picks;
};

Result ask(const char* host, const char* server, bool names = true) {
  Result r;
  quor_sockaddr_t* list = reinterpret_cast<quor_sockaddr_t*>(0x1);
  char** nameList = reinterpret_cast<char**>(0x1);
  r.rc = quorcfgx_ConfGetClientInterfaces(host, server, &r.count, &list,
                                          names ? &nameList : nullptr);
  r.listNull = list == nullptr;
  r.namesNull = !names || nameList == nullptr;
  for (int i = 0; i < r.count; i++) {
    std::string w = addrText(list[i]);
    if (names) {
      w = std::string(nameList[i]) + "=" + w;
      free(nameList[i]);
    }
    r.picks.push_back(w);
  }
  if (r.count > 0) free(list);
  if (names && r.count > 0) free(nameList);
  return r;
}

using Picks = std::vector<std::string>;

const char* const LOCAL_HOST = "node12";

// The client stanza of this host ("node1*") with a server stanza per case.
std::string confForServer(const std::string& serverBody) {
  return "VELT Client Interfaces = {\n"
         "  node1* = {\n"
         "    gw1 gw2 = {\n" +
         serverBody +
         "    }\n"
         "  }\n"
         "}\n";
}

class ClientIf : public testing::Test {
 protected:
  void SetUp() override {
    for (const char* v : {"QUOR_CFG_FILE_PATH", "QUOR_NET_FAMILY"})
      saved_.keep(v);
    setenv("QUOR_NET_FAMILY", "ipv4_only", 1);
    dir_ = make_temp_dir("clientif_test");
    ASSERT_FALSE(dir_.empty());
    setenv("QUOR_CFG_FILE_PATH", dir_.c_str(), 1);
    table_ = {
        makeNic("eth0", "192.168.10.5", 1500),  makeNic("eth0", "192.168.10.6", 1500),
        makeNic("eth1", "10.20.0.7", 9000),     makeNic("ib0", "172.16.1.1", 65520),
        makeNic("wlan0", "192.168.50.2", 1400), makeNic("veth9", "10.99.0.1", 0),
    };
    inject(LOCAL_HOST);
    quorcfgx_ResetForTest();
  }
  void TearDown() override {
    quorcfgx_SetLocalInterfacesForTest(nullptr, 0, nullptr);
    quorcfgx_ResetForTest();
    unlink((dir_ + "/QUOR.conf").c_str());
    rmdir(dir_.c_str());
    saved_.restore();
  }
  void inject(const char* host) {
    quorcfgx_SetLocalInterfacesForTest(table_.data(), static_cast<int>(table_.size()), host);
  }
  void useConf(const std::string& text) {
    std::ofstream out(dir_ + "/QUOR.conf", std::ios::trunc);
    out << text;
    out.close();
    quorcfgx_ResetForTest();
  }

  ScopedEnv saved_;
  std::vector<nic_info_t> table_;
  std::string dir_;
};

TEST_F(ClientIf, EntriesSelectLocalInterfaces) {
  struct {
    std::string body;
    Picks picks;
  } cases[] = {
      // the interface's own address, not the configured network
      {"192.168.10.0/255.255.255.0\n", {"eth0=192.168.10.5"}},
      {" 192.168.10.0 / 255.255.255.0 \n", {"eth0=192.168.10.5"}},
      {"10.20.0.7\n", {"eth1=10.20.0.7"}},
      {"192.168.10.6\n", {"eth0=192.168.10.6"}},
      {"10.0.0.0/255.0.0.0\n", {"eth1=10.20.0.7"}},
      {"eth*\n", {"eth0=192.168.10.5", "eth0=192.168.10.6", "eth1=10.20.0.7"}},
      {"eth[1-9]\n", {"eth1=10.20.0.7"}},
      {"ib0\n", {"ib0=172.16.1.1"}},
      {"nosuch*\n", {}},
      // order of entries, and the same interface more than once
      {"ib0\neth0\n172.16.0.0/255.255.0.0\n",
       {"ib0=172.16.1.1", "eth0=192.168.10.5", "eth0=192.168.10.6", "ib0=172.16.1.1"}},
      // entries other than flags and "attr" are ignored
      {"eth1 = x\nAttr = {\n mtu = 1500\n}\nother = {\n ib0\n}\n", {}},
  };
  for (const auto& c : cases) {
    useConf(confForServer(c.body));
    const Result r = ask(nullptr, "gw1");
    EXPECT_EQ(r.rc, 0) << c.body;
    EXPECT_EQ(r.picks, c.picks) << c.body;
    EXPECT_EQ(r.count, static_cast<int>(c.picks.size()));
    EXPECT_EQ(r.listNull, c.picks.empty()) << c.body;
    EXPECT_EQ(r.namesNull, c.picks.empty()) << c.body;
  }
}

TEST_F(ClientIf, MtuConditions) {
  struct {
    const char* value;
    Picks names;
  } cases[] = {
      {"1500", {"eth0", "eth0"}},
      {"+9000", {"eth1", "ib0"}},
      {"-1400", {"wlan0", "veth9"}},  // an unknown MTU counts as 0
      {"9000 - 1500", {"eth0", "eth0", "eth1"}},
      {"1500-9000", {"eth0", "eth0", "eth1"}},
      {"1400 -1500", {"eth0", "eth0", "wlan0"}},
      {"1500 jumbo", {"eth0", "eth0"}},  // text after N that is not a range
      {"1500 - x", {"eth0", "eth0"}},
      {"0", {}},
      {"+0", {}},
      {"-0", {}},
      {"1500 - 0", {}},
      {"abc", {}},
      {"+ 9000", {}},
      {"+-9000", {}},
      {"99999999999999999999999", {}},
  };
  for (const auto& c : cases) {
    useConf(confForServer(std::string("attr = {\n mtu = ") + c.value + "\n}\n"));
    const Result r = ask(nullptr, "gw2");
    EXPECT_EQ(r.rc, 0) << c.value;
    Picks names;
    for (const std::string& p : r.picks) names.push_back(p.substr(0, p.find('=')));
    EXPECT_EQ(names, c.names) << c.value;
  }

  // Several mtu entries in one attr, other keys ignored.
  useConf(confForServer("attr = {\n mtu = 9000\n MTU = 1500\n size = 1400\n mtu = 1400\n}\n"));
  EXPECT_EQ(ask(nullptr, "gw1").picks, (Picks{"eth1=10.20.0.7", "wlan0=192.168.50.2"}));
}

TEST_F(ClientIf, AddressWarnings) {
  // A bad mask becomes a full mask, so the network address itself is sought.
  useConf(confForServer("10.99.0.99\n192.168.10.0/255.255.x\n192.168.10.6/\n"));
  testing::internal::CaptureStderr();
  const Result r = ask(nullptr, "gw1");
  const std::string prefix =
      "Warning (quorcfgx_ConfGetClientInterfaces): QUOR.conf VELT Client Interfaces section, "
      "client node1*,server gw1 gw2";
  const std::string expected = prefix + ", no such local NIC: 10.99.0.99\n" + prefix +
                               ",line 5: bad netmask: 255.255.x\n" + prefix +
                               ", no such local NIC: 192.168.10.0/255.255.x\n" + prefix +
                               ",line 6: bad netmask: \n";
  EXPECT_EQ(testing::internal::GetCapturedStderr(), expected);
  EXPECT_EQ(r.rc, 0);
  EXPECT_EQ(r.picks, (Picks{"eth0=192.168.10.6"}));

  // Entry warnings come again at every call.
  testing::internal::CaptureStderr();
  EXPECT_EQ(ask(nullptr, "gw1").picks, (Picks{"eth0=192.168.10.6"}));
  EXPECT_EQ(testing::internal::GetCapturedStderr(), expected);
}

const char* const FULL_CONF =
    "VELT Client Interfaces = {\n"
    "  node1* = {\n"
    "    gw1 gw2 = {\n"
    "      eth1\n"
    "    }\n"
    "    Default = {\n"
    "      ib0\n"
    "    }\n"
    "    backup* = {\n"
    "      wlan0\n"
    "    }\n"
    "  }\n"
    "  other-host = {\n"
    "    Default = {\n"
    "      eth*\n"
    "    }\n"
    "  }\n"
    "  Default = {\n"
    "    Default = {\n"
    "      eth*\n"
    "    }\n"
    "  }\n"
    "}\n";

TEST_F(ClientIf, ClientAndServerStanzas) {
  useConf(FULL_CONF);
  struct {
    const char* host;
    const char* server;
    Picks picks;
  } cases[] = {
      {nullptr, "gw1", {"eth1=10.20.0.7"}},
      {nullptr, "gw2", {"eth1=10.20.0.7"}},
      {nullptr, "backup7", {"wlan0=192.168.50.2"}},
      {nullptr, "gw3", {"ib0=172.16.1.1"}},  // unknown server: the Default one
      {nullptr, nullptr, {"ib0=172.16.1.1"}},
      {"node12", "gw1", {"eth1=10.20.0.7"}},  // names this host's own stanza
      {"node15", "gw1", {"eth1=10.20.0.7"}},  // the same stanza matches it too
      // another machine's stanza, or "Default", resolves nothing
      {"other-host", "gw1", {}},
      {"elsewhere", "gw1", {}},
  };
  for (const auto& c : cases) {
    const Result r = ask(c.host, c.server);
    const std::string label = std::string(c.host ? c.host : "(null)") + "/" +
                              (c.server ? c.server : "(null)");
    EXPECT_EQ(r.rc, 0) << label;
    EXPECT_EQ(r.picks, c.picks) << label;
  }

  // This host without a stanza of its own falls back to "Default".
  inject("lonely");
  const Result r = ask(nullptr, "gw1");
  EXPECT_EQ(r.rc, 0);
  EXPECT_EQ(r.count, 0);
  EXPECT_TRUE(r.listNull);
  EXPECT_TRUE(r.namesNull);
}

TEST_F(ClientIf, ServerDefaultFoundByPattern) {
  // A server stanza "*" also answers the lookup of "Default".
  useConf(
      "VELT Client Interfaces = {\n"
      "  node12 = {\n"
      "    gw1 = {\n"
      "      eth1\n"
      "    }\n"
      "    * = {\n"
      "      wlan0\n"
      "    }\n"
      "  }\n"
      "}\n");
  EXPECT_EQ(ask(nullptr, "gw9").picks, (Picks{"wlan0=192.168.50.2"}));
  EXPECT_EQ(ask(nullptr, nullptr).picks, (Picks{"wlan0=192.168.50.2"}));
}

TEST_F(ClientIf, MissingConfigurationGivesMinus2) {
  const std::string W = "(quorcfgx_ConfGetClientInterfaces) WARNING: QUOR.conf ";
  struct {
    std::string conf;
    const char* host;
    const char* server;
    std::string warning;
  } cases[] = {
      {"", nullptr, "gw1", ""},
      {"Other = 1\n", nullptr, "gw1", ""},
      {"velt client interfaces = {\n node12 = {\n Default = {\n eth0\n }\n }\n}\n", nullptr, "gw1",
       ""},
      {"VELT Client Interfaces\n", nullptr, "gw1",
       W + "error. \"VELT Client Interfaces\" section is not a compound-type stanza\n"},
      {"VELT Client Interfaces = eth0\n", nullptr, "gw1",
       W + "error. \"VELT Client Interfaces\" section is not a compound-type stanza\n"},
      {"VELT Client Interfaces = {\n}\n", nullptr, "gw1",
       W + "error. \"VELT Client Interfaces\" section is empty\n"},
      // no client stanza and no Default
      {"VELT Client Interfaces = {\n other = {\n Default = {\n eth0\n }\n }\n}\n", nullptr, "gw1",
       ""},
      {"VELT Client Interfaces = {\n node12 = eth0\n}\n", nullptr, "gw1",
       W + "error. \"node12\" client section is not a compound-type stanza\n"},
      {"VELT Client Interfaces = {\n node12\n}\n", nullptr, "gw1",
       W + "error. \"node12\" client section is not a compound-type stanza\n"},
      {"VELT Client Interfaces = {\n node12 = {\n }\n}\n", nullptr, "gw1",
       W + "- empty local client interface section for \"node12\"\n"},
      {"VELT Client Interfaces = {\n Default = {\n }\n}\n", "far-away", "gw1",
       W + "- empty local client interface section for \"Default\"\n"},
      // no server stanza, named or Default
      {"VELT Client Interfaces = {\n node12 = {\n gw1 = {\n eth0\n }\n }\n}\n", nullptr, "gw2", ""},
      {"VELT Client Interfaces = {\n node12 = {\n gw1 = {\n eth0\n }\n }\n}\n", nullptr, nullptr,
       ""},
      {"VELT Client Interfaces = {\n node12 = {\n gw1 = eth0\n }\n}\n", nullptr, "gw1",
       W + "error. client \"node12\", server \"gw1\" section is not a compound-type stanza\n"},
      {"VELT Client Interfaces = {\n node12 = {\n Default = {\n }\n }\n}\n", nullptr, "gw1",
       W + "- empty local server interface section for client \"node12\".server \"Default\"\n"},
  };
  for (const auto& c : cases) {
    if (c.conf.empty()) {
      unlink((dir_ + "/QUOR.conf").c_str());
      quorcfgx_ResetForTest();
    } else {
      useConf(c.conf);
    }
    testing::internal::CaptureStderr();
    const Result r = ask(c.host, c.server);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), c.warning) << c.conf;
    EXPECT_EQ(r.rc, -2) << c.conf;
    EXPECT_EQ(r.count, 0) << c.conf;
    EXPECT_TRUE(r.listNull) << c.conf;
    EXPECT_TRUE(r.namesNull) << c.conf;
  }
}

TEST_F(ClientIf, SectionChecksWarnOnce) {
  useConf("VELT Client Interfaces = {\n}\n");
  testing::internal::CaptureStderr();
  EXPECT_EQ(ask(nullptr, "gw1").rc, -2);
  EXPECT_EQ(ask(nullptr, "gw1").rc, -2);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "(quorcfgx_ConfGetClientInterfaces) WARNING: QUOR.conf error. \"VELT Client "
            "Interfaces\" section is empty\n");

  // Stanza warnings, on the other hand, come at every call.
  useConf("VELT Client Interfaces = {\n node12 = {\n }\n}\n");
  testing::internal::CaptureStderr();
  EXPECT_EQ(ask(nullptr, "gw1").rc, -2);
  EXPECT_EQ(ask(nullptr, "gw1").rc, -2);
  const std::string once =
      "(quorcfgx_ConfGetClientInterfaces) WARNING: QUOR.conf - empty local client interface "
      "section for \"node12\"\n";
  EXPECT_EQ(testing::internal::GetCapturedStderr(), once + once);
}

TEST_F(ClientIf, OutputsAndArguments) {
  useConf(FULL_CONF);
  EXPECT_EQ(quorcfgx_ConfGetClientInterfaces(nullptr, "gw1", nullptr, nullptr, nullptr), -14);
  quor_sockaddr_t* list = reinterpret_cast<quor_sockaddr_t*>(0x1);
  char** names = reinterpret_cast<char**>(0x1);
  EXPECT_EQ(quorcfgx_ConfGetClientInterfaces(nullptr, "gw1", nullptr, &list, &names), -14);
  EXPECT_EQ(list, nullptr);
  EXPECT_EQ(names, nullptr);

  // Without a name output only the addresses come back.
  const Result r = ask(nullptr, "other", false);
  EXPECT_EQ(r.rc, 0);
  EXPECT_EQ(r.picks, (Picks{"172.16.1.1"}));

  // Repeated calls give equal, separate lists.
  const Result a = ask(nullptr, "gw1");
  const Result b = ask(nullptr, "gw1");
  EXPECT_EQ(a.picks, b.picks);
  EXPECT_EQ(a.picks, (Picks{"eth1=10.20.0.7"}));

  // The count alone may be asked for.
  int count = -1;
  EXPECT_EQ(quorcfgx_ConfGetClientInterfaces(nullptr, "backup1", &count, nullptr, nullptr), 0);
  EXPECT_EQ(count, 1);
}

TEST_F(ClientIf, Ipv6Addresses) {
  setenv("QUOR_NET_FAMILY", "ipv6_only", 1);
  table_ = {makeNic("eth0", "fd00::2", 1500), makeNic("eth0", "fe80::fc:ff:fe00:1", 1500),
            makeNic("eth1", "fd01::7", 9000)};
  inject(LOCAL_HOST);
  useConf(confForServer("fd01::/ffff:ffff::\nfd00::2\n"));
  EXPECT_EQ(ask(nullptr, "gw1").picks, (Picks{"eth1=fd01::7", "eth0=fd00::2"}));
}

TEST_F(ClientIf, MachineInterfaceTable) {
  // The machine's own interfaces, under the IPv4-only policy.
  struct ifaddrs* ifs = nullptr;
  ASSERT_EQ(getifaddrs(&ifs), 0);
  Picks expected;
  for (struct ifaddrs* i = ifs; i != nullptr; i = i->ifa_next) {
    if (i->ifa_addr == nullptr || i->ifa_addr->sa_family != AF_INET) continue;
    if (!(i->ifa_flags & IFF_UP) || (i->ifa_flags & IFF_LOOPBACK)) continue;
    quor_sockaddr_t a;
    memset(&a, 0, sizeof(a));
    memcpy(&a.hs_addr, i->ifa_addr, sizeof(struct sockaddr_in));
    expected.push_back(std::string(i->ifa_name).substr(0, 19) + "=" + addrText(a));
  }
  freeifaddrs(ifs);
  if (expected.empty()) GTEST_SKIP() << "no IPv4 interface besides loopback";

  quorcfgx_SetLocalInterfacesForTest(nullptr, 0, LOCAL_HOST);
  useConf(confForServer("*\n"));
  EXPECT_EQ(ask(nullptr, "gw1").picks, expected);

  // Each interface's MTU was read: "+1" takes every one of them.
  useConf(confForServer("attr = {\n mtu = +1\n}\n"));
  EXPECT_EQ(ask(nullptr, "gw1").picks, expected);

  // Without a valid family policy the table is empty.
  unsetenv("QUOR_NET_FAMILY");
  useConf(confForServer("*\n"));
  EXPECT_EQ(ask(nullptr, "gw1").picks, Picks{});
}

}  // namespace
