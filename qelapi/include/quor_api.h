// Public calls of the client library that programs make directly.
#ifndef QUOR_API_H
#define QUOR_API_H

#include <stdint.h>

#include "quor_net.h"
#include "quor_types.h"

// ---- connections ----
int quorex_SetupConnection(const char* remoteServerHost, const char* remoteService,
                           int remotePort, int minPort, int maxPort, int* connectionHandle);
int quorex_OpenConnection(int theHandle);
int quorex_CloseConnection(int theHandle);
int quorex_CloseAllConnections(void);
int quorex_SetCurConnection(int theHandle, int* curHandle);
int quorex_GetCurConHandle(void);
int quorex_GetConnectionInfo(int theHandle, char** remoteServerHost, char** remoteAddr,
                             char** remoteService, int* remoteServerPort, int* minPort,
                             int* maxPort, int* remoteSocket);

// ---- request ids ----
quor_reqid_t quor_GetUniqueRequestID(void);
uint32_t quor_RequestIDtoU32(quor_reqid_t ReqId);
uint64_t quor_RequestIDtoU64(quor_reqid_t ReqId);
int quor_RequestIDCompare(const quor_reqid_t* lhs, const quor_reqid_t* rhs);
char* quor_RequestIDtoString(quor_reqid_t ReqId);

// ---- log-in methods and credentials ----
#define QUOR_AUTH_LOCAL 2
#define QUOR_AUTH_KERBEROS 8
#define QUOR_AUTH_COMBO 16
#define QUOR_AUTH_MUNGE 32
#define QUOR_AUTH_KEYTAB 64
#define QUOR_AUTH_IDENT 128
#define QUOR_AUTH_GSI 256
#define QUOR_AUTH_PAM 512
#define QUOR_AUTH_RECONNECT 0x8000

#define QUOR_CIPHER_GARBLE 1
#define QUOR_CIPHER_AES 2
#define QUOR_CIPHER_BLOWFISH 4
#define QUOR_CIPHER_3DES 8

// ---- log-in (methods, credentials, ciphers) ----
// Method list: quor_SetAuthType selects one method (16, 64, 512 or 0x8000;
// -22 otherwise); quor_SetAuthMethodList takes the supported methods of a
// list in order, warning on standard error about the others (0, or -22).
int quor_SetAuthType(int theAuthType);
int quor_SetAuthMethodList(int count, const int* theAuthList);
// The method at the log-in position: the first before a log-in, the one
// that logged in, or the last one tried when all failed; *authCount, when
// given, gets the list length.
int quor_GetAuthType(int* authCount);
// Stores copies of the principal and/or password; null leaves one as it
// was. 0 or -12.
int quor_SetCombo(const char* name, const char* password);
// The methods and ciphers this client supports, as bit sets.
int quorex_GetAuthMethods(void);
int quorex_GetCipherTypes(void);
// Names of the set method bits, each followed by a blank, in a static
// buffer that the next call overwrites.
char* quorex_AuthTypesToString(int bitList);

#endif
