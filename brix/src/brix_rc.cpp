// The rc files: a global "brixrc" in the first configuration directory that
// has one, then the private "~/.brixrc"; later values win. Nothing read here
// stops the program or changes its exit code.
#include <ctype.h>
#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <unistd.h>

#include <string>

#include "brix.h"
#include "quor_convert.h"

brix_rc_t brix_config_opts;
FILE* brix_okfile_fp = nullptr;
FILE* brix_exfile_fp = nullptr;

namespace {

enum BRIX_RC_OPTS {
  RC_ABT_ON_OVERSIZE_FILE,
  RC_ABT_ON_LONG_PATH,
  RC_ABT_ON_MFILE_MISSING,
  RC_ABT_ON_MFILE_READ_ERROR,
  RC_ABT_ON_MFILE_WRITE_ERROR,
  RC_DISPLAY_EXCLUDED_OBJECTS,
  RC_OK_FILE,
  RC_EX_FILE,
  RC_STATE_FILE,
  RC_MAX_SMALL_FILESIZE,
  RC_DISABLE_READS,
  RC_READ_DISABLE_MSG,
  RC_DISABLE_WRITES,
  RC_WRITE_DISABLE_MSG,
  RC_EXP_ENABLE,
  RC_EXP_CFG_FILE,
  RC_MAX_ARCHIVE_SIZE,
  RC_MAX_MEMBER_COUNT,
  RC_MAX_FAMILY_MEMBERS,
};

enum rcType { RC_YESNO, RC_PATH, RC_SIZE64, RC_SIZE, RC_TEXT };

struct rcOption {
  const char* key;
  BRIX_RC_OPTS id;
  rcType type;
};

const rcOption rc_option_list[] = {
    {"AbortOnOversizeFile", RC_ABT_ON_OVERSIZE_FILE, RC_YESNO},
    {"AbortOnLongPathnames", RC_ABT_ON_LONG_PATH, RC_YESNO},
    {"AbortOnMemberFileMissing", RC_ABT_ON_MFILE_MISSING, RC_YESNO},
    {"AbortOnMemberFileReadError", RC_ABT_ON_MFILE_READ_ERROR, RC_YESNO},
    {"AbortOnMemberFileWriteError", RC_ABT_ON_MFILE_WRITE_ERROR, RC_YESNO},
    {"DisplayExcludedObjects", RC_DISPLAY_EXCLUDED_OBJECTS, RC_YESNO},
    {"okfile", RC_OK_FILE, RC_PATH},
    {"exfile", RC_EX_FILE, RC_PATH},
    {"statefile", RC_STATE_FILE, RC_PATH},
    {"max_small_file_size", RC_MAX_SMALL_FILESIZE, RC_SIZE64},
    {"disable_gets", RC_DISABLE_READS, RC_YESNO},
    {"read_disable_msg", RC_READ_DISABLE_MSG, RC_TEXT},
    {"disable_puts", RC_DISABLE_WRITES, RC_YESNO},
    {"write_disable_msg", RC_WRITE_DISABLE_MSG, RC_TEXT},
    {"enable_expiration", RC_EXP_ENABLE, RC_YESNO},
    {"expire_cfg_path", RC_EXP_CFG_FILE, RC_PATH},
    {"max_archive_size", RC_MAX_ARCHIVE_SIZE, RC_SIZE64},
    {"max_member_files", RC_MAX_MEMBER_COUNT, RC_SIZE},
    {"max_family_members", RC_MAX_FAMILY_MEMBERS, RC_SIZE},
};

int* yesNoField(BRIX_RC_OPTS id) {
  brix_rc_t& o = brix_config_opts;
  switch (id) {
    case RC_ABT_ON_OVERSIZE_FILE: return &o.AbortOnOversizeFile;
    case RC_ABT_ON_LONG_PATH: return &o.AbortOnLongPathnames;
    case RC_ABT_ON_MFILE_MISSING: return &o.AbortOnMemberFileMissing;
    case RC_ABT_ON_MFILE_READ_ERROR: return &o.AbortOnMemberFileReadError;
    case RC_ABT_ON_MFILE_WRITE_ERROR: return &o.AbortOnMemberFileWriteError;
    case RC_DISPLAY_EXCLUDED_OBJECTS: return &o.DisplayExcludedObjects;
    case RC_DISABLE_READS: return &o.DisableGets;
    case RC_DISABLE_WRITES: return &o.DisablePuts;
    case RC_EXP_ENABLE: return &o.EnableFileExpiration;
    default: return nullptr;
  }
}

char** stringField(BRIX_RC_OPTS id) {
  brix_rc_t& o = brix_config_opts;
  switch (id) {
    case RC_OK_FILE: return &o.Okfile;
    case RC_EX_FILE: return &o.Exfile;
    case RC_STATE_FILE: return &o.Statefile;
    case RC_READ_DISABLE_MSG: return &o.DisableGetsMsg;
    case RC_WRITE_DISABLE_MSG: return &o.DisablePutsMsg;
    case RC_EXP_CFG_FILE: return &o.ExpireCfgFile;
    default: return nullptr;
  }
}

const char* pathKeyWord(BRIX_RC_OPTS id) {
  switch (id) {
    case RC_OK_FILE: return "okfile";
    case RC_EX_FILE: return "exfile";
    case RC_STATE_FILE: return "stateFile";
    default: return "expire_cfg_path";
  }
}

bool isBlank(char c) { return c == ' ' || c == '\t'; }

}  // namespace

