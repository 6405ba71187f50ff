// Log-in: the method list and its warnings, QUOR_AUTH_METHOD, the method
// names, stored credentials, the driver, the password prompt on a pseudo
// terminal, and the COMBO exchange against a scripted gateway on a socket
// pair (with a Diffie-Hellman side of its own built from OpenSSL directly).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "dh_group.h"
#include "msg_conn.h"
#include "ozugw_msghdr.h"
#include "qel_auth.h"
#include "qel_crypto.h"
#include "quor_api.h"

namespace {

using Bytes = std::vector<unsigned char>;

std::vector<int> listInForce() {
  int n = 0;
  const int* l = qel_auth_list(&n);
  return std::vector<int>(l, l + n);
}

// Runs body in a fresh copy of the test program that has no controlling
// terminal, so nothing can prompt; passes when body returns true.
void withoutTerminal(const std::function<bool()>& body) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        setsid();
        alarm(30);  // a prompt nobody answers must not hang the suite
        _exit(body() ? 0 : 1);
      },
      testing::ExitedWithCode(0), "");
}

}  // namespace

// ---- method list ----

TEST(AuthMethods, DefaultListAndSupportedSet) {
  qel_auth_state_reset();
  int n = 0;
  EXPECT_EQ(quor_GetAuthType(&n), QUOR_AUTH_COMBO);
  EXPECT_EQ(n, 3);
  EXPECT_EQ(listInForce(), (std::vector<int>{16, 64, 512}));
  EXPECT_EQ(quorex_GetAuthMethods(), 0x250);
  EXPECT_EQ(quorex_GetCipherTypes(), 2);
  EXPECT_EQ(quor_GetAuthType(nullptr), QUOR_AUTH_COMBO);
}

TEST(AuthMethods, SetAuthTypeTakesOnlyItsFourValues) {
  for (int v : {16, 64, 512, 0x8000}) {
    qel_auth_state_reset();
    EXPECT_EQ(quor_SetAuthType(v), 0) << v;
    EXPECT_EQ(listInForce(), std::vector<int>{v});
  }
  for (int v : {0, 2, 8, 32, 128, 256, 0x250, -16, 0x8010}) {
    qel_auth_state_reset();
    EXPECT_EQ(quor_SetAuthType(v), -22) << v;
    EXPECT_EQ(listInForce(), (std::vector<int>{16, 64, 512})) << v;
  }
}

TEST(AuthMethods, SetAuthMethodListWarnsAndKeepsTheSupportedInOrder) {
  struct Case {
    std::vector<int> in;
    std::vector<int> list;
    std::string err;
  };
  const std::vector<int> dflt = {16, 64, 512};
  const Case cases[] = {
      {{8, 16, 999},
       {16},
       "*** (quor_SetAuthMethodList) Warning: Unrecognized authmethod type '999' (authList arg. "
       "index = '2')\n"
       "*** quor_SetAuthMethodList: WARNING - pkg was compiled without support for requested "
       "authmethod(s): KERBEROS \n"},
      {{512, 16, 64, 16}, {512, 16, 64, 16}, ""},
      // Nothing usable: the list stays, the missing ones named in table order.
      {{2, 8, 256},
       dflt,
       "*** quor_SetAuthMethodList: WARNING - pkg was compiled without support for requested "
       "authmethod(s): GSI KERBEROS LOCAL \n"},
      {{0x8000, -1},
       dflt,
       "*** (quor_SetAuthMethodList) Warning: Unrecognized authmethod type '32768' (authList arg. "
       "index = '0')\n"
       "*** (quor_SetAuthMethodList) Warning: Unrecognized authmethod type '-1' (authList arg. "
       "index = '1')\n"},
      {{}, dflt, ""},
  };
  for (const Case& c : cases) {
    qel_auth_state_reset();
    testing::internal::CaptureStderr();
    int rc = quor_SetAuthMethodList(int(c.in.size()), c.in.data());
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(listInForce(), c.list);
    EXPECT_EQ(err, c.err);
  }
  EXPECT_EQ(quor_SetAuthMethodList(2, nullptr), -22);
}

TEST(AuthMethods, AuthTypesToString) {
  const struct {
    int bits;
    const char* text;
  } cases[] = {
      {0, ""},
      {0x250, "COMBO KEYTAB PAM "},
      {0x3FA, "COMBO GSI IDENT KERBEROS MUNGE KEYTAB LOCAL PAM "},
      {0x8000 | 1 | 4, ""},
      {512 | 2, "LOCAL PAM "},
  };
  for (auto c : cases) EXPECT_STREQ(quorex_AuthTypesToString(c.bits), c.text) << c.bits;
  // One static buffer, overwritten by the next call.
  char* a = quorex_AuthTypesToString(16);
  char* b = quorex_AuthTypesToString(64);
  EXPECT_EQ(a, b);
  EXPECT_STREQ(a, "KEYTAB ");
}

