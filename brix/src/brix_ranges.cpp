// Ranges of back-to-back index entries, the archive-bounds test of an
// entry, and the member path as extraction restores it.
#include <stdlib.h>
#include <string.h>

#include "brix_extract.h"

int brix_AddIxListEntry(ix_List_t* list, const bif_entry_t* entry, uint64_t entryNumber,
                        uint64_t fsOrd) {
  uint64_t first = entry->bent_offset;
  uint64_t blocks = entry->bent_blocks;
  ix_ListEntry_t* t = list->tail;
  if (t && entryNumber <= t->ixEnd) {
    brix_Log(BRIX_MSG_ERROR, "%s: fatal internal error adding index entry.\n", "brix_AddIxListEntry");
    brix_Log(BRIX_MSG_ERROR, "     Attempted to add entry %ld; previous end of list=%ld\n", long(entryNumber),
             long(t->ixEnd));
    return -1;
  }
  if (t && entryNumber == t->ixEnd + 1 && first == t->ixEndBlock) {
    t->ixEndBlock += blocks;
    t->ixEnd++;
    t->ixCount++;
    if (brix_debug_level >= 4)
      fprintf(stderr, "/debug/extending ixListTail range to entries %ld-%ld, block range=%lu- %lu\n",
              long(t->ixStart), long(t->ixEnd), (unsigned long)t->ixStartBlock, (unsigned long)t->ixEndBlock);
    return 0;
  }
  auto* r = static_cast<ix_ListEntry_t*>(BRIX_MALLOC(sizeof(ix_ListEntry_t)));
  if (!r) return -1;
  r->next = nullptr;
  r->ixStartBlock = first;
  r->ixEndBlock = first + blocks;
  r->ixStart = r->ixEnd = entryNumber;
  r->ixCount = 1;
  r->ixFsOrd = fsOrd;
  if (t) t->next = r;
  else list->head = r;
  list->tail = r;
  list->count++;
  return 0;
}

void brix_FreeIxList(ix_List_t* list) {
  for (ix_ListEntry_t* r = list->head; r;) {
    ix_ListEntry_t* n = r->next;
    free(r);
    r = n;
  }
  list->head = list->tail = nullptr;
  list->count = 0;
}

int brix_MemberInsideArchive(const bif_entry_t* entry, uint64_t archiveSize) {
  uint64_t blocks = archiveSize / 512;
  if (entry->bent_offset > blocks) return 0;
  return uint64_t(entry->bent_blocks) <= blocks - entry->bent_offset;
}

int brix_MemberBlocksFit(const bif_entry_t* entry) {
  return uint64_t(entry->bent_blocks) >= brix_MemberBlocks(entry->bent_type, entry->bent_fsize);
}

int brix_SafeMemberPath(const char* path, char* out, int* hadSlash) {
  *hadSlash = path[0] == '/';
  size_t n = 0;
  const char* p = path;
  while (*p) {
    while (*p == '/') p++;
    if (!*p) break;
    const char* end = strchr(p, '/');
    size_t len = end ? size_t(end - p) : strlen(p);
    if (len == 1 && p[0] == '.') {
      p += len;
      continue;
    }
    if (len == 2 && p[0] == '.' && p[1] == '.') {
      out[0] = '\0';
      return BSP_DOTDOT;
    }
    if (n + 1 + len > BRIX_MAX_PATH) break;  // member paths are far shorter
    if (n) out[n++] = '/';
    memcpy(out + n, p, len);
    n += len;
    p += end ? size_t(end - p) : strlen(p);
  }
  out[n] = '\0';
  return n == 0 ? BSP_EMPTY : BSP_OK;
}
