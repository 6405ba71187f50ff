// The namespace calls and the API configuration calls against the gateway
// simulator's storage namespace: argument checks that send nothing, stat
// and attribute calls, attribute changes, directories and their
// descriptors, links and names, times, modes and owners, the working
// directory and mask, path fault rules, and many threads on one connection.
// Each case runs the client in a forked child.
#include <gtest/gtest.h>
#include <malloc.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <utime.h>
#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif

#include <algorithm>
#include <atomic>
#include <fstream>
#include <functional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "client_env.h"
#include "client_process.h"
#include "gwsim_config.h"
#include "gwsim_fixture.h"
#include "journal_text.h"
#include "msg_conn.h"
#include "quor_api.h"
#include "quor_api_internal.h"

namespace {

const std::string kUsers = [] {
  GwsimConfig c;
  c.user("alice", "wonderland").set("Uid", 1001).set("Gid", 100).set("Groups", 55)
      .set("Accounts", 7);
  return c.text();
}();

// alice owns the namespace's root; objects without an owner are root's (the
// host's, as gwsim runs).
const std::string kTree = [] {
  GwsimConfig c;
  c.dir("/").set("Uid", 1001).set("Gid", 100).set("Mode", "0755");
  c.dir("/data").set("Uid", 1001).set("Gid", 100).set("Mode", "0755");
  c.file("/data/disk.txt").set("Data", "hello").set("Uid", 1001).set("Gid", 100).set("Mode", "0644")
      .set("Family", 3).set("Comment", "plain disk file");
  c.file("/data/tape.bin").set("Uid", 1001).set("Size", 4096)
      .set("Tape", "VOL001:17:PV0001 VOL002:3:VOL002:shelf").set("Account", 7).set("COS", 5)
      .set("Comment", "on tape");
  c.file("/data/link").set("Type", "symlink").set("Target", "/data/disk.txt");
  c.dir("/full");
  c.file("/full/a").set("Data", "x");
  c.file("/proj").set("Type", "junction");
  return c.text();
}();

std::string config(const std::string& extra = "") {
  return std::string("Server = {\n  umask = 022\n}\n") + kUsers + kTree + extra;
}

int login(const GwsimFixture& gw) { return clientLogin(gw, "alice", "wonderland"); }

// Journal lines of namespace requests with function fn (0x0500 category).
int nsLines(const GwsimFixture& gw, unsigned fn, const std::string& more = "") {
  char key[40];
  snprintf(key, sizeof key, "cat=0x0500 fn=0x%04x ", fn);
  return countLines(gw.journalLines(), key, more);
}

// Leak checks of a child: LeakSanitizer where it runs, else the heap's
// bytes in use, which leaks of a few hundred bytes per call over many calls
// push well past the allocator's own slack.
#if defined(__SANITIZE_ADDRESS__)
int leakCheckRounds() { return 3; }
size_t heapInUse() { return 0; }
bool noLeakSince(size_t) { return __lsan_do_recoverable_leak_check() == 0; }
#else
int leakCheckRounds() { return 60; }
size_t heapInUse() { return mallinfo2().uordblks; }
bool noLeakSince(size_t before) {
  size_t now = heapInUse();
  if (now > before + 12 * 1024) fprintf(stderr, "heap grew by %zu bytes\n", now - before);
  return now <= before + 12 * 1024;
}
#endif

bool allZero(const void* p, size_t n) {
  const unsigned char* b = static_cast<const unsigned char*>(p);
  return std::all_of(b, b + n, [](unsigned char c) { return c == 0; });
}

// Creates n empty files dir/f000 ... in the namespace root, from outside.
void makeFiles(const GwsimFixture& gw, const std::string& dir, int n) {
  std::string host = gw.rootDir() + dir;
  mkdir(host.c_str(), 0755);
  for (int i = 0; i < n; i++) {
    char name[16];
    snprintf(name, sizeof name, "/f%03d", i);
    std::ofstream(host + name) << std::string(size_t(i), 'x');
  }
}

}  // namespace

// ---- the call frame ----

