// Modes: chmod and umask.
#include <ctype.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "ns_commands.h"
#include "ns_heredoc.h"
#include "ns_modes.h"
#include "ozu_cmdframe.h"
#include "ozu_context.h"
#include "ozu_drive.h"
#include "ozu_errors.h"
#include "ozu_getopt.h"
#include "ozu_glob.h"
#include "ozu_log.h"
#include "ozu_walk.h"
#include "ozuvars.h"
#include "quor_api.h"

chmodOp *chmodHead = nullptr;

namespace {

chmodOp *chmodCur = nullptr;

enum { CH_R = 1, CH_h = 2, CH_H = 4, CH_d = 8, CH_f = 0x10 };

int chmodOpts = 0;

struct whoRule {
  char who;
  int shift;
  int keep;  // bits '=' keeps; u= also clears set-user-id, g= set-group-id, o= sticky
};
const whoRule whoRules[] = {{'u', 6, 03077}, {'g', 3, 05707}, {'o', 0, 06770}};

const whoRule *ruleOf(char who)
{
  for (const whoRule &r : whoRules)
    if (r.who == who)
      return &r;
  return nullptr;
}

// The bits of one permission letter, already in place for who.
int letterBits(char letter, const whoRule &w, int reference, int isDir)
{
  switch (letter) {
  case 'r': return 4 << w.shift;
  case 'w': return 2 << w.shift;
  case 'x': return 1 << w.shift;
  case 'X': return (isDir || (reference & 0111)) ? 1 << w.shift : 0;
  case 's': return w.who == 'u' ? 04000 : (w.who == 'g' ? 02000 : 0);
  case 't': return 01000;
  case 'u': return ((reference >> 6) & 7) << w.shift;
  case 'g': return ((reference >> 3) & 7) << w.shift;
  case 'o': return (reference & 7) << w.shift;
  }
  return 0;
}

void chmodUsage()
{
  static const char *const lines[] = {
      "Usage: chm[od] [-h] [-H] [-d] [-f] [-R]  mode path ...",
      "  -h  never change an object through a symbolic link",
      "  -H  walk a symbolic link on the command line that leads to a directory (with -R)",
      "  -d  change directories only",
      "  -f  change files and hard links only",
      "  -R  descend directories",
      "  mode is an octal value or a symbolic mode string ([ugoa][+-=][rwxXstugo],...)",
      "  path is a storage path; wildcards are allowed",
  };
  for (const char *l : lines)
    fprintf(listF, "%s\n", l);
}

void umaskUsage()
{
  fprintf(listF, "Usage: umask  [-?] [perm_mask]\n");
  fprintf(listF, "  -?  print this message\n");
  fprintf(listF, "  perm_mask is an octal number between 0 and 777 naming the permissions\n"
                 "  that are not to be set on objects created afterwards\n");
}

struct statReader {
  const char *path;
  bool follow;
};

int readModeOf(void *arg, int *mode)
{
  statReader *r = static_cast<statReader *>(arg);
  quor_stat_t st;
  int rc = ozu_EioRetry([&] { return r->follow ? quor_Stat(r->path, &st) : quor_Lstat(r->path, &st); });
  if (rc < 0) {
    setExitResult(72, quor_perror(rc, verb, r->path, nullptr), 7);
    return rc;
  }
  *mode = int(st.st_mode & 07777);
  return 0;
}

// Applies the clauses to one object; follow reads the current mode through
// a link, as the change itself goes. 0, or -1 after the report.
int localChmod(const char *path, bool follow, int isDir)
{
  statReader reader{path, follow};
  int mode = 0;
  if (ozu_ApplyModeClauses(chmodHead, isDir, readModeOf, &reader, &mode) < 0)
    return -1;
  if (debug >= 2)
    fprintf(listF, "setting permissions 0%o for [%s]\n", mode, path);
  int rc = ozu_EioRetry([&] { return quor_Chmod(path, mode_t(mode)); });
  if (rc < 0) {
    setExitResult(72, quor_perror(rc, "quor_Chmod", path, nullptr), 7);
    return -1;
  }
  return 0;
}

// What becomes of a symbolic link met on the command line or in a walk.
enum linkFate { LINK_SKIP, LINK_CHANGE, LINK_CHANGE_AS_DIR, LINK_WALK_ONLY };

linkFate linkDecision(const char *path, bool commandLine)
{
  if (chmodOpts & CH_h) {
    if (debug >= 2)
      fprintf(listF, "-h specified, or %s points to non-regular file/directory - skipping\n", path);
    return LINK_SKIP;
  }
  quor_stat_t st;
  int rc = ozu_EioRetry([&] { return quor_Stat(path, &st); });
  if (rc < 0) {
    if (rc == -2) {
      std::string msg = "*** symlink [" + std::string(path) + "] points to unknown entry";
      setExitResult(72, msg.c_str(), 7);
    } else {
      setExitResult(72, quor_perror(rc, commandLine ? verb : "quor_Stat", path, nullptr), 7);
    }
    return LINK_SKIP;
  }
  if (S_ISDIR(st.st_mode)) {
    if (debug >= 2)
      fprintf(listF, "%s points to a directory\n", path);
    bool asDir = commandLine && (chmodOpts & CH_H);
    if (chmodOpts & CH_f) {
      if (debug >= 2)
        fprintf(listF, "/debug/%s is a symlinked dir, and -h or -f specified. Skipping it.\n",
                path);
      return asDir ? LINK_WALK_ONLY : LINK_SKIP;
    }
    if (asDir)
      return LINK_CHANGE_AS_DIR;
    // Not taken for a directory: -d passes it over, as it does on the
    // command line.
    return (chmodOpts & CH_d) ? LINK_SKIP : LINK_CHANGE;
  }
  if (S_ISREG(st.st_mode))
    return (chmodOpts & CH_d) ? LINK_SKIP : LINK_CHANGE;
  if (debug >= 2)
    fprintf(listF, "-h specified, or %s points to non-regular file/directory - skipping\n", path);
  return LINK_SKIP;
}

int chmodEntCallback(ns_DirEntry_t *entry, int, const char *, const char *fullPath)
{
  unsigned type = entry->Attrs.Type;
  int rc;
  if (type == 130) {
    if (chmodOpts & CH_h) {
      if (debug >= 2)
        fprintf(listF, "(skipping symlink object: %s\n", fullPath);
      return 0;
    }
    linkFate fate = linkDecision(fullPath, false);
    if (fate != LINK_CHANGE)
      return 0;
    rc = localChmod(fullPath, true, 0);
  } else {
    if ((chmodOpts & CH_d) && type != 132)
      return 0;
    if ((chmodOpts & CH_f) && type != 129 && type != 131)
      return 0;
    rc = localChmod(fullPath, false, type == 132);
  }
  if (rc < 0) {
    char msg[1200];
    snprintf(msg, sizeof msg, "*** chmod: quor_Chmod error %d for `%s'", rc, fullPath);
    setExitResult(72, msg, 7);
  }
  return 0;
}

}  // namespace

