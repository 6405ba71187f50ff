// Stored files keep their zero blocks as holes, so that a large sparse file
// costs the host little disk however it is written.
//
// gw_AllZero         true when the len bytes at p are all zero.
// gw_PeekZero        1 when the next bytes waiting on the socket (up to
//                    want, at least one; blocks until one came) are all
//                    zero, 0 when one is not, -1 at the end or on error.
// gw_WriteKeepHoles  the len bytes into fd at off, 0 or -errno. Every
//                    4 KiB block of the file that the bytes cover whole and
//                    that is all zero is not written: inside the file's
//                    size it is punched out (written as zeros where the
//                    file system cannot punch), beyond it left a hole. The
//                    file is not grown over a trailing hole: the writer
//                    grows it (gw_StoreGrow) once its writes are done.
//                    Bytes of other blocks are written as they are, and so
//                    is all of it into a file opened for appending or not
//                    regular.
#ifndef GWSIM_HOLES_H
#define GWSIM_HOLES_H

#include <stddef.h>
#include <stdint.h>

bool gw_AllZero(const char* p, size_t len);
int gw_PeekZero(int sock, size_t want);
int gw_WriteKeepHoles(int fd, const char* buf, size_t len, uint64_t off);

#endif
