// The server method's sink descriptor: how a list read on the source
// names the sink gateway's listen addresses.
//
// copy_StripesFor   stripes a pass of requestedBytes uses: the width for
//                   2^32 bytes or more, else min(width, blocks of blockSize),
//                   at least 1.
// buildSinkDesc     fills *sink for ctl->requestedBytes and ctl->requestId:
//                   flags 0x20 plus the protocol flag (site server_flags
//                   bit 0x1: ozu_GetIODProtocolType, else 8); one listen
//                   address as a net address, several as a stripe list
//                   whose later elements live in stripes (width-1 of them).
//                   Never more stripes than listen addresses; every element
//                   carries the 64-bit transfer id.
// buildStraddress_t_Netaddr  a net address from a listen address with the
//                   given transfer id and stream offset.
#ifndef OZU_XFER_COPY_REMOTE_H
#define OZU_XFER_COPY_REMOTE_H

#include <stdint.h>

#include "quor_iod_clnt.h"
#include "quor_types.h"
#include "xfer_record.h"

int copy_StripesFor(uint64_t requestedBytes, int width, uint64_t blockSize);
void buildSinkDesc(transfer_t *ctl, iod_srcsinkdesc_t *sink, const quor_site_info_t *site,
                   const netaddress_t *listen, uint32_t listenCount, iod_stripe_addr_t *stripes,
                   int width, uint64_t blockSize);
void buildStraddress_t_Netaddr(const netaddress_t *listen, iod_straddr_t *out,
                               uint64_t xferId, uint64_t offset);

#endif
