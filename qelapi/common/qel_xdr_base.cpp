#include "qel_xdr.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include <algorithm>

bool_t qel_xdr_unsigned32(XDR* xdrs, uint32_t* objp) { return xdr_uint32_t(xdrs, objp); }
bool_t qel_xdr_signed32(XDR* xdrs, int32_t* objp) { return xdr_int32_t(xdrs, objp); }
bool_t qel_xdr_unsigned16(XDR* xdrs, uint16_t* objp) { return xdr_uint16_t(xdrs, objp); }
bool_t qel_xdr_byte(XDR* xdrs, uint8_t* objp) { return xdr_uint8_t(xdrs, objp); }
bool_t qel_xdr_signed64(XDR* xdrs, int64_t* objp) { return xdr_int64_t(xdrs, objp); }
bool_t qel_xdr_unsigned64(XDR* xdrs, uint64_t* objp) { return xdr_uint64_t(xdrs, objp); }
bool_t qel_xdr_acct_rec_t(XDR* xdrs, acct_rec_t* objp) { return xdr_uint32_t(xdrs, objp); }
bool_t qel_xdr_quor_srvr_id_t(XDR* xdrs, quor_srvr_id_t* objp) { return xdr_uint32_t(xdrs, objp); }
bool_t qel_xdr_quor_id_t(XDR* xdrs, quor_id_t* objp) { return xdr_uint32_t(xdrs, objp); }
bool_t qel_xdr_uid_t(XDR* xdrs, uid_t* objp) { return xdr_uint32_t(xdrs, objp); }
bool_t qel_xdr_gid_t(XDR* xdrs, gid_t* objp) { return xdr_uint32_t(xdrs, objp); }
bool_t qel_xdr_timestamp_sec_t(XDR* xdrs, timestamp_sec_t* objp) {
  return xdr_uint32_t(xdrs, objp);
}
bool_t qel_xdr_quor_distributionkey_t(XDR* xdrs, quor_distributionkey_t* objp) {
  return xdr_uint16_t(xdrs, objp);
}

bool_t qel_xdr_time_t(XDR* xdrs, time_t* objp) {
  int32_t t = static_cast<int32_t>(*objp);
  if (!xdr_int32_t(xdrs, &t)) return FALSE;
  if (xdrs->x_op == XDR_DECODE) *objp = t;
  return TRUE;
}

bool_t qel_xdr_utimbuf_t(XDR* xdrs, struct utimbuf* objp) {
  return qel_xdr_time_t(xdrs, &objp->actime) && qel_xdr_time_t(xdrs, &objp->modtime);
}

bool_t qel_xdr_u_signed64(XDR* xdrs, u_signed64* objp) {
  uint32_t hi = static_cast<uint32_t>(*objp >> 32);
  uint32_t lo = static_cast<uint32_t>(*objp);
  if (!xdr_uint32_t(xdrs, &hi) || !xdr_uint32_t(xdrs, &lo)) return FALSE;
  if (xdrs->x_op == XDR_DECODE) *objp = (static_cast<uint64_t>(hi) << 32) | lo;
  return TRUE;
}

bool_t qel_xdr_opaque(XDR* xdrs, char* cp, u_int cnt) {
  static const char zeros[BYTES_PER_XDR_UNIT] = {0, 0, 0, 0};
  if (xdrs->x_op == XDR_FREE || cnt == 0) return TRUE;
  u_int pad = (BYTES_PER_XDR_UNIT - cnt % BYTES_PER_XDR_UNIT) % BYTES_PER_XDR_UNIT;
  if (xdrs->x_op == XDR_ENCODE)
    return XDR_PUTBYTES(xdrs, cp, cnt) && (pad == 0 || XDR_PUTBYTES(xdrs, zeros, pad));
  if (xdrs->x_op != XDR_DECODE) return FALSE;
  char scratch[BYTES_PER_XDR_UNIT];
  return XDR_GETBYTES(xdrs, cp, cnt) && (pad == 0 || XDR_GETBYTES(xdrs, scratch, pad));
}

