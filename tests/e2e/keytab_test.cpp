// KEYTAB log-ins and the su/sudo challenge against the gateway simulator.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "client_env.h"
#include "client_process.h"
#include "gwsim_config.h"
#include "gwsim_fixture.h"
#include "journal_text.h"
#include "msg_conn.h"
#include "qel_auth.h"
#include "quor_api.h"
#include "quor_api_internal.h"

namespace {

const std::string kUsers = [] {
  GwsimConfig c;
  c.user("alice", "wonderland").set("Keytab", "@DIR@/alice.keytab");
  c.user("bob", "builder").set("RetryCount", 3);
  c.user("carol", "c4rol").set("RetryCount", 1);
  return c.text();
}();

// Bytes of every value, zeros included, so that a client stopping at a
// zero byte or sending them unscrambled cannot pass.
std::string keytabBytes(size_t n, unsigned seed) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; i++) s[i] = char((i * 7 + seed) & 0xff);
  return s;
}

void writeFile(const std::string& path, const std::string& bytes, mode_t mode) {
  {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
  }
  chmod(path.c_str(), mode);
}

}  // namespace

TEST(KeytabLogIn, AloneUnderEitherCipher) {
  for (int cipher : {QUOR_CIPHER_AES, QUOR_CIPHER_GARBLE}) {
    SCOPED_TRACE(cipher);
    GwsimFixture gw("Server = {\n Cipher = " + std::to_string(cipher) + "\n}\n" + kUsers);
    ASSERT_TRUE(gw.running()) << gw.stderrText();
    std::string kt = gw.dir() + "/alice.keytab";
    writeFile(kt, keytabBytes(700, 3), 0600);
    ChildResult r = runInChild([&] {
      int failures = 0;
      clientEnv(gw);
      CHILD_CHECK(failures, quor_SetAuthType(QUOR_AUTH_KEYTAB) == 0);
      CHILD_CHECK(failures, quor_SetKeytabInfo("alice", kt.c_str(), 5) == 0);
      qelapi_tcontext_t* ts = nullptr;
      CHILD_CHECK(failures, qelapi_init(&ts) == 0);
      quor_connection_t* c = qelapi_getCurConnection();
      CHILD_CHECK(failures, c != nullptr && c->state == CONNECTION_OPEN);
      CHILD_CHECK(failures, quor_GetAuthType(nullptr) == QUOR_AUTH_KEYTAB);
      // GARBLE needs no session key; AES does.
      CHILD_CHECK(failures, (c && c->sess_key_len > 0) == (cipher == QUOR_CIPHER_AES));
      // The principal that was used is wiped and forgotten.
      CHILD_CHECK(failures, combo_user == nullptr);
      return failures;
    });
    EXPECT_EQ(r.status, 0) << r.stderrText;
    auto j = gw.journalLines();
    EXPECT_EQ(countLines(j, "fn=0x0103 id="), 1);
    EXPECT_EQ(countLines(j, " user=alice cipher=" + std::to_string(cipher)), 1);
    EXPECT_EQ(countLines(j, "cat=0x0200 fn=0x0010"), 1);
    EXPECT_EQ(countLines(j, "cat=0x0200 fn=0x0012"), cipher == QUOR_CIPHER_AES ? 1 : 0);
    EXPECT_EQ(countLines(j, "cat=0x0200 fn=0x0014"), cipher == QUOR_CIPHER_AES ? 1 : 0);
    EXPECT_EQ(countLines(j, "fn=0x0104"), 0);
    EXPECT_EQ(countLines(j, "fn=0x0130"), 0);
  }
}

