// The mover protocol's fixed-size messages and the parallel-data header as
// they arrive from a peer. The first byte chooses the message; the rest,
// cut or zero-padded to its wire size, are its bytes. A message that decodes
// encodes back to the same bytes (the IP-address message: to bytes that
// decode to the same record).
#include <string.h>

#include <vector>

#include "fuzz_support.h"
#include "mvr_protocol.h"
#include "pdata.h"

namespace {

std::vector<unsigned char> wire(const uint8_t* data, size_t size, size_t len) {
  std::vector<unsigned char> b(len, 0);
  memcpy(b.data(), data, size < len ? size : len);
  return b;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const uint8_t kind = data[0] % 6;
  data++;
  size--;
  switch (kind) {
    case 0: {
      std::vector<unsigned char> b = wire(data, size, MVRPROT_INITMSG_LEN);
      initiator_msg_t m;
      if (mvrprot_decode_initmsg(b.data(), &m) == 0) {
        unsigned char again[MVRPROT_INITMSG_LEN];
        mvrprot_encode_initmsg(&m, again);
        FUZZ_CHECK(memcmp(again, b.data(), sizeof again) == 0);
      }
      break;
    }
    case 1: {
      std::vector<unsigned char> b = wire(data, size, MVRPROT_IPADDR_LEN);
      initiator_ipaddr_t m;
      if (mvrprot_decode_ipaddr(b.data(), &m) == 0) {
        unsigned char again[MVRPROT_IPADDR_LEN];
        FUZZ_CHECK(mvrprot_encode_ipaddr(&m, again) == 0);
        initiator_ipaddr_t back;
        FUZZ_CHECK(mvrprot_decode_ipaddr(again, &back) == 0);
        FUZZ_CHECK(back.IpAddr.SockTransferID == m.IpAddr.SockTransferID);
        FUZZ_CHECK(back.IpAddr.SockAddr.hs_addrlen == m.IpAddr.SockAddr.hs_addrlen);
      }
      break;
    }
    case 2: {
      std::vector<unsigned char> b = wire(data, size, MVRPROT_SAN3PADDR_LEN);
      initiator_san3paddr_t m;
      if (mvrprot_decode_san3paddr(b.data(), &m) == 0) {
        unsigned char again[MVRPROT_SAN3PADDR_LEN];
        mvrprot_encode_san3paddr(&m, again);
        FUZZ_CHECK(memcmp(again, b.data(), sizeof again) == 0);
      }
      break;
    }
    case 3: {
      std::vector<unsigned char> b = wire(data, size, MVRPROT_DEVADDR_LEN);
      san3p_devaddr_t m;
      if (mvrprot_decode_devaddr(b.data(), &m) == 0) {
        unsigned char again[MVRPROT_DEVADDR_LEN];
        mvrprot_encode_devaddr(&m, again);
        FUZZ_CHECK(memcmp(again, b.data(), sizeof again) == 0);
      }
      break;
    }
    case 4: {
      std::vector<unsigned char> b = wire(data, size, MVRPROT_COMPMSG_LEN);
      completion_msg_t m;
      if (mvrprot_decode_compmsg(b.data(), &m) == 0) {
        unsigned char again[MVRPROT_COMPMSG_LEN];
        mvrprot_encode_compmsg(&m, again);
        FUZZ_CHECK(memcmp(again, b.data(), sizeof again) == 0);
        int rc = mvrprot_check_compmsg(&m, m.BytesMoved);
        FUZZ_CHECK(rc == 0 || rc < 0);
      }
      break;
    }
    default: {
      std::vector<unsigned char> b = wire(data, size, PDATA_HDR_LEN);
      pdata_hdr_t h;
      int rc = pdata_decode_hdr(b.data(), &h);
      FUZZ_CHECK(rc == PDATA_HDR_LEN || rc == -22);
      if (rc == PDATA_HDR_LEN) {
        unsigned char again[PDATA_HDR_LEN];
        pdata_encode_hdr(&h, again);
        FUZZ_CHECK(memcmp(again, b.data(), sizeof again) == 0);
      }
      break;
    }
  }
  return 0;
}
