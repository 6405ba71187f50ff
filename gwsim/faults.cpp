// Fault rules of gwsim. A rule line reads "Kind = CATEGORY FUNCTION NTH
// [VALUE]"; counters are kept in the rules themselves under one lock, so
// the nth matching request of the whole process is the one that fails.
#include "faults.h"

#include <fnmatch.h>
#include <string.h>
#include <strings.h>

#include <mutex>

#include "config_values.h"

static std::mutex faults_lock;

typedef struct rule_kind {
  const char* name;
  int kind;
  int hasValue;
  int64_t lo, hi;  // range of the value
} rule_kind_t;

static const rule_kind_t rule_kinds[] = {
    {"Error", GW_FAULT_ERROR, 1, INT32_MIN, INT32_MAX},
    {"Delay", GW_FAULT_DELAY, 1, 0, 600000},
    {"DropHeader", GW_FAULT_DROP_HEADER, 0, 0, 0},
    {"DropBody", GW_FAULT_DROP_BODY, 0, 0, 0},
    {"BadSanity", GW_FAULT_BAD_SANITY, 0, 0, 0},
    {"Unsolicited", GW_FAULT_UNSOLICITED, 0, 0, 0},
    {"BadHmac", GW_FAULT_BAD_HMAC, 0, 0, 0},
    {"Busy", GW_FAULT_BUSY, 1, 1, 0x7fffffff},
    {"EioOnce", GW_FAULT_EIO_ONCE, 0, 0, 0},
    {"Overfill", GW_FAULT_OVERFILL, 1, 1, 100000},
    {"StoreFail", GW_FAULT_STORE_FAIL, 0, 0, 0},
};

// Requests whose record starts with the path they act on (char* first).
static const struct {
  uint16_t category;
  uint16_t function;
} path_requests[] = {
    {QEL_CAT_CORE, QEL_FN_CORE_Chdir},
    {QEL_CAT_CORE, QEL_FN_CORE_Chmod},
    {QEL_CAT_CORE, QEL_FN_CORE_Chown},
    {QEL_CAT_CORE, QEL_FN_CORE_FileGetAttributes},
    {QEL_CAT_CORE, QEL_FN_CORE_FileGetXAttributes},
    {QEL_CAT_CORE, QEL_FN_CORE_FileSetAttributes},
    {QEL_CAT_CORE, QEL_FN_CORE_GetListAttrs},
    {QEL_CAT_CORE, QEL_FN_CORE_Link},
    {QEL_CAT_CORE, QEL_FN_CORE_Lstat},
    {QEL_CAT_CORE, QEL_FN_CORE_Mkdir},
    {QEL_CAT_CORE, QEL_FN_CORE_Opendir},
    {QEL_CAT_CORE, QEL_FN_CORE_Readlink},
    {QEL_CAT_CORE, QEL_FN_CORE_Rename},
    {QEL_CAT_CORE, QEL_FN_CORE_Rmdir},
    {QEL_CAT_CORE, QEL_FN_CORE_Stat},
    {QEL_CAT_CORE, QEL_FN_CORE_Symlink},
    {QEL_CAT_CORE, QEL_FN_CORE_Unlink},
    {QEL_CAT_CORE, QEL_FN_CORE_Utime},
};

const char* gw_RequestPath(uint16_t category, uint16_t function, const void* req) {
  if (!req) return nullptr;
  for (const auto& p : path_requests)
    if (p.category == category && p.function == function) return *static_cast<char* const*>(req);
  return nullptr;
}

static std::vector<std::string> words(const char* text) {
  std::vector<std::string> out;
  std::string cur;
  for (const char* p = text;; p++) {
    if (*p == '\0' || *p == ' ' || *p == '\t') {
      if (!cur.empty()) out.push_back(cur);
      cur.clear();
      if (*p == '\0') break;
    } else {
      cur += *p;
    }
  }
  return out;
}

static int fail(std::string* err, unsigned line, const std::string& why) {
  *err = std::to_string(line) + ": " + why;
  return -22;
}

// "*" or a number of 16 bits.
static int parse_code(const std::string& w, int* out) {
  if (w == "*") {
    *out = -1;
    return 0;
  }
  int64_t v;
  if (gw_ParseNumber(w.c_str(), 0, 0xffff, &v) < 0) return -22;
  *out = int(v);
  return 0;
}

// "*", "N" or "N+" with N from 1.
static int parse_nth(const std::string& w, gw_fault_rule_t* r) {
  r->nth = 0;
  r->orLater = 0;
  if (w == "*") return 0;
  std::string n = w;
  if (!n.empty() && n.back() == '+') {
    r->orLater = 1;
    n.pop_back();
  }
  int64_t v;
  if (gw_ParseNumber(n.c_str(), 1, 0x7fffffff, &v) < 0) return -22;
  r->nth = unsigned(v);
  return 0;
}

