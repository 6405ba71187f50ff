// What gwsim refuses as a gateway would: storage levels out of range on the
// residency calls, and namespace and file calls before a log-in. A refusal
// must leave gwsim serving and the namespace as it was.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <functional>
#include <string>

#include "client_env.h"
#include "client_process.h"
#include "gwsim_config.h"
#include "gwsim_fixture.h"
#include "msg_files.h"
#include "msg_namespace.h"
#include "quor_api.h"
#include "raw_gateway.h"

namespace {

const std::string kConfig = [] {
  GwsimConfig c;
  c.user("alice", "wonderland").set("Uid", 1001).set("Gid", 100);
  c.dir("/").set("Uid", 1001).set("Mode", "0755");
  c.file("/data").set("Data", "abcdef").set("Uid", 1001).set("Mode", "0644");
  return c.text();
}();

int openFile(const char* path, int flags) {
  return quor_Open(path, flags, 0644, nullptr, nullptr, nullptr);
}

}  // namespace

// A level past the table, including one that wraps around to 0 when one is
// added, is refused; gwsim keeps serving (the fixture fails the test if it
// died) and the file's data is where it was.
TEST(GatewayLevels, OutOfRangeLevelsAreRefusedWithMinus22) {
  GwsimFixture gw(kConfig);
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  ChildResult r = runInChild([&] {
    int failures = 0;
    CHILD_CHECK(failures, clientLogin(gw, "alice", "wonderland") == 0);
    int fd = openFile("/data", O_RDONLY);
    CHILD_CHECK(failures, fd >= 0);
    uint64_t n = 0;
    struct Case {
      const char* what;
      std::function<int()> call;
    };
    const Case cases[] = {
        {"Migrate 0xFFFFFFFF", [&] { return quor_Migrate(fd, 0xFFFFFFFFu, 0, &n); }},
        {"Migrate 0x7FFFFFFF", [&] { return quor_Migrate(fd, 0x7FFFFFFFu, 0, &n); }},
        {"Migrate 4 (no level below)", [&] { return quor_Migrate(fd, 4, 0, &n); }},
        {"Migrate 5", [&] { return quor_Migrate(fd, 5, 0, &n); }},
        {"Purge 5", [&] { return quor_Purge(fd, 0, 0, 5, 0, &n); }},
        {"Purge 0xFFFFFFFF", [&] { return quor_Purge(fd, 0, 0, 0xFFFFFFFFu, 0, &n); }},
        {"Stage 5", [&] { return quor_Stage(fd, 0, 0, 5, 0); }},
        {"Stage 0xFFFFFFFF", [&] { return quor_Stage(fd, 0, 0, 0xFFFFFFFFu, 0); }},
    };
    for (const Case& c : cases) {
      int rc = c.call();
      if (rc != -22) {
        fprintf(stderr, "%s: %d\n", c.what, rc);
        failures++;
      }
    }
    // Still serving, and level 0 still holds the six bytes.
    CHILD_EQ(failures, quor_Migrate(fd, 0, 0, &n), 0);
    CHILD_EQ(failures, n, 6);
    CHILD_CHECK(failures, quor_Close(fd) == 0);
    return failures;
  });
  EXPECT_EQ(r.status, 0) << r.stderrText;
}

// Before a log-in every namespace and file call is refused with -13 and no
// body, without touching the namespace; the connection goes on, and the
// services a client needs to log in are still served.
TEST(GatewayLogin, NamespaceAndFileCallsBeforeLogInGetMinus13) {
  GwsimFixture gw(kConfig);
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  Sock s(gw.port());
  ASSERT_TRUE(readServerState(s).ok);
  char root[] = "/", data[] = "/data", fresh[] = "/fresh";
  api_quor_ns_path_req_t pathRoot{root}, pathData{data};
  api_quor_Mkdir_req_t mk{fresh, 0755};
  api_quor_Chmod_req_t ch{data, 0777};
  api_quor_Opendir_req_t od{root};
  api_quor_Open_req_t op{};
  op.Path = fresh;
  op.Oflag = 0x10 | 0x02;  // create, write
  op.Mode = 0644;
  api_quor_Migrate_req_t mig{0, 0xFFFFFFFFu, 0};
  struct Case {
    const char* what;
    wire::Bytes msg;
  };
  uint32_t id = 100;
  const Case cases[] = {
      {"Stat", request(id++, 0, 0, QEL_CAT_CORE, QEL_FN_CORE_Stat, qel_xdr_api_quor_Stat_req_t,
                       &pathRoot)},
      {"Mkdir", request(id++, 0, 0, QEL_CAT_CORE, QEL_FN_CORE_Mkdir, qel_xdr_api_quor_Mkdir_req_t,
                        &mk)},
      {"Chmod", request(id++, 0, 0, QEL_CAT_CORE, QEL_FN_CORE_Chmod, qel_xdr_api_quor_Chmod_req_t,
                        &ch)},
      {"Unlink", request(id++, 0, 0, QEL_CAT_CORE, QEL_FN_CORE_Unlink,
                         qel_xdr_api_quor_Unlink_req_t, &pathData)},
      {"Opendir", request(id++, 0, 0, QEL_CAT_CORE, QEL_FN_CORE_Opendir,
                          qel_xdr_api_quor_Opendir_req_t, &od)},
      {"Open", request(id++, 0, 0, QEL_CAT_CORE, QEL_FN_CORE_Open, qel_xdr_api_quor_Open_req_t,
                       &op)},
      {"Migrate", request(id++, 0, 0, QEL_CAT_CORE, QEL_FN_CORE_Migrate,
                          qel_xdr_api_quor_Migrate_req_t, &mig)},
      {"Getcwd", bare(id++, QEL_CAT_CORE, QEL_FN_CORE_Getcwd)},
  };
  for (const Case& c : cases) {
    s.sendRaw(c.msg);
    Reply r = readReply(s, 0);
    ASSERT_TRUE(r.ok) << c.what;
    EXPECT_EQ(r.err, -13) << c.what;
    EXPECT_EQ(r.flags, 0u) << c.what;
  }
  s.sendRaw(bare(id, QEL_CAT_CORE, QEL_FN_CORE_GetUniqueRequestID));
  Reply u = readReply(s, 16);
  ASSERT_TRUE(u.ok);
  EXPECT_EQ(u.err, 0);
  EXPECT_EQ(u.id, id);

  struct stat st;
  EXPECT_NE(stat((gw.rootDir() + "/fresh").c_str(), &st), 0);
  ASSERT_EQ(stat((gw.rootDir() + "/data").c_str(), &st), 0);
}
