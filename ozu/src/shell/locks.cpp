// Global locks, the transfer-concurrency table and the parent-subsystem
// cache.
#include "ozu_locks.h"

#include <errno.h>
#include <inttypes.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/time.h>
#include <unistd.h>

#include <mutex>
#include <string>

#include "ozu_context.h"
#include "ozu_errors.h"
#include "ozu_log.h"
#include "ozu_paths.h"
#include "ozurc.h"
#include "ozuvars.h"
#include "quor_api.h"

namespace {

// Statically usable before start-up initialises them again.
pthread_mutex_t listingFileLock = PTHREAD_MUTEX_INITIALIZER;
pthread_mutex_t contextLock = PTHREAD_MUTEX_INITIALIZER;
pthread_mutex_t xferTableLock = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t xferTableCondition = PTHREAD_COND_INITIALIZER;

std::mutex cacheLock;
int cachedHandle = -1;
std::string cachedPath;
uint32_t cachedSubsysID = 0;

}  // namespace

int ozu_InitGlobalLocks(void)
{
  if (pthread_mutex_init(&listingFileLock, nullptr) != 0) {
    fprintf(errFile, "*** Error initializing mutex: listingFileLock\n");
    return -1;
  }
  if (pthread_mutex_init(&contextLock, nullptr) != 0) {
    fprintf(errFile, "*** Error initializing mutex: contextLock\n");
    return -1;
  }
  if (pthread_mutex_init(&xferTableLock, nullptr) != 0) {
    fprintf(errFile, "*** Error initializing mutex: xferTableLock\n");
    return -1;
  }
  if (pthread_cond_init(&xferTableCondition, nullptr) != 0) {
    fprintf(errFile, "*** Error initializing condition: xferTableCondition\n");
    return -1;
  }
  return 0;
}

int ozu_LockListingFile(void) { return -pthread_mutex_lock(&listingFileLock); }
int ozu_UnlockListingFile(void) { return -pthread_mutex_unlock(&listingFileLock); }
int ozu_LockSessContext(void) { return -pthread_mutex_lock(&contextLock); }
int ozu_UnlockSessContext(void) { return -pthread_mutex_unlock(&contextLock); }
int ozu_XferTableLock(void) { return -pthread_mutex_lock(&xferTableLock); }
int ozu_XferTableUnlock(void) { return -pthread_mutex_unlock(&xferTableLock); }
int ozu_XferTableSignal(void) { return -pthread_cond_signal(&xferTableCondition); }

int ozu_XferTableCondWait(int Seconds, int Usecs)
{
  int rc;
  if (Seconds == 0 && Usecs == 0) {
    rc = pthread_cond_wait(&xferTableCondition, &xferTableLock);
  } else {
    struct timeval now;
    if (gettimeofday(&now, nullptr) != 0)
      return -1;
    long usec = long(now.tv_usec) + Usecs;
    struct timespec until;
    until.tv_sec = now.tv_sec + Seconds + usec / 1000000;
    until.tv_nsec = (usec % 1000000) * 1000;
    rc = pthread_cond_timedwait(&xferTableCondition, &xferTableLock, &until);
  }
  if (rc == 0 || rc == EINVAL)
    return 0;
  return -rc;
}

