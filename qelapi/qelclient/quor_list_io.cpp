// List reads and writes with caller-built I/O descriptors, and the release
// of the parts an I/O reply's decoder allocates.
#include <stdlib.h>
#include <string.h>

#include "msg_files.h"
#include "quor_api.h"
#include "quor_data_io.h"
#include "quor_files.h"
#include "xdr_iod.h"

namespace {

// Walks count elements of one list. 0, or the validation error.
int walkList(iod_srcsinkdesc_t* list, int32_t count, bool fileAllowed, quor_connection_t** conn,
             clientfileaddress_t** fileAddr) {
  iod_srcsinkdesc_t* e = list;
  for (int32_t i = 0; i < count; i++, e = e->Next) {
    if (e == nullptr) return -34;
    switch (e->SrcSinkAddr.Type) {
      case CLIENTFILE_ADDRESS: {
        if (!fileAllowed) return -22;
        if (*fileAddr != nullptr) return -16;
        qelapi_file_t* f = qelapi_io_lookup(e->SrcSinkAddr.Addr_u.ClientFileAddr.FileDes);
        if (f == nullptr) return -9;
        *conn = f->connection;
        *fileAddr = &e->SrcSinkAddr.Addr_u.ClientFileAddr;
        break;
      }
      case NET_ADDRESS:
      case STRIPE_ADDRESS:
      case MEMORY_ADDRESS:
      case SHM_ADDRESS:
        break;
      default:
        return -64;
    }
  }
  return 0;
}

int listCall(uint16_t function, xdrproc_t reqCodec, xdrproc_t replyCodec, quor_IOD_t* IOD,
             uint32_t Flags, quor_IOR_t* IOR) {
  api_quor_list_req_t req;
  memset(&req, 0, sizeof req);
  api_quor_list_rply_t reply;
  memset(&reply, 0, sizeof reply);
  qelapi_tcontext_t* ts = nullptr;
  int rc = qelapi_init(&ts);
  if (rc < 0) return rc;
  if (IOD == nullptr || IOR == nullptr) return -14;
  quor_connection_t* conn = nullptr;
  clientfileaddress_t* file = nullptr;
  rc = qelapi_validate_IOD(IOD, Flags, &conn, &file);
  if (rc < 0) return rc;
  qelapi_BindThreadConnection(ts, conn);

  int32_t clientFd = file->FileDes;
  file->FileDes = qelapi_io_getQUORFd(clientFd);
  req.theIOD = *IOD;
  req.Flags = Flags;
  rc = qelapi_send_msg(QEL_CAT_CORE, function, &req, reqCodec, 0, 0, conn, ts);
  file->FileDes = clientFd;
  if (rc < 0) return rc;
  api_msghdr_t hdr;
  rc = qelapi_get_msg(ts, &hdr, &reply, replyCodec, conn);
  if (rc < 0) return rc;
  *IOR = reply.theIOR;
  return hdr.errorcode;
}

}  // namespace

int qelapi_validate_IOD(quor_IOD_t* IOD, uint32_t, quor_connection_t** Conn,
                        clientfileaddress_t** FileAddr) {
  quor_connection_t* conn = nullptr;
  clientfileaddress_t* file = nullptr;
  if (Conn) *Conn = nullptr;
  if (FileAddr) *FileAddr = nullptr;
  if (IOD->Function != QUOR_IOD_READ && IOD->Function != QUOR_IOD_WRITE) return -22;
  if (IOD->SrcDescLength <= 0 || IOD->SinkDescLength <= 0 || IOD->SrcDescList == nullptr ||
      IOD->SinkDescList == nullptr)
    return -22;
  bool read = IOD->Function == QUOR_IOD_READ;
  // Both lists are walked before a missing client file counts, so that one
  // on the wrong side is reported as such (-22), not as missing.
  int rc = walkList(IOD->SrcDescList, IOD->SrcDescLength, read, &conn, &file);
  if (rc < 0) return rc;
  rc = walkList(IOD->SinkDescList, IOD->SinkDescLength, !read, &conn, &file);
  if (rc < 0) return rc;
  if (file == nullptr) return -14;
  if (Conn) *Conn = conn;
  if (FileAddr) *FileAddr = file;
  return 0;
}

int qelapi_free_srcsinkrply(int Count, iod_srcsinkreply_t** Head) {
  int freed = 0;
  iod_srcsinkreply_t* e = *Head;
  while (freed < Count && e != nullptr) {
    iod_srcsinkreply_t* next = e->Next;
    e->Next = nullptr;
    free(e);
    freed++;
    // An element that links to itself ends the walk.
    e = next == e ? nullptr : next;
  }
  *Head = nullptr;
  return freed;
}

void free_quor_ior_mem(quor_IOR_t* IOR) {
  if (IOR == nullptr) return;
  if (IOR->ReqSpecReply != nullptr) {
    XDR fx{};
    fx.x_op = XDR_FREE;
    qel_xdr_iod_reqspecreply_t(&fx, IOR->ReqSpecReply);
    free(IOR->ReqSpecReply);
    IOR->ReqSpecReply = nullptr;
  }
  if (IOR->SrcReplyList != nullptr && IOR->SrcReplyLength > 0)
    qelapi_free_srcsinkrply(IOR->SrcReplyLength, &IOR->SrcReplyList);
  if (IOR->SinkReplyList != nullptr && IOR->SinkReplyLength > 0)
    qelapi_free_srcsinkrply(IOR->SinkReplyLength, &IOR->SinkReplyList);
}

int quor_ReadList(quor_IOD_t* IOD, uint32_t Flags, quor_IOR_t* IOR) {
  QEL_TRACE_ENTRY();
  return listCall(QEL_FN_CORE_ReadList,
                  reinterpret_cast<xdrproc_t>(qel_xdr_api_quor_ReadList_req_t),
                  reinterpret_cast<xdrproc_t>(qel_xdr_api_quor_ReadList_rply_t), IOD, Flags, IOR);
}

int quor_WriteList(quor_IOD_t* IOD, uint32_t Flags, quor_IOR_t* IOR) {
  QEL_TRACE_ENTRY();
  return listCall(QEL_FN_CORE_WriteList,
                  reinterpret_cast<xdrproc_t>(qel_xdr_quor_WriteList_req_t),
                  reinterpret_cast<xdrproc_t>(qel_xdr_api_quor_WriteList_rply_t), IOD, Flags, IOR);
}
