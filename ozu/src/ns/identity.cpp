// Identity and filesets: lsfileset, lsjunctions, groups, newgrp, id, whoami.
#include <ctype.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

#include "ns_commands.h"
#include "ozu_cmdframe.h"
#include "ozu_connect.h"
#include "ozu_context.h"
#include "ozu_drive.h"
#include "ozu_errors.h"
#include "ozu_getopt.h"
#include "ozu_log.h"
#include "ozu_login.h"
#include "ozurc.h"
#include "ozuvars.h"
#include "quor_api.h"

namespace {

uint32_t filesetCounter = 0;
bool longListing = false;

ns_FilesetAttrBits_t bits(std::initializer_list<int> list)
{
  ns_FilesetAttrBits_t m = 0;
  for (int b : list)
    m |= ns_FilesetAttrBits_t(1) << b;
  return m;
}
const ns_FilesetAttrBits_t kFilesetLineMask = bits({49, 50, 51, 52, 53, 55, 56, 57, 58, 61, 62});
const ns_FilesetAttrBits_t kJunctionMask = bits({49, 50, 51, 52, 53, 57, 58, 62});

std::string typeName(uint32_t t)
{
  switch (t) {
  case 0: return "QUOR_ONLY";
  case 1: return "ARCHIVED";
  case 2: return "DFS ONLY";
  case 3: return "MIRRORED";
  default: return "? Unknown (type=" + std::to_string(t) + ")\n";
  }
}

void failedList(int rc, const char *routine, const char *call)
{
  // Reported, yet the listing failed: the exit code says so.
  setExitResult(72, quor_perror(rc, routine, call, nullptr), 2);
}

void listFilesetEntry(const char *name, const u_signed64 *filesetId, const quor_srvr_id_t *core)
{
  ns_FilesetAttrs_t fa;
  memset(&fa, 0, sizeof fa);
  int rc = ozu_EioRetry([&] {
    return quor_FilesetGetAttributes(filesetId ? nullptr : name, filesetId, nullptr, core,
                                     kFilesetLineMask, &fa);
  });
  if (rc < 0) {
    fprintf(listF, "*** Error %d getting fileset info for '%s'\n", rc, name);
    return;
  }
  fprintf(listF, "%6d %.*s\n", int(filesetCounter), int(sizeof fa.FilesetName), fa.FilesetName);
  if (!longListing)
    return;
  char state[4] = {(fa.StateFlags & 1) ? 'R' : ' ', (fa.StateFlags & 2) ? 'W' : ' ',
                   (fa.StateFlags & 4) ? 'D' : ' ', '\0'};
  fprintf(listF, "     %s%7d %7d %7d   %s %10llu %9llu %8llu %9llu %8llu\n",
          typeName(fa.FilesetType).c_str(), int(fa.ClassOfService), int(fa.FamilyId),
          int(fa.SubSystemId), state, (unsigned long long)fa.FileCount,
          (unsigned long long)fa.DirectoryCount, (unsigned long long)fa.SymLinkCount,
          (unsigned long long)fa.HardLinkCount, (unsigned long long)fa.JunctionCount);
}

void listAllFilesets()
{
  filesetCounter = 0;
  std::vector<quor_global_fsent_t> table(50);
  u_signed64 offset = 0;
  for (;;) {
    unsigned32 end = 0;
    u_signed64 next = 0;
    int got = ozu_EioRetry(
        [&] { return quor_FilesetListAll(offset, 50, &end, &next, table.data()); });
    if (got < 0) {
      failedList(got, "listAllFilesets", "quor_FilesetListAll");
      return;
    }
    for (int i = 0; i < got && !interrupted; ++i) {
      quor_global_fsent_t &e = table[size_t(i)];
      e.FilesetName[sizeof e.FilesetName - 1] = '\0';
      ++filesetCounter;
      if (longListing) {
        quor_srvr_id_t core = e.CoreServerId;
        listFilesetEntry(e.FilesetName, &e.FilesetId, &core);
      } else {
        fprintf(listF, "%6d %s\n", int(filesetCounter), e.FilesetName);
      }
    }
    if (got != 50 || interrupted)
      return;
    offset = next;
  }
}

void listJunctions(uint32_t subsys)
{
  std::vector<quor_junction_ent_t> table(10);
  u_signed64 offset = 0;
  for (;;) {
    unsigned32 end = 0;
    u_signed64 next = 0;
    int got = ozu_EioRetry(
        [&] { return quor_GetJunctions(subsys, offset, 10, &end, &next, table.data()); });
    if (got == -64) {
      fprintf(listF, "*** List Junctions call not supported yet\n");
      setExitResult(72, nullptr, 0);
      return;
    }
    if (got < 0) {
      failedList(got, "listJunctions", "quor_GetJunctions");
      return;
    }
    for (int i = 0; i < got && !interrupted; ++i) {
      quor_junction_ent_t &j = table[size_t(i)];
      j.JunctionPathName[sizeof j.JunctionPathName - 1] = '\0';
      fprintf(listF, "Junction Name: %s\n", j.JunctionPathName);
      ns_FilesetAttrs_t fa;
      memset(&fa, 0, sizeof fa);
      int rc = ozu_EioRetry([&] {
        return quor_FilesetGetAttributes(nullptr, nullptr, &j.FilesetHandle, nullptr,
                                         kJunctionMask, &fa);
      });
      if (rc < 0) {
        fprintf(listF, "*** Error %d getting junction fileset name\n", rc);
        continue;
      }
      std::string type = typeName(fa.FilesetType);
      if (type.back() != '\n')
        type += "\n";
      fprintf(listF, "Fileset Name: %.*s\nFileset Type: %sClass of Service:  %d\n",
              int(sizeof fa.FilesetName), fa.FilesetName, type.c_str(), int(fa.ClassOfService));
      fprintf(listF, "Directories: %d  Files: %d  Symlinks: %d Hard Links: %d Junctions: %d\n",
              int(fa.DirectoryCount), int(fa.FileCount), int(fa.SymLinkCount),
              int(fa.HardLinkCount), int(fa.JunctionCount));
    }
    if (got != 10 || interrupted)
      return;
    offset = next;
  }
}

// Makes the connection of a drive word current: its context, or null
// after the standard message.
ozu_context_t *switchToDrive(const char *word)
{
  ozu_context_t *ctx = ozu_LookupContextByDrive(word);
  if (ctx == nullptr) {
    log_NoConnectionForDrive(word);
    return nullptr;
  }
  if (ozu_SetCurConnection(ctx->handle) < 0) {
    log_ConnectionSwitchFailure(ctx);
    return nullptr;
  }
  return ctx;
}

ozu_context_t *active()
{
  return keyset && keyset->curContext ? keyset->curContext : sesskeyset.curContext;
}

void usageOnce(bool *shown, const char *const *lines)
{
  if (*shown)
    return;
  *shown = true;
  for (; *lines; ++lines)
    fprintf(listF, "%s\n", *lines);
}

const char *const lsfilesetsUsage[] = {
    "Usage: lsfiles[ets] [listopts] [[drive:][filesetname ...][",
    "  -l  long listing: type, class of service, family, subsystem, state and counts", nullptr};
const char *const lsjunctionsUsage[] = {"Usage: lsjun[ctions] [-s subsystem ID] [drive: ...]",
                                        "  -s  the storage subsystem (default 1)", nullptr};
const char *const groupsUsage[] = {"Usage: gro[ups] [-?] [logical_drive ...]", nullptr};
const char *const newgrpUsage[] = {"Usage: newgrp  [-?] [GID | Group Name]", nullptr};
const char *const idUsage[] = {"Usage: id [-?] [-u | -G | -g [-n]] [user]",
                               "  -u  user id  -g  group id  -G  every group  -n  names", nullptr};

void displayGroupList(const int32_t *list, int count)
{
  ozu_context_t *ctx = active();
  fprintf(listF, "%c:QUOR Group List:\n", ctx && ctx->driveLetter ? ctx->driveLetter : ' ');
  if (count <= 0)
    return;
  std::vector<std::string> names;
  size_t longest = 0;
  for (int i = 0; i < count; ++i) {
    names.push_back(lookupGname(list[i]));
    longest = std::max(longest, names.back().size());
  }
  int width = page_width > 0 ? page_width : 100;
  int perLine = std::max(1, width / int(longest + 10));
  for (int i = 0; i < count; ++i) {
    bool lineEnd = (i + 1) % perLine == 0;
    if (lineEnd)
      fprintf(listF, "%6d: %s  \n", int(list[i]), names[size_t(i)].c_str());
    else
      fprintf(listF, "%6d: %-*s  ", int(list[i]), int(longest), names[size_t(i)].c_str());
  }
  if (count % perLine)
    fprintf(listF, "\n");
}

}  // namespace

