// The start-up log-in set-up and the per-connection caches of user and
// group names.
#ifndef OZU_LOGIN_H
#define OZU_LOGIN_H

#include <stdint.h>

#include "quor_types.h"

typedef struct ozu_login {
  char *ozuuname;
  char *homeDir;
  int uid, gid;
  acct_rec_t acctId;
  acct_rec_t defaultAcctId;
} ozu_login_t;

// Chooses the site, host, port, method, credentials and login name, hands
// them to the library and logs in (opening the gateway log): 0, or a
// negative result after a message on errFile.
int gatewaySetup(ozu_login_t *loginInfo);
void gatewayShutdown(void);
int ozu_GetLoginGroups(int32_t **group_list);
[[noreturn]] void init_fatal_error(const char *msg);
[[noreturn]] void init_malloc_error(const char *txt);

// Names and ids through the connection's cache, then the gateway.
long lookupUid(const char *name);
long lookupGid(const char *name);
// Never null; a static buffer valid until the next call.
const char *lookupUname(long id);
const char *lookupGname(long id);
// New string the caller frees, or null.
char *lookupHomeDir(const char *who);

#endif
