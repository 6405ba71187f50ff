#include "xdr_iod.h"

#include <stdlib.h>

namespace {

// Number of distinct elements reachable from head. A chain that loops back
// counts each element once, so a walk of that many steps frees nothing twice.
template <typename T>
size_t distinctElements(const T* head) {
  const T* slow = head;
  const T* fast = head;
  while (fast != nullptr && fast->Next != nullptr) {
    slow = slow->Next;
    fast = fast->Next->Next;
    if (slow == fast) {
      size_t tail = 0;
      const T* a = head;
      const T* b = slow;
      while (a != b) {
        a = a->Next;
        b = b->Next;
        tail++;
      }
      size_t loop = 1;
      for (const T* c = a->Next; c != a; c = c->Next) loop++;
      return tail + loop;
    }
  }
  size_t n = 0;
  for (const T* p = head; p != nullptr; p = p->Next) n++;
  return n;
}

// Frees the first n elements along Next, releasing each one's parts first.
template <typename T, typename Parts>
void freeElements(T* head, size_t n, Parts releaseParts) {
  T* p = head;
  for (size_t i = 0; i < n && p != nullptr; i++) {
    T* next = p->Next;
    p->Next = nullptr;
    releaseParts(p);
    free(p);
    p = next;
  }
}

XDR freeStream() {
  XDR fx{};
  fx.x_op = XDR_FREE;
  return fx;
}

// Arms shared by the address and the in-stripe address; the union's arms
// all start at its first byte.
bool_t addressArm(XDR* xdrs, int32_t type, void* arm, bool stripes) {
  switch (type) {
    case NET_ADDRESS:
      return qel_xdr_netaddress_t(xdrs, static_cast<netaddress_t*>(arm));
    case STRIPE_ADDRESS:
      return stripes ? qel_xdr_iod_stripe_addr_t(xdrs, static_cast<iod_stripe_addr_t*>(arm))
                     : TRUE;
    case MEMORY_ADDRESS:
      // A pointer into this process means nothing to the gateway.
      return xdrs->x_op == XDR_FREE;
    case CLIENTFILE_ADDRESS:
      return qel_xdr_clientfileaddress_t(xdrs, static_cast<clientfileaddress_t*>(arm));
    case SHM_ADDRESS:
      return qel_xdr_shmaddress_t(xdrs, static_cast<shmaddress_t*>(arm));
    case LFT_ADDRESS:
      return qel_xdr_lftaddress_t(xdrs, static_cast<lftaddress_t*>(arm));
    case SAN3P_ADDRESS:
      return qel_xdr_san3paddress_t(xdrs, static_cast<san3paddress_t*>(arm));
    default:
      return TRUE;
  }
}

bool_t stripeElement(XDR* xdrs, iod_stripe_addr_t* e) {
  return qel_xdr_unsigned64(xdrs, &e->BlockSize) && qel_xdr_unsigned64(xdrs, &e->StripeWidth) &&
         qel_xdr_signed32(xdrs, &e->AddrListLength) && qel_xdr_unsigned32(xdrs, &e->Flags) &&
         qel_xdr_iod_straddr_t(xdrs, &e->Addr);
}

bool_t descElement(XDR* xdrs, iod_srcsinkdesc_t* e) {
  if (xdrs->x_op == XDR_DECODE) e->ServerDefined = 0;
  return qel_xdr_unsigned32(xdrs, &e->Flags) && qel_xdr_unsigned64(xdrs, &e->Offset) &&
         qel_xdr_unsigned64(xdrs, &e->Length) && qel_xdr_iod_address_t(xdrs, &e->SrcSinkAddr);
}

bool_t replyElement(XDR* xdrs, iod_srcsinkreply_t* e) {
  return qel_xdr_unsigned32(xdrs, &e->Flags) && qel_xdr_signed32(xdrs, &e->Status) &&
         qel_xdr_unsigned64(xdrs, &e->BytesMoved);
}

// One codec for both linked lists: count elements in list order.
template <typename T>
bool_t listCodec(XDR* xdrs, T** list, int32_t count, bool_t (*element)(XDR*, T*),
                 int (*release)(T*), const char* name) {
  if (xdrs->x_op == XDR_FREE) {
    release(*list);
    *list = nullptr;
    return TRUE;
  }
  if (count < 0 || static_cast<uint32_t>(count) > QEL_XDR_MAX_COUNT) return FALSE;
  if (xdrs->x_op == XDR_ENCODE) {
    T* e = *list;
    for (int32_t i = 0; i < count; i++, e = e->Next) {
      if (e == nullptr) {
        qel_xdr_errmsg("%s: NULL pointer encountered in list\n", name);
        return FALSE;
      }
      if (!element(xdrs, e)) return FALSE;
    }
    return TRUE;
  }
  *list = nullptr;
  T* head = nullptr;
  T* tail = nullptr;
  for (int32_t i = 0; i < count; i++) {
    T* e = static_cast<T*>(calloc(1, sizeof(T)));
    if (e == nullptr) {
      qel_xdr_memory_error(name, __FILE__, __LINE__, 1, int(sizeof(T)));
      release(head);
      return FALSE;
    }
    // Linked before it is filled, so a half-decoded element is freed too.
    if (tail == nullptr)
      head = e;
    else
      tail->Next = e;
    tail = e;
    if (!element(xdrs, e)) {
      release(head);
      return FALSE;
    }
  }
  *list = head;
  return TRUE;
}

}  // namespace