int ozu_LsFilesetCommand(char *cc, int cclen)
{
  ozu_cmd_t cmd(cc, cclen);
  longListing = false;
  bool shown = false;
  for (int c; (c = ozu_CmdOption(&cmd, "l?", nullptr)) != OZU_OPT_END;) {
    if (c == 'l')
      longListing = true;
    else
      usageOnce(&shown, lsfilesetsUsage);
  }
  if (ozu_CmdKeywords(&cmd, OZU_KW_UNKNOWN_IS_NAME) < 0)
    return 1;
  if (longListing)
    fprintf(listF, " Entry      Fileset Name\n Number Type       COS    Family Subsys   State   "
                   "Files     Dirs   Symlinks HardLinks Junctions\n");
  char *word = ozu_CmdNextName(&cmd);
  if (word == nullptr) {
    listAllFilesets();
    return 1;
  }
  for (; word; word = ozu_CmdNextName(&cmd)) {
    int letter = ozu_GetDriveLetter(word);
    if (letter) {
      ozu_context_t *ctx = switchToDrive(word);
      if (ctx == nullptr)
        continue;
      if (word[2] == '\0') {
        fprintf(listF, "--------------------------\n");
        fprintf(listF, "QUOR Junctions for connection %c, subsystem %d:\n", letter, 0);
        listAllFilesets();
        continue;
      }
      listFilesetEntry(word + 2, nullptr, nullptr);
      continue;
    }
    listFilesetEntry(word, nullptr, nullptr);
  }
  return 1;
}

