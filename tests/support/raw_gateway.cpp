#include "raw_gateway.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

using wire::Bytes;

uint32_t be32(const uint8_t* p) {
  return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3];
}

Sock::Sock(int port) {
  fd = socket(AF_INET, SOCK_STREAM, 0);
  struct timeval tv = {10, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  struct sockaddr_in sa {};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(uint16_t(port));
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<struct sockaddr*>(&sa), sizeof sa) < 0) {
    close(fd);
    fd = -1;
  }
}

Sock::~Sock() {
  if (fd >= 0) close(fd);
}

void Sock::sendRaw(const Bytes& b) const {
  wire::note_wire(b.data(), b.size());  // gwsim's fuzz target takes these as seeds
  ASSERT_EQ(send(fd, b.data(), b.size(), MSG_NOSIGNAL), ssize_t(b.size()));
}

Bytes Sock::recvUpTo(size_t n) const {
  Bytes out(n);
  size_t got = 0;
  while (got < n) {
    ssize_t r = recv(fd, out.data() + got, n - got, 0);
    if (r <= 0) break;
    got += size_t(r);
  }
  out.resize(got);
  return out;
}

bool Sock::atEof() const {
  uint8_t c;
  return recv(fd, &c, 1, 0) == 0;
}

Bytes header(uint32_t id, uint32_t flags, uint32_t time, uint16_t cat, uint16_t fn) {
  api_msghdr_t h;
  ozugw_BuildMsgHdr(&h, id, flags, time, 0, cat, fn, 0);
  return wire::encode(qel_xdr_api_msghdr_t, &h);
}

Bytes bare(uint32_t id, uint16_t cat, uint16_t fn, uint32_t flags) {
  return header(id, flags, 0, cat, fn);
}

Reply readReply(const Sock& s, size_t bodyLen) {
  Reply r;
  Bytes h = s.recvUpTo(36);
  if (h.size() != 36) return r;
  r.ok = true;
  r.sanity.assign(reinterpret_cast<const char*>(h.data()), 8);
  r.id = be32(&h[8]);
  r.flags = be32(&h[12]);
  r.thread = be32(&h[20]);
  r.cat = uint16_t(be32(&h[24]));
  r.fn = uint16_t(be32(&h[28]));
  r.err = int32_t(be32(&h[32]));
  if (r.flags & kBody) r.body = s.recvUpTo(bodyLen);
  return r;
}

// Six words with id 0.
Reply readServerState(const Sock& s) { return readReply(s, 24); }
