// Log-in internals: the process-wide method list and credentials, the
// driver's method table, the COMBO method, the security-parameter exchange
// and the terminal prompts. All prompts use "/dev/tty", never stdin/stdout.
//
// The state is process-wide and unlocked: one thread logs in at a time.
// Methods return 0 on success, -1 for a local failure that leaves the
// driver's result as it was, or another negative code that becomes it; they
// report the retry (0x40000000) and failed (0x20000000) bits of their last
// log-in reply through RetRetryFlags.
#ifndef QEL_AUTH_H
#define QEL_AUTH_H

#include <stdio.h>

#include "quor_api_internal.h"

// Result flags of a log-in reply.
#define QEL_LOGIN_FLAG_KEYXCHG 0x00000001u  // COMBO: run the key exchange first
#define QEL_LOGIN_FLAG_CLEAR 0x00000002u    // COMBO: password goes in clear
#define QEL_LOGIN_FLAG_PAMCONV 0x00000020u
#define QEL_LOGIN_FLAG_FAILED 0x20000000u
#define QEL_LOGIN_FLAG_RETRY 0x40000000u
#define QEL_LOGIN_FLAG_PAMLAST 0x80000000u

#define QEL_PRINCIPAL_MAX 256  // characters of a principal
#define QEL_PASSWORD_BUF 513   // password buffer, sent whole when encrypted

typedef int (*qel_auth_method_fn)(qelapi_tcontext_t* threadState, quor_connection_t* theConnection,
                                  int* RetRetryFlags);
typedef struct qel_auth_method {
  int code;  // QUOR_AUTH_*
  qel_auth_method_fn method;
} qel_auth_method_t;

// Stored credentials (owned copies, null when unset) and whether the last
// log-in found a usable controlling terminal.
extern char* combo_user;
extern char* combo_password;
extern int isInteractiveSession;
// Set by a method once its log-in request has gone to the gateway; the
// driver clears it before each method. A method that stops before (a local
// precondition is missing) has not been tried.
extern int qel_login_sent;

// The COMBO log-in on theConnection. A reply that wants an encrypted
// password on a connection without a session key runs the exchange first;
// a stored password is consumed by its first try.
int qel_combo_auth(qelapi_tcontext_t* threadState, quor_connection_t* theConnection,
                   int* RetRetryFlags);

// The KEYTAB log-in on theConnection: the stored keytab (else
// QUOR_KEYTAB_PATH, else -2) under the principal (else QUOR_PRINCIPAL),
// GARBLEd or encrypted with the session key as the gateway's cipher says.
// The file is opened afresh without following a link and refused, like
// quor_SetKeytabInfo does, if it is no longer a plain owner-only file. A
// used stored principal is wiped. Reports no retry or failed flags.
int qel_keytab_auth(qelapi_tcontext_t* threadState, quor_connection_t* theConnection,
                    int* RetRetryFlags);
// The keytab accepted by quor_SetKeytabInfo, or null; its version and the
// size measured then, when asked for.
const char* qel_keytab_file(int* version, uint32_t* size);
// Forgets the accepted keytab (tests).
void qel_keytab_state_reset(void);

// Answers a su or sudo challenge on the calling thread's connection:
// in_password for the first try, then "/dev/tty" while the gateway's reply
// still has retries. The response is the passcode text (use_otp), the
// 513-byte password buffer encrypted with cipher and the session key
// (methods LOCAL and COMBO), or empty; KEYTAB is refused (-1). use_crypt,
// use_md5, file, salt and the challenge do not change what is sent.
// 0, the gateway's code, -13 without a terminal when one is needed, -14
// without a thread context, or -1 for a local failure on the first try.
int ozugw_auth_do_challenge(int auth_mech, int use_otp, int use_crypt, int use_md5,
                            const char* in_principal, const char* in_password, const char* file,
                            const char* salt, int cipher, int in_challenge_size,
                            const char* in_challenge);

// Security-parameter exchange on the current connection: the gateway's
// chosen method and cipher. 0 or -1.
int getSecurityParams(qelapi_tcontext_t* threadState, int* retAuthType, int* retCipherType);

