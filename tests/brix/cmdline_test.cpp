// The command line: each case runs the parser in a child process of its own,
// since the parser keeps its results in program-wide state.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <functional>
#include <string>
#include <vector>

#include "brix_test_util.h"
#include "client_process.h"

namespace {

struct parseCase {
  std::vector<std::string> args;
  int result;
  int exitCode;
  std::string stderrHas;
  std::function<int()> check;  // failed checks on the parsed state
};

ChildResult parse(const parseCase& c) {
  return runInChild([&c] {
    int failures = 0;
    resetBrixState();
    brix_function = BOP_NOFUNCTION;
    std::vector<std::string> args = c.args;
    args.insert(args.begin(), "brix");
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    brix_argv = argv.data();
    brix_argc = int(args.size());
    int rc = brix_ParseCmdLine(int(args.size()), argv.data());
    CHILD_EQ(failures, rc, c.result);
    CHILD_EQ(failures, brix_exit_code, c.exitCode);
    if (c.check) failures += c.check();
    fflush(stdout);
    return failures;
  });
}

int same(int failures, long a, long b, const char* what) {
  if (a != b) {
    fprintf(stderr, "CHECK FAILED %s: %ld vs %ld\n", what, a, b);
    failures++;
  }
  return failures;
}

}  // namespace

TEST(CommandLine, Cases) {
  std::vector<parseCase> cases = {
      {{"cvf", "a.tar", "dir"}, 0, 0, "", [] {
         int f = same(0, brix_function, BOP_CREATE, "function");
         f = same(f, (brix_option_flags & BRIX_OPT_VERBOSE) != 0, 1, "verbose");
         f = same(f, std::string(brix_archive) == "a.tar", 1, "archive");
         return same(f, brix_optind, 3, "optind");
       }},
      {{"-cvf", "a.tar", "dir"}, 0, 0, "", [] { return same(0, brix_optind, 3, "optind"); }},
      {{"-c", "-f", "a.tar", "--", "-x"}, 0, 0, "", [] {
         int f = same(0, brix_function, BOP_CREATE, "function");
         return same(f, std::string(brix_argv[brix_optind]) == "-x", 1, "member -x");
       }},
      {{"-cf", "a.tar", "-T", "0", "-v", "dir"}, -1, 64, "Bad value for thread count: 0",
       [] { return same(0, (brix_option_flags & BRIX_OPT_VERBOSE) != 0, 0, "-v not read"); }},
      {{"-t", "-f", "a.tar", "-H", "crc:bogus:rmlocal"}, -1, 64, "Unrecognized option: -Hbogus", [] {
         int f = same(0, (brix_option_flags & BRIX_OPT_CRC) != 0, 1, "crc");
         return same(f, (brix_option_flags & BRIX_OPT_RMLOCAL) != 0, 0, "rmlocal");
       }},
      {{"-t", "-f", "a.tar", "--crc=1"}, -1, 64, "superfluous '=' argument for 'crc'", nullptr},
      {{"-t", "-f", "a.tar", "--umask"}, -1, 64, "missing or empty argument for 'umask'", nullptr},
      {{"-t", "-f", "a.tar", "--nosuch"}, -1, 64, "unrecognized option --nosuch", nullptr},
      {{"-t", "-f", "a.tar", "--port=65526"}, -1, 64, "Bad value for port option: 65526", nullptr},
      {{"-t", "-f", "a.tar", "--port=-1"}, -1, 64, "Bad value for port option", nullptr},
      {{"-t", "-f", "a.tar", "--server=gw.example", "--port=0"}, 0, 0, "",
       [] { return same(0, std::string(getenv("QUOR_SERVER_HOST")) == "gw.example", 1, "server"); }},
      {{"-t", "-f", "a.tar", "-H", "server=gw.example:port=4000"}, 0, 0, "",
       [] { return same(0, std::string(getenv("QUOR_SERVER_HOST")) == "gw.example/4000", 1, "server"); }},
      {{"-t", "-f", "a.tar", "-H", "verify=paranoid,all"}, 0, 0, "",
       [] { return same(0, brix_verify_flags, 0xE0000000L, "verify"); }},
      {{"-t", "-f", "a.tar", "--verify=all,paranoid"}, 0, 0, "",
       [] { return same(0, brix_verify_flags, 0xF0000000L, "verify"); }},
      {{"-t", "-f", "a.tar", "--verify=2,nocompare"}, 0, 0, "",
       [] { return same(0, brix_verify_flags, 0xC0000000L, "verify"); }},
      {{"-t", "-f", "a.tar", "--verify=bogus"}, -1, 64, "fatal error parsing 'verify' option", nullptr},
      {{"-c", "-f", "a.tar", "-n", "2"}, 0, 0, "", [] { return same(0, brix_time_opt, 172800, "-n 2"); }},
      {{"-c", "-f", "a.tar", "-n", ":3"}, 0, 0, "", [] { return same(0, brix_time_opt, 10800, "-n :3"); }},
      {{"-c", "-f", "a.tar", "-n", "1:2"}, 0, 0, "", [] { return same(0, brix_time_opt, 93600, "-n 1:2"); }},
      {{"-c", "-f", "a.tar", "-n", "0"}, -1, 64, "A non-zero value must be entered", nullptr},
      {{"-c", "-f", "a.tar", "-n", "1:2:3"}, -1, 64, "is invalid", nullptr},
      {{"-c", "-f", "a.tar", "-S", "100k"}, 0, 0, "", [] { return same(0, brix_iobufsize, 524288, "-S"); }},
      {{"-c", "-f", "a.tar", "-M", "-1"}, 0, 0, "does not allow an unrestricted number",
       [] { return same(0, brix_max_files, 5000000, "-M -1"); }},
      {{"-c", "-f", "a.tar", "-M", "7000000"}, 0, 0, "exceeds max value allowed",
       [] { return same(0, brix_max_files, 5000000, "-M big"); }},
      {{"-c", "-f", "a.tar", "-M", "abc"}, 0, 0, "Illegal value (abc) for -M option ignored",
       [] { return same(0, brix_max_files, 1000000, "-M abc"); }},
      {{"-c", "-c", "-f", "a.tar"}, -1, 64, "Only 1 of -c, -K, -t, -x, -X may be specified", nullptr},
      {{"-c"}, -1, 64, "-f parameter is required by brix", nullptr},
      {{"-v", "-f", "a.tar"}, -1, 64, "No action specified", nullptr},
      {{"-c", "-f"}, -1, 64, "Missing argument for f", nullptr},
      {{"-c", "-f", "a.tar", "-Z"}, -1, 64, "Unrecognized option: 'Z'", nullptr},
      {{"-c", "-f", "a.tar", "-H", "hash=md5:max-af-size=10:hash-all"}, 0, 0, "", nullptr},
      {{"-c", "-f", "a.tar", "-H", "acct=0"}, 0, 0, "", [] { return same(0, initAcctId, 0, "acct"); }},
      {{"-c", "-f", "a.tar", "--acct=proj"}, 0, 0, "",
       [] { return same(0, std::string(initAcctName) == "proj", 1, "acct name"); }},
      {{"-c", "-f", "a.tar", "-H", "copies=6"}, -1, 64, "Bad value '6' for  copies", nullptr},
      {{"-c", "-f", "a.tar", "-H", "copies=3:family=4,5:umask=027:msg_interval=5"}, 0, 0, "", [] {
         int f = same(0, copyCount, 3, "copies");
         f = same(f, brix_archive_familyid, 4, "family");
         f = same(f, brix_index_familyid, 5, "index family");
         f = same(f, brix_umask, 027, "umask");
         return same(f, brix_status_interval, 5, "interval");
       }},
      {{"-c", "-f", "a.tar", "-Y", "auto"}, 0, 0, "", [] {
         int f = same(0, brix_archive_cosID, 0, "cos");
         return same(f, brix_index_cosID, 0, "index cos");
       }},
      {{"-c", "-f", "a.tar", "-Y", "7:auto"}, 0, 0, "", [] {
         int f = same(0, brix_archive_cosID, 7, "cos");
         return same(f, brix_index_cosID, 0, "index cos");
       }},
      {{"-c", "-f", "a.tar", "-Y", ":9"}, 0, 0, "", [] {
         int f = same(0, brix_archive_cosID, -1, "cos");
         return same(f, brix_index_cosID, 9, "index cos");
       }},
      {{"-c", "-f", "a.tar", "-d", "9", "-lbob"}, 0, 0, "", [] {
         int f = same(0, brix_debug_level, 5, "debug");
         return same(f, std::string(getenv("QUOR_PRINCIPAL")) == "bob", 1, "principal");
       }},
  };
  for (const parseCase& c : cases) {
    std::string joined;
    for (const std::string& a : c.args) joined += a + " ";
    SCOPED_TRACE(joined);
    ChildResult r = parse(c);
    EXPECT_EQ(r.status, 0) << r.stderrText;
    if (!c.stderrHas.empty()) {
      EXPECT_NE(r.stderrText.find(c.stderrHas), std::string::npos) << r.stderrText;
    }
  }
}

