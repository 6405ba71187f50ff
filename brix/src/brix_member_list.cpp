// Member list generation: the command line's names and list files become one
// table of members to act on. For a create each local name is expanded,
// tested against the exclusion rules and walked recursively; for the member
// operations each name is kept as a member name or pattern.
#include <ctype.h>
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <pwd.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <system_error>
#include <thread>
#include <string>
#include <vector>

#include "brix_filespec.h"
#include "brix_parallel.h"
#include "quor_api.h"

brix_FileSpec_t* brix_FileList = nullptr;
int64_t brix_FileListEntries = 0;
uint64_t brix_FileListGeneration = 0;

namespace {

brix_FileSpec_t* fileSpecTable = nullptr;
int64_t fileSpecEntries = 0;
int64_t fileSpecTableSize = 0;

int dirRecursionLevel = 0;
char currentDir[BRIX_MAX_PATH + 1];
size_t currentDirLen = 0;
bool recurseFlag = true;
time_t genlistStartTime = 0;
long toolargeCount = 0;
long dirsScanned = 0;
int64_t walkSortStart = 0;
// The last entry added before one that sorts ahead of it (compared while
// both names are still in cache), or -1.
int64_t lastOutOfOrder = -1;
bool localOperation = false;

char* ownHome = nullptr;
std::string lastUser;
std::string lastUserHome;

bool followLinks() { return (brix_option_flags & BRIX_OPT_FOLLOW_LINKS) != 0; }

// The directories the walk is inside, by device and inode: with -h a link
// back to one of them would be walked for ever.
std::vector<std::pair<dev_t, ino_t>> walkAncestors;

bool walkingInside(const struct stat& st) {
  for (const auto& a : walkAncestors)
    if (a.first == st.st_dev && a.second == st.st_ino) return true;
  return false;
}

bool tooOld(const struct stat& st) {
  if (!(brix_option_flags & BRIX_OPT_NEWER)) return false;
  return st.st_mtime < genlistStartTime - brix_time_opt;
}

// Access of the real user as access() would answer it on a local file
// system, without a system call when the answer is known: the super-user
// reads files and searches directories, and an owner gets the owner's bits.
bool accessible(int dirFd, const char* name, const struct stat& st, int what) {
  static const uid_t ruid = getuid();
  if (ruid == 0) return true;
  if (st.st_uid == ruid) return (st.st_mode & (what == R_OK ? S_IRUSR : S_IXUSR)) != 0;
  return faccessat(dirFd, name, what, 0) == 0;
}

// Characters a list-file line is trimmed of: blanks and ASCII control
// characters. Bytes of multi-byte names are kept.
bool trimmable(unsigned char c) { return c < 0x80 && (isspace(c) || !isprint(c)); }

bool isLocalOperation(uint32_t op) {
  return op == BOP_CREATE || op == BOP_APPEND || op == BOP_COMPARE ||
         op == BOP_COMPARE_CKSUMS || op == BOP_UPDATE;
}

bool fileSpecLess(const brix_FileSpec_t& a, const brix_FileSpec_t& b) {
  int c = strcmp(a.filename, b.filename);
  if (c != 0) return c < 0;
  return a.version < b.version;
}

void sortSince(int64_t start, const char* top) {
  int64_t count = fileSpecEntries - start;
  if (count <= 1) return;
  if (brix_debug_level > 1)
    fprintf(stderr, "/debug/ sorting %d index entries added for directory %s\n", int(count), top);
  // Each directory's names are taken in order, so a walk most often lists
  // its tree sorted already; a name like "d.x" beside a directory "d" is
  // where it does not.
  if (lastOutOfOrder > start)
    std::sort(fileSpecTable + start, fileSpecTable + fileSpecEntries, fileSpecLess);
}

void showExcluded(const char* dir, const char* reason) {
  if (brix_config_opts.DisplayExcludedObjects)
    fprintf(stderr, "%s: path %s: %s\n", brix_msg_prefix[BRIX_MSG_INFO], dir, reason);
}

void showScanning(const char* parent, const char* name) {
  if (!isatty2 || (brix_option_flags & BRIX_OPT_QUIET)) return;
  std::string path = std::string(parent) + "/" + name;
  size_t L = strlen(parent);
  if (dirRecursionLevel <= 1 || L <= 39) {
    console_message("Scanning ...", path.c_str());
  } else if (L <= 79) {
    size_t from = 2 * L - 79;
    console_message("Scanning ...", from < path.size() ? path.c_str() + from : name);
  } else {
    console_message("Scanning ...", name);
  }
}

struct dirItem {
  const char* name;
  int statErr;
  struct stat st;
};

int genDirList(const char* theDirectory);

// A directory met in a walk or named on the command line: its exclusion
// rules, its entry and its descent. level is the level its entries get.
int takeDirectory(const char* path, const struct stat& st, int level, bool walkTop) {
  brix_exclude_t* tail = brix_ExcPatternsTail;
  if (!tooOld(st)) {
    uint32_t op = brix_function;
    if (op == BOP_CREATE || op == BOP_APPEND || op == BOP_UPDATE) {
      int rc = brix_ExcludeNewDirectory(level, path);
      if (rc < 0) {
        brix_Log(BRIX_MSG_ERROR, "Error reading dynamic list of files to exclude in: %s\n", path);
        brix_SetExitCode(72);
        brix_ExcludePopTo(tail);
        return -1;
      }
      if (rc == 1) {
        brix_ExcludePopTo(tail);
        return 0;
      }
    }
    char* name = strdup(path);
    if (!name || brix_AddFileSpec(BTO_DIRECTORY, 0, name, nullptr, 0, &st) != 0) {
      brix_ExcludePopTo(tail);
      return -1;
    }
  }
  int rc = 0;
  if (recurseFlag) {
    if (access(path, X_OK) != 0) {
      brix_Log(BRIX_MSG_INFO, "Not searchable: %s\n", path);
      brix_SetExitCode(72);
    } else {
      if (walkTop) brix_ResetDirLevel();
      rc = genDirList(path);
    }
  }
  brix_ExcludePopTo(tail);
  return rc;
}

int genDirList(const char* theDirectory) {
  dirsScanned++;
  if ((brix_option_flags & BRIX_OPT_STATUS_FIFO) && dirsScanned % 10 == 0)
    brix_StatusMsg(0, "Scanned %ld dirs - %ld files added", dirsScanned, long(fileSpecEntries));
  dirRecursionLevel++;
  size_t savedLen = currentDirLen;
  if (dirRecursionLevel == 1) {
    brix_strlcpy(currentDir, theDirectory, sizeof currentDir);
    currentDirLen = strlen(currentDir);
    walkSortStart = fileSpecEntries;
  } else {
    size_t n = strlen(theDirectory);
    if (currentDirLen + n + 2 > BRIX_MAX_PATH - 1) {
      brix_Log(BRIX_MSG_ERROR, "pathname too long (brix_GenDirList).\n");
      brix_Log(BRIX_MSG_ERROR, "    Current: %s\n", currentDir);
      brix_Log(BRIX_MSG_ERROR, "    Next dir to scan: %s\n", theDirectory);
      brix_SetExitCode(70);
      dirRecursionLevel--;
      if (dirRecursionLevel == 0) sortSince(walkSortStart, currentDir);
      return -1;
    }
    currentDir[currentDirLen] = '/';
    memcpy(currentDir + currentDirLen + 1, theDirectory, n + 1);
    currentDirLen += n + 1;
  }
  std::string dirPath(currentDir, currentDirLen);
  std::string parent(currentDir, savedLen);
  showScanning(dirRecursionLevel == 1 ? dirPath.c_str() : parent.c_str(),
               dirRecursionLevel == 1 ? "" : theDirectory);

  int rc = 0;
  DIR* d = opendir(dirPath.c_str());
  size_t ancestors = walkAncestors.size();
  if (d && followLinks()) {
    struct stat self;
    if (fstat(dirfd(d), &self) == 0) walkAncestors.push_back({self.st_dev, self.st_ino});
  }
  if (!d) {
    brix_Log(BRIX_MSG_ERROR, "Unable to open directory: %s\n", dirPath.c_str());
    brix_SetExitCode(72);
    rc = -1;
  } else {
    // Read the whole directory first and close it, so a deep tree never
    // holds a descriptor per level: the names into one block, then the
    // status of each, relative to the open directory.
    std::string names;
    std::vector<size_t> starts;
    while (struct dirent* de = readdir(d)) {
      const char* nm = de->d_name;
      if (!nm[0] || strcmp(nm, ".") == 0 || strcmp(nm, "..") == 0) continue;
      starts.push_back(names.size());
      names.append(nm, strlen(nm) + 1);
    }
    // In name order: the walk then lists a tree already sorted.
    std::sort(starts.begin(), starts.end(),
              [&](size_t a, size_t b) { return strcmp(names.data() + a, names.data() + b) < 0; });
    int dfd = dirfd(d);
    int flag = followLinks() ? 0 : AT_SYMLINK_NOFOLLOW;
    std::vector<dirItem> items(starts.size());
    std::vector<char> readable(items.size(), 1);
    auto statRange = [&](size_t from, size_t to) {
      for (size_t i = from; i < to; i++) {
        dirItem& it = items[i];
        it.name = names.data() + starts[i];
        it.statErr = fstatat(dfd, it.name, &it.st, flag) == 0 ? 0 : errno;
        if (it.statErr == 0 && S_ISREG(it.st.st_mode))
          readable[i] = accessible(dfd, it.name, it.st, R_OK) ? 1 : 0;
      }
    };
    // A large directory's status calls are shared out among a few threads;
    // the entries are then taken in order as before.
    if (items.size() >= 256) brix_ParallelFor(items.size(), 64, statRange);
    else statRange(0, items.size());
    closedir(d);

    char msg[4400];
    for (size_t i = 0; i < items.size() && rc == 0; i++) {
      const dirItem& it = items[i];
      const char* nm = it.name;
      size_t nameLen = strlen(nm);
      if (currentDirLen + nameLen + 2 > BRIX_MAX_PATH - 1) {
        brix_Log(BRIX_MSG_INFO, "Full pathname too long - skipped %s\n", nm);
        brix_SetExitCode(70);
        continue;
      }
      if (brix_ExcludeCheckName(nm, dirRecursionLevel, msg, sizeof msg)) {
        showExcluded(dirPath.c_str(), msg);
        continue;
      }
      std::string full;
      full.reserve(dirPath.size() + 1 + nameLen);
      full.append(dirPath).append(1, '/').append(nm, nameLen);
      if (it.statErr != 0) {
        brix_Log(BRIX_MSG_INFO, "Error %d stat-ing %s - entry not included\n", it.statErr, full.c_str());
        brix_SetExitCode(72);
        continue;
      }
      const struct stat& st = it.st;
      if (S_ISDIR(st.st_mode)) {
        brix_exclude_t* tail = brix_ExcPatternsTail;
        bool skip = false;
        if (!tooOld(st)) {
          uint32_t op = brix_function;
          if (op == BOP_CREATE || op == BOP_APPEND || op == BOP_UPDATE) {
            int ex = brix_ExcludeNewDirectory(dirRecursionLevel + 1, full.c_str());
            if (ex < 0) {
              brix_Log(BRIX_MSG_ERROR, "Error reading dynamic list of files to exclude in: %s\n",
                       full.c_str());
              brix_SetExitCode(72);
              brix_ExcludePopTo(tail);
              rc = -1;
              break;
            }
            skip = ex == 1;
          }
          if (!skip) {
            char* name = strdup(full.c_str());
            if (!name || brix_AddFileSpec(BTO_DIRECTORY, 0, name, nullptr, 0, &st) != 0) {
              brix_ExcludePopTo(tail);
              rc = -1;
              break;
            }
          }
        }
        if (!skip && recurseFlag) {
          if (followLinks() && walkingInside(st)) {
            // Reported and passed over, as GNU tar does; the walk goes on.
            brix_Log(BRIX_MSG_WARNING, "%s: File system loop detected\n", full.c_str());
            brix_SetExitCode(72);
          } else if (!accessible(AT_FDCWD, full.c_str(), st, X_OK)) {
            brix_Log(BRIX_MSG_INFO, "Not searchable: %s\n", full.c_str());
            brix_SetExitCode(72);
          } else if (genDirList(nm) != 0) {
            rc = -1;
          }
        }
        brix_ExcludePopTo(tail);
      } else if (S_ISREG(st.st_mode)) {
        if (tooOld(st)) continue;
        if (!readable[i]) {
          brix_Log(BRIX_MSG_INFO, "Not readable [skipped]: %s\n", full.c_str());
          brix_SetExitCode(72);
          continue;
        }
        if (uint64_t(st.st_size) > 68719476735ull) {
          brix_Log(BRIX_MSG_INFO, "File too large for brix to handle: %s (%lu bytes)\n", full.c_str(),
                   (unsigned long)st.st_size);
          toolargeCount++;
          brix_SetExitCode(72);
          continue;
        }
        char* name = strdup(full.c_str());
        if (!name || brix_AddFileSpec(BTO_FILE, 0, name, nullptr, 0, &st) != 0) rc = -1;
      } else if (S_ISLNK(st.st_mode)) {
        if (tooOld(st)) continue;
        char* name = strdup(full.c_str());
        if (!name || brix_AddFileSpec(BTO_SYMLINK, 0, name, nullptr, 0, &st) != 0) rc = -1;
      }
      // Devices, FIFOs and sockets met in a walk are left out silently.
    }
  }
  walkAncestors.resize(ancestors);
  currentDirLen = savedLen;
  currentDir[currentDirLen] = '\0';
  dirRecursionLevel--;
  if (dirRecursionLevel == 0) sortSince(walkSortStart, dirPath.c_str());
  return rc;
}

int commonExpandPathname(const char* thePathname, char* theAnnotation, int32_t theVersion) {
  static const char* fn = "commonExpandPathname";
  brix_exclude_t* tail = brix_ExcPatternsTail;
  char expanded[BRIX_MAX_PATH + 1];
  if (brix_ExpandLocalPath(thePathname, expanded, sizeof expanded) != 0) {
    brix_Log(BRIX_MSG_ERROR, "%s: Unable to expand prefix chars for pathname: %s  Entry skipped", fn,
             thePathname);
    brix_SetExitCode(64);
    return -1;
  }
  brix_GlobInit();
  brix_Glob(expanded, BRIX_LOCAL_FILE);
  long count = brix_GlobSort();
  if (brix_debug_level > 0)
    fprintf(stderr, "/debug/ %d entries expanded from [%s]\n", int(count), expanded);
  int rc = 0;
  char msg[4400];
  // The results are copied: a walk below may expand nothing, but keeps the
  // table of results free for reuse.
  size_t resultCount = size_t(count);
  std::unique_ptr<brix_globstruct_t[]> results(new brix_globstruct_t[resultCount > 0 ? resultCount : 1]);
  if (resultCount) memcpy(static_cast<void*>(results.get()), brix_globv, sizeof(brix_globstruct_t) * resultCount);
  for (size_t r = 0; r < resultCount; r++) {
    const brix_globstruct_t& g = results[r];
    bool kept = false;  // the name went into the table, which owns it now
    if (rc != 0) {
      free(g.filename);
      continue;
    }
    if (brix_ExcludeCheckName(g.filename, 0, msg, sizeof msg)) {
      if (brix_config_opts.DisplayExcludedObjects)
        fprintf(stderr, "%s: path: %s %s\n", brix_msg_prefix[BRIX_MSG_INFO], "", msg);
    } else {
      const struct stat& st = g.stat_ent;
      if (g.object_type == BTO_FILE) {
        if (tooOld(st)) {
        } else if (access(g.filename, R_OK) != 0) {
          brix_Log(BRIX_MSG_INFO, "Not readable: %s\n", g.filename);
          brix_SetExitCode(72);
        } else if (uint64_t(st.st_size) > 68719476735ull) {
          brix_Log(BRIX_MSG_INFO, "File too large for brix to handle: %s (%lu bytes)\n", g.filename,
                   (unsigned long)st.st_size);
          toolargeCount++;
        } else {
          kept = true;
          if (brix_AddFileSpec(BTO_FILE, 0, g.filename, theAnnotation, theVersion, &st) != 0) rc = -1;
        }
      } else if (g.object_type == BTO_DIRECTORY) {
        if (takeDirectory(g.filename, st, 1, true) != 0) rc = -1;
      } else if (g.object_type == BTO_SYMLINK) {
        if (!tooOld(st)) {
          kept = true;
          if (brix_AddFileSpec(BTO_SYMLINK, 0, g.filename, theAnnotation, theVersion, &st) != 0) rc = -1;
        }
      } else {
        brix_Log(BRIX_MSG_ERROR, "brix: %s: object type not recognized \n", g.filename);
        brix_SetExitCode(72);
      }
    }
    if (!kept) free(g.filename);
  }
  brix_ExcludePopTo(tail);
  return rc;
}

// A member name read as an index ordinal (-J): 0 and the number, or -1.
int parseOrdinal(const char* name, uint64_t* ordinal) {
  if (!*name) return -1;
  uint64_t v = 0;
  for (const char* p = name; *p; p++) {
    if (!isdigit(static_cast<unsigned char>(*p))) return -1;
    uint64_t next = v * 10 + uint64_t(*p - '0');
    if (next / 10 != v) return -1;
    v = next;
  }
  *ordinal = v;
  return 0;
}

// One name of the command line or of a list file; annotation is what a
// member-operation entry gets (none or empty).
int takeName(const char* raw, char* memberAnnotation) {
  char* name = brix_CopyPathname(raw);
  if (!name) {
    brix_SetExitCode(78);
    return -1;
  }
  if (localOperation) {
    int rc = commonExpandPathname(name, nullptr, 0);
    free(name);
    if (rc != 0) {
      brix_SetExitCode(64);
      return -1;
    }
    return 0;
  }
  if (name[0] == '~') {
    char expanded[BRIX_MAX_PATH];
    if (brix_ExpandLocalPath(name, expanded, sizeof expanded) != 0) {
      free(name);
      brix_SetExitCode(64);
      return -1;
    }
    free(name);
    name = strdup(expanded);
    if (!name) {
      brix_SetExitCode(78);
      return -1;
    }
  }
  uint64_t ordinal = 0;
  if (brix_option_flags & BRIX_OPT_ORDINALS) {
    // With -J the names are index ordinals.
    if (parseOrdinal(name, &ordinal) != 0) {
      brix_Log(BRIX_MSG_ERROR, "-J: '%s' is not an index ordinal\n", name);
      free(name);
      brix_SetExitCode(64);
      return -1;
    }
  }
  if (brix_AddFileSpec(BTO_UNKNOWN, ordinal, name, memberAnnotation, 0, nullptr) != 0) {
    brix_SetExitCode(78);
    return -1;
  }
  return 0;
}

}  // namespace

