// Runs the example programs (examples/) against a gateway simulator and
// checks what they report.
//
// kExampleGateway  the simulator's configuration: alice (uid 1001, gid 100)
//                  owns the namespace's root.
// exampleEnv       the environment of an example run against gw: that
//                  gateway only, the simulator's directory as HOME (with
//                  the .netrc that writeNetrc made there) and .netrc
//                  log-in on, nothing else inherited that could change the
//                  log-in. extra is applied last.
// writeNetrc       the .netrc in gw's directory, private, with alice's
//                  entry for the gateway under the name the client will
//                  find for 127.0.0.1.
// expectExampleMakesDirectory
//                  runs `binary dir [args]` and expects it to make dir,
//                  list it (".", "..") and report it as alice's directory
//                  with mode 755; then that the simulator's namespace holds
//                  it. A run on a dir that is there already expects it to
//                  say so instead of "made".
#ifndef TESTS_PACKAGE_EXAMPLE_RUN_H
#define TESTS_PACKAGE_EXAMPLE_RUN_H

#include <string>
#include <vector>

#include "gwsim_fixture.h"
#include "run_command.h"

extern const std::string kExampleGateway;

EnvChanges exampleEnv(const GwsimFixture& gw, const EnvChanges& extra = {});
void writeNetrc(const GwsimFixture& gw, const std::string& password);
void expectExampleMakesDirectory(const GwsimFixture& gw, const std::string& binary,
                                 const std::string& dir, const std::vector<std::string>& args = {},
                                 const EnvChanges& extra = {}, bool existing = false);

#endif