int parseChmodOption(const char *clause)
{
  chmodOp *op = static_cast<chmodOp *>(calloc(1, sizeof(chmodOp)));
  if (op == nullptr) {
    setExitResult(78, "malloc problem in parseChmodOption(1)", 7);
    return -1;
  }
  if (clause[0] >= '0' && clause[0] <= '7') {
    long value = 0;
    for (const char *p = clause; *p; ++p) {
      if (*p < '0' || *p > '7') {
        fprintf(stderr, "*** Not an octal string: %s\n", clause);
        free(op);
        return -1;
      }
      value = ((value << 3) | (*p - '0')) & 0777777;
    }
    op->ch_type = ABSOLUTE;
    op->ch_value = int(value & 07777);
    op->ch_op = '=';
  } else {
    const char *opAt = strpbrk(clause, "+-=");
    bool ok = opAt != nullptr && opAt[1] != '\0' && size_t(opAt - clause) < sizeof op->ch_who &&
              strlen(opAt + 1) < sizeof op->ch_perms;
    for (const char *p = clause; ok && p < opAt; ++p)
      ok = strchr("augo", *p) != nullptr;
    for (const char *p = ok ? opAt + 1 : ""; ok && *p; ++p)
      ok = strchr("rwxXst", *p) != nullptr || (*opAt == '=' && strchr("oug", *p) != nullptr);
    if (!ok) {
      free(op);
      return -1;
    }
    op->ch_type = SYMBOLIC;
    op->ch_op = *opAt;
    std::string who(clause, size_t(opAt - clause));
    if (who.empty() || who.find('a') != std::string::npos)
      who = "ugo";
    snprintf(op->ch_who, sizeof op->ch_who, "%s", who.c_str());
    snprintf(op->ch_perms, sizeof op->ch_perms, "%s", opAt + 1);
  }
  if (chmodHead == nullptr)
    chmodHead = op;
  else
    chmodCur->next = op;
  chmodCur = op;
  return 0;
}

