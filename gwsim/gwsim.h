// Records shared by the gateway simulator's files: its configuration (server
// fields, users, fault rules), one record per client connection, and the
// reply a handler builds. Every file of gwsim includes this; the functions
// live in the headers named after their concern.
#ifndef GWSIM_GWSIM_H
#define GWSIM_GWSIM_H

#include <stdint.h>

#include <random>
#include <string>
#include <vector>

#include "ozugw_msgdefs.h"
#include "ozugw_msghdr.h"

// ---- configuration ----

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
} gw_user_t;

enum gw_fault_kind {
  GW_FAULT_ERROR = 1,    // answer value as errorcode, no body
  GW_FAULT_DELAY,        // hold the reply value ms
  GW_FAULT_DROP_HEADER,  // close after part of the reply header
  GW_FAULT_DROP_BODY,    // close after the header and part of the body
  GW_FAULT_BAD_SANITY,   // reply header with a wrong sanity field
  GW_FAULT_UNSOLICITED,  // reply header flagged 0x4
};

// A rule matches a request expecting a reply whose category and function
// match (-1: any); `seen` counts those requests, and the rule fires on the
// nth of them (nth 0: on every one; orLater: on the nth and every later one).
typedef struct gw_fault_rule {
  int kind;
  int category;
  int function;
  unsigned nth;
  int orLater;
  int32_t value;
  unsigned seen;  // guarded by the faults lock
  unsigned line;  // configuration line, for messages
} gw_fault_rule_t;

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
  int levelOverride;         // Faults' ProtocolLevel, applied after loading
  uint32_t overrideMajor;
  uint32_t overrideMinor;
} gw_config_t;

// ---- connections ----

// What the fault rules decided for one reply.
typedef struct gw_reply_faults {
  int dropHeader;
  int dropBody;
  int badSanity;
  int unsolicited;
  int32_t delayMs;
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

typedef struct gw_conn {
  int num;  // connection number, from 1 in accept order
  int fd;
  gw_config_t* cfg;
  struct gw_reader* reader;
  std::vector<gw_pending_t> held;  // replies held back by the shuffle rule
  std::mt19937 rng;
  std::string note;  // extra journal text of the request being handled

  // COMBO log-in state
  const gw_user_t* user;  // user of the last COMBO log-in
  int triesLeft;
  int tokenAsked;  // -42009 has been answered once
  int loggedIn;
  uint32_t loginTime;                     // msgTime of the log-in request
  std::vector<unsigned char> sessionKey;  // empty until the key exchange
} gw_conn_t;

// A request handler: fills reply (errorcode, optional body) for the decoded
// request record req (zeroed when the request had no body). Returns 0, or a
// negative code to close the connection without answering.
typedef int (*gw_handler_t)(gw_conn_t* conn, const api_msghdr_t* hdr, void* req, gw_reply_t* reply);

// Extra journal text for a decoded request (" user=NAME"), written whatever
// the fault rules do with the request.
typedef void (*gw_note_t)(const api_msghdr_t* hdr, const void* req, std::string* note);

#endif