TEST(AuthMethods, QuorAuthMethodEnvironment) {
  struct Case {
    const char* env;
    std::vector<int> list;
    std::string err;
  };
  const std::vector<int> dflt = {16, 64, 512};
  const Case cases[] = {
      {"keytab:combo", {64, 16}, ""},
      {"PAM,DCE:KeyTab", {512, 16, 64}, ""},
      {"kerberos", dflt,
       "*** Warning: QUOR_AUTH_METHOD environment specifies 'kerberos' method, which was not "
       "enabled at compile time\n"},
      {"foo,,pam:Gsi",
       {512},
       "*** Warning: QUOR_AUTH_METHOD environment specifies unrecognized method:'foo'\n"
       "*** Warning: QUOR_AUTH_METHOD environment specifies 'Gsi' method, which was not enabled "
       "at compile time\n"},
      {"", dflt, ""},
      {"combo pam", dflt,
       "*** Warning: QUOR_AUTH_METHOD environment specifies unrecognized method:'combo pam'\n"},
  };
  for (const Case& c : cases) {
    qel_auth_state_reset();
    testing::internal::CaptureStderr();
    set_authmethod_from_env(c.env);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(listInForce(), c.list) << c.env;
    EXPECT_EQ(err, c.err) << c.env;
  }
}

TEST(AuthCredentials, SetComboReplacesOnlyWhatIsGiven) {
  qel_auth_state_reset();
  EXPECT_EQ(quor_SetCombo("alice", nullptr), 0);
  EXPECT_STREQ(combo_user, "alice");
  EXPECT_EQ(combo_password, nullptr);
  EXPECT_EQ(quor_SetCombo(nullptr, "pw1"), 0);
  EXPECT_STREQ(combo_user, "alice");
  EXPECT_STREQ(combo_password, "pw1");
  EXPECT_EQ(quor_SetCombo("bob", "pw2"), 0);
  EXPECT_STREQ(combo_user, "bob");
  EXPECT_STREQ(combo_password, "pw2");
  qel_auth_state_reset();
  EXPECT_EQ(combo_user, nullptr);
  EXPECT_EQ(combo_password, nullptr);
}

// ---- driver without a terminal ----

TEST(AuthDriver, EveryMethodFailingLocallyGivesAuthenticationFailure) {
  withoutTerminal([] {
    unsetenv("QUOR_AUTH_METHOD");
    unsetenv("QUOR_USE_NETRC_FILE");
    unsetenv("QUOR_PRINCIPAL");
    qel_auth_state_reset();
    quor_SetCombo("alice", nullptr);  // no password and no terminal
    // Only COMBO can fail locally here: KEYTAB without a keytab answers -2.
    const int comboOnly[] = {QUOR_AUTH_COMBO};
    quor_SetAuthMethodList(1, comboOnly);
    qelapi_tcontext_t* ctx = qelapi_GetThreadContext();
    quor_connection_t* conn = new quor_connection_t{};
    int retry = 7, failed = 7;
    int rc = qelapi_authenticate(ctx, conn, &retry, &failed);
    bool ok = rc == -10003 && retry == 0 && failed == 0 && isInteractiveSession == 0;
    // The position ran past the list; the last method tried is reported.
    ok = ok && quor_GetAuthType(nullptr) == QUOR_AUTH_COMBO;
    delete conn;
    return ok;
  });
}

TEST(AuthDriver, ReadsQuorAuthMethodUnlessTheProgramChose) {
  withoutTerminal([] {
    setenv("QUOR_AUTH_METHOD", "pam:keytab", 1);
    qel_auth_state_reset();
    qelapi_tcontext_t* ctx = qelapi_GetThreadContext();
    quor_connection_t* conn = new quor_connection_t{};
    int retry = 0, failed = 0;
    // The last code other than a local failure stands: KEYTAB's -2 for a
    // missing keytab.
    bool ok = qelapi_authenticate(ctx, conn, &retry, &failed) == -2 &&
              listInForce() == std::vector<int>{512, 64};
    // A program's choice stands; the variable is no longer read.
    quor_SetAuthType(QUOR_AUTH_COMBO);
    ok = ok && qelapi_authenticate(ctx, conn, &retry, &failed) == -10003 &&
         listInForce() == std::vector<int>{16};
    delete conn;
    return ok;
  });
}

// ---- password prompt on a pseudo terminal ----

namespace {

// Makes a new pseudo terminal the controlling terminal of this process
// (which must have none) and returns its master side, or -1.
int takePty() {
  int master = posix_openpt(O_RDWR | O_NOCTTY);
  if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) return -1;
  int slave = open(ptsname(master), O_RDWR);
  if (slave < 0 || ioctl(slave, TIOCSCTTY, 0) != 0) return -1;
  return master;
}

