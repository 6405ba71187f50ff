// The index file: its names, the temporary index a create writes first, the
// header writer and reader, the entry builders, and the buffered and random
// entry readers.
#include <endian.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <new>
#include <string>

#include "brix_blockio.h"
#include "brix_ustar.h"
#include "brix_index.h"
#include "brix_lfx.h"
#include "ozu_util.h"
#include "qel_threads.h"
#include "quor_api.h"

bif_hdr_t brix_index_hdr;
uint32_t brix_index_entries = 0;
uint32_t brix_index_flags = 0;
uint32_t brix_annotation_offset = 0;
uint32_t brix_annotation_size = 0;
uint64_t brix_index_filesize = 0;
uint64_t brix_archive_blocks = 0;
uint64_t brix_archive_filesize = 0;
char* brix_tmpIndexFile = nullptr;
int brix_tmpIndexFD = -1;
int brix_unlinkTmpIndexFile = 1;

namespace {

unsigned char* inx_read_buffer = nullptr;
size_t inx_file_rbufsize = BRIX_INDEX_BUFSIZE;
bif_entry_t* inx_buf_entry_ptr = nullptr;
uint64_t inx_buf_entries = 0;
uint64_t inx_file_pos = 0;

inline uint32_t sw32(uint32_t v) { return be32toh(v); }
inline uint64_t sw64(uint64_t v) { return be64toh(v); }

const char* residencyWord(int residency) {
  switch (residency) {
    case BRIX_QUOR_FILE: return "QUOR-resident";
    case BRIX_REMOTE_FILE: return "remote";
    default: return "local";
  }
}

// Where entry 0 starts: after the header and any annotation area.
uint64_t firstEntryOffset() { return BIF_HDR_SIZE + uint64_t(brix_annotation_size); }

// Plain reads of up to count bytes from a local or storage index, repeated
// until the count or the end; the bytes read, or -1 with the error in *err.
ssize_t readIndexBytes(int fd, int residency, void* buf, size_t count, int* err) {
  if (residency == BRIX_REMOTE_FILE) {
    *err = ENOSYS;
    return -1;
  }
  size_t got = 0;
  unsigned char* p = static_cast<unsigned char*>(buf);
  while (got < count) {
    ssize_t n;
    if (residency == BRIX_QUOR_FILE) {
      n = quor_Read(fd, p + got, count - got);
      if (n < 0) {
        // The storage call's code is the error itself.
        *err = int(n);
        return -1;
      }
    } else {
      n = read(fd, p + got, count - got);
    }
    if (n < 0) {
      if (errno == EINTR || errno == EAGAIN) continue;
      *err = errno;
      return -1;
    }
    if (n == 0) break;
    got += size_t(n);
  }
  return ssize_t(got);
}

}  // namespace

void brix_SwapIndexEntry(bif_entry_t* e) {
  e->bent_flags = sw32(e->bent_flags);
  e->bent_blocks = sw32(e->bent_blocks);
  e->bent_type = sw32(e->bent_type);
  e->bent_parent = sw32(e->bent_parent);
  e->bent_version = sw32(e->bent_version);
  e->bent_offset = sw64(e->bent_offset);
  e->bent_fsize = sw64(e->bent_fsize);
  e->bent_annotation = sw32(e->bent_annotation);
  e->bent_annotation_bytes = sw32(e->bent_annotation_bytes);
  e->bent_crc32 = sw32(e->bent_crc32);
  e->bent_mode = sw32(e->bent_mode);
  e->bent_ctime = sw32(e->bent_ctime);
  e->bent_mtime = sw32(e->bent_mtime);
  e->bent_uid = sw32(e->bent_uid);
  e->bent_gid = sw32(e->bent_gid);
}

