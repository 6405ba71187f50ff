// The storage namespace of gwsim: host objects under the root, metadata in
// SQLite beside it. One recursive lock serialises the store so that a
// handler can hold it over a host change and the matching row change.
#include "store.h"
#include "queries.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sqlite3.h>
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <memory>
#include <unordered_map>

#include "config_values.h"

#define GW_PATH_MAX 1023
#define GW_LINK_MAX 40

// An object set up from the Files block of the configuration.
typedef struct file_spec {
  std::string path;
  unsigned line;
  uint32_t type;
  int64_t size;  // -1: not given
  std::string data;
  int hasData;
  std::string target;  // symbolic link contents
  int keepDisk;        // tape copy and a disk copy
  // Times in seconds since the epoch; INT64_MIN: not given.
  int64_t atime, mtime, created, changed;
  gw_meta_t meta;
  int set[32];  // which meta fields the entry gave (FIELD_*)
} file_spec_t;

enum {
  FIELD_UID,
  FIELD_GID,
  FIELD_MODE,
  FIELD_ACCOUNT,
  FIELD_COS,
  FIELD_FAMILY,
  FIELD_SUBSYS,
  FIELD_OPTIONS,
  FIELD_ACL,
  FIELD_EXPIRE,
  FIELD_FILESET,
  FIELD_COMMENT,
  FIELD_TAPE,
  FIELD_STRIPE,
  FIELD_REALM,
};

static std::recursive_mutex store_lock;
static sqlite3* db;
static std::string store_root;
static uint32_t default_cos;
// The class-of-service table: a file's level 0 stripes as its class says.
static const gw_config_t* store_cfg;
static std::vector<file_spec_t> file_specs;
// Metadata-change times the Files block gave, by namespace path: the host
// cannot set a ctime, so the attributes report this one instead.
static std::map<std::string, uint32_t> changed_times;

std::recursive_mutex& gw_StoreLock(void) { return store_lock; }

// ---- SQL helpers ----

// Statements are prepared once and kept (large listings run several per
// entry); a statement in use is handed out afresh to a nested caller.
// Everything here runs under store_lock.
typedef struct cached_stmt {
  sqlite3_stmt* st;
  int inUse;
} cached_stmt_t;

static std::unordered_map<std::string, cached_stmt_t> stmt_cache;

static int release_stmt(sqlite3_stmt* st) {
  for (auto& kv : stmt_cache)
    if (kv.second.st == st) {
      sqlite3_reset(st);
      sqlite3_clear_bindings(st);
      kv.second.inUse = 0;
      return 0;
    }
  return sqlite3_finalize(st);
}

typedef std::unique_ptr<sqlite3_stmt, int (*)(sqlite3_stmt*)> stmt_ptr;

static stmt_ptr prepare(const char* sql) {
  sqlite3_stmt* st = nullptr;
  if (!db) return stmt_ptr(nullptr, release_stmt);
  auto it = stmt_cache.find(sql);
  if (it != stmt_cache.end() && !it->second.inUse) {
    it->second.inUse = 1;
    return stmt_ptr(it->second.st, release_stmt);
  }
  if (sqlite3_prepare_v2(db, sql, -1, &st, nullptr) != SQLITE_OK) {
    sqlite3_finalize(st);
    return stmt_ptr(nullptr, release_stmt);
  }
  if (it == stmt_cache.end()) stmt_cache[sql] = cached_stmt_t{st, 1};
  return stmt_ptr(st, release_stmt);
}

static void bind_text(sqlite3_stmt* st, int i, const std::string& s) {
  sqlite3_bind_text(st, i, s.data(), int(s.size()), SQLITE_TRANSIENT);
}

static int exec(const char* sql) {
  return db && sqlite3_exec(db, sql, nullptr, nullptr, nullptr) == SQLITE_OK ? 0 : -5;
}

static int run(sqlite3_stmt* st) {
  if (!st) return -5;
  int rc = sqlite3_step(st);
  return rc == SQLITE_DONE || rc == SQLITE_ROW ? 0 : -5;
}

// Rows are keyed by object (the host inode), so every name of a file shares
// one record; `born` (the host's birth time in ns, 0 when the file system
// has none) tells a reused inode from the object the row was written for.
// `links` holds the names made by Link, which report the hard-link type.
#define GW_SCHEMA_VERSION 3
static const char* schema =
    "CREATE TABLE objects(obj INTEGER PRIMARY KEY, born INT, type INT, uid INT, gid INT,"
    " mode INT, account INT, cos INT, family INT, subsystem INT, optflags INT, acl INT,"
    " realm INT, readcount INT, writecount INT, created INT, fileset INT, expiration INT,"
    " comment TEXT);"
    "CREATE TABLE levels(obj INT, level INT, flags INT, bytes INT, stripe INT,"
    " PRIMARY KEY(obj, level));"
    "CREATE TABLE volumes(obj INT, level INT, idx INT, vvid TEXT, position INT,"
    " posoffset INT, bytes INT, label TEXT, shelf INT, PRIMARY KEY(obj, level, idx));"
    "CREATE TABLE digests(obj INTEGER PRIMARY KEY, flags INT, stripelen INT, data BLOB);"
    "CREATE TABLE links(path TEXT PRIMARY KEY, obj INT);";
static const char* const tables[] = {"objects", "levels", "volumes", "digests", "links"};

// ---- paths ----

std::string gw_StoreHostPath(const std::string& nspath) {
  if (nspath == "/") return store_root;
  return store_root + nspath;
}

std::string gw_StoreScratchPath(void) { return store_root + ".undo"; }

int gw_StoreLstat(const std::string& nspath, struct stat* st) {
  if (lstat(gw_StoreHostPath(nspath).c_str(), st) < 0) return gw_StoreErr(errno);
  return 0;
}

static void split_into(const std::string& path, std::vector<std::string>* out) {
  size_t i = 0;
  while (i <= path.size()) {
    size_t j = path.find('/', i);
    if (j == std::string::npos) j = path.size();
    if (j > i) out->push_back(path.substr(i, j - i));
    i = j + 1;
  }
}

static std::string join(const std::vector<std::string>& parts) {
  if (parts.empty()) return "/";
  std::string s;
  for (const std::string& p : parts) s += "/" + p;
  return s;
}

int gw_StoreInGroup(const gw_cred_t* cred, uint32_t gid) {
  if (cred->gid == gid) return 1;
  for (uint32_t g : cred->groups)
    if (g == gid) return 1;
  return 0;
}

int gw_StoreMay(const gw_cred_t* cred, const gw_meta_t* m, uint32_t want) {
  bool dir = m->Type == GW_TYPE_DIRECTORY || m->Type == GW_TYPE_JUNCTION ||
             m->Type == GW_TYPE_FILESET_ROOT;
  if (cred->root) return !(want & GW_MAY_SEARCH) || dir || (m->Mode & 0111) ? 1 : 0;
  uint32_t bits;
  if (cred->uid == m->UID)
    bits = (m->Mode >> 6) & 7;
  else if (gw_StoreInGroup(cred, m->GID))
    bits = (m->Mode >> 3) & 7;
  else
    bits = m->Mode & 7;
  return (bits & want) == want ? 1 : 0;
}

// Whether cred may look names up in the directory at parts: 0 or -13.
static int may_search(const gw_cred_t* cred, const std::vector<std::string>& parts) {
  if (!cred || cred->root) return 0;
  gw_meta_t m;
  if (gw_StoreGetMeta(join(parts), &m) < 0) return 0;  // the walk reports what is missing
  return gw_StoreMay(cred, &m, GW_MAY_SEARCH) ? 0 : -13;
}

