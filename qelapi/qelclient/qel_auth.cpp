// Log-in: the method list, stored credentials, the driver, the COMBO method
// and the terminal prompts.
#include "qel_auth.h"

#include <fcntl.h>
#include <openssl/crypto.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <termios.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "msg_conn.h"
#include "qel_crypto.h"
#include "quor_api.h"

char* combo_user = nullptr;
char* combo_password = nullptr;
int isInteractiveSession = 0;
int qel_login_sent = 0;

namespace {

struct auth_name {
  int code;
  const char* name;
};

// Table order is the order of quorex_AuthTypesToString.
const auth_name authmethod_types[] = {
    {QUOR_AUTH_COMBO, "COMBO"},       {QUOR_AUTH_GSI, "GSI"},     {QUOR_AUTH_IDENT, "IDENT"},
    {QUOR_AUTH_KERBEROS, "KERBEROS"}, {QUOR_AUTH_MUNGE, "MUNGE"}, {QUOR_AUTH_KEYTAB, "KEYTAB"},
    {QUOR_AUTH_LOCAL, "LOCAL"},       {QUOR_AUTH_PAM, "PAM"},
};

const int kSupportedMethods = QUOR_AUTH_COMBO | QUOR_AUTH_KEYTAB | QUOR_AUTH_PAM;

const int default_auth_type[] = {QUOR_AUTH_COMBO, QUOR_AUTH_KEYTAB, QUOR_AUTH_PAM};
int single_auth_type[1];
const int* auth_type = default_auth_type;
int auth_method_count = 3;
int* auth_method_list = nullptr;  // the last list built by a call, if any
int auth_method_inx = 0;
int auth_type_set_flag = 0;

// The controlling terminal while a prompt is up.
FILE* tty_file = nullptr;
int tty_fd = -1;
struct termios tty_saved;
volatile sig_atomic_t tty_saved_valid = 0;
const int tty_signals[] = {SIGHUP, SIGQUIT, SIGINT};
struct sigaction tty_old_actions[3];

const char* const kBlankLine = "\r                                                  ";

bool is_method_code(int v) {
  for (const auth_name& a : authmethod_types)
    if (a.code == v) return true;
  return false;
}

// Makes a copy of codes[0..n) the list in force.
int install_list(const int* codes, int n) {
  int* list = static_cast<int*>(malloc(sizeof(int) * size_t(n)));
  if (!list) return -12;
  memcpy(list, codes, sizeof(int) * size_t(n));
  free(auth_method_list);
  auth_method_list = list;
  auth_type = list;
  auth_method_count = n;
  auth_method_inx = 0;
  return 0;
}

void wipe_string(char** s) {
  if (*s) {
    OPENSSL_cleanse(*s, strlen(*s));
    free(*s);
    *s = nullptr;
  }
}

// Opens the terminal unbuffered, so that no copy of a typed password is
// left behind in a stdio buffer.
FILE* open_tty(void) {
  FILE* f = fopen("/dev/tty", "r+");
  if (f) setvbuf(f, nullptr, _IONBF, 0);
  return f;
}

// Reads one line into buf (at most size-1 characters), strips the newline
// and discards the rest of an over-long line. -1 at end of input.
int read_line(FILE* f, char* buf, int size) {
  buf[0] = '\0';
  if (!fgets(buf, size, f)) {
    buf[0] = '\0';
    return -1;
  }
  size_t n = strlen(buf);
  if (n > 0 && buf[n - 1] == '\n') {
    buf[n - 1] = '\0';
  } else {
    int c;
    while ((c = fgetc(f)) != EOF && c != '\n') {
    }
  }
  return 0;
}

const qel_auth_method_t auth_method_table[] = {
    {QUOR_AUTH_COMBO, qel_combo_auth},
    {QUOR_AUTH_KEYTAB, qel_keytab_auth},
    {QUOR_AUTH_PAM, qel_pam_auth},
    {QUOR_AUTH_RECONNECT, ozugw_RetryLogin},
};

int run_method(int code, qelapi_tcontext_t* ts, quor_connection_t* conn, int* flags) {
  for (const qel_auth_method_t& m : auth_method_table)
    if (m.code == code) return m.method(ts, conn, flags);
  return -1;
}

int use_netrc(quor_connection_t* conn) {
  static const char* fn = "qelapi_authenticate";
  char* name = nullptr;
  char* pass = nullptr;
  if (combo_user && !(name = strdup(combo_user))) {
    fprintf(stderr, "%s: strdup error (combo_user).\n", fn);
    return -12;
  }
  if (combo_password && !(pass = strdup(combo_password))) {
    fprintf(stderr, "%s: strdup error (combo_password).\n", fn);
    free(name);
    return -12;
  }
  int rc = 0;
  if (quorex_ReadNetrc(&conn->server_addr, &name, &pass) == 0)
    rc = quor_SetCombo(name, pass);
  else
    fprintf(stderr, "%s: Attempting to use .netrc failed.\n", fn);
  free(name);
  wipe_string(&pass);
  return rc;
}

}  // namespace

