// Socket layer; see quor_net.h for the contracts.
#include "quor_net.h"

#include <arpa/inet.h>
#include <errno.h>
#include <ifaddrs.h>
#include <limits.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <atomic>

// One diagnostic line: "file:line:function(): " then the form. Only written
// when the caller gave a buffer; errno survives so callers can still read it.
#define NET_DIAG(fmt, ...)                                                               \
  do {                                                                                   \
    if (errbuf != nullptr && errbuflen > 0) {                                            \
      const int net_diag_saved = errno;                                                  \
      snprintf(errbuf, errbuflen, "%s:%d:%s(): " fmt, __FILE__, __LINE__, __func__,      \
               __VA_ARGS__);                                                             \
      errno = net_diag_saved;                                                            \
    }                                                                                    \
  } while (0)

// "<message> <errno> <error text>" for a failed system call.
#define NET_DIAG_ERRNO(msg, err)                                                         \
  do {                                                                                   \
    if (errbuf != nullptr && errbuflen > 0) {                                            \
      char net_diag_text[256];                                                           \
      quor_net_strerror((err), net_diag_text, sizeof(net_diag_text));                    \
      NET_DIAG("%s %d %s", (msg), (err), net_diag_text);                                 \
    }                                                                                    \
  } while (0)

namespace {

constexpr const char* FAMILY_VARIABLE = "QUOR_NET_FAMILY";
constexpr const char* NO_FAMILY = "<no family set>";
constexpr size_t NTOP_SCRATCH = 1025;
constexpr size_t PORT_TEXT = 32;
// The peer went away part-way through an exact-count transfer.
constexpr int CONNECTION_LOST = -50;

const char* familyText() {
  const char* value = quor_net_get_family_string();
  return value != nullptr ? value : NO_FAMILY;
}

// Closes fd without disturbing the errno the caller is about to report.
void closeKeepErrno(int fd) {
  const int saved = errno;
  close(fd);
  errno = saved;
}

bool isLinkLocal(const struct in6_addr* a) {
  // fe80::/10
  return a->s6_addr[0] == 0xfe && (a->s6_addr[1] & 0xc0) == 0x80;
}

// Fills a record from a kernel address of unknown length.
void fromSockaddr(quor_sockaddr_t* out, const struct sockaddr* sa) {
  quor_net_initaddr(out);
  socklen_t len = 0;
  if (sa->sa_family == AF_INET)
    len = sizeof(struct sockaddr_in);
  else if (sa->sa_family == AF_INET6)
    len = sizeof(struct sockaddr_in6);
  memcpy(&out->hs_addr, sa, len);
  out->hs_addrlen = len;
}

}  // namespace

void quor_net_initaddr(quor_sockaddr_t* addr) {
  if (addr == nullptr) return;
  memset(addr, 0, sizeof(*addr));
  addr->hs_addrlen = sizeof(addr->hs_addr);
}

const char* quor_net_get_family_string(void) { return getenv(FAMILY_VARIABLE); }

int quor_net_get_family_option(char* errbuf, size_t errbuflen) {
  const char* value = quor_net_get_family_string();
  if (value != nullptr) {
    if (strcmp(value, "ipv4_only") == 0) return QUOR_NET_FAMILY_IPV4_ONLY;
    if (strcmp(value, "ipv6") == 0) return QUOR_NET_FAMILY_IPV6;
    if (strcmp(value, "ipv6_only") == 0) return QUOR_NET_FAMILY_IPV6_ONLY;
  }
  NET_DIAG("%s %s.", "Invalid family requested: ", familyText());
  return QUOR_NET_FAMILY_INVALID;
}

