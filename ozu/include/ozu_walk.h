// Directory walkers of the recursive commands: a directory's entries go to
// the entry callback; with recursion its subdirectories follow (a negative
// subdirectory callback skips one); the end callback runs once the
// directory and all below it are done. 0, or -1 when an error was counted.
// Every walker stops when the command is interrupted.
#ifndef OZU_WALK_H
#define OZU_WALK_H

#include <dirent.h>
#include <sys/stat.h>

#include "quor_types.h"

typedef int (*quordir_ent_func_t)(ns_DirEntry_t *entry, int isdir, const char *dirPath,
                                  const char *fullPath);
typedef int (*quordir_subdir_func_t)(const char *name, const char *fullPath, ns_DirEntry_t *entry);
typedef int (*localdir_ent_func_t)(struct dirent64 *entry, struct stat64 *st, int isdir,
                                   const char *dirPath, const char *fullPath);
typedef int (*remotedir_ent_func_t)(struct stat64 *st, int isdir, const char *dirPath,
                                    const char *fullPath);
typedef int (*statdir_subdir_func_t)(const char *name, const char *fullPath, struct stat64 *st);
typedef void (*dir_enddir_func_t)(const char *dirPath);

int readQUORdir(const char *path, int recurse, quordir_ent_func_t entCallback,
                quordir_subdir_func_t subdirCallback, dir_enddir_func_t enddirCallback);
int readLocalDir(const char *path, int recurse, localdir_ent_func_t entCallback,
                 statdir_subdir_func_t subdirCallback, dir_enddir_func_t enddirCallback);
// A directory of the gateway's own file system (local run mode), through
// the lfx calls; like readLocalDir, the directory stays open while its
// subdirectories are walked.
int readRemoteDir(const char *path, int recurse, remotedir_ent_func_t entCallback,
                  statdir_subdir_func_t subdirCallback, dir_enddir_func_t enddirCallback);

#endif
