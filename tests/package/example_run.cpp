#include "example_run.h"
#include "gwsim_config.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/stat.h>

#include <fstream>

const std::string kExampleGateway = [] {
  GwsimConfig c;
  c.user("alice", "wonderland").set("Uid", 1001).set("Gid", 100);
  c.dir("/").set("Uid", 1001).set("Gid", 100).set("Mode", "0755");
  return c.text();
}();

EnvChanges exampleEnv(const GwsimFixture& gw, const EnvChanges& extra) {
  EnvChanges env = {
      {"QUOR_SERVER_HOST", "127.0.0.1/" + std::to_string(gw.port())},
      {"QUOR_HOSTNAME", "localhost"},
      {"QUOR_CFG_FILE_PATH", gw.dir()},
      {"HOME", gw.dir()},
      {"QUOR_USE_NETRC_FILE", "1"},
      {"QUOR_AUTH_METHOD", std::nullopt},
      {"QUOR_NET_FAMILY", std::nullopt},
      {"QUOR_PRINCIPAL", std::nullopt},
      {"QUOR_KEYTAB_PATH", std::nullopt},
      {"QUOR_API_DEBUG", std::nullopt},
  };
  for (const auto& [name, value] : extra) env[name] = value;
  return env;
}

void writeNetrc(const GwsimFixture& gw, const std::string& password) {
  sockaddr_in in{};
  in.sin_family = AF_INET;
  in.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  char name[NI_MAXHOST] = "";
  ASSERT_EQ(getnameinfo(reinterpret_cast<const sockaddr*>(&in), sizeof in, name, sizeof name,
                        nullptr, 0, 0),
            0);
  std::string path = gw.dir() + "/.netrc";
  std::ofstream(path) << "machine " << name << " login alice password " << password << "\n";
  ASSERT_EQ(chmod(path.c_str(), 0600), 0);
}

void expectExampleMakesDirectory(const GwsimFixture& gw, const std::string& binary,
                                 const std::string& dir, const std::vector<std::string>& args,
                                 const EnvChanges& extra, bool existing) {
  SCOPED_TRACE(binary + " " + dir);
  std::vector<std::string> argv = {binary, dir};
  argv.insert(argv.end(), args.begin(), args.end());
  CommandResult r = runCommand(argv, exampleEnv(gw, extra), 60);
  EXPECT_EQ(r.status, 0) << r.output;
  // The listing comes in the gateway's order.
  std::string listing = dir + " holds:\n  .\n  ..\n";
  if (r.output.find(listing) == std::string::npos) listing = dir + " holds:\n  ..\n  .\n";
  const std::string expected[] = {
      "logged in; working directory /\n",
      existing ? dir + " is there already\n" : "made " + dir + "\n",
      listing,
      dir + ": directory, mode 755, owner 1001, group 100, 2 links\n",
  };
  size_t at = 0;
  for (const std::string& line : expected) {
    size_t found = r.output.find(line, at);
    EXPECT_NE(found, std::string::npos) << "expected, in this order: " << line << "output:\n"
                                        << r.output;
    if (found != std::string::npos) at = found + line.size();
  }
  struct stat st;
  std::string inRoot = gw.rootDir() + dir;
  ASSERT_EQ(stat(inRoot.c_str(), &st), 0) << inRoot;
  EXPECT_TRUE(S_ISDIR(st.st_mode));
}