int quor_net_getaddrinfo(const char* host, const char* service, int flags, int protocol,
                         quor_sockaddr_t* addr, char* errbuf, size_t errbuflen) {
  if (addr == nullptr) {
    errno = EFAULT;
    NET_DIAG("%s", "Invalid address passed to function");
    return EAI_SYSTEM;
  }
  quor_net_initaddr(addr);

  struct addrinfo hints;
  memset(&hints, 0, sizeof(hints));
  const int policy = quor_net_get_family_option(errbuf, errbuflen);
  switch (policy) {
    case QUOR_NET_FAMILY_IPV4_ONLY:
      hints.ai_family = AF_INET;
      hints.ai_flags = AI_PASSIVE;
      break;
    case QUOR_NET_FAMILY_IPV6_ONLY:
      hints.ai_family = AF_INET6;
      hints.ai_flags = AI_PASSIVE;
      break;
    case QUOR_NET_FAMILY_IPV6:
      hints.ai_family = AF_INET6;
      hints.ai_flags = AI_PASSIVE | AI_V4MAPPED | AI_ALL;
      break;
    default:
      NET_DIAG("%s %s", "QUOR_NET_FAMILY set to", familyText());
      return -6;
  }
  // The policy alone decides these three.
  hints.ai_flags |= flags & ~(AI_PASSIVE | AI_V4MAPPED | AI_ALL);

  if (protocol != QUOR_IPPROTO_UNSPECIFIED && protocol != QUOR_IPPROTO_TCP &&
      protocol != QUOR_IPPROTO_UDP) {
    NET_DIAG("Invalid protocol used (%d)", protocol);
    return -7;
  }
  hints.ai_protocol = protocol;

  struct addrinfo* list = nullptr;
  const int rc = getaddrinfo(host, service, &hints, &list);
  if (rc != 0) {
    NET_DIAG("host %s service %s: %s %d %s", host != nullptr ? host : "(null)",
             service != nullptr ? service : "(null)", "Error returned from getaddrinfo. ", rc,
             gai_strerror(rc));
    return rc;
  }

  const struct addrinfo* chosen = nullptr;
  const struct addrinfo* first_v4 = nullptr;
  for (const struct addrinfo* ai = list; ai != nullptr; ai = ai->ai_next) {
    if (ai->ai_addr == nullptr || ai->ai_addrlen > sizeof(addr->hs_addr)) continue;
    if (ai->ai_family == AF_INET6 && policy != QUOR_NET_FAMILY_IPV4_ONLY) {
      chosen = ai;
      break;
    }
    if (ai->ai_family == AF_INET && first_v4 == nullptr) first_v4 = ai;
    if (ai->ai_family == AF_INET && policy == QUOR_NET_FAMILY_IPV4_ONLY) {
      chosen = ai;
      break;
    }
  }
  if (chosen == nullptr && policy == QUOR_NET_FAMILY_IPV6) chosen = first_v4;

  int result = 0;
  if (chosen != nullptr) {
    addr->hs_addrlen = chosen->ai_addrlen;
    memcpy(&addr->hs_addr, chosen->ai_addr, chosen->ai_addrlen);
  } else {
    NET_DIAG("%s %s", "No address found for family", familyText());
    result = -6;
  }
  freeaddrinfo(list);
  return result;
}

int quor_net_socket(const quor_sockaddr_t* addr, int type, int protocol, char* errbuf,
                    size_t errbuflen) {
  if (addr == nullptr) {
    errno = EINVAL;
    NET_DIAG("%s", "Invalid argument passed to function");
    return -1;
  }
  const int fd = socket(addr->hs_addr.ss_family, type, protocol);
  if (fd < 0) {
    const int err = errno;
    NET_DIAG_ERRNO("Error returned from socket. ", err);
    return -1;
  }
  const int policy = quor_net_get_family_option(errbuf, errbuflen);
  if (policy == QUOR_NET_FAMILY_INVALID) {
    close(fd);
    errno = EINVAL;
    return -1;
  }
  if (policy == QUOR_NET_FAMILY_IPV6_ONLY) {
    const int on = 1;
    if (setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof(on)) != 0) {
      const int err = errno;
      NET_DIAG_ERRNO("Could not ensure IPv6 only", err);
      closeKeepErrno(fd);
      return -1;
    }
  }
  return fd;
}

