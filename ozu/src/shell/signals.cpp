// Signals and the window size. The handlers only count and note what came
// in a pipe; a service thread reports interrupts, forwards them to the
// gateway while it runs a command, and asks the main thread to end the
// session after three interrupts within three seconds.
#include "ozu_signals.h"

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <time.h>
#include <unistd.h>

#include <atomic>

#include "ozu_cmdread.h"
#include "ozu_context.h"
#include "ozu_log.h"
#include "ozu_startup.h"
#include "ozurc.h"
#include "ozuvars.h"
#include "quor_api.h"

namespace {

int notifyPipe[2] = {-1, -1};
std::atomic<int> shutdownRequested{0};
// Interrupts the handler noted and those the service thread reported.
std::atomic<unsigned> noted{0}, reported{0};
std::atomic<int> intenabled{0};
time_t ring[3] = {0, 0, 0};
int newest = 0;
bool setupDone = false, sizeFixed = false;

void note(char what)
{
  if (notifyPipe[1] >= 0) {
    ssize_t n = write(notifyPipe[1], &what, 1);
    (void)n;
  }
}

void signalInterrupt(int)
{
  int saved = errno;
  interrupted.fetch_add(1);
  noted.fetch_add(1);
  note('I');
  errno = saved;
}

void signalQuit(int)
{
  int saved = errno;
  int cur = exitcode.load();
  while (cur <= 68 && !exitcode.compare_exchange_weak(cur, 69)) {
  }
  note('Q');
  errno = saved;
}

// The last resort when the main thread cannot reach a safe point (a
// gateway that never answers): history saved, then out.
void forcedEnd(void)
{
  for (int i = 0; i < 50; ++i) {
    usleep(100000);
    if (shutdownRequested.load() == 2)
      return;  // the main thread is ending the session
  }
  ozu_CmdSaveHistory();
  fflush(nullptr);
  _exit(exitcode.load());
}

void *serviceThread(void *)
{
  for (;;) {
    char what;
    ssize_t n = read(notifyPipe[0], &what, 1);
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0)
      return nullptr;
    if (what == 'Q') {
      fprintf(errFile, "\n%s\n", "<QUIT> signal received");
      fflush(errFile);
      continue;
    }
    fprintf(errFile, "*** interrupted ***\n");
    fflush(errFile);
    reported.fetch_add(1);
    time_t now = time(nullptr);
    ring[newest] = now;
    time_t oldest = ring[(newest + 1) % 3];
    if (now - oldest > 3) {
      newest = (newest + 1) % 3;
      if (cli_InProgress.load())
        ozugw_cli_SendInterrupt(1, 0);
      // A gateway that stopped answering would hold the main thread in
      // its wait for ever: the wait gives up if the silence goes on.
      quorex_InterruptWaits();
      continue;
    }
    fprintf(errFile, "*** killed due to 3 consecutive interrupts ***\n");
    fflush(errFile);
    exitcode.store(69);
    shutdownRequested.store(1, std::memory_order_release);
    forcedEnd();
  }
}

}  // namespace

void interruptAwaitReport(void)
{
  for (int i = 0; i < 100 && reported.load() < noted.load() && notifyPipe[0] >= 0; ++i)
    usleep(2000);
}

int ozu_ShutdownRequested(void)
{
  if (shutdownRequested.load() == 0)
    return 0;
  shutdownRequested.store(2);
  return 1;
}

void interruptSetup(void)
{
  if (debug > 1) {
    fprintf(stderr, "/debug/ %s: Setting SIGPIPE to SIG_IGN\n", "interruptSetup");
    fprintf(stderr, "/debug/ %s: Setting SIGQUIT to <quit> handler\n", "interruptSetup");
  }
  if (signal(SIGPIPE, SIG_IGN) == SIG_ERR)
    fprintf(stderr, "*** %s: Error %d trying set set SIGPIPE to SIG_IGN!\n", "interruptSetup",
            errno);
  interruptCatch();
  struct sigaction sa;
  memset(&sa, 0, sizeof sa);
  sa.sa_handler = signalQuit;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_RESTART;
  sigaction(SIGQUIT, &sa, nullptr);
}

void interruptCatch(void)
{
  // Only the main thread's waits, the ones the user sits in front of.
  quorex_WaitsInterruptible(1);
  if (notifyPipe[0] < 0 && pipe2(notifyPipe, O_CLOEXEC) == 0) {
    pthread_t t;
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    // Signals go to the main thread, never to this one.
    sigset_t all, old;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, &old);
    if (pthread_create(&t, &attr, serviceThread, nullptr) != 0) {
      close(notifyPipe[0]);
      close(notifyPipe[1]);
      notifyPipe[0] = notifyPipe[1] = -1;
    }
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    pthread_attr_destroy(&attr);
  }
  interruptEnable();
}

// The handler, once in place, stays for the whole session: the disposition
// it replaced is the default one, and a Ctrl-C at the prompt, in a wait or
// between two commands would then end the shell with nothing saved.
void interruptEnable(void)
{
  if (intenabled.load())
    return;
  struct sigaction sa;
  memset(&sa, 0, sizeof sa);
  sa.sa_handler = signalInterrupt;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_RESTART;
  if (sigaction(SIGINT, &sa, nullptr) == 0)
    intenabled.store(1);
}

void interruptClear(void) {}

void ozu_Abort(void)
{
  int zero = 0;
  exitcode.compare_exchange_strong(zero, 70);
  if (logfileFlag && fdLog)
    fflush(fdLog);
  if (listF)
    fflush(listF);
  fprintf(errFile, "*** ozu_Abort: Killing this process (pid %d)\n", int(getpid()));
  fflush(errFile);
  raise(SIGSEGV);
  exit(exitcode.load());
}

int ozu_SetWindowSize(void)
{
  if (!setupDone) {
    if (!isatty2) {
      sizeFixed = true;
      if (page_width == 0)
        page_width = 80;
      if (page_length == 0)
        page_length = 24;
      sesskeyset.cols_per_line = page_width;
      sesskeyset.lines_per_page = page_length;
      return ozugw_cli_SetWindowSize(page_length, page_width);
    }
    const char *term = getenv("TERM");
    if (term == nullptr || strcmp(term, "network") == 0 || strcmp(term, "unknown") == 0) {
      page_width = 80;
      page_length = 24;
      sesskeyset.cols_per_line = page_width;
      sesskeyset.lines_per_page = page_length;
      fprintf(ttyOut, "(TERM environment variable not set. Using default screen size %dx%d)\n",
              page_width, page_length);
      return 0;
    }
    setupDone = true;
  }
  if (sizeFixed)
    return 0;
  struct winsize ws;
  if (ioctl(1, TIOCGWINSZ, &ws) == 0) {
    if (ws.ws_row != 0)
      page_length = ws.ws_row;
    if (ws.ws_col != 0)
      page_width = ws.ws_col;
  }
  if (debug > 3)
    fprintf(listF, "/debug/getting window info - width: %d Pagelen: %d\n", page_width, page_length);
  sesskeyset.cols_per_line = page_width;
  sesskeyset.lines_per_page = page_length;
  return ozugw_cli_SetWindowSize(page_length, page_width);
}