// ---- method list ----

int quorex_GetAuthMethods(void) { return kSupportedMethods; }

char* quorex_AuthTypesToString(int bitList) {
  static char buf[100];
  size_t used = 0;
  buf[0] = '\0';
  for (const auth_name& a : authmethod_types) {
    if (!(bitList & a.code)) continue;
    int n = snprintf(buf + used, sizeof buf - used, "%s ", a.name);
    if (n < 0 || size_t(n) >= sizeof buf - used) break;
    used += size_t(n);
  }
  return buf;
}

int quor_SetAuthType(int theAuthType) {
  switch (theAuthType) {
    case QUOR_AUTH_COMBO:
    case QUOR_AUTH_KEYTAB:
    case QUOR_AUTH_PAM:
    case QUOR_AUTH_RECONNECT:
      break;
    default:
      return -22;
  }
  single_auth_type[0] = theAuthType;
  auth_type = single_auth_type;
  auth_method_count = 1;
  auth_method_inx = 0;
  auth_type_set_flag = 1;
  return 0;
}

int quor_SetAuthMethodList(int count, const int* theAuthList) {
  static const char* fn = "quor_SetAuthMethodList";
  if (count < 0 || (count > 0 && !theAuthList)) return -22;
  std::vector<int> taken;
  int missing = 0;
  try {
    taken.reserve(size_t(count));
  } catch (...) {
    fprintf(stderr, "*** %s: realloc error occurred\n", fn);
    return -22;
  }
  for (int i = 0; i < count; i++) {
    int v = theAuthList[i];
    if (!is_method_code(v)) {
      fprintf(stderr,
              "*** (%s) Warning: Unrecognized authmethod type '%d' (authList arg. index = '%d')\n",
              fn, v, i);
      continue;
    }
    if (!(v & kSupportedMethods)) {
      missing |= v;
      continue;
    }
    taken.push_back(v);
  }
  if (!taken.empty()) {
    if (install_list(taken.data(), int(taken.size())) != 0) {
      fprintf(stderr, "*** %s: realloc error occurred\n", fn);
      return -22;
    }
    auth_type_set_flag = 1;
  }
  if (missing)
    fprintf(stderr,
            "*** %s: WARNING - pkg was compiled without support for requested authmethod(s): %s\n",
            fn, quorex_AuthTypesToString(missing));
  return 0;
}

const int* qel_auth_list(int* count) {
  if (count) *count = auth_method_count;
  return auth_type;
}

int quor_GetAuthType(int* authCount) {
  if (authCount) *authCount = auth_method_count;
  int i = auth_method_inx < auth_method_count ? auth_method_inx : auth_method_count - 1;
  return auth_type[i];
}

int set_authmethod_from_env(const char* envStr) {
  if (!envStr) return 0;
  std::vector<int> taken;
  std::string s(envStr);
  char* save = nullptr;
  for (char* tok = strtok_r(s.data(), ":,", &save); tok; tok = strtok_r(nullptr, ":,", &save)) {
    if (!strcasecmp(tok, "dce") || !strcasecmp(tok, "combo"))
      taken.push_back(QUOR_AUTH_COMBO);
    else if (!strcasecmp(tok, "pam"))
      taken.push_back(QUOR_AUTH_PAM);
    else if (!strcasecmp(tok, "keytab"))
      taken.push_back(QUOR_AUTH_KEYTAB);
    else if (!strcasecmp(tok, "ident") || !strcasecmp(tok, "kerberos") ||
             !strcasecmp(tok, "local") || !strcasecmp(tok, "munge") || !strcasecmp(tok, "gsi"))
      fprintf(stderr,
              "*** Warning: QUOR_AUTH_METHOD environment specifies '%s' method, which was not "
              "enabled at compile time\n",
              tok);
    else
      fprintf(stderr,
              "*** Warning: QUOR_AUTH_METHOD environment specifies unrecognized method:'%s'\n",
              tok);
  }
  if (taken.empty()) return 0;
  if (install_list(taken.data(), int(taken.size())) != 0) return -12;
  return int(taken.size());
}

