// The keyword language of the keysets: 19 keywords and the working
// directory keywords d, di, dir with an optional digit.
#ifndef OZU_KEYSET_H
#define OZU_KEYSET_H

#include <stdio.h>

#include "ozu_context.h"

typedef struct kwtab_entry {
  int type;
  const char *abbrev;
  const char *keyword;
} kwtab_entry_t;

#define KW_DIR 8
extern const kwtab_entry_t kwtab[];
extern const int kwtabSize;

// The keyword's type, KW_DIR for a working-directory keyword, or -1.
int lookupKW(const char *what);
// Sets one keyword in keyp: 0, or -1 after a message (a working-directory
// change of the session keyset may return its own negative result).
int setKeyword(const char *what, const char *valstr, Keyset *keyp);
int ozu_ListKeyword(const char *what, Keyset *keyp, FILE *f);
int ozu_ListKeyset(FILE *f, Keyset *keyp);
// The callback for ozu_ParseKeyword: 2 not a keyword, 0 set, -1 refused.
int ozu_KeysetOption(char *keyword, char *value);
int keysetOptions(char **optlist);

#endif
