// Mover protocol messages and parallel-data headers: the wire bytes of each
// record written out by hand field by field, the checksums of the reference
// vectors, and the send and receive operations over a socket pair.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "mvr_protocol.h"
#include "pdata.h"

namespace {

std::vector<unsigned char> hex(const std::string& text) {
  std::vector<unsigned char> out;
  std::string digits;
  for (char c : text)
    if (isxdigit(static_cast<unsigned char>(c))) digits += c;
  for (size_t i = 0; i + 1 < digits.size(); i += 2)
    out.push_back(static_cast<unsigned char>(std::stoi(digits.substr(i, 2), nullptr, 16)));
  return out;
}

const uint8_t kTicket[8] = {1, 2, 3, 4, 5, 6, 7, 8};

struct Pair {
  Pair() { EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fd), 0); }
  ~Pair() {
    if (fd[0] >= 0) close(fd[0]);
    if (fd[1] >= 0) close(fd[1]);
  }
  std::vector<unsigned char> readAll(size_t n) {
    std::vector<unsigned char> b(n);
    size_t got = 0;
    while (got < n) {
      ssize_t r = read(fd[1], b.data() + got, n - got);
      if (r <= 0) break;
      got += size_t(r);
    }
    b.resize(got);
    return b;
  }
  void write1(const std::vector<unsigned char>& b) {
    ASSERT_EQ(write(fd[1], b.data(), b.size()), ssize_t(b.size()));
  }
  int fd[2] = {-1, -1};
};

initiator_msg_t sampleInit() {
  initiator_msg_t m;
  memset(&m, 0, sizeof m);
  m.Flags = MVRPROT_ADDR_FOLLOWS | MVRPROT_COMP_REPLY | MVRPROT_HOLD_RESOURCES;
  m.Type = MVRPROT_TYPE_TCPIP;
  m.Offset = 0x1000;
  m.Length = 0x100000;
  m.BlockSize = 0x10000;
  m.StripeWidth = 4;
  m.TotalLength = 0x400000;
  m.DevBlkSz = 0x200;
  m.DevBlkOff = 3;
  m.DevCRCAlgo = 2;
  memcpy(m.SecurityTicket, kTicket, 8);
  return m;
}

const char kInitWire[] =
    "89abcdef01234567"  //  0 Delimiter
    "0000000e"          //  8 Flags
    "00000001"          // 12 Type
    "0000000000001000"  // 16 Offset
    "0000000000100000"  // 24 Length
    "0000000000010000"  // 32 BlockSize
    "0000000000000004"  // 40 StripeWidth
    "0000000000400000"  // 48 TotalLength
    "00000200"          // 56 DevBlkSz
    "00000003"          // 60 DevBlkOff
    "00000002"          // 64 DevCRCAlgo
    "0102030405060708"  // 68 SecurityTicket
    "8aadd0f3067a5e87"; // 76 CheckSum

quor_sockaddr_t inet4(const char* text, int port) {
  quor_sockaddr_t a;
  memset(&a, 0, sizeof a);
  auto* sin = reinterpret_cast<struct sockaddr_in*>(&a.hs_addr);
  sin->sin_family = AF_INET;
  sin->sin_port = htons(uint16_t(port));
  inet_pton(AF_INET, text, &sin->sin_addr);
  a.hs_addrlen = sizeof *sin;
  return a;
}

}  // namespace

TEST(MoverRecords, ReferenceChecksums) {
  pdata_hdr_t h;
  memset(&h, 0, sizeof h);
  h.PdataDelimiter = PDATA_DELIMITER;
  h.XferID = 1;
  h.Length = 4096;
  uint64_t out = 0;
  EXPECT_EQ(pdata_build_checksum(&h, &out), 0x0123456789abddf0ULL);
  EXPECT_EQ(out, 0x0123456789abddf0ULL);
  EXPECT_EQ(h.CheckSum, 0u);  // building the sum changes nothing else

  completion_msg_t c;
  memset(&c, 0, sizeof c);
  c.Delimiter = MVRPROT_DELIMITER;
  c.BytesMoved = 1048576;
  EXPECT_EQ(mvrprot_compmsg_checksum(&c), 0x89abcdef01334567ULL);

  initiator_msg_t m;
  memset(&m, 0, sizeof m);
  m.Delimiter = MVRPROT_DELIMITER;
  m.Offset = 0x8000000000000000ULL;
  m.Length = 0x8000000000000000ULL;
  EXPECT_EQ(mvrprot_initmsg_checksum(&m), 0x89abcdef01234567ULL);  // the sum wraps
}

