// Creating and removing objects: mkdir (md, add), rm (delete, erase),
// mdelete, rmdir (remove, rd), and the making of missing directories that
// put and copy share.
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>

#include <string>
#include <vector>

#include "ns_commands.h"
#include "ns_heredoc.h"
#include "ozu_cmdframe.h"
#include "ozu_context.h"
#include "ozu_drive.h"
#include "ozu_errors.h"
#include "ozu_getopt.h"
#include "ozu_glob.h"
#include "ozu_log.h"
#include "ozu_prompt.h"
#include "ozuvars.h"
#include "quor_api.h"
#include "quor_convert.h"

namespace {

int verifyflag = 0;
int abortflag = 0;
int mdeleteCall = 0;
// -i given on the line: a removal that cannot be confirmed does not happen.
bool verifyExplicit = false;
// The -R walk of rm reports rmdir failures with 72, rmdir itself with 64.

void parentChanged(const char *path)
{
  std::string p = path;
  size_t cut = p.rfind('/');
  if (cut != std::string::npos)
    listVoidPath(cut == 0 ? "/" : p.substr(0, cut).c_str());
}

bool localRunMode()
{
  return keyset && keyset->curContext && keyset->curContext->siteInfo.server_runmode == 2;
}

// 0 and whether it is a directory; or the storage error.
int statIsDir(const char *path, bool *isDir)
{
  if (localRunMode()) {
    struct stat64 st;
    int rc = ozugw_LfxStat(path, &st);
    if (rc == 0)
      *isDir = S_ISDIR(st.st_mode);
    return rc;
  }
  quor_stat_t st;
  int rc = ozu_EioRetry([&] { return quor_Stat(path, &st); });
  if (rc == 0)
    *isDir = S_ISDIR(st.st_mode);
  return rc;
}

void unknownOption(int c)
{
  fprintf(stderr, "Unknown option or missing argument: '%c' ignored\n",
          c == '?' || c == ':' ? ozu_optopt : c);
}

void mkdirUsage()
{
  fprintf(listF, "Usage: mkd[ir] [-A annotation] [-m mode] [-p] path ...\n");
  fprintf(listF, "  -A  annotation of each directory made\n");
  fprintf(listF, "  -m  octal mode 0-7777 of each directory made\n");
  fprintf(listF, "  -p  make missing intermediate directories; an existing directory is\n");
  fprintf(listF, "      ignored without error\n");
}

void rmUsage()
{
  fprintf(listF, "Usage: rm [-i] [-R] path ...\n");
  fprintf(listF, "       (aliases: erase, del[ete])\n");
  fprintf(listF, "  -i  confirm each deletion\n");
  fprintf(listF, "  -R  remove directories and what they hold\n");
}

void mdeleteUsage()
{
  fprintf(listF, "Usage: mdel[ete] [-i] [-R] path ...\n");
  fprintf(listF, "  -i  confirm each deletion\n");
  fprintf(listF, "  -R  remove directories and what they hold\n");
}

void rmdirUsage()
{
  fprintf(listF, "Usage: rmdir path ...\n");
  fprintf(listF, "       Aliases: rem[ove],rd\n");
  fprintf(listF, "This function will fail if the directory is not empty\n");
}

void mkdirOne(const char *path, mode_t mode, bool makeParents, const std::string &annotation)
{
  int rc = ozu_EioRetry([&] { return quor_Mkdir(path, mode); });
  char msg[1300];
  if (rc == -17) {
    // An existing directory is left alone; anything else in its place is
    // an error, not silence.
    bool isDir = false;
    int src = statIsDir(path, &isDir);
    if (src == 0 && !isDir) {
      snprintf(msg, sizeof msg, "*** Path exists, but is not a directory: %s", path);
      setExitResult(72, msg, 7);
    }
    return;
  }
  if (rc == -2 && makeParents) {
    std::vector<char> buf(path, path + strlen(path) + 1);
    if (ozu_MakeAllSubdirs(buf.data(), mode) < 0)
      return;
  } else if (rc < 0) {
    setExitResult(72, quor_perror(rc, "quor_Mkdir", path, nullptr), 7);
    return;
  }
  parentChanged(path);
  snprintf(msg, sizeof msg, "%s: %s", verb, path);
  setExitResult(0, msg, 7);
  if (rc == 0) {
    int crc = ozu_EioRetry([&] { return quor_Chmod(path, mode); });
    if (crc < 0) {
      snprintf(msg, sizeof msg, "*** WARNING: Unable to set permissions for %s (error=%d)", path,
               crc);
      setExitResult(72, msg, 7);
    }
  }
  if (!annotation.empty()) {
    char expanded[256];
    ozu_ExpandAnnotationString(annotation.c_str(), path, expanded, 255);
    ozu_AnnotateObject(path, expanded);
  }
}

// 0 removed, the storage error, or -1 declined.
int delFile(const char *which, time_t lastWriteTime, uint64_t fileSize)
{
  if (verifyflag) {
    int answer = ozu_GetYesNo(verb, which);
    if (answer < 0 && verifyExplicit) {
      // Asked for confirmation but none can be given: nothing goes.
      char msg[1300];
      snprintf(msg, sizeof msg, "*** %s: no answer can be read to confirm '%s' - nothing removed",
               verb, which);
      setExitResult(64, msg, 7);
      abortflag = 1;
      return -1;
    }
    if (answer == 1) {
      verifyflag = 0;
    } else if (answer == 2) {
      return -1;
    } else if (answer == 3) {
      abortflag = 1;
      return -1;
    }
  }
  int rc = ozu_EioRetry([&] { return quor_Unlink(which); });
  if (rc < 0) {
    setExitResult(72, quor_perror(rc, verb, which, nullptr), 7);
    return rc;
  }
  parentChanged(which);
  struct tm tmv;
  localtime_r(&lastWriteTime, &tmv);
  char msg[1400];
  snprintf(msg, sizeof msg, "%s: %s (%4.4d/%2.2d/%2.2d %2.2d:%2.2d:%2.2d %llu bytes)", verb, which,
           tmv.tm_year + 1900, tmv.tm_mon + 1, tmv.tm_mday, tmv.tm_hour, tmv.tm_min, tmv.tm_sec,
           static_cast<unsigned long long>(fileSize));
  setExitResult(0, msg, 7);
  ozu_LogFileUnlink(which, fileSize);
  return 0;
}

int relEntCallback(ns_DirEntry_t *ent, int isdir, const char *, const char *fullpath)
{
  if (abortflag)
    return -1;
  if (isdir || ent->Attrs.Type == 132)
    return 0;
  int rc = delFile(fullpath, time_t(ent->Attrs.TimeLastWritten), ent->Attrs.DataLength);
  return abortflag ? -1 : rc;
}

void relEnddirCallback(const char *curdir)
{
  if (abortflag)
    return;
  if (verifyflag) {
    int answer = ozu_GetYesNo("Remove directory", curdir);
    if (answer < 0 && verifyExplicit) {
      char msg[1300];
      snprintf(msg, sizeof msg, "*** %s: no answer can be read to confirm '%s' - nothing removed",
               verb, curdir);
      setExitResult(64, msg, 7);
      abortflag = 1;
      return;
    }
    if (answer == 1)
      verifyflag = 0;
    else if (answer == 2)
      return;
    else if (answer == 3) {
      abortflag = 1;
      return;
    }
  }
  int rc = ozu_EioRetry([&] { return quor_Rmdir(curdir); });
  char msg[1300];
  if (rc == 0) {
    parentChanged(curdir);
    listVoidPath(curdir);
    snprintf(msg, sizeof msg, "rmdir: %s", curdir);
    setExitResult(0, msg, 7);
  } else if (rc == -17) {
    snprintf(msg, sizeof msg, "*** Directory not empty: %s", curdir);
    setExitResult(72, msg, 7);
  } else {
    setExitResult(72, quor_perror(rc, "quor_Rmdir", curdir, nullptr), 7);
  }
}

int commonRmCommand(char *cc, int cclen)
{
  ozu_cmd_t cmd(cc, cclen);
  if (cmd.argc == 0) {
    if (mdeleteCall)
      mdeleteUsage();
    else
      rmUsage();
    return 1;
  }
  abortflag = 0;
  verifyExplicit = false;
  bool recurse = false;
  for (int c; (c = ozu_CmdOption(&cmd, "Ri", nullptr)) != OZU_OPT_END;) {
    if (c == 'R')
      recurse = true;
    else if (c == 'i')
      verifyflag = 1, verifyExplicit = true;
    else
      unknownOption(c);
  }
  std::vector<std::string> hereDoc;
  if (ozu_CmdKeywords(&cmd, OZU_KW_UNKNOWN_IS_NAME) < 0 || ns_HereDocNames(&cmd, &hereDoc) < 0)
    return 1;
  char *word = ozu_CmdNextName(&cmd);
  if (word == nullptr) {
    missingObjectsMsg();
    return 1;
  }
  std::vector<std::string> dirs;
  ozu_each_t how;
  how.stop = &abortflag;
  how.match = [&](const globstruct_t &g) {
    if (g.dir) {
      if (recurse) {
        dirs.push_back(g.name);
      } else if (!g.globbed) {
        std::string msg = "*** Warning: `" + std::string(g.name) + "' is a directory - ignored";
        setExitResult(0, msg.c_str(), 6);
      }
      return;
    }
    quor_stat_t st;
    int rc = ozu_EioRetry([&] { return quor_Lstat(g.name, &st); });
    if (rc < 0) {
      setExitResult(72, quor_perror(rc, verb, g.name, nullptr), 7);
      return;
    }
    delFile(g.name, time_t(st.quor_st_mtime), st.st_size);
  };
  how.done = [&] {
    cmd.recurse = 1;
    for (const std::string &d : dirs)
      if (!interrupted && !abortflag) {
        ozu_CmdWalk(&cmd, d.c_str(), relEntCallback, nullptr, relEnddirCallback);
        listVoidPath(d.c_str());
      }
    dirs.clear();
  };
  ozu_CmdEachMatch(&cmd, word, how);
  return 1;
}

}  // namespace

