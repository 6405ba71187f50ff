// The predicates of find, kept apart for its tests.
#ifndef OZU_NS_FIND_H
#define OZU_NS_FIND_H

#include <stdint.h>

#include <string>
#include <vector>

#include "quor_types.h"

typedef enum findKW {
  KW_NAME = 0, KW_COSID = 1, KW_PERM = 2, KW_PRUNE = 3, KW_TYPE = 4, KW_USER = 5,
  KW_NOUSER = 6, KW_GROUP = 7, KW_NOGROUP = 8, KW_SIZE = 9, KW_ATIME = 10, KW_MTIME = 11,
  KW_CTIME = 12, KW_PRINT = 13, KW_LS = 14, KW_NEWER = 15, KW_DEPTH = 16,
} findKW;

typedef enum findVT {
  KV_NONE = 0, KV_INT = 1, KV_OCTAL = 2, KV_STRING = 3, KV_TIME_T = 4, KV_UNSIGNED64 = 5,
  KV_OTHER = 6,
} findVT;

typedef struct predicate {
  findKW kwtype;
  findVT kwvtype;
  uint32_t flags;  // 1 exact, 2 greater ("+n"), 4 less ("-n")
  union {
    int64_t i;
    uint64_t u;
    const char *s;  // into the command's words
    int64_t t;
  } kwval;
} predicate;

// Builds the predicates from the words (paths first) as of time when:
// 0 with the paths, or -1 after the message (exit result 64).
int findParse(int argc, char **argv, int64_t when, std::vector<std::string> *paths);
// 0 when every predicate holds for the entry; *printed once -ls wrote it.
int testPredicates(ns_DirEntry_t *entry, const char *fullpath, int *printed);

#endif
