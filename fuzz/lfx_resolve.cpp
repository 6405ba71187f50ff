// Paths of lfx requests as gwsim resolves them on its served tree. The
// first byte says whether a final link is followed; the rest is the path a
// client sends. Whatever the path and whatever links the tree holds, a
// resolved path lies below the tree: no empty, "." or ".." component, and
// every directory on the way a real directory, never a link.
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "fuzz_support.h"
#include "gwsim.h"
#include "lfx.h"

namespace {

gw_config_t* config() {
  static gw_config_t* cfg = [] {
    gw_config_t* c = new gw_config_t();
    std::string root = fuzz_workdir() + "/lfx";
    mkdir(root.c_str(), 0755);
    mkdir((root + "/a").c_str(), 0755);
    mkdir((root + "/a/b").c_str(), 0755);
    mkdir((root + "/home").c_str(), 0755);
    // Links that try every way out, and some that go round in circles.
    fuzz_link("../../..", root + "/a/up");
    fuzz_link("/../../etc", root + "/a/abs");
    fuzz_link("loop", root + "/a/loop");
    fuzz_link(".", root + "/a/b/self");
    fuzz_link("../b/self/../../up", root + "/a/b/back");
    fuzz_link("missing/x", root + "/a/dangling");
    c->data.lfxRoot = root;
    return c;
  }();
  return cfg;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1 || size > 8192) return 0;
  static gw_user_t user;
  static gw_conn_t conn;
  if (!conn.cfg) {
    user.name = "fuzz";
    user.uid = geteuid();
    user.gid = getegid();
    user.home = "/home";
    conn.cfg = config();
    conn.user = &user;
    conn.loggedIn = 1;
  }
  std::string path(reinterpret_cast<const char*>(data) + 1, size - 1);
  path = path.c_str();  // a request's path ends at its first NUL
  std::vector<std::string> comps;
  if (gw_LfxResolve(&conn, path.c_str(), data[0] & 1, &comps) != 0) return 0;
  std::vector<std::string> way;
  for (size_t i = 0; i < comps.size(); i++) {
    const std::string& c = comps[i];
    FUZZ_CHECK(!c.empty() && c != "." && c != ".." && c.find('/') == std::string::npos);
    if (i + 1 < comps.size()) {
      way.push_back(c);
      struct stat st;
      FUZZ_CHECK(lstat(gw_LfxHostPath(&conn, way).c_str(), &st) == 0 && S_ISDIR(st.st_mode));
    }
  }
  FUZZ_CHECK(gw_LfxHostPath(&conn, comps).compare(0, conn.cfg->data.lfxRoot.size(),
                                                  conn.cfg->data.lfxRoot) == 0);
  return 0;
}