int ozu_GetContextMaxXfers(ozu_context_t *TheContext)
{
  int count = 0;
  xfer_size_to_count_t *table = nullptr;
  int rc = quorex_ConfGetXferConcurrency(&count, &table);
  if (rc < 0) {
    fprintf(errFile,
            "*** %s: Warning - error %d getting max concurrent xfers from %s. Using default max "
            "xfer settings\n",
            "ozu_GetContextMaxXfers", rc, TheContext->quor_name ? TheContext->quor_name : "");
    free(table);
    table = nullptr;
    count = 0;
  }
  if (count < 0)
    count = 0;
  size_t size = sizeof(xfer_size_to_count_t) * size_t(count + 1);
  auto *grown = static_cast<xfer_size_to_count_t *>(realloc(table, size));
  if (grown == nullptr) {
    free(table);
    TheContext->xferSizeTable = nullptr;
    TheContext->xferSizeCount = 0;
    ozu_MallocError(long(size), "ozu_GetContextMaxXfers", __FILE__, __LINE__);
    return -12;
  }
  memset(&grown[count], 0, sizeof grown[count]);
  grown[count].max_xfers = globalDefs.maxXferThreads > 0 ? globalDefs.maxXferThreads : 20;
  free(TheContext->xferSizeTable);
  TheContext->xferSizeTable = grown;
  TheContext->xferSizeCount = count + 1;
  if (debug >= 2) {
    fprintf(listF, "/debug/ Max Concurrent xfers for server host %s = %d\n",
            TheContext->quor_name ? TheContext->quor_name : "", TheContext->xferSizeCount);
    for (int i = 0; i < TheContext->xferSizeCount; ++i)
      fprintf(listF, "Entry %d  Max xfers: %d min_size: %lu max size: %lu\n", i,
              grown[i].max_xfers, static_cast<unsigned long>(grown[i].min_size),
              static_cast<unsigned long>(grown[i].max_size));
  }
  return 0;
}

int ozu_GetMaxXfers(void)
{
  const ozu_context_t *ctx = keyset ? keyset->curContext : nullptr;
  int total = 0;
  for (int i = 0; ctx && ctx->xferSizeTable && i < ctx->xferSizeCount; ++i)
    total += ctx->xferSizeTable[i].max_xfers;
  if (globalDefs.maxXferThreads > 0 && globalDefs.maxXferThreads < total)
    total = globalDefs.maxXferThreads;
  if (debug >= 2)
    fprintf(listF, "%s: maximum concurrent transfers for this xfer: %d\n", "ozu_GetMaxXfers",
            total);
  return total;
}

int ozu_GetXferSizeInx(uint64_t FileSize)
{
  const ozu_context_t *ctx = keyset ? keyset->curContext : nullptr;
  for (int i = 0; ctx && ctx->xferSizeTable && i < ctx->xferSizeCount; ++i) {
    const xfer_size_to_count_t &e = ctx->xferSizeTable[i];
    if (e.min_size <= FileSize && (e.max_size == 0 || FileSize < e.max_size))
      return i;
  }
  char msg[512];
  snprintf(msg, sizeof msg,
           "*** %s: Internal Error: cannot find xferSizeTable entry for size = %llu (line %d, "
           "file %s)",
           "ozu_GetXferSizeInx", static_cast<unsigned long long>(FileSize), __LINE__, __FILE__);
  setExitResult(70, msg, 7);
  return -1;
}

long ozu_GetSysPageSize(void)
{
  long n = sysconf(_SC_PAGESIZE);
  return n > 0 ? n : 4096;
}

uint32_t ozu_GetParentSubsysID(const char *pathName)
{
  char path[4097];
  makeQUORpath_r(0, pathName, path);
  char *slash = strrchr(path, '/');
  if (slash == nullptr)
    fprintf(errFile, "*** %s: Internal error getting subsys parent for %s\n",
            "ozu_GetParentSubsysID", pathName);
  else if (slash == path)
    path[1] = '\0';
  else
    *slash = '\0';
  int handle = keyset && keyset->curContext ? keyset->curContext->handle : -1;
  std::lock_guard<std::mutex> hold(cacheLock);
  // Two connections may hold the same path; the cache is per connection.
  if (cachedSubsysID > 0 && cachedHandle == handle && cachedPath == path)
    return cachedSubsysID;
  quor_fileattr_t attrs;
  int rc = ozu_EioRetry([&] { return quor_FileGetAttributes(path, &attrs); });
  if (rc < 0) {
    setExitResult(72, quor_perror(rc, "quor_FileGetAttributes", path, nullptr), 7);
    return 0;
  }
  cachedHandle = handle;
  cachedPath = path;
  cachedSubsysID = attrs.Attrs.SubSystemId;
  return cachedSubsysID;
}