int ozu_LsJunctionsCommand(char *cc, int cclen)
{
  ozu_cmd_t cmd(cc, cclen);
  uint32_t subsys = 1;
  bool shown = false;
  for (int c; (c = ozu_CmdOption(&cmd, "s:?", nullptr)) != OZU_OPT_END;) {
    if (c == 's') {
      char *end = nullptr;
      unsigned long v = strtoul(ozu_optarg, &end, 10);
      if (*ozu_optarg == '\0' || *end != '\0' || v > UINT32_MAX) {
        log_BadValueForOption('s', ozu_optarg);
        return 1;
      }
      subsys = uint32_t(v);
    } else {
      usageOnce(&shown, lsjunctionsUsage);
    }
  }
  if (ozu_CmdKeywords(&cmd, OZU_KW_UNKNOWN_IS_NAME) < 0)
    return 1;
  char *word = ozu_CmdNextName(&cmd);
  if (word == nullptr) {
    listJunctions(subsys);
    return 1;
  }
  for (; word; word = ozu_CmdNextName(&cmd)) {
    int letter = ozu_CmdDriveWord(word);
    if (letter == 0)
      continue;
    if (switchToDrive(word) == nullptr)
      continue;
    fprintf(listF, "--------------------------\n");
    fprintf(listF, "QUOR Junctions for connection %c, subsystem %d:\n", letter, int(subsys));
    listJunctions(subsys);
  }
  return 1;
}

int ozu_GroupsCommand(char *cc, int cclen)
{
  ozu_cmd_t cmd(cc, cclen);
  bool shown = false;
  for (int c; (c = ozu_CmdOption(&cmd, "defRA:", nullptr)) != OZU_OPT_END;) {
    if (c == 'd' || c == 'e' || c == 'f' || c == 'R' || c == 'A')
      fprintf(listF, "Unknown option ignored: %c\n", c);
    else
      usageOnce(&shown, groupsUsage);
  }
  if (ozu_CmdKeywords(&cmd, OZU_KW_UNKNOWN_IS_NAME) < 0)
    return 1;
  bool listed = false;
  for (char *word; (word = ozu_CmdNextName(&cmd)) != nullptr;) {
    if (switchToDrive(word) == nullptr)
      continue;
    int32_t *list = nullptr;
    int n = ozu_GetLoginGroups(&list);
    if (n < 0) {
      char msg[100];
      snprintf(msg, sizeof msg, "*** error getting group list for drive %c:", ozu_GetDriveLetter(word));
      setExitResult(70, msg, 7);
      free(list);
      continue;
    }
    displayGroupList(list, n);
    free(list);
    listed = true;
  }
  if (!listed) {
    int32_t *list = nullptr;
    int n = ozu_GetLoginGroups(&list);
    if (n < 0)
      setExitResult(70, "*** error getting group list ***", 7);
    else
      displayGroupList(list, n);
    free(list);
  }
  return 1;
}

