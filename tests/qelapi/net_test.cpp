// Socket layer: family policy, resolution, address tools, exact-count
// transfers under time-outs, byte codecs and page-aligned buffers.
#include "quor_net.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "scoped_env.h"

namespace {

constexpr const char* FAMILY = "QUOR_NET_FAMILY";

// Owns one descriptor.
struct Fd {
  int fd = -1;
  Fd() = default;
  explicit Fd(int f) : fd(f) {}
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd() { reset(); }
  void reset(int f = -1) {
    if (fd >= 0) close(fd);
    fd = f;
  }
};

// The message after "<path>:<line>:<func>(): ", or a marker when the line
// does not start that way.
std::string diagMessage(const char* line, const char* func) {
  const std::string s(line);
  const std::string needle = std::string(":") + func + "(): ";
  const size_t at = s.find(needle);
  if (at == std::string::npos) return "<no '" + needle + "' in: " + s + ">";
  const std::string head = s.substr(0, at);  // "<path>:<line>"
  const size_t colon = head.rfind(':');
  if (colon == std::string::npos || colon == 0 || colon + 1 == head.size() ||
      head.find_first_not_of("0123456789", colon + 1) != std::string::npos)
    return "<bad file:line prefix in: " + s + ">";
  return s.substr(at + needle.size());
}

// "<message> <errno> <error text>", the form for failed system calls.
std::string errnoLine(const char* msg, int err) {
  return std::string(msg) + " " + std::to_string(err) + " " + strerror(err);
}

quor_sockaddr_t v4(const char* ip, uint16_t port) {
  quor_sockaddr_t a;
  memset(&a, 0, sizeof(a));
  auto* sin = reinterpret_cast<sockaddr_in*>(&a.hs_addr);
  sin->sin_family = AF_INET;
  sin->sin_port = htons(port);
  EXPECT_EQ(inet_pton(AF_INET, ip, &sin->sin_addr), 1) << ip;
  a.hs_addrlen = sizeof(sockaddr_in);
  return a;
}

quor_sockaddr_t v6(const char* ip, uint16_t port) {
  quor_sockaddr_t a;
  memset(&a, 0, sizeof(a));
  auto* sin6 = reinterpret_cast<sockaddr_in6*>(&a.hs_addr);
  sin6->sin6_family = AF_INET6;
  sin6->sin6_port = htons(port);
  EXPECT_EQ(inet_pton(AF_INET6, ip, &sin6->sin6_addr), 1) << ip;
  a.hs_addrlen = sizeof(sockaddr_in6);
  return a;
}

quor_sockaddr_t resetAddr() {
  quor_sockaddr_t a;
  memset(&a, 0, sizeof(a));
  a.hs_addrlen = sizeof(a.hs_addr);
  return a;
}

int familyOf(const quor_sockaddr_t& a) { return a.hs_addr.ss_family; }

std::string addrText(const quor_sockaddr_t& a) {
  char text[INET6_ADDRSTRLEN] = "";
  if (familyOf(a) == AF_INET)
    inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(&a.hs_addr)->sin_addr, text,
              sizeof(text));
  else if (familyOf(a) == AF_INET6)
    inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(&a.hs_addr)->sin6_addr, text,
              sizeof(text));
  return text;
}

int portOf(const quor_sockaddr_t& a) {
  if (familyOf(a) == AF_INET) return ntohs(reinterpret_cast<const sockaddr_in*>(&a.hs_addr)->sin_port);
  return ntohs(reinterpret_cast<const sockaddr_in6*>(&a.hs_addr)->sin6_port);
}

bool isResetState(const quor_sockaddr_t& a) {
  if (a.hs_addrlen != sizeof(a.hs_addr)) return false;
  const auto* b = reinterpret_cast<const unsigned char*>(&a.hs_addr);
  for (size_t i = 0; i < sizeof(a.hs_addr); i++)
    if (b[i] != 0) return false;
  return true;
}

// A loopback TCP listener on a kernel-chosen port, built with plain system calls.
int loopbackListener(int family, quor_sockaddr_t* bound) {
  quor_sockaddr_t a = family == AF_INET ? v4("127.0.0.1", 0) : v6("::1", 0);
  int fd = socket(family, SOCK_STREAM, 0);
  if (fd < 0) return -1;
  if (bind(fd, reinterpret_cast<sockaddr*>(&a.hs_addr), a.hs_addrlen) != 0 ||
      listen(fd, 8) != 0) {
    close(fd);
    return -1;
  }
  *bound = resetAddr();
  socklen_t len = sizeof(bound->hs_addr);
  getsockname(fd, reinterpret_cast<sockaddr*>(&bound->hs_addr), &len);
  bound->hs_addrlen = len;
  return fd;
}

// A connected loopback TCP pair: client and the accepted server end.
bool tcpPair(Fd& client, Fd& server) {
  quor_sockaddr_t bound;
  Fd listener(loopbackListener(AF_INET, &bound));
  if (listener.fd < 0) return false;
  client.reset(socket(AF_INET, SOCK_STREAM, 0));
  if (connect(client.fd, reinterpret_cast<sockaddr*>(&bound.hs_addr), bound.hs_addrlen) != 0)
    return false;
  server.reset(accept(listener.fd, nullptr, nullptr));
  return server.fd >= 0;
}

// Closes fd so that the peer sees a reset instead of an orderly end.
void abortiveClose(Fd& fd) {
  linger lg{1, 0};
  setsockopt(fd.fd, SOL_SOCKET, SO_LINGER, &lg, sizeof(lg));
  fd.reset();
}

// The lowest free descriptor number; a leak makes it move.
int lowestFreeFd() {
  int fd = open("/dev/null", O_RDONLY);
  close(fd);
  return fd;
}

}  // namespace

// Every test starts and ends with QUOR_NET_FAMILY as the run found it.
class Net : public ::testing::Test {
 protected:
  void family(const char* value) { saved_.set(FAMILY, value); }

 private:
  ScopedEnv saved_{FAMILY};
};

