// Space usage and attribute dump: du and dump.
#include <ctype.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <string>
#include <vector>

#include "ns_commands.h"
#include "ns_usage.h"
#include "ozu_cmdframe.h"
#include "ozu_drive.h"
#include "ozu_errors.h"
#include "ozu_getopt.h"
#include "ozu_glob.h"
#include "ozu_log.h"
#include "ozu_paths.h"
#include "ozu_walk.h"
#include "ozuvars.h"
#include "quor_api.h"

namespace {

uint64_t dirTotal = 0, grandTotal = 0;
uint32_t fileCount = 0;
uint32_t beginTime = 0, endTime = 0, writtenTime = 0;
int blockSize = 512;
bool showAll = false;

void du_Usage()
{
  fprintf(listF, "Usage: du [-?] [-a] [-b date] [-e date] [-k] [-s] [-w] [ path ...]\n");
  fprintf(listF, "  -a  a line for every file counted\n");
  fprintf(listF, "  -b  count files written on or after date (mm/dd/yy[yy] or yy[yy]/mm/dd)\n");
  fprintf(listF, "  -e  count files written on or before date\n");
  fprintf(listF, "  -k  blocks of 1024 bytes (default 512)\n");
  fprintf(listF, "  -s  no effect\n");
  fprintf(listF, "  -w  n: count files written within the last n days\n");
}

void dumpUsage()
{
  fprintf(listF, "Usage: dump [-R] [-x] path ...\n  -R  :  recursively traverse directories in "
                 "the specified path(s)\n  -x  :  dump extended attributes for object\n\n");
}

void du_Tally(const char *objName, const quor_Attrs_t *a)
{
  if (a->Type != 129 && a->Type != 131) {
    if (debug > 1)
      fprintf(listF, "/debug/%s ignored (not file or hard link)\n", objName);
    return;
  }
  uint32_t t = a->TimeLastWritten;
  if (writtenTime && t < writtenTime) {
    if (debug > 1)
      fprintf(listF, "/debug/%s time last written < filter time, ignoring)\n", objName);
    return;
  }
  if (beginTime && t < beginTime) {
    if (debug > 1)
      fprintf(listF, "/debug/%s time last written < beginning time, ignoring)\n", objName);
    return;
  }
  if (endTime && t > endTime) {
    if (debug > 1)
      fprintf(listF, "/debug/%s time last written > ending time, ignoring)\n", objName);
    return;
  }
  ++fileCount;
  grandTotal += a->DataLength;
  dirTotal += a->DataLength;
  if (showAll)
    fprintf(listF, "%-s\t%s\n", format_Value(a->DataLength, blockSize).c_str(), objName);
}

int du_EntCallback(ns_DirEntry_t *entry, int, const char *, const char *fullPath)
{
  du_Tally(fullPath, &entry->Attrs);
  return 0;
}

std::string withCommas(uint64_t v)
{
  std::string digits = std::to_string(v), out;
  for (size_t i = 0; i < digits.size(); ++i) {
    if (i && (digits.size() - i) % 3 == 0)
      out += ',';
    out += digits[i];
  }
  return out;
}

const char *typeName(unsigned t)
{
  switch (t) {
  case 132: return "Directory";
  case 129: return "Regular File";
  case 130: return "Symbolic Link";
  case 131: return "Hard Link";
  default: return "UNKNOWN";
  }
}

std::string ctimeText(timestamp_sec_t t)
{
  time_t tt = time_t(t);
  char buf[64];
  struct tm tmv;
  if (localtime_r(&tt, &tmv) == nullptr || asctime_r(&tmv, buf) == nullptr)
    return "?\n";
  return buf;
}

// The object handle and the fileset handle share their fields, not their labels.
void handleFields(const ns_ObjHandle_t &h, bool fileset)
{
  if (!fileset) {
    fprintf(listF, "  Object ID.........................: %#lX\n", (unsigned long)h.ObjId);
    fprintf(listF, "  Object Hash .....................: %u\n", unsigned(h.ObjNsHash));
    fprintf(listF, "  File ID .........................: %#lX\n", (unsigned long)h.FileId);
    fprintf(listF, "  Hard Link Hash ..................: %u\n", unsigned(h.FileNsHash));
    fprintf(listF, "  Object Type (as an integer)......: %d\n", int(h.Type));
    fprintf(listF, "  Object Flags.....................: %#2.2x\n", unsigned(h.Flags));
    fprintf(listF, "  Generation.......................: %lu\n", (unsigned long)h.Generation);
    fprintf(listF, "  Core Server ID...................: %u\n", unsigned(h.CoreServerId));
    return;
  }
  fprintf(listF, "      Object ID......................: %#lX\n", (unsigned long)h.ObjId);
  fprintf(listF, "     Object Hash ..................: %u\n", unsigned(h.ObjNsHash));
  fprintf(listF, "     File ID ......................: %#lX\n", (unsigned long)h.FileId);
  fprintf(listF, "     Hard Link Hash ...............: %u\n", unsigned(h.FileNsHash));
  fprintf(listF, "     Object Type (as an integer)...: %d\n", int(h.Type));
  fprintf(listF, "     Object Flags..................: %#2.2x\n", unsigned(h.Flags));
  fprintf(listF, "     Generation....................: %lu\n", (unsigned long)h.Generation);
  fprintf(listF, "     Core Server ID................: %u\n", unsigned(h.CoreServerId));
}

void dumpEntry(const char *path, const quor_fileattr_t *fa)
{
  const quor_Attrs_t &a = fa->Attrs;
  const bool fileLike = a.Type == 129 || a.Type == 131;
  FILE *f = listF;
  fprintf(f, "  ----------------------------------------------------- \n");
  fprintf(f, "%s\n", path);
  fprintf(f, "CoreServer Attributes:\n");
  fprintf(f, "     Type: %d (%s)\n", int(a.Type), typeName(a.Type));
  fprintf(f, "     SubSystemId........................ %d\n", int(a.SubSystemId));
  fprintf(f, "     Realm Id: ......................... %d\n", int(a.RealmId));
  fprintf(f, "     Account............................ %ld\n", (long)a.Account);
  if (fileLike) {
    fprintf(f, "     ClassOfService..................... %d\n", int(a.COSId));
    fprintf(f, "     Bitfile Object Handle: \n");
    char *id = nullptr;
    SOID_ToString(&a.BitfileObj.BfId, &id);
    fprintf(f, "        BfId.BfId:  %s\n", id ? id : "");
    free(id);
    fprintf(f, "        BfId.Hash:      %u\n", unsigned(a.BitfileObj.BfHash));
    fprintf(f, "        BfId.ValidHash: %u\n", unsigned(a.BitfileObj.ValidHash));
    fprintf(f, "     DataLength.(bytes)............... %lu\n", (unsigned long)a.DataLength);
    fprintf(f, "     BFID (database format):  x'");
    const unsigned char *b = reinterpret_cast<const unsigned char *>(&a.BitfileObj.BfId);
    for (size_t i = 0; i < 19 && i < sizeof a.BitfileObj.BfId; ++i)
      fprintf(f, "%02x", b[i]);
    fprintf(f, "'\n");
  }
  fprintf(f, "     DontPurge.......................... %d\n", int(a.OptionFlags & 0x1));
  fprintf(f, "     Comment............................\n");
  if (a.Comment[0])
    fprintf(f, "      [%.*s]\n", int(sizeof a.Comment), a.Comment);
  fprintf(f, "     CompositePerms..................... 0x%8.8x\n", unsigned(a.CompositePerms));
  fprintf(f, "     EntryCount.......................... %d\n", int(a.EntryCount));
  fprintf(f, "     FamilyId..........................: 0x%8.8x\n", unsigned(a.FamilyId));
  fprintf(f, "     GID................................ %ld\n", (long)a.GID);
  fprintf(f, "     GroupPerms......................... 0x%8.8x\n", unsigned(a.GroupPerms));
  fprintf(f, "     LinkCount.......................... %ld\n", (long)a.LinkCount);
  fprintf(f, "     OtherPerms......................... 0x%8.8x\n", unsigned(a.OtherPerms));
  fprintf(f, "     ModePerms.......................... 0x%8.8x\n", unsigned(a.ModePerms));
  fprintf(f, "         SetUIDBit.,.................... %d\n", (a.ModePerms & 0x20) ? 1 : 0);
  fprintf(f, "         Set GID Flag,,................. %d\n", (a.ModePerms & 0x40) ? 1 : 0);
  fprintf(f, "         Set Sticky Bit................. %d\n", (a.ModePerms & 0x80) ? 1 : 0);
  fprintf(f, "     OptionFlags........................ 0x%8.8x\n", unsigned(a.OptionFlags));
  fprintf(f, "         Don't Purge.................... %d\n", int(a.OptionFlags & 0x1));
  fprintf(f, "     ExtendedACLs....................... 0x%8.8x\n", unsigned(a.ExtendedACLs));
  fprintf(f, "     RegisterBitMap..................... 0x%8.8x%8.8x\n",
          unsigned(a.RegisterBitMap >> 32), unsigned(a.RegisterBitMap & 0xffffffffu));
  fprintf(f, "     Time Created....................... %s", ctimeText(a.TimeCreated).c_str());
  fprintf(f, "     Time Modified...................... %s", ctimeText(a.TimeModified).c_str());
  fprintf(f, "     OpenCount:......................... %ld\n", (long)a.OpenCount);
  if (fileLike) {
    fprintf(f, "     ReadCount:.........................%ld\n", (long)a.ReadCount);
    fprintf(f, "     TimeLastRead....................... %s", ctimeText(a.TimeLastRead).c_str());
    fprintf(f, "     WriteCount:........................ %ld\n", (long)a.WriteCount);
    fprintf(f, "     TimeLastWritten.................... %s",
            ctimeText(a.TimeLastWritten).c_str());
  }
  fprintf(f, "     UID: %ld\n", (long)a.UID);
  fprintf(f, "     UserPerms: 0x%8.8x\n", unsigned(a.UserPerms));
  fprintf(f, " ---------\n");
  fprintf(f, "NS Object Handle Attributes:\n");
  handleFields(fa->ObjectHandle, false);
  fprintf(f, " ---------\n");
  fprintf(f, "FileSet Info..................... \n");
  fprintf(f, "   FilesetID.....................: %lu\n", (unsigned long)a.FilesetId);
  fprintf(f, "   FilesetRootId.................: %lu\n", (unsigned long)a.FilesetRootObjectId);
  fprintf(f, "   FilesetStateFlags.............: %#8.8x\n", unsigned(a.FilesetStateFlags));
  fprintf(f, "   FilesetType...................: %d\n", int(a.FilesetType));
  fprintf(f, "   FilesetHandle.................\n");
  handleFields(a.FilesetHandle, true);
}

int dumpOne(const char *path)
{
  quor_fileattr_t fa;
  int rc = ozu_EioRetry([&] { return quor_FileGetAttributes(path, &fa); });
  if (rc < 0) {
    setExitResult(72, quor_perror(rc, "quor_FileGetAttributes", path, nullptr), 7);
    return rc;
  }
  dumpEntry(path, &fa);
  return 0;
}

int dumpEntCallback(ns_DirEntry_t *, int, const char *, const char *fullPath)
{
  dumpOne(fullPath);
  return 0;
}

}  // namespace

