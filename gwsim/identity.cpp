// Identity handlers of gwsim: accounts, groups, conversions, password
// entries. The tables are the configuration's; per connection only the
// current account and group change (session.h reads them).
#include "identity.h"

#include <stdlib.h>
#include <string.h>
#include <strings.h>

#include <algorithm>
#include <mutex>

#include "config_values.h"
#include "reply.h"
#include "msg_cli.h"
#include "msg_files.h"
#include "msg_namespace.h"
#include "session.h"
#include "store.h"

#define GW_ERR_NO_ACCOUNTS (-5006)

namespace {

int fail(std::string* err, unsigned line, const std::string& why) {
  *err = std::to_string(line) + ": " + why;
  return -22;
}

const gw_group_t* group_by_gid(const gw_config_t* cfg, uint32_t gid) {
  for (const gw_group_t& g : cfg->ident.groups)
    if (g.gid == gid) return &g;
  return nullptr;
}

const gw_group_t* group_by_name(const gw_config_t* cfg, const std::string& name) {
  for (const gw_group_t& g : cfg->ident.groups)
    if (g.name == name) return &g;
  return nullptr;
}

const gw_account_t* account_by_code(const gw_config_t* cfg, uint32_t code) {
  for (const gw_account_t& a : cfg->ident.accounts)
    if (a.code == code) return &a;
  return nullptr;
}

const gw_account_t* account_by_name(const gw_config_t* cfg, const std::string& name) {
  for (const gw_account_t& a : cfg->ident.accounts)
    if (a.name == name) return &a;
  return nullptr;
}

const gw_user_t* user_by_uid(const gw_config_t* cfg, uint32_t uid) {
  for (const gw_user_t& u : cfg->users)
    if (u.uid == uid) return &u;
  return nullptr;
}

bool may_charge(const gw_user_t* u, uint32_t code) {
  return std::find(u->accounts.begin(), u->accounts.end(), code) != u->accounts.end();
}

// A fixed name field of a request or reply, which need not be terminated.
std::string field_text(const char* field, size_t width) {
  return std::string(field, strnlen(field, width));
}

void put_field(char* field, size_t width, const std::string& text) {
  memset(field, 0, width);
  memcpy(field, text.data(), std::min(text.size(), width));
}

// Journal text: printable bytes as they are, others as '?'.
std::string printable(const std::string& s) {
  std::string out(s);
  for (char& c : out)
    if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) > 0x7e) c = '?';
  return out;
}

int load_named_ids(quor_cfg_stanza_t* block, bool accounts, gw_config_t* cfg, std::string* err) {
  for (quor_cfg_stanza_t* e = block->substanzaList; e; e = e->next) {
    int64_t n;
    if (e->type != CFG_SIMPLE_TYPE || !e->KeyValue ||
        gw_ParseNumber(e->KeyValue, 0, 0xffffffffLL, &n) < 0)
      return fail(err, e->LineNum, std::string("expected NAME = NUMBER: ") + e->KeyString);
    std::string name = e->KeyString;
    if (name.size() > QUOR_ACCT_NAME_MAX)
      return fail(err, e->LineNum, "name longer than 128 characters: " + name);
    if (accounts) {
      if (account_by_name(cfg, name) || account_by_code(cfg, uint32_t(n)))
        return fail(err, e->LineNum, "account given twice: " + name);
      cfg->ident.accounts.push_back(gw_account_t{name, uint32_t(n)});
    } else {
      if (group_by_name(cfg, name) || group_by_gid(cfg, uint32_t(n)))
        return fail(err, e->LineNum, "group given twice: " + name);
      cfg->ident.groups.push_back(gw_group_t{name, uint32_t(n)});
    }
  }
  return 0;
}