// Reads what the terminal shows until text appears or 5 s pass.
bool readUntil(int master, std::string* seen, const std::string& text) {
  char buf[512];
  for (int i = 0; i < 500 && seen->find(text) == std::string::npos; i++) {
    struct pollfd p = {master, POLLIN, 0};
    if (poll(&p, 1, 10) > 0) {
      ssize_t n = read(master, buf, sizeof buf);
      if (n > 0) seen->append(buf, size_t(n));
    }
  }
  return seen->find(text) != std::string::npos;
}

void drain(int master, std::string* seen) {
  char buf[512];
  struct pollfd p = {master, POLLIN, 0};
  while (poll(&p, 1, 50) > 0) {
    ssize_t n = read(master, buf, sizeof buf);
    if (n <= 0) break;
    seen->append(buf, size_t(n));
  }
}

}  // namespace

TEST(AuthPrompt, PasswordIsReadWithEchoOffAndAskedAgainWhenEmpty) {
  withoutTerminal([] {
    int master = takePty();
    if (master < 0) return false;
    std::string seen;
    std::thread typist([&] {
      // Type only once each prompt is up, so echo is already off.
      std::string mark = "\r[alice]Password: ";
      if (!readUntil(master, &seen, mark)) return;
      (void)!write(master, "\n", 1);
      std::string second;
      if (!readUntil(master, &second, mark)) return;
      seen += second;
      (void)!write(master, "s3cret\n", 7);
    });
    char pw[QEL_PASSWORD_BUF];
    int rc = getPassword("Password", "alice", pw, sizeof pw);
    typist.join();
    drain(master, &seen);
    int fd = open("/dev/tty", O_RDWR);
    struct termios t;
    bool echoBack = fd >= 0 && tcgetattr(fd, &t) == 0 && (t.c_lflag & ECHO);
    std::string blank = "\r" + std::string(50, ' ');
    std::string prompt = blank + "\r[alice]Password: ";
    return rc == 0 && std::string(pw) == "s3cret" && seen.find("s3cret") == std::string::npos &&
           seen.find(prompt) != std::string::npos &&
           seen.find(prompt, seen.find(prompt) + 1) != std::string::npos && echoBack;
  });
}

TEST(AuthPrompt, OverLongAnswerIsCutAndItsRestDiscarded) {
  withoutTerminal([] {
    int master = takePty();
    if (master < 0) return false;
    // Typed ahead; TCSANOW keeps it.
    (void)!write(master, "0123456789abcdef\nnext\n", 22);
    char pw[8];
    int rc1 = getPassword("Enter PASSCODE", nullptr, pw, sizeof pw);
    std::string first = pw;
    int rc2 = getPassword("Enter PASSCODE", nullptr, pw, sizeof pw);
    std::string seen;
    drain(master, &seen);
    return rc1 == 0 && first == "0123456" && rc2 == 0 && std::string(pw) == "next" &&
           seen.find("\rEnter PASSCODE: ") != std::string::npos &&
           seen.find('[') == std::string::npos;
  });
}

TEST(AuthPrompt, NoTerminalMeansNoPassword) {
  withoutTerminal([] {
    char pw[16] = "untouched";
    testing::internal::CaptureStderr();
    int rc = getPassword("Password", "alice", pw, sizeof pw);
    std::string err = testing::internal::GetCapturedStderr();
    return rc == -1 && err == "getsEchoOff:  error opening control terminal\n" &&
           qel_probe_interactive() == 0;
  });
}

// ---- COMBO against a scripted gateway ----

namespace {

// The gateway's Diffie-Hellman side, through OpenSSL's named group.
struct GwKey {
  EVP_PKEY* key = nullptr;
  Bytes pub;
  GwKey() {
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new_from_name(nullptr, "DH", nullptr);
    char group[] = "modp_2048";
    OSSL_PARAM params[] = {OSSL_PARAM_construct_utf8_string(OSSL_PKEY_PARAM_GROUP_NAME, group, 0),
                           OSSL_PARAM_construct_end()};
    EVP_PKEY_keygen_init(ctx);
    EVP_PKEY_CTX_set_params(ctx, params);
    EVP_PKEY_keygen(ctx, &key);
    EVP_PKEY_CTX_free(ctx);
    BIGNUM* y = nullptr;
    EVP_PKEY_get_bn_param(key, OSSL_PKEY_PARAM_PUB_KEY, &y);
    pub.resize(size_t(BN_num_bytes(y)));
    BN_bn2bin(y, pub.data());
    BN_free(y);
  }
  ~GwKey() { EVP_PKEY_free(key); }
  Bytes derive(const Bytes& clientPub) {
    BIGNUM* y = BN_bin2bn(clientPub.data(), int(clientPub.size()), nullptr);
    OSSL_PARAM_BLD* bld = OSSL_PARAM_BLD_new();
    OSSL_PARAM_BLD_push_utf8_string(bld, OSSL_PKEY_PARAM_GROUP_NAME, "modp_2048", 0);
    OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_PUB_KEY, y);
    OSSL_PARAM* params = OSSL_PARAM_BLD_to_param(bld);
    EVP_PKEY_CTX* fctx = EVP_PKEY_CTX_new_from_name(nullptr, "DH", nullptr);
    EVP_PKEY* other = nullptr;
    EVP_PKEY_fromdata_init(fctx);
    EVP_PKEY_fromdata(fctx, &other, EVP_PKEY_PUBLIC_KEY, params);
    EVP_PKEY_CTX* dctx = EVP_PKEY_CTX_new_from_pkey(nullptr, key, nullptr);
    size_t len = 256;
    Bytes secret(len);
    EVP_PKEY_derive_init(dctx);
    EVP_PKEY_derive_set_peer(dctx, other);
    if (EVP_PKEY_derive(dctx, secret.data(), &len) != 1) len = 0;
    secret.resize(len);
    EVP_PKEY_CTX_free(dctx);
    EVP_PKEY_free(other);
    EVP_PKEY_CTX_free(fctx);
    OSSL_PARAM_free(params);
    OSSL_PARAM_BLD_free(bld);
    BN_free(y);
    size_t z = 0;
    while (z < secret.size() && secret[z] == 0) z++;
    return Bytes(secret.begin() + long(z), secret.end());
  }
};

