// The 36-byte header in front of every gateway message.
#ifndef OZUGW_MSGHDR_H
#define OZUGW_MSGHDR_H

#include <stdint.h>

#include "qel_xdr.h"

#define API_MSGH_SANITY "API_MSGH"
#define API_MSGH_SANITY_LEN 8

// msgFlags bits
#define API_MSGF_BODY 0x80000000u       // a body follows
#define API_MSGF_NOREPLY 0x20000000u    // expects no reply
#define API_MSGF_TASK 0x10000000u       // answer inside a gateway-started exchange
#define API_MSGF_UNSOLICITED 0x00000004u  // refused on receipt
#define API_MSGF_NEXTTOKEN 0x00000002u  // challenge response with a next token code
#define API_MSGF_EXPECTS_REPLY(f) (((f) & (API_MSGF_NOREPLY | API_MSGF_TASK)) == 0)

typedef struct api_msghdr {
  char sanity[API_MSGH_SANITY_LEN];
  uint32_t msgRequestID;
  uint32_t msgFlags;
  uint32_t msgTime;
  uint32_t threadID;
  uint16_t category;
  uint16_t function;
  int32_t errorcode;
} api_msghdr_t;

#define API_MSGHDR_WIRE_SIZE 36

// Fills all eight fields; sanity becomes "API_MSGH".
void ozugw_BuildMsgHdr(api_msghdr_t* MsgHdr, uint32_t MsgRequestID, uint32_t MsgFlags,
                       uint32_t MsgTime, uint32_t TaskId, uint16_t Category,
                       uint16_t SubFunction, int32_t ErrorCode);

bool_t qel_xdr_api_msghdr_t(XDR* xdrs, api_msghdr_t* objp);

#endif
