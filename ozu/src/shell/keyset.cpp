// Keywords of the keysets: lookup, set, show, the per-command option
// callback and option lists.
#include "ozu_keyset.h"

#include <ctype.h>
#include <limits.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>

#include <string>

#include "ozu_connect.h"
#include "ozu_firewall.h"
#include "ozu_glob.h"
#include "ozu_log.h"
#include "ozu_paths.h"
#include "ozu_util.h"
#include "ozurc.h"
#include "ozuvars.h"
#include "quor_api.h"
#include "quor_convert.h"

const kwtab_entry_t kwtab[] = {
    {0, "agentc", "agentcount"}, {1, "ba", "backup"},         {2, "cos", "cosid"},
    {4, "coslist", "coslist"},   {11, "cop", "copies"},       {7, "dcreate", "dcreatemode"},
    {9, "family", "family_id"},  {10, "fcreate", "fcreatemode"}, {12, "ta", "talk"},
    {13, "wait", "wait"},        {15, "pwid", "pwidth"},      {16, "iob", "iobufsize"},
    {16, "pbuf", "pbufsize"},    {19, "lines", "lines"},      {20, "col", "columns"},
    {17, "PS1", "PS1"},          {18, "PS2", "PS2"},          {21, "promptl", "promptlen"},
    {22, "promptd", "promptdirlen"},
};
const int kwtabSize = int(sizeof kwtab / sizeof kwtab[0]);