int __quor_net_setscopeid(quor_sockaddr_t* addr, char* errbuf, size_t errbuflen) {
  if (addr == nullptr || addr->hs_addrlen == 0) {
    errno = EFAULT;
    NET_DIAG("%s", "Invalid address passed to function");
    return -1;
  }
  int family = 0;
  void* raw = quor_net_getinaddr(addr, &family, nullptr);
  if (raw == nullptr) {
    errno = EAFNOSUPPORT;
    NET_DIAG("%s", "quor_net_getinaddr() failure.");
    return -1;
  }
  if (family != AF_INET6 || !isLinkLocal(static_cast<const struct in6_addr*>(raw))) return 0;

  struct ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) {
    const int err = errno;
    NET_DIAG_ERRNO("Error returned from getifaddrs. ", err);
    return -1;
  }
  auto* sin6 = reinterpret_cast<struct sockaddr_in6*>(&addr->hs_addr);
  for (const struct ifaddrs* ifa = list; ifa != nullptr; ifa = ifa->ifa_next) {
    if (ifa->ifa_addr == nullptr || ifa->ifa_addr->sa_family != AF_INET6) continue;
    quor_sockaddr_t entry;
    fromSockaddr(&entry, ifa->ifa_addr);
    quor_sockaddr_t mask;
    const bool have_mask =
        ifa->ifa_netmask != nullptr && ifa->ifa_netmask->sa_family == AF_INET6;
    if (have_mask) fromSockaddr(&mask, ifa->ifa_netmask);
    if (quor_net_addrmatch(addr, have_mask ? &mask : nullptr, &entry)) {
      // Every entry is visited; the last match decides.
      sin6->sin6_scope_id =
          reinterpret_cast<const struct sockaddr_in6*>(ifa->ifa_addr)->sin6_scope_id;
    }
  }
  freeifaddrs(list);
  return 0;
}

int quor_net_bind(int fd, quor_sockaddr_t* addr, char* errbuf, size_t errbuflen) {
  if (addr == nullptr) {
    errno = EFAULT;
    NET_DIAG("%s", "Invalid argument passed to function");
    return -1;
  }
  if (__quor_net_setscopeid(addr, errbuf, errbuflen) != 0) return -1;
  if (bind(fd, reinterpret_cast<const struct sockaddr*>(&addr->hs_addr), addr->hs_addrlen) !=
      0) {
    const int err = errno;
    if (errbuf != nullptr && errbuflen > 0) {
      char text[256];
      quor_net_strerror(err, text, sizeof(text));
      NET_DIAG("%s (%d). %s", "Error returned from bind ", err, text);
    }
    return -1;
  }
  return 0;
}

int quor_net_connect(int fd, quor_sockaddr_t* addr, char* errbuf, size_t errbuflen) {
  if (addr == nullptr || addr->hs_addrlen == 0) {
    errno = EFAULT;
    NET_DIAG("%s", "Invalid argument passed to function");
    return -1;
  }
  if (__quor_net_setscopeid(addr, errbuf, errbuflen) != 0) return -1;
  if (connect(fd, reinterpret_cast<const struct sockaddr*>(&addr->hs_addr),
              addr->hs_addrlen) != 0) {
    const int err = errno;
    NET_DIAG_ERRNO("Error returned from connect. ", err);
    return -1;
  }
  return 0;
}

int quor_net_listen(int fd, int backlog, char* errbuf, size_t errbuflen) {
  if (listen(fd, backlog) != 0) {
    const int err = errno;
    NET_DIAG_ERRNO("Error returned from listen. ", err);
    return -1;
  }
  return 0;
}

int quor_net_accept(int fd, quor_sockaddr_t* addr, char* errbuf, size_t errbuflen) {
  int nfd;
  if (addr != nullptr) {
    quor_net_initaddr(addr);
    socklen_t len = sizeof(addr->hs_addr);
    nfd = accept(fd, reinterpret_cast<struct sockaddr*>(&addr->hs_addr), &len);
    if (nfd >= 0) addr->hs_addrlen = len;
  } else {
    nfd = accept(fd, nullptr, nullptr);
  }
  if (nfd < 0) {
    const int err = errno;
    NET_DIAG_ERRNO("Error returned from accept. ", err);
    return -1;
  }
  return nfd;
}

int quor_net_getsockname(int fd, quor_sockaddr_t* addr, char* errbuf, size_t errbuflen) {
  if (addr == nullptr) {
    errno = EFAULT;
    NET_DIAG("%s", "Invalid address passed to function");
    return -1;
  }
  quor_net_initaddr(addr);
  socklen_t len = sizeof(addr->hs_addr);
  if (getsockname(fd, reinterpret_cast<struct sockaddr*>(&addr->hs_addr), &len) != 0) {
    const int err = errno;
    NET_DIAG_ERRNO("Error returned from getsockname. ", err);
    return -1;
  }
  addr->hs_addrlen = len;
  return 0;
}

