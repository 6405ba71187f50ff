// The .netrc reader and the label that picks a gateway's entry.
#include "quor_netrc.h"

#include <errno.h>
#include <netdb.h>
#include <openssl/crypto.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <mutex>

#include "quor_api.h"

namespace {

const char kProgram[] = "ruserpass";

std::mutex netrc_lock;
char* netrc_label = nullptr;
int netrc_label_type = 0;
char netrc_hostname[QUOR_NETRC_HOST_MAX + 1];

// Macro storage: only grows, for the life of the process.
struct netrc_macro {
  char name[QUOR_NETRC_MACRO_NAME_MAX + 1];
  size_t start;
  size_t len;
};
netrc_macro macros[QUOR_NETRC_MACROS];
int macnum = 0;
char macbuf[QUOR_NETRC_MACRO_BUF];
size_t macused = 0;

enum netrc_token { T_EOF = 0, T_WORD, T_MACHINE, T_DEFAULT, T_LOGIN, T_PASSWORD, T_ACCOUNT, T_MACDEF };

struct netrc_keyword {
  const char* text;
  int token;
};

const netrc_keyword keywords[] = {
    {"machine", T_MACHINE},   {"default", T_DEFAULT}, {"login", T_LOGIN},   {"password", T_PASSWORD},
    {"passwd", T_PASSWORD},   {"account", T_ACCOUNT}, {"macdef", T_MACDEF},
};

struct file_closer {
  void operator()(FILE* f) const { fclose(f); }
};

struct netrc_reader {
  FILE* f;
  mode_t mode;
  char word[QUOR_NETRC_WORD_MAX + 1];
};

bool is_separator(int c) { return c == ' ' || c == '\t' || c == '\n' || c == ','; }

bool any_permission_for_others(const netrc_reader* r) { return (r->mode & 077) != 0; }

// The next word into r->word, cut to its first 99 characters; T_EOF at the
// end of the file.
int next_word(netrc_reader* r) {
  int c;
  while ((c = getc(r->f)) != EOF && is_separator(c)) {
  }
  if (c == EOF) return T_EOF;
  size_t n = 0;
  auto keep = [&](int ch) {
    if (n < QUOR_NETRC_WORD_MAX) r->word[n++] = char(ch);
  };
  if (c == '"') {
    while ((c = getc(r->f)) != EOF && c != '"') {
      if (c == '\\' && (c = getc(r->f)) == EOF) break;
      keep(c);
    }
  } else {
    for (; c != EOF && !is_separator(c); c = getc(r->f)) {
      if (c == '\\' && (c = getc(r->f)) == EOF) break;
      keep(c);
    }
    // The separator stays: after "macdef" a newline means a missing name.
    if (c != EOF) ungetc(c, r->f);
  }
  r->word[n] = '\0';
  for (const netrc_keyword& k : keywords)
    if (strcmp(k.text, r->word) == 0) return k.token;
  return T_WORD;
}

// name, written as word + "." + the rest, with the rest the local domain.
bool matches_in_local_domain(const char* name, const char* word, const char* domain) {
  const char* dot = name ? strchr(name, '.') : nullptr;
  if (!dot || strcasecmp(dot, domain) != 0) return false;
  size_t n = size_t(dot - name);
  return strlen(word) == n && strncasecmp(name, word, n) == 0;
}

bool machine_matches(const quor_netrc_query_t* q, const char* word) {
  const char* domain = q->local_domain ? q->local_domain : "";
  if (q->label && strcasecmp(word, q->label) == 0) return true;
  if (q->gateway && strcasecmp(word, q->gateway) == 0) return true;
  if (matches_in_local_domain(q->gateway, word, domain)) return true;
  if (q->label_type != QUOR_NETRC_LABEL_HOST || !q->label) return false;
  if (matches_in_local_domain(q->label, word, domain)) return true;
  char canon[QUOR_NETRC_HOST_MAX + 1];
  return q->canon_name && q->canon_name(word, canon, sizeof canon) == 0 &&
         strcasecmp(canon, q->label) == 0;
}

int refuse_readable(const char* what) {
  fprintf(stderr, "Error: .netrc file is readable by others.");
  fprintf(stderr, "Remove %s or make file unreadable by others.", what);
  return -1;
}

// A macdef after its keyword: name, rest of the line, body up to an empty
// line. The macro is kept only when whole.
int read_macro(netrc_reader* r) {
  int c;
  while ((c = getc(r->f)) != EOF && (c == ' ' || c == '\t')) {
  }
  if (c == EOF || c == '\n') {
    fprintf(stderr, "Missing macdef name argument\n");
    return -1;
  }
  if (macnum == QUOR_NETRC_MACROS) {
    fprintf(stderr, "Limit of 16 macros have already been defined.\n");
    return -1;
  }
  netrc_macro m{};
  size_t n = 0;
  m.name[n++] = char(c);
  while (n < QUOR_NETRC_MACRO_NAME_MAX && (c = getc(r->f)) != EOF && c != ' ' && c != '\t' &&
         c != '\n')
    m.name[n++] = char(c);
  if (c == EOF) {
    fprintf(stderr, "Macro name missing null line terminator.\n");
    return -1;
  }
  if (c != '\n') {
    while ((c = getc(r->f)) != EOF && c != '\n') {
    }
    if (c == EOF) {
      fprintf(stderr, "Macro definition missing null line terminator.\n");
      return -1;
    }
  }
  m.start = macused;
  size_t used = macused;
  bool lineStart = true;
  for (;;) {
    c = getc(r->f);
    if (c == EOF) {
      fprintf(stderr, "Macro definition <%s> missing null line terminator.\n", m.name);
      return -1;
    }
    if (c == '\n' && lineStart) break;
    if (used == sizeof macbuf) {
      fprintf(stderr, "4K macro buffer exceeded.\n");
      return -1;
    }
    lineStart = c == '\n';
    macbuf[used++] = lineStart ? '\0' : char(c);
  }
  m.len = used - m.start;
  macros[macnum++] = m;
  macused = used;
  return 0;
}

// The fields of an applying entry. 0 at its end (the scan is over), 1 when
// its login is not the one asked for (the scan goes on), -1 on failure.
int read_entry_fields(netrc_reader* r, char** aname, char** apass, char** aacct) {
  for (;;) {
    int t = next_word(r);
    switch (t) {
      case T_EOF:
      case T_MACHINE:
      case T_DEFAULT:
        return 0;
      case T_LOGIN:
        if (next_word(r) == T_EOF) return 0;
        if (*aname) {
          if (strcmp(*aname, r->word) != 0) return 1;
        } else if (!(*aname = strdup(r->word))) {
          fprintf(stderr, "%s: strdup error setting returned account name '%s'\n", kProgram,
                  r->word);
          return -1;
        }
        break;
      case T_PASSWORD:
        if (any_permission_for_others(r) && (!*aname || strcmp(*aname, "anonymous") != 0))
          return refuse_readable("password");
        if (next_word(r) == T_EOF) return 0;
        if (!*apass && !(*apass = strdup(r->word))) {
          fprintf(stderr, "%s: strdup error for password\n", kProgram);
          return -1;
        }
        break;
      case T_ACCOUNT:
        if (any_permission_for_others(r)) return refuse_readable("account");
        if (next_word(r) == T_EOF) return 0;
        if (aacct && !*aacct && !(*aacct = strdup(r->word))) {
          fprintf(stderr, "%s: strdup error for account '%s'\n", kProgram, r->word);
          return -1;
        }
        break;
      case T_MACDEF:
        if (read_macro(r) != 0) return -1;
        break;
      default:
        fprintf(stderr, "Unknown .netrc keyword %s", r->word);
        break;
    }
  }
}

// read_entry_fields with the password and account held back until the entry
// is known to apply: an entry given up for its login leaves nothing behind.
int read_entry(netrc_reader* r, char** aname, char** apass, char** aacct) {
  char* pass = *apass;
  char* acct = aacct ? *aacct : nullptr;
  int rc = read_entry_fields(r, aname, &pass, aacct ? &acct : nullptr);
  bool keep = rc == 0;
  if (pass != *apass) {
    if (keep) {
      *apass = pass;
    } else {
      OPENSSL_cleanse(pass, strlen(pass));
      free(pass);
    }
  }
  if (aacct && acct != *aacct) {
    if (keep)
      *aacct = acct;
    else
      free(acct);
  }
  return rc;
}

int scan(netrc_reader* r, const quor_netrc_query_t* q, char** aname, char** apass, char** aacct) {
  bool defaultSeen = false;
  for (;;) {
    int t = next_word(r);
    if (t == T_EOF) return 0;
    if (t == T_DEFAULT) {
      defaultSeen = true;
    } else if (t == T_MACHINE) {
      if (next_word(r) != T_WORD) continue;
      if (!defaultSeen && !machine_matches(q, r->word)) continue;
    } else {
      continue;
    }
    int rc = read_entry(r, aname, apass, aacct);
    if (rc != 1) return rc;
  }
}

void wipe_free(char* s) {
  if (!s) return;
  OPENSSL_cleanse(s, strlen(s));
  free(s);
}

}  // namespace

