// Library start-up, the server list, the connection table and request ids.
// Start-up runs once per process, so each case runs in a fresh process.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

#include "quor_api.h"
#include "quor_api_internal.h"

namespace {

struct Entry {
  std::string service;
  int port;
};

std::vector<Entry> tableEntries() {
  std::vector<Entry> v;
  pthread_mutex_lock(&qelapi_connection_lock);
  for (quor_connection_t* c = qelapi_connection_list; c; c = c->next)
    v.push_back({c->service_name, c->server_port});
  pthread_mutex_unlock(&qelapi_connection_lock);
  return v;
}

// Runs body in a freshly executed copy of the test program, where library
// start-up has not happened yet; the case passes when body returns true.
void inFreshProcess(const std::function<bool()>& body) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        setenv("QUOR_HOSTNAME", "localhost", 1);
        _exit(body() ? 0 : 1);
      },
      testing::ExitedWithCode(0), "");
}

}  // namespace

TEST(ConnectionSetup, ServerListEntriesServicesAndPorts) {
  inFreshProcess([] {
    setenv("QUOR_SERVER_HOST", " 127.0.0.1 ;127.0.0.2 , ssh / 2000; 127.0.0.3;", 1);
    if (qel_LibInit() != 0) return false;
    auto v = tableEntries();
    if (v.size() != 3) return false;
    if (v[0].service != "quor_qelapi" || v[0].port != 1217) return false;
    if (v[1].service != "ssh" || v[1].port != 2000) return false;
    if (v[2].service != "quor_qelapi" || v[2].port != 1217) return false;
    int cur = quorex_GetCurConHandle();
    return cur >= 1 && cur <= 3 && init_server_handle == cur;
  });
}

TEST(ConnectionSetup, BlankSeparatedHostsAndServiceLookup) {
  inFreshProcess([] {
    setenv("QUOR_SERVER_HOST", "127.0.0.1 127.0.0.2,ssh 127.0.0.3,no-such-service", 1);
    if (qel_LibInit() != 0) return false;
    auto v = tableEntries();
    // A known service gives its port; an unknown one falls back to 1217.
    return v.size() == 3 && v[0].port == 1217 && v[1].port == 22 && v[1].service == "ssh" &&
           v[2].port == 1217 && v[2].service == "no-such-service";
  });
}

TEST(ConnectionSetup, StopsAtFirstHostThatDoesNotResolve) {
  inFreshProcess([] {
    setenv("QUOR_SERVER_HOST", "127.0.0.1; host.invalid; 127.0.0.3", 1);
    return qel_LibInit() == 0 && tableEntries().size() == 1;
  });
}

// A port above 65535 (or one that is no number) is no port: wrapped to 16
// bits, 70000 would connect to 4464. Such an entry cannot be set up, which
// stops the list there, as a host that does not resolve does.
TEST(ConnectionSetup, EntryWithAPortThatDoesNotFitStopsTheList) {
  for (const char* list : {"127.0.0.1/2000; 127.0.0.2/70000; 127.0.0.3",
                           "127.0.0.1/2000; 127.0.0.2/12x; 127.0.0.3",
                           "127.0.0.1/2000; 127.0.0.2/; 127.0.0.3"}) {
    SCOPED_TRACE(list);
    inFreshProcess([list] {
      setenv("QUOR_SERVER_HOST", list, 1);
      testing::internal::CaptureStderr();
      int rc = qel_LibInit();
      std::string err = testing::internal::GetCapturedStderr();
      auto v = tableEntries();
      return rc == 0 && v.size() == 1 && v[0].port == 2000 &&
             err.find("*** qel_LibInit: bad port '") != std::string::npos;
    });
  }
  inFreshProcess([] {
    setenv("QUOR_SERVER_HOST", "127.0.0.1", 1);
    int h = 0;
    return qel_LibInit() == 0 &&
           quorex_SetupConnection("127.0.0.1", nullptr, 70000, 0, 0, &h) == -10008 && h == -1;
  });
}

TEST(ConnectionSetup, EmptyListFailsStartUpForGood) {
  inFreshProcess([] {
    setenv("QUOR_SERVER_HOST", "  \t ", 1);
    testing::internal::CaptureStderr();
    int rc = qel_LibInit();
    std::string err = testing::internal::GetCapturedStderr();
    qelapi_tcontext_t* ts = nullptr;
    return rc == -1 && qel_LibInit() == -1 && qelapi_init(&ts) == -1 &&
           err.find("*** qel_LibInit: unable to setup connection to any server\n") !=
               std::string::npos;
  });
}

TEST(ConnectionSetup, FamilyDefaultAndHostNameCut) {
  inFreshProcess([] {
    unsetenv("QUOR_NET_FAMILY");
    setenv("QUOR_SERVER_HOST", "127.0.0.1", 1);
    if (qel_LibInit() != 0) return false;
    const char* fam = getenv("QUOR_NET_FAMILY");
    return fam && strcmp(fam, "ipv4_only") == 0 && strcmp(qelapi_API_Hostname, "localhost") == 0;
  });
  inFreshProcess([] {
    setenv("QUOR_NET_FAMILY", "ipv6", 1);
    std::string longName(70, 'h');
    setenv("QUOR_HOSTNAME", longName.c_str(), 1);
    setenv("QUOR_SERVER_HOST", "127.0.0.1", 1);
    testing::internal::CaptureStderr();
    int rc = qel_LibInit();
    std::string err = testing::internal::GetCapturedStderr();
    // The name is cut to 64 characters and then fails to resolve.
    return rc < 0 && strcmp(getenv("QUOR_NET_FAMILY"), "ipv6") == 0 &&
           strlen(qelapi_API_Hostname) == 64 &&
           err.find("getting address for local host '" + std::string(64, 'h') + "'") !=
               std::string::npos;
  });
}

