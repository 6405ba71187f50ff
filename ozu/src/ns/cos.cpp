// Classes of service: lscos lists them, chcos moves files to another one,
// under auto-scheduling volume by volume in tape order over the server's
// COS-change streams so that no tape is mounted twice.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "ns_commands.h"
#include "ns_heredoc.h"
#include "ozu_cmdframe.h"
#include "ozu_connect.h"
#include "ozu_context.h"
#include "ozu_drive.h"
#include "ozu_errors.h"
#include "ozu_firewall.h"
#include "ozu_getopt.h"
#include "ozu_glob.h"
#include "ozu_log.h"
#include "ozu_misc.h"
#include "ozu_util.h"
#include "ozurc.h"
#include "ozuvars.h"
#include "quor_api.h"
#include "quor_scheduler.h"

struct vvid_info_t {
  vvid_info_t *next;
  quoroid_t VVID;
  int isDisk;
  int fileCount;
  uint64_t totalBytes;
  int offsetIn;
  int countHandled;
};

namespace {

int optimized_scheduling = 0;
int autoCOS = 0;
uint32_t newCOS = 0;
int COSChangeThreadCount = -1;
uint32_t COSChangeStreamID = 0;
bool fixedStream = false;
std::vector<vvid_info_t *> vv_thread_table;
vvid_info_t *vv_list_head = nullptr;

void unknownOption(int c)
{
  fprintf(stderr, "Unknown option or missing argument: '%c' ignored\n",
          c == '?' || c == ':' ? ozu_optopt : c);
}

void lscosUsage()
{
  fprintf(listF, "Usage: lsc[os] [-n] [-N list_name] [drive ...]\n");
  fprintf(listF, "  With no arguments, general COS info is listed\n");
  fprintf(listF, "  -n  show the named COS lists available for the connection\n");
  fprintf(listF, "  -N  list the COS ids of the named COS list list_name\n");
  fprintf(listF, "  drive is one or more logical drive ids, e.g. \"lscos A: C:\"\n");
}

void chcosUsage()
{
  fprintf(listF, "Usage: chc[os] [-h] [-i subsysID] [-A] [-N] [-R] [-T count] [-Z] new_cos | auto  path ...\n");
  fprintf(listF, "  -A  enable auto-scheduling: files are changed volume by volume in tape order\n");
  fprintf(listF, "  -N  disable auto-scheduling\n");
  fprintf(listF, "  -R  descend directories recursively\n");
  fprintf(listF, "  -h  with -R, also descend a named symbolic link to a directory\n");
  fprintf(listF, "  -i  subsystem whose COS-change thread count is used (default 1)\n");
  fprintf(listF, "  -T  use at most count COS-change streams (lowered to the server's count)\n");
  fprintf(listF, "  -s  send every change to the COS-change stream id\n");
  fprintf(listF, "  -Z  accepted, no effect\n");
  fprintf(listF, "  new_cos must be a COS you may use on the connections of the paths (see lscos);\n");
  fprintf(listF, "  \"chcos 0\" is always permitted and takes files off the server's COS-change queue.\n");
  fprintf(listF, "  \"auto\" chooses the COS from the current settings for the COS list, number of\n");
  fprintf(listF, "  copies, account, group and user.\n");
}

ozu_context_t *sessionContext()
{
  return sesskeyset.curContext;
}

// Loads the current connection's class table into its own context: 0, or
// -1 after the message.
int loadCosTable()
{
  ozu_context_t *ctx = sessionContext();
  if (ctx == nullptr)
    return -1;
  if (ctx->cosEntryCount >= 0)
    return 0;
  int count = 0;
  cos_list_entry_t *list = nullptr;
  int rc = quorex_GetCOSList(1, 0, uid_t(ctx->curLogin.uid), gid_t(ctx->curLogin.gid),
                             ctx->curLogin.acctId, &count, &list);
  if (rc < 0) {
    setExitResult(64, quor_perror(rc, "quorex_GetCOSList", "[getting all COS entries]", nullptr), 7);
    return -1;
  }
  ctx->cosEntryCount = count;
  ctx->cosEntries = list;
  return 0;
}

int loadNamedLists()
{
  ozu_context_t *ctx = sessionContext();
  if (ctx == nullptr)
    return -1;
  if (ctx->cosNamedCount >= 0)
    return 0;
  uint32_t count = 0;
  char **lists = nullptr;
  int rc = quorex_GetNamedCOSLists(&count, &lists);
  if (rc < 0) {
    setExitResult(64, quor_perror(rc, "quorex_GetNamedCOSLists", "[getting Named COS entries]",
                                  nullptr), 7);
    return -1;
  }
  ctx->cosNamedCount = int(count);
  ctx->cosNameLists = lists;
  return 0;
}

void listGeneralCOSInfo()
{
  if (loadCosTable() < 0)
    return;
  ozu_context_t *ctx = sessionContext();
  static const char rule[] =
      "---------------------------------------------------------------------------------------";
  fprintf(listF, "%d QUOR Classes of Service defined \n", ctx->cosEntryCount);
  fprintf(listF, " COS        Name                     Exclusion Copies Subsys        Min - Max\n");
  fprintf(listF, " ID                                    Flags            IDs        Size   Size + 1\n");
  fprintf(listF, "%s \n", rule);
  for (int i = 0; i < ctx->cosEntryCount; ++i) {
    const cos_list_entry_t &e = ctx->cosEntries[i];
    std::string subsys;
    if (e.subsys_count <= 0) {
      subsys = "ALL";
    } else {
      for (int k = 0; k < e.subsys_count && e.subsys_id_list; ++k) {
        char id[32];
        snprintf(id, sizeof id, "%ld ", long(e.subsys_id_list[k]));
        if (subsys.size() + strlen(id) > 14)
          break;
        subsys += id;
      }
    }
    subsys.resize(14, ' ');
    char name[QUOR_COS_NAME_LEN + 1];
    snprintf(name, sizeof name, "%.*s", int(sizeof e.cos_entry.COSName), e.cos_entry.COSName);
    char lo[32], hi[32];
    convertU64ToStrWithSuffix(e.cos_entry.MinFileSize, lo);
    convertU64ToStrWithSuffix(e.cos_entry.MaxFileSize, hi);
    fprintf(listF, "%5d %-32s %c%c%c%c     %d    %s %s - %s\n", int(e.cos_entry.COSId), name,
            (e.flags & 1) ? 'U' : ' ', (e.flags & 2) ? 'G' : ' ', (e.flags & 4) ? 'A' : ' ',
            (e.flags & 8) ? 'N' : ' ', e.copies == 0 ? 1 : int(e.copies), subsys.c_str(), lo, hi);
  }
  fprintf(listF, "%s \n", rule);
  fprintf(listF, "Flags:  U/G/A - unavailable to current uid/gid/account   N-no auto assignment\n\n");
}

void listNamedCOSLists()
{
  if (loadNamedLists() < 0)
    return;
  ozu_context_t *ctx = sessionContext();
  fprintf(listF, "%d QUOR Class-of-Service Lists Defined:\n", ctx->cosNamedCount);
  for (int i = 0; i < ctx->cosNamedCount; ++i)
    fprintf(listF, "   %s\n", ctx->cosNameLists[i] ? ctx->cosNameLists[i] : "");
  fflush(listF);
}

void listNamedCOSDetail(const char *name)
{
  cos_namelist_entry_t entry = {0, nullptr};
  int rc = quorex_GetNamedCOSInfo(name, &entry);
  if (rc == -2) {
    setExitResult(64, "No such Named COS List defined (use lscos -n to view Named COS lists)", 7);
    return;
  }
  if (rc < 0) {
    setExitResult(64, quor_perror(rc, "listNamedCOSDetail", "[getting COS list entry]", nullptr), 7);
    return;
  }
  fprintf(listF, "\n\n%d QUOR Class-of-Service IDs defined for COS List \"%s\":\n",
          int(entry.count), name);
  for (uint32_t i = 0; i < entry.count && entry.cosEntries; ++i)
    fprintf(listF, "   %d\n", int(entry.cosEntries[i]));
  free(entry.cosEntries);
}

int soidsAreEqual(const quoroid_t *a, const quoroid_t *b)
{
  return memcmp(a, b, sizeof(quoroid_t)) == 0 ? 1 : 0;
}

int incrementVVEntryCount(const quoroid_t *vvid, int isDisk, uint64_t dataLength)
{
  for (vvid_info_t *v = vv_list_head; v; v = v->next) {
    if (soidsAreEqual(&v->VVID, vvid)) {
      v->fileCount++;
      v->totalBytes += dataLength;
      return 0;
    }
  }
  vvid_info_t *v = static_cast<vvid_info_t *>(calloc(1, sizeof(vvid_info_t)));
  if (v == nullptr) {
    ozu_MallocError(long(sizeof(vvid_info_t)), "incrementVVEntryCount", __FILE__, __LINE__);
    return -12;
  }
  memcpy(&v->VVID, vvid, sizeof(quoroid_t));
  v->isDisk = isDisk;
  v->fileCount = 1;
  v->totalBytes = dataLength;
  v->next = vv_list_head;
  vv_list_head = v;
  return 0;
}

void freeVVEntries()
{
  while (vv_list_head) {
    vvid_info_t *next = vv_list_head->next;
    free(vv_list_head);
    vv_list_head = next;
  }
}

// The class auto-selection picks for a file: 1 with *target, 0 when the
// selection failed (the file is passed over: no class is made up for it).
int selectCos(uint64_t size, uint32_t subsys, uint32_t *target)
{
  ozu_context_t *ctx = keyset ? keyset->curContext : nullptr;
  if (ctx == nullptr)
    return 0;
  quor_cos_hints_t hints;
  quor_cos_priorities_t prio;
  memset(&hints, 0, sizeof hints);
  memset(&prio, 0, sizeof prio);
  int rc = quorex_SelectCOS(ctx->namedCosList, size, uid_t(ctx->curLogin.uid),
                            gid_t(ctx->curLogin.gid), ctx->curLogin.acctId, keyset->copies,
                            long(subsys), &hints, &prio);
  if (rc < 0) {
    if (debug >= 1)
      fprintf(listF, "/debug/autocos selection failed (%d) for size %llu\n", rc,
              static_cast<unsigned long long>(size));
    return 0;
  }
  *target = hints.COSId;
  return 1;
}

// One file's class changed at once; exitCode for a failed change.
void changeDirect(const char *path, const quor_Attrs_t &attrs, int exitCode)
{
  uint32_t target = newCOS;
  if (autoCOS) {
    uint32_t picked = 0;
    if (!selectCos(attrs.DataLength, attrs.SubSystemId, &picked))
      return;
    target = picked != 0 ? picked : attrs.COSId;
  }
  if (attrs.COSId == target)
    return;
  uint32_t stream = COSChangeStreamID;
  int rc = ozu_EioRetry([&] { return quor_FileSetCOS(path, target, stream); });
  if (rc < 0)
    setExitResult(exitCode, quor_perror(rc, verb, path, nullptr), 7);
}

// Hands one file to the scheduler; named says it came from the command line.
void scheduleFile(const char *path, uint64_t dataLength, bool named)
{
  int fileRes = 0;
  quoroid_t vvid;
  memset(&vvid, 0, sizeof vvid);
  int rc = quorex_SchedAddFile(path, nullptr, &fileRes, nullptr, &vvid, nullptr);
  if (rc < 0) {
    if (named && rc != -9)
      setExitResult(72, quor_perror(rc, "quorex_SchedAddFile", path, nullptr), 7);
    return;
  }
  rc = incrementVVEntryCount(&vvid, fileRes, dataLength);
  if (rc < 0)
    setExitResult(72, quor_perror(rc, "incrementVVEntryCount", path, nullptr), 7);
}

int chcosEntCallback(ns_DirEntry_t *ent, int, const char *, const char *fullpath)
{
  if (interrupted)
    return -1;
  uint32_t type = ent->Attrs.Type;
  if (type != 129 && type != 131)
    return 0;
  if (optimized_scheduling && ent->Attrs.DataLength > 0)
    scheduleFile(fullpath, ent->Attrs.DataLength, false);
  else
    changeDirect(fullpath, ent->Attrs, 74);
  return 0;
}

// The scheduled phase: each volume to one stream slot, the slots visited in
// rotation, one change per visit.
void issueScheduled()
{
  if (!quietFlag)
    ozu_ConsoleMessage("chcos: optimizing stage queue");
  quorex_SchedSortQueue();
  if (debug >= 5)
    quorex_SchedDumpQueue(0);
  if (!quietFlag)
    ozu_ConsoleMessage("chcos: issuing chcos calls");
  int N = COSChangeThreadCount > 0 ? COSChangeThreadCount : 1;
  vvid_info_t *vv_next_entry = vv_list_head;
  int r = 0;
  bool ended = false;
  while (!interrupted && !ended) {
    vvid_info_t *vv = nullptr;
    for (int steps = 0; steps < N; ++steps) {
      if (vv_thread_table[r] == nullptr && vv_next_entry != nullptr) {
        vv_thread_table[r] = vv_next_entry;
        vv_next_entry = vv_next_entry->next;
      }
      if (vv_thread_table[r] != nullptr) {
        vv = vv_thread_table[r];
        break;
      }
      r = (r + 1) % N;
    }
    if (vv == nullptr)
      break;
    int offsetOut = 0;
    char *path = nullptr;
    quor_sched_handle_t handle;
    char volName[16] = "";
    int32_t relPos = 0;
    uint64_t size = 0;
    int rc = quorex_SchedGetQueueEntry(&vv->VVID, vv->offsetIn, &offsetOut, &path, &handle,
                                       volName, &relPos, &size);
    if (rc == -9) {
      setExitResult(0, "*** Warning: end of scheduler queue reached unexpectedly", 7);
      ended = true;
    } else if (rc < 0) {
      setExitResult(72, quor_perror(rc, "quorex_SchedGetQueueEntry", "", nullptr), 7);
    } else {
      uint32_t target = newCOS;
      bool issue = true;
      if (autoCOS) {
        quor_fileattr_t fa;
        int arc = quor_FileGetAttributes(path, &fa);
        if (arc < 0) {
          setExitResult(72, quor_perror(arc, "quor_FileGetAttributes", path, nullptr), 7);
          issue = false;
        } else {
          uint32_t picked = 0;
          // A failed selection, or none that fits, leaves the file's class.
          issue = selectCos(size, fa.Attrs.SubSystemId, &picked) && picked != 0;
          target = picked;
          if (issue && debug >= 2) {
            char sz[32];
            convertU64ToStrWithSuffix(size, sz);
            fprintf(listF, "/debug/autocos selected COS ID %d for %s,size=%s,vol=%s pos=%d\n",
                    int(target), path, sz, volName, int(relPos));
          }
        }
      }
      if (issue) {
        uint32_t stream = fixedStream ? COSChangeStreamID : uint32_t(r);
        std::string p = path;
        int src = ozu_EioRetry([&] { return quor_FileSetCOS(p.c_str(), target, stream); });
        if (src < 0)
          setExitResult(72, quor_perror(src, verb, p.c_str(), nullptr), 7);
      }
    }
    vv->offsetIn++;
    vv->countHandled++;
    if (vv->countHandled >= vv->fileCount)
      vv_thread_table[r] = nullptr;
    r = (r + 1) % N;
  }
}

// Reads a positive decimal number; false for anything else.
bool positive(const char *text, long *value)
{
  if (!ozu_AllDigits(text) || ozu_IntOverflows(text))
    return false;
  *value = strtol(text, nullptr, 10);
  return *value > 0;
}

}  // namespace

