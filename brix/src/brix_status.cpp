// Program phases, the status FIFO (one NUL-terminated line per event and a
// heartbeat when nothing happens) and the state dump of SIGUSR2.
#include <errno.h>
#include <sched.h>
#include <stdarg.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <string>

#include "brix.h"
#include "qel_threads.h"

namespace {

struct phaseRow {
  int number;
  const char* name;
};

const phaseRow phaseTable[] = {
    {BTP_OPEN_CONNECTION, "OPEN_CONNECTION"},
    {BTP_SHUTDOWN, "SHUTDOWN"},
    {BTP_FORCED_SHUTDOWN, "FORCED_SHUTDOWN"},
    {BTP_GEN_FILELIST, "GEN_FILELIST"},
    {BTP_CREATE_WRITEARCHIVE, "CREATE-WRITE_ARCHIVE"},
    {BTP_CREATE_VERIFYARCHIVE, "CREATE-VERIFY_ARCHIVE"},
    {BTP_CREATE_COPYINDEX, "CREATE-COPY_INDEX"},
    {BTP_CREATE_RMLOCAL, "CREATE-RM_LOCALFILES"},
    {BTP_EXTRACT_OPEN_FILES, "EXTRACT-OPEN_FILES"},
    {BTP_EXTRACT_PASS1, "EXTRACT-PASS1"},
    {BTP_EXTRACT_READARCHIVE, "EXTRACT-READ_ARCHIVE"},
    {BTP_LIST_OPENINDEX, "LIST-OPEN_INDEX"},
    {BTP_LIST_READINDEX, "LIST-READ_INDEX"},
    {BTP_BLDIDX_OPENFILES, "BUILD_INDEX-OPEN_FILES"},
    {BTP_BLDIDX_READARCHIVE, "BUILD_INDEX-READ_ARCHIVE"},
    {BTP_VERIFY_PASS1, "VERIFY-PASS1"},
    {BTP_VERIFY_PASS2, "VERIFY-PASS2"},
};

std::atomic<int> brix_prog_phase{0};
pthread_mutex_t statusFifoLock = PTHREAD_MUTEX_INITIALIZER;
pthread_mutex_t listingFileLock = PTHREAD_MUTEX_INITIALIZER;
char* status_msgline = nullptr;
const size_t status_msglen = 1024;
char pid_str[32] = "";
FILE* brix_state_file = nullptr;
bool stateFileChosen = false;
bool stateFileOwned = false;

// Writes the pending line and its NUL in one write (SIGPIPE is ignored for
// the whole run), then empties it. Called under statusFifoLock.
void writePending() {
  if (brix_status_pipefd < 0 || !status_msgline || !status_msgline[0]) return;
  size_t n = strlen(status_msgline) + 1;
  ssize_t w = write(brix_status_pipefd, status_msgline, n);
  (void)w;  // a full pipe or a departed reader loses the line; the run goes on
  status_msgline[0] = '\0';
}

}  // namespace

int brix_InitGlobalLocks(void) { return 0; }
int brix_LockListingFile(void) { return pthread_mutex_lock(&listingFileLock); }
int brix_UnlockListingFile(void) { return pthread_mutex_unlock(&listingFileLock); }
int brix_LockStatusFifo(void) { return pthread_mutex_lock(&statusFifoLock); }
int brix_UnlockStatusFifo(void) { return pthread_mutex_unlock(&statusFifoLock); }

void brix_SetProgramPhase(int phase) { brix_prog_phase = phase; }
int brix_GetProgramPhase(void) { return brix_prog_phase; }

const char* brix_LookupProgPhase(int phase) {
  for (const phaseRow& r : phaseTable)
    if (r.number == phase) return r.name;
  return nullptr;
}

const char* brix_ProgramPhaseName(void) {
  const char* name = brix_LookupProgPhase(brix_prog_phase);
  return name ? name : "NONE";
}

int brix_InitStatusFifo(void) {
  if (!(brix_option_flags & BRIX_OPT_STATUS_FIFO)) return 0;
  char* line = static_cast<char*>(calloc(status_msglen + 1, 1));
  if (!line) {
    fprintf(stderr, "%s (%s) error allocating status message buffer\n", "ERROR",
            "brix_InitStatusFifo");
    return -12;
  }
  pthread_mutex_lock(&statusFifoLock);
  status_msgline = line;
  snprintf(pid_str, sizeof pid_str, "%d", int(getpid()));
  pthread_mutex_unlock(&statusFifoLock);
  return 0;
}

