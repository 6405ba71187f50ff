// The keytab a KEYTAB log-in may use (quor_SetKeytabInfo and what the
// log-in takes when none is set), and the local failures of the su/sudo
// challenge helper. The exchanges themselves run against gwsim in
// tests/e2e/keytab_test.cpp.
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>

#include "qel_auth.h"
#include "quor_api.h"
#include "temp_dir.h"

namespace {

const char kPermsText[] = "*** Keytab file has non-owner perms set: ";

class KeytabInfo : public testing::Test {
 protected:
  void SetUp() override {
    dir = make_temp_dir("keytab-test");
    ASSERT_FALSE(dir.empty());
    qel_auth_state_reset();
    qel_keytab_state_reset();
    unsetenv("QUOR_KEYTAB_PATH");
    unsetenv("QUOR_PRINCIPAL");
  }
  void TearDown() override {
    qel_auth_state_reset();
    qel_keytab_state_reset();
    unsetenv("QUOR_KEYTAB_PATH");
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
  }
  // Writes size bytes into dir/name with the given mode.
  std::string file(const std::string& name, size_t size, mode_t mode) {
    std::string path = dir + "/" + name;
    {
      std::ofstream out(path, std::ios::binary);
      out << std::string(size, '\x5a');
    }
    EXPECT_EQ(chmod(path.c_str(), mode), 0);
    return path;
  }
  std::string stored(int* version = nullptr, uint32_t* size = nullptr) {
    const char* f = qel_keytab_file(version, size);
    return f ? f : "<none>";
  }
  std::string dir;
};

// Runs body in a fresh copy of the test program without a controlling
// terminal; passes when body returns true. The copy ran the fixture's SetUp
// for itself and leaves by _exit, so it removes its own directory, ownDir.
void withoutTerminal(const std::string& ownDir, const std::function<bool()>& body) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        setsid();
        alarm(30);
        bool ok = body();
        std::error_code ec;
        std::filesystem::remove_all(ownDir, ec);
        _exit(ok ? 0 : 1);
      },
      testing::ExitedWithCode(0), "");
}

}  // namespace

TEST_F(KeytabInfo, OwnerOnlyFileIsTakenWithItsSizeVersionAndPrincipal) {
  std::string kt = file("alice.keytab", 321, 0600);
  EXPECT_EQ(quor_SetKeytabInfo("alice", kt.c_str(), 3), 0);
  int version = 0;
  uint32_t size = 0;
  EXPECT_EQ(stored(&version, &size), kt);
  EXPECT_EQ(version, 3);
  EXPECT_EQ(size, 321u);
  ASSERT_NE(combo_user, nullptr);
  EXPECT_STREQ(combo_user, "alice");

  // A read-only file will do; a null principal keeps the stored one.
  std::string ro = file("ro.keytab", 0, 0400);
  EXPECT_EQ(quor_SetKeytabInfo(nullptr, ro.c_str(), 9), 0);
  EXPECT_EQ(stored(&version, &size), ro);
  EXPECT_EQ(version, 9);
  EXPECT_EQ(size, 0u);
  EXPECT_STREQ(combo_user, "alice");
}

TEST_F(KeytabInfo, RefusedFileLeavesEverythingAsItWas) {
  std::string good = file("good.keytab", 100, 0600);
  ASSERT_EQ(quor_SetKeytabInfo("alice", good.c_str(), 2), 0);
  std::string sub = dir + "/sub";
  ASSERT_EQ(mkdir(sub.c_str(), 0700), 0);
  std::string link = dir + "/link.keytab";
  ASSERT_EQ(symlink(good.c_str(), link.c_str()), 0);
  std::string grp = file("group.keytab", 7, 0640);
  std::string oth = file("other.keytab", 7, 0604);
  std::string gx = file("gx.keytab", 7, 0610);
  std::string missing = dir + "/missing.keytab";
  std::string notdir = good + "/x";
  const struct {
    const char* filename;
    int rc;
    bool permsText;
  } cases[] = {
      {nullptr, -14, false},
      {"", -2, false},
      {missing.c_str(), -ENOENT, false},
      {notdir.c_str(), -ENOTDIR, false},
      {sub.c_str(), -9, false},
      {link.c_str(), -9, false},
      {grp.c_str(), -1, true},
      {oth.c_str(), -1, true},
      {gx.c_str(), -1, true},
  };
  for (const auto& c : cases) {
    std::string what = c.filename ? c.filename : "(null)";
    testing::internal::CaptureStderr();
    EXPECT_EQ(quor_SetKeytabInfo("mallory", c.filename, 77), c.rc) << what;
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err, c.permsText ? std::string(kPermsText) + what + "\n" : "") << what;
    int version = 0;
    uint32_t size = 0;
    EXPECT_EQ(stored(&version, &size), good) << what;
    EXPECT_EQ(version, 2) << what;
    EXPECT_EQ(size, 100u) << what;
    EXPECT_STREQ(combo_user, "alice") << what;
  }
}