// Every argument check answers before anything reaches the gateway.
TEST(NamespaceFrame, ArgumentChecksSendNothing) {
  GwsimFixture gw(config());
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  ChildResult r = runInChild([&] {
    int failures = 0;
    CHILD_CHECK(failures, login(gw) == 0);
    quor_stat_t st;
    quor_Attrs_t attrs;
    quor_fileattr_t fa, fb;
    quor_xfileattr_t xa;
    quor_dirent_t de;
    ns_DirEntry_t ents[2];
    uint32_t end;
    uint64_t off;
    char buf[64];
    struct utimbuf times = {1, 2};
    std::string longPath = "/" + std::string(1024, 'p');  // 1025 characters
    std::string utime1024 = "/" + std::string(1023, 'u');
    struct Case {
      const char* what;
      std::function<int()> call;
      int want;
    };
    const Case cases[] = {
        {"Stat null path", [&] { return quor_Stat(nullptr, &st); }, -14},
        {"Stat null both", [&] { return quor_Stat(nullptr, nullptr); }, -14},
        {"Stat empty", [&] { return quor_Stat("", &st); }, -2},
        {"Stat null buf", [&] { return quor_Stat("/data", nullptr); }, -14},
        {"Stat too long", [&] { return quor_Stat(longPath.c_str(), &st); }, -86},
        {"Lstat empty", [&] { return quor_Lstat("", &st); }, -2},
        {"Lstat null buf", [&] { return quor_Lstat("/data", nullptr); }, -14},
        {"GetListAttrs null", [&] { return quor_GetListAttrs(nullptr, &attrs); }, -14},
        {"GetListAttrs empty", [&] { return quor_GetListAttrs("", &attrs); }, -2},
        {"GetListAttrs null out", [&] { return quor_GetListAttrs("/data", nullptr); }, -14},
        {"FileGetAttributes empty", [&] { return quor_FileGetAttributes("", &fa); }, -2},
        {"FileGetAttributes null out", [&] { return quor_FileGetAttributes("/data", nullptr); },
         -14},
        {"FileGetXAttributes null", [&] { return quor_FileGetXAttributes(nullptr, 8, 0, &xa); },
         -14},
        {"FileGetXAttributes null out",
         [&] { return quor_FileGetXAttributes("/data", 8, 0, nullptr); }, -14},
        {"FileSetAttributes empty", [&] { return quor_FileSetAttributes("", 1, &fa, &fb); }, -2},
        {"FileSetAttributes null in",
         [&] { return quor_FileSetAttributes("/data", 1, nullptr, &fb); }, -14},
        {"FileSetAttributes null out",
         [&] { return quor_FileSetAttributes("/data", 1, &fa, nullptr); }, -14},
        {"Chdir null", [&] { return quor_Chdir(nullptr); }, -14},
        {"Chdir empty", [&] { return quor_Chdir(""); }, -2},
        {"Getcwd size 0, null buf", [&] { return quor_Getcwd(nullptr, 0); }, -22},
        {"Getcwd null buf", [&] { return quor_Getcwd(nullptr, 10); }, -14},
        {"Mkdir empty", [&] { return quor_Mkdir("", 0755); }, -2},
        {"Rmdir null", [&] { return quor_Rmdir(nullptr); }, -14},
        {"Link null new", [&] { return quor_Link("/data/disk.txt", nullptr); }, -14},
        {"Link empty existing", [&] { return quor_Link("", "/x"); }, -2},
        {"Rename null old", [&] { return quor_Rename(nullptr, "/x"); }, -14},
        {"Rename empty new", [&] { return quor_Rename("/data", ""); }, -2},
        {"Symlink empty path", [&] { return quor_Symlink("/data", ""); }, -2},
        {"Symlink null contents", [&] { return quor_Symlink(nullptr, "/x"); }, -14},
        {"Readlink null", [&] { return quor_Readlink(nullptr, buf, sizeof buf); }, -14},
        {"Readlink null out", [&] { return quor_Readlink("/data/link", nullptr, 10); }, -14},
        {"Unlink empty", [&] { return quor_Unlink(""); }, -2},
        {"Utime empty", [&] { return quor_Utime("", &times); }, -2},
        {"Utime 1024", [&] { return quor_Utime(utime1024.c_str(), &times); }, -36},
        {"Utime null times", [&] { return quor_Utime("/data", nullptr); }, -14},
        {"Chmod null", [&] { return quor_Chmod(nullptr, 0644); }, -14},
        {"Chown empty", [&] { return quor_Chown("", 1, 1); }, -2},
        {"Opendir empty", [&] { return quor_Opendir(""); }, -2},
        {"Readdir null out", [&] { return quor_Readdir(0, nullptr); }, -14},
        {"ReadAttrs size 0", [&] { return quor_ReadAttrs(0, 0, 0, 1, &end, &off, ents); }, -22},
        // Below one entry: refused before the null pointers are looked at.
        {"ReadAttrs below one entry",
         [&] {
           return quor_ReadAttrs(0, 0, sizeof(ns_DirEntry_t) - 1, 1, nullptr, nullptr, nullptr);
         },
         -22},
        {"ReadAttrs null end",
         [&] { return quor_ReadAttrs(0, 0, sizeof ents, 1, nullptr, &off, ents); }, -14},
        {"ReadAttrs null offset",
         [&] { return quor_ReadAttrs(0, 0, sizeof ents, 1, &end, nullptr, ents); }, -14},
        {"ReadAttrs null array",
         [&] { return quor_ReadAttrs(0, 0, sizeof ents, 1, &end, &off, nullptr); }, -14},
    };
    for (const Case& c : cases) {
      int got = c.call();
      if (got != c.want) {
        fprintf(stderr, "%s: got %d, want %d\n", c.what, got, c.want);
        failures++;
      }
    }
    // Refused outputs stay as they were: no zeroing before the checks pass.
    memset(&st, 0x5a, sizeof st);
    CHILD_CHECK(failures, quor_Stat("", &st) == -2);
    CHILD_CHECK(failures, reinterpret_cast<unsigned char*>(&st)[0] == 0x5a);
    (void)de;
    return failures;
  });
  EXPECT_EQ(r.status, 0) << r.stderrText;
  for (const std::string& l : gw.journalLines())
    EXPECT_EQ(l.find("cat=0x0500"), std::string::npos) << "sent: " << l;
}

// A path of 1023 characters is sent; one of 1024 is not (Utime's limit).
TEST(NamespaceFrame, UtimeSendsA1023CharacterPath) {
  GwsimFixture gw(config());
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  ChildResult r = runInChild([&] {
    int failures = 0;
    CHILD_CHECK(failures, login(gw) == 0);
    struct utimbuf times = {1, 2};
    std::string p1023 = "/" + std::string(1022, 'u');
    int rc = quor_Utime(p1023.c_str(), &times);
    CHILD_CHECK(failures, rc < 0 && rc != -36);
    return failures;
  });
  EXPECT_EQ(r.status, 0) << r.stderrText;
  EXPECT_EQ(nsLines(gw, 0x1501), 1);
}

TEST(NamespaceFrame, StartUpFailureComesBeforeArgumentChecks) {
  GwsimFixture gw(config());
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  gw.stop();  // nothing listens on the port any more
  ChildResult r = runInChild([&] {
    int failures = 0;
    clientEnv(gw);
    CHILD_CHECK(failures, quor_Stat(nullptr, nullptr) == -50);
    // The mask call reports the failure instead of a mask of 0.
    CHILD_CHECK(failures, quor_Umask(022) == -50);
    return failures;
  });
  EXPECT_EQ(r.status, 0) << r.stderrText;
}

// ---- stat and attributes ----

TEST(NamespaceAttributes, StatCallsFollowLinksAsEachShould) {
  GwsimFixture gw(config());
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  ChildResult r = runInChild([&] {
    int failures = 0;
    CHILD_CHECK(failures, login(gw) == 0);
    struct Case {
      const char* what;
      std::function<int(quor_stat_t*)> call;
      uint32_t fmt;
      uint32_t type;
      uint64_t size;
    };
    const Case cases[] = {
        {"Stat file", [](quor_stat_t* b) { return quor_Stat("/data/disk.txt", b); }, S_IFREG, 129,
         5},
        {"Stat link", [](quor_stat_t* b) { return quor_Stat("/data/link", b); }, S_IFREG, 129, 5},
        {"Lstat link", [](quor_stat_t* b) { return quor_Lstat("/data/link", b); }, S_IFLNK, 130,
         14},
        {"Stat dir", [](quor_stat_t* b) { return quor_Stat("/data", b); }, S_IFDIR, 132, 0},
        {"Stat junction", [](quor_stat_t* b) { return quor_Stat("/proj", b); }, S_IFDIR, 133, 0},
    };
    for (const Case& c : cases) {
      quor_stat_t st;
      int rc = c.call(&st);
      if (rc != 0 || (st.st_mode & S_IFMT) != c.fmt || st.st_type != c.type ||
          (c.fmt != S_IFDIR && st.st_size != c.size)) {
        fprintf(stderr, "%s: rc %d mode %o type %u size %llu\n", c.what, rc, st.st_mode, st.st_type,
                (unsigned long long)st.st_size);
        failures++;
      }
    }
    quor_stat_t st;
    CHILD_CHECK(failures, quor_Stat("/data/disk.txt", &st) == 0);
    CHILD_CHECK(failures, st.st_uid == 1001 && st.st_gid == 100);
    CHILD_CHECK(failures, (st.st_mode & 07777) == 0644);
    CHILD_CHECK(failures, st.st_nlink == 1);
    // A refused path: the gateway's code, and no body left Buf all zero.
    memset(&st, 0x5a, sizeof st);
    CHILD_CHECK(failures, quor_Stat("/data/missing", &st) == -2);
    CHILD_CHECK(failures, allZero(&st, sizeof st));
    CHILD_CHECK(failures, quor_Stat("/data/disk.txt/below", &st) == -20);
    CHILD_CHECK(failures, quor_Stat("/data/../data/./disk.txt", &st) == 0 && st.st_size == 5);
    return failures;
  });
  EXPECT_EQ(r.status, 0) << r.stderrText;
  EXPECT_EQ(nsLines(gw, 0x0C04, "path=/data/link"), 1);
}

