// Typed storage and local paths, and the working directories.
#include "ozu_paths.h"

#include <ctype.h>
#include <pwd.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>

#include "ozu_connect.h"
#include "ozu_context.h"
#include "ozu_drive.h"
#include "ozu_errors.h"
#include "ozu_log.h"
#include "ozu_login.h"
#include "ozuvars.h"
#include "quor_api.h"

namespace {

// The longest temporary path of a working-directory form.
const size_t kTmpPathMax = 1024;

void fail(int code, const char *fmt, const char *arg)
{
  char msg[4200];
  snprintf(msg, sizeof msg, fmt, arg);
  setExitResult(code, msg, 6);
}

void failNum(int code, const char *fmt, int arg)
{
  char msg[200];
  snprintf(msg, sizeof msg, fmt, arg);
  setExitResult(code, msg, 6);
}

// Copies s into out when it fits with its terminator; false otherwise.
bool copyOut(const std::string &s, char *out, int size)
{
  if (size <= 0 || s.size() >= size_t(size))
    return false;
  memcpy(out, s.c_str(), s.size() + 1);
  return true;
}

// A path that does not fit its buffer is refused, never cut: a cut path
// names another object.
int tooLong(const char *routine, const char *path)
{
  setExitResult(64, quor_perror(-86, routine, path, nullptr), 6);
  return -86;
}

// Removes the last component; the root stays "/" (storage form).
void dropLastStorage(std::string &p)
{
  while (p.size() > 1 && p.back() == '/')
    p.pop_back();
  size_t slash = p.rfind('/');
  if (slash == std::string::npos)
    p.clear();
  else
    p.erase(slash == 0 ? 1 : slash);
}

const char *slotOf(int n)
{
  ozu_context_t *c = keyset ? keyset->curContext : nullptr;
  return c && n >= 0 && n < OZU_NWD ? c->wd[n] : nullptr;
}

std::string localHome()
{
  static std::string home;
  static bool looked = false;
  if (!looked) {
    looked = true;
    struct passwd *pw = getpwuid(uid_t(realuid));
    if (pw && pw->pw_dir)
      home = pw->pw_dir;
  }
  return home;
}

// The dot walk of expandQUORpath and expandWorkerPath. The base loses a
// component per "..", storage bases stop at "/", local ones may empty.
// 1 done, -1 after a message.
int dotWalk(std::string &base, const char *&name, bool local, const char *whole, bool *consumed,
            bool *toRoot)
{
  while (*name == '.') {
    if (name[1] == '/') {
      name += 2;
      *consumed = true;
    } else if (name[1] == '\0') {
      name += 1;
      return 1;
    } else if (name[1] == '.' && (name[2] == '/' || name[2] == '\0')) {
      bool empty = local ? base.empty() : (base.empty() || base == "/");
      if (empty) {
        fail(64, "*** Tried to back up past root dir: %s", whole);
        return -1;
      }
      if (local) {
        size_t slash = base.rfind('/');
        base.erase(slash == std::string::npos ? 0 : slash);
      } else {
        dropLastStorage(base);
        if (base == "/")
          *toRoot = true;
      }
      if (name[2] == '/')
        *consumed = true;
      name += name[2] == '/' ? 3 : 2;
    } else if (name[1] == '.') {
      fail(64, "*** Invalid: %s", whole);
      return -1;
    } else {
      return 1;
    }
  }
  return 1;
}

}  // namespace

char *ozu_GetCwd(void) { return getcwd(nullptr, 0); }

std::string ozu_LinkTarget(const char *linkPath, const char *linkText)
{
  if (linkText[0] == '/')
    return linkText;
  // A relative link names something beside the link, not beside the
  // working directory.
  std::string dir = linkPath;
  while (dir.size() > 1 && dir.back() == '/')
    dir.pop_back();
  size_t slash = dir.rfind('/');
  if (slash == std::string::npos)
    return linkText;
  dir.erase(slash + 1);
  return dir + linkText;
}

const char *getcwdQUOR(int which) { return slotOf(which); }

