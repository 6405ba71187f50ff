// Local commands: the shell escape, local directories, and the in, out
// and log redirections; the local log at start-up.
#include "ozu_local.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "ozu_cmdread.h"
#include "ozu_context.h"
#include "ozu_dispatch.h"
#include "ozu_log.h"
#include "ozu_misc.h"
#include "ozu_paths.h"
#include "ozu_tokens.h"
#include "ozuvars.h"
#include "shell_commands.h"

namespace {

void warn(int code, int dest, const char *fmt, const char *arg)
{
  char msg[4200];
  snprintf(msg, sizeof msg, fmt, arg);
  setExitResult(code, msg, dest);
}

const char *skipBlanks(const char *p)
{
  while (*p == ' ' || *p == '\t')
    ++p;
  return p;
}

// Drops one pair of matching quotes around the whole text.
std::string unquote(const std::string &s)
{
  if (s.size() >= 2 && (s[0] == '"' || s[0] == '\'') && s.back() == s[0])
    return s.substr(1, s.size() - 2);
  return s;
}

int changeDir(const char *arg)
{
  std::string dir = *arg ? arg : "~";
  while (!dir.empty() && (dir.back() == ' ' || dir.back() == '\t'))
    dir.pop_back();
  char buf[4096];
  int rc = expandWorkerPath(dir.c_str(), buf, sizeof buf);
  if (rc < 0) {
    // The expander has said why; the command has still failed.
    setExitResult(64, nullptr, 0);
    return -1;
  }
  if (rc == 1)
    dir = buf;
  dir = unquote(dir);
  if (chdir(dir.c_str()) != 0) {
    char msg[4200];
    snprintf(msg, sizeof msg, "error %d changing to directory %s", errno, dir.c_str());
    setExitResult(72, msg, 6);
    return -1;
  }
  return 0;
}

// mkdir that accepts only an existing directory: 0, or -1 with errno.
int makeDir(const char *path, mode_t mode)
{
  if (mkdir(path, mode) == 0)
    return 0;
  if (errno != EEXIST)
    return -1;
  struct stat st;
  if (stat(path, &st) == 0 && S_ISDIR(st.st_mode))
    return 0;
  errno = EEXIST;
  return -1;
}

int runLocal(const char *command, const char *rest)
{
  std::string line = command;
  line += rest;
  if (line.size() > 4199) {
    // A cut command line would run something else.
    setExitResult(64, "*** local command line too long", 6);
    return 0;
  }
  ozu_SystemCmd(line.c_str());
  return 0;
}

const Option lmkdirOptions[] = {{'p', 1}, {0, 0}};

// Opens the target of "out" or "log": the stream, or null after a message.
FILE *openRedirect(const char *tail, bool isLog, std::string *name)
{
  const char *p = skipBlanks(tail);
  const char *what = isLog ? "LOG" : "OUT";
  if (*p == '\0' || *p == '\n') {
    char msg[64];
    snprintf(msg, sizeof msg, "Warning: %s command missing filename", what);
    setExitResult(0, msg, 6);
    return nullptr;
  }
  bool append = false;
  if (p[0] == '>') {
    append = p[1] == '>';
    p += append ? 2 : 1;
    p = skipBlanks(p);
    if (*p == '\0') {
      fprintf(ttyOut, "(%s) missing filename\n", what);
      return nullptr;
    }
  }
  if (*p == '-')
    return nullptr;
  *name = p;
  while (!name->empty() && (name->back() == ' ' || name->back() == '\t' || name->back() == '\n'))
    name->pop_back();
  int dest = isLog ? 7 : 6;
  struct stat st;
  if (stat(name->c_str(), &st) == 0) {
    if (S_ISDIR(st.st_mode)) {
      warn(64, dest, isLog ? "*** %s is a directory\n" : "*** %s is a directory", name->c_str());
      return nullptr;
    }
    if (append && !S_ISREG(st.st_mode)) {
      warn(64, dest, "*** %s not a regular file", name->c_str());
      return nullptr;
    }
  }
  FILE *f = fopen(name->c_str(), append ? "a" : "w");
  if (f == nullptr)
    warn(73, dest, "*** error opening %s", name->c_str());
  return f;
}

}  // namespace

int ozu_SystemCmd(const char *cmd)
{
  uid_t saved = geteuid();
  if (seteuid(uid_t(realuid)) != 0) {
    fprintf(listF, "Error setting effective uid to '%d'\n", realuid);
    return 0;
  }
  fflush(listF);
  fflush(stdout);
  int status = system(cmd);
  if (debug > 0)
    fprintf(listF, "/debug/ system(%s) returned 0x%x\n", cmd, unsigned(status));
  if (seteuid(saved) != 0)
    fprintf(listF, "Error resetting effective uid to '%d'\n", int(saved));
  return status;
}

