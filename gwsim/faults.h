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
//                   when an Error, Busy or EioOnce rule fires (the first
//                   one wins), else 0. nspath is the request's resolved
//                   namespace path (null: it has none); rules with a path
//                   pattern ignore requests without a matching one.
// gw_FaultsWantPath 1 when some rule names a path.
// gw_RequestPath    the path a namespace request names first (the record's
//                   first field), or null for requests without one.
// gw_ConnectionDown 1 when connection number num reports the service down.
#ifndef GWSIM_FAULTS_H
#define GWSIM_FAULTS_H

#include <string>

#include "gwsim.h"
#include "quorcfgx_stanza.h"

int gw_FaultsLoad(quor_cfg_stanza_t* block, gw_config_t* cfg, std::string* err);
int gw_FaultsForReply(gw_config_t* cfg, uint16_t category, uint16_t function, int32_t* errorcode,
                      gw_reply_faults_t* faults, const char* nspath = nullptr);
int gw_FaultsWantPath(const gw_config_t* cfg);
const char* gw_RequestPath(uint16_t category, uint16_t function, const void* req);
int gw_ConnectionDown(const gw_config_t* cfg, int num);

#endif