// Converts one item in place: 0, -2 when it names nothing known, -22 for an
// unknown type.
int convert_item(const gw_config_t* cfg, api_namespec_t* s, bool toNames) {
  const std::string realm = cfg->ident.realmName;
  switch (s->Type) {
    case NS_NAMESPEC_SKIP:
      return 0;
    case NS_NAMESPEC_REALM:
      if (toNames) {
        if (s->RealmId != cfg->site.realm_id || realm.empty()) return -2;
      } else {
        if (realm.empty() || field_text(s->RealmName, sizeof s->RealmName) != realm) return -2;
        s->RealmId = cfg->site.realm_id;
      }
      put_field(s->RealmName, sizeof s->RealmName, realm);
      return 0;
    case NS_NAMESPEC_USER: {
      const gw_user_t* u = toNames ? user_by_uid(cfg, s->Id)
                                   : gw_FindUser(cfg, field_text(s->Name, sizeof s->Name).c_str());
      if (!u) return -2;
      s->Id = u->uid;
      put_field(s->Name, sizeof s->Name, u->name);
      break;
    }
    case NS_NAMESPEC_GROUP: {
      const gw_group_t* g = toNames ? group_by_gid(cfg, s->Id)
                                    : group_by_name(cfg, field_text(s->Name, sizeof s->Name));
      if (!g) return -2;
      s->Id = g->gid;
      put_field(s->Name, sizeof s->Name, g->name);
      break;
    }
    default:
      return -22;
  }
  s->RealmId = cfg->site.realm_id;
  put_field(s->RealmName, sizeof s->RealmName, realm);
  return 0;
}

int convert(gw_conn_t* conn, void* req, gw_reply_t* reply, bool toNames) {
  const api_quor_ns_namespecs_t* rq = static_cast<const api_quor_ns_namespecs_t*>(req);
  if (!gw_SessionUser(conn)) {
    reply->errorcode = -13;
    return 0;
  }
  if (rq->NumEntries <= 0 || !rq->Specs) {
    reply->errorcode = -22;
    return 0;
  }
  std::vector<api_namespec_t> items(rq->Specs, rq->Specs + rq->NumEntries);
  for (api_namespec_t& s : items) {
    int rc = convert_item(conn->cfg, &s, toNames);
    if (rc < 0) {
      reply->errorcode = rc;
      return 0;
    }
  }
  // Tests make the reply longer or shorter than asked.
  int64_t want = int64_t(items.size()) + conn->cfg->ident.convertSkew;
  if (want < 0) want = 0;
  api_namespec_t last = items.back();
  items.resize(size_t(want), last);
  api_quor_ns_namespecs_t r;
  r.NumEntries = int32_t(items.size());
  r.Specs = items.empty() ? nullptr : items.data();
  return gw_ReplyWithBody(reply, (xdrproc_t)qel_xdr_api_quor_ConvertIdsToNames_rply_t, &r);
}

}  // namespace

int gw_IdentityLoad(quor_cfg_stanza_t* block, gw_config_t* cfg, std::string* err) {
  if (strcasecmp(block->KeyString, "Groups") == 0) return load_named_ids(block, false, cfg, err);
  if (strcasecmp(block->KeyString, "Accounts") == 0) return load_named_ids(block, true, cfg, err);
  for (quor_cfg_stanza_t* e = block->substanzaList; e; e = e->next) {
    const char* v = e->type == CFG_SIMPLE_TYPE ? e->KeyValue : nullptr;
    int64_t n;
    if (!v) return fail(err, e->LineNum, std::string("Identity key needs a value: ") + e->KeyString);
    if (strcasecmp(e->KeyString, "Realm") == 0) {
      if (strlen(v) >= QUOR_NAMESPEC_REALM_LEN) return fail(err, e->LineNum, "realm name too long");
      cfg->ident.realmName = v;
    } else if (strcasecmp(e->KeyString, "ConvertSkew") == 0) {
      if (gw_ParseNumber(v, -1000, 1000, &n) < 0) return fail(err, e->LineNum, "bad ConvertSkew");
      cfg->ident.convertSkew = int32_t(n);
    } else {
      return fail(err, e->LineNum, std::string("unknown Identity key ") + e->KeyString);
    }
  }
  return 0;
}