char* brix_CopyPathname(const char* src) {
  size_t len = strlen(src);
  char* out = static_cast<char*>(malloc(len + 1));
  if (!out) return nullptr;
  size_t n = 0;
  bool escaped = false;  // the last character written was escaped
  for (size_t i = 0; i < len; i++) {
    char c = src[i];
    if (c == '\\') {
      if (i + 1 < len) {
        out[n++] = src[++i];
        escaped = true;
      }
      continue;
    }
    if (c == '/') {
      if (n == 0 || escaped) {
        out[n++] = c;
      } else if (out[n - 1] == '/' || i == len - 1) {
        // runs of slashes collapse; a trailing slash goes
      } else {
        out[n++] = c;
      }
      escaped = false;
      continue;
    }
    out[n++] = c;
    escaped = false;
  }
  while (n > 1 && out[n - 1] == '/') n--;
  out[n] = '\0';
  return out;
}

void brix_ResetFileList(void) {
  for (int64_t i = 0; i < fileSpecEntries; i++) {
    free(fileSpecTable[i].filename);
    free(fileSpecTable[i].annotation);
  }
  fileSpecEntries = 0;
  lastOutOfOrder = -1;
  brix_FileListGeneration++;
  brix_FileList = fileSpecTable;
  brix_FileListEntries = 0;
  toolargeCount = 0;
  dirRecursionLevel = 0;
}

