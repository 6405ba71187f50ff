// The get family: get, recv, mget and cget. The handler parses options and
// keywords, expands each name (here-documents, "local : storage" pairs,
// drive prefixes, wildcards), decides per file and queues it in its size
// class; detached workers run the per-file driver.
#include <errno.h>
#include <stdarg.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "ozu_cmdframe.h"
#include "ozu_connect.h"
#include "ozu_context.h"
#include "ozu_drive.h"
#include "ozu_errors.h"
#include "ozu_getopt.h"
#include "ozu_glob.h"
#include "ozu_heredoc.h"
#include "ozu_keyset.h"
#include "ozu_locks.h"
#include "ozu_log.h"
#include "ozu_paths.h"
#include "ozu_prompt.h"
#include "ozu_tokens.h"
#include "ozu_util.h"
#include "ozurc.h"
#include "ozuvars.h"
#include "quor_api.h"
#include "quor_hash.h"
#include "xfer_commands.h"
#include "xfer_digest.h"
#include "xfer_offsets.h"
#include "xfer_queue.h"
#include "xfer_record.h"

namespace {

const char *getCommandOpts = "ABbCc:F:hkL:nNO:PpqQRrST:tUuX:";
const char *hashCommandOpts = "ACF:H:hNRST:t";

struct getState {
  int localRunmode = 0;
  char *quorPathName = nullptr;
  char *localPathName = nullptr;
  int max_active_xfers = 0;
  int aborted = 0;
  int verifyflag = 0;
  int cgetflag = 0;
  int cksumEnabled = 0;
  int enable_LFM = 0, enable_TA = 0;
  int optimized_scheduling = 0;
  int hashCreate = 0, hashVerify = 0;
  int hashType = 0;
  std::vector<xfer_offset_t> partial;
};
getState g;

void report(int code, int dest, const char *fmt, ...) __attribute__((format(printf, 3, 4)));
void report(int code, int dest, const char *fmt, ...)
{
  char msg[4200];
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(msg, sizeof msg, fmt, ap);
  va_end(ap);
  setExitResult(code, msg, dest);
}

void readUsage(void)
{
  const char *a = verbAbbreviation ? verbAbbreviation : "g";
  const char *full = verb ? verb : "get";
  const char *rest = strlen(full) >= strlen(a) ? full + strlen(a) : "";
  fprintf(listF,
          "Usage: %s[%s] [-A] [-B | -b] [-C] [-c on|off] [-F on|off] [-h] [-N] [-o] \n"
          "       [-P | -p] [-R | -r] [-S] [-T on|off ][-U | -u] path ... [<<MARKER]\n",
          a, rest);
  fprintf(listF,
          "  or\n    %s[%s] [-A] [-B | -b] [-C] [-c on|off] [-F on|off] [-h] [-N] [-L ofs path] [-o]\n"
          "    [-O srcofs:sinkofs:length] [-P | -p] [-Q] [-S] [-T on|off] [-t] [-U | -u] [path ...] [<<MARKER]\n",
          a, rest);
  fputs("  -A       : automatic scheduling of tape retrievals on, also when the global\n"
        "             setting is off\n"
        "  -B | -b  : backup on: an existing local file is first renamed to its name\n"
        "             with a trailing \"~\" (This option may not be used with -L,-t, or -O)\n"
        "  -C       : purge the stored file from the disk cache after a successful get\n"
        "  -c on|off: verify the checksum stored with the file (on) or not (off)\n"
        "  -F on|off: use the local file mover when possible (on) or never (off)\n"
        "  -h       : copy a stored symbolic link as a local symbolic link\n"
        "  -L       : read partial-transfer offsets from a file\n"
        "  -N       : automatic scheduling off\n"
        "  -O       : one partial transfer: source offset, sink offset and length;\n"
        "             offsets may carry size suffixes (k, m, g, t; any case)\n"
        "  -P | -p  : give the local file the stored file's access and modification times\n"
        "  -Q       : give the local file the stored file's owner and group (root only)\n"
        "  -S       : open the stored file without staging it\n"
        "  -T on|off: use the transfer agent (on) or never (off)\n"
        "  -t       : restart: continue the local file from its size; the same as -O\n"
        "             with the local file's size as source and sink offset and length 0\n"
        "  -U | -u  : update: retrieve only files newer than the local copy\n"
        "  -R | -r  : retrieve directories recursively\n"
        "  MARKER   : read the names from the following lines, up to a line holding\n"
        "             only MARKER (a here-document: get <<END)\n",
        listF);
}

void hashUsage(void)
{
  const char *a = verbAbbreviation ? verbAbbreviation : "hashcr";
  const char *full = verb ? verb : "hashcreate";
  const char *rest = strlen(full) >= strlen(a) ? full + strlen(a) : "";
  fprintf(listF, "Usage: %s[%s] [-A] [-C] [-F on|off] [-H type] [-h] [-N]\n       [-R] [-S] [-T on|off ] path ... [<<MARKER]\n",
          a, rest);
  fputs(" NOTE: the local : quor path syntax is not used for this command. All pathnames are \n"
        "       QUOR filename. \n"
        "  -A       : automatic scheduling of tape retrievals on\n"
        "  -C       : purge the stored file from the disk cache afterwards\n"
        "  -F on|off: use the local file mover when possible (on) or never (off)\n",
        listF);
  if (g.hashCreate)
    fputs("  -H type  : checksum type: none, sha1, sha224, sha256, sha384, sha512, md5,\n"
          "             crc32 or adler32\n",
          listF);
  fputs("  -h       : follow no symbolic link\n"
        "  -N       : automatic scheduling off\n"
        "  -R       : walk directories recursively\n"
        "  -S       : open the stored file without staging it\n"
        "  -T on|off: use the transfer agent (on) or never (off)\n"
        "  -t       : not yet supported\n"
        "  MARKER   : read the names from the following lines, up to a line holding\n"
        "             only MARKER (a here-document)\n",
        listF);
}

int workerPerFile(xfer_size_to_count_t *cls, sized_xfer_queue_t *e);

bool isPipeName(const char *name) { return strcmp(name, "-") == 0 || name[0] == '|'; }

// The update, pipe and prompting rule: 1 get, 0 skip.
int shouldGetFile(int64_t lastWriteTime)
{
  bool update = (minus_opt & 0x800) != 0;
  if (update && isPipeName(g.localPathName)) {
    fprintf(listF,
            "*** WARNING: cget (or get -U) is disabled for piped output files. \n Will not read input file %s\n",
            g.quorPathName);
    return 0;
  }
  if (update) {
    struct stat st;
    if (stat(g.localPathName, &st) == 0) {
      if (!(minus_opt & 0x20000) && int64_t(st.st_mtime) >= lastWriteTime)
        return 0;
    } else if (errno != ENOENT) {
      report(64, 7, "*** Error %d trying to stat local file %s\n", errno, g.localPathName);
    }
  }
  if (g.verifyflag) {
    switch (ozu_GetYesNo("mget", g.quorPathName)) {
    case 0:
      break;
    case 1:
    case -1:
      g.verifyflag = 0;
      break;
    case 2:
      return 0;
    case 3:
      g.aborted++;
      return 0;
    }
  }
  return 1;
}

uint32_t fileFlags(void)
{
  uint32_t f = 0;
  if (minus_opt & 0x10)
    f |= g.enable_LFM ? FX_USE_LFM_IO : FX_DISABLE_LFM_IO;
  if (minus_opt & 0x40000)
    f |= g.enable_TA ? FX_USE_TA_IO : FX_DISABLE_TA_IO;
  if (minus_opt & 0x4)
    f |= FX_PURGE_CACHE;
  if (minus_opt & 0x1000)
    f |= FX_PRESERVE_TIME;
  if (minus_opt & 0x2000)
    f |= FX_PRESERVE_TIME | FX_CURRENT_TIME;
  if ((minus_opt & 0x4000) && getuid() == 0)
    f |= FX_PRESERVE_OWNER;
  if (minus_opt & 0x10000)
    f |= FX_OPEN_NOSTAGE;
  if (minus_opt & 0x20000)
    f |= FX_RETRANSFER_REQ;
  if (minus_opt & (0x20000 | 0x80))
    f |= FX_KEEP_ON_ERROR;
  if (g.hashCreate)
    f |= FX_CKSUM_ENABLED | FX_CKSUM_CREATE_OP;
  if (g.hashVerify)
    f |= FX_CKSUM_ENABLED | FX_CKSUM_VERIFY_OP;
  return f;
}

// Queues one file: 0, or -1 when no worker could be started.
int getFile(int64_t lastWriteTime, int skipChecks)
{
  if (!skipChecks && !shouldGetFile(lastWriteTime))
    return 0;
  auto *attrs = static_cast<quor_xfileattr_t *>(calloc(1, sizeof(quor_xfileattr_t)));
  if (attrs == nullptr) {
    ozu_MallocError(long(sizeof(quor_xfileattr_t)), "getFile", __FILE__, __LINE__);
    return 0;
  }
  const char *path = g.quorPathName;
  int rc = ozu_EioRetry([&] { return quor_FileGetXAttributes(path, 2, 0, attrs); });
  if (rc < 0) {
    setExitResult(70, quor_perror(rc, verb, path, nullptr), 7);
    free(attrs);
    return 0;
  }
  ozu_FreeXAttrsPVList(attrs);
  auto *e = static_cast<sized_xfer_queue_t *>(calloc(1, sizeof(sized_xfer_queue_t)));
  if (e == nullptr) {
    ozu_MallocError(long(sizeof(sized_xfer_queue_t)), "getFile", __FILE__, __LINE__);
    free(attrs);
    return 0;
  }
  e->xferSizeInx = ozu_GetXferSizeInx(attrs->Attrs.DataLength);
  e->xferFlags = fileFlags();
  e->quorPathName = strdup(g.quorPathName);
  e->localPathName = strdup(g.localPathName);
  e->quorStat = attrs;
  e->conHandle = keyset && keyset->curContext ? keyset->curContext->handle : -1;
  if (e->quorPathName == nullptr || e->localPathName == nullptr || e->xferSizeInx < 0) {
    if (e->xferSizeInx >= 0)
      ozu_MallocError(long(strlen(g.quorPathName)), "getFile", __FILE__, __LINE__);
    ozu_FreeXferQueueEntry(e);
    return 0;
  }
  if (ozu_QueueTransfer(e, g.max_active_xfers, workerPerFile) < 0) {
    report(78, 7, "***%s: (internal) thread create error: local file '%s'\n", "getFile", g.localPathName);
    interrupted = 1;
    return -1;
  }
  return 0;
}

int workerPerFile(xfer_size_to_count_t *, sized_xfer_queue_t *e)
{
  transfer_t *ctl = getTransferEntry();
  if (ctl == nullptr) {
    report(70, 7, "*** %s: Error getting transfer entry - quitting\n", "ReadQueueThread");
    ozu_FreeXferQueueEntry(e);
    interrupted = 1;
    return -1;
  }
  ctl->xferSizeIndex = e->xferSizeInx;
  ctl->Flags = e->xferFlags;
  ctl->quorFile.quorPath = e->quorPathName;
  ctl->localFile.localPath = e->localPathName;
  e->quorPathName = e->localPathName = nullptr;
  if (e->quorStat != nullptr)
    ctl->quorFile.attrs = *e->quorStat;
  ctl->quorFile.conHandle = e->conHandle;
  ctl->xferOperation = IOP_GET;
  // The name was found on its connection, which may no longer be the
  // current one: the whole transfer speaks to that gateway.
  xfer_conn_hold hold(e->conHandle);
  if (!hold.ok) {
    report(70, 7, "*** %s: connection %d of '%s' is closed - not retrieved\n", "ReadQueueThread",
           e->conHandle, ctl->quorFile.quorPath);
    ozu_FreeXferQueueEntry(e);
    freeXferCtl(ctl);
    return 0;
  }
  ozu_context_t *ctx = ozu_XferContext(ctl);
  ctl->serverRunmode = ctx ? int(ctx->siteInfo.server_runmode) : 1;
  if (ctl->serverRunmode == 0)
    ctl->serverRunmode = 1;
  ctl->quorFile.haveAttrs = 1;
  ctl->localFile.haveStat = 0;
  ozu_FreeXferQueueEntry(e);
  if (g.cksumEnabled && !g.hashCreate) {
    if (getExistingHash(ctl) != 0) {
      if (g.hashVerify) {
        report(72, 7, "no valid checksum found: %s", ctl->quorFile.quorPath);
        freeXferCtl(ctl);
        return 0;
      }
      fprintf(errFile, "*** %s: no valid checksum for '%s' - checksum verification skipped", "ReadQueueThread",
              ctl->quorFile.quorPath);
    } else {
      ctl->Flags |= FX_CKSUM_ENABLED;
    }
  }
  if (ctl->Flags & FX_CKSUM_ENABLED) {
    int type = g.hashCreate ? g.hashType : ctl->fileHashInfo.ozuCksumType;
    if (type == 0) {
      ctl->Flags &= ~uint32_t(FX_CKSUM_ENABLED);
      if (debug >= 1)
        fprintf(listF, "/debug/(hash type=none) disabling checksums for %s\n", ctl->quorFile.quorPath);
    } else {
      ctl->hashInfo.ozuCksumType = type;
      ctl->hashInfo.theHash = quor_HashCreate(quor_hash_type_t(type));
      if (ctl->hashInfo.theHash == nullptr) {
        const char *name = ozu_CksumTypeToString(type);
        report(72, 7, "***%s:quor_HashCreate failed for hash algorithm '%s' QUOR pathname '%s'\n",
               "ReadQueueThread", name ? name : "", ctl->quorFile.quorPath);
        freeXferCtl(ctl);
        interrupted = 1;
        return -1;
      }
    }
  }
  readQuorFile(ctl, g.partial.empty() ? nullptr : g.partial.data(), int(g.partial.size()));
  freeXferCtl(ctl);
  return 0;
}

// One match of a name.
void oneMatch(const globstruct_t *m, const char *pairLocal)
{
  if (m->dir && !g.partial.empty()) {
    report(64, 7, "*** Error: partial transfer illegal for directory (%s)", m->name);
    return;
  }
  if (m->dir) {
    if (!m->globbed && !(minus_opt & 0x8000))
      report(0, 7, "*** Warning: `%s' is a directory - ignored", m->name);
    if (minus_opt & 0x8000)
      report(64, 7, "*** %s: recursive retrieval is not available: %s", verb, m->name);
    return;
  }
  char abs[4097];
  makeQUORpath_r(0, m->name, abs);
  g.quorPathName = strdup(abs);
  if (g.hashCreate || g.hashVerify) {
    // The data is only read for its digest; the local side is a sink that
    // keeps nothing and is never created, renamed or truncated.
    g.localPathName = strdup(OZU_DIGEST_SINK);
  } else if (pairLocal != nullptr) {
    g.localPathName = strdup(pairLocal);
  } else {
    const char *slash = strrchr(abs, '/');
    g.localPathName = strdup(slash ? slash + 1 : abs);
  }
  if (g.quorPathName == nullptr || g.localPathName == nullptr) {
    ozu_MallocError(long(strlen(abs)), "ozu_GetCommand", __FILE__, __LINE__);
    return;
  }
  quor_fileattr_t attrs;
  const char *path = g.quorPathName;
  int rc = ozu_EioRetry([&] { return quor_FileGetAttributes(path, &attrs); });
  if (rc == -2) {
    report(72, 7, "*** no such QUOR file: %s", m->name);
    return;
  }
  if (rc < 0) {
    setExitResult(72, quor_perror(rc, verb, g.quorPathName, nullptr), 7);
    return;
  }
  unsigned type = attrs.Attrs.Type;
  if (type == 129 || type == 131) {
    getFile(int64_t(attrs.Attrs.TimeLastWritten), 0);
  } else if (!m->globbed) {
    report(0, 7, "%s is a %s - skipped", g.quorPathName, quor_ObjectTypeToString(type));
  }
}

void freeNames(void)
{
  free(g.quorPathName);
  free(g.localPathName);
  g.quorPathName = g.localPathName = nullptr;
}

}  // namespace

