// Transfer services the shell and the archiver share.
#include "ozu_xfercore.h"

#include <stdlib.h>

#include "quor_api.h"

ozu_core_output_t ozu_coreOutput = {nullptr, nullptr, nullptr, nullptr};

namespace {

int debugLevel(void) { return ozu_coreOutput.debugLevel ? *ozu_coreOutput.debugLevel : 0; }

FILE *debugFile(void)
{
  return ozu_coreOutput.listFile && *ozu_coreOutput.listFile ? *ozu_coreOutput.listFile : stderr;
}

void freeLists(quor_xfileattr_t *xattrs)
{
  if (xattrs == nullptr)
    return;
  for (bf_sc_attrib_t &level : xattrs->SCAttrib) {
    unsigned n = level.NumberOfVVs < QUOR_MAX_LEVEL_VVS ? level.NumberOfVVs : QUOR_MAX_LEVEL_VVS;
    for (unsigned i = 0; i < n; ++i) {
      pv_list_t *pv = level.VVAttrib[i].PVList;
      if (pv == nullptr)
        continue;
      free(pv->List_val);
      free(pv);
      level.VVAttrib[i].PVList = nullptr;
    }
  }
}

}  // namespace

void ozu_FreeXAttrsPVList(quor_xfileattr_t *xattrs)
{
  if (debugLevel() >= 2)
    fprintf(debugFile(), "/debug/ozu_FreeXAttrsPVList: freeing memory from quor_FileGetXAttributes call\n");
  freeLists(xattrs);
}

void brix_FreeXAttrsPVList(quor_xfileattr_t *xattrs)
{
  freeLists(xattrs);
}

unsigned ozu_LocalModeToInterchangeMode(unsigned LocalMode)
{
  return ozugw_LocalModeToInterchangeMode(LocalMode);
}

int determineSocketCount(const void *)
{
  return 1;
}

void debugSocketConnect(int SocketFD, const quor_sockaddr_t *SocketAddress, int Direction)
{
  if (debugLevel() < 3)
    return;
  char text[128] = "";
  char err[256];
  if (SocketAddress != nullptr && SocketAddress->hs_addrlen > 0)
    quor_net_getuniversaladdress(SocketAddress, text, sizeof text, err, sizeof err);
  if (ozu_coreOutput.lockList)
    ozu_coreOutput.lockList();
  fprintf(debugFile(), "/debug/local file xfer: FD %d %s %s\n", SocketFD,
          Direction == OZU_SOCKET_INBOUND ? "Inbound connection from" : "Outbound connection to",
          text);
  if (ozu_coreOutput.unlockList)
    ozu_coreOutput.unlockList();
}
