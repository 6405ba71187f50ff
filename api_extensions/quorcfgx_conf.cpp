// QUOR.conf search and parse, the network-options table and the client port
// range; see quorcfgx_prototypes.h for the contracts.
#include "quorcfgx_prototypes.h"

#include <arpa/inet.h>
#include <ctype.h>
#include <errno.h>
#include <limits.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <atomic>
#include <mutex>
#include <string>

#include "quor_convert.h"

pthread_mutex_t Cfg_Mutex;

namespace {

pthread_mutex_t netopt_Mutex;
pthread_once_t mutexOnce = PTHREAD_ONCE_INIT;
int mutexInitError = 0;

// Guarded by Cfg_Mutex; never freed once set (tests aside).
quor_cfg_stanza_t* cfgTree = nullptr;

enum { NETOPT_NOT_BUILT = 0, NETOPT_BUILT = 1, NETOPT_FAILED = 2 };
// Written under netopt_Mutex; the table is published through the count and
// read without a lock afterwards, as it never changes again.
std::atomic<int> netoptState{NETOPT_NOT_BUILT};
netopt_entry_t* netoptTable = nullptr;
std::atomic<int> netoptCount{0};

std::atomic<bool> sndbufWarned{false};
std::atomic<bool> rcvbufWarned{false};

std::mutex portMutex;
bool portsKnown = false;
in_port_t portLow = QUOR_MIN_CLIENT_PORT;
in_port_t portHigh = QUOR_MAX_CLIENT_PORT;

void quor_InitMutexes(void) {
  int rc = pthread_mutex_init(&Cfg_Mutex, nullptr);
  if (rc != 0) {
    fprintf(stderr, "***%s: error %d on pthread_mutex_init [Cfg_Mutex]\n", "quor_InitMutexes", rc);
    mutexInitError = rc;
    return;
  }
  rc = pthread_mutex_init(&netopt_Mutex, nullptr);
  if (rc != 0) {
    fprintf(stderr, "***%s: error %d on pthread_mutex_init [netopt_Mutex]\n", "quor_InitMutexes",
            rc);
    mutexInitError = rc;
  }
}

std::string trimBlanks(const std::string& s) {
  size_t b = 0;
  size_t e = s.size();
  while (b < e && isspace(static_cast<unsigned char>(s[b]))) ++b;
  while (e > b && isspace(static_cast<unsigned char>(s[e - 1]))) --e;
  return s.substr(b, e - b);
}

// Search of the directory list and the parse; Cfg_Mutex held.
quor_cfg_stanza_t* searchAndParse(char* cfgFile) {
  static const char* const FN = "quorcfgx_ConfParse";
  const char* list = getenv("QUOR_CFG_FILE_PATH");
  if (list == nullptr) list = QUOR_CFG_DEFAULT_PATH;

  std::string found;
  const char* p = list;
  for (;;) {
    const char* colon = strchr(p, ':');
    const size_t len = colon != nullptr ? static_cast<size_t>(colon - p) : strlen(p);
    const std::string path =
        trimBlanks(std::string(p, len)) + "/" + QUOR_CFG_FILE_NAME;
    struct stat st;
    if (path.size() <= QUOR_CFG_PATH_MAX && stat(path.c_str(), &st) == 0) {
      found = path;
      break;
    }
    if (colon == nullptr) break;
    p = colon + 1;
  }
  if (found.empty()) return nullptr;
  if (cfgFile != nullptr) memcpy(cfgFile, found.c_str(), found.size() + 1);

  quor_cfg_stanza_t* head = nullptr;
  int parseErr = 0;
  int errLine = 0;
  if (quor_CfgParse(found.c_str(), &head, &parseErr, &errLine) != 0) {
    fprintf(stderr, "*** %s: Warning - Error parsing config file %s at line %d\n", FN,
            found.c_str(), errLine);
    return nullptr;
  }
  if (head == nullptr) {
    fprintf(stderr, "*** %s: Warning - empty config file: %s\n", FN, found.c_str());
    return nullptr;
  }
  return head;
}

// A numeric IPv4 or IPv6 address (family AF_UNSPEC: either) into a record
// with port 0. Strict forms only, so a key such as "10" is never an address.
bool numericAddress(const char* text, int family, quor_sockaddr_t* out) {
  memset(out, 0, sizeof(*out));
  if (text == nullptr) return false;
  if (family != AF_INET6) {
    auto* sin = reinterpret_cast<struct sockaddr_in*>(&out->hs_addr);
    if (inet_pton(AF_INET, text, &sin->sin_addr) == 1) {
      sin->sin_family = AF_INET;
      out->hs_addrlen = sizeof(struct sockaddr_in);
      return true;
    }
  }
  if (family != AF_INET) {
    auto* sin6 = reinterpret_cast<struct sockaddr_in6*>(&out->hs_addr);
    if (inet_pton(AF_INET6, text, &sin6->sin6_addr) == 1) {
      sin6->sin6_family = AF_INET6;
      out->hs_addrlen = sizeof(struct sockaddr_in6);
      return true;
    }
  }
  memset(out, 0, sizeof(*out));
  return false;
}

// The mask that compares every bit of an address of `like`'s family.
void fullMask(const quor_sockaddr_t* like, quor_sockaddr_t* mask) {
  memset(mask, 0, sizeof(*mask));
  mask->hs_addr.ss_family = like->hs_addr.ss_family;
  mask->hs_addrlen = like->hs_addrlen;
  int len = 0;
  void* raw = quor_net_getinaddr(mask, nullptr, &len);
  if (raw != nullptr) memset(raw, 0xff, static_cast<size_t>(len));
}

// Sizes are applied as 4-byte integers: a negative or unparsable size is 0,
// a huge one the largest int, never a wrapped value.
unsigned int sizeValue(const char* text) {
  const int64_t v = atobytes(text);
  if (v <= 0) return 0;
  if (v > INT_MAX) return INT_MAX;
  return static_cast<unsigned int>(v);
}

// A whole int, optionally signed; false for anything else (trailing text,
// no digits, beyond int), which atoi would have read as some number.
bool intValue(const char* text, int* out) {
  errno = 0;
  char* end = nullptr;
  long v = strtol(text, &end, 10);
  if (end == text || *end != '\0' || errno == ERANGE || v < INT_MIN || v > INT_MAX) return false;
  *out = static_cast<int>(v);
  return true;
}

struct netoptDefaults {
  unsigned int SendSpace;
  unsigned int RecvSpace;
  size_t WriteSize;
};

// One host entry of a group; 0, or -1 when the whole build must fail.
int parseHostEntry(const quor_cfg_stanza_t* h, const netoptDefaults& d, netopt_entry_t* out) {
  memset(out, 0, sizeof(*out));
  out->RFC1323 = 1;
  out->SendSpace = d.SendSpace;
  out->RecvSpace = d.RecvSpace;
  out->WriteSize = d.WriteSize;

  if (h->type == CFG_FLAG_TYPE) {
    fprintf(stderr, "*** FLAG-type stanza [%s] found where IP address was expected\n",
            h->KeyString);
    return -1;
  }
  if (h->type == CFG_SIMPLE_TYPE) {
    if (!numericAddress(h->KeyValue, AF_UNSPEC, &out->IPAddr)) return -1;
    fullMask(&out->IPAddr, &out->NetMask);
    return 0;
  }

  int family = AF_UNSPEC;  // a Default entry's mask is never used
  if (strcmp(h->KeyString, "Default") == 0) {
    out->IsDefault = 1;
  } else {
    if (!numericAddress(h->KeyString, AF_UNSPEC, &out->IPAddr)) {
      fprintf(stderr, "*** Bad IP address in QUOR.conf file: [%s] \n", h->KeyString);
      return -1;
    }
    fullMask(&out->IPAddr, &out->NetMask);
    family = out->IPAddr.hs_addr.ss_family;
  }

  for (const quor_cfg_stanza_t* k = h->substanzaList; k != nullptr; k = k->next) {
    if (k->type != CFG_SIMPLE_TYPE) continue;
    const char* key = k->KeyString;
    const char* value = k->KeyValue != nullptr ? k->KeyValue : "";
    quor_sockaddr_t mask;
    int number = 0;
    if (strcmp(key, "NetMask") == 0 && numericAddress(value, family, &mask)) {
      out->NetMask = mask;
    } else if (strcmp(key, "RFC1323") == 0 && intValue(value, &number)) {
      out->RFC1323 = number;
    } else if (strcmp(key, "SendSpace") == 0) {
      out->SendSpace = sizeValue(value);
    } else if (strcmp(key, "RecvSpace") == 0) {
      out->RecvSpace = sizeValue(value);
    } else if (strcmp(key, "WriteSize") == 0) {
      out->WriteSize = sizeValue(value);
    } else if (strcmp(key, "TcpNoDelay") == 0 && intValue(value, &number)) {
      out->TcpNodelay = number;
    } else {
      fprintf(stderr, "*** Warning: Unrecognized key=value: %s=%s for IP address %s in QUOR.conf\n",
              key, value, h->KeyString);
    }
  }
  return 0;
}

// Builds the table from the tree; netopt_Mutex held. 0, or -1 with the
// table left empty.
int netopt_InitTable(quor_cfg_stanza_t* tree) {
  // No QUOR.conf at all is an ordinary site, not worth a warning (a file
  // that does not parse was warned about by the parse).
  if (tree == nullptr) return -1;
  const quor_cfg_stanza_t* section = quor_CfgFindKey(QUOR_NETOPT_SECTION, tree, 0);
  if (section == nullptr) {
    fprintf(stderr, "Warning: \"%s\" section not found in QUOR.conf file\n", QUOR_NETOPT_SECTION);
    return -1;
  }
  if (section->type != CFG_COMPOUND_TYPE || section->substanzaList == nullptr) {
    fprintf(stderr, "Warning: \"%s\" section is empty in QUOR.conf file\n", QUOR_NETOPT_SECTION);
    return -1;
  }

  netoptDefaults d = {0, 0, QUOR_DEFAULT_WRITESIZE};
  if (const char* env = getenv("QUOR_TCP_WRITESIZE")) d.WriteSize = sizeValue(env);

  netopt_entry_t* table = nullptr;
  int count = 0;
  for (const quor_cfg_stanza_t* e = section->substanzaList; e != nullptr; e = e->next) {
    if (e->type == CFG_SIMPLE_TYPE) {
      if (strcmp(e->KeyString, "Default Send Size") == 0)
        d.SendSpace = sizeValue(e->KeyValue);
      else if (strcmp(e->KeyString, "Default Receive Size") == 0)
        d.RecvSpace = sizeValue(e->KeyValue);
      else if (strcmp(e->KeyString, "Default Write Size") == 0)
        d.WriteSize = sizeValue(e->KeyValue);
      continue;
    }
    if (e->type != CFG_COMPOUND_TYPE) continue;
    for (const quor_cfg_stanza_t* h = e->substanzaList; h != nullptr; h = h->next) {
      netopt_entry_t entry;
      if (parseHostEntry(h, d, &entry) != 0) {
        free(table);
        return -1;
      }
      auto* grown = static_cast<netopt_entry_t*>(
          realloc(table, (static_cast<size_t>(count) + 1) * sizeof(netopt_entry_t)));
      if (grown == nullptr) {
        fprintf(stderr, "malloc problem in %s at line %d\n", __FILE__, __LINE__);
        free(table);
        return -1;
      }
      table = grown;
      table[count++] = entry;
    }
  }
  netoptTable = table;
  netoptCount.store(count, std::memory_order_release);
  return 0;
}

// Makes sure the table was built; 0 when lookups may walk it.
int netoptEnsureTable(void) {
  static const char* const FN = "quorcfgx_NetoptFindEntry";
  if (netoptCount.load(std::memory_order_acquire) > 0) return 0;
  // A failed build is final; looking for QUOR.conf again would only repeat
  // its warnings at every socket.
  if (netoptState.load() == NETOPT_FAILED) return -1;
  if (quorcfgx_InitMutexes(FN) != 0) return -1;
  char cfgPath[QUOR_CFG_PATH_MAX + 1];
  quor_cfg_stanza_t* tree = quorcfgx_ConfParse(cfgPath);

  int rc = pthread_mutex_lock(&netopt_Mutex);
  if (rc != 0) {
    fprintf(stderr, "*** %s: pthread_mutex_lock returned error %d\n", FN, rc);
    return -1;
  }
  int result = 0;
  if (netoptState.load() == NETOPT_FAILED) {
    result = -1;
  } else if (netoptCount.load() == 0) {
    // Marked only once known: other threads read the state without the lock.
    result = netopt_InitTable(tree);
    netoptState.store(result == 0 ? NETOPT_BUILT : NETOPT_FAILED);
  }
  rc = pthread_mutex_unlock(&netopt_Mutex);
  if (rc != 0) {
    if (result == 0)
      fprintf(stderr, "*** %s: pthread_mutex_unlock after netopt_InitTable call returned error %d\n",
              FN, rc);
    else
      fprintf(stderr,
              "*** %s: pthread_mutex_unlock after failed netopt_InitTable call returned error %d\n",
              FN, rc);
    return -1;
  }
  return result;
}

int setIntOption(int fd, int level, int option, unsigned int value, const char* levelName,
                 const char* optionName, std::atomic<bool>* warnedOnce, const char* which) {
  const int v = value > INT_MAX ? INT_MAX : static_cast<int>(value);
  if (setsockopt(fd, level, option, &v, sizeof(v)) == 0) return 0;
  const int err = errno;
  if (err == ENOBUFS && warnedOnce != nullptr) {
    if (!warnedOnce->exchange(true))
      fprintf(stderr,
              "Warning: unable to set socket %s buffer size.\n(this warning will only be issued "
              "once)\n",
              which);
  } else {
    fprintf(stderr, "Cannot setsockopt(%s,%s) socket, errno %d\n", levelName, optionName, err);
  }
  fflush(stderr);
  return -1;
}

// "%d - %d" without the undefined overflow of scanf: values beyond int are
// held at its limits.
bool readRange(const char* text, long* first, long* second) {
  char* end = nullptr;
  long a = strtol(text, &end, 10);
  if (end == text) return false;
  const char* p = end;
  while (isspace(static_cast<unsigned char>(*p))) ++p;
  if (*p != '-') return false;
  ++p;
  const char* start = p;
  long b = strtol(start, &end, 10);
  if (end == start) return false;
  if (a > INT_MAX) a = INT_MAX;
  if (a < INT_MIN) a = INT_MIN;
  if (b > INT_MAX) b = INT_MAX;
  if (b < INT_MIN) b = INT_MIN;
  *first = a;
  *second = b;
  return true;
}

// portMutex held.
void computePorts(void) {
  portLow = QUOR_MIN_CLIENT_PORT;
  portHigh = QUOR_MAX_CLIENT_PORT;
  const char* value = getenv("QUOR_PORT_RANGE");
  if (value == nullptr) value = getenv("QUOR_VELTC_PORT_RANGE");
  if (value == nullptr) value = getenv("RPC_RESTRICTED_PORTS");
  if (value == nullptr) return;

  const char* text = value;
  if (const char* proto = strstr(value, "ncacn_ip_tcp")) {
    const char* bracket = strchr(proto, '[');
    if (bracket == nullptr) return;
    text = bracket + 1;
  }
  long low = 0;
  long high = 0;
  if (!readRange(text, &low, &high) || high < low) return;
  if (low < QUOR_MIN_CLIENT_PORT) low = QUOR_MIN_CLIENT_PORT;
  if (high > QUOR_MAX_CLIENT_PORT) high = QUOR_MAX_CLIENT_PORT;
  // Clamping can leave no port at all (600-700); data sockets then could
  // never bind, so such a range counts as unreadable, which the user must
  // hear of. (Computed once per process, so said once.)
  if (low > high) {
    fprintf(stderr,
            "*** %s: Warning - client port range '%s' holds no port from %d to %d; using the "
            "whole range\n",
            "quorcfgx_GetRestrictedPorts", value, QUOR_MIN_CLIENT_PORT, QUOR_MAX_CLIENT_PORT);
    return;
  }
  portLow = static_cast<in_port_t>(low);
  portHigh = static_cast<in_port_t>(high);
}

}  // namespace