// COMBO without a terminal or a stored password fails locally (nothing is
// sent) and the driver goes on to KEYTAB: by an explicit list and by the
// default one.
TEST(KeytabLogIn, AfterComboThatFailsLocally) {
  GwsimFixture gw(kUsers);
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  std::string kt = gw.dir() + "/alice.keytab";
  writeFile(kt, keytabBytes(64, 11), 0600);
  for (bool explicitList : {true, false}) {
    SCOPED_TRACE(explicitList);
    ChildResult r = runInChild([&] {
      int failures = 0;
      clientEnv(gw);
      if (explicitList) {
        const int list[] = {QUOR_AUTH_COMBO, QUOR_AUTH_KEYTAB};
        CHILD_CHECK(failures, quor_SetAuthMethodList(2, list) == 0);
      }
      CHILD_CHECK(failures, quor_SetKeytabInfo("alice", kt.c_str(), 1) == 0);
      qelapi_tcontext_t* ts = nullptr;
      CHILD_CHECK(failures, qelapi_init(&ts) == 0);
      CHILD_CHECK(failures, quor_GetAuthType(nullptr) == QUOR_AUTH_KEYTAB);
      return failures;
    });
    EXPECT_EQ(r.status, 0) << r.stderrText;
  }
  auto j = gw.journalLines();
  EXPECT_EQ(countLines(j, "fn=0x0104"), 0);
  EXPECT_EQ(countLines(j, "fn=0x0103 id="), 2);
}

TEST(KeytabLogIn, OtherBytesOrAnotherUserAreRefused) {
  GwsimFixture gw(kUsers);
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  std::string want = keytabBytes(300, 1);
  writeFile(gw.dir() + "/alice.keytab", want, 0600);
  const struct {
    const char* user;
    std::string bytes;
  } cases[] = {
      {"alice", keytabBytes(300, 2)},
      {"alice", want.substr(0, 299)},
      {"alice", want + "x"},
      {"bob", want},  // bob has no keytab
      {"nobody", want},
  };
  int n = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(n);
    std::string path = gw.dir() + "/try" + std::to_string(n++) + ".keytab";
    writeFile(path, c.bytes, 0600);
    ChildResult r = runInChild([&] {
      int failures = 0;
      clientEnv(gw);
      CHILD_CHECK(failures, qel_LibInit() == 0);
      CHILD_CHECK(failures, quor_SetAuthType(QUOR_AUTH_KEYTAB) == 0);
      CHILD_CHECK(failures, quor_SetKeytabInfo(c.user, path.c_str(), 1) == 0);
      CHILD_CHECK(failures, quorex_OpenConnection(quorex_GetCurConHandle()) == -10003);
      return failures;
    });
    EXPECT_EQ(r.status, 0) << r.stderrText;
  }
  EXPECT_EQ(countLines(gw.journalLines(), "fn=0x0103 id="), n);
}

// A keytab readable by its group is refused and never sent: the one
// accepted before stays in force. One whose mode loosens after it was
// accepted is not sent either.
TEST(KeytabLogIn, KeytabWithGroupPermsIsNeverSent) {
  GwsimFixture gw(kUsers);
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  std::string good = gw.dir() + "/alice.keytab";
  std::string loose = gw.dir() + "/loose.keytab";
  writeFile(good, keytabBytes(128, 5), 0600);
  writeFile(loose, keytabBytes(128, 6), 0640);
  ChildResult r = runInChild([&] {
    int failures = 0;
    clientEnv(gw);
    CHILD_CHECK(failures, quor_SetAuthType(QUOR_AUTH_KEYTAB) == 0);
    CHILD_CHECK(failures, quor_SetKeytabInfo("alice", good.c_str(), 1) == 0);
    CHILD_CHECK(failures, quor_SetKeytabInfo("mallory", loose.c_str(), 2) == -1);
    qelapi_tcontext_t* ts = nullptr;
    CHILD_CHECK(failures, qelapi_init(&ts) == 0);

    // Loosened after it was accepted: refused when the log-in reads it.
    chmod(good.c_str(), 0640);
    quor_SetCombo("alice", nullptr);
    int h = -1;
    CHILD_CHECK(failures, quorex_SetupConnection("127.0.0.1", nullptr, gw.port(), 0, 0, &h) == 0);
    CHILD_CHECK(failures, quorex_OpenConnection(h) == -10003);
    return failures;
  });
  EXPECT_EQ(r.status, 0) << r.stderrText;
  EXPECT_EQ(countText(r.stderrText, "*** Keytab file has non-owner perms set: " + loose + "\n"), 1)
      << r.stderrText;
  EXPECT_EQ(countText(r.stderrText, "*** Keytab file has non-owner perms set: " + good + "\n"), 1)
      << r.stderrText;
  auto j = gw.journalLines();
  EXPECT_EQ(countLines(j, "fn=0x0103 id="), 1);
  EXPECT_EQ(countLines(j, "user=mallory"), 0);
}

// ---- su and sudo ----