int ozu_MakeAllSubdirs(char *dirPath, mode_t createMode)
{
  bool local = localRunMode();
  bool isDir = false;
  char msg[1300];
  int rc = statIsDir(dirPath, &isDir);
  if (rc == 0) {
    if (isDir)
      return 0;
    snprintf(msg, sizeof msg, "*** Path exists, but is not a directory: %s\n", dirPath);
    setExitResult(72, msg, 7);
    return -1;
  }
  if (strchr(dirPath, '/') == nullptr)
    return 0;  // a bare name that does not exist: nothing to make
  // Every cut is a '/' that goes back before returning; cuts run from the
  // last separator up.
  std::vector<char *> cuts;
  auto restore = [&] {
    for (char *c : cuts)
      *c = '/';
  };
  bool prefixExists = false;
  for (;;) {
    char *slash = strrchr(dirPath, '/');
    if (slash == nullptr || slash == dirPath)
      break;
    *slash = '\0';
    cuts.push_back(slash);
    rc = statIsDir(dirPath, &isDir);
    if (rc == 0) {
      if (isDir) {
        prefixExists = true;
        break;
      }
      snprintf(msg, sizeof msg, "*** Not a directory: %s\n", dirPath);
      setExitResult(72, msg, 7);
      restore();
      return -1;
    }
    if (rc != -2) {
      setExitResult(72, quor_perror(rc, "(make intermediate subdirs)", dirPath, nullptr), 7);
      restore();
      return -1;
    }
  }
  auto makeOne = [&](mode_t m) {
    int mrc = local ? ozugw_LfxMkdir(dirPath, m)
                    : ozu_EioRetry([&] { return quor_Mkdir(dirPath, m); });
    if (mrc == 0)
      parentChanged(dirPath);
    if (mrc != 0 && mrc != -17) {
      setExitResult(72, quor_perror(mrc, local ? "create Remote" : "create QUOR", dirPath, nullptr),
                    7);
      return -1;
    }
    return 0;
  };
  // The walk ended at the first component, which is missing too.
  if (!prefixExists && makeOne(cuts.empty() ? createMode : createMode | 0700) < 0) {
    restore();
    return -1;
  }
  while (!cuts.empty()) {
    *cuts.back() = '/';
    cuts.pop_back();
    if (makeOne(cuts.empty() ? createMode : createMode | 0700) < 0) {
      restore();
      return -1;
    }
  }
  return 0;
}

