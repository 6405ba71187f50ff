// Exclusion rules of a create: name patterns (shell patterns or extended
// regular expressions) from the options and from ignore files met during the
// walk, and the directory rules (cache directory tags, tag files, ignore
// files, version-control ignore files) that decide whether a directory is
// entered.
#include <errno.h>
#include <fcntl.h>
#include <regex.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "brix_filespec.h"
#include "quor_match.h"

brix_exclude_t* brix_ExcPatternsHead = nullptr;
brix_exclude_t* brix_ExcPatternsTail = nullptr;
brix_exclude_Flist_t brix_ExcTagFile;
brix_exclude_Flist_t brix_ExcTagUnderFile;
brix_exclude_Flist_t brix_ExcTagAllFile;
brix_exclude_Flist_t brix_ExcIgnoreFiles;
brix_exclude_Flist_t brix_ExcIgnoreRecurseFiles;
int brix_ExcCaches = 0, brix_ExcCachesUnder = 0, brix_ExCachesAll = 0;
int brix_ExcVcs = 0, brix_ExcVcsIgnores = 0;

const char* const VCS_ExcludeAllDirnames[19] = {
    "CVS",  ".cvsignore", "RCS",         "SCCS",          ".git",    ".gitignore", ".svn",
    ".arch-ids", "\\{arch\\}", "=RELEASE-ID", "=meta-update", "=update", ".bzr", ".bzrignore",
    ".bzrtags",  ".hg",       ".hgignore",   ".hgtags",       "_darcs"};
const char* const Backup_ExcludePatterns[3] = {".#*", "*~", "#*#"};

namespace {

constexpr const char* CACHE_SIGNATURE = "Signature: 8a477f597d28d172789f06886806bc55";
constexpr size_t CACHE_SIGNATURE_LEN = 43;

bool excludingOperation() {
  uint32_t op = brix_function;
  return op == BOP_CREATE || op == BOP_APPEND || op == BOP_UPDATE;
}

bool displayExcluded() { return brix_debug_level >= 2 || brix_config_opts.DisplayExcludedObjects; }

void freeRecord(brix_exclude_t* e) {
  if (e->compiled) {
    regfree(static_cast<regex_t*>(e->compiled));
    free(e->compiled);
  }
  free(e->pattern);
  free(e);
}

bool regexMatches(brix_exclude_t* e, const char* name) {
  if (e->compileFailed) return false;
  if (!e->compiled) {
    regex_t* re = static_cast<regex_t*>(malloc(sizeof(regex_t)));
    if (!re || regcomp(re, e->pattern, REG_EXTENDED | REG_NOSUB) != 0) {
      free(re);
      e->compileFailed = 1;
      return false;
    }
    e->compiled = re;
  }
  return regexec(static_cast<regex_t*>(e->compiled), name, 0, nullptr, 0) == 0;
}

bool existsFollowing(const std::string& path, struct stat* st) { return stat(path.c_str(), st) == 0; }

// Reads one pattern file line by line (4096 characters at a time); each
// accepted line is handed to accept, which returns false when adding failed.
template <typename Accept>
int readPatternFile(const char* reader, const char* path, Accept accept) {
  FILE* f = fopen(path, "re");
  if (!f) {
    brix_Log(BRIX_MSG_WARNING, "%s: unable to open pattern file '%s' - %s\n", reader, path,
             strerror(errno));
    return -1;
  }
  char* line = static_cast<char*>(malloc(4101));
  if (!line) {
    brix_Log(BRIX_MSG_ERROR, "%s: unable to allocate memory to read pattern names from file %s\n",
             reader, path);
    brix_SetExitCode(78);
    fclose(f);
    return -1;
  }
  int lineNo = 0;
  int rc = 0;
  while (fgets(line, 4097, f)) {
    lineNo++;
    size_t n = strlen(line);
    if (n > 0 && line[n - 1] == '\n') line[--n] = '\0';
    if (!accept(line, lineNo)) {
      fprintf(stderr, "%s: Failed to add file pattern from file '%s', line %d (%s) to exclude list\n",
              brix_msg_prefix[BRIX_MSG_WARNING], path, lineNo, line);
      brix_SetExitCode(78);
      rc = -1;
      break;
    }
  }
  free(line);
  fclose(f);
  return rc;
}

const char* skipBlanks(const char* s) {
  while (*s == ' ' || *s == '\t') s++;
  return s;
}

int addPattern(const char* p, int recursive, int globType, int level) {
  return brix_ExcludeAddPattern(p, recursive, globType, level, &brix_ExcPatternsHead,
                                &brix_ExcPatternsTail);
}

int addDirSpec(const std::string& path, uint32_t type, const struct stat& st) {
  char* name = strdup(path.c_str());
  if (!name) {
    brix_SetExitCode(78);
    return -1;
  }
  char* empty = strdup("");
  return brix_AddFileSpec(type, 0, name, empty, 0, &st);
}

}  // namespace

