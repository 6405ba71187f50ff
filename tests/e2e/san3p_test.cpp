// SAN3P list transfers against gwsim's SAN3P movers: the client answers
// each type-14 initiator message as the shell's mover handler does, moves
// the piece between its buffer and the SAN disk (a file beside gwsim's
// root) with quor_SAN3PRead / quor_SAN3PWrite, and reports a completion.
// The disk is named by path, and by UUID through the device-id file.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include "client_env.h"
#include "client_process.h"
#include "gwsim_config.h"
#include "gwsim_fixture.h"
#include "journal_text.h"
#include "mvr_protocol.h"
#include "quor_api.h"
#include "quor_api_internal.h"
#include "quor_san3p.h"
#include "quorclntaddr.h"

namespace {

const char kUuid[] = "6f1c2a3b-4d5e-4f60-8172-93a4b5c6d7e8";

std::string config(const std::string& san3pLines) {
  GwsimConfig c;
  c.user("alice", "wonderland").set("Uid", 1001).set("Gid", 100);
  c.dir("/").set("Uid", 1001).set("Mode", "0755");
  c.movers().set("PacketSize", 3000);
  c.section("San3p")
      .set("Disk", "@DIR@/sandisk")
      .set("BlockSize", 512)
      .set("Block", 2)
      .set("BlockOffset", 100)
      .lines(san3pLines);
  return c.text();
}

std::vector<char> pattern(size_t n, unsigned seed) {
  std::vector<char> v(n);
  for (size_t i = 0; i < n; i++) v[i] = char((i * 31 + seed * 7 + i / 512) & 0xff);
  return v;
}

// The SAN disk, zeroed and larger than any transfer here.
void makeDisk(const GwsimFixture& gw) {
  std::vector<char> zero(1 << 20, 0);
  FILE* f = fopen((gw.dir() + "/sandisk").c_str(), "wb");
  if (f) {
    fwrite(zero.data(), 1, zero.size(), f);
    fclose(f);
  }
}

int acceptWithin(int lfd, int ms) {
  struct pollfd p = {lfd, POLLIN, 0};
  if (poll(&p, 1, ms) != 1) return -1;
  return quor_net_accept(lfd, nullptr, nullptr, 0);
}

// Serves one mover's control connection as the shell's mover handler does
// for SAN3P: 0 once the mover closes, else the first failure.
int serveSan3p(int lfd, uint64_t xfer, char* buf, bool read, uint64_t* moved) {
  int ctl = acceptWithin(lfd, 10000);
  if (ctl < 0) return -110;
  int rc = 0;
  for (;;) {
    int type = 0;
    initiator_msg_t init;
    pdata_hdr_t hdr;
    rc = mover_socket_recv_protmsg_timeout(ctl, xfer, &type, &init, &hdr, 10);
    if (rc <= 0) break;
    if (type != MVRPROT_MSG_INITIATOR || init.Type != MVRPROT_TYPE_SAN3P) {
      rc = -71;
      break;
    }
    initiator_msg_t answer = init;
    answer.Flags = MVRPROT_HOLD_RESOURCES | MVRPROT_ADDR_FOLLOWS;
    if ((rc = mvrprot_send_initmsg(ctl, &answer)) < 0) break;
    initiator_san3paddr_t a;
    memset(&a, 0, sizeof a);
    a.San3pAddr.SAN3PTransferID = xfer;
    if ((rc = mvrprot_send_san3paddr(ctl, &a)) < 0) break;
    uint32_t got = 0;
    int st = read ? quor_SAN3PRead(&a.San3pAddr, ctl, buf + init.Offset, uint32_t(init.Length), &got)
                  : quor_SAN3PWrite(&a.San3pAddr, ctl, buf + init.Offset, uint32_t(init.Length), &got);
    completion_msg_t c;
    memset(&c, 0, sizeof c);
    c.Status = st;
    c.BytesMoved = got;
    memcpy(c.SecurityTicket, init.SecurityTicket, 8);
    if ((rc = mvrprot_send_compmsg(ctl, &c)) < 0) break;
    if (st < 0) {
      rc = st;
      break;
    }
    *moved += got;
  }
  close(ctl);
  return rc;
}

// One list transfer of the whole file through SAN3P: the engine's result;
// *rc the list call's.
int transfer(int fd, char* buf, uint64_t size, bool write, int* rc) {
  quor_sockaddr_t addr;
  int lfd = -1;
  if (ozugw_SockGetListenSocket(0, 1, &lfd, &addr) != 0 || quor_net_listen(lfd, 8, nullptr, 0) != 0)
    return -1;
  quor_reqid_t id = quor_GetUniqueRequestID();
  uint64_t xfer = quor_RequestIDtoU64(id);
  uint64_t moved = 0;
  int engine = 1;
  std::thread server([&] { engine = serveSan3p(lfd, xfer, buf, !write, &moved); });
  iod_srcsinkdesc_t file, net;
  memset(&file, 0, sizeof file);
  file.Length = size;
  file.SrcSinkAddr.Type = CLIENTFILE_ADDRESS;
  file.SrcSinkAddr.Addr_u.ClientFileAddr.FileDes = fd;
  memset(&net, 0, sizeof net);
  net.Flags = QUOR_IOD_CONTROL_ADDR | QUOR_IOD_XFEROPT_IP;
  net.Length = size;
  net.SrcSinkAddr.Type = NET_ADDRESS;
  net.SrcSinkAddr.Addr_u.NetAddr.SockTransferID = xfer;
  net.SrcSinkAddr.Addr_u.NetAddr.SockAddr = addr;
  quor_IOD_t iod;
  memset(&iod, 0, sizeof iod);
  iod.RequestID = id;
  iod.Function = write ? QUOR_IOD_WRITE : QUOR_IOD_READ;
  iod.SrcDescLength = iod.SinkDescLength = 1;
  iod.SrcDescList = write ? &net : &file;
  iod.SinkDescList = write ? &file : &net;
  quor_IOR_t ior;
  memset(&ior, 0, sizeof ior);
  *rc = write ? quor_WriteList(&iod, 0, &ior) : quor_ReadList(&iod, 0, &ior);
  server.join();
  close(lfd);
  free_quor_ior_mem(&ior);
  return engine == 0 && moved != size ? -5 : engine;
}

void roundTrip(const GwsimFixture& gw, const std::vector<char>& data) {
  ChildResult r = runInChild([&] {
    int failures = 0;
    if (clientLogin(gw, "alice", "wonderland") != 0) return 1;
    setenv("QUOR_TEST_SAN3P_DIR", gw.dir().c_str(), 1);
    int fd = quor_Open("/san", O_RDWR | O_CREAT, 0644, nullptr, nullptr, nullptr);
    CHILD_CHECK(failures, fd >= 0);
    std::vector<char> out = data;
    int rc = 1;
    CHILD_EQ(failures, transfer(fd, out.data(), out.size(), true, &rc), 0);
    CHILD_EQ(failures, rc, 0);
    CHILD_EQ(failures, quor_Lseek(fd, 0, SEEK_SET), 0);
    std::vector<char> back(data.size(), 0);
    CHILD_EQ(failures, transfer(fd, back.data(), back.size(), false, &rc), 0);
    CHILD_EQ(failures, rc, 0);
    CHILD_CHECK(failures, back == data);
    quor_Close(fd);
    return failures;
  });
  EXPECT_EQ(r.status, 0) << r.stderrText;
}

TEST(San3pTransfers, AFileGoesThroughTheDiskNamedByPath) {
  GwsimFixture gw(config(""));
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  makeDisk(gw);
  std::vector<char> data = pattern(20000, 3);  // pieces of 3000 across 512-byte blocks
  roundTrip(gw, data);
  EXPECT_EQ(readFile(gw.rootDir() + "/san"), std::string(data.begin(), data.end()));
  // The bytes lie on the disk where the device addresses said.
  std::string disk = readFile(gw.dir() + "/sandisk");
  ASSERT_GE(disk.size(), 2 * 512 + 100 + data.size());
  EXPECT_EQ(disk.substr(2 * 512 + 100, data.size()), std::string(data.begin(), data.end()));
  EXPECT_EQ(disk.substr(0, 2 * 512 + 100), std::string(2 * 512 + 100, '\0'));
  EXPECT_EQ(countLines(gw.journalLines(), "fn=0x1701", " moved=20000"), 1);
  EXPECT_EQ(countLines(gw.journalLines(), "fn=0x1207", " moved=20000"), 1);
}

TEST(San3pTransfers, AFileGoesThroughTheDiskNamedById) {
  GwsimFixture gw(config(std::string("  Uuid = ") + kUuid + "\n"));
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  makeDisk(gw);
  FILE* ids = fopen((gw.dir() + "/quor_san3p.0.ids").c_str(), "w");
  ASSERT_NE(ids, nullptr);
  fprintf(ids, "# test disk\n%s/sandisk %s 0000000100000002\n", gw.dir().c_str(), kUuid);
  fclose(ids);
  std::vector<char> data = pattern(7777, 5);
  roundTrip(gw, data);
  EXPECT_EQ(readFile(gw.rootDir() + "/san"), std::string(data.begin(), data.end()));
}

TEST(San3pTransfers, AClientThatCannotReachTheDiskFailsThePiece) {
  // No device-id file: the UUID is unknown to the client.
  GwsimFixture gw(config(std::string("  Uuid = ") + kUuid + "\n"));
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  makeDisk(gw);
  ChildResult r = runInChild([&] {
    int failures = 0;
    if (clientLogin(gw, "alice", "wonderland") != 0) return 1;
    setenv("QUOR_TEST_SAN3P_DIR", gw.dir().c_str(), 1);
    int fd = quor_Open("/san", O_RDWR | O_CREAT, 0644, nullptr, nullptr, nullptr);
    std::vector<char> data = pattern(1000, 1);
    int rc = 0;
    CHILD_EQ(failures, transfer(fd, data.data(), data.size(), true, &rc), -2);
    CHILD_CHECK(failures, rc < 0);
    quor_Close(fd);
    return failures;
  });
  EXPECT_EQ(r.status, 0) << r.stderrText;
  EXPECT_NE(r.stderrText.find(std::string("OpenDev: device ") + kUuid + ", not found"),
            std::string::npos);
  EXPECT_EQ(countLines(gw.journalLines(), "fn=0x1701", "san3p status -2"), 1);
}

}  // namespace
