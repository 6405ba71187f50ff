// gwsim's configuration file, in the stanza format of the client's own
// configuration files: a Server block (site-information fields, protocol
// level, log-in settings, journal), a Users block (one block per user) and a
// Faults block (fault rules, see faults.h). gwsim/README.md gives the keys.
//
// gw_ConfigDefaults fills cfg with the values used when no key sets them.
// gw_LoadConfig     defaults, then the file at path: 0, or -22 with a
//                   message "FILE:LINE: reason" in *err (-7000 and the like
//                   from the parser are reported the same way).
// gw_FindUser       the user of that name, or null.
// gw_ParseNumber    C notation (0x hex, leading 0 octal, optional '-') into
//                   *val; 0, or -22 for anything else or out of range.
// gw_ParseDotted    exactly count decimal numbers joined by '.' ("67.2",
//                   "7.4.1") into parts; 0, or -22.
#ifndef GWSIM_CONFIG_H
#define GWSIM_CONFIG_H

#include <string>

#include "gwsim.h"

void gw_ConfigDefaults(gw_config_t* cfg);
int gw_LoadConfig(const char* path, gw_config_t* cfg, std::string* err);
const gw_user_t* gw_FindUser(const gw_config_t* cfg, const char* name);
int gw_ParseNumber(const char* text, int64_t lo, int64_t hi, int64_t* val);
int gw_ParseDotted(const char* text, uint32_t* parts, int count);

#endif
