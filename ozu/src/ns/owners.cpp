// Owners: chown and chgrp.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "ns_commands.h"
#include "ns_heredoc.h"
#include "ozu_cmdframe.h"
#include "ozu_context.h"
#include "ozu_drive.h"
#include "ozu_errors.h"
#include "ozu_getopt.h"
#include "ozu_glob.h"
#include "ozu_log.h"
#include "ozu_login.h"
#include "ozuvars.h"
#include "quor_api.h"

namespace {

enum { OWN_R = 1, OWN_h = 2 };

std::string ownerName, groupName;
int chown_gid_flag = 0;
long fileOID = -1, fileGID = -1;
int ownOpts = 0;

void chownUsage()
{
  fprintf(listF, "Usage:  chown [ -h ] [ -R ] Owner[:|.Group ] path ...\n");
  fprintf(listF, "  Owner is a user name or uid; Group, optional, a group name or gid,\n"
                 "  written with no blank between them and separated by ':' or '.'\n");
  fprintf(listF, "  -h  change a symbolic link itself: links are skipped with a warning,\n"
                 "      as the storage service cannot change a link's owner\n");
  fprintf(listF, "  -R  descend directories\n");
}

void chgrpUsage()
{
  fprintf(listF, "Usage: chgrp  [ -h ] [ -R ] group_owner path ...]\n");
  fprintf(listF, "  -h  change a symbolic link itself: links are skipped with a warning,\n"
                 "      as the storage service cannot change a link's owner\n");
  fprintf(listF, "  -R  descend directories\n");
}

// Options of both commands; the index of the first word after them.
int readOptions(ozu_cmd_t *cmd)
{
  int i = 0;
  for (; i < cmd->argc; ++i) {
    const char *w = cmd->argv[i];
    if (w[0] != '-' || w[1] == '\0')
      break;
    for (const char *p = w + 1; *p; ++p) {
      if (*p == 'R')
        ownOpts |= OWN_R;
      else if (*p == 'h')
        ownOpts |= OWN_h;
      else
        fprintf(stderr, "Unknown option or missing argument: '%c' ignored\n", *p);
    }
  }
  return i;
}

void symlinkSkipped(const char *path)
{
  fprintf(listF, "*** warning: symbolic link skipped [%s]\n", path);
}

int chownTo(const char *path, long uid, long gid)
{
  int rc = ozu_EioRetry([&] { return quor_Chown(path, uid_t(uid), gid_t(gid)); });
  if (rc == 0 && debug >= 1)
    fprintf(listF, "successful chown for %s, owner/group=%d/%d\n", path, int(uid), int(gid));
  return rc;
}

int chownEntCallback(ns_DirEntry_t *entry, int, const char *, const char *fullPath)
{
  if (entry->Attrs.Type == 130 && (ownOpts & OWN_h)) {
    symlinkSkipped(fullPath);
    return 0;
  }
  long gid = chown_gid_flag ? fileGID : long(entry->Attrs.GID);
  if (entry->Attrs.Type == 130) {
    // The change reaches the link's target: keep the target's own group.
    quor_stat_t st;
    if (!chown_gid_flag && ozu_EioRetry([&] { return quor_Stat(fullPath, &st); }) == 0)
      gid = long(st.st_gid);
  }
  int rc = chownTo(fullPath, fileOID, gid);
  if (rc < 0)
    setExitResult(72, quor_perror(rc, verb, fullPath, nullptr), 6);
  return 0;
}

int chgrpEntCallback(ns_DirEntry_t *entry, int, const char *, const char *fullPath)
{
  if (entry->Attrs.Type == 130 && (ownOpts & OWN_h)) {
    symlinkSkipped(fullPath);
    return 0;
  }
  long uid = long(entry->Attrs.UID);
  if (entry->Attrs.Type == 130) {
    quor_stat_t st;
    if (ozu_EioRetry([&] { return quor_Stat(fullPath, &st); }) == 0)
      uid = long(st.st_uid);
  }
  int rc = chownTo(fullPath, uid, fileGID);
  if (rc < 0)
    setExitResult(72, quor_perror(rc, verb, fullPath, nullptr), 7);
  return 0;
}

int currentHandle()
{
  return keyset && keyset->curContext ? keyset->curContext->handle : -1;
}

// The current ids of what a path names, through a link when it is one.
int statOf(const char *path, bool follow, quor_stat_t *st)
{
  return ozu_EioRetry([&] { return follow ? quor_Stat(path, st) : quor_Lstat(path, st); });
}

}  // namespace