TEST_F(KeytabInfo, RefusedKeytabIsNotUsedByALaterLogIn) {
  std::string grp = file("group.keytab", 40, 0640);
  testing::internal::CaptureStderr();
  EXPECT_EQ(quor_SetKeytabInfo("alice", grp.c_str(), 1), -1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), std::string(kPermsText) + grp + "\n");
  EXPECT_EQ(stored(), "<none>");

  // Without a keytab and without QUOR_KEYTAB_PATH the log-in has nothing
  // to send: -2, before any message.
  qelapi_tcontext_t* ctx = qelapi_GetThreadContext();
  ASSERT_NE(ctx, nullptr);
  quor_connection_t conn{};
  int flags = 7;
  EXPECT_EQ(qel_keytab_auth(ctx, &conn, &flags), -2);
  EXPECT_EQ(flags, 0);
  EXPECT_EQ(stored(), "<none>");
}

TEST_F(KeytabInfo, LogInTakesQuorKeytabPathThroughTheSameChecks) {
  qelapi_tcontext_t* ctx = qelapi_GetThreadContext();
  ASSERT_NE(ctx, nullptr);
  quor_connection_t conn{};
  int flags = 0;

  std::string grp = file("group.keytab", 40, 0640);
  setenv("QUOR_KEYTAB_PATH", grp.c_str(), 1);
  testing::internal::CaptureStderr();
  EXPECT_EQ(qel_keytab_auth(ctx, &conn, &flags), -1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), std::string(kPermsText) + grp + "\n");
  EXPECT_EQ(stored(), "<none>");

  setenv("QUOR_KEYTAB_PATH", dir.c_str(), 1);
  EXPECT_EQ(qel_keytab_auth(ctx, &conn, &flags), -9);
  EXPECT_EQ(stored(), "<none>");

  // A good one is stored; the principal comes from QUOR_PRINCIPAL, and the
  // log-in then fails only at the security-parameter exchange (no gateway).
  std::string good = file("good.keytab", 40, 0600);
  setenv("QUOR_KEYTAB_PATH", good.c_str(), 1);
  setenv("QUOR_PRINCIPAL", "envuser", 1);
  EXPECT_EQ(qel_keytab_auth(ctx, &conn, &flags), -2);
  unsetenv("QUOR_PRINCIPAL");
  EXPECT_EQ(stored(), good);
  ASSERT_NE(combo_user, nullptr);
  EXPECT_STREQ(combo_user, "envuser");
}

TEST_F(KeytabInfo, NoPrincipalWithoutTerminalFailsLocally) {
  std::string good = file("good.keytab", 40, 0600);
  ASSERT_EQ(quor_SetKeytabInfo(nullptr, good.c_str(), 1), 0);
  withoutTerminal(dir, [] {
    isInteractiveSession = qel_probe_interactive();
    qelapi_tcontext_t* ctx = qelapi_GetThreadContext();
    quor_connection_t conn{};
    int flags = 0;
    // -1, not the -2 of a failed security exchange: nothing was sent.
    return isInteractiveSession == 0 && qel_keytab_auth(ctx, &conn, &flags) == -1;
  });
}

// ---- su/sudo challenge: failures before anything is sent ----

TEST(SuChallenge, ThreadWithoutContextIsRefused) {
  int rc = 0;
  testing::internal::CaptureStderr();
  std::thread t([&] {
    rc = ozugw_auth_do_challenge(QUOR_AUTH_COMBO, 0, 0, 0, "bob", "pw", nullptr, nullptr,
                                 QUOR_CIPHER_AES, 0, nullptr);
  });
  t.join();
  EXPECT_EQ(rc, -14);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "ozugw_auth_do_challenge: *** Internal error looking up thread state - returning "
            "<FAILURE>\n");
}

TEST(SuChallenge, KeytabMethodIsNotAnswered) {
  ASSERT_NE(qelapi_GetThreadContext(), nullptr);
  testing::internal::CaptureStderr();
  // A passcode needs no session key, so nothing at all goes out.
  EXPECT_EQ(ozugw_auth_do_challenge(QUOR_AUTH_KEYTAB, 1, 0, 0, "bob", "pw", nullptr, nullptr,
                                    QUOR_CIPHER_AES, 0, nullptr),
            -1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "ozugw_auth_do_challenge: KEYTAB auth method - need some code!\n");
}

TEST(SuChallenge, NoPasswordAndNoTerminalIsMinus13) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        setsid();
        alarm(30);
        if (!qelapi_GetThreadContext()) _exit(2);
        // A passcode challenge needs no key, so the prompt is the first step;
        // an empty given password counts as none.
        int a = ozugw_auth_do_challenge(QUOR_AUTH_COMBO, 1, 0, 0, "bob", nullptr, nullptr, nullptr,
                                        QUOR_CIPHER_AES, 0, nullptr);
        int b = ozugw_auth_do_challenge(QUOR_AUTH_COMBO, 1, 0, 0, "bob", "", nullptr, nullptr,
                                        QUOR_CIPHER_AES, 0, nullptr);
        _exit(a == -13 && b == -13 ? 0 : 1);
      },
      testing::ExitedWithCode(0),
      "ozugw_auth_do_challenge: password needed, but cannot read from /dev/tty - returning "
      "<FAILURE>\n(.|\n)*ozugw_auth_do_challenge: password needed");
}
