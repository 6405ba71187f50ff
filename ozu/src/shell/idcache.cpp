// User and group names through per-connection caches of 100 entries each,
// least recently used out first.
#include <ctype.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "ozu_context.h"
#include "ozu_login.h"
#include "ozu_util.h"
#include "ozuvars.h"
#include "quor_api.h"

namespace {

struct idList {
  idList *next, *prev;  // sorted by ascending id
  int handle;
  long ref;
  long id;
  char *val;
};

struct idHead {
  idList *cur = nullptr;
  long ref = 0;
  int entries = 0;
  int max = 100;
};

idHead uidList, gidList;

// The connection a lookup belongs to; -1 (any) before a keyset is in force.
int scopeHandle(void)
{
  if (keyset != nullptr && keyset->curContext != nullptr)
    return keyset->curContext->handle;
  return -1;
}

bool inScope(const idList *e, int handle) { return handle < 0 || e->handle == handle; }

long cacheLookupName(idHead &t, const char *name)
{
  int h = scopeHandle();
  for (idList *e = t.cur; e; e = e->prev) {
    if (inScope(e, h) && strcmp(e->val, name) == 0) {
      t.cur = e;
      e->ref = t.ref++;
      if (debug >= 4)
        fprintf(listF, "cacheLookupName: found `%s' in cache\n", name);
      return e->id;
    }
  }
  for (idList *e = t.cur ? t.cur->next : nullptr; e; e = e->next) {
    if (inScope(e, h) && strcmp(e->val, name) == 0) {
      t.cur = e;
      e->ref = t.ref++;
      if (debug >= 4)
        fprintf(listF, "cacheLookupName: found `%s' in cache\n", name);
      return e->id;
    }
  }
  return -1;
}

const char *cacheLookupID(idHead &t, long id)
{
  int h = scopeHandle();
  idList *e = t.cur;
  if (e == nullptr)
    return nullptr;
  if (id >= e->id) {
    while (e && id >= e->id) {
      if (e->id == id && inScope(e, h))
        break;
      e = e->next;
    }
  } else {
    while (e && id <= e->id) {
      if (e->id == id && inScope(e, h))
        break;
      e = e->prev;
    }
  }
  if (e == nullptr || e->id != id || !inScope(e, h))
    return nullptr;
  t.cur = e;
  e->ref = t.ref++;
  if (debug >= 4)
    fprintf(listF, "found uid %ld [%s] in cache\n", id, e->val);
  return e->val;
}

void removeOldest(idHead &t)
{
  idList *first = t.cur;
  while (first && first->prev)
    first = first->prev;
  idList *oldest = first;
  for (idList *e = first; e; e = e->next)
    if (e->ref < oldest->ref)
      oldest = e;
  if (oldest == nullptr)
    return;
  if (debug >= 2)
    fprintf(listF, "cache overflow - removing oldest entry, id=%ld [%s]\n", oldest->id, oldest->val);
  if (oldest->prev)
    oldest->prev->next = oldest->next;
  if (oldest->next)
    oldest->next->prev = oldest->prev;
  if (t.cur == oldest)
    t.cur = oldest->prev ? oldest->prev : oldest->next;
  free(oldest->val);
  free(oldest);
  t.entries--;
}

void cacheAddID(idHead &t, const char *name, long id)
{
  int h = keyset != nullptr && keyset->curContext != nullptr ? keyset->curContext->handle
                                                              : quorex_GetCurConHandle();
  idList *first = t.cur;
  while (first && first->prev)
    first = first->prev;
  for (idList *e = first; e; e = e->next)
    if (e->id == id && e->handle == h)
      return;
  if (t.entries >= t.max)
    removeOldest(t);
  auto *n = static_cast<idList *>(calloc(1, sizeof(idList)));
  if (n == nullptr)
    return;
  n->val = strdup(name);
  if (n->val == nullptr) {
    free(n);
    return;
  }
  n->ref = t.ref++;
  n->handle = h;
  n->id = id;
  if (debug >= 4)
    fprintf(listF, "newIDentry: created new entry for id=%ld [%s]\n", id, name);
  first = t.cur;
  while (first && first->prev)
    first = first->prev;
  idList *after = nullptr;
  for (idList *e = first; e && e->id <= id; e = e->next)
    after = e;
  if (after == nullptr) {
    n->next = first;
    if (first)
      first->prev = n;
  } else {
    n->prev = after;
    n->next = after->next;
    if (after->next)
      after->next->prev = n;
    after->next = n;
  }
  t.cur = n;
  t.entries++;
}

long nameToId(idHead &t, const char *name, namespec_type_t type)
{
  if (name == nullptr || *name == '\0')
    return -1;
  if (ozu_AllDigits(name)) {
    long v = strtol(name, nullptr, 10);
    return v > 0xffffffffL ? -1 : v;
  }
  long hit = cacheLookupName(t, name);
  if (hit >= 0)
    return hit;
  api_namespec_t item;
  memset(&item, 0, sizeof item);
  item.Type = type;
  snprintf(item.Name, sizeof item.Name, "%.127s", name);
  if (quor_ConvertNamesToIds(1, &item) != 0)
    return -1;
  cacheAddID(t, name, long(item.Id));
  return long(item.Id);
}

const char *idToName(idHead &t, long id, namespec_type_t type, const char *fmt)
{
  static char result[129];
  const char *hit = cacheLookupID(t, id);
  if (hit != nullptr) {
    snprintf(result, sizeof result, "%s", hit);
    return result;
  }
  api_namespec_t item;
  memset(&item, 0, sizeof item);
  item.Type = type;
  item.Id = unsigned32(id);
  if (quor_ConvertIdsToNames(1, &item) == 0 && item.Name[0] != '\0')
    snprintf(result, sizeof result, "%.128s", item.Name);
  else
    snprintf(result, sizeof result, fmt, int(id));
  cacheAddID(t, result, id);
  return result;
}

}  // namespace

long lookupUid(const char *name) { return nameToId(uidList, name, NS_NAMESPEC_USER); }
long lookupGid(const char *name) { return nameToId(gidList, name, NS_NAMESPEC_GROUP); }
const char *lookupUname(long id) { return idToName(uidList, id, NS_NAMESPEC_USER, "%.6d"); }
const char *lookupGname(long id) { return idToName(gidList, id, NS_NAMESPEC_GROUP, "%6d"); }

char *lookupHomeDir(const char *who)
{
  return quor_LookupHomeDir(who);
}
