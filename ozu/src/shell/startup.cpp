// Start-up, command-line options, the no-login gate, the API settings, the
// main loop and the end of the shell.
#include "ozu_startup.h"

#include <ctype.h>
#include <errno.h>
#include <limits.h>
#include <pwd.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "ozu_cmdread.h"
#include "ozu_context.h"
#include "ozu_dispatch.h"
#include "ozu_drive.h"
#include "ozu_errors.h"
#include "ozu_firewall.h"
#include "ozu_glob.h"
#include "ozu_help.h"
#include "ozu_local.h"
#include "ozu_locks.h"
#include "ozu_log.h"
#include "ozu_login.h"
#include "ozu_misc.h"
#include "ozu_paths.h"
#include "ozu_signals.h"
#include "ozu_util.h"
#include "ozurc.h"
#include "ozuvars.h"
#include "quor_api.h"
#include "quor_api_extensions.h"
#include "quor_api_internal.h"
#include "quor_convert.h"
#include "quor_scheduler.h"
#include "quorex_expire.h"
#include "shell_commands.h"

namespace {

bool usagePrinted = false;

// A whole decimal number that fits in a long; false for anything else
// (empty, a sign alone, trailing characters, overflow).
bool wholeNumber(const char *s, long *out)
{
  if (s == nullptr || *s == '\0')
    return false;
  errno = 0;
  char *end = nullptr;
  long v = strtol(s, &end, 10);
  if (errno == ERANGE || end == s || *end != '\0')
    return false;
  *out = v;
  return true;
}

bool allDigits(const char *s)
{
  if (*s == '\0')
    return false;
  for (; *s; ++s)
    if (!isdigit(static_cast<unsigned char>(*s)))
      return false;
  return true;
}

void printUsageOnce(void)
{
  if (!usagePrinted)
    ozu_Usage();
  usagePrinted = true;
}

void copyFileTo(FILE *in, FILE *out)
{
  char line[4197];
  while (fgets(line, sizeof line, in) != nullptr)
    fputs(line, out);
  fflush(out);
}

int statNologin(const char *path, int storageResident)
{
  if (storageResident) {
    quor_stat_t st;
    return quor_Lstat(path, &st);
  }
  struct stat st;
  return lstat(path, &st) == 0 ? 0 : -errno;
}

}  // namespace

void setupTTY(void)
{
  const char *env = getenv("ENVIRONMENT");
  ttyIn = env != nullptr && strcmp(env, "BATCH") == 0 ? nullptr : stdin;
  ttyOut = errFile;
}

