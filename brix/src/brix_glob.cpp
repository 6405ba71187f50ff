// Wildcard expansion of local names ('*', '?', '[...]', '{a,b}', backslash
// escapes), component by component through the directories, and brix_Match,
// the one-name matcher that the index's member selection also uses.
#include <dirent.h>
#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include <algorithm>
#include <string>

#include "brix_filespec.h"

brix_globstruct_t* brix_globv = nullptr;
long brix_glob_inx = 0;

namespace {

long brix_cur_glob_count = 0;
char wpath[BRIX_MAX_PATH];
size_t wlen = 0;
bool globbed = false;
bool expanding = false;  // descents happen only while a pattern is expanded
const char* entp = "";
long steps = 0;
constexpr long MAX_STEPS = 1L << 22;

void expand(const char* pattern);
int match1(const char* s, const char* p);

bool followLinks() { return (brix_option_flags & BRIX_OPT_FOLLOW_LINKS) != 0; }

int examine(const char* path, struct stat* st) {
  return followLinks() ? stat(path, st) : lstat(path, st);
}

uint32_t kindOf(const struct stat& st) {
  if (S_ISREG(st.st_mode)) return BTO_FILE;
  if (S_ISDIR(st.st_mode)) return BTO_DIRECTORY;
  if (S_ISLNK(st.st_mode)) return BTO_SYMLINK;
  return BTO_UNKNOWN;
}

int addname(const char* pth1, const char* pth2, const struct stat* status) {
  static const char* fn = "addname";
  size_t n1 = strlen(pth1), n2 = strlen(pth2);
  char* name = static_cast<char*>(malloc(n1 + n2 + 1));
  if (!name) {
    brix_Log(BRIX_MSG_ERROR, "%s: out of memory adding pathname [%s] to brix_globv[%ld]", fn, pth2,
             brix_cur_glob_count);
    brix_SetExitCode(78);
    return -12;
  }
  memcpy(name, pth1, n1);
  memcpy(name + n1, pth2, n2 + 1);
  struct stat st;
  if (status) {
    st = *status;
  } else if (examine(name, &st) != 0) {
    if (errno == ENOENT)
      brix_Log(BRIX_MSG_ERROR, "%s: file or directory does not exist: %s\n", brix_progname, name);
    else
      brix_Log(BRIX_MSG_ERROR, "%s: error %d stat-ing \"%s\"\n", brix_progname, errno, name);
    brix_SetExitCode(72);
    free(name);
    return 0;
  }
  uint32_t kind = kindOf(st);
  if (globbed && kind == BTO_UNKNOWN) {
    free(name);
    return 0;
  }
  if (brix_debug_level > 1) fprintf(stderr, "addname: adding [%s], <globbed>=%d \n", name, int(globbed));
  if (brix_glob_inx >= brix_cur_glob_count) {
    long grown = brix_cur_glob_count + 100;
    auto* v = static_cast<brix_globstruct_t*>(realloc(brix_globv, sizeof(brix_globstruct_t) * size_t(grown)));
    if (!v) {
      brix_Log(BRIX_MSG_ERROR, "%s: out of memory expanding glob table to %ld entries for pathname [%s]",
               fn, grown, name);
      brix_SetExitCode(78);
      free(name);
      return -12;
    }
    brix_globv = v;
    brix_cur_glob_count = grown;
  }
  brix_globstruct_t& r = brix_globv[brix_glob_inx++];
  memset(&r, 0, sizeof r);
  r.statflag = 1;
  r.globbed = globbed ? 1 : 0;
  r.filename = name;
  r.object_type = kind;
  r.stat_ent = st;
  return 0;
}

// Appends text to the work path; false when it would pass its limit.
bool wappend(const char* text, size_t n) {
  if (wlen + n >= sizeof wpath) return false;
  memcpy(wpath + wlen, text, n);
  wlen += n;
  wpath[wlen] = '\0';
  return true;
}

void wcut(size_t len) {
  wlen = len;
  wpath[wlen] = '\0';
}

void pathTooLong(const char* rest) {
  brix_Log(BRIX_MSG_ERROR, "%s: path too long expanding %s%s\n", brix_progname, wpath, rest);
  brix_SetExitCode(70);
}

// Finds the '}' closing the '{' at brace; NULL (after the warning) when the
// pattern is malformed.
const char* closingBrace(const char* pattern, const char* brace) {
  int depth = 0;
  for (const char* q = brace; *q; q++) {
    if (*q == '\\') {
      if (q[1]) q++;
      continue;
    }
    if (*q == '[') {
      const char* r = q + 1;
      while (*r && *r != ']') {
        if (*r == '\\' && r[1]) r++;
        r++;
      }
      if (!*r) {
        brix_Log(BRIX_MSG_WARNING, "%s: Missing ] in pattern '%s'", "execbrc", pattern);
        brix_SetExitCode(64);
        return nullptr;
      }
      q = r;
      continue;
    }
    if (*q == '{') depth++;
    else if (*q == '}' && --depth == 0) return q;
  }
  brix_Log(BRIX_MSG_WARNING, "%s: Error-missing }:  %s", "execbrc", pattern);
  brix_SetExitCode(64);
  return nullptr;
}

// Brace alternatives: expansion mode without a name, matching mode with one.
int execbrc(const char* pattern, const char* name) {
  const char* brace = strchr(pattern, '{');
  if (!brace) return name ? match1(name, pattern) : 0;
  const char* close = closingBrace(pattern, brace);
  if (!close) return 0;
  std::string prefix(pattern, size_t(brace - pattern));
  std::string rest(close + 1);
  const char* start = brace + 1;
  int depth = 0;
  for (const char* q = start;; q++) {
    bool split = false;
    if (q == close) {
      split = true;
    } else if (*q == '\\') {
      if (q[1] && q + 1 != close) q++;
      continue;
    } else if (*q == '[') {
      const char* r = q + 1;
      while (r < close && *r != ']') {
        if (*r == '\\' && r + 1 < close) r++;
        r++;
      }
      q = r;
      continue;
    } else if (*q == '{') {
      depth++;
    } else if (*q == '}') {
      depth--;
    } else if (*q == ',' && depth == 0) {
      split = true;
    }
    if (split) {
      std::string candidate = prefix + std::string(start, size_t(q - start)) + rest;
      if (name) {
        if (++steps > MAX_STEPS) return 0;
        if (match1(name, candidate.c_str())) return 1;
      } else {
        size_t saved = wlen;
        expand(candidate.c_str());
        wcut(saved);
      }
      start = q + 1;
      if (q == close) break;
    }
  }
  return 0;
}

// Descends into the directory named by the entry just matched, with the
// pattern left after its '/'.
void descend(const char* rest) {
  if (!expanding) return;
  size_t saved = wlen;
  if (!wappend(entp, strlen(entp)) || !wappend("/", 1)) {
    pathTooLong(rest);
    wcut(saved);
    return;
  }
  struct stat st;
  if (stat(wpath, &st) == 0 && S_ISDIR(st.st_mode)) {
    if (!*rest) addname(wpath, "", &st);
    else expand(rest);
  }
  wcut(saved);
}

int match1(const char* s, const char* p) {
  globbed = true;
  if (++steps > MAX_STEPS) return 0;
  for (;;) {
    char pc = *p++;
    switch (pc) {
      case '\0':
        return *s == '\0';
      case '?':
        if (*s == '\0') return 0;
        s++;
        break;
      case '\\':
        if (*p != *s) return 0;
        if (*p == '\0') return 1;
        p++;
        s++;
        break;
      case '{':
        return execbrc(p - 1, s);
      case '*':
        if (*p == '\0') return 1;
        if (*p == '/') {
          descend(p + 1);
          return 0;
        }
        while (*s) {
          if (match1(s, p)) return 1;
          if (steps > MAX_STEPS) return 0;
          s++;
        }
        return 0;
      case '/':
        if (*s != '\0') return 0;
        descend(p);
        return 0;
      case '[': {
        int sc = static_cast<signed char>(*s);
        int lastc = 32767;
        bool hit = false;
        const char* q = p;
        bool closed = false;
        for (;;) {
          char c = *q;
          if (c == '\0') break;
          q++;
          if (c == '\\') {
            if (*q == '\0') break;
            c = *q++;
            lastc = static_cast<signed char>(c);
            if (lastc == sc) hit = true;
            continue;
          }
          if (c == ']') {
            closed = true;
            break;
          }
          if (c == '-') {
            if (lastc > sc) continue;
            char upper = *q;
            if (upper == '\0') break;
            q++;
            if (sc <= static_cast<signed char>(upper)) hit = true;
            continue;
          }
          lastc = static_cast<signed char>(c);
          if (lastc == sc) hit = true;
        }
        if (!closed) {
          // No set: a literal '[' goes on just after it.
          if (*s != '[') return 0;
          s++;
          break;
        }
        if (!hit || *s == '\0') return 0;
        p = q;
        s++;
        break;
      }
      default:
        if (pc != *s) return 0;
        s++;
        break;
    }
  }
}

void matchdir(const char* component) {
  const char* dirName = wlen ? wpath : ".";
  DIR* d = opendir(dirName);
  if (!d) {
    if (!globbed) {
      brix_Log(BRIX_MSG_ERROR, "%s:  opendir error %d opening directory %s", "matchdir", errno, dirName);
      brix_SetExitCode(72);
    }
    return;
  }
  std::string dirCopy(wpath, wlen);
  while (struct dirent* de = readdir(d)) {
    if (de->d_ino == 0 || de->d_name[0] == '\0') continue;
    if (!brix_Match(de->d_name, component)) continue;
    std::string full = dirCopy + de->d_name;
    if (full.size() >= sizeof wpath) {
      pathTooLong(de->d_name);
      continue;
    }
    struct stat st;
    if (examine(full.c_str(), &st) == 0) addname(dirCopy.c_str(), de->d_name, &st);
  }
  closedir(d);
}

bool hasLaterClose(const char* p) { return strchr(p, ']') != nullptr; }

void expand(const char* pattern) {
  if (brix_debug_level > 1)
    fprintf(stderr, "<Expand> called for pattern='%s', pattype = %s\n", pattern, "Local-file-pathname");
  if (++steps > MAX_STEPS) return;
  size_t saved = wlen;
  bool noglob = (brix_option_flags & BRIX_OPT_NOGLOB) != 0;
  const char* compStart = pattern;  // start of the current component
  size_t compWlen = wlen;           // work path length at that start
  const char* p = pattern;
  while (*p) {
    char c = *p;
    if (!noglob) {
      if (c == '*' || c == '?' || c == '{' || (c == '[' && hasLaterClose(p + 1))) break;
      if (c == '\\' && p[1]) {
        if (!wappend(p + 1, 1)) {
          pathTooLong(p);
          wcut(saved);
          return;
        }
        p += 2;
        continue;
      }
    }
    if (!wappend(p, 1)) {
      pathTooLong(p);
      wcut(saved);
      return;
    }
    p++;
    if (c == '/') {
      compStart = p;
      compWlen = wlen;
    }
  }
  if (!*p) {
    if (!globbed) {
      addname(wpath, "", nullptr);
    } else {
      struct stat st;
      if (stat(wpath, &st) == 0) addname(wpath, "", nullptr);
    }
    wcut(saved);
    return;
  }
  wcut(compWlen);
  if (*p == '{') execbrc(compStart, nullptr);
  else matchdir(compStart);
  wcut(saved);
}

}  // namespace

