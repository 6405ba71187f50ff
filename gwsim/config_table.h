// The modules of gwsim that read part of its configuration, in one table:
// the loader (config.cpp) reaches every module through it and names none.
// A module adds its row in config_table.cpp.
//
// Each hook may be null:
//   ownsBlock  1 when the top-level block of that name is the module's.
//   loadBlock  reads such a block into cfg: 0, or -22 with the message
//              "FILE:LINE: reason" in *err (path is FILE).
//   userKey    one key of a user block: 1 taken, 0 not the module's, -22
//              bad (*line and *why say where and why; *line starts at the
//              key's own line).
//   serverKey  one key of the Server block, the same way.
//   defaults   sets the module's part of cfg before anything is read.
#ifndef GWSIM_CONFIG_TABLE_H
#define GWSIM_CONFIG_TABLE_H

#include <stddef.h>

#include <string>

#include "gwsim.h"
#include "quorcfgx_stanza.h"

typedef struct gw_config_module {
  int (*ownsBlock)(const char* name);
  int (*loadBlock)(quor_cfg_stanza_t* block, gw_config_t* cfg, const char* path,
                   std::string* err);
  int (*userKey)(quor_cfg_stanza_t* e, gw_user_t* u, unsigned* line, std::string* why);
  int (*serverKey)(quor_cfg_stanza_t* e, gw_config_t* cfg, unsigned* line, std::string* why);
  void (*defaults)(gw_config_t* cfg);
} gw_config_module_t;

extern const gw_config_module_t gw_config_modules[];
extern const size_t gw_config_module_count;

#endif
