// The sink descriptor of a copy between connections; see copy_remote.h.
#include <string.h>

#include <algorithm>

#include "copy_remote.h"
#include "ozuvars.h"
#include "quor_api.h"

void buildStraddress_t_Netaddr(const netaddress_t *listen, iod_straddr_t *out, uint64_t xferId,
                               uint64_t offset)
{
  memset(out, 0, sizeof *out);
  out->Type = NET_ADDRESS;
  out->Addr_u.NetAddr = *listen;
  out->Addr_u.NetAddr.SockTransferID = xferId;
  out->Addr_u.NetAddr.SockOffset = offset;
}

int copy_StripesFor(uint64_t requestedBytes, int width, uint64_t blockSize)
{
  if (requestedBytes >= (1ULL << 32) || blockSize == 0)
    return width;
  uint64_t blocks = (requestedBytes + blockSize - 1) / blockSize;
  return int(std::max<uint64_t>(1, std::min<uint64_t>(uint64_t(width), blocks)));
}

void buildSinkDesc(transfer_t *ctl, iod_srcsinkdesc_t *sink, const quor_site_info_t *site,
                   const netaddress_t *listen, uint32_t listenCount, iod_stripe_addr_t *stripes,
                   int width, uint64_t blockSize)
{
  memset(sink, 0, sizeof *sink);
  uint32_t flags = QUOR_IOD_XFEROPT_IP;
  if (site && (site->server_flags & 0x1)) {
    uint32_t proto = ozu_GetIODProtocolType();
    flags |= proto;
    if (debug >= 2)
      fprintf(listF, "/debug/server supports both pdata and mover protocols - using %s\n",
              proto == 0x4000 ? "MVR_SELECT" : "PDATA_ONLY");
  } else {
    flags |= QUOR_IOD_CONTROL_ADDR;
    if (debug >= 2)
      fprintf(listF, "/debug/server supports only mover protocol\n");
  }
  sink->Flags = flags;
  sink->Length = ctl->requestedBytes;
  int used = copy_StripesFor(ctl->requestedBytes, width, blockSize);
  // The sink may have answered fewer addresses than asked: one stripe each.
  used = std::max(1, std::min(used, int(listenCount)));
  if (debug >= 2)
    fprintf(listF, "/debug/stripe transfer width will be %d\n", used);
  // Every element carries the whole transfer id: the sink checks it in
  // every header.
  uint64_t xferId = quor_RequestIDtoU64(ctl->requestId);
  if (used == 1) {
    sink->SrcSinkAddr.Type = NET_ADDRESS;
    sink->SrcSinkAddr.Addr_u.NetAddr = listen[0];
    sink->SrcSinkAddr.Addr_u.NetAddr.SockTransferID = xferId;
    sink->SrcSinkAddr.Addr_u.NetAddr.SockOffset = 0;
    return;
  }
  sink->SrcSinkAddr.Type = STRIPE_ADDRESS;
  iod_stripe_addr_t *first = &sink->SrcSinkAddr.Addr_u.StripeAddr;
  for (int i = 0; i < used; i++) {
    iod_stripe_addr_t *e = i == 0 ? first : &stripes[i - 1];
    memset(e, 0, sizeof *e);
    e->BlockSize = blockSize;
    e->StripeWidth = uint32_t(used);
    e->AddrListLength = used;
    e->Flags = flags;
    buildStraddress_t_Netaddr(&listen[i], &e->Addr, xferId, uint64_t(i) * blockSize);
    e->Next = i + 1 < used ? &stripes[i] : nullptr;
  }
}