int quor_net_getpeername(int fd, quor_sockaddr_t* addr, char* errbuf, size_t errbuflen) {
  if (addr == nullptr) {
    errno = EFAULT;
    NET_DIAG("%s", "Invalid address passed to function");
    return -1;
  }
  quor_net_initaddr(addr);
  socklen_t len = sizeof(addr->hs_addr);
  if (getpeername(fd, reinterpret_cast<struct sockaddr*>(&addr->hs_addr), &len) != 0) {
    const int err = errno;
    NET_DIAG_ERRNO("Error returned from getpeername. ", err);
    return -1;
  }
  addr->hs_addrlen = len;
  return 0;
}

int quor_net_getnameinfo(const quor_sockaddr_t* addr, char* host, size_t hostlen, char* serv,
                         size_t servlen, int flags, char* errbuf, size_t errbuflen) {
  if (addr == nullptr) {
    errno = EFAULT;
    NET_DIAG("%s", "Invalid address passed to function");
    return EAI_SYSTEM;
  }
  const int rc = getnameinfo(reinterpret_cast<const struct sockaddr*>(&addr->hs_addr),
                             addr->hs_addrlen, host, host != nullptr ? hostlen : 0, serv,
                             serv != nullptr ? servlen : 0, flags);
  if (rc != 0) {
    NET_DIAG("%s %d %s", "Error returned from getnameinfo. ", rc, gai_strerror(rc));
    return rc;
  }
  return 0;
}

int quor_net_getport(const quor_sockaddr_t* addr, char* errbuf, size_t errbuflen) {
  if (addr == nullptr) {
    NET_DIAG("%s", "Invalid argument passed to function");
    return -EINVAL;
  }
  char serv[PORT_TEXT];
  const int rc = quor_net_getnameinfo(addr, nullptr, 0, serv, sizeof(serv),
                                      NI_NUMERICHOST | NI_NUMERICSERV, errbuf, errbuflen);
  if (rc != 0) return rc;

  errno = 0;
  char* end = nullptr;
  const long port = strtol(serv, &end, 0);
  if (errno != 0 || end == serv) {
    const int err = errno != 0 ? errno : EINVAL;
    NET_DIAG_ERRNO("Error returned from strtol. ", err);
    return -err;
  }
  if (port < 0 || port > 65535) {
    NET_DIAG("%s", "Port out of range. ");
    return -ERANGE;
  }
  return static_cast<int>(port);
}

int quor_net_getuniversaladdress(const quor_sockaddr_t* addr, char* buf, int buflen,
                                 char* errbuf, size_t errbuflen) {
  if (addr == nullptr || buf == nullptr || buflen <= 0) {
    NET_DIAG("%s", "Invalid argument passed to function.");
    return -EINVAL;
  }
  memset(buf, 0, static_cast<size_t>(buflen));

  const int family = addr->hs_addr.ss_family;
  const void* raw;
  unsigned port;
  if (family == AF_INET) {
    auto* sin = reinterpret_cast<const struct sockaddr_in*>(&addr->hs_addr);
    raw = &sin->sin_addr;
    port = ntohs(sin->sin_port);
  } else if (family == AF_INET6) {
    auto* sin6 = reinterpret_cast<const struct sockaddr_in6*>(&addr->hs_addr);
    raw = &sin6->sin6_addr;
    port = ntohs(sin6->sin6_port);
  } else {
    NET_DIAG("%s (%d)", "Unexpected family.", family);
    return -EINVAL;
  }

  char text[NTOP_SCRATCH];
  if (inet_ntop(family, raw, text, sizeof(text)) == nullptr) {
    const int err = errno;
    NET_DIAG_ERRNO("Error returned from inet_ntop.", err);
    return -err;
  }
  const int n = snprintf(buf, static_cast<size_t>(buflen), "%s.%u", text, port);
  if (n < 0 || n >= buflen) {
    NET_DIAG("%s", "Buffer was truncated.");
    return -1;
  }
  return n;
}

void* quor_net_getinaddr(const quor_sockaddr_t* addr, int* family, int* len) {
  int fam = 0;
  int n = 0;
  void* raw = nullptr;
  if (addr != nullptr) {
    // The record is the caller's; handing back a writable pointer into it is the point.
    auto* storage = const_cast<struct sockaddr_storage*>(&addr->hs_addr);
    if (storage->ss_family == AF_INET) {
      fam = AF_INET;
      n = 4;
      raw = &reinterpret_cast<struct sockaddr_in*>(storage)->sin_addr;
    } else if (storage->ss_family == AF_INET6) {
      fam = AF_INET6;
      n = 16;
      raw = &reinterpret_cast<struct sockaddr_in6*>(storage)->sin6_addr;
    }
  }
  if (family != nullptr) *family = fam;
  if (len != nullptr) *len = n;
  return raw;
}