void qel_auth_state_reset(void) {
  free(auth_method_list);
  auth_method_list = nullptr;
  auth_type = default_auth_type;
  auth_method_count = 3;
  auth_method_inx = 0;
  auth_type_set_flag = 0;
  free(combo_user);
  combo_user = nullptr;
  wipe_string(&combo_password);
}

// ---- credentials ----

int quor_SetCombo(const char* name, const char* password) {
  char* n = nullptr;
  char* p = nullptr;
  if (name && !(n = strdup(name))) return -12;
  if (password && !(p = strdup(password))) {
    free(n);
    return -12;
  }
  if (name) {
    free(combo_user);
    combo_user = n;
  }
  if (password) {
    wipe_string(&combo_password);
    combo_password = p;
  }
  return 0;
}

// ---- terminal ----

int qel_probe_interactive(void) {
  FILE* f = fopen("/dev/tty", "r+");
  if (!f) return 0;
  int yes = isatty(fileno(f)) ? 1 : 0;
  fclose(f);
  return yes;
}

void getsSigHandler(int) {
  if (tty_saved_valid && tty_fd >= 0) tcsetattr(tty_fd, TCSANOW, &tty_saved);
}

int getsSetNoEcho(void) {
  bool opened = false;
  if (!tty_file) {
    tty_file = open_tty();
    if (!tty_file) {
      fprintf(stderr, "getsEchoOff:  error opening control terminal\n");
      return -1;
    }
    opened = true;
  }
  tty_fd = fileno(tty_file);
  if (!isatty(tty_fd) || tcgetattr(tty_fd, &tty_saved) != 0) {
    fprintf(stderr, "getsEchoOff - can't use control terminal interactively\n");
    if (opened) {
      fclose(tty_file);
      tty_file = nullptr;
      tty_fd = -1;
    }
    return -1;
  }
  tty_saved_valid = 1;
  struct termios quiet = tty_saved;
  quiet.c_lflag &= ~tcflag_t(ECHO | ECHOE | ECHOK | ECHONL);
  // TCSANOW keeps what the user typed ahead of the prompt.
  tcsetattr(tty_fd, TCSANOW, &quiet);
  for (int i = 0; i < 3; i++) {
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = getsSigHandler;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    sigaction(tty_signals[i], &sa, &tty_old_actions[i]);
  }
  return 0;
}

void getsResetTTY(void) {
  if (!tty_saved_valid) return;
  if (tty_fd >= 0) tcsetattr(tty_fd, TCSANOW, &tty_saved);
  for (int i = 0; i < 3; i++) sigaction(tty_signals[i], &tty_old_actions[i], nullptr);
  tty_saved_valid = 0;
}

void qel_prompt_password(FILE* tty, const char* pw_prompt, const char* principal, char* pwbuf,
                         int maxlen) {
  pwbuf[0] = '\0';
  for (int i = 0; i < 2 && pwbuf[0] == '\0'; i++) {
    fputs(kBlankLine, tty);
    if (principal)
      fprintf(tty, "\r[%s]%s: ", principal, pw_prompt);
    else
      fprintf(tty, "\r%s: ", pw_prompt);
    fflush(tty);
    if (read_line(tty, pwbuf, maxlen) != 0) break;
  }
}

