// Start-up, operation dispatch and the end of every run: settings, the
// gateway log-in (first gateway call, whatever the archive's residency),
// identity, archive and index names, one operation, clean-up and the exit
// code.
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <pwd.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <mutex>
#include <string>

#include "brix.h"
#include "brix_lfx.h"
#include "brix_blockio.h"
#include "brix_index.h"
#include "ozu_xfercore.h"
#include "quor_api.h"
#include "quorex_expire.h"

int brix_pipe_archive_fd = -1;

namespace {

struct operationRow {
  BRIX_OP code;
  int (*handler)(void);
};

const operationRow operationTable[] = {
    {BOP_NOFUNCTION, nullptr},        {BOP_ANNOTATE, brix_Annotate}, {BOP_APPEND, brix_Append},
    {BOP_BUILD_INDEX, brix_BuildIndex}, {BOP_COMPARE, brix_Compare}, {BOP_COMPARE_CKSUMS, brix_CompareCksums},
    {BOP_CREATE, brix_Create},        {BOP_COPY, brix_Copy},         {BOP_DELETE, brix_Delete},
    {BOP_EXTRACT, brix_Extract},      {BOP_LIST, brix_List},         {BOP_REPACK, brix_Repack},
    {BOP_UNDELETE, brix_Undelete},    {BOP_UPDATE, brix_Update},     {BOP_VERIFY, brix_Verify},
};

std::once_flag cleanOnce;

bool writingOperation(uint32_t op) {
  return op == BOP_APPEND || op == BOP_BUILD_INDEX || op == BOP_CREATE || op == BOP_DELETE;
}

// The index path for an archive name and the -I value.
int settleIndexName(void) {
  const char* given = brix_index_filename;
  std::string name;
  if (!given) {
    if (brix_filetype == BRIX_PIPE) {
      brix_Log(BRIX_MSG_ERROR, "[Fatal]%s\n", "Index file pathname must be specified for piped Archive file");
      brix_SetExitCode(64);
      return -1;
    }
    name = std::string(brix_archive) + ".idx";
  } else if (given[0] == '.' && !strchr(given, '/')) {
    // ".idx2" is a suffix; "../x.idx" and "./x.idx" are paths like any other.
    name = std::string(brix_archive) + given;
  } else if (given[0] == '/') {
    name = given;
  } else {
    const char* slash = strrchr(brix_archive, '/');
    std::string dir = slash ? std::string(brix_archive, size_t(slash - brix_archive + 1)) : std::string();
    name = dir + given;
    if (name.size() > 1024) name.resize(1024);
  }
  char* copy = BRIX_STRDUP(name.c_str());
  if (!copy) return -1;
  free(brix_index_filename);
  brix_index_filename = copy;
  return 0;
}

int settleAbsolutePath(void) {
  if (brix_filetype == BRIX_PIPE) {
    brix_archive_abs_path = BRIX_STRDUP("-");
    return brix_archive_abs_path ? 0 : -1;
  }
  if (brix_archive[0] == '~') {
    char expanded[1025];
    int rc = brix_filetype == BRIX_QUOR_FILE ? brix_ExpandQUORPath(brix_archive, expanded, 1024)
                                              : brix_ExpandLocalPath(brix_archive, expanded, 1024);
    if (rc != 0) {
      brix_SetExitCode(64);
      return -1;
    }
    free(brix_archive);
    brix_archive = BRIX_STRDUP(expanded);
    brix_archive_abs_path = BRIX_STRDUP(expanded);
  } else if (brix_archive[0] == '/') {
    brix_archive_abs_path = BRIX_STRDUP(brix_archive);
  } else {
    char cwd[1025] = "";
    if (brix_Getcwd(brix_filetype, cwd, sizeof cwd) != 0) {
      brix_Log(BRIX_MSG_ERROR, "%s: unable to obtain current working directory\n", "main");
      brix_SetExitCode(71);
      return -1;
    }
    brix_archive_abs_path = BRIX_STRDUP((std::string(cwd) + "/" + brix_archive).c_str());
  }
  if (!brix_archive || !brix_archive_abs_path) return -1;
  if (brix_debug_level > 0) fprintf(stderr, "Archive File absolute path is [%s]\n", brix_archive_abs_path);
  return 0;
}

FILE* openAppend(const char* path) {
  int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0) return nullptr;
  FILE* f = fdopen(fd, "a");
  if (!f) close(fd);
  return f;
}

}  // namespace

