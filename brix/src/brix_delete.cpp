// Delete (-D) and undelete (-U): set or clear the deleted flag in the index
// entries of the chosen members. The archive is never touched; a local
// index is rewritten in place, entry by entry, after the index has been
// checked against the archive's consistency file.
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <vector>

#include <string>

#include "brix_extract.h"
#include "brix_blockio.h"
#include "brix_store_file.h"
#include "quor_api.h"
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

namespace {

// A storage index is never changed in place: a whole new index is written
// under a temporary name and swapped in by two renames at the end.
struct storeRewrite {
  std::string newName, oldName;
  int newFd = -1;
  std::vector<unsigned char> batch;
  size_t inBatch = 0;
  bool renaming = false;  // past this, a failure leaves the files as they are
};

int startStoreRewrite(storeRewrite* rw, int indexFd, uint64_t oldLength) {
  static const char* fn = "brix_CommonDeleteUndelete";
  std::string path = brix_index_filename;
  size_t slash = path.rfind('/');
  std::string dir = slash == std::string::npos ? "" : path.substr(0, slash) + "/";
  std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
  rw->newName = dir + "." + base + "." + std::to_string(getpid());
  rw->oldName = dir + ".old." + base + "." + std::to_string(getpid());
  console_message("creating new QUOR Index file", rw->newName.c_str());
  quor_Unlink(rw->newName.c_str());
  quor_cos_hints_t hints;
  quor_cos_priorities_t pri;
  memset(&hints, 0, sizeof hints);
  memset(&pri, 0, sizeof pri);
  hints.COSId = brix_index_cosID > 0 ? unsigned(brix_index_cosID) : 0;
  hints.MinFileSize = hints.MaxFileSize = oldLength;
  pri.COSIdPriority = 30;
  pri.MinFileSizePriority = pri.MaxFileSizePriority = 20;
  int fd = quor_Open(rw->newName.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666, &hints, &pri, nullptr);
  if (fd < 0) {
    if (fd == -2)
      brix_Log(BRIX_MSG_ERROR, "Nonexistent path (do you need -P?) creating archive file %s\n", rw->newName.c_str());
    else if (fd == -1)
      brix_Log(BRIX_MSG_ERROR, "Permision error creating new index file %s\n", rw->newName.c_str());
    else
      brix_Log(BRIX_MSG_ERROR, "Error %d on quor_Open (create) for %s\n", fd, rw->newName.c_str());
    brix_SetExitCode(72);
    return -1;
  }
  rw->newFd = fd;
  rw->batch.assign(BRIX_INDEX_BUFSIZE + 1, 0);
  console_message("copying index file header to ", rw->newName.c_str());
  bif_hdr_t hdr;
  if (brix_ReadIndexHeader(indexFd, BRIX_QUOR_FILE, brix_index_filename, &hdr) != 0 ||
      brix_WriteIndexHeader(fd, BRIX_QUOR_FILE, rw->newName.c_str(), &hdr) != 0) {
    (void)fn;
    return -1;
  }
  return 0;
}

int flushBatch(storeRewrite* rw) {
  size_t n = rw->inBatch * BIF_ENTRY_SIZE;
  rw->inBatch = 0;
  if (n == 0) return 0;
  return brix_BlockWrite(rw->newFd, rw->newName.c_str(), BRIX_QUOR_FILE, n, rw->batch.data()) == ssize_t(n) ? 0 : -1;
}

// Appends one entry (as it is kept in memory) to the new index.
int storeAppend(storeRewrite* rw, const bif_entry_t& e) {
  bif_entry_t disk = e;
  brix_SwapIndexEntry(&disk);
  memcpy(rw->batch.data() + rw->inBatch * BIF_ENTRY_SIZE, &disk, BIF_ENTRY_SIZE);
  if (++rw->inBatch == BRIX_INDEX_BUFSIZE / BIF_ENTRY_SIZE) return flushBatch(rw);
  return 0;
}

int finishStoreRewrite(storeRewrite* rw) {
  static const char* fn = "brix_CommonDeleteUndelete";
  if (flushBatch(rw) != 0) return -1;
  quor_Close(rw->newFd);
  rw->newFd = -1;
  brix_ExpireSetExpiration(rw->newName.c_str());
  console_message("renaming index files", "");
  rw->renaming = true;
  int rc = quor_Rename(brix_index_filename, rw->oldName.c_str());
  if (rc != 0) {
    brix_Log(BRIX_MSG_ERROR, "%s: error %d attempting to rename existing index file [%s] to [%s]\n", fn, rc,
             brix_index_filename, rw->oldName.c_str());
    brix_SetExitCode(72);
    return -1;
  }
  if (brix_debug_level > 0)
    fprintf(stderr, "%s:successfully renamed old index [%s] to temp name [%s]\n", fn, brix_index_filename,
            rw->oldName.c_str());
  rc = quor_Rename(rw->newName.c_str(), brix_index_filename);
  if (rc != 0) {
    brix_Log(BRIX_MSG_ERROR, "%s: error %d attempting to rename new index file [%s] to [%s]\n", fn, rc,
             rw->newName.c_str(), brix_index_filename);
    brix_SetExitCode(72);
    // The archive keeps an index under its name: the old one goes back.
    int back = quor_Rename(rw->oldName.c_str(), brix_index_filename);
    if (back != 0)
      brix_Log(BRIX_MSG_ERROR, "%s: error %d renaming old index file [%s] back to [%s]\n", fn, back,
               rw->oldName.c_str(), brix_index_filename);
    else
      rw->oldName.clear();
    return -1;
  }
  if (brix_debug_level > 0)
    fprintf(stderr, "%s:successfully renamed new index [%s] to original name [%s]\n", fn, rw->newName.c_str(),
            brix_index_filename);
  rw->newName.clear();
  rc = quor_Unlink(rw->oldName.c_str());
  if (rc != 0) {
    brix_Log(BRIX_MSG_ERROR, "%s: error %d attempting to unlink old (renamed) index file [%s]\n", fn, rc,
             rw->oldName.c_str());
    brix_SetExitCode(72);
  }
  rw->oldName.clear();
  return 0;
}

// A rewrite that did not finish leaves the old index untouched: the new
// one, while it is still under its temporary name, goes.
void abandonStoreRewrite(storeRewrite* rw) {
  if (rw->newFd >= 0) {
    quor_Close(rw->newFd);
    rw->newFd = -1;
  }
  if (!rw->renaming && !rw->newName.empty()) quor_Unlink(rw->newName.c_str());
}

}  // namespace