TEST(NamespaceAttributes, ListAttrsKeepLinksFileAttributesFollowThem) {
  GwsimFixture gw(config());
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  ChildResult r = runInChild([&] {
    int failures = 0;
    CHILD_CHECK(failures, login(gw) == 0);
    quor_Attrs_t a;
    CHILD_CHECK(failures, quor_GetListAttrs("/data/link", &a) == 0);
    CHILD_CHECK(failures, a.Type == 130);
    CHILD_CHECK(failures, quor_GetListAttrs("/data/tape.bin", &a) == 0);
    CHILD_CHECK(failures, a.Type == 129 && a.DataLength == 4096 && a.Account == 7);
    CHILD_CHECK(failures, a.COSId == 5 && strcmp(a.Comment, "on tape") == 0);
    CHILD_CHECK(failures, quor_GetListAttrs("/full", &a) == 0);
    CHILD_CHECK(failures, a.Type == 132 && a.EntryCount == 1);
    memset(&a, 0x5a, sizeof a);
    CHILD_CHECK(failures, quor_GetListAttrs("/nothing", &a) == -2);
    CHILD_CHECK(failures, allZero(&a, sizeof a));

    quor_fileattr_t fa;
    CHILD_CHECK(failures, quor_FileGetAttributes("/data/link", &fa) == 0);
    CHILD_CHECK(failures, fa.Attrs.Type == 129 && fa.ObjectHandle.Type == 129);
    CHILD_CHECK(failures, fa.Attrs.DataLength == 5 && fa.Attrs.FamilyId == 3);
    CHILD_CHECK(failures, fa.Attrs.UID == 1001 && fa.Attrs.GID == 100);
    // 0644: owner read and write, group and others read.
    CHILD_CHECK(failures, fa.Attrs.UserPerms == 0x60 && fa.Attrs.GroupPerms == 0x20 &&
                              fa.Attrs.OtherPerms == 0x20 && fa.Attrs.ModePerms == 0);
    memset(&fa, 0x5a, sizeof fa);
    CHILD_CHECK(failures, quor_FileGetAttributes("/nothing", &fa) == -2);
    CHILD_CHECK(failures, reinterpret_cast<unsigned char*>(&fa)[0] == 0x5a);
    return failures;
  });
  EXPECT_EQ(r.status, 0) << r.stderrText;
}

TEST(NamespaceAttributes, ExtendedAttributesShowTheStorageLevels) {
  GwsimFixture gw(config());
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  ChildResult r = runInChild([&] {
    int failures = 0;
    CHILD_CHECK(failures, login(gw) == 0);
    quor_xfileattr_t x;
    CHILD_CHECK(failures, quor_FileGetXAttributes("/data/tape.bin", 8, 0, &x) == 0);
    // Tape only: the disk level holds nothing, the tape level everything.
    CHILD_CHECK(failures, x.SCAttrib[0].Flags == 0x1 && x.SCAttrib[0].BytesAtLevel == 0);
    CHILD_CHECK(failures, x.SCAttrib[1].Flags == (0x2 | 0x4));
    CHILD_CHECK(failures, x.SCAttrib[1].BytesAtLevel == 4096);
    CHILD_CHECK(failures, x.SCAttrib[1].NumberOfVVs == 2);
    const bf_vv_attrib_t& v0 = x.SCAttrib[1].VVAttrib[0];
    const bf_vv_attrib_t& v1 = x.SCAttrib[1].VVAttrib[1];
    CHILD_CHECK(failures, memcmp(v0.VVID.Bytes, "VOL001", 6) == 0 && v0.RelPosition == 17);
    CHILD_CHECK(failures, memcmp(v1.VVID.Bytes, "VOL002", 6) == 0 && v1.RelPosition == 3);
    CHILD_CHECK(failures, v0.BytesOnVV + v1.BytesOnVV == 4096);
    CHILD_CHECK(failures, v0.PVList && v0.PVList->List_len == 1 &&
                              memcmp(v0.PVList->List_val[0].Name, "PV0001", 6) == 0);
    CHILD_CHECK(failures, v1.PVList && v1.PVList->List_len == 1 &&
                              memcmp(v1.PVList->List_val[0].Name, "VOL002", 6) == 0);
    // Only the second physical volume is on the shelf.
    CHILD_CHECK(failures, v0.PVList && v0.PVList->List_val[0].Flags == 0);
    CHILD_CHECK(failures, v1.PVList && v1.PVList->List_val[0].Flags == 0x8);
    CHILD_CHECK(failures, x.Attrs.Account == 7 && x.Attrs.COSId == 5);
    quor_FreeXAttributes(&x);
    CHILD_CHECK(failures, v0.PVList == nullptr && v1.PVList == nullptr);
    quor_FreeXAttributes(&x);
    quor_FreeXAttributes(nullptr);
    // Flags 1: the one level asked for.
    CHILD_CHECK(failures, quor_FileGetXAttributes("/data/tape.bin", 1, 0, &x) == 0);
    CHILD_CHECK(failures, x.SCAttrib[0].Flags == 0x1);
    CHILD_CHECK(failures, allZero(&x.SCAttrib[1], sizeof x.SCAttrib[1]));
    // A new-style disk file: level 0 holds its bytes.
    CHILD_CHECK(failures, quor_FileGetXAttributes("/data/disk.txt", 8, 0, &x) == 0);
    CHILD_CHECK(failures, x.SCAttrib[0].Flags == (0x1 | 0x4) && x.SCAttrib[0].BytesAtLevel == 5);
    CHILD_CHECK(failures, x.SCAttrib[1].Flags == 0x2 && x.SCAttrib[1].BytesAtLevel == 0);
    CHILD_CHECK(failures, quor_FileGetXAttributes("/data/nothing", 8, 0, &x) == -2);
    return failures;
  });
  EXPECT_EQ(r.status, 0) << r.stderrText;
}

