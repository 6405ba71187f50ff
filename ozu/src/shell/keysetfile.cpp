// Saved keysets: the keyset file format, its readers and writers over local
// and storage files, and the commands keep, show, free and adopt.
#include "ozu_keysetfile.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "ozu_errors.h"
#include "ozu_keyset.h"
#include "ozu_locks.h"
#include "ozu_log.h"
#include "ozu_tokens.h"
#include "ozu_walk.h"
#include "ozuvars.h"
#include "quor_api.h"
#include "shell_commands.h"

struct ozu_kstream {
  FILE *local = nullptr;
  int qfd = -1;
  std::string rbuf;  // storage bytes read and not yet handed out
  size_t rpos = 0;
  bool eof = false;
  std::string wbuf;  // storage bytes waiting to be written
  bool failed = false;
};

namespace {

const size_t kReadChunk = 65536;
const size_t kWriteChunk = 1 << 20;

void report(int code, int dest, const char *fmt, ...) __attribute__((format(printf, 3, 4)));
void report(int code, int dest, const char *fmt, ...)
{
  char buf[8400];
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(buf, sizeof buf, fmt, ap);
  va_end(ap);
  setExitResult(code, buf, dest);
}

// A keyset name is one file name: no "/", and not "." or "..".
bool validName(const char *name)
{
  if (strchr(name, '/') == nullptr && strcmp(name, ".") != 0 && strcmp(name, "..") != 0)
    return true;
  report(64, 7, "*** illegal keyset name: `%s'", name);
  return false;
}

const char *storageHome(void)
{
  ozu_context_t *c = sesskeyset.curContext;
  return c && c->curLogin.homeDir ? c->curLogin.homeDir : "";
}

const char *localHome(void) { return localHomeDir ? localHomeDir : ""; }

std::string keysetPath(bool local, const char *name)
{
  return std::string(local ? localHome() : storageHome()) + "/" + OZU_KEYSET_DIR + "/" + name;
}

int flushStorage(ozu_kstream_t *f)
{
  size_t done = 0;
  while (done < f->wbuf.size()) {
    ssize_t n = quor_Write(f->qfd, f->wbuf.data() + done, f->wbuf.size() - done);
    if (n <= 0) {
      f->failed = true;
      break;
    }
    done += size_t(n);
  }
  f->wbuf.clear();
  return f->failed ? -1 : 0;
}

// The lines of the storage keyset file, without the magic line.
std::vector<std::string> storageLines(const Keyset *k)
{
  std::vector<std::string> out;
  char line[8400];
  auto add = [&](const char *fmt, auto... args) {
    snprintf(line, sizeof line, fmt, args...);
    out.push_back(line);
  };
  const ozu_context_t *c = k->curContext;
  add("backup  = \"%s\"\n", k->backup ? "on" : "off");
  if (k->autocosFlag)
    add("%s", "cosid = \"auto\"\n");
  else
    add("cosid = \"%d\"\n", k->cos);
  add("talk  = \"%s\"\n", k->talk ? "on" : "off");
  add("wait  = \"%d\"\n", k->wait);
  add("copies = \"%d\"\n", k->copies);
  add("lines = \"%d\"\n", k->lines_per_page);
  add("columns = \"%d\"\n", k->cols_per_line);
  add("family_id = \"%d\"\n", c ? c->defaultFamilyID : 0);
  add("PS1 = \"%s\"\n", k->PS1 ? k->PS1 : "");
  add("PS2 = \"%s\"\n", k->PS2 ? k->PS2 : "");
  for (int i = 0; i < OZU_NWD; ++i)
    add("dir%d = \"%s\"\n", i, c && c->wd[i] ? c->wd[i] : "");
  return out;
}

// The first line after opening: the stream positioned after a good magic
// line, else null (the stream closed).
ozu_kstream_t *checkMagic(ozu_kstream_t *f, const std::string &path)
{
  char line[OZU_KEYSET_LINE];
  if (ozu_ksGets(line, sizeof line, f) == nullptr) {
    if (debug >= 1)
      fprintf(listF, "...null keyset file: `%s'\n", path.c_str());
    ozu_ksClose(f);
    return nullptr;
  }
  size_t n = strlen(line);
  if (n > 0 && line[n - 1] == '\n')
    line[n - 1] = '\0';
  if (strcmp(line, OZU_KEYSET_MAGIC) != 0) {
    if (debug >= 1)
      fprintf(listF, "...not a keyset file (bad magic): `%s'\n", path.c_str());
    ozu_ksClose(f);
    return nullptr;
  }
  return f;
}

void listLines(ozu_kstream_t *f)
{
  char line[OZU_KEYSET_LINE];
  while (ozu_ksGets(line, sizeof line, f) != nullptr) {
    if (line[0] == '#')
      continue;
    char *kw = nullptr, *val = nullptr;
    if (parseKeysetLine(line, &kw, &val) == 0)
      fprintf(listF, "   %s = %s\n", kw, val);
  }
}

void listName(const char *name)
{
  if (strcmp(name, "-") == 0)
    fprintf(listF, "   (system default: -)\n");
  else
    fprintf(listF, "    %s\n", name);
}

const Option kLetters[] = {{'h', 1}, {'l', 2}, {0, 0}};

// The tail split into options and objects and the option letters taken:
// 0, or 1 after the parse failure message (its text, code and
// destinations) or an unknown letter.
int parseTail(char *tail, char ***options, char ***objects, const char *failFmt, int failCode,
              int failDest, bool optionsAreKeywords)
{
  if (ozuparse(tail, options, objects) < 0) {
    report(failCode, failDest, failFmt, verb);
    return 1;
  }
  if (!optionsAreKeywords && *options != nullptr && (*options)[0] != nullptr)
    ozu_ExtraneousOptionsMsg();
  if (ozu_ParseOptions(*objects, kLetters, &minus_opt) < 0)
    return 1;
  return 0;
}

bool localWanted(void) { return (minus_opt & 2) != 0; }

// The first non-empty object, or null; *extra the next one.
const char *firstName(char **objects, const char **extra)
{
  const char *first = nullptr;
  *extra = nullptr;
  for (int i = 0; objects && objects[i]; ++i) {
    if (objects[i][0] == '\0')
      continue;
    if (first == nullptr) {
      first = objects[i];
    } else {
      *extra = objects[i];
      break;
    }
  }
  return first;
}

void showOne(const char *name, bool local)
{
  if (debug >= 2)
    fprintf(listF, "showing keyset `%s'\n", name);
  ozu_kstream_t *f = local ? openKeysetFile(name) : openQUORKeysetFile(name);
  if (f == nullptr)
    return;
  if (local)
    listKeysetFile(f);
  else
    listQUORKeysetFile(f);
  ozu_ksClose(f);
}

void showLocalDirectory(void)
{
  std::string dir = std::string(localHome()) + "/" + OZU_KEYSET_DIR;
  DIR *d = opendir(dir.c_str());
  if (d == nullptr) {
    if (errno != ENOENT)
      report(72, 4, "*** Error reading directory `%s'", dir.c_str());
    return;
  }
  while (struct dirent *e = readdir(d)) {
    if (e->d_name[0] == '\0')
      continue;
    std::string full = dir + "/" + e->d_name;
    struct stat st;
    if (stat(full.c_str(), &st) != 0) {
      if (debug >= 1)
        fprintf(listF, "(cannot stat potential keyset file: `%s'\n", full.c_str());
      continue;
    }
    if (!S_ISREG(st.st_mode))
      continue;
    ozu_kstream_t *f = openKeysetFile(e->d_name);
    if (f == nullptr)
      continue;
    listName(e->d_name);
    ozu_ksClose(f);
  }
  closedir(d);
}

void showStorageDirectory(void)
{
  std::string dir = std::string(storageHome()) + "/" + OZU_KEYSET_DIR;
  quor_stat_t st;
  int rc = ozu_EioRetry([&] { return quor_Stat(dir.c_str(), &st); });
  if (rc == -2)
    return;
  if (rc < 0) {
    setExitResult(72, quor_perror(rc, "read QUOR directory", dir.c_str(), nullptr), 4);
    return;
  }
  readQUORdir(dir.c_str(), 0, showEntCallback, nullptr, nullptr);
}

// Writes the local keyset file at path (through a new file beside it that
// then takes its place): 0, or -1 after a message.
int keepLocal(const std::string &path)
{
  std::string temp = path.substr(0, path.rfind('/') + 1) + ".#" + path.substr(path.rfind('/') + 1);
  FILE *f = fopen(temp.c_str(), "w+");
  if (f == nullptr) {
    report(73, 7, "*** KEEP: error creating keyset file `%s'", path.c_str());
    return -1;
  }
  fputs(OZU_KEYSET_MAGIC "\n", f);
  ozu_ListKeyset(f, &sesskeyset);
  bool bad = ferror(f) != 0;
  if (fclose(f) != 0)
    bad = true;
  if (!bad && rename(temp.c_str(), path.c_str()) != 0)
    bad = true;
  if (bad) {
    unlink(temp.c_str());
    report(73, 7, "*** KEEP: error writing keyset file `%s'", path.c_str());
    return -1;
  }
  return 0;
}

int keepStorage(const std::string &path)
{
  ozu_context_t *in = keyset->curContext;
  int size = 0;
  quor_WriteKeyset(nullptr, &sesskeyset, &size);
  if (debug >= 2)
    fprintf(listF, "debug: need %d bytes for quor keyset file %s\n", size, path.c_str());
  uint32_t subsys = ozu_GetParentSubsysID(path.c_str());
  quor_cos_hints_t hints;
  quor_cos_priorities_t prio;
  memset(&hints, 0, sizeof hints);
  memset(&prio, 0, sizeof prio);
  if (in != nullptr)
    quorex_SelectCOS(in->namedCosList, uint64_t(size), uid_t(in->curLogin.uid),
                     gid_t(in->curLogin.gid), uint32_t(in->curLogin.acctId), keyset->copies,
                     long(subsys), &hints, &prio);
  std::string temp = path.substr(0, path.rfind('/') + 1) + ".#" + path.substr(path.rfind('/') + 1);
  int err = 0;
  ozu_kstream_t *f = ozu_ksOpenQUOR(temp.c_str(), "w", &hints, &prio, &err);
  if (f == nullptr) {
    report(73, 7, "*** KEEP: error creating QUOR keyset file `%s'", path.c_str());
    return -1;
  }
  bool bad = quor_WriteKeyset(f, &sesskeyset, &size) < 0;
  if (ozu_ksClose(f) < 0)
    bad = true;
  int rc = 0;
  if (!bad && (rc = ozu_EioRetry([&] { return quor_Rename(temp.c_str(), path.c_str()); })) < 0)
    bad = true;
  if (bad) {
    ozu_EioRetry([&] { return quor_Unlink(temp.c_str()); });
    report(73, 7, "*** KEEP: error writing QUOR keyset file `%s'", path.c_str());
    return -1;
  }
  return 0;
}

}  // namespace

