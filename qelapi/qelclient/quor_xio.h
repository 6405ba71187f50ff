// Internals of the direct data connection of files opened with quor_OpenX.
// Library code and its tests include this.
//
// qelapi_io_dataconn  connects Entry's data socket to Entry->dataAddr (the
//                     connection's server address, with dataAddr's port,
//                     when dataAddr's address part is all zeros or empty):
//                     0 with the non-blocking socket in sockFiledes, or the
//                     negated errno (errno set too).
// qelapi_io_read      reads until Nbyte bytes are in or the gateway closes
//                     the connection: the bytes read, or -5 when a wait of
//                     the data timeout passes or the socket fails.
// qelapi_io_write     writes Nbyte bytes in pieces of at most 32768: the
//                     bytes written (fewer when a write takes none), -5 on
//                     a failed or timed-out wait, or the negated errno.
// qelapi_io_xio_finish ends a direct request that is still open on Entry:
//                     closes the data connection and collects the request's
//                     reply, so the control connection stays in step; the
//                     reply's code or the receive's failure, 0 when none
//                     was open.
// qelapi_xio_whole    a request phase and one data phase for Nbyte bytes
//                     on Entry, which the calling thread holds active (the
//                     read or write of a direct-connection file): the data
//                     phase's result, or the request phase's failure.
// qelapi_xio_wait_ms  the data timeout (1500 s) in milliseconds, shortened
//                     by the library's test time scale.
#ifndef QUOR_XIO_H
#define QUOR_XIO_H

#include <stdint.h>

#include "quor_api_internal.h"
#include "quor_files.h"

int qelapi_io_dataconn(qelapi_file_t* Entry, int OpenFlags);
int64_t qelapi_io_read(qelapi_file_t* Entry, char* Buf, uint64_t Nbyte);
int64_t qelapi_io_write(qelapi_file_t* Entry, const char* Buf, uint64_t Nbyte);
int qelapi_io_xio_finish(qelapi_tcontext_t* ThreadState, qelapi_file_t* Entry);
int64_t qelapi_xio_whole(qelapi_tcontext_t* ThreadState, qelapi_file_t* Entry, char* Buf,
                         const char* CBuf, uint64_t Nbyte, bool isRead);
int qelapi_xio_wait_ms(void);

#endif
