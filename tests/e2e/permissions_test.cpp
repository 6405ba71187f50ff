// Permission checks of gwsim's namespace, one table: every call as alice
// (an owner), bob (another user, group 200), root (uid 0) and dave (a user
// the configuration gives no uid, who is nobody and not root), on a tree
// with private, group, search-only, read-only and sticky directories. Each
// user's rows run in order in one client process; a row that succeeds uses
// names of its own, so the rows do not depend on each other.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <string.h>
#include <utime.h>

#include <functional>
#include <string>
#include <vector>

#include "client_env.h"
#include "client_process.h"
#include "gwsim_config.h"
#include "gwsim_fixture.h"
#include "quor_api.h"

namespace {

const std::string kConfig = [] {
  GwsimConfig c;
  c.user("root", "r00t").set("Uid", 0).set("Gid", 0);
  c.user("alice", "wonderland").set("Uid", 1001).set("Gid", 100);
  c.user("bob", "builder").set("Uid", 1002).set("Gid", 200);
  c.user("dave", "nouid");
  c.dir("/").set("Uid", 0).set("Mode", "0755");
  c.dir("/root").set("Uid", 0).set("Mode", "0755");
  c.file("/root/file").set("Data", "r").set("Uid", 0).set("Mode", "0644");
  c.dir("/alice").set("Uid", 1001).set("Gid", 100).set("Mode", "0755");
  c.file("/alice/file").set("Data", "a").set("Uid", 1001).set("Gid", 100).set("Mode", "0644");
  c.file("/alice/mine").set("Data", "m").set("Uid", 1001).set("Gid", 100).set("Mode", "0600");
  c.file("/alice/victim").set("Uid", 1001);
  c.file("/alice/victim2").set("Uid", 1001);
  c.file("/alice/ren").set("Uid", 1001);
  c.dir("/alice/empty").set("Uid", 1001).set("Mode", "0755");
  c.dir("/alice/private").set("Uid", 1001).set("Gid", 100).set("Mode", "0700");
  c.file("/alice/private/secret").set("Data", "s").set("Uid", 1001).set("Mode", "0644");
  c.file("/alice/private/link").set("Type", "symlink").set("Target", "/alice/file");
  c.dir("/alice/searchonly").set("Uid", 1001).set("Mode", "0711");
  c.file("/alice/searchonly/f").set("Uid", 1001).set("Mode", "0644");
  c.dir("/alice/readonly").set("Uid", 1001).set("Mode", "0744");
  c.file("/alice/readonly/f").set("Uid", 1001).set("Mode", "0644");
  c.dir("/shared").set("Uid", 0).set("Gid", 200).set("Mode", "0770");
  c.file("/shared/f").set("Uid", 0).set("Gid", 200).set("Mode", "0664");
  c.dir("/tmp").set("Uid", 0).set("Mode", "01777");
  c.file("/tmp/alices").set("Uid", 1001).set("Mode", "0644");
  c.file("/tmp/alices2").set("Uid", 1001).set("Mode", "0644");
  c.file("/tmp/alices3").set("Uid", 1001).set("Mode", "0644");
  c.file("/tmp/bobs").set("Uid", 1002).set("Mode", "0644");
  c.file("/tmp/bobs2").set("Uid", 1002).set("Mode", "0644");
  c.file("/tmp/bobs3").set("Uid", 1002).set("Mode", "0644");
  c.dir("/tmp/alicedir").set("Uid", 1001).set("Mode", "0555");
  c.dir("/tmp/alicedir2").set("Uid", 1001).set("Mode", "0555");
  return c.text();
}();

struct Row {
  const char* user;
  const char* what;
  std::function<int()> call;
  int want;
};

const quor_fileattrbits_t kSelComment = 1ULL << 58;
const quor_fileattrbits_t kSelUid = 1ULL << 29;

int openClose(const char* path, int flags) {
  int fd = quor_Open(path, flags, 0644, nullptr, nullptr, nullptr);
  if (fd >= 0) quor_Close(fd);
  return fd < 0 ? fd : 0;
}

int setComment(const char* path) {
  quor_fileattr_t in, out;
  memset(&in, 0, sizeof in);
  snprintf(in.Attrs.Comment, sizeof in.Attrs.Comment, "note");
  return quor_FileSetAttributes(path, kSelComment, &in, &out);
}

int giveTo(const char* path, uint32_t uid) {
  quor_fileattr_t in, out;
  memset(&in, 0, sizeof in);
  in.Attrs.UID = uid;
  return quor_FileSetAttributes(path, kSelUid, &in, &out);
}

int stat0(const char* path) {
  quor_stat_t st;
  return quor_Stat(path, &st);
}

int touch(const char* path) {
  struct utimbuf t = {1000, 2000};
  return quor_Utime(path, &t);
}

// Opendir, then ReadAttrs with or without attributes.
int listDir(const char* path, uint32_t attrs) {
  int d = quor_Opendir(path);
  if (d < 0) return d;
  ns_DirEntry_t ents[4];
  uint32_t end = 0;
  uint64_t off = 0;
  int rc = quor_ReadAttrs(d, 0, sizeof ents, attrs, &end, &off, ents);
  quor_Closedir(d);
  return rc < 0 ? rc : 0;
}

int stageCallBack(const char* path) {
  quor_reqid_t id;
  bfs_bitfile_obj_handle_t bf;
  return quor_StageCallBack(path, 0, 0, 0, nullptr, 0, &id, &bf);
}

int readlink0(const char* path) {
  char buf[64];
  int rc = quor_Readlink(path, buf, sizeof buf);
  return rc < 0 ? rc : 0;
}

int chdirBack(const char* path) {
  int rc = quor_Chdir(path);
  if (rc == 0) quor_Chdir("/");
  return rc;
}

const char* password(const std::string& user) {
  if (user == "root") return "r00t";
  if (user == "alice") return "wonderland";
  if (user == "bob") return "builder";
  return "nouid";
}

// The table. -13: no read, write or search permission; -1: not the owner
// (or root), or the sticky directory's rule.
std::vector<Row> rows() {
  return {
      // ---- search on every component, read to list ----
      {"bob", "Stat through a private directory", [] { return stat0("/alice/private/secret"); }, -13},
      {"alice", "Stat through her private directory", [] { return stat0("/alice/private/secret"); }, 0},
      {"root", "Stat through alice's private directory", [] { return stat0("/alice/private/secret"); }, 0},
      {"bob", "Readlink in a private directory", [] { return readlink0("/alice/private/link"); }, -13},
      {"bob", "Chdir into a private directory", [] { return chdirBack("/alice/private"); }, -13},
      {"alice", "Chdir into her private directory", [] { return chdirBack("/alice/private"); }, 0},
      {"bob", "Open through a private directory",
       [] { return openClose("/alice/private/secret", O_RDONLY); }, -13},
      {"bob", "Opendir of a private directory", [] { return listDir("/alice/private", 0); }, -13},
      {"alice", "Opendir of her private directory", [] { return listDir("/alice/private", 1); }, 0},
      {"root", "Opendir of alice's private directory", [] { return listDir("/alice/private", 1); }, 0},
      {"bob", "Opendir without read permission", [] { return listDir("/alice/searchonly", 0); }, -13},
      {"bob", "Stat with search permission only", [] { return stat0("/alice/searchonly/f"); }, 0},
      {"bob", "ReadAttrs names without search permission",
       [] { return listDir("/alice/readonly", 0); }, 0},
      {"bob", "ReadAttrs attributes without search permission",
       [] { return listDir("/alice/readonly", 1); }, -13},
      {"bob", "Stat without search permission", [] { return stat0("/alice/readonly/f"); }, -13},
      {"alice", "Stat in another group's directory", [] { return stat0("/shared/f"); }, -13},
      {"bob", "Stat in his group's directory", [] { return stat0("/shared/f"); }, 0},
      // ---- opening files ----
      {"bob", "Open another's file for reading", [] { return openClose("/alice/file", O_RDONLY); }, 0},
      {"bob", "Open another's file for writing", [] { return openClose("/alice/file", O_WRONLY); }, -13},
      {"bob", "Open another's 0600 file for reading", [] { return openClose("/alice/mine", O_RDONLY); }, -13},
      {"alice", "Open her own file for writing", [] { return openClose("/alice/file", O_WRONLY); }, 0},
      {"root", "Open a 0600 file for both", [] { return openClose("/alice/mine", O_RDWR); }, 0},
      {"bob", "Open his group's file for writing", [] { return openClose("/shared/f", O_WRONLY); }, 0},
      {"bob", "StageCallBack of an unreadable file", [] { return stageCallBack("/alice/mine"); }, -13},
      {"alice", "StageCallBack of her file", [] { return stageCallBack("/alice/mine"); }, 0},
      // ---- write and search on the directory to make or remove names ----
      {"bob", "Mkdir in another's directory", [] { return quor_Mkdir("/alice/b", 0755); }, -13},
      {"alice", "Mkdir in her directory", [] { return quor_Mkdir("/alice/a", 0755); }, 0},
      {"root", "Mkdir in alice's directory", [] { return quor_Mkdir("/alice/r", 0755); }, 0},
      {"bob", "Mkdir in his group's directory", [] { return quor_Mkdir("/shared/b", 0755); }, 0},
      {"alice", "Mkdir in another group's directory", [] { return quor_Mkdir("/shared/a", 0755); }, -13},
      {"bob", "Create in another's directory",
       [] { return quor_Create("/alice/bc", 0644, nullptr, nullptr, nullptr); }, -13},
      {"bob", "Open-create in another's directory",
       [] { return openClose("/alice/bo", O_CREAT | O_WRONLY); }, -13},
      {"alice", "Create in her directory",
       [] { return quor_Create("/alice/ac", 0644, nullptr, nullptr, nullptr); }, 0},
      {"bob", "Rmdir in another's directory", [] { return quor_Rmdir("/alice/empty"); }, -13},
      {"bob", "Unlink in another's directory", [] { return quor_Unlink("/alice/file"); }, -13},
      {"alice", "Unlink in her directory", [] { return quor_Unlink("/alice/victim"); }, 0},
      {"root", "Unlink in alice's directory", [] { return quor_Unlink("/alice/victim2"); }, 0},
      {"alice", "Rmdir in her directory", [] { return quor_Rmdir("/alice/empty"); }, 0},
      {"bob", "Symlink in another's directory", [] { return quor_Symlink("/x", "/alice/bs"); }, -13},
      {"alice", "Symlink in her directory", [] { return quor_Symlink("/x", "/alice/as"); }, 0},
      {"bob", "Link into another's directory", [] { return quor_Link("/alice/file", "/alice/bh"); }, -13},
      {"bob", "Link another's file into a writable directory",
       [] { return quor_Link("/alice/file", "/tmp/bh"); }, 0},
      {"bob", "Link out of a private directory",
       [] { return quor_Link("/alice/private/secret", "/tmp/bh2"); }, -13},
      {"bob", "Rename out of another's directory", [] { return quor_Rename("/alice/file", "/tmp/x"); }, -13},
      {"bob", "Rename into another's directory", [] { return quor_Rename("/tmp/bobs", "/alice/x"); }, -13},
      {"alice", "Rename in her directory", [] { return quor_Rename("/alice/ren", "/alice/ren2"); }, 0},
      {"alice", "Rename her read-only directory to another directory",
       [] { return quor_Rename("/tmp/alicedir", "/alice/moved"); }, -13},
      {"root", "Rename a read-only directory to another directory",
       [] { return quor_Rename("/tmp/alicedir2", "/alice/moved2"); }, 0},
      {"dave", "Mkdir in root's directory", [] { return quor_Mkdir("/root/d", 0755); }, -13},
      // ---- the sticky directory ----
      {"bob", "Unlink another's file in a sticky directory", [] { return quor_Unlink("/tmp/alices"); }, -1},
      {"bob", "Rename another's file in a sticky directory",
       [] { return quor_Rename("/tmp/alices", "/tmp/mine"); }, -1},
      {"bob", "Rename over another's file in a sticky directory",
       [] { return quor_Rename("/tmp/bobs3", "/tmp/alices3"); }, -1},
      {"bob", "Unlink his own file in a sticky directory", [] { return quor_Unlink("/tmp/bobs"); }, 0},
      {"alice", "Unlink her own file in a sticky directory", [] { return quor_Unlink("/tmp/alices2"); }, 0},
      {"root", "Unlink another's file in a sticky directory", [] { return quor_Unlink("/tmp/bobs2"); }, 0},
      // ---- owner or root for modes, owners, times and attributes ----
      {"bob", "Chmod of another's file", [] { return quor_Chmod("/alice/file", 0666); }, -1},
      {"alice", "Chmod of her file", [] { return quor_Chmod("/alice/file", 0640); }, 0},
      {"root", "Chmod of alice's file", [] { return quor_Chmod("/alice/mine", 0640); }, 0},
      {"bob", "Chown of another's file", [] { return quor_Chown("/alice/file", uid_t(-1), 200); }, -1},
      {"alice", "Chown giving her file away", [] { return quor_Chown("/alice/file", 1002, gid_t(-1)); }, -1},
      {"alice", "Chown to a group not hers", [] { return quor_Chown("/alice/file", uid_t(-1), 200); }, -1},
      {"alice", "Chown to her own group", [] { return quor_Chown("/alice/file", uid_t(-1), 100); }, 0},
      {"root", "Chown of alice's file to bob", [] { return quor_Chown("/alice/ac", 1002, 200); }, 0},
      {"dave", "Chown of root's file", [] { return quor_Chown("/root/file", 65534, gid_t(-1)); }, -1},
      {"bob", "Utime of another's file", [] { return touch("/alice/file"); }, -1},
      {"alice", "Utime of her file", [] { return touch("/alice/file"); }, 0},
      {"root", "Utime of alice's file", [] { return touch("/alice/file"); }, 0},
      {"bob", "FileSetAttributes of another's file", [] { return setComment("/alice/file"); }, -1},
      {"alice", "FileSetAttributes of her file", [] { return setComment("/alice/file"); }, 0},
      {"root", "FileSetAttributes of alice's file", [] { return setComment("/alice/file"); }, 0},
      {"alice", "FileSetAttributes giving her file away", [] { return giveTo("/alice/file", 1002); }, -1},
      {"root", "FileSetAttributes giving alice's file to bob", [] { return giveTo("/alice/mine", 1002); }, 0},
      {"bob", "FileSetCOS of another's file", [] { return quor_FileSetCOS("/alice/file", 1, 0); }, -1},
      {"bob", "Expiration of another's file", [] { return ozugw_UdaSetExpiration("/alice/file", 9); }, -1},
      {"alice", "Expiration of her file", [] { return ozugw_UdaSetExpiration("/alice/file", 9); }, 0},
      {"bob", "CopyACL onto another's file", [] { return quorex_CopyACL(0, "/tmp/bobs3", "/alice/file"); }, -1},
  };
}

int runRows(const GwsimFixture& gw, const std::string& user) {
  int failures = 0;
  if (clientLogin(gw, user.c_str(), password(user)) != 0) {
    fprintf(stderr, "%s cannot log in\n", user.c_str());
    return 1;
  }
  for (const Row& r : rows()) {
    if (user != r.user) continue;
    int rc = r.call();
    if (rc != r.want) {
      fprintf(stderr, "%s: %s: got %d, want %d\n", r.user, r.what, rc, r.want);
      failures++;
    }
  }
  return failures;
}

}  // namespace

