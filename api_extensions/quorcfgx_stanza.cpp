// Stanza file parser, tree release and lookups.
#include "quorcfgx_stanza.h"

#include <ctype.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/stat.h>

#include "quor_match.h"

namespace {

enum parseState { ST_ENTRY, ST_KEY, ST_VALUE };

struct cfgParser {
  void *(*allocFn)(void *, size_t);
  void *allocCtx;
  quor_cfg_stanza_t *head;
  // owner[l] is the compound whose block is level l (l >= 1); last[l] is
  // the newest entry of that level, where the next one is linked.
  quor_cfg_stanza_t *owner[QUOR_CFG_MAX_LEVELS];
  quor_cfg_stanza_t *last[QUOR_CFG_MAX_LEVELS];
  int level;
  parseState state;
  quor_cfg_stanza_t *cur;  // the entry whose '=' or value may still follow
  unsigned long long lineNum;
};

struct fileCloser {
  FILE *fp;
  ~fileCloser()
  {
    if (fp != nullptr)
      fclose(fp);
  }
};

void *plainAlloc(void *, size_t size)
{
  return malloc(size);
}

bool isBlank(char c)
{
  return isspace(static_cast<unsigned char>(c)) != 0;
}

const char *trimEnd(const char *b, const char *e)
{
  while (e > b && isBlank(e[-1]))
    --e;
  return e;
}

char *copyText(cfgParser &ps, const char *b, const char *e)
{
  size_t n = static_cast<size_t>(e - b);
  char *s = static_cast<char *>(ps.allocFn(ps.allocCtx, n + 1));
  if (s != nullptr) {
    memcpy(s, b, n);
    s[n] = '\0';
  }
  return s;
}

// Reads one line, or the next QUOR_CFG_LINE_MAX characters of a longer one,
// without its newline. Returns the length, or -1 at the end of the file.
long readPiece(FILE *fp, char *buf)
{
  size_t n = 0;
  int c = EOF;
  while (n < QUOR_CFG_LINE_MAX) {
    c = getc(fp);
    if (c == EOF || c == '\n')
      break;
    buf[n++] = static_cast<char>(c);
  }
  if (n == QUOR_CFG_LINE_MAX) {
    // A newline right after a full piece belongs to it, not to an empty line.
    c = getc(fp);
    if (c != '\n' && c != EOF)
      ungetc(c, fp);
    c = 0;
  }
  buf[n] = '\0';
  if (n == 0 && c == EOF)
    return -1;
  return static_cast<long>(n);
}

void appendEntry(cfgParser &ps, quor_cfg_stanza_t *e)
{
  int l = ps.level;
  if (ps.last[l] != nullptr)
    ps.last[l]->next = e;
  else if (l == 0)
    ps.head = e;
  else
    ps.owner[l]->substanzaList = e;
  if (l > 0)
    ps.owner[l]->substanzaCount++;
  ps.last[l] = e;
}

int closeLevel(cfgParser &ps)
{
  if (ps.level == 0)
    return QUOR_CFG_ERR_UNBALANCED;
  --ps.level;
  return 0;
}

int openLevel(cfgParser &ps)
{
  if (ps.level >= QUOR_CFG_MAX_LEVELS - 1)
    return QUOR_CFG_ERR_DEPTH;
  ps.cur->type = CFG_COMPOUND_TYPE;
  ++ps.level;
  ps.owner[ps.level] = ps.cur;
  ps.last[ps.level] = nullptr;
  return 0;
}

// A new entry whose key begins at p; the line may be cut at its ';'.
int beginEntry(cfgParser &ps, char **pp)
{
  char *p = *pp;
  char *semi = strchr(p, ';');
  if (semi != nullptr)
    *semi = '\0';
  char *eq = strchr(p, '=');
  if (eq == nullptr && strchr(p, '{') != nullptr)
    return QUOR_CFG_ERR_BRACE;

  quor_cfg_stanza_t *e = static_cast<quor_cfg_stanza_t *>(ps.allocFn(ps.allocCtx, sizeof(quor_cfg_stanza_t)));
  if (e == nullptr)
    return QUOR_CFG_ERR_NOMEM;
  memset(e, 0, sizeof *e);
  e->type = CFG_FLAG_TYPE;
  e->LineNum = static_cast<uint32_t>(ps.lineNum);
  appendEntry(ps, e);
  ps.cur = e;

  const char *keyEnd = eq != nullptr ? eq : p + strlen(p);
  e->KeyString = copyText(ps, p, trimEnd(p, keyEnd));
  if (e->KeyString == nullptr)
    return QUOR_CFG_ERR_NOMEM;
  if (eq == nullptr) {
    ps.state = ST_KEY;
    *pp = p + strlen(p);
  } else {
    ps.state = ST_VALUE;
    *pp = eq + 1;
  }
  return 0;
}

// Parses one line piece; 0 or an error code.
int parseLine(cfgParser &ps, char *line)
{
  char *p = line;
  for (;;) {
    while (*p != '\0' && isBlank(*p))
      ++p;
    if (*p == '\0' || *p == ';' || *p == '#')
      return 0;

    int rc = 0;
    switch (ps.state) {
    case ST_KEY:
      if (*p == '=') {
        ps.state = ST_VALUE;
        ++p;
      } else if (*p == '}') {
        rc = closeLevel(ps);
        ps.state = ST_ENTRY;
        ++p;
      } else if (*p == '{') {
        rc = QUOR_CFG_ERR_BRACE;
      } else {
        ps.state = ST_ENTRY;  // the key stays a flag; p begins the next entry
      }
      break;
    case ST_VALUE:
      if (*p == '{') {
        rc = openLevel(ps);
        ps.state = ST_ENTRY;
        ++p;
      } else {
        char *end = p + strlen(p);
        ps.cur->KeyValue = copyText(ps, p, trimEnd(p, end));
        if (ps.cur->KeyValue == nullptr)
          return QUOR_CFG_ERR_NOMEM;
        ps.cur->type = CFG_SIMPLE_TYPE;
        ps.state = ST_ENTRY;
        return 0;
      }
      break;
    case ST_ENTRY:
      if (*p == '}') {
        rc = closeLevel(ps);
        ++p;
      } else {
        rc = beginEntry(ps, &p);
      }
      break;
    }
    if (rc != 0)
      return rc;
  }
}

}  // namespace

