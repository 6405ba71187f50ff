// The records every shell command works on: the keyset (user-settable
// session values), one identity (login info) and the context of one gateway
// connection. The keyset in force is `keyset`; its curContext names the
// connection a command acts on.
#ifndef OZU_CONTEXT_H
#define OZU_CONTEXT_H

#include <stdint.h>
#include <sys/types.h>

#include "msg_conn.h"
#include "msg_ext.h"
#include "quor_net.h"
#include "quor_types.h"

struct ozu_context;
struct site_connection;

#define OZU_NWD 10  // working-directory slots per connection

typedef struct Keyset {
  int agent_count;  // 0: automatic
  int autocosFlag;
  int backup;
  int cos;
  int hier;
  int copies;
  int talk;
  int wait;
  int fs_char;
  int lines_per_page;
  int cols_per_line;
  int pwidth;         // 0: automatic
  uint32_t iobufsize; // 0: automatic
  int minFileSizePriority, maxFileSizePriority, accessFrequencyPriority;
  int transferRatePriority, latencyPriority, stageCodePriority;
  char *PS1;
  char *PS2;
  struct ozu_context *curContext;
} Keyset;

typedef enum SU_STATES {
  SUMODE_NONE = 0,
  SUMODE_SU = 1,
  SUMODE_SUDO = 2,
  SUMODE_SUDO_SH = 3,
} SU_STATES;

typedef struct ozu_login_info {
  char *principal;
  char *homeDir;
  int uid, gid;
  acct_rec_t acctId;
  acct_rec_t defaultAcctId;
  char *wd[OZU_NWD];
  Keyset savedSessKeyset;
} ozu_login_info_t;

typedef struct ozu_context {
  struct ozu_context *next;
  int handle;
  char driveLetter;
  char *quor_name;
  struct site_connection *siteEntry;
  char *quor_service;
  int port;
  int firewallMode;
  int io_xfer_mode;  // 1 normal, 2 read/write through the gateway, 3 extended
  int xconnector;
  int psockCount;
  int minPort, maxPort;
  int network_if_count;
  char **nwifNames;
  quor_sockaddr_t *nwifAddrList;
  int network_rr_ptr;
  SU_STATES suFlag;
  ozu_login_info_t curLogin;
  ozu_login_info_t initLogin;
  int defaultCopies;
  int defaultFamilyID;
  int cksumEnabled;
  int cksumHashType;
  int umask;
  mode_t dcreateMode, fcreateMode;
  int rootUid;
  char *namedCosList;
  int cosNamedCount;  // -1 until loaded
  char **cosNameLists;
  int cosEntryCount;  // -1 until loaded
  cos_list_entry_t *cosEntries;
  quor_site_info_t siteInfo;
  int xferSizeCount;
  xfer_size_to_count_t *xferSizeTable;
  int commandCount;
  char *wd[OZU_NWD];
  short relflag[OZU_NWD];  // 1: this record owns wd[n]
} ozu_context_t;

extern ozu_context_t *ozu_connectList;
// The per-command copy of the current context (see ozu_MakeCommandCopies).
extern ozu_context_t cmdContext;

extern Keyset syskeyset, sesskeyset, cmdkeyset;
extern Keyset *keyset;

// The per-command copies: cmdkeyset from sesskeyset with its own prompt
// strings, cmdContext from sesskeyset.curContext with its own name strings
// and borrowed working directories (relflag 0); keyset = &cmdkeyset. The
// previous copies' own strings are released first. A command never frees
// or changes a string of the session keyset or its context through them.
void ozu_MakeCommandCopies(void);
// Frees the working directories a command stored into the copy (relflag 1).
void freeKeysetStrings(Keyset *kcmd);

// Frees a closed connection's context and what it owns.
void ozu_FreeContext(ozu_context_t *context);

#endif
