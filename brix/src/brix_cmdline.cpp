// The command line: one action letter, grouped single-letter options (the
// first word may omit its "-"), 42 named options given as --name[=value] or
// inside a colon-separated -H list, then member names. Also BRIX_COS.
#include <ctype.h>
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "brix.h"
#include "brix_filespec.h"
#include "ozu_util.h"
#include "quor_api.h"
#include "quor_convert.h"

namespace {

enum LONG_OPTIONS {
  BARG_ACCT, BARG_CIX, BARG_COPIES, BARG_CRC, BARG_EXCLUDE, BARG_EXCLUDE_FROM,
  BARG_EXCLUDE_VCS_IGNORES, BARG_EXCLUDE_VCS, BARG_EXCLUDE_IGNORE, BARG_EXCLUDE_IGNORE_RECURSIVE,
  BRIX_EXCLUDE_BACKUPS, BRIX_EXCLUDE_CACHES, BRIX_EXCLUDE_CACHES_UNDER, BRIX_EXCLUDE_CACHES_ALL,
  BRIX_EXCLUDE_TAG, BRIX_EXCLUDE_TAG_UNDER, BRIX_EXCLUDE_TAG_ALL, BARG_EXFILE, BARG_FAMILY,
  BARG_HASH, BARG_HASH_ALL, BARG_HASH_AF, BARG_HASH_IF, BARG_HASH_MF, BARG_HASH_TYPE,
  BARG_MAX_AF_SIZE, BRIX_MAX_MF_PER_AF, BRIX_MAX_FAM_MEMBERS, BARG_MSG_INTERVAL, BARG_OKFILE,
  BARG_NOCFCHK, BARG_NOCRC, BARG_NOGLOB, BARG_NORECURSE, BARG_RMLOCAL, BARG_NOSTAGE, BARG_PORT,
  BARG_RELPATHS, BARG_SERVER, BARG_TSS, BARG_UMASK, BARG_VERIFY,
};

struct longOpt {
  const char* name;
  bool needsValue;
  LONG_OPTIONS id;
};

const longOpt longOpts[] = {
    {"acct", true, BARG_ACCT},
    {"cix", false, BARG_CIX},
    {"copies", true, BARG_COPIES},
    {"crc", false, BARG_CRC},
    {"exclude", true, BARG_EXCLUDE},
    {"exclude-from", true, BARG_EXCLUDE_FROM},
    {"exclude-vcs-ignores", false, BARG_EXCLUDE_VCS_IGNORES},
    {"exclude-vcs", false, BARG_EXCLUDE_VCS},
    {"exclude-ignore", true, BARG_EXCLUDE_IGNORE},
    {"exclude-ignore-recursive", true, BARG_EXCLUDE_IGNORE_RECURSIVE},
    {"exclude-backups", false, BRIX_EXCLUDE_BACKUPS},
    {"exclude-caches", false, BRIX_EXCLUDE_CACHES},
    {"exclude-caches-under", false, BRIX_EXCLUDE_CACHES_UNDER},
    {"exclude-caches-all", false, BRIX_EXCLUDE_CACHES_ALL},
    {"exclude-tag", true, BRIX_EXCLUDE_TAG},
    {"exclude-tag-under", true, BRIX_EXCLUDE_TAG_UNDER},
    {"exclude-tag-all", true, BRIX_EXCLUDE_TAG_ALL},
    {"exfile", true, BARG_EXFILE},
    {"family", true, BARG_FAMILY},
    {"hash", true, BARG_HASH},
    {"hash-all", false, BARG_HASH_ALL},
    {"hash-af", true, BARG_HASH_AF},
    {"hash-if", true, BARG_HASH_IF},
    {"hash-mf", true, BARG_HASH_MF},
    {"hash-type", true, BARG_HASH_TYPE},
    {"max-af-size", true, BARG_MAX_AF_SIZE},
    {"max-mf-per-af", true, BRIX_MAX_MF_PER_AF},
    {"max-fam-members", true, BRIX_MAX_FAM_MEMBERS},
    {"msg_interval", true, BARG_MSG_INTERVAL},
    {"okfile", true, BARG_OKFILE},
    {"nocfchk", false, BARG_NOCFCHK},
    {"nocrc", false, BARG_NOCRC},
    {"noglob", false, BARG_NOGLOB},
    {"norecurse", false, BARG_NORECURSE},
    {"rmlocal", false, BARG_RMLOCAL},
    {"nostage", false, BARG_NOSTAGE},
    {"port", true, BARG_PORT},
    {"relpaths", false, BARG_RELPATHS},
    {"server", true, BARG_SERVER},
    {"tss", true, BARG_TSS},
    {"umask", true, BARG_UMASK},
    {"verify", true, BARG_VERIFY},
};

const char* E = "ERROR";

const longOpt* findLong(const std::string& name) {
  for (const longOpt& o : longOpts)
    if (name == o.name) return &o;
  return nullptr;
}

// Reads a class-of-service value by the BRIX_COS rules.
void parseCos(const char* text) {
  std::string v = text;
  size_t colon = v.find(':');
  std::string first = v.substr(0, colon);
  if (v.empty() || v[0] != ':') {
    if (strcasecmp(first.c_str(), "auto") == 0) {
      brix_archive_cosID = 0;
      if (colon == std::string::npos) brix_index_cosID = 0;
    } else {
      brix_archive_cosID = atoi(first.c_str());
    }
  }
  if (colon != std::string::npos) {
    std::string second = v.substr(colon + 1);
    if (strcasecmp(second.c_str(), "auto") == 0) brix_index_cosID = 0;
    else brix_index_cosID = atoi(second.c_str());
  }
}

// -n: "days", "days:hours" or ":hours"; 0 with the seconds, or -1.
int parseTimeWindow(const char* text, long* seconds) {
  const char* colon = strchr(text, ':');
  std::string days = colon ? std::string(text, size_t(colon - text)) : std::string(text);
  std::string hours = colon ? std::string(colon + 1) : std::string();
  auto digitsOnly = [](const std::string& s) {
    for (char c : s)
      if (!isdigit(static_cast<unsigned char>(c))) return false;
    return true;
  };
  if (!digitsOnly(days) || !digitsOnly(hours) || (colon && strchr(colon + 1, ':')) ||
      (days.empty() && hours.empty())) {
    fprintf(stderr, "%s: -n %s is invalid. Expecting \"days\",\"days:hours\",or \":hours\"\n", E,
            text);
    return -1;
  }
  long d = days.empty() ? 0 : atol(days.c_str());
  long h = hours.empty() ? 0 : atol(hours.c_str());
  long s = d * 86400 + h * 3600;
  if (s <= 0) {
    fprintf(stderr, "%s: -n %s is invalid. A non-zero value must be entered\n", E, text);
    return -1;
  }
  *seconds = s;
  return 0;
}

void parseMaxFiles(const char* text) {
  long n = atol(text);
  if (n == 0) {
    fprintf(stderr, "%s: Illegal value (%s) for -M option ignored.\n", E, text);
  } else if (n > brix_abs_max_files) {
    brix_max_files = brix_abs_max_files;
    fprintf(stderr, "%s: -M %s exceeds max value allowed. -M %ld will be used\n", E, text,
            brix_abs_max_files);
  } else if (n < 0) {
    brix_max_files = brix_abs_max_files;
    if (brix_abs_max_files > 0)
      fprintf(stderr,
              "%s: (-M option). This site does not allow an unrestricted number of files in an archive. %ld will be used\n",
              E, brix_abs_max_files);
  } else {
    brix_max_files = n;
  }
}

int applyVerifyWords(const char* value) {
  std::string v = value;
  size_t start = 0;
  for (;;) {
    size_t comma = v.find(',', start);
    std::string w = v.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
    uint32_t& f = brix_verify_flags;
    if (w == "all") f = BRIX_VERIFY_INFO | BRIX_VERIFY_CRC | BRIX_VERIFY_COMPARE;
    else if (w == "0" || w == "info") f |= BRIX_VERIFY_INFO;
    else if (w == "1") f |= BRIX_VERIFY_INFO | BRIX_VERIFY_CRC;
    else if (w == "2") f |= BRIX_VERIFY_INFO | BRIX_VERIFY_CRC | BRIX_VERIFY_COMPARE;
    else if (w == "crc") f |= BRIX_VERIFY_CRC;
    else if (w == "nocrc") f &= ~BRIX_VERIFY_CRC;
    else if (w == "compare") f |= BRIX_VERIFY_COMPARE;
    else if (w == "nocompare") f &= ~BRIX_VERIFY_COMPARE;
    else if (w == "paranoid") f |= BRIX_VERIFY_PARANOID;
    else if (w == "noparanoid") f &= ~BRIX_VERIFY_PARANOID;
    else {
      fprintf(stderr, "%s: Bad value for-H %s option: %s\n", E, "verify", w.c_str());
      return -1;
    }
    if (comma == std::string::npos) return 0;
    start = comma + 1;
  }
}

// Applies one "--name[=value]" word (minus the dashes) or one -H element.
// 0 to go on; 1 counted error (rest of a -H list skipped); -1 fatal.
int handleLong(const std::string& word, bool inH, int* errors) {
  size_t eq = word.find('=');
  std::string name = word.substr(0, eq);
  bool hasEq = eq != std::string::npos;
  std::string value = hasEq ? word.substr(eq + 1) : std::string();
  const longOpt* opt = findLong(name);
  if (!opt) {
    if (inH) {
      fprintf(stderr, "%s: Unrecognized option: -H%s\n", E, name.c_str());
      (*errors)++;
      return 1;
    }
    fprintf(stderr, "%s: Error - unrecognized option --%s\n", E, name.c_str());
    brix_SetExitCode(64);
    return -1;
  }
  if (!opt->needsValue && hasEq) {
    if (inH) {
      fprintf(stderr, "%s: superfluous '=' argument for '-H%s'\n", E, name.c_str());
      brix_SetExitCode(64);
      (*errors)++;
      return 1;
    }
    fprintf(stderr, "%s: superfluous '=' argument for '%s'\n", E, name.c_str());
    brix_SetExitCode(64);
    return -1;
  }
  if (opt->needsValue && value.empty()) {
    fprintf(stderr, inH ? "%s: missing or empty argument for '-H%s'\n"
                        : "%s: missing or empty argument for '%s'\n",
            E, name.c_str());
    brix_SetExitCode(64);
    return -1;
  }
  if (parseOption(opt->name, opt->id, opt->needsValue ? value.c_str() : nullptr) != 0) {
    fprintf(stderr, inH ? "%s: fatal error parsing '-H%s' option\n"
                        : "%s: fatal error parsing '%s' option\n",
            E, name.c_str());
    brix_SetExitCode(64);
    (*errors)++;
    return 1;
  }
  return 0;
}

int handleHList(const char* list, int* errors) {
  char* copy = strdup(list);
  if (!copy) {
    fprintf(stderr, "%s: strdup failure for -H%s\n", E, list);
    brix_SetExitCode(78);
    return -1;
  }
  std::string all = copy;
  free(copy);
  size_t start = 0;
  for (;;) {
    size_t colon = all.find(':', start);
    std::string elem = all.substr(start, colon == std::string::npos ? std::string::npos : colon - start);
    if (!elem.empty()) {
      int rc = handleLong(elem, true, errors);
      if (rc < 0) return -1;
      if (rc > 0) return 0;
    }
    if (colon == std::string::npos) return 0;
    start = colon + 1;
  }
}

// Opens the status FIFO named by -N, or clears the option with a warning.
void checkStatusFifo(void) {
  const char* W = "WARNING";
  struct stat st;
  const char* path = brix_status_pipe_name;
  auto disable = [&]() { brix_option_flags &= ~BRIX_OPT_STATUS_FIFO; };
  if (stat(path, &st) != 0) {
    fprintf(stderr, "%s: Error %d trying to stat pipe file: '%s'. -N option disabled\n", W, errno,
            path);
    disable();
    return;
  }
  if (!S_ISFIFO(st.st_mode)) {
    fprintf(stderr, "%s: Not a FIFO-type file: '%s'.  -N option disabled\n", W, path);
    disable();
    return;
  }
  int fd = open(path, O_WRONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    if (errno == ENXIO)
      fprintf(stderr,
              "%s: Cannot open FIFO '%s' for writing (no process is reading it). -N option disabled\n",
              W, path);
    else
      fprintf(stderr, "%s: Error %d trying to open pipe file: '%s'. -N option disabled\n", W, errno,
              path);
    disable();
    return;
  }
  brix_status_pipefd = fd;
}

}  // namespace