TEST(MoverRecords, InitiatorWireForm) {
  initiator_msg_t m = sampleInit();
  m.Delimiter = MVRPROT_DELIMITER;
  m.CheckSum = mvrprot_initmsg_checksum(&m);
  unsigned char b[MVRPROT_INITMSG_LEN];
  mvrprot_encode_initmsg(&m, b);
  EXPECT_EQ(std::vector<unsigned char>(b, b + sizeof b), hex(kInitWire));
  initiator_msg_t back;
  EXPECT_EQ(mvrprot_decode_initmsg(hex(kInitWire).data(), &back), 0);
  unsigned char again[MVRPROT_INITMSG_LEN];
  mvrprot_encode_initmsg(&back, again);
  EXPECT_EQ(memcmp(again, b, sizeof b), 0);
  EXPECT_EQ(back.DevCRCAlgo, 2u);
  EXPECT_EQ(back.TotalLength, 0x400000u);
}

TEST(MoverRecords, IpAddressWireFormsOfBothFamilies) {
  initiator_ipaddr_t m;
  memset(&m, 0, sizeof m);
  m.Delimiter = MVRPROT_DELIMITER;
  m.IpAddr.SockTransferID = 0x1122334455667788ULL;
  m.IpAddr.SockAddr = inet4("10.1.2.3", 920);
  m.IpAddr.SockOffset = 0x10;
  memcpy(m.SecurityTicket, kTicket, 8);
  m.CheckSum = mvrprot_ipaddr_checksum(&m);
  const char v4[] =
      "89abcdef01234567"                  //  0 Delimiter
      "00000000"                          //  8 Flags
      "1122334455667788"                  // 12 SockTransferID
      "00000001"                          // 20 family code: IPv4
      "0a010203" "000000000000000000000000"  // 24 address, then 12 zero bytes
      "00000398"                          // 40 port 920
      "0000000000000010"                  // 44 SockOffset
      "0102030405060708"                  // 52 SecurityTicket
      "9bd004376590c9a3";                 // 60 CheckSum
  unsigned char b[MVRPROT_IPADDR_LEN];
  ASSERT_EQ(mvrprot_encode_ipaddr(&m, b), 0);
  EXPECT_EQ(std::vector<unsigned char>(b, b + sizeof b), hex(v4));
  initiator_ipaddr_t back;
  ASSERT_EQ(mvrprot_decode_ipaddr(hex(v4).data(), &back), 0);
  EXPECT_EQ(back.IpAddr.SockTransferID, m.IpAddr.SockTransferID);
  EXPECT_EQ(back.IpAddr.SockOffset, 0x10u);
  EXPECT_EQ(memcmp(&back.IpAddr.SockAddr.hs_addr, &m.IpAddr.SockAddr.hs_addr,
                   sizeof(struct sockaddr_in)),
            0);

  memset(&m, 0, sizeof m);
  m.Delimiter = MVRPROT_DELIMITER;
  m.Flags = 7;
  m.IpAddr.SockTransferID = 1;
  auto* sin6 = reinterpret_cast<struct sockaddr_in6*>(&m.IpAddr.SockAddr.hs_addr);
  sin6->sin6_family = AF_INET6;
  sin6->sin6_port = htons(5001);
  inet_pton(AF_INET6, "2001:db8::1", &sin6->sin6_addr);
  m.IpAddr.SockAddr.hs_addrlen = sizeof *sin6;
  m.CheckSum = mvrprot_ipaddr_checksum(&m);
  const char v6[] =
      "89abcdef01234567" "00000007" "0000000000000001"
      "00000003"                          // family code: IPv6
      "20010db8000000000000000000000001"  // all 16 address bytes
      "00001389" "0000000000000000" "0000000000000000"
      "a9acdba7012358fc";
  ASSERT_EQ(mvrprot_encode_ipaddr(&m, b), 0);
  EXPECT_EQ(std::vector<unsigned char>(b, b + sizeof b), hex(v6));
  ASSERT_EQ(mvrprot_decode_ipaddr(hex(v6).data(), &back), 0);
  EXPECT_EQ(back.IpAddr.SockAddr.hs_addr.ss_family, AF_INET6);

  // Any family code but 1 and 3 is refused.
  std::vector<unsigned char> bad = hex(v6);
  bad[23] = 2;
  EXPECT_EQ(mvrprot_decode_ipaddr(bad.data(), &back), -22);
}