int gw_StoreResolve(const std::string& cwd, const char* path, int follow, std::string* nspath,
                    const gw_cred_t* cred) {
  if (!path || !*path) return -2;
  if (store_root.empty()) return -5;  // gwsim serves no namespace
  // A relative path starts in cwd: only the directories walked from there
  // are searched, as a process's working directory works.
  std::vector<std::string> done;
  if (path[0] != '/') split_into(cwd, &done);
  std::vector<std::string> pending;  // components still to walk, last first
  {
    std::vector<std::string> parts;
    split_into(path, &parts);
    pending.assign(parts.rbegin(), parts.rend());
  }
  int links = 0;
  while (!pending.empty()) {
    std::string c = pending.back();
    pending.pop_back();
    if (c == ".") continue;
    int rc = may_search(cred, done);
    if (rc < 0) return rc;
    if (c == "..") {
      if (!done.empty()) done.pop_back();
      continue;
    }
    bool last = true;
    for (const std::string& p : pending)
      if (p != ".") last = false;
    done.push_back(c);
    std::string here = join(done);
    if (here.size() > GW_PATH_MAX) return -86;
    struct stat st;
    if (lstat(gw_StoreHostPath(here).c_str(), &st) < 0) {
      if (errno == ENOENT && last) break;
      return gw_StoreErr(errno);
    }
    if (S_ISLNK(st.st_mode) && (!last || follow)) {
      if (++links > GW_LINK_MAX) return -40;
      char buf[GW_PATH_MAX + 2];
      ssize_t n = readlink(gw_StoreHostPath(here).c_str(), buf, sizeof buf - 1);
      if (n < 0) return gw_StoreErr(errno);
      buf[n] = '\0';
      done.pop_back();
      if (buf[0] == '/') done.clear();
      std::vector<std::string> target;
      split_into(buf, &target);
      for (auto it = target.rbegin(); it != target.rend(); ++it) pending.push_back(*it);
      continue;
    }
    if (!last && !S_ISDIR(st.st_mode)) return -20;
  }
  std::string out = join(done);
  if (out.size() > GW_PATH_MAX) return -86;
  *nspath = out;
  return 0;
}

// ---- transactions ----

static int txn_depth;     // nested gw_store_txn objects alive; under store_lock
static bool txn_failed;   // a nested one left without committing
static thread_local int fail_writes;

void gw_StoreFailWrites(int on) { fail_writes = on; }

gw_store_txn::gw_store_txn() : hold_(store_lock), open_(true) {
  if (txn_depth++ == 0) txn_failed = exec("BEGIN IMMEDIATE") < 0;
}

gw_store_txn::~gw_store_txn() {
  if (!open_) return;
  if (--txn_depth > 0) {
    txn_failed = true;
    return;
  }
  exec("ROLLBACK");
}

int gw_store_txn::commit() {
  if (!open_) return -5;
  open_ = false;
  if (--txn_depth > 0) return txn_failed ? -5 : 0;
  if (!txn_failed && !fail_writes && exec("COMMIT") == 0) return 0;
  exec("ROLLBACK");
  return -5;
}

// ---- records ----

// The host's view of an object: lstat's fields and the birth time.
static int host_stat(const std::string& nspath, struct stat* st, uint64_t* born) {
  struct statx sx;
  if (statx(AT_FDCWD, gw_StoreHostPath(nspath).c_str(), AT_SYMLINK_NOFOLLOW,
            STATX_BASIC_STATS | STATX_BTIME, &sx) < 0)
    return gw_StoreErr(errno);
  memset(st, 0, sizeof *st);
  st->st_dev = makedev(sx.stx_dev_major, sx.stx_dev_minor);
  st->st_ino = sx.stx_ino;
  st->st_mode = sx.stx_mode;
  st->st_nlink = sx.stx_nlink;
  st->st_uid = sx.stx_uid;
  st->st_gid = sx.stx_gid;
  st->st_size = off_t(sx.stx_size);
  st->st_blksize = blksize_t(sx.stx_blksize);
  st->st_blocks = blkcnt_t(sx.stx_blocks);
  st->st_atim = {time_t(sx.stx_atime.tv_sec), long(sx.stx_atime.tv_nsec)};
  st->st_mtim = {time_t(sx.stx_mtime.tv_sec), long(sx.stx_mtime.tv_nsec)};
  st->st_ctim = {time_t(sx.stx_ctime.tv_sec), long(sx.stx_ctime.tv_nsec)};
  *born = (sx.stx_mask & STATX_BTIME)
              ? uint64_t(sx.stx_btime.tv_sec) * 1000000000u + sx.stx_btime.tv_nsec
              : 0;
  return 0;
}

static uint32_t type_of(const struct stat* st) {
  if (S_ISDIR(st->st_mode)) return GW_TYPE_DIRECTORY;
  if (S_ISLNK(st->st_mode)) return GW_TYPE_SYMLINK;
  return GW_TYPE_FILE;
}

static bool is_file_type(uint32_t type) { return type == GW_TYPE_FILE || type == GW_TYPE_HARDLINK; }

static bool is_dir_type(uint32_t type) {
  return type == GW_TYPE_DIRECTORY || type == GW_TYPE_JUNCTION || type == GW_TYPE_FILESET_ROOT;
}

static void clear_meta(gw_meta_t* m) {
  m->Type = m->UID = m->GID = m->Mode = m->Account = m->COSId = m->FamilyId = 0;
  m->SubSystemId = m->OptionFlags = m->ExtendedACLs = m->RealmId = 0;
  m->ReadCount = m->WriteCount = m->TimeCreated = 0;
  m->ObjId = m->FilesetId = m->Expiration = 0;
  m->Comment.clear();
  for (gw_level_t& l : m->levels) {
    l.Flags = l.StripeWidth = 0;
    l.BytesAtLevel = 0;
    l.volumes.clear();
  }
}

// A file kept on disk at level 0, with a tape level below it that holds
// nothing yet.
static void disk_resident(gw_meta_t* m, uint64_t bytes) {
  m->levels[0].Flags = GW_LEVEL_DISK | GW_LEVEL_DATA;
  m->levels[0].BytesAtLevel = bytes;
  m->levels[0].StripeWidth = 1;
  m->levels[0].volumes.clear();
  m->levels[1].Flags = GW_LEVEL_TAPE;
  m->levels[1].BytesAtLevel = 0;
  m->levels[1].StripeWidth = 1;
  m->levels[1].volumes.clear();
}

static void default_meta(const struct stat* st, gw_meta_t* m) {
  clear_meta(m);
  m->Type = type_of(st);
  m->UID = st->st_uid;
  m->GID = st->st_gid;
  m->Mode = st->st_mode & 07777;
  m->COSId = default_cos;
  m->TimeCreated = uint32_t(st->st_ctime);
  if (is_file_type(m->Type)) disk_resident(m, uint64_t(st->st_size));
}

