// Session keys and ciphers of the log-in: the Diffie-Hellman exchange that
// gives a connection its session key, AES-128-CBC with a zero IV over a key
// repeated to the cipher's length, the one-time OpenSSL set-up, and GARBLE,
// the time-keyed scrambling of user names.
//
// Results are 0 (or a count) or a negative code: -22 bad argument or cipher,
// -12 no memory, -1 an OpenSSL failure.
//
// The Diffie-Hellman calls work on one parameter object per process: each
// call is atomic on its own, but SetDHParams, GenPubPrivKey and
// GenSessionKey form one sequence that no other exchange may interleave.
// genSessionKey holds a process-wide lock for its whole exchange; other
// users (the gateway simulator's side) must serialise the sequence under a
// mutex of their own, and must not share the process with a client that
// logs in at the same time.
#ifndef QEL_CRYPTO_H
#define QEL_CRYPTO_H

#include <openssl/evp.h>
#include <stdint.h>

#include "quor_api.h"  // cipher codes QUOR_CIPHER_*
#include "quor_api_internal.h"

// Room a caller leaves after the input for the padding block.
#define QEL_CIPHER_PAD 64
// Size of the error text buffer of the OpenSSL calls.
#define QEL_SSL_ERRBUF_LEN 256

// Session-key exchange on the thread's connection (else the current one),
// skipped when it already has a key. 0, or -1 with a priority-6 log line;
// a failure leaves the connection without a session key.
int genSessionKey(qelapi_tcontext_t* threadState);
// The same on a given connection: the messages travel on it and the key is
// stored into it.
int qel_genSessionKeyConn(qelapi_tcontext_t* threadState, quor_connection_t* conn);

// AES only (cipher 2): anything else, a key of no bytes or a negative length
// is -22 and leaves the outputs untouched. bufOut must hold bufInLength +
// 16 bytes (callers reserve QEL_CIPHER_PAD); *bufOutLength gets the output
// length. 0 or -1.
int quorex_Encrypt(int cipherType, int keyLength, const unsigned char* key, int bufInLength,
                   const unsigned char* bufIn, int* bufOutLength, unsigned char* bufOut);
int quorex_Decrypt(int cipherType, int keyLength, const unsigned char* key, int bufInLength,
                   const unsigned char* bufIn, int* bufOutLength, unsigned char* bufOut);

// Cipher 2, 4 or 8 in CBC mode with PKCS#7 padding. The first keyLength
// bytes of key (at most 64) are repeated up to the cipher's key length; the
// IV is all zeros. 0; -1 when no context can be had or the operation fails;
// -22 for another cipher code or an empty key. *retErrCode gets the OpenSSL
// error (0 when none) and retErrBuf, when given (QEL_SSL_ERRBUF_LEN bytes),
// its text.
int quorex_OpenSSLEncrypt(int cipherType, int keyLength, const unsigned char* key, int bufInLength,
                          const unsigned char* bufIn, int* bufOutLength, unsigned char* bufOut,
                          unsigned long* retErrCode, char* retErrBuf);
int quorex_OpenSSLDecrypt(int cipherType, int keyLength, const unsigned char* key, int bufInLength,
                          const unsigned char* bufIn, int* bufOutLength, unsigned char* bufOut,
                          unsigned long* retErrCode, char* retErrBuf);
// Sets up theCtx to encrypt (encryptFlag 1) or decrypt with cipher 2, 4 or
// 8; theIV null means all zeros. 0, -22 for another code, -1 on failure.
int quorex_OpenSSLEVPInit(int encryptFlag, int cipherType, EVP_CIPHER_CTX* theCtx,
                          const unsigned char* theEvpKey, const unsigned char* theIV);

// One-time set-up and seeding; every call returns the first call's result.
int quorex_OpenSSLInit(void);

// Replaces the process's parameters with p and g (big-endian bytes). p must
// be an odd number of at least 1024 bits and 1 < g < p-1. 0, -12, -22 or -1.
int quorex_OpenSSLSetDHParams(const unsigned char* dh_p_value, int dh_p_value_len,
                              const unsigned char* dh_g_value, int dh_g_value_len);
// New key pair for the parameters; the public value comes back as malloc'd
// big-endian bytes. 0, -22 (no parameters), -12 or -1.
int quorex_OpenSSLGenPubPrivKey(int* ret_pubkey_len, unsigned char** ret_pubkey);
// Shared secret with the peer's public value, as malloc'd bytes without
// leading zero bytes. A peer value outside 1 < y < p-1 is refused. 0, -22
// (no parameters or no key pair), -12 or -1.
int quorex_OpenSSLGenSessionKey(int in_pubkey_len, const unsigned char* in_pubkey, int* sesskey_len,
                                unsigned char** sesskey);

// Scrambles numChars bytes in place with a key taken from theTime; applying
// it twice with the same time restores them.
void garble(char* theBuf, int numChars, uint32_t theTime);

#endif