int getPassword(const char* pw_prompt, const char* principal, char* pwbuf, int maxlen) {
  if (!pw_prompt || !pwbuf || maxlen < 2) return -1;
  bool opened_here = tty_file == nullptr;
  if (getsSetNoEcho() != 0) return -1;
  qel_prompt_password(tty_file, pw_prompt, principal, pwbuf, maxlen);
  fputc('\n', tty_file);
  fflush(tty_file);
  getsResetTTY();
  if (opened_here) {
    fclose(tty_file);
    tty_file = nullptr;
    tty_fd = -1;
  }
  return 0;
}

int qel_getPrincipal(char* buf, int buflen) {
  buf[0] = '\0';
  FILE* f = open_tty();
  if (!f) return -1;
  fputs(kBlankLine, f);
  fputs("\rPrincipal: ", f);
  fflush(f);
  int rc = read_line(f, buf, buflen);
  fclose(f);
  return rc;
}

void qel_write_token_box(FILE* tty) {
  fputs("********************** ATTENTION *************************\n", tty);
  fputs("*  Wait for the token code on the token card             *\n", tty);
  fputs("*  to change and then enter JUST THE TOKEN CODE          *\n", tty);
  fputs("*  (WITHOUT YOUR PIN) in response to the password prompt *\n", tty);
  fputs("**********************************************************\n", tty);
  fflush(tty);
}

// ---- exchanges ----

int getSecurityParams(qelapi_tcontext_t* threadState, int* retAuthType, int* retCipherType) {
  static const char* fn = "getSecurityParams";
  api_exchg_sec_params_req_t req;
  memset(&req, 0, sizeof req);
  req.auth_types = uint32_t(quorex_GetAuthMethods());
  req.cipher_types = uint32_t(quorex_GetCipherTypes());
  int rc =
      qelapi_send_msg(QEL_CAT_AUTH, QEL_FN_AUTH_ExchgSecParams, &req,
                      (xdrproc_t)qel_xdr_api_exchg_sec_params_req_t, 0, 0, nullptr, threadState);
  if (rc != 0) {
    QEL_LOG(6, "%s: error %d sending API_AUTH_GET_SEC_PARMS_REQ msg", fn, rc);
    return -1;
  }
  api_exchg_sec_params_rply_t rply;
  memset(&rply, 0, sizeof rply);
  api_msghdr_t hdr;
  memset(&hdr, 0, sizeof hdr);
  if (qelapi_get_msg(threadState, &hdr, &rply, (xdrproc_t)qel_xdr_api_exchg_sec_params_rply_t,
                     nullptr) != 0)
    return -1;
  if (hdr.errorcode != 0) {
    QEL_LOG(6, "%s: Security param exchange returned server error %d", fn, hdr.errorcode);
    return -1;
  }
  if (retAuthType) *retAuthType = int(rply.auth_type);
  if (retCipherType) *retCipherType = int(rply.cipher);
  return 0;
}