// ---- streams ----

ozu_kstream_t *ozu_ksOpenQUOR(const char *path, const char *mode, const quor_cos_hints_t *hints,
                              const quor_cos_priorities_t *prio, int *err)
{
  int flags = mode[0] == 'w' ? O_RDWR | O_CREAT | O_TRUNC : O_RDONLY;
  int fd = ozu_EioRetry([&] { return quor_Open(path, flags, 0666, hints, prio, nullptr); });
  if (fd < 0) {
    if (err)
      *err = fd;
    return nullptr;
  }
  auto *f = new ozu_kstream_t;
  f->qfd = fd;
  return f;
}

ozu_kstream_t *ozu_ksFromFILE(FILE *file)
{
  if (file == nullptr)
    return nullptr;
  auto *f = new ozu_kstream_t;
  f->local = file;
  return f;
}

char *ozu_ksGets(char *buf, int size, ozu_kstream_t *f)
{
  if (f == nullptr || size < 2)
    return nullptr;
  if (f->local != nullptr)
    return fgets(buf, size, f->local);
  for (;;) {
    size_t nl = f->rbuf.find('\n', f->rpos);
    size_t avail = f->rbuf.size() - f->rpos;
    size_t take = 0;
    if (nl != std::string::npos)
      take = nl - f->rpos + 1;
    else if (avail >= size_t(size - 1) || (f->eof && avail > 0))
      take = avail;
    if (take > size_t(size - 1))
      take = size_t(size - 1);
    if (take > 0) {
      memcpy(buf, f->rbuf.data() + f->rpos, take);
      buf[take] = '\0';
      f->rpos += take;
      return buf;
    }
    if (f->eof)
      return nullptr;
    f->rbuf.erase(0, f->rpos);
    f->rpos = 0;
    char chunk[kReadChunk];
    ssize_t n = quor_Read(f->qfd, chunk, sizeof chunk);
    if (n < 0)
      f->failed = true;
    if (n <= 0)
      f->eof = true;
    else
      f->rbuf.append(chunk, size_t(n));
  }
}

