// The list operation: an archive's members from its index file alone, after
// checking that the archive exists and has the size the index records.
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "brix_blockio.h"
#include "brix_store_file.h"
#include "brix_filespec.h"
#include "brix_index.h"

namespace {

const char* const permBits[8] = {"---", "--x", "-w-", "-wx", "r--", "r-x", "rw-", "rwx"};

// Local time of an mtime as "YYYY-MM-DD hh:mm"; one conversion per minute
// of distinct times, since a listing holds many members of the same minute.
// The text stays valid until the next call; *len gets its length.
const char* formatTime(uint32_t mtime, size_t* len) {
  static int64_t lastMinute = -1;
  static char lastText[64];
  static size_t lastLen = 0;
  int64_t minute = int64_t(mtime) / 60;
  if (minute != lastMinute) {
    time_t t = time_t(mtime);
    struct tm tm;
    localtime_r(&t, &tm);
    int n = snprintf(lastText, sizeof lastText, "%4.4d-%2.2d-%2.2d %2.2d:%2.2d", tm.tm_year + 1900,
                     tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min);
    lastLen = n < 0 ? 0 : std::min(size_t(n), sizeof lastText - 1);
    lastMinute = minute;
  }
  *len = lastLen;
  return lastText;
}

// The field writers of a listing line: each puts its field at p and
// returns the end. Lines are formatted straight into the output buffer,
// which always has room for a whole line (kLineMax).
constexpr size_t kLineMax = 1024;

char* put(char* p, const char* s, size_t n) {
  memcpy(p, s, n);
  return p + n;
}

// Decimal, right-aligned in at least width places (as "%*lu").
char* putDecimal(char* p, uint64_t v, int width) {
  char digits[20];
  int n = 0;
  do {
    digits[n++] = char('0' + v % 10);
    v /= 10;
  } while (v != 0);
  for (int i = n; i < width; i++) *p++ = ' ';
  while (n > 0) *p++ = digits[--n];
  return p;
}

// Eight lowercase hexadecimal digits (as "%8.8x").
char* putHex8(char* p, uint32_t v) {
  static const char hex[] = "0123456789abcdef";
  for (int shift = 28; shift >= 0; shift -= 4) *p++ = hex[(v >> shift) & 15];
  return p;
}

// A fixed-size name field, up to its first NUL.
char* putField(char* p, const char* field, size_t size) { return put(p, field, strnlen(field, size)); }

char* appendLine(char* p, const bif_entry_t* e, int64_t printed) {
  p = put(p, "BRIX: ", 6);
  if (brix_option_flags & BRIX_OPT_BLOCKNUMS) {
    *p++ = '[';
    p = putDecimal(p, e->bent_offset, 0);
    p = put(p, "] ", 2);
  }
  uint32_t type = e->bent_type;
  if (type == BTO_UNKNOWN || type > 5)
    brix_Log(BRIX_MSG_ERROR, "Unknown object type: %d Index Entry %d\n", int(type), int(printed));
  *p++ = type == BTO_DIRECTORY ? 'd' : type == BTO_SYMLINK ? 'l' : '-';
  uint32_t m = e->bent_mode;
  p = put(p, permBits[(m >> 6) & 7], 3);
  p = put(p, permBits[(m >> 3) & 7], 3);
  p = put(p, permBits[m & 7], 3);
  *p++ = ' ';
  if (e->bent_flags & BENT_FLAG_DELETED) *p++ = 'D';
  if (brix_option_flags & BRIX_OPT_CRC) {
    if (type == BTO_FILE || type == BTO_HARDLINK) {
      if (e->bent_flags & BENT_FLAG_CRC) {
        p = put(p, "[0x", 3);
        p = putHex8(p, e->bent_crc32);
        p = put(p, "] ", 2);
      } else {
        p = put(p, "[]           ", 13);
      }
    } else {
      p = put(p, "             ", 13);
    }
  }
  *p++ = ' ';
  p = putField(p, e->bent_uname, 32);
  *p++ = '/';
  p = putField(p, e->bent_gname, 32);
  *p++ = ' ';
  p = putDecimal(p, e->bent_fsize, 10);
  *p++ = ' ';
  size_t whenLen;
  const char* when = formatTime(e->bent_mtime, &whenLen);
  p = put(p, when, whenLen);
  p = put(p, "  ", 2);
  // The member's path as brix_FormIxEntryPathname makes it, without the copy.
  p = putField(p, e->bent_prefix, 155);
  if (e->bent_prefix[0] != '\0') *p++ = '/';
  p = putField(p, e->bent_name, 100);
  if (type == BTO_DIRECTORY && p[-1] != '/') *p++ = '/';
  if (type == BTO_SYMLINK) {
    p = put(p, " -> ", 4);
    p = putField(p, e->bent_linkname, 100);
  }
  *p++ = '\n';
  return p;
}

// With -J the member names are index ordinals.
bool selectedByOrdinal(const std::vector<uint64_t>& ordinals, uint64_t number) {
  return std::binary_search(ordinals.begin(), ordinals.end(), number);
}

}  // namespace

