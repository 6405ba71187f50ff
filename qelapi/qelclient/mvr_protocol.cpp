// Mover protocol messages: wire forms, checksums and the send and receive
// operations; see mvr_protocol.h.
#include "mvr_protocol.h"

#include <netinet/in.h>
#include <string.h>

#include "quor_net.h"

namespace {

// The ticket and other byte words enter the sums as big-endian numbers.
uint64_t be64(const uint8_t* p) { return mem64(p); }

// Sends a whole encoded message: 0, or the socket failure.
int sendWhole(int sd, const unsigned char* buf, int len, int timeout) {
  int rc = quor_send_data_timeout(sd, buf, len, timeout);
  return rc == len ? 0 : (rc < 0 ? rc : -5);
}

int recvWhole(int sd, unsigned char* buf, int len, int timeout) {
  int rc = quor_recv_data_timeout(sd, buf, len, timeout);
  return rc == len ? 0 : (rc < 0 ? rc : -5);
}

// The raw address bytes, family code and port of an IP-address message:
// false when the address cannot be sent.
bool ipParts(const quor_sockaddr_t* sa, const unsigned char** raw, int* rawLen, uint32_t* code,
             uint32_t* port) {
  int family = 0, len = 0;
  void* p = quor_net_getinaddr(sa, &family, &len);
  if (p == nullptr || family == 0 || len == 0) return false;
  if (family == AF_INET)
    *code = MVRPROT_FAMILY_IPV4;
  else if (family == AF_INET6)
    *code = MVRPROT_FAMILY_IPV6;
  else
    return false;
  int pt = quor_net_getport(sa, nullptr, 0);
  if (pt < 0) return false;
  *raw = static_cast<const unsigned char*>(p);
  *rawLen = len;
  *port = static_cast<uint32_t>(pt);
  return true;
}

}  // namespace

// ---- checksums ----

uint64_t mvrprot_initmsg_checksum(const initiator_msg_t* m) {
  return m->Delimiter + m->Flags + m->Type + m->Offset + m->Length + m->BlockSize +
         m->StripeWidth + m->TotalLength + m->DevBlkSz + m->DevBlkOff + m->DevCRCAlgo +
         be64(m->SecurityTicket);
}

uint64_t mvrprot_ipaddr_checksum(const initiator_ipaddr_t* m) {
  const unsigned char* raw = nullptr;
  int rawLen = 0;
  uint32_t code = 0, port = 0;
  if (!ipParts(&m->IpAddr.SockAddr, &raw, &rawLen, &code, &port)) return 0;
  uint64_t addr = 0;
  if (code == MVRPROT_FAMILY_IPV4) {
    uint32_t v;
    quor_decode_32(raw, 0, &v);
    addr = v;
  } else {
    addr = mem64(raw) + mem64(raw + 8);
  }
  return m->Delimiter + m->Flags + m->IpAddr.SockTransferID + addr + port + code +
         m->IpAddr.SockOffset + be64(m->SecurityTicket);
}

uint64_t mvrprot_san3paddr_checksum(const initiator_san3paddr_t* m) {
  const uint8_t* tok = m->San3pAddr.SanSecurityToken.Bytes;
  return m->Delimiter + m->San3pAddr.SAN3PTransferID + be64(tok) + be64(tok + 16) +
         be64(m->SecurityTicket);
}

uint64_t mvrprot_devaddr_checksum(const san3p_devaddr_t* m) {
  return m->Delimiter + m->SAN3PTransferID + m->Flags + m->MediaBlockSize + m->BlockOffset +
         m->Block + m->StartOffset + be64(m->DevName) + be64(m->DevName + 16) +
         be64(m->DevName + 32) + be64(m->DevName + 48) + be64(m->DeviceID) +
         be64(m->DeviceID + 16) + be64(m->DeviceID + 32);
}

uint64_t mvrprot_compmsg_checksum(const completion_msg_t* m) {
  return m->Delimiter + m->Flags + static_cast<uint32_t>(m->Status) + m->BytesMoved +
         be64(m->SecurityTicket);
}

// ---- wire forms ----