void convertU64ToStrWithSuffix(uint64_t value, char *out)
{
  static const struct {
    int shift;
    const char *unit;
  } units[] = {{60, "XB"}, {50, "PB"}, {40, "TB"}, {30, "GB"}, {20, "MB"}};
  for (const auto &u : units) {
    uint64_t size = uint64_t(1) << u.shift;
    if (value >= size && value % size == 0) {
      sprintf(out, "%d%s", int(value / size), u.unit);
      return;
    }
  }
  if (value >= 1024 && value < (uint64_t(1) << 20) && value % 1024 == 0)
    sprintf(out, "%dKB", int(value / 1024));
  else if (value >= 1 && value <= 1023)
    sprintf(out, "%dB", int(value));
  else
    sprintf(out, "%lu", static_cast<unsigned long>(value));
}

int ozu_LsCosCommand(char *cc, int cclen)
{
  ozu_cmd_t cmd(cc, cclen);
  bool named = false, usage = false;
  std::string listName;
  bool wantList = false;
  for (int c; !usage && (c = ozu_CmdOption(&cmd, "nN:", nullptr)) != OZU_OPT_END;) {
    if (c == 'n') {
      named = true;
    } else if (c == 'N') {
      listName = ozu_optarg;
      wantList = true;
    } else {
      lscosUsage();
      usage = true;
    }
  }
  if (ozu_CmdKeywords(&cmd, OZU_KW_UNKNOWN_IS_NAME) < 0)
    return 0;
  auto listings = [&] {
    if (!named && !wantList)
      listGeneralCOSInfo();
    if (named)
      listNamedCOSLists();
    if (wantList)
      listNamedCOSDetail(listName.c_str());
  };
  bool drives = false;
  for (char *word; (word = ozu_CmdNextName(&cmd)) != nullptr;) {
    drives = true;
    int letter = ozu_CmdDriveWord(word);
    if (letter == 0)
      continue;
    char drive[2] = {char(letter), '\0'};
    ozu_context_t *ctx = ozu_LookupContextByDrive(drive);
    if (ctx == nullptr) {
      log_NoConnectionForDrive(drive);
      continue;
    }
    if (ozu_SetCurConnection(ctx->handle) < 0) {
      log_ConnectionSwitchFailure(ctx);
      continue;
    }
    fprintf(listF, "\nDrive %c [%s]\n", ctx->driveLetter,
            ctx->quor_name ? ctx->quor_name : "unknown host");
    listings();
  }
  if (!drives && !usage) {
    fprintf(listF, "\n");
    listings();
  }
  return 0;
}

