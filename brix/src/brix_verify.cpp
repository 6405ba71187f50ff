// The verify operation (-K) and the check right after a create: pass 1
// gathers the entries to check into ranges, pass 2 checks the consistency
// file and verifies each range (brix_VerifyFileRange); the counters become
// the summary, the per-kind lines and the exit code.
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <string>

#include "brix_extract.h"
#include "brix_blockio.h"
#include "brix_xfer.h"
#include "brix_store_file.h"
#include "brix_filespec.h"

namespace {

struct timeval startTv, endTv;
struct rusage startRu, endRu;

double secondsOf(const struct timeval& tv) { return double(tv.tv_sec) + double(tv.tv_usec) / 1e6; }

int64_t objectTotal(const verifyStats_t* s) {
  return s->totalFileObjects + s->totalDirObjects + s->totalHardLinkObjects + s->totalSymlinkObjects;
}

bool startClock(const char* fn) {
  gettimeofday(&startTv, nullptr);
  if (getrusage(RUSAGE_SELF, &startRu) != 0) {
    brix_Log(BRIX_MSG_ERROR, "%s: error %d on getrusage call - terminating\n", fn, errno);
    brix_SetExitCode(71);
    return false;
  }
  return true;
}

void stopClock() {
  gettimeofday(&endTv, nullptr);
  getrusage(RUSAGE_SELF, &endRu);
}

void sizeMismatch(uint64_t real, uint64_t recorded) {
  brix_Log(BRIX_MSG_ERROR, "[FATAL] Archive file %s size = %lu\n       is inconsistent with size of %lu from Index File %s\n",
           brix_archive, (unsigned long)real, (unsigned long)recorded,
           brix_index_filename ? brix_index_filename : "");
  brix_SetExitCode(72);
}

}  // namespace

int64_t brix_VerifyErrorTotal(const verifyStats_t* s) {
  return s->indexErrors + s->tarHdrErrors + s->dirErrors + s->fileErrors + s->crcErrors + s->compareErrors;
}

int64_t setExitCodeIfErrors(const verifyStats_t* s) {
  int64_t total = brix_VerifyErrorTotal(s);
  if (total > 0) brix_SetExitCode(65);
  return total;
}

void displayErrorStats(FILE* out, const verifyStats_t* s) {
  int64_t errors = brix_VerifyErrorTotal(s);
  char line[600];
  snprintf(line, sizeof line,
           "%s: Verify complete. %ld total errors, %ld total objects (%ld Files,%ld Dirs,%ld Hard Links,%ld symlinks) wallclock/user/sys: %.3f %.3f %.3f seconds",
           errors == 0 ? "BRIX" : "ERROR", long(errors), long(objectTotal(s)), long(s->totalFileObjects),
           long(s->totalDirObjects), long(s->totalHardLinkObjects), long(s->totalSymlinkObjects),
           brix_DiffTimeval(&endTv, &startTv), secondsOf(endRu.ru_utime) - secondsOf(startRu.ru_utime),
           secondsOf(endRu.ru_stime) - secondsOf(startRu.ru_stime));
  brix_LogMsg(BRIX_MSG_LOGONLY, BRIX_LOG_SELECT_MSG, line);
  if (errors == 0 && brix_debug_level == 0 && !(brix_option_flags & (BRIX_OPT_VERBOSE | BRIX_OPT_SLIGHTLY_VERBOSE)))
    return;
  fprintf(out, "%s\n", line);
  struct row {
    int64_t count;
    const char* text;
    bool dir;
  } rows[] = {{s->crcErrors, " ....... %ld CRC Errors", false},
              {s->compareErrors, " ....... %ld Compare Errors", false},
              {s->tarHdrErrors, " ....... %ld Tar Header Errors", false},
              {s->indexErrors, " .......  %ld Index Entry Errors", false},
              {s->fileErrors, " ....... %ld local file open/read error(s)]", false},
              {s->dirErrors, " ....... %ld Directory entry errors", true},
              {s->symlinkErrors, " ....... %ld Symbolic Link errors", false}};
  for (const row& r : rows) {
    if (r.count <= 0) continue;
    char text[200];
    snprintf(text, sizeof text, r.text, long(r.count));
    fprintf(out, "%s:  %s\n", "BRIX", text);
    brix_Log(r.dir ? BRIX_MSG_BRIX : BRIX_MSG_ERROR, "%s:  %s\n", "BRIX", text);
  }
  fflush(out);
}

