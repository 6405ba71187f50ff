// Splitting a command tail: words (ozu_MakeArgv), keyword options
// (ozu_ParseKeyword), name=value options and objects (ozuparse) and flag
// words (ozu_ParseOptions).
#ifndef OZU_TOKENS_H
#define OZU_TOKENS_H

// Words of string, split in place; a vector ended by a null entry that the
// caller frees with ozu_FreeArgv. Null and *argc 0 when there are none.
// Quotes group and are removed; an empty pair of quotes is an empty word.
char **ozu_MakeArgv(char *string, int *argc);
void ozu_FreeArgv(char **argv);

typedef int (*ozu_keyword_func_t)(char *keyword, char *value);
// One keyword option at word indexIn (kw=v, kw= v, kw =v, kw = v): the
// callback's result with *indexOut past the words used, -2 when the value
// is missing, 1 when the word is no keyword option.
int ozu_ParseKeyword(int argc, char **argv, int indexIn, ozu_keyword_func_t procFunction,
                     int *indexOut);

char *getOZUopt(char **optptr, int *optlen, int *sep);
char *getOZUoptval(char **optptr, char *to, int *len);

// Options (name=value) and objects of a tail, as two new lists freed with
// ozuFreeStringList: 0, or -1 with both lists null after a message.
int ozuparse(char *cmdc, char ***options, char ***objects);
int ozu_PushObj(char ***strarray, char *listItem);
void ozuFreeStringList(char **strarray);

typedef struct Option {
  char ch;
  int bit;
} Option;
// ORs the bits of the "-xyz" objects into *value and empties them.
int ozu_ParseOptions(char **objlist, const Option *optionarray, int *value);

#endif
