// The parallel-data header: 48 big-endian bytes in front of every packet of
// file data on a mover connection, or alone as a mover's request for data.
// Its checksum is the 64-bit sum of Offset, Length, the delimiter, XferID and
// the ticket read as one big-endian number.
//
// pdata_build_checksum   the header's checksum (also stored in *CheckSum when
//                        given); changes nothing else.
// pdata_encode_hdr       the 48 wire bytes of the header as it stands.
// pdata_decode_hdr       the header from 48 wire bytes: 48, or -22 for a
//                        wrong delimiter or checksum (the fields are decoded
//                        either way).
// pdata_send_hdr_timeout stamps delimiter and checksum into *Hdr and writes
//                        the 48 bytes: 48, or the negated errno.
// pdata_recv_hdr_timeout reads 48 bytes: 48; 0 when the peer closed first;
//                        -22 as for the decoder; or the negated errno.
// pdata_send_hdr_and_data_timeout_size
//                        one packet: the header, then DataLen bytes written in
//                        pieces of at most WriteSize (0: the site's write size
//                        for the socket): DataLen; -22 when the header's
//                        Length is not DataLen or not below 2^32 (nothing is
//                        written); or the negated errno.
// The time-outs (seconds, 0: none) bound the waits after EAGAIN, so they hold
// on non-blocking sockets. Writes never raise SIGPIPE.
#ifndef PDATA_H
#define PDATA_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define PDATA_DELIMITER 0x0123456789abcdefULL
#define PDATA_HDR_LEN 48

typedef struct pdata_hdr {
  uint64_t PdataDelimiter;
  uint64_t XferID;  // transfer id: the request id folded to 64 bits
  uint64_t Offset;  // transfer offset of the packet's first byte
  uint64_t Length;  // bytes that follow (asked for, in a request)
  uint8_t SecurityTicket[8];
  uint64_t CheckSum;
} pdata_hdr_t;

uint64_t pdata_build_checksum(const pdata_hdr_t* Hdr, uint64_t* CheckSum);
void pdata_encode_hdr(const pdata_hdr_t* Hdr, unsigned char Buf[PDATA_HDR_LEN]);
int pdata_decode_hdr(const unsigned char Buf[PDATA_HDR_LEN], pdata_hdr_t* Hdr);
int pdata_send_hdr_timeout(int SD, pdata_hdr_t* Hdr, int SecTimeout);
int pdata_recv_hdr_timeout(int SD, pdata_hdr_t* Hdr, int SecTimeout);
int64_t pdata_send_hdr_and_data_timeout_size(int SD, pdata_hdr_t* Hdr, const void* Data,
                                             uint64_t DataLen, int SecTimeout, int WriteSize);

#ifdef __cplusplus
}
#endif

#endif
