// gwsim: the gateway simulator that the client's end-to-end tests run
// against. Listens on a loopback port, serves every connection on a thread
// of its own, and stops cleanly on SIGTERM or SIGINT, joining every thread
// and releasing everything.
//
//   gwsim --config FILE [--port N] [--journal FILE] [--root DIR] [--lfx-root DIR]
//
// Prints "gwsim listening on port N" on standard output once it accepts
// connections. Exit status: 0 after a signal, 2 for bad arguments or
// configuration, 1 when the socket cannot be set up.
#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "config.h"
#include "config_values.h"
#include "dispatch.h"
#include "framing.h"
#include "journal.h"
#include "lfx.h"
#include "store.h"
#include "qel_crypto.h"

// One accepted connection and the thread serving it. The descriptor is
// closed only after the thread is joined, so shutting it down from the main
// thread never hits a reused descriptor.
typedef struct gw_client {
  gw_conn_t conn;
  std::thread thread;
  std::atomic<int> done;
} gw_client_t;

static volatile sig_atomic_t stop_requested;

static void on_stop_signal(int) { stop_requested = 1; }

static void usage(FILE* out) {
  fprintf(out,
          "usage: gwsim --config FILE [--port N] [--journal FILE] [--root DIR]\n"
          "             [--lfx-root DIR]\n"
          "       gwsim --help\n"
          "\n"
          "  --config FILE   users, site, namespace, fault rules (gwsim/README.md)\n"
          "  --port N        loopback port to listen on; 0 (the default) picks one\n"
          "  --journal FILE  one line per request and connection event\n"
          "  --root DIR      the storage namespace, with its database in DIR.db\n"
          "  --lfx-root DIR  the gateway host's file system served through lfx\n"
          "\n"
          "Prints \"gwsim listening on port N\" once it accepts connections and\n"
          "serves until SIGTERM or SIGINT (kill PID, or Ctrl-C); exit status 0\n"
          "then, 2 for bad arguments or configuration, 1 when it cannot listen.\n");
}

static void serve_client(gw_client_t* c) {
  gw_ServeConnection(&c->conn);
  c->done.store(1);
}

static void release_client(gw_client_t* c) {
  if (c->thread.joinable()) c->thread.join();
  gw_ReaderFree(c->conn.reader);
  c->conn.reader = nullptr;
  if (!c->conn.sessionKey.empty()) memset(c->conn.sessionKey.data(), 0, c->conn.sessionKey.size());
  close(c->conn.fd);
}

// Joins and releases the clients whose threads have finished.
static void reap_clients(std::vector<std::unique_ptr<gw_client_t>>* clients) {
  for (size_t i = 0; i < clients->size();) {
    if ((*clients)[i]->done.load()) {
      release_client((*clients)[i].get());
      clients->erase(clients->begin() + long(i));
    } else {
      i++;
    }
  }
}

static int open_listener(int port, int* boundPort) {
  // Non-blocking, so that an accept after a back-off never waits.
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return -errno;
  int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  struct sockaddr_in sa;
  memset(&sa, 0, sizeof sa);
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  sa.sin_port = htons(uint16_t(port));
  socklen_t len = sizeof sa;
  if (bind(fd, reinterpret_cast<struct sockaddr*>(&sa), sizeof sa) < 0 || listen(fd, 128) < 0 ||
      getsockname(fd, reinterpret_cast<struct sockaddr*>(&sa), &len) < 0) {
    int e = errno;
    close(fd);
    return -e;
  }
  *boundPort = ntohs(sa.sin_port);
  return fd;
}

// Accepts until a stop signal. Signals are blocked except inside ppoll, so
// they interrupt only the wait and never a connection thread.
static void accept_loop(int lfd, gw_config_t* cfg, const sigset_t* waitMask) {
  std::vector<std::unique_ptr<gw_client_t>> clients;
  int count = 0;
  long backoffMs = 0;  // while accept fails for want of resources
  while (!stop_requested) {
    struct pollfd pfd = {lfd, POLLIN, 0};
    // A connection that cannot be accepted stays readable: instead of
    // polling it again at once, wait without it until resources may be back.
    long waitMs = backoffMs ? backoffMs : 200;
    struct timespec tick = {waitMs / 1000, (waitMs % 1000) * 1000 * 1000};
    int n = ppoll(&pfd, backoffMs ? 0 : 1, &tick, waitMask);
    reap_clients(&clients);
    if (backoffMs) n = 1, pfd.revents = POLLIN;
    if (n <= 0 || !(pfd.revents & POLLIN)) continue;
    int fd = accept4(lfd, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) {
      if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
        if (!backoffMs) gw_JournalLine("accept-failed errno=%d", errno);
        backoffMs = backoffMs ? std::min(backoffMs * 2, 1000L) : 10;
      } else {
        backoffMs = 0;
      }
      continue;
    }
    backoffMs = 0;
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    std::unique_ptr<gw_client_t> c(new gw_client_t());
    gw_ConnInit(&c->conn, cfg, ++count, fd);
    c->conn.reader = gw_ReaderCreate(fd);
    c->done.store(0);
    if (!c->conn.reader) {
      close(fd);
      continue;
    }
    gw_client_t* raw = c.get();
    try {
      c->thread = std::thread(serve_client, raw);
    } catch (const std::system_error&) {
      // No thread to be had: refuse this client, keep serving the others.
      gw_ReaderFree(c->conn.reader);
      close(fd);
      continue;
    }
    clients.push_back(std::move(c));
  }
  for (auto& c : clients) shutdown(c->conn.fd, SHUT_RDWR);
  for (auto& c : clients) release_client(c.get());
}

