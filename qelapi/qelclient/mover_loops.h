// The library's own use of mover connections: a set of connections
// accepted on one listen socket that lives across several waits, and a
// record of which byte ranges of the window actually moved, so that a
// transfer counts every byte once and only bytes that arrived.
//
// mover_cover_add     records [off, off + len) of the window as moved.
// mover_cover_prefix  how many bytes from the window's start moved without a
//                     hole; mover_cover_total counts every distinct byte.
//
// mover_serve         accepts and serves the connections of set (reads: data
//                     packets into buf; writes: answers data requests from
//                     buf) until every byte of the window, transfer offsets
//                     [winOffset, winOffset + size), moved (0); cover holds
//                     the window positions (offset - winOffset) that did. Returns MOVER_WOKEN when wakeFd (an eventfd, -1:
//                     none) became readable, -110 after timeoutMs without a
//                     connection, packet or wake-up, -16 at the 33rd
//                     connection, -22 for a packet of another transfer or
//                     outside the window, or the first other failure. The
//                     connections stay open in set between calls, so data
//                     in flight is never lost to a wake-up. Peers are checked
//                     against the restricted addresses and closed when
//                     refused; the refusal is then logged as set->caller,
//                     or, when set->refused is given, kept there for the
//                     caller to log once it no longer serves movers (the log
//                     line is a gateway round trip). packetWait is the
//                     limit in seconds on one packet's body once it started.
//                     Each connection but one is served by a thread of
//                     its own, started the first time a call sees it and
//                     kept, waiting between calls, until the set is closed
//                     or the connection ends; every thread has left the
//                     call before it returns, so cover and set are the
//                     caller's again.
//                     With wake given, a wake-up does not end the call by
//                     itself: wake->woken (under the lock that guards
//                     cover) says whether to end it (MOVER_WOKEN), and may
//                     lower *want, the bytes from the window's start that
//                     suffice: the call then returns 0 once they moved.
// mover_set_close     stops and joins the set's threads and closes every
//                     connection of set (not the listen socket).
// mover_set_stop_threads stops and joins the threads only (the set's
//                     destructor calls it for a set never closed).
// mover_accept_checked accepts one mover connection on listenFd (the one
//                     accept of every mover connection, the library's and
//                     the shell's): the new descriptor, non-blocking and
//                     with the configured network options; -EAGAIN when
//                     none was waiting; MOVER_REFUSED when the peer is a
//                     restricted address (closed; the refusal logged as
//                     caller, or kept in *refused when given); or the
//                     negated errno. *peerOut (may be null) gets the peer.
#ifndef MOVER_LOOPS_H
#define MOVER_LOOPS_H

#include <stdint.h>

#include <map>
#include <vector>

#include "quor_net.h"

#define MOVER_WOKEN 1
#define MOVER_REFUSED (-100001)

typedef struct mover_cover {
  std::map<uint64_t, uint64_t> ranges;  // start -> end, disjoint, merged
  uint64_t total = 0;
} mover_cover_t;

void mover_cover_add(mover_cover_t* c, uint64_t off, uint64_t len);
uint64_t mover_cover_prefix(const mover_cover_t* c);
inline uint64_t mover_cover_total(const mover_cover_t* c) { return c->total; }

typedef struct mover_set {
  int listenFd;
  const char* caller;      // named in the log line of a refused peer
  std::vector<int> conns;  // accept order
  std::vector<quor_sockaddr_t>* refused = nullptr;
  // A mover that goes away while it is answered counts as done with its
  // connection, not as a failure: the gateway's reply tells what it moved.
  bool lostIsClosed = false;
  struct mover_workers* workers = nullptr;  // the connections' threads
  mover_set() = default;
  mover_set(const mover_set&) = delete;
  mover_set& operator=(const mover_set&) = delete;
  ~mover_set();
} mover_set_t;

enum { MOVER_RECEIVE = 0, MOVER_SEND = 1 };

typedef struct mover_wake {
  int (*woken)(void* arg, uint64_t* want);  // 1: end the call
  void* arg;
} mover_wake_t;

int mover_serve(mover_set_t* set, int direction, uint64_t xferId, uint64_t winOffset, char* buf,
                uint64_t size, mover_cover_t* cover, int timeoutMs, int wakeFd, int packetWait,
                const mover_wake_t* wake = nullptr);
void mover_set_close(mover_set_t* set);
void mover_set_stop_threads(mover_set_t* set);
inline mover_set::~mover_set() { mover_set_stop_threads(this); }
int mover_accept_checked(int listenFd, quor_sockaddr_t* peerOut, const char* caller,
                         std::vector<quor_sockaddr_t>* refused);

#endif