// The object's row: 0, -2 when it has none (or only a stale one from an
// object that had its inode before), -5.
static int read_row(uint64_t obj, uint64_t born, gw_meta_t* m, bool withLevels) {
  stmt_ptr q = prepare(
      "SELECT type, uid, gid, mode, account, cos, family, subsystem, optflags, acl, realm,"
      " readcount, writecount, created, fileset, expiration, comment, born FROM objects"
      " WHERE obj=?");
  if (!q) return -5;
  sqlite3_bind_int64(q.get(), 1, int64_t(obj));
  int rc = sqlite3_step(q.get());
  if (rc == SQLITE_DONE) return -2;
  if (rc != SQLITE_ROW) return -5;
  sqlite3_stmt* s = q.get();
  uint64_t rowBorn = uint64_t(sqlite3_column_int64(s, 17));
  if (born && rowBorn && born != rowBorn) return -2;
  m->Type = uint32_t(sqlite3_column_int64(s, 0));
  m->UID = uint32_t(sqlite3_column_int64(s, 1));
  m->GID = uint32_t(sqlite3_column_int64(s, 2));
  m->Mode = uint32_t(sqlite3_column_int64(s, 3));
  m->Account = uint32_t(sqlite3_column_int64(s, 4));
  m->COSId = uint32_t(sqlite3_column_int64(s, 5));
  m->FamilyId = uint32_t(sqlite3_column_int64(s, 6));
  m->SubSystemId = uint32_t(sqlite3_column_int64(s, 7));
  m->OptionFlags = uint32_t(sqlite3_column_int64(s, 8));
  m->ExtendedACLs = uint32_t(sqlite3_column_int64(s, 9));
  m->RealmId = uint32_t(sqlite3_column_int64(s, 10));
  m->ReadCount = uint32_t(sqlite3_column_int64(s, 11));
  m->WriteCount = uint32_t(sqlite3_column_int64(s, 12));
  m->TimeCreated = uint32_t(sqlite3_column_int64(s, 13));
  m->FilesetId = uint64_t(sqlite3_column_int64(s, 14));
  m->Expiration = uint64_t(sqlite3_column_int64(s, 15));
  const unsigned char* c = sqlite3_column_text(s, 16);
  m->Comment = c ? reinterpret_cast<const char*>(c) : "";

  for (gw_level_t& l : m->levels) {
    l.Flags = l.StripeWidth = 0;
    l.BytesAtLevel = 0;
    l.volumes.clear();
  }
  if (!withLevels) return 0;
  stmt_ptr lq = prepare("SELECT level, flags, bytes, stripe FROM levels WHERE obj=?");
  if (!lq) return -5;
  sqlite3_bind_int64(lq.get(), 1, int64_t(obj));
  while ((rc = sqlite3_step(lq.get())) == SQLITE_ROW) {
    int64_t lv = sqlite3_column_int64(lq.get(), 0);
    if (lv < 0 || lv >= QUOR_MAX_LEVELS) continue;
    gw_level_t& l = m->levels[lv];
    l.Flags = uint32_t(sqlite3_column_int64(lq.get(), 1));
    l.BytesAtLevel = uint64_t(sqlite3_column_int64(lq.get(), 2));
    l.StripeWidth = uint32_t(sqlite3_column_int64(lq.get(), 3));
  }
  if (rc != SQLITE_DONE) return -5;
  stmt_ptr vq = prepare(
      "SELECT level, vvid, position, posoffset, bytes, label, shelf FROM volumes WHERE obj=?"
      " ORDER BY level, idx");
  if (!vq) return -5;
  sqlite3_bind_int64(vq.get(), 1, int64_t(obj));
  while ((rc = sqlite3_step(vq.get())) == SQLITE_ROW) {
    int64_t lv = sqlite3_column_int64(vq.get(), 0);
    if (lv < 0 || lv >= QUOR_MAX_LEVELS) continue;
    gw_volume_t v;
    const unsigned char* t = sqlite3_column_text(vq.get(), 1);
    v.vvid = t ? reinterpret_cast<const char*>(t) : "";
    v.RelPosition = int32_t(sqlite3_column_int64(vq.get(), 2));
    v.RelPositionOffset = uint64_t(sqlite3_column_int64(vq.get(), 3));
    v.BytesOnVV = uint64_t(sqlite3_column_int64(vq.get(), 4));
    t = sqlite3_column_text(vq.get(), 5);
    v.label = t ? reinterpret_cast<const char*>(t) : "";
    v.onShelf = sqlite3_column_int64(vq.get(), 6) != 0;
    if (m->levels[lv].volumes.size() < QUOR_MAX_LEVEL_VVS) m->levels[lv].volumes.push_back(v);
  }
  return rc == SQLITE_DONE ? 0 : -5;
}

// Drops every row of an object but the link names.
static int drop_object(uint64_t obj) {
  static const char* const sql[] = {
      "DELETE FROM objects WHERE obj=?", "DELETE FROM levels WHERE obj=?",
      "DELETE FROM volumes WHERE obj=?", "DELETE FROM digests WHERE obj=?"};
  for (const char* s : sql) {
    stmt_ptr q = prepare(s);
    if (!q) return -5;
    sqlite3_bind_int64(q.get(), 1, int64_t(obj));
    if (run(q.get()) < 0) return -5;
  }
  return 0;
}

// Writes the object's record; a name's hard-link type is not the object's.
// What a stale row of an earlier object of this inode held goes first.
static int write_row(uint64_t obj, uint64_t born, const gw_meta_t* m) {
  stmt_ptr old = prepare("SELECT born FROM objects WHERE obj=?");
  if (!old) return -5;
  sqlite3_bind_int64(old.get(), 1, int64_t(obj));
  if (sqlite3_step(old.get()) == SQLITE_ROW) {
    uint64_t was = uint64_t(sqlite3_column_int64(old.get(), 0));
    if (born && was && born != was && drop_object(obj) < 0) return -5;
  }
  old.reset();
  stmt_ptr q = prepare(
      "INSERT OR REPLACE INTO objects(obj, born, type, uid, gid, mode, account, cos, family,"
      " subsystem, optflags, acl, realm, readcount, writecount, created, fileset, expiration,"
      " comment) VALUES(?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?)");
  if (!q) return -5;
  sqlite3_stmt* s = q.get();
  sqlite3_bind_int64(s, 1, int64_t(obj));
  sqlite3_bind_int64(s, 2, int64_t(born));
  uint32_t type = m->Type == GW_TYPE_HARDLINK ? GW_TYPE_FILE : m->Type;
  const uint32_t words[] = {type,           m->UID,          m->GID,      m->Mode,
                            m->Account,     m->COSId,        m->FamilyId, m->SubSystemId,
                            m->OptionFlags, m->ExtendedACLs, m->RealmId,  m->ReadCount,
                            m->WriteCount,  m->TimeCreated};
  int i = 3;
  for (uint32_t w : words) sqlite3_bind_int64(s, i++, int64_t(w));
  sqlite3_bind_int64(s, i++, int64_t(m->FilesetId));
  sqlite3_bind_int64(s, i++, int64_t(m->Expiration));
  bind_text(s, i, m->Comment.substr(0, QUOR_COMMENT_LEN - 1));
  if (run(s) < 0) return -5;

  stmt_ptr dl = prepare("DELETE FROM levels WHERE obj=?");
  stmt_ptr dv = prepare("DELETE FROM volumes WHERE obj=?");
  if (!dl || !dv) return -5;
  sqlite3_bind_int64(dl.get(), 1, int64_t(obj));
  sqlite3_bind_int64(dv.get(), 1, int64_t(obj));
  if (run(dl.get()) < 0 || run(dv.get()) < 0) return -5;
  for (int lv = 0; lv < QUOR_MAX_LEVELS; lv++) {
    const gw_level_t& l = m->levels[lv];
    if (l.Flags == 0 && l.BytesAtLevel == 0 && l.volumes.empty() && l.StripeWidth == 0) continue;
    stmt_ptr il = prepare("INSERT INTO levels(obj, level, flags, bytes, stripe) VALUES(?,?,?,?,?)");
    if (!il) return -5;
    sqlite3_bind_int64(il.get(), 1, int64_t(obj));
    sqlite3_bind_int64(il.get(), 2, lv);
    sqlite3_bind_int64(il.get(), 3, l.Flags);
    sqlite3_bind_int64(il.get(), 4, int64_t(l.BytesAtLevel));
    sqlite3_bind_int64(il.get(), 5, l.StripeWidth);
    if (run(il.get()) < 0) return -5;
    for (size_t k = 0; k < l.volumes.size() && k < QUOR_MAX_LEVEL_VVS; k++) {
      const gw_volume_t& v = l.volumes[k];
      stmt_ptr iv = prepare(
          "INSERT INTO volumes(obj, level, idx, vvid, position, posoffset, bytes, label, shelf)"
          " VALUES(?,?,?,?,?,?,?,?,?)");
      if (!iv) return -5;
      sqlite3_bind_int64(iv.get(), 1, int64_t(obj));
      sqlite3_bind_int64(iv.get(), 2, lv);
      sqlite3_bind_int64(iv.get(), 3, int64_t(k));
      bind_text(iv.get(), 4, v.vvid);
      sqlite3_bind_int64(iv.get(), 5, v.RelPosition);
      sqlite3_bind_int64(iv.get(), 6, int64_t(v.RelPositionOffset));
      sqlite3_bind_int64(iv.get(), 7, int64_t(v.BytesOnVV));
      bind_text(iv.get(), 8, v.label);
      sqlite3_bind_int64(iv.get(), 9, v.onShelf ? 1 : 0);
      if (run(iv.get()) < 0) return -5;
    }
  }
  return 0;
}

// 1 when the name was made by Link for object obj.
static bool is_link_name(const std::string& nspath, uint64_t obj) {
  stmt_ptr q = prepare("SELECT obj FROM links WHERE path=?");
  if (!q) return false;
  bind_text(q.get(), 1, nspath);
  return sqlite3_step(q.get()) == SQLITE_ROW && uint64_t(sqlite3_column_int64(q.get(), 0)) == obj;
}