int brix_Verify(void) {
  static const char* fn = "brix_Verify";
  int result = -1;
  int archiveFd = -1, indexFd = -1;
  ix_List_t ranges;
  verifyStats_t stats = {};
  FILE* listFile = (brix_option_flags & BRIX_OPT_TO_STDOUT) ? stderr : stdout;
  if (!startClock(fn)) goto end;
  if (brix_GenFilelist() != 0) goto end;
  if (brix_filetype == BRIX_PIPE) {
    brix_Log(BRIX_MSG_ERROR, "%s: please use regular tar to read piped Archive Files\n", fn);
    goto end;
  }
  if (!brix_ResidencySupported(brix_filetype)) goto end;
  {
    struct stat st;
    if (brix_GetArchiveXAttrs(brix_filetype, &st) != 0) goto end;
    if (brix_filetype == BRIX_QUOR_FILE && brix_ReadArchiveStripes() != 0) goto end;
    console_message("reading index file", "");
    indexFd = brix_OpenIndexFile(brix_index_filename, O_RDONLY, brix_IndexOpenResidency());
    if (indexFd < 0) goto end;
    if (brix_CopyIndexToLocal(&indexFd) != 0) goto end;
    uint64_t real = uint64_t(st.st_size);
    uint64_t recorded = brix_index_hdr.bif_cfinfo.bif_tarsize;
    if (recorded != real) {
      sizeMismatch(real, recorded);
      goto end;
    }
    brix_archive_filesize = real;
    brix_archive_blocks = real / 512;
    bool nonBrix = (brix_index_hdr.bif_flags & BIF_FLAG_NOT_BRIX) != 0;
    uint64_t entries = std::min<uint64_t>(brix_index_hdr.obj_count, brix_index_entries);
    uint64_t visit = nonBrix ? entries : (entries > 0 ? entries - 1 : 0);
    if (brix_IndexReadInit() != 0) goto end;

    brix_SetProgramPhase(BTP_VERIFY_PASS1);
    if (brix_option_flags & BRIX_OPT_STATUS_FIFO) brix_StatusMsg(0, "Opening Files");
    bool relNoted = false;
    for (uint64_t n = 0; n < visit && !brix_shutdown_signalled; n++) {
      if (brix_option_flags & BRIX_OPT_STATUS_FIFO) brix_StatusMsg(0, "Reading index entry %ld", long(n + 1));
      bif_entry_t* e = nullptr;
      int endFlag = 0;
      if (brix_IndexFileRead(indexFd, brix_IndexResidency(), 0, &e, &endFlag) != 0) goto end;
      if (endFlag) break;
      if (n == 0 && memcmp(e->bent_sanity, "BRIX_IDX", 8) != 0) {
        brix_Log(BRIX_MSG_ERROR, "Hmmm- %s does not appear to be a file created by brix.\n", brix_index_filename);
        brix_SetExitCode(72);
        goto end;
      }
      if (e->bent_flags >= BENT_FLAG_DELETED) {
        if (brix_debug_level > 0) fprintf(stderr, "/debug/skipping deleted or phantom index entry %ld\n", long(n + 1));
        continue;
      }
      if (brix_FileListEntries > 0 && !brix_IndexEntryWasSelected(e)) continue;
      if (e->bent_type == BTO_UNKNOWN || e->bent_type >= BTO_BAD_TYPE) {
        brix_Log(BRIX_MSG_ERROR, "Cannot verify unrecognized object type: %d Index Entry %ld\n", int(e->bent_type),
                 long(n + 1));
        continue;
      }
      char path[300];
      brix_FormIxEntryPathname(e, path);
      if ((brix_option_flags & BRIX_OPT_RELPATHS) && path[0] == '/') {
        if (brix_debug_level >= 1 && !relNoted) {
          fprintf(stderr, "%s: will convert absolute to relative path names\n", "BRIX");
          relNoted = true;
        }
        const char* rest = path;
        while (*rest == '/') rest++;
        if (!*rest) {
          if (brix_debug_level > 0) fprintf(stderr, "Skipping standalone root directory: [%s]\n", path);
          continue;
        }
      }
      if (brix_option_flags & BRIX_OPT_INTERACTIVE) {
        console_message("", "");
        int answer = brix_GetYesNo("extract", nullptr, path);
        if (answer == 2) continue;
        if (answer == 4) break;
        if (answer == 3) brix_option_flags &= ~BRIX_OPT_INTERACTIVE;
      }
      if (!brix_MemberInsideArchive(e, real)) {
        brix_Log(BRIX_MSG_ERROR,
                 "Fatal: Index entry %ld (member file %s) extends past end of archive\n- must recreate index with 'brix -X' command\n",
                 long(n + 1), path);
        brix_SetExitCode(72);
        goto end;
      }
      if (!brix_MemberBlocksFit(e)) {
        brix_Log(BRIX_MSG_ERROR,
                 "Fatal: Index entry %ld (member file %s) has %u blocks for %lu bytes\n- must recreate index with 'brix -X' command\n",
                 long(n + 1), path, unsigned(e->bent_blocks), (unsigned long)e->bent_fsize);
        brix_SetExitCode(72);
        goto end;
      }
      if (brix_AddIxListEntry(&ranges, e, n, 0) != 0) {
        brix_Log(BRIX_MSG_ERROR, "Fatal malloc error creating index entry list\n");
        goto end;
      }
    }
    if (brix_shutdown_signalled) goto end;
    if (!ranges.head) {
      if (brix_debug_level > 0) fprintf(stderr, "/debug/ no index entries were selected for verifying \n");
      result = 0;
      goto end;
    }

    brix_SetProgramPhase(BTP_VERIFY_PASS2);
    if (brix_option_flags & BRIX_OPT_STATUS_FIFO) {
      brix_StatusMsg(1, "VERIFY-OPEN_FILES");
      brix_StatusMsg(1, "Pass2 - Opening files");
    }
    console_message("Opening archive file", "");
    struct stat ast;
    brix_NoteTapeFetch();
    archiveFd = brix_OpenArchiveFile(O_RDONLY, &ast);
    if (archiveFd >= 0 && brix_filetype == BRIX_QUOR_FILE && brix_ReadArchiveStripes() != 0) goto end;
    if (archiveFd < 0) goto end;
    if (brix_option_flags & BRIX_OPT_STATUS_FIFO) brix_StatusMsg(0, "Pass2 - Verify Consistency File");
    if (nonBrix) {
      brix_Log(BRIX_MSG_INFO, "Archive file %s was not created by BRIX - skipping consistency file check\n", brix_archive);
    } else if (brix_VerifyConsistencyFile(archiveFd, brix_filetype, indexFd, brix_IndexResidency()) != 0) {
      goto end;
    }
    if (brix_IndexFileRewind(indexFd, brix_IndexResidency()) != 0) {
      brix_Log(BRIX_MSG_ERROR, "Fatal error rewinding index file. Cannot continue...\n");
      goto end;
    }
    console_message("Verifying archive file entries", "");
    for (ix_ListEntry_t* r = ranges.head; r; r = r->next) {
      if (brix_option_flags & BRIX_OPT_STATUS_FIFO)
        brix_StatusMsg(0, "Pass2 - Read Index Group %ld-%ld", long(r->ixStart), long(r->ixEnd));
      if (brix_IndexFilePosition(indexFd, brix_IndexResidency(), r->ixStart) != 0) {
        brix_Log(BRIX_MSG_ERROR, "%s: Fatal error positioning index file to entry %ld.\n", fn, long(r->ixStart));
        goto end;
      }
      if (brix_VerifyFileRange(0, archiveFd, brix_filetype, indexFd, brix_IndexResidency(), r->ixStart, r->ixCount,
                               r->ixStartBlock, r->ixEndBlock, &stats) != 0)
        goto end;
      setExitCodeIfErrors(&stats);
    }
  }
  stopClock();
  displayErrorStats(listFile, &stats);
  result = brix_exit_code;

end:
  fflush(stdout);
  brix_PrintClosingLine(listFile, result);
  fflush(listFile);
  if (archiveFd >= 0 && brix_CloseFile(archiveFd, brix_filetype) != 0)
    brix_Log(BRIX_MSG_ERROR, "%s: Error %d closing %s Archive file %s\n", fn, errno, "local", brix_archive);
  if (indexFd >= 0 && brix_CloseFile(indexFd, brix_IndexResidency()) != 0)
    brix_Log(BRIX_MSG_ERROR, "%s: Error %d closing %sindex file %s\n", fn, errno, "local", brix_index_filename);
  brix_FreeIxList(&ranges);
  brix_LocalReadRelease();
  console_message("", "");
  return result == 0 ? 0 : -1;
}