void mvrprot_encode_initmsg(const initiator_msg_t* m, unsigned char* b) {
  quor_encode_64(b, 0, m->Delimiter);
  quor_encode_32(b, 8, m->Flags);
  quor_encode_32(b, 12, m->Type);
  quor_encode_64(b, 16, m->Offset);
  quor_encode_64(b, 24, m->Length);
  quor_encode_64(b, 32, m->BlockSize);
  quor_encode_64(b, 40, m->StripeWidth);
  quor_encode_64(b, 48, m->TotalLength);
  quor_encode_32(b, 56, m->DevBlkSz);
  quor_encode_32(b, 60, m->DevBlkOff);
  quor_encode_32(b, 64, m->DevCRCAlgo);
  quor_encode_chars(b, 68, m->SecurityTicket, 8);
  quor_encode_64(b, 76, m->CheckSum);
}

int mvrprot_decode_initmsg(const unsigned char* b, initiator_msg_t* m) {
  quor_decode_64(b, 0, &m->Delimiter);
  quor_decode_32(b, 8, &m->Flags);
  quor_decode_32(b, 12, &m->Type);
  quor_decode_64(b, 16, &m->Offset);
  quor_decode_64(b, 24, &m->Length);
  quor_decode_64(b, 32, &m->BlockSize);
  quor_decode_64(b, 40, &m->StripeWidth);
  quor_decode_64(b, 48, &m->TotalLength);
  quor_decode_32(b, 56, &m->DevBlkSz);
  quor_decode_32(b, 60, &m->DevBlkOff);
  quor_decode_32(b, 64, &m->DevCRCAlgo);
  quor_decode_chars(b, 68, m->SecurityTicket, 8);
  quor_decode_64(b, 76, &m->CheckSum);
  return mvrprot_initmsg_checksum(m) == m->CheckSum ? 0 : -22;
}

int mvrprot_encode_ipaddr(const initiator_ipaddr_t* m, unsigned char* b) {
  const unsigned char* raw = nullptr;
  int rawLen = 0;
  uint32_t code = 0, port = 0;
  if (!ipParts(&m->IpAddr.SockAddr, &raw, &rawLen, &code, &port)) return -22;
  memset(b, 0, MVRPROT_IPADDR_LEN);
  quor_encode_64(b, 0, m->Delimiter);
  quor_encode_32(b, 8, m->Flags);
  quor_encode_64(b, 12, m->IpAddr.SockTransferID);
  quor_encode_32(b, 20, code);
  quor_encode_chars(b, 24, raw, rawLen);
  quor_encode_32(b, 40, port);
  quor_encode_64(b, 44, m->IpAddr.SockOffset);
  quor_encode_chars(b, 52, m->SecurityTicket, 8);
  quor_encode_64(b, 60, m->CheckSum);
  return 0;
}

int mvrprot_decode_ipaddr(const unsigned char* b, initiator_ipaddr_t* m) {
  memset(&m->IpAddr.SockAddr, 0, sizeof m->IpAddr.SockAddr);
  quor_decode_64(b, 0, &m->Delimiter);
  quor_decode_32(b, 8, &m->Flags);
  quor_decode_64(b, 12, &m->IpAddr.SockTransferID);
  uint32_t code, port;
  quor_decode_32(b, 20, &code);
  quor_decode_32(b, 40, &port);
  quor_decode_64(b, 44, &m->IpAddr.SockOffset);
  quor_decode_chars(b, 52, m->SecurityTicket, 8);
  quor_decode_64(b, 60, &m->CheckSum);
  if (port > 0xffff) return -22;
  quor_sockaddr_t* sa = &m->IpAddr.SockAddr;
  if (code == MVRPROT_FAMILY_IPV4) {
    auto* sin = reinterpret_cast<struct sockaddr_in*>(&sa->hs_addr);
    sin->sin_family = AF_INET;
    sin->sin_port = htons(static_cast<uint16_t>(port));
    memcpy(&sin->sin_addr, b + 24, 4);
    sa->hs_addrlen = sizeof *sin;
  } else if (code == MVRPROT_FAMILY_IPV6) {
    auto* sin6 = reinterpret_cast<struct sockaddr_in6*>(&sa->hs_addr);
    sin6->sin6_family = AF_INET6;
    sin6->sin6_port = htons(static_cast<uint16_t>(port));
    memcpy(&sin6->sin6_addr, b + 24, 16);
    sa->hs_addrlen = sizeof *sin6;
  } else {
    return -22;
  }
  return mvrprot_ipaddr_checksum(m) == m->CheckSum ? 0 : -22;
}