int brix_CommonDeleteUndelete(int deleteFlag) {
  static const char* fn = "brix_CommonDeleteUndelete";
  const char* verb = deleteFlag ? "Delete" : "Undelete";
  int result = -1;
  int indexFd = -1, rwFd = -1, archiveFd = -1;
  int64_t modified = 0, skipped = 0, phantoms = 0;
  uint64_t entries = 0;
  const bool store = brix_filetype == BRIX_QUOR_FILE;
  const bool remote = brix_filetype == BRIX_REMOTE_FILE;
  // A remote index is read and changed in its local copy.
  const int ixRes = store ? BRIX_QUOR_FILE : BRIX_LOCAL_FILE;
  uint64_t oldLength = 0;
  storeRewrite rw;
  if (brix_GenFilelist() != 0) goto end;
  if (brix_filetype == BRIX_PIPE) {
    // Nothing was changed, and saying otherwise would mislead.
    brix_Log(BRIX_MSG_ERROR, "<DELETE> and <UNDELETE> functions do not work with piped Archive File\n");
    goto end;
  }
  if (!brix_ResidencySupported(brix_filetype)) goto end;
  if (store) {
    quor_Attrs_t attrs;
    memset(&attrs, 0, sizeof attrs);
    int rc = quor_GetListAttrs(brix_index_filename, &attrs);
    if (rc != 0) {
      brix_Log(BRIX_MSG_ERROR, "%s: error %d getting attributes for QUOR index file [%s]\n", fn, rc, brix_index_filename);
      goto end;
    }
    oldLength = attrs.DataLength;
    if (brix_index_cosID < 1) brix_index_cosID = int(attrs.COSId);
  }
  indexFd = brix_OpenIndexFile(brix_index_filename, O_RDONLY, remote ? BRIX_REMOTE_FILE : ixRes);
  if (indexFd < 0) goto end;
  if (brix_debug_level > 1) fprintf(stderr, "[debug] successfully opened Index file for reading on FD=%d\n", indexFd);
  if (remote) {
    rwFd = open(brix_tmpIndexFile, O_RDWR | O_CLOEXEC);
    if (rwFd < 0) {
      brix_Log(BRIX_MSG_ERROR, "%s: error %d opening rewrite file for tmp REMOTE index file [%s]\n", fn, errno,
               brix_index_filename);
      goto end;
    }
  } else if (!store) {
    rwFd = open(brix_index_filename, O_RDWR | O_CLOEXEC);
    if (rwFd < 0) {
      brix_Log(BRIX_MSG_ERROR, "%s: error %d opening rewrite file for local index file [%s]\n", fn, errno, brix_index_filename);
      goto end;
    }
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
      if (entries == 0 || brix_IndexReadRandomEntry(indexFd, ixRes, entries - 1, &cfEntry) != 0) {
        brix_Log(BRIX_MSG_ERROR, "Fatal error reading Consistency File index entry - cannot continue\n");
        goto end;
      }
      uint64_t offset = cfEntry.bent_offset * 512;
      if (brix_debug_level > 1) fprintf(stderr, "/debug/fetching Consistency File header from Archive at offset=%lu\n",
                                        (unsigned long)offset);
      bif_consistency_t cf;
      if (!brix_MemberInsideArchive(&cfEntry, recorded) ||
          brix_ReadArchiveCF(archiveFd, brix_filetype, offset, &cf) != 0) {
        brix_Log(BRIX_MSG_ERROR, "Error fetching Consistency File entry from Archive at offset=%lu\n", (unsigned long)offset);
        goto end;
      }
      brix_CloseFile(archiveFd, brix_filetype);
      archiveFd = -1;
      if (!brix_CheckConsistency(&brix_index_hdr.bif_cfinfo, &cf)) {
        brix_Log(BRIX_MSG_ERROR, "Fatal: Index file %s is inconsistent with Archive File %s\n", brix_index_filename,
                 brix_archive);
        goto end;
      }
    }
    if (store && startStoreRewrite(&rw, indexFd, oldLength) != 0) goto end;
    if (brix_IndexFilePosition(indexFd, ixRes, 0) != 0) {
      brix_Log(BRIX_MSG_ERROR, "Fatal: error repositioning Index file %s\n", brix_index_filename);
      goto end;
    }
    console_message("reading index file", "");
    for (uint64_t n = 1; n <= entries && !brix_shutdown_signalled; n++) {
      bif_entry_t* e = nullptr;
      int endFlag = 0;
      if (brix_IndexFileRead(indexFd, ixRes, 0, &e, &endFlag) != 0) goto end;
      // The new storage index gets every entry, changed or not.
      bif_entry_t kept = e ? *e : bif_entry_t{};
      auto emit = [&](const bif_entry_t& x) { return !store || storeAppend(&rw, x) == 0; };
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
        if (!emit(kept)) goto end;
        continue;
      }
      if (brix_FileListEntries > 0 && !brix_IndexEntryWasSelected(e)) {
        if (brix_debug_level >= 3) fprintf(stderr, "/debug/skipping unselected entry: %s\n", path);
        if (!emit(kept)) goto end;
        continue;
      }
      if (hasCF && n == entries) {
        fprintf(stderr, "WARNING: Cannot %s Consistency File index entry [%s]\n", verb, path);
        if (!emit(kept)) goto end;
        continue;
      }
      uint32_t t = e->bent_type;
      if (t != BTO_FILE && t != BTO_HARDLINK && t != BTO_SYMLINK) {
        fprintf(stderr, "WARNING: Cannot %s directory '%s'\n", verb, path);
        if (!emit(kept)) goto end;
        continue;
      }
      if (brix_option_flags & BRIX_OPT_INTERACTIVE) {
        console_message("", "");
        int answer = brix_GetYesNo("delete", nullptr, path);
        if (answer == 2) {
          skipped++;
          if (!emit(kept)) goto end;
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
      if (store ? !emit(changed) : brix_IndexRewriteEntry(rwFd, &changed, int64_t(n - 1)) != 0) goto end;
    }
    if (brix_shutdown_signalled) goto end;
    if (store && finishStoreRewrite(&rw) != 0) goto end;
    // The changes reach the gateway host only with the copy sent back.
    if (remote && brix_CopyIndexToRemote() != 0) goto end;
  }
  if (brix_debug_level > 0 || (brix_option_flags & (BRIX_OPT_VERBOSE | BRIX_OPT_SLIGHTLY_VERBOSE)))
    fprintf(stdout,
            "%s: %s complete. total index entries: %ld entries modified: %ld entries skipped by user: %ld phantom entries: %ld\n",
            "BRIX", verb, long(entries), long(modified), long(skipped), long(phantoms));
  result = 0;

end:
  brix_PrintClosingLine(stdout, result);
  fflush(stdout);
  if (archiveFd >= 0) brix_CloseFile(archiveFd, brix_filetype);
  if (store) abandonStoreRewrite(&rw);
  if (rwFd >= 0 && close(rwFd) != 0)
    brix_Log(BRIX_MSG_ERROR, "%s: Error %d closing %s index file %s\n", fn, errno, "local", brix_index_filename);
  if (indexFd >= 0) brix_CloseFile(indexFd, ixRes);
  console_message("", "");
  return result;
}

int brix_Delete(void) { return brix_CommonDeleteUndelete(1); }
int brix_Undelete(void) { return brix_CommonDeleteUndelete(0); }
