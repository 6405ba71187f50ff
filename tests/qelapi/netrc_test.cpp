// The .netrc reader: entry selection by label, gateway name, local domain
// and resolver; the word syntax; the refusal of files others may read;
// macdef storage and its limits; the process-wide label and the home
// directory behind quorex_ReadNetrc.
#include <gtest/gtest.h>
#include <netdb.h>
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "client_env.h"
#include "client_process.h"
#include "quor_api.h"
#include "quor_netrc.h"

namespace {

struct TempDir {
  std::string path;
  TempDir() {
    const char* tmp = getenv("TMPDIR");
    std::string templ = std::string(tmp && *tmp ? tmp : "/tmp") + "/netrc-XXXXXX";
    if (mkdtemp(templ.data())) path = templ;
  }
  ~TempDir() {
    std::error_code ec;
    if (!path.empty()) std::filesystem::remove_all(path, ec);
  }
};

void writeFile(const std::string& path, const std::string& text, mode_t mode) {
  std::ofstream(path, std::ios::trunc) << text;
  chmod(path.c_str(), mode);
}

// Standard error of fn, taken from descriptor 2.
std::string stderrOf(const std::function<void()>& fn) {
  fflush(stderr);
  int saved = dup(STDERR_FILENO);
  FILE* tmp = tmpfile();
  dup2(fileno(tmp), STDERR_FILENO);
  fn();
  fflush(stderr);
  dup2(saved, STDERR_FILENO);
  close(saved);
  std::string out;
  rewind(tmp);
  char buf[512];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, tmp)) > 0) out.append(buf, n);
  fclose(tmp);
  return out;
}

// A resolver that knows one alias.
int fakeCanon(const char* host, char* canon, size_t len) {
  if (strcasecmp(host, "alias") != 0) return -1;
  snprintf(canon, len, "GW1.EXAMPLE.ORG");
  return 0;
}

struct Outcome {
  int rc;
  std::string name, pass, acct;  // "-" for none
  std::string err;
};

std::string take(char*& s) {
  std::string v = s ? s : "-";
  free(s);
  s = nullptr;
  return v;
}

struct Query {
  const char* label = "gw1";
  int type = QUOR_NETRC_LABEL_HOST;
  const char* gateway = "10.0.0.1";
  const char* domain = "";
  quor_netrc_canon_fn canon = nullptr;
  const char* presetName = nullptr;
  const char* presetPass = nullptr;
};

Outcome scanText(const std::string& text, const Query& q = Query(), mode_t mode = 0600) {
  TempDir dir;
  std::string path = dir.path + "/.netrc";
  writeFile(path, text, mode);
  quor_netrc_query_t nq = {q.label, q.type, q.gateway, q.domain, q.canon};
  char* name = q.presetName ? strdup(q.presetName) : nullptr;
  char* pass = q.presetPass ? strdup(q.presetPass) : nullptr;
  char* acct = nullptr;
  Outcome o;
  o.err = stderrOf([&] { o.rc = quor_netrc_scan(path.c_str(), &nq, &name, &pass, &acct); });
  o.name = take(name);
  o.pass = take(pass);
  o.acct = take(acct);
  return o;
}

}  // namespace