// The record and the host's view of an object; levels only when asked.
static int get_meta(const std::string& nspath, gw_meta_t* meta, struct stat* st, bool withLevels) {
  uint64_t born;
  int rc = host_stat(nspath, st, &born);
  if (rc < 0) return rc;
  rc = read_row(uint64_t(st->st_ino), born, meta, withLevels);
  if (rc == -2) {
    default_meta(st, meta);
    rc = 0;
  }
  if (rc < 0) return rc;
  meta->ObjId = uint64_t(st->st_ino);
  if (is_file_type(meta->Type) && is_link_name(nspath, meta->ObjId))
    meta->Type = GW_TYPE_HARDLINK;
  return 0;
}

int gw_StoreGetMeta(const std::string& nspath, gw_meta_t* meta) {
  std::lock_guard<std::recursive_mutex> g(store_lock);
  struct stat st;
  return get_meta(nspath, meta, &st, true);
}

int gw_StorePutMeta(const std::string& nspath, const gw_meta_t* meta) {
  gw_store_txn txn;
  struct stat st;
  uint64_t born;
  int rc = host_stat(nspath, &st, &born);
  if (rc < 0) return rc;
  if (write_row(uint64_t(st.st_ino), born, meta) < 0) return -5;
  return txn.commit();
}

int gw_StoreNewObject(const std::string& nspath, uint32_t type, uint32_t uid, uint32_t gid,
                      uint32_t mode, uint32_t account, uint32_t cos) {
  gw_store_txn txn;
  struct stat st;
  uint64_t born;
  int rc = host_stat(nspath, &st, &born);
  if (rc < 0) return rc;
  gw_meta_t m;
  clear_meta(&m);
  m.Type = type;
  m.UID = uid;
  m.GID = gid;
  m.Mode = mode & 07777;
  m.Account = account;
  m.COSId = cos ? cos : default_cos;
  m.TimeCreated = uint32_t(time(nullptr));
  if (is_file_type(type)) {
    disk_resident(&m, 0);
    // A file's disk level stripes as wide as its class says.
    const gw_cos_t* c = store_cfg ? gw_FindCOS(store_cfg, m.COSId) : nullptr;
    if (c && c->stripeWidth > 0) m.levels[0].StripeWidth = c->stripeWidth;
  }
  // Whatever an earlier object of this inode left goes.
  stmt_ptr dl = prepare("DELETE FROM links WHERE path=?");
  if (!dl) return -5;
  bind_text(dl.get(), 1, nspath);
  if (run(dl.get()) < 0 || drop_object(uint64_t(st.st_ino)) < 0 ||
      write_row(uint64_t(st.st_ino), born, &m) < 0)
    return -5;
  return txn.commit();
}

// Link names of a path and every path below it: "path" itself or "path/...".
#define SUBTREE "(path=?1 OR substr(path, 1, length(?1) + 1) = ?1 || '/')"

int gw_StoreUnlinked(const std::string& nspath, const struct stat* before) {
  gw_store_txn txn;
  stmt_ptr q = prepare("DELETE FROM links WHERE path=?");
  if (!q) return -5;
  bind_text(q.get(), 1, nspath);
  if (run(q.get()) < 0) return -5;
  // The object goes with its last name.
  if ((S_ISDIR(before->st_mode) || before->st_nlink <= 1) &&
      drop_object(uint64_t(before->st_ino)) < 0)
    return -5;
  return txn.commit();
}

int gw_StoreRename(const std::string& oldPath, const std::string& newPath) {
  gw_store_txn txn;
  if (oldPath == newPath) return txn.commit();
  stmt_ptr q = prepare("UPDATE links SET path = ?2 || substr(path, length(?1) + 1) WHERE " SUBTREE);
  if (!q) return -5;
  bind_text(q.get(), 1, oldPath);
  bind_text(q.get(), 2, newPath);
  if (run(q.get()) < 0) return -5;
  return txn.commit();
}

int gw_StoreAddLink(const std::string& nspath) {
  gw_store_txn txn;
  struct stat st;
  uint64_t born;
  int rc = host_stat(nspath, &st, &born);
  if (rc < 0) return rc;
  // An object still on its defaults gets its row now, so that both names
  // share it from the start.
  gw_meta_t m;
  rc = read_row(uint64_t(st.st_ino), born, &m, false);
  if (rc == -2) {
    default_meta(&st, &m);
    rc = write_row(uint64_t(st.st_ino), born, &m);
  }
  if (rc < 0) return -5;
  stmt_ptr q = prepare("INSERT OR REPLACE INTO links(path, obj) VALUES(?,?)");
  if (!q) return -5;
  bind_text(q.get(), 1, nspath);
  sqlite3_bind_int64(q.get(), 2, int64_t(st.st_ino));
  if (run(q.get()) < 0) return -5;
  return txn.commit();
}

int gw_StoreSetDataLength(const std::string& nspath, uint64_t length) {
  gw_store_txn txn;
  gw_meta_t m;
  int rc = gw_StoreGetMeta(nspath, &m);
  if (rc < 0) return rc;
  m.levels[0].BytesAtLevel = length;
  m.levels[0].Flags |= GW_LEVEL_DATA;
  rc = gw_StorePutMeta(nspath, &m);
  if (rc < 0) return rc;
  return txn.commit();
}

int gw_StoreStripe(const std::string& nspath, uint32_t* width, uint64_t* length) {
  *width = 1;
  *length = 1u << 20;
  gw_meta_t m;
  int rc = gw_StoreGetMeta(nspath, &m);
  if (rc < 0) return rc;
  // The disk level, or the first level below it holding the data.
  const gw_level_t* l = &m.levels[0];
  if (!(l->Flags & GW_LEVEL_DATA))
    for (const gw_level_t& x : m.levels)
      if (x.Flags & GW_LEVEL_DATA) {
        l = &x;
        break;
      }
  if (l->StripeWidth > 1) *width = l->StripeWidth;
  const gw_cos_t* c = store_cfg ? gw_FindCOS(store_cfg, m.COSId) : nullptr;
  if (c && c->stripeLength > 0) *length = c->stripeLength;
  return 0;
}

// ---- digests ----

// The object id of a path: 0, or a negative code.
static int object_of(const std::string& nspath, uint64_t* obj) {
  struct stat st;
  uint64_t born;
  int rc = host_stat(nspath, &st, &born);
  if (rc == 0) *obj = uint64_t(st.st_ino);
  return rc;
}

int gw_StoreGetDigest(const std::string& nspath, uint32_t* flags, uint64_t* stripeLength,
                      std::vector<char>* digests) {
  std::lock_guard<std::recursive_mutex> g(store_lock);
  uint64_t obj = 0;
  int rc = object_of(nspath, &obj);
  if (rc < 0) return rc;
  stmt_ptr q = prepare("SELECT flags, stripelen, data FROM digests WHERE obj=?");
  if (!q) return -5;
  sqlite3_bind_int64(q.get(), 1, int64_t(obj));
  rc = sqlite3_step(q.get());
  if (rc == SQLITE_DONE) return -2;
  if (rc != SQLITE_ROW) return -5;
  *flags = uint32_t(sqlite3_column_int64(q.get(), 0));
  *stripeLength = uint64_t(sqlite3_column_int64(q.get(), 1));
  const char* b = static_cast<const char*>(sqlite3_column_blob(q.get(), 2));
  int n = sqlite3_column_bytes(q.get(), 2);
  digests->assign(b, b + (b ? n : 0));
  return 0;
}

int gw_StorePutDigest(const std::string& nspath, uint32_t flags, uint64_t stripeLength,
                      const std::vector<char>& digests) {
  gw_store_txn txn;
  uint64_t obj = 0;
  int rc = object_of(nspath, &obj);
  if (rc < 0) return rc;
  // A digest belongs to an object with a row of its own.
  gw_meta_t m;
  rc = gw_StoreGetMeta(nspath, &m);
  if (rc == 0) rc = gw_StorePutMeta(nspath, &m);
  if (rc < 0) return rc;
  stmt_ptr q =
      prepare("INSERT OR REPLACE INTO digests(obj, flags, stripelen, data) VALUES(?,?,?,?)");
  if (!q) return -5;
  sqlite3_bind_int64(q.get(), 1, int64_t(obj));
  sqlite3_bind_int64(q.get(), 2, flags);
  sqlite3_bind_int64(q.get(), 3, int64_t(stripeLength));
  sqlite3_bind_blob(q.get(), 4, digests.data(), int(digests.size()), SQLITE_TRANSIENT);
  if (run(q.get()) < 0) return -5;
  return txn.commit();
}

