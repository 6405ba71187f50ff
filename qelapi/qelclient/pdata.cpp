// Parallel-data headers; see pdata.h.
#include "pdata.h"

#include <errno.h>
#include <sys/socket.h>
#include <unistd.h>

#include "quor_net.h"
#include "quorcfgx_prototypes.h"

namespace {

// Writes len bytes, waiting for writability only after EAGAIN: 0, or the
// negated errno. flags adds MSG_MORE for a header that data follows.
int writeAll(int sd, const unsigned char* p, size_t len, int timeout, int flags) {
  while (len > 0) {
    ssize_t n = send(sd, p, len, MSG_NOSIGNAL | flags);
    if (n > 0) {
      p += n;
      len -= static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      if (quor_poll_descriptor(sd, QUOR_POLL_WRITE, timeout) != 0) return -errno;
      continue;
    }
    return n == 0 ? -EPIPE : -errno;
  }
  return 0;
}

}  // namespace

uint64_t pdata_build_checksum(const pdata_hdr_t* Hdr, uint64_t* CheckSum) {
  uint64_t sum = Hdr->Offset + Hdr->Length + Hdr->PdataDelimiter + Hdr->XferID +
                 mem64(Hdr->SecurityTicket);
  if (CheckSum) *CheckSum = sum;
  return sum;
}

void pdata_encode_hdr(const pdata_hdr_t* Hdr, unsigned char* b) {
  quor_encode_64(b, 0, Hdr->PdataDelimiter);
  quor_encode_64(b, 8, Hdr->XferID);
  quor_encode_64(b, 16, Hdr->Offset);
  quor_encode_64(b, 24, Hdr->Length);
  quor_encode_chars(b, 32, Hdr->SecurityTicket, 8);
  quor_encode_64(b, 40, Hdr->CheckSum);
}

int pdata_decode_hdr(const unsigned char* b, pdata_hdr_t* Hdr) {
  quor_decode_64(b, 0, &Hdr->PdataDelimiter);
  quor_decode_64(b, 8, &Hdr->XferID);
  quor_decode_64(b, 16, &Hdr->Offset);
  quor_decode_64(b, 24, &Hdr->Length);
  quor_decode_chars(b, 32, Hdr->SecurityTicket, 8);
  quor_decode_64(b, 40, &Hdr->CheckSum);
  if (Hdr->PdataDelimiter != PDATA_DELIMITER) return -22;
  if (pdata_build_checksum(Hdr, nullptr) != Hdr->CheckSum) return -22;
  return PDATA_HDR_LEN;
}

static int sendHdr(int SD, pdata_hdr_t* Hdr, int SecTimeout, int flags) {
  Hdr->PdataDelimiter = PDATA_DELIMITER;
  pdata_build_checksum(Hdr, &Hdr->CheckSum);
  unsigned char b[PDATA_HDR_LEN];
  pdata_encode_hdr(Hdr, b);
  int rc = writeAll(SD, b, sizeof b, SecTimeout, flags);
  return rc < 0 ? rc : PDATA_HDR_LEN;
}

int pdata_send_hdr_timeout(int SD, pdata_hdr_t* Hdr, int SecTimeout) {
  return sendHdr(SD, Hdr, SecTimeout, 0);
}

int pdata_recv_hdr_timeout(int SD, pdata_hdr_t* Hdr, int SecTimeout) {
  unsigned char b[PDATA_HDR_LEN];
  size_t got = 0;
  while (got < sizeof b) {
    ssize_t n = recv(SD, b + got, sizeof b - got, 0);
    if (n > 0) {
      got += static_cast<size_t>(n);
      continue;
    }
    if (n == 0) return 0;
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
      if (quor_poll_descriptor(SD, QUOR_POLL_READ, SecTimeout) != 0) return -errno;
      continue;
    }
    return -errno;
  }
  return pdata_decode_hdr(b, Hdr);
}

int64_t pdata_send_hdr_and_data_timeout_size(int SD, pdata_hdr_t* Hdr, const void* Data,
                                             uint64_t DataLen, int SecTimeout, int WriteSize) {
  if (Hdr->Length >= (1ULL << 32) || Hdr->Length != DataLen) return -22;
  if (DataLen > 0 && Data == nullptr) return -22;
  int rc = sendHdr(SD, Hdr, SecTimeout, DataLen > 0 ? MSG_MORE : 0);
  if (rc <= 0) return rc;
  size_t chunk = WriteSize > 0 ? static_cast<size_t>(WriteSize) : 0;
  if (WriteSize == 0) {
    int ws = quorcfgx_NetoptGetWriteSize(SD, nullptr);
    chunk = ws > 0 ? static_cast<size_t>(ws) : 0;
  }
  const auto* p = static_cast<const unsigned char*>(Data);
  uint64_t left = DataLen;
  while (left > 0) {
    size_t piece = chunk > 0 && chunk < left ? chunk : static_cast<size_t>(left);
    rc = writeAll(SD, p, piece, SecTimeout, 0);
    if (rc < 0) return rc;
    p += piece;
    left -= piece;
  }
  return static_cast<int64_t>(DataLen);
}
