// Times: touch.
#include <ctype.h>
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <utime.h>

#include <string>
#include <vector>

#include "ns_commands.h"
#include "ns_heredoc.h"
#include "ns_times.h"
#include "ozu_cmdframe.h"
#include "ozu_context.h"
#include "ozu_errors.h"
#include "ozu_getopt.h"
#include "ozu_glob.h"
#include "ozu_locks.h"
#include "ozu_log.h"
#include "ozu_paths.h"
#include "ozuvars.h"
#include "quor_api.h"

namespace {

enum {
  T_a = 1, T_c = 2, T_d = 4, T_f = 8, T_l = 0x10, T_m = 0x40, T_R = 0x80, T_r = 0x100,
  T_t = 0x200, T_x = 0x400,
};

struct utimbuf utime_parsed;
struct utimbuf utime_to_set;
quor_cos_hints_t hints;
quor_cos_priorities_t priorities;
int touchOpts = 0;
int requiredCos = 0;
mode_t createMode = 0644;

void touchUsage()
{
  fprintf(listF, "Usage: tou[ch] [-a]  [-c cosID] [-d date] [-f] [-l local file] [-M modebits] [-m] \n");
  fprintf(listF, "[-R] [-r QUOR file] [-t timestamp] [-x] path ...\n");
  fprintf(listF, "  -a  change the access time\n");
  fprintf(listF, "  -c  class of service for files created (auto: chosen by the gateway)\n");
  fprintf(listF, "  -d  time from a date string (deferred)\n");
  fprintf(listF, "  -f  no effect\n");
  fprintf(listF, "  -l  take the times of a local file\n");
  fprintf(listF, "  -M  octal creation mode for files created\n");
  fprintf(listF, "  -m  change the modification time\n");
  fprintf(listF, "  -R  descend directories\n");
  fprintf(listF, "  -r  take the times of another storage file\n");
  fprintf(listF, "  -t  time [[CC]YY]MMDDhhmm[.ss]\n");
  fprintf(listF, "  -x  do not create files that do not exist\n");
}

int countBits(uint32_t v)
{
  int n = 0;
  for (; v; v &= v - 1)
    ++n;
  return n;
}

int twoDigits(const char *p)
{
  if (!isdigit(static_cast<unsigned char>(p[0])) || !isdigit(static_cast<unsigned char>(p[1])))
    return -1;
  return (p[0] - '0') * 10 + (p[1] - '0');
}

// The times to set: chosen, or the object's own where -a or -m leaves it.
void choosePair(time_t curAccess, time_t curModified)
{
  bool a = touchOpts & T_a, m = touchOpts & T_m;
  utime_to_set.actime = (a || !m) ? utime_parsed.actime : curAccess;
  utime_to_set.modtime = (m || !a) ? utime_parsed.modtime : curModified;
}

void parentChanged(const char *path)
{
  std::string p = path;
  size_t cut = p.rfind('/');
  if (cut != std::string::npos)
    listVoidPath(cut == 0 ? "/" : p.substr(0, cut).c_str());
}

int createFile(const char *path)
{
  if (requiredCos == 0) {
    // A failed selection leaves no hints of another file behind.
    memset(&hints, 0, sizeof hints);
    memset(&priorities, 0, sizeof priorities);
    uint32_t subsys = ozu_GetParentSubsysID(path);
    ozu_context_t *ctx = keyset ? keyset->curContext : nullptr;
    if (ctx) {
      int rc = quorex_SelectCOS(ctx->namedCosList, 0, uid_t(ctx->curLogin.uid),
                                gid_t(ctx->curLogin.gid), ctx->curLogin.acctId, keyset->copies,
                                long(subsys), &hints, &priorities);
      if (rc < 0) {
        memset(&hints, 0, sizeof hints);
        memset(&priorities, 0, sizeof priorities);
      } else if (debug >= 1) {
        fprintf(listF, "/debug/auto-cos ID %d selected for %s\n", int(hints.COSId), path);
      }
    }
  }
  quor_cos_hints_t out;
  int rc = ozu_EioRetry([&] { return quor_Create(path, createMode, &hints, &priorities, &out); });
  if (rc < 0) {
    char msg[1200];
    snprintf(msg, sizeof msg, "*** Warning: (touch) Error %d: cannot create file %s", rc, path);
    setExitResult(72, msg, 7);
    return rc;
  }
  parentChanged(path);
  if (debug >= 1)
    fprintf(listF, "[touch: created new empty file %s]\n", path);
  return 0;
}

void touchOne(const char *path)
{
  quor_stat_t st;
  int rc = ozu_EioRetry([&] { return quor_Lstat(path, &st); });
  time_t curA, curM;
  if (rc == -2) {
    if (touchOpts & T_x) {
      if (debug >= 1)
        fprintf(listF, "/debug/file %s does not exist, and -x was set\n", path);
      return;
    }
    if (createFile(path) < 0)
      return;
    curA = curM = time(nullptr);
  } else if (rc < 0) {
    setExitResult(72, quor_perror(rc, verb, path, nullptr), 7);
    return;
  } else {
    // A link's times are its target's: the change goes there.
    if (S_ISLNK(st.st_mode)) {
      rc = ozu_EioRetry([&] { return quor_Stat(path, &st); });
      if (rc < 0) {
        setExitResult(72, quor_perror(rc, verb, path, nullptr), 7);
        return;
      }
    }
    curA = time_t(st.quor_st_atime);
    curM = time_t(st.quor_st_mtime);
  }
  choosePair(curA, curM);
  rc = ozu_EioRetry([&] { return quor_Utime(path, &utime_to_set); });
  if (rc < 0)
    setExitResult(72, quor_perror(rc, "(warning) -quor_Utime", path, nullptr), 7);
}

int touchEntCallback(ns_DirEntry_t *entry, int isdir, const char *, const char *fullPath)
{
  if (isdir || entry->Attrs.Type == 132)
    return 0;
  time_t curA = time_t(entry->Attrs.TimeLastRead), curM = time_t(entry->Attrs.TimeLastWritten);
  if (entry->Attrs.Type == 130) {
    quor_stat_t st;
    if (ozu_EioRetry([&] { return quor_Stat(fullPath, &st); }) == 0) {
      curA = time_t(st.quor_st_atime);
      curM = time_t(st.quor_st_mtime);
    }
  }
  choosePair(curA, curM);
  int rc = ozu_EioRetry([&] { return quor_Utime(fullPath, &utime_to_set); });
  if (rc == -2 && !(touchOpts & T_x)) {
    createFile(fullPath);
    return 0;
  }
  if (rc < 0)
    setExitResult(72, quor_perror(rc, verb, fullPath, nullptr), 7);
  return 0;
}

}  // namespace