Bytes aesDecrypt(const Bytes& secret, const Bytes& in) {
  unsigned char iv[16] = {};
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  Bytes out(in.size() + 16);
  int n = 0, f = 0;
  bool ok = secret.size() >= 16 &&
            EVP_DecryptInit_ex(ctx, EVP_aes_128_cbc(), nullptr, secret.data(), iv) == 1 &&
            EVP_DecryptUpdate(ctx, out.data(), &n, in.data(), int(in.size())) == 1 &&
            EVP_DecryptFinal_ex(ctx, out.data() + n, &f) == 1;
  EVP_CIPHER_CTX_free(ctx);
  if (!ok) return {};
  out.resize(size_t(n + f));
  return out;
}

// What the gateway answers.
struct Script {
  uint32_t loginFlags = QEL_LOGIN_FLAG_KEYXCHG;
  int32_t loginError = 0;
  int32_t retryCount = 3;
  uint32_t cipher = QUOR_CIPHER_AES;
  std::string retryPacket;
  int32_t dhError = 0;
  std::vector<int32_t> challengeErrors;  // one per response; 0 when run out
};

// What the gateway saw.
struct Seen {
  std::vector<int> functions;
  std::vector<uint32_t> times, flags;
  api_login_combo_t login{};
  Bytes clientPub, secret;
  std::vector<Bytes> responses;  // as sent
};

class FakeGateway {
 public:
  FakeGateway(int fd, Script s) : fd_(fd), script_(std::move(s)) {
    thread_ = std::thread([this] { run(); });
  }
  ~FakeGateway() {
    if (thread_.joinable()) thread_.join();
  }
  void join() {
    if (thread_.joinable()) thread_.join();
  }
  Seen seen;

