// Writes namespace objects straight into a gwsim store root (GwsimFixture's
// rootDir()), for directories too large to spell out in the Files block.
// The objects have no database rows, so gwsim gives them its defaults from
// the host: owner and mode as written here, disk-resident data.
//
// storeDirName   the name of entry i of a written directory: prefix and i in
//                six digits ("f000042"), so byte order is number order.
// writeStoreDir  makes directory ROOT/PATH (and nothing above it) holding
//                count empty files, owned by uid and gid; the count made,
//                or -errno.
// writeStoreTree makes ROOT/PATH holding dirs directories d0000, d0001 ...
//                each of filesPerDir files; the number of objects made, or
//                -errno.
//
// Example:
//   writeStoreDir(gw.rootDir(), "/big", 100000, "entry", 1001, 100);
//   writeStoreTree(gw.rootDir(), "/tree", 1000, 99, "f", 1001, 100);
#ifndef TESTS_SUPPORT_STORE_TREE_H
#define TESTS_SUPPORT_STORE_TREE_H

#include <sys/types.h>

#include <string>

std::string storeDirName(const std::string& prefix, int i);
long writeStoreDir(const std::string& root, const std::string& path, int count,
                   const std::string& prefix, uid_t uid, gid_t gid);
long writeStoreTree(const std::string& root, const std::string& path, int dirs, int filesPerDir,
                    const std::string& prefix, uid_t uid, gid_t gid);

#endif