void brix_SwapConsistency(bif_consistency_t* c) {
  c->bif_cf_version = sw32(c->bif_cf_version);
  c->bif_cf_rewrite_time = sw32(c->bif_cf_rewrite_time);
  c->bif_create_time = sw32(c->bif_create_time);
  c->bif_update_time = sw32(c->bif_update_time);
  c->bif_tarsize = sw64(c->bif_tarsize);
  c->bif_brix_filecount = sw64(c->bif_brix_filecount);
  c->bif_soft_deletes = sw32(c->bif_soft_deletes);
  c->bif_hard_deletes = sw32(c->bif_hard_deletes);
}

void brix_SwapIndexHeader(bif_hdr_t* h) {
  h->bif_version = sw32(h->bif_version);
  h->bif_flags = sw32(h->bif_flags);
  h->obj_count = sw32(h->obj_count);
  h->annotation_offset = sw32(h->annotation_offset);
  h->annotation_size = sw32(h->annotation_size);
  brix_SwapConsistency(&h->bif_cfinfo);
}

uint64_t brix_MemberBlocks(uint32_t type, uint64_t size) {
  if (type == BTO_FILE || type == BTO_HARDLINK) return 1 + (size + 511) / 512;
  return 1;
}

int brix_SplitMemberPath(const char* path, char name[100], char prefix[156]) {
  memset(name, 0, 100);
  memset(prefix, 0, 156);
  size_t L = strlen(path);
  if (L <= 99) {
    memcpy(name, path, L);
    return 0;
  }
  // Search backwards for a '/' that leaves at most 99 characters of name
  // and at most 154 of prefix.
  long lowest = long(L) - 100;
  for (long p = long(L) - 1; p >= lowest && p >= 0; p--) {
    if (path[p] != '/') continue;
    if (p > 154) continue;
    if (p == 0) {
      if (L > 100) return -1;
      memcpy(name, path, 100);
      return 0;
    }
    if (L - size_t(p) - 1 > 99) return -1;
    memcpy(prefix, path, size_t(p));
    memcpy(name, path + p + 1, L - size_t(p) - 1);
    return 0;
  }
  return -1;
}

int brix_CreateTmpIndexFile(void) {
  std::string path;
  bool inIndexDir = brix_filetype == BRIX_LOCAL_FILE || brix_filetype == BRIX_PIPE;
  if (inIndexDir) {
    // Beside the index, so the finished index is renamed into place on the
    // same file system.
    std::string dir;
    const char* idx = brix_index_filename ? brix_index_filename : "";
    const char* slash = strrchr(idx, '/');
    if (!slash || slash == idx) {
      if (slash == idx) {
        dir = "";
      } else {
        char cwd[PATH_MAX];
        if (!getcwd(cwd, sizeof cwd)) {
          brix_Log(BRIX_MSG_ERROR, "Error getting current directory");
          brix_SetExitCode(70);
          return -1;
        }
        dir = cwd;
      }
    } else {
      dir.assign(idx, size_t(slash - idx));
    }
    path = dir + "/brix_XXXXXX";
  } else {
    const char* tmp = getenv("TMPDIR");
    if (!tmp || !*tmp) tmp = "/tmp";
    path = std::string(tmp) + "/BRIX_INX_" + std::to_string(getpid()) + "_" +
           std::to_string(long(time(nullptr))) + "_XXXXXX";
  }
  char* name = strdup(path.c_str());
  if (!name) {
    brix_Log(BRIX_MSG_ERROR, "Error %d creating temporary index file name\n", errno);
    brix_SetExitCode(72);
    return -1;
  }
  if (brix_option_flags & BRIX_OPT_MAKE_DIRS) {
    if (brix_MakeAllSubdirs(name, 0777, BRIX_LOCAL_FILE) != 0) {
      brix_Log(BRIX_MSG_WARNING, "Failed to create intermediate directories for temporary index file %s\n",
               name);
      brix_SetExitCode(72);
    }
  }
  // A unique name made and opened in one step, private to the user until
  // the finished index is put in place.
  int fd = mkostemp(name, O_CLOEXEC);
  if (fd < 0) {
    brix_Log(BRIX_MSG_ERROR, "Error %d creating temporary index file %s\n", errno, name);
    brix_SetExitCode(72);
    free(name);
    return -1;
  }
  free(brix_tmpIndexFile);
  brix_tmpIndexFile = name;
  brix_tmpIndexFD = fd;
  return 0;
}