TEST_F(Net, FamilyPolicyIsReadFromTheEnvironmentAtEveryCall) {
  struct Case {
    const char* value;
    int policy;
    const char* line;  // expected diagnostic, or null when none
  };
  const Case cases[] = {
      {"ipv4_only", QUOR_NET_FAMILY_IPV4_ONLY, nullptr},
      {"ipv6", QUOR_NET_FAMILY_IPV6, nullptr},
      {"ipv6_only", QUOR_NET_FAMILY_IPV6_ONLY, nullptr},
      {"IPv6", QUOR_NET_FAMILY_INVALID, "Invalid family requested:  IPv6."},
      {"ipv4", QUOR_NET_FAMILY_INVALID, "Invalid family requested:  ipv4."},
      {"", QUOR_NET_FAMILY_INVALID, "Invalid family requested:  ."},
      {nullptr, QUOR_NET_FAMILY_INVALID, "Invalid family requested:  <no family set>."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.value ? c.value : "(unset)");
    family(c.value);
    if (c.value)
      EXPECT_STREQ(quor_net_get_family_string(), c.value);
    else
      EXPECT_EQ(quor_net_get_family_string(), nullptr);
    char err[256] = "untouched";
    EXPECT_EQ(quor_net_get_family_option(err, sizeof(err)), c.policy);
    if (c.line)
      EXPECT_EQ(diagMessage(err, "quor_net_get_family_option"), c.line);
    else
      EXPECT_STREQ(err, "untouched");
    EXPECT_EQ(quor_net_get_family_option(nullptr, 0), c.policy);
  }
}

TEST_F(Net, DiagnosticLineIsCutToTheCallersBuffer) {
  family("IPv6");
  char err[16];
  memset(err, 'X', sizeof(err));
  EXPECT_EQ(quor_net_get_family_option(err, sizeof(err)), QUOR_NET_FAMILY_INVALID);
  EXPECT_EQ(strlen(err), sizeof(err) - 1);
  // A zero size must not be written at all.
  char one = 'X';
  EXPECT_EQ(quor_net_get_family_option(&one, 0), QUOR_NET_FAMILY_INVALID);
  EXPECT_EQ(one, 'X');
}

TEST_F(Net, ResolvesNumericHostsUnderEachPolicy) {
  struct Case {
    const char* policy;
    const char* host;
    const char* service;
    int flags;
    int family;
    socklen_t len;
    const char* text;
    int port;
  };
  const Case cases[] = {
      {"ipv4_only", "127.0.0.1", "920", 0, AF_INET, 16, "127.0.0.1", 920},
      {"ipv4_only", "127.0.0.1", "920", AI_NUMERICHOST | AI_NUMERICSERV, AF_INET, 16,
       "127.0.0.1", 920},
      {"ipv6", "::1", "80", AI_NUMERICHOST, AF_INET6, 28, "::1", 80},
      // An IPv4-only host comes back IPv4-mapped.
      {"ipv6", "127.0.0.1", "80", 0, AF_INET6, 28, "::ffff:127.0.0.1", 80},
      {"ipv6_only", "::1", "65535", 0, AF_INET6, 28, "::1", 65535},
      // No host: the wildcard address, because the policy always asks for it.
      {"ipv4_only", nullptr, "0", 0, AF_INET, 16, "0.0.0.0", 0},
      {"ipv6", nullptr, "5000", 0, AF_INET6, 28, "::", 5000},
      {"ipv6_only", nullptr, "7", AI_PASSIVE, AF_INET6, 28, "::", 7},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.policy) + " " + (c.host ? c.host : "(null)"));
    family(c.policy);
    quor_sockaddr_t a = v4("10.9.9.9", 1);  // stale contents must not survive
    char err[256] = "";
    ASSERT_EQ(quor_net_getaddrinfo(c.host, c.service, c.flags, QUOR_IPPROTO_TCP, &a, err,
                                   sizeof(err)),
              0)
        << err;
    EXPECT_EQ(familyOf(a), c.family);
    EXPECT_EQ(a.hs_addrlen, c.len);
    EXPECT_EQ(addrText(a), c.text);
    EXPECT_EQ(portOf(a), c.port);
    EXPECT_STREQ(err, "");
  }
}

TEST_F(Net, ResolutionFailuresCarryTheirOwnCodesAndLines) {
  family("ipv4_only");
  char err[256] = "";
  errno = 0;
  EXPECT_EQ(quor_net_getaddrinfo("127.0.0.1", "1", 0, 0, nullptr, err, sizeof(err)), -11);
  EXPECT_EQ(errno, EFAULT);
  EXPECT_EQ(diagMessage(err, "quor_net_getaddrinfo"), "Invalid address passed to function");

  struct Case {
    const char* policy;
    const char* line;
  };
  const Case invalid[] = {
      {"IPv6", "QUOR_NET_FAMILY set to IPv6"},
      {"ipv6 ", "QUOR_NET_FAMILY set to ipv6 "},
      {nullptr, "QUOR_NET_FAMILY set to <no family set>"},
  };
  for (const Case& c : invalid) {
    SCOPED_TRACE(c.policy ? c.policy : "(unset)");
    family(c.policy);
    quor_sockaddr_t a = v4("10.1.1.1", 9);
    EXPECT_EQ(quor_net_getaddrinfo("127.0.0.1", "1", 0, 0, &a, err, sizeof(err)), -6);
    EXPECT_EQ(diagMessage(err, "quor_net_getaddrinfo"), c.line);
    EXPECT_TRUE(isResetState(a));
  }

  family("ipv4_only");
  quor_sockaddr_t a;
  EXPECT_EQ(quor_net_getaddrinfo("127.0.0.1", "1", 0, 99, &a, err, sizeof(err)), -7);
  EXPECT_EQ(diagMessage(err, "quor_net_getaddrinfo"), "Invalid protocol used (99)");
  EXPECT_EQ(quor_net_getaddrinfo("127.0.0.1", "1", 0, QUOR_IPPROTO_UDP, &a, err, sizeof(err)),
            0);
  EXPECT_EQ(quor_net_getaddrinfo("127.0.0.1", "1", 0, QUOR_IPPROTO_UNSPECIFIED, &a, err,
                                 sizeof(err)),
            0);

  // Resolver failures come back as its own negative code and name host and service.
  const int rc = quor_net_getaddrinfo("not-an-ip", "80", AI_NUMERICHOST, 0, &a, err, sizeof(err));
  EXPECT_EQ(rc, EAI_NONAME);
  EXPECT_EQ(diagMessage(err, "quor_net_getaddrinfo"),
            std::string("host not-an-ip service 80: Error returned from getaddrinfo.  ") +
                std::to_string(EAI_NONAME) + " " + gai_strerror(EAI_NONAME));

  // Under ipv4_only an IPv6 literal has no answer.
  EXPECT_LT(quor_net_getaddrinfo("::1", "80", 0, 0, &a, err, sizeof(err)), 0);
  EXPECT_NE(std::string(err).find("host ::1 service 80: Error returned from getaddrinfo."),
            std::string::npos)
      << err;
}

