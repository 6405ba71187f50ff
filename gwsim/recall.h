// Asynchronous stages (StageCallBack 0x130F) as the storage service runs
// them: each volume has one drive that recalls its files one at a time,
// each recall taking the volume's delay; when a recall ends the file is on
// disk level 0 (or the level asked for) and a bare 60-byte
// bfs_callback_ret_msg_t goes to the request's callback address. Files
// already on disk are "recalled" by a drive of their own with the default
// delay. GetAsyncStatus (0x0703) answers from the table of requests taken
// and not yet finished: status 1 for those, 0 for any other id.
//
// The Recall block of the configuration (optional):
//
//     Recall = {
//       Delay = 100          ; ms per recall (default: Server.StageDelay)
//       Volume = VOL001 300  ; this volume's ms per recall (repeatable)
//       Capacity = 4         ; requests in the table at once; more: -16
//       LostCallback = 2     ; the 2nd request taken is recalled, no report
//       LostRequest = 3 5    ; these are answered, then forgotten: no
//                            ;   recall, no report, status 0
//       Duplicate = 1        ; its report goes out twice
//       UnknownId = *        ; a report with an id nobody asked for goes
//                            ;   out just before its own
//       OutOfOrder           ; a drive takes its newest request first
//     }
//
// The request-number rules take numbers counted over the requests taken
// (not those refused with -16), or * for all.
//
// Journal: the request line gets " recall=VOL" (empty for a disk file),
// " busy" or " forgotten". A finished recall writes
//   "stage-recalled id=ID path=PATH volume=VOL retcode=N"
// before its report, then per report
//   "stage-callback id=ID retcode=N sent" (or "failed", "none" without an
// address; "lost" when the rule keeps it back), with " unknown" or
// " duplicate" for the extra ones. ID is the callback id's first word in
// hex.
//
// gw_RecallLoad     reads a Recall block: 0, or -22 with "LINE: reason".
// gw_RecallDefaults no rules: recalls take the default delay.
// gw_RecallForOpen  an Open of a file whose data lies on tape only waits,
//                   as the storage service's does, for the recall of its
//                   first volume: that volume's delay (else Delay, else
//                   StageDelay) as the library's clock counts it
//                   (QUOR_TEST_TIMESCALE), one recall per volume at a
//                   time; the store lock is not held meanwhile. The Open
//                   then stages the file as usual. Notes " recall=VOL".
#ifndef GWSIM_RECALL_H
#define GWSIM_RECALL_H

#include <string>

#include "quorcfgx_stanza.h"
#include "store.h"

void gw_RecallDefaults(void);
int gw_RecallLoad(quor_cfg_stanza_t* block, std::string* err);
struct gw_conn;
void gw_RecallForOpen(struct gw_conn* conn, const std::string& ns);
// With BusyOpens in the Recall block, an open (without "do not stage") of a
// tape-only file: the first starts its recall, and until the volume's recall delay (Recall block: Volume,
// else Delay) has passed every open answers -1411 (stage in progress);
// then 0, and the open stages the file as it goes. 0 at once without
// BusyOpens or without a delay.
int gw_RecallOnOpen(const std::string& nspath, const gw_meta_t* m);

#endif
