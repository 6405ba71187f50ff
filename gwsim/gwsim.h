// Records shared by the gateway simulator's files: its configuration (server
// fields, users, fault rules), one record per client connection, and the
// reply a handler builds. Every file of gwsim includes this; the functions
// live in the headers named after their concern.
#ifndef GWSIM_GWSIM_H
#define GWSIM_GWSIM_H

#include <stdint.h>

#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "ozugw_msgdefs.h"
#include "ozugw_msghdr.h"
#include "idtables.h"
#include "tables.h"

// ---- configuration ----

// The uid and gid of a user the configuration gives none: nobody, never
// root.
#define GW_NOBODY_ID 65534u

typedef struct gw_user {
  std::string name;
  std::string password;
  std::string home;       // empty: LookupHomeDir answers -2
  std::string nextToken;  // when set, the only token code accepted
  uint32_t uid;
  uint32_t gid;
  std::vector<uint32_t> groups;
  std::vector<uint32_t> accounts;
  int nextTokenFlag;  // ask once for the next token code (-42009)
  int clearPassword;  // log-in reply asks for the password in clear
  int retryCount;     // -1: the server's
  // Log-ins turned away (retry.h): retry answers, their code and the
  // user message, or a failed answer with loginFailed.
  int retryAfter;      // seconds ahead of the retry time
  int retryTimes;      // retry answers over the process (0: none)
  int32_t retryCode;   // their errorcode, when retryCodeSet
  int retryCodeSet;
  int32_t loginFailed;  // 0: none
  std::string userMessage;
  std::string keytab;  // KEYTAB log-ins must send this file's bytes
  std::shared_ptr<const struct gw_pam_script> pam;  // PAM conversation; null: ask Password
  int suPolicy;        // GW_SU_*, as the caller of su; unset: the server's
  int sudoPolicy;      // the same for sudo
  std::string gecos;   // password entry fields (identity.h)
  std::string shell;
} gw_user_t;

// What a su or sudo start gets.
enum gw_su_policy {
  GW_SU_UNSET = 0,
  GW_SU_ALLOW,      // at once (method 1)
  GW_SU_DENY,       // refused
  GW_SU_CHALLENGE,  // a password challenge answered by 0x0130
};

enum gw_fault_kind {
  GW_FAULT_ERROR = 1,    // answer value as errorcode, no body
  GW_FAULT_DELAY,        // hold the reply value ms
  GW_FAULT_DROP_HEADER,  // close after part of the reply header
  GW_FAULT_DROP_BODY,    // close after the header and part of the body
  GW_FAULT_BAD_SANITY,   // reply header with a wrong sanity field
  GW_FAULT_UNSOLICITED,  // reply header flagged 0x4
  GW_FAULT_BAD_HMAC,     // a retry certificate issued with a wrong HMAC
  GW_FAULT_BUSY,         // -16 for value requests from the nth, then through
  GW_FAULT_EIO_ONCE,     // -5 for the nth request only, then through
  GW_FAULT_OVERFILL,     // a ReadAttrs reply with value entries more than asked
  GW_FAULT_DUPLICATE,    // the reply goes out twice
  GW_FAULT_CUT_BODY,     // close with the last value bytes of the body unsent
  GW_FAULT_STORE_FAIL,   // the request's row changes cannot be kept (-5)
};

// A rule matches a request expecting a reply whose category and function
// match (-1: any); `seen` counts those requests, and the rule fires on the
// nth of them (nth 0: on every one; orLater: on the nth and every later one).
// A rule with a path counts only requests whose path matches it.
typedef struct gw_fault_rule {
  int kind;
  int category;
  int function;
  unsigned nth;
  int orLater;
  int32_t value;
  unsigned seen;  // guarded by the faults lock
  unsigned line;  // configuration line, for messages
  std::string path;  // glob on the resolved namespace path; empty: any request
} gw_fault_rule_t;