int ozu_ChownCommand(char *cc, int cclen)
{
  ownerName.clear();
  groupName.clear();
  chown_gid_flag = 0;
  fileOID = fileGID = -1;
  ownOpts = 0;
  ozu_cmd_t cmd(cc, cclen);
  if (cmd.argc == 0) {
    chownUsage();
    return 1;
  }
  ozu_optind = readOptions(&cmd);
  if (ozu_CmdKeywords(&cmd, OZU_KW_UNKNOWN_IS_NAME) < 0)
    return 1;
  std::vector<std::string> hereDoc;
  if (ns_HereDocNames(&cmd, &hereDoc) < 0)
    return 1;
  char *ownerWord = ozu_CmdNextName(&cmd);
  if (ownerWord == nullptr) {
    setExitResult(64, "*** missing parameter: owner name", 7);
    return 1;
  }
  std::string owner = ownerWord;
  size_t sep = owner.find(':');
  if (sep == std::string::npos)
    sep = owner.find('.');
  ownerName = owner.substr(0, sep);
  if (sep != std::string::npos) {
    groupName = owner.substr(sep + 1);
    chown_gid_flag = 1;
  }
  char *word = ozu_CmdNextName(&cmd);
  if (word == nullptr) {
    missingObjectsMsg();
    return 1;
  }
  int resolvedOn = -2;
  std::vector<std::string> dirs;
  ozu_each_t how;
  how.globbed = [&](const char *word, int n) {
    if (n == 0)
      return false;
    if (resolvedOn != currentHandle()) {
      fileOID = lookupUid(ownerName.c_str());
      if (fileOID < 0) {
        std::string msg = "*** " + std::string(word) + ": unknown principal [" + ownerName + "]";
        setExitResult(64, msg.c_str(), 7);
        return false;
      }
      if (chown_gid_flag) {
        fileGID = lookupGid(groupName.c_str());
        if (fileGID < 0) {
          std::string msg =
              "*** " + std::string(word) + ": unknown group name [" + groupName + "]";
          setExitResult(64, msg.c_str(), 7);
          return false;
        }
      }
      resolvedOn = currentHandle();
    }
    return true;
  };
  how.match = [&](const globstruct_t &g) {
    const char *name = g.name;
    if (g.dir)
      dirs.push_back(name);
    quor_stat_t st;
    int rc = statOf(name, false, &st);
    if (rc < 0) {
      setExitResult(72, quor_perror(rc, verb, name, nullptr), 7);
      return;
    }
    bool link = S_ISLNK(st.st_mode);
    if (link && (ownOpts & OWN_h)) {
      symlinkSkipped(name);
      return;
    }
    // The change goes through a link: its target's group is the one kept.
    if (link && (rc = statOf(name, true, &st)) < 0) {
      setExitResult(72, quor_perror(rc, verb, name, nullptr), 7);
      return;
    }
    rc = chownTo(name, fileOID, chown_gid_flag ? fileGID : long(st.st_gid));
    if (rc < 0)
      setExitResult(72, quor_perror(rc, "quor_Chown", name, nullptr), 7);
  };
  how.done = [&] {
    if (ownOpts & OWN_R) {
      cmd.recurse = 1;
      for (const std::string &d : dirs)
        if (!interrupted)
          ozu_CmdWalk(&cmd, d.c_str(), chownEntCallback, nullptr, nullptr);
    }
    dirs.clear();
  };
  ozu_CmdEachMatch(&cmd, word, how);
  return 1;
}

int ozu_ChgrpCommand(char *cc, int cclen)
{
  fileGID = -1;
  ownOpts = 0;
  ozu_cmd_t cmd(cc, cclen);
  if (cmd.argc == 0) {
    chgrpUsage();
    return 1;
  }
  ozu_optind = readOptions(&cmd);
  if (ozu_CmdKeywords(&cmd, OZU_KW_UNKNOWN_IS_NAME) < 0)
    return 1;
  std::vector<std::string> hereDoc;
  if (ns_HereDocNames(&cmd, &hereDoc) < 0)
    return 1;
  char *groupWord = ozu_CmdNextName(&cmd);
  char *word = groupWord ? ozu_CmdNextName(&cmd) : nullptr;
  if (word == nullptr) {
    missingObjectsMsg();
    return 1;
  }
  std::string group = groupWord;
  int resolvedOn = -2;
  std::vector<std::string> dirs;
  ozu_each_t how;
  how.expanded = [&](const char *word) {
    if (resolvedOn != currentHandle()) {
      fileGID = lookupGid(group.c_str());
      if (fileGID < 0) {
        std::string msg =
            "*** group '" + group + "' not in DCE registry - " + std::string(word) + " skipped";
        setExitResult(64, msg.c_str(), 7);
        return false;
      }
      resolvedOn = currentHandle();
    }
    return true;
  };
  how.match = [&](const globstruct_t &g) {
    const char *name = g.name;
    // A directory named on the command line changes too, as with chown
    // and chmod; -R then changes what lies below it.
    if (g.dir)
      dirs.push_back(name);
    quor_stat_t st;
    int rc = statOf(name, false, &st);
    if (rc < 0) {
      setExitResult(72, quor_perror(rc, "quor_Lstat", name, nullptr), 7);
      return;
    }
    bool link = S_ISLNK(st.st_mode);
    if (link && (ownOpts & OWN_h)) {
      if (debug >= 1)
        fprintf(listF, "/debug/ symbolic link [%s] skipped\n", name);
      return;
    }
    if (link && (rc = statOf(name, true, &st)) < 0) {
      setExitResult(72, quor_perror(rc, "quor_Stat", name, nullptr), 7);
      return;
    }
    rc = chownTo(name, long(st.st_uid), fileGID);
    if (rc < 0)
      setExitResult(72, quor_perror(rc, "quor_Chown", name, nullptr), 7);
  };
  how.done = [&] {
    if (ownOpts & OWN_R) {
      cmd.recurse = 1;
      for (const std::string &d : dirs)
        if (!interrupted)
          ozu_CmdWalk(&cmd, d.c_str(), chgrpEntCallback, nullptr, nullptr);
    }
    dirs.clear();
  };
  ozu_CmdEachMatch(&cmd, word, how);
  return 1;
}