bool_t qel_xdr_fstring(XDR* xdrs, char* buffer, u_int maxLength) {
  if (buffer == nullptr) return FALSE;
  if (xdrs->x_op == XDR_FREE) return TRUE;
  int32_t len = 0;
  if (xdrs->x_op == XDR_ENCODE) {
    size_t n = strnlen(buffer, maxLength) + 1;
    len = n > maxLength ? static_cast<int32_t>(maxLength) + 1 : static_cast<int32_t>(n);
  }
  if (!xdr_int32_t(xdrs, &len)) return FALSE;
  if (len < 1 || static_cast<u_int>(len) > maxLength) return FALSE;
  if (xdrs->x_op == XDR_DECODE) {
    if (!qel_xdr_opaque(xdrs, buffer, static_cast<u_int>(len))) return FALSE;
    buffer[len - 1] = '\0';
    return TRUE;
  }
  return qel_xdr_opaque(xdrs, buffer, static_cast<u_int>(len));
}

namespace {

struct ModeType {
  mode_t mem;
  uint32_t wire;
};
const ModeType kModeTypes[] = {
    {S_IFREG, 0x20000}, {S_IFDIR, 0x10000}, {S_IFBLK, 0x8000},
    {S_IFCHR, 0x4000},  {S_IFIFO, 0x2000},  {S_IFLNK, 0x1000},
};

}  // namespace

bool_t qel_xdr_mode_t(XDR* xdrs, mode_t* objp) {
  uint32_t w = 0;
  if (xdrs->x_op == XDR_ENCODE) {
    mode_t type = *objp & S_IFMT;
    for (const auto& t : kModeTypes)
      if (type == t.mem) {
        w = t.wire;
        break;
      }
    w |= *objp & 07777;
  }
  if (!xdr_uint32_t(xdrs, &w)) return FALSE;
  if (xdrs->x_op == XDR_DECODE) {
    mode_t m = 0;
    for (const auto& t : kModeTypes)
      if (w & t.wire) m |= t.mem;
    *objp = m | (w & 07777);
  }
  return TRUE;
}

bool_t qel_xdr_quor_uuid_t(XDR* xdrs, quor_uuid_t* objp) {
  return xdr_uint32_t(xdrs, &objp->time_low) && xdr_uint16_t(xdrs, &objp->time_mid) &&
         xdr_uint16_t(xdrs, &objp->time_hi_and_version) &&
         xdr_uint8_t(xdrs, &objp->clock_seq_hi_and_reserved) &&
         xdr_uint8_t(xdrs, &objp->clock_seq_low) &&
         qel_xdr_opaque(xdrs, reinterpret_cast<char*>(objp->node), sizeof objp->node);
}

bool_t qel_xdr_quor_reqid_t(XDR* xdrs, quor_reqid_t* objp) { return qel_xdr_quor_uuid_t(xdrs, objp); }

bool_t qel_xdr_quoroid_t(XDR* xdrs, quoroid_t* objp) {
  return qel_xdr_opaque(xdrs, reinterpret_cast<char*>(objp->Bytes), QUOROID_LEN);
}