TEST_F(Net, CallerCannotOverrideThePolicysMappingFlags) {
  // ipv6_only must not hand out IPv4-mapped addresses even when asked.
  family("ipv6_only");
  quor_sockaddr_t a;
  char err[256] = "";
  EXPECT_LT(quor_net_getaddrinfo("127.0.0.1", "80", AI_V4MAPPED | AI_ALL, 0, &a, err, sizeof(err)),
            0);
  EXPECT_TRUE(isResetState(a));
}

TEST_F(Net, NewSocketsFollowThePolicy) {
  char err[256] = "";
  const quor_sockaddr_t any6 = v6("::", 0);

  family("ipv6_only");
  {
    Fd s(quor_net_socket(&any6, SOCK_STREAM, 0, err, sizeof(err)));
    ASSERT_GE(s.fd, 0) << err;
    int on = 0;
    socklen_t len = sizeof(on);
    ASSERT_EQ(getsockopt(s.fd, IPPROTO_IPV6, IPV6_V6ONLY, &on, &len), 0);
    EXPECT_EQ(on, 1);
  }

  // Invalid policy and a family that cannot take the option: no socket, none leaked.
  const quor_sockaddr_t any4 = v4("0.0.0.0", 0);
  struct Case {
    const char* policy;
    const quor_sockaddr_t* addr;
    const char* func;
    std::string line;
  };
  const Case cases[] = {
      {"IPv6", &any6, "quor_net_get_family_option", "Invalid family requested:  IPv6."},
      {nullptr, &any4, "quor_net_get_family_option",
       "Invalid family requested:  <no family set>."},
      {"ipv6_only", &any4, "quor_net_socket", errnoLine("Could not ensure IPv6 only", ENOPROTOOPT)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.policy ? c.policy : "(unset)");
    family(c.policy);
    const int before = lowestFreeFd();
    EXPECT_EQ(quor_net_socket(c.addr, SOCK_STREAM, 0, err, sizeof(err)), -1);
    EXPECT_EQ(diagMessage(err, c.func), c.line);
    EXPECT_EQ(lowestFreeFd(), before);
  }

  family("ipv4_only");
  errno = 0;
  EXPECT_EQ(quor_net_socket(nullptr, SOCK_STREAM, 0, err, sizeof(err)), -1);
  EXPECT_EQ(errno, EINVAL);

  quor_sockaddr_t bogus = resetAddr();
  bogus.hs_addr.ss_family = 12345;
  errno = 0;
  EXPECT_EQ(quor_net_socket(&bogus, SOCK_STREAM, 0, err, sizeof(err)), -1);
  EXPECT_EQ(errno, EAFNOSUPPORT);
  EXPECT_EQ(diagMessage(err, "quor_net_socket"),
            errnoLine("Error returned from socket. ", EAFNOSUPPORT));
}