void brix_BuildFileSpec(uint32_t objectType, uint64_t indexOrd, char* fileName, char* annotation,
                        int32_t version, const struct stat* status, brix_FileSpec_t* entry) {
  memset(entry, 0, sizeof *entry);
  for (const char* p = fileName; *p; p++) {
    if (*p == '\\') {
      if (!p[1]) break;
      p++;
      continue;
    }
    if (*p == '*' || *p == '?' || *p == '{' || *p == '[' || *p == '!') {
      entry->hasWildcards = 1;
      break;
    }
  }
  entry->objectType = objectType;
  entry->indexOrd = indexOrd;
  entry->filename = fileName;
  entry->annotation = annotation;
  entry->version = version;
  if (status) {
    entry->haveStatInfo = 1;
    entry->size = uint64_t(status->st_size);
    entry->mode = uint32_t(status->st_mode & 07777);
    // Times before 1970 or past the index's 32-bit field are kept at its
    // ends rather than wrapped to a distant date.
    auto clampTime = [](time_t t) -> uint64_t {
      if (t < 0) return 0;
      if (uint64_t(t) > 0xFFFFFFFFull) return 0xFFFFFFFFull;
      return uint64_t(t);
    };
    entry->ctime = clampTime(status->st_ctime);
    entry->mtime = clampTime(status->st_mtime);
    entry->uid = status->st_uid;
    entry->gid = status->st_gid;
    entry->nlink = status->st_nlink;
    entry->dev = status->st_dev;
    entry->ino = status->st_ino;
    entry->timeOutOfRange = status->st_mtime < 0 || uint64_t(status->st_mtime) > 0xFFFFFFFFull;
  }
}

