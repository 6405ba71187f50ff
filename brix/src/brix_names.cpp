// Owner and group names of member files from the local databases, each kept
// in a small cache of the most recently added ids; an id without a name is
// kept too, since a tree of such files would otherwise read the database
// once per member.
#include <grp.h>
#include <pwd.h>
#include <stdlib.h>
#include <string.h>

#include <vector>

#include "brix.h"

namespace {

struct nameSlot {
  uint32_t id;
  char* name;  // 33 bytes, at most 31 characters
  bool missing;  // the database has no name for the id
};

struct nameCache {
  nameSlot slots[10];
  int count;
};

nameCache ownerCache;
nameCache groupCache;

// Looks the id up in the cache, then in the database through lookup, which
// fills text (at most 31 characters) and answers whether the id has a name.
template <typename Lookup>
int cachedName(nameCache& cache, uint32_t id, char* buffer, size_t size, Lookup lookup) {
  if (size > 0) buffer[0] = '\0';
  const char* name = nullptr;
  if (cache.count == 0) {
    memset(cache.slots, 0, sizeof cache.slots);
  } else {
    for (int i = 0; i < cache.count; i++)
      if (cache.slots[i].id == id && cache.slots[i].name) {
        if (cache.slots[i].missing) return -1;
        name = cache.slots[i].name;
        break;
      }
  }
  if (!name) {
    char found[32];
    bool missing = !lookup(id, found);
    if (missing) found[0] = '\0';
    char* slotBuf = cache.slots[9].name;
    if (!slotBuf) {
      slotBuf = static_cast<char*>(malloc(33));
      if (!slotBuf) return -1;
    }
    brix_strlcpy(slotBuf, found, 32);
    // Every searched slot moves back one; the last slot's buffer was taken
    // for the new name and is overwritten by the shift when the cache is full.
    for (int i = cache.count; i > 0; i--) cache.slots[i] = cache.slots[i - 1];
    cache.slots[0].id = id;
    cache.slots[0].name = slotBuf;
    cache.slots[0].missing = missing;
    if (cache.count < 9) cache.count++;
    if (missing) return -1;
    name = slotBuf;
  }
  if (size > 0) brix_strlcpy(buffer, name, size);
  return 0;
}

bool lookupUser(uint32_t id, char out[32]) {
  struct passwd pw;
  struct passwd* found = nullptr;
  std::vector<char> buf(16384);
  if (getpwuid_r(uid_t(id), &pw, buf.data(), buf.size(), &found) != 0 || !found) return false;
  brix_strlcpy(out, pw.pw_name, 32);
  return true;
}

bool lookupGroup(uint32_t id, char out[32]) {
  struct group gr;
  struct group* found = nullptr;
  std::vector<char> buf(65536);
  if (getgrgid_r(gid_t(id), &gr, buf.data(), buf.size(), &found) != 0 || !found) return false;
  brix_strlcpy(out, gr.gr_name, 32);
  return true;
}

}  // namespace

int brix_GetOwnerName(uid_t uid, char* buffer, size_t size) {
  return cachedName(ownerCache, uint32_t(uid), buffer, size, lookupUser);
}

int brix_GetGroupName(gid_t gid, char* buffer, size_t size) {
  return cachedName(groupCache, uint32_t(gid), buffer, size, lookupGroup);
}
