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

// The COMBO log-in on theConnection. A reply that wants an encrypted
// password on a connection without a session key runs the exchange first;
// a stored password is consumed by its first try.
int qel_combo_auth(qelapi_tcontext_t* threadState, quor_connection_t* theConnection,
                   int* RetRetryFlags);

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

#endif