int quorcfgx_InitMutexes(const char* funcName) {
  const int rc = pthread_once(&mutexOnce, quor_InitMutexes);
  if (rc != 0) {
    fprintf(stderr, "*** %s: pthread_once returned error %d\n", funcName, rc);
    return -1;
  }
  return mutexInitError != 0 ? -1 : 0;
}

quor_cfg_stanza_t* quorcfgx_ConfParse(char* cfgFile) {
  static const char* const FN = "quorcfgx_ConfParse";
  if (cfgFile != nullptr) cfgFile[0] = '\0';
  if (quorcfgx_InitMutexes(FN) != 0) return nullptr;
  int rc = pthread_mutex_lock(&Cfg_Mutex);
  if (rc != 0) {
    fprintf(stderr, "*** %s: pthread_mutex_lock(&Cfg_Mutex) returned error %d\n", FN, rc);
    return nullptr;
  }
  if (cfgTree == nullptr) cfgTree = searchAndParse(cfgFile);
  quor_cfg_stanza_t* tree = cfgTree;
  rc = pthread_mutex_unlock(&Cfg_Mutex);
  if (rc != 0) {
    fprintf(stderr, "*** %s: pthread_mutex_unlock(&Cfg_Mutex) returned error %d\n", FN, rc);
    return nullptr;
  }
  return tree;
}

