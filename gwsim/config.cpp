// Configuration reader of gwsim. Keys are matched without regard to case;
// an unknown key is an error, so that a mistyped rule never goes unnoticed.
#include "config.h"

#include <errno.h>
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>

#include "config_table.h"
#include "config_values.h"
#include "quorcfgx_stanza.h"

// Site-information fields settable by their own names.
typedef struct site_key {
  const char* name;
  size_t offset;
} site_key_t;

#define SITE_KEY(f) \
  { #f, offsetof(quor_site_info_t, f) }
static const site_key_t site_keys[] = {
    SITE_KEY(server_flags),
    SITE_KEY(server_runmode),
    SITE_KEY(sv_major),
    SITE_KEY(sv_minor),
    SITE_KEY(sv_patch),
    SITE_KEY(sv_prot_major),
    SITE_KEY(sv_prot_minor),
    SITE_KEY(quor_level),
    SITE_KEY(site_quor_flags),
    SITE_KEY(quor_patch_flags),
    SITE_KEY(auth_flags),
    SITE_KEY(auth_crypto_card),
    SITE_KEY(encryption_methods),
    SITE_KEY(port_min),
    SITE_KEY(port_max),
    SITE_KEY(realm_id),
    SITE_KEY(authz_flags),
    SITE_KEY(authz_rsrved1),
    SITE_KEY(authz_rsrved2),
    SITE_KEY(accounting_style),
    SITE_KEY(acct_validation_flag),
    SITE_KEY(max_bg_stages),
    SITE_KEY(max_mbytes_per_iod),
    SITE_KEY(app_copies),
    SITE_KEY(rootUid),
    SITE_KEY(umask),
    SITE_KEY(max_bg_vvs),
    SITE_KEY(bg_stage_flags),
    SITE_KEY(startupCOS),
    SITE_KEY(future5),
    SITE_KEY(future6),
    SITE_KEY(future7),
    SITE_KEY(future8),
    SITE_KEY(future9),
};
#undef SITE_KEY

void gw_ConfigDefaults(gw_config_t* cfg) {
  memset(&cfg->site, 0, sizeof cfg->site);
  cfg->site.server_runmode = 1;
  cfg->site.sv_major = 7;
  cfg->site.sv_minor = 4;
  cfg->site.sv_patch = 1;
  cfg->site.sv_prot_major = 67;
  cfg->site.sv_prot_minor = 2;
  cfg->site.quor_level = 741;
  cfg->site.encryption_methods = 2;
  cfg->site.umask = 022;
  cfg->authMethod = 16;
  cfg->cipher = 2;
  cfg->retryCount = 3;
  cfg->suPolicy = cfg->sudoPolicy = GW_SU_CHALLENGE;
  cfg->journal.clear();
  cfg->root.clear();
  cfg->stageDelayMs = 0;
  cfg->maxOpenFiles = 256;
  cfg->listOrder = 0;
  cfg->users.clear();
  cfg->rules.clear();
  cfg->tables = gw_tables_t{};
  cfg->ident = gw_idtables_t{};
  cfg->downConnections = 0;
  cfg->shuffleCount = 0;
  cfg->shuffleIdleMs = 5;
  cfg->levelOverride = 0;
  cfg->overrideMajor = cfg->overrideMinor = 0;
  for (size_t i = 0; i < gw_config_module_count; i++)
    if (gw_config_modules[i].defaults) gw_config_modules[i].defaults(cfg);
}

static int fail(std::string* err, const char* path, unsigned line, const std::string& why) {
  *err = std::string(path) + ":" + std::to_string(line) + ": " + why;
  return -22;
}

static bool key_is(const quor_cfg_stanza_t* e, const char* name) {
  return strcasecmp(e->KeyString, name) == 0;
}

static const char* value_of(const quor_cfg_stanza_t* e) {
  return e->type == CFG_SIMPLE_TYPE && e->KeyValue ? e->KeyValue : nullptr;
}

// A Server key some module reads: 1 taken, 0 none did, -22 with *err.
static int module_server_key(quor_cfg_stanza_t* e, gw_config_t* cfg, const char* path,
                             std::string* err) {
  for (size_t i = 0; i < gw_config_module_count; i++) {
    if (!gw_config_modules[i].serverKey) continue;
    unsigned line = e->LineNum;
    std::string why;
    int rc = gw_config_modules[i].serverKey(e, cfg, &line, &why);
    if (rc < 0) return fail(err, path, line, why);
    if (rc > 0) return 1;
  }
  return 0;
}

// The same for a key of a user block.
static int module_user_key(quor_cfg_stanza_t* e, gw_user_t* u, const char* path,
                           std::string* err) {
  for (size_t i = 0; i < gw_config_module_count; i++) {
    if (!gw_config_modules[i].userKey) continue;
    unsigned line = e->LineNum;
    std::string why;
    int rc = gw_config_modules[i].userKey(e, u, &line, &why);
    if (rc < 0) return fail(err, path, line, why);
    if (rc > 0) return 1;
  }
  return 0;
}

static int load_server(quor_cfg_stanza_t* block, gw_config_t* cfg, const char* path,
                       std::string* err) {
  for (quor_cfg_stanza_t* e = block->substanzaList; e; e = e->next) {
    const char* v = value_of(e);
    if (!v)
      return fail(err, path, e->LineNum, std::string("Server key needs a value: ") + e->KeyString);
    int64_t n;
    if (key_is(e, "ProtocolLevel")) {
      uint32_t lv[2];
      if (gw_ParseDotted(v, lv, 2) < 0) return fail(err, path, e->LineNum, "bad ProtocolLevel");
      cfg->site.sv_prot_major = lv[0];
      cfg->site.sv_prot_minor = lv[1];
    } else if (key_is(e, "Version")) {
      uint32_t ver[3];
      if (gw_ParseDotted(v, ver, 3) < 0) return fail(err, path, e->LineNum, "bad Version");
      cfg->site.sv_major = ver[0];
      cfg->site.sv_minor = ver[1];
      cfg->site.sv_patch = ver[2];
    } else if (key_is(e, "AuthMethod") || key_is(e, "Cipher")) {
      if (gw_ParseNumber(v, 0, 0xffffffffLL, &n) < 0)
        return fail(err, path, e->LineNum, std::string("bad number for ") + e->KeyString);
      (key_is(e, "Cipher") ? cfg->cipher : cfg->authMethod) = uint32_t(n);
    } else if (key_is(e, "RetryCount")) {
      if (gw_ParseNumber(v, 0, 0x7fffffffLL, &n) < 0)
        return fail(err, path, e->LineNum, "bad RetryCount");
      cfg->retryCount = int(n);
    } else if (key_is(e, "Journal")) {
      cfg->journal = v;
    } else if (key_is(e, "StageDelay")) {
      if (gw_ParseNumber(v, 0, 600000, &n) < 0) return fail(err, path, e->LineNum, "bad StageDelay");
      cfg->stageDelayMs = uint32_t(n);
    } else if (key_is(e, "MaxOpenFiles")) {
      if (gw_ParseNumber(v, 1, 65536, &n) < 0) return fail(err, path, e->LineNum, "bad MaxOpenFiles");
      cfg->maxOpenFiles = uint32_t(n);
    } else if (key_is(e, "ListOrder")) {
      if (strcasecmp(v, "byte") == 0) cfg->listOrder = 0;
      else if (strcasecmp(v, "reverse") == 0) cfg->listOrder = 1;
      else if (strcasecmp(v, "random") == 0) cfg->listOrder = 2;
      else return fail(err, path, e->LineNum, "ListOrder is byte, reverse or random");
    } else if (key_is(e, "Root")) {
      cfg->root = v;
    } else if (int taken = module_server_key(e, cfg, path, err)) {
      if (taken < 0) return taken;
    } else {
      const site_key_t* k = nullptr;
      for (const site_key_t& s : site_keys)
        if (strcasecmp(s.name, e->KeyString) == 0) k = &s;
      if (!k) return fail(err, path, e->LineNum, std::string("unknown Server key ") + e->KeyString);
      if (gw_ParseNumber(v, INT32_MIN, 0xffffffffLL, &n) < 0)
        return fail(err, path, e->LineNum, std::string("bad number for ") + e->KeyString);
      uint32_t word = uint32_t(n);
      memcpy(reinterpret_cast<char*>(&cfg->site) + k->offset, &word, sizeof word);
    }
  }
  return 0;
}

static int load_user(quor_cfg_stanza_t* ue, gw_config_t* cfg, const char* path, std::string* err) {
  if (ue->type != CFG_COMPOUND_TYPE)
    return fail(err, path, ue->LineNum, std::string("user needs a block: ") + ue->KeyString);
  if (gw_FindUser(cfg, ue->KeyString))
    return fail(err, path, ue->LineNum, std::string("user given twice: ") + ue->KeyString);
  gw_user_t u{};
  u.name = ue->KeyString;
  u.uid = u.gid = GW_NOBODY_ID;
  u.retryCount = -1;
  for (quor_cfg_stanza_t* e = ue->substanzaList; e; e = e->next) {
    const char* v = value_of(e);
    int64_t n;
    if (e->type == CFG_FLAG_TYPE && key_is(e, "next-token")) {
      u.nextTokenFlag = 1;
    } else if (e->type == CFG_FLAG_TYPE && key_is(e, "clear-password")) {
      u.clearPassword = 1;
    } else if (int taken = module_user_key(e, &u, path, err)) {
      if (taken < 0) return taken;
    } else if (!v) {
      return fail(err, path, e->LineNum, std::string("unknown user key ") + e->KeyString);
    } else if (key_is(e, "Password")) {
      u.password = v;
    } else if (key_is(e, "Home")) {
      u.home = v;
    } else if (key_is(e, "NextToken")) {
      u.nextToken = v;
    } else if (key_is(e, "Keytab")) {
      u.keytab = v;
    } else if (key_is(e, "Uid") || key_is(e, "Gid")) {
      if (gw_ParseNumber(v, 0, 0xffffffffLL, &n) < 0)
        return fail(err, path, e->LineNum, std::string("bad number for ") + e->KeyString);
      (key_is(e, "Uid") ? u.uid : u.gid) = uint32_t(n);
    } else if (key_is(e, "Groups") || key_is(e, "Accounts")) {
      if (gw_ParseIdList(v, key_is(e, "Groups") ? &u.groups : &u.accounts) < 0)
        return fail(err, path, e->LineNum, std::string("bad list for ") + e->KeyString);
    } else if (key_is(e, "RetryCount")) {
      if (gw_ParseNumber(v, 0, 0x7fffffffLL, &n) < 0)
        return fail(err, path, e->LineNum, "bad RetryCount");
      u.retryCount = int(n);
    } else {
      return fail(err, path, e->LineNum, std::string("unknown user key ") + e->KeyString);
    }
  }
  cfg->users.push_back(std::move(u));
  return 0;
}

static const gw_config_module_t* block_module(const char* name) {
  for (size_t i = 0; i < gw_config_module_count; i++) {
    const gw_config_module_t* m = &gw_config_modules[i];
    if (m->ownsBlock && m->loadBlock && m->ownsBlock(name)) return m;
  }
  return nullptr;
}

int gw_LoadConfig(const char* path, gw_config_t* cfg, std::string* err) {
  gw_ConfigDefaults(cfg);
  // The parser cannot tell a missing file from a bad one.
  FILE* probe = fopen(path, "r");
  if (!probe) {
    *err = std::string("cannot open ") + path + ": " + strerror(errno);
    return -22;
  }
  fclose(probe);
  quor_cfg_stanza_t* head = nullptr;
  int perr = 0, line = 0;
  if (quor_CfgParse(path, &head, &perr, &line) < 0)
    return fail(err, path, unsigned(line), "cannot parse (" + std::to_string(perr) + ")");
  int rc = 0;
  for (quor_cfg_stanza_t* e = head; e && rc == 0; e = e->next) {
    if (e->type != CFG_COMPOUND_TYPE) {
      rc = fail(err, path, e->LineNum, std::string("expected a block: ") + e->KeyString);
    } else if (key_is(e, "Server")) {
      rc = load_server(e, cfg, path, err);
    } else if (key_is(e, "Users")) {
      for (quor_cfg_stanza_t* u = e->substanzaList; u && rc == 0; u = u->next)
        rc = load_user(u, cfg, path, err);
    } else if (const gw_config_module_t* m = block_module(e->KeyString)) {
      rc = m->loadBlock(e, cfg, path, err);
    } else {
      rc = fail(err, path, e->LineNum, std::string("unknown block ") + e->KeyString);
    }
  }
  quor_CfgFree(head);
  if (rc == 0 && cfg->levelOverride) {
    cfg->site.sv_prot_major = cfg->overrideMajor;
    cfg->site.sv_prot_minor = cfg->overrideMinor;
  }
  return rc;
}