static int load_rule(const rule_kind_t* k, quor_cfg_stanza_t* e, gw_config_t* cfg,
                     std::string* err) {
  std::vector<std::string> w = words(e->KeyValue);
  size_t want = k->hasValue ? 4 : 3;
  gw_fault_rule_t r{};
  // A last word starting with '/' is a path pattern.
  if (w.size() == want + 1 && w.back()[0] == '/') {
    r.path = w.back();
    w.pop_back();
  }
  if (w.size() != want)
    return fail(err, e->LineNum,
                std::string(k->name) + " wants CATEGORY FUNCTION NTH" +
                    (k->hasValue ? " VALUE" : "") + " [/PATH]");
  r.kind = k->kind;
  r.line = e->LineNum;
  if (parse_code(w[0], &r.category) < 0 || parse_code(w[1], &r.function) < 0)
    return fail(err, e->LineNum, "bad category or function");
  if (parse_nth(w[2], &r) < 0) return fail(err, e->LineNum, "bad NTH (*, N or N+)");
  if (k->hasValue) {
    int64_t v;
    if (gw_ParseNumber(w[3].c_str(), k->lo, k->hi, &v) < 0)
      return fail(err, e->LineNum, "bad value");
    r.value = int32_t(v);
  }
  cfg->rules.push_back(r);
  return 0;
}

int gw_FaultsLoad(quor_cfg_stanza_t* block, gw_config_t* cfg, std::string* err) {
  for (quor_cfg_stanza_t* e = block->substanzaList; e; e = e->next) {
    if (e->type != CFG_SIMPLE_TYPE || !e->KeyValue)
      return fail(err, e->LineNum, std::string("fault rule needs a value: ") + e->KeyString);
    const rule_kind_t* k = nullptr;
    for (const rule_kind_t& rk : rule_kinds)
      if (strcasecmp(rk.name, e->KeyString) == 0) k = &rk;
    if (k) {
      if (load_rule(k, e, cfg, err) < 0) return -22;
      continue;
    }
    std::vector<std::string> w = words(e->KeyValue);
    int64_t v;
    if (strcasecmp(e->KeyString, "Down") == 0) {
      if (w.size() != 1 || gw_ParseNumber(w[0].c_str(), 0, 0x7fffffff, &v) < 0)
        return fail(err, e->LineNum, "Down wants a connection count");
      cfg->downConnections = unsigned(v);
    } else if (strcasecmp(e->KeyString, "ProtocolLevel") == 0) {
      uint32_t lv[2];
      if (w.size() != 1 || gw_ParseDotted(w[0].c_str(), lv, 2) < 0)
        return fail(err, e->LineNum, "ProtocolLevel wants MAJOR.MINOR");
      cfg->levelOverride = 1;
      cfg->overrideMajor = lv[0];
      cfg->overrideMinor = lv[1];
    } else if (strcasecmp(e->KeyString, "Shuffle") == 0) {
      int64_t ms = 5;
      if (w.empty() || w.size() > 2 || gw_ParseNumber(w[0].c_str(), 1, 100000, &v) < 0 ||
          (w.size() == 2 && gw_ParseNumber(w[1].c_str(), 1, 60000, &ms) < 0))
        return fail(err, e->LineNum, "Shuffle wants COUNT [IDLE-MS]");
      cfg->shuffleCount = unsigned(v);
      cfg->shuffleIdleMs = unsigned(ms);
    } else {
      return fail(err, e->LineNum, std::string("unknown fault rule ") + e->KeyString);
    }
  }
  return 0;
}

int gw_FaultsWantPath(const gw_config_t* cfg) {
  for (const gw_fault_rule_t& r : cfg->rules)
    if (!r.path.empty()) return 1;
  return 0;
}

int gw_FaultsForReply(gw_config_t* cfg, uint16_t category, uint16_t function, int32_t* errorcode,
                      gw_reply_faults_t* faults, const char* nspath) {
  memset(faults, 0, sizeof *faults);
  int errorFired = 0;
  std::lock_guard<std::mutex> g(faults_lock);
  for (gw_fault_rule_t& r : cfg->rules) {
    if ((r.category >= 0 && r.category != category) || (r.function >= 0 && r.function != function))
      continue;
    if (!r.path.empty() && (!nspath || fnmatch(r.path.c_str(), nspath, FNM_PATHNAME) != 0))
      continue;
    r.seen++;
    bool fires = r.nth == 0 || r.seen == r.nth || (r.orLater && r.seen > r.nth);
    if (r.kind == GW_FAULT_BUSY) {
      unsigned first = r.nth ? r.nth : 1;
      fires = r.seen >= first && r.seen - first < unsigned(r.value);
    } else if (r.kind == GW_FAULT_EIO_ONCE) {
      fires = r.seen == (r.nth ? r.nth : 1);
    }
    if (!fires) continue;
    switch (r.kind) {
      case GW_FAULT_ERROR:
      case GW_FAULT_BUSY:
      case GW_FAULT_EIO_ONCE:
        if (!errorFired)
          *errorcode = r.kind == GW_FAULT_BUSY ? -16 : r.kind == GW_FAULT_EIO_ONCE ? -5 : r.value;
        errorFired = 1;
        break;
      case GW_FAULT_DELAY:
        faults->delayMs += r.value;
        break;
      case GW_FAULT_OVERFILL:
        faults->overfill = r.value;
        break;
      case GW_FAULT_DROP_HEADER:
        faults->dropHeader = 1;
        break;
      case GW_FAULT_DROP_BODY:
        faults->dropBody = 1;
        break;
      case GW_FAULT_BAD_SANITY:
        faults->badSanity = 1;
        break;
      case GW_FAULT_UNSOLICITED:
        faults->unsolicited = 1;
        break;
      case GW_FAULT_BAD_HMAC:
        faults->badHmac = 1;
        break;
      case GW_FAULT_STORE_FAIL:
        faults->storeFail = 1;
        break;
    }
  }
  return errorFired;
}

int gw_ConnectionDown(const gw_config_t* cfg, int num) {
  return num > 0 && unsigned(num) <= cfg->downConnections;
}