TEST(ConnectionSetup, HandlesGrowAndAreNeverReused) {
  inFreshProcess([] {
    setenv("QUOR_SERVER_HOST", "127.0.0.1", 1);
    int h2 = -1, h3 = -1, h4 = -1;
    // The first call starts the library, which sets up the list's entry.
    if (quorex_SetupConnection("127.0.0.1", nullptr, 0, 0, 0, &h2) != 0 || h2 != 2) return false;
    if (quorex_SetupConnection("127.0.0.1", nullptr, 4000, 0, 0, &h3) != 0 || h3 != 3)
      return false;
    if (quorex_CloseConnection(h2) != 0 || quorex_CloseConnection(h2) != -2) return false;
    if (quorex_SetupConnection("127.0.0.1", nullptr, 0, 0, 0, &h4) != 0 || h4 != 4) return false;
    int bad = 0;
    if (quorex_SetupConnection("host.invalid", nullptr, 0, 0, 0, &bad) != -10008 || bad != -1)
      return false;
    int prev = 0;
    if (quorex_SetCurConnection(h3, &prev) != 0 || prev != 1) return false;
    if (quorex_SetCurConnection(99, &prev) != -2 || prev != h3) return false;
    // Closing the current connection leaves none.
    if (quorex_CloseConnection(h3) != 0 || quorex_GetCurConHandle() != -2) return false;
    char *host = nullptr, *addr = nullptr, *svc = nullptr;
    int port = 0, lo = -1, hi = -1, fd = 0;
    if (quorex_GetConnectionInfo(-1, &host, &addr, &svc, &port, &lo, &hi, &fd) != -2)
      return false;
    int rc = quorex_GetConnectionInfo(h4, &host, &addr, &svc, &port, &lo, &hi, &fd);
    bool ok = rc == 0 && strcmp(addr, "127.0.0.1") == 0 && strcmp(svc, "quor_qelapi") == 0 &&
              port == 1217 && lo == 0 && hi == 0 && fd == -1 && host && *host;
    free(host);
    free(addr);
    free(svc);
    return ok;
  });
}

TEST(ConnectionSetup, GatewayPortAboveSignedShortIsPositive) {
  inFreshProcess([] {
    setenv("QUOR_SERVER_HOST", "127.0.0.1/40000", 1);
    if (qel_LibInit() != 0) return false;
    int port = 0;
    return quorex_GetConnectionInfo(-1, nullptr, nullptr, nullptr, &port, nullptr, nullptr,
                                    nullptr) == 0 &&
           port == 40000;
  });
}

TEST(RequestIds, FirstValueAndSequence) {
  inFreshProcess([] {
    uint32_t t0 = static_cast<uint32_t>(time(nullptr));
    uint32_t first = qelapi_getRequestID();
    uint32_t t1 = static_cast<uint32_t>(time(nullptr));
    bool match = false;
    for (uint32_t t = t0; t <= t1; t++) {
      uint32_t s = (t ^ static_cast<uint32_t>(getpid())) + 1u;
      match |= ((s * 1103515245u + 12345u) & 0x7fffffffu) == first;
    }
    uint32_t prev = first;
    for (int i = 0; i < 1000; i++) {
      uint32_t next = qelapi_getRequestID();
      if (next != ((prev * 1103515245u + 12345u) & 0x7fffffffu) || next > 0x7fffffffu)
        return false;
      prev = next;
    }
    return match;
  });
}

TEST(RequestIds, FoldsSignExtendNodeBytes) {
  quor_reqid_t id;
  memset(&id, 0, sizeof id);
  memset(id.node, 0xFF, sizeof id.node);
  EXPECT_EQ(quor_RequestIDtoU32(id), uint32_t(-1) + uint32_t(-256) + uint32_t(-65536));
  EXPECT_EQ(quor_RequestIDtoU64(id) >> 32, uint64_t(uint32_t(-1) + uint32_t(-256) + uint32_t(-65536)));

  quor_reqid_t r{0x11223344, 0x5566, 0x7788, 0x99, 0xAA, {1, 2, 3, 4, 5, 6}};
  // Worked by hand: 1 + (3 << 8) + (5 << 16) + (0x11223344 ^ 0x99).
  EXPECT_EQ(quor_RequestIDtoU32(r), 0x1u + 0x300u + 0x50000u + (0x11223344u ^ 0x99u));
  // 2 + (4 << 8) + (6 << 16) + (((0x7788 << 8) + 0x5566) ^ 0xAA).
  uint64_t hi = 0x2u + 0x400u + 0x60000u + ((0x778800u + 0x5566u) ^ 0xAAu);
  EXPECT_EQ(quor_RequestIDtoU64(r), (hi << 32) | quor_RequestIDtoU32(r));

  char* text = quor_RequestIDtoString(r);
  ASSERT_NE(text, nullptr);
  EXPECT_STREQ(text, "11223344-5566-7788-99aa-010203040506");
  free(text);
  quor_reqid_t s = r;
  s.node[5] = 0x80;  // node bytes compare as signed
  EXPECT_EQ(quor_RequestIDCompare(&r, &s), 1);
  EXPECT_EQ(quor_RequestIDCompare(&r, &r), 0);
  EXPECT_EQ(quor_RequestIDCompare(&r, nullptr), -2);
}