int parseTimeString(const char *text, time_t *out)
{
  std::string s = text;
  int seconds = 0;
  size_t dot = s.rfind('.');
  if (dot != std::string::npos) {
    seconds = atoi(s.c_str() + dot + 1);
    s.resize(dot);
  }
  if (s.size() < 8) {
    fprintf(listF, "*** Time string '%s' is too short - cannot convert MMDDhhmm\n", text);
    return -1;
  }
  const char *tail = s.c_str() + s.size() - 8;
  int month = twoDigits(tail), day = twoDigits(tail + 2), hour = twoDigits(tail + 4),
      minute = twoDigits(tail + 6);
  if (month < 0 || day < 0 || hour < 0 || minute < 0) {
    fprintf(listF, "*** Error converting time string '%s - expected 'MMDDhhmm'\n", text);
    return -1;
  }
  if (month == 0)
    month = 1;
  std::string yearText = s.substr(0, s.size() - 8);
  int year;
  bool digits = true;
  for (char c : yearText)
    digits = digits && isdigit(static_cast<unsigned char>(c));
  if (yearText.empty()) {
    time_t now = time(nullptr);
    struct tm tmv;
    localtime_r(&now, &tmv);
    year = tmv.tm_year + 1900;
  } else if (digits && yearText.size() == 2) {
    year = 2000 + atoi(yearText.c_str());
  } else if (digits && yearText.size() == 4) {
    year = atoi(yearText.c_str());
  } else {
    fprintf(listF, "*** Error converting year for '%s' - must be 2 or 4 digits\n",
            yearText.c_str());
    return -1;
  }
  const struct {
    int value, low, high;
    const char *name;
  } fields[] = {
      {seconds, 0, 60, "seconds (.ss)"},  {minute, 0, 60, "minutes (mm)"},
      {hour, 0, 23, "hours (hh)"},        {day, 0, 31, "day-of-month (DD)"},
      {month, 1, 12, "months (MM)"},      {year, 1969, 2031, "year (YY)"},
  };
  for (const auto &f : fields)
    if (f.value < f.low || f.value > f.high) {
      fprintf(listF, "*** Bad value '%d' for '%s' in '%s'\n", f.value, f.name, text);
      return -1;
    }
  struct tm tmv;
  memset(&tmv, 0, sizeof tmv);
  tmv.tm_year = year - 1900;
  tmv.tm_mon = month - 1;
  tmv.tm_mday = day;
  tmv.tm_hour = hour;
  tmv.tm_min = minute;
  tmv.tm_sec = seconds;
  tmv.tm_isdst = -1;
  *out = mktime(&tmv);
  return 0;
}

