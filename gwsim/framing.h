// Bytes on a client connection: a buffered reader with an XDR decoding
// stream over it (so request bodies of any length decode straight from the
// socket), header decoding, body encoding and whole writes.
//
// gw_ReaderCreate   reader over fd (not owned); null without memory.
// gw_ReaderCreateMem reader over len bytes at data (not copied, kept alive
//                   by the caller): the request loop without a socket.
// gw_ReaderFree     releases it; null does nothing.
// gw_ReaderBuffered bytes already read from the socket but not yet used.
// gw_ReaderXdr      the decoding XDR stream; a short stream fails the codec.
// gw_ReaderWait     1 when a byte can be read within timeoutMs (or is
//                   buffered), 0 when none came, -1 on a poll error. A
//                   memory reader never waits.
// gw_ReadHeader     the next 36-byte header: 0, 1 at a clean end of stream
//                   (no byte of a new header), -1 on a short or failed read.
// gw_EncodeBody     encodes rec with codec into out: 0, or -1.
// gw_EncodeHeader   the 36 wire bytes of hdr into out: 0, or -1.
// gw_SendAll        writes every byte (no SIGPIPE): 0, or -1.
#ifndef GWSIM_FRAMING_H
#define GWSIM_FRAMING_H

#include <stddef.h>

#include <vector>

#include "gwsim.h"

typedef struct gw_reader gw_reader_t;

gw_reader_t* gw_ReaderCreate(int fd);
gw_reader_t* gw_ReaderCreateMem(const char* data, size_t len);
void gw_ReaderFree(gw_reader_t* rd);
size_t gw_ReaderBuffered(const gw_reader_t* rd);
XDR* gw_ReaderXdr(gw_reader_t* rd);
int gw_ReaderWait(gw_reader_t* rd, int timeoutMs);
int gw_ReadHeader(gw_reader_t* rd, api_msghdr_t* hdr);

int gw_EncodeBody(xdrproc_t codec, void* rec, std::vector<char>* out);
int gw_EncodeHeader(const api_msghdr_t* hdr, std::vector<char>* out);
int gw_SendAll(int fd, const char* data, size_t len);

#endif
