// The build-index operation (-X): a new index for an existing archive, made
// from its member headers alone. The scan reads one header block per
// member and seeks over the member's data; at the end the consistency
// member, when the archive has one that agrees, goes into the new header,
// else the index is marked as belonging to an archive without one.
//
// Headers this program does not take are reported and passed over with
// their data; a GNU long-name or pax extended header also takes the member
// it describes with it, since that member's own header carries a cut or
// stand-in name.
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <string>
#include <string_view>

#include "brix_extract.h"
#include "brix_blockio.h"
#include "brix_store_file.h"
#include "quor_api.h"
#include "brix_filespec.h"
#include "quor_convert.h"

namespace {

const char* const fn = "brix_BuildIndex";

double secondsOf(const struct timeval& tv) { return double(tv.tv_sec) + double(tv.tv_usec) / 1e6; }

bool describesNextMember(char t) { return t == 'L' || t == 'K' || t == 'x' || t == 'X'; }

const char* extendedKind(char t) {
  switch (t) {
    case 'L': return "GNU long name";
    case 'K': return "GNU long link name";
    case 'x': case 'X': return "pax extended";
    case 'g': return "pax global";
    default: return "unsupported";
  }
}

// Moves the archive position forward by blocks 512-byte blocks.
int skipBlocks(int fd, uint64_t blocks) {
  if (blocks == 0) return 0;
  uint64_t bytes = blocks * 512;
  if (brix_filetype == BRIX_QUOR_FILE) {
    // One seek over the member's data, whatever its size.
    uint64_t out = 0;
    int rc = quor_SetFileOffset(fd, bytes, SEEK_CUR, 0, &out);
    if (rc != 0) {
      brix_Log(BRIX_MSG_ERROR, "Error %d seeking forward %lu bytes (%d blocks) on QUOR archive file %s\n", rc,
               (unsigned long)bytes, int(blocks), brix_archive);
      return -1;
    }
    return 0;
  }
  if (brix_filetype == BRIX_REMOTE_FILE) {
    if (brix_PositionFile(fd, BRIX_REMOTE_FILE, bytes, SEEK_CUR, 0, nullptr) != 0) {
      brix_Log(BRIX_MSG_ERROR, "Error %d seeking forward %lu bytes (%d blocks) on REMOTE archive file %s\n", -1,
               (unsigned long)bytes, int(blocks), brix_archive);
      return -1;
    }
    return 0;
  }
  if (lseek(fd, off_t(bytes), SEEK_CUR) < 0) {
    int e = errno;
    brix_perror("lseek");
    brix_Log(BRIX_MSG_ERROR, "Error %d seeking forward %lu bytes (%d blocks) on local archive file %s\n", e,
             (unsigned long)bytes, int(blocks), brix_archive);
    return -1;
  }
  return 0;
}

constexpr uint64_t PAX_MAX_READ = 1 << 20;

}  // namespace

int brix_PaxRecordsMatter(const char* data, size_t n, char* key, size_t keySize) {
  static const char* const kept[] = {"path", "linkpath", "size", "uid", "gid", "uname", "gname"};
  auto give = [&](const char* k, size_t len) {
    if (keySize == 0) return 1;
    size_t c = len < keySize - 1 ? len : keySize - 1;
    memcpy(key, k, c);
    key[c] = '\0';
    return 1;
  };
  size_t pos = 0;
  while (pos < n) {
    if (data[pos] == '\0') break;  // the rest of the last block
    size_t len = 0, p = pos;
    while (p < n && data[p] >= '0' && data[p] <= '9' && len <= n) len = len * 10 + size_t(data[p++] - '0');
    if (p == pos || p >= n || data[p] != ' ' || len <= p - pos + 1 || len > n - pos || data[pos + len - 1] != '\n')
      return give("(unreadable records)", 20);
    const char* k = data + p + 1;
    const char* end = data + pos + len - 1;
    const char* eq = static_cast<const char*>(memchr(k, '=', size_t(end - k)));
    if (!eq) return give("(unreadable records)", 20);
    size_t klen = size_t(eq - k);
    for (const char* w : kept)
      if (klen == strlen(w) && memcmp(k, w, klen) == 0) return give(k, klen);
    if (klen >= 10 && memcmp(k, "GNU.sparse", 10) == 0) return give(k, klen);
    pos += len;
  }
  return 0;
}