namespace {

// The names loop: here-documents, pairs, drive prefixes, wildcards.
// Returns when every name is queued or the command ends.
void getNames(ozu_cmd_t *cmd, char ***hdWords, int *hdCount)
{
  while (char *word = ozu_CmdNextName(cmd)) {
    if (g.aborted)
      break;
    if (strncmp(word, "<<", 2) == 0) {
      const char *marker = word[2] ? word + 2 : nullptr;
      if (marker == nullptr) {
        marker = cmd->nextName < cmd->names.size() ? cmd->names[cmd->nextName++] : nullptr;
        if (marker == nullptr) {
          report(64, 6, "*** Missing marker string after here-document sentinel (<<)\n");
          return;
        }
      }
      if (cmd->nextName != cmd->names.size()) {
        report(64, 6, "*** here-document marker must be the last token on the cmd line\n");
        return;
      }
      interrupted = 0;
      *hdWords = ozu_GetHDTokenList(marker, hdCount);
      if (interrupted)
        return;
      cmd->names.assign(*hdWords, *hdWords + (*hdWords ? *hdCount : 0));
      cmd->nextName = 0;
      continue;
    }
    std::string local;
    bool havePair = false;
    if (cmd->nextName < cmd->names.size() && strcmp(cmd->names[cmd->nextName], ":") == 0) {
      cmd->nextName++;
      char *remote = ozu_CmdNextName(cmd);
      if (remote == nullptr) {
        if (!interrupted)
          report(64, 7, "*** Missing %s path after %s :", g.localRunmode ? " REMOTE" : "QUOR", word);
        return;
      }
      char buf[4097];
      local = expandWorkerPath(word, buf, sizeof buf) > 0 ? buf : word;
      havePair = true;
      word = remote;
    }
    int plen = 0;
    if (ozu_CheckDrivePrefix(word, &plen) != nullptr && word[plen] == '\0') {
      log_MissingPathForDrive(word);
      continue;
    }
    char qpath[OZU_CMD_PATHLEN];
    if (ozu_CmdExpandPath(cmd, word, qpath) < 0)
      continue;
    if (havePair && !isPipeName(local.c_str())) {
      int n = ozu_CmdGlob(cmd, local.c_str(), 0);
      if (n <= 0)
        continue;
      if (n > 1) {
        report(64, 7, "*** Ambiguous path: %s", local.c_str());
        continue;
      }
      local = globv[0].name;
    }
    int n = ozu_CmdGlob(cmd, qpath, 1);
    if (n < 0)
      return;
    if (n == 0) {
      if (havePair)
        report(64, 7, "*** No such file: %s", qpath);
      continue;
    }
    if (n > 1 && havePair) {
      report(64, 7, "*** Ambiguous path: %s", qpath);
      continue;
    }
    for (int i = 0; i < n && !interrupted && !g.aborted; ++i) {
      oneMatch(&globv[i], havePair ? local.c_str() : nullptr);
      freeNames();
    }
  }
}

// Options and their checks: 0 to go on, -1 when the command ends.
int getOptions(ozu_cmd_t *cmd)
{
  bool bad = false, partial = false;
  int c;
  bool hashMode = g.hashCreate || g.hashVerify;
  while (!bad && (c = ozu_CmdOption(cmd, hashMode ? hashCommandOpts : getCommandOpts, nullptr)) != OZU_OPT_END) {
    const char *v = ozu_optarg ? ozu_optarg : "";
    auto onOff = [&](int *value, const char *msg) {
      if (strcasecmp(v, "on") == 0)
        *value = 1;
      else if (strcasecmp(v, "off") == 0)
        *value = 0;
      else {
        report(64, 7, msg, v);
        bad = true;
      }
    };
    switch (c) {
    case 'A': minus_opt |= 0x1; g.optimized_scheduling = 1; break;
    case 'B': case 'b': minus_opt |= 0x2; break;
    case 'C': minus_opt |= 0x4; break;
    case 'c':
      minus_opt |= 0x8;
      onOff(&g.cksumEnabled, "*** unrecognized -c argument \"%s\" - expecting \"on\" or \"off\"\n");
      break;
    case 'F':
      minus_opt |= 0x10;
      onOff(&g.enable_LFM, "*** unrecognized -F argument \"%s\" - expecting \"on\" or \"off\"");
      break;
    case 'h': minus_opt |= 0x40; break;
    case 'k': minus_opt |= 0x80; break;
    case 'L':
      minus_opt |= 0x100;
      partial = true;
      if (ozu_ReadXferOffsetFile(v, &g.partial) < 0) {
        report(64, 7, "*** Error(s) reading list of offsets - file %s", v);
        bad = true;
      }
      break;
    case 'H': {
      int t = ozu_ConvertCksumType(v);
      if (t < 0) {
        report(64, 7, "*** unrecognized -H hash type \"%s\"\n", v);
        bad = true;
      } else {
        g.hashType = t;
      }
      break;
    }
    case 'N': minus_opt |= 0x200; break;
    case 'n': fprintf(listF, "Unknown option ignored: %c\n", 'n'); break;
    case 'O': {
      minus_opt |= 0x400;
      partial = true;
      xfer_offset_t p;
      if (ozu_ParseXferOffsetSpec(v, &p) < 0) {
        fprintf(stderr, "*** Bad partial offset spec: %s\n", v);
        bad = true;
      } else {
        g.partial.push_back(p);
      }
      break;
    }
    case 'P': case 'p': minus_opt |= 0x1000; break;
    case 'Q': minus_opt |= 0x4000; break;
    case 'q': minus_opt |= 0x2000; break;
    case 'R': case 'r': minus_opt |= 0x8000; break;
    case 'S': minus_opt |= 0x10000; break;
    case 'T':
      minus_opt |= 0x40000;
      onOff(&g.enable_TA, "*** unrecognized -T argument \"%s\" - expecting \"on\" or \"off\" \n");
      break;
    case 't': minus_opt |= 0x20000; break;
    case 'U': case 'u': minus_opt |= 0x800; break;
    case 'X': {
      long n = strtol(v, nullptr, 10);
      if (n >= 1 && (g.max_active_xfers <= 0 || n < g.max_active_xfers))
        g.max_active_xfers = int(n);
      break;
    }
    case OZU_OPT_REJECTED:
      break;
    default:
      fprintf(stderr, "Unknown option or missing argument: '%c' ignored\n", ozu_optopt);
      break;
    }
  }
  if (bad)
    return -1;
  if ((minus_opt & 0x10) && (minus_opt & 0x40000) && g.enable_LFM && g.enable_TA) {
    report(64, 7, "*** Cannot specify both \"-F on\" and \"-T on\"\n");
    return -1;
  }
  if ((minus_opt & 0x20000) && partial) {
    report(64, 6, "-t may not be used with -O or -L\n");
    return -1;
  }
  if (hashMode) {
    g.cksumEnabled = 1;
    if (minus_opt & 0x20000) {
      report(64, 7, "-t is not yet supported for hashcreate/hashverify\n");
      return -1;
    }
  }
  if ((minus_opt & 0x20000) || partial) {
    if (minus_opt & 0x2) {
      report(0, 6, "-B ignored when -O, -L, or -t specified");
      minus_opt &= ~0x2;
    }
    if (keyset)
      keyset->backup = 0;
    if (g.cksumEnabled) {
      report(0, 6, "*** Checksumming is disabled for partial file transfers");
      g.cksumEnabled = 0;
    }
  }
  if ((minus_opt & 0x2) && keyset)
    keyset->backup = 1;
  if (g.cgetflag)
    minus_opt |= 0x800;
  if (minus_opt & 0x800)
    minus_opt |= 0x1000;
  if ((minus_opt & 0x8000) && partial) {
    report(64, 7, "*** Cannot specify recursion with partial file transfers");
    return -1;
  }
  if (minus_opt & 0x10000)
    minus_opt |= 0x200;
  if (minus_opt & 0x200)
    g.optimized_scheduling = 0;
  if (minus_opt & 0x8000)
    cmd->recurse = 1;
  return 0;
}

}  // namespace

