// The service tables of gwsim's configuration that the query and extension
// handlers answer from: classes of service with their availability rules,
// named COS lists, filesets, junctions, subsystem statistics, the
// transfer-concurrency table, the message of the day and the behaviour of
// copies between connections. Plain records; queries.h loads and reads them.
#ifndef GWSIM_TABLES_H
#define GWSIM_TABLES_H

#include <stdint.h>

#include <string>
#include <vector>

#include "quor_types.h"

// One class of service. Empty uids/gids/accounts: open to everybody;
// otherwise only to the ids listed.
typedef struct gw_cos {
  quor_cos_md_t md;
  uint32_t copies;
  uint32_t mediaType;
  uint32_t mediaSubtype;
  uint32_t stripeWidth;
  uint64_t stripeLength;
  uint32_t familyId;
  int noAuto;  // never chosen automatically (list flag 0x8)
  std::vector<uint32_t> subsystems;
  std::vector<uint32_t> uids;
  std::vector<uint32_t> gids;
  std::vector<uint32_t> accounts;
} gw_cos_t;

typedef struct gw_coslist {
  std::string name;
  std::vector<uint32_t> ids;
} gw_coslist_t;

typedef struct gw_fileset {
  ns_FilesetAttrs_t attrs;  // FilesetName, FilesetId and the rest as configured
  uint32_t coreServerId;
} gw_fileset_t;

typedef struct gw_junction {
  std::string path;
  uint32_t subsystem;
  std::string fileset;  // name of the fileset it mounts
} gw_junction_t;

typedef struct gw_subsys {
  uint32_t id;
  subsys_stats_t stats;
} gw_subsys_t;

typedef struct gw_xfer_row {
  int32_t line;  // configuration line
  int32_t maxXfers;
  uint64_t minSize;
  uint64_t maxSize;
} gw_xfer_row_t;

typedef struct gw_tables {
  std::vector<gw_cos_t> cos;
  std::vector<gw_coslist_t> cosLists;
  std::vector<gw_fileset_t> filesets;
  uint32_t filesetPage;  // answer this many filesets whatever is asked (0: as asked)
  std::vector<gw_junction_t> junctions;
  uint32_t junctionPage;  // the same for junctions
  int32_t junctionExtra;  // added to the junction reply's result
  std::vector<gw_subsys_t> subsystems;
  std::vector<gw_xfer_row_t> xfers;
  int motdSet;
  std::string motd;
  // Copies between connections.
  int32_t copyListen;  // -1: as many addresses as asked (at most 64)
  int copyInfoSet;
  std::string copyInfo;  // infostring of every query, sent as 100 bytes
  int32_t copyFailAt;    // the nth copy (from 1) aborts with copyError
  int32_t copyError;
  int32_t copyAbortAt;     // the nth copy aborts once copyAbortBytes arrived,
  uint64_t copyAbortBytes; //   reporting copyAbortState (3, or 7 detached)
  int32_t copyAbortState;
  int32_t copyRefuseAt;    // the nth copy answers its completion notice with 3
} gw_tables_t;

#endif