// ---- attribute records ----

static uint32_t perm_word(uint32_t mode, int shift) {
  uint32_t bits = (mode >> shift) & 7;
  return (bits & 4 ? GW_PERM_READ : 0) | (bits & 2 ? GW_PERM_WRITE : 0) |
         (bits & 1 ? GW_PERM_EXEC : 0);
}

void gw_StoreHandle(const std::string& nspath, const gw_meta_t* meta, ns_ObjHandle_t* h) {
  (void)nspath;
  memset(h, 0, sizeof *h);
  h->ObjId = meta->ObjId;
  h->ObjNsHash = uint16_t(meta->ObjId & 0xffff);
  h->FileId = meta->ObjId;
  h->FileNsHash = h->ObjNsHash;
  h->Type = byte(meta->Type);
  h->Generation = 1;
  h->CoreServerId = 1;
}

static void bitfile_of(const gw_meta_t* m, bfs_bitfile_obj_handle_t* bf) {
  memset(bf, 0, sizeof *bf);
  if (!is_file_type(m->Type)) return;
  bf->BfId.Bytes[0] = 0x01;  // marks a bitfile of this simulator
  for (int i = 0; i < 8; i++) bf->BfId.Bytes[QUOROID_LEN - 1 - i] = uint8_t(m->ObjId >> (8 * i));
  bf->BfHash = uint16_t(m->ObjId % 65521);
  bf->ValidHash = 1;
}

static uint32_t entry_count(const std::string& nspath) {
  DIR* d = opendir(gw_StoreHostPath(nspath).c_str());
  if (!d) return 0;
  uint32_t n = 0;
  while (struct dirent* e = readdir(d))
    if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) n++;
  closedir(d);
  return n;
}

static uint32_t changed_time(const std::string& nspath, const struct stat* st) {
  auto it = changed_times.find(nspath);
  return it != changed_times.end() ? it->second : uint32_t(st->st_ctime);
}

static void fill_attrs(const std::string& nspath, const struct stat* st, const gw_meta_t* m,
                       quor_Attrs_t* a) {
  memset(a, 0, sizeof *a);
  a->Account = m->Account;
  bitfile_of(m, &a->BitfileObj);
  strncpy(a->Comment, m->Comment.c_str(), QUOR_COMMENT_LEN - 1);
  a->UserPerms = perm_word(m->Mode, 6);
  a->GroupPerms = perm_word(m->Mode, 3);
  a->OtherPerms = perm_word(m->Mode, 0);
  a->ModePerms =
      (m->Mode & 04000 ? 0x20 : 0) | (m->Mode & 02000 ? 0x40 : 0) | (m->Mode & 01000 ? 0x80 : 0);
  a->CompositePerms = a->UserPerms;
  a->COSId = m->COSId;
  a->DataLength = is_file_type(m->Type) ? uint64_t(st->st_size) : 0;
  a->EntryCount = S_ISDIR(st->st_mode) ? entry_count(nspath) : 0;
  a->ExtendedACLs = m->ExtendedACLs;
  a->FamilyId = m->FamilyId;
  a->FilesetId = m->FilesetId;
  a->GID = m->GID;
  a->LinkCount = uint32_t(st->st_nlink);
  a->OptionFlags = m->OptionFlags;
  a->ReadCount = m->ReadCount;
  a->RealmId = m->RealmId;
  a->SubSystemId = m->SubSystemId;
  a->TimeCreated = m->TimeCreated;
  a->TimeLastRead = uint32_t(st->st_atime);
  a->TimeLastWritten = uint32_t(st->st_mtime);
  a->TimeModified = changed_time(nspath, st);
  a->Type = m->Type;
  a->UID = m->UID;
  a->WriteCount = m->WriteCount;
}

int gw_StoreStat(const std::string& nspath, quor_stat_t* out) {
  std::lock_guard<std::recursive_mutex> g(store_lock);
  struct stat st;
  gw_meta_t m;
  int rc = get_meta(nspath, &m, &st, false);
  if (rc < 0) return rc;
  memset(out, 0, sizeof *out);
  out->st_dev = uint32_t(st.st_dev);
  out->st_ino = uint64_t(st.st_ino);
  out->st_nlink = uint16_t(st.st_nlink);
  out->st_uid = m.UID;
  out->st_gid = m.GID;
  out->st_ssize = uint64_t(st.st_size);
  out->quor_st_atime = uint32_t(st.st_atime);
  out->quor_st_mtime = uint32_t(st.st_mtime);
  out->quor_st_ctime = changed_time(nspath, &st);
  out->quor_st_birthtime = m.TimeCreated;
  out->st_blksize = uint32_t(st.st_blksize);
  out->st_blocks = uint32_t(st.st_blocks);
  out->st_type = m.Type;
  out->st_size = uint64_t(st.st_size);
  out->st_mode = uint32_t(st.st_mode & S_IFMT) | m.Mode;
  return 0;
}

int gw_StoreAttrs(const std::string& nspath, quor_Attrs_t* attrs, ns_ObjHandle_t* handle) {
  std::lock_guard<std::recursive_mutex> g(store_lock);
  gw_meta_t m;
  struct stat st;
  int rc = get_meta(nspath, &m, &st, false);
  if (rc < 0) return rc;
  fill_attrs(nspath, &st, &m, attrs);
  if (handle) gw_StoreHandle(nspath, &m, handle);
  return 0;
}

static int fill_level(const gw_level_t* l, bf_sc_attrib_t* out) {
  memset(out, 0, sizeof *out);
  out->Flags = l->Flags;
  out->BytesAtLevel = l->BytesAtLevel;
  out->StripeWidth = l->StripeWidth;
  out->OptimumAccessSize = 1u << 20;
  out->StripeLength = 1u << 20;
  out->NumberOfVVs = uint32_t(std::min<size_t>(l->volumes.size(), QUOR_MAX_LEVEL_VVS));
  for (unsigned k = 0; k < out->NumberOfVVs; k++) {
    const gw_volume_t& v = l->volumes[k];
    bf_vv_attrib_t* vv = &out->VVAttrib[k];
    memcpy(vv->VVID.Bytes, v.vvid.data(), std::min<size_t>(v.vvid.size(), QUOROID_LEN));
    vv->RelPosition = v.RelPosition;
    vv->RelPositionOffset = v.RelPositionOffset;
    vv->BytesOnVV = v.BytesOnVV;
    vv->PVList = static_cast<pv_list_t*>(calloc(1, sizeof(pv_list_t)));
    if (!vv->PVList) return -12;
    vv->PVList->List_val = static_cast<pv_list_element_t*>(calloc(1, sizeof(pv_list_element_t)));
    if (!vv->PVList->List_val) return -12;
    vv->PVList->List_len = 1;
    memcpy(vv->PVList->List_val[0].Name, v.label.data(),
           std::min<size_t>(v.label.size(), QUOR_PV_NAME_LEN));
    if (v.onShelf) vv->PVList->List_val[0].Flags = GW_PV_ON_SHELF;
  }
  return 0;
}

void gw_StoreFreeXAttrs(quor_xfileattr_t* x) {
  for (bf_sc_attrib_t& l : x->SCAttrib)
    for (unsigned k = 0; k < QUOR_MAX_LEVEL_VVS; k++) {
      pv_list_t* pv = l.VVAttrib[k].PVList;
      if (!pv) continue;
      free(pv->List_val);
      free(pv);
      l.VVAttrib[k].PVList = nullptr;
    }
}

int gw_StoreXAttrs(const std::string& nspath, uint32_t flags, uint32_t level, quor_xfileattr_t* x) {
  std::lock_guard<std::recursive_mutex> g(store_lock);
  memset(x, 0, sizeof *x);
  if (!(flags & 0x8) && level >= QUOR_MAX_LEVELS) return -22;
  gw_meta_t m;
  struct stat st;
  int rc = get_meta(nspath, &m, &st, true);
  if (rc < 0) return rc;
  fill_attrs(nspath, &st, &m, &x->Attrs);
  gw_StoreHandle(nspath, &m, &x->ObjectHandle);
  for (uint32_t lv = 0; lv < QUOR_MAX_LEVELS; lv++) {
    if (!(flags & 0x8) && lv != level) continue;
    if (fill_level(&m.levels[lv], &x->SCAttrib[lv]) < 0) {
      gw_StoreFreeXAttrs(x);
      return -12;
    }
    const gw_cos_t* c = lv == 0 && store_cfg ? gw_FindCOS(store_cfg, m.COSId) : nullptr;
    if (c && c->stripeWidth > 0) {
      x->SCAttrib[0].StripeWidth = c->stripeWidth;
      if (c->stripeLength > 0) x->SCAttrib[0].StripeLength = c->stripeLength;
    }
  }
  return 0;
}