int brix_AddFileSpec(uint32_t objectType, uint64_t indexOrd, char* fileName, char* annotation,
                     int32_t version, const struct stat* status) {
  static const char* fn = "brix_AddFileSpec";
  if (brix_debug_level > 3)
    fprintf(stderr, "%s: adding %s Annotation: [%s] version: %d\n", fn, fileName,
            annotation ? annotation : "", int(version));
  bool atLimit = brix_max_files > 0 && fileSpecEntries >= brix_max_files;
  if (atLimit || fileSpecEntries >= fileSpecTableSize) {
    int64_t grow = fileSpecTableSize / 2 > 100 ? fileSpecTableSize / 2 : 100;
    int64_t capacity = fileSpecTableSize + grow;
    if (brix_max_files > 0 && capacity > brix_max_files) capacity = brix_max_files;
    if (atLimit || capacity <= fileSpecEntries) {
      brix_Log(BRIX_MSG_ERROR, "Maximum number of file entries reached (%ld)\n", brix_max_files);
      if (fileSpecEntries < brix_abs_max_files)
        brix_Log(BRIX_MSG_ERROR, "Override up to %s using the -M option",
                 std::to_string(brix_abs_max_files).c_str());
      else
        brix_Log(BRIX_MSG_ERROR, "   (Need to rebuild brix with larger setting for brix_max_files)\n");
      brix_SetExitCode(78);
      free(fileName);
      free(annotation);
      return -1;
    }
    auto* t = static_cast<brix_FileSpec_t*>(
        realloc(fileSpecTable, sizeof(brix_FileSpec_t) * size_t(capacity)));
    if (!t) {
      brix_MallocError(fn, "realloc", sizeof(brix_FileSpec_t) * size_t(capacity), __FILE__, __LINE__);
      free(fileName);
      free(annotation);
      return -1;
    }
    fileSpecTable = t;
    fileSpecTableSize = capacity;
  }
  brix_BuildFileSpec(objectType, indexOrd, fileName, annotation, version, status,
                     &fileSpecTable[fileSpecEntries]);
  if (fileSpecEntries > 0 && fileSpecLess(fileSpecTable[fileSpecEntries], fileSpecTable[fileSpecEntries - 1]))
    lastOutOfOrder = fileSpecEntries;
  fileSpecEntries++;
  brix_FileListGeneration++;
  brix_FileList = fileSpecTable;
  brix_FileListEntries = fileSpecEntries;
  if (uint64_t(fileSpecEntries) > 4294967295ull) {
    brix_Log(BRIX_MSG_ERROR,
             "*** %s: fatal error - too many objects found starting with %s - number of objects in archive cannot exceed 2^32-1\n",
             fn, fileName);
    brix_SetExitCode(78);
    return -1;
  }
  return 0;
}