TEST(CommandLine, HelpAndSynopsis) {
  ChildResult r = parse({{}, 0, 0, "", [] { return same(0, brix_function, BOP_NOFUNCTION, "none"); }});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.stderrText.rfind("Usage:\n\nbrix  -{c|D|K|t|U|x|X} -f Archive", 0), 0u) << r.stderrText;
  EXPECT_EQ(countText(r.stderrText, "\n"), 7);
  r = parse({{"-?"}, 0, 0, "", nullptr});
  EXPECT_NE(r.stderrText.find("-f Archive   Specifies Archive file name (required option)"), std::string::npos);
  r = parse({{"-?", "-c", "-f", "a.tar", "dir"}, 0, 0, "",
             [] { return same(0, brix_function, BOP_CREATE, "create after help"); }});
  EXPECT_EQ(r.status, 0) << r.stderrText;
}

TEST(CommandLine, CosFromEnvironment) {
  struct row {
    const char* value;
    int archive, index;
  } rows[] = {{"auto", 0, 0}, {"AUTO:12", 0, 12}, {"5", 5, -1}, {"", 0, -1}, {"x:auto", 0, 0}, {":3", -1, 3}};
  for (const row& r : rows) {
    ChildResult res = runInChild([&r] {
      int failures = 0;
      brix_archive_cosID = brix_index_cosID = -1;
      setenv("BRIX_COS", r.value, 1);
      brix_GetEnvSettings();
      CHILD_EQ(failures, brix_archive_cosID, r.archive);
      CHILD_EQ(failures, brix_index_cosID, r.index);
      return failures;
    });
    EXPECT_EQ(res.status, 0) << r.value << "\n" << res.stderrText;
  }
}