int quorcfgx_NetoptFindEntry(quor_sockaddr_t* NetAddr, netopt_entry_t** RetEntryPtr) {
  if (RetEntryPtr == nullptr) return -1;
  *RetEntryPtr = nullptr;
  if (NetAddr == nullptr) return -1;
  if (netoptEnsureTable() != 0) return -1;

  const int count = netoptCount.load(std::memory_order_acquire);
  netopt_entry_t* fallback = nullptr;
  for (int i = 0; i < count; i++) {
    netopt_entry_t* e = &netoptTable[i];
    if (e->IsDefault) {
      if (fallback == nullptr) fallback = e;
      continue;
    }
    if (quor_net_addrmatch(NetAddr, &e->NetMask, &e->IPAddr)) {
      *RetEntryPtr = e;
      return 0;
    }
  }
  if (fallback == nullptr) return -1;
  *RetEntryPtr = fallback;
  return 0;
}

int quorcfgx_NetoptSetSock(int Fd, quor_sockaddr_t* NetAddress) {
  quor_sockaddr_t peer;
  quor_sockaddr_t* addr = NetAddress;
  if (addr == nullptr) {
    if (quor_net_getpeername(Fd, &peer, nullptr, 0) != 0) return -1;
    addr = &peer;
  }
  netopt_entry_t* e = nullptr;
  if (quorcfgx_NetoptFindEntry(addr, &e) != 0) return -1;
  if (Fd < 0) return 0;

  if (setIntOption(Fd, SOL_SOCKET, SO_SNDBUF, e->SendSpace, "SOL_SOCKET", "SO_SNDBUF",
                   &sndbufWarned, "send") != 0)
    return -1;
  if (setIntOption(Fd, SOL_SOCKET, SO_RCVBUF, e->RecvSpace, "SOL_SOCKET", "SO_RCVBUF",
                   &rcvbufWarned, "receive") != 0)
    return -1;
  const unsigned int nodelay = static_cast<unsigned int>(e->TcpNodelay);
  if (setIntOption(Fd, IPPROTO_TCP, TCP_NODELAY, nodelay, "IPPROTO_TCP", "TCP_NODELAY", nullptr,
                   nullptr) != 0)
    return -1;
  return 0;
}