void brix_ResetDirLevel(void) {
  dirRecursionLevel = 0;
  currentDir[0] = '\0';
  currentDirLen = 0;
}

int brix_ExpandLocalPath(const char* pathName, char* retBuf, size_t retBufsize) {
  static const char* fn = "brix_ExpandLocalPath";
  if (retBufsize == 0) return -1;
  retBuf[0] = '\0';
  std::string result;
  if (pathName[0] != '~') {
    result = pathName;
  } else if (pathName[1] == '\0' || pathName[1] == '/') {
    if (!ownHome) {
      struct passwd pw;
      struct passwd* found = nullptr;
      std::vector<char> buf(16384);
      int e = getpwuid_r(getuid(), &pw, buf.data(), buf.size(), &found);
      if (e != 0 || !found) {
        brix_Log(BRIX_MSG_ERROR, "%s: error %d getting home directory for UID %d\n", fn,
                 e ? e : ENOENT, int(getuid()));
        return -1;
      }
      ownHome = strdup(pw.pw_dir);
      if (!ownHome) {
        brix_SetExitCode(78);
        return -1;
      }
    }
    result = std::string(ownHome) + "/" + (pathName + 1);
  } else {
    const char* slash = strchr(pathName, '/');
    std::string user = slash ? std::string(pathName + 1, size_t(slash - pathName - 1))
                             : std::string(pathName + 1);
    if (user != lastUser || lastUserHome.empty()) {
      struct passwd pw;
      struct passwd* found = nullptr;
      std::vector<char> buf(16384);
      int e = getpwnam_r(user.c_str(), &pw, buf.data(), buf.size(), &found);
      if (e != 0 || !found) {
        brix_Log(BRIX_MSG_ERROR, "%s: error %d getting home directory for user '%s'\n", fn,
                 e ? e : ENOENT, user.c_str());
        brix_SetExitCode(71);
        return -1;
      }
      lastUser = user;
      lastUserHome = pw.pw_dir;
    }
    result = lastUserHome + (slash ? slash : "");
  }
  if (result.size() + 1 > retBufsize) {
    brix_Log(BRIX_MSG_ERROR, "%s: expansion of '%s' is too long\n", fn, pathName);
    brix_SetExitCode(64);
    return -1;
  }
  memcpy(retBuf, result.c_str(), result.size() + 1);
  return 0;
}