int ozu_GetCommand(char *cc, int cclen)
{
  ozu_context_t *ctx = keyset ? keyset->curContext : nullptr;
  site_connection_t *site = ctx ? ctx->siteEntry : nullptr;
  int disabled = site ? site->disableReads : globalDefs.disableReads;
  const char *disabledMsg = site ? site->disableReadsMsg : globalDefs.disableReadsMsg;
  if (disabled) {
    report(69, 7, "%s\n", disabledMsg ? disabledMsg : "");
    g.verifyflag = g.cgetflag = g.aborted = 0;
    return 1;
  }
  char **hdWords = nullptr;
  int hdCount = 0;
  bool launched = false;
  {
    ozu_cmd_t cmd(cc, cclen);
    g.localRunmode = ctx && ctx->siteInfo.server_runmode == 2;
    ozu_ResetActiveXfers();
    g.max_active_xfers = ozu_GetMaxXfers();
    g.quorPathName = g.localPathName = nullptr;
    g.optimized_scheduling = globalDefs.enableAutoScheduling;
    g.cksumEnabled = g.localRunmode ? 0 : (ctx ? ctx->cksumEnabled : 0);
    g.hashType = ctx ? ctx->cksumHashType : 0;
    g.partial.clear();
    if ((g.hashCreate || g.hashVerify) && g.localRunmode) {
      report(64, 7, "*** This command in only available when connecting to QUOR\n");
    } else if (cmd.argc == 0) {
      if (g.hashCreate || g.hashVerify)
        hashUsage();
      else
        readUsage();
    } else if (getOptions(&cmd) == 0 && ozu_CmdKeywords(&cmd, OZU_KW_UNKNOWN_IS_NAME) == 0) {
      if (cmd.names.empty()) {
        missingObjectsMsg();
      } else {
        ozu_LaunchXferProgressThread();
        launched = true;
        getNames(&cmd, &hdWords, &hdCount);
      }
    }
    // Every transfer of the command ends before the connection is switched
    // back or anything the workers read is released.
    ozu_WaitForInflightXfers();
    if (launched)
      ozu_StopXferProgressThread();
    freeNames();
  }
  if (hdWords != nullptr) {
    for (int i = 0; i < hdCount; ++i)
      free(hdWords[i]);
    free(hdWords);
  }
  g.verifyflag = g.cgetflag = g.aborted = g.hashCreate = g.hashVerify = 0;
  g.partial.clear();
  if (debug >= 2)
    fprintf(errFile, "...command complete - releasing string memory\n");
  return 1;
}

int ozu_HashCreateCommand(char *cc, int cclen)
{
  g.hashCreate = 1;
  g.cgetflag = g.hashVerify = 0;
  return ozu_GetCommand(cc, cclen);
}

int ozu_HashVerifyCommand(char *cc, int cclen)
{
  g.hashVerify = 1;
  g.cgetflag = g.hashCreate = 0;
  return ozu_GetCommand(cc, cclen);
}

int ozu_MgetCommand(char *cc, int cclen)
{
  g.verifyflag = promptFlag;
  g.cgetflag = 0;
  return ozu_GetCommand(cc, cclen);
}

int ozu_CgetCommand(char *cc, int cclen)
{
  g.cgetflag = 1;
  return ozu_GetCommand(cc, cclen);
}
