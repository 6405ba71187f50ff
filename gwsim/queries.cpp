// Service tables of gwsim and the queries answered from them.
#include "queries.h"

#include <string.h>
#include <strings.h>

#include <algorithm>
#include <mutex>

#include "config_values.h"
#include "journal.h"
#include "reply.h"
#include "access.h"
#include "session.h"
#include "store.h"

// ---- loading ----

namespace {

int fail(std::string* err, const char* path, unsigned line, const std::string& why) {
  *err = std::string(path) + ":" + std::to_string(line) + ": " + why;
  return -22;
}

bool key_is(const quor_cfg_stanza_t* e, const char* name) {
  return strcasecmp(e->KeyString, name) == 0;
}

// A list of numbers separated by blanks or commas.
int id_list(const char* text, std::vector<uint32_t>* out) {
  out->clear();
  std::string s(text ? text : "");
  for (char& c : s)
    if (c == ',' || c == '\t') c = ' ';
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

// Reading context of one block: the file's path for messages.
struct Loader {
  const char* path;
  std::string* err;

  int bad(const quor_cfg_stanza_t* e, const std::string& why) {
    return fail(err, path, e->LineNum, why + ": " + e->KeyString);
  }
  // The entry's value as a number in [lo, hi].
  int number(const quor_cfg_stanza_t* e, int64_t lo, int64_t hi, int64_t* v) {
    if (e->type != CFG_SIMPLE_TYPE || !e->KeyValue || gw_ParseNumber(e->KeyValue, lo, hi, v) < 0)
      return bad(e, "bad number for");
    return 0;
  }
  int u32(const quor_cfg_stanza_t* e, uint32_t* out) {
    int64_t v;
    if (number(e, 0, 0xffffffffLL, &v) < 0) return -22;
    *out = uint32_t(v);
    return 0;
  }
  int i32(const quor_cfg_stanza_t* e, int32_t* out) {
    int64_t v;
    if (number(e, INT32_MIN, INT32_MAX, &v) < 0) return -22;
    *out = int32_t(v);
    return 0;
  }
  // Sizes go up to 2^63-1, which is as far as the number reader goes.
  int u64(const quor_cfg_stanza_t* e, uint64_t* out) {
    int64_t v;
    if (number(e, 0, INT64_MAX, &v) < 0) return -22;
    *out = uint64_t(v);
    return 0;
  }
  int ids(const quor_cfg_stanza_t* e, std::vector<uint32_t>* out) {
    if (e->type != CFG_SIMPLE_TYPE || id_list(e->KeyValue, out) < 0) return bad(e, "bad list for");
    return 0;
  }
  int text(const quor_cfg_stanza_t* e, char* field, size_t size) {
    if (e->type != CFG_SIMPLE_TYPE || !e->KeyValue || strlen(e->KeyValue) >= size)
      return bad(e, "bad or too long text for");
    memset(field, 0, size);
    strcpy(field, e->KeyValue);
    return 0;
  }
};

typedef struct cos_key {
  const char* name;
  int kind;  // 0 u32 of md, 1 u64 of md
  size_t offset;
} cos_key_t;

#define MD32(f) \
  { #f, 0, offsetof(quor_cos_md_t, f) }
#define MD64(f) \
  { #f, 1, offsetof(quor_cos_md_t, f) }
const cos_key_t md_keys[] = {
    MD32(HierId),      MD32(OptimumAccessSize), MD32(Flags),        MD64(MinFileSize),
    MD64(MaxFileSize), MD32(AccessFrequency),   MD32(TransferRate), MD32(AvgLatency),
    MD32(WriteOps),    MD32(ReadOps),           MD32(StageCode),    MD32(AllocMethod),
};
#undef MD32
#undef MD64

int load_cos(quor_cfg_stanza_t* ce, gw_tables_t* t, Loader* ld) {
  if (ce->type != CFG_COMPOUND_TYPE) return ld->bad(ce, "class of service needs a block");
  int64_t id;
  if (gw_ParseNumber(ce->KeyString, 1, 0xffffffffLL, &id) < 0)
    return ld->bad(ce, "bad class of service id");
  for (const gw_cos_t& c : t->cos)
    if (c.md.COSId == uint32_t(id)) return ld->bad(ce, "class of service given twice");
  gw_cos_t c{};
  c.md.COSId = uint32_t(id);
  c.copies = 1;
  for (quor_cfg_stanza_t* e = ce->substanzaList; e; e = e->next) {
    int rc = 0;
    const cos_key_t* mk = nullptr;
    for (const cos_key_t& k : md_keys)
      if (key_is(e, k.name)) mk = &k;
    char* base = reinterpret_cast<char*>(&c.md);
    if (e->type == CFG_FLAG_TYPE && key_is(e, "no-auto")) {
      c.noAuto = 1;
    } else if (mk && mk->kind == 0) {
      rc = ld->u32(e, reinterpret_cast<uint32_t*>(base + mk->offset));
    } else if (mk) {
      rc = ld->u64(e, reinterpret_cast<uint64_t*>(base + mk->offset));
    } else if (key_is(e, "Name")) {
      rc = ld->text(e, c.md.COSName, sizeof c.md.COSName);
    } else if (key_is(e, "FileHashType")) {
      int32_t v = 0;
      rc = ld->i32(e, &v);
      c.md.FileHashType = quor_hash_type_t(v);
    } else if (key_is(e, "Copies")) {
      rc = ld->u32(e, &c.copies);
    } else if (key_is(e, "MediaType")) {
      rc = ld->u32(e, &c.mediaType);
    } else if (key_is(e, "MediaSubtype")) {
      rc = ld->u32(e, &c.mediaSubtype);
    } else if (key_is(e, "StripeWidth")) {
      rc = ld->u32(e, &c.stripeWidth);
    } else if (key_is(e, "StripeLength")) {
      rc = ld->u64(e, &c.stripeLength);
    } else if (key_is(e, "FamilyId")) {
      rc = ld->u32(e, &c.familyId);
    } else if (key_is(e, "Subsystems")) {
      rc = ld->ids(e, &c.subsystems);
    } else if (key_is(e, "Uids")) {
      rc = ld->ids(e, &c.uids);
    } else if (key_is(e, "Gids")) {
      rc = ld->ids(e, &c.gids);
    } else if (key_is(e, "Accounts")) {
      rc = ld->ids(e, &c.accounts);
    } else {
      rc = ld->bad(e, "unknown class of service key");
    }
    if (rc < 0) return rc;
  }
  t->cos.push_back(std::move(c));
  return 0;
}

int load_fileset(quor_cfg_stanza_t* fe, gw_tables_t* t, Loader* ld) {
  if (fe->type != CFG_COMPOUND_TYPE) return ld->bad(fe, "fileset needs a block");
  gw_fileset_t f{};
  if (strlen(fe->KeyString) >= sizeof f.attrs.FilesetName) return ld->bad(fe, "name too long");
  strcpy(f.attrs.FilesetName, fe->KeyString);
  for (quor_cfg_stanza_t* e = fe->substanzaList; e; e = e->next) {
    ns_FilesetAttrs_t* a = &f.attrs;
    int rc;
    if (key_is(e, "Id"))
      rc = ld->u64(e, &a->FilesetId);
    else if (key_is(e, "CoreServerId"))
      rc = ld->u32(e, &f.coreServerId);
    else if (key_is(e, "Type"))
      rc = ld->u32(e, &a->FilesetType);
    else if (key_is(e, "COS"))
      rc = ld->u32(e, &a->ClassOfService);
    else if (key_is(e, "FamilyId"))
      rc = ld->u32(e, &a->FamilyId);
    else if (key_is(e, "SubsystemId"))
      rc = ld->u32(e, &a->SubSystemId);
    else if (key_is(e, "StateFlags"))
      rc = ld->u32(e, &a->StateFlags);
    else if (key_is(e, "RegisterBitMap"))
      rc = ld->u64(e, &a->RegisterBitMap);
    else if (key_is(e, "UserData"))
      rc = ld->text(e, a->UserData, sizeof a->UserData);
    else if (key_is(e, "DirectoryCount"))
      rc = ld->u64(e, &a->DirectoryCount);
    else if (key_is(e, "FileCount"))
      rc = ld->u64(e, &a->FileCount);
    else if (key_is(e, "HardLinkCount"))
      rc = ld->u64(e, &a->HardLinkCount);
    else if (key_is(e, "JunctionCount"))
      rc = ld->u64(e, &a->JunctionCount);
    else if (key_is(e, "SymLinkCount"))
      rc = ld->u64(e, &a->SymLinkCount);
    else
      rc = ld->bad(e, "unknown fileset key");
    if (rc < 0) return rc;
  }
  // The fileset's handle is made from its id, so that a handle found in a
  // junction selects the fileset again.
  ns_ObjHandle_t* h = &f.attrs.FilesetHandle;
  h->ObjId = f.attrs.FilesetId;
  h->FileId = f.attrs.FilesetId;
  h->Type = 2;
  h->Generation = 1;
  h->CoreServerId = f.coreServerId;
  t->filesets.push_back(f);
  return 0;
}

int load_junction(quor_cfg_stanza_t* je, gw_tables_t* t, Loader* ld) {
  if (je->type != CFG_COMPOUND_TYPE) return ld->bad(je, "junction needs a block");
  gw_junction_t j{};
  j.path = je->KeyString;
  if (j.path.size() >= QUOR_JUNCTION_PATH_LEN) return ld->bad(je, "path too long");
  for (quor_cfg_stanza_t* e = je->substanzaList; e; e = e->next) {
    int rc = 0;
    if (key_is(e, "Subsystem"))
      rc = ld->u32(e, &j.subsystem);
    else if (key_is(e, "Fileset") && e->type == CFG_SIMPLE_TYPE && e->KeyValue)
      j.fileset = e->KeyValue;
    else
      rc = ld->bad(e, "unknown junction key");
    if (rc < 0) return rc;
  }
  t->junctions.push_back(j);
  return 0;
}

int load_subsystem(quor_cfg_stanza_t* se, gw_tables_t* t, Loader* ld) {
  if (se->type != CFG_COMPOUND_TYPE) return ld->bad(se, "subsystem needs a block");
  gw_subsys_t s{};
  int64_t id;
  if (gw_ParseNumber(se->KeyString, 0, 0xffffffffLL, &id) < 0)
    return ld->bad(se, "bad subsystem id");
  s.id = uint32_t(id);
  for (quor_cfg_stanza_t* e = se->substanzaList; e; e = e->next) {
    subsys_stats_t* st = &s.stats;
    int rc;
    if (key_is(e, "StageCount"))
      rc = ld->u32(e, &st->StageCount);
    else if (key_is(e, "MigrationCount"))
      rc = ld->u32(e, &st->MigrationCount);
    else if (key_is(e, "PurgeCount"))
      rc = ld->u32(e, &st->PurgeCount);
    else if (key_is(e, "DeleteCount"))
      rc = ld->u32(e, &st->DeleteCount);
    else if (key_is(e, "TimeLastReset"))
      rc = ld->u32(e, &st->TimeLastReset);
    else if (key_is(e, "COSChangeThreadCount"))
      rc = ld->u32(e, &st->COSChangeThreadCount);
    else
      rc = ld->bad(e, "unknown subsystem key");
    if (rc < 0) return rc;
  }
  t->subsystems.push_back(s);
  return 0;
}

// "Size = MIN MAX COUNT": files of MIN to MAX bytes (MAX 0: no bound) move
// COUNT at a time.
int load_xfer(quor_cfg_stanza_t* e, gw_tables_t* t, Loader* ld) {
  if (!key_is(e, "Size") || e->type != CFG_SIMPLE_TYPE || !e->KeyValue)
    return ld->bad(e, "expected Size = MIN MAX COUNT");
  char minText[64], maxText[64], countText[64], extra[2];
  if (sscanf(e->KeyValue, "%63s %63s %63s %1s", minText, maxText, countText, extra) != 3)
    return ld->bad(e, "expected Size = MIN MAX COUNT");
  int64_t mn, mx, n;
  if (gw_ParseNumber(minText, 0, INT64_MAX, &mn) < 0 ||
      gw_ParseNumber(maxText, 0, INT64_MAX, &mx) < 0 ||
      gw_ParseNumber(countText, INT32_MIN, INT32_MAX, &n) < 0)
    return ld->bad(e, "bad numbers for");
  t->xfers.push_back(gw_xfer_row_t{int32_t(e->LineNum), int32_t(n), uint64_t(mn), uint64_t(mx)});
  return 0;
}

int load_copies(quor_cfg_stanza_t* e, gw_tables_t* t, Loader* ld) {
  if (key_is(e, "ListenCount")) return ld->i32(e, &t->copyListen);
  if (key_is(e, "FailAt")) return ld->i32(e, &t->copyFailAt);
  if (key_is(e, "Error")) return ld->i32(e, &t->copyError);
  if (key_is(e, "AbortAt")) return ld->i32(e, &t->copyAbortAt);
  if (key_is(e, "AbortBytes")) return ld->u64(e, &t->copyAbortBytes);
  if (key_is(e, "AbortState")) {
    int rc = ld->i32(e, &t->copyAbortState);
    if (rc == 0 && t->copyAbortState != 3 && t->copyAbortState != 7)
      return ld->bad(e, "expected 3 or 7 for");
    return rc;
  }
  if (key_is(e, "RefuseCompletion")) return ld->i32(e, &t->copyRefuseAt);
  if (key_is(e, "Info") && e->type == CFG_SIMPLE_TYPE && e->KeyValue) {
    t->copyInfoSet = 1;
    t->copyInfo = e->KeyValue;
    return 0;
  }
  return ld->bad(e, "unknown Copies key");
}

const char* const block_names[] = {"COS",        "COSLists",        "Filesets", "Junctions",
                                   "Subsystems", "XferConcurrency", "Motd",     "Copies"};

}  // namespace

void gw_TablesDefaults(gw_tables_t* t) {
  *t = gw_tables_t{};
  t->copyListen = -1;
  t->copyAbortBytes = 1;
  t->copyAbortState = 3;
}

int gw_TablesBlock(const char* name) {
  for (const char* b : block_names)
    if (strcasecmp(b, name) == 0) return 1;
  return 0;
}

int gw_TablesLoad(quor_cfg_stanza_t* block, gw_config_t* cfg, const char* path, std::string* err) {
  gw_tables_t* t = &cfg->tables;
  Loader ld{path, err};
  for (quor_cfg_stanza_t* e = block->substanzaList; e; e = e->next) {
    int rc = 0;
    if (key_is(block, "COS")) {
      rc = load_cos(e, t, &ld);
    } else if (key_is(block, "COSLists")) {
      gw_coslist_t l;
      l.name = e->KeyString;
      rc = ld.ids(e, &l.ids);
      if (rc == 0) t->cosLists.push_back(std::move(l));
    } else if (key_is(block, "Filesets")) {
      rc = e->type == CFG_SIMPLE_TYPE && key_is(e, "PageSize") ? ld.u32(e, &t->filesetPage)
                                                               : load_fileset(e, t, &ld);
    } else if (key_is(block, "Junctions")) {
      if (e->type == CFG_SIMPLE_TYPE && key_is(e, "PageSize"))
        rc = ld.u32(e, &t->junctionPage);
      else if (e->type == CFG_SIMPLE_TYPE && key_is(e, "ResultExtra"))
        rc = ld.i32(e, &t->junctionExtra);
      else
        rc = load_junction(e, t, &ld);
    } else if (key_is(block, "Subsystems")) {
      rc = load_subsystem(e, t, &ld);
    } else if (key_is(block, "XferConcurrency")) {
      rc = load_xfer(e, t, &ld);
    } else if (key_is(block, "Motd")) {
      if (!key_is(e, "Text") || e->type != CFG_SIMPLE_TYPE || !e->KeyValue)
        return ld.bad(e, "expected Text = LINE");
      if (t->motdSet) t->motd += "\n";
      t->motd += e->KeyValue;
      t->motdSet = 1;
    } else if (key_is(block, "Copies")) {
      rc = load_copies(e, t, &ld);
    }
    if (rc < 0) return rc;
  }
  return 0;
}

// ---- the tables ----

const gw_cos_t* gw_FindCOS(const gw_config_t* cfg, uint32_t id) {
  for (const gw_cos_t& c : cfg->tables.cos)
    if (c.md.COSId == id) return &c;
  return nullptr;
}

static bool listed(const std::vector<uint32_t>& v, uint32_t id) {
  return v.empty() || std::find(v.begin(), v.end(), id) != v.end();
}

uint32_t gw_COSUnavailable(const gw_cos_t* cos, uint32_t uid, uint32_t gid, uint32_t account) {
  uint32_t f = 0;
  if (!listed(cos->uids, uid)) f |= 0x1;
  if (!listed(cos->gids, gid)) f |= 0x2;
  if (!listed(cos->accounts, account)) f |= 0x4;
  return f;
}

const gw_cos_t* gw_PickCOS(const gw_config_t* cfg, const std::vector<uint32_t>* ids, uint64_t size,
                           uint32_t uid, uint32_t gid, uint32_t account, int32_t copies,
                           uint32_t subsys) {
  std::vector<const gw_cos_t*> candidates;
  if (ids) {
    for (uint32_t id : *ids)
      if (const gw_cos_t* c = gw_FindCOS(cfg, id)) candidates.push_back(c);
  } else {
    for (const gw_cos_t& c : cfg->tables.cos) candidates.push_back(&c);
  }
  for (const gw_cos_t* c : candidates) {
    if (c->noAuto || gw_COSUnavailable(c, uid, gid, account)) continue;
    if (size < c->md.MinFileSize) continue;
    if (c->md.MaxFileSize != 0 && size > c->md.MaxFileSize) continue;
    if (copies > 0 && c->copies != uint32_t(copies)) continue;
    if (subsys != 0 && !c->subsystems.empty() &&
        std::find(c->subsystems.begin(), c->subsystems.end(), subsys) == c->subsystems.end())
      continue;
    return c;
  }
  return nullptr;
}

static const gw_coslist_t* find_list(const gw_config_t* cfg, const char* name) {
  for (const gw_coslist_t& l : cfg->tables.cosLists)
    if (name && l.name == name) return &l;
  return nullptr;
}

// ---- classes of service ----

int gw_HandleSelectCOS(gw_conn_t* conn, const api_msghdr_t*, void* req, gw_reply_t* reply) {
  const api_selectcos_req_t* rq = static_cast<const api_selectcos_req_t*>(req);
  const std::vector<uint32_t>* ids = nullptr;
  if (rq->cosNameLen != 0) {
    const gw_coslist_t* l = find_list(conn->cfg, rq->cosList);
    if (!l) {
      reply->errorcode = -2;
      return 0;
    }
    ids = &l->ids;
  }
  api_selectcos_rply_t r;
  memset(&r, 0, sizeof r);
  // No class fits: the choice is COS 0, and the caller keeps what it has.
  if (const gw_cos_t* c = gw_PickCOS(conn->cfg, ids, rq->fileSize, rq->uid, rq->gid, rq->charge,
                                     rq->copies, rq->subsysId)) {
    quor_cos_hints_t* h = &r.HintsIn;
    h->COSId = c->md.COSId;
    memcpy(h->COSName, c->md.COSName, sizeof h->COSName);
    h->Flags = c->md.Flags;
    h->OptimumAccessSize = c->md.OptimumAccessSize;
    h->MinFileSize = c->md.MinFileSize;
    h->MaxFileSize = c->md.MaxFileSize;
    h->AccessFrequency = c->md.AccessFrequency;
    h->TransferRate = c->md.TransferRate;
    h->AvgLatency = c->md.AvgLatency;
    h->WriteOps = c->md.WriteOps;
    h->ReadOps = c->md.ReadOps;
    h->StageCode = c->md.StageCode;
    h->StripeWidth = c->stripeWidth;
    h->StripeLength = c->stripeLength;
    h->FamilyId = c->familyId;
    r.HintPriorities.COSIdPriority = 1;
  }
  return gw_ReplyWithBody(reply, (xdrproc_t)qel_xdr_api_selectcos_rply_t, &r);
}

int gw_HandleGetCOSList(gw_conn_t* conn, const api_msghdr_t*, void* req, gw_reply_t* reply) {
  const api_get_coslist_req_t* rq = static_cast<const api_get_coslist_req_t*>(req);
  std::vector<const gw_cos_t*> chosen;
  if (rq->cos != 0) {
    const gw_cos_t* c = gw_FindCOS(conn->cfg, uint32_t(rq->cos));
    if (!c) {
      reply->errorcode = -2;
      return 0;
    }
    chosen.push_back(c);
  } else {
    for (const gw_cos_t& c : conn->cfg->tables.cos) chosen.push_back(&c);
  }
  std::vector<cos_list_entry_t> entries(chosen.size());
  std::vector<std::vector<int64_t>> subsys(chosen.size());
  for (size_t i = 0; i < chosen.size(); i++) {
    const gw_cos_t* c = chosen[i];
    cos_list_entry_t* e = &entries[i];
    memset(e, 0, sizeof *e);
    // Availability only when asked for (flag 1).
    if (rq->flags & 1) e->flags = gw_COSUnavailable(c, rq->uid, rq->gid, rq->charge);
    if (c->noAuto) e->flags |= 0x8;
    e->cos_entry = c->md;
    e->copies = c->copies;
    e->media_type = c->mediaType;
    e->media_subtype = c->mediaSubtype;
    for (uint32_t s : c->subsystems) subsys[i].push_back(int64_t(s));
    e->subsys_count = int32_t(subsys[i].size());
    e->subsys_id_list = subsys[i].empty() ? nullptr : subsys[i].data();
  }
  api_get_coslist_rply_t r;
  r.entry_count = int32_t(entries.size());
  r.cos_entries = entries.empty() ? nullptr : entries.data();
  return gw_ReplyWithBody(reply, (xdrproc_t)qel_xdr_api_get_coslist_rply_t, &r);
}

int gw_HandleNamedCOSLists(gw_conn_t* conn, const api_msghdr_t*, void*, gw_reply_t* reply) {
  std::vector<char*> names;
  for (const gw_coslist_t& l : conn->cfg->tables.cosLists)
    names.push_back(const_cast<char*>(l.name.c_str()));
  api_named_coslists_rply_t r;
  r.entry_count = uint32_t(names.size());
  r.list_entries = names.empty() ? nullptr : names.data();
  return gw_ReplyWithBody(reply, (xdrproc_t)qel_xdr_api_named_coslists_rply_t, &r);
}

int gw_HandleNamedCOSInfo(gw_conn_t* conn, const api_msghdr_t*, void* req, gw_reply_t* reply) {
  const api_named_cos_info_req_t* rq = static_cast<const api_named_cos_info_req_t*>(req);
  const gw_coslist_t* l = find_list(conn->cfg, rq->listName);
  if (!l) {
    reply->errorcode = -2;
    return 0;
  }
  std::vector<uint32_t> ids = l->ids;
  api_named_cos_info_rply_t r;
  r.count = uint32_t(ids.size());
  r.cosEntries = ids.empty() ? nullptr : ids.data();
  return gw_ReplyWithBody(reply, (xdrproc_t)qel_xdr_api_named_cos_info_rply_t, &r);
}

int gw_HandleXferConcurrency(gw_conn_t* conn, const api_msghdr_t*, void*, gw_reply_t* reply) {
  std::vector<xfer_size_to_count_t> rows;
  for (const gw_xfer_row_t& x : conn->cfg->tables.xfers) {
    xfer_size_to_count_t row;
    memset(&row, 0, sizeof row);
    row.cfg_line_num = x.line;
    row.max_xfers = x.maxXfers;
    row.min_size = x.minSize;
    row.max_size = x.maxSize;
    rows.push_back(row);
  }
  api_concurrent_xfer_rply_t r;
  r.entry_count = int32_t(rows.size());
  r.xfer_list = rows.empty() ? nullptr : rows.data();
  return gw_ReplyWithBody(reply, (xdrproc_t)qel_xdr_api_concurrent_xfer_rply_t, &r);
}

int gw_HandleFileSetCOS(gw_conn_t* conn, const api_msghdr_t*, void* req, gw_reply_t* reply) {
  const api_quor_FileSetCOS_req_t* rq = static_cast<const api_quor_FileSetCOS_req_t*>(req);
  std::string ns;
  int rc = gw_SessionResolve(conn, rq->Path, 1, &ns);
  if (rc == 0) {
    std::lock_guard<std::recursive_mutex> hold(gw_StoreLock());
    gw_meta_t meta;
    rc = gw_StoreGetMeta(ns, &meta);
    if (rc == 0 && meta.Type == GW_TYPE_DIRECTORY) rc = -21;
    if (rc == 0) rc = gw_AccessOwner(conn, &meta);
    // Class 0 takes the file off the change queue: its class stays.
    if (rc == 0 && rq->COSId != 0 && !gw_FindCOS(conn->cfg, rq->COSId)) rc = -22;
    if (rc == 0 && rq->COSId != 0 && meta.COSId != rq->COSId) {
      meta.COSId = rq->COSId;
      rc = gw_StorePutMeta(ns, &meta);
    }
  }
  reply->errorcode = rc;
  return 0;
}

// ---- filesets and junctions ----

int gw_HandleFilesetGetAttrs(gw_conn_t* conn, const api_msghdr_t*, void* req, gw_reply_t* reply) {
  const api_quor_FilesetGetAttrs_req_t* rq =
      static_cast<const api_quor_FilesetGetAttrs_req_t*>(req);
  std::string name(rq->Name, strnlen(rq->Name, sizeof rq->Name));
  // Every field is filled, whatever FilesetAttrBits selects.
  for (const gw_fileset_t& f : conn->cfg->tables.filesets) {
    if (rq->useName && name != f.attrs.FilesetName) continue;
    if (rq->useID && rq->FilesetId != f.attrs.FilesetId) continue;
    if (rq->useHandle && rq->FilesetHandle.ObjId != f.attrs.FilesetHandle.ObjId) continue;
    if (rq->useSrvrID && rq->CoreServerID != f.coreServerId) continue;
    api_quor_FilesetGetAttrs_rply_t r;
    r.FilesetAttrs = f.attrs;
    return gw_ReplyWithBody(reply, (xdrproc_t)qel_xdr_api_quor_FilesetGetAttrs_rply_t, &r);
  }
  reply->errorcode = -2;
  return 0;
}

// One page of a listing of total items from offset: [first, first + n).
static void page_of(uint64_t offset, uint32_t asked, uint32_t forced, size_t total, size_t* first,
                    size_t* n) {
  *first = offset < total ? size_t(offset) : total;
  size_t want = forced ? forced : asked;
  *n = std::min(want, total - *first);
}

int gw_HandleFilesetListAll(gw_conn_t* conn, const api_msghdr_t*, void* req, gw_reply_t* reply) {
  const api_quor_FilesetListAll_req_t* rq = static_cast<const api_quor_FilesetListAll_req_t*>(req);
  const gw_tables_t* t = &conn->cfg->tables;
  size_t first, n;
  page_of(rq->OffsetIn, rq->Entries, t->filesetPage, t->filesets.size(), &first, &n);
  std::vector<quor_global_fsent_t> ents(n);
  for (size_t i = 0; i < n; i++) {
    const gw_fileset_t& f = t->filesets[first + i];
    memset(&ents[i], 0, sizeof ents[i]);
    ents[i].FilesetId = f.attrs.FilesetId;
    memcpy(ents[i].FilesetName, f.attrs.FilesetName, sizeof ents[i].FilesetName);
    ents[i].CoreServerId = f.coreServerId;
  }
  api_quor_FilesetListAll_rply_t r;
  r.entryCount = uint32_t(n);
  r.OffsetOut = first + n;
  r.End = first + n >= t->filesets.size() ? 1 : 0;
  r.FSentPtr = ents.empty() ? nullptr : ents.data();
  reply->errorcode = int32_t(n);
  return gw_ReplyWithBody(reply, (xdrproc_t)qel_xdr_api_quor_FilesetListAll_rply_t, &r);
}

static ns_ObjHandle_t junction_handle(const gw_junction_t& j, size_t index) {
  ns_ObjHandle_t h;
  memset(&h, 0, sizeof h);
  gw_meta_t meta;
  if (gw_StoreGetMeta(j.path, &meta) == 0) {
    gw_StoreHandle(j.path, &meta, &h);
  } else {
    // Not in the namespace: a handle of its own, stable for the run.
    h.ObjId = 0x4a000000u + index;
    h.FileId = h.ObjId;
    h.Type = 3;
    h.Generation = 1;
  }
  return h;
}

int gw_HandleGetJunctions(gw_conn_t* conn, const api_msghdr_t*, void* req, gw_reply_t* reply) {
  const api_quor_GetJunctions_req_t* rq = static_cast<const api_quor_GetJunctions_req_t*>(req);
  const gw_tables_t* t = &conn->cfg->tables;
  std::vector<size_t> mine;  // junctions of the subsystem (0: of all)
  for (size_t i = 0; i < t->junctions.size(); i++)
    if (rq->SubsystemID == 0 || t->junctions[i].subsystem == rq->SubsystemID) mine.push_back(i);
  size_t first, n;
  page_of(rq->OffsetIn, rq->Entries, t->junctionPage, mine.size(), &first, &n);
  std::vector<quor_junction_ent_t> ents(n);
  for (size_t k = 0; k < n; k++) {
    const gw_junction_t& j = t->junctions[mine[first + k]];
    quor_junction_ent_t* e = &ents[k];
    memset(e, 0, sizeof *e);
    for (const gw_fileset_t& f : t->filesets)
      if (j.fileset == f.attrs.FilesetName) e->FilesetHandle = f.attrs.FilesetHandle;
    strcpy(e->JunctionPathName, j.path.c_str());
    e->JunctionHandle = junction_handle(j, mine[first + k]);
  }
  api_quor_GetJunctions_rply_t r;
  r.entryCount = uint32_t(n);
  r.OffsetOut = first + n;
  r.End = first + n >= mine.size() ? 1 : 0;
  r.JentPtr = ents.empty() ? nullptr : ents.data();
  reply->errorcode = int32_t(n) + t->junctionExtra;
  return gw_ReplyWithBody(reply, (xdrproc_t)qel_xdr_api_quor_GetJunctions_rply_t, &r);
}

int gw_HandleGetSubsysStats(gw_conn_t* conn, const api_msghdr_t*, void* req, gw_reply_t* reply) {
  const api_quor_GetSubsysStats_req_t* rq = static_cast<const api_quor_GetSubsysStats_req_t*>(req);
  for (const gw_subsys_t& s : conn->cfg->tables.subsystems) {
    if (s.id != rq->SubsystemID) continue;
    api_quor_GetSubsysStats_rply_t r;
    r.StatsOut = s.stats;
    return gw_ReplyWithBody(reply, (xdrproc_t)qel_xdr_api_quor_GetSubsysStats_rply_t, &r);
  }
  reply->errorcode = -2;
  return 0;
}

int gw_HandleGetMotd(gw_conn_t* conn, const api_msghdr_t*, void*, gw_reply_t* reply) {
  const std::string& text = conn->cfg->tables.motd;
  api_motd_rply_t r;
  r.message_length = uint32_t(text.size());
  r.msg_text = text.empty() ? nullptr : const_cast<char*>(text.data());
  return gw_ReplyWithBody(reply, (xdrproc_t)qel_xdr_api_motd_rply_t, &r);
}

// ---- journal notes ----

void gw_NoteSelectCOS(const api_msghdr_t*, const void* req, std::string* note) {
  const api_selectcos_req_t* rq = static_cast<const api_selectcos_req_t*>(req);
  char buf[160];
  snprintf(buf, sizeof buf, " size=%llu uid=%u gid=%u acct=%u copies=%d subsys=%u",
           (unsigned long long)rq->fileSize, rq->uid, rq->gid, rq->charge, rq->copies,
           rq->subsysId);
  *note += " list=";
  *note += rq->cosNameLen && rq->cosList ? gw_JournalText(rq->cosList) : "-";
  *note += buf;
}

void gw_NoteGetCOSList(const api_msghdr_t*, const void* req, std::string* note) {
  const api_get_coslist_req_t* rq = static_cast<const api_get_coslist_req_t*>(req);
  char buf[128];
  snprintf(buf, sizeof buf, " flags=%u cos=%d uid=%u gid=%u acct=%u", rq->flags, rq->cos, rq->uid,
           rq->gid, rq->charge);
  *note += buf;
}

void gw_NoteNamedCOSInfo(const api_msghdr_t*, const void* req, std::string* note) {
  const api_named_cos_info_req_t* rq = static_cast<const api_named_cos_info_req_t*>(req);
  *note += " list=";
  *note += rq->listName ? gw_JournalText(rq->listName) : "-";
}

void gw_NoteFileSetCOS(const api_msghdr_t*, const void* req, std::string* note) {
  const api_quor_FileSetCOS_req_t* rq = static_cast<const api_quor_FileSetCOS_req_t*>(req);
  char buf[64];
  snprintf(buf, sizeof buf, " cos=%u stream=%u", rq->COSId, rq->StreamId);
  *note += " path=" + gw_JournalText(rq->Path);
  *note += buf;
}

void gw_NoteFilesetGetAttrs(const api_msghdr_t*, const void* req, std::string* note) {
  const api_quor_FilesetGetAttrs_req_t* rq =
      static_cast<const api_quor_FilesetGetAttrs_req_t*>(req);
  char buf[128];
  if (rq->useName)
    *note += " name=" + gw_JournalText(std::string(rq->Name, strnlen(rq->Name, sizeof rq->Name)));
  if (rq->useID) {
    snprintf(buf, sizeof buf, " id=%llu", (unsigned long long)rq->FilesetId);
    *note += buf;
  }
  if (rq->useHandle) {
    snprintf(buf, sizeof buf, " handle=%llu", (unsigned long long)rq->FilesetHandle.ObjId);
    *note += buf;
  }
  if (rq->useSrvrID) {
    snprintf(buf, sizeof buf, " server=%u", rq->CoreServerID);
    *note += buf;
  }
  snprintf(buf, sizeof buf, " bits=0x%016llx", (unsigned long long)rq->FilesetAttrBits);
  *note += buf;
}

void gw_NoteFilesetListAll(const api_msghdr_t*, const void* req, std::string* note) {
  const api_quor_FilesetListAll_req_t* rq = static_cast<const api_quor_FilesetListAll_req_t*>(req);
  char buf[64];
  snprintf(buf, sizeof buf, " offset=%llu entries=%u", (unsigned long long)rq->OffsetIn,
           rq->Entries);
  *note += buf;
}

void gw_NoteGetJunctions(const api_msghdr_t*, const void* req, std::string* note) {
  const api_quor_GetJunctions_req_t* rq = static_cast<const api_quor_GetJunctions_req_t*>(req);
  char buf[80];
  snprintf(buf, sizeof buf, " subsys=%u offset=%llu entries=%u", rq->SubsystemID,
           (unsigned long long)rq->OffsetIn, rq->Entries);
  *note += buf;
}

void gw_NoteGetSubsysStats(const api_msghdr_t*, const void* req, std::string* note) {
  const api_quor_GetSubsysStats_req_t* rq = static_cast<const api_quor_GetSubsysStats_req_t*>(req);
  *note += " subsys=" + std::to_string(rq->SubsystemID);
}