TEST(NetrcScan, SelectsTheEntryForTheGateway) {
  struct Case {
    const char* what;
    const char* file;
    Query q;
    const char* name;
    const char* pass;
  };
  auto q = [](const char* label, int type, const char* gateway, const char* domain) {
    Query r;
    r.label = label;
    r.type = type;
    r.gateway = gateway;
    r.domain = domain;
    return r;
  };
  const int H = QUOR_NETRC_LABEL_HOST, S = QUOR_NETRC_LABEL_SITE;
  const char* twoEntries = "machine other login x password px\nmachine gw1 login alice password pa\n";
  Query alias = q("gw1.example.org", H, "10.0.0.1", "");
  alias.canon = fakeCanon;
  Query aliasSite = alias;
  aliasSite.type = S;
  Query bob = Query();
  bob.presetName = "bob";
  Query alice = Query();
  alice.presetName = "alice";
  Query keepPass = Query();
  keepPass.presetPass = "mine";
  const Case cases[] = {
      {"label, any case", "machine GW1 login alice password pa", Query(), "alice", "pa"},
      {"second entry", twoEntries, Query(), "alice", "pa"},
      {"no entry for it", twoEntries, q("gw9", H, "10.0.0.9", ""), "-", "-"},
      {"gateway's full name", "machine gw1.example.org login a password p",
       q("site", S, "GW1.Example.Org", ""), "a", "p"},
      {"gateway's name in the local domain", "machine gw1 login a password p",
       q("site", S, "gw1.example.org", ".example.org"), "a", "p"},
      {"gateway's name in another domain", "machine gw1 login a password p",
       q("site", S, "gw1.example.org", ".other.org"), "-", "-"},
      {"host label in the local domain", "machine gw1 login a password p",
       q("gw1.example.org", H, "10.0.0.1", ".example.org"), "a", "p"},
      {"site label is never shortened", "machine gw1 login a password p",
       q("gw1.example.org", S, "10.0.0.1", ".example.org"), "-", "-"},
      {"alias of a host label", "machine alias login a password p", alias, "a", "p"},
      {"alias of a site label", "machine alias login a password p", aliasSite, "-", "-"},
      {"preset login passes over another",
       "machine gw1 login alice password pa\nmachine gw1 login bob password pb\n", bob, "bob",
       "pb"},
      {"preset login that matches",
       "machine gw1 login alice password pa\nmachine gw1 login bob password pb\n", alice, "alice",
       "pa"},
      {"password of a passed-over entry is not kept",
       "machine gw1 password pa login alice\nmachine gw1 login bob password pb\n", bob, "bob",
       "pb"},
      {"preset password kept", "machine gw1 login a password p", keepPass, "a", "mine"},
      {"first applying entry ends the scan",
       "machine gw1 login a password p\nmachine gw1 login b password q\n", Query(), "a", "p"},
      {"entry ends at the next machine", "machine gw1 login alice machine gw2 password p2",
       Query(), "alice", "-"},
      {"words before an applying entry are passed over",
       "machine gw1 login alice machine gw2 password p2", q("gw2", H, "10.0.0.2", ""), "-", "p2"},
      {"default after named entries",
       "machine gw2 login x password px\ndefault login anon\n", Query(), "anon", "-"},
      {"named entry before default", "machine gw1 login x password px\ndefault login anon\n",
       Query(), "x", "px"},
      {"after a default, any machine applies",
       "default login alice password pa\nmachine elsewhere login bob password pb\n", bob, "bob",
       "pb"},
      {"machine without a name", "machine login gw1 password p", Query(), "-", "-"},
      {"passwd", "machine gw1 passwd p", Query(), "-", "p"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Outcome o = scanText(c.file, c.q);
    EXPECT_EQ(o.rc, 0);
    EXPECT_EQ(o.name, c.name);
    EXPECT_EQ(o.pass, c.pass);
    EXPECT_EQ(o.err, "");
  }
}

TEST(NetrcScan, ReadsWords) {
  const std::string long150(150, 'w');
  struct Case {
    std::string file;
    const char* name;
    std::string pass;
  };
  const Case cases[] = {
      {"machine gw1 login alice password \"a b,\tc\"", "alice", "a b,\tc"},
      {"machine gw1 password a\\ b\\,c", "-", "a b,c"},
      {"machine gw1 password \"q\\\"x\"", "-", "q\"x"},
      {"machine,gw1,login,alice,password,pw", "alice", "pw"},
      {"\tmachine\ngw1\n\nlogin  alice\tpassword pw\n", "alice", "pw"},
      {"\"machine\" gw1 \"login\" alice", "alice", "-"},
      {"machine gw1 password \"open to the end", "-", "open to the end"},
      {"machine gw1 password " + long150 + " login alice", "alice", long150.substr(0, 99)},
      {"machine gw1 password \"" + long150 + "\" login alice", "alice", long150.substr(0, 99)},
      {"machine gw1 login alice password trailing\\", "alice", "trailing"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    Outcome o = scanText(c.file);
    EXPECT_EQ(o.rc, 0);
    EXPECT_EQ(o.name, c.name);
    EXPECT_EQ(o.pass, c.pass);
  }
}

TEST(NetrcScan, AccountAndUnknownKeywords) {
  Outcome o = scanText("machine gw1 port 21 login alice account acct7 password pw");
  EXPECT_EQ(o.rc, 0);
  EXPECT_EQ(o.name, "alice");
  EXPECT_EQ(o.acct, "acct7");
  EXPECT_EQ(o.pass, "pw");
  EXPECT_EQ(o.err, "Unknown .netrc keyword portUnknown .netrc keyword 21");
}

TEST(NetrcScan, RefusesSecretsOthersMayRead) {
  const char* pwMsg =
      "Error: .netrc file is readable by others.Remove password or make file unreadable by others.";
  const char* acMsg =
      "Error: .netrc file is readable by others.Remove account or make file unreadable by others.";
  struct Case {
    const char* file;
    mode_t mode;
    int rc;
    const char* err;
  };
  const Case cases[] = {
      {"machine gw1 login alice password pw", 0644, -1, pwMsg},
      {"machine gw1 login alice password pw", 0604, -1, pwMsg},
      {"machine gw1 login alice password pw", 0640, -1, pwMsg},
      {"machine gw1 password pw login anonymous", 0644, -1, pwMsg},
      {"machine gw1 login anonymous password guest", 0644, 0, ""},
      {"machine gw1 login anonymous account a1", 0644, -1, acMsg},
      {"machine gw1 login alice", 0644, 0, ""},
      {"machine other password pw\nmachine gw1 login alice", 0644, 0, ""},
      {"machine gw1 login alice password pw", 0600, 0, ""},
      {"machine gw1 login alice password pw", 0400, 0, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.file) + " mode " + std::to_string(c.mode));
    Outcome o = scanText(c.file, Query(), c.mode);
    EXPECT_EQ(o.rc, c.rc);
    EXPECT_EQ(o.err, c.err);
    if (c.rc != 0) {
      EXPECT_EQ(o.pass, "-");
    }
  }
  Outcome anon = scanText("machine gw1 login anonymous password guest", Query(), 0644);
  EXPECT_EQ(anon.pass, "guest");
}

TEST(NetrcScan, MissingFileIsNoEntryButAnUnreadableOneFails) {
  TempDir dir;
  quor_netrc_query_t q = {"gw1", QUOR_NETRC_LABEL_HOST, "gw1", "", nullptr};
  char* name = nullptr;
  char* pass = nullptr;
  int rc = 1;
  std::string missing = dir.path + "/.netrc";
  EXPECT_EQ(stderrOf([&] { rc = quor_netrc_scan(missing.c_str(), &q, &name, &pass, nullptr); }),
            "");
  EXPECT_EQ(rc, 0);
  EXPECT_EQ(name, nullptr);
  EXPECT_EQ(pass, nullptr);

  // A directory where the file should be opens but cannot be read.
  ASSERT_EQ(mkdir(missing.c_str(), 0700), 0);
  EXPECT_EQ(stderrOf([&] { rc = quor_netrc_scan(missing.c_str(), &q, &name, &pass, nullptr); }),
            "ruserpass: error opening '" + missing + "'\n");
  EXPECT_EQ(rc, -1);
  EXPECT_EQ(quor_netrc_scan(nullptr, &q, &name, &pass, nullptr), -14);
  EXPECT_EQ(quor_netrc_scan(missing.c_str(), &q, nullptr, &pass, nullptr), -14);
}

TEST(NetrcScan, FileWithoutReadPermissionFails) {
  if (geteuid() == 0) GTEST_SKIP() << "root reads any file";
  TempDir dir;
  std::string path = dir.path + "/.netrc";
  writeFile(path, "machine gw1 login alice", 0000);
  quor_netrc_query_t q = {"gw1", QUOR_NETRC_LABEL_HOST, "gw1", "", nullptr};
  char* name = nullptr;
  char* pass = nullptr;
  int rc = 1;
  EXPECT_EQ(stderrOf([&] { rc = quor_netrc_scan(path.c_str(), &q, &name, &pass, nullptr); }),
            "ruserpass: error opening '" + path + "'\n");
  EXPECT_EQ(rc, -1);
  EXPECT_EQ(name, nullptr);
}

// Macros are kept for the life of the process, so each case runs in a
// child of its own.
TEST(NetrcMacros, StoredWithTheirBodiesAndTheEntryGoesOn) {
  ChildResult r = runInChild([] {
    int failures = 0;
    Outcome o = scanText(
        "machine gw1 login alice\nmacdef init\ncd /tmp\nls -l\n\npassword pw\n"
        "macdef abcdefghijkl rest of line\nbody\n\n"
        "macdef empty\n\n");
    CHILD_CHECK(failures, o.rc == 0 && o.name == "alice" && o.pass == "pw" && o.err.empty());
    CHILD_CHECK(failures, quor_netrc_macro_count() == 3);
    const char* name = nullptr;
    const char* body = nullptr;
    size_t len = 0;
    CHILD_CHECK(failures, quor_netrc_macro(0, &name, &body, &len) == 0);
    CHILD_CHECK(failures, std::string(name) == "init");
    CHILD_CHECK(failures, std::string(body, len) == std::string("cd /tmp\0ls -l\0", 14));
    CHILD_CHECK(failures, quor_netrc_macro(1, &name, &body, &len) == 0);
    CHILD_CHECK(failures, std::string(name) == "abcdefghi");
    CHILD_CHECK(failures, std::string(body, len) == std::string("body\0", 5));
    CHILD_CHECK(failures, quor_netrc_macro(2, &name, &body, &len) == 0);
    CHILD_CHECK(failures, std::string(name) == "empty" && len == 0);
    CHILD_CHECK(failures, quor_netrc_macro(3, &name, &body, &len) == -1);
    return failures;
  });
  EXPECT_EQ(r.status, 0) << r.stderrText;
}

TEST(NetrcMacros, MalformedDefinitionsFailTheRead) {
  const std::string big(5000, 'x');
  struct Case {
    std::string file;
    const char* err;
  };
  const Case cases[] = {
      {"machine gw1 macdef\nx\n\n", "Missing macdef name argument\n"},
      {"machine gw1 macdef", "Missing macdef name argument\n"},
      {"machine gw1 macdef abc", "Macro name missing null line terminator.\n"},
      {"machine gw1 macdef abc rest", "Macro definition missing null line terminator.\n"},
      {"machine gw1 macdef abc\nline one\n", "Macro definition <abc> missing null line terminator.\n"},
      {"machine gw1 macdef big\n" + big + "\n\n", "4K macro buffer exceeded.\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file.substr(0, 40));
    ChildResult r = runInChild([&] {
      int failures = 0;
      Outcome o = scanText(c.file);
      CHILD_CHECK(failures, o.rc == -1);
      CHILD_CHECK(failures, o.err == c.err);
      CHILD_CHECK(failures, quor_netrc_macro_count() == 0);
      if (o.err != c.err) fprintf(stderr, "got: %s\n", o.err.c_str());
      return failures;
    });
    EXPECT_EQ(r.status, 0) << r.stderrText;
  }
}

TEST(NetrcMacros, LimitsHoldAcrossReads) {
  ChildResult r = runInChild([] {
    int failures = 0;
    std::string sixteen = "machine gw1 login alice\n";
    for (int i = 0; i < 16; i++) sixteen += "macdef m" + std::to_string(i) + "\nx\n\n";
    Outcome o = scanText(sixteen);
    CHILD_CHECK(failures, o.rc == 0 && o.err.empty());
    CHILD_CHECK(failures, quor_netrc_macro_count() == 16);
    o = scanText("machine gw1 login alice\nmacdef m16\nx\n\n");
    CHILD_CHECK(failures, o.rc == -1);
    CHILD_CHECK(failures, o.err == "Limit of 16 macros have already been defined.\n");
    CHILD_CHECK(failures, quor_netrc_macro_count() == 16);
    return failures;
  });
  EXPECT_EQ(r.status, 0) << r.stderrText;

  r = runInChild([] {
    int failures = 0;
    // Two lines of 1499 bytes each take 3000 bytes with their terminators.
    std::string line(1499, 'a');
    Outcome o = scanText("machine gw1 macdef one\n" + line + "\n" + line + "\n\n");
    CHILD_CHECK(failures, o.rc == 0);
    o = scanText("machine gw1 macdef two\n" + std::string(1095, 'b') + "\n\n");
    CHILD_CHECK(failures, o.rc == 0);  // exactly 4096 bytes now
    o = scanText("machine gw1 macdef three\nc\n\n");
    CHILD_CHECK(failures, o.rc == -1 && o.err == "4K macro buffer exceeded.\n");
    o = scanText("machine gw1 macdef four\n\n");
    CHILD_CHECK(failures, o.rc == 0);  // an empty body needs no room
    CHILD_CHECK(failures, quor_netrc_macro_count() == 3);
    return failures;
  });
  EXPECT_EQ(r.status, 0) << r.stderrText;
}

TEST(NetrcFiles, PathAndLocalDomain) {
  ChildResult r = runInChild([] {
    int failures = 0;
    char buf[256];
    setenv("HOME", "/home/someone", 1);
    CHILD_CHECK(failures, quor_netrc_path(buf, sizeof buf) == 0 &&
                              std::string(buf) == "/home/someone/.netrc");
    unsetenv("HOME");
    CHILD_CHECK(failures, quor_netrc_path(buf, sizeof buf) == 0 && std::string(buf) == "./.netrc");
    CHILD_CHECK(failures, quor_netrc_path(buf, 5) == -36);
    char host[300] = "";
    gethostname(host, sizeof host - 1);
    const char* dot = strchr(host, '.');
    quor_netrc_local_domain(buf, sizeof buf);
    CHILD_CHECK(failures, std::string(buf) == (dot ? dot : ""));
    return failures;
  });
  EXPECT_EQ(r.status, 0) << r.stderrText;
}

// quorex_ReadNetrc on the loopback address: the gateway's name is whatever
// the resolver calls 127.0.0.1, and the process's label starts as that name.
TEST(NetrcRead, LabelTypesAndTheHomeDirectory) {
  quor_sockaddr_t addr = loopback();
  char gwName[NI_MAXHOST] = "";
  ASSERT_EQ(getnameinfo(reinterpret_cast<const sockaddr*>(&addr.hs_addr), addr.hs_addrlen, gwName,
                        sizeof gwName, nullptr, 0, 0),
            0);
  TempDir dir;
  writeFile(dir.path + "/.netrc",
            "machine archive login site-user password s1\n"
            "machine " + std::string(gwName) + " login host-user password h1\n",
            0600);

  auto readIn = [&](const std::function<void()>& before, const char* wantName,
                    const char* wantPass) {
    ChildResult r = runInChild([&] {
      int failures = 0;
      setenv("HOME", dir.path.c_str(), 1);
      before();
      char* name = nullptr;
      char* pass = nullptr;
      CHILD_CHECK(failures, quorex_ReadNetrc(&addr, &name, &pass) == 0);
      CHILD_CHECK(failures, std::string(name ? name : "-") == wantName);
      CHILD_CHECK(failures, std::string(pass ? pass : "-") == wantPass);
      free(name);
      free(pass);
      return failures;
    });
    EXPECT_EQ(r.status, 0) << r.stderrText;
  };
  {
    SCOPED_TRACE("no label: the gateway's name");
    readIn([] {}, "host-user", "h1");
  }
  {
    SCOPED_TRACE("site label");
    readIn([] { quorex_SetNetrcLabel("ARCHIVE", QUOR_NETRC_LABEL_SITE); }, "site-user", "s1");
  }
  {
    SCOPED_TRACE("a null label changes nothing");
    readIn(
        [] {
          quorex_SetNetrcLabel("archive", QUOR_NETRC_LABEL_HOST);
          quorex_SetNetrcLabel(nullptr, QUOR_NETRC_LABEL_SITE);
        },
        "site-user", "s1");
  }
  {
    SCOPED_TRACE("refused label types leave the label unset");
    readIn(
        [] {
          if (quorex_SetNetrcLabel("archive", 0) != -22 ||
              quorex_SetNetrcLabel("archive", 3) != -22) {
            fprintf(stderr, "label type not refused\n");
            _exit(1);
          }
        },
        "host-user", "h1");
  }
  {
    SCOPED_TRACE("HOME unset: the working directory");
    readIn(
        [&] {
          unsetenv("HOME");
          if (chdir(dir.path.c_str()) != 0) _exit(1);
        },
        "host-user", "h1");
  }
  {
    SCOPED_TRACE("no file");
    readIn([] { setenv("HOME", "/nonexistent-home-for-netrc", 1); }, "-", "-");
  }

  ChildResult r = runInChild([&] {
    int failures = 0;
    char* name = nullptr;
    char* pass = nullptr;
    CHILD_CHECK(failures, quorex_ReadNetrc(nullptr, &name, &pass) == -14);
    CHILD_CHECK(failures, quorex_ReadNetrc(&addr, nullptr, &pass) == -14);
    return failures;
  });
  EXPECT_EQ(r.status, 0) << r.stderrText;
}