void releaseChmodOps(void)
{
  while (chmodHead) {
    chmodOp *next = chmodHead->next;
    free(chmodHead);
    chmodHead = next;
  }
  chmodCur = nullptr;
}

int ozu_ApplyModeClauses(const chmodOp *head, int isDir, int (*readCurrent)(void *, int *),
                         void *arg, int *result)
{
  int mode = 0;
  int reference = 0;
  bool haveMode = false;       // an octal clause or the object set the working mode
  bool haveReference = false;  // the copy letters and X read this one
  for (const chmodOp *op = head; op; op = op->next) {
    if (op->ch_type == ABSOLUTE) {
      mode = op->ch_value;
      haveMode = true;
      continue;
    }
    if (!haveReference) {
      // A symbolic clause after an octal one starts from that value; else
      // from the object's own mode, read once.
      if (!haveMode) {
        int rc = readCurrent(arg, &mode);
        if (rc < 0)
          return rc;
        haveMode = true;
      }
      reference = mode;
      haveReference = true;
    }
    for (const char *w = op->ch_who; *w; ++w) {
      const whoRule *rule = ruleOf(*w);
      if (rule == nullptr)
        continue;
      int keep = rule->keep;
      for (const char *p = op->ch_perms; *p; ++p) {
        int bits = letterBits(*p, *rule, reference, isDir);
        if (op->ch_op == '+') {
          mode |= bits;
        } else if (op->ch_op == '-') {
          mode &= ~bits;
        } else {
          mode = (mode & keep) | bits;
          keep |= bits;
        }
      }
    }
  }
  *result = mode & 07777;
  return 0;
}

int ozu_ChmodCommand(char *cc, int cclen)
{
  releaseChmodOps();
  chmodOpts = 0;
  ozu_cmd_t cmd(cc, cclen);
  struct Release {
    ~Release() { releaseChmodOps(); }
  } release;
  if (cmd.argc == 0) {
    chmodUsage();
    return 1;
  }
  // Options by hand: "-w" is a mode, not three option letters.
  bool usageShown = false;
  int i = 0;
  for (; i < cmd.argc; ++i) {
    const char *w = cmd.argv[i];
    if (w[0] != '-' || w[1] == '\0' || strchr("dfhHR?", w[1]) == nullptr)
      break;
    for (const char *p = w + 1; *p; ++p) {
      switch (*p) {
      case 'R': chmodOpts |= CH_R; break;
      case 'h': chmodOpts |= CH_h; break;
      case 'H': chmodOpts |= CH_H; break;
      case 'd': chmodOpts |= CH_d; break;
      case 'f': chmodOpts |= CH_f; break;
      case '?':
        if (!usageShown)
          chmodUsage();
        usageShown = true;
        break;
      default: break;
      }
    }
  }
  if ((chmodOpts & CH_d) && (chmodOpts & CH_f)) {
    setExitResult(64, "*** Conflicting options: -f and -d", 7);
    return 1;
  }
  ozu_optind = i;
  if (ozu_CmdKeywords(&cmd, OZU_KW_UNKNOWN_IS_NAME) < 0)
    return 1;
  std::vector<std::string> hereDoc;
  if (ns_HereDocNames(&cmd, &hereDoc) < 0)
    return 1;
  char *modeWord = ozu_CmdNextName(&cmd);
  if (modeWord == nullptr) {
    if (!usageShown)
      setExitResult(64, "*** missing parameter: permission (mode) string", 7);
    return 1;
  }
  if (debug >= 2)
    fprintf(listF, "/debug/ parsing mode string: %s\n", modeWord);
  std::string modes = modeWord;
  for (size_t start = 0;;) {
    size_t comma = modes.find(',', start);
    std::string clause = modes.substr(start, comma == std::string::npos ? comma : comma - start);
    if (parseChmodOption(clause.c_str()) < 0) {
      std::string msg = "*** unable to parse mode clause: " + clause;
      setExitResult(64, msg.c_str(), 7);
      return 1;
    }
    if (comma == std::string::npos)
      break;
    start = comma + 1;
  }
  char *word = ozu_CmdNextName(&cmd);
  if (word == nullptr) {
    missingObjectsMsg();
    return 1;
  }
  std::vector<std::string> walk;
  ozu_each_t how;
  how.match = [&](const globstruct_t &g) {
    bool isDir = g.dir;
    bool viaLink = false;
    if (g.symlink) {
      linkFate fate = linkDecision(g.name, true);
      if (fate == LINK_SKIP)
        return;
      if (fate == LINK_WALK_ONLY) {
        walk.push_back(g.name);
        return;
      }
      isDir = fate == LINK_CHANGE_AS_DIR;
      viaLink = true;
    }
    if (isDir) {
      walk.push_back(g.name);
      if (chmodOpts & CH_f)
        return;
    } else if (chmodOpts & CH_d) {
      return;
    }
    int rc = localChmod(g.name, viaLink, isDir);
    if (rc < 0) {
      char msg[1200];
      snprintf(msg, sizeof msg, "*** quor_Chmod error %d for `%s'", rc, g.name);
      setExitResult(72, msg, 7);
    }
  };
  how.done = [&] {
    if (chmodOpts & CH_R) {
      cmd.recurse = 1;
      for (const std::string &d : walk) {
        if (interrupted)
          break;
        ozu_CmdWalk(&cmd, d.c_str(), chmodEntCallback, nullptr, nullptr);
      }
    }
    walk.clear();
  };
  ozu_CmdEachMatch(&cmd, word, how);
  return 1;
}

