// Thread start with the library's stack size and retries, the one sleep
// and clock every long wait goes through, and the EIO retry rule that
// waits on them. The programs include this, not quor_api_internal.h, for
// these alone.
#ifndef QEL_THREADS_H
#define QEL_THREADS_H

#include <pthread.h>
#include <stdint.h>
#include <time.h>

#include <functional>

int ozugw_ThreadAttrInit(pthread_attr_t* theAttr);
int ozugw_ThreadCreate(pthread_t* retThreadID, pthread_attr_t* threadAttr,
                       void* (*start_routine)(void*), void* threadArg);
void ozugw_ThreadSleep(int Seconds, int Usecs);
// The absolute time, for pthread_cond_timedwait, Seconds from now as the
// library's sleeps count them (scaled like ozugw_ThreadSleep).
struct timespec qelapi_Deadline(int Seconds);
void ozugw_ThreadYield(void);
// The one clock of the library's long waits. A test-only environment
// setting, QUOR_TEST_TIMESCALE=N, makes every sleep last 1/N as long.
time_t qelapi_time(void);
double qelapi_time_scale(void);

// Holds the calling thread's library calls to the connection Handle, so
// that a worker keeps speaking to its file's gateway while another thread
// switches the current connection; -1 lets them follow the current one
// again. A held connection that is closed or broken is not opened again
// from here unless it is the current one: the calls fail instead. 0, or -2
// when no connection has that handle; *Previous (may be null) gets the
// handle held before (-1: none).
int qelapi_PinThreadConnection(int Handle, int* Previous);

// The EIO retry rule: a call answered -5 (EIO) is made again after 10, 60
// and 360 seconds. say gets each of the rule's messages ("QUOR EIO error,
// will retry in %d seconds", "QUOR EIO error, aborting", "QUOR recovered
// from EIO error after retry"), without a newline. The last result.
int64_t quor_EioRetry(const std::function<int64_t()>& call,
                      const std::function<void(const char*)>& say);

#endif
