// gwsim's configuration file, in the stanza format of the client's own
// configuration files: a Server block (site-information fields, protocol
// level, log-in settings, journal), a Users block (one block per user) and a
// Faults block (fault rules, see faults.h). gwsim/README.md gives the keys.
//
// gw_ConfigDefaults fills cfg with the values used when no key sets them.
// gw_LoadConfig     defaults, then the file at path: 0, or -22 with a
//                   message "FILE:LINE: reason" in *err (-7000 and the like
//                   from the parser are reported the same way), or "cannot
//                   open FILE: REASON" when it cannot be read.
//
// The modules' blocks and keys are read through config_table.h; the value
// helpers every module shares are in config_values.h.
#ifndef GWSIM_CONFIG_H
#define GWSIM_CONFIG_H

#include <string>

#include "gwsim.h"

void gw_ConfigDefaults(gw_config_t* cfg);
int gw_LoadConfig(const char* path, gw_config_t* cfg, std::string* err);

#endif