char *makeQUORpath_r(int Dirn, const char *Path, char *RetPath)
{
  std::string out;
  if (Path != nullptr && Path[0] == '/') {
    out = Path;
  } else {
    const char *slot = slotOf(Dirn);
    auto join = [](std::string &s, const char *part) {
      if (!s.empty() && s.back() != '/')
        s += '/';
      s += part;
    };
    if (slot != nullptr && slot[0] != '/' && sesskeyset.curContext &&
        sesskeyset.curContext->wd[Dirn] != nullptr)
      out = sesskeyset.curContext->wd[Dirn];
    if (slot != nullptr)
      join(out, slot);
    join(out, Path ? Path : "");
  }
  if (out.size() > 1 && out.back() == '/')
    out.pop_back();
  snprintf(RetPath, 4097, "%s", out.c_str());
  return RetPath;
}

char *makeQUORpath(int dirn, const char *path)
{
  static char buf[4097];
  return makeQUORpath_r(dirn, path, buf);
}

int setcwdQUOR(Keyset *keyp, int which, const char *newpath, int cdFlag)
{
  ozu_context_t *ctx = keyp ? keyp->curContext : nullptr;
  if (ctx == nullptr || which < 0 || which >= OZU_NWD)
    return -1;
  std::string path;
  if (newpath[0] == '/') {
    path = newpath;
  } else {
    const char *base = ctx->wd[which] ? ctx->wd[which] : ctx->wd[0];
    path = base ? base : "";
    path += '/';
    path += newpath;
  }
  while (path.size() > 1 && path.back() == '/')
    path.pop_back();
  char *fresh = strdup(path.c_str());
  if (fresh == nullptr) {
    char msg[4200];
    snprintf(msg, sizeof msg, "*** Out of memory creating path string %s/%s",
             ctx->wd[which] ? ctx->wd[which] : "", newpath);
    setExitResult(78, msg, 7);
    return -1;
  }
  if (cdFlag && which == 0) {
    if (debug > 0)
      fprintf(errFile, "setting QUOR cwd to [%s]\n", fresh);
    int rc = ozu_EioRetry([&] { return quor_Chdir(fresh); });
    if (rc < 0) {
      setExitResult(72, quor_perror(rc, "quor_Chdir", fresh, nullptr), 7);
      free(fresh);
      return rc;
    }
  }
  if (ctx->relflag[which] && ctx->wd[which] != fresh)
    free(ctx->wd[which]);
  ctx->wd[which] = fresh;
  ctx->relflag[which] = 1;
  return 0;
}

