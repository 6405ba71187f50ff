// Restricted addresses and restricted ports of data connections; see
// quorcfgx_restrict.h for the contracts.
#include "quorcfgx_restrict.h"

#include <arpa/inet.h>
#include <ctype.h>
#include <errno.h>
#include <netdb.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <string>

#include "quor_api.h"
#include "quorcfgx_prototypes.h"

namespace {

const char* const PARSE_FN = "parseRestrictedAddresses";

std::mutex tableMutex;
std::atomic<bool> tableRead{false};
quor_restricted_addr_t* table = nullptr;  // written once under tableMutex
int tableCount = 0;

bool testHostSet = false;
std::string testHostName;

int localHostName(std::string* out) {
  if (testHostSet) {
    *out = testHostName;
    return 0;
  }
  char name[256] = "";
  if (gethostname(name, sizeof name - 1) != 0) return -errno;
  *out = name;
  return 0;
}

void buildMask(quor_restricted_addr_t* e) {
  if (e->addrType == AF_INET) {
    uint32_t bits = e->ra_prefix_len == 0 ? 0 : 0xffffffffu << (32 - e->ra_prefix_len);
    e->ra_ipv4_netmask = htonl(bits);
    return;
  }
  memset(e->ra_ipv6_netmask, 0, sizeof e->ra_ipv6_netmask);
  int left = e->ra_prefix_len;
  for (int i = 0; i < 16 && left > 0; i++, left -= 8)
    e->ra_ipv6_netmask[i] = left >= 8 ? 0xff : static_cast<unsigned char>(0xff << (8 - left));
}

// The prefix length after the '/': 0 for none, negative for a sign, full
// for one above it (however large: a huge number must not wrap into a short
// prefix that widens the entry). False for text that is no number.
bool readPrefix(const char* text, int full, int* prefix) {
  const char* p = text;
  bool negative = *p == '-';
  if (*p == '-' || *p == '+') p++;
  if (*text != '\0' && !isdigit(static_cast<unsigned char>(*p))) return false;
  long long v = 0;
  for (; isdigit(static_cast<unsigned char>(*p)); p++)
    if (v <= full) v = v * 10 + (*p - '0');
  if (*p != '\0') return false;
  *prefix = negative ? -1 : static_cast<int>(v > full ? full : v);
  return true;
}

// One flag entry of the host stanza; false (with a warning) when malformed.
bool parseEntry(const quor_cfg_stanza_t* s, quor_restricted_addr_t* out) {
  std::string key = s->KeyString;
  std::string addr = key;
  size_t slash = key.find('/');
  if (slash != std::string::npos) addr = key.substr(0, slash);
  memset(out, 0, sizeof *out);
  bool v6 = key.find(':') != std::string::npos;
  out->addrType = v6 ? AF_INET6 : AF_INET;
  int full = v6 ? 128 : 32;
  int prefix = 0;
  if (inet_pton(out->addrType, addr.c_str(), &out->ra_addr) != 1 ||
      (slash != std::string::npos && !readPrefix(key.c_str() + slash + 1, full, &prefix))) {
    fprintf(stderr, "(%s) WARNING: QUOR.conf error, line %d. '%s', is a malformed %s address (ignored)\n",
            PARSE_FN, static_cast<int>(s->LineNum), key.c_str(), v6 ? "IPV6" : "IPV4");
    return false;
  }
  out->ra_prefix_len = prefix <= 0 || prefix > full ? full : prefix;
  buildMask(out);
  return true;
}

// Reads the section once; tableMutex held. Every failure leaves no
// restrictions.
void readTable(void) {
  quor_cfg_stanza_t* tree = quorcfgx_ConfParse(nullptr);
  if (tree == nullptr) return;
  if (quorcfgx_InitMutexes(PARSE_FN) != 0) return;
  // The tree is shared: walk it under the parse lock.
  pthread_mutex_lock(&Cfg_Mutex);
  quor_cfg_stanza_t* sec = quor_CfgFindKey(QUOR_RESTRICT_SECTION, tree, 0);
  quor_cfg_stanza_t* host = nullptr;
  if (sec == nullptr) {
    // no restrictions
  } else if (sec->type != CFG_COMPOUND_TYPE) {
    fprintf(stderr, "(%s) WARNING: QUOR.conf error. \"%s\" section is not a compound-type stanza\n",
            PARSE_FN, QUOR_RESTRICT_SECTION);
  } else if (sec->substanzaList == nullptr) {
    fprintf(stderr, "(%s) WARNING: QUOR.conf error. \"%s\" section is empty\n", PARSE_FN,
            QUOR_RESTRICT_SECTION);
  } else {
    std::string name;
    int rc = localHostName(&name);
    if (rc != 0) {
      fprintf(stderr, "*** [%s]Error %d getting local hostname\n", PARSE_FN, -rc);
    } else {
      host = quorcfgx_LookupHostName(sec->substanzaList, name.c_str());
      if (host == nullptr) host = quorcfgx_LookupHostName(sec->substanzaList, "Default");
    }
  }
  if (host != nullptr && host->type != CFG_COMPOUND_TYPE) {
    fprintf(stderr,
            "(%s) WARNING: QUOR.conf error, line %d. host \"%s\", section is not a compound-type "
            "stanza\n",
            PARSE_FN, static_cast<int>(host->LineNum), host->KeyString);
    host = nullptr;
  } else if (host != nullptr && host->substanzaList == nullptr) {
    fprintf(stderr, "(%s) WARNING: QUOR.conf - empty  <address> subsection for host \"%s\"\n",
            PARSE_FN, host->KeyString);
    host = nullptr;
  }
  quor_restricted_addr_t* list = nullptr;
  int count = 0;
  for (quor_cfg_stanza_t* s = host ? host->substanzaList : nullptr; s; s = s->next) {
    if (s->type != CFG_FLAG_TYPE) {
      fprintf(stderr,
              "(%s) WARNING: QUOR.conf error, line %d. '%s', is a malformed(non-flag-type) IPV4 or "
              "IPV6 address (ignored)\n",
              PARSE_FN, static_cast<int>(s->LineNum), s->KeyString);
      continue;
    }
    quor_restricted_addr_t entry;
    if (!parseEntry(s, &entry)) continue;
    size_t bytes = static_cast<size_t>(count + 1) * sizeof entry;
    auto* grown = static_cast<quor_restricted_addr_t*>(realloc(list, bytes));
    if (grown == nullptr) {
      fprintf(stderr, "*** %s: memory allocation failed for table entry[%d] (%lu bytes)\n", PARSE_FN,
              count, static_cast<unsigned long>(bytes));
      free(list);
      list = nullptr;
      count = 0;
      break;
    }
    list = grown;
    list[count++] = entry;
  }
  pthread_mutex_unlock(&Cfg_Mutex);
  table = list;
  tableCount = count;
}

void getTable(quor_restricted_addr_t** list, int* count) {
  if (!tableRead.load(std::memory_order_acquire)) {
    std::lock_guard<std::mutex> hold(tableMutex);
    if (!tableRead.load(std::memory_order_relaxed)) {
      readTable();
      tableRead.store(true, std::memory_order_release);
    }
  }
  *list = table;
  *count = tableCount;
}

bool matchV4(const quor_restricted_addr_t* e, const struct in_addr* peer) {
  return ((peer->s_addr ^ e->ra_addr.ipv4addr.s_addr) & e->ra_ipv4_netmask) == 0;
}

bool matchV6(const quor_restricted_addr_t* e, const struct in6_addr* peer) {
  int bytes = (e->ra_prefix_len + 7) / 8;
  for (int i = 0; i < bytes; i++)
    if ((peer->s6_addr[i] & e->ra_ipv6_netmask[i]) !=
        (e->ra_addr.ipv6addr.s6_addr[i] & e->ra_ipv6_netmask[i]))
      return false;
  return true;
}

void logRefusal(const struct sockaddr_storage* peer, const char* Function) {
  socklen_t len = peer->ss_family == AF_INET6 ? sizeof(struct sockaddr_in6)
                                              : sizeof(struct sockaddr_in);
  // A numeric address, with an interface name after an IPv6 link-local one.
  char text[INET6_ADDRSTRLEN + 20];
  if (getnameinfo(reinterpret_cast<const struct sockaddr*>(peer), len, text, sizeof text, nullptr,
                  0, NI_NUMERICHOST) != 0)
    strcpy(text, "?");
  char line[512];
  snprintf(line, sizeof line, "*** Error [pid %d function %s] - restricted connection failed from %s\n",
           static_cast<int>(getpid()), Function ? Function : "", text);
  quor_Logmsg(0x6000, 0x2000000, line);
}

}  // namespace