bool_t qel_xdr_quor_sockaddr_t(XDR* xdrs, quor_sockaddr_t* objp) {
  if (xdrs->x_op == XDR_FREE) return TRUE;
  uint32_t state = 0;
  uint16_t port = 0;
  unsigned char raw[16] = {};
  if (xdrs->x_op == XDR_ENCODE) {
    int family = 0, len = 0;
    void* in = quor_net_getinaddr(objp, &family, &len);
    if (in != nullptr && family == AF_INET) state = 1;
    if (in != nullptr && family == AF_INET6) state = 3;
    if (state != 0) {
      int p = quor_net_getport(objp, nullptr, 0);
      if (p < 0) return FALSE;
      port = static_cast<uint16_t>(p);
      memcpy(raw, in, static_cast<size_t>(len));
    }
  }
  if (!xdr_uint32_t(xdrs, &state)) return FALSE;
  if (state == 0) {
    if (xdrs->x_op == XDR_DECODE) memset(objp, 0, sizeof *objp);
    return TRUE;
  }
  if (state != 1 && state != 3) return FALSE;
  u_int n = state == 1 ? 4 : 16;
  if (!qel_xdr_opaque(xdrs, reinterpret_cast<char*>(raw), n) || !xdr_uint16_t(xdrs, &port))
    return FALSE;
  if (xdrs->x_op == XDR_DECODE) {
    char host[INET6_ADDRSTRLEN];
    char serv[8];
    if (inet_ntop(state == 1 ? AF_INET : AF_INET6, raw, host, sizeof host) == nullptr)
      return FALSE;
    snprintf(serv, sizeof serv, "%u", static_cast<unsigned>(port));
    if (quor_net_getaddrinfo(host, serv, AI_NUMERICHOST | AI_NUMERICSERV, QUOR_IPPROTO_TCP,
                             objp, nullptr, 0) != 0)
      return FALSE;
  }
  return TRUE;
}

void qel_xdr_memory_error(const char* FuncName, const char* TheFile, int TheLine, int TheCount,
                          int TheSize) {
  fprintf(stderr, "*** Memory error in '%s' count: %d size: %d (File: %s Line: %d)\n", FuncName,
          TheCount, TheSize, TheFile, TheLine);
}

void qel_xdr_errmsg(const char* Format, ...) {
  va_list ap;
  va_start(ap, Format);
  vfprintf(stderr, Format, ap);
  va_end(ap);
}

// ---- building blocks ----

bool_t qel_xdr_block(XDR* xdrs, char** block, u_int len, u_int extra, bool_t alloc_empty,
                     const char* memname) {
  switch (xdrs->x_op) {
    case XDR_FREE:
      free(*block);
      *block = nullptr;
      return TRUE;
    case XDR_ENCODE:
      if (len == 0) return TRUE;  // an empty opaque is no bytes at all
      return *block != nullptr && qel_xdr_opaque(xdrs, *block, len);
    case XDR_DECODE:
      break;
  }
  if (len == 0 && !alloc_empty) return TRUE;
  if (len > QEL_XDR_MAX_BLOCK) return FALSE;
  // Grow as the bytes arrive: a length word that lies costs at most one chunk.
  const u_int chunk = 1u << 16;
  size_t cap = std::min<size_t>(len, chunk) + extra;
  if (cap == 0) cap = 1;
  char* buf = static_cast<char*>(malloc(cap));
  if (buf == nullptr) {
    if (memname) qel_xdr_memory_error(memname, __FILE__, __LINE__, int(cap), 1);
    return FALSE;
  }
  u_int done = 0;
  while (done < len) {
    u_int step = std::min(chunk, len - done);
    if (done + step + extra > cap) {
      size_t ncap =
          std::min<size_t>(size_t(len) + extra, std::max<size_t>(cap * 2, done + step + extra));
      char* nb = static_cast<char*>(realloc(buf, ncap));
      if (nb == nullptr) {
        if (memname) qel_xdr_memory_error(memname, __FILE__, __LINE__, int(ncap), 1);
        free(buf);
        return FALSE;
      }
      buf = nb;
      cap = ncap;
    }
    // Only the last step may be a partial unit; qel_xdr_opaque pads it.
    u_int take = (done + step == len) ? step : step & ~3u;
    if (!qel_xdr_opaque(xdrs, buf + done, take)) {
      free(buf);
      return FALSE;
    }
    done += take;
  }
  if (extra) buf[len] = '\0';
  *block = buf;
  return TRUE;
}