int ozu_ExpandQUORPath(const char *pathIn, char *pathOut, int size)
{
  if (debug > 1)
    fprintf(errFile, "ozu_ExpandQUORPath called for '%s'\n", pathIn);
  int startHandle = sesskeyset.curContext ? sesskeyset.curContext->handle : -1;
  auto restore = [&] {
    ozu_SwitchBack(startHandle);
    return -1;
  };
  const char *p = pathIn;
  int d = ozu_GetDriveLetter(p);
  const char *afterDrive = d ? p + 2 : p;
  bool symlinkFlag = strlen(afterDrive) > 1 && afterDrive[strlen(afterDrive) - 1] == '/';
  if (symlinkFlag && debug >= 1)
    fprintf(listF, "/debug/ setting <expand symlink> flag\n");
  std::string result;
  bool done = false;
  if (d) {
    if (debug >= 1)
      fprintf(listF, "/debug/found logical drive '%c'\n", d);
    char key[2] = {char(d), 0};
    ozu_context_t *ctx = ozu_LookupContextByDrive(key);
    if (ctx == nullptr) {
      log_NoConnectionForDrive(key);
      return restore();
    }
    if (sesskeyset.curContext != ctx && ozu_SetCurConnection(ctx->handle) < 0) {
      log_ConnectionSwitchFailure(ctx);
      return restore();
    }
    p = afterDrive;
    if (*p == '\0') {
      const char *s0 = slotOf(0);
      result = s0 ? s0 : "";
      done = true;
    }
  }
  if (!done) {
    int slot = -1;
    if (!d && isdigit(static_cast<unsigned char>(p[0])) && p[1] == '\'') {
      slot = p[0] - '0';
      p += 2;
    } else if (p[0] == '-' && p[1] == '\0') {
      slot = 0;
      p += 1;
    }
    if (slot >= 0) {
      const char *base = slotOf(slot);
      if (base == nullptr) {
        fail(70, "*** Error getting current QUOR directory: %s", pathIn);
        return restore();
      }
      int bd = ozu_GetDriveLetter(base);
      if (bd) {
        if (debug >= 1)
          fprintf(listF, "/debug/wd[%d] - found logical drive '%c'\n", slot, bd);
        char key[2] = {char(bd), 0};
        ozu_context_t *ctx = ozu_LookupContextByDrive(key);
        if (ctx == nullptr) {
          log_NoConnectionForDrive(key);
          return restore();
        }
        if (sesskeyset.curContext != ctx && ozu_SetCurConnection(ctx->handle) < 0) {
          log_ConnectionSwitchFailure(ctx);
          return restore();
        }
        base += 2;
      }
      if (strlen(base) > kTmpPathMax) {
        tooLong("ozu_ExpandQUORPath", pathIn);
        restore();
        return -86;
      }
      std::string tmp = base;
      if (tmp.empty() || tmp.back() != '/')
        tmp += '/';
      for (;;) {
        if (strcmp(p, ".") == 0) {
          p += 1;
        } else if (strncmp(p, "./", 2) == 0) {
          p += 2;
        } else if (strcmp(p, "..") == 0 || strncmp(p, "../", 3) == 0) {
          if (tmp != "/") {
            tmp.pop_back();
            size_t slash = tmp.rfind('/');
            tmp.erase(slash + 1);
          }
          p += p[2] == '/' ? 3 : 2;
        } else {
          break;
        }
      }
      tmp += p;
      if (tmp.size() > kTmpPathMax) {
        tooLong("ozu_ExpandQUORPath", pathIn);
        restore();
        return -86;
      }
      result = tmp;
    } else if (p[0] == '~') {
      const char *slash = strchr(p, '/');
      std::string user = slash ? std::string(p + 1, slash) : std::string(p + 1);
      std::string home;
      if (user.empty()) {
        ozu_context_t *c = sesskeyset.curContext;
        home = c && c->curLogin.homeDir ? c->curLogin.homeDir : "";
      } else {
        char *h = lookupHomeDir(user.c_str());
        if (h) {
          home = h;
          free(h);
        }
      }
      if (home.empty()) {
        fail(64, "*** Unable to get home directory for user name [%s]", user.c_str());
        return restore();
      }
      result = home + (slash ? slash : "");
      if (debug > 1)
        fprintf(errFile, "ozu_ExpandQUORPath: home dir form, set to '%s'\n", result.c_str());
    } else if (p[0] == '.' && (p[1] == '.' || p[1] == '/' || p[1] == '\0')) {
      const char *s0 = slotOf(0);
      std::string path = s0 ? s0 : "";
      while (path.size() > 1 && path.back() == '/')
        path.pop_back();
      const char *r = p;
      while (*r) {
        if (r[0] == '.' && r[1] == '.') {
          dropLastStorage(path);
          r += 2;
          if (*r == '/')
            ++r;
          continue;
        }
        if (r[0] == '.' && (r[1] == '/' || r[1] == '\0')) {
          r += r[1] == '/' ? 2 : 1;
          if (*r == '\0')
            break;
        }
        // Append the next component unchanged, with its own trailing "/".
        const char *e = strchr(r, '/');
        std::string comp = e ? std::string(r, e + 1) : std::string(r);
        if (path.empty() || path.back() != '/')
          path += '/';
        path += comp;
        r += comp.size();
      }
      result = path;
    } else {
      result = p;
    }
  }
  if (!symlinkFlag)
    while (result.size() > 1 && result.back() == '/')
      result.pop_back();
  if (symlinkFlag) {
    std::string linkPath = result;
    while (linkPath.size() > 1 && linkPath.back() == '/')
      linkPath.pop_back();
    char link[1025];
    int rc = quor_Readlink(linkPath.c_str(), link, sizeof link);
    if (rc == -86) {
      tooLong("quor_Readlink", linkPath.c_str());
      restore();
      return -86;
    }
    if (rc >= 0) {
      result = ozu_LinkTarget(linkPath.c_str(), link);
      if (debug >= 1)
        fprintf(listF, "/debug/returning expanded symlink: %s\n", result.c_str());
    }
  }
  if (!copyOut(result, pathOut, size)) {
    tooLong("ozu_ExpandQUORPath", pathIn);
    restore();
    return -86;
  }
  return 0;
}