int quorex_GetRestrictedConnList(int* Count, quor_restricted_addr_t** SockList) {
  quor_restricted_addr_t* list = nullptr;
  int count = 0;
  getTable(&list, &count);
  if (Count) *Count = count;
  if (SockList) *SockList = count > 0 ? list : nullptr;
  return 0;
}

int quorex_IsConnectionAllowed(const struct sockaddr_storage* SockAddr, int LogFailure,
                               const char* Function) {
  quor_restricted_addr_t* list = nullptr;
  int count = 0;
  getTable(&list, &count);
  if (count == 0) return 1;
  if (SockAddr == nullptr) return 0;

  // An IPv4 peer on an IPv6 socket arrives mapped; the site's IPv4 entries
  // are meant for it all the same.
  struct in_addr v4 = {};
  bool haveV4 = false;
  const struct in6_addr* v6 = nullptr;
  if (SockAddr->ss_family == AF_INET) {
    v4 = reinterpret_cast<const struct sockaddr_in*>(SockAddr)->sin_addr;
    haveV4 = true;
  } else if (SockAddr->ss_family == AF_INET6) {
    v6 = &reinterpret_cast<const struct sockaddr_in6*>(SockAddr)->sin6_addr;
    if (IN6_IS_ADDR_V4MAPPED(v6)) {
      memcpy(&v4.s_addr, v6->s6_addr + 12, 4);
      haveV4 = true;
    }
  }
  for (int i = 0; i < count; i++) {
    const quor_restricted_addr_t* e = &list[i];
    if (e->addrType == AF_INET && haveV4 && matchV4(e, &v4)) return 1;
    if (e->addrType == AF_INET6 && v6 && matchV6(e, v6)) return 1;
  }
  if (LogFailure) logRefusal(SockAddr, Function);
  return 0;
}