TEST(NamespaceAttributes, SetAttributesChangesOnlySelectedFields) {
  GwsimFixture gw(config());
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  ChildResult r = runInChild([&] {
    int failures = 0;
    CHILD_CHECK(failures, login(gw) == 0);
    quor_fileattr_t in, out;
    memset(&in, 0, sizeof in);
    in.Attrs.FamilyId = 42;
    in.Attrs.COSId = 99;  // not selected: must not change
    strcpy(in.Attrs.Comment, "not selected");
    in.Attrs.OptionFlags = 1;
    struct Case {
      const char* what;
      quor_fileattrbits_t bits;
      int want;
    };
    const Case cases[] = {
        {"FamilyId", 1ULL << 52, 0},
        {"OptionFlags", 0x0000020000000000ULL, 0},
        {"DataLength cannot be set", 1ULL << 55, -22},
    };
    for (const Case& c : cases) {
      int rc = quor_FileSetAttributes("/data/tape.bin", c.bits, &in, &out);
      if (rc != c.want) {
        fprintf(stderr, "%s: got %d want %d\n", c.what, rc, c.want);
        failures++;
      }
    }
    quor_fileattr_t now;
    CHILD_CHECK(failures, quor_FileGetAttributes("/data/tape.bin", &now) == 0);
    CHILD_CHECK(failures, now.Attrs.FamilyId == 42 && now.Attrs.OptionFlags == 1);
    CHILD_CHECK(failures, now.Attrs.COSId == 5 && strcmp(now.Attrs.Comment, "on tape") == 0);
    CHILD_CHECK(failures, now.Attrs.DataLength == 4096);
    // The comment bit, and the reply is the resulting record.
    strcpy(in.Attrs.Comment, "annotated");
    CHILD_CHECK(failures,
                quor_FileSetAttributes("/data/tape.bin", 0x0400000000000000ULL, &in, &out) == 0);
    CHILD_CHECK(failures, strcmp(out.Attrs.Comment, "annotated") == 0 && out.Attrs.FamilyId == 42);
    // Permission words map onto the mode.
    in.Attrs.UserPerms = 0xE0;
    in.Attrs.GroupPerms = 0x20;
    in.Attrs.OtherPerms = 0;
    in.Attrs.ModePerms = 0x80;
    quor_fileattrbits_t perms = (1ULL << 28) | (1ULL << 45) | (1ULL << 40) | (1ULL << 43);
    CHILD_CHECK(failures, quor_FileSetAttributes("/data/disk.txt", perms, &in, &out) == 0);
    quor_stat_t st;
    CHILD_CHECK(failures, quor_Stat("/data/disk.txt", &st) == 0 && (st.st_mode & 07777) == 01740);
    CHILD_CHECK(failures, quor_FileSetAttributes("/nothing", 1ULL << 52, &in, &out) == -2);
    return failures;
  });
  EXPECT_EQ(r.status, 0) << r.stderrText;
}

// ---- working directory and mask ----

TEST(NamespaceSession, WorkingDirectoryAndMask) {
  GwsimFixture gw(config());
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  ChildResult r = runInChild([&] {
    int failures = 0;
    CHILD_CHECK(failures, login(gw) == 0);
    char buf[64];
    CHILD_CHECK(failures, quor_Getcwd(buf, sizeof buf) == 0 && strcmp(buf, "/") == 0);
    CHILD_CHECK(failures, quor_Chdir("/data") == 0);
    CHILD_CHECK(failures, quor_Getcwd(buf, sizeof buf) == 0 && strcmp(buf, "/data") == 0);
    // "/data" is five characters: a buffer of six holds it, five does not.
    CHILD_CHECK(failures, quor_Getcwd(buf, 6) == 0);
    memset(buf, 'z', sizeof buf);
    CHILD_CHECK(failures, quor_Getcwd(buf, 5) == -34 && buf[0] == 'z');
    // Relative paths start at the working directory.
    quor_stat_t st;
    CHILD_CHECK(failures, quor_Stat("disk.txt", &st) == 0 && st.st_size == 5);
    CHILD_CHECK(failures, quor_Chdir("disk.txt") == -20);
    CHILD_CHECK(failures, quor_Chdir("missing") == -2);
    CHILD_CHECK(failures, quor_Chdir("..") == 0);
    CHILD_CHECK(failures, quor_Getcwd(buf, sizeof buf) == 0 && strcmp(buf, "/") == 0);
    CHILD_CHECK(failures, quor_Chdir("/data/link/..") == -20);
    // The mask: the site's first, then whatever was set.
    CHILD_CHECK(failures, quor_Umask(077) == 022);
    CHILD_CHECK(failures, quor_Mkdir("/private", 0777) == 0);
    CHILD_CHECK(failures, quor_Stat("/private", &st) == 0 && (st.st_mode & 0777) == 0700);
    CHILD_CHECK(failures, quor_Umask(022) == 077);
    return failures;
  });
  EXPECT_EQ(r.status, 0) << r.stderrText;
}

TEST(NamespaceSession, UmaskReportsARefusal) {
  GwsimFixture gw(config("Faults = {\n  Error = 0x0500 0x1500 1 -13\n}\n"));
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  ChildResult r = runInChild([&] {
    int failures = 0;
    CHILD_CHECK(failures, login(gw) == 0);
    CHILD_CHECK(failures, quor_Umask(077) == -13);
    CHILD_CHECK(failures, quor_Umask(077) == 022);  // the refused call changed nothing
    return failures;
  });
  EXPECT_EQ(r.status, 0) << r.stderrText;
}

// ---- directories ----