void brix_ExcludeListLink(brix_exclude_t* entry, brix_exclude_t** head, brix_exclude_t** tail) {
  entry->next = nullptr;
  entry->prev = nullptr;
  if (!*head) {
    *head = *tail = entry;
    return;
  }
  entry->prev = *tail;
  (*tail)->next = entry;
  *tail = entry;
}

void brix_ExcludeListUnlink(brix_exclude_t* entry, brix_exclude_t** head, brix_exclude_t** tail) {
  bool onList = false;
  for (brix_exclude_t* e = *head; e; e = e->next)
    if (e == entry) {
      onList = true;
      break;
    }
  if (!onList) {
    char text[512];
    snprintf(text, sizeof text,
             "%s: *** %s Fatal internal error trying to unlink exclude entry for pattern '%s'\n",
             brix_msg_prefix[0], "brix_ExcludeListUnlink", entry->pattern ? entry->pattern : "");
    if (brix_logging_enabled) brix_LogMsg(BRIX_MSG_ERROR, BRIX_LOG_SELECT_MSG, text);
    else fputs(text, stderr);
    brix_SetExitCode(70);
    raise(SIGABRT);
    exit(brix_exit_code);
  }
  if (entry->prev) entry->prev->next = entry->next;
  else *head = entry->next;
  if (entry->next) entry->next->prev = entry->prev;
  else *tail = entry->prev;
  entry->next = entry->prev = nullptr;
}

void brix_ExcludePopTo(brix_exclude_t* oldTail) {
  while (brix_ExcPatternsTail && brix_ExcPatternsTail != oldTail) {
    brix_exclude_t* e = brix_ExcPatternsTail;
    brix_ExcludeListUnlink(e, &brix_ExcPatternsHead, &brix_ExcPatternsTail);
    freeRecord(e);
  }
}

int brix_ExcludeAddPattern(const char* pattern, int isRecursive, int globType, int recursionLevel,
                           brix_exclude_t** head, brix_exclude_t** tail) {
  static const char* fn = "brix_ExcludeAddPattern";
  brix_exclude_t* e = static_cast<brix_exclude_t*>(calloc(1, sizeof(brix_exclude_t)));
  if (!e) {
    fprintf(stderr, "%s: (%s) memory allocation error copying filename pattern [%s]\n",
            brix_msg_prefix[0], fn, pattern);
    brix_SetExitCode(78);
    return -1;
  }
  e->pattern = strdup(pattern);
  if (!e->pattern) {
    fprintf(stderr, "%s: (%s) STRDUP error copying filename pattern [%s]\n", brix_msg_prefix[0], fn,
            pattern);
    free(e);
    brix_SetExitCode(78);
    return -1;
  }
  e->recurseLevel = uint32_t(recursionLevel);
  e->recursive = uint32_t(isRecursive);
  e->globType = uint32_t(globType);
  brix_ExcludeListLink(e, head, tail);
  return 0;
}

int brix_ExcludesAddFromFile(const char* filename, int isRecursive, int globType,
                             int recursionLevel, brix_exclude_t** head, brix_exclude_t** tail) {
  static const char* fn = "brix_ExcludesAddFromFile";
  return readPatternFile(fn, filename, [&](const char* line, int lineNo) {
    if (line[0] == '\0') return true;
    size_t n = strlen(line);
    if (brix_debug_level > 0 &&
        (line[0] == ' ' || line[0] == '\t' || line[n - 1] == ' ' || line[n - 1] == '\t'))
      fprintf(stderr, "%s: file '%s' line %d: filename pattern contains leading or trailing whitespace\n",
              brix_msg_prefix[BRIX_MSG_WARNING], filename, lineNo);
    return brix_ExcludeAddPattern(line, isRecursive, globType, recursionLevel, head, tail) == 0;
  });
}

int readGitIgnore(const char* path, int level) {
  return readPatternFile("readGitIgnore", path, [&](const char* line, int) {
    const char* p = skipBlanks(line);
    if (!*p || *p == '#') return true;
    return addPattern(p, 1, 1, level) == 0;
  });
}

