#include "store_tree.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

std::string storeDirName(const std::string& prefix, int i) {
  char num[16];
  snprintf(num, sizeof num, "%06d", i);
  return prefix + num;
}

// An existing directory is kept (and given the owner): a tree's top may be
// in the Files block already.
static int makeDir(const std::string& dir, uid_t uid, gid_t gid) {
  if (mkdir(dir.c_str(), 0755) < 0 && errno != EEXIST) return -errno;
  if (chown(dir.c_str(), uid, gid) < 0 && geteuid() == 0) return -errno;
  return 0;
}

long writeStoreDir(const std::string& root, const std::string& path, int count,
                   const std::string& prefix, uid_t uid, gid_t gid) {
  const std::string dir = root + path;
  int rc = makeDir(dir, uid, gid);
  if (rc < 0) return rc;
  for (int i = 0; i < count; i++) {
    int fd = open((dir + "/" + storeDirName(prefix, i)).c_str(),
                  O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) return -errno;
    // Only root may give files away; anyone else's files stay their own.
    int owned = fchown(fd, uid, gid) == 0 || geteuid() != 0;
    int err = errno;
    close(fd);
    if (!owned) return -err;
  }
  return count;
}

long writeStoreTree(const std::string& root, const std::string& path, int dirs, int filesPerDir,
                    const std::string& prefix, uid_t uid, gid_t gid) {
  int rc = makeDir(root + path, uid, gid);
  if (rc < 0) return rc;
  long made = 0;
  for (int d = 0; d < dirs; d++) {
    char name[16];
    snprintf(name, sizeof name, "/d%04d", d);
    long n = writeStoreDir(root, path + name, filesPerDir, prefix, uid, gid);
    if (n < 0) return n;
    made += n + 1;
  }
  return made;
}
