#include "client_env.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <sys/stat.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <string.h>

#include <fstream>
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
  unsetenv("QUOR_PRINCIPAL");
  unsetenv("QUOR_KEYTAB_PATH");
}

int clientEnvAs(const GwsimFixture& gw, const char* user, const char* password) {
  clientEnv(gw);
  return quor_SetCombo(user, password);
}

int clientLogin(const GwsimFixture& gw, const char* user, const char* password,
                qelapi_tcontext_t** ts) {
  int rc = clientEnvAs(gw, user, password);
  if (rc < 0) return rc;
  qelapi_tcontext_t* own = nullptr;
  return qelapi_init(ts ? ts : &own);
}

void clientEnvNetrc(const GwsimFixture& gw, const char* user, const char* password) {
  writeNetrc(gw.dir() + "/.netrc", loopbackName(), user, password);
  clientEnv(gw);
  setenv("HOME", gw.dir().c_str(), 1);
  setenv("QUOR_USE_NETRC_FILE", "", 1);
  setenv("QUOR_AUTH_METHOD", "combo", 1);
}

void clientDebugLog(const GwsimFixture& gw) {
  setenv("QUOR_API_DEBUG", "127", 1);
  setenv("QUOR_API_DEBUG_FLAGS", "f", 1);
  setenv("QUOR_API_DEBUG_PATH", clientLogPath(gw).c_str(), 1);
}

std::string clientLogPath(const GwsimFixture& gw) { return gw.dir() + "/client.log"; }

int clientStartup() {
  if (qel_LibInit() != 0) return 1;
  return quorex_OpenConnection(quorex_GetCurConHandle());
}

quor_sockaddr_t loopback() {
  quor_sockaddr_t addr;
  memset(&addr, 0, sizeof addr);
  auto* in = reinterpret_cast<sockaddr_in*>(&addr.hs_addr);
  in->sin_family = AF_INET;
  in->sin_port = htons(1217);
  in->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.hs_addrlen = sizeof *in;
  return addr;
}

std::string loopbackName() {
  quor_sockaddr_t addr = loopback();
  char name[NI_MAXHOST] = "";
  if (getnameinfo(reinterpret_cast<const sockaddr*>(&addr.hs_addr), addr.hs_addrlen, name,
                  sizeof name, nullptr, 0, 0) != 0)
    return "127.0.0.1";
  return name;
}

void writeNetrc(const std::string& path, const std::string& machine, const std::string& user,
                const std::string& password) {
  {
    std::ofstream out(path, std::ios::trunc);
    out << "machine " << machine << " login " << user << " password " << password << "\n";
  }
  chmod(path.c_str(), 0600);
}
