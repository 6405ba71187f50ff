// Socket framing of gwsim. The reader is an XDR stream of its own so that a
// body decodes from the socket without knowing its length beforehand, while
// the buffered byte count tells the shuffle rule whether a request is
// already waiting.
#include "framing.h"

#include <errno.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>

#include <new>

struct gw_reader {
  int fd;             // -1: the bytes come from mem
  const char* mem;
  size_t memLen;
  size_t memPos;
  size_t pos;
  size_t len;
  u_int consumed;
  XDR xdr;
  char buf[65536];
};

// Makes at least one byte available; 0, or -1 at end of stream or error.
static int reader_fill(gw_reader_t* rd) {
  if (rd->pos < rd->len) return 0;
  if (rd->fd < 0) {
    size_t n = rd->memLen - rd->memPos;
    if (n == 0) return -1;
    if (n > sizeof rd->buf) n = sizeof rd->buf;
    memcpy(rd->buf, rd->mem + rd->memPos, n);
    rd->memPos += n;
    rd->pos = 0;
    rd->len = n;
    return 0;
  }
  for (;;) {
    ssize_t n = recv(rd->fd, rd->buf, sizeof rd->buf, 0);
    if (n > 0) {
      rd->pos = 0;
      rd->len = size_t(n);
      return 0;
    }
    if (n < 0 && errno == EINTR) continue;
    return -1;
  }
}

static int reader_get(gw_reader_t* rd, char* out, size_t n) {
  while (n > 0) {
    if (reader_fill(rd) < 0) return -1;
    size_t take = rd->len - rd->pos;
    if (take > n) take = n;
    memcpy(out, rd->buf + rd->pos, take);
    rd->pos += take;
    rd->consumed += u_int(take);
    out += take;
    n -= take;
  }
  return 0;
}

static bool_t rx_getlong(XDR* xdrs, long* lp) {
  unsigned char b[4];
  if (reader_get(static_cast<gw_reader_t*>(xdrs->x_private), reinterpret_cast<char*>(b), 4) < 0)
    return FALSE;
  *lp = long((uint32_t(b[0]) << 24) | (uint32_t(b[1]) << 16) | (uint32_t(b[2]) << 8) | b[3]);
  return TRUE;
}

static bool_t rx_putlong(XDR*, const long*) { return FALSE; }

static bool_t rx_getbytes(XDR* xdrs, char* addr, u_int len) {
  return reader_get(static_cast<gw_reader_t*>(xdrs->x_private), addr, len) == 0;
}

static bool_t rx_putbytes(XDR*, const char*, u_int) { return FALSE; }

static u_int rx_getpostn(XDR* xdrs) { return static_cast<gw_reader_t*>(xdrs->x_private)->consumed; }

static bool_t rx_setpostn(XDR*, u_int) { return FALSE; }
static int32_t* rx_inline(XDR*, u_int) { return nullptr; }
static void rx_destroy(XDR*) {}
static bool_t rx_control(XDR*, int, void*) { return FALSE; }

static const XDR::xdr_ops rx_ops = {rx_getlong,  rx_putlong, rx_getbytes, rx_putbytes, rx_getpostn,
                                    rx_setpostn, rx_inline,  rx_destroy,  rx_control};

gw_reader_t* gw_ReaderCreate(int fd) {
  gw_reader_t* rd = new (std::nothrow) gw_reader_t;
  if (!rd) return nullptr;
  rd->fd = fd;
  rd->mem = nullptr;
  rd->memLen = rd->memPos = 0;
  rd->pos = rd->len = 0;
  rd->consumed = 0;
  memset(&rd->xdr, 0, sizeof rd->xdr);
  rd->xdr.x_op = XDR_DECODE;
  rd->xdr.x_ops = &rx_ops;
  rd->xdr.x_private = reinterpret_cast<char*>(rd);
  return rd;
}

gw_reader_t* gw_ReaderCreateMem(const char* data, size_t len) {
  gw_reader_t* rd = gw_ReaderCreate(-1);
  if (!rd) return nullptr;
  rd->mem = data;
  rd->memLen = data ? len : 0;
  return rd;
}

void gw_ReaderFree(gw_reader_t* rd) { delete rd; }

int gw_ReaderWait(gw_reader_t* rd, int timeoutMs) {
  if (rd->pos < rd->len) return 1;
  if (rd->fd < 0) return rd->memPos < rd->memLen ? 1 : 0;
  struct pollfd pfd = {rd->fd, POLLIN, 0};
  int n;
  do n = poll(&pfd, 1, timeoutMs);
  while (n < 0 && errno == EINTR);
  return n < 0 ? -1 : n > 0 ? 1 : 0;
}

size_t gw_ReaderBuffered(const gw_reader_t* rd) { return rd->len - rd->pos; }

XDR* gw_ReaderXdr(gw_reader_t* rd) { return &rd->xdr; }

int gw_ReadHeader(gw_reader_t* rd, api_msghdr_t* hdr) {
  char raw[API_MSGHDR_WIRE_SIZE];
  if (reader_fill(rd) < 0) return 1;
  if (reader_get(rd, raw, sizeof raw) < 0) return -1;
  XDR x;
  xdrmem_create(&x, raw, sizeof raw, XDR_DECODE);
  bool_t ok = qel_xdr_api_msghdr_t(&x, hdr);
  xdr_destroy(&x);
  return ok ? 0 : -1;
}

int gw_EncodeBody(xdrproc_t codec, void* rec, std::vector<char>* out) {
  unsigned long size = xdr_sizeof(codec, rec);
  if (size == 0 || size > QEL_XDR_MAX_BLOCK) return -1;
  out->assign(size, 0);
  XDR x;
  xdrmem_create(&x, out->data(), u_int(size), XDR_ENCODE);
  bool_t ok = codec(&x, rec);
  u_int used = xdr_getpos(&x);
  xdr_destroy(&x);
  if (!ok) return -1;
  out->resize(used);
  return 0;
}

int gw_EncodeHeader(const api_msghdr_t* hdr, std::vector<char>* out) {
  api_msghdr_t copy = *hdr;
  out->assign(API_MSGHDR_WIRE_SIZE, 0);
  XDR x;
  xdrmem_create(&x, out->data(), API_MSGHDR_WIRE_SIZE, XDR_ENCODE);
  bool_t ok = qel_xdr_api_msghdr_t(&x, &copy);
  xdr_destroy(&x);
  return ok ? 0 : -1;
}

int gw_SendAll(int fd, const char* data, size_t len) {
  while (len > 0) {
    ssize_t n = send(fd, data, len, MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    data += n;
    len -= size_t(n);
  }
  return 0;
}