int quorcfgx_NetoptGetWriteSize(int SocketDescriptor, quor_sockaddr_t* IpAddr) {
  quor_sockaddr_t local;
  quor_sockaddr_t* addr = IpAddr;
  if (addr == nullptr) {
    if (quor_net_getsockname(SocketDescriptor, &local, nullptr, 0) != 0)
      return errno != 0 ? -errno : -EINVAL;
    addr = &local;
  }
  netopt_entry_t* e = nullptr;
  if (quorcfgx_NetoptFindEntry(addr, &e) != 0 || e->WriteSize == 0)
    return QUOR_DEFAULT_WRITESIZE;
  return static_cast<int>(e->WriteSize);
}

void quorcfgx_GetRestrictedPorts(in_port_t* minPort, in_port_t* maxPort) {
  in_port_t low;
  in_port_t high;
  {
    std::lock_guard<std::mutex> hold(portMutex);
    if (!portsKnown) {
      computePorts();
      portsKnown = true;
    }
    low = portLow;
    high = portHigh;
  }
  if (minPort != nullptr) *minPort = low;
  if (maxPort != nullptr) *maxPort = high;
}

void quorcfgx_ResetForTest(void) {
  quorcfgx_ClientIfResetForTest();
  if (quorcfgx_InitMutexes("quorcfgx_ResetForTest") == 0) {
    pthread_mutex_lock(&Cfg_Mutex);
    quor_CfgFree(cfgTree);
    cfgTree = nullptr;
    pthread_mutex_unlock(&Cfg_Mutex);

    pthread_mutex_lock(&netopt_Mutex);
    netoptCount.store(0);
    free(netoptTable);
    netoptTable = nullptr;
    netoptState.store(NETOPT_NOT_BUILT);
    pthread_mutex_unlock(&netopt_Mutex);
  }
  sndbufWarned.store(false);
  rcvbufWarned.store(false);
  std::lock_guard<std::mutex> hold(portMutex);
  portsKnown = false;
}