int brix_WriteIndexHeader(int fd, int residency, const char* path, const bif_hdr_t* hdr) {
  static const char* fn = "writeIndexHeader";
  const char* word = residency == BRIX_QUOR_FILE ? "QUOR-resident" : "local";
  uint64_t off = 0;
  if (brix_PositionFile(fd, residency, 0, SEEK_SET, 0, &off) != 0) {
    brix_Log(BRIX_MSG_ERROR, "%s: fatal error rewinding %s index file %s\n", fn, word, path);
    brix_SetExitCode(72);
    return -1;
  }
  bif_hdr_t disk = *hdr;
  brix_SwapIndexHeader(&disk);
  ssize_t n = brix_BlockWrite(fd, path, residency, sizeof disk, &disk);
  if (n != ssize_t(sizeof disk)) {
    brix_Log(BRIX_MSG_ERROR, "%s: Error %d writing %s index file header: %s\n", fn, int(n), word,
             path);
    brix_SetExitCode(72);
    return -1;
  }
  if (brix_PositionFile(fd, residency, BIF_HDR_SIZE, SEEK_SET, 0, &off) != 0) {
    brix_Log(BRIX_MSG_ERROR, "%s: fatal error repositioning %s index file %s\n", fn, word, path);
    brix_SetExitCode(72);
    return -1;
  }
  return 0;
}

int brix_ReadIndexHeader(int fd, int residency, const char* path, bif_hdr_t* hdr) {
  static const char* fn = "brix_ReadIndexHeader";
  const char* word = residencyWord(residency);
  uint64_t off = 0;
  if (brix_PositionFile(fd, residency, 0, SEEK_SET, 0, &off) != 0) {
    brix_Log(BRIX_MSG_ERROR, "%s: Fatal error %d rewinding %s index file: %s\n", fn, errno, word,
             path);
    brix_SetExitCode(72);
    return -1;
  }
  ssize_t n = brix_BlockRead(fd, path, residency, sizeof *hdr, hdr);
  if (n != ssize_t(sizeof *hdr)) {
    brix_Log(BRIX_MSG_ERROR, "%s: Error %d reading %s index file header: %s\n", fn, int(n), word,
             path);
    brix_SetExitCode(72);
    return -1;
  }
  brix_SwapIndexHeader(hdr);
  return 0;
}

void brix_BuildIndexHeader(void) {
  memset(brix_index_hdr.bif_sanity, 0, sizeof brix_index_hdr.bif_sanity);
  memcpy(brix_index_hdr.bif_sanity, "BrixIndex", 9);
  brix_index_hdr.bif_version = BIF_VERSION;
  brix_index_hdr.bif_flags = brix_index_flags;
  brix_index_hdr.obj_count = brix_index_entries;
  brix_index_hdr.annotation_offset = brix_annotation_offset;
  brix_index_hdr.annotation_size = brix_annotation_size;
}

int brix_MemberUpLevels(const char* path, const char** rest) {
  int ups = 0;
  const char* p = path;
  for (;;) {
    if (strncmp(p, "../", 3) == 0) {
      p += 3;
      ups++;
    } else if (strcmp(p, "..") == 0) {
      p += 2;
      ups++;
    } else {
      break;
    }
    while (*p == '/') p++;
  }
  if (ups > BRIX_MAX_UP_LEVELS) return -1;
  *rest = *p ? p : ".";
  return ups;
}

