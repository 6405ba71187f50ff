// The KEYTAB log-in and the keytab it sends. A keytab is a secret: it is
// taken only as an owner-only plain file, and its plain bytes are wiped as
// soon as they are sent.
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <openssl/crypto.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <vector>

#include "msg_conn.h"
#include "qel_auth.h"
#include "qel_crypto.h"
#include "quor_api.h"

namespace {

char* keytab_file = nullptr;
int key_version = -1;
uint32_t keytab_size = 0;

// Largest keytab that still fits the size word and the cipher's length
// argument once padded.
const off_t kMaxKeytab = INT_MAX - QEL_CIPHER_PAD;

const char* const kPermsText = "*** Keytab file has non-owner perms set: %s\n";

// Reads the keytab into *out: exactly keytab_size bytes of a file that is
// still a plain owner-only file. 0, or -12, a negated errno, -9, -1 or -14.
int read_keytab(std::vector<unsigned char>* out) {
  // A link put in the file's place since it was accepted is not followed.
  int fd = open(keytab_file, O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return errno == ELOOP ? -9 : -errno;
  struct stat st;
  if (fstat(fd, &st) != 0) {
    int e = errno;
    close(fd);
    return -e;
  }
  if (!S_ISREG(st.st_mode)) {
    close(fd);
    return -9;
  }
  if (st.st_mode & 077) {
    fprintf(stderr, kPermsText, keytab_file);
    close(fd);
    return -1;
  }
  try {
    out->assign(keytab_size, 0);
  } catch (...) {
    close(fd);
    return -12;
  }
  size_t got = 0;
  while (got < keytab_size) {
    ssize_t n = read(fd, out->data() + got, keytab_size - got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += size_t(n);
  }
  close(fd);
  if (got < keytab_size) {
    OPENSSL_cleanse(out->data(), out->size());
    return -14;
  }
  return 0;
}

}  // namespace

int quor_SetKeytabInfo(const char* principal, const char* filename, int version) {
  if (!filename) return -14;
  if (!*filename) return -2;
  if (access(filename, R_OK) != 0) return -errno;
  struct stat st;
  if (lstat(filename, &st) != 0) return -errno;
  if (!S_ISREG(st.st_mode)) return -9;
  if (st.st_mode & 077) {
    fprintf(stderr, kPermsText, filename);
    return -1;
  }
  if (st.st_size > kMaxKeytab) return -27;
  // Only a keytab that passed every check is remembered.
  char* name = strdup(filename);
  if (!name) return -12;
  if (principal && quor_SetCombo(principal, nullptr) != 0) {
    free(name);
    return -12;
  }
  free(keytab_file);
  keytab_file = name;
  key_version = version;
  keytab_size = uint32_t(st.st_size);
  return 0;
}

const char* qel_keytab_file(int* version, uint32_t* size) {
  if (version) *version = key_version;
  if (size) *size = keytab_size;
  return keytab_file;
}

void qel_keytab_state_reset(void) {
  free(keytab_file);
  keytab_file = nullptr;
  key_version = -1;
  keytab_size = 0;
}

int qel_keytab_auth(qelapi_tcontext_t* threadState, quor_connection_t* theConnection,
                    int* RetRetryFlags) {
  static const char* fn = "qel_keytab_auth";
  if (RetRetryFlags) *RetRetryFlags = 0;
  if (!threadState || !theConnection) return -1;

  if (!keytab_file) {
    const char* env = getenv("QUOR_KEYTAB_PATH");
    if (!env) return -2;
    int rc = quor_SetKeytabInfo(nullptr, env, key_version);
    if (rc != 0) return rc;
  }
  if (!combo_user) {
    const char* env = getenv("QUOR_PRINCIPAL");
    if (env && quor_SetCombo(env, nullptr) != 0) return -12;
  }
  bool have_principal = combo_user && combo_user[0];
  if (!isInteractiveSession && !have_principal) {
    QEL_LOG(6, "Not running interactively - can't get principal name!");
    return -1;
  }

  int auth_type = 0, cipher = 0;
  if (getSecurityParams(threadState, &auth_type, &cipher) != 0) {
    QEL_LOG(6, "Error obtaining server's security parameters");
    return -2;
  }
  if (cipher != QUOR_CIPHER_GARBLE) {
    int rc = qel_genSessionKeyConn(threadState, theConnection);
    if (rc != 0) {
      fprintf(stderr, "%s: genSessionKey returned error %d", fn, rc);
      QEL_LOG(6, "%s: genSessionKey returned error %d", fn, rc);
      return -1;
    }
  }

  api_login_keytab_t req;
  memset(&req, 0, sizeof req);
  if (have_principal) {
    strncpy(req.principal, combo_user, QEL_PRINCIPAL_MAX);
    // Wiped and forgotten: an empty name left stored would be sent by every
    // later log-in instead of asking or reading QUOR_PRINCIPAL again.
    OPENSSL_cleanse(combo_user, strlen(combo_user));
    free(combo_user);
    combo_user = nullptr;
  } else {
    if (qel_getPrincipal(req.principal, QEL_PRINCIPAL_MAX + 1) != 0) {
      QEL_LOG(6, "Error opening /dev/tty");
      return -2;
    }
  }

  std::vector<unsigned char> plain;
  int rc = read_keytab(&plain);
  if (rc != 0) return rc;
  auto wipe_plain = [&]() { OPENSSL_cleanse(plain.data(), plain.size()); };

  uint32_t t = uint32_t(qelapi_time());
  garble(req.principal, QEL_LOGIN_NAME_LEN, t);
  std::vector<unsigned char> sent;
  if (cipher == QUOR_CIPHER_GARBLE) {
    garble(reinterpret_cast<char*>(plain.data()), int(plain.size()), t);
    req.keytab_size = uint32_t(plain.size());
    req.keytab = reinterpret_cast<char*>(plain.data());
  } else {
    try {
      sent.assign(plain.size() + QEL_CIPHER_PAD, 0);
    } catch (...) {
      wipe_plain();
      return -12;
    }
    int outlen = 0;
    rc = quorex_Encrypt(cipher, theConnection->sess_key_len, theConnection->session_key,
                        int(plain.size()), plain.data(), &outlen, sent.data());
    wipe_plain();
    if (rc != 0) {
      fprintf(stderr, "%s: Fatal error (%d) encrypting password\n", fn, rc);
      return -1;
    }
    req.keytab_size = uint32_t(outlen);
    req.keytab = reinterpret_cast<char*>(sent.data());
  }
  req.prot_ver_major = QUOR_CLIENT_PROT_MAJOR;
  req.prot_ver_minor = QUOR_CLIENT_PROT_MINOR;
  req.client_pid = uint32_t(getpid());
  req.flags = 0;
  req.cipher_type = uint32_t(cipher);
  req.key_version = uint32_t(key_version);

  rc = qelapi_send_msg(QEL_CAT_AUTH, QEL_FN_AUTH_LoginKeytab, &req,
                       (xdrproc_t)qel_xdr_api_login_keytab_t, 0, t, theConnection, threadState);
  wipe_plain();
  OPENSSL_cleanse(sent.data(), sent.size());
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
  ozugw_SaveLoginReconnect(threadState, theConnection, &lr);
  xdr_free((xdrproc_t)qel_xdr_api_login_rply_t, (char*)&lr);
  if (hdr.errorcode != 0) {
    QEL_LOG(6, "Keytab Authorization call returned error %d", hdr.errorcode);
    return hdr.errorcode;
  }
  return 0;
}