int gw_IdentityUserKey(const quor_cfg_stanza_t* e, gw_user_t* u) {
  if (e->type != CFG_SIMPLE_TYPE || !e->KeyValue) return 0;
  if (strcasecmp(e->KeyString, "Gecos") == 0) {
    u->gecos = e->KeyValue;
    return 1;
  }
  if (strcasecmp(e->KeyString, "Shell") == 0) {
    u->shell = e->KeyValue;
    return 1;
  }
  return 0;
}

// ---- journal notes ----

void gw_NoteAcctCode(const api_msghdr_t*, const void* req, std::string* note) {
  const api_quor_AcctCodeToName_req_t* rq = static_cast<const api_quor_AcctCodeToName_req_t*>(req);
  *note += " acct=" + std::to_string(rq->Account) + " site=" + std::to_string(rq->Site);
}

void gw_NoteAcctName(const api_msghdr_t*, const void* req, std::string* note) {
  const api_quor_AcctNameToCode_req_t* rq = static_cast<const api_quor_AcctNameToCode_req_t*>(req);
  std::string name = field_text(rq->AcctName, QEL_ACCT_NAME_WIRE);
  *note += " name=" + printable(name) + " namelen=" + std::to_string(name.size()) +
           " site=" + std::to_string(rq->Site);
}

void gw_NoteSetAcct(const api_msghdr_t* hdr, const void* req, std::string* note) {
  if (hdr->function == QEL_FN_CORE_SetAcct) {
    *note += " acct=" +
             std::to_string(static_cast<const api_quor_SetAcct_req_t*>(req)->NewCurAcct);
  } else {
    const api_quor_SetAcctByName_req_t* rq = static_cast<const api_quor_SetAcctByName_req_t*>(req);
    *note += " name=" + printable(field_text(rq->AcctName, sizeof rq->AcctName));
  }
}

void gw_NoteSetGID(const api_msghdr_t*, const void* req, std::string* note) {
  *note += " gid=" + std::to_string(static_cast<const api_quor_SetGID_req_t*>(req)->NewCurGID);
}

void gw_NoteConvert(const api_msghdr_t*, const void* req, std::string* note) {
  *note += " n=" + std::to_string(static_cast<const api_quor_ns_namespecs_t*>(req)->NumEntries);
}

void gw_NoteGetPwent(const api_msghdr_t*, const void* req, std::string* note) {
  const char* u = static_cast<const api_getpwent_req_t*>(req)->uname;
  *note += std::string(" uname=") + printable(u ? u : "");
}

// ---- accounts ----

int gw_HandleAcctCodeToName(gw_conn_t* conn, const api_msghdr_t*, void* req, gw_reply_t* reply) {
  const api_quor_AcctCodeToName_req_t* rq = static_cast<const api_quor_AcctCodeToName_req_t*>(req);
  if (!gw_SessionUser(conn)) {
    reply->errorcode = -13;
    return 0;
  }
  const gw_account_t* a = account_by_code(conn->cfg, rq->Account);
  if (!a) {
    reply->errorcode = -2;
    return 0;
  }
  api_quor_AcctCodeToName_rply_t r;
  memset(&r, 0, sizeof r);
  r.Site = rq->Site ? rq->Site : conn->cfg->site.realm_id;
  put_field(r.AcctName, QEL_ACCT_NAME_WIRE, a->name);
  return gw_ReplyWithBody(reply, (xdrproc_t)qel_xdr_api_quor_AcctCodeToName_rply_t, &r);
}

int gw_HandleAcctNameToCode(gw_conn_t* conn, const api_msghdr_t*, void* req, gw_reply_t* reply) {
  const api_quor_AcctNameToCode_req_t* rq = static_cast<const api_quor_AcctNameToCode_req_t*>(req);
  if (!gw_SessionUser(conn)) {
    reply->errorcode = -13;
    return 0;
  }
  const gw_account_t* a =
      account_by_name(conn->cfg, field_text(rq->AcctName, QEL_ACCT_NAME_WIRE));
  if (!a) {
    reply->errorcode = -2;
    return 0;
  }
  api_quor_AcctNameToCode_rply_t r;
  r.Site = rq->Site ? rq->Site : conn->cfg->site.realm_id;
  r.Account = a->code;
  return gw_ReplyWithBody(reply, (xdrproc_t)qel_xdr_api_AcctNameToCode_rply_t, &r);
}

