// PAM log-in: the user name goes encrypted, then the gateway's PAM stack
// asks questions and shows texts in encrypted batches, each answered with
// one encrypted task message, until the last log-in reply. Every batch is
// checked whole before anything of it reaches the user, so a malformed one
// never prompts for an answer that would not be sent.
#include <errno.h>
#include <openssl/crypto.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <termios.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "msg_conn.h"
#include "qel_auth.h"
#include "qel_crypto.h"
#include "quor_api.h"

namespace {

// The terminal of the PAM conversation, open from the first text shown
// until the log-in ends, or for the length of one prompt.
FILE* pam_tty = nullptr;
struct termios pam_saved;
volatile sig_atomic_t pam_saved_valid = 0;
int pam_saved_fd = -1;
const int pam_signals[] = {SIGHUP, SIGQUIT, SIGINT};
struct sigaction pam_old_actions[3];

void pam_close_tty(void) {
  if (pam_tty) fclose(pam_tty);
  pam_tty = nullptr;
}

// Puts the echo back if a signal comes while it is off.
void pam_sig_restore(int) {
  if (pam_saved_valid && pam_saved_fd >= 0) tcsetattr(pam_saved_fd, TCSANOW, &pam_saved);
}

void pam_echo_off(int fd) {
  if (tcgetattr(fd, &pam_saved) != 0) return;
  pam_saved_fd = fd;
  pam_saved_valid = 1;
  struct termios quiet = pam_saved;
  quiet.c_lflag &= ~tcflag_t(ECHO | ECHOE | ECHOK | ECHONL);
  tcsetattr(fd, TCSANOW, &quiet);
  for (int i = 0; i < 3; i++) {
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = pam_sig_restore;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    sigaction(pam_signals[i], &sa, &pam_old_actions[i]);
  }
}

void pam_echo_restore(void) {
  if (!pam_saved_valid) return;
  tcsetattr(pam_saved_fd, TCSANOW, &pam_saved);
  for (int i = 0; i < 3; i++) sigaction(pam_signals[i], &pam_old_actions[i], nullptr);
  pam_saved_valid = 0;
}

uint32_t get_be32(const unsigned char* p) {
  return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3];
}

void put_be32(unsigned char* p, uint32_t v) {
  p[0] = (unsigned char)(v >> 24);
  p[1] = (unsigned char)(v >> 16);
  p[2] = (unsigned char)(v >> 8);
  p[3] = (unsigned char)v;
}

// A malloc'd secret that is overwritten before it is freed.
struct secret_buf {
  unsigned char* p = nullptr;
  size_t len = 0;
  ~secret_buf() { release(); }
  void release() {
    if (p) {
      OPENSSL_cleanse(p, len);
      free(p);
    }
    p = nullptr;
    len = 0;
  }
  // At least n bytes; old contents are wiped, not kept.
  bool reserve(size_t n) {
    if (len >= n) return true;
    release();
    p = static_cast<unsigned char*>(malloc(n));
    if (!p) return false;
    len = n;
    return true;
  }
};

// The answers of one batch, wiped and freed however the batch ends.
struct answer_set {
  std::vector<uint32_t> lens;
  std::vector<char*> texts;
  ~answer_set() {
    for (char*& t : texts) wipe(&t);
  }
  static void wipe(char** t) {
    if (*t) {
      OPENSSL_cleanse(*t, QEL_PAM_ANSWER_BUF);
      free(*t);
    }
    *t = nullptr;
  }
};

// Working state of one PAM log-in.
struct pam_state {
  qelapi_tcontext_t* ts;
  quor_connection_t* conn;
  int cipher;
  uint32_t t;
  secret_buf plain;  // decryption buffer, kept for the whole log-in
  int openedTTY;     // the terminal was opened to show a text
};

// One message of a checked batch.
struct pam_msg {
  int style;
  std::string text;  // the text up to its first zero byte
};