int brix_IndexFromFileSpec(uint64_t, brix_FileSpec_t* member, bif_entry_t* entry) {
  memset(entry, 0, sizeof *entry);
  const char* path = member->filename;
  // Names going up from the current directory are stored from below it,
  // as other tars store them; the file is still read at its own path.
  const char* stored = path;
  if (brix_MemberUpLevels(path, &stored) < 0) stored = path;
  if (brix_SplitMemberPath(stored, entry->bent_name, entry->bent_prefix) != 0) {
    fprintf(stderr, "\n%s: name too long for tar archive- file omitted\n  [%s]\n",
            brix_msg_prefix[BRIX_MSG_WARNING], path);
    fflush(stderr);
    brix_Log(BRIX_MSG_LOGONLY, "%s: name too long for tar archive- file omitted\n",
             brix_msg_prefix[BRIX_MSG_WARNING]);
    brix_Log(BRIX_MSG_LOGONLY, "  [%s]\n", path);
    brix_SetExitCode(70);
    return -1;
  }
  if (member->objectType == BTO_SYMLINK) {
    char target[4097];
    ssize_t n = readlink(path, target, sizeof target - 1);
    if (n < 0) {
      int e = errno;
      brix_perror("readlink");
      brix_Log(BRIX_MSG_ERROR, "Error %d reading symlink contents for %s\n", e, path);
      brix_SetExitCode(70);
      return -1;
    }
    target[n] = '\0';
    if (n >= 100) {
      brix_Log(BRIX_MSG_INFO, "symlink %s: pointed-to name too long to store in archive\n", path);
      brix_Log(BRIX_MSG_INFO, "[%s]", target);
      brix_SetExitCode(70);
      return -1;
    }
    memcpy(entry->bent_linkname, target, size_t(n));
  }
  if (member->timeOutOfRange) {
    // The index and the header hold 0 to 2^32-1 seconds: a member with
    // another time would come back with a time it never had.
    brix_Log(BRIX_MSG_WARNING, "%s: modification time out of the range an archive member holds - file omitted\n",
             path);
    brix_SetExitCode(70);
    return -1;
  }
  memcpy(entry->bent_sanity, "BRIX_IDX", 8);
  entry->bent_type = member->objectType;
  entry->bent_version = 1;
  entry->bent_mode = uint32_t(member->mode);
  entry->bent_ctime = uint32_t(member->ctime);
  entry->bent_mtime = uint32_t(member->mtime);
  entry->bent_uid = uint32_t(member->uid);
  entry->bent_gid = uint32_t(member->gid);
  brix_GetOwnerName(uid_t(member->uid), entry->bent_uname, sizeof entry->bent_uname);
  brix_GetGroupName(gid_t(member->gid), entry->bent_gname, sizeof entry->bent_gname);
  uint64_t blocks;
  if (member->objectType == BTO_DIRECTORY || member->objectType == BTO_SYMLINK) {
    member->size = 0;
    blocks = 1;
  } else if (member->objectType == BTO_FILE || member->objectType == BTO_HARDLINK) {
    if (member->size > BRIX_MAX_MEMBER_SIZE) {
      brix_Log(BRIX_MSG_INFO, "File too large for brix to handle: %s (%lu bytes)\n", path,
               (unsigned long)member->size);
      brix_SetExitCode(70);
      return -1;
    }
    blocks = brix_MemberBlocks(member->objectType, member->size);
  } else {
    blocks = 1;
  }
  entry->bent_blocks = uint32_t(blocks);
  entry->bent_fsize = member->size;
  entry->bent_offset = brix_archive_blocks;
  return 0;
}

