// Wildcard expansion of local and storage names into one process-wide
// vector. A command calls ozu_GlobInit, ozu_Glob per argument, globSort,
// works through globv[0 .. globInx - 1], then ozu_GlobCleanup.
#ifndef OZU_GLOB_H
#define OZU_GLOB_H

#include <stdint.h>
#include <time.h>

typedef struct globstruct {
  unsigned statflag : 1;
  unsigned globbed : 1;
  unsigned dir : 1;
  unsigned symlink : 1;
  unsigned res : 4;
  uint32_t uid;
  uint32_t gid;
  char *name;
  time_t mtime, atime;
  uint64_t size;
} globstruct_t;

extern globstruct_t *globv;
extern int globInx;
extern int maxGlobCount;

// The vector at start-up (1000 entries): 0 or -1.
int ozu_GlobAllocate(void);
void ozu_GlobInit(void);
// pathtype 0 local names, 1 storage names. Always 0.
int ozu_Glob(const char *pattern, int colallowed, int pathtype);
int globSort(void);
void ozu_GlobCleanup(void);
// A storage directory argument that must name exactly one object: 0 with
// *resstring new (the caller frees it), -1, or the path expansion's error.
int expandSingleNodeDir(const char *dirstring, char **resstring);
// Every entry of one storage directory, sorted.
void matchAllQUORdir(const char *path);

#endif