void brix_GetEnvSettings(void) {
  const char* cos = getenv("BRIX_COS");
  if (cos) parseCos(cos);
}

int parseOption(const char* name, int enumerator, const char* value) {
  switch (enumerator) {
    case BARG_ACCT:
      if (isdigit(static_cast<unsigned char>(value[0]))) {
        initAcctId = uint32_t(atol(value));
      } else {
        char* copy = strdup(value);
        if (!copy) {
          fprintf(stderr, "%s: malloc failure for %s\n", E, name);
          return -1;
        }
        free(initAcctName);
        initAcctName = copy;
      }
      return 0;
    case BARG_CIX: brix_option_flags |= BRIX_OPT_CIX; return 0;
    case BARG_COPIES: {
      int n = atoi(value);
      if (!ozu_AllDigits(value) || n < 1 || n > 5) {
        fprintf(stderr, "%s: Bad value '%s' for  %s\n", E, value, name);
        return -1;
      }
      copyCount = n;
      brix_option_flags |= BRIX_OPT_COPIES;
      return 0;
    }
    case BARG_CRC: brix_option_flags |= BRIX_OPT_CRC; return 0;
    case BARG_EXCLUDE:
      return brix_ExcludeAddPattern(value, 1, 1, 0, &brix_ExcPatternsHead, &brix_ExcPatternsTail);
    case BARG_EXCLUDE_FROM:
      // A file that cannot be read gives its warning; the run goes on.
      brix_ExcludesAddFromFile(value, 1, 1, 0, &brix_ExcPatternsHead, &brix_ExcPatternsTail);
      return 0;
    case BARG_EXCLUDE_VCS_IGNORES: brix_ExcVcsIgnores = 1; return 0;
    case BARG_EXCLUDE_VCS:
      brix_ExcVcs = 1;
      for (const char* p : VCS_ExcludeAllDirnames)
        if (brix_ExcludeAddPattern(p, 1, 1, 0, &brix_ExcPatternsHead, &brix_ExcPatternsTail) != 0)
          return -1;
      return 0;
    case BARG_EXCLUDE_IGNORE: return brix_ExcludeAddFilename(value, 0, 1, 0, &brix_ExcIgnoreFiles);
    case BARG_EXCLUDE_IGNORE_RECURSIVE:
      return brix_ExcludeAddFilename(value, 1, 1, 0, &brix_ExcIgnoreRecurseFiles);
    case BRIX_EXCLUDE_BACKUPS:
      for (const char* p : Backup_ExcludePatterns)
        if (brix_ExcludeAddPattern(p, 1, 1, 0, &brix_ExcPatternsHead, &brix_ExcPatternsTail) != 0)
          return -1;
      return 0;
    case BRIX_EXCLUDE_CACHES: brix_ExcCaches = 1; return 0;
    case BRIX_EXCLUDE_CACHES_UNDER: brix_ExcCachesUnder = 1; return 0;
    case BRIX_EXCLUDE_CACHES_ALL: brix_ExCachesAll = 1; return 0;
    case BRIX_EXCLUDE_TAG: return brix_ExcludeAddFilename(value, 0, 1, 0, &brix_ExcTagFile);
    case BRIX_EXCLUDE_TAG_UNDER: return brix_ExcludeAddFilename(value, 0, 1, 0, &brix_ExcTagUnderFile);
    case BRIX_EXCLUDE_TAG_ALL: return brix_ExcludeAddFilename(value, 0, 1, 0, &brix_ExcTagAllFile);
    case BARG_EXFILE:
    case BARG_OKFILE: {
      char* path = brix_ExpandTemplatePath(value, nullptr, nullptr);
      if (!path) {
        fprintf(stderr, enumerator == BARG_EXFILE ? "%s: exfile path expansion failure for '%s'\n"
                                                  : "%s: okfile path expansion failure for '%s'\n",
                E, value);
        return -1;
      }
      char** field = enumerator == BARG_EXFILE ? &brix_config_opts.Exfile : &brix_config_opts.Okfile;
      free(*field);
      *field = path;
      return 0;
    }
    case BARG_FAMILY: {
      const char* comma = strchr(value, ',');
      int a = atoi(value);
      if (a < 0 || value[0] == '-') {
        fprintf(stderr, "%s: bad archive family ID: %s.\n", E, value);
        return -1;
      }
      brix_archive_familyid = a;
      if (comma) {
        int b = atoi(comma + 1);
        if (b < 0 || comma[1] == '-') {
          fprintf(stderr, "%s: bad index family ID: %s.\n", E, value);
          return -1;
        }
        brix_index_familyid = b;
      }
      return 0;
    }
    case BARG_HASH: case BARG_HASH_ALL: case BARG_HASH_AF: case BARG_HASH_IF: case BARG_HASH_MF:
    case BARG_HASH_TYPE: case BARG_MAX_AF_SIZE: case BRIX_MAX_MF_PER_AF: case BRIX_MAX_FAM_MEMBERS:
      return 0;
    case BARG_MSG_INTERVAL: {
      int n = atoi(value);
      if (n < 1 || n > 3600) {
        fprintf(stderr, "%s: Bad value '%s' for %s\n", E, value, name);
        return -1;
      }
      brix_status_interval = n;
      return 0;
    }
    case BARG_NOCFCHK: brix_option_flags |= BRIX_OPT_NOCFCHK; return 0;
    case BARG_NOCRC: brix_option_flags &= ~BRIX_OPT_CRC; return 0;
    case BARG_NOGLOB: brix_option_flags |= BRIX_OPT_NOGLOB; return 0;
    case BARG_NORECURSE: brix_option_flags |= BRIX_OPT_NORECURSE; return 0;
    case BARG_RMLOCAL: brix_option_flags |= BRIX_OPT_RMLOCAL; return 0;
    case BARG_NOSTAGE: brix_option_flags |= BRIX_OPT_NOSTAGE; return 0;
    case BARG_PORT: {
      long n = atol(value);
      if (value[0] == '-' || n < 0 || n > 65525) {
        fprintf(stderr, "%s: Bad value for %s option: %s\n", E, name, value);
        return -1;
      }
      brix_server_port = int(n);
      return 0;
    }
    case BARG_RELPATHS: brix_option_flags |= BRIX_OPT_RELPATHS; return 0;
    case BARG_SERVER: {
      char* host = strdup(value);
      if (!host) {
        fprintf(stderr, "%s: malloc failure\n", E);
        return -1;
      }
      free(brix_server_host);
      brix_server_host = host;
      if (getenv("QUOR_USE_NETRC_FILE")) quorex_SetNetrcLabel(host, 1);
      return 0;
    }
    case BARG_TSS: {
      int err = 0;
      int64_t n = atobytesll(value, &err);
      if (err != 0 || n < 0 || n > 104857600) {
        fprintf(stderr, "%s: Bad value for %s option: %s\n", E, name, value);
        brix_thread_stacksize = 0;
        return -1;
      }
      brix_thread_stacksize = long(n);
      return 0;
    }
    case BARG_UMASK: {
      int m = atooctal(value);
      if (m < 0) {
        fprintf(stderr, "%s: Bad value for-H %s option: %s\n", E, name, value);
        return -1;
      }
      brix_umask = m & 0777;
      return 0;
    }
    case BARG_VERIFY: return applyVerifyWords(value);
    default: return -1;
  }
}