 private:
  template <typename T>
  void reply(const api_msghdr_t& req, int32_t err, T* body, bool_t (*codec)(XDR*, T*)) {
    Bytes buf(1 << 16);
    XDR x;
    xdrmem_create(&x, reinterpret_cast<char*>(buf.data()), u_int(buf.size()), XDR_ENCODE);
    api_msghdr_t h;
    ozugw_BuildMsgHdr(&h, req.msgRequestID, body ? API_MSGF_BODY : 0, req.msgTime, 0, req.category,
                      req.function, err);
    qel_xdr_api_msghdr_t(&x, &h);
    if (body) codec(&x, body);
    size_t n = xdr_getpos(&x);
    xdr_destroy(&x);
    (void)!write(fd_, buf.data(), n);
  }
  void run() {
    FILE* in = fdopen(dup(fd_), "rb");
    XDR x;
    xdrstdio_create(&x, in, XDR_DECODE);
    size_t challenges = 0;
    for (;;) {
      api_msghdr_t h{};
      if (!qel_xdr_api_msghdr_t(&x, &h)) break;
      seen.functions.push_back(h.function);
      seen.times.push_back(h.msgTime);
      seen.flags.push_back(h.msgFlags);
      if (h.function == QEL_FN_AUTH_LoginCombo) {
        if (!qel_xdr_api_login_combo_t(&x, &seen.login)) break;
        api_login_rply_t r{};
        r.flags = script_.loginFlags;
        r.retry_count = script_.retryCount;
        r.cipher_to_use = script_.cipher;
        r.retry_time = 1234;
        r.retry_packet_len = uint32_t(script_.retryPacket.size());
        r.retry_packet = script_.retryPacket.data();
        reply(h, script_.loginError, &r, qel_xdr_api_login_rply_t);
      } else if (h.function == QEL_FN_AUTH_GetDHParams) {
        Bytes p = fromHex(kModp2048Hex);
        char g = 2;
        api_get_dh_params_rply_t r{int32_t(p.size()), reinterpret_cast<char*>(p.data()), 1, &g};
        if (script_.dhError)
          reply<api_get_dh_params_rply_t>(h, script_.dhError, nullptr, nullptr);
        else
          reply(h, 0, &r, qel_xdr_api_get_dh_params_rply_t);
      } else if (h.function == QEL_FN_AUTH_ExchgPubkey) {
        api_exchg_pubkey_req_t q{};
        if (!qel_xdr_api_exchg_pubkey_req_t(&x, &q)) break;
        seen.clientPub.assign(q.bn_pubkey, q.bn_pubkey + q.pubkey_len);
        xdr_free((xdrproc_t)qel_xdr_api_exchg_pubkey_req_t, (char*)&q);
        seen.secret = key_.derive(seen.clientPub);
        api_exchg_pubkey_rply_t r{int32_t(key_.pub.size()),
                                  reinterpret_cast<char*>(key_.pub.data())};
        reply(h, 0, &r, qel_xdr_api_exchg_pubkey_rply_t);
      } else if (h.function == QEL_FN_AUTH_ChallengeRsp) {
        api_auth_challenge_rsp_req_t q{};
        if (!qel_xdr_api_auth_challenge_rsp_req_t(&x, &q)) break;
        seen.responses.emplace_back(q.response, q.response + q.response_size);
        xdr_free((xdrproc_t)qel_xdr_api_auth_challenge_rsp_req_t, (char*)&q);
        int32_t err =
            challenges < script_.challengeErrors.size() ? script_.challengeErrors[challenges] : 0;
        challenges++;
        api_auth_challenge_rsp_rply_t r{};
        reply(h, err, &r, qel_xdr_api_auth_challenge_rsp_rply_t);
      } else {
        break;
      }
    }
    xdr_destroy(&x);
    fclose(in);
  }
  int fd_;
  Script script_;
  GwKey key_;
  std::thread thread_;
};

class Combo : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(quorex_OpenSSLInit(), 0);
    qel_auth_state_reset();
    unsetenv("QUOR_PRINCIPAL");
    isInteractiveSession = 0;  // a prompt would fail, never block
    ctx = qelapi_GetThreadContext();
    ASSERT_NE(ctx, nullptr);
    conn = new quor_connection_t{};
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    for (quor_msgstream_t* s : {&conn->msg_in, &conn->msg_out}) {
      pthread_mutex_init(&s->theMutex, nullptr);
      pthread_cond_init(&s->theCondition, nullptr);
    }
    conn->ctl_fd = sv[0];
    ASSERT_EQ(qel_BuildMsgStream(sv[0], &conn->msg_out, 1), 0);
    ASSERT_EQ(qel_BuildMsgStream(sv[0], &conn->msg_in, 0), 0);
    conn->state = CONNECTION_OPEN;
  }
  void TearDown() override {
    if (conn->msg_in.state != STREAM_CLOSED) qel_FreeMsgStream(&conn->msg_in);
    if (conn->msg_out.state != STREAM_CLOSED) qel_FreeMsgStream(&conn->msg_out);
    gw.reset();  // sees end of input and stops
    close(sv[1]);
    free(conn->public_key);
    free(conn->session_key);
    free(conn->relogin_context.user_msg_buf);
    free(conn->relogin_context.reconnect_packet);
    free(conn->relogin_context.reconnect_hmac_packet);
    for (quor_msgstream_t* s : {&conn->msg_in, &conn->msg_out}) {
      pthread_mutex_destroy(&s->theMutex);
      pthread_cond_destroy(&s->theCondition);
    }
    delete conn;
    qel_auth_state_reset();
  }
  // Starts the gateway, logs in with COMBO and waits until the gateway has
  // taken every message sent.
  int login(const Script& s, int* flags = nullptr) {
    gw = std::make_unique<FakeGateway>(sv[1], s);
    int f = 0;
    int rc = qel_combo_auth(ctx, conn, flags ? flags : &f);
    shutdown(sv[0], SHUT_WR);
    gw->join();
    return rc;
  }
  std::string sentName() {
    char name[QEL_LOGIN_NAME_LEN];
    memcpy(name, gw->seen.login.username, sizeof name);
    garble(name, QEL_LOGIN_NAME_LEN, gw->seen.times.at(0));
    for (size_t i = strlen(name); i < sizeof name; i++)
      if (name[i] != 0) return "<not zero-filled>";
    return name;
  }
  qelapi_tcontext_t* ctx = nullptr;
  quor_connection_t* conn = nullptr;
  int sv[2] = {-1, -1};
  std::unique_ptr<FakeGateway> gw;
};

const std::vector<int> kExchange = {QEL_FN_AUTH_LoginCombo, QEL_FN_AUTH_GetDHParams,
                                    QEL_FN_AUTH_ExchgPubkey, QEL_FN_AUTH_ChallengeRsp};

}  // namespace

