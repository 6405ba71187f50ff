// The environment of a client-library child that talks to one gwsim: this
// gateway only, the test's directory for QUOR.conf (none there unless the
// test writes one), the long waits shortened, and no method, address
// family, netrc, principal or keytab settings inherited from the caller.
//
// clientEnv        sets that environment; call it in the child before the
//                  library starts. A test that needs more (a method list,
//                  say) sets it after this call.
// clientEnvAs      clientEnv, then the user's name and password for the
//                  COMBO log-in, which happens when the library starts:
//                  0, or quor_SetCombo's negative code.
// clientLogin      clientEnvAs, then library start-up, which opens the
//                  connection and logs in: 0, or the first negative code.
//                  The thread's context goes to *ts when ts is given.
// clientEnvNetrc   clientEnv, then COMBO with the user's name and password
//                  from a private .netrc in the test's directory (HOME),
//                  read at every log-in: a process can log in again after
//                  its stored password was spent.
// clientDebugLog   the library's debug log, up to priority 6, into
//                  clientLogPath(gw) beside the journal; flushed entry by
//                  entry, since the child ends with _exit.
// clientLogPath    where that log goes.
// clientStartup    library start-up and the open of its start-up
//                  connection: the open's result, or 1 when the library
//                  cannot start (no log-in was tried).
// loopback         127.0.0.1, port 1217, as the library holds a gateway's
//                  address.
// loopbackName     the name the resolver gives that address ("127.0.0.1"
//                  when it gives none): the gateway's name for .netrc.
// writeNetrc       a private (0600) .netrc at path with one entry.
#ifndef TESTS_SUPPORT_CLIENT_ENV_H
#define TESTS_SUPPORT_CLIENT_ENV_H

#include <string>

#include "gwsim_fixture.h"
#include "quor_api_internal.h"

void clientEnv(const GwsimFixture& gw);
int clientEnvAs(const GwsimFixture& gw, const char* user, const char* password);
int clientLogin(const GwsimFixture& gw, const char* user, const char* password,
                qelapi_tcontext_t** ts = nullptr);
void clientEnvNetrc(const GwsimFixture& gw, const char* user, const char* password);
void clientDebugLog(const GwsimFixture& gw);
std::string clientLogPath(const GwsimFixture& gw);
int clientStartup();
quor_sockaddr_t loopback();
std::string loopbackName();
void writeNetrc(const std::string& path, const std::string& machine, const std::string& user,
                const std::string& password);

#endif
