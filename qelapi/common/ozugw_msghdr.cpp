#include "ozugw_msghdr.h"

#include <string.h>

void ozugw_BuildMsgHdr(api_msghdr_t* MsgHdr, uint32_t MsgRequestID, uint32_t MsgFlags,
                       uint32_t MsgTime, uint32_t TaskId, uint16_t Category,
                       uint16_t SubFunction, int32_t ErrorCode) {
  memcpy(MsgHdr->sanity, API_MSGH_SANITY, API_MSGH_SANITY_LEN);
  MsgHdr->msgRequestID = MsgRequestID;
  MsgHdr->msgFlags = MsgFlags;
  MsgHdr->msgTime = MsgTime;
  MsgHdr->threadID = TaskId;
  MsgHdr->category = Category;
  MsgHdr->function = SubFunction;
  MsgHdr->errorcode = ErrorCode;
}

bool_t qel_xdr_api_msghdr_t(XDR* xdrs, api_msghdr_t* objp) {
  return qel_xdr_opaque(xdrs, objp->sanity, API_MSGH_SANITY_LEN) &&
         xdr_uint32_t(xdrs, &objp->msgRequestID) && xdr_uint32_t(xdrs, &objp->msgFlags) &&
         xdr_uint32_t(xdrs, &objp->msgTime) && xdr_uint32_t(xdrs, &objp->threadID) &&
         xdr_uint16_t(xdrs, &objp->category) && xdr_uint16_t(xdrs, &objp->function) &&
         xdr_int32_t(xdrs, &objp->errorcode);
}