TEST(NamespaceDirectories, MakeAndRemove) {
  GwsimFixture gw(config());
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  ChildResult r = runInChild([&] {
    int failures = 0;
    CHILD_CHECK(failures, login(gw) == 0);
    struct Case {
      const char* what;
      std::function<int()> call;
      int want;
    };
    const Case cases[] = {
        {"mkdir", [] { return quor_Mkdir("/data/new", 0777); }, 0},
        {"mkdir again", [] { return quor_Mkdir("/data/new", 0777); }, -17},
        {"mkdir over a file", [] { return quor_Mkdir("/data/disk.txt", 0777); }, -17},
        {"mkdir without parent", [] { return quor_Mkdir("/no/such", 0777); }, -2},
        {"rmdir not empty", [] { return quor_Rmdir("/full"); }, -17},
        {"rmdir a file", [] { return quor_Rmdir("/data/disk.txt"); }, -20},
        {"rmdir missing", [] { return quor_Rmdir("/data/none"); }, -2},
        {"rmdir root", [] { return quor_Rmdir("/"); }, -16},
        {"rmdir", [] { return quor_Rmdir("/data/new"); }, 0},
        {"rmdir gone", [] { return quor_Rmdir("/data/new"); }, -2},
    };
    for (const Case& c : cases) {
      int rc = c.call();
      if (rc != c.want) {
        fprintf(stderr, "%s: got %d want %d\n", c.what, rc, c.want);
        failures++;
      }
    }
    // The new directory was made with the mask applied and the caller as owner.
    quor_stat_t st;
    CHILD_CHECK(failures, quor_Mkdir("/data/mine", 0775) == 0);
    CHILD_CHECK(failures, quor_Stat("/data/mine", &st) == 0);
    CHILD_CHECK(failures, (st.st_mode & 07777) == 0755 && st.st_uid == 1001 && st.st_gid == 100);
    quor_Attrs_t a;
    CHILD_CHECK(failures, quor_GetListAttrs("/data/mine", &a) == 0 && a.Account == 7);
    return failures;
  });
  EXPECT_EQ(r.status, 0) << r.stderrText;
}

TEST(NamespaceDirectories, ReaddirGivesOneEntryAtATimeThenAnEmptyName) {
  GwsimFixture gw(config());
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  ChildResult r = runInChild([&] {
    int failures = 0;
    CHILD_CHECK(failures, login(gw) == 0);
    int d = quor_Opendir("/data");
    CHILD_CHECK(failures, d == 0);  // the first descriptor is 0, and valid
    int d2 = quor_Opendir("/full");
    CHILD_CHECK(failures, d2 == 1);
    std::vector<std::string> names;
    for (int i = 0; i < 10; i++) {
      quor_dirent_t e;
      if (quor_Readdir(d, &e) != 0) {
        failures++;
        break;
      }
      if (e.d_name[0] == '\0') break;
      CHILD_CHECK(failures, e.d_namelen == strlen(e.d_name));
      CHILD_CHECK(failures, e.d_offset == names.size() + 1);
      names.push_back(e.d_name);
    }
    std::vector<std::string> want = {".", "..", "disk.txt", "link", "tape.bin"};
    CHILD_CHECK(failures, names == want);
    quor_dirent_t e;
    CHILD_CHECK(failures, quor_Readdir(d, &e) == 0 && e.d_name[0] == '\0');
    CHILD_CHECK(failures, quor_Closedir(d) == 0);
    CHILD_CHECK(failures, quor_Closedir(d) == -9);
    CHILD_CHECK(failures, quor_Readdir(d, &e) == -9);
    // The freed descriptor is handed out again.
    CHILD_CHECK(failures, quor_Opendir("/full") == 0);
    CHILD_CHECK(failures, quor_Opendir("/data/disk.txt") == -20);
    CHILD_CHECK(failures, quor_Opendir("/nothing") == -2);
    return failures;
  });
  EXPECT_EQ(r.status, 0) << r.stderrText;
}

// Pages through a directory with OffsetOut: every entry once, in order, and
// never more per call than the buffer holds.
TEST(NamespaceDirectories, ReadAttrsPagesWithOffsetOut) {
  GwsimFixture gw(config());
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  makeFiles(gw, "/many", 25);
  ChildResult r = runInChild([&] {
    int failures = 0;
    CHILD_CHECK(failures, login(gw) == 0);
    int d = quor_Opendir("/many");
    CHILD_CHECK(failures, d >= 0);
    // Room for 4 entries and a guard entry the call must never touch.
    std::vector<ns_DirEntry_t> buf(5);
    memset(&buf[4], 0x5a, sizeof buf[4]);
    uint32_t size = uint32_t(4 * sizeof(ns_DirEntry_t) + sizeof(ns_DirEntry_t) - 1);
    std::vector<std::string> names;
    uint64_t offset = 0;
    uint32_t end = 0;
    int calls = 0;
    while (!end && calls < 20) {
      uint64_t next = 0;
      int n = quor_ReadAttrs(d, offset, size, 1, &end, &next, buf.data());
      calls++;
      CHILD_CHECK(failures, n >= 0 && n <= 4);
      if (n < 0) break;
      for (int i = 0; i < n; i++) {
        names.push_back(buf[size_t(i)].Name);
        CHILD_CHECK(failures, buf[size_t(i)].ObjOffset == offset + uint64_t(i) + 1);
        std::string nm = buf[size_t(i)].Name;
        if (nm[0] == 'f') {
          // File fNNN holds NNN bytes.
          CHILD_CHECK(failures, buf[size_t(i)].Attrs.DataLength == uint64_t(atoi(nm.c_str() + 1)));
          CHILD_CHECK(failures,
                      buf[size_t(i)].Attrs.Type == 129 && buf[size_t(i)].ObjHandle.Type == 129);
        }
      }
      CHILD_CHECK(failures, next == offset + uint64_t(n));
      offset = next;
    }
    CHILD_CHECK(failures, names.size() == 27 && calls == 7);
    CHILD_CHECK(failures, names.size() >= 3 && names[0] == "." && names[1] == ".." &&
                              names[2] == "f000" && names.back() == "f024");
    CHILD_CHECK(failures, std::set<std::string>(names.begin(), names.end()).size() == names.size());
    const unsigned char* guard = reinterpret_cast<const unsigned char*>(&buf[4]);
    CHILD_CHECK(failures, std::all_of(guard, guard + sizeof buf[4],
                                      [](unsigned char c) { return c == 0x5a; }));
    // Resuming from an offset in the middle gives the same entries again.
    uint64_t next;
    CHILD_CHECK(failures, quor_ReadAttrs(d, 10, size, 0, &end, &next, buf.data()) == 4);
    CHILD_CHECK(failures, names.size() == 27 && names[10] == buf[0].Name && next == 14 && !end);
    // Past the end: nothing, and End.
    CHILD_CHECK(failures, quor_ReadAttrs(d, 27, size, 0, &end, &next, buf.data()) == 0);
    CHILD_CHECK(failures, end == 1 && next == 27);
    CHILD_CHECK(failures, quor_Closedir(d) == 0);
    // A negative code leaves End and OffsetOut alone.
    end = 7;
    next = 9;
    CHILD_CHECK(failures, quor_ReadAttrs(d, 0, size, 0, &end, &next, buf.data()) == -9);
    CHILD_CHECK(failures, end == 7 && next == 9);
    return failures;
  });
  EXPECT_EQ(r.status, 0) << r.stderrText;
  // Each request asked for exactly the 4 entries the buffer holds.
  EXPECT_GE(nsLines(gw, 0x1201), 7);
}