int parseCmdLine(int argc, char **argv)
{
  int options = 0;
  int lastOption = 0;
  bool fatal = false;
  int i = 1;
  for (; i < argc && !fatal && argv[i][0] == '-'; ++i) {
    const char *w = argv[i];
    if (strcmp(w, "-help") == 0) {
      ozu_HelpSummary();
      ++options;
      lastOption = 'H';
      continue;
    }
    for (const char *p = w + 1; *p && !fatal; ++p) {
      char c = *p;
      ++options;
      lastOption = c;
      const char *takes = strchr("AEGOTacdghklps", c);
      const char *value = nullptr;
      bool missing = false;
      if (takes != nullptr) {
        if (p[1] != '\0') {
          value = p + 1;
        } else if (i + 1 < argc) {
          value = argv[++i];
        }
        if (c != 'h' && (value == nullptr || *value == '\0' || *value == '-'))
          missing = true;
        if (c == 'h' && value == nullptr)
          missing = true;
      }
      switch (c) {
        case '?': printUsageOnce(); break;
        case 'A':
          if (missing) {
            fprintf(errFile, "ozu: missing or unknown authentication method [%s]\n", "");
            fatal = true;
          } else if ((authTypeFlag = ozu_ConvertAuthMethod(value)) < 0) {
            fprintf(errFile, "ozu: missing or unknown authentication method [%s]\n", value);
            authTypeFlag = 0;
            fatal = true;
          }
          break;
        case 'E':
          if (missing) {
            fprintf(errFile, "*** ozu: missing editor name (vi or emacs) for -E option\n");
            fatal = true;
          } else if (strcasecmp(value, "vi") != 0 && strcasecmp(value, "emacs") != 0) {
            fprintf(errFile, "*** ozu: unknown editor-style name '%s' for -E option ignored\n",
                    value);
          } else {
            free(editorStyle);
            editorStyle = strdup(value);
            for (char *e = editorStyle; e && *e; ++e)
              *e = char(tolower(static_cast<unsigned char>(*e)));
            if (editorStyle == nullptr) {
              fprintf(errFile, "ozu - malloc error copying -E param\n");
              fatal = true;
            }
          }
          break;
        case 'G': {
          if (missing) {
            fprintf(errFile, "*** ozu: missing <Globus Grid Proxy Path> parameter\n");
            fatal = true;
            break;
          }
          std::string entry = std::string("X509_USER_PROXY=") + value;
          char *env = strdup(entry.c_str());
          if (env == nullptr) {
            fprintf(errFile, "*** ozu: malloc problem setting X509_USER_PROXY env. var\n");
            fatal = true;
          } else if (putenv(env) != 0) {
            fprintf(errFile, "*** ozu: unable set set environment variable [%s]\n", env);
            free(env);
            fatal = true;
          } else if (debug >= 1) {
            fprintf(errFile, "/debug/-G option: [%s] set in environment\n", env);
          }
          break;
        }
        case 'L': p += strlen(p) - 1; break;
        case 'O': {
          if (missing) {
            fprintf(errFile, "*** ozu: missing <pathname> parameter for -O\n");
            fatal = true;
            break;
          }
          FILE *f = freopen(value, "a+", stderr);
          if (f == nullptr) {
            perror("open");
            fprintf(stdout, "*** ozu: error(s) opening alternate listing file: %s\n", value);
            fatal = true;
            break;
          }
          altListF = errFile = ttyOut = listF = f;
          verboseFlag = progressFlag = 0;
          quietFlag = 1;
          isatty0 = isatty2 = 0;
          break;
        }
        case 'P':
          popenFlag = 1;
          verboseFlag = progressFlag = 0;
          quietFlag = 1;
          errFile = ttyOut = listF = stdout;
          break;
        case 'T': {
          if (missing) {
            fprintf(errFile, "*** ozu: missing <thread stacksize> parameter\n");
            fatal = true;
            break;
          }
          int err = 0;
          int64_t v = atobytesll(value, &err);
          if (err == -34) {
            fprintf(errFile, "*** ozu: bad <thread stacksize> parameter: %s\n", value);
            fatal = true;
            break;
          }
          if (v < 262144) {
            fprintf(errFile, "*** ozu: bad <thread stacksize> ignored: %ld (minimum is %ld).\n",
                    long(v), 262144L);
            clThreadStacksize = 0;
            globalDefs.threadStackSize = 0;
          } else {
            clThreadStacksize = long(v);
            globalDefs.threadStackSize = v;
          }
          break;
        }
        case 'V': ozu_VersionCommand(const_cast<char *>(""), 0); break;
        case 'a':
          if (missing) {
            fprintf(errFile,
                    "*** ozu: missing <account name> or <account ID> parameter for -a option\n");
            fatal = true;
          } else if (acctId != 0 || acctName != nullptr) {
            fprintf(errFile,
                    "*** ozu: warning - multiple occurrences of -a option - first one prevails\n");
          } else if (allDigits(value)) {
            long v = 0;
            if (!wholeNumber(value, &v) || v > long(UINT32_MAX)) {
              fprintf(errFile, "*** ozu: bad <account ID> parameter: %s\n", value);
              fatal = true;
            } else {
              acctId = v;
            }
          } else if ((acctName = strdup(value)) == nullptr) {
            fprintf(errFile, "*** ozu: strdup error for '%s'\n", value);
            fatal = true;
          }
          break;
        case 'c':
          if (missing) {
            fprintf(errFile, "*** ozu: missing <credentials cache pathname> parameter\n");
            fatal = true;
          } else {
            credCacheFile = strdup(value);
          }
          break;
        case 'd': {
          long v = 0;
          if (missing) {
            fprintf(errFile, "*** ozu: missing <debug level (0-5)> parameter\n");
            fatal = true;
          } else if (allDigits(value) && !wholeNumber(value, &v)) {
            fprintf(errFile, "*** ozu: bad <debug> level: %s. [0-5 are legal values]\n", value);
            fatal = true;
          } else {
            v = strtol(value, nullptr, 10);
            if (v < 0 || v > 5) {
              fprintf(errFile, "*** ozu: bad <debug> level: %s. [0-5 are legal values]\n", value);
              debug = 0;
            } else {
              debug = int(v);
            }
          }
          break;
        }
        case 'e': echoFlag++; break;
        case 'g':
          if (missing) {
            fprintf(errFile, "*** ozu: missing <group name> or <group ID> parameter for -g option\n");
            fatal = true;
          } else if (cli_groupID != 0 || cli_groupName != nullptr) {
            fprintf(errFile,
                    "*** ozu: warning - multiple occurrences of -g option - first one prevails\n");
          } else if (allDigits(value)) {
            long v = 0;
            if (!wholeNumber(value, &v) || v > long(UINT32_MAX)) {
              fprintf(errFile, "*** ozu: bad <group ID> parameter: %s\n", value);
              fatal = true;
            } else {
              cli_groupID = v;
            }
          } else if ((cli_groupName = strdup(value)) == nullptr) {
            fprintf(errFile, "*** ozu: strdup error for '%s'\n", value);
            fatal = true;
          }
          break;
        case 'h':
          if (missing) {
            fprintf(errFile, "ozu: missing hostname parameter\n");
            fatal = true;
          } else if ((ozu_server_host = strdup(value)) == nullptr) {
            fprintf(errFile, "ozu - malloc error copying -h param\n");
            fatal = true;
          }
          break;
        case 'k':
          if (missing) {
            fprintf(errFile, "*** ozu: missing or unknown keytab pathname\n");
            fatal = true;
          } else if ((keytabPath = strdup(value)) == nullptr) {
            fprintf(errFile, "*** ozu: malloc problem processing -k \n");
            fatal = true;
          }
          break;
        case 'l':
          if (missing) {
            fprintf(errFile, "*** ozu: missing or unknown login ID\n");
            fatal = true;
          } else {
            free(altPrincipal);
            altPrincipal = ozu_ExpandPrincipal(value, nullptr);
            if (altPrincipal == nullptr) {
              fprintf(errFile, "*** ozu: problem processing -l \n");
              fatal = true;
            } else {
              altIdentity++;
            }
          }
          break;
        case 'o': overrideNologin = 1; break;
        case 'p': {
          long v = 0;
          if (missing) {
            fprintf(errFile, "*** ozu: missing <port> parameter\n");
            fatal = true;
          } else if (allDigits(value) && !wholeNumber(value, &v)) {
            fprintf(errFile, "*** ozu: bad <port> parameter: %s\n", value);
            fatal = true;
          } else {
            v = strtol(value, nullptr, 10);
            if (v < 0 || v > 65535) {
              fprintf(errFile, "*** ozu: bad <port> parameter: %s (ignored)\n", value);
              ozu_server_port = 0;
            } else {
              ozu_server_port = int(v);
            }
          }
          break;
        }
        case 'q': quietFlag = 1; break;
        case 's':
          if (missing) {
            fprintf(errFile, "*** ozu: missing or unknown site name\n");
            fatal = true;
          } else if ((startup_site_name = strdup(value)) == nullptr) {
            fprintf(errFile, "*** ozu: malloc problem processing -s \n");
            fatal = true;
          }
          break;
        case 'v': verboseFlag = 1; break;
        default:
          fprintf(errFile, "ozu: %c: unknown option\n", c);
          fatal = true;
          break;
      }
      if (takes != nullptr)
        break;  // the value ends the group
    }
  }
  if (fatal) {
    printUsageOnce();
    return 64;
  }
  if (ozu_server_host != nullptr) {
    std::string entry = std::string("QUOR_SERVER_HOST=") + ozu_server_host;
    if (ozu_server_port >= 1)
      entry += "/" + std::to_string(ozu_server_port);
    ozuServerEnv = strdup(entry.c_str());
    if (ozuServerEnv == nullptr || putenv(ozuServerEnv) != 0)
      fprintf(errFile, "*** ozu: cannot expand environment for -h option\n");
  }
  if (ozu_GlobAllocate() < 0) {
    fprintf(errFile, "*** init: malloc problem [globv array]\n");
    exit(1);
  }
  memset(cmdbuf, 0, sizeof cmdbuf);
  std::string cmds;
  for (; i < argc; ++i) {
    size_t add = strlen(argv[i]) + (cmds.empty() ? 0 : 1);
    if (cmds.size() + add >= maxcmdbuflen) {
      fprintf(errFile, "*** ozu: argument list too long (>%d characters)\n", maxcmdbuflen);
      exit(64);
    }
    if (!cmds.empty())
      cmds += ' ';
    cmds += argv[i];
  }
  memcpy(cmdbuf, cmds.c_str(), cmds.size() + 1);
  cbuflen = startupCmdlen = int(cmds.size());
  if (debug >= 2)
    fprintf(errFile, "ozu(main):  cbuflen=%d, command=%s\n", cbuflen, cmdbuf);
  if (cmds.empty() && options == 1 && (lastOption == 'V' || lastOption == '?' || lastOption == 'H'))
    return -1;
  return 0;
}