int ozu_ChcosCommand(char *cc, int cclen)
{
  optimized_scheduling = globalDefs.enableAutoScheduling;
  autoCOS = 0;
  newCOS = 0;
  COSChangeThreadCount = -1;
  COSChangeStreamID = 0;
  fixedStream = false;
  long subsysID = 1;
  ozu_cmd_t cmd(cc, cclen);
  if (cmd.argc == 0) {
    chcosUsage();
    return 1;
  }
  bool recurse = false, follow = false, limitGiven = false;
  long limit = 0;
  for (int c; (c = ozu_CmdOption(&cmd, "ANRhi:T:s:Z", nullptr)) != OZU_OPT_END;) {
    switch (c) {
    case 'A': optimized_scheduling = 1; break;
    case 'N': optimized_scheduling = 0; break;
    case 'R': recurse = true; break;
    case 'h': follow = true; break;
    case 'Z': break;
    case 'i':
      if (!positive(ozu_optarg, &subsysID)) {
        fprintf(stderr, "Bad value: %s for subsys ID\n", ozu_optarg);
        return 1;
      }
      break;
    case 'T':
      if (!positive(ozu_optarg, &limit)) {
        fprintf(stderr, "Bad value: %s for -T option\n", ozu_optarg);
        return 1;
      }
      limitGiven = true;
      break;
    case 's': {
      long v = 0;
      if (!ozu_AllDigits(ozu_optarg) || ozu_IntOverflows(ozu_optarg)) {
        fprintf(stderr, "Bad value: %s for -s option\n", ozu_optarg);
        return 1;
      }
      v = strtol(ozu_optarg, nullptr, 10);
      COSChangeStreamID = uint32_t(v);
      fixedStream = true;
      break;
    }
    default: unknownOption(c); break;
    }
  }
  if (ozu_CmdKeywords(&cmd, OZU_KW_UNKNOWN_IS_NAME) < 0)
    return 1;
  char *cosWord = ozu_CmdNextName(&cmd);
  if (cosWord == nullptr) {
    chcosUsage();
    return 1;
  }
  if (strcmp(cosWord, "auto") == 0) {
    autoCOS = 1;
  } else if (!ozu_AllDigits(cosWord) || ozu_IntOverflows(cosWord)) {
    // Read as 0 it would take the files off the change queue.
    std::string msg = std::string("*** Bad COS ID: ") + cosWord;
    setExitResult(64, msg.c_str(), 7);
    return 1;
  } else {
    newCOS = uint32_t(strtol(cosWord, nullptr, 10));
  }
  subsys_stats_t stats;
  memset(&stats, 0, sizeof stats);
  int rc = ozu_EioRetry([&] { return quor_GetSubSysStats(unsigned32(subsysID), &stats); });
  if (rc < 0) {
    char msg[200];
    snprintf(msg, sizeof msg, "*** Error %d trying to get subsys stats for subsytem %d", rc,
             int(subsysID));
    setExitResult(64, msg, 7);
    return 1;
  }
  int L = stats.COSChangeThreadCount == 0 ? 1 : int(stats.COSChangeThreadCount);
  if (fixedStream) {
    COSChangeThreadCount = 1;
    if (limitGiven)
      fprintf(stderr, "*** WARNING: -T option ignored when -s option specified\n");
    if (COSChangeStreamID >= uint32_t(L)) {
      COSChangeStreamID = uint32_t(L - 1);
      fprintf(stderr, "*** WARNING: -s value > max allowed for subsystem - changed to %d\n", L - 1);
    }
  } else if (limitGiven) {
    COSChangeThreadCount = int(limit);
  }
  if (optimized_scheduling) {
    if (COSChangeThreadCount < 0)
      COSChangeThreadCount = L;
    if (COSChangeThreadCount > L) {
      COSChangeThreadCount = L;
      if (debug >= 1)
        fprintf(listF, "/debug/COS-change thread count throttled back to %d\n", L);
    }
  }
  struct Cleanup {
    bool scheduler = false;
    std::vector<std::string> hereDoc;
    ~Cleanup()
    {
      if (scheduler)
        quorex_SchedFreeQueue();
      vv_thread_table.clear();
      freeVVEntries();
    }
  } cleanup;
  if (optimized_scheduling)
    vv_thread_table.assign(size_t(COSChangeThreadCount), nullptr);
  if (cmd.nextName >= cmd.names.size()) {
    missingObjectsMsg();
    return 1;
  }
  if (ns_HereDocNames(&cmd, &cleanup.hereDoc) < 0)
    return 1;
  if (optimized_scheduling) {
    if (quorex_SchedInitQueue(0) < 0) {
      fprintf(stderr, "*** Unable to initialize autoscheduling queue.\n");
      fprintf(stderr, "    chcos-s will not be optimized by VV/pos\n");
      optimized_scheduling = 0;
    } else {
      cleanup.scheduler = true;
      if (!quietFlag)
        ozu_ConsoleMessage("Stage Scheduler: getting path list");
    }
  }
  std::vector<std::string> dirs;
  ozu_each_t how;
  how.expanded = [&](const char *) {
    ozu_context_t *ctx = sessionContext();
    if (autoCOS || newCOS == 0 || ctx == nullptr || ctx->curLogin.uid == ctx->rootUid)
      return true;
    char msg[300];
    cos_list_entry_t *e = ozu_cos_lookupID(int(newCOS));
    if (e == nullptr) {
      if (ctx->cosEntryCount >= 0)
        fprintf(listF, "*** Class of Service ID %d is unavailable for logical drive %c\n",
                int(newCOS), ctx->driveLetter);
      return false;
    }
    if (e->flags & 7) {
      snprintf(msg, sizeof msg,
               "*** COS %d: Bad ID or not available to user %d,group %d, account %ld\n",
               int(newCOS), ctx->curLogin.uid, ctx->curLogin.gid, long(ctx->curLogin.acctId));
      fputs(msg, listF);
      return false;
    }
    return true;
  };
  how.match = [&](const globstruct_t &g) {
    if (g.dir) {
      dirs.push_back(g.name);
      if (!g.globbed && !recurse) {
        std::string msg = "*** Warning: `" + std::string(g.name) + "' is a directory - skipped";
        setExitResult(0, msg.c_str(), 7);
      }
      return;
    }
    quor_fileattr_t fa;
    int arc = ozu_EioRetry([&] { return quor_FileGetAttributes(g.name, &fa); });
    if (arc < 0) {
      setExitResult(72, quor_perror(arc, "quor_FileGetAttributes", g.name, nullptr), 7);
      return;
    }
    uint32_t type = fa.Attrs.Type;
    if (type == 132) {
      if (follow)
        dirs.push_back(g.name);
    } else if (type == 129 || type == 131) {
      if (g.symlink) {
        if (debug >= 1)
          fprintf(listF, "/debug/skipping symbolic link [%s]\n", g.name);
      } else if (optimized_scheduling && fa.Attrs.DataLength > 0) {
        scheduleFile(g.name, fa.Attrs.DataLength, true);
      } else {
        changeDirect(g.name, fa.Attrs, 72);
      }
    } else if (!g.globbed) {
      std::string msg = "*** Can't change COS for non-file/non-hardlink object `" +
                        std::string(g.name) + "'";
      setExitResult(72, msg.c_str(), 7);
    }
  };
  how.done = [&] {
    if (recurse) {
      cmd.recurse = 1;
      for (const std::string &d : dirs)
        if (!interrupted)
          ozu_CmdWalk(&cmd, d.c_str(), chcosEntCallback, nullptr, nullptr);
    }
    dirs.clear();
  };
  ozu_CmdEachMatch(&cmd, ozu_CmdNextName(&cmd), how);
  if (optimized_scheduling && !interrupted)
    issueScheduled();
  if (!quietFlag && optimized_scheduling)
    ozu_ConsoleMessage("");
  return 1;
}