TEST(MoverRecords, San3pAddressSumsOnlyItsNamedWords) {
  initiator_san3paddr_t m;
  memset(&m, 0, sizeof m);
  m.Delimiter = MVRPROT_DELIMITER;
  m.Flags = 0xff;
  m.San3pAddr.SAN3PTransferID = 0x0A0B0C0D0E0F1011ULL;
  for (int i = 0; i < 32; i++) m.San3pAddr.SanSecurityToken.Bytes[i] = uint8_t(i);
  memcpy(m.SecurityTicket, kTicket, 8);
  m.CheckSum = mvrprot_san3paddr_checksum(&m);
  const char wire[] =
      "89abcdef01234567" "000000ff" "0a0b0c0d0e0f1011"
      "000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f"
      "0102030405060708" "a4caf1162c52789e";
  unsigned char b[MVRPROT_SAN3PADDR_LEN];
  mvrprot_encode_san3paddr(&m, b);
  EXPECT_EQ(std::vector<unsigned char>(b, b + sizeof b), hex(wire));

  uint64_t sum = m.CheckSum;
  m.Flags = 0;
  EXPECT_EQ(mvrprot_san3paddr_checksum(&m), sum);
  m.San3pAddr.SanSecurityToken.Bytes[9] ^= 0xff;
  m.San3pAddr.SanSecurityToken.Bytes[27] ^= 0xff;
  EXPECT_EQ(mvrprot_san3paddr_checksum(&m), sum);
  m.San3pAddr.SanSecurityToken.Bytes[0] ^= 1;
  EXPECT_NE(mvrprot_san3paddr_checksum(&m), sum);
}

TEST(MoverRecords, DeviceAddressPutsTheTransferIdBeforeTheFlags) {
  san3p_devaddr_t m;
  memset(&m, 0, sizeof m);
  m.Delimiter = MVRPROT_DELIMITER;
  m.SAN3PTransferID = 5;
  m.Flags = 6;
  m.MediaBlockSize = 512;
  m.BlockOffset = 7;
  m.Block = 0x100;
  m.StartOffset = 0x2000;
  for (int i = 0; i < 64; i++) m.DevName[i] = uint8_t(0x40 + i);
  for (int i = 0; i < 48; i++) m.DeviceID[i] = uint8_t(0x80 + i);
  m.CheckSum = mvrprot_devaddr_checksum(&m);
  std::string wire = "89abcdef01234567" "0000000000000005" "00000006" "00000200" "00000007"
                     "0000000000000100" "0000000000002000";
  for (int i = 0; i < 64; i++) wire += "0123456789abcdef"[(0x40 + i) >> 4], wire += "0123456789abcdef"[(0x40 + i) & 15];
  for (int i = 0; i < 48; i++) wire += "0123456789abcdef"[(0x80 + i) >> 4], wire += "0123456789abcdef"[(0x80 + i) & 15];
  wire += "9cc5ef173059a5ba";
  unsigned char b[MVRPROT_DEVADDR_LEN];
  mvrprot_encode_devaddr(&m, b);
  EXPECT_EQ(std::vector<unsigned char>(b, b + sizeof b), hex(wire));
  san3p_devaddr_t back;
  EXPECT_EQ(mvrprot_decode_devaddr(b, &back), 0);
  EXPECT_EQ(back.SAN3PTransferID, 5u);
  EXPECT_EQ(back.Flags, 6u);
  EXPECT_EQ(back.StartOffset, 0x2000u);
  EXPECT_EQ(memcmp(back.DeviceID, m.DeviceID, sizeof m.DeviceID), 0);
  // Words 8-15 of DevName and 40-47 of DeviceID are outside the sum.
  b[44 + 8] ^= 0xff;
  b[108 + 40] ^= 0xff;
  EXPECT_EQ(mvrprot_decode_devaddr(b, &back), 0);
  b[44 + 16] ^= 1;
  EXPECT_EQ(mvrprot_decode_devaddr(b, &back), -22);
}

TEST(MoverRecords, CompletionCarriesANegativeStatusAsTwosComplement) {
  completion_msg_t m;
  memset(&m, 0, sizeof m);
  m.Delimiter = MVRPROT_DELIMITER;
  m.Flags = 4;
  m.Status = -5;
  m.BytesMoved = 0x123456789ULL;
  memcpy(m.SecurityTicket, kTicket, 8);
  m.CheckSum = mvrprot_compmsg_checksum(&m);
  const char wire[] = "89abcdef01234567" "00000004" "fffffffb" "0000000123456789"
                      "0102030405060708" "8aadd0f5296eb3f7";
  unsigned char b[MVRPROT_COMPMSG_LEN];
  mvrprot_encode_compmsg(&m, b);
  EXPECT_EQ(std::vector<unsigned char>(b, b + sizeof b), hex(wire));
  completion_msg_t back;
  ASSERT_EQ(mvrprot_decode_compmsg(b, &back), 0);
  EXPECT_EQ(back.Status, -5);
  EXPECT_EQ(back.BytesMoved, 0x123456789ULL);
}