// Checks and splits a decrypted batch. Every record must lie within the
// len bytes; a text runs to its first zero byte or the end of its record.
int pam_split_batch(const unsigned char* buf, size_t len, int count, std::vector<pam_msg>* out) {
  size_t pos = 0;
  out->clear();
  for (int i = 0; i < count; i++) {
    if (len - pos < QEL_PAM_RECORD_HDR) {
      QEL_LOG(3, "PAM message %d runs past the end of its batch - aborting\n", i + 1);
      return -22;
    }
    ozu_pam_message_t m;
    m.msg_style = buf[pos];
    m.msg_len = get_be32(buf + pos + 4);
    pos += QEL_PAM_RECORD_HDR;
    if (m.msg_len > len - pos) {
      QEL_LOG(3, "PAM message %d runs past the end of its batch - aborting\n", i + 1);
      return -22;
    }
    if (m.msg_style < QEL_PAM_PROMPT_ECHO_OFF || m.msg_style > QEL_PAM_TEXT_INFO) {
      QEL_LOG(6, "Bad PAM conversation msg style received: %d Aborting PAM auth\n", m.msg_style);
      return -22;
    }
    const char* text = reinterpret_cast<const char*>(buf + pos);
    out->push_back({m.msg_style, std::string(text, strnlen(text, m.msg_len))});
    pos += m.msg_len;
  }
  return 0;
}

bool ends_with_newline(const std::string& s) { return !s.empty() && s.back() == '\n'; }


// Decrypts one conversation message, shows its texts, asks its questions
// and sends the answer batch as a task message that echoes the message's
// request and thread ids.
int pam_answer(pam_state* st, const api_msghdr_t* convHdr, const api_pam_conv_req_t* conv) {
  int count = conv->msg_count;
  size_t encLen = conv->enc_conv_req_msgbuf ? conv->enc_conv_req_msglen : 0;
  if (!st->plain.reserve(encLen + QEL_CIPHER_PAD)) {
    QEL_LOG(6, "Error allocating decryption buffer for PAM conversation");
    return -12;
  }
  int plainLen = 0;
  int rc = quorex_Decrypt(st->cipher, st->conn->sess_key_len, st->conn->session_key, int(encLen),
                          reinterpret_cast<const unsigned char*>(conv->enc_conv_req_msgbuf),
                          &plainLen, st->plain.p);
  // Walking what a failed decryption left behind would show garbage.
  if (rc != 0 || plainLen < 0 || size_t(plainLen) > st->plain.len) {
    QEL_LOG(3, "*** Error %d decrypting PAM conversation - aborting\n", rc);
    return -22;
  }
  if (count < 1 || count > QEL_PAM_MAX_MESSAGES) {
    QEL_LOG(3, "invalid PAM message count %d received - aborting \n", count);
    return -22;
  }
  std::vector<pam_msg> msgs;
  answer_set ans;
  try {
    msgs.reserve(size_t(count));
    ans.lens.assign(size_t(count), 0);
    ans.texts.assign(size_t(count), nullptr);
  } catch (...) {
    QEL_LOG(6, "Error allocating response message array for PAM conversation");
    return -12;
  }
  rc = pam_split_batch(st->plain.p, size_t(plainLen), count, &msgs);
  if (rc != 0) return rc;

  for (int i = 0; i < count; i++) {
    const pam_msg& m = msgs[size_t(i)];
    switch (m.style) {
      case QEL_PAM_PROMPT_ECHO_OFF:
      case QEL_PAM_PROMPT_ECHO_ON: {
        char* buf = nullptr;
        // A failed prompt still gives its buffer back: the answer is empty.
        pamGetResponse(m.style == QEL_PAM_PROMPT_ECHO_OFF, m.text.c_str(), &buf);
        if (buf) {
          ans.texts[size_t(i)] = buf;
          ans.lens[size_t(i)] = uint32_t(strlen(buf) + 1);
        }
        break;
      }
      case QEL_PAM_ERROR_MSG:
        if (!m.text.empty()) {
          fputs(m.text.c_str(), stderr);
          if (!ends_with_newline(m.text)) fputc('\n', stderr);
        }
        break;
      default:  // QEL_PAM_TEXT_INFO
        if (!m.text.empty())
          pamSendToTTY(m.text.c_str(), !ends_with_newline(m.text), &st->openedTTY);
        break;
    }
  }

  size_t total = QEL_PAM_RECORD_HDR * size_t(count);
  for (uint32_t l : ans.lens) total += l;
  secret_buf packed, enc;
  if (!packed.reserve(total) || !enc.reserve(total + QEL_CIPHER_PAD)) {
    QEL_LOG(6, "Error(s) allocating PAM packed response buffers\n");
    return -12;
  }
  size_t pos = 0;
  for (size_t i = 0; i < size_t(count); i++) {
    ozu_pam_response_t r = {ans.lens[i], 0};
    put_be32(packed.p + pos, r.resp_len);
    packed.p[pos + 4] = (unsigned char)r.resp_retcode;
    memset(packed.p + pos + 5, 0, 3);
    pos += QEL_PAM_RECORD_HDR;
    if (r.resp_len) memcpy(packed.p + pos, ans.texts[i], r.resp_len);
    pos += r.resp_len;
    answer_set::wipe(&ans.texts[i]);
  }
  int encOut = 0;
  rc = quorex_Encrypt(st->cipher, st->conn->sess_key_len, st->conn->session_key, int(total),
                      packed.p, &encOut, enc.p);
  packed.release();
  if (rc != 0) {
    QEL_LOG(6, "*** Error %d encrypting PAM response\n", rc);
    return -12;
  }
  api_pam_conv_rply_t reply;
  reply.reply_count = count;
  reply.enc_conv_reply_msglen = uint32_t(encOut);
  reply.enc_conv_reply_msgbuf = reinterpret_cast<char*>(enc.p);
  // A broken connection shows in the next receive.
  ozugw_sendTaskMsg(convHdr->threadID, convHdr->msgRequestID, QEL_CAT_AUTH,
                    QEL_FN_AUTH_PamConvRply, &reply, (xdrproc_t)qel_xdr_api_pam_conv_rply_t,
                    API_MSGF_TASK, st->t, 0, st->conn, st->ts);
  return 0;
}

}  // namespace