namespace {

struct SuStart {
  int rc;  // send or receive failure, else the header's code
  ozugw_su_init_rply_t reply;
};

// Sends a su (cmd null) or sudo start by hand, as quor_SuInit would.
SuStart startSu(qelapi_tcontext_t* ts, const char* runas, const char* cmd, bool sudo) {
  SuStart s{};
  api_msghdr_t hdr{};
  uint32_t methods = uint32_t(quorex_GetAuthMethods()) | 1u;
  uint32_t ciphers = uint32_t(quorex_GetCipherTypes());
  if (sudo) {
    ozugw_sudo_init_req_t req{};
    req.auth_methods = methods;
    req.cipher_types = ciphers;
    strncpy(req.runas_principal, runas, sizeof req.runas_principal - 1);
    req.cmd_length = cmd ? uint32_t(strlen(cmd)) : 0;
    req.cmd = const_cast<char*>(cmd);
    s.rc = qelapi_send_msg(QEL_CAT_AUTH, QEL_FN_AUTH_SudoInit, &req,
                           (xdrproc_t)qel_xdr_ozugw_sudo_init_req_t, 0, 0, nullptr, ts);
  } else {
    ozugw_su_init_req_t req{};
    req.auth_methods = methods;
    req.cipher_types = ciphers;
    strncpy(req.runas_principal, runas, sizeof req.runas_principal - 1);
    s.rc = qelapi_send_msg(QEL_CAT_AUTH, QEL_FN_AUTH_SuInit, &req,
                           (xdrproc_t)qel_xdr_ozugw_su_init_req_t, 0, 0, nullptr, ts);
  }
  if (s.rc == 0)
    s.rc = qelapi_get_msg(ts, &hdr, &s.reply, (xdrproc_t)qel_xdr_ozugw_su_init_rply_t, nullptr);
  if (s.rc == 0) s.rc = hdr.errorcode;
  return s;
}

// The challenge helper as quor_SuInit calls it, with a given password.
int answer(const SuStart& s, const char* principal, const char* password) {
  const ozugw_su_init_rply_t& r = s.reply;
  return ozugw_auth_do_challenge(int(r.authmethod), r.flags & 0x2, r.flags & 0x4, r.flags & 0x8,
                                 principal, password, nullptr, r.salt, int(r.cipher_type),
                                 int(r.challenge_size), r.challenge);
}

// Makes a new pseudo terminal the controlling terminal of this process
// (which must have none) and returns its master side, or -1.
int takePty() {
  int master = posix_openpt(O_RDWR | O_NOCTTY);
  if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) return -1;
  int slave = open(ptsname(master), O_RDWR);
  if (slave < 0 || ioctl(slave, TIOCSCTTY, 0) != 0) return -1;
  return master;
}

// Types the answers, one per "Password: " prompt, and keeps what the
// terminal showed.
struct Typist {
  Typist(int master, std::vector<std::string> answers)
      : master_(master), answers_(std::move(answers)), thread_([this] { run(); }) {}
  ~Typist() { stop(); }
  void stop() {
    done_ = true;
    if (thread_.joinable()) thread_.join();
  }
  int prompts() const { return countText(seen_, "Password: "); }
  const std::string& seen() const { return seen_; }

 private:
  void run() {
    size_t typed = 0;
    char buf[256];
    while (!done_) {
      struct pollfd p = {master_, POLLIN, 0};
      if (poll(&p, 1, 10) <= 0) continue;
      ssize_t n = read(master_, buf, sizeof buf);
      if (n <= 0) continue;
      seen_.append(buf, size_t(n));
      while (typed < answers_.size() && size_t(prompts()) > typed) {
        std::string line = answers_[typed++] + "\n";
        if (write(master_, line.data(), line.size()) < 0) return;
      }
    }
  }
  int master_;
  std::vector<std::string> answers_;
  std::atomic<bool> done_{false};
  std::string seen_;
  std::thread thread_;
};

}  // namespace

