// The tables behind gwsim's identity and command-relay handlers: named
// groups and accounts, the realm's name, the skew of conversion replies,
// and the scripted commands of the relay. Plain records; identity.h and
// relay.h load and read them.
#ifndef GWSIM_IDTABLES_H
#define GWSIM_IDTABLES_H

#include <stdint.h>

#include <string>
#include <vector>

typedef struct gw_group {
  std::string name;
  uint32_t gid;
} gw_group_t;

typedef struct gw_account {
  std::string name;
  uint32_t code;
} gw_account_t;

// One step of a scripted command.
enum gw_cmd_step_kind {
  GW_STEP_REPLY = 1,  // one reply: flags, sync_type, text
  GW_STEP_DELAY,      // value milliseconds
  GW_STEP_WAIT,       // the rest runs once the interrupt notice arrives
  GW_STEP_DROP,       // the connection is closed there
  GW_STEP_EXIT,       // the last reply: flag 0x1, exit code value
  GW_STEP_STREAM,     // value numbered lines, interval ms apart, until interrupted
};

typedef struct gw_cmd_step {
  int kind;
  uint32_t flags;
  uint32_t syncType;
  int32_t value;
  std::string text;
  int32_t interval = 0;  // GW_STEP_STREAM: milliseconds between lines
} gw_cmd_step_t;

// A command line the relay runs itself; any other line is left to the
// client (-9000). Steps end with an Exit or a Drop.
typedef struct gw_command {
  std::string line;
  std::vector<gw_cmd_step_t> steps;
} gw_command_t;

typedef struct gw_idtables {
  std::vector<gw_group_t> groups;
  std::vector<gw_account_t> accounts;
  std::string realmName;  // the site's realm (realm_id), empty: unnamed
  int32_t convertSkew;    // conversion replies carry this many items more
  std::vector<gw_command_t> commands;
} gw_idtables_t;

#endif