int quor_net_addrmatch(const quor_sockaddr_t* addr, const quor_sockaddr_t* mask,
                       const quor_sockaddr_t* entry) {
  if (addr == nullptr || entry == nullptr) return 0;
  int afam = 0;
  int alen = 0;
  const auto* a = static_cast<const unsigned char*>(quor_net_getinaddr(addr, &afam, &alen));
  int efam = 0;
  const auto* e = static_cast<const unsigned char*>(quor_net_getinaddr(entry, &efam, nullptr));
  if (a == nullptr || e == nullptr || afam != efam) return 0;
  const unsigned char* m = nullptr;
  if (mask != nullptr) {
    int mfam = 0;
    m = static_cast<const unsigned char*>(quor_net_getinaddr(mask, &mfam, nullptr));
    if (m == nullptr || mfam != afam) return 0;
  }
  for (int i = 0; i < alen; i++) {
    const unsigned char bits = m != nullptr ? m[i] : 0xFF;
    if (((a[i] ^ e[i]) & bits) != 0) return 0;
  }
  return 1;
}

void quor_net_generatemask(const quor_sockaddr_t* src, quor_sockaddr_t* mask, int bits) {
  if (src == nullptr || mask == nullptr) return;
  *mask = *src;
  int len = 0;
  auto* raw = static_cast<unsigned char*>(quor_net_getinaddr(mask, nullptr, &len));
  if (raw == nullptr) return;
  // 0 asks for a host mask. A negative prefix would otherwise give an empty
  // mask that matches every address, so it is treated the same way.
  int n = bits > 0 ? bits : len * 8;
  for (int i = 0; i < len; i++, n -= 8) {
    if (n >= 8)
      raw[i] = 0xFF;
    else if (n <= 0)
      raw[i] = 0;
    else
      raw[i] = static_cast<unsigned char>(0xFF << (8 - n));
  }
}

void quor_net_strerror(int err, char* buf, size_t buflen) {
  if (buf == nullptr || buflen == 0) return;
  const int saved = errno;
  memset(buf, 0, buflen);
  const char* text = strerror_r(err, buf, buflen);
  if (text != nullptr && text != buf) snprintf(buf, buflen, "%s", text);
  errno = saved;
}

int quor_poll_descriptor(int fd, quor_poll_t dir, int timeout_sec) {
  struct pollfd pfd;
  pfd.fd = fd;
  pfd.events = dir == QUOR_POLL_WRITE ? POLLOUT : POLLIN;
  pfd.revents = 0;
  int timeout_ms = -1;
  if (timeout_sec > 0)
    timeout_ms = timeout_sec > INT_MAX / 1000 ? INT_MAX : timeout_sec * 1000;

  int rc;
  do {
    rc = poll(&pfd, 1, timeout_ms);
  } while (rc < 0 && (errno == EINTR || errno == EAGAIN));

  int err = 0;
  if (rc < 0)
    err = errno;
  else if (rc == 0)
    err = ETIMEDOUT;
  else if ((pfd.revents & POLLHUP) && !(pfd.revents & POLLIN))
    err = EPIPE;
  else if (pfd.revents & POLLNVAL)
    err = EBADF;
  if (err != 0) {
    errno = err;
    return -1;
  }
  return 0;
}

int quor_recv_data_timeout(int fd, void* buf, int count, int timeout_sec) {
  if (count < 0 || (buf == nullptr && count > 0)) return -EINVAL;
  auto* p = static_cast<char*>(buf);
  int done = 0;
  while (done < count) {
    if (quor_poll_descriptor(fd, QUOR_POLL_READ, timeout_sec) != 0) return -errno;
    for (;;) {
      const ssize_t n = read(fd, p + done, static_cast<size_t>(count - done));
      if (n > 0) {
        done += static_cast<int>(n);
        break;
      }
      if (n == 0) return CONNECTION_LOST;
      if (errno == EINTR) continue;
      // A spurious wake-up on a non-blocking descriptor waits again, under the time-out.
      if (errno == EAGAIN || errno == EWOULDBLOCK) break;
      if (errno == ECONNRESET) return CONNECTION_LOST;
      return -errno;
    }
  }
  return count;
}

