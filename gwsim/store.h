// The simulated storage namespace. A root directory on the host holds the
// objects themselves (directories, file data, symbolic links, hard links);
// an SQLite database beside it (ROOT.db) holds what a file system cannot:
// object type, owner and mode bits, account, class of service, family,
// subsystem, comment, option flags (0x1 is the purge lock), ACL bits,
// expiration, stored digests and the residency on five storage levels.
// Rows are keyed by object (the host inode), so all names of a file share
// them; a row goes with the object's last name (gw_StoreUnlinked). Names
// made by Link report the hard-link type. An object without a row gets
// defaults derived from the file system (a file: disk-resident at level 0
// with all its bytes). Each change is one SQLite transaction (write-ahead
// log), and a handler that changes the host and the rows together holds a
// gw_store_txn over both and undoes the host change when commit fails.
//
// Namespace paths are absolute and normalised: "/" or "/a/b", no "." or
// "..", no trailing "/". The root's ".." is the root. Every function is
// thread-safe; gw_StoreLock holds the store's (recursive) lock across
// several calls when a handler needs them to be seen together.
//
// gw_StoreLoadFiles reads the Files block of the configuration (one block
//                   per namespace path: Type, Size or Data, Target, Uid, Gid,
//                   Mode, Account, COS, Family, Subsystem, OptionFlags,
//                   PurgeLock, ACL, Realm, Comment, Expiration, Fileset,
//                   StripeWidth, Tape = VOL:POS[:LABEL] ..., Disk): 0, or
//                   -22 with "LINE: reason" in *err. gw_StoreOpen applies it.
// gw_StoreOpen      creates root when missing, opens (creates) ROOT.db,
//                   starts it afresh when its layout is another's, drops
//                   the rows of objects no longer under the root, and
//                   applies the Files entries of cfg: 0, or -1 with *err.
// gw_StoreClose     closes the database.
// gw_StoreHostPath  the host path of a namespace path.
// gw_StoreScratchPath a host path beside the root, on its file system and
//                   outside the namespace, for a handler holding the store
//                   lock to keep something aside.
// gw_StoreResolve   a client path (absolute, or relative to cwd) to a
//                   namespace path, following symbolic links on the way;
//                   the last component too when follow is non-zero. 0, or
//                   -2 (empty path, missing directory on the way), -20 (a
//                   component on the way is no directory), -40 (too many
//                   links), -86 (longer than 1023 characters), -13 (cred,
//                   when given, may not search a directory it looks a name
//                   up in). The last component need not exist.
// gw_StoreMay       1 when cred may use the object of meta as want asks
//                   (GW_MAY_* bits), else 0.
// gw_StoreInGroup   1 when gid is cred's group or one of its groups.
// gw_StoreLstat     host lstat of a namespace path: 0, or -errno.
// gw_StoreGetMeta   the object's record (defaults when it has no row): 0,
//                   or -2 when the object does not exist.
// gw_StorePutMeta   writes the whole record of the object at nspath: 0, -2
//                   when it does not exist, or -5.
// gw_StoreNewObject the row of an object just made on the host: type, owner,
//                   mode (permission bits), account and class of service;
//                   a file is disk-resident at level 0 with no bytes yet.
// gw_StoreRename    after the host rename of old to new: link names at and
//                   below old move to new. A name that new replaced must
//                   have gone through gw_StoreUnlinked first.
// gw_StoreUnlinked  after the host removed the name nspath, whose lstat
//                   before the removal is *before: forgets it as a link
//                   name, and the object's rows when that was its last name.
// gw_StoreAddLink   after the host made nspath a new name of an existing
//                   file: records it as a hard-link name of the object.
// gw_store_txn      holds the store lock and one transaction over the row
//                   changes made while it lives (nested ones join the
//                   outermost). commit(): 0, or -5 when the changes could
//                   not be kept (all of the outermost are rolled back).
//                   Going out of scope without commit rolls back.
// gw_StoreFailWrites makes every outermost commit of this thread fail
//                   while on (a fault rule: a full or broken disk).
// gw_StoreSetDataLength keeps level 0's bytes in step with a file's size.
// gw_StoreGetDigest / gw_StorePutDigest
//                   the stored digest list of a file as opaque bytes with
//                   its flags and stripe length: 0, or -2 when none.
// gw_StoreHandle    the object handle of a namespace path (stable id).
// gw_StoreStat      quor_stat_t of the object itself (no link followed).
// gw_StoreAttrs     quor_Attrs_t (and handle) of the object itself.
// gw_StoreXAttrs    quor_xfileattr_t: levels per flags (0x1: level
//                   `level` only; 0x8: all five). Volume lists are
//                   malloc'd; gw_StoreFreeXAttrs releases them.
// gw_StoreErr       a host errno as the storage service's negative code
//                   (ENAMETOOLONG -86, ENOTEMPTY -17, ...).
// gw_StoreDirNames  the names in a directory, sorted, without "." and "..":
//                   0, or -2 / -20.
#ifndef GWSIM_STORE_H
#define GWSIM_STORE_H

#include <stdint.h>
#include <sys/stat.h>

#include <mutex>
#include <string>
#include <vector>

#include "gwsim.h"
#include "quor_types.h"
#include "quorcfgx_stanza.h"

#define GW_TYPE_FILE 129
#define GW_TYPE_SYMLINK 130
#define GW_TYPE_HARDLINK 131
#define GW_TYPE_DIRECTORY 132
#define GW_TYPE_JUNCTION 133
#define GW_TYPE_FILESET_ROOT 134

