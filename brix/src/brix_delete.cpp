// Delete (-D) and undelete (-U): set or clear the deleted flag in the index
// entries of the chosen members. The archive is never touched; a local
// index is rewritten in place, entry by entry, after the index has been
// checked against the archive's consistency file.
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "brix_extract.h"
#include "brix_blockio.h"
#include "brix_filespec.h"

int brix_IndexRewriteEntry(int ixFd, const bif_entry_t* theEntry, int64_t entryInx) {
  static const char* fn = "brix_IndexRewriteEntry";
  if (brix_debug_level > 3) brix_FuncTraceMessage("Entering ", fn, "", 0, __FILE__, __LINE__);
  uint64_t at = BIF_HDR_SIZE + uint64_t(brix_annotation_size) + BIF_ENTRY_SIZE * uint64_t(entryInx);
  uint64_t pos = 0;
  int rc = 0;
  if (brix_PositionFile(ixFd, BRIX_LOCAL_FILE, at, SEEK_SET, 0, &pos) != 0) {
    brix_Log(BRIX_MSG_ERROR, "%s: Error %d positioning Index File %s to record %ld\n", fn, errno, brix_index_filename,
             long(entryInx));
    rc = -1;
  } else {
    bif_entry_t disk = *theEntry;
    brix_SwapIndexEntry(&disk);
    if (brix_BlockWrite(ixFd, brix_index_filename, BRIX_LOCAL_FILE, sizeof disk, &disk) != ssize_t(sizeof disk)) {
      brix_Log(BRIX_MSG_ERROR, "%s: Error %d rewriting Index File %s entry %ld\n", fn, errno, brix_index_filename,
               long(entryInx));
      rc = -1;
    }
  }
  if (brix_debug_level > 3) brix_FuncTraceMessage("Exiting ", fn, "", rc, __FILE__, __LINE__);
  return rc;
}

