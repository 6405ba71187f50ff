// Path templates of configured file names: %H home directory, %U login
// name, %N short host name, %P process id.
#include <pwd.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>

#include "brix.h"

char* brix_ExpandTemplatePath(const char* templ, const char* homeDir, const char* login) {
  static const char* fn = "brix_ExpandTemplatePath";
  if (!templ) return nullptr;
  struct passwd pw;
  struct passwd* found = nullptr;
  char pwbuf[4096];
  if (getpwuid_r(geteuid(), &pw, pwbuf, sizeof pwbuf, &found) != 0 || !found) {
    brix_Log(BRIX_MSG_ERROR, "%s %s: - getpwuid failed", brix_msg_prefix[0], fn);
    return nullptr;
  }
  const size_t room = 4096;
  char* out = static_cast<char*>(malloc(room + 1));
  if (!out) {
    brix_Log(BRIX_MSG_ERROR, "%s %s: - malloc failure\n", brix_msg_prefix[0], fn);
    return nullptr;
  }
  std::string host;
  bool haveHost = false;
  size_t n = 0;
  auto put = [&](const char* s, size_t len) {
    size_t take = len < room - n ? len : room - n;
    memcpy(out + n, s, take);
    n += take;
  };
  for (const char* p = templ; *p && n < room; p++) {
    if (*p == '%' && p[1]) {
      char c = p[1];
      if (c == 'H') {
        const char* h = homeDir ? homeDir : pw.pw_dir;
        put(h, strlen(h));
        p++;
        continue;
      }
      if (c == 'U') {
        const char* u = login ? login : pw.pw_name;
        put(u, strlen(u));
        p++;
        continue;
      }
      if (c == 'N') {
        if (!haveHost) {
          char hn[256];
          if (gethostname(hn, sizeof hn) == 0) {
            hn[sizeof hn - 1] = '\0';
            char* dot = strchr(hn, '.');
            if (dot) *dot = '\0';
            host = hn;
          } else {
            host = "unknown_host";
          }
          haveHost = true;
        }
        put(host.data(), host.size());
        p++;
        continue;
      }
      if (c == 'P') {
        std::string pid = std::to_string(getpid());
        put(pid.data(), pid.size());
        p++;
        continue;
      }
    }
    put(p, 1);
  }
  out[n] = '\0';
  if (brix_debug_level > 0) fprintf(stderr, "%s: returning keytab filename `%s'\n", fn, out);
  return out;
}