TEST_F(Net, ConnectRefusesUnusableAddresses) {
  Fd s(socket(AF_INET, SOCK_STREAM, 0));
  char err[256];
  struct Case {
    const char* name;
    std::optional<quor_sockaddr_t> addr;
    int err;
    const char* line;
  };
  quor_sockaddr_t zero = v4("127.0.0.1", 1);
  zero.hs_addrlen = 0;
  const Case cases[] = {
      {"reset", resetAddr(), EAFNOSUPPORT, "quor_net_getinaddr() failure."},
      {"zero length", zero, EFAULT, "Invalid argument passed to function"},
      {"null", std::nullopt, EFAULT, "Invalid argument passed to function"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    quor_sockaddr_t a = c.addr.value_or(quor_sockaddr_t{});
    errno = 0;
    EXPECT_EQ(quor_net_connect(s.fd, c.addr ? &a : nullptr, err, sizeof(err)), -1);
    EXPECT_EQ(errno, c.err);
    EXPECT_NE(std::string(err).find(c.line), std::string::npos) << err;
  }
  quor_sockaddr_t reset = resetAddr();
  errno = 0;
  EXPECT_EQ(quor_net_bind(s.fd, &reset, err, sizeof(err)), -1);
  EXPECT_EQ(errno, EAFNOSUPPORT);
  EXPECT_EQ(quor_net_bind(s.fd, nullptr, err, sizeof(err)), -1);
  EXPECT_EQ(errno, EFAULT);
}

TEST_F(Net, LoopbackListenAcceptAndNames) {
  struct Case {
    const char* policy;
    const char* host;
  };
  const Case cases[] = {{"ipv4_only", "127.0.0.1"}, {"ipv6_only", "::1"}, {"ipv6", "::1"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.policy);
    family(c.policy);
    char err[256] = "";
    quor_sockaddr_t want;
    ASSERT_EQ(quor_net_getaddrinfo(c.host, "0", AI_NUMERICHOST, QUOR_IPPROTO_TCP, &want, err,
                                   sizeof(err)),
              0)
        << err;
    Fd listener(quor_net_socket(&want, SOCK_STREAM, 0, err, sizeof(err)));
    ASSERT_GE(listener.fd, 0) << err;
    ASSERT_EQ(quor_net_bind(listener.fd, &want, err, sizeof(err)), 0) << err;
    ASSERT_EQ(quor_net_listen(listener.fd, 4, err, sizeof(err)), 0) << err;

    quor_sockaddr_t bound;
    ASSERT_EQ(quor_net_getsockname(listener.fd, &bound, err, sizeof(err)), 0) << err;
    EXPECT_EQ(bound.hs_addrlen, want.hs_addrlen);
    const int port = quor_net_getport(&bound, err, sizeof(err));
    EXPECT_GT(port, 0);
    EXPECT_EQ(port, portOf(bound));

    Fd client(quor_net_socket(&bound, SOCK_STREAM, 0, err, sizeof(err)));
    ASSERT_GE(client.fd, 0) << err;
    ASSERT_EQ(quor_net_connect(client.fd, &bound, err, sizeof(err)), 0) << err;

    quor_sockaddr_t peer = v4("10.0.0.1", 1);
    Fd server(quor_net_accept(listener.fd, &peer, err, sizeof(err)));
    ASSERT_GE(server.fd, 0) << err;
    quor_sockaddr_t client_name;
    ASSERT_EQ(quor_net_getsockname(client.fd, &client_name, err, sizeof(err)), 0);
    EXPECT_EQ(peer.hs_addrlen, client_name.hs_addrlen);
    EXPECT_EQ(addrText(peer), addrText(client_name));
    EXPECT_EQ(portOf(peer), portOf(client_name));

    quor_sockaddr_t server_seen;
    ASSERT_EQ(quor_net_getpeername(client.fd, &server_seen, err, sizeof(err)), 0);
    EXPECT_EQ(addrText(server_seen), addrText(bound));
    EXPECT_EQ(portOf(server_seen), port);

    // The peer's address is optional.
    Fd client2(socket(familyOf(bound), SOCK_STREAM, 0));
    ASSERT_EQ(quor_net_connect(client2.fd, &bound, err, sizeof(err)), 0) << err;
    Fd server2(quor_net_accept(listener.fd, nullptr, err, sizeof(err)));
    EXPECT_GE(server2.fd, 0) << err;
  }
}

TEST_F(Net, SystemCallFailuresPassErrnoAndNameTheCall) {
  family("ipv4_only");
  char err[256];
  quor_sockaddr_t bound;
  Fd taken(loopbackListener(AF_INET, &bound));
  ASSERT_GE(taken.fd, 0);

  Fd s(socket(AF_INET, SOCK_STREAM, 0));
  errno = 0;
  EXPECT_EQ(quor_net_bind(s.fd, &bound, err, sizeof(err)), -1);
  EXPECT_EQ(errno, EADDRINUSE);
  EXPECT_EQ(diagMessage(err, "quor_net_bind"),
            std::string("Error returned from bind  (") + std::to_string(EADDRINUSE) + "). " +
                strerror(EADDRINUSE));

  // A port that was bound and released has no listener.
  quor_sockaddr_t closed_port;
  {
    Fd tmp(socket(AF_INET, SOCK_STREAM, 0));
    quor_sockaddr_t lo = v4("127.0.0.1", 0);
    ASSERT_EQ(bind(tmp.fd, reinterpret_cast<sockaddr*>(&lo.hs_addr), lo.hs_addrlen), 0);
    socklen_t len = sizeof(closed_port.hs_addr);
    closed_port = resetAddr();
    getsockname(tmp.fd, reinterpret_cast<sockaddr*>(&closed_port.hs_addr), &len);
    closed_port.hs_addrlen = len;
  }
  Fd c(socket(AF_INET, SOCK_STREAM, 0));
  errno = 0;
  EXPECT_EQ(quor_net_connect(c.fd, &closed_port, err, sizeof(err)), -1);
  EXPECT_EQ(errno, ECONNREFUSED);
  EXPECT_EQ(diagMessage(err, "quor_net_connect"),
            errnoLine("Error returned from connect. ", ECONNREFUSED));

  int p[2];
  ASSERT_EQ(pipe(p), 0);
  Fd r(p[0]), w(p[1]);
  errno = 0;
  EXPECT_EQ(quor_net_listen(r.fd, 1, err, sizeof(err)), -1);
  EXPECT_EQ(errno, ENOTSOCK);
  EXPECT_EQ(diagMessage(err, "quor_net_listen"), errnoLine("Error returned from listen. ", ENOTSOCK));

  Fd idle(socket(AF_INET, SOCK_STREAM, 0));
  quor_sockaddr_t peer;
  errno = 0;
  EXPECT_EQ(quor_net_accept(idle.fd, &peer, err, sizeof(err)), -1);
  EXPECT_EQ(errno, EINVAL);
  EXPECT_EQ(diagMessage(err, "quor_net_accept"), errnoLine("Error returned from accept. ", EINVAL));

  quor_sockaddr_t name;
  errno = 0;
  EXPECT_EQ(quor_net_getsockname(-1, &name, err, sizeof(err)), -1);
  EXPECT_EQ(errno, EBADF);
  EXPECT_EQ(diagMessage(err, "quor_net_getsockname"),
            errnoLine("Error returned from getsockname. ", EBADF));
  errno = 0;
  EXPECT_EQ(quor_net_getpeername(idle.fd, &name, err, sizeof(err)), -1);
  EXPECT_EQ(errno, ENOTCONN);
  EXPECT_EQ(diagMessage(err, "quor_net_getpeername"),
            errnoLine("Error returned from getpeername. ", ENOTCONN));
  for (auto fn : {quor_net_getsockname, quor_net_getpeername}) {
    errno = 0;
    EXPECT_EQ(fn(idle.fd, nullptr, err, sizeof(err)), -1);
    EXPECT_EQ(errno, EFAULT);
  }
}

TEST_F(Net, NameInfoAndPort) {
  char err[256];
  char host[NI_MAXHOST];
  char serv[NI_MAXSERV];
  const quor_sockaddr_t a = v4("192.0.2.7", 920);
  ASSERT_EQ(quor_net_getnameinfo(&a, host, sizeof(host), serv, sizeof(serv),
                                 NI_NUMERICHOST | NI_NUMERICSERV, err, sizeof(err)),
            0);
  EXPECT_STREQ(host, "192.0.2.7");
  EXPECT_STREQ(serv, "920");
  ASSERT_EQ(quor_net_getnameinfo(&a, nullptr, 0, serv, sizeof(serv), NI_NUMERICSERV, err,
                                 sizeof(err)),
            0);
  errno = 0;
  EXPECT_EQ(quor_net_getnameinfo(nullptr, host, sizeof(host), nullptr, 0, 0, err, sizeof(err)),
            -11);
  EXPECT_EQ(errno, EFAULT);
  const quor_sockaddr_t reset = resetAddr();
  EXPECT_EQ(quor_net_getnameinfo(&reset, host, sizeof(host), nullptr, 0, NI_NUMERICHOST, err,
                                 sizeof(err)),
            EAI_FAMILY);
  EXPECT_EQ(diagMessage(err, "quor_net_getnameinfo"),
            std::string("Error returned from getnameinfo.  ") + std::to_string(EAI_FAMILY) + " " +
                gai_strerror(EAI_FAMILY));

  struct Case {
    quor_sockaddr_t addr;
    int port;
  };
  const Case cases[] = {
      {v4("10.1.2.3", 0), 0},
      {v4("10.1.2.3", 920), 920},
      {v6("fe80::1", 65535), 65535},
      {v6("::ffff:127.0.0.1", 32768), 32768},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.port);
    EXPECT_EQ(quor_net_getport(&c.addr, err, sizeof(err)), c.port);
  }
  EXPECT_EQ(quor_net_getport(nullptr, err, sizeof(err)), -22);
  EXPECT_EQ(quor_net_getport(&reset, err, sizeof(err)), EAI_FAMILY);
}