TEST_F(Combo, EncryptedPasswordUnderTheAgreedKey) {
  quor_SetCombo("alice", "s3cret");
  ASSERT_EQ(login(Script{}), 0);
  const Seen& s = gw->seen;
  EXPECT_EQ(s.functions, kExchange);
  EXPECT_EQ(s.login.prot_ver_major, 67u);
  EXPECT_EQ(s.login.prot_ver_minor, 2u);
  EXPECT_EQ(s.login.client_pid, uint32_t(getpid()));
  EXPECT_EQ(s.login.cipher_types, 2u);
  EXPECT_EQ(s.login.max_retries, 1);  // a stored password allows one failure
  EXPECT_EQ(sentName(), "alice");
  EXPECT_EQ(s.times.back(), s.times.front()) << "response carries the log-in's time";
  EXPECT_EQ(s.flags.back() & API_MSGF_NEXTTOKEN, 0u);

  // Both sides hold the same key; the whole 513-byte buffer travels.
  ASSERT_FALSE(s.secret.empty());
  EXPECT_EQ(Bytes(conn->session_key, conn->session_key + conn->sess_key_len), s.secret);
  EXPECT_EQ(Bytes(conn->public_key, conn->public_key + conn->pubkey_len), s.clientPub);
  ASSERT_EQ(s.responses.size(), 1u);
  EXPECT_EQ(s.responses[0].size(), 528u);
  Bytes plain = aesDecrypt(s.secret, s.responses[0]);
  Bytes want(QEL_PASSWORD_BUF, 0);
  memcpy(want.data(), "s3cret", 6);
  EXPECT_EQ(plain, want);
  EXPECT_EQ(combo_password, nullptr) << "a stored password serves one try";
}

TEST_F(Combo, SecondLogInOnTheConnectionReusesItsKey) {
  quor_SetCombo("alice", "one");
  ASSERT_EQ(login(Script{}), 0);
  Bytes key(conn->session_key, conn->session_key + conn->sess_key_len);
  Bytes firstSecret = gw->seen.secret;

  // Same connection, new gateway script on the same socket.
  int sv2[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv2), 0);
  qel_FreeMsgStream(&conn->msg_in);
  qel_FreeMsgStream(&conn->msg_out);
  close(sv[1]);
  sv[0] = sv2[0];
  sv[1] = sv2[1];
  conn->ctl_fd = sv[0];
  ASSERT_EQ(qel_BuildMsgStream(sv[0], &conn->msg_out, 1), 0);
  ASSERT_EQ(qel_BuildMsgStream(sv[0], &conn->msg_in, 0), 0);

  quor_SetCombo(nullptr, "two");
  Script s;
  s.loginFlags = QEL_LOGIN_FLAG_KEYXCHG;
  ASSERT_EQ(login(s), 0);
  EXPECT_EQ(gw->seen.functions,
            (std::vector<int>{QEL_FN_AUTH_LoginCombo, QEL_FN_AUTH_ChallengeRsp}));
  EXPECT_EQ(Bytes(conn->session_key, conn->session_key + conn->sess_key_len), key);
  Bytes plain = aesDecrypt(firstSecret, gw->seen.responses.at(0));
  ASSERT_EQ(plain.size(), size_t(QEL_PASSWORD_BUF));
  EXPECT_STREQ(reinterpret_cast<char*>(plain.data()), "two");
}

TEST_F(Combo, EncryptionWithoutKeyRunsTheExchangeOrFails) {
  // The reply wants an encrypted password but not the exchange, and the
  // connection has no key: the exchange runs anyway.
  quor_SetCombo("alice", "s3cret");
  Script s;
  s.loginFlags = 0;
  ASSERT_EQ(login(s), 0);
  EXPECT_EQ(gw->seen.functions, kExchange);
  Bytes plain = aesDecrypt(gw->seen.secret, gw->seen.responses.at(0));
  ASSERT_EQ(plain.size(), size_t(QEL_PASSWORD_BUF));
  EXPECT_STREQ(reinterpret_cast<char*>(plain.data()), "s3cret");
}

TEST_F(Combo, FailedExchangeSendsNoPasswordAndKeepsIt) {
  quor_SetCombo("alice", "s3cret");
  Script s;
  s.loginFlags = 0;
  s.dhError = -5;
  EXPECT_EQ(login(s), -1);
  EXPECT_EQ(gw->seen.functions,
            (std::vector<int>{QEL_FN_AUTH_LoginCombo, QEL_FN_AUTH_GetDHParams}));
  EXPECT_EQ(conn->session_key, nullptr);
  EXPECT_EQ(conn->sess_key_len, 0);
  ASSERT_NE(combo_password, nullptr);
  EXPECT_STREQ(combo_password, "s3cret");
}

