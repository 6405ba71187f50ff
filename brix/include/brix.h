// The archiver's program-wide state and the services every part of it uses:
// operation codes, option bits and values, the first-code-wins exit code,
// levelled messages that also reach the gateway log, allocation wrappers that
// report their failures, the console status line, program phases with the
// status FIFO, rc-file settings, and the operations main dispatches.
//
// Functions return 0 (or a count) on success and a negative number on
// failure, after reporting the failure themselves.
#ifndef BRIX_BRIX_H
#define BRIX_BRIX_H

#include <pthread.h>
#include <stdint.h>
#include <stdio.h>
#include <sys/time.h>
#include <sys/types.h>

#include <atomic>

// ---- operations ----
enum BRIX_OP : uint32_t {
  BOP_NOFUNCTION = 0,
  BOP_ANNOTATE = 1,
  BOP_APPEND = 2,
  BOP_BUILD_INDEX = 3,
  BOP_COMPARE = 4,
  BOP_COMPARE_CKSUMS = 5,
  BOP_CREATE = 6,
  BOP_COPY = 7,
  BOP_DELETE = 8,
  BOP_EXTRACT = 9,
  BOP_LIST = 10,
  BOP_REPACK = 11,
  BOP_UNDELETE = 12,
  BOP_UPDATE = 13,
  BOP_VERIFY = 14,
};

// Where an archive (and its index) lives.
enum BRIX_FILETYPE : int {
  BRIX_PIPE = 1,
  BRIX_QUOR_FILE = 2,
  BRIX_REMOTE_FILE = 3,
  BRIX_LOCAL_FILE = 4,
};

// Where the member files of an archive live.
enum BRIX_MEMBER_FILETYPE : int {
  BRIX_MEMBER_QUOR = 0,
  BRIX_MEMBER_REMOTE = 1,
  BRIX_MEMBER_LOCAL = 2,
};

// ---- option bits (brix_option_flags) ----
constexpr uint32_t BRIX_OPT_BLOCKNUMS = 0x1;          // -B
constexpr uint32_t BRIX_OPT_LOCAL = 0x2;              // -E
constexpr uint32_t BRIX_OPT_FOLLOW_LINKS = 0x8;       // -h
constexpr uint32_t BRIX_OPT_ORDINALS = 0x20;          // -J
constexpr uint32_t BRIX_OPT_LOGIN = 0x40;             // -l
constexpr uint32_t BRIX_OPT_MTIME_NOW = 0x80;         // -m
constexpr uint32_t BRIX_OPT_STATUS_FIFO = 0x100;      // -N
constexpr uint32_t BRIX_OPT_NEWER = 0x200;            // -n
constexpr uint32_t BRIX_OPT_OWNER_SELF = 0x400;       // -o
constexpr uint32_t BRIX_OPT_TO_STDOUT = 0x800;        // -O
constexpr uint32_t BRIX_OPT_PERMS = 0x1000;           // -p
constexpr uint32_t BRIX_OPT_MAKE_DIRS = 0x2000;       // -P
constexpr uint32_t BRIX_OPT_QUIET = 0x4000;           // -q
constexpr uint32_t BRIX_OPT_SLIGHTLY_VERBOSE = 0x10000;  // -V
constexpr uint32_t BRIX_OPT_VERBOSE = 0x20000;        // -v
constexpr uint32_t BRIX_OPT_INTERACTIVE = 0x40000;    // -w
constexpr uint32_t BRIX_OPT_CRC = 0x80000;
constexpr uint32_t BRIX_OPT_RMLOCAL = 0x100000;
constexpr uint32_t BRIX_OPT_RELPATHS = 0x200000;
constexpr uint32_t BRIX_OPT_NOCFCHK = 0x400000;
constexpr uint32_t BRIX_OPT_CIX = 0x800000;
constexpr uint32_t BRIX_OPT_COPIES = 0x1000000;
constexpr uint32_t BRIX_OPT_NOSTAGE = 0x2000000;
constexpr uint32_t BRIX_OPT_NORECURSE = 0x4000000;
constexpr uint32_t BRIX_OPT_NOGLOB = 0x8000000;

