// The consistency record: built at create into the index header, written as
// the archive's last member, and compared between an index and its archive.
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <string>

#include "brix_blockio.h"
#include "brix_ustar.h"
#include "brix_index.h"

char* brix_cf_filename = nullptr;
int brix_cf_file_created = 0;

namespace {

constexpr uint64_t CF_SIZE = 256;
constexpr uint64_t CF_BLOCKS = 2;

// Creates the consistency file under its name, or under that name with a
// unique suffix when something already stands there: never truncating or
// following a file another user placed in a shared directory.
int createConsistencyFile(std::string& path) {
  int fd = open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd >= 0 || errno != EEXIST) return fd;
  std::string templ = path + "_XXXXXX";
  std::string buf = templ;
  fd = mkostemp(buf.data(), O_CLOEXEC);
  if (fd >= 0) path = buf;
  return fd;
}

}  // namespace

void brix_BuildConsistencyHeader(void) {
  bif_consistency_t* cf = &brix_index_hdr.bif_cfinfo;
  uint32_t now = uint32_t(time(nullptr));
  memcpy(cf->bif_inx_sanity, "BRIX_INX", 8);
  cf->bif_update_time = now;
  memset(cf->bif_mhost, 0, sizeof cf->bif_mhost);
  char host[256] = "";
  gethostname(host, sizeof host - 1);
  host[sizeof host - 1] = '\0';
  brix_strlcpy(cf->bif_mhost, host, sizeof cf->bif_mhost);
  uint32_t op = brix_function;
  if (op == BOP_CREATE || op == BOP_BUILD_INDEX || op == BOP_COPY || op == BOP_REPACK) {
    cf->bif_cf_version = 1;
    cf->bif_cf_rewrite_time = now;
    cf->bif_create_time = now;
    memcpy(cf->bif_chost, cf->bif_mhost, sizeof cf->bif_chost);
  }
  cf->bif_tarsize = brix_archive_blocks * 512;
  cf->bif_brix_filecount = uint64_t(brix_index_entries);
}

void brix_GetCfSizes(uint64_t* fileSize, uint64_t* blocks) {
  if (fileSize) *fileSize = CF_SIZE;
  if (blocks) *blocks = CF_BLOCKS;
}

int brix_WriteConsistencyFile(void) {
  const char* tmp = getenv("TMPDIR");
  if (!tmp || !*tmp) tmp = "/tmp";
  std::string path = std::string(tmp) + "/BRIX_CF_CHK_" + std::to_string(getpid()) + "_" +
                     std::to_string(long(time(nullptr)));
  int fd = createConsistencyFile(path);
  if (fd < 0) {
    int e = errno;
    brix_perror("open consistency file");
    brix_Log(BRIX_MSG_ERROR, "Fatal error %d creating consistency file %s\n", e, path.c_str());
    brix_SetExitCode(73);
    return -1;
  }
  char* copy = BRIX_STRDUP(path.c_str());
  if (!copy) {
    close(fd);
    unlink(path.c_str());
    return -1;
  }
  free(brix_cf_filename);
  brix_cf_filename = copy;
  bif_consistency_t disk = brix_index_hdr.bif_cfinfo;
  brix_SwapConsistency(&disk);
  ssize_t n;
  do {
    n = write(fd, &disk, sizeof disk);
  } while (n < 0 && errno == EINTR);
  int rc = 0;
  if (n != ssize_t(sizeof disk)) {
    int e = errno;
    brix_perror("write");
    brix_Log(BRIX_MSG_ERROR, "Fatal error %d writing consistency file %s\n", e, path.c_str());
    brix_SetExitCode(73);
    rc = -1;
  }
  // Removed at exit once it exists, written or not.
  brix_cf_file_created = 1;
  if (rc == 0 && brix_debug_level >= 1)
    fprintf(stderr, "/debug/ wrote consistency header file %s, %d bytes\n", path.c_str(),
            int(sizeof disk));
  close(fd);
  return rc;
}

int brix_WriteConsFileIndexEntry(int indexFd) {
  struct stat st;
  if (lstat(brix_cf_filename, &st) != 0) {
    brix_Log(BRIX_MSG_ERROR, "Fatal Error %d stat-ing Consistency File %s -cannot continue\n", errno,
             brix_cf_filename);
    brix_SetExitCode(72);
    return -1;
  }
  brix_FileSpec_t spec;
  brix_BuildFileSpec(BTO_FILE, uint64_t(-1), brix_cf_filename, nullptr, 0, &st, &spec);
  bif_entry_t entry;
  if (brix_IndexFromFileSpec(uint64_t(-1), &spec, &entry) != 0) return -1;
  brix_archive_blocks += entry.bent_blocks;
  brix_index_entries += 1;
  bif_entry_t disk = entry;
  brix_SwapIndexEntry(&disk);
  const unsigned char* p = reinterpret_cast<const unsigned char*>(&disk);
  size_t done = 0;
  while (done < sizeof disk) {
    ssize_t n = write(indexFd, p + done, sizeof disk - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      int e = errno;
      brix_perror("Write Index Entry");
      brix_Log(BRIX_MSG_ERROR, "Fatal Error %d writing Consistency File index entry %s\n", e,
               brix_tmpIndexFile ? brix_tmpIndexFile : "");
      return -1;
    }
    done += size_t(n);
  }
  if (brix_debug_level >= 2)
    fprintf(stderr, "/debug/wrote Index File entry for Consistency File %s\n", brix_cf_filename);
  return 0;
}

