// Residency changes and asynchronous stages of gwsim; see stage.h.
#include "stage.h"

#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "files.h"
#include "journal.h"
#include "queries.h"
#include "reply.h"
#include "session.h"

namespace {

// The deepest bytes count held on any level: the file's length as stored.
uint64_t stored_bytes(const gw_meta_t* m) {
  uint64_t n = 0;
  for (const gw_level_t& l : m->levels)
    if ((l.Flags & GW_LEVEL_DATA) && l.BytesAtLevel > n) n = l.BytesAtLevel;
  return n;
}

// The open file of a request, or -9 in *rc.
gw_openfile_t* file_of(gw_conn_t* conn, int32_t fildes, gw_reply_t* reply) {
  gw_openfile_t* f = gw_FileLookup(conn, fildes);
  if (!f) reply->errorcode = -9;
  return f;
}

}  // namespace

int gw_OnTapeOnly(const gw_meta_t* m) {
  bool tape = false;
  for (const gw_level_t& l : m->levels) {
    if (!(l.Flags & GW_LEVEL_DATA) || l.BytesAtLevel == 0) continue;
    if (l.Flags & GW_LEVEL_DISK) return 0;
    tape = true;
  }
  return tape ? 1 : 0;
}

int gw_StageToLevel(const std::string& nspath, uint32_t level, uint64_t* bytes) {
  if (bytes) *bytes = 0;
  if (level >= QUOR_MAX_LEVELS) return -22;
  std::lock_guard<std::recursive_mutex> hold(gw_StoreLock());
  gw_meta_t m;
  int rc = gw_StoreGetMeta(nspath, &m);
  if (rc < 0) return rc;
  gw_level_t& l = m.levels[level];
  if (l.Flags & GW_LEVEL_TAPE) return -22;
  if (!gw_OnTapeOnly(&m)) return 0;
  uint64_t n = stored_bytes(&m);
  l.Flags = GW_LEVEL_DISK | GW_LEVEL_DATA;
  l.BytesAtLevel = n;
  if (l.StripeWidth == 0) l.StripeWidth = 1;
  l.volumes.clear();
  rc = gw_StorePutMeta(nspath, &m);
  if (rc == 0 && bytes) *bytes = n;
  return rc;
}

int gw_HandlePurge(gw_conn_t* conn, const api_msghdr_t*, void* req, gw_reply_t* reply) {
  const api_quor_Purge_req_t* rq = static_cast<const api_quor_Purge_req_t*>(req);
  char what[48];
  snprintf(what, sizeof what, " level=%u flags=0x%X", unsigned(rq->StorageLevel), unsigned(rq->Flags));
  conn->note += what;
  gw_openfile_t* f = file_of(conn, rq->Fildes, reply);
  if (!f) return 0;
  conn->note += " path=" + gw_JournalText(f->path);
  if (rq->StorageLevel >= QUOR_MAX_LEVELS || rq->Offset != 0 || rq->Length != 0) {
    reply->errorcode = -22;
    return 0;
  }
  std::lock_guard<std::recursive_mutex> hold(gw_StoreLock());
  gw_meta_t m;
  int rc = gw_StoreGetMeta(f->path, &m);
  if (rc == 0 && (m.OptionFlags & GW_OPTION_PURGE_LOCK)) rc = -1;
  api_quor_Purge_rply_t r = {0};
  gw_level_t& l = m.levels[rq->StorageLevel];
  if (rc == 0 && (l.Flags & GW_LEVEL_DATA) && l.BytesAtLevel > 0) {
    // Only a copy that a deeper level also holds may go.
    bool kept = false;
    for (uint32_t k = rq->StorageLevel + 1; k < QUOR_MAX_LEVELS; k++)
      kept = kept || ((m.levels[k].Flags & GW_LEVEL_DATA) &&
                      m.levels[k].BytesAtLevel >= l.BytesAtLevel);
    if (kept) {
      r.RetBytesPurged = l.BytesAtLevel;
      l.Flags &= ~uint32_t(GW_LEVEL_DATA);
      l.BytesAtLevel = 0;
      rc = gw_StorePutMeta(f->path, &m);
    }
  }
  if (rc < 0) {
    reply->errorcode = rc;
    return 0;
  }
  return gw_ReplyWithBody(reply, (xdrproc_t)qel_xdr_api_quor_Purge_rply_t, &r);
}

