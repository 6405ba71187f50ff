// Library start-up (once per process), thread contexts and the server list.
#include <ctype.h>
#include <errno.h>
#include <netdb.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <string>

#include "quor_api_internal.h"
#include "quorcfgx_prototypes.h"

pthread_mutex_t threadlist_lock = PTHREAD_MUTEX_INITIALIZER;
pthread_mutex_t qelapi_connection_lock = PTHREAD_MUTEX_INITIALIZER;
pthread_mutex_t qelapi_requestID_lock = PTHREAD_MUTEX_INITIALIZER;
pthread_mutex_t qelapi_FileLock = PTHREAD_MUTEX_INITIALIZER;
qelapi_tcontext_t* thread_list = nullptr;
char qelapi_API_Hostname[65];
char qelapi_API_CtlHostname[65];
quor_sockaddr_t qelapi_tcp_data_host, qelapi_tcp_ctl_host;
int min_socket_port, max_socket_port;
int init_server_handle = -1;

namespace {

std::atomic<bool> libinit_done{false};
int libinit_result = 0;
std::mutex libinit_mutex;
// Set while this thread runs the start-up: connection set-up calls back in.
thread_local bool libinit_running = false;

// A site's gateway host; QUOR_SERVER_HOST normally names the real one.
const char kDefaultServerList[] = "quorgw/1217";

bool isSpace(char c) { return isspace(static_cast<unsigned char>(c)) != 0; }

// Fills the data or control host address; prints the start-up failure text.
int resolveLocal(const char* name, quor_sockaddr_t* addr, const char* what) {
  char errbuf[256] = "";
  int rc = quor_net_getaddrinfo(name, nullptr, 0, QUOR_IPPROTO_TCP, addr, errbuf, sizeof errbuf);
  if (rc == 0) return 0;
  int shown = rc == -11 ? -errno : rc;
  fprintf(stderr, "*** %s: Error %d getting address for %s '%s' %s\n", "qel_LibInit", shown, what,
          name, errbuf);
  return -abs(shown);
}

// Decimal digits up to 65535 (0: the default port), else -1.
int readPort(const char* text) {
  if (*text == '\0') return -1;
  long v = 0;
  for (const char* p = text; *p; p++) {
    if (!isdigit(static_cast<unsigned char>(*p))) return -1;
    v = v * 10 + (*p - '0');
    if (v > 65535) return -1;
  }
  return static_cast<int>(v);
}

// Sets up one connection per server-list entry; stops at the first entry
// that cannot be set up. Returns how many were set up.
int setupServerList(const char* list) {
  std::string copy(list);
  char* p = copy.data();
  int count = 0;
  for (;;) {
    while (*p && isSpace(*p)) p++;
    if (*p == '\0') break;
    char* host = p;
    while (*p && !isSpace(*p) && *p != ',' && *p != ';' && *p != '/') p++;
    char sep = *p;
    if (*p) *p++ = '\0';
    // White space after the host may hide the separator.
    if (isSpace(sep)) {
      while (*p && isSpace(*p)) p++;
      sep = *p;
      if (sep == ',' || sep == '/' || sep == ';') p++;
    }
    const char* service = nullptr;
    int port = -1;
    if (sep == ',') {
      while (*p && isSpace(*p)) p++;
      service = p;
      while (*p && !isSpace(*p) && *p != '/' && *p != ';') p++;
      sep = *p;
      if (*p) *p++ = '\0';
      if (isSpace(sep)) {
        while (*p && isSpace(*p)) p++;
        sep = *p;
        if (sep == '/' || sep == ';') p++;
      }
    }
    if (sep == '/') {
      while (*p && isSpace(*p)) p++;
      const char* num = p;
      while (*p && !isSpace(*p) && *p != ';') p++;
      sep = *p;
      if (*p) *p++ = '\0';
      // A port that is no number, or above 65535, would wrap to another
      // port: the entry cannot be set up.
      port = readPort(num);
      if (port < 0) {
        fprintf(stderr, "*** qel_LibInit: bad port '%s' for server %s\n", num, host);
        break;
      }
      if (isSpace(sep)) {
        while (*p && isSpace(*p)) p++;
        sep = *p;
        if (sep == ';') p++;
      }
    }
    int handle = -1;
    if (quorex_SetupConnection(host, service, port, min_socket_port, max_socket_port, &handle) !=
        0)
      break;
    count++;
    if (sep == '\0') break;
  }
  return count;
}

int libInitOnce() {
  qelapi_logging_init();
  qel_create_locks();
  srandom(static_cast<unsigned>(time(nullptr) ^ getpid()));

  in_port_t lo = 0, hi = 0;
  quorcfgx_GetRestrictedPorts(&lo, &hi);
  min_socket_port = lo;
  max_socket_port = hi;

  if (getenv("QUOR_NET_FAMILY") == nullptr) setenv("QUOR_NET_FAMILY", "ipv4_only", 1);

  const char* envHost = getenv("QUOR_HOSTNAME");
  if (envHost != nullptr) {
    snprintf(qelapi_API_Hostname, sizeof qelapi_API_Hostname, "%.64s", envHost);
  } else {
    char name[65] = "";
    int rc;
    while ((rc = gethostname(name, sizeof name)) != 0 &&
           (errno == EINTR || errno == EAGAIN || errno == EBUSY)) {
    }
    if (rc != 0) {
      int err = errno;
      QEL_LOG(3, "%s: Error %d on gethostname() call", "qel_LibInit", err);
      return -err;
    }
    name[64] = '\0';
    snprintf(qelapi_API_Hostname, sizeof qelapi_API_Hostname, "%s", name);
  }
  int rc = resolveLocal(qelapi_API_Hostname, &qelapi_tcp_data_host, "local host");
  if (rc != 0) return rc;

  const char* ctl = getenv("QUOR_CTL_HOSTNAME");
  if (ctl != nullptr) {
    snprintf(qelapi_API_CtlHostname, sizeof qelapi_API_CtlHostname, "%.64s", ctl);
    rc = resolveLocal(qelapi_API_CtlHostname, &qelapi_tcp_ctl_host, "QUOR_CTL_HOSTNAME");
    if (rc != 0) return rc;
  } else {
    memcpy(qelapi_API_CtlHostname, qelapi_API_Hostname, sizeof qelapi_API_CtlHostname);
    qelapi_tcp_ctl_host = qelapi_tcp_data_host;
  }

  const char* list = getenv("QUOR_SERVER_HOST");
  int count = setupServerList(list ? list : kDefaultServerList);
  if (count == 0) {
    fprintf(stderr, "*** qel_LibInit: unable to setup connection to any server\n");
    return -1;
  }
  // The records set up just now are the first `count` in the table.
  int pick = static_cast<int>(time(nullptr) % count);
  pthread_mutex_lock(&qelapi_connection_lock);
  quor_connection_t* c = qelapi_connection_list;
  for (int i = 0; i < pick && c; i++) c = c->next;
  int handle = c ? c->handle : -1;
  pthread_mutex_unlock(&qelapi_connection_lock);
  quorex_SetCurConnection(handle, nullptr);
  init_server_handle = handle;
  return 0;
}

}  // namespace