int ozu_ksWrite(ozu_kstream_t *f, const char *text, size_t len)
{
  if (f->local != nullptr) {
    if (fwrite(text, 1, len, f->local) != len)
      f->failed = true;
    return f->failed ? -1 : 0;
  }
  f->wbuf.append(text, len);
  if (f->wbuf.size() >= kWriteChunk)
    flushStorage(f);
  return f->failed ? -1 : 0;
}

int ozu_ksClose(ozu_kstream_t *f)
{
  if (f == nullptr)
    return 0;
  bool bad = f->failed;
  if (f->local != nullptr) {
    if (fclose(f->local) != 0)
      bad = true;
  } else {
    if (flushStorage(f) < 0)
      bad = true;
    if (quor_Close(f->qfd) < 0)
      bad = true;
  }
  delete f;
  return bad ? -1 : 0;
}

// ---- the format ----

int quor_WriteKeyset(ozu_kstream_t *f, Keyset *keyp, int *sizeptr)
{
  std::vector<std::string> lines = storageLines(keyp);
  lines.insert(lines.begin(), OZU_KEYSET_MAGIC "\n");
  int size = 0;
  for (const std::string &l : lines)
    size += int(l.size()) + 1;
  if (sizeptr)
    *sizeptr = size;
  if (f == nullptr)
    return 0;
  for (const std::string &l : lines)
    if (ozu_ksWrite(f, l.data(), l.size()) < 0)
      return -1;
  if (f->local != nullptr)
    return fflush(f->local) == 0 ? 0 : -1;
  return flushStorage(f);
}