TEST_F(Net, UniversalAddressText) {
  struct Case {
    quor_sockaddr_t addr;
    const char* text;
  };
  const Case cases[] = {
      {v4("10.1.2.3", 920), "10.1.2.3.920"},
      {v6("fe80::1", 920), "fe80::1.920"},
      {v4("0.0.0.0", 0), "0.0.0.0.0"},
      {v6("::ffff:127.0.0.1", 65535), "::ffff:127.0.0.1.65535"},
      {v6("2001:db8:ffff:ffff:ffff:ffff:ffff:ffff", 1), "2001:db8:ffff:ffff:ffff:ffff:ffff:ffff.1"},
  };
  char err[256];
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    char buf[64];
    memset(buf, 'X', sizeof(buf));
    const int n = static_cast<int>(strlen(c.text));
    EXPECT_EQ(quor_net_getuniversaladdress(&c.addr, buf, sizeof(buf), err, sizeof(err)), n);
    EXPECT_STREQ(buf, c.text);
    for (size_t i = size_t(n); i < sizeof(buf); i++) ASSERT_EQ(buf[i], 0) << "byte " << i;

    // Exactly enough room, then one byte short.
    std::vector<char> fit(size_t(n) + 1, 'X');
    EXPECT_EQ(quor_net_getuniversaladdress(&c.addr, fit.data(), n + 1, err, sizeof(err)), n);
    EXPECT_STREQ(fit.data(), c.text);
    std::vector<char> shortbuf(size_t(n), 'X');
    EXPECT_EQ(quor_net_getuniversaladdress(&c.addr, shortbuf.data(), n, err, sizeof(err)), -1);
    EXPECT_EQ(std::string(shortbuf.data()), std::string(c.text, size_t(n) - 1));
    EXPECT_EQ(diagMessage(err, "quor_net_getuniversaladdress"), "Buffer was truncated.");
  }

  const quor_sockaddr_t a = v4("10.1.2.3", 920);
  char buf[32];
  EXPECT_EQ(quor_net_getuniversaladdress(nullptr, buf, sizeof(buf), err, sizeof(err)), -22);
  EXPECT_EQ(diagMessage(err, "quor_net_getuniversaladdress"),
            "Invalid argument passed to function.");
  EXPECT_EQ(quor_net_getuniversaladdress(&a, nullptr, sizeof(buf), err, sizeof(err)), -22);
  EXPECT_EQ(quor_net_getuniversaladdress(&a, buf, 0, err, sizeof(err)), -22);
  EXPECT_EQ(quor_net_getuniversaladdress(&a, buf, -5, err, sizeof(err)), -22);
  const quor_sockaddr_t reset = resetAddr();
  EXPECT_EQ(quor_net_getuniversaladdress(&reset, buf, sizeof(buf), err, sizeof(err)), -22);
  EXPECT_EQ(diagMessage(err, "quor_net_getuniversaladdress"), "Unexpected family. (0)");
}

TEST_F(Net, RawAddressBytesInsideTheRecord) {
  quor_sockaddr_t a4 = v4("10.1.2.3", 1);
  int fam = -1, len = -1;
  void* p = quor_net_getinaddr(&a4, &fam, &len);
  EXPECT_EQ(p, &reinterpret_cast<sockaddr_in*>(&a4.hs_addr)->sin_addr);
  EXPECT_EQ(fam, AF_INET);
  EXPECT_EQ(len, 4);

  quor_sockaddr_t a6 = v6("fe80::1", 1);
  p = quor_net_getinaddr(&a6, &fam, &len);
  EXPECT_EQ(p, &reinterpret_cast<sockaddr_in6*>(&a6.hs_addr)->sin6_addr);
  EXPECT_EQ(fam, AF_INET6);
  EXPECT_EQ(len, 16);
  EXPECT_EQ(quor_net_getinaddr(&a6, nullptr, nullptr), p);

  const quor_sockaddr_t reset = resetAddr();
  fam = len = -1;
  EXPECT_EQ(quor_net_getinaddr(&reset, &fam, &len), nullptr);
  EXPECT_EQ(fam, 0);
  EXPECT_EQ(len, 0);
  fam = len = -1;
  EXPECT_EQ(quor_net_getinaddr(nullptr, &fam, &len), nullptr);
  EXPECT_EQ(fam, 0);
  EXPECT_EQ(len, 0);
}