// Verify bits (brix_verify_flags).
constexpr uint32_t BRIX_VERIFY_INFO = 0x80000000u;
constexpr uint32_t BRIX_VERIFY_CRC = 0x40000000u;
constexpr uint32_t BRIX_VERIFY_COMPARE = 0x20000000u;
constexpr uint32_t BRIX_VERIFY_PARANOID = 0x10000000u;

// ---- program-wide state (start-up, command line) ----
extern const char* brix_progname;
extern int brix_argc;
extern char** brix_argv;
extern int isatty2;
extern std::atomic<uint32_t> brix_function;
extern std::atomic<uint32_t> brix_option_flags;
extern std::atomic<int> brix_exit_code;
extern std::atomic<int> brix_shutdown_signalled;
extern int brix_debug_level;
extern int brix_filetype;
extern char* brix_archive;
extern char* brix_archive_abs_path;
extern int brix_archive_fd;
extern char* brix_index_filename;
extern char* brix_input_list_name;
extern char* brix_status_pipe_name;
extern int brix_status_pipefd;
// A piped create's archive descriptor (standard output moved aside).
extern int brix_pipe_archive_fd;
extern unsigned char* brix_zeroblock;
extern uid_t brix_UID;
extern gid_t brix_GID;
extern uint32_t curAcctId;
extern int copyCount;
extern std::atomic<int> brix_logging_enabled;
extern long brix_max_files;
extern long brix_abs_max_files;
extern int brix_iobufsize;
extern int brix_max_threads;
extern long brix_thread_stacksize;
extern long brix_time_opt;
extern int brix_archive_cosID;
extern int brix_index_cosID;
extern int brix_archive_familyid;
extern int brix_index_familyid;
extern uint32_t initAcctId;
extern char* initAcctName;
extern int brix_status_interval;
extern char* brix_server_host;
extern int brix_server_port;
extern int brix_umask;
extern uint32_t brix_verify_flags;
extern int brix_optind;
extern int brix_app_copies;

// Stores code as the exit code unless one is already stored: the first
// code recorded wins. Any thread may call it.
void brix_SetExitCode(int code);

// Prints an operation's closing line on out: SUCCESSFUL for a result of 0,
// else FAILED, recording exit code 72 unless a code is already set.
void brix_PrintClosingLine(FILE* out, int result);

// ---- operations (main dispatches exactly one) ----
int brix_Create(void);
int brix_List(void);
int brix_Annotate(void);
int brix_Append(void);
int brix_Compare(void);
int brix_CompareCksums(void);
int brix_Copy(void);
int brix_Repack(void);
int brix_Update(void);
// Each prints its own final status line and stores its exit code.
int brix_Extract(void);
int brix_Verify(void);
int brix_Delete(void);
int brix_Undelete(void);
int brix_BuildIndex(void);

