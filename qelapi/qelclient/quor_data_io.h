// Internals of file data through movers: the I/O descriptor check of the
// list calls and the release of decoded reply lists. Library code and its
// tests include this.
//
// qelapi_validate_IOD     checks a caller-built descriptor before it is sent:
//                         Function 1 or 2 (-22); both lists present and
//                         counted above 0 (-22), and as long as counted (-34);
//                         address types 1, 9, 10, 11, 12 only (-64); exactly
//                         one client file (type 11), among the sources of a
//                         read or the sinks of a write (-22 on the other
//                         side, -16 for a second, -14 for none), naming an
//                         open storage file (-9). 0 with *Conn the file's
//                         connection and *FileAddr the client-file address;
//                         both outputs are cleared first.
// qelapi_free_srcsinkrply frees up to Count elements along *Head and sets
//                         *Head to null; returns how many it freed.
#ifndef QUOR_DATA_IO_H
#define QUOR_DATA_IO_H

#include <stdint.h>

#include "quor_api_internal.h"
#include "quor_iod_clnt.h"

int qelapi_validate_IOD(quor_IOD_t* IOD, uint32_t Flags, quor_connection_t** Conn,
                        clientfileaddress_t** FileAddr);
int qelapi_free_srcsinkrply(int Count, iod_srcsinkreply_t** Head);

#endif