int gw_StoreErr(int errnum) {
  switch (errnum) {
    case ENAMETOOLONG:
      return -86;
    case ENOTEMPTY:
      return -17;  // what the service answers for a directory that is not empty
    case EDEADLK:
      return -45;
    case ENOLCK:
      return -46;
    case EDQUOT:
      return -88;
    case EOPNOTSUPP:
      return -64;
    default:
      return errnum > 0 && errnum < 35 ? -errnum : -5;
  }
}

int gw_StoreDirNames(const std::string& nspath, std::vector<std::string>* names) {
  names->clear();
  DIR* d = opendir(gw_StoreHostPath(nspath).c_str());
  if (!d) return errno == ENOTDIR ? -20 : gw_StoreErr(errno);
  while (struct dirent* e = readdir(d))
    if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) names->push_back(e->d_name);
  closedir(d);
  std::sort(names->begin(), names->end());
  return 0;
}

// ---- the Files block ----

static const struct {
  const char* name;
  uint32_t type;
} type_names[] = {
    {"file", GW_TYPE_FILE},         {"symlink", GW_TYPE_SYMLINK},
    {"hardlink", GW_TYPE_HARDLINK}, {"directory", GW_TYPE_DIRECTORY},
    {"junction", GW_TYPE_JUNCTION}, {"fileset", GW_TYPE_FILESET_ROOT},
};

static const struct {
  const char* name;
  int field;
  size_t offset;
} number_keys[] = {
    {"Uid", FIELD_UID, offsetof(gw_meta_t, UID)},
    {"Gid", FIELD_GID, offsetof(gw_meta_t, GID)},
    {"Mode", FIELD_MODE, offsetof(gw_meta_t, Mode)},
    {"Account", FIELD_ACCOUNT, offsetof(gw_meta_t, Account)},
    {"COS", FIELD_COS, offsetof(gw_meta_t, COSId)},
    {"Family", FIELD_FAMILY, offsetof(gw_meta_t, FamilyId)},
    {"Subsystem", FIELD_SUBSYS, offsetof(gw_meta_t, SubSystemId)},
    {"OptionFlags", FIELD_OPTIONS, offsetof(gw_meta_t, OptionFlags)},
    {"ACL", FIELD_ACL, offsetof(gw_meta_t, ExtendedACLs)},
    {"Realm", FIELD_REALM, offsetof(gw_meta_t, RealmId)},
};

static int spec_fail(std::string* err, unsigned line, const std::string& why) {
  *err = std::to_string(line) + ": " + why;
  return -22;
}

// "VOL:POS", "VOL:POS:LABEL" or "VOL:POS:LABEL:shelf", blank or comma
// separated.
static int parse_tape(const char* text, std::vector<gw_volume_t>* out) {
  std::string s(text);
  for (char& c : s)
    if (c == ',') c = ' ';
  std::vector<std::string> words;
  size_t i = 0;
  while (i < s.size()) {
    size_t j = s.find(' ', i);
    if (j == std::string::npos) j = s.size();
    if (j > i) words.push_back(s.substr(i, j - i));
    i = j + 1;
  }
  if (words.empty() || words.size() > QUOR_MAX_LEVEL_VVS) return -22;
  for (const std::string& w : words) {
    size_t c1 = w.find(':');
    if (c1 == std::string::npos || c1 == 0) return -22;
    size_t c2 = w.find(':', c1 + 1);
    gw_volume_t v{};
    v.vvid = w.substr(0, c1);
    std::string pos = w.substr(c1 + 1, c2 == std::string::npos ? std::string::npos : c2 - c1 - 1);
    size_t c3 = c2 == std::string::npos ? c2 : w.find(':', c2 + 1);
    v.label = c2 == std::string::npos ? v.vvid : w.substr(c2 + 1, c3 == std::string::npos ? c3 : c3 - c2 - 1);
    if (c3 != std::string::npos) {
      if (w.compare(c3 + 1, std::string::npos, "shelf") != 0) return -22;
      v.onShelf = true;
    }
    int64_t p;
    if (v.vvid.size() > QUOROID_LEN || v.label.empty() || v.label.size() > QUOR_PV_NAME_LEN ||
        gw_ParseNumber(pos.c_str(), 0, INT32_MAX, &p) < 0)
      return -22;
    v.RelPosition = int32_t(p);
    out->push_back(v);
  }
  return 0;
}

// A time of the Files block: seconds since the epoch, or "now", "now-N",
// "now+N" (seconds from gwsim's start), 0 to 2^32 - 1.
static int parse_time(const char* text, int64_t* out) {
  int64_t base = 0, n = 0;
  const char* p = text;
  int sign = 1;
  if (strncasecmp(p, "now", 3) == 0) {
    base = int64_t(time(nullptr));
    p += 3;
    if (*p == '\0') {
      *out = base;
      return 0;
    }
    if (*p != '-' && *p != '+') return -22;
    sign = *p == '-' ? -1 : 1;
    ++p;
  }
  if (gw_ParseNumber(p, 0, 0xffffffffLL, &n) < 0) return -22;
  int64_t t = base + sign * n;
  if (t < 0 || t > 0xffffffffLL) return -22;
  *out = t;
  return 0;
}

