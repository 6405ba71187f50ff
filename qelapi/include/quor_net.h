// Socket layer: one address record for both families, one process-wide
// family policy (QUOR_NET_FAMILY, read at every use), and failures reported
// as return codes plus an optional one-line diagnostic in the caller's buffer.
// Nothing here prints.
#ifndef QUOR_NET_H
#define QUOR_NET_H

#include <stddef.h>
#include <stdint.h>
#include <sys/socket.h>
#include <sys/types.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct quor_sockaddr {
  socklen_t hs_addrlen;             // 16 IPv4, 28 IPv6, 128 reset, 0 none
  struct sockaddr_storage hs_addr;  // platform layout, network byte order
} quor_sockaddr_t;

typedef enum {
  QUOR_IPPROTO_UNSPECIFIED = 0,
  QUOR_IPPROTO_TCP = 6,
  QUOR_IPPROTO_UDP = 17,
} quor_ipproto_t;

typedef enum { QUOR_POLL_READ = 0, QUOR_POLL_WRITE = 1 } quor_poll_t;

// Family policies returned by quor_net_get_family_option.
#define QUOR_NET_FAMILY_INVALID 0
#define QUOR_NET_FAMILY_IPV4_ONLY 1
#define QUOR_NET_FAMILY_IPV6 2
#define QUOR_NET_FAMILY_IPV6_ONLY 3

void quor_net_initaddr(quor_sockaddr_t* addr);
const char* quor_net_get_family_string(void);
int quor_net_get_family_option(char* errbuf, size_t errbuflen);
int quor_net_getaddrinfo(const char* host, const char* service, int flags, int protocol,
                         quor_sockaddr_t* addr, char* errbuf, size_t errbuflen);
int quor_net_socket(const quor_sockaddr_t* addr, int type, int protocol, char* errbuf,
                    size_t errbuflen);
int quor_net_bind(int fd, quor_sockaddr_t* addr, char* errbuf, size_t errbuflen);
int quor_net_connect(int fd, quor_sockaddr_t* addr, char* errbuf, size_t errbuflen);
int quor_net_listen(int fd, int backlog, char* errbuf, size_t errbuflen);
int quor_net_accept(int fd, quor_sockaddr_t* addr, char* errbuf, size_t errbuflen);
int quor_net_getsockname(int fd, quor_sockaddr_t* addr, char* errbuf, size_t errbuflen);
int quor_net_getpeername(int fd, quor_sockaddr_t* addr, char* errbuf, size_t errbuflen);
int quor_net_getnameinfo(const quor_sockaddr_t* addr, char* host, size_t hostlen, char* serv,
                         size_t servlen, int flags, char* errbuf, size_t errbuflen);
int quor_net_getport(const quor_sockaddr_t* addr, char* errbuf, size_t errbuflen);
int quor_net_getuniversaladdress(const quor_sockaddr_t* addr, char* buf, int buflen,
                                 char* errbuf, size_t errbuflen);
// Raw address bytes inside the record (4 or 16), or null for another family.
void* quor_net_getinaddr(const quor_sockaddr_t* addr, int* family, int* len);
int quor_net_addrmatch(const quor_sockaddr_t* addr, const quor_sockaddr_t* mask,
                       const quor_sockaddr_t* entry);
void quor_net_generatemask(const quor_sockaddr_t* src, quor_sockaddr_t* mask, int bits);
int __quor_net_setscopeid(quor_sockaddr_t* addr, char* errbuf, size_t errbuflen);
void quor_net_strerror(int err, char* buf, size_t buflen);

int quor_poll_descriptor(int fd, quor_poll_t dir, int timeout_sec);
int quor_recv_data_timeout(int fd, void* buf, int count, int timeout_sec);
int quor_send_data_timeout(int fd, const void* buf, int count, int timeout_sec);

void quor_encode_16(unsigned char* buf, int index, uint16_t value);
void quor_encode_32(unsigned char* buf, int index, uint32_t value);
void quor_encode_64(unsigned char* buf, int index, uint64_t value);
void quor_decode_16(const unsigned char* buf, int index, uint16_t* value);
void quor_decode_32(const unsigned char* buf, int index, uint32_t* value);
void quor_decode_64(const unsigned char* buf, int index, uint64_t* value);
void quor_encode_chars(unsigned char* buf, int index, const unsigned char* src, int count);
void quor_decode_chars(const unsigned char* buf, int index, unsigned char* dst, int count);
uint64_t mem64(const void* p);
long getSysPageSize(void);
int quor_PAMalloc(size_t size, void** raw, void** aligned);

#ifdef __cplusplus
}
#endif

#endif