TEST_F(Combo, ClearPasswordWhenTheGatewayAsks) {
  quor_SetCombo("alice", "s3cret");
  Script s;
  s.loginFlags = QEL_LOGIN_FLAG_CLEAR;
  ASSERT_EQ(login(s), 0);
  EXPECT_EQ(gw->seen.functions,
            (std::vector<int>{QEL_FN_AUTH_LoginCombo, QEL_FN_AUTH_ChallengeRsp}));
  EXPECT_EQ(gw->seen.responses.at(0), (Bytes{'s', '3', 'c', 'r', 'e', 't', 0}));
}

TEST_F(Combo, RefusedStoredPasswordEndsAfterOneTryWithoutPrompting) {
  quor_SetCombo("alice", "wrong");
  Script s;
  s.challengeErrors = {-10003};
  EXPECT_EQ(login(s), -10003);
  EXPECT_EQ(gw->seen.responses.size(), 1u);
}

TEST_F(Combo, StoredPasswordGetsOneTryWhateverTheCode) {
  // Without a terminal no further try can prompt: the next token code,
  // which needs one, ends in a local failure.
  struct Case {
    int32_t code;
    int result;
  } cases[] = {{-11000, -11000}, {-42010, -42010}, {-42011, -42011}, {-5, -5}, {-42009, -1}};
  for (const Case& c : cases) {
    TearDown();
    SetUp();
    quor_SetCombo("alice", "pw");
    Script s;
    s.loginFlags = QEL_LOGIN_FLAG_CLEAR;
    s.challengeErrors = {c.code};
    EXPECT_EQ(login(s), c.result) << c.code;
    EXPECT_EQ(gw->seen.responses.size(), 1u) << c.code;
  }
}

TEST_F(Combo, NoTriesLeftLogsInWithoutPassword) {
  quor_SetCombo("alice", "s3cret");
  Script s;
  s.retryCount = 0;
  s.loginFlags = 0;
  EXPECT_EQ(login(s), 0);
  EXPECT_EQ(gw->seen.functions, std::vector<int>{QEL_FN_AUTH_LoginCombo});
}

TEST_F(Combo, LogInReplyErrorAndRetryFlagEndTheMethod) {
  quor_SetCombo("alice", "s3cret");
  Script s;
  s.loginError = -43000;
  s.loginFlags = QEL_LOGIN_FLAG_RETRY | QEL_LOGIN_FLAG_KEYXCHG;
  s.retryPacket = "cert";
  int flags = 0;
  EXPECT_EQ(login(s, &flags), -43000);
  EXPECT_EQ(flags, int(QEL_LOGIN_FLAG_RETRY));
  EXPECT_EQ(gw->seen.functions, std::vector<int>{QEL_FN_AUTH_LoginCombo});
  // The reconnect log-in will need the certificate.
  ASSERT_EQ(conn->relogin_context.reconnect_packet_len, 4u);
  EXPECT_EQ(memcmp(conn->relogin_context.reconnect_packet, "cert", 4), 0);
  EXPECT_EQ(conn->relogin_context.reconnect_time, 1234u);
}

TEST_F(Combo, RetryFlagWithoutErrorStillSendsNoPassword) {
  quor_SetCombo("alice", "s3cret");
  Script s;
  s.loginFlags = QEL_LOGIN_FLAG_FAILED;
  int flags = 0;
  EXPECT_EQ(login(s, &flags), -10003);
  EXPECT_EQ(flags, int(QEL_LOGIN_FLAG_FAILED));
  EXPECT_EQ(gw->seen.functions, std::vector<int>{QEL_FN_AUTH_LoginCombo});
}

TEST_F(Combo, NothingIsSentWithoutTerminalOrPassword) {
  quor_SetCombo("alice", nullptr);
  EXPECT_EQ(login(Script{}), -1);
  EXPECT_TRUE(gw->seen.functions.empty());
}

TEST_F(Combo, PrincipalFromEnvironmentAndLongNamesCut) {
  setenv("QUOR_PRINCIPAL", std::string(300, 'p').c_str(), 1);
  quor_SetCombo(nullptr, "pw");
  Script s;
  s.loginFlags = QEL_LOGIN_FLAG_CLEAR;
  ASSERT_EQ(login(s), 0);
  unsetenv("QUOR_PRINCIPAL");
  EXPECT_EQ(sentName(), std::string(256, 'p'));
}

TEST_F(Combo, DriverReportsTheGatewaysFlagsAndStops) {
  quor_SetCombo("alice", "s3cret");
  ASSERT_EQ(quor_SetAuthMethodList(2, std::vector<int>{16, 512}.data()), 0);
  Script s;
  s.loginError = -43001;
  s.loginFlags = QEL_LOGIN_FLAG_FAILED;
  gw = std::make_unique<FakeGateway>(sv[1], s);
  int retry = 5, failed = 5;
  int rc = qelapi_authenticate(ctx, conn, &retry, &failed);
  shutdown(sv[0], SHUT_WR);
  gw->join();
  EXPECT_EQ(rc, -43001);
  EXPECT_EQ(retry, 0);
  EXPECT_EQ(failed, 1);
  EXPECT_EQ(gw->seen.functions, std::vector<int>{QEL_FN_AUTH_LoginCombo});
  // PAM was not tried: the position stays on COMBO.
  EXPECT_EQ(quor_GetAuthType(nullptr), QUOR_AUTH_COMBO);
}