int getYesNo(const char* text, int* field) {
  static const char* const yes[] = {"y", "yes", "t", "true", "on"};
  static const char* const no[] = {"n", "no", "f", "false", "off"};
  for (const char* w : yes)
    if (strcasecmp(text, w) == 0) {
      *field = 1;
      return 0;
    }
  for (const char* w : no)
    if (strcasecmp(text, w) == 0) {
      *field = 0;
      return 0;
    }
  return -1;
}

void setDefaultOptions(void) {
  brix_rc_t& o = brix_config_opts;
  o.AbortOnOversizeArchive = 0;
  o.AbortOnOversizeFile = 1;
  o.AbortOnLongPathnames = 1;
  o.AbortOnMemberFileMissing = 0;
  o.AbortOnMemberFileReadError = 1;
  o.AbortOnMemberFileWriteError = 1;
  o.DisplayExcludedObjects = 1;
  o.MaxSmallFileSize = 4194304;
  o.DisableGets = 0;
  o.DisablePuts = 0;
  free(o.DisableGetsMsg);
  o.DisableGetsMsg =
      strdup("Read operations disabled until further notice - see site wiki for more info\n");
  free(o.DisablePutsMsg);
  o.DisablePutsMsg =
      strdup("Write operations disabled until further notice - see site wiki for more info\n");
  o.EnableFileExpiration = 0;
  o.MaxMembersPerArchive = 0;
  o.MaxArchiveSize = 0;
  o.MaxFamilyMembers = 0;
}