std::string format_Value(uint64_t bytes, int size)
{
  return std::to_string(bytes / uint64_t(size) + (bytes % uint64_t(size) ? 1 : 0));
}

int cv_date(const char *text, time_t *out)
{
  long n[3];
  const char *p = text;
  for (int i = 0; i < 3; ++i) {
    if (!isdigit(static_cast<unsigned char>(*p)))
      return -1;
    char *end = nullptr;
    n[i] = strtol(p, &end, 10);
    if (n[i] == 0 || end - p > 4)
      return -1;
    p = end;
    if (i < 2) {
      if (*p != '/')
        return -1;
      ++p;
    }
  }
  if (*p != '\0')
    return -1;
  long year, month, day;
  if (n[0] >= 1990 || (n[0] >= 90 && n[0] <= 99)) {
    year = n[0];
    month = n[1];
    day = n[2];
  } else {
    month = n[0];
    day = n[1];
    year = n[2];
  }
  if (day >= 32 || month > 12)
    return -1;
  if (year >= 90 && year <= 99)
    year += 1900;
  else if (year < 1990 || year > 2099)
    return -1;
  struct tm tmv;
  memset(&tmv, 0, sizeof tmv);
  tmv.tm_year = int(year - 1900);
  tmv.tm_mon = int(month - 1);
  tmv.tm_mday = int(day);
  tmv.tm_isdst = -1;
  *out = mktime(&tmv);
  return 0;
}

