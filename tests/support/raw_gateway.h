// A client of gwsim on a raw socket, for tests that speak the wire without
// the client library: request headers built with ozugw_BuildMsgHdr, bodies
// encoded with the codecs, replies read header by header.
//
// Sock             a connected loopback socket (fd -1 when the connect
//                  failed); receives time out after 10 s so that a hang
//                  fails a test instead of stalling it.
// header/request/bare  a request's bytes: header only, header and body,
//                  or a header without a body.
// readReply        one reply header and, when flagged, bodyLen body bytes.
// readServerState  the greeting every connection starts with.
#ifndef TESTS_SUPPORT_RAW_GATEWAY_H
#define TESTS_SUPPORT_RAW_GATEWAY_H

#include <stdint.h>

#include <string>

#include "ozugw_msgdefs.h"
#include "ozugw_msghdr.h"
#include "wire.h"

constexpr uint32_t kBody = 0x80000000u;

uint32_t be32(const uint8_t* p);

struct Sock {
  int fd = -1;
  explicit Sock(int port);
  ~Sock();
  Sock(const Sock&) = delete;
  Sock& operator=(const Sock&) = delete;

  void sendRaw(const wire::Bytes& b) const;
  // Up to n bytes; fewer only at end of stream or time-out.
  wire::Bytes recvUpTo(size_t n) const;
  bool atEof() const;
};

wire::Bytes header(uint32_t id, uint32_t flags, uint32_t time, uint16_t cat, uint16_t fn);

template <typename T>
wire::Bytes request(uint32_t id, uint32_t flags, uint32_t time, uint16_t cat, uint16_t fn,
                    bool_t (*codec)(XDR*, T*), T* rec) {
  wire::Bytes b = header(id, flags | kBody, time, cat, fn);
  wire::Bytes body = wire::encode(codec, rec);
  b.insert(b.end(), body.begin(), body.end());
  return b;
}

wire::Bytes bare(uint32_t id, uint16_t cat, uint16_t fn, uint32_t flags = 0);

// A reply header read off the socket.
struct Reply {
  bool ok = false;
  std::string sanity;
  uint32_t id = 0, flags = 0, thread = 0;
  uint16_t cat = 0, fn = 0;
  int32_t err = 0;
  wire::Bytes body;
};

Reply readReply(const Sock& s, size_t bodyLen);
Reply readServerState(const Sock& s);

#endif
