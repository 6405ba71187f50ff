// The SAN3P device-id cache, disk labels and raw disk parameters; see
// quor_san3p.h.
//
// The cache is rebuilt from the file as a whole: a load fills a new table,
// which replaces the old one (freed), so entries of earlier loads neither
// pile up nor outlive the file. Entries read before a bad line stay.
#include <errno.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <string>

#include "quor_api_internal.h"
#include "quor_convert.h"
#include "quor_net.h"
#include "quor_san3p.h"
#include "san3p_internal.h"

namespace {

const int kBuckets = 11;
const int kFieldMax = 63;  // path and UUID text
const double kCheckSeconds = 120;
const double kNewerSeconds = 300;
const size_t kTableImage = 452;  // the label record in memory

typedef struct devid_entry {
  quor_uuid_t Id;
  char* Path;
  uint64_t PortWWN;
  struct devid_entry* Next;
} devid_entry_t;

pthread_mutex_t DevIDHashLock = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t GeneratingDevIDFileCond = PTHREAD_COND_INITIALIZER;
devid_entry_t* DevIDHashTable[kBuckets];
double DevIDCacheTime = 0;  // wall clock of the last good load, 0: never or due
double DevIDLastCacheCheck = 0, DevIDLastTableCheck = 0;
std::string DevIDFileName;
bool GeneratingDevIDFile = false;
unsigned loads = 0;

double wallNow(void) {
  struct timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

// The re-check interval runs on the library's time scale, so that tests
// need not wait two minutes; file times are compared in real seconds.
double checkInterval(void) { return kCheckSeconds / qelapi_time_scale(); }

std::string fileName(void) {
  const char* dir = getenv("QUOR_TEST_SAN3P_DIR");
  return std::string(dir && *dir ? dir : "/var/tmp") + "/quor_san3p.0.ids";
}

void freeTable(devid_entry_t** table) {
  for (int b = 0; b < kBuckets; b++) {
    for (devid_entry_t* e = table[b]; e;) {
      devid_entry_t* next = e->Next;
      free(e->Path);
      free(e);
      e = next;
    }
    table[b] = nullptr;
  }
}

// 1 when the file predates the last boot.
int DeviceIDFileIsOld(double UpdateTime) {
  long up = 0;
  if (FILE* f = fopen("/proc/uptime", "r")) {
    if (fscanf(f, "%ld", &up) != 1) up = 0;
    fclose(f);
  }
  return UpdateTime < wallNow() - double(up) ? 1 : 0;
}

// Writes a fresh device-id file; this system has nothing to write it from.
int GenerateDeviceIDFile(const char*) { return 0; }

// A field of at most kFieldMax characters, ending at white space: the
// position after it, or null when it is missing or longer.
const char* field(const char* p, char* out) {
  while (*p == ' ' || *p == '\t') p++;
  size_t n = strcspn(p, " \t");
  if (n == 0 || n > size_t(kFieldMax)) return nullptr;
  memcpy(out, p, n);
  out[n] = '\0';
  return p + n;
}

// Up to 8 hex digits after optional blanks: the position after them, or
// null without any.
const char* hex32(const char* p, uint32_t* v) {
  while (*p == ' ' || *p == '\t') p++;
  int n = 0;
  uint32_t x = 0;
  for (; n < 8; n++, p++) {
    int d;
    if (*p >= '0' && *p <= '9') d = *p - '0';
    else if (*p >= 'a' && *p <= 'f') d = *p - 'a' + 10;
    else if (*p >= 'A' && *p <= 'F') d = *p - 'A' + 10;
    else break;
    x = (x << 4) | unsigned(d);
  }
  if (n == 0) return nullptr;
  *v = x;
  return p;
}

// Loads IDFile into table (empty on entry): 0, or the first error; the
// entries before a bad line stay in table.
int CacheDeviceIDFile(const char* IDFile, devid_entry_t** table) {
  const char* who = "CacheDeviceIDFile";
  FILE* f = fopen(IDFile, "re");
  if (!f) {
    int err = errno;
    quor_SAN3PSetErrorText(who, "Failure opening id file %s: %s\n", IDFile, strerror(err));
    return -err;
  }
  char line[512];
  int lineNum = 0, rc = 0;
  while (rc == 0 && fgets(line, sizeof line, f)) {
    lineNum++;
    size_t len = strlen(line);
    bool whole = len > 0 && line[len - 1] == '\n';
    if (whole) line[--len] = '\0';
    if (line[0] == '#') {
      // The rest of an over-long comment is comment too.
      while (!whole && fgets(line, sizeof line, f)) whole = strchr(line, '\n') != nullptr;
      continue;
    }
    char path[kFieldMax + 1], text[kFieldMax + 1];
    uint32_t hi = 0, lo = 0;
    int conversions = 0;
    const char* p = line;
    if ((p = field(p, path))) conversions++;
    if (p && (p = field(p, text))) conversions++;
    if (p && (p = hex32(p, &hi))) conversions++;
    if (p && (p = hex32(p, &lo))) conversions++;
    // A line longer than the buffer is no line of this file.
    if (conversions < 4 || (!whole && !feof(f))) {
      quor_SAN3PSetErrorText(who, "Format error in id file %s at line %d: rc = %d\n", IDFile,
                             lineNum, conversions);
      rc = -22;
      break;
    }
    quor_uuid_t id;
    memset(&id, 0, sizeof id);
    int urc = quor_uuid_from_string(text, &id);
    if (urc != 0) {
      quor_SAN3PSetErrorText(who, "UUID format error in id file %s at line %d\n", IDFile, lineNum);
      rc = urc;
      break;
    }
    auto* e = static_cast<devid_entry_t*>(calloc(1, sizeof(devid_entry_t)));
    char* copy = e ? strdup(path) : nullptr;
    if (!copy) {
      free(e);
      quor_SAN3PSetErrorText(who, "Failure allocating device file entry\n");
      rc = -12;
      break;
    }
    e->Id = id;
    e->Path = copy;
    e->PortWWN = (uint64_t(hi) << 32) | lo;
    int b = quor_uuid_hash(&id) % kBuckets;
    e->Next = table[b];
    table[b] = e;
  }
  fclose(f);
  return rc;
}

void finishRefresh(void) {
  GeneratingDevIDFile = false;
  pthread_cond_broadcast(&GeneratingDevIDFileCond);
}

// Brings the cache up to date; DevIDHashLock held. 0, or the error that
// ends the lookup (the load's error goes to *loadErr instead).
int refresh(double now, int* loadErr) {
  const char* who = "quor_SAN3PGetDevicePath";
  GeneratingDevIDFile = true;
  if (DevIDFileName.empty()) DevIDFileName = fileName();
  struct stat st;
  double fileTime = 0;
  if (stat(DevIDFileName.c_str(), &st) == 0) {
    fileTime = double(st.st_mtim.tv_sec) + double(st.st_mtim.tv_nsec) / 1e9;
  } else if (errno != ENOENT) {
    quor_SAN3PSetErrorText(who, "Can't determine modification time of %s:\n", DevIDFileName.c_str());
    finishRefresh();
    return -5000;
  }
  if (DevIDCacheTime == 0 || now - DevIDLastTableCheck > checkInterval()) {
    DevIDLastTableCheck = now;
    if (DeviceIDFileIsOld(fileTime)) {
      std::string name = DevIDFileName;
      pthread_mutex_unlock(&DevIDHashLock);
      int rc = GenerateDeviceIDFile(name.c_str());
      pthread_mutex_lock(&DevIDHashLock);
      DevIDCacheTime = 0;
      if (rc != 0) {
        quor_SAN3PSetErrorText(who, "Unable to generate device id file: %s\n", name.c_str());
        finishRefresh();
        return rc;
      }
    }
  }
  DevIDLastCacheCheck = now;
  if (DevIDCacheTime == 0 || DevIDCacheTime < fileTime - kNewerSeconds) {
    devid_entry_t* fresh[kBuckets] = {};
    *loadErr = CacheDeviceIDFile(DevIDFileName.c_str(), fresh);
    freeTable(DevIDHashTable);
    memcpy(DevIDHashTable, fresh, sizeof fresh);
    if (*loadErr == 0) {
      DevIDCacheTime = wallNow();
      loads++;
    }
  }
  finishRefresh();
  return 0;
}

uint32_t be32(const unsigned char* b) {
  uint32_t v;
  quor_decode_32(b, 0, &v);
  return v;
}

// The label area: whole blocks from byte 0 holding the table image.
size_t labelArea(uint32_t bs) { return (kTableImage + bs - 1) / bs * bs; }

}  // namespace

std::string san3p_DeviceIDFileName(void) {
  pthread_mutex_lock(&DevIDHashLock);
  std::string n = DevIDFileName.empty() ? fileName() : DevIDFileName;
  pthread_mutex_unlock(&DevIDHashLock);
  return n;
}

unsigned san3p_CacheLoads(void) {
  pthread_mutex_lock(&DevIDHashLock);
  unsigned n = loads;
  pthread_mutex_unlock(&DevIDHashLock);
  return n;
}

void san3p_ResetCacheForTest(void) {
  pthread_mutex_lock(&DevIDHashLock);
  freeTable(DevIDHashTable);
  DevIDCacheTime = DevIDLastCacheCheck = DevIDLastTableCheck = 0;
  DevIDFileName.clear();
  loads = 0;
  pthread_mutex_unlock(&DevIDHashLock);
}

int quor_SAN3PGetDevicePath(quor_uuid_t VolumeUUID, int DevPathLen, char* DevPath) {
  if (!DevPath || DevPathLen <= 0) return -22;
  double now = wallNow();
  int loadErr = 0, rc = 0;
  pthread_mutex_lock(&DevIDHashLock);
  while (GeneratingDevIDFile) pthread_cond_wait(&GeneratingDevIDFileCond, &DevIDHashLock);
  if (DevIDCacheTime == 0 || now - DevIDLastCacheCheck > checkInterval() ||
      now - DevIDLastTableCheck > checkInterval())
    rc = refresh(now, &loadErr);
  if (rc == 0) {
    int b = quor_uuid_hash(&VolumeUUID) % kBuckets;
    devid_entry_t* e = DevIDHashTable[b];
    while (e && !quor_uuid_equal(&e->Id, &VolumeUUID)) e = e->Next;
    if (!e) {
      rc = -2;
    } else if (strlen(e->Path) >= size_t(DevPathLen)) {
      rc = -34;  // a cut path would name another device
    } else {
      strcpy(DevPath, e->Path);
    }
  }
  pthread_mutex_unlock(&DevIDHashLock);
  return loadErr ? loadErr : rc;
}

int quor_SAN3PGetTableVersion(const san3p_part_tbl_t* Table, int* Version) {
  if (!Table || !Version) return -22;
  const size_t id = strlen(SAN3P_LABEL_ID);
  if (memcmp(Table->IdLabel, SAN3P_LABEL_ID, id) != 0) return -22;
  char digits[4];
  memcpy(digits, Table->IdLabel + id, 3);
  digits[3] = '\0';
  char* end = nullptr;
  long v = strtol(digits, &end, 10);
  if (end == digits || *end != '\0' || v < 0) return -22;
  *Version = int(v);
  return 0;
}

int quor_SAN3PGetRawDiskParams(int Fd, uint32_t* BlkSz, uint64_t* BlksOnDev) {
  const char* who = "GetRawDiskParams";
  if (!BlkSz || !BlksOnDev) return -22;
  struct stat st;
  if (fstat(Fd, &st) != 0) return -errno;
  if (S_ISREG(st.st_mode)) {
    // A regular file standing in for a disk: 512-byte sectors.
    *BlkSz = 512;
    *BlksOnDev = uint64_t(st.st_size) / 512;
    return 0;
  }
  int bs = 0;
  if (ioctl(Fd, BLKSSZGET, &bs) != 0 || bs <= 0) {
    int err = errno ? errno : EINVAL;
    quor_SAN3PSetErrorText(who, "ioctl(BLKSSZGET) failed: %s\n", strerror(err));
    return -err;
  }
  uint64_t bytes = 0;
  if (ioctl(Fd, BLKGETSIZE64, &bytes) != 0) {
    unsigned long sectors = 0;
    if (ioctl(Fd, BLKGETSIZE, &sectors) != 0) {
      int err = errno;
      quor_SAN3PSetErrorText(who, "ioctl(BLKGETSIZE) failed: %s\n", strerror(err));
      return -err;
    }
    bytes = uint64_t(sectors) * 512;
  }
  *BlkSz = uint32_t(bs);
  *BlksOnDev = bytes / uint32_t(bs);
  return 0;
}

int quor_SAN3PGetPartTable(int Fd, san3p_part_tbl_t* Table) {
  const char* who = "quor_SAN3PGetPartTable";
  if (!Table) return -22;
  uint32_t bs = 0;
  uint64_t blocks = 0;
  int rc = quor_SAN3PGetRawDiskParams(Fd, &bs, &blocks);
  if (rc != 0) return rc;
  size_t size = labelArea(bs);
  void* raw = nullptr;
  void* area = nullptr;
  if (quor_PAMalloc(size, &raw, &area) != 0) {
    quor_SAN3PSetErrorText(who, "Failure allocating partition table\n");
    return -12;
  }
  // The label lies at byte 0 wherever the descriptor stands.
  ssize_t n = pread(Fd, area, size, 0);
  if (n != ssize_t(size)) {
    quor_SAN3PSetErrorText(who, "read failed: %s\n", strerror(n < 0 ? errno : EIO));
    free(raw);
    return -5;
  }
  const unsigned char* b = static_cast<const unsigned char*>(area);
  memset(Table, 0, sizeof *Table);
  memcpy(Table->IdLabel, b, sizeof Table->IdLabel);
  int version = 0;
  if (quor_SAN3PGetTableVersion(Table, &version) != 0) {
    quor_SAN3PSetErrorText(who, "Couldn't get table version\n");
    free(raw);
    return -22;
  }
  if (version != 1 && version != 2) {
    quor_SAN3PSetErrorText(who, "Unsupported table version\n");
    free(raw);
    return -22;
  }
  memcpy(Table->UniqueID, b + 16, sizeof Table->UniqueID);
  Table->MediaBlockSize = be32(b + 52);
  int at = 56;
  if (version == 2) {
    Table->MediaBlocksMSB = be32(b + at);
    at += 4;
  }
  Table->MediaBlocksLSB = be32(b + at);
  Table->NumParts = be32(b + at + 4);
  at += 8;
  if (Table->NumParts > SAN3P_MAX_PARTS) {
    quor_SAN3PSetErrorText(who, "Invalid number of partitions\n");
    free(raw);
    return -22;
  }
  for (uint32_t i = 0; i < Table->NumParts; i++) {
    san3p_part_t& p = Table->Parts[i];
    memcpy(p.VolumeId, b + at, sizeof p.VolumeId);
    if (version == 2) {
      p.StartBlkMSB = be32(b + at + 6);
      p.StartBlkLSB = be32(b + at + 10);
      p.BlocksMSB = be32(b + at + 14);
      p.BlocksLSB = be32(b + at + 18);
      at += 22;
    } else {
      p.StartBlkLSB = be32(b + at + 6);
      p.BlocksLSB = be32(b + at + 10);
      at += 14;
    }
  }
  free(raw);
  return 0;
}

int quor_SAN3PUpdatePartTable(int Fd, const san3p_part_tbl_t* Table) {
  const char* who = "quor_SAN3PUpdatePartTable";
  if (!Table) return -22;
  uint32_t bs = 0;
  uint64_t blocks = 0;
  int rc = quor_SAN3PGetRawDiskParams(Fd, &bs, &blocks);
  if (rc != 0) return rc;
  int version = 0;
  if (quor_SAN3PGetTableVersion(Table, &version) != 0 || version != 2 ||
      Table->NumParts > SAN3P_MAX_PARTS)
    return -22;
  if (lseek(Fd, 0, SEEK_SET) != 0) {
    quor_SAN3PSetErrorText(who, "lseek(0) failed: %s\n", strerror(errno));
    return -5;
  }
  size_t size = labelArea(bs);
  void* raw = nullptr;
  void* area = nullptr;
  if (quor_PAMalloc(size, &raw, &area) != 0) {
    quor_SAN3PSetErrorText(who, "Failure allocating partition table\n");
    return -12;
  }
  unsigned char* b = static_cast<unsigned char*>(area);
  memset(b, 0, size);
  memcpy(b, Table->IdLabel, sizeof Table->IdLabel);
  memcpy(b + 16, Table->UniqueID, sizeof Table->UniqueID);
  quor_encode_32(b, 52, Table->MediaBlockSize);
  quor_encode_32(b, 56, Table->MediaBlocksMSB);
  quor_encode_32(b, 60, Table->MediaBlocksLSB);
  quor_encode_32(b, 64, Table->NumParts);
  for (uint32_t i = 0; i < Table->NumParts; i++) {
    const san3p_part_t& p = Table->Parts[i];
    int at = 68 + 22 * int(i);
    memcpy(b + at, p.VolumeId, sizeof p.VolumeId);
    quor_encode_32(b, at + 6, p.StartBlkMSB);
    quor_encode_32(b, at + 10, p.StartBlkLSB);
    quor_encode_32(b, at + 14, p.BlocksMSB);
    quor_encode_32(b, at + 18, p.BlocksLSB);
  }
  ssize_t n = write(Fd, b, size);
  int err = n < 0 ? errno : EIO;
  free(raw);
  if (n != ssize_t(size)) {
    quor_SAN3PSetErrorText(who, "write failed: %s\n", strerror(err));
    return -5;
  }
  return 0;
}
