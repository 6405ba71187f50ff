// Renaming and linking on one connection: mv (move), rename, ln, and
// merge, which the client accepts and leaves alone.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include <algorithm>
#include <string>
#include <vector>

#include "ns_commands.h"
#include "ozu_cmdframe.h"
#include "ozu_connect.h"
#include "ozu_context.h"
#include "ozu_drive.h"
#include "ozu_errors.h"
#include "ozu_getopt.h"
#include "ozu_glob.h"
#include "ozu_log.h"
#include "ozu_misc.h"
#include "ozu_prompt.h"
#include "ozuvars.h"
#include "quor_api.h"

namespace {

int curHandle()
{
  return keyset && keyset->curContext ? keyset->curContext->handle : -1;
}

void parentChanged(const char *path)
{
  std::string p = path;
  size_t cut = p.rfind('/');
  if (cut != std::string::npos)
    listVoidPath(cut == 0 ? "/" : p.substr(0, cut).c_str());
}

const char *baseName(const char *path)
{
  const char *slash = strrchr(path, '/');
  return slash ? slash + 1 : path;
}

void unknownOption(int c)
{
  fprintf(stderr, "Unknown option or missing argument: '%c' ignored\n",
          c == '?' || c == ':' ? ozu_optopt : c);
}

void fail(int code, const char *fmt, const char *a, const char *b = nullptr)
{
  char msg[2400];
  snprintf(msg, sizeof msg, fmt, a, b);
  setExitResult(code, msg, 7);
}

void mvUsage()
{
  fprintf(listF, "Usage:  mv [-f] [-i] [-v] path1 path2\n");
  fprintf(listF, "        mv [-f] [-i] [-v] path1 path2 ... dirpath\n");
  fprintf(listF, "  -f  remove an existing target first\n");
  fprintf(listF, "  -i  ask before removing a target (with -f)\n");
  fprintf(listF, "  -v  report each move\n");
}

void renameUsage()
{
  fprintf(listF, "Usage: ren[ame] srcpath  sinkpath\n");
  fprintf(listF, "       Both paths must reference the same QUOR system\n");
}

void lnUsage()
{
  fprintf(listF, "Usage: ln [-f ] [- h] [-n ] [ -s ] sourcename targetname\n");
  fprintf(listF, "       ln [-f ] [- h] [-n ] [ -s ] sourcename ... targetdirectory\n");
  fprintf(listF, "  -f  unlink an existing target first\n");
  fprintf(listF, "  -h  do not follow a target that is a symbolic link\n");
  fprintf(listF, "  -n  the same as -h\n");
  fprintf(listF, "  -s  make symbolic links\n");
}

// Takes the keyword settings, then expands the last name, the sink, on its
// connection into one absolute path: 0, or -1 (the command ends).
int oneSink(ozu_cmd_t *cmd, std::string *sink, int *sinkHandle, bool quoted)
{
  if (ozu_CmdKeywords(cmd, OZU_KW_UNKNOWN_IS_NAME) < 0)
    return -1;
  if (cmd->names.size() < 2) {
    missingObjectsMsg();
    return -1;
  }
  char path[OZU_CMD_PATHLEN];
  if (ozu_CmdExpandPath(cmd, cmd->names.back(), path) < 0)
    return -1;
  *sinkHandle = curHandle();
  int n = ozu_CmdGlob(cmd, path, 1);
  if (n < 0)
    return -1;
  if (globInx == 0) {
    if (!quoted)
      fail(64, "*** No matching target path for pattern: %s", path);
    return -1;
  }
  if (globInx > 1) {
    fail(64, "*** Ambiguous path: %s", path);
    return -1;
  }
  *sink = globv[0].name;
  ozu_CmdGlobDone(cmd);
  return 0;
}

}  // namespace

