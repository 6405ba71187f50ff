// Codecs of the I/O descriptor, the I/O reply and their parts, and the
// release of decoded lists. Every codec encodes, decodes and (under xdr_free)
// releases. Decoding builds each list from separately allocated elements and,
// when it fails part way, frees what it built; a whole list decoded into a
// record is the record's to release (xdr_free on the record, or the release
// routines below). Address type 10 never travels: its codec always fails.
#ifndef XDR_IOD_H
#define XDR_IOD_H

#include "qel_xdr.h"
#include "quor_iod_clnt.h"

bool_t qel_xdr_quor_IOD_t(XDR* xdrs, quor_IOD_t* objp);
bool_t qel_xdr_quor_IOR_t(XDR* xdrs, quor_IOR_t* objp);

// A whole list of count elements, count being the enclosing record's length
// field. A negative count fails; encoding fails (with a message) on a list
// shorter than count; XDR_FREE releases the whole list and nulls *list.
bool_t qel_xdr_iod_srcsinkdesc_t(XDR* xdrs, iod_srcsinkdesc_t** list, int32_t count);
bool_t qel_xdr_iod_srcsinkreply_t(XDR* xdrs, iod_srcsinkreply_t** list, int32_t count);

bool_t qel_xdr_iod_address_t(XDR* xdrs, iod_address_t* objp);
bool_t qel_xdr_iod_straddr_t(XDR* xdrs, iod_straddr_t* objp);
// The whole stripe list: the first element in place, as many as its
// AddrListLength (0 still sends one; negative fails). XDR_FREE releases the
// elements after the first.
bool_t qel_xdr_iod_stripe_addr_t(XDR* xdrs, iod_stripe_addr_t* objp);
// The value after the fixed fields is chosen by the in-memory
// ReqInfo_s.InfoType, which is not sent: a decoder must know it beforehand.
bool_t qel_xdr_iod_reqspec_t(XDR* xdrs, iod_reqspec_t* objp);
bool_t qel_xdr_iod_reqspecreply_t(XDR* xdrs, iod_reqspecreply_t* objp);
bool_t qel_xdr_netaddress_t(XDR* xdrs, netaddress_t* objp);
bool_t qel_xdr_clientfileaddress_t(XDR* xdrs, clientfileaddress_t* objp);
bool_t qel_xdr_shmaddress_t(XDR* xdrs, shmaddress_t* objp);
bool_t qel_xdr_lftaddress_t(XDR* xdrs, lftaddress_t* objp);
bool_t qel_xdr_san3paddress_t(XDR* xdrs, san3paddress_t* objp);
bool_t qel_xdr_gapinfo_t(XDR* xdrs, gapinfo_t* objp);

// Free every element of a decoded list (with the stripe elements its
// addresses hold) and return how many were freed. A list that loops back on
// itself is freed once per element: the walk ends where it would come back.
int qel_xdr_free_iod_srcsinkdesc_t(iod_srcsinkdesc_t* list);
int qel_xdr_free_iod_srcsinkreply_t(iod_srcsinkreply_t* list);

#endif