void brix_GlobInit(void) {
  brix_glob_inx = 0;
  globbed = false;
}

int brix_Match(const char* str, const char* pat) {
  int result;
  if ((strcmp(str, ".") == 0 || strcmp(str, "..") == 0) && pat[0] != '.') {
    result = 0;
  } else {
    const char* savedEnt = entp;
    entp = str;
    bool outer = !expanding;
    if (outer) steps = 0;
    result = match1(str, pat);
    entp = savedEnt;
  }
  if (brix_debug_level > 1) fprintf(stderr, "Match of '%s' and '%s' returned result=%d\n", str, pat, result);
  return result;
}

int brix_Glob(const char* pattern, int) {
  if (brix_debug_level >= 2) fprintf(stderr, "/debug/ Globbing '%s', type = %s file\n", pattern, "local");
  // Backslashes are dropped and the character after each is kept.
  char copy[8192];
  size_t n = 0;
  for (const char* p = pattern; *p && n < sizeof copy - 1; p++) {
    if (*p == '\\') {
      if (!p[1]) break;
      p++;
    }
    copy[n++] = *p;
  }
  copy[n] = '\0';
  long before = brix_glob_inx;
  wcut(0);
  globbed = false;
  expanding = true;
  steps = 0;
  expand(copy);
  expanding = false;
  wcut(0);
  if (brix_glob_inx == before) {
    if (brix_option_flags & BRIX_OPT_VERBOSE)
      fprintf(stderr, "*** Warning: No matching names located for '%s'\n", pattern);
  } else if (brix_debug_level > 1) {
    fprintf(stderr, "/debug/ glob count after call: %ld\n", brix_glob_inx);
    for (long i = 0; i < brix_glob_inx; i++) fprintf(stderr, "      [%s]\n", brix_globv[i].filename);
  }
  return 0;
}

long brix_GlobSort(void) {
  if (brix_glob_inx > 1)
    std::sort(brix_globv, brix_globv + brix_glob_inx,
              [](const brix_globstruct_t& a, const brix_globstruct_t& b) {
                return strcmp(a.filename, b.filename) < 0;
              });
  return brix_glob_inx;
}