namespace {

// Leading decimal digits (with a sign) as atoi reads them, clamped to int.
int leadingInt(const char *s)
{
  long long v = strtoll(s, nullptr, 10);
  if (v > INT_MAX)
    return INT_MAX;
  if (v < INT_MIN)
    return INT_MIN;
  return int(v);
}

int refuse(const char *fmt, const char *value, int code = 64)
{
  char msg[4200];
  snprintf(msg, sizeof msg, fmt, value);
  setExitResult(code, msg, 7);
  return -1;
}

int refuseRange(const char *fmt, const char *value, int lo, int hi)
{
  char msg[4200];
  snprintf(msg, sizeof msg, fmt, value, lo, hi);
  setExitResult(64, msg, 7);
  return -1;
}

void debugLine(int level, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
void debugLine(int level, const char *fmt, ...)
{
  if (debug < level || listF == nullptr)
    return;
  va_list ap;
  va_start(ap, fmt);
  vfprintf(listF, fmt, ap);
  va_end(ap);
}

int dirSlot(const char *what)
{
  size_t n = strlen(what);
  if (n > 1 && isdigit(static_cast<unsigned char>(what[n - 1])))
    return what[n - 1] - '0';
  return 0;
}

// The context that owns the tables a per-command copy borrows.
ozu_context_t *realContext(ozu_context_t *ctx)
{
  if (ctx != &cmdContext)
    return ctx;
  ozu_context_t *real = ozu_LookupConnection(ctx->handle);
  return real ? real : ctx;
}

int setDir(int slot, const char *value, Keyset *keyp)
{
  ozu_context_t *ctx = keyp->curContext;
  char *old = ctx->wd[slot];
  short oldFlag = ctx->relflag[slot];
  char *fresh = nullptr;
  if (strcmp(value, "-") == 0) {
    const char *sys = syskeyset.curContext ? syskeyset.curContext->wd[slot] : nullptr;
    if (sys != nullptr && (fresh = strdup(sys)) == nullptr) {
      ozu_MallocError(long(strlen(sys) + 1), "setKeyword", __FILE__, __LINE__);
      return -1;
    }
  } else if (value[0] != '\0') {
    char *res = nullptr;
    int rc = expandSingleNodeDir(value, &res);
    if (rc < 0 || res == nullptr) {
      refuse("*** Error expanding directory string: `%s'", value);
      free(res);
      return rc < 0 ? rc : -1;
    }
    fresh = strdup(makeQUORpath(0, res));
    free(res);
    if (fresh == nullptr) {
      ozu_MallocError(4097, "setKeyword", __FILE__, __LINE__);
      return -1;
    }
  } else if (slot == 0 && keyp == &sesskeyset) {
    // The storage working directory cannot be "no directory".
    return refuse("*** `%s': working directory 0 cannot be cleared", verb);
  }
  ctx->wd[slot] = fresh;
  ctx->relflag[slot] = fresh != nullptr ? 1 : 0;
  if (slot == 0 && keyp == &sesskeyset && fresh != nullptr) {
    std::string path = fresh;
    int rc = setcwdQUOR(keyp, 0, path.c_str(), 1);
    if (rc < 0) {
      if (ctx->wd[0] == fresh)
        free(fresh);
      ctx->wd[0] = old;
      ctx->relflag[0] = oldFlag;
      return rc;
    }
  }
  if (oldFlag && old != nullptr && old != ctx->wd[slot])
    free(old);
  debugLine(1, "[CLIENT] SET dir%d=%s\n", slot, ctx->wd[slot] ? ctx->wd[slot] : "");
  return 0;
}

int setCos(const char *value, Keyset *keyp)
{
  if (strcmp(value, "auto") == 0) {
    keyp->autocosFlag = 1;
    return 0;
  }
  int id = leadingInt(value);
  ozu_context_t *in = keyset && keyset->curContext ? keyset->curContext : keyp->curContext;
  if (in == nullptr || in->curLogin.uid != in->rootUid) {
    cos_list_entry_t *e = ozu_cos_lookupID(id);
    if (e == nullptr) {
      fprintf(listF, "*** Class of Service ID %d is unavailable\n", id);
      return 0;
    }
    if (ozu_cos_access(e) < 0) {
      fprintf(listF, "*** COS %d: Bad ID or not available to user %d, group %d, account %ld\n", id,
              in ? in->curLogin.uid : -1, in ? in->curLogin.gid : -1,
              in ? long(in->curLogin.acctId) : 0L);
      return 0;
    }
  }
  keyp->autocosFlag = 0;
  keyp->cos = id;
  return 0;
}

int setCosList(const char *value, Keyset *keyp)
{
  ozu_context_t *ctx = keyp->curContext;
  if (value[0] == '\0' || strcmp(value, "none") == 0) {
    debugLine(1, "[CLIENT]/debug/disabling use of Named COS List for connection, setting <auto> mode\n");
    free(ctx->namedCosList);
    ctx->namedCosList = nullptr;
    sesskeyset.autocosFlag = 1;
    return 0;
  }
  ozu_context_t *real = realContext(ctx);
  if (real->cosNamedCount < 0) {
    uint32_t count = 0;
    char **lists = nullptr;
    if (quorex_GetNamedCOSLists(&count, &lists) == 0) {
      real->cosNamedCount = int(count);
      real->cosNameLists = lists;
    }
  }
  if (ctx != real) {
    ctx->cosNamedCount = real->cosNamedCount;
    ctx->cosNameLists = real->cosNameLists;
  }
  if (ctx->namedCosList != nullptr && strcmp(ctx->namedCosList, value) == 0) {
    keyp->autocosFlag = 1;
    return 0;
  }
  for (int i = 0; i < real->cosNamedCount; ++i) {
    if (real->cosNameLists[i] == nullptr || strcmp(real->cosNameLists[i], value) != 0)
      continue;
    char *copy = strdup(value);
    if (copy == nullptr) {
      ozu_MallocError(long(strlen(value) + 1), "setKeyword", __FILE__, __LINE__);
      return 0;
    }
    free(ctx->namedCosList);
    ctx->namedCosList = copy;
    debugLine(2, "[CLIENT]SET cos_list=%s\n", copy);
    keyp->autocosFlag = 1;
    return 0;
  }
  return refuse(
      "*** Unknown Named COS List: `%s', Use \"lscos -n\" to get a list of valid list names",
      value);
}

int setPrompt(char **slot, const char *value)
{
  char *copy = strdup(value);
  if (copy == nullptr) {
    setExitResult(78, "*** malloc problem. prompt not changed", 7);
    return -1;
  }
  free(*slot);
  *slot = copy;
  return 0;
}

}  // namespace

int lookupKW(const char *what)
{
  if (what == nullptr || what[0] == '\0')
    return -1;
  if (what[0] == 'd') {
    size_t n = strlen(what);
    if (n > 1 && isdigit(static_cast<unsigned char>(what[n - 1])))
      --n;
    if (n <= 3 && strncmp(what, "dir", n) == 0)
      return KW_DIR;
  }
  size_t wlen = strlen(what);
  for (int i = 0; i < kwtabSize; ++i) {
    size_t alen = strlen(kwtab[i].abbrev);
    if (strncmp(what, kwtab[i].abbrev, alen) != 0)
      continue;
    if (wlen > strlen(kwtab[i].keyword) || strncmp(what, kwtab[i].keyword, wlen) != 0)
      continue;
    return kwtab[i].type;
  }
  return -1;
}

int setKeyword(const char *what, const char *valstr, Keyset *keyp)
{
  int type = lookupKW(what);
  if (type < 0)
    return refuse("*** Unrecognized keyword: `%s'", what);
  ozu_context_t *ctx = keyp->curContext;
  switch (type) {
    case 0:
      if (ozu_IntOverflows(valstr))
        return refuse("*** invalid agent count value: `%s'", valstr);
      keyp->agent_count = strcmp(valstr, "auto") == 0 ? 0 : leadingInt(valstr);
      return 0;
    case 1:
      if (strcmp(valstr, "on") == 0)
        keyp->backup = 1;
      else if (strcmp(valstr, "off") == 0)
        keyp->backup = 0;
      else
        return refuse("Unrecognized BACKUP parameter: `%s'", valstr);
      debugLine(1, "[CLIENT] SET backup=%s\n", valstr);
      return 0;
    case 2:
      return setCos(valstr, keyp);
    case 4:
      return setCosList(valstr, keyp);
    case 7: {
      int m = atooctal(valstr);
      if (m < 0 || m > 01777)
        return refuse("*** invalid directory create mode value: `%s'", valstr);
      ctx->dcreateMode = mode_t(m);
      debugLine(1, "[CLIENT]SET dcreatemode=0%o\n", unsigned(m));
      return 0;
    }
    case KW_DIR:
      return setDir(dirSlot(what), valstr, keyp);
    case 9: {
      int v = leadingInt(valstr);
      if (v < 0 || ozu_IntOverflows(valstr))
        return refuse("*** invalid family ID value: `%s'", valstr);
      ctx->defaultFamilyID = v;
      debugLine(1, "[CLIENT]SET family_id=%d\n", v);
      return 0;
    }
    case 10: {
      int m = atooctal(valstr);
      if (m < 0 || m > 0777)
        return refuse("*** invalid file create mode value: `%s'", valstr);
      ctx->fcreateMode = mode_t(m);
      debugLine(1, "SET fcreatemode=%d\n", m);
      return 0;
    }
    case 11: {
      int v = leadingInt(valstr);
      if (v < 1 || v > 15)
        return refuse("*** invalid copies value: `%s'", valstr);
      keyp->copies = v;
      debugLine(1, "[CLIENT] SET copies=%d\n", v);
      return 0;
    }
    case 12:
      if (strcmp(valstr, "on") == 0)
        keyp->talk = 1;
      else if (strcmp(valstr, "off") == 0)
        keyp->talk = 0;
      else
        return refuse("Unrecognized TALK parameter: `%s'", valstr);
      debugLine(1, "[CLIENT] SET talk=%s\n", valstr);
      return 0;
    case 13:
      debugLine(1, "[CLIENT] SET wait=%d\n", keyp->wait);
      return 0;
    case 15: {
      if (strcmp(valstr, "auto") == 0) {
        keyp->pwidth = 0;
        return 0;
      }
      int v = leadingInt(valstr);
      if (v < 1 || v > 64) {
        char msg[4200];
        snprintf(msg, sizeof msg, "%s: invalid stripe width value. Must be between 1 and %d",
                 valstr, 64);
        setExitResult(64, msg, 7);
        return -1;
      }
      keyp->pwidth = v;
      return 0;
    }
    case 16: {
      if (strcasecmp(valstr, "auto") == 0) {
        keyp->iobufsize = 0;
        return 0;
      }
      int64_t v = atobytes(valstr);
      if (v < 1048576 || v > 33554432)
        return refuseRange("%s: invalid buffer size. Must be between %d and %d", valstr, 1048576,
                           33554432);
      keyp->iobufsize = uint32_t(v);
      return 0;
    }
    case 17:
      return setPrompt(&keyp->PS1, valstr);
    case 18:
      return setPrompt(&keyp->PS2, valstr);
    case 19: {
      int64_t v = atobytes(valstr);
      if (v < 10 || v > 2047)
        return refuseRange("%s: invalid lines/page. Must be between %d and %d", valstr, 10, 2047);
      keyp->lines_per_page = int(v);
      return 0;
    }
    case 20: {
      int64_t v = atobytes(valstr);
      if (v < 1 || v > 2047)
        return refuseRange("%s: invalid columns/line. Must be between %d and %d", valstr, 1,
                           2047);
      keyp->cols_per_line = int(v);
      return 0;
    }
    case 21:
    case 22: {
      int64_t v = atobytes(valstr);
      if (v < 10 || v > 1024)
        return refuseRange("%s: invalid prompt length. Must be between %d and %d", valstr, 10,
                           1024);
      (type == 21 ? globalDefs.promptLen : globalDefs.promptDirLen) = int(v);
      return 0;
    }
    default:
      return refuse("*** Unrecognized keyword: `%s'", what);
  }
}

int ozu_ListKeyword(const char *what, Keyset *keyp, FILE *f)
{
  int type = lookupKW(what);
  ozu_context_t *ctx = keyp->curContext;
  switch (type) {
    case 0:
      if (keyp->agent_count > 0)
        fprintf(f, "agentcount=%d\n", keyp->agent_count);
      else
        fprintf(f, "agentcount=auto\n");
      return 0;
    case 1: fprintf(f, "backup=%s\n", keyp->backup ? "on" : "off"); return 0;
    case 2:
      if (keyp->autocosFlag)
        fprintf(f, "cos=auto\n");
      else
        fprintf(f, "cosid=%d\n", keyp->cos);
      return 0;
    case 4:
      fprintf(f, "coslist = \"%s\"\n", ctx && ctx->namedCosList ? ctx->namedCosList : "");
      return 0;
    case 7: fprintf(f, "dcreatemode=0%o\n", unsigned(ctx ? ctx->dcreateMode : 0)); return 0;
    case KW_DIR: {
      int n = dirSlot(what);
      fprintf(f, "dir%d=%s\n", n, ctx && ctx->wd[n] ? ctx->wd[n] : "");
      return 0;
    }
    case 9: fprintf(f, "family_id=%d\n", ctx ? ctx->defaultFamilyID : 0); return 0;
    case 10: fprintf(f, "fcreatemode=0%o\n", unsigned(ctx ? ctx->fcreateMode : 0)); return 0;
    case 11: fprintf(f, "copies=%d\n", keyp->copies); return 0;
    case 12: fprintf(f, "talk=%s\n", keyp->talk ? "on" : "off"); return 0;
    case 13: fprintf(f, "wait=%d\n", keyp->wait); return 0;
    case 15: fprintf(f, "pwidth=%d\n", keyp->pwidth); return 0;
    case 16:
      if (keyp->iobufsize == 0)
        fprintf(f, "iobufsize=auto\n");
      else
        fprintf(f, "iobufsize=%d\n", int(keyp->iobufsize));
      return 0;
    case 17: fprintf(f, "PS1=\"%s\"\n", keyp->PS1 ? keyp->PS1 : ""); return 0;
    case 18: fprintf(f, "PS2=\"%s\"\n", keyp->PS2 ? keyp->PS2 : ""); return 0;
    case 19: fprintf(f, "lines=%d\n", keyp->lines_per_page); return 0;
    case 20: fprintf(f, "columns=%d\n", keyp->cols_per_line); return 0;
    case 21: fprintf(f, "promptlen=%d\n", globalDefs.promptLen); return 0;
    case 22: fprintf(f, "promptdirlen=%d\n", globalDefs.promptDirLen); return 0;
    default: {
      char msg[4200];
      snprintf(msg, sizeof msg, "*** Unrecognized keyword: `%s'", what);
      setExitResult(64, msg, 4);
      fprintf(f, "%s\n", msg);
      return -1;
    }
  }
}

int ozu_ListKeyset(FILE *f, Keyset *keyp)
{
  ozu_context_t *ctx = keyp->curContext;
  if (keyp->agent_count > 0)
    fprintf(f, "agentcount  = \"%d\"\n", keyp->agent_count);
  else
    fprintf(f, "agentcount  = \"auto\"\n");
  fprintf(f, "backup  = \"%s\"\n", keyp->backup ? "on" : "off");
  fprintf(f, "coslist = \"%s\"\n", ctx && ctx->namedCosList ? ctx->namedCosList : "");
  if (keyp->autocosFlag)
    fprintf(f, "cosid = \"auto\"\n");
  else
    fprintf(f, "cosid = \"%d\"\n", keyp->cos);
  fprintf(f, "talk  = \"%s\"\n", keyp->talk ? "on" : "off");
  fprintf(f, "wait  = \"%d\"\n", keyp->wait);
  fprintf(f, "copies = \"%d\"\n", keyp->copies);
  fprintf(f, "dcreatemode = \"0%o\"\n", unsigned(ctx ? ctx->dcreateMode : 0));
  fprintf(f, "fcreatemode = \"0%o\"\n", unsigned(ctx ? ctx->fcreateMode : 0));
  fprintf(f, "family_id = \"%d\"\n", ctx ? ctx->defaultFamilyID : 0);
  fprintf(f, "lines = \"%d\"\n", keyp->lines_per_page);
  fprintf(f, "columns = \"%d\"\n", keyp->cols_per_line);
  fprintf(f, "hier  = \"%d\"\n", keyp->hier);
  fprintf(f, "pwidth = \"%d\"\n", keyp->pwidth);
  fprintf(f, "iobufsize = \"%d\"\n", int(keyp->iobufsize));
  fprintf(f, "PS1 = \"%s\"\n", keyp->PS1 ? keyp->PS1 : "");
  fprintf(f, "PS2 = \"%s\"\n", keyp->PS2 ? keyp->PS2 : "");
  fprintf(f, "promptlen = \"%d\"\n", globalDefs.promptLen);
  fprintf(f, "promptdirlen = \"%d\"\n", globalDefs.promptDirLen);
  for (int i = 0; i < OZU_NWD; ++i)
    fprintf(f, "dir%d = \"%s\"\n", i, ctx && ctx->wd[i] ? ctx->wd[i] : "");
  fflush(f);
  return 0;
}

int ozu_KeysetOption(char *keyword, char *value)
{
  if (lookupKW(keyword) < 0)
    return 2;
  return setKeyword(keyword, value, keyset) == 0 ? 0 : -1;
}

int keysetOptions(char **optlist)
{
  int result = 0;
  for (int i = 0; optlist && optlist[i]; ++i) {
    char *s = optlist[i];
    if (s[0] == '\0')
      continue;
    char *eq = strchr(s, '=');
    if (eq == nullptr) {
      char msg[4200];
      snprintf(msg, sizeof msg, "*** - internal error in keysetOptions for `%s'", s);
      setExitResult(70, msg, 7);
      result = -1;
      continue;
    }
    *eq = '\0';
    if (setKeyword(s, eq + 1, keyset) == -1)
      result = -1;
    *eq = '=';
  }
  return result;
}