static int load_spec(quor_cfg_stanza_t* fe, std::string* err) {
  if (fe->type != CFG_COMPOUND_TYPE)
    return spec_fail(err, fe->LineNum, std::string("file entry needs a block: ") + fe->KeyString);
  file_spec_t f{};
  f.line = fe->LineNum;
  f.type = GW_TYPE_FILE;
  f.size = -1;
  f.atime = f.mtime = f.created = f.changed = INT64_MIN;
  clear_meta(&f.meta);
  std::string key = fe->KeyString;
  if (key.size() >= 2 && key.front() == '"' && key.back() == '"')
    key = key.substr(1, key.size() - 2);
  if (key.empty() || key[0] != '/')
    return spec_fail(err, fe->LineNum, "file entry needs an absolute path: " + key);
  std::vector<std::string> parts;
  split_into(key, &parts);
  f.path = join(parts);
  for (const std::string& p : parts)
    if (p == "." || p == "..") return spec_fail(err, fe->LineNum, "file path with . or ..");
  std::vector<gw_volume_t> tape;
  for (quor_cfg_stanza_t* e = fe->substanzaList; e; e = e->next) {
    const char* v = e->type == CFG_SIMPLE_TYPE ? e->KeyValue : nullptr;
    int64_t n;
    if (e->type == CFG_FLAG_TYPE && strcasecmp(e->KeyString, "Disk") == 0) {
      f.keepDisk = 1;
      continue;
    }
    if (e->type == CFG_FLAG_TYPE && strcasecmp(e->KeyString, "PurgeLock") == 0) {
      f.meta.OptionFlags |= GW_OPTION_PURGE_LOCK;
      f.set[FIELD_OPTIONS] = 1;
      continue;
    }
    if (!v) return spec_fail(err, e->LineNum, std::string("unknown file key ") + e->KeyString);
    bool done = false;
    for (const auto& k : number_keys) {
      if (strcasecmp(k.name, e->KeyString) != 0) continue;
      if (gw_ParseNumber(v, 0, 0xffffffffLL, &n) < 0)
        return spec_fail(err, e->LineNum, std::string("bad number for ") + e->KeyString);
      uint32_t w = uint32_t(n);
      if (k.field == FIELD_OPTIONS) w |= f.meta.OptionFlags;
      memcpy(reinterpret_cast<char*>(&f.meta) + k.offset, &w, sizeof w);
      f.set[k.field] = 1;
      done = true;
    }
    if (done) continue;
    if (strcasecmp(e->KeyString, "Type") == 0) {
      f.type = 0;
      for (const auto& t : type_names)
        if (strcasecmp(t.name, v) == 0) f.type = t.type;
      if (!f.type) return spec_fail(err, e->LineNum, std::string("bad Type ") + v);
    } else if (strcasecmp(e->KeyString, "Size") == 0) {
      if (gw_ParseNumber(v, 0, INT64_MAX, &n) < 0) return spec_fail(err, e->LineNum, "bad Size");
      f.size = n;
    } else if (strcasecmp(e->KeyString, "Data") == 0) {
      f.data = v;
      f.hasData = 1;
    } else if (strcasecmp(e->KeyString, "Target") == 0) {
      f.target = v;
    } else if (strcasecmp(e->KeyString, "Comment") == 0) {
      f.meta.Comment = std::string(v).substr(0, QUOR_COMMENT_LEN - 1);
      f.set[FIELD_COMMENT] = 1;
    } else if (strcasecmp(e->KeyString, "Expiration") == 0) {
      if (gw_ParseNumber(v, 0, INT64_MAX, &n) < 0)
        return spec_fail(err, e->LineNum, "bad Expiration");
      f.meta.Expiration = uint64_t(n);
      f.set[FIELD_EXPIRE] = 1;
    } else if (strcasecmp(e->KeyString, "Fileset") == 0) {
      if (gw_ParseNumber(v, 0, INT64_MAX, &n) < 0) return spec_fail(err, e->LineNum, "bad Fileset");
      f.meta.FilesetId = uint64_t(n);
      f.set[FIELD_FILESET] = 1;
    } else if (strcasecmp(e->KeyString, "StripeWidth") == 0) {
      if (gw_ParseNumber(v, 1, 64, &n) < 0) return spec_fail(err, e->LineNum, "bad StripeWidth");
      f.meta.levels[1].StripeWidth = uint32_t(n);
      f.set[FIELD_STRIPE] = 1;
    } else if (strcasecmp(e->KeyString, "Atime") == 0 || strcasecmp(e->KeyString, "Mtime") == 0 ||
               strcasecmp(e->KeyString, "Created") == 0 ||
               strcasecmp(e->KeyString, "Changed") == 0) {
      int64_t t;
      if (parse_time(v, &t) < 0)
        return spec_fail(err, e->LineNum, std::string("bad time for ") + e->KeyString);
      int64_t* slot = strcasecmp(e->KeyString, "Atime") == 0   ? &f.atime
                      : strcasecmp(e->KeyString, "Mtime") == 0 ? &f.mtime
                      : strcasecmp(e->KeyString, "Created") == 0 ? &f.created
                                                                 : &f.changed;
      *slot = t;
    } else if (strcasecmp(e->KeyString, "Tape") == 0) {
      if (parse_tape(v, &tape) < 0)
        return spec_fail(err, e->LineNum, "Tape wants VOL:POS[:LABEL[:shelf]] (up to 10)");
      f.set[FIELD_TAPE] = 1;
    } else {
      return spec_fail(err, e->LineNum, std::string("unknown file key ") + e->KeyString);
    }
  }
  if (f.type == GW_TYPE_SYMLINK && f.target.empty())
    return spec_fail(err, fe->LineNum, "a symlink needs a Target");
  if (f.set[FIELD_TAPE] && f.type != GW_TYPE_FILE)
    return spec_fail(err, fe->LineNum, "only a file can be on tape");
  f.meta.levels[1].volumes = tape;
  file_specs.push_back(std::move(f));
  return 0;
}

int gw_StoreLoadFiles(quor_cfg_stanza_t* block, std::string* err) {
  for (quor_cfg_stanza_t* e = block->substanzaList; e; e = e->next)
    if (load_spec(e, err) < 0) return -22;
  return 0;
}

// mkdir -p of the host directories above nspath.
static int make_parents(const std::string& nspath) {
  std::vector<std::string> parts;
  split_into(nspath, &parts);
  std::string host = store_root;
  for (size_t i = 0; i + 1 < parts.size(); i++) {
    host += "/" + parts[i];
    if (mkdir(host.c_str(), 0755) < 0 && errno != EEXIST) return -errno;
  }
  return 0;
}

