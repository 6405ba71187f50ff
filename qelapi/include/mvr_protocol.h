// The data mover protocol: fixed-size big-endian messages that set a piece
// of a transfer up (initiator, IP address, SAN3P address, SAN3P device
// address) and close it (completion), each starting with the protocol
// delimiter and ending with a 64-bit additive checksum; and the operations
// that move parallel-data packets (pdata.h) on mover connections.
//
// Message operations (the plain forms pass a time-out of 0, no limit):
//   mvrprot_send_*   stamp the delimiter and checksum into the caller's
//                    record, then write the message: 0, -22 for a message
//                    that cannot be sent (an IP address of neither family or
//                    without a port), or the socket failure (-50 peer gone,
//                    -110 time-out, else the negated errno).
//   mvrprot_recv_*   read one message: 0; -22 when the checksum (which
//                    covers the delimiter) does not match, the record then
//                    holding the fields as received; or the socket failure.
//   mvrprot_*_checksum  the checksum of a record as it stands.
//   mvrprot_encode_* / mvrprot_decode_*  the wire bytes of a record; a
//                    decoder returns 0 or -22 like the receive.
// The time-outs hold on any socket: every read and write waits for
// readiness first.
//
// mvrprot_check_compmsg: whether a completion message reports the piece as
// done: 0 when Status is 0 and BytesMoved equals Expected; else -5, or the
// Status itself when it is negative.
//
// Mover connection operations (transfer id XferID; a buffer Buffer covers
// the transfer offsets [Offset, Offset + BufSize)):
//   mover_socket_send_buffer_timeout_size
//        one packet of Length bytes at Offset: Length; -5 short send; -22
//        negative Length; or the send failure. A time-out below 60 s counts
//        as 60 s.
//   mover_socket_read_data_timeout
//        exactly BufSize raw bytes: BufSize; 0 when the peer closed first;
//        -110 time-out; -22 negative size; or the negated errno.
//   mover_socket_recv_data(_timeout)
//        NumOfPackets packets (negative: until the peer closes or fails)
//        into the window: the bytes of whole packets received, also in
//        *BytesRecvd; 0 when the peer closed between packets; -22 for
//        another transfer id or a packet outside the window; -5 for a short
//        header; -110; or the negated errno.
//   mover_socket_recv_protmsg(_timeout)
//        the next message of either family: 84 and *ProtocolType 1 for an
//        initiator message, 48 and 2 for a data header of XferID (its data
//        left on the socket); 0 peer closed; -2 unknown delimiter; -22 bad
//        checksum or transfer id; or a socket failure.
//   mover_socket_send_requested_data(_timeout)(_size)
//        answers NumOfPackets data requests from the window: the bytes sent,
//        also in *BytesSent; -22 another transfer id or outside the window;
//        -5 short send; or the failure.
//   mover_waitfor_data_timeout / mover_waitfor_requests_timeout
//        accept mover connections on the listen socket SD (at most 32 at a
//        time, peers checked against the restricted addresses, refusals
//        logged) and serve them one packet per connection in turn until
//        BufSize bytes arrived (or were sent): 0; -22 negative size or a bad
//        packet; -12; -110 when SecTimeout seconds pass without a connection
//        or packet; -16 at the 33rd connection; or the first failure. Every
//        connection accepted is closed on return; SD stays open. They wait
//        with poll, so descriptors of any number work.
#ifndef MVR_PROTOCOL_H
#define MVR_PROTOCOL_H

#include <stdint.h>

#include "pdata.h"
#include "quor_iod_clnt.h"