int brix_IndexFromTarHdr(uint64_t blockOffset, const posix_header_t* hdr, bif_entry_t* entry,
                         uint64_t* blocks, uint64_t* dataSize) {
  memset(entry, 0, sizeof *entry);
  char typeflag = hdr->thb_typeflag;
  bool ustar = strncmp(hdr->thb_magic, "ustar", 6) == 0;
  if (!ustar && typeflag == '\0') {
    size_t n = strnlen(hdr->thb_name, sizeof hdr->thb_name);
    if (n > 0 && hdr->thb_name[n - 1] == '/') {
      typeflag = '5';
      if (brix_debug_level >= 2)
        fprintf(stderr, "/debug/non-USTAR style header. Changed entry type to DIRECTORY for %.*s\n",
                int(n), hdr->thb_name);
    }
  }
  uint32_t type;
  uint64_t size = 0;
  switch (typeflag) {
    case '\0':
    case '0': type = BTO_FILE; size = brix_GetMemberFilesize(hdr); break;
    case '1': type = BTO_HARDLINK; size = brix_GetMemberFilesize(hdr); break;
    case '2': type = BTO_SYMLINK; size = brix_GetMemberFilesize(hdr); break;
    case '5': type = BTO_DIRECTORY; break;
    case '3': case '4': case '6': case '7': return -1;
    default: return -1;
  }
  uint64_t b = size > UINT64_MAX - 1024 ? UINT64_MAX : 1 + (size + 511) / 512;
  if (b > UINT32_MAX) {
    brix_Log(BRIX_MSG_ERROR, "Member %.100s at block %lu: its size (%s bytes) is more than an index entry holds\n",
             hdr->thb_name, (unsigned long)blockOffset, std::to_string(size).c_str());
    return -1;
  }
  if (blocks) *blocks = b;
  if (dataSize) *dataSize = size;
  memcpy(entry->bent_sanity, "BRIX_IDX", 8);
  entry->bent_blocks = uint32_t(b);
  entry->bent_type = type;
  entry->bent_offset = blockOffset;
  entry->bent_fsize = size;
  memcpy(entry->bent_name, hdr->thb_name, 100);
  memcpy(entry->bent_prefix, hdr->thb_prefix, 155);
  memcpy(entry->bent_linkname, hdr->thb_linkname, 100);
  uint32_t v = 0;
  OctalToUint32_t(&v, 8, hdr->thb_mode, "thb_mode");
  entry->bent_mode = v;
  v = 0;
  OctalToUint32_t(&v, 12, hdr->thb_mtime, "thb_mtime");
  entry->bent_mtime = v;
  entry->bent_uid = brix_TarIdField(hdr->thb_uid);
  entry->bent_gid = brix_TarIdField(hdr->thb_gid);
  memcpy(entry->bent_uname, hdr->thb_uname, 32);
  memcpy(entry->bent_gname, hdr->thb_gname, 32);
  entry->bent_uname[31] = '\0';
  entry->bent_gname[31] = '\0';
  return 0;
}

namespace {

// The remote index into a new temporary index: a descriptor of the copy
// opened with flags, or -1 (the copy removed).
int fetchRemoteIndex(const char* path, int flags, uint64_t size) {
  if (brix_CreateTmpIndexFile() != 0) return -1;
  brix_unlinkTmpIndexFile = 1;
  transfer_t* X = new (std::nothrow) transfer_t();
  int rc = -1;
  if (X) {
    rc = brix_LfxReceiveFile(RMTIO_FILE, X, brix_tmpIndexFD, brix_tmpIndexFile, -1, path, 0, 0, size, nullptr);
    brix_LfxReleaseRecord(X);
    delete X;
  }
  close(brix_tmpIndexFD);
  brix_tmpIndexFD = -1;
  int fd = -1;
  if (rc >= 0) {
    fd = open(brix_tmpIndexFile, flags | O_CLOEXEC, 0666);
    if (fd < 0) rc = -errno;
  }
  if (rc < 0) {
    brix_Log(BRIX_MSG_ERROR, "Error %d opening %s index file: %s\n", rc, "remote", path);
    brix_SetExitCode(72);
    unlink(brix_tmpIndexFile);
    free(brix_tmpIndexFile);
    brix_tmpIndexFile = nullptr;
    brix_unlinkTmpIndexFile = 0;
    return -1;
  }
  return fd;
}

}  // namespace