int gw_HandleChacct(gw_conn_t* conn, const api_msghdr_t*, void* req, gw_reply_t* reply) {
  const api_quor_Chacct_req_t* rq = static_cast<const api_quor_Chacct_req_t*>(req);
  const gw_user_t* u = gw_SessionUser(conn);
  if (!u) {
    reply->errorcode = -13;
    return 0;
  }
  std::lock_guard<std::recursive_mutex> hold(gw_StoreLock());
  std::string ns;
  int rc = gw_SessionResolve(conn, rq->Path, 1, &ns);
  gw_meta_t meta;
  if (rc == 0) rc = gw_StoreGetMeta(ns, &meta);
  uint32_t uid = gw_SessionUid(conn);
  if (rc == 0 && uid != conn->cfg->site.rootUid && meta.UID != uid) rc = -1;
  if (rc == 0 && !may_charge(u, rq->Account)) rc = -22;
  if (rc == 0) {
    meta.Account = rq->Account;
    rc = gw_StorePutMeta(ns, &meta);
  }
  reply->errorcode = rc;
  return 0;
}

int gw_HandleGetAcct(gw_conn_t* conn, const api_msghdr_t*, void*, gw_reply_t* reply) {
  const gw_user_t* u = gw_SessionUser(conn);
  if (!u) {
    reply->errorcode = -13;
    return 0;
  }
  api_quor_GetAcct_rply_t r;
  r.RetDefAcct = u->accounts.empty() ? 0 : u->accounts[0];
  r.RetCurAcct = gw_SessionAccount(conn);
  return gw_ReplyWithBody(reply, (xdrproc_t)qel_xdr_api_quor_GetAcct_rply_t, &r);
}

int gw_HandleGetAcctName(gw_conn_t* conn, const api_msghdr_t*, void*, gw_reply_t* reply) {
  if (!gw_SessionUser(conn)) {
    reply->errorcode = -13;
    return 0;
  }
  const gw_account_t* a = account_by_code(conn->cfg, gw_SessionAccount(conn));
  if (!a) {
    reply->errorcode = -2;
    return 0;
  }
  api_quor_GetAcctName_rply_t r;
  memset(&r, 0, sizeof r);
  put_field(r.AcctName, QEL_ACCT_NAME_WIRE, a->name);
  return gw_ReplyWithBody(reply, (xdrproc_t)qel_xdr_api_quor_GetAcctName_rply_t, &r);
}

int gw_HandleGetAcctList(gw_conn_t* conn, const api_msghdr_t*, void*, gw_reply_t* reply) {
  const gw_user_t* u = gw_SessionUser(conn);
  if (!u) {
    reply->errorcode = -13;
    return 0;
  }
  if (u->accounts.empty()) {
    reply->errorcode = GW_ERR_NO_ACCOUNTS;
    return 0;
  }
  std::vector<acct_list_t> list(u->accounts.size());
  for (size_t i = 0; i < list.size(); i++) {
    memset(&list[i], 0, sizeof list[i]);
    list[i].accountId = u->accounts[i];
    // An account without a name goes with an empty one.
    const gw_account_t* a = account_by_code(conn->cfg, u->accounts[i]);
    // The list's string holds 127 characters and its terminator.
    if (a) put_field(list[i].acctName, QUOR_ACCT_NAME_MAX - 1, a->name);
  }
  api_quor_GetAcctList_rply_t r;
  r.entryCount = uint32_t(list.size());
  r.acctEntries = list.data();
  return gw_ReplyWithBody(reply, (xdrproc_t)qel_xdr_api_quor_GetAcctList_rply_t, &r);
}

static int set_account(gw_conn_t* conn, uint32_t code, gw_reply_t* reply) {
  const gw_user_t* u = gw_SessionUser(conn);
  if (!u) {
    reply->errorcode = -13;
  } else if (!may_charge(u, code)) {
    reply->errorcode = -22;
  } else {
    conn->acctSet = 1;
    conn->account = code;
  }
  return 0;
}

