// The signal thread: SIGUSR1 starts a forced shutdown, SIGUSR2 writes the
// state dump. Both signals are blocked in every thread and taken here by
// sigwait.
//
// A thread blocked in a pipe nobody reads (or writes) would never see the
// shutdown flag. Such calls are marked while they run; during the grace
// period the signal thread keeps sending them a wake signal whose handler
// does nothing and is installed without SA_RESTART, so the call fails with
// EINTR and its caller finds the flag. The wake is sent again and again
// because one that lands just before the call begins is lost.
#include <errno.h>
#include <pthread.h>
#include <signal.h>
#include <string.h>
#include <unistd.h>

#include <mutex>

#include "brix.h"
#include "qel_threads.h"

namespace {

constexpr int kMaxBlockingCalls = 64;
// The grace period is cut into slices; the wake goes out at each.
constexpr int kGraceSeconds = 30;
constexpr int kWakeSliceUsecs = 50000;

struct blockingCall {
  pthread_t tid;
  bool used;
};
// Held while a mark is taken or dropped and while the wakes go out, so a
// thread is never signalled after its mark is gone.
std::mutex blockingLock;
blockingCall blockingCalls[kMaxBlockingCalls];

int wakeSignal() { return SIGRTMIN + 2; }

void wakeHandler(int) {}

void wakeBlockedCalls() {
  std::lock_guard<std::mutex> g(blockingLock);
  for (blockingCall& c : blockingCalls)
    if (c.used) pthread_kill(c.tid, wakeSignal());
}

sigset_t signalSet() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGUSR1);
  sigaddset(&set, SIGUSR2);
  return set;
}

}  // namespace

void brix_ForcedShutdown(void) {
  brix_SetProgramPhase(BTP_FORCED_SHUTDOWN);
  if (brix_option_flags & BRIX_OPT_STATUS_FIFO) brix_StatusMsg(1, "SHUTDOWN initiated");
  brix_shutdown_signalled = 1;
  // The running operation winds down by itself; a process still here after
  // the grace period is ended.
  for (int slice = 0; slice < kGraceSeconds * (1000000 / kWakeSliceUsecs); slice++) {
    wakeBlockedCalls();
    ozugw_ThreadSleep(0, kWakeSliceUsecs);
  }
  kill(getpid(), SIGKILL);
  _exit(70);
}

int brix_BlockingCallBegin(void) {
  std::lock_guard<std::mutex> g(blockingLock);
  for (int i = 0; i < kMaxBlockingCalls; i++)
    if (!blockingCalls[i].used) {
      blockingCalls[i].tid = pthread_self();
      blockingCalls[i].used = true;
      return i;
    }
  return -1;
}

void brix_BlockingCallEnd(int mark) {
  if (mark < 0 || mark >= kMaxBlockingCalls) return;
  std::lock_guard<std::mutex> g(blockingLock);
  blockingCalls[mark].used = false;
}

void brix_InterruptibleToEnd(void) { (void)brix_BlockingCallBegin(); }

void* brix_SignalThread(void*) {
  sigset_t set = signalSet();
  for (;;) {
    int sig = 0;
    if (sigwait(&set, &sig) != 0) continue;
    if (sig == SIGUSR2) {
      if (brix_debug_level > 0) {
        console_message("", "");
        fprintf(stderr, "%s: caught signal SIGUSR2\n", "brix_SignalThread");
      }
      brix_DumpStatus();
    } else if (sig == SIGUSR1) {
      if (brix_debug_level > 0) {
        console_message("", "");
        fprintf(stderr, "%s: caught signal SIGUSR1\n", "brix_SignalThread");
      }
      brix_ForcedShutdown();
    }
  }
  return nullptr;
}

int brix_SigInit(void) {
  struct sigaction wake;
  memset(&wake, 0, sizeof wake);
  wake.sa_handler = wakeHandler;
  sigemptyset(&wake.sa_mask);
  wake.sa_flags = 0;  // no SA_RESTART: a blocked call returns EINTR
  if (sigaction(wakeSignal(), &wake, nullptr) != 0) {
    fprintf(stderr, "%s (%s) error %d installing the wake handler (line %d)\n", "ERROR", "brix_SigInit", errno,
            __LINE__);
    brix_SetExitCode(71);
    return -1;
  }
  sigset_t set = signalSet();
  int rc = pthread_sigmask(SIG_BLOCK, &set, nullptr);
  if (rc != 0) {
    fprintf(stderr, "%s (%s) error %d initializing signal mask (line %d)\n", "ERROR", "brix_SigInit", rc,
            __LINE__);
    brix_SetExitCode(71);
    return -1;
  }
  pthread_t tid;
  if (ozugw_ThreadCreate(&tid, nullptr, brix_SignalThread, nullptr) == 0) pthread_detach(tid);
  return 0;
}