bool_t qel_xdr_netaddress_t(XDR* xdrs, netaddress_t* objp) {
  return qel_xdr_unsigned64(xdrs, &objp->SockTransferID) &&
         qel_xdr_quor_sockaddr_t(xdrs, &objp->SockAddr) &&
         qel_xdr_unsigned64(xdrs, &objp->SockOffset);
}

bool_t qel_xdr_clientfileaddress_t(XDR* xdrs, clientfileaddress_t* objp) {
  return qel_xdr_signed32(xdrs, &objp->FileDes) && qel_xdr_unsigned64(xdrs, &objp->FileOffset);
}

bool_t qel_xdr_shmaddress_t(XDR* xdrs, shmaddress_t* objp) {
  return qel_xdr_unsigned32(xdrs, &objp->Flags) && qel_xdr_unsigned32(xdrs, &objp->ShmID) &&
         qel_xdr_unsigned32(xdrs, &objp->ShmOffset);
}

bool_t qel_xdr_lftaddress_t(XDR* xdrs, lftaddress_t* objp) {
  return qel_xdr_unsigned64(xdrs, &objp->Offset) && qel_xdr_unsigned32(xdrs, &objp->Flags) &&
         qel_xdr_unsigned32(xdrs, &objp->Uid) && qel_xdr_unsigned32(xdrs, &objp->Gid) &&
         qel_xdr_unsigned32(xdrs, &objp->RealmId) &&
         qel_xdr_fstring(xdrs, objp->PathName, IOD_LFT_PATHNAME_LEN);
}

bool_t qel_xdr_san3paddress_t(XDR* xdrs, san3paddress_t* objp) {
  return qel_xdr_unsigned64(xdrs, &objp->SAN3PTransferID) &&
         qel_xdr_opaque(xdrs, reinterpret_cast<char*>(objp->SanSecurityToken.Bytes),
                    sizeof objp->SanSecurityToken.Bytes);
}

bool_t qel_xdr_gapinfo_t(XDR* xdrs, gapinfo_t* objp) {
  return qel_xdr_unsigned64(xdrs, &objp->Offset) && qel_xdr_unsigned64(xdrs, &objp->Length);
}

bool_t qel_xdr_iod_straddr_t(XDR* xdrs, iod_straddr_t* objp) {
  if (xdrs->x_op == XDR_FREE) return TRUE;  // no arm owns memory
  return qel_xdr_signed32(xdrs, &objp->Type) && addressArm(xdrs, objp->Type, &objp->Addr_u, false);
}

bool_t qel_xdr_iod_address_t(XDR* xdrs, iod_address_t* objp) {
  if (xdrs->x_op == XDR_FREE) return addressArm(xdrs, objp->Type, &objp->Addr_u, true);
  return qel_xdr_signed32(xdrs, &objp->Type) && addressArm(xdrs, objp->Type, &objp->Addr_u, true);
}

