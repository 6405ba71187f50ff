// The parent-subsystem cache of the shell: two gateways that hold the same
// path in different subsystems each get their own answer.
#include <gtest/gtest.h>
#include <stdio.h>
#include <string.h>

#include <string>

#include "client_env.h"
#include "client_process.h"
#include "gwsim_config.h"
#include "gwsim_fixture.h"
#include "ozu_context.h"
#include "ozu_locks.h"
#include "ozurc.h"
#include "ozuvars.h"
#include "quor_api.h"

namespace {

std::string config(int subsystem)
{
  GwsimConfig c;
  c.user("alice", "wonderland").set("Uid", 1001).set("Gid", 100).set("Home", "/");
  c.dir("/data").set("Mode", "0755").set("Subsystem", subsystem);
  return c.text();
}

TEST(SubsystemCache, KeyedByConnectionAndPath)
{
  GwsimFixture one{config(1)}, two{config(2)};
  ASSERT_TRUE(one.running()) << one.stderrText();
  ASSERT_TRUE(two.running()) << two.stderrText();
  ChildResult r = runInChild([&]() -> int {
    int f = 0;
    errFile = listF = stderr;
    if (clientLogin(one, "alice", "wonderland") != 0) {
      fprintf(stderr, "log-in to the first gateway failed\n");
      return 1;
    }
    int first = quorex_GetCurConHandle();
    int second = -1;
    CHILD_CHECK(f, quorex_SetupConnection("127.0.0.1", "quor_qelapi", two.port(), 0, 0,
                                          &second) >= 0);
    quor_SetCombo("alice", "wonderland");
    CHILD_CHECK(f, quorex_OpenConnection(second) >= 0);
    ozu_context_t ctx;
    memset(&ctx, 0, sizeof ctx);
    sesskeyset.curContext = &ctx;
    keyset = &sesskeyset;
    struct {
      int handle;
      uint32_t subsystem;
    } steps[] = {{first, 1}, {second, 2}, {first, 1}, {first, 1}};
    for (const auto &s : steps) {
      quorex_SetCurConnection(s.handle, nullptr);
      ctx.handle = s.handle;
      CHILD_EQ(f, ozu_GetParentSubsysID("/data/keysets"), s.subsystem);
    }
    keyset = nullptr;
    sesskeyset.curContext = nullptr;
    return f;
  });
  EXPECT_EQ(r.status, 0) << r.stderrText;
}

}  // namespace