int brix_ReadArchiveCF(int archiveFd, int residency, uint64_t offset, bif_consistency_t* out) {
  uint64_t newOff = 0;
  if (brix_PositionFile(archiveFd, residency, offset, SEEK_SET, 0, &newOff) != 0) return -1;
  posix_header_t hdr;
  if (brix_ReadHdrBlock(archiveFd, &hdr) != 0) return -1;
  uint64_t size = brix_GetMemberFilesize(&hdr);
  if (size != CF_SIZE) {
    if (brix_debug_level >= 1)
      fprintf(stderr, "/debug/ bad consistency file size: %lu expected %d\n", (unsigned long)size,
            int(CF_SIZE));
    return -1;
  }
  bif_consistency_t cf;
  if (brix_ReadArchive(archiveFd, sizeof cf, &cf) != ssize_t(sizeof cf)) {
    brix_Log(BRIX_MSG_ERROR, "Error reading Consistency File in archive %s\n",
             brix_archive ? brix_archive : "");
    return -1;
  }
  if (memcmp(cf.bif_inx_sanity, "BRIX_INX", 8) != 0) {
    if (brix_debug_level >= 1)
      fprintf(stderr, "/debug/ bad consistency header: \"%.8s\" expected \"%s\"\n",
              cf.bif_inx_sanity, "BRIX_INX");
    return -1;
  }
  brix_SwapConsistency(&cf);
  *out = cf;
  return 0;
}

int brix_CheckConsistency(const bif_consistency_t* ix, const bif_consistency_t* ar) {
  static const char* fn = "brix_CheckConsistency";
  char a[9], b[9];
  memcpy(a, ix->bif_inx_sanity, 8);
  a[8] = '\0';
  memcpy(b, ar->bif_inx_sanity, 8);
  b[8] = '\0';
  bool dbg = brix_debug_level >= 1;
  if (strcmp(a, b) != 0) {
    if (dbg)
      fprintf(stderr, "%s: consistency check failed (sanity string=[%s](index),[%s](archive)])\n",
              fn, a, b);
    return 0;
  }
  if (ix->bif_cf_version != ar->bif_cf_version) {
    if (dbg)
      fprintf(stderr, "%s: consistency check failed (version=[0x%8.8x](index),[0x%8.8x](archive)])\n",
              fn, ix->bif_cf_version, ar->bif_cf_version);
    return 0;
  }
  if (ix->bif_cf_rewrite_time != ar->bif_cf_rewrite_time) {
    if (dbg)
      fprintf(stderr,
              "%s: consistency check failed (CF RewriteTime=[0x%8.8x](index),[0x%8.8x](archive)])\n",
              fn, ix->bif_cf_rewrite_time, ar->bif_cf_rewrite_time);
    return 0;
  }
  if (ix->bif_tarsize != ar->bif_tarsize) {
    if (dbg)
      fprintf(stderr, "%s: consistency check failed ArchiveSize=[%lu] (from index) [%lu](from archive)\n",
              fn, (unsigned long)ix->bif_tarsize, (unsigned long)ar->bif_tarsize);
    return 0;
  }
  if (ix->bif_brix_filecount != ar->bif_brix_filecount) {
    if (dbg)
      fprintf(stderr,
              "%s: consistency check failed Archive Object Count=[%lu] (from index) %lu](from archive)\n",
              fn, (unsigned long)ix->bif_brix_filecount, (unsigned long)ar->bif_brix_filecount);
    return 0;
  }
  return 1;
}

int brix_VerifyConsistencyFile(int archiveFd, int archiveResidency, int indexFd,
                               int indexResidency) {
  if (brix_index_entries == 0) {
    brix_Log(BRIX_MSG_ERROR, "Fatal error reading Consistency File index entry - cannot continue\n");
    return -1;
  }
  uint32_t last = brix_index_entries - 1;
  bif_entry_t entry;
  if (brix_IndexReadRandomEntry(indexFd, indexResidency, last, &entry) != 0) {
    brix_Log(BRIX_MSG_ERROR, "Fatal error reading Consistency File index entry - cannot continue\n");
    return -1;
  }
  if (entry.bent_offset + 3 != brix_archive_blocks) {
    brix_Log(BRIX_MSG_ERROR, "Incorrect Consistency File offset (%lu) in Index entry %d. Should be %lu\n",
             (unsigned long)entry.bent_offset, int(last), (unsigned long)(brix_archive_blocks - 3));
    return -1;
  }
  uint64_t offset = entry.bent_offset * 512;
  if (brix_debug_level >= 2)
    fprintf(stderr, "/debug/fetching Consistency File header from Archive at offset=%lu\n",
            (unsigned long)offset);
  bif_consistency_t fromArchive;
  if (brix_ReadArchiveCF(archiveFd, archiveResidency, offset, &fromArchive) != 0) {
    brix_Log(BRIX_MSG_ERROR, "Error fetching Consistency File entry from Archive at offset=%lu\n",
             (unsigned long)offset);
    return -1;
  }
  if (!brix_CheckConsistency(&brix_index_hdr.bif_cfinfo, &fromArchive)) {
    brix_Log(BRIX_MSG_ERROR, "Fatal: Index file %s is inconsistent with Archive File %s\n",
             brix_index_filename ? brix_index_filename : "", brix_archive ? brix_archive : "");
    return -1;
  }
  if (brix_IndexFileRewind(indexFd, indexResidency) != 0) {
    brix_Log(BRIX_MSG_ERROR, "Fatal: error repositioning Index file %s\n",
             brix_index_filename ? brix_index_filename : "");
    return -1;
  }
  return 0;
}