int quorcfgx_CfgParseAlloc(const char *cfgPath, quor_cfg_stanza_t **Head, int *parseErr, int *errLine,
                           void *(*allocFn)(void *allocCtx, size_t size), void *allocCtx)
{
  if (Head == nullptr || parseErr == nullptr || errLine == nullptr)
    return -14;
  *errLine = 0;
  if (cfgPath == nullptr || *cfgPath == '\0') {
    *parseErr = QUOR_CFG_ERR_OPEN;
    return -1;
  }
  fileCloser file{fopen(cfgPath, "re")};
  struct stat st;
  // A directory opens for reading on Linux but yields no lines.
  if (file.fp == nullptr || fstat(fileno(file.fp), &st) != 0 || S_ISDIR(st.st_mode)) {
    *parseErr = QUOR_CFG_ERR_OPEN;
    return -1;
  }

  cfgParser ps{};
  ps.allocFn = allocFn != nullptr ? allocFn : plainAlloc;
  ps.allocCtx = allocCtx;
  ps.state = ST_ENTRY;

  char buf[QUOR_CFG_LINE_MAX + 1];
  int rc = 0;
  while (readPiece(file.fp, buf) >= 0) {
    ++ps.lineNum;
    rc = parseLine(ps, buf);
    if (rc != 0)
      break;
  }
  if (rc == 0 && ferror(file.fp))
    rc = QUOR_CFG_ERR_OPEN;
  if (rc == 0 && ps.level > 0)
    rc = QUOR_CFG_ERR_BRACE;
  *errLine = ps.lineNum > INT_MAX ? INT_MAX : static_cast<int>(ps.lineNum);

  if (rc != 0) {
    quor_CfgFree(ps.head);
    *parseErr = rc;
    return -1;
  }
  *parseErr = 0;
  *Head = ps.head;
  return 0;
}