void checkNologin(const char *path, int storageResident)
{
  if (overrideNologin || path == nullptr)
    return;
  int rc = statNologin(path, storageResident);
  if (rc != 0) {
    if (debug >= 2)
      fprintf(errFile, "checkNologin: error %d reported for stat of %s.\n", rc, path);
    return;
  }
  if (!quietFlag && storageResident) {
    if (QUOR_FILE *f = quor_Fopen(path, "r", nullptr, nullptr, nullptr)) {
      char line[4197];
      while (quor_Fgets(line, sizeof line, f) != nullptr)
        fputs(line, errFile);
      quor_Fclose(f);
      fflush(errFile);
    }
  } else if (!quietFlag) {
    FILE *f = fopen(path, "r");
    if (f != nullptr) {
      copyFileTo(f, errFile);
      fclose(f);
    }
  }
  if (!popenFlag)
    ozu_ConsoleMessage("*** OZU - Waiting for <QUOR disabled> flag to clear ***");
  int interval = 30;
  for (;;) {
    rc = statNologin(path, storageResident);
    if (storageResident ? rc == -2 : rc != 0)
      break;
    ozugw_ThreadSleep(interval, 0);
    if (interval < 600)
      interval += 30;
  }
  if (!popenFlag)
    ozu_ConsoleMessage("");
}