int expandQUORpath(const char *name, char *rbuf, int rsize)
{
  if (debug > 1)
    fprintf(errFile, "expandQUORpath called for '%s'\n", name);
  if (rsize > 0)
    rbuf[0] = '\0';
  const char *p = name;
  int slot = -1;
  if (isdigit(static_cast<unsigned char>(p[0])) && p[1] == '\'') {
    slot = p[0] - '0';
    p += 2;
    if (slotOf(slot) == nullptr) {
      fail(70, "*** Error getting current QUOR directory: %s", name);
      return -1;
    }
    if (p[0] == '-' && p[1] == '\0') {
      fail(64, "*** illegal DIR0 directory syntax: %s", name);
      return -1;
    }
    if (p[0] == '~') {
      fail(64, "*** illegal home directory syntax: %s", name);
      return -1;
    }
  } else if (!(p[0] == '-' || p[0] == '~' ||
               (p[0] == '.' && (p[1] == '.' || p[1] == '/' || p[1] == '\0')))) {
    return 0;
  }
  if (slot < 0 && p[0] == '-' && p[1] == '\0') {
    const char *s0 = slotOf(0);
    if (s0 == nullptr) {
      fail(70, "*** Error getting current QUOR directory: %s", name);
      return -1;
    }
    if (!copyOut(s0, rbuf, rsize))
      return tooLong("expandQUORpath", name);
    return 1;
  }
  if (slot < 0 && p[0] == '~') {
    const char *slash = strchr(p, '/');
    std::string user = slash ? std::string(p + 1, slash) : std::string(p + 1);
    std::string home;
    if (user.empty()) {
      ozu_context_t *c = keyset ? keyset->curContext : nullptr;
      home = c && c->curLogin.homeDir ? c->curLogin.homeDir : "";
    } else {
      char *h = lookupHomeDir(user.c_str());
      if (h) {
        home = h;
        free(h);
      }
    }
    if (home.empty()) {
      fail(64, "*** Unknown user name [%s]", user.c_str());
      return -1;
    }
    std::string r = home + (slash ? slash : "");
    if (!copyOut(r, rbuf, rsize))
      return tooLong("expandQUORpath", name);
    if (debug > 1)
      fprintf(errFile, "expandQUORpath: home dir form, set to '%s'\n", r.c_str());
    return 1;
  }
  std::string walked;
  if (p[0] == '-') {
    char *end = nullptr;
    long n = strtol(p + 1, &end, 10);
    if (!isdigit(static_cast<unsigned char>(p[1])) || n < 1) {
      fail(64, "*** illegal dir abbreviation: %s", name);
      return -1;
    }
    if (strlen(end) + 3 * size_t(n) >= 4096) {
      failNum(64, "*** Illegal dir abbreviation count: %d", int(n));
      return -1;
    }
    for (long i = 0; i < n; ++i)
      walked += "../";
    if (*end)
      walked += end;
    else
      walked.pop_back();
    p = walked.c_str();
  }
  const char *baseSlot = slotOf(slot >= 0 ? slot : 0);
  if (baseSlot == nullptr) {
    fail(70, "*** Error getting current QUOR directory: %s", name);
    return -1;
  }
  std::string base = baseSlot;
  if (debug > 1)
    fprintf(errFile, "..Got current QUOR dir = '%s'\n", base.c_str());
  bool consumed = false, toRoot = false;
  if (dotWalk(base, p, false, name, &consumed, &toRoot) < 0)
    return -1;
  bool slash = consumed || toRoot || (slot >= 0 && *p != '\0' && *p != '/');
  std::string r = base;
  if (slash && (r.empty() || r.back() != '/'))
    r += '/';
  r += p;
  if (!copyOut(r, rbuf, rsize))
    return tooLong("expandQUORpath", name);
  return 1;
}