int brix_PostXferVerify(void) {
  static const char* fn = "brix_PostXferVerify";
  int result = -1;
  int archiveFd = -1;
  ix_List_t ranges;
  verifyStats_t stats = {};
  FILE* listFile = (brix_option_flags & BRIX_OPT_TO_STDOUT) ? stderr : stdout;
  int indexFd = brix_tmpIndexFD;
  if (!startClock(fn)) goto end;
  if (brix_archive_fd >= 0) {
    if (close(brix_archive_fd) != 0)
      brix_Log(BRIX_MSG_ERROR, "%s: Error %d closing %s Archive file %s\n", fn, errno, "local", brix_archive);
    brix_archive_fd = -1;
  }
  {
    struct stat st;
    if (brix_GetArchiveXAttrs(brix_filetype, &st) != 0) goto end;
    if (brix_filetype == BRIX_QUOR_FILE && brix_ReadArchiveStripes() != 0) goto end;
    console_message("reading index file", " (PostXfer Verify)");
    uint64_t real = uint64_t(st.st_size);
    uint64_t recorded = brix_index_hdr.bif_cfinfo.bif_tarsize;
    if (recorded != real) {
      sizeMismatch(real, recorded);
      goto end;
    }
    if (recorded != brix_archive_filesize) {
      brix_Log(BRIX_MSG_ERROR, "Internal error in %s. brix_archive_filesize (%lu)\n", fn, (unsigned long)brix_archive_filesize);
      brix_Log(BRIX_MSG_ERROR, "       is inconsistent with size of %lu from Index File header\n", (unsigned long)recorded);
      brix_SetExitCode(72);
      goto end;
    }
    if (recorded / 512 != brix_archive_blocks) {
      brix_Log(BRIX_MSG_ERROR, "Internal error in %s. brix_archive_blocks (%lu)\n", fn, (unsigned long)brix_archive_blocks);
      brix_Log(BRIX_MSG_ERROR, "       is inconsistent with block count of %lu from Index File header\n",
               (unsigned long)(recorded / 512));
      brix_SetExitCode(72);
      goto end;
    }
    if (brix_IndexFileRewind(indexFd, brix_IndexResidency()) != 0) {
      brix_Log(BRIX_MSG_ERROR, "Fatal error rewinding index file. Cannot continue...\n");
      goto end;
    }
    bool nonBrix = (brix_index_hdr.bif_flags & BIF_FLAG_NOT_BRIX) != 0;
    uint64_t entries = brix_index_entries;
    uint64_t visit = nonBrix ? entries : (entries > 0 ? entries - 1 : 0);
    for (uint64_t n = 0; n < visit && !brix_shutdown_signalled; n++) {
      bif_entry_t* e = nullptr;
      int endFlag = 0;
      if (brix_IndexFileRead(indexFd, brix_IndexResidency(), 0, &e, &endFlag) != 0) goto end;
      if (endFlag) break;
      uint32_t t = e->bent_type;
      if (t == BTO_UNKNOWN || t >= BTO_BAD_TYPE) {
        brix_Log(BRIX_MSG_ERROR, "Internal error. Cannot verify unrecognized object type: %d Index Entry %ld\n", int(t), long(n));
        stats.indexErrors++;
        brix_SetExitCode(72);
        continue;
      }
      if ((t == BTO_FILE || t == BTO_HARDLINK) && brix_GetMemberFileXferSuccess(int64_t(n)) != 0) {
        if (brix_debug_level > 0) fprintf(stderr, "/debug/skipping deleted or phantom index entry %ld\n", long(n));
        continue;
      }
      if (!brix_MemberBlocksFit(e)) {
        char path[300];
        brix_FormIxEntryPathname(e, path);
        brix_Log(BRIX_MSG_ERROR,
                 "Fatal: Index entry %ld (member file %s) has %u blocks for %lu bytes\n- must recreate index with 'brix -X' command\n",
                 long(n + 1), path, unsigned(e->bent_blocks), (unsigned long)e->bent_fsize);
        brix_SetExitCode(72);
        goto end;
      }
      if (brix_AddIxListEntry(&ranges, e, n, 0) != 0) {
        brix_Log(BRIX_MSG_ERROR, "Fatal malloc error creating index entry list\n");
        goto end;
      }
    }
    if (brix_shutdown_signalled) goto end;
    if (!ranges.head) {
      result = brix_VerifyErrorTotal(&stats) == 0 ? 0 : -1;
      goto end;
    }
    console_message("Rewinding archive file", "");
    struct stat ast;
    brix_NoteTapeFetch();
    archiveFd = brix_OpenArchiveFile(O_RDONLY, &ast);
    if (archiveFd >= 0 && brix_filetype == BRIX_QUOR_FILE && brix_ReadArchiveStripes() != 0) goto end;
    if (archiveFd < 0) goto end;
    if (nonBrix) {
      brix_Log(BRIX_MSG_INFO, "Archive file %s was not created by BRIX - skipping consistency file check\n", brix_archive);
    } else if (brix_VerifyConsistencyFile(archiveFd, brix_filetype, indexFd, brix_IndexResidency()) != 0) {
      goto end;
    }
    uint64_t pos = 0;
    if (brix_PositionFile(archiveFd, brix_filetype, 0, SEEK_SET, 0, &pos) != 0) {
      brix_Log(BRIX_MSG_ERROR, "Fatal error rewinding archive file. Cannot continue...\n");
      goto end;
    }
    if (brix_IndexFileRewind(indexFd, brix_IndexResidency()) != 0) {
      brix_Log(BRIX_MSG_ERROR, "Fatal error rewinding index file. Cannot continue...\n");
      goto end;
    }
    console_message("Verifying archive file entries", "");
    uint32_t flags = (brix_option_flags & BRIX_OPT_CRC) ? BRIX_VFY_CREATE_CRCS : 0;
    for (ix_ListEntry_t* r = ranges.head; r; r = r->next) {
      if (brix_IndexFilePosition(indexFd, brix_IndexResidency(), r->ixStart) != 0) {
        brix_Log(BRIX_MSG_ERROR, "%s: Fatal error positioning index file to entry %ld.\n", fn, long(r->ixStart));
        goto end;
      }
      if (brix_VerifyFileRange(flags, archiveFd, brix_filetype, indexFd, brix_IndexResidency(), r->ixStart, r->ixCount,
                               r->ixStartBlock, r->ixEndBlock, &stats) != 0)
        goto end;
      setExitCodeIfErrors(&stats);
    }
  }
  stopClock();
  displayErrorStats(listFile, &stats);
  result = brix_VerifyErrorTotal(&stats) == 0 ? 0 : -1;

end:
  if (archiveFd >= 0) brix_CloseFile(archiveFd, brix_filetype);
  if (brix_IndexFileRewind(indexFd, brix_IndexResidency()) != 0)
    brix_Log(BRIX_MSG_ERROR, "%s: Error %d rewinding %sindex file %s (postVerify termination)\n", fn, errno, "local ",
             brix_tmpIndexFile ? brix_tmpIndexFile : "");
  brix_FreeIxList(&ranges);
  brix_LocalReadRelease();
  console_message("", "");
  return result;
}