// A gateway that answers more entries than asked cannot write past the
// caller's array: the call returns what fits, and the connection goes on.
TEST(NamespaceDirectories, ReadAttrsNeverOverrunsTheBuffer) {
  GwsimFixture gw(config("Faults = {\n  Overfill = 0x0500 0x1201 * 3\n}\n"));
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  makeFiles(gw, "/many", 10);
  ChildResult r = runInChild([&] {
    int failures = 0;
    CHILD_CHECK(failures, login(gw) == 0);
    int d = quor_Opendir("/many");
    CHILD_CHECK(failures, d >= 0);
    std::vector<ns_DirEntry_t> buf(6);
    memset(buf.data(), 0x5a, buf.size() * sizeof buf[0]);
    uint32_t end = 7;
    uint64_t next = 9;
    int n = quor_ReadAttrs(d, 0, uint32_t(2 * sizeof(ns_DirEntry_t)), 1, &end, &next, buf.data());
    CHILD_EQ(failures, n, 2);
    CHILD_CHECK(failures, end == 0 && next != 9);
    CHILD_CHECK(failures, strcmp(buf[0].Name, ".") == 0 && strcmp(buf[1].Name, "..") == 0);
    const unsigned char* guard = reinterpret_cast<const unsigned char*>(&buf[2]);
    CHILD_CHECK(failures, std::all_of(guard, guard + 4 * sizeof buf[0],
                                      [](unsigned char c) { return c == 0x5a; }));
    // The stream stayed in step: the listing goes on where the gateway said.
    n = quor_ReadAttrs(d, next, uint32_t(6 * sizeof(ns_DirEntry_t)), 1, &end, &next, buf.data());
    CHILD_CHECK(failures, n > 0 && n <= 6);
    CHILD_EQ(failures, quor_Closedir(d), 0);
    return failures;
  });
  EXPECT_EQ(r.status, 0) << r.stderrText;
  EXPECT_EQ(nsLines(gw, 0x1201), 2);
  EXPECT_EQ(countLines(gw.journalLines(), "fn=0x0104"), 1);
}

// ---- links and names ----

TEST(NamespaceNames, LinksRenamesAndRemoval) {
  GwsimFixture gw(config());
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  ChildResult r = runInChild([&] {
    int failures = 0;
    CHILD_CHECK(failures, login(gw) == 0);
    // Contents first, the new link second.
    CHILD_CHECK(failures, quor_Symlink("/data/disk.txt", "/data/s2") == 0);
    CHILD_CHECK(failures, quor_Symlink("/data/disk.txt", "/data/s2") == -17);
    char text[32];
    CHILD_CHECK(failures, quor_Readlink("/data/s2", text, sizeof text) == 14);
    CHILD_CHECK(failures, strcmp(text, "/data/disk.txt") == 0);
    // The terminator needs room: 14 bytes are too few, 15 enough.
    memset(text, 'z', sizeof text);
    CHILD_CHECK(failures, quor_Readlink("/data/s2", text, 14) == -86 && text[0] == 'z');
    CHILD_CHECK(failures, quor_Readlink("/data/s2", text, 15) == 14);
    CHILD_CHECK(failures, quor_Readlink("/data/disk.txt", text, sizeof text) == -22);
    quor_Attrs_t a;
    CHILD_CHECK(failures, quor_GetListAttrs("/data/s2", &a) == 0 && a.Type == 130);
    CHILD_CHECK(failures, a.UID == 1001);

    CHILD_CHECK(failures, quor_Link("/data/disk.txt", "/data/hard") == 0);
    CHILD_CHECK(failures, quor_GetListAttrs("/data/hard", &a) == 0);
    CHILD_CHECK(failures, a.Type == 131 && a.LinkCount == 2 && a.FamilyId == 3);
    CHILD_CHECK(failures, quor_Link("/data", "/data2") == -1);
    CHILD_CHECK(failures, quor_Link("/data/disk.txt", "/data/hard") == -17);

    // Renaming keeps what the database holds; the old name is gone.
    CHILD_CHECK(failures, quor_Rename("/data/disk.txt", "/data/renamed.txt") == 0);
    quor_fileattr_t fa;
    CHILD_CHECK(failures, quor_FileGetAttributes("/data/renamed.txt", &fa) == 0);
    CHILD_CHECK(failures,
                fa.Attrs.FamilyId == 3 && strcmp(fa.Attrs.Comment, "plain disk file") == 0);
    CHILD_CHECK(failures, quor_FileGetAttributes("/data/disk.txt", &fa) == -2);
    // A directory takes the rows below it along.
    CHILD_CHECK(failures, quor_Rename("/data", "/moved") == 0);
    quor_xfileattr_t x;
    CHILD_CHECK(failures, quor_FileGetXAttributes("/moved/tape.bin", 8, 0, &x) == 0);
    CHILD_CHECK(failures, x.SCAttrib[1].BytesAtLevel == 4096 && x.SCAttrib[1].NumberOfVVs == 2);
    CHILD_CHECK(failures, x.Attrs.COSId == 5);
    CHILD_CHECK(failures, quor_Rename("/moved", "/moved/inside") == -22);
    CHILD_CHECK(failures, quor_Rename("/nothing", "/x") == -2);
    CHILD_CHECK(failures, quor_Rename("/moved", "/full") == -17);

    CHILD_CHECK(failures, quor_Unlink("/moved/renamed.txt") == 0);
    CHILD_CHECK(failures, quor_Unlink("/moved/renamed.txt") == -2);
    CHILD_CHECK(failures, quor_Unlink("/moved") == -21);
    // The hard link still holds the data.
    quor_stat_t st;
    CHILD_CHECK(failures,
                quor_Stat("/moved/hard", &st) == 0 && st.st_size == 5 && st.st_nlink == 1);
    // Unlinking a symbolic link leaves its target.
    CHILD_CHECK(failures, quor_Unlink("/moved/s2") == 0);
    CHILD_CHECK(failures, quor_Stat("/moved/tape.bin", &st) == 0);
    return failures;
  });
  EXPECT_EQ(r.status, 0) << r.stderrText;
  // The request carries the link path first.
  EXPECT_EQ(nsLines(gw, 0x130C, "path=/data/s2"), 2);
}