int ozu_LpwdCommand(char *cc, int cclen) { return runLocal("/bin/pwd ", cc + cclen); }
int ozu_LlsCommand(char *cc, int cclen) { return runLocal("/bin/ls ", cc + cclen); }

int ozu_LcdCommand(char *cc, int cclen)
{
  changeDir(skipBlanks(cc + cclen));
  return 0;
}

int ozu_LcdLsCommand(char *cc, int cclen)
{
  const char *p = skipBlanks(cc + cclen);
  std::string opts;
  while (*p == '-') {
    const char *e = p;
    while (*e && *e != ' ' && *e != '\t')
      ++e;
    opts += ' ';
    opts.append(p, e);
    p = skipBlanks(e);
  }
  if (changeDir(p) == 0)
    runLocal("/bin/ls", opts.c_str());
  return 0;
}

int ozu_LmkdirCommand(char *cc, int cclen)
{
  char **options = nullptr, **objects = nullptr;
  if (ozuparse(cc + cclen, &options, &objects) < 0)
    return 1;
  if (ozu_ParseOptions(objects, lmkdirOptions, &minus_opt) < 0) {
    ozuFreeStringList(options);
    ozuFreeStringList(objects);
    return 1;
  }
  mode_t mode = keyset && keyset->curContext ? keyset->curContext->dcreateMode : 0777;
  bool failedOnce = false;
  for (int i = 0; objects && objects[i] && !interrupted; ++i) {
    if (objects[i][0] == '\0')
      continue;
    char **one = static_cast<char **>(calloc(2, sizeof(char *)));
    char *copy = one ? strdup(objects[i]) : nullptr;
    if (copy == nullptr) {
      free(one);
      setExitResult(78, "ozu_LmkdirCommand: malloc problem", 7);
      break;
    }
    one[0] = copy;
    expandUPaths(one, 1, 0);
    std::string path = one[0];
    ozuFreeStringList(one);
    if (!(minus_opt & 1)) {
      if (mkdir(path.c_str(), mode) != 0) {
        int err = errno;
        if (err == EEXIST && makeDir(path.c_str(), mode) == 0) {
          if (debug > 1)
            fprintf(listF, "/debug/: %s already exists", path.c_str());
        } else if (err == EACCES) {
          warn(70, 7, "*** Access denied creating %s", path.c_str());
        } else {
          char msg[4200];
          snprintf(msg, sizeof msg, "*** Error %d creating local directory `%s'", err,
                   path.c_str());
          setExitResult(70, msg, 7);
        }
      }
      continue;
    }
    // -p: from the deepest existing ancestor down. A failed path only
    // stops its own creation.
    size_t start = std::string::npos;
    std::string prefix = path;
    bool ok = true;
    for (;;) {
      size_t slash = prefix.rfind('/');
      if (slash == std::string::npos || slash == 0) {
        start = 0;
        break;
      }
      prefix.erase(slash);
      struct stat st;
      if (stat(prefix.c_str(), &st) != 0) {
        if (errno == ENOENT)
          continue;
        if (errno == EACCES)
          warn(72, 7, "*** Access denied for %s", path.c_str());
        else {
          char msg[4200];
          snprintf(msg, sizeof msg, "*** Error %d stat-ing %s", errno, path.c_str());
          setExitResult(72, msg, 7);
        }
        ok = false;
        break;
      }
      if (!S_ISDIR(st.st_mode)) {
        warn(72, 7, "*** Not a directory: %s\n", prefix.c_str());
        ok = false;
        break;
      }
      if (debug > 1)
        fprintf(listF, "debug: found existing directory: %s\n", prefix.c_str());
      start = slash;
      break;
    }
    if (!ok) {
      failedOnce = true;
      continue;
    }
    for (size_t pos = path.find('/', start + 1);; pos = path.find('/', pos + 1)) {
      std::string part = pos == std::string::npos ? path : path.substr(0, pos);
      if (!part.empty()) {
        if (debug > 0)
          fprintf(listF, "debug: attempting to create intermediate dir `%s'\n", part.c_str());
        if (makeDir(part.c_str(), mode) != 0) {
          if (errno == EACCES)
            warn(72, 7, "*** `Access denied' error creating directory %s", part.c_str());
          else {
            char msg[4200];
            snprintf(msg, sizeof msg, "*** Error %d creating subdir. `%s'", errno, part.c_str());
            setExitResult(72, msg, 7);
          }
          ok = false;
          break;
        }
      }
      if (pos == std::string::npos)
        break;
    }
    if (ok)
      warn(0, 7, "lmkdir: %s", path.c_str());
    else
      failedOnce = true;
  }
  (void)failedOnce;
  ozuFreeStringList(options);
  ozuFreeStringList(objects);
  return 0;
}