int ozu_MvCommand(char *cc, int cclen)
{
  ozu_cmd_t cmd(cc, cclen);
  if (cmd.argc == 0) {
    mvUsage();
    return 1;
  }
  bool force = false, ask = false, verbose = false;
  for (int c; (c = ozu_CmdOption(&cmd, "fiv", nullptr)) != OZU_OPT_END;) {
    if (c == 'f')
      force = true;
    else if (c == 'i')
      ask = true;
    else if (c == 'v')
      verbose = true;
    else
      unknownOption(c);
  }
  std::string sink;
  int sinkHandle = -1;
  if (oneSink(&cmd, &sink, &sinkHandle, false) < 0)
    return 1;
  quor_stat_t st;
  int rc = ozu_EioRetry([&] { return quor_Stat(sink.c_str(), &st); });
  if (rc < 0 && rc != -2) {
    setExitResult(64, quor_perror(rc, "quor_Stat", sink.c_str(), nullptr), 7);
    return 1;
  }
  bool sinkExists = rc == 0, sinkIsDir = rc == 0 && S_ISDIR(st.st_mode);
  // An existing file as the sink is judged per source below, so that
  // "mv a a" is the harmless rename to itself and several sources onto a
  // file are told the sink is no directory.
  std::string prefix;
  ozu_context_t *sinkCtx = ozu_LookupConnection(sinkHandle);
  if (sinkHandle != cmd.startHandle && sinkCtx)
    prefix = std::string(1, sinkCtx->driveLetter) + ":";
  ozu_CmdSwitchBack(&cmd);
  std::vector<std::string> sources;
  for (size_t i = 0; i + 1 < cmd.names.size() && !interrupted; ++i) {
    const char *word = cmd.names[i];
    if (ozu_GetDriveLetter(word) && word[2] == '\0') {
      log_MissingPathForDrive(word);
      continue;
    }
    char path[OZU_CMD_PATHLEN];
    if (ozu_CmdExpandPath(&cmd, word, path) < 0)
      return 1;
    if (curHandle() != sinkHandle) {
      fail(64, "*** Cross-QUOR mv not supported yet [%s]", word);
      ozu_CmdSwitchBack(&cmd);
      continue;
    }
    if (ozu_CmdGlob(&cmd, path, 1) < 0)
      return 1;
    for (int m = 0; m < globInx; ++m)
      sources.push_back(globv[m].name);
    ozu_CmdGlobDone(&cmd);
  }
  std::sort(sources.begin(), sources.end());
  if (sources.size() > 1) {
    if (!sinkExists) {
      fail(64, "*** %s directory does not exist", sink.c_str());
      return 1;
    }
    if (!sinkIsDir) {
      fail(64, "*** %s is not a directory", sink.c_str());
      return 1;
    }
  }
  // mv runs on the sink's connection from here on.
  if (ozu_SetCurConnection(sinkHandle) < 0)
    return 1;
  for (const std::string &src : sources) {
    if (interrupted)
      break;
    quor_stat_t sst;
    rc = ozu_EioRetry([&] { return quor_Lstat(src.c_str(), &sst); });
    if (rc < 0) {
      // Nothing moves: that is a failure of the command, not a remark.
      const ozu_error_t *e = quor_strerror(rc);
      char msg[2400];
      snprintf(msg, sizeof msg, "%s: rename %s to %s: %s", verb, src.c_str(), sink.c_str(),
               e ? e->quor_error_text : "");
      setExitResult(72, msg, 7);
      continue;
    }
    bool srcIsDir = S_ISDIR(sst.st_mode);
    std::string target = sink;
    bool targetExists = sinkExists, targetIsDir = sinkIsDir;
    if (sinkIsDir) {
      const char *base = baseName(src.c_str());
      if (sink.size() + 1 + strlen(base) > 1024) {
        fail(64, "*** Target path exceeds QUOR_MAX_PATH_NAME chars for %s", src.c_str());
        continue;
      }
      target = (sink == "/" ? "" : sink) + "/" + base;
      quor_stat_t tst;
      rc = ozu_EioRetry([&] { return quor_Stat(target.c_str(), &tst); });
      if (rc < 0 && rc != -2) {
        setExitResult(72, quor_perror(rc, "quor_Stat", target.c_str(), nullptr), 7);
        continue;
      }
      targetExists = rc == 0;
      targetIsDir = rc == 0 && S_ISDIR(tst.st_mode);
    }
    if (src == target) {
      char msg[2400];
      snprintf(msg, sizeof msg, "*** Warning %s: attempt to rename '%s' to itself ignored", verb,
               src.c_str());
      setExitResult(0, msg, 7);
      continue;
    }
    if (srcIsDir && !sinkIsDir) {
      // A directory cannot replace anything that is not a directory.
      if (sinkExists) {
        fail(64, "*** Error: source (%s) and target (%s) must both be directories ", src.c_str(),
             sink.c_str());
        continue;
      }
    }
    if (targetExists) {
      if (srcIsDir && sinkIsDir) {
        fail(64, "*** Target directory %s already exists.", target.c_str());
        continue;
      }
      if (!srcIsDir && !force) {
        fail(64, "*** Target file %s already exists. (Use -f option to remove first)",
             target.c_str());
        continue;
      }
    }
    if (force) {
      if (targetIsDir) {
        fail(64, "*** Cannot unlink target directory %s", target.c_str());
        continue;
      }
      if (ask) {
        int answer = ozu_GetYesNo("Remove", target.c_str());
        if (answer < 0) {
          fail(64, "*** %s: no answer can be read to confirm '%s' - nothing moved", verb,
               target.c_str());
          return 1;
        }
        if (answer == 3)
          return 1;
        if (answer == 2)
          continue;
        if (answer == 1)
          ask = false;
      }
      quor_stat_t tst;
      uint64_t size = 0;
      if (ozu_EioRetry([&] { return quor_Lstat(target.c_str(), &tst); }) == 0)
        size = tst.st_size;
      rc = ozu_EioRetry([&] { return quor_Unlink(target.c_str()); });
      if (rc == 0)
        ozu_LogFileUnlink(target.c_str(), size);
      else if (rc != -2)
        setExitResult(0, quor_perror(rc, "quor_Unlink", sink.c_str(), nullptr), 7);
    }
    rc = ozu_EioRetry([&] { return quor_Rename(src.c_str(), target.c_str()); });
    if (rc < 0) {
      setExitResult(72, quor_perror(rc, "quor_Rename", src.c_str(), nullptr), 7);
      continue;
    }
    parentChanged(src.c_str());
    parentChanged(target.c_str());
    if (srcIsDir)
      listVoidPath(src.c_str());
    ozu_LogFileRename(src.c_str(), target.c_str());
    if (verbose) {
      char msg[2400];
      snprintf(msg, sizeof msg, "%s: %s%s to %s%s", verb, prefix.c_str(), src.c_str(),
               prefix.c_str(), target.c_str());
      setExitResult(0, msg, 7);
    }
  }
  return 1;
}

