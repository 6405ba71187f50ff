// Typed paths to real ones, and the ten working directories per connection.
#ifndef OZU_PATHS_H
#define OZU_PATHS_H

#include <string>

struct Keyset;

// Storage path of a command: drive prefix (switches the connection), N',
// "-", ~, ~user, dot forms. 0, or -1 after a message with the previous
// connection restored (-86 for a path that does not fit pathOut or the
// 1024-character working-directory form; a trailing "/" on a symbolic link
// yields what it points to).
int ozu_ExpandQUORPath(const char *pathIn, char *pathOut, int size);
// 0 no expansion (rbuf empty), 1 expanded into rbuf, -1 (or -86 for a
// result that does not fit rbuf) after a message.
int expandQUORpath(const char *name, char *rbuf, int rsize);
int expandWorkerPath(const char *name, char *rbuf, int rsize);
// Expands every string of a null-terminated list of allocated strings.
int expandUPaths(char **pths, int colallowed, int which);
// Absolute storage path of Path against slot Dirn; RetPath holds 4097.
char *makeQUORpath_r(int Dirn, const char *Path, char *RetPath);
// The same into one static buffer (command thread only).
char *makeQUORpath(int dirn, const char *path);
const char *getcwdQUOR(int which);
// Sets slot which of keyp's connection; with cdFlag and slot 0 it moves the
// gateway's working directory first. 0, -1 or the storage error.
int setcwdQUOR(struct Keyset *keyp, int which, const char *newpath, int cdFlag);
// The local working directory, new string or null.
char *ozu_GetCwd(void);
// What the link at linkPath points to: an absolute text as it is, a
// relative one against the link's own directory.
std::string ozu_LinkTarget(const char *linkPath, const char *linkText);

#endif
