// The progress line of the transfer commands and the thread services the
// whole shell creates its threads, sleeps and yields through.
#include <errno.h>
#include <pthread.h>
#include <sched.h>
#include <string.h>
#include <time.h>

#include "ozu_locks.h"
#include "ozu_log.h"
#include "ozu_misc.h"
#include "ozurc.h"
#include "ozuvars.h"
#include "quor_api_internal.h"
#include "xfer_record.h"

namespace {

struct divisor {
  double div;
  const char *unit;
};
const divisor divisorTab[] = {{1e12, "TB"}, {1e9, "GB"}, {1e6, "MB"},
                              {1e3, "KB"},  {1, "B "},   {0, "  "}};

const divisor &unitOf(double v)
{
  for (const divisor &d : divisorTab)
    if (d.div <= v)
      return d;
  return divisorTab[5];
}

pthread_mutex_t progressMutex;
pthread_cond_t progressCondition;
int progressVarsInitted = 0;
int progressThreadActive = 0;
int readWriteCmdActive = 0;
pthread_once_t progressOnce = PTHREAD_ONCE_INIT;

void ozu_InitProgressVars(void)
{
  int rc = pthread_mutex_init(&progressMutex, nullptr);
  if (rc != 0) {
    fprintf(errFile, "*** %s: Error %d initializing mutex: progressMutex\n", "ozu_InitProgressVars", rc);
    return;
  }
  rc = pthread_cond_init(&progressCondition, nullptr);
  if (rc != 0) {
    fprintf(errFile, "*** %s: Error %d initializing condition: progressCondition\n",
            "ozu_InitProgressVars", rc);
    return;
  }
  progressVarsInitted = 1;
}

void *ozu_XferProgressThread(void *)
{
  bool shown = false;
  for (;;) {
    pthread_mutex_lock(&progressMutex);
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    ts.tv_nsec += 500000000;
    if (ts.tv_nsec >= 1000000000) {
      ts.tv_sec++;
      ts.tv_nsec -= 1000000000;
    }
    if (readWriteCmdActive || shown)
      pthread_cond_timedwait(&progressCondition, &progressMutex, &ts);
    int cmdActive = readWriteCmdActive;
    pthread_mutex_unlock(&progressMutex);

    ozu_XferTableLock();
    if (ozu_ActiveTransfers == 0) {
      if (cmdActive) {
        ozu_XferTableUnlock();
        continue;
      }
      if (shown)
        ozu_ConsoleMessage("");
      ozu_XferTableUnlock();
      pthread_mutex_lock(&progressMutex);
      progressThreadActive = 0;
      pthread_cond_broadcast(&progressCondition);
      pthread_mutex_unlock(&progressMutex);
      return nullptr;
    }
    double T = 0, D = 0;
    int A = 0;
    for (transfer_t *t = ozu_XferTable; t != nullptr && A < ozu_ActiveTransfers; t = t->next) {
      if (t->busystate != TRANSFER_ENTRY_ACTIVE || !t->transfer_active)
        continue;
      A++;
      T += double(t->transferLength.load());
      D += double(t->currentSrcAddr.load()) - double(t->srcOffset.load()) +
           double(t->currentSrcOffset.load());
    }
    int queued = ozu_QueuedTransfers, done = ozu_CompletedXfers, failed = ozu_FailedXfers;
    ozu_XferTableUnlock();
    char line[256];
    ozu_FormatProgressLine(line, sizeof line, A, queued, T, D, done, failed);
    ozu_ConsoleMessage(line);
    shown = true;
  }
}

}  // namespace

void ozu_FormatProgressLine(char *out, size_t size, int active, int queued, double T, double D,
                            int done, int failed)
{
  double pct = T > 1 ? D / T * 100.0 : 0.0;
  const divisor &ut = unitOf(T);
  const divisor &ud = unitOf(D);
  snprintf(out, size,
           "Active: %3d, Queued %5d [In-flight: %.2f%s Xferred: %.2f%s %3.2f%%] [Done: %d Failed: %d]",
           active, queued, T > 0 && ut.div > 0 ? T / ut.div : 0.0, ut.unit,
           D > 0 && ud.div > 0 ? D / ud.div : 0.0, ud.unit, pct, done, failed);
}