// ---- start-up, signals, exit ----
int brix_SigInit(void);
void* brix_SignalThread(void* arg);
[[noreturn]] void brix_ForcedShutdown(void);
// A call that can block for ever (a pipe or FIFO nobody reads or writes)
// runs between Begin and End, so that a forced shutdown can cut it short:
// it then fails with EINTR. Begin returns the mark End takes (-1: too many
// at once, the call is not cut short). brix_InterruptibleToEnd marks the
// calling thread for the rest of the run, for a thread whose output stream
// itself is the blocked one.
int brix_BlockingCallBegin(void);
void brix_BlockingCallEnd(int mark);
void brix_InterruptibleToEnd(void);
struct brix_BlockingCall {
  int mark;
  brix_BlockingCall() : mark(brix_BlockingCallBegin()) {}
  ~brix_BlockingCall() { brix_BlockingCallEnd(mark); }
  brix_BlockingCall(const brix_BlockingCall&) = delete;
  brix_BlockingCall& operator=(const brix_BlockingCall&) = delete;
};
void brix_AtExit(void);
void brix_ExitCleanFiles(void);
int brix_InitGlobalLocks(void);
int brix_LockListingFile(void);
int brix_UnlockListingFile(void);
int brix_LockStatusFifo(void);
int brix_UnlockStatusFifo(void);
// Member-file hooks for special file systems: none is treated specially.
void init_gpfs_filechecks(void);
int check_gpfs_file(int fd);
int gpfs_read(int fd, void* buf, size_t len);
int gpfs_write(int fd, const void* buf, size_t len);
// The whole program: start-up, one operation, the end sequence; returns
// the exit code (main exits with it).
int brix_Main(int argc, char** argv);

// ---- command line and environment ----
void brix_GetEnvSettings(void);
int brix_ParseCmdLine(int argc, char** argv);
int parseOption(const char* name, int enumerator, const char* value);
void brix_Usage(int full);

// ---- rc files ----
struct brix_rc_t {
  int AbortOnOversizeArchive;
  int AbortOnOversizeFile;
  int AbortOnLongPathnames;
  int AbortOnMemberFileMissing;
  int AbortOnMemberFileReadError;
  int AbortOnMemberFileWriteError;
  int DisplayExcludedObjects;
  char* Okfile;
  char* Exfile;
  char* Statefile;
  uint64_t MaxSmallFileSize;
  int DisableGets;
  char* DisableGetsMsg;
  int DisablePuts;
  char* DisablePutsMsg;
  int EnableFileExpiration;
  char* ExpireCfgFile;
  uint32_t MaxMembersPerArchive;
  uint64_t MaxArchiveSize;
  uint32_t MaxFamilyMembers;
};
extern brix_rc_t brix_config_opts;
extern FILE* brix_okfile_fp;
extern FILE* brix_exfile_fp;

int brix_ReadConfig(void);
int readGlobalRcOptions(void);
int readPrivateRcOptions(void);
int readRcFile(const char* path);
int getYesNo(const char* text, int* field);
void setDefaultOptions(void);

// ---- messages, logging, transfer records ----
enum { BRIX_MSG_ERROR = 0, BRIX_MSG_WARNING = 1, BRIX_MSG_INFO = 2, BRIX_MSG_BRIX = 3,
       BRIX_MSG_LOGONLY = 4 };
constexpr uint32_t BRIX_LOG_SELECT_MSG = 0x2000000;
constexpr uint32_t BRIX_LOG_SELECT_XFER = 0x6000000;
constexpr int BRIX_LOG_PRIORITY = 0x6000;
constexpr uint32_t BRIX_LOG_OPTIONS = 0x60000;
constexpr int BRIX_MSG_BUFSIZE = 2048;
extern const char* const brix_msg_prefix[5];
// Scratch buffer for formatting a message; one per thread.
extern thread_local char brix_msg_buf[BRIX_MSG_BUFSIZE];

