// Fault rules: how gwsim misbehaves on purpose so that the client's failure
// paths can be tested. Rules come from the Faults block of the
// configuration; request counting is process-wide (all connections) and
// covers only requests that expect a reply.
//
// gw_FaultsLoad     reads the entries of a Faults block into cfg: 0, or -22
//                   with "line N: reason" in *err.
// gw_FaultsForReply counts a request of (category, function) against every
//                   rule and collects what the rules that fire want done to
//                   its reply into *faults. Returns 1 with *errorcode set
//                   when an Error rule fires (the first one wins), else 0.
// gw_ConnectionDown 1 when connection number num reports the service down.
#ifndef GWSIM_FAULTS_H
#define GWSIM_FAULTS_H

#include <string>

#include "gwsim.h"
#include "quorcfgx_stanza.h"

int gw_FaultsLoad(quor_cfg_stanza_t* block, gw_config_t* cfg, std::string* err);
int gw_FaultsForReply(gw_config_t* cfg, uint16_t category, uint16_t function, int32_t* errorcode,
                      gw_reply_faults_t* faults);
int gw_ConnectionDown(const gw_config_t* cfg, int num);

#endif