void brix_ExitCleanFiles(void) {
  if (brix_exfile_fp) {
    fflush(brix_exfile_fp);
    brix_exfile_fp = nullptr;
  }
  if (brix_okfile_fp) {
    fflush(brix_okfile_fp);
    brix_okfile_fp = nullptr;
  }
  brix_LfxClosePool();
  if (brix_cf_file_created && brix_cf_filename) {
    unlink(brix_cf_filename);
    brix_cf_file_created = 0;
  }
  if (brix_tmpIndexFile && brix_unlinkTmpIndexFile && brix_debug_level <= 1) {
    if (brix_tmpIndexFD >= 0) {
      close(brix_tmpIndexFD);
      brix_tmpIndexFD = -1;
    }
    unlink(brix_tmpIndexFile);
    free(brix_tmpIndexFile);
    brix_tmpIndexFile = nullptr;
  }
}

void brix_AtExit(void) { std::call_once(cleanOnce, brix_ExitCleanFiles); }

int brix_Main(int argc, char** argv) {
  struct stat sleepSt;
  if (stat("/tmp/_BRIX_SLEEP_", &sleepSt) == 0) sleep(60);
  brix_progname = argv[0] ? argv[0] : "brix";
  ozu_coreOutput = {&brix_debug_level, nullptr, nullptr, nullptr};
  brix_argc = argc;
  brix_argv = argv;
  isatty2 = isatty(STDERR_FILENO);
  // A reader that goes away shows as a failed write, never as a signal.
  signal(SIGPIPE, SIG_IGN);
  bool failed = true;

  brix_GetEnvSettings();
  brix_ReadConfig();
  brix_function = BOP_NOFUNCTION;
  if (brix_ParseCmdLine(argc, argv) < 0) {
    brix_SetExitCode(71);
    goto endRun;
  }
  if (brix_function == BOP_NOFUNCTION) {
    failed = false;
    goto endRun;
  }
  // A piped create writes the archive on standard output: everything the
  // program prints goes to standard error instead.
  if (strcmp(brix_archive, "-") == 0 && brix_function == BOP_CREATE) {
    fflush(stdout);
    brix_pipe_archive_fd = fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
    if (brix_pipe_archive_fd < 0 || dup2(STDERR_FILENO, STDOUT_FILENO) < 0) {
      fprintf(stderr, "%s (%s) unable to set up the archive pipe: %s\n", "ERROR", "main", strerror(errno));
      brix_SetExitCode(71);
      goto endRun;
    }
  }

  if (strcmp(brix_archive, "-") != 0 && !(brix_option_flags & BRIX_OPT_LOCAL)) {
    if (brix_config_opts.DisableGets) {
      fprintf(stderr, "%s (%s) %s\n", "ERROR", "main", brix_config_opts.DisableGetsMsg);
      brix_SetExitCode(72);
      goto endRun;
    }
    if (brix_config_opts.DisablePuts && writingOperation(brix_function)) {
      fprintf(stderr, "%s (%s) %s", "ERROR", "main", brix_config_opts.DisablePutsMsg);
      brix_SetExitCode(72);
      goto endRun;
    }
  }
  if (brix_SigInit() != 0) goto endRun;
  if (atexit(brix_AtExit) != 0) {
    brix_SetExitCode(71);
    goto endRun;
  }
  if (brix_config_opts.EnableFileExpiration) quorex_ExpireInitTable(brix_config_opts.ExpireCfgFile);
  if (brix_config_opts.Exfile) {
    brix_exfile_fp = openAppend(brix_config_opts.Exfile);
    if (!brix_exfile_fp) {
      fprintf(stderr, "%s (%s) error %d opening exceptions file <%s>\n", "ERROR", "main", errno,
              brix_config_opts.Exfile);
      brix_SetExitCode(72);
      goto endRun;
    }
  }
  if (brix_config_opts.Okfile) {
    brix_okfile_fp = openAppend(brix_config_opts.Okfile);
    if (!brix_okfile_fp) {
      fprintf(stderr, "%s (%s) error %d opening <success> file <%s>\n", "ERROR", "main", errno,
              brix_config_opts.Okfile);
      brix_SetExitCode(72);
      goto endRun;
    }
  }
  if (brix_option_flags & BRIX_OPT_STATUS_FIFO) {
    if (brix_InitStatusFifo() != 0) {
      fprintf(stderr, "%s (%s) Error(s) initialize status FIFO\n", "ERROR", "main");
      brix_SetExitCode(71);
      goto endRun;
    }
    brix_SetProgramPhase(BTP_OPEN_CONNECTION);
    brix_StatusMsg(1, "Open logging");
    if (brix_StartStatusThread() != 0) {
      fprintf(stderr, "%s (%s) unable to start status thread\n", "ERROR", "main");
      brix_SetExitCode(71);
      goto endRun;
    }
  }

  if (strcmp(brix_archive, "-") == 0) {
    brix_filetype = BRIX_PIPE;
  } else if (brix_option_flags & BRIX_OPT_LOCAL) {
    brix_filetype = BRIX_LOCAL_FILE;
  } else {
    console_message("brix: ", "Opening server connection");
    brix_filetype = BRIX_QUOR_FILE;
  }
  console_message("brix: ", "Opening QUOR server connection");
  if (brix_Openlog("brix", BRIX_LOG_OPTIONS) < 0) {
    console_message("", "");
    fprintf(stderr, "%s (%s) unable to open remote gateway server connection\n", "ERROR", "main");
    brix_SetExitCode(71);
    goto endRun;
  }
  console_message("", "");
  if (brix_filetype == BRIX_QUOR_FILE) {
    console_message("brix: ", "Getting remote gateway site info");
    quor_site_info_t site;
    memset(&site, 0, sizeof site);
    int rc = quorex_GetSiteInfo(&site);
    console_message("", "");
    if (rc != 0) {
      brix_Log(BRIX_MSG_ERROR, "Error %d getting QUOR system info. Exiting...\n", rc);
      brix_SetExitCode(71);
      goto endRun;
    }
    if (site.server_runmode == 2) {
      brix_filetype = BRIX_REMOTE_FILE;
      if (brix_debug_level > 1) fprintf(stderr, "/debug/connected to FS-FS (non-QUOR) Gateway\n");
    } else if (site.server_runmode != 1) {
      brix_Log(BRIX_MSG_ERROR, "Unsupported server runmode: %d Exiting...\n", int(site.server_runmode));
      brix_SetExitCode(71);
      goto endRun;
    }
  }
  brix_logging_enabled = 1;
  brix_LogCommandLine(argc, argv);
  brix_LogVersion();
  brix_LogCwd();
  if (!brix_ResidencySupported(brix_filetype)) goto endRun;
  {
    quor_site_info_t site;
    memset(&site, 0, sizeof site);
    if (quorex_GetSiteInfo(&site) == 0) brix_app_copies = int(site.app_copies);
  }
  if (initAcctName) {
    int rc = quor_SetAcctByName(initAcctName);
    if (rc != 0) {
      brix_Log(BRIX_MSG_WARNING, "%s: Unable to set account name to '%s' (error=%d). Using default account\n",
               "main", initAcctName, rc);
      brix_SetExitCode(64);
    }
  } else if (initAcctId != 0) {
    int rc = quor_SetAcct(initAcctId);
    if (rc != 0) {
      brix_Log(BRIX_MSG_WARNING, "%s: Unable to set account ID to '%d' (error=%d). Using default account\n",
               "main", int(initAcctId), rc);
      brix_SetExitCode(64);
    }
  }
  {
    struct passwd* pw = quor_GetPwent();
    if (!pw) {
      brix_Log(BRIX_MSG_ERROR, "(%s) fatal error getting password entry info.\n", "main");
      brix_SetExitCode(71);
      goto endRun;
    }
    brix_UID = pw->pw_uid;
    brix_GID = pw->pw_gid;
  }
  {
    acct_rec_t def = 0, cur = 0;
    if (quor_GetAcct(&def, &cur) != 0) {
      brix_Log(BRIX_MSG_ERROR, "(%s) fatal error getting account info for uid %d\n", "main", int(brix_UID));
      brix_SetExitCode(71);
      goto endRun;
    }
    curAcctId = cur;
  }
  if (!(brix_option_flags & BRIX_OPT_COPIES) && brix_app_copies != 0) copyCount = brix_app_copies;
  if (brix_umask >= 0) {
    mode_t old;
    if (brix_filetype == BRIX_QUOR_FILE) old = quor_Umask(mode_t(brix_umask));
    else old = umask(mode_t(brix_umask));
    if (brix_debug_level > 0) {
      console_message("", "");
      fprintf(stderr, "umask: %.3o -> %.3o\n", unsigned(old), unsigned(brix_umask));
    }
  }
  brix_zeroblock = static_cast<unsigned char*>(BRIX_CALLOC(1, 512));
  if (!brix_zeroblock) goto endRun;
  if (settleAbsolutePath() != 0) goto endRun;
  if (!isatty2) brix_option_flags &= ~BRIX_OPT_INTERACTIVE;
  brix_InitGlobalLocks();
  init_gpfs_filechecks();
  if (settleIndexName() != 0) goto endRun;

  failed = false;
  {
    uint32_t op = brix_function;
    if (op < sizeof operationTable / sizeof operationTable[0] && operationTable[op].handler) {
      if (operationTable[op].handler() < 0) brix_SetExitCode(71);
    }
  }

endRun:
  if (brix_status_pipefd >= 0) {
    brix_SetProgramPhase(BTP_SHUTDOWN);
    brix_CloseStatusFifo();
  }
  brix_ExitCleanFiles();
  if (brix_logging_enabled) {
    brix_Closelog(BRIX_LOG_OPTIONS);
    brix_logging_enabled = 0;
  }
  if (failed) {
    fprintf(stdout, "%s: BRIX FAILED\n", "BRIX");
    fflush(stdout);
    brix_SetExitCode(71);
  }
  fflush(stdout);
  return brix_exit_code;
}