#define GW_LEVEL_DISK 0x1
#define GW_LEVEL_TAPE 0x2
#define GW_LEVEL_DATA 0x4
#define GW_PV_ON_SHELF 0x8  // physical volume flag: on the shelf

#define GW_OPTION_PURGE_LOCK 0x1

// Permission words of quor_Attrs_t: read 0x20, write 0x40, execute 0x80;
// ModePerms: set-uid 0x20, set-gid 0x40, sticky 0x80.
#define GW_PERM_READ 0x20
#define GW_PERM_WRITE 0x40
#define GW_PERM_EXEC 0x80

typedef struct gw_volume {
  std::string vvid;  // volume name, the bytes of the VVID (up to 19)
  int32_t RelPosition;
  uint64_t RelPositionOffset;
  uint64_t BytesOnVV;
  std::string label;  // physical volume label, up to 12 characters
  bool onShelf;       // the physical volume sits on the shelf, out of the library
} gw_volume_t;

typedef struct gw_level {
  uint32_t Flags;  // GW_LEVEL_*
  uint64_t BytesAtLevel;
  uint32_t StripeWidth;
  std::vector<gw_volume_t> volumes;  // at most QUOR_MAX_LEVEL_VVS
} gw_level_t;

// Who asks, for the permission checks: POSIX rules on the record's owner,
// group and mode bits. root passes every check but execute on a file
// without any execute bit.
typedef struct gw_cred {
  uint32_t uid;
  uint32_t gid;
  std::vector<uint32_t> groups;  // supplementary groups
  int root;
} gw_cred_t;

#define GW_MAY_READ 4
#define GW_MAY_WRITE 2
#define GW_MAY_SEARCH 1  // search a directory, execute a file

typedef struct gw_meta {
  uint32_t Type;  // GW_TYPE_*
  uint32_t UID;
  uint32_t GID;
  uint32_t Mode;  // permission bits 07777
  uint32_t Account;
  uint32_t COSId;
  uint32_t FamilyId;
  uint32_t SubSystemId;
  uint32_t OptionFlags;
  uint32_t ExtendedACLs;
  uint32_t RealmId;
  uint32_t ReadCount;
  uint32_t WriteCount;
  uint32_t TimeCreated;
  uint64_t ObjId;  // the host inode: the object's key, the same for all its names
  uint64_t FilesetId;
  uint64_t Expiration;  // 0: none
  std::string Comment;  // at most 255 characters
  gw_level_t levels[QUOR_MAX_LEVELS];
} gw_meta_t;

int gw_StoreLoadFiles(quor_cfg_stanza_t* block, std::string* err);
int gw_StoreOpen(const char* root, const gw_config_t* cfg, std::string* err);
void gw_StoreClose(void);
std::recursive_mutex& gw_StoreLock(void);

std::string gw_StoreHostPath(const std::string& nspath);
std::string gw_StoreScratchPath(void);
int gw_StoreResolve(const std::string& cwd, const char* path, int follow, std::string* nspath,
                    const gw_cred_t* cred = nullptr);
int gw_StoreMay(const gw_cred_t* cred, const gw_meta_t* meta, uint32_t want);
int gw_StoreInGroup(const gw_cred_t* cred, uint32_t gid);
int gw_StoreLstat(const std::string& nspath, struct stat* st);

int gw_StoreGetMeta(const std::string& nspath, gw_meta_t* meta);
int gw_StorePutMeta(const std::string& nspath, const gw_meta_t* meta);
int gw_StoreNewObject(const std::string& nspath, uint32_t type, uint32_t uid, uint32_t gid,
                      uint32_t mode, uint32_t account, uint32_t cos);
int gw_StoreRename(const std::string& oldPath, const std::string& newPath);
int gw_StoreUnlinked(const std::string& nspath, const struct stat* before);
int gw_StoreAddLink(const std::string& nspath);
int gw_StoreSetDataLength(const std::string& nspath, uint64_t length);
// The stripe width of the level a file's data is read from or written to
// (1 unstriped) and its stripe length: 0, or a negative code.
int gw_StoreStripe(const std::string& nspath, uint32_t* width, uint64_t* length);

int gw_StoreGetDigest(const std::string& nspath, uint32_t* flags, uint64_t* stripeLength,
                      std::vector<char>* digests);
int gw_StorePutDigest(const std::string& nspath, uint32_t flags, uint64_t stripeLength,
                      const std::vector<char>& digests);

struct gw_store_txn {
  gw_store_txn();
  ~gw_store_txn();
  gw_store_txn(const gw_store_txn&) = delete;
  gw_store_txn& operator=(const gw_store_txn&) = delete;
  int commit();

 private:
  std::unique_lock<std::recursive_mutex> hold_;
  bool open_;
};
void gw_StoreFailWrites(int on);

void gw_StoreHandle(const std::string& nspath, const gw_meta_t* meta, ns_ObjHandle_t* h);
int gw_StoreStat(const std::string& nspath, quor_stat_t* st);
int gw_StoreAttrs(const std::string& nspath, quor_Attrs_t* attrs, ns_ObjHandle_t* handle);
int gw_StoreXAttrs(const std::string& nspath, uint32_t flags, uint32_t level,
                   quor_xfileattr_t* xattrs);
void gw_StoreFreeXAttrs(quor_xfileattr_t* xattrs);
int gw_StoreErr(int errnum);
int gw_StoreDirNames(const std::string& nspath, std::vector<std::string>* names);

#endif