int ozu_TouchCommand(char *cc, int cclen)
{
  ozu_cmd_t cmd(cc, cclen);
  if (cmd.argc == 0) {
    touchUsage();
    return 1;
  }
  memset(&utime_parsed, 0, sizeof utime_parsed);
  memset(&hints, 0, sizeof hints);
  memset(&priorities, 0, sizeof priorities);
  touchOpts = 0;
  requiredCos = 0;
  ozu_context_t *ctx = keyset ? keyset->curContext : nullptr;
  createMode = ctx ? ctx->fcreateMode : 0644;
  std::string localFile, storageFile, timeText;
  bool cosGiven = false;
  for (int c; (c = ozu_CmdOption(&cmd, "ac:d:fl:M:mRr:t:x", nullptr)) != OZU_OPT_END;) {
    switch (c) {
    case 'a': touchOpts |= T_a; break;
    case 'f': touchOpts |= T_f; break;
    case 'm': touchOpts |= T_m; break;
    case 'R': touchOpts |= T_R; break;
    case 'x': touchOpts |= T_x; break;
    case 'd': touchOpts |= T_d; break;
    case 'l': touchOpts |= T_l; localFile = ozu_optarg; break;
    case 'r': touchOpts |= T_r; storageFile = ozu_optarg; break;
    case 't': touchOpts |= T_t; timeText = ozu_optarg; break;
    case 'c': {
      if (strcasecmp(ozu_optarg, "auto") == 0)
        break;
      char *end = nullptr;
      long id = strtol(ozu_optarg, &end, 10);
      if (*ozu_optarg == '\0' || *end != '\0' || id <= 0 || id > 0x7fffffff) {
        fprintf(stderr, "*** bad Class of Service ID ignored: %s\n", ozu_optarg);
        break;
      }
      requiredCos = int(id);
      cosGiven = true;
      touchOpts |= T_c;
      break;
    }
    case 'M': {
      char *end = nullptr;
      long m = strtol(ozu_optarg, &end, 8);
      if (*ozu_optarg == '\0' || *end != '\0' || m < 0 || m > 0777)
        fprintf(stderr, "*** invalid invalid file create mode value: `%s' ignored\n", ozu_optarg);
      else
        createMode = mode_t(m);
      break;
    }
    default:
      fprintf(stderr, "Unknown option or missing argument: '%c' ignored\n",
              c == '?' || c == ':' ? ozu_optopt : c);
      break;
    }
  }
  std::vector<std::string> hereDoc;
  if (ozu_CmdKeywords(&cmd, OZU_KW_UNKNOWN_IS_NAME) < 0 || ns_HereDocNames(&cmd, &hereDoc) < 0)
    return 1;
  if (countBits(uint32_t(touchOpts & (T_d | T_l | T_r | T_t))) > 1) {
    setExitResult(64, "*** Conflicting -d,-l,-r or -t options. ", 7);
    return 1;
  }
  time_t chosen = time(nullptr);
  utime_parsed.actime = utime_parsed.modtime = chosen;
  if (touchOpts & T_d) {
    fprintf(listF, "*** -d option is deferred - need some code ! \n");
    fflush(listF);
    return 1;
  } else if (touchOpts & T_t) {
    if (parseTimeString(timeText.c_str(), &chosen) < 0) {
      setExitResult(64, nullptr, 0);
      return 1;
    }
    utime_parsed.actime = utime_parsed.modtime = chosen;
  } else if (touchOpts & T_l) {
    char expanded[4097];
    int rc = expandWorkerPath(localFile.c_str(), expanded, sizeof expanded);
    if (rc < 0) {
      std::string msg = "*** Error: bad pathname for local file: " + localFile;
      setExitResult(64, msg.c_str(), 7);
      return 1;
    }
    std::string path = rc > 0 ? expanded : localFile;
    struct stat st;
    char msg[4300];
    if (stat(path.c_str(), &st) < 0) {
      if (errno == ENOENT)
        snprintf(msg, sizeof msg, "*** Non-existent path: %s", path.c_str());
      else
        snprintf(msg, sizeof msg, "*** Error %d stat-ing local file: %s", errno, path.c_str());
      setExitResult(64, msg, 7);
      return 1;
    }
    if (S_ISDIR(st.st_mode)) {
      snprintf(msg, sizeof msg, "*** %s is a directory", path.c_str());
      setExitResult(64, msg, 7);
      return 1;
    }
    utime_parsed.actime = st.st_atime;
    utime_parsed.modtime = st.st_mtime;
  } else if (touchOpts & T_r) {
    char expanded[OZU_CMD_PATHLEN];
    if (ozu_CmdExpandPath(&cmd, storageFile.c_str(), expanded) < 0) {
      std::string msg = "*** Error: bad pathname: " + storageFile;
      setExitResult(64, msg.c_str(), 7);
      return 1;
    }
    quor_stat_t st;
    int rc = ozu_EioRetry([&] { return quor_Stat(expanded, &st); });
    char msg[1300];
    if (rc < 0 || S_ISDIR(st.st_mode)) {
      if (rc == -2)
        snprintf(msg, sizeof msg, "*** Non-existent path: %s", expanded);
      else if (rc < 0)
        snprintf(msg, sizeof msg, "*** Error %d stat-ing QUOR file: %s", rc, expanded);
      else
        snprintf(msg, sizeof msg, "*** %s is a directory", expanded);
      setExitResult(64, msg, 7);
      return 1;
    }
    utime_parsed.actime = time_t(st.quor_st_atime);
    utime_parsed.modtime = time_t(st.quor_st_mtime);
  }
  if (!cosGiven && keyset && !keyset->autocosFlag && keyset->cos > 0)
    requiredCos = keyset->cos;
  if (requiredCos > 0) {
    hints.COSId = uint32_t(requiredCos);
    priorities.COSIdPriority = 30;
    if (debug >= 1)
      fprintf(listF, "/debug/ setting REQUIRED_PRIORITY for cos ID %d\n", requiredCos);
  }
  char *word = ozu_CmdNextName(&cmd);
  if (word == nullptr) {
    missingObjectsMsg();
    return 1;
  }
  std::vector<std::string> dirs;
  ozu_each_t how;
  how.driveWord = false;
  how.match = [&](const globstruct_t &g) {
    if (g.dir) {
      dirs.push_back(g.name);
      if (!g.globbed && !(touchOpts & T_R)) {
        std::string msg = "*** Warning: `" + std::string(g.name) + "' is a directory - skipped";
        setExitResult(0, msg.c_str(), 7);
        return;
      }
    }
    touchOne(g.name);
  };
  how.done = [&] {
    if (touchOpts & T_R) {
      cmd.recurse = 1;
      for (const std::string &d : dirs)
        if (!interrupted)
          ozu_CmdWalk(&cmd, d.c_str(), touchEntCallback, nullptr, nullptr);
    }
    dirs.clear();
  };
  ozu_CmdEachMatch(&cmd, word, how);
  return 1;
}
