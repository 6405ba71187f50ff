// I/O descriptor of a list read or list write (where the data comes from and
// where it goes) and the I/O reply that says how much moved per piece.
// Source, sink and reply lists are linked through Next; a stripe list's first
// element lives inside its address and the rest hang off its Next.
#ifndef QUOR_IOD_CLNT_H
#define QUOR_IOD_CLNT_H

#include <stdint.h>

#include "quor_net.h"
#include "quor_types.h"

#ifdef __cplusplus
extern "C" {
#endif

// Function of a descriptor.
#define QUOR_IOD_READ 1
#define QUOR_IOD_WRITE 2

// Address types (Type of iod_address_t and iod_straddr_t).
#define NET_ADDRESS 1
#define STRIPE_ADDRESS 9
#define MEMORY_ADDRESS 10
#define CLIENTFILE_ADDRESS 11
#define SHM_ADDRESS 12
#define LFT_ADDRESS 13
#define SAN3P_ADDRESS 14

// Flags of iod_srcsinkdesc_t and iod_stripe_addr_t.
#define QUOR_IOD_HOLD_RESOURCES 0x1
#define QUOR_IOD_NO_LABEL_CHECK 0x2
#define QUOR_IOD_REPLYWHENREADY 0x4
#define QUOR_IOD_CONTROL_ADDR 0x8
#define QUOR_IOD_XFER_RESPONDER 0x10
#define QUOR_IOD_XFEROPT_IP 0x20
#define QUOR_IOD_XFEROPT_SHMEM 0x80
#define QUOR_IOD_LAST_IN_XFER 0x100
#define QUOR_IOD_USE_PORT_RANGE 0x200
#define QUOR_IOD_LAST_SEG_WRITE 0x400
#define QUOR_IOD_PDATA_PUSH 0x800
#define QUOR_IOD_EOM_ON_CONTROL 0x1000
#define QUOR_IOD_XFEROPT_SAN3P 0x2000
#define QUOR_IOD_COND_CTRL_ADDR 0x4000

// Flags of quor_IOR_t: the transfer stopped at a hole in the file.
#define QUOR_IOR_GAPINFO 0x20

// InfoType of iod_reqspec_t and ReqReplyType of iod_reqspecreply_t.
#define IOD_REQSPEC_RESERVED 1
#define IOD_REQSPEC_REPLYADDR 5
#define IOD_REQREPLY_RESERVED 1
#define IOD_REQREPLY_LISTENLIST 2
#define IOD_REQREPLY_GAPINFO 5

// Bound of a gateway-local path name on the wire, its NUL included.
#define IOD_LFT_PATHNAME_LEN 1024

typedef struct netaddress {
  uint64_t SockTransferID;   // request id folded to 64 bits
  quor_sockaddr_t SockAddr;  // where the mover connects
  uint64_t SockOffset;       // stream offset of the first byte at this address
} netaddress_t;

// Memory of the caller's process: never sent.
typedef struct memaddress {
  void* MemPtr;
} memaddress_t;

typedef struct clientfileaddress {
  int32_t FileDes;  // client descriptor of an open storage file
  uint64_t FileOffset;
} clientfileaddress_t;

typedef struct shmaddress {
  uint32_t Flags;
  uint32_t ShmID;
  uint32_t ShmOffset;
} shmaddress_t;

typedef struct lftaddress {
  uint64_t Offset;
  uint32_t Flags;
  uint32_t Uid;
  uint32_t Gid;
  uint32_t RealmId;
  char PathName[IOD_LFT_PATHNAME_LEN + 1];
} lftaddress_t;

typedef struct san_sec_token {
  uint8_t Bytes[32];
} san_sec_token_t;

typedef struct san3paddress {
  uint64_t SAN3PTransferID;
  san_sec_token_t SanSecurityToken;
} san3paddress_t;

// An address inside a stripe: every arm but the stripe one.
typedef struct iod_straddr {
  int32_t Type;
  union {
    netaddress_t NetAddr;
    memaddress_t MemAddr;
    clientfileaddress_t ClientFileAddr;
    shmaddress_t ShmAddr;
    lftaddress_t LftAddr;
    san3paddress_t San3pAddr;
  } Addr_u;
} iod_straddr_t;

typedef struct iod_stripe_addr {
  uint64_t BlockSize;
  uint64_t StripeWidth;
  int32_t AddrListLength;  // elements in the list; the first element's counts
  uint32_t Flags;
  iod_straddr_t Addr;
  struct iod_stripe_addr* Next;
} iod_stripe_addr_t;

typedef struct iod_address {
  int32_t Type;
  union {
    netaddress_t NetAddr;
    iod_stripe_addr_t StripeAddr;
    memaddress_t MemAddr;
    clientfileaddress_t ClientFileAddr;
    shmaddress_t ShmAddr;
    lftaddress_t LftAddr;
    san3paddress_t San3pAddr;
  } Addr_u;
} iod_address_t;

typedef struct iod_srcsinkdesc {
  uint32_t Flags;
  uint64_t Offset;  // position of this piece in the request's byte stream
  uint64_t Length;
  iod_address_t SrcSinkAddr;
  struct iod_srcsinkdesc* Next;
  unsigned long ServerDefined;  // not sent
} iod_srcsinkdesc_t;

typedef struct iod_srcsinkreply {
  uint32_t Flags;
  int32_t Status;
  uint64_t BytesMoved;
  struct iod_srcsinkreply* Next;
} iod_srcsinkreply_t;

// A hole in the file's data.
typedef struct gapinfo {
  uint64_t Offset;
  uint64_t Length;
} gapinfo_t;

typedef struct iod_reqspec {
  int32_t SubFunction;
  int32_t Argument;
  int32_t DeviceID;
  uint64_t Count;
  uint64_t SelectionFlags;
  struct {
    int32_t InfoType;  // chooses the arm; not sent
    union {
      int32_t Reserved;
      iod_address_t ReplyAddr;
    } Info_u;
  } ReqInfo_s;
} iod_reqspec_t;

typedef struct iod_reqspecreply {
  uint32_t Flags;
  int32_t Status;
  int32_t CountProcessed;
  int32_t ReqListLength;
  struct {
    int32_t ReqReplyType;
    union {
      int32_t Reserved;
      iod_srcsinkdesc_t* ListenList;  // ReqListLength elements
      gapinfo_t GapInfo;
    } Reply_u;
  } ReqReply_s;
} iod_reqspecreply_t;

typedef struct quor_IOD {
  quor_reqid_t RequestID;
  int32_t Function;
  uint32_t Flags;
  iod_reqspec_t* ReqSpecInfo;
  int32_t SrcDescLength;
  int32_t SinkDescLength;
  iod_srcsinkdesc_t* SrcDescList;
  iod_srcsinkdesc_t* SinkDescList;
} quor_IOD_t;

typedef struct quor_IOR {
  quor_reqid_t RequestID;
  uint32_t Flags;
  int32_t Status;
  iod_reqspecreply_t* ReqSpecReply;
  int32_t SrcReplyLength;
  int32_t SinkReplyLength;
  iod_srcsinkreply_t* SrcReplyList;
  iod_srcsinkreply_t* SinkReplyList;
} quor_IOR_t;

#ifdef __cplusplus
}
#endif

#endif
