// The gateway's side of the PAM log-in: a scripted conversation per user.
//
// gw_PamLoad        reads a user's Pam block (Batch blocks of Message,
//                   Answer, MsgLen, NoZero, Count, Undecryptable; see
//                   gwsim/README.md) into u->pam: 0, or -22 with the line
//                   and the reason in *line and *why.
// gw_HandleLoginPam 0x0200/0x0100: decrypts the user name with the session
//                   key; for a known user sends each batch of the script
//                   (a log-in reply flagged 0x20, then the encrypted
//                   conversation message, both on the log-in's request id)
//                   and reads the client's task message 0x0200/0x0021, which
//                   must echo that id and the thread id and answer every
//                   question as scripted. The final log-in reply is flagged
//                   0x80000000 with 0 or -10003. A user without a script is
//                   asked "Password: " once for the Password. Returns 1
//                   without a reply when the client sends another request
//                   instead of its answer, -1 when it goes away.
#ifndef GWSIM_AUTH_PAM_H
#define GWSIM_AUTH_PAM_H

#include <string>

#include "gwsim.h"
#include "quorcfgx_stanza.h"

typedef struct gw_pam_message {
  int style;
  std::string text;
  int hasAnswer;       // an expected answer was given
  std::string answer;  // the answer of a question (style 1 or 2)
  int64_t msgLen;      // msg_len as sent; -1: the text's own length
  int noZero;          // the text goes without its zero byte
} gw_pam_message_t;

typedef struct gw_pam_batch {
  std::vector<gw_pam_message_t> msgs;
  int hasCount;       // count was given
  int32_t count;      // msg_count as sent instead of the number of messages
  int undecryptable;  // sent as bytes that do not decrypt
} gw_pam_batch_t;

struct gw_pam_script {
  std::vector<gw_pam_batch_t> batches;
};

int gw_PamLoad(quor_cfg_stanza_t* block, gw_user_t* u, unsigned* line, std::string* why);
int gw_HandleLoginPam(gw_conn_t* conn, const api_msghdr_t* hdr, void* req, gw_reply_t* reply);

#endif