int quor_netrc_path(char* buf, size_t buflen) {
  const char* home = getenv("HOME");
  int n = snprintf(buf, buflen, "%s/.netrc", home ? home : ".");
  return n >= 0 && size_t(n) < buflen ? 0 : -36;
}

void quor_netrc_local_domain(char* buf, size_t buflen) {
  char host[QUOR_NETRC_HOST_MAX + 1] = "";
  if (buflen == 0) return;
  buf[0] = '\0';
  if (gethostname(host, sizeof host - 1) != 0) return;
  const char* dot = strchr(host, '.');
  if (dot) snprintf(buf, buflen, "%s", dot);
}

int quor_netrc_canon_name(const char* host, char* canon, size_t canonlen) {
  struct addrinfo hints;
  memset(&hints, 0, sizeof hints);
  hints.ai_flags = AI_CANONNAME;
  hints.ai_socktype = SOCK_STREAM;
  struct addrinfo* res = nullptr;
  if (getaddrinfo(host, nullptr, &hints, &res) != 0) return -1;
  int rc = -1;
  if (res && res->ai_canonname && strlen(res->ai_canonname) < canonlen) {
    strcpy(canon, res->ai_canonname);
    rc = 0;
  }
  freeaddrinfo(res);
  return rc;
}

namespace {

int scan_file(const char* path, const quor_netrc_query_t* q, char** aname, char** apass,
              char** aacct) {
  std::unique_ptr<FILE, file_closer> f(fopen(path, "r"));
  if (!f) {
    if (errno == ENOENT) return 0;
    fprintf(stderr, "%s: error opening '%s'\n", kProgram, path);
    return -1;
  }
  struct stat st;
  if (fstat(fileno(f.get()), &st) != 0 || S_ISDIR(st.st_mode)) {
    fprintf(stderr, "%s: error opening '%s'\n", kProgram, path);
    return -1;
  }
  netrc_reader r{f.get(), st.st_mode, {}};
  return scan(&r, q, aname, apass, aacct);
}

}  // namespace

