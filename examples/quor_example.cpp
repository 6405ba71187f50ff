// A first program with the client library, in C++: it logs in to the
// gateway, makes a directory, lists it and prints its attributes.
//
//   QUOR_SERVER_HOST=HOST[/PORT] quor_example_cxx DIRECTORY [USER]
//
// The library starts on the first call: it connects to the gateway that
// QUOR_SERVER_HOST names and logs in. USER, when given, is stored as the
// log-in name (quor_SetCombo); the password then comes from ~/.netrc (with
// QUOR_USE_NETRC_FILE set) or from a prompt on the terminal. README.md,
// "Using the library", lists the other ways to log in.
//
// The library's interface is C: calls return 0 (or a count or descriptor)
// on success and a negative code on failure, a negated errno value or one
// of the service's own codes. They throw nothing.
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

#include "quor_api.h"

namespace {

// A directory descriptor of the gateway, closed when it goes out of scope.
class Directory {
 public:
  explicit Directory(const std::string& path) : des_(quor_Opendir(path.c_str())) {}
  ~Directory() {
    if (des_ >= 0) quor_Closedir(des_);
  }
  Directory(const Directory&) = delete;
  Directory& operator=(const Directory&) = delete;
  int descriptor() const { return des_; }

  // The names in the directory, sorted; false when a read fails.
  bool names(std::vector<std::string>& out, int& rc) const {
    quor_dirent_t entry;
    // An empty name marks the end of the directory.
    while ((rc = quor_Readdir(des_, &entry)) == 0 && entry.d_name[0] != '\0')
      out.emplace_back(entry.d_name);
    std::sort(out.begin(), out.end());
    return rc >= 0;
  }

 private:
  int des_;
};

int fail(const std::string& what, int rc) {
  std::cerr << what << ": " << rc << '\n';
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2 || argc > 3) {
    std::cerr << "usage: " << argv[0] << " DIRECTORY [USER]\n";
    return 2;
  }
  const std::string dir = argv[1];
  if (argc == 3 && quor_SetCombo(argv[2], nullptr) < 0) return fail("quor_SetCombo", -ENOMEM);

  // The first call connects and logs in.
  std::string cwd(1025, '\0');
  int rc = quor_Getcwd(cwd.data(), cwd.size());
  if (rc < 0) return fail("log-in failed", rc);
  cwd.resize(cwd.find('\0'));
  std::cout << "logged in; working directory " << cwd << '\n';

  rc = quor_Mkdir(dir.c_str(), 0755);
  if (rc == -EEXIST)
    std::cout << dir << " is there already\n";
  else if (rc < 0)
    return fail("quor_Mkdir " + dir, rc);
  else
    std::cout << "made " << dir << '\n';

  {
    Directory d(dir);
    if (d.descriptor() < 0) return fail("quor_Opendir " + dir, d.descriptor());
    std::vector<std::string> names;
    if (!d.names(names, rc)) return fail("quor_Readdir " + dir, rc);
    std::cout << dir << " holds:\n";
    for (const std::string& name : names) std::cout << "  " << name << '\n';
  }

  quor_stat_t st;
  rc = quor_Stat(dir.c_str(), &st);
  if (rc < 0) return fail("quor_Stat " + dir, rc);
  std::cout << dir << ": " << (S_ISDIR(st.st_mode) ? "directory" : "not a directory") << ", mode "
            << std::oct << (st.st_mode & 07777) << std::dec << ", owner " << st.st_uid
            << ", group " << st.st_gid << ", " << st.st_nlink << " links\n";

  quorex_CloseAllConnections();
  return 0;
}
