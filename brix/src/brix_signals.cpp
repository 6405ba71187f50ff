// The signal thread: SIGUSR1 starts a forced shutdown, SIGUSR2 writes the
// state dump. Both signals are blocked in every thread and taken here by
// sigwait.
#include <errno.h>
#include <signal.h>
#include <string.h>
#include <unistd.h>

#include "brix.h"
#include "qel_threads.h"

namespace {

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
  ozugw_ThreadSleep(30, 0);
  kill(getpid(), SIGKILL);
  _exit(70);
}

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