int pamOpenDevTTY(int* Opened) {
  static const char* fn = "pamOpenDevTTY";
  if (Opened) *Opened = 0;
  if (pam_tty) return 0;
  FILE* f = fopen("/dev/tty", "r+");
  if (!f) {
    int e = errno;
    fprintf(stderr, "*** %s:  error %d opening control terminal\n", fn, e);
    return -6;
  }
  if (!isatty(fileno(f))) {
    fprintf(stderr, "*** %s - can't use control terminal interactively\n", fn);
    fclose(f);
    return -6;
  }
  // Unbuffered: no typed answer is left behind in a stdio buffer.
  setvbuf(f, nullptr, _IONBF, 0);
  pam_tty = f;
  if (Opened) *Opened = 1;
  return 0;
}

int pamSendToTTY(const char* TextString, int AppendNewLine, int* OpenedTTY) {
  int opened = 0;
  int rc = pamOpenDevTTY(&opened);
  if (rc != 0) return rc;
  if (TextString) fputs(TextString, pam_tty);
  if (AppendNewLine) fputc('\n', pam_tty);
  fflush(pam_tty);
  if (opened) {
    if (OpenedTTY)
      *OpenedTTY = 1;
    else
      pam_close_tty();
  }
  return 0;
}

int pamGetResponse(int EchoOff, const char* Message, char** RetBuf) {
  static const char* fn = "pamGetResponse";
  if (!RetBuf) return -12;
  char* buf = static_cast<char*>(calloc(1, QEL_PAM_ANSWER_BUF));
  *RetBuf = buf;
  if (!buf) return -12;
  int opened = 0;
  int rc = pamOpenDevTTY(&opened);
  if (rc != 0) return rc;
  int fd = fileno(pam_tty);
  if (EchoOff) pam_echo_off(fd);
  fputc('\r', pam_tty);
  if (Message) fputs(Message, pam_tty);
  fflush(pam_tty);

  // One byte at a time, so nothing after the line is taken from the
  // terminal; the rest of an over-long line is read and dropped.
  size_t n = 0;
  int result = 0;
  for (;;) {
    char c;
    ssize_t got = read(fd, &c, 1);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      int e = errno;
      fprintf(stderr, "*** %s: error %d reading control terminal\n", fn, e);
      result = -1;
      break;
    }
    if (got == 0 || c == '\n') break;
    if (n < QEL_PAM_ANSWER_BUF - 1) buf[n++] = c;
  }
  if (EchoOff) {
    fputc('\n', pam_tty);
    fflush(pam_tty);
    pam_echo_restore();
  }
  if (opened) pam_close_tty();
  return result;
}