// Parses a QUOR_AUTH_METHOD value; the accepted methods become the list in
// force unless there are none. Returns how many were accepted, or -12.
int set_authmethod_from_env(const char* envStr);

// The method list in force and its length.
const int* qel_auth_list(int* count);

// Forgets the credentials and restores the default list COMBO, KEYTAB, PAM
// with nothing set by the program.
void qel_auth_state_reset(void);

// 1 when "/dev/tty" opens for reading and writing and is a terminal.
int qel_probe_interactive(void);

// Reads a password from "/dev/tty" with echo off, showing "[principal]" when
// principal is given. 0 (the answer may be empty) or -1 without a terminal.
int getPassword(const char* pw_prompt, const char* principal, char* pwbuf, int maxlen);
int getsSetNoEcho(void);
void getsResetTTY(void);
void getsSigHandler(int sig);

// The prompt loop of getPassword on an open terminal stream: up to two
// prompts while the answer is empty; the newline is stripped and the rest of
// an over-long line discarded.
void qel_prompt_password(FILE* tty, const char* pw_prompt, const char* principal, char* pwbuf,
                         int maxlen);
// Asks "Principal: " on "/dev/tty". 0, or -1 when the terminal cannot be
// opened or gives no line.
int qel_getPrincipal(char* buf, int buflen);
// The five-line box written before asking for the next token code.
void qel_write_token_box(FILE* tty);

// ---- PAM (qel_pam.cpp) ----
// The gateway's PAM stack asks its questions in batches, each the plain
// text of one encrypted conversation message: per message an 8-byte header
// (style in byte 0, big-endian msg_len in bytes 4-7) and msg_len bytes of
// text. The answer batch has per message an 8-byte header (big-endian
// resp_len, resp_retcode 0 in byte 4) and resp_len bytes: the answer with
// its zero byte, nothing for a message that asks nothing.
#define QEL_PAM_PROMPT_ECHO_OFF 1
#define QEL_PAM_PROMPT_ECHO_ON 2
#define QEL_PAM_ERROR_MSG 3
#define QEL_PAM_TEXT_INFO 4
#define QEL_PAM_MAX_MESSAGES 32
#define QEL_PAM_RECORD_HDR 8
#define QEL_PAM_ANSWER_BUF 512  // an answer is at most 511 characters

typedef struct ozu_pam_message {
  int msg_style;
  uint32_t msg_len;
} ozu_pam_message_t;

typedef struct ozu_pam_response {
  uint32_t resp_len;
  int resp_retcode;
} ozu_pam_response_t;

// The PAM log-in on theConnection: the user name encrypted with the session
// key, then one encrypted answer batch per conversation message until the
// log-in reply flagged 0x80000000, whose errorcode is the result and whose
// flags & 0x60000000 go to *RetRetryFlags. A batch that does not decrypt,
// has no or more than 32 messages, a record running past its end or a style
// other than 1-4 ends the log-in with -22 before anything of it is shown.
// Local failures are -22 (no terminal or name, key exchange, security
// parameters, cipher) or -12; a failed send or receive returns its code. A
// reply without a body ends the log-in with its errorcode (-5000 for 0).
int qel_pam_auth(qelapi_tcontext_t* threadState, quor_connection_t* theConnection,
                 int* RetRetryFlags);
// Asks Message on "/dev/tty" (echo off when EchoOff) and reads one line into
// a new zeroed QEL_PAM_ANSWER_BUF-byte buffer in *RetBuf, which the caller
// wipes and frees; it comes back whenever it could be allocated, so a failed
// prompt answers with an empty text. A longer line is cut at 511 characters
// and its rest discarded. 0, -1 (read error), -6 (no terminal) or -12.
int pamGetResponse(int EchoOff, const char* Message, char** RetBuf);
// Writes TextString (and a newline when AppendNewLine) to the terminal,
// opening it when needed (*OpenedTTY then becomes 1; the terminal stays
// open until the log-in ends). 0, or -6 when there is no terminal.
int pamSendToTTY(const char* TextString, int AppendNewLine, int* OpenedTTY);
// Opens "/dev/tty" unless it is open already; *Opened says whether it was
// opened here. 0, or -6 when it cannot be opened or is no terminal.
int pamOpenDevTTY(int* Opened);

#endif