int brix_ExpandQUORPath(const char* pathName, char* retBuf, size_t retBufsize) {
  static const char* fn = "brix_ExpandQUORPath";
  if (pathName[0] != '~') {
    brix_strlcpy(retBuf, pathName, retBufsize);
    return 0;
  }
  if (pathName[1] == '\0' || pathName[1] == '/') {
    char cwd[1025] = "";
    if (brix_Getcwd(BRIX_QUOR_FILE, cwd, sizeof cwd) != 0) {
      brix_Log(BRIX_MSG_ERROR, "%s: unable to obtain current working directory\n", fn);
      brix_SetExitCode(71);
      return -1;
    }
    std::string r = std::string(cwd) + (pathName + 1);
    if (r.size() + 1 > retBufsize) {
      brix_Log(BRIX_MSG_ERROR, "%s: buffer overflow error detected trying to expand archive path for '~%s'\n",
               fn, "");
      brix_SetExitCode(64);
      return -2;
    }
    memcpy(retBuf, r.c_str(), r.size() + 1);
    return 0;
  }
  const char* slash = strchr(pathName, '/');
  std::string principal = slash ? std::string(pathName + 1, size_t(slash - pathName - 1))
                                : std::string(pathName + 1);
  if (principal.size() > 129) principal.resize(129);
  char* home = quor_LookupHomeDir(principal.c_str());
  if (!home) {
    brix_Log(BRIX_MSG_ERROR, "%s: unable to obtain home directory name for QUOR principal '%s'\n", fn,
             principal.c_str());
    brix_SetExitCode(71);
    return -2;
  }
  std::string r = std::string(home) + (slash ? slash : "");
  free(home);
  if (r.size() + 1 > retBufsize) {
    brix_Log(BRIX_MSG_ERROR, "%s: buffer overflow error detected trying to expand archive path for '~%s'\n",
             fn, principal.c_str());
    brix_SetExitCode(64);
    return -2;
  }
  memcpy(retBuf, r.c_str(), r.size() + 1);
  return 0;
}