void mvrprot_encode_san3paddr(const initiator_san3paddr_t* m, unsigned char* b) {
  quor_encode_64(b, 0, m->Delimiter);
  quor_encode_32(b, 8, m->Flags);
  quor_encode_64(b, 12, m->San3pAddr.SAN3PTransferID);
  quor_encode_chars(b, 20, m->San3pAddr.SanSecurityToken.Bytes, 32);
  quor_encode_chars(b, 52, m->SecurityTicket, 8);
  quor_encode_64(b, 60, m->CheckSum);
}

int mvrprot_decode_san3paddr(const unsigned char* b, initiator_san3paddr_t* m) {
  quor_decode_64(b, 0, &m->Delimiter);
  quor_decode_32(b, 8, &m->Flags);
  quor_decode_64(b, 12, &m->San3pAddr.SAN3PTransferID);
  quor_decode_chars(b, 20, m->San3pAddr.SanSecurityToken.Bytes, 32);
  quor_decode_chars(b, 52, m->SecurityTicket, 8);
  quor_decode_64(b, 60, &m->CheckSum);
  return mvrprot_san3paddr_checksum(m) == m->CheckSum ? 0 : -22;
}

void mvrprot_encode_devaddr(const san3p_devaddr_t* m, unsigned char* b) {
  quor_encode_64(b, 0, m->Delimiter);
  quor_encode_64(b, 8, m->SAN3PTransferID);
  quor_encode_32(b, 16, m->Flags);
  quor_encode_32(b, 20, m->MediaBlockSize);
  quor_encode_32(b, 24, m->BlockOffset);
  quor_encode_64(b, 28, m->Block);
  quor_encode_64(b, 36, m->StartOffset);
  quor_encode_chars(b, 44, m->DevName, 64);
  quor_encode_chars(b, 108, m->DeviceID, 48);
  quor_encode_64(b, 156, m->CheckSum);
}

int mvrprot_decode_devaddr(const unsigned char* b, san3p_devaddr_t* m) {
  quor_decode_64(b, 0, &m->Delimiter);
  quor_decode_64(b, 8, &m->SAN3PTransferID);
  quor_decode_32(b, 16, &m->Flags);
  quor_decode_32(b, 20, &m->MediaBlockSize);
  quor_decode_32(b, 24, &m->BlockOffset);
  quor_decode_64(b, 28, &m->Block);
  quor_decode_64(b, 36, &m->StartOffset);
  quor_decode_chars(b, 44, m->DevName, 64);
  quor_decode_chars(b, 108, m->DeviceID, 48);
  quor_decode_64(b, 156, &m->CheckSum);
  return mvrprot_devaddr_checksum(m) == m->CheckSum ? 0 : -22;
}

void mvrprot_encode_compmsg(const completion_msg_t* m, unsigned char* b) {
  quor_encode_64(b, 0, m->Delimiter);
  quor_encode_32(b, 8, m->Flags);
  quor_encode_32(b, 12, static_cast<uint32_t>(m->Status));
  quor_encode_64(b, 16, m->BytesMoved);
  quor_encode_chars(b, 24, m->SecurityTicket, 8);
  quor_encode_64(b, 32, m->CheckSum);
}

int mvrprot_decode_compmsg(const unsigned char* b, completion_msg_t* m) {
  uint32_t status;
  quor_decode_64(b, 0, &m->Delimiter);
  quor_decode_32(b, 8, &m->Flags);
  quor_decode_32(b, 12, &status);
  m->Status = static_cast<int32_t>(status);
  quor_decode_64(b, 16, &m->BytesMoved);
  quor_decode_chars(b, 24, m->SecurityTicket, 8);
  quor_decode_64(b, 32, &m->CheckSum);
  return mvrprot_compmsg_checksum(m) == m->CheckSum ? 0 : -22;
}

// ---- send and receive ----

int mvrprot_send_initmsg_timeout(int SD, initiator_msg_t* Msg, int SecTimeout) {
  Msg->Delimiter = MVRPROT_DELIMITER;
  Msg->CheckSum = mvrprot_initmsg_checksum(Msg);
  unsigned char b[MVRPROT_INITMSG_LEN];
  mvrprot_encode_initmsg(Msg, b);
  return sendWhole(SD, b, sizeof b, SecTimeout);
}

int mvrprot_send_initmsg(int SD, initiator_msg_t* Msg) {
  return mvrprot_send_initmsg_timeout(SD, Msg, 0);
}

