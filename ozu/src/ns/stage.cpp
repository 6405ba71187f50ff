// stage: copies files from tape to the top disk level ahead of their reads,
// through the stage scheduler (grouped by volume, in tape order), as
// background requests, or one by one in the foreground.
#include <fcntl.h>
#include <stdarg.h>
#include <stdlib.h>
#include <stdio.h>
#include <string.h>
#include <sys/time.h>
#include <time.h>

#include <string>
#include <vector>

#include "ns_commands.h"
#include "ns_heredoc.h"
#include "ozu_cmdframe.h"
#include "ozu_context.h"
#include "ozu_errors.h"
#include "ozu_getopt.h"
#include "ozu_glob.h"
#include "ozu_log.h"
#include "ozu_misc.h"
#include "ozurc.h"
#include "ozuvars.h"
#include "qel_threads.h"
#include "quor_api.h"
#include "quor_scheduler.h"

namespace {

#define STAGE_OPT_A 0x1
#define STAGE_OPT_N 0x2
#define STAGE_OPT_C 0x4
#define STAGE_OPT_I 0x8
#define STAGE_OPT_S 0x20
#define STAGE_OPT_W 0x40
#define STAGE_OPT_R 0x80

int optimized_stages = 0;
int background_stage_flag = 1;
int max_stages = 15;
int stageOptions = 0;
unsigned long stagedCount = 0;

void stageUsage()
{
  fprintf(listF, "Usage: sta[ge] [-i] [-m max] [-R] [-w] [path ...] [<<MARKER]\n");
  fprintf(listF, "  -A  stage through the scheduler: by volume, in tape order\n");
  fprintf(listF, "  -c  with the scheduler, return without waiting for the stages to complete\n");
  fprintf(listF, "  -i  with the scheduler, report each file as its stage completes\n");
  fprintf(listF, "  -m  the most stages per batch (0: the default of 15)\n");
  fprintf(listF, "  -N  do not use the scheduler\n");
  fprintf(listF, "  -w  stage each file in the foreground, waiting for it\n");
  fprintf(listF, "  -R  descend directories recursively\n");
  fprintf(listF, "  MARKER  sh-style here-document: the lines that follow hold path names\n");
  fprintf(listF, "          (wildcards allowed), up to a line that holds MARKER\n");
}

void stamp(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

// "hh:mm:ss " of the local time, then the text, flushed.
void stamp(const char *fmt, ...)
{
  time_t now = time(nullptr);
  struct tm t;
  localtime_r(&now, &t);
  fprintf(listF, "%2.2d:%2.2d:%2.2d ", t.tm_hour, t.tm_min, t.tm_sec);
  va_list ap;
  va_start(ap, fmt);
  vfprintf(listF, fmt, ap);
  va_end(ap);
  fflush(listF);
}

void ozu_GetStageCallbackAddr(bfs_callback_addr_t *addr)
{
  memset(addr, 0, sizeof *addr);
  if (debug >= 1)
    fprintf(stderr, "/debug/stage callback address: none (no completion report)\n");
}

// Stages one file by the mode in force; named says it came from the
// command line.
void stageOne(const char *path, bool named)
{
  if (optimized_stages) {
    ++stagedCount;
    int rc = quorex_SchedAddFile(path, nullptr, nullptr, nullptr, nullptr, nullptr);
    if (debug >= 2)
      fprintf(listF, "/debug/[%s]quorex_SchedAddFile returned %d for [%s]\n", "ozu_StageCommand",
              rc, path);
    if (rc < 0 && rc != -9 && named)
      setExitResult(72, quor_perror(rc, "quorex_SchedAddFile", path, nullptr), 7);
    return;
  }
  if (background_stage_flag) {
    bfs_callback_addr_t addr;
    ozu_GetStageCallbackAddr(&addr);
    quor_reqid_t reqId;
    bfs_bitfile_obj_handle_t bfId;
    memset(&reqId, 0, sizeof reqId);
    memset(&bfId, 0, sizeof bfId);
    int rc = ozu_EioRetry(
        [&] { return quor_StageCallBack(path, 0, 0, 0, &addr, 2, &reqId, &bfId); });
    if (rc < 0)
      setExitResult(72, quor_perror(rc, "quor_StageCallBack", path, nullptr), 7);
    return;
  }
  int fd = ozu_EioRetry([&] { return quor_Open(path, O_RDONLY, 0, nullptr, nullptr, nullptr); });
  if (fd < 0) {
    setExitResult(72, quor_perror(fd, named ? verb : "quor_Open", path, nullptr), 7);
    return;
  }
  int rc = ozu_EioRetry([&] { return quor_Stage(fd, 0, 0, 0, 3); });
  if (rc < 0)
    setExitResult(72, quor_perror(rc, "quor_Stage", path, nullptr), 7);
  rc = ozu_EioRetry([&] { return quor_Close(fd); });
  if (rc < 0)
    setExitResult(72, quor_perror(rc, "quor_Close", path, nullptr), 7);
}

int stageEntCallback(ns_DirEntry_t *ent, int isdir, const char *, const char *fullpath)
{
  if (interrupted)
    return -1;
  if (!isdir && ent->Attrs.Type != 132)
    stageOne(fullpath, false);
  return 0;
}

// The batches of a scheduled round, and the wait for them unless -c.
void runBatches()
{
  if (!quietFlag)
    ozu_ConsoleMessage("Stage Scheduler: optimizing stage queue");
  quorex_SchedSortQueue();
  if (debug >= 5)
    quorex_SchedDumpQueue(0);
  if (!(stageOptions & STAGE_OPT_S))
    ozu_ConsoleMessage("Stage Scheduler: initiating background stages");
  ozu_context_t *ctx = keyset ? keyset->curContext : nullptr;
  int flags = (ctx ? int(ctx->siteInfo.bg_stage_flags) : 0) | QUOR_SCHED_BACKGROUND;
  if (stageOptions & STAGE_OPT_I)
    flags |= QUOR_SCHED_MESSAGES;
  if (stageOptions & STAGE_OPT_S)
    stamp("Background staging initiated for %lu files\n", stagedCount);
  int queued = 0, ready = 0;
  int rc = quorex_SchedInitBGStage(flags, max_stages, ctx ? int(ctx->siteInfo.max_bg_vvs) : 0,
                                   nullptr, listF, &queued, &ready);
  if (debug >= 1)
    fprintf(listF, "/debug/[%s] bg stage call returned %d queued, %d already on disk\n",
            "ozu_StageCommand", queued, ready);
  if (rc < 0) {
    // No session runs: nothing was staged and there is nothing to wait for.
    setExitResult(72, quor_perror(rc, "quorex_SchedInitBGStage", "[starting the stages]", nullptr),
                  7);
    return;
  }
  if (stageOptions & STAGE_OPT_S)
    stamp("Background queuing completed for %d files (%d already on disk)\n", queued, ready);
  if (stageOptions & STAGE_OPT_C) {
    if (stageOptions & STAGE_OPT_S) {
      fprintf(listF, "-c specified: exiting command without waiting for stage completions\n");
      fflush(listF);
    }
    ozu_ConsoleMessage("");
    return;
  }
  ozu_ConsoleMessage("Waiting for stages to complete - ctrl-c to interrupt");
  if (stageOptions & STAGE_OPT_S) {
    ozugw_ThreadSleep(3, 0);
    ozu_ConsoleMessage("");
  }
  // An interrupt ends only the wait: the session goes on in the background.
  while (quorex_SchedSessionIsActive() && !interrupted)
    ozugw_ThreadSleep(1, 0);
  ozu_ConsoleMessage("");
  if (stageOptions & STAGE_OPT_S)
    stamp("Background staging completed - exiting command\n");
}

}  // namespace

int ozu_StageCommand(char *cc, int cclen)
{
  max_stages = 15;
  optimized_stages = globalDefs.enableAutoScheduling;
  background_stage_flag = 1;
  stageOptions = 0;
  stagedCount = 0;
  ozu_cmd_t cmd(cc, cclen);
  if (cmd.argc == 0) {
    stageUsage();
    return 1;
  }
  bool listEnded = false;
  for (int c; !listEnded && (c = ozu_CmdOption(&cmd, "ANciRm:sw", nullptr)) != OZU_OPT_END;) {
    switch (c) {
    case 'A': stageOptions |= STAGE_OPT_A; optimized_stages = 1; break;
    case 'N': stageOptions |= STAGE_OPT_N; optimized_stages = 0; break;
    case 'c': stageOptions |= STAGE_OPT_C; break;
    case 'i': stageOptions |= STAGE_OPT_I; break;
    case 's': stageOptions |= STAGE_OPT_S; break;
    case 'w': stageOptions |= STAGE_OPT_W; break;
    case 'R': stageOptions |= STAGE_OPT_R; break;
    case 'm': {
      char *end = nullptr;
      long v = strtol(ozu_optarg, &end, 10);
      max_stages = v < 0 ? 0 : v > 1000000 ? 1000000 : int(v);
      break;
    }
    default: listEnded = true; break;  // the words that follow are names
    }
  }
  ozu_context_t *ctx = keyset ? keyset->curContext : nullptr;
  int32_t siteMax = ctx ? int32_t(ctx->siteInfo.max_bg_stages) : 0;
  if (siteMax != 0) {
    max_stages = siteMax;
    if (debug >= 1)
      fprintf(listF, "/debug/using max background stage setting of %d from server\n", int(siteMax));
    if (siteMax < 0) {
      background_stage_flag = 0;
      if (debug >= 1)
        fprintf(listF, "/debug/server has disabled background staging\n");
    }
  }
  if (stageOptions & STAGE_OPT_W) {
    optimized_stages = 0;
    background_stage_flag = 0;
  }
  if (ozu_CmdKeywords(&cmd, OZU_KW_UNKNOWN_IS_NAME) < 0)
    return 1;
  if (cmd.nextName >= cmd.names.size()) {
    missingObjectsMsg();
    return 1;
  }
  if (optimized_stages) {
    if (stageOptions & STAGE_OPT_S)
      stamp("Background staging started - queueing files\n");
    if (quorex_SchedInitQueue(0) < 0) {
      fprintf(stderr, "*** Unable to initialize autoscheduling queue.\n");
      fprintf(stderr, "    Stages will not be optimized by VV/pos\n");
      optimized_stages = 0;
    } else if (!quietFlag) {
      ozu_ConsoleMessage("Stage Scheduler: getting path list");
    }
  }
  interrupted = 0;
  std::vector<std::string> hereDoc;
  if (ns_HereDocNames(&cmd, &hereDoc) < 0) {
    if (optimized_stages)
      quorex_SchedFreeQueue();
    return 1;
  }
  std::vector<std::string> dirs;
  ozu_each_t how;
  how.match = [&](const globstruct_t &g) {
    if (g.dir) {
      dirs.push_back(g.name);
      if (!g.globbed && !(stageOptions & STAGE_OPT_R)) {
        std::string msg = "*** Warning: `" + std::string(g.name) + "' is a directory - skipped";
        setExitResult(0, msg.c_str(), 7);
      }
      return;
    }
    stageOne(g.name, true);
  };
  how.done = [&] {
    if (stageOptions & STAGE_OPT_R) {
      cmd.recurse = 1;
      for (const std::string &d : dirs)
        if (!interrupted)
          ozu_CmdWalk(&cmd, d.c_str(), stageEntCallback, nullptr, nullptr);
    }
    dirs.clear();
  };
  ozu_CmdEachMatch(&cmd, ozu_CmdNextName(&cmd), how);
  if (!optimized_stages)
    return 1;
  if (interrupted) {
    fprintf(stderr, "*** Interrupt detected - background staging aborted\n");
    fflush(stderr);
    ozu_ConsoleMessage("");
    quorex_SchedFreeQueue();
    return 1;
  }
  runBatches();
  return 1;
}