int quor_send_data_timeout(int fd, const void* buf, int count, int timeout_sec) {
  if (count < 0 || (buf == nullptr && count > 0)) return -EINVAL;
  const auto* p = static_cast<const char*>(buf);
  int done = 0;
  bool is_socket = true;
  while (done < count) {
    if (quor_poll_descriptor(fd, QUOR_POLL_WRITE, timeout_sec) != 0) return -errno;
    for (;;) {
      const size_t left = static_cast<size_t>(count - done);
      // MSG_NOSIGNAL: a closed peer must come back as EPIPE, never as SIGPIPE.
      // MSG_DONTWAIT: on a blocking socket a large send would otherwise sit in
      // the kernel past the time-out; a short write goes back to poll instead.
      ssize_t n = is_socket ? send(fd, p + done, left, MSG_NOSIGNAL | MSG_DONTWAIT)
                            : write(fd, p + done, left);
      if (n < 0 && is_socket && errno == ENOTSOCK) {
        is_socket = false;
        n = write(fd, p + done, left);
      }
      if (n > 0) {
        done += static_cast<int>(n);
        break;
      }
      if (n == 0) return CONNECTION_LOST;
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) break;  // full: wait under the time-out
      return -errno;  // ECONNRESET and EPIPE give -104 and -32
    }
  }
  return count;
}

void quor_encode_16(unsigned char* buf, int index, uint16_t value) {
  buf[index] = static_cast<unsigned char>(value >> 8);
  buf[index + 1] = static_cast<unsigned char>(value);
}

void quor_encode_32(unsigned char* buf, int index, uint32_t value) {
  for (int i = 0; i < 4; i++) buf[index + i] = static_cast<unsigned char>(value >> (24 - 8 * i));
}

void quor_encode_64(unsigned char* buf, int index, uint64_t value) {
  for (int i = 0; i < 8; i++) buf[index + i] = static_cast<unsigned char>(value >> (56 - 8 * i));
}

void quor_decode_16(const unsigned char* buf, int index, uint16_t* value) {
  *value = static_cast<uint16_t>((buf[index] << 8) | buf[index + 1]);
}

void quor_decode_32(const unsigned char* buf, int index, uint32_t* value) {
  uint32_t v = 0;
  for (int i = 0; i < 4; i++) v = (v << 8) | buf[index + i];
  *value = v;
}

void quor_decode_64(const unsigned char* buf, int index, uint64_t* value) {
  *value = mem64(buf + index);
}

void quor_encode_chars(unsigned char* buf, int index, const unsigned char* src, int count) {
  if (count > 0) memcpy(buf + index, src, static_cast<size_t>(count));
}

void quor_decode_chars(const unsigned char* buf, int index, unsigned char* dst, int count) {
  if (count > 0) memcpy(dst, buf + index, static_cast<size_t>(count));
}

uint64_t mem64(const void* p) {
  const auto* b = static_cast<const unsigned char*>(p);
  uint64_t v = 0;
  for (int i = 0; i < 8; i++) v = (v << 8) | b[i];
  return v;
}

long getSysPageSize(void) {
  static std::atomic<long> page_size{0};
  long size = page_size.load(std::memory_order_relaxed);
  if (size == 0) {
    const long sys = sysconf(_SC_PAGESIZE);
    size = sys > 0 ? sys : 4096;
    page_size.store(size, std::memory_order_relaxed);
  }
  return size;
}

int quor_PAMalloc(size_t size, void** raw, void** aligned) {
  if (raw != nullptr) *raw = nullptr;
  if (aligned != nullptr) *aligned = nullptr;
  if (raw == nullptr || aligned == nullptr) return -ENOMEM;
  const size_t page = static_cast<size_t>(getSysPageSize());
  if (size > SIZE_MAX - (page - 1)) return -ENOMEM;  // the padding would wrap
  void* block = malloc(size + page - 1);
  if (block == nullptr) return -ENOMEM;
  const uintptr_t start = reinterpret_cast<uintptr_t>(block);
  const uintptr_t rounded = (start + page - 1) / page * page;
  *raw = block;
  *aligned = static_cast<char*>(block) + (rounded - start);
  return 0;
}