TEST_F(Net, GenerateMaskFromPrefixBits) {
  struct Case {
    quor_sockaddr_t src;
    int bits;
    const char* mask;
  };
  const Case cases[] = {
      {v4("10.1.2.3", 920), 0, "255.255.255.255"},  // 0 is a host mask
      {v4("10.1.2.3", 920), 20, "255.255.240.0"},
      {v4("10.1.2.3", 920), 8, "255.0.0.0"},
      {v4("10.1.2.3", 920), 1, "128.0.0.0"},
      {v4("10.1.2.3", 920), 31, "255.255.255.254"},
      {v4("10.1.2.3", 920), 32, "255.255.255.255"},
      {v4("10.1.2.3", 920), 40, "255.255.255.255"},
      // A negative prefix must not turn into a mask that matches everything.
      {v4("10.1.2.3", 920), -3, "255.255.255.255"},
      {v6("fe80::1", 920), 10, "ffc0::"},
      {v6("fe80::1", 920), 64, "ffff:ffff:ffff:ffff::"},
      {v6("fe80::1", 920), 0, "ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.bits) + " " + c.mask);
    quor_sockaddr_t mask = resetAddr();
    quor_net_generatemask(&c.src, &mask, c.bits);
    EXPECT_EQ(addrText(mask), c.mask);
    // Everything but the address bytes comes from the source.
    EXPECT_EQ(familyOf(mask), familyOf(c.src));
    EXPECT_EQ(mask.hs_addrlen, c.src.hs_addrlen);
    EXPECT_EQ(portOf(mask), 920);
  }
}

TEST_F(Net, AddressMatchUnderMask) {
  quor_sockaddr_t m16, m24, m6;
  const quor_sockaddr_t net = v4("10.1.0.0", 0);
  quor_net_generatemask(&net, &m16, 16);
  quor_net_generatemask(&net, &m24, 24);
  const quor_sockaddr_t ll = v6("fe80::", 0);
  quor_net_generatemask(&ll, &m6, 10);
  const quor_sockaddr_t reset = resetAddr();

  struct Case {
    const char* name;
    quor_sockaddr_t addr;
    const quor_sockaddr_t* mask;
    const quor_sockaddr_t* entry;
    int match;
  };
  const quor_sockaddr_t e4 = v4("10.1.0.0", 7);
  const quor_sockaddr_t e4host = v4("10.1.2.3", 7);
  const quor_sockaddr_t e6 = v6("fe80::", 0);
  const Case cases[] = {
      {"inside /16", v4("10.1.2.3", 1), &m16, &e4, 1},
      {"outside /24", v4("10.1.2.3", 1), &m24, &e4, 0},
      {"other net /16", v4("10.2.0.1", 1), &m16, &e4, 0},
      {"no mask, same", v4("10.1.2.3", 1), nullptr, &e4host, 1},  // ports do not count
      {"no mask, differs", v4("10.1.2.4", 1), nullptr, &e4host, 0},
      {"v6 link-local", v6("fe80::1234:5678", 0), &m6, &e6, 1},
      {"v6 febf", v6("febf::1", 0), &m6, &e6, 1},
      {"v6 fec0", v6("fec0::1", 0), &m6, &e6, 0},
      {"family differs", v6("::ffff:10.1.2.3", 0), nullptr, &e4host, 0},
      {"mask family differs", v4("10.1.2.3", 1), &m6, &e4, 0},
      {"reset mask", v4("10.1.2.3", 1), &reset, &e4, 0},
      {"null entry", v4("10.1.2.3", 1), &m16, nullptr, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(quor_net_addrmatch(&c.addr, c.mask, c.entry), c.match);
  }
  EXPECT_EQ(quor_net_addrmatch(nullptr, &m16, &e4), 0);
}

TEST_F(Net, ScopeIdForLinkLocalAddresses) {
  char err[256];
  quor_sockaddr_t a4 = v4("10.1.2.3", 1);
  const quor_sockaddr_t a4copy = a4;
  EXPECT_EQ(__quor_net_setscopeid(&a4, err, sizeof(err)), 0);
  EXPECT_EQ(memcmp(&a4, &a4copy, sizeof(a4)), 0);

  quor_sockaddr_t g6 = v6("2001:db8::1", 1);
  EXPECT_EQ(__quor_net_setscopeid(&g6, err, sizeof(err)), 0);
  EXPECT_EQ(reinterpret_cast<sockaddr_in6*>(&g6.hs_addr)->sin6_scope_id, 0u);

  quor_sockaddr_t reset = resetAddr();
  errno = 0;
  EXPECT_EQ(__quor_net_setscopeid(&reset, err, sizeof(err)), -1);
  EXPECT_EQ(errno, EAFNOSUPPORT);
  EXPECT_EQ(diagMessage(err, "__quor_net_setscopeid"), "quor_net_getinaddr() failure.");
  quor_sockaddr_t zero = v6("fe80::1", 1);
  zero.hs_addrlen = 0;
  errno = 0;
  EXPECT_EQ(__quor_net_setscopeid(&zero, err, sizeof(err)), -1);
  EXPECT_EQ(errno, EFAULT);
  EXPECT_EQ(diagMessage(err, "__quor_net_setscopeid"), "Invalid address passed to function");
  errno = 0;
  EXPECT_EQ(__quor_net_setscopeid(nullptr, err, sizeof(err)), -1);
  EXPECT_EQ(errno, EFAULT);

  // The scope id comes from the interface that owns the link-local prefix;
  // only checkable when exactly one interface has one.
  ifaddrs* list = nullptr;
  ASSERT_EQ(getifaddrs(&list), 0);
  std::vector<std::string> owners;
  for (ifaddrs* i = list; i; i = i->ifa_next) {
    if (!i->ifa_addr || i->ifa_addr->sa_family != AF_INET6) continue;
    const auto* s6 = reinterpret_cast<const sockaddr_in6*>(i->ifa_addr);
    if (s6->sin6_addr.s6_addr[0] == 0xfe && (s6->sin6_addr.s6_addr[1] & 0xc0) == 0x80)
      owners.push_back(i->ifa_name);
  }
  freeifaddrs(list);
  if (owners.size() != 1) GTEST_SKIP() << "needs exactly one interface with a link-local address";
  quor_sockaddr_t ll = v6("fe80::1234", 1);
  EXPECT_EQ(__quor_net_setscopeid(&ll, err, sizeof(err)), 0);
  EXPECT_EQ(reinterpret_cast<sockaddr_in6*>(&ll.hs_addr)->sin6_scope_id,
            if_nametoindex(owners[0].c_str()));
}

TEST_F(Net, ErrorTextKeepsErrno) {
  char buf[128];
  memset(buf, 'X', sizeof(buf));
  errno = 1234;
  quor_net_strerror(ECONNREFUSED, buf, sizeof(buf));
  EXPECT_EQ(errno, 1234);
  EXPECT_STREQ(buf, strerror(ECONNREFUSED));

  quor_net_strerror(99999, buf, sizeof(buf));
  EXPECT_STREQ(buf, "Unknown error 99999");

  char small[6];
  memset(small, 'X', sizeof(small));
  quor_net_strerror(ECONNREFUSED, small, sizeof(small));
  EXPECT_EQ(std::string(small), std::string(strerror(ECONNREFUSED), 5));

  char untouched = 'X';
  quor_net_strerror(EPIPE, &untouched, 0);
  EXPECT_EQ(untouched, 'X');
  quor_net_strerror(EPIPE, nullptr, 10);
}

TEST_F(Net, PollMapsOutcomesToErrno) {
  int sv[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
  Fd a(sv[0]), b(sv[1]);
  EXPECT_EQ(quor_poll_descriptor(a.fd, QUOR_POLL_WRITE, 1), 0);
  errno = 0;
  EXPECT_EQ(quor_poll_descriptor(a.fd, QUOR_POLL_READ, 1), -1);
  EXPECT_EQ(errno, ETIMEDOUT);
  ASSERT_EQ(write(b.fd, "x", 1), 1);
  EXPECT_EQ(quor_poll_descriptor(a.fd, QUOR_POLL_READ, 1), 0);

  // Hang-up with nothing to read.
  int p[2];
  ASSERT_EQ(pipe(p), 0);
  Fd r(p[0]), w(p[1]);
  w.reset();
  errno = 0;
  EXPECT_EQ(quor_poll_descriptor(r.fd, QUOR_POLL_READ, 1), -1);
  EXPECT_EQ(errno, EPIPE);

  const int stale = lowestFreeFd();
  errno = 0;
  EXPECT_EQ(quor_poll_descriptor(stale, QUOR_POLL_READ, 1), -1);
  EXPECT_EQ(errno, EBADF);
}

TEST_F(Net, ReceiveExactCountAcrossPieces) {
  int sv[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
  Fd a(sv[0]), b(sv[1]);
  std::vector<unsigned char> sent(3000);
  for (size_t i = 0; i < sent.size(); i++) sent[i] = static_cast<unsigned char>(i * 7);
  std::thread writer([&] {
    for (size_t off = 0; off < sent.size(); off += 1000) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      ASSERT_EQ(write(b.fd, sent.data() + off, 1000), 1000);
    }
  });
  std::vector<unsigned char> got(sent.size());
  EXPECT_EQ(quor_recv_data_timeout(a.fd, got.data(), int(got.size()), 5), int(got.size()));
  writer.join();
  EXPECT_EQ(got, sent);
  EXPECT_EQ(quor_recv_data_timeout(a.fd, got.data(), 0, 1), 0);
  EXPECT_EQ(quor_recv_data_timeout(a.fd, got.data(), -1, 1), -22);
  EXPECT_EQ(quor_send_data_timeout(a.fd, got.data(), -1, 1), -22);
}

TEST_F(Net, ReceiveReportsLostPeerAndTimeOut) {
  char buf[100];
  {
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    Fd a(sv[0]), b(sv[1]);
    ASSERT_EQ(write(b.fd, buf, 50), 50);
    b.reset();
    EXPECT_EQ(quor_recv_data_timeout(a.fd, buf, sizeof(buf), 5), -50);
  }
  {
    // A reset from the peer is a lost connection too, not -104.
    Fd client, server;
    ASSERT_TRUE(tcpPair(client, server));
    ASSERT_EQ(write(server.fd, buf, 50), 50);
    abortiveClose(server);
    EXPECT_EQ(quor_recv_data_timeout(client.fd, buf, sizeof(buf), 5), -50);
  }
  {
    Fd client, server;
    ASSERT_TRUE(tcpPair(client, server));
    ASSERT_EQ(write(server.fd, buf, 10), 10);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(quor_recv_data_timeout(client.fd, buf, sizeof(buf), 1), -110);
    const auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_GE(waited, std::chrono::milliseconds(950));
    EXPECT_LT(waited, std::chrono::seconds(5));
  }
}

// Child bodies for the closed-peer test: exit 0 when the send failed with
// the expected code; a SIGPIPE would kill the child instead.
[[noreturn]] void sendToClosedUnixPeer() {
  signal(SIGPIPE, SIG_DFL);
  int sv[2];
  if (socketpair(AF_UNIX, SOCK_STREAM, 0, sv) != 0) _exit(10);
  close(sv[1]);
  char buf[64] = {};
  const int rc = quor_send_data_timeout(sv[0], buf, sizeof(buf), 2);
  _exit(rc == -32 ? 0 : 11);
}

// The peer still holds its end but no longer reads: poll says writable, so
// the failure comes from the send itself, where SIGPIPE would be raised.
[[noreturn]] void sendToUnixPeerThatStoppedReading() {
  signal(SIGPIPE, SIG_DFL);
  int sv[2];
  if (socketpair(AF_UNIX, SOCK_STREAM, 0, sv) != 0) _exit(10);
  if (shutdown(sv[1], SHUT_RD) != 0) _exit(10);
  char buf[64] = {};
  const int rc = quor_send_data_timeout(sv[0], buf, sizeof(buf), 2);
  _exit(rc == -32 ? 0 : 11);
}

[[noreturn]] void sendOnTcpAfterOwnShutdown() {
  signal(SIGPIPE, SIG_DFL);
  Fd client;
  Fd server;
  if (!tcpPair(client, server)) _exit(10);
  if (shutdown(client.fd, SHUT_WR) != 0) _exit(10);
  char buf[64] = {};
  const int rc = quor_send_data_timeout(client.fd, buf, sizeof(buf), 2);
  _exit(rc == -32 ? 0 : 11);
}

[[noreturn]] void sendToResetTcpPeer() {
  signal(SIGPIPE, SIG_DFL);
  Fd client;
  Fd server;
  if (!tcpPair(client, server)) _exit(10);
  abortiveClose(server);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  std::vector<char> big(1 << 20);
  // Several sends: the first may still be taken before the reset lands.
  int rc = 0;
  for (int i = 0; i < 4 && rc >= 0; i++)
    rc = quor_send_data_timeout(client.fd, big.data(), int(big.size()), 2);
  _exit(rc == -32 || rc == -104 ? 0 : 11);
}

TEST_F(Net, SendToClosedPeerReturnsErrorWithoutSignal) {
  EXPECT_EXIT(sendToClosedUnixPeer(), ::testing::ExitedWithCode(0), "");
  EXPECT_EXIT(sendToUnixPeerThatStoppedReading(), ::testing::ExitedWithCode(0), "");
  EXPECT_EXIT(sendOnTcpAfterOwnShutdown(), ::testing::ExitedWithCode(0), "");
  EXPECT_EXIT(sendToResetTcpPeer(), ::testing::ExitedWithCode(0), "");
}

TEST_F(Net, SendWithZeroTimeOutWaitsForTheReader) {
  int sv[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
  Fd a(sv[0]), b(sv[1]);
  // Far more than the socket buffers hold, so the sender must wait.
  std::vector<unsigned char> sent(4 << 20);
  for (size_t i = 0; i < sent.size(); i++) sent[i] = static_cast<unsigned char>(i % 251);
  std::vector<unsigned char> got;
  std::thread reader([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(1200));
    std::vector<unsigned char> chunk(65536);
    while (got.size() < sent.size()) {
      const ssize_t n = read(b.fd, chunk.data(), chunk.size());
      if (n <= 0) break;
      got.insert(got.end(), chunk.begin(), chunk.begin() + n);
    }
  });
  EXPECT_EQ(quor_send_data_timeout(a.fd, sent.data(), int(sent.size()), 0), int(sent.size()));
  reader.join();
  EXPECT_EQ(got, sent);
}

TEST_F(Net, SendTimesOutOnAStalledReader) {
  int sv[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
  Fd a(sv[0]), b(sv[1]);
  std::vector<unsigned char> big(4 << 20);
  EXPECT_EQ(quor_send_data_timeout(a.fd, big.data(), int(big.size()), 1), -110);
}

TEST_F(Net, SendToANonSocketUsesWrite) {
  int p[2];
  ASSERT_EQ(pipe(p), 0);
  Fd r(p[0]), w(p[1]);
  const char msg[] = "mover header";
  EXPECT_EQ(quor_send_data_timeout(w.fd, msg, sizeof(msg), 1), int(sizeof(msg)));
  char got[sizeof(msg)] = {};
  EXPECT_EQ(quor_recv_data_timeout(r.fd, got, sizeof(got), 1), int(sizeof(got)));
  EXPECT_STREQ(got, msg);
}

TEST_F(Net, FieldCodecsAreBigEndian) {
  unsigned char buf[24];
  memset(buf, 0xEE, sizeof(buf));
  quor_encode_16(buf, 1, 0x1234);
  quor_encode_32(buf, 3, 0x89ABCDEFu);
  quor_encode_64(buf, 8, 0x0102030405060708ull);
  const unsigned char chars[] = {'a', 0, 'z'};
  quor_encode_chars(buf, 17, chars, 3);
  const unsigned char want[24] = {0xEE, 0x12, 0x34, 0x89, 0xAB, 0xCD, 0xEF, 0xEE,
                                  0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08,
                                  0xEE, 'a',  0,    'z',  0xEE, 0xEE, 0xEE, 0xEE};
  EXPECT_EQ(memcmp(buf, want, sizeof(want)), 0);

  const unsigned char in[] = {0xFF, 0xFE, 0x80, 0x00, 0x00, 0x01, 0xFF, 0xEE,
                              0xDD, 0xCC, 0xBB, 0xAA, 0x99, 0x88};
  uint16_t v16 = 0;
  uint32_t v32 = 0;
  uint64_t v64 = 0;
  quor_decode_16(in, 0, &v16);
  EXPECT_EQ(v16, 0xFFFE);
  quor_decode_32(in, 2, &v32);
  EXPECT_EQ(v32, 0x80000001u);
  quor_decode_64(in, 6, &v64);
  EXPECT_EQ(v64, 0xFFEEDDCCBBAA9988ull);
  unsigned char out[3] = {};
  quor_decode_chars(buf, 17, out, 3);
  EXPECT_EQ(memcmp(out, chars, 3), 0);
}

TEST_F(Net, Mem64ReadsBigEndianAtAnyAlignment) {
  const unsigned char bytes[] = {0x00, 0x80, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01};
  EXPECT_EQ(mem64(bytes + 1), 0x8000000000000001ull);
  EXPECT_EQ(mem64(bytes), 0x0080000000000000ull);
}

TEST_F(Net, PageAlignedAllocation) {
  const long page = getSysPageSize();
  EXPECT_EQ(page, sysconf(_SC_PAGESIZE));
  for (size_t size : {size_t(0), size_t(1), size_t(page), size_t(10000)}) {
    SCOPED_TRACE(size);
    void* raw = nullptr;
    void* aligned = nullptr;
    ASSERT_EQ(quor_PAMalloc(size, &raw, &aligned), 0);
    ASSERT_NE(raw, nullptr);
    const auto r = reinterpret_cast<uintptr_t>(raw);
    const auto al = reinterpret_cast<uintptr_t>(aligned);
    EXPECT_EQ(al % uintptr_t(page), 0u);
    EXPECT_GE(al, r);
    EXPECT_LT(al - r, uintptr_t(page));
    // The whole requested size is usable through the aligned pointer.
    if (size > 0) memset(aligned, 0xA5, size);
    free(raw);
  }
  void* raw = &raw;
  void* aligned = &aligned;
  EXPECT_EQ(quor_PAMalloc(SIZE_MAX, &raw, &aligned), -12);
  EXPECT_EQ(raw, nullptr);
  EXPECT_EQ(aligned, nullptr);
}