int brix_List(void) {
  static const char* fn = "brix_List";
  int result = -1;
  int fd = -1;
  int64_t files = 0, total = 0;
  bool lineBuffered = isatty(STDOUT_FILENO) != 0;
  if (brix_filetype == BRIX_PIPE) {
    brix_Log(BRIX_MSG_ERROR, "brix_List: need index file copy code for piped Archive File\n");
    brix_SetExitCode(64);
    goto end;
  }
  if (!brix_ResidencySupported(brix_filetype)) goto end;
  if (brix_GenFilelist() != 0) goto end;
  console_message("Reading Index File from",
                  (std::string(brix_filetype == BRIX_QUOR_FILE ? "QUOR " : brix_filetype == BRIX_REMOTE_FILE ? "Unix gateway " : "? ") +
                   brix_index_filename).c_str());
  brix_SetProgramPhase(BTP_LIST_OPENINDEX);
  fd = brix_OpenIndexFile(brix_index_filename, O_RDONLY, brix_IndexOpenResidency());
  if (fd < 0) {
    brix_Log(BRIX_MSG_ERROR, "Fatal error opening index file: %s", brix_index_filename);
    goto end;
  }
  if (brix_debug_level >= 2) fprintf(stderr, "[debug] successfully opened Index file for reading on FD=%d\n", fd);
  {
    struct stat st;
    if (brix_filetype == BRIX_QUOR_FILE || brix_filetype == BRIX_REMOTE_FILE) {
      if (brix_GetArchiveXAttrs(brix_filetype, &st) != 0) goto end;
    } else if (stat(brix_archive, &st) != 0) {
      int e = errno;
      if (e == ENOENT) {
        brix_Log(BRIX_MSG_ERROR, "[FATAL] no such local archive file: %s\n", brix_archive);
      } else if (e == EACCES) {
        brix_Log(BRIX_MSG_ERROR, "[FATAL] no permission to open local archive file: %s\n", brix_archive);
      } else {
        brix_perror("stat");
        brix_Log(BRIX_MSG_ERROR, "[FATAL] error %d getting attributes for local archive file %s\n", e,
                 brix_archive);
      }
      brix_SetExitCode(72);
      goto end;
    }
    if (!S_ISREG(st.st_mode)) {
      brix_Log(BRIX_MSG_ERROR, "[FATAL] Archive file %s is not a regular file\n", brix_archive);
      brix_SetExitCode(72);
      goto end;
    }
    uint64_t expected = brix_index_hdr.bif_cfinfo.bif_tarsize;
    if (uint64_t(st.st_size) != expected) {
      brix_Log(BRIX_MSG_ERROR, "[FATAL] Inconsistent actual/index files sizes for Archive file %s\n",
               brix_archive);
      brix_Log(BRIX_MSG_ERROR, "     Archive file actual size is: %lu\n", (unsigned long)st.st_size);
      brix_Log(BRIX_MSG_ERROR, "     Index file (%s) thinks size should be %lu\n", brix_index_filename,
               (unsigned long)expected);
      brix_SetExitCode(72);
      goto end;
    }
  }
  {
    std::vector<uint64_t> ordinals;
    bool byOrdinal = (brix_option_flags & BRIX_OPT_ORDINALS) && brix_FileListEntries > 0;
    if (byOrdinal) {
      for (int64_t i = 0; i < brix_FileListEntries; i++) ordinals.push_back(brix_FileList[i].indexOrd);
      std::sort(ordinals.begin(), ordinals.end());
    }
    // Lines go out as they are made on a terminal, in large writes elsewhere.
    // A listing that cannot be written (a reader gone: EPIPE, a full disk)
    // fails the run.
    const size_t kFlushAt = 1u << 20;
    std::vector<char> pending(kFlushAt + kLineMax);
    size_t used = 0;
    int writeError = 0;
    auto drain = [&]() {
      {
        brix_BlockingCall mark;
        if (used > 0 && fwrite(pending.data(), 1, used, stdout) != used && !writeError)
          writeError = errno ? errno : EIO;
        if (fflush(stdout) != 0 && !writeError) writeError = errno ? errno : EIO;
      }
      // A forced shutdown cut short a write nobody reads: every later line
      // on standard output would block the same way.
      if (writeError == EINTR && brix_shutdown_signalled) brix_InterruptibleToEnd();
      used = 0;
      return writeError == 0;
    };
    brix_SetProgramPhase(BTP_LIST_READINDEX);
    if (brix_IndexReadInit() != 0) goto end;
    uint64_t number = 0;
    // A local index is read in batches that stay in cache while their lines
    // are made; one in the store in large reads, each a request.
    int batch = brix_IndexResidency() == BRIX_LOCAL_FILE ? 512 : 0;
    for (;; number++) {
      bif_entry_t* e = nullptr;
      int endFlag = 0;
      if (brix_IndexFileRead(fd, brix_IndexResidency(), batch, &e, &endFlag) != 0) {
        drain();
        goto end;
      }
      if (endFlag) break;
      if (total == 0 && memcmp(e->bent_sanity, "BRIX_IDX", 8) != 0) {
        brix_Log(BRIX_MSG_ERROR, "Hmmm- %s does not appear to be a file created by brix.\n",
                 brix_index_filename);
        drain();
        goto end;
      }
      if (e->bent_flags & BENT_FLAG_PHANTOM) {
        if (brix_debug_level >= 1) fprintf(stderr, "/debug/skipping phantom index entry %d\n", int(total));
        continue;
      }
      if (byOrdinal ? !selectedByOrdinal(ordinals, number) : !brix_IndexEntryWasSelected(e)) continue;
      used = size_t(appendLine(pending.data() + used, e, total) - pending.data());
      if ((lineBuffered || used >= kFlushAt) && !drain()) break;
      total++;
      if (e->bent_type != BTO_DIRECTORY) files++;
    }
    if (!drain()) {
      if (!brix_shutdown_signalled)
        brix_Log(BRIX_MSG_ERROR, "%s: Error %d writing the listing to standard output\n", fn, writeError);
      brix_SetExitCode(72);
      goto end;
    }
  }
  {
    char summary[4300];
    snprintf(summary, sizeof summary, "%s: Listing complete for %s, %ld files %ld total objects", "BRIX",
             brix_archive, long(files), long(total));
    brix_LogMsg(BRIX_MSG_LOGONLY, BRIX_LOG_SELECT_MSG, summary);
    if ((brix_option_flags & (BRIX_OPT_VERBOSE | BRIX_OPT_SLIGHTLY_VERBOSE)) || brix_debug_level >= 1)
      fprintf(stdout, "%s\n", summary);
  }
  result = 0;
end:
  fflush(stdout);
  brix_PrintClosingLine(stdout, result);
  fflush(stdout);
  if (fd >= 0 && brix_CloseFile(fd, brix_IndexResidency()) != 0)
    brix_Log(BRIX_MSG_ERROR, "***%s: Error %d closing %s index file %s\n", fn, errno, "local",
             brix_index_filename);
  return result;
}