void ozu_LaunchXferProgressThread(void)
{
  if (!progressFlag || !isatty2)
    return;
  int rc = pthread_once(&progressOnce, ozu_InitProgressVars);
  if (rc != 0) {
    fprintf(errFile, "*** %s: error %d on pthread_once call\n", "ozu_LaunchXferProgressThread", rc);
    return;
  }
  if (!progressVarsInitted)
    return;
  pthread_mutex_lock(&progressMutex);
  readWriteCmdActive = 1;
  if (!progressThreadActive) {
    pthread_t id;
    if (ozu_ThreadCreate(&id, nullptr, ozu_XferProgressThread, nullptr) == 0) {
      pthread_detach(id);
      progressThreadActive = 1;
      if (debug >= 1)
        fprintf(listF, "[debug]%s: launched xfer progress thread\n", "ozu_LaunchXferProgressThread");
    } else {
      char msg[256];
      snprintf(msg, sizeof msg, "*** %s: Unrecoverable error(s) launching progress-message thread",
               "ozu_LaunchXferProgressThread");
      setExitResult(71, msg, 6);
      readWriteCmdActive = 0;
    }
  }
  pthread_mutex_unlock(&progressMutex);
}

int ozu_StopXferProgressThread(void)
{
  if (!progressVarsInitted)
    return 0;
  pthread_mutex_lock(&progressMutex);
  readWriteCmdActive = 0;
  while (progressThreadActive) {
    pthread_cond_broadcast(&progressCondition);
    pthread_cond_wait(&progressCondition, &progressMutex);
  }
  pthread_mutex_unlock(&progressMutex);
  return 0;
}

int ozu_ThreadAttrInit(pthread_attr_t *attr)
{
  memset(static_cast<void *>(attr), 0, sizeof *attr);
  char msg[256];
  if (pthread_attr_init(attr) != 0) {
    snprintf(msg, sizeof msg, "*** %s: failed to set thread attributes at line %d\n",
             "ozu_ThreadAttrInit", 1);
    setExitResult(71, msg, 6);
    return -1;
  }
  size_t stack = globalDefs.threadStackSize > 0 ? size_t(globalDefs.threadStackSize) : 1u << 20;
  if (clThreadStacksize > 0)
    stack = size_t(clThreadStacksize);
  if (pthread_attr_setstacksize(attr, stack) != 0) {
    snprintf(msg, sizeof msg, "*** %s: failed to set thread attributes at line %d\n",
             "ozu_ThreadAttrInit", 2);
    setExitResult(71, msg, 6);
    pthread_attr_destroy(attr);
    return -1;
  }
  return 0;
}

int ozu_ThreadCreate(pthread_t *id, pthread_attr_t *attr, void *(*start)(void *), void *arg)
{
  pthread_attr_t own;
  pthread_attr_t *use = attr;
  if (use == nullptr) {
    if (ozu_ThreadAttrInit(&own) < 0)
      return -1;
    use = &own;
  }
  int rc = 0;
  for (int attempt = 0; attempt < 5; ++attempt) {
    rc = pthread_create(id, use, start, arg);
    if (rc == 0 || rc != EAGAIN)
      break;
    if (attempt < 4)
      ozugw_ThreadSleep(1, 0);
  }
  if (use == &own)
    pthread_attr_destroy(&own);
  if (rc != 0) {
    char msg[256];
    snprintf(msg, sizeof msg, "*** %s: Unrecoverable error(s) launching thread - last error=%d",
             "ozu_ThreadCreate", rc);
    setExitResult(71, msg, 6);
    return -1;
  }
  return 0;
}

void ozu_ThreadSleep(int seconds, int usecs) { ozugw_ThreadSleep(seconds, usecs); }

void ozu_ThreadYield(void) { sched_yield(); }