int brix_PaxRecordsDiffer(const char* data, size_t n, const posix_header_t* hdr, uint64_t* size, char* key,
                          size_t keySize) {
  auto give = [&](const char* k, size_t len) {
    if (keySize == 0) return 1;
    size_t c = len < keySize - 1 ? len : keySize - 1;
    memcpy(key, k, c);
    key[c] = '\0';
    return 1;
  };
  auto number = [](const char* v, size_t len, uint64_t* out) {
    if (len == 0 || len > 19) return false;
    uint64_t x = 0;
    for (size_t i = 0; i < len; i++) {
      if (v[i] < '0' || v[i] > '9') return false;
      x = x * 10 + uint64_t(v[i] - '0');
    }
    *out = x;
    return true;
  };
  // Names compare without trailing slashes: a directory's path record may
  // have one its header has not, or the other way round.
  auto sameName = [](const char* v, size_t len, std::string h) {
    while (len > 1 && v[len - 1] == '/') len--;
    while (h.size() > 1 && h.back() == '/') h.pop_back();
    return h.size() == len && memcmp(h.data(), v, len) == 0;
  };
  std::string name(hdr->thb_name, strnlen(hdr->thb_name, sizeof hdr->thb_name));
  size_t prefixLen = strnlen(hdr->thb_prefix, sizeof hdr->thb_prefix);
  if (prefixLen > 0) name = std::string(hdr->thb_prefix, prefixLen) + "/" + name;
  size_t pos = 0;
  while (pos < n) {
    if (data[pos] == '\0') break;  // the rest of the last block
    size_t len = 0, p = pos;
    while (p < n && data[p] >= '0' && data[p] <= '9' && len <= n) len = len * 10 + size_t(data[p++] - '0');
    if (p == pos || p >= n || data[p] != ' ' || len <= p - pos + 1 || len > n - pos || data[pos + len - 1] != '\n')
      return give("(unreadable records)", 20);
    const char* k = data + p + 1;
    const char* end = data + pos + len - 1;
    const char* eq = static_cast<const char*>(memchr(k, '=', size_t(end - k)));
    if (!eq) return give("(unreadable records)", 20);
    std::string_view kv(k, size_t(eq - k));
    const char* v = eq + 1;
    size_t vlen = size_t(end - v);
    uint64_t x = 0;
    bool agrees = true;
    if (kv == "path") {
      agrees = sameName(v, vlen, name);
    } else if (kv == "linkpath") {
      agrees = sameName(v, vlen, std::string(hdr->thb_linkname, strnlen(hdr->thb_linkname, sizeof hdr->thb_linkname)));
    } else if (kv == "uname" || kv == "gname") {
      const char* f = kv == "uname" ? hdr->thb_uname : hdr->thb_gname;
      agrees = strnlen(f, 32) == vlen && memcmp(f, v, vlen) == 0;
    } else if (kv == "uid" || kv == "gid") {
      agrees = number(v, vlen, &x) && x == brix_TarIdField(kv == "uid" ? hdr->thb_uid : hdr->thb_gid);
    } else if (kv == "size") {
      // The data follows at this size whatever the header says; the index
      // holds any size.
      if (!number(v, vlen, &x)) return give(kv.data(), kv.size());
      *size = x;
    } else if (kv.size() >= 10 && kv.substr(0, 10) == "GNU.sparse") {
      agrees = false;
    }
    if (!agrees) return give(kv.data(), kv.size());
    pos += len;
  }
  return 0;
}