int ozu_RenameCommand(char *cc, int cclen)
{
  ozu_cmd_t cmd(cc, cclen);
  if (cmd.argc == 0) {
    renameUsage();
    return 1;
  }
  ozu_optind = 0;
  if (ozu_CmdKeywords(&cmd, OZU_KW_UNKNOWN_IS_NAME) < 0)
    return 1;
  if (cmd.names.size() != 2) {
    renameUsage();
    return 1;
  }
  const char *srcWord = cmd.names[0], *sinkWord = cmd.names[1];
  if (ozu_GetDriveLetter(srcWord) && srcWord[2] == '\0') {
    log_MissingPathForDrive(srcWord);
    return 1;
  }
  char path[OZU_CMD_PATHLEN];
  if (ozu_CmdExpandPath(&cmd, srcWord, path) < 0)
    return 1;
  int srcHandle = curHandle();
  if (ozu_CmdGlob(&cmd, path, 1) <= 0)
    return 1;
  if (globInx > 1) {
    fail(64, "*** Ambiguous path: '%s'", path);
    return 1;
  }
  std::string src = globv[0].name;
  ozu_CmdGlobDone(&cmd);
  if (ozu_CmdSwitchBack(&cmd) < 0)
    return 1;
  if (ozu_GetDriveLetter(sinkWord) && sinkWord[2] == '\0') {
    log_MissingPathForDrive(sinkWord);
    return 1;
  }
  char sink[OZU_CMD_PATHLEN];
  if (ozu_CmdExpandPath(&cmd, sinkWord, sink) < 0)
    return 1;
  if (curHandle() != srcHandle) {
    setExitResult(64, "*** Source and sink pathnames must reference the same QUOR connection.", 7);
    return 1;
  }
  quor_stat_t st;
  int lrc = ozu_EioRetry([&] { return quor_Lstat(sink, &st); });
  int rc = ozu_EioRetry([&] { return quor_Rename(src.c_str(), sink); });
  if (rc != 0) {
    setExitResult(72, quor_perror(rc, verb, src.c_str(), nullptr), 7);
    return 1;
  }
  parentChanged(src.c_str());
  parentChanged(sink);
  listVoidPath(src.c_str());
  char msg[2400];
  snprintf(msg, sizeof msg, "%s: %s to %s", verb, src.c_str(), sink);
  setExitResult(0, msg, 7);
  if (lrc == 0 && S_ISREG(st.st_mode))
    ozu_LogFileUnlink(sink, st.st_size);
  ozu_LogFileRename(src.c_str(), sink);
  return 1;
}