#ifdef __cplusplus
extern "C" {
#endif

#define MVRPROT_DELIMITER 0x89abcdef01234567ULL

// Initiator Flags.
#define MVRPROT_ADDR_FOLLOWS 0x2    // an address message follows the reply
#define MVRPROT_COMP_REPLY 0x4      // the mover sends a completion message
#define MVRPROT_HOLD_RESOURCES 0x8

// Initiator Type.
#define MVRPROT_TYPE_TCPIP 1
#define MVRPROT_TYPE_SAN3P 14

// Family codes of the IP-address message.
#define MVRPROT_FAMILY_IPV4 1
#define MVRPROT_FAMILY_IPV6 3

// Wire sizes.
#define MVRPROT_INITMSG_LEN 84
#define MVRPROT_IPADDR_LEN 68
#define MVRPROT_SAN3PADDR_LEN 68
#define MVRPROT_DEVADDR_LEN 164
#define MVRPROT_COMPMSG_LEN 40

// ProtocolType of mover_socket_recv_protmsg.
#define MVRPROT_MSG_INITIATOR 1
#define MVRPROT_MSG_PDATA 2

// At most this many mover connections are served at once by one loop.
#define MOVER_MAX_CONNECTIONS 32

typedef struct initiator_msg {
  uint64_t Delimiter;
  uint32_t Flags;
  uint32_t Type;
  uint64_t Offset;  // of the piece in the transfer
  uint64_t Length;
  uint64_t BlockSize;
  uint64_t StripeWidth;
  uint64_t TotalLength;
  uint32_t DevBlkSz;
  uint32_t DevBlkOff;
  uint32_t DevCRCAlgo;  // a digest type number
  uint8_t SecurityTicket[8];
  uint64_t CheckSum;
} initiator_msg_t;

typedef struct initiator_ipaddr {
  uint64_t Delimiter;
  uint32_t Flags;
  netaddress_t IpAddr;  // on the wire: transfer id, family, address, port, offset
  uint8_t SecurityTicket[8];
  uint64_t CheckSum;
} initiator_ipaddr_t;

typedef struct initiator_san3paddr {
  uint64_t Delimiter;
  uint32_t Flags;
  san3paddress_t San3pAddr;
  uint8_t SecurityTicket[8];
  uint64_t CheckSum;
} initiator_san3paddr_t;

typedef struct san3p_devaddr {
  uint64_t Delimiter;
  uint64_t SAN3PTransferID;
  uint32_t Flags;
  uint32_t MediaBlockSize;
  uint32_t BlockOffset;
  uint64_t Block;
  uint64_t StartOffset;
  uint8_t DevName[64];
  uint8_t DeviceID[48];
  uint64_t CheckSum;
} san3p_devaddr_t;

typedef struct completion_msg {
  uint64_t Delimiter;
  uint32_t Flags;
  int32_t Status;  // travels as its 32-bit two's complement
  uint64_t BytesMoved;
  uint8_t SecurityTicket[8];
  uint64_t CheckSum;
} completion_msg_t;

// ---- checksums and wire forms ----
uint64_t mvrprot_initmsg_checksum(const initiator_msg_t* Msg);
uint64_t mvrprot_ipaddr_checksum(const initiator_ipaddr_t* Msg);
uint64_t mvrprot_san3paddr_checksum(const initiator_san3paddr_t* Msg);
uint64_t mvrprot_devaddr_checksum(const san3p_devaddr_t* Msg);
uint64_t mvrprot_compmsg_checksum(const completion_msg_t* Msg);

void mvrprot_encode_initmsg(const initiator_msg_t* Msg, unsigned char Buf[MVRPROT_INITMSG_LEN]);
int mvrprot_decode_initmsg(const unsigned char Buf[MVRPROT_INITMSG_LEN], initiator_msg_t* Msg);
// -22 for an address of neither family or without a port (nothing written).
int mvrprot_encode_ipaddr(const initiator_ipaddr_t* Msg, unsigned char Buf[MVRPROT_IPADDR_LEN]);
// -22 also for a family code other than 1 or 3.
int mvrprot_decode_ipaddr(const unsigned char Buf[MVRPROT_IPADDR_LEN], initiator_ipaddr_t* Msg);
void mvrprot_encode_san3paddr(const initiator_san3paddr_t* Msg,
                              unsigned char Buf[MVRPROT_SAN3PADDR_LEN]);
int mvrprot_decode_san3paddr(const unsigned char Buf[MVRPROT_SAN3PADDR_LEN],
                             initiator_san3paddr_t* Msg);
void mvrprot_encode_devaddr(const san3p_devaddr_t* Msg, unsigned char Buf[MVRPROT_DEVADDR_LEN]);
int mvrprot_decode_devaddr(const unsigned char Buf[MVRPROT_DEVADDR_LEN], san3p_devaddr_t* Msg);
void mvrprot_encode_compmsg(const completion_msg_t* Msg, unsigned char Buf[MVRPROT_COMPMSG_LEN]);
int mvrprot_decode_compmsg(const unsigned char Buf[MVRPROT_COMPMSG_LEN], completion_msg_t* Msg);

// ---- message operations ----
int mvrprot_send_initmsg(int SD, initiator_msg_t* Msg);
int mvrprot_send_initmsg_timeout(int SD, initiator_msg_t* Msg, int SecTimeout);
int mvrprot_recv_initmsg(int SD, initiator_msg_t* Msg);
int mvrprot_recv_initmsg_timeout(int SD, initiator_msg_t* Msg, int SecTimeout);
int mvrprot_send_ipaddr(int SD, initiator_ipaddr_t* Msg);
int mvrprot_send_ipaddr_timeout(int SD, initiator_ipaddr_t* Msg, int SecTimeout);
// The mover's side: what the client sent with mvrprot_send_ipaddr.
int mvrprot_recv_ipaddr(int SD, initiator_ipaddr_t* Msg);
int mvrprot_recv_ipaddr_timeout(int SD, initiator_ipaddr_t* Msg, int SecTimeout);
int mvrprot_send_san3paddr(int SD, initiator_san3paddr_t* Msg);
int mvrprot_send_san3paddr_timeout(int SD, initiator_san3paddr_t* Msg, int SecTimeout);
int mvrprot_recv_san3p_devaddr(int SD, san3p_devaddr_t* Msg);
int mvrprot_recv_san3p_devaddr_timeout(int SD, san3p_devaddr_t* Msg, int SecTimeout);
int mvrprot_send_compmsg(int SD, completion_msg_t* Msg);
int mvrprot_send_compmsg_timeout(int SD, completion_msg_t* Msg, int SecTimeout);
int mvrprot_recv_compmsg(int SD, completion_msg_t* Msg);
int mvrprot_recv_compmsg_timeout(int SD, completion_msg_t* Msg, int SecTimeout);
int mvrprot_check_compmsg(const completion_msg_t* Msg, uint64_t Expected);

// ---- mover connections ----
int mover_socket_send_buffer_timeout_size(int SD, uint64_t XferID, uint64_t Offset,
                                          const void* Buffer, int Length,
                                          const uint8_t Ticket[8], int SecTimeout,
                                          int WriteSize);
int mover_socket_read_data_timeout(int SD, void* Buffer, int BufSize, int SecTimeout);
int mover_socket_recv_data(int SD, uint64_t XferID, uint64_t Offset, void* Buffer, int BufSize,
                           int* BytesRecvd, int NumOfPackets);
int mover_socket_recv_data_timeout(int SD, uint64_t XferID, uint64_t Offset, void* Buffer,
                                   int BufSize, int* BytesRecvd, int NumOfPackets,
                                   int SecTimeout);
int mover_socket_recv_protmsg(int SD, uint64_t XferID, int* ProtocolType,
                              initiator_msg_t* InitMsg, pdata_hdr_t* PdataHdr);
int mover_socket_recv_protmsg_timeout(int SD, uint64_t XferID, int* ProtocolType,
                                      initiator_msg_t* InitMsg, pdata_hdr_t* PdataHdr,
                                      int SecTimeout);
int mover_socket_send_requested_data(int SD, uint64_t XferID, uint64_t Offset,
                                     const void* Buffer, int BufSize, int* BytesSent,
                                     int NumOfPackets);
int mover_socket_send_requested_data_timeout(int SD, uint64_t XferID, uint64_t Offset,
                                             const void* Buffer, int BufSize, int* BytesSent,
                                             int NumOfPackets, int SecTimeout);
int mover_socket_send_requested_data_timeout_size(int SD, uint64_t XferID, uint64_t Offset,
                                                  const void* Buffer, int BufSize,
                                                  int* BytesSent, int NumOfPackets,
                                                  int SecTimeout, int WriteSize);
int mover_waitfor_data_timeout(int SD, uint64_t XferID, uint64_t Offset, void* Buffer,
                               int BufSize, int* BytesMoved, int SecTimeout);
int mover_waitfor_requests_timeout(int SD, uint64_t XferID, uint64_t Offset, const void* Buffer,
                                   int BufSize, int* BytesMoved, int SecTimeout);

#ifdef __cplusplus
}
#endif

#endif