void brix_StatusMsg(int flush, const char* format, ...) {
  if (!(brix_option_flags & BRIX_OPT_STATUS_FIFO) || !status_msgline) return;
  const char* phase = brix_ProgramPhaseName();
  long room = long(status_msglen) - long(strlen(pid_str)) - long(strlen(phase)) - 5;
  if (room < 1) room = 1;
  std::string msg(size_t(room), '\0');
  va_list ap;
  va_start(ap, format);
  vsnprintf(msg.data(), size_t(room), format, ap);
  va_end(ap);
  pthread_mutex_lock(&statusFifoLock);
  snprintf(status_msgline, status_msglen, "%s %s %s\n", pid_str, phase, msg.c_str());
  if (flush == 1) writePending();
  pthread_mutex_unlock(&statusFifoLock);
}

// The last line and the close under one hold of the lock, so no heartbeat
// can follow the shutdown line.
void brix_CloseStatusFifo(void) {
  pthread_mutex_lock(&statusFifoLock);
  if (brix_status_pipefd >= 0) {
    if ((brix_option_flags & BRIX_OPT_STATUS_FIFO) && status_msgline) {
      snprintf(status_msgline, status_msglen, "%s %s SHUTTING DOWN\n", pid_str, brix_ProgramPhaseName());
      writePending();
    }
    close(brix_status_pipefd);
    brix_status_pipefd = -1;
  }
  pthread_mutex_unlock(&statusFifoLock);
}

void* brix_StatusThread(void*) {
  for (;;) {
    pthread_mutex_lock(&statusFifoLock);
    if (status_msgline && !status_msgline[0])
      snprintf(status_msgline, status_msglen, "%s %s HEARTBEAT\n", pid_str, brix_ProgramPhaseName());
    writePending();
    pthread_mutex_unlock(&statusFifoLock);
    ozugw_ThreadSleep(brix_status_interval, 0);
  }
  return nullptr;
}

int brix_StartStatusThread(void) {
  pthread_attr_t attr;
  if (ozugw_ThreadAttrInit(&attr) != 0) {
    fprintf(stderr, "%s (%s) Error %d starting <status> thread at line %d\n", "ERROR",
            "brix_StartStatusThread", errno, __LINE__);
    brix_SetExitCode(71);
    return -1;
  }
  pthread_t tid;
  if (ozugw_ThreadCreate(&tid, &attr, brix_StatusThread, nullptr) != 0) {
    fprintf(stderr, "%s (%s) *** Error %d creating thread at line %d\n", "ERROR",
            "brix_StartStatusThread", errno, __LINE__);
    pthread_attr_destroy(&attr);
    return -1;
  }
  pthread_attr_destroy(&attr);
  pthread_detach(tid);
  sched_yield();
  return 0;
}

void brix_DumpStatus(void) {
  if (!stateFileChosen) {
    stateFileChosen = true;
    const char* target = brix_config_opts.Statefile;
    if (!target || strcasecmp(target, "NULL") == 0) {
      brix_state_file = nullptr;
    } else if (strcasecmp(target, "STDOUT") == 0) {
      brix_state_file = stdout;
    } else if (strcasecmp(target, "STDERR") == 0) {
      brix_state_file = stderr;
    } else {
      brix_state_file = fopen(target, "ae");
      stateFileOwned = brix_state_file != nullptr;
      if (!brix_state_file) {
        free(brix_config_opts.Statefile);
        brix_config_opts.Statefile = nullptr;
      }
    }
  }
  if (!brix_state_file) return;
  struct timeval tv;
  gettimeofday(&tv, nullptr);
  time_t secs = tv.tv_sec;
  char when[32];
  ctime_r(&secs, when);
  fprintf(brix_state_file, "+++++++++++++++++++++++++++++++++++++\n");
  fprintf(brix_state_file, "%19.19s.%3.3ld State Dump Action=%s\n", when, long(tv.tv_usec / 1000),
          brix_FunctionToString());
  fprintf(brix_state_file, "Current program phase ........... %s (%d)\n", brix_ProgramPhaseName(),
          brix_GetProgramPhase());
  fflush(brix_state_file);
}
