// Thread creation with the library's stack size and retries, and the one
// sleep and clock that every long wait of the library goes through.
#include <errno.h>
#include <sched.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <mutex>

#include "quor_api_internal.h"

size_t ozugw_thread_ssize = 1048576;

double qelapi_time_scale(void) {
  static double scale = [] {
    const char* s = getenv("QUOR_TEST_TIMESCALE");
    double v = s ? strtod(s, nullptr) : 1.0;
    return v >= 1.0 ? v : 1.0;
  }();
  return scale;
}

time_t qelapi_time(void) { return time(nullptr); }

int ozugw_ThreadAttrInit(pthread_attr_t* theAttr) {
  memset(theAttr, 0, sizeof *theAttr);
  int rc = pthread_attr_init(theAttr);
  if (rc != 0) {
    fprintf(stderr, "*** %s: failed to set thread attributes (error=%d) at line %d\n", __func__,
            rc, __LINE__);
    QEL_LOG(3, "*** %s: failed to set thread attributes (error=%d) at line %d\n", __func__, rc,
            __LINE__);
    return -1;
  }
  rc = pthread_attr_setstacksize(theAttr, ozugw_thread_ssize);
  if (rc != 0) {
    fprintf(stderr, "*** %s: failed to set thread attributes (error=%d) at line %d\n", __func__,
            rc, __LINE__);
    QEL_LOG(3, "*** %s: failed to set thread attributes (error=%d) at line %d\n", __func__, rc,
            __LINE__);
    pthread_attr_destroy(theAttr);
    return -1;
  }
  return 0;
}

int ozugw_ThreadCreate(pthread_t* retThreadID, pthread_attr_t* threadAttr,
                       void* (*start_routine)(void*), void* threadArg) {
  pthread_attr_t attr;
  if (threadAttr != nullptr) {
    attr = *threadAttr;
  } else if (ozugw_ThreadAttrInit(&attr) != 0) {
    return -1;
  }
  int rc = 0;
  for (int attempt = 0; attempt < 5; attempt++) {
    rc = pthread_create(retThreadID, &attr, start_routine, threadArg);
    if (rc == 0) break;
    if (rc != EAGAIN) break;
    ozugw_ThreadSleep(1, 0);
  }
  if (threadAttr == nullptr) pthread_attr_destroy(&attr);
  if (rc != 0) {
    fprintf(stderr, "*** %s: Unrecoverable error(s) launching thread - last error=%d\n",
            __func__, rc);
    QEL_LOG(3, "*** %s: Unrecoverable error(s) launching thread - last error=%d", __func__, rc);
    return -1;
  }
  return 0;
}

void ozugw_ThreadSleep(int Seconds, int Usecs) {
  double scale = qelapi_time_scale();
  long long ns = (static_cast<long long>(Seconds) * 1000000 + Usecs) * 1000;
  ns = static_cast<long long>(static_cast<double>(ns) / scale);
  struct timespec ts;
  ts.tv_sec = static_cast<time_t>(ns / 1000000000);
  ts.tv_nsec = static_cast<long>(ns % 1000000000);
  // A signal restarts the whole interval, not the remainder.
  while (nanosleep(&ts, nullptr) != 0 && errno == EINTR) {
  }
}

void ozugw_ThreadYield(void) { sched_yield(); }

int64_t quor_EioRetry(const std::function<int64_t()>& call,
                      const std::function<void(const char*)>& say) {
  int64_t rc = call();
  if (rc != -5) return rc;
  for (int delay = 10; rc == -5; delay *= 6) {
    if (delay > 360) {
      say("QUOR EIO error, aborting");
      return rc;
    }
    char msg[80];
    snprintf(msg, sizeof msg, "QUOR EIO error, will retry in %d seconds", delay);
    say(msg);
    ozugw_ThreadSleep(delay, 0);
    rc = call();
  }
  say("QUOR recovered from EIO error after retry");
  return rc;
}

struct timespec qelapi_Deadline(int Seconds) {
  struct timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  long long ns = static_cast<long long>(static_cast<double>(Seconds) * 1e9 / qelapi_time_scale());
  long long total = static_cast<long long>(now.tv_nsec) + ns % 1000000000;
  struct timespec dl;
  dl.tv_sec = now.tv_sec + static_cast<time_t>(ns / 1000000000 + total / 1000000000);
  dl.tv_nsec = static_cast<long>(total % 1000000000);
  return dl;
}