int getHostIP(const char *hostName, struct quor_sockaddr *hostIP)
{
  char err[256] = "";
  quor_net_initaddr(hostIP);
  int rc = quor_net_getaddrinfo(hostName, nullptr, 1, QUOR_IPPROTO_TCP, hostIP, err, sizeof err);
  if (rc != 0) {
    fprintf(errFile, "*** %s:: error looking up IP address for '%s' Error=%d [%s]\n", "getHostIP",
            hostName, rc == -11 ? -errno : rc, err);
    return -1;
  }
  if (debug >= 1) {
    char text[128] = "";
    quor_net_getuniversaladdress(hostIP, text, sizeof text, err, sizeof err);
    fprintf(errFile, "[debug] %s: found hostname '%s', IP addr '%s'\n", "getHostIP", hostName, text);
  }
  return 0;
}

void setAPIConfigOptions(void)
{
  api_config_t cfg;
  memset(&cfg, 0, sizeof cfg);
  const char *routine = "quor_GetConfiguration";
  int rc = ozu_EioRetry([&] { return quor_GetConfiguration(&cfg); });
  if (rc >= 0) {
    const char *env = getenv("QUOR_HOSTNAME");
    free(tcpHostName);
    tcpHostName = strdup(env ? env : cfg.HostName);
    if (tcpHostName != nullptr && getHostIP(tcpHostName, &tcpHostIP) == -1)
      fprintf(errFile, "*** WARNING: Cannot get TCP address for client host [%s] ***\n",
              tcpHostName);
    cfg.ReuseDataConnections = 1;
    cfg.NumRetries = -1;
    cfg.BusyRetries = -1;
    routine = "quor_SetConfiguration";
    rc = ozu_EioRetry([&] { return quor_SetConfiguration(&cfg); });
    if (rc >= 0)
      return;
  }
  setExitResult(69, quor_perror(rc, routine, "(setAPIConfigOptions)", nullptr), 7);
}