bool_t qel_xdr_string(XDR* xdrs, char** s, u_int maxLength) {
  if (xdrs->x_op == XDR_FREE) {
    free(*s);
    *s = nullptr;
    return TRUE;
  }
  uint32_t len = 0;
  if (xdrs->x_op == XDR_ENCODE) {
    if (*s == nullptr) return FALSE;
    size_t n = strlen(*s);
    if (n > maxLength) return FALSE;
    len = uint32_t(n);
  }
  if (!xdr_uint32_t(xdrs, &len)) return FALSE;
  if (len > maxLength) return FALSE;
  if (xdrs->x_op == XDR_ENCODE) return qel_xdr_opaque(xdrs, *s, len);
  if (*s == nullptr) return qel_xdr_block(xdrs, s, len, 1, TRUE, nullptr);
  if (!qel_xdr_opaque(xdrs, *s, len)) return FALSE;
  (*s)[len] = '\0';
  return TRUE;
}

bool_t qel_xdr_elements(XDR* xdrs, void** array, u_int count, u_int elsize, xdrproc_t elproc,
                        u_int max, const char* memname) {
  if (xdrs->x_op == XDR_FREE) {
    if (*array != nullptr) {
      char* base = static_cast<char*>(*array);
      for (u_int i = 0; i < count; i++) elproc(xdrs, base + size_t(i) * elsize, 0);
      free(*array);
      *array = nullptr;
    }
    return TRUE;
  }
  if (count > max || count > QEL_XDR_MAX_COUNT) return FALSE;
  if (xdrs->x_op == XDR_ENCODE) {
    if (count == 0) return TRUE;
    if (*array == nullptr) return FALSE;
    char* base = static_cast<char*>(*array);
    for (u_int i = 0; i < count; i++)
      if (!elproc(xdrs, base + size_t(i) * elsize, 0)) return FALSE;
    return TRUE;
  }
  *array = nullptr;
  if (count == 0) return TRUE;
  // Grow as elements arrive, so a lying count cannot force a huge allocation.
  u_int cap = std::min<u_int>(count, 64);
  char* base = static_cast<char*>(calloc(cap, elsize));
  if (base == nullptr) {
    if (memname) qel_xdr_memory_error(memname, __FILE__, __LINE__, int(cap), int(elsize));
    return FALSE;
  }
  u_int i = 0;
  bool_t ok = TRUE;
  for (; i < count; i++) {
    if (i == cap) {
      u_int ncap = std::min<u_int>(count, cap * 2);
      char* nb = static_cast<char*>(realloc(base, size_t(ncap) * elsize));
      if (nb == nullptr) {
        if (memname) qel_xdr_memory_error(memname, __FILE__, __LINE__, int(ncap), int(elsize));
        ok = FALSE;
        break;
      }
      memset(nb + size_t(cap) * elsize, 0, size_t(ncap - cap) * elsize);
      base = nb;
      cap = ncap;
    }
    if (!elproc(xdrs, base + size_t(i) * elsize, 0)) {
      ok = FALSE;
      i++;  // the failed element may hold parts too
      break;
    }
  }
  if (!ok) {
    XDR fx;
    fx.x_op = XDR_FREE;
    for (u_int j = 0; j < i && j < cap; j++) elproc(&fx, base + size_t(j) * elsize, 0);
    free(base);
    return FALSE;
  }
  *array = base;
  return TRUE;
}

bool_t qel_xdr_optional(XDR* xdrs, void** ptr, u_int size, xdrproc_t proc, const char* memname) {
  if (xdrs->x_op == XDR_FREE) {
    if (*ptr != nullptr) {
      proc(xdrs, *ptr, 0);
      free(*ptr);
      *ptr = nullptr;
    }
    return TRUE;
  }
  uint32_t present = *ptr != nullptr ? 1 : 0;
  if (!xdr_uint32_t(xdrs, &present)) return FALSE;
  if (xdrs->x_op == XDR_ENCODE) return present ? proc(xdrs, *ptr, 0) : TRUE;
  *ptr = nullptr;
  if (!present) return TRUE;
  void* p = calloc(1, size);
  if (p == nullptr) {
    if (memname) qel_xdr_memory_error(memname, __FILE__, __LINE__, 1, int(size));
    return FALSE;
  }
  // Keep the partial record in place: the caller's release frees what it got.
  *ptr = p;
  return proc(xdrs, p, 0);
}