TEST(SuSudo, StoredPasswordAnswersTheChallenge) {
  GwsimFixture gw(kUsers);
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  ChildResult r = runInChild([&] {
    int failures = 0;
    qelapi_tcontext_t* ts = nullptr;
    if (clientLogin(gw, "alice", "wonderland", &ts) != 0) return 1;

    SuStart su = startSu(ts, "bob", nullptr, false);
    CHILD_CHECK(failures, su.rc == 0);
    CHILD_CHECK(failures, su.reply.authmethod == QUOR_AUTH_COMBO);
    CHILD_CHECK(failures, su.reply.cipher_type == QUOR_CIPHER_AES);
    CHILD_CHECK(failures, su.reply.flags == 0);
    // su wants the target's password.
    CHILD_CHECK(failures, answer(su, "bob", "builder") == 0);

    // sudo wants the caller's own; its end closes the session.
    SuStart sudo = startSu(ts, "bob", "ls -l /tmp", true);
    CHILD_CHECK(failures, sudo.rc == 0 && sudo.reply.authmethod == QUOR_AUTH_COMBO);
    CHILD_CHECK(failures, answer(sudo, "alice", "wonderland") == 0);
    ozugw_sudo_cmd_end_req_t end{1};
    api_msghdr_t hdr{};
    CHILD_CHECK(failures, qelapi_send_msg(QEL_CAT_AUTH, QEL_FN_AUTH_SudoCmdEnd, &end,
                                          (xdrproc_t)qel_xdr_ozugw_sudo_cmd_end_req_t, 0, 0,
                                          nullptr, ts) == 0);
    CHILD_CHECK(failures, qelapi_get_msg(ts, &hdr, nullptr, nullptr, nullptr) == 0);
    CHILD_CHECK(failures, hdr.errorcode == 0);
    return failures;
  });
  EXPECT_EQ(r.status, 0) << r.stderrText;
  auto j = gw.journalLines();
  EXPECT_EQ(countLines(j, "fn=0x0110 id="), 1);
  EXPECT_EQ(countLines(j, "runas=bob"), 2);
  EXPECT_EQ(countLines(j, "fn=0x0112 id="), 1);
  EXPECT_EQ(countLines(j, "cmd=ls -l /tmp"), 1);
  EXPECT_EQ(countLines(j, "for=su retries=0"), 1);
  EXPECT_EQ(countLines(j, "for=sudo retries=0"), 1);
  EXPECT_EQ(countLines(j, "fn=0x0120 id="), 1);
  EXPECT_EQ(countLines(j, "end_session=1"), 1);
}

// A wrong stored password is tried once; the next tries are asked on the
// terminal while the gateway's retries last.
TEST(SuSudo, WrongPasswordCountsTheRetriesDown) {
  GwsimFixture gw(kUsers);
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  const struct {
    std::vector<std::string> typed;
    int rc;
    int prompts;
  } cases[] = {
      {{"wrong2", "wrong3"}, -10003, 2},  // bob's three tries used up
      {{"builder"}, 0, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.rc);
    ChildResult r = runInChild([&] {
      int failures = 0;
      qelapi_tcontext_t* ts = nullptr;
      if (clientLogin(gw, "alice", "wonderland", &ts) != 0) return 1;
      int master = takePty();
      CHILD_CHECK(failures, master >= 0);
      if (master < 0) return failures;
      Typist typist(master, c.typed);
      SuStart su = startSu(ts, "bob", nullptr, false);
      CHILD_CHECK(failures, su.rc == 0);
      int rc = answer(su, "bob", "wrong1");
      usleep(50000);  // the terminal's last output
      typist.stop();
      CHILD_CHECK(failures, rc == c.rc);
      CHILD_CHECK(failures, typist.prompts() == c.prompts);
      CHILD_CHECK(failures, typist.seen().find("[bob]Password: ") != std::string::npos);
      if (failures) fprintf(stderr, "rc=%d terminal: %s\n", rc, typist.seen().c_str());
      return failures;
    });
    EXPECT_EQ(r.status, 0) << r.stderrText;
  }
  auto j = gw.journalLines();
  EXPECT_EQ(countLines(j, "for=su retries=2"), 2);
  EXPECT_EQ(countLines(j, "for=su retries=1"), 1);
  EXPECT_EQ(countLines(j, "for=su retries=0"), 2);  // the last failure, then the success
}

