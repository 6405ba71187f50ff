// Values of gwsim's configuration that every module reads the same way,
// and the look-up of a configured user. No module of gwsim is named here,
// so any of them may use it.
//
// gw_ParseNumber    C notation (0x hex, leading 0 octal, optional '-') into
//                   *val; 0, or -22 for anything else or out of range.
// gw_ParseDotted    exactly count decimal numbers joined by '.' ("67.2",
//                   "7.4.1") into parts; 0, or -22.
// gw_ParseIdList    numbers 0 to 0xffffffff separated by blanks or commas:
//                   0, or -22.
// gw_FindUser       the user of that name, or null.
#ifndef GWSIM_CONFIG_VALUES_H
#define GWSIM_CONFIG_VALUES_H

#include <stdint.h>

#include <vector>

#include "gwsim.h"

int gw_ParseNumber(const char* text, int64_t lo, int64_t hi, int64_t* val);
int gw_ParseDotted(const char* text, uint32_t* parts, int count);
int gw_ParseIdList(const char* text, std::vector<uint32_t>* out);
const gw_user_t* gw_FindUser(const gw_config_t* cfg, const char* name);

#endif