int brix_LogMsg(int level, uint32_t selector, const char* text);
// On: gateway log records are kept back (a transfer holds the connection);
// off sends what was kept. Flush sends it at once (no request in flight).
void brix_DeferGatewayLog(int on);
void brix_FlushGatewayLog(void);
// Formats into brix_msg_buf and logs it with the message selector.
int brix_Log(int level, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
// A system error line: "<what>: <strerror(errno)>" on standard error.
void brix_perror(const char* what);
int brix_Openlog(const char* subsys, uint32_t options);
int brix_Closelog(uint32_t options);
void brix_LogCommandLine(int argc, char** argv);
void brix_LogVersion(void);
void brix_LogCwd(void);
int brix_LogFileTransfer(const char* archive, int operation, int result, int archiveResidency,
                         int memberResidency, uint64_t bytes, double seconds);
// Formats the transfer record into buf (4245 bytes); used by the logger.
int brix_FormatTransferRecord(char* buf, size_t size, const char* archive, int operation,
                              int result, int archiveResidency, int memberResidency,
                              uint64_t bytes, double seconds);
const char* brix_VersionString(void);

// Allocation: the standard call, or the failure report and NULL.
void* brix_Malloc(size_t size, const char* function, const char* file, int line);
void* brix_Calloc(size_t count, size_t size, const char* function, const char* file, int line);
void* brix_Realloc(void* pointer, size_t size, const char* function, const char* file, int line);
char* brix_Strdup(const char* text, const char* function, const char* file, int line);
void brix_Free(void* pointer, const char* function, const char* file, int line);
void brix_MallocError(const char* function, const char* operation, size_t size, const char* file,
                      int line);
#define BRIX_MALLOC(n) brix_Malloc((n), __func__, __FILE__, __LINE__)
#define BRIX_CALLOC(c, n) brix_Calloc((c), (n), __func__, __FILE__, __LINE__)
#define BRIX_REALLOC(p, n) brix_Realloc((p), (n), __func__, __FILE__, __LINE__)
#define BRIX_STRDUP(s) brix_Strdup((s), __func__, __FILE__, __LINE__)
#define BRIX_FREE(p) brix_Free((p), __func__, __FILE__, __LINE__)

void brix_FuncTraceMessage(const char* enterExit, const char* function, const char* optionalText,
                           long optionalValue, const char* file, int line);
void console_message(const char* first, const char* second);
double brix_DiffTimeval(const struct timeval* a, const struct timeval* b);
char* brix_ExpandTemplatePath(const char* templ, const char* homeDir, const char* login);
const char* brix_FunctionToString(void);
int brix_Getcwd(int residency, char* buffer, size_t size);
int brix_GetYesNo(const char* action, const char* prompt, const char* path);
int brix_GetOwnerName(uid_t uid, char* buffer, size_t size);
int brix_GetGroupName(gid_t gid, char* buffer, size_t size);

// ---- program phases, status FIFO, state dump ----
enum BRIX_PROG_PHASE_E : int {
  BTP_OPEN_CONNECTION = 1,
  BTP_SHUTDOWN = 2,
  BTP_FORCED_SHUTDOWN = 3,
  BTP_GEN_FILELIST = 4,
  BTP_CREATE_WRITEARCHIVE = 5,
  BTP_CREATE_VERIFYARCHIVE = 6,
  BTP_CREATE_COPYINDEX = 7,
  BTP_CREATE_RMLOCAL = 8,
  BTP_EXTRACT_OPEN_FILES = 9,
  BTP_EXTRACT_PASS1 = 10,
  BTP_EXTRACT_READARCHIVE = 11,
  BTP_LIST_OPENINDEX = 12,
  BTP_LIST_READINDEX = 13,
  BTP_BLDIDX_OPENFILES = 14,
  BTP_BLDIDX_READARCHIVE = 15,
  BTP_VERIFY_PASS1 = 16,
  BTP_VERIFY_PASS2 = 17,
};
void brix_SetProgramPhase(int phase);
int brix_GetProgramPhase(void);
const char* brix_LookupProgPhase(int phase);
// The current phase's name ("NONE" before any phase is set).
const char* brix_ProgramPhaseName(void);
int brix_InitStatusFifo(void);
int brix_StartStatusThread(void);
void brix_StatusMsg(int flush, const char* format, ...) __attribute__((format(printf, 2, 3)));
// Writes "SHUTTING DOWN" and closes the FIFO.
void brix_CloseStatusFifo(void);
void* brix_StatusThread(void* arg);
void brix_DumpStatus(void);

// ---- small shared helpers ----
// Copies src into dst of size bytes, always terminated; returns dst.
char* brix_strlcpy(char* dst, const char* src, size_t size);

#endif