int brix_IndexFileDoesExist(const char* path, int residency) {
  console_message("", "");
  int rc;
  if (residency == BRIX_QUOR_FILE) {
    quor_fileattr_t attrs;
    rc = quor_FileGetAttributes(path, &attrs);
  } else if (residency == BRIX_REMOTE_FILE) {
    // Only the gateway host knows: a local file of that name proves nothing.
    struct stat64 st;
    rc = ozugw_LfxStat(path, &st);
  } else {
    struct stat st;
    rc = stat(path, &st);
  }
  if (brix_debug_level >= 1)
    fprintf(stderr, "[%s - test for %s index file %s returned %d - returning FALSE\n",
            "brix_IndexFileDoesExist", residency == BRIX_QUOR_FILE ? "QUOR" : residency == BRIX_REMOTE_FILE ? "remote" : "local", path, rc);
  return rc == 0 ? 1 : 0;
}

int brix_OpenIndexFile(const char* path, int flags, int residency) {
  static const char* fn = "brix_OpenIndexFile";
  console_message("", "");
  double start = double_time();
  uint64_t size = 0;
  if (residency == BRIX_QUOR_FILE) {
    quor_fileattr_t attrs;
    int rc = quor_FileGetAttributes(path, &attrs);
    if (rc != 0) {
      if (rc == -13) brix_Log(BRIX_MSG_ERROR, "Permission problem getting attributes for: %s", brix_index_filename);
      else if (rc == -2) brix_Log(BRIX_MSG_ERROR, "No such file: %s", brix_index_filename);
      else brix_Log(BRIX_MSG_ERROR, "Error %d getting Index File attributes for %s", rc, brix_index_filename);
      brix_SetExitCode(72);
      return -1;
    }
    size = attrs.Attrs.DataLength;
  } else if (residency == BRIX_REMOTE_FILE) {
    struct stat64 st;
    int rc = ozugw_LfxStat(path, &st);
    if (rc != 0) {
      brix_Log(BRIX_MSG_ERROR, "FATAL: error %d getting attributes for remote index file %s\n", rc, path);
      brix_SetExitCode(72);
      return -1;
    }
    size = uint64_t(st.st_size);
  } else {
    struct stat st;
    if (stat(path, &st) != 0) {
      brix_Log(BRIX_MSG_ERROR, "FATAL: error %d getting attributes for local index file %s\n", errno,
               path);
      brix_SetExitCode(72);
      return -1;
    }
    size = uint64_t(st.st_size);
  }
  if (brix_debug_level >= 1) {
    fprintf(stderr, "/debug/%s: Index File %s is %lu bytes in length\n", fn, path, (unsigned long)size);
    fprintf(stderr, "/debug/ opening %s index file %s\n", residencyWord(residency), path);
  }
  int fd = -1;
  bool fetched = false;
  if (residency == BRIX_REMOTE_FILE) {
    // Fetched whole into a local temporary copy, read from then on.
    fd = fetchRemoteIndex(path, flags, size);
    if (fd < 0) return -1;
    fetched = true;
    residency = BRIX_LOCAL_FILE;
    path = brix_tmpIndexFile;
  }
  while (!fetched) {
    if (residency == BRIX_QUOR_FILE)
      fd = quor_Open(path, flags, 0666, nullptr, nullptr, nullptr);
    else
    {
      fd = open(path, flags | O_CLOEXEC, 0666);
      if (fd < 0) fd = -errno;
    }
    if (residency == BRIX_QUOR_FILE && (fd == -11 || fd == -6005 || fd == -1411)) {
      ozugw_ThreadSleep(10, 0);
      continue;
    }
    break;
  }
  if (fd < 0) {
    brix_Log(BRIX_MSG_ERROR, "Error %d opening %s index file: %s\n", fd, residencyWord(residency),
             path);
    brix_SetExitCode(72);
    return -1;
  }
  if (brix_option_flags & BRIX_OPT_STATUS_FIFO)
    brix_StatusMsg(1, "IndexFile Open Time %.3f seconds", double_time() - start);
  auto fail = [&]() {
    if (residency == BRIX_QUOR_FILE) quor_Close(fd);
    else close(fd);
    return -1;
  };
  bif_hdr_t hdr;
  if (brix_ReadIndexHeader(fd, residency, path, &hdr) != 0) return fail();
  char sanity[13];
  memcpy(sanity, hdr.bif_sanity, 12);
  sanity[12] = '\0';
  if (strcmp(sanity, "BrixIndex") != 0 || uint64_t(hdr.annotation_size) > size - BIF_HDR_SIZE ||
      (size - BIF_HDR_SIZE - hdr.annotation_size) / BIF_ENTRY_SIZE > UINT32_MAX) {
    brix_Log(BRIX_MSG_ERROR, "Oops - %s doesn't look like an BRIX index file\n", path);
    brix_SetExitCode(72);
    return fail();
  }
  if (brix_debug_level >= 2) {
    fprintf(stderr, "/debug/ Index file header contents:\n");
    fprintf(stderr, "     Version........... %d\n", int(hdr.bif_version));
    fprintf(stderr, "     Flags............. 0x%8.8x\n", hdr.bif_flags);
    fprintf(stderr, "     Object count...... %d\n", int(hdr.obj_count));
    fprintf(stderr, "     Annotation offset.. %d\n", int(hdr.annotation_offset));
    fprintf(stderr, "     Annotation Area Size.. %d\n", int(hdr.annotation_size));
  }
  brix_index_hdr = hdr;
  brix_annotation_offset = hdr.annotation_offset;
  brix_annotation_size = hdr.annotation_size;
  brix_index_filesize = size;
  brix_index_entries = uint32_t((size - hdr.annotation_size - BIF_HDR_SIZE) / BIF_ENTRY_SIZE);
  if (brix_annotation_size != 0) {
    uint64_t off = 0;
    if (brix_PositionFile(fd, residency, firstEntryOffset(), SEEK_SET, 0, &off) != 0) return fail();
  }
  return fd;
}

