// Local interfaces for data traffic from the "VELT Client Interfaces"
// section of QUOR.conf; see quorcfgx_prototypes.h for the contract.
#include <ctype.h>
#include <errno.h>
#include <ifaddrs.h>
#include <limits.h>
#include <net/if.h>
#include <netdb.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <new>
#include <string>
#include <vector>

#include "quor_match.h"
#include "quorcfgx_prototypes.h"

namespace {

const char* const FN = "quorcfgx_ConfGetClientInterfaces";

// Taken inside Cfg_Mutex for the one-time section checks.
pthread_mutex_t clientIfCheckMutex = PTHREAD_MUTEX_INITIALIZER;

// All of the following are guarded by Cfg_Mutex.
bool sectionLooked = false;
quor_cfg_stanza_t* sectionEntry = nullptr;
bool checksDone = false;
bool sectionUsable = false;
quor_cfg_stanza_t* localHostStanza = nullptr;
quor_cfg_stanza_t* defaultStanza = nullptr;
std::vector<nic_info_t> nicTable;

bool testTableSet = false;
std::vector<nic_info_t> testTable;
bool testHostSet = false;
std::string testHostName;

// An MTU condition: lo <= mtu <= hi.
struct mtuRange {
  unsigned long lo;
  unsigned long hi;
};

// The addresses (and names) collected so far, malloc'ed for the caller.
struct nicList {
  int count = 0;
  quor_sockaddr_t* addrs = nullptr;
  char** names = nullptr;
  bool wantNames = false;
};

std::string trimBlanks(const std::string& s) {
  size_t b = 0;
  size_t e = s.size();
  while (b < e && isspace(static_cast<unsigned char>(s[b]))) ++b;
  while (e > b && isspace(static_cast<unsigned char>(s[e - 1]))) --e;
  return s.substr(b, e - b);
}

// Grows the arrays by one; 0 or -12 with the earlier entries kept.
int appendNic(nicList* out, const nic_info_t& nic) {
  const size_t n = static_cast<size_t>(out->count);
  auto* addrs = static_cast<quor_sockaddr_t*>(realloc(out->addrs, (n + 1) * sizeof(quor_sockaddr_t)));
  if (addrs == nullptr) return -12;
  out->addrs = addrs;
  addrs[n] = nic.ifAddress;
  if (out->wantNames) {
    char* name = strdup(nic.ifName);
    if (name == nullptr) return -12;
    auto* names = static_cast<char**>(realloc(out->names, (n + 1) * sizeof(char*)));
    if (names == nullptr) {
      free(name);
      return -12;
    }
    out->names = names;
    names[n] = name;
  }
  out->count++;
  return 0;
}

// getifaddrs under the family policy. Leaves the table empty on failure.
void buildNicTable(void) {
  nicTable.clear();
  if (testTableSet) {
    nicTable = testTable;
    return;
  }
  const int policy = quor_net_get_family_option(nullptr, 0);
  int family;
  if (policy == QUOR_NET_FAMILY_IPV4_ONLY)
    family = AF_INET;
  else if (policy == QUOR_NET_FAMILY_IPV6 || policy == QUOR_NET_FAMILY_IPV6_ONLY)
    family = AF_INET6;
  else
    return;

  const int sock = socket(family, SOCK_DGRAM, 0);
  if (sock < 0) return;
  struct ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) {
    close(sock);
    return;
  }
  try {
    for (const struct ifaddrs* ifa = list; ifa != nullptr; ifa = ifa->ifa_next) {
      if (ifa->ifa_addr == nullptr || ifa->ifa_name == nullptr) continue;
      if ((ifa->ifa_flags & IFF_UP) == 0 || (ifa->ifa_flags & IFF_LOOPBACK) != 0) continue;
      const int af = ifa->ifa_addr->sa_family;
      if (af == AF_INET && policy == QUOR_NET_FAMILY_IPV6_ONLY) continue;
      if (af == AF_INET6 && policy == QUOR_NET_FAMILY_IPV4_ONLY) continue;
      if (af != AF_INET && af != AF_INET6) continue;

      nic_info_t nic;
      memset(&nic, 0, sizeof(nic));
      snprintf(nic.ifName, sizeof(nic.ifName), "%s", ifa->ifa_name);
      nic.ifAddress.hs_addrlen =
          af == AF_INET ? sizeof(struct sockaddr_in) : sizeof(struct sockaddr_in6);
      memcpy(&nic.ifAddress.hs_addr, ifa->ifa_addr, nic.ifAddress.hs_addrlen);
      nic.ifFlags = ifa->ifa_flags;

      struct ifreq ifr;
      memset(&ifr, 0, sizeof(ifr));
      snprintf(ifr.ifr_name, sizeof(ifr.ifr_name), "%s", ifa->ifa_name);
      if (ioctl(sock, SIOCGIFMTU, &ifr) == 0 && ifr.ifr_mtu > 0)
        nic.mtu = static_cast<unsigned long>(ifr.ifr_mtu);

      char host[NI_MAXHOST];
      if (getnameinfo(ifa->ifa_addr, nic.ifAddress.hs_addrlen, host, sizeof(host), nullptr, 0,
                      NI_NUMERICHOST) == 0)
        memcpy(nic.dotAddress, host, strnlen(host, sizeof(nic.dotAddress) - 1));
      nicTable.push_back(nic);
    }
  } catch (const std::bad_alloc&) {
    nicTable.clear();
  }
  freeifaddrs(list);
  close(sock);
}