void qel_create_locks(void) {
  // The mutexes are statically initialised; nothing is left to create.
}

int qel_LibInit(void) {
  if (libinit_done) return libinit_result;
  if (libinit_running) return 0;
  // A second thread arriving during start-up waits for its result.
  std::lock_guard<std::mutex> guard(libinit_mutex);
  if (!libinit_done) {
    libinit_running = true;
    libinit_result = libInitOnce();
    libinit_running = false;
    libinit_done = true;
  }
  return libinit_result;
}

qelapi_tcontext_t* qelapi_LookupThreadstate(pthread_t theThreadID) {
  pthread_mutex_lock(&threadlist_lock);
  qelapi_tcontext_t* t = thread_list;
  while (t && !pthread_equal(t->threadID, theThreadID)) t = t->next;
  pthread_mutex_unlock(&threadlist_lock);
  return t;
}

qelapi_tcontext_t* qel_InitNewThreadContext(void) {
  auto* t = new (std::nothrow) qelapi_tcontext_t();
  if (t == nullptr) return nullptr;
  t->threadID = pthread_self();
  t->msgRequestID = 0;
  t->msgConnection = nullptr;
  qelapi_BindThreadCurrent(t);
  pthread_mutex_lock(&threadlist_lock);
  t->next = thread_list;
  thread_list = t;
  pthread_mutex_unlock(&threadlist_lock);
  return t;
}

qelapi_tcontext_t* qelapi_GetThreadContext(void) {
  // Found once per thread; a new thread with a finished one's id still
  // finds and reuses that context through the registry.
  thread_local qelapi_tcontext_t* mine = nullptr;
  if (mine != nullptr) return mine;
  qelapi_tcontext_t* t = qelapi_LookupThreadstate(pthread_self());
  mine = t ? t : qel_InitNewThreadContext();
  return mine;
}

namespace {

std::atomic<qelapi_reopen_hook_t> reopenHook{nullptr};
thread_local bool inReopenHook = false;

}  // namespace

void qelapi_SetReopenHook(qelapi_reopen_hook_t Hook) { reopenHook = Hook; }

int qelapi_init(qelapi_tcontext_t** thread_state) {
  int rc = qel_LibInit();
  if (rc < 0) return rc;
  qelapi_tcontext_t* t = qelapi_GetThreadContext();
  *thread_state = t;
  if (t == nullptr) return -12;
  quor_connection_t* cur = qelapi_BindThreadCurrent(t);
  // An open in progress (on another thread) is waited for, not repeated;
  // the opener's own calls go on.
  if (qelapi_AwaitOpen(cur)) return 0;
  cur = qelapi_BindThreadCurrent(t);
  if (cur != nullptr && cur->state == CONNECTION_OPEN && !cur->broken) return 0;
  // Opening a held connection here would make it everybody's current one
  // (or open the start-up one in its place): only the current one is.
  if (t->pinned != nullptr && t->pinned != qelapi_cur_connection.load()) {
    QEL_LOG(3, "*** %s: held connection %d is not open\n", "qelapi_init", t->pinned->handle);
    return -50;
  }
  // A broken connection is opened again; without a current connection, or
  // with a closed one, the start-up connection is opened.
  bool reopening = cur != nullptr && cur->state == CONNECTION_OPEN;
  int handle = reopening ? cur->handle : init_server_handle;
  rc = quorex_OpenConnection(handle);
  // Another thread may have opened it meanwhile (and tells the program).
  bool opened = rc == 0;
  if (rc == -16) rc = 0;
  cur = qelapi_BindThreadCurrent(t);
  if (rc == 0 && cur != nullptr && cur->state == CONNECTION_OPEN && !cur->broken) {
    // The new session has none of the old one's state: the program puts
    // back what it keeps, once, and not from within its own putting back.
    qelapi_reopen_hook_t hook = reopenHook;
    if (opened && reopening && hook != nullptr && !inReopenHook) {
      inReopenHook = true;
      hook(handle);
      inReopenHook = false;
    }
    return 0;
  }
  if (rc == 0) rc = -50;
  fprintf(stderr, "result = %d, errno = %d\n", rc, errno);
  fprintf(stderr, "Unable to setup communication to QUOR...\n");
  return -50;
}