int gw_HandleMigrate(gw_conn_t* conn, const api_msghdr_t*, void* req, gw_reply_t* reply) {
  const api_quor_Migrate_req_t* rq = static_cast<const api_quor_Migrate_req_t*>(req);
  gw_openfile_t* f = file_of(conn, rq->Fildes, reply);
  if (!f) return 0;
  conn->note += " path=" + gw_JournalText(f->path);
  // Written so that no level wraps around past the check.
  if (rq->SrcLevel >= QUOR_MAX_LEVELS - 1) {
    reply->errorcode = -22;
    return 0;
  }
  std::lock_guard<std::recursive_mutex> hold(gw_StoreLock());
  gw_meta_t m;
  int rc = gw_StoreGetMeta(f->path, &m);
  if (rc < 0) {
    reply->errorcode = rc;
    return 0;
  }
  api_quor_Migrate_rply_t r = {0};
  const gw_level_t& src = m.levels[rq->SrcLevel];
  gw_level_t& dst = m.levels[rq->SrcLevel + 1];
  bool has = (src.Flags & GW_LEVEL_DATA) && src.BytesAtLevel > 0;
  bool there = (dst.Flags & GW_LEVEL_DATA) && dst.BytesAtLevel == src.BytesAtLevel;
  if (has && !there) {
    uint64_t n = src.BytesAtLevel;
    if (!(dst.Flags & (GW_LEVEL_DISK | GW_LEVEL_TAPE))) dst.Flags |= GW_LEVEL_TAPE;
    dst.Flags |= GW_LEVEL_DATA;
    dst.BytesAtLevel = n;
    if (dst.StripeWidth == 0) dst.StripeWidth = 1;
    if ((dst.Flags & GW_LEVEL_TAPE) && dst.volumes.empty()) {
      gw_volume_t v{};
      v.vvid = "MIGVV" + std::to_string(m.ObjId % 100000000);
      v.RelPosition = int32_t(m.ObjId % 100000);
      v.label = "MIG001";
      dst.volumes.push_back(v);
    }
    size_t count = dst.volumes.size();
    for (size_t k = 0; k < count; k++)
      dst.volumes[k].BytesOnVV = n / count + (k < n % count ? 1 : 0);
    r.RetBytesMigrated = n;
  }
  // Flag 0x8: the source copy goes once the next level holds it, unless
  // the file is purge-locked.
  if ((rq->Flags & 0x8) && has && !(m.OptionFlags & GW_OPTION_PURGE_LOCK)) {
    gw_level_t& from = m.levels[rq->SrcLevel];
    from.Flags &= ~uint32_t(GW_LEVEL_DATA);
    from.BytesAtLevel = 0;
    conn->note += " purged";
  }
  if (has) rc = gw_StorePutMeta(f->path, &m);
  if (rc < 0) {
    reply->errorcode = rc;
    return 0;
  }
  return gw_ReplyWithBody(reply, (xdrproc_t)qel_xdr_api_quor_Migrate_rply_t, &r);
}

int gw_HandleStage(gw_conn_t* conn, const api_msghdr_t*, void* req, gw_reply_t* reply) {
  const api_quor_Stage_req_t* rq = static_cast<const api_quor_Stage_req_t*>(req);
  gw_openfile_t* f = file_of(conn, rq->Fildes, reply);
  if (!f) return 0;
  uint64_t n = 0;
  reply->errorcode = gw_StageToLevel(f->path, rq->StorageLevel, &n);
  if (reply->errorcode == 0 && n > 0) conn->note += " staged";
  return 0;
}

int gw_HandleSetCOSByHints(gw_conn_t* conn, const api_msghdr_t*, void* req, gw_reply_t* reply) {
  const api_quor_SetCOSByHints_req_t* rq = static_cast<const api_quor_SetCOSByHints_req_t*>(req);
  gw_openfile_t* f = file_of(conn, rq->Fildes, reply);
  if (!f) return 0;
  const gw_config_t* cfg = conn->cfg;
  std::lock_guard<std::recursive_mutex> hold(gw_StoreLock());
  gw_meta_t m;
  int rc = gw_StoreGetMeta(f->path, &m);
  struct stat st;
  if (rc == 0 && fstat(f->fd, &st) == 0 && st.st_size > 0) rc = -22;
  uint32_t id = rq->HintsIn.COSId;
  if (rc == 0 && id == 0) {
    const gw_cos_t* p = gw_PickCOS(cfg, nullptr, rq->HintsIn.MinFileSize, gw_SessionUid(conn),
                                   gw_SessionGid(conn), gw_SessionAccount(conn), 0, 0);
    if (p) id = p->md.COSId;
    else rc = -22;
  }
  const gw_cos_t* c = rc == 0 ? gw_FindCOS(cfg, id) : nullptr;
  if (rc == 0 && !c && !cfg->tables.cos.empty()) rc = -22;
  if (rc < 0 || id == m.COSId) {
    reply->errorcode = rc;
    return 0;
  }
  m.COSId = id;
  rc = gw_StorePutMeta(f->path, &m);
  if (rc < 0) {
    reply->errorcode = rc;
    return 0;
  }
  api_quor_SetCOSByHints_rply_t r;
  memset(&r, 0, sizeof r);
  if (c) r.COSout = c->md;
  r.COSout.COSId = id;
  if (gw_ReplyWithBody(reply, (xdrproc_t)qel_xdr_api_quor_SetCOSByHints_rply_t, &r) < 0) return -1;
  reply->errorcode = int32_t(id);
  return 0;
}

namespace {

void note_level_flags(int32_t fildes, uint32_t level, uint32_t flags, std::string* note) {
  char text[80];
  snprintf(text, sizeof text, " fildes=%d level=%u flags=0x%x", int(fildes), unsigned(level),
           unsigned(flags));
  *note += text;
}

}  // namespace

void gw_NoteMigrate(const api_msghdr_t*, const void* req, std::string* note) {
  const api_quor_Migrate_req_t* rq = static_cast<const api_quor_Migrate_req_t*>(req);
  note_level_flags(rq->Fildes, rq->SrcLevel, rq->Flags, note);
}

void gw_NotePurge(const api_msghdr_t*, const void* req, std::string* note) {
  const api_quor_Purge_req_t* rq = static_cast<const api_quor_Purge_req_t*>(req);
  note_level_flags(rq->Fildes, rq->StorageLevel, rq->Flags, note);
}

void gw_NoteStageCallBack(const api_msghdr_t*, const void* req, std::string* note) {
  const api_quor_StageCallBack_req_t* rq = static_cast<const api_quor_StageCallBack_req_t*>(req);
  char text[64];
  const unsigned char* b = reinterpret_cast<const unsigned char*>(&rq->CallBackPtr);
  bool zero = true;
  for (size_t i = 0; i < sizeof rq->CallBackPtr; i++) zero = zero && b[i] == 0;
  snprintf(text, sizeof text, " level=%u flags=0x%x callback=%s", unsigned(rq->StorageLevel),
           unsigned(rq->Flags), zero ? "zero" : "set");
  *note += " path=" + gw_JournalText(rq->Path);
  *note += text;
}
