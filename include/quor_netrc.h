// The .netrc reader: log-in names, passwords and accounts for a gateway,
// from the classic FTP client's file of machine entries.
//
// quor_netrc_scan   reads the file at path and fills *aname, *apass and
//                   (aacct non-null) *aacct with fresh copies from the entry
//                   that q selects, each only when null on entry; a name
//                   already in *aname passes over entries for another login.
//                   Returns 0 when the file was read (whether or not an entry
//                   matched) or does not exist; -1 when it exists but cannot
//                   be opened or read, when others may read a password or an
//                   account in it, when a copy fails and for a malformed
//                   macdef. Every failure writes its reason on standard error.
//                   Filled values stay the caller's to free, also after -1.
//                   -14 for a null path, query, aname or apass.
// quor_netrc_path   "$HOME/.netrc", or "./.netrc" when HOME is unset, into
//                   buf: 0, or -36 when it does not fit.
// quor_netrc_local_domain
//                   this host's name from its first '.' on, or "".
// quor_netrc_canon_name
//                   the canonical name of a host from the resolver: 0, or -1.
// quor_netrc_macro_count, quor_netrc_macro
//                   the macros of macdef entries, kept for the process (at
//                   most 16, bodies in 4096 bytes, each line NUL-terminated).
//                   quor_netrc_macro gives the name and the body of macro i:
//                   0, or -1 for no such macro.
//
// The state behind quorex_ReadNetrc (label, gateway name, macros) is shared
// by the whole process; calls are serialised.
#ifndef QUOR_NETRC_H
#define QUOR_NETRC_H

#include <stddef.h>

#define QUOR_NETRC_LABEL_HOST 1
#define QUOR_NETRC_LABEL_SITE 2
#define QUOR_NETRC_WORD_MAX 99
#define QUOR_NETRC_HOST_MAX 1025
#define QUOR_NETRC_MACROS 16
#define QUOR_NETRC_MACRO_NAME_MAX 9
#define QUOR_NETRC_MACRO_BUF 4096

typedef int (*quor_netrc_canon_fn)(const char* host, char* canon, size_t canonlen);

// Which "machine" entries apply: a word matching the label or the gateway's
// name, either of them written without the local domain, or (host-name
// labels only) a host whose canonical name is the label.
typedef struct quor_netrc_query {
  const char* label;
  int label_type;                  // QUOR_NETRC_LABEL_HOST or _SITE
  const char* gateway;             // the gateway's name from its address
  const char* local_domain;        // ".example.org", or ""
  quor_netrc_canon_fn canon_name;  // null: no resolver rule
} quor_netrc_query_t;

int quor_netrc_scan(const char* path, const quor_netrc_query_t* q, char** aname, char** apass,
                    char** aacct);
int quor_netrc_path(char* buf, size_t buflen);
void quor_netrc_local_domain(char* buf, size_t buflen);
int quor_netrc_canon_name(const char* host, char* canon, size_t canonlen);
int quor_netrc_macro_count(void);
int quor_netrc_macro(int i, const char** name, const char** body, size_t* bodylen);

// ---- for tests only ----
// Forgets the stored macros, so that one process can read many files alike.
void quor_netrc_ResetMacrosForTest(void);

#endif
