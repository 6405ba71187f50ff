// The extract operation: pass 1 reads the index and gathers the selected
// members into ranges of back-to-back entries; pass 2 reads each range of
// the archive once and hands it to the restore (readCallbackCtl).
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "brix_extract.h"
#include "brix_blockio.h"
#include "brix_xfer.h"
#include "brix_store_file.h"
#include "brix_filespec.h"

namespace {

const char* const fn = "brix_Extract";

double secondsOf(const struct timeval& tv) { return double(tv.tv_sec) + double(tv.tv_usec) / 1e6; }

// Names given relative to the directory brix started in stay valid after a
// -C in the member list changes directory.
struct startNames {
  std::string cwd, archive, index;
};

startNames rememberNames() {
  startNames n;
  char buf[PATH_MAX];
  if (getcwd(buf, sizeof buf)) n.cwd = buf;
  if (brix_archive && brix_archive[0] != '/' && !n.cwd.empty()) n.archive = n.cwd + "/" + brix_archive;
  if (brix_index_filename && brix_index_filename[0] != '/' && !n.cwd.empty())
    n.index = n.cwd + "/" + brix_index_filename;
  return n;
}

void keepNames(const startNames& n) {
  char buf[PATH_MAX];
  if (n.cwd.empty() || !getcwd(buf, sizeof buf) || n.cwd == buf) return;
  if (!n.archive.empty()) {
    char* a = BRIX_STRDUP(n.archive.c_str());
    if (a) {
      free(brix_archive);
      brix_archive = a;
    }
  }
  if (!n.index.empty()) {
    char* i = BRIX_STRDUP(n.index.c_str());
    if (i) {
      free(brix_index_filename);
      brix_index_filename = i;
    }
  }
}

}  // namespace

