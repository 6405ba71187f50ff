// PAM log-in of gwsim. The batches are packed and the answers unpacked here
// from the record layout itself, not with the client's code, so that a
// fault in either shows as a failed log-in or a journal note.
#include "auth_pam.h"

#include <openssl/crypto.h>
#include <string.h>
#include <strings.h>
#include <time.h>

#include "config_values.h"
#include "reply.h"
#include "journal.h"
#include "qel_crypto.h"

#define GW_ERR_AUTH (-10003)
#define GW_PAM_CONV 0x00000020u
#define GW_PAM_LAST 0x80000000u
#define GW_PAM_TASK_WAIT_MS 30000

// ---- configuration ----

static int bad(unsigned* line, std::string* why, const quor_cfg_stanza_t* e,
               const std::string& text) {
  *line = e->LineNum;
  *why = text;
  return -22;
}

static const char* value_of(const quor_cfg_stanza_t* e) {
  return e->type == CFG_SIMPLE_TYPE && e->KeyValue ? e->KeyValue : nullptr;
}

static int load_batch(quor_cfg_stanza_t* be, gw_pam_batch_t* b, unsigned* line,
                      std::string* why) {
  b->hasCount = 0;
  b->count = 0;
  b->undecryptable = 0;
  for (quor_cfg_stanza_t* e = be->substanzaList; e; e = e->next) {
    const char* v = value_of(e);
    gw_pam_message_t* last = b->msgs.empty() ? nullptr : &b->msgs.back();
    int64_t n;
    if (e->type == CFG_FLAG_TYPE && !strcasecmp(e->KeyString, "Undecryptable")) {
      b->undecryptable = 1;
    } else if (e->type == CFG_FLAG_TYPE && !strcasecmp(e->KeyString, "NoZero")) {
      if (!last) return bad(line, why, e, "NoZero before any Message");
      last->noZero = 1;
    } else if (!v) {
      return bad(line, why, e, std::string("unknown Batch key ") + e->KeyString);
    } else if (!strcasecmp(e->KeyString, "Message")) {
      // "STYLE TEXT": any style from 0 to 255, so that bad ones can be sent.
      std::string s(v);
      size_t sp = s.find_first_of(" \t");
      std::string num = s.substr(0, sp);
      if (gw_ParseNumber(num.c_str(), 0, 255, &n) < 0)
        return bad(line, why, e, "bad Message style");
      gw_pam_message_t m{};
      m.style = int(n);
      if (sp != std::string::npos) {
        size_t at = s.find_first_not_of(" \t", sp);
        if (at != std::string::npos) m.text = s.substr(at);
      }
      m.msgLen = -1;
      b->msgs.push_back(m);
    } else if (!strcasecmp(e->KeyString, "Answer")) {
      if (!last || (last->style != 1 && last->style != 2))
        return bad(line, why, e, "Answer needs a question (Message of style 1 or 2)");
      last->hasAnswer = 1;
      last->answer = v;
    } else if (!strcasecmp(e->KeyString, "MsgLen")) {
      if (!last) return bad(line, why, e, "MsgLen before any Message");
      if (gw_ParseNumber(v, 0, 0xffffffffLL, &n) < 0) return bad(line, why, e, "bad MsgLen");
      last->msgLen = n;
    } else if (!strcasecmp(e->KeyString, "Count")) {
      if (gw_ParseNumber(v, INT32_MIN, INT32_MAX, &n) < 0) return bad(line, why, e, "bad Count");
      b->hasCount = 1;
      b->count = int32_t(n);
    } else {
      return bad(line, why, e, std::string("unknown Batch key ") + e->KeyString);
    }
  }
  return 0;
}

int gw_PamLoad(quor_cfg_stanza_t* block, gw_user_t* u, unsigned* line, std::string* why) {
  auto script = std::make_shared<gw_pam_script>();
  for (quor_cfg_stanza_t* e = block->substanzaList; e; e = e->next) {
    if (e->type != CFG_COMPOUND_TYPE || strcasecmp(e->KeyString, "Batch") != 0)
      return bad(line, why, e, std::string("unknown Pam key ") + e->KeyString);
    gw_pam_batch_t b;
    if (load_batch(e, &b, line, why) < 0) return -22;
    script->batches.push_back(std::move(b));
  }
  if (script->batches.empty()) return bad(line, why, block, "Pam needs a Batch");
  u->pam = script;
  return 0;
}

// ---- the exchange ----

static void put_be32(std::vector<unsigned char>* out, uint32_t v) {
  out->push_back((unsigned char)(v >> 24));
  out->push_back((unsigned char)(v >> 16));
  out->push_back((unsigned char)(v >> 8));
  out->push_back((unsigned char)v);
}

static uint32_t get_be32(const unsigned char* p) {
  return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3];
}