int ozu_LnCommand(char *cc, int cclen)
{
  ozu_cmd_t cmd(cc, cclen);
  if (cmd.argc == 0) {
    lnUsage();
    return 1;
  }
  bool force = false, noFollow = false, symbolic = false;
  for (int c; (c = ozu_CmdOption(&cmd, "fhns", nullptr)) != OZU_OPT_END;) {
    if (c == 'f')
      force = true;
    else if (c == 'h' || c == 'n')
      noFollow = true;
    else if (c == 's')
      symbolic = true;
    else
      unknownOption(c);
  }
  std::string target;
  int sinkHandle = -1;
  if (oneSink(&cmd, &target, &sinkHandle, true) < 0)
    return 1;
  quor_fileattr_t fa;
  int rc = ozu_EioRetry([&] { return quor_FileGetAttributes(target.c_str(), &fa); });
  if (rc < 0 && rc != -2) {
    setExitResult(64, quor_perror(rc, "quor_FileGetAttributes", target.c_str(), nullptr), 7);
    return 1;
  }
  bool targetExists = rc == 0;
  uint32_t targetType = rc == 0 ? fa.Attrs.Type : 0;
  if (targetExists && targetType == 130 && !noFollow) {
    char *abs = nullptr;
    quor_Attrs_t attrs;
    int lrc = ozu_SymlinkToAbsPath(target.c_str(), &abs, &attrs);
    free(abs);
    if (lrc == -2) {
      targetExists = false;
    } else if (lrc < 0) {
      setExitResult(72, quor_perror(lrc, "resolving symlink", target.c_str(), nullptr), 7);
      return 1;
    } else {
      targetType = attrs.Type;
    }
  }
  bool targetIsDir = targetExists && targetType == 132;
  // Sources: (the text as typed after expansion, the absolute match, from
  // a wildcard, is a directory).
  struct Source {
    std::string text, abs;
    bool globbed, dir;
  };
  std::vector<Source> sources;
  for (size_t i = 0; i + 1 < cmd.names.size() && !interrupted; ++i) {
    char path[OZU_CMD_PATHLEN];
    if (ozu_CmdExpandPath(&cmd, cmd.names[i], path) < 0)
      return 1;
    if (curHandle() != sinkHandle) {
      fail(64, "*** Cross-QUOR link not supported [%s]", cmd.names[i]);
      return 1;
    }
    if (ozu_CmdGlob(&cmd, path, 1) < 0)
      return 1;
    for (int m = 0; m < globInx; ++m) {
      globstruct_t &g = globv[m];
      sources.push_back({g.globbed ? std::string(g.name) : std::string(path), g.name,
                         bool(g.globbed), bool(g.dir)});
    }
    ozu_CmdGlobDone(&cmd);
  }
  std::sort(sources.begin(), sources.end(),
            [](const Source &a, const Source &b) { return a.abs < b.abs; });
  if (sources.empty())
    return 1;
  // Everything is checked before anything is removed, so that a refused
  // command leaves the target as it was.
  if (sources.size() > 1) {
    if (!targetExists) {
      fail(64, "*** %s directory does not exist", target.c_str());
      return 1;
    }
    if (!targetIsDir) {
      fail(64, "*** %s is not a directory", target.c_str());
      return 1;
    }
  }
  for (const Source &s : sources) {
    if (interrupted)
      break;
    if (s.dir && !symbolic) {
      if (!s.globbed)
        fail(64, "*** Operation not permitted for directory %s", s.abs.c_str());
      continue;
    }
    std::string linkPath = target;
    if (targetIsDir) {
      const char *base = baseName(s.abs.c_str());
      if (target.size() + strlen(base) + 2 > 1023) {
        fail(64, "*** Target pathname overflow for %s", s.abs.c_str());
        continue;
      }
      linkPath = (target == "/" ? "" : target) + "/" + base;
    }
    if (force) {
      // Only the link about to be made is removed, never the directory it
      // goes into.
      quor_stat_t lst;
      if (ozu_EioRetry([&] { return quor_Lstat(linkPath.c_str(), &lst); }) == 0 &&
          !S_ISDIR(lst.st_mode)) {
        rc = ozu_EioRetry([&] { return quor_Unlink(linkPath.c_str()); });
        if (rc == 0)
          ozu_LogFileUnlink(linkPath.c_str(), 0);
        else if (rc != -2)
          setExitResult(0, quor_perror(rc, "quor_Unlink", linkPath.c_str(), nullptr), 7);
      }
    }
    if (symbolic)
      rc = ozu_EioRetry([&] { return quor_Symlink(s.text.c_str(), linkPath.c_str()); });
    else
      rc = ozu_EioRetry([&] { return quor_Link(s.abs.c_str(), linkPath.c_str()); });
    if (rc == 0) {
      parentChanged(linkPath.c_str());
      continue;
    }
    if (rc == -1)
      fail(64, "*** %s is (or symlinks to) a directory", s.abs.c_str());
    else if (rc == -31)
      fail(64, "*** too many links in path to %s", s.abs.c_str());
    else if (rc == -17)
      fail(64, "*** %s already exists", symbolic ? linkPath.c_str() : target.c_str());
    else
      setExitResult(64, quor_perror(rc, symbolic ? "quor_Symlink" : "quor_Link", s.abs.c_str(),
                                    nullptr), 7);
  }
  return 1;
}

int ozu_MergeCommand(char *, int)
{
  return 1;
}