namespace {

// Answers prompts on the master side of the terminal, in order: waits for
// each prompt text to appear after the previous answer, then types.
struct Typist {
  Typist(int m, std::vector<std::pair<std::string, std::string>> s)
      : master(m), steps(std::move(s)) {}
  int master;
  std::vector<std::pair<std::string, std::string>> steps;
  std::string seen;
  bool allSeen = false;
  std::thread t;
  void start() {
    t = std::thread([this] {
      // One buffer: a read may bring the next prompt along with this one.
      size_t from = 0;
      char buf[512];
      for (auto& [prompt, answer] : steps) {
        size_t at = std::string::npos;
        for (int i = 0; i < 500 && (at = seen.find(prompt, from)) == std::string::npos; i++) {
          struct pollfd p = {master, POLLIN, 0};
          if (poll(&p, 1, 10) > 0) {
            ssize_t n = read(master, buf, sizeof buf);
            if (n > 0) seen.append(buf, size_t(n));
          }
        }
        if (at == std::string::npos) {
          fprintf(stderr, "prompt [%s] not seen\n", prompt.c_str());
          return;
        }
        from = at + prompt.size();
        (void)!write(master, answer.data(), answer.size());
      }
      allSeen = true;
    });
  }
  void finish() {
    t.join();
    drain(master, &seen);
  }
};

}  // namespace

TEST_F(Combo, PromptsOnTheTerminal) {
  withoutTerminal([this] {
    int master = takePty();
    isInteractiveSession = qel_probe_interactive();
    if (master < 0 || isInteractiveSession != 1) return false;
    bool ok = true;
    auto check = [&](bool c, const char* what) {
      if (!c) fprintf(stderr, "failed: %s\n", what);
      ok = ok && c;
    };

    // No stored password: three tries, each typed; failures go on.
    quor_SetCombo("alice", nullptr);
    Script s;
    s.loginFlags = QEL_LOGIN_FLAG_CLEAR;
    s.challengeErrors = {-10003, -42010};
    Typist ty{master,
              {{"\r[alice]Password: ", "p1\n"},
               {"\r[alice]Password: ", "p2\n"},
               {"\r[alice]Password: ", "p3\n"}}};
    ty.start();
    int rc = login(s);
    ty.finish();
    check(rc == 0 && ty.allSeen, "three tries");
    check(gw->seen.login.max_retries == 3, "three allowed");
    check(gw->seen.responses == std::vector<Bytes>{{'p', '1', 0}, {'p', '2', 0}, {'p', '3', 0}},
          "typed passwords");

    // The next token code: the box, its own prompt, header flag 0x2.
    TearDown();
    SetUp();
    isInteractiveSession = 1;
    quor_SetCombo("alice", "pin123456");
    s.challengeErrors = {-42009};
    // The terminal shows each newline as "\r\n".
    Typist ty2{master,
               {{"(WITHOUT YOUR PIN) in response to the password prompt *\r\n", ""},
                {"\r[alice]ENTER TOKEN CODE: ", "654321\n"}}};
    ty2.start();
    rc = login(s);
    ty2.finish();
    check(rc == 0 && ty2.allSeen, "token code");
    check(ty2.seen.find("********************** ATTENTION *************************\r\n"
                        "*  Wait for the token code on the token card             *\r\n") !=
              std::string::npos,
          "box");
    check(gw->seen.responses.size() == 2 &&
              gw->seen.responses[1] == Bytes{'6', '5', '4', '3', '2', '1', 0},
          "token response");
    check(gw->seen.flags.size() == 3 && (gw->seen.flags[1] & API_MSGF_NEXTTOKEN) == 0 &&
              (gw->seen.flags[2] & API_MSGF_NEXTTOKEN) != 0,
          "next-token flag");

    // A passcode card hides the principal; a principal typed at the
    // terminal loses its trailing blanks.
    TearDown();
    SetUp();
    isInteractiveSession = 1;
    conn->site_info.auth_crypto_card = 1;
    s.challengeErrors = {};
    Typist ty3{master, {{"\rPrincipal: ", "bob  \n"}, {"\rEnter PASSCODE: ", "42\n"}}};
    ty3.start();
    rc = login(s);
    ty3.finish();
    check(rc == 0 && ty3.allSeen, "passcode");
    check(sentName() == "bob", "typed principal");
    check(ty3.seen.find("[bob]") == std::string::npos, "principal hidden");
    return ok;
  });
}