int brix_GenFilesFromListfile(void) {
  const char* name = brix_input_list_name;
  bool isStdin = strcmp(name, "-") == 0;
  // A FIFO nobody opens or writes holds the run here: a forced shutdown
  // cuts the wait short.
  FILE* f = stdin;
  if (!isStdin) {
    brix_BlockingCall mark;
    f = fopen(name, "re");
  }
  if (!f) {
    if (!brix_shutdown_signalled)
      brix_Log(BRIX_MSG_ERROR, "Cannot open file specified by -L option: %s\n", name);
    brix_SetExitCode(72);
    return -1;
  }
  char line[4097];
  int rc = 0;
  for (;;) {
    char* got;
    {
      brix_BlockingCall mark;
      got = fgets(line, sizeof line, f);
    }
    if (!got) break;
    size_t n = strlen(line);
    while (n > 0 && trimmable(static_cast<unsigned char>(line[n - 1]))) line[--n] = '\0';
    const char* p = line;
    while (*p && trimmable(static_cast<unsigned char>(*p))) p++;
    if (!*p) continue;
    char* empty = localOperation ? nullptr : strdup("");
    if (takeName(p, empty) != 0) {
      rc = -1;
      break;
    }
  }
  if (rc == 0 && ferror(f) && brix_shutdown_signalled) {
    brix_SetExitCode(72);
    rc = -1;
  }
  if (!isStdin) fclose(f);
  return rc;
}

