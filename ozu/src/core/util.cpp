// Clock, stopwatch, name tables, permission bits and byte counts.
#include "ozu_util.h"

#include <ctype.h>
#include <errno.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <strings.h>
#include <sys/time.h>

namespace {

struct codeName {
  int code;
  const char *name;
};

const codeName authTable[] = {
    {0x2, "local"},  {0x8, "kerberos"}, {0x10, "combo"}, {0x10, "dce"}, {0x20, "munge"},
    {0x40, "keytab"}, {0x80, "ident"},  {0x100, "gsi"},  {0x200, "pam"},
};

const char *const cksumNames[] = {"none",   "sha1", "sha224", "sha256",  "sha384",
                                  "sha512", "md5",  "crc32",  "adler32", "ecma319"};

const codeName objTable[] = {
    {129, "file"},     {130, "symbolic link"}, {131, "hard link"},
    {132, "directory"}, {133, "junction"},     {134, "fileset root"},
};

thread_local double timerStart = 0.0;

}  // namespace

double double_time(void)
{
  struct timeval tv;
  gettimeofday(&tv, nullptr);
  return double(tv.tv_sec) + double(tv.tv_usec) / 1e6;
}

void ozu_TimerStart(void) { timerStart = double_time(); }

double ozu_TimerStop(void)
{
  if (timerStart == 0.0)
    return 0.0;
  return double_time() - timerStart;
}

const char *ozu_AuthTypeToString(int code)
{
  for (const codeName &e : authTable)
    if (e.code == code)
      return e.name;
  return "????";
}

int ozu_ConvertAuthMethod(const char *name)
{
  if (name == nullptr)
    return -1;
  for (const codeName &e : authTable)
    if (strcasecmp(e.name, name) == 0)
      return e.code;
  return -1;
}

const char *ozu_CksumTypeToString(int type)
{
  if (type < 0 || type >= int(sizeof cksumNames / sizeof cksumNames[0]))
    return nullptr;
  return cksumNames[type];
}

int ozu_ConvertCksumType(const char *name)
{
  if (name == nullptr)
    return -1;
  for (int i = 0; i < int(sizeof cksumNames / sizeof cksumNames[0]); ++i)
    if (strcasecmp(cksumNames[i], name) == 0)
      return i;
  return -1;
}

const char *quor_ObjectTypeToString(unsigned type)
{
  for (const codeName &e : objTable)
    if (unsigned(e.code) == type)
      return e.name;
  return "UNKNOWN";
}

const char *ozu_StatObjectTypeToString(const struct stat *st)
{
  if (st == nullptr)
    return "?UNKNOWN?";
  switch (st->st_mode & S_IFMT) {
    case S_IFIFO: return "FIFO";
    case S_IFCHR: return "CHAR_SPECIAL";
    case S_IFDIR: return "DIRECTORY";
    case S_IFBLK: return "BLOCK_SPECIAL";
    case S_IFREG: return "FILE";
    case S_IFLNK: return "SYMLINK";
    case S_IFSOCK: return "SOCKET";
    default: return "?UNKNOWN?";
  }
}

void ozu_NsPermsToMode_t(const quor_Attrs_t *attrs, int *combinedBits, int *ownerBits,
                         int *groupBits, int *otherBits)
{
  int mode = 0;
  if (attrs != nullptr) {
    const struct {
      unsigned32 word;
      int r, w, x;
    } rows[] = {
        {attrs->UserPerms, 0400, 0200, 0100},
        {attrs->GroupPerms, 040, 020, 010},
        {attrs->OtherPerms, 04, 02, 01},
        {attrs->ModePerms, 04000, 02000, 01000},
    };
    for (const auto &r : rows) {
      if (r.word & 0x20) mode |= r.r;
      if (r.word & 0x40) mode |= r.w;
      if (r.word & 0x80) mode |= r.x;
    }
  }
  if (combinedBits) *combinedBits = mode;
  if (ownerBits) *ownerBits = mode & 04700;
  if (groupBits) *groupBits = mode & 02070;
  if (otherBits) *otherBits = mode & 01007;
}

void u64_to_decflt(uint64_t data, int kbflag, char *string)
{
  static const char *const units[] = {"KB", "MB", "GB", "TB", "PB", "XB"};
  double unit = kbflag ? 1024.0 : 1000.0;
  if (double(data) < unit) {
    snprintf(string, 32, "%u B", unsigned(data));
    return;
  }
  double v = double(data) / unit;
  int i = 0;
  while (i < 5 && v >= unit) {
    v /= unit;
    ++i;
  }
  snprintf(string, 32, "%.1f %s", v, units[i]);
}

int ozu_AllDigits(const char *s)
{
  if (s == nullptr || *s == '\0')
    return 0;
  for (; *s; ++s)
    if (!isdigit(static_cast<unsigned char>(*s)))
      return 0;
  return 1;
}

int ozu_IntOverflows(const char *s)
{
  if (s == nullptr)
    return 0;
  const char *d = *s == '-' || *s == '+' ? s + 1 : s;
  if (!isdigit(static_cast<unsigned char>(*d)))
    return 0;
  errno = 0;
  long long v = strtoll(s, nullptr, 10);
  return errno == ERANGE || v > INT_MAX || v < -INT_MAX ? 1 : 0;
}