int qel_pam_auth(qelapi_tcontext_t* threadState, quor_connection_t* theConnection,
                 int* RetRetryFlags) {
  static const char* fn = "qel_pam_auth";
  if (RetRetryFlags) *RetRetryFlags = 0;
  if (!threadState || !theConnection) return -22;

  int authType = 0, cipher = 0;
  if (getSecurityParams(threadState, &authType, &cipher) != 0) {
    QEL_LOG(3, "Error obtaining server's security parameters");
    return -22;
  }
  if (!(cipher & quorex_GetCipherTypes())) {
    QEL_LOG(3, "Incompatible server/client cipher types - PAM authentication failed\n");
    return -22;
  }
  int rc = qel_genSessionKeyConn(threadState, theConnection);
  if (rc != 0) {
    QEL_LOG(3, "*** genSessionKey returned error %d - PAM authentication failed\n", rc);
    return -22;
  }

  if (!combo_user) {
    const char* env = getenv("QUOR_PRINCIPAL");
    if (env && quor_SetCombo(env, nullptr) != 0) return -12;
  }
  if (!isInteractiveSession && (!combo_user || !combo_password)) {
    QEL_LOG(3, "*** Not running interactively & username not set - PAM authentication failed\n!");
    return -22;
  }
  char typed[QEL_PRINCIPAL_MAX + 1] = {};
  if (combo_user) {
    strncpy(typed, combo_user, QEL_PRINCIPAL_MAX);
  } else {
    while (typed[0] == '\0') {
      if (qel_getPrincipal(typed, sizeof typed) != 0) {
        QEL_LOG(6, "Error opening /dev/tty");
        return -22;
      }
      size_t n = strlen(typed);
      while (n > 0 && (typed[n - 1] == ' ' || typed[n - 1] == '\t' || typed[n - 1] == '\r' ||
                       typed[n - 1] == '\n'))
        typed[--n] = '\0';
    }
  }
  // The name field goes whole, zero-filled after the name.
  unsigned char field[QEL_LOGIN_NAME_LEN] = {};
  memcpy(field, typed, strlen(typed));
  unsigned char encName[QEL_LOGIN_NAME_LEN + QEL_CIPHER_PAD];
  int encNameLen = 0;
  rc = quorex_Encrypt(cipher, theConnection->sess_key_len, theConnection->session_key,
                      QEL_LOGIN_NAME_LEN, field, &encNameLen, encName);
  OPENSSL_cleanse(field, sizeof field);
  if (rc != 0) {
    fprintf(stderr, "%s: Fatal error (%d) encrypting user name\n", fn, rc);
    return rc;
  }

  uint32_t t = uint32_t(qelapi_time());
  api_login_pam_t req;
  memset(&req, 0, sizeof req);
  req.prot_ver_major = QUOR_CLIENT_PROT_MAJOR;
  req.prot_ver_minor = QUOR_CLIENT_PROT_MINOR;
  req.client_pid = uint32_t(getpid());
  req.cipher_types = uint32_t(quorex_GetCipherTypes());
  req.enc_cipher_type = uint32_t(cipher);
  req.max_retries = 3;
  req.enc_username_size = uint32_t(encNameLen);
  req.enc_username = reinterpret_cast<char*>(encName);
  rc = qelapi_send_msg(QEL_CAT_AUTH, QEL_FN_AUTH_LoginPam, &req,
                       (xdrproc_t)qel_xdr_api_login_pam_t, 0, t, theConnection, threadState);
  OPENSSL_cleanse(encName, sizeof encName);
  if (rc != 0) {
    fprintf(stderr, "%s: Fatal error (%d) sending PAM Login message\n", fn, rc);
    return rc;
  }
  qel_login_sent = 1;

  pam_state st;
  st.ts = threadState;
  st.conn = theConnection;
  st.cipher = cipher;
  st.t = t;
  st.openedTTY = 0;
  int result = 0;
  // Every message of the exchange carries the log-in request's id, which
  // stays the awaited one: the answers expect no reply.
  qelapi_MoreReplies(threadState, 1, theConnection);
  for (;;) {
    api_login_rply_t lr;
    memset(&lr, 0, sizeof lr);
    api_msghdr_t hdr;
    memset(&hdr, 0, sizeof hdr);
    rc = qelapi_get_msg(threadState, &hdr, &lr, (xdrproc_t)qel_xdr_api_login_rply_t,
                        theConnection);
    if (rc != 0) {
      xdr_free((xdrproc_t)qel_xdr_api_login_rply_t, (char*)&lr);
      result = rc;
      break;
    }
    // A reply without a body (a gateway error) can announce nothing more;
    // waiting on would hang.
    bool hasBody = (hdr.msgFlags & API_MSGF_BODY) != 0;
    bool last = !hasBody || (lr.flags & QEL_LOGIN_FLAG_PAMLAST);
    if (hasBody && (lr.flags & QEL_LOGIN_FLAG_PAMCONV)) {
      api_pam_conv_req_t conv;
      memset(&conv, 0, sizeof conv);
      api_msghdr_t convHdr;
      memset(&convHdr, 0, sizeof convHdr);
      rc = qelapi_get_msg(threadState, &convHdr, &conv, (xdrproc_t)qel_xdr_api_pam_conv_req_t,
                          theConnection);
      if (rc == 0) {
        rc = pam_answer(&st, &convHdr, &conv);
        // The gateway waits for an answer that will not come: whatever it
        // sends next would be read as the reply to another request.
        if (rc != 0) qelapi_MarkBroken(theConnection);
      }
      xdr_free((xdrproc_t)qel_xdr_api_pam_conv_req_t, (char*)&conv);
      if (rc != 0) {
        xdr_free((xdrproc_t)qel_xdr_api_login_rply_t, (char*)&lr);
        result = rc;
        break;
      }
    }
    if (last) {
      if (hasBody) ozugw_SaveLoginReconnect(threadState, theConnection, &lr);
      if (RetRetryFlags)
        *RetRetryFlags = int(lr.flags & (QEL_LOGIN_FLAG_RETRY | QEL_LOGIN_FLAG_FAILED));
      result = hdr.errorcode;
      if (!hasBody && result == 0) result = -5000;
      xdr_free((xdrproc_t)qel_xdr_api_login_rply_t, (char*)&lr);
      break;
    }
    xdr_free((xdrproc_t)qel_xdr_api_login_rply_t, (char*)&lr);
  }
  qelapi_MoreReplies(threadState, 0, theConnection);
  if (st.openedTTY) pam_close_tty();
  OPENSSL_cleanse(typed, sizeof typed);
  return result;
}