int ozu_InCommand(char *cc, int)
{
  if (infileFlag) {
    setExitResult(0, "Warning: IN not allowed from IN-file", 6);
    return 0;
  }
  const char *p = cc;
  p = skipBlanks(p + 2);
  if (*p == '\0' || *p == '\n') {
    setExitResult(0, "Warning: IN command missing filename", 6);
    return 0;
  }
  std::string name = p;
  char *copy = strdup(name.c_str());
  if (copy == nullptr) {
    warn(78, 7, "*** error allocating input filename buffer for [%s]", name.c_str());
    return 0;
  }
  struct stat st;
  if (stat(copy, &st) != 0) {
    warn(72, 7, "*** error trying to stat %s", copy);
  } else if (S_ISDIR(st.st_mode)) {
    warn(64, 7, "*** %s is a directory\n", copy);
  } else if (!S_ISREG(st.st_mode)) {
    warn(64, 7, "*** %s not a regular file\n", copy);
  } else if ((fdIn = fopen(copy, "r")) == nullptr) {
    warn(72, 7, "*** error opening %s", copy);
  } else {
    free(infileName);
    infileName = copy;
    infileFlag++;
    infileLine = 0;
    echoSave = echoFlag;
    echoFlag = 1;
    ozu_TermCmdLine();
    return -2;
  }
  free(copy);
  return 0;
}

int ozu_OutCommand(char *cc, int)
{
  if (outfileFlag && fdOut) {
    fflush(fdOut);
    fclose(fdOut);
    fdOut = nullptr;
  }
  outfileFlag = 0;
  listF = ttyOut;
  std::string name;
  FILE *f = openRedirect(cc + 3, false, &name);
  if (f == nullptr)
    return 0;
  char *copy = strdup(name.c_str());
  if (copy == nullptr) {
    fclose(f);
    warn(78, 7, "error allocating output filename buffer for [%s]", name.c_str());
    return 0;
  }
  free(outfileName);
  outfileName = copy;
  fdOut = f;
  outfileFlag = 1;
  listF = fdOut;
  fprintf(ttyOut, "Listing output now being written to `%s'\n", copy);
  return 0;
}

int ozu_LogCommand(char *cc, int)
{
  if (logfileFlag && fdLog) {
    fflush(fdLog);
    fclose(fdLog);
    fdLog = nullptr;
  }
  logfileFlag = 0;
  std::string name;
  FILE *f = openRedirect(cc + 3, true, &name);
  if (f == nullptr)
    return 0;
  char *copy = strdup(name.c_str());
  if (copy == nullptr) {
    fclose(f);
    warn(78, 7, "error allocating log filename buffer for [%s]", name.c_str());
    return 0;
  }
  free(logfileName);
  logfileName = copy;
  fdLog = f;
  logfileFlag = 1;
  fprintf(listF, "Log output now being written to `%s'\n", copy);
  ozu_LogCmd(cc, 4);
  return 0;
}

int ozu_InitLocalLog(const char *logDir, int argc, char **argv)
{
  const char *env = getenv("OZU_LOGFILE");
  if (env == nullptr || strcmp(env, "none") == 0)
    return -1;
  bool expandFailed = false;
  std::string name;
  char *expanded = ozu_ExpandKeytabPath(env, nullptr, nullptr);
  if (expanded != nullptr) {
    name = std::string(expanded + 5).substr(0, 4096);
    free(expanded);
  } else {
    expandFailed = true;
    name = std::string(logDir ? logDir : ".") + "/ozulog." + std::to_string(getpid());
  }
  char *copy = strdup(name.c_str());
  if (copy == nullptr) {
    fprintf(errFile, "error allocating log filename buffer for [%s]", name.c_str());
    return -1;
  }
  fdLog = fopen(copy, "a");
  if (fdLog == nullptr) {
    fprintf(errFile, "[warning] error creating logfile %slogging has been disabled\n", copy);
    free(copy);
    return -1;
  }
  logfileName = copy;
  logfileFlag = 1;
  char host[256];
  if (gethostname(host, sizeof host) != 0)
    snprintf(host, sizeof host, "%s", "[hostname unknown]");
  host[sizeof host - 1] = '\0';
  char line[4200];
  snprintf(line, sizeof line, "OZU %s version %s starting. Local host: %s", "Client", OZU_VERSION,
           host);
  ozu_LogCmd(line, 4);
  if (expandFailed)
    ozu_LogCmd("* [NOTE] OZU was unable to expand the OZU_LOGFILE environment string:", 4);
  std::string cur = "Command line:";
  bool holds = false;
  for (int i = 0; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg.size() > 4192) {
      if (holds)
        ozu_LogCmd(cur.c_str(), 4);
      ozu_LogCmd((arg.substr(0, 4192) + "...").c_str(), 4);
      cur.clear();
      holds = false;
      continue;
    }
    if (cur.size() + arg.size() + 2 > 4195) {
      if (holds)
        ozu_LogCmd(cur.c_str(), 4);
      cur = arg;
    } else {
      cur += ' ';
      cur += arg;
    }
    holds = true;
  }
  if (holds)
    ozu_LogCmd(cur.c_str(), 4);
  return 0;
}