int ozu_MkdirCommand(char *cc, int cclen)
{
  ozu_cmd_t cmd(cc, cclen);
  if (cmd.argc == 0) {
    mkdirUsage();
    return 1;
  }
  ozu_context_t *ctx = keyset ? keyset->curContext : nullptr;
  mode_t mode = ctx ? mode_t(ctx->dcreateMode & ~mode_t(ctx->umask)) : 0755;
  bool makeParents = false;
  std::string annotation;
  for (int c; (c = ozu_CmdOption(&cmd, "pm:A:", nullptr)) != OZU_OPT_END;) {
    switch (c) {
    case 'p': makeParents = true; break;
    case 'm': {
      int v = atooctal(ozu_optarg);
      if (v < 0)
        fprintf(stderr, "*** Bad octal string ignored: %s\n", ozu_optarg);
      else
        mode = mode_t(v & 07777);
      break;
    }
    case 'A':
      if (*ozu_optarg == '\0')
        fprintf(stderr, "*** warning: empty annotation string ignored\n");
      else
        annotation.assign(ozu_optarg, strnlen(ozu_optarg, 255));
      break;
    default: unknownOption(c); break;
    }
  }
  if (ozu_CmdKeywords(&cmd, OZU_KW_UNKNOWN_IS_NAME) < 0)
    return 1;
  char *word = ozu_CmdNextName(&cmd);
  if (word == nullptr) {
    missingObjectsMsg();
    return 1;
  }
  // Each directory is made from a copy of the matches, the wildcard
  // result already released.
  ozu_each_t how;
  how.copyOut = true;
  how.match = [&](const globstruct_t &g) { mkdirOne(g.name, mode, makeParents, annotation); };
  ozu_CmdEachMatch(&cmd, word, how);
  return 1;
}

