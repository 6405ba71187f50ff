// Word splitting, keyword options, option/object lists and flag words.
#include "ozu_tokens.h"

#include <ctype.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "ozu_context.h"
#include "ozu_log.h"
#include "ozuvars.h"

namespace {

bool isWhite(char c)
{
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

int pushToken(char ***argv, int *argc, char *word)
{
  char **grown = static_cast<char **>(realloc(*argv, sizeof(char *) * size_t(*argc + 2)));
  if (grown == nullptr) {
    fprintf(errFile, "*** ozu_PushToken: malloc error on token [%s]\n", word);
    return -1;
  }
  grown[(*argc)++] = word;
  grown[*argc] = nullptr;
  *argv = grown;
  return 0;
}

int listLength(char **list)
{
  int n = 0;
  while (list && list[n])
    ++n;
  return n;
}

// The first fs_char of s not preceded by a backslash (the first position
// counts as not escaped), or null.
char *unescapedFs(char *s, int fs)
{
  for (char *p = s; *p; ++p) {
    if (*p == '\\' && p[1]) {
      ++p;
      continue;
    }
    if (*p == fs)
      return p;
  }
  return nullptr;
}

}  // namespace

char **ozu_MakeArgv(char *string, int *argc)
{
  char **argv = nullptr;
  *argc = 0;
  if (string == nullptr)
    return nullptr;
  char *p = string;
  char carriedQuote = 0;  // a quote that ended the previous word opens this one
  for (;;) {
    char quote = carriedQuote;
    carriedQuote = 0;
    bool escaped = false;
    if (!quote) {
      while (isWhite(*p))
        ++p;
      if (*p == '\0')
        break;
      if (*p == '"' || *p == '\'') {
        quote = *p++;
      } else if (*p == '\\') {
        escaped = true;
        ++p;
      }
    }
    char *word = escaped ? p - 1 : p;
    // An empty pair of quotes closes at once: an empty word.
    while (*p != '\0') {
      if (escaped) {
        escaped = false;
      } else if (*p == '\\') {
        escaped = true;
      } else if (quote) {
        if (*p == quote)
          break;
      } else if (*p == '"' || *p == '\'' || isWhite(*p)) {
        break;
      }
      ++p;
    }
    char ender = *p;
    *p = '\0';
    if (pushToken(&argv, argc, word) < 0) {
      free(argv);
      *argc = 0;
      return nullptr;
    }
    if (ender == '\0')
      break;
    if (!quote && (ender == '"' || ender == '\''))
      carriedQuote = ender;
    ++p;
  }
  return argv;
}

void ozu_FreeArgv(char **argv) { free(argv); }

int ozu_ParseKeyword(int argc, char **argv, int indexIn, ozu_keyword_func_t procFunction,
                     int *indexOut)
{
  int n = argc - indexIn;
  *indexOut = indexIn;
  if (n < 1 || argv[indexIn] == nullptr)
    return 1;
  char *kw = argv[indexIn];
  if (n > 1 && argv[indexIn + 1][0] == '=') {
    if (argv[indexIn + 1][1] != '\0') {
      *indexOut = indexIn + 2;
      return procFunction(kw, argv[indexIn + 1] + 1);
    }
    if (n > 2) {
      *indexOut = indexIn + 3;
      return procFunction(kw, argv[indexIn + 2]);
    }
    return -2;
  }
  char *eq = strchr(kw, '=');
  if (eq == nullptr || eq == kw || eq[-1] == '\\')
    return 1;
  *eq = '\0';
  int rc;
  if (eq[1] != '\0') {
    *indexOut = indexIn + 1;
    rc = procFunction(kw, eq + 1);
  } else if (n > 1) {
    *indexOut = indexIn + 2;
    rc = procFunction(kw, argv[indexIn + 1]);
  } else {
    *indexOut = indexIn + 1;
    rc = -2;
  }
  *eq = '=';
  return rc;
}

char *getOZUopt(char **optptr, int *optlen, int *sep)
{
  char *p = *optptr;
  while (isWhite(*p))
    ++p;
  if (*p == '\0') {
    *optptr = p;
    *optlen = 0;
    *sep = 0;
    return p;
  }
  char *start;
  int len = 0;
  if (*p == '"' || *p == '\'') {
    char q = *p++;
    start = p;
    while (*p && *p != q) {
      if (*p == '\\' && p[1]) {
        p += 2;
        len += 2;
        continue;
      }
      ++p;
      ++len;
    }
    if (*p == q)
      ++p;
  } else {
    start = p;
    while (*p && !isWhite(*p) && *p != '=') {
      if (*p == '\\' && p[1]) {
        p += 2;
        len += 2;
        continue;
      }
      ++p;
      ++len;
    }
  }
  while (isWhite(*p))
    ++p;
  *optptr = start;
  *optlen = len;
  *sep = static_cast<unsigned char>(*p);
  return p;
}

char *getOZUoptval(char **optptr, char *to, int *len)
{
  char *p = *optptr;
  while (isWhite(*p))
    ++p;
  int count = 0;
  if (*p == '\0') {
    *len = 0;
    if (to)
      *to = '\0';
    return p;
  }
  if (*p == '"' || *p == '\'') {
    char q = *p++;
    if (to)
      *optptr = p;
    while (*p && *p != q) {
      if (*p == '\\' && p[1])
        ++p;
      if (to)
        to[count] = *p;
      ++count;
      ++p;
    }
    if (*p == q)
      ++p;
  } else {
    int level = 0;
    while (*p) {
      if (*p == '\\' && p[1]) {
        ++p;
      } else if (*p == '(') {
        ++level;
      } else if (*p == ')') {
        if (to)
          to[count] = *p;
        ++count;
        ++p;
        if (level > 0)
          --level;
        if (level == 0)
          break;
        continue;
      } else if (isWhite(*p) && level == 0) {
        ++p;
        break;
      }
      if (to)
        to[count] = *p;
      ++count;
      ++p;
    }
  }
  if (to)
    to[count] = '\0';
  *len = count + 1;
  return p;
}

int ozu_PushObj(char ***strarray, char *listItem)
{
  int n = listLength(*strarray);
  char **grown = static_cast<char **>(realloc(*strarray, sizeof(char *) * size_t(n + 2)));
  if (grown == nullptr) {
    ozu_MallocError(long(sizeof(char *) * size_t(n + 2)), "ozu_PushObj", __FILE__, __LINE__);
    fprintf(errFile, "(ozu_PushObj: realloc error on pointer to <%s>)\n", listItem);
    return -1;
  }
  grown[n] = listItem;
  grown[n + 1] = nullptr;
  *strarray = grown;
  return 0;
}

void ozuFreeStringList(char **strarray)
{
  if (strarray == nullptr)
    return;
  for (int i = listLength(strarray) - 1; i >= 0; --i) {
    if (debug > 1)
      fprintf(errFile, "ozuFreeStringList: freeing entry[%d] = [%s]\n", i, strarray[i]);
    free(strarray[i]);
  }
  free(strarray);
}

int ozuparse(char *cmdc, char ***options, char ***objects)
{
  char **opts = static_cast<char **>(calloc(1, sizeof(char *)));
  char **objs = static_cast<char **>(calloc(1, sizeof(char *)));
  *options = nullptr;
  *objects = nullptr;
  if (opts == nullptr || objs == nullptr) {
    free(opts);
    free(objs);
    fprintf(errFile, "ozuparse: out of memory allocating array pointers\n");
    return -1;
  }
  const int fs = keyset ? keyset->fs_char : ':';
  int result = 0;
  char *pos = cmdc ? cmdc : const_cast<char *>("");
  for (;;) {
    char *name = pos;
    int nlen = 0, sep = 0;
    char *at = getOZUopt(&name, &nlen, &sep);
    if (debug > 1)
      fprintf(errFile, "...getOZUopt returned nxtlen=%d sep='%c', [%*.*s]\n", nlen,
              sep ? sep : ' ', nlen, nlen, name);
    if (nlen == 0)
      break;
    if (sep == '=') {
      char *vstart = at + 1;
      int vlen = 0;
      char *scan = vstart;
      getOZUoptval(&scan, nullptr, &vlen);
      if (vlen == 0) {
        fprintf(errFile, "Warning: missing <value> for option %s\n", name);
        break;
      }
      std::string opt(name, size_t(nlen));
      std::string val(size_t(vlen), '\0');
      char *copyFrom = vstart;
      pos = getOZUoptval(&copyFrom, val.data(), &vlen);
      opt += '=';
      opt += val.c_str();
      char *s = strdup(opt.c_str());
      if (s == nullptr) {
        fprintf(errFile, "(ozuparse: malloc error for opt=value pair)/n");
        result = -1;
        break;
      }
      if (ozu_PushObj(&opts, s) < 0) {
        free(s);
        fprintf(errFile, "(ozuparse: realloc erron on pointer to %s)\n", opt.c_str());
        result = -1;
        break;
      }
      continue;
    }
    std::string obj(name, size_t(nlen));
    pos = at;
    std::string tmp = obj;
    char *fsp = unescapedFs(tmp.data(), fs);
    bool endsFs = fsp != nullptr && size_t(fsp - tmp.data()) == tmp.size() - 1;
    if (sep == fs || endsFs) {
      char *scan = sep == fs ? at + 1 : at;
      char *sname = scan;
      int slen = 0, ssep = 0;
      char *sat = getOZUopt(&sname, &slen, &ssep);
      if (slen == 0) {
        fprintf(listF, "Warning: missing QUOR pathname following `%s ;'\n", obj.c_str());
        break;
      }
      std::string half(sname, size_t(slen));
      if (ssep == '=') {
        fprintf(listF, "*** Error - '=' separator illegal following `%s'\n", half.c_str());
        result = -1;
        break;
      }
      if (sep == fs && !endsFs)
        obj += char(fs);
      obj += half;
      pos = sat;
      if (debug > 1)
        fprintf(listF, "...glued together local:QUOR path `%s'\n", obj.c_str());
    }
    char *s = strdup(obj.c_str());
    if (s == nullptr) {
      fprintf(errFile, "(ozuparse: malloc error for object name)\n");
      result = -1;
      break;
    }
    if (ozu_PushObj(&objs, s) < 0) {
      free(s);
      fprintf(errFile, "(ozuparse: realloc error on pointer to <%s>)\n", obj.c_str());
      result = -1;
      break;
    }
  }
  if (result < 0) {
    ozuFreeStringList(opts);
    ozuFreeStringList(objs);
    char msg[4200];
    snprintf(msg, sizeof msg, "Error parsing options/objects for `%s'", verb);
    setExitResult(64, msg, 7);
    return -1;
  }
  if (debug > 1) {
    fprintf(errFile, "ozuparse: %d options, %d objects returned\n", listLength(opts),
            listLength(objs));
    for (int i = 0; opts[i]; ++i)
      fprintf(errFile, ".... Options[%d] = [%s]\n", i, opts[i]);
    for (int i = 0; objs[i]; ++i)
      fprintf(errFile, ".... Objects[%d] = [%s]\n", i, objs[i]);
  }
  *options = opts;
  *objects = objs;
  return 0;
}

int ozu_ParseOptions(char **objlist, const Option *optionarray, int *value)
{
  *value = 0;
  int result = 0;
  const int fs = keyset ? keyset->fs_char : ':';
  for (int i = 0; objlist && objlist[i]; ++i) {
    char *w = objlist[i];
    if (w[0] != '-' || w[1] == '\0' || strchr(w, fs) != nullptr)
      continue;
    if (debug > 1)
      fprintf(listF, "ozu_ParseOptions: handling minus-prefixed list option '%s'\n", w);
    for (char *c = w + 1; *c; ++c) {
      const Option *o = optionarray;
      while (o->ch != 0 && o->ch != *c)
        ++o;
      if (o->ch == 0) {
        char msg[64];
        snprintf(msg, sizeof msg, "Unrecognized option: -%c", *c);
        setExitResult(64, msg, 7);
        result = -1;
      } else {
        *value |= o->bit;
      }
    }
    w[0] = '\0';
  }
  return result;
}
