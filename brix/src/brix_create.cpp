// The create operation: member list, temporary index with every member's
// block position, consistency record, archive, transfer, final index, and
// optionally the removal of the local member files.
#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <string>

#include "brix_extract.h"
#include "brix_blockio.h"
#include "brix_lfx.h"
#include "brix_store.h"
#include "brix_xfer.h"
#include "quor_api.h"
#include "brix_filespec.h"
#include "brix_index.h"

namespace {

constexpr size_t INDEX_BATCH = 128;

double secondsOf(const struct timeval& tv) { return double(tv.tv_sec) + double(tv.tv_usec) / 1e6; }

// The mode a new file gets from the process's creation mask.
mode_t publicMode() {
  mode_t mask = umask(0);
  umask(mask);
  return 0666 & ~mask;
}

// A -C among the member names changes the current directory while the
// list is made; the archive and index names given relative to the
// starting directory stay where they were meant.
void anchorNames(const std::string& startCwd) {
  char now[4096];
  if (startCwd.empty() || !getcwd(now, sizeof now) || startCwd == now) return;
  for (char** name : {&brix_archive, &brix_index_filename}) {
    if (!*name || (*name)[0] == '/' || (name == &brix_archive && brix_filetype == BRIX_PIPE)) continue;
    char* full = strdup((startCwd + "/" + *name).c_str());
    if (!full) continue;
    free(*name);
    *name = full;
  }
}

// Closes the archive by its residency: 0, or -1 with errno set.
int closeArchive() {
  if (brix_filetype == BRIX_QUOR_FILE || brix_filetype == BRIX_REMOTE_FILE) {
    int rc = quor_Close(brix_archive_fd);
    if (rc < 0) errno = -rc;
    return rc < 0 ? -1 : 0;
  }
  return close(brix_archive_fd);
}

const char* residencyWord() {
  return brix_filetype == BRIX_QUOR_FILE ? "QUOR" : brix_filetype == BRIX_REMOTE_FILE ? "remote" : "local";
}

}  // namespace