uint32_t du_WrittenFilterTime(time_t now, long days)
{
  int64_t t = int64_t(now) - int64_t(days) * 86400;
  return t <= 0 ? 1 : (t > int64_t(UINT32_MAX) ? UINT32_MAX : uint32_t(t));
}

int ozu_DuCommand(char *cc, int cclen)
{
  beginTime = endTime = writtenTime = 0;
  blockSize = 512;
  showAll = false;
  ozu_cmd_t cmd(cc, cclen);
  bool usageShown = false;
  for (int c; (c = ozu_CmdOption(&cmd, "?ab:e:kpsw:", nullptr)) != OZU_OPT_END;) {
    switch (c) {
    case 'a': showAll = true; break;
    case 'k': blockSize = 1024; break;
    case 's': break;
    case 'p': fprintf(listF, "Unknown option ignored: %c\n", c); break;
    case 'b':
    case 'e': {
      time_t t;
      if (cv_date(ozu_optarg, &t) < 0 || t < 0) {
        std::string msg =
            std::string("*** illegal value for -") + char(c) + " option: " + ozu_optarg;
        setExitResult(64, msg.c_str(), 7);
        return 1;
      }
      (c == 'b' ? beginTime : endTime) = uint32_t(t);
      break;
    }
    case 'w': {
      char *end = nullptr;
      long days = strtol(ozu_optarg, &end, 10);
      if (*ozu_optarg == '\0' || *end != '\0' || days < 0) {
        std::string msg = std::string("*** illegal value for -w option: ") + ozu_optarg;
        setExitResult(64, msg.c_str(), 7);
        return 1;
      }
      // Files written in the last n days: the filter time is now - n days.
      writtenTime = du_WrittenFilterTime(time(nullptr), days);
      break;
    }
    default:
      if (!usageShown) {
        du_Usage();
        usageShown = true;
      }
      break;
    }
  }
  if (endTime && endTime < beginTime) {
    setExitResult(64, "*** du: ending time precedes beginning time", 7);
    return 1;
  }
  if (endTime && endTime < writtenTime) {
    setExitResult(64, "*** du: -w option specifies date beyond ending date specified by -e "
                      "option!", 7);
    return 1;
  }
  if (ozu_CmdKeywords(&cmd, OZU_KW_UNKNOWN_IS_NAME) < 0)
    return 1;
  dirTotal = grandTotal = 0;
  fileCount = 0;
  std::vector<std::string> words;
  for (char *w; (w = ozu_CmdNextName(&cmd)) != nullptr;)
    words.push_back(w);
  if (words.empty()) {
    if (usageShown)
      return 1;
    const char *cwd = getcwdQUOR(0);
    words.push_back(cwd && *cwd ? cwd : "/");
  }
  std::vector<std::string> dirs;
  ozu_each_t how;
  how.driveWord = false;
  how.match = [&](const globstruct_t &g) {
    const char *name = g.name;
    quor_Attrs_t a;
    int rc = ozu_EioRetry([&] { return quor_GetListAttrs(name, &a); });
    if (rc < 0) {
      setExitResult(72, quor_perror(rc, verb, name, nullptr), 7);
      return;
    }
    if (a.Type == 132)
      dirs.push_back(name);
    else
      du_Tally(name, &a);
  };
  how.done = [&] {
    for (const std::string &d : dirs) {
      if (interrupted)
        break;
      dirTotal = 0;
      readQUORdir(d.c_str(), 1, du_EntCallback, nullptr, nullptr);
      fprintf(listF, "%-s\t%s/\n", format_Value(dirTotal, blockSize).c_str(), d.c_str());
    }
    dirs.clear();
  };
  for (const std::string &word : words)
    if (interrupted || ozu_CmdEachMatchOf(&cmd, word.c_str(), how) < 0)
      break;
  fprintf(listF, "-----------------------\n");
  fprintf(listF, "%-s\ttotal %d-byte blocks, %d Files", format_Value(grandTotal, blockSize).c_str(),
          blockSize, int(fileCount));
  fprintf(listF, " (%s bytes)\n", withCommas(grandTotal).c_str());
  return 1;
}