int qel_combo_auth(qelapi_tcontext_t* threadState, quor_connection_t* theConnection,
                   int* RetRetryFlags) {
  static const char* fn = "qel_combo_auth";
  if (RetRetryFlags) *RetRetryFlags = 0;
  if (!threadState || !theConnection) return -1;

  if (!combo_user) {
    const char* env = getenv("QUOR_PRINCIPAL");
    if (env && quor_SetCombo(env, nullptr) != 0) return -12;
  }
  if (!isInteractiveSession && (!combo_user || !combo_password)) {
    QEL_LOG(6, "Not running interactively - can't get authorization combo!");
    return -1;
  }

  uint32_t card = theConnection->site_info.auth_crypto_card;
  const char* prompt = (card & 3) ? "Enter PASSCODE" : "Password";
  bool hide_principal = (card & 1) != 0;

  char principal[QEL_PRINCIPAL_MAX + 1] = {};
  if (combo_user) {
    strncpy(principal, combo_user, QEL_PRINCIPAL_MAX);
  } else {
    if (qel_getPrincipal(principal, sizeof principal) != 0) {
      QEL_LOG(6, "Error opening /dev/tty");
      return -1;
    }
    size_t n = strlen(principal);
    while (n > 0 && (principal[n - 1] == ' ' || principal[n - 1] == '\t' ||
                     principal[n - 1] == '\r' || principal[n - 1] == '\n'))
      principal[--n] = '\0';
  }

  int allowed = combo_password ? 1 : 3;
  uint32_t t = uint32_t(qelapi_time());

  api_login_combo_t req;
  memset(&req, 0, sizeof req);
  req.prot_ver_major = QUOR_CLIENT_PROT_MAJOR;
  req.prot_ver_minor = QUOR_CLIENT_PROT_MINOR;
  req.client_pid = uint32_t(getpid());
  req.cipher_types = uint32_t(quorex_GetCipherTypes());
  req.max_retries = allowed;
  memcpy(req.username, principal, sizeof req.username);
  garble(req.username, QEL_LOGIN_NAME_LEN, t);
  int rc = qelapi_send_msg(QEL_CAT_AUTH, QEL_FN_AUTH_LoginCombo, &req,
                           (xdrproc_t)qel_xdr_api_login_combo_t, 0, t, theConnection, threadState);
  if (rc != 0) return rc;
  qel_login_sent = 1;

  api_login_rply_t lr;
  memset(&lr, 0, sizeof lr);
  api_msghdr_t hdr;
  memset(&hdr, 0, sizeof hdr);
  rc = qelapi_get_msg(threadState, &hdr, &lr, (xdrproc_t)qel_xdr_api_login_rply_t, theConnection);
  if (rc != 0) {
    xdr_free((xdrproc_t)qel_xdr_api_login_rply_t, (char*)&lr);
    return rc;
  }
  // A reply that says retry later carries the certificate the reconnect
  // log-in will need.
  ozugw_SaveLoginReconnect(threadState, theConnection, &lr);
  uint32_t reply_flags = lr.flags;
  uint32_t cipher = lr.cipher_to_use;
  int retry_count = lr.retry_count;
  xdr_free((xdrproc_t)qel_xdr_api_login_rply_t, (char*)&lr);
  if (RetRetryFlags)
    *RetRetryFlags = int(reply_flags & (QEL_LOGIN_FLAG_RETRY | QEL_LOGIN_FLAG_FAILED));
  if (hdr.errorcode < 0) return hdr.errorcode;
  // The gateway takes no password now; asking for one would be in vain.
  if (reply_flags & (QEL_LOGIN_FLAG_RETRY | QEL_LOGIN_FLAG_FAILED)) return -10003;

  if (retry_count < allowed) allowed = retry_count;
  // An encrypted password needs an agreed key: run the exchange when the
  // gateway asks for it, or when it wants encryption on a connection that
  // has none, before a stored password is spent.
  bool need_key = (reply_flags & QEL_LOGIN_FLAG_KEYXCHG) ||
                  (allowed > 0 && !(reply_flags & QEL_LOGIN_FLAG_CLEAR));
  if (need_key && qel_genSessionKeyConn(threadState, theConnection) != 0) return -1;

  int last = hdr.errorcode;
  bool next_token = false;
  char pwbuf[QEL_PASSWORD_BUF];
  unsigned char enc[QEL_PASSWORD_BUF + QEL_CIPHER_PAD];
  auto wipe = [&]() {
    OPENSSL_cleanse(pwbuf, sizeof pwbuf);
    OPENSSL_cleanse(enc, sizeof enc);
  };
  memset(pwbuf, 0, sizeof pwbuf);
  memset(enc, 0, sizeof enc);

  for (int tries = 0; tries < allowed; tries++) {
    memset(pwbuf, 0, sizeof pwbuf);
    if (combo_password && combo_password[0]) {
      // A stored password serves one try only.
      strncpy(pwbuf, combo_password, QEL_PASSWORD_BUF - 1);
      wipe_string(&combo_password);
    }
    if (pwbuf[0] == '\0' || principal[0] == '\0' || next_token) {
      int prc;
      if (next_token) {
        bool opened = tty_file == nullptr;
        if (opened) tty_file = open_tty();
        if (!tty_file) {
          wipe();
          return -1;
        }
        qel_write_token_box(tty_file);
        prc = getPassword("ENTER TOKEN CODE", hide_principal ? nullptr : principal, pwbuf,
                          QEL_PASSWORD_BUF);
        if (opened) {
          fclose(tty_file);
          tty_file = nullptr;
          tty_fd = -1;
        }
      } else {
        prc = getPassword(prompt, hide_principal ? nullptr : principal, pwbuf, QEL_PASSWORD_BUF);
      }
      if (prc != 0) {
        wipe();
        return -1;
      }
    }

    api_auth_challenge_rsp_req_t cr;
    memset(&cr, 0, sizeof cr);
    if (reply_flags & QEL_LOGIN_FLAG_CLEAR) {
      cr.response_size = uint32_t(strlen(pwbuf) + 1);
      cr.response = pwbuf;
    } else {
      int outlen = 0;
      rc = quorex_Encrypt(int(cipher), theConnection->sess_key_len, theConnection->session_key,
                          QEL_PASSWORD_BUF, (const unsigned char*)pwbuf, &outlen, enc);
      if (rc != 0) {
        fprintf(stderr, "%s: Fatal error (%d) encrypting password\n", fn, rc);
        wipe();
        return -1;
      }
      cr.response_size = uint32_t(outlen);
      cr.response = (char*)enc;
    }
    rc = qelapi_send_msg(QEL_CAT_AUTH, QEL_FN_AUTH_ChallengeRsp, &cr,
                         (xdrproc_t)qel_xdr_api_auth_challenge_rsp_req_t,
                         next_token ? API_MSGF_NEXTTOKEN : 0, t, theConnection, threadState);
    wipe();
    if (rc != 0) return rc;

    api_auth_challenge_rsp_rply_t ar;
    memset(&ar, 0, sizeof ar);
    memset(&hdr, 0, sizeof hdr);
    rc = qelapi_get_msg(threadState, &hdr, &ar, (xdrproc_t)qel_xdr_api_auth_challenge_rsp_rply_t,
                        theConnection);
    xdr_free((xdrproc_t)qel_xdr_api_auth_challenge_rsp_rply_t, (char*)&ar);
    if (rc != 0) return rc;

    last = hdr.errorcode;
    next_token = false;
    switch (last) {
      case 0:
        return 0;
      case -10003:
      case -11000:
      case -42010:
      case -42011:
        break;
      case -42009:
        allowed++;
        next_token = true;
        break;
      default:
        QEL_LOG(6, "<combo> authorization call returned error %d", last);
        return last;
    }
  }
  return last;
}