void shutdownOZU(void)
{
  if (quorex_SchedSessionIsActive()) {
    ozu_ConsoleMessage("Waiting for background stages to complete - ctrl-c to interrupt");
    interrupted = 0;
    interruptEnable();
    while (quorex_SchedSessionIsActive() && !interrupted)
      ozugw_ThreadSleep(1, 0);
    interruptClear();
    ozu_ConsoleMessage("");
  }
  gatewayShutdown();
  if (editorEnabled)
    ozu_CmdSaveHistory();
  fflush(nullptr);
  exit(exitcode.load());
}

int ozu_main(int argc, char **argv)
{
  errFile = stderr;
  realuid = int(getuid());
  realgid = int(getgid());
  myProcessID = int(getpid());
  struct passwd *pw = getpwuid(uid_t(realuid));
  if (pw == nullptr) {
    fprintf(errFile, "OZU: cannot get passwd entry for uid %d\n", realuid);
    exit(67);
  }
  // The private rc file and local paths follow HOME when it is set, so a
  // user (or a test) with a relocated home directory gets that one.
  const char *home = getenv("HOME");
  const char *homeDir = home != nullptr && home[0] == '/' ? home : pw->pw_dir;
  localHomeDir = strdup(homeDir ? homeDir : "/");
  if (localHomeDir == nullptr) {
    fprintf(errFile, "OZU: malloc problem copying `%s'\n", homeDir);
    exit(78);
  }
  setupTTY();
  listF = errFile;
  ttyOut = listF;
  isatty0 = isatty(0);
  isatty2 = isatty(2);
  ozu_InitLocalLog(localHomeDir, argc, argv);
  sysPageSize = ozu_GetSysPageSize();
  if (ozu_InitGlobalLocks() < 0)
    exit(70);
  thread_Main = pthread_self();
  int rc = parseCmdLine(argc, argv);
  if (rc != 0)
    exit(rc == -1 ? 255 : rc);
  exitcode = 0;
  ozu_InitGlobals();
  ozu_ConsoleMessage("[reading local startup files]");
  if (ozu_ReadRcFile(0) < 0)
    exit(exitcode.load());
  if (ozu_server_host != nullptr && startup_site_name == nullptr) {
    char *slash = strchr(ozu_server_host, '/');
    if (slash)
      *slash = '\0';
    if (getenv("QUOR_USE_NETRC_FILE"))
      quorex_SetNetrcLabel(ozu_server_host, 1);
    int n = 0;
    site_connection_t **sites = ozu_RcLookupSiteByHost(ozu_server_host, &n);
    if (n > 0) {
      startup_site_name = strdup(sites[0]->siteName);
      if (n > 1)
        fprintf(stderr, "*** Warning: more than one site entry for host %s. Using site %s\n",
                ozu_server_host, startup_site_name);
      if (debug >= 1)
        fprintf(errFile, "/debug/found site %s for server host %s\n", startup_site_name,
                ozu_server_host);
    }
    free(sites);
  }
  if (startup_site_name == nullptr && globalDefs.startupSiteCount > 0) {
    int pick = 0;
    for (int i = 0; i < globalDefs.startupSiteCount; ++i)
      if (globalDefs.startupSites[i].userRcFile) {
        pick = i;
        break;
      }
    startup_site_name = strdup(globalDefs.startupSites[pick].siteName);
  }
  const char *nologin = getenv("OZU_NOLOGIN_FILE");
  if (nologin != nullptr) {
    free(globalDefs.noLoginPath);
    globalDefs.noLoginPath = strdup(nologin);
  }
  checkNologin(globalDefs.noLoginPath, 0);
  if (startup_site_name != nullptr && ozu_server_host == nullptr && getenv("QUOR_USE_NETRC_FILE"))
    quorex_SetNetrcLabel(startup_site_name, 2);
  ozu_ConsoleMessage("");
  ozu_login_t login;
  memset(&login, 0, sizeof login);
  if (gatewaySetup(&login) < 0) {
    fprintf(errFile, "Error - authentication/initialization failed\n");
    exit(1);
  }
  if (quietFlag)
    progressFlag = 0;
  else
    ozu_PrintMOTD();
  auto *ctx = static_cast<ozu_context_t *>(calloc(1, sizeof(ozu_context_t)));
  if (ctx == nullptr) {
    fprintf(errFile, "*** error allocating initial connection list entry\n");
    exit(78);
  }
  ozu_ConsoleMessage("Getting remote site info");
  quorex_GetSiteInfo(&ctx->siteInfo);
  if (debug >= 1)
    fprintf(errFile, "/debug/got site info for new connection. QUOR level=%d,patch flags=0x%8.8x\n",
            int(ctx->siteInfo.quor_level), ctx->siteInfo.quor_patch_flags);
  if (ctx->siteInfo.server_runmode == 1)
    checkNologin("/var/adm/config/nologin", 1);
  ozu_SetWindowSize();
  if (globalDefs.startupCOS < 0)
    globalDefs.startupCOS = int(ctx->siteInfo.startupCOS);
  site_connection_t *site = loginSiteEntry;
  syskeyset.backup = globalDefs.enableAutoBackup;
  syskeyset.cos = globalDefs.startupCOS;
  syskeyset.autocosFlag = syskeyset.cos == 0 ? 1 : 0;
  syskeyset.copies = globalDefs.defaultCopies != 0 ? globalDefs.defaultCopies : 1;
  syskeyset.talk = quietFlag;
  syskeyset.wait = 0;
  syskeyset.fs_char = ':';
  syskeyset.lines_per_page = page_length;
  syskeyset.cols_per_line = page_width;
  syskeyset.pwidth = 0;
  syskeyset.iobufsize = 0;
  syskeyset.PS1 = globalDefs.PS1 ? globalDefs.PS1 : strdup("? ");
  syskeyset.PS2 = globalDefs.PS2 ? globalDefs.PS2 : strdup("> ");
  globalDefs.PS1 = globalDefs.PS2 = nullptr;
  ctx->handle = quorex_GetCurConHandle();
  quorex_GetConnectionInfo(ctx->handle, &ctx->quor_name, nullptr, &ctx->quor_service, &ctx->port,
                           &ctx->minPort, &ctx->maxPort, nullptr);
  ctx->suFlag = SUMODE_NONE;
  ctx->curLogin.principal = login.ozuuname;
  ctx->curLogin.homeDir = login.homeDir;
  ctx->curLogin.uid = login.uid;
  ctx->curLogin.gid = login.gid;
  ctx->curLogin.acctId = login.acctId;
  ctx->curLogin.defaultAcctId = login.defaultAcctId;
  ctx->cksumEnabled = globalDefs.cksumEnabled;
  ctx->cksumHashType = globalDefs.cksumHashType;
  ctx->dcreateMode = mode_t(globalDefs.dir_create_mode);
  ctx->fcreateMode = mode_t(globalDefs.file_create_mode);
  ctx->siteEntry = site;
  ozu_ConsoleMessage("[setting umask]");
  int mask;
  if (globalDefs.umask >= 0) {
    mask = globalDefs.umask;
    if (debug >= 1)
      fprintf(errFile, "/debug/setting QUOR umask from globalDefs setting = 0%3.3o\n", unsigned(mask));
  } else if (ctx->siteInfo.umask != 0) {
    mask = int(ctx->siteInfo.umask);
    if (debug >= 1)
      fprintf(errFile, "/debug/setting umask from server-side setting = 0%3.3o\n", unsigned(mask));
  } else {
    mode_t m = umask(0);
    umask(m);
    mask = int(m);
    if (debug >= 1)
      fprintf(errFile, "/debug/setting umask from local umask = 0%3.3o\n", unsigned(mask));
  }
  mask &= 0777;
  ctx->umask = mask;
  rc = ozu_EioRetry([&] { return quor_Umask(mode_t(mask)); });
  if (rc < 0)
    quor_perror(rc, "set umask", nullptr, errFile);
  ctx->xconnector = 1;
  ctx->defaultFamilyID = site ? site->defaultFamilyID : globalDefs.defaultFamilyID;
  int fw = site ? site->firewallMode : globalDefs.firewallMode;
  ozu_SetFirewallOptions(ctx, fw, fw ? 3 : 1, 1);
  if (globalDefs.defaultDrive == 0)
    globalDefs.defaultDrive = ozu_AssignDriveLetter();
  ctx->driveLetter = globalDefs.defaultDrive;
  if (globalDefs.defaultCopies < 1 && ctx->siteInfo.app_copies != 0) {
    globalDefs.defaultCopies = int(ctx->siteInfo.app_copies);
    syskeyset.copies = globalDefs.defaultCopies;
  } else if (ctx->siteInfo.app_copies != 0) {
    syskeyset.copies = int(ctx->siteInfo.app_copies);
  }
  if (site != nullptr) {
    if (site->startupCOS < 0)
      site->startupCOS = globalDefs.startupCOS;
    syskeyset.cos = site->startupCOS;
    syskeyset.autocosFlag = syskeyset.cos == 0 ? 1 : 0;
  }
  ctx->rootUid = int(ctx->siteInfo.rootUid);
  ctx->commandCount = 0;
  ctx->cosNamedCount = -1;
  ctx->cosEntryCount = -1;
  if (ctx->curLogin.homeDir == nullptr || ctx->curLogin.homeDir[0] == '\0') {
    fprintf(errFile, "*** No QUOR home directory. Cannot continue\n");
    shutdownOZU();
  }
  ozu_connectList = ctx;
  rc = ozu_GetContextMaxXfers(ctx);
  if (rc < 0) {
    fprintf(errFile,
            "*** %s: (fatal) Unable to get or create max-transfer-concurrency table [error=%d]\n",
            "main", rc);
    exitcode = 69;
    shutdownOZU();
  }
  syskeyset.curContext = ctx;
  ctx->wd[0] = strdup(ctx->curLogin.homeDir);
  ctx->relflag[0] = 1;
  trashcanto = strdup(defaulttrashcan);
  if (globalDefs.enableFileExpiration)
    quorex_ExpireInitTable(globalDefs.expireCfgFile);
  ozu_ConsoleMessage("");
  char *cwd = ozu_GetCwd();
  std::string cwdLine = std::string("CWD: ") + (cwd ? cwd : "[cannot be determined]");
  free(cwd);
  ozu_LogCmd(cwdLine.c_str(), 1);
  char acctNameBuf[129];
  memset(acctNameBuf, 0, sizeof acctNameBuf);
  quor_GetAcctName(acctNameBuf);
  char banner[1024];
  snprintf(banner, sizeof banner,
           "Username: %s  UID: %d  Acct: %ld(%s) Copies: %d COS: %d Firewall: %s %s \n",
           ctx->curLogin.principal ? ctx->curLogin.principal : "", ctx->curLogin.uid,
           long(ctx->curLogin.acctId), acctNameBuf, syskeyset.copies, syskeyset.cos,
           ctx->firewallMode ? "on" : "off", OZU_VERSION);
  if (!quietFlag) {
    fputs(banner, errFile);
    fflush(errFile);
  }
  banner[strcspn(banner, "\n")] = '\0';
  ozu_LogCmd(banner, 5);
  sesskeyset = syskeyset;
  sesskeyset.PS1 = strdup(syskeyset.PS1 ? syskeyset.PS1 : "? ");
  sesskeyset.PS2 = strdup(syskeyset.PS2 ? syskeyset.PS2 : "> ");
  keyset = &sesskeyset;
  rc = ozu_EioRetry([&] { return quor_Chdir(ctx->wd[0]); });
  if (rc < 0)
    quor_perror(rc, "quor_Chdir", ctx->wd[0], errFile);
  interruptSetup();
  setAPIConfigOptions();
  if (isatty2 && !popenFlag) {
    if (ozu_CmdEditorInit(argv[0]) < 0) {
      editorEnabled = 0;
      fprintf(listF, "*** Error initializing command-line editor\n");
      fprintf(listF, "    command line history and command line editing is disabled\n");
    } else {
      editorEnabled = 1;
    }
  }
  finished = 0;
  while (!finished) {
    checkNologin(globalDefs.noLoginPath, 0);
    ozu_UserCommand();
    if (ozu_ShutdownRequested()) {
      exitcode = 69;  // whatever the interrupted command reported since
      shutdownOZU();
    }
  }
  shutdownOZU();
}