int brix_ParseCmdLine(int argc, char** argv) {
  int errors = 0;
  int actions = 0;
  bool helpShown = false;
  bool haveArchive = false;
  if (argc <= 1) {
    brix_Usage(0);
    helpShown = true;
  }
  int i = 1;
  bool stopWalk = false;
  for (; i < argc && !stopWalk; i++) {
    const char* word = argv[i];
    bool optionWord = word[0] == '-' || i == 1;
    if (!optionWord) break;
    if (strcmp(word, "--") == 0) {
      i++;
      break;
    }
    if (strncmp(word, "--", 2) == 0) {
      if (handleLong(word + 2, false, &errors) < 0) return -1;
      continue;
    }
    for (const char* p = word; *p; p++) {
      char c = *p;
      if (c == '-') continue;
      if (strchr("dfHILlMNnSTY", c)) {
        const char* value;
        if (p[1]) {
          value = p + 1;
        } else if (i + 1 < argc) {
          value = argv[++i];
        } else {
          fprintf(stderr, "%s: Missing argument for %c\n", E, c);
          brix_SetExitCode(64);
          return -1;
        }
        switch (c) {
          case 'd': {
            int d = atoi(value);
            brix_debug_level = d < 0 ? 0 : d > 5 ? 5 : d;
            break;
          }
          case 'f':
            free(brix_archive);
            brix_archive = strdup(value);
            haveArchive = brix_archive != nullptr;
            break;
          case 'H':
            if (handleHList(value, &errors) < 0) return -1;
            break;
          case 'I':
            free(brix_index_filename);
            brix_index_filename = strdup(value);
            break;
          case 'L':
            free(brix_input_list_name);
            brix_input_list_name = strdup(value);
            break;
          case 'l':
            brix_option_flags |= BRIX_OPT_LOGIN;
            if (setenv("QUOR_PRINCIPAL", value, 1) != 0) {
              fprintf(stderr, "*** %s: unable set set environment variable [%s]\n", E,
                      "QUOR_PRINCIPAL");
              errors++;
            }
            break;
          case 'M':
            parseMaxFiles(value);
            break;
          case 'N':
            free(brix_status_pipe_name);
            brix_status_pipe_name = strdup(value);
            brix_option_flags |= BRIX_OPT_STATUS_FIFO;
            break;
          case 'n':
            if (parseTimeWindow(value, &brix_time_opt) == 0) brix_option_flags |= BRIX_OPT_NEWER;
            else errors++;
            break;
          case 'S': {
            long size = long(atobytes(value));
            if (size < 524288) {
              fprintf(stdout, "%s: Warning: minimum buffer size is %d. -S  %s ignored - minimum buffer sized used\n",
                      "INFO", 524288, value);
              fflush(stdout);
              size = 524288;
            }
            if (size > 1073741824L) size = 1073741824L;
            brix_iobufsize = int(size);
            break;
          }
          case 'T': {
            int n = atoi(value);
            if (n <= 0) {
              fprintf(stderr, "%s: Bad value for thread count: %s\n", E, value);
              errors++;
              stopWalk = true;
            } else {
              brix_max_threads = n;
            }
            break;
          }
          case 'Y':
            parseCos(value);
            break;
        }
        break;  // a value ends the word
      }
      switch (c) {
        case '?': brix_Usage(1); helpShown = true; break;
        case 'B': brix_option_flags |= BRIX_OPT_BLOCKNUMS; break;
        case 'c': brix_function = BOP_CREATE; actions++; break;
        case 'D': brix_function = BOP_DELETE; actions++; break;
        case 'E': brix_option_flags |= BRIX_OPT_LOCAL; break;
        case 'h': brix_option_flags |= BRIX_OPT_FOLLOW_LINKS; break;
        case 'J': brix_option_flags |= BRIX_OPT_ORDINALS; break;
        case 'K': brix_function = BOP_VERIFY; actions++; break;
        case 'm': brix_option_flags |= BRIX_OPT_MTIME_NOW; break;
        case 'O': brix_option_flags |= BRIX_OPT_TO_STDOUT; break;
        case 'o': brix_option_flags |= BRIX_OPT_OWNER_SELF; break;
        case 'P': brix_option_flags |= BRIX_OPT_MAKE_DIRS; break;
        case 'p': brix_option_flags |= BRIX_OPT_PERMS; break;
        case 'q': brix_option_flags |= BRIX_OPT_QUIET; break;
        case 't': brix_function = BOP_LIST; actions++; break;
        case 'U': brix_function = BOP_UNDELETE; actions++; break;
        case 'V': brix_option_flags |= BRIX_OPT_SLIGHTLY_VERBOSE; break;
        case 'v': brix_option_flags |= BRIX_OPT_VERBOSE; break;
        case 'w': brix_option_flags |= BRIX_OPT_INTERACTIVE; break;
        case 'X': brix_function = BOP_BUILD_INDEX; actions++; break;
        case 'x': brix_function = BOP_EXTRACT; actions++; break;
        default:
          fprintf(stderr, "%s: Unrecognized option: '%c'\n", E, c);
          errors++;
          break;
      }
    }
  }
  brix_optind = i;

  if (brix_server_host) {
    std::string server = brix_server_host;
    if (brix_server_port > 0) server += "/" + std::to_string(brix_server_port);
    if (setenv("QUOR_SERVER_HOST", server.c_str(), 1) != 0) {
      fprintf(stderr, "%s: failed setting QUOR_SERVER_HOST environment variable\n", E);
      brix_SetExitCode(64);
      return -1;
    }
  }
  if ((brix_option_flags & BRIX_OPT_STATUS_FIFO) && brix_status_pipe_name) checkStatusFifo();

  if (actions == 0) {
    if (helpShown) return 0;
    fprintf(stderr, "%s: No action specified (-c, -K, -t ,-x, -X).\n", E);
    brix_Usage(0);
    brix_SetExitCode(64);
    return -1;
  }
  if (actions > 1) {
    fprintf(stderr, "%s: Only 1 of -c, -K, -t, -x, -X may be specified\n", E);
    brix_SetExitCode(64);
    return -1;
  }
  if (!haveArchive) {
    fprintf(stderr, "%s: (%s) -f parameter is required by brix.\n", E, brix_progname);
    errors++;
  }
  if (errors == 0) return 0;
  brix_Usage(0);
  brix_SetExitCode(64);
  return -1;
}