static int apply_spec(const file_spec_t* f, std::string* err) {
  std::string host = gw_StoreHostPath(f->path);
  int rc = make_parents(f->path);
  if (rc == 0) {
    struct stat st;
    bool exists = lstat(host.c_str(), &st) == 0;
    if (f->type == GW_TYPE_SYMLINK) {
      if (exists) unlink(host.c_str());
      if (symlink(f->target.c_str(), host.c_str()) < 0) rc = -errno;
    } else if (f->type == GW_TYPE_DIRECTORY || f->type == GW_TYPE_JUNCTION ||
               f->type == GW_TYPE_FILESET_ROOT) {
      if (!exists && mkdir(host.c_str(), 0755) < 0) rc = -errno;
    } else if (f->path == "/") {
      rc = -21;
    } else {
      int fd = open(host.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
      if (fd < 0) {
        rc = -errno;
      } else {
        if (f->hasData) {
          if (ftruncate(fd, 0) < 0 ||
              write(fd, f->data.data(), f->data.size()) != ssize_t(f->data.size()))
            rc = -errno;
        } else if (f->size >= 0) {
          if (ftruncate(fd, f->size) < 0) rc = -errno;
        }
        close(fd);
      }
    }
  }
  if (rc < 0) {
    *err = "line " + std::to_string(f->line) + ": cannot make " + f->path + ": " + strerror(-rc);
    return -1;
  }
  gw_meta_t m;
  if (gw_StoreGetMeta(f->path, &m) < 0) {
    *err = "line " + std::to_string(f->line) + ": cannot read " + f->path;
    return -1;
  }
  m.Type = f->type;
  const gw_meta_t& s = f->meta;
  if (f->set[FIELD_UID]) m.UID = s.UID;
  if (f->set[FIELD_GID]) m.GID = s.GID;
  if (f->set[FIELD_MODE]) m.Mode = s.Mode & 07777;
  if (f->set[FIELD_ACCOUNT]) m.Account = s.Account;
  if (f->set[FIELD_COS]) m.COSId = s.COSId;
  if (f->set[FIELD_FAMILY]) m.FamilyId = s.FamilyId;
  if (f->set[FIELD_SUBSYS]) m.SubSystemId = s.SubSystemId;
  if (f->set[FIELD_OPTIONS]) m.OptionFlags = s.OptionFlags;
  if (f->set[FIELD_ACL]) m.ExtendedACLs = s.ExtendedACLs;
  if (f->set[FIELD_REALM]) m.RealmId = s.RealmId;
  if (f->set[FIELD_EXPIRE]) m.Expiration = s.Expiration;
  if (f->set[FIELD_FILESET]) m.FilesetId = s.FilesetId;
  if (f->set[FIELD_COMMENT]) m.Comment = s.Comment;
  if (f->type == GW_TYPE_FILE) {
    struct stat st;
    uint64_t size = lstat(host.c_str(), &st) == 0 ? uint64_t(st.st_size) : 0;
    disk_resident(&m, size);
    if (f->set[FIELD_STRIPE]) m.levels[1].StripeWidth = s.levels[1].StripeWidth;
    if (f->set[FIELD_TAPE]) {
      if (!f->keepDisk) {
        m.levels[0].Flags = GW_LEVEL_DISK;
        m.levels[0].BytesAtLevel = 0;
      }
      m.levels[1].Flags = GW_LEVEL_TAPE | GW_LEVEL_DATA;
      m.levels[1].BytesAtLevel = size;
      m.levels[1].volumes = s.levels[1].volumes;
      uint64_t n = m.levels[1].volumes.size();
      for (size_t k = 0; k < n; k++)
        m.levels[1].volumes[k].BytesOnVV = size / n + (k < size % n ? 1 : 0);
    }
  } else {
    for (gw_level_t& l : m.levels) {
      l.Flags = l.StripeWidth = 0;
      l.BytesAtLevel = 0;
      l.volumes.clear();
    }
  }
  if (gw_StorePutMeta(f->path, &m) < 0 ||
      (f->type == GW_TYPE_HARDLINK && gw_StoreAddLink(f->path) < 0)) {
    *err = "line " + std::to_string(f->line) + ": cannot record " + f->path;
    return -1;
  }
  return 0;
}

static int apply_times(const file_spec_t* f, std::string* err) {
  if (f->atime != INT64_MIN || f->mtime != INT64_MIN) {
    struct timespec ts[2];
    ts[0].tv_sec = time_t(f->atime);
    ts[0].tv_nsec = f->atime == INT64_MIN ? UTIME_OMIT : 0;
    ts[1].tv_sec = time_t(f->mtime);
    ts[1].tv_nsec = f->mtime == INT64_MIN ? UTIME_OMIT : 0;
    if (utimensat(AT_FDCWD, gw_StoreHostPath(f->path).c_str(), ts, AT_SYMLINK_NOFOLLOW) < 0) {
      *err = "line " + std::to_string(f->line) + ": cannot set the times of " + f->path;
      return -1;
    }
  }
  if (f->created != INT64_MIN) {
    gw_meta_t m;
    if (gw_StoreGetMeta(f->path, &m) < 0) return -1;
    m.TimeCreated = uint32_t(f->created);
    if (gw_StorePutMeta(f->path, &m) < 0) {
      *err = "line " + std::to_string(f->line) + ": cannot record " + f->path;
      return -1;
    }
  }
  if (f->changed != INT64_MIN) changed_times[f->path] = uint32_t(f->changed);
  return 0;
}

// Write-ahead logging: a crash loses at most the last transactions, never
// the database. A database of another layout starts clean.
static int prepare_schema(std::string* err) {
  if (exec("PRAGMA journal_mode=WAL") < 0 || exec("PRAGMA synchronous=NORMAL") < 0) return -1;
  sqlite3_busy_timeout(db, 5000);
  int64_t version = -1;
  {
    stmt_ptr q = prepare("PRAGMA user_version");
    if (q && sqlite3_step(q.get()) == SQLITE_ROW) version = sqlite3_column_int64(q.get(), 0);
  }
  if (version == GW_SCHEMA_VERSION) return 0;
  if (exec("BEGIN IMMEDIATE") < 0) return -1;
  int rc = 0;
  for (const char* t : tables)
    if (rc == 0) rc = exec((std::string("DROP TABLE IF EXISTS ") + t).c_str());
  if (rc == 0) rc = exec(schema);
  if (rc == 0)
    rc = exec(("PRAGMA user_version=" + std::to_string(GW_SCHEMA_VERSION)).c_str());
  if (rc < 0 || exec("COMMIT") < 0) {
    *err = sqlite3_errmsg(db);
    exec("ROLLBACK");
    return -1;
  }
  return 0;
}

// The objects under the root, by inode: birth time and file type bits.
typedef std::unordered_map<uint64_t, std::pair<uint64_t, mode_t>> host_objects_t;

static void walk_host(const std::string& nspath, host_objects_t* seen) {
  struct stat st;
  uint64_t born;
  if (host_stat(nspath, &st, &born) < 0) return;
  (*seen)[uint64_t(st.st_ino)] = {born, mode_t(st.st_mode & S_IFMT)};
  if (!S_ISDIR(st.st_mode)) return;
  std::vector<std::string> names;
  if (gw_StoreDirNames(nspath, &names) < 0) return;
  for (const std::string& n : names) walk_host(nspath == "/" ? "/" + n : nspath + "/" + n, seen);
}

// An old store from an earlier run: rows of objects that are no longer
// under the root (or whose inode another object has now) go, and so do
// link names that no longer lead to their object. *dropped counts objects.
static int check_store(unsigned* dropped) {
  host_objects_t seen;
  walk_host("/", &seen);
  std::vector<uint64_t> gone;
  {
    stmt_ptr q = prepare("SELECT obj, born, type FROM objects");
    if (!q) return -1;
    int rc;
    while ((rc = sqlite3_step(q.get())) == SQLITE_ROW) {
      uint64_t obj = uint64_t(sqlite3_column_int64(q.get(), 0));
      uint64_t born = uint64_t(sqlite3_column_int64(q.get(), 1));
      uint32_t type = uint32_t(sqlite3_column_int64(q.get(), 2));
      auto it = seen.find(obj);
      bool keep = it != seen.end() && (!born || !it->second.first || born == it->second.first) &&
                  (it->second.second == S_IFDIR) == is_dir_type(type) &&
                  (it->second.second == S_IFLNK) == (type == GW_TYPE_SYMLINK);
      if (!keep) gone.push_back(obj);
    }
    if (rc != SQLITE_DONE) return -1;
  }
  std::vector<std::string> staleLinks;
  {
    stmt_ptr q = prepare("SELECT path, obj FROM links");
    if (!q) return -1;
    while (sqlite3_step(q.get()) == SQLITE_ROW) {
      const unsigned char* t = sqlite3_column_text(q.get(), 0);
      std::string path = t ? reinterpret_cast<const char*>(t) : "";
      struct stat st;
      if (lstat(gw_StoreHostPath(path).c_str(), &st) < 0 ||
          uint64_t(st.st_ino) != uint64_t(sqlite3_column_int64(q.get(), 1)))
        staleLinks.push_back(path);
    }
  }
  gw_store_txn txn;
  for (uint64_t obj : gone)
    if (drop_object(obj) < 0) return -1;
  for (const std::string& path : staleLinks) {
    stmt_ptr q = prepare("DELETE FROM links WHERE path=?");
    if (!q) return -1;
    bind_text(q.get(), 1, path);
    if (run(q.get()) < 0) return -1;
  }
  // Level, volume and digest rows of no object.
  static const char* const orphans[] = {
      "DELETE FROM levels WHERE obj NOT IN (SELECT obj FROM objects)",
      "DELETE FROM volumes WHERE obj NOT IN (SELECT obj FROM objects)",
      "DELETE FROM digests WHERE obj NOT IN (SELECT obj FROM objects)"};
  for (const char* sql : orphans)
    if (exec(sql) < 0) return -1;
  if (txn.commit() < 0) return -1;
  *dropped = unsigned(gone.size());
  return 0;
}

int gw_StoreOpen(const char* root, const gw_config_t* cfg, std::string* err) {
  std::lock_guard<std::recursive_mutex> g(store_lock);
  std::string r = root ? root : "";
  while (r.size() > 1 && r.back() == '/') r.pop_back();
  if (r.empty()) {
    *err = "no storage root (--root or Server.Root)";
    return -1;
  }
  if (mkdir(r.c_str(), 0755) < 0 && errno != EEXIST) {
    *err = "cannot make root " + r + ": " + strerror(errno);
    return -1;
  }
  char* real = realpath(r.c_str(), nullptr);
  if (!real) {
    *err = "cannot find root " + r + ": " + strerror(errno);
    return -1;
  }
  store_root = real;
  free(real);
  default_cos = cfg ? cfg->site.startupCOS : 0;
  store_cfg = cfg;
  std::string dbPath = store_root + ".db";
  if (sqlite3_open_v2(dbPath.c_str(), &db,
                      SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX,
                      nullptr) != SQLITE_OK ||
      prepare_schema(err) < 0) {
    if (err->empty()) *err = db ? sqlite3_errmsg(db) : "no memory";
    *err = "cannot open database " + dbPath + ": " + *err;
    gw_StoreClose();
    return -1;
  }
  unsigned dropped = 0;
  if (check_store(&dropped) < 0) {
    *err = "cannot check database " + dbPath + ": " + sqlite3_errmsg(db);
    gw_StoreClose();
    return -1;
  }
  if (dropped)
    fprintf(stderr, "gwsim: %s: dropped the records of %u objects that are gone\n",
            dbPath.c_str(), dropped);
  for (const file_spec_t& f : file_specs)
    if (apply_spec(&f, err) < 0) {
      *err = "Files " + *err;
      return -1;
    }
  // Times last: making an entry changes its directory's times.
  changed_times.clear();
  for (const file_spec_t& f : file_specs)
    if (apply_times(&f, err) < 0) {
      *err = "Files " + *err;
      return -1;
    }
  return 0;
}

void gw_StoreClose(void) {
  std::lock_guard<std::recursive_mutex> g(store_lock);
  for (auto& kv : stmt_cache) sqlite3_finalize(kv.second.st);
  stmt_cache.clear();
  if (db) sqlite3_close(db);
  db = nullptr;
}