int ozu_DumpCommand(char *cc, int cclen)
{
  ozu_cmd_t cmd(cc, cclen);
  if (cmd.argc == 0) {
    dumpUsage();
    return 1;
  }
  bool recurse = false;
  int i = 0;
  for (; i < cmd.argc && cmd.argv[i][0] == '-' && cmd.argv[i][1]; ++i)
    for (const char *p = cmd.argv[i] + 1; *p; ++p) {
      if (*p == 'R')
        recurse = true;
      else if (*p == 'x')
        fprintf(listF, "[this option has not yet been implemented - stay tuned]\n");
      else
        fprintf(errFile, "Unknown option or missing argument: '%c' ignored\n", *p);
    }
  ozu_optind = i;
  if (ozu_CmdKeywords(&cmd, OZU_KW_UNKNOWN_IS_NAME) < 0)
    return 1;
  char *word = ozu_CmdNextName(&cmd);
  if (word == nullptr) {
    missingObjectsMsg();
    return 1;
  }
  std::vector<std::string> dirs;
  ozu_each_t how;
  how.match = [&](const globstruct_t &g) {
    std::string abs = makeQUORpath(0, g.name);
    if (g.dir)
      dirs.push_back(abs);
    dumpOne(abs.c_str());
  };
  how.done = [&] {
    if (recurse) {
      cmd.recurse = 1;
      for (const std::string &d : dirs)
        if (!interrupted)
          ozu_CmdWalk(&cmd, d.c_str(), dumpEntCallback, nullptr, nullptr);
    }
    dirs.clear();
  };
  ozu_CmdEachMatch(&cmd, word, how);
  return 1;
}