int ozu_RmCommand(char *cc, int cclen)
{
  verifyflag = 0;
  mdeleteCall = 0;
  return commonRmCommand(cc, cclen);
}

int ozu_MdelCommand(char *cc, int cclen)
{
  verifyflag = promptFlag;
  mdeleteCall = 1;
  return commonRmCommand(cc, cclen);
}

int ozu_RmdirCommand(char *cc, int cclen)
{
  ozu_cmd_t cmd(cc, cclen);
  if (cmd.argc == 0) {
    rmdirUsage();
    return 1;
  }
  if (ozu_CmdKeywords(&cmd, OZU_KW_UNKNOWN_IS_NAME) < 0)
    return 1;
  char *word = ozu_CmdNextName(&cmd);
  if (word == nullptr) {
    missingObjectsMsg();
    return 1;
  }
  ozu_each_t how;
  how.match = [&](const globstruct_t &g) {
    char msg[1300];
    if (!g.dir) {
      if (!g.globbed) {
        snprintf(msg, sizeof msg, "*** Warning: `%s' is not a directory - skipped", g.name);
        setExitResult(0, msg, 7);
      }
      return;
    }
    quor_stat_t st;
    int rc = ozu_EioRetry([&] { return quor_Lstat(g.name, &st); });
    if (rc < 0) {
      setExitResult(64, quor_perror(rc, verb, g.name, nullptr), 7);
      return;
    }
    if (!S_ISDIR(st.st_mode)) {
      snprintf(msg, sizeof msg, "*** %s: not a directory '%s'", verb, g.name);
      setExitResult(64, msg, 7);
      return;
    }
    rc = ozu_EioRetry([&] { return quor_Rmdir(g.name); });
    if (rc == 0) {
      parentChanged(g.name);
      listVoidPath(g.name);
      snprintf(msg, sizeof msg, "%s: %s", verb, g.name);
      setExitResult(0, msg, 7);
    } else if (rc == -17) {
      snprintf(msg, sizeof msg, "*** Directory not empty: %s", g.name);
      setExitResult(64, msg, 7);
    } else {
      setExitResult(64, quor_perror(rc, "quor_Rmdir", g.name, nullptr), 7);
    }
  };
  ozu_CmdEachMatch(&cmd, word, how);
  return 1;
}
