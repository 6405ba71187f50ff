// Optional transfer paths: the local file path check against the "Local
// File Path" stanza, the local-file-mover, parallel-file-system and
// transfer-agent entry points (which no method choice selects), and the
// local I/O seam through which every transfer reads and writes local files.
#include <errno.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <string>

#include "ozu_errors.h"
#include "ozu_log.h"
#include "ozurc.h"
#include "ozuvars.h"
#include "quor_api.h"
#include "quorex_expire.h"
#include "quorcfgx_prototypes.h"
#include "quorcfgx_stanza.h"
#include "xfer_record.h"

namespace {

struct fstype_table_t {
  const char *fs_type_name;
  int fs_val;
};
const fstype_table_t fs_type[] = {
    {"unix", 0}, {"nfs", 1}, {"gpfs", 2}, {"lustre", 3}, {"panassas", 4}};

quor_cfg_stanza_t *lfm_cfg_stanza = nullptr;
std::once_flag lfmOnce;

void lfm_ParseConfig(void)
{
  lfm_cfg_stanza = nullptr;
  char path[QUOR_CFG_PATH_MAX + 1] = "";
  quor_cfg_stanza_t *tree = quorcfgx_ConfParse(path);
  if (tree == nullptr)
    return;
  quor_cfg_stanza_t *lfp = quor_CfgFindKey("Local File Path", tree, 0);
  if (lfp == nullptr || lfp->type != CFG_COMPOUND_TYPE)
    return;
  char host[65] = "";
  if (gethostname(host, sizeof host - 1) != 0) {
    fprintf(stderr, "*** [%s]Error %d getting local hostname\n", "lfm_ParseConfig", errno);
  } else if (quor_cfg_stanza_t *h = quorcfgx_LookupHostName(lfp->substanzaList, host)) {
    if (h->type == CFG_COMPOUND_TYPE)
      lfm_cfg_stanza = h;
    else
      fprintf(stderr,
              "(%s) WARNING: QUOR.conf error, line %d. Host stanza \"%s\", is not a compound-type stanza\n",
              "lfm_ParseConfig", int(h->LineNum), h->KeyString);
    return;
  }
  quor_cfg_stanza_t *d = quor_CfgFindKey("Default", lfp->substanzaList, 0);
  if (d == nullptr)
    return;
  if (d->type == CFG_COMPOUND_TYPE)
    lfm_cfg_stanza = d;
  else
    fprintf(stderr,
            "(%s) WARNING: QUOR.conf error, line %d. Default stanza is not a compound-type stanza\n",
            "lfm_ParseConfig", int(d->LineNum));
}

// The absolute path with the last component's symbolic links resolved.
char *lfm_AbsPath(const char *path)
{
  const char *me = "lfm_AbsPath";
  struct stat st;
  if (stat(path, &st) != 0 && errno != ENOENT) {
    if (isatty2)
      fprintf(stderr, "%s: Error %d trying to stat local file %s\n", me, errno, path);
    return nullptr;
  }
  char cwd[4097];
  if (getcwd(cwd, sizeof cwd) == nullptr) {
    if (isatty2)
      fprintf(stderr, "%s: Unable to determine current directory (errno=%d)\n", me, errno);
    return nullptr;
  }
  std::string dir = cwd, cur = path;
  for (int hops = 0; hops < 64; ++hops) {
    if (cur.empty() || cur[0] != '/')
      cur = dir + "/" + cur;
    if (cur.size() > 4096)
      cur.resize(4096);
    if (lstat(cur.c_str(), &st) != 0) {
      if (errno == ENOENT)
        break;
      if (isatty2)
        fprintf(stderr, "%s: error %d for lstat() of local file \"%s\"\n", me, -1, cur.c_str());
      return nullptr;
    }
    if (!S_ISLNK(st.st_mode))
      break;
    char target[4097];
    ssize_t n = readlink(cur.c_str(), target, 4096);
    if (n < 0) {
      if (isatty2)
        fprintf(stderr, "%s: error %d on readlink of symbolic link \"%s\"\n", me, -1, cur.c_str());
      return nullptr;
    }
    if (n == 0) {
      if (isatty2)
        fprintf(stderr, "%s: error - symbolic link \"%s\" points to an empty string\n", me,
                cur.c_str());
      return nullptr;
    }
    target[n] = '\0';
    if (target[0] == '/') {
      cur = target;
      dir = cur.substr(0, cur.rfind('/'));
    } else {
      dir = cur.substr(0, cur.rfind('/'));
      cur = dir + "/" + target;
      dir = cur.substr(0, cur.rfind('/'));
    }
  }
  char *out = strdup(cur.c_str());
  if (out == nullptr && isatty2)
    fprintf(stderr, "%s: malloc error on strdup of %s\n", me, cur.c_str());
  return out;
}

}  // namespace