// ---- driver ----

int qelapi_authenticate(qelapi_tcontext_t* threadState, quor_connection_t* theConnection,
                        int* RetRetryFlag, int* RetFailedFlag) {
  static const char* fn = "qelapi_authenticate";
  int result = -10003;
  int flags = 0;
  if (RetRetryFlag) *RetRetryFlag = 0;
  if (RetFailedFlag) *RetFailedFlag = 0;

  isInteractiveSession = qel_probe_interactive();
  if (!auth_type_set_flag) {
    const char* env = getenv("QUOR_AUTH_METHOD");
    if (env) set_authmethod_from_env(env);
  }
  if (getenv("QUOR_USE_NETRC_FILE")) {
    int rc = use_netrc(theConnection);
    if (rc != 0) return rc;
  }
  if (quorex_OpenSSLInit() != 0) {
    fprintf(stderr, "%s: Fatal error in OpenSSL initialization - cannot continue", fn);
    return -5006;
  }

  // The position stays on a method that logged in or stopped the list. A
  // method not tried at all (no keytab, no terminal ...) does not hide the
  // gateway's answer to one that was.
  bool anyTried = false;
  for (auth_method_inx = 0; auth_method_inx < auth_method_count; auth_method_inx++) {
    flags = 0;
    qel_login_sent = 0;
    int rc = run_method(auth_type[auth_method_inx], threadState, theConnection, &flags);
    if (rc == 0) {
      result = 0;
      break;
    }
    if (rc != -1 && (qel_login_sent || !anyTried)) result = rc;
    if (qel_login_sent) anyTried = true;
    if (flags & (QEL_LOGIN_FLAG_RETRY | QEL_LOGIN_FLAG_FAILED)) break;
    // A method that left the stream out of step (an abandoned PAM
    // conversation) ends the list: the next would be misread.
    if (theConnection->broken) break;
  }
  if (RetRetryFlag) *RetRetryFlag = (flags & QEL_LOGIN_FLAG_RETRY) ? 1 : 0;
  if (RetFailedFlag) *RetFailedFlag = (flags & QEL_LOGIN_FLAG_FAILED) ? 1 : 0;
  return result;
}
