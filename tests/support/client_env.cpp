#include "client_env.h"

#include <stdlib.h>

#include <string>

#include "quor_api.h"
#include "quor_api_internal.h"

void clientEnv(const GwsimFixture& gw) {
  std::string server = "127.0.0.1/" + std::to_string(gw.port());
  setenv("QUOR_SERVER_HOST", server.c_str(), 1);
  setenv("QUOR_HOSTNAME", "localhost", 1);
  setenv("QUOR_CFG_FILE_PATH", gw.dir().c_str(), 1);
  setenv("QUOR_TEST_TIMESCALE", "1000", 1);
  unsetenv("QUOR_AUTH_METHOD");
  unsetenv("QUOR_NET_FAMILY");
  unsetenv("QUOR_USE_NETRC_FILE");
}

int clientLogin(const GwsimFixture& gw, const char* user, const char* password) {
  clientEnv(gw);
  int rc = quor_SetCombo(user, password);
  if (rc < 0) return rc;
  qelapi_tcontext_t* ts = nullptr;
  return qelapi_init(&ts);
}
