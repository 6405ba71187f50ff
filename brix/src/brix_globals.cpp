// Program-wide settings of the archiver and the small helpers every part
// shares: the exit code rule, operation names, time differences and the
// current directory of a residency.
#include <errno.h>
#include <string.h>
#include <unistd.h>

#include "brix.h"
#include "quor_api.h"

const char* brix_progname = "brix";
int brix_argc = 0;
char** brix_argv = nullptr;
int isatty2 = 0;
std::atomic<uint32_t> brix_function{BOP_NOFUNCTION};
std::atomic<uint32_t> brix_option_flags{0};
std::atomic<int> brix_exit_code{0};
std::atomic<int> brix_shutdown_signalled{0};
int brix_debug_level = 0;
int brix_filetype = 0;
char* brix_archive = nullptr;
char* brix_archive_abs_path = nullptr;
int brix_archive_fd = -1;
char* brix_index_filename = nullptr;
char* brix_input_list_name = nullptr;
char* brix_status_pipe_name = nullptr;
int brix_status_pipefd = -1;
unsigned char* brix_zeroblock = nullptr;
uid_t brix_UID = 0;
gid_t brix_GID = 0;
uint32_t curAcctId = 0;
int copyCount = 1;
std::atomic<int> brix_logging_enabled{0};
long brix_max_files = 1000000;
long brix_abs_max_files = 5000000;
int brix_iobufsize = 8388608;
int brix_max_threads = 50;
long brix_thread_stacksize = 524288;
long brix_time_opt = 0;
int brix_archive_cosID = -1;
int brix_index_cosID = -1;
int brix_archive_familyid = 0;
int brix_index_familyid = 0;
uint32_t initAcctId = 0;
char* initAcctName = nullptr;
int brix_status_interval = 10;
char* brix_server_host = nullptr;
int brix_server_port = 0;
int brix_umask = -1;
uint32_t brix_verify_flags = 0;
int brix_optind = 0;
int brix_app_copies = 0;

void brix_SetExitCode(int code) {
  if (code == 0) return;
  int expected = 0;
  brix_exit_code.compare_exchange_strong(expected, code);
}

void brix_PrintClosingLine(FILE* out, int result) {
  if (result == 0) {
    fprintf(out, "%s: BRIX SUCCESSFUL\n", "BRIX");
  } else {
    fprintf(out, "%s: BRIX FAILED\n", "BRIX");
    brix_SetExitCode(72);
  }
}

char* brix_strlcpy(char* dst, const char* src, size_t size) {
  if (size == 0) return dst;
  size_t n = strnlen(src, size - 1);
  memcpy(dst, src, n);
  dst[n] = '\0';
  return dst;
}

double brix_DiffTimeval(const struct timeval* a, const struct timeval* b) {
  long sec = a->tv_sec - b->tv_sec;
  long usec = a->tv_usec - b->tv_usec;
  while (usec < 0) {
    usec += 1000000;
    sec--;
  }
  return double(sec) + double(usec) / 1000000.0;
}

const char* brix_FunctionToString(void) {
  static const char* const names[] = {"NOFUNCTION", "ANNOTATE", "APPEND", "BUILDINDEX",
                                      "COMPARE",    "CMPCKSUMS", "CREATE", "COPY",
                                      "DELETE",     "EXTRACT",  "LIST",   "REPACK",
                                      "UNDELETE",   "UPDATE",   "VERIFY"};
  uint32_t op = brix_function;
  if (op < sizeof names / sizeof names[0]) return names[op];
  return "????????";
}

int brix_Getcwd(int residency, char* buffer, size_t size) {
  switch (residency) {
    case BRIX_QUOR_FILE:
      return quor_Getcwd(buffer, size);
    case BRIX_REMOTE_FILE:
      // The gateway-host file system's directory comes with its lfx calls.
      return -38;
    case BRIX_PIPE:
      return 0;
    default:
      if (!getcwd(buffer, size)) return -1;
      return 0;
  }
}

// The stub operations of the table: nothing to do.
int brix_Annotate(void) { return 0; }
int brix_Append(void) { return 0; }
int brix_Compare(void) { return 0; }
int brix_CompareCksums(void) { return 0; }
int brix_Copy(void) { return 0; }
int brix_Repack(void) { return 0; }
int brix_Update(void) { return 0; }

// Member-file hooks: no file system is treated specially.
void init_gpfs_filechecks(void) {}
int check_gpfs_file(int) { return 0; }
int gpfs_read(int fd, void* buf, size_t len) { return int(read(fd, buf, len)); }
int gpfs_write(int fd, const void* buf, size_t len) { return int(write(fd, buf, len)); }