bool_t qel_xdr_iod_stripe_addr_t(XDR* xdrs, iod_stripe_addr_t* objp) {
  static const char kName[] = "qel_xdr_iod_stripe_addr_t";
  switch (xdrs->x_op) {
    case XDR_FREE: {
      // The first element is the caller's; only the ones after it were allocated.
      size_t n = distinctElements(objp);
      iod_stripe_addr_t* rest = objp->Next;
      objp->Next = nullptr;
      if (n > 1) freeElements(rest, n - 1, [](iod_stripe_addr_t*) {});
      return TRUE;
    }
    case XDR_ENCODE: {
      if (objp->AddrListLength < 0) return FALSE;
      int32_t want = objp->AddrListLength > 0 ? objp->AddrListLength : 1;
      int32_t found = 1;
      const iod_stripe_addr_t* p = objp;
      while (found < want && p->Next != nullptr) {
        p = p->Next;
        found++;
      }
      if (found < want) {
        qel_xdr_errmsg("/%s/inconsistent stripe width detected. count=%d,found %d\n", kName,
                       objp->AddrListLength, found);
        return FALSE;
      }
      if (p->Next != nullptr)
        qel_xdr_errmsg("/%s/warning: unterminated linked list detected -list length =%d\n", kName,
                       objp->AddrListLength);
      iod_stripe_addr_t* e = objp;
      for (int32_t i = 0; i < want; i++, e = e->Next)
        if (!stripeElement(xdrs, e)) return FALSE;
      return TRUE;
    }
    case XDR_DECODE:
      break;
  }
  objp->Next = nullptr;
  if (!stripeElement(xdrs, objp)) return FALSE;
  if (objp->AddrListLength < 0 || static_cast<uint32_t>(objp->AddrListLength) > QEL_XDR_MAX_COUNT)
    return FALSE;
  // Each element is linked before it is filled: a failure leaves the chain
  // whole for the owner's release.
  iod_stripe_addr_t* prev = objp;
  for (int32_t i = 1; i < objp->AddrListLength; i++) {
    auto* e = static_cast<iod_stripe_addr_t*>(calloc(1, sizeof(iod_stripe_addr_t)));
    if (e == nullptr) {
      qel_xdr_memory_error(kName, __FILE__, __LINE__, 1, int(sizeof(iod_stripe_addr_t)));
      return FALSE;
    }
    prev->Next = e;
    prev = e;
    if (!stripeElement(xdrs, e)) return FALSE;
  }
  return TRUE;
}

bool_t qel_xdr_iod_reqspec_t(XDR* xdrs, iod_reqspec_t* objp) {
  if (xdrs->x_op != XDR_FREE &&
      !(qel_xdr_signed32(xdrs, &objp->SubFunction) && qel_xdr_signed32(xdrs, &objp->Argument) &&
        qel_xdr_signed32(xdrs, &objp->DeviceID) && qel_xdr_unsigned64(xdrs, &objp->Count) &&
        qel_xdr_unsigned64(xdrs, &objp->SelectionFlags)))
    return FALSE;
  switch (objp->ReqInfo_s.InfoType) {
    case IOD_REQSPEC_RESERVED:
      return qel_xdr_signed32(xdrs, &objp->ReqInfo_s.Info_u.Reserved);
    case IOD_REQSPEC_REPLYADDR:
      return qel_xdr_iod_address_t(xdrs, &objp->ReqInfo_s.Info_u.ReplyAddr);
    default:
      return TRUE;
  }
}