int readCvsIgnore(const char* path, int level) {
  return readPatternFile("readCvsIgnore", path, [&](const char* line, int) {
    const char* p = skipBlanks(line);
    if (!*p) return true;
    return addPattern(p, 0, 1, level) == 0;
  });
}

int readBzrIgnore(const char* path, int level) {
  return readPatternFile("readBzrIgnore", path, [&](const char* line, int) {
    const char* p = skipBlanks(line);
    if (!*p || *p == '#') return true;
    if (strncmp(p, "RE:", 3) == 0) {
      if (!p[3]) return true;
      return addPattern(p + 3, 1, 2, level) == 0;
    }
    return addPattern(p, 1, 1, level) == 0;
  });
}

int readHgIgnore(const char* path, int level) {
  int type = 2;  // regular expressions until a syntax line says otherwise
  return readPatternFile("readHgIgnore", path, [&](const char* line, int) {
    const char* p = skipBlanks(line);
    if (!*p || *p == '#') return true;
    if (strncmp(p, "syntax:", 7) == 0) {
      const char* t = skipBlanks(p + 7);
      if (!*t) return true;
      if (strncmp(t, "glob", 4) == 0) {
        type = 1;
        return true;
      }
      if (strncmp(t, "regexp", 6) == 0) {
        type = 2;
        return true;
      }
      // Any other type: the line is a pattern of the type in force.
    }
    return addPattern(p, 1, type, level) == 0;
  });
}

int brix_ExcludeAddFilename(const char* filename, int recursive, int globType, int recursionLevel,
                            brix_exclude_Flist_t* list) {
  static const char* fn = "brix_ExcludeAddFilename";
  char* copy = strdup(filename);
  if (!copy) {
    fprintf(stderr, "%s: (%s) STRDUP error copying filename '%s'\n", brix_msg_prefix[0], fn, filename);
    brix_SetExitCode(78);
    return -1;
  }
  char** grown = static_cast<char**>(realloc(list->excludeFiles, sizeof(char*) * size_t(list->count + 1)));
  if (!grown) {
    fprintf(stderr, "%s: (%s) REALLOC error appending to table with filename '%s'\n",
            brix_msg_prefix[0], fn, filename);
    free(copy);
    brix_SetExitCode(78);
    return -1;
  }
  if (list->count == 0) {
    list->recurseLevel = uint32_t(recursionLevel);
    list->recursive = uint32_t(recursive);
    list->globType = uint32_t(globType);
  }
  list->excludeFiles = grown;
  list->excludeFiles[list->count++] = copy;
  return 0;
}