int brix_CommonDeleteUndelete(int deleteFlag) {
  static const char* fn = "brix_CommonDeleteUndelete";
  const char* verb = deleteFlag ? "Delete" : "Undelete";
  int result = -1;
  int indexFd = -1, rwFd = -1, archiveFd = -1;
  int64_t modified = 0, skipped = 0, phantoms = 0;
  uint64_t entries = 0;
  if (brix_GenFilelist() != 0) goto end;
  if (brix_filetype == BRIX_PIPE) {
    // Nothing was changed, and saying otherwise would mislead.
    brix_Log(BRIX_MSG_ERROR, "<DELETE> and <UNDELETE> functions do not work with piped Archive File\n");
    goto end;
  }
  if (!brix_ResidencySupported(brix_filetype)) goto end;
  indexFd = brix_OpenIndexFile(brix_index_filename, O_RDONLY, BRIX_LOCAL_FILE);
  if (indexFd < 0) goto end;
  if (brix_debug_level > 1) fprintf(stderr, "[debug] successfully opened Index file for reading on FD=%d\n", indexFd);
  rwFd = open(brix_index_filename, O_RDWR | O_CLOEXEC);
  if (rwFd < 0) {
    brix_Log(BRIX_MSG_ERROR, "%s: error %d opening rewrite file for local index file [%s]\n", fn, errno, brix_index_filename);
    goto end;
  }
  {
    entries = brix_index_entries;
    if (brix_debug_level > 0) fprintf(stderr, "/debug/ Index file contains %d entries\n", int(entries));
    bool hasCF = !(brix_index_hdr.bif_flags & BIF_FLAG_NOT_BRIX);
    if (hasCF && !(brix_option_flags & BRIX_OPT_NOCFCHK)) {
      struct stat st;
      if (brix_GetArchiveXAttrs(brix_filetype, &st) != 0) goto end;
      uint64_t recorded = brix_index_hdr.bif_cfinfo.bif_tarsize;
      if (uint64_t(st.st_size) != recorded) {
        brix_Log(BRIX_MSG_ERROR, "Fatal: Archive file %s size = %lu\n", brix_archive, (unsigned long)st.st_size);
        brix_Log(BRIX_MSG_ERROR, "       is inconsistent with size of %lu from Index File %s\n", (unsigned long)recorded,
                 brix_index_filename);
        brix_SetExitCode(72);
        goto end;
      }
      archiveFd = brix_OpenArchiveFile(O_RDONLY, &st);
      if (archiveFd < 0) goto end;
      bif_entry_t cfEntry;
      if (entries == 0 || brix_IndexReadRandomEntry(indexFd, BRIX_LOCAL_FILE, entries - 1, &cfEntry) != 0) {
        brix_Log(BRIX_MSG_ERROR, "Fatal error reading Consistency File index entry - cannot continue\n");
        goto end;
      }
      uint64_t offset = cfEntry.bent_offset * 512;
      if (brix_debug_level > 1) fprintf(stderr, "/debug/fetching Consistency File header from Archive at offset=%lu\n",
                                        (unsigned long)offset);
      bif_consistency_t cf;
      if (!brix_MemberInsideArchive(&cfEntry, recorded) ||
          brix_ReadArchiveCF(archiveFd, BRIX_LOCAL_FILE, offset, &cf) != 0) {
        brix_Log(BRIX_MSG_ERROR, "Error fetching Consistency File entry from Archive at offset=%lu\n", (unsigned long)offset);
        goto end;
      }
      close(archiveFd);
      archiveFd = -1;
      if (!brix_CheckConsistency(&brix_index_hdr.bif_cfinfo, &cf)) {
        brix_Log(BRIX_MSG_ERROR, "Fatal: Index file %s is inconsistent with Archive File %s\n", brix_index_filename,
                 brix_archive);
        goto end;
      }
    }
    if (brix_IndexFilePosition(indexFd, BRIX_LOCAL_FILE, 0) != 0) {
      brix_Log(BRIX_MSG_ERROR, "Fatal: error repositioning Index file %s\n", brix_index_filename);
      goto end;
    }
    console_message("reading index file", "");
    for (uint64_t n = 1; n <= entries && !brix_shutdown_signalled; n++) {
      bif_entry_t* e = nullptr;
      int endFlag = 0;
      if (brix_IndexFileRead(indexFd, BRIX_LOCAL_FILE, 0, &e, &endFlag) != 0) goto end;
      if (endFlag) break;
      if (n == 1 && memcmp(e->bent_sanity, "BRIX_IDX", 8) != 0) {
        brix_Log(BRIX_MSG_ERROR, "Hmmm- %s does not appear to be a file created by brix.\n", brix_index_filename);
        goto end;
      }
      char path[300];
      brix_FormIxEntryPathname(e, path);
      if (e->bent_flags & BENT_FLAG_PHANTOM) {
        phantoms++;
        if (brix_debug_level > 0) fprintf(stderr, "/debug/skipping phantom index entry %ld\n", long(n));
        continue;
      }
      if (brix_FileListEntries > 0 && !brix_IndexEntryWasSelected(e)) {
        if (brix_debug_level >= 3) fprintf(stderr, "/debug/skipping unselected entry: %s\n", path);
        continue;
      }
      if (hasCF && n == entries) {
        fprintf(stderr, "WARNING: Cannot %s Consistency File index entry [%s]\n", verb, path);
        continue;
      }
      uint32_t t = e->bent_type;
      if (t != BTO_FILE && t != BTO_HARDLINK && t != BTO_SYMLINK) {
        fprintf(stderr, "WARNING: Cannot %s directory '%s'\n", verb, path);
        continue;
      }
      if (brix_option_flags & BRIX_OPT_INTERACTIVE) {
        console_message("", "");
        int answer = brix_GetYesNo("delete", nullptr, path);
        if (answer == 2) {
          skipped++;
          continue;
        }
        if (answer == 4) goto end;
        if (answer == 3) brix_option_flags &= ~BRIX_OPT_INTERACTIVE;
      }
      console_message("", "");
      bif_entry_t changed = *e;
      if (deleteFlag) changed.bent_flags |= BENT_FLAG_DELETED;
      else changed.bent_flags &= ~BENT_FLAG_DELETED;
      fprintf(stdout, deleteFlag ? "%s: d  %s\n" : "%s: u  %s\n", "BRIX", path);
      modified++;
      if (brix_IndexRewriteEntry(rwFd, &changed, int64_t(n - 1)) != 0) goto end;
    }
    if (brix_shutdown_signalled) goto end;
  }
  if (brix_debug_level > 0 || (brix_option_flags & (BRIX_OPT_VERBOSE | BRIX_OPT_SLIGHTLY_VERBOSE)))
    fprintf(stdout,
            "%s: %s complete. total index entries: %ld entries modified: %ld entries skipped by user: %ld phantom entries: %ld\n",
            "BRIX", verb, long(entries), long(modified), long(skipped), long(phantoms));
  result = 0;

end:
  brix_PrintClosingLine(stdout, result);
  fflush(stdout);
  if (archiveFd >= 0) close(archiveFd);
  if (rwFd >= 0 && close(rwFd) != 0)
    brix_Log(BRIX_MSG_ERROR, "%s: Error %d closing %s index file %s\n", fn, errno, "local", brix_index_filename);
  if (indexFd >= 0) close(indexFd);
  console_message("", "");
  return result;
}

int brix_Delete(void) { return brix_CommonDeleteUndelete(1); }
int brix_Undelete(void) { return brix_CommonDeleteUndelete(0); }
