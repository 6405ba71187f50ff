// Transfer services of the shared core: releasing what an extended-
// attribute reply allocated, the interchange mode, and the trace of a
// direct transfer's connection.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <rpc/xdr.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "ozu_xfercore.h"
#include "xdr_objects.h"

namespace {

pv_list_t *volumes(int n)
{
  auto *pv = static_cast<pv_list_t *>(malloc(sizeof(pv_list_t)));
  pv->List_len = unsigned(n);
  pv->List_val = static_cast<pv_list_element_t *>(calloc(size_t(n), sizeof(pv_list_element_t)));
  for (int i = 0; i < n; ++i)
    snprintf(pv->List_val[i].Name, QUOR_PV_NAME_LEN, "VOL%03d", i % 1000);
  return pv;
}

// A reply as the gateway sends it, decoded by the library's own codec, so
// that what is freed is what the decoder allocated.
void decodedReply(quor_xfileattr_t *out)
{
  quor_xfileattr_t sent;
  memset(&sent, 0, sizeof sent);
  sent.SCAttrib[0].NumberOfVVs = 1;
  sent.SCAttrib[0].VVAttrib[0].PVList = volumes(2);
  sent.SCAttrib[3].NumberOfVVs = QUOR_MAX_LEVEL_VVS;
  for (auto &vv : sent.SCAttrib[3].VVAttrib)
    vv.PVList = volumes(1);
  std::vector<char> wire(64 * 1024);
  XDR x;
  xdrmem_create(&x, wire.data(), unsigned(wire.size()), XDR_ENCODE);
  ASSERT_TRUE(qel_xdr_quor_xfileattr_t(&x, &sent));
  unsigned len = xdr_getpos(&x);
  xdr_destroy(&x);
  ozu_FreeXAttrsPVList(&sent);
  memset(out, 0, sizeof *out);
  xdrmem_create(&x, wire.data(), len, XDR_DECODE);
  ASSERT_TRUE(qel_xdr_quor_xfileattr_t(&x, out));
  xdr_destroy(&x);
}

// Under the sanitizer builds a list left behind fails the run as a leak.
TEST(XAttrsVolumeLists, EveryListOfEveryLevelIsFreedOnce)
{
  for (auto release : {ozu_FreeXAttrsPVList, brix_FreeXAttrsPVList}) {
    quor_xfileattr_t got;
    decodedReply(&got);
    ASSERT_NE(got.SCAttrib[0].VVAttrib[0].PVList, nullptr);
    ASSERT_NE(got.SCAttrib[3].VVAttrib[9].PVList, nullptr);
    EXPECT_STREQ(got.SCAttrib[0].VVAttrib[0].PVList->List_val[1].Name, "VOL001");
    release(&got);
    for (const auto &level : got.SCAttrib)
      for (const auto &vv : level.VVAttrib)
        EXPECT_EQ(vv.PVList, nullptr);
    release(&got);  // nothing left to free
  }
}

// Entries past a level's count were never filled by the decoder: they are
// not the reply's to free.
TEST(XAttrsVolumeLists, EntriesPastTheCountAreLeftAlone)
{
  quor_xfileattr_t x;
  memset(&x, 0, sizeof x);
  pv_list_t stranger{};
  x.SCAttrib[2].NumberOfVVs = 1;
  x.SCAttrib[2].VVAttrib[0].PVList = volumes(3);
  x.SCAttrib[2].VVAttrib[1].PVList = &stranger;
  x.SCAttrib[4].NumberOfVVs = 99;  // more than a level holds
  x.SCAttrib[4].VVAttrib[9].PVList = volumes(1);
  int level = 2;
  FILE *out = tmpfile();
  ozu_core_output_t saved = ozu_coreOutput;
  ozu_coreOutput = {&level, &out, nullptr, nullptr};
  ozu_FreeXAttrsPVList(&x);
  brix_FreeXAttrsPVList(&x);
  ozu_coreOutput = saved;
  rewind(out);
  char line[200] = "";
  EXPECT_STREQ(fgets(line, sizeof line, out),
               "/debug/ozu_FreeXAttrsPVList: freeing memory from quor_FileGetXAttributes call\n");
  EXPECT_EQ(fgets(line, sizeof line, out), nullptr) << "the archiver's form says nothing";
  fclose(out);
  EXPECT_EQ(x.SCAttrib[2].VVAttrib[0].PVList, nullptr);
  EXPECT_EQ(x.SCAttrib[2].VVAttrib[1].PVList, &stranger);
  EXPECT_EQ(x.SCAttrib[4].VVAttrib[9].PVList, nullptr);
  ozu_FreeXAttrsPVList(nullptr);
}

TEST(InterchangeMode, TypeAndPermissionBits)
{
  struct {
    unsigned local, wire;
  } cases[] = {
      {S_IFREG | 0644, 0x8000 | 0644}, {S_IFDIR | 01777, 0x4000 | 01777},
      {S_IFLNK | 0777, 0xA000 | 0777}, {S_IFIFO | 06755, 0x1000 | 06755},
      {S_IFSOCK | 0600, 0xC000 | 0600}, {S_IFBLK, 0x6000}, {S_IFCHR | 0400, 0x2000 | 0400},
      {0644, 0644},
  };
  for (const auto &c : cases)
    EXPECT_EQ(ozu_LocalModeToInterchangeMode(c.local), c.wire) << std::oct << c.local;
}

int locks = 0, unlocks = 0;
int countLock(void) { return ++locks, 0; }
int countUnlock(void) { return ++unlocks, 0; }

TEST(SocketTrace, AtDebugLevelThreeUnderTheListingLock)
{
  int level = 2;
  FILE *out = tmpfile();
  ozu_core_output_t saved = ozu_coreOutput;
  ozu_coreOutput = {&level, &out, countLock, countUnlock};
  quor_sockaddr_t peer;
  memset(&peer, 0, sizeof peer);
  auto *in = reinterpret_cast<sockaddr_in *>(&peer.hs_addr);
  in->sin_family = AF_INET;
  in->sin_port = htons(1217);
  in->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  peer.hs_addrlen = sizeof(sockaddr_in);
  locks = unlocks = 0;
  debugSocketConnect(7, &peer, OZU_SOCKET_INBOUND);
  EXPECT_EQ(ftell(out), 0) << "level 2 says nothing";
  level = 3;
  debugSocketConnect(7, &peer, OZU_SOCKET_INBOUND);
  debugSocketConnect(9, &peer, OZU_SOCKET_OUTBOUND);
  ozu_coreOutput = saved;
  EXPECT_EQ(locks, 2);
  EXPECT_EQ(unlocks, 2);
  rewind(out);
  char buf[512] = "";
  std::string text;
  while (fgets(buf, sizeof buf, out))
    text += buf;
  fclose(out);
  EXPECT_EQ(text.find("/debug/local file xfer: FD 7 Inbound connection from 127.0.0.1"), 0u) << text;
  EXPECT_NE(text.find("\n/debug/local file xfer: FD 9 Outbound connection to 127.0.0.1"),
            std::string::npos)
      << text;
}

}  // namespace