int checkCacheHeader(const char* cachePathname) {
  int fd = open(cachePathname, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return -1;
  char buf[CACHE_SIGNATURE_LEN];
  size_t got = 0;
  while (got < sizeof buf) {
    ssize_t n = read(fd, buf + got, sizeof buf - got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += size_t(n);
  }
  close(fd);
  if (got == CACHE_SIGNATURE_LEN && memcmp(buf, CACHE_SIGNATURE, CACHE_SIGNATURE_LEN) == 0) return 0;
  return -1;
}

int brix_ExcludeCheckName(const char* path, int recursionLevel, char* msgBuffer, size_t msgBuflen) {
  static const char* fn = "brix_ExcludeCheckName";
  if (!excludingOperation()) return 0;
  if (msgBuffer && msgBuflen) msgBuffer[0] = '\0';
  for (brix_exclude_t* e = brix_ExcPatternsHead; e; e = e->next) {
    if (int(e->recurseLevel) < recursionLevel && !e->recursive) {
      if (brix_debug_level > 1)
        fprintf(stderr, "/debug/%s: skipping pattern %s curlevel: %d pat level: %d patrecurse: %d\n",
                fn, e->pattern, recursionLevel, int(e->recurseLevel), int(e->recursive));
      continue;
    }
    bool hit;
    if (e->globType != 0 && e->globType != 1) {
      hit = regexMatches(e, path);
    } else {
      int errors = 0;
      hit = quorcfgx_PatternMatch(path, e->pattern, &errors) == 1;
    }
    if (hit) {
      if (msgBuffer && msgBuflen)
        snprintf(msgBuffer, msgBuflen, "Exclude pattern '%s' found for %s - file not dumped",
                 e->pattern, path);
      return 1;
    }
  }
  if (brix_debug_level >= 2) {
    char text[4200];
    snprintf(text, sizeof text, "(Dir level %d) No exclude pattern match for filename: %s\n",
             recursionLevel, path);
    if (msgBuffer && msgBuflen) brix_strlcpy(msgBuffer, text, msgBuflen);
    fprintf(stderr, "/debug/%s: %s", fn, text);
  }
  return 0;
}

int brix_ExcludeNewDirectory(int recurseLevel, const char* dirPath) {
  if (!excludingOperation()) return 0;
  std::string dir = dirPath;
  auto candidate = [&](const char* name) {
    std::string p = dir + "/" + name;
    if (p.size() > 4095) p.resize(4095);
    return p;
  };
  const char* I = brix_msg_prefix[BRIX_MSG_INFO];
  struct stat dirSt;
  bool haveDirSt = stat(dirPath, &dirSt) == 0;

  if (brix_ExcCaches || brix_ExcCachesUnder || brix_ExCachesAll) {
    std::string tag = candidate("CACHEDIR.TAG");
    struct stat st;
    if (lstat(tag.c_str(), &st) == 0 && S_ISREG(st.st_mode) && checkCacheHeader(tag.c_str()) == 0) {
      if (displayExcluded())
        fprintf(stderr, "%s: [%s] contains a cache directory tag CACHEDIR.TAG; contents not dumped\n",
                I, dirPath);
      if (brix_ExCachesAll) return 1;
      if (!haveDirSt || addDirSpec(dir, BTO_DIRECTORY, dirSt) != 0) return 1;
      if (brix_ExcCachesUnder) return 1;
      addDirSpec(tag, BTO_FILE, st);
      return 1;
    }
  }
  for (int i = 0; i < brix_ExcTagAllFile.count; i++) {
    struct stat st;
    if (existsFollowing(candidate(brix_ExcTagAllFile.excludeFiles[i]), &st)) {
      if (displayExcluded())
        fprintf(stderr, "%s: found --exclude-tag-all=%s in [%s] including dir+file entry\n", I,
                brix_ExcTagAllFile.excludeFiles[i], dirPath);
      return 1;
    }
  }
  for (int i = 0; i < brix_ExcTagUnderFile.count; i++) {
    struct stat st;
    if (existsFollowing(candidate(brix_ExcTagUnderFile.excludeFiles[i]), &st)) {
      if (displayExcluded())
        fprintf(stderr, "%s: found --exclude-tag=%s in [%s] including dir+file entry\n", I,
                brix_ExcTagUnderFile.excludeFiles[i], dirPath);
      if (haveDirSt) addDirSpec(dir, BTO_DIRECTORY, dirSt);
      return 1;
    }
  }
  for (int i = 0; i < brix_ExcTagFile.count; i++) {
    struct stat st;
    std::string tag = candidate(brix_ExcTagFile.excludeFiles[i]);
    if (existsFollowing(tag, &st)) {
      if (displayExcluded())
        fprintf(stderr, "%s: found --exclude-tag=%s in [%s] including dir+tagfile\n", I,
                brix_ExcTagFile.excludeFiles[i], dirPath);
      if (haveDirSt && addDirSpec(dir, BTO_DIRECTORY, dirSt) == 0) addDirSpec(tag, BTO_FILE, st);
      return 1;
    }
  }
  for (int i = 0; i < brix_ExcIgnoreFiles.count; i++) {
    std::string f = candidate(brix_ExcIgnoreFiles.excludeFiles[i]);
    struct stat st;
    if (!existsFollowing(f, &st)) continue;
    int rc = brix_ExcludesAddFromFile(f.c_str(), 0, 1, recurseLevel, &brix_ExcPatternsHead,
                                      &brix_ExcPatternsTail);
    if (rc < 0) return rc;
  }
  for (int i = 0; i < brix_ExcIgnoreRecurseFiles.count; i++) {
    std::string f = candidate(brix_ExcIgnoreRecurseFiles.excludeFiles[i]);
    struct stat st;
    if (!existsFollowing(f, &st)) continue;
    int rc = brix_ExcludesAddFromFile(f.c_str(), 1, 1, recurseLevel, &brix_ExcPatternsHead,
                                      &brix_ExcPatternsTail);
    if (rc < 0) return rc;
  }
  if (brix_ExcVcs) return 0;
  if (brix_ExcVcsIgnores) {
    struct vcsReader {
      const char* name;
      int (*read)(const char*, int);
    };
    static const vcsReader readers[] = {{".gitignore", readGitIgnore},
                                        {".cvsignore", readCvsIgnore},
                                        {".bzrignore", readBzrIgnore},
                                        {".hgignore", readHgIgnore}};
    for (const vcsReader& r : readers) {
      std::string f = candidate(r.name);
      struct stat st;
      if (lstat(f.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
      int rc = r.read(f.c_str(), recurseLevel);
      if (rc < 0) return rc;
    }
  }
  return 0;
}
