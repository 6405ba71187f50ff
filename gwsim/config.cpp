// Configuration reader of gwsim. Keys are matched without regard to case;
// an unknown key is an error, so that a mistyped rule never goes unnoticed.
#include "config.h"

#include <errno.h>
#include <stddef.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>

#include "auth_pam.h"
#include "faults.h"
#include "identity.h"
#include "lfx.h"
#include "queries.h"
#include "store.h"
#include "quorcfgx_stanza.h"
#include "relay.h"
#include "retry.h"
#include "su.h"
#include "xio.h"

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

int gw_ParseNumber(const char* text, int64_t lo, int64_t hi, int64_t* val) {
  if (!text || !*text) return -22;
  errno = 0;
  char* end = nullptr;
  long long v = strtoll(text, &end, 0);
  if (errno || end == text || *end != '\0' || v < lo || v > hi) return -22;
  *val = v;
  return 0;
}

int gw_ParseDotted(const char* text, uint32_t* parts, int count) {
  const char* p = text;
  for (int i = 0; i < count; i++) {
    if (*p < '0' || *p > '9') return -22;
    char* end = nullptr;
    errno = 0;
    unsigned long v = strtoul(p, &end, 10);
    if (errno || v > 0xffffffffUL) return -22;
    parts[i] = uint32_t(v);
    p = end;
    if (i + 1 < count) {
      if (*p != '.') return -22;
      p++;
    }
  }
  return *p == '\0' ? 0 : -22;
}

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
  cfg->users.clear();
  cfg->rules.clear();
  gw_TablesDefaults(&cfg->tables);
  cfg->ident = gw_idtables_t{};
  cfg->downConnections = 0;
  cfg->shuffleCount = 0;
  cfg->shuffleIdleMs = 5;
  cfg->levelOverride = 0;
  cfg->overrideMajor = cfg->overrideMinor = 0;
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

// A list of numbers separated by blanks or commas.
static int parse_id_list(const char* text, std::vector<uint32_t>* out) {
  out->clear();
  std::string s(text);
  for (char& c : s)
    if (c == ',') c = ' ';
  size_t i = 0;
  while (i < s.size()) {
    while (i < s.size() && s[i] == ' ') i++;
    if (i == s.size()) break;
    size_t j = s.find(' ', i);
    if (j == std::string::npos) j = s.size();
    int64_t v;
    if (gw_ParseNumber(s.substr(i, j - i).c_str(), 0, 0xffffffffLL, &v) < 0) return -22;
    out->push_back(uint32_t(v));
    i = j;
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
    } else if (key_is(e, "Root")) {
      cfg->root = v;
    } else if (key_is(e, "SuPolicy") || key_is(e, "SudoPolicy")) {
      int p = gw_ParseSuPolicy(v);
      if (p < 0) return fail(err, path, e->LineNum, std::string("bad policy for ") + e->KeyString);
      (key_is(e, "SuPolicy") ? cfg->suPolicy : cfg->sudoPolicy) = p;
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
  u.retryCount = -1;
  for (quor_cfg_stanza_t* e = ue->substanzaList; e; e = e->next) {
    const char* v = value_of(e);
    int64_t n;
    if (e->type == CFG_FLAG_TYPE && key_is(e, "next-token")) {
      u.nextTokenFlag = 1;
    } else if (e->type == CFG_FLAG_TYPE && key_is(e, "clear-password")) {
      u.clearPassword = 1;
    } else if (e->type == CFG_COMPOUND_TYPE && key_is(e, "Pam")) {
      unsigned line = e->LineNum;
      std::string why;
      if (gw_PamLoad(e, &u, &line, &why) < 0) return fail(err, path, line, why);
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
    } else if (key_is(e, "SuPolicy") || key_is(e, "SudoPolicy")) {
      int p = gw_ParseSuPolicy(v);
      if (p < 0) return fail(err, path, e->LineNum, std::string("bad policy for ") + e->KeyString);
      (key_is(e, "SuPolicy") ? u.suPolicy : u.sudoPolicy) = p;
    } else if (gw_IdentityUserKey(e, &u)) {
    } else if (int taken = gw_RetryUserKey(e, &u)) {
      if (taken < 0)
        return fail(err, path, e->LineNum, std::string("bad value for ") + e->KeyString);
    } else if (key_is(e, "Uid") || key_is(e, "Gid")) {
      if (gw_ParseNumber(v, 0, 0xffffffffLL, &n) < 0)
        return fail(err, path, e->LineNum, std::string("bad number for ") + e->KeyString);
      (key_is(e, "Uid") ? u.uid : u.gid) = uint32_t(n);
    } else if (key_is(e, "Groups") || key_is(e, "Accounts")) {
      if (parse_id_list(v, key_is(e, "Groups") ? &u.groups : &u.accounts) < 0)
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

int gw_LoadConfig(const char* path, gw_config_t* cfg, std::string* err) {
  gw_ConfigDefaults(cfg);
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
    } else if (key_is(e, "Files")) {
      std::string why;
      if (gw_StoreLoadFiles(e, &why) < 0) {
        *err = std::string(path) + ":" + why;
        rc = -22;
      }
    } else if (gw_TablesBlock(e->KeyString)) {
      rc = gw_TablesLoad(e, cfg, path, err);
    } else if (key_is(e, "Groups") || key_is(e, "Accounts") || key_is(e, "Identity") ||
               key_is(e, "Commands")) {
      std::string why;
      int r = key_is(e, "Commands") ? gw_RelayLoad(e, cfg, &why) : gw_IdentityLoad(e, cfg, &why);
      if (r < 0) {
        *err = std::string(path) + ":" + why;
        rc = -22;
      }
    } else if (key_is(e, "Lfx") || key_is(e, "Xio")) {
      std::string why;
      int r = key_is(e, "Lfx") ? gw_LfxLoad(e, cfg, &why) : gw_XioLoad(e, cfg, &why);
      if (r < 0) {
        *err = std::string(path) + ":" + why;
        rc = -22;
      }
    } else if (key_is(e, "Faults")) {
      std::string why;
      if (gw_FaultsLoad(e, cfg, &why) < 0) {
        *err = std::string(path) + ":" + why;
        rc = -22;
      }
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

const gw_user_t* gw_FindUser(const gw_config_t* cfg, const char* name) {
  if (!name) return nullptr;
  for (const gw_user_t& u : cfg->users)
    if (u.name == name) return &u;
  return nullptr;
}
