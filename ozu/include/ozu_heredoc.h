// Here-document name lists: names on the input lines up to the marker.
#ifndef OZU_HEREDOC_H
#define OZU_HEREDOC_H

// A caller-owned array of caller-owned names (*tokenCount of them), or null.
char **ozu_GetHDTokenList(const char *marker, int *tokenCount);

#endif