// The direct data connection of OpenX files and the lfx run mode (lfx.h,
// xio.h): Xio and Lfx blocks of the configuration.
typedef struct gw_data_config {
  std::string lfxRoot;             // the host file system lfx serves; empty: none
  uint64_t lfxInlineMax = 4194304;  // inline transfer data up to this many bytes
  uint32_t acceptMs = 60000;       // a data listener waits this long for its client
  uint32_t idleMs = 60000;         // a data connection may stall this long
  unsigned dropCompletion = 0;     // the Nth lfx transfer loses its completion
  unsigned emptyCompletion = 0;    // the Nth lfx completion carries no body
  unsigned lfxFailStatus = 0;      // the Nth lfx data transfer completes with -5
  unsigned lfxNoConnect = 0;       // the Nth lfx data transfer never connects
  unsigned lfxUnknownPool = 0;     // the Nth client-connect answer names a pool id never made
  unsigned lfxMiscount = 0;        // the Nth completion reports one byte more than moved
  unsigned lfxCloseEarly = 0;      // the Nth lfx data transfer moves half, closes, claims all
  unsigned lfxShortCompletion = 0;  // the Nth completion: status 0, one byte less than moved
  unsigned lfxInlineShort = 0;     // the Nth inline get answer holds one byte less than asked
  unsigned lfxForgetPool = 0;      // the Nth data transfer knows no pooled socket (-9)
  std::string lfxFrom;             // lfx data connections start from this address
  int xioZeroAddress = 0;          // OpenX replies carry the all-zero address
  int xioNoControlByte = 0;        // OpenX: accept, but never send the control byte
  int xioCloseBeforeByte = 0;      // OpenX: accept and close at once
  uint64_t xioReadLimit = 0;       // ReadX: send at most this many bytes, then close
  uint32_t xioWriteStallMs = 0;    // WriteX: read nothing this long, then fail
  int32_t xioWriteFailErr = 0;     // WriteX: the first xioWriteFailCount writes
  uint32_t xioWriteFailCount = 0;  //   read their bytes and answer -xioWriteFailErr
  uint32_t xioReadStallMs = 0;     // ReadX: send nothing this long, then go on
  int xioDropReply = 0;            // ReadX/WriteX: move the bytes, then drop the client
} gw_data_config_t;

typedef struct gw_config {
  quor_site_info_t site;  // site information, also the server state's levels
  uint32_t authMethod;    // chosen method of the security-parameter reply
  uint32_t cipher;        // chosen cipher of the security-parameter reply
  int retryCount;         // retry_count of log-in replies
  std::string journal;    // journal path, empty: none
  std::vector<gw_user_t> users;
  std::vector<gw_fault_rule_t> rules;
  unsigned downConnections;  // the first K connections report the service down
  unsigned shuffleCount;     // hold up to this many replies (0: off)
  unsigned shuffleIdleMs;    // or until this long passes without a request
  int suPolicy;              // GW_SU_* for users without their own
  int sudoPolicy;
  int levelOverride;         // Faults' ProtocolLevel, applied after loading
  uint32_t overrideMajor;
  uint32_t overrideMinor;
  std::string root;  // storage namespace root (Server.Root; --root wins)
  uint32_t stageDelayMs;  // an asynchronous stage reports after this long (Server.StageDelay)
  uint32_t maxOpenFiles;  // open files per connection (Server.MaxOpenFiles)
  int listOrder;          // Opendir's order of names: 0 byte, 1 reverse, 2 random (Server.ListOrder)
  gw_tables_t tables;  // COS, filesets, junctions, motd ... (queries.h)
  gw_idtables_t ident;  // groups, accounts, relay scripts (identity.h, relay.h)
  gw_data_config_t data;  // direct data connections and lfx (xio.h, lfx.h)
} gw_config_t;

// ---- connections ----

// What the fault rules decided for one reply.
typedef struct gw_reply_faults {
  int dropHeader;
  int dropBody;
  int badSanity;
  int unsolicited;
  int badHmac;
  int duplicate;
  int32_t cutBody;  // bytes of the body withheld before the close (0: none)
  int32_t delayMs;
  int32_t overfill;  // a listing reply carries this many entries more than asked
  int storeFail;     // the handler's store transactions fail to commit
} gw_reply_faults_t;

// A reply as built by a handler: the result and, when hasBody, the encoded
// body bytes.
typedef struct gw_reply {
  int32_t errorcode;
  int hasBody;
  std::vector<char> body;
} gw_reply_t;

// A reply ready to go out, kept while shuffling.
typedef struct gw_pending {
  api_msghdr_t hdr;
  std::vector<char> body;
  gw_reply_faults_t faults;
} gw_pending_t;

struct gw_reader;
struct gw_data;

