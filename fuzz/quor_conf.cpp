// The readers of QUOR.conf over one file: network options, client
// interfaces and restricted addresses, each asked what the library asks.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <string.h>

#include "fuzz_support.h"
#include "quor_net.h"
#include "quorcfgx_prototypes.h"
#include "quorcfgx_restrict.h"
#include "quorcfgx_stanza.h"

namespace {

quor_sockaddr_t address(const char* text, int family) {
  quor_sockaddr_t a;
  memset(&a, 0, sizeof a);
  if (family == AF_INET) {
    auto* sin = reinterpret_cast<sockaddr_in*>(&a.hs_addr);
    sin->sin_family = AF_INET;
    FUZZ_CHECK(inet_pton(AF_INET, text, &sin->sin_addr) == 1);
    a.hs_addrlen = sizeof *sin;
  } else {
    auto* sin6 = reinterpret_cast<sockaddr_in6*>(&a.hs_addr);
    sin6->sin6_family = AF_INET6;
    FUZZ_CHECK(inet_pton(AF_INET6, text, &sin6->sin6_addr) == 1);
    a.hs_addrlen = sizeof *sin6;
  }
  return a;
}

const char kHost[] = "node12";

const char* const kPeers4[] = {"10.1.2.3", "192.168.7.9", "127.0.0.1"};
const char* const kPeers6[] = {"fd00::17", "::ffff:10.1.2.3", "2001:db8::1"};

nic_info_t nic(const char* name, const char* addr, int family) {
  nic_info_t n;
  memset(&n, 0, sizeof n);
  strncpy(n.ifName, name, sizeof n.ifName - 1);
  strncpy(n.dotAddress, addr, sizeof n.dotAddress - 1);
  n.ifAddress = address(addr, family);
  n.mtu = 1500;
  return n;
}

void network_options() {
  for (const char* p : kPeers4) {
    quor_sockaddr_t a = address(p, AF_INET);
    netopt_entry_t* e = nullptr;
    int rc = quorcfgx_NetoptFindEntry(&a, &e);
    FUZZ_CHECK((rc == 0) == (e != nullptr));
    FUZZ_CHECK(quorcfgx_NetoptGetWriteSize(-1, &a) > 0);
  }
  for (const char* p : kPeers6) {
    quor_sockaddr_t a = address(p, AF_INET6);
    netopt_entry_t* e = nullptr;
    int rc = quorcfgx_NetoptFindEntry(&a, &e);
    FUZZ_CHECK((rc == 0) == (e != nullptr));
  }
}

void client_interfaces() {
  const nic_info_t table[] = {nic("eth0", "10.1.2.3", AF_INET), nic("eth1", "192.168.7.9", AF_INET),
                              nic("ib0", "fd00::17", AF_INET6),
                              nic("wlan0", "192.168.50.2", AF_INET)};
  quorcfgx_SetLocalInterfacesForTest(table, 4, kHost);
  for (const char* server : {"gw1", "gw9.example.org", static_cast<const char*>(nullptr)}) {
    int count = -1;
    quor_sockaddr_t* list = nullptr;
    char** names = nullptr;
    quorcfgx_ConfGetClientInterfaces(nullptr, server, &count, &list, &names);
    FUZZ_CHECK(count >= 0);
    FUZZ_CHECK((count == 0) == (list == nullptr));
    if (names != nullptr)
      for (int i = 0; i < count; i++) free(names[i]);
    free(names);
    free(list);
  }
  quorcfgx_SetLocalInterfacesForTest(nullptr, 0, nullptr);
}

void restricted_addresses() {
  quorex_RestrictResetForTest(kHost);
  int count = -1;
  quor_restricted_addr_t* list = nullptr;
  FUZZ_CHECK(quorex_GetRestrictedConnList(&count, &list) == 0);
  FUZZ_CHECK(count >= 0 && (count == 0) == (list == nullptr));
  for (int i = 0; i < count; i++) {
    FUZZ_CHECK(list[i].addrType == AF_INET || list[i].addrType == AF_INET6);
    int max = list[i].addrType == AF_INET ? 32 : 128;
    FUZZ_CHECK(list[i].ra_prefix_len >= 0 && list[i].ra_prefix_len <= max);
  }
  for (const char* p : kPeers4) {
    quor_sockaddr_t a = address(p, AF_INET);
    int ok = quorex_IsConnectionAllowed(&a.hs_addr, 0, "fuzz");
    FUZZ_CHECK(ok == 0 || ok == 1);
    if (count == 0) FUZZ_CHECK(ok == 1);
  }
  for (const char* p : kPeers6) {
    quor_sockaddr_t a = address(p, AF_INET6);
    int ok = quorex_IsConnectionAllowed(&a.hs_addr, 0, "fuzz");
    FUZZ_CHECK(ok == 0 || ok == 1);
  }
}

fuzz_memfile* conf = nullptr;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // The directory holds QUOR.conf as a link to a file in memory.
  conf = new fuzz_memfile(nullptr, 0, 0644);
  fuzz_link(conf->path(), fuzz_workdir() + "/" QUOR_CFG_FILE_NAME);
  setenv("QUOR_CFG_FILE_PATH", fuzz_workdir().c_str(), 1);
  setenv("QUOR_NET_FAMILY", "ipv6", 1);
  unsetenv("QUOR_TCP_WRITESIZE");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  conf->assign(data, size);
  quorcfgx_ResetForTest();
  network_options();
  client_interfaces();
  restricted_addresses();
  quorcfgx_ResetForTest();
  return 0;
}