TEST(NamespaceNames, RemovedNamesLeaveNoMetadataBehind) {
  GwsimFixture gw(config());
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  ChildResult r = runInChild([&] {
    int failures = 0;
    CHILD_CHECK(failures, login(gw) == 0);
    quor_fileattr_t in, out;
    memset(&in, 0, sizeof in);
    in.Attrs.FamilyId = 9;
    CHILD_CHECK(failures, quor_Mkdir("/t", 0755) == 0);
    CHILD_CHECK(failures, quor_FileSetAttributes("/t", 1ULL << 52, &in, &out) == 0);
    CHILD_CHECK(failures, quor_Rmdir("/t") == 0);
    CHILD_CHECK(failures, quor_Mkdir("/t", 0755) == 0);
    quor_Attrs_t a;
    CHILD_CHECK(failures, quor_GetListAttrs("/t", &a) == 0 && a.FamilyId == 0);
    return failures;
  });
  EXPECT_EQ(r.status, 0) << r.stderrText;
}

// ---- times, modes and owners ----

TEST(NamespaceModes, UtimeChmodChown) {
  GwsimFixture gw(config());
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  ChildResult r = runInChild([&] {
    int failures = 0;
    CHILD_CHECK(failures, login(gw) == 0);
    struct utimbuf t = {1000000000, 1200000000};
    CHILD_CHECK(failures, quor_Utime("/data/link", &t) == 0);  // follows the link
    quor_stat_t st;
    CHILD_CHECK(failures, quor_Stat("/data/disk.txt", &st) == 0);
    CHILD_CHECK(failures, st.quor_st_atime == 1000000000 && st.quor_st_mtime == 1200000000);
    quor_Attrs_t a;
    CHILD_CHECK(failures, quor_GetListAttrs("/data/disk.txt", &a) == 0);
    CHILD_CHECK(failures, a.TimeLastWritten == 1200000000 && a.TimeLastRead == 1000000000);

    CHILD_CHECK(failures, quor_Chmod("/data/disk.txt", 04751) == 0);
    CHILD_CHECK(failures, quor_Stat("/data/disk.txt", &st) == 0);
    CHILD_CHECK(failures, st.st_mode == (S_IFREG | 04751));
    CHILD_CHECK(failures, quor_GetListAttrs("/data/disk.txt", &a) == 0);
    CHILD_CHECK(failures, a.UserPerms == 0xE0 && a.GroupPerms == 0xA0 && a.OtherPerms == 0x80 &&
                              a.ModePerms == 0x20);

    // The owner cannot give the file away, but may pick a group of its own
    // (root's powers are in permissions_test.cpp).
    CHILD_CHECK(failures, quor_Chown("/data/disk.txt", 1234, gid_t(-1)) == -1);
    CHILD_CHECK(failures, quor_Chown("/data/disk.txt", uid_t(-1), 56) == -1);
    CHILD_CHECK(failures, quor_Chown("/data/disk.txt", uid_t(-1), 55) == 0);
    CHILD_CHECK(failures, quor_Stat("/data/disk.txt", &st) == 0);
    CHILD_CHECK(failures, st.st_uid == 1001 && st.st_gid == 55);

    CHILD_CHECK(failures, quor_Chmod("/nothing", 0644) == -2);
    CHILD_CHECK(failures, quor_Chown("/nothing", 1, 1) == -2);
    CHILD_CHECK(failures, quor_Utime("/nothing", &t) == -2);
    return failures;
  });
  EXPECT_EQ(r.status, 0) << r.stderrText;
}

// ---- fault rules by path ----