int ozu_NewGrpCommand(char *cc, int cclen)
{
  ozu_cmd_t cmd(cc, cclen);
  bool shown = false;
  for (int c; (c = ozu_CmdOption(&cmd, "?", nullptr)) != OZU_OPT_END;)
    usageOnce(&shown, newgrpUsage);
  if (ozu_CmdKeywords(&cmd, OZU_KW_UNKNOWN_ENDS) < 0)
    return 0;
  ozu_context_t *ctx = active();
  char *word = ozu_CmdNextName(&cmd);
  if (word == nullptr) {
    if (!shown) {
      long gid = ctx ? ctx->curLogin.gid : -1;
      std::string msg = "Current group is: " + std::to_string(gid) + "(" +
                        (gid >= 0 ? lookupGname(gid) : "?") + ")";
      setExitResult(0, msg.c_str(), 7);
    }
    return 0;
  }
  if (char *extra = ozu_CmdNextName(&cmd))
    ozu_ExtraObjectsMsg(extra);
  long gid = lookupGid(word);
  if (gid < 0) {
    std::string msg = std::string("*** Unable to lookup GID for Group Name: `") + word + "'";
    setExitResult(64, msg.c_str(), 7);
    return 0;
  }
  int rc = ozu_EioRetry([&] { return quor_SetGID(uint32_t(gid)); });
  char msg[600];
  if (rc == 0) {
    if (ctx)
      ctx->curLogin.gid = int(gid);
    if (sesskeyset.curContext && sesskeyset.curContext != ctx)
      sesskeyset.curContext->curLogin.gid = int(gid);
    snprintf(msg, sizeof msg, "Current Active Group ID is now %d(%s)", int(gid), word);
    setExitResult(0, msg, 7);
  } else if (rc == -22) {
    snprintf(msg, sizeof msg, "*** %s: you are not authorized to use group ID %u (%s)",
             "ozu_NewGrpCommand", unsigned(gid), word);
    setExitResult(64, msg, 7);
  } else {
    snprintf(msg, sizeof msg, "***%s: error %d trying to set current group ID %u (%s)",
             "ozu_NewGrpCommand", rc, unsigned(gid), word);
    setExitResult(64, msg, 7);
  }
  return 0;
}

int ozu_IdCommand(char *cc, int cclen)
{
  ozu_cmd_t cmd(cc, cclen);
  bool shown = false, u = false, g = false, G = false, names = false;
  for (int c; (c = ozu_CmdOption(&cmd, "?Ggun", nullptr)) != OZU_OPT_END;) {
    switch (c) {
    case 'u': u = true; break;
    case 'g': g = true; break;
    case 'G': G = true; break;
    case 'n': names = true; break;
    default: usageOnce(&shown, idUsage); break;
    }
  }
  if (ozu_CmdKeywords(&cmd, OZU_KW_UNKNOWN_IS_NAME) < 0)
    return 1;
  ozu_context_t *ctx = active();
  if (ctx == nullptr)
    return 1;
  const char *principal = ctx->curLogin.principal ? ctx->curLogin.principal : "";
  char *user = ozu_CmdNextName(&cmd);
  if (user && strcmp(user, principal) != 0) {
    if (g || G) {
      fprintf(listF, "*** G and g options only available for current login user\n");
      return 1;
    }
    std::string uidText = "??", name = "UNKNOWN";
    if (isdigit(static_cast<unsigned char>(user[0]))) {
      uidText = user;
      name = lookupUname(atol(user));
    } else {
      long uid = lookupUid(user);
      if (uid >= 0) {
        uidText = std::to_string(uid);
        name = user;
      }
    }
    fprintf(listF, "%s(%s)\n", uidText.c_str(), name.c_str());
    return 1;
  }
  const int uid = ctx->curLogin.uid, gid = ctx->curLogin.gid;
  int32_t *list = nullptr;
  int n = 0;
  if (!u && !g) {
    n = ozu_GetLoginGroups(&list);
    if (n < 0)
      n = 0;
  }
  if (!u && !g && !G) {
    fprintf(listF, "uid=%d(%s) gid=%d(%s)", uid, principal, gid, lookupGname(gid));
    for (int i = 0; i < n; ++i)
      if (list[i] != gid)
        fprintf(listF, " %d(%s)", int(list[i]), lookupGname(list[i]));
    fprintf(listF, "\n");
  } else if (u) {
    if (names)
      fprintf(listF, "%s\n", principal);
    else
      fprintf(listF, "%d\n", uid);
  } else if (g) {
    if (names)
      fprintf(listF, "%s\n", lookupGname(gid));
    else
      fprintf(listF, "%d\n", gid);
  } else {
    if (n > 0) {
      if (names)
        fprintf(listF, "%s", lookupGname(gid));
      else
        fprintf(listF, "%d", gid);
      for (int i = 0; i < n; ++i)
        if (list[i] != gid) {
          if (names)
            fprintf(listF, " %s", lookupGname(list[i]));
          else
            fprintf(listF, " %d", int(list[i]));
        }
    }
    fprintf(listF, "\n");
  }
  free(list);
  return 1;
}

int ozu_WhoAmICommand(char *cc, int cclen)
{
  ozu_cmd_t cmd(cc, cclen);
  ozu_context_t *ctx = active();
  fprintf(listF, "%s\n", ctx && ctx->curLogin.principal ? ctx->curLogin.principal : "");
  return 1;
}