int brix_Create(void) {
  static const char* fn = "brix_Create";
  int result = -1;
  unsigned char* entryBuf = nullptr;
  struct timeval startTv;
  struct rusage startRu;
  gettimeofday(&startTv, nullptr);
  double xferTime = 0;
  int threadsUsed = 0;
  int xferResult = -1;
  bool selfSkipped = false;
  if (getrusage(RUSAGE_SELF, &startRu) != 0) {
    brix_Log(BRIX_MSG_ERROR, "%s: error %d on getrusage call - terminating\n", fn, errno);
    brix_SetExitCode(71);
    goto endSequence;
  }
  brix_archive_blocks = 0;
  brix_archive_filesize = 0;
  brix_tmpIndexFD = -1;
  brix_unlinkTmpIndexFile = 1;
  if (brix_verify_flags != 0 && brix_filetype == BRIX_PIPE) {
    // A piped archive cannot be read back; refuse before anything is
    // written rather than skip what was asked.
    brix_Log(BRIX_MSG_ERROR, "%s: a piped Archive File cannot be verified after its creation (-H verify)\n", fn);
    brix_SetExitCode(64);
    goto endSequence;
  }

  {
    char cwd[4096];
    std::string startCwd = getcwd(cwd, sizeof cwd) ? cwd : "";
    int listed = brix_GenFilelist();
    anchorNames(startCwd);
    if (listed != 0) {
      brix_Log(BRIX_MSG_ERROR, "[FATAL] error(s) generating filename list \n");
      brix_SetExitCode(66);
      goto endSequence;
    }
  }
  if (brix_FileListEntries == 0) {
    brix_Log(BRIX_MSG_INFO, "refusing to create empty archive\n");
    brix_SetExitCode(2);
    result = 0;
    goto endSequence;
  }
  if (brix_InitMemberFileLists(brix_FileListEntries, 0) != 0) goto endSequence;
  if (brix_debug_level > 1) brix_DumpFileSpecList();

  if (brix_CreateTmpIndexFile() != 0) goto endSequence;
  if ((brix_option_flags & BRIX_OPT_VERBOSE) || brix_debug_level > 0)
    console_message("Writing temp index file to ", brix_tmpIndexFile);
  if (brix_WriteIndexHeader(brix_tmpIndexFD, BRIX_LOCAL_FILE, brix_tmpIndexFile, &brix_index_hdr) != 0)
    goto endSequence;
  // A small batch stays in cache between being built and being copied
  // into the file; a large one costs a page fault per page and cold copies.
  entryBuf = static_cast<unsigned char*>(malloc(INDEX_BATCH * BIF_ENTRY_SIZE));
  if (!entryBuf) {
    brix_Log(BRIX_MSG_ERROR, "%s: Unable to allocate temporary index file buffer (%d entries=%d bytes) \n",
             fn, int(INDEX_BATCH), int(INDEX_BATCH * BIF_ENTRY_SIZE));
    brix_SetExitCode(78);
    goto endSequence;
  }
  {
    uint32_t used = 0, omitted = 0;
    size_t inBuf = 0;
    // The archive named among its own members is left out.
    bool upsTold = false;
    struct stat self;
    bool selfKnown = brix_filetype == BRIX_LOCAL_FILE && stat(brix_archive, &self) == 0;
    for (int64_t i = 0; i < brix_FileListEntries && !brix_shutdown_signalled; i++) {
      bif_entry_t entry;
      const brix_FileSpec_t& member = brix_FileList[i];
      if (selfKnown && member.haveStatInfo && member.dev == uint64_t(self.st_dev) && member.ino == uint64_t(self.st_ino)) {
        brix_Log(BRIX_MSG_WARNING, "%s: file is the archive; not dumped\n", member.filename);
        selfSkipped = true;
        omitted++;
        continue;
      }
      if (brix_IndexFromFileSpec(uint64_t(i), &brix_FileList[i], &entry) != 0) {
        omitted++;
        continue;
      }
      const char* rest = nullptr;
      int ups = brix_MemberUpLevels(member.filename, &rest);
      if (ups > 0) {
        if (!upsTold)
          fprintf(stderr, "%s: Removing leading `../' from member names\n", "BRIX");
        upsTold = true;
        brix_SetMemberUpLevels(int64_t(used), ups);
      }
      used++;
      brix_archive_blocks += entry.bent_blocks;
      brix_SwapIndexEntry(&entry);
      memcpy(entryBuf + inBuf * BIF_ENTRY_SIZE, &entry, BIF_ENTRY_SIZE);
      if (++inBuf == INDEX_BATCH) {
        if (brix_BlockWrite(brix_tmpIndexFD, brix_tmpIndexFile, BRIX_LOCAL_FILE, inBuf * BIF_ENTRY_SIZE,
                            entryBuf) != ssize_t(inBuf * BIF_ENTRY_SIZE)) {
          brix_Log(BRIX_MSG_ERROR, "Error writing %d index entries (%ld bytes) to file %s - aborting\n",
                   int(inBuf), long(inBuf * BIF_ENTRY_SIZE), brix_tmpIndexFile);
          brix_SetExitCode(72);
          goto endSequence;
        }
        inBuf = 0;
      }
    }
    if (brix_shutdown_signalled) goto endSequence;
    if (inBuf > 0 &&
        brix_BlockWrite(brix_tmpIndexFD, brix_tmpIndexFile, BRIX_LOCAL_FILE, inBuf * BIF_ENTRY_SIZE,
                        entryBuf) != ssize_t(inBuf * BIF_ENTRY_SIZE)) {
      brix_Log(BRIX_MSG_ERROR, "Error flushing %d index entries (%ld bytes) to file %s - aborting\n",
               int(inBuf), long(inBuf * BIF_ENTRY_SIZE), brix_tmpIndexFile);
      brix_SetExitCode(72);
      goto endSequence;
    }
    free(entryBuf);
    entryBuf = nullptr;

    // The consistency member follows the members; the archive ends with
    // one zero block after it.
    brix_index_entries = used + 1;
    brix_archive_blocks += 2 + 1;
    brix_BuildConsistencyHeader();
    if (brix_WriteConsistencyFile() != 0) goto endSequence;
    brix_index_entries = used;
    brix_archive_blocks -= 3;
    char sizeText[32];
    snprintf(sizeText, sizeof sizeText, "%lu", (unsigned long)((brix_archive_blocks + 3) * 512));
    brix_Log(BRIX_MSG_LOGONLY, "INFO: Archive file will be %s bytes, %d objects\n", sizeText,
             int(used + 1));
    if (brix_debug_level > 0) {
      fprintf(stderr, "/debug/Index file written. %d ObjectEntries used, %d omitted. ", int(used),
              int(omitted));
      fprintf(stderr, "       Archive File will be %lu blocks (excluding consistency file)\n",
              (unsigned long)brix_archive_blocks);
    }
    if (brix_WriteConsFileIndexEntry(brix_tmpIndexFD) != 0) goto endSequence;
    brix_archive_blocks += 1;
    brix_archive_filesize = brix_archive_blocks * 512;
    brix_BuildIndexHeader();
    if (brix_WriteIndexHeader(brix_tmpIndexFD, BRIX_LOCAL_FILE, brix_tmpIndexFile, &brix_index_hdr) != 0)
      goto endSequence;
  }

  if (brix_debug_level > 0) fprintf(stderr, "/debug/deleting index file [%s] if it exists.\n", brix_index_filename);
  if (brix_filetype == BRIX_LOCAL_FILE) {
    if (unlink(brix_index_filename) != 0 && errno != ENOENT)
      brix_Log(BRIX_MSG_WARNING, "Error %d unlinking host-resident Index File %s\n", errno,
               brix_index_filename);
  } else if (brix_filetype == BRIX_QUOR_FILE) {
    int rc = quor_Unlink(brix_index_filename);
    if (rc != 0 && rc != -ENOENT)
      brix_Log(BRIX_MSG_WARNING, "Error %d unlinking QUOR-resident Index File %s\n", rc, brix_index_filename);
  } else if (brix_filetype == BRIX_REMOTE_FILE) {
    int rc = ozugw_LfxUnlink(brix_index_filename);
    if (rc != 0 && rc != -ENOENT)
      brix_Log(BRIX_MSG_WARNING, "Error %d unlinking remote Index File %s\n", -rc, brix_index_filename);
  }

  if (brix_CreateArchiveFile() != 0) goto endSequence;
  console_message("", "");
  if (brix_filetype == BRIX_QUOR_FILE) {
    xferResult = brix_CopyToQUORArchive(&xferTime, &threadsUsed);
    brix_ExpireSetExpiration(brix_archive_abs_path ? brix_archive_abs_path : brix_archive);
  } else if (brix_filetype == BRIX_REMOTE_FILE) {
    xferResult = brix_CopyToRemoteArchive(&xferTime, &threadsUsed);
  } else {
    xferResult = brix_CopyToLocalArchive(&xferTime, &threadsUsed);
  }

  if (xferResult == 0) {
    struct timeval nowTv;
    struct rusage nowRu;
    gettimeofday(&nowTv, nullptr);
    getrusage(RUSAGE_SELF, &nowRu);
    int64_t transferred = 0, failed = 0;
    brix_GetMemberFileXferSummary(&transferred, &failed);
    std::string line;
    char part[512];
    snprintf(part, sizeof part,
             "%s Create complete for %s. %lu bytes written for %ld member files, max threads: %d Transfer time: %.3f seconds ",
             "BRIX", brix_archive, (unsigned long)brix_archive_filesize, long(transferred - 1), threadsUsed,
             xferTime);
    line = part;
    if (xferTime >= 0.001) {
      snprintf(part, sizeof part, "(%.3f MB/s)", double(brix_archive_filesize) / 1000000.0 / xferTime);
      line += part;
    }
    snprintf(part, sizeof part, " wallclock/user/sys: %.3f %.3f %.3f seconds",
             brix_DiffTimeval(&nowTv, &startTv),
             secondsOf(nowRu.ru_utime) - secondsOf(startRu.ru_utime),
             secondsOf(nowRu.ru_stime) - secondsOf(startRu.ru_stime));
    line += part;
    brix_LogMsg(BRIX_MSG_LOGONLY, BRIX_LOG_SELECT_MSG, line.c_str());
    if (brix_debug_level > 0 || (brix_option_flags & (BRIX_OPT_VERBOSE | BRIX_OPT_SLIGHTLY_VERBOSE))) {
      fprintf(stdout, "%s\n", line.c_str());
      fflush(stdout);
    }
  }
  brix_LogFileTransfer(brix_archive_abs_path, BOP_CREATE, xferResult, brix_filetype, BRIX_MEMBER_LOCAL,
                       brix_archive_filesize, xferTime);
  if (xferResult != 0) goto endSequence;

  if (brix_verify_flags != 0) {
    brix_SetProgramPhase(BTP_CREATE_VERIFYARCHIVE);
    if (brix_archive_fd >= 0) {
      if (closeArchive() != 0) {
        brix_Log(BRIX_MSG_ERROR, "%s: (verify) Error %d closing %s Archive file %s\n", fn, errno, residencyWord(),
                 brix_archive);
        brix_archive_fd = -1;
        goto endSequence;
      }
      brix_archive_fd = -1;
    }
    brix_FinalizeMemberLists();
    if (brix_PostXferVerify() != 0) {
      if (!brix_shutdown_signalled) {
        brix_Log(BRIX_MSG_ERROR, "WARNING: verify failed for archive file %s\n", brix_archive);
        brix_Log(BRIX_MSG_ERROR,
                 "Temporary index file (%s) was left on this system to assist in troubleshooting the problem\n",
                 brix_tmpIndexFile);
        brix_SetExitCode(72);
        brix_unlinkTmpIndexFile = 0;
      }
      goto endSequence;
    }
  }

  if (brix_archive_fd >= 0) {
    if (brix_filetype != BRIX_PIPE && closeArchive() != 0)
      brix_Log(BRIX_MSG_ERROR, "%s: Error %d closing %s Archive file %s\n", fn, errno, residencyWord(), brix_archive);
    brix_archive_fd = -1;
  }
  brix_FinalizeMemberLists();
  brix_SetProgramPhase(BTP_CREATE_COPYINDEX);
  if (brix_CopyAndAdjustLocalIndex() != 0) goto endSequence;
  if (brix_filetype == BRIX_QUOR_FILE) {
    if (brix_CopyIndexToQuor() != 0) goto endSequence;
    if ((brix_option_flags & BRIX_OPT_RMLOCAL) && !brix_shutdown_signalled) {
      brix_SetProgramPhase(BTP_CREATE_RMLOCAL);
      brix_RemoveMemberFiles(brix_tmpIndexFD, BRIX_LOCAL_FILE);
    }
    result = 0;
    goto endSequence;
  }
  if (brix_filetype == BRIX_REMOTE_FILE) {
    if (brix_CopyIndexToRemote() != 0) goto endSequence;
    if ((brix_option_flags & BRIX_OPT_RMLOCAL) && !brix_shutdown_signalled) {
      brix_SetProgramPhase(BTP_CREATE_RMLOCAL);
      brix_RemoveMemberFiles(brix_tmpIndexFD, BRIX_LOCAL_FILE);
    }
    result = 0;
    goto endSequence;
  }
  if (brix_unlinkTmpIndexFile) {
    if (unlink(brix_index_filename) != 0 && errno != ENOENT && brix_debug_level > 0)
      fprintf(stderr, "/debug/unlink returned %d trying to remove existing index file %s\n", errno,
              brix_index_filename);
  }
  brix_unlinkTmpIndexFile = 0;
  if (rename(brix_tmpIndexFile, brix_index_filename) != 0) {
    int e = errno;
    brix_perror("rename");
    brix_Log(BRIX_MSG_ERROR, "Error %d on rename attempt of local index file from %s to %s\n", e,
             brix_tmpIndexFile, brix_index_filename);
    brix_SetExitCode(72);
    // The archive has no index under its name: a failure, whatever was
    // written. The finished index stays under its temporary name.
    goto endSequence;
  } else {
    // In place now: the index takes the permissions a new file gets.
    fchmod(brix_tmpIndexFD, publicMode());
    free(brix_tmpIndexFile);
    brix_tmpIndexFile = strdup(brix_index_filename);
  }
  if ((brix_option_flags & BRIX_OPT_RMLOCAL) && !brix_shutdown_signalled) {
    brix_SetProgramPhase(BTP_CREATE_RMLOCAL);
    brix_RemoveMemberFiles(brix_tmpIndexFD, BRIX_LOCAL_FILE);
  }
  result = 0;

endSequence:
  brix_SetProgramPhase(BTP_SHUTDOWN);
  bool forced = brix_shutdown_signalled != 0;
  if (result == 0) {
    fprintf(stdout, "%s: BRIX SUCCESSFUL\n", "BRIX");
  } else {
    fprintf(stdout, forced ? "%s: BRIX FAILED DUE TO FORCED SHUTDOWN\n" : "%s: BRIX FAILED\n", "BRIX");
    brix_SetExitCode(72);
  }
  // Members not stored as their files are (changed, shrunk, gone, the
  // archive itself) make a non-zero exit, unless a failure set one.
  if (selfSkipped || brix_MemberFilesChanged() > 0) brix_SetExitCode(1);
  fflush(stdout);
  // Only a regular file is removed after a forced shutdown: an archive
  // named as a device or FIFO (/dev/null, a tape) stays.
  struct stat ast;
  bool removable = forced && brix_archive && brix_filetype == BRIX_LOCAL_FILE && stat(brix_archive, &ast) == 0 &&
                   S_ISREG(ast.st_mode);
  if (brix_archive_fd >= 0) {
    if (closeArchive() != 0)
      brix_Log(BRIX_MSG_ERROR, "%s: Error %d closing %s Archive file %s\n", fn, errno, residencyWord(), brix_archive);
    brix_archive_fd = -1;
  }
  if (removable && brix_filetype == BRIX_LOCAL_FILE && brix_archive) unlink(brix_archive);
  if (forced && brix_filetype == BRIX_QUOR_FILE && brix_archive) quor_Unlink(brix_archive);
  if (forced && brix_filetype == BRIX_REMOTE_FILE && brix_archive) ozugw_LfxUnlink(brix_archive);
  if (brix_tmpIndexFD >= 0) {
    close(brix_tmpIndexFD);
    brix_tmpIndexFD = -1;
    // At debug level 2 and up a temporary index stays for inspection.
    bool wanted = brix_unlinkTmpIndexFile && brix_debug_level <= 1;
    if ((wanted || forced) && brix_tmpIndexFile) unlink(brix_tmpIndexFile);
  }
  if (forced && brix_filetype == BRIX_LOCAL_FILE && brix_index_filename) unlink(brix_index_filename);
  if (forced && brix_filetype == BRIX_QUOR_FILE && brix_index_filename) quor_Unlink(brix_index_filename);
  if (forced && brix_filetype == BRIX_REMOTE_FILE && brix_index_filename) ozugw_LfxUnlink(brix_index_filename);
  free(entryBuf);
  return result;
}