bool_t qel_xdr_iod_reqspecreply_t(XDR* xdrs, iod_reqspecreply_t* objp) {
  if (xdrs->x_op != XDR_FREE &&
      !(qel_xdr_unsigned32(xdrs, &objp->Flags) && qel_xdr_signed32(xdrs, &objp->Status) &&
        qel_xdr_signed32(xdrs, &objp->CountProcessed) &&
        qel_xdr_signed32(xdrs, &objp->ReqListLength) &&
        qel_xdr_signed32(xdrs, &objp->ReqReply_s.ReqReplyType)))
    return FALSE;
  switch (objp->ReqReply_s.ReqReplyType) {
    case IOD_REQREPLY_RESERVED:
      return qel_xdr_signed32(xdrs, &objp->ReqReply_s.Reply_u.Reserved);
    case IOD_REQREPLY_LISTENLIST:
      return qel_xdr_iod_srcsinkdesc_t(xdrs, &objp->ReqReply_s.Reply_u.ListenList,
                                       objp->ReqListLength);
    case IOD_REQREPLY_GAPINFO:
      return qel_xdr_gapinfo_t(xdrs, &objp->ReqReply_s.Reply_u.GapInfo);
    default:
      return TRUE;
  }
}

bool_t qel_xdr_iod_srcsinkdesc_t(XDR* xdrs, iod_srcsinkdesc_t** list, int32_t count) {
  return listCodec(xdrs, list, count, descElement, qel_xdr_free_iod_srcsinkdesc_t,
                   "nc_iod_srcsinkdesc_t");
}

bool_t qel_xdr_iod_srcsinkreply_t(XDR* xdrs, iod_srcsinkreply_t** list, int32_t count) {
  return listCodec(xdrs, list, count, replyElement, qel_xdr_free_iod_srcsinkreply_t,
                   "qel_xdr_iod_srcsinkreply_t");
}

bool_t qel_xdr_quor_IOD_t(XDR* xdrs, quor_IOD_t* objp) {
  return qel_xdr_quor_reqid_t(xdrs, &objp->RequestID) &&
         qel_xdr_signed32(xdrs, &objp->Function) && qel_xdr_unsigned32(xdrs, &objp->Flags) &&
         qel_xdr_optional(xdrs, reinterpret_cast<void**>(&objp->ReqSpecInfo),
                          sizeof(iod_reqspec_t),
                          reinterpret_cast<xdrproc_t>(qel_xdr_iod_reqspec_t), "qel_xdr_IOD_t") &&
         qel_xdr_signed32(xdrs, &objp->SrcDescLength) &&
         qel_xdr_signed32(xdrs, &objp->SinkDescLength) &&
         qel_xdr_iod_srcsinkdesc_t(xdrs, &objp->SrcDescList, objp->SrcDescLength) &&
         qel_xdr_iod_srcsinkdesc_t(xdrs, &objp->SinkDescList, objp->SinkDescLength);
}

bool_t qel_xdr_quor_IOR_t(XDR* xdrs, quor_IOR_t* objp) {
  return qel_xdr_quor_reqid_t(xdrs, &objp->RequestID) &&
         qel_xdr_unsigned32(xdrs, &objp->Flags) && qel_xdr_signed32(xdrs, &objp->Status) &&
         qel_xdr_optional(xdrs, reinterpret_cast<void**>(&objp->ReqSpecReply),
                          sizeof(iod_reqspecreply_t),
                          reinterpret_cast<xdrproc_t>(qel_xdr_iod_reqspecreply_t),
                          "qel_xdr_quorIOR_t") &&
         qel_xdr_signed32(xdrs, &objp->SrcReplyLength) &&
         qel_xdr_signed32(xdrs, &objp->SinkReplyLength) &&
         qel_xdr_iod_srcsinkreply_t(xdrs, &objp->SrcReplyList, objp->SrcReplyLength) &&
         qel_xdr_iod_srcsinkreply_t(xdrs, &objp->SinkReplyList, objp->SinkReplyLength);
}

int qel_xdr_free_iod_srcsinkdesc_t(iod_srcsinkdesc_t* list) {
  size_t n = distinctElements(list);
  freeElements(list, n, [](iod_srcsinkdesc_t* e) {
    XDR fx = freeStream();
    qel_xdr_iod_address_t(&fx, &e->SrcSinkAddr);
  });
  return static_cast<int>(n);
}

int qel_xdr_free_iod_srcsinkreply_t(iod_srcsinkreply_t* list) {
  size_t n = distinctElements(list);
  freeElements(list, n, [](iod_srcsinkreply_t*) {});
  return static_cast<int>(n);
}