int mvrprot_recv_initmsg_timeout(int SD, initiator_msg_t* Msg, int SecTimeout) {
  unsigned char b[MVRPROT_INITMSG_LEN];
  int rc = recvWhole(SD, b, sizeof b, SecTimeout);
  return rc < 0 ? rc : mvrprot_decode_initmsg(b, Msg);
}

int mvrprot_recv_initmsg(int SD, initiator_msg_t* Msg) {
  return mvrprot_recv_initmsg_timeout(SD, Msg, 0);
}

int mvrprot_send_ipaddr_timeout(int SD, initiator_ipaddr_t* Msg, int SecTimeout) {
  Msg->Delimiter = MVRPROT_DELIMITER;
  Msg->CheckSum = mvrprot_ipaddr_checksum(Msg);
  unsigned char b[MVRPROT_IPADDR_LEN];
  if (mvrprot_encode_ipaddr(Msg, b) < 0) return -22;
  return sendWhole(SD, b, sizeof b, SecTimeout);
}

int mvrprot_send_ipaddr(int SD, initiator_ipaddr_t* Msg) {
  return mvrprot_send_ipaddr_timeout(SD, Msg, 0);
}

int mvrprot_recv_ipaddr_timeout(int SD, initiator_ipaddr_t* Msg, int SecTimeout) {
  unsigned char b[MVRPROT_IPADDR_LEN];
  int rc = recvWhole(SD, b, sizeof b, SecTimeout);
  return rc < 0 ? rc : mvrprot_decode_ipaddr(b, Msg);
}

int mvrprot_recv_ipaddr(int SD, initiator_ipaddr_t* Msg) {
  return mvrprot_recv_ipaddr_timeout(SD, Msg, 0);
}

int mvrprot_send_san3paddr_timeout(int SD, initiator_san3paddr_t* Msg, int SecTimeout) {
  Msg->Delimiter = MVRPROT_DELIMITER;
  Msg->CheckSum = mvrprot_san3paddr_checksum(Msg);
  unsigned char b[MVRPROT_SAN3PADDR_LEN];
  mvrprot_encode_san3paddr(Msg, b);
  return sendWhole(SD, b, sizeof b, SecTimeout);
}

int mvrprot_send_san3paddr(int SD, initiator_san3paddr_t* Msg) {
  return mvrprot_send_san3paddr_timeout(SD, Msg, 0);
}

int mvrprot_recv_san3p_devaddr_timeout(int SD, san3p_devaddr_t* Msg, int SecTimeout) {
  unsigned char b[MVRPROT_DEVADDR_LEN];
  int rc = recvWhole(SD, b, sizeof b, SecTimeout);
  return rc < 0 ? rc : mvrprot_decode_devaddr(b, Msg);
}

int mvrprot_recv_san3p_devaddr(int SD, san3p_devaddr_t* Msg) {
  return mvrprot_recv_san3p_devaddr_timeout(SD, Msg, 0);
}

int mvrprot_send_compmsg_timeout(int SD, completion_msg_t* Msg, int SecTimeout) {
  Msg->Delimiter = MVRPROT_DELIMITER;
  Msg->CheckSum = mvrprot_compmsg_checksum(Msg);
  unsigned char b[MVRPROT_COMPMSG_LEN];
  mvrprot_encode_compmsg(Msg, b);
  return sendWhole(SD, b, sizeof b, SecTimeout);
}

int mvrprot_send_compmsg(int SD, completion_msg_t* Msg) {
  return mvrprot_send_compmsg_timeout(SD, Msg, 0);
}

int mvrprot_recv_compmsg_timeout(int SD, completion_msg_t* Msg, int SecTimeout) {
  unsigned char b[MVRPROT_COMPMSG_LEN];
  int rc = recvWhole(SD, b, sizeof b, SecTimeout);
  return rc < 0 ? rc : mvrprot_decode_compmsg(b, Msg);
}

int mvrprot_recv_compmsg(int SD, completion_msg_t* Msg) {
  return mvrprot_recv_compmsg_timeout(SD, Msg, 0);
}

int mvrprot_check_compmsg(const completion_msg_t* Msg, uint64_t Expected) {
  if (Msg->Status < 0) return Msg->Status;
  if (Msg->Status != 0 || Msg->BytesMoved != Expected) return -5;
  return 0;
}