int quor_CfgParse(const char *cfgPath, quor_cfg_stanza_t **Head, int *parseErr, int *errLine)
{
  return quorcfgx_CfgParseAlloc(cfgPath, Head, parseErr, errLine, nullptr, nullptr);
}

void quor_CfgFree(quor_cfg_stanza_t *Head)
{
  // Iterative: each block is spliced in after its owner, so no depth of
  // nesting can exhaust the stack.
  quor_cfg_stanza_t *p = Head;
  while (p != nullptr) {
    if (p->substanzaList != nullptr) {
      quor_cfg_stanza_t *tail = p->substanzaList;
      while (tail->next != nullptr)
        tail = tail->next;
      tail->next = p->next;
      p->next = p->substanzaList;
      p->substanzaList = nullptr;
    }
    quor_cfg_stanza_t *next = p->next;
    free(p->KeyString);
    free(p->KeyValue);
    free(p->FileName);
    free(p);
    p = next;
  }
}

quor_cfg_stanza_t *quor_CfgFindKey(const char *searchStr, quor_cfg_stanza_t *cfgStart, int caseFlag)
{
  if (searchStr == nullptr)
    return nullptr;
  for (quor_cfg_stanza_t *e = cfgStart; e != nullptr; e = e->next) {
    if (e->KeyString == nullptr)
      continue;
    int cmp = caseFlag != 0 ? strcasecmp(e->KeyString, searchStr) : strcmp(e->KeyString, searchStr);
    if (cmp == 0)
      return e;
  }
  return nullptr;
}

quor_cfg_stanza_t *quorcfgx_LookupHostName(quor_cfg_stanza_t *hostStanzaList, const char *hostName)
{
  if (hostName == nullptr)
    return nullptr;
  char host[QUOR_CFG_HOSTNAME_MAX + 1];
  size_t hostLen = strnlen(hostName, QUOR_CFG_HOSTNAME_MAX);
  memcpy(host, hostName, hostLen);
  host[hostLen] = '\0';

  for (quor_cfg_stanza_t *e = hostStanzaList; e != nullptr; e = e->next) {
    const char *k = e->KeyString;
    if (k == nullptr)
      continue;
    while (*k != '\0') {
      while (*k != '\0' && isBlank(*k))
        ++k;
      if (*k == '\0')
        break;

      // A backslash keeps the next character (a blank too) in the word, and
      // stays there for the matcher to read as an escape.
      char word[QUOR_CFG_PATTERN_MAX + 1];
      size_t n = 0;
      bool tooLong = false;
      const char *start = k;
      while (*k != '\0' && !isBlank(*k)) {
        bool escape = *k == '\\';
        for (int i = 0; i < (escape ? 2 : 1) && *k != '\0'; ++i, ++k) {
          if (n < QUOR_CFG_PATTERN_MAX)
            word[n++] = *k;
          else
            tooLong = true;
        }
      }
      word[n] = '\0';

      int patternError = 0;
      int matched = 0;
      if (tooLong)
        patternError = 1;  // cutting it could make it match more than written
      else
        matched = quorcfgx_PatternMatch(host, word, &patternError);
      if (patternError != 0)
        fprintf(stderr, "Warning: pattern error on string [%.*s] in QUOR.conf file for KeyString=[%s]\n",
                static_cast<int>(k - start), start, e->KeyString);
      if (matched)
        return e;
    }
  }
  return nullptr;
}