int expandWorkerPath(const char *name, char *rbuf, int rsize)
{
  if (rsize > 0)
    rbuf[0] = '\0';
  if (name[0] == '~') {
    const char *slash = strchr(name, '/');
    if (name[1] == '\0' || name[1] == '/') {
      std::string home = localHome();
      if (home.empty()) {
        failNum(70, "*** Error getting home directory for uid=%d", realuid);
        return -1;
      }
      if (!copyOut(home + (slash ? slash : ""), rbuf, rsize))
        return tooLong("expandWorkerPath", name);
      return 1;
    }
    std::string user = slash ? std::string(name + 1, slash) : std::string(name + 1);
    struct passwd *pw = getpwnam(user.c_str());
    if (pw == nullptr || pw->pw_dir == nullptr) {
      fprintf(errFile, "Cannot locate home directory for [%s]\n", name + 1);
      return -1;
    }
    if (!copyOut(std::string(pw->pw_dir) + (slash ? slash : ""), rbuf, rsize))
      return tooLong("expandWorkerPath", name);
    return 1;
  }
  if (!(strncmp(name, "./", 2) == 0 || strncmp(name, "..", 2) == 0))
    return 0;
  char *cwd = ozu_GetCwd();
  if (cwd == nullptr) {
    fail(78, "*** memory error getting current directory name: %s", name);
    return -1;
  }
  std::string base = cwd;
  free(cwd);
  if (base == "/")
    base.clear();
  const char *p = name;
  bool consumed = false, toRoot = false;
  if (dotWalk(base, p, true, name, &consumed, &toRoot) < 0)
    return -1;
  std::string r = base;
  if (consumed)
    r += '/';
  r += p;
  if (r.empty())
    r = "/";
  if (!copyOut(r, rbuf, rsize))
    return tooLong("expandWorkerPath", name);
  return 1;
}

int expandUPaths(char **pths, int colallowed, int which)
{
  const int fs = keyset ? keyset->fs_char : ':';
  for (int i = 0; pths && pths[i]; ++i) {
    char *s = pths[i];
    if (debug > 1)
      fprintf(errFile, "expandUPaths: expanding '%s'\n", s);
    char *sep = nullptr;
    if (colallowed >= 0) {
      for (char *q = s + 1; *q; ++q) {
        if (*q == '\\' && q[1]) {
          ++q;
          continue;
        }
        if (*q == fs) {
          sep = q;
          break;
        }
      }
    }
    char buf[4096];
    if (sep != nullptr && colallowed == 0) {
      fail(64, "*** illegal QUOR node name: %s", sep);
      return -1;
    }
    if (sep == nullptr) {
      int rc = which == 0 ? expandWorkerPath(s, buf, sizeof buf) : expandQUORpath(s, buf, sizeof buf);
      if (rc == 1) {
        char *grown = static_cast<char *>(realloc(s, strlen(buf) + 1));
        if (grown == nullptr) {
          char msg[4200];
          snprintf(msg, sizeof msg, "*** realloc error expanding '%s' to '%s'", s, buf);
          setExitResult(78, msg, 6);
          return -1;
        }
        strcpy(grown, buf);
        pths[i] = grown;
      }
      continue;
    }
    *sep = '\0';
    std::string local = s, remote = sep + 1;
    *sep = char(fs);
    bool changed = false;
    if (expandWorkerPath(local.c_str(), buf, sizeof buf) == 1) {
      local = buf;
      changed = true;
    }
    if (expandQUORpath(remote.c_str(), buf, sizeof buf) == 1) {
      remote = buf;
      changed = true;
    }
    if (!changed)
      continue;
    std::string joined = local + char(fs) + remote;
    if (debug > 1)
      fprintf(errFile, "...Realloc-ed string %s\n", joined.c_str());
    char *grown = static_cast<char *>(realloc(s, joined.size() + 1));
    if (grown == nullptr) {
      char msg[4200];
      snprintf(msg, sizeof msg, "*** realloc error expanding `%s' to `%s'", s, joined.c_str());
      setExitResult(78, msg, 6);
      return -1;
    }
    strcpy(grown, joined.c_str());
    pths[i] = grown;
    if (debug > 1)
      fprintf(errFile, "...Final string after expansion: '%s'\n", grown);
  }
  return 0;
}