int brix_IndexReadInit(void) {
  if (!inx_read_buffer) {
    inx_read_buffer = static_cast<unsigned char*>(malloc(inx_file_rbufsize));
    if (!inx_read_buffer) {
      brix_Log(BRIX_MSG_ERROR, "FATAL: (%s)unable to allocate buffer for Index File reads\n",
               "brix_IndexReadInit");
      brix_SetExitCode(78);
      return -1;
    }
  }
  inx_buf_entries = 0;
  inx_buf_entry_ptr = nullptr;
  inx_file_pos = 0;
  return 0;
}

int brix_IndexFilePosition(int fd, int residency, uint64_t entry) {
  if (brix_IndexReadInit() != 0) return -1;
  uint64_t off = 0;
  if (brix_PositionFile(fd, residency, firstEntryOffset() + BIF_ENTRY_SIZE * entry, SEEK_SET, 0,
                        &off) != 0) {
    brix_Log(BRIX_MSG_ERROR, "%s: Error positioning Index File to record %d\n",
             "brix_IndexFilePosition", int(entry));
    return -1;
  }
  inx_file_pos = entry;
  return 0;
}

int brix_IndexFileSkipTo(int fd, int residency, uint64_t entry) {
  if (inx_read_buffer && entry >= inx_file_pos && entry - inx_file_pos < inx_buf_entries) {
    uint64_t skip = entry - inx_file_pos;
    inx_buf_entry_ptr += skip;
    inx_buf_entries -= skip;
    inx_file_pos = entry;
    return 0;
  }
  return brix_IndexFilePosition(fd, residency, entry);
}

int brix_IndexFileRewind(int fd, int residency) {
  if (brix_IndexReadInit() != 0) return -1;
  uint64_t off = 0;
  if (brix_PositionFile(fd, residency, firstEntryOffset(), SEEK_SET, 0, &off) != 0) {
    brix_Log(BRIX_MSG_ERROR, "Error %d rewinding Index File\n", errno);
    return -1;
  }
  return 0;
}