int main(int argc, char** argv) {
  const char* cfgPath = nullptr;
  const char* journal = nullptr;
  const char* root = nullptr;
  const char* lfxRoot = nullptr;
  int port = 0;
  for (int i = 1; i < argc; i++) {
    std::string a = argv[i];
    if (a == "--help" || a == "-h") {
      usage(stdout);
      return 0;
    }
    if (i + 1 >= argc) {
      usage(stderr);
      return 2;
    }
    if (a == "--config") {
      cfgPath = argv[++i];
    } else if (a == "--journal") {
      journal = argv[++i];
    } else if (a == "--root") {
      root = argv[++i];
    } else if (a == "--lfx-root") {
      lfxRoot = argv[++i];
    } else if (a == "--port") {
      int64_t v;
      if (gw_ParseNumber(argv[++i], 0, 65535, &v) < 0) {
        usage(stderr);
        return 2;
      }
      port = int(v);
    } else {
      usage(stderr);
      return 2;
    }
  }
  if (!cfgPath) {
    usage(stderr);
    return 2;
  }

  gw_config_t cfg;
  std::string err;
  if (gw_LoadConfig(cfgPath, &cfg, &err) < 0) {
    fprintf(stderr, "gwsim: %s\n", err.c_str());
    return 2;
  }
  std::string journalPath = journal ? journal : cfg.journal;
  int rc = gw_JournalOpen(journalPath.c_str());
  if (rc < 0) {
    fprintf(stderr, "gwsim: cannot open journal %s: %s\n", journalPath.c_str(), strerror(-rc));
    return 2;
  }
  if (root) cfg.root = root;
  // Without a root gwsim serves no namespace: those requests answer -5.
  if (!cfg.root.empty() && gw_StoreOpen(cfg.root.c_str(), &cfg, &err) < 0) {
    fprintf(stderr, "gwsim: %s\n", err.c_str());
    gw_JournalClose();
    return 2;
  }
  if (lfxRoot) cfg.data.lfxRoot = lfxRoot;
  if (!cfg.data.lfxRoot.empty() && gw_LfxSetUp(&cfg, &err) < 0) {
    fprintf(stderr, "gwsim: %s\n", err.c_str());
    gw_StoreClose();
    gw_JournalClose();
    return 2;
  }
  if (quorex_OpenSSLInit() < 0) {
    fprintf(stderr, "gwsim: OpenSSL set-up failed\n");
    gw_JournalClose();
    return 1;
  }

  // Every connection may hold files open: take what the hard limit allows.
  struct rlimit nofile;
  if (getrlimit(RLIMIT_NOFILE, &nofile) == 0 && nofile.rlim_cur < nofile.rlim_max) {
    nofile.rlim_cur = nofile.rlim_max;
    setrlimit(RLIMIT_NOFILE, &nofile);
  }

  // Addresses in requests (stage callbacks, copies) decode through the
  // library's family policy; this one takes both families.
  setenv("QUOR_NET_FAMILY", "ipv6", 0);
  signal(SIGPIPE, SIG_IGN);
  sigset_t stopSet, waitMask;
  sigemptyset(&stopSet);
  sigaddset(&stopSet, SIGTERM);
  sigaddset(&stopSet, SIGINT);
  pthread_sigmask(SIG_BLOCK, &stopSet, &waitMask);
  sigdelset(&waitMask, SIGTERM);
  sigdelset(&waitMask, SIGINT);
  struct sigaction sa;
  memset(&sa, 0, sizeof sa);
  sa.sa_handler = on_stop_signal;
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGINT, &sa, nullptr);

  int boundPort = 0;
  int lfd = open_listener(port, &boundPort);
  if (lfd < 0) {
    fprintf(stderr, "gwsim: cannot listen on 127.0.0.1 port %d: %s\n", port, strerror(-lfd));
    gw_JournalClose();
    return 1;
  }
  printf("gwsim listening on port %d\n", boundPort);
  fflush(stdout);

  accept_loop(lfd, &cfg, &waitMask);
  close(lfd);
  gw_StoreClose();
  gw_JournalClose();
  return 0;
}
