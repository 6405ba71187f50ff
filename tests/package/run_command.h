// Runs a program as a test step: its standard output and error together
// are collected, it runs in a session of its own (no controlling terminal,
// so nothing can prompt), and it is killed after timeoutSec.
//
// runCommand  the exit code (128 + signal when killed, -1 when it could
//             not start) and the output. env sets (a value) or unsets
//             (nullopt) variables on top of the test's environment.
// splitWords  text split at white space, as a shell splits `pkg-config`
//             output.
// commandLine the words joined with blanks, for messages.
#ifndef TESTS_PACKAGE_RUN_COMMAND_H
#define TESTS_PACKAGE_RUN_COMMAND_H

#include <map>
#include <optional>
#include <string>
#include <vector>

using EnvChanges = std::map<std::string, std::optional<std::string>>;

struct CommandResult {
  int status;
  std::string output;
};

CommandResult runCommand(const std::vector<std::string>& argv, const EnvChanges& env = {},
                         int timeoutSec = 300);
std::vector<std::string> splitWords(const std::string& text);
std::string commandLine(const std::vector<std::string>& argv);

#endif