int brix_BuildIndex(void) {
  int result = -1;
  int archiveFd = -1;
  bool renameFailed = false;
  int64_t entryNumber = -1;
  int64_t file_objects = 0;
  struct timeval startTv;
  struct rusage startRu;
  brix_SetProgramPhase(BTP_BLDIDX_OPENFILES);
  if (brix_option_flags & BRIX_OPT_STATUS_FIFO) brix_StatusMsg(1, "Opening Files");
  gettimeofday(&startTv, nullptr);
  getrusage(RUSAGE_SELF, &startRu);
  memset(&brix_index_hdr, 0, sizeof brix_index_hdr);
  brix_index_flags = 0;
  brix_annotation_offset = brix_annotation_size = 0;
  if (brix_InitMemberFileLists(int64_t(brix_max_files) + 1, 0) != 0) goto end;
  if (brix_optind < brix_argc || brix_input_list_name)
    brix_Log(BRIX_MSG_INFO, "%s: Warning: extraneous file arguments ignored for <build index> command\n", fn);
  if (brix_filetype == BRIX_PIPE) {
    brix_Log(BRIX_MSG_ERROR, "Build-Index operation not supported for piped Archive file\n");
    brix_SetExitCode(64);
    goto end;
  }
  if (!brix_ResidencySupported(brix_filetype)) goto end;
  {
    struct stat st;
    archiveFd = brix_OpenArchiveFile(O_RDONLY, &st);
    if (archiveFd < 0 || brix_shutdown_signalled) goto end;
    brix_archive_filesize = uint64_t(st.st_size);
    brix_archive_blocks = brix_archive_filesize / 512 + (brix_archive_filesize % 512 ? 1 : 0);
    brix_index_entries = 0;
    if (brix_IndexFileDoesExist(brix_index_filename, brix_IndexOpenResidency()) && isatty2) {
      int answer = brix_GetYesNo("[build index]", "Overwrite existing index file", brix_index_filename);
      if (answer != 1 || brix_shutdown_signalled) {
        brix_SetExitCode(72);
        goto end;
      }
    }
    if (brix_CreateTmpIndexFile() != 0) goto end;
    if (brix_WriteIndexHeader(brix_tmpIndexFD, BRIX_LOCAL_FILE, brix_tmpIndexFile, &brix_index_hdr) != 0) goto end;

    brix_SetProgramPhase(BTP_BLDIDX_READARCHIVE);
    console_message("Reading archive file", "");
    uint64_t running = 0, lastHeader = 0;
    int failedHeaders = 0;
    bool skipDescribed = false;
    bool haveLastHeader = false;
    // The records of the last pax extended header, which describe the
    // member header after it; paxAt is that header's block.
    std::string paxRecords;
    bool havePax = false;
    uint64_t paxAt = 0;
    while (!brix_shutdown_signalled && running < brix_archive_blocks) {
      if (brix_option_flags & BRIX_OPT_STATUS_FIFO)
        brix_StatusMsg(0, "Index entry %ld: read header block", long(entryNumber + 1));
      unsigned char block[512];
      ssize_t n = brix_ReadArchive(archiveFd, sizeof block, block);
      posix_header_t hdr;
      int rc = 0;
      if (n < 0) goto end;
      // A pax header is looked at before the ustar check, which would count
      // even a harmless one (times only) as a failure of the whole scan.
      bool pax = n == ssize_t(sizeof block) && (block[156] == 'x' || block[156] == 'g') &&
                 brix_TarHeaderChecksumOk(block);
      if (n < ssize_t(sizeof block)) {
        brix_Log(BRIX_MSG_ERROR, "Archive file %s ends in a part block at block %lu\n", brix_archive, (unsigned long)running);
        brix_SetExitCode(72);
        rc = -1;
      } else if (!pax) {
        rc = brix_GetTarHeader(block, &hdr);
      }
      if (pax) {
        // pax records: most only add what ustar cannot hold (times to the
        // nanosecond, extended attributes) or repeat the ustar header; an
        // extended header's records are held for the member after it, a
        // global one's that change members are reported.
        memcpy(&hdr, block, sizeof hdr);
        uint64_t size = brix_GetMemberFilesize(&hdr);
        uint64_t dataBlocks = (size + 511) / 512;
        if (dataBlocks > brix_archive_blocks - running - 1) dataBlocks = brix_archive_blocks - running - 1;
        char key[64] = "(too large to read)";
        bool matters = true;
        std::string records;
        if (size <= PAX_MAX_READ && dataBlocks * 512 >= size) {
          records.assign(size_t(dataBlocks * 512), '\0');
          if (brix_ReadArchive(archiveFd, records.size(), records.data()) != ssize_t(records.size())) goto end;
          records.resize(size_t(size));
          matters = block[156] == 'g' && brix_PaxRecordsMatter(records.data(), records.size(), key, sizeof key) != 0;
        } else if (skipBlocks(archiveFd, dataBlocks) != 0) {
          goto end;
        }
        if (block[156] == 'x' && !matters) {
          paxRecords.swap(records);
          havePax = true;
          paxAt = running;
        } else if (matters) {
          brix_Log(BRIX_MSG_WARNING,
                   "Archive member at block %lu has a %s header (typeflag '%c') that changes its %s, which is not ustar%s\n",
                   (unsigned long)running, extendedKind(char(block[156])), char(block[156]), key,
                   block[156] == 'x' ? "; the member it describes is not indexed" : "");
          brix_SetExitCode(72);
          if (block[156] == 'x') skipDescribed = true;
        }
        failedHeaders = 0;
        running += 1 + dataBlocks;
        continue;
      }
      if (rc == BRIX_TAR_EOF) break;
      // The member after a pax header: its records either repeat the
      // header (or give its size) or the member is left out.
      uint64_t paxSize = UINT64_MAX;
      if (havePax && n == ssize_t(sizeof block) && brix_TarHeaderChecksumOk(block)) {
        havePax = false;
        memcpy(&hdr, block, sizeof hdr);
        char key[64] = "";
        if (brix_PaxRecordsDiffer(paxRecords.data(), paxRecords.size(), &hdr, &paxSize, key, sizeof key) != 0) {
          brix_Log(BRIX_MSG_WARNING,
                   "Archive member at block %lu has a %s header (typeflag '%c') that changes its %s, which is not ustar%s\n",
                   (unsigned long)paxAt, extendedKind('x'), 'x', key, "; the member it describes is not indexed");
          brix_SetExitCode(72);
          skipDescribed = true;
        }
        if (paxSize != UINT64_MAX && paxSize != brix_GetMemberFilesize(&hdr)) {
          // The header's own field cannot hold the size (or is wrong):
          // the copy the index is made from gets it in base-256.
          unsigned char* f = reinterpret_cast<unsigned char*>(hdr.thb_size);
          f[0] = 0x80;
          uint64_t v = paxSize;
          for (int i = 11; i >= 1; i--, v >>= 8) f[i] = (unsigned char)(v & 0xFF);
        }
      }
      havePax = false;
      if (rc < 0) {
        uint64_t dataBlocks = 0;
        if (n == ssize_t(sizeof block) && brix_TarHeaderChecksumOk(block)) {
          // A sound header of a kind this program does not take: its data
          // is passed over, never read as headers, and it says nothing of
          // whether the archive is a tar file.
          if (paxSize == UINT64_MAX) memcpy(&hdr, block, sizeof hdr);
          char t = hdr.thb_typeflag;
          uint64_t size = brix_GetMemberFilesize(&hdr);
          // Links and devices carry no data whatever their size field says.
          if (t == '1' || t == '2' || t == '3' || t == '4' || t == '6') size = 0;
          dataBlocks = size / 512 + (size % 512 ? 1 : 0);
          if (describesNextMember(t) || t == 'g') {
            brix_Log(BRIX_MSG_WARNING, "Archive member at block %lu has a %s header (typeflag '%c'), which is not ustar%s\n",
                     (unsigned long)running, extendedKind(t), t,
                     describesNextMember(t) ? "; the member it describes is not indexed" : "");
          }
          if (describesNextMember(t)) skipDescribed = true;
          else skipDescribed = false;
          if (dataBlocks > brix_archive_blocks - running - 1) dataBlocks = brix_archive_blocks - running - 1;
        } else {
          failedHeaders++;
        }
        running += 1 + dataBlocks;
        if (failedHeaders > 2) {
          brix_Log(BRIX_MSG_ERROR, "Hmmmm - %s does not appear to be a POSIX-compliant tar file\n", brix_archive);
          goto end;
        }
        if (skipBlocks(archiveFd, dataBlocks) != 0) goto end;
        continue;
      }
      failedHeaders = 0;
      bif_entry_t entry;
      uint64_t blocks = 0, size = 0;
      if (brix_IndexFromTarHdr(running, &hdr, &entry, &blocks, &size) != 0) {
        brix_SetExitCode(72);
        goto end;
      }
      if (skipDescribed) {
        char path[300];
        brix_FormIxEntryPathname(&entry, path);
        brix_Log(BRIX_MSG_WARNING, "Member at block %lu (%s) follows an extended header - not indexed\n",
                 (unsigned long)running, path);
        skipDescribed = false;
        if (blocks > brix_archive_blocks - running) break;
        running += blocks;
        if (running < brix_archive_blocks && skipBlocks(archiveFd, blocks - 1) != 0) goto end;
        continue;
      }
      entryNumber++;
      if (entryNumber > brix_max_files) {
        brix_Log(BRIX_MSG_ERROR, "Gak - too many member files found on archive file %s. Current limit is %ld\n",
                 brix_archive, brix_max_files);
        brix_Log(BRIX_MSG_ERROR, "Either increase via the -M option or contact the consulting office for help");
        brix_SetExitCode(72);
        goto end;
      }
      lastHeader = running;
      haveLastHeader = true;
      if (blocks > brix_archive_blocks - running) {
        char path[300];
        brix_FormIxEntryPathname(&entry, path);
        console_message("", "");
        brix_Log(BRIX_MSG_ERROR, "Archive file %s seems to be truncated. Terminating index after %ld entries\n",
                 brix_archive, long(brix_index_entries));
        brix_Log(BRIX_MSG_ERROR, "File appears truncated at: %s 512-byte Blocks: %u Filesize: %lu\n", path,
                 unsigned(blocks), (unsigned long)size);
        brix_SetExitCode(72);
        haveLastHeader = brix_index_entries > 0;
        break;
      }
      console_message("", "");
      if (brix_option_flags & BRIX_OPT_VERBOSE) {
        char path[300];
        brix_FormIxEntryPathname(&entry, path);
        fprintf(stdout, "%s: i %s\n", "BRIX", path);
      }
      bif_entry_t disk = entry;
      brix_SwapIndexEntry(&disk);
      if (brix_BlockWrite(brix_tmpIndexFD, brix_tmpIndexFile, BRIX_LOCAL_FILE, sizeof disk, &disk) != ssize_t(sizeof disk))
        goto end;
      uint32_t t = entry.bent_type;
      if (t == BTO_FILE || t == BTO_HARDLINK || t == BTO_SYMLINK) {
        brix_SetMemberFileXferSuccess(entryNumber, 1);
        file_objects++;
      }
      brix_index_entries++;
      running += blocks;
      if (running >= brix_archive_blocks) break;
      if (blocks > 1 && skipBlocks(archiveFd, blocks - 1) != 0) goto end;
    }
    if (brix_shutdown_signalled) goto end;

    // The consistency member is the last one of archives this program
    // writes; its header block is the last header found.
    uint32_t flags = 0;
    bif_consistency_t cf;
    bool found = haveLastHeader && lastHeader * 512 < brix_archive_filesize &&
                 brix_ReadArchiveCF(archiveFd, brix_filetype, lastHeader * 512, &cf) == 0;
    if (!found) {
      flags |= BIF_FLAG_NOT_BRIX;
    } else {
      if (cf.bif_brix_filecount != brix_index_entries) {
        flags |= BIF_FLAG_NOT_BRIX;
        if (brix_debug_level >= 1) {
          fprintf(stderr, "/debug/wrong object count in consistency file.\n");
          fprintf(stderr, "I counted %d, but it says there should be %lu\n", int(brix_index_entries),
                  (unsigned long)cf.bif_brix_filecount);
        }
      }
      brix_index_hdr.bif_cfinfo = cf;
    }
    brix_index_flags = flags;
    brix_index_hdr.bif_cfinfo.bif_tarsize = brix_archive_filesize;
    brix_annotation_offset = brix_annotation_size = 0;
    brix_BuildIndexHeader();
    if (brix_WriteIndexHeader(brix_tmpIndexFD, BRIX_LOCAL_FILE, brix_tmpIndexFile, &brix_index_hdr) != 0) goto end;

    if (brix_filetype == BRIX_QUOR_FILE) {
      brix_StatusMsg(1, "Copying %ld index entries to QUOR", long(brix_index_entries));
      if (brix_CopyIndexToQuor() != 0) goto end;
    } else if (brix_filetype == BRIX_REMOTE_FILE) {
      // The temporary index goes as it stands; the end removes it.
      brix_StatusMsg(1, "Copying %ld index entries to remote", long(brix_index_entries));
      if (brix_CopyIndexToRemote() != 0) goto end;
    } else {
      close(brix_tmpIndexFD);
      brix_tmpIndexFD = -1;
      unlink(brix_index_filename);
      if (rename(brix_tmpIndexFile, brix_index_filename) != 0) {
        int e = errno;
        brix_perror("rename");
        brix_Log(BRIX_MSG_ERROR, "Error %d on rename attempt of local index file from %s to %s\n", e,
                 brix_tmpIndexFile, brix_index_filename);
        brix_SetExitCode(72);
        // The finished index stays under its temporary name, which the
        // message gives.
        brix_unlinkTmpIndexFile = 0;
        renameFailed = true;
        goto end;
      }
      // In place now: the index gets the permissions a new file gets.
      mode_t mask = umask(0);
      umask(mask);
      chmod(brix_index_filename, 0666 & ~mask);
      free(brix_tmpIndexFile);
      brix_tmpIndexFile = nullptr;
    }
  }
  {
    struct timeval nowTv;
    struct rusage nowRu;
    gettimeofday(&nowTv, nullptr);
    getrusage(RUSAGE_SELF, &nowRu);
    char line[1400];
    snprintf(line, sizeof line,
             "%s: Build Index complete for %s, %ld files %ld total objects, size=%s bytes wallclock/user/sys: %.3f %.3f %.3f seconds",
             "BRIX", brix_archive, long(file_objects), long(brix_index_entries), u64tostrwc(brix_archive_filesize),
             brix_DiffTimeval(&nowTv, &startTv), secondsOf(nowRu.ru_utime) - secondsOf(startRu.ru_utime),
             secondsOf(nowRu.ru_stime) - secondsOf(startRu.ru_stime));
    brix_LogMsg(BRIX_MSG_LOGONLY, BRIX_LOG_SELECT_MSG, line);
    if (brix_debug_level >= 1 || (brix_option_flags & (BRIX_OPT_VERBOSE | BRIX_OPT_SLIGHTLY_VERBOSE)))
      fprintf(stdout, "%s\n", line);
  }
  result = 0;

end:
  console_message("", "");
  brix_PrintClosingLine(stdout, result);
  fflush(stdout);
  if (archiveFd >= 0) brix_CloseFile(archiveFd, brix_filetype);
  if (brix_tmpIndexFD >= 0) {
    close(brix_tmpIndexFD);
    brix_tmpIndexFD = -1;
  }
  if (brix_tmpIndexFile && !renameFailed && (brix_debug_level < 2 || brix_shutdown_signalled)) {
    unlink(brix_tmpIndexFile);
    free(brix_tmpIndexFile);
    brix_tmpIndexFile = nullptr;
  }
  return result;
}
