#include "brix_corpus.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <random>

#include "brix_session.h"

// Compares a tar archive with the tree it was made from, as Python's tarfile
// reads it, and trees extracted by other programs with the source. Prints
// "offset path" per member for the index comparison; exits non-zero with
// the differences on any mismatch.
const char* kChecker = R"PY(
import os, sys, stat, tarfile, hashlib
mode, archive, src = sys.argv[1], sys.argv[2], sys.argv[3]
root = os.path.dirname(src)
bad = []
def digest(p):
    with open(p, 'rb') as f: return hashlib.sha256(f.read()).hexdigest()
def walk():
    out = [src]
    for d, dirs, files in os.walk(src):
        for n in dirs + files: out.append(os.path.join(d, n))
    return out
if mode == 'tarfile':
    t = tarfile.open(archive)
    members = {}
    for m in t.getmembers():
        print(m.offset // 512, m.name)
        members[m.name] = m
    for p in walk():
        rel = os.path.relpath(p, root)
        m = members.get(rel)
        if m is None: bad.append('missing ' + rel); continue
        st = os.lstat(p)
        kind = 'l' if stat.S_ISLNK(st.st_mode) else 'd' if stat.S_ISDIR(st.st_mode) else 'f'
        mk = 'l' if m.issym() else 'd' if m.isdir() else 'f' if m.isfile() else '?'
        if kind != mk: bad.append('kind %s %s %s' % (rel, kind, mk))
        if (st.st_mode & 0o7777) != m.mode and kind != 'l': bad.append('mode %s %o %o' % (rel, st.st_mode & 0o7777, m.mode))
        if int(st.st_mtime) != m.mtime: bad.append('mtime %s %d %d' % (rel, st.st_mtime, m.mtime))
        if st.st_uid != m.uid or st.st_gid != m.gid: bad.append('owner %s %d:%d %d:%d' % (rel, st.st_uid, st.st_gid, m.uid, m.gid))
        if kind == 'l' and os.readlink(p) != m.linkname: bad.append('link ' + rel)
        if kind == 'f':
            if st.st_size != m.size: bad.append('size %s %d %d' % (rel, st.st_size, m.size))
            elif hashlib.sha256(t.extractfile(m).read()).hexdigest() != digest(p): bad.append('data ' + rel)
    x = os.path.join(os.path.dirname(archive), 'pyx')
    kw = {'numeric_owner': True}
    try: t.extractall(x, filter='fully_trusted', **kw)
    except TypeError: t.extractall(x, **kw)
    mode, src2 = 'tree', os.path.join(x, os.path.basename(src))
else:
    src2 = archive
if mode == 'tree':
    for p in walk():
        rel = os.path.relpath(p, src)
        q = os.path.join(src2, rel)
        try: a, b = os.lstat(p), os.lstat(q)
        except OSError: bad.append('missing extracted ' + rel); continue
        if stat.S_IFMT(a.st_mode) != stat.S_IFMT(b.st_mode): bad.append('kind ' + rel); continue
        if stat.S_ISLNK(a.st_mode):
            if os.readlink(p) != os.readlink(q): bad.append('link ' + rel)
            continue
        if (a.st_mode & 0o7777) != (b.st_mode & 0o7777): bad.append('mode %s %o %o' % (rel, a.st_mode & 0o7777, b.st_mode & 0o7777))
        if int(a.st_mtime) != int(b.st_mtime): bad.append('mtime %s %d %d' % (rel, a.st_mtime, b.st_mtime))
        if (a.st_uid, a.st_gid) != (b.st_uid, b.st_gid): bad.append('owner ' + rel)
        if stat.S_ISREG(a.st_mode) and digest(p) != digest(q): bad.append('data ' + rel)
if bad:
    sys.stderr.write('\n'.join(bad) + '\n')
    sys.exit(1)
)PY";

std::string repeat(char c, size_t n) { return std::string(n, c); }

void setTimes(const std::string& path, time_t t) {
  struct timespec ts[2] = {{t, 0}, {t, 0}};
  utimensat(AT_FDCWD, path.c_str(), ts, AT_SYMLINK_NOFOLLOW);
}

// The corpus of the issue: sizes around block boundaries, long and
// non-ASCII names, links, set-id modes, extreme times and large ids.
void makeCorpus(const std::string& c) {
  std::mt19937 rng(12);
  std::string big(3 * 1024 * 1024 + 17, '\0');
  for (auto& ch : big) ch = char(rng());
  writeFileAt(c + "/empty", "");
  writeFileAt(c + "/one", "1");
  writeFileAt(c + "/b512", repeat('x', 512));
  writeFileAt(c + "/b513", repeat('y', 513));
  writeFileAt(c + "/big.bin", big);
  writeFileAt(c + "/sub/deeper/file.txt", "deep\n");
  writeFileAt(c + "/sub/other.txt", "other\n");
  writeFileAt(c + "/" + repeat('n', 99 - 7), "99");    // member path of 99 characters
  writeFileAt(c + "/" + repeat('o', 100 - 7), "100");  // 100
  writeFileAt(c + "/" + repeat('p', 101 - 7), "101");  // 101
  // Paths of 154, 155 and 254 characters, each with a split that ustar can
  // store (a prefix of at most 154 characters, a name of at most 99).
  writeFileAt(c + "/" + repeat('q', 86) + "/" + repeat('r', 60), "154");
  writeFileAt(c + "/" + repeat('s', 87) + "/" + repeat('t', 60), "155");
  writeFileAt(c + "/" + repeat('u', 60) + "/" + repeat('v', 86) + "/" + repeat('w', 99), "254");
  writeFileAt(c + "/caf\xc3\xa9 \xe6\x97\xa5\xe6\x9c\xac.txt", "utf-8 name\n");
  writeFileAt(c + "/setuid", "s", 04755);
  writeFileAt(c + "/setgid", "g", 02750);
  mkdir((c + "/sticky").c_str(), 01777);
  chmod((c + "/sticky").c_str(), 01777);
  symlink("sub/other.txt", (c + "/link").c_str());
  symlink("dangling-target", (c + "/dangling").c_str());
  writeFileAt(c + "/epoch", "0");
  writeFileAt(c + "/after2038", "2039");
  writeFileAt(c + "/bigids", "ids");
  if (geteuid() == 0) chown((c + "/bigids").c_str(), 3000000, 3000001);
  setTimes(c + "/epoch", 0);
  setTimes(c + "/after2038", 2200000000);
  setTimes(c + "/link", 1600000000);
}