// The MTU forms N, +N, -N and N - M; false for a value to be ignored.
bool readDecimal(const char*& p, unsigned long* out) {
  if (!isdigit(static_cast<unsigned char>(*p))) return false;
  unsigned long n = 0;
  for (; isdigit(static_cast<unsigned char>(*p)); ++p) {
    const unsigned long d = static_cast<unsigned long>(*p - '0');
    if (n > (ULONG_MAX - d) / 10) return false;
    n = n * 10 + d;
  }
  *out = n;
  return true;
}

bool parseMtu(const char* value, mtuRange* r) {
  if (value == nullptr) return false;
  const char* p = value;
  unsigned long n = 0;
  if (*p == '+' || *p == '-') {
    const char sign = *p++;
    if (!readDecimal(p, &n) || n == 0) return false;
    r->lo = sign == '+' ? n : 0;
    r->hi = sign == '+' ? ULONG_MAX : n;
    return true;
  }
  if (!readDecimal(p, &n) || n == 0) return false;
  r->lo = r->hi = n;
  while (isspace(static_cast<unsigned char>(*p))) ++p;
  if (*p != '-') return true;
  ++p;
  while (isspace(static_cast<unsigned char>(*p))) ++p;
  if (!isdigit(static_cast<unsigned char>(*p))) return true;
  unsigned long m = 0;
  if (!readDecimal(p, &m) || m == 0) return false;
  r->lo = n < m ? n : m;
  r->hi = n < m ? m : n;
  return true;
}

void lookupNicsByPattern(const char* pattern, nicList* out) {
  for (const nic_info_t& nic : nicTable) {
    int patternError = 0;
    if (!quorcfgx_PatternMatch(nic.ifName, pattern, &patternError)) continue;
    if (appendNic(out, nic) != 0) {
      fprintf(stderr, "%s: error adding NIC [%s] to internal table\n", "lookupNicsByPattern",
              nic.ifName);
      return;
    }
  }
}

void lookupNicsByMtu(const mtuRange& r, nicList* out) {
  for (const nic_info_t& nic : nicTable) {
    if (nic.mtu < r.lo || nic.mtu > r.hi) continue;
    if (appendNic(out, nic) != 0) {
      fprintf(stderr, "%s: error adding NIC [%s] to internal table\n", "lookupNicsByMtu",
              nic.ifName);
      return;
    }
  }
}