TEST(SuSudo, NoTerminalForTheNextTryIsMinus13) {
  GwsimFixture gw(kUsers);
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  ChildResult r = runInChild([&] {
    int failures = 0;
    qelapi_tcontext_t* ts = nullptr;
    if (clientLogin(gw, "alice", "wonderland", &ts) != 0) return 1;
    SuStart su = startSu(ts, "bob", nullptr, false);
    CHILD_CHECK(failures, answer(su, "bob", "wrong") == -13);
    // carol allows one try: its failure is the gateway's code.
    su = startSu(ts, "carol", nullptr, false);
    CHILD_CHECK(failures, answer(su, "carol", "wrong") == -10003);
    return failures;
  });
  EXPECT_EQ(r.status, 0) << r.stderrText;
  EXPECT_EQ(countText(r.stderrText,
                      "ozugw_auth_do_challenge: password needed, but cannot read "
                      "from /dev/tty - returning <FAILURE>\n"),
            1)
      << r.stderrText;
  auto j = gw.journalLines();
  EXPECT_EQ(countLines(j, "for=su retries=2"), 1);
  EXPECT_EQ(countLines(j, "for=su retries=0"), 1);
}

// With passcodes the response is the typed text in clear (an encrypted
// one would not match).
TEST(SuSudo, PasscodeGoesInClear) {
  GwsimFixture gw(std::string("Server = {\n auth_crypto_card = 2\n}\n") + kUsers);
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  ChildResult r = runInChild([&] {
    int failures = 0;
    qelapi_tcontext_t* ts = nullptr;
    if (clientLogin(gw, "alice", "wonderland", &ts) != 0) return 1;
    SuStart su = startSu(ts, "carol", nullptr, false);
    CHILD_CHECK(failures, su.rc == 0 && (su.reply.flags & 0x2) != 0);
    CHILD_CHECK(failures, answer(su, "carol", "c4rol") == 0);
    su = startSu(ts, "carol", nullptr, false);
    CHILD_CHECK(failures, answer(su, "carol", "c4rolX") == -10003);
    return failures;
  });
  EXPECT_EQ(r.status, 0) << r.stderrText;
  auto j = gw.journalLines();
  EXPECT_EQ(countLines(j, "for=su retries=0"), 2);
}

// Policies: the server's, overridden by the logged-in user's own.
TEST(SuSudo, PoliciesAllowDenyOrChallenge) {
  GwsimConfig users;
  users.server().set("SuPolicy", "deny").set("SudoPolicy", "allow");
  users.user("alice", "wonderland");
  users.user("dave", "d4ve").set("SuPolicy", "allow").set("SudoPolicy", "challenge");
  users.user("bob", "builder");
  GwsimFixture gw(users.text());
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  ChildResult r = runInChild([&] {
    int failures = 0;
    qelapi_tcontext_t* ts = nullptr;
    if (clientLogin(gw, "alice", "wonderland", &ts) != 0) return 1;
    SuStart s = startSu(ts, "bob", nullptr, false);
    CHILD_CHECK(failures, s.rc == -1);
    s = startSu(ts, "bob", "id", true);
    CHILD_CHECK(failures, s.rc == 0 && s.reply.authmethod == 1);
    s = startSu(ts, "nobody", nullptr, false);
    CHILD_CHECK(failures, s.rc == -2);
    // The refused start left nothing pending: 0x0130 is COMBO's again,
    // and this connection is logged in already.
    CHILD_CHECK(failures, answer(SuStart{0, {0, QUOR_AUTH_COMBO, QUOR_CIPHER_AES, {}, 0, nullptr}},
                                 "bob", "builder") == -10003);
    return failures;
  });
  EXPECT_EQ(r.status, 0) << r.stderrText;
  r = runInChild([&] {
    int failures = 0;
    qelapi_tcontext_t* ts = nullptr;
    if (clientLogin(gw, "dave", "d4ve", &ts) != 0) return 1;
    SuStart s = startSu(ts, "bob", nullptr, false);
    CHILD_CHECK(failures, s.rc == 0 && s.reply.authmethod == 1);
    s = startSu(ts, "bob", "id", true);
    CHILD_CHECK(failures, s.rc == 0 && s.reply.authmethod == QUOR_AUTH_COMBO);
    CHILD_CHECK(failures, answer(s, "dave", "d4ve") == 0);
    return failures;
  });
  EXPECT_EQ(r.status, 0) << r.stderrText;
  auto j = gw.journalLines();
  EXPECT_EQ(countLines(j, "for=sudo retries=0"), 1);
  EXPECT_EQ(countLines(j, "for=su "), 0);
}