int brix_GenFilelist(void) {
  brix_SetProgramPhase(BTP_GEN_FILELIST);
  recurseFlag = !(brix_option_flags & BRIX_OPT_NORECURSE);
  localOperation = isLocalOperation(brix_function);
  genlistStartTime = time(nullptr);
  int rc = 0;
  if (brix_input_list_name && brix_GenFilesFromListfile() != 0) rc = -1;
  for (int i = brix_optind; rc == 0 && i < brix_argc; i++) {
    const char* arg = brix_argv[i];
    if (strncmp(arg, "-L", 2) == 0) {
      const char* file = arg[2] ? arg + 2 : (i + 1 < brix_argc ? brix_argv[++i] : nullptr);
      if (!file) {
        brix_Log(BRIX_MSG_ERROR, "Missing argument for -L option\n");
        rc = -1;
        break;
      }
      free(brix_input_list_name);
      brix_input_list_name = strdup(file);
      if (!brix_input_list_name || brix_GenFilesFromListfile() != 0) rc = -1;
      continue;
    }
    if (strncmp(arg, "-C", 2) == 0) {
      const char* dir = arg[2] ? arg + 2 : (i + 1 < brix_argc ? brix_argv[++i] : nullptr);
      if (!dir) {
        brix_Log(BRIX_MSG_ERROR, "Missing argument for -C option\n");
        brix_SetExitCode(64);
        rc = -1;
        break;
      }
      char expanded[BRIX_MAX_PATH + 1] = "";
      if (brix_ExpandLocalPath(dir, expanded, sizeof expanded) != 0) expanded[0] = '\0';
      if (chdir(expanded) != 0) {
        brix_Log(BRIX_MSG_ERROR, "Fatal error changing to directory %s\n", dir);
        brix_SetExitCode(72);
        rc = -1;
      }
      continue;
    }
    if (takeName(arg, nullptr) != 0) rc = -1;
  }
  brix_FileList = fileSpecTable;
  brix_FileListEntries = fileSpecEntries;
  if (toolargeCount != 0) {
    brix_Log(BRIX_MSG_ERROR, "%d oversize member files found - please correct and retry",
             int(toolargeCount));
    brix_SetExitCode(72);
    return -1;
  }
  return rc;
}

void brix_DumpFileSpecList(void) {
  static const char* const types[] = {"UNKNOWN", "FILE", "DIRECTORY", "HARD LINK", "SYMLINK"};
  fprintf(stderr, "%ld object entries in File Spec table. Current allocated table size: %ldentries\n",
          long(fileSpecEntries), long(fileSpecTableSize));
  for (int64_t i = 0; i < fileSpecEntries; i++) {
    const brix_FileSpec_t& f = fileSpecTable[i];
    char ct[32] = "", mt[32] = "";
    time_t c = time_t(f.ctime), m = time_t(f.mtime);
    ctime_r(&c, ct);
    ctime_r(&m, mt);
    fprintf(stderr, "Index %d  Filename %s\n", int(i), f.filename);
    fprintf(stderr, "  Index Ordinal.. %ld\n", long(f.indexOrd));
    fprintf(stderr, "  Object type.....%s\n", f.objectType <= 4 ? types[f.objectType] : "UNKNOWN");
    fprintf(stderr, "  Annotation..... %s\n", f.annotation ? f.annotation : "");
    fprintf(stderr, "  Version........ %d\n", int(f.version));
    fprintf(stderr, "  Size........... %lu\n", (unsigned long)f.size);
    fprintf(stderr, "  Mode...........(octal)0%o\n", f.mode);
    fprintf(stderr, "  Ctime.......... %s", ct);
    fprintf(stderr, "  Mtime.......... %s", mt);
    fprintf(stderr, "  Uid............ %lu\n", (unsigned long)f.uid);
    fprintf(stderr, "  Gid............ %lu\n", (unsigned long)f.gid);
    fprintf(stderr, "  Link count..... %lu\n", (unsigned long)f.nlink);
  }
  fflush(stderr);
}
