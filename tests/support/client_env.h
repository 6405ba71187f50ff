// The environment of a client-library child that talks to one gwsim: this
// gateway only, the test's directory for QUOR.conf (none there unless the
// test writes one), the long waits shortened, and no method, address family
// or netrc settings inherited from the caller.
//
// clientEnv    sets that environment; call it in the child before the
//              library starts.
// clientLogin  clientEnv, then the user's name and password for the COMBO
//              log-in, then library start-up, which opens the connection and
//              logs in: 0, or start-up's negative code.
#ifndef TESTS_SUPPORT_CLIENT_ENV_H
#define TESTS_SUPPORT_CLIENT_ENV_H

#include "gwsim_fixture.h"

void clientEnv(const GwsimFixture& gw);
int clientLogin(const GwsimFixture& gw, const char* user, const char* password);

#endif