// A level-3 flag entry: an address with an optional mask, or a name pattern.
void flagEntry(const quor_cfg_stanza_t* e, const quor_cfg_stanza_t* client,
               const quor_cfg_stanza_t* server, nicList* out) {
  const std::string key = e->KeyString;
  const size_t slash = key.find('/');
  const std::string addrText = trimBlanks(key.substr(0, slash));
  quor_sockaddr_t addr;
  char errbuf[256];
  if (addrText.empty() || quor_net_getaddrinfo(addrText.c_str(), nullptr, AI_NUMERICHOST, 0,
                                               &addr, errbuf, sizeof(errbuf)) != 0) {
    lookupNicsByPattern(e->KeyString, out);
    return;
  }

  quor_sockaddr_t mask;
  const quor_sockaddr_t* maskp = nullptr;  // full mask
  if (slash != std::string::npos) {
    const std::string maskText = trimBlanks(key.substr(slash + 1));
    if (!maskText.empty() &&
        quor_net_getaddrinfo(maskText.c_str(), nullptr, AI_NUMERICHOST, 0, &mask, errbuf,
                             sizeof(errbuf)) == 0 &&
        mask.hs_addr.ss_family == addr.hs_addr.ss_family) {
      maskp = &mask;
    } else {
      fprintf(stderr,
              "Warning (%s): QUOR.conf %s section, client %s,server %s,line %d: bad netmask: "
              "%s\n",
              FN, QUOR_CLIENTIF_SECTION, client->KeyString, server->KeyString,
              static_cast<int>(e->LineNum), maskText.c_str());
    }
  }
  for (const nic_info_t& nic : nicTable) {
    if (quor_net_addrmatch(&nic.ifAddress, maskp, &addr)) {
      if (appendNic(out, nic) != 0)
        fprintf(stderr, "%s: error adding NIC [%s] to internal table\n", FN, nic.ifName);
      return;
    }
  }
  fprintf(stderr, "Warning (%s): QUOR.conf %s section, client %s,server %s, no such local NIC: %s\n",
          FN, QUOR_CLIENTIF_SECTION, client->KeyString, server->KeyString, e->KeyString);
}

// The section checks and cached stanzas; Cfg_Mutex held.
void firstCallChecks(void) {
  pthread_mutex_lock(&clientIfCheckMutex);
  if (!checksDone) {
    sectionUsable = false;
    localHostStanza = nullptr;
    defaultStanza = nullptr;
    if (sectionEntry->type != CFG_COMPOUND_TYPE) {
      fprintf(stderr, "(%s) WARNING: QUOR.conf error. \"%s\" section is not a compound-type stanza\n",
              FN, QUOR_CLIENTIF_SECTION);
    } else if (sectionEntry->substanzaList == nullptr) {
      fprintf(stderr, "(%s) WARNING: QUOR.conf error. \"%s\" section is empty\n", FN,
              QUOR_CLIENTIF_SECTION);
    } else {
      sectionUsable = true;
      std::string local;
      if (testHostSet) {
        local = testHostName;
      } else {
        char name[HOST_NAME_MAX + 1];
        if (gethostname(name, sizeof(name)) == 0) {
          name[sizeof(name) - 1] = '\0';
          local = name;
        } else {
          fprintf(stderr, "*** [%s]Error %d getting local hostname\n", FN, errno);
        }
      }
      if (!local.empty())
        localHostStanza = quorcfgx_LookupHostName(sectionEntry->substanzaList, local.c_str());
      defaultStanza = quor_CfgFindKey("Default", sectionEntry->substanzaList, 0);
    }
    checksDone = true;
  }
  pthread_mutex_unlock(&clientIfCheckMutex);
}

