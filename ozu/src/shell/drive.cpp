// Drive letters: prefixes, lookups, assignment and the setdrive command.
#include "ozu_drive.h"

#include <ctype.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "ozu_connect.h"
#include "ozu_context.h"
#include "ozu_dispatch.h"
#include "ozu_tokens.h"
#include "ozu_util.h"
#include "ozurc.h"
#include "ozuvars.h"
#include "shell_commands.h"

int ozu_GetDriveLetter(const char *text)
{
  if (text == nullptr || !isalpha(static_cast<unsigned char>(text[0])) || text[1] != ':')
    return 0;
  return toupper(static_cast<unsigned char>(text[0]));
}

char *ozu_CheckDrivePrefix(char *text, int *drivePrefixLen)
{
  if (ozu_GetDriveLetter(text) == 0) {
    *drivePrefixLen = 0;
    return nullptr;
  }
  *drivePrefixLen = 2;
  return text + 2;
}

ozu_context_t *ozu_LookupContextByDrive(const char *text)
{
  if (text == nullptr || text[0] == '\0')
    return nullptr;
  int want = toupper(static_cast<unsigned char>(text[0]));
  for (ozu_context_t *c = ozu_connectList; c; c = c->next)
    if (c->driveLetter != 0 && toupper(static_cast<unsigned char>(c->driveLetter)) == want)
      return c;
  return nullptr;
}

int ozu_LookupDriveForContext(int handle, char *letter)
{
  ozu_context_t *c = ozu_LookupConnection(handle);
  if (c == nullptr) {
    *letter = 0;
    return -1;
  }
  *letter = char(toupper(static_cast<unsigned char>(c->driveLetter)));
  return 0;
}

char ozu_AssignDriveLetter(void)
{
  bool used[26] = {}, reserved[26] = {};
  auto mark = [](bool *set, int letter) {
    letter = toupper(letter);
    if (letter >= 'A' && letter <= 'Z')
      set[letter - 'A'] = true;
  };
  for (ozu_context_t *c = ozu_connectList; c; c = c->next) {
    mark(used, c->driveLetter);
    mark(reserved, c->driveLetter);
  }
  if (globalDefs.defaultDrive)
    mark(reserved, globalDefs.defaultDrive);
  for (site_connection_t *s = siteList; s; s = s->next)
    if (s->drive)
      mark(reserved, s->drive);
  char chosen = 0;
  for (int i = 0; i < 26 && !chosen; ++i)
    if (!reserved[i])
      chosen = char('A' + i);
  for (int i = 25; i >= 0 && !chosen; --i)
    if (!used[i])
      chosen = char('A' + i);
  if (!chosen) {
    if (debug >= 2)
      fprintf(listF, "/debug/ Unable to find a free drive letter. \n");
    return 0;
  }
  if (debug >= 2)
    fprintf(listF, "ozu_AssignDriveLetter: assigned drive letter '%c'\n", chosen);
  return chosen;
}

int ozu_VerifyDriveLetter(int, const char *, const char *, int) { return 0; }

namespace {

void setDriveUsage(void)
{
  fputs("usage:   setdr[ive] connection|drive newdrive\n"
        "    connection :  connection ID (1-n).\n"
        "    drive      :  current drive letter (a-z, A-Z)\n"
        "    newdrive   :  drive letter to assign (a-z, A-Z)\n"
        "\n"
        "    Trailing colons may optionally be specified in the connection\n"
        "    or drive letters.\n",
        listF);
}

// One letter, optionally followed by ':' and nothing else; 0 otherwise.
int letterForm(const char *w)
{
  if (!isalpha(static_cast<unsigned char>(w[0])))
    return 0;
  if (w[1] == '\0' || (w[1] == ':' && w[2] == '\0'))
    return toupper(static_cast<unsigned char>(w[0]));
  return 0;
}

}  // namespace

int ozu_SetDriveCommand(char *cc, int cclen)
{
  int argc = 0;
  char **argv = ozu_MakeArgv(cc + cclen, &argc);
  int result = -1;
  ozu_context_t *ctx = nullptr;
  if (argc != 2) {
    setDriveUsage();
  } else if (isdigit(static_cast<unsigned char>(argv[0][0]))) {
    char *end = nullptr;
    long id = strtol(argv[0], &end, 10);
    bool ok = end && (*end == '\0' || (*end == ':' && end[1] == '\0')) &&
              !ozu_IntOverflows(argv[0]);
    ctx = ok && id >= 1 ? ozu_LookupConnection(int(id)) : nullptr;
    if (ctx == nullptr)
      fprintf(errFile, "*** bad connection ID: %s. Use \"showcon\" command for current list\n",
              argv[0]);
  } else {
    int d = letterForm(argv[0]);
    if (d == 0) {
      fprintf(errFile, "*** illegal drive letter: %s\n", argv[0]);
    } else {
      char key[2] = {char(d), 0};
      ctx = ozu_LookupContextByDrive(key);
      if (ctx == nullptr)
        fprintf(errFile, "*** Drive %c does not reference an existing connection\n", d);
    }
  }
  if (ctx != nullptr) {
    int nd = letterForm(argv[1]);
    char key[2] = {char(nd), 0};
    if (nd == 0) {
      fprintf(errFile, "*** illegal replacement drive letter: %s\n", argv[1]);
    } else if (ozu_LookupContextByDrive(key) != nullptr) {
      fprintf(errFile, "*** Drive %c is in-use. Use \"showcon\" to see connection list\n", nd);
    } else {
      fprintf(listF, "Connection ID %d: Replaced drive letter '%c' with '%c'\n", ctx->handle,
              ctx->driveLetter, nd);
      ctx->driveLetter = char(nd);
      if (sesskeyset.curContext == ctx && keyset == &cmdkeyset && cmdContext.handle == ctx->handle)
        cmdContext.driveLetter = char(nd);
      result = 0;
    }
  }
  ozu_FreeArgv(argv);
  return result;
}
