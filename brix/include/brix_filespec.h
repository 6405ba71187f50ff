// The member list: the table of file specifications an operation builds from
// its command-line names and list files, the wildcard expansion of local
// names and the one-name matcher, and the exclusion rules of a create.
//
// Generation runs on the main thread before any transfer thread exists; its
// state is module-wide. Table entries and their names live until the
// process ends.
#ifndef BRIX_BRIX_FILESPEC_H
#define BRIX_BRIX_FILESPEC_H

#include <stdint.h>
#include <sys/stat.h>

#include "brix.h"

enum BRIX_OBJECT_TYPE : uint32_t {
  BTO_UNKNOWN = 0,
  BTO_FILE = 1,
  BTO_DIRECTORY = 2,
  BTO_HARDLINK = 3,
  BTO_SYMLINK = 4,
  BTO_INDEXEOF = 5,
  BTO_BAD_TYPE = 6,
};

struct brix_FileSpec_t {
  unsigned haveStatInfo : 1;
  unsigned hasWildcards : 1;
  unsigned globbed : 1;
  unsigned excludeFlag : 1;
  unsigned timeOutOfRange : 1;  // mtime before 1970 or past what the index holds
  char* filename;
  uint32_t objectType;
  uint64_t indexOrd;
  char* annotation;
  int32_t version;
  uint64_t size;
  uint32_t mode;  // mode & 07777
  uint64_t ctime;
  uint64_t mtime;
  uint64_t uid;
  uint64_t gid;
  uint64_t nlink;
  uint64_t dev;
  uint64_t ino;
};

// ---- member list generation ----
extern brix_FileSpec_t* brix_FileList;
extern int64_t brix_FileListEntries;
// Changes whenever the table does (an entry added, the table emptied), so
// what is derived from it knows when to derive again.
extern uint64_t brix_FileListGeneration;
constexpr size_t BRIX_MAX_PATH = 4096;

int brix_GenFilelist(void);
int brix_GenFilesFromListfile(void);
// The table takes the name and annotation (heap strings, or null); when the
// entry cannot be added they are freed.
int brix_AddFileSpec(uint32_t objectType, uint64_t indexOrd, char* fileName, char* annotation,
                     int32_t version, const struct stat* status);
void brix_BuildFileSpec(uint32_t objectType, uint64_t indexOrd, char* fileName, char* annotation,
                        int32_t version, const struct stat* status, brix_FileSpec_t* entry);
void brix_ResetDirLevel(void);
void brix_DumpFileSpecList(void);
int brix_ExpandLocalPath(const char* pathName, char* retBuf, size_t retBufsize);
int brix_ExpandQUORPath(const char* pathName, char* retBuf, size_t retBufsize);
// Normalises a name (escapes, repeated and trailing slashes) into a new
// string; NULL when there is no memory.
char* brix_CopyPathname(const char* name);
// Empties the table and frees the names in it (tests; a run builds the
// table once and keeps it).
void brix_ResetFileList(void);

// ---- wildcard expansion ----
struct brix_globstruct_t {
  unsigned statflag : 1;
  unsigned globbed : 1;
  uint32_t object_type;
  char* filename;
  struct stat stat_ent;
};
extern brix_globstruct_t* brix_globv;
extern long brix_glob_inx;

void brix_GlobInit(void);
int brix_Glob(const char* pattern, int pathType);
long brix_GlobSort(void);
// 1 when str matches the shell pattern pat, else 0. Work is bounded: a
// pattern that would take too long to decide does not match.
int brix_Match(const char* str, const char* pat);

// ---- exclusion rules ----
struct brix_exclude_t {
  brix_exclude_t* next;
  brix_exclude_t* prev;
  uint32_t recurseLevel;
  uint32_t recursive;
  uint32_t globType;  // 0 or 1 shell pattern, 2 regular expression
  char* pattern;
  void* compiled;  // the compiled regular expression, made on first use
  int compileFailed;
};

struct brix_exclude_Flist_t {
  uint32_t recurseLevel;
  int32_t count;
  uint32_t recursive;
  uint32_t globType;
  char** excludeFiles;
};

extern brix_exclude_t* brix_ExcPatternsHead;
extern brix_exclude_t* brix_ExcPatternsTail;
extern brix_exclude_Flist_t brix_ExcTagFile;
extern brix_exclude_Flist_t brix_ExcTagUnderFile;
extern brix_exclude_Flist_t brix_ExcTagAllFile;
extern brix_exclude_Flist_t brix_ExcIgnoreFiles;
extern brix_exclude_Flist_t brix_ExcIgnoreRecurseFiles;
extern int brix_ExcCaches, brix_ExcCachesUnder, brix_ExCachesAll;
extern int brix_ExcVcs, brix_ExcVcsIgnores;
extern const char* const VCS_ExcludeAllDirnames[19];
extern const char* const Backup_ExcludePatterns[3];

int brix_ExcludeCheckName(const char* path, int recursionLevel, char* msgBuffer, size_t msgBuflen);
int brix_ExcludeNewDirectory(int recurseLevel, const char* dirPath);
int brix_ExcludeAddPattern(const char* pattern, int isRecursive, int globType, int recursionLevel,
                           brix_exclude_t** head, brix_exclude_t** tail);
int brix_ExcludesAddFromFile(const char* filename, int isRecursive, int globType,
                             int recursionLevel, brix_exclude_t** head, brix_exclude_t** tail);
int brix_ExcludeAddFilename(const char* filename, int recursive, int globType, int recursionLevel,
                            brix_exclude_Flist_t* list);
void brix_ExcludeListLink(brix_exclude_t* entry, brix_exclude_t** head, brix_exclude_t** tail);
void brix_ExcludeListUnlink(brix_exclude_t* entry, brix_exclude_t** head, brix_exclude_t** tail);
// Removes and frees tail records until oldTail is the tail again.
void brix_ExcludePopTo(brix_exclude_t* oldTail);
int checkCacheHeader(const char* cachePathname);
int readGitIgnore(const char* path, int recursionLevel);
int readCvsIgnore(const char* path, int recursionLevel);
int readBzrIgnore(const char* path, int recursionLevel);
int readHgIgnore(const char* path, int recursionLevel);

#endif