// Cfg_Mutex held.
int collectLocked(quor_cfg_stanza_t* tree, const char* hostName, const char* serverName,
                  nicList* out) {
  if (!sectionLooked) {
    sectionEntry = quor_CfgFindKey(QUOR_CLIENTIF_SECTION, tree, 0);
    sectionLooked = true;
  }
  if (sectionEntry == nullptr) return -2;
  if (!checksDone) firstCallChecks();
  if (!sectionUsable) return -2;

  const quor_cfg_stanza_t* client =
      hostName != nullptr ? quorcfgx_LookupHostName(sectionEntry->substanzaList, hostName)
                          : localHostStanza;
  if (client == nullptr) client = defaultStanza;
  if (client == nullptr) return -2;
  if (client->type != CFG_COMPOUND_TYPE) {
    fprintf(stderr,
            "(%s) WARNING: QUOR.conf error. \"%s\" client section is not a compound-type stanza\n",
            FN, client->KeyString);
    return -2;
  }
  if (client->substanzaList == nullptr) {
    fprintf(stderr, "(%s) WARNING: QUOR.conf - empty local client interface section for \"%s\"\n",
            FN, client->KeyString);
    return -2;
  }

  const quor_cfg_stanza_t* server = nullptr;
  if (serverName != nullptr) server = quorcfgx_LookupHostName(client->substanzaList, serverName);
  if (server == nullptr) server = quorcfgx_LookupHostName(client->substanzaList, "Default");
  if (server == nullptr) return -2;
  if (server->type != CFG_COMPOUND_TYPE) {
    fprintf(stderr,
            "(%s) WARNING: QUOR.conf error. client \"%s\", server \"%s\" section is not a "
            "compound-type stanza\n",
            FN, client->KeyString, server->KeyString);
    return -2;
  }
  if (server->substanzaList == nullptr) {
    fprintf(stderr,
            "(%s) WARNING: QUOR.conf - empty local server interface section for client "
            "\"%s\".server \"%s\"\n",
            FN, client->KeyString, server->KeyString);
    return -2;
  }

  // Another machine's stanza (or "Default") names interfaces that are not
  // ours to resolve.
  if (client != localHostStanza) return 0;

  if (nicTable.empty()) buildNicTable();
  for (const quor_cfg_stanza_t* e = server->substanzaList; e != nullptr; e = e->next) {
    if (e->type == CFG_FLAG_TYPE) {
      flagEntry(e, client, server, out);
    } else if (e->type == CFG_COMPOUND_TYPE && strcmp(e->KeyString, "attr") == 0) {
      for (const quor_cfg_stanza_t* a = e->substanzaList; a != nullptr; a = a->next) {
        mtuRange r;
        if (a->type == CFG_SIMPLE_TYPE && strcmp(a->KeyString, "mtu") == 0 &&
            parseMtu(a->KeyValue, &r))
          lookupNicsByMtu(r, out);
      }
    }
  }
  return 0;
}

}  // namespace

int quorcfgx_ConfGetClientInterfaces(const char* hostName, const char* serverName,
                                     int* nwIfCount, quor_sockaddr_t** nwIfList,
                                     char*** nwIfNames) {
  nicList out;
  out.wantNames = nwIfNames != nullptr;
  int result = -14;
  if (nwIfCount != nullptr) {
    char cfgPath[QUOR_CFG_PATH_MAX + 1];
    quor_cfg_stanza_t* tree = quorcfgx_ConfParse(cfgPath);
    result = -2;
    if (tree != nullptr) {
      const int rc = pthread_mutex_lock(&Cfg_Mutex);
      if (rc != 0) {
        fprintf(stderr, "*** %s: pthread_mutex_lock(&Cfg_Mutex) returned error %d\n", FN, rc);
      } else {
        result = collectLocked(tree, hostName, serverName, &out);
        pthread_mutex_unlock(&Cfg_Mutex);
      }
    }
    *nwIfCount = out.count;
  }
  if (out.count == 0) {
    free(out.addrs);
    out.addrs = nullptr;
    free(out.names);
    out.names = nullptr;
  }
  if (nwIfList != nullptr) {
    *nwIfList = out.addrs;
  } else {
    free(out.addrs);
  }
  if (nwIfNames != nullptr) *nwIfNames = out.names;
  return result;
}

void quorcfgx_ClientIfResetForTest(void) {
  if (quorcfgx_InitMutexes("quorcfgx_ClientIfResetForTest") != 0) return;
  pthread_mutex_lock(&Cfg_Mutex);
  sectionLooked = false;
  sectionEntry = nullptr;
  checksDone = false;
  sectionUsable = false;
  localHostStanza = nullptr;
  defaultStanza = nullptr;
  nicTable.clear();
  pthread_mutex_unlock(&Cfg_Mutex);
}

void quorcfgx_SetLocalInterfacesForTest(const nic_info_t* table, int count,
                                        const char* hostName) {
  if (quorcfgx_InitMutexes("quorcfgx_SetLocalInterfacesForTest") != 0) return;
  pthread_mutex_lock(&Cfg_Mutex);
  testTableSet = table != nullptr;
  testTable.clear();
  if (table != nullptr && count > 0) testTable.assign(table, table + count);
  testHostSet = hostName != nullptr;
  testHostName = hostName != nullptr ? hostName : "";
  nicTable.clear();
  checksDone = false;
  pthread_mutex_unlock(&Cfg_Mutex);
}