static std::string hex(const unsigned char* p, size_t n) {
  static const char digits[] = "0123456789abcdef";
  std::string s;
  for (size_t i = 0; i < n; i++) {
    s += digits[p[i] >> 4];
    s += digits[p[i] & 15];
  }
  return s;
}

static std::string printable(const std::string& s) {
  std::string out;
  for (char c : s) out += (c > ' ' && c < 0x7f) ? c : '?';
  return out;
}

static int crypt_block(gw_conn_t* conn, bool encrypt, const unsigned char* in, size_t inLen,
                       std::vector<unsigned char>* out) {
  if (conn->sessionKey.empty() || inLen > QEL_XDR_MAX_BLOCK) return -1;
  out->assign(inLen + QEL_CIPHER_PAD, 0);
  int outLen = 0;
  int keyLen = int(conn->sessionKey.size());
  const unsigned char* key = conn->sessionKey.data();
  int cipher = int(conn->cfg->cipher);
  int rc = encrypt ? quorex_Encrypt(cipher, keyLen, key, int(inLen), in, &outLen, out->data())
                   : quorex_Decrypt(cipher, keyLen, key, int(inLen), in, &outLen, out->data());
  if (rc != 0 || outLen < 0) return -1;
  out->resize(size_t(outLen));
  return 0;
}

// The user name of the request, decrypted with the session key. 0 or -1.
static int request_name(gw_conn_t* conn, const api_login_pam_t* rq, std::string* name) {
  name->clear();
  if (!rq->enc_username || rq->enc_cipher_type != conn->cfg->cipher) return -1;
  std::vector<unsigned char> plain;
  if (crypt_block(conn, false, reinterpret_cast<const unsigned char*>(rq->enc_username),
                  rq->enc_username_size, &plain) < 0 ||
      plain.size() != QEL_LOGIN_NAME_LEN)
    return -1;
  const char* p = reinterpret_cast<const char*>(plain.data());
  name->assign(p, strnlen(p, plain.size()));
  return 0;
}

static void build_header(api_msghdr_t* h, const api_msghdr_t* req, uint32_t thread) {
  ozugw_BuildMsgHdr(h, req->msgRequestID, 0, uint32_t(time(nullptr)), thread, req->category,
                    req->function, 0);
}

// Sends the log-in reply that announces a conversation message, then the
// message with batch b. 0, or -1 when the client is gone.
static int send_batch(gw_conn_t* conn, const api_msghdr_t* req, uint32_t thread, size_t num,
                      const gw_pam_batch_t* b) {
  std::vector<unsigned char> packed;
  for (const gw_pam_message_t& m : b->msgs) {
    size_t textLen = m.text.size() + (m.noZero ? 0 : 1);
    packed.push_back((unsigned char)m.style);
    packed.insert(packed.end(), 3, 0);
    put_be32(&packed, uint32_t(m.msgLen >= 0 ? m.msgLen : int64_t(textLen)));
    packed.insert(packed.end(), m.text.begin(), m.text.end());
    if (!m.noZero) packed.push_back(0);
  }
  std::vector<unsigned char> enc;
  if (b->undecryptable) {
    // Not a whole number of cipher blocks: no key decrypts it.
    enc.assign(37, 0x5a);
  } else if (crypt_block(conn, true, packed.data(), packed.size(), &enc) < 0) {
    return -1;
  }

  api_msghdr_t h;
  build_header(&h, req, thread);
  api_login_rply_t lr;
  memset(&lr, 0, sizeof lr);
  lr.flags = GW_PAM_CONV;
  lr.cipher_types = QUOR_CIPHER_AES;
  lr.cipher_to_use = conn->cfg->cipher;
  if (gw_SendMessage(conn, &h, (xdrproc_t)qel_xdr_api_login_rply_t, &lr) < 0) return -1;

  api_pam_conv_req_t cr;
  cr.msg_count = b->hasCount ? b->count : int32_t(b->msgs.size());
  cr.enc_conv_req_msglen = uint32_t(enc.size());
  cr.enc_conv_req_msgbuf = reinterpret_cast<char*>(enc.data());
  gw_JournalLine("conn=%d pam-conv id=%u thread=%u batch=%zu count=%d len=%zu", conn->num,
                 req->msgRequestID, thread, num, cr.msg_count, enc.size());
  return gw_SendMessage(conn, &h, (xdrproc_t)qel_xdr_api_pam_conv_req_t, &cr);
}