int brix_Extract(void) {
  int result = -1;
  int archiveFd = -1;
  int indexFd = -1;
  ix_List_t ranges;
  struct timeval startTv;
  struct rusage startRu;
  gettimeofday(&startTv, nullptr);
  getrusage(RUSAGE_SELF, &startRu);
  bool useIxOrdinals = (brix_option_flags & BRIX_OPT_ORDINALS) != 0;
  bool toStdout = (brix_option_flags & BRIX_OPT_TO_STDOUT) != 0;
  FILE* listFile = toStdout ? stderr : stdout;
  int reads = 0;
  double sumTime = 0;
  uint64_t sumBytes = 0;
  brix_RestoreInit();
  startNames names = rememberNames();

  if (brix_GenFilelist() != 0) goto end;
  keepNames(names);
  if (brix_filetype == BRIX_PIPE) {
    brix_Log(BRIX_MSG_ERROR, "brix_Extract: please use regular tar to read piped Archive Files\n");
    goto end;
  }
  if (!brix_ResidencySupported(brix_filetype)) goto end;
  brix_SetProgramPhase(BTP_EXTRACT_OPEN_FILES);
  if (brix_option_flags & BRIX_OPT_STATUS_FIFO) brix_StatusMsg(1, "Open Index File");
  {
    struct stat st;
    if (brix_GetArchiveXAttrs(brix_filetype, &st) != 0) goto end;
    if (brix_filetype == BRIX_QUOR_FILE && brix_ReadArchiveStripes() != 0) goto end;
    console_message("reading index file", "");
    indexFd = brix_OpenIndexFile(brix_index_filename, O_RDONLY, brix_IndexOpenResidency());
    if (indexFd < 0) goto end;
    if (brix_CopyIndexToLocal(&indexFd) != 0) goto end;
    bool nonBrixArchive = (brix_index_hdr.bif_flags & BIF_FLAG_NOT_BRIX) != 0;
    uint64_t archiveFileSize = brix_index_hdr.bif_cfinfo.bif_tarsize;
    if (archiveFileSize != uint64_t(st.st_size)) {
      brix_Log(BRIX_MSG_ERROR, "[FATAL] Archive file %s size = %lu\n", brix_archive, (unsigned long)st.st_size);
      brix_Log(BRIX_MSG_ERROR, "       is inconsistent with size of %lu from Index File %s\n",
               (unsigned long)archiveFileSize, brix_index_filename);
      brix_SetExitCode(72);
      goto end;
    }
    uint64_t entries = std::min<uint64_t>(brix_index_hdr.obj_count, brix_index_entries);
    uint64_t members = nonBrixArchive ? entries : (entries > 0 ? entries - 1 : 0);

    // -J: the member list holds index ordinals; they are read in ascending
    // runs of consecutive ordinals, each run from one position.
    std::vector<std::pair<uint64_t, uint64_t>> wanted;  // ordinal, member-list position
    if (useIxOrdinals) {
      for (int64_t i = 0; i < brix_FileListEntries; i++) {
        uint64_t ord = brix_FileList[i].indexOrd;
        if (ord >= members) {
          brix_Log(BRIX_MSG_ERROR,
                   "Specified index entry: %lu is > number of index entries in the archive (%lu) [from Index File %s]\n",
                   (unsigned long)ord, (unsigned long)members, brix_index_filename);
          brix_SetExitCode(64);
          goto end;
        }
        wanted.push_back({ord, uint64_t(i)});
      }
      std::sort(wanted.begin(), wanted.end());
      wanted.erase(std::unique(wanted.begin(), wanted.end(),
                               [](const auto& a, const auto& b) { return a.first == b.first; }),
                   wanted.end());
    }
    if (brix_IndexReadInit() != 0) goto end;

    brix_SetProgramPhase(BTP_EXTRACT_PASS1);
    if (brix_option_flags & BRIX_OPT_STATUS_FIFO) brix_StatusMsg(1, "Reading %ld index entries", long(members));
    bool firstRead = true;
    bool absWarnIssued = false;
    bool quit = false;
    uint64_t visits = useIxOrdinals ? wanted.size() : members;
    size_t runLeft = 0;
    for (uint64_t v = 0; v < visits && !quit && !brix_shutdown_signalled; v++) {
      uint64_t number = useIxOrdinals ? wanted[v].first : v;
      uint64_t fsOrd = useIxOrdinals ? wanted[v].second : 0;
      if (useIxOrdinals && runLeft == 0) {
        if (brix_IndexFilePosition(indexFd, brix_IndexResidency(), number) != 0) goto end;
        runLeft = 1;
        while (v + runLeft < wanted.size() && wanted[v + runLeft].first == number + runLeft) runLeft++;
      }
      bif_entry_t* e = nullptr;
      int endFlag = 0;
      if (brix_IndexFileRead(indexFd, brix_IndexResidency(), useIxOrdinals ? int(std::min<size_t>(runLeft, INT_MAX)) : 0, &e,
                             &endFlag) != 0)
        goto end;
      if (useIxOrdinals) runLeft--;
      if (endFlag) break;
      if (firstRead && memcmp(e->bent_sanity, "BRIX_IDX", 8) != 0) {
        brix_SetExitCode(72);
        brix_Log(BRIX_MSG_ERROR, "Hmmm- %s does not appear to be a file created by brix.\n", brix_index_filename);
        goto end;
      }
      firstRead = false;
      if (e->bent_flags >= BENT_FLAG_DELETED) {
        if (brix_debug_level > 0) fprintf(stderr, "/debug/skipping deleted or phantom index entry %ld\n", long(number));
        continue;
      }
      if (!useIxOrdinals && !brix_IndexEntryWasSelected(e)) continue;
      if (e->bent_type == BTO_UNKNOWN || e->bent_type >= BTO_BAD_TYPE) {
        brix_Log(BRIX_MSG_ERROR, "Cannot extract unrecognized object type: %d Index Entry %ld\n", int(e->bent_type),
                 long(number));
        brix_SetExitCode(74);
        continue;
      }
      char raw[300];
      brix_FormIxEntryPathname(e, raw);
      if (!brix_MemberInsideArchive(e, archiveFileSize)) {
        brix_Log(BRIX_MSG_ERROR,
                 "Fatal: Index entry %ld (member file %s) extends past end of archive\n- must recreate index with 'brix -X' command\n",
                 long(number), raw);
        brix_SetExitCode(72);
        goto end;
      }
      if (!brix_MemberBlocksFit(e)) {
        brix_Log(BRIX_MSG_ERROR,
                 "Fatal: Index entry %ld (member file %s) has %u blocks for %lu bytes\n- must recreate index with 'brix -X' command\n",
                 long(number), raw, unsigned(e->bent_blocks), (unsigned long)e->bent_fsize);
        brix_SetExitCode(72);
        goto end;
      }
      char path[BRIX_MAX_PATH + 1];
      int hadSlash = 0;
      int safe = brix_SafeMemberPath(raw, path, &hadSlash);
      if (hadSlash && !absWarnIssued && !toStdout) {
        fprintf(stderr, "%s: Removing leading `/' from absolute path names in the archive\n", "BRIX");
        absWarnIssued = true;
      }
      if (safe == BSP_EMPTY) {
        if (brix_debug_level > 0) fprintf(stderr, "Skipping standalone root directory: [%s]\n", raw);
        continue;
      }
      if (safe == BSP_DOTDOT && !toStdout) {
        // Such a name could reach outside the current directory.
        brix_Log(BRIX_MSG_WARNING, "%s: Member name contains '..' - not extracted\n", raw);
        brix_SetExitCode(65);
        continue;
      }
      if ((brix_option_flags & BRIX_OPT_INTERACTIVE) && !useIxOrdinals) {
        console_message("", "");
        int answer = brix_GetYesNo("extract", nullptr, safe == BSP_OK ? path : raw);
        if (answer == 2) continue;
        if (answer == 4) {
          quit = true;
          continue;
        }
        if (answer == 3) brix_option_flags &= ~BRIX_OPT_INTERACTIVE;
      }
      if (brix_AddIxListEntry(&ranges, e, number, fsOrd) != 0) {
        brix_Log(BRIX_MSG_ERROR, "Fatal malloc error creating index entry list\n");
        brix_SetExitCode(72);
        goto end;
      }
    }
    if (brix_shutdown_signalled) goto end;
    if (!ranges.head) {
      if (brix_debug_level > 0) fprintf(stderr, "/debug/ no index entries were selected for extracting \n");
      result = 0;
      goto end;
    }

    brix_SetProgramPhase(BTP_EXTRACT_READARCHIVE);
    console_message("Opening archive file", "");
    if (brix_option_flags & BRIX_OPT_STATUS_FIFO) brix_StatusMsg(1, "Opening archive file");
    struct stat ast;
    brix_NoteTapeFetch();
    archiveFd = brix_OpenArchiveFile(O_RDONLY, &ast);
    if (archiveFd >= 0 && brix_filetype == BRIX_QUOR_FILE && brix_ReadArchiveStripes() != 0) goto end;
    if (archiveFd < 0) goto end;
    if (brix_IndexFileRewind(indexFd, brix_IndexResidency()) != 0) {
      brix_Log(BRIX_MSG_ERROR, "Fatal error rewinding index file. Cannot continue...\n");
      goto end;
    }
    console_message("Reading archive file", "");
    for (ix_ListEntry_t* r = ranges.head; r; r = r->next) {
      if (brix_IndexFileSkipTo(indexFd, brix_IndexResidency(), r->ixStart) != 0) {
        brix_Log(BRIX_MSG_ERROR, "%s: Fatal error positioning index file to entry %ld.\n", fn, long(r->ixStart));
        goto end;
      }
      brix_RestoreRangeStart(indexFd, brix_IndexResidency(), r->ixStart, r->ixCount, r->ixFsOrd);
      uint64_t bytes = (r->ixEndBlock - r->ixStartBlock) * 512;
      double t = 0;
      int rc = brix_ReadArchiveRange(archiveFd, r->ixStartBlock * 512, bytes, readCallbackCtl, &t);
      reads++;
      sumTime += t;
      sumBytes += bytes;
      if (rc < 0 || brix_RestoreRangeEnd() != 0) {
        brix_Log(BRIX_MSG_ERROR, "Extract aborted\n");
        goto end;
      }
    }
  }
  {
    brix_restore_counts_t c = brix_RestoreCounts();
    if (c.devNullFileCount > 0) {
      brix_Log(BRIX_MSG_WARNING,
               "%d files were extracted to /dev/null. Files were missing at creation time\n         due to filesystem errors or user removal during the archive creation\n",
               int(c.devNullFileCount));
      brix_SetExitCode(65);
    }
    struct timeval nowTv;
    struct rusage nowRu;
    gettimeofday(&nowTv, nullptr);
    getrusage(RUSAGE_SELF, &nowRu);
    char part[600];
    std::string line;
    snprintf(part, sizeof part, "%s: Extract complete for %s, %ld files. total bytes read: %lu in %.3f seconds ", "BRIX",
             brix_archive, long(c.file_objects), (unsigned long)sumBytes, sumTime);
    line = part;
    if (sumTime >= 0.001) {
      snprintf(part, sizeof part, "(%.3f MB/s %s)", double(sumBytes) / 1e6 / sumTime, reads > 1 ? "average" : "");
      line += part;
    }
    snprintf(part, sizeof part, " wallclock/user/sys: %.3f %.3f %.3f seconds", brix_DiffTimeval(&nowTv, &startTv),
             secondsOf(nowRu.ru_utime) - secondsOf(startRu.ru_utime),
             secondsOf(nowRu.ru_stime) - secondsOf(startRu.ru_stime));
    line += part;
    brix_LogMsg(BRIX_MSG_LOGONLY, BRIX_LOG_SELECT_MSG, line.c_str());
    if (brix_debug_level >= 1 || (brix_option_flags & (BRIX_OPT_VERBOSE | BRIX_OPT_SLIGHTLY_VERBOSE)))
      fprintf(listFile, "%s\n", line.c_str());
    brix_LogFileTransfer(brix_archive_abs_path, BOP_EXTRACT, 0, brix_filetype, BRIX_MEMBER_LOCAL, sumBytes, sumTime);
  }
  result = 0;

end:
  brix_RestoreFinish();
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
  return result;
}