// A file the client has open: the host descriptor and the offset kept for
// the gateway descriptor (its index in gw_conn_t::files).
typedef struct gw_openfile {
  int inUse;
  int fd;  // host descriptor, -1 when none
  std::string path;  // namespace path at open time
  uint32_t oflag;    // gateway open flags
  uint64_t offset;
} gw_openfile_t;

// An open directory: the names read at Opendir and the next one to hand out.
typedef struct gw_dirhandle {
  int inUse;
  int searchable;  // the session could search the directory at Opendir
  std::string path;  // namespace path
  std::vector<std::string> names;
  size_t next;  // Readdir's position
} gw_dirhandle_t;

typedef struct gw_conn {
  int num = 0;  // connection number, from 1 in accept order
  int fd = -1;
  gw_config_t* cfg = nullptr;
  struct gw_reader* reader = nullptr;
  std::vector<char>* sink = nullptr;  // set: replies go here, not to fd (reply.h)
  std::vector<gw_pending_t> held;  // replies held back by the shuffle rule
  // Replies waiting while the client's next request is already here, so
  // that a client with many requests in flight gets them in one write.
  std::vector<char> batch;
  std::mt19937 rng;
  std::string note;  // extra journal text of the request being handled

  // COMBO log-in state
  const gw_user_t* user = nullptr;  // user of the last COMBO log-in
  int triesLeft = 0;
  int tokenAsked = 0;  // -42009 has been answered once
  int loggedIn = 0;
  uint32_t loginTime = 0;                 // msgTime of the log-in request
  std::vector<unsigned char> sessionKey;  // empty until the key exchange
  // A header a handler read while it waited for a task message; the
  // request loop serves it next.
  int hasPending = 0;
  api_msghdr_t pending{};

  // su and sudo: the challenge awaiting its 0x0130 response, whose password
  // answers it, the tries left, whether it wants a passcode in clear, and
  // whether a sudo session is open.
  int suPending = 0;  // 0 none, else the start's function (0x0110, 0x0112)
  const gw_user_t* suUser = nullptr;
  int suTriesLeft = 0;
  int suOtp = 0;
  int sudoActive = 0;
  // A granted su or sudo acts as its target (suTarget while a challenge is
  // pending) until an end with end_session 1 restores what was saved.
  const gw_user_t* suTarget = nullptr;
  int suSaved = 0;
  int suSavedIdSet = 0;
  uint32_t suSavedUid = 0;
  uint32_t suSavedGid = 0;

  // Storage namespace state (session.h reads the identity and account).
  std::string cwd = "/";     // namespace path of the working directory
  uint32_t umask = 022;      // creation mask, set from the site's at accept
  int idSet = 0;             // 1: uid and gid below replace the log-in user's
  uint32_t uid = 0;
  uint32_t gid = 0;
  int acctSet = 0;           // 1: account below replaces the user's first
  uint32_t account = 0;
  std::vector<gw_openfile_t> files;  // open files by gateway descriptor
  std::vector<gw_dirhandle_t> dirs;  // directory handles by descriptor
  api_config_t apiConfig{};          // what SetConfiguration last stored
  int apiConfigSet = 0;              // 0: GetConfiguration sends defaults
  int32_t overfill = 0;              // the Overfill rule's count for this request

  // Command relay: a scripted command waiting for the interrupt notice (its
  // request header and next step), and the subsystem the log was opened as.
  const gw_command_t* relayCmd = nullptr;
  size_t relayStep = 0;
  api_msghdr_t relayHdr{};
  std::string logSubsys;

  // Replies leave under this lock: data workers (dataconn.h) answer beside
  // the request loop.
  std::mutex sendLock;
  struct gw_data* data = nullptr;  // data workers, lfx state (dataconn.h)
} gw_conn_t;

// A request handler: fills reply (errorcode, optional body) for the decoded
// request record req (zeroed when the request had no body). Returns 0, 1
// when the request gets no reply (the handler sent what it had to itself),
// or a negative code to close the connection without answering.
typedef int (*gw_handler_t)(gw_conn_t* conn, const api_msghdr_t* hdr, void* req, gw_reply_t* reply);

// Extra journal text for a decoded request (" user=NAME"), written whatever
// the fault rules do with the request.
typedef void (*gw_note_t)(const api_msghdr_t* hdr, const void* req, std::string* note);

#endif