int quor_netrc_scan(const char* path, const quor_netrc_query_t* q, char** aname, char** apass,
                    char** aacct) {
  if (!path || !q || !aname || !apass) return -14;
  std::lock_guard<std::mutex> g(netrc_lock);
  return scan_file(path, q, aname, apass, aacct);
}

int quor_netrc_macro_count(void) {
  std::lock_guard<std::mutex> g(netrc_lock);
  return macnum;
}

int quor_netrc_macro(int i, const char** name, const char** body, size_t* bodylen) {
  std::lock_guard<std::mutex> g(netrc_lock);
  if (i < 0 || i >= macnum) return -1;
  if (name) *name = macros[i].name;
  if (body) *body = macbuf + macros[i].start;
  if (bodylen) *bodylen = macros[i].len;
  return 0;
}

void quor_netrc_ResetMacrosForTest(void) {
  std::lock_guard<std::mutex> g(netrc_lock);
  macnum = 0;
  macused = 0;
}

int quorex_SetNetrcLabel(const char* label, int label_type) {
  if (label_type != QUOR_NETRC_LABEL_HOST && label_type != QUOR_NETRC_LABEL_SITE) return -22;
  if (!(quorex_GetAuthMethods() & (QUOR_AUTH_LOCAL | QUOR_AUTH_COMBO))) return -22;
  if (!label) return 0;
  std::lock_guard<std::mutex> g(netrc_lock);
  char* copy = strdup(label);
  free(netrc_label);
  netrc_label = copy;
  netrc_label_type = copy ? label_type : 0;
  return copy ? 0 : -12;
}

int quorex_ReadNetrc(const quor_sockaddr_t* saddrp, char** aname, char** apass) {
  if (!(quorex_GetAuthMethods() & (QUOR_AUTH_LOCAL | QUOR_AUTH_COMBO))) return -22;
  if (!saddrp || !aname || !apass) return -14;
  std::lock_guard<std::mutex> g(netrc_lock);
  int rc = quor_net_getnameinfo(saddrp, netrc_hostname, sizeof netrc_hostname, nullptr, 0, 0,
                                nullptr, 0);
  if (rc != 0) {
    netrc_hostname[0] = '\0';
    return rc < 0 ? rc : -rc;
  }
  if (!netrc_label) {
    if (!(netrc_label = strdup(netrc_hostname))) return -12;
    netrc_label_type = QUOR_NETRC_LABEL_HOST;
  }
  char path[4096];
  if (quor_netrc_path(path, sizeof path) != 0) {
    fprintf(stderr, "%s: error opening '%s/.netrc'\n", kProgram, getenv("HOME"));
    return -1;
  }
  char domain[QUOR_NETRC_HOST_MAX + 1];
  quor_netrc_local_domain(domain, sizeof domain);
  quor_netrc_query_t q = {netrc_label, netrc_label_type, netrc_hostname, domain,
                          quor_netrc_canon_name};
  char* account = nullptr;
  rc = scan_file(path, &q, aname, apass, &account);
  wipe_free(account);
  return rc;
}