TEST(MoverRecords, DataHeaderWireForm) {
  pdata_hdr_t h;
  memset(&h, 0, sizeof h);
  h.PdataDelimiter = PDATA_DELIMITER;
  h.XferID = 0xdeadbeef00000001ULL;
  h.Offset = 0x40000;
  h.Length = 0x1000;
  memcpy(h.SecurityTicket, kTicket, 8);
  pdata_build_checksum(&h, &h.CheckSum);
  const char wire[] = "0123456789abcdef" "deadbeef00000001" "0000000000040000"
                      "0000000000001000" "0102030405060708" "e0d3075a8eb5e4f8";
  unsigned char b[PDATA_HDR_LEN];
  pdata_encode_hdr(&h, b);
  EXPECT_EQ(std::vector<unsigned char>(b, b + sizeof b), hex(wire));
  pdata_hdr_t back;
  EXPECT_EQ(pdata_decode_hdr(b, &back), PDATA_HDR_LEN);
  EXPECT_EQ(memcmp(&back, &h, sizeof h), 0);
}

TEST(MoverRecords, CompletionCheckWantsStatusZeroAndTheExactCount) {
  completion_msg_t m;
  memset(&m, 0, sizeof m);
  m.BytesMoved = 100;
  EXPECT_EQ(mvrprot_check_compmsg(&m, 100), 0);
  EXPECT_EQ(mvrprot_check_compmsg(&m, 99), -5);   // overstated
  EXPECT_EQ(mvrprot_check_compmsg(&m, 101), -5);  // short
  m.Status = 7;
  EXPECT_EQ(mvrprot_check_compmsg(&m, 100), -5);
  m.Status = -28;
  EXPECT_EQ(mvrprot_check_compmsg(&m, 100), -28);
}

// ---- send and receive ----

TEST(MoverMessages, SendStampsDelimiterAndChecksumIntoTheCallersRecord) {
  Pair p;
  initiator_msg_t m = sampleInit();
  ASSERT_EQ(mvrprot_send_initmsg(p.fd[0], &m), 0);
  EXPECT_EQ(m.Delimiter, MVRPROT_DELIMITER);
  EXPECT_EQ(m.CheckSum, 0x8aadd0f3067a5e87ULL);
  EXPECT_EQ(p.readAll(MVRPROT_INITMSG_LEN), hex(kInitWire));

  completion_msg_t c;
  memset(&c, 0, sizeof c);
  c.BytesMoved = 1048576;
  ASSERT_EQ(mvrprot_send_compmsg(p.fd[0], &c), 0);
  completion_msg_t back;
  ASSERT_EQ(mvrprot_recv_compmsg_timeout(p.fd[1], &back, 2), 0);
  EXPECT_EQ(back.CheckSum, 0x89abcdef01334567ULL);
}

TEST(MoverMessages, ReceivedInitiatorIsCheckedOverEverySummedField) {
  // A wrong delimiter with a checksum over it passes: the sum is the check.
  initiator_msg_t m = sampleInit();
  m.Delimiter = 0x1111111111111111ULL;
  m.CheckSum = mvrprot_initmsg_checksum(&m);
  unsigned char b[MVRPROT_INITMSG_LEN];
  mvrprot_encode_initmsg(&m, b);
  {
    Pair p;
    p.write1(std::vector<unsigned char>(b, b + sizeof b));
    initiator_msg_t back;
    EXPECT_EQ(mvrprot_recv_initmsg_timeout(p.fd[0], &back, 2), 0);
  }
  // One flipped bit anywhere before the checksum is refused, the fields kept.
  for (int byte : {0, 9, 13, 20, 30, 39, 47, 55, 58, 62, 66, 70, 75}) {
    std::vector<unsigned char> w = hex(kInitWire);
    w[size_t(byte)] ^= 0x10;
    Pair p;
    p.write1(w);
    initiator_msg_t back;
    EXPECT_EQ(mvrprot_recv_initmsg(p.fd[0], &back), -22) << "byte " << byte;
    EXPECT_EQ(back.CheckSum, 0x8aadd0f3067a5e87ULL);
  }
}

TEST(MoverMessages, ReceiveOfAHalfMessageReportsTheLostPeer) {
  Pair p;
  std::vector<unsigned char> w = hex(kInitWire);
  w.resize(40);
  p.write1(w);
  shutdown(p.fd[1], SHUT_WR);
  initiator_msg_t back;
  EXPECT_EQ(mvrprot_recv_initmsg_timeout(p.fd[0], &back, 2), -50);
}