int gw_HandleSetAcct(gw_conn_t* conn, const api_msghdr_t*, void* req, gw_reply_t* reply) {
  return set_account(conn, static_cast<const api_quor_SetAcct_req_t*>(req)->NewCurAcct, reply);
}

int gw_HandleSetAcctByName(gw_conn_t* conn, const api_msghdr_t*, void* req, gw_reply_t* reply) {
  const api_quor_SetAcctByName_req_t* rq = static_cast<const api_quor_SetAcctByName_req_t*>(req);
  if (!gw_SessionUser(conn)) {
    reply->errorcode = -13;
    return 0;
  }
  const gw_account_t* a = account_by_name(conn->cfg, field_text(rq->AcctName, sizeof rq->AcctName));
  if (!a) {
    reply->errorcode = -2;
    return 0;
  }
  return set_account(conn, a->code, reply);
}

// ---- groups and names ----

int gw_HandleSetGID(gw_conn_t* conn, const api_msghdr_t*, void* req, gw_reply_t* reply) {
  uint32_t gid = static_cast<const api_quor_SetGID_req_t*>(req)->NewCurGID;
  const gw_user_t* u = gw_SessionUser(conn);
  if (!u) {
    reply->errorcode = -13;
    return 0;
  }
  if (gid != u->gid && std::find(u->groups.begin(), u->groups.end(), gid) == u->groups.end()) {
    reply->errorcode = -22;
    return 0;
  }
  uint32_t uid = gw_SessionUid(conn);
  conn->idSet = 1;
  conn->uid = uid;
  conn->gid = gid;
  return 0;
}

int gw_HandleConvertIdsToNames(gw_conn_t* conn, const api_msghdr_t*, void* req,
                               gw_reply_t* reply) {
  return convert(conn, req, reply, true);
}

int gw_HandleConvertNamesToIds(gw_conn_t* conn, const api_msghdr_t*, void* req,
                               gw_reply_t* reply) {
  return convert(conn, req, reply, false);
}

int gw_HandleGetPwent(gw_conn_t* conn, const api_msghdr_t*, void* req, gw_reply_t* reply) {
  const char* name = static_cast<const api_getpwent_req_t*>(req)->uname;
  const gw_user_t* u = gw_SessionUser(conn);
  if (!u) {
    reply->errorcode = -13;
    return 0;
  }
  if (name && *name) u = gw_FindUser(conn->cfg, name);
  if (!u) {
    reply->errorcode = -2;
    return 0;
  }
  // The session's own entry shows the group SetGID chose.
  uint32_t gid = u == gw_SessionUser(conn) ? gw_SessionGid(conn) : u->gid;
  struct passwd pw;
  memset(&pw, 0, sizeof pw);
  pw.pw_name = const_cast<char*>(u->name.c_str());
  pw.pw_passwd = const_cast<char*>("x");
  pw.pw_uid = u->uid;
  pw.pw_gid = gid;
  pw.pw_gecos = const_cast<char*>(u->gecos.c_str());
  pw.pw_dir = const_cast<char*>(u->home.c_str());
  pw.pw_shell = const_cast<char*>(u->shell.c_str());
  return gw_ReplyWithBody(reply, (xdrproc_t)qel_xdr_api_getpwent_rply_t, &pw);
}

int gw_HandleGetGroupList(gw_conn_t* conn, const api_msghdr_t*, void*, gw_reply_t* reply) {
  const gw_user_t* u = gw_SessionUser(conn);
  if (!u) {
    reply->errorcode = -13;
    return 0;
  }
  std::vector<int32_t> ids(u->groups.begin(), u->groups.end());
  api_getgroups_rply_t r;
  r.ngroups = uint32_t(ids.size());
  r.groups = ids.empty() ? nullptr : ids.data();
  return gw_ReplyWithBody(reply, (xdrproc_t)qel_xdr_api_getgroups_rply_t, &r);
}
