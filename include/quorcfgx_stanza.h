// Reader of the client's stanza configuration files ("QUOR.conf", the
// expiration-times file): flag lines, key = value lines and key = { ... }
// blocks nested up to ten levels. The parser knows no section names.
//
// quor_CfgParse   builds the tree of a file. 0 with *Head (null for a file
//                 without entries) and *parseErr 0; or -1 with a
//                 QUOR_CFG_ERR_* code in *parseErr, nothing built left
//                 behind and *Head untouched. *errLine is the number of lines
//                 read when it stopped (0 when the file did not open). A null
//                 Head, parseErr or errLine gives -14 and nothing else.
// quor_CfgFree    frees a list with all nested lists and strings, however
//                 deep or long; null does nothing.
// quor_CfgFindKey first entry of one list (never descending) with that key,
//                 ignoring case when caseFlag is non-zero.
// quorcfgx_LookupHostName
//                 first entry whose key holds a blank-separated glob word
//                 matching hostName; bad patterns are warned about on stderr.
#ifndef QUORCFGX_STANZA_H
#define QUORCFGX_STANZA_H

#include <stddef.h>
#include <stdint.h>

typedef enum QUOR_CFG_STANZA_TYPE {
  CFG_FLAG_TYPE = 0,      // a key alone
  CFG_SIMPLE_TYPE = 1,    // key = value
  CFG_COMPOUND_TYPE = 2,  // key = { entries }
} QUOR_CFG_STANZA_TYPE;

typedef struct quor_cfg_stanza {
  struct quor_cfg_stanza *next;
  int level;  // kept 0
  int type;   // QUOR_CFG_STANZA_TYPE
  uint32_t Flags32;
  char *FileName;
  uint32_t LineNum;  // line on which the key begins, from 1
  uint64_t Val64;
  char *KeyString;  // owned, never null in a parsed tree
  char *KeyValue;   // owned, simple entries only
  size_t substanzaCount;
  struct quor_cfg_stanza *substanzaList;
} quor_cfg_stanza_t;

// Error codes of quor_CfgParse.
#define QUOR_CFG_ERR_OPEN (-7000)      // the file cannot be opened or read
#define QUOR_CFG_ERR_NOMEM (-7002)     // no memory for an entry, key or value
#define QUOR_CFG_ERR_DEPTH (-7003)     // a '{' would open an eleventh level
#define QUOR_CFG_ERR_BRACE (-7004)     // misplaced '{', or end of file in a block
#define QUOR_CFG_ERR_UNBALANCED (-7005) // a '}' with no open block

#define QUOR_CFG_LINE_MAX 512      // longer lines are read in pieces of this size
#define QUOR_CFG_MAX_LEVELS 10
#define QUOR_CFG_HOSTNAME_MAX 255  // host names are cut to this length
#define QUOR_CFG_PATTERN_MAX 256   // a longer host pattern word never matches

int quor_CfgParse(const char *cfgPath, quor_cfg_stanza_t **Head, int *parseErr, int *errLine);
void quor_CfgFree(quor_cfg_stanza_t *Head);
quor_cfg_stanza_t *quor_CfgFindKey(const char *searchStr, quor_cfg_stanza_t *cfgStart, int caseFlag);
quor_cfg_stanza_t *quorcfgx_LookupHostName(quor_cfg_stanza_t *hostStanzaList, const char *hostName);

// quor_CfgParse with the allocator of entries and strings supplied; tests use
// it to fail allocations. allocFn must return memory that free() releases.
int quorcfgx_CfgParseAlloc(const char *cfgPath, quor_cfg_stanza_t **Head, int *parseErr, int *errLine,
                           void *(*allocFn)(void *allocCtx, size_t size), void *allocCtx);

#endif