int ozugw_SockBindToRestrictedPort(int Socket, const quor_sockaddr_t* Addr,
                                   quor_sockaddr_t* RetAddr) {
  quor_sockaddr_t local;
  quor_sockaddr_t* out = RetAddr ? RetAddr : &local;
  *out = *Addr;
  in_port_t lo = 0, hi = 0;
  quorcfgx_GetRestrictedPorts(&lo, &hi);
  int family = out->hs_addr.ss_family;
  bool inet = family == AF_INET || family == AF_INET6;

  long low = lo < hi ? lo : hi;
  long high = lo < hi ? hi : lo;
  long attempts = 1;
  long port = -1;  // -1: the port the address carries
  if (lo != 0) {
    // Every port of the range, both ends included.
    attempts = high - low + 1;
    port = low + random() % attempts;
  }
  for (; attempts > 0; attempts--) {
    if (inet && port >= 0) {
      uint16_t net = htons(static_cast<uint16_t>(port));
      if (family == AF_INET)
        reinterpret_cast<struct sockaddr_in*>(&out->hs_addr)->sin_port = net;
      else
        reinterpret_cast<struct sockaddr_in6*>(&out->hs_addr)->sin6_port = net;
    }
    if (quor_net_bind(Socket, out, nullptr, 0) == 0) return 0;
    int err = errno;
    if (err != EADDRINUSE && err != EADDRNOTAVAIL) return -err;
    if (port >= 0) port = port + 1 > high ? low : port + 1;
  }
  return -1;
}

void quorex_RestrictResetForTest(const char* hostName) {
  std::lock_guard<std::mutex> hold(tableMutex);
  free(table);
  table = nullptr;
  tableCount = 0;
  tableRead.store(false);
  testHostSet = hostName != nullptr;
  testHostName = hostName ? hostName : "";
}