int readRcFile(const char* path) {
  static const char* fn = "readRcFile";
  FILE* f = fopen(path, "re");
  if (!f) {
    if (errno == ENOENT) return 0;
    int e = errno;
    fprintf(stderr, "BRIX: error %d opening rc file %s\n", e, path);
    return -e;
  }
  char line[512];
  int lineNo = 0;
  int rc = 0;
  while (fgets(line, sizeof line, f)) {
    lineNo++;
    char* p = line;
    while (isBlank(*p) || *p == '\r') p++;
    if (*p == '\0' || *p == '\n' || *p == '#' || *p == ';') continue;
    char* keyStart = p;
    while (*p && !isBlank(*p) && *p != '=' && *p != '\n' && *p != '\r') p++;
    std::string key(keyStart, size_t(p - keyStart));
    while (isBlank(*p)) p++;
    if (*p == '=') p++;
    while (isBlank(*p)) p++;
    if (*p == '\0' || *p == '\n' || *p == '\r') {
      fprintf(stderr, "INFO: (%s) missing value for <%s> option on line %d of %s\n", fn,
              key.c_str(), lineNo, path);
      continue;
    }
    char* valueStart = p;
    std::string rest(valueStart);  // the text keys keep the line from here on
    while (*p && !isBlank(*p) && *p != '\n' && *p != '\r') p++;
    std::string value(valueStart, size_t(p - valueStart));
    while (isBlank(*p) || *p == '\r') p++;
    if (*p && *p != '\n' && *p != '#' && *p != ';')
      fprintf(stderr, "WARNING: (%s) extra token(s) on line %d of file %s ignored\n", fn, lineNo,
              path);
    const rcOption* opt = nullptr;
    for (const rcOption& o : rc_option_list)
      if (strcasecmp(o.key, key.c_str()) == 0) {
        opt = &o;
        break;
      }
    if (!opt) {
      fprintf(stderr, "INFO: (%s) unrecognized option %s on line %d of %s\n", fn, key.c_str(),
              lineNo, path);
      continue;
    }
    switch (opt->type) {
      case RC_YESNO:
        if (getYesNo(value.c_str(), yesNoField(opt->id)) != 0)
          fprintf(stderr, "INFO: (%s) bad value [%s] for %s (file %s line %d) ignored\n", fn,
                  value.c_str(), key.c_str(), path, lineNo);
        break;
      case RC_PATH: {
        char* expanded = brix_ExpandTemplatePath(value.c_str(), nullptr, nullptr);
        if (!expanded) {
          fprintf(stderr, "ERROR: (%s) problem expanding %s [%s] (file %s, line %d)\n", fn,
                  pathKeyWord(opt->id), value.c_str(), path, lineNo);
          rc = -1;
          break;
        }
        char** field = stringField(opt->id);
        free(*field);
        *field = expanded;
        break;
      }
      case RC_SIZE64: {
        int err = 0;
        long long v = atobytesll(value.c_str(), &err);
        if (err != 0 || v <= 0) {
          fprintf(stderr, "ERROR: (%s) problem converting %s [%s] (file %s, line %d)\n", fn,
                  opt->id == RC_MAX_SMALL_FILESIZE ? "max_small_file_size" : "max_archive_size",
                  value.c_str(), path, lineNo);
          rc = -1;
          break;
        }
        if (opt->id == RC_MAX_SMALL_FILESIZE) brix_config_opts.MaxSmallFileSize = uint64_t(v);
        else brix_config_opts.MaxArchiveSize = uint64_t(v);
        break;
      }
      case RC_SIZE: {
        long v = atobytes(value.c_str());
        if (v < 0) {
          fprintf(stderr, "ERROR: (%s) problem converting %s [%s] (file %s, line %d)\n", fn,
                  opt->id == RC_MAX_MEMBER_COUNT ? "max_member_files" : "max_family_members",
                  value.c_str(), path, lineNo);
          rc = -1;
          break;
        }
        if (opt->id == RC_MAX_MEMBER_COUNT) brix_config_opts.MaxMembersPerArchive = uint32_t(v);
        else brix_config_opts.MaxFamilyMembers = uint32_t(v);
        break;
      }
      case RC_TEXT: {
        char* copy = strdup(rest.c_str());
        if (!copy) {
          fprintf(stderr, "INFO: (%s) strdup error for <%s> option on line %d of %s\n", fn,
                  key.c_str(), lineNo, path);
          break;
        }
        char** field = stringField(opt->id);
        free(*field);
        *field = copy;
        break;
      }
    }
    if (rc != 0) break;
  }
  fclose(f);
  return rc;
}

int readGlobalRcOptions(void) {
  const char* env = getenv("QUOR_CFG_FILE_PATH");
  std::string list = env ? env : "/usr/local:/usr/local/etc:/usr/local/ozu/etc:/var/quor/etc";
  size_t start = 0;
  for (;;) {
    size_t colon = list.find(':', start);
    std::string dir = list.substr(start, colon == std::string::npos ? std::string::npos : colon - start);
    if (!dir.empty()) {
      std::string path = dir + "/brixrc";
      if (access(path.c_str(), R_OK) == 0) return readRcFile(path.c_str());
    }
    if (colon == std::string::npos) break;
    start = colon + 1;
  }
  return 0;
}

int readPrivateRcOptions(void) {
  const char* home = getenv("HOME");
  if (!home) return 0;
  std::string path = std::string(home) + "/.brixrc";
  return readRcFile(path.c_str());
}

int brix_ReadConfig(void) {
  char* gets = brix_config_opts.DisableGetsMsg;
  char* puts = brix_config_opts.DisablePutsMsg;
  char* ok = brix_config_opts.Okfile;
  char* ex = brix_config_opts.Exfile;
  char* st = brix_config_opts.Statefile;
  char* exp = brix_config_opts.ExpireCfgFile;
  free(gets);
  free(puts);
  free(ok);
  free(ex);
  free(st);
  free(exp);
  memset(&brix_config_opts, 0, sizeof brix_config_opts);
  setDefaultOptions();
  readGlobalRcOptions();
  readPrivateRcOptions();
  return 0;
}