int parseKeysetLine(char *line, char **kw, char **val)
{
  char *p = line;
  while (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\r')
    ++p;
  if (*p == '\0')
    return -1;
  char *k = p;
  while (*p && *p != '=' && *p != ' ' && *p != '\t' && *p != '\n')
    ++p;
  char *kend = p;
  bool bad = *p == '\0';
  if (!bad) {
    while (*p && *p != '=')
      ++p;
    bad = *p == '\0';
  }
  char *v = nullptr;
  if (!bad) {
    ++p;
    while (*p && *p != '"')
      ++p;
    bad = *p == '\0';
    if (!bad)
      v = p + 1;
  }
  char *close = nullptr;
  if (!bad) {
    close = strrchr(v, '"');
    bad = close == nullptr;
  }
  if (bad) {
    std::string shown = line;
    while (!shown.empty() && shown.back() == '\n')
      shown.pop_back();
    setExitResult(65, "Warning: bad keyset line encountered:", 7);
    report(0, 7, "     [%s]", shown.c_str());
    return -1;
  }
  *kend = '\0';
  *close = '\0';
  *kw = k;
  *val = v;
  return 0;
}

ozu_kstream_t *openKeysetFile(const char *name)
{
  std::string path = keysetPath(true, name);
  if (debug >= 2)
    fprintf(listF, "opening keyset file: `%s'\n", path.c_str());
  ozu_kstream_t *f = ozu_ksFromFILE(fopen(path.c_str(), "r"));
  if (f == nullptr) {
    if (debug >= 1)
      fprintf(listF, "...cannot open keyset file\n");
    return nullptr;
  }
  return checkMagic(f, path);
}

ozu_kstream_t *openQUORKeysetFile(const char *name)
{
  std::string path = keysetPath(false, name);
  if (debug >= 1)
    fprintf(listF, "opening QUOR-resident keyset file: `%s'\n", path.c_str());
  ozu_kstream_t *f = ozu_ksOpenQUOR(path.c_str(), "r", nullptr, nullptr, nullptr);
  if (f == nullptr) {
    if (debug >= 1)
      fprintf(listF, "...cannot open keyset file\n");
    return nullptr;
  }
  return checkMagic(f, path);
}

void listKeysetFile(ozu_kstream_t *f) { listLines(f); }
void listQUORKeysetFile(ozu_kstream_t *f) { listLines(f); }

int showEntCallback(ns_DirEntry_t *entry, int, const char *, const char *fullPath)
{
  int type = entry->Attrs.Type;
  if (type != 129 && type != 131)
    return 0;
  const char *slash = strrchr(fullPath, '/');
  const char *name = slash ? slash + 1 : fullPath;
  ozu_kstream_t *f = openQUORKeysetFile(name);
  if (f == nullptr) {
    if (debug >= 1)
      fprintf(listF, "...not a keyset file: `%s'\n", name);
    return 0;
  }
  listName(name);
  ozu_ksClose(f);
  return 0;
}

// ---- the commands ----

int ozu_ShowCommand(char *cc, int cclen)
{
  char **options = nullptr, **objects = nullptr;
  if (parseTail(cc + cclen, &options, &objects, "Error parsing options/objects for '%s'", 64, 4,
                false) == 0) {
    bool local = localWanted();
    bool named = false;
    for (int i = 0; objects && objects[i]; ++i) {
      if (objects[i][0] == '\0')
        continue;
      named = true;
      if (validName(objects[i]))
        showOne(objects[i], local);
    }
    if (!named) {
      fprintf(listF, "Available %s keysets:\n", local ? "local" : "QUOR");
      if (local)
        showLocalDirectory();
      else
        showStorageDirectory();
    }
  }
  fflush(listF);
  ozuFreeStringList(options);
  ozuFreeStringList(objects);
  return 1;
}

int ozu_KeepCommand(char *cc, int cclen)
{
  char **options = nullptr, **objects = nullptr;
  if (parseTail(cc + cclen, &options, &objects, "Error parsing options/objects for '%s'", 64, 7,
                true) != 0 ||
      keysetOptions(options) < 0) {
    ozuFreeStringList(options);
    ozuFreeStringList(objects);
    return 0;
  }
  bool local = localWanted();
  const char *extra = nullptr;
  const char *name = firstName(objects, &extra);
  if (extra != nullptr)
    fprintf(listF, "*** Extra parameter(s) starting with `%s' ignored\n", extra);
  if (name == nullptr)
    name = "-";
  if (validName(name)) {
    std::string dir = std::string(local ? localHome() : storageHome()) + "/" + OZU_KEYSET_DIR;
    mode_t dmode = keyset->curContext ? keyset->curContext->dcreateMode : 0755;
    bool ready = true;
    if (local) {
      struct stat st;
      if (stat(dir.c_str(), &st) != 0) {
        if (errno != ENOENT) {
          report(73, 7, "*** KEEP: error %d stat-ing `%s'", errno, dir.c_str());
          ready = false;
        } else if (mkdir(dir.c_str(), dmode) != 0) {
          report(73, 7, "*** KEEP: error %d creating local directory `%s'", -1, dir.c_str());
          ready = false;
        }
      }
    } else {
      quor_stat_t st;
      int rc = ozu_EioRetry([&] { return quor_Stat(dir.c_str(), &st); });
      if (rc == -2) {
        rc = ozu_EioRetry([&] { return quor_Mkdir(dir.c_str(), dmode); });
        if (rc < 0) {
          report(73, 7, "*** KEEP: error %d creating QUOR directory `%s'", rc, dir.c_str());
          ready = false;
        }
      } else if (rc < 0) {
        setExitResult(73, quor_perror(rc, "stat QUOR directory", dir.c_str(), nullptr), 7);
        ready = false;
      }
    }
    if (ready) {
      std::string path = dir + "/" + name;
      if (local)
        keepLocal(path);
      else
        keepStorage(path);
    }
  }
  ozuFreeStringList(options);
  ozuFreeStringList(objects);
  return 0;
}

int ozu_FreeCommand(char *cc, int cclen)
{
  char **options = nullptr, **objects = nullptr;
  if (parseTail(cc + cclen, &options, &objects, "Error parsing options/objects for '%s'", 64, 7,
                false) != 0) {
    ozuFreeStringList(options);
    ozuFreeStringList(objects);
    return 1;
  }
  bool local = localWanted();
  if (objects == nullptr || objects[0] == nullptr)
    setExitResult(64, "*** FREE: missing keyset name", 7);
  for (int i = 0; objects && objects[i]; ++i) {
    const char *name = objects[i];
    if (name[0] == '\0' || !validName(name))
      continue;
    std::string path = keysetPath(local, name);
    if (local) {
      if (unlink(path.c_str()) == 0)
        report(0, 7, "freed keyset `%s'", name);
      else if (errno == ENOENT)
        report(0, 7, "*** Warning: no such keyset - `%s'", name);
      else
        report(72, 7, "*** Error unlinking keyset file `%s'", name);
      continue;
    }
    int rc = ozu_EioRetry([&] { return quor_Unlink(path.c_str()); });
    if (rc == 0) {
      report(0, 7, "freed keyset `%s'", name);
      ozu_LogFileUnlink(path.c_str(), 0);
    } else if (rc == -2) {
      report(0, 7, "*** Warning: no such keyset - `%s'", name);
    } else {
      setExitResult(72, quor_perror(rc, "unlink keyset", name, nullptr), 7);
    }
  }
  ozuFreeStringList(options);
  ozuFreeStringList(objects);
  return 0;
}

int ozu_AdoptCommand(char *cc, int cclen)
{
  char **options = nullptr, **objects = nullptr;
  if (parseTail(cc + cclen, &options, &objects, "Error parsing options/objects for '%s'\n", 64, 7,
                false) != 0) {
    ozuFreeStringList(options);
    ozuFreeStringList(objects);
    return 1;
  }
  bool local = localWanted();
  const char *extra = nullptr;
  const char *name = firstName(objects, &extra);
  if (name == nullptr) {
    setExitResult(64, "*** ADOPT: missing keyset name (use SHOW to list available keysets)", 7);
  } else if (validName(name)) {
    if (extra != nullptr)
      report(0, 6, "*** Extra parameter(s) starting with `%s' ignored", extra);
    ozu_kstream_t *f = local ? openKeysetFile(name) : openQUORKeysetFile(name);
    if (f == nullptr) {
      report(72, 7, "*** Error opening keyset file `%s'", name);
    } else {
      char line[OZU_KEYSET_LINE];
      for (int n = 1; ozu_ksGets(line, sizeof line, f) != nullptr; ++n) {
        if (line[0] == '#')
          continue;
        if (debug >= 2)
          fprintf(listF, " ... parsing [%s]\n", line);
        char *kw = nullptr, *val = nullptr;
        if (parseKeysetLine(line, &kw, &val) < 0) {
          report(65, 7, "*** ADOPT: error parsing line %d of keyset `%s'", n, name);
          continue;
        }
        // What keep -l writes is adopted back: "hier" is a setting of old
        // files that no keyword holds any more, and 0 is how automatic
        // stripe widths and buffer sizes are written.
        int type = lookupKW(kw);
        if (type < 0 && strcmp(kw, "hier") == 0)
          continue;
        if ((type == 15 || type == 16) && strcmp(val, "0") == 0)
          val = const_cast<char *>("auto");
        if (setKeyword(kw, val, &sesskeyset) == -1)
          report(65, 7, "*** ADOPT: error in keyset `%s', line %d (`%s = %s')", name, n, kw, val);
      }
      ozu_ksClose(f);
    }
  }
  ozuFreeStringList(options);
  ozuFreeStringList(objects);
  return 0;
}