// Checks the client's answer to batch b and journals it with the decrypted
// answer batch in hex. True when it answers every question as scripted.
static bool check_answer(gw_conn_t* conn, const api_msghdr_t* req, uint32_t thread,
                         const gw_pam_batch_t* b, const api_msghdr_t* th,
                         const api_pam_conv_rply_t* tr) {
  std::string notes;
  if (th->msgRequestID != req->msgRequestID) notes += " wrong-id";
  if (th->threadID != thread) notes += " wrong-thread";
  std::vector<unsigned char> plain;
  bool readable = tr->enc_conv_reply_msgbuf &&
                  crypt_block(conn, false,
                              reinterpret_cast<const unsigned char*>(tr->enc_conv_reply_msgbuf),
                              tr->enc_conv_reply_msglen, &plain) == 0;
  if (!readable) {
    notes += " undecryptable";
  } else {
    bool wellFormed = size_t(tr->reply_count) == b->msgs.size();
    bool right = true;
    size_t pos = 0;
    for (const gw_pam_message_t& m : b->msgs) {
      if (!wellFormed || plain.size() - pos < 8) {
        wellFormed = false;
        break;
      }
      uint32_t len = get_be32(plain.data() + pos);
      bool zeros = plain[pos + 4] == 0 && plain[pos + 5] == 0 && plain[pos + 6] == 0 &&
                   plain[pos + 7] == 0;
      pos += 8;
      bool question = m.style == 1 || m.style == 2;
      if (!zeros || len > plain.size() - pos || (question ? len == 0 : len != 0)) {
        wellFormed = false;
        break;
      }
      if (question) {
        const char* text = reinterpret_cast<const char*>(plain.data() + pos);
        if (strnlen(text, len) != len - 1) {
          wellFormed = false;
          break;
        }
        if (m.hasAnswer && m.answer != text) right = false;
      }
      pos += len;
    }
    if (wellFormed && pos != plain.size()) wellFormed = false;
    if (!wellFormed)
      notes += " bad-batch";
    else if (!right)
      notes += " wrong-answer";
  }
  gw_JournalLine("conn=%d cat=0x%04x fn=0x%04x id=%u flags=0x%08x thread=%u count=%d answers=%s%s",
                 conn->num, unsigned(th->category), unsigned(th->function), th->msgRequestID,
                 th->msgFlags, th->threadID, tr->reply_count,
                 hex(plain.data(), plain.size()).c_str(), notes.c_str());
  if (!plain.empty()) OPENSSL_cleanse(plain.data(), plain.size());
  return notes.empty();
}

int gw_HandleLoginPam(gw_conn_t* conn, const api_msghdr_t* hdr, void* req, gw_reply_t* reply) {
  const api_login_pam_t* rq = static_cast<const api_login_pam_t*>(req);
  conn->user = nullptr;
  conn->loggedIn = 0;
  conn->loginTime = hdr->msgTime;
  std::string name;
  int32_t result = 0;
  if (request_name(conn, rq, &name) < 0) {
    conn->note = " user-undecryptable";
    result = GW_ERR_AUTH;
  } else {
    conn->note = " user=" + printable(name);
  }
  const gw_user_t* u = result == 0 ? gw_FindUser(conn->cfg, name.c_str()) : nullptr;
  if (!u) result = GW_ERR_AUTH;
  if (u) {
    gw_pam_script fallback;
    const gw_pam_script* script = u->pam.get();
    if (!script) {
      gw_pam_batch_t b{};
      b.msgs.push_back(gw_pam_message_t{1, "Password: ", 1, u->password, -1, 0});
      fallback.batches.push_back(b);
      script = &fallback;
    }
    // Any id but 0, which a request carries.
    uint32_t thread = uint32_t(conn->rng()) | 0x100u;
    for (size_t i = 0; i < script->batches.size() && result == 0; i++) {
      const gw_pam_batch_t* b = &script->batches[i];
      if (send_batch(conn, hdr, thread, i + 1, b) < 0) return -1;
      api_msghdr_t th;
      api_pam_conv_rply_t tr;
      memset(&tr, 0, sizeof tr);
      int rc = gw_ReadTask(conn, QEL_CAT_AUTH, QEL_FN_AUTH_PamConvRply, &th,
                           (xdrproc_t)qel_xdr_api_pam_conv_rply_t, &tr, GW_PAM_TASK_WAIT_MS);
      if (rc == 0 && !check_answer(conn, hdr, thread, b, &th, &tr)) result = GW_ERR_AUTH;
      xdr_free((xdrproc_t)qel_xdr_api_pam_conv_rply_t, (char*)&tr);
      if (rc < 0) return -1;
      if (rc > 0) {
        // The client gave up on the conversation: its log-in gets no reply.
        gw_JournalLine("conn=%d pam-abandoned id=%u", conn->num, hdr->msgRequestID);
        return 1;
      }
    }
  }
  if (result == 0) {
    conn->user = u;
    conn->loggedIn = 1;
  }
  api_login_rply_t r;
  memset(&r, 0, sizeof r);
  r.flags = GW_PAM_LAST;
  r.error_code = result;
  r.cipher_types = QUOR_CIPHER_AES;
  r.cipher_to_use = conn->cfg->cipher;
  reply->errorcode = result;
  return gw_ReplyWithBody(reply, (xdrproc_t)qel_xdr_api_login_rply_t, &r);
}
