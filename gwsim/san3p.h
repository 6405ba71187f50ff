// SAN3P movers: with a San3p block in the configuration, a mover-protocol
// job moves each piece through a SAN disk (a file the client can open
// too) instead of a data connection. Per piece (at most PacketSize bytes):
// for a read the piece's file bytes are first put on the disk; an
// initiator message of type 14 goes out; the client answers with its SAN3P
// address (transfer id = the job's); the mover sends the device address of
// the piece (by path, or by UUID with flag 0x1) and reads the client's
// completion message, which must report Status 0 and the piece's length;
// for a write the bytes then go from the disk into the file. Stream byte s
// lies at disk byte Block x BlockSize + BlockOffset + s.
//
//     San3p = {
//       Disk = /path/disk     ; the SAN disk (at most 64 characters)
//       BlockSize = 512       ; media block size (default 512)
//       Block = 1             ; first block of the area (default 1)
//       BlockOffset = 100     ; where the area starts in it (below BlockSize)
//       Uuid = 6f1c...        ; name the disk by this UUID instead
//     }
//
// gw_San3pLoad     reads the block: 0, or -22 with "LINE: reason".
// gw_San3pDefaults no SAN3P.
// gw_San3pEnabled  1 when a San3p block is in force.
// gw_San3pRunJob   moves every piece of job over its control connection
//                  ctl: 0, or -1 with *why; each piece's moved counts what
//                  the client confirmed.
#ifndef GWSIM_SAN3P_H
#define GWSIM_SAN3P_H

#include <string>

#include "movers.h"
#include "quorcfgx_stanza.h"

int gw_San3pLoad(quor_cfg_stanza_t* block, std::string* err);
void gw_San3pDefaults(void);
int gw_San3pEnabled(void);
int gw_San3pRunJob(gw_mover_plan_t* plan, gw_mover_job_t* job, int ctl, std::string* why);

#endif
