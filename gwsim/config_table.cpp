// The configuration rows of gwsim's modules; see config_table.h.
#include "config_table.h"

#include <strings.h>

#include "auth_pam.h"
#include "faults.h"
#include "identity.h"
#include "lfx.h"
#include "movers.h"
#include "queries.h"
#include "recall.h"
#include "relay.h"
#include "san3p.h"
#include "retry.h"
#include "store.h"
#include "su.h"
#include "xio.h"

namespace {

bool named(const char* name, const char* want) { return strcasecmp(name, want) == 0; }

// Loaders that give "LINE: reason" get the file's name in front.
int with_path(int rc, const char* path, const std::string& why, std::string* err) {
  if (rc < 0) *err = std::string(path) + ":" + why;
  return rc < 0 ? -22 : 0;
}

int files_block(const char* name) { return named(name, "Files"); }
int files_load(quor_cfg_stanza_t* b, gw_config_t*, const char* path, std::string* err) {
  std::string why;
  return with_path(gw_StoreLoadFiles(b, &why), path, why, err);
}

int identity_block(const char* name) {
  return named(name, "Groups") || named(name, "Accounts") || named(name, "Identity");
}
int identity_load(quor_cfg_stanza_t* b, gw_config_t* cfg, const char* path, std::string* err) {
  std::string why;
  return with_path(gw_IdentityLoad(b, cfg, &why), path, why, err);
}
int identity_user(quor_cfg_stanza_t* e, gw_user_t* u, unsigned*, std::string*) {
  return gw_IdentityUserKey(e, u);
}

int relay_block(const char* name) { return named(name, "Commands"); }
int relay_load(quor_cfg_stanza_t* b, gw_config_t* cfg, const char* path, std::string* err) {
  std::string why;
  return with_path(gw_RelayLoad(b, cfg, &why), path, why, err);
}

int faults_block(const char* name) { return named(name, "Faults"); }
int faults_load(quor_cfg_stanza_t* b, gw_config_t* cfg, const char* path, std::string* err) {
  std::string why;
  return with_path(gw_FaultsLoad(b, cfg, &why), path, why, err);
}

int recall_block(const char* name) { return named(name, "Recall"); }
int recall_load(quor_cfg_stanza_t* b, gw_config_t*, const char* path, std::string* err) {
  std::string why;
  return with_path(gw_RecallLoad(b, &why), path, why, err);
}
void recall_defaults(gw_config_t*) { gw_RecallDefaults(); }

int san3p_block(const char* name) { return named(name, "San3p"); }
int san3p_load(quor_cfg_stanza_t* b, gw_config_t*, const char* path, std::string* err) {
  std::string why;
  return with_path(gw_San3pLoad(b, &why), path, why, err);
}
void san3p_defaults(gw_config_t*) { gw_San3pDefaults(); }

int movers_block(const char* name) { return named(name, "Movers"); }
int movers_load(quor_cfg_stanza_t* b, gw_config_t*, const char* path, std::string* err) {
  std::string why;
  return with_path(gw_MoversLoad(b, &why), path, why, err);
}

void tables_defaults(gw_config_t* cfg) { gw_TablesDefaults(&cfg->tables); }

int retry_user(quor_cfg_stanza_t* e, gw_user_t* u, unsigned*, std::string* why) {
  int rc = gw_RetryUserKey(e, u);
  if (rc < 0) *why = std::string("bad value for ") + e->KeyString;
  return rc;
}

int pam_user(quor_cfg_stanza_t* e, gw_user_t* u, unsigned* line, std::string* why) {
  if (e->type != CFG_COMPOUND_TYPE || !named(e->KeyString, "Pam")) return 0;
  return gw_PamLoad(e, u, line, why) < 0 ? -22 : 1;
}

// SuPolicy and SudoPolicy, of a user or of the server.
int su_policy(quor_cfg_stanza_t* e, int* su, int* sudo, std::string* why) {
  bool isSu = named(e->KeyString, "SuPolicy");
  if (!isSu && !named(e->KeyString, "SudoPolicy")) return 0;
  int p = e->type == CFG_SIMPLE_TYPE ? gw_ParseSuPolicy(e->KeyValue) : -22;
  if (p < 0) {
    *why = std::string("bad policy for ") + e->KeyString;
    return -22;
  }
  (isSu ? *su : *sudo) = p;
  return 1;
}
int su_user(quor_cfg_stanza_t* e, gw_user_t* u, unsigned*, std::string* why) {
  return su_policy(e, &u->suPolicy, &u->sudoPolicy, why);
}
int su_server(quor_cfg_stanza_t* e, gw_config_t* cfg, unsigned*, std::string* why) {
  return su_policy(e, &cfg->suPolicy, &cfg->sudoPolicy, why);
}

int lfx_block(const char* name) { return named(name, "Lfx"); }
int lfx_load(quor_cfg_stanza_t* b, gw_config_t* cfg, const char* path, std::string* err) {
  std::string why;
  return with_path(gw_LfxLoad(b, cfg, &why), path, why, err);
}

int xio_block(const char* name) { return named(name, "Xio"); }
int xio_load(quor_cfg_stanza_t* b, gw_config_t* cfg, const char* path, std::string* err) {
  std::string why;
  return with_path(gw_XioLoad(b, cfg, &why), path, why, err);
}

}  // namespace

const gw_config_module_t gw_config_modules[] = {
    // ownsBlock, loadBlock, userKey, serverKey, defaults
    {files_block, files_load, nullptr, nullptr, nullptr},
    {gw_TablesBlock, gw_TablesLoad, nullptr, nullptr, tables_defaults},
    {identity_block, identity_load, identity_user, nullptr, nullptr},
    {relay_block, relay_load, nullptr, nullptr, nullptr},
    {faults_block, faults_load, nullptr, nullptr, nullptr},
    {recall_block, recall_load, nullptr, nullptr, recall_defaults},
    {movers_block, movers_load, nullptr, nullptr, nullptr},
    {san3p_block, san3p_load, nullptr, nullptr, san3p_defaults},
    {nullptr, nullptr, retry_user, nullptr, nullptr},
    {nullptr, nullptr, pam_user, nullptr, nullptr},
    {nullptr, nullptr, su_user, su_server, nullptr},
    {lfx_block, lfx_load, nullptr, nullptr, nullptr},
    {xio_block, xio_load, nullptr, nullptr, nullptr},
};

const size_t gw_config_module_count = sizeof gw_config_modules / sizeof gw_config_modules[0];
