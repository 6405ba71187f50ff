// Base XDR codecs of the gateway protocol. Every codec encodes, decodes and
// (for xdr_free) releases with the same routine and returns 1 or 0. Decoding
// allocates every variable-size part; the caller clears a record before
// decoding into it and releases it with xdr_free(codec, record).
#ifndef QEL_XDR_H
#define QEL_XDR_H

#include <rpc/types.h>
#include <rpc/xdr.h>
#include <sys/types.h>
#include <time.h>
#include <utime.h>

#include "quor_net.h"
#include "quor_types.h"

bool_t qel_xdr_unsigned32(XDR* xdrs, uint32_t* objp);
bool_t qel_xdr_signed32(XDR* xdrs, int32_t* objp);
bool_t qel_xdr_unsigned16(XDR* xdrs, uint16_t* objp);
bool_t qel_xdr_byte(XDR* xdrs, uint8_t* objp);
bool_t qel_xdr_signed64(XDR* xdrs, int64_t* objp);
bool_t qel_xdr_unsigned64(XDR* xdrs, uint64_t* objp);
bool_t qel_xdr_acct_rec_t(XDR* xdrs, acct_rec_t* objp);
bool_t qel_xdr_quor_srvr_id_t(XDR* xdrs, quor_srvr_id_t* objp);
bool_t qel_xdr_quor_id_t(XDR* xdrs, quor_id_t* objp);
bool_t qel_xdr_uid_t(XDR* xdrs, uid_t* objp);
bool_t qel_xdr_gid_t(XDR* xdrs, gid_t* objp);
bool_t qel_xdr_timestamp_sec_t(XDR* xdrs, timestamp_sec_t* objp);
bool_t qel_xdr_quor_distributionkey_t(XDR* xdrs, quor_distributionkey_t* objp);
// Times travel as 32-bit signed seconds.
bool_t qel_xdr_time_t(XDR* xdrs, time_t* objp);
bool_t qel_xdr_utimbuf_t(XDR* xdrs, struct utimbuf* objp);
// Two u32, high word first: the same bytes as an XDR hyper.
bool_t qel_xdr_u_signed64(XDR* xdrs, u_signed64* objp);

// cnt bytes, then zero padding to a multiple of four: the wire form of
// xdr_opaque. libtirpc's xdr_opaque reads the padding into one static buffer
// that every thread shares; this one reads it into the caller's stack.
bool_t qel_xdr_opaque(XDR* xdrs, char* cp, u_int cnt);

// Bounded NUL-counted string in a character array of maxLength bytes: i32
// length including the NUL, then the bytes as padded opaque. At most
// maxLength-1 characters; decoding always leaves the array terminated.
bool_t qel_xdr_fstring(XDR* xdrs, char* buffer, u_int maxLength);

// File type as one-hot bits above the twelve low mode bits.
bool_t qel_xdr_mode_t(XDR* xdrs, mode_t* objp);

bool_t qel_xdr_quor_uuid_t(XDR* xdrs, quor_uuid_t* objp);
bool_t qel_xdr_quor_reqid_t(XDR* xdrs, quor_reqid_t* objp);
bool_t qel_xdr_quoroid_t(XDR* xdrs, quoroid_t* objp);
// State word (0 none, 1 IPv4, 3 IPv6), then address bytes and u16 port.
// Decoding rebuilds the record numerically under the current family policy.
bool_t qel_xdr_quor_sockaddr_t(XDR* xdrs, quor_sockaddr_t* objp);

void qel_xdr_memory_error(const char* FuncName, const char* TheFile, int TheLine, int TheCount,
                          int TheSize);
void qel_xdr_errmsg(const char* Format, ...) __attribute__((format(printf, 1, 2)));

// ---- Building blocks shared by the message codecs ----

// Upper bound on any element count or byte block taken from the wire.
#define QEL_XDR_MAX_COUNT (1u << 24)
#define QEL_XDR_MAX_BLOCK (1u << 30)

// A byte block whose length was sent earlier in the record. Decoding
// allocates len bytes (len + extra, zero-terminated when extra is 1) as the
// bytes arrive, so a truncated stream never costs a huge allocation. With
// alloc_empty, a zero length still allocates (a 1-byte block). A length above
// QEL_XDR_MAX_BLOCK and a short stream fail quietly; memname, when set, names
// the codec in the message for an allocation that fails.
bool_t qel_xdr_block(XDR* xdrs, char** block, u_int len, u_int extra, bool_t alloc_empty,
                     const char* memname);

// An XDR string of at most maxLength characters: u32 length without the NUL,
// the bytes, padding (the wire form of xdr_string). A null string fails to
// encode. Decoding into a null pointer allocates as the bytes arrive, so a
// lying length costs no huge allocation; into a set pointer it writes that
// buffer, which must hold maxLength + 1 bytes. Releasing frees and nulls.
bool_t qel_xdr_string(XDR* xdrs, char** s, u_int maxLength);

// count elements of elsize bytes through elproc into *array. Decoding
// allocates a zero-filled array (null for count 0) growing as elements
// arrive; count above max fails. Releasing frees each element's parts and the
// array. memname, when set, names the codec in the allocation message.
bool_t qel_xdr_elements(XDR* xdrs, void** array, u_int count, u_int elsize, xdrproc_t elproc,
                        u_int max, const char* memname);

// Presence word, then the sub-record when the pointer is set. Decoding
// allocates it zero-filled.
bool_t qel_xdr_optional(XDR* xdrs, void** ptr, u_int size, xdrproc_t proc, const char* memname);

#endif