TEST(Permissions, EachCallAsOwnerOtherUserRootAndUserWithoutUid) {
  GwsimFixture gw(kConfig);
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  // bob first: his refusals are checked against the tree as configured.
  for (const char* user : {"bob", "dave", "alice", "root"}) {
    ChildResult r = runInChild([&] { return runRows(gw, user); });
    EXPECT_EQ(r.status, 0) << user << "\n" << r.stderrText;
  }
}

// What the users made belongs to them: a user without a uid makes nobody's
// files, never root's.
TEST(Permissions, NewObjectsBelongToTheirMaker) {
  GwsimFixture gw(kConfig);
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  ChildResult r = runInChild([&] {
    int failures = 0;
    CHILD_CHECK(failures, clientLogin(gw, "dave", "nouid") == 0);
    CHILD_EQ(failures, quor_Create("/tmp/daves", 0644, nullptr, nullptr, nullptr), 0);
    quor_stat_t st;
    CHILD_CHECK(failures, quor_Stat("/tmp/daves", &st) == 0);
    CHILD_EQ(failures, st.st_uid, 65534);
    CHILD_EQ(failures, st.st_gid, 65534);
    // Nobody's own file is still nobody's to change.
    CHILD_EQ(failures, quor_Chmod("/tmp/daves", 0600), 0);
    CHILD_EQ(failures, quor_Chown("/tmp/daves", 0, gid_t(-1)), -1);
    return failures;
  });
  EXPECT_EQ(r.status, 0) << r.stderrText;
}