int ozu_LFM_PathCheck(const char *path, int *fsType)
{
  std::call_once(lfmOnce, lfm_ParseConfig);
  if (lfm_cfg_stanza == nullptr || path == nullptr)
    return 0;
  char *abs = lfm_AbsPath(path);
  if (abs == nullptr)
    return 0;
  int found = 0;
  size_t alen = strlen(abs);
  for (quor_cfg_stanza_t *e = lfm_cfg_stanza->substanzaList; e != nullptr && !found; e = e->next) {
    if (e->type != CFG_FLAG_TYPE || e->KeyString == nullptr)
      continue;
    char text[4097];
    snprintf(text, sizeof text, "%s", e->KeyString);
    char *save = nullptr;
    char *dir = strtok_r(text, " \t\n", &save);
    if (dir == nullptr)
      continue;
    size_t dlen = strlen(dir);
    if (dlen >= alen || strncmp(dir, abs, dlen) != 0 || abs[dlen] != '/')
      continue;
    found = 1;
    if (fsType != nullptr) {
      *fsType = 0;
      char *word = strtok_r(nullptr, " \t\n", &save);
      if (word != nullptr) {
        bool known = false;
        for (const fstype_table_t &f : fs_type)
          if (strcasecmp(f.fs_type_name, word) == 0) {
            *fsType = f.fs_val;
            known = true;
          }
        if (!known && isatty2)
          fprintf(stderr, "%s: warning - unknown filesystem type '%s'. QUOR.conf line %d\n",
                  "ozu_LFM_PathCheck", word, int(e->LineNum));
      }
    }
  }
  free(abs);
  return found;
}

int ozu_LFM_IsCandidateFile(transfer_t *ctl)
{
  ozu_LFM_PathCheck(ctl->localFile.localPath, nullptr);
  return 0;
}

int ozu_LFM_WriteFile(transfer_t *)
{
  fprintf(listF, "*** ozu_LFM_WriteFile - need some code! ***\n");
  return -1;
}

int ozu_LFM_ReadFile(transfer_t *)
{
  fprintf(listF, "*** ozu_LFM_ReadFile - need some code! ***\n");
  return -1;
}

