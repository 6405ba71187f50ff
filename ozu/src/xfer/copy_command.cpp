// cp, copy and ccp: stored files onto stored files, into a directory, or
// whole trees with -r, on one connection or between two. Each file goes to
// the copy engine; this file decides, per source, whether and where it is
// copied, mirrors directories (created writable by their owner, given
// their own mode once everything inside them is copied) and copies ACLs.
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "copy_engine.h"
#include "ns_commands.h"
#include "ozu_cmdframe.h"
#include "ozu_connect.h"
#include "ozu_context.h"
#include "ozu_errors.h"
#include "ozu_getopt.h"
#include "ozu_glob.h"
#include "ozu_locks.h"
#include "ozu_log.h"
#include "ozu_misc.h"
#include "ozu_paths.h"
#include "ozu_prompt.h"
#include "ozu_util.h"
#include "ozuvars.h"
#include "quor_api.h"
#include "xfer_commands.h"

namespace {

const size_t kSinkMax = 1024;

const char *const KwStrings[] = {"ic", "io", nullptr};
const uint32_t KwFlagValues[] = {0x40, 0x80};

// Option bits of minus_opt.
const uint32_t OPT_B = 0x1, OPT_c = 0x2, OPT_C = 0x4, OPT_f = 0x8, OPT_h = 0x10, OPT_i = 0x20,
               OPT_ic = 0x40, OPT_io = 0x80, OPT_n = 0x200, OPT_P = 0x400, OPT_p = 0x800,
               OPT_Q = 0x10000, OPT_q = 0x20000, OPT_r = 0x40000, OPT_S = 0x80000, OPT_U = 0x200000,
               OPT_x = 0x400000;

// State of one run of the command (one command runs at a time).
struct cpRun {
  int conditionalCopy = 0;
  std::string sink_path;
  size_t baseLen = 0;
  int src_handle = -1;
  int sink_handle = -1;
  int copyMethod = COPY_METHOD_SERVER;
  uint32_t copyFlags = 0;
  bool targetExists = false;
  bool askEach = false;
  bool quit = false;
  std::vector<int> dirModes;  // each mirrored directory's own mode, by depth
};
cpRun g;

int curHandle(void) { return keyset && keyset->curContext ? keyset->curContext->handle : -1; }

int useConnection(int handle)
{
  if (handle < 0 || handle == curHandle())
    return 0;
  return ozu_SetCurConnection(handle) < 0 ? -1 : 0;
}

const char *lastName(const char *path)
{
  const char *s = strrchr(path, '/');
  return s ? s + 1 : path;
}

// The absolute form of a path on the current connection.
std::string absPath(const char *path)
{
  char buf[4097];
  const char *p = makeQUORpath_r(0, path, buf);
  return p ? std::string(p) : std::string(path);
}

bool sameConnection(void) { return g.src_handle == g.sink_handle; }

bool isFileType(unsigned t) { return t == 129 || t == 131; }

uint32_t modTime(const quor_Attrs_t *a)
{
  return uint32_t(a->TimeLastWritten != 0 ? a->TimeLastWritten : a->TimeCreated);
}

int modeOf(const quor_Attrs_t *a)
{
  int mode = 0;
  ozu_NsPermsToMode_t(a, &mode, nullptr, nullptr, nullptr);
  return mode & 07777;
}

void cpUsage(void)
{
  const char *n = verb ? verb : "cp";
  fprintf(listF, "Usage:\n");
  fprintf(listF, " To Copy an QUOR-resident File to another QUOR-resident File\n");
  fprintf(listF, "  {%s | copy} [-B] [-C] [-c] [-f] [-h] [-i] [-ic] [-io] [-m method] [-n days] [-P] [-p]\n", n);
  fprintf(listF, "  [-Q] [-q] [-S] [-U] [-x which] SourceFile TargetFile\n");
  fprintf(listF, "\n To Copy a File to a Directory\n\n");
  fprintf(listF, "   {%s | copy} [-B] [-C] [-c] [-f] [-h ] [-i] [-m method] [-n days] [-P] [-p]\n", n);
  fprintf(listF, "    [-Q] [-q] [-r|-R] [-S] [-U] [-x which]  SourceFile TargetDirectory\n");
  fprintf(listF, "\n To Copy a Directory to a Directory\n\n");
  fprintf(listF, "  {%s | copy} [-B] [-C] [-c] [-f] [-h] [-i] [-ic] [-io]  [-m method][-n days] [-P] [-p]\n", n);
  fprintf(listF, " [-Q] [-q] [-r|-R] [-S] [-U] [-X maxthreads] [-x which]  SourceDirectory ... TargetDirectory\n");
  fprintf(listF, "\n");
  static const char *const opts[] = {
      "  -B  : create backup of target file by renaming if it exists (same as \"backup=on\")",
      "  -C       : cache purge option. If specified, purge source files from QUOR disk cache",
      "             after a successful copy. Normally used only when it's expected that files",
      "             will only be read once (or infrequently), to help optimize QUOR disk cache use",
      "  -c  : copy the object ACL to the destination file/directory",
      "  -f  : force removal of the target file instead of renaming (same as \"backup=off\")",
      "        Note: this option may not be used for the conditional copy (ccp) command",
      "  -h  : copy symbolic links (default is to read through symlinks)",
      "  -i  : prompt before copying files (interactive mode)",
      "  -ic : copy Initial Container ACLs from source directories to directories created",
      "        during recursion",
      "  -io : copy Initial Object ACLs from source directories to directories created",
      "        during recursion",
      "  -m  : interquor copy method (\"local\" or \"server\"). Default is \"server\"",
      "  -n  : only copy files modified within the specified number of days",
      "  -P  : create intermediate subdirectories for target if they do not already exist",
      "  -p  : preserve timestamp of source file (automatically enabled for ccp command)",
      "  -Q  : preserve owner/group of source when running as QUOR root",
      "  -q  : like -p, but use current time at end of transfer as the <atime> value",
      "  -R or -r : recursively copy SourceDirectories",
      "  -S  : disable staging of the source file (attempts to read directly from tape)",
      "  -U  : update - only copy files if sink doesn't exist or source file is newer",
      "        than sink file. Automatically sets <-p> option, and has the same effect as",
      "        the conditional-copy (ccp) command",
      "  -X  : specify max concurrent transfers ",
      "  -x  : use extended I/O calls. The \"which\" parameter is \"source\",\"sink\",or '\"both\"",
  };
  for (const char *line : opts)
    fprintf(listF, "%s\n", line);
  fprintf(listF, "\n");
  fprintf(listF, "\n Note: the conditional copy (ccp) command automatically enables the -p and -U options\n\n");
}

// ACL kinds the options ask for and the source has; 0 when none.
int copyExtendedAcls(const char *src, const char *sink, uint32_t aclFlags)
{
  uint32_t kinds = 0;
  if ((minus_opt & OPT_c) && (aclFlags & 0x08))
    kinds |= 0x08;
  if ((minus_opt & OPT_ic) && (aclFlags & 0x10))
    kinds |= 0x10;
  if ((minus_opt & OPT_io) && (aclFlags & 0x20))
    kinds |= 0x20;
  if (kinds == 0)
    return 0;
  int rc = quorex_CopyACL(kinds, src, sink);
  if (debug >= 1)
    fprintf(listF, "/debug/%s: quorex_CopyACL(types=%u, %s,%s) returned %d\n", "copyExtendedAcls", kinds, src,
            sink, rc);
  return rc;
}

// Attributes of path on the connection handle (the caller's connection is
// current again afterwards). 0 or the lookup's code.
int attrsOn(int handle, const char *path, quor_fileattr_t *fa)
{
  int back = curHandle();
  if (useConnection(handle) < 0)
    return -1;
  int rc = ozu_EioRetry([&] { return quor_FileGetAttributes(path, fa); });
  useConnection(back);
  return rc;
}

// 1 when an existing target file (modified at targetTime) may be replaced
// by src under -f / -U, -1 when refused.
int replaceAllowed(const char *src, uint32_t targetTime)
{
  if (minus_opt & OPT_f)
    return 1;
  if (!(minus_opt & OPT_U))
    return -1;
  quor_fileattr_t sa;
  int rc = attrsOn(g.src_handle, src, &sa);
  if (rc < 0) {
    ozu_ReportExit(72, "*** %s: error %d getting attrs for source path - copy disallowed\n", "overwriteOrInsertAllowed", rc);
    return -1;
  }
  return targetTime < modTime(&sa.Attrs) ? 1 : -1;
}

// The decision for an existing target; *type: the target's type (for a
// link, the named object's) and *insertDir the directory a source goes
// into when that type is a directory.
int overwriteOrInsertAllowed(const char *src, const quor_Attrs_t *target, const char *targetPath,
                             unsigned *type, std::string *insertDir)
{
  *type = target->Type;
  *insertDir = targetPath;
  int result = -1;
  if (target->Type == 132) {
    result = 1;
  } else if (isFileType(target->Type)) {
    result = replaceAllowed(src, modTime(target));
  } else if (target->Type == 130) {
    if (debug >= 2)
      fprintf(listF, "/debug/ reading symlink contents for %s\n", targetPath);
    char text[1025];
    int back = curHandle();
    useConnection(g.sink_handle);
    int rc = ozu_EioRetry([&] { return quor_Readlink(targetPath, text, sizeof text); });
    quor_stat_t st;
    if (rc < 0) {
      setExitResult(72, quor_perror(rc, "quor_Readlink", targetPath, nullptr), 7);
    } else {
      if (debug >= 2)
        fprintf(listF, "/debug/ getting attrs. for symlinked object %s\n", targetPath);
      rc = ozu_EioRetry([&] { return quor_Stat(targetPath, &st); });
      if (rc < 0)
        setExitResult(72, quor_perror(rc, "quor_FileGetAttributes", targetPath, nullptr), 7);
    }
    useConnection(back);
    if (rc >= 0) {
      *type = S_ISDIR(st.st_mode) ? 132 : S_ISREG(st.st_mode) ? 129 : 0;
      if (*type == 132) {
        result = 1;
      } else if (*type == 129) {
        uint32_t t = uint32_t(st.quor_st_mtime != 0 ? st.quor_st_mtime : st.quor_st_ctime);
        result = replaceAllowed(src, t);
      } else if (debug >= 2) {
        fprintf(listF, "/debug/ rejecting attempt to overwrite symlinked-to %s-type object %s\n",
                "other", targetPath);
      }
    }
  }
  if (debug >= 1)
    fprintf(listF, "/debug/%s: %s overwrite of %s by %s\n", "overwriteOrInsertAllowed",
            result > 0 ? "allowing" : "disallowing", targetPath, src);
  return result;
}

// -U inside a target directory: an existing entry is replaced only when it
// is older. 1 copy, 0 skip (after the note), -1 after an error.
int updateAllowsEntry(const char *src, uint32_t srcTime, const char *target)
{
  if (!(minus_opt & OPT_U) || (minus_opt & OPT_f))
    return 1;
  quor_fileattr_t ta;
  int rc = attrsOn(g.sink_handle, target, &ta);
  if (rc == -2)
    return 1;
  if (rc < 0) {
    ozu_StorageError(72, rc, "quor_FileGetAttributes", target);
    return -1;
  }
  if (srcTime > modTime(&ta.Attrs))
    return 1;
  fprintf(listF, "/debug/ Existing file %s is newer than source file %s - will not overwrite\n", target, src);
  return 0;
}

int copyOne(const char *src, const quor_Attrs_t *attrs)
{
  int rc = ozu_CopyFile(src, g.src_handle, 0, attrs, g.sink_path.c_str(), g.sink_handle, 0, 0, g.copyMethod,
                        g.copyFlags);
  return rc;
}

// ---- walk callbacks ----

int entCallback(ns_DirEntry_t *entry, int, const char *, const char *fullPath)
{
  int back = curHandle();
  size_t cut = g.sink_path.size();
  g.sink_path += "/";
  g.sink_path += entry->Name;
  const quor_Attrs_t *attrs = &entry->Attrs;
  quor_fileattr_t named;
  bool copy = false;
  unsigned type = entry->Attrs.Type;
  if (isFileType(type)) {
    copy = true;
  } else if (type == 130) {
    if (debug >= 2)
      fprintf(listF, "/debug/entCallback: reading symlink contents for %s\n", fullPath);
    char text[1025];
    int rc = ozu_EioRetry([&] { return quor_Readlink(fullPath, text, sizeof text); });
    if (rc < 0) {
      ozu_StorageError(72, rc, "quor_Readlink", fullPath);
    } else if (minus_opt & OPT_h) {
      text[rc < int(sizeof text) ? rc : int(sizeof text) - 1] = '\0';
      const char *target = g.sink_path.c_str();
      useConnection(g.sink_handle);
      int s = ozu_EioRetry([&] { return quor_Symlink(text, target); });
      if (s < 0)
        ozu_StorageError(72, s, "quor_Symlink", target);
      else if (!quietFlag)
        ozu_ReportExit(0, "Copied symbolic link: %s->%s", target, text);
    } else {
      // The data comes from the named object: its own size, mode and times
      // go to the engine, not the link's.
      quor_stat_t st;
      int s = ozu_EioRetry([&] { return quor_Stat(fullPath, &st); });
      if (s < 0) {
        ozu_StorageError(72, s, "bad symlinked path", fullPath);
      } else if (S_ISREG(st.st_mode)) {
        s = ozu_EioRetry([&] { return quor_FileGetAttributes(fullPath, &named); });
        if (s < 0) {
          ozu_StorageError(72, s, "bad symlinked path", fullPath);
        } else {
          attrs = &named.Attrs;
          copy = true;
        }
      }
    }
  } else if (debug >= 2) {
    fprintf(listF, "/debug/ skipping %s-type object %s\n", quor_ObjectTypeToString(type), fullPath);
  }
  if (copy) {
    const char *target = g.sink_path.c_str();
    quor_fileattr_t ta;
    int rc = attrsOn(g.sink_handle, target, &ta);
    bool go = false;
    if (rc == -2) {
      go = true;
    } else if (rc < 0) {
      ozu_StorageError(72, rc, "quor_FileGetAttributes", target);
      ozu_ReportExit(72, "*** Error(s) copying file %s\n", fullPath);
    } else if (!isFileType(ta.Attrs.Type)) {
      ozu_ReportExit(72, "*** Cannot overwrite %s object: %s", quor_ObjectTypeToString(ta.Attrs.Type), target);
    } else if (minus_opt & OPT_f) {
      go = true;
    } else if (minus_opt & OPT_U) {
      if (modTime(attrs) > modTime(&ta.Attrs))
        go = true;
      else
        fprintf(listF, "/debug/ Existing file %s is newer than source file %s - will not overwrite\n", target,
                fullPath);
    } else if (debug >= 1) {
      fprintf(listF, "/debug/ File %s exists and will not be overwritten", target);
    }
    if (go && copyOne(fullPath, attrs) == 0 && (minus_opt & OPT_c) && sameConnection())
      copyExtendedAcls(fullPath, target, attrs->ExtendedACLs);
  }
  g.sink_path.resize(cut);
  if (back >= 0 && curHandle() != back && ozu_SetCurConnection(back) < 0)
    fprintf(errFile, "*** [entCallback ]Unable to switch back to previous connection! \n");
  return 0;
}

int subdirCallback(const char *name, const char *fullPath, ns_DirEntry_t *entry)
{
  if (debug >= 1)
    fprintf(listF, "subdirCallback: creating subdirectory '%s'\n", name);
  size_t cut = g.sink_path.size();
  g.sink_path += "/";
  g.sink_path += name;
  int mode = modeOf(&entry->Attrs);
  const char *target = g.sink_path.c_str();
  int back = curHandle();
  useConnection(g.sink_handle);
  int rc = ozu_EioRetry([&] { return quor_Mkdir(target, mode_t(mode | 0700)); });
  useConnection(back);
  if (rc < 0 && rc != -17) {
    ozu_ReportExit(70, "*** Error %d creating QUOR directory `%s'", rc, name);
    g.sink_path.resize(cut);
    return -1;
  }
  if (sameConnection())
    copyExtendedAcls(fullPath, target, entry->Attrs.ExtendedACLs);
  g.dirModes.push_back(mode);
  return 0;
}

void direndCallback(const char *)
{
  if (!g.dirModes.empty()) {
    int mode = g.dirModes.back();
    g.dirModes.pop_back();
    if ((mode & 0700) != 0700) {
      const char *target = g.sink_path.c_str();
      if (debug >= 2)
        fprintf(listF, "/debug/ setting mode bits for directory %s to 0%.3o\n", target, unsigned(mode));
      int back = curHandle();
      useConnection(g.sink_handle);
      int rc = ozu_EioRetry([&] { return quor_Chmod(target, mode_t(mode)); });
      useConnection(back);
      if (rc < 0)
        ozu_StorageError(0, rc, "quor_Chmod", target);
    }
  }
  size_t slash = g.sink_path.rfind('/');
  if (slash != std::string::npos)
    g.sink_path.resize(slash);
}

struct match_t {
  std::string name;
  bool dir;
  bool globbed;
};

// One non-directory match of the first pass. 0 goes on, -1 ends the
// command.
int copyMatch(const match_t &m, const quor_fileattr_t *targetAttrs)
{
  const char *src = m.name.c_str();
  if (g.askEach) {
    switch (ozu_GetYesNo(verb, src)) {
    case 0:
      break;
    case 1:
    case -1:
      g.askEach = false;
      break;
    case 2:
      return 0;
    default:
      g.quit = true;
      return -1;
    }
  }
  if (!g.targetExists && (minus_opt & OPT_P) && g.sink_path.find('/', 1) != std::string::npos) {
    std::string parent = g.sink_path.substr(0, g.sink_path.rfind('/'));
    ozu_context_t *sc = ozu_LookupConnection(g.sink_handle);
    int back = curHandle();
    useConnection(g.sink_handle);
    std::vector<char> p(parent.begin(), parent.end());
    p.push_back('\0');
    int rc = ozu_MakeAllSubdirs(p.data(), sc ? sc->dcreateMode : 0755);
    useConnection(back);
    if (rc < 0) {
      ozu_ReportExit(72, "*** error %d creating intermediate subdirs for %s", rc, g.sink_path.c_str());
      return -1;
    }
  }
  bool updateCheck = false;
  if (g.targetExists) {
    unsigned type = 0;
    std::string insertDir;
    int ok = overwriteOrInsertAllowed(src, &targetAttrs->Attrs, g.sink_path.c_str(), &type, &insertDir);
    if (ok < 0) {
      ozu_ReportExit(64, "*** Cannot overwrite %s.", g.sink_path.c_str());
      return -1;
    }
    if (type == 132 || type == 133) {
      const char *name = lastName(src);
      if (insertDir.size() + strlen(name) + 1 > kSinkMax) {
        setExitResult(64, quor_perror(-9, "Pathname too long", name, nullptr), 7);
        return 0;
      }
      g.sink_path = insertDir + "/" + name;
      updateCheck = true;
    }
  }
  if (sameConnection() && m.name == g.sink_path) {
    ozu_ReportExit(64, "*** Cannot copy %s onto itself", src);
    return 0;
  }
  if (updateCheck) {
    quor_fileattr_t sa;
    int rc = attrsOn(g.src_handle, src, &sa);
    if (rc < 0) {
      ozu_StorageError(72, rc, "quor_FileGetAttributes", src);
      return 0;
    }
    int u = updateAllowsEntry(src, modTime(&sa.Attrs), g.sink_path.c_str());
    if (u <= 0)
      return 0;
  }
  if (minus_opt & OPT_Q) {
    ozu_context_t *ctx = keyset ? keyset->curContext : nullptr;
    if (ctx != nullptr && ctx->curLogin.uid == ctx->rootUid)
      g.copyFlags |= FX_PRESERVE_OWNER;
  }
  int rc = copyOne(src, nullptr);
  if (rc == 0 && (minus_opt & OPT_c) && sameConnection()) {
    quor_fileattr_t sa;
    int r = ozu_EioRetry([&] { return quor_FileGetAttributes(src, &sa); });
    if (r < 0) {
      ozu_StorageError(72, r, "get attrs after successful cp!", src);
      return -1;
    }
    copyExtendedAcls(src, g.sink_path.c_str(), sa.Attrs.ExtendedACLs);
  }
  return 0;
}

// The second pass: one directory source mirrored under the target. 0 goes
// on, -1 stops the pass.
int copyDirectory(ozu_cmd_t *cmd, const match_t &m)
{
  const char *src = m.name.c_str();
  if (!g.targetExists) {
    ozu_ReportExit(64, "*** Sink directory does not exist. Unable to copy directory [%s]\n", src);
    return -1;
  }
  quor_Attrs_t a;
  int rc = ozu_EioRetry([&] { return quor_GetListAttrs(src, &a); });
  if (rc < 0) {
    ozu_StorageError(72, rc, "quor_GetListAttrs", src);
    return -1;
  }
  int mode = modeOf(&a);
  g.sink_path.resize(g.baseLen);
  g.sink_path += "/";
  g.sink_path += lastName(src);
  // A tree copied into itself would grow while it is walked.
  if (sameConnection() && (g.sink_path == m.name || g.sink_path.compare(0, m.name.size() + 1, m.name + "/") == 0)) {
    ozu_ReportExit(64, "*** Cannot copy %s onto itself", src);
    g.sink_path.resize(g.baseLen);
    return 0;
  }
  const char *target = g.sink_path.c_str();
  int back = curHandle();
  useConnection(g.sink_handle);
  rc = ozu_EioRetry([&] { return quor_Mkdir(target, mode_t(mode | 0700)); });
  useConnection(back);
  if (rc < 0 && rc != -17) {
    ozu_StorageError(72, rc, "quor_Mkdir", target);
    g.sink_path.resize(g.baseLen);
    return -1;
  }
  if (sameConnection())
    copyExtendedAcls(src, target, a.ExtendedACLs);
  g.dirModes.clear();
  g.dirModes.push_back(mode);
  cmd->recurse = 1;
  ozu_CmdWalk(cmd, src, entCallback, subdirCallback, direndCallback);
  g.dirModes.clear();
  g.sink_path.resize(g.baseLen);
  return 0;
}

int commonCpCommand(char *cc, int cclen, int conditionalCopy)
{
  ozu_XferTableLock();
  ozu_ActiveTransfers = ozu_CompletedXfers = ozu_FailedXfers = 0;
  ozu_XferTableUnlock();
  ozu_cmd_t cmd(cc, cclen);
  actionVerb = "copied";
  g = cpRun();
  g.conditionalCopy = conditionalCopy;
  if (cmd.argc == 0) {
    cpUsage();
    return 1;
  }
  uint32_t xflags = 0;
  for (int c; (c = ozu_CmdOption(&cmd, "BcCfhim:n:PpQqrRSUx:X:", KwStrings)) != OZU_OPT_END;) {
    if (c >= OZU_OPT_KEYWORD && c < OZU_OPT_KEYWORD + 2) {
      minus_opt |= KwFlagValues[c - OZU_OPT_KEYWORD];
      continue;
    }
    switch (c) {
    case 'B': minus_opt |= OPT_B; break;
    case 'c': minus_opt |= OPT_c; break;
    case 'C': minus_opt |= OPT_C; break;
    case 'f':
      if (g.conditionalCopy) {
        fprintf(errFile, "-f option may not be used for this command\n");
        return 1;
      }
      minus_opt |= OPT_f;
      break;
    case 'h': minus_opt |= OPT_h; break;
    case 'i': minus_opt |= OPT_i; break;
    case 'm':
      if (strcmp(ozu_optarg, "local") == 0)
        g.copyMethod = COPY_METHOD_LOCAL;
      else if (strcmp(ozu_optarg, "server") == 0)
        g.copyMethod = COPY_METHOD_SERVER;
      else
        ozu_ReportExit(0, "*** Unknown file transfer method ignored: %s", ozu_optarg);
      break;
    case 'n':
      if (atoi(ozu_optarg) < 0)
        fprintf(errFile, "bad value \"%s\" for -n option. Option ignored\n", ozu_optarg);
      else
        minus_opt |= OPT_n;
      break;
    case 'P': minus_opt |= OPT_P; break;
    case 'p': minus_opt |= OPT_p; break;
    case 'Q': minus_opt |= OPT_Q; break;
    case 'q': minus_opt |= OPT_q; break;
    case 'r':
    case 'R': minus_opt |= OPT_r; break;
    case 'S': minus_opt |= OPT_S; break;
    case 'U': minus_opt |= OPT_U; break;
    case 'x':
      if (strcmp(ozu_optarg, "source") == 0)
        xflags |= FX_USE_XIO_SRC;
      else if (strcmp(ozu_optarg, "sink") == 0)
        xflags |= FX_USE_XIO_SINK;
      else if (strcmp(ozu_optarg, "both") == 0)
        xflags |= FX_USE_XIO_SRC | FX_USE_XIO_SINK;
      else
        fprintf(errFile, "bad value \"%s\" for -x option. Option ignored\n", ozu_optarg);
      if (xflags)
        minus_opt |= OPT_x;
      break;
    case OZU_OPT_REJECTED:
      break;
    case '?':
    case ':':
      fprintf(errFile, "Unknown option or missing argument: '%c' ignored\n", ozu_optopt);
      break;
    default:
      fprintf(listF, "Unknown option ignored: %c\n", c);
      break;
    }
  }
  if (ozu_CmdKeywords(&cmd, OZU_KW_UNKNOWN_IS_NAME) < 0)
    return 1;
  ozu_context_t *startCtx = keyset ? keyset->curContext : nullptr;
  bool srcFirewall = startCtx && startCtx->firewallMode;
  if ((minus_opt & OPT_U) || g.conditionalCopy) {
    minus_opt |= OPT_U | OPT_p;
    if (minus_opt & OPT_f) {
      ozu_ReportExit(64, "*** -f and -U may not both be set for the %s command\n", verb);
      return 1;
    }
  }
  g.askEach = (minus_opt & OPT_i) != 0;
  g.copyFlags = xflags;
  if (!(minus_opt & OPT_B))
    g.copyFlags |= FX_OVERWRITE;
  if (minus_opt & OPT_C)
    g.copyFlags |= FX_PURGE_CACHE;
  if (minus_opt & OPT_p)
    g.copyFlags |= FX_PRESERVE_TIME;
  if (minus_opt & OPT_q)
    g.copyFlags |= FX_PRESERVE_TIME | FX_CURRENT_TIME;
  if (minus_opt & OPT_S)
    g.copyFlags |= FX_OPEN_NOSTAGE;
  if (cmd.names.size() < 2) {
    missingObjectsMsg();
    return 1;
  }
  char path[OZU_CMD_PATHLEN];
  if (ozu_CmdExpandPath(&cmd, cmd.names.back(), path) < 0)
    return 1;
  g.sink_handle = curHandle();
  ozu_context_t *sinkCtx = keyset ? keyset->curContext : nullptr;
  bool sinkFirewall = sinkCtx && sinkCtx->firewallMode;
  {
    char *one = nullptr;
    if (expandSingleNodeDir(path, &one) != 0 || one == nullptr) {
      free(one);
      return 1;
    }
    g.sink_path = absPath(one);
    free(one);
  }
  if (g.sink_path.size() > 1 && g.sink_path.back() == '/')
    g.sink_path.pop_back();
  g.baseLen = g.sink_path.size();
  quor_fileattr_t targetAttrs;
  memset(&targetAttrs, 0, sizeof targetAttrs);
  int lookup = ozu_EioRetry([&] { return quor_FileGetAttributes(g.sink_path.c_str(), &targetAttrs); });
  if (lookup < 0 && lookup != -2) {
    ozu_StorageError(64, lookup, verb, g.sink_path.c_str());
    return 1;
  }
  g.targetExists = lookup == 0;
  if (ozu_CmdSwitchBack(&cmd) < 0)
    return 1;
  if (srcFirewall) {
    g.copyFlags |= FX_USE_XIO_SRC;
    if (debug >= 1)
      fprintf(listF, "Firewall mode set for source system - forcing XIO mode for reads\n");
  }
  if (sinkFirewall) {
    g.copyFlags |= FX_USE_XIO_SINK;
    if (debug >= 1)
      fprintf(listF, "Firewall mode set for sink system - forcing XIO mode for writes\n");
  }
  if (srcFirewall || sinkFirewall) {
    g.copyMethod = COPY_METHOD_LOCAL;
    if (debug >= 1)
      fprintf(listF, "Extended I/O mode set for source or sink system - xfer will use \"local\" method\n");
  }
  ozu_LaunchXferProgressThread();
  bool firstMatched = false;
  size_t sources = cmd.names.size() - 1;
  for (size_t i = 0; i < sources && !interrupted && !g.quit; ++i) {
    if (ozu_CmdSwitchBack(&cmd) < 0)
      break;
    char spath[OZU_CMD_PATHLEN];
    if (ozu_CmdExpandPath(&cmd, cmd.names[i], spath) < 0)
      continue;
    g.src_handle = curHandle();
    int n = ozu_CmdGlob(&cmd, spath, 1);
    if (n < 0)
      break;
    if (globInx == 0)
      continue;
    std::vector<match_t> matches;
    for (int k = 0; k < globInx; ++k)
      matches.push_back({absPath(globv[k].name), globv[k].dir != 0, globv[k].globbed != 0});
    ozu_CmdGlobDone(&cmd);
    if (!firstMatched) {
      firstMatched = true;
      bool several = matches.size() > 1 || i + 1 < sources;
      // Several sources onto one file would each replace the one before.
      bool targetIsDir = g.targetExists && (targetAttrs.Attrs.Type == 132 || targetAttrs.Attrs.Type == 130);
      if (several && !targetIsDir) {
        ozu_ReportExit(64, "*** %s: target '%s' is not a directory\n", verb, g.sink_path.c_str());
        break;
      }
    }
    bool haveDir = false;
    for (const match_t &m : matches) {
      if (interrupted || g.quit)
        break;
      if (m.dir) {
        if ((minus_opt & OPT_r) || m.globbed)
          haveDir = true;
        else
          ozu_ReportExit(64, "*** %s: omitting directory '%s'\n", verb, m.name.c_str());
        continue;
      }
      int rc = copyMatch(m, &targetAttrs);
      g.sink_path.resize(g.baseLen);
      if (rc < 0) {
        g.quit = true;
        break;
      }
    }
    if (!interrupted && !g.quit && haveDir && (minus_opt & OPT_r)) {
      for (const match_t &m : matches) {
        if (interrupted)
          break;
        if (m.dir && copyDirectory(&cmd, m) < 0)
          break;
      }
    }
  }
  ozu_StopXferProgressThread();
  return 0;
}

}  // namespace

int ozu_CpCommand(char *cc, int cclen)
{
  return commonCpCommand(cc, cclen, 0);
}

int ozu_CcpCommand(char *cc, int cclen)
{
  return commonCpCommand(cc, cclen, 1);
}