TEST(NamespaceFaults, RulesByPathBusyAndOnceOnly) {
  GwsimFixture gw(config(R"(
Faults = {
  Error = 0x0500 0x1309 * -13 /data/secret*
  Busy = 0x0500 0x0C04 * 2 /data/disk.txt
  EioOnce = 0x0500 0x0602 * /data/tape.bin
}
)"));
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  ChildResult r = runInChild([&] {
    int failures = 0;
    CHILD_CHECK(failures, login(gw) == 0);
    quor_stat_t st;
    CHILD_CHECK(failures, quor_Stat("/data/secret.key", &st) == -13);
    CHILD_CHECK(failures, quor_Stat("/data/disk.txt", &st) == 0);
    // The rule matches the resolved path, whatever the client wrote.
    CHILD_CHECK(failures, quor_Chdir("/data") == 0);
    CHILD_CHECK(failures, quor_Stat("secret.2", &st) == -13);
    CHILD_CHECK(failures, quor_Stat("../data/./secret.3", &st) == -13);
    // Busy twice, then through; other paths are neither refused nor counted.
    CHILD_CHECK(failures, quor_Lstat("/data/tape.bin", &st) == 0);
    CHILD_CHECK(failures, quor_Lstat("disk.txt", &st) == -16);
    CHILD_CHECK(failures, quor_Lstat("/data/disk.txt", &st) == -16);
    CHILD_CHECK(failures, quor_Lstat("/data/disk.txt", &st) == 0 && st.st_size == 5);
    // -5 once, then success.
    quor_fileattr_t fa;
    CHILD_CHECK(failures, quor_FileGetAttributes("/data/disk.txt", &fa) == 0);
    CHILD_CHECK(failures, quor_FileGetAttributes("/data/tape.bin", &fa) == -5);
    CHILD_CHECK(failures, quor_FileGetAttributes("/data/tape.bin", &fa) == 0);
    CHILD_CHECK(failures, fa.Attrs.DataLength == 4096);
    return failures;
  });
  EXPECT_EQ(r.status, 0) << r.stderrText;
  EXPECT_EQ(nsLines(gw, 0x1309, "fault=error"), 3);
  EXPECT_EQ(nsLines(gw, 0x0C04, "fault=error"), 2);
  EXPECT_EQ(nsLines(gw, 0x0602, "fault=error"), 1);
}

// A success that lacks the text it promises is no answer: the call fails
// and leaves the caller's buffer alone, and the connection goes on.
TEST(NamespaceFaults, SuccessWithoutItsTextIsRefused) {
  GwsimFixture gw(config(R"(
Faults = {
  Error = 0x0500 0x0707 1 0
  Error = 0x0500 0x1205 1 14
}
)"));
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  ChildResult r = runInChild([&] {
    int failures = 0;
    CHILD_CHECK(failures, login(gw) == 0);
    char buf[64];
    memset(buf, 'z', sizeof buf);
    CHILD_EQ(failures, quor_Getcwd(buf, sizeof buf), -5000);
    CHILD_CHECK(failures, buf[0] == 'z');
    CHILD_EQ(failures, quor_Readlink("/data/link", buf, sizeof buf), -5000);
    CHILD_CHECK(failures, buf[0] == 'z');
    CHILD_EQ(failures, quor_Getcwd(buf, sizeof buf), 0);
    CHILD_CHECK(failures, strcmp(buf, "/") == 0);
    CHILD_EQ(failures, quor_Readlink("/data/link", buf, sizeof buf), 14);
    return failures;
  });
  EXPECT_EQ(r.status, 0) << r.stderrText;
  EXPECT_EQ(countLines(gw.journalLines(), "fn=0x0104"), 1);
}

// A reply cut short after the volume lists were decoded: the call fails
// and frees them (a failure that leaked them would pile up here, call
// after call, each opening the connection again).
TEST(NamespaceAttributes, ExtendedAttributesCutShortLeakNothing) {
  GwsimFixture gw(config(R"(
Files = {
  /ten = {
    Size = 100
    Tape = V1:1:P1 V2:2:P2 V3:3:P3 V4:4:P4 V5:5:P5 V6:6:P6 V7:7:P7 V8:8:P8 V9:9:P9 V10:10:P10
  }
}
Faults = {
  CutBody = 0x0500 0x0603 * 4
}
)"));
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  ChildResult r = runInChild([&] {
    int failures = 0;
    clientEnvNetrc(gw, "alice", "wonderland");
    quor_xfileattr_t x;
    memset(&x, 0, sizeof x);
    // Two rounds first: the stream buffers of a reopened connection settle.
    for (int i = 0; i < 2; i++)
      CHILD_EQ(failures, quor_FileGetXAttributes("/ten", 8, 0, &x), -5000);
    const int rounds = leakCheckRounds();
    size_t before = heapInUse();
    for (int i = 0; i < rounds; i++)
      CHILD_EQ(failures, quor_FileGetXAttributes("/ten", 8, 0, &x), -5000);
    CHILD_CHECK(failures, noLeakSince(before));
    CHILD_CHECK(failures, allZero(&x, sizeof x));
    return failures;
  });
  EXPECT_EQ(r.status, 0) << r.stderrText;
}

// ---- many threads on one connection ----

TEST(NamespaceThreads, EightThreadsStatAndListOnOneConnection) {
  GwsimFixture gw(config());
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  makeFiles(gw, "/many", 30);
  ChildResult r = runInChild([&] {
    int failures = 0;
    CHILD_CHECK(failures, login(gw) == 0);
    std::atomic<int> bad{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; t++)
      threads.emplace_back([&, t] {
        std::vector<ns_DirEntry_t> buf(8);
        for (int i = 0; i < 60; i++) {
          quor_stat_t st;
          char path[32];
          snprintf(path, sizeof path, "/many/f%03d", (t * 7 + i) % 30);
          if (quor_Stat(path, &st) != 0 || st.st_size != uint64_t((t * 7 + i) % 30)) bad++;
          if (i % 10 != 0) continue;
          int d = quor_Opendir("/many");
          if (d < 0) {
            bad++;
            continue;
          }
          uint64_t off = 0, next = 0;
          uint32_t end = 0;
          size_t seen = 0;
          while (!end) {
            int n = quor_ReadAttrs(d, off, uint32_t(buf.size() * sizeof buf[0]), 1, &end, &next,
                                   buf.data());
            if (n < 0) {
              bad++;
              break;
            }
            seen += size_t(n);
            off = next;
          }
          if (seen != 32) bad++;
          if (quor_Closedir(d) != 0) bad++;
        }
      });
    for (std::thread& th : threads) th.join();
    CHILD_CHECK(failures, bad.load() == 0);
    CHILD_CHECK(failures, qelapi_connection_count == 1);
    return failures;
  });
  EXPECT_EQ(r.status, 0) << r.stderrText;
  EXPECT_EQ(nsLines(gw, 0x1309), 8 * 60);
  EXPECT_EQ(countLines(gw.journalLines(), " open"), 1);
}

// ---- API configuration ----

TEST(ApiConfiguration, GetAndSetKeepTheClientsHostName) {
  GwsimFixture gw(config());
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  ChildResult r = runInChild([&] {
    int failures = 0;
    CHILD_CHECK(failures, login(gw) == 0);
    api_config_t cfg;
    // The gateway says "gwsim"; the record names this client.
    CHILD_CHECK(failures, quor_GetConfiguration(&cfg) == 0);
    CHILD_CHECK(failures, strcmp(cfg.HostName, "localhost") == 0);
    // A 64-character name: the record keeps 63 and the terminator.
    std::string host(64, 'h');
    snprintf(qelapi_API_Hostname, sizeof qelapi_API_Hostname, "%s", host.c_str());
    memset(&cfg, 0x5a, sizeof cfg);
    CHILD_CHECK(failures, quor_GetConfiguration(&cfg) == 0);
    CHILD_CHECK(failures, cfg.HostName[63] == '\0' && strlen(cfg.HostName) == 63);
    CHILD_CHECK(failures, strncmp(cfg.HostName, host.c_str(), 63) == 0);
    CHILD_CHECK(failures, cfg.NumRetries == 3 && strcmp(cfg.DescName, "gwsim") == 0);
    cfg.ReuseDataConnections = 1;
    cfg.NumRetries = -1;
    snprintf(cfg.Application, sizeof cfg.Application, "%s", "secret-app");
    CHILD_CHECK(failures, quor_SetConfiguration(&cfg) == 0);
    api_config_t back;
    CHILD_CHECK(failures, quor_GetConfiguration(&back) == 0);
    CHILD_CHECK(failures, back.ReuseDataConnections == 1 && back.NumRetries == -1);
    CHILD_CHECK(failures, back.Application[0] == '\0');
    // Refused before sending.
    CHILD_CHECK(failures, quor_GetConfiguration(nullptr) == -14);
    CHILD_CHECK(failures, quor_SetConfiguration(nullptr) == -14);
    memset(cfg.HostName, 'x', sizeof cfg.HostName);  // no terminator
    CHILD_CHECK(failures, quor_SetConfiguration(&cfg) == -86);
    char saved = qelapi_API_Hostname[0];
    qelapi_API_Hostname[0] = '\0';
    CHILD_CHECK(failures, quor_GetConfiguration(&back) == -5000);
    qelapi_API_Hostname[0] = saved;
    return failures;
  });
  EXPECT_EQ(r.status, 0) << r.stderrText;
  EXPECT_EQ(nsLines(gw, 0x0706), 3);
  EXPECT_EQ(nsLines(gw, 0x1304), 1);
  // The application name never reaches the gateway.
  EXPECT_EQ(nsLines(gw, 0x1304, "reuse=1 retries=-1"), 1);
  EXPECT_EQ(nsLines(gw, 0x1304, "secret-app"), 0);
}