int ozu_UDA_SetExpirationTime(transfer_t *ctl, int copy)
{
  static const char *fn = "ozu_UDA_SetExpirationTime";
  const char *path = copy && ctl->quor2ndFile ? ctl->quor2ndFile->quorPath : ctl->quorFile.quorPath;
  if (ctl->serverRunmode != 1) {
    if (debug >= 2)
      fprintf(listF, "/debug/%s: Non-QUOR gateway - setting expiration times skipped for %s\n", fn, path);
    return 0;
  }
  if (!globalDefs.enableFileExpiration) {
    if (debug >= 2)
      fprintf(listF, "/debug/%s: Setting expiration times is disabled in globalDefs-not set for %s\n", fn, path);
    return 0;
  }
  char msg[4200];
  quor_fileattr_t attr;
  memset(&attr, 0, sizeof attr);
  int rc = ozu_EioRetry([&] { return quor_FileGetAttributes(path, &attr); });
  if (rc != 0) {
    snprintf(msg, sizeof msg, "*** %s: error %d on quor_FileGetAttributes call for '%s' - cannot set expiration",
             fn, rc, path);
    setExitResult(70, msg, 7);
    return rc;
  }
  uint64_t when = 0;
  if (quorex_ExpireLookupTime(&attr.Attrs, &when) != 0) {
    if (debug >= 2)
      fprintf(listF, "/debug/%s: No expiration time defined for %s - not set\n", fn, path);
    return 0;
  }
  if (debug >= 2) {
    time_t t = time_t(when);
    char date[32] = "";
    ctime_r(&t, date);
    fprintf(listF, "/debug/%s: setting expiration time to %lu(%24.24s) for %s\n", fn, (unsigned long)when, date,
            path);
  }
  rc = ozugw_UdaSetExpiration(path, when);
  if (rc != 0) {
    snprintf(msg, sizeof msg, "*** %s: error %d on ozugw_UdaSetExpiration call for '%s' - cannot set expiration",
             fn, rc, path);
    setExitResult(70, msg, 7);
    return rc;
  }
  return 0;
}

int check_gpfs_file(int) { return 0; }
ssize_t gpfs_read(int fd, void *buf, size_t len) { return ozu_LocalRead(fd, buf, len); }
ssize_t gpfs_write(int fd, const void *buf, size_t len) { return ozu_LocalWrite(fd, buf, len); }
int ozu_TA_WriteQuorFile(void) { return -1; }
int ozu_TA_ReadQuorFile(void) { return -1; }
int ozu_TA_WriteLocalFile(void) { return -1; }
int ozu_TA_ReadLocalFile(void) { return -1; }

// ---- the local I/O seam ----
// OZU_TEST_LOCAL_IO_FAULT="ERRNO COUNT [SKIP]": after SKIP calls went
// through, COUNT local writes (and reads) fail with ERRNO. Read once; never
// set outside tests.
namespace {

struct ioFault {
  int err = 0;
  std::atomic<long> left{0};
  std::atomic<long long> skip{0};
};

ioFault *faultPlan(void)
{
  static ioFault plan;
  static std::once_flag once;
  std::call_once(once, [] {
    const char *env = getenv("OZU_TEST_LOCAL_IO_FAULT");
    if (env == nullptr)
      return;
    int err = 0;
    long count = 0;
    long long after = 0;
    if (sscanf(env, "%d %ld %lld", &err, &count, &after) >= 2 && err > 0 && count > 0) {
      plan.err = err;
      plan.left = count;
      plan.skip = after;
    }
  });
  return &plan;
}

// 1 when this call is to fail (errno set).
int faultNow(size_t)
{
  ioFault *p = faultPlan();
  if (p->err == 0 || p->left.load() <= 0)
    return 0;
  if (p->skip.fetch_sub(1) > 0)
    return 0;
  if (p->left.fetch_sub(1) <= 0)
    return 0;
  errno = p->err;
  return 1;
}

}  // namespace

ssize_t ozu_LocalWrite(int fd, const void *buf, size_t len)
{
  if (faultNow(len))
    return -1;
  return write(fd, buf, len);
}

ssize_t ozu_LocalPwrite(int fd, const void *buf, size_t len, off_t off)
{
  if (faultNow(len))
    return -1;
  return pwrite(fd, buf, len, off);
}

ssize_t ozu_LocalRead(int fd, void *buf, size_t len)
{
  if (faultNow(len))
    return -1;
  return read(fd, buf, len);
}

ssize_t ozu_LocalPread(int fd, void *buf, size_t len, off_t off)
{
  if (faultNow(len))
    return -1;
  return pread(fd, buf, len, off);
}