int brix_IndexFileRead(int fd, int residency, int batchLimit, bif_entry_t** entry, int* endFlag) {
  *entry = nullptr;
  if (inx_file_pos >= brix_index_entries) {
    *endFlag = 1;
    return 0;
  }
  *endFlag = 0;
  if (!inx_read_buffer && brix_IndexReadInit() != 0) return -1;
  if (inx_buf_entries == 0) {
    uint64_t n = inx_file_rbufsize / BIF_ENTRY_SIZE;
    uint64_t left = brix_index_entries - inx_file_pos;
    if (n > left) n = left;
    if (batchLimit > 0 && n > uint64_t(batchLimit)) n = uint64_t(batchLimit);
    int err = 0;
    ssize_t got = readIndexBytes(fd, residency, inx_read_buffer, n * BIF_ENTRY_SIZE, &err);
    if (got < 0) {
      brix_Log(BRIX_MSG_ERROR, "FATAL: error %d reading %d bytes from index file %s\n", err,
               int(n * BIF_ENTRY_SIZE), brix_index_filename ? brix_index_filename : "");
      return -1;
    }
    // Only whole entries count; a file that ends early ends the reading.
    uint64_t whole = uint64_t(got) / BIF_ENTRY_SIZE;
    if (whole == 0) {
      *endFlag = 1;
      return 0;
    }
    if (uint64_t(got) % BIF_ENTRY_SIZE != 0) {
      uint64_t off = 0;
      brix_PositionFile(fd, residency, firstEntryOffset() + (inx_file_pos + whole) * BIF_ENTRY_SIZE,
                        SEEK_SET, 0, &off);
    }
    for (uint64_t i = 0; i < whole; i++)
      brix_SwapIndexEntry(reinterpret_cast<bif_entry_t*>(inx_read_buffer + i * BIF_ENTRY_SIZE));
    inx_buf_entries = whole;
    inx_buf_entry_ptr = reinterpret_cast<bif_entry_t*>(inx_read_buffer);
  }
  *entry = inx_buf_entry_ptr;
  inx_buf_entry_ptr++;
  inx_buf_entries--;
  inx_file_pos++;
  return 0;
}

int brix_IndexReadRandomEntry(int fd, int residency, uint64_t entry, bif_entry_t* out) {
  if (brix_IndexFilePosition(fd, residency, entry) != 0) return -1;
  bif_entry_t e;
  int err = 0;
  ssize_t got = readIndexBytes(fd, residency, &e, sizeof e, &err);
  if (got < 0) {
    brix_Log(BRIX_MSG_ERROR, "FATAL: error %d reading %d bytes from index file %s\n", err,
             int(sizeof e), brix_index_filename ? brix_index_filename : "");
    brix_SetExitCode(72);
    return -1;
  }
  if (got != ssize_t(sizeof e) || memcmp(e.bent_sanity, "BRIX_IDX", 8) != 0) {
    brix_Log(BRIX_MSG_ERROR, "[%s] Bad Index Header detected (sanity string mismatch)\n",
             "brix_IndexReadRandomEntry");
    brix_SetExitCode(72);
    return -1;
  }
  brix_SwapIndexEntry(&e);
  *out = e;
  // The buffered reader must be positioned again before reading on.
  inx_buf_entries = 0;
  inx_file_pos = entry + 1;
  return 0;
}

void brix_GetIndexBufSize(size_t* size, size_t* capacity) {
  if (size) *size = BRIX_INDEX_BUFSIZE;
  if (capacity) *capacity = BRIX_INDEX_BUFENTRIES;
}

void brix_FormIxEntryPathname(const bif_entry_t* entry, char* path) {
  size_t n = strnlen(entry->bent_prefix, 155);
  memcpy(path, entry->bent_prefix, n);
  size_t pos = n;
  if (entry->bent_prefix[0] != '\0') path[pos++] = '/';
  size_t m = strnlen(entry->bent_name, 100);
  memcpy(path + pos, entry->bent_name, m);
  path[pos + m] = '\0';
}
