// gwsim's data movers: for a list read or write, one thread per mover
// connects back to the client's listen socket from loopback and moves its
// share of the request's byte stream, as parallel-data packets (reads: a
// header and the data; writes: a request header answered with the data) or
// through the mover protocol (initiator message, the client's reply and
// IP-address message, a data connection, a completion message per piece).
// The Movers block of the configuration sets how many movers share one
// address, the packet size, the protocol and the mover faults.
//
// gw_MoversLoad     reads a Movers block: 0, or -22 with "LINE: reason".
// gw_MoverSettings  the settings in force (defaults without a block).
// gw_MoverFaultsFor counts one list request (read or write) against the
//                   fault rules and returns the faults that fire for it.
// gw_MoversRun      runs every job of plan, each on a thread of its own at
//                   once (threads kept from earlier requests, all woken
//                   together; a crowd's on threads started for it), and
//                   waits for all; every job's pieces then say how many of
//                   their bytes moved and whether the job failed.
// gw_MoversPrefix   how many bytes from the start of the stream moved
//                   without a hole.
#ifndef GWSIM_MOVERS_H
#define GWSIM_MOVERS_H

#include <stdint.h>

#include <string>
#include <vector>

#include "quor_net.h"
#include "quorcfgx_stanza.h"

enum { GW_MOVER_PDATA = 0, GW_MOVER_MVRPROT = 1 };
enum { GW_MOVE_READ = 0, GW_MOVE_WRITE = 1 };

typedef struct gw_mover_settings {
  int perAddress = 1;            // movers sharing one unstriped address
  uint64_t packetSize = 1 << 20;  // bytes per data packet or piece
  int selectProtocol = GW_MOVER_PDATA;  // what the mover-select flag gets
  uint64_t maxRequest = 0;       // bytes per list request at most (0: all)
  // Benchmarks: movers send zeros from memory and discard what they are
  // sent, so that the host file system stays out of the figures; a write
  // still grows the file to its end (as a hole), holes stay holes.
  int memoryStore = 0;
} gw_mover_settings_t;

// The mover faults of one request (0 / empty: off).
typedef struct gw_mover_faults {
  uint64_t shortMove = 0;  // each mover stops after this many bytes
  int shortMoveSet = 0;    // (0 too: the movers move nothing)
  int repeat = 0;          // a writing mover asks for its first piece twice
  int die = 0;             // the first mover closes half-way into its first packet
  int badChecksum = 0;     // the first mover's first message has a wrong checksum
  int wrongId = 0;         // ... another transfer id
  int outsideWindow = 0;   // ... an offset past the window
  int64_t overstate = 0;   // the reply reports this many bytes more
  int32_t status = 0;      // the reply's and the completions' Status
  int statusSet = 0;
  int32_t code = 0;        // the reply's code (and Status unless set apart)
  int codeSet = 0;
  std::string from;        // movers connect from this local address
  int crowd = 0;           // this many movers per address, all connected first
  // Faults of single messages and of one mover alone.
  uint64_t understate = 0;  // the first mover's first completion says this many bytes fewer
  int badCompletion = 0;    // ... has a wrong checksum (nothing else is wrong)
  int closeBetween = 0;     // the first mover closes after its first whole packet or piece
  std::string oneFrom;      // the first mover alone connects from this address
  uint64_t eioAfter = 0;   // reads: -5 once this many bytes moved
  uint64_t claimMore = 0;  // reads: the movers send this much less than the reply says
  int twice = 0;           // reads: the first mover sends its first piece twice
  int swap = 0;            // reads: pieces go out pairwise swapped
  int stripeHole = 0;      // striped: the first byte's stripe moves nothing
} gw_mover_faults_t;

typedef struct gw_mover_piece {
  uint64_t offset;  // stream offset
  uint64_t length;
  uint64_t moved;   // bytes of the piece known to have moved
} gw_mover_piece_t;

typedef struct gw_mover_job {
  quor_sockaddr_t addr;  // the client's listen socket
  uint64_t xferId;
  int protocol;
  std::vector<gw_mover_piece_t> pieces;
  int failed = 0;
  std::string why;  // what failed, for the journal
} gw_mover_job_t;

typedef struct gw_mover_plan {
  int direction;       // GW_MOVE_READ: file to client
  int fd;              // host file
  uint64_t fileBase;   // file offset of stream byte 0
  uint64_t total;      // bytes of the stream
  uint64_t blockSize;  // for initiator messages
  uint64_t stripeWidth;
  gw_mover_faults_t faults;
  int offline = 0;  // no network (a buffer-driven session): every job fails
  std::vector<gw_mover_job_t> jobs;
} gw_mover_plan_t;

int gw_MoversLoad(quor_cfg_stanza_t* block, std::string* err);
const gw_mover_settings_t* gw_MoverSettings(void);
gw_mover_faults_t gw_MoverFaultsFor(int direction);
// The read knobs (EioAfter, ClaimMore, Twice, Swap) of one list read whose
// data goes through the mover protocol; their NTH counts only such reads.
void gw_MoverReadKnobsFor(gw_mover_faults_t* f);
void gw_MoversRun(gw_mover_plan_t* plan);
uint64_t gw_MoversPrefix(const gw_mover_plan_t* plan);
// In the memory store: len bytes of nothing to sock (0, or -errno), and
// len bytes from sock into nothing (0, -errno, or -5 at an early end).
int gw_StoreSend(int sock, uint64_t len, int flags);
int gw_StoreDiscard(int sock, uint64_t len);
// The file grows to end bytes (a hole) unless it is that long already.
void gw_StoreGrow(int fd, uint64_t end);

#endif
