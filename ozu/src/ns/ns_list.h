// What the listing family shares with the search and with its tests: the
// option bits the long-format line reads, the line writers, the pieces of
// a line, and the node lists of a directory being listed.
#ifndef OZU_NS_LIST_H
#define OZU_NS_LIST_H

#include <stdint.h>
#include <time.h>

#include <string>
#include <vector>

#include "quor_types.h"

// Option bits of ls (one bit per letter).
enum {
  LS_a = 1 << 0, LS_d = 1 << 1, LS_l = 1 << 2, LS_r = 1 << 3, LS_s = 1 << 4, LS_x = 1 << 5,
  LS_A = 1 << 6, LS_C = 1 << 7, LS_D = 1 << 8, LS_H = 1 << 9, LS_O = 1 << 10, LS_P = 1 << 11,
  LS_R = 1 << 12, LS_S = 1 << 13, LS_T = 1 << 14, LS_U = 1 << 15, LS_V = 1 << 16,
  LS_X = 1 << 17, LS_1 = 1 << 18, LS_L = 1 << 19,
};
#define LS_LONG (LS_l | LS_s | LS_A | LS_D | LS_P | LS_U | LS_V | LS_X | LS_S | LS_T)

typedef enum LS_TIME_DISPLAY_TYPE {
  TIME_LAST_WRITTEN = 0,
  TIME_LAST_READ = 1,
  TIME_CREATED = 2,
  TIME_METADATA_UPDATED = 3,
} LS_TIME_DISPLAY_TYPE;

// The options the line writers obey: those of the running ls, 0 for any
// other command (find -ls writes plain lines whatever ls ran before).
extern int ls_line_opts;
extern LS_TIME_DISPLAY_TYPE lstype_Flag;
extern int ls_P_level;

// Long-format (or, under LS_P, tape-position) line of one object, without
// the final newline; nothing is written when its attributes cannot be read.
void listQUORnode(const char *path);
void list_TapePositionInfo(const char *path, quor_xfileattr_t *xattrs);

// "drwxr-xr-x" style text of an object (10 characters and a NUL).
void ozu_LsModeField(unsigned type, const quor_Attrs_t *attrs, char out[11]);
// The time and name part of a long line, as of now.
std::string ozu_LsTimeField(time_t when, time_t now, int fullDate, const char *name);
// The remembered account text of (connection, account), looking the name
// up when either changed since the previous extended line.
const char *ozu_LsAccountText(int handle, acct_rec_t account, quor_id_t site);
void ozu_LsForgetAccount(void);

// One name of a directory being listed.
typedef struct quorDNode {
  struct quorDNode *next, *prev;
  int mode;           // 0x8000 file or hard link, 0x4000 directory, 0xA000 link, else 0
  uint16_t malloced;  // this node is the start of an allocation of its own
  char *nodename;
} quorDNode;

// Links nodes into one list sorted by name in byte order, equal names in
// the order given: O(n log n) whatever order the names arrived in.
quorDNode *ozu_LinkSortedDNodes(std::vector<quorDNode *> &nodes);
// Frees a list: every name, then every allocation, never reading a node
// after the allocation holding it was freed.
void RealReleasequorDNodes(quorDNode *head);
// Frees a list after display unless the cache holds it.
void ReleasequorDNodes(quorDNode *head);

// The cache of directory listings (15 entries), keyed by the directory and
// whether dot names were read. Consulted and filled only while caching is on.
quorDNode *listCacheLookup(const char *path, int allNames);
void pushListCache(const char *path, int allNames, quorDNode *list);
int listCacheCount(void);

// Placement of n cells in lines of at most k: the cell indexes of each
// line, down the columns (each column n / k cells, the first n % k one
// more) unless across or when fewer than k.
std::vector<std::vector<int>> ozu_ColumnRows(int n, int k, bool across);

#endif
