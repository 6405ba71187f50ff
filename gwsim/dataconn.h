// Data connections beside a client connection: the worker threads that move
// file data over them while the request loop goes on (the direct data
// connection of OpenX files, lfx transfers), the sockets those workers use,
// and the pool of connected lfx data sockets kept for later transfers.
//
// A worker answers on the client connection itself (gw_SendMessage under the
// connection's send lock). Workers end on their own, or when the connection
// ends: gw_DataEnd tells them to stop, shuts their sockets down, joins them
// and closes every socket the connection still keeps.
//
// gw_DataStart     runs fn on a worker of conn: 0, or -1 when no thread.
// gw_DataEnd       stops and joins the workers, closes pool and XIO sockets.
// gw_DataStopping  true once the connection is ending.
// gw_DataWatch / gw_DataUnwatch
//                  a socket a worker waits on; gw_DataEnd shuts it down.
// gw_DataListen    a listening socket on 127.0.0.1, any port: the descriptor
//                  (the address in *bound), or -errno.
// gw_DataAccept    one connection on lfd within ms: its descriptor, -110 on
//                  time-out, -4 when stopping, or -errno.
// gw_DataConnect   a connection to addr within ms: the descriptor or -errno.
// gw_DataSend      writes len bytes: 0, -110 when nothing moved for idleMs,
//                  -4 when stopping, or -errno.
// gw_DataRecv      reads until len bytes are in or the peer closes: 0 with
//                  *got (less than len only at the peer's end), else as
//                  gw_DataSend.
// gw_DataFileToSocket
//                  sends count bytes of fd from offset (fewer when the file
//                  ends first): 0, or an error as gw_DataSend or the file's
//                  read; *moved counts what went out.
// gw_DataSocketToFile
//                  writes what arrives into fd from offset: count bytes
//                  (toEnd: until the peer closes), the file writes
//                  overlapping the receives. 0; -5 when the peer closes
//                  early; a file write's or gw_DataRecv's error; *moved
//                  counts the bytes written.
// gw_PoolTake      takes the pooled socket poolID: its descriptor, or -1.
// gw_PoolTakeAny   takes any pooled socket: its descriptor with *poolID and
//                  *addr, or -1 when the pool is empty.
// gw_PoolPut       keeps a connected socket under poolID.
// gw_PoolClear     closes every pooled socket; returns how many.
// gw_PoolNextId    a pool id of the gateway's own numbering (never 0).
// gw_DataOpenFile  the open file of a gateway descriptor on conn, or null.
// gw_DataSlot      per-connection state of another module (xio.h, lfx.h),
//                  empty until that module fills it; released after the
//                  workers have been joined.
#ifndef GWSIM_DATACONN_H
#define GWSIM_DATACONN_H

#include <stddef.h>
#include <stdint.h>

#include <functional>
#include <memory>

#include "gwsim.h"
#include "quor_net.h"

int gw_DataStart(gw_conn_t* conn, std::function<void()> fn);
void gw_DataEnd(gw_conn_t* conn);
bool gw_DataStopping(gw_conn_t* conn);
void gw_DataWatch(gw_conn_t* conn, int fd);
void gw_DataUnwatch(gw_conn_t* conn, int fd);

int gw_DataListen(quor_sockaddr_t* bound);
int gw_DataAccept(gw_conn_t* conn, int lfd, int ms);
int gw_DataConnect(gw_conn_t* conn, const quor_sockaddr_t* addr, int ms);
// The same from the local IPv4 address from (null or empty: any).
int gw_DataConnectFrom(gw_conn_t* conn, const quor_sockaddr_t* addr, int ms, const char* from);
int gw_DataSend(gw_conn_t* conn, int fd, const char* buf, size_t len, int idleMs);
int gw_DataRecv(gw_conn_t* conn, int fd, char* buf, size_t len, int idleMs, size_t* got);

int gw_DataFileToSocket(gw_conn_t* conn, int sock, int fd, uint64_t offset, uint64_t count,
                        int idleMs, uint64_t* moved);
int gw_DataSocketToFile(gw_conn_t* conn, int sock, int fd, uint64_t offset, uint64_t count,
                        bool toEnd, int idleMs, uint64_t* moved);

int gw_PoolTake(gw_conn_t* conn, uint32_t poolID);
int gw_PoolTakeAny(gw_conn_t* conn, uint32_t* poolID, quor_sockaddr_t* addr);
void gw_PoolPut(gw_conn_t* conn, uint32_t poolID, int fd, const quor_sockaddr_t* addr);
int gw_PoolClear(gw_conn_t* conn);
uint32_t gw_PoolNextId(void);

gw_openfile_t* gw_DataOpenFile(gw_conn_t* conn, int32_t fildes);

enum { GW_SLOT_XIO = 0, GW_SLOT_LFX, GW_SLOT_COUNT };
std::shared_ptr<void>& gw_DataSlot(gw_conn_t* conn, int which);

#endif