TEST(MoverMessages, AnIpAddressOfNeitherFamilyIsNotSent) {
  Pair p;
  initiator_ipaddr_t m;
  memset(&m, 0, sizeof m);
  m.IpAddr.SockAddr.hs_addr.ss_family = AF_UNIX;
  m.IpAddr.SockAddr.hs_addrlen = 110;
  EXPECT_EQ(mvrprot_send_ipaddr(p.fd[0], &m), -22);
  memset(&m.IpAddr.SockAddr, 0, sizeof m.IpAddr.SockAddr);
  EXPECT_EQ(mvrprot_send_ipaddr(p.fd[0], &m), -22);
  // Nothing reached the peer.
  fcntl(p.fd[1], F_SETFL, O_NONBLOCK);
  char c;
  EXPECT_EQ(read(p.fd[1], &c, 1), -1);

  m.IpAddr.SockAddr = inet4("127.0.0.1", 4000);
  ASSERT_EQ(mvrprot_send_ipaddr(p.fd[0], &m), 0);
  initiator_ipaddr_t back;
  ASSERT_EQ(mvrprot_recv_ipaddr_timeout(p.fd[1], &back, 2), 0);
  EXPECT_EQ(ntohs(reinterpret_cast<sockaddr_in*>(&back.IpAddr.SockAddr.hs_addr)->sin_port), 4000);
}

TEST(MoverMessages, DataHeaderRefusesTheMoverDelimiterAndAClosedPeerIsZero) {
  {
    Pair p;
    pdata_hdr_t h;
    memset(&h, 0, sizeof h);
    h.PdataDelimiter = MVRPROT_DELIMITER;
    h.Length = 10;
    pdata_build_checksum(&h, &h.CheckSum);
    unsigned char b[PDATA_HDR_LEN];
    pdata_encode_hdr(&h, b);
    p.write1(std::vector<unsigned char>(b, b + sizeof b));
    pdata_hdr_t back;
    EXPECT_EQ(pdata_recv_hdr_timeout(p.fd[0], &back, 2), -22);
  }
  {
    Pair p;
    p.write1(std::vector<unsigned char>(20, 0));
    shutdown(p.fd[1], SHUT_WR);
    pdata_hdr_t back;
    EXPECT_EQ(pdata_recv_hdr_timeout(p.fd[0], &back, 2), 0);
  }
}

TEST(MoverMessages, HeaderAndDataGoTogetherOnlyWhenTheLengthsAgree) {
  Pair p;
  std::vector<unsigned char> data(4096, 0xab);
  pdata_hdr_t h;
  memset(&h, 0, sizeof h);
  h.XferID = 9;
  h.Length = 4096;
  EXPECT_EQ(pdata_send_hdr_and_data_timeout_size(p.fd[0], &h, data.data(), 4095, 2, 0), -22);
  h.Length = 1ULL << 32;
  EXPECT_EQ(pdata_send_hdr_and_data_timeout_size(p.fd[0], &h, data.data(), 1ULL << 32, 2, 0),
            -22);
  fcntl(p.fd[1], F_SETFL, O_NONBLOCK);
  char c;
  EXPECT_EQ(read(p.fd[1], &c, 1), -1);  // nothing written

  // A write size of 1000 splits the data without changing the bytes.
  h.Length = 4096;
  EXPECT_EQ(pdata_send_hdr_and_data_timeout_size(p.fd[0], &h, data.data(), 4096, 2, 1000), 4096);
  fcntl(p.fd[1], F_SETFL, 0);
  std::vector<unsigned char> got = p.readAll(PDATA_HDR_LEN + 4096);
  ASSERT_EQ(got.size(), size_t(PDATA_HDR_LEN + 4096));
  pdata_hdr_t back;
  EXPECT_EQ(pdata_decode_hdr(got.data(), &back), PDATA_HDR_LEN);
  EXPECT_EQ(back.XferID, 9u);
  EXPECT_EQ(back.Length, 4096u);
  EXPECT_TRUE(std::equal(data.begin(), data.end(), got.begin() + PDATA_HDR_LEN));
}

TEST(MoverMessages, SendingToAClosedPeerFailsWithoutASignal) {
  Pair p;
  close(p.fd[1]);
  p.fd[1] = -1;
  completion_msg_t c;
  memset(&c, 0, sizeof c);
  EXPECT_EQ(mvrprot_send_compmsg_timeout(p.fd[0], &c, 2), -32);
  pdata_hdr_t h;
  memset(&h, 0, sizeof h);
  EXPECT_EQ(pdata_send_hdr_timeout(p.fd[0], &h, 2), -32);
}