int ozu_UmaskCommand(char *cc, int cclen)
{
  ozu_cmd_t cmd(cc, cclen);
  ozu_context_t *ctx = keyset ? keyset->curContext : nullptr;
  char msg[200];
  if (cmd.argc == 0) {
    snprintf(msg, sizeof msg, "Current umask setting: %3.3o", ctx ? ctx->umask : 0);
    setExitResult(0, msg, 6);
    return 0;
  }
  bool usageShown = false;
  for (int c; (c = ozu_CmdOption(&cmd, "?", nullptr)) != OZU_OPT_END;)
    if (!usageShown) {
      umaskUsage();
      usageShown = true;
    }
  if (ozu_CmdKeywords(&cmd, OZU_KW_UNKNOWN_ENDS) < 0)
    return 0;
  char *word = ozu_CmdNextName(&cmd);
  if (word == nullptr) {
    if (!usageShown) {
      snprintf(msg, sizeof msg, "Current umask setting: %3.3o", ctx ? ctx->umask : 0);
      setExitResult(0, msg, 6);
    }
    return 0;
  }
  if (char *extra = ozu_CmdNextName(&cmd))
    ozu_ExtraObjectsMsg(extra);
  const char *p = word;
  while (*p == ' ' || *p == '\t')
    ++p;
  long mask = 0;
  bool ok = *p != '\0';
  for (; ok && *p; ++p) {
    ok = *p >= '0' && *p <= '7';
    mask = mask * 8 + (*p - '0');
    ok = ok && mask <= 0777;
  }
  if (!ok) {
    std::string m = "*** Invalid umask value: `" + std::string(word) + "'";
    setExitResult(64, m.c_str(), 7);
    return 0;
  }
  int previous = ozu_EioRetry([&] { return quor_Umask(mode_t(mask)); });
  if (previous < 0) {
    // The old mask stays: the gateway still applies it.
    setExitResult(72, quor_perror(previous, verb, "keyset->curContext->umask (set)", nullptr), 2);
    return 0;
  }
  if (ctx)
    ctx->umask = int(mask);
  if (sesskeyset.curContext)
    sesskeyset.curContext->umask = int(mask);
  fprintf(listF, "umask: %3.3o -> %3.3o\n", previous, int(mask));
  return 0;
}
